// The job manager's stream calls: giving reserved streams back, additional streams, and the lock
// around the set-up of a data stream. They change the job's reservation ledger.
#include <algorithm>

#include "platform/ev/EvDebug.h"
#include "platform/jobclient/ZTClient.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabReservations.h"
#include "platform/os/HostName.h"

namespace {

// Codes of the stream calls besides the fault table's own.
constexpr int kNotRecorded = 4;
constexpr int kNoSuchReservation = 5;
constexpr int kBadCount = 6;

const char* const kSigLedger = "vsJobMgr stream calls";

int LedgerFailure(const std::string& error) {
  EvDebug::Error(kSigLedger, "The job's stream reservations cannot be changed: %s", error.c_str());
  return kNotRecorded;
}

}  // namespace

int vsJobMgr::freeStream(int32_t streamId, int32_t rcid, int32_t reservationId) {
  if (int code = InjectedFault("jobmgr.freeStream")) return code;
  const int64_t jobId = getJobId();
  if (!lab::AppendJobStreamCall(jobId, "free " + std::to_string(streamId) + " " + std::to_string(rcid) + " " +
                                           std::to_string(reservationId)))
    return kNotRecorded;
  bool found = false;
  std::string error;
  if (!lab::UpdateReservationLedger(
          jobId,
          [&](lab::ReservationLedger& ledger, std::string&) {
            lab::Reservation* reservation = ledger.Find(rcid);
            found = reservation != nullptr && reservation->state == lab::ReservationState::kReserved &&
                    reservation->reservationId == reservationId && reservation->streamId == streamId;
            if (!found) return false;
            reservation->state = lab::ReservationState::kReleased;
            reservation->why = "free";
            return true;
          },
          error))
    return found ? LedgerFailure(error) : kNoSuchReservation;
  return kInitOk;
}

int vsJobMgr::freeNStreams(int count) {
  if (int code = InjectedFault("jobmgr.freeStream")) return code;
  if (count <= 0 || count > lab::kMaxJobStreams) return kBadCount;
  const int64_t jobId = getJobId();
  if (!lab::AppendJobStreamCall(jobId, "freeN " + std::to_string(count))) return kNotRecorded;
  std::string error;
  if (!lab::UpdateReservationLedger(
          jobId,
          [&](lab::ReservationLedger& ledger, std::string&) {
            int left = count;
            // Streams nobody writes to first: a stream still open elsewhere may still be in use.
            for (bool open : {false, true}) {
              for (auto it = ledger.reservations.rbegin(); it != ledger.reservations.rend() && left > 0; ++it) {
                if (it->state != lab::ReservationState::kReserved || !it->primary || it->holder.empty() != !open)
                  continue;
                it->state = lab::ReservationState::kReleased;
                it->why = "freeN";
                --left;
              }
            }
            return true;
          },
          error))
    return LedgerFailure(error);
  return kInitOk;
}

int vsJobMgr::allocateAdditionalStreams(int count) {
  if (int code = InjectedFault("jobmgr.allocateAdditionalStreams")) return code;
  if (count <= 0 || count > lab::kMaxJobStreams) return kBadCount;
  const int64_t jobId = getJobId();
  if (!lab::AppendJobStreamCall(jobId, "allocate " + std::to_string(count))) return kNotRecorded;
  std::string error;
  if (!lab::UpdateReservationLedger(
          jobId,
          [&](lab::ReservationLedger& ledger, std::string&) {
            ledger.openRequest = count;
            ledger.requestChecks = 0;
            return true;
          },
          error))
    return LedgerFailure(error);
  return kInitOk;
}

int vsJobMgr::checkStatusOfAdditionalResourceRequest(int& received) {
  received = 0;
  if (int code = InjectedFault("jobmgr.checkStatusOfAdditionalResourceRequest")) return code;
  const int64_t jobId = getJobId();
  int64_t limit = lab::kMaxJobStreams;
  lab::JobRecordNumber(jobId, "additionalStreams", limit);
  int64_t delay = 0;
  lab::JobRecordNumber(jobId, "additionalStreamsDelay", delay);
  std::string host, client;
  int first = 0, second = 0;
  int64_t mediaAgentId = 0;
  if (DemangleHostName(getMediaAgent(), host, client, first, second)) ZTClient::getId(client, mediaAgentId);

  int answer = 0;
  std::string error;
  if (!lab::UpdateReservationLedger(
          jobId,
          [&](lab::ReservationLedger& ledger, std::string&) {
            if (ledger.openRequest == 0) return true;
            if (ledger.requestChecks < delay) {
              ++ledger.requestChecks;
              answer = -1;
              return true;
            }
            const int asked = static_cast<int>(std::max<int64_t>(std::min<int64_t>(ledger.openRequest, limit), 0));
            // A ledger out of ids grants what it could reserve, and no more.
            answer = 0;
            while (answer < asked && ledger.Reserve(ledger.NextStreamId(), static_cast<int32_t>(mediaAgentId)) != nullptr)
              ++answer;
            ledger.openRequest = 0;
            ledger.requestChecks = 0;
            return true;
          },
          error))
    return LedgerFailure(error);
  received = answer;
  return kInitOk;
}

void vsJobMgr::lockStreams() { streamsLock_.lock(); }

void vsJobMgr::unlockStreams() { streamsLock_.unlock(); }
