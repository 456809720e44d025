#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/archive/ArchiveRestore.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabArchiving_shared.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabMount.h"
#include "platform/os/ZtSync.h"

// The lab's archiving model: the restore of a stub's deleted disks, from the backups its stub recorded or
// as of a job.
namespace lab {
namespace {

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

// The message of a stub's disk that its recorded backup does not give back.
std::string NotRestoredFromStubBackup(const VMDescription& vm, const std::string& indexName, int64_t stubJob,
                                      const std::string& why) {
  return "disk " + indexName + " of VM [" + vm.name + "] is not restored: the backup of job " +
         std::to_string(stubJob) + " that its stub deleted it on cannot be read whole (" + why +
         "); nothing was written (--job N restores from the newest backup at or before job N that holds it)";
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
}  // namespace

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

bool DeletedDisksComeBack(const VMDescription& vm, std::string& why) {
  std::map<size_t, archive::RestoredDisk> found;
  std::vector<std::string> left;
  return FindDeletedDisks(vm, 0, found, left, why);
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
}  // namespace lab
