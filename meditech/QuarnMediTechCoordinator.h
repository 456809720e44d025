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
  bool OnMsgVMBackupResult(const std::string& agent, VirtualServer::VMBackupResult* message) override;
  int PreCreateSharedShadow() override;
  int PostCreateSharedShadow() override;
  bool CreateSharedShadow() override;
  bool PrepareVMInfo() override;

  // Result codes of the hooks around the shared snapshot.
  static constexpr int kResultNotCovered = 144;        // a census VM is not in the job, or quiesce failed
  static constexpr int kResultUnquiesceFailed = 145;

 protected:
  // Unquiesces the system when this coordinator quiesced it and has not unquiesced it since: exactly
  // once after every successful quiesce, whether or not the snapshot was made. 0 or 145.
  int UnquiesceIfQuiesced();

  QuarnMediTech m_mediTech;
  std::vector<std::string> m_mediTechVMs;
  // Set by a successful quiesce, cleared by the unquiesce that follows it (the hooks run on the thread
  // that makes the shared snapshot, the loop thread).
  std::atomic<bool> m_quiesced{false};
};
