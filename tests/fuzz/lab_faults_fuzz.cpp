// The fault table: parse, refuse without change, write and read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/lab/LabFaults.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  lab::FaultTable target;
  target.rules.resize(1);
  target.rules[0].op = "seed";
  target.rules[0].code = 1;
  const std::string before = lab::FormatFaultTable(target);
  std::string error;
  if (!lab::ParseFaultTable(text, target, error)) {
    // A refused record leaves its target as it was.
    if (lab::FormatFaultTable(target) != before) std::abort();
    return 0;
  }
  // What was read is written and read again as the same record.
  const std::string written = lab::FormatFaultTable(target);
  lab::FaultTable again;
  if (!lab::ParseFaultTable(written, again, error) || lab::FormatFaultTable(again) != written) std::abort();
  return 0;
}
