#pragma once
// Copies of a lab VM's disks taken before a job: what the job's backup of them must restore to, byte for
// byte (never what the job itself recorded of them).
#include <strings.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/lab/LabCreate.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabMount.h"

namespace testsupport {

// How a job's backup names the disks of a VM: by the disk (LabDiskIndexName) or, for a volume-level
// backup, by the volume each disk image holds (LabVolumeBackupName).
enum class BackupNaming { kDisks, kVolumes };

// One disk of a VM as it was when the copy was taken.
struct DiskCopy {
  std::string vm;          // the VM's name
  std::string guid;        // the VM's GUID
  size_t position = 0;     // the disk's place among the VM's disks
  std::string diskName;    // the disk's name in backups: its index name, or its volume's backup name
  std::string path;        // the copy
  std::string sha256;      // of the copy's bytes
  // The name its backup keeps it under: "\<VM GUID>\<disk name>".
  std::string BackupName() const { return "\\" + guid + "\\" + diskName; }
};
using DiskCopies = std::vector<DiskCopy>;

// REQUIRES: the lab's scope. Copies, into `folder` (made when missing), of every disk the VMs (names or
// GUIDs) have on the hypervisor now; a disk a stub deleted has none. A copy the same folder held of the
// same disk is replaced. Each copy is a point-in-time copy of the image: a later write to the disk
// does not reach it. A VM or disk that cannot be copied fails the test.
inline DiskCopies CopyDisks(const std::vector<std::string>& vms, const std::string& folder,
                            BackupNaming naming = BackupNaming::kDisks) {
  DiskCopies copies;
  std::error_code failed;
  std::filesystem::create_directories(folder, failed);
  EXPECT_FALSE(failed) << folder << ": " << failed.message();
  for (const std::string& vm : vms) {
    lab::VMDescription description;
    EXPECT_TRUE(lab::FindVM(lab::SampleServer(), vm, description)) << "no VM " << vm;
    for (size_t i = 0; i < description.disks.size(); ++i) {
      if (description.disks[i].deleted) continue;
      DiskCopy copy;
      copy.vm = description.name;
      copy.guid = description.guid;
      copy.position = i;
      copy.diskName = naming == BackupNaming::kVolumes ? lab::LabVolumeBackupName(description.guid, i)
                                                       : lab::LabDiskIndexName(i, description.disks[i].file);
      copy.path = folder + "/" + description.name + "-" + std::to_string(i) + ".img";
      unlink(copy.path.c_str());
      std::string error;
      EXPECT_TRUE(lab::CopyPointInTime(lab::DiskImagePath(lab::SampleServer(), description.disks[i].file), copy.path,
                                       &copy.sha256, error))
          << error;
      copies.push_back(std::move(copy));
    }
  }
  return copies;
}

// The copies of one VM's disks (by name or GUID), in the order of its disks.
inline DiskCopies CopiesOf(const DiskCopies& copies, const std::string& vm) {
  DiskCopies of;
  for (const DiskCopy& copy : copies)
    if (copy.vm == vm || strcasecmp(copy.guid.c_str(), vm.c_str()) == 0) of.push_back(copy);
  return of;
}

// The copy of the VM's disk at `position`; empty when there is none.
inline std::string CopyPath(const DiskCopies& copies, const std::string& vm, size_t position) {
  for (const DiskCopy& copy : CopiesOf(copies, vm))
    if (copy.position == position) return copy.path;
  return std::string();
}

// verify's --image of one VM's copies: "<position>=<copy>,...".
inline std::string ImageArgument(const DiskCopies& copies, const std::string& vm) {
  std::string images;
  for (const DiskCopy& copy : CopiesOf(copies, vm))
    images += (images.empty() ? "" : ",") + std::to_string(copy.position) + "=" + copy.path;
  return images;
}

}  // namespace testsupport
