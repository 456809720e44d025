// True-up after an incremental: the extents the index declares missing or corrupt go again, each as
// an item of its own, in a second archive file of the VM, read from this job's snapshot; the chain
// still restores byte for byte. A failure on the way leaves that archive file closed and no disk
// stream reserved, and the VM says why.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/index/ExtentNameConverter.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabMissingExtents.h"
#include "platform/os/CPxCRC32.h"
#include "records/messages/JobManagerMessages.h"
#include "support/DataPathTestSupport.h"
#include "support/LabWait.h"
#include "support/TestLab.h"

namespace {

using datapathtest::Job;

const std::string kDisk0 = "scsi0-0-vm01_0.img";
const std::string kDisk1 = "scsi0-1-vm01_1.img";
constexpr uint64_t kExtentBytes = 64 * 1024;  // nExtentSize 128: 64 extents on the 4 MiB disk 0

class NamesWorker : public QuarnWorker {
 public:
  using QuarnWorker::ParseMissingExtentName;
};

// Each listed name either gives its extent number or is skipped whole: a number that does not parse
// in full, or does not fit 64 bits, names no extent.
TEST(TrueUpExtentNames, ANameGivesItsNumberOnlyWhenItParsesInFull) {
  struct Case {
    std::string name;
    bool fixed;
    bool parses;
    uint64_t number;
  };
  const Case cases[] = {
      {"Extent12", false, true, 12},
      {"Extent0", false, true, 0},
      {"\\guid\\disk\\Extent7", false, true, 7},
      {"OldExtent3Extent9", false, true, 9},  // the last "Extent" counts
      {"Extent18446744073709551615", false, true, UINT64_MAX},
      {"Extent18446744073709551616", false, false, 0},  // one past 64 bits
      {"Extent", false, false, 0},
      {"Extent12a", false, false, 0},
      {"Extent-1", false, false, 0},
      {"Extent 5", false, false, 0},
      {"Block12", false, false, 0},
      {"", false, false, 0},
      {ExtentNameConverter::GetFilePath(12), true, true, 12},
      {"\\guid\\disk\\" + ExtentNameConverter::GetFilePath(4000), true, true, 4000},
      {ExtentNameConverter::GetFilePath(12).substr(1), true, false, 0},  // 12 digits
      {ExtentNameConverter::GetFilePath(12) + "0", true, false, 0},      // 14 digits
      {"Extent12", true, false, 0},
  };
  for (const Case& test : cases) {
    uint64_t number = 77;
    EXPECT_EQ(test.parses, NamesWorker::ParseMissingExtentName(test.name, test.fixed, number)) << test.name;
    if (test.parses) { EXPECT_EQ(test.number, number) << test.name; }
  }
}

// The extent items of a disk in one archive: extent number -> the item.
std::map<uint64_t, const archive::Item*> ExtentItems(const archive::ArchiveContents& contents, const std::string& disk) {
  std::map<uint64_t, const archive::Item*> items;
  const std::string prefix = std::string("\\") + datapathtest::kVMGuid + "\\" + disk + "\\";
  for (const archive::Item& item : contents.items) {
    uint64_t number = 0;
    if (item.kind == archive::ItemKind::kExtent && item.name.compare(0, prefix.size(), prefix) == 0 &&
        archive::ParseExtentNumber(item.name, number))
      items[number] = &item;
  }
  return items;
}

// The archives of a job in the order they were created.
std::vector<archive::ArchiveContents> ArchivesOf(int64_t jobId) {
  std::vector<archive::ArchiveContents> archives;
  for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(jobId)) {
    archive::ArchiveContents contents;
    archive::Problem problem;
    EXPECT_TRUE(archive::ReadArchive(location.path, contents, problem)) << problem.Describe();
    archives.push_back(contents);
  }
  std::sort(archives.begin(), archives.end(), [](const archive::ArchiveContents& a, const archive::ArchiveContents& b) {
    return a.archiveFileId < b.archiveFileId;
  });
  return archives;
}

class TrueUpTest : public ::testing::Test {
 protected:
  ~TrueUpTest() override { QuarnRegistry::TEST_Unload(); }

  // A lab of vm01 with `disks` disks in `lab`, backed up in full by job 3001 with 64 KiB extents; the
  // names job 3001 gave the extents of disk 0.
  void FullBackupIn(testsupport::TestLab& lab, int disks, bool indexingV2) {
    fullNames_.clear();
    datapathtest::MakeLab(lab, disks, indexingV2);
    lab.Setting("VirtualServer", "nExtentSize", "128");
    QuarnRegistry::TEST_Unload();
    Job full(3001, 1, 1);
    ASSERT_EQ(0, full.Run());
    for (const archive::ArchiveContents& contents : ArchivesOf(3001))
      for (const auto& item : ExtentItems(contents, kDisk0)) fullNames_[item.first] = LastPart(item.second->name);
    ASSERT_GT(fullNames_.size(), 12u);
  }
  void FullBackup() { FullBackupIn(lab_, 2, false); }
  // A lab of vm01 with one disk in `lab`, backed up in full, whose index lacks extents 3, 7 and 12.
  void FullBackupLackingThreeExtentsIn(testsupport::TestLab& lab) {
    FullBackupIn(lab, 1, false);
    std::string error;
    ASSERT_TRUE(lab::DeclareMissingExtentNames("1", 3001, datapathtest::kVMGuid, kDisk0,
                                               {fullNames_.at(3), fullNames_.at(7), fullNames_.at(12)}, error))
        << error;
  }
  static std::string LastPart(const std::string& name) { return name.substr(name.rfind('\\') + 1); }
  // Declares the extents of the disk missing in job 3001's index, by the names job 3001 gave them.
  void Declare(const std::string& disk, const std::vector<uint64_t>& extents, std::vector<std::string> extra = {}) {
    for (uint64_t extent : extents) extra.insert(extra.begin(), fullNames_.at(extent));
    std::string error;
    ASSERT_TRUE(lab::DeclareMissingExtentNames("1", 3001, datapathtest::kVMGuid, disk, extra, error)) << error;
  }
  // The log lines written since the last call.
  std::string NewLog() {
    const std::string log = lab_.Log("coordinator");
    const std::string fresh = log.substr(std::min(logSeen_, log.size()));
    logSeen_ = log.size();
    return fresh;
  }
  std::string FailureText(int64_t jobId) {
    JobManager::VMUpdateInfo record;
    EXPECT_TRUE(vsJobMgr::ReadVMStatus(jobId, datapathtest::kVMGuid, record));
    return record.getstring(JobManager::VMUpdateInfo::F_failureText);
  }
  // The bytes of the extent as the disk holds them now.
  static std::string DiskBytes(int disk, uint64_t extent) {
    const std::string bytes = testsupport::ReadDisk(datapathtest::ImageOf(disk));
    return bytes.substr(static_cast<size_t>(extent * kExtentBytes), static_cast<size_t>(kExtentBytes));
  }

  testsupport::TestLab lab_{"coordinator"};
  std::map<uint64_t, std::string> fullNames_;
  size_t logSeen_ = 0;
};

// The index lacks extents 3, 7 and 12 of disk 0; extent 7 has changed since. The incremental sends
// what changed in its own archive file, then a second one holds exactly those three extents, with
// the bytes of this job's snapshot, each a whole item with its checksum; the chain restores; every
// disk stream reserved was released.
TEST_F(TrueUpTest, TheExtentsTheIndexLacksGoAgainInASecondArchiveFileAndTheChainRestores) {
  FullBackup();
  Declare(kDisk0, {3, 7, 12});
  std::string id, error;
  ASSERT_TRUE(lab::WriteDiskRanges(datapathtest::ImageOf(0), {{7 * kExtentBytes + 100, 10}}, false, 0, id, error))
      << error;
  NewLog();
  Job incremental(3002, 2, 1);
  ASSERT_EQ(0, incremental.Run());

  const std::vector<archive::ArchiveContents> archives = ArchivesOf(3002);
  ASSERT_EQ(2u, archives.size());
  EXPECT_EQ(std::set<uint64_t>{7}, [&] {
    std::set<uint64_t> sent;
    for (const auto& item : ExtentItems(archives[0], kDisk0))
      if (item.second->dataBytes > 0) sent.insert(item.first);
    return sent;
  }()) << "the incremental itself sends only the changed extent";
  const archive::ArchiveContents& trueUp = archives[1];
  const auto items = ExtentItems(trueUp, kDisk0);
  ASSERT_EQ((std::vector<uint64_t>{3, 7, 12}), [&] {
    std::vector<uint64_t> numbers;
    for (const auto& item : items) numbers.push_back(item.first);
    return numbers;
  }());
  EXPECT_EQ(3u, trueUp.items.size()) << "nothing but the three extents";
  for (const auto& item : items) {
    EXPECT_TRUE(item.second->ended && item.second->success) << item.first;
    EXPECT_EQ(std::string("\\") + datapathtest::kVMGuid + "\\" + kDisk0 + "\\" + fullNames_.at(item.first),
              item.second->name);
    const std::string data = archivetest::ItemBytes(trueUp, *item.second);
    EXPECT_EQ(DiskBytes(0, item.first), data) << "extent " << item.first;
    CPxCRC32 crc;
    crc.Reset();
    crc.UpdateCRC32(data.data(), data.size());
    EXPECT_EQ(crc.GetCRC32(), item.second->crc) << item.first;
  }

  std::map<std::string, std::string> restored;
  std::vector<int64_t> chain;
  ASSERT_TRUE(datapathtest::Restore(3002, restored, chain, error)) << error;
  EXPECT_EQ((std::vector<int64_t>{3001, 3002}), chain);
  for (const auto& mounted : datapathtest::Mounted(3002)) EXPECT_EQ(mounted.second, restored[mounted.first]);

  EXPECT_EQ(0, lab::DiskStreamsHeld(3002));
  const std::vector<std::string> calls = lab::ReadDiskStreamCalls(3002);
  EXPECT_EQ(3u, calls.size() / 2) << "one per disk and one for the true-up";
  const std::string log = NewLog();
  EXPECT_NE(std::string::npos, log.find("Backing up 3 missing extents for disk")) << log;
  EXPECT_NE(std::string::npos, log.find("TrueUp done for disk [vm01_0.img], number of extents backed up [3]")) << log;
  EXPECT_EQ("", FailureText(3002));
}

// When there is nothing to true up, or true-up does not apply, the job writes one archive file for
// the VM and says why in its log; a full job does not look for missing extents at all.
TEST_F(TrueUpTest, WithoutADeclarationOrForAFullJobOrIndexingV2ThereIsNoSecondArchiveFile) {
  struct Case {
    const char* name;
    int level;
    bool indexingV2;
    bool declare;
    bool enabled;
    const char* line;  // nullptr: no true-up line at all
  };
  const Case cases[] = {
      {"nothing declared", 2, false, false, true, "True-Up is not required"},
      {"a full job", 1, false, true, true, nullptr},
      {"indexing V2", 2, true, true, true, "True-Up is not supported for IndexingV2"},
      {"turned off", 2, false, true, false, "True-Up is not enabled"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    testsupport::TestLab caseLab{"coordinator"};
    FullBackupIn(caseLab, 1, test.indexingV2);
    if (!test.enabled) caseLab.Setting("VirtualServer", "bEnableTrueUp", "0");
    QuarnRegistry::TEST_Unload();
    if (test.declare) {
      std::string error;
      ASSERT_TRUE(lab::DeclareMissingExtentNames("1", 3001, datapathtest::kVMGuid, kDisk0, {"Extent3"}, error)) << error;
    }
    const std::string before = caseLab.Log("coordinator");
    Job next(3002, test.level, 1);
    ASSERT_EQ(0, next.Run());
    const std::string log = caseLab.Log("coordinator").substr(before.size());
    EXPECT_EQ(1u, ArchivesOf(3002).size());
    if (test.line != nullptr) {
      EXPECT_NE(std::string::npos, log.find(test.line)) << log;
    } else {
      EXPECT_EQ(std::string::npos, log.find("True-Up")) << log;
    }
    EXPECT_EQ(0, lab::DiskStreamsHeld(3002));
    QuarnRegistry::TEST_Unload();
  }
}

// What the list names decides what goes: a name that does not parse is skipped and the others of the
// disk still go; a disk with an empty list is neither trued up nor reported; a disk the VM no longer
// backs up makes the VM fail after the others were sent, and says which.
TEST_F(TrueUpTest, EachListedExtentThatNamesOneGoesAndADiskTheVMHasNoLongerFailsIt) {
  struct Case {
    const char* name;
    std::vector<std::string> junk;     // names added to disk 0's list
    bool unknownDisk;                  // a declaration for a disk the VM does not have
    bool emptyDisk1;                   // disk 1 declared with an empty list
    int result;
    std::vector<uint64_t> sent;
  };
  const Case cases[] = {
      {"names that do not parse", {"Extent12a", "NoNumberHere", "Extent18446744073709551616"}, false, false, 0, {3, 7}},
      {"a disk with an empty list", {}, false, true, 0, {3, 7}},
      {"a disk the VM does not have", {}, true, false, 1, {3, 7}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    testsupport::TestLab caseLab{"coordinator"};
    FullBackupIn(caseLab, 2, false);
    std::vector<std::string> names = {fullNames_.at(3)};
    names.insert(names.end(), test.junk.begin(), test.junk.end());
    names.push_back(fullNames_.at(7));
    std::string error;
    ASSERT_TRUE(lab::DeclareMissingExtentNames("1", 3001, datapathtest::kVMGuid, kDisk0, names, error)) << error;
    if (test.unknownDisk) {
      ASSERT_TRUE(lab::DeclareMissingExtentNames("1", 3001, datapathtest::kVMGuid, "scsi0-9-gone.img", {"Extent1"}, error));
    }
    if (test.emptyDisk1) { ASSERT_TRUE(lab::DeclareMissingExtentNames("1", 3001, datapathtest::kVMGuid, kDisk1, {}, error)); }
    const std::string before = caseLab.Log("coordinator");
    Job incremental(3002, 2, 1);
    EXPECT_EQ(test.result, incremental.Run());
    const std::string log = caseLab.Log("coordinator").substr(before.size());

    const std::vector<archive::ArchiveContents> archives = ArchivesOf(3002);
    ASSERT_EQ(2u, archives.size());
    std::vector<uint64_t> sent;
    for (const auto& item : ExtentItems(archives[1], kDisk0)) {
      sent.push_back(item.first);
      EXPECT_TRUE(item.second->ended && item.second->success);
      EXPECT_EQ(DiskBytes(0, item.first), archivetest::ItemBytes(archives[1], *item.second));
    }
    EXPECT_EQ(test.sent, sent);
    EXPECT_TRUE(ExtentItems(archives[1], kDisk1).empty());
    for (const std::string& junk : test.junk)
      EXPECT_NE(std::string::npos, log.find("Failed to parse extent [" + junk + "]")) << log;
    if (test.emptyDisk1) {
      EXPECT_EQ(std::string::npos, log.find("missing extents for disk [vm01_1.img]")) << log;
      EXPECT_EQ(std::string::npos, log.find("Missing extents were not processed")) << log;
    }
    if (test.unknownDisk) {
      EXPECT_NE(std::string::npos, log.find("Missing extents were not processed for disk [scsi0-9-gone.img]")) << log;
      EXPECT_NE(std::string::npos, FailureText(3002).find("scsi0-9-gone.img")) << FailureText(3002);
    } else {
      EXPECT_EQ("", FailureText(3002));
      std::map<std::string, std::string> restored;
      std::vector<int64_t> chain;
      ASSERT_TRUE(datapathtest::Restore(3002, restored, chain, error)) << error;
      for (const auto& mounted : datapathtest::Mounted(3002)) EXPECT_EQ(mounted.second, restored[mounted.first]);
    }
    EXPECT_EQ(0, lab::DiskStreamsHeld(3002));
    QuarnRegistry::TEST_Unload();
  }
}

// A failure inside the true-up fails the VM with its reason, and on every way out the second archive
// file is closed (the stream holds no open file) and every disk stream reserved is released; what was
// sent whole before the failure stays whole, an extent cut short is ended failed.
TEST_F(TrueUpTest, AFailureOrAQuitLeavesNothingOpenNoDiskStreamReservedAndTheVMSaysWhy) {
  struct Case {
    const char* name;
    const char* op;   // a fault rule added just before the true-up; nullptr: a quit instead
    int64_t after;
    int result;
    std::vector<uint64_t> whole;  // extents sent whole
    int64_t failedExtent;         // the extent item ended failed, -1 none
  };
  const Case cases[] = {
      {"extent data not sent", "archive.write", 4, 31, {3}, 7},
      {"an end of item not sent", "archive.write", 5, 31, {3}, 7},
      {"an extent header not sent", "archive.write", 3, 31, {3}, -1},
      {"an extent not read", "disk.Read", 1, 54, {}, -1},
      {"no disk stream", "vminfo.ReserveDiskStream", 0, 53, {}, -1},
      {"no archive file", "archive.createArchiveFile", 0, 131, {}, -1},
      {"the job stopped", nullptr, 0, 11, {}, -1},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    testsupport::TestLab caseLab{"coordinator"};
    FullBackupLackingThreeExtentsIn(caseLab);
    std::string error;
    Job incremental(3002, 2, 1);
    std::string openAfter = "not run";
    int64_t heldAfter = -1;
    incremental.worker->beforeTrueUp = [&] {
      if (test.op == nullptr) {
        lab::RequestJobQuit(3002);
        return;
      }
      lab::FaultRule rule;
      rule.op = test.op;
      rule.code = 5;
      rule.after = test.after;
      ASSERT_TRUE(lab::AddFaultRule(rule, error)) << error;
    };
    incremental.worker->afterTrueUp = [&](vsArchive* archive) {
      openAfter = archive != nullptr ? archive->GetArchiveFilePath() : std::string("no stream");
      heldAfter = lab::DiskStreamsHeld(3002);
    };
    EXPECT_EQ(test.result, incremental.Run());
    EXPECT_EQ("", openAfter) << "the true-up's archive file is left open";
    EXPECT_EQ(0, heldAfter);
    EXPECT_EQ(0, lab::DiskStreamsHeld(3002));
    if (test.op != nullptr) { EXPECT_NE("", FailureText(3002)) << "the VM must say why"; }

    const std::vector<archive::ArchiveContents> archives = ArchivesOf(3002);
    ASSERT_EQ(test.result == 131 ? 1u : 2u, archives.size());
    std::vector<uint64_t> whole;
    int64_t failed = -1;
    if (archives.size() == 2) {
      for (const auto& item : ExtentItems(archives[1], kDisk0)) {
        if (item.second->ended && item.second->success) {
          whole.push_back(item.first);
          EXPECT_EQ(DiskBytes(0, item.first), archivetest::ItemBytes(archives[1], *item.second));
        } else if (item.second->ended) {
          failed = static_cast<int64_t>(item.first);
        }
      }
    }
    EXPECT_EQ(test.whole, whole);
    EXPECT_EQ(test.failedExtent, failed);
    QuarnRegistry::TEST_Unload();
  }
}

// The second archive file is the only copy of the extents the index lacks: one that cannot be
// committed (its close refused, the sync of the file or of the folder that names it failing) fails
// the VM with its reason and leaves no disk stream reserved. The declaration then stands, and the
// next job sends those extents again and restores byte for byte to the disks as they were before it.
TEST_F(TrueUpTest, ASecondArchiveFileThatCannotBeCommittedFailsTheVMAndTheNextJobSendsItsExtentsAgain) {
  struct Case {
    const char* name;
    const char* op;
    int64_t after;
  };
  const Case cases[] = {
      {"the close refused", "archive.closeArchiveFile", 0},
      {"the file not synced", "archive.fileSync", 0},
      {"its folder not synced", "archive.fileSync", 1},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    testsupport::TestLab caseLab{"coordinator"};
    FullBackupLackingThreeExtentsIn(caseLab);
    std::string error;
    {
      Job incremental(3002, 2, 1);
      incremental.worker->beforeTrueUp = [&] {
        lab::FaultRule rule;
        rule.op = test.op;
        rule.code = 28;
        rule.after = test.after;
        ASSERT_TRUE(lab::AddFaultRule(rule, error)) << error;
      };
      EXPECT_EQ(110, incremental.Run());
      EXPECT_NE(std::string::npos, FailureText(3002).find("their archive file could not be closed")) << FailureText(3002);
      EXPECT_EQ(0, lab::DiskStreamsHeld(3002));
      EXPECT_EQ(1u, ArchivesOf(3002).size()) << "the second archive file is not committed";
      ASSERT_TRUE(lab::ClearFaultTable(error));
    }

    const std::map<std::string, std::string> before = datapathtest::DisksNow();
    Job next(3003, 2, 1);
    ASSERT_EQ(0, next.Run());
    EXPECT_EQ("", FailureText(3003));
    const std::vector<archive::ArchiveContents> archives = ArchivesOf(3003);
    ASSERT_EQ(2u, archives.size());
    std::vector<uint64_t> sent;
    for (const auto& item : ExtentItems(archives[1], kDisk0))
      if (item.second->ended && item.second->success) sent.push_back(item.first);
    EXPECT_EQ((std::vector<uint64_t>{3, 7, 12}), sent);
    std::map<std::string, std::string> restored;
    std::vector<int64_t> chain;
    ASSERT_TRUE(datapathtest::Restore(3003, restored, chain, error)) << error;
    for (const auto& disk : before) EXPECT_EQ(disk.second, restored[disk.first]) << disk.first;
    QuarnRegistry::TEST_Unload();
  }
}

// A stop of the job while a disk's extents go out is seen before the next extent, not only at the
// next disk: the extent being sent is finished whole, no later one goes, and the archive file is
// closed with every disk stream released. The true-up is held at the header of its second extent
// while the stop comes.
TEST_F(TrueUpTest, AStopWhileADisksExtentsAreSentEndsTheTrueUpBeforeTheNextExtent) {
  FullBackupIn(lab_, 1, false);
  std::string error;
  ASSERT_TRUE(lab::DeclareMissingExtentNames("1", 3001, datapathtest::kVMGuid, kDisk0,
                                             {fullNames_.at(3), fullNames_.at(7), fullNames_.at(12), fullNames_.at(20)},
                                             error));
  Job incremental(3002, 2, 1);
  std::string openAfter = "not run";
  incremental.worker->beforeTrueUp = [&] {
    lab::FaultRule hold;
    hold.op = "archive.write";
    hold.after = 3;  // header, data and end of extent 3
    hold.hold = true;
    std::string refused;
    ASSERT_TRUE(lab::AddFaultRule(hold, refused)) << refused;
  };
  incremental.worker->afterTrueUp = [&](vsArchive* archive) {
    openAfter = archive != nullptr ? archive->GetArchiveFilePath() : std::string("no stream");
  };
  auto run = std::async(std::launch::async, [&] { return incremental.Run(); });
  const bool held = testsupport::WaitForLab({lab_.Root()}, [] {
    lab::FaultTable table;
    std::string why;
    return lab::ReadFaultTable(table, why) &&
           std::any_of(table.rules.begin(), table.rules.end(), [](const lab::FaultRule& rule) { return rule.fired > 0; });
  });
  EXPECT_TRUE(held) << "the true-up never reached its second extent";
  EXPECT_TRUE(lab::RequestJobQuit(3002));
  EXPECT_TRUE(lab::ReleaseHeldCalls(error)) << error;  // an early return would leave the job held
  EXPECT_EQ(11, run.get());
  EXPECT_EQ("", openAfter);
  EXPECT_EQ(0, lab::DiskStreamsHeld(3002));

  const std::vector<archive::ArchiveContents> archives = ArchivesOf(3002);
  ASSERT_EQ(2u, archives.size());
  std::vector<uint64_t> whole;
  for (const auto& item : ExtentItems(archives[1], kDisk0)) {
    EXPECT_TRUE(item.second->ended && item.second->success) << item.first;
    whole.push_back(item.first);
  }
  EXPECT_EQ((std::vector<uint64_t>{3, 7}), whole) << "the extents after the stop must not go";
}

// Extents a disk does not have (past its end, as a damaged index or a disk since made smaller would
// name them) cannot fail the VM in this job and every later one: each is skipped with its reason, the
// last extent of each disk and the disks' other listed extents still go, and the VM restores byte for
// byte to its disks as they were before the job. Disk 0 has 64 extents (0 to 63); disk 1, of 3 MiB
// and 512 bytes, 49 (the last one short).
TEST_F(TrueUpTest, AnExtentPastTheEndOfItsDiskIsSkippedAndTheVMIsBackedUp) {
  FullBackup();
  const bool fixedNames = fullNames_.at(3) == ExtentNameConverter::GetFilePath(3);
  const auto name = [&](uint64_t extent) {
    return fixedNames ? ExtentNameConverter::GetFilePath(extent) : "Extent" + std::to_string(extent);
  };
  std::string error;
  ASSERT_TRUE(lab::DeclareMissingExtentNames("1", 3001, datapathtest::kVMGuid, kDisk0,
                                             {name(3), name(63), name(64), name(5000)}, error))
      << error;
  ASSERT_TRUE(lab::DeclareMissingExtentNames("1", 3001, datapathtest::kVMGuid, kDisk1, {name(48), name(49)}, error))
      << error;
  const std::map<std::string, std::string> before = datapathtest::DisksNow();
  NewLog();
  Job incremental(3002, 2, 1);
  ASSERT_EQ(0, incremental.Run());
  EXPECT_EQ("", FailureText(3002));

  const std::vector<archive::ArchiveContents> archives = ArchivesOf(3002);
  ASSERT_EQ(2u, archives.size());
  const auto numbers = [&](const std::string& disk) {
    std::vector<uint64_t> sent;
    for (const auto& item : ExtentItems(archives[1], disk)) {
      EXPECT_TRUE(item.second->ended && item.second->success) << item.first;
      sent.push_back(item.first);
    }
    return sent;
  };
  EXPECT_EQ((std::vector<uint64_t>{3, 63}), numbers(kDisk0));
  EXPECT_EQ((std::vector<uint64_t>{48}), numbers(kDisk1));
  const std::string log = NewLog();
  for (const auto& skipped : {std::make_pair(name(64), "vm01_0.img"), std::make_pair(name(5000), "vm01_0.img"),
                              std::make_pair(name(49), "vm01_1.img")})
    EXPECT_NE(std::string::npos, log.find("Extent [" + skipped.first + "] lies past the end of virtual disk [" +
                                          skipped.second + "]"))
        << skipped.first << "\n" << log;

  std::map<std::string, std::string> restored;
  std::vector<int64_t> chain;
  ASSERT_TRUE(datapathtest::Restore(3002, restored, chain, error)) << error;
  EXPECT_EQ((std::vector<int64_t>{3001, 3002}), chain);
  for (const auto& disk : before) EXPECT_EQ(disk.second, restored[disk.first]) << disk.first;
  EXPECT_EQ(0, lab::DiskStreamsHeld(3002));
}

}  // namespace
