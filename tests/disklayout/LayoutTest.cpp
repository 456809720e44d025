// The layout objects: the mount records of a lab VM walked in order, the end of the walk, sizes,
// disks collected for guest metadata, volumes, and the errors of a metadata run.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "disklayout/quarnconfig.h"
#include "platform/appmgr/vsAppMgr.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabJob.h"
#include "platform/vminfo/LabVMInfo.h"
#include "records/MountCtx.h"
#include "support/TestLab.h"

namespace {

// The lab's library, or the records a test sets instead of the lab's.
class ScriptedVMInfo : public LabVMInfo {
 public:
  ScriptedVMInfo() : LabVMInfo(101, lab::SampleServer()) {}
  int GetMountInfoFull(const MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFull>& mounts) override {
    if (!scripted) return LabVMInfo::GetMountInfoFull(ctx, mounts);
    mounts = records;
    return 1;
  }
  bool scripted = false;
  std::vector<VMInfoStructs::SMountInfoFull> records;
};

VMInfoStructs::SMountInfoFull Record(std::vector<std::pair<DiskType_t, int64_t>> files, int32_t opened = 1) {
  VMInfoStructs::SMountInfoFull record;
  record.opened = opened;
  for (const auto& file : files) {
    VMInfoStructs::SDisk disk;
    disk.diskType = file.first;
    disk.maxSize = file.second;
    disk.fileSize = file.second / 2;
    disk.indexName = "idx" + std::to_string(record.disks.size());
    record.disks.push_back(disk);
  }
  return record;
}

class LayoutTest : public ::testing::Test {
 protected:
  LayoutTest() {
    lab::LabPlan plan;
    plan.vms = 1;
    plan.disksPerVM = 2;
    lab_.Create(plan);
    lab_.OpenLog();
    lab::VMDescription vm;
    lab::FindVM(lab::SampleServer(), "vm01", vm);
    vm.configFiles = {{"datastores/ds1/vm01/vm01.vmx"}};
    vm.collections = {{"datastores/ds1/vm01/logs", 7}};
    std::string error;
    lab::WriteVMDescription(lab::SampleServer(), vm, error);
    ctx.vmGuid = vm.guid;
    ctx.vmName = vm.name;
    ctx.mountPath = "/mnt/(g)";
    ctx.vmInfo.disks.resize(5);  // the disks the VM has, whatever the mount opened
  }

  // Walks every object; the backup paths in order.
  std::vector<quarnBackupArgs> Walk(quarnConfig& config) {
    std::vector<quarnBackupArgs> objects;
    config.resetGetNextBkpObj();
    for (;;) {
      quarnBackupArgs args;
      config.getNextBkpObj(&args);
      if (args.mBackupPath.empty()) break;
      objects.push_back(args);
    }
    return objects;
  }

  testsupport::TestLab lab_;
  ScriptedVMInfo vmInfo;
  MountCtx ctx;
};

TEST_F(LayoutTest, DiskLayoutWalksTheLabVMsDisksConfigurationFilesAndCollectionsInOrder) {
  quarnDiskConfig config;
  ASSERT_EQ(0, config.getMountInfo(ctx, &vmInfo));
  const std::vector<quarnBackupArgs> objects = Walk(config);
  ASSERT_EQ(4u, objects.size());
  EXPECT_EQ("scsi0-0-vm01_0.img", objects[0].mBackupPath);
  EXPECT_EQ("scsi0-1-vm01_1.img", objects[1].mBackupPath);
  EXPECT_EQ("vm01.vmx", objects[2].mBackupPath);
  EXPECT_EQ("logs", objects[3].mBackupPath);
  EXPECT_EQ((std::vector<uint32_t>{1, 1, 0, 2}),
            (std::vector<uint32_t>{objects[0].mObjectKind, objects[1].mObjectKind, objects[2].mObjectKind,
                                   objects[3].mObjectKind}));
  EXPECT_EQ(4u * 1024 * 1024, objects[0].mMaxDiskSize);
  EXPECT_EQ(3u * 1024 * 1024 + 512, objects[1].mFileSize) << "a disk of no whole number of extents";
  EXPECT_EQ(7u, objects[3].mDiskType) << "a collection carries its collection type";
  EXPECT_TRUE(objects[0].mIsOSDisk);
  EXPECT_FALSE(objects[1].mIsOSDisk);
  EXPECT_EQ(0u, objects[0].mMountIndex);
  EXPECT_EQ(1u, objects[1].mMountIndex);
  EXPECT_EQ(objects[1].mBackupPath, objects[1].mBackupPathCopy);
  EXPECT_EQ("logs", config.getUniqueId()) << "the object fetched last";
  EXPECT_EQ(7u * 1024 * 1024 + 512, config.getTotalSize());
  EXPECT_EQ(1, ctx.m_nSkippedDisksCount) << "five disks, four records opened: the mount left the count unset";

  // Past the end, any number of times: an empty backup path.
  quarnBackupArgs past;
  for (int i = 0; i < 3; ++i) {
    past.mBackupPath = "stale";
    config.getNextBkpObj(&past);
    EXPECT_TRUE(past.mBackupPath.empty());
  }
  config.getNextBkpObj(nullptr);
  config.reset();
  EXPECT_TRUE(Walk(config).empty());
}

TEST_F(LayoutTest, MountRecordsDecideTheWalkItsFailuresAndItsSizes) {
  quarnDiskConfig config;
  vmInfo.scripted = true;
  vmInfo.records = {Record({{2, 100}, {14, 1000}}), Record({{22, 1000}, {19, 50}}, 0)};
  vmInfo.records[1].disks[1].displayName = "shown";
  ctx.vmInfo.disks.resize(2);
  ASSERT_EQ(0, config.getMountInfo(ctx, &vmInfo));
  EXPECT_EQ(150u, config.getTotalSize()) << "files of types 14 and 22 hold no size of their own";
  EXPECT_EQ(75u + 500 + 500, config.getTotalSizeOnDisk());
  const std::vector<quarnBackupArgs> objects = Walk(config);
  ASSERT_EQ(4u, objects.size()) << "every file of every record, in order";
  EXPECT_EQ(static_cast<uint64_t>(-1), objects[3].mMountIndex) << "a record not opened has no index position";
  EXPECT_EQ("shown_idx1", config.getUniqueId()) << "type 19 is named by its display name too";

  // A shadow-copy mount indexes only the records of the active configuration.
  vmInfo.records[0].disks[0].inActiveChain = vmInfo.records[0].disks[1].inActiveChain = false;
  vmInfo.records[1].opened = 1;
  ctx.mountType = 102;
  ASSERT_EQ(0, config.getMountInfo(ctx, &vmInfo));
  const std::vector<quarnBackupArgs> shadow = Walk(config);
  EXPECT_EQ(static_cast<uint64_t>(-1), shadow[0].mMountIndex);
  EXPECT_EQ(0u, shadow[2].mMountIndex);

  // A record without files fails the scan there.
  vmInfo.records.insert(vmInfo.records.begin() + 1, VMInfoStructs::SMountInfoFull());
  EXPECT_EQ(22, config.getMountInfo(ctx, &vmInfo));
  EXPECT_NE(std::string::npos, lab_.Log().find("Disk at index [1] has an empty file list"));

  // The library's failure (a fault of the lab).
  vmInfo.scripted = false;
  ASSERT_TRUE(lab_.Fault("vminfo.GetMountInfoFull", 3001));
  EXPECT_EQ(22, config.getMountInfo(ctx, &vmInfo));
  EXPECT_EQ(22, config.getMountInfo(ctx, nullptr));
}

TEST_F(LayoutTest, DisksForGuestMetadataAreCollectedAsTheWalkLeavesEachRecord) {
  quarnDiskConfig config;
  ASSERT_EQ(0, config.getMountInfo(ctx, &vmInfo));
  config.resetGetNextBkpObj();
  quarnBackupArgs args;
  config.getNextBkpObj(&args);
  config.addDiskForLVMProcessing(kProductVMware, "/p0", "id0", 2, "vm01_disk_0", 2048, 512, false);
  config.addDiskForLVMProcessing(kProductVMware, "/p0", "id0", 2, "x", 0, 512, false);     // no extent size
  config.addDiskForLVMProcessing(kProductVMware, "", "id0", 2, "x", 2048, 512, false);     // no path
  config.addDiskForLVMProcessing(kProductUnknown, "/p0", "id0", 2, "x", 2048, 512, false);  // no product
  EXPECT_EQ(0u, config.getLVMDiskCount()) << "held until the walk leaves the record";
  config.getNextBkpObj(&args);
  config.addDiskForLVMProcessing(kProductVMware, "/p1", "id1", 18, "vm01_disk_1", 2048, 512, true);
  ASSERT_EQ(2u, config.getLVMDiskCount());
  EXPECT_EQ("vm01_disk", config.GetLVMDisks()[0].files[0].indexDirName) << "cut at its last '_'";
  EXPECT_EQ("vm01_disk_1", config.GetLVMDisks()[1].files.back().indexDirName) << "type 18 keeps its name";
  EXPECT_EQ(1u, config.GetLVMDisks()[0].files.size());
  config.resetLVMDiskList();
  EXPECT_EQ(0u, config.getLVMDiskCount());
}

TEST_F(LayoutTest, VolumeLayoutTrimsGuidsAndShortNamesDoNotCrash) {
  struct Case {
    std::string name, guidPath, mountGuid, volumeGuid, diskPath, changeId;
  } cases[] = {
      {"\\\\?\\Volume{abc}\\", "\\\\?\\Volume{abc}\\", "abc", "abc", "\\\\?\\Volume{abc}", "7f-2"},
      {"\\\\?\\Volume{", "\\\\?\\Volume{", "", "", "\\\\?\\Volume", ""},  // shorter than prefix and brace
      {"C:\\", "C:\\", "C:\\", "", "C:", ""},                                // not a volume name
      {"", "", "", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    class OneVolume : public ScriptedVMInfo {
     public:
      explicit OneVolume(const Case& c) : c_(c) {}
      int GetMountedVolumes(const MountCtx&, std::vector<VMInfoStructs::SMountInfoFile>& volumes) override {
        VMInfoStructs::SMountInfoFile volume;
        volume.volumeName = c_.name;
        volume.guidPath = c_.guidPath;
        volume.changeId = c_.changeId;
        volumes = {volume};
        return 1;
      }
      const Case& c_;
    } info(c);
    quarnVolumeConfig config;
    ASSERT_EQ(0, config.getMountInfo(ctx, &info));
    quarnBackupArgs args;
    config.getNextBkpObj(&args);
    EXPECT_EQ(c.mountGuid, args.mBackupPath);
    EXPECT_EQ(c.diskPath, args.mDiskPath);
    EXPECT_EQ(17u, args.mDiskType);
    EXPECT_EQ(c.changeId, args.mFileName) << "a volume's change id is what its backup counts changes from";
    config.getNextBkpObj(&args);
    EXPECT_TRUE(args.mBackupPath.empty());
  }
  quarnVolumeConfig config;
  ASSERT_EQ(0, config.getMountInfo(ctx, &vmInfo));
  EXPECT_EQ(2u, Walk(config).size()) << "one volume per disk of the lab's VM";
}

TEST_F(LayoutTest, ProductTypeAndTheFirstMetadataErrorOfTheVM) {
  struct Case {
    int instanceType;
    ProductType_t product;
  } cases[] = {{101, kProductVMware}, {102, kProductMicrosoft}, {402, kProductMicrosoft}, {701, kProductOther},
               {1502, kProductOther}, {999999, kProductUnknown}};
  quarnDiskConfig config;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.instanceType);
    ASSERT_TRUE(lab_.ReplaceSubclient("1", "instanceType=" + std::to_string(c.instanceType) + "\n"));
    vsAppMgr app;
    app.setAppIdStr("1");
    app.querySettings();
    EXPECT_EQ(c.product, config.getProductType(app));
  }
  lab_.UseJob(1001);
  doMetadataProcessingArgs args;
  EXPECT_FALSE(config.ReportLVMProcessingError(nullptr, "x", false));
  EXPECT_FALSE(config.ReportLVMProcessingError(&args, "", false));
  EXPECT_TRUE(config._ReportLVMProcessingError(&args, "first", true));
  EXPECT_TRUE(config.ReportLVMProcessingError(&args, "second", false));
  EXPECT_EQ("first", config.getLVMProcessingError());
  EXPECT_EQ((std::vector<std::string>{"first", "second"}), args.mErrors);
  EXPECT_EQ((std::vector<std::string>{"MINOR 0x4800006A first"}), lab_.Events()) << "one event, for the one asked";
  config.reset();
  EXPECT_EQ("", config.getLVMProcessingError());
  quarnConfig& base = config;
  EXPECT_EQ(std::string("\\%s\\%s\\Extent%lld"), base.getFileHeaderExtentFormatString());
}

}  // namespace

namespace {

int QuitCallbackOf(int, void*, void*) { return 0; }

}  // namespace

// Workers set the class-wide quit callback from their own threads: each read sees one caller's three
// values together, and a worker that ends takes back only its own.
TEST(QuitFlagCallbackTest, SetByManyThreadsReadAsOneAndClearedOnlyByItsOwner) {
  constexpr int kThreads = 6;
  constexpr int kRounds = 2000;
  int owners[kThreads] = {};
  std::atomic<int> torn{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t]() {
      for (int round = 0; round < kRounds; ++round) {
        quarnConfig::SetQuitFlagCallback(&QuitCallbackOf, t, &owners[t]);
        quarnConfig::QuitFlagCallback callback = nullptr;
        int first = -1;
        void* second = nullptr;
        quarnConfig::GetQuitFlagCallback(callback, first, second);
        if (callback != &QuitCallbackOf || first < 0 || first >= kThreads || second != &owners[first]) ++torn;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, torn.load());

  quarnConfig::SetQuitFlagCallback(&QuitCallbackOf, 1, &owners[1]);
  quarnConfig::ClearQuitFlagCallback(&owners[0]);
  quarnConfig::QuitFlagCallback callback = nullptr;
  int first = 0;
  void* second = nullptr;
  quarnConfig::GetQuitFlagCallback(callback, first, second);
  EXPECT_EQ(&owners[1], second);
  quarnConfig::ClearQuitFlagCallback(&owners[1]);
  quarnConfig::GetQuitFlagCallback(callback, first, second);
  EXPECT_EQ(nullptr, callback);
  EXPECT_EQ(0, first);
  EXPECT_EQ(nullptr, second);
}
