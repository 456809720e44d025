#include "platform/jobclient/ZTJobQuery.h"

#include <climits>
#include <cstdint>

#include "platform/lab/Lab.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabTasks.h"

bool ZTJobQuery::init(const std::string& host) {
  lab::Fault fault;
  initialized_ = !host.empty() && !lab::Root().empty() && !lab::CheckFault("jobquery.init", fault);
  return initialized_;
}

int ZTJobQuery::getJobState(long long jobId) {
  lab::Fault fault;
  if (!initialized_ || lab::CheckFault("jobquery.getJobState", fault)) return kUnknownState;
  int64_t state = 0;
  std::string error;
  if (!lab::ReadJobState(jobId, state, error) || state < INT_MIN || state > INT_MAX) return kUnknownState;
  return static_cast<int>(state);
}
