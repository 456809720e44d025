// The agent's stream queue: grants opened as data streams on the job's reservations, lent to
// workers and given back, surplus and failed streams closed and returned, and the open-stream count
// in the per-host process table.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "platform/archive/vsArchive.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabReservations.h"
#include "support/ControllerTestSupport.h"

namespace {

using namespace VirtualServer;
using ctltest::Collect;
using ctltest::CollectList;
using ctltest::kJobId;
using ctltest::LabJob;
using ctltest::TestController;
using ctltest::TestWorker;

// A worker whose VM's further disk waits for a stream of its own the way the shipped worker's disk
// does; the archive file on that stream is not what these tests look at.
class DiskWorker : public TestWorker {
 public:
  using TestWorker::TestWorker;
  bool CreateArchiveFile(quarnBackupArgs&, vsArchive*) override { return true; }
  int AcquireDiskStream(vsArchive*& stream) {
    quarnBackupArgs args;
    return AcquireObjectStream(args, stream);
  }
  void GiveBackDiskStreams() { ReleaseHeldStreams(); }
};

// The test controller with the real give-back of streams and a few handles on its state.
class StreamController : public TestController {
 public:
  using TestController::TestController;
  QuarnWorker* CreateWorker(QuarnController*, int index) override { return new DiskWorker(this, index); }
  bool RelinquishStream(int workerIndex, vsArchive*& stream) override {
    return QuarnController::RelinquishStream(workerIndex, stream);
  }
  bool InitProcessTable() { return m_ipc.Initialize(); }
  void MarkStarted() { m_agentStarted = true; }
  bool Woken() { return m_wakeEvent.wait(0) != 0; }
  void WakePass() { m_wakeEvent.set(); }
  void Plan(int workers) { m_plannedWorkers = workers; }
  int RunningWorkers() const { return m_runningWorkers.load(); }
};

// What the coordinator was told of a VM: "<phase>|<reason>".
std::string ResultOf(StreamController& controller, const std::string& vmName) {
  for (const auto& m : controller.Sent(VMBackupResult::TAG))
    if (m->getstring(VMBackupResult::F_vmName) == vmName)
      return std::string(GetVMPhaseString(static_cast<phase>(m->getint64(VMBackupResult::F_vmPhase)))) + "|" +
             m->getstring(VMBackupResult::F_failureReason);
  return "not reported";
}

class StreamQueueTest : public ::testing::Test {
 protected:
  StreamQueueTest() {
    std::string error;
    EXPECT_TRUE(lab::ReserveJobStreams(kJobId, 4, 1, error)) << error;
  }
  lab::ReservationLedger Ledger() {
    lab::ReservationLedger ledger;
    std::string error;
    EXPECT_TRUE(lab::ReadReservationLedger(kJobId, ledger, error)) << error;
    return ledger;
  }
  // The grant of the job's reservation with this resource id.
  VMBackupStream GrantOf(int rcid) {
    const lab::ReservationLedger ledger = Ledger();
    const lab::Reservation* r = ledger.Find(rcid);
    VMBackupStream grant;
    grant.setint64(VMBackupStream::F_streamCount, 1);
    grant.setint64(VMBackupStream::F_streamId, r->streamId);
    grant.setint64(VMBackupStream::F_rcid, r->rcid);
    grant.setint64(VMBackupStream::F_reservationId, r->reservationId);
    grant.setint64(VMBackupStream::F_clientId, r->mediaAgentId);
    return grant;
  }
  int Holders() {
    int held = 0;
    for (const lab::Reservation& r : Ledger().reservations) held += r.holder.empty() ? 0 : 1;
    return held;
  }
  // The returns sent so far as "stream/rcid/error".
  std::vector<std::string> Returns(StreamController& controller) {
    std::vector<std::string> returns;
    for (const auto& m : controller.Sent(VMBackupStream::TAG))
      returns.push_back(std::to_string(m->getint64(VMBackupStream::F_streamId)) + "/" +
                        std::to_string(m->getint64(VMBackupStream::F_rcid)) + "/" +
                        std::to_string(m->getint64(VMBackupStream::F_streamFailed)));
    return returns;
  }

  LabJob job;
  StreamController controller{&job};
};

TEST_F(StreamQueueTest, GrantsAreOpenedOnePerPassAndCountedInTheProcessTable) {
  ASSERT_TRUE(controller.InitProcessTable());
  QuarnIPC other;  // another job process of the same host
  ASSERT_TRUE(other.Initialize());
  for (int rcid = 1; rcid <= 3; ++rcid) controller.Deliver(GrantOf(rcid));
  for (int pass = 1; pass <= 3; ++pass) {
    ASSERT_TRUE(controller.MonitorStreams());
    EXPECT_EQ(pass, controller.OpenStreamCount());
    EXPECT_EQ(pass < 3, controller.Woken()) << "the next pass follows at once while grants wait";
    EXPECT_EQ(pass, Holders());
    int processes = 0, streams = 0, vms = 0;
    ASSERT_TRUE(other.Check(processes, streams, vms));
    EXPECT_EQ(pass, streams);
  }
  EXPECT_EQ(1u, job.LogCount("Opening stream # [1] of [3]  Stream Id [1] RCID [1] ReservationId [1] ClientId [1]"));
  EXPECT_EQ(1u, job.LogCount("Opened stream id [3] rcid [3] stream # [3] of [3]"));
  ASSERT_TRUE(controller.MonitorStreams());
  EXPECT_EQ(3, controller.OpenStreamCount()) << "nothing more to open";

  // The other process's streams reach the coordinator once, when they change.
  controller.MarkStarted();
  ASSERT_TRUE(other.UpdateStreams(2));
  ASSERT_TRUE(controller.MonitorProcesses());
  ASSERT_TRUE(controller.MonitorProcesses());
  const auto statuses = controller.Sent(VMAgentStatus::TAG);
  ASSERT_EQ(1u, statuses.size());
  EXPECT_EQ(2, statuses[0]->getint64(VMAgentStatus::F_hostStreams));
  EXPECT_EQ(1u, job.LogCount("Detected that other 1 quarn processes now have 2 streams running"));

  // Closing lowers the count the other process sees; every reservation is given back.
  controller.CloseAndReturnAllStreams();
  int processes = 0, streams = 0, vms = 0;
  ASSERT_TRUE(other.Check(processes, streams, vms));
  EXPECT_EQ(0, streams);
  EXPECT_EQ(0, Holders());
  EXPECT_EQ(std::vector<std::string>({"1/1/0", "2/2/0", "3/3/0"}), Returns(controller));
}

TEST_F(StreamQueueTest, AGrantThatCannotBeOpenedGoesBackWithTheErrorFlag) {
  ASSERT_EQ(0, job.jobMgr.freeStream(2, 2, 2));  // taken back by the job manager before it is opened
  controller.Deliver(GrantOf(1));
  VMBackupStream stale = GrantOf(1);
  stale.setint64(VMBackupStream::F_streamId, 2);
  stale.setint64(VMBackupStream::F_rcid, 2);
  stale.setint64(VMBackupStream::F_reservationId, 2);
  controller.Deliver(stale);
  ASSERT_TRUE(controller.MonitorStreams());
  ASSERT_TRUE(controller.MonitorStreams());
  EXPECT_EQ(1, controller.OpenStreamCount());
  EXPECT_EQ(1, controller.GetStreamsGranted());
  EXPECT_TRUE(controller.HasStreamError());
  EXPECT_EQ(std::vector<std::string>{"2/2/1"}, Returns(controller));
  EXPECT_EQ(1u, job.LogCount("Failed to open stream [2] of [2]"));
}

TEST_F(StreamQueueTest, WorkersBorrowAndGiveBackAndAFailedStreamIsReturnedByTheNextPass) {
  controller.Deliver(GrantOf(1));
  controller.Deliver(GrantOf(2));
  ASSERT_TRUE(controller.MonitorStreams());
  ASSERT_TRUE(controller.MonitorStreams());
  vsArchive* stream = nullptr;
  ASSERT_TRUE(controller.AcquireStream(0, stream, true));
  ASSERT_NE(nullptr, stream);
  EXPECT_EQ(1u, job.LogCount("Worker [0] Acquired stream id [1] rcid [1] "));
  vsArchive* kept = stream;
  while (controller.Woken()) {
  }
  EXPECT_TRUE(controller.RelinquishStream(0, stream));
  EXPECT_EQ(nullptr, stream);
  EXPECT_TRUE(controller.Woken()) << "a stream given back is looked at by the next pass at once";
  EXPECT_FALSE(controller.RelinquishStream(0, kept)) << "given back twice, it would be lent twice";
  vsArchive stray(&job.jobMgr, &job.appMgr, nullptr, "km");
  vsArchive* strayPointer = &stray;
  EXPECT_FALSE(controller.RelinquishStream(0, strayPointer));
  EXPECT_EQ(1u, job.LogCount("Could not find stream id [0] rcid [0] in the stream list"));
  vsArchive* none = nullptr;
  EXPECT_FALSE(controller.RelinquishStream(0, none));

  // A stream whose status is in error goes back to the queue flagged; the next pass returns one
  // stream for it, with the error flag, and no VM is handed out meanwhile.
  ASSERT_TRUE(job.Lab().Fault("archive.checkStatus", 21));
  ASSERT_TRUE(controller.AcquireStream(1, stream, true));
  EXPECT_TRUE(controller.RelinquishStream(1, stream));
  EXPECT_TRUE(controller.HasStreamError());
  EXPECT_EQ(1u, job.LogCount("Relinquishing stream id [2] rcid [2] (Stream Error)"));
  ASSERT_TRUE(controller.MonitorStreams());
  EXPECT_EQ(1, controller.OpenStreamCount());
  EXPECT_EQ(1, controller.GetStreamsGranted());
  const std::vector<std::string> returns = Returns(controller);
  ASSERT_EQ(1u, returns.size());
  EXPECT_EQ("/1", returns[0].substr(returns[0].size() - 2)) << returns[0];
  controller.Deliver(CollectList({Collect("vm1", "G1")}));
  vm_params* vm = nullptr;
  int index = 0;
  EXPECT_FALSE(controller.GetNextVM(0, vm, index));
}

TEST_F(StreamQueueTest, MoreStreamsAskedBackThanHeldReturnsWhatThereIs) {
  for (int rcid = 1; rcid <= 3; ++rcid) controller.Deliver(GrantOf(rcid));
  ASSERT_TRUE(controller.MonitorStreams());
  ASSERT_TRUE(controller.MonitorStreams());  // two opened, the third still a grant
  controller.CloseAndReturnStreams(0);
  EXPECT_EQ(1u, job.LogCount("Invalid # of streams (0)"));
  controller.CloseAndReturnStreams(5);
  EXPECT_EQ(1u, job.LogCount("Closing and returning more streams (5) than are available (3)"));
  EXPECT_EQ(std::vector<std::string>({"3/3/0", "1/1/0", "2/2/0"}), Returns(controller))
      << "the unopened grant first, then the open streams";
  EXPECT_EQ(0, controller.GetStreamsGranted());
  EXPECT_EQ(0, controller.OpenStreamCount());
  EXPECT_EQ(0, Holders());
}

TEST_F(StreamQueueTest, RunningWorkersThatNeedFewerStreamsGiveTheRestBack) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> inRoad{0};
  controller.road = [&](TestWorker& worker) {
    worker.SetStreamsRequired(1);
    ++inRoad;
    released.wait();
    return 0;
  };
  controller.Deliver(CollectList({Collect("vm1", "G1"), Collect("vm2", "G2")}));
  for (int rcid = 1; rcid <= 4; ++rcid) controller.Deliver(GrantOf(rcid));
  for (int pass = 0; pass < 4; ++pass) ASSERT_TRUE(controller.MonitorStreams());
  EXPECT_EQ(4, controller.OpenStreamCount()) << "no surplus before the workers run";
  EXPECT_TRUE(controller.Sent(VMBackupStream::TAG).empty());

  controller.Plan(2);
  ASSERT_TRUE(controller.MonitorWorkers());
  while (inRoad.load() < 2) std::this_thread::yield();
  ASSERT_TRUE(controller.MonitorWorkers());
  ASSERT_TRUE(controller.MonitorStreams());
  EXPECT_EQ(1u, job.LogCount("The 2 running workers only require 2 of the 4 streams available"));
  EXPECT_EQ(2u, controller.Sent(VMBackupStream::TAG).size());
  EXPECT_EQ(2, controller.GetStreamsGranted());
  EXPECT_EQ(2, Holders());
  release.set_value();
  controller.StopControllerThread();
  controller.StopAllWorkers();
}

// A worker between two VMs needs no stream until its next VM comes, and then it needs one at once:
// while another worker uses two of the three streams, the third stays with the agent.
TEST_F(StreamQueueTest, TheStreamOfAWorkerBetweenTwoVMsIsNotSurplus) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> twoDisksHeld{false};
  controller.road = [&](TestWorker& worker) {
    std::vector<vsArchive*> streams;
    const bool twoDisks = worker.VM()->vmName == "vm1";
    worker.SetStreamsRequired(twoDisks ? 2 : 1);
    for (int disk = 0; disk < (twoDisks ? 2 : 1); ++disk) {
      vsArchive* stream = nullptr;
      // Not waiting: a worker left without its stream fails its VM instead of holding up the test.
      if (!controller.AcquireStream(worker.getWorkerId(), stream, false) || stream == nullptr) break;
      streams.push_back(stream);
    }
    const bool complete = streams.size() == (twoDisks ? 2u : 1u);
    if (twoDisks) {
      twoDisksHeld = true;
      released.wait();
    }
    for (vsArchive*& stream : streams) controller.RelinquishStream(worker.getWorkerId(), stream);
    // As the road leaves a VM: its streams are back and it needs none until the next VM.
    worker.SetStreamsRequired(0);
    return complete ? 0 : 27;
  };
  controller.Deliver(CollectList({Collect("vm1", "G1"), Collect("vm2", "G2")}));
  for (int rcid = 1; rcid <= 3; ++rcid) controller.Deliver(GrantOf(rcid));
  for (int pass = 0; pass < 3; ++pass) ASSERT_TRUE(controller.MonitorStreams());
  controller.Plan(2);
  ASSERT_TRUE(controller.MonitorWorkers());
  // One worker backs up vm1 on two streams; the other has done vm2 and waits for its next VM.
  ASSERT_TRUE(controller.WaitForSent(VMBackupGetNextVM::TAG, 1));
  while (!twoDisksHeld.load()) std::this_thread::yield();
  EXPECT_EQ("DONE|", ResultOf(controller, "vm2"));
  ASSERT_TRUE(controller.MonitorWorkers());
  ASSERT_TRUE(controller.MonitorStreams());
  EXPECT_EQ(0u, job.LogCount("running workers only require"));
  EXPECT_TRUE(Returns(controller).empty()) << "the waiting worker's stream went back to the coordinator";
  EXPECT_EQ(3, controller.GetStreamsGranted());
  EXPECT_EQ(3, Holders());

  // Its next VM finds the stream at once.
  controller.Deliver(CollectList({Collect("vm3", "G3")}));
  ASSERT_TRUE(controller.WaitForSent(VMBackupResult::TAG, 2));
  EXPECT_EQ("DONE|", ResultOf(controller, "vm3"));
  release.set_value();
  ASSERT_TRUE(controller.WaitForSent(VMBackupResult::TAG, 3));
  EXPECT_EQ("DONE|", ResultOf(controller, "vm1"));
  controller.StopControllerThread();
  controller.StopAllWorkers();
  controller.CloseAndReturnAllStreams();
  EXPECT_EQ(3u, Returns(controller).size());
  EXPECT_EQ(0, Holders());
}

class StreamQueueTimeTest : public StreamQueueTest {
 protected:
  StreamQueueTimeTest() { ZtClock::UseVirtualTimeForTest(); }
  ~StreamQueueTimeTest() override { ZtClock::UseRealTime(); }
};

TEST_F(StreamQueueTimeTest, AWorkerNotWaitingGetsNoStreamAfterOneSlice) {
  auto acquiring = std::async(std::launch::async, [&] {
    vsArchive* stream = reinterpret_cast<vsArchive*>(1);
    const bool ok = controller.AcquireStream(0, stream, false);
    return ok && stream == nullptr;
  });
  ASSERT_TRUE(ZtClock::WaitForTimedWaitersForTest(1));
  ZtClock::AdvanceForTest(CTimeInterval::FromMilliseconds(4999));
  EXPECT_EQ(std::future_status::timeout, acquiring.wait_for(std::chrono::milliseconds(50)));
  ZtClock::AdvanceForTest(CTimeInterval::FromMilliseconds(1));
  EXPECT_TRUE(acquiring.get());
}

TEST_F(StreamQueueTimeTest, AStreamWhoseCloseTimedOutIsStillClosedAtTheEnd) {
  controller.Deliver(GrantOf(1));
  ASSERT_TRUE(controller.MonitorStreams());
  vsArchive* held = nullptr;
  ASSERT_TRUE(controller.AcquireStream(0, held, true));  // a worker writes to it

  // The closing sequence returns every stream; the one the worker holds cannot be closed in time.
  auto returning = std::async(std::launch::async, [&] { controller.CloseAndReturnAllStreams(); });
  ASSERT_TRUE(ZtClock::WaitForTimedWaitersForTest(1));
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(179));
  EXPECT_EQ(std::future_status::timeout, returning.wait_for(std::chrono::milliseconds(50)));
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(1));
  returning.get();
  EXPECT_LE(1u, job.LogCount("Timeout waiting for the stream queue semaphore"));
  const std::vector<std::string> events = lab::ReadJobEvents(kJobId);
  EXPECT_NE(events.end(),
            std::find(events.begin(), events.end(), "MAJOR 0x48000036 Timeout waiting for the stream queue semaphore"));
  EXPECT_EQ(std::vector<std::string>{"0/0/1"}, Returns(controller)) << "returned without its ids, as failed";
  EXPECT_EQ(0, controller.GetStreamsGranted());
  EXPECT_EQ(1, controller.OpenStreamCount());
  EXPECT_EQ(1, Holders()) << "the worker still has it";

  // The worker gives it back; at the end it is closed although it was returned already.
  ASSERT_TRUE(controller.RelinquishStream(0, held));
  controller.Deinitialize();
  EXPECT_EQ(0, controller.OpenStreamCount());
  EXPECT_EQ(0, Holders());
  EXPECT_EQ(std::vector<std::string>{"0/0/1"}, Returns(controller)) << "closed, not returned a second time";
}

// A worker waits for a stream while the agent's only other grant cannot be opened: its wait ends at
// the end of the slice, its VM goes pending and says why, and the agent ends with every stream given
// back (the failed one flagged), so that the job goes pending instead of waiting for a quit.
TEST_F(StreamQueueTimeTest, AWorkerWaitingForAStreamWhenThePoolFailsEndsItsWaitAndItsVMGoesPending) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::mutex holderMutex;
  std::string holder;  // the VM whose worker got the one stream
  controller.road = [&](TestWorker& worker) {
    vsArchive* stream = nullptr;
    controller.AcquireStream(worker.getWorkerId(), stream, true);
    if (stream == nullptr) return 27;  // what the road makes of a stream that never came
    {
      std::lock_guard<std::mutex> lock(holderMutex);
      holder = worker.VM()->vmName;
    }
    released.wait();
    controller.RelinquishStream(worker.getWorkerId(), stream);
    return 0;
  };
  auto held = [&] {
    std::lock_guard<std::mutex> lock(holderMutex);
    return holder;
  };
  controller.Deliver(CollectList({Collect("vm1", "G1"), Collect("vm2", "G2")}));
  controller.Deliver(GrantOf(1));
  controller.Plan(2);
  ASSERT_TRUE(controller.StartControllerThread());
  // One worker holds the stream; the other waits in its slice (it and the controller thread wait).
  while (held().empty()) std::this_thread::yield();
  ASSERT_TRUE(ZtClock::WaitForTimedWaitersForTest(2));

  // The job manager took the second reservation back before the agent could open it.
  const VMBackupStream lost = GrantOf(2);
  ASSERT_EQ(0, job.jobMgr.freeStream(2, 2, 2));
  controller.Deliver(lost);
  ASSERT_TRUE(controller.WaitForSent(VMBackupStream::TAG, 1));
  EXPECT_EQ(std::vector<std::string>{"2/2/1"}, Returns(controller));
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(5));
  const bool ended = controller.WaitForSent(VMBackupResult::TAG, 1);
  EXPECT_TRUE(ended) << "the wait for a stream went on after the pool failed";
  release.set_value();
  if (!ended) {
    ZtClock::UseRealTime();  // the waiting worker then sees the quit within a real slice
    controller.StopControllerThread();
    return;
  }
  const std::string waiter = held() == "vm1" ? "vm2" : "vm1";
  EXPECT_EQ("PENDING|No media stream was available for the backup of the VM", ResultOf(controller, waiter));
  EXPECT_TRUE(controller.WaitForSent(VMBackupStream::TAG, 2)) << "the agent went on after its workers ended";
  controller.StopControllerThread();
  EXPECT_EQ("DONE|", ResultOf(controller, held()));
  EXPECT_EQ(1u, job.LogCount("Terminating due to a stream error"));
  EXPECT_EQ(0, Holders());
}

// Two workers hold the agent's two streams; one of them has a second disk to back up and waits for
// a stream of its own. The other worker's VM ends, it gives its stream back and, with no VM left,
// ends: the waiting disk takes that stream at once, while the clock stands still.
TEST_F(StreamQueueTimeTest, ADiskWaitingForAStreamIsWokenWhenAnotherWorkerGivesOneBack) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> holding{0};
  std::atomic<bool> secondDisk{false};
  std::atomic<int> diskResult{-1};
  controller.road = [&](TestWorker& worker) {
    DiskWorker& self = static_cast<DiskWorker&>(worker);
    const bool twoDisks = worker.VM()->vmName == "vm1";
    worker.SetStreamsRequired(twoDisks ? 2 : 1);
    vsArchive* stream = nullptr;
    if (!controller.AcquireStream(worker.getWorkerId(), stream, true) || stream == nullptr) return 27;
    ++holding;
    int result = 0;
    if (twoDisks) {
      while (!secondDisk.load()) std::this_thread::yield();
      vsArchive* disk = nullptr;
      result = self.AcquireDiskStream(disk);
      diskResult = result;
      self.GiveBackDiskStreams();
    } else {
      released.wait();
    }
    controller.RelinquishStream(worker.getWorkerId(), stream);
    worker.SetStreamsRequired(0);
    return result;
  };
  controller.Deliver(CollectList({Collect("vm1", "G1"), Collect("vm2", "G2")}));
  controller.Deliver(GrantOf(1));
  controller.Deliver(GrantOf(2));
  ASSERT_TRUE(controller.StartControllerThread());
  while (holding.load() < 2) std::this_thread::yield();
  // A pass that counts both workers running: no stream is spare, so the second disk must wait.
  controller.WakePass();
  while (controller.RunningWorkers() < 2) std::this_thread::yield();
  secondDisk = true;
  ASSERT_TRUE(ZtClock::WaitForTimedWaitersForTest(2));  // the disk and the controller thread

  release.set_value();
  ASSERT_TRUE(controller.WaitForSent(VMBackupGetNextVM::TAG, 1));
  controller.Deliver(CollectList({}));
  const bool woken = controller.WaitForSent(VMBackupResult::TAG, 2);
  // Only a disk left waiting for its retry period needs the clock to move.
  if (!woken) ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(10));
  EXPECT_TRUE(woken) << "the disk waited for its retry period with a stream given back";
  ASSERT_TRUE(controller.WaitForSent(VMBackupResult::TAG, 2));
  EXPECT_EQ(0, diskResult.load());
  EXPECT_EQ("DONE|", ResultOf(controller, "vm1"));
  EXPECT_EQ("DONE|", ResultOf(controller, "vm2"));
  ASSERT_TRUE(controller.WaitForSent(VMBackupGetNextVM::TAG, 2));
  controller.Deliver(CollectList({}));
  ASSERT_TRUE(controller.WaitForSent(VMBackupStream::TAG, 2)) << "an agent with no work left gives its streams back";
  controller.StopControllerThread();
  std::vector<std::string> returns = Returns(controller);
  std::sort(returns.begin(), returns.end());
  EXPECT_EQ(std::vector<std::string>({"1/1/0", "2/2/0"}), returns);
  EXPECT_EQ(0, Holders());
}

}  // namespace
