#pragma once
// One VM of the lab backed up through the worker's real road, mount and archive file, with the
// stages of the data path played by a test subclass: BackupVM hands each disk of the layout's walk
// to a test's disk stage, PostBackupVM commits the VM's metadata files.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/archive/vsArchive.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabSubclient.h"
#include "platform/sim/vsSim.h"
#include "support/ControllerTestSupport.h"

namespace roadtest {

constexpr const char* kVM = "vm01";
constexpr const char* kVMGuid = "50290000-0000-4000-8000-000000000001";

// The controller of one job: its one stream is a real stream of the lab's media agent.
class RoadController : public ctltest::TestController {
 public:
  RoadController(vsJobMgr* jobMgr, vsAppMgr* appMgr) {
    m_jobMgr = jobMgr;
    m_appMgr = appMgr;
    stream.reset(new vsArchive(jobMgr, appMgr, &sim, "km"));
    stream->setStream(1, 101, 7, 5);
    stream->init(true);
  }
  bool AcquireStream(int, vsArchive*& out, bool) override {
    ++asked;
    out = lend ? stream.get() : nullptr;
    lent += out != nullptr ? 1 : 0;
    return out != nullptr;
  }
  vsSim sim;
  std::unique_ptr<vsArchive> stream;
  bool lend = true;
  int asked = 0;  // requests for a stream
  int lent = 0;   // streams handed out
};

class ScriptedWorker : public QuarnWorker {
 public:
  explicit ScriptedWorker(QuarnController* controller) : QuarnWorker(controller, 0) {}
  ~ScriptedWorker() override { Deinitialize(); }

  // The stages in the order the road called them.
  std::vector<std::string> calls;
  int postResult = 0;    // PostBackupVM's result once the VM's files are committed
  std::vector<std::string> committed;  // the files PostBackupVM found queued for upload
  // Run on every disk of the walk, the block positioned on it; non-zero ends BackupVM.
  std::function<int(quarnBackupArgs&)> diskStage;

  int MountVM() override {
    calls.push_back("mount");
    return QuarnWorker::MountVM();
  }
  int UnmountVM() override {
    calls.push_back("unmount");
    return QuarnWorker::UnmountVM();
  }
  bool CreateArchiveFile(quarnBackupArgs& args, vsArchive* archive) override {
    calls.push_back("createArchiveFile");
    return QuarnWorker::CreateArchiveFile(args, archive);
  }
  int PreBackupVM(quarnBackupArgs& args) override {
    calls.push_back("preBackup");
    return m_config->getMountInfo(*m_mountCtx, m_vmInfo);
  }
  int BackupVM(quarnBackupArgs& args) override {
    calls.push_back("backup");
    m_config->resetGetNextBkpObj();
    for (m_config->getNextBkpObj(&args); !args.mBackupPath.empty(); m_config->getNextBkpObj(&args)) {
      if (args.mObjectKind != 1 || !diskStage) continue;
      if (int result = diskStage(args)) return result;
    }
    return 0;
  }
  int PostBackupVM(quarnBackupArgs&) override {
    calls.push_back("postBackup");
    committed = m_currentVM->metadataFiles;
    return CommitVMMetadataFiles() ? postResult : 1;
  }
  int SendFailedVM(quarnBackupArgs& args) override {
    calls.push_back("sendFailedVM");
    return QuarnWorker::SendFailedVM(args);
  }
  int CollectGranularMetadata(quarnBackupArgs&) override {
    calls.push_back("granularMetadata");
    return 0;
  }
  bool ComputeVMGuestSize(quarnBackupArgs&, bool) override {
    calls.push_back("guestSize");
    return 0;
  }
  int TrueUpVM(quarnBackupArgs&) override {
    calls.push_back("trueUp");
    return 0;
  }

  bool HoldsStream() const { return m_currentStream != nullptr; }
  void UseStream(vsArchive* stream) { m_currentStream = stream; }
  MountCtx* Mount() const { return m_mountCtx; }
  bool IsConnectedTo(const std::string& server) const { return m_vmInfo != nullptr && m_connectedServer == server; }
  const IdxMetadataByName& PreviousMetadata() const { return m_prevIdxMetadata; }
  const std::map<std::string, std::set<uint64_t>, __less_nocase_cmp>& MissingBlocks() const { return m_missingBlocks; }
};

// One job of the lab's subclient "1" for the sample VM vm01: its managers, controller, worker and
// the VM's record.
struct Job {
  Job(int64_t id, int level) : id(id) {
    lab::JobRecord record;
    record.subclient = "1";
    record.bkpLevel = level;
    record.mediaAgent = lab::SampleMediaAgent();
    std::string error;
    lab::WriteJobRecord(id, record, error);
    jobMgr.setJobId(std::to_string(id));
    jobMgr.setBkpLevel(level);
    jobMgr.setMediaAgent(lab::SampleMediaAgent());
    jobMgr.initBackup();
    appMgr.setAppIdStr("1");
    appMgr.querySettings();
    controller.reset(new RoadController(&jobMgr, &appMgr));
    worker.reset(new ScriptedWorker(controller.get()));
    worker->Initialize(&jobMgr, &appMgr);
    vm.vmName = kVM;
    vm.vmGuid = kVMGuid;
    vm.host = "esx1";
    vm.collect = ctltest::Collect(kVM, kVMGuid, appMgr.isUseIndexingV2Enabled() ? id * 1000 + 1 : id);
    vm.collect.setstring(VirtualServer::VMCollect::F_serverName, lab::SampleServer());
    vm.collect.setint64(VirtualServer::VMCollect::F_subclientId, 1);
    vm.collect.setstring(VirtualServer::VMCollect::F_subclientGuid, appMgr.getSubclientGUID());
  }
  ~Job() {
    worker->TEST_SetCurrentVM(nullptr);
    worker.reset();
  }
  vsArchive* stream() { return controller->stream.get(); }
  int Run() {
    EvDebug::setJobId(id);
    worker->TEST_SetCurrentVM(&vm);
    const int result = worker->ProcessVM();
    return result;
  }

  const int64_t id;
  vsJobMgr jobMgr;
  vsAppMgr appMgr;
  std::unique_ptr<RoadController> controller;
  std::unique_ptr<ScriptedWorker> worker;
  vm_params vm;
};

// A lab of one VM with two disks, the second of no whole number of extents; the process is its
// coordinator client and the subclient indexes by job (not by VM) unless told otherwise.
inline void MakeLab(testsupport::TestLab& lab, bool indexingV2 = false) {
  lab::LabPlan plan;
  plan.vms = 1;
  plan.disksPerVM = 2;
  lab.Create(plan);
  lab.Focus("coordinator");
  lab.OpenLog();
  std::string error;
  lab::SetSubclientValue("1", "indexingV2", indexingV2 ? "1" : "0", error);
  QuarnRegistry::TEST_Unload();
}

}  // namespace roadtest
