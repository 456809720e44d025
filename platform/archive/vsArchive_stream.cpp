// The stream's own calls: identity, opening and closing, status, counters.
#include "platform/archive/vsArchive.h"
#include "platform/ev/EvDebug.h"
#include "platform/os/CAverageCounter.h"
#include "platform/os/ZtTime.h"

void vsArchive::setStream(int streamId, int rcid, int reservationId, int clientId) {
  ZtMutexLock lock(mutex_);
  streamId_ = streamId;
  rcid_ = rcid;
  reservationId_ = reservationId;
  clientId_ = clientId;
}

int vsArchive::init(bool /*forController*/) {
  ZtMutexLock lock(mutex_);
  if (closed_) return Fail(kRetNotInitialized, "the stream was closed");
  if (int code = InjectedFault("archive.init")) return code;
  initialized_ = true;
  return kRetOk;
}

int vsArchive::close(bool /*success*/) {
  ZtMutexLock lock(mutex_);
  int code = kRetOk;
  if (writer_.IsOpen()) code = CloseArchiveFileLocked();
  closed_ = true;
  initialized_ = false;
  return code;
}

void vsArchive::getStream(int& streamId, int& rcid, int& reservationId, int& clientId) const {
  ZtMutexLock lock(mutex_);
  streamId = streamId_;
  rcid = rcid_;
  reservationId = reservationId_;
  clientId = clientId_;
}

int vsArchive::GetStreamClientId() const {
  ZtMutexLock lock(mutex_);
  return clientId_;
}

int vsArchive::checkStatus() {
  ZtMutexLock lock(mutex_);
  return streamFailed_ ? kRetWriteFailed : kRetOk;
}

void vsArchive::setRestartContext(int context) {
  ZtMutexLock lock(mutex_);
  restartContext_ = context;
}

void vsArchive::ResetPerfCounters(int64_t /*jobId*/, int /*intervalSeconds*/) {}

void vsArchive::PrintPerfCounters() {}

int vsArchive::sendVMConfigFilePerfCounters(const std::string& vmName, CMediaSpeedCounter& speed,
                                            CAverageCounter& average) {
  EvDebug::DebugLvl(2, "int vsArchive::sendVMConfigFilePerfCounters(const std::string&, CMediaSpeedCounter&, "
                       "CAverageCounter&)",
                    "VM [%s] %s; %s", vmName.c_str(), speed.Print().c_str(), average.Print().c_str());
  return kRetOk;
}

void vsArchive::SuspendSrcSideDeduplication() {
  ZtMutexLock lock(mutex_);
  ++dedupSuspensions_;
}

void vsArchive::ResumeSrcSideDeduplication() {
  ZtMutexLock lock(mutex_);
  --dedupSuspensions_;
}

int vsArchive::GetDeduplicationSuspensions() const {
  ZtMutexLock lock(mutex_);
  return dedupSuspensions_;
}

int vsArchive::sendVMUpdateInfo(const CNMessageBase& /*info*/) { return kRetOk; }
