// The stream's own calls: identity, opening and closing, status, counters.
//
// A stream with a resource id (RCID) above 0 is one of the job's reserved streams: opening it takes
// its reservation in the job's ledger (platform/lab/LabReservations.h) as this process's, closing it
// gives the reservation back, and its status turns to an error once the reservation was released or
// exchanged under it. A stream without one (a snapshot job's pseudo stream) has no reservation, and
// neither has any stream of a job whose job manager keeps no ledger (a lab made without one).
// Fault table operations (selector stream: the stream id): "archive.init", "archive.close",
// "archive.checkStatus".
#include "platform/archive/vsArchive.h"
#include "platform/ev/EvDebug.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabReservations.h"
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
  if (!holdsReservation_ && rcid_ > 0) {
    if (int code = HoldReservationLocked()) return code;
  }
  initialized_ = true;
  lastError_.clear();
  return kRetOk;
}

int vsArchive::close(bool /*success*/) {
  ZtMutexLock lock(mutex_);
  int code = kRetOk;
  if (writer_.IsOpen()) code = CloseArchiveFileLocked();
  // The reservation is given back whatever else failed: a stream that stays held would never be
  // usable again by the job.
  ReleaseReservationLocked();
  closed_ = true;
  initialized_ = false;
  if (code == kRetOk) code = InjectedFault("archive.close");
  return code;
}

int vsArchive::HoldReservationLocked() {
  const int64_t jobId = jobMgr_ != nullptr ? jobMgr_->getJobId() : 0;
  const std::string holder = lab::ReservationHolder();
  // The ledger's change runs in a function of its own: it works on copies of the stream's ids.
  const int32_t streamId = streamId_, rcid = rcid_, reservationId = reservationId_;
  std::string error;
  lab::ReservationLedger current;
  if (lab::ReadReservationLedger(jobId, current, error) && current.reservations.empty()) return kRetOk;
  const bool held = lab::UpdateReservationLedger(
      jobId,
      [&](lab::ReservationLedger& ledger, std::string& why) {
        lab::Reservation* reservation = ledger.Find(rcid);
        if (reservation == nullptr || reservation->state != lab::ReservationState::kReserved ||
            reservation->reservationId != reservationId) {
          why = "stream " + std::to_string(streamId) + " RCID " + std::to_string(rcid) + " reservation " +
                std::to_string(reservationId) + " is not reserved for job " + std::to_string(jobId);
          return false;
        }
        if (!reservation->holder.empty() && lab::ReservationHolderAlive(reservation->holder)) {
          why = "stream " + std::to_string(streamId) + " RCID " + std::to_string(rcid) + " is open on " +
                reservation->holder;
          return false;
        }
        reservation->holder = holder;
        ++reservation->opens;
        return true;
      },
      error);
  if (!held) return Fail(kRetNoReservation, error);
  holdsReservation_ = true;
  return kRetOk;
}

void vsArchive::ReleaseReservationLocked() {
  if (!holdsReservation_) return;
  holdsReservation_ = false;
  const int64_t jobId = jobMgr_ != nullptr ? jobMgr_->getJobId() : 0;
  const std::string holder = lab::ReservationHolder();
  const int32_t rcid = rcid_;
  std::string error;
  // A reservation released while open keeps its state; only this process's hold goes.
  if (!lab::UpdateReservationLedger(
          jobId,
          [&](lab::ReservationLedger& ledger, std::string&) {
            for (lab::Reservation& reservation : ledger.reservations)
              if (reservation.rcid == rcid && reservation.holder == holder) reservation.holder.clear();
            return true;
          },
          error))
    EvDebug::Error("void vsArchive::ReleaseReservationLocked()", "Stream RCID [%d] could not be given back: %s", rcid,
                   error.c_str());
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
  if (streamFailed_) return kRetWriteFailed;
  if (int code = InjectedFault("archive.checkStatus")) return code;
  if (!holdsReservation_) return kRetOk;
  lab::ReservationLedger ledger;
  std::string error;
  if (!lab::ReadReservationLedger(jobMgr_ != nullptr ? jobMgr_->getJobId() : 0, ledger, error))
    return Fail(kRetReservationLost, error);
  const lab::Reservation* reservation = ledger.Find(rcid_);
  if (reservation == nullptr || reservation->state != lab::ReservationState::kReserved)
    return Fail(kRetReservationLost, "the reservation of stream " + std::to_string(streamId_) + " was taken away");
  return kRetOk;
}

void vsArchive::setRestartContext(int context) {
  ZtMutexLock lock(mutex_);
  restartContext_ = context;
}

void vsArchive::ResetPerfCounters(int64_t /*jobId*/, int /*intervalSeconds*/) {
  ZtMutexLock lock(mutex_);
  perfDataBytes_ = dataBytes_;
  perfHoleBytes_ = holeBytes_;
}

void vsArchive::PrintPerfCounters() {
  ZtMutexLock lock(mutex_);
  EvDebug::DebugLvl(2, "void vsArchive::PrintPerfCounters()",
                    "Stream [%d]: [%llu] data bytes and [%llu] hole bytes sent since the counters were reset", streamId_,
                    static_cast<unsigned long long>(dataBytes_ - perfDataBytes_),
                    static_cast<unsigned long long>(holeBytes_ - perfHoleBytes_));
}

namespace {

// One counter of an item as the lab keeps it; false when it could not be kept.
bool KeepCounter(const vsJobMgr* jobMgr, const std::string& vmName, const std::string& item,
                 const CMediaSpeedCounter& counter) {
  lab::PerfCounterLine line;
  line.vm = vmName;
  line.item = item;
  line.counter = counter.Name();
  line.bytes = counter.Size();
  line.busyMilliseconds = counter.BusyTime().AsMilliseconds();
  return jobMgr != nullptr && lab::AppendPerfCounter(jobMgr->getJobId(), line);
}

}  // namespace

int vsArchive::sendVMConfigFilePerfCounters(const std::string& vmName, CMediaSpeedCounter& speed,
                                            CAverageCounter& average) {
  EvDebug::DebugLvl(2, "int vsArchive::sendVMConfigFilePerfCounters(const std::string&, CMediaSpeedCounter&, "
                       "CAverageCounter&)",
                    "VM [%s] %s; %s", vmName.c_str(), speed.Print().c_str(), average.Print().c_str());
  // Counters only report: one the lab could not keep fails nothing.
  KeepCounter(jobMgr_, vmName, std::string(), speed);
  return kRetOk;
}

int vsArchive::sendVMDiskPerfCounters(const std::string& vmName, const std::string& diskName,
                                      const CMediaSpeedCounter& read, const CMediaSpeedCounter& checksum) {
  EvDebug::DebugLvl(2, "int vsArchive::sendVMDiskPerfCounters(const std::string&, const std::string&, "
                       "const CMediaSpeedCounter&, const CMediaSpeedCounter&)",
                    "VM [%s] disk [%s] %s; %s", vmName.c_str(), diskName.c_str(), read.Print().c_str(),
                    checksum.Print().c_str());
  KeepCounter(jobMgr_, vmName, diskName, read);
  KeepCounter(jobMgr_, vmName, diskName, checksum);
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
