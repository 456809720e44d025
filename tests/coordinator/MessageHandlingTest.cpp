// The coordinator's side of the agent protocol: requests for work, results, progress, shutdown,
// stream returns, snapshot metadata and per-VM stop requests.
#include "coordinator/CoordinatorTestSupport.h"
#include "meditech/QuarnMediTechCoordinator.h"
#include "support/MediTechTestSupport.h"
#include "platform/msg/vsXMLFile.h"

namespace coordtest {
namespace {

using R = VirtualServer::VMBackupResult;

TEST_F(CoordinatorTest, RequestsWhileStartingAreHeldAndServedFirstInFirstOut) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  c.m_state = QuarnCoordinator::kStarting;
  c.ScriptBeginMain();
  for (const auto& entry : c.m_agents) ASSERT_TRUE(c.ScriptAgentStarted(entry.first));
  // proxyB asks first and twice, then proxyA; coordinator never announces itself yet.
  ASSERT_TRUE(c.ScriptAgentMessage("proxyB", Startup("proxyB")));
  ASSERT_TRUE(c.ScriptAgentMessage("proxyB", GetNextVM()));
  ASSERT_TRUE(c.ScriptAgentMessage("proxyA", Startup("proxyA")));
  ASSERT_TRUE(c.ScriptAgentMessage("proxyA", GetNextVM()));
  ASSERT_TRUE(c.ScriptAgentMessage("proxyB", GetNextVM()));
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_EQ((std::deque<std::string>{"proxyB", "proxyA", "proxyB"}), c.m_heldGetNextVMRequests);
  EXPECT_TRUE(TakeSent("proxyB").vms.empty());

  ASSERT_TRUE(c.ScriptAgentMessage("coordinator", Startup("coordinator")));
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_TRUE(c.m_heldGetNextVMRequests.empty());
  // The priority list is in the reverse of the collect order (all VMs equal): vm03, vm02, vm01; each
  // request takes the first VM whose datastore is least busy.
  // proxyB takes vm03 (ds1), proxyA vm02 (ds2), and proxyB's second request the least busy of what is
  // left, vm01.
  EXPECT_EQ((std::vector<std::string>{VMGuid(3), VMGuid(1)}), TakeSent("proxyB").vms);
  EXPECT_EQ(std::vector<std::string>{VMGuid(2)}, TakeSent("proxyA").vms);
  EXPECT_TRUE(c.PriorityList().empty());
  EXPECT_EQ("proxyB", c.m_vmMap.Find(VMGuid(3))->assignedAgent);
  EXPECT_EQ(std::set<std::string>({VMGuid(1), VMGuid(3)}), c.m_agents["proxyB"].assignedVMs);

  // With nothing left a request gets an empty list: no more work for that agent.
  ASSERT_TRUE(c.ScriptAgentMessage("proxyA", GetNextVM()));
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_EQ(std::vector<std::string>{"-"}, TakeSent("proxyA").vms);
}

TEST_F(CoordinatorTest, VolumeActivityLimitHoldsRequestsUntilAResultFreesTheDatastore) {
  Settings("nVolumeActivityLimit=1");
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  EXPECT_TRUE(Logged("Static VM assignment is disabled"));
  StartAllAgents();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(c.ScriptAgentMessage("proxyA", GetNextVM()));
  ASSERT_TRUE(c.ScriptRunPass());
  // vm03 (ds1) and vm02 (ds2) go out; vm01 would be the second VM on ds1: held.
  EXPECT_EQ((std::vector<std::string>{VMGuid(3), VMGuid(2)}), TakeSent("proxyA").vms);
  EXPECT_TRUE(Logged("Cannot select a VM because the volume activity limit [1] is exceeded"));
  EXPECT_EQ(std::deque<std::string>{"proxyA"}, c.m_heldGetNextVMRequests);

  ASSERT_TRUE(c.ScriptAgentMessage("proxyA", Result(VMGuid(3), 1)));
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_EQ(std::vector<std::string>{VMGuid(1)}, TakeSent("proxyA").vms);
  EXPECT_TRUE(c.m_heldGetNextVMRequests.empty());
}

TEST_F(CoordinatorTest, ResultsOfEveryStatusSetThePhaseCountersAndResultFile) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  StartAllAgents();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(c.ScriptAgentMessage("proxyA", GetNextVM()));
  ASSERT_TRUE(c.ScriptRunPass());

  struct Case {
    int vm;
    int status;
    int errors;
    std::string reason;
    phase expected;
  } cases[] = {
      {3, 1, 2, "", PHASE_DONE_WITH_ERRORS},
      {2, 2, 0, "Disk read failed", PHASE_FAILED},
      {1, 4, 0, "Not supported", PHASE_SKIPPED},
  };
  for (const Case& test : cases) {
    R result = Result(VMGuid(test.vm), test.status, test.reason);
    result.setstring(R::F_vmName, "vm0" + std::to_string(test.vm));
    if (test.errors > 0) {
      result.setint64(R::F_errorCount, test.errors);
      result.setliststring(R::F_messages, {"vm03\\disk1 Warning read retried", "vm03\\disk2 Warning slow"});
    }
    ASSERT_TRUE(c.ScriptAgentMessage("proxyA", result));
  }
  ASSERT_TRUE(c.ScriptRunPass());
  for (const Case& test : cases) EXPECT_EQ(test.expected, PhaseOf(test.vm)) << test.vm;
  EXPECT_EQ(2, c.m_fileFailures);
  EXPECT_EQ(1, c.m_vmSuccesses);
  EXPECT_EQ(1, c.m_vmFailures);
  EXPECT_EQ("Disk read failed", c.m_vmMap.Find(VMGuid(2))->failureReason);
  EXPECT_TRUE(Logged("VM [vm03] completed with [2] errors (2 messages)"));
  EXPECT_TRUE(Logged("Received Status [2] for VM [vm02] from [proxyA]"));
  EXPECT_TRUE(Logged("Set the job state to committable."));
  EXPECT_EQ((std::vector<std::string>{"vm03\\disk1 Warning read retried", "vm03\\disk2 Warning slow",
                                      "vm02 Skipped Disk read failed"}),
            BackupOut());
  EXPECT_EQ(3, c.m_agents["proxyA"].completedCount);
  EXPECT_TRUE(c.m_agents["proxyA"].assignedVMs.empty());
  const std::vector<std::string> progress = vsJobMgr::ReadProgressLines(kJobId);
  EXPECT_NE(progress.end(), std::find(progress.begin(), progress.end(), "vm " + VMGuid(3)));
  EXPECT_NE(progress.end(), std::find(progress.begin(), progress.end(), "vm " + VMGuid(2)));
  EXPECT_EQ(progress.end(), std::find(progress.begin(), progress.end(), "vm " + VMGuid(1))) << "skipped: no bar";
  const std::vector<std::string> counters = vsJobMgr::ReadCounterLines(kJobId);
  EXPECT_EQ((std::vector<std::string>{"fileFailures 2", "folderSuccesses 1", "folderFailures 1"}), counters);
}

TEST_F(CoordinatorTest, StoppedOtherAndFatalResultsAndStraysChangeOnlyWhatTheyShould) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  StartAllAgents();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(c.ScriptAgentMessage("proxyB", GetNextVM()));
  ASSERT_TRUE(c.ScriptRunPass());

  R fatal = Result(VMGuid(1), 0, "Snapshot failed");
  fatal.setint64(R::F_fatalError, 1);
  ASSERT_TRUE(c.ScriptAgentMessage("proxyB", Result(VMGuid(3), 3)));
  ASSERT_TRUE(c.ScriptAgentMessage("proxyB", fatal));
  // A result for a VM the job does not have, and a second result for a finished VM.
  ASSERT_TRUE(c.ScriptAgentMessage("proxyB", Result("a-guid-nobody-sent", 1)));
  ASSERT_TRUE(c.ScriptAgentMessage("proxyB", Result(VMGuid(3), 1)));
  // A result from an agent the VM was not sent to is refused and logged.
  ASSERT_TRUE(c.ScriptAgentMessage("proxyA", Result(VMGuid(2), 1)));
  ASSERT_TRUE(c.ScriptRunPass());

  EXPECT_EQ(PHASE_STOPPED, PhaseOf(3));
  EXPECT_EQ(PHASE_PENDING, PhaseOf(1));
  EXPECT_EQ("Snapshot failed", c.m_vmMap.Find(VMGuid(1))->failureReason);
  EXPECT_TRUE(c.m_fatalVMError);
  EXPECT_TRUE(Logged("Detected fatal VM error"));
  EXPECT_EQ(3u, c.m_vmMap.size()) << "a GUID from a message never adds a VM";
  EXPECT_FALSE(c.m_vmMap.Contains("a-guid-nobody-sent"));
  EXPECT_EQ(0, c.m_vmSuccesses) << "the repeated result is not counted, nor the other agent's";
  EXPECT_EQ(PHASE_STARTED, PhaseOf(2));
  EXPECT_TRUE(Logged("Agent [proxyA] has reported status for a VM [" + VMGuid(2) + "] that wasn't assigned to it []"));
  EXPECT_EQ(0u, c.GetVolumeActivityForVM(*c.m_vmMap.Find(VMGuid(1))));
  EXPECT_FALSE(c.CheckQuitFlag());
}

// A result that is not its sender's to give (a VM sent to another agent) or that holds a number no
// result can hold is refused before it changes anything, and logged; the numbers at their limits are
// taken. The real results still end the VMs.
TEST_F(CoordinatorTest, AResultNotTheSendersOrOutOfRangeChangesNothing) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  StartAllAgents();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(c.ScriptAgentMessage("proxyB", GetNextVM()));
  ASSERT_TRUE(c.ScriptRunPass());
  ASSERT_EQ(3u, c.m_agents["proxyB"].assignedVMs.size());

  struct Case {
    const char* name;
    const char* sender;
    int64_t status, errors, fatal, archiving;
    const char* logged;  // empty: the result is taken
  };
  const std::string another = "Agent [proxyA] has reported status for a VM [" + VMGuid(1) + "] that wasn't assigned";
  const Case refused[] = {
      {"a success from another agent", "proxyA", 1, 0, 0, 0, another.c_str()},
      {"a failure from another agent", "proxyA", 2, 0, 0, 0, another.c_str()},
      {"status one below its range", "proxyB", -1, 0, 0, 0, "its status [-1] is not from 0 to 4"},
      {"status one past its range", "proxyB", 5, 0, 0, 0, "its status [5] is not from 0 to 4"},
      {"an error count below zero", "proxyB", 1, -2147483648LL, 0, 0,
       "its error count [-2147483648] is not from 0 to 2147483647"},
      {"an error count past 32 bits", "proxyB", 1, 2147483648LL, 0, 0, "its error count [2147483648] is not from 0"},
      {"a fatal flag of 2", "proxyB", 1, 0, 2, 0, "its fatal error flag [2] is not from 0 to 1"},
      {"an archiving status below zero", "proxyB", 1, 0, 0, -1, "its archiving status [-1] is not from 0"},
  };
  for (const Case& test : refused) {
    SCOPED_TRACE(test.name);
    R result = Result(VMGuid(1), static_cast<int>(test.status), "forged");
    result.setint64(R::F_statusCode, test.status);
    result.setint64(R::F_errorCount, test.errors);
    result.setint64(R::F_fatalError, test.fatal);
    result.setint64(R::F_archivingStatus, test.archiving);
    ASSERT_TRUE(c.ScriptAgentMessage(test.sender, result));
    ASSERT_TRUE(c.ScriptRunPass());
    EXPECT_TRUE(Logged(test.logged));
    const vm_params& vm = *c.m_vmMap.Find(VMGuid(1));
    EXPECT_EQ(PHASE_STARTED, vm.vmPhase);
    EXPECT_EQ("", vm.failureReason);
    EXPECT_FALSE(c.m_fatalVMError);
    EXPECT_EQ(0, c.m_vmSuccesses + c.m_vmFailures + c.m_fileFailures);
    EXPECT_EQ(3u, c.m_agents["proxyB"].assignedVMs.size());
    EXPECT_TRUE(BackupOut().empty());
  }

  // The owner's results, with the numbers at their limits, end the VMs.
  R withErrors = Result(VMGuid(1), 1);
  withErrors.setint64(R::F_errorCount, INT32_MAX);
  withErrors.setint64(R::F_archivingStatus, INT32_MAX);
  ASSERT_TRUE(c.ScriptAgentMessage("proxyB", withErrors));
  R pending = Result(VMGuid(2), 0, "retry");
  pending.setint64(R::F_fatalError, 1);
  ASSERT_TRUE(c.ScriptAgentMessage("proxyB", pending));
  ASSERT_TRUE(c.ScriptAgentMessage("proxyB", Result(VMGuid(3), 4, "not supported")));
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_EQ(PHASE_DONE_WITH_ERRORS, PhaseOf(1));
  EXPECT_EQ(INT32_MAX, c.m_fileFailures);
  EXPECT_EQ(PHASE_PENDING, PhaseOf(2));
  EXPECT_TRUE(c.m_fatalVMError);
  EXPECT_EQ(PHASE_SKIPPED, PhaseOf(3));
  EXPECT_TRUE(c.m_agents["proxyB"].assignedVMs.empty());
}

TEST_F(CoordinatorTest, ProgressShutdownAndStatusReachTheirRecords) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  StartAllAgents();
  VirtualServer::VMBackupProgress progress;
  VirtualServer::VMProgressPercent percent;
  percent.setstring(VirtualServer::VMProgressPercent::F_guid, VMGuid(2));
  percent.setint64(VirtualServer::VMProgressPercent::F_percentComplete, 40);
  progress.getlistobject(VirtualServer::VMBackupProgress::F_vmProgress, true).emplace_back(percent);
  VirtualServer::VMAgentShutdown shutdown;
  shutdown.setint64(VirtualServer::VMAgentShutdown::F_failJob, 1);
  shutdown.setint64(VirtualServer::VMAgentShutdown::F_completedWithErrors, 1);
  VirtualServer::VMAgentStatus status;
  status.setint64(VirtualServer::VMAgentStatus::F_hostStreams, 5);
  ASSERT_TRUE(c.ScriptAgentMessage("proxyA", progress));
  ASSERT_TRUE(c.ScriptAgentMessage("proxyA", shutdown));
  ASSERT_TRUE(c.ScriptAgentMessage("proxyB", status));
  ASSERT_TRUE(c.ScriptRunPass());

  const std::vector<std::string> lines = vsJobMgr::ReadProgressLines(kJobId);
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "vmpercent " + VMGuid(2) + " 40"));
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "job"));
  EXPECT_TRUE(c.m_failJob);
  EXPECT_TRUE(c.m_completedWithErrors);
  EXPECT_TRUE(Logged("Agent [proxyA] has reported that the entire job should be failed"));
  EXPECT_EQ(5, c.m_agents["proxyB"].streamsOfOtherProcesses);
  EXPECT_TRUE(Logged("Message [VirtualServer_VMAgentShutdown] received from Agent [proxyA]"));
}

TEST_F(CoordinatorTest, StreamReturnsAndErrorsAreCountedAndABadCountStopsTheJob) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  StartAllAgents();
  using S = VirtualServer::VMBackupStream;
  const QuarnStreamInfo lent = *std::find_if(c.m_streams.begin(), c.m_streams.end(),
                                             [](const QuarnStreamInfo& s) { return s.agent == "proxyA"; });
  S failed;
  failed.setint64(S::F_streamCount, 1);
  failed.setint64(S::F_streamFailed, 1);
  failed.setint64(S::F_streamId, lent.StreamId);
  failed.setint64(S::F_rcid, lent.RCID);
  failed.setint64(S::F_reservationId, lent.ReservationId);
  ASSERT_TRUE(c.ScriptAgentMessage("proxyA", failed));
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_EQ(1, c.m_streamErrors);
  EXPECT_EQ(2, c.m_assignedStreams);
  EXPECT_TRUE(Logged("Agent [proxyA] has reported a stream error, releasing [1] streams to job manager"));
  EXPECT_EQ(StreamError, std::find_if(c.m_streams.begin(), c.m_streams.end(), [&](const QuarnStreamInfo& s) {
                           return s.RCID == lent.RCID;
                         })->state);

  // More streams than the agent holds: refused, nothing changes, and the failed handler quits.
  S tooMany;
  tooMany.setint64(S::F_streamCount, 2);
  ASSERT_TRUE(c.ScriptAgentMessage("proxyB", tooMany));
  c.ScriptRunPass();
  EXPECT_TRUE(Logged("Agent [proxyB] has returned an invalid # of streams (2 of 1)"));
  EXPECT_EQ(1, c.m_agents["proxyB"].streamsAssigned);
  EXPECT_TRUE(c.CheckQuitFlag());
}

TEST_F(CoordinatorTest, SnapshotMetadataIsMergedByJobAndSavedOnce) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  StartAllAgents();
  auto backup = [](int64_t job, const std::string& datastore) {
    VirtualServer::Backup entry;
    entry.setint64(VirtualServer::Backup::F_backupJobId, job);
    auto* list = entry.getObject<VirtualServer::VMDatastoreList>(VirtualServer::Backup::F_backupDatastores, true);
    VirtualServer::VMDatastoreInfo info;
    info.setstring(VirtualServer::VMDatastoreInfo::F_datastore, datastore);
    list->getlistobject(VirtualServer::VMDatastoreList::F_datastores, true).emplace_back(info);
    VirtualServer::VMSnapBackup message;
    message.getlistobject(VirtualServer::VMSnapBackup::F_backups, true).emplace_back(entry);
    return message;
  };
  ASSERT_TRUE(c.ScriptAgentMessage("proxyA", VirtualServer::VMSnapBackup()));
  ASSERT_TRUE(c.ScriptAgentMessage("proxyA", backup(77, "ds1")));
  ASSERT_TRUE(c.ScriptAgentMessage("proxyB", backup(77, "ds2")));
  // A datastore that the VMs of two proxies share is named by both; the job's snapshot holds it once.
  ASSERT_TRUE(c.ScriptAgentMessage("proxyB", backup(77, "ds1")));
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_TRUE(Logged("Snap metadata received from agent [proxyA] is empty"));

  VirtualServer::VMSnapBackup saved;
  ASSERT_TRUE(vsXMLFile(SubclientDir() + "/CatalogXML/backup_1001.xml").Load(saved));
  const CNMessageList& backups = saved.getlistobject(VirtualServer::VMSnapBackup::F_backups, false);
  ASSERT_EQ(1u, backups.size());
  auto* datastores =
      backups[0]->getObject<VirtualServer::VMDatastoreList>(VirtualServer::Backup::F_backupDatastores, false);
  ASSERT_NE(nullptr, datastores);
  EXPECT_EQ(2u, datastores->getlistobject(VirtualServer::VMDatastoreList::F_datastores, false).size());
  EXPECT_FALSE(c.CheckQuitFlag());
}

TEST_F(CoordinatorTest, StopRequestsOfSingleVMs) {
  ASSERT_TRUE(Initialize());
  TestCoordinator& c = *coordinator_;
  StartAllAgents();
  TakeSent("proxyB");
  ASSERT_TRUE(c.ScriptAgentMessage("proxyA", GetNextVM()));
  ASSERT_TRUE(c.ScriptRunPass());
  ASSERT_EQ(std::vector<std::string>{VMGuid(3)}, TakeSent("proxyA").vms);
  auto askStop = [&](int vm) {
    JobManager::VMUpdateInfo record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, VMGuid(vm), record));
    record.setint64(JobManager::VMUpdateInfo::F_vmStatus, 5);
    ASSERT_TRUE(job_->setVMStatus(VMGuid(vm), record));
  };

  // vm02 has not started, vm03 is with proxyA.
  askStop(2);
  askStop(3);
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_EQ(PHASE_NOT_STARTED, PhaseOf(2)) << "nothing happens without the job's VM quit flag";
  lab::RequestVMQuit(kJobId);
  ASSERT_TRUE(c.ScriptRunPass());

  EXPECT_EQ(PHASE_STOPPED, PhaseOf(2));
  EXPECT_TRUE(Logged("VM [vm02] has not started yet, moved to stopped"));
  JobManager::VMUpdateInfo record;
  ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJobId, VMGuid(2), record));
  EXPECT_EQ(6, record.getint64(JobManager::VMUpdateInfo::F_vmStatus));
  EXPECT_EQ(std::vector<std::string>{VMGuid(1)}, c.PriorityList());
  EXPECT_TRUE(TakeSent("proxyB").tags.empty()) << "no message for a VM that never started";

  EXPECT_EQ(PHASE_STOPPING, PhaseOf(3));
  Sent sent = TakeSent("proxyA");
  ASSERT_EQ(1u, sent.tags.size());
  ASSERT_EQ(VirtualServer::VMBackupStopVM::TAG, sent.tags[0]);
  EXPECT_EQ(VMGuid(3), sent.messages[0]->getstring(VirtualServer::VMBackupStopVM::F_vmGuid));
  EXPECT_EQ(103, sent.messages[0]->getint64(VirtualServer::VMBackupStopVM::F_vmClientId));
  EXPECT_EQ(kJobId * 1000 + 3, sent.messages[0]->getint64(VirtualServer::VMBackupStopVM::F_vmJobId))
      << "the VM's own job";

  // The next pass finds it still stopping; the agent's answer ends it.
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_TRUE(Logged("VM [vm03] is still stopping"));
  ASSERT_TRUE(c.ScriptAgentMessage("proxyA", Result(VMGuid(3), 3)));
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_EQ(PHASE_STOPPED, PhaseOf(3));
  EXPECT_TRUE(Logged("VM [vm03] is already stopped"));

  // A finished VM cannot be stopped; with nothing left to wait for the agents are told to quit.
  c.m_vmMap.Find(VMGuid(1))->vmPhase = PHASE_DONE;
  askStop(1);
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_TRUE(Logged("VM [vm01] is already complete, and cannot be stopped"));
  EXPECT_TRUE(Logged("All VMs have been processed, stopping agents"));
  EXPECT_EQ(std::vector<uint32_t>{VirtualServer::VMAgentQuit::TAG}, TakeSent("proxyB").tags);
}

}  // namespace
}  // namespace coordtest

namespace coordtest {
namespace {

class MediTechTestCoordinator : public QuarnMediTechCoordinator {
 public:
  using QuarnMediTechCoordinator::m_failJob;
  using QuarnMediTechCoordinator::m_state;
  using QuarnMediTechCoordinator::m_unfinishedVMReason;
  using QuarnMediTechCoordinator::m_vmFailures;
  using QuarnMediTechCoordinator::m_vmMap;
};

class MediTechCoordinatorTest : public CoordinatorTest {
 protected:
  // A MEDITECH job of three census VMs with every agent started, vm03 given to proxyA.
  void StartMediTechJob(MediTechTestCoordinator& meditech) {
    std::string error;
    ASSERT_TRUE(testsupport::MakeMediTechSystem({"vm01", "vm02", "vm03"}, error)) << error;
    ASSERT_TRUE(StartManagers());
    meditech.SetScriptedMode();
    meditech.SetAvailableStreams(3);
    ASSERT_TRUE(meditech.Initialize(job_.get(), app_.get(), nullptr));
    meditech.m_state = QuarnCoordinator::kStarting;
    meditech.ScriptBeginMain();
    for (const char* agent : {"coordinator", "proxyA", "proxyB"}) {
      ASSERT_TRUE(meditech.ScriptAgentStarted(agent));
      ASSERT_TRUE(meditech.ScriptAgentMessage(agent, Startup(agent)));
    }
    ASSERT_TRUE(meditech.ScriptAgentMessage("proxyA", GetNextVM()));
    ASSERT_TRUE(meditech.ScriptRunPass());
    ASSERT_EQ(PHASE_STARTED, meditech.m_vmMap.Find(VMGuid(3))->vmPhase);
  }
};

// A failure the coordinator refuses (not its sender's VM, a number no result can hold, a VM the job
// is not backing up) must not fail a MEDITECH job either: no pending cause, no quit, no reason for
// the VMs left; the VM's owner still fails it, and the job with it.
TEST_F(MediTechCoordinatorTest, AFailureTheCoordinatorRefusesFailsNoMediTechJob) {
  MediTechTestCoordinator meditech;
  ASSERT_NO_FATAL_FAILURE(StartMediTechJob(meditech));
  const std::vector<std::string> pendingBefore = Pending();

  struct Case {
    const char* name;
    const char* sender;
    std::string guid;
    int64_t errors, fatal, archiving;
    std::string logged;
  };
  const Case refused[] = {
      {"another agent's VM", "proxyB", VMGuid(3), 0, 0, 0,
       "Agent [proxyB] has reported status for a VM [" + VMGuid(3) + "] that wasn't assigned to it"},
      {"a VM not yet given to anyone", "proxyA", VMGuid(1), 0, 0, 0, "the VM is not being backed up"},
      {"a VM not in the job", "proxyA", "a-guid-nobody-sent", 0, 0, 0, "the VM is not part of this job"},
      {"an error count below zero", "proxyA", VMGuid(3), -1, 0, 0, "its error count [-1] is not from 0"},
      {"an error count past 32 bits", "proxyA", VMGuid(3), 2147483648LL, 0, 0,
       "its error count [2147483648] is not from 0"},
      {"a fatal flag of 2", "proxyA", VMGuid(3), 0, 2, 0, "its fatal error flag [2] is not from 0 to 1"},
      {"an archiving status past 32 bits", "proxyA", VMGuid(3), 0, 0, 2147483648LL,
       "its archiving status [2147483648] is not from 0"},
  };
  for (const Case& test : refused) {
    SCOPED_TRACE(test.name);
    VirtualServer::VMBackupResult failed = Result(test.guid, 2, "forged");
    failed.setstring(VirtualServer::VMBackupResult::F_vmName, "vm03");
    failed.setint64(VirtualServer::VMBackupResult::F_errorCount, test.errors);
    failed.setint64(VirtualServer::VMBackupResult::F_fatalError, test.fatal);
    failed.setint64(VirtualServer::VMBackupResult::F_archivingStatus, test.archiving);
    ASSERT_TRUE(meditech.ScriptAgentMessage(test.sender, failed));
    meditech.ScriptRunPass();
    EXPECT_TRUE(Logged(test.logged));
    EXPECT_FALSE(Logged("Failing entire job"));
    EXPECT_FALSE(meditech.m_failJob);
    EXPECT_FALSE(meditech.CheckQuitFlag());
    EXPECT_EQ(pendingBefore, Pending());
    EXPECT_EQ("", meditech.m_unfinishedVMReason);
    EXPECT_EQ(PHASE_STARTED, meditech.m_vmMap.Find(VMGuid(3))->vmPhase);
    EXPECT_EQ("", meditech.m_vmMap.Find(VMGuid(3))->failureReason);
    EXPECT_EQ(0, meditech.m_vmFailures);
  }

  // The owner's failure, its numbers at their limits, still fails the job.
  VirtualServer::VMBackupResult failed = Result(VMGuid(3), 2, "quiesce failed");
  failed.setstring(VirtualServer::VMBackupResult::F_vmName, "vm03");
  failed.setint64(VirtualServer::VMBackupResult::F_errorCount, INT32_MAX);
  failed.setint64(VirtualServer::VMBackupResult::F_fatalError, 1);
  failed.setint64(VirtualServer::VMBackupResult::F_archivingStatus, INT32_MAX);
  ASSERT_TRUE(meditech.ScriptAgentMessage("proxyA", failed));
  meditech.ScriptRunPass();
  EXPECT_TRUE(Logged("Failing entire job because MediTech VM [vm03] backup failed!"));
  EXPECT_EQ("0x5B000194 vm03", Pending().back());
  EXPECT_TRUE(meditech.m_failJob);
  EXPECT_TRUE(meditech.CheckQuitFlag());
  EXPECT_EQ(PHASE_FAILED, meditech.m_vmMap.Find(VMGuid(3))->vmPhase);
  EXPECT_EQ(1, meditech.m_vmFailures);
}

TEST_F(MediTechCoordinatorTest, AFailedMediTechVMFailsTheWholeJobAndARestartIsRefused) {
  MediTechTestCoordinator meditech;
  ASSERT_NO_FATAL_FAILURE(StartMediTechJob(meditech));
  VirtualServer::VMBackupResult failed = Result(VMGuid(3), 2, "quiesce failed");
  failed.setstring(VirtualServer::VMBackupResult::F_vmName, "vm03");
  ASSERT_TRUE(meditech.ScriptAgentMessage("proxyA", failed));
  meditech.ScriptRunPass();
  EXPECT_TRUE(Logged("Failing entire job because MediTech VM [vm03] backup failed!"));
  EXPECT_EQ("0x5B000194 vm03", Pending().back());
  EXPECT_TRUE(meditech.m_failJob);
  EXPECT_TRUE(meditech.CheckQuitFlag());
  EXPECT_EQ(PHASE_FAILED, meditech.m_vmMap.Find(VMGuid(3))->vmPhase) << "the base handler still runs";

  JobConf("restart=-o 2");
  ASSERT_TRUE(StartManagers());
  MediTechTestCoordinator restarted;
  restarted.SetScriptedMode();
  restarted.SetAvailableStreams(3);
  EXPECT_FALSE(restarted.Initialize(job_.get(), app_.get(), nullptr));
  EXPECT_TRUE(Logged("Meditech job restart not supported."));
  EXPECT_TRUE(restarted.m_failJob);
}

}  // namespace
}  // namespace coordtest
