// The incremental-state files one by one: their names, the upgrade of files of the older naming
// scheme, what a change-id file holds and who may read it, failures that leave the item to a full
// backup, and the state files of file collections.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "disklayout/QuarnCRCFile.h"
#include "disklayout/QuarnChangeIdFile.h"
#include "disklayout/QuarnFileCollectionStateFiles.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabHistory.h"
#include "platform/lab/LabIndex.h"
#include "support/RoadTestSupport.h"

namespace {

using roadtest::Job;
using Names = std::vector<std::string>;

class DataFileTest : public ::testing::Test {
 protected:
  DataFileTest() {
    roadtest::MakeLab(lab_);
    job_.reset(new Job(1001, 2));
    job_->worker->TEST_SetCurrentVM(&job_->vm);
    dir_ = job_->worker->GetSubclientDirectory();
  }
  ~DataFileTest() override { QuarnRegistry::TEST_Unload(); }

  // A job of the subclient that ended well.
  static void History(int64_t id, int level) {
    std::string error;
    ASSERT_TRUE(lab::RecordSuccessfulJob("1", lab::HistoryJob{id, level, false}, error)) << error;
  }
  std::string Local(const std::string& name) const { return dir_ + "/" + name; }
  void Put(const std::string& name, const std::string& content) {
    std::ofstream(Local(name), std::ios::binary) << content;
  }
  Names Queued() const { return job_->vm.metadataFiles; }

  testsupport::TestLab lab_{"coordinator"};
  std::unique_ptr<Job> job_;
  std::string dir_;
};

TEST_F(DataFileTest, NamesOfEveryKindOldNamesAndPatterns) {
  History(57, 1);
  History(58, 2);
  QuarnDataFile file(job_->worker.get());
  file.GenerateFilePaths(DATA_FILE_CHANGE_ID, "vm1", "disk1", ".ztf", 18);
  file.GenerateFilePaths(DATA_FILE_CRC, "vm1", "disk1", ".dat", 18);
  file.GenerateFilePaths(DATA_FILE_CRC, "vm1", "", ".idx", 0);
  EXPECT_EQ((Names{Local("vsidaCHGID_(vm1)_(disk1_ZTFULL).ztf"), Local("vsidaCRC_(vm1)_(disk1_VCB4_ZTFULL).dat"),
                   Local("vsidaCRC_(vm1)_ZTFULL.idx")}),
            file.CurrentFullNames()) << "only a checksum table of disk type 18 carries _VCB4";
  EXPECT_EQ(Local("vsidaCRC_(vm1)_(disk1_VCB4_ZTINCR).dat"), file.CurrentIncrementalNames()[1]);
  EXPECT_EQ((Names{Local("vsidaCHGID_57_(vm1)_(disk1)"), Local("vsidaCRC_57_(vm1)_(disk1_VCB4).dat"),
                   Local("vsidaCRC_57_(vm1)_().idx")}),
            file.OldFullNames()) << "change ids of the older scheme have no extension";
  EXPECT_EQ(Local("vsidaCHGID_58_(vm1)_(disk1)"), file.OldIncrementalNames()[0]);
  EXPECT_EQ((Names{Local("vsidaEXTSZ_*_(vm1)_(disk1).ztf"), Local("vsidaCHGID_*_(vm1)_(disk1)"),
                   Local("vsidaCRC_*_(vm1)_(disk1_VCB4).dat"), Local("vsidaCRC_*_(vm1)_().idx")}),
            file.OldNamePatterns());
  EXPECT_EQ("a_(d_ZTINCR)_TEMP.ztf", QuarnDataFile::GenerateTempFileName("a_(d_ZTINCR).ztf"));
  EXPECT_EQ("/x.y/a_TEMP", QuarnDataFile::GenerateTempFileName("/x.y/a"));

  QuarnCRCFile v2(job_->worker.get(), true);
  Put("vsidaCRC_(vm1)_(d).dat", "stale");
  std::string path;
  v2.GenerateFilePath_V2(DATA_FILE_CHANGE_ID, "vm1", "d", 0, path);
  EXPECT_EQ(Local("vsidaCRC_(vm1)_(d)"), path);
  EXPECT_FALSE(testsupport::Exists(Local("vsidaCRC_(vm1)_(d).dat"))) << "stale V2 files are deleted";
}

TEST_F(DataFileTest, FilesOfTheOlderSchemeAreUpgradedAndTheFullOnesUploaded) {
  History(57, 1);
  History(58, 2);
  Put("vsidaCHGID_57_(vm1)_(disk1)", "full-id");
  Put("vsidaCHGID_58_(vm1)_(disk1)", "incr-id");
  QuarnChangeIdFile ids(job_->worker.get());
  std::string id;
  ASSERT_TRUE(ids.ReadChangeID("vm1", "disk1", id));
  EXPECT_EQ("incr-id", id) << "an incremental job reads the incremental id";
  EXPECT_NE(std::string::npos, lab_.Log().find("Upgrading 9.0 files to 10.0"));
  ASSERT_TRUE(ids.WriteChangeID("vm1", "disk1", "new-id", false));
  EXPECT_EQ((Names{Local("vsidaCHGID_(vm1)_(disk1_ZTINCR).ztf"), Local("vsidaCHGID_(vm1)_(disk1_ZTFULL).ztf")}),
            Queued()) << "the upgraded full file goes up with the output";
  EXPECT_FALSE(testsupport::Exists(Local("vsidaCHGID_(vm1)_(disk1_ZTINCR)_TEMP.ztf"))) << "the input is gone";

  // Incremental files without the full one's: upgraded all the same, and said.
  Put("vsidaCHGID_58_(vm1)_(disk2)", "incr-2");
  QuarnChangeIdFile second(job_->worker.get());
  ASSERT_TRUE(second.ReadChangeID("vm1", "disk2", id));
  EXPECT_EQ("incr-2", id);
  EXPECT_NE(std::string::npos,
            lab_.Log().find("Change ID files are present for incremental jobs but missing for Full Job"));
}

TEST_F(DataFileTest, ChangeIdFileHoldsTheIdsBytesForItsOwnerOnlyAndAFailedWriteCommitsNothing) {
  QuarnChangeIdFile ids(job_->worker.get());
  std::string id = "x";
  ASSERT_TRUE(ids.ReadChangeID("vm1", "disk1", id));
  EXPECT_EQ("", id) << "a first job uses no id";
  EXPECT_NE(std::string::npos, lab_.Log().find("Not using a Change ID for vm1\\disk1"));
  ASSERT_TRUE(ids.WriteChangeID("ignored", "ignored", "abc", true));
  for (const char* kind : {"_ZTFULL", "_ZTINCR"}) {
    const std::string path = Local(std::string("vsidaCHGID_(vm1)_(disk1") + kind + ").ztf");
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ("abc", std::string(std::istreambuf_iterator<char>(in), {})) << "exactly the three bytes";
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777u) << "readable and writable by its owner";
  }
  EXPECT_EQ(2u, Queued().size()) << "with all names, both are uploaded";

  // A name that cannot be created: false, and nothing of it is queued.
  job_->vm.metadataFiles.clear();
  QuarnChangeIdFile blocked(job_->worker.get());
  EXPECT_FALSE(blocked.WriteChangeID("no/such/folder", "disk9", "id", true)) << "its name lies in no folder";
  EXPECT_TRUE(Queued().empty());
  EXPECT_NE(std::string::npos, lab_.Log().find("Failed to create change id file"));

  QuarnChangeIdFile none(job_->worker.get());
  none.ForceFullBackup();
  EXPECT_TRUE(none.WriteChangeID("vm1", "disk3", "", false)) << "an empty id is an empty file";
}

TEST_F(DataFileTest, ChecksumTablesThatCannotBeMadeLeaveTheDiskToAFullBackup) {
  QuarnCRCFile crcs(job_->worker.get());
  TVMCRCTable* previous = nullptr;
  TVMCRCTable* current = nullptr;
  ASSERT_TRUE(lab_.Fault("crctable.initialize", 5));
  EXPECT_FALSE(crcs.InitCRCTables("vm1", "disk1", 2, previous, current));
  EXPECT_EQ(nullptr, current);
  EXPECT_NE(std::string::npos, lab_.Log().find("Failed to initialize check sum tables, so this next job will run as full"));

  // This job's table is written but not kept: false, and nothing of it goes up.
  job_->vm.metadataFiles.clear();
  QuarnCRCFile second(job_->worker.get());
  previous = nullptr;
  ASSERT_TRUE(second.InitCRCTables("vm1", "disk1", 2, previous, current));
  EXPECT_EQ(nullptr, previous) << "a first job has no previous table";
  ASSERT_TRUE(lab_.Fault("crctable.close", 5));
  EXPECT_FALSE(second.CloseCRCTables("vm1", "disk1", 2, previous, current));
  EXPECT_EQ(nullptr, current);
  EXPECT_TRUE(Queued().empty());

  // With V2 only the previous table is made; nothing is uploaded at close.
  QuarnCRCFile v2(job_->worker.get(), true);
  ASSERT_TRUE(v2.InitCRCTables("vm1", "disk1", 2, previous, current));
  ASSERT_NE(nullptr, previous);
  EXPECT_EQ(nullptr, current);
  EXPECT_TRUE(v2.CloseCRCTables("vm1", "disk1", 2, previous, current));
  EXPECT_TRUE(Queued().empty());
}

TEST_F(DataFileTest, FileCollectionStateFilesNeedV2AndComeFromTheNewestJob) {
  QuarnFileCollectionStateFiles v1(job_->worker.get(), false);
  v1.AddStateFile("fc.state");
  EXPECT_FALSE(v1.DownloadStateFiles());
  EXPECT_FALSE(v1.UploadStateFiles());
  EXPECT_FALSE(v1.DeleteStateFiles());

  QuarnFileCollectionStateFiles v2(job_->worker.get(), true);
  EXPECT_TRUE(v2.AddStateFile("fc.state"));
  EXPECT_EQ(Names{Local("fc.state")}, v2.StateFilePaths());
  EXPECT_EQ(0, v2.GetPreviousJob());
  EXPECT_TRUE(v2.DownloadStateFiles()) << "a first backup has nothing to fetch";
  EXPECT_NE(std::string::npos, lab_.Log().find("This is the first Backup Job for this File Collection"));
  EXPECT_FALSE(v2.UploadStateFiles()) << "nothing is queued unless every file exists";
  Put("fc.state", "s");
  EXPECT_TRUE(v2.UploadStateFiles());
  EXPECT_EQ(Names{Local("fc.state")}, Queued());
  History(40, 1);
  History(41, 2);
  EXPECT_EQ(41, v2.GetPreviousJob());
  EXPECT_TRUE(v2.DeleteStateFiles());
  EXPECT_FALSE(testsupport::Exists(Local("fc.state")));
  EXPECT_FALSE(v2.DownloadStateFiles()) << "job 41 left no such file";
  // Job 41's copy lands where the collection reads it, in the job-results directory.
  std::string error;
  const std::string cached = lab::IndexVMJobDir(job_->appMgr.getSubclientGUID(), roadtest::kVMGuid, 41, error);
  ASSERT_TRUE(lab::MakeDirs(cached)) << error;
  ASSERT_TRUE(lab::WriteFileAtomic(cached + "/fc.state", "state of 41"));
  EXPECT_TRUE(v2.DownloadStateFiles());
  std::string content;
  EXPECT_TRUE(lab::ReadFile(Local("fc.state"), content));
  EXPECT_EQ("state of 41", content);
}

}  // namespace
