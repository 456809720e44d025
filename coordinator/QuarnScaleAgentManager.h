#pragma once
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/ev/EvEvent.h"
#include "platform/frame/VSScaleAgentManager.h"
#include "platform/os/ThreadAnnotations.h"
#include "platform/os/ZtMutex.h"

class QuarnCoordinator;

// The auto-scale estimate of a job: how many agents each location (region or datacenter) needs so
// that its pending VMs are backed up within the recovery point objective. The base creates them.
//
// The base asks for the estimate on its own thread, but the estimate reads the coordinator's VM map,
// agent records and host records, which belong to the loop thread: the request is handed to the loop,
// which computes it on its next idle pass (ServePendingEstimate) while the asking thread waits.
class QuarnScaleAgentManager : public VSScaleAgentManager {
 public:
  explicit QuarnScaleAgentManager(QuarnCoordinator* coordinator);
  ~QuarnScaleAgentManager() override;

  void CalculateAgentsRequired(std::vector<CreateAgentsRequest>& requests,
                               std::vector<long long>& activeJobIds) override;
  void SetQuitFlag() override;
  // Fills the per-location figures afresh. REQUIRES: the loop thread.
  void PopulateScaleParams();
  // Computes an estimate another thread is waiting for, if any. REQUIRES: the loop thread.
  void ServePendingEstimate();

  // The figures of the last estimate, for tests. REQUIRES: the loop thread.
  const std::unordered_map<std::string, VSScaleAgentParams>& ScaleParams() const { return m_scaleParams; }
  // Test hook: waits until another thread asked for an estimate; false after a minute of real time.
  bool TEST_WaitForPendingEstimate();
  // Test hook: the estimate, computed at once. REQUIRES: the loop thread.
  void TEST_Estimate(std::vector<CreateAgentsRequest>& requests, std::vector<long long>& activeJobIds) {
    Estimate(requests, activeJobIds);
  }

 private:
  static void OnAgentCreationSucceededStatic(void* context);
  // The estimate itself. REQUIRES: the loop thread.
  void Estimate(std::vector<CreateAgentsRequest>& requests, std::vector<long long>& activeJobIds);

  // Constant after construction.
  QuarnCoordinator* const m_coordinator;

  EvEvent m_event;
  // Loop thread only.
  std::unordered_map<std::string, VSScaleAgentParams> m_scaleParams;

  // An estimate handed from another thread to the loop.
  ZtMutex m_estimateMutex;
  ZtCondition m_estimateChanged;
  bool m_estimateWanted GUARDED_BY(m_estimateMutex) = false;
  bool m_estimateDone GUARDED_BY(m_estimateMutex) = false;
  std::vector<CreateAgentsRequest> m_estimatedRequests GUARDED_BY(m_estimateMutex);
  std::vector<long long> m_estimatedJobIds GUARDED_BY(m_estimateMutex);
};
