// quarn-lab verify: what each archive file of the lab's media agents holds (LabVerifyArchives.cpp), and
// each VM's disks and files reassembled from its last full backup and the backups after it, compared
// (SHA-256) with the snapshots its mount took or with images given on the command line.
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "app/QuarnUtils.h"
#include "host/lab/LabTool.h"
#include "host/lab/LabVerifyArchives.h"
#include "platform/archive/ArchiveReader.h"
#include "platform/archive/ArchiveRestore.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabFailback.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabSubclient.h"
#include "platform/os/CPxSha256.h"
#include "records/messages/JobManagerMessages.h"

namespace labtool {
namespace {

// The largest disk the lab can hold: an image is a sparse file, and no file system of the lab's keeps
// a larger one. An archive that declares more is refused before anything is read for it.
constexpr uint64_t kMaxLabDiskBytes = 1ULL << 44;

// The part of an item name after "\<guid>\".
std::string ShortName(const std::string& name, const std::string& guid) {
  const std::string prefix = "\\" + guid + "\\";
  if (name.size() > prefix.size() && strncasecmp(name.c_str(), prefix.c_str(), prefix.size()) == 0)
    return name.substr(prefix.size());
  return name;
}

// The VM's mounts recorded for the job, but one an earlier attempt of the job left (defined below).
std::vector<lab::MountRecord> MountsOfJob(const Verification& verification, int64_t jobId, const std::string& guid);

// The disk as the mount of `jobId` took it, and its mount; false when there is none. Given the change id
// a backup of the job read the disk at, the mount that took the disk at that generation is the one: an
// earlier attempt's (kept in the record of the mount that replaced it) when the backup that stands for
// the job is that attempt's.
bool PointInTimeDisk(const Verification& verification, int64_t jobId, const std::string& guid,
                     const std::string& indexName, lab::MountRecord& record, lab::MountedDisk& found,
                     const std::string& changeId = std::string()) {
  const std::vector<lab::MountRecord> mounts = MountsOfJob(verification, jobId, guid);
  const auto find = [&](bool earlier, bool anyGeneration) {
    for (const lab::MountRecord& mount : mounts) {
      for (const lab::MountedDisk& disk : earlier ? mount.earlierDisks : mount.disks) {
        if (disk.indexName != indexName || (!anyGeneration && disk.changeId != changeId)) continue;
        record = mount;
        found = disk;
        return true;
      }
    }
    return false;
  };
  if (!changeId.empty() && (find(false, false) || find(true, false))) return true;
  return find(false, true);
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

// Whether the job manager records the VM as backed up (whole or with errors) in the job.
bool ReportedBackedUp(int64_t jobId, const std::string& guid) {
  JobManager::VMUpdateInfo record;
  if (!vsJobMgr::ReadVMStatus(jobId, guid, record)) return false;
  const int64_t status = record.getint64(JobManager::VMUpdateInfo::F_vmStatus);
  return status == kVMBackedUp || status == kVMBackedUpWithErrors;
}

// Whether the job manager records the VM as stubbed in the job (its stub's status, whatever its status).
bool ReportedStubbed(int64_t jobId, const std::string& guid) {
  JobManager::VMUpdateInfo record;
  return vsJobMgr::ReadVMStatus(jobId, guid, record) &&
         record.getint64(JobManager::VMUpdateInfo::F_stubStatus) == JobManager::kStubStatusStubbed;
}

// Whether the job's backup of the VM is that of a stub its latest attempt found made: the job manager's
// record says backed up and stubbed, and the attempt that stands for the job's backup holds nothing of the
// VM but its folders. That attempt mounted nothing. (A later attempt that left the VM as an earlier one
// backed it up reports the same, and the earlier attempt's backup, which holds what its mount took, stands.)
bool BackupOfAStubItFound(const Verification& verification, const std::string& guid, int64_t jobId) {
  // The archives are in memory; the job manager's record is read only for a backup of folders alone.
  const archive::JobBackup& judged = JobOf(verification, guid, jobId).judged;
  bool present = false;
  for (const archive::ArchiveContents* contents : judged.archives) {
    present = present || !contents->absent;
    for (const archive::Item& item : contents->items)
      if (item.kind != archive::ItemKind::kDirectory) return false;
  }
  return present && ReportedBackedUp(jobId, guid) && ReportedStubbed(jobId, guid);
}

// The VM's mounts recorded for the job, as the backup that stands for the job's holds what they took:
// none where that backup is of a stub its latest attempt found made (a mount of the VM left for the job is
// then an earlier attempt's, no part of what the job holds).
std::vector<lab::MountRecord> MountsOfJob(const Verification& verification, int64_t jobId, const std::string& guid) {
  if (BackupOfAStubItFound(verification, guid, jobId)) return {};
  return lab::ListMountRecordsOfVM(jobId, guid);
}

// What a restored disk is compared with. Sizes are compared before any byte is read, so the work is
// bounded by what is there, not by what an archive declares.
struct Reference {
  std::string against;
  uint64_t size = 0;
  std::vector<std::pair<uint64_t, uint64_t>> leftOut;  // 512-byte sectors both sides read as zeros
  std::function<bool(std::string& sha, std::string& error)> digest;
  bool named = false;  // an image named on the command line: failing to read it is a problem
  std::string unreadable;  // why a named image cannot be read
  // A named image of a disk whose backup left sectors out: where the whole disk differs, what is
  // compared is the rest, and the user is told those sectors were not.
  std::vector<std::pair<uint64_t, uint64_t>> notCompared;
  std::function<bool(std::string& sha, std::string& error)> digestOutside;
};

uint64_t SectorCount(const std::vector<std::pair<uint64_t, uint64_t>>& ranges) {
  uint64_t sectors = 0;
  for (const auto& range : ranges) sectors += range.second - range.first + 1;
  return sectors;
}

// The image given for the disk, else the point-in-time copy of the job's mount (the mount that took the
// disk at `changeId`, the generation the job's backup of it read, when that is given); false (with why)
// when there is neither.
bool ReferenceOf(const Verification& verification, const std::string& guid, const std::string& name, int64_t lastJob,
                 const std::map<std::string, std::string>& images, const std::string& changeId, Reference& reference,
                 std::string& why) {
  auto image = images.find(name);
  if (image != images.end()) {
    struct stat status {};
    const std::string path = image->second;
    reference.against = "the image " + path;
    if (stat(path.c_str(), &status) != 0) reference.unreadable = path + ": " + std::strerror(errno);
    reference.size = static_cast<uint64_t>(status.st_size);
    reference.named = true;
    reference.digest = [path](std::string& sha, std::string& error) { return CPxSha256::OfFile(path, sha, error); };
    lab::MountRecord mount;
    lab::MountedDisk mounted;
    if (PointInTimeDisk(verification, lastJob, guid, name, mount, mounted, changeId) && !mounted.leftOut.empty()) {
      reference.notCompared = mounted.leftOut;
      reference.digestOutside = [path, mounted](std::string& sha, std::string& error) {
        return lab::DigestWithoutSectors(path, mounted.leftOut, sha, error);
      };
    }
    return true;
  }
  lab::MountRecord mount;
  lab::MountedDisk mounted;
  // A failback job backed the VM up from its replica's disks.
  const bool own = PointInTimeDisk(verification, lastJob, guid, name, mount, mounted, changeId);
  if (!own && !lab::FailbackMountedDisk(lastJob, guid, name, mount, mounted)) {
    why = "the mount of job " + std::to_string(lastJob) + " recorded no such disk";
    return false;
  }
  reference.against = "the point-in-time copy of job " + std::to_string(lastJob);
  if (!own) reference.against += " of the replica " + mount.vm;
  reference.size = mounted.sizeBytes;
  reference.leftOut = mounted.leftOut;
  if (mounted.leftOut.empty()) {
    reference.digest = [mount, mounted](std::string& sha, std::string& error) {
      return lab::MountedDiskDigest(mount, mounted, sha, error);
    };
    return true;
  }
  // Sectors the backup left out are no part of what it promised: both sides read them as zeros.
  reference.against += " with its " + std::to_string(SectorCount(mounted.leftOut)) + " left-out sectors as zeros";
  reference.digest = [mount, mounted](std::string& sha, std::string& error) {
    return lab::MountedDiskDigestWithoutLeftOut(mount, mounted, sha, error);
  };
  return true;
}

// Whether the restored disk and a named image agree outside the sectors the backup left out.
bool MatchesOutside(const archive::RestoredDisk& disk, int64_t lastJob, const Reference& reference) {
  std::string restored, image, error;
  uint64_t nonZero = 0;
  return HashRestoredDiskWithoutLeftOut(disk, lastJob, reference.notCompared, restored, nonZero, error) &&
         nonZero == 0 && reference.digestOutside(image, error) && restored == image;
}

// Whether the job's mount of the VM is recorded.
bool MountedInJob(const Verification& verification, int64_t jobId, const std::string& guid) {
  return !MountsOfJob(verification, jobId, guid).empty();
}

// Whether the lab's hypervisor has the VM and the job's stub phase stubbed it, as its job manager's
// record says.
bool StubbedOnTheHypervisorsVMBy(int64_t jobId, const std::string& guid) {
  std::string server;
  lab::VMDescription vm;
  return lab::FindLabVM(guid, server, vm) && ReportedStubbed(jobId, guid);
}

// Whether the job reported the VM as a stub that had the disk (by its name in backups), as the job's records
// tell the stub's disks.
bool StubHadDisk(const std::string& guid, int64_t jobId, const std::string& name) {
  const lab::VMDisksAtJob had = lab::DisksOfVMAtJob(guid, jobId);
  return had.stub && had.known && had.Had(name);
}

// True when the job neither took nor backed up the disk (detached before it, or a volume of a
// volume-level job before a disk-level one): the VM's own mount of the job is recorded and took no
// disk or volume by that name, and the chain restores the disk from an earlier job alone.
bool OnlyAnEarlierJobHolds(const Verification& verification, const archive::RestoredDisk& disk,
                           const std::string& guid, int64_t jobId, const std::string& indexName) {
  if (disk.headerJob == jobId || disk.extentsFromLastJob > 0) return false;
  const std::vector<lab::MountRecord> mounts = MountsOfJob(verification, jobId, guid);
  for (const lab::MountRecord& mount : mounts)
    for (const lab::MountedDisk& disk : mount.disks)
      if (disk.indexName == indexName) return false;
  return !mounts.empty();
}

// One restored disk against its reference. A VM the job manager reports backed up must be shown to
// restore: nothing to compare with is then no proof, and a problem, unless the job neither took nor
// backed up the disk.
void VerifyDisk(const archive::RestoredDisk& disk, const std::string& guid, int64_t lastJob, bool reported,
                const std::map<std::string, std::string>& images, Verification& verification) {
  const std::string name = ShortName(disk.name, guid);
  const unsigned long long size = disk.size;
  const char* unproven = reported ? "; the VM is REPORTED BACKED UP" : "";
  if (disk.size > kMaxLabDiskBytes) {
    ++verification.problems;
    std::printf("  disk %s: DECLARES %llu bytes, more than a lab disk can have (%llu)\n", name.c_str(), size,
                static_cast<unsigned long long>(kMaxLabDiskBytes));
    return;
  }
  Reference reference;
  std::string why;
  bool found = ReferenceOf(verification, guid, name, lastJob, images,
                           disk.headerJob == lastJob ? disk.place.changeId : std::string(), reference, why);
  // A job that reported a stub (no mount) backed no disk of it up: a disk the stub deleted (restored since)
  // comes back as the earlier backup that holds it took it. The stub's disks are the VM's at the job, as its
  // records tell them, or the job manager's record of that earlier job says it stubbed the VM.
  if (!found && disk.headerJob > 0 && disk.headerJob < lastJob && disk.extentsFromLastJob == 0 &&
      !MountedInJob(verification, lastJob, guid) &&
      (StubbedOnTheHypervisorsVMBy(disk.headerJob, guid) || StubHadDisk(guid, lastJob, name)))
    found = ReferenceOf(verification, guid, name, disk.headerJob, images, disk.place.changeId, reference, why);
  // An image given for the disk is of the disk the job took, not of one an earlier job left in the chain.
  if ((!found || reference.named) && OnlyAnEarlierJobHolds(verification, disk, guid, lastJob, name)) {
    std::printf("  disk %s: %llu bytes: not taken by the mount of job %lld, so no part of its backup (a restore "
                "brings back job %lld's backup of it)\n",
                name.c_str(), size, static_cast<long long>(lastJob), static_cast<long long>(disk.headerJob));
    return;
  }
  // Nor is a disk the VM did not have at the job, as the job's records show them (detached before a job
  // that reported the VM as a stub): an earlier job's backup of it is no part of the job's.
  if (!found && disk.headerJob != lastJob && disk.extentsFromLastJob == 0) {
    const lab::VMDisksAtJob had = lab::DisksOfVMAtJob(guid, lastJob);
    if (had.known && !had.Had(name)) {
      std::printf("  disk %s: %llu bytes: not the VM's at job %lld (its disks then: %s), so no part of its backup "
                  "(the chain keeps job %lld's backup of it)\n",
                  name.c_str(), size, static_cast<long long>(lastJob), had.source.c_str(),
                  static_cast<long long>(disk.headerJob));
      return;
    }
  }
  if (!found) {
    if (reported) ++verification.problems;
    std::printf("  disk %s: %llu bytes: nothing to compare with (%s)%s\n", name.c_str(), size, why.c_str(), unproven);
    return;
  }
  if (reference.named) verification.imagesCompared.insert(name);
  if (!reference.unreadable.empty()) {
    ++verification.problems;
    std::printf("  disk %s: CANNOT READ %s\n", name.c_str(), reference.unreadable.c_str());
    return;
  }
  if (reference.size != disk.size) {
    ++verification.problems;
    std::printf("  disk %s: %llu bytes: DIFFERS in size from %s (%llu bytes)\n", name.c_str(), size,
                reference.against.c_str(), static_cast<unsigned long long>(reference.size));
    return;
  }
  std::string sha, error;
  uint64_t nonZero = 0;
  const bool read = reference.leftOut.empty()
                        ? archive::HashRestoredDisk(disk, sha, error)
                        : HashRestoredDiskWithoutLeftOut(disk, lastJob, reference.leftOut, sha, nonZero, error);
  if (!read) {
    ++verification.problems;
    std::printf("  disk %s: CANNOT READ: %s\n", name.c_str(), error.c_str());
    return;
  }
  if (nonZero > 0) {
    ++verification.problems;
    std::printf("  disk %s: %llu bytes of left-out sectors were backed up as something other than zeros\n",
                name.c_str(), static_cast<unsigned long long>(nonZero));
  }
  std::string expected;
  if (!reference.digest(expected, why)) {
    if (reported || reference.named) ++verification.problems;
    std::printf("  disk %s: %llu bytes, sha256 %s: %s%s\n", name.c_str(), size, sha.c_str(),
                reference.named ? ("CANNOT READ " + why).c_str() : ("nothing to compare with (" + why + ")").c_str(),
                reference.named ? "" : unproven);
    return;
  }
  if (expected != sha && !reference.notCompared.empty() && MatchesOutside(disk, lastJob, reference)) {
    std::printf("  disk %s: %llu bytes, sha256 %s: matches %s outside the %llu sectors its backup left out "
                "(left out, not compared)\n",
                name.c_str(), size, sha.c_str(), reference.against.c_str(),
                static_cast<unsigned long long>(SectorCount(reference.notCompared)));
    return;
  }
  if (expected != sha) ++verification.problems;
  std::printf("  disk %s: %llu bytes, sha256 %s: %s %s\n", name.c_str(), size, sha.c_str(),
              expected == sha ? "matches" : "DIFFERS from", reference.against.c_str());
}

// A VM reported backed up must restore every disk its mount took in that job, and each job that
// reported it backed up must be in its chain: anything less is not what the user would get back.
void VerifyWhole(const archive::VMBackup& backup, const std::string& guid, int64_t asOf, bool reported,
                 Verification& verification) {
  const int64_t lastJob = backup.jobs.empty() ? 0 : backup.jobs.back();
  const auto jobs = verification.jobs.find(Lower(guid));
  for (const auto& entry : jobs != verification.jobs.end() ? jobs->second : std::map<int64_t, JobOfVM>()) {
    const int64_t job = entry.first;
    if (job <= lastJob || (asOf > 0 && job > asOf) || !ReportedBackedUp(job, guid)) continue;
    ++verification.problems;
    std::printf("  REPORTED BACKED UP in job %lld, but that backup is left out of the VM's chain\n",
                static_cast<long long>(job));
  }
  for (const lab::MountRecord& mount : MountsOfJob(verification, lastJob, guid)) {
    for (const lab::MountedDisk& disk : mount.disks) {
      // A disk whose chain breaks is named with the break already.
      bool named = false;
      for (const auto& entry : backup.disks) named = named || ShortName(entry.first, guid) == disk.indexName;
      for (const auto& entry : backup.brokenDisks) named = named || ShortName(entry.first, guid) == disk.indexName;
      if (named) continue;
      if (reported) ++verification.problems;
      std::printf("  disk %s: NOT RESTORED: the mount of job %lld took it, but no backup of the chain holds it%s\n",
                  disk.indexName.c_str(), static_cast<long long>(lastJob),
                  reported ? "; the VM is REPORTED BACKED UP" : "");
    }
  }
}

// The names of the items of the job's backup of the VM (lower case), as the attempt that stands for it
// holds them; false when no attempt of the job can stand for it (VerifyWhole says so).
bool ItemsOfJobBackup(const Verification& verification, const std::string& guid, int64_t jobId,
                      std::set<std::string>& items) {
  const archive::JobBackup& judged = JobOf(verification, guid, jobId).judged;
  // An archive noted but absent holds nothing: what the others hold is what the job backed up.
  bool present = false, damaged = !judged.failedItem.empty();
  for (const archive::ArchiveContents* contents : judged.archives) {
    present = present || !contents->absent;
    damaged = damaged || (!contents->absent && !contents->malformed.empty());
    for (const archive::Item& item : contents->items) items.insert(Lower(item.name));
  }
  return present && !damaged;
}

// A VM reported backed up in a job must have, in the attempt that stands for the job, each
// configuration file and each disk the job's mount took: one an earlier job of the chain holds
// restores, but it is not what the job backed up. (A disk the chain does not restore at all, VerifyWhole
// names as not restored.)
void VerifyJobHoldsWhatItsMountTook(const archive::VMBackup& backup, const std::string& guid, int64_t jobId,
                                    Verification& verification) {
  std::set<std::string> items;
  if (!ReportedBackedUp(jobId, guid) || !ItemsOfJobBackup(verification, guid, jobId, items)) return;
  const std::string prefix = "\\" + Lower(guid) + "\\";
  std::vector<std::pair<const char*, std::string>> taken;  // kind, name
  for (const lab::MountRecord& mount : MountsOfJob(verification, jobId, guid)) {
    taken.emplace_back("file", QuarnUtils::kGeneralizedConfigFile);
    for (const lab::MountedFile& config : mount.configs)
      taken.emplace_back("file", config.source.substr(config.source.rfind('/') + 1));
    for (const lab::MountedDisk& disk : mount.disks) {
      const bool restored = std::any_of(backup.disks.begin(), backup.disks.end(), [&](const auto& entry) {
        return Lower(entry.first) == prefix + Lower(disk.indexName);
      });
      if (restored || jobId != backup.jobs.back()) taken.emplace_back("disk", disk.indexName);
    }
  }
  for (const auto& item : taken) {
    if (items.count(prefix + Lower(item.second))) continue;
    ++verification.problems;
    std::printf("  %s %s: MISSING from job %lld: its mount took it, but no committed archive of the job's latest "
                "attempt holds it; the VM is REPORTED BACKED UP\n",
                item.first, item.second.c_str(), static_cast<long long>(jobId));
  }
}

// A VM a stub had made of it as of the job (every job when `asOf` is 0): each disk its stub deleted is
// checked against the backup the stub recorded for it, as `vm restore` brings it back, whatever became
// of the VM's later backups; the stub itself is no problem. `checked` names the disks so checked (their
// names in backups). False when the VM is no such stub, or when the hypervisor no longer has the VM's
// description, which holds those records: its disks are then checked as any VM's.
bool VerifyStub(const std::string& guid, int64_t asOf, int64_t lastJob, const std::map<std::string, std::string>& images,
                Verification& verification, std::set<std::string>& checked) {
  std::string server;
  lab::VMDescription vm;
  if (!lab::FindLabVM(guid, server, vm)) return false;
  // The disks by the backup their stub recorded, each backup reassembled once.
  std::map<int64_t, std::vector<size_t>> byStubJob;
  for (size_t i = 0; i < vm.disks.size(); ++i)
    if (vm.disks[i].deleted && vm.disks[i].stubJob > 0 && (asOf <= 0 || vm.disks[i].stubJob <= asOf))
      byStubJob[vm.disks[i].stubJob].push_back(i);
  // A stub of an older lab recorded no backup with its disks: the job manager's status and the disks it
  // deleted tell it. A VM reported stubbed that has no disk a stub deleted is checked as any VM.
  const bool olderLabStub =
      ReportedStubbed(lastJob, guid) &&
      std::any_of(vm.disks.begin(), vm.disks.end(), [](const lab::VMDisk& disk) { return disk.deleted && disk.stubJob == 0; });
  if (byStubJob.empty() && !olderLabStub) return false;
  // A VM with no usable backup has no job to be a stub as of: the stub's own jobs say when it was made.
  int64_t shownJob = asOf > 0 ? asOf : lastJob;
  if (shownJob <= 0 && !byStubJob.empty()) shownJob = byStubJob.rbegin()->first;
  std::printf("  a stub in job %lld: its disks are checked against the backups its stub deleted them on\n",
              static_cast<long long>(shownJob));
  for (const auto& stubJob : byStubJob) {
    archive::VMBackup backup;
    std::string chainWhy;
    const bool reassembled =
        lab::ReassembleJobBackup(verification.archives, guid, stubJob.first, backup, chainWhy);
    for (size_t i : stubJob.second) {
      const lab::VMDisk& disk = vm.disks[i];
      const std::string name = lab::LabDiskIndexName(i, disk.file);
      checked.insert(name);
      archive::RestoredDisk restored;
      std::string why = chainWhy;
      if (!reassembled || !lab::DiskOfJobBackup(backup, name, disk.stubChangeId, restored, why)) {
        ++verification.problems;
        std::printf("  disk %s: DOES NOT COME BACK from the backup of job %lld that its stub deleted it on: %s\n",
                    name.c_str(), static_cast<long long>(disk.stubJob), why.c_str());
        continue;
      }
      VerifyDisk(restored, guid, disk.stubJob, true, images, verification);
    }
  }
  if (checked.empty())
    std::printf("  note: the lab records no backup a stub deleted a disk of it on (restored since, or a stub of an "
                "older lab): nothing to check\n");
  return true;
}

// Whether the VM's chain holds the disk at `position` of its description, or names its chain broken.
bool ChainHoldsDisk(const archive::VMBackup& backup, const lab::VMDescription& vm, size_t position) {
  const auto held = [&](const auto& entry) {
    return lab::IsLabDiskNamed(vm.guid, position, vm.disks[position].file, ShortName(entry.first, vm.guid)) ||
           strcasecmp(ShortName(entry.first, vm.guid).c_str(),
                      lab::LabDiskIndexName(position, vm.disks[position].file).c_str()) == 0;
  };
  return std::any_of(backup.disks.begin(), backup.disks.end(), held) ||
         std::any_of(backup.brokenDisks.begin(), backup.brokenDisks.end(), held);
}

// Each disk the VM has that its chain as of the job does not hold (and no stub's check took) is judged as
// `vm restore --job` takes it: from the newest backup at or before the job that holds it, checked as that
// backup took it (a stub restored since whose disks a later job's backup recorded as deleted). One that
// no backup holds is no problem where the VM did not have it at the job (given since: the restore leaves
// it as it is), and a problem where it had it and the job's mount did not take it (a stub's job), or where
// the disks it had then cannot be told: the restore refuses it.
void VerifyDisksTheChainLacks(const archive::VMBackup& backup, const std::string& guid, int64_t asOf,
                              const std::set<std::string>& stubChecked,
                              const std::map<std::string, std::string>& images, Verification& verification) {
  const int64_t lastJob = backup.jobs.empty() ? 0 : backup.jobs.back();
  std::string server;
  lab::VMDescription vm;
  if (lastJob <= 0 || !lab::FindLabVM(guid, server, vm)) return;
  std::vector<size_t> lacking;
  for (size_t i = 0; i < vm.disks.size(); ++i)
    if (!stubChecked.count(lab::LabDiskIndexName(i, vm.disks[i].file)) && !ChainHoldsDisk(backup, vm, i))
      lacking.push_back(i);
  if (lacking.empty()) return;
  const lab::VMDisksAtJob had = lab::DisksOfVMAtJob(guid, lastJob);
  // A disk the job's mount took that the chain lacks, VerifyWhole names.
  lacking.erase(std::remove_if(lacking.begin(), lacking.end(),
                               [&](size_t i) { return had.mounted && had.HadDisk(guid, i, vm.disks[i].file); }),
                lacking.end());
  if (lacking.empty()) return;
  std::map<size_t, archive::RestoredDisk> found;
  int64_t standing = 0;
  std::string why;
  if (!lab::FindNewestBackupsOfDisks(verification.archives, vm, lacking, asOf, found, standing, why)) {
    ++verification.problems;
    std::printf("  NOT RESTORED as of job %lld: %s\n", static_cast<long long>(asOf > 0 ? asOf : lastJob),
                why.c_str());
    return;
  }
  for (size_t i : lacking) {
    const std::string name = lab::LabDiskIndexName(i, vm.disks[i].file);
    const auto disk = found.find(i);
    if (disk != found.end()) {
      VerifyDisk(disk->second, guid, disk->second.headerJob, true, images, verification);
      continue;
    }
    if (!had.known) {
      ++verification.problems;
      std::printf("  disk %s: HELD BY NO BACKUP at or before job %lld, and the disks the VM had at job %lld cannot "
                  "be told: %s\n",
                  name.c_str(), static_cast<long long>(lastJob), static_cast<long long>(lastJob), had.source.c_str());
    } else if (!had.HadDisk(guid, i, vm.disks[i].file)) {
      std::printf("  disk %s: not the VM's at job %lld (its disks then: %s): held by no backup at or before it, "
                  "and a restore as of the job leaves it as it is\n",
                  name.c_str(), static_cast<long long>(lastJob), had.source.c_str());
    } else {
      ++verification.problems;
      std::printf("  disk %s: HELD BY NO BACKUP at or before job %lld, which had it (its disks then: %s)\n",
                  name.c_str(), static_cast<long long>(lastJob), had.source.c_str());
    }
  }
}

// True when a committed archive file of the lab is of the VM by that GUID (any case).
bool AnArchiveOfVM(const std::string& guid) {
  for (const lab::ArchiveLocation& location : lab::ListArchiveFiles()) {
    archive::ArchiveContents contents;
    archive::Problem problem;
    archive::ReadArchiveStructure(location.path, contents, problem);
    if (strcasecmp(contents.vmGuid.c_str(), guid.c_str()) == 0) return true;
  }
  return false;
}

// The VMs of the lab's hypervisors with a disk a stub deleted as of the job (every job when 0).
std::vector<std::string> StubbedVMs(int64_t asOf) {
  std::vector<std::string> stubbed;
  for (const std::string& server : lab::ListServers())
    for (const lab::VMDescription& vm : lab::ListVMs(server))
      if (std::any_of(vm.disks.begin(), vm.disks.end(), [asOf](const lab::VMDisk& disk) {
            return disk.deleted && disk.stubJob > 0 && (asOf <= 0 || disk.stubJob <= asOf);
          }))
        stubbed.push_back(vm.guid);
  return stubbed;
}

// "vm01 [GUID]" while the lab's hypervisor has the VM (its description read or not), else its GUID.
std::string NameOf(const std::string& guid) {
  std::string server;
  lab::VMDescription vm;
  lab::UnreadableVM unreadable;
  if (lab::FindLabVM(guid, server, vm)) return vm.name + " [" + guid + "]";
  return lab::FindUnreadableLabVM(guid, server, unreadable) ? unreadable.name + " [" + guid + "]" : guid;
}

// Each VM of the lab's hypervisors (the one `vmScope` names, by GUID or name in lower case, when given)
// whose description does not read is a problem: it is the hypervisor's still, no job backs it up until it
// reads, and what its description keeps of a stub (the disks it deleted, and their backups) is not to be
// had.
void VerifyUnreadableVMs(const std::string& vmScope, Verification& verification) {
  for (const std::string& server : lab::ListServers())
    for (const lab::UnreadableVM& vm : lab::ListUnreadableVMs(server)) {
      if (!vmScope.empty() && Lower(vm.guid) != vmScope && Lower(vm.name) != vmScope) continue;
      ++verification.problems;
      std::printf("VM %s%s: DOES NOT READ on the hypervisor: %s; no job backs it up, nor is any disk a stub deleted "
                  "of it checked, until it reads\n",
                  vm.name.c_str(), vm.guid.empty() ? "" : (" [" + vm.guid + "]").c_str(), vm.Text().c_str());
    }
}

void VerifyVM(const std::string& guid, int64_t asOf, const std::map<std::string, std::string>& images,
              Verification& verification) {
  archive::VMBackup backup;
  std::vector<std::string> notes;
  std::string error;
  const bool ok =
      archive::ReassembleVM(verification.archives, guid, asOf, lab::ReportedBackupsOfVM(guid), backup, notes, error);
  std::string chain;
  for (int64_t job : backup.jobs) chain += (chain.empty() ? "" : ", ") + std::to_string(job);
  const int64_t lastJob = backup.jobs.empty() ? 0 : backup.jobs.back();
  const std::string vm = NameOf(guid);
  if (backup.jobs.empty())
    std::printf("VM %s: no usable backup of it%s:\n", vm.c_str(),
                asOf > 0 ? (" at or before job " + std::to_string(asOf)).c_str() : "");
  else
    std::printf("VM %s as of job %lld (%s %s):\n", vm.c_str(), static_cast<long long>(lastJob),
                backup.jobs.size() == 1 ? "job" : "jobs", chain.c_str());
  for (const std::string& note : notes) std::printf("  note: %s\n", note.c_str());
  if (backup.collectionFiles && backup.jobs.size() > 1)
    std::printf("  note: file collections are restored by modification time: a file deleted since an earlier "
                "backup of the chain is restored too\n");
  std::set<std::string> stubChecked;
  if (!ok) {
    ++verification.problems;
    std::printf("  CANNOT REASSEMBLE: %s\n", error.c_str());
    VerifyStub(guid, asOf, lastJob, images, verification, stubChecked);
    return;
  }
  // A disk whose chain breaks does not come back: a restore refuses it and names the break.
  for (const auto& broken : backup.brokenDisks) {
    ++verification.problems;
    std::printf("  disk %s: NOT RESTORED: its chain of backups is broken: %s\n", ShortName(broken.first, guid).c_str(),
                broken.second.c_str());
  }
  const bool reported = ReportedBackedUp(lastJob, guid);
  const bool stub = VerifyStub(guid, asOf, lastJob, images, verification, stubChecked);
  for (const auto& entry : backup.disks) {
    // A disk of a stub comes back from the backup its stub recorded; a stub of an older lab, none.
    if (stub && (stubChecked.empty() || stubChecked.count(ShortName(entry.first, guid)))) continue;
    VerifyDisk(entry.second, guid, lastJob, reported, images, verification);
  }
  VerifyWhole(backup, guid, asOf, reported, verification);
  VerifyDisksTheChainLacks(backup, guid, asOf, stubChecked, images, verification);
  for (int64_t job : backup.jobs) VerifyJobHoldsWhatItsMountTook(backup, guid, job, verification);
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
  // The VM by name or GUID: a VM the lab's hypervisor no longer has is named by the GUID its archives
  // carry; a name neither knows is a bad argument.
  if (parsed.options.count("vm")) {
    std::string guid, server;
    lab::UnreadableVM unreadable;
    if (VMGuidOf(parsed.options["vm"], guid, error))
      parsed.options["vm"] = guid;
    else if (lab::FindUnreadableLabVM(parsed.options["vm"], server, unreadable))
      parsed.options["vm"] = unreadable.guid.empty() ? unreadable.name : unreadable.guid;
    else if (!AnArchiveOfVM(parsed.options["vm"]))
      return UsageError(error + ", and no archive file of the lab is of a VM by that GUID", "verify");
  }
  if (jobId > 0 && !lab::JobExists(jobId) && lab::ListArchiveFiles(jobId).empty() &&
      lab::ListUncommittedArchiveFiles(jobId).empty())
    return UsageError("the lab has no job " + std::to_string(jobId) + " and no archive file of one", "verify");
  // An image is taken for its disk under each name a backup keeps the disk by, disk-level or
  // volume-level, whichever way the disk was named.
  std::map<std::string, std::string> images;                       // backup name -> image
  std::vector<std::pair<std::string, std::vector<std::string>>> given;  // each --image, its disk's names
  if (parsed.options.count("image")) {
    for (const std::string& pair : labkv::SplitList(parsed.options["image"])) {
      const size_t equals = pair.find('=');
      if (equals == std::string::npos || equals == 0 || equals + 1 == pair.size())
        return UsageError("--image takes DISK=PATH[,DISK=PATH...], not '" + pair + "'", "verify");
      std::vector<std::string> names;
      if (!DiskBackupNames(TextOption(parsed, "vm"), pair.substr(0, equals), names, error))
        return UsageError("--image " + pair + ": " + error, "verify");
      for (const std::string& name : names)
        if (!images.emplace(name, AbsolutePath(pair.substr(equals + 1))).second)
          return UsageError("--image " + pair + ": an image is given for that disk already", "verify");
      given.emplace_back(pair, names);
    }
  }

  Verification verification;
  if (lab::ListArchiveFiles().empty()) {
    // A lab that never ran a job has no backup to show restores.
    std::printf("nothing to verify: the lab's media agents hold no archive file (no job has run)\n");
    return kExitFailed;
  }
  const std::string vmScope = parsed.options.count("vm") ? Lower(parsed.options["vm"]) : std::string();
  JudgeArchives(ReadArchives(jobId, verification), jobId, jobId, vmScope, verification);
  // The VMs of the job (or of every job), each once; a VM whose archive of the job is damaged is
  // verified too: as of its last usable backup.
  std::map<std::string, std::string> vms;  // lower case -> as written
  for (const archive::ArchiveContents& contents : verification.archives) {
    if (contents.indexOnly || contents.vmGuid.empty() || (jobId > 0 && contents.jobId != jobId)) continue;
    if (!parsed.options.count("vm") || strcasecmp(parsed.options["vm"].c_str(), contents.vmGuid.c_str()) == 0)
      vms.emplace(Lower(contents.vmGuid), contents.vmGuid);
  }
  // A VM whose note names another VM's archive, and a VM a stub made of it as of the job, are verified
  // too: restores find their backups by their notes and their stub records.
  for (const std::string& vm : verification.foreignNotes) vms.emplace(vm, vm);
  for (const std::string& guid : StubbedVMs(jobId))
    if (vmScope.empty() || Lower(guid) == vmScope) vms.emplace(Lower(guid), guid);
  if (parsed.options.count("vm") && vms.empty()) {
    ++verification.problems;
    std::printf("VM %s: no well-formed archive of it%s\n", parsed.options["vm"].c_str(),
                jobId > 0 ? (" in job " + std::to_string(jobId)).c_str() : "");
  }
  if (jobId > 0 && verification.listedFiles == 0) {
    // Nothing of the job to verify is no proof that its backups restore.
    ++verification.problems;
    std::printf("job %lld: no archive file%s on any media agent\n", static_cast<long long>(jobId),
                vmScope.empty() ? "" : (" of VM " + NameOf(parsed.options["vm"])).c_str());
  }
  // A VM the job manager reports backed up in the job must have a backup to restore.
  size_t snapshotVMs = 0;
  if (jobId > 0) {
    for (const std::string& guid : vsJobMgr::ReadVMStatusGuids(jobId)) {
      if (vms.count(Lower(guid)) || !ReportedBackedUp(jobId, guid) ||
          (parsed.options.count("vm") && strcasecmp(parsed.options["vm"].c_str(), guid.c_str()) != 0))
        continue;
      if (VerifySnapshotVM(jobId, guid, NameOf(guid), verification)) {
        ++snapshotVMs;
        continue;
      }
      ++verification.problems;
      std::printf("VM %s: REPORTED BACKED UP in job %lld, but no committed archive of it is there\n",
                  NameOf(guid).c_str(), static_cast<long long>(jobId));
    }
  }
  for (const auto& vm : vms) VerifyVM(vm.second, jobId, images, verification);
  VerifyUnreadableVMs(vmScope, verification);
  // An image given that no restored disk was compared with would otherwise pass unnoticed.
  for (const auto& image : given) {
    if (std::any_of(image.second.begin(), image.second.end(),
                    [&](const std::string& name) { return verification.imagesCompared.count(name) > 0; }))
      continue;
    ++verification.problems;
    std::printf("image %s: NOT COMPARED: no disk verified is backed up as %s\n", image.first.c_str(),
                (image.second.front() + " or " + image.second.back()).c_str());
  }
  std::printf("verified %s and %s: %s\n", Counted(verification.wellFormed, "archive").c_str(),
              Counted(vms.size() + snapshotVMs, "VM").c_str(),
              Counted(static_cast<uint64_t>(verification.problems), "problem").c_str());
  return verification.problems == 0 ? kExitOk : kExitFailed;
}

}  // namespace labtool
