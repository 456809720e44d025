#include "platform/frame/VSScaleAgentManager.h"

#include <algorithm>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/ev/EvDebug.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabAutoScale.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabKeyValue.h"

namespace {

const char* const kSigThread = "void VSScaleAgentManager::Thread()";

constexpr int kCreationFailed = 3021;

}  // namespace

VSScaleAgentManager::VSScaleAgentManager(vsJobMgr* jobMgr, vsAppMgr* appMgr, SuccessCallback onSuccess, void* context)
    : jobMgr_(jobMgr), appMgr_(appMgr), onSuccess_(onSuccess), context_(context) {}

VSScaleAgentManager::~VSScaleAgentManager() { Stop(); }

void VSScaleAgentManager::CreateNewAgentsAsnyc() {
  if (started_.exchange(true)) return;
  creating_ = true;
  if (!thread_.Create(&VSScaleAgentManager::ThreadStatic, this, "autoscale")) {
    creating_ = false;
    ZtMutexLock lock(mutex_);
    done_ = true;
    return;
  }
  monitorValid_ = true;
}

void VSScaleAgentManager::SetQuitFlag() {
  quit_ = true;
  ZtMutexLock lock(mutex_);
  wake_.notify_all();
}

void VSScaleAgentManager::Stop() {
  SetQuitFlag();
  if (started_.load()) thread_.Join();
}

bool VSScaleAgentManager::TEST_WaitUntilDone() {
  return TEST_WaitUntil(mutex_, wake_, [this]() EXCLUSIVE_LOCKS_REQUIRED(mutex_) { return done_; });
}

void* VSScaleAgentManager::ThreadStatic(void* context) {
  if (context != nullptr) static_cast<VSScaleAgentManager*>(context)->Thread();
  return nullptr;
}

void VSScaleAgentManager::Thread() {
  std::vector<CreateAgentsRequest> requests;
  std::vector<long long> activeJobIds;
  CalculateAgentsRequired(requests, activeJobIds);
  std::vector<Creation> creations;
  for (const CreateAgentsRequest& request : requests)
    if (!quit_.load()) StartCreations(request, creations);

  while (!creations.empty() && !quit_.load()) {
    auto next = std::min_element(creations.begin(), creations.end(),
                                 [](const Creation& a, const Creation& b) { return a.readyAt < b.readyAt; });
    if (ZtClock::MonotonicTicks() >= next->readyAt) {
      Finish(*next);
      creations.erase(next);
      --runningCreations_;
      continue;
    }
    ZtMutexLock lock(mutex_);
    if (!quit_.load()) wake_.wait_until(mutex_, next->readyAt);
  }
  runningCreations_ = 0;
  creating_ = false;
  ZtMutexLock lock(mutex_);
  done_ = true;
  wake_.notify_all();
}

void VSScaleAgentManager::StartCreations(const CreateAgentsRequest& request, std::vector<Creation>& creations) {
  if (request.type != kBackupAgentRequest || request.count <= 0) return;
  std::string text;
  int64_t seconds = 0;
  if (appMgr_->GetSetting("autoScaleCreationSeconds", text) && !labkv::ParseInt64InRange(text, 0, 86400 * 7, seconds))
    seconds = 0;
  for (int32_t i = 0; i < request.count && !quit_.load(); ++i) {
    Creation creation;
    std::string error;
    if (!lab::StartAgentCreation(jobMgr_->getJobId(), request.region, lab::FocusClient(), creation.jobId,
                                 creation.client, error)) {
      EvDebug::Error(kSigThread, "Cannot start an agent creation job in [%s]: %s", request.region.c_str(),
                     error.c_str());
      continue;
    }
    lab::Fault fault;
    if (lab::CheckFault("autoscale.CreateAgent", fault)) {
      EvDebug::Error(kSigThread, "Agent creation job [%lld] failed with code [%d]: %s",
                     static_cast<long long>(creation.jobId), fault.code, fault.text.c_str());
      lab::FailAgentCreation(jobMgr_->getJobId(), creation.jobId, creation.client, fault.code);
      continue;
    }
    creation.readyAt = ZtClock::DeadlineAfter(CTimeInterval::FromSeconds(seconds));
    creations.push_back(creation);
    ++runningCreations_;
  }
}

void VSScaleAgentManager::Finish(const Creation& creation) {
  std::string error;
  if (!lab::CompleteAgentCreation(jobMgr_->getJobId(), appMgr_->getAppIdStr(), lab::FocusClient(), creation.jobId,
                                  creation.client, error)) {
    EvDebug::Error(kSigThread, "Agent creation job [%lld] failed: %s", static_cast<long long>(creation.jobId),
                   error.c_str());
    lab::FailAgentCreation(jobMgr_->getJobId(), creation.jobId, creation.client, kCreationFailed);
    return;
  }
  if (onSuccess_ != nullptr) onSuccess_(context_);
}
