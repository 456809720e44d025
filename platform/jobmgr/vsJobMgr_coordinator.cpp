// The job manager calls the coordinator makes for the whole job: the VM status list, the records
// kept inside the client, per-VM job data, progress, counters and streams.
#include <algorithm>
#include <cctype>

#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/msg/vsXMLFile.h"

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

// Codes of the job-wide calls besides the fault table's own.
constexpr int kNoJobFolder = 1;
constexpr int kUnreadableRecord = 2;
constexpr int kNotKept = 3;
constexpr int kNotRecorded = 4;

std::string Lower(const std::string& text) {
  std::string lower = text;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

}  // namespace

int vsJobMgr::getVMBkpJobStatus(uint64_t keyrealmId, CNMessageList& records) {
  records.clear();
  if (int code = InjectedFault("jobmgr.getVMBkpJobStatus")) return code;
  const int64_t jobId = getJobId();
  if (!lab::JobExists(jobId)) return kNoJobFolder;
  for (const std::string& guid : ReadVMStatusGuids(jobId)) {
    std::unique_ptr<CNMessageBase> record = CNMessageBase::Create(kInfoTag);
    if (!ReadVMStatus(jobId, guid, *record)) {
      records.clear();
      return kUnreadableRecord;
    }
    records.emplace_back(std::move(record));
  }
  return kInitOk;
}

int vsJobMgr::updateVMBkpJobStatus(uint64_t keyrealmId, const CNMessageList& records) {
  if (int code = InjectedFault("jobmgr.updateVMBkpJobStatus")) return code;
  int code = kInitOk;
  for (const CNMessagePtr& record : records) {
    if (!record) continue;
    if (!setVMStatus(record->getstring(15, 33, kInfoTag, kGuidCheck), *record)) code = kNotKept;
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
  if (event.getGroup() != kEventGroup || event.getType() != kEventType) return;
  ZtMutexLock l(mutex_);
  CNMessageBase* target =
      KeptRecord(guid).getObjectAccessor(false, true, 25, 58, kInfoTag, kEventCheck, kEventGroup, kEventType);
  if (target != nullptr) *target = event;
}

void vsJobMgr::resetVMStatus(const std::string& guid) {
  std::unique_ptr<CNMessageBase> record = CNMessageBase::Create(kInfoTag);
  record->setstring(15, 33, guid, kInfoTag, kGuidCheck);
  ZtMutexLock l(mutex_);
  keptRecords_[Lower(guid)] = CNMessagePtr(std::move(record));
}

std::string vsJobMgr::convertVMClientBkupStatusToString(int status) {
  static const char* const kTexts[] = {"Backed up",       "Failed",         "In progress", "Backed up with errors",
                                       "To be backed up", "Stop requested", "Stopped",     "Status 7",
                                       "Status 8",        "Failed with a reason", "Skipped"};
  if (status < 0 || status > 10) return "Unknown";
  return kTexts[status];
}

std::string vsJobMgr::convertVMStubStatusToString(int state) {
  switch (state) {
    case 1: return "To be archived";  // stubbed or relocated
    case 5: return "Stubbed";
    case 6: return "Stub failed";
    case 8: return "Relocated";
    case 9: return "Relocation failed";
    default: return "Archiving state " + std::to_string(state);
  }
}

int64_t vsJobMgr::GetVMJobId(int64_t clientId) const {
  const int64_t jobId = getJobId();
  const lab::VMJobData data = lab::ReadVMJobData(jobId, clientId);
  return data.hasJobId ? data.jobId : jobId;
}

uint32_t vsJobMgr::GetVMJobPriority(int64_t clientId) const {
  const lab::VMJobData data = lab::ReadVMJobData(getJobId(), clientId);
  return data.hasPriority ? data.priority : 0xFFFFFFFFu;
}

int64_t vsJobMgr::GetVMJobLastSuccessTime(int64_t clientId) const {
  return lab::ReadVMJobData(getJobId(), clientId).lastSuccess;
}

std::string vsJobMgr::GetVMFailureReason(int64_t clientId) const {
  return lab::ReadVMJobData(getJobId(), clientId).failureReason;
}

bool vsJobMgr::isBackupFailedVMsOnly() const {
  int64_t value = 0;
  return lab::JobRecordNumber(getJobId(), "failedVMsOnly", value) && value != 0;
}

bool vsJobMgr::GetJobOptions(CNMessageBase& options) const {
  const std::string path = lab::JobOptionsPath(getJobId());
  if (path.empty()) return false;
  vsXMLFile file(path);
  return file.Exists() && file.Load(options);
}

bool vsJobMgr::checkVMQuitFlag() const { return lab::IsVMQuitRequested(getJobId()); }

int vsJobMgr::setRefTime(int64_t seconds) {
  if (int code = InjectedFault("jobmgr.setRefTime")) return code;
  if (!lab::AppendJobProgress(getJobId(), "refTime " + std::to_string(seconds))) return kNotRecorded;
  ZtMutexLock l(mutex_);
  refTime_ = seconds;
  return kInitOk;
}

int64_t vsJobMgr::getRefTime() const {
  ZtMutexLock l(mutex_);
  return refTime_;
}

void vsJobMgr::setNumberOfVMsForProgressBar(int count) {
  lab::AppendJobProgress(getJobId(), "vms " + std::to_string(count));
}
void vsJobMgr::setNumberOfVMsAlreadyBackedUp(int count) {
  lab::AppendJobProgress(getJobId(), "vmsAlreadyBackedUp " + std::to_string(count));
}
void vsJobMgr::updateProgressBar(const std::string& guid) { lab::AppendJobProgress(getJobId(), "vm " + guid); }
void vsJobMgr::updateProgressBar() { lab::AppendJobProgress(getJobId(), "job"); }
void vsJobMgr::updatePerVMSubProgress(const std::string& guid, int percent) {
  lab::AppendJobProgress(getJobId(), "vmpercent " + guid + " " + std::to_string(percent));
}

bool vsJobMgr::setJobCommittable() {
  if (InjectedFault("jobmgr.setJobCommittable") != 0 || !lab::AppendJobProgress(getJobId(), "committable"))
    return false;
  ZtMutexLock l(mutex_);
  committableSet_ = true;
  return true;
}

void vsJobMgr::UpdateAppSize(int64_t size, int kind, bool flag) {
  lab::AppendJobProgress(getJobId(), "appSize " + std::to_string(size) + " " + std::to_string(kind));
}

void vsJobMgr::addBackupFileFailures(int count) {
  lab::AppendJobCounter(getJobId(), "fileFailures " + std::to_string(count));
}
void vsJobMgr::addBackupFolderFailures(int count) {
  lab::AppendJobCounter(getJobId(), "folderFailures " + std::to_string(count));
}
void vsJobMgr::addBackupFolderSuccesses(int count) {
  lab::AppendJobCounter(getJobId(), "folderSuccesses " + std::to_string(count));
}

std::vector<std::string> vsJobMgr::ReadProgressLines(int64_t jobId) { return lab::ReadJobProgress(jobId); }

std::vector<std::string> vsJobMgr::ReadCounterLines(int64_t jobId) { return lab::ReadJobCounters(jobId); }
