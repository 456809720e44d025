// The subclient record: as the lab makes it, and with a setting changed through the model.
#include "fuzz/LabRecordFuzz.h"
#include "platform/lab/LabSubclient.h"

namespace {

std::vector<lab::SubclientRecord> Samples() {
  const std::string& subclient = fuzz::ScratchLab().subclient;
  std::string error;
  lab::SubclientRecord made, changed;
  FUZZ_CHECK(lab::ReadSubclientRecord(subclient, made, error) == lab::RecordRead::kRead, error);
  FUZZ_CHECK(lab::SetSubclientValue(subclient, "maxStreams", "18", error), error);
  FUZZ_CHECK(lab::SetSubclientValue(subclient, "memberServers", "coordinator, proxyA", error), error);
  FUZZ_CHECK(lab::ReadSubclientRecord(subclient, changed, error) == lab::RecordRead::kRead, error);
  return {made, changed};
}

const fuzz::LabRecordFuzz<lab::SubclientRecord> kRecord(lab::ParseSubclientRecord, lab::FormatSubclientRecord,
                                                        Samples);

}  // namespace

std::vector<std::string> FuzzSeeds() { return kRecord.Seeds(); }
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return kRecord.Check(data, size); }
