// The VM collect file: its name and place, loading it into the job's VM map, its copies in the index
// cache, and its deletion. Discovery writes the file; this process only reads, fetches, uploads and
// deletes it.
#include "coordinator/QuarnCoordinator.h"
#include "platform/msg/vsXMLFile.h"
#include "platform/os/CPxFile.h"
#include "platform/os/CPxPath.h"

namespace {

const char* const kSigLoad = "int QuarnCoordinator::LoadVMCollectFile(VirtualServer::VMCollectList&)";
const char* const kSigRead = "int QuarnCoordinator::ReadVMCollectFile()";
const char* const kSigDownload = "bool QuarnCoordinator::DownloadCollectFromIndexCache()";
const char* const kSigUploadToIndex = "bool QuarnCoordinator::UploadCollectFileToIndex()";
const char* const kSigUploadToCache = "bool QuarnCoordinator::UploadCollectToIndexCache()";
const char* const kSigUploadMetadata =
    "bool QuarnCoordinator::UploadMetadataFilesToCache(const std::vector<std::string>&)";
const char* const kSigDelete = "bool QuarnCoordinator::DeleteVMCollectFile()";

const char* const kCollectBaseName = "vmcollect";

// Results of loading the collect file.
constexpr int kCollectMissing = 53;
constexpr int kCollectForeign = 70;

}  // namespace

void QuarnCoordinator::GetCollectFileName(std::string& name) {
  char text[128];
  if (m_appMgr->isUseIndexingV2Enabled())
    std::snprintf(text, sizeof(text), "%s_%lld.ztf", kCollectBaseName, static_cast<long long>(m_jobMgr->getJobId()));
  else
    std::snprintf(text, sizeof(text), "%s.ztf", kCollectBaseName);
  name = text;
}

std::string QuarnCoordinator::GetDiscoveryCollectFilePath() {
  std::string name;
  GetCollectFileName(name);
  return CPxPath::Append(m_subclientDir, name, false);
}

int QuarnCoordinator::LoadVMCollectFile(VirtualServer::VMCollectList& list) {
  vsXMLFile file(m_collectFilePath);
  if (!file.Exists()) {
    m_event.Error(kSigLoad, "VM Collect file [%s] is not present", m_collectFilePath.c_str());
    return kCollectMissing;
  }
  if (!file.Load(list)) {
    m_event.Debug(kSigLoad, "Failed to read the VM Collect File [%s]", m_collectFilePath.c_str());
    return kCollectMissing;
  }
  // Compared at full width: a job id cut to 32 bits would take another job's file for this one's.
  const int64_t fileJobId = list.getint64(VirtualServer::VMCollectList::F_jobId);
  if (fileJobId != m_jobMgr->getJobId()) {
    m_event.Error(kSigLoad, "Job id mismatch. File Job Id [%lld], process job id [%lld]",
                  static_cast<long long>(fileJobId), static_cast<long long>(m_jobMgr->getJobId()));
    file.Delete();
    return kCollectForeign;
  }
  return 0;
}

vm_params QuarnCoordinator::MakeVMParams(const VirtualServer::VMCollect& collect) {
  using Collect = VirtualServer::VMCollect;
  vm_params vm;
  vm.vmName = collect.getstring(Collect::F_vmName);
  vm.vmInfo.field01 = vm.vmName;
  vm.vmGuid = collect.getstring(Collect::F_vmGuid);
  vm.vmInfo.guid = vm.vmGuid;
  vm.host = collect.getstring(Collect::F_vmHost);
  vm.indexingMetadata.host = vm.host;
  vm.datacenter = collect.getstring(Collect::F_datacenter);
  vm.collectText13 = collect.getstring(Collect::F_serverName);
  vm.cluster = collect.getstring(Collect::F_cluster);
  vm.datastore = collect.getstring(Collect::F_datastore);
  vm.isClustered = collect.getint64(Collect::F_clusterFlag) != 0;
  vm.indexingMetadata.stubData = collect.getstring(Collect::F_indexStubData);
  vm.indexingMetadata.datastore = collect.getstring(Collect::F_indexDatastore);
  vm.indexingMetadata.resourcePool = collect.getstring(Collect::F_indexResourcePool);
  vm.indexingMetadata.deleteTimestampText = collect.getstring(Collect::F_indexDeleteTime);
  vm.collect = collect;
  return vm;
}

int QuarnCoordinator::ReadVMCollectFile() {
  VirtualServer::VMCollectList list;
  int code = LoadVMCollectFile(list);
  if (code != 0) {
    if (m_jobMgr->isVMContentIndexMode()) {
      m_event.Error(kSigRead, "Unable to load VM collect file.");
      return code;
    }
    m_event.Debug(kSigRead, "Checking if the VM Collect file [%s] is present in the index cache.",
                  m_collectFilePath.c_str());
    if (!DownloadCollectFromIndexCache()) {
      m_event.Error(kSigRead, "Failed to download the VM Collect File [%s] from the index cache.",
                    m_collectFilePath.c_str());
      return kCollectMissing;
    }
    code = LoadVMCollectFile(list);
    if (code != 0) {
      m_event.Debug(kSigRead, "Unable to load VM Collect File from index cache");
      return code;
    }
    m_uploadCollectFile = 0;
  }
  for (const CNMessagePtr& entry : list.getlistobject(VirtualServer::VMCollectList::F_vms, false)) {
    if (!entry || entry->getTagID() != VirtualServer::VMCollect::TAG) continue;
    m_vmMap.Add(MakeVMParams(static_cast<const VirtualServer::VMCollect&>(*entry)));
  }
  return 0;
}

bool QuarnCoordinator::DownloadCollectFromIndexCache() {
  std::string name;
  GetCollectFileName(name);
  if (m_appMgr->isUseIndexingV2Enabled()) {
    if (!m_indexClient->DownloadMetadataFilesFromRemoteCache({name}, m_subclientDir, m_jobMgr->getJobId(),
                                                             m_appMgr->getSubclientGUID(), std::string())) {
      m_event.Debug(kSigDownload, "Failed to download collect file from RemoteFileCache");
      return false;
    }
  } else if (!m_indexClient->DownloadMetadataFile(name + "*", m_subclientDir)) {
    m_event.Debug(kSigDownload, "Failed to download collect file from index cache");
    return false;
  }
  if (!CPxFile::Exists(m_collectFilePath)) {
    m_event.Debug(kSigDownload, "Failed to download collect file to index cache, file does not exist");
    return false;
  }
  return true;
}

bool QuarnCoordinator::UploadCollectFileToIndex() {
  if (IsCopyParentSnapIndexOnlyJob()) return true;
  if (JobRestarted() && !m_appMgr->isUseIndexingV2Enabled()) return true;
  if (m_uploadCollectFile == 0) return true;
  if (!UploadCollectToIndexCache()) {
    m_event.Debug(kSigUploadToIndex, "Failed to upload VM Collect File [%s] to the index cache.",
                  m_collectFilePath.c_str());
    return false;
  }
  return true;
}

bool QuarnCoordinator::UploadCollectToIndexCache() {
  if (m_indexClient->UploadMetadataFiles({m_collectFilePath}, m_jobMgr->getJobId(), m_appMgr->getSubclientGUID()) == 1)
    return true;
  const std::string error = m_indexClient->GetLastError();
  m_event.Debug(kSigUploadToCache, "Failed to upload collect file to index cache - %s", error.c_str());
  m_jobMgr->addPendingCauseArgument(m_indexClient->GetMediaAgentClientName());
  m_jobMgr->addPendingCauseArgument(error);
  m_jobMgr->setPendingCauseAndEvent(0x5B0001CE, 3);
  return false;
}

bool QuarnCoordinator::UploadMetadataFilesToCache(const std::vector<std::string>& files) {
  for (const std::string& file : files) m_event.Debug(kSigUploadMetadata, "Uploading metadata file %s to cache", file.c_str());
  if (m_indexClient->UploadMetadataFiles(files, m_jobMgr->getJobId(), m_appMgr->getSubclientGUID()) != 1) {
    m_event.Debug(kSigUploadMetadata, "Failed to upload metadata files to Remote File Cache");
    return false;
  }
  return true;
}

bool QuarnCoordinator::DeleteVMCollectFile() {
  ZtCriticalSectionLock lock(&m_collectFileLock);
  if (m_collectFilePath.empty() || !CPxFile::Exists(m_collectFilePath)) return false;
  CPxError error = CPxFile::Remove(m_collectFilePath);
  if (error.IsError()) {
    m_event.Error(kSigDelete, "Failed to delete VMCollect file: [%s], Error: [%s]", m_collectFilePath.c_str(),
                  error.AsString().c_str());
    return false;
  }
  m_event.Debug(kSigDelete, "Deleted VMCollect file: [%s]", m_collectFilePath.c_str());
  return true;
}
