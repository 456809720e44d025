// The lab's records: each limit at the limit and one past it, what a writer refuses, and VMs found by key.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include "platform/lab/LabCreate.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabMachine.h"
#include "platform/lab/LabSnapshot.h"
#include "support/TestLab.h"

namespace {

TEST(LabNames, ComponentsAndArgumentsAtTheirLimits) {
  const std::string longest(lab::kMaxComponentBytes, 'n');
  struct Case {
    std::string text;
    bool component, argument;
  } cases[] = {
      {longest, true, true},
      {longest + "n", false, true},
      {"proxyA", true, true},
      {"", false, false},
      {"..", false, true},
      {"a/b", false, true},
      {"-client", true, false},
      {"two words", true, false},
      {"tab\there", false, false},
      {"del\x7f", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.component, lab::IsSafeComponent(c.text)) << c.text.substr(0, 12);
    EXPECT_EQ(c.argument, lab::IsSafeArgument(c.text)) << c.text.substr(0, 12);
  }
}

TEST(LabJobRecord, ValuesAtTheirLimits) {
  struct Case {
    std::string text;
    bool valid;
  } cases[] = {
      {"timeScale=1", true},
      {"timeScale=3600", true},
      {"timeScale=0", false},
      {"timeScale=3601", false},
      {"timeScale=", true},
      {"bkpLevel=1", true},
      {"bkpLevel=0", false},
      {"bkpLevel=2147483647", true},
      {"bkpLevel=2147483648", false},
      {"replicationId=-1", false},
      {"token=tok-1", true},
      {"token=-client", false},
      {"token=a b", false},
      {"mediaAgent=-d", false},
      {"client=../x", false},
      {"subclient=-a", false},
      {"initFails=1", true},  // a key of an older lab is kept, not obeyed
  };
  for (const Case& c : cases) {
    lab::JobRecord record;
    record.restart = "unchanged";
    std::string error;
    EXPECT_EQ(c.valid, lab::ParseJobRecord(c.text + "\n", record, error)) << c.text;
    if (!c.valid) {
      EXPECT_EQ("unchanged", record.restart) << "a refused record leaves its target as it was";
    }
  }
  lab::JobRecord record;
  std::string error;
  ASSERT_TRUE(lab::ParseJobRecord("initFails=1\ntimeScale=12\n", record, error));
  EXPECT_EQ(12, record.timeScale);
  EXPECT_EQ("1", record.other["initFails"]);
  lab::JobRecord again;
  ASSERT_TRUE(lab::ParseJobRecord(lab::FormatJobRecord(record), again, error));
  EXPECT_EQ(lab::FormatJobRecord(record), lab::FormatJobRecord(again));
}

TEST(LabJobRecord, WritersRefuseWhatWouldNotReadBack) {
  testsupport::TestLab lab;
  std::string error;
  lab::JobRecord record;
  record.restart = "two\nlines";
  EXPECT_FALSE(lab::WriteJobRecord(1001, record, error));
  record.restart = "ok";
  record.timeScale = lab::kMaxTimeScale + 1;
  EXPECT_FALSE(lab::WriteJobRecord(1001, record, error));
  EXPECT_FALSE(lab::JobRecordExists(1001));
  record.timeScale = lab::kMaxTimeScale;
  ASSERT_TRUE(lab::WriteJobRecord(1001, record, error)) << error;
  lab::JobRecord read;
  ASSERT_TRUE(lab::ReadJobRecord(1001, read, error));
  EXPECT_EQ(lab::kMaxTimeScale, read.timeScale);
}

// The coordinator's dispatches of a VM are numbered over every run of the job; an agent's archives
// carry the number of the VM's latest dispatch to their client.
TEST(LabJobRecord, DispatchesOfAVMAreNumberedInTheCoordinatorsOrder) {
  testsupport::TestLab lab;
  lab.UseJob(1001);
  const std::string vm = "50290000-0000-4000-8000-000000000002";
  std::string error;
  EXPECT_EQ(0u, lab::VMDispatchNumber(1001, vm, "proxyA")) << "never given out";
  for (const char* client : {"proxyA", "proxyB", "proxyA"}) ASSERT_TRUE(lab::RecordVMDispatch(1001, vm, client, error));
  EXPECT_EQ(3u, lab::VMDispatchNumber(1001, vm, "proxyA"));
  EXPECT_EQ(2u, lab::VMDispatchNumber(1001, vm, "proxyB"));
  std::string upper = vm;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
  EXPECT_EQ(2u, lab::VMDispatchNumber(1001, upper, "proxyB")) << "a GUID in any case";
  EXPECT_EQ(0u, lab::VMDispatchNumber(1001, vm, "coordinator"));
  EXPECT_EQ(0u, lab::VMDispatchNumber(1002, vm, "proxyA")) << "another job";
  // Names that cannot name a record are refused, and record nothing.
  EXPECT_FALSE(lab::RecordVMDispatch(1001, "../escape", "proxyA", error));
  EXPECT_FALSE(lab::RecordVMDispatch(1001, vm, "two words\n", error));
  EXPECT_FALSE(lab::RecordVMDispatch(1001, vm, "", error));
  EXPECT_EQ(3u, lab::VMDispatchNumber(1001, vm, "proxyA"));
}

// A dispatch whose record was cut short (a full file system) counts for no client, not even the one
// its half names, and the next dispatch is a line of its own and counts.
TEST(LabJobRecord, ADispatchCutShortCountsForNoClientAndTheNextOneCounts) {
  testsupport::TestLab lab;
  lab.UseJob(1001);
  const std::string vm = "50290000-0000-4000-8000-000000000002";
  std::string error;
  ASSERT_TRUE(lab::RecordVMDispatch(1001, vm, "proxyA", error)) << error;
  lab::FaultRule rule;
  rule.op = "ra.RecordVMDispatch";
  rule.client = "proxyB";
  rule.code = 28;
  ASSERT_TRUE(lab::AddFaultRule(rule, error)) << error;
  EXPECT_FALSE(lab::RecordVMDispatch(1001, vm, "proxyB", error));
  EXPECT_NE(std::string::npos, error.find(std::strerror(28))) << error;
  struct Count {
    const char* client;
    uint64_t cutShort, after;  // the VM's dispatch number to the client then, and after the next dispatch
  } counts[] = {{"proxyA", 1, 1}, {"pro", 0, 0}, {"proxyB", 0, 2}, {"proproxyB", 0, 0}};
  for (const Count& count : counts) EXPECT_EQ(count.cutShort, lab::VMDispatchNumber(1001, vm, count.client)) << count.client;
  ASSERT_TRUE(lab::RecordVMDispatch(1001, vm, "proxyB", error)) << error;
  for (const Count& count : counts) EXPECT_EQ(count.after, lab::VMDispatchNumber(1001, vm, count.client)) << count.client;
  lab::FaultTable table;
  ASSERT_TRUE(lab::ReadFaultTable(table, error)) << error;
  EXPECT_EQ(2, table.rules[0].calls) << "one call per record, of the client it goes to";
}

// A dispatch is numbered above the record's every line (one of an older version by its place), and
// above the caller's own count when the record was lost; a record that the agent could not read its
// number back from (one there that cannot be read, or that the line would grow past its limit) and
// one whose numbers are used up refuse the dispatch and are left as they were.
TEST(LabJobRecord, ADispatchIsNumberedAboveEveryEarlierOneOrRefusedWithTheRecordLeftAsItWas) {
  testsupport::TestLab lab;
  lab.UseJob(1001);
  const std::string vm = "50290000-0000-4000-8000-000000000002";
  const std::string path = lab::VMDispatchRecordPath(1001, vm);
  ASSERT_TRUE(lab::MakeDirs(path.substr(0, path.rfind('/'))));
  const size_t line = std::string("proxyA 8\n").size();
  // A record of `bytes` bytes whose one line numbers dispatch 7.
  const auto recordOf = [](size_t bytes) { return std::string(bytes - 3, 'x') + " 7\n"; };
  struct Case {
    const char* name;
    std::string record;  // "-": none
    uint64_t above;
    uint64_t number;     // 0: refused
  } cases[] = {
      {"no record", "-", 0, 1},
      {"no record, the caller's count", "-", 5, 6},
      {"an emptied record, the caller's count", "", 5, 6},
      {"an older version's lines", "proxyA\nproxyB\n", 0, 3},
      {"lines of both versions", "proxyA\nproxyB 4\nproxyB\n", 0, 5},
      {"the caller's count below the record's", "proxyB 4\n", 2, 5},
      {"a last line cut short", "proxyB 4\nproxyB 9", 0, 5},
      {"the last number", "proxyB 18446744073709551614\n", 0, 18446744073709551615u},
      {"one past the last number", "proxyB 18446744073709551615\n", 0, 0},
      {"the line fills the record to its limit", recordOf(lab::kMaxDispatchRecordBytes - line), 0, 8},
      {"the line one past the record's limit", recordOf(lab::kMaxDispatchRecordBytes - line + 1), 0, 0},
      {"a record past its limit", recordOf(lab::kMaxDispatchRecordBytes + 1), 0, 0},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    std::remove(path.c_str());
    if (test.record != "-") {
      ASSERT_TRUE(lab::WriteFileAtomic(path, test.record));
    }
    uint64_t number = 0;
    std::string error;
    EXPECT_EQ(test.number != 0, lab::RecordVMDispatch(1001, vm, "proxyA", test.above, number, error)) << error;
    if (test.number == 0) {
      EXPECT_NE(std::string::npos, error.find(path)) << error;
      std::string text;
      EXPECT_TRUE(lab::ReadRegularFile(path, 2 * lab::kMaxDispatchRecordBytes, text, error)) << error;
      EXPECT_TRUE(text == test.record) << "the record is left as it was";
      continue;
    }
    EXPECT_EQ(test.number, number);
    EXPECT_EQ(test.number, lab::VMDispatchNumber(1001, vm, "proxyA")) << "the agent reads its number back";
  }
  // A record that cannot be read at all (a folder in its place) refuses too.
  std::remove(path.c_str());
  ASSERT_TRUE(lab::MakeDirs(path));
  uint64_t number = 0;
  std::string error;
  EXPECT_FALSE(lab::RecordVMDispatch(1001, vm, "proxyA", 0, number, error));
  EXPECT_NE(std::string::npos, error.find("cannot be read")) << error;
}

TEST(LabMachine, ValuesAtTheirLimits) {
  std::string sixtyFour;
  for (int i = 0; i < 64; ++i) sixtyFour += (i ? "," : "") + std::string("10.0.0.") + std::to_string(i) + "/255.0.0.0";
  struct Case {
    std::string text;
    bool valid;
  } cases[] = {
      {"cpus=1", true},
      {"cpus=4096", true},
      {"cpus=0", false},
      {"cpus=4097", false},
      {"memoryMB=1", true},
      {"memoryMB=" + std::to_string(lab::kMaxMachineMemoryMB), true},
      {"memoryMB=" + std::to_string(lab::kMaxMachineMemoryMB + 1), false},
      {"memoryMB=0", false},
      {"os=linux", true},
      {"os=Windows", false},
      {"addresses=" + sixtyFour, true},
      {"addresses=" + sixtyFour + ",10.1.1.1/255.0.0.0", false},
      {"addresses=10.0.0.1/255.255.255.255", true},
      {"addresses=10.0.0.1/0.0.0.0", true},
      {"addresses=10.0.0.1/255.0.255.0", false},
      {"addresses=10.0.0.1", false},
      {"addresses=10.0.0.1/ffff::", false},
      {"addresses=fd00::1/ffff:ffff::", true},
  };
  for (const Case& c : cases) {
    lab::MachineRecord record;
    record.hostName = "unchanged";
    std::string error;
    EXPECT_EQ(c.valid, lab::ParseMachineRecord(c.text + "\n", record, error)) << c.text.substr(0, 40) << " " << error;
    if (!c.valid) {
      EXPECT_EQ("unchanged", record.hostName);
    }
  }
}

TEST(LabCreatePlan, CountsAtTheirLimits) {
  std::vector<std::string> clients;
  for (size_t i = 0; i < lab::kMaxLabClients; ++i) clients.push_back("c" + std::to_string(i));
  struct Case {
    std::function<void(lab::LabPlan&)> change;
    bool valid;
  } cases[] = {
      {[](lab::LabPlan& p) { p.vms = lab::kMaxLabVMs; }, true},
      {[](lab::LabPlan& p) { p.vms = lab::kMaxLabVMs + 1; }, false},
      {[](lab::LabPlan& p) { p.vms = 0; }, true},
      {[](lab::LabPlan& p) { p.vmNumbers = {1, lab::kMaxLabVMs}; }, true},
      {[](lab::LabPlan& p) { p.vmNumbers = {1, lab::kMaxLabVMs + 1}; }, false},
      {[](lab::LabPlan& p) { p.vmNumbers = {0}; }, false},
      {[](lab::LabPlan& p) { p.level = 1; }, true},
      {[](lab::LabPlan& p) { p.level = 0; }, false},
      {[&](lab::LabPlan& p) { p.clients = clients; }, true},
      {[&](lab::LabPlan& p) { p.clients = clients, p.clients.push_back("extra"); }, false},
      {[](lab::LabPlan& p) { p.clients.clear(); }, false},
      {[](lab::LabPlan& p) { p.timeScale = lab::kMaxTimeScale; }, true},
      {[](lab::LabPlan& p) { p.timeScale = 0; }, false},
      {[](lab::LabPlan& p) { p.machine.cpus = 0; }, false},
      {[](lab::LabPlan& p) { p.jobId = 0; }, false},
  };
  for (const Case& c : cases) {
    lab::LabPlan plan;
    c.change(plan);
    std::string error;
    EXPECT_EQ(c.valid, lab::CheckLabPlan(plan, error)) << error;
  }
}

// Disks that start as given files: as many files as disks, each a whole number of sectors (one
// sector at the limit); every sample VM's disk is then a copy of its file, of the file's size.
TEST(LabCreatePlan, DisksStartAsTheGivenFiles) {
  testsupport::TestLab lab;
  const auto file = [&lab](const std::string& name, size_t bytes) {
    const std::string path = lab.Path(name);
    std::string content(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i) content[i] = static_cast<char>(i * 7 + name.size());
    std::ofstream(path, std::ios::binary) << content;
    return path;
  };
  const std::string sector = file("sector", 512), two = file("two", 2 * 4096 + 512);
  const std::string empty = file("empty", 0), short1 = file("short", 511), long1 = file("long", 513);
  struct Case {
    std::vector<std::string> images;
    bool valid;
  } cases[] = {
      {{sector, two}, true},
      {{sector}, false},
      {{sector, two, two}, false},
      {{sector, empty}, false},
      {{sector, short1}, false},
      {{sector, long1}, false},
      {{sector, lab.Path("missing")}, false},
      {{sector, lab.Root()}, false},
  };
  for (const Case& c : cases) {
    lab::LabPlan plan;
    plan.disksPerVM = 2;
    plan.diskImages = c.images;
    std::string error;
    EXPECT_EQ(c.valid, lab::CheckLabPlan(plan, error)) << c.images.back() << " " << error;
    if (!c.valid) {
      EXPECT_FALSE(error.empty());
    }
  }

  lab::LabPlan plan;
  plan.vms = 2;
  plan.disksPerVM = 2;
  plan.diskImages = {sector, two};
  ASSERT_TRUE(lab.Create(plan));
  for (const char* name : {"vm01", "vm02"}) {
    lab::VMDescription vm;
    ASSERT_TRUE(lab::FindVM(lab::SampleServer(), name, vm));
    ASSERT_EQ(2u, vm.disks.size());
    for (size_t d = 0; d < 2; ++d) {
      std::ifstream want(plan.diskImages[d], std::ios::binary);
      const std::string wanted((std::istreambuf_iterator<char>(want)), {});
      lab::DiskReader reader;
      int errorNumber = 0;
      std::string error, made(wanted.size() + 1, 'x');
      ASSERT_TRUE(reader.Open(lab::DiskImagePath(lab::SampleServer(), vm.disks[d].file), errorNumber, error)) << error;
      made.resize(static_cast<size_t>(std::max<ssize_t>(0, reader.Read(&made[0], made.size(), 0))));
      EXPECT_EQ(wanted.size(), vm.disks[d].sizeBytes) << name;
      EXPECT_TRUE(wanted == made) << name << " disk " << d;
    }
  }
}

// A VM's description is found by its name or its GUID (any case) through the GUID's own entry: a GUID
// that changed no longer finds it, and a lab whose entries are missing gets them back from create.
TEST(LabHypervisor, VMsAreFoundByNameOrThroughTheirGuidsEntry) {
  testsupport::TestLab lab;
  lab::LabPlan plan;
  plan.vms = 3;
  ASSERT_TRUE(lab.Create(plan));
  const std::string guid = "50290000-0000-4000-8000-000000000002";
  lab::VMDescription vm;
  ASSERT_TRUE(lab::FindVM("vcenter", "vm02", vm));
  EXPECT_EQ(guid, vm.guid);
  std::string upper = guid;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_TRUE(lab::FindVM("vcenter", upper, vm));
  EXPECT_EQ("vm02", vm.name);
  EXPECT_FALSE(lab::FindVM("vcenter", "vm04", vm));
  EXPECT_FALSE(lab::FindVM("vcenter", "", vm));

  std::string error;
  vm.guid = "50290000-0000-4000-8000-0000000000ff";
  ASSERT_TRUE(lab::WriteVMDescription("vcenter", vm, error)) << error;
  EXPECT_FALSE(lab::FindVM("vcenter", guid, vm)) << "the old GUID's entry names a VM of another GUID now";
  ASSERT_TRUE(lab::FindVM("vcenter", "50290000-0000-4000-8000-0000000000FF", vm));

  const std::string entry = lab::ServerDir("vcenter") + "/vms/50290000-0000-4000-8000-000000000001.guid";
  ASSERT_EQ(0, unlink(entry.c_str()));
  EXPECT_FALSE(lab::FindVM("vcenter", "50290000-0000-4000-8000-000000000001", vm));
  ASSERT_TRUE(lab.Create(plan));
  EXPECT_TRUE(lab::FindVM("vcenter", "50290000-0000-4000-8000-000000000001", vm));
}

// The disk count at its limits, and against the disk entries it counts: a description whose count is
// missing or disagrees with them, or that says nothing at all, does not read, with its reason.
TEST(LabHypervisor, DiskCountAtItsLimit) {
  const auto entries = [](int64_t first, int64_t end) {
    std::string text;
    for (int64_t i = first; i < end; ++i) {
      const std::string disk = "disk" + std::to_string(i) + ".";
      text += disk + "file=d" + std::to_string(i) + ".img\n" + disk + "sizeBytes=512\n" + disk + "type=raw\n";
    }
    return text;
  };
  const std::string most = std::to_string(lab::kMaxVMDisks);
  struct Case {
    const char* name;
    std::string text;
    int64_t disks;  // -1: does not read
    std::string reason;
  } cases[] = {
      {"the most disks", "diskCount=" + most + "\n" + entries(0, lab::kMaxVMDisks), lab::kMaxVMDisks, ""},
      {"one disk more than the most", "diskCount=" + std::to_string(lab::kMaxVMDisks + 1) + "\n" +
       entries(0, lab::kMaxVMDisks + 1), -1, "value of diskCount [4097] is not a number from 0 to 4096"},
      {"as many as its entries", "diskCount=2\n" + entries(0, 2), 2, ""},
      {"one more than its entries", "diskCount=3\n" + entries(0, 2), -1,
       "value of diskCount [3] disagrees with its disk entries: disk2 has none"},
      {"one fewer than its entries", "diskCount=1\n" + entries(0, 2), -1,
       "value of diskCount [1] disagrees with its disk entries: it has entries of disk1"},
      {"missing", "name=vm01\n" + entries(0, 2), -1, "diskCount is missing beside entries of disk0"},
      {"missing, as its value", "diskCount=\n" + entries(0, 1), -1, "diskCount is missing beside entries of disk0"},
      {"missing, and no disk entry", "name=vm01\n", -1, "diskCount is missing"},
      {"0 with an entry", "diskCount=0\n" + entries(0, 1), -1,
       "value of diskCount [0] disagrees with its disk entries: it has entries of disk0"},
      {"0 and no disk entry", "diskCount=0\nname=vm01\n", 0, ""},
      {"as many as its entries, one of them out of turn", "diskCount=2\n" + entries(0, 1) + entries(2, 3), -1,
       "value of diskCount [2] disagrees with its disk entries: it has entries of disk2"},
      {"an entry not written as the number", "diskCount=2\n" + entries(0, 2) + "disk01.type=raw\n", -1,
       "value of diskCount [2] disagrees with its disk entries: it has entries of disk01"},
      {"an empty file", "", -1, "it is empty (no key=value line)"},
      {"a file of blanks and newlines", " \n\n\t\n  ", -1, "it is empty (no key=value line)"},
      {"a file of a comment", "# vm01\n", -1, "it is empty (no key=value line)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    lab::VMDescription vm;
    std::string error;
    ASSERT_EQ(c.disks >= 0, lab::ParseVMDescription(c.text, vm, error)) << error;
    if (c.disks < 0) {
      EXPECT_EQ(c.reason, error);
      continue;
    }
    EXPECT_EQ(static_cast<size_t>(c.disks), vm.disks.size());
    lab::VMDescription again;
    ASSERT_TRUE(lab::ParseVMDescription(lab::FormatVMDescription(vm), again, error)) << error;
    EXPECT_EQ(vm.disks.size(), again.disks.size());
  }
}

// The backup a stub deleted a disk on is kept with the disk; a description from before stubs kept it
// reads as a disk without one, and a job number out of range is refused.
TEST(LabHypervisor, AStubsBackupOfADiskReadsBackAndOlderDescriptionsStillRead) {
  const std::string disk = "diskCount=1\ndisk0.file=f.img\ndisk0.sizeBytes=512\ndisk0.deleted=1\n";
  struct Case {
    const char* name;
    std::string keys;
    bool reads;
    int64_t job;
    const char* changeId;
  } cases[] = {
      {"an older description", "", true, 0, ""},
      {"the backup of job 1002", "disk0.stubJob=1002\ndisk0.stubChangeId=c-7\n", true, 1002, "c-7"},
      {"the largest job", "disk0.stubJob=" + std::to_string(INT64_MAX) + "\n", true, INT64_MAX, ""},
      {"a job below 0", "disk0.stubJob=-1\n", false, 0, ""},
      {"a job that is no number", "disk0.stubJob=soon\n", false, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    lab::VMDescription vm;
    std::string error;
    ASSERT_EQ(c.reads, lab::ParseVMDescription(disk + c.keys, vm, error)) << error;
    if (!c.reads) continue;
    EXPECT_EQ(c.job, vm.disks[0].stubJob);
    EXPECT_EQ(c.changeId, vm.disks[0].stubChangeId);
    lab::VMDescription again;
    ASSERT_TRUE(lab::ParseVMDescription(lab::FormatVMDescription(vm), again, error)) << error;
    EXPECT_EQ(c.job, again.disks[0].stubJob);
    EXPECT_EQ(c.changeId, again.disks[0].stubChangeId);
  }
}

}  // namespace
