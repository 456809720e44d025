#include <strings.h>

#include <algorithm>
#include <functional>
#include <map>

#include "platform/archive/ArchiveReader.h"
#include "platform/archive/ArchiveRestore.h"
#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabArchiving_shared.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabMount.h"
#include "records/messages/JobManagerMessages.h"

// The lab's archiving model: a VM's backups as readers of backups take them, and the records beside its
// archives that a chain may not be read around.
namespace lab {
namespace {

// The backups of the VM the index knows, on any subclient, with the disks it recorded of each.
archive::BackupRecords IndexedBackupsOfVM(const std::string& vmGuid) {
  archive::BackupRecords records;
  std::map<int64_t, std::string> subclientOf;
  for (const std::string& subclient : IndexSubclients())
    for (int64_t job : IndexVMEntryJobs(subclient, vmGuid)) {
      records.jobs.insert(job);
      subclientOf.emplace(job, subclient);
    }
  records.disksOf = [subclientOf, vmGuid](int64_t job, std::set<std::string>& disks) {
    const auto subclient = subclientOf.find(job);
    std::vector<std::vector<std::string>> entries;
    std::string error;
    if (subclient == subclientOf.end() ||
        !ReadIndexVMEntriesOfKind(subclient->second, vmGuid, job, "disk", entries, error))
      return false;
    for (const auto& entry : entries)
      if (entry.size() == 3) disks.insert(entry[1]);
    return true;
  };
  return records;
}
}  // namespace

const archive::RestoredDisk* FindRestoredDisk(const archive::VMBackup& backup, const std::string& indexName) {
  const std::string name = "\\" + backup.vmGuid + "\\" + indexName;
  for (const auto& entry : backup.disks)
    if (strcasecmp(entry.first.c_str(), name.c_str()) == 0) return &entry.second;
  return nullptr;
}

std::string BrokenChainOf(const archive::VMBackup& backup, const std::string& indexName) {
  const std::string name = "\\" + backup.vmGuid + "\\" + indexName;
  for (const auto& entry : backup.brokenDisks)
    if (strcasecmp(entry.first.c_str(), name.c_str()) == 0) return "its chain of backups is broken: " + entry.second;
  return std::string();
}

bool AddDisksMountOfJobTook(int64_t jobId, const std::string& vmGuid, std::set<std::string>& disks) {
  bool mounted = false;
  for (const MountRecord& mount : ListMountRecordsOfVM(jobId, vmGuid)) {
    mounted = true;
    for (const MountedDisk& disk : mount.disks) disks.insert(disk.indexName);
  }
  return mounted;
}

bool MountOfJobTookDisk(int64_t jobId, const std::string& vmGuid, const std::string& indexName) {
  std::set<std::string> taken;
  AddDisksMountOfJobTook(jobId, vmGuid, taken);
  return std::any_of(taken.begin(), taken.end(),
                     [&](const std::string& disk) { return strcasecmp(disk.c_str(), indexName.c_str()) == 0; });
}

bool ReadNotedVMArchive(const NotedArchive& noted, const std::string& vmGuid, bool structureOnly,
                        archive::ArchiveContents& contents) {
  const std::string path = noted.FoundPath();
  archive::Problem problem;
  if (noted.state == NotedArchive::State::kMissing) {
    contents.path = path;
    contents.malformed = path + ": noted for the VM in job " + std::to_string(noted.location.jobId) +
                         ", but the file is not there";
  } else if (structureOnly || noted.state != NotedArchive::State::kCommitted) {
    archive::ReadArchiveStructure(path, contents, problem);
  } else {
    ReadArchiveWhole(noted.location, contents, problem);
  }
  // A committed file a whole read found damaged is damaged to a reader of its structure too.
  std::string damage;
  if (structureOnly && noted.state == NotedArchive::State::kCommitted && contents.malformed.empty() &&
      ArchiveDamageFound(path, damage))
    contents.malformed = damage + " (found by a whole read)";
  if (noted.state == NotedArchive::State::kUncommitted && contents.malformed.empty())
    contents.malformed = path + ": never committed";
  contents.absent = noted.state != NotedArchive::State::kCommitted;
  contents.neverCommitted = noted.state == NotedArchive::State::kUncommitted;
  // One whose beginning does not read (or that is not there) is still the VM's in its job, by where it
  // lies and its note, and of the attempt its note names: a damaged backup of the VM, never one that is
  // not there.
  if (archive::BeginUnread(contents)) {
    contents.jobId = noted.location.jobId;
    contents.vmGuid = vmGuid;
    contents.dispatch = noted.dispatch;
    contents.attempt = noted.process;
    return true;
  }
  return strcasecmp(contents.vmGuid.c_str(), vmGuid.c_str()) == 0;
}

std::vector<archive::ArchiveContents> ReadVMArchives(const std::string& vmGuid, int64_t asOfJob) {
  std::vector<archive::ArchiveContents> archives;
  for (const NotedArchive& noted : ListVMNotedArchivesUpTo(vmGuid, asOfJob)) {
    archive::ArchiveContents contents;
    if (ReadNotedVMArchive(noted, vmGuid, false, contents)) archives.push_back(std::move(contents));
  }
  return archives;
}

std::vector<archive::ArchiveContents> ReadVMChainArchives(const std::string& vmGuid, int64_t asOfJob,
                                                          bool structureOnly) {
  std::map<int64_t, std::vector<NotedArchive>, std::greater<int64_t>> byJob;
  for (NotedArchive& noted : ListVMNotedArchivesUpTo(vmGuid, asOfJob))
    byJob[noted.location.jobId].push_back(std::move(noted));
  std::vector<archive::ArchiveContents> archives;
  for (const auto& job : byJob) {
    const size_t first = archives.size();
    for (const NotedArchive& noted : job.second) {
      archive::ArchiveContents contents;
      if (ReadNotedVMArchive(noted, vmGuid, structureOnly, contents)) archives.push_back(std::move(contents));
    }
    std::vector<const archive::ArchiveContents*> ofJob;
    for (size_t i = first; i < archives.size(); ++i)
      if (!archives[i].indexOnly) ofJob.push_back(&archives[i]);
    // The newest full that can be used is where the chain begins: nothing before it counts.
    const archive::JobBackup judged = archive::JudgeJobBackup(ofJob);
    if (judged.Usable() && std::any_of(judged.archives.begin(), judged.archives.end(),
                                       [](const archive::ArchiveContents* taken) { return taken->backupLevel == 1; }))
      break;
  }
  return archives;
}

archive::BackupRecords ReportedBackupsOfVM(const std::string& vmGuid, int64_t fromJob, int64_t toJob) {
  archive::BackupRecords records = IndexedBackupsOfVM(vmGuid);
  for (int64_t job : ListJobs()) {
    if (job < fromJob || (toJob > 0 && job > toJob)) continue;
    JobManager::VMUpdateInfo record;
    std::string error;
    if (!LoadVMStatus(job, vmGuid, record, error)) continue;
    const int64_t status = record.getint64(JobManager::VMUpdateInfo::F_vmStatus);
    if (status == kVMStatusBackedUp || status == kVMStatusBackedUpWithErrors) records.jobs.insert(job);
  }
  // Where the index lost its record of a job, the job's mount still says which disks its backup holds:
  // read around, a disk whose archive is no longer noted would come from the backup before, which is
  // not the disk as of the job.
  records.disksOf = [indexed = records.disksOf, vmGuid](int64_t job, std::set<std::string>& disks) {
    return indexed(job, disks) || AddDisksMountOfJobTook(job, vmGuid, disks);
  };
  return records;
}

bool VMChainOnMediaIsWhole(const std::string& vmGuid, int64_t asOfJob, std::string& why) {
  const std::vector<archive::ArchiveContents> archives = ReadVMChainArchives(vmGuid, asOfJob, true);
  // The job manager's records of the jobs below the chain's oldest archive name no link of it.
  int64_t oldest = asOfJob;
  for (const archive::ArchiveContents& contents : archives)
    if (contents.jobId > 0 && (oldest <= 0 || contents.jobId < oldest)) oldest = contents.jobId;
  archive::VMBackup backup;
  std::vector<std::string> notes;
  if (!archive::JudgeVMChains(archives, vmGuid, asOfJob, ReportedBackupsOfVM(vmGuid, oldest, asOfJob), backup, notes,
                              why))
    return false;
  if (backup.brokenDisks.empty()) return true;
  why = "disk [" + backup.brokenDisks.begin()->first + "]: " + backup.brokenDisks.begin()->second;
  return false;
}

bool VMJobBackupStands(const std::string& vmGuid, int64_t jobId) {
  std::vector<archive::ArchiveContents> read;
  for (const NotedArchive& noted : ListVMNotedArchives(jobId, vmGuid)) {
    archive::ArchiveContents contents;
    if (ReadNotedVMArchive(noted, vmGuid, true, contents) && !contents.indexOnly) read.push_back(std::move(contents));
  }
  std::vector<const archive::ArchiveContents*> ofJob;
  for (const archive::ArchiveContents& contents : read) ofJob.push_back(&contents);
  return !ofJob.empty() && archive::JudgeJobBackup(ofJob).Usable();
}

bool ReassembleJobBackup(const std::vector<archive::ArchiveContents>& archives, const std::string& vmGuid,
                         int64_t jobId, archive::VMBackup& backup, std::string& why) {
  const std::string job = "job " + std::to_string(jobId);
  std::vector<std::string> notes;
  if (!archive::ReassembleVM(archives, vmGuid, jobId, ReportedBackupsOfVM(vmGuid), backup, notes, why))
    return false;
  if (backup.jobs.empty() || backup.jobs.back() != jobId) {
    why = job + " is not in the VM's chain";
    for (const std::string& note : notes)
      if (note.compare(0, job.size() + 1, job + " ") == 0) why = note;
    return false;
  }
  return true;
}

bool DiskOfJobBackup(const archive::VMBackup& backup, const std::string& indexName, const std::string& changeId,
                     archive::RestoredDisk& disk, std::string& why) {
  const int64_t jobId = backup.jobs.empty() ? 0 : backup.jobs.back();
  const std::string job = "job " + std::to_string(jobId);
  const std::string broken = BrokenChainOf(backup, indexName);
  if (!broken.empty()) {
    why = broken;
    return false;
  }
  const archive::RestoredDisk* found = FindRestoredDisk(backup, indexName);
  if (found == nullptr || found->headerJob != jobId) {
    why = job + "'s backup of the VM does not hold the disk";
    return false;
  }
  const std::string read = found->place.changeId;
  if (changeId.empty() || read != changeId) {
    why = job + "'s backup read the disk at change id [" + read + "], not at [" + changeId + "]";
    return false;
  }
  disk = *found;
  return true;
}
}  // namespace lab
