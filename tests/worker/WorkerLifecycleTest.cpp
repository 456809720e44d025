// The worker's set-up, its thread loop, its stop and its quit checks.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "platform/lab/LabCreate.h"
#include "platform/lab/LabReservations.h"
#include "platform/os/CPxDirectory.h"
#include "support/ControllerTestSupport.h"

namespace {

using namespace VirtualServer;
using ctltest::Collect;
using ctltest::CollectList;
using ctltest::LabJob;
using ctltest::TestController;
using ctltest::TestWorker;

// A worker that holds streams lent by its controller.
class StreamHolder : public QuarnWorker {
 public:
  using QuarnWorker::QuarnWorker;
  void Hold(vsArchive* current, std::vector<vsArchive*> extra) {
    m_currentStream = current;
    ZtCriticalSectionLock lock(&m_streamLock);
    m_extraStreams = std::move(extra);
  }
};

vsArchive* FakeStream(uintptr_t n) { return reinterpret_cast<vsArchive*>(n * 64); }

class WorkerLifecycleTest : public ::testing::Test {
 protected:
  // Runs one worker of the controller until its loop ends, answering its requests with nothing. With
  // a grant of a real reservation, its stream is opened for the worker.
  TestWorker& RunWorker(const VMBackupStream* reserved = nullptr) {
    controller.Deliver(reserved != nullptr ? *reserved : Grant());
    if (reserved != nullptr) {
      EXPECT_TRUE(controller.MonitorStreams());
    }
    controller.MonitorWorkers();  // false when the worker has already ended for want of VMs
    TestWorker& worker = *static_cast<TestWorker*>(controller.Workers().at(0));
    size_t answered = 0;
    while (worker.IsRunning()) {
      if (controller.Sent(VMBackupGetNextVM::TAG).size() > answered) {
        controller.Deliver(CollectList({}));
        ++answered;
      } else {
        std::this_thread::yield();
      }
    }
    worker.Stop();
    return worker;
  }
  static VMBackupStream Grant() { return ctltest::Grant(1, 1); }

  LabJob job;
  TestController controller{&job};
};

TEST_F(WorkerLifecycleTest, InitializeNeedsManagersAndABackupTypeItCanLayOut) {
  struct Case {
    const char* type;
    bool ok;
    const char* line;
  } cases[] = {{"disk", true, nullptr},
               {"volume", true, nullptr},
               {"file", false, "File level backup is not supported"},
               {"guest", false, "Unknown backup type.. Cannot Initialize backup object"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    job.SetSubclient("backupType", c.type);
    QuarnWorker worker(&controller, 0);
    EXPECT_EQ(c.ok, worker.Initialize(&job.jobMgr, &job.appMgr));
    if (c.line != nullptr) {
      EXPECT_EQ(1u, job.LogCount(c.line));
    }
  }
  QuarnWorker worker(&controller, 0);
  EXPECT_FALSE(worker.Initialize(nullptr, &job.appMgr));
  EXPECT_EQ(1u, job.LogCount("Invalid Parameter"));
}

TEST_F(WorkerLifecycleTest, WorkerWithoutItsSnapshotFolderIsNotStarted) {
  job.jobMgr.setSnapBackup(true);
  const std::string subclientDir = lab::ClientJobResultsDir("coordinator") + "/1";
  ASSERT_TRUE(lab::MakeDirs(subclientDir));
  // The lab's discovery left the job's collect file in the snapshot folder: a file takes its place.
  CPxDirectory::Remove(subclientDir + "/SNAP", true);
  std::ofstream(subclientDir + "/SNAP") << "a file in the way";
  QuarnWorker worker(&controller, 0);
  EXPECT_FALSE(worker.Initialize(&job.jobMgr, &job.appMgr));
  EXPECT_EQ(1u, job.LogCount("CreateDirectory failed for ["));
}

TEST_F(WorkerLifecycleTest, WorkerWithNoVMEndsAtOnce) {
  controller.SetFatalVMError();
  TestWorker& worker = RunWorker();
  EXPECT_EQ(1, worker.lastAllSucceeded.load());
  EXPECT_EQ(1u, job.LogCount("Worker [0] started"));
  EXPECT_EQ(1u, job.LogCount("Worker [0] exiting"));
  EXPECT_EQ(WORKER_STOPPED, worker.getWorkerState());
}

TEST_F(WorkerLifecycleTest, FailedVMDoesNotStopTheWorker) {
  controller.road = [](TestWorker& w) { return w.VM()->vmName == "vm2" ? 95 : 0; };
  controller.Deliver(CollectList({Collect("vm1", "G1"), Collect("vm2", "G2"), Collect("vm3", "G3")}));
  TestWorker& worker = RunWorker();
  EXPECT_EQ(0, worker.lastAllSucceeded.load());
  auto results = controller.Sent(VMBackupResult::TAG);
  ASSERT_EQ(3u, results.size());
  EXPECT_EQ(PHASE_FAILED, results[1]->getint64(VMBackupResult::F_vmPhase));
  EXPECT_EQ(PHASE_DONE, results[2]->getint64(VMBackupResult::F_vmPhase));

  // A restart joins the ended thread and runs the loop again.
  controller.Deliver(CollectList({Collect("vm4", "G4")}));
  ASSERT_TRUE(worker.Start());
  while (worker.IsRunning()) {
    if (controller.Sent(VMBackupGetNextVM::TAG).size() > 1) {
      controller.Deliver(CollectList({}));
      break;
    }
    std::this_thread::yield();
  }
  worker.Stop();
  EXPECT_EQ(4u, controller.Sent(VMBackupResult::TAG).size());
  EXPECT_EQ(2u, job.LogCount("Worker [0] exiting"));
}

TEST_F(WorkerLifecycleTest, QuitRightAfterAHandOutLeavesTheVMUnprocessed) {
  bool processed = false;
  controller.road = [&processed](TestWorker&) {
    processed = true;
    return 0;
  };
  controller.Deliver(CollectList({Collect("vm1", "G1")}));
  lab::RequestJobQuit(ctltest::kJobId);
  TestWorker& worker = RunWorker();
  EXPECT_FALSE(processed);
  EXPECT_EQ(0, worker.lastAllSucceeded.load());
  EXPECT_EQ(1u, job.LogCount("Worker [0] detected quit flag"));
  EXPECT_EQ(PHASE_NOT_STARTED, controller.Record("G1").vmPhase) << "no longer claimed by a worker";
  EXPECT_TRUE(controller.Sent(VMBackupResult::TAG).empty());
}

TEST_F(WorkerLifecycleTest, ShippedWorkerFailsEachVMWithAReason) {
  // A VM of the lab's hypervisor: the worker connects, and fails the VM at the mount the lab refuses.
  ASSERT_TRUE(job.Lab().Fault("vminfo.MountVM", 3001, "The VM was not backed up: the lab refused its mount"));
  VMCollect vm = Collect("vm01", "50290000-0000-4000-8000-000000000001", 1001001);
  vm.setstring(VMCollect::F_serverName, lab::SampleServer());
  vm.setint64(VMCollect::F_subclientId, 1);
  controller.Deliver(CollectList({vm}));
  // A failed mount still takes a stream: the job's one stream is open for it.
  std::string error;
  ASSERT_TRUE(lab::ReserveJobStreams(ctltest::kJobId, 1, 1, error)) << error;
  lab::ReservationLedger ledger;
  ASSERT_TRUE(lab::ReadReservationLedger(ctltest::kJobId, ledger, error)) << error;
  ASSERT_EQ(1u, ledger.reservations.size());
  const lab::Reservation& reserved = ledger.reservations[0];
  VMBackupStream grant = ctltest::Grant(1, static_cast<int>(reserved.streamId));
  grant.setint64(VMBackupStream::F_rcid, reserved.rcid);
  grant.setint64(VMBackupStream::F_reservationId, reserved.reservationId);
  grant.setint64(VMBackupStream::F_clientId, reserved.mediaAgentId);
  controller.poolStreams = true;
  RunWorker(&grant);
  EXPECT_EQ(std::vector<std::string>{"0"}, controller.relinquished) << "the stream went back";
  auto results = controller.Sent(VMBackupResult::TAG);
  ASSERT_EQ(1u, results.size());
  EXPECT_EQ(PHASE_FAILED, results[0]->getint64(VMBackupResult::F_vmPhase));
  EXPECT_EQ(2, results[0]->getint64(VMBackupResult::F_statusCode));
  EXPECT_NE(std::string::npos, results[0]->getstring(VMBackupResult::F_failureReason).find("was not backed up"));
}

TEST_F(WorkerLifecycleTest, StopOfAStoppedWorkerNeedsNoJoinAndTerminateGivesBackEveryStream) {
  StreamHolder worker(&controller, 3);
  EXPECT_TRUE(worker.Stop());
  worker.Hold(FakeStream(1), {FakeStream(2), FakeStream(3)});
  EXPECT_TRUE(worker.Terminate());
  EXPECT_EQ(WORKER_TERMINATED, worker.getWorkerState());
  EXPECT_EQ((std::vector<std::string>{"3", "3", "3"}), controller.relinquished);
  EXPECT_EQ(1u, job.LogCount("Releasing any streams held by worker [3]"));
  EXPECT_TRUE(worker.Terminate());
  EXPECT_EQ(3u, controller.relinquished.size()) << "nothing is given back twice";
}

TEST_F(WorkerLifecycleTest, QuitCheckSeesTheControllersStopOfTheCurrentVM) {
  QuarnWorker worker(&controller, 0);
  ASSERT_TRUE(worker.Initialize(&job.jobMgr, &job.appMgr));
  vm_params vm;
  vm.vmGuid = "G1";
  vm.collect = Collect("vm1", "G1", 501);
  worker.TEST_SetCurrentVM(&vm);
  EXPECT_FALSE(worker.CheckQuitFlag(nullptr));
  quarnBackupArgs args;
  args.mStopFlag = true;
  EXPECT_TRUE(worker.CheckQuitFlag(&args)) << "a sibling disk failed";

  controller.Deliver(CollectList({Collect("vm1", "G1", 501)}));
  controller.SetPhase("G1", PHASE_STARTED);
  VMBackupStopVM stop;
  stop.setstring(VMBackupStopVM::F_vmGuid, "G1");
  stop.setint64(VMBackupStopVM::F_vmJobId, 501);
  controller.Deliver(stop);
  EXPECT_TRUE(worker.CheckQuitFlag(nullptr));
  worker.TEST_SetCurrentVM(nullptr);
  EXPECT_FALSE(worker.CheckQuitFlag(nullptr)) << "the worker's own flag stays clear";
}

}  // namespace
