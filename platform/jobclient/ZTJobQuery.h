#pragma once
#include <string>

// State queries of the management server's jobs. In the lab a job's state is its record of
// platform/lab/LabTasks.h. Fault table operations: "jobquery.init", "jobquery.getJobState".
class ZTJobQuery {
 public:
  static constexpr int kUnknownState = -1;

  void setPlatformType(int type) { platformType_ = type; }
  // False for an empty host name, without a lab, or when the fault table says so.
  bool init(const std::string& host);
  // The job's state; kUnknownState before init, for a job without a state, or on a failure.
  int getJobState(long long jobId);

 private:
  int platformType_ = 0;
  bool initialized_ = false;
};
