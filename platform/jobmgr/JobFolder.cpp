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

namespace {

std::string EscapeArgument(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\\': escaped += "\\\\"; break;
      case '|': escaped += "\\|"; break;
      case '\n': escaped += "\\n"; break;
      case '\r': escaped += "\\r"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

}  // namespace

std::string IdWithArguments(uint32_t id, const ArgumentInfo& arguments) {
  char head[16];
  std::snprintf(head, sizeof(head), "0x%08X", id);
  std::string line(head);
  const std::vector<EvArgument>& list = arguments.Arguments();
  for (size_t i = 0; i < list.size(); ++i) {
    line += i == 0 ? ' ' : '|';
    line += EscapeArgument(list[i].ToText());
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
