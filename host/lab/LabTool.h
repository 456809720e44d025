#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The quarn-lab tool: creates a lab, runs a job in it as the job manager would, says how a job ended,
// changes settings, machines and job records, and manages the fault table. Everything it reads or
// writes in the lab goes through the lab model (platform/lab). Exit codes: 0 success, 1 the work
// failed, 2 bad arguments; "run" exits with the job process's own exit code (128 + the signal when it
// was killed).
namespace labtool {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int64_t kDefaultJob = 1001;

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
// Prints the message to stderr and returns kExitFailed.
int Failure(const std::string& message);
void PrintUsage();

// The absolute form of a path (the current directory prepended to a relative one).
std::string AbsolutePath(const std::string& path);
// Points the lab model at the lab folder; false with the reason when the folder is not a lab.
bool SelectLab(const std::string& folder, std::string& error);
// The job of "--job" (default kDefaultJob); false with the reason when it is not a positive number
// or the lab has no such job.
bool SelectJob(const Arguments& parsed, int64_t& jobId, std::string& error);
// A number option within a range; false with the reason otherwise (value untouched when absent).
bool NumberOption(const Arguments& parsed, const std::string& name, int64_t min, int64_t max, int64_t& value,
                  std::string& error);
// A text option's value; `fallback` when it is absent.
std::string TextOption(const Arguments& parsed, const std::string& name, const std::string& fallback = std::string());

int Create(const std::vector<std::string>& args);
int Run(const std::vector<std::string>& args);
int Outcome(const std::vector<std::string>& args);
int Set(const std::vector<std::string>& args);
int Fault(const std::vector<std::string>& args);
int Disk(const std::vector<std::string>& args);
// Exits 1 when an archive is malformed or a VM's backup does not reassemble or match.
int Verify(const std::vector<std::string>& args);
int Session(const std::vector<std::string>& args);
// The password is read from standard input.
int MediTech(const std::vector<std::string>& args);
// The lab tool started by the MEDITECH tool's name is that tool's stand-in.
bool IsMediTechToolName(const std::string& program);
int MediTechTool(int argc, char** argv);

// Prints the outcome of a job of the selected lab and the lines of the client's log that matter.
void PrintOutcome(int64_t jobId, const std::string& client);

}  // namespace labtool
