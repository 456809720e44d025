#include "meditech/QuarnMediTechController.h"

#include <new>

#include "meditech/QuarnMediTech.h"
#include "meditech/QuarnMediTechWorker.h"
#include "platform/vminfo/IVMInfo.h"

namespace {

const char* const kSigInitialize = "virtual bool QuarnMediTechController::Initialize(vsJobMgr*, vsAppMgr*)";

}  // namespace

QuarnMediTechController::QuarnMediTechController(bool coordinatorRole)
    : QuarnController(coordinatorRole), m_mediTech() {}

// The controller thread calls this object's virtual operations: it must end before this part of
// the object is torn down.
QuarnMediTechController::~QuarnMediTechController() { Deinitialize(); }

bool QuarnMediTechController::Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr) {
  if (!QuarnController::Initialize(jobMgr, appMgr)) {
    m_event.Error(kSigInitialize, "QuarnController initialize error");
    return false;
  }
  m_mediTech.reset(new (std::nothrow) QuarnMediTech());
  if (!m_mediTech) {
    m_event.Error(kSigInitialize, "Failed to allocate QuarnMediTech");
    return false;
  }
  const bool initialized = m_mediTech->Initialize(jobMgr, appMgr);
  if (!initialized) m_event.Error(kSigInitialize, "MediTech initialize error");
  return initialized;
}

bool QuarnMediTechController::UseSingleSharedShadow(bool prepared) {
  if (!prepared) return false;
  auto_lock lock(&m_vmInfoLock);
  if (m_vmInfo != nullptr) m_vmInfo->SetOption("singleSharedShadow", 1);
  return true;
}

bool QuarnMediTechController::PrepareVMInfo() { return UseSingleSharedShadow(QuarnController::PrepareVMInfo()); }

bool QuarnMediTechController::PrepareVMInfo(const std::string& server) {
  return UseSingleSharedShadow(QuarnController::PrepareVMInfo(server));
}

bool QuarnMediTechController::PrepareVMInfo(const std::string& server, const std::string& user,
                                            const std::string& password) {
  return UseSingleSharedShadow(QuarnController::PrepareVMInfo(server, user, password));
}

QuarnWorker* QuarnMediTechController::CreateWorker(QuarnController* controller, int index) {
  return new (std::nothrow) QuarnMediTechWorker(controller, index, m_mediTech);
}
