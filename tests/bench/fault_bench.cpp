// What asking the lab's fault table costs a stand-in operation: every operation asks on every call,
// so a table with rules for other operations must cost it little, and a rule that counts the call
// must not cost it a sync to disk.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/BenchSupport.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabFaults.h"

namespace {

// A lab folder of its own holding a fault table with a few rules, none of them for the operation
// "bench.Unnamed".
class FaultLab {
 public:
  FaultLab() {
    lab::SetRoot(root_.Path());
    for (const char* op : {"vminfo.LoadVMInfo", "jobmgr.freeStream", "bench.Named"}) {
      lab::FaultRule rule;
      rule.op = op;
      rule.code = 5;
      rule.times = lab::kFaultAlways;
      std::string error;
      lab::AddFaultRule(rule, error);
    }
  }
  ~FaultLab() { lab::SetRoot(std::string()); }
  FaultLab(const FaultLab&) = delete;
  FaultLab& operator=(const FaultLab&) = delete;

 private:
  benchsupport::ScratchFolder root_{"quarn-fault-bench"};
};

void CheckFault(benchmark::State& state, const char* op, bool fires) {
  FaultLab lab;
  for (auto _ : state) {
    lab::Fault fault;
    if (lab::CheckFault(op, fault) != fires) {
      state.SkipWithError("the table answered otherwise than expected");
      break;
    }
  }
}

void BM_CheckFaultNoRuleForTheOperation(benchmark::State& state) { CheckFault(state, "bench.Unnamed", false); }
void BM_CheckFaultRuleFires(benchmark::State& state) { CheckFault(state, "bench.Named", true); }

BENCHMARK(BM_CheckFaultNoRuleForTheOperation)->UseRealTime();
BENCHMARK(BM_CheckFaultRuleFires)->UseRealTime();

}  // namespace
