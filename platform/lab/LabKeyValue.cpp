#include "platform/lab/LabKeyValue.h"

#include <limits>

#include "platform/lab/Lab.h"

namespace labkv {

bool IsWord(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F || c == '=') return false;
  }
  return true;
}

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

bool Parse(const std::string& text, std::map<std::string, std::string>& values, std::string& error) {
  std::map<std::string, std::string> parsed;
  size_t start = 0;
  int lineNumber = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = Trim(text.substr(start, end - start));
    ++lineNumber;
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    size_t equals = line.find('=');
    if (equals == std::string::npos) {
      error = "line " + std::to_string(lineNumber) + " has no '=': " + line;
      return false;
    }
    std::string key = Trim(line.substr(0, equals));
    if (key.empty()) {
      error = "line " + std::to_string(lineNumber) + " has an empty key";
      return false;
    }
    parsed[key] = Trim(line.substr(equals + 1));
  }
  values.swap(parsed);
  return true;
}

bool ReadFile(const std::string& path, std::map<std::string, std::string>& values, std::string& error) {
  std::string text;
  if (!lab::ReadRegularFile(path, lab::kMaxRecordBytes, text, error)) return false;
  if (!Parse(text, values, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

std::string Format(const std::map<std::string, std::string>& values) {
  std::string text;
  for (const auto& entry : values) text += entry.first + "=" + entry.second + "\n";
  return text;
}

bool ParseUInt64(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (result > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
    result = result * 10 + digit;
  }
  value = result;
  return true;
}

bool ParseInt64(const std::string& text, int64_t& value) {
  bool negative = !text.empty() && text[0] == '-';
  uint64_t magnitude = 0;
  if (!ParseUInt64(negative ? text.substr(1) : text, magnitude)) return false;
  const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (negative) {
    if (magnitude > limit + 1) return false;
    value = magnitude == limit + 1 ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(magnitude);
  } else {
    if (magnitude > limit) return false;
    value = static_cast<int64_t>(magnitude);
  }
  return true;
}

bool ParseInt64InRange(const std::string& text, int64_t min, int64_t max, int64_t& value) {
  int64_t parsed = 0;
  if (!ParseInt64(text, parsed) || parsed < min || parsed > max) return false;
  value = parsed;
  return true;
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    std::string item = Trim(text.substr(start, comma - start));
    if (!item.empty()) items.push_back(item);
    start = comma + 1;
  }
  return items;
}

std::string Take(std::map<std::string, std::string>& values, const std::string& key) {
  auto it = values.find(key);
  if (it == values.end()) return std::string();
  std::string value = it->second;
  values.erase(it);
  return value;
}

bool TakeNumber(std::map<std::string, std::string>& values, const std::string& key, int64_t min, int64_t max,
                int64_t& number, std::string& error) {
  std::string text = Take(values, key);
  if (text.empty() || ParseInt64InRange(text, min, max, number)) return true;
  error = "value of " + key + " [" + text + "] is not a number from " + std::to_string(min) + " to " +
          std::to_string(max);
  return false;
}

}  // namespace labkv
