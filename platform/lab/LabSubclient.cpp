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
                                    "failbackDestinationInstanceId",
                                    "keyrealmNumber",
                                    "backupsetId",
                                    "archiveRule",
                                    "archiveDays",
                                    "relocateRule",
                                    "relocateDays",
                                    "destinationProvisioning",
                                    "expiryOverrideHours",
                                    "archiveCompareHours",
                                    "archiveImmediately",
                                    "relocateImmediately",
                                    "archivePrecedence",
                                    "powerManagement",
                                    "powerMgmtAction",
                                    "powerOffIdleVMs",
                                    "itemPastExpiryDays",
                                    "keepItemPastExpiry"};

bool IsNumericKey(const std::string& key) {
  for (const char* numeric : kNumericKeys) {
    if (key == numeric) return true;
  }
  // Types of other instances are numbers too.
  return key.compare(0, 13, "instanceType.") == 0;
}

// An archiving rule that is on says after how many days of a VM powered off it applies.
bool CheckArchivingRules(const std::map<std::string, std::string>& settings, std::string& error) {
  for (const char* rule : {"archive", "relocate"}) {
    const auto on = settings.find(std::string(rule) + "Rule");
    if (on == settings.end() || on->second == "0" || settings.count(std::string(rule) + "Days") != 0) continue;
    error = std::string(rule) + "Rule is on without " + rule + "Days: the days a VM must be powered off before it is " +
            (std::string(rule) == "archive" ? "archived" : "relocated") + " are not set";
    return false;
  }
  return true;
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
  if (!CheckArchivingRules(settings, error)) return false;
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
