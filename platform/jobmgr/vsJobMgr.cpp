#include "platform/jobmgr/vsJobMgr.h"

#include <unistd.h>

#include <atomic>

#include "platform/ev/EvDebug.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabJobRun.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/os/ZtTime.h"

namespace {
const char* const kSigFault = "static int vsJobMgr::InjectedFault(const char*, const std::string&)";
const char* const kSigInit = "int vsJobMgr::initBackup()";

// A lab run shrinks time by its job's factor: every process of the job (coordinator and agents)
// reads the record here, so each runs its clock that much faster, from the first time it reads the
// record on. A test's virtual clock is never replaced.
void UseJobTimeScale(int64_t factor) {
  static std::atomic<bool> scaled{false};
  if (factor <= 1 || ZtClock::IsVirtualTime() || scaled.exchange(true)) return;
  if (ZtClock::UseScaledTime(static_cast<double>(factor)))
    EvDebug::Debug(kSigInit, "Lab run: the clock runs [%lld] times faster than real time", static_cast<long long>(factor));
}
}  // namespace

vsJobMgr::vsJobMgr() = default;
vsJobMgr::~vsJobMgr() = default;

// ---- Options ----

void vsJobMgr::setVMContentIndexMode(bool on) { ZtMutexLock l(mutex_); contentIndexMode_ = on; }
bool vsJobMgr::isVMContentIndexMode() const { ZtMutexLock l(mutex_); return contentIndexMode_; }

void vsJobMgr::setJobId(const std::string& text) {
  uint64_t value = 0;
  // Job ids are positive; the id names the job's folder, so anything but plain digits is refused.
  int64_t id = labkv::ParseUInt64(text, value) && value <= static_cast<uint64_t>(INT64_MAX)
                   ? static_cast<int64_t>(value)
                   : 0;
  ZtMutexLock l(mutex_);
  jobId_ = id;
}
int64_t vsJobMgr::getJobId() const { ZtMutexLock l(mutex_); return jobId_; }
std::string vsJobMgr::getJobIdStr() const { return std::to_string(getJobId()); }

void vsJobMgr::setVMStubPhase(bool on) { ZtMutexLock l(mutex_); stubPhase_ = on; }
bool vsJobMgr::isVMStubPhase() const { ZtMutexLock l(mutex_); return stubPhase_; }
void vsJobMgr::setJobMgrToken(const std::string& token) { ZtMutexLock l(mutex_); token_ = token; }
std::string vsJobMgr::getJobToken() const { ZtMutexLock l(mutex_); return token_; }
void vsJobMgr::setBkpLevel(int level) { ZtMutexLock l(mutex_); bkpLevel_ = level; }
int vsJobMgr::getBkpLevel() const { ZtMutexLock l(mutex_); return bkpLevel_; }
bool vsJobMgr::isFullBkp() const { return getBkpLevel() == 1; }
void vsJobMgr::setMediaAgent(const std::string& name) { ZtMutexLock l(mutex_); mediaAgent_ = name; }
std::string vsJobMgr::getMediaAgent() const { ZtMutexLock l(mutex_); return mediaAgent_; }
void vsJobMgr::setPrevRefTime(int64_t time) { ZtMutexLock l(mutex_); prevRefTime_ = time; }
int64_t vsJobMgr::getPrevRefTime() const { ZtMutexLock l(mutex_); return prevRefTime_; }
void vsJobMgr::setPrevMasterArchFile(int64_t number) { ZtMutexLock l(mutex_); prevMasterArchFile_ = number; }
int64_t vsJobMgr::getPrevMasterArchFile() const { ZtMutexLock l(mutex_); return prevMasterArchFile_; }
void vsJobMgr::setPrevMasterAFileCTime(int64_t time) { ZtMutexLock l(mutex_); prevMasterAFileCTime_ = time; }
int64_t vsJobMgr::getPrevMasterAFileCTime() const { ZtMutexLock l(mutex_); return prevMasterAFileCTime_; }
void vsJobMgr::setMasterArchFile(int64_t number, int64_t time) {
  ZtMutexLock l(mutex_);
  prevMasterArchFile_ = number;
  prevMasterAFileCTime_ = time;
}
void vsJobMgr::setSnapBackup(bool on) { ZtMutexLock l(mutex_); snapBackup_ = on; }
bool vsJobMgr::isSnapBackup() const { ZtMutexLock l(mutex_); return snapBackup_; }
void vsJobMgr::setProgBarModeSnapOnlyBackup() { ZtMutexLock l(mutex_); progBarSnapOnly_ = true; }
bool vsJobMgr::isProgBarModeSnapOnlyBackup() const { ZtMutexLock l(mutex_); return progBarSnapOnly_; }
void vsJobMgr::setSnapToTape(bool on) { ZtMutexLock l(mutex_); snapToTape_ = on; }
bool vsJobMgr::isSnapToTape() const { ZtMutexLock l(mutex_); return snapToTape_; }
void vsJobMgr::setSnapCatalogMode(bool on) { ZtMutexLock l(mutex_); snapCatalog_ = on; }
bool vsJobMgr::isSnapCatalogMode() const { ZtMutexLock l(mutex_); return snapCatalog_; }
void vsJobMgr::setSnapBkpJobId(int64_t jobId) { ZtMutexLock l(mutex_); snapBkpJobId_ = jobId; }
int64_t vsJobMgr::getSnapBkpJobId() const { ZtMutexLock l(mutex_); return snapBkpJobId_; }
void vsJobMgr::setLastSuccessfulSnapBkpJobId(int64_t jobId) { ZtMutexLock l(mutex_); lastSuccessfulSnapJobId_ = jobId; }
int64_t vsJobMgr::getLastSucessfulSnapBkpJobId() const { ZtMutexLock l(mutex_); return lastSuccessfulSnapJobId_; }
void vsJobMgr::setLastIncrementalSnapBkpJobId(int64_t jobId) { ZtMutexLock l(mutex_); lastIncrementalSnapJobId_ = jobId; }
int64_t vsJobMgr::getLastIncrementalSnapBkpJobId() const { ZtMutexLock l(mutex_); return lastIncrementalSnapJobId_; }
void vsJobMgr::setCopyParentJobToTape(bool on) { ZtMutexLock l(mutex_); copyParentJobToTape_ = on; }
bool vsJobMgr::isCopyParentJobToTape() const { ZtMutexLock l(mutex_); return copyParentJobToTape_; }
void vsJobMgr::setTurboEnabled(bool on) { ZtMutexLock l(mutex_); turbo_ = on; }
bool vsJobMgr::isTurboEnabled() const { ZtMutexLock l(mutex_); return turbo_; }
void vsJobMgr::setCommitPhase(bool on) { ZtMutexLock l(mutex_); commitPhase_ = on; }
bool vsJobMgr::isCommitPhase() const { ZtMutexLock l(mutex_); return commitPhase_; }
void vsJobMgr::setCommitFlag() { ZtMutexLock l(mutex_); committed_ = true; }
bool vsJobMgr::isJobCommitted() const { ZtMutexLock l(mutex_); return committed_; }
void vsJobMgr::setLastAttempt(bool on) { ZtMutexLock l(mutex_); lastAttempt_ = on; }
bool vsJobMgr::isLastAttempt() const { ZtMutexLock l(mutex_); return lastAttempt_; }
void vsJobMgr::setFileIndexingJobBasedOnBackupLevel(int64_t jobId) { ZtMutexLock l(mutex_); fileIndexingJobId_ = jobId; }
int64_t vsJobMgr::getFileIndexingJobBasedOnBackupLevel() const { ZtMutexLock l(mutex_); return fileIndexingJobId_; }
void vsJobMgr::setNonCtrlMonitor() { ZtMutexLock l(mutex_); nonCtrlMonitor_ = true; }
bool vsJobMgr::isNonCtrlMonitor() const { ZtMutexLock l(mutex_); return nonCtrlMonitor_; }

// ---- Start and stop ----

int vsJobMgr::InjectedFault(const char* op, const std::string& vm) {
  lab::FaultCall call;
  call.op = op;
  call.vm = vm;
  lab::Fault fault;
  if (!lab::CheckFault(call, fault)) return 0;
  EvDebug::Error(kSigFault, "[%s] failed with code [%d]: %s", op, fault.code, fault.text.c_str());
  return fault.code;
}

int vsJobMgr::initBackup() {
  if (lab::Root().empty()) return kInitNoLab;
  int64_t jobId = getJobId();
  if (jobId <= 0) return kInitNoJobId;
  if (!lab::JobExists(jobId)) return kInitNoJobFolder;

  lab::JobRecord record;
  std::string error;
  if (!lab::ReadJobRecord(jobId, record, error)) {
    EvDebug::Error(kSigInit, "The job record cannot be used: %s", error.c_str());
    return kInitBadJobConf;
  }
  if (int code = InjectedFault("jobmgr.initBackup")) return code;
  if (!lab::RecordSession(jobId, true, lab::FocusClient(), static_cast<long>(getpid()))) return kInitCannotRecord;
  UseJobTimeScale(record.timeScale);
  lab::SetFocusJob(jobId);
  const int64_t earlierRuns = lab::EndedRuns(jobId);

  ZtMutexLock l(mutex_);
  record_ = record;
  earlierRuns_ = earlierRuns;
  initialized_ = true;
  sessionEnded_ = false;
  return kInitOk;
}

bool vsJobMgr::isInitialized() const { ZtMutexLock l(mutex_); return initialized_; }

void vsJobMgr::deinit() {
  {
    ZtMutexLock l(mutex_);
    if (!initialized_ || sessionEnded_) return;
    sessionEnded_ = true;
    initialized_ = false;
  }
  lab::RecordSession(getJobId(), false, lab::FocusClient(), static_cast<long>(getpid()));
}

// ---- Job options from the job record ----

bool vsJobMgr::isFailbackBackup() const { ZtMutexLock l(mutex_); return record_.failback; }
uint64_t vsJobMgr::getReplicationIdForFailback() const { ZtMutexLock l(mutex_); return record_.replicationId; }
int vsJobMgr::getOpType() const { ZtMutexLock l(mutex_); return static_cast<int>(record_.opType); }
bool vsJobMgr::isBackupSelectedVMsOnly() const { ZtMutexLock l(mutex_); return record_.selectedVMsOnly; }
bool vsJobMgr::isJobCommittable() const { ZtMutexLock l(mutex_); return committableSet_ || record_.committable; }
uint64_t vsJobMgr::getSourceParentBackupJobToProcess() const {
  ZtMutexLock l(mutex_);
  return record_.sourceParentBackupJob;
}

int vsJobMgr::CheckForRestart(std::string& text) const {
  ZtMutexLock l(mutex_);
  if (!initialized_) return kInitBadJobConf;
  text = record_.restart;
  // The job manager resumes a job by running it again: every attempt after the first is a restart.
  if (text.empty() && earlierRuns_ > 0) text = "resumed attempt " + std::to_string(earlierRuns_ + 1);
  return 0;
}

void vsJobMgr::initBackupMetadaCollectionDefault(int instanceType, bool honorTaskOptionsForLVM,
                                                 bool collectFileDetails, bool collectFileDetailsForSnap,
                                                 bool indexingV2) {
  bool collect = false;
  {
    ZtMutexLock l(mutex_);
    collect = snapBackup_ ? collectFileDetailsForSnap : collectFileDetails;
    collectMetadata_ = collect;
  }
  std::map<std::string, std::string> record = {
      {"instanceType", std::to_string(instanceType)},
      {"honorTaskOptionsForLVM", honorTaskOptionsForLVM ? "1" : "0"},
      {"collectFileDetails", collectFileDetails ? "1" : "0"},
      {"collectFileDetailsForSnap", collectFileDetailsForSnap ? "1" : "0"},
      {"indexingV2", indexingV2 ? "1" : "0"},
      {"collectMetadata", collect ? "1" : "0"}};
  lab::WriteJobMetadata(getJobId(), record);
}

void vsJobMgr::setMetatdataCollectionOption(int option) { ZtMutexLock l(mutex_); collectMetadata_ = option != 0; }
bool vsJobMgr::isCollectMetadataEnabled() const { ZtMutexLock l(mutex_); return collectMetadata_; }

bool vsJobMgr::checkQuitFlag() const { return lab::IsJobQuitRequested(getJobId()); }

