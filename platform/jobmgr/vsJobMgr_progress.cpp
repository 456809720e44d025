#include <algorithm>

#include "platform/jobmgr/JobFolder.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"

bool vsJobMgr::setVMStatusProgressPercentage(const std::string& guid, int percent) {
  const std::string path = JobFile("progress.log");
  return !path.empty() && lab::AppendLineLocked(path, jobfolder::OneLine(guid) + " " + std::to_string(percent));
}

bool vsJobMgr::AddCleanupString(const std::string& text) {
  const std::string path = JobFile("cleanup.txt");
  return !path.empty() && lab::AppendLineLocked(path, "+" + jobfolder::OneLine(text));
}

bool vsJobMgr::RemoveCleanupString(const std::string& text) {
  const std::string path = JobFile("cleanup.txt");
  return !path.empty() && lab::AppendLineLocked(path, "-" + jobfolder::OneLine(text));
}

std::vector<std::string> vsJobMgr::ReadProgressLines(int64_t jobId) {
  const std::string path = jobfolder::FileOf(jobId, "progress.log");
  return path.empty() ? std::vector<std::string>() : jobfolder::ReadLines(path);
}

std::vector<std::string> vsJobMgr::ReadCleanupStrings(int64_t jobId) {
  std::vector<std::string> standing;
  const std::string path = jobfolder::FileOf(jobId, "cleanup.txt");
  if (path.empty()) return standing;
  for (const std::string& line : jobfolder::ReadLines(path)) {
    if (line.empty()) continue;
    const std::string text = line.substr(1);
    if (line[0] == '+') {
      standing.push_back(text);
    } else if (line[0] == '-') {
      auto it = std::find(standing.begin(), standing.end(), text);
      if (it != standing.end()) standing.erase(it);
    }
  }
  return standing;
}
