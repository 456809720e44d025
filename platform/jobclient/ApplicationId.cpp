#include "platform/jobclient/ApplicationId.h"

#include <cstdint>

#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabSubclient.h"

std::string ApplicationId::getClient() const {
  const size_t colon = text_.find(':');
  uint64_t type = 0, number = 0;
  if (colon == std::string::npos || !labkv::ParseUInt64(text_.substr(0, colon), type) ||
      !labkv::ParseUInt64(text_.substr(colon + 1), number))
    return std::string();
  lab::SubclientRecord record;
  std::string error;
  if (lab::ReadSubclientRecord(std::to_string(number), record, error) != lab::RecordRead::kRead) return std::string();
  auto it = record.settings.find("clientName");
  return it == record.settings.end() ? std::string() : it->second;
}
