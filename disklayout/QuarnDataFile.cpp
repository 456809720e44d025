#include "disklayout/QuarnDataFile.h"

#include "platform/appmgr/vsAppMgr.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/os/CPxFile.h"
#include "platform/os/CPxPath.h"
#include "worker/QuarnWorker.h"

namespace {

constexpr DiskType_t kVCB4DiskType = 18;

const char* Prefix(QuarnDataFileType type) {
  switch (type) {
    case DATA_FILE_CHANGE_ID: return "vsidaCHGID_";
    case DATA_FILE_EXTENT_SIZE: return "vsidaEXTSZ_";
    case DATA_FILE_CRC: return "vsidaCRC_";
  }
  return "vsidaCRC_";
}

std::string VCB4Suffix(QuarnDataFileType type, DiskType_t diskType) {
  return type == DATA_FILE_CRC && diskType == kVCB4DiskType ? "_VCB4" : "";
}

}  // namespace

QuarnDataFile::QuarnDataFile(QuarnWorker* owner) : QuarnDataFile(owner, false) {}

QuarnDataFile::QuarnDataFile(QuarnWorker* owner, bool v2) : m_owner(owner), m_v2(v2) {}

QuarnDataFile::~QuarnDataFile() = default;

std::string QuarnDataFile::GetSubclientDirectory() const {
  return m_owner != nullptr ? m_owner->GetSubclientDirectory() : std::string();
}

bool QuarnDataFile::IsFullJob() const {
  return m_owner != nullptr && m_owner->GetJobMgr() != nullptr && m_owner->GetJobMgr()->isFullBkp();
}

bool QuarnDataFile::IsIncrementalJob() const {
  return m_owner != nullptr && m_owner->GetJobMgr() != nullptr && m_owner->GetJobMgr()->isIncrBkp();
}

bool QuarnDataFile::GenerateFilePaths(QuarnDataFileType type, const std::string& vmKey, const std::string& itemKey,
                                      const std::string& extension, DiskType_t diskType) {
  m_vmKey = vmKey;
  const std::string dir = GetSubclientDirectory() + "/";
  const std::string prefix = Prefix(type);
  const std::string suffix = VCB4Suffix(type, diskType);
  if (!itemKey.empty()) {
    const std::string stem = dir + prefix + "(" + vmKey + ")_(" + itemKey + suffix;
    m_currentFull.push_back(stem + "_ZTFULL" + ")" + extension);
    m_currentIncr.push_back(stem + "_ZTINCR" + ")" + extension);
  } else {
    const std::string stem = dir + prefix + "(" + vmKey + ")";
    m_currentFull.push_back(stem + "_ZTFULL" + extension);
    m_currentIncr.push_back(stem + "_ZTINCR" + extension);
  }

  int64_t fullJobId = 0, incrJobId = 0;
  if (!getPastFullAndIncrJobId(fullJobId, incrJobId)) return true;
  // Files of the older scheme had no extension for change ids.
  const std::string oldExtension = extension == ".ztf" ? std::string() : extension;
  const std::string tail = "_(" + vmKey + ")_(" + itemKey + suffix + ")" + oldExtension;
  if (fullJobId != 0) m_oldFull.push_back(dir + prefix + std::to_string(fullJobId) + tail);
  if (incrJobId != 0) m_oldIncr.push_back(dir + prefix + std::to_string(incrJobId) + tail);
  if (m_patterns.empty())
    m_patterns.push_back(dir + "vsidaEXTSZ_*_(" + vmKey + ")_(" + itemKey + suffix + ").ztf");
  m_patterns.push_back(dir + prefix + "*" + tail);
  return true;
}

bool QuarnDataFile::GenerateFilePath_V2(QuarnDataFileType type, const std::string& vmKey, const std::string& itemKey,
                                        DiskType_t diskType, std::string& path) {
  m_vmKey = vmKey;
  // A V2 table is always a checksum table, whatever type the caller names.
  path = GetSubclientDirectory() + "/vsidaCRC_(" + vmKey + ")_(" + itemKey + VCB4Suffix(DATA_FILE_CRC, diskType) + ")";
  m_inputs.push_back(path + ".idx");
  m_inputs.push_back(path + ".dat");
  DeleteFileList(m_inputs);
  return true;
}

std::string QuarnDataFile::GenerateTempFileName(const std::string& name) {
  // The extension is the file's own: a dot in a folder name (a client named by its domain) must not
  // send the file into a folder that does not exist.
  const size_t slash = name.rfind('/');
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name + "_TEMP";
  return name.substr(0, dot) + "_TEMP" + name.substr(dot);
}

bool QuarnDataFile::getPastFullAndIncrJobId(int64_t& fullJobId, int64_t& incrJobId) {
  static const char* const sig = "bool QuarnDataFile::getPastFullAndIncrJobId(long long int&, long long int&)";
  fullJobId = incrJobId = 0;
  vsJobMgr* jobMgr = m_owner != nullptr ? m_owner->GetJobMgr() : nullptr;
  vsAppMgr* appMgr = m_owner != nullptr ? m_owner->GetAppMgr() : nullptr;
  if (jobMgr == nullptr || appMgr == nullptr) return false;
  uint64_t subclientId = appMgr->getAppId();
  if (m_v2) {
    const VirtualServer::VMCollect* collect = m_owner->GetCurrentVMCollect();
    subclientId = collect != nullptr ? static_cast<uint64_t>(collect->getint64(VirtualServer::VMCollect::F_subclientId))
                                     : 0;
  }
  time_t fullTime = 0, incrTime = 0;
  const int code = jobMgr->getLastSucessfulBkpJobId(subclientId, fullJobId, fullTime, incrJobId, incrTime,
                                                    jobMgr->isSnapToTape());
  if (vsJobMgr::isError(code)) {
    m_event.Error(sig, "Failed to get last full and incremental job id, retCode [%d]. Job Will run as a full", code);
    return false;
  }
  return true;
}

void QuarnDataFile::PrepareFiles() {
  static const char* const sig = "void QuarnDataFile::PrepareFiles()";
  const bool full = IsFullJob();
  const bool incremental = IsIncrementalJob();

  DeleteFileList(m_currentIncr);
  DeleteFileList(m_currentFull);

  // Without a full backup of this VM that ended well there is nothing to build on: whatever the cache
  // holds of the item then comes from a backup that did not. The VM's own backups decide, not the
  // subclient's job history: a full job that ended pending for another VM is this VM's base.
  const bool haveBase = !full && !m_forceFull && m_owner != nullptr && m_owner->GetVMLastFullJob() != 0;
  if (!full && !m_forceFull && !haveBase)
    m_event.Debug(sig, "No successful full backup is known for [%s]; no previous file is used", m_vmKey.c_str());
  bool downloaded = false;
  if (!full && !m_forceFull && haveBase) {
    if (incremental) downloaded = DownloadFileList(m_currentIncr, 0);
    if (!downloaded) downloaded = DownloadFileList(m_currentFull, 0);
  }
  if (downloaded) {
    DeleteFileList(m_oldIncr);
    DeleteFileList(m_oldFull);
    std::vector<std::string> old;
    if (GetListofOldFilesToBeDeleted(old)) DeleteFileList(old);
  }

  if (!AccessFileList(m_currentIncr) && !AccessFileList(m_currentFull)) {
    const bool oldIncrExist = AccessFileList(m_oldIncr);
    const bool oldFullExist = AccessFileList(m_oldFull);
    if (oldIncrExist || oldFullExist) {
      m_event.Debug(sig, "Upgrading 9.0 files to 10.0");
      if (oldIncrExist) CopyFileList(m_oldIncr, m_currentIncr);
      if (oldFullExist) {
        CopyFileList(m_oldFull, m_currentFull);
        m_upgradedFull = true;
      }
      if (oldIncrExist && !oldFullExist)
        m_event.Debug(sig, "Change ID files are present for incremental jobs but missing for Full Job");
    }
  }

  if (!full && !m_forceFull) {
    if (incremental && AccessFileList(m_currentIncr)) m_inputs = m_currentIncr;
    if (m_inputs.empty() && AccessFileList(m_currentFull)) m_inputs = m_currentFull;
  }
  if (!full && !m_inputs.empty() && AccessFileList(m_inputs)) m_outputs = m_currentIncr;
  if (m_outputs.empty()) m_outputs = m_currentFull;

  if (m_inputs.empty()) return;
  std::vector<std::string> temps;
  for (const std::string& input : m_inputs) temps.push_back(GenerateTempFileName(input));
  if (RenameFileList(m_inputs, temps)) {
    m_inputs.swap(temps);
  } else {
    m_event.Error(sig, "Unable to rename input files to temp file names, will proceed as full");
    m_inputs.clear();
  }
}

bool QuarnDataFile::CopyOutputsToIncrementalNames(std::vector<std::string>& copies) {
  if (m_outputs != m_currentFull || m_currentIncr.size() != m_outputs.size() || !AccessFileList(m_outputs))
    return false;
  if (!CopyFileList(m_outputs, m_currentIncr)) return false;
  copies = m_currentIncr;
  return true;
}

bool QuarnDataFile::CommitFiles() {
  static const char* const sig = "bool QuarnDataFile::CommitFiles()";
  if (!m_v2) {
    UploadFileList(m_outputs);
    if (m_upgradedFull) UploadFileList(m_currentFull);
    // An incremental job that wrote this item under the full names (it was backed up in full) also
    // leaves it under the incremental names: the next incremental job looks for those first and
    // would otherwise find an older copy of this cycle.
    std::vector<std::string> copies;
    if (m_publishFullAsIncremental && !IsFullJob() && CopyOutputsToIncrementalNames(copies)) {
      m_event.Debug(sig, "Publishing [%s] also as [%s]", m_outputs.front().c_str(), copies.front().c_str());
      UploadFileList(copies);
    }
  }
  DeleteFileList(m_inputs);
  return true;
}

bool QuarnDataFile::DownloadFileList(const std::vector<std::string>& list, long long jobId) {
  if (m_owner == nullptr) return false;
  for (const std::string& name : list) {
    if (!m_owner->DownloadVMMetadataFile(name, jobId)) return false;
  }
  return true;
}

bool QuarnDataFile::UploadFileList(const std::vector<std::string>& list) {
  if (list.empty() || m_owner == nullptr || !AccessFileList(list)) return false;
  for (const std::string& path : list) m_owner->AddVMMetadataFile(path);
  return true;
}

bool QuarnDataFile::AccessFileList(const std::vector<std::string>& list) {
  if (list.empty()) return false;
  for (const std::string& path : list) {
    if (!CPxPath::Exists(path)) return false;
  }
  return true;
}

bool QuarnDataFile::DeleteFileList(const std::vector<std::string>& list) {
  static const char* const sig = "bool QuarnDataFile::DeleteFileList(std::vector<std::basic_string<char> >&)";
  bool result = true;
  for (const std::string& path : list) {
    if (!CPxPath::Exists(path)) continue;
    CPxError error = FXFile::RemoveFile(path);
    if (error.IsError()) {
      m_event.Error(sig, "Failed to remove file [%s], %s", path.c_str(), error.AsString().c_str());
      result = false;
    }
  }
  return result;
}

bool QuarnDataFile::CopyFileList(const std::vector<std::string>& from, const std::vector<std::string>& to) {
  static const char* const sig =
      "bool QuarnDataFile::CopyFileList(std::vector<std::basic_string<char> >&, std::vector<std::basic_string<char> >&)";
  if (from.size() != to.size()) {
    m_event.Error(sig, "Source and Destination file list sizes do not match");
    return false;
  }
  for (size_t i = 0; i < from.size(); ++i) {
    CPxError error = CPxFile::Copy(from[i], to[i]);
    if (error.IsError()) {
      m_event.Error(sig, "Failed to copy file [%s] to [%s], %s", from[i].c_str(), to[i].c_str(),
                    error.AsString().c_str());
      return false;
    }
  }
  return true;
}

bool QuarnDataFile::RenameFileList(const std::vector<std::string>& from, const std::vector<std::string>& to) {
  static const char* const sig =
      "bool QuarnDataFile::RenameFileList(std::vector<std::basic_string<char> >&, std::vector<std::basic_string<char> >&)";
  if (from.size() != to.size()) {
    m_event.Error(sig, "Source and Destination file list sizes do not match");
    return false;
  }
  for (size_t i = 0; i < from.size(); ++i) {
    CPxError error = FXFile::ZTMoveFileEx(from[i], to[i], 1);
    if (error.IsError()) {
      m_event.Error(sig, "Failed to move file [%s] to [%s], %s", from[i].c_str(), to[i].c_str(),
                    error.AsString().c_str());
      return false;
    }
  }
  return true;
}
