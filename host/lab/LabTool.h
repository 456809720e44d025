#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The quarn-lab tool: creates a lab, runs a job in it as the job manager would, prints a job's
// outcome, and writes client settings. Exit codes: 0 success, 1 the work failed, 2 bad arguments;
// "run" exits with the program's own exit code (128 + the signal when it was killed).
namespace labtool {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The command line after the sub-command: positional arguments, "--name value" options, and
// everything after a lone "--" (passed on untouched).
struct Arguments {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;
  std::vector<std::string> passThrough;
};

// Splits the arguments; false with a message for an option without a value, an option not in
// `allowed`, or a repeated option.
bool ParseArguments(const std::vector<std::string>& args, const std::vector<std::string>& allowed,
                    Arguments& parsed, std::string& error);

// Prints the message and the usage text to stderr and returns kExitUsage.
int UsageError(const std::string& message);
void PrintUsage();

// The absolute form of a path (the current directory prepended to a relative one).
std::string AbsolutePath(const std::string& path);
bool IsDirectory(const std::string& path);
bool FileExists(const std::string& path);
// Points the lab at the one lab folder of the arguments and picks the job of "--job" (default 1001).
// False with the reason when the folder is not a lab or the job is not a positive number of it.
bool SelectLabJob(Arguments& parsed, int64_t& jobId, std::string& error);

int Create(const std::vector<std::string>& args);
int Run(const std::vector<std::string>& args);
int Outcome(const std::vector<std::string>& args);
int Set(const std::vector<std::string>& args);

// Prints the outcome of the job of the lab whose root is set (lab::SetRoot); false when the job
// has no folder.
bool PrintOutcome(int64_t jobId, const std::string& coordinatorClient);

}  // namespace labtool
