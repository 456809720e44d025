// The machine record of a lab client: each client's as the lab makes it, and a proxy that is a VM
// with addresses of both families.
#include "fuzz/LabRecordFuzz.h"
#include "platform/lab/LabMachine.h"

namespace {

std::vector<lab::MachineRecord> Samples() {
  std::vector<lab::MachineRecord> samples;
  std::string error;
  for (const std::string& client : fuzz::ScratchLab().clients) {
    lab::MachineRecord record;
    FUZZ_CHECK(lab::ReadMachineRecord(client, record, error) == lab::RecordRead::kRead, error);
    samples.push_back(record);
  }
  const std::string& proxy = fuzz::ScratchLab().clients.back();
  FUZZ_CHECK(lab::UpdateMachineRecord(
                 proxy,
                 [](lab::MachineRecord& record, std::string& why) {
                   record.hypervisorHost = "esx2";
                   record.vmGuid = "50290000-0000-4000-8000-0000000000ff";
                   return lab::ParseAddressList("10.1.2.3/255.255.0.0,fe80::1/ffff:ffff:ffff:ffff::", record.addresses,
                                                why);
                 },
                 error),
             error);
  lab::MachineRecord vm;
  FUZZ_CHECK(lab::ReadMachineRecord(proxy, vm, error) == lab::RecordRead::kRead, error);
  samples.push_back(vm);
  return samples;
}

const fuzz::LabRecordFuzz<lab::MachineRecord> kRecord(lab::ParseMachineRecord, lab::FormatMachineRecord, Samples);

}  // namespace

std::vector<std::string> FuzzSeeds() { return kRecord.Seeds(); }
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return kRecord.Check(data, size); }
