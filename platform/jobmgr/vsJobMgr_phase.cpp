// The phase result of the job process: one line in phase.txt per call.
#include "platform/jobmgr/JobFolder.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"

bool vsJobMgr::AppendPhaseLine(const std::string& line) {
  std::string path = JobFile("phase.txt");
  return !path.empty() && lab::AppendLineLocked(path, jobfolder::OneLine(line));
}

bool vsJobMgr::phaseSuccessful(bool flag) { return AppendPhaseLine(flag ? "phaseSuccessful 1" : "phaseSuccessful"); }

bool vsJobMgr::phasePartialSuccess() { return AppendPhaseLine("phasePartialSuccess"); }

bool vsJobMgr::phaseFailed(bool failJob, bool setupFailed) {
  return AppendPhaseLine(std::string("phaseFailed failJob=") + (failJob ? "1" : "0") +
                         " setupFailed=" + (setupFailed ? "1" : "0"));
}

bool vsJobMgr::StopAndAutoResume(int seconds, const std::string& text) {
  bool refused = false;
  {
    ZtMutexLock l(mutex_);
    refused = ConfNumber("autoResumeFails") != 0;
  }
  // A negative interval cannot be scheduled; saying yes would leave the job stopped for good.
  if (seconds < 0) refused = true;
  std::string rest = std::to_string(seconds) + " " + text;
  if (refused) {
    AppendPhaseLine("StopAndAutoResumeRefused " + rest);
    return false;
  }
  return AppendPhaseLine("StopAndAutoResume " + rest);
}

std::vector<std::string> vsJobMgr::ReadPhaseLines(int64_t jobId) {
  return jobfolder::ReadLines(jobfolder::FileOf(jobId, "phase.txt"));
}
