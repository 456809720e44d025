#include "platform/index/vsIndexClient.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/lab/Lab.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxFile.h"
#include "platform/os/CPxPath.h"
#include "platform/os/PatternMatch.h"

namespace {

constexpr size_t kMaxNamesFile = 16 * 1024 * 1024;

// Job folders of a subclient, newest (largest id) first.
std::vector<std::string> JobFolders(const std::string& subclientFolder) {
  std::vector<std::string> names;
  CPxDirectory::List(subclientFolder, names);
  std::vector<std::pair<uint64_t, std::string>> jobs;
  for (const std::string& name : names) {
    char* end = nullptr;
    errno = 0;
    unsigned long long id = std::strtoull(name.c_str(), &end, 10);
    if (name.empty() || errno != 0 || end == nullptr || *end != '\0') continue;
    jobs.emplace_back(id, name);
  }
  std::sort(jobs.rbegin(), jobs.rend());
  std::vector<std::string> folders;
  for (const auto& job : jobs) folders.push_back(CPxPath::Append(subclientFolder, job.second, false));
  return folders;
}

}  // namespace

vsIndexClient::vsIndexClient(vsJobMgr* jobMgr, vsAppMgr* appMgr, const std::string& mediaAgent)
    : appMgr_(appMgr), mediaAgent_(mediaAgent) {}

vsIndexClient::~vsIndexClient() = default;

void vsIndexClient::SetUseFixedLengthExtentNames(bool on) {
  ZtMutexLock lock(mutex_);
  fixedLengthExtentNames_ = on;
}

bool vsIndexClient::GetUseFixedLengthExtentNames() const {
  ZtMutexLock lock(mutex_);
  return fixedLengthExtentNames_;
}

void vsIndexClient::SetError(const std::string& text) {
  ZtMutexLock lock(mutex_);
  lastError_ = text;
}

std::string vsIndexClient::GetLastError() const {
  ZtMutexLock lock(mutex_);
  return lastError_;
}

std::string vsIndexClient::GetMediaAgentClientName() const { return mediaAgent_; }

std::string vsIndexClient::SubclientFolder(const std::string& subclientGuid) {
  if (lab::Root().empty()) {
    SetError("the index cache is not reachable (no lab)");
    return std::string();
  }
  if (!lab::IsSafeComponent(subclientGuid)) {
    SetError("the subclient GUID [" + subclientGuid + "] cannot name a cache folder");
    return std::string();
  }
  return CPxPath::Append(lab::IndexDir(), subclientGuid, false);
}

bool vsIndexClient::DownloadMetadataFilesFromRemoteCache(const std::vector<std::string>& names,
                                                         const std::string& destDir, int64_t jobId,
                                                         const std::string& subclientGuid, const std::string& text) {
  std::string folder = SubclientFolder(subclientGuid);
  if (folder.empty()) return false;
  folder = CPxPath::Append(folder, std::to_string(jobId), false);
  for (const std::string& name : names) {
    if (!lab::IsSafeComponent(name)) {
      SetError("the file name [" + name + "] is not usable");
      return false;
    }
    const std::string source = CPxPath::Append(folder, name, false);
    if (!CPxFile::Exists(source)) {
      SetError("[" + name + "] is not in the index cache for job " + std::to_string(jobId));
      return false;
    }
    CPxError error = CPxFile::Copy(source, CPxPath::Append(destDir, name, false));
    if (error.IsError()) {
      SetError(error.AsString());
      return false;
    }
  }
  return true;
}

bool vsIndexClient::DownloadMetadataFile(const std::string& pattern, const std::string& destDir) {
  const std::string folder = SubclientFolder(appMgr_ != nullptr ? appMgr_->getSubclientGUID() : std::string());
  if (folder.empty()) return false;
  CPathMatch match(pattern, 0, 1);
  for (const std::string& jobFolder : JobFolders(folder)) {
    std::vector<std::string> names;
    CPxDirectory::List(jobFolder, names);
    bool copied = false;
    for (const std::string& name : names) {
      const std::string source = CPxPath::Append(jobFolder, name, false);
      if (!match.Match(name) || !CPxFile::Exists(source)) continue;
      CPxError error = CPxFile::Copy(source, CPxPath::Append(destDir, name, false));
      if (error.IsError()) {
        SetError(error.AsString());
        return false;
      }
      copied = true;
    }
    if (copied) return true;
  }
  SetError("no file matching [" + pattern + "] is in the index cache");
  return false;
}

int vsIndexClient::UploadMetadataFiles(const std::vector<std::string>& files, int64_t jobId,
                                       const std::string& subclientGuid) {
  std::string folder = SubclientFolder(subclientGuid);
  if (folder.empty()) return 0;
  if (jobId <= 0) {
    SetError("job id " + std::to_string(jobId) + " cannot name a cache folder");
    return 0;
  }
  folder = CPxPath::Append(folder, std::to_string(jobId), false);
  if (!lab::MakeDirs(folder)) {
    SetError("cannot create the cache folder " + folder);
    return 0;
  }
  for (const std::string& file : files) {
    if (!CPxFile::Exists(file)) {
      SetError("[" + file + "] does not exist");
      return 0;
    }
    CPxError error = CPxFile::Copy(file, CPxPath::Append(folder, CPxPath::GetFileName(file), false));
    if (error.IsError()) {
      SetError(error.AsString());
      return 0;
    }
  }
  return 1;
}

bool vsIndexClient::AddMetadataFile(const std::string& path) {
  ZtMutexLock lock(mutex_);
  if (std::find(metadataFiles_.begin(), metadataFiles_.end(), path) == metadataFiles_.end())
    metadataFiles_.push_back(path);
  return true;
}

std::vector<std::string> vsIndexClient::GetMetadataFiles() const {
  ZtMutexLock lock(mutex_);
  return metadataFiles_;
}

bool vsIndexClient::InitLookup() {
  if (SubclientFolder(appMgr_ != nullptr ? appMgr_->getSubclientGUID() : std::string()).empty()) return false;
  ZtMutexLock lock(mutex_);
  lookupReady_ = true;
  return true;
}

bool vsIndexClient::Lookup(std::vector<std::string>& names, bool flag) {
  {
    ZtMutexLock lock(mutex_);
    if (!lookupReady_) {
      lastError_ = "the lookup was not initialised";
      return false;
    }
  }
  const std::string folder = SubclientFolder(appMgr_ != nullptr ? appMgr_->getSubclientGUID() : std::string());
  if (folder.empty()) return false;
  const std::string path = CPxPath::Append(folder, "vmnames.txt", false);
  names.clear();
  if (!CPxFile::Exists(path)) return true;
  std::string content;
  std::string error;
  if (!lab::ReadRegularFile(path, kMaxNamesFile, content, error)) {
    SetError(error);
    return false;
  }
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) names.push_back(line);
    start = end + 1;
  }
  return true;
}

bool vsIndexClient::RunArchiveIndexInBatch(const std::list<VMArchiveIndexParam>& batch) {
  SetError("the log archiver is not available");
  return false;
}
