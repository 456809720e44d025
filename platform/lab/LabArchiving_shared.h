#pragma once
#include <cstdint>
#include <set>
#include <string>

#include "platform/archive/ArchiveRestore.h"
#include "platform/lab/LabHypervisor.h"

// What the files of the lab's archiving model (LabArchiving*.cpp: the hypervisor's side, the chains of
// backups, the disks a VM had at a job, the restore of a stub) share. Nothing else includes it: the
// model's interface is platform/lab/LabArchiving.h.
namespace lab {

constexpr const char* kArchivedField = "Archived";

// Removes a file that may not exist; false with the reason when it exists and stays.
bool RemoveIfPresent(const std::string& path, std::string& error);
// Records in the image's journal (when it has one) that every byte of the disk changes now, as the
// lab's writer does before it writes: what the snapshots of the image still need of it is kept first
// (the digest of the generation a mount took among it), so that the backups of the image can still be
// checked after it is gone or rewritten. REQUIRES: the image's lock.
bool RecordWholeDiskChange(const std::string& image, uint64_t sizeBytes, bool imagePresent, std::string& error);
// The VM on the server; false with the reason when it is not there.
bool FindVMOnServer(const std::string& server, const std::string& guidOrName, VMDescription& vm, std::string& error);

// The VM's disk by its index name (any case) in the reassembled backup; null when it has none.
const archive::RestoredDisk* FindRestoredDisk(const archive::VMBackup& backup, const std::string& indexName);
// Why the disk of the reassembled backup is not restored because its chain is broken; empty when it is
// not such a disk.
std::string BrokenChainOf(const archive::VMBackup& backup, const std::string& indexName);
// Adds the disks the VM's mount of the job took (by their index names); false when no mount of the VM
// in that job is recorded.
bool AddDisksMountOfJobTook(int64_t jobId, const std::string& vmGuid, std::set<std::string>& disks);
// Whether the VM's mount of the job took the disk (by its index name, any case).
bool MountOfJobTookDisk(int64_t jobId, const std::string& vmGuid, const std::string& indexName);

}  // namespace lab
