#include "platform/index/vsIndexClient.h"

#include <algorithm>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/ev/EvDebug.h"
#include "platform/index/ExtentNameConverter.h"
#include "platform/index/IdxBrowseMessages.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxFile.h"
#include "platform/os/CPxPath.h"
#include "platform/os/FXString.h"
#include "platform/os/PatternMatch.h"
#include "records/messages/JobManagerMessages.h"

namespace {

using Entries = std::vector<std::vector<std::string>>;

const char* const kSigLastEntries =
    "bool vsIndexClient::GetVMMetadata(const std::string&, const std::string&, unsigned long int, "
    "IdxMetadata::IdxMetaData*, IdxMetadataByName*, bool&, bool&)";

std::string LastComponent(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool IdxNoCaseLess::operator()(const std::string& a, const std::string& b) const {
  return FXString::CompareNoCase(a, b) < 0;
}

vsIndexClient::vsIndexClient(vsJobMgr* jobMgr, vsAppMgr* appMgr, const std::string& mediaAgent)
    : jobMgr_(jobMgr), appMgr_(appMgr), mediaAgent_(mediaAgent) {}

vsIndexClient::~vsIndexClient() = default;

// ---- Common steps ----

bool vsIndexClient::Faulted(const char* op, const std::string& vmGuid, int* code) {
  lab::FaultCall call;
  call.op = op;
  call.vm = vmGuid;
  lab::Fault fault;
  if (!lab::CheckFault(call, fault)) return false;
  if (code != nullptr) *code = fault.code;
  SetError(fault.text.empty() ? std::string(op) + " failed with code " + std::to_string(fault.code) : fault.text);
  return true;
}

bool vsIndexClient::CheckOpen() {
  ZtMutexLock lock(mutex_);
  if (!closed_) return true;
  lastError_ = "the indexing connection is closed";
  return false;
}

void vsIndexClient::SetError(const std::string& text) {
  ZtMutexLock lock(mutex_);
  lastError_ = text;
}

std::string vsIndexClient::GetLastError() const {
  ZtMutexLock lock(mutex_);
  return lastError_;
}

std::string vsIndexClient::GetMediaAgentClientName() const { return mediaAgent_; }

std::string vsIndexClient::SubclientGuid() const {
  return appMgr_ != nullptr ? appMgr_->getSubclientGUID() : std::string();
}

bool vsIndexClient::FindVMOfSubclient(const std::string& vmGuid, std::string& subclientGuid) {
  std::string reason;
  subclientGuid = SubclientGuid();
  if (!lab::IndexVMDir(subclientGuid, vmGuid, reason).empty()) return true;
  SetError(reason);
  return false;
}

bool vsIndexClient::JobIdentity(std::string& subclientGuid, int64_t& jobId) {
  subclientGuid = SubclientGuid();
  jobId = jobMgr_ != nullptr ? jobMgr_->getJobId() : 0;
  if (subclientGuid.empty() || jobId <= 0) {
    SetError("the job's index is not known: no subclient or no job");
    return false;
  }
  return true;
}

bool vsIndexClient::RecordJobEntry(const std::vector<std::string>& fields) {
  std::string guid, error;
  int64_t jobId = 0;
  if (!JobIdentity(guid, jobId)) return false;
  if (lab::AppendIndexJobEntry(guid, jobId, fields, error)) return true;
  SetError(error);
  return false;
}

int vsIndexClient::Close() {
  const bool failed = Faulted("index.Close");
  ZtMutexLock lock(mutex_);
  closed_ = true;
  return failed ? 0 : 1;
}

// ---- Metadata files ----

bool vsIndexClient::CopyMatches(const std::string& folder, const std::string& pattern, const std::string& destDir,
                                bool& copied) {
  copied = false;
  CPathMatch match(LastComponent(pattern), 0, 1);
  std::vector<std::string> names;
  CPxDirectory::List(folder, names);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string source = CPxPath::Append(folder, name, false);
    // Lock files and temporary copies of the cache are not metadata files.
    if (name[0] == '.' || !match.Match(name) || lab::IsDirectory(source)) continue;
    std::string error;
    if (!lab::CopyFileAtomic(source, CPxPath::Append(destDir, name, false), error)) {
      SetError(error);
      return false;
    }
    copied = true;
  }
  return true;
}

bool vsIndexClient::UploadInto(const std::string& folder, const std::vector<std::string>& files) {
  if (!lab::MakeDirs(folder)) {
    SetError("cannot create the cache folder " + folder);
    return false;
  }
  for (const std::string& file : files) {
    const std::string name = LastComponent(file);
    if (!lab::IsSafeComponent(name) || name[0] == '.') {
      SetError("the file name [" + file + "] cannot be kept in the index cache");
      return false;
    }
    std::string error;
    if (!lab::CopyFileAtomic(file, CPxPath::Append(folder, name, false), error)) {
      SetError(error);
      return false;
    }
  }
  return true;
}

bool vsIndexClient::DownloadMetadataFilesFromRemoteCache(const std::vector<std::string>& names,
                                                         const std::string& destDir, int64_t jobId,
                                                         const std::string& subclientGuid, const std::string& text) {
  std::string reason;
  if (!CheckOpen() || Faulted("index.DownloadMetadataFiles")) return false;
  const std::string folder = lab::IndexJobDir(subclientGuid, jobId, reason);
  if (folder.empty()) {
    SetError(reason);
    return false;
  }
  for (const std::string& name : names) {
    if (!lab::IsSafeComponent(name) || name[0] == '.') {
      SetError("the file name [" + name + "] is not usable");
      return false;
    }
    const std::string source = CPxPath::Append(folder, name, false);
    if (!CPxFile::Exists(source)) {
      SetError("[" + name + "] is not in the index cache for job " + std::to_string(jobId));
      return false;
    }
    if (!lab::CopyFileAtomic(source, CPxPath::Append(destDir, name, false), reason)) {
      SetError(reason);
      return false;
    }
  }
  return true;
}

bool vsIndexClient::DownloadMetadataFile(const std::string& pattern, const std::string& destDir) {
  std::string reason;
  if (!CheckOpen() || Faulted("index.DownloadMetadataFiles")) return false;
  const std::string guid = SubclientGuid();
  if (lab::IndexSubclientDir(guid, reason).empty()) {
    SetError(reason);
    return false;
  }
  for (int64_t jobId : lab::IndexJobsToRead(guid, lab::IndexFileJobs(guid), 0)) {
    bool copied = false;
    if (!CopyMatches(lab::IndexJobDir(guid, jobId, reason), pattern, destDir, copied)) return false;
    if (copied) return true;
  }
  SetError("no file matching [" + pattern + "] is in the index cache");
  return false;
}

int vsIndexClient::UploadMetadataFiles(const std::vector<std::string>& files, int64_t jobId,
                                       const std::string& subclientGuid) {
  std::string reason;
  if (!CheckOpen() || Faulted("index.UploadMetadataFiles")) return 0;
  const std::string folder = lab::IndexJobDir(subclientGuid, jobId, reason);
  if (folder.empty()) {
    SetError(reason);
    return 0;
  }
  return UploadInto(folder, files) ? 1 : 0;
}

bool vsIndexClient::AddMetadataFile(const std::string& path) {
  ZtMutexLock lock(mutex_);
  if (std::find(metadataFiles_.begin(), metadataFiles_.end(), path) == metadataFiles_.end())
    metadataFiles_.push_back(path);
  return true;
}

std::vector<std::string> vsIndexClient::GetMetadataFiles() const {
  ZtMutexLock lock(mutex_);
  return metadataFiles_;
}

bool vsIndexClient::UploadVMMetadataFiles(const std::string& vmGuid, const std::vector<std::string>& files,
                                          int64_t jobId, const std::string& subclientGuid) {
  std::string reason;
  if (!CheckOpen() || Faulted("index.UploadMetadataFiles", vmGuid)) return false;
  const std::string folder = lab::IndexVMJobDir(subclientGuid, vmGuid, jobId, reason);
  if (folder.empty()) {
    SetError(reason);
    return false;
  }
  if (!UploadInto(folder, files)) return false;
  // Files a VM's own job uploads count as this job's when a later job asks for the newest of a cycle.
  const int64_t own = jobMgr_ != nullptr ? jobMgr_->getJobId() : 0;
  if (own > 0 && own != jobId && !lab::RecordIndexChildJob(subclientGuid, jobId, own, reason)) {
    SetError(reason);
    return false;
  }
  return true;
}

bool vsIndexClient::DownloadVMMetadataFile(const std::string& vmGuid, const std::string& pattern,
                                           const std::string& destDir, int64_t jobId) {
  std::string reason, guid;
  if (!CheckOpen() || Faulted("index.DownloadMetadataFiles", vmGuid) || !FindVMOfSubclient(vmGuid, guid)) return false;
  for (int64_t job : VMFileJobsToRead(guid, vmGuid, jobId)) {
    bool copied = false;
    if (!CopyMatches(lab::IndexVMJobDir(guid, vmGuid, job, reason), pattern, destDir, copied)) return false;
    if (copied) return true;
  }
  SetError("no file of VM [" + vmGuid + "] matching [" + pattern + "] is in the index cache for job " +
           std::to_string(jobId));
  return false;
}

bool vsIndexClient::DownloadVMMetadataFiles(const std::string& vmGuid, const std::string& destDir, int64_t jobId,
                                            const std::string& subclientGuid) {
  std::string reason;
  if (!CheckOpen() || Faulted("index.DownloadMetadataFiles", vmGuid)) return false;
  if (lab::IndexVMDir(subclientGuid, vmGuid, reason).empty()) {
    SetError(reason);
    return false;
  }
  const std::vector<int64_t> jobs = VMFileJobsToRead(subclientGuid, vmGuid, jobId);
  if (jobs.empty()) {
    SetError("the index cache has no files of VM [" + vmGuid + "] for job " + std::to_string(jobId));
    return false;
  }
  bool copied = false;
  return CopyMatches(lab::IndexVMJobDir(subclientGuid, vmGuid, jobs.front(), reason), "*", destDir, copied);
}

// ---- The job's index ----

void vsIndexClient::SetUseFixedLengthExtentNames(bool on) {
  ZtMutexLock lock(mutex_);
  fixedLengthExtentNames_ = on;
}

bool vsIndexClient::GetUseFixedLengthExtentNames() const {
  ZtMutexLock lock(mutex_);
  return fixedLengthExtentNames_;
}

bool vsIndexClient::GetUseFixedLengthExtentNames(const std::string& subclientDir, bool& fixed) {
  if (!CheckOpen() || Faulted("index.GetUseFixedLengthExtentNames")) return false;
  if (subclientDir.empty()) {
    SetError("no subclient directory to ask about");
    return false;
  }
  const std::string guid = SubclientGuid();
  std::string reason;
  if (lab::IndexSubclientDir(guid, reason).empty()) {
    SetError(reason);
    return false;
  }
  std::vector<int64_t> jobs = lab::IndexJobIds(guid);
  const int64_t own = jobMgr_ != nullptr ? jobMgr_->getJobId() : 0;
  if (std::find(jobs.begin(), jobs.end(), own) != jobs.end()) jobs.insert(jobs.begin(), own);
  for (int64_t jobId : jobs) {
    lab::IndexJobRecord record;
    bool exists = false;
    std::string error;
    if (!lab::ReadIndexJobRecord(guid, jobId, record, exists, error)) {
      SetError(error);
      return false;
    }
    if (exists) {
      fixed = record.fixedLengthExtentNames;
      return true;
    }
  }
  fixed = true;
  return true;
}

bool vsIndexClient::AddVMGuid(const std::string& vmGuid, bool marked) {
  if (!CheckOpen()) return false;
  if (vmGuid.empty()) {
    SetError("a VM without a GUID cannot join the index");
    return false;
  }
  ZtMutexLock lock(mutex_);
  addedVMs_[FXString::ToLower(vmGuid)] = marked;
  return true;
}

bool vsIndexClient::createIndex(bool finalise) {
  std::string guid, error;
  int64_t jobId = 0;
  if (!CheckOpen() || Faulted("index.createIndex") || !JobIdentity(guid, jobId)) return false;
  std::map<std::string, bool> added;
  bool fixed = true;
  {
    ZtMutexLock lock(mutex_);
    added = addedVMs_;
    fixed = fixedLengthExtentNames_;
  }
  const int level = jobMgr_->getBkpLevel();
  const bool ok = lab::UpdateIndexJobRecord(
      guid, jobId,
      [&](lab::IndexJobRecord& record, std::string& why) {
        if (finalise && record.level == 0) {
          why = "the index of job " + std::to_string(jobId) + " was never created";
          return false;
        }
        if (!finalise) {
          record.level = level;
          record.fixedLengthExtentNames = fixed;
        }
        record.finalized = finalise;
        for (const auto& vm : added) record.vms[vm.first] = vm.second;
        return true;
      },
      error);
  if (!ok) {
    SetError(error);
    return false;
  }
  {
    ZtMutexLock lock(mutex_);
    for (const auto& vm : added) addedVMs_.erase(vm.first);
  }
  // Without archive-index runs the index learns the job's VMs from its archive files when the job
  // finalises it.
  return !finalise || (appMgr_ != nullptr && appMgr_->isUseIndexingV2Enabled()) || LearnJob(jobId);
}

bool vsIndexClient::SendArchiveFileInfo(uint64_t keyrealmId, uint32_t archiveFileId) {
  if (!CheckOpen() || Faulted("index.SendArchiveFileInfo")) return false;
  return RecordJobEntry({"archiveFileInfo", std::to_string(keyrealmId), std::to_string(archiveFileId)});
}

bool vsIndexClient::SendArchiveFileInfo(uint64_t keyrealmId, uint32_t archiveFileId, uint64_t creationTime,
                                        uint64_t appId, int64_t jobId, int backupLevel) {
  if (!CheckOpen() || Faulted("index.SendArchiveFileInfo")) return false;
  return RecordJobEntry({"archiveFileInfo", std::to_string(keyrealmId), std::to_string(archiveFileId),
                         std::to_string(creationTime), std::to_string(appId), std::to_string(jobId),
                         std::to_string(backupLevel)});
}

bool vsIndexClient::SendInImageFlag(const std::string& item, int kind, bool inImage, int count,
                                    const std::string& text) {
  if (!CheckOpen() || Faulted("index.SendInImageFlag")) return false;
  if (item.empty()) {
    SetError("an in-image record needs an item name");
    return false;
  }
  return RecordJobEntry(
      {"inImage", item, std::to_string(kind), inImage ? "1" : "0", std::to_string(count), text});
}

bool vsIndexClient::SendBrowseViewPaths(const std::vector<std::string>& paths, const std::string& vmGuid,
                                        IdxMetadata::IdxMetaData& metadata, const std::string& text,
                                        unsigned long long number, long flags) {
  if (!CheckOpen() || Faulted("index.SendBrowseViewPaths", vmGuid)) return false;
  std::string xml;
  if (!metadata.serialize(xml, true)) {
    SetError("the browse metadata cannot be written");
    return false;
  }
  std::vector<std::string> fields = {"browsePaths", vmGuid, text, std::to_string(number), std::to_string(flags), xml};
  fields.insert(fields.end(), paths.begin(), paths.end());
  return RecordJobEntry(fields);
}

bool vsIndexClient::CommitArchiveFileInfo() {
  if (!CheckOpen() || Faulted("index.CommitArchiveFileInfo")) return false;
  return RecordJobEntry({"commit"});
}

// ---- Lookups ----

bool vsIndexClient::InitLookup() {
  std::string reason;
  if (!CheckOpen() || Faulted("index.InitLookup")) return false;
  if (lab::IndexSubclientDir(SubclientGuid(), reason).empty()) {
    SetError(reason);
    return false;
  }
  ZtMutexLock lock(mutex_);
  lookupReady_ = true;
  return true;
}

bool vsIndexClient::Lookup(std::vector<std::string>& names, bool flag) {
  if (!CheckOpen()) return false;
  {
    ZtMutexLock lock(mutex_);
    if (!lookupReady_) {
      lastError_ = "the lookup was not initialised";
      return false;
    }
  }
  std::string reason;
  if (!lab::ReadIndexVMNames(SubclientGuid(), names, reason)) {
    SetError(reason);
    return false;
  }
  return true;
}

std::vector<int64_t> vsIndexClient::VMJobsToRead(const std::string& subclientGuid, const std::string& vm,
                                                 std::string& vmGuid, int64_t jobId) {
  vmGuid = lab::FindIndexVM(subclientGuid, vm);
  const std::vector<int64_t> jobs =
      vmGuid.empty() ? std::vector<int64_t>()
                     : JobsToRead(subclientGuid, lab::IndexVMEntryJobs(subclientGuid, vmGuid), jobId);
  if (jobs.empty())
    SetError("the index has no backup of VM [" + vm + "]" + (jobId != 0 ? " from job " + std::to_string(jobId) : ""));
  return jobs;
}

bool vsIndexClient::ReadLastVMEntries(const std::string& vm, Entries& entries, bool& known, int64_t jobId,
                                      EntriesOf& from) {
  known = false;
  from = EntriesOf();
  entries.clear();
  const std::string guid = SubclientGuid();
  std::string vmGuid;
  const std::vector<int64_t> jobs = VMJobsToRead(guid, vm, vmGuid, jobId);
  if (jobs.empty()) return true;
  std::string error;
  // A record that cannot be read (cut short, changed, unreadable) is no base for anything: the VM's
  // last backup is unknown, as if the record were missing.
  if (!lab::ReadIndexVMEntries(guid, vmGuid, jobs.front(), entries, error)) {
    SetError("the index record of VM [" + vm + "] from job " + std::to_string(jobs.front()) +
             " cannot be used: " + error);
    EvDebug::Error(kSigLastEntries, "%s", GetLastError().c_str());
    entries.clear();
    return true;
  }
  known = true;
  from.vmGuid = vmGuid;
  from.job = jobs.front();
  return true;
}

bool vsIndexClient::StandsOnTheMedia(const std::string& vmGuid, int64_t jobId, std::string& why) {
  // A storage snapshot's backups are the snapshots themselves, not archives on the media.
  if (jobMgr_ != nullptr && (jobMgr_->isSnapBackup() || jobMgr_->isSnapCatalogMode() || jobMgr_->isSnapToTape()))
    return true;
  if (!lab::VMChainOnMediaIsWhole(vmGuid, jobId, why)) return false;
  for (int64_t later : CycleJobsAfter(jobId)) {
    if (!lab::VMJobBackupStands(vmGuid, later)) continue;
    why = "job " + std::to_string(later) + " of the cycle backed the VM up after it, and the index has not learned "
          "that backup";
    return false;
  }
  return true;
}

bool vsIndexClient::LookupVMDisks(const std::string& vm, std::map<std::string, unsigned long long>* disks) {
  if (!CheckOpen() || Faulted("index.LookupVMDisks", vm)) return false;
  {
    ZtMutexLock lock(mutex_);
    if (!lookupReady_) {
      lastError_ = "the lookup was not initialised";
      return false;
    }
  }
  Entries entries;
  bool known = false;
  if (disks == nullptr || !ReadLastVMEntries(vm, entries, known) || !known) return false;
  for (const auto& entry : entries) {
    uint64_t number = 0;
    if (entry.size() == 3 && entry[0] == "disk" && labkv::ParseUInt64(entry[2], number)) (*disks)[entry[1]] = number;
  }
  return true;
}

bool vsIndexClient::GetVMLastFullJob(const std::string& vmGuid, int64_t& jobId) {
  jobId = 0;
  std::string guid;
  if (!CheckOpen() || !FindVMOfSubclient(vmGuid, guid)) return false;
  jobId = lab::IndexLastFullJobOfVM(guid, vmGuid);
  return true;
}

bool vsIndexClient::GetVMNewestRecordJob(const std::string& vmGuid, int64_t& jobId) {
  jobId = 0;
  std::string guid;
  if (!CheckOpen() || Faulted("index.GetVMNewestRecordJob", vmGuid) || !FindVMOfSubclient(vmGuid, guid))
    return false;
  // A child job is made while its parent runs, so its id is the larger: newest first, the jobs no newer
  // than the newest found so far cannot change it, and a long history is not read through.
  std::vector<int64_t> jobs = lab::IndexVMEntryJobs(guid, vmGuid);
  std::sort(jobs.rbegin(), jobs.rend());
  for (int64_t job : jobs) {
    if (job <= jobId) break;
    jobId = std::max(jobId, lab::IndexParentJob(guid, job));
  }
  return true;
}

bool vsIndexClient::GetVMMetadata(const std::string& vm, const std::string& folder, unsigned long count,
                                  IdxMetadata::IdxMetaData* metadata, IdxMetadataByName* byName, bool& retryable,
                                  bool& queryFailed) {
  retryable = false;
  queryFailed = false;
  const std::string key = folder.empty() ? vm : folder;
  if (!CheckOpen() || Faulted("index.GetVMMetadata", key)) {
    retryable = true;
    queryFailed = true;
    return false;
  }
  Entries entries;
  bool known = false;
  EntriesOf from;
  bool read = ReadLastVMEntries(key, entries, known, 0, from);
  if (read && !known && key != vm) {
    // Asked by name too; when that finds nothing either, the VM's own record says why.
    const std::string why = GetLastError();
    read = ReadLastVMEntries(vm, entries, known, 0, from);
    if (read && !known) SetError(why);
  }
  if (!read) {
    retryable = true;
    queryFailed = true;
    return false;
  }
  IdxMetadata::IdxMetaData vmRecord;
  IdxMetadataByName disks;
  if (!ParseVMEntries(vm, entries, known, &vmRecord, &disks)) return false;
  // Nor is a last backup whose chain on the media is broken (a backup under it lost or damaged): one
  // more incremental on it could never be restored, so the VM's next backup is a full one.
  // Nor one that a later job of the cycle stands after on the media, unknown to the index (an attempt of
  // it cut off before its archive-index run, which superseded what the index learned of the job): every
  // restore reads that one as the job's, and an incremental built around it could never be restored.
  std::string why;
  if (!StandsOnTheMedia(from.vmGuid, lab::IndexParentJob(SubclientGuid(), from.job), why)) {
    SetError("the last backup of VM [" + vm + "] in the index, of job " + std::to_string(from.job) +
             ", cannot be built on: " + why);
    EvDebug::Error(kSigLastEntries, "%s", GetLastError().c_str());
    return false;
  }
  if (metadata != nullptr) *metadata = vmRecord;
  if (byName != nullptr) *byName = disks;
  return true;
}

bool vsIndexClient::GetVMJobMetadata(const std::string& vmGuid, int64_t jobId, IdxMetadata::IdxMetaData* metadata,
                                     IdxMetadataByName* byName, bool& queryFailed) {
  queryFailed = false;
  Entries entries;
  bool known = false;
  if (!CheckOpen() || Faulted("index.GetVMMetadata", vmGuid) || !ReadLastVMEntries(vmGuid, entries, known, jobId)) {
    queryFailed = true;
    return false;
  }
  return ParseVMEntries(vmGuid, entries, known, metadata, byName);
}

bool vsIndexClient::ParseVMEntries(const std::string& vm, const Entries& entries, bool known,
                                   IdxMetadata::IdxMetaData* metadata, IdxMetadataByName* byName) {
  IdxMetadata::IdxMetaData vmRecord;
  IdxMetadataByName disks;
  bool found = false;
  for (const auto& entry : entries) {
    std::string error;
    bool read = true;
    if (entry.size() == 3 && entry[0] == "meta" && entry[1] == "vm") {
      read = vmRecord.deserialize(entry[2], &error);
      found = read;
    } else if (entry.size() == 4 && entry[0] == "meta" && entry[1] == "disk") {
      read = disks[entry[2]].deserialize(entry[3], &error);
    }
    if (!read) {
      // As unusable as a damaged record: the VM is backed up in full rather than never.
      SetError("the index metadata of VM [" + vm + "] cannot be read: " + error);
      EvDebug::Error(kSigLastEntries, "%s", GetLastError().c_str());
      return false;
    }
  }
  if (!found) {
    if (known) SetError("the index has no metadata of VM [" + vm + "]");
    return false;
  }
  if (metadata != nullptr) *metadata = vmRecord;
  if (byName != nullptr) *byName = disks;
  return true;
}

bool vsIndexClient::GetListOfMetadataExtents(int64_t clientId, const std::string& indexText, int64_t subclientId,
                                             const std::string& vmGuid, const std::string& disk, bool mft,
                                             const ProcessExtentCallback& callback) {
  if (!CheckOpen() || Faulted("index.GetListOfMetadataExtents", vmGuid)) return false;
  Entries entries;
  bool known = false;
  if (!ReadLastVMEntries(vmGuid, entries, known) || !known) return false;
  const char* kind = mft ? "mft" : "mount";
  for (const auto& entry : entries) {
    uint64_t extent = 0;
    if (entry.size() == 5 && entry[0] == "extent" && FXString::CompareNoCase(entry[1], disk) == 0 &&
        entry[2] == kind && labkv::ParseUInt64(entry[3], extent) && callback)
      callback(extent, entry[4]);
  }
  return true;
}

bool vsIndexClient::DiskChecksums(const std::string& vmGuid, const std::string& disk,
                                  std::map<uint64_t, uint32_t>& checksums) {
  checksums.clear();
  const std::string guid = SubclientGuid();
  std::string vm;
  const std::vector<int64_t> jobs = VMJobsToRead(guid, vmGuid, vm);
  if (jobs.empty()) return false;
  // The jobs of the cycle back to the VM's last full backup, newest first; each later one's extents
  // replace the earlier ones', and an extent a job did not send keeps its earlier checksum.
  std::vector<Entries> chain;
  for (int64_t job : jobs) {
    Entries entries;
    std::string error;
    if (!lab::ReadIndexVMEntries(guid, vm, job, entries, error)) {
      SetError(error);
      return false;
    }
    chain.push_back(entries);
    const bool full = std::any_of(entries.begin(), entries.end(), [](const std::vector<std::string>& entry) {
      return entry.size() == 2 && entry[0] == "level" && entry[1] == "1";
    });
    if (full) break;
  }
  bool diskKnown = false;
  for (auto entries = chain.rbegin(); entries != chain.rend(); ++entries) {
    for (const auto& entry : *entries) {
      uint64_t extent = 0, crc = 0;
      if (entry.size() == 3 && entry[0] == "disk" && FXString::CompareNoCase(entry[1], disk) == 0) diskKnown = true;
      if (entry.size() == 4 && entry[0] == "crc" && FXString::CompareNoCase(entry[1], disk) == 0 &&
          labkv::ParseUInt64(entry[2], extent) && labkv::ParseUInt64(entry[3], crc) && crc <= 0xFFFFFFFFu)
        checksums[extent] = static_cast<uint32_t>(crc);
    }
  }
  if (!diskKnown) SetError("the index has no disk [" + disk + "] of VM [" + vmGuid + "]");
  return diskKnown;
}

bool vsIndexClient::GetVMDiskExtentsCRC(const std::string& vmGuid, const std::string& disk, unsigned long count,
                                        IdxBrowseClientResp* response) {
  if (!CheckOpen() || Faulted("index.GetVMDiskExtentsCRC", vmGuid)) return false;
  std::map<uint64_t, uint32_t> checksums;
  if (response == nullptr) {
    SetError("no receiver for the extent checksums");
    return false;
  }
  if (!DiskChecksums(vmGuid, disk, checksums)) return false;
  // The answer comes in replies of a bounded number of extents, so that a large disk does not make
  // one message of millions of items.
  auto next = checksums.begin();
  do {
    IdxBrowse::BrowseResp reply;
    CNMessageList& items =
        reply.getObject<IdxBrowse::BrowseResult>(IdxBrowse::BrowseResp::F_result, true)
            ->getlistobject(IdxBrowse::BrowseResult::F_items, true);
    for (size_t n = 0; n < kExtentsPerReply && next != checksums.end(); ++n, ++next) {
      IdxBrowse::BrowseItem item;
      item.setstring(IdxBrowse::BrowseItem::F_extentName, ExtentNameConverter::Extent_dec_to_base32(next->first));
      item.getObject<IdxBrowse::ExtentAttributes>(IdxBrowse::BrowseItem::F_attributes, true)
          ->setint64(IdxBrowse::ExtentAttributes::F_checksum, next->second);
      items.emplace_back(item);
    }
    if (!response->processResp(&reply)) {
      SetError("the extent checksums of disk [" + disk + "] of VM [" + vmGuid + "] were not taken");
      return false;
    }
  } while (next != checksums.end());
  return true;
}

// ---- Archive-index runs ----

bool vsIndexClient::ArchiveIndexOneVM(const std::string& vmGuid, int64_t jobId, bool learn, int64_t& status) {
  int code = 0;
  status = Faulted("index.RunArchiveIndexForVM", vmGuid, &code) ? code : 0;
  std::string guid, error;
  int64_t ownJob = 0;
  if (!JobIdentity(guid, ownJob)) return false;
  if (status == 0 && learn) {
    // A VM the index cannot learn from its archive files is not indexed: its run fails.
    bool learned = false;
    if (!LearnVM(vmGuid, jobId > 0 ? jobId : ownJob, learned)) return false;
    if (!learned) status = kArchiveIndexNotLearned;
  }
  if (!lab::AppendIndexJobEntry(guid, jobId > 0 ? jobId : ownJob,
                                {"archiveIndex", vmGuid, std::to_string(status)}, error)) {
    SetError(error);
    return false;
  }
  return true;
}

bool vsIndexClient::RunArchiveIndexForVM(const std::string& vmGuid, const int64_t& jobId, uint64_t subclientId,
                                         int streamClientId, int flag) {
  int64_t status = 0;
  // A snapshot catalogue writes no data archives: its VMs' runs have nothing to learn from.
  const bool learn = jobMgr_ == nullptr || !jobMgr_->isSnapCatalogMode();
  if (!CheckOpen() || !ArchiveIndexOneVM(vmGuid, jobId, learn, status)) return false;
  return status == 0;
}

bool vsIndexClient::RunArchiveIndexForVM(const VMArchiveIndexParam& param) {
  return RunArchiveIndexForVM(param.vmGuid, param.childJobId, static_cast<uint64_t>(param.subclientId), 0, 0);
}

int vsIndexClient::RunArchiveIndexInBatch(const std::list<VMArchiveIndexParam>& batch,
                                          IdxBrowseClientResp* response) {
  if (!CheckOpen()) return 0;
  for (const VMArchiveIndexParam& param : batch) {
    int64_t status = 0;
    if (Faulted("index.RunArchiveIndexInBatch", param.vmGuid) ||
        !ArchiveIndexOneVM(param.vmGuid, param.childJobId, false, status))
      return 0;
    JobManager::ArchiveIndexResp answer;
    answer.setstring(JobManager::ArchiveIndexResp::F_vmGuid, param.vmGuid);
    answer.setint64(JobManager::ArchiveIndexResp::F_archiveIndexStatus, status);
    if (response != nullptr && !response->processResp(&answer)) {
      SetError("the answer for VM [" + param.vmGuid + "] was not taken");
      return 0;
    }
  }
  return 1;
}
