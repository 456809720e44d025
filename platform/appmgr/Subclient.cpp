#include "platform/appmgr/Subclient.h"

#include <climits>

#include "platform/ev/EvDebug.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabSubclient.h"

bool Subclient::Value(const char* op, const std::string& key, std::string& value, bool& present) const {
  static const char* const sig = "bool Subclient::Value(const char*, const std::string&, std::string&) const";
  lab::Fault fault;
  if (lab::CheckFault(op, fault)) {
    EvDebug::Error(sig, "[%s] failed with code [%d]: %s", op, fault.code, fault.text.c_str());
    return false;
  }
  lab::SubclientRecord record;
  std::string error;
  if (lab::ReadSubclientRecord(std::to_string(subclientId_), record, error) != lab::RecordRead::kRead) {
    EvDebug::Error(sig, "Cannot read subclient [%llu]: %s", static_cast<unsigned long long>(subclientId_),
                   error.c_str());
    return false;
  }
  const auto found = record.settings.find(key);
  present = found != record.settings.end();
  if (present) value = found->second;
  return true;
}

bool Subclient::getSubclientName(std::string& name) const {
  std::string value;
  bool present = false;
  if (!Value("subclient.getSubclientName", "subclientName", value, present) || value.empty()) return false;
  name = value;
  return true;
}

bool Subclient::getItemPastExpiryDays(int32_t& days) const {
  std::string value;
  int64_t number = 0;
  bool present = false;
  if (!Value("subclient.getItemPastExpiryDays", "itemPastExpiryDays", value, present) || !present ||
      !labkv::ParseInt64InRange(value, INT32_MIN, INT32_MAX, number))
    return false;
  days = static_cast<int32_t>(number);
  return true;
}

bool Subclient::getIsKeepItemPastExpiryTime(bool& keep) const {
  std::string value;
  int64_t number = 0;
  bool present = false;
  if (!Value("subclient.getIsKeepItemPastExpiryTime", "keepItemPastExpiry", value, present)) return false;
  // Not set: items go when they expire.
  if (!present) value = "0";
  if (!labkv::ParseInt64InRange(value, 0, 1, number)) return false;
  keep = number == 1;
  return true;
}
