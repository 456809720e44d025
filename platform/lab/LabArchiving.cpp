#include "platform/lab/LabArchiving.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/lab/Lab.h"
#include "platform/lab/LabArchiving_shared.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabSnapshot.h"
#include "platform/os/ZtTime.h"
#include "records/messages/IdxMetadataMessages.h"

// The hypervisor's side of the lab's archiving model: its clock, a VM's power, a stub's deletion of
// disks, a VM removed or moved, and what the index keeps of a VM's stub record.
namespace lab {
namespace {

const char* const kDatastoresFolder = "datastores/";

// Renames a file that may not exist (a disk never written has no journal).
bool RenameIfPresent(const std::string& from, const std::string& to, std::string& error) {
  if (std::rename(from.c_str(), to.c_str()) == 0 || errno == ENOENT) return true;
  error = "cannot move " + from + " to " + to + ": " + std::strerror(errno);
  return false;
}

// The parts of "datastores/<datastore>/<rest>"; false for a path elsewhere.
bool SplitDatastorePath(const std::string& relative, std::string& datastore, std::string& rest) {
  const std::string folder = kDatastoresFolder;
  if (relative.compare(0, folder.size(), folder) != 0) return false;
  const size_t slash = relative.find('/', folder.size());
  if (slash == std::string::npos || slash == folder.size() || slash + 1 == relative.size()) return false;
  datastore = relative.substr(folder.size(), slash - folder.size());
  rest = relative.substr(slash + 1);
  return true;
}
}  // namespace

bool RemoveIfPresent(const std::string& path, std::string& error) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  error = "cannot remove " + path + ": " + std::strerror(errno);
  return false;
}

bool RecordWholeDiskChange(const std::string& image, uint64_t sizeBytes, bool imagePresent, std::string& error) {
  ChangeJournal journal;
  switch (ReadChangeJournal(image, journal, error)) {
    case ReadResult::kMissing: return true;
    case ReadResult::kFailed: return false;
    case ReadResult::kRead: break;
  }
  const std::vector<ByteRange> whole{{0, sizeBytes}};
  if (imagePresent && !KeepForSnapshots(image, journal, whole, error)) return false;
  AppendGeneration(journal, whole);
  return WriteFileAtomic(ChangeJournalPath(image), FormatChangeJournal(journal), error);
}

bool FindVMOnServer(const std::string& server, const std::string& guidOrName, VMDescription& vm, std::string& error) {
  if (FindVM(server, guidOrName, vm)) return true;
  error = "VM [" + guidOrName + "] is not on server [" + server + "]";
  return false;
}

int64_t ServerClockSeconds(const std::string& server) {
  const int64_t now = static_cast<int64_t>(ZtClock::NowSeconds());
  ServerRecord record;
  std::string error;
  if (!ReadServerRecord(server, record, error)) return now;
  const auto offset = record.other.find(kServerClockOffsetKey);
  int64_t seconds = 0;
  if (offset == record.other.end() || !labkv::ParseInt64(offset->second, seconds)) return now;
  return now + seconds;
}

int64_t PoweredOffHours(const VMDescription& vm, int64_t now) {
  if (vm.powerState != "off" || vm.poweredOffAt <= 0 || now <= vm.poweredOffAt) return 0;
  return std::min<int64_t>((now - vm.poweredOffAt) / 3600, INT32_MAX);
}

std::string DatastorePathOf(const std::string& relative) {
  std::string datastore, rest;
  if (!SplitDatastorePath(relative, datastore, rest)) return relative;
  return "[" + datastore + "] " + rest;
}

bool FindVMServer(const std::string& guidOrName, std::string& server) {
  VMDescription vm;
  for (const std::string& candidate : ListServers()) {
    if (!FindVM(candidate, guidOrName, vm)) continue;
    server = candidate;
    return true;
  }
  return false;
}

bool UpdateVMDescription(const std::string& server, const std::string& guidOrName, const VMChange& change,
                         std::string& error) {
  VMDescription found;
  if (!FindVMOnServer(server, guidOrName, found, error)) return false;
  const std::string path = VMDescriptionPath(server, found.name);
  return UpdateFileLocked(
      path,
      [&](std::string& text, bool exists, std::string& why) {
        VMDescription vm;
        if (!exists) {
          why = "VM [" + guidOrName + "] was removed from server [" + server + "]";
          return false;
        }
        if (!ParseVMDescription(text, vm, why) || !change(vm, why)) return false;
        if (vm.name != found.name) {
          why = "a VM's name is its description's file name and does not change";
          return false;
        }
        std::string formatted = FormatVMDescription(vm);
        VMDescription check;
        if (!ParseVMDescription(formatted, check, why)) return false;
        text.swap(formatted);
        return true;
      },
      error);
}

bool SetVMPower(const std::string& server, const std::string& guidOrName, bool on, int64_t offAt, std::string& error) {
  return UpdateVMDescription(
      server, guidOrName,
      [&](VMDescription& vm, std::string&) {
        vm.powerState = on ? "on" : "off";
        vm.poweredOffAt = on ? 0 : offAt;
        return true;
      },
      error);
}

bool DeleteVMDiskImage(const std::string& server, VMDescription& vm, size_t index, std::string& error) {
  if (index >= vm.disks.size()) {
    error = "VM [" + vm.name + "] has no disk " + std::to_string(index);
    return false;
  }
  VMDisk& disk = vm.disks[index];
  if (disk.deleted) return true;
  const std::string image = DiskImagePath(server, disk.file);
  FileLock lock(image);
  // The journal stays: it is where the digests of the image's backups live on.
  if (!RecordWholeDiskChange(image, disk.sizeBytes, access(image.c_str(), F_OK) == 0, error) ||
      !RemoveIfPresent(image, error))
    return false;
  disk.deleted = true;
  return true;
}

bool DeleteStubbedDisk(const std::string& server, const std::string& guidOrName, const std::string& indexName,
                       const std::string& changeId, int64_t jobId, std::string& error) {
  VMDescription found;
  if (!FindVMOnServer(server, guidOrName, found, error)) return false;
  const std::string path = VMDescriptionPath(server, found.name);
  // The description's lock before the image's, as every change of a VM that touches its images takes them.
  FileLock descriptionLock(path);
  std::string text;
  VMDescription vm;
  if (!descriptionLock.Held() || ReadOptionalFile(path, kMaxRecordBytes, text, error) != ReadResult::kRead ||
      !ParseVMDescription(text, vm, error)) {
    error = "the description of VM [" + found.name + "] cannot be read" + (error.empty() ? "" : ": " + error);
    return false;
  }
  size_t index = 0;
  while (index < vm.disks.size() && LabDiskIndexName(index, vm.disks[index].file) != indexName) ++index;
  if (index == vm.disks.size()) {
    error = "VM [" + vm.name + "] has no disk [" + indexName + "]";
    return false;
  }
  VMDisk& disk = vm.disks[index];
  if (disk.deleted) return true;
  const std::string image = DiskImagePath(server, disk.file);
  FileLock imageLock(image);
  const std::string current = ImageChangeId(image);
  if (!imageLock.Held() || changeId.empty() || current != changeId) {
    error = "disk [" + indexName + "] of VM [" + vm.name + "] is at change id [" + current + "], not at [" + changeId +
            "] that its backup read";
    return false;
  }
  if (!RecordWholeDiskChange(image, disk.sizeBytes, true, error)) return false;
  disk.deleted = true;
  disk.stubJob = jobId;
  disk.stubChangeId = changeId;
  if (!WriteFileAtomic(path, FormatVMDescription(vm), error)) return false;
  return RemoveIfPresent(image, error);
}

bool RemoveVM(const std::string& server, const std::string& guidOrName, std::string& error) {
  VMDescription vm;
  if (!FindVMOnServer(server, guidOrName, vm, error)) return false;
  const std::string path = VMDescriptionPath(server, vm.name);
  FileLock lock(path);
  for (size_t i = 0; i < vm.disks.size(); ++i)
    if (!DeleteVMDiskImage(server, vm, i, error)) return false;
  return RemoveIfPresent(path, error);
}

bool MoveVM(const std::string& server, const std::string& guidOrName, const std::string& host,
            const std::string& datastore, const std::string& resourcePool, std::string& error) {
  ServerRecord record;
  if (!ReadServerRecord(server, record, error)) return false;
  if (!host.empty() && std::find(record.hosts.begin(), record.hosts.end(), host) == record.hosts.end()) {
    error = "host [" + host + "] is not a host of server [" + server + "]";
    return false;
  }
  if (!datastore.empty() &&
      std::find(record.datastores.begin(), record.datastores.end(), datastore) == record.datastores.end()) {
    error = "datastore [" + datastore + "] is not a datastore of server [" + server + "]";
    return false;
  }
  return UpdateVMDescription(
      server, guidOrName,
      [&](VMDescription& vm, std::string& why) {
        if (!host.empty()) vm.host = host;
        if (!resourcePool.empty()) vm.resourcePool = resourcePool;
        if (datastore.empty()) return true;
        for (VMDisk& disk : vm.disks) {
          std::string from, rest;
          if (!SplitDatastorePath(disk.file, from, rest) || from == datastore) continue;
          const std::string moved = kDatastoresFolder + datastore + "/" + rest;
          const std::string source = DiskImagePath(server, disk.file), target = DiskImagePath(server, moved);
          if (!MakeDirs(target.substr(0, target.rfind('/')))) {
            why = "cannot make the folder of " + target;
            return false;
          }
          FileLock lock(source);
          if (!disk.deleted && (!RenameIfPresent(ChangeJournalPath(source), ChangeJournalPath(target), why) ||
                                std::rename(source.c_str(), target.c_str()) != 0)) {
            if (why.empty()) why = "cannot move " + source + ": " + std::strerror(errno);
            return false;
          }
          disk.file = moved;
        }
        vm.datastore = datastore;
        return true;
      },
      error);
}

bool ReadIndexStubRecord(const std::string& subclientGuid, const std::string& vmGuid, IndexStubRecord& record,
                         std::string& error) {
  record = IndexStubRecord();
  for (int64_t jobId : IndexVMEntryJobs(subclientGuid, vmGuid)) {
    std::vector<std::vector<std::string>> entries;
    if (!ReadIndexVMEntries(subclientGuid, vmGuid, jobId, entries, error)) {
      // A job that uploaded files of the VM without indexing it has no entries to read.
      error.clear();
      continue;
    }
    const std::vector<std::string>* last = nullptr;
    for (const auto& entry : entries)
      if (entry.size() == 3 && entry[0] == "meta" && entry[1] == "vm") last = &entry;
    if (last == nullptr) continue;
    IdxMetadata::IdxMetaData message;
    if (!message.deserialize((*last)[2], &error)) {
      error = "the index record of VM [" + vmGuid + "] in job " + std::to_string(jobId) + " does not read: " + error;
      return false;
    }
    using VS = IdxMetadata::VirtualServerIdxMetaData;
    using Aux = IdxMetadata::IdxAuxMetaData;
    record.jobId = jobId;
    if (const Aux* aux = message.getObject<Aux>(IdxMetadata::IdxMetaData::F_aux, false))
      record.stubData = aux->getstring(Aux::F_auxText);
    if (const VS* part = message.getObject<VS>(IdxMetadata::IdxMetaData::F_virtualServer, false)) {
      record.datastore = part->getstring(VS::F_datastore);
      record.resourcePool = part->getstring(VS::F_resourcePoolPath);
      // The archiving update of a stubbed VM sends its delete timestamp in this field.
      record.deleteTime = part->getint64(VS::F_stubSize);
    }
    return true;
  }
  return true;
}
}  // namespace lab
