#pragma once
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/lab/LabJob.h"
#include "platform/lab/LabJobIds.h"

// The quarn-lab tool: creates a lab, runs a job in it as the job manager would, says how a job ended,
// changes settings, machines and job records, and manages the fault table. Everything it reads or
// writes in the lab goes through the lab model (platform/lab).
namespace labtool {

// Exit codes. A usage error has a code of its own, apart from every code a command's work gives.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 64;
// "run" exits by the job's outcome as the job manager records it.
constexpr int kExitCompleted = 0;
constexpr int kExitCompletedWithErrors = 1;
constexpr int kExitPendingOrFailed = 2;
constexpr int kExitNotStarted = 3;  // the job was not started: another run holds the lab, or it could not be
constexpr int kExitInterrupted = 130;

constexpr int64_t kDefaultJob = 1001;

// A VM's status with the job manager (its status record's "vmStatus").
constexpr int64_t kVMBackedUp = lab::kVMStatusBackedUp;
constexpr int64_t kVMInProgress = 2;
constexpr int64_t kVMBackedUpWithErrors = lab::kVMStatusBackedUpWithErrors;

// One option of a command, as its help shows it.
struct OptionHelp {
  const char* name;   // without the leading "--"
  const char* value;  // what it takes, as shown after it
  const char* text;
};

// One command: its forms, what it does, and its options. The options listed here are the ones the
// command accepts: a command's parser refuses any other.
struct CommandHelp {
  const char* name;
  std::vector<const char*> forms;  // after "quarn-lab <name> "
  const char* summary;
  std::vector<OptionHelp> options;
};

const std::vector<CommandHelp>& Commands();
const CommandHelp* FindCommand(const std::string& name);
const char* Version();

// The command line after the sub-command: positional arguments, "--name value" options, and
// everything after a lone "--" (passed on untouched). `help` is set by "--help" (which takes no value).
struct Arguments {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;
  std::vector<std::string> passThrough;
  bool help = false;
};

// Splits the arguments ("--name value" or "--name=value"); false with a message for an option
// without a value, an option the command does not take, or a repeated option.
bool ParseArguments(const std::vector<std::string>& args, const CommandHelp& command, Arguments& parsed,
                    std::string& error);

// Prints the message and the command's usage (every command's without one) to stderr and returns
// kExitUsage.
int UsageError(const std::string& message, const char* command = nullptr);
// Prints the message to stderr and returns kExitFailed.
int Failure(const std::string& message);
// A warning on stderr; the command goes on.
void Warn(const std::string& message);
void PrintUsage(FILE* out);
void PrintCommandHelp(const CommandHelp& command, FILE* out);

// "1 VM", "3 VMs": a count with its noun.
std::string Counted(uint64_t count, const std::string& noun);
// A backup level in words: "full", "incremental", "level 64".
std::string LevelName(int64_t level);
// "full", "incremental" or a level number from 1; false otherwise.
bool ParseLevel(const std::string& text, int64_t& level);
// A time (seconds since 1970) as the runs of a job record it: "2026-12-07 08:33:00 UTC".
std::string TimeText(int64_t seconds);

// The absolute form of a path (the current directory prepended to a relative one).
std::string AbsolutePath(const std::string& path);
// Points the lab model at the lab folder; false with the reason when the folder is not a lab.
bool SelectLab(const std::string& folder, std::string& error);
// The job of "--job" (default kDefaultJob); false with the reason when it is not a positive number
// or the lab has no such job.
bool SelectJob(const Arguments& parsed, int64_t& jobId, std::string& error);
// The jobs of the subclient after the job that have run (lab::JobFolderShowsARun), in order. Each builds
// on the job's backups or reports a stub by them, so the job manager runs no attempt of the job once
// there is one. A job only made (create --job) has not run; one whose record does not read counts as the
// subclient's, and so does one whose folder is lost that its run's records (archives, index, history)
// name under no other subclient alone.
std::vector<int64_t> LaterJobsThatHaveRun(int64_t jobId, const std::string& subclient);
// The same, from the job ids the lab knows of (lab::FindKnownJobIds) read once by the caller.
std::vector<int64_t> LaterJobsThatHaveRun(const lab::KnownJobIds& known, int64_t jobId, const std::string& subclient);
// The subclient the job's record names: "1" when it names none or does not read.
std::string SubclientOfJob(int64_t jobId);
// The job of "--job", else the job that runs now, else the newest job that has run, else the newest
// one; false with the reason as SelectJob.
bool SelectJobOrNewest(const Arguments& parsed, int64_t& jobId, std::string& error);
// A number option within a range; false with the reason otherwise (value untouched when absent).
bool NumberOption(const Arguments& parsed, const std::string& name, int64_t min, int64_t max, int64_t& value,
                  std::string& error);
// A text option's value; `fallback` when it is absent.
std::string TextOption(const Arguments& parsed, const std::string& name, const std::string& fallback = std::string());
// A client of the lab by name; false with the reason when the name is not usable or the lab has none.
bool CheckClient(const std::string& client, std::string& error);
// The GUID of a VM of the lab named by name or GUID; false with the reason when there is none.
bool VMGuidOf(const std::string& vm, std::string& guid, std::string& error);
// The name a disk is backed up and indexed under: the disk of the VM (by name or GUID) by its number,
// image file or index name; without a VM, the disk of any VM by its image file or index name. False
// with the reason when the lab has no such disk.
bool DiskIndexName(const std::string& vm, const std::string& disk, std::string& indexName, std::string& error);
// Both names a disk (as DiskIndexName finds it) is backed up under: a disk-level backup's and a
// volume-level backup's.
bool DiskBackupNames(const std::string& vm, const std::string& disk, std::vector<std::string>& names,
                     std::string& error);

int Create(const std::vector<std::string>& args);
int Run(const std::vector<std::string>& args);
int Outcome(const std::vector<std::string>& args);
int Set(const std::vector<std::string>& args);
int Fault(const std::vector<std::string>& args);
int Disk(const std::vector<std::string>& args);
// Exits 1 when an archive is malformed or a VM's backup does not reassemble or match.
int Verify(const std::vector<std::string>& args);
int Session(const std::vector<std::string>& args);
// Powers a VM on or off, deletes it, or restores a stub's disks from its backups.
int VM(const std::vector<std::string>& args);
// The password is read from standard input.
int MediTech(const std::vector<std::string>& args);
// The lab tool started by the MEDITECH tool's name is that tool's stand-in.
bool IsMediTechToolName(const std::string& program);
int MediTechTool(int argc, char** argv);

// ---- The outcome of a job, shared by "run" and "outcome" ----
enum class JobState {
  kNoOutcome,           // the job process set no phase result
  kCompleted,
  kCompletedWithErrors,
  kPending,
  kFailed,
  kResumes,             // it resumes by itself
};
struct JobOutcome {
  JobState state = JobState::kNoOutcome;
  std::string words;       // how it ended, in words
  bool running = false;    // a run of the lab tool holds it now
  long runPid = 0;
  bool interrupted = false;  // its last run was interrupted
  // Its stub phase ran and has not ended, as the VMs it left taken show where runs.log does not.
  bool stubPhaseNotEnded = false;
};
JobOutcome ReadJobOutcome(int64_t jobId);
// True when the job has ended for good: completed, with errors, or failed. A job that is pending, whose
// process ended without an outcome or whose run was interrupted has not: the job manager resumes it.
bool HasEnded(const JobOutcome& outcome);
// The exit code of "run" for the outcome.
int OutcomeExitCode(const JobOutcome& outcome);
// Prints the outcome of a job of the selected lab and the lines of the client's log that matter.
void PrintOutcome(int64_t jobId, const std::string& client);
// A VM's status in words as the job manager records it (its status and stub status numbers): a stub
// or relocation is what happened to the VM, whatever status the job manager keeps beside it.
std::string VMStatusWords(int64_t status, int64_t stubStatus);

// ---- What "run" shows while the job runs and when it has ended (LabRunWatch.cpp) ----
// What the summary of a run needs beside the job's records.
struct RunSummary {
  double seconds = 0;
  std::string kind;   // "full backup", "snapshot catalogue"...
  int64_t level = 1;
  size_t run = 1;     // the job's first, second... run
  std::set<std::string> earlierArchives;  // the job's archive files from before this run
  size_t streamsAtStart = 0;  // the job's streams when the run started, reserved for it
  size_t streamsAtEnd = 0;
};

class RunWatch {
 public:
  explicit RunWatch(int64_t jobId);
  // Prints a line for each VM whose phase or percent changed since the last look.
  void Look();
  // The summary of the run: kind, duration, VMs by status (and those that went full in an
  // incremental), bytes this run read and sent, throughput, streams granted during the run.
  void PrintSummary(const RunSummary& summary);

 private:
  struct Shown {
    std::string phase;
    int percent = -1;
  };
  int64_t jobId_;
  std::map<std::string, Shown> shown_;  // by VM GUID
  std::map<std::string, std::string> names_;  // VM GUID -> name
  std::string Name(const std::string& guid);
};

}  // namespace labtool
