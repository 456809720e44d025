// Power management of idle VMs: a powered-off VM's hours are recorded, an idle one is marked for
// archiving, powered off or shut down.
#include "archiving/QuarnVMManagement.h"
#include "controller/QuarnController.h"
#include "platform/appmgr/ClientProperties.h"
#include "platform/os/ZtTime.h"
#include "platform/vminfo/IVMInfo.h"

namespace {

constexpr uint64_t kPowerInventory = 0x800;
constexpr uint32_t kEventPowerManaged = 0x5B0000B2;
constexpr int kResultNoVMInfo = 10;
// The shutdown wait looks for a quit this often while it waits for the guest.
constexpr long long kQuitCheckMs = 1000;

}  // namespace

int QuarnVMManagement::DoPowerManagmentForVM() {
  static const char* const sig = "int QuarnVMManagement::DoPowerManagmentForVM()";
  m_event.Debug(sig, "[PowerMgmt] VM=[%s]=[%s]", m_vmName.c_str(), m_vmGuid.c_str());
  if (IsStubPhase()) return 0;
  if (m_params.powerMgmtConditions.empty()) {
    m_event.Debug(sig, "[PowerMgmt] No conditions are set.");
    return 0;
  }
  const int type = m_appMgr->getInstanceType();
  if (type != kInstanceTypeVMware && type != kInstanceTypeHyperV) return 0;
  if (m_vmInfo == nullptr) {
    m_event.Error(sig, "[PowerMgmt] Failed!. No VMInfo present for VM=[%s]=[%s]", m_vmName.c_str(), m_vmGuid.c_str());
    return kResultNoVMInfo;
  }
  PowerOffVMIdleVM();
  return 0;
}

int QuarnVMManagement::DoPowerManagmentForVM(const std::string& vmName, const std::string& vmGuid, IVMInfo* vmInfo,
                                             vsAppMgr* appMgr) {
  static const char* const sig =
      "int QuarnVMManagement::DoPowerManagmentForVM(const std::string&, const std::string&, IVMInfo*, vsAppMgr*)";
  m_vmName = vmName;
  m_vmGuid = vmGuid;
  m_vmInfo = vmInfo;
  if (appMgr == nullptr || vsAppMgr::isRetCodeError(appMgr->GetVMArchivingParams(m_params))) {
    m_event.Error(sig, "[VMArchiving] ERROR : Failed to get VMArchiving parameter. VM Archiving and Power management "
                       "wont be performed.");
    return kContinueBackup;
  }
  if (m_params.powerMgmtEnabled && !m_params.powerMgmtConditions.empty()) return PowerOffVMIdleVM() ? 0 : kResultFailed;
  m_event.Debug(sig, "[PowerMgmt] No conditions are set.");
  return 0;
}

bool QuarnVMManagement::PowerOffVMIdleVM() {
  static const char* const sig = "bool QuarnVMManagement::PowerOffVMIdleVM()";
  const char* name = m_vmName.c_str();
  VMInfoStructs::SVMInfo info;
  if (!QueryVM(kPowerInventory, std::string(), info)) {
    m_event.Error(sig, " VM: [%s] Get VM information failed.", name);
    return false;
  }
  if (info.powerState == 0) {
    ClientProperties(VMClientId()).setPowerOffTimeHours(info.poweredOffHours);
    return true;
  }
  const int idle = m_vmInfo->CheckIdleVM(m_vmName, m_vmGuid, m_params.powerMgmtConditions);
  if (idle == 0) {
    m_event.Debug(sig, "[PowerMgmt] VM: [%s] VM does not satisfy Power management criteria.", name);
    return true;
  }
  if (idle == -1) {
    m_event.Error(sig, "[PowerMgmt] Idle VM check failed!! for VM: [%s]=[%s]", name, m_vmGuid.c_str());
    return false;
  }
  if (idle != 1) return true;
  if (!m_params.powerOffIdleVMs) {
    ClientProperties(VMClientId()).setEligibleForArchiving(true);
    m_event.Debug(sig, "[PowerMgmt] VM: [%s] satisfies Power management criteria, Setting flag for interactive archiving",
                  name);
    return true;
  }
  OperationCtx operation;
  operation.vmInfo = info;
  operation.vmInfo.field01 = m_vmName;
  operation.vmInfo.guid = m_vmGuid;
  switch (m_params.PowerMgmtAction) {
    case 1:
      m_event.Debug(sig, "[PowerMgmt] VM: [%s] satisfies Power management criteria. Powering off VM.", name);
      operation.operation = OperationCtx::kPowerOff;
      m_vmInfo->PerformVMOperation(operation);
      break;
    case 2: {
      m_event.Debug(sig, "[PowerMgmt] VM: [%s] satisfies Power management criteria. Shutting down VM.", name);
      operation.operation = OperationCtx::kGuestShutdown;
      if (m_vmInfo->PerformVMOperation(operation) == 0) {
        m_event.Error(sig, "[PowerMgmt] VM: [%s] Failed to shutdown the VM, now trying power-off.", name);
        operation.operation = OperationCtx::kPowerOff;
        m_vmInfo->PerformVMOperation(operation);
        break;
      }
      m_event.Debug(sig, "[PowerMgmt] Waiting on VM to get powered off.");
      const long long childJobId = m_vm != nullptr ? m_vm->collect.getint64(VirtualServer::VMCollect::F_vmJobId) : 0;
      auto quit = [&] {
        return (m_controller != nullptr && m_controller->CheckQuitFlag(childJobId, m_vmGuid)) ||
               (m_jobMgr != nullptr && m_jobMgr->checkQuitFlag());
      };
      bool quitSeen = false;
      for (int sleeps = 0; sleeps < kShutdownPolls && !quitSeen; ++sleeps) {
        VMInfoStructs::SVMInfo now;
        if (!QueryVM(kPowerInventory, std::string(), now)) {
          m_event.Error(sig, "[PowerMgmt] VM: [%s] Get VM information failed.", name);
          break;
        }
        if (now.powerState == 0) {
          m_event.Debug(sig, "[PowerMgmt] VM is now powered off.");
          break;
        }
        // Slices, so that a job that stops is not held up by a guest that takes its time.
        for (long long waited = 0; waited < kShutdownPollMs && !(quitSeen = quit()); waited += kQuitCheckMs)
          ZtClock::Sleep(CTimeInterval::FromMilliseconds(kQuitCheckMs));
      }
      if (quitSeen) m_event.Debug(sig, "[PowerMgmt] VM: [%s] The job is stopping: no longer waiting for the shutdown.", name);
      break;
    }
    default:
      m_event.Error(sig, "[PowerMgmt] Failed!!. Unexpected value set for PowerMgmtAction in registry =[%d]",
                    static_cast<int>(m_params.PowerMgmtAction));
      break;
  }
  SetUpdateInfo(JobManager::VMUpdateInfo::F_powerManaged, 1);
  m_event << m_vmName;
  m_event.InfoEvent(kEventPowerManaged);
  return true;
}
