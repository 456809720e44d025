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
// "0x<ID 8 hex>" followed by a blank and the arguments joined by '|' when there are any. In an
// argument '\', '|', line feed and carriage return are written "\\", "\|", "\n" and "\r" (the same
// rule as the job events written by EvEvent), so a line splits back into its arguments.
std::string IdWithArguments(uint32_t id, const ArgumentInfo& arguments);
// The lines of a file; empty when it cannot be read.
std::vector<std::string> ReadLines(const std::string& path);

}  // namespace jobfolder
