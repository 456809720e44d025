#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/jobmgr/LabKeyValue.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/msg/vsXMLFile.h"
#include "records/messages/JobManagerMessages.h"
#include "records/messages/VirtualServerMessages.h"

extern char** environ;

namespace {

struct ToolResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class QuarnLabTool : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "quarn-labtool-XXXXXX").string();
    ASSERT_NE(nullptr, mkdtemp(&pattern[0]));
    dir_ = pattern;
    labDir_ = dir_ + "/lab";
  }
  void TearDown() override {
    lab::SetRoot(std::string());
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Runs quarn-lab with the arguments (argv directly), capturing both outputs.
  ToolResult Tool(const std::vector<std::string>& args) {
    std::vector<std::string> argvText = {QUARN_LAB_BINARY};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& text : argvText) argv.push_back(&text[0]);
    argv.push_back(nullptr);
    std::string outPath = dir_ + "/out.txt";
    std::string errPath = dir_ + "/err.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ToolResult result;
    pid_t pid = 0;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return result;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return result;
    // A crash must not pass for an exit code.
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    result.out = ReadAll(outPath);
    result.err = ReadAll(errPath);
    return result;
  }

  std::map<std::string, std::string> ReadConf(const std::string& path) {
    std::map<std::string, std::string> values;
    std::string error;
    EXPECT_TRUE(labkv::ReadFile(path, values, error)) << error;
    return values;
  }

  std::string dir_;
  std::string labDir_;
};

TEST_F(QuarnLabTool, CreateBuildsALabTheManagersAccept) {
  ToolResult created = Tool({"create", labDir_, "--vms", "3", "--clients", "coord,px1", "--subclient", "7",
                             "--job", "42"});
  ASSERT_EQ(0, created.exitCode) << created.err;

  for (const char* client : {"coord", "px1"}) {
    std::string base = labDir_ + "/clients/" + client;
    for (const char* sub : {"/registry/VirtualServer.ini", "/registry/Base.ini"})
      EXPECT_TRUE(std::filesystem::is_regular_file(base + sub)) << base + sub;
    for (const char* sub : {"/Temp", "/JobResults", "/Log_Files"})
      EXPECT_TRUE(std::filesystem::is_directory(base + sub)) << base + sub;
  }
  EXPECT_TRUE(std::filesystem::is_directory(labDir_ + "/media/ma1"));
  EXPECT_TRUE(std::filesystem::is_directory(labDir_ + "/index"));

  lab::SetRoot(labDir_);
  vsJobMgr jm;
  jm.setJobId("42");
  ASSERT_EQ(vsJobMgr::kInitOk, jm.initBackup());
  EXPECT_FALSE(jm.isFailbackBackup());
  std::string restart = "x";
  EXPECT_EQ(0, jm.CheckForRestart(restart));
  EXPECT_EQ("", restart);
  jm.deinit();

  vsAppMgr am;
  am.setAppIdStr("7");
  ASSERT_EQ(vsAppMgr::kRetOk, am.querySettings()) << am.getLastError();
  EXPECT_TRUE(am.isServerTypeVMWare());
  EXPECT_EQ((std::vector<std::string>{"coord", "px1"}), am.getMemberServers());
  EXPECT_FALSE(am.getSubclientGUID().empty());

  std::map<std::string, std::string> job = ReadConf(labDir_ + "/jobs/42/job.conf");
  EXPECT_EQ("coord", job["client"]);
  EXPECT_EQ("7", job["subclient"]);

  std::set<std::string> guids;
  std::string server = labDir_ + "/hypervisor/vcenter";
  EXPECT_TRUE(std::filesystem::is_regular_file(server + "/server.conf"));
  for (const char* name : {"vm01", "vm02", "vm03"}) {
    std::map<std::string, std::string> vm = ReadConf(server + "/vms/" + name + ".vm");
    EXPECT_EQ(name, vm["name"]);
    EXPECT_FALSE(vm["host"].empty());
    EXPECT_FALSE(vm["datastore"].empty());
    EXPECT_TRUE(guids.insert(vm["guid"]).second) << "GUIDs must differ";
    std::string disk = server + "/" + vm["disk0.file"];
    ASSERT_TRUE(std::filesystem::is_regular_file(disk)) << disk;
    EXPECT_EQ(std::to_string(std::filesystem::file_size(disk)), vm["disk0.sizeBytes"]);
  }
  EXPECT_FALSE(std::filesystem::exists(server + "/vms/vm04.vm"));

  // The job's VM collect file, as discovery leaves it, with its copy in the index cache.
  VirtualServer::VMCollectList list;
  ASSERT_TRUE(vsXMLFile(labDir_ + "/clients/coord/JobResults/7/vmcollect_42.ztf").Load(list));
  EXPECT_EQ(42, list.getint64(VirtualServer::VMCollectList::F_jobId));
  const CNMessageList& vms = list.getlistobject(VirtualServer::VMCollectList::F_vms, false);
  ASSERT_EQ(3u, vms.size());
  for (const CNMessagePtr& vm : vms) {
    EXPECT_EQ(1u, guids.count(vm->getstring(VirtualServer::VMCollect::F_vmGuid)));
    EXPECT_GT(vm->getint64(VirtualServer::VMCollect::F_vmClientId), 0);
  }
  EXPECT_TRUE(std::filesystem::is_regular_file(labDir_ + "/index/" + am.getSubclientGUID() + "/42/vmcollect_42.ztf"));
}

TEST_F(QuarnLabTool, OutcomeShowsEachVMsStatusAndTheResultFile) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "1", "--job", "7"}).exitCode);
  lab::SetRoot(labDir_);
  JobManager::VMUpdateInfo info;
  info.setstring(JobManager::VMUpdateInfo::F_vmName, "vm01");
  info.setint64(JobManager::VMUpdateInfo::F_vmStatus, 1);
  info.setstring(JobManager::VMUpdateInfo::F_failureText, "Agent Failure");
  vsJobMgr jm;
  jm.setJobId("7");
  ASSERT_TRUE(jm.setVMStatus("GUID-1", info));
  ASSERT_TRUE(lab::WriteFileAtomic(labDir_ + "/jobs/7/backup.out", "vm01 Skipped Agent Failure\n"));
  ToolResult outcome = Tool({"outcome", labDir_, "--job", "7"});
  EXPECT_EQ(0, outcome.exitCode);
  EXPECT_NE(std::string::npos, outcome.out.find("VM status:\n  vm01 [guid-1] Failed: Agent Failure\n")) << outcome.out;
  EXPECT_NE(std::string::npos, outcome.out.find("backup.out:\n  vm01 Skipped Agent Failure\n")) << outcome.out;
}

TEST_F(QuarnLabTool, CreateAgainKeepsWhatIsThere) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "1"}).exitCode);
  std::string jobConf = labDir_ + "/jobs/1001/job.conf";
  ASSERT_TRUE(lab::WriteFileAtomic(jobConf, "initFails=1\n"));
  ToolResult again = Tool({"create", labDir_, "--vms", "2", "--job", "1002"});
  ASSERT_EQ(0, again.exitCode) << again.err;
  EXPECT_EQ("initFails=1\n", ReadAll(jobConf));
  EXPECT_TRUE(std::filesystem::is_regular_file(labDir_ + "/jobs/1002/job.conf"));
  EXPECT_TRUE(std::filesystem::is_regular_file(labDir_ + "/hypervisor/vcenter/vms/vm02.vm"));
}

TEST_F(QuarnLabTool, BadArgumentsExitTwoWithUsage) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "0"}).exitCode);
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"explode"},
      {"create"},
      {"create", labDir_, labDir_},
      {"create", labDir_, "--vms"},
      {"create", labDir_, "--vms", "abc"},
      {"create", labDir_, "--vms", "-1"},
      {"create", labDir_, "--vms", "100000"},
      {"create", labDir_, "--clients", "a,a"},
      {"create", labDir_, "--clients", "..,b"},
      {"create", labDir_, "--clients", ","},
      {"create", labDir_, "--subclient", "../x"},
      {"create", labDir_, "--job", "0"},
      {"create", labDir_, "--job", "12x"},
      {"create", labDir_, "--job", "1", "--job", "2"},
      {"create", labDir_, "--colour", "blue"},
      {"run", dir_ + "/nolab"},
      {"run", labDir_, "--job", "5"},
      {"run", labDir_, "--client", "nobody"},
      {"run", labDir_, "--client", "../coordinator"},
      {"outcome", dir_ + "/nolab"},
      {"outcome", labDir_, "--job", "-3"},
      {"set", labDir_, "coordinator", "VirtualServer", "key"},
      {"set", labDir_, "nobody", "VirtualServer", "key", "1"},
      {"set", labDir_, "coordinator", "../Base", "key", "1"},
      {"set", labDir_, "coordinator", "VirtualServer", "a=b", "1"},
      {"set", labDir_, "coordinator", "VirtualServer", "key", "two\nlines"},
  };
  for (const auto& args : cases) {
    ToolResult result = Tool(args);
    std::string shown;
    for (const auto& arg : args) shown += arg + " ";
    EXPECT_EQ(2, result.exitCode) << shown;
    EXPECT_NE(std::string::npos, result.err.find("usage:")) << shown;
  }
  // Nothing was written by the refused calls.
  EXPECT_FALSE(std::filesystem::exists(labDir_ + "/jobs/12"));
}

TEST_F(QuarnLabTool, SetWritesAndReplacesOneSetting) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "0"}).exitCode);
  std::string ini = labDir_ + "/clients/proxyA/registry/VirtualServer.ini";
  ASSERT_TRUE(lab::WriteFileAtomic(ini, "# mine\nnStreamLimit=1\nother=x\nnStreamLimit = 9\n"));
  ASSERT_EQ(0, Tool({"set", labDir_, "proxyA", "VirtualServer", "nStreamLimit", "4"}).exitCode);
  ASSERT_EQ(0, Tool({"set", labDir_, "proxyA", "VirtualServer", "bNew", "1"}).exitCode);
  EXPECT_EQ("# mine\nnStreamLimit=4\nother=x\nbNew=1\n", ReadAll(ini));
  ASSERT_EQ(0, Tool({"set", labDir_, "proxyA", "Extra", "k", "v w"}).exitCode);
  EXPECT_EQ("k=v w\n", ReadAll(labDir_ + "/clients/proxyA/registry/Extra.ini"));
}

TEST_F(QuarnLabTool, RunStartsTheProgramAsTheJobManagerWould) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "0", "--job", "7"}).exitCode);
  std::string record = dir_ + "/argv.txt";
  std::string program = dir_ + "/fake-quarn";
  ASSERT_TRUE(lab::WriteFileAtomic(program, "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > " + record +
                                                "\necho \"LAB=$QUARN_LAB\" >> " + record +
                                                "\necho phaseSuccessful >> \"$QUARN_LAB/jobs/7/phase.txt\"\nexit 3\n"));
  ASSERT_EQ(0, chmod(program.c_str(), 0755));

  ToolResult run = Tool({"run", labDir_, "--job", "7", "--program", program, "--", "-numStreams", "2", "a b"});
  EXPECT_EQ(3, run.exitCode) << run.err;
  EXPECT_EQ("-j\n7\n-jt\ntoken-7\n-a\n1\n-t\n1\n-d\nma1\n-cn\ncoordinator\n-numStreams\n2\na b\nLAB=" + labDir_ + "\n",
            ReadAll(record));
  EXPECT_NE(std::string::npos, run.out.find("phaseSuccessful")) << run.out;

  ToolResult outcome = Tool({"outcome", labDir_, "--job", "7"});
  EXPECT_EQ(0, outcome.exitCode);
  EXPECT_NE(std::string::npos, outcome.out.find("phaseSuccessful"));
}

}  // namespace
