// The controller's time-outs on the virtual clock: the workers' stop, a quit seen while waiting for
// the coordinator, and the agent-properties cache.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "platform/lab/LabAgent.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabMachine.h"
#include "support/ControllerTestSupport.h"

namespace {

using namespace VirtualServer;
using ctltest::Collect;
using ctltest::CollectList;
using ctltest::Grant;
using ctltest::LabJob;
using ctltest::TestController;
using ctltest::TestWorker;

class ControllerTimeTest : public ::testing::Test {
 protected:
  ControllerTimeTest() { ZtClock::UseVirtualTimeForTest(); }
  ~ControllerTimeTest() override { ZtClock::UseRealTime(); }

  // Moves the clock once the given number of timed waits have begun.
  static void AdvanceWhenWaiting(size_t waits, long long seconds) {
    ASSERT_TRUE(ZtClock::WaitForTimedWaitersForTest(waits));
    ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(seconds));
  }

  LabJob job;
};

TEST_F(ControllerTimeTest, WorkerThatDoesNotStopIsReportedAndLeftNotFreed) {
  job.SetSetting("nStopWorkerTimeoutMinutes", "2");
  TestController controller(&job);
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  // A road that ignores every quit flag until the test lets it go.
  controller.road = [&entered, released](TestWorker&) {
    entered.set_value();
    released.wait();
    return 0;
  };
  controller.Deliver(CollectList({Collect("vm1", "G1")}));
  controller.Deliver(Grant(1, 1));
  ASSERT_TRUE(controller.MonitorWorkers());
  entered.get_future().wait();

  auto stopping = std::async(std::launch::async, [&] { controller.StopAllWorkers(); });
  AdvanceWhenWaiting(1, 4 * 60 + 59);
  EXPECT_EQ(0u, job.LogCount("is still running. Terminating the worker")) << "a setting of 2 minutes waits 5";
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(1));
  AdvanceWhenWaiting(1, 30);  // Terminate's own wait for the thread
  stopping.get();
  EXPECT_EQ(1u, job.LogCount("Worker [0] is still running. Terminating the worker"));
  EXPECT_EQ(1u, job.LogCount("Failed to terminate worker [0]"));
  EXPECT_EQ(1u, job.LogCount("Worker [0] did not end; it is left running and not freed"));
  EXPECT_EQ(0u, controller.GetWorkerCount());
  EXPECT_TRUE(controller.relinquished.empty()) << "its streams stay with the live thread";

  // Let it go: it reports its VM and ends; the controller frees it then.
  release.set_value();
  ASSERT_TRUE(controller.WaitForSent(VMBackupResult::TAG, 1));
  controller.StopControllerThread();
}

TEST_F(ControllerTimeTest, JobQuitEndsAWaitForTheCoordinatorWithinTenSeconds) {
  TestController controller(&job);
  auto waiting = std::async(std::launch::async, [&] {
    vm_params* vm = nullptr;
    int index = 0;
    return controller.GetNextVM(0, vm, index);
  });
  ASSERT_TRUE(controller.WaitForSent(VMBackupGetNextVM::TAG, 1));
  // The quit comes once the wait has begun: one seen before it ends the wait before it begins.
  ASSERT_TRUE(ZtClock::WaitForTimedWaitersForTest(1));
  ASSERT_TRUE(lab::RequestJobQuit(ctltest::kJobId));
  AdvanceWhenWaiting(1, 9);
  EXPECT_EQ(std::future_status::timeout, waiting.wait_for(std::chrono::milliseconds(0)));
  AdvanceWhenWaiting(1, 1);
  EXPECT_FALSE(waiting.get());
  EXPECT_TRUE(controller.CheckQuitFlag()) << "the job's quit is latched";
}

TEST_F(ControllerTimeTest, AgentPropertiesComeFromTheHypervisorOnceAndFromTheCacheWhileItIsFresh) {
  // The coordinator client is VM 1 of the sample lab on host esx1; the server allows 4 streams.
  lab::VMDescription proxy;
  ASSERT_TRUE(lab::FindVM(lab::SampleServer(), "vm01", proxy));
  std::string error;
  ASSERT_TRUE(lab::UpdateMachineRecord("coordinator", [&](lab::MachineRecord& machine, std::string&) {
    machine.vmGuid = proxy.guid;
    machine.hypervisorHost = "esx1";
    return true;
  }, error));
  lab::ServerRecord server;
  ASSERT_TRUE(lab::ReadServerRecord(lab::SampleServer(), server, error));
  server.other["streamLimit"] = "4";
  ASSERT_TRUE(lab::WriteServerRecord(lab::SampleServer(), server, error));

  auto start = [&] {
    TestController agent(&job);
    EXPECT_TRUE(agent.Initialize(&job.jobMgr, &job.appMgr));
    agent.OnAgentStarted();
    auto sent = agent.Sent(VMAgentStartup::TAG);
    EXPECT_EQ(1u, sent.size());
    return sent.empty() ? CNMessagePtr() : sent[0];
  };
  CNMessagePtr first = start();
  ASSERT_TRUE(first);
  EXPECT_EQ(proxy.guid, first->getstring(VMAgentStartup::F_proxyGuid));
  EXPECT_EQ("esx1", first->getstring(VMAgentStartup::F_hypervisorHost));
  EXPECT_EQ(4, first->getint64(VMAgentStartup::F_streamLimit));
  EXPECT_EQ(2, first->getint64(VMAgentStartup::F_streamLimitSource));
  EXPECT_EQ((std::vector<std::string>{"ds1", "ds2"}), first->getliststring(VMAgentStartup::F_sanDatastores, false));

  // Within 15 minutes the cache answers, though the hypervisor would now fail its stream limit.
  ASSERT_TRUE(job.Lab().Fault("vminfo.GetStreamLimit", 3001, "down", 0, lab::kFaultAlways));
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(15 * 60 - 2));
  CNMessagePtr cached = start();
  ASSERT_TRUE(cached);
  EXPECT_EQ(4, cached->getint64(VMAgentStartup::F_streamLimit));
  EXPECT_EQ(1u, job.LogCount("Using Local Agent Properties from cache file ["));

  // After 15 minutes the hypervisor is asked again (and now says no limit).
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(3));
  CNMessagePtr fresh = start();
  ASSERT_TRUE(fresh);
  EXPECT_EQ(0, fresh->getint64(VMAgentStartup::F_streamLimit));
  EXPECT_EQ(1u, job.LogCount("Using Local Agent Properties from cache file ["));
}

}  // namespace
