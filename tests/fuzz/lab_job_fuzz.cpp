// The job record: parse, refuse without change, write and read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/lab/LabJob.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  lab::JobRecord target;
  target.token = "seed-token";
  target.timeScale = 7;
  const std::string before = lab::FormatJobRecord(target);
  std::string error;
  if (!lab::ParseJobRecord(text, target, error)) {
    // A refused record leaves its target as it was.
    if (lab::FormatJobRecord(target) != before) std::abort();
    return 0;
  }
  // What was read is written and read again as the same record.
  const std::string written = lab::FormatJobRecord(target);
  lab::JobRecord again;
  if (!lab::ParseJobRecord(written, again, error) || lab::FormatJobRecord(again) != written) std::abort();
  return 0;
}
