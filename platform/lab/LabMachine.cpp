#include "platform/lab/LabMachine.h"

#include <arpa/inet.h>

#include "platform/lab/Lab.h"
#include "platform/lab/LabKeyValue.h"

namespace lab {
namespace {

const char* const kMachineFile = "machine.conf";

std::string Take(std::map<std::string, std::string>& values, const std::string& key, const std::string& fallback) {
  auto it = values.find(key);
  if (it == values.end()) return fallback;
  std::string value = it->second;
  values.erase(it);
  return value;
}

bool IsContiguousMask(const unsigned char* bytes, size_t size) {
  bool zeroSeen = false;
  for (size_t i = 0; i < size; ++i) {
    for (int bit = 7; bit >= 0; --bit) {
      const bool one = (bytes[i] >> bit) & 1;
      if (one && zeroSeen) return false;
      if (!one) zeroSeen = true;
    }
  }
  return true;
}

// An address and mask of one family, the mask contiguous.
bool IsAddressPair(const std::string& ip, const std::string& mask) {
  unsigned char a[16];
  unsigned char m[16];
  if (inet_pton(AF_INET, ip.c_str(), a) == 1) return inet_pton(AF_INET, mask.c_str(), m) == 1 && IsContiguousMask(m, 4);
  return inet_pton(AF_INET6, ip.c_str(), a) == 1 && inet_pton(AF_INET6, mask.c_str(), m) == 1 &&
         IsContiguousMask(m, 16);
}

// A mask given by its length ("24") in the dotted form of the address's family ("255.255.255.0");
// any other text as it is.
std::string MaskOfLength(const std::string& ip, const std::string& mask) {
  int64_t length = 0;
  unsigned char a[16];
  const bool v4 = inet_pton(AF_INET, ip.c_str(), a) == 1;
  const int bits = v4 ? 32 : 128;
  if (mask.empty() || mask.size() > 3 || !labkv::ParseInt64InRange(mask, 0, bits, length)) return mask;
  unsigned char bytes[16] = {};
  for (int bit = 0; bit < length; ++bit) bytes[bit / 8] |= static_cast<unsigned char>(0x80 >> (bit % 8));
  char text[INET6_ADDRSTRLEN];
  return inet_ntop(v4 ? AF_INET : AF_INET6, bytes, text, sizeof text) ? std::string(text) : mask;
}

}  // namespace

std::string MachineRecordPath(const std::string& client) {
  if (Root().empty() || !IsSafeComponent(client)) return std::string();
  return ClientDir(client) + "/" + kMachineFile;
}

bool ParseAddressList(const std::string& text, std::vector<std::pair<std::string, std::string>>& addresses,
                      std::string& error) {
  std::vector<std::pair<std::string, std::string>> parsed;
  for (const std::string& item : labkv::SplitList(text)) {
    size_t slash = item.find('/');
    std::string ip = slash == std::string::npos ? item : labkv::Trim(item.substr(0, slash));
    std::string mask = slash == std::string::npos ? std::string() : MaskOfLength(ip, labkv::Trim(item.substr(slash + 1)));
    if (!IsAddressPair(ip, mask)) {
      error = "address [" + item + "] is not <address>/<mask> of one family with a contiguous mask (dotted, or its length)";
      return false;
    }
    parsed.emplace_back(ip, mask);
  }
  if (parsed.size() > kMaxMachineAddresses) {
    error = "more than " + std::to_string(kMaxMachineAddresses) + " addresses";
    return false;
  }
  addresses.swap(parsed);
  return true;
}

std::string FormatAddressList(const std::vector<std::pair<std::string, std::string>>& addresses) {
  std::string text;
  for (const auto& address : addresses) text += (text.empty() ? "" : ",") + address.first + "/" + address.second;
  return text;
}

bool ParseMachineRecord(const std::string& text, MachineRecord& record, std::string& error) {
  std::map<std::string, std::string> values;
  if (!labkv::Parse(text, values, error)) return false;
  MachineRecord parsed;
  const std::string cpus = Take(values, "cpus", std::to_string(parsed.cpus));
  const std::string memory = Take(values, "memoryMB", std::to_string(parsed.memoryMB));
  if (!labkv::ParseInt64InRange(cpus, 1, kMaxMachineCpus, parsed.cpus)) {
    error = "cpus [" + cpus + "] is not a number from 1 to " + std::to_string(kMaxMachineCpus);
    return false;
  }
  if (!labkv::ParseInt64InRange(memory, 1, kMaxMachineMemoryMB, parsed.memoryMB)) {
    error = "memoryMB [" + memory + "] is not a number from 1 to " + std::to_string(kMaxMachineMemoryMB);
    return false;
  }
  parsed.os = Take(values, "os", parsed.os);
  if (parsed.os != "windows" && parsed.os != "linux") {
    error = "os [" + parsed.os + "] is neither windows nor linux";
    return false;
  }
  if (!ParseAddressList(Take(values, "addresses", std::string()), parsed.addresses, error)) return false;
  parsed.hostName = Take(values, "hostName", std::string());
  parsed.hypervisorHost = Take(values, "hypervisorHost", std::string());
  parsed.vmGuid = Take(values, "vmGuid", std::string());
  parsed.other.swap(values);
  record = parsed;
  return true;
}

std::string FormatMachineRecord(const MachineRecord& record) {
  std::map<std::string, std::string> values = record.other;
  values["cpus"] = std::to_string(record.cpus);
  values["memoryMB"] = std::to_string(record.memoryMB);
  values["os"] = record.os;
  values["hostName"] = record.hostName;
  values["addresses"] = FormatAddressList(record.addresses);
  values["hypervisorHost"] = record.hypervisorHost;
  values["vmGuid"] = record.vmGuid;
  return labkv::Format(values);
}

RecordRead ReadMachineRecord(const std::string& client, MachineRecord& record, std::string& error) {
  std::string path = MachineRecordPath(client);
  std::string text;
  if (path.empty()) {
    error = "no lab, or client [" + client + "] is not a usable name";
    return RecordRead::kMissing;
  }
  switch (ReadOptionalFile(path, kMaxRecordBytes, text, error)) {
    case ReadResult::kMissing:
      error = "client [" + client + "] has no machine record";
      return RecordRead::kMissing;
    case ReadResult::kFailed:
      return RecordRead::kUnreadable;
    case ReadResult::kRead:
      break;
  }
  if (ParseMachineRecord(text, record, error)) return RecordRead::kRead;
  error = path + ": " + error;
  return RecordRead::kMalformed;
}

bool WriteMachineRecord(const std::string& client, const MachineRecord& record, std::string& error) {
  return UpdateMachineRecord(
      client,
      [&record](MachineRecord& current, std::string&) {
        current = record;
        return true;
      },
      error);
}

bool UpdateMachineRecord(const std::string& client, const std::function<bool(MachineRecord&, std::string&)>& change,
                         std::string& error) {
  std::string path = MachineRecordPath(client);
  if (path.empty() || !MakeDirs(ClientDir(client))) {
    error = "no lab, or client [" + client + "] is not a usable name";
    return false;
  }
  return UpdateFileLocked(
      path,
      [&](std::string& text, bool exists, std::string& why) {
        MachineRecord record;
        record.hostName = client;
        if (exists && !ParseMachineRecord(text, record, why)) return false;
        return change(record, why) &&
               labkv::StorableText(record, FormatMachineRecord, ParseMachineRecord, text, why);
      },
      error);
}

}  // namespace lab
