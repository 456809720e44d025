// The machine record of a lab client: parse, refuse without change, write and read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/lab/LabMachine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  lab::MachineRecord target;
  target.hostName = "seed";
  target.addresses = {{"10.0.0.1", "255.0.0.0"}};
  const std::string before = lab::FormatMachineRecord(target);
  std::string error;
  if (!lab::ParseMachineRecord(text, target, error)) {
    // A refused record leaves its target as it was.
    if (lab::FormatMachineRecord(target) != before) std::abort();
    return 0;
  }
  // What was read is written and read again as the same record.
  const std::string written = lab::FormatMachineRecord(target);
  lab::MachineRecord again;
  if (!lab::ParseMachineRecord(written, again, error) || lab::FormatMachineRecord(again) != written) std::abort();
  return 0;
}
