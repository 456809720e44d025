#include "platform/lab/LabReservations.h"

#include <unistd.h>

#include <climits>
#include <map>

#include "platform/lab/Lab.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/os/ZtProcess.h"

namespace lab {
namespace {

const char* const kLedgerFile = "reservations.conf";
const char* const kNoHolder = "-";

// The "key=value" words of a line after its first word; false for a word without '=' or a key twice.
bool SplitWords(const std::string& line, std::string& kind, std::map<std::string, std::string>& values,
                std::string& error) {
  values.clear();
  size_t start = 0;
  bool first = true;
  while (start < line.size()) {
    if (line[start] == ' ') {
      ++start;
      continue;
    }
    size_t end = line.find(' ', start);
    if (end == std::string::npos) end = line.size();
    const std::string word = line.substr(start, end - start);
    start = end;
    const size_t equals = word.find('=');
    if (first && equals == std::string::npos) {
      kind = word;
      first = false;
      continue;
    }
    first = false;
    if (equals == std::string::npos || equals == 0 || !values.emplace(word.substr(0, equals), word.substr(equals + 1)).second) {
      error = "ledger: [" + word + "] is not usable";
      return false;
    }
  }
  return true;
}

bool TakeInt32(std::map<std::string, std::string>& values, const std::string& key, int64_t min, int32_t& value,
               std::string& error) {
  auto it = values.find(key);
  int64_t number = 0;
  if (it == values.end() || !labkv::ParseInt64InRange(it->second, min, INT32_MAX, number)) {
    error = "ledger: " + key + " is missing or out of range";
    return false;
  }
  value = static_cast<int32_t>(number);
  values.erase(it);
  return true;
}

bool ParseReservation(std::map<std::string, std::string> values, Reservation& reservation, std::string& error) {
  Reservation parsed;
  int32_t primary = 0;
  if (!TakeInt32(values, "rcid", INT32_MIN, parsed.rcid, error) ||
      !TakeInt32(values, "reservation", INT32_MIN, parsed.reservationId, error) ||
      !TakeInt32(values, "stream", 0, parsed.streamId, error) ||
      !TakeInt32(values, "mediaAgent", 0, parsed.mediaAgentId, error) ||
      !TakeInt32(values, "copy", 0, parsed.copyId, error) || !TakeInt32(values, "primary", 0, primary, error))
    return false;
  if (primary > 1) {
    error = "ledger: primary is 0 or 1";
    return false;
  }
  parsed.primary = primary == 1;
  const std::string state = values["state"];
  values.erase("state");
  if (state == "reserved") {
    parsed.state = ReservationState::kReserved;
  } else if (state == "released") {
    parsed.state = ReservationState::kReleased;
  } else if (state == "retired") {
    parsed.state = ReservationState::kRetired;
  } else {
    error = "ledger: state [" + state + "] is not known";
    return false;
  }
  auto token = values.find("token");
  if (token == values.end() || !labkv::ParseInt64(token->second, parsed.token) || parsed.token < 0) {
    error = "ledger: token is missing or not a job id";
    return false;
  }
  values.erase(token);
  auto holder = values.find("holder");
  if (holder == values.end() || !labkv::IsWord(holder->second)) {
    error = "ledger: holder is missing";
    return false;
  }
  if (holder->second != kNoHolder) parsed.holder = holder->second;
  values.erase(holder);
  if (!TakeInt32(values, "opens", 0, parsed.opens, error)) return false;
  auto why = values.find("why");
  if (why != values.end()) {
    parsed.why = why->second;
    if (!labkv::IsWord(parsed.why)) {
      error = "ledger: why is not one word";
      return false;
    }
    values.erase(why);
  }
  if (!values.empty()) {
    error = "ledger: [" + values.begin()->first + "] is not known";
    return false;
  }
  reservation = parsed;
  return true;
}

}  // namespace

bool ReservationHolderAlive(const std::string& holder) {
  const size_t colon = holder.rfind(':');
  int64_t pid = 0;
  if (colon == std::string::npos || !labkv::ParseInt64InRange(holder.substr(colon + 1), 1, INT32_MAX, pid))
    return true;  // not a holder this lab wrote: never taken for a dead one
  return ZtProcess::IsRunning(static_cast<pid_t>(pid));
}

Reservation* ReservationLedger::Find(int32_t rcid) {
  for (Reservation& reservation : reservations)
    if (reservation.rcid == rcid && reservation.state != ReservationState::kRetired) return &reservation;
  return nullptr;
}

const Reservation* ReservationLedger::Find(int32_t rcid) const {
  return const_cast<ReservationLedger*>(this)->Find(rcid);
}

Reservation* ReservationLedger::Reserve(int32_t streamId, int32_t mediaAgentId) {
  if (streamId < 0 || nextRcid >= INT32_MAX || nextReservationId >= INT32_MAX) return nullptr;
  Reservation reservation;
  reservation.rcid = nextRcid++;
  reservation.reservationId = nextReservationId++;
  reservation.streamId = streamId;
  reservation.mediaAgentId = mediaAgentId;
  reservations.push_back(reservation);
  return &reservations.back();
}

int32_t ReservationLedger::NextStreamId() const {
  int32_t highest = 0;
  for (const Reservation& reservation : reservations)
    if (reservation.streamId > highest) highest = reservation.streamId;
  return highest < INT32_MAX ? highest + 1 : -1;
}

int ReservationLedger::CountReserved() const {
  int count = 0;
  for (const Reservation& reservation : reservations)
    if (reservation.state == ReservationState::kReserved && reservation.primary) ++count;
  return count;
}

const char* ReservationStateText(ReservationState state) {
  switch (state) {
    case ReservationState::kReserved: return "reserved";
    case ReservationState::kReleased: return "released";
    case ReservationState::kRetired: return "retired";
  }
  return "reserved";
}

bool ParseReservationLedger(const std::string& text, ReservationLedger& ledger, std::string& error) {
  ReservationLedger parsed;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    std::string kind;
    std::map<std::string, std::string> values;
    if (!SplitWords(line, kind, values, error)) return false;
    if (kind == "next") {
      if (!TakeInt32(values, "rcid", 1, parsed.nextRcid, error) ||
          !TakeInt32(values, "reservation", 1, parsed.nextReservationId, error))
        return false;
    } else if (kind == "request") {
      if (!TakeInt32(values, "open", 0, parsed.openRequest, error) ||
          !TakeInt32(values, "checks", 0, parsed.requestChecks, error))
        return false;
    } else if (kind.empty()) {
      if (parsed.reservations.size() >= kMaxLedgerReservations) {
        error = "ledger: too many reservations";
        return false;
      }
      Reservation reservation;
      if (!ParseReservation(values, reservation, error)) return false;
      parsed.reservations.push_back(reservation);
      continue;
    } else {
      error = "ledger: a line of kind [" + kind + "] is not known";
      return false;
    }
    if (!values.empty()) {
      error = "ledger: [" + values.begin()->first + "] is not known";
      return false;
    }
  }
  // Ids handed out later must never meet one already in the ledger.
  for (const Reservation& reservation : parsed.reservations) {
    if (reservation.rcid >= parsed.nextRcid || reservation.reservationId >= parsed.nextReservationId) {
      error = "ledger: a reservation has an id the ledger would hand out again";
      return false;
    }
  }
  ledger = parsed;
  return true;
}

std::string FormatReservationLedger(const ReservationLedger& ledger) {
  std::string text = "next rcid=" + std::to_string(ledger.nextRcid) +
                     " reservation=" + std::to_string(ledger.nextReservationId) + "\n";
  text += "request open=" + std::to_string(ledger.openRequest) + " checks=" + std::to_string(ledger.requestChecks) + "\n";
  for (const Reservation& r : ledger.reservations) {
    text += "rcid=" + std::to_string(r.rcid) + " reservation=" + std::to_string(r.reservationId) +
            " stream=" + std::to_string(r.streamId) + " mediaAgent=" + std::to_string(r.mediaAgentId) +
            " copy=" + std::to_string(r.copyId) + " primary=" + (r.primary ? "1" : "0") +
            " state=" + ReservationStateText(r.state) + " token=" + std::to_string(r.token) +
            " holder=" + (r.holder.empty() ? kNoHolder : r.holder) + " opens=" + std::to_string(r.opens);
    if (!r.why.empty()) text += " why=" + r.why;
    text += "\n";
  }
  return text;
}

std::string ReservationLedgerPath(int64_t jobId) { return JobFile(jobId, kLedgerFile); }

bool ReadReservationLedger(int64_t jobId, ReservationLedger& ledger, std::string& error) {
  const std::string path = ReservationLedgerPath(jobId);
  if (path.empty()) {
    error = "no lab or no job id";
    return false;
  }
  std::string text;
  switch (ReadOptionalFile(path, kMaxRecordBytes, text, error)) {
    case ReadResult::kMissing:
      ledger = ReservationLedger();
      return true;
    case ReadResult::kFailed:
      return false;
    case ReadResult::kRead:
      break;
  }
  if (ParseReservationLedger(text, ledger, error)) return true;
  error = path + ": " + error;
  return false;
}

bool UpdateReservationLedger(int64_t jobId, const std::function<bool(ReservationLedger&, std::string&)>& change,
                             std::string& error) {
  const std::string path = ReservationLedgerPath(jobId);
  if (path.empty() || !MakeDirs(JobDir(jobId))) {
    error = "cannot make the folder of job " + std::to_string(jobId);
    return false;
  }
  return UpdateFileLocked(
      path,
      [&](std::string& text, bool exists, std::string& why) {
        ReservationLedger ledger;
        if (exists && !ParseReservationLedger(text, ledger, why)) return false;
        if (!change(ledger, why)) return false;
        if (ledger.reservations.size() > kMaxLedgerReservations) {
          why = "the ledger would hold too many reservations";
          return false;
        }
        text = FormatReservationLedger(ledger);
        return true;
      },
      error);
}

bool ReserveJobStreams(int64_t jobId, int count, int32_t mediaAgentId, std::string& error) {
  if (count < 0 || count > kMaxJobStreams) {
    error = "a job is granted 0 to " + std::to_string(kMaxJobStreams) + " streams";
    return false;
  }
  return UpdateReservationLedger(
      jobId,
      [&](ReservationLedger& ledger, std::string& why) {
        for (int reserved = ledger.CountReserved(); reserved < count; ++reserved) {
          if (ledger.Reserve(ledger.NextStreamId(), mediaAgentId) == nullptr) {
            why = "the job's ledger has no stream or reservation ids left";
            return false;
          }
        }
        return true;
      },
      error);
}

namespace {

// Releases the reservations still reserved, each marked with `why`, and drops the holds of processes
// that have died; `released` counts the releases. With `keepOpen`, a reservation a process that still
// runs has open is not released: it is that process's yet, and `kept` gets it.
bool ReleaseReserved(int64_t jobId, const char* why, bool keepOpen, int& released, std::vector<Reservation>& kept,
                     std::string& error) {
  released = 0;
  kept.clear();
  ReservationLedger current;
  if (!ReadReservationLedger(jobId, current, error)) return false;
  if (current.reservations.empty()) return true;  // nothing to release: no ledger is made for it
  return UpdateReservationLedger(
      jobId,
      [why, keepOpen, &released, &kept](ReservationLedger& ledger, std::string&) {
        released = 0;
        kept.clear();
        for (Reservation& reservation : ledger.reservations) {
          // A process that died with a stream open never closes it: its hold ends with it.
          if (!reservation.holder.empty() && !ReservationHolderAlive(reservation.holder)) reservation.holder.clear();
          if (reservation.state != ReservationState::kReserved) continue;
          if (keepOpen && !reservation.holder.empty()) {
            kept.push_back(reservation);
            continue;
          }
          reservation.state = ReservationState::kReleased;
          reservation.why = why;
          ++released;
        }
        return true;
      },
      error);
}

}  // namespace

bool ReleaseJobReservations(int64_t jobId, std::string& error) {
  int released = 0;
  std::vector<Reservation> kept;
  return ReleaseReserved(jobId, "phase", false, released, kept, error);
}

bool ReleaseLeftReservations(int64_t jobId, int& released, std::vector<Reservation>& stillOpen, std::string& error) {
  return ReleaseReserved(jobId, "left", true, released, stillOpen, error);
}

std::string ReservationHolder() { return FocusClient() + ":" + std::to_string(static_cast<long>(getpid())); }

}  // namespace lab
