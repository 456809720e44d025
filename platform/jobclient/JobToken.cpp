#include "platform/jobclient/JobToken.h"

#include <climits>
#include <vector>

#include "platform/lab/LabKeyValue.h"
#include "platform/os/FXString.h"

std::string constructJobToken(long long jobId, unsigned long commcell, unsigned long attempt, unsigned long phase) {
  return std::to_string(jobId) + ":" + std::to_string(commcell) + ":" + std::to_string(attempt) + ":" +
         std::to_string(phase);
}

bool parseJobToken(const char* token, long long& jobId, unsigned long& commcell, unsigned long& attempt,
                   unsigned long& phase) {
  if (token == nullptr) return false;
  std::vector<std::string> parts;
  if (FXString::Split(token, ":", parts) != 4) return false;
  int64_t id = 0;
  uint64_t numbers[3] = {0, 0, 0};
  if (!labkv::ParseInt64InRange(parts[0], 1, LLONG_MAX, id)) return false;
  for (int i = 0; i < 3; ++i)
    if (!labkv::ParseUInt64(parts[i + 1], numbers[i]) || numbers[i] > ULONG_MAX) return false;
  jobId = id;
  commcell = static_cast<unsigned long>(numbers[0]);
  attempt = static_cast<unsigned long>(numbers[1]);
  phase = static_cast<unsigned long>(numbers[2]);
  return true;
}
