#pragma once
#include <memory>
#include <string>

#include "meditech/MediTechVMDisks.h"
#include "worker/QuarnWorker.h"

class QuarnMediTech;

// The worker of a MEDITECH subclient: every census disk of its VM must be among the disks it backs up
// and be backed up, or the VM fails (143), and every connection takes the job's shared snapshot.
class QuarnMediTechWorker : public QuarnWorker {
 public:
  static constexpr int kResultMediTechDisk = 143;

  QuarnMediTechWorker(QuarnController* controller, int workerId, std::shared_ptr<QuarnMediTech> mediTech);
  ~QuarnMediTechWorker() override;

  bool Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr) override;
  void HandleVMComplete_Status(int result) override;
  int ConnectToServer(const std::string& server) override;
  int PreBackupVM(quarnBackupArgs& args) override;
  int PostBackupVM(quarnBackupArgs& args) override;

  const MediTechVMDisks& TEST_Disks() const { return m_vmDisks; }

 private:
  // Walks the VM's backup objects, logging each, and hands each disk or volume to `visit`; the walk
  // is reset afterwards.
  template <typename Visit>
  void WalkDisks(quarnBackupArgs& args, Visit visit);

  // Constant after construction; shared with the controller and its other workers.
  const std::shared_ptr<QuarnMediTech> m_mediTech;
  // The worker thread's, for the VM in hand.
  MediTechVMDisks m_vmDisks;
};
