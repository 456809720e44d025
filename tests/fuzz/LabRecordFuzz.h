#pragma once
// What the fuzz targets of the lab's records share. Every kind of record has its reader and writer in
// platform/lab; its target hands the reader arbitrary text and checks that
//  - a refused text gives a reason and leaves the record it was read into as it was;
//  - an accepted text reads the same whatever that record held before (nothing of an earlier record
//    survives into the new one);
//  - what was read is written, and the written text reads back as the same record.
// The seeds are records of a lab the system makes itself (LabCreate) in the fuzz scratch folder, read
// back through the model and written out; reading starts from the first of them.
//
// A target names the record's reader, writer and samples:
//   const fuzz::LabRecordFuzz<lab::JobRecord> kRecord(lab::ParseJobRecord, lab::FormatJobRecord, Samples);
//   std::vector<std::string> FuzzSeeds() { return kRecord.Seeds(); }
//   extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return kRecord.Check(data, size); }
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabCreate.h"

namespace fuzz {

// The lab made once in the scratch folder (with its own time scale and machine, so that no value is
// left at its default); the process's lab is then this one.
inline const lab::LabPlan& ScratchLab() {
  static const lab::LabPlan* plan = [] {
    auto* made = new lab::LabPlan();
    made->vms = 4;
    made->clients = {"coordinator", "proxyA"};
    made->jobId = 2002;
    made->timeScale = 60;
    made->machine.cpus = 16;
    made->machine.memoryMB = 65536;
    made->machine.os = "linux";
    int kept = 0;
    std::string error;
    if (!lab::CreateLab(ScratchDir() + "/lab", *made, kept, error)) Fail("CreateLab", error);
    return made;
  }();
  return *plan;
}

template <typename Record>
class LabRecordFuzz {
 public:
  using Parse = bool (*)(const std::string&, Record&, std::string&);
  using Format = std::string (*)(const Record&);
  // Reads the samples from the scratch lab; called once, on first use.
  using Samples = std::vector<Record> (*)();

  LabRecordFuzz(Parse parse, Format format, Samples samples) : parse_(parse), format_(format), samples_(samples) {}

  std::vector<std::string> Seeds() const {
    std::vector<std::string> seeds;
    for (const Record& sample : Read()) seeds.push_back(format_(sample));
    return seeds;
  }

  int Check(const uint8_t* data, size_t size) const {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Record target = Read().front();
    const std::string before = format_(target);
    std::string error;
    if (!parse_(text, target, error)) {
      FUZZ_CHECK(!error.empty(), "refused without a reason");
      FUZZ_CHECK(format_(target) == before, "a refused text changed the record:\n" + format_(target));
      return 0;
    }
    const std::string written = format_(target);
    Record fresh;
    FUZZ_CHECK(parse_(text, fresh, error), "accepted into one record, refused into another: " + error);
    FUZZ_CHECK(format_(fresh) == written, "the record read depends on what it was read into:\n" + written +
                                              "\n" + format_(fresh));
    Record again;
    FUZZ_CHECK(parse_(written, again, error), "the written record does not read back: " + error + "\n" + written);
    FUZZ_CHECK(format_(again) == written, "the written record reads back otherwise:\n" + written + "\n" +
                                              format_(again));
    return 0;
  }

 private:
  const std::vector<Record>& Read() const {
    if (!read_) {
      ScratchLab();
      read_ = std::make_unique<std::vector<Record>>(samples_());
      FUZZ_CHECK(!read_->empty(), "no sample record");
    }
    return *read_;
  }

  const Parse parse_;
  const Format format_;
  const Samples samples_;
  mutable std::unique_ptr<std::vector<Record>> read_;
};

}  // namespace fuzz
