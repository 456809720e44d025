#include "platform/os/CPxPath.h"

#include <sys/stat.h>

std::string CPxPath::Append(const std::string& path, const std::string& part, bool trailingDelimiter) {
  std::string result = path;
  size_t skip = 0;
  while (skip < part.size() && part[skip] == '/') ++skip;
  bool partIsOnlyDelimiters = skip == part.size() && !part.empty();
  if (partIsOnlyDelimiters) {
    if (result.empty() || result.back() != '/') result += '/';
  } else if (skip < part.size()) {
    if (!result.empty() && result.back() != '/') result += '/';
    result.append(part, skip, std::string::npos);
  }
  if (trailingDelimiter && (result.empty() || result.back() != '/')) result += '/';
  return result;
}

std::string CPxPath::AppendTrailingDelimiter(const std::string& path) { return Append(path, "/", false); }

std::string CPxPath::GetFileName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string CPxPath::GetDirName(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool CPxPath::Exists(const std::string& path) {
  struct stat st;
  return !path.empty() && lstat(path.c_str(), &st) == 0;
}
