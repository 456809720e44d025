#pragma once
#include <cstdint>
#include <string>
#include <vector>

// A task request to the management server's task service. In the lab the service keeps every request it
// accepts (platform/lab/LabTasks.h) and starts one job for it, in state 1 (running), whose id it reports.
// Fault table operations: "task.TaskRequest" (the request is refused with the rule's code and text) and
// "task.StartJob" (the request is kept but starts no job).
class EvTask {
 public:
  // Result codes of the lab's own refusals.
  static constexpr int kErrMalformed = 3030;  // the text is not a message of the given tag
  static constexpr int kErrNotKept = 3031;    // the request could not be kept

  EvTask(long long jobId, int flags, void* context, bool flag);

  // Sends the request text (a message of tagId as XML). 0 on success: jobIds holds the ids of the jobs
  // the task started (possibly none) and xml is replaced by the service's answer. Otherwise the code,
  // with errorText saying why.
  int TaskRequest(std::string& xml, std::vector<long long>& jobIds, int& outValue, int mode, std::string& errorText,
                  uint32_t tagId, int number1, int number2, bool flag1, bool flag2);
};
