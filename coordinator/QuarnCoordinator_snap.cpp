// Shared snapshot, snapshot metadata and hardware snapshot mounts at the coordinator.
//
// The VM-information library's shared shadow and the local controller's hardware snapshot mounts are
// not built yet: a job that needs either does not report them done. A shared shadow is never made,
// and a backup copy of a hardware snapshot stops with its mount failure.
#include <strings.h>

#include "app/QuarnUtils.h"
#include "coordinator/QuarnCoordinator.h"
#include "platform/msg/vsXMLFile.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxPath.h"

namespace {

const char* const kSigCreateShared = "virtual bool QuarnCoordinator::CreateSharedShadow()";
const char* const kSigDistributeShared = "virtual bool QuarnCoordinator::DistributeSharedShadow()";
const char* const kSigDispatchMetadata = "bool QuarnCoordinator::DispatchSnapBackupMetadata()";
const char* const kSigMountInfo = "virtual bool QuarnCoordinator::DistributeMountSnapInfo()";

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
  m_event.Error(kSigCreateShared, "Failed to create the shared shadow");
  m_sharedShadowCtx.vmBasicInfos.clear();
  return false;
}

bool QuarnCoordinator::DistributeSharedShadow() {
  if (!CreateSharedShadow()) return false;
  if (m_sharedShadowCtx.sharedShadowText1.empty() && m_sharedShadowCtx.sharedShadowText2.empty()) {
    m_event.Debug(kSigDistributeShared, "Skip empty shared shadow message");
    return true;
  }
  VirtualServer::VMSharedShadow message;
  message.setstring(VirtualServer::VMSharedShadow::F_sharedShadowText1, m_sharedShadowCtx.sharedShadowText1);
  message.setstring(VirtualServer::VMSharedShadow::F_sharedShadowText2, m_sharedShadowCtx.sharedShadowText2);
  for (const auto& entry : m_agents) {
    if (strcasecmp(entry.first.c_str(), OwnClientName().c_str()) == 0 || entry.second.state != AgentInitialized)
      continue;
    SendMsgToAgent(entry.first, message);
  }
  return true;
}

bool QuarnCoordinator::DeleteSharedShadow() { return m_sharedShadowCtx.sharedShadowText1.empty(); }

int QuarnCoordinator::PreCreateSharedShadow() { return 0; }

int QuarnCoordinator::PostCreateSharedShadow() { return 0; }

bool QuarnCoordinator::DispatchSnapBackupMetadata() {
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
    if (strcasecmp(entry.first.c_str(), OwnClientName().c_str()) != 0) SendMsgToAgent(entry.first, metadata);
  return true;
}

bool QuarnCoordinator::DistributeMountSnapInfo() {
  if (!m_jobMgr->isSnapToTape() && !m_jobMgr->isSnapCatalogMode()) return true;
  int mounts = 0;
  for (const auto& entry : m_vmMap)
    if (entry.second.vmPhase != PHASE_PREVIOUS_ATTEMPT && entry.second.vmPhase != PHASE_SKIPPED) ++mounts;
  if (mounts == 0) {
    m_event.Error(kSigMountInfo, "No vms found for hardware mount request");
    return false;
  }
  m_event.Error(kSigMountInfo, "Failed to mount hardware snapshot from coordinator node");
  return false;
}

bool QuarnCoordinator::IsCopyParentSnapIndexOnlyJob() {
  return m_appMgr->isUseIndexingV2Enabled() && m_jobMgr->isSnapToTape() && m_vmMap.empty() &&
         m_jobMgr->isCopyParentJobToTape();
}

bool QuarnCoordinator::IsPreferProxylessApplicable() {
  bool prefer = true;
  m_registry.GetEntry(REG_bPreferProxylessForBackupCopy, prefer, true);
  return prefer && m_appMgr != nullptr && m_appMgr->isServerTypeVMWare() && m_jobMgr->isSnapToTape() &&
         !QuarnUtils::IsVMCentricSnapEngine(m_appMgr->getSnapEngineID());
}
