// The phase result of the job process: one line in the job's phase file per call. A phase that has
// ended holds no streams: the job manager takes back whatever reservations the job still has.
#include "platform/ev/EvDebug.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabReservations.h"

bool vsJobMgr::AppendPhaseLine(const lab::PhaseLine& line) {
  if (InjectedFault("jobmgr.setPhaseResult") != 0 || !lab::AppendPhaseLine(getJobId(), line)) return false;
  std::string error;
  if (!lab::ReleaseJobReservations(getJobId(), error))
    EvDebug::Error("bool vsJobMgr::AppendPhaseLine(const lab::PhaseLine&)",
                   "The job's stream reservations could not be released: %s", error.c_str());
  return true;
}

bool vsJobMgr::phaseSuccessful(bool flag) {
  lab::PhaseLine line;
  line.successFlag = flag;
  if (!AppendPhaseLine(line)) return false;
  RecordInHistory();
  return true;
}

bool vsJobMgr::phasePartialSuccess() {
  lab::PhaseLine line;
  line.kind = lab::PhaseLine::kPartialSuccess;
  if (!AppendPhaseLine(line)) return false;
  RecordInHistory();
  return true;
}

bool vsJobMgr::phaseFailed(bool failJob, bool setupFailed) {
  lab::PhaseLine line;
  line.kind = lab::PhaseLine::kFailed;
  line.failJob = failJob;
  line.setupFailed = setupFailed;
  return AppendPhaseLine(line);
}

bool vsJobMgr::StopAndAutoResume(int seconds, const std::string& text) {
  lab::PhaseLine line;
  line.kind = lab::PhaseLine::kAutoResume;
  line.seconds = seconds;
  line.text = text;
  // A negative interval cannot be scheduled; saying yes would leave the job stopped for good.
  if (seconds < 0 || InjectedFault("jobmgr.StopAndAutoResume") != 0) {
    line.kind = lab::PhaseLine::kAutoResumeRefused;
    lab::AppendPhaseLine(getJobId(), line);
    return false;
  }
  return AppendPhaseLine(line);
}

std::vector<std::string> vsJobMgr::ReadPhaseLines(int64_t jobId) { return lab::ReadPhaseLines(jobId); }
