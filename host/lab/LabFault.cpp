// quarn-lab fault: adds rules to the lab's fault table, lists them with their counters, or clears it.
#include <cstdio>

#include "host/lab/LabTool.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabKeyValue.h"

namespace labtool {
namespace {

// The rule of the options; false with the reason for a value out of range.
bool RuleOf(const std::string& op, bool hold, const Arguments& parsed, lab::FaultRule& rule, std::string& error) {
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
  rule.code = static_cast<int>(code);
  auto times = parsed.options.find("times");
  if (times != parsed.options.end() && times->second == "always")
    rule.times = lab::kFaultAlways;
  else if (!NumberOption(parsed, "times", 1, lab::kMaxFaultCount, rule.times, error))
    return false;
  rule.text = TextOption(parsed, "text", rule.text);
  rule.client = TextOption(parsed, "client", rule.client);
  rule.vm = TextOption(parsed, "vm", rule.vm);
  rule.disk = TextOption(parsed, "disk", rule.disk);
  rule.stream = TextOption(parsed, "stream", rule.stream);
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
  if (!ParseArguments(args, {"code", "after", "times", "text", "event", "client", "vm", "disk", "stream"}, parsed,
                      error))
    return UsageError(error);
  if (parsed.positional.size() < 2 || !parsed.passThrough.empty())
    return UsageError("fault takes <lab> add|hold|list|clear");
  if (!SelectLab(parsed.positional[0], error)) return UsageError(error);
  const std::string& verb = parsed.positional[1];

  if (verb == "add" || verb == "hold") {
    lab::FaultRule rule;
    if (parsed.positional.size() != 3) return UsageError("fault " + verb + " takes one operation name");
    if (!RuleOf(parsed.positional[2], verb == "hold", parsed, rule, error)) return UsageError(error);
    if (!lab::AddFaultRule(rule, error)) return Failure(error);
    std::printf("added: %s\n", lab::FormatFaultRule(rule).c_str());
    return kExitOk;
  }
  if (parsed.positional.size() != 2 || !parsed.options.empty())
    return UsageError("fault " + verb + " takes no further arguments");
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
  return UsageError("unknown fault command '" + verb + "'");
}

}  // namespace labtool
