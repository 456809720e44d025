// The agent's side of each coordinator message, with the test as the coordinator.
#include <gtest/gtest.h>

#include "platform/lab/LabAgent.h"
#include "platform/lab/LabCreate.h"
#include "support/ControllerTestSupport.h"
#include "support/VirtualClock.h"

namespace {

using namespace VirtualServer;
using ctltest::Collect;
using ctltest::CollectList;
using ctltest::Grant;
using ctltest::LabJob;
using ctltest::TestController;

class ControllerProtocolTest : public ::testing::Test {
 protected:
  LabJob job;
  TestController controller{&job};
};

TEST_F(ControllerProtocolTest, StartupMessageCarriesVersionPropertiesAndStatus) {
  job.SetSetting("nStreamLimit", "3");
  controller.OnAgentStarted();
  auto sent = controller.Sent(VMAgentStartup::TAG);
  ASSERT_EQ(1u, sent.size());
  const CNMessageBase& startup = *sent[0];
  EXPECT_EQ(1120, startup.getint64(VMAgentStartup::F_protocolVersion));
  EXPECT_EQ(3, startup.getint64(VMAgentStartup::F_streamLimit)) << "the setting wins over the library";
  EXPECT_EQ(1, startup.getint64(VMAgentStartup::F_streamLimitSource));
  EXPECT_GT(startup.getint64(VMAgentStartup::F_cpuCount), 0);
  EXPECT_NE(nullptr, const_cast<CNMessageBase&>(startup).getObjectAccessor(VMAgentStartup::F_agentStatus, false,
                                                                             VMAgentStatus::GROUP, VMAgentStatus::TYPE));
  EXPECT_EQ(0, controller.GetPlannedWorkerTarget()) << "no worker before a stream, outside the stub phase";
  EXPECT_NE(std::string::npos, job.Log().find("Agent has started"));
}

TEST_F(ControllerProtocolTest, StubPhaseStartsOneWorkerBeforeAnyStream) {
  job.jobMgr.setVMStubPhase(true);
  controller.OnAgentStarted();
  EXPECT_EQ(1, controller.GetPlannedWorkerTarget());
  controller.Deliver(Grant(1, 5));
  EXPECT_EQ(1, controller.GetPlannedWorkerTarget()) << "one stream plans one worker";
  controller.Deliver(Grant(1, 6));
  EXPECT_EQ(2, controller.GetPlannedWorkerTarget());
}

TEST_F(ControllerProtocolTest, AgentInitIsKeptOnlyWhenItNamesAnArchiveFile) {
  controller.Deliver(VMAgentInit());
  EXPECT_EQ(0u, controller.GetMasterIndexFileId());
  VMAgentInit init;
  init.setint64(VMAgentInit::F_masterIndexFileId, 42);
  init.setint64(VMAgentInit::F_masterIndexFileTime, 1700000000);
  controller.Deliver(init);
  EXPECT_EQ(42u, controller.GetMasterIndexFileId());
  EXPECT_EQ(1700000000u, controller.GetMasterIndexFileTime());
  EXPECT_NE(std::string::npos, job.Log().find("Received master index archive file Id [42]"));
}

TEST_F(ControllerProtocolTest, StatusRequestIsAnsweredWithTheAgentsCounters) {
  controller.Deliver(CollectList({Collect("vm1", "G1"), Collect("vm2", "G2")}));
  controller.Deliver(VMAgentStatus());
  auto sent = controller.Sent(VMAgentStatus::TAG);
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ(2, sent[0]->getint64(VMAgentStatus::F_vmsQueued));
  EXPECT_EQ(0, sent[0]->getint64(VMAgentStatus::F_vmsProcessed));
}

TEST_F(ControllerProtocolTest, CollectListBuildsRecordsAndQueuesInListOrder) {
  VMCollect vm = Collect("vm1", "G1", 77);
  vm.setstring(VMCollect::F_serverName, "vcenter");
  vm.setint64(VMCollect::F_archivingStatus, 1);
  controller.Deliver(CollectList({vm, Collect("vm2", "G2")}));
  vm_params record = controller.Record("g1");
  EXPECT_EQ("vm1", record.vmName);
  EXPECT_EQ("esx1", record.host);
  EXPECT_EQ("vcenter", record.collectText13);
  EXPECT_EQ(1, record.archivingStatus);
  EXPECT_EQ(7, record.updateInfo.getint64(JobManager::VMUpdateInfo::F_clientId));
  EXPECT_EQ(4, record.updateInfo.getint64(JobManager::VMUpdateInfo::F_vmStatus));
  EXPECT_EQ("G1", record.updateInfo.getstring(JobManager::VMUpdateInfo::F_recordGuid));
  EXPECT_EQ(2u, controller.GetQueuedVMCount());

  // A VM sent again while a worker holds it is neither replaced nor queued twice.
  controller.SetPhase("G1", PHASE_STARTED);
  controller.Deliver(CollectList({Collect("vm1-renamed", "G1")}));
  EXPECT_EQ("vm1", controller.Record("G1").vmName);
  EXPECT_EQ(2u, controller.GetQueuedVMCount());
}

TEST_F(ControllerProtocolTest, ExtraWorkersPlanWorkersForTheStreams) {
  struct Case {
    const char* setting;
    int planned;
  } cases[] = {{"*2", 6}, {"/2", 4}, {"2", 5}, {"/0", 3}, {"0", 3}, {"*", 3}, {nullptr, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting != nullptr ? c.setting : "absent");
    LabJob lab;
    if (c.setting != nullptr) lab.SetSetting("ExtraWorkers", c.setting);
    TestController agent(&lab);
    for (int i = 0; i < 3; ++i) agent.Deliver(Grant(1, i + 1));
    EXPECT_EQ(3, agent.GetStreamsGranted());
    EXPECT_EQ(c.planned, agent.GetPlannedWorkerTarget());
  }
}

TEST_F(ControllerProtocolTest, EveryGrantOfOneStreamIsReturnedAtTheEndEvenWithStreamIdZero) {
  controller.Deliver(Grant(1, 0));
  controller.Deliver(Grant(1, 9));
  controller.CloseAndReturnAllStreams();
  auto returned = controller.Sent(VMBackupStream::TAG);
  ASSERT_EQ(2u, returned.size());
  EXPECT_EQ(0, returned[0]->getint64(VMBackupStream::F_streamId));
  EXPECT_EQ(9, returned[1]->getint64(VMBackupStream::F_streamId));
  for (const auto& stream : returned) {
    EXPECT_EQ(1, stream->getint64(VMBackupStream::F_streamCount));
    EXPECT_EQ(0, stream->getint64(VMBackupStream::F_streamFailed)) << "unopened grants go back whole";
  }
  EXPECT_EQ(0, controller.GetStreamsGranted());
}

TEST_F(ControllerProtocolTest, StreamErrorIsResetByAGrantOnlyAfterSixtySecondsAndWithinTheResetLimit) {
  testsupport::VirtualClock clock;  // limits to the second: the real clock must not move them
  job.SetSetting("nMaxStreamErrorResets", "1");
  controller.SetStreamError();
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(60));
  controller.Deliver(Grant(1, 1));
  EXPECT_TRUE(controller.HasStreamError()) << "60 s is not more than 60 s";
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(1));
  controller.Deliver(Grant(1, 2));
  EXPECT_FALSE(controller.HasStreamError());
  EXPECT_TRUE(controller.IsRestartWorkersRequested());

  controller.SetStreamError();
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(120));
  controller.Deliver(Grant(1, 3));
  EXPECT_TRUE(controller.HasStreamError()) << "the one allowed reset is used up";
}

TEST_F(ControllerProtocolTest, StopRequestForAQueuedVMReportsItStopped) {
  controller.Deliver(CollectList({Collect("vm1", "G1", 501), Collect("vm2", "G2", 502)}));
  VMBackupStopVM stop;
  stop.setstring(VMBackupStopVM::F_vmName, "vm1");
  stop.setstring(VMBackupStopVM::F_vmGuid, "G1");
  stop.setint64(VMBackupStopVM::F_vmClientId, 7);
  stop.setint64(VMBackupStopVM::F_vmJobId, 501);
  controller.Deliver(stop);

  EXPECT_EQ(1u, controller.GetQueuedVMCount());
  auto results = controller.Sent(VMBackupResult::TAG);
  ASSERT_EQ(1u, results.size());
  EXPECT_EQ("G1", results[0]->getstring(VMBackupResult::F_vmGuid));
  EXPECT_EQ(PHASE_STOPPED, results[0]->getint64(VMBackupResult::F_vmPhase));
  EXPECT_EQ(3, results[0]->getint64(VMBackupResult::F_statusCode));
  // The job manager has the VM as stopped.
  JobManager::VMUpdateInfo info;
  ASSERT_TRUE(vsJobMgr::ReadVMStatus(ctltest::kJobId, "G1", info));
  EXPECT_EQ(6, info.getint64(JobManager::VMUpdateInfo::F_vmStatus));
  EXPECT_NE(std::string::npos, job.Log().find("VM [vm1] is waiting to be processed and will be removed from the queue"));
}

TEST_F(ControllerProtocolTest, StopRequestForAVMInAWorkerOnlyMarksItsJob) {
  controller.Deliver(CollectList({Collect("vm1", "G1", 501), Collect("vm2", "G2", 502)}));
  controller.SetPhase("G1", PHASE_STARTED);
  controller.SetPhase("G2", PHASE_DONE);
  VMBackupStopVM stop;
  stop.setstring(VMBackupStopVM::F_vmGuid, "G1");
  stop.setint64(VMBackupStopVM::F_vmJobId, 501);
  controller.Deliver(stop);
  EXPECT_TRUE(controller.CheckQuitFlagForVM(501, "any"));
  EXPECT_FALSE(controller.CheckQuitFlagForVM(502, "G2"));
  EXPECT_FALSE(controller.CheckQuitFlag()) << "one VM stops, not the agent";

  stop.setstring(VMBackupStopVM::F_vmGuid, "G2");
  controller.Deliver(stop);
  stop.setstring(VMBackupStopVM::F_vmGuid, "nobody");
  controller.Deliver(stop);
  EXPECT_TRUE(controller.Sent(VMBackupResult::TAG).empty());
  EXPECT_EQ(1u, job.LogCount("Unexpected vm phase [2] for VM"));
  EXPECT_EQ(1u, job.LogCount("is not known to this agent; the stop request is ignored"));
}

TEST_F(ControllerProtocolTest, QuitStopsTheAgentAndCommitsOnlyWhenAsked) {
  controller.Deliver(VMAgentQuit());
  EXPECT_TRUE(controller.CheckQuitFlag());
  EXPECT_FALSE(job.jobMgr.isJobCommitted());
  EXPECT_NE(std::string::npos, job.Log().find("Received Quit message from coordinator"));

  TestController committed(&job);
  VMAgentQuit quit;
  quit.setint64(VMAgentQuit::F_commit, 1);
  committed.Deliver(quit);
  EXPECT_TRUE(job.jobMgr.isJobCommitted());
  EXPECT_NE(std::string::npos, job.Log().find("Received Quit (Commit) message from coordinator"));
}

TEST_F(ControllerProtocolTest, SharedShadowIsAttachedAndItsFailureRaisesAnEvent) {
  VMSharedShadow shadow;
  shadow.setstring(VMSharedShadow::F_sharedShadowText1, "shadow-1");
  controller.Deliver(shadow);
  EXPECT_EQ((std::vector<std::string>{"attach coordinator shadow-1 "}),
            lab::ReadSharedShadowAttachments(lab::SampleServer()));
  EXPECT_FALSE(controller.CheckQuitFlag());

  controller.Deliver(VMSharedShadow());  // names no shadow: the attachment fails
  EXPECT_FALSE(controller.CheckQuitFlag()) << "the agent backs up from a shadow of its own";
  EXPECT_EQ(1u, job.LogCount("Failed to attach to shared shadow"));
  bool raised = false;
  for (const std::string& line : vsJobMgr::ReadEvents(ctltest::kJobId))
    raised = raised || line.find("MAJOR 0x4800006A Unable to attach to the shared shadow") == 0;
  EXPECT_TRUE(raised);
}

TEST_F(ControllerProtocolTest, SharedShadowWithoutAHypervisorConnectionEndsTheAgent) {
  LabJob lab;
  lab.SetSubclient("instanceType", "0");
  TestController agent(&lab);
  agent.Deliver(VMSharedShadow());
  EXPECT_TRUE(agent.CheckQuitFlag());
}

TEST_F(ControllerProtocolTest, UnknownAndSnapshotOnlyMessagesAreIgnoredAndEveryMessageIsLogged) {
  controller.Deliver(VMBackupResult());  // a message the agent never receives
  controller.Deliver(VMSnapBackup());    // only the snapshot controller acts on these two
  controller.Deliver(MountSnapInfo());
  EXPECT_FALSE(controller.CheckQuitFlag());
  EXPECT_TRUE(controller.Sent(VMBackupResult::TAG).empty());
  EXPECT_NE(std::string::npos, job.Log().find("Message [VirtualServer_VMBackupResult] received from Server"));
}

TEST_F(ControllerProtocolTest, StoppingAgentReportsTheJobFlagsOfItsPostBackup) {
  controller.postBackupResult = false;
  ASSERT_TRUE(controller.StartControllerThread());
  controller.OnAgentStopped();
  auto shutdown = controller.Sent(VMAgentShutdown::TAG);
  ASSERT_EQ(1u, shutdown.size());
  EXPECT_EQ(1, shutdown[0]->getint64(VMAgentShutdown::F_failJob));
  EXPECT_EQ(0, shutdown[0]->getint64(VMAgentShutdown::F_completedWithErrors));
  EXPECT_EQ(1u, job.LogCount("Post backup phase failed for the job"));
  EXPECT_EQ(1u, job.LogCount("All [0] VMs have been processed"));
}

}  // namespace
