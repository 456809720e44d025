#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The fault table of the lab: faults.conf at the lab's root, one rule a line. A rule names a stand-in
// operation, optionally narrows it to a client, VM, disk or stream, lets `after` matching calls pass,
// then makes the next `times` matching calls fail with its code (and text and job event), and lets
// later calls pass again. Its counters live in the table, changed under the table's lock, so every
// process of the lab counts the same calls.
//
// A line: op=<operation> [client=<c>] [vm=<v>] [disk=<d>] [stream=<s>] after=<n> times=<n|always>
//         code=<n> [event=<id>] calls=<n> fired=<n> [text=<text to the end of the line>]
// Blank lines and lines starting with '#' are kept out of the rules.
//
// Each stand-in operation asks CheckFault with its own name before doing its work; the names in use
// and what each call names are listed in LabFaultOperations.h. A selector compares exactly, except the
// VM: a name or a GUID in any case, which matches a call naming the same VM of the lab's hypervisor by
// either.
namespace lab {

constexpr int64_t kMaxFaultCount = 1000000000;  // largest `after` and `times`
constexpr int64_t kFaultAlways = -1;             // `times` of a rule that never stops
// The code of the failure an operation reports when the fault table exists but cannot be used: a
// table someone wrote to make things fail must not be taken for "no fault".
constexpr int kFaultTableUnusable = 3099;

struct FaultRule {
  std::string op;
  std::string client;
  std::string vm;
  std::string disk;
  std::string stream;
  int64_t after = 0;
  int64_t times = 1;  // 1..kMaxFaultCount, or kFaultAlways
  int code = 0;       // non-zero, unless the rule holds
  // Instead of failing, a due call waits until no holding rule matches it any more (the table is
  // cleared), then goes on as if nothing had happened: a test's way to catch a job in the middle.
  bool hold = false;
  uint32_t eventId = 0;
  std::string text;
  int64_t calls = 0;  // matching calls seen so far
  int64_t fired = 0;  // of them, the calls that failed
};

struct FaultTable {
  std::vector<FaultRule> rules;
};

// What a fired rule gives the operation.
struct Fault {
  int code = 0;
  std::string text;
  uint32_t eventId = 0;
};

// One call of an operation, as the table matches it. The client is the process's focus client unless
// set.
struct FaultCall {
  std::string op;
  std::string client;
  std::string vm;
  std::string disk;
  std::string stream;
};

// A job event id: decimal or 0x-prefixed hexadecimal, the whole text, within 32 bits.
bool ParseFaultEventId(const std::string& text, uint32_t& id);
bool ParseFaultRule(const std::string& line, FaultRule& rule, std::string& error);
std::string FormatFaultRule(const FaultRule& rule);
bool ParseFaultTable(const std::string& text, FaultTable& table, std::string& error);
std::string FormatFaultTable(const FaultTable& table);

// The table's file; empty without a lab.
std::string FaultTablePath();
// The table; an absent table is empty.
bool ReadFaultTable(FaultTable& table, std::string& error);
// Appends a rule (its counters start at 0).
bool AddFaultRule(const FaultRule& rule, std::string& error);
bool ClearFaultTable(std::string& error);
// Takes the rules `drop` chooses out of the table, keeping the others with their counters: a call a
// dropped rule holds goes on. False with the reason; the table is then unchanged.
bool RemoveFaultRules(const std::function<bool(const FaultRule&)>& drop, std::string& error);
// Removes the rules that hold calls, so that every held call goes on; the other rules stay, with
// their counters.
bool ReleaseHeldCalls(std::string& error);

// Counts the call against every rule it matches; true with the fault of the first rule (in table
// order) that is due, which alone fires on it; a holding rule that is due holds the call instead. A table that exists but cannot be read or changed fires kFaultTableUnusable.
bool CheckFault(const FaultCall& call, Fault& fault);
// The same for the operation alone.
bool CheckFault(const std::string& op, Fault& fault);

}  // namespace lab
