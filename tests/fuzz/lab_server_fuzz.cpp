// The hypervisor server record, as the lab makes it.
#include "fuzz/LabRecordFuzz.h"
#include "platform/lab/LabHypervisor.h"

namespace {

std::vector<lab::ServerRecord> Samples() {
  lab::ServerRecord record;
  std::string error;
  FUZZ_CHECK(lab::ReadServerRecord(lab::SampleServer(), record, error), error);
  return {record};
}

const fuzz::LabRecordFuzz<lab::ServerRecord> kRecord(lab::ParseServerRecord, lab::FormatServerRecord, Samples);

}  // namespace

std::vector<std::string> FuzzSeeds() { return kRecord.Seeds(); }
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return kRecord.Check(data, size); }
