// MEDITECH jobs run as the job manager starts them: the coordinator with its own agent and an agent
// process, the lab's MEDITECH system behind the stand-in of its tool.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabAgent.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabJobRun.h"
#include "platform/lab/LabMediTech.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabSettings.h"
#include "platform/lab/LabShadow.h"
#include "platform/lab/LabSubclient.h"
#include "records/messages/JobManagerMessages.h"
#include "support/ArchiveTestSupport.h"
#include "support/LabWait.h"
#include "support/MediTechTestSupport.h"
#include "support/TestLab.h"

namespace {

using testsupport::CountOf;

constexpr int64_t kJob = 1001;
const std::vector<std::string> kVMs = {"vm01", "vm02", "vm03"};

std::string Guid(int vm) { return "50290000-0000-4000-8000-00000000000" + std::to_string(vm); }

struct LabSetup {
  std::string password;
  std::string user = "mbfadmin";
  // Above 1 where a test waits through the job's own pauses (the unquiesce's retries).
  int64_t timeScale = 1;
  std::vector<std::string> clients = {"coordinator", "proxyA"};
  std::string port = "7010";
  std::string baseFolder = "base";
  bool echoArguments = false;
};

// A lab of three one-disk VMs, the coordinator and (by default) one agent process, and a MEDITECH
// system of them.
void MakeLab(testsupport::TestLab& lab, const LabSetup& setup) {
  lab::LabPlan plan;
  plan.clients = setup.clients;
  plan.timeScale = setup.timeScale;
  ASSERT_TRUE(lab.Create(plan));
  lab::MediTechPlan system;
  system.vms = kVMs;
  system.password = setup.password;
  system.user = setup.user;
  system.port = setup.port;
  system.baseFolder = setup.baseFolder;
  system.toolProgram = QUARN_LAB_BINARY;
  std::string error;
  ASSERT_TRUE(lab::CreateMediTechSystem(system, error)) << error;
  if (!setup.echoArguments) return;
  lab::MediTechSystem record;
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMediTechSystem(record, error)) << error;
  record.echoArguments = true;
  ASSERT_TRUE(lab::WriteMediTechSystem(record, error)) << error;
}

void MakeLab(testsupport::TestLab& lab, const std::string& password, const std::string& user = "mbfadmin") {
  LabSetup setup;
  setup.password = password;
  setup.user = user;
  MakeLab(lab, setup);
}

int RunJob(const testsupport::TestLab& lab) {
  return lab.RunProgram({QUARN_LAB_BINARY, "run", lab.Root(), "--", "-numStreams", "3"});
}

// A run of the subclient's job as the job manager runs it (the lab tool), which the test holds at the
// calls it names, one rule at a time, to act while a call is held.
class HeldRun {
 public:
  explicit HeldRun(const testsupport::TestLab& lab) : lab_(lab) {}
  ~HeldRun() {
    if (run_ > 0) Finish();
  }
  HeldRun(const HeldRun&) = delete;
  HeldRun& operator=(const HeldRun&) = delete;

  // Releases what is held and holds the next call of the rule (starting the run the first time);
  // once one is held, `meanwhile` runs. The failing rules of the table stay. False when none was held
  // within a minute of the lab standing still.
  bool HoldAt(lab::FaultRule rule, const std::function<void()>& meanwhile) {
    rule.hold = true;
    std::string error;
    if (!lab::ReleaseHeldCalls(error) || !lab::AddFaultRule(rule, error)) return false;
    if (run_ < 0) {
      setenv(lab::RootVariable(), lab_.Root().c_str(), 1);
      run_ = testsupport::StartProgram({QUARN_LAB_BINARY, "run", lab_.Root(), "--", "-numStreams", "3"},
                                       lab_.Path("run.txt"));
      unsetenv(lab::RootVariable());
    }
    const bool held = testsupport::WaitForLab({lab_.Root()}, [] {
      lab::FaultTable table;
      std::string why;
      if (!lab::ReadFaultTable(table, why)) return false;
      return std::any_of(table.rules.begin(), table.rules.end(),
                         [](const lab::FaultRule& held) { return held.hold && held.fired > 0; });
    });
    if (held) meanwhile();
    return held;
  }

  // Releases every call and waits for the run, then clears the fault table: the run's exit status (-1
  // when it was never started).
  int Finish() {
    std::string error;
    lab::ReleaseHeldCalls(error);
    const int status = run_ > 0 ? testsupport::WaitProgram(run_) : -1;
    run_ = -1;
    lab::ClearFaultTable(error);
    return status;
  }

 private:
  const testsupport::TestLab& lab_;
  pid_t run_ = -1;
};

// Runs the job held at `hold`: `meanwhile` runs once a call is held, then the call goes on. The job's
// exit status; -1 when no call was held.
int RunJobHeldAt(const testsupport::TestLab& lab, const lab::FaultRule& hold, const std::function<void()>& meanwhile) {
  HeldRun run(lab);
  const bool held = run.HoldAt(hold, meanwhile);
  const int status = run.Finish();
  return held ? status : -1;
}

// The process of the job's latest run (runs.log of the lab's job manager); 0 when none is known.
pid_t JobProcess(int64_t job) {
  pid_t pid = 0;
  for (const std::string& line : lab::ReadRunEvents(job)) {
    const size_t at = line.find(" pid=");
    if (line.rfind("started ", 0) == 0 && at != std::string::npos) pid = std::atoi(line.c_str() + at + 5);
  }
  return pid;
}

// The hold of the call that makes the shared snapshot: the system is quiesced, the snapshot not yet
// taken.
lab::FaultRule AtTheQuiesce() {
  lab::FaultRule rule;
  rule.op = "vminfo.CreateSharedShadow";
  return rule;
}

// The hold of vm02's disk after its first extent: the backup is in the middle of the VM.
lab::FaultRule InTheMiddleOfVM02() {
  lab::FaultRule rule;
  rule.op = "disk.Read";
  rule.vm = Guid(2);
  rule.after = 1;
  return rule;
}

void KillTheJobProcess() {
  const pid_t job = JobProcess(kJob);
  ASSERT_GT(job, 0);
  kill(job, SIGKILL);
}

// Each VM's disk as it is now, copied beside the lab: "<tag>-<vm number>".
std::map<int, std::string> CopyDisks(const testsupport::TestLab& lab, const std::string& tag) {
  std::map<int, std::string> copies;
  for (int vm = 1; vm <= 3; ++vm) {
    std::string image, error;
    uint64_t size = 0;
    EXPECT_TRUE(lab::FindVMDiskImage(kVMs[vm - 1], "0", image, size, error)) << error;
    copies[vm] = lab.Path(tag + "-" + std::to_string(vm));
    std::filesystem::copy_file(image, copies[vm], std::filesystem::copy_options::overwrite_existing);
  }
  return copies;
}

// "<client> <verb> <exit code>" per line of the tool's record (a snapshot line ends with its state),
// from line `from` on.
std::vector<std::string> ToolRecord(size_t from = 0) {
  std::vector<std::string> lines;
  for (const std::vector<std::string>& fields : lab::ReadMediTechRecord()) {
    if (fields.size() < 4) continue;
    std::string line = fields[1] + " " + fields[2] + " " + fields[3];
    if (fields[2] == "snapshot" && fields.size() > 5) line += " " + fields[5];
    lines.push_back(line);
  }
  return std::vector<std::string>(lines.begin() + std::min(from, lines.size()), lines.end());
}

bool SystemQuiesced() {
  lab::MediTechSystem system;
  std::string error;
  EXPECT_EQ(lab::RecordRead::kRead, lab::ReadMediTechSystem(system, error)) << error;
  return system.quiesced;
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

std::map<std::string, VMEnd> VMEnds(int64_t job = kJob) {
  std::map<std::string, VMEnd> ends;
  for (const std::string& guid : vsJobMgr::ReadVMStatusGuids(job)) {
    JobManager::VMUpdateInfo record;
    if (!vsJobMgr::ReadVMStatus(job, guid, record)) continue;
    VMEnd& end = ends[record.getstring(JobManager::VMUpdateInfo::F_vmName)];
    end.status = record.getint64(JobManager::VMUpdateInfo::F_vmStatus);
    end.reason = record.getstring(JobManager::VMUpdateInfo::F_failureText);
  }
  return ends;
}

bool Verified(const testsupport::TestLab& lab, int vm, const std::vector<std::string>& extra = {},
              int64_t job = kJob) {
  std::vector<std::string> args = {QUARN_LAB_BINARY, "verify", lab.Root(), "--job", std::to_string(job), "--vm",
                                   Guid(vm)};
  args.insert(args.end(), extra.begin(), extra.end());
  return lab.RunProgram(args) == 0;
}

// The verify option that compares the VM's disk with a copy of it.
std::vector<std::string> AgainstCopy(int vm, const std::string& copy) {
  std::string image, error;
  uint64_t size = 0;
  EXPECT_TRUE(lab::FindVMDiskImage(kVMs[vm - 1], "0", image, size, error)) << error;
  return {"--image", "scsi0-0-" + image.substr(image.rfind('/') + 1) + "=" + copy};
}

// What the administrator relies on: every VM reported backed up restores byte for byte (as the copy
// of its disk when one is given), every other one says why it was not.
void ExpectDoneRestoresOthersSayWhy(const testsupport::TestLab& lab, size_t expectedDone, int64_t job = kJob,
                                    const std::map<int, std::string>& copies = {}) {
  const std::map<std::string, VMEnd> ends = VMEnds(job);
  ASSERT_EQ(kVMs.size(), ends.size());
  size_t done = 0;
  for (int vm = 1; vm <= 3; ++vm) {
    const VMEnd& end = ends.at(kVMs[vm - 1]);
    if (end.status == 0) {
      ++done;
      const auto copy = copies.find(vm);
      EXPECT_TRUE(Verified(lab, vm, copy == copies.end() ? std::vector<std::string>() : AgainstCopy(vm, copy->second),
                           job))
          << kVMs[vm - 1];
    } else {
      EXPECT_FALSE(end.reason.empty()) << kVMs[vm - 1] << " failed without a reason";
    }
  }
  EXPECT_EQ(expectedDone, done);
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool JobFailed(int64_t job = kJob) {
  for (const std::string& line : lab::ReadPhaseLines(job))
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

// The subclient's disk filter leaves the census disk out of the VM's mount, so the VM's check finds it
// missing from the backup.
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
// protected), and a failing tool echoes it. A snapshot that failed lets the system run again before
// any VM is mounted (and so before any is failed), not when the job ends; only an unquiesce that
// failed waits for its retries on the way out.
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
    bool quiescedAtTheMounts;
  } cases[] = {
      {"quiesce fails", "meditech.quiesce", 5, "listener down", {"coordinator quiesce 5"},
       {"0x5B000193 quiesce"}, {"CRITICAL 0x5B000193 quiesce"}, 0, false},
      {"unquiesce fails, and succeeds when tried again", "meditech.unquiesce", 6, "listener lost",
       {"coordinator quiesce 0", "coordinator snapshot 0 quiesced=1", "coordinator unquiesce 6",
        "coordinator unquiesce 0"},
       {}, {"MINOR 0x5B000193 unquiesce"}, 3, true},
      {"snapshot fails after the quiesce", "vminfo.CreateSharedShadow", 77, "array busy",
       {"coordinator quiesce 0", "coordinator unquiesce 0"}, {"0x5B000190 array busy"},
       {"CRITICAL 0x5B000190 array busy"}, 0, false},
  };
  // Its value is what follows the item's first '='.
  const std::string password = "reg=istry;pw";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TestLab lab;
    LabSetup setup;
    setup.password = "not-the-password";
    setup.timeScale = 60;  // the unquiesce is tried again after a pause
    MakeLab(lab, setup);
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

    lab::FaultRule mount;
    mount.op = "vminfo.MountVM";
    bool quiescedAtTheMounts = !c.quiescedAtTheMounts;
    ASSERT_NE(-1, RunJobHeldAt(lab, mount, [&] { quiescedAtTheMounts = SystemQuiesced(); }));

    EXPECT_EQ(c.quiescedAtTheMounts, quiescedAtTheMounts) << "the system's state while the first VM is mounted";
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

// The MEDITECH job's first attempt does not end the job (a VM left pending; its coordinator killed in
// the middle of the backup), the disks change, and the job manager resumes the job. That attempt would
// take a snapshot of its own and back the other VMs up from another moment: it is refused and the job
// fails; every VM reported backed up restores as its disk was at the first quiesce, every other one
// says why.
TEST(MediTechRun, ALaterAttemptIsRefusedAndNoVMRestoresFromASecondMoment) {
  struct Case {
    const char* name;
    bool kill;
  } cases[] = {{"a VM left pending", false}, {"the coordinator killed", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TestLab lab;
    LabSetup setup;
    setup.password = "pw-attempts";
    if (c.kill) setup.clients = {"coordinator"};  // one process: the kill ends the whole attempt
    MakeLab(lab, setup);
    if (!c.kill) {
      lab::FaultRule unreadable;
      unreadable.op = "disk.Read";
      unreadable.vm = Guid(1);
      unreadable.code = 5;
      unreadable.times = lab::kFaultAlways;
      ASSERT_TRUE(lab.Fault(unreadable));
    }
    std::map<int, std::string> atQuiesce;
    {
      HeldRun run(lab);
      ASSERT_TRUE(run.HoldAt(AtTheQuiesce(), [&] { atQuiesce = CopyDisks(lab, "quiesce"); }));
      // The attempt dies in the middle of the backup.
      if (c.kill) {
        ASSERT_TRUE(run.HoldAt(InTheMiddleOfVM02(), KillTheJobProcess));
      }
      run.Finish();
    }
    ASSERT_FALSE(JobFailed()) << "the first attempt left the job to be resumed";
    const size_t firstAttempt = ToolRecord().size();
    for (const std::string& vm : kVMs)
      ASSERT_EQ(0, lab.RunProgram({QUARN_LAB_BINARY, "disk", lab.Root(), vm, "0", "write", "--percent", "50"}));

    RunJob(lab);

    EXPECT_EQ(1u, CountOf(lab.Log("coordinator"), "Meditech job restart not supported."));
    EXPECT_TRUE(JobFailed());
    for (const std::string& line : ToolRecord(firstAttempt))
      EXPECT_NE(std::string::npos, line.find(" census ")) << "a second quiesce or snapshot: " << line;
    EXPECT_FALSE(SystemQuiesced());
    const std::map<std::string, VMEnd> ends = VMEnds();
    const std::string unfinished = c.kill ? "vm02" : "vm01";
    EXPECT_NE(0, ends.at(unfinished).status);
    EXPECT_NE(std::string::npos, ends.at(unfinished).reason.find("cannot be restarted")) << ends.at(unfinished).reason;
    size_t done = 0;
    for (const auto& end : ends) done += end.second.status == 0;
    if (!c.kill) { EXPECT_EQ(2u, done); }
    ExpectDoneRestoresOthersSayWhy(lab, done, kJob, atQuiesce);
  }
}

// The system must run again after the backup. An unquiesce that fails is tried again on the way out,
// up to three more times with a pause before each: the third retry is the last. One that never
// succeeds fails the job with the reason, as does a coordinator killed while the system is quiesced
// (its resumed attempt is refused); the next job finds the system still quiesced, unquiesces it and
// quiesces it again for its own snapshot.
TEST(MediTechRun, TheSystemRunsAgainByTheEndOfTheJobOrOfTheNext) {
  const std::vector<std::string> quiesced = {"coordinator quiesce 0", "coordinator snapshot 0 quiesced=1"};
  struct Case {
    const char* name;
    int64_t unquiesceFailures;
    bool kill;
    std::vector<std::string> tail;  // the record of the first job after its census
  } cases[] = {
      {"three failures: the last retry succeeds", 3, false,
       With(quiesced, {"coordinator unquiesce 6", "coordinator unquiesce 6", "coordinator unquiesce 6",
                       "coordinator unquiesce 0"})},
      {"four failures: every try fails", 4, false,
       With(quiesced, {"coordinator unquiesce 6", "coordinator unquiesce 6", "coordinator unquiesce 6",
                       "coordinator unquiesce 6"})},
      {"the coordinator killed at the quiesce", 0, true, {"coordinator quiesce 0"}},
  };
  const std::vector<std::string> census = {"coordinator census 0", "coordinator census 0"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TestLab lab;
    LabSetup setup;
    setup.password = "pw-unquiesce";
    setup.timeScale = 60;  // the pauses between the tries
    setup.clients = {"coordinator"};
    MakeLab(lab, setup);
    if (c.unquiesceFailures > 0) {
      lab::FaultRule failing;
      failing.op = "meditech.unquiesce";
      failing.code = 6;
      failing.times = c.unquiesceFailures;
      ASSERT_TRUE(lab.Fault(failing));
    }
    std::map<int, std::string> atQuiesce;
    {
      HeldRun run(lab);
      ASSERT_TRUE(run.HoldAt(AtTheQuiesce(), [&] {
        atQuiesce = CopyDisks(lab, "quiesce-1001");
        if (c.kill) kill(JobProcess(kJob), SIGKILL);
      }));
      run.Finish();
    }
    EXPECT_EQ(With(census, c.tail), ToolRecord());
    const bool stuck = c.unquiesceFailures > 3 || c.kill;
    EXPECT_EQ(stuck, SystemQuiesced());
    if (c.kill) {
      RunJob(lab);  // the job manager resumes the job: refused
    } else {
      EXPECT_EQ(stuck, Contains(lab::ReadPendingCauses(kJob), "0x5B000193 unquiesce"));
      ExpectDoneRestoresOthersSayWhy(lab, 3, kJob, atQuiesce);
    }
    EXPECT_EQ(stuck, JobFailed());
    if (!stuck) continue;

    for (const std::string& vm : kVMs)
      ASSERT_EQ(0, lab.RunProgram({QUARN_LAB_BINARY, "disk", lab.Root(), vm, "0", "write", "--percent", "50"}));
    const size_t before = ToolRecord().size();
    std::map<int, std::string> atNextQuiesce;
    {
      HeldRun run(lab);
      ASSERT_TRUE(run.HoldAt(AtTheQuiesce(), [&] { atNextQuiesce = CopyDisks(lab, "quiesce-1002"); }));
      EXPECT_EQ(0, run.Finish());
    }
    EXPECT_EQ(With(census, {"coordinator quiesce 4", "coordinator unquiesce 0", "coordinator quiesce 0",
                            "coordinator snapshot 0 quiesced=1", "coordinator unquiesce 0"}),
              ToolRecord(before));
    EXPECT_FALSE(SystemQuiesced());
    EXPECT_EQ(1u, CountOf(lab.Log("coordinator"), "The MediTech system is already quiesced"));
    ExpectDoneRestoresOthersSayWhy(lab, 3, 1002, atNextQuiesce);
  }
}

// The lab's mount records of the job that still stand ("<VM> mounted").
std::vector<std::string> StandingMounts(int64_t job) {
  std::vector<std::string> standing;
  for (const lab::MountRecord& mount : lab::ListMountRecords(job))
    if (mount.state == "mounted") standing.push_back(mount.vm + " mounted");
  return standing;
}

std::string ShadowState(int64_t job) {
  lab::SharedShadowRecord record;
  std::string error;
  if (lab::ReadSharedShadowRecord(lab::SampleServer(), job, record, error) != lab::RecordRead::kRead) return "none";
  return record.state;
}

// The shadow records of the coordinator's subclient folder.
std::vector<std::string> ShadowRecords() {
  const std::string folder = lab::SubclientJobResultsDir("coordinator", "1");
  std::vector<std::string> records;
  std::error_code ignored;
  for (std::filesystem::directory_iterator it(folder, ignored), end; !ignored && it != end; it.increment(ignored))
    if (it->path().filename().string().rfind("SharedShadow_", 0) == 0) records.push_back(it->path().string());
  return records;
}

// The hold of the unquiesce after the snapshot: the snapshot is taken, the system still quiesced.
lab::FaultRule AtTheUnquiesce() {
  lab::FaultRule rule;
  rule.op = "meditech.unquiesce";
  return rule;
}

// Job 1001 leaves its snapshot standing: its deletion fails (and then, for one row, its record
// cannot be read), or the coordinator is killed in the middle of the backup with a VM mounted from
// it, or while it unquiesces the system after the snapshot (its resumed attempt is refused; for one
// row the hypervisor then loses its own record of the snapshot, so that only the coordinator's record
// can name it). The first job says why it could not delete it; the next job of the subclient deletes
// it, and what was mounted from it, before it takes its own snapshot, and no snapshot or mount of one
// stands after it. A record that cannot be read leaves the snapshot standing: the next job deletes its
// own and completes with errors, its event naming the record.
enum class Left {
  kDeletionFailed,
  kKilledInTheBackup,
  kKilledAtTheUnquiesce,
  kKilledAtTheUnquiesceHypervisorRecordLost,
  kRecordUnreadable
};
struct LeftStanding {
  const char* name;
  Left how;
};
void PrintTo(const LeftStanding& left, std::ostream* out) { *out << left.name; }

class SnapshotLeftStanding : public testing::TestWithParam<LeftStanding> {};

TEST_P(SnapshotLeftStanding, IsDeletedByTheNextJob) {
  const Left how = GetParam().how;
  const bool atTheUnquiesce =
      how == Left::kKilledAtTheUnquiesce || how == Left::kKilledAtTheUnquiesceHypervisorRecordLost;
  const bool killed = how == Left::kKilledInTheBackup || atTheUnquiesce;
  testsupport::TestLab lab;
  LabSetup setup;
  setup.password = killed ? "pw-left-killed" : "pw-left-failed";
  setup.clients = {"coordinator"};  // one process: a kill ends the whole attempt
  MakeLab(lab, setup);
  const std::map<int, std::string> before1001 = CopyDisks(lab, "before-1001");
  const std::string server = lab::SampleServer();
  if (killed) {
    HeldRun run(lab);
    ASSERT_TRUE(run.HoldAt(atTheUnquiesce ? AtTheUnquiesce() : InTheMiddleOfVM02(), KillTheJobProcess));
    run.Finish();
    if (how == Left::kKilledInTheBackup) {
      ASSERT_TRUE(Contains(StandingMounts(kJob), "vm02 mounted")) << "the kill leaves the VM mounted";
    }
    RunJob(lab);  // the job manager resumes the job: refused
    EXPECT_TRUE(JobFailed());
  } else {
    lab::FaultRule deletion;
    deletion.op = "vminfo.DeleteSharedShadow";
    deletion.code = 5;
    deletion.times = 1;
    ASSERT_TRUE(lab.Fault(deletion));
    EXPECT_EQ(1, RunJob(lab)) << "completed with errors";
  }
  const std::vector<std::string> left = lab::StandingSharedShadows(server);
  ASSERT_EQ(1u, left.size());
  EXPECT_EQ("standing", ShadowState(kJob));
  if (!killed) {
    EXPECT_TRUE(Contains(lab::ReadJobEvents(kJob), "MAJOR 0x5B0001E7 " + left[0] +
                                                       "|Fault injected by the lab into vminfo.DeleteSharedShadow"));
    EXPECT_EQ(1u, CountOf(lab.Log("coordinator"), "Failed to delete the shared shadow"));
  }
  const std::map<std::string, VMEnd> ends = VMEnds();
  size_t done = 0;
  for (const auto& end : ends) done += end.second.status == 0;
  if (killed) {
    EXPECT_NE(0, ends.at("vm02").status) << "the VM the kill cut off";
  }
  ExpectDoneRestoresOthersSayWhy(lab, killed ? done : 3, kJob, before1001);
  const std::vector<std::string> records = ShadowRecords();
  ASSERT_EQ(1u, records.size()) << "the snapshot left is recorded";
  if (how == Left::kRecordUnreadable) {
    ASSERT_TRUE(lab::WriteFileAtomic(records[0], "<not a record"));
  }
  const bool hypervisorRecordLost = how == Left::kKilledAtTheUnquiesceHypervisorRecordLost;
  if (hypervisorRecordLost) {
    std::string error;
    ASSERT_TRUE(lab::RemoveSharedShadowRecord(server, kJob, error)) << error;
    ASSERT_EQ("none", ShadowState(kJob));
    ASSERT_EQ(left, lab::StandingSharedShadows(server)) << "the snapshot itself still stands";
  }

  const std::map<int, std::string> before1002 = CopyDisks(lab, "before-1002");
  if (how == Left::kRecordUnreadable) {
    EXPECT_EQ(1, RunJob(lab)) << "completed with errors";
    EXPECT_EQ(left, lab::StandingSharedShadows(server)) << "the snapshot of job 1001 stands, its own does not";
    EXPECT_EQ("standing", ShadowState(kJob));
    EXPECT_EQ("deleted", ShadowState(1002));
    const std::vector<std::string> events = lab::ReadJobEvents(1002);
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const std::string& event) {
      return event.rfind("MAJOR 0x5B0001E7 " + records[0] + "|its record cannot be read", 0) == 0;
    })) << "the event names the record";
    EXPECT_EQ(records, ShadowRecords()) << "kept for whoever deletes the snapshot";
    ExpectDoneRestoresOthersSayWhy(lab, 3, 1002, before1002);
    return;
  }
  EXPECT_EQ(0, RunJob(lab));

  EXPECT_TRUE(lab::StandingSharedShadows(server).empty());
  EXPECT_FALSE(testsupport::Exists(lab::SharedShadowCopyDir(server, kJob, left[0]))) << "its copies are gone";
  for (int64_t job : {kJob, int64_t{1002}}) {
    // A lost record stays lost: the deletion has no record to mark.
    EXPECT_EQ(hypervisorRecordLost && job == kJob ? "none" : "deleted", ShadowState(job)) << job;
    EXPECT_TRUE(StandingMounts(job).empty()) << job;
  }
  EXPECT_TRUE(ShadowRecords().empty()) << "the coordinator keeps no record of a deleted snapshot";
  // Deleted before the next snapshot was taken.
  const std::vector<std::string> shadows = lab::ReadSharedShadowLog(server);
  ASSERT_EQ(4u, shadows.size());
  EXPECT_EQ("delete coordinator " + left[0] + " " + server, shadows[1]);
  EXPECT_EQ(0u, shadows[2].find("create coordinator "));
  EXPECT_EQ(1u, CountOf(lab.Log("coordinator"),
                        "Deleted the shared shadow [" + left[0] + "] that job [1001] left standing"));
  ExpectDoneRestoresOthersSayWhy(lab, 3, 1002, before1002);
}

const LeftStanding kLeftStanding[] = {{"ASnapshotWhoseDeletionFailed", Left::kDeletionFailed},
                                      {"ASnapshotLeftByAKilledCoordinator", Left::kKilledInTheBackup},
                                      {"ASnapshotLeftByACoordinatorKilledAtTheUnquiesce", Left::kKilledAtTheUnquiesce},
                                      {"ASnapshotTheHypervisorLostTrackOfLeftByACoordinatorKilledAtTheUnquiesce",
                                       Left::kKilledAtTheUnquiesceHypervisorRecordLost},
                                      {"ASnapshotWhoseRecordCannotBeRead", Left::kRecordUnreadable}};
INSTANTIATE_TEST_SUITE_P(MediTechRun, SnapshotLeftStanding, testing::ValuesIn(kLeftStanding),
                         [](const testing::TestParamInfo<LeftStanding>& info) { return std::string(info.param.name); });

// A tool that echoes its command line puts the password into what the job reads from it. All that
// comes from the tool is masked before the job logs or keeps it; a line whose ':' lies inside the
// password names no VM (the name would hold a piece of it). With a port the echo reads as a census
// line of a VM that is not in the job, and the job fails, naming it masked.
TEST(MediTechRun, AToolThatEchoesItsArgumentsLeavesThePasswordInNoFile) {
  struct Case {
    const char* name;
    std::string password;
    std::string port;
    bool echoNamesAVM;
  } cases[] = {
      {"a port: the echo reads as a VM", "echo-pw-1", "7010", true},
      {"no port: the echo has no ':'", "echo-pw-2", "", false},
      {"a ':' inside the password", "echo:pw-3", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TestLab lab;
    LabSetup setup;
    setup.password = c.password;
    setup.port = c.port;
    setup.echoArguments = true;
    MakeLab(lab, setup);
    std::map<int, std::string> atQuiesce;
    if (c.echoNamesAVM) {
      RunJob(lab);  // no quiesce to hold at
    } else {
      ASSERT_NE(-1, RunJobHeldAt(lab, AtTheQuiesce(), [&] { atQuiesce = CopyDisks(lab, "quiesce"); }));
    }

    EXPECT_EQ("", LabFileHolding(lab, c.password));
    EXPECT_EQ("", LabFileHolding(lab, "P=" + c.password.substr(0, 4)));
    EXPECT_NE(0u, CountOf(lab.Log("coordinator"), "P=***** I=mtlsn1")) << "the echo is logged masked";
    if (c.echoNamesAVM) {
      const std::string echoed = lab::ClientDir("coordinator") + "/base/mbf64.exe C=census U=mbfadmin P=***** I=mtlsn1";
      EXPECT_TRUE(Contains(lab::ReadPendingCauses(kJob), "0x5B000195 " + echoed));
      EXPECT_TRUE(JobFailed());
      ExpectDoneRestoresOthersSayWhy(lab, 0);
    } else {
      EXPECT_NE(0u, CountOf(lab.Log("coordinator"), "Invalid mbf census output: "));
      ExpectDoneRestoresOthersSayWhy(lab, 3, kJob, atQuiesce);
    }
  }
}

// The tool's folder is data: a '%' in it reaches the log as it stands.
TEST(MediTechRun, AToolFolderWithPercentSignsIsLoggedAsText) {
  testsupport::TestLab lab;
  LabSetup setup;
  setup.password = "pw-percent";
  setup.baseFolder = "base%s%n";
  MakeLab(lab, setup);
  std::map<int, std::string> atQuiesce;
  EXPECT_EQ(0, RunJobHeldAt(lab, AtTheQuiesce(), [&] { atQuiesce = CopyDisks(lab, "quiesce"); }));
  EXPECT_NE(0u, CountOf(lab.Log("coordinator"), "Executing command cmd /c '" + lab::ClientDir("coordinator") +
                                                    "/base%s%n/mbf64.exe' C=census U=mbfadmin P=***** "
                                                    "I=mtlsn1:7010 T=90"));
  ExpectDoneRestoresOthersSayWhy(lab, 3, kJob, atQuiesce);
}

// A job whose MEDITECH set-up is unusable says why: the census could not be taken (or lists nothing to
// check against), the log of the process that found it says what was wrong, and nothing is quiesced.
TEST(MediTechRun, SetUpFailuresSayWhy) {
  struct Case {
    const char* name;
    std::function<bool(std::string&)> spoil;
    const char* client;  // whose log says why
    const char* logged;
    bool failed;  // else pending
  } cases[] = {
      {"a stored password not in its protected form",
       [](std::string& error) { return lab::SetSubclientValue("1", "meditech.password", "plain", error); },
       "coordinator", "The MEDITECH password of the subclient is not kept in its protected form", false},
      {"a member server without the tool",
       [](std::string& error) { return lab::SetSubclientValue("1", "memberServers", "proxyZ", error); }, "proxyZ",
       "Failed to get Base Dir", false},
      {"a census of no VM",
       [](std::string& error) {
         lab::MediTechSystem system;
         if (lab::ReadMediTechSystem(system, error) != lab::RecordRead::kRead) return false;
         system.vms.clear();
         return lab::WriteMediTechSystem(system, error);
       },
       "coordinator", "The MediTech census lists no VM", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TestLab lab;
    MakeLab(lab, "pw-setup");
    std::string error;
    ASSERT_TRUE(c.spoil(error)) << error;

    RunJob(lab);

    EXPECT_TRUE(Contains(lab::ReadPendingCauses(kJob), "0x5B000193 census"));
    EXPECT_NE(0u, CountOf(lab.Log(c.client), c.logged));
    EXPECT_EQ(c.failed, JobFailed());
    for (const std::string& line : ToolRecord()) EXPECT_NE(std::string::npos, line.find(" census ")) << line;
    for (const auto& end : VMEnds()) EXPECT_NE(0, end.second.status) << end.first;
  }
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
