#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ev/EvMessageContainer.h"

// Helpers for the files of a job's folder, shared by the parts of the job manager client.
namespace jobfolder {

// Path of a file of the job's folder; empty when there is no lab or the job id is not positive.
std::string FileOf(int64_t jobId, const std::string& name);
// Line breaks become blanks, so that a text given by a caller stays one record.
std::string OneLine(const std::string& text);
// The lines of a file; empty when it cannot be read.
std::vector<std::string> ReadLines(const std::string& path);

}  // namespace jobfolder
