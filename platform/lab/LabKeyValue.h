#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

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

}  // namespace labkv
