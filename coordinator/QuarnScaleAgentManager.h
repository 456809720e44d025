#pragma once
#include <atomic>

class QuarnCoordinator;

// The auto-scale estimate of a job: creates agents in the cloud while the job runs. Only the calls the
// coordinator makes are here; the estimate itself is not built yet, so no coordinator creates one.
class QuarnScaleAgentManager {
 public:
  explicit QuarnScaleAgentManager(QuarnCoordinator* coordinator) : m_coordinator(coordinator) {}
  virtual ~QuarnScaleAgentManager() = default;
  QuarnScaleAgentManager(const QuarnScaleAgentManager&) = delete;
  QuarnScaleAgentManager& operator=(const QuarnScaleAgentManager&) = delete;

  virtual void CreateNewAgentsAsnyc() {}
  virtual bool IsJobMonitorValid() { return false; }
  virtual bool IsAnyAgentBeingCreated() { return false; }
  virtual int AgentCreationJobCount() { return 0; }
  void SetQuitFlag() { m_quit = true; }
  bool CheckQuitFlag() const { return m_quit.load(); }

 protected:
  QuarnCoordinator* const m_coordinator;
  std::atomic<bool> m_quit{false};
};
