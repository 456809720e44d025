// quarn-lab run: starts the host program the way the job manager starts a job process: the argument
// vector directly (never a shell), "-j <job> -jt <token> -a <subclient> -t <level> -d <media agent>
// -cn <client>" followed by the extra options, and QUARN_LAB naming the lab. It waits for the program
// and prints how it ended and the job's outcome.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/lab/LabTool.h"
#include "platform/jobmgr/LabKeyValue.h"
#include "platform/lab/Lab.h"
#include "platform/os/ZtProcess.h"

extern char** environ;

namespace labtool {
namespace {

std::string DefaultProgram() { return ZtProcess::SelfFolder() + "/quarn"; }

std::string ConfOr(const std::map<std::string, std::string>& conf, const std::string& key,
                   const std::string& fallback) {
  auto it = conf.find(key);
  return it == conf.end() || it->second.empty() ? fallback : it->second;
}

}  // namespace

int Run(const std::vector<std::string>& args) {
  Arguments parsed;
  std::string error;
  if (!ParseArguments(args, {"job", "subclient", "client", "program"}, parsed, error)) return UsageError(error);
  if (parsed.positional.size() != 1) return UsageError("run takes exactly one lab folder");

  int64_t jobId = 0;
  if (!SelectLabJob(parsed, jobId, error)) return UsageError(error);
  std::string root = lab::Root();
  std::string jobDir = lab::JobDir(jobId);
  std::map<std::string, std::string> conf;
  if (!labkv::ReadFile(jobDir + "/job.conf", conf, error)) {
    std::fprintf(stderr, "quarn-lab: %s\n", error.c_str());
    return kExitFailed;
  }

  std::string subclient = parsed.options.count("subclient") ? parsed.options["subclient"] : ConfOr(conf, "subclient", "1");
  std::string client = parsed.options.count("client") ? parsed.options["client"] : ConfOr(conf, "client", "coordinator");
  if (!lab::IsSafeComponent(subclient)) return UsageError("subclient id '" + subclient + "' is not usable");
  if (!lab::IsSafeComponent(client)) return UsageError("client name '" + client + "' is not usable");
  if (!IsDirectory(lab::ClientDir(client))) return UsageError("the lab has no client " + client);
  std::string program = parsed.options.count("program") ? parsed.options["program"] : DefaultProgram();
  if (access(program.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "quarn-lab: cannot run %s: %s\n", program.c_str(), std::strerror(errno));
    return kExitFailed;
  }

  std::vector<std::string> argvText = {program,
                                       "-j", std::to_string(jobId),
                                       "-jt", ConfOr(conf, "token", "token-" + std::to_string(jobId)),
                                       "-a", subclient,
                                       "-t", ConfOr(conf, "bkpLevel", "1"),
                                       "-d", ConfOr(conf, "mediaAgent", "ma1"),
                                       "-cn", client};
  argvText.insert(argvText.end(), parsed.passThrough.begin(), parsed.passThrough.end());
  std::vector<char*> argv;
  for (std::string& text : argvText) argv.push_back(&text[0]);
  argv.push_back(nullptr);

  std::vector<std::string> envText;
  for (char** env = environ; env && *env; ++env) {
    if (std::strncmp(*env, "QUARN_LAB=", 10) != 0) envText.push_back(*env);
  }
  envText.push_back("QUARN_LAB=" + root);
  std::vector<char*> envp;
  for (std::string& text : envText) envp.push_back(&text[0]);
  envp.push_back(nullptr);

  std::fflush(stdout);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data());
  if (rc != 0) {
    std::fprintf(stderr, "quarn-lab: cannot start %s: %s\n", program.c_str(), std::strerror(rc));
    return kExitFailed;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      std::fprintf(stderr, "quarn-lab: lost the program: %s\n", std::strerror(errno));
      return kExitFailed;
    }
  }

  int exitCode = kExitFailed;
  if (WIFEXITED(status)) {
    exitCode = WEXITSTATUS(status);
    std::printf("%s exited with code %d\n", program.c_str(), exitCode);
  } else if (WIFSIGNALED(status)) {
    exitCode = 128 + WTERMSIG(status);
    std::printf("%s was killed by signal %d\n", program.c_str(), WTERMSIG(status));
  }
  PrintOutcome(jobId, client);
  return exitCode;
}

}  // namespace labtool
