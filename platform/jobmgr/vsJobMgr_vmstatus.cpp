#include <algorithm>
#include <cctype>
#include <filesystem>

#include "platform/ev/EvDebug.h"
#include "platform/jobmgr/JobFolder.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/msg/vsXMLFile.h"

namespace {

const char* const kSigSetVMStatus = "bool vsJobMgr::setVMStatus(const std::string&, CNMessageBase&)";

// JobManager::VMUpdateInfo.
constexpr uint32_t kVMUpdateInfoTag = 0x15A0B32E;
const char* const kStatusFolder = "vmstatus";
const char* const kStatusSuffix = ".xml";

std::string Lower(const std::string& text) {
  std::string lower = text;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

// The record's path; empty when the GUID cannot name a file or there is no job folder.
std::string StatusPath(int64_t jobId, const std::string& guid) {
  std::string name = Lower(guid);
  if (!lab::IsSafeComponent(name)) return std::string();
  return jobfolder::FileOf(jobId, std::string(kStatusFolder) + "/" + name + kStatusSuffix);
}

}  // namespace

bool vsJobMgr::setVMStatus(const std::string& guid, CNMessageBase& info) {
  if (info.getTagID() != kVMUpdateInfoTag) {
    EvDebug::Error(kSigSetVMStatus, "VM [%s] status refused: message [%s] is not a VM status record", guid.c_str(),
                   info.getTagName().c_str());
    return false;
  }
  std::string path = StatusPath(getJobId(), guid);
  if (path.empty()) {
    EvDebug::Error(kSigSetVMStatus, "VM [%s] status refused: no job folder or the GUID is not usable", guid.c_str());
    return false;
  }
  vsXMLFile file(path);
  if (!lab::MakeDirs(path.substr(0, path.rfind('/'))) || !file.Save(info)) {
    EvDebug::Error(kSigSetVMStatus, "VM [%s] status not saved: %s", guid.c_str(), file.LastError().c_str());
    return false;
  }
  return true;
}

bool vsJobMgr::updateVMBkpJobStatus(uint64_t keyrealmId, bool flag) {
  // The records kept inside the client go to the job manager now.
  std::map<std::string, CNMessagePtr> kept;
  {
    ZtMutexLock l(mutex_);
    kept.swap(keptRecords_);
  }
  bool saved = true;
  for (auto& entry : kept) saved = setVMStatus(entry.first, *entry.second) && saved;
  std::string path = JobFile("vmstatus.log");
  return saved && !path.empty() &&
         lab::AppendLineLocked(path, std::to_string(keyrealmId) + (flag ? " 1" : " 0"));
}

bool vsJobMgr::ReadVMStatus(int64_t jobId, const std::string& guid, CNMessageBase& info) {
  std::string path = StatusPath(jobId, guid);
  if (path.empty()) return false;
  vsXMLFile file(path);
  return file.Load(info);
}

std::vector<std::string> vsJobMgr::ReadVMStatusGuids(int64_t jobId) {
  std::vector<std::string> guids;
  std::string dir = jobfolder::FileOf(jobId, kStatusFolder);
  if (dir.empty()) return guids;
  std::error_code error;
  const std::string suffix = kStatusSuffix;
  for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    std::string name = it->path().filename().string();
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      guids.push_back(name.substr(0, name.size() - suffix.size()));
  }
  std::sort(guids.begin(), guids.end());
  return guids;
}
