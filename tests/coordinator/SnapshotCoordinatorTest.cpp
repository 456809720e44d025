// What the coordinator does for storage-snapshot jobs, in the framework's scripted mode: an agent that
// joins a backup copy late mounts the same snapshots, and a snapshot controller whose set-up failed
// hands its stream back.
#include <algorithm>

#include "controller/QuarnController.h"
#include "coordinator/CoordinatorTestSupport.h"
#include "platform/lab/LabMachine.h"

namespace coordtest {
namespace {

using VirtualServer::MountSnapInfo;
using VirtualServer::VMBackupStream;
using VirtualServer::VMMountSnapInfo;

// A local controller whose hardware mounts always succeed.
class MountingController : public QuarnController {
 public:
  MountingController() : QuarnController(true) {}
  bool InitMovingToTapePhase() override { return true; }
};

class SnapshotCoordinatorTest : public CoordinatorTest {};

TEST_F(SnapshotCoordinatorTest, AnAgentThatJoinsABackupCopyLateMountsTheSameSnapshots) {
  MountingController local;
  Subclient("memberServers=coordinator,proxyA");
  ASSERT_TRUE(StartManagers());
  job_->setSnapToTape(true);
  job_->setSnapBkpJobId(900);
  job_->setPrevMasterArchFile(5);
  ASSERT_TRUE(coordinator_->Initialize(job_.get(), app_.get(), nullptr));
  TestCoordinator& c = *coordinator_;
  c.m_localController = &local;
  StartAllAgents();
  ASSERT_EQ(QuarnCoordinator::kRunning, c.GetState());
  TakeSent("proxyA");

  // Auto-scale made proxyB while the job ran; it joins the member servers and announces itself.
  Subclient("memberServers=coordinator,proxyA,proxyB");
  ASSERT_TRUE(c.CheckAndAddAgents());
  ASSERT_EQ(1u, c.m_agents.count("proxyB"));
  c.ScriptTakeStarts();
  ASSERT_TRUE(c.ScriptAgentStarted("proxyB"));
  ASSERT_TRUE(c.ScriptAgentMessage("proxyB", Startup("proxyB")));
  ASSERT_TRUE(c.ScriptRunPass());

  const Sent sent = TakeSent("proxyB");
  auto it = std::find(sent.tags.begin(), sent.tags.end(), MountSnapInfo::TAG);
  ASSERT_NE(it, sent.tags.end()) << "the late agent is told what to mount";
  const CNMessageBase& info = *sent.messages[static_cast<size_t>(it - sent.tags.begin())];
  EXPECT_EQ(900, info.getint64(MountSnapInfo::F_snapshotJobId));
  EXPECT_EQ(3u, const_cast<CNMessageBase&>(info).getlistobject(MountSnapInfo::F_vmMounts, false).size());
  EXPECT_EQ(0u, std::count(TakeSent("proxyA").tags.begin(), TakeSent("proxyA").tags.end(), MountSnapInfo::TAG))
      << "an agent that has it is not told again";
}

TEST_F(SnapshotCoordinatorTest, AStreamHandedBackUnchangedIsTheJobsAgainAndNoError) {
  Subclient("memberServers=coordinator");
  ASSERT_TRUE(StartManagers());
  job_->setSnapBackup(true);
  ASSERT_TRUE(coordinator_->Initialize(job_.get(), app_.get(), nullptr));
  TestCoordinator& c = *coordinator_;
  StartAllAgents();
  ASSERT_EQ(1u, c.m_streams.size()) << "a snapshot job has one stream that stands for its data path";
  ASSERT_EQ(StreamAssigned, c.m_streams.front().state);

  const Sent sent = TakeSent("coordinator");
  auto it = std::find(sent.tags.begin(), sent.tags.end(), VMBackupStream::TAG);
  ASSERT_NE(it, sent.tags.end());
  const CNMessageBase& grant = *sent.messages[static_cast<size_t>(it - sent.tags.begin())];
  ASSERT_TRUE(c.ScriptAgentMessage("coordinator", grant)) << "the grant comes back as it went";
  ASSERT_TRUE(c.ScriptRunPass());
  EXPECT_EQ(0, c.m_streamErrors);
  EXPECT_NE(StreamError, c.m_streams.front().state);
  EXPECT_EQ(0, c.m_agents["coordinator"].streamsAssigned);
  EXPECT_TRUE(Logged("has returned StreamId [1], RCID [-1]"));
}

// A VM of a snapshot backup reported backed up is failed afterwards when the agent that ended it says
// its snapshot could not be finished; no one else, nothing else and never twice changes it.
TEST_F(SnapshotCoordinatorTest, AVMReportedBackedUpOnASnapshotIsFailedAfterwardsOnlyByItsAgent) {
  struct Case {
    const char* name;
    bool snapBackup;
    const char* indexingV2;
    const char* from;  // the agent the later result comes from
    int status;        // of the later result
    bool failed;
  } cases[] = {
      {"its agent fails it (counted a success before)", true, "0", "proxyA", 2, true},
      {"its agent fails it (still waiting for its index logs)", true, "1", "proxyA", 2, true},
      {"another agent", true, "0", "proxyB", 2, false},
      {"a repeated success", true, "0", "proxyA", 1, false},
      {"a backup that is no snapshot backup", false, "0", "proxyA", 2, false},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FreshLab();
    Subclient(std::string("memberServers=coordinator,proxyA,proxyB\ninstanceType=102\nindexingV2=") +
              test.indexingV2);
    // Discovery's collect file for the indexing generation the subclient now has.
    ASSERT_TRUE(lab_->Create(lab::LabPlan()));
    ASSERT_TRUE(StartManagers());
    job_->setSnapBackup(test.snapBackup);
    ASSERT_TRUE(coordinator_->Initialize(job_.get(), app_.get(), nullptr));
    TestCoordinator& c = *coordinator_;
    StartAllAgents();
    ASSERT_TRUE(c.ScriptAgentMessage("proxyA", GetNextVM()));
    ASSERT_TRUE(c.ScriptRunPass());
    std::string guid;
    for (const std::string& sent : TakeSent("proxyA").vms)
      if (guid.empty() && sent != "-") guid = sent;
    ASSERT_FALSE(guid.empty()) << "proxyA backs a VM up";
    const std::string name = c.m_vmMap.Find(guid)->vmName;
    VirtualServer::VMBackupResult done = Result(guid, 1);
    done.setstring(VirtualServer::VMBackupResult::F_vmName, name);
    ASSERT_TRUE(c.ScriptAgentMessage("proxyA", done));
    ASSERT_TRUE(c.ScriptRunPass());
    ASSERT_EQ(PHASE_DONE, c.m_vmMap.Find(guid)->vmPhase);
    const int successes = c.m_vmSuccesses;
    const size_t waiting = c.LogArchiverBatchSize();
    EXPECT_EQ(test.snapBackup && test.indexingV2 == std::string("1") ? 1u : 0u, waiting);

    ASSERT_TRUE(c.ScriptAgentMessage(test.from, Result(guid, test.status, "snapshot not finished")));
    // Once failed, a second failure changes nothing more.
    ASSERT_TRUE(c.ScriptAgentMessage(test.from, Result(guid, test.status, "snapshot not finished")));
    ASSERT_TRUE(c.ScriptRunPass());
    EXPECT_EQ(test.failed ? PHASE_FAILED : PHASE_DONE, c.m_vmMap.Find(guid)->vmPhase);
    EXPECT_EQ(test.failed ? 1 : 0, c.m_vmFailures);
    EXPECT_EQ(test.failed && waiting == 0 ? successes - 1 : successes, c.m_vmSuccesses);
    EXPECT_EQ(test.failed ? 0u : waiting, c.LogArchiverBatchSize());
    const std::vector<std::string> lines = BackupOut();
    EXPECT_EQ(test.failed, std::find(lines.begin(), lines.end(), name + " Skipped snapshot not finished") != lines.end());
    EXPECT_FALSE(c.CheckQuitFlag());
  }
}

}  // namespace
}  // namespace coordtest
