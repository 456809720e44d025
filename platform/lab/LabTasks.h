#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The management server's task service and its jobs, as the lab keeps them:
//   tasks/<n>.xml          every task request the task service accepted (message XML), n = 1, 2, ...;
//                          readable by its owner only, since a workflow's inputs may hold passwords
//   tasks/next             the number of the next request
//   jobs/nextid            the id the next job started by the management server gets (the first is
//                          kFirstServerJobId, well above the lab's own job ids)
//   jobs/<job>/state       the job's state as the job query reports it: one number; a test sets it
//   jobs/<job>/children    the child jobs of a job: "<child job id> <application number>" a line
namespace lab {

constexpr int64_t kFirstServerJobId = 500000;

// A new job id of the management server; 0 (with the reason) when none could be handed out.
int64_t AllocateServerJobId(std::string& error);

// Keeps a task request; `number` receives its number.
bool SpoolTaskRequest(const std::string& xml, int64_t& number, std::string& error);
// The files of the requests kept so far, in the order they came.
std::vector<std::string> TaskRequestFiles();

// A job's state; ReadJobState is false (with the reason) when the job has none or it is not a number.
bool SetJobState(int64_t jobId, int64_t state, std::string& error);
bool ReadJobState(int64_t jobId, int64_t& state, std::string& error);

struct ChildJobLink {
  int64_t childJobId = 0;
  uint32_t appNumber = 0;  // the child's application: "2:<number>"
};
// Replaces the job's child jobs.
bool WriteChildJobs(int64_t parentJobId, const std::vector<ChildJobLink>& children, std::string& error);
// A job without a child-job record has none; false (with the reason) for a record that cannot be read
// or has a malformed line (`children` is then unchanged).
bool ReadChildJobs(int64_t parentJobId, std::vector<ChildJobLink>& children, std::string& error);

}  // namespace lab
