// The index client over the lab's index cache: VM files by job, the job's index, lookups of a VM's
// last backup; several writers for one subclient at once.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>

#include <thread>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/index/vsIndexClient.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/archive/ArchiveRestore.h"
#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabJob.h"
#include "records/messages/JobManagerMessages.h"
#include "support/ArchiveTestSupport.h"
#include "support/FedFifo.h"
#include "support/TestLab.h"

namespace {

const char* const kGuid = "sc-guid";
const char* const kVM = "5029aaaa-0000-4000-8000-000000000001";
constexpr int64_t kJob = 20;

class IndexCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lab_.ReplaceSubclient("4", std::string("subclientGUID=") + kGuid + "\n"));
    app_.setAppIdStr("4");
    ASSERT_EQ(0, app_.querySettings());
    ASSERT_TRUE(lab_.AddJob(kJob));
    job_.setJobId(std::to_string(kJob));
    ASSERT_FALSE(vsJobMgr::isError(job_.initBackup()));
    ASSERT_TRUE(lab::MakeDirs(Local()));
  }

  std::string Local() const { return lab_.Path("local"); }
  std::string Out(const std::string& name) const { return lab_.Path("out-" + name); }
  // A local file of the given content, as a worker writes it.
  std::string File(const std::string& name, const std::string& content) const {
    const std::string path = Local() + "/" + name;
    EXPECT_TRUE(lab::WriteFileAtomic(path, content));
    return path;
  }
  static std::string Read(const std::string& path) {
    std::string text;
    return lab::ReadFile(path, text) ? text : "<missing>";
  }
  // Marks a job's index as made by a backup of the level, finalised or not.
  static void IndexJob(int64_t jobId, int level, bool finalized) {
    std::string error;
    ASSERT_TRUE(lab::UpdateIndexJobRecord(kGuid, jobId, [&](lab::IndexJobRecord& record, std::string&) {
      record.level = level;
      record.finalized = finalized;
      return true;
    }, error)) << error;
  }
  // Uploaded by the job itself (the client's job for the while), as its own files.
  void Upload(const std::string& name, const std::string& content, int64_t jobId) {
    job_.setJobId(std::to_string(jobId));
    EXPECT_TRUE(client_.UploadVMMetadataFiles(kVM, {File(name, content)}, jobId, kGuid)) << client_.GetLastError();
    job_.setJobId(std::to_string(kJob));
  }

  testsupport::TestLab lab_;
  vsAppMgr app_;
  vsJobMgr job_;
  vsIndexClient client_{&job_, &app_, "ma1"};
};

TEST_F(IndexCacheTest, VMFilesOfJobZeroComeFromTheNewestJobAtOrAfterTheLastSuccessfulFull) {
  IndexJob(10, 1, true);   // the last successful full
  IndexJob(12, 1, false);  // a full that never finished does not count
  Upload("old.crc", "job 9", 9);
  Upload("disk.crc", "full", 10);
  Upload("only10.crc", "at the full", 10);
  Upload("disk.crc", "incremental", 14);
  // The running job's own, as an earlier attempt of it left them: no base of its backups.
  Upload("disk.crc", "an earlier attempt of the running job", kJob);
  Upload("only20.crc", "an earlier attempt of the running job", kJob);

  struct Case {
    std::string pattern;
    int64_t jobId;
    std::string file, content;  // empty file: no download
  } cases[] = {
      {"/some/folder/disk.crc", 0, "disk.crc", "incremental"},  // only the last component counts
      {"disk.crc", 10, "disk.crc", "full"},
      {"only10*", 0, "only10.crc", "at the full"},  // the last full itself is read
      {"old.crc", 0, "", ""},                       // one job before it is not
      {"old.crc", 9, "old.crc", "job 9"},           // unless asked for by id
      {"disk.crc", 11, "", ""},                     // a job without files of the VM
      {"only20.crc", 0, "", ""},                    // the running job's own are no last backup's
      {"only20.crc", kJob, "only20.crc", "an earlier attempt of the running job"},  // unless asked for by id
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern + " job " + std::to_string(c.jobId));
    const std::string out = Out(std::to_string(n++));
    ASSERT_TRUE(lab::MakeDirs(out));
    EXPECT_EQ(!c.file.empty(), client_.DownloadVMMetadataFile(kVM, c.pattern, out, c.jobId));
    if (!c.file.empty()) {
      EXPECT_EQ(c.content, Read(out + "/" + c.file));
    }
  }

  ASSERT_TRUE(lab::MakeDirs(Out("all")));
  ASSERT_TRUE(client_.DownloadVMMetadataFiles(kVM, Out("all"), 0, kGuid));
  EXPECT_EQ("incremental", Read(Out("all") + "/disk.crc"));
  EXPECT_FALSE(testsupport::Exists(Out("all") + "/only10.crc")) << "one job's files, not a mix";
  EXPECT_FALSE(client_.DownloadVMMetadataFiles(kVM, Out("all"), 11, kGuid));
  EXPECT_FALSE(client_.UploadVMMetadataFiles("../up", {File("x", "x")}, kJob, kGuid));
}

TEST_F(IndexCacheTest, SeveralProcessesRecordingForOneSubclientLoseNothing) {
  constexpr int kWriters = 6;
  std::vector<std::thread> writers;
  for (int t = 0; t < kWriters; ++t) {
    writers.emplace_back([this, t] {
      vsIndexClient own(&job_, &app_, "ma1");
      const std::string vm = "vm-" + std::to_string(t);
      const std::string file = File("meta" + std::to_string(t), std::string(100000, static_cast<char>('a' + t)));
      EXPECT_TRUE(own.UploadVMMetadataFiles(vm, {file}, kJob, kGuid));
      // Every writer replaces the job's shared file: a reader sees one whole version.
      EXPECT_EQ(1, own.UploadMetadataFiles({file}, kJob, kGuid));
      EXPECT_TRUE(own.AddVMGuid(vm, t % 2 == 0));
      EXPECT_TRUE(own.createIndex(false));
      EXPECT_TRUE(own.SendInImageFlag("\\" + vm, 0, true, 1, ""));
    });
  }
  for (std::thread& writer : writers) writer.join();

  lab::IndexJobRecord record;
  bool exists = false;
  std::string error;
  ASSERT_TRUE(lab::ReadIndexJobRecord(kGuid, kJob, record, exists, error)) << error;
  ASSERT_EQ(static_cast<size_t>(kWriters), record.vms.size());
  EXPECT_TRUE(record.vms["vm-0"]);
  EXPECT_FALSE(record.vms["vm-1"]);
  EXPECT_EQ(static_cast<size_t>(kWriters), lab::ReadIndexJobEntries(kGuid, kJob).size());
  for (int t = 0; t < kWriters; ++t) {
    std::string dir = lab::IndexVMJobDir(kGuid, "vm-" + std::to_string(t), kJob, error);
    EXPECT_EQ(100000u, Read(dir + "/meta" + std::to_string(t)).size());
  }
}

TEST_F(IndexCacheTest, JobIndexIsCreatedFinalisedAndTellsItsExtentNameForm) {
  bool fixed = false;
  EXPECT_TRUE(client_.GetUseFixedLengthExtentNames("/subclient", fixed));
  EXPECT_TRUE(fixed) << "a subclient without an index uses fixed-length names";
  EXPECT_FALSE(client_.GetUseFixedLengthExtentNames("", fixed));

  EXPECT_FALSE(client_.createIndex(true)) << "an index never created cannot be finalised";
  job_.setBkpLevel(1);
  client_.SetUseFixedLengthExtentNames(false);
  ASSERT_TRUE(client_.AddVMGuid("VM-A", true));
  ASSERT_TRUE(client_.createIndex(false));
  ASSERT_TRUE(client_.GetUseFixedLengthExtentNames("/subclient", fixed));
  EXPECT_FALSE(fixed);
  EXPECT_EQ(0, lab::LastSuccessfulFullJob(kGuid));
  ASSERT_TRUE(client_.createIndex(true));
  EXPECT_EQ(kJob, lab::LastSuccessfulFullJob(kGuid));

  // A later job without an index of its own asks the newest one.
  vsJobMgr later;
  ASSERT_TRUE(lab_.AddJob(21));
  later.setJobId("21");
  ASSERT_FALSE(vsJobMgr::isError(later.initBackup()));
  vsIndexClient other(&later, &app_, "ma1");
  fixed = true;
  ASSERT_TRUE(other.GetUseFixedLengthExtentNames("/subclient", fixed));
  EXPECT_FALSE(fixed);

  ASSERT_TRUE(client_.SendArchiveFileInfo(7, 1));
  ASSERT_TRUE(client_.SendInImageFlag("\\VM-A", 0, true, 1, "t"));
  EXPECT_FALSE(client_.SendInImageFlag("", 0, true, 1, ""));
  ASSERT_TRUE(client_.CommitArchiveFileInfo());
  const auto entries = lab::ReadIndexJobEntries(kGuid, kJob);
  ASSERT_EQ(3u, entries.size());
  EXPECT_EQ((std::vector<std::string>{"archiveFileInfo", "7", "1"}), entries[0]);
  EXPECT_EQ((std::vector<std::string>{"inImage", "\\VM-A", "0", "1", "1", "t"}), entries[1]);
  EXPECT_EQ(std::vector<std::string>{"commit"}, entries[2]);

  EXPECT_EQ(1, client_.Close());
  EXPECT_FALSE(client_.CommitArchiveFileInfo());
  EXPECT_EQ("the indexing connection is closed", client_.GetLastError());
}

TEST_F(IndexCacheTest, LookupsReadTheVMsLastBackup) {
  IdxMetadata::IdxMetaData metadata;
  std::string xml;
  ASSERT_TRUE(metadata.serialize(xml, true));
  std::string error;
  auto entry = [&](int64_t jobId, const std::vector<std::string>& fields) {
    ASSERT_TRUE(lab::AppendIndexVMEntry(kGuid, kVM, jobId, fields, error)) << error;
  };
  IndexJob(10, 1, true);
  // What the index hands out as a base stands on the media too.
  ASSERT_NO_FATAL_FAILURE(archivetest::WriteBackupOfDisks(14, kVM, 1, {"scsi0-0", "scsi0-1"}));
  entry(10, {"disk", "scsi0-0", "1"});
  entry(14, {"name", "vm one"});
  entry(14, {"disk", "scsi0-0", "7"});
  entry(14, {"disk", "scsi0-1", "8"});
  entry(14, {"meta", "vm", xml});
  entry(14, {"meta", "disk", "scsi0-1", xml});
  entry(14, {"extent", "SCSI0-1", "mft", "42", "bits"});
  entry(14, {"extent", "scsi0-1", "mount", "43", ""});
  entry(14, {"extent", "scsi0-0", "mft", "44", ""});

  std::map<std::string, unsigned long long> disks;
  EXPECT_FALSE(client_.LookupVMDisks(kVM, &disks)) << "not initialised";
  ASSERT_TRUE(client_.InitLookup());
  ASSERT_TRUE(client_.LookupVMDisks("vm one", &disks)) << "found by name too";
  EXPECT_EQ((std::map<std::string, unsigned long long>{{"scsi0-0", 7}, {"scsi0-1", 8}}), disks);
  EXPECT_FALSE(client_.LookupVMDisks("unknown", &disks));

  IdxMetadataByName byName;
  bool retryable = true, failed = true;
  ASSERT_TRUE(client_.GetVMMetadata("vm one", kVM, 1, &metadata, &byName, retryable, failed));
  EXPECT_EQ(1u, byName.count("SCSI0-1")) << "disk names compare without case";
  EXPECT_FALSE(client_.GetVMMetadata("unknown", "", 1, &metadata, &byName, retryable, failed));
  EXPECT_FALSE(retryable || failed) << "an unknown VM is no failed query";

  std::vector<std::string> seen;
  auto collect = [&seen](uint64_t extent, const std::string& bitmap) {
    seen.push_back(std::to_string(extent) + ":" + bitmap);
  };
  ASSERT_TRUE(client_.GetListOfMetadataExtents(7, "t", 4, kVM, "scsi0-1", true, collect));
  ASSERT_TRUE(client_.GetListOfMetadataExtents(7, "t", 4, kVM, "scsi0-1", false, collect));
  EXPECT_EQ((std::vector<std::string>{"42:bits", "43:"}), seen);

  // A newer backup replaces what the index knows of the VM as a whole; metadata that cannot be read
  // leaves the VM's last backup unknown (its next backup is a full one), not the query failed.
  entry(15, {"meta", "vm", "<not xml"});
  EXPECT_FALSE(client_.GetVMMetadata("vm one", kVM, 1, &metadata, &byName, retryable, failed));
  EXPECT_FALSE(retryable || failed);
  EXPECT_NE(std::string::npos, client_.GetLastError().find("cannot be read")) << client_.GetLastError();
  seen.clear();
  ASSERT_TRUE(client_.GetListOfMetadataExtents(7, "t", 4, kVM, "scsi0-1", true, collect));
  EXPECT_TRUE(seen.empty());
  ASSERT_TRUE(lab_.Fault("index.GetVMMetadata", 5));
  EXPECT_FALSE(client_.GetVMMetadata("vm one", kVM, 1, &metadata, &byName, retryable, failed));
  EXPECT_TRUE(retryable && failed);
}

// The index builds on a VM's last backup only where a restore would go down its chain, by the same
// records. Archives of an older writer record no links, so a backup builds on the VM's backup before
// it; the middle one of three is lost, its archives, their note and the index's record of it. When the job manager's record
// says that job backed the VM up, a restore refuses the chain, and the index gives no base (the next
// backup is a full one); when no record knows it, both read the chain around it alike.
TEST_F(IndexCacheTest, TheIndexBuildsOnAnOlderWritersChainOnlyWhereARestoreGoesDownIt) {
  struct Case {
    const char* name;
    int64_t reportedStatus;  // the job manager's status of the VM in the lost job; -1: no record
    bool whole;
  };
  const Case cases[] = {
      {"backed up", lab::kVMStatusBackedUp, false},
      {"backed up with errors", lab::kVMStatusBackedUpWithErrors, false},
      {"failed there", 1, true},
      {"no record of it", -1, true},
  };
  IdxMetadata::IdxMetaData vmRecord;
  std::string xml;
  ASSERT_TRUE(vmRecord.serialize(xml, true));
  int64_t full = 40;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const int64_t lost = full + 1, last = full + 2;
    std::string error;
    for (int64_t job = full; job <= last; ++job) {
      ASSERT_TRUE(lab_.AddJob(job));
      ASSERT_NO_FATAL_FAILURE(archivetest::WriteBackupOfDisks(job, kVM, job == full ? 1 : 2, {"scsi0-0"}));
      ASSERT_TRUE(lab::WriteIndexVMEntries(kGuid, kVM, job, {{"name", "vm one"}, {"disk", "scsi0-0", "1"},
                                                             {"meta", "vm", xml}, {"level", job == full ? "1" : "2"}},
                                           error))
          << error;
    }
    if (test.reportedStatus >= 0) {
      JobManager::VMUpdateInfo record;
      record.setint64(JobManager::VMUpdateInfo::F_vmStatus, test.reportedStatus);
      ASSERT_TRUE(lab::SaveVMStatus(lost, kVM, record, false, error)) << error;
    }
    for (const lab::ArchiveLocation& location : lab::ListVMArchiveFiles(lost, kVM))
      ASSERT_EQ(0, unlink(location.path.c_str()));
    ASSERT_EQ(0, unlink(lab::VMArchiveListPath("ma1", lost, kVM).c_str()));
    ASSERT_EQ(0, unlink((lab::IndexVMDir(kGuid, kVM, error) + "/" + std::to_string(lost) + ".idx").c_str()));

    IdxMetadata::IdxMetaData metadata;
    IdxMetadataByName byName;
    bool retryable = true, failed = true;
    const bool base = client_.GetVMMetadata(kVM, kVM, 1, &metadata, &byName, retryable, failed);
    EXPECT_FALSE(retryable || failed) << client_.GetLastError();
    archive::VMBackup backup;
    std::vector<std::string> notes;
    const bool restores = archive::ReassembleVM(lab::ReadVMArchives(kVM, last), kVM, last,
                                                lab::ReportedBackupsOfVM(kVM), backup, notes, error) &&
                          backup.brokenDisks.empty() && backup.disks.size() == 1;
    EXPECT_EQ(test.whole, restores) << error;
    EXPECT_EQ(test.whole, base) << client_.GetLastError();
    if (!test.whole) {
      EXPECT_NE(std::string::npos, client_.GetLastError().find("job " + std::to_string(lost) + "'s backup of the VM"))
          << client_.GetLastError();
    }
    full += 10;
  }
}

// A whole read (a restore, verify, the stub's check) that found an archive's data damaged leaves a
// record beside it, and the index's check before an incremental, which reads the archives' structure
// alone, knows the damage by that record only. A record that is there but cannot be read (a folder or
// a FIFO in its place, one this user may not open) still says the archive is damaged: the VM's next
// backup is a full one. A FIFO is refused at once, neither waited on nor read.
TEST_F(IndexCacheTest, ADamageRecordThatCannotBeReadStillKeepsTheNextBackupOffTheChain) {
  enum class Record { kNone, kWritten, kEmpty, kFolder, kFifo, kNotPermitted };
  struct Case {
    const char* name;
    Record record;
    const char* why;  // in the client's error; empty: the VM's backup is built on
  };
  const Case cases[] = {
      {"no record", Record::kNone, ""},
      {"the record a whole read wrote", Record::kWritten, "data differs from its digest at offset 96"},
      {"an empty record", Record::kEmpty, "a whole read found it not well formed"},
      {"a folder in its place", Record::kFolder, "not a regular file"},
      {"a FIFO in its place", Record::kFifo, "not a regular file"},
      // As root the record still reads; either way it says why it was made.
      {"a record that may not be opened", Record::kNotPermitted, "found by a whole read"},
  };
  IdxMetadata::IdxMetaData vmRecord;
  std::string xml;
  ASSERT_TRUE(vmRecord.serialize(xml, true));
  int64_t jobId = 60;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    ++jobId;
    std::string error;
    ASSERT_TRUE(lab_.AddJob(jobId));
    ASSERT_NO_FATAL_FAILURE(archivetest::WriteBackupOfDisks(jobId, kVM, 1, {"scsi0-0"}));
    ASSERT_TRUE(lab::WriteIndexVMEntries(kGuid, kVM, jobId, {{"name", "vm one"}, {"disk", "scsi0-0", "1"},
                                                             {"meta", "vm", xml}, {"level", "1"}},
                                         error))
        << error;
    const std::vector<lab::ArchiveLocation> archives = lab::ListVMArchiveFiles(jobId, kVM);
    ASSERT_EQ(1u, archives.size());
    const std::string record = archives[0].path + ".damaged";
    switch (test.record) {
      case Record::kNone: break;
      case Record::kWritten: ASSERT_TRUE(lab::WriteFileAtomic(record, std::string(test.why) + "\n")); break;
      case Record::kEmpty: ASSERT_TRUE(lab::WriteFileAtomic(record, "")); break;
      case Record::kFolder: ASSERT_TRUE(lab::MakeDirs(record)); break;
      case Record::kFifo: ASSERT_EQ(0, mkfifo(record.c_str(), 0600)); break;
      case Record::kNotPermitted:
        ASSERT_TRUE(lab::WriteFileAtomic(record, "data differs from its digest at offset 96\n"));
        ASSERT_EQ(0, chmod(record.c_str(), 0));
        break;
    }
    IdxMetadata::IdxMetaData metadata;
    IdxMetadataByName byName;
    bool retryable = true, failed = true;
    const auto query = [&] { return client_.GetVMMetadata(kVM, kVM, 1, &metadata, &byName, retryable, failed); };
    // A reader that opened the FIFO would be fed this line (and not hang), and take it for the record.
    const std::string fed = "fed through the FIFO";
    const bool base = test.record == Record::kFifo ? testsupport::WithFedFifo(record, fed + "\n", query) : query();
    EXPECT_EQ(*test.why == 0, base) << client_.GetLastError();
    EXPECT_FALSE(retryable || failed) << "a damaged chain is no failed query";
    if (*test.why != 0) {
      EXPECT_NE(std::string::npos, client_.GetLastError().find(test.why)) << client_.GetLastError();
      EXPECT_NE(std::string::npos, client_.GetLastError().find("job " + std::to_string(jobId)))
          << client_.GetLastError();
    }
    EXPECT_EQ(std::string::npos, client_.GetLastError().find(fed)) << "the FIFO was read";
  }
}

// A VM is found by the name its latest record gave, through the subclient's map of names, whatever
// the name holds; a name no record gave, or one whose VM the index no longer keeps, finds nothing.
TEST_F(IndexCacheTest, AVMIsFoundByTheNameItsLatestRecordGave) {
  const std::string other = "5029bbbb-0000-4000-8000-000000000002";
  const std::string longName = std::string(300, 'v') + "/%.";
  std::string error;
  for (const std::string& name : {std::string("vm one"), std::string(".hidden/..%2f"), longName}) {
    ASSERT_TRUE(lab::WriteIndexVMEntries(kGuid, kVM, 10, {{"name", name}, {"level", "1"}}, error)) << error;
    EXPECT_EQ(kVM, lab::FindIndexVM(kGuid, name)) << name;
  }
  EXPECT_EQ(kVM, lab::FindIndexVM(kGuid, "vm one")) << "an earlier name still names the VM";
  EXPECT_EQ("", lab::FindIndexVM(kGuid, std::string(300, 'v') + "/%,")) << "a long name cut alike is another";
  ASSERT_TRUE(lab::AppendIndexVMEntry(kGuid, other, 11, {"name", "vm one"}, error)) << error;
  EXPECT_EQ(other, lab::FindIndexVM(kGuid, "vm one")) << "the latest record names the VM";
  EXPECT_EQ(kVM, lab::FindIndexVM(kGuid, "5029AAAA-0000-4000-8000-000000000001")) << "a GUID in any case";
  EXPECT_EQ("", lab::FindIndexVM(kGuid, "vm two"));
  std::string folder = lab::IndexVMDir(kGuid, other, error);
  ASSERT_EQ(0, std::system(("rm -rf '" + folder + "'").c_str()));
  EXPECT_EQ("", lab::FindIndexVM(kGuid, "vm one")) << "the VM the map names is gone";
}

// The newest job holding any record of a VM, a child job (one VM's job) counted as the job it belongs
// to: what tells a later attempt of a job that a later job holds the VM.
TEST_F(IndexCacheTest, TheNewestJobHoldingAVMCountsAChildJobAsItsParent) {
  std::string error;
  int64_t newest = -1;
  ASSERT_TRUE(client_.GetVMNewestRecordJob(kVM, newest)) << client_.GetLastError();
  EXPECT_EQ(0, newest) << "a VM the index holds no record of";
  const struct {
    int64_t job, parent;  // parent 0: a job of its own
    int64_t newest;
  } records[] = {{10, 0, 10}, {12, 0, 12}, {11, 0, 12}, {900001, 11, 12}, {900002, 13, 13}, {14, 0, 14}};
  for (const auto& record : records) {
    if (record.parent > 0) {
      ASSERT_TRUE(lab::RecordIndexChildJob(kGuid, record.job, record.parent, error)) << error;
    }
    ASSERT_TRUE(lab::WriteIndexVMEntries(kGuid, kVM, record.job, {{"name", "vm one"}, {"level", "2"}}, error)) << error;
    ASSERT_TRUE(client_.GetVMNewestRecordJob(kVM, newest)) << client_.GetLastError();
    EXPECT_EQ(record.newest, newest) << "after the record of job " << record.job;
  }
}

// A VM's record that was cut short, changed or never sealed reads as damaged, never as fewer or other
// entries; the VM's last backup is then unknown rather than the query failed, and the client says why.
TEST_F(IndexCacheTest, ADamagedVMRecordIsAMissingOne) {
  IdxMetadata::IdxMetaData metadata;
  std::string xml, error;
  ASSERT_TRUE(metadata.serialize(xml, true));
  ASSERT_TRUE(lab::WriteIndexVMEntries(kGuid, kVM, 30, {{"name", "vm one"}, {"meta", "vm", xml}}, error)) << error;
  ASSERT_NO_FATAL_FAILURE(archivetest::WriteBackupOfDisks(30, kVM, 1));
  const std::string path = lab::IndexVMDir(kGuid, kVM, error) + "/30.idx";
  const std::string sealed = Read(path);
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"cut inside an entry", sealed.substr(0, sealed.size() / 2)},
      {"cut before the check line", sealed.substr(0, sealed.find("check\t"))},
      {"cut inside the check line", sealed.substr(0, sealed.size() - 3)},
      {"a byte of an entry changed", std::string(sealed).replace(sealed.find("vm one"), 1, "V")},
      {"an entry added after the check line", sealed + lab::FormatIndexEntry({"level", "1"}) + "\n"},
      {"empty", ""},
  };
  IdxMetadataByName byName;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    ASSERT_TRUE(lab::WriteFileAtomic(path, test.text));
    std::vector<std::vector<std::string>> entries = {{"stale"}};
    EXPECT_FALSE(lab::ReadIndexVMEntries(kGuid, kVM, 30, entries, error));
    EXPECT_TRUE(entries.empty());
    EXPECT_NE(std::string::npos, error.find("damaged")) << error;
    bool retryable = true, failed = true;
    EXPECT_FALSE(client_.GetVMMetadata(kVM, kVM, 1, &metadata, &byName, retryable, failed));
    EXPECT_FALSE(retryable || failed);
    EXPECT_NE(std::string::npos, client_.GetLastError().find("damaged")) << client_.GetLastError();
    EXPECT_FALSE(lab::AppendIndexVMEntry(kGuid, kVM, 30, {"level", "1"}, error)) << "nothing is added to it";
  }
  // Written whole again, the record reads back with every entry; appends keep it sealed.
  ASSERT_TRUE(lab::WriteFileAtomic(path, sealed));
  ASSERT_TRUE(lab::AppendIndexVMEntry(kGuid, kVM, 30, {"level", "1"}, error)) << error;
  std::vector<std::vector<std::string>> entries;
  ASSERT_TRUE(lab::ReadIndexVMEntries(kGuid, kVM, 30, entries, error)) << error;
  EXPECT_EQ(3u, entries.size());
  bool retryable = true, failed = true;
  EXPECT_TRUE(client_.GetVMMetadata(kVM, kVM, 1, &metadata, &byName, retryable, failed)) << client_.GetLastError();
}

TEST(IndexEntry, FieldsRoundTripAndMalformedLinesAreRefused) {
  const std::vector<std::string> fields = {"meta", "a\tb", "line\nbreak\r", "back\\slash", "",
                                          "\\\t\n\r", std::string(70000, 'x') + "\\" + std::string(3, '\t')};
  std::vector<std::string> parsed;
  ASSERT_TRUE(lab::ParseIndexEntry(lab::FormatIndexEntry(fields), parsed));
  EXPECT_EQ(fields, parsed);
  for (const char* bad : {"", "trailing\\", "bad\\x"}) EXPECT_FALSE(lab::ParseIndexEntry(bad, parsed)) << bad;
}

}  // namespace
