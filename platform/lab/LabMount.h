#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/lab/LabSubclient.h"

// The mounts of the lab's hypervisor: a mount of a VM for a job takes a snapshot of each of the VM's
// disk images (platform/lab/LabSnapshot.h: its view in the mount-path folder) and a point-in-time copy
// of its configuration files there, so that a disk changed while the job runs does not change what is
// backed up. Its record is hypervisor/<server>/mounts/<job id>/<VM GUID in lower case>.mount, key=value
// lines:
//   vm, guid, server, mountPath, cleanup, state (mounted | unmounted), diskCount,
//   disk<i>.indexName, disk<i>.source (image path under the server folder), disk<i>.copy (the view),
//   disk<i>.changeId (the generation the view holds), disk<i>.datastore, disk<i>.sizeBytes,
//   disk<i>.sha256 (of what was backed up, when a mount of an earlier lab took it),
//   disk<i>.leftOut (the 512-byte sectors the backup read as zeros, "<first>-<last>,..."; absent when
//   none), disk<i>.leftOutSha256 (of what the mount took with those sectors read as zeros, kept once
//   the image is about to leave the mount's generation; absent until then),
//   disk<i>.volume (the volume name a volume-level mount lists the disk as, "\\?\Volume{<GUID>}\"; its
//   indexName is then the volume's backup name, the GUID; absent for a disk-level mount),
//   configCount, config<i>.source, config<i>.copy,
//   earlierDiskCount, earlierDisk<i>.* (the fields of disk<i>): what the mounts of earlier attempts at the
//   VM in the job took, each disk at a generation this one did not take, kept when this mount replaced
//   their record: a backup by an earlier attempt still stands for the job until a later one finishes
//   the VM, and a disk this mount did not take (deleted by the job's stub since) keeps it for good.
// The record outlives the views: it is what the backed-up disks are compared with afterwards
// (MountedDiskDigest).
namespace lab {

struct MountedDisk {
  std::string indexName;
  std::string source;
  std::string copy;
  std::string datastore;
  uint64_t sizeBytes = 0;
  std::string sha256;
  std::string changeId;
  std::vector<std::pair<uint64_t, uint64_t>> leftOut;  // sorted, merged 512-byte sector ranges
  std::string leftOutSha256;
  std::string volume;  // empty unless a volume-level mount took the disk
};

// A configuration file of the VM and its copy.
struct MountedFile {
  std::string source;
  std::string copy;
};

struct MountRecord {
  std::string vm;
  std::string guid;
  std::string server;
  std::string mountPath;
  std::string cleanup;
  std::string state;  // "mounted" or "unmounted"
  std::vector<MountedDisk> disks;
  std::vector<MountedFile> configs;
  std::vector<MountedDisk> earlierDisks;  // earlier attempts' mounts, of generations this one did not take
  std::map<std::string, std::string> other;
};

bool ParseMountRecord(const std::string& text, MountRecord& record, std::string& error);
std::string FormatMountRecord(const MountRecord& record);
// Empty when a name is not usable.
std::string MountRecordPath(const std::string& server, int64_t jobId, const std::string& guid);
bool WriteMountRecord(const std::string& server, int64_t jobId, const MountRecord& record, std::string& error);
// Keeps in the record of a new mount of the VM in the job what the record it replaces (an earlier
// attempt's) holds of disks at generations the new mount did not take, as its earlier disks.
void KeepEarlierAttemptsDisks(const std::string& server, int64_t jobId, MountRecord& record);
RecordRead ReadMountRecord(const std::string& server, int64_t jobId, const std::string& guid, MountRecord& record,
                           std::string& error);
// Every readable mount record of the job, on every server.
std::vector<MountRecord> ListMountRecords(int64_t jobId);
// The job's readable mount records of one VM, on every server: only its own files are read.
std::vector<MountRecord> ListMountRecordsOfVM(int64_t jobId, const std::string& guid);

// Ends a mount as the VM's unmount does: the views of disks the mount made in its mount path are
// dropped (a view elsewhere is a shared shadow's, which ends with the shadow) and its configuration file
// copies removed, but for those `keep` names; with `removeFolder` the mount path goes with everything in
// it, else only the folders the mount made there and the mount path itself, once empty (another caller's
// mount may share it). The record then says "unmounted". False with the reason.
bool EndMount(const std::string& server, int64_t jobId, MountRecord& record, bool removeFolder,
              const std::set<std::string>& keep, std::string& error);

// The job manager's clean-up after a job whose processes died (REQUIRES: none of them runs, and the lab's
// run lock held): each mount of the job still "mounted" is ended as the VM's unmount ends it. The views
// and copies it made in its mount path (a folder of the lab) go, then the folders it made there once
// empty, and its record says "unmounted"; the record itself stays, for what the job backed up is judged
// by it. A view of a shared shadow stays the shadow's, and a view that a mount of another job with a
// process still running names (the VM mounted again at the same path) stays that mount's. `ended` gets
// the VMs' names. False with the reason at the first mount that cannot be ended; those before it stay
// ended.
bool EndLeftMounts(int64_t jobId, std::vector<std::string>& ended, std::string& error);

// The name a disk of a VM is backed up and indexed under: "scsi0-<position>-<image file name>".
std::string LabDiskIndexName(size_t position, const std::string& imageFile);

// A volume-level mount lists one volume per disk image, named by a GUID made of the VM's GUID and the
// disk's position among the VM's disks: LabVolumeName is the name the guest enumerates it by
// ("\\?\Volume{<GUID>}\"), LabVolumeBackupName the name it is backed up and indexed under (<GUID>).
std::string LabVolumeBackupName(const std::string& vmGuid, size_t position);
std::string LabVolumeName(const std::string& vmGuid, size_t position);
// Whether the path is a volume's name (it begins "\\?\Volume{").
bool IsVolumeName(const std::string& path);
// Whether the disk at `position` of the VM is the one named `name`: by its disk-level index name
// (LabDiskIndexName), its volume's backup name or its volume's name.
bool IsLabDiskNamed(const std::string& vmGuid, size_t position, const std::string& imageFile, const std::string& name);
// The point-in-time copy of the volume `volume` (its name, with or without the closing back-slash) that
// the VM's volume-level mount for the job holds. False with the reason (the VM is not mounted for the
// job by volumes, or its mount lists no such volume).
bool MountedVolumeCopy(int64_t jobId, const std::string& vmGuid, const std::string& volume, std::string& copy,
                       std::string& error);

// The SHA-256 of what the mount took of the disk (LabSnapshot.h SnapshotDigest), asked for after the
// job; false with the reason when it cannot be known any more.
bool MountedDiskDigest(const MountRecord& record, const MountedDisk& disk, std::string& sha256, std::string& error);

// The SHA-256 of what the mount took of the disk with the sectors its backup left out (leftOut) read
// as zeros, asked for after the job: the one kept for it, else from the snapshot's view while it is
// there, else from the image while it is still at the snapshot's generation. False with the reason
// when it cannot be known.
bool MountedDiskDigestWithoutLeftOut(const MountRecord& record, const MountedDisk& disk, std::string& sha256,
                                     std::string& error);
// The SHA-256 of a disk image (or a snapshot's view) with the given 512-byte sectors read as zeros.
bool DigestWithoutSectors(const std::string& path, const std::vector<std::pair<uint64_t, uint64_t>>& sectors,
                          std::string& sha256, std::string& error);
// Records that the backup of the job left these 512-byte sectors of the mounted disk (its view's path)
// out, reading them as zeros; they join any recorded before. The digest without them is kept for the
// record before the image leaves the mount's generation (at once, from the view, when it has already
// left it). False with the reason (no such mount or disk); the record is then unchanged.
bool RecordLeftOutSectors(int64_t jobId, const std::string& guid, const std::string& copyPath,
                          const std::vector<std::pair<uint64_t, uint64_t>>& sectors, std::string& error);
// Keeps in the mount record at recordPath, for each of its disks of the image that has left-out
// sectors and no digest without them yet, that digest: read from the image (which must be at the
// disk's generation, under the image's lock) or, with fromViews, from the disk's view.
bool KeepLeftOutDigests(const std::string& recordPath, const std::string& imagePath, bool fromViews,
                        std::string& error);
// Sorts and merges sector ranges (first, last), touching ones too.
std::vector<std::pair<uint64_t, uint64_t>> MergeSectorRanges(std::vector<std::pair<uint64_t, uint64_t>> ranges);

// Copies a file as of now: a reflink where the file system shares blocks, else a copy that keeps
// holes. With sha256 non-null, the copy's SHA-256 is taken too. The copy must not exist yet. False
// with the reason; no partial copy is left.
bool CopyPointInTime(const std::string& source, const std::string& copy, std::string* sha256, std::string& error);

}  // namespace lab
