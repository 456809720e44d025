// A whole job as the job manager starts it: the real host program as coordinator, with its own
// in-process agent and two agent processes on further lab clients, over the real framework.
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>
#include <sys/wait.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/archive/ArchiveReader.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabSubclient.h"
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

class JobRun : public testing::Test {
 protected:
  testsupport::TestLab dir;
  const std::string labDir = dir.Path("lab");
  const std::string out = dir.Path("tool.txt");
};

TEST_F(JobRun, ACoordinatorAndTwoAgentProcessesBackUpEveryVMOnceAndTheBackupsRestore) {
  ASSERT_EQ(0, RunTool({"create", labDir, "--vms", "6"}, out)) << ReadText(out);
  ASSERT_EQ(0, RunTool({"run", labDir, "--", "-numStreams", "3"}, out)) << ReadText(out);
  lab::SetRoot(labDir);

  // Every VM has one final status: backed up, with nothing in the result file.
  const std::vector<std::string> guids = vsJobMgr::ReadVMStatusGuids(1001);
  ASSERT_EQ(6u, guids.size()) << ReadText(out);
  for (const std::string& guid : guids) {
    JobManager::VMUpdateInfo record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, guid, record)) << guid;
    EXPECT_EQ(0, record.getint64(JobManager::VMUpdateInfo::F_vmStatus)) << guid;
    EXPECT_EQ("", record.getstring(JobManager::VMUpdateInfo::F_failureText)) << guid;
  }
  EXPECT_TRUE(lab::ReadJobResultLines(1001).empty());
  // What was sent restores byte for byte: the archives read back whole and every disk matches the
  // point-in-time copy of the job.
  lab::SetRoot(std::string());
  ASSERT_EQ(0, RunTool({"verify", labDir}, out)) << ReadText(out);
  EXPECT_NE(std::string::npos, ReadText(out).find("6 VMs: 0 problems")) << ReadText(out);
  lab::SetRoot(labDir);

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
  EXPECT_NE(std::string::npos, coordinatorLog.find("VMs succeeded           [6]")) << coordinatorLog;
  lab::SetRoot(std::string());
}

// The extent items each VM's archive files of a job hold ("<disk>/<extent name>"), and whether
// every one of them read back well formed.
std::map<std::string, std::vector<std::string>> ExtentItemsByVM(int64_t jobId, bool& wellFormed) {
  std::map<std::string, std::vector<std::string>> items;
  wellFormed = true;
  for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(jobId)) {
    archive::ArchiveContents contents;
    archive::Problem problem;
    wellFormed = archive::ReadArchive(location.path, contents, problem) && wellFormed;
    if (contents.indexOnly) continue;
    std::vector<std::string>& list = items[contents.vmGuid];
    for (const archive::Item& item : contents.items)
      if (item.kind == archive::ItemKind::kExtent) list.push_back(item.name.substr(item.name.rfind('\\') + 1));
  }
  return items;
}

// A full job, a guest write to one extent of one disk, and an incremental job: the incremental
// learns each VM's disks from what the index kept of the full job and sends only the changed extent,
// whether it finds the change by change id or by extent checksums, with either indexing generation;
// both jobs restore byte for byte.
TEST_F(JobRun, AnIncrementalAfterAFullSendsOnlyTheChangedExtentAndBothJobsRestore) {
  struct Case {
    const char* name;
    bool checksums;  // change ids ignored: changes are found by extent checksums
    bool indexingV2;
  };
  const Case cases[] = {{"change ids, indexing V2", false, true},
                        {"extent checksums, indexing V2", true, true},
                        {"change ids, indexing V1", false, false}};
  const std::string changedVM = "50290000-0000-4000-8000-000000000001";
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    testsupport::TestLab caseDir;
    const std::string caseLab = caseDir.Path("lab");
    lab::SetRoot(std::string());
    // Time runs 60 times faster, so that the processes' waits between passes do not slow the test.
    ASSERT_EQ(0, RunTool({"create", caseLab, "--vms", "2", "--disks", "2", "--time-scale", "60"}, out))
        << ReadText(out);
    if (test.checksums) {
      for (const char* client : {"coordinator", "proxyA", "proxyB"})
        ASSERT_EQ(0, RunTool({"set", caseLab, client, "VirtualServer", "nIgnoreChangeId", "1"}, out)) << ReadText(out);
    }
    if (!test.indexingV2) {
      lab::SetRoot(caseLab);
      lab::SubclientRecord record;
      std::string error;
      ASSERT_EQ(lab::RecordRead::kRead, lab::ReadSubclientRecord("1", record, error)) << error;
      record.settings["indexingV2"] = "0";
      ASSERT_TRUE(lab::WriteSubclientRecord("1", record, error)) << error;
      lab::SetRoot(std::string());
      ASSERT_EQ(0, RunTool({"create", caseLab, "--vms", "2", "--disks", "2"}, out)) << ReadText(out);
    }
    ASSERT_EQ(0, RunTool({"run", caseLab, "--", "-numStreams", "3"}, out)) << ReadText(out);
    // Discovery leaves the next job its own collect file (a V1 collect file has no job id in its name).
    ::unlink((caseLab + "/clients/coordinator/JobResults/1/vmcollect.ztf").c_str());
    ASSERT_EQ(0, RunTool({"create", caseLab, "--vms", "2", "--disks", "2", "--job", "1002", "--time-scale", "60"}, out))
        << ReadText(out);
    // One guest write inside the second extent (1 MiB extents) of the VM's first disk.
    ASSERT_EQ(0, RunTool({"disk", caseLab, "vm01", "0", "write", "--offset", "1048581", "--bytes", "7"}, out))
        << ReadText(out);
    ASSERT_EQ(0, RunTool({"run", caseLab, "--job", "1002", "--", "-t", "2", "-numStreams", "3"}, out)) << ReadText(out);

    lab::SetRoot(caseLab);
    bool wellFormed = false;
    const auto full = ExtentItemsByVM(1001, wellFormed);
    EXPECT_TRUE(wellFormed);
    const auto incremental = ExtentItemsByVM(1002, wellFormed);
    EXPECT_TRUE(wellFormed);
    ASSERT_EQ(2u, full.size());
    ASSERT_EQ(2u, incremental.size());
    for (const auto& vm : incremental) {
      EXPECT_GT(full.at(vm.first).size(), 4u) << vm.first;
      const std::vector<std::string> expected =
          vm.first == changedVM ? std::vector<std::string>{"0000000000001"} : std::vector<std::string>{};
      EXPECT_EQ(expected, vm.second) << vm.first;
    }
    for (const std::string& guid : vsJobMgr::ReadVMStatusGuids(1002)) {
      JobManager::VMUpdateInfo record;
      ASSERT_TRUE(vsJobMgr::ReadVMStatus(1002, guid, record)) << guid;
      EXPECT_EQ(0, record.getint64(JobManager::VMUpdateInfo::F_vmStatus)) << guid;
    }
    std::string logs;
    for (const char* client : {"coordinator", "proxyA", "proxyB"}) logs += ReadText(lab::ClientLogPath(client, "quarn"));
    EXPECT_EQ(test.checksums, logs.find("Change Id will be ignored during backup") != std::string::npos);
    lab::SetRoot(std::string());
    ASSERT_EQ(0, RunTool({"verify", caseLab, "--job", "1002"}, out)) << ReadText(out);
    EXPECT_NE(std::string::npos, ReadText(out).find("(jobs 1001, 1002)")) << ReadText(out);
    ASSERT_EQ(0, RunTool({"verify", caseLab, "--job", "1001"}, out)) << ReadText(out);
  }
}

}  // namespace
