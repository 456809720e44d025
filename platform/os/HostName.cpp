#include "platform/os/HostName.h"

#include <climits>
#include <vector>

#include "platform/lab/LabKeyValue.h"

bool DemangleHostName(const std::string& text, std::string& hostName, std::string& clientName, int& first,
                      int& second) {
  hostName.clear();
  clientName.clear();
  first = second = 0;
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t star = text.find('*', start);
    parts.push_back(text.substr(start, star == std::string::npos ? std::string::npos : star - start));
    if (star == std::string::npos) break;
    start = star + 1;
  }
  if (parts.size() > 4 || parts[0].empty()) return false;
  int64_t numbers[2] = {0, 0};
  for (size_t i = 2; i < parts.size(); ++i)
    if (!labkv::ParseInt64InRange(parts[i], INT_MIN, INT_MAX, numbers[i - 2])) return false;
  clientName = parts[0];
  hostName = parts.size() > 1 && !parts[1].empty() ? parts[1] : parts[0];
  first = static_cast<int>(numbers[0]);
  second = static_cast<int>(numbers[1]);
  return true;
}
