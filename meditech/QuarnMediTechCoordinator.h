#pragma once
#include <atomic>
#include <string>
#include <vector>

#include "coordinator/QuarnCoordinator.h"
#include "meditech/QuarnMediTech.h"

// The coordinator of a MEDITECH subclient: all its VMs are backed up from one shared snapshot taken
// while the MEDITECH system is quiesced, every VM of the system's census must be in the job, and the
// failure of any VM fails the whole job.
class QuarnMediTechCoordinator : public QuarnCoordinator {
 public:
  QuarnMediTechCoordinator();
  ~QuarnMediTechCoordinator() override;

  bool Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr, QuarnController* localController) override;
  // Before the job's outcome is decided: a system still quiesced is unquiesced (a bounded number of
  // tries); one that stays quiesced fails the job with the reason.
  bool Deinitialize() override;
  bool OnMsgVMBackupResult(const std::string& agent, VirtualServer::VMBackupResult* message) override;
  int PreCreateSharedShadow() override;
  int PostCreateSharedShadow() override;
  bool CreateSharedShadow() override;
  bool PrepareVMInfo() override;

  // Result codes of the hooks around the shared snapshot.
  static constexpr int kResultNotCovered = 144;        // a census VM is not in the job, or quiesce failed
  static constexpr int kResultUnquiesceFailed = 145;
  // Tries to unquiesce on the way out, after the one right after the snapshot, and the wait before each.
  static constexpr int kUnquiesceRetries = 3;
  static constexpr long long kUnquiesceRetryWaitSeconds = 30;

 protected:
  // Quiesces the system; a system found already quiesced (left so by a job that could not unquiesce
  // it) is unquiesced and quiesced once more, so that the snapshot follows a quiesce of this job.
  bool QuiesceTheSystem();
  // The unquiesce right after the snapshot (made or not): 0, or 145 with a minor event.
  int UnquiesceAfterTheSnapshot();
  // One unquiesce while the system is quiesced by this job; true once it runs again (the tool saying
  // it is not quiesced counts: someone unquiesced it). Logged under the caller's signature.
  bool TryUnquiesce(const char* sig);
  void UnquiesceOnTheWayOut();

  QuarnMediTech m_mediTech;
  std::vector<std::string> m_mediTechVMs;
  // Set by a successful quiesce, cleared only once an unquiesce succeeded (the hooks run on the thread
  // that makes the shared snapshot, the loop thread; the way out on the application's main thread).
  std::atomic<bool> m_quiesced{false};
  // Set once the way out tried to unquiesce (application's main thread only).
  bool m_wayOutTaken = false;
};
