// The snapshot's metadata files (where they are kept, uploaded, sent, downloaded and removed), the
// index clients of single VMs, what the snapshot worker sends to the index through them, the job's
// progress while the snapshot is taken, and the job's application size.
#include <new>

#include "app/QuarnUtils.h"
#include "platform/msg/vsXMLFile.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxFile.h"
#include "platform/os/CPxPath.h"
#include "platform/vminfo/IVMInfo.h"
#include "records/messages/JobManagerMessages.h"
#include "snap/QuarnSnapController.h"

namespace {

using U = JobManager::VMUpdateInfo;
using Collect = VirtualServer::VMCollect;

const char* const kSigPrepare = "bool QuarnSnapController::PrepareForNewSnapBackupJob()";
const char* const kSigOnMetadata =
    "virtual bool QuarnSnapController::OnMsgSnapBackupMetadata(VirtualServer::VMSnapBackup*)";
const char* const kSigUpload = "virtual bool QuarnSnapController::UploadBackupMetadataFiles()";
const char* const kSigDownload =
    "bool QuarnSnapController::DownloadSnapMetadataFiles(MountCtx&, long long int, const std::string&)";
const char* const kSigLastInfo =
    "bool QuarnSnapController::GetLastSuccesfulSnapJobIdInformation(MountCtx&, const std::string&)";
const char* const kSigSnapInfo = "bool QuarnSnapController::GetSnapBackupInfo(const MountCtx&, std::string&)";
const char* const kSigClientForVM = "vsIndexClient* QuarnSnapController::GetVMIndexClientPtrForVM(const std::string&)";
const char* const kSigAllocate = "bool QuarnSnapController::AllocateVMIndexClientForVM(const std::string&)";
const char* const kSigCloseForVM = "bool QuarnSnapController::CloseIndexingForVM(const std::string&)";
const char* const kSigCloseIndexing = "virtual void QuarnSnapController::CloseIndexing()";
const char* const kSigForward = "bool QuarnSnapController::SendFileInfo(const std::string&, ...)";
const char* const kSigAppSize = "virtual bool QuarnSnapController::CommitAppSize()";
const char* const kSigCleanup = "virtual bool QuarnSnapController::CleanupJobMetadataFiles(const std::string&)";

constexpr uint32_t kEventIndexCloseFailed = 0x48000036;
constexpr int kLinkTypeVMJobs = 8;
constexpr int kLinkTypeAny = 0;
constexpr int kJobStatusToBeBackedUp = 4;

std::string MetadataFileName(long long jobId) { return "backup_" + std::to_string(jobId) + ".xml"; }

}  // namespace

// ---- The snapshot's metadata files ----

bool QuarnSnapController::PrepareForNewSnapBackupJob() {
  const std::string path =
      std::string(m_subclientFiles.subclientDir) + "/" + "backup_" + m_jobMgr->getJobIdStr() + ".xml";
  m_event.Debug(kSigPrepare, "SnapBackup File: [%s]", path.c_str());
  if (!CPxFile::Exists(path)) return true;
  CPxError error = FXFile::RemoveFile(path);
  if (error.IsError()) {
    m_event.Error(kSigPrepare, "Failed to delete vm snapMetadata file [%s]. GetLastError() [%s]", path.c_str(),
                  error.AsString().c_str());
    return false;
  }
  return true;
}

bool QuarnSnapController::OnMsgSnapBackupMetadata(VirtualServer::VMSnapBackup* message) {
  if (message == nullptr || m_jobMgr == nullptr) return false;
  const std::string dir = m_subclientFiles.subclientDir;
  if (!CPxDirectory::Exists(dir)) {
    CPxError error = CPxDirectory::Create(dir, true);
    if (error.IsError()) {
      m_event.Error(kSigOnMetadata, "Error creating folder [%s] Err=[0x%x]", dir.c_str(),
                    static_cast<unsigned>(-error.GetErrorCode()));
      return false;
    }
  }
  char name[64];
  std::snprintf(name, sizeof(name), "backup_%lu.xml", static_cast<unsigned long>(m_jobMgr->getSnapBkpJobId()));
  const std::string path = dir + "/" + name;
  vsXMLFile file(path);
  if (!file.Save(*message)) {
    m_event.Error(kSigOnMetadata, "Failed to save snap metadata file [%s]", path.c_str());
    return false;
  }
  m_event.Debug(kSigOnMetadata, "snap metadata file location [%s]", path.c_str());
  return true;
}

bool QuarnSnapController::UploadBackupMetadataFiles() {
  if (m_jobMgr == nullptr || m_appMgr == nullptr) return false;
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  // 1.
  if (m_jobMgr->isSnapToTape() && !m_appMgr->isServerTypeVMWare()) return true;
  // 2. A Microsoft server's files go to the coordinator, which keeps them for the job's later copies.
  if (m_appMgr->isServerTypeMS()) {
    for (const std::string& path : m_metadataFiles) {
      vsXMLFile file(path);
      if (!file.Exists()) {
        m_event.Error(kSigUpload, "File [%s] not found", path.c_str());
        return false;
      }
      VirtualServer::VMSnapBackup metadata;
      if (!file.Load(metadata)) {
        m_event.Error(kSigUpload, "Failed to read snap metadata xml file [%s]", path.c_str());
        return false;
      }
      m_event.Debug(kSigUpload, "Uploading file %s to coordinator", path.c_str());
      if (!SendToCoordinator(metadata)) {
        m_event.Error(kSigUpload, "Error sending snap metadata XML to coordinator node");
        return false;
      }
    }
    return true;
  }
  // 3.
  if (m_metadataFiles.empty()) return true;
  const bool indexingV2 = m_appMgr->isUseIndexingV2Enabled();
  if (m_jobMgr->isSnapToTape() && indexingV2) return true;
  for (const std::string& path : m_metadataFiles)
    m_event.Debug(kSigUpload, "Uploading metadata file %s to cache", path.c_str());
  if (client == nullptr || client->UploadMetadataFiles(m_metadataFiles, m_jobMgr->getJobId(),
                                                       m_appMgr->getSubclientGUID()) != 1) {
    m_event.Error(kSigUpload, "Failed to upload metadata XML");
    // The files are the only record of the snapshot: none of them goes until it is in the cache.
    for (const std::string& path : m_metadataFiles)
      m_event.Error(kSigUpload, "Keeping snap metadata file [%s]: it is not in the index cache", path.c_str());
    if (!indexingV2) return false;
    m_completedWithErrors = true;
    return true;
  }
  for (const std::string& path : m_metadataFiles) FXFile::RemoveFile(path);
  return true;
}

bool QuarnSnapController::DownloadSnapMetadataFiles(MountCtx& ctx, long long jobId, const std::string& destination) {
  if (jobId == 0) {
    m_event.Error(kSigDownload, "Invalid snap backup job for download.");
    return false;
  }
  const std::vector<std::string> wanted = {MetadataFileName(jobId)};
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  if (client == nullptr) {
    m_event.Error(kSigDownload, "Invalid index client");
    return false;
  }
  // 1. The job's own files.
  if (client->DownloadMetadataFilesFromRemoteCache(wanted, destination, jobId, m_appMgr->getSubclientGUID(), ""))
    return true;
  // 2. Else the files of the jobs linked to it (its VMs' jobs).
  JobManager::GetJMJobDataLinkResp links;
  int code = m_appMgr->GetJMDataLinkForParentJob(jobId, kLinkTypeVMJobs, links);
  if (!vsAppMgr::isRetCodeError(code) && links.getlistobject(JobManager::GetJMJobDataLinkResp::F_links, false).empty())
    code = m_appMgr->GetJMDataLinkForParentJob(jobId, kLinkTypeAny, links);
  if (vsAppMgr::isRetCodeError(code)) {
    m_event.Error(kSigDownload, "Failed to fetch JMJobDataLink details for parent job [%llu]",
                  static_cast<unsigned long long>(jobId));
    return false;
  }
  const CNMessageList& linked = links.getlistobject(JobManager::GetJMJobDataLinkResp::F_links, false);
  if (linked.empty()) {
    m_event.Error(kSigDownload, "VM jobIds list is empty for parent job [%llu]", static_cast<unsigned long long>(jobId));
    return false;
  }
  // 3.
  for (const CNMessagePtr& entry : linked) {
    if (!entry) continue;
    const long long linkedJob = entry->getint64(JobManager::JMJobDataLink::F_linkedJobId);
    if (client->DownloadMetadataFilesFromRemoteCache(wanted, destination, linkedJob,
                                                     entry->getstring(JobManager::JMJobDataLink::F_linkedIndexText), ""))
      return true;
  }
  // 4.
  m_event.Error(kSigDownload, "Failed to download file [%s] from the remote cache location", wanted.front().c_str());
  return false;
}

void QuarnSnapController::SetLastSuccesfulSnapJobId(MountCtx& ctx) {
  const int64_t last = m_jobMgr->getLastSucessfulSnapBkpJobId();
  const int64_t incremental = m_jobMgr->getLastIncrementalSnapBkpJobId();
  ctx.lastSuccessfulSnapJobId = incremental == 0 || last > incremental ? last : incremental;
}

bool QuarnSnapController::GetLastSuccesfulSnapJobIdInformation(MountCtx& ctx, const std::string&) {
  // 1.
  SetLastSuccesfulSnapJobId(ctx);
  const std::string name = MetadataFileName(ctx.lastSuccessfulSnapJobId);
  // 2. The previous job's file is looked for in the folder above the snapshot folder first.
  const size_t slash = ctx.subclientDir.rfind('/');
  if (slash == std::string::npos) {
    m_event.Error(kSigLastInfo, "Failed to get job result folder:[%s]", ctx.subclientDir.c_str());
    return false;
  }
  const std::string above = ctx.subclientDir.substr(0, slash) + "/" + name;
  const std::string here = ctx.subclientDir + "/" + name;
  m_event.Debug(kSigLastInfo, "Checking whether file exist at path:[%s]", above.c_str());
  // 3.
  if (CPxFile::Exists(above)) {
    m_event.Debug(kSigLastInfo, "Copying file from:[%s] to :[%s]", above.c_str(), here.c_str());
    CPxError error = FXFile::ZTCopyFile(above, here);
    if (error.IsError()) {
      m_event.Error(kSigLastInfo, "Failed to copy file - [%s]", error.AsString().c_str());
      return false;
    }
    return true;
  }
  // 4.
  m_event.Debug(kSigLastInfo, "File does not exist at path:[%s]", above.c_str());
  if (m_appMgr->isUseIndexingV2Enabled()) {
    if (!DownloadSnapMetadataFiles(ctx, ctx.lastSuccessfulSnapJobId, ctx.subclientDir + "/")) {
      m_event.Error(kSigLastInfo, "Failed to download parent backup xml from remote file cache for job [%llu]",
                    static_cast<unsigned long long>(ctx.lastSuccessfulSnapJobId));
      return false;
    }
  } else {
    MountCtx previous = ctx;
    previous.snapBackupJobId = static_cast<uint64_t>(ctx.lastSuccessfulSnapJobId);
    previous.isSnapToTape = true;
    std::vector<std::string> files = {name};
    auto_lock lock(&m_vmInfoLock);
    if (m_vmInfo == nullptr || m_vmInfo->GetSnapBackupInfo(previous, files, 0) == 0) {
      m_event.Error(kSigLastInfo, "Failed to download file from the index cache location");
      return false;
    }
  }
  if (!CPxFile::Exists(here)) {
    m_event.Error(kSigLastInfo, "File does not exist at location after download from index cache:[%s]", here.c_str());
    return false;
  }
  m_event.Debug(kSigLastInfo, "Successfully downloaded file at location:[%s]", here.c_str());
  return true;
}

bool QuarnSnapController::GetSnapBackupInfo(const MountCtx& ctx, std::string& text) {
  if (!m_jobMgr->isSnapBackup() || !m_appMgr->isUseIndexingV2Enabled()) return true;
  std::vector<std::string> files;
  MountCtx asked = ctx;
  {
    auto_lock lock(&m_vmInfoLock);
    if (m_vmInfo == nullptr || m_vmInfo->GetSnapBackupInfo(asked, files, 0) == 0 || files.empty()) {
      m_event.Error(kSigSnapInfo, "Failed to get Snap Backup xml file");
      return false;
    }
  }
  for (const std::string& path : files) {
    if (path.find("backup_") == std::string::npos) continue;
    std::string content;
    if (CPxFile::ReadWholeFile(path, content).IsError() || content.empty()) {
      m_event.Error(kSigSnapInfo, "Failed to read VM snap metadata file [%s]", path.c_str());
      return false;
    }
    text = content;
    m_event.DebugLvl(2, kSigSnapInfo, "Successfully read snap metadata file [%s]", path.c_str());
    return true;
  }
  return false;
}

bool QuarnSnapController::GetVMSnapBackupInfo(const MountCtx& ctx, std::string& text) {
  if (!m_jobMgr->isSnapBackup() || !m_appMgr->isUseIndexingV2Enabled()) return true;
  auto_lock lock(&m_vmInfoLock);
  return m_vmInfo != nullptr && m_vmInfo->GetVMSnapBackupInfo(ctx, text) == 1 && !text.empty();
}

// ---- Index clients of single VMs ----

bool QuarnSnapController::AllocateVMIndexClientForVM(const std::string& guid) {
  m_event.Debug(kSigAllocate, "Allocting VMIndexClient for VM [%s]", guid.c_str());
  std::unique_ptr<vsIndexClient> client(new (std::nothrow)
                                            vsIndexClient(m_jobMgr, m_appMgr, m_jobMgr->getMediaAgent()));
  if (!client) return false;
  ZtCriticalSectionLock lock(&m_indexClientLock);
  m_vmIndexClients[guid] = std::move(client);
  return true;
}

vsIndexClient* QuarnSnapController::GetVMIndexClientPtrForVM(const std::string& guid) {
  {
    ZtCriticalSectionLock lock(&m_indexClientLock);
    auto it = m_vmIndexClients.find(guid);
    if (it != m_vmIndexClients.end()) return it->second.get();
  }
  if (!AllocateVMIndexClientForVM(guid)) {
    m_event.Error(kSigClientForVM, "Failed to allocate VMIndexClient object for vm: [%s]", guid.c_str());
    return nullptr;
  }
  ZtCriticalSectionLock lock(&m_indexClientLock);
  auto it = m_vmIndexClients.find(guid);
  if (it == m_vmIndexClients.end()) {
    m_event.Error(kSigClientForVM, "VMIndexClient allocated for VM [%s] not found in map.", guid.c_str());
    return nullptr;
  }
  return it->second.get();
}

bool QuarnSnapController::CloseIndexingForVM(const std::string& guid) {
  m_event.Debug(kSigCloseForVM, "Closing indexing connection for VM:[%s]", guid.c_str());
  std::unique_ptr<vsIndexClient> client;
  {
    ZtCriticalSectionLock lock(&m_indexClientLock);
    auto it = m_vmIndexClients.find(guid);
    if (it == m_vmIndexClients.end()) {
      m_event.Error(kSigCloseForVM, "Failed to find indexClient for VM[%s]", guid.c_str());
      return false;
    }
    client = std::move(it->second);
    m_vmIndexClients.erase(it);
  }
  if (client->Close() != 1) {
    m_event.Error(kSigCloseForVM, "Error closing indexing connection for VM [%s]", guid.c_str());
    m_event << "Error closing connection to indexing";
    m_event.MinorEvent(kEventIndexCloseFailed);
  }
  return true;
}

void QuarnSnapController::CloseIndexing() {
  std::map<std::string, std::unique_ptr<vsIndexClient>, __less_nocase_cmp> clients;
  {
    ZtCriticalSectionLock lock(&m_indexClientLock);
    m_event.Debug(kSigCloseIndexing, "Number of VMIndexClients still alive: [%u]",
                  static_cast<unsigned>(m_vmIndexClients.size()));
    clients.swap(m_vmIndexClients);
  }
  for (auto& entry : clients) {
    m_event.Debug(kSigCloseIndexing, "Closing Indexing connection for VM [%s]", entry.first.c_str());
    if (entry.second->Close() != 1) {
      m_event.Error(kSigCloseIndexing, "Error closing indexing connection");
      m_event << "Error closing connection to indexing";
      m_event.MinorEvent(kEventIndexCloseFailed);
    }
  }
  QuarnController::CloseIndexing();
}

// ---- What the snapshot worker sends to the index ----

namespace {

// Runs `send` on the VM's own client with indexing V2, else on the shared client under its lock.
template <typename Send>
bool Forward(QuarnSnapController& controller, EvEvent& log, const std::string& guid, bool useVMClient,
             vsIndexClient* (QuarnSnapController::*shared)(auto_lock&), Send send) {
  if (useVMClient) {
    vsIndexClient* client = controller.GetVMIndexClientPtrForVM(guid);
    if (client == nullptr) {
      log.Error(kSigForward, "Failed to get VMIndexClient for VM [%s]", guid.c_str());
      return false;
    }
    return send(*client, true);
  }
  auto_lock lock;
  vsIndexClient* client = (controller.*shared)(lock);
  return client != nullptr && send(*client, false);
}

}  // namespace

bool QuarnSnapController::SendArchiveFileInfo(uint64_t keyrealmId, uint32_t archiveFileId) {
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  if (client == nullptr) return false;
  if (m_appMgr->isUseIndexingV2Enabled())
    return client->SendArchiveFileInfo(keyrealmId, archiveFileId, 0, m_appMgr->getAppId(), m_jobMgr->getJobId(),
                                       m_jobMgr->getBkpLevel());
  return client->SendArchiveFileInfo(keyrealmId, archiveFileId);
}

bool QuarnSnapController::SendArchiveFileInfoForVM(const std::string& guid, uint64_t keyrealmId, uint32_t archiveFileId,
                                                   uint64_t subclientId, long long jobId, int backupLevel) {
  vsIndexClient* client = GetVMIndexClientPtrForVM(guid);
  if (client == nullptr) {
    m_event.Error(kSigForward, "Failed to get VMIndexClient for VM [%s]", guid.c_str());
    return false;
  }
  return client->SendArchiveFileInfo(keyrealmId, archiveFileId, 0, subclientId, jobId, backupLevel);
}

bool QuarnSnapController::CommitArchiveFileInfo(const std::string& guid) {
  if (!m_appMgr->isUseIndexingV2Enabled()) return true;
  vsIndexClient* client = GetVMIndexClientPtrForVM(guid);
  if (client == nullptr) {
    m_event.Error(kSigForward, "Failed to get VMIndexClient for VM [%s]", guid.c_str());
    return false;
  }
  return client->CommitArchiveFileInfo();
}

bool QuarnSnapController::UpdateRestartInfo(uint64_t value) {
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  return client != nullptr && client->UpdateRestartInfo(value);
}

bool QuarnSnapController::SendFileInfo(const std::string& guid, const std::string& name, int number, int64_t time,
                                       uint64_t size, bool vmRecord, bool flag2, bool flag3) {
  return Forward(*this, m_event, guid, m_appMgr->isUseIndexingV2Enabled(), &QuarnController::GetIndexClient,
                 [&](vsIndexClient& client, bool own) {
                   return client.SendFileInfo(guid, name, number, time, size, vmRecord, flag2, own && flag3);
                 });
}

bool QuarnSnapController::SendFileHeader(const std::string& guid, const std::string& name, uint64_t number,
                                         int64_t time, bool failed, uint32_t kind, const std::string& text, int flags,
                                         uint64_t size) {
  return Forward(*this, m_event, guid, m_appMgr->isUseIndexingV2Enabled(), &QuarnController::GetIndexClient,
                 [&](vsIndexClient& client, bool) {
                   return client.SendFileHeader(guid, name, number, time, failed, kind, text, flags, size);
                 });
}

bool QuarnSnapController::SendIndexMetaDataInfo(const std::string& guid, IdxMetadata::IdxMetaData& metadata) {
  return Forward(*this, m_event, guid, m_appMgr->isUseIndexingV2Enabled(), &QuarnController::GetIndexClient,
                 [&](vsIndexClient& client, bool) { return client.SendIndexMetaDataInfo(guid, metadata); });
}

bool QuarnSnapController::sendErrorIdxMetadata(const std::string& vmName, int code, const std::string& reason) {
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  return client != nullptr && client->sendErrorIdxMetadata(vmName, code, reason);
}

bool QuarnSnapController::UploadVMMetadataFiles(const std::string& guid, const std::vector<std::string>& files,
                                                uint64_t jobId, const std::string& subclientGuid) {
  auto_lock lock;
  vsIndexClient* client = GetIndexClient(lock);
  return client != nullptr && client->UploadVMMetadataFiles(guid, files, static_cast<int64_t>(jobId), subclientGuid);
}

bool QuarnSnapController::UpdateIndexDataWithGUID(const std::string& guid, IdxMetadata::IdxMetaData& metadata,
                                                  const std::string& path, int64_t allocated, int64_t size,
                                                  long long jobId, const std::string& text) {
  vsIndexClient* client = GetVMIndexClientPtrForVM(guid);
  return client != nullptr && client->UpdateIndexDataWithGUID(metadata, path, allocated, size, jobId, text);
}

// ---- Progress and application size ----

bool QuarnSnapController::UpdateVMJobProgress(int percent) {
  {
    ZtCriticalSectionLock lock(&m_vmLock);
    for (const auto& entry : m_snapMountCtx.vmInfoMap) {
      if (entry.second.quiesceStatus != 0) continue;
      vm_params* vm = FindVM(entry.first);
      if (vm == nullptr) continue;
      bool changed = false;
      if (vm->updateInfo.getint64(U::F_vmStatus) == kJobStatusToBeBackedUp) {
        QuarnUtils::FillVMUpdateInfoForStartedVM(vm->updateInfo, m_jobMgr, m_appMgr, vm->vmName, vm->vmGuid,
                                                 static_cast<int>(vm->collect.getint64(Collect::F_vmClientId)),
                                                 vm->collect.getint64(Collect::F_vmJobId));
        changed = true;
      }
      if (vm->updateInfo.getint64(U::F_progressPercent) < percent) {
        vm->updateInfo.setint64(U::F_progressPercent, percent);
        changed = true;
      }
      if (changed) SendVMUpdate(*vm);
    }
  }
  m_jobMgr->updateVMBkpJobStatus(m_appMgr->getKeyrealmId(), true);
  return true;
}

bool QuarnSnapController::CommitAppSize() {
  ZtCriticalSectionLock lock(&m_appSizeLock);
  if (m_appSize != 0) {
    m_event.Debug(kSigAppSize, "Sending total application size for snap job as [%lld] bytes",
                  static_cast<long long>(m_appSize));
    m_jobMgr->UpdateAppSize(m_appSize, 0, true);
  } else {
    m_event.Debug(kSigAppSize, "Snap application size is not set for this job");
  }
  return true;
}

bool QuarnSnapController::CleanupJobMetadataFiles(const std::string& folder) {
  if (m_appMgr == nullptr || folder.empty() || m_appMgr->isServerTypeVMWare()) return true;
  // The folder of this job's files, and nothing outside the subclient's folder: a separator joins
  // the parts (else a sibling folder whose name merely begins the same would go), and a path that
  // leads anywhere else is left alone.
  const std::string subclient = FXPath::AppendTrailingDelimiter(m_subclientFiles.subclientDir);
  const std::string path = FXPath::AppendTrailingDelimiter(folder) + "Metadata" + "/" +
                           std::to_string(static_cast<unsigned long long>(m_snapMountCtx.snapBackupJobId));
  if (subclient.size() <= 1 || path.compare(0, subclient.size(), subclient) != 0 ||
      path.find("/../") != std::string::npos || m_snapMountCtx.snapBackupJobId == 0) {
    m_event.Error(kSigCleanup, "Not cleaning up metadata folder [%s]: it is not this job's folder", path.c_str());
    return true;
  }
  if (!CPxDirectory::Exists(path)) return true;
  m_event.Debug(kSigCleanup, "Cleaning up metadata files from metadata folder [%s]", path.c_str());
  CPxDirectory::Remove(path, true);
  return true;
}
