// MEDITECH jobs run as the job manager starts them: the coordinator with its own agent and an agent
// process, the lab's MEDITECH system behind the stand-in of its tool.
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabAgent.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabMediTech.h"
#include "platform/lab/LabSettings.h"
#include "platform/lab/LabSubclient.h"
#include "records/messages/JobManagerMessages.h"
#include "support/ArchiveTestSupport.h"
#include "support/MediTechTestSupport.h"
#include "support/TestLab.h"

namespace {

using testsupport::CountOf;

constexpr int64_t kJob = 1001;
const std::vector<std::string> kVMs = {"vm01", "vm02", "vm03"};

std::string Guid(int vm) { return "50290000-0000-4000-8000-00000000000" + std::to_string(vm); }

// A lab of three one-disk VMs, the coordinator and one agent process, and a MEDITECH system of them.
void MakeLab(testsupport::TestLab& lab, const std::string& password, const std::string& user = "mbfadmin") {
  lab::LabPlan plan;
  plan.clients = {"coordinator", "proxyA"};
  ASSERT_TRUE(lab.Create(plan));
  std::string error;
  ASSERT_TRUE(testsupport::MakeMediTechSystem(kVMs, error, password, user)) << error;
}

int RunJob(const testsupport::TestLab& lab) {
  return lab.RunProgram({QUARN_LAB_BINARY, "run", lab.Root(), "--", "-numStreams", "3"});
}

// Runs the job with a rule that holds the calls of `hold` it names; once one is held, `meanwhile` runs
// and the rule goes, so the call goes on. The job's exit status; -1 when no call was held within a
// minute of the lab standing still.
int RunJobHeldAt(const testsupport::TestLab& lab, lab::FaultRule hold, const std::function<void()>& meanwhile) {
  hold.hold = true;
  std::string error;
  if (!lab::AddFaultRule(hold, error)) return -1;
  setenv(lab::RootVariable(), lab.Root().c_str(), 1);
  const pid_t job = testsupport::StartProgram({QUARN_LAB_BINARY, "run", lab.Root(), "--", "-numStreams", "3"},
                                              lab.Path("run.txt"));
  unsetenv(lab::RootVariable());
  const int watcher = inotify_init1(IN_CLOEXEC);
  inotify_add_watch(watcher, lab.Root().c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
  const auto held = [] {
    lab::FaultTable table;
    std::string why;
    return lab::ReadFaultTable(table, why) && !table.rules.empty() && table.rules.front().fired > 0;
  };
  bool reached = held();
  while (!reached) {
    pollfd ready = {watcher, POLLIN, 0};
    char events[4096];
    if (poll(&ready, 1, 60000) <= 0 || read(watcher, events, sizeof events) <= 0) break;
    reached = held();
  }
  close(watcher);
  if (reached) meanwhile();
  lab::ClearFaultTable(error);
  const int status = testsupport::WaitProgram(job);
  return reached ? status : -1;
}

// "<client> <verb> <exit code>" per line of the tool's record (a snapshot line ends with its state).
std::vector<std::string> ToolRecord() {
  std::vector<std::string> lines;
  for (const std::vector<std::string>& fields : lab::ReadMediTechRecord()) {
    if (fields.size() < 4) continue;
    std::string line = fields[1] + " " + fields[2] + " " + fields[3];
    if (fields[2] == "snapshot" && fields.size() > 5) line += " " + fields[5];
    lines.push_back(line);
  }
  return lines;
}

const std::vector<std::string> kCensusOfEveryProcess = {"coordinator census 0", "coordinator census 0",
                                                        "proxyA census 0"};

std::vector<std::string> With(std::vector<std::string> lines, const std::vector<std::string>& more) {
  lines.insert(lines.end(), more.begin(), more.end());
  return lines;
}

struct VMEnd {
  int64_t status = -1;  // the job manager's: 0 backed up
  std::string reason;
};

std::map<std::string, VMEnd> VMEnds() {
  std::map<std::string, VMEnd> ends;
  for (const std::string& guid : vsJobMgr::ReadVMStatusGuids(kJob)) {
    JobManager::VMUpdateInfo record;
    if (!vsJobMgr::ReadVMStatus(kJob, guid, record)) continue;
    VMEnd& end = ends[record.getstring(JobManager::VMUpdateInfo::F_vmName)];
    end.status = record.getint64(JobManager::VMUpdateInfo::F_vmStatus);
    end.reason = record.getstring(JobManager::VMUpdateInfo::F_failureText);
  }
  return ends;
}

bool Verified(const testsupport::TestLab& lab, int vm, const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {QUARN_LAB_BINARY, "verify", lab.Root(), "--job", "1001", "--vm", Guid(vm)};
  args.insert(args.end(), extra.begin(), extra.end());
  return lab.RunProgram(args) == 0;
}

// What the administrator relies on: every VM reported backed up restores byte for byte, every other
// one says why it was not.
void ExpectDoneRestoresOthersSayWhy(const testsupport::TestLab& lab, size_t expectedDone) {
  const std::map<std::string, VMEnd> ends = VMEnds();
  ASSERT_EQ(kVMs.size(), ends.size());
  size_t done = 0;
  for (int vm = 1; vm <= 3; ++vm) {
    const VMEnd& end = ends.at(kVMs[vm - 1]);
    if (end.status == 0) {
      ++done;
      EXPECT_TRUE(Verified(lab, vm)) << kVMs[vm - 1];
    } else {
      EXPECT_FALSE(end.reason.empty()) << kVMs[vm - 1] << " failed without a reason";
    }
  }
  EXPECT_EQ(expectedDone, done);
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool JobFailed() {
  for (const std::string& line : lab::ReadPhaseLines(kJob))
    if (line.rfind("phaseFailed failJob=1", 0) == 0) return true;
  return false;
}

// The first lab file that holds the text; empty when none does.
std::string LabFileHolding(const testsupport::TestLab& lab, const std::string& text) {
  std::error_code ignored;
  for (std::filesystem::recursive_directory_iterator it(lab.Root(), ignored), end; !ignored && it != end;
       it.increment(ignored)) {
    if (!it->is_regular_file(ignored) || it->is_symlink(ignored)) continue;
    std::string content, error;
    if (lab::ReadRegularFile(it->path().string(), 1 << 30, content, error) && content.find(text) != std::string::npos)
      return it->path().string();
  }
  return std::string();
}

TEST(MediTechRun, TheSystemIsQuiescedOnlyAroundTheSnapshotAndEveryVMRestoresAsItWasThen) {
  testsupport::TestLab lab;
  const std::string marker = lab.Path("ran-by-a-shell");
  // Shell metacharacters in the user name and the password: each must reach the tool as one argument.
  const std::string user = "ops 'x'; touch " + marker + "; echo $(touch " + marker + ")";
  const std::string password = "Pw`touch " + marker + "`;|&\"q";
  MakeLab(lab, password, user);
  // The images as they are before the job: nothing writes them until the snapshot is taken.
  std::map<int, std::string> before;
  for (int vm = 1; vm <= 3; ++vm) {
    std::string image, error;
    uint64_t size = 0;
    ASSERT_TRUE(lab::FindVMDiskImage(kVMs[vm - 1], "0", image, size, error)) << error;
    before[vm] = lab.Path("before-" + std::to_string(vm));
    std::filesystem::copy_file(image, before[vm]);
  }

  // vm01's disk changes after the snapshot and before its mount: the mount reads the snapshot.
  lab::FaultRule mount;
  mount.op = "vminfo.MountVM";
  mount.vm = Guid(1);
  std::string vm01Image;
  ASSERT_EQ(0, RunJobHeldAt(lab, mount, [&] {
              uint64_t size = 0;
              std::string changeId, error;
              ASSERT_TRUE(lab::FindVMDiskImage("vm01", "0", vm01Image, size, error));
              ASSERT_TRUE(lab::WriteDiskRanges(vm01Image, lab::SpreadRanges(size, 50), false, 0, changeId, error));
            }));

  const std::vector<std::string> record = ToolRecord();
  ASSERT_EQ(6u, record.size());
  std::vector<std::string> census(record.begin(), record.begin() + 3);
  std::sort(census.begin(), census.end());
  EXPECT_EQ(kCensusOfEveryProcess, census) << "every process takes its census before the quiesce";
  EXPECT_EQ((std::vector<std::string>{"coordinator quiesce 0", "coordinator snapshot 0 quiesced=1",
                                      "coordinator unquiesce 0"}),
            std::vector<std::string>(record.begin() + 3, record.end()));
  for (const std::vector<std::string>& fields : lab::ReadMediTechRecord()) {
    if (fields[2] != "snapshot") {
      EXPECT_EQ("U=" + user, fields[5]) << "the user name is one argument";
    }
  }
  EXPECT_FALSE(testsupport::Exists(marker)) << "a shell ran part of the configuration";
  EXPECT_EQ("", LabFileHolding(lab, password));

  // The other disks change after the job; every backup is its disk as the snapshot took it.
  for (int vm = 1; vm <= 3; ++vm) {
    if (vm > 1) {
      ASSERT_EQ(0, lab.RunProgram({QUARN_LAB_BINARY, "disk", lab.Root(), kVMs[vm - 1], "0", "write", "--percent", "50"}));
    }
    std::string image, error;
    uint64_t size = 0;
    ASSERT_TRUE(lab::FindVMDiskImage(kVMs[vm - 1], "0", image, size, error));
    const std::string indexName = "scsi0-0-" + image.substr(image.rfind('/') + 1);
    EXPECT_TRUE(Verified(lab, vm, {"--image", indexName + "=" + before[vm]})) << kVMs[vm - 1];
    EXPECT_FALSE(Verified(lab, vm, {"--image", indexName + "=" + image})) << "the live disk has changed";
  }
  ExpectDoneRestoresOthersSayWhy(lab, 3);
}

TEST(MediTechRun, CensusVMsMissingFromTheJobStopTheQuiesceAndTheSnapshot) {
  testsupport::TestLab lab;
  MakeLab(lab, "pw-missing");
  lab::MediTechSystem system;
  std::string error;
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMediTechSystem(system, error)) << error;
  system.vms.push_back(lab::MediTechVM{"vm98", {"6000c200-0000-4000-8000-000000000098"}});
  system.vms.push_back(lab::MediTechVM{"vm99", {}});
  ASSERT_TRUE(lab::WriteMediTechSystem(system, error)) << error;

  RunJob(lab);

  const std::vector<std::string> pending = lab::ReadPendingCauses(kJob);
  EXPECT_EQ(1, std::count(pending.begin(), pending.end(), "0x5B000195 vm98"));
  EXPECT_EQ(1, std::count(pending.begin(), pending.end(), "0x5B000195 vm99"));
  EXPECT_TRUE(Contains(pending, "0x5B000190 The shared shadow was refused before its creation (144)"));
  EXPECT_EQ(1u, CountOf(lab.Log("coordinator"), "Some MediTech VM(s) are not included in the backup"));
  EXPECT_EQ(kCensusOfEveryProcess, ToolRecord()) << "no quiesce, no snapshot";
  for (const std::string& line : lab::ReadSharedShadowLog(lab::SampleServer())) EXPECT_NE(0u, line.find("create"));
  EXPECT_TRUE(JobFailed());
  ExpectDoneRestoresOthersSayWhy(lab, 0);
}

TEST(MediTechRun, AFilteredCensusDiskFailsItsVMBeforeAnyDataAndTheJobWithIt) {
  testsupport::TestLab lab;
  MakeLab(lab, "pw-filter");
  std::string error;
  ASSERT_TRUE(lab::SetSubclientValue("1", "diskFilter.1.type", "2", error)) << error;
  ASSERT_TRUE(lab::SetSubclientValue("1", "diskFilter.1.value", "*6000c200-0000-4000-8000-000000000002", error));

  RunJob(lab);

  EXPECT_EQ("All Meditech disks of this VM are not included in the backup", VMEnds()["vm02"].reason);
  const std::vector<std::string> events = lab::ReadJobEvents(kJob);
  EXPECT_TRUE(Contains(events, "MINOR 0x5B000192 vm02|6000c200-0000-4000-8000-000000000002"));
  EXPECT_TRUE(Contains(lab::ReadPendingCauses(kJob), "0x5B000194 vm02"));
  EXPECT_TRUE(JobFailed());
  // Nothing of the VM's disks went to an archive: the check comes before any data.
  std::vector<std::string> problems;
  for (const archive::ArchiveContents& contents : archivetest::ReadJobArchives(kJob, &problems)) {
    for (const archive::Item& item : contents.items)
      EXPECT_EQ(std::string::npos, item.name.find(Guid(2) + "\\scsi0")) << item.name;
  }
  ExpectDoneRestoresOthersSayWhy(lab, VMEnds()["vm01"].status == 0 ? 1 + (VMEnds()["vm03"].status == 0)
                                                                   : (VMEnds()["vm03"].status == 0));
}

// Failures of the tool and of the snapshot. The password comes from the setting here (stored
// protected), and a failing tool echoes it.
TEST(MediTechRun, ToolAndSnapshotFailuresAroundTheSnapshot) {
  struct Case {
    const char* name;
    const char* op;
    int code;
    const char* text;
    std::vector<std::string> tail;  // the record after every process's census
    std::vector<std::string> pending;
    std::vector<std::string> events;
    size_t done;
  } cases[] = {
      {"quiesce fails", "meditech.quiesce", 5, "listener down", {"coordinator quiesce 5"},
       {"0x5B000193 quiesce"}, {"CRITICAL 0x5B000193 quiesce"}, 0},
      {"unquiesce fails", "meditech.unquiesce", 6, "listener lost",
       {"coordinator quiesce 0", "coordinator snapshot 0 quiesced=1", "coordinator unquiesce 6"}, {},
       {"MINOR 0x5B000193 unquiesce"}, 3},
      {"snapshot fails after the quiesce", "vminfo.CreateSharedShadow", 77, "array busy",
       {"coordinator quiesce 0", "coordinator unquiesce 0"}, {"0x5B000190 array busy"},
       {"CRITICAL 0x5B000190 array busy"}, 0},
  };
  // Its value is what follows the item's first '='.
  const std::string password = "reg=istry;pw";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TestLab lab;
    MakeLab(lab, "not-the-password");
    std::string error;
    for (const char* client : {"coordinator", "proxyA"})
      ASSERT_TRUE(lab::WriteProtectedSetting(client, "VirtualServer", "sMediTechConfiguration",
                                             "Password=" + password, error))
          << error;
    ASSERT_TRUE(lab::SetSubclientValue("1", "meditech.password", "", error));
    lab::MediTechSystem system;
    ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMediTechSystem(system, error));
    system.passwordSha256 = lab::MediTechPasswordDigest(password);
    ASSERT_TRUE(lab::WriteMediTechSystem(system, error));
    lab::FaultRule rule;
    rule.op = c.op;
    rule.code = c.code;
    rule.text = c.text;
    rule.client = "coordinator";
    ASSERT_TRUE(lab.Fault(rule));

    RunJob(lab);

    EXPECT_EQ(With(kCensusOfEveryProcess, c.tail), ToolRecord());
    const std::vector<std::string> pending = lab::ReadPendingCauses(kJob);
    for (const std::string& cause : c.pending) EXPECT_TRUE(Contains(pending, cause)) << cause;
    for (const std::string& event : c.events) EXPECT_TRUE(Contains(lab::ReadJobEvents(kJob), event)) << event;
    EXPECT_EQ(c.done == 0, JobFailed());
    ExpectDoneRestoresOthersSayWhy(lab, c.done);
    EXPECT_EQ("", LabFileHolding(lab, "istry=pw"));
  }
}

// The job is told to quit while the system is quiesced: the snapshot completes, the system is
// unquiesced once, and nothing is left quiesced.
TEST(MediTechRun, AJobThatQuitsWhileTheSystemIsQuiescedUnquiescesItOnce) {
  testsupport::TestLab lab;
  MakeLab(lab, "pw-quit");
  lab::FaultRule snapshot;
  snapshot.op = "vminfo.CreateSharedShadow";
  RunJobHeldAt(lab, snapshot, [] { ASSERT_TRUE(lab::RequestJobQuit(kJob)); });

  EXPECT_EQ(With(kCensusOfEveryProcess,
                 {"coordinator quiesce 0", "coordinator snapshot 0 quiesced=1", "coordinator unquiesce 0"}),
            ToolRecord());
  lab::MediTechSystem system;
  std::string error;
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMediTechSystem(system, error));
  EXPECT_FALSE(system.quiesced);
  for (const auto& end : VMEnds()) {
    if (end.second.status == 0) {
      EXPECT_TRUE(Verified(lab, std::stoi(end.first.substr(2)))) << end.first;
    }
  }
}

TEST(MediTechRun, ARestartedJobIsRefused) {
  testsupport::TestLab lab;
  MakeLab(lab, "pw-restart");
  lab::JobRecord record;
  std::string error;
  ASSERT_TRUE(lab::ReadJobRecord(kJob, record, error)) << error;
  record.restart = "-o 2";
  ASSERT_TRUE(lab::WriteJobRecord(kJob, record, error)) << error;

  RunJob(lab);

  EXPECT_EQ(1u, CountOf(lab.Log("coordinator"), "Meditech job restart not supported."));
  EXPECT_TRUE(JobFailed());
  for (const std::string& line : ToolRecord()) EXPECT_NE(std::string::npos, line.find(" census ")) << line;
  for (const auto& end : VMEnds()) EXPECT_NE(0, end.second.status) << end.first;
}

}  // namespace

namespace {

// The lab tool's command reads the password from its standard input and keeps it out of every file.
TEST(MediTechLabTool, SetsUpTheSystemWithThePasswordFromStandardInput) {
  struct Case {
    const char* input;
    int exitCode;
  } cases[] = {{"pw-from-stdin\n", 0}, {"", 64}};  // 64: a usage error
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    testsupport::TestLab lab;
    ASSERT_TRUE(lab.Create());
    const std::string command = std::string("printf '") + c.input + "' | '" + QUARN_LAB_BINARY + "' meditech '" +
                                lab.Root() + "' --vms vm01,vm02 --user ops";
    ASSERT_EQ(c.exitCode, lab.RunProgram({"/bin/sh", "-c", command}));
    lab::MediTechSystem system;
    std::string error;
    if (c.exitCode != 0) {
      EXPECT_EQ(lab::RecordRead::kMissing, lab::ReadMediTechSystem(system, error));
      continue;
    }
    ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMediTechSystem(system, error)) << error;
    ASSERT_EQ(2u, system.vms.size());
    EXPECT_EQ(lab::MediTechPasswordDigest("pw-from-stdin"), system.passwordSha256);
    EXPECT_EQ((std::vector<std::string>{"6000c200-0000-4000-8000-000000000002"}), system.vms[1].diskGuids);
    std::string image;
    uint64_t size = 0;
    ASSERT_TRUE(lab::FindVMDiskImage("vm02", "0", image, size, error)) << error;
    EXPECT_EQ("vm02-6000c200-0000-4000-8000-000000000002", image.substr(image.rfind('/') + 1));
    for (const char* client : {"coordinator", "proxyA", "proxyB"}) {
      EXPECT_TRUE(testsupport::Exists(lab::ClientDir(client) + "/base/mbf64.exe")) << client;
    }
    EXPECT_EQ("", LabFileHolding(lab, "pw-from-stdin"));
  }
}

}  // namespace
