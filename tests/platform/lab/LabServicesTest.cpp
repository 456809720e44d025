// The lab's records of the hypervisor's datastores and shared shadows, the management server's jobs,
// tasks and child-job links, the session registry, agent creation and the job token: limits at the
// limit and one past it, and what a reader refuses.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <thread>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/jobclient/JobToken.h"
#include "platform/lab/LabAgent.h"
#include "platform/lab/LabAutoScale.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabSessions.h"
#include "platform/lab/LabTasks.h"
#include "support/TestLab.h"

namespace {

TEST(LabDatastoreRecord, FiguresAtTheirLimits) {
  const std::string max = std::to_string(INT64_MAX);
  struct Case {
    std::string text;
    bool valid;
  } cases[] = {
      {"capacityBytes=100\nfreeBytes=100", true},  // free space up to the capacity
      {"capacityBytes=100\nfreeBytes=101", false},
      {"capacityBytes=0\nfreeBytes=0", true},  // a datastore that reports no size
      {"capacityBytes=" + max + "\nfreeBytes=" + max, true},
      {"capacityBytes=9223372036854775808\nfreeBytes=0", false},
      {"capacityBytes=-1\nfreeBytes=0", false},
      {"capacityBytes=1TB", false},
  };
  for (const Case& c : cases) {
    lab::DatastoreRecord record;
    std::string error;
    EXPECT_EQ(c.valid, lab::ParseDatastoreRecord(c.text, record, error)) << c.text;
  }

  testsupport::TestLab lab;
  ASSERT_TRUE(lab.Create());
  lab::DatastoreRecord record;
  std::string error;
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadDatastoreRecord(lab::SampleServer(), "ds1", record, error)) << error;
  EXPECT_EQ(2LL << 40, record.capacityBytes);
  EXPECT_EQ(lab::RecordRead::kMissing, lab::ReadDatastoreRecord(lab::SampleServer(), "ds9", record, error));
  EXPECT_EQ(lab::RecordRead::kMissing, lab::ReadDatastoreRecord(lab::SampleServer(), "../ds1", record, error));
  record.freeBytes = record.capacityBytes + 1;
  EXPECT_FALSE(lab::WriteDatastoreRecord(lab::SampleServer(), "ds1", record, error));
}

TEST(LabSharedShadows, ADeletionTakesBackOnlyTheShadowItNames) {
  testsupport::TestLab lab;
  ASSERT_TRUE(lab.Create());
  const std::string server = lab::SampleServer();
  ASSERT_TRUE(lab::AppendSharedShadowCreation(server, "coordinator", "s1", server, {"g1", "g2"}));
  ASSERT_TRUE(lab::AppendSharedShadowCreation(server, "coordinator", "s2", server, {"g3"}));
  ASSERT_TRUE(lab::AppendSharedShadowDeletion(server, "coordinator", "s1", server));
  ASSERT_TRUE(lab::AppendSharedShadowDeletion(server, "coordinator", "s9", server));
  EXPECT_EQ(std::vector<std::string>{"s2"}, lab::StandingSharedShadows(server));
  EXPECT_EQ("create coordinator s1 " + server + " g1,g2", lab::ReadSharedShadowLog(server).front());
}

TEST(LabServerJobs, StatesChildrenAndTasks) {
  testsupport::TestLab lab;
  ASSERT_TRUE(lab.Create());
  std::string error;
  const int64_t first = lab::AllocateServerJobId(error);
  EXPECT_EQ(lab::kFirstServerJobId, first) << error;
  EXPECT_EQ(first + 1, lab::AllocateServerJobId(error));

  int64_t state = 0;
  EXPECT_FALSE(lab::ReadJobState(first, state, error));
  ASSERT_TRUE(lab::SetJobState(first, 11, error));
  ASSERT_TRUE(lab::ReadJobState(first, state, error));
  EXPECT_EQ(11, state);

  std::vector<lab::ChildJobLink> children{{7, 3}};
  ASSERT_TRUE(lab::ReadChildJobs(1001, children, error));
  EXPECT_TRUE(children.empty()) << "a job without a record has no children";
  ASSERT_TRUE(lab::WriteChildJobs(1001, {{600001, 55}, {600002, UINT32_MAX}}, error));
  ASSERT_TRUE(lab::ReadChildJobs(1001, children, error));
  ASSERT_EQ(2u, children.size());
  EXPECT_EQ(UINT32_MAX, children[1].appNumber);
  for (const char* bad : {"600001\n", "600001 55 extra\n", "0 55\n", "600001 4294967296\n", "x 1\n"}) {
    ASSERT_TRUE(lab::WriteFileAtomic(lab::JobDir(1001) + "/children", bad));
    EXPECT_FALSE(lab::ReadChildJobs(1001, children, error)) << bad;
    EXPECT_EQ(2u, children.size()) << "a refused record leaves the list as it was";
  }

  // A task holds passwords: kept for its owner alone, numbered in order.
  int64_t number = 0;
  ASSERT_TRUE(lab::SpoolTaskRequest("<a/>", number, error)) << error;
  ASSERT_TRUE(lab::SpoolTaskRequest("<b/>", number, error)) << error;
  EXPECT_EQ(2, number);
  const std::vector<std::string> files = lab::TaskRequestFiles();
  ASSERT_EQ(2u, files.size());
  struct stat st;
  ASSERT_EQ(0, stat(files[0].c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777u);
}

TEST(LabServerJobs, IdsStayUniqueAcrossThreads) {
  testsupport::TestLab lab;
  ASSERT_TRUE(lab.Create());
  std::vector<std::vector<int64_t>> taken(4);
  std::vector<std::thread> threads;
  for (auto& ids : taken)
    threads.emplace_back([&ids] {
      std::string error;
      for (int i = 0; i < 25; ++i) ids.push_back(lab::AllocateServerJobId(error));
    });
  for (auto& thread : threads) thread.join();
  std::set<int64_t> all;
  for (const auto& ids : taken) all.insert(ids.begin(), ids.end());
  EXPECT_EQ(100u, all.size());
  EXPECT_EQ(0u, all.count(0));
}

TEST(LabSessions, ARegistrationBelongsToItsProcessAndPort) {
  testsupport::TestLab lab;
  ASSERT_TRUE(lab.Create());
  std::string error;
  int port = 0;
  EXPECT_FALSE(lab::LookupSessionService("proxyA", "svc", port, error));
  EXPECT_NE(std::string::npos, error.find("not running"));
  ASSERT_TRUE(lab::RegisterSessionService("proxyA", "svc", 4242, error));
  ASSERT_TRUE(lab::LookupSessionService("proxyA", "svc", port, error));
  EXPECT_EQ(4242, port);
  EXPECT_FALSE(lab::UnregisterSessionService("proxyA", "svc", 4243)) << "another port's service keeps its record";
  EXPECT_TRUE(lab::UnregisterSessionService("proxyA", "svc", 4242));
  EXPECT_FALSE(lab::LookupSessionService("proxyA", "svc", port, error));
  EXPECT_FALSE(lab::RegisterSessionService("proxyA", "../svc", 1, error));
}

TEST(LabAutoScale, ACreatedAgentIsAClientAndAMemberServer) {
  testsupport::TestLab lab("coordinator");
  ASSERT_TRUE(lab.Create());
  int64_t creationJob = 0;
  std::string client, error;
  ASSERT_TRUE(lab::StartAgentCreation(1001, "east us", "coordinator", creationJob, client, error)) << error;
  EXPECT_EQ("east-us-agent" + std::to_string(creationJob), client);
  ASSERT_TRUE(lab::CompleteAgentCreation(1001, "1", "coordinator", creationJob, client, error)) << error;
  ASSERT_TRUE(lab::CompleteAgentCreation(1001, "1", "coordinator", creationJob, client, error)) << "made once";
  vsAppMgr app;
  app.setAppIdStr("1");
  ASSERT_EQ(vsAppMgr::kRetOk, app.querySettings());
  EXPECT_EQ((std::vector<std::string>{"coordinator", "proxyA", "proxyB", client}), app.getMemberServers());
  lab::MachineRecord machine;
  EXPECT_EQ(lab::RecordRead::kRead, lab::ReadMachineRecord(client, machine, error));
  EXPECT_EQ(client, machine.hostName);
  const std::vector<std::string> log = lab::ReadAutoScaleLog(1001);
  ASSERT_EQ(3u, log.size());
  EXPECT_EQ("start " + std::to_string(creationJob) + " east_us " + client, log[0]);
}

TEST(JobToken, FourNumbersAtTheirLimits) {
  struct Case {
    const char* token;
    bool valid;
    unsigned long attempt;
  } cases[] = {
      {"1001:2:3:4", true, 3},
      {"9223372036854775807:0:18446744073709551615:0", true, ULONG_MAX},
      {"9223372036854775808:0:1:0", false, 0},
      {"1001:0:18446744073709551616:0", false, 0},
      {"0:0:1:0", false, 0},
      {"1001:2:3", false, 0},
      {"1001:2:3:4:", false, 0},
      {"1001:2:-3:4", false, 0},
      {"token-1001", false, 0},
      {nullptr, false, 0},
  };
  for (const Case& c : cases) {
    long long job = 0;
    unsigned long commcell = 0, attempt = 0, phase = 0;
    EXPECT_EQ(c.valid, parseJobToken(c.token, job, commcell, attempt, phase)) << (c.token ? c.token : "null");
    EXPECT_EQ(c.attempt, attempt) << (c.token ? c.token : "null");
  }
  long long job = 0;
  unsigned long commcell = 0, attempt = 0, phase = 0;
  ASSERT_TRUE(parseJobToken(constructJobToken(77, 5, 2, 9).c_str(), job, commcell, attempt, phase));
  EXPECT_EQ(77, job);
  EXPECT_EQ(2u, attempt);
}

}  // namespace
