#pragma once
#include <cstdint>
#include <string>

// The job token the job manager hands a job process ("-jt"): "<job id>:<commcell>:<attempt>:<phase>",
// four decimal numbers; the attempt counts from 1.
std::string constructJobToken(long long jobId, unsigned long commcell, unsigned long attempt, unsigned long phase);
// False (outputs untouched) for a null or malformed token.
bool parseJobToken(const char* token, long long& jobId, unsigned long& commcell, unsigned long& attempt,
                   unsigned long& phase);
