#pragma once
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace apptest {

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

inline std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

// Runs a program with argv directly and QUARN_LAB set; returns its exit status (-1 when it could not run).
inline int RunProgram(const std::vector<std::string>& args, const std::string& labRoot) {
  std::vector<std::string> argText(args);
  std::vector<char*> argv;
  for (std::string& text : argText) argv.push_back(&text[0]);
  argv.push_back(nullptr);
  std::vector<std::string> envText;
  for (char** env = environ; env && *env; ++env)
    if (std::string(*env).rfind("QUARN_LAB=", 0) != 0) envText.push_back(*env);
  envText.push_back("QUARN_LAB=" + labRoot);
  std::vector<char*> envp;
  for (std::string& text : envText) envp.push_back(&text[0]);
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A fresh lab made by the lab tool, removed at the end.
class TempLab {
 public:
  TempLab() {
    char pattern[] = "/tmp/quarn-app-test-XXXXXX";
    root_ = mkdtemp(pattern);
    RunProgram({QUARN_LAB_BINARY, "create", root_}, root_);
  }
  ~TempLab() {
    std::string command = "rm -rf '" + root_ + "'";
    if (std::system(command.c_str()) != 0) {
    }
  }
  const std::string& Root() const { return root_; }
  std::string LogPath(const std::string& client = "coordinator") const {
    return root_ + "/clients/" + client + "/Log_Files/quarn.log";
  }
  std::string Log(const std::string& client = "coordinator") const { return ReadText(LogPath(client)); }
  std::vector<std::string> PhaseLines(int jobId = 1001) const {
    return ReadLines(root_ + "/jobs/" + std::to_string(jobId) + "/phase.txt");
  }
  void AppendFile(const std::string& relative, const std::string& text) const {
    std::ofstream out(root_ + "/" + relative, std::ios::app);
    out << text;
  }

  // Runs the host program as the job manager would, with the given options after the usual ones.
  int RunJob(const std::vector<std::string>& extra, bool withAppId = true,
             const std::string& client = "coordinator") const {
    std::vector<std::string> args = {QUARN_HOST_BINARY, "-j", "1001", "-jt", "tok-1001"};
    if (withAppId) {
      args.push_back("-a");
      args.push_back("1");
    }
    args.insert(args.end(), {"-t", "2", "-d", "ma1", "-cn", client});
    args.insert(args.end(), extra.begin(), extra.end());
    return RunProgram(args, root_);
  }

 private:
  std::string root_;
};

inline size_t CountOf(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++count;
  return count;
}

}  // namespace apptest
