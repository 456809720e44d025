// The VM's archive file and its configuration files: what reaches the archive, byte for byte, with
// the content record; every fault giving its result code with the item ended failed; the generalized
// configuration file sent and removed; and application discovery.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>

#include "WorkerStageSupport.h"
#include "platform/appmgr/ClientProperties.h"
#include "platform/archive/vsArchive.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabVMClient.h"
#include "platform/os/CAverageCounter.h"
#include "platform/vminfo/VMConfigFile.h"
#include "support/ArchiveTestSupport.h"

namespace {

using stagetest::kGuid;
using Content = VirtualServer::VMContentRecord;

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

class WorkerConfigFileTest : public stagetest::StreamStageTest {
 protected:
  WorkerConfigFileTest() { args.mArchive = stream.get(); }
  // A local file of the test for the sender.
  void File(const std::string& name, const std::string& bytes, const std::string& display = std::string()) {
    const std::string path = job.Lab().Path(name);
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    args.mDiskPath = path;
    args.mBackupPath = name;
    args.mDisplayName = display.empty() ? name : display;
    args.mHeaderKind = 4;
  }
  int Send() { return worker.BackupVMConfigFile(&args, speed, average); }
  // Closes the archive file and reads it back.
  archive::ArchiveContents Archive() {
    archive::ArchiveContents contents;
    CloseAndReadArchive(contents);
    return contents;
  }
  bool Fault(const std::string& op, int64_t after = 0, int64_t times = 1) {
    return job.Lab().Fault(op, 77, "injected", after, times);
  }

  CMediaSpeedCounter speed;
  CAverageCounter average;
};

// 70,000 bytes go in buffers of at most 32,768 bytes; a zero-length file is a header and its end.
TEST_F(WorkerConfigFileTest, FileGoesWholeWithItsHeaderMetadataAndContentRecord) {
  const std::string bytes = Pattern(70000);
  File("vm01.vmx", bytes, "vm01 settings");
  args.mAllocatedSize = 1700000123;  // the producer's file time
  args.mProxyName = "proxyA";
  ASSERT_EQ(0, Send());
  EXPECT_EQ(70000u, args.mMaxDiskSize);
  EXPECT_EQ(70000u, args.mFileSize);
  File("empty.nvram", "");
  ASSERT_EQ(0, Send());
  archive::ArchiveContents contents = Archive();
  ASSERT_EQ(2u, contents.items.size());
  const archive::Item& item = contents.items[0];
  EXPECT_EQ(std::string("\\") + kGuid + "\\vm01.vmx", item.name);
  EXPECT_EQ(archive::ItemKind::kFile, item.kind);
  EXPECT_EQ(70000u, item.declaredSize);
  EXPECT_EQ(1700000123, item.time);
  ASSERT_EQ(3u, item.pieces.size());
  EXPECT_EQ(32768u, item.pieces[0].length);
  EXPECT_EQ(32768u, item.pieces[1].length);
  EXPECT_EQ(4464u, item.pieces[2].length);
  EXPECT_EQ(bytes, archivetest::ItemBytes(contents, item));
  EXPECT_TRUE(item.ended && item.success);
  EXPECT_EQ(2u, item.metadataRecords) << "its name for browsing and its disk index metadata";
  const archive::Item& empty = contents.items[1];
  EXPECT_EQ(0u, empty.dataBytes);
  EXPECT_TRUE(empty.ended && empty.success);
  EXPECT_EQ(1u, empty.metadataRecords) << "display name and backup path are the same";

  ASSERT_EQ(2u, vm.contentRecords.size());
  const Content& record = vm.contentRecords[0];
  EXPECT_EQ(kGuid, record.getstring(Content::F_guid));
  EXPECT_EQ("vm01.vmx", record.getstring(Content::F_indexName));
  EXPECT_EQ("vm01 settings", record.getstring(Content::F_displayName));
  EXPECT_EQ("proxyA", record.getstring(Content::F_proxyName));
  EXPECT_EQ(4, record.getint64(Content::F_flags));
  EXPECT_EQ(70000, record.getint64(Content::F_extentSize));
  EXPECT_EQ(70000, record.getint64(Content::F_fileSize));
  EXPECT_EQ(1700000123, record.getint64(Content::F_allocatedSize));
}

// Each failure gives its code; once the header is in, the item is ended failed, so the archive file
// stays readable item by item.
TEST_F(WorkerConfigFileTest, EachFaultGivesItsCodeAndAFailedEnd) {
  struct Case {
    const char* op;
    int64_t after;
    int result;
    bool headerSent;
    const char* line;
  } cases[] = {
      {"file.ZTCreateFile", 0, 53, false, "Failed to open the file ["},
      {"file.ZTGetFileSize", 0, 54, false, "Failed to get size of the file ["},
      {"archive.allocateBuffer", 1, 29, true, "Failed to allocate pipeline buffer"},
      {"file.ZTReadFile", 1, 54, true, "ReadFile() call failed for file ["},
      {"archive.write", 2, 31, true, "Failed to send pipeline data buffer for file ["},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    std::string error;
    ASSERT_TRUE(lab::ClearFaultTable(error));
    // The second open (every sharing mode) fails too, where opens fail.
    ASSERT_TRUE(Fault(c.op, c.after, std::string(c.op) == "file.ZTCreateFile" ? 2 : 1));
    File(std::string("f-") + c.op, Pattern(40000));
    const size_t lines = job.LogCount(c.line);
    EXPECT_EQ(c.result, Send());
    EXPECT_EQ(lines + 1, job.LogCount(c.line));
  }
  std::string error;
  ASSERT_TRUE(lab::ClearFaultTable(error));
  // No current VM: the content record is refused after the data went.
  worker.TEST_SetCurrentVM(nullptr);
  File("no-vm.cfg", Pattern(10));
  EXPECT_EQ(43, Send());
  worker.TEST_SetCurrentVM(&vm);

  archive::ArchiveContents contents = Archive();
  ASSERT_EQ(4u, contents.items.size()) << "one item per file whose header went";
  for (const archive::Item& item : contents.items) {
    EXPECT_TRUE(item.ended) << item.name;
    EXPECT_FALSE(item.success) << item.name;
  }
  EXPECT_TRUE(vm.contentRecords.empty());
}

// A file that ends before the size it was opened with (a kernel attribute file says 4,096 bytes and
// holds a few) is no whole file: the read fails the file and its item ends failed.
TEST_F(WorkerConfigFileTest, AFileShorterThanItsSizeFailsItsItem) {
  const std::string path = "/sys/kernel/uevent_seqnum";
  struct stat status;
  if (stat(path.c_str(), &status) != 0 || status.st_size != 4096) GTEST_SKIP() << "no kernel attribute files";
  File("short.cfg", "");
  args.mDiskPath = path;
  EXPECT_EQ(54, Send());
  EXPECT_EQ(1u, job.LogCount("] ended [")) << job.Log();
  archive::ArchiveContents contents = Archive();
  ASSERT_EQ(1u, contents.items.size());
  EXPECT_TRUE(contents.items[0].ended);
  EXPECT_FALSE(contents.items[0].success);
  EXPECT_TRUE(vm.contentRecords.empty());
}

TEST_F(WorkerConfigFileTest, MissingInputSharingAndSnapshotBackups) {
  File("a.cfg", "abc");
  args.mBackupPath.clear();
  EXPECT_EQ(10, Send());
  File("a.cfg", "abc");
  args.mArchive = nullptr;
  EXPECT_EQ(10, Send());
  EXPECT_NE(std::string::npos, job.Log().find("pArchive input param is missing. Not backing up file"));

  // A file someone writes (holds locked) opens only with every sharing mode.
  args.mArchive = stream.get();
  File("busy.cfg", "busy");
  const int writer = open(args.mDiskPath.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(0, flock(writer, LOCK_EX));
  EXPECT_EQ(0, Send());
  close(writer);
  EXPECT_EQ(1u, job.LogCount("with SHARE_READ, SHARE_WRITE and SHARE_DELETE option"));

  // A snapshot backup records the content and sends nothing.
  job.jobMgr.setSnapBackup(true);
  args.mArchive = nullptr;
  File("snap.cfg", Pattern(100));
  EXPECT_EQ(0, Send());
  job.jobMgr.setSnapBackup(false);
  ASSERT_EQ(2u, vm.contentRecords.size());
  EXPECT_EQ("snap.cfg", vm.contentRecords[1].getstring(Content::F_indexName));
  archive::ArchiveContents contents = Archive();
  ASSERT_EQ(1u, contents.items.size());
  EXPECT_EQ("busy", archivetest::ItemBytes(contents, contents.items[0]));
}

TEST_F(WorkerConfigFileTest, GeneralizedConfigurationFileIsSentAndRemovedEvenWhenSendingFails) {
  ASSERT_EQ(0, worker.MountVM());
  const std::string path = Ctx().mountPath + "/VMConfig.ztf";
  ASSERT_EQ(0, worker.BackupGeneralizedVMConfigFile(&args, speed, average));
  EXPECT_FALSE(testsupport::Exists(path));
  EXPECT_EQ(path, args.mDiskPath);
  ASSERT_TRUE(Fault("archive.allocateBuffer"));
  EXPECT_EQ(29, worker.BackupGeneralizedVMConfigFile(&args, speed, average));
  EXPECT_FALSE(testsupport::Exists(path));
  ASSERT_TRUE(Fault("vminfo.VMConfigFile.Save"));
  EXPECT_EQ(53, worker.BackupGeneralizedVMConfigFile(&args, speed, average));

  archive::ArchiveContents contents = Archive();
  ASSERT_EQ(2u, contents.items.size());
  EXPECT_EQ(std::string("\\") + kGuid + "\\VMConfig.ztf", contents.items[0].name);
  EXPECT_EQ(VMConfigFile::Format(Ctx().vmInfo), archivetest::ItemBytes(contents, contents.items[0]));
  EXPECT_EQ(Ctx().fileTime, contents.items[0].time) << "the mount's time is the file's";
  EXPECT_FALSE(contents.items[1].success);
}

TEST_F(WorkerConfigFileTest, SnapshotConfigurationFileAndIndexArchiveFile) {
  // Without configuration files in the snapshot nothing is sent.
  ASSERT_EQ(0, worker.MountVM());
  EXPECT_EQ(0, worker.BackupSnapBackupConfigFile(&args, speed, average));
  ASSERT_EQ(0, worker.UnmountVM());

  lab::VMDescription description;
  ASSERT_TRUE(lab::FindVM("vcenter", kGuid, description));
  description.configFiles.push_back(lab::VMConfigFile{"datastores/ds1/vm01/vm01.vmx"});
  std::string error;
  ASSERT_TRUE(lab::WriteVMDescription("vcenter", description, error)) << error;
  std::ofstream(lab::DiskImagePath("vcenter", "datastores/ds1/vm01/vm01.vmx")) << "memsize = 1024\n";
  ASSERT_EQ(0, worker.MountVM());
  EXPECT_EQ(0, worker.BackupSnapBackupConfigFile(&args, speed, average));
  EXPECT_EQ(Ctx().mountPath + "/config0/vm01.vmx", args.mDiskPath) << "the mount's copy";
  EXPECT_EQ("vm01.vmx", args.mBackupPath);

  // The index archive file of a snapshot job is made once.
  EXPECT_TRUE(worker.CreateVMArchiveFileForSnap());
  const int64_t id = Ctx().indexArchiveFileId;
  EXPECT_NE(0, id);
  EXPECT_TRUE(worker.CreateVMArchiveFileForSnap());
  EXPECT_EQ(id, Ctx().indexArchiveFileId);
  Ctx().indexArchiveFileId = 0;
  ASSERT_TRUE(Fault("archive.createArchiveFile"));
  EXPECT_FALSE(worker.CreateVMArchiveFileForSnap());
  EXPECT_EQ(1u, job.LogCount("Failed to create archive file for VM [vm01]"));

  archive::ArchiveContents contents = Archive();
  ASSERT_EQ(1u, contents.items.size());
  EXPECT_EQ("memsize = 1024\n", archivetest::ItemBytes(contents, contents.items[0]));
}

TEST_F(WorkerConfigFileTest, DiscoveredApplicationsAreKeptWithTheVMsClient) {
  lab::VMDescription description;
  ASSERT_TRUE(lab::FindVM("vcenter", kGuid, description));
  description.other["apps"] = "SQL Server,Exchange;Oracle";
  description.other["guestUser"] = "labadmin";
  std::string error;
  ASSERT_TRUE(lab::WriteVMDescription("vcenter", description, error)) << error;
  ClientProperties client(7);

  EXPECT_FALSE(worker.DiscoverApps()) << "application validation is off";
  EXPECT_EQ(0u, job.LogCount("Call application discovery for VM[vm01]"));

  job.SetSubclient("appValidation", "1");
  job.SetSubclient("guestUserName", "someone");
  EXPECT_FALSE(worker.DiscoverApps()) << "the subclient's account cannot log in";
  job.SetSubclient("guestUserName", "labadmin");
  auto* own = vm.collect.getObject<Common::UserPassword>(VirtualServer::VMCollect::F_guestCredentials, true);
  own->setstring(Common::UserPassword::F_userName, "");
  EXPECT_TRUE(worker.DiscoverApps()) << "an empty user of the VM's own falls back to the subclient's";
  const std::string kept = client.getAppsDiscovered();
  EXPECT_EQ(0u, kept.find("<discoveredApps")) << kept;
  EXPECT_NE(std::string::npos, kept.find("Exchange"));
  EXPECT_EQ(std::string::npos, kept.find("Oracle")) << "only the first set is kept";

  own->setstring(Common::UserPassword::F_userName, "labadmin");
  job.SetSubclient("guestUserName", "someone");
  EXPECT_TRUE(worker.DiscoverApps()) << "the VM's own account comes first";

  description.other["apps"] = "";
  ASSERT_TRUE(lab::WriteVMDescription("vcenter", description, error)) << error;
  ASSERT_TRUE(lab::SetVMClientValue(7, "appsDiscovered", "before", error));
  EXPECT_TRUE(worker.DiscoverApps());
  EXPECT_EQ("before", client.getAppsDiscovered()) << "nothing found, nothing stored";

  ASSERT_TRUE(Fault("apps.DiscoverApps"));
  EXPECT_FALSE(worker.DiscoverApps());
  EXPECT_EQ(2u, job.LogCount("Failed to Discover Apps")) << "the refused login and the fault";
}

}  // namespace
