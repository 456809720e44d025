#include "platform/media/ArchiveManagerDS.h"

#include <string>

#include "platform/ev/EvDebug.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabReservations.h"

namespace {
const char* const kSig =
    "int ArchiveManagerDS::getResourceReservation(GetResourceReservationArgsDS_t*, GetResourceReservationRetDS_t*)";
}  // namespace

int ArchiveManagerDS::getResourceReservation(GetResourceReservationArgsDS_t* args, GetResourceReservationRetDS_t* ret) {
  if (ret != nullptr) ret->reservations.clear();
  if (args == nullptr || ret == nullptr || args->jobId <= 0) return kRetBadArguments;
  lab::FaultCall call;
  call.op = "archmgr.getResourceReservation";
  lab::Fault fault;
  if (lab::CheckFault(call, fault)) {
    EvDebug::Error(kSig, "[%s] failed with code [%d]: %s", call.op.c_str(), fault.code, fault.text.c_str());
    return fault.code;
  }
  lab::ReservationLedger ledger;
  std::string error;
  if (!lab::ReadReservationLedger(args->jobId, ledger, error)) {
    EvDebug::Error(kSig, "The reservations of job [%d] cannot be read: %s", args->jobId, error.c_str());
    return kRetNoLedger;
  }
  for (const lab::Reservation& reservation : ledger.reservations) {
    if (reservation.state != lab::ReservationState::kReserved) continue;
    ResourceReservationEl_t element;
    element.words[ResourceReservationEl_t::kRcid] = reservation.rcid;
    element.words[ResourceReservationEl_t::kInUse] = reservation.holder.empty() ? 0 : 1;
    element.words[ResourceReservationEl_t::kReservationId] = reservation.reservationId;
    element.words[ResourceReservationEl_t::kCopyId] = reservation.copyId;
    element.words[ResourceReservationEl_t::kStreamId] = reservation.streamId;
    element.words[ResourceReservationEl_t::kMediaAgentId] = reservation.mediaAgentId;
    element.words[ResourceReservationEl_t::kPrimary] = reservation.primary ? 1 : 0;
    ret->reservations.push_back(element);
  }
  return kRetOk;
}
