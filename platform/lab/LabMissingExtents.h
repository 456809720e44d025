#pragma once
#include <cstdint>
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

}  // namespace lab
