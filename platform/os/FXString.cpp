#include "platform/os/FXString.h"

#include <strings.h>

#include <algorithm>
#include <cctype>

int FXString::CompareNoCase(const char* a, const char* b) { return strcasecmp(a ? a : "", b ? b : ""); }

int FXString::CompareNoCase(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str());
}

std::string FXString::Trim(const std::string& text, const std::string& chars) {
  size_t first = text.find_first_not_of(chars);
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(chars);
  return text.substr(first, last - first + 1);
}

size_t FXString::FindString(const std::string& text, const std::string& sub, bool caseInsensitive) {
  if (!caseInsensitive) return text.find(sub);
  return FXString::ToLower(text).find(FXString::ToLower(sub));
}

size_t FXString::Split(const std::string& text, const std::string& separator, std::vector<std::string>& parts,
                       int flags) {
  parts.clear();
  if (text.empty()) return 0;
  if (separator.empty()) {
    parts.push_back(text);
    return 1;
  }
  size_t start = 0;
  for (;;) {
    size_t at = text.find(separator, start);
    if (at == std::string::npos) {
      parts.push_back(text.substr(start));
      break;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + separator.size();
  }
  return parts.size();
}

std::string FXString::ToLower(const std::string& text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return result;
}

std::string FXString::ToUpper(const std::string& text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return result;
}

std::string FXString::Format(const char* format, ...) {
  CPxString text;
  va_list args;
  va_start(args, format);
  text.FormatV(format, args);
  va_end(args);
  return text.str();
}
