#include "meditech/MediTechVMDisks.h"

#include <functional>

namespace {

const char* const kSigInsert = "void MediTechVMDisks::Insert(const std::string&)";
const char* const kSigAdded = "void MediTechVMDisks::AddedToBackup(const std::string&)";
const char* const kSigStatus = "void MediTechVMDisks::SetBackupStatus(const std::string&, int)";
const char* const kSigAll = "bool MediTechVMDisks::AllDisksInBackupList()";
const char* const kSigFailed = "bool MediTechVMDisks::AnyDiskBackupFailed()";

constexpr uint32_t kEventDiskBackupFailed = 0x5B000191;
constexpr uint32_t kEventDiskNotIncluded = 0x5B000192;

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

size_t MediTechDiskHasher::operator()(const MediTechDisk& disk) const {
  const std::string& guid = disk.guid;
  if (guid.size() <= kMediTechDiskHashLength) return std::hash<std::string>()(guid);
  return std::hash<std::string>()(guid.substr(guid.size() - kMediTechDiskHashLength));
}

bool MediTechDiskEqual::operator()(const MediTechDisk& a, const MediTechDisk& b) const {
  return a.guid.size() <= b.guid.size() ? EndsWith(b.guid, a.guid) : EndsWith(a.guid, b.guid);
}

void MediTechVMDisks::Reset(const std::string& vmName) {
  disks_.clear();
  vmName_ = vmName;
}

void MediTechVMDisks::Insert(const std::string& guid, const std::string& shown) {
  const std::string& text = shown.empty() ? guid : shown;
  if (guid.size() < kMinMediTechDiskGuid) {
    event_.Error(kSigInsert, "invalid disk guid %s", text.c_str());
    return;
  }
  disks_.insert(MediTechDisk{guid, text});
}

const MediTechDisk* MediTechVMDisks::Find(const std::string& diskName) const {
  if (diskName.size() < kMediTechDiskHashLength) return nullptr;
  auto it = disks_.find(MediTechDisk{diskName, diskName});
  return it == disks_.end() ? nullptr : &*it;
}

void MediTechVMDisks::AddedToBackup(const std::string& diskName) {
  const MediTechDisk* disk = Find(diskName);
  if (disk == nullptr) return;
  disk->included = true;
  event_.Debug(kSigAdded, "MediTech VM[%s] Disk[%s] is included in the backup", vmName_.c_str(), disk->shown.c_str());
}

void MediTechVMDisks::SetBackupStatus(const std::string& diskName, int status) {
  const MediTechDisk* disk = Find(diskName);
  if (disk == nullptr) return;
  disk->backupOk = status == 0;
  if (status != 0) {
    event_ << vmName_ << disk->shown;
    event_.MinorEvent(kEventDiskBackupFailed);
  }
  event_.Debug(kSigStatus, "MediTech VM[%s] Disk[%s] backup %s", vmName_.c_str(), disk->shown.c_str(),
               status == 0 ? "successful." : "failed.");
}

bool MediTechVMDisks::AllDisksInBackupList() {
  bool all = true;
  for (const MediTechDisk& disk : disks_) {
    if (disk.included) continue;
    event_ << vmName_ << disk.shown;
    event_.MinorEvent(kEventDiskNotIncluded);
    event_.Error(kSigAll, "Meditech VM[%s] Disk[%s] not included in the backup", vmName_.c_str(), disk.shown.c_str());
    all = false;
  }
  return all;
}

bool MediTechVMDisks::AnyDiskBackupFailed() {
  bool failed = false;
  for (const MediTechDisk& disk : disks_) {
    if (disk.backupOk) continue;
    event_.Error(kSigFailed, "Meditech VM[%s] Disk[%s] backup failed", vmName_.c_str(), disk.shown.c_str());
    failed = true;
  }
  if (!failed) event_.Debug(kSigFailed, "VM[%s]: All Meditech disks backup is successful", vmName_.c_str());
  return failed;
}
