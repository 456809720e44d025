#include "platform/jobclient/EvTask.h"

#include "platform/lab/LabFaults.h"
#include "platform/lab/LabTasks.h"
#include "platform/msg/CNMessageBase.h"
#include "records/messages/TMMsgMessages.h"

namespace {

constexpr int kRunning = 1;

}  // namespace

EvTask::EvTask(long long, int, void*, bool) {}

int EvTask::TaskRequest(std::string& xml, std::vector<long long>& jobIds, int& outValue, int, std::string& errorText,
                        uint32_t tagId, int, int, bool, bool) {
  jobIds.clear();
  outValue = 0;
  lab::Fault fault;
  if (lab::CheckFault("task.TaskRequest", fault)) {
    errorText = fault.text;
    return fault.code;
  }
  std::unique_ptr<CNMessageBase> request = CNMessageBase::Create(tagId);
  std::string error;
  if (request->getDecl() == nullptr || !request->deserialize(xml, &error)) {
    errorText = "The task request is not a message of its tag: " + error;
    return kErrMalformed;
  }
  int64_t number = 0;
  if (!lab::SpoolTaskRequest(xml, number, error)) {
    errorText = error;
    return kErrNotKept;
  }
  std::unique_ptr<CNMessageBase> response = CNMessageBase::Create(TMMsg::CreateTaskResp::TAG);
  if (!lab::CheckFault("task.StartJob", fault)) {
    const int64_t workflowJob = lab::AllocateServerJobId(error);
    if (workflowJob == 0 || !lab::SetJobState(workflowJob, kRunning, error)) {
      errorText = error;
      return kErrNotKept;
    }
    jobIds.push_back(workflowJob);
    response->getlistint(TMMsg::CreateTaskResp::F_jobIds, true).push_back(workflowJob);
  }
  response->serialize(xml, true);
  return 0;
}
