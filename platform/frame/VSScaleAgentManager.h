#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/os/ThreadAnnotations.h"
#include "platform/os/ZtMutex.h"
#include "platform/os/ZtThread.h"

class vsJobMgr;
class vsAppMgr;

// One location's figures of an auto-scale estimate; all zero when made.
struct VSScaleAgentParams {
  int32_t runningAgents = 0;
  int32_t agentsToCreate = 0;
  int32_t reserved = 0;  // the platform's own
  int32_t vmCount = 0;
  int32_t diskCount = 0;
  double totalSizeGB = 0.0;
};

// One request for agents in a location.
struct CreateAgentsRequest {
  std::string region;
  int32_t type = 0;  // VSScaleAgentManager::kBackupAgentRequest: agents for a backup job
  int32_t count = 0;
};

// The platform's part of auto-scale: asks its subclass how many agents each location needs, runs one
// agent-creation job per agent, watches them and reports each one that succeeds through the callback,
// all on a thread of its own started by CreateNewAgentsAsnyc. In the lab a creation job names a new
// client, takes the subclient's setting "autoScaleCreationSeconds" (default 0) of the platform clock,
// then makes the client and adds it to the instance's member servers (platform/lab/LabAutoScale.h).
// Fault table operation "autoscale.CreateAgent": a creation job that fails at once.
class VSScaleAgentManager {
 public:
  // Called on the base's thread, once per creation job that succeeded.
  using SuccessCallback = void (*)(void* context);
  // Request type of the agents a backup job asks for; the base serves no other.
  static constexpr int32_t kBackupAgentRequest = 2;

  VSScaleAgentManager(vsJobMgr* jobMgr, vsAppMgr* appMgr, SuccessCallback onSuccess, void* context);
  // A subclass's destructor calls Stop first: the thread calls CalculateAgentsRequired.
  virtual ~VSScaleAgentManager();
  VSScaleAgentManager(const VSScaleAgentManager&) = delete;
  VSScaleAgentManager& operator=(const VSScaleAgentManager&) = delete;

  // Starts the thread; a second call does nothing.
  void CreateNewAgentsAsnyc();
  // True once the thread watching the creation jobs was started.
  bool IsJobMonitorValid() const { return monitorValid_.load(); }
  // True from CreateNewAgentsAsnyc until every creation job it ran has ended.
  bool IsAnyAgentBeingCreated() const { return creating_.load(); }
  // The creation jobs started and not yet ended.
  int AgentCreationJobCount() const { return runningCreations_.load(); }
  // Ends the thread's waits; no further creation job starts.
  virtual void SetQuitFlag();
  bool CheckQuitFlag() const { return quit_.load(); }
  // Sets the quit flag and waits for the thread to end.
  void Stop();

  // Fills one request per location that needs agents, and the ids of creation jobs already running
  // there. Called on the base's thread.
  virtual void CalculateAgentsRequired(std::vector<CreateAgentsRequest>& requests,
                                       std::vector<long long>& activeJobIds) = 0;

  // Test hook: waits until the thread has ended; false after a minute of real time.
  bool TEST_WaitUntilDone();

 protected:
  // The test hooks' wait: until `ready`, called with `mutex` held, is true; false after a minute of
  // real time. It also looks every 100 real milliseconds, as a test's platform clock may stand still.
  template <class Ready>
  static bool TEST_WaitUntil(ZtMutex& mutex, ZtCondition& changed, Ready ready) NO_THREAD_SAFETY_ANALYSIS {
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    ZtMutexLock lock(mutex);
    while (!ready()) {
      if (std::chrono::steady_clock::now() >= until) return false;
      changed.wait_until(mutex, ZtClock::kNoDeadline, 100);
    }
    return true;
  }

 private:
  struct Creation {
    int64_t jobId = 0;
    std::string client;
    long long readyAt = 0;  // platform clock
  };
  static void* ThreadStatic(void* context);
  void Thread();
  // Starts the creation jobs of one request.
  void StartCreations(const CreateAgentsRequest& request, std::vector<Creation>& creations);
  void Finish(const Creation& creation);

  // Constant after construction.
  vsJobMgr* const jobMgr_;
  vsAppMgr* const appMgr_;
  const SuccessCallback onSuccess_;
  void* const context_;

  ZtThread thread_;
  std::atomic<bool> started_{false};
  std::atomic<bool> monitorValid_{false};
  std::atomic<bool> creating_{false};
  std::atomic<int> runningCreations_{0};
  std::atomic<bool> quit_{false};
  ZtMutex mutex_;
  ZtCondition wake_;
  bool done_ GUARDED_BY(mutex_) = false;
};
