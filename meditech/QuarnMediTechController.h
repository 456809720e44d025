#pragma once
#include <memory>

#include "controller/QuarnController.h"

class QuarnMediTech;

// The controller of a MEDITECH subclient that is not a snapshot job.
class QuarnMediTechController : public QuarnController {
 public:
  explicit QuarnMediTechController(bool coordinatorRole);
  ~QuarnMediTechController() override;

  bool Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr) override;

 private:
  std::shared_ptr<QuarnMediTech> m_mediTech;
};
