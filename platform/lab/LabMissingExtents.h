#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// Extents the lab's index lacks or found damaged in a VM's backups. The index keeps them per job as
// index/<subclient GUID>/<job>/corruptExtents_<VM GUID>.xml (Indexing::VirtualServerMissingExtents,
// one entry per disk by its index name, each extent by the name its backup gave it: a fixed-length
// name or "Extent<n>", as the job's index record says), which a later job of the subclient downloads
// among its metadata files and backs those extents up again.
namespace lab {

std::string MissingExtentsFileName(const std::string& vmGuid);

// Declares the extents of the VM's disk missing in the job's index; the job must have an index record.
// A disk declared again gets the extents of both declarations; other disks' declarations are kept.
// False with the reason.
bool DeclareMissingExtents(const std::string& appId, int64_t jobId, const std::string& vmGuid,
                           const std::string& diskIndexName, const std::vector<uint64_t>& extents,
                           std::string& error);

// The same with the extents' names as given, a name the index does not understand included.
bool DeclareMissingExtentNames(const std::string& appId, int64_t jobId, const std::string& vmGuid,
                               const std::string& diskIndexName, const std::vector<std::string>& names,
                               std::string& error);

// The VM's declaration kept by the job: each declared disk's extent names by its index name; empty
// when the job keeps none. False with the reason when it cannot be read.
bool ReadMissingExtents(const std::string& subclientGuid, int64_t jobId, const std::string& vmGuid,
                        std::map<std::string, std::vector<std::string>>& disks, std::string& error);

// What one job's archives of a VM hold of one of its disks, as the index learns them.
struct DiskExtentsSent {
  std::set<uint64_t> extents;  // the extent items that ended well
  uint64_t sizeBytes = 0;      // the disk's size by its header in the job; 0 when the job sent none
  uint64_t extentBytes = 0;
};

// Settles the VM's declarations kept by the job and the jobs before it with what the job sent (the
// disks by their index names, any case): an extent sent again, or past the end of the disk as the job
// backed it up, is missing no more. A disk none of whose extents is missing any more is dropped, with
// the names the index cannot read as extents; a declaration left with no disk is removed. False with
// the reason.
bool SettleMissingExtents(const std::string& subclientGuid, int64_t jobId, const std::string& vmGuid,
                          const std::map<std::string, DiskExtentsSent>& disks, std::string& error);

}  // namespace lab
