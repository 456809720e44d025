// A VM backed up through the real road and data path, job after job, and every backup reassembled
// from the lab's archives and compared byte for byte (SHA-256) with what its mount copied: zero
// extents, a disk of no whole number of extents, changes found by change id and by checksums, a change
// id the hypervisor no longer knows, filtered sectors, disks in parallel on their own streams, a file
// collection, a disk that fails, and a job stopped mid-way.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <set>
#include <thread>

#include "platform/disk/CFileCollection.h"
#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabJob.h"
#include "platform/os/CPxDirectory.h"
#include "records/messages/JobManagerMessages.h"
#include "support/DataPathTestSupport.h"
#include "support/TestLab.h"
#include "support/VirtualClock.h"

namespace {

using datapathtest::Job;
using Hashes = std::map<std::string, std::string>;

const std::string kDisk0 = "scsi0-0-vm01_0.img";
const std::string kDisk1 = "scsi0-1-vm01_1.img";
constexpr uint64_t kMiB = 1 << 20;

// What a job sent: extents with data, extents sent as holes, unchanged-range records and archives.
struct Sent {
  int dataExtents = 0;
  int holeExtents = 0;
  int pseudoItems = 0;
  int ranges = 0;
  int archives = 0;
  uint64_t dataBytes = 0;
  bool anyFailedItem = false;
};

Sent SentBy(int64_t jobId) {
  Sent sent;
  for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(jobId)) {
    archive::ArchiveContents contents;
    archive::Problem problem;
    EXPECT_TRUE(archive::ReadArchive(location.path, contents, problem)) << problem.Describe();
    ++sent.archives;
    sent.ranges += static_cast<int>(contents.ranges.size());
    for (const archive::Item& item : contents.items) {
      if (item.ended && !item.success) sent.anyFailedItem = true;
      if (item.kind == archive::ItemKind::kPseudo) ++sent.pseudoItems;
      if (item.kind != archive::ItemKind::kExtent) continue;
      if (item.holeBytes > 0) ++sent.holeExtents;
      if (item.dataBytes > 0) ++sent.dataExtents;
      sent.dataBytes += item.dataBytes;
    }
  }
  return sent;
}

class DataPathTest : public ::testing::Test {
 protected:
  void Make(int disks, bool indexingV2) { datapathtest::MakeLab(lab_, disks, indexingV2); }
  ~DataPathTest() override { QuarnRegistry::TEST_Unload(); }

  // Runs the job; its backup must restore to what its mount copied, through the chain given.
  int RunAndVerify(Job& job, const std::vector<int64_t>& chain) {
    const int result = job.Run();
    if (result != 0) return result;
    Hashes restored;
    std::vector<int64_t> jobs;
    std::string error;
    EXPECT_TRUE(datapathtest::Restore(job.id, restored, jobs, error)) << error;
    EXPECT_EQ(chain, jobs);
    for (const auto& mounted : datapathtest::Mounted(job.id)) {
      EXPECT_FALSE(mounted.second.empty());
      EXPECT_EQ(mounted.second, restored[mounted.first]) << "disk " << mounted.first << " of job " << job.id;
    }
    return result;
  }
  void Write(int disk, uint64_t offset, uint64_t bytes) {
    std::string id, error;
    ASSERT_TRUE(lab::WriteDiskRanges(datapathtest::ImageOf(disk), {{offset, bytes}}, false, 0, id, error)) << error;
  }
  void Setting(const std::string& key, const std::string& value) {
    lab_.Setting("VirtualServer", key, value);
    QuarnRegistry::TEST_Unload();
  }

  testsupport::TestLab lab_{"coordinator"};
};

TEST_F(DataPathTest, ChangeIdIncrementalsSendWhatChangedAndAnUnknownChangeIdReadsEverything) {
  Make(2, true);
  {
    Job full(3001, 1);
    ASSERT_EQ(0, RunAndVerify(full, {3001}));
    const Sent sent = SentBy(3001);
    // Disk 0 (4 MiB): data, zeros, data, zeros; disk 1 (3 MiB + 512): data, zeros, data, zeros.
    EXPECT_EQ(4, sent.dataExtents);
    EXPECT_EQ(4, sent.holeExtents);
    EXPECT_EQ(2, sent.archives) << "one stream per disk";
  }
  // Inside an extent of zeros of disk 0, and the short last extent of disk 1.
  Write(0, kMiB + 10, 100);
  Write(1, 3 * kMiB + 500, 12);
  {
    Job incremental(3002, 2);
    ASSERT_EQ(0, RunAndVerify(incremental, {3001, 3002}));
    const Sent sent = SentBy(3002);
    EXPECT_EQ(2, sent.dataExtents);
    EXPECT_EQ(kMiB + 512, sent.dataBytes);
    EXPECT_EQ(0, sent.pseudoItems) << "indexing V2 records no unchanged extent";
  }
  // The hypervisor no longer knows the change id: the disks are read whole and still restore.
  Write(0, 3 * kMiB, 1);
  lab::FaultRule rule;
  rule.op = "vminfo.ValidateChangeId";
  rule.code = 1;
  rule.times = lab::kFaultAlways;
  ASSERT_TRUE(lab_.Fault(rule));
  {
    Job incremental(3003, 2);
    ASSERT_EQ(0, RunAndVerify(incremental, {3001, 3002, 3003}));
    const Sent sent = SentBy(3003);
    EXPECT_EQ(7, sent.dataExtents);
    EXPECT_EQ(1, sent.holeExtents);
    size_t events = 0;
    for (const std::string& line : EvEvent::ReadJobEvents(3003)) events += line.find("0x5B0001CD") != std::string::npos;
    EXPECT_EQ(2u, events) << "one minor event per disk whose change id failed";
    EXPECT_EQ("Failed", incremental.vm.updateInfo.getstring(JobManager::VMUpdateInfo::F_mountResultText));
  }
}

// The hypervisor lost track of the VM's changes: its mount asks for a full backup of an incremental
// job's VM, every disk says so and is read whole, no true-up runs, and the job manager is told it is
// a full backup; it restores byte for byte.
TEST_F(DataPathTest, AMountThatForcesAFullBacksEveryDiskUpWhole) {
  Make(2, true);
  Job full(3051, 1);
  ASSERT_EQ(0, RunAndVerify(full, {3051}));
  Write(0, kMiB + 10, 100);
  lab::FaultRule rule;
  rule.op = "vminfo.ChangeTrackingReset";
  rule.code = 1;
  rule.vm = datapathtest::kVMGuid;
  ASSERT_TRUE(lab_.Fault(rule));
  Job incremental(3052, 2);
  ASSERT_EQ(0, RunAndVerify(incremental, {3051, 3052}));
  const Sent whole = SentBy(3051), forced = SentBy(3052);
  EXPECT_EQ(whole.dataExtents + whole.holeExtents, forced.dataExtents + forced.holeExtents) << "every extent";
  EXPECT_EQ(whole.dataExtents + 1, forced.dataExtents) << "the written extent of zeros now holds data";
  const std::string log = lab_.Log();
  EXPECT_EQ(2u, testsupport::CountOf(log, "because a full backup is forced for VM: [vm01]"));
  EXPECT_EQ(1, incremental.vm.updateInfo.getint64(JobManager::VMUpdateInfo::F_backupLevel));
}

// A disk taken off the VM since the last backup is named deleted in the incremental's archive, so the
// restore of that job no longer holds it; the disk that stays restores byte for byte.
TEST_F(DataPathTest, ADiskTakenOffTheVMIsRecordedDeletedAndNotRestored) {
  Make(2, true);
  Job full(3061, 1);
  ASSERT_EQ(0, RunAndVerify(full, {3061}));
  lab::VMDescription vm;
  ASSERT_TRUE(lab::FindVM(lab::SampleServer(), datapathtest::kVM, vm));
  const std::string removed = lab::LabDiskIndexName(1, vm.disks[1].file);
  vm.disks.pop_back();
  std::string error;
  ASSERT_TRUE(lab::WriteVMDescription(lab::SampleServer(), vm, error)) << error;
  Job incremental(3062, 2);
  ASSERT_EQ(0, RunAndVerify(incremental, {3061, 3062}));
  EXPECT_EQ(1u, testsupport::CountOf(lab_.Log(), "Sending deleted Disk [\\" + std::string(datapathtest::kVMGuid) +
                                                      "\\" + removed + "]"));
  Hashes restored;
  std::vector<int64_t> chain;
  ASSERT_TRUE(datapathtest::Restore(3062, restored, chain, error)) << error;
  EXPECT_EQ(0u, restored.count(removed)) << "the deleted disk comes back";
  EXPECT_EQ(1u, restored.count(lab::LabDiskIndexName(0, vm.disks[0].file)));
  ASSERT_TRUE(datapathtest::Restore(3061, restored, chain, error)) << error;
  EXPECT_EQ(1u, restored.count(removed)) << "the full job still restores it";
}

// Blocks the index lacks (a test setting names them per disk) are read again by an incremental that
// finds nothing else changed: only those extents go out, and the chain still restores.
TEST_F(DataPathTest, MissingBlocksAreReadAgainByTheNextIncremental) {
  Make(2, true);
  Job full(3071, 1);
  ASSERT_EQ(0, RunAndVerify(full, {3071}));
  lab::VMDescription vm;
  ASSERT_TRUE(lab::FindVM(lab::SampleServer(), datapathtest::kVM, vm));
  const std::string disk0 = lab::LabDiskIndexName(0, vm.disks[0].file);
  const std::string disk1 = lab::LabDiskIndexName(1, vm.disks[1].file);
  Setting("sInduceMissingBlocks", disk0 + "=0, 3;" + disk1 + "=2");
  Job incremental(3072, 2);
  ASSERT_EQ(0, RunAndVerify(incremental, {3071, 3072}));
  const Sent sent = SentBy(3072);
  EXPECT_EQ(3, sent.dataExtents + sent.holeExtents) << "extents 0 and 3 of disk 0, 2 of disk 1";
  EXPECT_EQ(0u, testsupport::CountOf(lab_.Log(), "Could not mark missing blocks as changed"));
}

// The per-disk switches of checksums and data: checksums kept along with change ids still send only
// what changed; without checksums and change ids an incremental sends every extent; a run that skips
// the data (a test switch) ends without waiting for stages that get nothing and sends no extent.
TEST_F(DataPathTest, ChecksumAndDataSwitchesChangeWhatAnIncrementalSends) {
  struct Case {
    const char* what;
    std::vector<std::pair<const char*, const char*>> settings;
    int extents;     // data and hole extents the incremental sends
    bool restores;   // the incremental restores byte for byte
    const char* logged;
  } cases[] = {
      {"checksums along with change ids", {{"bEnableCRCWithCBT", "1"}}, 1, true,
       "Backup will perform CRC processing along with CBT as RegKey is set"},
      {"neither checksums nor change ids", {{"nSkipCRCProcessing", "1"}, {"nIgnoreChangeId", "1"}}, 8, true,
       "CRC processing is disabled"},
      {"no data", {{"nSkipDataBackup", "1"}}, 0, false, "SKIPPING THE DATA BACKUP OF THE VM(S)"},
  };
  int64_t id = 3080;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TestLab lab("coordinator");
    datapathtest::MakeLab(lab, 2, true);
    Job full(++id, 1);
    ASSERT_EQ(0, RunAndVerify(full, {id}));
    for (const auto& setting : c.settings) Setting(setting.first, setting.second);
    Write(0, kMiB + 10, 100);
    Job incremental(++id, 2);
    if (c.restores) {
      ASSERT_EQ(0, RunAndVerify(incremental, {id - 1, id}));
    } else {
      EXPECT_EQ(0, incremental.Run());
    }
    const Sent sent = SentBy(id);
    EXPECT_EQ(c.extents, sent.dataExtents + sent.holeExtents);
    EXPECT_FALSE(sent.anyFailedItem);
    EXPECT_NE(std::string::npos, lab.Log().find(c.logged));
  }
}

// The reading pool's size comes from the setting, at its limits and one past them: a pool of one
// request still reads every disk, and an out-of-range size is bounded and said.
TEST_F(DataPathTest, TheReadingPoolIsBoundedAndEverySizeRestores) {
  struct Case {
    const char* setting;
    const char* logged;  // the size used
    bool bounded;
  } cases[] = {{"1", "nBkpReqs = [1]", false},      {"0", "nBkpReqs = [1]", true},
               {"1024", "nBkpReqs = [1024]", false}, {"1025", "nBkpReqs = [1024]", true}};
  int64_t id = 3090;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting);
    testsupport::TestLab lab("coordinator");
    datapathtest::MakeLab(lab, 2, true);
    Setting("nQuarnReqsPerVM", c.setting);
    Job full(++id, 1);
    ASSERT_EQ(0, RunAndVerify(full, {id}));
    const std::string log = lab.Log();
    EXPECT_NE(std::string::npos, log.find(c.logged));
    EXPECT_EQ(c.bounded, log.find("nQuarnReqsPerVM [" + std::string(c.setting) + "] is out of range") !=
                             std::string::npos);
  }
}

// On the Microsoft hypervisor change ids go with checksums: an incremental sends what changed, and
// when the hypervisor refuses the last change id the checksums of the last backup still find it; the
// job manager hears that the guest has no tools.
TEST_F(DataPathTest, HyperVIncrementalsUseChangeIdsWithChecksums) {
  struct Case {
    const char* what;
    bool refused;
    int extents;
    const char* logged;
  } cases[] = {{"change id accepted", false, 1, "Backup will use changeId along with CRC"},
               {"change id refused", true, 1, "as previous changeID is empty"}};
  int64_t id = 3110;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TestLab lab("coordinator");
    datapathtest::MakeLab(lab, 2, true);
    std::string error;
    ASSERT_TRUE(lab::SetSubclientValue("1", "instanceType", "102", error)) << error;
    Job full(++id, 1);
    ASSERT_EQ(0, RunAndVerify(full, {id}));
    Write(0, kMiB + 10, 100);
    if (c.refused) {
      lab::FaultRule rule;
      rule.op = "vminfo.ValidateChangeId";
      rule.code = 1;
      rule.times = lab::kFaultAlways;
      ASSERT_TRUE(lab.Fault(rule));
    }
    Job incremental(++id, 2);
    ASSERT_EQ(0, RunAndVerify(incremental, {id - 1, id}));
    const Sent sent = SentBy(id);
    EXPECT_EQ(c.extents, sent.dataExtents + sent.holeExtents);
    EXPECT_NE(std::string::npos, lab.Log().find(c.logged));
    EXPECT_EQ("Not Installed", incremental.vm.updateInfo.getstring(JobManager::VMUpdateInfo::F_toolsVersion));
  }
}

// Without change ids the checksums of each extent find what changed; unchanged extents are recorded
// one by one, or as ranges of at most the configured run.
TEST_F(DataPathTest, ChecksumIncrementalsSendWhatChangedAndRecordTheRest) {
  Make(2, false);
  Setting("nIgnoreChangeId", "1");
  Job full(3101, 1);
  ASSERT_EQ(0, RunAndVerify(full, {3101}));
  Write(0, 2 * kMiB, 1);
  {
    Job incremental(3102, 2);
    ASSERT_EQ(0, RunAndVerify(incremental, {3101, 3102}));
    const Sent sent = SentBy(3102);
    EXPECT_EQ(1, sent.dataExtents);
    EXPECT_EQ(7, sent.pseudoItems) << "each unchanged extent as a header of its own";
  }
  Setting("bSendUnchangedExtentAsRange", "1");
  Setting("bSendUnchangedExtentAsRangeMaxRun", "2");
  Write(1, 0, 1);
  {
    Job incremental(3103, 2);
    ASSERT_EQ(0, RunAndVerify(incremental, {3101, 3102, 3103}));
    const Sent sent = SentBy(3103);
    EXPECT_EQ(1, sent.dataExtents);
    EXPECT_EQ(0, sent.pseudoItems);
    // Disk 0: 0-1, 2-3; disk 1 after its changed extent 0: 1-2, 3.
    EXPECT_EQ(4, sent.ranges);
  }
}

// An incremental rests on the index's record of the VM's last backup. A record changed behind the
// index's back (its check value no longer matches) is no record; one that says the disks were backed
// up with extents of another size than this job reads would mix extent sizes in one restore. Either
// way the incremental is a full backup of the VM, which restores on its own, and the log says why.
TEST_F(DataPathTest, AnIncrementalOnAChangedRecordOrAnotherExtentSizeIsAFull) {
  Make(1, true);
  struct Case {
    const char* name;
    bool reseal;  // the changed record is written again with a check value that matches
    const char* why;
  };
  const Case cases[] = {
      {"a byte of the record changed", false, "is damaged"},
      {"the record sealed again with another extent size", true, "was backed up with extents of [4096] sectors"},
  };
  int64_t id = 3900;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    Job full(++id, 1);
    ASSERT_EQ(0, RunAndVerify(full, {id}));
    const std::string guid = full.appMgr.getSubclientGUID();
    std::string error, text;
    const std::string record = lab::IndexVMDir(guid, datapathtest::kVMGuid, error) + "/" + std::to_string(id) + ".idx";
    ASSERT_TRUE(lab::ReadFile(record, text)) << record;
    const std::string from = "<extentSize>2048</extentSize>", to = "<extentSize>4096</extentSize>";
    ASSERT_NE(std::string::npos, text.find(from));
    text.replace(text.find(from), from.size(), to);
    if (test.reseal) {
      // The entries as changed, sealed as the index seals a record it writes.
      std::vector<std::vector<std::string>> entries;
      std::vector<std::string> fields;
      size_t start = 0;
      const std::string body = text.substr(0, text.rfind("check\t"));
      while (start < body.size()) {
        const size_t end = body.find('\n', start);
        ASSERT_TRUE(lab::ParseIndexEntry(body.substr(start, end - start), fields));
        entries.push_back(fields);
        start = end + 1;
      }
      ASSERT_TRUE(lab::WriteIndexVMEntries(guid, datapathtest::kVMGuid, id, entries, error)) << error;
    } else {
      ASSERT_TRUE(lab::WriteFileAtomic(record, text));
    }
    Write(0, kMiB + 10, 100);
    Job incremental(++id, 2);
    ASSERT_EQ(0, RunAndVerify(incremental, {id})) << "a full backup, restored on its own";
    EXPECT_EQ(4, SentBy(id).dataExtents + SentBy(id).holeExtents) << "every extent of the disk";
    EXPECT_NE(std::string::npos, lab_.Log().find(test.why));
  }
}

// The last backup's checksums of a disk that cannot be had (its table refused, or the index refusing
// them) make that disk of the incremental a full read, which restores over the chain; the next
// incremental compares with this one's checksums and sends only what changed.
TEST_F(DataPathTest, ARefusedReadOfTheLastChecksumsFallsBackToAFullReadOfTheDisk) {
  struct Case {
    const char* name;
    bool indexingV2;
    const char* op;
    int64_t after;  // the calls let pass first
    const char* why;
  };
  const Case cases[] = {
      {"the previous job's table refused", false, "crctable.initialize", 1, "of the last backup could not be read"},
      {"the index refusing the checksums", true, "index.GetVMDiskExtentsCRC", 0,
       "of the last backup could not be had from the index"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    testsupport::TestLab lab("coordinator");
    datapathtest::MakeLab(lab, 1, test.indexingV2);
    lab.Setting("VirtualServer", "nIgnoreChangeId", "1");
    QuarnRegistry::TEST_Unload();
    Job full(4201, 1);
    ASSERT_EQ(0, RunAndVerify(full, {4201}));
    Write(0, kMiB + 10, 100);
    ASSERT_TRUE(lab.Fault(test.op, 5, "refused", test.after));
    {
      Job incremental(4202, 2);
      ASSERT_EQ(0, RunAndVerify(incremental, {4201, 4202}));
      const Sent sent = SentBy(4202);
      EXPECT_EQ(4, sent.dataExtents + sent.holeExtents) << "every extent of the disk";
      EXPECT_EQ(1u, testsupport::CountOf(lab.Log(), test.why));
    }
    std::string error;
    ASSERT_TRUE(lab::ClearFaultTable(error));
    Write(0, 3 * kMiB, 1);
    Job next(4203, 2);
    ASSERT_EQ(0, RunAndVerify(next, {4201, 4202, 4203}));
    EXPECT_EQ(1, SentBy(4203).dataExtents) << "the changed extent alone";
  }
}

// The place of a disk in its chain that the job's archive records with the disk's header.
archive::ChainPlace RecordedPlace(int64_t jobId, const std::string& disk) {
  for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(jobId)) {
    archive::ArchiveContents contents;
    archive::Problem problem;
    EXPECT_TRUE(archive::ReadArchive(location.path, contents, problem)) << problem.Describe();
    for (const archive::Item& item : contents.items)
      if (item.kind == archive::ItemKind::kDisk && item.name == std::string("\\") + datapathtest::kVMGuid + "\\" + disk)
        return archive::ReadChainPlace(contents.path, item.metadata);
  }
  ADD_FAILURE() << "job " << jobId << " holds no header of disk " << disk;
  return archive::ChainPlace();
}

// Each backup of a disk records the backup it builds on: a full none (0), an incremental the job of
// the disk's last backup in the index and the change id that backup read it at, or -1 when that
// backup's record names no job (an older writer's). A restore follows the link and checks it: when
// the index's record of the base says it read the disk at another change id than the base's own
// archive (one generation on, so the changes of that generation were never sent), the disk is not
// restored and the link is named; otherwise every disk restores to its bytes before the job.
TEST_F(DataPathTest, EachIncrementalRecordsTheBackupItBuildsOnAndARestoreChecksTheLink) {
  enum Base { kAsIndexed, kRecordNamesNoJob, kRecordAtAnotherChangeId };
  struct Case {
    const char* name;
    Base base;
  } cases[] = {
      {"on the full as the index has it", kAsIndexed},
      {"on a record that names no job", kRecordNamesNoJob},
      {"on a record of another change id than the full read", kRecordAtAnotherChangeId},
  };
  int64_t id = 4400;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    testsupport::TestLab lab("coordinator");
    datapathtest::MakeLab(lab, 1, true);
    const std::string image = datapathtest::ImageOf(0);
    const std::string readByFull = lab::ImageChangeId(image);
    const int64_t fullId = ++id;
    Job full(fullId, 1);
    ASSERT_EQ(0, RunAndVerify(full, {fullId}));
    const archive::ChainPlace fullPlace = RecordedPlace(fullId, kDisk0);
    EXPECT_TRUE(fullPlace.recorded);
    EXPECT_EQ(0, fullPlace.baseJob) << "a full builds on nothing";
    EXPECT_EQ("", fullPlace.baseChangeId);
    EXPECT_EQ(readByFull, fullPlace.changeId);

    std::string oneOn, later, error;
    ASSERT_TRUE(lab::WriteDiskRanges(image, {{kMiB + 10, 100}}, false, 0, oneOn, error)) << error;
    const std::string guid = full.appMgr.getSubclientGUID();
    if (test.base != kAsIndexed) {
      std::vector<std::vector<std::string>> entries;
      ASSERT_TRUE(lab::ReadIndexVMEntries(guid, datapathtest::kVMGuid, fullId, entries, error)) << error;
      int changed = 0;
      for (std::vector<std::string>& entry : entries) {
        if (entry.size() != 4 || entry[0] != "meta" || entry[1] != "disk" || entry[2] != kDisk0) continue;
        std::string& xml = entry[3];
        if (test.base == kRecordNamesNoJob) {
          for (const char* field : {"diskJobId", "baseJobId", "baseChangeId"}) {
            const size_t begin = xml.find(std::string("<") + field + ">");
            const size_t end = xml.find(std::string("</") + field + ">");
            if (begin != std::string::npos && end != std::string::npos)
              xml.erase(begin, end + std::strlen(field) + 3 - begin);
          }
          changed += xml.find("JobId>") == std::string::npos;
        } else {
          const std::string from = "<changeId>" + readByFull + "</changeId>";
          ASSERT_NE(std::string::npos, xml.find(from)) << xml;
          xml.replace(xml.find(from), from.size(), "<changeId>" + oneOn + "</changeId>");
          ++changed;
        }
      }
      ASSERT_EQ(1, changed);
      ASSERT_TRUE(lab::WriteIndexVMEntries(guid, datapathtest::kVMGuid, fullId, entries, error)) << error;
    }
    ASSERT_TRUE(lab::WriteDiskRanges(image, {{3 * kMiB, 1}}, false, 0, later, error)) << error;
    const Hashes before = datapathtest::DisksNow();
    const int64_t incrementalId = ++id;
    Job incremental(incrementalId, 2);
    ASSERT_EQ(0, incremental.Run());

    const archive::ChainPlace place = RecordedPlace(incrementalId, kDisk0);
    EXPECT_TRUE(place.recorded);
    EXPECT_EQ(test.base == kRecordNamesNoJob ? -1 : fullId, place.baseJob);
    EXPECT_EQ(test.base == kRecordAtAnotherChangeId ? oneOn : readByFull, place.baseChangeId);
    EXPECT_EQ(later, place.changeId);

    archive::VMBackup backup;
    std::vector<std::string> notes;
    ASSERT_TRUE(archive::ReassembleVM(archivetest::LabArchivesOf(datapathtest::kVMGuid, incrementalId),
                                      datapathtest::kVMGuid, incrementalId, backup, notes, error))
        << error;
    const std::string name = std::string("\\") + datapathtest::kVMGuid + "\\" + kDisk0;
    if (test.base == kRecordAtAnotherChangeId) {
      ASSERT_EQ(1u, backup.brokenDisks.count(name)) << "restored around a link that does not hold";
      EXPECT_NE(std::string::npos,
                backup.brokenDisks[name].find("builds on job " + std::to_string(fullId) + " at change id [" + oneOn +
                                              "], but that backup read it at [" + readByFull + "]"))
          << backup.brokenDisks[name];
      EXPECT_EQ(0u, backup.disks.count(name));
      // vm restore, the disk taken off the VM first, refuses it the same way and writes nothing back.
      ASSERT_TRUE(lab::UpdateVMDescription(lab::SampleServer(), datapathtest::kVM,
                                           [](lab::VMDescription& vm, std::string& why) {
                                             return lab::DeleteVMDiskImage(lab::SampleServer(), vm, 0, why);
                                           },
                                           error))
          << error;
      std::vector<std::string> restored;
      EXPECT_FALSE(lab::RestoreVMDisks(lab::SampleServer(), datapathtest::kVM, incrementalId, restored, error));
      EXPECT_NE(std::string::npos, error.find("disk " + kDisk0 + " of VM [vm01] is not restored")) << error;
      EXPECT_NE(std::string::npos, error.find("at change id [" + oneOn + "]")) << error;
      EXPECT_NE(0, access(image.c_str(), F_OK)) << "a refused restore wrote the disk back";
      continue;
    }
    ASSERT_EQ(1u, backup.disks.count(name));
    EXPECT_EQ((std::vector<int64_t>{fullId, incrementalId}), backup.disks[name].chain);
    std::string sha;
    ASSERT_TRUE(archive::HashRestoredDisk(backup.disks[name], sha, error)) << error;
    EXPECT_EQ(before.at(kDisk0), sha) << "the disk does not restore to its bytes before the job";
  }
}

// An incremental builds on the change id the index's last backup of a disk ended at: a change-id file
// that names another (one generation on, as a file of a backup the index never learned would, or
// another disk's) would leave out what changed in between. The disk is read whole, with a warning, and
// the VM restores byte for byte to the disk as it was before the job.
TEST_F(DataPathTest, AChangeIdFileTheIndexDoesNotKnowMakesTheDiskAFullRead) {
  struct Case {
    const char* name;
    bool otherDisk;  // the id of the other disk instead of this one's next generation
  };
  const Case cases[] = {{"one generation on", false}, {"another disk's", true}};
  int64_t id = 4300;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    testsupport::TestLab lab("coordinator");
    datapathtest::MakeLab(lab, 2, false);
    Job full(++id, 1);
    ASSERT_EQ(0, full.Run());
    const std::string guid = full.appMgr.getSubclientGUID();
    Write(0, kMiB + 10, 100);
    const std::string named = lab::ImageChangeId(datapathtest::ImageOf(test.otherDisk ? 1 : 0));
    std::string error;
    const std::string folder = lab::IndexVMJobDir(guid, datapathtest::kVMGuid, id, error);
    int replaced = 0;
    std::vector<std::string> files;
    ASSERT_FALSE(CPxDirectory::List(folder, files).IsError()) << folder;
    for (const std::string& file : files) {
      if (file.find("CHGID") == std::string::npos || file.find(kDisk0) == std::string::npos) continue;
      ASSERT_TRUE(lab::WriteFileAtomic(folder + "/" + file, named));
      ++replaced;
    }
    ASSERT_GT(replaced, 0) << "no change-id file of disk 0 in " << folder;
    const Hashes before = datapathtest::DisksNow();
    Job incremental(++id, 2);
    ASSERT_EQ(0, incremental.Run());
    Hashes restored;
    std::vector<int64_t> chain;
    ASSERT_TRUE(datapathtest::Restore(id, restored, chain, error)) << error;
    EXPECT_EQ((std::vector<int64_t>{id - 1, id}), chain);
    for (const auto& disk : before) EXPECT_EQ(disk.second, restored[disk.first]) << disk.first;
    const std::string log = lab.Log();
    EXPECT_EQ(1u, testsupport::CountOf(log, "WARNING change id [" + named + "] of disk [vm01_0.img] is not the one")) << log;
    EXPECT_EQ(std::string::npos, log.find("of disk [vm01_1.img] is not the one")) << "disk 1's own id is the index's";
    EXPECT_EQ(4, SentBy(id).dataExtents + SentBy(id).holeExtents) << "disk 0 whole, nothing of the unchanged disk 1";
  }
}

TEST_F(DataPathTest, FilteredSectorsAreBackedUpAsZeros) {
  Make(1, true);
  Job job(3201, 1, 1);
  job.worker->afterPreBackup = [](quarnBackupArgs& args) {
    args.mSectorsNotToBackup2.emplace(0, VMInfoStructs::SectorRange(3, 3));
    args.mSectorsNotToBackup2.emplace(0, VMInfoStructs::SectorRange(2047, 2050));
  };
  std::ifstream in(datapathtest::ImageOf(0), std::ios::binary);
  std::string expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (uint64_t sector : {3, 2047, 2048, 2049, 2050}) std::fill_n(&expected[sector * 512], 512, '\0');
  CPxSha256 sha;
  sha.Update(expected.data(), expected.size());
  ASSERT_EQ(0, job.Run());
  Hashes restored;
  std::vector<int64_t> chain;
  std::string error;
  ASSERT_TRUE(datapathtest::Restore(3201, restored, chain, error)) << error;
  EXPECT_EQ(sha.FinalHex(), restored[kDisk0]);
}

// Disks on streams of their own, one after the other with a single stream, and a file collection on
// a stream no disk thread writes; every stream comes back.
TEST_F(DataPathTest, DisksAndACollectionRunOnStreamsOfTheirOwnAndGiveThemBack) {
  Make(2, true);
  lab::VMDescription vm;
  ASSERT_TRUE(lab::FindVM(lab::SampleServer(), datapathtest::kVM, vm));
  const std::string folder = lab::ServerDir(lab::SampleServer()) + "/collections/docs";
  ASSERT_TRUE(lab::MakeDirs(folder + "/sub"));
  std::ofstream(folder + "/a.txt") << std::string(10000, 'a');
  std::ofstream(folder + "/sub/b.txt") << "b";
  std::ofstream(folder + "/empty.txt");
  vm.collections.push_back(lab::VMCollection{"collections/docs", CFileCollection::kFolderCollection});
  std::string error;
  ASSERT_TRUE(lab::WriteVMDescription(lab::SampleServer(), vm, error)) << error;

  struct Case {
    int streams;
    int allow;
    int archives;
  };
  int64_t id = 3300;
  std::vector<int64_t> chain;
  for (const Case& c : {Case{3, 1, 3}, Case{1, 0, 1}}) {
    Setting("nAllowMultiStreamsPerVM", std::to_string(c.allow));
    Job job(++id, 1, c.streams);
    chain = {id};
    ASSERT_EQ(0, RunAndVerify(job, chain)) << c.streams;
    EXPECT_EQ(c.archives, SentBy(id).archives) << c.streams;
    EXPECT_EQ(static_cast<size_t>(c.streams), job.controller->FreeStreams());
    Hashes restored;
    ASSERT_TRUE(datapathtest::Restore(id, restored, chain, error)) << error;
    EXPECT_EQ(datapathtest::Sha256OfFile(folder + "/a.txt"), restored["docs\\a.txt"]);
    EXPECT_EQ(datapathtest::Sha256OfFile(folder + "/sub/b.txt"), restored["docs\\sub/b.txt"]);
    EXPECT_EQ(datapathtest::Sha256OfFile(folder + "/empty.txt"), restored["docs\\empty.txt"]) << "an empty file too";
  }
  // The next job takes the changed file alone and the restore still has both.
  std::ofstream(folder + "/sub/b.txt") << "bb";
  Job incremental(++id, 2, 3);
  ASSERT_EQ(0, RunAndVerify(incremental, {id - 1, id}));
  Hashes restored;
  ASSERT_TRUE(datapathtest::Restore(id, restored, chain, error)) << error;
  EXPECT_EQ(datapathtest::Sha256OfFile(folder + "/a.txt"), restored["docs\\a.txt"]);
  EXPECT_EQ(datapathtest::Sha256OfFile(folder + "/sub/b.txt"), restored["docs\\sub/b.txt"]);
}

// A disk that cannot be read fails the VM with its own code, not the interruption of the disks it
// stops; its items end failed, so no restore takes the job; the cause goes to the job's events and
// every stream comes back.
TEST_F(DataPathTest, AFailingDiskFailsTheVMWithItsCodeAndNoRestoreTakesTheJob) {
  Make(2, true);
  Job full(3401, 1);
  ASSERT_EQ(0, RunAndVerify(full, {3401}));
  for (bool parallel : {true, false}) {
    Setting("nAllowMultiStreamsPerVM", parallel ? "1" : "0");
    lab::FaultRule rule;
    rule.op = "disk.Read";
    rule.disk = kDisk0;
    rule.code = 7;
    rule.text = "bad sector";
    Write(0, 0, 1);
    Write(0, 2 * kMiB, 1);
    ASSERT_TRUE(lab_.Fault(rule));
    const int64_t id = parallel ? 3402 : 3403;
    Job job(id, 2);
    EXPECT_EQ(54, job.Run()) << parallel;
    EXPECT_TRUE(SentBy(id).anyFailedItem) << parallel;
    EXPECT_EQ(2u, job.controller->FreeStreams()) << parallel;
    size_t events = 0;
    for (const std::string& line : EvEvent::ReadJobEvents(id)) events += line.find("0x5B000071") != std::string::npos;
    EXPECT_EQ(1u, events) << parallel;
    Hashes restored;
    std::vector<int64_t> chain;
    std::string error;
    ASSERT_TRUE(datapathtest::Restore(id, restored, chain, error)) << error;
    EXPECT_EQ(std::vector<int64_t>{3401}, chain) << parallel;
    ASSERT_TRUE(lab::ClearFaultTable(error));
  }
}

// The extent numbers of a disk that a job sent with data or as holes, and whether the disk's own item
// (its header, metadata and end) ended failed in any of the job's archives.
struct DiskSent {
  std::set<uint64_t> extents;
  bool diskItemFailed = false;
};

DiskSent DiskSentBy(int64_t jobId, const std::string& disk) {
  DiskSent sent;
  const std::string prefix = std::string("\\") + datapathtest::kVMGuid + "\\" + disk;
  for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(jobId)) {
    archive::ArchiveContents contents;
    archive::Problem problem;
    EXPECT_TRUE(archive::ReadArchive(location.path, contents, problem)) << problem.Describe();
    for (const archive::Item& item : contents.items) {
      if (item.kind == archive::ItemKind::kDisk && item.name == prefix && item.ended && !item.success)
        sent.diskItemFailed = true;
      uint64_t number = 0;
      if (item.kind == archive::ItemKind::kExtent && item.ended && item.success && item.dataBytes + item.holeBytes > 0 &&
          item.name.compare(0, prefix.size() + 1, prefix + "\\") == 0 && archive::ParseExtentNumber(item.name, number))
        sent.extents.insert(number);
    }
  }
  return sent;
}

// A disk that fails part-way through, reading an extent or sending one after an earlier changed
// extent went whole: the disk's item and the VM end failed, the VM says why, and no restore takes
// the job. Nothing of that job counts as backed up, so the next incremental sends both changed
// extents again (an index that kept a checksum of the failed job would skip them) and restores byte
// for byte to the disk as it was before that next job. Checksums find the changes, kept by the job
// (the index cache) or by the index (indexing V2).
TEST_F(DataPathTest, ADiskThatFailsPartWayFailsTheVMAndTheNextIncrementalSendsItsChangesAgain) {
  struct Case {
    const char* what;
    bool indexingV2;
    const char* op;
    int64_t after;
    int result;
  };
  // Disk 0 has extents 0 to 3 of 1 MiB; extents 1 and 3 change. Every extent is read (no change
  // ids), so the third read is extent 2's; the refused record is the data of extent 3, the disk's
  // last, which the reader has read by the time the send fails (before it go the job's own records,
  // extent 1's three and, without indexing V2, a record for each unchanged extent).
  const Case cases[] = {
      {"extent 2 not read", false, "disk.Read", 2, 54},
      {"extent 2 not read, indexing V2", true, "disk.Read", 2, 54},
      {"extent 3 not sent", false, "archive.write", 10, 31},
      {"extent 3 not sent, indexing V2", true, "archive.write", 8, 31},
  };
  int64_t id = 3900;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TestLab lab("coordinator");
    datapathtest::MakeLab(lab, 1, c.indexingV2);
    lab.Setting("VirtualServer", "nIgnoreChangeId", "1");
    QuarnRegistry::TEST_Unload();
    const int64_t full = ++id;
    Job first(full, 1);
    ASSERT_EQ(0, RunAndVerify(first, {full}));
    Write(0, kMiB + 10, 100);
    Write(0, 3 * kMiB + 10, 100);

    lab::FaultRule rule;
    rule.op = c.op;
    rule.code = 7;
    rule.after = c.after;
    if (c.op[0] == 'd') rule.disk = kDisk0;
    ASSERT_TRUE(lab.Fault(rule));
    const int64_t failing = ++id;
    {
      Job job(failing, 2);
      EXPECT_EQ(c.result, job.Run());
      JobManager::VMUpdateInfo status;
      ASSERT_TRUE(vsJobMgr::ReadVMStatus(failing, datapathtest::kVMGuid, status));
      EXPECT_NE("", status.getstring(JobManager::VMUpdateInfo::F_failureText)) << "the VM must say why";
      const DiskSent sent = DiskSentBy(failing, kDisk0);
      EXPECT_TRUE(sent.diskItemFailed) << "a disk cut short must not end its item whole";
      if (c.op[0] == 'a') { EXPECT_EQ(std::set<uint64_t>{1}, sent.extents) << "the failing send is extent 3's"; }
      Hashes restored;
      std::vector<int64_t> chain;
      std::string error;
      ASSERT_TRUE(datapathtest::Restore(failing, restored, chain, error)) << error;
      EXPECT_EQ(std::vector<int64_t>{full}, chain);
      ASSERT_TRUE(lab::ClearFaultTable(error));
    }

    const Hashes before = datapathtest::DisksNow();
    const int64_t next = ++id;
    Job again(next, 2);
    ASSERT_EQ(0, again.Run());
    EXPECT_EQ((std::set<uint64_t>{1, 3}), DiskSentBy(next, kDisk0).extents);
    Hashes restored;
    std::vector<int64_t> chain;
    std::string error;
    ASSERT_TRUE(datapathtest::Restore(next, restored, chain, error)) << error;
    EXPECT_EQ((std::vector<int64_t>{full, next}), chain);
    for (const auto& disk : before) EXPECT_EQ(disk.second, restored[disk.first]) << disk.first;
    QuarnRegistry::TEST_Unload();
  }
}

// A thread that cannot be started: a disk thread (the second disk's) or a disk's pipeline stage. The
// VM fails, its disks' streams all come back, and no restore takes the job.
TEST_F(DataPathTest, AThreadThatCannotStartFailsTheVMAndLosesNoStream) {
  Make(2, true);
  struct Case {
    const char* thread;
    int64_t after;
    int result;
    const char* line;
  };
  int64_t id = 3700;
  for (const Case& c : {Case{"disk", 1, -1, "Failed to spawn BackupVMDiskThread"},
                        Case{"archive", 0, 1, "Failed to start the pipeline threads of disk ["}}) {
    SCOPED_TRACE(c.thread);
    lab::FaultRule rule;
    rule.op = "thread.Create";
    rule.code = 11;
    rule.disk = c.thread;
    rule.after = c.after;
    ASSERT_TRUE(lab_.Fault(rule));
    Job job(++id, 1, 3);
    EXPECT_EQ(c.result, job.Run());
    EXPECT_EQ(3u, job.controller->FreeStreams());
    EXPECT_EQ(1u, testsupport::CountOf(lab_.Log(), c.line));
    Hashes restored;
    std::vector<int64_t> chain;
    std::string error;
    EXPECT_FALSE(datapathtest::Restore(id, restored, chain, error));
    ASSERT_TRUE(lab::ClearFaultTable(error));
  }
}

// Whichever record of a job the media refuses (the configuration file's, an extent's, a disk's header
// or end, the VM's), every archive the job leaves reads back item by item (no end of item outside an
// item, no item left open), and the VM either restores byte for byte or failed with a reason and
// an item ended failed.
TEST_F(DataPathTest, ARefusedRecordLeavesEveryArchiveWellFormed) {
  Make(2, true);
  int64_t id = 3800;
  for (int64_t after : {0, 1, 3, 4, 6, 8, 11, 14, 17, 20, 24, 28, 33, 40}) {
    SCOPED_TRACE(after);
    ASSERT_TRUE(lab_.Fault("archive.write", 31, "refused", after));
    Job job(++id, 1);
    const int result = RunAndVerify(job, {id});  // a VM reported backed up is restored and compared
    const Sent sent = SentBy(id);  // reads every archive of the job
    if (result != 0) {
      EXPECT_TRUE(sent.anyFailedItem) << result;
      EXPECT_FALSE(job.vm.failureReason.empty()) << result;
    }
    EXPECT_EQ(2u, job.controller->FreeStreams());
    std::string error;
    ASSERT_TRUE(lab::ClearFaultTable(error));
  }
}

// Failures after the disks: a collection whose node cannot be read ends that node failed, and a
// post-backup the hypervisor refuses gives its classified code; neither job is taken by a restore.
TEST_F(DataPathTest, ACollectionReadOrAPostBackupThatFailsFailsTheVM) {
  Make(1, true);
  lab::VMDescription vm;
  ASSERT_TRUE(lab::FindVM(lab::SampleServer(), datapathtest::kVM, vm));
  const std::string folder = lab::ServerDir(lab::SampleServer()) + "/collections/docs";
  ASSERT_TRUE(lab::MakeDirs(folder));
  std::ofstream(folder + "/a.txt") << std::string(10000, 'a');
  vm.collections.push_back(lab::VMCollection{"collections/docs", CFileCollection::kFolderCollection});
  std::string error;
  ASSERT_TRUE(lab::WriteVMDescription(lab::SampleServer(), vm, error)) << error;
  Job full(3601, 1);
  ASSERT_EQ(0, RunAndVerify(full, {3601}));

  struct Case {
    const char* op;
    int code;
    int result;
  };
  int64_t id = 3601;
  for (const Case& c : {Case{"filecollection.Read", 5, 54}, Case{"vminfo.PostBackupVM", 12, 96}}) {
    ASSERT_TRUE(lab_.Fault(c.op, c.code, "refused", c.op[0] == 'f' ? 1 : 0));
    Job job(++id, 1);
    EXPECT_EQ(c.result, job.Run()) << c.op;
    EXPECT_TRUE(SentBy(id).anyFailedItem) << c.op;
    Hashes restored;
    std::vector<int64_t> chain;
    ASSERT_TRUE(datapathtest::Restore(id, restored, chain, error)) << error;
    EXPECT_EQ(std::vector<int64_t>{3601}, chain) << c.op;
    ASSERT_TRUE(lab::ClearFaultTable(error));
  }
}

// A job stopped while its disks are read: whatever it reports done restores, and whatever does not
// restore is not reported done.
TEST_F(DataPathTest, AJobStoppedMidwayReportsDoneOnlyWhatRestores) {
  Make(2, true);
  Job full(3501, 1);
  ASSERT_EQ(0, RunAndVerify(full, {3501}));
  // Enough to read that the stop falls while extents are being sent.
  lab::VMDescription vm;
  ASSERT_TRUE(lab::FindVM(lab::SampleServer(), datapathtest::kVM, vm));
  vm.disks[0].sizeBytes = 64 * kMiB;
  std::string error, id;
  ASSERT_TRUE(lab::WriteVMDescription(lab::SampleServer(), vm, error));
  truncate(datapathtest::ImageOf(0).c_str(), 64 * kMiB);
  ASSERT_TRUE(lab::WriteDiskRanges(datapathtest::ImageOf(0), {{0, 64 * kMiB}}, true, 9, id, error)) << error;

  Job job(3502, 2);
  std::atomic<bool> done{false};
  std::thread stopper([&] {
    const std::string folder = lab::MediaJobDir(lab::SampleMediaAgent(), 3502);
    while (!done) {
      // The archive file being written is not committed yet.
      for (const lab::ArchiveLocation& location : lab::ListUncommittedArchiveFiles(3502)) {
        struct stat status;
        if (stat(location.path.c_str(), &status) == 0 && status.st_size > static_cast<off_t>(8 * kMiB)) {
          lab::RequestJobQuit(3502);
          return;
        }
      }
      std::this_thread::yield();
    }
  });
  const int result = job.Run();
  done = true;
  stopper.join();
  Hashes restored;
  std::vector<int64_t> chain;
  ASSERT_TRUE(datapathtest::Restore(3502, restored, chain, error)) << error;
  if (result == 0) {
    EXPECT_EQ((std::vector<int64_t>{3501, 3502}), chain);
    EXPECT_EQ(datapathtest::Mounted(3502)[kDisk0], restored[kDisk0]);
  } else {
    EXPECT_EQ(11, result);
    EXPECT_EQ(std::vector<int64_t>{3501}, chain) << "a job that stopped is no layer of any restore";
    EXPECT_NE(PHASE_DONE, job.vm.vmPhase);
  }
}

// One stream for a VM of three disks in parallel mode: each disk after the first waits for the stream
// the one before gives back and is woken by that, not by the retry period; the clock stands still
// the whole time, and the backup restores.
TEST_F(DataPathTest, ADiskWaitingForAStreamIsWokenWhenOneComesBack) {
  Make(3, true);
  Setting("nAllowMultiStreamsPerVM", "1");
  testsupport::VirtualClock clock;
  Job job(3601, 1, 1);
  auto run = std::async(std::launch::async, [&] { return RunAndVerify(job, {3601}); });
  const bool woken = run.wait_for(std::chrono::minutes(1)) == std::future_status::ready;
  // Only a disk left waiting for the period needs the clock to move.
  if (!woken) ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(3600));
  EXPECT_TRUE(woken) << "a disk waited for the retry period with a stream free";
  EXPECT_EQ(0, run.get());
  EXPECT_EQ(1, SentBy(3601).archives) << "the disks took the one stream in turn";
  EXPECT_EQ(1u, job.controller->FreeStreams());
}

}  // namespace
