#pragma once
#include <cstdint>
#include <vector>

// One child job of a job: an application job the parent started.
struct VSAJobLinkInfo {
  long long childJobId = 0;
  uint32_t appNumber = 0;  // the child's application: "2:<number>"
};

// The links between a job and the jobs it started. In the lab they are the parent's record of
// platform/lab/LabTasks.h. Fault table operation: "task.getChildJobsInfo" (the rule's code).
class App_JMVSAAppJobLink {
 public:
  static constexpr int kErrUnreadable = 3032;

  // 0 on success with the list filled (empty when the job has no children); otherwise a code and the
  // list untouched.
  static int getChildJobsInfoForGivenParentJob(long long parentJobId, int flags, std::vector<VSAJobLinkInfo>& children,
                                               int kind, void* reserved);
};
