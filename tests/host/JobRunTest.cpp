// A whole job as the job manager starts it: the real host program as coordinator, with its own
// in-process agent and two agent processes on further lab clients, over the real framework.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabCoordinator.h"
#include "records/messages/JobManagerMessages.h"
#include "support/TestLab.h"

extern char** environ;

namespace {

int RunTool(const std::vector<std::string>& args, const std::string& outPath) {
  std::vector<std::string> argvText = {QUARN_LAB_BINARY};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& text : argvText) argv.push_back(&text[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (rc != 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

std::string ReadText(const std::string& path) {
  std::string text, error;
  lab::ReadRegularFile(path, 64 << 20, text, error);
  return text;
}

TEST(JobRun, ACoordinatorAndTwoAgentProcessesEndEveryVMOnceAndClaimNoBackup) {
  testsupport::TestLab dir;
  const std::string labDir = dir.Path("lab");
  const std::string out = dir.Path("tool.txt");
  ASSERT_EQ(0, RunTool({"create", labDir, "--vms", "6"}, out)) << ReadText(out);
  ASSERT_EQ(0, RunTool({"run", labDir, "--", "-numStreams", "3"}, out)) << ReadText(out);
  lab::SetRoot(labDir);

  // Every VM has one final status, and none is reported backed up: the agents cannot back up yet.
  const std::vector<std::string> guids = vsJobMgr::ReadVMStatusGuids(1001);
  ASSERT_EQ(6u, guids.size()) << ReadText(out);
  for (const std::string& guid : guids) {
    JobManager::VMUpdateInfo record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, guid, record)) << guid;
    EXPECT_EQ(1, record.getint64(JobManager::VMUpdateInfo::F_vmStatus)) << guid << " must not pass for done";
    EXPECT_NE(std::string::npos, record.getstring(JobManager::VMUpdateInfo::F_failureText).find("not backed up"))
        << guid;
  }
  // The result file names each VM exactly once.
  std::map<std::string, int> linesPerVM;
  for (const std::string& line : lab::ReadJobResultLines(1001)) ++linesPerVM[line.substr(0, line.find(' '))];
  EXPECT_EQ(6u, linesPerVM.size());
  for (const auto& entry : linesPerVM) EXPECT_EQ(1, entry.second) << entry.first;

  // Each process of the job started and ended cleanly, the agents as agents of this job.
  for (const char* client : {"coordinator", "proxyA", "proxyB"}) {
    const std::string log = ReadText(lab::ClientLogPath(client, "quarn"));
    EXPECT_NE(std::string::npos, log.find("= quarn [BACKUP PHASE] has started")) << client;
    EXPECT_NE(std::string::npos, log.find("= [quarn] has exited [BACKUP PHASE]")) << client;
    if (std::string(client) != "coordinator") {
      EXPECT_NE(std::string::npos, log.find("-client")) << client;
    }
  }
  const std::string coordinatorLog = ReadText(lab::ClientLogPath("coordinator", "quarn"));
  for (const char* agent : {"coordinator", "proxyA", "proxyB"})
    EXPECT_NE(std::string::npos, coordinatorLog.find(std::string("Agent [") + agent + "] has initialized")) << agent;
  EXPECT_NE(std::string::npos, coordinatorLog.find("all VMs reported an error, failing the job."));
  lab::SetRoot(std::string());
}

}  // namespace
