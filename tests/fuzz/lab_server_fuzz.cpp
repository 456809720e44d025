// The hypervisor server record: parse, refuse without change, write and read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/lab/LabHypervisor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  lab::ServerRecord target;
  target.type = 101;
  target.hosts = {"esx1"};
  const std::string before = lab::FormatServerRecord(target);
  std::string error;
  if (!lab::ParseServerRecord(text, target, error)) {
    // A refused record leaves its target as it was.
    if (lab::FormatServerRecord(target) != before) std::abort();
    return 0;
  }
  // What was read is written and read again as the same record.
  const std::string written = lab::FormatServerRecord(target);
  lab::ServerRecord again;
  if (!lab::ParseServerRecord(written, again, error) || lab::FormatServerRecord(again) != written) std::abort();
  return 0;
}
