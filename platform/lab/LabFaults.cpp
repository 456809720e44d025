#include "platform/lab/LabFaults.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/lab/Lab.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/os/ZtTime.h"

namespace lab {
namespace {

const char* const kTableFile = "faults.conf";
const char* const kAlways = "always";

}  // namespace

bool ParseFaultEventId(const std::string& text, uint32_t& id) {
  if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])))) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == nullptr || *end != '\0' || value > 0xFFFFFFFFULL) return false;
  id = static_cast<uint32_t>(value);
  return true;
}

namespace {

std::string Hex(uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", id);
  return text;
}

bool LooksLikeGuid(const std::string& text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash != (text[i] == '-') || (!dash && !std::isxdigit(static_cast<unsigned char>(text[i])))) return false;
  }
  return true;
}

// A rule names a VM by name or GUID, and a call gives whichever its caller had: a name and a GUID
// are the same VM when the lab's hypervisor says so. Only a name against a GUID is looked up.
bool SameVM(const std::string& selector, const std::string& called) {
  if (strcasecmp(selector.c_str(), called.c_str()) == 0) return true;
  if (called.empty() || LooksLikeGuid(selector) == LooksLikeGuid(called)) return false;
  for (const std::string& server : ListServers()) {
    VMDescription vm;
    if (FindVM(server, called, vm))
      return strcasecmp(vm.guid.c_str(), selector.c_str()) == 0 || vm.name == selector;
  }
  return false;
}

bool Matches(const FaultRule& rule, const FaultCall& call) {
  if (rule.op != call.op) return false;
  if (!rule.client.empty() && rule.client != call.client) return false;
  if (!rule.vm.empty() && !SameVM(rule.vm, call.vm)) return false;
  if (!rule.disk.empty() && rule.disk != call.disk) return false;
  return rule.stream.empty() || rule.stream == call.stream;
}

bool AnyRuleMatches(const FaultTable& table, const FaultCall& call, bool holdingOnly = false) {
  for (const FaultRule& rule : table.rules)
    if (Matches(rule, call) && (rule.hold || !holdingOnly)) return true;
  return false;
}

// Counts one matching call; true when the rule is due to fire on it (past `after`, `times` not used up).
bool CountRule(FaultRule& rule) {
  if (rule.calls < INT64_MAX) ++rule.calls;
  if (rule.calls <= rule.after) return false;
  return rule.times == kFaultAlways || rule.fired < rule.times;
}

// Counts the call against every rule it matches; only the first one that is due fires on it, and
// gives its fault, or holds it.
bool CountCall(FaultTable& table, const FaultCall& call, Fault& fault, bool& held) {
  bool fired = false;
  for (FaultRule& rule : table.rules) {
    if (!Matches(rule, call) || !CountRule(rule) || fired || held) continue;
    if (rule.fired < INT64_MAX) ++rule.fired;
    if (rule.hold) {
      held = true;
      continue;
    }
    fired = true;
    fault.code = rule.code;
    fault.text = rule.text.empty() ? "Fault injected by the lab into " + rule.op : rule.text;
    fault.eventId = rule.eventId;
  }
  return fired;
}

bool Unusable(const std::string& why, Fault& fault) {
  fault.code = kFaultTableUnusable;
  fault.text = "The lab's fault table cannot be used: " + why;
  fault.eventId = 0;
  return true;
}

// The call waits through the platform clock (a lab run's time scale applies), looking at the table
// again between pauses; a table that cannot be read any more fails the call.
bool WaitWhileHeld(const FaultCall& call, Fault& fault) {
  for (;;) {
    ZtClock::Pause(ZtClock::DeadlineAfter(CTimeInterval::FromMilliseconds(50)), 50);
    FaultTable table;
    std::string error;
    if (!ReadFaultTable(table, error)) return Unusable(error, fault);
    if (!AnyRuleMatches(table, call, /*holdingOnly=*/true)) return false;
  }
}

}  // namespace

bool ParseFaultRule(const std::string& line, FaultRule& rule, std::string& error) {
  FaultRule parsed;
  bool hasOp = false, hasAfter = false, hasTimes = false, hasCode = false, hasEvent = false, hasCalls = false,
       hasFired = false, hasHold = false;
  size_t start = 0;
  while (start < line.size()) {
    if (line[start] == ' ') {
      ++start;
      continue;
    }
    size_t end = line.find(' ', start);
    std::string token = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t equals = token.find('=');
    std::string key = token.substr(0, equals);
    if (key == "text" && equals != std::string::npos) {
      parsed.text = line.substr(start + 5);
      break;
    }
    std::string value = equals == std::string::npos ? std::string() : token.substr(equals + 1);
    int64_t number = 0;
    bool ok = equals != std::string::npos;
    if (key == "op") {
      ok = ok && labkv::IsWord(value) && !hasOp;
      parsed.op = value;
      hasOp = true;
    } else if (key == "client" || key == "vm" || key == "disk" || key == "stream") {
      std::string& selector = key == "client" ? parsed.client
                              : key == "vm"   ? parsed.vm
                              : key == "disk" ? parsed.disk
                                              : parsed.stream;
      ok = ok && labkv::IsWord(value) && selector.empty();
      selector = value;
    } else if (key == "after") {
      ok = ok && !hasAfter && labkv::ParseInt64InRange(value, 0, kMaxFaultCount, parsed.after);
      hasAfter = true;
    } else if (key == "times") {
      ok = ok && !hasTimes &&
           (value == kAlways || labkv::ParseInt64InRange(value, 1, kMaxFaultCount, parsed.times));
      if (value == kAlways) parsed.times = kFaultAlways;
      hasTimes = true;
    } else if (key == "code") {
      ok = ok && !hasCode && labkv::ParseInt64InRange(value, INT32_MIN, INT32_MAX, number) && number != 0;
      parsed.code = static_cast<int>(number);
      hasCode = true;
    } else if (key == "event") {
      ok = ok && !hasEvent && ParseFaultEventId(value, parsed.eventId);
      hasEvent = true;
    } else if (key == "hold") {
      ok = ok && !hasHold && value == "yes";
      parsed.hold = true;
      hasHold = true;
    } else if (key == "calls") {
      ok = ok && !hasCalls && labkv::ParseInt64InRange(value, 0, INT64_MAX, parsed.calls);
      hasCalls = true;
    } else if (key == "fired") {
      ok = ok && !hasFired && labkv::ParseInt64InRange(value, 0, INT64_MAX, parsed.fired);
      hasFired = true;
    } else {
      ok = false;
    }
    if (!ok) {
      error = "fault rule: [" + token + "] is not usable";
      return false;
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (!hasOp || hasCode == hasHold) {
    error = "fault rule: op and either a code or hold are required";
    return false;
  }
  if (parsed.fired > parsed.calls) {
    error = "fault rule: fired more often than called";
    return false;
  }
  rule = parsed;
  return true;
}

std::string FormatFaultRule(const FaultRule& rule) {
  std::string line = "op=" + rule.op;
  if (!rule.client.empty()) line += " client=" + rule.client;
  if (!rule.vm.empty()) line += " vm=" + rule.vm;
  if (!rule.disk.empty()) line += " disk=" + rule.disk;
  if (!rule.stream.empty()) line += " stream=" + rule.stream;
  line += " after=" + std::to_string(rule.after);
  line += " times=" + (rule.times == kFaultAlways ? std::string(kAlways) : std::to_string(rule.times));
  if (rule.hold)
    line += " hold=yes";
  else
    line += " code=" + std::to_string(rule.code);
  if (rule.eventId != 0) line += " event=" + Hex(rule.eventId);
  line += " calls=" + std::to_string(rule.calls) + " fired=" + std::to_string(rule.fired);
  if (!rule.text.empty()) line += " text=" + rule.text;
  return line;
}

bool ParseFaultTable(const std::string& text, FaultTable& table, std::string& error) {
  FaultTable parsed;
  size_t start = 0;
  int number = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    while (!line.empty() && line.back() == '\r') line.pop_back();
    std::string trimmed = labkv::Trim(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    FaultRule rule;
    if (!ParseFaultRule(line, rule, error)) {
      error = "line " + std::to_string(number) + ": " + error;
      return false;
    }
    parsed.rules.push_back(rule);
  }
  table.rules.swap(parsed.rules);
  return true;
}

std::string FormatFaultTable(const FaultTable& table) {
  std::string text;
  for (const FaultRule& rule : table.rules) text += FormatFaultRule(rule) + "\n";
  return text;
}

std::string FaultTablePath() {
  std::string root = Root();
  return root.empty() ? std::string() : root + "/" + kTableFile;
}

bool ReadFaultTable(FaultTable& table, std::string& error) {
  std::string path = FaultTablePath();
  std::string text;
  if (path.empty()) {
    error = "no lab";
    return false;
  }
  ReadResult read = ReadOptionalFile(path, kMaxRecordBytes, text, error);
  if (read == ReadResult::kFailed) return false;
  if (read == ReadResult::kMissing) {
    table.rules.clear();
    return true;
  }
  if (ParseFaultTable(text, table, error)) return true;
  error = path + ": " + error;
  return false;
}

bool AddFaultRule(const FaultRule& rule, std::string& error) {
  std::string path = FaultTablePath();
  if (path.empty()) {
    error = "no lab";
    return false;
  }
  FaultRule fresh = rule;
  fresh.calls = 0;
  fresh.fired = 0;
  std::string line;
  if (!labkv::StorableText(fresh, FormatFaultRule, ParseFaultRule, line, error)) return false;
  return UpdateFileLocked(
      path,
      [&](std::string& text, bool, std::string& why) {
        FaultTable table;
        if (!ParseFaultTable(text, table, why)) return false;
        table.rules.push_back(fresh);
        text = FormatFaultTable(table);
        return true;
      },
      error);
}

bool ClearFaultTable(std::string& error) {
  std::string path = FaultTablePath();
  if (path.empty()) {
    error = "no lab";
    return false;
  }
  return ReplaceFileLocked(path, std::string(), error);
}

bool RemoveFaultRules(const std::function<bool(const FaultRule&)>& drop, std::string& error) {
  const std::string path = FaultTablePath();
  if (path.empty()) {
    error = "no lab";
    return false;
  }
  return UpdateFileLocked(
      path,
      [&](std::string& text, bool, std::string& why) {
        FaultTable table;
        if (!ParseFaultTable(text, table, why)) return false;
        table.rules.erase(std::remove_if(table.rules.begin(), table.rules.end(), drop), table.rules.end());
        text = FormatFaultTable(table);
        return true;
      },
      error);
}

bool ReleaseHeldCalls(std::string& error) {
  return RemoveFaultRules([](const FaultRule& rule) { return rule.hold; }, error);
}

bool CheckFault(const FaultCall& call, Fault& fault) {
  const std::string path = FaultTablePath();
  if (path.empty()) return false;
  FaultCall matched = call;
  if (matched.client.empty()) matched.client = FocusClient();
  // Most calls are of operations no rule names: they read the table without its lock (it is only
  // ever replaced whole, so one read sees one version of it) and leave it alone.
  FaultTable table;
  std::string error;
  if (!ReadFaultTable(table, error)) return Unusable(error, fault);
  if (!AnyRuleMatches(table, matched)) return false;
  // The counters are test state: they are shared under the lock by every process of the lab, but
  // need not survive a crash, so they are written without syncs.
  bool fired = false, held = false;
  const bool counted = UpdateFileLocked(
      path,
      [&](std::string& text, bool, std::string& why) {
        FaultTable current;
        if (!ParseFaultTable(text, current, why)) return false;
        fired = CountCall(current, matched, fault, held);
        text = FormatFaultTable(current);
        return true;
      },
      error, Durability::kVolatile);
  if (!counted) return Unusable(error, fault);
  return held ? WaitWhileHeld(matched, fault) : fired;
}

bool CheckFault(const std::string& op, Fault& fault) {
  FaultCall call;
  call.op = op;
  return CheckFault(call, fault);
}

}  // namespace lab
