#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/jobclient/JobToken.h"

#include "platform/appmgr/vsAppMgr.h"
#include "platform/frame/VSController.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabDisks.h"
#include "platform/archive/vsArchive.h"
#include "platform/lab/LabFaultOperations.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabMount.h"
#include "platform/os/CPxSha256.h"
#include "platform/os/FXString.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabHistory.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabJobRun.h"
#include "platform/lab/LabReservations.h"
#include "platform/lab/LabMachine.h"
#include "platform/lab/LabSettings.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/msg/vsXMLFile.h"
#include "platform/vminfo/LabVMInfo.h"
#include "records/messages/JobManagerMessages.h"
#include "records/messages/VirtualServerMessages.h"
#include "platform/lab/ChildProcess.h"
#include "support/BackupTestSupport.h"
#include "support/LabRunSupport.h"
#include "support/TestLab.h"

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

// The tool works on a lab folder inside the test's own folder.
class QuarnLabTool : public ::testing::Test {
 protected:
  void SetUp() override { labDir_ = dir_.Path("lab"); }

  // Runs quarn-lab with the arguments (argv directly), capturing both outputs; the tool is pointed at
  // its lab by its arguments only.
  ToolResult Tool(const std::vector<std::string>& args) {
    std::vector<std::string> argvText = {QUARN_LAB_BINARY};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& text : argvText) argv.push_back(&text[0]);
    argv.push_back(nullptr);
    std::string outPath = dir_.Path("out.txt");
    std::string errPath = dir_.Path("err.txt");
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
  // Reads the tool's lab through the model from here on.
  void UseToolLab() { lab::SetRoot(labDir_); }
  // A program that writes its arguments, one a line, to argv.txt and ends with exit code 3.
  std::string RecordingProgram() {
    std::string program = dir_.Path("fake-quarn");
    EXPECT_TRUE(lab::WriteFileAtomic(program, "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > " +
                                                  dir_.Path("argv.txt") + "\nexit 3\n"));
    EXPECT_EQ(0, chmod(program.c_str(), 0755));
    return program;
  }
  // The VM of the tool's one-VM lab mounted for a job as a backup mounts it, with the job's stream to
  // send an archive on; unmounted by the test.
  struct MountedForJob {
    vsJobMgr job;
    LabVMInfo vmInfo{101, "vcenter"};
    MountCtx ctx;
    lab::MountRecord mount;
  };
  void MountForJob(const std::string& guid, int64_t jobId, MountedForJob& mounted) {
    mounted.job.setJobId(std::to_string(jobId));
    mounted.job.setMediaAgent("ma1");
    mounted.ctx.vmGuid = guid;
    mounted.ctx.jobId = static_cast<uint64_t>(jobId);
    mounted.ctx.mountPath = dir_.Path("mount-" + std::to_string(jobId));
    ASSERT_EQ(1, mounted.vmInfo.MountVM(mounted.ctx)) << mounted.vmInfo.GetErrorCode();
    std::string error;
    ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMountRecord("vcenter", jobId, guid, mounted.mount, error)) << error;
  }

  testsupport::TestLab dir_;
  std::string labDir_;
};

TEST_F(QuarnLabTool, CreateBuildsALabTheStandInsAccept) {
  ToolResult created = Tool({"create", labDir_, "--vms", "3", "--clients", "coord,px1", "--subclient", "7", "--job",
                             "42", "--time-scale", "60", "--cpus", "16", "--memory", "32768", "--os", "linux"});
  ASSERT_EQ(0, created.exitCode) << created.err;
  UseToolLab();

  for (const char* client : {"coord", "px1"}) {
    std::string value;
    EXPECT_TRUE(lab::ReadSetting(client, "VirtualServer", "nStartAgentThreads", value)) << client;
    EXPECT_TRUE(lab::ReadSetting(client, "Base", "nQuarnDebugLevel", value)) << client;
    for (const std::string& dir : {lab::ClientTempDir(client), lab::ClientJobResultsDir(client), lab::ClientLogDir(client)})
      EXPECT_TRUE(lab::IsDirectory(dir)) << dir;
    lab::MachineRecord machine;
    std::string error;
    ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMachineRecord(client, machine, error)) << error;
    EXPECT_EQ(16, machine.cpus);
    EXPECT_EQ(32768, machine.memoryMB);
    EXPECT_EQ("linux", machine.os);
    EXPECT_EQ(client, machine.hostName);
  }
  EXPECT_TRUE(lab::IsDirectory(lab::MediaAgentDir("ma1")));
  EXPECT_TRUE(lab::IsDirectory(lab::IndexDir()));

  vsJobMgr jm;
  jm.setJobId("42");
  ASSERT_EQ(vsJobMgr::kInitOk, jm.initBackup());
  jm.deinit();
  lab::JobRecord job;
  std::string error;
  ASSERT_TRUE(lab::ReadJobRecord(42, job, error)) << error;
  EXPECT_EQ("coord", job.client);
  EXPECT_EQ("7", job.subclient);
  EXPECT_EQ(60, job.timeScale);

  vsAppMgr am;
  am.setAppIdStr("7");
  ASSERT_EQ(vsAppMgr::kRetOk, am.querySettings()) << am.getLastError();
  EXPECT_TRUE(am.isServerTypeVMWare());
  EXPECT_EQ((std::vector<std::string>{"coord", "px1"}), am.getMemberServers());

  std::set<std::string> guids;
  for (const char* name : {"vm01", "vm02", "vm03"}) {
    lab::VMDescription vm;
    ASSERT_TRUE(lab::FindVM(lab::SampleServer(), name, vm)) << name;
    EXPECT_FALSE(vm.host.empty());
    EXPECT_TRUE(guids.insert(vm.guid).second) << "GUIDs must differ";
    ASSERT_EQ(1u, vm.disks.size());
    struct stat st;
    ASSERT_EQ(0, stat(lab::DiskImagePath(lab::SampleServer(), vm.disks[0].file).c_str(), &st));
    EXPECT_EQ(vm.disks[0].sizeBytes, static_cast<uint64_t>(st.st_size));
  }
  lab::VMDescription none;
  EXPECT_FALSE(lab::FindVM(lab::SampleServer(), "vm04", none));

  // The job's VM collect file, as discovery leaves it, with its copy in the index cache.
  VirtualServer::VMCollectList list;
  ASSERT_TRUE(vsXMLFile(lab::SubclientJobResultsDir("coord", "7") + "/vmcollect_42.ztf").Load(list));
  EXPECT_EQ(42, list.getint64(VirtualServer::VMCollectList::F_jobId));
  const CNMessageList& vms = list.getlistobject(VirtualServer::VMCollectList::F_vms, false);
  ASSERT_EQ(3u, vms.size());
  for (const CNMessagePtr& vm : vms) {
    EXPECT_EQ(1u, guids.count(vm->getstring(VirtualServer::VMCollect::F_vmGuid)));
    EXPECT_GT(vm->getint64(VirtualServer::VMCollect::F_vmClientId), 0);
  }
  EXPECT_TRUE(lab::IsDirectory(lab::IndexJobDir(am.getSubclientGUID(), 42, error)));
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
  ASSERT_TRUE(lab::AppendJobResultLine(7, "vm01 Skipped Agent Failure"));
  ToolResult outcome = Tool({"outcome", labDir_, "--job", "7"});
  EXPECT_EQ(0, outcome.exitCode);
  EXPECT_NE(std::string::npos, outcome.out.find("VM status:\n  vm01 [guid-1] Failed: Agent Failure\n")) << outcome.out;
  EXPECT_NE(std::string::npos, outcome.out.find("backup.out:\n  vm01 Skipped Agent Failure\n")) << outcome.out;

  // A VM of the job that the job manager holds no record of is backed up again by a later attempt only
  // until a later job of the subclient has run; from then on the outcome says what stands: the first later
  // job that holds a record of the VM, with its status there, or that the later job holds none.
  lab::PhaseLine done;
  ASSERT_TRUE(lab::ParsePhaseLine("phaseSuccessful", done));
  ASSERT_TRUE(lab::AppendPhaseLine(7, done));
  const std::string unrecorded = "\n  vm01 [" + lab::SampleVMGuid(1) + "]: no attempt of the job recorded it; the job "
                                 "holds no archive of it";
  const std::string stands = ", and the job manager runs no attempt of job 7 again\n";
  struct Later {
    int64_t job;
    bool runsLog;       // its run in runs.log
    bool holdsARecord;  // a record of vm01 with the job manager (a job process's: the job has run)
    std::string says;
  } later[] = {
      {0, false, false, ", and a later attempt of the job backs it up\n"},
      {8, true, false, "; job 8 has started since and holds no record of it" + stands},
      {9, false, true, "; job 9, which has started since, reports it Backed up" + stands},
      {10, false, false, "; job 9, which has started since, reports it Backed up" + stands},  // only made
  };
  for (const Later& l : later) {
    if (l.job != 0) {
      ASSERT_EQ(0, Tool({"create", labDir_, "--job", std::to_string(l.job)}).exitCode);
      lab::SetRoot(labDir_);
      std::string error;
      if (l.runsLog) {
        ASSERT_TRUE(lab::AppendRunEvent(l.job, "started 2026-12-07 08:33:00 UTC pid=12 phase=backup"));
      }
      JobManager::VMUpdateInfo backedUp;
      backedUp.setstring(JobManager::VMUpdateInfo::F_vmName, "vm01");
      if (l.holdsARecord) {
        ASSERT_TRUE(lab::SaveVMStatus(l.job, FXString::ToLower(lab::SampleVMGuid(1)), backedUp, true, error)) << error;
      }
    }
    outcome = Tool({"outcome", labDir_, "--job", "7"});
    EXPECT_NE(std::string::npos, outcome.out.find(unrecorded + l.says)) << l.job << ": " << outcome.out;
  }

  // A job only made says that no attempt of it has run, and, once a later job of its subclient has run,
  // that none will; nothing is promised of its VMs, of which the job manager holds no record.
  const std::string made = "\nno attempt of job 10 has run: it was made and never run, and it holds no backup";
  const std::string noneWill = "; none will: job 11 of subclient 1 has started since, and the job manager runs no "
                               "attempt of job 10 after it";
  for (bool laterRan : {false, true}) {
    if (laterRan) {
      ASSERT_EQ(0, Tool({"create", labDir_, "--job", "11"}).exitCode);
      lab::SetRoot(labDir_);
      ASSERT_TRUE(lab::AppendRunEvent(11, "started 2026-12-07 08:33:00 UTC pid=12 phase=backup"));
    }
    outcome = Tool({"outcome", labDir_, "--job", "10"});
    EXPECT_EQ(0, outcome.exitCode) << outcome.err;
    EXPECT_NE(std::string::npos, outcome.out.find(made + (laterRan ? noneWill : std::string()) + "\n")) << outcome.out;
    EXPECT_EQ(std::string::npos, outcome.out.find("what stands for each VM")) << outcome.out;
    EXPECT_EQ(std::string::npos, outcome.out.find("holds no record of:")) << outcome.out;
    EXPECT_NE(std::string::npos, outcome.out.find("VM status:\n  (none)\n")) << outcome.out;
  }
}

TEST_F(QuarnLabTool, CreateAgainKeepsWhatIsThere) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "1", "--hypervisor", "hyperv"}).exitCode);
  UseToolLab();
  std::string error;
  ASSERT_TRUE(lab::UpdateJobRecord(
      1001, [](lab::JobRecord& job, std::string&) { job.restart = "kept"; return true; }, error));
  ASSERT_TRUE(lab::WriteSetting("proxyA", "VirtualServer", "nStartAgentThreads", "9", error));
  ToolResult again = Tool({"create", labDir_, "--vms", "2", "--job", "1002"});
  ASSERT_EQ(0, again.exitCode) << again.err;
  EXPECT_NE(std::string::npos, again.out.find("existing files kept"));
  lab::JobRecord job;
  ASSERT_TRUE(lab::ReadJobRecord(1001, job, error));
  EXPECT_EQ("kept", job.restart);
  std::string value;
  ASSERT_TRUE(lab::ReadSetting("proxyA", "VirtualServer", "nStartAgentThreads", value));
  EXPECT_EQ("9", value);
  EXPECT_TRUE(lab::JobRecordExists(1002));
  EXPECT_TRUE(lab::VMDescriptionExists(lab::SampleServer(), "vm02"));
  lab::LabPlan plan;
  ASSERT_TRUE(lab::ReadLabPlan(plan, error)) << error;
  EXPECT_EQ(lab::HypervisorKindType("hyperv"), plan.instanceType) << "the next job keeps the lab's hypervisor kind";
}

TEST_F(QuarnLabTool, BadArgumentsExitWithTheUsageCodeAndChangeNothing) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "0"}).exitCode);
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"explode"},
      {"create"},
      {"create", labDir_, labDir_},
      {"create", labDir_, "--vms"},
      {"create", labDir_, "--vms", "abc"},
      {"create", labDir_, "--vms", "-1"},
      {"create", labDir_, "--vms", "501"},
      {"create", labDir_, "--clients", "a,a"},
      {"create", labDir_, "--clients", "..,b"},
      {"create", labDir_, "--clients", ","},
      {"create", labDir_, "--clients", "-client"},
      {"create", labDir_, "--subclient", "../x"},
      {"create", labDir_, "--job", "0"},
      {"create", labDir_, "--job", "12x"},
      {"create", labDir_, "--job", "1", "--job", "2"},
      {"create", labDir_, "--time-scale", "0"},
      {"create", labDir_, "--time-scale", "3601"},
      {"create", labDir_, "--hypervisor", "vmwar"},
      {"create", labDir_, "--cpus", "4097"},
      {"create", labDir_, "--os", "plan9"},
      {"create", labDir_, "--colour", "blue"},
      {"create", labDir_, "--disk-images", ","},
      {"create", labDir_, "--disks", "2", "--disk-images", dir_.Path("nofile") + "," + dir_.Path("nofile")},
      {"run", dir_.Path("nolab")},
      {"run", labDir_, "--job", "5"},
      {"run", labDir_, "--client", "nobody"},
      {"run", labDir_, "--client", "../coordinator"},
      {"run", labDir_, "--client", "-client"},
      {"outcome", dir_.Path("nolab")},
      {"outcome", labDir_, "--job", "-3"},
      {"set", labDir_, "coordinator", "VirtualServer", "key"},
      {"set", labDir_, "nobody", "VirtualServer", "key", "1"},
      {"set", labDir_, "coordinator", "../Base", "key", "1"},
      {"set", labDir_, "coordinator", "VirtualServer", "a=b", "1"},
      {"set", labDir_, "coordinator", "VirtualServer", "key", "two\nlines"},
      {"set", labDir_, "coordinator", "--cpus", "0"},
      {"set", labDir_, "coordinator", "--addresses", "10.0.0.1/255.0.255.0"},
      {"set", labDir_, "nobody", "--cpus", "2"},
      {"set", labDir_, "--job", "1001", "--time-scale", "3601"},
      {"set", labDir_, "--job", "12", "--time-scale", "2"},
      {"fault", labDir_, "add", "jobmgr.initBackup"},
      {"fault", labDir_, "add", "jobmgr.initBackup", "--code", "0"},
      {"fault", labDir_, "add", "jobmgr.initBackup", "--code", "1", "--times", "0"},
      {"fault", labDir_, "add", "jobmgr.initBackup", "--code", "1", "--after", "1000000001"},
      {"fault", labDir_, "add", "two words", "--code", "1"},
      {"fault", labDir_, "wipe"},
      {"outcome", labDir_, "--client", "nobody"},
      {"verify", labDir_, "--image", "7=/dev/null"},
      {"create", labDir_, "--disk-size", "0"},
      {"create", labDir_, "--disk-images", dir_.Path("missing.img")},
      {"create", labDir_, "--vms=501"},
      {"create", labDir_, "--level", "partial"},
      {"create", labDir_, "--level", "0"},
      // A name the lab does not have is a bad argument to every command.
      {"disk", labDir_, "vm99", "0", "write", "--percent", "1"},
      {"verify", labDir_, "--vm", "vm99"},
      {"verify", labDir_, "--job", "1009"},
      {"vm", labDir_, "vm99", "power", "off"},
      {"vm", labDir_, "vm99", "delete"},
      {"outcome", labDir_, "--job", "1009"},
      {"fault", labDir_, "add", "disk.Read", "--vm", "vm99", "--code", "5"},
      {"session", labDir_, "go-ahead", "--client", "nobody", "--service", "s", "--vm", "g"},
      {"session", labDir_, "listen", "--client", "nobody", "--service", "s"},
      {"meditech", labDir_, "--vms", "vm99"},
      {"run", labDir_, "--program", dir_.Path("no-program")},
      {"run", labDir_, "--", "-t", "0"},
      {"run", labDir_, "--", "-numStreams", "-1"},
      // A run is its job's own: a subclient the lab does not have, or not the job record's, and a job or
      // subclient id that does not read as the lab's records name it.
      {"run", labDir_, "--subclient", "2"},
      {"run", labDir_, "--job", "1001", "--subclient", "2"},
      {"run", labDir_, "--", "-a", "2"},
      {"run", labDir_, "--", "-a", "01"},
      {"run", labDir_, "--job", "1001", "--", "-a", "1x"},
      {"run", labDir_, "--", "-a"},
      {"run", labDir_, "--", "-j", "1001x"},
      {"run", labDir_, "--", "-j", " 1001"},
      {"run", labDir_, "--job", "1001", "--", "-j", "+1001"},
      {"run", labDir_, "--", "-j", "1001 "},
      {"run", labDir_, "--", "-j", "01001"},
      {"run", labDir_, "--", "-j", "1009"},
      {"run", labDir_, "--", "-j"},
      {"create", labDir_, "--job", "500000"},
  };
  const std::map<std::string, std::string> labBefore = labrun::LabTree(labDir_);
  for (const auto& args : cases) {
    ToolResult result = Tool(args);
    std::string shown;
    for (const auto& arg : args) shown += arg + " ";
    EXPECT_EQ(64, result.exitCode) << shown;
    EXPECT_NE(std::string::npos, result.err.find("usage:")) << shown;
  }
  EXPECT_EQ("", labrun::LabTreeChanges(labBefore, labrun::LabTree(labDir_))) << "a bad argument changed the lab";
  UseToolLab();
  EXPECT_FALSE(lab::JobExists(12));
  EXPECT_TRUE(lab::ReadRunEvents(1001).empty()) << "no refused run started the job";
  lab::MachineRecord machine;
  std::string error;
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMachineRecord("coordinator", machine, error));
  EXPECT_EQ(lab::MachineRecord().cpus, machine.cpus);
  lab::FaultTable table;
  ASSERT_TRUE(lab::ReadFaultTable(table, error));
  EXPECT_TRUE(table.rules.empty());
}

TEST_F(QuarnLabTool, SetChangesSettingsMachinesAndTheTimeScale) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "0"}).exitCode);
  UseToolLab();
  ASSERT_TRUE(lab::WriteFileAtomic(lab::SettingsPath("proxyA", "VirtualServer"),
                                   "# mine\nnStreamLimit=1\nother=x\nnStreamLimit = 9\n"));
  ASSERT_EQ(0, Tool({"set", labDir_, "proxyA", "VirtualServer", "nStreamLimit", "4"}).exitCode);
  ASSERT_EQ(0, Tool({"set", labDir_, "proxyA", "VirtualServer", "bNew", "1"}).exitCode);
  EXPECT_EQ("# mine\nother=x\nnStreamLimit=4\nbNew=1\n", ReadAll(lab::SettingsPath("proxyA", "VirtualServer")));
  ASSERT_EQ(0, Tool({"set", labDir_, "proxyA", "Extra", "k", "v w"}).exitCode);
  std::string value;
  ASSERT_TRUE(lab::ReadSetting("proxyA", "Extra", "k", value));
  EXPECT_EQ("v w", value);

  // Two clients with their own CPU counts and subnets report them as their local computer.
  ToolResult machine = Tool({"set", labDir_, "proxyA", "--cpus", "2", "--addresses", "10.1.0.5/255.255.0.0"});
  ASSERT_EQ(0, machine.exitCode) << machine.err;
  ASSERT_EQ(0, Tool({"set", labDir_, "proxyB", "--cpus", "32", "--memory", "65536", "--os", "linux",
                     "--addresses", "192.168.7.20/255.255.255.0,fd00::7/ffff:ffff:ffff:ffff::",
                     "--hypervisor-host", "esx2", "--vm-guid", "5029-0042"})
                   .exitCode);
  struct Expected {
    const char* client;
    int64_t cpus, memory, os;
    std::vector<std::pair<std::string, std::string>> addresses;
  } expected[] = {
      {"proxyA", 2, 8192, 1, {{"10.1.0.5", "255.255.0.0"}}},
      {"proxyB", 32, 65536, 0, {{"192.168.7.20", "255.255.255.0"}, {"fd00::7", "ffff:ffff:ffff:ffff::"}}},
  };
  for (const Expected& e : expected) {
    lab::SetFocusClient(e.client);
    VSController controller;
    int64_t cpus = 0, memory = 0, os = -1;
    ASSERT_TRUE(controller.FillLocalComputerInfo(cpus, memory, os)) << e.client;
    EXPECT_EQ(e.cpus, cpus);
    EXPECT_EQ(e.memory, memory);
    EXPECT_EQ(e.os, os);
    std::vector<std::pair<std::string, std::string>> addresses;
    ASSERT_TRUE(controller.FillLocalIPAddressInfo(addresses));
    EXPECT_EQ(e.addresses, addresses);
    EXPECT_EQ(e.client, VSController::GetLocalComputerName());
  }
  lab::MachineRecord proxyB;
  std::string error;
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMachineRecord("proxyB", proxyB, error));
  EXPECT_TRUE(proxyB.IsVM());
  EXPECT_EQ("esx2", proxyB.hypervisorHost);
  ASSERT_EQ(0, Tool({"set", labDir_, "proxyB", "--vm-guid", "none", "--host-name", "pb.lab"}).exitCode);
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMachineRecord("proxyB", proxyB, error));
  EXPECT_FALSE(proxyB.IsVM());
  EXPECT_EQ(32, proxyB.cpus) << "options not given keep their values";
  lab::SetFocusClient("proxyB");
  EXPECT_EQ("pb.lab", VSController::GetLocalComputerName());

  // The time scale at its limits.
  ASSERT_EQ(0, Tool({"set", labDir_, "--job", "1001", "--time-scale", "3600"}).exitCode);
  lab::JobRecord job;
  ASSERT_TRUE(lab::ReadJobRecord(1001, job, error));
  EXPECT_EQ(3600, job.timeScale);
  ASSERT_EQ(0, Tool({"set", labDir_, "--job", "1001", "--time-scale", "1"}).exitCode);
  ASSERT_TRUE(lab::ReadJobRecord(1001, job, error));
  EXPECT_EQ(1, job.timeScale);
}

TEST_F(QuarnLabTool, RunStartsTheProgramAsTheJobManagerWould) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "0", "--job", "7"}).exitCode);
  std::string program = RecordingProgram();
  ToolResult run = Tool({"run", labDir_, "--job", "7", "--program", program, "--", "-numStreams", "2", "a b"});
  EXPECT_EQ(2, run.exitCode) << "a job process that ends without an outcome leaves the job pending: " << run.err;
  EXPECT_EQ("-j\n7\n-jt\n7:2:1:4\n-a\n1\n-t\n1\n-d\nma1\n-cn\ncoordinator\n-numStreams\n2\na b\n",
            ReadAll(dir_.Path("argv.txt")));
  // The token is one the job's processes read: this job's first attempt.
  long long tokenJob = 0;
  unsigned long commcell = 0, attempt = 0, phase = 0;
  ASSERT_TRUE(parseJobToken("7:2:1:4", tokenJob, commcell, attempt, phase));
  EXPECT_EQ(7, tokenJob);
  EXPECT_EQ(1u, attempt);
  EXPECT_NE(std::string::npos, run.out.find("job 7: pending: the job process ended (status=3) without an outcome"))
      << run.out;
  // The streams it grants are reserved on the job's media agent first (client id 1 in a new lab); a
  // process that ends without a result does not give them back, so the job manager takes them.
  UseToolLab();
  lab::ReservationLedger ledger;
  std::string error;
  ASSERT_TRUE(lab::ReadReservationLedger(7, ledger, error)) << error;
  ASSERT_EQ(2u, ledger.reservations.size());
  for (const lab::Reservation& reservation : ledger.reservations) {
    EXPECT_EQ(1, reservation.mediaAgentId);
    EXPECT_EQ("left", reservation.why);
  }
  EXPECT_EQ(0, ledger.CountReserved());
  EXPECT_NE(std::string::npos, run.out.find("the job process of job 7 left 2 streams reserved: given back\n"))
      << run.out;
  EXPECT_NE(std::string::npos, run.out.find("stream reservations:\n  rcid=1 reservation=1 stream=1")) << run.out;
  run = Tool({"run", labDir_, "--job", "7", "--program", program, "--", "-numStreams", "1001"});
  EXPECT_EQ(64, run.exitCode);
  EXPECT_NE(std::string::npos, run.err.find("-numStreams takes 0 to 1000 streams")) << run.err;

  // Options after "--" replace the tool's own: "-t 2" runs an incremental.
  // Without "-numStreams" the job record's streams (one per client of the lab) are reserved and passed.
  ASSERT_EQ(0, Tool({"create", labDir_, "--job", "8"}).exitCode);
  run = Tool({"run", labDir_, "--job", "8", "--program", program, "--", "-t", "2", "-jt", "other"});
  EXPECT_EQ(2, run.exitCode) << run.err;
  EXPECT_EQ("-j\n8\n-a\n1\n-d\nma1\n-cn\ncoordinator\n-numStreams\n3\n-t\n2\n-jt\nother\n",
            ReadAll(dir_.Path("argv.txt")));

  // The run says what kind of job its options make it, here and in its summary.
  const std::pair<std::vector<std::string>, std::string> kinds[] = {
      {{"-snap"}, "full snapshot backup"},
      {{"-snaptape", "-snapJID", "9"}, "backup copy of a snapshot"},
      {{"-snapcatalog", "-snapJID", "9"}, "snapshot catalogue"},
  };
  int64_t job = 9;
  for (const auto& kind : kinds) {
    const std::string id = std::to_string(job++);
    ASSERT_EQ(0, Tool({"create", labDir_, "--job", id}).exitCode);
    std::vector<std::string> args = {"run", labDir_, "--job", id, "--program", program, "--"};
    args.insert(args.end(), kind.first.begin(), kind.first.end());
    run = Tool(args);
    EXPECT_NE(std::string::npos, run.out.find("running job " + id + " (" + kind.second + ") on coordinator")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("summary of job " + id + ": " + kind.second + ", ")) << run.out;
  }
}

// A stream an earlier run's process still has open, and that process still runs: the next run does
// not take it (the process writes to it) and is refused before it starts the program or changes the
// job; the streams nobody holds are given back. Once the process has ended the run goes on, and gives
// its stream back too.
TEST_F(QuarnLabTool, RunIsRefusedWhileAProcessOfAnEarlierRunHasAStreamOpen) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "0", "--job", "7"}).exitCode);
  const std::string program = RecordingProgram();
  UseToolLab();
  labtest::ChildProcess writer(labtest::ChildProcess::State::kRunning, false);
  const std::string holder = "proxyA:" + std::to_string(writer.pid());
  std::string error;
  ASSERT_TRUE(lab::ReserveJobStreams(7, 2, 1, error)) << error;
  ASSERT_TRUE(lab::UpdateReservationLedger(
      7,
      [&](lab::ReservationLedger& ledger, std::string&) {
        ledger.reservations[1].holder = holder;
        return true;
      },
      error))
      << error;
  ToolResult run = Tool({"run", labDir_, "--job", "7", "--program", program, "--", "-numStreams", "2", "-t", "2"});
  EXPECT_EQ(3, run.exitCode) << run.out << run.err;
  EXPECT_NE(std::string::npos, run.out.find("an earlier run of job 7 left 1 stream reserved: given back\n")) << run.out;
  EXPECT_NE(std::string::npos,
            run.out.find("stream 2 of job 7 stays reserved: it is open on " + holder + ", a process that still runs\n"))
      << run.out;
  EXPECT_NE(std::string::npos, run.err.find("refused: a process of an earlier run of job 7 still has a stream of it "
                                            "open; run the job again once that process has ended"))
      << run.err;
  EXPECT_NE(0, access(dir_.Path("argv.txt").c_str(), F_OK)) << "the program was not started";
  EXPECT_TRUE(lab::ReadRunEvents(7).empty());
  lab::JobRecord record;
  ASSERT_TRUE(lab::ReadJobRecord(7, record, error)) << error;
  EXPECT_EQ(1, record.bkpLevel) << "a refused run keeps no level";
  lab::ReservationLedger ledger;
  ASSERT_TRUE(lab::ReadReservationLedger(7, ledger, error)) << error;
  EXPECT_EQ(lab::ReservationState::kReserved, ledger.reservations[1].state);
  EXPECT_EQ(holder, ledger.reservations[1].holder);

  writer.End();
  run = Tool({"run", labDir_, "--job", "7", "--program", program, "--", "-numStreams", "2"});
  EXPECT_EQ(2, run.exitCode) << run.out << run.err;
  EXPECT_NE(std::string::npos, run.out.find("an earlier run of job 7 left 1 stream reserved: given back\n")) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("the job process of job 7 left 2 streams reserved: given back\n"))
      << run.out;
  ASSERT_TRUE(lab::ReadReservationLedger(7, ledger, error)) << error;
  EXPECT_EQ(0, ledger.CountReserved());
  EXPECT_TRUE(ledger.reservations[1].holder.empty());
  lab::SetRoot(std::string());
}

// A job record whose values would change the meaning of the command line is refused with a message;
// the program is never started.
// A job record with a time scale of 60: the coordinator's 120-second wait for an agent that never
// announces itself passes in about two seconds of real time, each process says once how fast its
// clock runs, and the logs keep the code's own numbers.
TEST_F(QuarnLabTool, ATimeScaleShrinksTheWaitsOfALabRun) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "1", "--time-scale", "60"}).exitCode);
  UseToolLab();
  std::string error;
  ASSERT_TRUE(lab::SetSubclientValue("1", "memberServers", "proxyA", error)) << error;
  // proxyA's agent sleeps an hour before it announces itself.
  ASSERT_TRUE(dir_.Setting("VirtualServer", "AgentInitSleepTime", "3600", "proxyA"));
  const auto start = std::chrono::steady_clock::now();
  ToolResult run = Tool({"run", labDir_, "--", "-numStreams", "1"});
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  // The subclient's only member never came up: no VM was backed up and the job is pending.
  EXPECT_EQ(2, run.exitCode) << run.err;
  EXPECT_NE(std::string::npos, run.out.find("job 1001: pending")) << run.out;
  EXPECT_GE(took.count(), 1.9) << "120 seconds at 60 times take 2 seconds";
  EXPECT_LT(took.count(), 60.0) << "the wait did not run faster";

  const std::string coordinator = dir_.Log("coordinator");
  const std::string agent = dir_.Log("proxyA");
  for (const std::string* log : {&coordinator, &agent})
    EXPECT_EQ(1u, testsupport::CountOf(*log, "Lab run: the clock runs [60] times faster than real time")) << *log;
  EXPECT_NE(std::string::npos, coordinator.find("Timeout waiting for agent [proxyA] to initialize."));
  EXPECT_NE(std::string::npos, agent.find("Sleeping for 3600 seconds"));
  // The job manager heard of the agent that did not come up.
  const std::vector<std::string> events = lab::ReadJobEvents(1001);
  EXPECT_EQ(1, std::count_if(events.begin(), events.end(), [](const std::string& line) {
              return line.find("proxyA") != std::string::npos;
            }));
}

TEST_F(QuarnLabTool, RunRefusesUnsafeValuesOfTheJobRecord) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "0"}).exitCode);
  std::string program = RecordingProgram();
  UseToolLab();
  for (const char* record : {"token=-client\n", "mediaAgent=-client\n", "client=-cn\n", "subclient=a b\n",
                             "token=two words\n", "bkpLevel=-t\n"}) {
    ASSERT_TRUE(lab::WriteFileAtomic(lab::JobRecordPath(1001), record));
    ToolResult run = Tool({"run", labDir_, "--program", program});
    EXPECT_EQ(3, run.exitCode) << record;
    EXPECT_NE(std::string::npos, run.err.find("the job cannot be run")) << run.err;
    EXPECT_FALSE(testsupport::Exists(dir_.Path("argv.txt"))) << record;
  }
}

TEST_F(QuarnLabTool, OutcomeSaysHowTheJobEndedAndShowsTheLinesThatMatter) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "0"}).exitCode);
  UseToolLab();
  EXPECT_NE(std::string::npos, Tool({"outcome", labDir_}).out.find("job 1001: no outcome yet"));
  struct Case {
    lab::PhaseLine line;
    const char* words;
  };
  lab::PhaseLine completed, partial, failed, pending, resumed;
  partial.kind = lab::PhaseLine::kPartialSuccess;
  failed.kind = lab::PhaseLine::kFailed;
  failed.failJob = true;
  pending.kind = lab::PhaseLine::kFailed;
  resumed.kind = lab::PhaseLine::kAutoResume;
  resumed.seconds = 120;
  const Case cases[] = {{completed, "job 1001: completed\n"},
                        {partial, "job 1001: completed with errors\n"},
                        {failed, "job 1001: failed\n"},
                        {pending, "job 1001: pending\n"},
                        {resumed, "job 1001: resumed: it resumes by itself in 120 seconds\n"}};
  for (const Case& c : cases) {
    ASSERT_TRUE(lab::AppendPhaseLine(1001, c.line));
    EXPECT_EQ(0u, Tool({"outcome", labDir_}).out.find(c.words)) << c.words;
  }
  ASSERT_TRUE(lab::AppendPendingCause(1001, "0x5B0000C3 1|3|no"));
  ASSERT_TRUE(lab::MakeDirs(lab::ClientLogDir("coordinator")));
  const std::string rule(64, '=');
  const std::string lines[] = {
      "1 a 01/01 00:00:00 1001 " + rule, "1 a 01/01 00:00:00 1001 = quarn [BACKUP PHASE] has started old",
      "1 a 01/01 00:00:00 1001 ERROR f(): an error of an earlier run", "2 b 01/01 00:00:01 1001 " + rule,
      "2 b 01/01 00:00:01 1001 = quarn [BACKUP PHASE] has started new", "2 b 01/01 00:00:01 1001 " + rule,
      "2 b 01/01 00:00:01 1001 f(): a debug line", "2 b 01/01 00:00:01 1001 ERROR f(): this run failed",
      "2 b 01/01 00:00:01 1001 g(): WARNING: soft failure", 
      // The summary as the coordinator logs it: each line after the logging function's signature.
      "2 b 01/01 00:00:01 1001 r(): ===== JOB SUMMARY REPORT BACKUP PHASE =====",
      "2 b 01/01 00:00:01 1001 r(): Total VMs to backup           [2]",
      "2 b 01/01 00:00:01 1001 r(): " + std::string(43, '='),
      "2 b 01/01 00:00:01 1001 h(): another debug line"};
  // The run began before the log was rotated (its start is in "quarn.log.1"), and another job's
  // process logs in between.
  std::string rotated, log;
  for (size_t i = 0; i < 6; ++i) rotated += lines[i] + "\n";
  for (size_t i = 6; i < sizeof(lines) / sizeof(lines[0]); ++i) {
    log += lines[i] + "\n";
    if (i == 7) log += "3 c 01/01 00:00:01 1002 ERROR f(): another job's error\n";
  }
  const std::string path = lab::ClientLogPath("coordinator", "quarn");
  ASSERT_TRUE(lab::WriteFileAtomic(path + ".1", rotated));
  ASSERT_TRUE(lab::WriteFileAtomic(path, log));
  ToolResult outcome = Tool({"outcome", labDir_});
  EXPECT_EQ(0, outcome.exitCode);
  EXPECT_NE(std::string::npos, outcome.out.find("set more than once"));
  EXPECT_NE(std::string::npos, outcome.out.find("0x5B0000C3 1|3|no"));
  for (size_t i = 3; i < 12; ++i) {
    bool matters = i != 6;
    EXPECT_EQ(matters, outcome.out.find(lines[i] + "\n") != std::string::npos) << lines[i];
  }
  EXPECT_EQ(std::string::npos, outcome.out.find("an earlier run"));
  EXPECT_EQ(std::string::npos, outcome.out.find("another debug line"));
  EXPECT_EQ(std::string::npos, outcome.out.find("another job's error")) << outcome.out;
}

// Each phase of a job has its own result: the outcome is that of the job's latest run, from the
// results that run set. A run whose job process was killed, or ended without a result, leaves the job
// pending, whatever an earlier phase ended with; the next run of a job whose stub phase has not ended
// runs that phase again, one whose backup phase was cut short (killed, ended without a result,
// interrupted) runs the backup phase again with the options runs.log keeps of that run (those the
// resume gives replace them; -t stays the job's level), and each gives back the streams an earlier run
// left reserved. Runs recorded before runs named their phase and results read as a backup phase whose
// results are all the job's; before they kept their options, as runs that say nothing of them.
TEST_F(QuarnLabTool, TheLatestRunsPhaseResultIsTheJobsAndAnUnendedStubPhaseIsResumed) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "0"}).exitCode);
  const std::string program = RecordingProgram();
  const std::string t = " 2026-12-07 08:33:00 UTC";
  const std::string backupRun = "started" + t + " pid=10 phase=backup results=0";
  const std::string ended = "ended" + t + " status=0";
  const std::string stubRun = "started" + t + " pid=11 phase=stub results=1";
  const std::string killed = "ended" + t + " status=137 signal=9";
  const auto backupRunWith = [&](const std::string& options, int results) {
    return "started" + t + " pid=12 phase=backup results=" + std::to_string(results) + " options=" + options;
  };
  const std::string again = "running the backup phase again with ";
  struct Case {
    const char* name;
    std::vector<std::string> results;  // the job's phase results
    std::vector<std::string> runs;     // its runs.log
    const char* words;                 // after "job <id>: "
    bool resumesStubPhase;
    std::string torn = std::string();  // a last line of runs.log cut short (no line end)
    // What the run says of the backup phase it runs again (after "the backup phase of job <id> has not
    // ended "); empty: it says nothing of it.
    std::string resumeSays = std::string();
    std::vector<std::string> passed = {};  // the run's own options, after "--"
    std::string argvHas = std::string();   // the job process's arguments, one a line
    std::string argvLacks = std::string();
    std::vector<std::string> keeps = {};  // the options the run's line in runs.log keeps; {}: not asked
  };
  const Case cases[] = {
      {"older records: a run that ended well", {"phaseSuccessful"}, {"started 1 pid=10", "ended 2 status=0"},
       "completed\n", false},
      {"older records: the process killed after its result", {"phaseSuccessful"},
       {"started 1 pid=10", "ended 2 status=137"},
       "pending: the job process was killed by signal 9 after it set the phase result [phaseSuccessful]\n", false},
      {"older records: the highest signal", {}, {"started 1 pid=10", "ended 2 status=192"},
       "pending: the job process was killed by signal 64 without an outcome\n", false},
      {"older records: one past it is an exit status", {}, {"started 1 pid=10", "ended 2 status=193"},
       "pending: the job process ended (status=193) without an outcome\n", false},
      {"the backup phase killed", {}, {backupRun, killed},
       "pending: the job process was killed by signal 9 without an outcome\n", false, "",
       "(runs.log shows its latest run, a backup phase, killed by signal 9; runs.log does not keep the options that "
       "run was given); " + again + "the options the job's record gives, as the job manager resumes it\n"},
      {"the backup phase killed, its options kept", {}, {backupRunWith("-stub,-numStreams,1", 0), killed},
       "pending: the job process was killed by signal 9 without an outcome\n", false, "",
       "(runs.log shows its latest run, a backup phase, killed by signal 9); " + again + "-stub -numStreams 1, as",
       {}, "\n-cn\ncoordinator\n-stub\n-numStreams\n1\n", "", {"-stub", "-numStreams", "1"}},
      {"a later attempt's backup phase killed after the stub phase ended", {"phaseSuccessful", "phasePartialSuccess"},
       {backupRun, ended, stubRun, ended, backupRunWith("-stub", 2), killed},
       "pending: the job process was killed by signal 9 without an outcome\n", false, "",
       "(runs.log shows its latest run, a backup phase, killed by signal 9); " + again + "-stub, as", {},
       "\n-stub\n", "\n-stubPhase\n"},
      {"the resume's options replace those kept, and -t stays the job's level", {},
       {backupRunWith("-t,2,-numStreams,1,-stub", 0), killed},
       "pending: the job process was killed by signal 9 without an outcome\n", false, "",
       "(runs.log shows its latest run, a backup phase, killed by signal 9); " + again + "-stub -numStreams 2, as",
       {"-numStreams", "2"}, "\n-t\n1\n-d\nma1\n-cn\ncoordinator\n-stub\n-numStreams\n2\n", "\n-numStreams\n1\n"},
      {"the backup phase interrupted", {}, {backupRunWith("-stub", 0), "interrupted" + t + " signal=2"},
       "not running: its run was interrupted; no outcome yet", false, "",
       "(runs.log shows its latest run, a backup phase, interrupted (signal 2)); " + again + "-stub, as", {},
       "\n-stub\n"},
      {"the lab tool killed in the backup phase", {}, {backupRunWith("-stub", 0)},
       "not running: its run ended without a word (the lab tool was killed); no outcome yet", false, "",
       "(runs.log shows its latest run, a backup phase, whose lab tool was killed, ended without a phase result); " +
           again + "-stub, as",
       {}, "\n-stub\n"},
      // Pending by its own result: the job manager's resume, with the run's own options.
      {"the backup phase pending", {"phaseFailed failJob=0 setupFailed=0"}, {backupRunWith("-stub", 0), ended},
       "pending\n", false, "", "", {}, "", "\n-stub\n"},
      {"options kept that do not read are none", {}, {backupRunWith("-stub,%ZZ", 0), killed},
       "pending: the job process was killed by signal 9 without an outcome\n", false, "",
       "runs.log does not keep the options that run was given); " + again + "the options the job's record gives",
       {}, "", "\n-stub\n", {}},
      // -j and -a are the job's and its subclient's, from its record.
      {"a job and a subclient kept are the record's", {}, {backupRunWith("-j,999,-a,2,-stub", 0), killed},
       "pending: the job process was killed by signal 9 without an outcome\n", false, "", again + "-stub, as", {},
       "\n-a\n1\n", "999"},
      {"a stream count kept one past the most", {}, {backupRunWith("-numStreams,1001,-stub", 0), killed},
       "pending: the job process was killed by signal 9 without an outcome\n", false, "",
       "the options runs.log keeps of that run do not read: -numStreams takes 0 to 1000 streams); " + again +
           "the options the job's record gives",
       {}, "", "\n-stub\n"},
      {"an option kept with a comma, a blank and a percent sign", {}, {backupRunWith("-x,a%2Cb%20c%25", 0), killed},
       "pending: the job process was killed by signal 9 without an outcome\n", false, "", again + "-x a,b c%, as", {},
       "\n-x\na,b c%\n", "", {"-x", "a,b c%"}},
      {"the stub phase killed before its result", {"phaseSuccessful"}, {backupRun, ended, stubRun, killed},
       "pending: the job process of its stub phase was killed by signal 9 without an outcome\n", true},
      {"the stub phase ended without its result", {"phaseSuccessful"}, {backupRun, ended, stubRun, ended},
       "pending: the job process of its stub phase ended (status=0) without an outcome\n", true},
      {"the stub phase completed", {"phaseSuccessful", "phasePartialSuccess"}, {backupRun, ended, stubRun, ended},
       "completed with errors\n", false},
      {"the stub phase pending", {"phaseSuccessful", "phaseFailed failJob=0 setupFailed=0"},
       {backupRun, ended, stubRun, ended}, "pending\n", true},
      {"the stub phase failed", {"phaseSuccessful", "phaseFailed failJob=1 setupFailed=0"},
       {backupRun, ended, stubRun, ended}, "failed\n", false},
      {"the stub phase interrupted", {"phaseSuccessful"},
       {backupRun, ended, stubRun, "interrupted" + t + " signal=2"},
       "not running: its run was interrupted; no outcome yet", true},
      {"the lab tool killed in the stub phase", {"phaseSuccessful"}, {backupRun, ended, stubRun},
       "not running: its run ended without a word (the lab tool was killed); no outcome yet", true},
      {"results counted past the phase file", {"phaseSuccessful"},
       {"started" + t + " pid=11 phase=stub results=2", ended},
       "pending: the job process of its stub phase ended (status=0) without an outcome\n", true},
      {"malformed fields read as absent", {"phaseSuccessful"},
       {"started" + t + " pid=x phase=other results=-1", "ended" + t + " status=0 signal=65"}, "completed\n", false},
      // "status=137 signal=9" cut short: no status at all, neither 13 nor 0.
      {"an end cut short is none", {"phaseSuccessful"}, {backupRun, ended, stubRun},
       "not running: its run ended without a word (the lab tool was killed); no outcome yet", true,
       "ended" + t + " status=13"},
      {"a start cut short is none", {"phaseSuccessful"}, {backupRun, ended}, "completed\n", false,
       "started" + t + " pid=11 phase=stub results=1"},
      // Whatever the line cut short, the next run's start takes its place: run on with it, that start
      // would read as the line cut short, and the run it records would be lost.
      {"a line cut short after an ended run is none", {"phaseSuccessful"}, {backupRun, ended}, "completed\n", false,
       "lost" + t + " pid=10"},
  };
  int64_t job = 2000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string id = std::to_string(++job);
    ASSERT_EQ(0, Tool({"create", labDir_, "--job", id}).exitCode);
    UseToolLab();
    for (const std::string& text : c.results) {
      lab::PhaseLine line;
      ASSERT_TRUE(lab::ParsePhaseLine(text, line)) << text;
      ASSERT_TRUE(lab::AppendPhaseLine(job, line));
    }
    for (const std::string& line : c.runs) ASSERT_TRUE(lab::AppendRunEvent(job, line));
    if (!c.torn.empty()) {
      ASSERT_TRUE(lab::AppendTornRunEvent(job, c.torn, c.torn.size()));
    }
    std::string error;
    ASSERT_TRUE(lab::ReserveJobStreams(job, 2, 1, error)) << error;  // what the killed run held
    // What the earlier runs left with the job manager; the next run counts it as not its own.
    ASSERT_TRUE(lab::AppendPendingCause(job, "0x5B000142 1"));
    ASSERT_TRUE(lab::AppendJobEvent(job, "MAJOR 0x5B000079 coordinator"));
    EXPECT_EQ(0u, Tool({"outcome", labDir_, "--job", id}).out.find("job " + id + ": " + c.words));

    std::vector<std::string> args = {"run", labDir_, "--job", id, "--program", program};
    if (!c.passed.empty()) args.push_back("--");
    args.insert(args.end(), c.passed.begin(), c.passed.end());
    const ToolResult run = Tool(args);
    EXPECT_EQ(2, run.exitCode) << run.out << run.err;
    const std::string argv = ReadAll(dir_.Path("argv.txt"));
    EXPECT_EQ(c.resumesStubPhase, argv.find("\n-stubPhase\n") != std::string::npos) << argv;
    EXPECT_EQ(c.resumesStubPhase, run.out.find("the stub phase of job " + id + " has not ended (") != std::string::npos)
        << run.out;
    const std::string backupPhase = "the backup phase of job " + id + " has not ended ";
    EXPECT_EQ(!c.resumeSays.empty(), run.out.find(backupPhase) != std::string::npos) << run.out;
    EXPECT_NE(std::string::npos, run.out.find(c.resumeSays)) << run.out;
    EXPECT_NE(std::string::npos, argv.find(c.argvHas)) << argv;
    if (!c.argvLacks.empty()) {
      EXPECT_EQ(std::string::npos, argv.find(c.argvLacks)) << argv;
    }
    EXPECT_NE(std::string::npos, run.out.find("an earlier run of job " + id + " left 2 streams reserved: given back\n"))
        << run.out;
    lab::JobRun latest;
    ASSERT_TRUE(lab::LatestRun(job, latest));
    EXPECT_EQ(c.resumesStubPhase ? lab::JobPhase::kStub : lab::JobPhase::kBackup, latest.phase);
    EXPECT_EQ(static_cast<int64_t>(c.results.size()), latest.resultsBefore);
    EXPECT_EQ(1, latest.causesBefore);
    EXPECT_EQ(1, latest.eventsBefore);
    EXPECT_TRUE(latest.optionsKept);
    if (!c.keeps.empty()) {
      EXPECT_EQ(c.keeps, latest.options);
    }
    for (const std::string& line : lab::ReadRunEvents(job))
      EXPECT_TRUE(std::regex_match(line, std::regex("(started|ended|interrupted|lost) .*"))) << line;
    lab::ReservationLedger ledger;
    ASSERT_TRUE(lab::ReadReservationLedger(job, ledger, error)) << error;
    EXPECT_EQ(0, ledger.CountReserved());
    lab::SetRoot(std::string());
  }
}

// Once a later job of the same subclient has run (runs.log says so, or, that lost, a record only a job
// process writes), run refuses every attempt of the earlier job: named by --job, by the "-- -j" the job
// process would work as (with --job or without), of its stub phase, or the resume of its stub phase that
// has not ended. The refusal names the later job, exits "not started" and changes nothing of the lab (no
// lock, no runs.log line, no stream reserved, no level kept, no resume said, no job made). A later job
// only made, or one of another subclient, refuses nothing; one whose record does not read may be the
// subclient's, and refuses. A run is its job's own: a --subclient, "-- -a" or the job of "-- -j" of
// another subclient than the job record's is a bad argument, and so is an "-a" that is no subclient id.
TEST_F(QuarnLabTool, RunRefusesEveryAttemptOfAJobOnceALaterJobOfItsSubclientHasRun) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "0"}).exitCode);
  const std::string program = RecordingProgram();
  const std::string t = " 2026-12-07 08:33:00 UTC";
  enum Later { kOnlyMade, kRunsLog, kPhaseResultOnly, kVMRecordOnly, kOtherSubclient, kRecordDoesNotRead, kFolderLost,
               kFolderLostOfOtherSubclient, kBothOfSubclient2 };
  struct Case {
    const char* name;
    Later later;                    // what shows that the later job ran
    bool runJobNamesTheLater;       // run --job <later> -- -j <earlier>
    std::vector<std::string> options;
    bool stubPhaseNotEnded;         // the earlier job's last run, of its stub phase, was killed
    bool refused;
    bool earlierRan = true;         // false: its first run would be one after the later job's
    bool withoutJob = false;        // run -- -j <earlier>, without --job
    std::vector<std::string> runOptions = {};  // the run's own options beside --job
    const char* badArgument = nullptr;         // refused as a bad argument (exit 64), with these words
  };
  const Case cases[] = {
      {"a later job only made", kOnlyMade, false, {"-t", "2"}, false, false},
      {"a later job of another subclient", kOtherSubclient, false, {"-t", "2"}, false, false},
      {"a later job's run", kRunsLog, false, {"-t", "2", "-numStreams", "2"}, false, true},
      {"a later job's phase result, its runs.log lost", kPhaseResultOnly, false, {"-numStreams", "2"}, false, true},
      {"a later job's record of a VM, its runs.log lost", kVMRecordOnly, false, {}, false, true},
      {"the job the process works as", kRunsLog, true, {"-numStreams", "2"}, false, true},
      {"its stub phase", kRunsLog, false, {"-t", "2", "-stub", "-stubPhase"}, false, true},
      {"the resume of its stub phase", kRunsLog, false, {}, true, true},
      // Its first run would keep another level than the one made, and reserve streams.
      {"its first run after the later job's", kRunsLog, false, {"-t", "1", "-numStreams", "2"}, false, true, false},
      {"a later job whose record does not read", kRecordDoesNotRead, false, {"-t", "2"}, false, true},
      {"a later job whose folder is lost, its run in the subclient's history", kFolderLost, false, {"-t", "2"}, false,
       true},
      {"another subclient's later job whose folder is lost", kFolderLostOfOtherSubclient, false, {"-t", "2"}, false,
       false},
      // Asked of the job's own subclient, never of subclient 1.
      {"a later job of the job's own subclient 2", kBothOfSubclient2, false, {"-t", "2"}, false, true},
      {"the later job of subclient 2 working as the job", kBothOfSubclient2, true, {}, false, true},
      {"the job -j names, without --job", kRunsLog, false, {"-t", "2"}, false, true, true, true},
      {"--subclient of the later job", kOtherSubclient, false, {}, false, false, true, false, {"--subclient", "2"},
       "(its record's), not of subclient 2: a run is its job's own"},
      {"-a of the later job", kOtherSubclient, false, {"-a", "2"}, false, false, true, false, {},
       "-a 2 names another subclient than job "},
      {"-a 01 for subclient 1", kOtherSubclient, false, {"-a", "01"}, false, false, true, false, {},
       "-a 01 names another subclient than job "},
      {"-a that is no subclient id", kRunsLog, false, {"-a", "1x"}, false, false, true, false, {},
       "-a takes a subclient id (digits alone), not '1x'"},
      {"the later job of another subclient working as the job", kOtherSubclient, true, {}, false, false, true, false,
       {}, ", and job "},
  };
  int64_t job = 3000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    job += 10;
    const std::string earlier = std::to_string(job + 1), later = std::to_string(job + 2);
    for (const std::string& id : {earlier, later}) {
      std::vector<std::string> create = {"create", labDir_, "--job", id, "--level", "incremental"};
      if ((id == later && c.later == kFolderLostOfOtherSubclient) || c.later == kBothOfSubclient2)
        create.insert(create.end(), {"--subclient", "2"});
      ASSERT_EQ(0, Tool(create).exitCode);
    }
    UseToolLab();
    std::string error;
    lab::PhaseLine done;
    ASSERT_TRUE(lab::ParsePhaseLine("phaseSuccessful", done));
    if (c.earlierRan) {
      ASSERT_TRUE(lab::AppendPhaseLine(job + 1, done));
      ASSERT_TRUE(lab::AppendRunEvent(job + 1, "started" + t + " pid=10 phase=backup results=0"));
      ASSERT_TRUE(lab::AppendRunEvent(job + 1, "ended" + t + " status=0"));
    }
    if (c.stubPhaseNotEnded) {
      ASSERT_TRUE(lab::AppendRunEvent(job + 1, "started" + t + " pid=11 phase=stub results=1"));
      ASSERT_TRUE(lab::AppendRunEvent(job + 1, "ended" + t + " status=137 signal=9"));
    }
    switch (c.later) {
      case kOnlyMade: break;
      case kOtherSubclient:
        ASSERT_TRUE(lab::UpdateJobRecord(job + 2, [](lab::JobRecord& record, std::string&) {
          record.subclient = "2";
          return true;
        }, error)) << error;
        ASSERT_TRUE(lab::AppendRunEvent(job + 2, "started" + t + " pid=12 phase=backup results=0"));
        break;
      case kRunsLog:
      case kBothOfSubclient2:
        ASSERT_TRUE(lab::AppendRunEvent(job + 2, "started" + t + " pid=12 phase=backup results=0"));
        break;
      case kRecordDoesNotRead:
        ASSERT_TRUE(lab::AppendRunEvent(job + 2, "started" + t + " pid=12 phase=backup results=0"));
        ASSERT_TRUE(lab::WriteFileAtomic(lab::JobRecordPath(job + 2), "streams=many\n"));
        break;
      case kPhaseResultOnly: ASSERT_TRUE(lab::AppendPhaseLine(job + 2, done)); break;
      case kFolderLost:
      case kFolderLostOfOtherSubclient: {
        const std::string subclient = c.later == kFolderLost ? "1" : "2";
        ASSERT_TRUE(lab::RecordSuccessfulJob(subclient, {job + 2, 2, 0}, error)) << error;
        std::error_code failed;
        ASSERT_GT(std::filesystem::remove_all(lab::JobDir(job + 2), failed), 0u) << failed.message();
        break;
      }
      case kVMRecordOnly: {
        JobManager::VMUpdateInfo info;
        info.setstring(JobManager::VMUpdateInfo::F_vmName, "vm01");
        ASSERT_TRUE(lab::SaveVMStatus(job + 2, "50290000-0000-4000-8000-000000000001", info, true, error)) << error;
        break;
      }
    }
    // Every file of the lab, as the run finds it.
    const std::map<std::string, std::string> before = labrun::LabTree(labDir_);
    unlink(dir_.Path("argv.txt").c_str());
    std::vector<std::string> args = {"run", labDir_, "--program", program};
    if (!c.withoutJob) args.insert(args.end(), {"--job", c.runJobNamesTheLater ? later : earlier});
    args.insert(args.end(), c.runOptions.begin(), c.runOptions.end());
    args.push_back("--");
    if (c.runJobNamesTheLater || c.withoutJob) args.insert(args.end(), {"-j", earlier});
    args.insert(args.end(), c.options.begin(), c.options.end());
    const ToolResult run = Tool(args);
    if (c.badArgument != nullptr) {
      EXPECT_EQ(64, run.exitCode) << run.out << run.err;
      EXPECT_NE(std::string::npos, run.err.find(c.badArgument)) << run.err;
      EXPECT_NE(0, access(dir_.Path("argv.txt").c_str(), F_OK)) << "the program was started";
      EXPECT_EQ("", labrun::LabTreeChanges(before, labrun::LabTree(labDir_))) << "a refused run changed the lab";
      lab::SetRoot(std::string());
      continue;
    }
    if (!c.refused) {
      EXPECT_EQ(2, run.exitCode) << run.out << run.err;
      EXPECT_NE(std::string::npos, ReadAll(dir_.Path("argv.txt")).find("-j\n" + earlier + "\n")) << "not started";
      lab::SetRoot(std::string());
      continue;
    }
    EXPECT_EQ(3, run.exitCode) << run.out << run.err;
    const std::string subclient = c.later == kBothOfSubclient2 ? "2" : "1";
    EXPECT_EQ("quarn-lab: refused: job " + later + " of subclient " + subclient + " has started since job " + earlier +
                  "; a later attempt of job " + earlier + " would change what job " + later +
                  " restores, so the job manager runs no attempt of it again\n",
              run.err);
    EXPECT_EQ("", run.out) << "a refused run says nothing before its refusal";
    EXPECT_NE(0, access(dir_.Path("argv.txt").c_str(), F_OK)) << "the program was started";
    EXPECT_EQ("", labrun::LabTreeChanges(before, labrun::LabTree(labDir_))) << "a refused run changed the lab";
    lab::SetRoot(std::string());
  }
}

// A job run more than once keeps every attempt's pending causes and events: outcome says which
// attempt set each (the runs.log line of each run counts what the job held before it), and a pending
// job whose latest attempt set no cause is said to have none of its own.
TEST_F(QuarnLabTool, OutcomeSaysWhichAttemptSetEachPendingCauseAndEvent) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "0"}).exitCode);
  const std::string t = " 2026-12-07 08:33:00 UTC";
  struct Case {
    const char* name;
    // In order: "start" (a run starts; its line counts what the job holds), "start stub" (a run of
    // the stub phase), "start older" (a line of a lab tool that counted none of it), "end", "killed"
    // (its job process by signal 9), "cause <line>", "reset", "event <line>", "result <phase line>",
    // "vm01" (the job's record lists vm01, of which the job manager holds no status record).
    std::vector<std::string> history;
    const char* words;                // after "job <id>: "
    std::vector<std::string> shown;   // lines of the outcome
    std::vector<std::string> hidden;  // texts the outcome does not show
    bool why;                         // it says why a pending job has no cause
  };
  const std::string failed = "result phaseFailed failJob=0 setupFailed=0";
  const std::string unrecorded = "CRITICAL 0x5B0001DB vm01|The job manager holds no record of the VM in this job";
  const std::string vm01 =
      "VMs of the job the job manager holds no record of:\n  vm01 [" + lab::SampleVMGuid(1) + "]: ";
  const Case cases[] = {
      {"one attempt", {"start", "cause 0x5B000142 1", "event MAJOR 0x5B000079 a", "end", failed}, "pending\n",
       {"  0x5B000142 1\n", "  MAJOR 0x5B000079 a\n"}, {"attempt"}, false},
      {"resumed to completion",
       {"start", "cause 0x5B000142 1", "event CRITICAL 0x5B000087 vm1|11", "end", failed, "start",
        "event MAJOR 0x5B000079 a", "end", "result phaseSuccessful"},
       "completed\n",
       {"  0x5B000142 1  (an earlier attempt: 1 of 2)\n",
        "  CRITICAL 0x5B000087 vm1|11  (an earlier attempt: 1 of 2)\n",
        "  MAJOR 0x5B000079 a  (the latest attempt: 2 of 2)\n"},
       {}, false},
      {"pending again without a cause of its own",
       {"start", "cause 0x5B000142 1", "end", failed, "start", "end", failed}, "pending\n",
       {"  0x5B000142 1  (an earlier attempt: 1 of 2)\n"}, {}, true},
      {"a reset by the latest attempt", {"start", "cause 0x5B000142 1", "end", failed, "start", "reset", "end", failed},
       "pending\n", {}, {"0x5B000142"}, true},
      {"the first run's line counted nothing",
       {"start older", "cause 0x5B000142 1", "end", failed, "start", "event MAJOR 0x5B000079 a", "end", failed},
       "pending\n",
       {"  0x5B000142 1  (of an attempt not known)\n", "  MAJOR 0x5B000079 a  (the latest attempt: 2 of 2)\n"}, {},
       false},
      // A VM without a status record: the event of a run of the job's latest attempt, its backup phase or
      // its stub phase, says its status could not be recorded; one of an earlier attempt does not.
      {"an archiving job whose backup phase could not record a VM",
       {"vm01", "start", "event " + unrecorded, "end", "result phasePartialSuccess", "start stub", "end",
        "result phasePartialSuccess"},
       "completed with errors\n", {vm01 + "its status could not be recorded when the job ran"}, {"record was lost"},
       false},
      {"an archiving job whose stub phase found no record of a VM",
       {"vm01", "start", "end", "result phaseSuccessful", "start stub", "event " + unrecorded, "end",
        "result phasePartialSuccess"},
       "completed with errors\n", {vm01 + "its status could not be recorded when the job ran"}, {"record was lost"},
       false},
      {"a VM an earlier attempt could not record",
       {"vm01", "start", "event " + unrecorded, "end", "result phasePartialSuccess", "start stub", "end",
        "result phasePartialSuccess", "start", "end", "result phaseSuccessful"},
       "completed\n", {vm01 + "no attempt of the job recorded it"}, {"could not be recorded when the job ran"}, false},
      // Whatever it logged before, the reason is the kill.
      {"a stub phase killed", {"start", "end", "result phaseSuccessful", "start stub", "killed"},
       "pending: the job process of its stub phase was killed by signal 9 without an outcome\n",
       {"\nwhy: the job process of its stub phase was killed by signal 9 before it logged a pending cause\n"},
       {"logged no pending cause"}, true},
  };
  int64_t job = 3000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string id = std::to_string(++job);
    ASSERT_EQ(0, Tool({"create", labDir_, "--job", id}).exitCode);
    UseToolLab();
    for (const std::string& step : c.history) {
      const std::string rest = step.substr(step.find(' ') + 1);
      if (step == "vm01") {
        std::string error;
        ASSERT_TRUE(lab::UpdateJobRecord(job, [&](lab::JobRecord& record, std::string&) {
          record.other["vm.101.jobId"] = id;
          return true;
        }, error)) << error;
      } else if (step == "start") {
        ASSERT_TRUE(lab::AppendRunStart(job, t.substr(1), 10, lab::JobPhase::kBackup, lab::CountJobLines(job), {}));
      } else if (step == "start stub") {
        ASSERT_TRUE(lab::AppendRunStart(job, t.substr(1), 11, lab::JobPhase::kStub, lab::CountJobLines(job), {}));
      } else if (step == "start older") {
        ASSERT_TRUE(lab::AppendRunEvent(job, "started 1 pid=10"));
      } else if (step == "end") {
        ASSERT_TRUE(lab::AppendRunEvent(job, "ended" + t + " status=0"));
      } else if (step == "killed") {
        ASSERT_TRUE(lab::AppendRunEvent(job, "ended" + t + " status=137 signal=9"));
      } else if (step == "reset") {
        ASSERT_TRUE(lab::AppendPendingReset(job));
      } else if (step.rfind("cause ", 0) == 0) {
        ASSERT_TRUE(lab::AppendPendingCause(job, rest));
      } else if (step.rfind("event ", 0) == 0) {
        ASSERT_TRUE(lab::AppendJobEvent(job, rest));
      } else {
        lab::PhaseLine line;
        ASSERT_TRUE(lab::ParsePhaseLine(rest, line)) << rest;
        ASSERT_TRUE(lab::AppendPhaseLine(job, line));
      }
    }
    const ToolResult outcome = Tool({"outcome", labDir_, "--job", id});
    EXPECT_EQ(0u, outcome.out.find("job " + id + ": " + c.words)) << outcome.out;
    for (const std::string& line : c.shown) EXPECT_NE(std::string::npos, outcome.out.find(line)) << outcome.out;
    for (const std::string& text : c.hidden) EXPECT_EQ(std::string::npos, outcome.out.find(text)) << outcome.out;
    EXPECT_EQ(c.why, outcome.out.find("\nwhy: ") != std::string::npos) << outcome.out;
    lab::SetRoot(std::string());
  }
}

TEST_F(QuarnLabTool, FaultRulesAreAddedListedAndCleared) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "1"}).exitCode);
  ToolResult added = Tool({"fault", labDir_, "add", "vminfo.LoadVMInfo", "--vm", "vm01", "--after", "2", "--times",
                           "always", "--code", "101", "--event", "0x5B0001F0", "--text", "host unreachable"});
  ASSERT_EQ(0, added.exitCode) << added.err;
  ASSERT_EQ(0, Tool({"fault", labDir_, "add", "jobmgr.initBackup", "--code", "-3"}).exitCode);
  ToolResult list = Tool({"fault", labDir_, "list"});
  EXPECT_EQ(
      "op=vminfo.LoadVMInfo vm=50290000-0000-4000-8000-000000000001 after=2 times=always code=101 "
      "event=0x5B0001F0 calls=0 fired=0 "
      "text=host unreachable\nop=jobmgr.initBackup after=0 times=1 code=-3 calls=0 fired=0\n",
      list.out);
  ASSERT_EQ(0, Tool({"fault", labDir_, "clear"}).exitCode);
  EXPECT_EQ("no fault rules\n", Tool({"fault", labDir_, "list"}).out);
}

// A full backup and an incremental of a VM's mounted copies reassemble to what each mount took (an
// attempt that could not even note its archive leaves nothing behind); a damaged archive is named with
// its offset and kept out of the chain; an image can be given instead.
TEST_F(QuarnLabTool, VerifyReassemblesBackupsAndNamesDamagedArchives) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "1"}).exitCode);
  UseToolLab();
  const std::string guid = "50290000-0000-4000-8000-000000000001";
  constexpr uint64_t kSectorsPerExtent = 2048;
  constexpr uint64_t kExtentBytes = kSectorsPerExtent * 512;
  // Mounts the VM for the job and sends the extents of its first disk's copy (all, or those given).
  auto backUp = [&](int64_t jobId, uint32_t level, const std::vector<uint64_t>& only) {
    MountedForJob mounted;
    ASSERT_NO_FATAL_FAILURE(MountForJob(guid, jobId, mounted));
    const std::string disk = mounted.mount.disks[0].indexName;
    const std::string image = testsupport::ReadDisk(mounted.mount.disks[0].copy);
    vsArchive stream(&mounted.job, nullptr, nullptr, "km");
    ASSERT_EQ(0, stream.init(true));
    ASSERT_EQ(0, stream.createArchiveFile(guid, jobId + 100, 7, 1, "", level));
    for (uint64_t n = 0; n * kExtentBytes < image.size(); ++n) {
      if (!only.empty() && std::find(only.begin(), only.end(), n) == only.end()) continue;
      const std::string bytes = image.substr(n * kExtentBytes, kExtentBytes);
      const std::string name = "\\" + guid + "\\" + disk + "\\Extent" + std::to_string(n);
      ASSERT_EQ(0, stream.sendExtentHeader(name, disk, bytes.size(), 0, false, 1, 0, 0, 0, nullptr));
      ASSERT_EQ(0, stream.sendExtentData(bytes.data(), bytes.size(), {}, 512, nullptr));
      ASSERT_EQ(0, stream.sendEOF(true, 0));
    }
    ASSERT_EQ(0, stream.sendDiskHeader("\\" + guid + "\\" + disk, image.size(), image.size(), false, 1,
                                       kSectorsPerExtent, false));
    ASSERT_EQ(0, stream.sendEOF(true, 0));
    ASSERT_EQ(0, stream.closeArchiveFile());
    ASSERT_EQ(1, mounted.vmInfo.UnmountVM(mounted.ctx));
  };
  backUp(1001, 1, {});
  lab::VMDescription vm;
  ASSERT_TRUE(lab::FindVM("vcenter", guid, vm));
  const std::string imagePath = lab::DiskImagePath("vcenter", vm.disks[0].file);
  std::string changeId, error;
  ASSERT_TRUE(lab::WriteDiskRanges(imagePath, {{kExtentBytes + 5, 7}}, false, 0, changeId, error)) << error;
  {
    // An attempt at the incremental whose note could not be written (a file where the job's notes'
    // folder goes) fails its create and leaves no file that verify would name.
    vsJobMgr attempt;
    attempt.setJobId("1002");
    attempt.setMediaAgent("ma1");
    const std::string note = lab::VMArchiveListPath("ma1", 1002, guid);
    const std::string notes = note.substr(0, note.rfind('/'));
    ASSERT_TRUE(lab::MakeDirs(lab::MediaJobDir("ma1", 1002)));
    ASSERT_TRUE(lab::WriteFileAtomic(notes, "not a folder\n"));
    vsArchive stream(&attempt, nullptr, nullptr, "km");
    ASSERT_EQ(0, stream.init(true));
    EXPECT_EQ(vsArchive::kRetCreateFailed, stream.createArchiveFile(guid, 1102, 7, 1, "", 2));
    ASSERT_EQ(0, unlink(notes.c_str()));
  }
  backUp(1002, 2, {1});

  ToolResult verified = Tool({"verify", labDir_, "--job", "1002"});
  EXPECT_EQ(0, verified.exitCode) << verified.out << verified.err;
  EXPECT_EQ(std::string::npos, verified.out.find("left by an interrupted attempt")) << verified.out;
  EXPECT_NE(std::string::npos, verified.out.find("(jobs 1001, 1002)")) << verified.out;
  EXPECT_NE(std::string::npos, verified.out.find(": matches the point-in-time copy of job 1002")) << verified.out;
  EXPECT_NE(std::string::npos, verified.out.find("extents of scsi0-0-vm01_0.img: 1 item, 1048576 data bytes"));
  ToolResult asOfFull = Tool({"verify", labDir_, "--job", "1001", "--vm", guid});
  EXPECT_EQ(0, asOfFull.exitCode) << asOfFull.out;
  EXPECT_NE(std::string::npos, asOfFull.out.find(": matches the point-in-time copy of job 1001"));
  ToolResult withImage = Tool({"verify", labDir_, "--image", "scsi0-0-vm01_0.img=" + imagePath});
  EXPECT_EQ(0, withImage.exitCode) << withImage.out;
  EXPECT_NE(std::string::npos, withImage.out.find(": matches the image " + imagePath));

  // A flipped byte in the incremental's archive: named with its offset, and job 1002 is left out.
  const auto flipByte = [](const std::string& path) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(200);
    file.put('\x5a');
  };
  const lab::ArchiveLocation damaged = lab::ListArchiveFiles(1002).front();
  flipByte(damaged.path);
  ToolResult broken = Tool({"verify", labDir_, "--job", "1002"});
  EXPECT_EQ(1, broken.exitCode);
  EXPECT_NE(std::string::npos, broken.out.find("archive " + damaged.path + ": MALFORMED at offset ")) << broken.out;
  EXPECT_NE(std::string::npos, broken.out.find("job 1002 left out")) << broken.out;
  EXPECT_EQ(64, Tool({"verify", labDir_, "--image", "no-equals-sign"}).exitCode);
  ASSERT_EQ(0, Tool({"create", labDir_, "--job", "1003"}).exitCode);
  ToolResult nothing = Tool({"verify", labDir_, "--job", "1003"});
  EXPECT_EQ(1, nothing.exitCode);
  EXPECT_NE(std::string::npos, nothing.out.find("job 1003: no archive file on any media agent"));
  EXPECT_EQ(64, Tool({"verify", labDir_, "--job", "1009"}).exitCode) << "a job the lab never had";

  // With the full damaged too, the VM has no backup to start from: it says so, by name and GUID.
  flipByte(lab::ListArchiveFiles(1001).front().path);
  ToolResult unusable = Tool({"verify", labDir_, "--job", "1001"});
  EXPECT_EQ(1, unusable.exitCode);
  EXPECT_NE(std::string::npos, unusable.out.find("VM vm01 [" + guid + "]: no usable backup of it at or before job 1001:\n"))
      << unusable.out;
  EXPECT_EQ(std::string::npos, unusable.out.find("as of job 0")) << unusable.out;
}

// quarn-lab verify bounds its work by what is there: a disk header that declares far more than the
// archive holds is compared by its size before a byte is read, and one that declares more than a lab
// disk can have is refused. And it holds the job manager to its word: a VM reported backed up that
// has nothing to compare with is a problem; one not reported backed up is only named.
TEST_F(QuarnLabTool, VerifyBoundsItsWorkAndHoldsAVMReportedBackedUpToRestore) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "1"}).exitCode);
  UseToolLab();
  const std::string guid = "50290000-0000-4000-8000-000000000001";
  struct Case {
    const char* name;
    uint64_t declared;   // the disk header's size; 0: the disk's own
    bool mountKeepsDisk;
    int64_t status;      // of the VM with the job manager
    const char* said;
    int exitCode;
  };
  const Case cases[] = {
      {"a 1 KB archive declaring 2^40 bytes", 1ULL << 40, true, 0, "DIFFERS in size from the point-in-time copy", 1},
      {"a size no lab disk can have", 1ULL << 50, true, 0, "more than a lab disk can have", 1},
      {"reported backed up, nothing to compare with", 0, false, 0, "the VM is REPORTED BACKED UP", 1},
      {"not reported backed up, nothing to compare with", 0, false, 1, "nothing to compare with (the mount of job", 0},
  };
  int64_t jobId = 2000;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    ++jobId;
    MountedForJob mounted;
    ASSERT_NO_FATAL_FAILURE(MountForJob(guid, jobId, mounted));
    lab::MountRecord& mount = mounted.mount;
    std::string error;
    const std::string disk = "\\" + guid + "\\" + mount.disks[0].indexName;
    const uint64_t size = test.declared != 0 ? test.declared : mount.disks[0].sizeBytes;
    vsArchive stream(&mounted.job, nullptr, nullptr, "km");
    ASSERT_EQ(0, stream.init(true));
    ASSERT_EQ(0, stream.createArchiveFile(guid, jobId + 100, 7, 1, "", 1));
    const std::string bytes(1024, 'q');
    ASSERT_EQ(0, stream.sendExtentHeader(disk + "\\Extent0", mount.disks[0].indexName, bytes.size(), 0, false, 1, 0, 0,
                                         0, nullptr));
    ASSERT_EQ(0, stream.sendExtentData(bytes.data(), bytes.size(), {}, 512, nullptr));
    ASSERT_EQ(0, stream.sendEOF(true, 0));
    ASSERT_EQ(0, stream.sendDiskHeader(disk, size, size, false, 1, 2048, false));
    ASSERT_EQ(0, stream.sendEOF(true, 0));
    ASSERT_EQ(0, stream.closeArchiveFile());
    ASSERT_EQ(1, mounted.vmInfo.UnmountVM(mounted.ctx));
    if (!test.mountKeepsDisk) {
      ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMountRecord("vcenter", jobId, guid, mount, error));
      mount.disks.clear();
      ASSERT_TRUE(lab::WriteMountRecord("vcenter", jobId, mount, error)) << error;
    }
    JobManager::VMUpdateInfo record;
    record.setstring(JobManager::VMUpdateInfo::F_recordGuid, guid);
    record.setint64(JobManager::VMUpdateInfo::F_vmStatus, test.status);
    ASSERT_TRUE(lab::SaveVMStatus(jobId, guid, record, false, error)) << error;

    const ToolResult verified = Tool({"verify", labDir_, "--job", std::to_string(jobId), "--vm", guid});
    EXPECT_EQ(test.exitCode, verified.exitCode) << verified.out << verified.err;
    EXPECT_NE(std::string::npos, verified.out.find(test.said)) << verified.out;
  }
  // A VM reported backed up in a job that left no committed archive of it.
  JobManager::VMUpdateInfo record;
  record.setstring(JobManager::VMUpdateInfo::F_recordGuid, guid);
  record.setint64(JobManager::VMUpdateInfo::F_vmStatus, 0);
  std::string error;
  ASSERT_TRUE(lab::SaveVMStatus(1001, guid, record, false, error)) << error;
  const ToolResult none = Tool({"verify", labDir_, "--job", "1001"});
  EXPECT_EQ(1, none.exitCode);
  EXPECT_NE(std::string::npos, none.out.find("REPORTED BACKED UP in job 1001, but no committed archive")) << none.out;
}

// A VM reported backed up must come back whole: a disk its mount took that no backup of the chain
// holds is a problem (and only named for a VM not reported backed up), and so is a job that reported
// the VM backed up but is left out of its chain. The disk that is there restores byte for byte to
// the disk as it was before the jobs.
TEST_F(QuarnLabTool, VerifyHoldsAVMReportedBackedUpToEveryDiskItsMountTook) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "1", "--disks", "2"}).exitCode);
  UseToolLab();
  const std::string guid = "50290000-0000-4000-8000-000000000001";
  struct Case {
    const char* name;
    int64_t status;         // of the VM with the job manager
    bool endFailed;         // the job's VM header ends failed: the job's backup is damaged
    int exitCode;
    std::vector<std::string> said;
  };
  const Case cases[] = {
      // The index has no record of the job: its mount says which disks its backup holds.
      {"reported backed up, a disk missing", 0, false, 1,
       {"disk scsi0-1-vm01_1.img: NOT RESTORED: its chain of backups is broken: job 2001's backup of the disk is lost",
        "1 VM: 1 problem\n"}},
      {"reported backed up with errors, a disk missing", 3, false, 1, {"NOT RESTORED", "1 VM: 1 problem\n"}},
      {"not reported backed up, a disk missing", 1, false, 0, {"NOT RESTORED: the mount of job 2003 took it", "0 problems"}},
      {"reported backed up, its backup damaged", 0, true, 1,
       {"CANNOT REASSEMBLE: the newest backup of VM [" + guid + "] at or before job 2004 is not there: job 2004's "
        "backup of the VM cannot be used", "1 VM: 1 problem\n"}},
  };
  const auto sha256 = [](const std::string& bytes) {
    CPxSha256 digest;
    digest.Update(bytes.data(), bytes.size());
    return digest.FinalHex();
  };
  int64_t jobId = 2000;
  std::string diskBefore;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    ++jobId;
    MountedForJob mounted;
    ASSERT_NO_FATAL_FAILURE(MountForJob(guid, jobId, mounted));
    ASSERT_EQ(2u, mounted.mount.disks.size());
    const lab::MountedDisk& disk = mounted.mount.disks[0];
    const std::string image = testsupport::ReadDisk(lab::DiskImagePath("vcenter", disk.source));
    if (diskBefore.empty()) diskBefore = image;
    vsArchive stream(&mounted.job, nullptr, nullptr, "km");
    ASSERT_EQ(0, stream.init(true));
    ASSERT_EQ(0, stream.createArchiveFile(guid, jobId + 100, 7, 1, "", 1));
    ASSERT_NO_FATAL_FAILURE(archivetest::SendDiskAsOneExtent(stream, guid, disk.indexName, image));
    ASSERT_EQ(0, stream.sendEOF(true, 0));
    // The configuration file every backup sends, so that only the missing disk is missing.
    ASSERT_EQ(0, stream.sendFileHeader("\\" + guid + "\\VMConfig.ztf", 0, 0, false, false, false, 1, 0, 0, 0, false,
                                       true, false));
    ASSERT_EQ(0, stream.sendEOF(true, 0));
    ASSERT_EQ(0, stream.sendFileHeader("\\" + guid, 0, 0, true, false, false, 1, 0, 0, 0, false, true, false));
    ASSERT_EQ(0, stream.sendEOF(!test.endFailed, test.endFailed ? 5 : 0));
    ASSERT_EQ(0, stream.closeArchiveFile());
    ASSERT_EQ(1, mounted.vmInfo.UnmountVM(mounted.ctx));
    JobManager::VMUpdateInfo record;
    record.setstring(JobManager::VMUpdateInfo::F_recordGuid, guid);
    record.setint64(JobManager::VMUpdateInfo::F_vmStatus, test.status);
    std::string error;
    ASSERT_TRUE(lab::SaveVMStatus(jobId, guid, record, false, error)) << error;

    const ToolResult verified = Tool({"verify", labDir_, "--job", std::to_string(jobId), "--vm", guid});
    EXPECT_EQ(test.exitCode, verified.exitCode) << verified.out << verified.err;
    for (const std::string& said : test.said) EXPECT_NE(std::string::npos, verified.out.find(said)) << said << "\n" << verified.out;
    if (!test.endFailed) {
      EXPECT_NE(std::string::npos, verified.out.find("disk " + disk.indexName + ": " + std::to_string(image.size()) +
                                                     " bytes, sha256 " + sha256(diskBefore) + ": matches"))
          << verified.out;
    }
  }
}

}  // namespace

namespace {

// quarn-lab disk: each accepted write is one new generation of the disk's journal; a refused one
// changes nothing.
TEST_F(QuarnLabTool, DiskWritesAGenerationAndRefusesWhatItCannotWrite) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "1"}).exitCode);
  const uint64_t size = 4 * 1024 * 1024;  // the first sample disk
  struct Case {
    std::vector<std::string> args;
    int exitCode;
  };
  const Case cases[] = {
      {{"--offset", std::to_string(size - 512), "--bytes", "512"}, 0},
      {{"--percent", "5", "--seed", "3"}, 0},
      {{"--offset", std::to_string(size - 511), "--bytes", "512"}, 1},
      {{"--offset", "0", "--bytes", "1", "--percent", "5"}, 64},
      {{"--offset", "0"}, 64},
      {{"--percent", "0"}, 64},
      {{"--percent", "101"}, 64},
      {{}, 64},
  };
  uint64_t generations = 0;
  for (const Case& c : cases) {
    std::vector<std::string> args = {"disk", labDir_, "vm01", "0", "write"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ToolResult result = Tool(args);
    EXPECT_EQ(c.exitCode, result.exitCode) << result.err;
    if (c.exitCode == 0) ++generations;
  }
  // A percent writes that much of the disk, rounded up to whole sectors, and says so.
  const ToolResult spread = Tool({"disk", labDir_, "vm01", "0", "write", "--percent", "2"});
  EXPECT_EQ(0, spread.exitCode) << spread.err;
  EXPECT_NE(std::string::npos, spread.out.find("wrote 83968 bytes (2% of 4194304 bytes, rounded up to whole 512-byte "
                                               "sectors) in 1 range to "))
      << spread.out;
  ++generations;
  EXPECT_EQ(64, Tool({"disk", labDir_, "vm99", "0", "write", "--percent", "1"}).exitCode);
  EXPECT_EQ(64, Tool({"disk", labDir_, "vm01", "7", "write", "--percent", "1"}).exitCode);
  UseToolLab();
  std::string image, error;
  uint64_t bytes = 0;
  ASSERT_TRUE(lab::FindVMDiskImage("vm01", "vm01_0.img", image, bytes, error)) << error;
  lab::ChangeJournal journal;
  ASSERT_EQ(lab::ReadResult::kRead, lab::ReadChangeJournal(image, journal, error)) << error;
  EXPECT_EQ(generations, journal.last);
  lab::SetRoot(std::string());
}

}  // namespace

namespace {

// A rule is stored only when it can fire: an operation the stand-ins ask about, selectors its calls
// give, and a client, VM and disk the lab has; VMs and disks are named any way a user knows them.
TEST_F(QuarnLabTool, FaultRulesNameOnlyWhatTheLabAndTheOperationHave) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "2", "--disks", "2"}).exitCode);
  const std::string vm02 = "50290000-0000-4000-8000-000000000002";
  struct Case {
    std::vector<std::string> args;  // after "fault LAB add"
    int exitCode;
    const char* stored;  // the rule's selectors as listed, or the error's words
  };
  const Case cases[] = {
      {{"disk.Read", "--vm", "vm02"}, 0, "op=disk.Read vm=50290000-0000-4000-8000-000000000002 after="},
      {{"disk.Read", "--vm", vm02, "--disk", "1"}, 0, "vm=50290000-0000-4000-8000-000000000002 disk=scsi0-1-vm02_1.img"},
      {{"disk.Read", "--vm", "vm02", "--disk", "vm02_1.img"}, 0, "disk=scsi0-1-vm02_1.img"},
      {{"disk.Read", "--disk", "scsi0-0-vm01_0.img"}, 0, "op=disk.Read disk=scsi0-0-vm01_0.img"},
      {{"vminfo.MountFailure", "--disk", "vm01_1.img"}, 0, "disk=scsi0-1-vm01_1.img"},
      {{"archive.write", "--stream", "2", "--client", "proxyB"}, 0, "client=proxyB stream=2"},
      {{"thread.Create", "--disk", "disk"}, 0, "op=thread.Create disk=disk"},
      {{"lvm.ReadVolumeData", "--vm", "vm01", "--disk", "vg0-root"}, 0, "disk=vg0-root"},
      {{"lvm.OpenVolume", "--vm", "vm01"}, 64, "lvm.OpenVolume takes no --vm"},
      {{"disk.Raed"}, 64, "unknown operation 'disk.Raed' (did you mean disk.Read?)"},
      {{"disk.Read", "--vm", "vm99"}, 64, "the lab has no VM 'vm99'"},
      {{"disk.Read", "--vm", "vm02", "--disk", "2"}, 64, "has no disk [2]"},
      {{"disk.Read", "--disk", "1"}, 64, "give --vm with a disk number"},
      {{"disk.Read", "--disk", "scsi0-0-vm07_0.img"}, 64, "no VM of the lab has a disk"},
      {{"jobmgr.initBackup", "--vm", "vm01"}, 64, "jobmgr.initBackup takes no --vm"},
      {{"vminfo.ReserveDiskStream", "--vm", "vm01"}, 64, "takes no --vm"},
      {{"disk.Read", "--stream", "1"}, 64, "disk.Read takes no --stream"},
      {{"archive.write", "--stream", "first"}, 64, "--stream takes a stream id"},
      // The subclient lets a job ask for up to four streams: stream 4 can carry a call, stream 5 none.
      {{"archive.write", "--stream", "4"}, 0, "op=archive.write stream=4"},
      {{"archive.write", "--stream", "5"}, 64, "--stream takes a stream id the lab's jobs have, from 1 to 4"},
      {{"jobmgr.initBackup", "--client", "nobody"}, 64, "the lab has no client 'nobody'"},
  };
  int added = 0;
  for (const Case& c : cases) {
    std::vector<std::string> args = {"fault", labDir_, "add"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.insert(args.end(), {"--code", "5"});
    const ToolResult result = Tool(args);
    EXPECT_EQ(c.exitCode, result.exitCode) << c.args[0] << result.err;
    EXPECT_NE(std::string::npos, (c.exitCode == 0 ? result.out : result.err).find(c.stored))
        << result.out << result.err;
    added += c.exitCode == 0;
  }
  UseToolLab();
  lab::FaultTable table;
  std::string error;
  ASSERT_TRUE(lab::ReadFaultTable(table, error)) << error;
  EXPECT_EQ(static_cast<size_t>(added), table.rules.size()) << "a refused rule is not stored";
  // A rule naming the VM by GUID catches a call that names it by name, and the other way round.
  lab::Fault fault;
  for (const char* called : {"vm02", "50290000-0000-4000-8000-000000000002"}) {
    lab::FaultCall call;
    call.op = "disk.Read";
    call.vm = called;
    call.disk = "scsi0-1-vm02_1.img";
    EXPECT_TRUE(lab::CheckFault(call, fault)) << called;
  }
  lab::FaultCall other;
  other.op = "disk.Read";
  other.vm = "vm01";
  other.disk = "scsi0-1-vm02_1.img";
  EXPECT_FALSE(lab::CheckFault(other, fault));
}

std::string SourceText(const std::string& relative) { return ReadAll(std::string(QUARN_SOURCE_DIR) + "/" + relative); }

// The README's fault table is the table in code, and every operation a stand-in asks the fault table
// about is in it (and each one in it is asked about).
TEST_F(QuarnLabTool, TheFaultOperationTableIsTheOneTheReadmeShowsAndTheStandInsAsk) {
  const std::string readme = SourceText("README.md");
  const std::string table = lab::FaultOperationTableMarkdown();
  EXPECT_NE(std::string::npos, readme.find(table)) << "the README's fault table must read:\n" << table;

  // Names given as text to a fault check, or to a call's op; a name made at run time by its prefix.
  std::set<std::string> asked, madePrefixes;
  const std::regex named(
      R"rx((?:CheckFault|Faulted|Fault|InjectedFault|Refused|Record|Value|SetValue)\(\s*(?:\w+,\s*)?"([a-z]+\.[A-Za-z.]+)"|op = "([a-z]+\.[A-Za-z.]+)")rx");
  const std::regex made(R"rx(op = "([a-z]+\.)" \+)rx");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(std::string(QUARN_SOURCE_DIR) + "/platform")) {
    if (entry.path().extension() != ".cpp") continue;
    const std::string text = ReadAll(entry.path().string());
    for (std::sregex_iterator it(text.begin(), text.end(), named), end; it != end; ++it)
      asked.insert((*it)[1].matched ? (*it)[1].str() : (*it)[2].str());
    for (std::sregex_iterator it(text.begin(), text.end(), made), end; it != end; ++it) madePrefixes.insert((*it)[1]);
  }
  std::set<std::string> listed;
  for (const lab::FaultOperationRow& row : lab::FaultOperationRows()) {
    for (const lab::FaultOperation& operation : row.operations) {
      const std::string name = operation.name;
      EXPECT_TRUE(listed.insert(name).second) << name << " is listed twice";
      if (madePrefixes.count(name.substr(0, name.find('.') + 1))) asked.insert(name);
    }
  }
  for (const std::string& name : asked) EXPECT_TRUE(listed.count(name)) << name << " is asked but not listed";
  for (const std::string& name : listed) EXPECT_TRUE(asked.count(name)) << name << " is listed but never asked";
}

TEST_F(QuarnLabTool, EveryCommandExplainsItsOptions) {
  ToolResult version = Tool({"--version"});
  EXPECT_EQ(0, version.exitCode);
  EXPECT_EQ(0u, version.out.find("quarn-lab ")) << version.out;
  for (const char* command : {"create", "run", "outcome", "set", "fault", "disk", "verify", "session", "vm", "meditech"}) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{command, "--help"},
                                                 std::vector<std::string>{"help", command},
                                                 std::vector<std::string>{command, labDir_, "--vms", "--help"}}) {
      const ToolResult help = Tool(args);
      EXPECT_EQ(0, help.exitCode) << command;
      EXPECT_EQ(0u, help.out.find(std::string("usage: quarn-lab ") + command)) << help.out;
    }
  }
  const ToolResult run = Tool({"run", "--help"});
  for (const char* option : {"--job ID", "--subclient ID", "--client NAME", "--program PATH", "130 interrupted"})
    EXPECT_NE(std::string::npos, run.out.find(option)) << option;
  EXPECT_NE(std::string::npos, Tool({"session", "--help"}).out.find("how long to wait for a request (default 600)"));
  EXPECT_NE(std::string::npos, Tool({"fault", "--help"}).out.find("  disk.Read                                      --vm --disk\n"));
  EXPECT_FALSE(testsupport::Exists(labDir_)) << "help changes nothing";
}

// Disks of a given size or from given images: a user backs up disks of their own size or content, and
// they restore byte for byte.
TEST_F(QuarnLabTool, CreateTakesADiskSizeAndImagesAndRefusesAFolderThatIsNotALab) {
  const std::string data(3 * 512, 'q');
  ASSERT_TRUE(lab::WriteFileAtomic(dir_.Path("a.img"), std::string(2 << 20, '\0') + data));
  ASSERT_TRUE(lab::WriteFileAtomic(dir_.Path("b.img"), data));
  ASSERT_TRUE(lab::WriteFileAtomic(dir_.Path("odd.img"), data + "x"));
  // Every VM's disks start as copies of the files, one per disk; without --disks the files count them.
  const ToolResult created =
      Tool({"create", labDir_, "--vms", "2", "--disk-images", dir_.Path("a.img") + "," + dir_.Path("b.img")});
  ASSERT_EQ(0, created.exitCode) << created.err;
  UseToolLab();
  for (const char* name : {"vm01", "vm02"}) {
    lab::VMDescription vm;
    ASSERT_TRUE(lab::FindVM(lab::SampleServer(), name, vm));
    ASSERT_EQ(2u, vm.disks.size()) << name;
    EXPECT_EQ((2u << 20) + data.size(), vm.disks[0].sizeBytes);
    EXPECT_EQ(data.size(), vm.disks[1].sizeBytes);
    const std::string first = lab::DiskImagePath(lab::SampleServer(), vm.disks[0].file);
    EXPECT_EQ(ReadAll(dir_.Path("a.img")), ReadAll(first)) << name;
    struct stat image;
    ASSERT_EQ(0, stat(first.c_str(), &image));
    EXPECT_LT(image.st_blocks * 512, 1 << 20) << "the copy keeps the image's holes";
  }
  // A disk size gives every sample disk that size, the first and the rest alike.
  lab::SetRoot(std::string());
  const std::string sized = dir_.Path("sized");
  ASSERT_EQ(0, Tool({"create", sized, "--vms", "1", "--disks", "3", "--disk-size", "3"}).exitCode);
  lab::SetRoot(sized);
  lab::VMDescription sizedVM;
  ASSERT_TRUE(lab::FindVM(lab::SampleServer(), "vm01", sizedVM));
  ASSERT_EQ(3u, sizedVM.disks.size());
  for (const lab::VMDisk& disk : sizedVM.disks) EXPECT_EQ(3u << 20, disk.sizeBytes);
  lab::SetRoot(std::string());
  ToolResult run = Tool({"run", labDir_});
  ASSERT_EQ(0, run.exitCode) << run.out << run.err;
  ToolResult verified = Tool({"verify", labDir_, "--vm", "vm01", "--image", "1=" + dir_.Path("b.img")});
  EXPECT_EQ(0, verified.exitCode) << verified.out;
  EXPECT_NE(std::string::npos, verified.out.find("disk scsi0-1-vm01_1.img: 1536 bytes")) << verified.out;
  EXPECT_NE(std::string::npos, verified.out.find(": matches the image " + dir_.Path("b.img"))) << verified.out;

  const std::string other = dir_.Path("other");
  ASSERT_TRUE(lab::MakeDirs(other));
  ASSERT_TRUE(lab::WriteFileAtomic(other + "/mine.txt", "keep"));
  struct Refused {
    std::vector<std::string> args;
    int exitCode;
    const char* words;
  } refused[] = {
      {{"create", other}, 1, "is not empty and not a lab"},
      {{"create", other + "/mine.txt"}, 1, "is not empty and not a lab"},
      {{"create", dir_.Path("new"), "--disk-images", dir_.Path("odd.img")}, 64, "no whole number of 512-byte sectors"},
      {{"create", dir_.Path("new"), "--disks", "1", "--disk-images", dir_.Path("a.img") + "," + dir_.Path("b.img")},
       64, "a sample VM has 1 disks but 2 disk images are given"},
      {{"create", dir_.Path("new"), "--disk-size", "3", "--disk-images", dir_.Path("b.img")}, 64,
       "--disk-size and --disk-images both give the disks' sizes"},
      {{"create", dir_.Path("new"), "--disk-size", "1048577"}, 64, "--disk-size must be a number from 1 to 1048576"},
      {{"create", dir_.Path("new"), "--job", "500000"}, 64,
       "job 500000 cannot be made: job ids from 500000 on are the management server's (restores, workflows)"},
      // A job id names one job of one subclient for good: no new job takes an id at or below one that
      // has run, and no job of the lab becomes another subclient's.
      {{"create", labDir_, "--job", "1000"}, 64,
       "job 1000 cannot be made: job 1001 has run, and a new job's id comes after every job that has run (the next "
       "new job is 1002)"},
      {{"create", labDir_, "--job", "900", "--vms", "1"}, 64, "job 900 cannot be made: job 1001 has run"},
      {{"create", labDir_, "--job", "1001", "--subclient", "2"}, 64,
       "job 1001 is of subclient 1, not of subclient 2: a job id names one job of one subclient"},
      {{"create", labDir_, "--job", "500000"}, 64, "job 500000 cannot be made: job ids from 500000 on are the "},
  };
  const std::map<std::string, std::string> labBefore = labrun::LabTree(labDir_);
  for (const Refused& r : refused) {
    const ToolResult result = Tool(r.args);
    EXPECT_EQ(r.exitCode, result.exitCode) << r.args[1];
    EXPECT_NE(std::string::npos, result.err.find(r.words)) << result.err;
  }
  EXPECT_EQ("", labrun::LabTreeChanges(labBefore, labrun::LabTree(labDir_))) << "a refused create changed the lab";
  EXPECT_EQ("keep", ReadAll(other + "/mine.txt"));
  EXPECT_FALSE(testsupport::Exists(other + "/clients"));
  EXPECT_FALSE(testsupport::Exists(dir_.Path("new")));

  // A subclient's first job takes a new id; a job named without --subclient keeps its own subclient; a
  // lab's job 1001 is added to while it is the subclient's; the last id below the management server's is
  // a backup job's.
  const struct Made {
    std::vector<std::string> args;
    const char* says;
  } made[] = {
      {{"create", labDir_, "--subclient", "2"}, "subclient 2, job 1002 (full), 2 VMs"},
      {{"create", labDir_, "--job", "1002"}, "subclient 2, job 1002 (full), 2 VMs"},
      {{"create", labDir_, "--vms", "3"}, "subclient 1, job 1001 (full), 3 VMs"},
      {{"create", labDir_, "--job", "499999"}, "subclient 1, job 499999 (full), 3 VMs"},
  };
  for (const Made& m : made) {
    const ToolResult result = Tool(m.args);
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_NE(std::string::npos, result.out.find(m.says)) << result.out;
  }
  UseToolLab();
  std::string error;
  lab::JobRecord second;
  ASSERT_TRUE(lab::ReadJobRecord(1002, second, error)) << error;
  EXPECT_EQ("2", second.subclient);
  EXPECT_EQ(64, Tool({"create", labDir_, "--job", "1002", "--subclient", "1"}).exitCode);
}

TEST_F(QuarnLabTool, SetWarnsOfKeysNoSettingsTableKnowsAndTakesMaskLengths) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "0"}).exitCode);
  struct Case {
    const char* section;
    const char* key;
    const char* warning;  // nullptr: none
  } cases[] = {
      {"VirtualServer", "nIgnoreChangeId", nullptr},
      {"VirtualServer", "AgentInitSleepTime", nullptr},
      {"Base", "nQuarnDebugLevel", nullptr},
      {"VirtualServer", "nIgnoreChangeID", "(did you mean nIgnoreChangeId?)"},
      {"VirtualServer", "nNoSuchKey", "no settings table knows the key 'nNoSuchKey' of section 'VirtualServer'"},
      {"Elsewhere", "nIgnoreChangeId", "of section 'Elsewhere'"},
  };
  for (const Case& c : cases) {
    const ToolResult result = Tool({"set", labDir_, "proxyA", c.section, c.key, "1"});
    EXPECT_EQ(0, result.exitCode) << c.key << " is written all the same";
    EXPECT_EQ(c.warning == nullptr, result.err.empty()) << c.key << ": " << result.err;
    if (c.warning != nullptr) {
      EXPECT_NE(std::string::npos, result.err.find(c.warning)) << result.err;
    }
  }
  const std::pair<const char*, const char*> masks[] = {{"10.2.0.9/24", "255.255.255.0"},
                                                       {"10.2.0.9/32", "255.255.255.255"},
                                                       {"fd00::7/64", "ffff:ffff:ffff:ffff::"}};
  UseToolLab();
  for (const auto& mask : masks) {
    ASSERT_EQ(0, Tool({"set", labDir_, "proxyA", "--addresses", mask.first}).exitCode) << mask.first;
    lab::MachineRecord machine;
    std::string error;
    ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMachineRecord("proxyA", machine, error));
    ASSERT_EQ(1u, machine.addresses.size());
    EXPECT_EQ(mask.second, machine.addresses[0].second) << mask.first;
  }
  for (const char* bad : {"10.2.0.9/33", "fd00::7/129", "10.2.0.9/-1"})
    EXPECT_EQ(64, Tool({"set", labDir_, "proxyA", "--addresses", bad}).exitCode) << bad;
}

TEST_F(QuarnLabTool, VerifyOnALabThatNeverRanHasNothingToVerify) {
  ASSERT_EQ(0, Tool({"create", labDir_, "--vms", "1"}).exitCode);
  const ToolResult nothing = Tool({"verify", labDir_});
  EXPECT_EQ(1, nothing.exitCode);
  EXPECT_NE(std::string::npos, nothing.out.find("nothing to verify: the lab's media agents hold no archive file"));
  EXPECT_EQ(64, Tool({"verify", labDir_, "--vm", "vm01", "--image", "3=" + dir_.Path("x.img")}).exitCode)
      << "an image for a disk the VM does not have";
}

}  // namespace
