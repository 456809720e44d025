// The checksum and archive stages on requests made by hand: what each sends for changed, unchanged,
// empty and dataless extents, how unchanged runs are cut, and how a failure sticks.
#include <gtest/gtest.h>

#include <memory>
#include <utility>

#include "platform/archive/ArchiveReader.h"
#include "platform/archive/vsArchive.h"
#include "platform/index/TVMCRCTable.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabSubclient.h"
#include "platform/os/CPxCRC32.h"
#include "platform/sim/vsSim.h"
#include "support/TestLab.h"
#include "worker/QuarnWorker.h"

namespace {

constexpr uint32_t kExtentBytes = 4096;

// One extent as the reader would hand it on.
struct Extent {
  Extent(uint64_t number, std::string data, std::vector<bool> bits = {})
      : number(number), data(std::move(data)), bits(std::move(bits)) {}
  uint64_t number;
  std::string data;  // empty: delivered without data
  std::vector<bool> bits;
};

uint32_t Crc(const std::string& data) {
  CPxCRC32 crc;
  crc.UpdateCRC32(data.data(), data.size());
  return crc.GetCRC32();
}

class StageTest : public ::testing::Test {
 protected:
  StageTest() {
    lab::LabPlan plan;
    plan.vms = 1;
    lab_.Create(plan);
    lab_.Focus("coordinator");
    job_.setJobId("4001");
    job_.setMediaAgent(lab::SampleMediaAgent());
    app_.setAppIdStr("1");
    app_.querySettings();
    QuarnRegistry::TEST_Unload();
  }
  ~StageTest() override { QuarnRegistry::TEST_Unload(); }

  void Index(bool v2) {
    std::string error;
    lab::SetSubclientValue("1", "indexingV2", v2 ? "1" : "0", error);
    app_.querySettings();
  }
  void Setting(const std::string& key, const std::string& value) {
    lab_.Setting("VirtualServer", key, value);
    QuarnRegistry::TEST_Unload();
  }
  // A table of this job in memory, or the previous job's with the given checksums.
  static std::unique_ptr<TVMCRCTable> Table(const std::string& path, const std::map<uint64_t, uint32_t>& records) {
    std::unique_ptr<TVMCRCTable> table(new TVMCRCTable());
    table->initialize(path, false);
    for (const auto& record : records) table->insert(MakeCRCRecord(record.first, record.second));
    return table;
  }

  // Runs the extents through the checksum stage (when a table is given) and the archive stage, on
  // the test's thread, one stage after the other; the statuses come back in extent order.
  std::vector<uint32_t> Run(const std::vector<Extent>& extents, TVMCRCTable* previous, TVMCRCTable* current) {
    QuarnWorker worker(nullptr, 0);
    worker.Initialize(&job_, &app_);
    vsArchive stream(&job_, &app_, &sim_, "km");
    stream.setStream(1, 101, 7, 5);
    stream.init(true);
    stream.createArchiveFile("guid", 4001, 7, 1, std::string(), 1);
    path_ = stream.GetArchiveFilePath();
    quarnBackupArgs args;
    args.mArchive = &stream;
    args.mAllocatedSize = 7;
    std::vector<std::unique_ptr<quarnExtentReq>> pool;
    BackupThreadObjsSync hub(&worker, &args, extents.size());
    hub.SetDiskFileHeaderPath("\\guid\\disk");
    uint64_t sent = 0;
    const bool checksums = previous != nullptr || current != nullptr;
    for (const Extent& extent : extents) {
      pool.emplace_back(new quarnExtentReq());
      quarnExtentReq& req = *pool.back();
      req.extentNo = extent.number;
      if (!extent.data.empty()) std::memcpy(req.data.Allocate(extent.data.size()), extent.data.data(), extent.data.size());
      req.noData = extent.data.empty();
      req.changedBits = extent.bits;
      req.unitSize = 512;
      req.archive = &stream;
      req.sentCount = &sent;
      req.prevCRCTable = previous;
      req.newCRCTable = current;
      std::snprintf(req.extentName, sizeof(req.extentName), "\\guid\\disk\\Extent%llu",
                    static_cast<unsigned long long>(extent.number));
      if (checksums)
        hub.pushBkpReqToCRCList(&req, false);
      else
        hub.pushBkpReqToArchiveList(&req, false);
    }
    if (checksums) {
      hub.pushBkpReqToCRCList(nullptr, false);
      worker.CRCExtentProcessor(&hub);
    }
    hub.pushBkpReqToArchiveList(nullptr, false);
    worker.ArchiveExtentProcessor(&hub);
    endStatus_ = hub.GetEndStatus();
    unchanged_ = hub.GetUnchangedExtents();
    std::vector<uint32_t> statuses;
    for (const auto& req : pool) statuses.push_back(req->status);
    stream.closeArchiveFile();
    archive::Problem problem;
    EXPECT_TRUE(archive::ReadArchive(path_, contents_, problem)) << problem.Describe();
    return statuses;
  }
  // Item kinds in order: D data extent, H hole, P pseudo header.
  std::string Items() const {
    std::string kinds;
    for (const archive::Item& item : contents_.items) {
      if (item.kind == archive::ItemKind::kPseudo) kinds += 'P';
      if (item.kind == archive::ItemKind::kExtent) kinds += item.holeBytes > 0 ? 'H' : 'D';
    }
    return kinds;
  }
  std::vector<std::pair<uint64_t, uint64_t>> Ranges() const {
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (const archive::UnchangedRange& range : contents_.ranges) ranges.emplace_back(range.first, range.last);
    return ranges;
  }

  testsupport::TestLab lab_;
  vsJobMgr job_;
  vsAppMgr app_;
  vsSim sim_;
  std::string path_;
  archive::ArchiveContents contents_;
  uint32_t endStatus_ = 0;
  uint64_t unchanged_ = 0;
};

std::string Bytes(char c) { return std::string(kExtentBytes, c); }

TEST_F(StageTest, ChangedExtentsGoAsDataOrHolesInOrderBetweenTheirUnchangedRuns) {
  Index(false);
  Setting("bSendUnchangedExtentAsRange", "1");
  Setting("bSendUnchangedExtentAsRangeMaxRun", "2");
  const std::string zeros(kExtentBytes, '\0');
  std::unique_ptr<TVMCRCTable> previous = Table(lab_.Path("prev"), {{0, Crc(Bytes('a'))}, {1, Crc(Bytes('b'))},
                                                                     {2, Crc(Bytes('c'))}, {4, Crc(Bytes('e'))},
                                                                     {6, Crc(Bytes('g'))}, {7, Crc(Bytes('h'))}});
  std::unique_ptr<TVMCRCTable> current = Table(lab_.Path("cur"), {});
  // 0-2 unchanged (a run cut at its limit of 2), 3 changed to zeros (a hole), 4 unchanged, 5 changed
  // with change bits (data, not a hole), 6 unchanged, 8 after a gap: a run of its own.
  std::vector<bool> bits(8, true);
  const auto statuses = Run({{0, Bytes('a')}, {1, Bytes('b')}, {2, Bytes('c')}, {3, zeros}, {4, Bytes('e')},
                             {5, zeros, bits}, {6, Bytes('g')}, {8, std::string()}},
                            previous.get(), current.get());
  EXPECT_EQ(std::vector<uint32_t>(8, 0), statuses);
  EXPECT_EQ("HD", Items());
  EXPECT_EQ((std::vector<std::pair<uint64_t, uint64_t>>{{0, 1}, {2, 2}, {4, 4}, {6, 6}}), Ranges())
      << "extent 8 has no previous checksum and no data: it is skipped, not a run";
  EXPECT_EQ(5u, unchanged_);
  // Every extent with a checksum of its own or a previous one is in this job's table, no other.
  for (uint64_t extent : {0, 1, 2, 3, 4, 5, 6}) {
    TVMCRCRecord record;
    EXPECT_EQ(1, current->lookup(extent, record)) << extent;
  }
  TVMCRCRecord none;
  EXPECT_EQ(0, current->lookup(8, none));
}

TEST_F(StageTest, UnchangedExtentsAreHeadersRangesWithoutLimitOrNothingUnderIndexingV2) {
  struct Case {
    bool v2;
    std::string ranges;
    std::string maxRun;
    std::string items;
    size_t rangeCount;
  };
  for (const Case& c : {Case{false, "0", "65536", "PPPDP", 0}, Case{false, "1", "0", "D", 2},
                        Case{true, "1", "0", "D", 0}}) {
    Index(c.v2);
    Setting("bSendUnchangedExtentAsRange", c.ranges);
    Setting("bSendUnchangedExtentAsRangeMaxRun", c.maxRun);
    // Without a checksum table an extent without data counts as unchanged, one with data as changed.
    Run({{0, ""}, {1, ""}, {2, ""}, {3, Bytes('x')}, {4, ""}}, nullptr, nullptr);
    EXPECT_EQ(c.items, Items()) << c.v2 << c.ranges;
    EXPECT_EQ(c.rangeCount, Ranges().size()) << c.v2 << c.ranges;
    EXPECT_EQ(4u, unchanged_);
  }
}

// An extent without data and without a previous table has no checksum: none goes into this job's
// table (an earlier job's request would otherwise lend it a stale one).
TEST_F(StageTest, AnExtentWithoutDataAndWithoutAPreviousTableInsertsNoChecksum) {
  Index(false);
  std::unique_ptr<TVMCRCTable> current = Table(lab_.Path("cur"), {});
  Run({{0, Bytes('a')}, {1, ""}}, nullptr, current.get());
  TVMCRCRecord record;
  EXPECT_EQ(1, current->lookup(0, record));
  EXPECT_EQ(0, current->lookup(1, record));
}

TEST_F(StageTest, AFailedLookupFailsEveryLaterRequestAndSkippingWritesSendsNothing) {
  Index(false);
  std::unique_ptr<TVMCRCTable> previous = Table(lab_.Path("prev"), {{0, 1}});
  previous->close();  // a table that is not open fails its look-ups
  const auto statuses = Run({{0, Bytes('a')}, {1, Bytes('b')}, {2, Bytes('c')}}, previous.get(), nullptr);
  EXPECT_EQ((std::vector<uint32_t>{1, 1, 1}), statuses);
  EXPECT_EQ("", Items());

  Setting("nSkipDataWrite", "1");
  EXPECT_EQ((std::vector<uint32_t>{0, 0}), Run({{0, Bytes('a')}, {1, ""}}, nullptr, nullptr));
  EXPECT_EQ("", Items());
}

// A failed send gives 31 and the stage fails every later request; a failed last range fails the
// disk although the reader has stopped.
TEST_F(StageTest, FailedSendsFailTheDisk) {
  Index(false);
  ASSERT_TRUE(lab_.Fault("archive.write", 5, "media full", 3));  // extent 1's header, after extent 0's three records
  EXPECT_EQ((std::vector<uint32_t>{0, 31, 1}), Run({{0, Bytes('a')}, {1, Bytes('b')}, {2, Bytes('c')}}, nullptr, nullptr));
  std::string error;
  ASSERT_TRUE(lab::ClearFaultTable(error));

  Setting("bSendUnchangedExtentAsRange", "1");
  ASSERT_TRUE(lab_.Fault("archive.write", 5, "media full"));
  EXPECT_EQ((std::vector<uint32_t>{0, 0}), Run({{0, ""}, {1, ""}}, nullptr, nullptr));
  EXPECT_EQ(1u, endStatus_);
}

}  // namespace
