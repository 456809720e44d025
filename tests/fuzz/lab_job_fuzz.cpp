// The job record: as the lab makes it, and as a restarted failback job leaves it.
#include "fuzz/LabRecordFuzz.h"
#include "platform/lab/LabJob.h"

namespace {

std::vector<lab::JobRecord> Samples() {
  const int64_t job = fuzz::ScratchLab().jobId;
  std::string error;
  lab::JobRecord made;
  FUZZ_CHECK(lab::ReadJobRecord(job, made, error), error);
  FUZZ_CHECK(lab::UpdateJobRecord(
                 job,
                 [](lab::JobRecord& record, std::string&) {
                   record.bkpLevel = 2;
                   record.restart = "attempt 2 of the job";
                   record.failback = true;
                   record.replicationId = UINT64_C(9223372036854775807);
                   record.opType = -4;
                   record.selectedVMsOnly = true;
                   record.sourceParentBackupJob = 1001;
                   record.committable = true;
                   return true;
                 },
                 error),
             error);
  lab::JobRecord restarted;
  FUZZ_CHECK(lab::ReadJobRecord(job, restarted, error), error);
  return {made, restarted};
}

const fuzz::LabRecordFuzz<lab::JobRecord> kRecord(lab::ParseJobRecord, lab::FormatJobRecord, Samples);

}  // namespace

std::vector<std::string> FuzzSeeds() { return kRecord.Seeds(); }
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return kRecord.Check(data, size); }
