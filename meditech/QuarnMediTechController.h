#pragma once
#include <memory>
#include <string>

#include "controller/QuarnController.h"

class QuarnMediTech;

// The controller of a MEDITECH subclient that is not a snapshot job: its own census, shared with its
// workers, and VM-information connections that take every VM from the job's shared snapshot.
class QuarnMediTechController : public QuarnController {
 public:
  explicit QuarnMediTechController(bool coordinatorRole);
  ~QuarnMediTechController() override;

  bool Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr) override;
  bool PrepareVMInfo() override;
  bool PrepareVMInfo(const std::string& server) override;
  bool PrepareVMInfo(const std::string& server, const std::string& user, const std::string& password) override;
  QuarnWorker* CreateWorker(QuarnController* controller, int index) override;

 private:
  // Sets the option on a connection that was just prepared; returns `prepared`.
  bool UseSingleSharedShadow(bool prepared);

  // Set by Initialize, constant after it; the workers hold it too.
  std::shared_ptr<QuarnMediTech> m_mediTech;
};
