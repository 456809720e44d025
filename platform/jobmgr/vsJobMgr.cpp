#include "platform/jobmgr/vsJobMgr.h"

#include <sys/stat.h>
#include <unistd.h>

#include "platform/jobmgr/JobFolder.h"
#include "platform/jobmgr/LabKeyValue.h"
#include "platform/lab/Lab.h"

namespace {

// Numeric keys of job.conf: a malformed value fails initBackup instead of silently reading as 0.
const char* const kNumericConfKeys[] = {"initFails",    "failback",         "replicationId",
                                        "opType",       "selectedVMsOnly",  "autoResumeFails",
                                        "committable",  "sourceParentBackupJob", "failedVMsOnly", "additionalStreams"};

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
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

std::string vsJobMgr::JobFile(const std::string& name) const {
  int64_t jobId = getJobId();
  return jobfolder::FileOf(jobId, name);
}

int vsJobMgr::initBackup() {
  if (lab::Root().empty()) return kInitNoLab;
  int64_t jobId = getJobId();
  if (jobId <= 0) return kInitNoJobId;
  std::string dir = lab::JobDir(jobId);
  if (!IsDirectory(dir)) return kInitNoJobFolder;

  std::map<std::string, std::string> conf;
  std::string error;
  if (!labkv::ReadFile(dir + "/job.conf", conf, error)) return kInitBadJobConf;
  for (const char* key : kNumericConfKeys) {
    auto it = conf.find(key);
    int64_t number = 0;
    if (it != conf.end() && !it->second.empty() && !labkv::ParseInt64(it->second, number)) return kInitBadJobConf;
  }
  auto knob = conf.find("initFails");
  int64_t fails = 0;
  if (knob != conf.end() && labkv::ParseInt64(knob->second, fails) && fails != 0) return kInitFailedByKnob;

  if (!lab::AppendLineLocked(dir + "/sessions.log",
                             "started " + lab::FocusClient() + " " + std::to_string(getpid())))
    return kInitCannotRecord;

  ZtMutexLock l(mutex_);
  conf_.swap(conf);
  initialized_ = true;
  sessionEnded_ = false;
  return kInitOk;
}

bool vsJobMgr::isInitialized() const { ZtMutexLock l(mutex_); return initialized_; }

void vsJobMgr::deinit() {
  std::string path;
  {
    ZtMutexLock l(mutex_);
    if (!initialized_ || sessionEnded_) return;
    sessionEnded_ = true;
    initialized_ = false;
  }
  path = JobFile("sessions.log");
  if (!path.empty()) lab::AppendLineLocked(path, "ended " + lab::FocusClient() + " " + std::to_string(getpid()));
}

// ---- Job options from job.conf ----

std::string vsJobMgr::ConfValue(const std::string& key) const {
  auto it = conf_.find(key);
  return it == conf_.end() ? std::string() : it->second;
}

int64_t vsJobMgr::ConfNumber(const std::string& key) const {
  int64_t value = 0;
  // initBackup has already refused malformed numbers, so a failed parse can only be an empty value.
  return labkv::ParseInt64(ConfValue(key), value) ? value : 0;
}

bool vsJobMgr::isFailbackBackup() const { ZtMutexLock l(mutex_); return ConfNumber("failback") != 0; }
uint64_t vsJobMgr::getReplicationIdForFailback() const {
  ZtMutexLock l(mutex_);
  return static_cast<uint64_t>(ConfNumber("replicationId"));
}
int vsJobMgr::getOpType() const { ZtMutexLock l(mutex_); return static_cast<int>(ConfNumber("opType")); }
bool vsJobMgr::isBackupSelectedVMsOnly() const { ZtMutexLock l(mutex_); return ConfNumber("selectedVMsOnly") != 0; }
bool vsJobMgr::isJobCommittable() const { ZtMutexLock l(mutex_); return committableSet_ || ConfNumber("committable") != 0; }
uint64_t vsJobMgr::getSourceParentBackupJobToProcess() const {
  ZtMutexLock l(mutex_);
  return static_cast<uint64_t>(ConfNumber("sourceParentBackupJob"));
}

int vsJobMgr::CheckForRestart(std::string& text) const {
  ZtMutexLock l(mutex_);
  if (!initialized_) return kInitBadJobConf;
  text = ConfValue("restart");
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
  std::string path = JobFile("metadata.txt");
  if (path.empty()) return;
  std::map<std::string, std::string> record = {
      {"instanceType", std::to_string(instanceType)},
      {"honorTaskOptionsForLVM", honorTaskOptionsForLVM ? "1" : "0"},
      {"collectFileDetails", collectFileDetails ? "1" : "0"},
      {"collectFileDetailsForSnap", collectFileDetailsForSnap ? "1" : "0"},
      {"indexingV2", indexingV2 ? "1" : "0"},
      {"collectMetadata", collect ? "1" : "0"}};
  lab::WriteFileAtomic(path, labkv::Format(record));
}

void vsJobMgr::setMetatdataCollectionOption(int option) { ZtMutexLock l(mutex_); collectMetadata_ = option != 0; }
bool vsJobMgr::isCollectMetadataEnabled() const { ZtMutexLock l(mutex_); return collectMetadata_; }

bool vsJobMgr::checkQuitFlag() const {
  std::string path = JobFile("quit");
  return !path.empty() && access(path.c_str(), F_OK) == 0;
}

