#include "platform/media/ZTMM.h"

#include <string>

#include "platform/ev/EvDebug.h"
#include "platform/jobclient/ZTClient.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabReservations.h"

namespace {

const char* const kSigToken = "int ZTMMmediaGroupOps::setClientToken(int32_t, int64_t, int32_t, int, int32_t)";
const char* const kSigExchange = "int ZTMMreserveMount::exchangeMAAndDPReservation(int32_t, int, int, int32_t, int32_t)";

int InjectedFault(const char* sig, const char* op, int32_t streamId) {
  lab::FaultCall call;
  call.op = op;
  call.stream = std::to_string(streamId);
  lab::Fault fault;
  if (!lab::CheckFault(call, fault)) return ztmm::kRetOk;
  EvDebug::Error(sig, "[%s] failed with code [%d]: %s", op, fault.code, fault.text.c_str());
  return fault.code;
}

// Runs a change of the job's ledger whose own result code is `code`; a ledger that cannot be changed
// gives kRetNoLedger.
int ChangeLedger(const char* sig, int64_t jobId, int& code,
                 const std::function<bool(lab::ReservationLedger&, std::string&)>& change) {
  std::string error;
  code = ztmm::kRetOk;
  if (lab::UpdateReservationLedger(jobId, change, error)) return ztmm::kRetOk;
  if (code != ztmm::kRetOk) return code;
  EvDebug::Error(sig, "The reservations of job [%lld] cannot be changed: %s", static_cast<long long>(jobId),
                 error.c_str());
  return ztmm::kRetNoLedger;
}

}  // namespace

ZTMMmediaGroupOps::ZTMMmediaGroupOps(int) {}

int ZTMMmediaGroupOps::setClientToken(int32_t rcid, int64_t jobId, int32_t streamId, int, int32_t) {
  if (int code = InjectedFault(kSigToken, "media.setClientToken", streamId)) return code;
  int code = ztmm::kRetOk;
  return ChangeLedger(kSigToken, jobId, code, [&](lab::ReservationLedger& ledger, std::string& why) {
    lab::Reservation* reservation = ledger.Find(rcid);
    if (reservation == nullptr || reservation->state != lab::ReservationState::kReserved ||
        reservation->streamId != streamId) {
      code = ztmm::kRetNotFound;
      why = "no reserved stream " + std::to_string(streamId) + " with RCID " + std::to_string(rcid);
      return false;
    }
    reservation->token = jobId;
    return true;
  });
}

ZTMMreserveMount::ZTMMreserveMount(int) {}

void ZTMMreserveMount::setContextId(int64_t jobId) { m_jobId = jobId; }

int ZTMMreserveMount::exchangeMAAndDPReservation(int32_t clientId, int, int, int32_t reservationId, int32_t rcid) {
  std::string clientName;
  if (clientId <= 0 || !ZTClient::getName(clientId, clientName)) return ztmm::kRetBadClient;
  int code = ztmm::kRetOk;
  int32_t streamId = 0;
  const int result = ChangeLedger(kSigExchange, m_jobId, code, [&](lab::ReservationLedger& ledger, std::string& why) {
    lab::Reservation* old = ledger.Find(rcid);
    if (old == nullptr || old->state != lab::ReservationState::kReserved || old->reservationId != reservationId) {
      code = ztmm::kRetNotFound;
      why = "no reservation " + std::to_string(reservationId) + " with RCID " + std::to_string(rcid);
      return false;
    }
    streamId = old->streamId;
    if ((code = InjectedFault(kSigExchange, "media.exchangeMAAndDPReservation", streamId)) != ztmm::kRetOk) {
      why = "fault";
      return false;
    }
    // A stream being written to cannot move to another media agent under its writer.
    if (!old->holder.empty()) {
      code = ztmm::kRetInUse;
      why = "the stream is open on " + old->holder;
      return false;
    }
    old->state = lab::ReservationState::kRetired;
    const lab::Reservation kept = *old;
    lab::Reservation* fresh = ledger.Reserve(kept.streamId, clientId);
    if (fresh == nullptr) {
      code = ztmm::kRetNoLedger;
      why = "the job's ledger has no reservation ids left";
      return false;
    }
    fresh->copyId = kept.copyId;
    fresh->primary = kept.primary;
    fresh->token = kept.token;
    m_rcid = fresh->rcid;
    m_reservationId = fresh->reservationId;
    return true;
  });
  return result;
}

int ZTMMreserveMount::exchangeMAAndDPReservationByProxy(int32_t clientId, int, int, int32_t, int32_t rcid) {
  static const char* const sig =
      "int ZTMMreserveMount::exchangeMAAndDPReservationByProxy(int32_t, int, int, int32_t, int32_t)";
  std::string clientName;
  if (clientId <= 0 || !ZTClient::getName(clientId, clientName)) return ztmm::kRetBadClient;
  lab::ReservationLedger ledger;
  std::string error;
  if (!lab::ReadReservationLedger(m_jobId, ledger, error)) {
    EvDebug::Error(sig, "The reservations of job [%lld] cannot be read: %s", static_cast<long long>(m_jobId),
                   error.c_str());
    return ztmm::kRetNoLedger;
  }
  // The call names the reservation the media-agent exchange started from, retired by now.
  int32_t streamId = 0;
  for (const lab::Reservation& reservation : ledger.reservations)
    if (reservation.rcid == rcid) streamId = reservation.streamId;
  if (streamId == 0) return ztmm::kRetNotFound;
  return InjectedFault(sig, "media.exchangeMAAndDPReservationByProxy", streamId);
}
