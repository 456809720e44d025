// quarn-lab verify: what each archive file of the lab's media agents holds, and each VM's disks and
// files reassembled from its last full backup and the backups after it, compared (SHA-256) with the
// snapshots its mount took or with images given on the command line. A malformed archive is
// named with its offset and what is wrong there.
#include <strings.h>

#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "host/lab/LabTool.h"
#include "platform/archive/ArchiveReader.h"
#include "platform/archive/ArchiveRestore.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabMount.h"
#include "platform/os/CPxSha256.h"

namespace labtool {
namespace {

struct Verification {
  int problems = 0;
  std::vector<archive::ArchiveContents> archives;  // the well-formed ones
  std::map<std::string, std::set<int64_t>> unusable;  // VM GUID (lower case) -> jobs with a bad archive
  size_t listedFiles = 0;  // archive files of the listed job (of every job when none is), well-formed or not
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The part of an item name after "\<guid>\".
std::string ShortName(const std::string& name, const std::string& guid) {
  const std::string prefix = "\\" + guid + "\\";
  if (name.size() > prefix.size() && strncasecmp(name.c_str(), prefix.c_str(), prefix.size()) == 0)
    return name.substr(prefix.size());
  return name;
}

void PrintArchive(const archive::ArchiveContents& contents) {
  std::printf("archive %s: job %lld VM %s level %u stream %d, %llu records, %llu data bytes, %llu hole bytes%s\n",
              contents.path.c_str(), static_cast<long long>(contents.jobId), contents.vmGuid.c_str(),
              contents.backupLevel, contents.streamId, static_cast<unsigned long long>(contents.records),
              static_cast<unsigned long long>(contents.dataBytes), static_cast<unsigned long long>(contents.holeBytes),
              contents.indexOnly ? " (index only)" : "");
  struct ExtentCount {
    uint64_t items = 0, data = 0, holes = 0;
  };
  std::map<std::string, ExtentCount> extents;
  for (const archive::Item& item : contents.items) {
    if (item.kind == archive::ItemKind::kExtent) {
      ExtentCount& count = extents[item.diskName];
      ++count.items;
      count.data += item.dataBytes;
      count.holes += item.holeBytes;
      continue;
    }
    if (item.kind == archive::ItemKind::kPseudo) continue;
    std::printf("  %s %s: %llu bytes%s\n", archive::ItemKindName(item.kind), item.name.c_str(),
                static_cast<unsigned long long>(item.kind == archive::ItemKind::kFile ||
                                                        item.kind == archive::ItemKind::kContainer
                                                    ? item.dataBytes + item.holeBytes
                                                    : item.declaredSize),
                item.success ? "" : " (ended failed)");
  }
  for (const auto& disk : extents)
    std::printf("  extents of %s: %llu items, %llu data bytes, %llu hole bytes\n", disk.first.c_str(),
                static_cast<unsigned long long>(disk.second.items), static_cast<unsigned long long>(disk.second.data),
                static_cast<unsigned long long>(disk.second.holes));
  uint64_t unchanged = 0;
  for (const archive::UnchangedRange& range : contents.ranges) unchanged += range.last - range.first + 1;
  if (!contents.ranges.empty())
    std::printf("  unchanged extents: %llu in %zu ranges\n", static_cast<unsigned long long>(unchanged),
                contents.ranges.size());
}

// Reads every archive of the lab (those of later jobs are not needed for a restore as of `asOf`).
void ReadArchives(int64_t asOf, int64_t listedJob, Verification& verification) {
  for (const lab::ArchiveLocation& location : lab::ListArchiveFiles()) {
    if (asOf > 0 && location.jobId > asOf) continue;
    archive::ArchiveContents contents;
    archive::Problem problem;
    const bool ok = archive::ReadArchive(location.path, contents, problem);
    const bool listed = listedJob == 0 || location.jobId == listedJob;
    if (listed) ++verification.listedFiles;
    if (ok) {
      if (listed) PrintArchive(contents);
      verification.archives.push_back(std::move(contents));
      continue;
    }
    // Malformed archives of earlier jobs matter too: they keep those jobs out of the chain.
    ++verification.problems;
    std::printf("archive %s: MALFORMED at offset %llu: %s\n", location.path.c_str(),
                static_cast<unsigned long long>(problem.offset), problem.text.c_str());
    if (!contents.vmGuid.empty()) verification.unusable[Lower(contents.vmGuid)].insert(location.jobId);
  }
}

// The disk as the mount of `jobId` took it, and its mount; false when there is none.
bool PointInTimeDisk(int64_t jobId, const std::string& guid, const std::string& indexName, lab::MountRecord& record,
                     lab::MountedDisk& found) {
  for (const lab::MountRecord& mount : lab::ListMountRecords(jobId)) {
    if (strcasecmp(mount.guid.c_str(), guid.c_str()) != 0) continue;
    for (const lab::MountedDisk& disk : mount.disks) {
      if (disk.indexName != indexName) continue;
      record = mount;
      found = disk;
      return true;
    }
  }
  return false;
}

// SHA-256 of the restored disk with the sectors its last backup left out read as zeros, and how many
// bytes of those sectors the last backup itself sent as anything but zeros (it must send none).
bool HashRestoredDiskWithoutLeftOut(const archive::RestoredDisk& disk, int64_t lastJob,
                                    const std::vector<std::pair<uint64_t, uint64_t>>& leftOut, std::string& sha,
                                    uint64_t& nonZero, std::string& error) {
  CPxSha256 digest;
  uint64_t offset = 0;
  nonZero = 0;
  const bool ok = archive::ReadRestoredDisk(
      disk,
      [&](const char* data, size_t size) {
        std::string chunk(data, size);
        const uint64_t end = offset + size;
        bool fromLastJob = false;
        if (disk.extentBytes > 0) {
          auto extent = disk.extents.find(offset / disk.extentBytes);
          fromLastJob = extent != disk.extents.end() && !extent->second.empty() && extent->second.back().jobId == lastJob;
        }
        for (const auto& range : leftOut) {
          const uint64_t from = std::max(offset, range.first * 512), to = std::min(end, (range.second + 1) * 512);
          if (from >= to) continue;
          for (uint64_t i = from; fromLastJob && i < to; ++i)
            if (chunk[static_cast<size_t>(i - offset)] != 0) ++nonZero;
          std::memset(&chunk[static_cast<size_t>(from - offset)], 0, static_cast<size_t>(to - from));
        }
        digest.Update(chunk.data(), chunk.size());
        offset = end;
        return true;
      },
      error);
  if (ok) sha = digest.FinalHex();
  return ok;
}

void VerifyVM(const std::string& guid, int64_t asOf, const std::map<std::string, std::string>& images,
              Verification& verification) {
  archive::VMBackup backup;
  std::vector<std::string> notes;
  std::string error;
  const bool ok = archive::ReassembleVM(verification.archives, guid, asOf, verification.unusable[Lower(guid)],
                                        backup, notes, error);
  std::string chain;
  for (int64_t job : backup.jobs) chain += (chain.empty() ? "" : ", ") + std::to_string(job);
  const int64_t lastJob = backup.jobs.empty() ? 0 : backup.jobs.back();
  std::printf("VM %s as of job %lld (jobs %s):\n", guid.c_str(), static_cast<long long>(lastJob), chain.c_str());
  for (const std::string& note : notes) std::printf("  note: %s\n", note.c_str());
  if (backup.collectionFiles && backup.jobs.size() > 1)
    std::printf("  note: file collections are restored by modification time: a file deleted since an earlier "
                "backup of the chain is restored too\n");
  if (!ok) {
    ++verification.problems;
    std::printf("  CANNOT REASSEMBLE: %s\n", error.c_str());
    return;
  }
  for (const auto& entry : backup.disks) {
    const archive::RestoredDisk& disk = entry.second;
    const std::string name = ShortName(disk.name, guid);
    std::string sha;
    if (!archive::HashRestoredDisk(disk, sha, error)) {
      ++verification.problems;
      std::printf("  disk %s: CANNOT READ: %s\n", name.c_str(), error.c_str());
      continue;
    }
    std::string expected;
    std::string against;
    std::string why;
    auto image = images.find(name);
    if (image != images.end()) {
      against = "the image " + image->second;
      if (!CPxSha256::OfFile(image->second, expected, error)) {
        ++verification.problems;
        std::printf("  disk %s: CANNOT READ %s\n", name.c_str(), error.c_str());
        continue;
      }
    } else {
      against = "the point-in-time copy of job " + std::to_string(lastJob);
      lab::MountRecord mount;
      lab::MountedDisk mounted;
      if (PointInTimeDisk(lastJob, guid, name, mount, mounted)) {
        if (mounted.leftOut.empty()) {
          if (!lab::MountedDiskDigest(mount, mounted, expected, why)) expected.clear();
        } else {
          // Sectors the backup left out are no part of what it promised: both sides read them as zeros.
          uint64_t sectors = 0, nonZero = 0;
          for (const auto& range : mounted.leftOut) sectors += range.second - range.first + 1;
          if (!lab::MountedDiskDigestWithoutLeftOut(mount, mounted, expected, why)) expected.clear();
          if (!HashRestoredDiskWithoutLeftOut(disk, lastJob, mounted.leftOut, sha, nonZero, error)) {
            ++verification.problems;
            std::printf("  disk %s: CANNOT READ: %s\n", name.c_str(), error.c_str());
            continue;
          }
          against += " with its " + std::to_string(sectors) + " left-out sectors as zeros";
          if (nonZero > 0) {
            ++verification.problems;
            std::printf("  disk %s: %llu bytes of left-out sectors were backed up as something other than zeros\n",
                        name.c_str(), static_cast<unsigned long long>(nonZero));
          }
        }
      }
    }
    const std::string nothing = "nothing to compare with" + (why.empty() ? std::string() : " (" + why + ")");
    const char* verdict = expected.empty() ? nothing.c_str() : expected == sha ? "matches" : "DIFFERS from";
    if (!expected.empty() && expected != sha) ++verification.problems;
    std::printf("  disk %s: %llu bytes, sha256 %s: %s%s\n", name.c_str(), static_cast<unsigned long long>(disk.size),
                sha.c_str(), verdict, expected.empty() ? "" : (" " + against).c_str());
  }
  for (const auto& entry : backup.files) {
    std::string sha;
    if (!archive::HashRestoredFile(entry.second, sha, error)) {
      ++verification.problems;
      std::printf("  file %s: CANNOT READ: %s\n", ShortName(entry.first, guid).c_str(), error.c_str());
      continue;
    }
    uint64_t size = 0;
    for (const archive::Piece& piece : entry.second.content.pieces) size += piece.length;
    std::printf("  file %s: %llu bytes, sha256 %s (job %lld)\n", ShortName(entry.first, guid).c_str(),
                static_cast<unsigned long long>(size), sha.c_str(), static_cast<long long>(entry.second.content.jobId));
  }
}

}  // namespace

int Verify(const std::vector<std::string>& args) {
  Arguments parsed;
  std::string error;
  if (!ParseArguments(args, *FindCommand("verify"), parsed, error)) return UsageError(error, "verify");
  if (parsed.positional.size() != 1 || !parsed.passThrough.empty())
    return UsageError("verify takes exactly one lab folder", "verify");
  if (!SelectLab(parsed.positional[0], error)) return UsageError(error, "verify");
  // A job's archives outlive its record, so any positive job id is asked for.
  int64_t jobId = 0;
  if (!NumberOption(parsed, "job", 1, INT64_MAX, jobId, error)) return UsageError(error, "verify");
  // The VM by name or GUID: a VM the lab's hypervisor no longer has is named by its GUID.
  if (parsed.options.count("vm")) {
    std::string guid;
    if (VMGuidOf(parsed.options["vm"], guid, error)) parsed.options["vm"] = guid;
  }
  std::map<std::string, std::string> images;  // index name -> image
  if (parsed.options.count("image")) {
    for (const std::string& pair : labkv::SplitList(parsed.options["image"])) {
      const size_t equals = pair.find('=');
      if (equals == std::string::npos || equals == 0 || equals + 1 == pair.size())
        return UsageError("--image takes DISK=PATH[,DISK=PATH...], not '" + pair + "'", "verify");
      std::string indexName;
      if (!DiskIndexName(TextOption(parsed, "vm"), pair.substr(0, equals), indexName, error))
        return UsageError("--image " + pair + ": " + error, "verify");
      images[indexName] = AbsolutePath(pair.substr(equals + 1));
    }
  }

  Verification verification;
  if (lab::ListArchiveFiles().empty()) {
    // A lab that never ran a job has no backup to show restores.
    std::printf("nothing to verify: the lab's media agents hold no archive file (no job has run)\n");
    return kExitFailed;
  }
  ReadArchives(jobId, jobId, verification);
  // The VMs of the job (or of every job), each once.
  std::map<std::string, std::string> vms;  // lower case -> as written
  for (const archive::ArchiveContents& contents : verification.archives) {
    if (contents.indexOnly || (jobId > 0 && contents.jobId != jobId)) continue;
    if (!parsed.options.count("vm") || strcasecmp(parsed.options["vm"].c_str(), contents.vmGuid.c_str()) == 0)
      vms.emplace(Lower(contents.vmGuid), contents.vmGuid);
  }
  // A VM whose archive of the job is damaged is verified too: as of its last usable backup.
  for (const auto& vm : verification.unusable) {
    if (jobId > 0 && !vm.second.count(jobId)) continue;
    if (!parsed.options.count("vm") || strcasecmp(parsed.options["vm"].c_str(), vm.first.c_str()) == 0)
      vms.emplace(vm.first, vm.first);
  }
  if (parsed.options.count("vm") && vms.empty()) {
    ++verification.problems;
    std::printf("VM %s: no well-formed archive of it%s\n", parsed.options["vm"].c_str(),
                jobId > 0 ? (" in job " + std::to_string(jobId)).c_str() : "");
  }
  if (jobId > 0 && verification.listedFiles == 0) {
    // Nothing of the job to verify is no proof that its backups restore.
    ++verification.problems;
    std::printf("job %lld: no archive file on any media agent\n", static_cast<long long>(jobId));
  }
  for (const auto& vm : vms) VerifyVM(vm.second, jobId, images, verification);
  std::printf("verified %zu archives and %zu VMs: %d problems\n", verification.archives.size(), vms.size(),
              verification.problems);
  return verification.problems == 0 ? kExitOk : kExitFailed;
}

}  // namespace labtool
