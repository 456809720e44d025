// The hypervisor host record, written and read back through the model for each host of the lab's
// server.
#include "fuzz/LabRecordFuzz.h"
#include "platform/lab/LabHypervisor.h"

namespace {

std::vector<lab::HostRecord> Samples() {
  lab::ServerRecord server;
  std::string error;
  FUZZ_CHECK(lab::ReadServerRecord(lab::SampleServer(), server, error), error);
  std::vector<lab::HostRecord> samples;
  for (const std::string& host : server.hosts) {
    lab::HostRecord record;
    record.datacenter = "dc1";
    record.datacenter2 = samples.empty() ? "" : "dc1/" + host;
    record.cluster = "cluster-" + host;
    record.faultDomain = samples.empty() ? "" : "fd2";
    record.field34 = samples.empty() ? 0 : -34;
    FUZZ_CHECK(lab::WriteHostRecord(lab::SampleServer(), host, record, error), error);
    lab::HostRecord read;
    FUZZ_CHECK(lab::ReadHostRecord(lab::SampleServer(), host, read, error) == lab::RecordRead::kRead, error);
    samples.push_back(read);
  }
  return samples;
}

const fuzz::LabRecordFuzz<lab::HostRecord> kRecord(lab::ParseHostRecord, lab::FormatHostRecord, Samples);

}  // namespace

std::vector<std::string> FuzzSeeds() { return kRecord.Seeds(); }
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return kRecord.Check(data, size); }
