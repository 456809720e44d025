#include "platform/lab/LabVMClient.h"

#include "platform/lab/Lab.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabKeyValue.h"

namespace lab {

std::string VMClientPath(int64_t clientId) {
  if (Root().empty() || clientId < 1) return std::string();
  return Root() + "/vmclients/" + std::to_string(clientId) + ".conf";
}

RecordRead ReadVMClientRecord(int64_t clientId, VMClientRecord& record, std::string& error) {
  const std::string path = VMClientPath(clientId);
  if (path.empty()) return RecordRead::kMissing;
  return ReadRecordFile(path, record, error, [](const std::string& text, VMClientRecord& read, std::string& why) {
    VMClientRecord parsed;
    if (!labkv::Parse(text, parsed.values, why)) return false;
    read = parsed;
    return true;
  });
}

bool SetVMClientValue(int64_t clientId, const std::string& key, const std::string& value, std::string& error) {
  const std::string path = VMClientPath(clientId);
  if (path.empty() || key.empty() || !MakeDirs(Root() + "/vmclients")) {
    error = "no lab, no usable client id or no key";
    return false;
  }
  if (value != labkv::Trim(value) || value.find_first_of("\r\n") != std::string::npos ||
      key.find_first_of("=\r\n#") != std::string::npos || key != labkv::Trim(key)) {
    error = "property [" + key + "] cannot be kept as it is";
    return false;
  }
  return UpdateFileLocked(
      path,
      [&](std::string& text, bool, std::string& why) {
        std::map<std::string, std::string> values;
        if (!labkv::Parse(text, values, why)) return false;
        values[key] = value;
        text = labkv::Format(values);
        return true;
      },
      error);
}

}  // namespace lab
