#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/lab/LabSubclient.h"

// The machine a lab client simulates: clients/<client>/machine.conf, key=value lines:
//   cpus=<1..kMaxMachineCpus>          memoryMB=<1..kMaxMachineMemoryMB>
//   os=windows|linux                    hostName=<computer name>
//   addresses=<ip>/<mask>,...           IPv4 or IPv6, the mask in the address's own form and
//                                       contiguous; at most kMaxMachineAddresses
//   hypervisorHost=<host>               the hypervisor host the machine runs on; empty: physical
//   vmGuid=<GUID>                       the machine's own VM when it is one; empty: not a VM
namespace lab {

constexpr int64_t kMaxMachineCpus = 4096;
constexpr int64_t kMaxMachineMemoryMB = 64LL * 1024 * 1024;  // 64 TiB
constexpr size_t kMaxMachineAddresses = 64;

struct MachineRecord {
  int64_t cpus = 4;
  int64_t memoryMB = 8192;
  std::string os = "windows";
  std::string hostName;
  std::vector<std::pair<std::string, std::string>> addresses;  // (address, mask)
  std::string hypervisorHost;
  std::string vmGuid;
  std::map<std::string, std::string> other;

  bool IsVM() const { return !vmGuid.empty(); }
  // The operating-system flag the frame reports: set for the "windows" family.
  bool OsFlag() const { return os == "windows"; }
};

bool ParseMachineRecord(const std::string& text, MachineRecord& record, std::string& error);
std::string FormatMachineRecord(const MachineRecord& record);
// Parses "ip/mask,ip/mask", a mask dotted or given by its length ("10.0.0.5/24": 255.255.255.0);
// false with the reason for a pair that is not an address of one family with a contiguous mask, or too
// many pairs.
bool ParseAddressList(const std::string& text, std::vector<std::pair<std::string, std::string>>& addresses,
                      std::string& error);
std::string FormatAddressList(const std::vector<std::pair<std::string, std::string>>& addresses);

// The record's file; empty without a lab or for a client name that is not usable.
std::string MachineRecordPath(const std::string& client);
// kMissing when the client has no machine record.
RecordRead ReadMachineRecord(const std::string& client, MachineRecord& record, std::string& error);
bool WriteMachineRecord(const std::string& client, const MachineRecord& record, std::string& error);
// Reads (or starts from the defaults), changes and replaces the record under its lock.
bool UpdateMachineRecord(const std::string& client, const std::function<bool(MachineRecord&, std::string&)>& change,
                         std::string& error);

}  // namespace lab
