// The backup's promise, tried exhaustively: a VM the job manager records as backed up restores byte
// for byte, and every other VM says why. A job of two VMs (one disk of a whole number of extents, one
// of no whole number) runs once per call of an operation, failing that call alone: every archive
// write, archive close, stream close, write and sync of an archive file below the stream, disk read,
// index upload and question of the newest job that holds a VM, from the first call to the last; then
// the same for an incremental on top of a full. After each run no stream stays reserved, and the next
// job completes and restores. And an agent killed in the middle of a VM whose
// other agent finishes it: the retry's archives stand, whichever agent began writing first, and
// whether or not the VM's dispatch record was lost in between.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/archive/ArchiveReader.h"
#include "platform/archive/ArchiveRestore.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabSettings.h"
#include "platform/lab/LabSubclient.h"
#include "records/messages/JobManagerMessages.h"
#include "support/ArchiveTestSupport.h"
#include "support/LabWait.h"
#include "support/PromiseSupport.h"
#include "support/TestLab.h"

namespace {

namespace fs = std::filesystem;
using Info = JobManager::VMUpdateInfo;

constexpr uint64_t kExtentBytes = 1 << 20;  // the reader's default extent
// vm01's disk is two extents, vm02's one and a half.
const std::vector<std::pair<std::string, uint64_t>> kVMs = {
    {"50290000-0000-4000-8000-000000000001", 2 * kExtentBytes},
    {"50290000-0000-4000-8000-000000000002", kExtentBytes + kExtentBytes / 2},
};
std::vector<std::string> Guids() {
  std::vector<std::string> guids;
  for (const auto& vm : kVMs) guids.push_back(vm.first);
  return guids;
}
constexpr int64_t kStatusBackedUp = 0;
constexpr int64_t kStatusBackedUpWithErrors = 3;
// Cases run this many at a time: each spends most of its time waiting on its job's processes.
constexpr unsigned kParallelCases = 4;

// The process's lab root is one for all threads: whatever reads or writes a lab record holds this.
std::mutex g_labMutex;

class LabScope {
 public:
  explicit LabScope(const std::string& root) : lock_(g_labMutex), root_(root) {}

 private:
  std::lock_guard<std::mutex> lock_;
  testsupport::LabRootScope root_;
};

// Runs the lab tool on a lab; its output goes to the case's file. The exit status.
int Tool(const std::vector<std::string>& args, const std::string& out) {
  std::vector<std::string> argv = {QUARN_LAB_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return testsupport::WaitProgram(testsupport::StartProgram(argv, out));
}

std::string ReadText(const std::string& path) {
  std::string text, error;
  lab::ReadRegularFile(path, 1 << 20, text, error);
  return text;
}

// Runs job `jobId` of the lab (full or incremental) with one stream, so that the VMs go one after the
// other and a call number names the same call in every run.
int RunJob(const std::string& root, int64_t jobId, bool incremental, const std::string& out) {
  std::vector<std::string> args = {"run", root, "--job", std::to_string(jobId), "--"};
  if (incremental) args.insert(args.end(), {"-t", "2"});
  args.insert(args.end(), {"-numStreams", "1"});
  return Tool(args, out);
}

// REQUIRES: the lab's scope. Adds job `jobId` to the lab with its VM collect file, as discovery would.
bool AddJob(const std::string& root, int64_t jobId) {
  lab::LabPlan plan;
  plan.vms = static_cast<int64_t>(kVMs.size());
  plan.clients = {"coordinator"};
  plan.jobId = jobId;
  plan.timeScale = 60;
  int kept = 0;
  std::string error;
  return lab::CreateLab(root, plan, kept, error);
}

// REQUIRES: the lab's scope. Seeded bytes over the range of each VM's disk (a new generation).
bool WriteDisks(uint64_t offset, uint64_t bytes, uint64_t seed) {
  for (const auto& vm : kVMs) {
    lab::VMDescription description;
    std::string id, error;
    if (!lab::FindVM(lab::SampleServer(), vm.first, description) ||
        !lab::WriteDiskRanges(lab::DiskImagePath(lab::SampleServer(), description.disks[0].file),
                              {{offset, std::min(bytes, vm.second - offset)}}, true, seed, id, error))
      return false;
  }
  return true;
}

// REQUIRES: the lab's scope. Resizes each VM's one disk to its size in kVMs.
bool ResizeDisks() {
  for (const auto& vm : kVMs) {
    lab::VMDescription description;
    std::string error;
    if (!lab::FindVM(lab::SampleServer(), vm.first, description) || description.disks.size() != 1) return false;
    description.disks[0].sizeBytes = vm.second;
    const std::string image = lab::DiskImagePath(lab::SampleServer(), description.disks[0].file);
    if (truncate(image.c_str(), static_cast<off_t>(vm.second)) != 0 ||
        !lab::WriteVMDescription(lab::SampleServer(), description, error))
      return false;
  }
  return true;
}

// REQUIRES: the lab's scope. What breaks the promise in the job: a VM recorded as backed up that does
// not restore to `before` (copies of its disks taken before the job), a VM recorded otherwise without
// a reason, a stream still reserved or open. Empty when nothing does.
std::string BrokenPromises(int64_t jobId, const testsupport::DiskCopies& before) {
  std::string broken;
  for (const auto& vm : kVMs) {
    Info record;
    if (!vsJobMgr::ReadVMStatus(jobId, vm.first, record)) {
      broken += " VM " + vm.first + " has no status;";
      continue;
    }
    const int64_t status = record.getint64(Info::F_vmStatus);
    if (status == kStatusBackedUp || status == kStatusBackedUpWithErrors) {
      const std::string why = archivetest::WhyNotRestoredTo(vm.first, jobId, before);
      if (!why.empty()) broken += " VM " + vm.first + " is recorded as backed up, but " + why + ";";
    } else if (record.getstring(Info::F_failureText).empty() && lab::ReadPendingCauses(jobId).empty()) {
      broken += " VM " + vm.first + " is " + vsJobMgr::convertVMClientBkupStatusToString(static_cast<int>(status)) +
                " without a reason;";
    }
  }
  return broken + promise::StreamsLeftReserved(jobId);
}

// REQUIRES: the lab's scope. The archive files of the job that are not well formed: a refused
// record must leave an archive that reads back, with the failed item ended failed.
std::string MalformedArchives(int64_t jobId) {
  std::string malformed;
  for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(jobId)) {
    archive::ArchiveContents contents;
    archive::Problem problem;
    if (!archive::ReadArchive(location.path, contents, problem))
      malformed += " archive " + location.path + " is not well formed: " + problem.Describe() + ";";
  }
  return malformed;
}

// REQUIRES: the lab's scope. Why the job did not complete with every VM backed up; empty when it did.
std::string WhyNotCompleted(int64_t jobId) {
  std::string why;
  const std::vector<std::string> phases = lab::ReadPhaseLines(jobId);
  if (phases != std::vector<std::string>{"phaseSuccessful"})
    why += " the job ended " + (phases.empty() ? std::string("without a result") : phases.back()) + ";";
  for (const auto& vm : kVMs) {
    Info record;
    if (!vsJobMgr::ReadVMStatus(jobId, vm.first, record) || record.getint64(Info::F_vmStatus) != kStatusBackedUp)
      why += " VM " + vm.first + " is not backed up;";
  }
  return why;
}

struct Operation {
  const char* op;
};
void PrintTo(const Operation& operation, std::ostream* out) { *out << operation.op; }
const Operation kOperations[] = {
    {"archive.write"},     {"archive.closeArchiveFile"}, {"archive.close"},
    {"archive.fileWrite"}, {"archive.fileSync"},         {"disk.Read"},
    {"index.UploadMetadataFiles"}, {"index.GetVMNewestRecordJob"},
};

struct Level {
  const char* name;
  bool incremental;
  int64_t job;  // the job that is failed; the next one follows it
};
void PrintTo(const Level& level, std::ostream* out) { *out << level.name; }

// The labs every case starts from, made once: a full job ready to run, and an incremental job ready
// to run after a full job that completed and a guest write to both disks.
class PromiseLabs {
 public:
  static PromiseLabs& Get() {
    static PromiseLabs labs;
    return labs;
  }
  const std::string& Template(bool incremental) const { return incremental ? incremental_ : full_; }
  // Copies of the template's disks: as its job finds them, and as the next one does.
  const testsupport::DiskCopies& Before(bool incremental) const {
    return incremental ? incrementalBefore_ : fullBefore_;
  }
  const std::string& Error() const { return error_; }
  std::string NewCaseFolder() {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string folder = dir_.Path("case" + std::to_string(++cases_));
    fs::create_directories(folder);
    return folder;
  }

 private:
  PromiseLabs() {
    lab::SetRoot(std::string());
    full_ = dir_.Path("full");
    incremental_ = dir_.Path("incremental");
    {
      LabScope scope(full_);
      // Every byte seeded, so that no extent goes as a hole and each one is an item of its own.
      if (!AddJob(full_, 1001) || !ResizeDisks() || !WriteDisks(0, 2 * kExtentBytes, 7)) {
        error_ = "the full job's lab cannot be made";
        return;
      }
      fullBefore_ = testsupport::CopyDisks(Guids(), dir_.Path("full-before"));
    }
    std::error_code failed;
    fs::copy(full_, incremental_, fs::copy_options::recursive, failed);
    if (failed) {
      error_ = "the lab cannot be copied: " + failed.message();
      return;
    }
    const std::string out = dir_.Path("setup.txt");
    if (RunJob(incremental_, 1001, false, out) != 0) {
      error_ = "the full job the incremental rests on did not run: " + ReadText(out);
      return;
    }
    LabScope scope(incremental_);
    const std::string why = WhyNotCompleted(1001);
    // Inside the second extent of both disks.
    if (!why.empty() || !AddJob(incremental_, 1002) || !WriteDisks(kExtentBytes + 4096, 300, 11))
      error_ = "the incremental job's lab cannot be made:" + why;
    incrementalBefore_ = testsupport::CopyDisks(Guids(), dir_.Path("incremental-before"));
  }

  testsupport::TestLab dir_;
  std::string full_, incremental_, error_;
  testsupport::DiskCopies fullBefore_, incrementalBefore_;
  std::mutex mutex_;
  int cases_ = 0;
};

// One call of the operation failed in a copy of the level's lab; what broke the promise, empty
// when nothing did.
std::string RunCase(const Level& level, const Operation& operation, int64_t call) {
  PromiseLabs& labs = PromiseLabs::Get();
  const std::string folder = labs.NewCaseFolder();
  const std::string root = folder + "/lab";
  std::error_code failed;
  fs::copy(labs.Template(level.incremental), root, fs::copy_options::recursive, failed);
  if (failed) return "the lab cannot be copied: " + failed.message();
  {
    LabScope scope(root);
    lab::FaultRule rule;
    rule.op = operation.op;
    rule.code = 5;
    rule.after = call - 1;
    rule.times = 1;
    rule.text = "refused by the promise test";
    std::string error;
    if (!lab::AddFaultRule(rule, error)) return "the rule cannot be added: " + error;
  }
  const std::string out = folder + "/run.txt";
  RunJob(root, level.job, level.incremental, out);
  std::string broken;
  {
    LabScope scope(root);
    broken = BrokenPromises(level.job, labs.Before(level.incremental)) + MalformedArchives(level.job);
    std::string error;
    if (!lab::ClearFaultTable(error) || !AddJob(root, level.job + 1)) return broken + " the next job cannot be made";
  }
  if (RunJob(root, level.job + 1, true, out) != 0) return broken + " the next job did not run: " + ReadText(out);
  {
    LabScope scope(root);
    // No guest write between the two jobs: the next one finds the disks as the faulted one did.
    std::string next = WhyNotCompleted(level.job + 1) + BrokenPromises(level.job + 1, labs.Before(level.incremental));
    if (!next.empty()) broken += " next job:" + next;
  }
  if (broken.empty()) {
    testsupport::TestLab::RemoveProcessTables(folder);
    fs::remove_all(folder, failed);
  }
  return broken;
}

// The calls of the operation in a job of the level when nothing fails.
int64_t CountCalls(const Level& level, const Operation& operation, std::string& error) {
  PromiseLabs& labs = PromiseLabs::Get();
  const std::string folder = labs.NewCaseFolder();
  const std::string root = folder + "/lab";
  std::error_code failed;
  fs::copy(labs.Template(level.incremental), root, fs::copy_options::recursive, failed);
  if (failed) {
    error = failed.message();
    return 0;
  }
  lab::FaultRule rule;
  rule.op = operation.op;
  rule.code = 5;
  rule.after = 1000000;  // never reached: the rule only counts
  {
    LabScope scope(root);
    if (!lab::AddFaultRule(rule, error)) return 0;
  }
  if (RunJob(root, level.job, level.incremental, folder + "/run.txt") != 0) {
    error = ReadText(folder + "/run.txt");
    return 0;
  }
  LabScope scope(root);
  lab::FaultTable table;
  if (!lab::ReadFaultTable(table, error) || table.rules.size() != 1) return 0;
  const std::string why = WhyNotCompleted(level.job);
  if (!why.empty()) {
    error = "the job without a fault did not complete:" + why;
    return 0;
  }
  // An incremental that quietly became a full would try nothing an incremental does.
  for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(level.job)) {
    archive::ArchiveContents contents;
    archive::Problem problem;
    if (archive::ReadArchiveBegin(location.path, contents, problem) && !contents.indexOnly &&
        (contents.backupLevel == 1) == level.incremental) {
      error = "the job without a fault wrote an archive of level " + std::to_string(contents.backupLevel);
      return 0;
    }
  }
  return table.rules[0].calls;
}

class PromiseMatrix : public ::testing::TestWithParam<std::tuple<Level, Operation>> {};

TEST_P(PromiseMatrix, EveryVMReportedBackedUpRestoresAndEveryOtherSaysWhy) {
  const Level& level = std::get<0>(GetParam());
  const Operation& operation = std::get<1>(GetParam());
  ASSERT_EQ("", PromiseLabs::Get().Error());
  std::string error;
  const int64_t calls = CountCalls(level, operation, error);
  ASSERT_GT(calls, 0) << error;
  std::mutex mutex;
  std::map<int64_t, std::string> broken;
  std::atomic<int64_t> next{1};
  std::vector<std::thread> runners;
  for (unsigned i = 0; i < kParallelCases; ++i) {
    runners.emplace_back([&] {
      for (int64_t call = next++; call <= calls; call = next++) {
        std::string why = RunCase(level, operation, call);
        std::lock_guard<std::mutex> lock(mutex);
        if (!why.empty()) broken[call] = why;
      }
    });
  }
  for (std::thread& runner : runners) runner.join();
  for (const auto& failure : broken)
    ADD_FAILURE() << level.name << ": " << operation.op << " call " << failure.first << " of " << calls << " failed:"
                  << failure.second;
}

const Level kLevels[] = {{"full", false, 1001}, {"incremental", true, 1002}};

INSTANTIATE_TEST_SUITE_P(
    EveryCall, PromiseMatrix, ::testing::Combine(::testing::ValuesIn(kLevels), ::testing::ValuesIn(kOperations)),
    [](const ::testing::TestParamInfo<std::tuple<Level, Operation>>& info) {
      std::string name = std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).op;
      std::replace(name.begin(), name.end(), '.', '_');
      return name;
    });

// ---- An agent killed in the middle of a VM ----
//
// Two agent processes with one worker each (the fault table refuses each a second one) back up two VMs
// of two disks; each disk of a VM goes on a stream and into an archive file of its own. The agent that
// takes vm02 commits the archive of vm02's second disk and is killed while it reads the first; the
// coordinator gives vm02 to the other agent, which backs it up whole. Which of the two processes began
// writing archives first must not matter: vm02, reported backed up, restores whole and byte for byte
// to its disks as they were before the job, from the retry's archives; the index's record of vm02
// lists both disks; verify finds nothing wrong; and the next job's incremental of vm02 builds on it.
// A byte changed in the first record of the killed agent's archive leaves it of the attempt its note
// names: restores and verify still take the retry's archives.
// Nor must it matter that vm02's dispatch record was deleted or emptied while the killed agent was
// held: the retry's dispatch still numbers above the killed one's. With the record lost, each case
// runs a few rounds, each on a lab of its own.

enum class WroteFirst { kRetry, kKilled };
enum class RecordLoss { kNone, kDeleted, kEmptied };
struct RetryOrder {
  const char* name;
  WroteFirst first;
  RecordLoss loss = RecordLoss::kNone;
  int rounds = 1;
};
void PrintTo(const RetryOrder& order, std::ostream* out) { *out << order.name; }

const char* const kAgents[] = {"proxyA", "proxyB"};

// REQUIRES: the lab's scope. Whether the job's held call of the operation for the VM is held.
bool Held(const std::string& op, const std::string& vm) {
  lab::FaultTable table;
  std::string error;
  if (!lab::ReadFaultTable(table, error)) return false;
  for (const lab::FaultRule& rule : table.rules)
    if (rule.op == op && rule.vm == vm && rule.hold && rule.fired > 0) return true;
  return false;
}

class KilledAgentRetry : public ::testing::TestWithParam<RetryOrder> {
 protected:
  // REQUIRES: the lab's scope. A rule of the table.
  static void Rule(const std::string& op, const std::string& client, const std::string& vm, const std::string& disk,
                   bool hold) {
    lab::FaultRule rule;
    rule.op = op;
    rule.client = client;
    rule.vm = vm;
    rule.disk = disk;
    rule.hold = hold;
    if (!hold) {
      rule.code = 1;
      rule.after = 1;
      rule.times = lab::kFaultAlways;
    }
    std::string error;
    ASSERT_TRUE(lab::AddFaultRule(rule, error)) << error;
  }
  // Blocks until `reached` holds in the lab's scope; false when the lab stood still for a minute.
  bool WaitFor(const std::function<bool()>& reached) {
    std::string logDir;
    {
      LabScope scope(root_);
      logDir = lab::ClientLogDir("coordinator");
    }
    return testsupport::WaitForLab({root_, lab::MediaJobDir(lab::SampleMediaAgent(), 1001), logDir}, [&] {
      LabScope scope(root_);
      return reached();
    });
  }
  // One round of the case on a new lab in root_.
  void Round(const RetryOrder& order);

  testsupport::TestLab dir_;
  std::string root_;
};

void KilledAgentRetry::Round(const RetryOrder& order) {
  const std::string vm01 = kVMs[0].first, vm02 = kVMs[1].first;
  std::string error, disk0;
  testsupport::DiskCopies before;
  lab::LabPlan plan;
  plan.vms = 2;
  plan.disksPerVM = 2;
  plan.timeScale = 60;
  int kept = 0;
  {
    LabScope scope(root_);
    ASSERT_TRUE(lab::CreateLab(root_, plan, kept, error)) << error;
    // Only the two agent processes back VMs up, both candidates of every VM.
    ASSERT_TRUE(lab::SetSubclientValue("1", "memberServers", "proxyA,proxyB", error)) << error;
    for (const char* key : {"bEnableSanDatastoreDispatch", "bEnableHostDispatch", "bEnableDatastoreDispatch",
                            "bEnableSubnetDispatch"})
      ASSERT_TRUE(lab::WriteSetting("coordinator", "VirtualServer", key, "0", error)) << error;
    ASSERT_TRUE(WriteDisks(0, 4 * kExtentBytes, 13));
    before = testsupport::CopyDisks(Guids(), root_ + "-before-1001");
    lab::VMDescription description;
    ASSERT_TRUE(lab::FindVM(lab::SampleServer(), vm02, description));
    disk0 = lab::LabDiskIndexName(0, description.disks[0].file);
    ASSERT_TRUE(lab::MakeDirs(lab::MediaJobDir(lab::SampleMediaAgent(), 1001)));
    for (const char* agent : kAgents) Rule("thread.Create", agent, "", "worker", false);
    Rule("disk.Read", "", vm02, disk0, true);
    if (order.first == WroteFirst::kRetry) {
      Rule("archive.createArchiveFile", "", vm02, "", true);
      Rule("disk.Read", "", vm01, "", true);
    } else {
      Rule("vminfo.MountVM", "", vm01, "", true);
    }
  }
  const std::string out = root_ + "-run.txt";
  const pid_t job = testsupport::StartProgram({QUARN_LAB_BINARY, "run", root_, "--", "-numStreams", "4"}, out);
  const auto vm02Committed = [&] { return !lab::ListVMArchiveFiles(1001, vm02).empty(); };
  if (order.first == WroteFirst::kRetry) {
    // The agent with vm02 waits to create its archives until the other one has created vm01's.
    ASSERT_TRUE(WaitFor([&] { return Held("archive.createArchiveFile", vm02) && Held("disk.Read", vm01); }))
        << ReadText(out);
    LabScope scope(root_);
    ASSERT_TRUE(lab::RemoveFaultRules([](const lab::FaultRule& rule) { return rule.op == "archive.createArchiveFile"; },
                                      error))
        << error;
  }
  ASSERT_TRUE(WaitFor([&] {
    return Held("disk.Read", vm02) && vm02Committed() &&
           (order.first == WroteFirst::kRetry || Held("vminfo.MountVM", vm01));
  })) << ReadText(out);
  std::string killed;
  {
    LabScope scope(root_);
    for (const char* agent : kAgents)
      if (lab::VMDispatchNumber(1001, vm02, agent) > 0) killed = agent;
    ASSERT_FALSE(killed.empty());
    const std::string record = lab::VMDispatchRecordPath(1001, vm02);
    std::error_code failed;
    if (order.loss == RecordLoss::kDeleted) {
      ASSERT_TRUE(fs::remove(record, failed)) << record;
    } else if (order.loss == RecordLoss::kEmptied) {
      ASSERT_TRUE(lab::WriteFileAtomic(record, "", error)) << error;
    }
    long pid = 0;
    for (const std::string& line : lab::ReadSessions(1001))
      if (line.compare(0, 9 + killed.size(), "started " + killed + " ") == 0) pid = std::stol(line.substr(9 + killed.size()));
    ASSERT_GT(pid, 0);
    ASSERT_EQ(0, kill(static_cast<pid_t>(pid), SIGKILL));
  }
  // vm01 goes on only once the coordinator has taken vm02 back: an agent that finished vm01 first
  // would be told there is nothing left for it and end, leaving vm02 with no agent.
  const std::string takenBack = "VM [vm02] is still assigned to Agent [" + killed + "]";
  EXPECT_TRUE(WaitFor([&] { return dir_.Log("coordinator").find(takenBack) != std::string::npos; })) << ReadText(out);
  {
    LabScope scope(root_);
    ASSERT_TRUE(lab::ClearFaultTable(error)) << error;
  }
  testsupport::WaitProgram(job);

  LabScope scope(root_);
  EXPECT_EQ(2u, lab::VMDispatchNumber(1001, vm02, killed == "proxyA" ? "proxyB" : "proxyA"))
      << "vm02 went to the other agent";
  for (const auto& vm : kVMs) {
    SCOPED_TRACE(vm.first);
    Info record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, vm.first, record));
    EXPECT_EQ(kStatusBackedUp, record.getint64(Info::F_vmStatus)) << ReadText(out);
    std::vector<std::string> notes;
    EXPECT_EQ("", archivetest::WhyNotRestoredTo(vm.first, 1001, before, &notes));
    if (vm.first == vm02) {
      ASSERT_EQ(1u, notes.size());
      EXPECT_NE(std::string::npos, notes[0].find("left out: an earlier attempt of job 1001")) << notes[0];
    }
  }
  lab::SubclientRecord subclient;
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadSubclientRecord("1", subclient, error));
  std::vector<std::vector<std::string>> entries;
  ASSERT_TRUE(lab::ReadIndexVMEntries(subclient.settings["subclientGUID"], vm02, 1001, entries, error)) << error;
  EXPECT_EQ(2, std::count_if(entries.begin(), entries.end(),
                             [](const std::vector<std::string>& entry) { return entry.front() == "disk"; }))
      << "the index's record of vm02 lists both disks";
  EXPECT_EQ(0, Tool({"verify", root_, "--job", "1001"}, out)) << ReadText(out);

  const testsupport::DiskCopies before1001 = before;

  // The next job's incremental of vm02 builds on the retry's backup.
  plan.jobId = 1002;
  ASSERT_TRUE(lab::CreateLab(root_, plan, kept, error)) << error;
  ASSERT_TRUE(WriteDisks(kExtentBytes + 512, 4096, 17));
  before = testsupport::CopyDisks(Guids(), root_ + "-before-1002");
  EXPECT_EQ(0, Tool({"run", root_, "--job", "1002", "--", "-t", "2", "-numStreams", "4"}, out)) << ReadText(out);
  for (const lab::ArchiveLocation& location : lab::ListVMArchiveFiles(1002, vm02)) {
    archive::ArchiveContents contents;
    archive::Problem problem;
    ASSERT_TRUE(archive::ReadArchiveBegin(location.path, contents, problem)) << problem.Describe();
    EXPECT_NE(1u, contents.backupLevel) << "vm02 was found in the index";
  }
  for (const auto& vm : kVMs) {
    std::vector<std::string> notes;
    EXPECT_EQ("", archivetest::WhyNotRestoredTo(vm.first, 1002, before, &notes)) << vm.first;
  }

  // A byte changed in the first record of the killed agent's committed archive: its note still names
  // the attempt it is of, which the retry stands in for. Restores as of job 1001 bring vm02 back, and
  // verify names the archive as that attempt's and finds nothing wrong.
  std::string killedArchive;
  for (const lab::ArchiveLocation& location : lab::ListVMArchiveFiles(1001, vm02)) {
    archive::ArchiveContents contents;
    archive::Problem problem;
    ASSERT_TRUE(archive::ReadArchiveBegin(location.path, contents, problem)) << problem.Describe();
    if (contents.dispatch < 2) killedArchive = location.path;
  }
  ASSERT_FALSE(killedArchive.empty()) << "the killed agent committed no archive of vm02";
  archivetest::FlipByte(killedArchive, 30);
  EXPECT_EQ("", archivetest::WhyNotRestoredTo(vm02, 1001, before1001));
  EXPECT_EQ(0, Tool({"verify", root_, "--job", "1001"}, out)) << ReadText(out);
  const std::string verified = ReadText(out);
  EXPECT_NE(std::string::npos, verified.find("archive " + killedArchive + ": MALFORMED at offset 0: ")) << verified;
  EXPECT_NE(std::string::npos, verified.find("  note: of an earlier attempt of job 1001 at the VM")) << verified;
}

TEST_P(KilledAgentRetry, TheRetrysArchivesStandForTheVM) {
  const RetryOrder& order = GetParam();
  for (int round = 0; round < order.rounds && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round + 1) + " of " + std::to_string(order.rounds));
    root_ = dir_.Path("lab" + std::to_string(round));
    Round(order);
  }
}

// A killed agent's partial archive that won would fail every round of a case whose retry began
// writing first; the rounds catch what else may vary from run to run (which agent takes vm02).
constexpr int kRoundsWithTheRecordLost = 3;
const RetryOrder kRetryOrders[] = {
    {"the retry's agent began writing first", WroteFirst::kRetry},
    {"the killed agent began writing first", WroteFirst::kKilled},
    {"the retry's agent began writing first, the record deleted", WroteFirst::kRetry, RecordLoss::kDeleted,
     kRoundsWithTheRecordLost},
    {"the killed agent began writing first, the record deleted", WroteFirst::kKilled, RecordLoss::kDeleted,
     kRoundsWithTheRecordLost},
    {"the retry's agent began writing first, the record emptied", WroteFirst::kRetry, RecordLoss::kEmptied,
     kRoundsWithTheRecordLost},
    {"the killed agent began writing first, the record emptied", WroteFirst::kKilled, RecordLoss::kEmptied,
     kRoundsWithTheRecordLost},
};

INSTANTIATE_TEST_SUITE_P(BothOrders, KilledAgentRetry, ::testing::ValuesIn(kRetryOrders),
                         [](const ::testing::TestParamInfo<RetryOrder>& info) {
                           std::string name = info.param.first == WroteFirst::kRetry ? "RetryWroteFirst"
                                                                                     : "KilledWroteFirst";
                           if (info.param.loss == RecordLoss::kDeleted) name += "_RecordDeleted";
                           if (info.param.loss == RecordLoss::kEmptied) name += "_RecordEmptied";
                           return name;
                         });

}  // namespace
