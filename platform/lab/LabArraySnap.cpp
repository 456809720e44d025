#include "platform/lab/LabArraySnap.h"

#include <algorithm>
#include <cctype>

#include "platform/lab/Lab.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/os/CPxDirectory.h"

namespace lab {
namespace {

constexpr int64_t kMaxSnapVMs = 100000;

using labkv::Take;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string RecordPath(const std::string& server, int64_t snapJobId) {
  const std::string dir = ArraySnapDir(server, snapJobId);
  return dir.empty() ? std::string() : dir + "/snapshot.conf";
}

std::string MountLogPath(const std::string& server, int64_t snapJobId) {
  const std::string dir = ArraySnapDir(server, snapJobId);
  return dir.empty() ? std::string() : dir + "/mounts.log";
}

// A name that becomes one word of a line of the mount log.
bool IsLogWord(const std::string& text) { return labkv::IsWord(text); }

}  // namespace

bool ParseArraySnapRecord(const std::string& text, ArraySnapRecord& record, std::string& error) {
  std::map<std::string, std::string> values;
  if (!labkv::Parse(text, values, error)) return false;
  ArraySnapRecord parsed;
  int64_t count = 0;
  const std::string countText = Take(values, "vmCount");
  if (!countText.empty() && !labkv::ParseInt64InRange(countText, 0, kMaxSnapVMs, count)) {
    error = "vmCount [" + countText + "] is not a number from 0 to " + std::to_string(kMaxSnapVMs);
    return false;
  }
  for (int64_t i = 0; i < count; ++i) {
    const std::string prefix = "vm" + std::to_string(i) + ".";
    ArraySnapVM vm;
    vm.guid = Take(values, prefix + "guid");
    vm.name = Take(values, prefix + "name");
    vm.quiesceError = Take(values, prefix + "quiesceError");
    const std::string quiesced = Take(values, prefix + "quiesced");
    if (quiesced != "" && quiesced != "0" && quiesced != "1") {
      error = prefix + "quiesced [" + quiesced + "] is not 0 or 1";
      return false;
    }
    vm.quiesced = quiesced == "1";
    const std::string status = Take(values, prefix + "quiesceStatus");
    if (!status.empty() && !labkv::ParseInt64(status, vm.quiesceStatus)) {
      error = prefix + "quiesceStatus [" + status + "] is not a number";
      return false;
    }
    if (vm.guid.empty()) {
      error = prefix + "guid is missing";
      return false;
    }
    parsed.vms.push_back(vm);
  }
  parsed.datastores = labkv::SplitList(Take(values, "datastores"));
  const std::string perVM = Take(values, "perVM");
  if (perVM != "" && perVM != "0" && perVM != "1") {
    error = "perVM [" + perVM + "] is not 0 or 1";
    return false;
  }
  parsed.perVM = perVM == "1";
  parsed.unfinished = Take(values, "unfinished");
  parsed.other = values;
  record = parsed;
  return true;
}

std::string FormatArraySnapRecord(const ArraySnapRecord& record) {
  std::map<std::string, std::string> values = record.other;
  values["vmCount"] = std::to_string(record.vms.size());
  for (size_t i = 0; i < record.vms.size(); ++i) {
    const std::string prefix = "vm" + std::to_string(i) + ".";
    const ArraySnapVM& vm = record.vms[i];
    values[prefix + "guid"] = vm.guid;
    values[prefix + "name"] = vm.name;
    values[prefix + "quiesced"] = vm.quiesced ? "1" : "0";
    values[prefix + "quiesceStatus"] = std::to_string(vm.quiesceStatus);
    values[prefix + "quiesceError"] = vm.quiesceError;
  }
  std::string list;
  for (const std::string& datastore : record.datastores) list += (list.empty() ? "" : ",") + datastore;
  values["datastores"] = list;
  if (record.perVM) values["perVM"] = "1";
  if (!record.unfinished.empty()) values["unfinished"] = record.unfinished;
  return labkv::Format(values);
}

std::string ArraySnapDir(const std::string& server, int64_t snapJobId) {
  const std::string dir = ServerDir(server);
  if (dir.empty() || snapJobId <= 0) return std::string();
  return dir + "/arraysnaps/" + std::to_string(snapJobId);
}

RecordRead ReadArraySnapRecord(const std::string& server, int64_t snapJobId, ArraySnapRecord& record,
                               std::string& error) {
  const std::string path = RecordPath(server, snapJobId);
  if (path.empty()) return RecordRead::kMissing;
  return ReadRecordFile(path, record, error, ParseArraySnapRecord);
}

bool WriteArraySnapRecord(const std::string& server, int64_t snapJobId, const ArraySnapRecord& record,
                          std::string& error) {
  const std::string path = RecordPath(server, snapJobId);
  std::string text;
  if (!labkv::StorableText(record, FormatArraySnapRecord, ParseArraySnapRecord, text, error)) return false;
  if (path.empty() || !MakeDirs(ArraySnapDir(server, snapJobId))) {
    error = "no lab, or a name that is not usable";
    return false;
  }
  return ReplaceFileLocked(path, text, error);
}

bool UpdateArraySnapRecord(const std::string& server, int64_t snapJobId,
                           const std::function<bool(ArraySnapRecord&, std::string&)>& change, std::string& error) {
  const std::string path = RecordPath(server, snapJobId);
  if (path.empty()) {
    error = "no lab, or a name that is not usable";
    return false;
  }
  return UpdateFileLocked(
      path,
      [&](std::string& text, bool exists, std::string& why) {
        if (!exists) {
          why = "snapshot of job " + std::to_string(snapJobId) + " does not exist";
          return false;
        }
        ArraySnapRecord record;
        if (!ParseArraySnapRecord(text, record, why) || !change(record, why)) return false;
        return labkv::StorableText(record, FormatArraySnapRecord, ParseArraySnapRecord, text, why);
      },
      error);
}

bool MergeIntoArraySnapRecord(const std::string& server, int64_t snapJobId, const ArraySnapRecord& part,
                              std::string& error) {
  const std::string path = RecordPath(server, snapJobId);
  if (path.empty() || !MakeDirs(ArraySnapDir(server, snapJobId))) {
    error = "no lab, or a name that is not usable";
    return false;
  }
  return UpdateFileLocked(
      path,
      [&](std::string& text, bool exists, std::string& why) {
        ArraySnapRecord record;
        if (exists && !ParseArraySnapRecord(text, record, why)) return false;
        for (const ArraySnapVM& vm : part.vms) {
          auto same = std::find_if(record.vms.begin(), record.vms.end(), [&](const ArraySnapVM& kept) {
            return Lower(kept.guid) == Lower(vm.guid);
          });
          if (same != record.vms.end())
            *same = vm;
          else
            record.vms.push_back(vm);
        }
        for (const std::string& datastore : part.datastores)
          if (std::find(record.datastores.begin(), record.datastores.end(), datastore) == record.datastores.end())
            record.datastores.push_back(datastore);
        record.perVM = record.perVM || part.perVM;
        return labkv::StorableText(record, FormatArraySnapRecord, ParseArraySnapRecord, text, why);
      },
      error);
}

bool AppendArraySnapLog(const std::string& server, const std::string& line) {
  const std::string dir = ServerDir(server);
  if (dir.empty() || !MakeDirs(dir)) return false;
  std::string text = line;
  std::replace(text.begin(), text.end(), '\n', ' ');
  return AppendLineLocked(dir + "/arraysnaps.log", text);
}

std::vector<std::string> ReadArraySnapLog(const std::string& server) {
  const std::string dir = ServerDir(server);
  return dir.empty() ? std::vector<std::string>() : ReadLines(dir + "/arraysnaps.log");
}

std::vector<int64_t> ListArraySnapJobs(const std::string& server) {
  std::vector<int64_t> jobs;
  const std::string dir = ServerDir(server);
  std::vector<std::string> names;
  if (dir.empty() || CPxDirectory::List(dir + "/arraysnaps", names).IsError()) return jobs;
  for (const std::string& name : names) {
    int64_t job = 0;
    if (labkv::ParseInt64InRange(name, 1, INT64_MAX, job)) jobs.push_back(job);
  }
  std::sort(jobs.begin(), jobs.end());
  return jobs;
}

std::vector<std::string> QuiescedGuests() {
  std::vector<std::string> guests;
  for (const std::string& server : ListServers()) {
    for (int64_t job : ListArraySnapJobs(server)) {
      ArraySnapRecord record;
      std::string error;
      if (ReadArraySnapRecord(server, job, record, error) != RecordRead::kRead) continue;
      for (const ArraySnapVM& vm : record.vms)
        if (vm.quiesced) guests.push_back(server + " " + std::to_string(job) + " " + vm.guid);
    }
  }
  return guests;
}

std::string ArraySnapVMFolder(const std::string& server, int64_t snapJobId, const std::string& guid) {
  const std::string dir = ArraySnapDir(server, snapJobId);
  if (dir.empty() || !IsSafeComponent(Lower(guid))) return std::string();
  return dir + "/" + Lower(guid);
}

bool WriteArraySnapVM(const std::string& server, int64_t snapJobId, const MountRecord& record, std::string& error) {
  const std::string folder = ArraySnapVMFolder(server, snapJobId, record.guid);
  std::string text;
  if (!labkv::StorableText(record, FormatMountRecord, ParseMountRecord, text, error)) return false;
  if (folder.empty() || !MakeDirs(ArraySnapDir(server, snapJobId))) {
    error = "no lab, or a name that is not usable";
    return false;
  }
  return ReplaceFileLocked(folder + ".snap", text, error);
}

RecordRead ReadArraySnapVM(const std::string& server, int64_t snapJobId, const std::string& guid,
                           MountRecord& record, std::string& error) {
  const std::string folder = ArraySnapVMFolder(server, snapJobId, guid);
  if (folder.empty()) return RecordRead::kMissing;
  return ReadRecordFile(folder + ".snap", record, error, ParseMountRecord);
}

bool AppendArraySnapMount(const std::string& server, int64_t snapJobId, const std::string& client, int64_t jobId,
                          const std::string& mountPath) {
  const std::string path = MountLogPath(server, snapJobId);
  if (path.empty() || !IsLogWord(client) || !MakeDirs(ArraySnapDir(server, snapJobId))) return false;
  std::string where = mountPath;
  std::replace(where.begin(), where.end(), '\n', ' ');
  return AppendLineLocked(path, "mount " + client + " " + std::to_string(jobId) + " " + where);
}

bool AppendArraySnapUnmount(const std::string& server, int64_t snapJobId, const std::string& client, int64_t jobId) {
  const std::string path = MountLogPath(server, snapJobId);
  if (path.empty() || !IsLogWord(client)) return false;
  return AppendLineLocked(path, "unmount " + client + " " + std::to_string(jobId));
}

std::vector<std::string> ReadArraySnapMountLog(const std::string& server, int64_t snapJobId) {
  const std::string path = MountLogPath(server, snapJobId);
  return path.empty() ? std::vector<std::string>() : ReadLines(path);
}

std::vector<std::string> StandingArraySnapMounts(const std::string& server, int64_t snapJobId) {
  std::vector<std::string> standing;
  for (const std::string& line : ReadArraySnapMountLog(server, snapJobId)) {
    const bool mount = line.rfind("mount ", 0) == 0;
    const bool unmount = line.rfind("unmount ", 0) == 0;
    if (!mount && !unmount) continue;
    // "<client> <job>" is the key of a mount: the words after the verb.
    const std::string rest = line.substr(mount ? 6 : 8);
    const size_t second = rest.find(' ');
    const size_t third = second == std::string::npos ? std::string::npos : rest.find(' ', second + 1);
    const std::string key = rest.substr(0, third);
    if (mount) {
      standing.push_back(key);
    } else {
      auto it = std::find(standing.begin(), standing.end(), key);
      if (it != standing.end()) standing.erase(it);
    }
  }
  return standing;
}

bool IsArraySnapMounted(const std::string& server, int64_t snapJobId, const std::string& client, int64_t jobId) {
  const std::vector<std::string> standing = StandingArraySnapMounts(server, snapJobId);
  return std::find(standing.begin(), standing.end(), client + " " + std::to_string(jobId)) != standing.end();
}

}  // namespace lab
