#include "platform/jobmgr/JobFolder.h"

#include <cstdio>

#include "platform/lab/Lab.h"

namespace jobfolder {

std::string FileOf(int64_t jobId, const std::string& name) {
  if (jobId <= 0 || lab::Root().empty()) return std::string();
  return lab::JobDir(jobId) + "/" + name;
}

std::string OneLine(const std::string& text) {
  std::string line = text;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::string text;
  if (path.empty() || !lab::ReadFile(path, text)) return lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace jobfolder
