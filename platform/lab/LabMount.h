#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/lab/LabSubclient.h"

// The mounts of the lab's hypervisor: a mount of a VM for a job takes a point-in-time copy of the VM's
// disk images and of its description (its configuration file) into the mount-path folder, so that a
// disk changed while the job runs does not change what is backed up. Its record is
// hypervisor/<server>/mounts/<job id>/<VM GUID in lower case>.mount, key=value lines:
//   vm, guid, mountPath, cleanup, state (mounted | unmounted), diskCount,
//   disk<i>.indexName, disk<i>.source (image path under the server folder), disk<i>.copy,
//   disk<i>.datastore, disk<i>.sizeBytes, disk<i>.sha256 (of the copy; empty when not taken),
//   disk<i>.leftOut (the 512-byte sectors the backup read as zeros, "<first>-<last>,..."; absent when
//   none) and disk<i>.leftOutSha256 (of the copy with those sectors as zeros, taken at the unmount
//   when sha256 was),
//   configCount, config<i>.source, config<i>.copy
// The record outlives the copies: it is what the backed-up disks are compared with afterwards.
namespace lab {

struct MountedDisk {
  std::string indexName;
  std::string source;
  std::string copy;
  std::string datastore;
  uint64_t sizeBytes = 0;
  std::string sha256;
  std::vector<std::pair<uint64_t, uint64_t>> leftOut;  // sorted, merged 512-byte sector ranges
  std::string leftOutSha256;
};

// A configuration file of the VM and its copy.
struct MountedFile {
  std::string source;
  std::string copy;
};

struct MountRecord {
  std::string vm;
  std::string guid;
  std::string mountPath;
  std::string cleanup;
  std::string state;  // "mounted" or "unmounted"
  std::vector<MountedDisk> disks;
  std::vector<MountedFile> configs;
  std::map<std::string, std::string> other;
};

bool ParseMountRecord(const std::string& text, MountRecord& record, std::string& error);
std::string FormatMountRecord(const MountRecord& record);
// Empty when a name is not usable.
std::string MountRecordPath(const std::string& server, int64_t jobId, const std::string& guid);
bool WriteMountRecord(const std::string& server, int64_t jobId, const MountRecord& record, std::string& error);
RecordRead ReadMountRecord(const std::string& server, int64_t jobId, const std::string& guid, MountRecord& record,
                           std::string& error);
// Every readable mount record of the job, on every server.
std::vector<MountRecord> ListMountRecords(int64_t jobId);

// Records that the backup of the job left these 512-byte sectors of the mounted disk (its copy's path)
// out, reading them as zeros; they join any recorded before. False with the reason (no such mount or
// disk); the record is then unchanged.
bool RecordLeftOutSectors(int64_t jobId, const std::string& guid, const std::string& copyPath,
                          const std::vector<std::pair<uint64_t, uint64_t>>& sectors, std::string& error);
// SHA-256 of a file read with the 512-byte sectors of `zeroed` as zeros. False with the reason.
bool DigestWithZeroedSectors(const std::string& path, const std::vector<std::pair<uint64_t, uint64_t>>& zeroed,
                             std::string& sha256, std::string& error);
// Sorts and merges sector ranges (first, last), touching ones too.
std::vector<std::pair<uint64_t, uint64_t>> MergeSectorRanges(std::vector<std::pair<uint64_t, uint64_t>> ranges);

// The name a disk of a VM is backed up and indexed under: "scsi0-<position>-<image file name>".
std::string LabDiskIndexName(size_t position, const std::string& imageFile);

// Copies a file as of now: a reflink where the file system shares blocks, else a copy that keeps
// holes. With sha256 non-null, the copy's SHA-256 is taken too. The copy must not exist yet. False
// with the reason; no partial copy is left.
bool CopyPointInTime(const std::string& source, const std::string& copy, std::string* sha256, std::string& error);

}  // namespace lab
