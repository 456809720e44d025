// quarn-lab run: starts the host program the way the job manager starts a job process: the argument
// vector directly (never a shell), "-j <job> -jt <token> -a <subclient> -t <level> -d <media agent>
// -cn <client>" from the job's record, each replaced by the same option after "--", followed by the
// other options after "--", and the lab named in the environment. It waits for the program and says
// how it ended and what the job's outcome is.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/lab/LabTool.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabReservations.h"
#include "platform/jobclient/ZTClient.h"
#include "platform/os/ZtProcess.h"

extern char** environ;

namespace labtool {
namespace {

std::string DefaultProgram() { return ZtProcess::SelfFolder() + "/quarn"; }

std::string OrDefault(const std::string& value, const std::string& fallback) {
  return value.empty() ? fallback : value;
}

// The value after the option in the pass-through arguments; empty when it is not there.
std::string PassedValue(const std::vector<std::string>& passed, const std::string& option) {
  auto it = std::find(passed.begin(), passed.end(), option);
  return it == passed.end() || it + 1 == passed.end() ? std::string() : *(it + 1);
}

// The job manager's options, then the pass-through arguments; an option given after "--" replaces the
// tool's own, so "run LAB -- -t 2" runs an incremental job.
std::vector<std::string> JobArguments(const std::string& program,
                                      const std::vector<std::pair<std::string, std::string>>& options,
                                      const std::vector<std::string>& passed) {
  std::vector<std::string> argv = {program};
  for (const auto& option : options) {
    if (std::find(passed.begin(), passed.end(), option.first) != passed.end()) continue;
    argv.push_back(option.first);
    argv.push_back(option.second);
  }
  argv.insert(argv.end(), passed.begin(), passed.end());
  return argv;
}

// Runs the program with the lab in its environment; its exit code, or -1 when it could not be run.
int RunProgram(std::vector<std::string> argvText) {
  std::vector<char*> argv;
  for (std::string& text : argvText) argv.push_back(&text[0]);
  argv.push_back(nullptr);
  const std::string variable = std::string(lab::RootVariable()) + "=";
  std::vector<std::string> envText;
  for (char** env = environ; env && *env; ++env) {
    if (std::strncmp(*env, variable.c_str(), variable.size()) != 0) envText.push_back(*env);
  }
  envText.push_back(variable + lab::Root());
  std::vector<char*> envp;
  for (std::string& text : envText) envp.push_back(&text[0]);
  envp.push_back(nullptr);

  std::fflush(stdout);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data());
  if (rc != 0) {
    std::fprintf(stderr, "quarn-lab: cannot start %s: %s\n", argv[0], std::strerror(rc));
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      std::fprintf(stderr, "quarn-lab: lost the program: %s\n", std::strerror(errno));
      return -1;
    }
  }
  if (WIFSIGNALED(status)) {
    std::printf("%s was killed by signal %d\n", argv[0], WTERMSIG(status));
    return 128 + WTERMSIG(status);
  }
  std::printf("%s exited with code %d\n", argv[0], WEXITSTATUS(status));
  return WEXITSTATUS(status);
}

}  // namespace

int Run(const std::vector<std::string>& args) {
  Arguments parsed;
  std::string error;
  if (!ParseArguments(args, {"job", "subclient", "client", "program"}, parsed, error)) return UsageError(error);
  if (parsed.positional.size() != 1) return UsageError("run takes exactly one lab folder");
  int64_t jobId = 0;
  if (!SelectLab(parsed.positional[0], error) || !SelectJob(parsed, jobId, error)) return UsageError(error);

  // A record whose values could not be handed on as single arguments (a token "-client" would turn
  // the coordinator into an agent) is refused here, by its reader.
  lab::JobRecord record;
  if (!lab::ReadJobRecord(jobId, record, error)) return Failure("the job cannot be run: " + error);
  std::string subclient = TextOption(parsed, "subclient", OrDefault(record.subclient, "1"));
  std::string client = TextOption(parsed, "client", OrDefault(record.client, "coordinator"));
  if (!lab::IsSafeComponent(subclient) || !lab::IsSafeArgument(subclient))
    return UsageError("subclient id '" + subclient + "' is not usable");
  if (!lab::IsSafeComponent(client) || !lab::IsSafeArgument(client))
    return UsageError("client name '" + client + "' is not usable");
  if (!lab::IsDirectory(lab::ClientDir(client))) return UsageError("the lab has no client " + client);
  std::string program = TextOption(parsed, "program", DefaultProgram());
  if (access(program.c_str(), X_OK) != 0)
    return Failure("cannot run " + program + ": " + std::strerror(errno));

  // The job manager reserves the streams it grants before it starts the job process.
  const std::string streams = PassedValue(parsed.passThrough, "-numStreams");
  if (!streams.empty()) {
    int64_t count = 0;
    if (!labkv::ParseInt64InRange(streams, 0, lab::kMaxJobStreams, count))
      return UsageError("-numStreams takes 0 to " + std::to_string(lab::kMaxJobStreams) + " streams");
    std::string mediaAgent = PassedValue(parsed.passThrough, "-d");
    if (mediaAgent.empty()) mediaAgent = OrDefault(record.mediaAgent, lab::SampleMediaAgent());
    int64_t mediaAgentId = 0;
    ZTClient::getId(mediaAgent, mediaAgentId);
    if (!lab::ReserveJobStreams(jobId, static_cast<int>(count), static_cast<int32_t>(mediaAgentId), error))
      return Failure("the job's streams cannot be reserved: " + error);
  }

  const std::string jobText = std::to_string(jobId);
  std::vector<std::string> argv =
      JobArguments(program,
                   {{"-j", jobText},
                    {"-jt", OrDefault(record.token, lab::SampleJobToken(jobId))},
                    {"-a", subclient},
                    {"-t", std::to_string(record.bkpLevel)},
                    {"-d", OrDefault(record.mediaAgent, lab::SampleMediaAgent())},
                    {"-cn", client}},
                   parsed.passThrough);
  int exitCode = RunProgram(argv);
  if (exitCode < 0) return kExitFailed;

  // The outcome is read where the job process wrote it, whichever job and client "--" chose.
  int64_t shownJob = jobId;
  labkv::ParseInt64InRange(PassedValue(parsed.passThrough, "-j"), 1, INT64_MAX, shownJob);
  std::string passedClient = PassedValue(parsed.passThrough, "-cn");
  PrintOutcome(shownJob, lab::IsSafeComponent(passedClient) ? passedClient : client);
  return exitCode;
}

}  // namespace labtool
