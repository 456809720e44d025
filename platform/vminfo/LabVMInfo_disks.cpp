// What the lab's hypervisor answers for the data path: change ids of its disks and disk streams.
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabMount.h"
#include "platform/vminfo/LabVMInfo.h"

int LabVMInfo::ValidateChangeId(const std::string& vmName, const std::string& backupName, const std::string& diskPath,
                                const std::string& changeId) {
  const std::string vm = backupName.empty() ? vmName : backupName;
  if (Faulted("vminfo.ValidateChangeId", vm)) return 0;
  lab::ChangeJournal journal;
  std::string error;
  // A volume's changes are those of the copy its VM's mount took of it.
  std::string path = diskPath;
  if (lab::IsVolumeName(diskPath)) {
    int64_t jobId = 0;
    {
      ZtMutexLock lock(mutex_);
      jobId = mountJob_;
    }
    if (!lab::MountedVolumeCopy(jobId, vm, diskPath, path, error))
      return Fail(kErrNotFound, "Volume [" + diskPath + "] of VM [" + vm + "]: " + error);
  }
  if (lab::ReadChangeJournal(path, journal, error) != lab::ReadResult::kRead)
    return Fail(kErrNotFound, "Disk [" + diskPath + "] of VM [" + vm + "] keeps no change journal " + error);
  std::vector<lab::ByteRange> ranges;
  bool wholeDisk = false;
  if (!lab::ChangedSince(journal, changeId, ranges, wholeDisk, error))
    return Fail(kErrNotFound, "Disk [" + diskPath + "] of VM [" + vm + "]: " + error);
  Succeed();
  return 1;
}

int LabVMInfo::ReserveDiskStream(int count) {
  std::string vm;
  int64_t jobId = 0;
  {
    ZtMutexLock lock(mutex_);
    vm = mountedVM_;
    jobId = mountJob_;
  }
  if (Faulted("vminfo.ReserveDiskStream", vm)) return 0;
  if (count <= 0) return Fail(kErrNotFound, "No disk stream asked for");
  {
    ZtMutexLock lock(mutex_);
    diskStreamsHeld_ += count;
  }
  if (jobId > 0) lab::AppendDiskStreamCall(jobId, true, count, vm);
  Succeed();
  return 1;
}

int LabVMInfo::ReleaseDiskStream(int count) {
  std::string vm;
  int64_t jobId = 0;
  {
    ZtMutexLock lock(mutex_);
    vm = mountedVM_;
    jobId = mountJob_;
    diskStreamsHeld_ -= count;
  }
  if (jobId > 0) lab::AppendDiskStreamCall(jobId, false, count, vm);
  Succeed();
  return 1;
}

int64_t LabVMInfo::DiskStreamsHeld() const {
  ZtMutexLock lock(mutex_);
  return diskStreamsHeld_;
}
