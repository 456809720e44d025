// The stand-ins the coordinator calls: the result file, the job manager's VM status list and job
// data, the index cache, the subclient folder and copies to another client's folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/index/vsIndexClient.h"
#include "platform/jobclient/SubclientDir.h"
#include "platform/jobmgr/StoreResults.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/os/CPxFile.h"
#include "platform/lab/LabCoordinator.h"
#include "records/messages/JobManagerMessages.h"
#include "support/TestLab.h"

namespace {

using Info = JobManager::VMUpdateInfo;
constexpr int64_t kJob = 501;

class CoordinatorServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lab::JobRecord record;
    record.other = {{"vm.7.jobId", "9001"},
                    {"vm.7.priority", "3"},
                    {"vm.7.lastSuccess", "1700000000"},
                    {"vm.7.failureReason", "no pseudo job"},
                    {"additionalStreams", "2"}};
    ASSERT_TRUE(lab_.AddJob(kJob, record));
    job_.setJobId(std::to_string(kJob));
    ASSERT_FALSE(vsJobMgr::isError(job_.initBackup()));
  }

  static Info Record(const std::string& guid, int status) {
    Info info;
    info.setstring(Info::F_recordGuid, guid);
    info.setint64(Info::F_vmStatus, status);
    return info;
  }

  testsupport::TestLab lab_;
  vsJobMgr job_;
};

TEST_F(CoordinatorServicesTest, ResultFileKeepsEveryLineOfConcurrentWriters) {
  StoreResults results(1, kJob, true, nullptr);
  EXPECT_TRUE(results.putLine("too early", true)) << "true means failure";
  ASSERT_FALSE(results.openFile(1, true, false));
  std::vector<std::thread> writers;
  for (int t = 0; t < 8; ++t) {
    writers.emplace_back([&results, t] {
      for (int i = 0; i < 50; ++i)
        EXPECT_FALSE(results.putLine("vm" + std::to_string(t) + " Failed line " + std::to_string(i), true));
    });
  }
  for (std::thread& writer : writers) writer.join();
  ASSERT_FALSE(results.putLine("vm9 Failed two\nlines", true));
  std::vector<std::string> lines = StoreResults::ReadLines(kJob);
  ASSERT_EQ(401u, lines.size());
  EXPECT_EQ("vm9 Failed two lines", lines.back());
  for (const std::string& line : lines) EXPECT_EQ(0u, line.rfind("vm", 0)) << line;
  results.closeFile();
  EXPECT_TRUE(results.putLine("after close", true));

  StoreResults noJob(1, 0, true, nullptr);
  EXPECT_TRUE(noJob.openFile(1, true, false));
}

TEST_F(CoordinatorServicesTest, StatusListAndKeptRecords) {
  CNMessageList list;
  ASSERT_EQ(0, job_.getVMBkpJobStatus(1, list));
  EXPECT_TRUE(list.empty());
  CNMessageList records;
  records.emplace_back(Record("GUID-B", 4));
  records.emplace_back(Record("guid-a", 2));
  ASSERT_EQ(0, job_.updateVMBkpJobStatus(1, records));
  ASSERT_EQ(0, job_.getVMBkpJobStatus(1, list));
  ASSERT_EQ(2u, list.size());
  EXPECT_EQ("guid-a", list[0]->getstring(Info::F_recordGuid));
  EXPECT_EQ(Info::TAG, list[1]->getTagID());

  // Changes kept inside the client, from several threads, reach the job manager on the flush only.
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([this, t] {
      const std::string guid = "guid-t" + std::to_string(t);
      job_.setVMStatusVMName(guid, "vm" + std::to_string(t), "esx1");
      job_.setVMStatusClientId(guid, 100 + t);
      job_.setVMStatusState(guid, 1, "reason " + std::to_string(t));
    });
  }
  for (std::thread& thread : threads) thread.join();
  job_.setVMStatusState("GUID-B", 1, "Maximum job attempts exceeded");
  job_.resetVMStatus("guid-a");
  EXPECT_EQ(2u, vsJobMgr::ReadVMStatusGuids(kJob).size());
  ASSERT_TRUE(job_.updateVMBkpJobStatus(1, true));
  EXPECT_EQ(8u, vsJobMgr::ReadVMStatusGuids(kJob).size());
  Info info;
  ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJob, "guid-t4", info));
  EXPECT_EQ("vm4", info.getstring(Info::F_vmName));
  EXPECT_EQ(104, info.getint64(Info::F_clientId));
  EXPECT_EQ("reason 4", info.getstring(Info::F_failureText));
  ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJob, "guid-b", info));
  EXPECT_EQ(1, info.getint64(Info::F_vmStatus)) << "the kept change starts from the stored record";
  ASSERT_TRUE(vsJobMgr::ReadVMStatus(kJob, "guid-a", info));
  EXPECT_EQ(0, info.getint64(Info::F_vmStatus)) << "a reset record holds its GUID only";

  // A record that cannot be read makes the list an error, never a partial list.
  ASSERT_TRUE(lab::WriteFileAtomic(lab::VMStatusPath(kJob, "guid-c"), "<broken"));
  EXPECT_TRUE(vsJobMgr::isError(job_.getVMBkpJobStatus(1, list)));
  // A record whose GUID cannot name a file is not kept.
  CNMessageList bad;
  bad.emplace_back(Record("../escape", 4));
  EXPECT_NE(0, job_.updateVMBkpJobStatus(1, bad));
}

TEST_F(CoordinatorServicesTest, PerVMJobDataStreamsAndFlags) {
  EXPECT_EQ(9001, job_.GetVMJobId(7));
  EXPECT_EQ(kJob, job_.GetVMJobId(8)) << "without a VM job of its own a VM is in the job's";
  EXPECT_EQ(3u, job_.GetVMJobPriority(7));
  EXPECT_EQ(0xFFFFFFFFu, job_.GetVMJobPriority(8));
  EXPECT_EQ(1700000000, job_.GetVMJobLastSuccessTime(7));
  EXPECT_EQ("no pseudo job", job_.GetVMFailureReason(7));

  int received = 0;
  ASSERT_EQ(0, job_.allocateAdditionalStreams(3));
  ASSERT_EQ(0, job_.checkStatusOfAdditionalResourceRequest(received));
  EXPECT_EQ(2, received) << "the job grants at most its setting";
  ASSERT_EQ(0, job_.checkStatusOfAdditionalResourceRequest(received));
  EXPECT_EQ(0, received) << "an answered request is closed";
  EXPECT_TRUE(vsJobMgr::isError(job_.allocateAdditionalStreams(0)));
  EXPECT_EQ(0, job_.freeStream(1, 11, 21));

  EXPECT_FALSE(job_.checkVMQuitFlag());
  ASSERT_TRUE(lab::RequestVMQuit(kJob));
  EXPECT_TRUE(job_.checkVMQuitFlag());
  EXPECT_FALSE(job_.isJobCommittable());
  EXPECT_TRUE(job_.setJobCommittable());
  EXPECT_TRUE(job_.isJobCommittable());
}

TEST_F(CoordinatorServicesTest, IndexCacheByNameByPatternAndFromSeveralWriters) {
  const std::string local = lab_.Root() + "/local";
  ASSERT_TRUE(lab::MakeDirs(local));
  ASSERT_TRUE(lab::WriteFileAtomic(local + "/vmcollect.ztf", "first"));
  vsIndexClient client(nullptr, nullptr, "ma1");
  EXPECT_EQ("ma1", client.GetMediaAgentClientName());
  ASSERT_EQ(1, client.UploadMetadataFiles({local + "/vmcollect.ztf"}, 10, "sc-guid"));
  ASSERT_TRUE(lab::WriteFileAtomic(local + "/vmcollect.ztf", "second"));
  ASSERT_EQ(1, client.UploadMetadataFiles({local + "/vmcollect.ztf"}, 12, "sc-guid"));

  // Several processes of a job upload for the same subclient at once: nothing is lost.
  std::vector<std::thread> uploaders;
  for (int t = 0; t < 4; ++t) {
    uploaders.emplace_back([&, t] {
      const std::string file = local + "/meta" + std::to_string(t) + ".dat";
      ASSERT_TRUE(lab::WriteFileAtomic(file, "m" + std::to_string(t)));
      vsIndexClient own(nullptr, nullptr, "ma1");
      EXPECT_EQ(1, own.UploadMetadataFiles({file}, 12, "sc-guid"));
    });
  }
  for (std::thread& uploader : uploaders) uploader.join();

  const std::string out = lab_.Root() + "/out";
  ASSERT_TRUE(lab::MakeDirs(out));
  EXPECT_TRUE(client.DownloadMetadataFilesFromRemoteCache({"vmcollect.ztf", "meta3.dat"}, out, 12, "sc-guid", ""));
  std::string text;
  ASSERT_TRUE(lab::ReadFile(out + "/meta3.dat", text));
  EXPECT_EQ("m3", text);
  EXPECT_FALSE(client.DownloadMetadataFilesFromRemoteCache({"vmcollect.ztf"}, out, 11, "sc-guid", ""));
  EXPECT_FALSE(client.DownloadMetadataFilesFromRemoteCache({"../job.conf"}, out, 12, "sc-guid", ""));
  EXPECT_EQ(0, client.UploadMetadataFiles({local + "/missing"}, 12, "sc-guid"));
  EXPECT_EQ(0, client.UploadMetadataFiles({local + "/vmcollect.ztf"}, 12, "../up"));
  EXPECT_EQ(0, client.UploadMetadataFiles({local + "/vmcollect.ztf"}, 0, "sc-guid"));

  // By pattern the newest job's copy is taken.
  vsAppMgr app;
  ASSERT_TRUE(lab_.ReplaceSubclient("4", "subclientGUID=sc-guid\n"));
  app.setAppIdStr("4");
  ASSERT_EQ(0, app.querySettings());
  vsIndexClient byPattern(nullptr, &app, "ma1");
  ASSERT_TRUE(byPattern.DownloadMetadataFile("vmcollect.ztf*", out));
  ASSERT_TRUE(lab::ReadFile(out + "/vmcollect.ztf", text));
  EXPECT_EQ("second", text);
  EXPECT_FALSE(byPattern.DownloadMetadataFile("nothing*", out));

  std::vector<std::string> names;
  EXPECT_FALSE(byPattern.Lookup(names, false)) << "not initialised";
  ASSERT_TRUE(byPattern.InitLookup());
  EXPECT_TRUE(byPattern.Lookup(names, false));
  EXPECT_TRUE(names.empty());
}

TEST_F(CoordinatorServicesTest, SubclientFolderFitsItsRecordAtTheLimitAndNotOnePast) {
  subclientFiles files;
  lab::SetFocusClient("c");
  EXPECT_EQ(-1, GetSubclientDirAndFiles(1, 0, &files, 1, nullptr));
  ASSERT_EQ(0, GetSubclientDirAndFiles(1, 4, &files, 1, nullptr));
  EXPECT_EQ(lab::SubclientJobResultsDir("c", "4"), files.files[0]);
  EXPECT_STREQ(files.files[0], files.subclientDir);

  // A lab root deep enough that the folder text is 1023 characters (the record's limit) and one more.
  const size_t tail = lab::SubclientJobResultsDir("c", "4").size() - lab_.Root().size();
  for (size_t extra : {0u, 1u}) {
    std::string root = lab_.Root() + "/deep" + std::to_string(extra);
    while (root.size() + tail + 210 < 1023) root += "/" + std::string(199, 'd');
    root += "/" + std::string(1023 - tail - root.size() - 1 + extra, 'e');
    ASSERT_EQ(1023 + extra, root.size() + tail);
    lab::SetRoot(root);
    subclientFiles deep;
    EXPECT_EQ(extra == 0 ? 0 : -1, GetSubclientDirAndFiles(1, 4, &deep, 1, nullptr)) << extra;
  }
  lab::SetRoot(lab_.Root());
  lab::SetFocusClient(std::string());
}

TEST_F(CoordinatorServicesTest, CopiesToAnotherClientStayInsideItsFolder) {
  const std::string source = lab::SubclientJobResultsDir("coord", "1");
  const std::string target = lab::SubclientJobResultsDir("proxyA", "1");
  ASSERT_TRUE(lab::MakeDirs(source) && lab::MakeDirs(target));
  ASSERT_TRUE(lab::WriteFileAtomic(source + "/vmcollect.ztf", "list"));
  ASSERT_EQ(0, symlink("/tmp", (target + "/escape").c_str()));

  ZtCopyFile copier;
  EXPECT_TRUE(copier.GetConnection("nobody", "coord", false).IsError());
  EXPECT_TRUE(copier.GetConnection("../clients", "coord", false).IsError());
  ASSERT_FALSE(copier.GetConnection("proxyA", "coord", false).IsError());
  auto copy = [&](const std::string& file, const std::string& to) {
    ztsFilexferRequest request;
    std::snprintf(request.sourceFolder, sizeof(request.sourceFolder), "%s", source.c_str());
    std::snprintf(request.fileName, sizeof(request.fileName), "%s", file.c_str());
    std::snprintf(request.destinationFolder, sizeof(request.destinationFolder), "%s", to.c_str());
    return copier.CopySingleFile(request, false);
  };
  EXPECT_FALSE(copy("vmcollect.ztf", target).IsError());
  EXPECT_TRUE(CPxFile::Exists(target + "/vmcollect.ztf"));
  EXPECT_TRUE(copy("vmcollect.ztf", source).IsError()) << "another client's folder";
  EXPECT_TRUE(copy("vmcollect.ztf", target + "/escape").IsError()) << "a link out of the folder";
  EXPECT_TRUE(copy("vmcollect.ztf", target + "/../../proxyA").IsError()) << "the client folder itself is no target";
  EXPECT_TRUE(copy("../1/vmcollect.ztf", target).IsError());
  EXPECT_TRUE(copy("missing", target).IsError());
}

}  // namespace
