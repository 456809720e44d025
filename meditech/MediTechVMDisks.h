#pragma once
#include <string>
#include <unordered_set>

#include "platform/ev/EvEvent.h"

// One census disk of a MEDITECH VM and what the backup did with it. Only the GUID takes part in the
// set's hashing and equality, so the flags may change on a disk found in the set.
struct MediTechDisk {
  std::string guid;
  std::string shown;  // the GUID as the log and the job's events show it (the tool's password masked)
  mutable bool included = false;
  mutable bool backupOk = false;
};

// Census GUIDs are at least kMinMediTechDiskGuid characters long; they hash on their last
// kMediTechDiskHashLength ones.
constexpr size_t kMinMediTechDiskGuid = 25;
constexpr size_t kMediTechDiskHashLength = 24;

struct MediTechDiskHasher {
  size_t operator()(const MediTechDisk& disk) const;
};

// A disk name the backup knows (the index name of the disk) is the census disk whose GUID ends it.
struct MediTechDiskEqual {
  bool operator()(const MediTechDisk& a, const MediTechDisk& b) const;
};

// The census disks of one MEDITECH VM (one worker's, for the VM in hand).
class MediTechVMDisks {
 public:
  void Reset(const std::string& vmName);
  // A GUID shorter than kMinMediTechDiskGuid is logged and left out; an equal disk present is kept.
  // `shown` is how the log and the events show it (empty: as it is).
  void Insert(const std::string& guid, const std::string& shown = std::string());
  // Marks the census disk that the name ends with as included in the backup; nothing without one.
  void AddedToBackup(const std::string& diskName);
  // Records the result (0 success) of the census disk that the name ends with; nothing without one.
  void SetBackupStatus(const std::string& diskName, int status);
  // Raises an event for every census disk not included; true when none was missing.
  bool AllDisksInBackupList();
  // True when a census disk failed or was never reported.
  bool AnyDiskBackupFailed();

  size_t Size() const { return disks_.size(); }
  const std::string& VMName() const { return vmName_; }

 private:
  // The census disk the backup's disk name stands for; null without one. A name shorter than the
  // hashed length could only match through a collision of hashes, so it matches nothing.
  const MediTechDisk* Find(const std::string& diskName) const;

  EvEvent event_;
  std::string vmName_;
  std::unordered_set<MediTechDisk, MediTechDiskHasher, MediTechDiskEqual> disks_;
};
