#include "platform/lab/LabTasks.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <sstream>

#include "platform/lab/Lab.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/os/ZtSync.h"

namespace lab {
namespace {

// The text of a one-line record without its line end and blanks.
std::string OneNumber(const std::string& text) {
  std::string line = text;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return labkv::Trim(line);
}

std::string TasksDir() { return Root().empty() ? std::string() : Root() + "/tasks"; }

// Hands out the next number of a counter file (first: `first`), changed under the file's lock.
bool NextNumber(const std::string& path, int64_t first, int64_t& number, std::string& error) {
  if (path.empty() || !MakeDirs(path.substr(0, path.rfind('/')))) {
    error = "no lab";
    return false;
  }
  int64_t taken = 0;
  const bool ok = UpdateFileLocked(
      path,
      [&](std::string& text, bool exists, std::string& why) {
        int64_t next = first;
        if (exists && !labkv::ParseInt64InRange(OneNumber(text), first, INT64_MAX - 1, next)) {
          why = path + " does not hold a number";
          return false;
        }
        taken = next;
        text = std::to_string(next + 1) + "\n";
        return true;
      },
      error);
  if (ok) number = taken;
  return ok;
}

}  // namespace

int64_t AllocateServerJobId(std::string& error) {
  int64_t id = 0;
  return NextNumber(Root().empty() ? std::string() : JobsDir() + "/nextid", kFirstServerJobId, id, error) ? id : 0;
}

bool SpoolTaskRequest(const std::string& xml, int64_t& number, std::string& error) {
  const std::string dir = TasksDir();
  if (!NextNumber(dir.empty() ? dir : dir + "/next", 1, number, error)) return false;
  const std::string path = dir + "/" + std::to_string(number) + ".xml";
  // Created for its owner alone and never over an existing file.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  const bool ok = WriteAll(fd, xml) && ZtSyncFile(fd) == 0 && SyncFolder(path);
  close(fd);
  if (!ok) {
    unlink(path.c_str());
    error = "cannot write " + path;
  }
  return ok;
}

std::vector<std::string> TaskRequestFiles() {
  std::vector<std::string> files;
  const std::string dir = TasksDir();
  if (dir.empty()) return files;
  for (int64_t n = 1;; ++n) {
    const std::string path = dir + "/" + std::to_string(n) + ".xml";
    if (access(path.c_str(), F_OK) != 0) break;
    files.push_back(path);
  }
  return files;
}

bool SetJobState(int64_t jobId, int64_t state, std::string& error) {
  const std::string path = JobFile(jobId, "state");
  if (path.empty() || !MakeDirs(JobDir(jobId))) {
    error = "no lab, or job id " + std::to_string(jobId) + " is not usable";
    return false;
  }
  return ReplaceFileLocked(path, std::to_string(state) + "\n", error);
}

bool ReadJobState(int64_t jobId, int64_t& state, std::string& error) {
  const std::string path = JobFile(jobId, "state");
  std::string text;
  if (path.empty() || !ReadRegularFile(path, kMaxRecordBytes, text, error)) {
    if (path.empty()) error = "no lab, or job id " + std::to_string(jobId) + " is not usable";
    return false;
  }
  if (!labkv::ParseInt64(OneNumber(text), state)) {
    error = path + " does not hold a number";
    return false;
  }
  return true;
}

bool WriteChildJobs(int64_t parentJobId, const std::vector<ChildJobLink>& children, std::string& error) {
  const std::string path = JobFile(parentJobId, "children");
  if (path.empty() || !MakeDirs(JobDir(parentJobId))) {
    error = "no lab, or job id " + std::to_string(parentJobId) + " is not usable";
    return false;
  }
  std::string text;
  for (const ChildJobLink& child : children)
    text += std::to_string(child.childJobId) + " " + std::to_string(child.appNumber) + "\n";
  return ReplaceFileLocked(path, text, error);
}

bool ReadChildJobs(int64_t parentJobId, std::vector<ChildJobLink>& children, std::string& error) {
  const std::string path = JobFile(parentJobId, "children");
  if (path.empty()) {
    error = "no lab, or job id " + std::to_string(parentJobId) + " is not usable";
    return false;
  }
  std::string text;
  switch (ReadOptionalFile(path, kMaxRecordBytes, text, error)) {
    case ReadResult::kMissing:
      children.clear();
      return true;
    case ReadResult::kFailed:
      return false;
    case ReadResult::kRead:
      break;
  }
  std::vector<ChildJobLink> read;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (labkv::Trim(line).empty()) continue;
    std::istringstream fields(line);
    std::string job, app, extra;
    int64_t jobId = 0, appNumber = 0;
    if (!(fields >> job >> app) || (fields >> extra) || !labkv::ParseInt64InRange(job, 1, INT64_MAX, jobId) ||
        !labkv::ParseInt64InRange(app, 0, UINT32_MAX, appNumber)) {
      error = path + ": malformed line [" + line + "]";
      return false;
    }
    read.push_back(ChildJobLink{jobId, static_cast<uint32_t>(appNumber)});
  }
  children.swap(read);
  return true;
}

}  // namespace lab
