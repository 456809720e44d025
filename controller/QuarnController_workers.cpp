// The worker pool: creation, restarts and the stop at the end.
#include <new>

#include "controller/QuarnController.h"
#include "platform/os/ZtTime.h"
#include "worker/QuarnWorker.h"

namespace {

constexpr int kMinStopWorkerTimeoutMinutes = 5;
constexpr unsigned long kStopPollMs = 1000;

}  // namespace

QuarnWorker* QuarnController::CreateWorker(QuarnController* controller, int index) {
  return new (std::nothrow) QuarnWorker(controller, index);
}

bool QuarnController::StartWorker() {
  static const char* const sig = "bool QuarnController::StartWorker()";
  QuarnWorker* worker = CreateWorker(this, static_cast<int>(m_workers.size()));
  if (worker == nullptr) {
    m_event.Error(sig, "Failed to create a worker");
    return false;
  }
  if (!worker->Initialize(m_jobMgr, m_appMgr)) {
    m_event.Error(sig, "Failed to initialize a worker");
    delete worker;
    return false;
  }
  if (!worker->Start()) {
    m_event.Error(sig, "Failed to start a worker");
    delete worker;
    return false;
  }
  m_workers.push_back(worker);
  m_workerCount = m_workers.size();
  return true;
}

bool QuarnController::MonitorWorkers() {
  static const char* const sig = "virtual bool QuarnController::MonitorWorkers()";
  const int target = m_plannedWorkers.load();
  m_currentWorkers = target;
  if (target == 0) return true;

  // One attempt per missing worker and pass: a worker that cannot be started now is tried again in
  // the next pass, never in a loop within this one.
  bool startFailed = false;
  while (static_cast<int>(m_workers.size()) < target) {
    if (!StartWorker()) {
      startFailed = true;
      break;
    }
  }

  if (m_restartWorkers.exchange(false)) {
    int running = 0;
    for (QuarnWorker* worker : m_workers) running += worker->IsRunning() ? 1 : 0;
    if (running < target) {
      m_event.Debug(sig, "Restarting [%d] workers to reach the the max worker count [%d]", target - running, target);
      for (QuarnWorker* worker : m_workers) {
        if (running >= target) break;
        if (worker->IsRunning()) continue;
        m_event.Debug(sig, "Restarting worker [%d]", worker->getWorkerId());
        if (worker->Start()) ++running;
      }
    }
  }

  int running = 0;
  for (QuarnWorker* worker : m_workers) running += worker->IsRunning() ? 1 : 0;
  if (running > 0) {
    if (running > target)
      m_event.Debug(sig, "the number of running workers [%d] exceeds the max worker count [%d]", running, target);
  } else if (m_runningWorkers > 0) {
    m_event.Debug(sig, "All workers have exited");
  }
  m_runningWorkers = running;

  if (running == 0) {
    if (m_streamError.load()) {
      m_event.Error(sig, "Terminating due to a stream error");
      return false;
    }
    if (m_fatalVMError.load()) {
      m_event.Error(sig, "Terminating due to a fatal VM error");
      return false;
    }
    if (startFailed) {
      // Without a single worker the queued VMs would wait for ever while the job looks busy.
      m_event.Error(sig, "Terminating because no worker could be started");
      return false;
    }
  }
  return true;
}

void QuarnController::NotifyWorkerExited() {
  m_workerExitEvent.set();
  // The streams an ended worker no longer needs go back to the coordinator on this pass, not the
  // next periodic one.
  m_wakeEvent.set();
}

void QuarnController::ReapAbandonedWorkers(bool wait) {
  std::vector<QuarnWorker*> alive;
  for (QuarnWorker* worker : m_abandonedWorkers) {
    if (wait) worker->Stop();
    if (worker->IsThreadAlive())
      alive.push_back(worker);
    else
      delete worker;
  }
  m_abandonedWorkers.swap(alive);
}

void QuarnController::StopAllWorkers() {
  static const char* const sig = "void QuarnController::StopAllWorkers()";
  ReapAbandonedWorkers(false);
  if (m_workers.empty()) return;
  for (QuarnWorker* worker : m_workers) worker->SetQuitFlag();
  // Workers waiting for VMs see the controller's quit flag at their next wake.
  m_vmQueueEvent.set();

  int minutes = kMinStopWorkerTimeoutMinutes;
  m_registry.GetEntry(REG_nStopWorkerTimeoutMinutes, minutes, kMinStopWorkerTimeoutMinutes);
  if (minutes < kMinStopWorkerTimeoutMinutes) minutes = kMinStopWorkerTimeoutMinutes;
  if (minutes != kMinStopWorkerTimeoutMinutes)
    m_event.Debug(sig, "Timeout to stop all workers : [%d] minutes.", minutes);

  const long long deadline = ZtClock::DeadlineAfter(CTimeInterval::FromSeconds(60LL * minutes));
  for (;;) {
    bool anyRunning = false;
    for (QuarnWorker* worker : m_workers) anyRunning = anyRunning || worker->IsRunning();
    if (!anyRunning) {
      m_event.Debug(sig, "All workers have stopped");
      break;
    }
    if (ZtClock::MonotonicTicks() >= deadline) break;
    m_workerExitEvent.wait(kStopPollMs);
  }

  for (QuarnWorker* worker : m_workers) {
    if (worker->IsRunning()) {
      m_event.Error(sig, "Worker [%d] is still running. Terminating the worker", worker->getWorkerId());
      if (worker->Terminate())
        m_event.Debug(sig, "Worker [%d] is terminated", worker->getWorkerId());
      else
        m_event.Error(sig, "Failed to terminate worker [%d]", worker->getWorkerId());
    } else {
      worker->Stop();  // its loop has ended; this joins the thread's last steps
    }
    if (worker->IsThreadAlive()) {
      // Its thread may still be inside the worker's state and the controller's services.
      m_event.Error(sig, "Worker [%d] did not end; it is left running and not freed", worker->getWorkerId());
      m_abandonedWorkers.push_back(worker);
    } else {
      delete worker;
    }
  }
  m_event.Debug(sig, "Finished stopping all workers");
  m_workers.clear();
  m_workerCount = 0;
}
