// The index cache's records: a job's index record and the entries of a VM, parsed, refused without
// change, written and read back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/lab/LabIndex.h"

// A job record and entries as the index client writes them.
std::vector<std::string> FuzzSeeds() {
  lab::IndexJobRecord record;
  record.level = 2;
  record.finalized = true;
  record.vms = {{"5029aaaa-0000-4000-8000-000000000001", true}, {"vm-two", false}};
  return {lab::FormatIndexJobRecord(record),
          lab::FormatIndexEntry({"meta", "disk", "scsi0-0", "<IdxMetadata_IdxMetaData/>"}) + "\n" +
              lab::FormatIndexEntry({"extent", "a\tb", "mft", "42", "line\nbreak\\"})};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  lab::IndexJobRecord target;
  target.level = 7;
  target.vms["seed"] = true;
  const std::string before = lab::FormatIndexJobRecord(target);
  std::string error;
  if (!lab::ParseIndexJobRecord(text, target, error)) {
    FUZZ_CHECK(lab::FormatIndexJobRecord(target) == before, "a refused record changed its target");
  } else {
    const std::string written = lab::FormatIndexJobRecord(target);
    lab::IndexJobRecord again;
    FUZZ_CHECK(lab::ParseIndexJobRecord(written, again, error) && lab::FormatIndexJobRecord(again) == written,
               written);
  }

  // Every line that reads as an entry is written back as one that reads the same.
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::vector<std::string> fields = {"untouched"};
    const std::vector<std::string> seed = fields;
    if (lab::ParseIndexEntry(text.substr(start, end - start), fields)) {
      std::vector<std::string> again;
      FUZZ_CHECK(lab::ParseIndexEntry(lab::FormatIndexEntry(fields), again) && again == fields,
                 lab::FormatIndexEntry(fields));
    } else {
      FUZZ_CHECK(fields == seed, "a refused entry changed its target");
    }
    start = end + 1;
  }
  return 0;
}
