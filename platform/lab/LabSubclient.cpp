#include "platform/lab/LabSubclient.h"

#include "platform/lab/Lab.h"
#include "platform/lab/LabKeyValue.h"

namespace lab {
namespace {

const char* const kNumericKeys[] = {"instanceType",
                                    "instanceId",
                                    "keyrealmId",
                                    "maxStreams",
                                    "transportMode",
                                    "meditech",
                                    "proxyServerDetails",
                                    "honorTaskOptionsForLVM",
                                    "collectFileDetails",
                                    "collectFileDetailsForSnap",
                                    "indexingV2",
                                    "appAware",
                                    "appValidation",
                                    "failbackReplicationId",
                                    "failbackSourceInstanceId",
                                    "failbackDestinationInstanceId"};

bool IsNumericKey(const std::string& key) {
  for (const char* numeric : kNumericKeys) {
    if (key == numeric) return true;
  }
  // Types of other instances are numbers too.
  return key.compare(0, 13, "instanceType.") == 0;
}

}  // namespace

bool ParseSubclientRecord(const std::string& text, SubclientRecord& record, std::string& error) {
  std::map<std::string, std::string> settings;
  if (!labkv::Parse(text, settings, error)) return false;
  for (const auto& entry : settings) {
    int64_t number = 0;
    if (IsNumericKey(entry.first) && !labkv::ParseInt64(entry.second, number)) {
      error = "value of " + entry.first + " is not a number: " + entry.second;
      return false;
    }
  }
  record.settings.swap(settings);
  return true;
}

std::string FormatSubclientRecord(const SubclientRecord& record) { return labkv::Format(record.settings); }

RecordRead ReadSubclientRecord(const std::string& appId, SubclientRecord& record, std::string& error) {
  if (Root().empty() || !IsSafeComponent(appId + ".conf")) {
    error = "no lab, or application id [" + appId + "] is not a usable name";
    return RecordRead::kMissing;
  }
  const std::string path = SubclientConfPath(appId);
  std::string text;
  switch (ReadOptionalFile(path, kMaxRecordBytes, text, error)) {
    case ReadResult::kMissing:
      error = "subclient settings " + path + " do not exist";
      return RecordRead::kMissing;
    case ReadResult::kFailed:
      error = "subclient settings " + path + " cannot be read: " + error;
      return RecordRead::kUnreadable;
    case ReadResult::kRead:
      break;
  }
  if (!ParseSubclientRecord(text, record, error)) {
    error = path + ": " + error;
    return RecordRead::kMalformed;
  }
  return RecordRead::kRead;
}

bool WriteSubclientRecord(const std::string& appId, const SubclientRecord& record, std::string& error) {
  std::string text;
  if (!labkv::StorableText(record, FormatSubclientRecord, ParseSubclientRecord, text, error)) return false;
  if (Root().empty() || !IsSafeComponent(appId + ".conf") || !MakeDirs(SubclientsDir())) {
    error = "no lab, or application id [" + appId + "] is not a usable name";
    return false;
  }
  return ReplaceFileLocked(SubclientConfPath(appId), text, error);
}

bool SetSubclientValue(const std::string& appId, const std::string& key, const std::string& value,
                       std::string& error) {
  if (Root().empty() || !IsSafeComponent(appId + ".conf") || !MakeDirs(SubclientsDir())) {
    error = "no lab, or application id [" + appId + "] is not a usable name";
    return false;
  }
  return UpdateFileLocked(
      SubclientConfPath(appId),
      [&](std::string& text, bool exists, std::string& why) {
        SubclientRecord record;
        if (exists && !ParseSubclientRecord(text, record, why)) return false;
        record.settings[key] = value;
        return labkv::StorableText(record, FormatSubclientRecord, ParseSubclientRecord, text, why);
      },
      error);
}

}  // namespace lab
