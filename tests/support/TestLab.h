#pragma once
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/ev/EvDebug.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabSettings.h"
#include "platform/lab/LabSnapshot.h"
#include "platform/lab/LabSubclient.h"

extern char** environ;

namespace testsupport {

// Starts a program with argv directly and this process's environment, its output and error text in
// outPath; its process id, -1 when it could not be started.
inline pid_t StartProgram(const std::vector<std::string>& args, const std::string& outPath) {
  std::vector<std::string> argText(args);
  std::vector<char*> argv;
  for (std::string& text : argText) argv.push_back(&text[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Waits for a program this process started; its exit status (128 + the signal when one ended it),
// -1 when there is no such program to wait for.
inline int WaitProgram(pid_t pid) {
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Points the process's lab model at a lab for as long as it lives, then back where it pointed before.
class LabRootScope {
 public:
  explicit LabRootScope(const std::string& root) : previous_(lab::Root()) { lab::SetRoot(root); }
  ~LabRootScope() { lab::SetRoot(previous_); }
  LabRootScope(const LabRootScope&) = delete;
  LabRootScope& operator=(const LabRootScope&) = delete;

 private:
  std::string previous_;
};

// The lab of one test: a fresh temporary folder that is the only lab of the process while the object
// lives (the environment's lab is hidden, the model's root points here, the focus client and the log
// start afresh), removed with everything in it at the end. Records are written through the lab model,
// as the stand-ins and the lab tool write them.
class TestLab {
 public:
  // focus: the client this process is (empty: the default client).
  explicit TestLab(const std::string& focus = std::string()) {
    const char* env = std::getenv(lab::RootVariable());
    if (env != nullptr) savedEnv_ = env, hadEnv_ = true;
    unsetenv(lab::RootVariable());
    std::string pattern = (std::filesystem::temp_directory_path() / "quarn-lab-test-XXXXXX").string();
    root_ = mkdtemp(&pattern[0]) ? pattern : std::string();
    previousRoot_ = lab::Root();
    previousFocus_ = lab::FocusClient();
    previousJob_ = lab::FocusJob();
    EvDebug::shutdownLog();
    lab::SetRoot(root_);
    lab::SetFocusClient(focus);
    lab::SetFocusJob(0);
  }
  // A lab made inside another test's lab hands the process back to it.
  ~TestLab() {
    RemoveProcessTables();
    EvDebug::shutdownLog();
    lab::SetRoot(previousRoot_);
    lab::SetFocusClient(previousFocus_);
    lab::SetFocusJob(previousJob_);
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
    if (hadEnv_) setenv(lab::RootVariable(), savedEnv_.c_str(), 1);
  }
  TestLab(const TestLab&) = delete;
  TestLab& operator=(const TestLab&) = delete;

  const std::string& Root() const { return root_; }
  // A plain file or folder of the test inside the lab folder (not a lab record).
  std::string Path(const std::string& name) const { return root_ + "/" + name; }

  // Builds the sample lab in this folder, as "quarn-lab create" does.
  bool Create(const lab::LabPlan& plan = lab::LabPlan()) {
    int kept = 0;
    std::string error;
    return lab::CreateLab(root_, plan, kept, error);
  }
  // Leaves the process without any lab until the end of the test.
  void RemoveLab() { lab::SetRoot(std::string()); }
  void Focus(const std::string& client) { lab::SetFocusClient(client); }

  // Makes the job's folder, makes it the test's current job and records this process's later job
  // events for it.
  bool UseJob(int64_t jobId) {
    job_ = jobId;
    EvDebug::setJobId(jobId);
    return lab::MakeDirs(lab::JobDir(jobId));
  }
  int64_t JobId() const { return job_; }
  bool AddJob(int64_t jobId, const lab::JobRecord& record = lab::JobRecord()) {
    std::string error;
    return lab::WriteJobRecord(jobId, record, error);
  }
  // Opens the process log ("quarn") on the focus client.
  bool OpenLog(int level = 2) {
    if (!EvDebug::initializeLog(1, "quarn")) return false;
    EvDebug::setLevel(level);
    return true;
  }
  std::string Log(const std::string& client = std::string()) const {
    std::string text;
    std::string error;
    lab::ReadRegularFile(lab::ClientLogPath(client.empty() ? lab::FocusClient() : client, "quarn"), 1 << 30, text,
                         error);
    return text;
  }
  bool Setting(const std::string& section, const std::string& key, const std::string& value,
               const std::string& client = std::string()) {
    std::string error;
    return lab::WriteSetting(client.empty() ? lab::FocusClient() : client, section, key, value, error);
  }
  // Replaces a settings section of the client (empty: the focus client) with the text as it stands.
  bool ReplaceSettings(const std::string& section, const std::string& text, const std::string& client = std::string()) {
    const std::string name = client.empty() ? lab::FocusClient() : client;
    return lab::MakeDirs(lab::ClientRegistryDir(name)) && lab::WriteFileAtomic(lab::SettingsPath(name, section), text);
  }
  // Replaces the subclient's record with the one the text describes (key=value lines).
  bool ReplaceSubclient(const std::string& appId, const std::string& text) {
    lab::SubclientRecord record;
    std::string error;
    return lab::ParseSubclientRecord(text, record, error) && lab::WriteSubclientRecord(appId, record, error);
  }
  bool Fault(const std::string& op, int code, const std::string& text = std::string(), int64_t after = 0,
             int64_t times = 1) {
    lab::FaultRule rule;
    rule.op = op;
    rule.code = code;
    rule.text = text;
    rule.after = after;
    rule.times = times;
    return Fault(rule);
  }
  bool Fault(const lab::FaultRule& rule) {
    std::string error;
    return lab::AddFaultRule(rule, error);
  }

  // What the job manager knows of the current job.
  std::vector<std::string> PhaseLines() const { return lab::ReadPhaseLines(job_); }
  std::vector<std::string> Events() const { return lab::ReadJobEvents(job_); }
  std::vector<std::string> Pending() const { return lab::ReadPendingCauses(job_); }

  // Runs a program with argv directly, standard output discarded and the lab of the model (this one
  // unless the test points elsewhere) in its environment; its exit status (128 + the signal when one
  // ended it), -1 when it could not run.
  int RunProgram(const std::vector<std::string>& args) const {
    std::vector<std::string> argText(args);
    std::vector<char*> argv;
    for (std::string& text : argText) argv.push_back(&text[0]);
    argv.push_back(nullptr);
    const std::string variable = std::string(lab::RootVariable()) + "=";
    std::vector<std::string> envText;
    for (char** env = environ; env && *env; ++env)
      if (std::string(*env).rfind(variable, 0) != 0) envText.push_back(*env);
    envText.push_back(variable + lab::Root());
    std::vector<char*> envp;
    for (std::string& text : envText) envp.push_back(&text[0]);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? WaitProgram(pid) : -1;
  }
  // Removes the per-host process tables that clients of labs in the folder made (System V segments
  // outlive their processes, and a test's must not outlive the test: a segment left behind can take
  // the key of another test's table). A lab the lab tool made for the test may lie in a folder of its
  // own inside. Call it before a lab folder of the test is removed.
  static void RemoveProcessTables(const std::string& folder) {
    if (folder.empty()) return;
    std::error_code ignored;
    for (std::filesystem::recursive_directory_iterator it(folder, ignored), end; !ignored && it != end;
         it.increment(ignored)) {
      if (it->path().filename() != "QUARN_IPC_SHARED_MEMORY") continue;
      const key_t key = ftok(it->path().c_str(), 0xFEFA);
      const int segment = key == static_cast<key_t>(-1) ? -1 : shmget(key, 0, 0);
      // Only a segment nobody is attached to: under a key that collides it may be another lab's.
      struct shmid_ds info;
      if (segment >= 0 && shmctl(segment, IPC_STAT, &info) == 0 && info.shm_nattch == 0)
        shmctl(segment, IPC_RMID, nullptr);
    }
  }

  // Runs the host program as the job manager would for job 1001, the extra options after the usual
  // ones.
  int RunJob(const std::vector<std::string>& extra, bool withAppId = true,
             const std::string& client = "coordinator") const {
    std::vector<std::string> args = {QUARN_HOST_BINARY, "-j", "1001", "-jt", "tok-1001"};
    if (withAppId) args.insert(args.end(), {"-a", "1"});
    args.insert(args.end(), {"-t", "2", "-d", "ma1", "-cn", client});
    args.insert(args.end(), extra.begin(), extra.end());
    return RunProgram(args);
  }

 private:
  void RemoveProcessTables() { RemoveProcessTables(root_); }

  std::string root_;
  int64_t job_ = 1001;
  std::string previousRoot_;
  std::string previousFocus_;
  int64_t previousJob_ = 0;
  std::string savedEnv_;
  bool hadEnv_ = false;
};

inline bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// The bytes of a disk image or of a snapshot's view, as a backup reads them; empty when it cannot be read.
inline std::string ReadDisk(const std::string& path) {
  lab::DiskReader disk;
  int errorNumber = 0;
  std::string error;
  if (!disk.Open(path, errorNumber, error)) return std::string();
  std::string bytes(static_cast<size_t>(disk.Size()), '\0');
  if (disk.Read(&bytes[0], bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) return std::string();
  return bytes;
}

inline size_t CountOf(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++count;
  return count;
}

}  // namespace testsupport
