#pragma once
// Driving whole jobs through the lab tool, as the job manager and an administrator would.
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/lab/LabFiles.h"
#include "support/LabWait.h"
#include "support/TestLab.h"

namespace labrun {

// Starts the lab tool; its output goes to outPath.
inline pid_t StartTool(const std::vector<std::string>& args, const std::string& outPath) {
  std::vector<std::string> argv = {QUARN_LAB_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return testsupport::StartProgram(argv, outPath);
}

inline int RunTool(const std::vector<std::string>& args, const std::string& outPath) {
  return testsupport::WaitProgram(StartTool(args, outPath));
}

inline std::string ReadText(const std::string& path) {
  std::string text, error;
  lab::ReadRegularFile(path, 64 << 20, text, error);
  return text;
}

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Blocks until `reached` holds or nothing changes in the folders for a minute.
using testsupport::WaitForLab;

}  // namespace labrun
