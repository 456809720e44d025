#include "platform/lab/LabIndex.h"

#include <algorithm>

#include "platform/lab/Lab.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabFiles.h"
#include "platform/os/CPxDirectory.h"

namespace lab {

namespace {

constexpr size_t kMaxIndexRecordBytes = 4 * 1024 * 1024;
const char kDiskPrefix[] = "disk-";
const char kXml[] = ".xml";

std::string Hex(const std::string& text) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out += digits[c >> 4];
    out += digits[c & 0xF];
  }
  return out;
}

bool Unhex(const std::string& hex, std::string& text) {
  if (hex.size() % 2 != 0) return false;
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    int value = 0;
    for (size_t j = i; j < i + 2; ++j) {
      const char c = hex[j];
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0) return false;
      value = value * 16 + digit;
    }
    out += static_cast<char>(value);
  }
  text.swap(out);
  return true;
}

std::string VMDir(const std::string& subclientGuid, int64_t jobId, const std::string& vmGuid, std::string& error) {
  const std::string job = IndexJobDir(subclientGuid, jobId, error);
  if (job.empty()) return job;
  if (!IsSafeComponent(vmGuid)) {
    error = "the VM GUID [" + vmGuid + "] cannot name a folder";
    return std::string();
  }
  return job + "/vmmeta/" + vmGuid;
}

}  // namespace

bool WriteVMIndexRecord(const std::string& subclientGuid, int64_t jobId, const std::string& vmGuid,
                        const VMIndexRecord& record, std::string& error) {
  const std::string dir = VMDir(subclientGuid, jobId, vmGuid, error);
  if (dir.empty()) return false;
  if (!MakeDirs(dir)) {
    error = "cannot create " + dir;
    return false;
  }
  for (const auto& disk : record.disks) {
    const std::string name = kDiskPrefix + Hex(disk.first) + kXml;
    if (!IsSafeComponent(name)) {
      error = "the disk index name [" + disk.first + "] is too long to keep";
      return false;
    }
    if (!WriteFileAtomic(dir + "/" + name, disk.second, error)) return false;
  }
  return WriteFileAtomic(dir + "/vm.xml", record.vmXml, error);
}

RecordRead ReadVMIndexRecord(const std::string& subclientGuid, int64_t jobId, const std::string& vmGuid,
                             VMIndexRecord& record, std::string& error) {
  const std::string dir = VMDir(subclientGuid, jobId, vmGuid, error);
  if (dir.empty()) return RecordRead::kUnreadable;
  VMIndexRecord read;
  switch (ReadOptionalFile(dir + "/vm.xml", kMaxIndexRecordBytes, read.vmXml, error)) {
    case ReadResult::kMissing: return RecordRead::kMissing;
    case ReadResult::kFailed: return RecordRead::kUnreadable;
    case ReadResult::kRead: break;
  }
  std::vector<std::string> names;
  CPxDirectory::List(dir, names);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const size_t prefix = sizeof(kDiskPrefix) - 1, suffix = sizeof(kXml) - 1;
    if (name.size() <= prefix + suffix || name.compare(0, prefix, kDiskPrefix) != 0 ||
        name.compare(name.size() - suffix, suffix, kXml) != 0)
      continue;
    std::string indexName, xml;
    if (!Unhex(name.substr(prefix, name.size() - prefix - suffix), indexName)) {
      error = "[" + name + "] does not name a disk";
      return RecordRead::kMalformed;
    }
    if (!ReadRegularFile(dir + "/" + name, kMaxIndexRecordBytes, xml, error)) return RecordRead::kUnreadable;
    read.disks.emplace_back(indexName, xml);
  }
  std::sort(read.disks.begin(), read.disks.end());
  record = read;
  return RecordRead::kRead;
}

std::string SubclientOfGuid(const std::string& subclientGuid) {
  if (subclientGuid.empty() || Root().empty()) return std::string();
  std::vector<std::string> names;
  CPxDirectory::List(SubclientsDir(), names);
  std::sort(names.begin(), names.end());
  const std::string suffix = ".conf";
  for (const std::string& name : names) {
    if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    const std::string appId = name.substr(0, name.size() - suffix.size());
    SubclientRecord record;
    std::string error;
    if (ReadSubclientRecord(appId, record, error) != RecordRead::kRead) continue;
    auto it = record.settings.find("subclientGUID");
    if (it != record.settings.end() && it->second == subclientGuid) return appId;
  }
  return std::string();
}

}  // namespace lab
