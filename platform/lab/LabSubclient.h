#pragma once
#include <map>
#include <string>

#include "platform/lab/LabFiles.h"

// The application manager's record of a subclient: subclients/<appId>.conf, key=value lines ('#'
// comments, blank lines, blanks around keys and values ignored, a later duplicate wins). The keys
// and what they mean belong to the application manager (platform/appmgr/vsAppMgr.h); the record only
// checks that the keys which hold numbers hold decimal numbers, so a typo fails the job's set-up
// instead of silently reading as 0.
namespace lab {

struct SubclientRecord {
  std::map<std::string, std::string> settings;
};

bool ParseSubclientRecord(const std::string& text, SubclientRecord& record, std::string& error);
std::string FormatSubclientRecord(const SubclientRecord& record);
// kMissing when there is no record of the id (or the id is no usable name), kUnreadable when the
// file cannot be read, kMalformed when it does not parse; `record` changes only on kRead.
RecordRead ReadSubclientRecord(const std::string& appId, SubclientRecord& record, std::string& error);
bool WriteSubclientRecord(const std::string& appId, const SubclientRecord& record, std::string& error);
// Sets one key of an existing or new record under its lock.
bool SetSubclientValue(const std::string& appId, const std::string& key, const std::string& value,
                       std::string& error);

}  // namespace lab
