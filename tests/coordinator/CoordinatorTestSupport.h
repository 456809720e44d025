#pragma once
// A coordinator in the framework's scripted mode, in a lab made by the lab tool: three clients
// ("coordinator", "proxyA", "proxyB"), subclient 1 with indexing version 2, job 1001 with its collect
// file of three VMs. The coordinator's own client is "coordinator"; its local agent has no object.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/QuarnRegistry.h"
#include "coordinator/QuarnCoordinator.h"
#include "platform/ev/EvDebug.h"
#include "platform/jobmgr/StoreResults.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabReservations.h"
#include "platform/lab/LabSubclient.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxFile.h"
#include "platform/os/ZtTime.h"
#include "support/TestLab.h"

namespace coordtest {

using testsupport::CountOf;

// The key=value pairs of lines of text.
inline std::vector<std::pair<std::string, std::string>> Pairs(const std::string& lines) {
  std::vector<std::pair<std::string, std::string>> pairs;
  size_t start = 0;
  while (start < lines.size()) {
    size_t end = lines.find('\n', start);
    if (end == std::string::npos) end = lines.size();
    const std::string line = lines.substr(start, end - start);
    const size_t equals = line.find('=');
    if (equals != std::string::npos) pairs.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    start = end + 1;
  }
  return pairs;
}

// Opens what the tests look at.
class TestCoordinator : public QuarnCoordinator {
 public:
  using QuarnCoordinator::CheckAndRebalanceVMS;
  using QuarnCoordinator::DistributeVMsToAgents;
  using QuarnCoordinator::FinishJob;
  using QuarnCoordinator::GetHostInfo;
  using QuarnCoordinator::GetVolumeActivityForVM;
  using QuarnCoordinator::m_agents;
  using QuarnCoordinator::m_assignedStreams;
  using QuarnCoordinator::m_completedWithErrors;
  using QuarnCoordinator::m_failJob;
  using QuarnCoordinator::m_fatalVMError;
  using QuarnCoordinator::m_fileFailures;
  using QuarnCoordinator::m_heldGetNextVMRequests;
  using QuarnCoordinator::m_jobSucceeded;
  using QuarnCoordinator::m_pendingOnConnectFailure;
  using QuarnCoordinator::m_rebalanceRequested;
  using QuarnCoordinator::m_setupFailed;
  using QuarnCoordinator::m_state;
  using QuarnCoordinator::m_streamErrors;
  using QuarnCoordinator::m_streamLimitReached;
  using QuarnCoordinator::m_streams;
  using QuarnCoordinator::m_vmFailures;
  using QuarnCoordinator::m_vmInfo;
  using QuarnCoordinator::m_vmMap;
  using QuarnCoordinator::m_vmSuccesses;
  using QuarnCoordinator::ReadVMCollectFile;
  using QuarnCoordinator::RetryDueDispatches;
  size_t LogArchiverBatchSize() {
    ZtCriticalSectionLock lock(&m_logArchiverLock);
    return m_logArchiverBatch.size();
  }
  // ---- Index tables and log-archiver results ----
  using QuarnCoordinator::addVMGuidToTable;
  using QuarnCoordinator::initBkpIndexingTables;
  using QuarnCoordinator::m_jobRestarted;
  using QuarnCoordinator::m_restartKnown;

  using QuarnCoordinator::_OrderVMPriorityListCompare;
  using QuarnCoordinator::AddAgent;
  using QuarnCoordinator::CheckAdditionalStreams;
  using QuarnCoordinator::CheckAndReclaimErrorStreams;
  using QuarnCoordinator::CheckAndReclaimStreams;
  using QuarnCoordinator::CleanupVMInfo;
  using QuarnCoordinator::DispatchStreams;
  using QuarnCoordinator::GiveStreamToAgent;
  using QuarnCoordinator::IsAgentEligibleForStreams;
  using QuarnCoordinator::m_availableStreams;
  using QuarnCoordinator::m_hypervisorBoundLimit;
  using QuarnCoordinator::m_requiredStreams;
  using QuarnCoordinator::m_streamDistributionMethod;
  using QuarnCoordinator::m_unavailableStreams;
  using QuarnCoordinator::SelectAgentForStream;
  using QuarnCoordinator::DecrementVolumeActivityForVM;
  using QuarnCoordinator::DispatchVMLists;
  using QuarnCoordinator::m_dataPathMAAmongAgents;
  using QuarnCoordinator::m_dynamicVMAssignment;
  using QuarnCoordinator::m_staticVMAssignment;
  using QuarnCoordinator::RemoveVMFromVMPriorityList;
  using QuarnCoordinator::SelectAgentFromList;
  using QuarnCoordinator::SelectAgentsForVM;
  using QuarnCoordinator::StopAllAgents;
  using QuarnCoordinator::AddVMFailures;
  using QuarnCoordinator::m_vmsAlreadyBackedUp;
  using QuarnCoordinator::UpdateJobManagerVMList_Initial;
  using QuarnCoordinator::UpdateJobManagerVMList_Restart;
  using QuarnCoordinator::UpdateJobManagerVMList_StubPhase;
  using QuarnCoordinator::UpdateVMPrioritiesFromFile;

  // The managers without the rest of Initialize, for the operations that only read them.
  void UseManagers(vsJobMgr* jobMgr, vsAppMgr* appMgr) {
    m_jobMgr = jobMgr;
    m_appMgr = appMgr;
  }

  // Shared snapshot and auto-scale.
  using QuarnCoordinator::CheckAndAddAgents;
  using QuarnCoordinator::CopyParentSnapIndexToBackupCopy;
  using QuarnCoordinator::CreateMasterIndexArchiveFile;
  using QuarnCoordinator::m_masterIndexFileNumber;
  using QuarnCoordinator::IsAnyAgentBeingCreated;
  using QuarnCoordinator::m_localController;
  using QuarnCoordinator::m_recheckAgentList;
  using QuarnCoordinator::m_scaleAgentManager;

  std::vector<std::string> PriorityList() {
    ZtCriticalSectionLock lock(&m_priorityListLock);
    return std::vector<std::string>(m_vmPriorityList.begin(), m_vmPriorityList.end());
  }
};

inline std::string VMGuid(int index) {
  char guid[64];
  std::snprintf(guid, sizeof(guid), "50290000-0000-4000-8000-%012x", index);
  return guid;
}

// The lab, the job's two manager clients and a scripted coordinator.
class CoordinatorTest : public ::testing::Test {
 protected:
  static constexpr int64_t kJobId = 1001;

  void SetUp() override {
    CNMessageBase::ResetAccessErrorCount();
    FreshLab();
  }
  // A new lab and new manager clients; the coordinator of the last one is gone.
  void FreshLab(const lab::LabPlan& plan = lab::LabPlan()) {
    coordinator_.reset();
    ZtClock::ResetTestOffset();
    lab_.reset();
    lab_.reset(new testsupport::TestLab("coordinator"));
    ASSERT_TRUE(lab_->Create(plan));
    job_.reset(new vsJobMgr());
    app_.reset(new vsAppMgr());
    ASSERT_TRUE(lab_->OpenLog(2));
    lab_->UseJob(kJobId);
    EvEvent::setJobId(kJobId);
    QuarnRegistry::TEST_Unload();
  }
  void TearDown() override {
    coordinator_.reset();
    EXPECT_EQ(0u, CNMessageBase::AccessErrorCount()) << CNMessageBase::LastAccessError();
    ZtClock::ResetTestOffset();
    EvEvent::setJobId(0);
    QuarnRegistry::TEST_Unload();
    lab_.reset();
  }

  // Settings of the coordinator's section "VirtualServer", key=value lines.
  void Settings(const std::string& lines) {
    for (const auto& pair : Pairs(lines)) ASSERT_TRUE(lab_->Setting("VirtualServer", pair.first, pair.second));
    QuarnRegistry::TEST_Unload();
  }
  // Values of the job's record, key=value lines.
  void JobConf(const std::string& lines) {
    std::string error;
    ASSERT_TRUE(lab::UpdateJobRecord(kJobId, [&](lab::JobRecord& record, std::string& why) {
      return lab::ParseJobRecord(lab::FormatJobRecord(record) + "\n" + lines + "\n", record, why);
    }, error)) << error;
  }
  // Values of the subclient's record, key=value lines.
  void Subclient(const std::string& lines) {
    std::string error;
    for (const auto& pair : Pairs(lines)) ASSERT_TRUE(lab::SetSubclientValue("1", pair.first, pair.second, error)) << error;
  }
  // Values of the hypervisor server's record ("hosts" takes a list), key=value lines.
  void Server(const std::string& lines) {
    lab::ServerRecord record;
    std::string error;
    ASSERT_TRUE(lab::ReadServerRecord(lab::SampleServer(), record, error)) << error;
    for (const auto& pair : Pairs(lines)) {
      if (pair.first == "hosts") {
        record.hosts.clear();
        for (size_t start = 0; start <= pair.second.size();) {
          size_t comma = pair.second.find(',', start);
          if (comma == std::string::npos) comma = pair.second.size();
          record.hosts.push_back(pair.second.substr(start, comma - start));
          start = comma + 1;
        }
      } else {
        record.other[pair.first] = pair.second;
      }
    }
    ASSERT_TRUE(lab::WriteServerRecord(lab::SampleServer(), record, error)) << error;
  }
  std::string SubclientDir() const { return lab::SubclientJobResultsDir("coordinator", "1"); }
  std::string CollectPath() const { return SubclientDir() + "/vmcollect_1001.ztf"; }

  // Starts the managers as the process frame would and makes the coordinator; false when either
  // manager cannot start.
  bool StartManagers(std::vector<std::string> options = {}) {
    job_->setJobId(std::to_string(kJobId));
    job_->setMediaAgent("ma1");
    job_->setJobMgrToken("tok");
    for (const std::string& option : options) {
      if (option == "-co") job_->setCommitFlag();
      if (option == "-lastAttempt") job_->setLastAttempt(true);
      if (option == "-ci") job_->setVMContentIndexMode(true);
      if (option == "-stubPhase") job_->setVMStubPhase(true);
    }
    app_->setAppIdStr("1");
    if (vsJobMgr::isError(job_->initBackup()) || vsAppMgr::isRetCodeError(app_->querySettings())) return false;
    // The job manager reserves the streams it grants on the job's media agent (client id 1).
    std::string error;
    if (!lab::ReserveJobStreams(kJobId, streams_, 1, error)) return false;
    coordinator_.reset(new TestCoordinator());
    coordinator_->SetScriptedMode();
    coordinator_->SetAvailableStreams(streams_);
    return true;
  }
  bool Initialize(std::vector<std::string> options = {}) {
    return StartManagers(options) && coordinator_->Initialize(job_.get(), app_.get(), nullptr);
  }

  // The start of the loop: every agent started and announced; one pass, which ends the Starting state.
  void StartAllAgents(const std::vector<std::string>& skipStartup = {},
                      const std::function<void(const std::string&, VirtualServer::VMAgentStartup&)>& tweak = {}) {
    TestCoordinator& c = *coordinator_;
    c.m_state = QuarnCoordinator::kStarting;
    c.ScriptBeginMain();
    c.ScriptTakeStarts();
    for (const auto& entry : c.m_agents) {
      ASSERT_TRUE(c.ScriptAgentStarted(entry.first));
      if (std::find(skipStartup.begin(), skipStartup.end(), entry.first) == skipStartup.end()) {
        VirtualServer::VMAgentStartup startup = Startup(entry.first);
        if (tweak) tweak(entry.first, startup);
        ASSERT_TRUE(c.ScriptAgentMessage(entry.first, startup));
      }
    }
    ASSERT_TRUE(c.ScriptRunPass());
  }

  VirtualServer::VMAgentStartup Startup(const std::string& agent, int64_t version = 1120) const {
    using S = VirtualServer::VMAgentStartup;
    const std::string folder = lab::SubclientJobResultsDir(agent, "1");
    lab::MakeDirs(folder);
    S startup;
    startup.setint64(S::F_protocolVersion, version);
    startup.setint64(S::F_cpuCount, 4);
    startup.setint64(S::F_memoryMB, 4096);
    startup.setstring(S::F_subclientDir, folder);
    VirtualServer::VMAgentAddress address;
    address.setstring(VirtualServer::VMAgentAddress::F_ipAddress, "10.1.2.3");
    address.setstring(VirtualServer::VMAgentAddress::F_subnetMask, "255.255.255.0");
    startup.getlistobject(S::F_addresses, true).emplace_back(address);
    return startup;
  }

  static VirtualServer::VMBackupResult Result(const std::string& guid, int status, const std::string& reason = "") {
    using R = VirtualServer::VMBackupResult;
    R result;
    result.setstring(R::F_vmGuid, guid);
    result.setint64(R::F_statusCode, status);
    if (!reason.empty()) result.setstring(R::F_failureReason, reason);
    return result;
  }

  static VirtualServer::VMBackupGetNextVM GetNextVM() { return VirtualServer::VMBackupGetNextVM(); }

  // The tag ids of what was sent to the agent since the last call, and the VMs of its collect lists
  // (GUIDs; an empty list shows as "-").
  struct Sent {
    std::vector<uint32_t> tags;
    std::vector<std::string> vms;
    std::vector<std::unique_ptr<CNMessageBase>> messages;
  };
  Sent TakeSent(const std::string& agent) {
    Sent sent;
    sent.messages = coordinator_->ScriptTakeSent(agent);
    for (const auto& message : sent.messages) {
      sent.tags.push_back(message->getTagID());
      if (message->getTagID() != VirtualServer::VMCollectList::TAG) continue;
      const CNMessageList& vms = message->getlistobject(VirtualServer::VMCollectList::F_vms, false);
      if (vms.empty()) sent.vms.push_back("-");
      for (const CNMessagePtr& vm : vms) sent.vms.push_back(vm->getstring(VirtualServer::VMCollect::F_vmGuid));
    }
    return sent;
  }

  // The job's stream reservations with the job manager.
  lab::ReservationLedger Ledger() const {
    lab::ReservationLedger ledger;
    std::string error;
    EXPECT_TRUE(lab::ReadReservationLedger(kJobId, ledger, error)) << error;
    return ledger;
  }
  std::string Log() const { return lab_->Log(); }
  bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }
  std::vector<std::string> Events() const { return vsJobMgr::ReadEvents(kJobId); }
  std::vector<std::string> Pending() const { return vsJobMgr::ReadPendingCauses(kJobId); }
  std::vector<std::string> BackupOut() const { return StoreResults::ReadLines(kJobId); }
  phase PhaseOf(int vm) const { return coordinator_->m_vmMap.Find(VMGuid(vm))->vmPhase; }

  // Changes the status of the VM's record as an agent would.
  void SetRecordStatus(int vm, int status) {
    JobManager::VMUpdateInfo record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, VMGuid(vm), record));
    record.setint64(JobManager::VMUpdateInfo::F_vmStatus, status);
    ASSERT_TRUE(job_->setVMStatus(VMGuid(vm), record));
  }

  // Only on the virtual clock (testsupport::VirtualClock, held from the test's start): on the real one
  // the time that passes between an action and the check adds to the advance, and a limit checked a
  // second early may already have come.
  static void Advance(int seconds) {
    ASSERT_TRUE(ZtClock::IsVirtualTime()) << "a test that moves the clock holds a testsupport::VirtualClock";
    ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(seconds));
  }

  std::unique_ptr<testsupport::TestLab> lab_;
  std::unique_ptr<vsJobMgr> job_;
  std::unique_ptr<vsAppMgr> app_;
  int streams_ = 3;
  std::unique_ptr<TestCoordinator> coordinator_;
};

}  // namespace coordtest
