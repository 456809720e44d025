// What the coordinator does for storage-snapshot jobs, in the framework's scripted mode: an agent that
// joins a backup copy late mounts the same snapshots, and a snapshot controller whose set-up failed
// hands its stream back.
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

}  // namespace
}  // namespace coordtest
