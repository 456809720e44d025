// The subclient record: parse, refuse without change, write and read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/lab/LabSubclient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  lab::SubclientRecord target;
  target.settings["instanceType"] = "101";
  const std::string before = lab::FormatSubclientRecord(target);
  std::string error;
  if (!lab::ParseSubclientRecord(text, target, error)) {
    // A refused record leaves its target as it was.
    if (lab::FormatSubclientRecord(target) != before) std::abort();
    return 0;
  }
  // What was read is written and read again as the same record.
  const std::string written = lab::FormatSubclientRecord(target);
  lab::SubclientRecord again;
  if (!lab::ParseSubclientRecord(written, again, error) || lab::FormatSubclientRecord(again) != written) std::abort();
  return 0;
}
