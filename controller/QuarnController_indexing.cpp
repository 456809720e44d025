// Indexing and metadata-file services of the controller: the process's one index client and what
// the workers ask of the index through it.
#include <fcntl.h>

#include <new>

#include "controller/QuarnController.h"
#include "platform/config/ZTPI_Base.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxFile.h"
#include "platform/os/CPxPath.h"
#include "platform/os/CPxString.h"
#include "platform/os/ZtTime.h"

namespace {

const char* const kSigGetIndexClient = "vsIndexClient* QuarnController::GetIndexClient(auto_lock&)";
const char* const kSigMonitorIndexing = "virtual bool QuarnController::MonitorIndexing()";
const char* const kSigCloseIndexing = "virtual void QuarnController::CloseIndexing()";
const char* const kSigGetMetadataFile =
    "bool QuarnController::GetMetadataFile(const std::string&, const std::string&)";
const char* const kSigGetVMMetadataFile =
    "bool QuarnController::GetVMMetadataFile(const std::string&, const std::string&, const std::string&, long long)";
const char* const kSigSendVMMetadataFiles =
    "bool QuarnController::SendVMMetadataFiles(const std::string&, const std::vector<std::string>&, long long, "
    "const std::string&)";
const char* const kSigDownloadVMMetaDataFiles =
    "bool QuarnController::DownloadVMMetaDataFiles(const std::string&, const std::string&, long long, "
    "const std::string&)";
const char* const kSigGetVMDiskList =
    "bool QuarnController::GetVMDiskListFromIndexing(const std::string&, std::map<std::string, unsigned long long>&)";
const char* const kSigVMMetadata =
    "bool QuarnController::GetVMMetadataFromIndexing(const std::string&, const std::string&, unsigned long int, "
    "IdxMetadata::IdxMetaData*, IdxMetadataByName*, bool&, bool&)";
const char* const kSigExtentsCRC =
    "bool QuarnController::GetVMDiskExtentsCRC(const std::string&, const std::string&, unsigned long int, "
    "IdxBrowseClientResp*)";
const char* const kSigFixedLength = "bool QuarnController::GetUseFixedLengthExtentNames(bool&)";
const char* const kSigMetadataExtents =
    "bool QuarnController::GetMetadataExtentsFromIndexing(const vm_params&, const std::string&, bool, "
    "const vsIndexClient::ProcessExtentCallback&)";
const char* const kSigCleanupJobMetadata = "virtual bool QuarnController::CleanupJobMetadataFiles(const std::string&)";
const char* const kSigUploadBackupMetadata = "virtual bool QuarnController::UploadBackupMetadataFiles()";

constexpr uint32_t kEventIndexCloseFailed = 0x48000036;
constexpr int kDefaultMaxIdleSeconds = 60;

}  // namespace

// ---- The client's life ----

vsIndexClient* QuarnController::GetIndexClient(auto_lock& lock) {
  lock.reset(&m_indexLock, true);
  if (!lock.IsLocked()) return nullptr;
  if (m_indexClient == nullptr) {
    m_event.Debug(kSigGetIndexClient, "Opening Indexing connection");
    const std::string mediaAgent = m_jobMgr != nullptr ? m_jobMgr->getMediaAgent() : std::string();
    m_indexClient = new (std::nothrow) vsIndexClient(m_jobMgr, m_appMgr, mediaAgent);
    if (m_indexClient == nullptr) {
      m_event.Error(kSigGetIndexClient, "Failed to create index client");
      return nullptr;
    }
    m_indexReuseCount = 0;
  } else {
    ++m_indexReuseCount;
  }
  m_indexLastUse = ZtClock::NowSeconds();
  return m_indexClient;
}

bool QuarnController::MonitorIndexing() {
  // Only tried: a client in use is busy, not idle, and the controller thread must not wait for it.
  auto_lock lock(&m_indexLock, false);
  if (!lock.TryLock(CTimeInterval::FromSeconds(10)) || m_indexClient == nullptr) return true;
  int maxIdle = kDefaultMaxIdleSeconds;
  m_registry.GetEntry(REG_nMaxIndexClientIdleTime, maxIdle, kDefaultMaxIdleSeconds);
  const long long idle = static_cast<long long>(ZtClock::NowSeconds()) - static_cast<long long>(m_indexLastUse);
  if (idle > maxIdle) {
    m_event.Debug(kSigMonitorIndexing, "Closing idle Indexing connection.  Reused [%u] times, Idle for [%d] seconds",
                  m_indexReuseCount, static_cast<int>(idle));
    QuarnController::CloseIndexing();
  }
  return true;
}

void QuarnController::CloseIndexing() {
  auto_lock lock(&m_indexLock);
  if (m_indexClient == nullptr) return;
  if (m_indexClient->Close() != 1) {
    m_event.Error(kSigCloseIndexing, "Error closing indexing connection");
    m_event << "Error closing connection to indexing";
    m_event.MinorEvent(kEventIndexCloseFailed);
  }
  delete m_indexClient;
  m_indexClient = nullptr;
}

// ---- Metadata files ----

bool QuarnController::GetMetadataFile(const std::string& file, const std::string& folder) {
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  if (client == nullptr) {
    m_event.Error(kSigGetMetadataFile, "Index client is not initialized");
    return false;
  }
  if (!client->DownloadMetadataFile(file, folder)) {
    m_event.Error(kSigGetMetadataFile, "Failed to get index file [%s]", file.c_str());
    return false;
  }
  return true;
}

bool QuarnController::GetVMMetadataFile(const std::string& vm, const std::string& file, const std::string& folder,
                                        long long jobId) {
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  if (client == nullptr) {
    m_event.Error(kSigGetVMMetadataFile, "Index client is not initialized");
    return false;
  }
  std::string pattern = file;
  if (m_appMgr == nullptr || !m_appMgr->isUseIndexingV2Enabled()) {
    const size_t slash = file.rfind('/');
    pattern = (slash == std::string::npos ? file : file.substr(slash + 1)) + "*";
  }
  if (!client->DownloadVMMetadataFile(vm, pattern, folder, jobId)) {
    m_event.Error(kSigGetVMMetadataFile, "Failed to get index file [%s] for VM [%s]", pattern.c_str(), vm.c_str());
    return false;
  }
  return true;
}

bool QuarnController::SendVMMetadataFiles(const std::string& vm, const std::vector<std::string>& files,
                                          long long jobId, const std::string& subclientGuid) {
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  if (client == nullptr) {
    m_event.Error(kSigSendVMMetadataFiles, "Index client is not initialized");
    return false;
  }
  if (!client->UploadVMMetadataFiles(vm, files, jobId, subclientGuid)) {
    m_event.Error(kSigSendVMMetadataFiles, "Failed to send index files for VM [%s]", vm.c_str());
    return false;
  }
  return true;
}

bool QuarnController::DeleteVMMetadataFiles(const std::string&, const std::vector<std::string>& files) {
  for (const std::string& file : files) FXFile::RemoveFile(file);
  return true;
}

bool QuarnController::CommitVMMetadataFiles(const std::string& vm, long long jobId, const std::string& subclientGuid,
                                            std::vector<std::string>& files) {
  if (!SendVMMetadataFiles(vm, files, jobId, subclientGuid)) return false;
  DeleteVMMetadataFiles(vm, files);
  files.clear();
  return true;
}

bool QuarnController::CommitVMMetadataFiles(const std::string& vm, std::vector<std::string>& files) {
  if (m_jobMgr == nullptr || m_appMgr == nullptr) return false;
  return CommitVMMetadataFiles(vm, m_jobMgr->getJobId(), m_appMgr->getSubclientGUID(), files);
}

bool QuarnController::DownloadVMMetaDataFiles(const std::string& vm, const std::string& folder, long long jobId,
                                              const std::string& subclientGuid) {
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  if (client == nullptr || !client->DownloadVMMetadataFiles(vm, folder, jobId, subclientGuid)) {
    m_event.Error(kSigDownloadVMMetaDataFiles, "Failed to download vm metadata files for job [%llu]",
                  static_cast<unsigned long long>(jobId));
    return false;
  }
  return true;
}

// ---- Queries ----

bool QuarnController::GetVMDiskListFromIndexing(const std::string& vm, std::map<std::string, unsigned long long>& disks) {
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  if (client == nullptr) return false;
  if (!client->InitLookup()) {
    m_event.Error(kSigGetVMDiskList, "Indexing Lookup initialization failed");
    return false;
  }
  return client->LookupVMDisks(vm, &disks);
}

bool QuarnController::GetVMMetadataFromIndexing(const std::string& vm, const std::string& folder,
                                                unsigned long count, IdxMetadata::IdxMetaData* metadata,
                                                IdxMetadataByName* byName, bool& retryable, bool& queryFailed) {
  retryable = false;
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  if (client == nullptr) return false;
  if (client->GetVMMetadata(vm, folder, count, metadata, byName, retryable, queryFailed)) return true;
  m_event.Debug(kSigVMMetadata, "The index gave no metadata of the last backup of VM [%s]: %s", vm.c_str(),
                client->GetLastError().c_str());
  return false;
}

bool QuarnController::GetVMJobMetadataFromIndexing(const std::string& vmGuid, int64_t jobId,
                                                   IdxMetadata::IdxMetaData* metadata, IdxMetadataByName* byName,
                                                   bool& queryFailed) {
  queryFailed = false;
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  if (client == nullptr) {
    queryFailed = true;
    return false;
  }
  if (client->GetVMJobMetadata(vmGuid, jobId, metadata, byName, queryFailed)) return true;
  m_event.Debug(kSigVMMetadata, "The index gave no metadata of the backup of VM [%s] in job [%lld]: %s", vmGuid.c_str(),
                static_cast<long long>(jobId), client->GetLastError().c_str());
  return false;
}

bool QuarnController::GetVMLastFullJobFromIndexing(const std::string& vmGuid, int64_t& jobId) {
  jobId = 0;
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  if (client == nullptr) return false;
  if (client->GetVMLastFullJob(vmGuid, jobId)) return true;
  m_event.Error(kSigVMMetadata, "The index cannot tell the last full backup of VM [%s]: %s", vmGuid.c_str(),
                client->GetLastError().c_str());
  return false;
}

bool QuarnController::GetVMNewestRecordJobFromIndexing(const std::string& vmGuid, int64_t& jobId) {
  jobId = 0;
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  if (client == nullptr) return false;
  if (client->GetVMNewestRecordJob(vmGuid, jobId)) return true;
  m_event.Error(kSigVMMetadata, "The index cannot tell the jobs that hold VM [%s]: %s", vmGuid.c_str(),
                client->GetLastError().c_str());
  return false;
}

bool QuarnController::GetVMDiskExtentsCRC(const std::string& vm, const std::string& disk, unsigned long count,
                                          IdxBrowseClientResp* response) {
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  if (client == nullptr) return false;
  if (client->GetVMDiskExtentsCRC(vm, disk, count, response)) return true;
  m_event.Error(kSigExtentsCRC, "Failed to browse the extent check sums of disk [%s] of VM [%s]: %s", disk.c_str(),
                vm.c_str(), client->GetLastError().c_str());
  return false;
}

bool QuarnController::RunArchiveIndexForVM(const std::string& vm, const long long& jobId, unsigned long subclientId,
                                           int a, int b) {
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  const int64_t job = jobId;
  return client != nullptr && client->RunArchiveIndexForVM(vm, job, subclientId, a, b);
}

bool QuarnController::RunArchiveIndexForVM(const VMArchiveIndexParam& param) {
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  return client != nullptr && client->RunArchiveIndexForVM(param);
}

bool QuarnController::GetUseFixedLengthExtentNames(bool& fixed) {
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  if (!m_fixedLengthNamesAsked) {
    bool answer = false;
    if (client == nullptr || !client->GetUseFixedLengthExtentNames(m_subclientFiles.subclientDir, answer)) {
      m_event.Error(kSigFixedLength,
                    "Failed to check the extent name format that the index is using, please check connectivity "
                    "with the media agent");
      return false;
    }
    m_fixedLengthNames = answer;
    m_fixedLengthNamesAsked = true;
  }
  fixed = m_fixedLengthNames;
  return true;
}

bool QuarnController::GetMountExtentsFromIndexing(const vm_params& vm, const std::string& disk,
                                                  const vsIndexClient::ProcessExtentCallback& callback) {
  return GetMetadataExtentsFromIndexing(vm, disk, false, callback);
}

bool QuarnController::GetMFTExtentsFromIndexing(const vm_params& vm, const std::string& disk,
                                                const vsIndexClient::ProcessExtentCallback& callback) {
  return GetMetadataExtentsFromIndexing(vm, disk, true, callback);
}

bool QuarnController::GetMetadataExtentsFromIndexing(const vm_params& vm, const std::string& disk, bool mft,
                                                     const vsIndexClient::ProcessExtentCallback& callback) {
  using C = VirtualServer::VMCollect;
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  if (client == nullptr ||
      !client->GetListOfMetadataExtents(vm.collect.getint64(C::F_vmClientId), vm.collect.getstring(C::F_text64),
                                        vm.collect.getint64(C::F_subclientId), vm.vmGuid, disk, mft, callback)) {
    m_event.DebugLvl(-1, kSigMetadataExtents,
                     "Failed to fetch metadata extent list from indexing. Continuing without metadata information.");
    return false;
  }
  return true;
}

// ---- Housekeeping ----

namespace {

std::string IndexingMAFilePath(vsJobMgr* jobMgr) {
  CPxString name;
  name.Format("VSAIndexingMA_%lld.txt", static_cast<long long>(jobMgr->getJobId()));
  return CPxPath::Append(ZTPI_Base::getVorlaxTempDirectory(), name.c_str(), false);
}

}  // namespace

void QuarnController::InitIndexingMAFile() {
  if (m_jobMgr == nullptr) return;
  const std::string path = IndexingMAFilePath(m_jobMgr);
  if (CPxFile::Exists(path)) FXFile::RemoveFile(path);
  // Created afresh and never through a link planted at the name; a failure is not reported.
  CPxFile file;
  if (file.Open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640).IsError()) return;
  const std::string mediaAgent = m_jobMgr->getMediaAgent();
  file.Write(mediaAgent.data(), mediaAgent.size());
  file.Close();
}

void QuarnController::CleanupIndexingMAFile() {
  if (m_jobMgr == nullptr) return;
  const std::string path = IndexingMAFilePath(m_jobMgr);
  if (CPxFile::Exists(path)) FXFile::RemoveFile(path);
}

bool QuarnController::CleanupJobMetadataFiles(const std::string& dir) {
  if (m_appMgr == nullptr || dir.empty() || m_appMgr->isServerTypeVMWare()) return true;
  const std::string folder = FXPath::AppendTrailingDelimiter(dir) + "VSS_FILES_FOLDER";
  if (!CPxDirectory::Exists(folder)) return true;
  m_event.Debug(kSigCleanupJobMetadata, "Cleaning up metadata folder [%s]", folder.c_str());
  CPxDirectory::Remove(folder, true);
  return true;
}

bool QuarnController::UploadBackupMetadataFiles() {
  m_event.Debug(kSigUploadBackupMetadata, "Upload of backup metadata files is not implemented for non-snap jobs");
  return true;
}
