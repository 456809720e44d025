// The VM description: parse, refuse without change, write and read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/lab/LabHypervisor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  lab::VMDescription target;
  target.name = "seed";
  target.disks.resize(1);
  const std::string before = lab::FormatVMDescription(target);
  std::string error;
  if (!lab::ParseVMDescription(text, target, error)) {
    // A refused record leaves its target as it was.
    if (lab::FormatVMDescription(target) != before) std::abort();
    return 0;
  }
  // What was read is written and read again as the same record.
  const std::string written = lab::FormatVMDescription(target);
  lab::VMDescription again;
  if (!lab::ParseVMDescription(written, again, error) || lab::FormatVMDescription(again) != written) std::abort();
  return 0;
}
