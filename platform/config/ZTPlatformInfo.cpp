#include "platform/config/ZTPlatformInfo.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "platform/ev/EvDebug.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabSettings.h"

namespace {

const char* const kSigSetString =
    "bool ZTPlatformInfo::setString(const std::string&, const std::string&, const std::string&) const";

bool ParseUnsigned(const std::string& digits, int base, unsigned long long& out) {
  if (digits.empty()) return false;
  for (char c : digits) {
    bool ok = base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                         : std::isdigit(static_cast<unsigned char>(c)) != 0;
    if (!ok) return false;
  }
  errno = 0;
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(digits.c_str(), &end, base);
  if (errno == ERANGE || end == nullptr || *end != '\0') return false;
  out = parsed;
  return true;
}

bool ParseNumber(const std::string& text, unsigned long long& out) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    return ParseUnsigned(text.substr(2), 16, out);
  bool negative = false;
  std::string digits = text;
  if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
    negative = digits[0] == '-';
    digits.erase(0, 1);
  }
  unsigned long long magnitude = 0;
  if (!ParseUnsigned(digits, 10, magnitude)) return false;
  if (negative) {
    // Down to the most negative 64-bit number; anything beyond it does not fit.
    if (magnitude > (1ULL << 63)) return false;
    out = 0ULL - magnitude;
  } else {
    out = magnitude;
  }
  return true;
}

}  // namespace

ZTPlatformInfo::ZTPlatformInfo() : focus_(lab::FocusClient()) {}

bool ZTPlatformInfo::setFocus(const std::string& client) {
  if (!lab::IsSafeComponent(client)) return false;
  focus_ = client;
  return true;
}

std::string ZTPlatformInfo::sectionPath(const std::string& section) const { return lab::SettingsPath(focus_, section); }

bool ZTPlatformInfo::lookup(const std::string& section, const std::string& key, std::string& value) const {
  return !key.empty() && lab::ReadSetting(focus_, section, key, value);
}

int ZTPlatformInfo::getNumber(const std::string& section, const std::string& key,
                              unsigned long long* value) const {
  if (value == nullptr) return 0;
  std::string text;
  unsigned long long number = 0;
  if (!lookup(section, key, text) || !ParseNumber(text, number)) return 0;
  *value = number;
  return 1;
}

int ZTPlatformInfo::getNumber(const std::string& section, const std::string& key, unsigned int* value) const {
  if (value == nullptr) return 0;
  unsigned long long wide = 0;
  int result = getNumber(section, key, &wide);
  if (result != 0) *value = static_cast<unsigned int>(wide & 0xFFFFFFFFULL);
  return result;
}

int ZTPlatformInfo::getString(const std::string& section, const std::string& key, std::string* value) const {
  if (value == nullptr) return 0;
  std::string text;
  if (!lookup(section, key, text)) return 0;
  *value = text;
  return 1;
}

int ZTPlatformInfo::getBoolean(const std::string& section, const std::string& key, bool* value) const {
  if (value == nullptr) return 0;
  std::string text;
  if (!lookup(section, key, text)) return 0;
  const char* const trueWords[] = {"true", "yes", "on"};
  const char* const falseWords[] = {"false", "no", "off"};
  for (const char* word : trueWords) {
    if (strcasecmp(text.c_str(), word) == 0) {
      *value = true;
      return 1;
    }
  }
  for (const char* word : falseWords) {
    if (strcasecmp(text.c_str(), word) == 0) {
      *value = false;
      return 1;
    }
  }
  unsigned long long number = 0;
  if (!ParseNumber(text, number)) return 0;
  *value = number != 0;
  return 1;
}

int ZTPlatformInfo::getStringList(const std::string& section, const std::string& key,
                                  std::vector<std::string>* values, char separator) const {
  if (values == nullptr) return 0;
  std::string text;
  if (!lookup(section, key, text)) return 0;
  std::vector<std::string> entries;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    std::string entry = labkv::Trim(text.substr(start, end - start));
    if (!entry.empty()) entries.push_back(entry);
    start = end + 1;
  }
  *values = entries;
  return 1;
}

bool ZTPlatformInfo::setString(const std::string& section, const std::string& key,
                               const std::string& value) const {
  lab::Fault fault;
  std::string error;
  if (lab::CheckFault("config.setString", fault))
    error = fault.text;
  else if (lab::WriteSetting(focus_, section, key, value, error))
    return true;
  EvDebug::Error(kSigSetString, "Setting [%s] of section [%s] was not written: %s", key.c_str(), section.c_str(),
                 error.c_str());
  return false;
}

bool ZTPlatformInfo::setNumber(const std::string& section, const std::string& key,
                               unsigned long long value) const {
  return setString(section, key, std::to_string(value));
}

unsigned ZTPlatformInfo::getZTPlatformType() const {
  unsigned int type = kPlatformClient | kPlatformMediaAgent;
  getNumber("Base", "nPlatformType", &type);
  return type;
}
