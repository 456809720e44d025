// The fault table: rules added through the model with every selector, then counted by calls that
// match and fire, so that the counters are the table's own.
#include "fuzz/LabRecordFuzz.h"
#include "platform/lab/LabFaults.h"

namespace {

lab::FaultRule Rule(const std::string& op, int code) {
  lab::FaultRule rule;
  rule.op = op;
  rule.code = code;
  return rule;
}

std::vector<lab::FaultTable> Samples() {
  std::vector<lab::FaultRule> rules = {Rule("vminfo.LoadVMInfo", 22), Rule("jobmgr.freeStream", -1),
                                       Rule("copy.CopySingleFile", 2147483647)};
  rules[0].vm = "vm02";
  rules[0].after = 1;
  rules[0].times = lab::kFaultAlways;
  rules[0].eventId = 0x1A0000FF;
  rules[0].text = "The VM = vm02 cannot be read  (twice blank)";
  rules[1].client = "proxyA";
  rules[1].stream = "7";
  rules[1].disk = "scsi0:1";
  rules[1].times = lab::kMaxFaultCount;
  rules[2].client = "coordinator";
  rules[2].after = lab::kMaxFaultCount;
  std::string error;
  lab::FaultTable table;
  for (const lab::FaultRule& rule : rules) FUZZ_CHECK(lab::AddFaultRule(rule, error), error);
  FUZZ_CHECK(lab::ReadFaultTable(table, error), error);
  std::vector<lab::FaultTable> samples = {table};
  lab::FaultCall call;
  call.op = "vminfo.LoadVMInfo";
  call.vm = "VM02";
  lab::Fault fault;
  for (int i = 0; i < 3; ++i) lab::CheckFault(call, fault);
  FUZZ_CHECK(lab::ReadFaultTable(table, error), error);
  samples.push_back(table);
  return samples;
}

const fuzz::LabRecordFuzz<lab::FaultTable> kRecord(lab::ParseFaultTable, lab::FormatFaultTable, Samples);

}  // namespace

std::vector<std::string> FuzzSeeds() { return kRecord.Seeds(); }
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return kRecord.Check(data, size); }
