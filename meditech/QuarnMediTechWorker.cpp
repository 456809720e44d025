#include "meditech/QuarnMediTechWorker.h"

#include "meditech/QuarnMediTech.h"
#include "platform/vminfo/IVMInfo.h"

namespace {

const char* const kSigInitialize = "virtual bool QuarnMediTechWorker::Initialize(vsJobMgr*, vsAppMgr*)";
const char* const kSigComplete = "virtual void QuarnMediTechWorker::HandleVMComplete_Status(int)";
const char* const kSigPre = "virtual int QuarnMediTechWorker::PreBackupVM(quarnBackupArgs&)";
const char* const kSigWalk = "void QuarnMediTechWorker::WalkDisks(quarnBackupArgs&, Visit)";

constexpr uint32_t kDiskOrVolume = 1;

}  // namespace

QuarnMediTechWorker::QuarnMediTechWorker(QuarnController* controller, int workerId,
                                         std::shared_ptr<QuarnMediTech> mediTech)
    : QuarnWorker(controller, workerId), m_mediTech(std::move(mediTech)) {}

QuarnMediTechWorker::~QuarnMediTechWorker() = default;

bool QuarnMediTechWorker::Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr) {
  const bool initialized = QuarnWorker::Initialize(jobMgr, appMgr);
  if (!initialized) m_event.Error(kSigInitialize, "QuarnWorker initialize error");
  return initialized;
}

int QuarnMediTechWorker::ConnectToServer(const std::string& server) {
  const int result = QuarnWorker::ConnectToServer(server);
  if (result == 0 && m_vmInfo != nullptr) m_vmInfo->SetOption("singleSharedShadow", 1);
  return result;
}

template <typename Visit>
void QuarnMediTechWorker::WalkDisks(quarnBackupArgs& args, Visit visit) {
  m_config->resetGetNextBkpObj();
  for (m_config->getNextBkpObj(&args); !args.mBackupPath.empty(); m_config->getNextBkpObj(&args)) {
    m_event.Debug(kSigWalk, "%s", args.mBackupPath.c_str());
    if (args.mObjectKind == kDiskOrVolume) visit(args);
  }
  m_config->resetGetNextBkpObj();
}

int QuarnMediTechWorker::PreBackupVM(quarnBackupArgs& args) {
  const int result = QuarnWorker::PreBackupVM(args);
  if (result != 0) return result;
  vm_params& vm = *m_currentVM;
  if (m_mediTech == nullptr || !m_mediTech->GetVMDisks(vm.vmName, m_vmDisks)) {
    m_event.Error(kSigPre, "Error while fetching VM disk list from Meditech for VM %s", vm.vmName.c_str());
    vm.failureReason = "Error while fetching VM disk list from Meditech";
    return kResultMediTechDisk;
  }
  // The subclient's disk filters are applied by the mount: a filtered disk is not among the VM's
  // objects, so it is never added here and the check below fails the VM.
  WalkDisks(args, [this](quarnBackupArgs& disk) { m_vmDisks.AddedToBackup(disk.mBackupPath); });
  if (!m_vmDisks.AllDisksInBackupList()) {
    vm.failureReason = "All Meditech disks of this VM are not included in the backup";
    return kResultMediTechDisk;
  }
  return 0;
}

int QuarnMediTechWorker::PostBackupVM(quarnBackupArgs& args) {
  if (m_currentVM == nullptr || m_config == nullptr) return QuarnWorker::PostBackupVM(args);
  // The backup phase's result stands for every disk: the walk leaves the block's result alone.
  const int backupResult = args.mRetCode;
  WalkDisks(args, [this, backupResult](quarnBackupArgs& disk) {
    m_vmDisks.SetBackupStatus(disk.mBackupPath, backupResult);
  });
  if (m_vmDisks.AnyDiskBackupFailed()) {
    m_currentVM->failureReason = "Failed to backup some Meditech disks";
    return kResultMediTechDisk;
  }
  return QuarnWorker::PostBackupVM(args);
}

void QuarnMediTechWorker::HandleVMComplete_Status(int result) {
  if (result != kResultMediTechDisk || m_currentVM == nullptr) {
    QuarnWorker::HandleVMComplete_Status(result);
    return;
  }
  m_event.Error(kSigComplete, "Error backing up VM [%s], failing the VM for this job", m_currentVM->vmName.c_str());
  m_currentVM->vmPhase = PHASE_FAILED;
}
