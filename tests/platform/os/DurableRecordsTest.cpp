// Every record the lab and the system promise to keep across a crash of the machine is synced: its bytes
// as they end up, and, for a name the write made, its folder after them (and the folder above each
// folder the write made for it). A sync left out reads the same
// until the machine crashes, so each write is judged from the syncs it made (ZtSyncLogForTest), as a
// crash right after it would judge it; a record of test state is not synced at all.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "platform/archive/ArchiveWriter.h"
#include "platform/index/TVMGUIDTable.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabTasks.h"
#include "platform/os/ZtSync.h"
#include "support/BackupTestSupport.h"
#include "support/TestLab.h"

namespace {

constexpr int64_t kJob = 1001;

// What a crash right after the write must leave of the record.
enum class Kept {
  kNothing,      // test state: neither the file nor its folder is synced
  kBytes,        // the file's bytes as they end up (its name was there before, or is not promised)
  kBytesAndName  // and the name the write made: its folder synced after the file's first sync
};

std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

// Empty when a crash of the machine right after the write keeps what `kept` promises of the record at
// `path`; else what it loses.
std::string LostByACrash(const std::vector<ZtSyncedFile>& syncs, const std::string& path, Kept kept) {
  struct stat file, folder;
  if (stat(path.c_str(), &file) != 0 || stat(FolderOf(path).c_str(), &folder) != 0) return "no record at " + path;
  int firstFileSync = -1, lastFileSync = -1, lastFolderSync = -1;
  for (size_t i = 0; i < syncs.size(); ++i) {
    const ZtSyncedFile& synced = syncs[i];
    if (!synced.folder && synced.device == file.st_dev && synced.inode == file.st_ino) {
      if (firstFileSync < 0) firstFileSync = static_cast<int>(i);
      lastFileSync = static_cast<int>(i);
    }
    if (synced.folder && synced.device == folder.st_dev && synced.inode == folder.st_ino)
      lastFolderSync = static_cast<int>(i);
  }
  if (kept == Kept::kNothing)
    return lastFileSync < 0 && lastFolderSync < 0 ? std::string() : "test state was synced";
  if (lastFileSync < 0) return "the record's bytes were never synced";
  const ZtSyncedFile& last = syncs[static_cast<size_t>(lastFileSync)];
  if (last.sizeBytes != file.st_size ||
      last.modifiedNanos != file.st_mtim.tv_sec * 1000000000LL + file.st_mtim.tv_nsec)
    return "the record changed after its last sync";
  if (kept == Kept::kBytesAndName && lastFolderSync < firstFileSync)
    return "the record's name was not synced after its bytes";
  return std::string();
}

// Empty when a crash of the machine right after the write keeps the entry of a folder the write made:
// the folder above it was synced; else what it loses.
std::string FolderLostByACrash(const std::vector<ZtSyncedFile>& syncs, const std::string& folder) {
  struct stat above;
  if (stat(FolderOf(folder).c_str(), &above) != 0) return "no folder above " + folder;
  for (const ZtSyncedFile& synced : syncs)
    if (synced.folder && synced.device == above.st_dev && synced.inode == above.st_ino) return std::string();
  return "the entry of folder " + folder + " was never synced";
}

// A full backup of vm01's first disk, written through a stream as a backup writes it, then the disk
// deleted by a stub: what a restore brings back.
void BackUpAndStubTheFirstDisk() {
  const std::string server = lab::SampleServer();
  lab::VMDescription vm;
  ASSERT_TRUE(lab::FindVM(server, "vm01", vm));
  const std::string image = lab::DiskImagePath(server, vm.disks[0].file);
  ASSERT_FALSE(testsupport::ReadDisk(image).empty());
  vsJobMgr job;
  job.setJobId(std::to_string(kJob));
  job.setMediaAgent(lab::SampleMediaAgent());
  ASSERT_NO_FATAL_FAILURE(
      archivetest::WriteFullBackup(job, vm.guid, {{lab::LabDiskIndexName(0, vm.disks[0].file), image}}));
  std::string error;
  ASSERT_TRUE(lab::UpdateVMDescription(server, "vm01", [&](lab::VMDescription& d, std::string& why) {
    return lab::DeleteVMDiskImage(server, d, 0, why);
  }, error)) << error;
}

std::string FirstDiskImage() {
  lab::VMDescription vm;
  return lab::FindVM(lab::SampleServer(), "vm01", vm) ? lab::DiskImagePath(lab::SampleServer(), vm.disks[0].file)
                                                       : std::string();
}

TEST(DurableRecords, EveryRecordPromisedToSurviveACrashIsSyncedAndTestStateIsNot) {
  struct Case {
    const char* record;
    Kept kept;
    // Sets the lab up before the syncs are watched (may be empty).
    std::function<void(testsupport::TestLab&)> prepare;
    // Writes the record; its path, or empty when the write failed (with the reason in `error`).
    std::function<std::string(testsupport::TestLab&, std::string& error)> write;
    // The folders the write made whose entries must survive a crash with the record (none when empty).
    std::vector<std::string> (*foldersMade)() = nullptr;
  };
  auto labWithOneVM = [](testsupport::TestLab& dir) {
    lab::LabPlan plan;
    plan.vms = 1;
    plan.clients = {"coordinator"};
    plan.diskBytes = 64 * 1024;
    ASSERT_TRUE(dir.Create(plan));
    ASSERT_TRUE(dir.UseJob(kJob));
  };
  auto appendLine = [](lab::Durability durability) {
    return [durability](testsupport::TestLab& dir, std::string& error) {
      const std::string path = dir.Path("lines.log");
      error = "cannot append to " + path;
      return lab::AppendLineLocked(path, "line", durability) ? path : std::string();
    };
  };
  auto indexTable = [](bool records) {
    return [records](testsupport::TestLab& dir, std::string& error) {
      const std::string path = dir.Path("VMtoGUID");
      TVMGUIDTable table;
      TVMGUIDRecord2 record;
      record.clear();
      SetRecordText(record.vmGuid, sizeof(record.vmGuid), "g2");
      const int rc = table.initialize(path, false) != 0 ? 1 : table.insert(record) != 0 ? 2 : table.close();
      error = "index table step failed: " + std::to_string(rc);
      return rc != 0 ? std::string() : records ? TCtreeTable::DataFile(path) : TCtreeTable::IndexFile(path);
    };
  };
  auto oldRecord = [](testsupport::TestLab& dir) {
    ASSERT_TRUE(lab::WriteFileAtomic(dir.Path("record.conf"), "a=1\n"));
  };
  const Case cases[] = {
      {"a record replaced", Kept::kBytesAndName, oldRecord,
       [](testsupport::TestLab& dir, std::string& error) {
         const std::string path = dir.Path("record.conf");
         return lab::WriteFileAtomic(path, "a=2\n", error) ? path : std::string();
       }},
      {"a record of test state replaced", Kept::kNothing, oldRecord,
       [](testsupport::TestLab& dir, std::string& error) {
         const std::string path = dir.Path("record.conf");
         return lab::WriteFileAtomic(path, "a=2\n", error, lab::Durability::kVolatile) ? path : std::string();
       }},
      {"a record changed under its lock", Kept::kBytesAndName, oldRecord,
       [](testsupport::TestLab& dir, std::string& error) {
         const std::string path = dir.Path("record.conf");
         auto change = [](std::string& text, bool, std::string&) { return text += "b=1\n", true; };
         return lab::UpdateFileLocked(path, change, error) ? path : std::string();
       }},
      {"a new disk image", Kept::kBytesAndName, nullptr,
       [](testsupport::TestLab& dir, std::string& error) {
         const std::string path = dir.Path("d.img");
         return lab::WriteImageAtomic(path, "boot", 1 << 20, error) ? path : std::string();
       }},
      {"a copy of a file", Kept::kBytesAndName, oldRecord,
       [](testsupport::TestLab& dir, std::string& error) {
         const std::string path = dir.Path("copy.conf");
         return lab::CopyFileAtomic(dir.Path("record.conf"), path, error) ? path : std::string();
       }},
      {"the first line of a durable log", Kept::kBytesAndName, nullptr, appendLine(lab::Durability::kDurable)},
      {"a later line of a durable log", Kept::kBytes,
       [](testsupport::TestLab& dir) { ASSERT_TRUE(lab::AppendLineLocked(dir.Path("lines.log"), "first")); },
       appendLine(lab::Durability::kDurable)},
      {"a line of a log of test state", Kept::kNothing, nullptr, appendLine(lab::Durability::kVolatile)},
      {"a whole line after a line cut short, the log's only one", Kept::kBytesAndName,
       [](testsupport::TestLab& dir) { ASSERT_TRUE(lab::AppendTornLineLocked(dir.Path("lines.log"), "first", 3)); },
       [](testsupport::TestLab& dir, std::string& error) {
         const std::string path = dir.Path("lines.log");
         error = "cannot append to " + path;
         return lab::AppendWholeLineLocked(path, "line", lab::Durability::kDurable) ? path : std::string();
       }},
      {"a VM's note of an archive file made for it", Kept::kBytesAndName, nullptr,
       [](testsupport::TestLab&, std::string& error) {
         return lab::RecordVMArchiveFile("ma1", kJob, "4C1F-VM1", 7, error)
                    ? lab::VMArchiveListPath("ma1", kJob, "4c1f-vm1")
                    : std::string();
       },
       // The job's first note made its notes' folder and the job's media folder: losing either loses it.
       [] { return std::vector<std::string>{FolderOf(lab::VMArchiveListPath("ma1", kJob, "4c1f-vm1")),
                                            lab::MediaJobDir("ma1", kJob)}; }},
      {"lines of a durable log from several threads", Kept::kBytesAndName, nullptr,
       [](testsupport::TestLab& dir, std::string& error) {
         const std::string path = dir.Path("lines.log");
         std::vector<std::thread> threads;
         std::atomic<int> failed{0};
         for (int t = 0; t < 4; ++t)
           threads.emplace_back([&, t] {
             for (int i = 0; i < 5; ++i)
               if (!lab::AppendLineLocked(path, std::to_string(t) + "." + std::to_string(i), lab::Durability::kDurable))
                 ++failed;
           });
         for (std::thread& thread : threads) thread.join();
         error = std::to_string(failed.load()) + " lines failed";
         return failed == 0 && lab::ReadLines(path).size() == 20 ? path : std::string();
       }},
      {"a VM's dispatch to an agent", Kept::kBytesAndName, nullptr,
       [](testsupport::TestLab&, std::string& error) {
         return lab::RecordVMDispatch(kJob, "4c1f-vm1", "proxya", error) ? lab::JobDir(kJob) + "/dispatches/4c1f-vm1"
                                                                           : std::string();
       }},
      {"a workflow task request", Kept::kBytesAndName, nullptr,
       [](testsupport::TestLab&, std::string& error) {
         int64_t number = 0;
         return lab::SpoolTaskRequest("<task/>", number, error) ? lab::TaskRequestFiles().back() : std::string();
       }},
      {"a guest write", Kept::kBytes, labWithOneVM,
       [](testsupport::TestLab&, std::string& error) {
         std::string changeId;
         const std::string image = FirstDiskImage();
         return lab::WriteDiskRanges(image, {{512, 4096}}, true, 7, changeId, error) ? image : std::string();
       }},
      {"the records of an index table closed", Kept::kBytes, nullptr, indexTable(true)},
      {"the index of an index table closed", Kept::kBytesAndName, nullptr, indexTable(false)},
      {"an archive file committed", Kept::kBytesAndName, nullptr,
       [](testsupport::TestLab&, std::string& error) {
         uint64_t id = 0;
         const std::string agent = "ma1";
         if (!lab::TakeArchiveFileId(agent, id, error) || !lab::MakeDirs(lab::MediaJobDir(agent, kJob)))
           return std::string();
         const std::string path = lab::ArchiveFilePath(agent, kJob, id);
         archive::ArchiveWriter writer;
         const std::string payload(64 * 1024, 'x');
         return writer.Create(path, error) &&
                        writer.Append(archive::RecordType::kData, "fields", payload.data(), payload.size(), error) &&
                        writer.Close(error)
                    ? path
                    : std::string();
       }},
      {"a stubbed disk restored", Kept::kBytesAndName,
       [&](testsupport::TestLab& dir) {
         labWithOneVM(dir);
         BackUpAndStubTheFirstDisk();
       },
       [](testsupport::TestLab&, std::string& error) {
         std::vector<std::string> restored;
         return lab::RestoreVMDisks(lab::SampleServer(), "vm01", 0, restored, error) && restored.size() == 1
                    ? FirstDiskImage()
                    : std::string();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    testsupport::TestLab dir;
    if (c.prepare) c.prepare(dir);
    if (::testing::Test::HasFatalFailure()) return;
    std::string path, error;
    std::vector<ZtSyncedFile> syncs;
    {
      ZtSyncLogForTest log;
      path = c.write(dir, error);
      syncs = log.Syncs();
    }
    ASSERT_FALSE(path.empty()) << error;
    EXPECT_EQ("", LostByACrash(syncs, path, c.kept)) << path;
    if (c.foldersMade != nullptr) {
      for (const std::string& folder : c.foldersMade()) EXPECT_EQ("", FolderLostByACrash(syncs, folder));
    }
  }
}

}  // namespace
