#include "platform/index/vsIndexClient.h"

#include <algorithm>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabFaults.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxFile.h"
#include "platform/os/CPxPath.h"
#include "platform/os/PatternMatch.h"

namespace {

// A fault of the table for the operation; true (with the reason recorded by the caller) when it fires.
bool Faulted(const char* op, std::string& reason) {
  lab::Fault fault;
  if (!lab::CheckFault(op, fault)) return false;
  reason = fault.text.empty() ? std::string(op) + " failed with code " + std::to_string(fault.code) : fault.text;
  return true;
}

}  // namespace

vsIndexClient::vsIndexClient(vsJobMgr* jobMgr, vsAppMgr* appMgr, const std::string& mediaAgent)
    : jobMgr_(jobMgr), appMgr_(appMgr), mediaAgent_(mediaAgent) {}

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

bool vsIndexClient::DownloadMetadataFilesFromRemoteCache(const std::vector<std::string>& names,
                                                         const std::string& destDir, int64_t jobId,
                                                         const std::string& subclientGuid, const std::string& text) {
  std::string reason;
  if (Faulted("index.DownloadMetadataFiles", reason)) {
    SetError(reason);
    return false;
  }
  const std::string folder = lab::IndexJobDir(subclientGuid, jobId, reason);
  if (folder.empty()) {
    SetError(reason);
    return false;
  }
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
  std::string reason;
  if (Faulted("index.DownloadMetadataFiles", reason)) {
    SetError(reason);
    return false;
  }
  const std::string guid = appMgr_ != nullptr ? appMgr_->getSubclientGUID() : std::string();
  if (lab::IndexSubclientDir(guid, reason).empty()) {
    SetError(reason);
    return false;
  }
  CPathMatch match(pattern, 0, 1);
  for (const std::string& jobFolder : lab::IndexJobDirs(guid)) {
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
  std::string reason;
  if (Faulted("index.UploadMetadataFiles", reason)) {
    SetError(reason);
    return 0;
  }
  const std::string folder = lab::IndexJobDir(subclientGuid, jobId, reason);
  if (folder.empty()) {
    SetError(reason);
    return 0;
  }
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
  std::string reason;
  if (lab::IndexSubclientDir(appMgr_ != nullptr ? appMgr_->getSubclientGUID() : std::string(), reason).empty()) {
    SetError(reason);
    return false;
  }
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
  std::string reason;
  if (!lab::ReadIndexVMNames(appMgr_ != nullptr ? appMgr_->getSubclientGUID() : std::string(), names, reason)) {
    SetError(reason);
    return false;
  }
  return true;
}

bool vsIndexClient::RunArchiveIndexInBatch(const std::list<VMArchiveIndexParam>& batch) {
  SetError("the log archiver is not available");
  return false;
}
