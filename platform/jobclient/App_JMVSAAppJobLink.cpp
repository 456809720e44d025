#include "platform/jobclient/App_JMVSAAppJobLink.h"

#include <string>

#include "platform/lab/LabFaults.h"
#include "platform/lab/LabTasks.h"

int App_JMVSAAppJobLink::getChildJobsInfoForGivenParentJob(long long parentJobId, int,
                                                           std::vector<VSAJobLinkInfo>& children, int, void*) {
  lab::Fault fault;
  if (lab::CheckFault("task.getChildJobsInfo", fault)) return fault.code;
  std::vector<lab::ChildJobLink> links;
  std::string error;
  if (!lab::ReadChildJobs(parentJobId, links, error)) return kErrUnreadable;
  std::vector<VSAJobLinkInfo> found;
  for (const lab::ChildJobLink& link : links) found.push_back(VSAJobLinkInfo{link.childJobId, link.appNumber});
  children.swap(found);
  return 0;
}
