#pragma once
#include "controller/QuarnController.h"

// The controller of storage-snapshot jobs: snapshot backup, backup copy to media and snapshot catalogue.
class QuarnSnapController : public QuarnController {
 public:
  explicit QuarnSnapController(bool coordinatorRole);
  ~QuarnSnapController() override;

  bool Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr) override;
};
