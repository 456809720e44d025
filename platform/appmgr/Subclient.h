#pragma once
#include <cstdint>
#include <string>

// A subclient by id, as VM archiving asks about it: its name and how long the items it archived are
// kept once they are gone. In the lab, keys of its record subclients/<id>.conf: subclientName,
// itemPastExpiryDays (a negative number: kept for ever; absent: cannot be read), keepItemPastExpiry
// (0/1, absent 0). Fault table
// operations: "subclient.getSubclientName", "subclient.getItemPastExpiryDays",
// "subclient.getIsKeepItemPastExpiryTime".
class Subclient {
 public:
  explicit Subclient(uint64_t subclientId) : subclientId_(subclientId) {}

  // Each false when the subclient or its value cannot be read (the output is then untouched).
  bool getSubclientName(std::string& name) const;
  bool getItemPastExpiryDays(int32_t& days) const;
  bool getIsKeepItemPastExpiryTime(bool& keep) const;

 private:
  // The value of a key of the subclient's record and whether the record has it; false when the record
  // cannot be read (logged).
  bool Value(const char* op, const std::string& key, std::string& value, bool& present) const;

  const uint64_t subclientId_;
};
