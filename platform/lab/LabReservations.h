#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The media streams reserved for a job: jobs/<job>/reservations.conf, the ledger that the archive
// manager's reservation query, the media-management calls (client token, exchange of a reservation
// to another media agent), the job manager's stream calls (free, free n, additional streams) and the
// data stream's open and close all work on. One reservation a line:
//
//   rcid=<n> reservation=<n> stream=<n> mediaAgent=<client id> copy=<n> primary=<0|1>
//       state=reserved|released|retired token=<job id, 0: none> holder=<client>:<pid>|- opens=<n>
//       [why=<word>]
//
// and two lines of counters: "next rcid=<n> reservation=<n>" (the ids the next reservation gets) and
// "request open=<n> checks=<n>" (additional streams asked for and not answered yet, and how often
// their status was asked).
//
// Each stream has one primary reservation at a time: an exchange retires the old reservation (its
// ids are never used again) and reserves the same stream under new ids on the other media agent. A
// released reservation is given back to the job manager; "why" says by whom (free, freeN, phase,
// left).
// The holder is the process that has the stream open as a data stream ("-" when none). The ledger
// is changed only under its lock (UpdateReservationLedger), so the processes of a job never lose
// each other's changes.
namespace lab {

// Most streams a job may be granted at once, and most reservations its ledger keeps.
constexpr int kMaxJobStreams = 1000;
constexpr size_t kMaxLedgerReservations = 20000;

enum class ReservationState { kReserved, kReleased, kRetired };

struct Reservation {
  int32_t rcid = 0;
  int32_t reservationId = 0;
  int32_t streamId = 0;
  int32_t mediaAgentId = 0;
  int32_t copyId = 1;
  bool primary = true;
  ReservationState state = ReservationState::kReserved;
  int64_t token = 0;
  std::string holder;  // empty: not open
  int32_t opens = 0;   // times a data stream opened it
  std::string why;     // of a release
};

struct ReservationLedger {
  int32_t nextRcid = 1;
  int32_t nextReservationId = 1;
  int32_t openRequest = 0;
  int32_t requestChecks = 0;
  std::vector<Reservation> reservations;

  // The reservation by its resource id that is not retired; null when there is none.
  Reservation* Find(int32_t rcid);
  const Reservation* Find(int32_t rcid) const;
  // Reserves a new primary reservation of a stream on a media agent; the ledger's next ids move on.
  // Null when the ledger has no ids left to hand out (an id is never handed out twice, and the next
  // ones must stay ids the ledger's reader takes), or for a stream id below 0.
  Reservation* Reserve(int32_t streamId, int32_t mediaAgentId);
  // One past the highest stream id of the ledger's reservations; -1 when that is past 2^31 - 1.
  int32_t NextStreamId() const;
  int CountReserved() const;
};

const char* ReservationStateText(ReservationState state);
bool ParseReservationLedger(const std::string& text, ReservationLedger& ledger, std::string& error);
std::string FormatReservationLedger(const ReservationLedger& ledger);

// The ledger's file; empty without a lab or a positive job id.
std::string ReservationLedgerPath(int64_t jobId);
// A job without a ledger has an empty one.
bool ReadReservationLedger(int64_t jobId, ReservationLedger& ledger, std::string& error);
// Reads, changes and replaces the ledger under its lock; a change returning false (with its reason)
// leaves the ledger as it was.
bool UpdateReservationLedger(int64_t jobId, const std::function<bool(ReservationLedger&, std::string&)>& change,
                             std::string& error);

// The job manager's grant: tops the job's reserved primary streams up to `count`, on the media agent.
bool ReserveJobStreams(int64_t jobId, int count, int32_t mediaAgentId, std::string& error);

// The job manager's end of a job phase: every reservation still reserved is released ("phase"), open
// ones too (the job itself says its phase has ended), and holds of processes that have died are dropped.
bool ReleaseJobReservations(int64_t jobId, std::string& error);
// The job manager's clean-up after a job process that left streams reserved (killed, or ended without
// a phase result): as ReleaseJobReservations, each release marked "left"; `released` counts them. A
// reservation that a process which still runs has open (one left running by a job process that died,
// or a job process whose lab tool was killed) is not released: the stream is still written to, and
// `stillOpen` gets it.
bool ReleaseLeftReservations(int64_t jobId, int& released, std::vector<Reservation>& stillOpen, std::string& error);

// "<client>:<pid>" of this process: the holder it writes into the reservations it opens.
// ReservationHolderAlive: false once the holder's process no longer runs (all the lab's processes
// run on one machine).
bool ReservationHolderAlive(const std::string& holder);
std::string ReservationHolder();

}  // namespace lab
