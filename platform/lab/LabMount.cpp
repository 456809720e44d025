#include "platform/lab/LabMount.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "platform/lab/Lab.h"
#include "platform/lab/LabAgent.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabSnapshot.h"
#include "platform/os/CPxCRC32.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxSha256.h"
#include "platform/os/FXString.h"

namespace lab {
namespace {

constexpr size_t kCopyChunk = 1024 * 1024;
constexpr int64_t kMaxMountDisks = 4096;
constexpr char kVolumePrefix[] = "\\\\?\\Volume{";

using labkv::Take;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool WriteAllAt(int fd, const char* data, size_t size, off_t offset) {
  while (size > 0) {
    ssize_t n = pwrite(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

// Copies (when `to` is open) and hashes (when `sha` is set) the file's bytes; holes are skipped on
// the copy and hashed as zeros.
bool WalkData(int from, int to, uint64_t size, CPxSha256* sha, std::string& error) {
  std::vector<char> chunk(kCopyChunk);
  const std::vector<char> zeros(kCopyChunk, 0);
  uint64_t at = 0;
  while (at < size) {
    off_t data = lseek(from, static_cast<off_t>(at), SEEK_DATA);
    uint64_t dataStart = data < 0 ? size : std::min<uint64_t>(static_cast<uint64_t>(data), size);
    for (uint64_t zero = at; zero < dataStart && sha != nullptr;) {
      size_t piece = static_cast<size_t>(std::min<uint64_t>(kCopyChunk, dataStart - zero));
      sha->Update(zeros.data(), piece);
      zero += piece;
    }
    if (dataStart >= size) break;
    off_t hole = lseek(from, static_cast<off_t>(dataStart), SEEK_HOLE);
    const uint64_t dataEnd = hole < 0 ? size : std::min<uint64_t>(static_cast<uint64_t>(hole), size);
    for (uint64_t offset = dataStart; offset < dataEnd;) {
      size_t piece = static_cast<size_t>(std::min<uint64_t>(kCopyChunk, dataEnd - offset));
      ssize_t n = pread(from, chunk.data(), piece, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = n < 0 ? std::string("cannot read: ") + std::strerror(errno) : "the file shrank while it was copied";
        return false;
      }
      if (sha != nullptr) sha->Update(chunk.data(), static_cast<size_t>(n));
      if (to >= 0 && !WriteAllAt(to, chunk.data(), static_cast<size_t>(n), static_cast<off_t>(offset))) {
        error = std::string("cannot write: ") + std::strerror(errno);
        return false;
      }
      offset += static_cast<uint64_t>(n);
    }
    at = dataEnd;
  }
  return true;
}

}  // namespace

namespace {

// The disks of a record under `name` ("disk", "earlierDisk"): their count and their fields.
bool ParseMountedDisks(std::map<std::string, std::string>& values, const std::string& name,
                       std::vector<MountedDisk>& disks, std::string& error) {
  int64_t count = 0;
  const std::string countText = Take(values, name + "Count");
  if (!countText.empty() && !labkv::ParseInt64InRange(countText, 0, kMaxMountDisks, count)) {
    error = name + "Count [" + countText + "] is not a number from 0 to " + std::to_string(kMaxMountDisks);
    return false;
  }
  for (int64_t i = 0; i < count; ++i) {
    const std::string prefix = name + std::to_string(i) + ".";
    MountedDisk disk;
    disk.indexName = Take(values, prefix + "indexName");
    disk.source = Take(values, prefix + "source");
    disk.copy = Take(values, prefix + "copy");
    disk.datastore = Take(values, prefix + "datastore");
    disk.sha256 = Take(values, prefix + "sha256");
    for (const std::string& item : labkv::SplitList(Take(values, prefix + "leftOut"))) {
      const size_t dash = item.find('-');
      std::pair<uint64_t, uint64_t> range;
      if (dash == std::string::npos || !labkv::ParseUInt64(item.substr(0, dash), range.first) ||
          !labkv::ParseUInt64(item.substr(dash + 1), range.second) || range.second < range.first) {
        error = prefix + "leftOut [" + item + "] is not a sector range";
        return false;
      }
      disk.leftOut.push_back(range);
    }
    disk.leftOutSha256 = Take(values, prefix + "leftOutSha256");
    disk.changeId = Take(values, prefix + "changeId");
    disk.volume = Take(values, prefix + "volume");
    const std::string size = Take(values, prefix + "sizeBytes");
    if (!size.empty() && !labkv::ParseUInt64(size, disk.sizeBytes)) {
      error = prefix + "sizeBytes [" + size + "] is not a number";
      return false;
    }
    disks.push_back(disk);
  }
  return true;
}

void FormatMountedDisks(const std::vector<MountedDisk>& disks, const std::string& name,
                        std::map<std::string, std::string>& values) {
  values[name + "Count"] = std::to_string(disks.size());
  for (size_t i = 0; i < disks.size(); ++i) {
    const std::string prefix = name + std::to_string(i) + ".";
    const MountedDisk& disk = disks[i];
    values[prefix + "indexName"] = disk.indexName;
    values[prefix + "source"] = disk.source;
    values[prefix + "copy"] = disk.copy;
    values[prefix + "datastore"] = disk.datastore;
    values[prefix + "sizeBytes"] = std::to_string(disk.sizeBytes);
    values[prefix + "sha256"] = disk.sha256;
    if (!disk.leftOut.empty()) {
      std::string list;
      for (const auto& range : disk.leftOut)
        list += (list.empty() ? "" : ",") + std::to_string(range.first) + "-" + std::to_string(range.second);
      values[prefix + "leftOut"] = list;
    }
    if (!disk.leftOutSha256.empty()) values[prefix + "leftOutSha256"] = disk.leftOutSha256;
    if (!disk.changeId.empty()) values[prefix + "changeId"] = disk.changeId;
    if (!disk.volume.empty()) values[prefix + "volume"] = disk.volume;
  }
}

}  // namespace

bool ParseMountRecord(const std::string& text, MountRecord& record, std::string& error) {
  std::map<std::string, std::string> values;
  if (!labkv::Parse(text, values, error)) return false;
  MountRecord parsed;
  parsed.vm = Take(values, "vm");
  parsed.guid = Take(values, "guid");
  parsed.server = Take(values, "server");
  parsed.mountPath = Take(values, "mountPath");
  parsed.cleanup = Take(values, "cleanup");
  parsed.state = Take(values, "state");
  if (!ParseMountedDisks(values, "disk", parsed.disks, error) ||
      !ParseMountedDisks(values, "earlierDisk", parsed.earlierDisks, error))
    return false;
  int64_t configs = 0;
  const std::string configText = Take(values, "configCount");
  if (!configText.empty() && !labkv::ParseInt64InRange(configText, 0, kMaxMountDisks, configs)) {
    error = "configCount [" + configText + "] is not a number from 0 to " + std::to_string(kMaxMountDisks);
    return false;
  }
  for (int64_t i = 0; i < configs; ++i) {
    const std::string prefix = "config" + std::to_string(i) + ".";
    MountedFile file;
    file.source = Take(values, prefix + "source");
    file.copy = Take(values, prefix + "copy");
    parsed.configs.push_back(file);
  }
  parsed.other = values;
  record = parsed;
  return true;
}

std::string FormatMountRecord(const MountRecord& record) {
  std::map<std::string, std::string> values = record.other;
  values["vm"] = record.vm;
  values["guid"] = record.guid;
  if (!record.server.empty()) values["server"] = record.server;
  values["mountPath"] = record.mountPath;
  values["cleanup"] = record.cleanup;
  values["state"] = record.state;
  FormatMountedDisks(record.disks, "disk", values);
  if (!record.earlierDisks.empty()) FormatMountedDisks(record.earlierDisks, "earlierDisk", values);
  values["configCount"] = std::to_string(record.configs.size());
  for (size_t i = 0; i < record.configs.size(); ++i) {
    const std::string prefix = "config" + std::to_string(i) + ".";
    values[prefix + "source"] = record.configs[i].source;
    values[prefix + "copy"] = record.configs[i].copy;
  }
  return labkv::Format(values);
}

void KeepEarlierAttemptsDisks(const std::string& server, int64_t jobId, MountRecord& record) {
  MountRecord replaced;
  std::string ignored;
  if (ReadMountRecord(server, jobId, record.guid, replaced, ignored) != RecordRead::kRead) return;
  const auto kept = [](const std::vector<MountedDisk>& disks, const MountedDisk& same) {
    return std::any_of(disks.begin(), disks.end(), [&](const MountedDisk& disk) {
      return disk.indexName == same.indexName && disk.changeId == same.changeId;
    });
  };
  for (const std::vector<MountedDisk>* disks : {&replaced.disks, &replaced.earlierDisks})
    for (const MountedDisk& disk : *disks)
      if (!kept(record.disks, disk) && !kept(record.earlierDisks, disk)) record.earlierDisks.push_back(disk);
}

std::string MountRecordPath(const std::string& server, int64_t jobId, const std::string& guid) {
  const std::string dir = ServerDir(server);
  const std::string name = Lower(guid) + ".mount";
  if (dir.empty() || jobId <= 0 || guid.empty() || !IsSafeComponent(name)) return std::string();
  return dir + "/mounts/" + std::to_string(jobId) + "/" + name;
}

bool WriteMountRecord(const std::string& server, int64_t jobId, const MountRecord& record, std::string& error) {
  const std::string path = MountRecordPath(server, jobId, record.guid);
  std::string text;
  if (!labkv::StorableText(record, FormatMountRecord, ParseMountRecord, text, error)) return false;
  if (path.empty() || !MakeDirs(path.substr(0, path.rfind('/')))) {
    error = "no lab, or a name that is not usable";
    return false;
  }
  return ReplaceFileLocked(path, text, error);
}

RecordRead ReadMountRecord(const std::string& server, int64_t jobId, const std::string& guid, MountRecord& record,
                           std::string& error) {
  const std::string path = MountRecordPath(server, jobId, guid);
  if (path.empty()) return RecordRead::kMissing;
  return ReadRecordFile(path, record, error, ParseMountRecord);
}

std::vector<MountRecord> ListMountRecords(int64_t jobId) {
  std::vector<MountRecord> records;
  for (const std::string& server : ListServers()) {
    const std::string dir = ServerDir(server) + "/mounts/" + std::to_string(jobId);
    std::vector<std::string> names;
    if (jobId <= 0 || CPxDirectory::List(dir, names).IsError()) continue;
    for (const std::string& name : names) {
      std::string text;
      std::string error;
      MountRecord record;
      if (name.size() > 6 && name.compare(name.size() - 6, 6, ".mount") == 0 &&
          ReadRegularFile(dir + "/" + name, kMaxRecordBytes, text, error) && ParseMountRecord(text, record, error))
        records.push_back(record);
    }
  }
  return records;
}

std::vector<MountRecord> ListMountRecordsOfVM(int64_t jobId, const std::string& guid) {
  std::vector<MountRecord> records;
  for (const std::string& server : ListServers()) {
    MountRecord record;
    std::string error;
    if (ReadMountRecord(server, jobId, guid, record, error) == RecordRead::kRead &&
        strcasecmp(record.guid.c_str(), guid.c_str()) == 0)
      records.push_back(std::move(record));
  }
  return records;
}

bool EndMount(const std::string& server, int64_t jobId, MountRecord& record, bool removeFolder,
              const std::set<std::string>& keep, std::string& error) {
  const std::string folder = record.mountPath + "/";
  const auto inFolder = [&folder](const std::string& path) { return path.compare(0, folder.size(), folder) == 0; };
  std::string why;
  for (const MountedDisk& disk : record.disks) {
    if (!inFolder(disk.copy) || keep.count(disk.copy)) continue;
    if (!DropSnapshot(disk.copy, why)) {
      error = "Cannot unmount VM [" + record.vm + "]: " + why;
      return false;
    }
  }
  for (const MountedFile& file : record.configs)
    if (!keep.count(file.copy)) unlink(file.copy.c_str());
  if (removeFolder) {
    if (CPxDirectory::Exists(record.mountPath) && CPxDirectory::Remove(record.mountPath, true, false).IsError()) {
      error = "Cannot remove the mount path [" + record.mountPath + "]";
      return false;
    }
  } else {
    for (const MountedFile& file : record.configs) {
      const std::string made = file.copy.substr(0, file.copy.rfind('/'));
      if (inFolder(made)) rmdir(made.c_str());
    }
    rmdir(record.mountPath.c_str());
  }
  if (record.other.count("fileMount") != 0) record.other["fileMount"] = "unmounted";
  record.state = "unmounted";
  if (!WriteMountRecord(server, jobId, record, why)) {
    error = "Cannot record the unmount of VM [" + record.vm + "]: " + why;
    return false;
  }
  return true;
}

namespace {

// Whether the mount's path is a folder of the lab: a record that names one elsewhere (damaged, or edited
// by hand) is no mount the lab made, and nothing outside the lab is ended for it.
bool MountPathInLab(const MountRecord& record) {
  const std::string root = Root();
  return !root.empty() && record.mountPath.compare(0, root.size() + 1, root + "/") == 0 &&
         record.mountPath.find("/..") == std::string::npos;
}

// The views and copies that mounts of other jobs still held by a running process name, of the VMs of
// `left`: a later mount of a VM at the same path has replaced what these mounts left there. So too any
// copy a mount of `left` names outside its own folder, which is no copy of that mount's.
std::set<std::string> KeptFromLeftMounts(int64_t jobId, const std::vector<MountRecord>& left) {
  std::set<std::string> kept;
  for (const MountRecord& record : left) {
    const std::string folder = record.mountPath + "/";
    for (const MountedFile& file : record.configs)
      if (file.copy.compare(0, folder.size(), folder) != 0 || file.copy.find("/..") != std::string::npos)
        kept.insert(file.copy);
    for (const MountedDisk& disk : record.disks)
      if (disk.copy.find("/..") != std::string::npos) kept.insert(disk.copy);
  }
  for (int64_t other : ListJobs()) {
    if (other == jobId || UnendedJobProcesses(other).running.empty()) continue;
    for (const MountRecord& record : left) {
      for (const MountRecord& mount : ListMountRecordsOfVM(other, record.guid)) {
        if (mount.state != "mounted") continue;
        for (const MountedDisk& disk : mount.disks) kept.insert(disk.copy);
        for (const MountedFile& file : mount.configs) kept.insert(file.copy);
      }
    }
  }
  return kept;
}

}  // namespace

bool EndLeftMounts(int64_t jobId, std::vector<std::string>& ended, std::string& error) {
  std::vector<MountRecord> left;
  for (MountRecord& record : ListMountRecords(jobId))
    if (record.state == "mounted" && MountPathInLab(record)) left.push_back(std::move(record));
  if (left.empty()) return true;
  const std::set<std::string> kept = KeptFromLeftMounts(jobId, left);
  for (MountRecord& record : left) {
    // The folder is shared by the VM's mounts of every job of the subclient: it goes only once empty.
    std::string why;
    if (!EndMount(record.server, jobId, record, false, kept, why)) {
      error = "the mount of VM [" + record.vm + "] in job " + std::to_string(jobId) + " cannot be ended: " + why;
      return false;
    }
    ended.push_back(record.vm);
  }
  return true;
}

bool MountedDiskDigest(const MountRecord& record, const MountedDisk& disk, std::string& sha256, std::string& error) {
  if (!disk.sha256.empty()) {
    sha256 = disk.sha256;
    return true;
  }
  if (record.server.empty() || disk.changeId.empty()) {
    error = "the mount of VM [" + record.vm + "] recorded no snapshot of disk [" + disk.indexName + "]";
    return false;
  }
  return SnapshotDigest(DiskImagePath(record.server, disk.source), disk.copy, disk.changeId, sha256, error);
}

std::vector<std::pair<uint64_t, uint64_t>> MergeSectorRanges(std::vector<std::pair<uint64_t, uint64_t>> ranges) {
  std::sort(ranges.begin(), ranges.end());
  std::vector<std::pair<uint64_t, uint64_t>> merged;
  for (const auto& range : ranges) {
    if (range.second < range.first) continue;
    if (!merged.empty() && (merged.back().second == UINT64_MAX || range.first <= merged.back().second + 1))
      merged.back().second = std::max(merged.back().second, range.second);
    else
      merged.push_back(range);
  }
  return merged;
}

bool RecordLeftOutSectors(int64_t jobId, const std::string& guid, const std::string& copyPath,
                          const std::vector<std::pair<uint64_t, uint64_t>>& sectors, std::string& error) {
  for (const std::string& server : ListServers()) {
    const std::string path = MountRecordPath(server, jobId, guid);
    struct stat status;
    if (path.empty() || stat(path.c_str(), &status) != 0) continue;
    MountedDisk recorded;
    const bool updated = UpdateFileLocked(
        path,
        [&](std::string& text, bool exists, std::string& why) {
          MountRecord record;
          if (!exists || !ParseMountRecord(text, record, why)) return false;
          for (MountedDisk& disk : record.disks) {
            if (disk.copy != copyPath) continue;
            std::vector<std::pair<uint64_t, uint64_t>> all = disk.leftOut;
            all.insert(all.end(), sectors.begin(), sectors.end());
            disk.leftOut = MergeSectorRanges(all);
            disk.leftOutSha256.clear();
            recorded = disk;
            text = FormatMountRecord(record);
            return true;
          }
          why = "the mount has no disk " + copyPath;
          return false;
        },
        error);
    if (!updated) return false;
    // The digest the check will want is kept while its bytes can still be had: a guest write after the
    // job leaves neither the view (gone with the unmount) nor the image at the mount's generation.
    const std::string image = DiskImagePath(server, recorded.source);
    bool left = false;
    if (recorded.changeId.empty() || image.empty() || !WantLeftOutDigests(image, recorded.changeId, path, left, error))
      return true;
    if (left) KeepLeftOutDigests(path, image, true, error);
    return true;
  }
  error = "no mount of VM " + guid + " for job " + std::to_string(jobId);
  return false;
}

bool DigestWithoutSectors(const std::string& path, const std::vector<std::pair<uint64_t, uint64_t>>& sectors,
                          std::string& sha256, std::string& error) {
  DiskReader reader;
  int errorNumber = 0;
  if (!reader.Open(path, errorNumber, error)) return false;
  const std::vector<std::pair<uint64_t, uint64_t>> zeroed = MergeSectorRanges(sectors);
  std::vector<char> buffer(1 << 20);
  CPxSha256 digest;
  size_t next = 0;  // the first range that may still reach the bytes at `offset`
  for (uint64_t offset = 0; offset < reader.Size();) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), reader.Size() - offset));
    const ssize_t n = reader.Read(buffer.data(), want, offset);
    if (n <= 0) {
      error = "cannot read " + path + " at offset " + std::to_string(offset);
      return false;
    }
    const uint64_t end = offset + static_cast<uint64_t>(n);
    while (next < zeroed.size() && (zeroed[next].second + 1) * 512 <= offset) ++next;
    for (size_t i = next; i < zeroed.size() && zeroed[i].first * 512 < end; ++i) {
      const uint64_t from = std::max(offset, zeroed[i].first * 512);
      const uint64_t to = std::min(end, (zeroed[i].second + 1) * 512);
      if (from < to) std::memset(buffer.data() + (from - offset), 0, static_cast<size_t>(to - from));
    }
    digest.Update(buffer.data(), static_cast<size_t>(n));
    offset = end;
  }
  sha256 = digest.FinalHex();
  return true;
}

bool KeepLeftOutDigests(const std::string& recordPath, const std::string& imagePath, bool fromViews,
                        std::string& error) {
  return UpdateFileLocked(
      recordPath,
      [&](std::string& text, bool exists, std::string& why) {
        MountRecord record;
        if (!exists || !ParseMountRecord(text, record, why)) return false;
        for (MountedDisk& disk : record.disks) {
          if (disk.leftOut.empty() || !disk.leftOutSha256.empty() || record.server.empty() ||
              DiskImagePath(record.server, disk.source) != imagePath)
            continue;
          if (!DigestWithoutSectors(fromViews ? disk.copy : imagePath, disk.leftOut, disk.leftOutSha256, why))
            return false;
        }
        text = FormatMountRecord(record);
        return true;
      },
      error);
}

bool MountedDiskDigestWithoutLeftOut(const MountRecord& record, const MountedDisk& disk, std::string& sha256,
                                     std::string& error) {
  if (!disk.leftOutSha256.empty()) {
    sha256 = disk.leftOutSha256;
    return true;
  }
  const std::string image = record.server.empty() ? std::string() : DiskImagePath(record.server, disk.source);
  // The view holds what the mount took; without it, the image does while it is at the same generation.
  std::string path = disk.copy;
  if (!IsSnapshotView(path)) {
    if (image.empty() || disk.changeId.empty() || ImageChangeId(image) != disk.changeId) {
      error = "the bytes the mount of VM [" + record.vm + "] took of disk [" + disk.indexName + "] are gone";
      return false;
    }
    path = image;
  }
  return DigestWithoutSectors(path, disk.leftOut, sha256, error);
}

std::string LabDiskIndexName(size_t position, const std::string& imageFile) {
  const size_t slash = imageFile.rfind('/');
  return "scsi0-" + std::to_string(position) + "-" + (slash == std::string::npos ? imageFile : imageFile.substr(slash + 1));
}

std::string LabVolumeBackupName(const std::string& vmGuid, size_t position) {
  CPxCRC32 crc;
  crc.UpdateCRC32(vmGuid.data(), vmGuid.size());
  char guid[64];
  std::snprintf(guid, sizeof(guid), "%08x-0000-4000-8000-%012zx", crc.GetCRC32(), position);
  return guid;
}

std::string LabVolumeName(const std::string& vmGuid, size_t position) {
  return kVolumePrefix + LabVolumeBackupName(vmGuid, position) + "}\\";
}

bool IsVolumeName(const std::string& path) { return path.compare(0, sizeof(kVolumePrefix) - 1, kVolumePrefix) == 0; }

bool IsLabDiskNamed(const std::string& vmGuid, size_t position, const std::string& imageFile, const std::string& name) {
  if (name.empty()) return false;
  if (LabDiskIndexName(position, imageFile) == name) return true;
  // The guest's name of a volume ends in a back-slash; one written without it names the volume too.
  const std::string volume = LabVolumeName(vmGuid, position);
  return FXString::CompareNoCase(LabVolumeBackupName(vmGuid, position), name) == 0 ||
         FXString::CompareNoCase(volume, name) == 0 ||
         FXString::CompareNoCase(volume.substr(0, volume.size() - 1), name) == 0;
}

bool MountedVolumeCopy(int64_t jobId, const std::string& vmGuid, const std::string& volume, std::string& copy,
                       std::string& error) {
  // The guest's name of a volume ends in a back-slash; a reader opens it without one.
  const std::string wanted = !volume.empty() && volume.back() == '\\' ? volume : volume + "\\";
  for (const std::string& server : ListServers()) {
    MountRecord record;
    switch (ReadMountRecord(server, jobId, vmGuid, record, error)) {
      case RecordRead::kMissing:
        continue;
      case RecordRead::kRead:
        break;
      default:
        return false;
    }
    if (record.state != "mounted") {
      error = "VM [" + vmGuid + "] is no longer mounted for job " + std::to_string(jobId);
      return false;
    }
    for (const MountedDisk& disk : record.disks) {
      if (disk.volume.empty() || FXString::CompareNoCase(disk.volume, wanted) != 0) continue;
      copy = disk.copy;
      return true;
    }
    error = "the mount of VM [" + vmGuid + "] for job " + std::to_string(jobId) + " has no volume " + volume;
    return false;
  }
  error = "VM [" + vmGuid + "] is not mounted for job " + std::to_string(jobId);
  return false;
}

bool CopyPointInTime(const std::string& source, const std::string& copy, std::string* sha256, std::string& error) {
  int from = open(source.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  struct stat status;
  if (from < 0 || fstat(from, &status) != 0 || !S_ISREG(status.st_mode)) {
    error = from < 0 ? "cannot open " + source + ": " + std::strerror(errno) : source + " is not a regular file";
    if (from >= 0) close(from);
    return false;
  }
  int to = open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (to < 0) {
    error = "cannot create " + copy + ": " + std::strerror(errno);
    close(from);
    return false;
  }
  const uint64_t size = static_cast<uint64_t>(status.st_size);
  CPxSha256 sha;
  // A reflink shares the blocks as they are now; later writes to the source do not reach it.
  const bool cloned = ioctl(to, FICLONE, from) == 0;
  bool ok = cloned || (ftruncate(to, static_cast<off_t>(size)) == 0 && WalkData(from, to, size, sha256 ? &sha : nullptr, error));
  if (ok && cloned && sha256 != nullptr) ok = WalkData(to, -1, size, &sha, error);
  if (!ok && error.empty()) error = std::string("cannot size ") + copy + ": " + std::strerror(errno);
  if (close(to) != 0 && ok) {
    ok = false;
    error = "cannot close " + copy + ": " + std::strerror(errno);
  }
  close(from);
  if (!ok) {
    unlink(copy.c_str());
    error = "copy of " + source + " to " + copy + ": " + error;
    return false;
  }
  if (sha256 != nullptr) *sha256 = sha.FinalHex();
  return true;
}

}  // namespace lab
