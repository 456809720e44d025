// quarn-lab fault: adds rules to the lab's fault table, lists them with their counters, or clears it.
// A rule must be able to fire: its operation is one the stand-ins ask the table about
// (platform/lab/LabFaultOperations.h), it narrows only by what the operation's calls name, and the
// client, VM and disk it names are the lab's.
#include <algorithm>
#include <cstdio>

#include "host/lab/LabTool.h"
#include "platform/lab/LabFaultOperations.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabReservations.h"
#include "platform/lab/LabSubclient.h"

namespace labtool {
namespace {

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string UnknownOperation(const std::string& op) {
  std::string nearest;
  size_t best = 4;  // a name further off than this is no slip
  for (const lab::FaultOperationRow& row : lab::FaultOperationRows()) {
    for (const lab::FaultOperation& operation : row.operations) {
      const size_t distance = EditDistance(op, operation.name);
      if (distance < best) {
        best = distance;
        nearest = operation.name;
      }
    }
  }
  return "unknown operation '" + op + "'" + (nearest.empty() ? "" : " (did you mean " + nearest + "?)") +
         "; quarn-lab fault --help lists the operations";
}

// The highest stream id a job of the lab can have: a job's streams are numbered from 1 up to the most
// its record grants (or, above that, its subclient lets it ask for) or its ledger has reserved.
int64_t LabStreams() {
  int64_t most = 0;
  for (int64_t jobId : lab::ListJobs()) {
    lab::JobRecord record;
    lab::SubclientRecord subclient;
    lab::ReservationLedger ledger;
    std::string error;
    int64_t streams = 0;
    if (lab::ReadJobRecord(jobId, record, error)) {
      most = std::max(most, record.streams);
      if (lab::ReadSubclientRecord(lab::SubclientOfRecord(record), subclient, error) ==
              lab::RecordRead::kRead &&
          labkv::ParseInt64InRange(subclient.settings["maxStreams"], 0, lab::kMaxJobStreams, streams))
        most = std::max(most, streams);
    }
    if (lab::ReadReservationLedger(jobId, ledger, error))
      for (const lab::Reservation& reservation : ledger.reservations)
        most = std::max<int64_t>(most, reservation.streamId);
  }
  return most;
}

// The selectors of the options, checked against the operation and the lab.
bool RuleSelectors(const lab::FaultOperation& operation, const Arguments& parsed, lab::FaultRule& rule,
                   std::string& error) {
  const auto refuse = [&](const char* option) {
    error = std::string(operation.name) + " takes no " + option + ": its calls do not name one";
    return false;
  };
  rule.client = TextOption(parsed, "client");
  if (!rule.client.empty() && !CheckClient(rule.client, error)) return false;
  const std::string vm = TextOption(parsed, "vm");
  if (!vm.empty()) {
    if (!(operation.selectors & lab::kFaultSelectsVM)) return refuse("--vm");
    if (!VMGuidOf(vm, rule.vm, error)) return false;
  }
  const std::string disk = TextOption(parsed, "disk");
  if (!disk.empty()) {
    if (!(operation.selectors & lab::kFaultDiskSelectors)) return refuse("--disk");
    if (operation.selectors & lab::kFaultSelectsDisk) {
      if (!DiskIndexName(rule.vm, disk, rule.disk, error)) return false;
    } else {
      rule.disk = disk;
    }
  }
  rule.stream = TextOption(parsed, "stream");
  if (!rule.stream.empty()) {
    if (!(operation.selectors & lab::kFaultSelectsStream)) return refuse("--stream");
    int64_t id = 0;
    const int64_t streams = LabStreams();
    if (!labkv::ParseInt64InRange(rule.stream, 1, std::max<int64_t>(1, streams), id)) {
      error = "--stream takes a stream id the lab's jobs have, from 1 to " + std::to_string(streams) +
              " (the most streams a job record or the subclient grants, or a job's ledger reserved)";
      return false;
    }
  }
  return true;
}

// The rule of the options; false with the reason for a value out of range or a rule that could not fire.
bool RuleOf(const std::string& op, bool hold, const Arguments& parsed, lab::FaultRule& rule, std::string& error) {
  const lab::FaultOperation* operation = lab::FindFaultOperation(op);
  if (operation == nullptr) {
    error = UnknownOperation(op);
    return false;
  }
  rule.op = op;
  rule.hold = hold;
  int64_t code = 0;
  if (parsed.options.count("code") == (hold ? 1u : 0u)) {
    error = hold ? "a holding rule takes no --code" : "a fault rule needs --code";
    return false;
  }
  if (!NumberOption(parsed, "code", INT32_MIN, INT32_MAX, code, error) ||
      !NumberOption(parsed, "after", 0, lab::kMaxFaultCount, rule.after, error))
    return false;
  if (!hold && code == 0) {
    error = "--code 0 is a call that succeeds: give the code the failed call returns (any other number)";
    return false;
  }
  rule.code = static_cast<int>(code);
  auto times = parsed.options.find("times");
  if (times != parsed.options.end() && times->second == "always")
    rule.times = lab::kFaultAlways;
  else if (!NumberOption(parsed, "times", 1, lab::kMaxFaultCount, rule.times, error))
    return false;
  rule.text = TextOption(parsed, "text", rule.text);
  if (!RuleSelectors(*operation, parsed, rule, error)) return false;
  auto event = parsed.options.find("event");
  if (event != parsed.options.end() && !lab::ParseFaultEventId(event->second, rule.eventId)) {
    error = "--event must be a number of 32 bits, decimal or 0x hexadecimal";
    return false;
  }
  // The rule's own line parser checks the rest: one line that reads back as the same rule.
  std::string line;
  return labkv::StorableText(rule, lab::FormatFaultRule, lab::ParseFaultRule, line, error);
}

}  // namespace

int Fault(const std::vector<std::string>& args) {
  Arguments parsed;
  std::string error;
  if (!ParseArguments(args, *FindCommand("fault"), parsed, error)) return UsageError(error, "fault");
  if (parsed.positional.size() < 2 || !parsed.passThrough.empty())
    return UsageError("fault takes <lab> add|hold|list|clear", "fault");
  if (!SelectLab(parsed.positional[0], error)) return UsageError(error, "fault");
  const std::string& verb = parsed.positional[1];

  if (verb == "add" || verb == "hold") {
    lab::FaultRule rule;
    if (parsed.positional.size() != 3) return UsageError("fault " + verb + " takes one operation name", "fault");
    if (!RuleOf(parsed.positional[2], verb == "hold", parsed, rule, error)) return UsageError(error, "fault");
    if (!lab::AddFaultRule(rule, error)) return Failure(error);
    std::printf("added: %s\n", lab::FormatFaultRule(rule).c_str());
    return kExitOk;
  }
  if (parsed.positional.size() != 2 || !parsed.options.empty())
    return UsageError("fault " + verb + " takes no further arguments", "fault");
  if (verb == "list") {
    lab::FaultTable table;
    if (!lab::ReadFaultTable(table, error)) return Failure(error);
    if (table.rules.empty()) std::printf("no fault rules\n");
    for (const lab::FaultRule& rule : table.rules) std::printf("%s\n", lab::FormatFaultRule(rule).c_str());
    return kExitOk;
  }
  if (verb == "clear") {
    if (!lab::ClearFaultTable(error)) return Failure(error);
    std::printf("fault rules cleared\n");
    return kExitOk;
  }
  return UsageError("unknown fault command '" + verb + "'", "fault");
}

}  // namespace labtool
