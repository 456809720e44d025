// The job's index at the coordinator: the index is created before the agents start and finalised
// after the loop; snapshot backups keep the tables "VMtoContentMap" and "VMtoGUID" beside it, and
// with the second indexing generation end with the log-archiver batch whose answers are the VMs'
// final status.
//
// Codes of the table operations (0 = success): 4 no memory for a table object, 42 content map not
// initialised, 43 content record not inserted, 44 VM-to-GUID table not initialised, 45 VM not
// inserted, 59 table files missing, 64 VM lookup failed, 71 content map not opened, 72 VM-to-GUID
// table not opened.
#include <memory>
#include <new>

#include "app/QuarnUtils.h"
#include "coordinator/QuarnCoordinator.h"
#include "platform/archive/vsArchive.h"
#include "platform/sim/vsSim.h"
#include "platform/os/CPxFile.h"
#include "platform/os/CPxPath.h"
#include "records/VMArchivingStructs.h"

namespace {

const char* const kSigInitIndex = "bool QuarnCoordinator::InitIndex()";
const char* const kSigCreateIndex = "bool QuarnCoordinator::CreateIndex()";
const char* const kSigInitTables = "int QuarnCoordinator::initBkpIndexingTables()";
const char* const kSigSanity = "int QuarnCoordinator::checkBkpIndexingTablesSanity()";
const char* const kSigMasterFile = "bool QuarnCoordinator::CreateMasterIndexArchiveFile()";
const char* const kSigFinalize = "virtual bool QuarnCoordinator::FinalizeIndex()";
const char* const kSigAddGuid = "int QuarnCoordinator::addVMGuidToTable(const std::string&, const std::string&)";
const char* const kSigInsertContent = "int QuarnCoordinator::insertContentMapTable(const TVMContentRecord2&)";
const char* const kSigLogArchiver =
    "void QuarnCoordinator::HandleLogArchiverComplete(const std::string&, int64_t)";
const char* const kSigLogArchiverFailures =
    "void QuarnCoordinator::CheckAndHandleLogArchiverFailures(const std::list<VMArchiveIndexParam>&)";

const char* const kContentMapTable = "VMtoContentMap";
const char* const kVMGuidTable = "VMtoGUID";
const char* const kLogArchiverFailure = "Failed to Archive Index logs";

constexpr int kNoMemory = 4;
constexpr int kContentInitFailed = 42;
constexpr int kContentInsertFailed = 43;
constexpr int kGuidInitFailed = 44;
constexpr int kGuidInsertFailed = 45;
constexpr int kTableFilesMissing = 59;
constexpr int kGuidLookupFailed = 64;
constexpr int kContentOpenFailed = 71;
constexpr int kGuidOpenFailed = 72;

constexpr uint32_t kCauseTablesDamaged = 0x5B000083;
constexpr int64_t kStatusBackedUp = 0;
constexpr int64_t kStatusFailed = 1;
constexpr int64_t kStatusArchivingLogs = 2;
constexpr int64_t kStatusBackedUpWithErrors = 3;

// Closes a table when the access ends, whichever way it ends.
class TableAccess {
 public:
  explicit TableAccess(TCtreeTable* table) : table_(table) {}
  ~TableAccess() {
    if (table_ != nullptr) table_->close();
  }
  TableAccess(const TableAccess&) = delete;
  TableAccess& operator=(const TableAccess&) = delete;

 private:
  TCtreeTable* table_;
};

void RemoveTableFiles(const std::string& path) {
  for (const std::string& file : {TCtreeTable::DataFile(path), TCtreeTable::IndexFile(path)})
    if (CPxFile::Exists(file)) FXFile::RemoveFile(file);
}

bool TableFilesExist(const std::string& path) {
  return CPxFile::Exists(TCtreeTable::DataFile(path)) && CPxFile::Exists(TCtreeTable::IndexFile(path));
}

// Initialises and opens a table of the restarted job to see that it is whole; the table object is
// gone afterwards.
template <typename Table>
int CheckTable(EvEvent& event, const std::string& path, int initFailed, int openFailed) {
  std::unique_ptr<Table> table(new (std::nothrow) Table());
  if (!table) {
    event.Error(kSigSanity, "No memory available for table objects");
    return kNoMemory;
  }
  int rc = table->initialize(path, false);
  if (rc != 0) {
    event.Error(kSigSanity, "Failed to initialize table, retCode [%d] Path [%s]", rc, path.c_str());
    return initFailed;
  }
  rc = table->open(1);
  table->close();
  if (rc != 0) {
    event.Error(kSigSanity, "Failed to open table [%s]. RetCode [%d]", path.c_str(), rc);
    return openFailed;
  }
  return 0;
}

}  // namespace

// ---- Start-up ----

bool QuarnCoordinator::InitIndex() {
  if (m_appMgr->isUseIndexingV2Enabled()) {
    if (m_jobMgr->isSnapToTape() && !CreateMasterIndexArchiveFile()) return false;
  } else {
    if (m_jobMgr->isVMStubPhase()) return true;
    if (!JobRestarted() && !CreateIndex()) return false;
    if (initBkpIndexingTables() != 0) {
      m_event.Error(kSigInitIndex, "initBkpIndexingTables failed. Failing the backup.");
      return false;
    }
  }
  return UploadCollectFileToIndex();
}

bool QuarnCoordinator::CreateIndex() {
  for (const auto& entry : m_vmMap) m_indexClient->AddVMGuid(entry.second.vmGuid, false);
  {
    ZtCriticalSectionLock lock(&m_carryForwardLock);
    for (const std::string& guid : m_carryForwardVMList) m_indexClient->AddVMGuid(guid, false);
  }
  if (m_jobMgr->isSnapCatalogMode() && m_appMgr->isServerTypeMS()) return true;
  if (!m_indexClient->createIndex(false)) {
    m_event.Error(kSigCreateIndex, "Create Index Failed");
    return false;
  }
  return true;
}

int QuarnCoordinator::initBkpIndexingTables() {
  int disabled = 0;
  m_registry.GetEntry(REG_nDisableIndexTableCreation, disabled, 0);
  if (!m_jobMgr->isSnapBackup() || disabled != 0) return 0;

  m_event.DebugLvl(2, kSigInitTables, "Starting...");
  const bool restarted = JobRestarted();
  if (restarted && checkBkpIndexingTablesSanity() != 0) {
    m_jobMgr->setPendingCause(kCauseTablesDamaged);
    m_setupFailed = true;
    return 0;
  }

  const std::string contentPath = CPxPath::Append(m_subclientDir, kContentMapTable, false);
  {
    ZtCriticalSectionLock lock(&m_contentMapLock);
    delete m_contentMapTable;
    m_contentMapTable = new (std::nothrow) TVMContentTable();
    if (m_contentMapTable == nullptr) {
      m_event.Error(kSigInitTables, "No memory available for table objects");
      return kNoMemory;
    }
    if (!restarted) RemoveTableFiles(contentPath);
    const int rc = m_contentMapTable->initialize(contentPath, false);
    if (rc != 0) {
      m_event.Error(kSigInitTables, "Failed to initialize table, retCode [%d] Path [%s]", rc, contentPath.c_str());
      return kContentInitFailed;
    }
  }
  m_indexClient->AddMetadataFile(TCtreeTable::DataFile(contentPath));
  m_indexClient->AddMetadataFile(TCtreeTable::IndexFile(contentPath));

  const std::string guidPath = CPxPath::Append(m_subclientDir, kVMGuidTable, false);
  delete m_vmGuidTable;
  m_vmGuidTable = new (std::nothrow) TVMGUIDTable();
  if (m_vmGuidTable == nullptr) {
    m_event.Error(kSigInitTables, "No memory available for table objects");
    return kNoMemory;
  }
  if (restarted)
    m_event.Debug(kSigInitTables, "tables [%s] will not be deleted because the job has been restarted",
                  guidPath.c_str());
  else
    RemoveTableFiles(guidPath);
  const int rc = m_vmGuidTable->initialize(guidPath, false);
  if (rc != 0) {
    m_event.Error(kSigInitTables, "Failed to initialize table, retCode [%d] Path [%s]", rc, guidPath.c_str());
    return kGuidInitFailed;
  }
  m_indexClient->AddMetadataFile(TCtreeTable::DataFile(guidPath));
  m_indexClient->AddMetadataFile(TCtreeTable::IndexFile(guidPath));
  return 0;
}

int QuarnCoordinator::checkBkpIndexingTablesSanity() {
  m_event.DebugLvl(2, kSigSanity, "Starting...");
  const std::string contentPath = CPxPath::Append(m_subclientDir, kContentMapTable, false);
  const std::string guidPath = CPxPath::Append(m_subclientDir, kVMGuidTable, false);
  if (!TableFilesExist(contentPath) || !TableFilesExist(guidPath)) {
    m_event.Error(kSigSanity, "The VMtoContentMap / VMtoGuid files are not present.");
    return kTableFilesMissing;
  }
  if (!m_appMgr->isFileLevelBackup()) {
    const int rc = CheckTable<TVMContentTable>(m_event, contentPath, kContentInitFailed, kContentOpenFailed);
    if (rc != 0) return rc;
  }
  return CheckTable<TVMGUIDTable>(m_event, guidPath, kGuidInitFailed, kGuidOpenFailed);
}

bool QuarnCoordinator::CreateMasterIndexArchiveFile() {
  if (m_jobMgr->isSnapToTape() && !m_jobMgr->isCopyParentJobToTape()) return true;
  const int64_t previous = m_jobMgr->getPrevMasterArchFile();
  if (previous != 0) {
    m_masterIndexFileNumber = static_cast<uint32_t>(previous);
    m_masterIndexFileTime = static_cast<uint64_t>(m_jobMgr->getPrevMasterAFileCTime());
    return true;
  }
  vsSim sim;
  vsArchive archive(m_jobMgr, m_appMgr, &sim, std::string());
  if (vsArchive::isError(archive.init(false))) {
    m_event.Error(kSigMasterFile, "Failed to open an archive for the master index archive file: %s",
                  archive.GetLastError().c_str());
    return false;
  }
  if (m_jobMgr->checkQuitFlag()) {
    m_event.Error(kSigMasterFile, "Job is suspended or killed");
    return false;
  }
  uint32_t number = 0;
  uint64_t time = 0;
  const bool snapBackup = m_jobMgr->isSnapBackup();
  if (!snapBackup ||
      QuarnUtils::IsVMCentricSnapBackupSupported(static_cast<VirtualServerInstanceType>(m_appMgr->getInstanceType()),
                                                 m_appMgr->getSnapEngineID(), m_appMgr->isUseIndexingV2Enabled())) {
    if (vsArchive::isError(archive.CreateMasterIndexArchiveFile(&number, &time, snapBackup))) {
      m_event.Error(kSigMasterFile, "Failed to create the master index archive file: %s",
                    archive.GetLastError().c_str());
      return false;
    }
    m_event.Debug(kSigMasterFile, "Created master index archive file [%u]", number);
  }
  m_masterIndexFileNumber = number;
  m_masterIndexFileTime = time;
  m_jobMgr->setMasterArchFile(number, static_cast<int64_t>(time));
  return true;
}

// ---- Content records of finished VMs ----

int QuarnCoordinator::insertContentMapTable(VirtualServer::VMContentRecord& message) {
  using M = VirtualServer::VMContentRecord;
  TVMContentRecord2 record;
  record.clear();
  const uint64_t extentSize = static_cast<uint64_t>(message.getint64(M::F_extentSize));
  const uint64_t fileSize = static_cast<uint64_t>(message.getint64(M::F_fileSize));
  record.productType = static_cast<uint32_t>(message.getint64(M::F_productType));
  record.diskType = static_cast<uint32_t>(message.getint64(M::F_diskType));
  record.flags = static_cast<uint32_t>(message.getint64(M::F_flags));
  record.extentSizeHigh = static_cast<uint32_t>(extentSize >> 32);
  record.extentSizeLow = static_cast<uint32_t>(extentSize & 0xFFFFFFFFu);
  record.allocatedSize = static_cast<uint32_t>(message.getint64(M::F_allocatedSize));
  record.fileSizeHigh = static_cast<uint32_t>(fileSize >> 32);
  record.fileSizeLow = static_cast<uint32_t>(fileSize & 0xFFFFFFFFu);
  SetRecordText(record.vmGuid, sizeof(record.vmGuid), message.getstring(M::F_guid));
  SetRecordText(record.indexName, sizeof(record.indexName), message.getstring(M::F_indexName));
  SetRecordText(record.displayName, sizeof(record.displayName), message.getstring(M::F_displayName));
  SetRecordText(record.proxyName, sizeof(record.proxyName), message.getstring(M::F_proxyName));
  return insertContentMapTable(record);
}

int QuarnCoordinator::insertContentMapTable(const TVMContentRecord2& record) {
  ZtCriticalSectionLock lock(&m_contentMapLock);
  if (m_contentMapTable == nullptr) return 0;
  TableAccess access(m_contentMapTable);
  TVMContentRecord2 stored = record;
  int rc = m_contentMapTable->lookup(stored);
  if (rc == 0) return 0;
  if (rc == TCtreeTable::kNotFound) rc = m_contentMapTable->insert(record);
  if (rc != 0) {
    m_event.Error(kSigInsertContent, "Failed to insert record into content map table, retCode [%d]", rc);
    return kContentInsertFailed;
  }
  return 0;
}

// ---- The end of the job ----

void QuarnCoordinator::SendInImageRecord(const std::string& item) {
  // The index then shows the item as it was; a failure leaves it as the index last knew it.
  const bool infoSent = m_indexClient->SendArchiveFileInfo(m_appMgr->getKeyrealmId(), 1);
  const bool flagSent = m_indexClient->SendInImageFlag(item, 0, true, 1, std::string());
  if (!infoSent || !flagSent)
    m_event.Error(kSigFinalize, "Failed to send the in-image record of [%s]: %s", item.c_str(),
                  m_indexClient->GetLastError().c_str());
}

bool QuarnCoordinator::FinalizeIndex() {
  if (m_jobMgr->isVMStubPhase()) return true;
  if (m_appMgr->isUseIndexingV2Enabled()) {
    if (!m_jobMgr->isSnapToTape()) return true;
    if (CopyParentSnapIndexToBackupCopy()) return true;
    m_event.Error(kSigFinalize, "Failed to copy Parent Snap Index to Backup Copy");
    return false;
  }

  const bool full = m_jobMgr->isFullBkp();
  for (const auto& entry : m_vmMap) {
    const vm_params& vm = entry.second;
    bool marked = false;
    if (vm.archivingStatus == VMInfoStructs::STUB_STATE_ALREADY_STUBBED ||
        vm.archivingStatus == VMInfoStructs::STUB_STATE_IN_PROGRESS ||
        vm.archivingStatus == VMInfoStructs::STUB_STATE_SUCCESSFULLY_STUBBED) {
      m_event.Error(kSigFinalize, "Sending VM [%s] as stub to Indexing", vm.vmName.c_str());
      SendInImageRecord("\\" + vm.vmGuid);
      marked = true;
    } else if (vm.vmPhase == PHASE_FAILED && !full) {
      marked = true;
    }
    m_indexClient->AddVMGuid(vm.vmGuid, marked);
  }
  {
    ZtCriticalSectionLock lock(&m_carryForwardLock);
    for (const std::string& guid : m_carryForwardVMList) {
      m_indexClient->AddVMGuid(guid, true);
      SendInImageRecord("\\" + guid);
    }
  }
  if (!full) {
    for (const auto& entry : m_vmMap) {
      const vm_params& vm = entry.second;
      if (vm.vmPhase != PHASE_FAILED) continue;
      m_event.Error(kSigFinalize, "Sending In-Image flag for the failed VM [%s][%s]", vm.vmGuid.c_str(),
                    vm.vmName.c_str());
      SendInImageRecord("\\" + vm.vmGuid);
    }
  }
  if (m_jobMgr->isSnapBackup()) {
    for (const auto& entry : m_vmMap) {
      const vm_params& vm = entry.second;
      if (vm.vmPhase != PHASE_DONE && vm.vmPhase != PHASE_DONE_WITH_ERRORS) continue;
      if (addVMGuidToTable(vm.vmName, vm.vmGuid) != 0) return false;
    }
  }
  if (!m_indexClient->createIndex(true)) {
    m_event.Error(kSigFinalize, "Finalize Index Failed");
    return false;
  }
  return true;
}

int QuarnCoordinator::addVMGuidToTable(const std::string& vmName, const std::string& vmGuid) {
  if (m_vmGuidTable == nullptr) return 0;
  TableAccess access(m_vmGuidTable);
  TVMGUIDRecord2 record;
  record.clear();
  SetRecordText(record.vmGuid, sizeof(record.vmGuid), vmGuid);
  if (JobRestarted()) {
    TVMGUIDRecord2 stored = record;
    const int rc = m_vmGuidTable->lookup(stored);
    if (rc == 0) {
      m_event.Debug(kSigAddGuid,
                    "vmName [%s] is already present in the VMToGuidTbl from a previous run of this job. It is OK",
                    vmName.c_str());
      return 0;
    }
    if (rc != TCtreeTable::kNotFound) {
      m_event.Error(kSigAddGuid,
                    "failed to check if vmName [%s] is already present in the VMToGuidTbl from a previous run of "
                    "this job. Exiting",
                    vmName.c_str());
      return kGuidLookupFailed;
    }
    m_event.Debug(kSigAddGuid,
                  "vmName [%s] is not present in the VMToGuidTbl from a previous run of this job. Inserting the "
                  "record into the table ",
                  vmName.c_str());
  }
  SetRecordText(record.vmName, sizeof(record.vmName), vmName);
  const int rc = m_vmGuidTable->insert(record);
  if (rc != 0) {
    m_event.Error(kSigAddGuid, "Failed to insert record into vm name to guid map table, retCode [%d]", rc);
    return kGuidInsertFailed;
  }
  return 0;
}

// ---- Log-archiver results ----

void QuarnCoordinator::FailLogArchiverVM(vm_params& vm) {
  vm.vmPhase = PHASE_FAILED;
  vm.updateInfo.setint64(JobManager::VMUpdateInfo::F_vmStatus, kStatusFailed);
  vm.updateInfo.setstring(JobManager::VMUpdateInfo::F_failureText, kLogArchiverFailure);
  AddVMFailures(1);
}

void QuarnCoordinator::ReportLogArchiverStatus(vm_params& vm) {
  using U = JobManager::VMUpdateInfo;
  vm.updateInfo.setint64(U::F_progressPercent, 100);
  vm.updateInfo.setint64(U::F_clientId, vm.collect.getint64(VirtualServer::VMCollect::F_vmClientId));
  // The agent that backed the VM up wrote its whole record (name, host, sizes, times); the answer
  // changes only its status, percent and client (and why it failed), never the rest.
  U record;
  if (!vsJobMgr::ReadVMStatus(m_jobMgr->getJobId(), vm.vmGuid, record)) record.setstring(U::F_recordGuid, vm.vmGuid);
  record.setint64(U::F_vmStatus, vm.updateInfo.getint64(U::F_vmStatus));
  record.setint64(U::F_progressPercent, 100);
  record.setint64(U::F_clientId, vm.updateInfo.getint64(U::F_clientId));
  if (vm.updateInfo.isSet(U::F_failureText)) record.setstring(U::F_failureText, vm.updateInfo.getstring(U::F_failureText));
  m_jobMgr->setVMStatus(vm.vmGuid, record);
}

void QuarnCoordinator::HandleLogArchiverComplete(const std::string& vmGuid, int64_t status) {
  if (vmGuid.empty()) return;
  // Answers name their VM: one the job does not have, or one already answered, must not change
  // the job's counts.
  vm_params* vm = m_vmMap.Find(vmGuid);
  if (vm == nullptr || vm->updateInfo.getint64(JobManager::VMUpdateInfo::F_vmStatus) != kStatusArchivingLogs) {
    m_event.Error(kSigLogArchiver, "Ignoring the log archiver's answer for VM [%s]: %s", vmGuid.c_str(),
                  vm == nullptr ? "the VM is not part of this job" : "no answer is awaited for it");
    return;
  }
  if (status != 0) {
    FailLogArchiverVM(*vm);
  } else {
    vm->updateInfo.setint64(JobManager::VMUpdateInfo::F_vmStatus,
                            vm->vmPhase == PHASE_DONE_WITH_ERRORS ? kStatusBackedUpWithErrors : kStatusBackedUp);
    AddVMSuccesses(1);
  }
  ReportLogArchiverStatus(*vm);
}

void QuarnCoordinator::CheckAndHandleLogArchiverFailures(const std::list<VMArchiveIndexParam>& batch) {
  for (const VMArchiveIndexParam& param : batch) {
    vm_params* vm = m_vmMap.Find(param.vmGuid);
    if (vm == nullptr || vm->updateInfo.getint64(JobManager::VMUpdateInfo::F_vmStatus) != kStatusArchivingLogs)
      continue;
    m_event.Error(kSigLogArchiverFailures, "No log archiver answer for VM [%s], failing it", vm->vmName.c_str());
    FailLogArchiverVM(*vm);
    ReportLogArchiverStatus(*vm);
  }
}
