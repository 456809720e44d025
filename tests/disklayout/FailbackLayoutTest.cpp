// A failback's replica renamed after its source VM's disks: which records are renamed, dropped or
// added, in the plain and the cross-vendor shape of the replication's tracking records, and which
// items of the last backup a VM no longer has.
#include <gtest/gtest.h>

#include "disklayout/quarnconfig.h"
#include "platform/appmgr/vsAppMgr.h"
#include "platform/vminfo/LabVMInfo.h"
#include "records/MountCtx.h"
#include "records/messages/AppMessages.h"
#include "records/messages/IdxMetadataMessages.h"
#include "support/LayoutTestSupport.h"
#include "support/TestLab.h"

namespace {

using Tracking = App::VSAReplicationTrakingIdInfo;
using VSMeta = IdxMetadata::VirtualServerIdxMetaData;
constexpr auto kVMware = static_cast<VirtualServerInstanceType>(kInstanceTypeVMware);

using layouttest::RecordsVMInfo;

VMInfoStructs::SDisk File(const std::string& path, const std::string& indexName, int32_t backupType = 1) {
  VMInfoStructs::SDisk disk;
  disk.path = path;
  disk.indexName = indexName;
  disk.displayName = indexName;
  disk.backupType = backupType;
  disk.maxSize = disk.fileSize = 1 << 20;
  return disk;
}
VMInfoStructs::SMountInfoFull Record(std::vector<VMInfoStructs::SDisk> disks) {
  VMInfoStructs::SMountInfoFull record;
  record.opened = 1;
  record.disks = std::move(disks);
  return record;
}

CNMessagePtr TrackingRecord(const std::string& replicaName, const std::string& sourceIndexName,
                            const std::string& otherVendorName = "", const std::string& furtherName = "") {
  Tracking record;
  record.setstring(Tracking::F_text1, replicaName);
  record.setstring(Tracking::F_text13, sourceIndexName);
  record.setstring(Tracking::F_text27, otherVendorName);
  if (!furtherName.empty()) record.setstring(Tracking::F_text18, furtherName);
  return CNMessagePtr(record);
}

// An entry of the source's last backup: a disk's carries a sector size; a file's a disk type of 0.
IdxMetadata::IdxMetaData Entry(bool disk, int64_t maxSize = 0, int64_t fileSize = 0) {
  IdxMetadata::IdxMetaData entry;
  VSMeta* part = entry.getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, true);
  if (disk) {
    part->setint64(VSMeta::F_sectorSize, 512);
    part->setint64(VSMeta::F_diskType, 2);
  } else {
    part->setint64(VSMeta::F_diskType, 0);
  }
  if (maxSize) part->setint64(VSMeta::F_maxDiskSize, maxSize);
  if (fileSize) part->setint64(VSMeta::F_fileSize, fileSize);
  return entry;
}

class FailbackLayoutTest : public ::testing::Test {
 protected:
  FailbackLayoutTest() {
    lab_.Create();
    lab_.OpenLog();
    ctx.mountPath = "/mnt/(g)";
  }
  // The layout of the records, renamed by the variant; the walk's objects as (index name, display).
  bool Rename(bool crossVendor, const std::vector<VMInfoStructs::SMountInfoFull>& records, IdxMetadataByName& previous,
              const CNMessageList& tracking, std::vector<std::pair<std::string, std::string>>& walked) {
    vmInfo.records = records;
    ctx.vmInfo.disks.resize(records.size());
    EXPECT_EQ(0, config.getMountInfo(ctx, &vmInfo));
    const bool renamed = crossVendor ? config.ModifyDiskIndexPathsForCrossVendorFailback(previous, tracking, kVMware)
                                     : config.ModifyDiskIndexPathsForFailback(previous, tracking, kVMware);
    walked.clear();
    config.resetGetNextBkpObj();
    for (;;) {
      quarnBackupArgs args;
      config.getNextBkpObj(&args);
      if (args.mBackupPath.empty()) break;
      walked.emplace_back(args.mBackupPath, args.mDisplayName);
    }
    return renamed;
  }

  testsupport::TestLab lab_;
  RecordsVMInfo vmInfo;
  MountCtx ctx;
  quarnDiskConfig config;
};

// The plain shape: a disk takes the source's index name of the tracking record that names its path;
// logs go; a file takes the source's file of its extension, never a disk's entry.
TEST_F(FailbackLayoutTest, ThePlainShapeRenamesDropsOrFailsEachRecordAsItsTrackingRecordSays) {
  using Walk = std::vector<std::pair<std::string, std::string>>;
  IdxMetadataByName previous;
  previous.emplace("scsi0-0-src_0.img", Entry(true));
  previous.emplace("scsi0-1-src_1.img", Entry(true));
  previous.emplace("src.vmx", Entry(false));
  previous.emplace("zz.nvram", Entry(false));
  CNMessageList tracking;
  tracking.push_back(TrackingRecord("/site/b/replica_0.img|/other/replica_0.img", "scsi0-0-src_0.img"));
  tracking.push_back(TrackingRecord("/site/b/replica_1.img", "scsi0-1-src_1.img"));
  tracking.push_back(TrackingRecord("/site/b/replica_9.img", "nodashes"));

  struct Case {
    const char* name;
    std::vector<VMInfoStructs::SMountInfoFull> records;
    bool renamed;
    Walk walk;
    const char* line;  // in the log
  };
  VMInfoStructs::SDisk withParent = File("/other/replica_2.img", "replica_2.img");
  withParent.parentIndexName = "scsi0-2-src_2.img";
  const Case cases[] = {
      {"disks, a log written in capitals, a configuration file and one with no source",
       {Record({File("/other/replica_0.img", "scsi0-0-replica_0.img")}), Record({File("/x/vm.LOG", "vm.LOG", 0)}),
        Record({File("/site/b/replica_1.img", "scsi0-1-replica_1.img")}), Record({File("/x/replica.vmx", "replica.vmx", 0)}),
        Record({File("/x/replica.vmsd", "replica.vmsd", 0)})},
       true,
       {{"scsi0-0-src_0.img", "src_0.img"}, {"scsi0-1-src_1.img", "src_1.img"}, {"src.vmx", "src.vmx"}},
       "indexname [scsi0-0-src_0.img] diskFileName [/other/replica_0.img]"},
      {"a disk without a tracking record but with a parent is dropped silently",
       {Record({withParent}), Record({File("/site/b/replica_1.img", "scsi0-1-replica_1.img")})},
       true,
       {{"scsi0-1-src_1.img", "src_1.img"}},
       nullptr},
      {"a file named like a disk does not take the disk's entry",
       {Record({File("/x/other.img", "other.img", 0)})},
       true,
       {},
       nullptr},
      {"a disk without a tracking record or a parent fails the failback",
       {Record({File("/site/b/replica_0.img", "scsi0-0-replica_0.img")}), Record({File("/nowhere/r.img", "r.img")})},
       false,
       {{"scsi0-0-src_0.img", "src_0.img"}, {"r.img", "r.img"}},  // what was renamed stays so
       "Failed to find index Name for disk [/nowhere/r.img]. Cannot continue with failback"},
      {"a source index name without a display name fails the failback",
       {Record({File("/site/b/replica_9.img", "scsi0-9-replica_9.img")})},
       false,
       {{"scsi0-9-replica_9.img", "scsi0-9-replica_9.img"}},
       "Disk display name extraction has failed!"},
      // An empty text is in every text: were it a match, the disk would take the first record's source.
      {"a disk without a path matches no tracking record",
       {Record({File("", "scsi0-5-replica_5.img")})},
       false,
       {{"scsi0-5-replica_5.img", "scsi0-5-replica_5.img"}},
       "Failed to find index Name for disk []. Cannot continue with failback"},
      {"no records", {}, true, {}, nullptr},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    Walk walked;
    EXPECT_EQ(test.renamed, Rename(false, test.records, previous, tracking, walked));
    EXPECT_EQ(test.walk, walked);
    EXPECT_EQ(test.renamed, config.getFailbackError().empty()) << config.getFailbackError();
    if (test.line != nullptr) { EXPECT_NE(std::string::npos, lab_.Log().find(test.line)) << test.line; }
  }
}

// The cross-vendor shape: a disk is found by the replica's name on the other hypervisor (or the
// further name when that is empty) in four ways; the source's configuration files are handed out in
// order, each once, and those left over are backed up as records of their own.
TEST_F(FailbackLayoutTest, TheCrossVendorShapeMatchesDisksFourWaysAndHandsOutEachSourceFileOnce) {
  using Walk = std::vector<std::pair<std::string, std::string>>;
  IdxMetadataByName previous;
  previous.emplace("a.vmx", Entry(false, 100, 50));
  previous.emplace("b.nvram", Entry(false));
  previous.emplace("c.vmsd", Entry(false, 300, 0));
  previous.emplace("scsi0-0-src_0.img", Entry(true));
  CNMessageList tracking;
  tracking.push_back(TrackingRecord("", "scsi0-0-src_0.img", "disks/azure-os-disk-replica"));   // holds the index name
  tracking.push_back(TrackingRecord("", "scsi0-1-src_1.img", "data1"));                        // within the display name
  tracking.push_back(TrackingRecord("", "scsi0-2-src_2.img", "", "/volumes/replica_2.vhd"));   // further name, holds the path
  tracking.push_back(TrackingRecord("", "scsi0-3-src_3.img", "disk-id-3"));                    // equals the disk id
  tracking.push_back(TrackingRecord("", "scsi0-4-src_4.img", ""));                             // names nothing

  VMInfoStructs::SDisk byIndexName = File("/p/os", "azure-os-disk");
  VMInfoStructs::SDisk byDisplay = File("/p/d1", "idx1");
  byDisplay.displayName = "replica-data1-disk";
  VMInfoStructs::SDisk byPath = File("/volumes/replica_2", "idx2");
  VMInfoStructs::SDisk byId = File("/p/d3", "idx3");
  byId.diskId = "disk-id-3";
  const std::vector<VMInfoStructs::SMountInfoFull> records = {
      Record({byIndexName}), Record({File("/p/config.json", "config.json", 0)}), Record({byDisplay}),
      Record({byPath, byId})};
  Walk walked;
  ASSERT_TRUE(Rename(true, records, previous, tracking, walked)) << config.getFailbackError();
  const Walk expected = {{"scsi0-0-src_0.img", "src_0.img"}, {"a.vmx", "a.vmx"},       {"scsi0-1-src_1.img", "src_1.img"},
                         {"scsi0-2-src_2.img", "src_2.img"}, {"scsi0-3-src_3.img", "src_3.img"},
                         {"b.nvram", "b.nvram"},             {"c.vmsd", "c.vmsd"}};
  EXPECT_EQ(expected, walked);
  EXPECT_NE(std::string::npos, lab_.Log().find("Config file [a.vmx]"));
  // The added records take the sizes their entries recorded.
  config.resetGetNextBkpObj();
  quarnBackupArgs args;
  for (int i = 0; i < 7; ++i) config.getNextBkpObj(&args);
  EXPECT_EQ("c.vmsd", args.mBackupPath);
  EXPECT_EQ(300u, args.mMaxDiskSize);

  // A disk no tracking record names fails the failback, and so does one with nothing to be named by:
  // an empty name is in every record's, so it would take the first record's source disk. A disk
  // without a path is still found by its other names, in its own record.
  VMInfoStructs::SDisk lost = File("/p/lost", "lost");
  VMInfoStructs::SDisk nameless = File("", "");
  VMInfoStructs::SDisk pathless = File("", "idx1");
  pathless.displayName = "replica-data1-disk";
  struct Case {
    const char* name;
    VMInfoStructs::SDisk disk;
    bool renamed;
    const char* error;  // the failback's, or the source index name taken
  };
  const Case cases[] = {
      {"no record names it", lost, false, "No replication tracking record names disk [lost] of the failback VM"},
      {"no name, path or id", nameless, false,
       "A disk of the failback VM has neither a name nor a path: no replication tracking record can name it"},
      {"no path, but a display name", pathless, true, "scsi0-1-src_1.img"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    EXPECT_EQ(test.renamed, Rename(true, {Record({test.disk})}, previous, tracking, walked));
    if (test.renamed) {
      ASSERT_FALSE(walked.empty());
      EXPECT_EQ(test.error, walked.front().first);
    } else {
      EXPECT_EQ(test.error, config.getFailbackError());
      EXPECT_TRUE(walked.empty() || walked.front().first.find("src_") == std::string::npos);
    }
  }
  EXPECT_NE(std::string::npos, lab_.Log().find("Failed to find index Name for disk [/p/lost]. Cannot continue with failback"));
}

// The items of the last backup no backup object carries are reported deleted, compared without
// regard to case; a disk still backed up under its older index name (its id) is not.
TEST_F(FailbackLayoutTest, DeletedDisksAreTheLastBackupsItemsNoObjectCarries) {
  struct Case {
    const char* name;
    std::vector<std::string> previous;
    std::vector<std::string> deleted;
  };
  const Case cases[] = {
      {"an empty map", {}, {}},
      {"all present, one in another case", {"SCSI0-0-VM_0.IMG", "vm.vmx"}, {}},
      {"two gone", {"scsi0-0-vm_0.img", "scsi0-5-gone.img", "old.vmx"}, {"old.vmx", "scsi0-5-gone.img"}},
      {"a disk under its older name", {"old-disk-name"}, {}},
  };
  VMInfoStructs::SDisk disk = File("/p/vm_0.img", "scsi0-0-vm_0.img");
  disk.diskId = "old-disk-name";
  vmInfo.records = {Record({disk}), Record({File("/p/vm.vmx", "vm.vmx", 0)})};
  ctx.vmInfo.disks.resize(2);
  ASSERT_EQ(0, config.getMountInfo(ctx, &vmInfo));
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    IdxMetadataByName previous;
    for (const std::string& name : test.previous) previous.emplace(name, Entry(true));
    std::vector<std::string> deleted;
    EXPECT_TRUE(config.getDeletedDisks(previous, deleted));
    EXPECT_EQ(test.deleted, deleted);
  }
}

}  // namespace
