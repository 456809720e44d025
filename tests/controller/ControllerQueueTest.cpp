// The local VM queue: hand-outs, requests to the coordinator, completed VMs; from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "support/ControllerTestSupport.h"

namespace {

using namespace VirtualServer;
using ctltest::Collect;
using ctltest::CollectList;
using ctltest::LabJob;
using ctltest::TestController;

struct HandOut {
  bool ok = false;
  std::string guid;
  int index = -1;
};

class ControllerQueueTest : public ::testing::Test {
 protected:
  std::future<HandOut> AskAsync() {
    return std::async(std::launch::async, [this] {
      HandOut out;
      vm_params* vm = nullptr;
      out.ok = controller.GetNextVM(0, vm, out.index);
      if (vm != nullptr) out.guid = vm->vmGuid;
      return out;
    });
  }
  HandOut Ask() { return AskAsync().get(); }

  // Workers that take VMs until the controller has none, each noting every VM it took.
  void StartWorkers(int count) {
    for (int w = 0; w < count; ++w) {
      workers.emplace_back([this, w] {
        vm_params* vm = nullptr;
        int index = 0;
        while (controller.GetNextVM(w, vm, index)) {
          {
            std::lock_guard<std::mutex> lock(takenMutex);
            taken.insert(vm->vmGuid);
          }
          {
            // As the worker thread completes a VM: the message thread reads the phase meanwhile.
            ZtCriticalSectionLock lock(&controller.GetVMLock());
            vm->vmPhase = PHASE_DONE;
            vm->statusCode = 1;
          }
          int result = 0;
          controller.CompleteVM(vm, result);
        }
        ++finished;
      });
    }
  }
  void JoinWorkers() {
    for (std::thread& worker : workers) worker.join();
  }

  LabJob job;
  TestController controller{&job};
  std::mutex takenMutex;
  std::multiset<std::string> taken;  // read once the workers are joined
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
};

TEST_F(ControllerQueueTest, EmptyQueueAsksTheCoordinatorAndTheAnswerWakesTheWorker) {
  auto first = AskAsync();
  ASSERT_TRUE(controller.WaitForSent(VMBackupGetNextVM::TAG, 1));
  auto request = controller.Sent(VMBackupGetNextVM::TAG)[0];
  EXPECT_NE(nullptr, request->getObjectAccessor(VMBackupGetNextVM::F_currentStatus, false, VMAgentStatus::GROUP,
                                                 VMAgentStatus::TYPE))
      << "the request carries the agent's status";
  controller.Deliver(CollectList({Collect("vm1", "G1"), Collect("vm2", "G2")}));
  HandOut out = first.get();
  EXPECT_TRUE(out.ok);
  EXPECT_EQ("G1", out.guid);
  EXPECT_EQ(0, out.index);
  EXPECT_EQ(PHASE_STARTED, controller.Record("G1").vmPhase);

  HandOut second = Ask();
  EXPECT_EQ("G2", second.guid);
  EXPECT_EQ(1, second.index);
  EXPECT_EQ(1u, controller.Sent(VMBackupGetNextVM::TAG).size()) << "a queued VM needs no request";
}

TEST_F(ControllerQueueTest, EmptyAnswerEndsTheWorkerThatAsked) {
  auto waiting = AskAsync();
  ASSERT_TRUE(controller.WaitForSent(VMBackupGetNextVM::TAG, 1));
  controller.Deliver(CollectList({}));
  EXPECT_FALSE(waiting.get().ok);
  EXPECT_EQ(1u, job.LogCount("VM Queue is empty"));
}

TEST_F(ControllerQueueTest, StopRequestIsHandledWhileAWorkerWaitsForTheCoordinator) {
  controller.Deliver(CollectList({Collect("vm1", "G1", 501)}));
  ASSERT_EQ("G1", Ask().guid);
  auto waiting = AskAsync();
  ASSERT_TRUE(controller.WaitForSent(VMBackupGetNextVM::TAG, 1));
  // The message thread must not wait behind the worker that waits for the message thread.
  VMBackupStopVM stop;
  stop.setstring(VMBackupStopVM::F_vmGuid, "G1");
  stop.setint64(VMBackupStopVM::F_vmJobId, 501);
  auto handled = std::async(std::launch::async, [&] { controller.Deliver(stop); });
  ASSERT_EQ(std::future_status::ready, handled.wait_for(std::chrono::minutes(1)));
  EXPECT_TRUE(controller.CheckQuitFlagForVM(501, "G1"));
  controller.Deliver(CollectList({}));
  EXPECT_FALSE(waiting.get().ok);
}

TEST_F(ControllerQueueTest, WorkersWaitingTogetherKeepOneRequestOutstanding) {
  auto a = AskAsync();
  ASSERT_TRUE(controller.WaitForSent(VMBackupGetNextVM::TAG, 1));
  auto b = AskAsync();
  controller.Deliver(CollectList({Collect("vm1", "G1")}));
  // One worker takes the VM; the other asks again, alone, and ends on the empty answer.
  ASSERT_TRUE(controller.WaitForSent(VMBackupGetNextVM::TAG, 2));
  controller.Deliver(CollectList({}));
  HandOut first = a.get(), second = b.get();
  EXPECT_NE(first.ok, second.ok);
  EXPECT_EQ("G1", first.ok ? first.guid : second.guid);
  EXPECT_EQ(2u, controller.Sent(VMBackupGetNextVM::TAG).size());
}

TEST_F(ControllerQueueTest, NoHandOutAfterAFatalVMErrorOrDuringAStreamError) {
  controller.Deliver(CollectList({Collect("vm1", "G1"), Collect("vm2", "G2")}));
  controller.SetStreamError();
  EXPECT_FALSE(Ask().ok);
  TestController other(&job);
  other.Deliver(CollectList({Collect("vm1", "G1"), Collect("vm2", "G2")}));
  vm_params* vm = nullptr;
  int index = 0;
  ASSERT_TRUE(other.GetNextVM(0, vm, index));
  vm->fatalError = true;
  vm->vmPhase = PHASE_PENDING;
  int result = 0;
  EXPECT_TRUE(other.CompleteVM(vm, result));
  EXPECT_TRUE(other.HasFatalVMError());
  EXPECT_FALSE(other.GetNextVM(0, vm, index));
  EXPECT_EQ(1u, job.LogCount("Detected a fatal error processing VM [vm1]"));
}

TEST_F(ControllerQueueTest, CompletedVMIsReportedWithItsRecord) {
  controller.Deliver(CollectList({Collect("vm1", "G1")}));
  vm_params* vm = nullptr;
  int index = 0, result = 0;
  ASSERT_TRUE(controller.GetNextVM(0, vm, index));
  vm->vmPhase = PHASE_FAILED;
  vm->statusCode = 2;
  vm->failureReason = "disk unreadable";
  vm->messages = {"vm1 Failed disk unreadable"};
  vm->contentRecords.resize(1);
  EXPECT_TRUE(controller.CompleteVM(vm, result));
  EXPECT_EQ(nullptr, vm);
  EXPECT_EQ(-1, result);
  auto sent = controller.Sent(VMBackupResult::TAG);
  ASSERT_EQ(1u, sent.size());
  CNMessageBase& report = *sent[0];
  EXPECT_EQ("esx1", report.getstring(VMBackupResult::F_vmHost));
  EXPECT_EQ(PHASE_FAILED, report.getint64(VMBackupResult::F_vmPhase));
  EXPECT_EQ(2, report.getint64(VMBackupResult::F_statusCode));
  EXPECT_EQ("disk unreadable", report.getstring(VMBackupResult::F_failureReason));
  EXPECT_EQ(1u, report.getliststring(VMBackupResult::F_messages, false).size());
  EXPECT_EQ(1u, report.getlistobject(VMBackupResult::F_contentRecords, false).size());
}

TEST_F(ControllerQueueTest, IncompleteOrUnsendableVMsAreNotReportedAndOnlyANullRecordFails) {
  controller.Deliver(CollectList({Collect("vm1", "G1"), Collect("vm2", "G2")}));
  vm_params* vm = nullptr;
  int index = 0, result = 0;
  ASSERT_TRUE(controller.GetNextVM(0, vm, index));
  // Handed back unfinished (a job-wide stop): not reported, yet no failure of the hand-back that would
  // end the worker's loop.
  EXPECT_TRUE(controller.CompleteVM(vm, result)) << "still STARTED";
  EXPECT_EQ(nullptr, vm);
  EXPECT_EQ(1u, job.LogCount("Incomplete vm phase [1-STARTED] returned by worker"));

  // Metadata files that cannot reach the index make the VM pending and stop the hand-outs.
  ASSERT_TRUE(controller.GetNextVM(0, vm, index));
  vm->vmPhase = PHASE_DONE;
  vm->statusCode = 1;
  vm->metadataFiles = {job.Lab().Path("nothing.dat")};
  vm_params* held = vm;
  EXPECT_TRUE(controller.CompleteVM(vm, result));
  EXPECT_EQ(PHASE_PENDING, held->vmPhase);
  EXPECT_TRUE(controller.HasFatalVMError());

  vm_params* none = nullptr;
  EXPECT_FALSE(controller.CompleteVM(none, result));
  EXPECT_EQ(3, controller.GetCompletedVMs()) << "a null record counts too";
  EXPECT_TRUE(controller.Sent(VMBackupResult::TAG).empty());
}

TEST_F(ControllerQueueTest, ManyWorkersTakeEveryVMExactlyOnce) {
  constexpr int kVMs = 200;
  constexpr int kWorkers = 8;
  std::vector<VMCollect> vms;
  for (int i = 0; i < kVMs; ++i) vms.push_back(Collect("vm" + std::to_string(i), "G" + std::to_string(i)));
  controller.Deliver(CollectList(vms));
  StartWorkers(kWorkers);
  // Once the queue is dry the workers ask the coordinator, one request at a time; each gets an
  // empty answer.
  size_t answered = 0;
  while (finished.load() < kWorkers) {
    if (controller.Sent(VMBackupGetNextVM::TAG).size() > answered) {
      controller.Deliver(CollectList({}));
      ++answered;
    } else {
      std::this_thread::yield();
    }
  }
  JoinWorkers();
  EXPECT_EQ(static_cast<size_t>(kVMs), taken.size());
  EXPECT_EQ(static_cast<size_t>(kVMs), std::set<std::string>(taken.begin(), taken.end()).size());
  EXPECT_EQ(kVMs, controller.GetCompletedVMs());
}

// Eight workers wait on an empty queue while the coordinator's answers arrive a few VMs at a time:
// each answer wakes several waiting workers at once, and every VM is still handed out exactly once.
TEST_F(ControllerQueueTest, WaitingWorkersShareTheAnswersThatArriveWhileTheyWait) {
  constexpr int kWorkers = 8;
  constexpr int kAnswers = 25;
  constexpr int kVMsPerAnswer = 3;
  StartWorkers(kWorkers);
  // Each request is answered with the next few VMs, then with an empty list once they are all out;
  // an answer may also come before anyone asks.
  int answers = 0;
  size_t answered = 0;
  while (finished.load() < kWorkers) {
    const size_t requests = controller.Sent(VMBackupGetNextVM::TAG).size();
    if (requests <= answered && answers % 4 != 1) {
      std::this_thread::yield();
      continue;
    }
    answered = std::max(answered, requests);
    std::vector<VMCollect> vms;
    for (int v = 0; answers < kAnswers && v < kVMsPerAnswer; ++v) {
      const std::string n = std::to_string(answers * kVMsPerAnswer + v);
      vms.push_back(Collect("vm" + n, "G" + n));
    }
    controller.Deliver(CollectList(vms));
    ++answers;
  }
  JoinWorkers();
  EXPECT_EQ(static_cast<size_t>(kAnswers * kVMsPerAnswer), taken.size());
  EXPECT_EQ(taken.size(), std::set<std::string>(taken.begin(), taken.end()).size()) << "no VM twice";
  EXPECT_EQ(kAnswers * kVMsPerAnswer, controller.GetCompletedVMs());
}

// The message thread queues VMs one at a time and stops every third while eight workers take VMs
// off the same queue: each VM is either backed up by one worker or stopped in the queue, and is
// reported once. Under ThreadSanitizer this is also what shows a hand-out that does not take the
// queue's locks: the pushes and the pops of the queue then race.
TEST_F(ControllerQueueTest, WorkersTakeVMsWhileTheMessageThreadQueuesAndStopsThem) {
  constexpr int kWorkers = 8;
  constexpr int kVMs = 2000;
  constexpr int kPerList = 1;
  StartWorkers(kWorkers);
  auto guid = [](int n) { return "G" + std::to_string(n); };
  std::set<std::string> stopAsked;
  for (int n = 0; n < kVMs; n += kPerList) {
    std::vector<VMCollect> list;
    for (int v = n; v < n + kPerList; ++v) list.push_back(Collect("vm" + std::to_string(v), guid(v), 1000 + v));
    controller.Deliver(CollectList(list));
    if (n % 3 == 0) {
      // Stops the first VM of the list: still queued, or already in a worker.
      VMBackupStopVM stop;
      stop.setstring(VMBackupStopVM::F_vmGuid, guid(n));
      stop.setint64(VMBackupStopVM::F_vmJobId, 1000 + n);
      controller.Deliver(stop);
      stopAsked.insert(guid(n));
    }
  }
  // Every VM is out: each further request for VMs is answered with an empty list.
  size_t answered = 0;
  while (finished.load() < kWorkers) {
    const size_t requests = controller.Sent(VMBackupGetNextVM::TAG).size();
    if (requests > answered) {
      controller.Deliver(CollectList({}));
      answered = requests;
    } else {
      std::this_thread::yield();
    }
  }
  JoinWorkers();

  EXPECT_EQ(taken.size(), std::set<std::string>(taken.begin(), taken.end()).size()) << "no VM twice";
  std::map<std::string, std::vector<int64_t>> reported;  // phases reported per VM
  for (const auto& m : controller.Sent(VMBackupResult::TAG))
    reported[m->getstring(VMBackupResult::F_vmGuid)].push_back(m->getint64(VMBackupResult::F_vmPhase));
  int stopped = 0;
  for (int n = 0; n < kVMs; ++n) {
    SCOPED_TRACE(guid(n));
    const bool tookIt = taken.count(guid(n)) == 1;
    ASSERT_EQ(1u, reported[guid(n)].size()) << "reported once";
    EXPECT_EQ(tookIt ? PHASE_DONE : PHASE_STOPPED, reported[guid(n)][0]);
    if (!tookIt) {
      ++stopped;
      EXPECT_EQ(1u, stopAsked.count(guid(n))) << "only a VM asked to stop is stopped";
    }
  }
  EXPECT_EQ(kVMs, static_cast<int>(taken.size()) + stopped);
  EXPECT_EQ(kVMs, controller.GetCompletedVMs());
}

}  // namespace
