// The job manager calls the coordinator makes for the whole job: the VM status list, the records
// kept inside the client, per-VM job data, progress, counters and streams.
#include <algorithm>
#include <cctype>

#include "platform/jobmgr/JobFolder.h"
#include "platform/jobmgr/LabKeyValue.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/msg/vsXMLFile.h"
#include "platform/os/CPxFile.h"

namespace {

// JobManager::VMUpdateInfo and the fields the job manager itself sets.
constexpr uint32_t kInfoTag = 0x15A0B32E;
constexpr uint32_t kClientIdCheck = 0x253646;
constexpr uint32_t kNameCheck = 0x80C9E2;
constexpr uint32_t kStatusCheck = 0x32BC12;
constexpr uint32_t kFailureCheck = 0xF9104E;
constexpr uint32_t kGuidCheck = 0x218E89;
constexpr uint32_t kHostCheck = 0x2269C8;
constexpr uint32_t kEventCheck = 0x73D9C8;
constexpr int kEventGroup = 20;
constexpr int kEventType = 36;

// Codes of the job-wide calls.
constexpr int kNoJobFolder = 1;
constexpr int kUnreadableRecord = 2;
constexpr int kNotKept = 3;

std::string Lower(const std::string& text) {
  std::string lower = text;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

std::string VMKey(int64_t clientId, const char* item) {
  return "vm." + std::to_string(clientId) + "." + item;
}

}  // namespace

int vsJobMgr::getVMBkpJobStatus(uint64_t keyrealmId, CNMessageList& records) {
  records.clear();
  if (jobfolder::FileOf(getJobId(), "job.conf").empty()) return kNoJobFolder;
  for (const std::string& guid : ReadVMStatusGuids(getJobId())) {
    std::unique_ptr<CNMessageBase> record = CNMessageBase::Create(kInfoTag);
    if (!ReadVMStatus(getJobId(), guid, *record)) return kUnreadableRecord;
    records.emplace_back(std::move(record));
  }
  return kInitOk;
}

int vsJobMgr::updateVMBkpJobStatus(uint64_t keyrealmId, const CNMessageList& records) {
  int code = kInitOk;
  for (const CNMessagePtr& record : records) {
    if (!record) continue;
    const std::string guid = record->getstring(15, 33, kInfoTag, kGuidCheck);
    if (!setVMStatus(guid, *record)) code = kNotKept;
  }
  return code;
}

CNMessageBase& vsJobMgr::KeptRecord(const std::string& guid) {
  const std::string key = Lower(guid);
  auto it = keptRecords_.find(key);
  if (it != keptRecords_.end()) return *it->second;
  std::unique_ptr<CNMessageBase> record = CNMessageBase::Create(kInfoTag);
  if (!ReadVMStatus(jobId_, key, *record)) record->setstring(15, 33, guid, kInfoTag, kGuidCheck);
  return *keptRecords_.emplace(key, CNMessagePtr(std::move(record))).first->second;
}

void vsJobMgr::setVMStatusVMName(const std::string& guid, const std::string& name, const std::string& host) {
  ZtMutexLock l(mutex_);
  CNMessageBase& record = KeptRecord(guid);
  record.setstring(2, 2, name, kInfoTag, kNameCheck);
  record.setstring(18, 42, host, kInfoTag, kHostCheck);
}

void vsJobMgr::setVMStatusClientId(const std::string& guid, int64_t clientId) {
  ZtMutexLock l(mutex_);
  KeptRecord(guid).setint64(1, 1, clientId, kInfoTag, kClientIdCheck);
}

void vsJobMgr::setVMStatusState(const std::string& guid, int status, const std::string& text) {
  ZtMutexLock l(mutex_);
  CNMessageBase& record = KeptRecord(guid);
  record.setint64(3, 6, status, kInfoTag, kStatusCheck);
  record.setstring(13, 28, text, kInfoTag, kFailureCheck);
}

void vsJobMgr::setVMStatusEvent(const std::string& guid, const CNMessageBase& event) {
  ZtMutexLock l(mutex_);
  CNMessageBase* target = KeptRecord(guid).getObjectAccessor(false, true, 25, 58, kInfoTag, kEventCheck, kEventGroup,
                                                             kEventType);
  if (target != nullptr && event.getGroup() == kEventGroup && event.getType() == kEventType) *target = event;
}

void vsJobMgr::resetVMStatus(const std::string& guid) {
  ZtMutexLock l(mutex_);
  std::unique_ptr<CNMessageBase> record = CNMessageBase::Create(kInfoTag);
  record->setstring(15, 33, guid, kInfoTag, kGuidCheck);
  keptRecords_[Lower(guid)] = CNMessagePtr(std::move(record));
}

std::string vsJobMgr::convertVMClientBkupStatusToString(int status) {
  static const char* const kTexts[] = {"Backed up",   "Failed",        "In progress", "Backed up with errors",
                                       "To be backed up", "Stop requested", "Stopped",   "Status 7",
                                       "Status 8",    "Failed with a reason", "Skipped"};
  if (status < 0 || status > 10) return "Unknown";
  return kTexts[status];
}

std::string vsJobMgr::convertVMStubStatusToString(int state) { return "Archiving state " + std::to_string(state); }

int64_t vsJobMgr::GetVMJobId(int64_t clientId) const {
  ZtMutexLock l(mutex_);
  int64_t value = 0;
  return labkv::ParseInt64(ConfValue(VMKey(clientId, "jobId")), value) ? value : jobId_;
}

uint32_t vsJobMgr::GetVMJobPriority(int64_t clientId) const {
  ZtMutexLock l(mutex_);
  int64_t value = 0;
  if (!labkv::ParseInt64(ConfValue(VMKey(clientId, "priority")), value) || value < 0 || value > 0xFFFFFFFFLL)
    return 0xFFFFFFFFu;
  return static_cast<uint32_t>(value);
}

int64_t vsJobMgr::GetVMJobLastSuccessTime(int64_t clientId) const {
  ZtMutexLock l(mutex_);
  return ConfNumber(VMKey(clientId, "lastSuccess"));
}

std::string vsJobMgr::GetVMFailureReason(int64_t clientId) const {
  ZtMutexLock l(mutex_);
  return ConfValue(VMKey(clientId, "failureReason"));
}

bool vsJobMgr::isBackupFailedVMsOnly() const {
  ZtMutexLock l(mutex_);
  return ConfNumber("failedVMsOnly") != 0;
}

bool vsJobMgr::GetJobOptions(CNMessageBase& options) const {
  std::string path = JobFile("jobOptions.xml");
  if (path.empty() || !CPxFile::Exists(path)) return false;
  vsXMLFile file(path);
  return file.Load(options);
}

bool vsJobMgr::checkVMQuitFlag() const {
  std::string path = JobFile("vmquit");
  return !path.empty() && CPxFile::Exists(path);
}

bool vsJobMgr::AppendJobLine(const std::string& file, const std::string& line) {
  std::string path = JobFile(file);
  return !path.empty() && lab::AppendLineLocked(path, jobfolder::OneLine(line));
}

int vsJobMgr::setRefTime(int64_t seconds) {
  {
    ZtMutexLock l(mutex_);
    refTime_ = seconds;
  }
  return AppendJobLine("progress.log", "refTime " + std::to_string(seconds)) ? kInitOk : kInitCannotRecord;
}

int64_t vsJobMgr::getRefTime() const {
  ZtMutexLock l(mutex_);
  return refTime_;
}

void vsJobMgr::setNumberOfVMsForProgressBar(int count) { AppendJobLine("progress.log", "vms " + std::to_string(count)); }
void vsJobMgr::setNumberOfVMsAlreadyBackedUp(int count) {
  AppendJobLine("progress.log", "vmsAlreadyBackedUp " + std::to_string(count));
}
void vsJobMgr::updateProgressBar(const std::string& guid) { AppendJobLine("progress.log", "vm " + guid); }
void vsJobMgr::updateProgressBar() { AppendJobLine("progress.log", "job"); }
void vsJobMgr::updatePerVMSubProgress(const std::string& guid, int percent) {
  AppendJobLine("progress.log", "vmpercent " + guid + " " + std::to_string(percent));
}

bool vsJobMgr::setJobCommittable() {
  if (!AppendJobLine("progress.log", "committable")) return false;
  ZtMutexLock l(mutex_);
  committableSet_ = true;
  return true;
}

void vsJobMgr::UpdateAppSize(int64_t size, int kind, bool flag) {
  AppendJobLine("progress.log", "appSize " + std::to_string(size) + " " + std::to_string(kind));
}

void vsJobMgr::addBackupFileFailures(int count) { AppendJobLine("counters.log", "fileFailures " + std::to_string(count)); }
void vsJobMgr::addBackupFolderFailures(int count) {
  AppendJobLine("counters.log", "folderFailures " + std::to_string(count));
}
void vsJobMgr::addBackupFolderSuccesses(int count) {
  AppendJobLine("counters.log", "folderSuccesses " + std::to_string(count));
}

int vsJobMgr::freeStream(int32_t streamId, int32_t rcid, int32_t reservationId) {
  return AppendJobLine("streams.log", "free " + std::to_string(streamId) + " " + std::to_string(rcid) + " " +
                                          std::to_string(reservationId))
             ? kInitOk
             : kInitCannotRecord;
}

int vsJobMgr::freeNStreams(int count) {
  return AppendJobLine("streams.log", "freeN " + std::to_string(count)) ? kInitOk : kInitCannotRecord;
}

int vsJobMgr::allocateAdditionalStreams(int count) {
  if (count <= 0 || !AppendJobLine("streams.log", "allocate " + std::to_string(count))) return kInitCannotRecord;
  ZtMutexLock l(mutex_);
  additionalRequest_ = count;
  return kInitOk;
}

int vsJobMgr::checkStatusOfAdditionalResourceRequest(int& received) {
  ZtMutexLock l(mutex_);
  int64_t granted = additionalRequest_;
  if (!ConfValue("additionalStreams").empty()) granted = std::min<int64_t>(granted, ConfNumber("additionalStreams"));
  received = static_cast<int>(std::max<int64_t>(granted, 0));
  additionalRequest_ = 0;
  return kInitOk;
}

std::vector<std::string> vsJobMgr::ReadProgressLines(int64_t jobId) {
  std::string path = jobfolder::FileOf(jobId, "progress.log");
  return path.empty() ? std::vector<std::string>() : jobfolder::ReadLines(path);
}

std::vector<std::string> vsJobMgr::ReadCounterLines(int64_t jobId) {
  std::string path = jobfolder::FileOf(jobId, "counters.log");
  return path.empty() ? std::vector<std::string>() : jobfolder::ReadLines(path);
}
