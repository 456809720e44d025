// The VM description: every sample VM of the lab, as the lab makes it.
#include <cstdio>

#include "fuzz/LabRecordFuzz.h"
#include "platform/lab/LabHypervisor.h"

namespace {

std::vector<lab::VMDescription> Samples() {
  std::vector<lab::VMDescription> samples;
  for (int64_t i = 1; i <= fuzz::ScratchLab().vms; ++i) {
    // The lab names its sample VMs vm01, vm02 ...
    char name[32];
    std::snprintf(name, sizeof name, "vm%02lld", static_cast<long long>(i));
    lab::VMDescription vm;
    FUZZ_CHECK(lab::FindVM(lab::SampleServer(), name, vm), name);
    samples.push_back(vm);
  }
  return samples;
}

const fuzz::LabRecordFuzz<lab::VMDescription> kRecord(lab::ParseVMDescription, lab::FormatVMDescription, Samples);

}  // namespace

std::vector<std::string> FuzzSeeds() { return kRecord.Seeds(); }
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return kRecord.Check(data, size); }
