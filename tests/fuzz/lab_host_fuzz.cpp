// The hypervisor host record: parse, refuse without change, write and read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/lab/LabHypervisor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  lab::HostRecord target;
  target.cluster = "seed";
  const std::string before = lab::FormatHostRecord(target);
  std::string error;
  if (!lab::ParseHostRecord(text, target, error)) {
    // A refused record leaves its target as it was.
    if (lab::FormatHostRecord(target) != before) std::abort();
    return 0;
  }
  // What was read is written and read again as the same record.
  const std::string written = lab::FormatHostRecord(target);
  lab::HostRecord again;
  if (!lab::ParseHostRecord(written, again, error) || lab::FormatHostRecord(again) != written) std::abort();
  return 0;
}
