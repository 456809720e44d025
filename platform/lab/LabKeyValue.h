#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/lab/Lab.h"
#include "platform/lab/LabFiles.h"

// The key=value records of the lab (job records, subclient records, machines, hypervisor records): one setting a line,
// '#' starts a comment line, blank lines are skipped, blanks around key and value are dropped and a
// later duplicate wins.
namespace labkv {

// False with a reason for a line that has no '=' or an empty key; `values` is then untouched.
bool Parse(const std::string& text, std::map<std::string, std::string>& values, std::string& error);
// Reads and parses a file; false with a reason when it cannot be read or parsed.
bool ReadFile(const std::string& path, std::map<std::string, std::string>& values, std::string& error);
// The settings as file text, in key order.
std::string Format(const std::map<std::string, std::string>& values);

// Strict decimal numbers: optional '-' (signed form only), digits only, no overflow.
bool ParseInt64(const std::string& text, int64_t& value);
bool ParseUInt64(const std::string& text, uint64_t& value);
// A strict decimal number from min to max; `value` is untouched otherwise.
bool ParseInt64InRange(const std::string& text, int64_t min, int64_t max, int64_t& value);
// Splits a comma-separated list, trimming blanks and dropping empty entries.
std::vector<std::string> SplitList(const std::string& text);
std::string Trim(const std::string& text);
// One word of a line of words: not empty, without blanks, control characters or '='.
bool IsWord(const std::string& text);

// Takes a key out of parsed values (the record keeps what is left as its other keys); empty when absent.
std::string Take(std::map<std::string, std::string>& values, const std::string& key);
// Takes a number from min to max; an absent key leaves `number` as it is. False with the reason.
bool TakeNumber(std::map<std::string, std::string>& values, const std::string& key, int64_t min, int64_t max,
                int64_t& number, std::string& error);

// The text of a record, refused (false with a reason) when it would not read back as the same
// record: a value with a line break, blanks at its ends, a key with '='...
template <typename Record, typename Format, typename Parse>
bool StorableText(const Record& record, Format format, Parse parse, std::string& text, std::string& error) {
  text = format(record);
  Record again;
  std::string why;
  if (parse(text, again, why) && format(again) == text) return true;
  error = "the record has a value that cannot be stored as it is" + (why.empty() ? std::string() : ": " + why);
  return false;
}

// Replaces a whole record file under its lock (its folder made as needed), refusing a record that
// would not read back the same.
template <typename Record, typename Format, typename Parse>
bool WriteRecordFile(const std::string& path, const Record& record, Format format, Parse parse, std::string& error) {
  std::string text;
  if (!StorableText(record, format, parse, text, error)) return false;
  if (path.empty() || !lab::MakeDirs(path.substr(0, path.rfind('/')))) {
    error = "no lab, or a name that is not usable";
    return false;
  }
  return lab::ReplaceFileLocked(path, text, error);
}

}  // namespace labkv
