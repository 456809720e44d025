// Shared snapshot, snapshot metadata and hardware snapshot mounts at the coordinator.
#include <unistd.h>

#include <cstdio>

#include "app/QuarnUtils.h"
#include "controller/QuarnController.h"
#include "coordinator/QuarnCoordinator.h"
#include "platform/msg/vsXMLFile.h"
#include "platform/os/CPxCRC32.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxFile.h"
#include "platform/os/CPxPath.h"
#include "platform/os/ZtTime.h"

namespace {

const char* const kSigCreateShared = "virtual bool QuarnCoordinator::CreateSharedShadow()";
const char* const kSigDistributeShared = "virtual bool QuarnCoordinator::DistributeSharedShadow()";
const char* const kSigDeleteShared = "virtual bool QuarnCoordinator::DeleteSharedShadow()";
const char* const kSigDispatchMetadata = "bool QuarnCoordinator::DispatchSnapBackupMetadata()";
const char* const kSigMountInfo = "virtual bool QuarnCoordinator::DistributeMountSnapInfo()";
const char* const kSigCopyParent = "bool QuarnCoordinator::CopyParentSnapIndexToBackupCopy()";
const char* const kSigDeleteLeftover = "void QuarnCoordinator::DeleteLeftoverSharedShadows()";
const char* const kSigRecordShared = "void QuarnCoordinator::RecordSharedShadow()";

// A shared shadow could not be deleted and stays: arguments the shadow's name and the reason.
constexpr uint32_t kEventSharedShadowLeftStanding = 0x5B0001E7;

// The record of a shared shadow a job makes, kept in the subclient directory from before the shadow
// is made until it is deleted: "SharedShadow_<job id>_<8 hex digits>.xml", the digits telling apart
// the records of several attempts of one job (records of earlier versions: the CRC-32 of the shadow's
// first text). Its texts are empty until the library names the shadow.
const char kShadowRecordPrefix[] = "SharedShadow_";
const char kShadowRecordSuffix[] = ".xml";

// The job id of a shadow record's file name; false for any other name.
bool ShadowRecordJob(const std::string& name, int64_t& job) {
  const size_t prefix = sizeof(kShadowRecordPrefix) - 1;
  const size_t suffix = sizeof(kShadowRecordSuffix) - 1;
  if (name.size() <= prefix + suffix || name.compare(0, prefix, kShadowRecordPrefix) != 0 ||
      name.compare(name.size() - suffix, suffix, kShadowRecordSuffix) != 0)
    return false;
  const size_t end = name.find('_', prefix);
  if (end == std::string::npos) return false;
  const std::string digits = name.substr(prefix, end - prefix);
  if (digits.empty() || digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  job = std::stoll(digits);
  return job > 0;
}

}  // namespace

bool QuarnCoordinator::CreateSharedShadow() {
  const int type = m_appMgr->getInstanceType();
  bool create = vsAppMgr::isServerTypeMS(type) || vsAppMgr::isServerTypeNutanix(type);
  m_registry.GetEntry(REG_bCreateSharedShadow, create, create);
  if (!create) return false;
  if (m_jobMgr->isSnapBackup() || m_jobMgr->isSnapCatalogMode() || m_jobMgr->isSnapToTape()) return false;
  m_sharedShadowCtx = MountCtx();
  QuarnUtils::InitMountCtx(m_jobMgr, m_appMgr, &m_subclientFiles, &m_registry, &m_sharedShadowCtx);
  int submitted = 0;
  for (const auto& entry : m_vmMap) {
    const vm_params& vm = entry.second;
    if (vm.vmPhase != PHASE_NOT_STARTED) continue;
    m_event.DebugLvl(2, kSigCreateShared, "Submitting VM [%s] for the shared shadow", vm.vmName.c_str());
    if (submitted == 0) {
      m_sharedShadowCtx.vmName = vm.vmName;
      m_sharedShadowCtx.vmGuid = vm.vmGuid;
    }
    SVMBasicInfo info;
    vm.GetVMBasicInfo(info);
    m_sharedShadowCtx.vmBasicInfos.push_back(info);
    ++submitted;
  }
  if (submitted == 0) {
    m_event.Debug(kSigCreateShared, "No VMS found eligible for shared shadow creation");
    return false;
  }
  m_event.DebugLvl(2, kSigCreateShared, "Submitted %d VMs for the shared Shadow", submitted);
  // Without a connection there is nothing to ask; the agents then take their own snapshots.
  const bool asked = m_vmInfo != nullptr && m_vmInfoConnected;
  if (asked) RecordSharedShadow();
  if (!asked || m_vmInfo->CreateSharedShadow(m_sharedShadowCtx) == 0) {
    m_event.Error(kSigCreateShared, "Failed to create the shared shadow");
    m_sharedShadowCtx.sharedShadowText1.clear();
    m_sharedShadowCtx.sharedShadowText2.clear();
    ForgetSharedShadowRecord();
    return false;
  }
  RecordSharedShadow();
  return true;
}

bool QuarnCoordinator::DistributeSharedShadow() {
  DeleteLeftoverSharedShadows();
  if (!CreateSharedShadow()) return false;
  if (m_sharedShadowCtx.sharedShadowText1.empty() && m_sharedShadowCtx.sharedShadowText2.empty()) {
    m_event.Debug(kSigDistributeShared, "Skip empty shared shadow message");
    return true;
  }
  VirtualServer::VMSharedShadow message;
  message.setstring(VirtualServer::VMSharedShadow::F_sharedShadowText1, m_sharedShadowCtx.sharedShadowText1);
  message.setstring(VirtualServer::VMSharedShadow::F_sharedShadowText2, m_sharedShadowCtx.sharedShadowText2);
  SendToInitializedRemoteAgents(message);
  return true;
}

bool QuarnCoordinator::DeleteSharedShadow() {
  if (m_sharedShadowCtx.sharedShadowText1.empty()) return true;
  std::string reason;
  if (!DeleteSharedShadowOf(m_sharedShadowCtx, reason)) {
    m_event.Error(kSigDeleteShared, "Failed to delete the shared shadow");
    // Its record stays: the subclient's next job deletes it.
    ReportSharedShadowLeftStanding(kSigDeleteShared, m_sharedShadowCtx.sharedShadowText1, reason);
    return false;
  }
  ForgetSharedShadowRecord();
  // Deleted once: a second call finds no shadow.
  m_sharedShadowCtx.sharedShadowText1.clear();
  m_sharedShadowCtx.sharedShadowText2.clear();
  return true;
}

bool QuarnCoordinator::DeleteSharedShadowOf(MountCtx& ctx, std::string& reason) {
  if (m_vmInfo == nullptr) {
    reason = "no connection to the hypervisor";
    return false;
  }
  if (m_vmInfo->DeleteSharedShadow(ctx) != 0) return true;
  reason = m_vmInfo->GetErrorText();
  if (reason.empty()) reason = "error " + std::to_string(m_vmInfo->GetErrorCode());
  return false;
}

void QuarnCoordinator::ReportSharedShadowLeftStanding(const char* sig, const std::string& shadow,
                                                      const std::string& reason) {
  m_event.Error(sig, "The shared shadow [%s] stays standing: %s", shadow.c_str(), reason.c_str());
  m_completedWithErrors = true;
  m_event << shadow << reason;
  m_event.MajorEvent(kEventSharedShadowLeftStanding);
}

std::string QuarnCoordinator::NewSharedShadowRecordPath(int64_t jobId) const {
  // Distinct between the processes of the job's attempts, and between two makings in one process.
  const std::string attempt = std::to_string(static_cast<long>(getpid())) + ":" +
                              std::to_string(static_cast<long long>(ZtClock::MonotonicTicks()));
  CPxCRC32 crc;
  crc.UpdateCRC32(attempt.data(), attempt.size());
  for (uint32_t digits = crc.GetCRC32();; ++digits) {
    char name[64];
    std::snprintf(name, sizeof(name), "%s%lld_%08x%s", kShadowRecordPrefix, static_cast<long long>(jobId), digits,
                  kShadowRecordSuffix);
    const std::string path = CPxPath::Append(m_subclientDir, name, false);
    if (!CPxFile::Exists(path)) return path;
  }
}

void QuarnCoordinator::RecordSharedShadow() {
  if (m_sharedShadowRecord.empty())
    m_sharedShadowRecord = NewSharedShadowRecordPath(static_cast<int64_t>(m_sharedShadowCtx.jobId));
  VirtualServer::VMSharedShadow record;
  record.setstring(VirtualServer::VMSharedShadow::F_sharedShadowText1, m_sharedShadowCtx.sharedShadowText1);
  record.setstring(VirtualServer::VMSharedShadow::F_sharedShadowText2, m_sharedShadowCtx.sharedShadowText2);
  vsXMLFile file(m_sharedShadowRecord);
  if (!file.Save(record))
    m_event.Error(kSigRecordShared,
                  "Cannot keep the record [%s] of the shared shadow [%s]; a job that dies leaves it: %s",
                  file.Path().c_str(), m_sharedShadowCtx.sharedShadowText1.c_str(), file.LastError().c_str());
}

void QuarnCoordinator::ForgetSharedShadowRecord() {
  if (m_sharedShadowRecord.empty()) return;
  vsXMLFile(m_sharedShadowRecord).Delete();
  m_sharedShadowRecord.clear();
}

void QuarnCoordinator::DeleteLeftoverSharedShadows() {
  std::vector<std::string> names;
  if (m_jobMgr == nullptr || m_subclientDir.empty() || CPxDirectory::List(m_subclientDir, names).IsError()) return;
  const int64_t ownJob = m_jobMgr->getJobId();
  for (const std::string& name : names) {
    // A later job's shadow is that job's own business.
    int64_t job = 0;
    if (!ShadowRecordJob(name, job) || job > ownJob) continue;
    vsXMLFile file(CPxPath::Append(m_subclientDir, name, false));
    if (file.Path() == m_sharedShadowRecord) continue;
    VirtualServer::VMSharedShadow record;
    if (!file.Load(record)) {
      m_event.Error(kSigDeleteLeftover, "Cannot read the record [%s] of a shared shadow left standing: %s",
                    file.Path().c_str(), file.LastError().c_str());
      // Which shadow it was went with it: the record stays, and every job says so until someone
      // deletes the shadow and the record.
      ReportSharedShadowLeftStanding(kSigDeleteLeftover, file.Path(), "its record cannot be read: " + file.LastError());
      continue;
    }
    MountCtx ctx;
    QuarnUtils::InitMountCtx(m_jobMgr, m_appMgr, &m_subclientFiles, &m_registry, &ctx);
    ctx.jobId = static_cast<uint64_t>(job);
    ctx.sharedShadowText1 = record.getstring(VirtualServer::VMSharedShadow::F_sharedShadowText1);
    ctx.sharedShadowText2 = record.getstring(VirtualServer::VMSharedShadow::F_sharedShadowText2);
    // A record without the shadow's name is of a job that died while the shadow was being made: the
    // library is asked for the job's shadow, whatever it was named, and one never made is no failure.
    const bool named = !ctx.sharedShadowText1.empty();
    std::string reason;
    if (!DeleteSharedShadowOf(ctx, reason)) {
      const std::string shadow = named ? ctx.sharedShadowText1 : file.Path();
      m_event.Error(kSigDeleteLeftover, "Failed to delete the shared shadow [%s] that job [%lld] left standing",
                    shadow.c_str(), static_cast<long long>(job));
      ReportSharedShadowLeftStanding(kSigDeleteLeftover, shadow, reason);
      continue;
    }
    if (ctx.sharedShadowText1.empty())
      m_event.Debug(kSigDeleteLeftover, "Job [%lld] died while it made a shared shadow, and none of it stands",
                    static_cast<long long>(job));
    else
      m_event.Debug(kSigDeleteLeftover, "Deleted the shared shadow [%s] that job [%lld] left standing",
                    ctx.sharedShadowText1.c_str(), static_cast<long long>(job));
    file.Delete();
  }
}

int QuarnCoordinator::PreCreateSharedShadow() { return 0; }

int QuarnCoordinator::PostCreateSharedShadow() { return 0; }

bool QuarnCoordinator::DispatchSnapBackupMetadata() {
  // Only a Microsoft hypervisor's snapshot job hands its metadata to the coordinator; the agents of
  // any other's copies fetch the snapshot's metadata themselves.
  if (!m_appMgr->isServerTypeMS()) {
    m_event.Debug(kSigDispatchMetadata, "Snap metadata is not dispatched for this server type");
    return true;
  }
  if (!CPxDirectory::Exists(m_subclientDir)) {
    CPxError error = CPxDirectory::Create(m_subclientDir, true);
    if (error.IsError()) {
      m_event.Error(kSigDispatchMetadata, "Error creating folder [%s] Err=[0x%x]", m_subclientDir.c_str(),
                    static_cast<unsigned>(-error.GetErrorCode()));
      return false;
    }
  }
  const std::string path = CPxPath::Append(
      m_subclientDir, "backup_" + std::to_string(static_cast<unsigned long>(m_jobMgr->getSnapBkpJobId())) + ".xml",
      false);
  vsXMLFile file(path);
  // The snapshot job kept its merged file in the index cache, not here.
  if (!file.Exists()) FetchSnapBackupMetadata(CPxPath::GetFileName(path));
  if (!file.Exists()) {
    m_event.Error(kSigDispatchMetadata, "File [%s] not found", path.c_str());
    return false;
  }
  VirtualServer::VMSnapBackup metadata;
  if (!file.Load(metadata)) {
    m_event.Error(kSigDispatchMetadata, "Failed to read snap metadata xml file [%s]", path.c_str());
    return false;
  }
  m_event.Debug(kSigDispatchMetadata, "sending file %s to controller", path.c_str());
  for (const auto& entry : m_agents)
    if (IsRemoteAgent(entry.first)) SendMsgToAgent(entry.first, metadata);
  return true;
}

bool QuarnCoordinator::FetchSnapBackupMetadata(const std::string& name) {
  if (m_indexClient == nullptr) return false;
  if (m_appMgr->isUseIndexingV2Enabled())
    return m_indexClient->DownloadMetadataFilesFromRemoteCache({name}, m_subclientDir, m_jobMgr->getSnapBkpJobId(),
                                                               m_appMgr->getSubclientGUID(), std::string());
  return m_indexClient->DownloadMetadataFile(name, m_subclientDir);
}

void QuarnCoordinator::FillVMSnapJobIds() {
  using Collect = VirtualServer::VMCollect;
  if (!m_jobMgr->isSnapToTape() && !m_jobMgr->isSnapCatalogMode()) return;
  for (auto& entry : m_vmMap) {
    VirtualServer::VMCollect& collect = entry.second.collect;
    if (collect.getint64(Collect::F_snapJobId) != 0) continue;
    const int64_t own = m_jobMgr->GetSnapVMJobId(collect.getint64(Collect::F_vmClientId));
    collect.setint64(Collect::F_snapJobId, own != 0 ? own : m_jobMgr->getSnapBkpJobId());
  }
}

bool QuarnCoordinator::DistributeMountSnapInfo() {
  using M = VirtualServer::VMMountSnapInfo;
  if (!m_jobMgr->isSnapToTape() && !m_jobMgr->isSnapCatalogMode()) return true;
  VirtualServer::MountSnapInfo info;
  info.setint64(VirtualServer::MountSnapInfo::F_snapshotJobId, m_jobMgr->getSnapBkpJobId());
  std::vector<M> mounts;
  for (const auto& entry : m_vmMap) {
    const vm_params& vm = entry.second;
    if (vm.vmPhase == PHASE_PREVIOUS_ATTEMPT || vm.vmPhase == PHASE_SKIPPED) continue;
    M mount;
    mount.setstring(M::F_vmName, vm.vmName);
    mount.setstring(M::F_guid, vm.vmGuid);
    mount.setint64(M::F_snapArchiveFileId,
                   static_cast<int32_t>(vm.collect.getint64(VirtualServer::VMCollect::F_archiveFileId)));
    mount.setint64(M::F_vmJobId, vm.collect.getint64(VirtualServer::VMCollect::F_snapJobId));
    mounts.push_back(mount);
  }
  if (mounts.empty()) {
    m_event.Error(kSigMountInfo, "No vms found for hardware mount request");
    return false;
  }
  CNMessageList& list = info.getlistobject(VirtualServer::MountSnapInfo::F_vmMounts, true);
  for (const M& mount : mounts) list.emplace_back(mount);

  // Without a local controller nobody could mount the snapshots here.
  if (m_localController == nullptr) {
    m_event.Error(kSigMountInfo, "Failed to mount hardware snapshot from coordinator node");
    return false;
  }
  m_localController->SetVMSnapMountInfoList(mounts);
  if (!m_localController->InitMovingToTapePhase()) {
    m_event.Error(kSigMountInfo, "Failed to mount hardware snapshot from coordinator node");
    // No VM of the job starts: each says why.
    std::string why = m_localController->GetMountPhaseFailure();
    if (why.empty()) why = "the coordinator could not mount it";
    for (auto& entry : m_vmMap) {
      vm_params& vm = entry.second;
      if (vm.vmPhase == PHASE_NOT_STARTED && vm.failureReason.empty())
        vm.failureReason = "The storage snapshot of job " + std::to_string(m_jobMgr->getSnapBkpJobId()) +
                           " cannot be used: " + why;
    }
    return false;
  }
  m_snapMountedOnCoordinator = true;
  SendToInitializedRemoteAgents(info);
  // An agent that joins later (auto-scale makes one while the job runs) mounts the same snapshots
  // before it takes a VM: the message waits for it.
  {
    ZtCriticalSectionLock lock(&m_lateMessageLock);
    m_lateAgentMessage.reset(new VirtualServer::MountSnapInfo(info));
  }
  return true;
}

bool QuarnCoordinator::IsCopyParentSnapIndexOnlyJob() {
  return m_appMgr->isUseIndexingV2Enabled() && m_jobMgr->isSnapToTape() && m_vmMap.empty() &&
         m_jobMgr->isCopyParentJobToTape();
}

bool QuarnCoordinator::CopyParentSnapIndexToBackupCopy() {
  if (!m_jobMgr->isSnapToTape()) return true;
  if (!m_jobMgr->isCopyParentJobToTape()) {
    m_event.Debug(kSigCopyParent, "Parent index is already copied for backup copy job [%llu]",
                  static_cast<unsigned long long>(m_jobMgr->getJobId()));
    m_parentIndexCopiedToTape = true;
    return true;
  }
  m_event.Debug(kSigCopyParent, "Copying parent index with MasterIndexAfile [%u] cTime [%lu]", m_masterIndexFileNumber,
                static_cast<unsigned long>(m_masterIndexFileTime));
  if (m_indexClient == nullptr ||
      m_indexClient->CopySnapIndexToBackupCopy(m_jobMgr->getSnapBkpJobId(), m_masterIndexFileNumber,
                                               m_masterIndexFileTime) != 1) {
    m_event.Error(kSigCopyParent, "Failed to copy snap index to backup copy");
    m_jobMgr->setPendingCause(0x5B000001);
    return false;
  }
  m_event.Debug(kSigCopyParent, "Successfully copied Parent index to tape");
  m_jobMgr->setParentBackupToTapeDone();
  m_parentIndexCopiedToTape = true;
  return true;
}

bool QuarnCoordinator::IsPreferProxylessApplicable() {
  bool prefer = true;
  m_registry.GetEntry(REG_bPreferProxylessForBackupCopy, prefer, true);
  return prefer && m_appMgr != nullptr && m_appMgr->isServerTypeVMWare() && m_jobMgr->isSnapToTape() &&
         !QuarnUtils::IsVMCentricSnapEngine(m_appMgr->getSnapEngineID());
}
