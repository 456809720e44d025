#include "platform/lab/LabArchiving.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <set>

#include "platform/archive/ArchiveReader.h"
#include "platform/archive/ArchiveRestore.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabSnapshot.h"
#include "platform/os/ZtSync.h"
#include "platform/os/ZtTime.h"
#include "records/messages/IdxMetadataMessages.h"
#include "records/messages/JobManagerMessages.h"
#include "records/messages/VirtualServerMessages.h"

namespace lab {
namespace {

using Stub = VirtualServer::VMArchivingData;

const char* const kDatastoresFolder = "datastores/";
const char* const kArchivedField = "Archived";

// Removes a file that may not exist; false with the reason when it exists and stays.
bool RemoveIfPresent(const std::string& path, std::string& error) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  error = "cannot remove " + path + ": " + std::strerror(errno);
  return false;
}

// Renames a file that may not exist (a disk never written has no journal).
bool RenameIfPresent(const std::string& from, const std::string& to, std::string& error) {
  if (std::rename(from.c_str(), to.c_str()) == 0 || errno == ENOENT) return true;
  error = "cannot move " + from + " to " + to + ": " + std::strerror(errno);
  return false;
}

// Records in the image's journal (when it has one) that every byte of the disk changes now, as the
// lab's writer does before it writes: what the snapshots of the image still need of it is kept first
// (the digest of the generation a mount took among it), so that the backups of the image can still be
// checked after it is gone or rewritten. REQUIRES: the image's lock.
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

// Writes a restored disk as a new sparse image beside `path` and renames it into place (zero runs
// are left as holes). False with the reason, and no image at `path`: the disk is not restored.
bool WriteRestoredImage(const std::string& path, const archive::RestoredDisk& disk, const FaultCall& syncCall,
                        std::string& error) {
  const std::string temporary = path + ".restoring";
  std::remove(temporary.c_str());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (fd < 0) {
    error = "cannot create " + temporary + ": " + std::strerror(errno);
    return false;
  }
  uint64_t offset = 0;
  bool written = archive::ReadRestoredDisk(
      disk,
      [&](const char* data, size_t size) {
        const bool zeros = std::all_of(data, data + size, [](char c) { return c == 0; });
        if (!zeros && pwrite(fd, data, size, static_cast<off_t>(offset)) != static_cast<ssize_t>(size)) return false;
        offset += size;
        return true;
      },
      error);
  if (written && (ftruncate(fd, static_cast<off_t>(disk.size)) != 0 || ZtSyncFile(fd) != 0)) {
    error = "cannot write " + temporary + ": " + std::strerror(errno);
    written = false;
  }
  close(fd);
  if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
    if (written) error = "cannot replace " + path + ": " + std::strerror(errno);
    std::remove(temporary.c_str());
    return false;
  }
  // A restore the user was told of must still be there after a crash: its new name too. One whose
  // name may not survive is no restore: the image goes again, so that the VM's description, which
  // still says the disk is deleted, stays true.
  Fault fault;
  const bool faulted = CheckFault(syncCall, fault);
  if (faulted) errno = fault.code;
  if (faulted || !SyncFolder(path)) {
    error = "cannot sync the folder of " + path + ": " + std::strerror(errno);
    unlink(path.c_str());
    return false;
  }
  return true;
}

// The VM's disk by its index name (any case) in the reassembled backup; null when it has none.
const archive::RestoredDisk* FindRestoredDisk(const archive::VMBackup& backup, const std::string& indexName) {
  const std::string name = "\\" + backup.vmGuid + "\\" + indexName;
  for (const auto& entry : backup.disks)
    if (strcasecmp(entry.first.c_str(), name.c_str()) == 0) return &entry.second;
  return nullptr;
}

// Why the disk of the reassembled backup is not restored because its chain is broken; empty when it is
// not such a disk.
std::string BrokenChainOf(const archive::VMBackup& backup, const std::string& indexName) {
  const std::string name = "\\" + backup.vmGuid + "\\" + indexName;
  for (const auto& entry : backup.brokenDisks)
    if (strcasecmp(entry.first.c_str(), name.c_str()) == 0) return "its chain of backups is broken: " + entry.second;
  return std::string();
}

// The message of a stub's disk that its recorded backup does not give back.
std::string NotRestoredFromStubBackup(const VMDescription& vm, const std::string& indexName, int64_t stubJob,
                                      const std::string& why) {
  return "disk " + indexName + " of VM [" + vm.name + "] is not restored: the backup of job " +
         std::to_string(stubJob) + " that its stub deleted it on cannot be read whole (" + why +
         "); nothing was written (--job N restores from the newest backup at or before job N that holds it)";
}

// Adds the disks the VM's mount of the job took (by their index names); false when no mount of the VM
// in that job is recorded.
bool AddDisksMountOfJobTook(int64_t jobId, const std::string& vmGuid, std::set<std::string>& disks) {
  bool mounted = false;
  for (const MountRecord& mount : ListMountRecords(jobId)) {
    if (strcasecmp(mount.guid.c_str(), vmGuid.c_str()) != 0) continue;
    mounted = true;
    for (const MountedDisk& disk : mount.disks) disks.insert(disk.indexName);
  }
  return mounted;
}

// Whether the VM's mount of the job took the disk (by its index name, any case).
bool MountOfJobTookDisk(int64_t jobId, const std::string& vmGuid, const std::string& indexName) {
  std::set<std::string> taken;
  AddDisksMountOfJobTook(jobId, vmGuid, taken);
  return std::any_of(taken.begin(), taken.end(),
                     [&](const std::string& disk) { return strcasecmp(disk.c_str(), indexName.c_str()) == 0; });
}

// "job M" of the job whose backup stands for the VM as of the job asked for, with that job when it is
// another.
std::string StandingJobText(int64_t standing, int64_t asOfJob) {
  const std::string job = "job " + std::to_string(standing);
  if (standing == asOfJob) return job;
  return job + ", its newest backup at or before job " + std::to_string(asOfJob);
}

// Of the disks at `positions` that no backup at or before `asOfJob` holds (those not in `found`): one the
// VM did not have at the job whose backup stands for it then (`standing`) was given since, and is left
// as it is; `left` says so. Any other is refused, and so is every one when no job is asked for or the
// disks the VM had then cannot be told. False with the reason.
bool JudgeDisksNoBackupHolds(const VMDescription& vm, const std::vector<size_t>& positions, int64_t asOfJob,
                             int64_t standing, const std::map<size_t, archive::RestoredDisk>& found,
                             std::vector<std::string>& left, std::string& error) {
  VMDisksAtJob had;
  bool asked = false;
  for (size_t i : positions) {
    if (found.count(i) != 0) continue;
    const std::string indexName = LabDiskIndexName(i, vm.disks[i].file);
    error = "no backup of VM [" + vm.name + "] holds its disk " + indexName;
    if (asOfJob <= 0 || standing <= 0) return false;
    if (!asked) had = DisksOfVMAtJob(vm.guid, standing);
    asked = true;
    const std::string job = StandingJobText(standing, asOfJob);
    if (!had.known) {
      error += " at or before job " + std::to_string(asOfJob) + ", and the disks the VM had at " + job +
               " cannot be told: " + had.source + "; nothing was written";
      return false;
    }
    if (had.HadDisk(vm.guid, i, vm.disks[i].file)) {
      error += ", which it had at " + job + " (its disks then: " + had.source + "); nothing was written";
      return false;
    }
    left.push_back(indexName + " left as it is: VM [" + vm.name + "] had no such disk at " + job +
                   " (its disks then: " + had.source + "), and no backup at or before job " +
                   std::to_string(asOfJob) + " holds it");
  }
  error.clear();
  return true;
}

// The restore of each deleted disk of the VM: from the backup its stub recorded, or, for a disk without
// one or when `asOfJob` asks, from the newest backup at or before that job that holds it. False with the
// reason when a disk has none that can be read whole, or when the newest backup that should hold it is
// lost or its chain is broken: a restore never goes around a lost backup that anything records. A disk
// given since the job asked for, which no backup then holds, is left as it is (`left`). The VM is
// reassembled once per job asked.
bool FindDeletedDisks(const VMDescription& vm, int64_t asOfJob, std::map<size_t, archive::RestoredDisk>& found,
                      std::vector<std::string>& left, std::string& error) {
  std::map<int64_t, std::vector<size_t>> byStubJob;
  std::vector<size_t> newest;
  for (size_t i = 0; i < vm.disks.size(); ++i) {
    if (!vm.disks[i].deleted) continue;
    if (asOfJob == 0 && vm.disks[i].stubJob > 0)
      byStubJob[vm.disks[i].stubJob].push_back(i);
    else
      newest.push_back(i);
  }
  for (const auto& job : byStubJob) {
    archive::VMBackup backup;
    std::string chainWhy;
    const bool reassembled = ReassembleJobBackup(ReadVMChainArchives(vm.guid, job.first), vm.guid, job.first,
                                                 backup, chainWhy);
    for (size_t i : job.second) {
      const VMDisk& disk = vm.disks[i];
      const std::string indexName = LabDiskIndexName(i, disk.file);
      std::string why = chainWhy;
      if (reassembled && DiskOfJobBackup(backup, indexName, disk.stubChangeId, found[i], why)) continue;
      error = NotRestoredFromStubBackup(vm, indexName, job.first, why);
      return false;
    }
  }
  if (newest.empty()) return true;
  int64_t standing = 0;
  return FindNewestBackupsOfDisks(ReadVMArchives(vm.guid, asOfJob), vm, newest, asOfJob, found, standing, error) &&
         JudgeDisksNoBackupHolds(vm, newest, asOfJob, standing, found, left, error);
}

// What the index's record of the VM in a job says of its disks: those it lists, and the job of the stub
// record it carries (0: none).
struct IndexRecordOfJob {
  bool found = false;
  std::set<std::string> disks;
  int64_t stubJob = 0;
  std::string why;  // why a record there does not read
};

// The stub's job of the stub record in the aux text of a VM-level index entry; 0 when it carries none.
int64_t StubJobOfIndexEntry(const std::string& message) {
  using Aux = IdxMetadata::IdxAuxMetaData;
  IdxMetadata::IdxMetaData metadata;
  std::string error;
  if (!metadata.deserialize(message, &error)) return 0;
  const Aux* aux = metadata.getObject<Aux>(IdxMetadata::IdxMetaData::F_aux, false);
  Stub stub;
  if (aux == nullptr || aux->getstring(Aux::F_auxText).empty() || !stub.deserialize(aux->getstring(Aux::F_auxText)))
    return 0;
  return stub.getint64(Stub::F_stubJobId);
}

IndexRecordOfJob ReadIndexRecordOfJob(const std::string& vmGuid, int64_t jobId) {
  IndexRecordOfJob record;
  for (const std::string& subclient : IndexSubclients()) {
    std::vector<std::vector<std::string>> entries;
    std::string error;
    if (!ReadIndexVMEntries(subclient, vmGuid, jobId, entries, error)) {
      record.why = "the index's record of the VM in job " + std::to_string(jobId) + " does not read: " + error;
      continue;
    }
    if (entries.empty()) continue;
    record.found = true;
    for (const auto& entry : entries) {
      if (entry.size() == 3 && entry[0] == "disk") record.disks.insert(entry[1]);
      if (entry.size() == 3 && entry[0] == "meta" && entry[1] == "vm") record.stubJob = StubJobOfIndexEntry(entry[2]);
    }
    return record;
  }
  return record;
}

// Whether the job manager's record of the VM in the job says the job reported it stubbed.
bool ReportedStubbedIn(int64_t jobId, const std::string& vmGuid) {
  JobManager::VMUpdateInfo record;
  std::string error;
  return LoadVMStatus(jobId, vmGuid, record, error) &&
         record.getint64(JobManager::VMUpdateInfo::F_stubStatus) == kVMStubStatusStubbed;
}

// DisksOfVMAtJob by the job's records alone (the hypervisor's marks aside).
VMDisksAtJob RecordedDisksOfVMAtJob(const std::string& vmGuid, int64_t jobId) {
  VMDisksAtJob had;
  had.jobId = jobId;
  const std::string job = "job " + std::to_string(jobId);
  if (AddDisksMountOfJobTook(jobId, vmGuid, had.names)) {
    had.known = true;
    had.mounted = true;
    had.source = "those the mount of " + job + " took";
    return had;
  }
  const IndexRecordOfJob index = ReadIndexRecordOfJob(vmGuid, jobId);
  if (!index.disks.empty()) {
    had.names = index.disks;
    had.known = true;
    had.source = "those the index's record of the VM in " + job + " lists";
    return had;
  }
  if (!index.found) {
    had.source = index.why.empty()
                     ? "neither the job's mount of the VM nor the index's record of it in " + job + " is there"
                     : "the job's mount of the VM is not there, and " + index.why;
    return had;
  }
  const std::string stubJob = "job " + std::to_string(index.stubJob);
  if (index.stubJob <= 0) {
    had.source = "the job's mount of the VM is not there, and the index's record of it in " + job +
                 " lists no disk and carries no stub record";
  } else if (!ReportedStubbedIn(jobId, vmGuid)) {
    had.source = "the job's mount of the VM is not there, and the index's record of it in " + job +
                 " lists no disk; it carries the stub record of " + stubJob + ", but the job manager's record "
                 "of the VM in " + job + " does not say stubbed";
  } else if (index.stubJob >= jobId) {
    had.source = job + " reported the VM as the stub of " + stubJob + ", not of a job before it";
  } else {
    const VMDisksAtJob ofStub = RecordedDisksOfVMAtJob(vmGuid, index.stubJob);
    had.known = ofStub.known;
    had.names = ofStub.names;
    had.source = ofStub.known ? "those of the stub of " + stubJob + " that " + job + " reported: " + ofStub.source
                              : job + " reported the VM as the stub of " + stubJob + ", whose disks cannot be told: " +
                                    ofStub.source;
  }
  return had;
}

// The backups of the VM the index knows, on any subclient, with the disks it recorded of each.
archive::BackupRecords IndexedBackupsOfVM(const std::string& vmGuid) {
  archive::BackupRecords records;
  std::map<int64_t, std::string> subclientOf;
  for (const std::string& subclient : IndexSubclients())
    for (int64_t job : IndexVMEntryJobs(subclient, vmGuid)) {
      records.jobs.insert(job);
      subclientOf.emplace(job, subclient);
    }
  records.disksOf = [subclientOf, vmGuid](int64_t job, std::set<std::string>& disks) {
    const auto subclient = subclientOf.find(job);
    std::vector<std::vector<std::string>> entries;
    std::string error;
    if (subclient == subclientOf.end() ||
        !ReadIndexVMEntriesOfKind(subclient->second, vmGuid, job, "disk", entries, error))
      return false;
    for (const auto& entry : entries)
      if (entry.size() == 3) disks.insert(entry[1]);
    return true;
  };
  return records;
}

// The VM on the server; false with the reason when it is not there.
bool FindVMOnServer(const std::string& server, const std::string& guidOrName, VMDescription& vm, std::string& error) {
  if (FindVM(server, guidOrName, vm)) return true;
  error = "VM [" + guidOrName + "] is not on server [" + server + "]";
  return false;
}

}  // namespace

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

bool ReadNotedVMArchive(const NotedArchive& noted, const std::string& vmGuid, bool structureOnly,
                        archive::ArchiveContents& contents) {
  const std::string path = noted.FoundPath();
  archive::Problem problem;
  if (noted.state == NotedArchive::State::kMissing) {
    contents.path = path;
    contents.malformed = path + ": noted for the VM in job " + std::to_string(noted.location.jobId) +
                         ", but the file is not there";
  } else if (structureOnly || noted.state != NotedArchive::State::kCommitted) {
    archive::ReadArchiveStructure(path, contents, problem);
  } else {
    ReadArchiveWhole(noted.location, contents, problem);
  }
  // A committed file a whole read found damaged is damaged to a reader of its structure too.
  std::string damage;
  if (structureOnly && noted.state == NotedArchive::State::kCommitted && contents.malformed.empty() &&
      ArchiveDamageFound(path, damage))
    contents.malformed = damage + " (found by a whole read)";
  if (noted.state == NotedArchive::State::kUncommitted && contents.malformed.empty())
    contents.malformed = path + ": never committed";
  contents.absent = noted.state != NotedArchive::State::kCommitted;
  // One whose beginning does not read (or that is not there) is still the VM's in its job, by where it
  // lies and its note, and of the attempt its note names: a damaged backup of the VM, never one that is
  // not there.
  if (archive::BeginUnread(contents)) {
    contents.jobId = noted.location.jobId;
    contents.vmGuid = vmGuid;
    contents.dispatch = noted.dispatch;
    contents.attempt = noted.process;
    return true;
  }
  return strcasecmp(contents.vmGuid.c_str(), vmGuid.c_str()) == 0;
}

std::vector<archive::ArchiveContents> ReadVMArchives(const std::string& vmGuid, int64_t asOfJob) {
  std::vector<archive::ArchiveContents> archives;
  for (const NotedArchive& noted : ListVMNotedArchivesUpTo(vmGuid, asOfJob)) {
    archive::ArchiveContents contents;
    if (ReadNotedVMArchive(noted, vmGuid, false, contents)) archives.push_back(std::move(contents));
  }
  return archives;
}

std::vector<archive::ArchiveContents> ReadVMChainArchives(const std::string& vmGuid, int64_t asOfJob,
                                                          bool structureOnly) {
  std::map<int64_t, std::vector<NotedArchive>, std::greater<int64_t>> byJob;
  for (NotedArchive& noted : ListVMNotedArchivesUpTo(vmGuid, asOfJob))
    byJob[noted.location.jobId].push_back(std::move(noted));
  std::vector<archive::ArchiveContents> archives;
  for (const auto& job : byJob) {
    const size_t first = archives.size();
    for (const NotedArchive& noted : job.second) {
      archive::ArchiveContents contents;
      if (ReadNotedVMArchive(noted, vmGuid, structureOnly, contents)) archives.push_back(std::move(contents));
    }
    std::vector<const archive::ArchiveContents*> ofJob;
    for (size_t i = first; i < archives.size(); ++i)
      if (!archives[i].indexOnly) ofJob.push_back(&archives[i]);
    // The newest full that can be used is where the chain begins: nothing before it counts.
    const archive::JobBackup judged = archive::JudgeJobBackup(ofJob);
    if (judged.Usable() && std::any_of(judged.archives.begin(), judged.archives.end(),
                                       [](const archive::ArchiveContents* taken) { return taken->backupLevel == 1; }))
      break;
  }
  return archives;
}

archive::BackupRecords ReportedBackupsOfVM(const std::string& vmGuid, int64_t fromJob, int64_t toJob) {
  archive::BackupRecords records = IndexedBackupsOfVM(vmGuid);
  for (int64_t job : ListJobs()) {
    if (job < fromJob || (toJob > 0 && job > toJob)) continue;
    JobManager::VMUpdateInfo record;
    std::string error;
    if (!LoadVMStatus(job, vmGuid, record, error)) continue;
    const int64_t status = record.getint64(JobManager::VMUpdateInfo::F_vmStatus);
    if (status == kVMStatusBackedUp || status == kVMStatusBackedUpWithErrors) records.jobs.insert(job);
  }
  // Where the index lost its record of a job, the job's mount still says which disks its backup holds:
  // read around, a disk whose archive is no longer noted would come from the backup before, which is
  // not the disk as of the job.
  records.disksOf = [indexed = records.disksOf, vmGuid](int64_t job, std::set<std::string>& disks) {
    return indexed(job, disks) || AddDisksMountOfJobTook(job, vmGuid, disks);
  };
  return records;
}

bool VMChainOnMediaIsWhole(const std::string& vmGuid, int64_t asOfJob, std::string& why) {
  const std::vector<archive::ArchiveContents> archives = ReadVMChainArchives(vmGuid, asOfJob, true);
  // The job manager's records of the jobs below the chain's oldest archive name no link of it.
  int64_t oldest = asOfJob;
  for (const archive::ArchiveContents& contents : archives)
    if (contents.jobId > 0 && (oldest <= 0 || contents.jobId < oldest)) oldest = contents.jobId;
  archive::VMBackup backup;
  std::vector<std::string> notes;
  if (!archive::JudgeVMChains(archives, vmGuid, asOfJob, ReportedBackupsOfVM(vmGuid, oldest, asOfJob), backup, notes,
                              why))
    return false;
  if (backup.brokenDisks.empty()) return true;
  why = "disk [" + backup.brokenDisks.begin()->first + "]: " + backup.brokenDisks.begin()->second;
  return false;
}

bool ReassembleJobBackup(const std::vector<archive::ArchiveContents>& archives, const std::string& vmGuid,
                         int64_t jobId, archive::VMBackup& backup, std::string& why) {
  const std::string job = "job " + std::to_string(jobId);
  std::vector<std::string> notes;
  if (!archive::ReassembleVM(archives, vmGuid, jobId, ReportedBackupsOfVM(vmGuid), backup, notes, why))
    return false;
  if (backup.jobs.empty() || backup.jobs.back() != jobId) {
    why = job + " is not in the VM's chain";
    for (const std::string& note : notes)
      if (note.compare(0, job.size() + 1, job + " ") == 0) why = note;
    return false;
  }
  return true;
}

bool DiskOfJobBackup(const archive::VMBackup& backup, const std::string& indexName, const std::string& changeId,
                     archive::RestoredDisk& disk, std::string& why) {
  const int64_t jobId = backup.jobs.empty() ? 0 : backup.jobs.back();
  const std::string job = "job " + std::to_string(jobId);
  const std::string broken = BrokenChainOf(backup, indexName);
  if (!broken.empty()) {
    why = broken;
    return false;
  }
  const archive::RestoredDisk* found = FindRestoredDisk(backup, indexName);
  if (found == nullptr || found->headerJob != jobId) {
    why = job + "'s backup of the VM does not hold the disk";
    return false;
  }
  const std::string read = found->place.changeId;
  if (changeId.empty() || read != changeId) {
    why = job + "'s backup read the disk at change id [" + read + "], not at [" + changeId + "]";
    return false;
  }
  disk = *found;
  return true;
}

bool VMDisksAtJob::Had(const std::string& name) const {
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& had) { return strcasecmp(had.c_str(), name.c_str()) == 0; });
}

bool VMDisksAtJob::HadDisk(const std::string& vmGuid, size_t position, const std::string& imageFile) const {
  return Had(LabDiskIndexName(position, imageFile)) || Had(LabVolumeBackupName(vmGuid, position));
}

VMDisksAtJob DisksOfVMAtJob(const std::string& vmGuid, int64_t jobId) {
  if (jobId <= 0) {
    VMDisksAtJob none;
    none.source = "no job names them";
    return none;
  }
  VMDisksAtJob had = RecordedDisksOfVMAtJob(vmGuid, jobId);
  if (!had.known) return had;
  // A disk a stub deleted by then is the VM's still: a restore as of the job brings it back.
  std::string server;
  VMDescription vm;
  if (!FindLabVM(vmGuid, server, vm)) return had;
  for (size_t i = 0; i < vm.disks.size(); ++i)
    if (vm.disks[i].deleted && vm.disks[i].stubJob > 0 && vm.disks[i].stubJob <= jobId)
      had.names.insert(LabDiskIndexName(i, vm.disks[i].file));
  return had;
}

bool FindNewestBackupsOfDisks(const std::vector<archive::ArchiveContents>& archives, const VMDescription& vm,
                              const std::vector<size_t>& positions, int64_t asOfJob,
                              std::map<size_t, archive::RestoredDisk>& found, int64_t& standing, std::string& error) {
  standing = 0;
  const archive::BackupRecords reported = ReportedBackupsOfVM(vm.guid);
  size_t left = std::count_if(positions.begin(), positions.end(), [&](size_t i) { return found.count(i) == 0; });
  for (int64_t asOf = asOfJob; left > 0;) {
    archive::VMBackup backup;
    std::vector<std::string> notes;
    std::string why;
    if (!archive::ReassembleVM(archives, vm.guid, asOf, reported, backup, notes, why)) {
      if (backup.lostJob == 0) break;
      for (size_t i : positions) {
        if (found.count(i) != 0) continue;
        error = "disk " + LabDiskIndexName(i, vm.disks[i].file) + " of VM [" + vm.name + "] is not restored: " +
                why + "; nothing was written";
        break;
      }
      return false;
    }
    if (standing == 0) standing = backup.jobs.back();
    for (size_t i : positions) {
      if (found.count(i) != 0) continue;
      const std::string indexName = LabDiskIndexName(i, vm.disks[i].file);
      const std::string broken = BrokenChainOf(backup, indexName);
      if (!broken.empty()) {
        error = "disk " + indexName + " of VM [" + vm.name + "] is not restored: " + broken + "; nothing was written";
        return false;
      }
      const archive::RestoredDisk* disk = FindRestoredDisk(backup, indexName);
      // The job's mount took the disk: its backup holds it, whatever lost the note of the archive that
      // did and the index's record of the job. An earlier backup's bytes are not the disk as of the job.
      const int64_t newest = backup.jobs.back();
      if ((disk == nullptr || disk->headerJob != newest) && MountOfJobTookDisk(newest, vm.guid, indexName)) {
        error = "disk " + indexName + " of VM [" + vm.name + "] is not restored: the mount of job " +
                std::to_string(newest) + " took it, but no committed archive of the job's latest attempt holds "
                "it; nothing was written";
        return false;
      }
      if (disk == nullptr) continue;
      found[i] = *disk;
      --left;
    }
    if (backup.jobs.back() <= 1) break;
    asOf = backup.jobs.back() - 1;
  }
  return true;
}

bool RestoreVMDisks(const std::string& server, const std::string& guidOrName, int64_t asOfJob,
                    std::vector<std::string>& restored, std::string& error) {
  std::vector<std::string> left;
  return RestoreVMDisks(server, guidOrName, asOfJob, restored, left, error);
}

bool RestoreVMDisks(const std::string& server, const std::string& guidOrName, int64_t asOfJob,
                    std::vector<std::string>& restored, std::vector<std::string>& left, std::string& error) {
  VMDescription vm;
  if (!FindVMOnServer(server, guidOrName, vm, error)) return false;
  if (std::none_of(vm.disks.begin(), vm.disks.end(), [](const VMDisk& disk) { return disk.deleted; })) {
    error = "VM [" + vm.name + "] has all its disks: nothing to restore";
    return false;
  }
  std::map<size_t, archive::RestoredDisk> found;
  left.clear();
  if (!FindDeletedDisks(vm, asOfJob, found, left, error)) return false;
  if (found.empty() && !left.empty()) {
    error = "nothing to restore as of job " + std::to_string(asOfJob) + ": " + left.front();
    left.clear();
    return false;
  }
  // Until the description says a disk is back, its image is no restore: a restore that stops on the
  // way removes the images it wrote, leaving the VM as its description has it.
  std::vector<std::string> written;
  const auto undo = [&] {
    for (const std::string& image : written) unlink(image.c_str());
    restored.clear();
    left.clear();
    return false;
  };
  for (const auto& disk : found) {
    const std::string image = DiskImagePath(server, vm.disks[disk.first].file);
    if (!MakeDirs(image.substr(0, image.rfind('/')))) {
      error = "cannot make the folder of " + image;
      return undo();
    }
    FileLock lock(image);
    // An image a stub cut off left behind (marked deleted before it went) is replaced like a missing one.
    const bool present = access(image.c_str(), F_OK) == 0;
    FaultCall syncCall;
    syncCall.op = "restore.SyncImage";
    syncCall.vm = vm.guid;
    syncCall.disk = LabDiskIndexName(disk.first, vm.disks[disk.first].file);
    if (!RecordWholeDiskChange(image, disk.second.size, present, error) ||
        !WriteRestoredImage(image, disk.second, syncCall, error))
      return undo();
    written.push_back(image);
  }
  return UpdateVMDescription(
      server, vm.guid,
      [&](VMDescription& changed, std::string&) {
        for (const auto& disk : found) {
          if (disk.first >= changed.disks.size()) continue;
          changed.disks[disk.first].deleted = false;
          changed.disks[disk.first].stubJob = 0;
          changed.disks[disk.first].stubChangeId.clear();
          restored.push_back(LabDiskIndexName(disk.first, changed.disks[disk.first].file) + " from job " +
                             std::to_string(disk.second.headerJob));
        }
        changed.options.erase(kStubRecordOption);
        changed.customFields.erase(kArchivedField);
        return true;
      },
      error) || undo();
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
