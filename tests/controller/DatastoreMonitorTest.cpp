// The datastore free-space monitor on the platform's virtual clock: how often each datastore is polled,
// the threshold below which its VMs are stopped, its summary, failed queries, and registrations from
// several threads while it runs.
#include <gtest/gtest.h>

#include <thread>

#include "platform/lab/LabCreate.h"
#include "platform/lab/LabHypervisor.h"
#include "support/ControllerTestSupport.h"
#include "support/VirtualClock.h"

namespace ctltest {
namespace {

constexpr int64_t kGiB = 1LL << 30;

class MonitorController : public TestController {
 public:
  using TestController::TestController;
  using QuarnController::m_datastoreMonitor;
  bool Register(const std::string& guid, const std::string& datastore) {
    return QuarnController::RegisterDatastore("vm-" + guid, guid, "esx1", datastore);
  }
  void Unregister(const std::string& guid) { QuarnController::UnregisterDatastores("vm-" + guid, guid); }
};

class DatastoreMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    job_.SetSetting("bEnableDatastoreMonitor", "1");
    job_.SetSetting("MinDatastoreFreespaceMB", "2048");
  }
  void Figures(const std::string& datastore, int64_t capacity, int64_t free) {
    lab::DatastoreRecord record;
    record.capacityBytes = capacity;
    record.freeBytes = free;
    std::string error;
    ASSERT_TRUE(lab::WriteDatastoreRecord(lab::SampleServer(), datastore, record, error)) << error;
  }
  // Starts the monitor; its first pass is over and it waits for the next when this returns.
  void Start() {
    ASSERT_TRUE(controller_.StartDatastoreMonitor());
    ASSERT_TRUE(ZtClock::WaitForTimedWaitersForTest(1));
  }
  // Moves the clock on; every pass due in between has run when this returns.
  static void Pass(int seconds = 10) { ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(seconds)); }
  QuarnDatastoreMonitorInfo Record(const std::string& datastore) {
    QuarnDatastoreMonitorInfo record(datastore, std::string());
    EXPECT_TRUE(controller_.m_datastoreMonitor.TEST_GetMonitored(datastore, record)) << datastore;
    return record;
  }

  testsupport::VirtualClock clock_;
  LabJob job_;
  MonitorController controller_{&job_};
};

TEST_F(DatastoreMonitorTest, TheFullerADatastoreTheMoreOftenItIsPolled) {
  struct Case {
    const char* name;
    int64_t capacity, free, interval;
  } cases[] = {
      {"p30", 2000 * kGiB, 600 * kGiB, 300},
      {"p25", 400 * kGiB, 100 * kGiB, 120},  // exactly 25 % is not above it
      {"p3", 1666 * kGiB, 50 * kGiB, 30},
      {"p20small", 40 * kGiB, 8 * kGiB, 20},
      {"p1", 400 * kGiB, 4 * kGiB, 10},
      {"at5GiB", 10 * kGiB, 5 * kGiB, 20},
      {"below5GiB", 10 * kGiB, 5 * kGiB - 1, 10},
      {"at10GiB", 20 * kGiB, 10 * kGiB, 300},
      {"below10GiB", 20 * kGiB, 10 * kGiB - 1, 20},
  };
  Start();
  for (const Case& test : cases) {
    Figures(test.name, test.capacity, test.free);
    ASSERT_TRUE(controller_.Register("g1", test.name));
  }
  Pass();
  for (const Case& test : cases) {
    const QuarnDatastoreMonitorInfo record = Record(test.name);
    EXPECT_EQ(test.interval, record.pollInterval) << test.name;
    EXPECT_FALSE(record.infoFailed) << test.name;
  }
  EXPECT_NE(std::string::npos, job_.Log().find("Enabled monitoring on datastore [p30]"));
  EXPECT_NE(std::string::npos, job_.Log().find("Datastore [p30] [644,245,094,400] bytes free [30.00%]  Update Interval "
                                               "[300] seconds  [1] VMs"));
  std::string reason;
  EXPECT_FALSE(controller_.GetQuitFlagReasonForVM("g1", reason)) << "every datastore is above 2 GiB";
}

TEST_F(DatastoreMonitorTest, VMsOnADatastoreBelowTheThresholdAreStoppedWithTheFirstReason) {
  Start();
  EXPECT_EQ(2147483648LL, controller_.m_datastoreMonitor.GetThreshold());
  EXPECT_NE(std::string::npos, job_.Log().find("Monitoring datastore for less than [2,147,483,648] bytes of freespace"));
  Figures("low", 100 * kGiB, 2 * kGiB - 1);
  Figures("edge", 100 * kGiB, 2 * kGiB);
  ASSERT_TRUE(controller_.Register("g1", "low"));
  ASSERT_TRUE(controller_.Register("g2", "low"));
  ASSERT_TRUE(controller_.Register("g3", "edge"));
  Pass();
  const std::string reason = "low freespace on low, 2,147,483,647 bytes free.";
  for (const char* guid : {"g1", "g2"}) {
    std::string recorded;
    EXPECT_TRUE(controller_.GetQuitFlagReasonForVM(guid, recorded)) << guid;
    EXPECT_EQ(reason, recorded);
    EXPECT_TRUE(controller_.CheckQuitFlagForVM(0, guid));
  }
  EXPECT_FALSE(controller_.CheckQuitFlagForVM(0, "g3")) << "exactly the threshold is enough";
  EXPECT_EQ(1u, job_.LogCount("Datastore [low] is critically low on space, stopping backups for [2] VMs"));

  Figures("low", 100 * kGiB, kGiB);
  Pass();  // polled every 10 s below 5 GiB: stopped again, the first reason stays
  EXPECT_EQ(2u, job_.LogCount("Datastore [low] is critically low on space"));
  std::string recorded;
  controller_.GetQuitFlagReasonForVM("g1", recorded);
  EXPECT_EQ(reason, recorded);
}

TEST_F(DatastoreMonitorTest, OffOrOnAnotherHypervisorNothingIsWatched) {
  struct Case {
    const char* enabled;
    const char* instanceType;
    bool watched;
  } cases[] = {{"0", "101", false}, {"1", "301", false}, {"1", "102", true}, {"1", "101", true}};
  for (const Case& test : cases) {
    job_.SetSetting("bEnableDatastoreMonitor", test.enabled);
    job_.SetSubclient("instanceType", test.instanceType);
    MonitorController controller(&job_);
    ASSERT_TRUE(controller.StartDatastoreMonitor());
    EXPECT_EQ(test.watched, controller.m_datastoreMonitor.IsInitialized()) << test.enabled << test.instanceType;
    EXPECT_EQ(test.watched, controller.Register("g1", "ds1")) << test.enabled << test.instanceType;
    controller.StopDatastoreMonitor();
  }
}

TEST_F(DatastoreMonitorTest, ADatastoreWithoutVMsIsNotCheckedUntilOneRegistersIt) {
  Start();
  ASSERT_TRUE(controller_.Register("g1", "ds1"));
  controller_.Unregister("g1");
  Pass();
  EXPECT_NE(std::string::npos, job_.Log().find("Enabled monitoring on datastore [ds1]"));
  QuarnDatastoreMonitorInfo record = Record("ds1");
  EXPECT_TRUE(record.vms.empty());
  EXPECT_EQ(0, record.lastCheckTime);
  EXPECT_EQ(0u, job_.LogCount("Datastore [ds1] ["));
  EXPECT_EQ(0u, controller_.m_datastoreMonitor.TEST_PendingCount());

  ASSERT_TRUE(controller_.Register("g2", "ds1"));
  Pass();
  record = Record("ds1");
  EXPECT_NE(0, record.lastCheckTime) << "checked in the pass after the registration";
  EXPECT_EQ(300, record.pollInterval);
}

TEST_F(DatastoreMonitorTest, AFailedQueryIsRetriedLaterAndLeftOutOfTheSummary) {
  Start();
  Figures("empty", 0, 0);
  ASSERT_TRUE(controller_.Register("g1", "ghost"));  // no figures at all
  ASSERT_TRUE(controller_.Register("g1", "empty"));
  ASSERT_TRUE(controller_.Register("g1", "ds1"));
  Pass();
  for (const char* name : {"ghost", "empty"}) {
    const QuarnDatastoreMonitorInfo record = Record(name);
    EXPECT_TRUE(record.infoFailed) << name;
    EXPECT_EQ(300, record.pollInterval) << name;
  }
  EXPECT_NE(std::string::npos, job_.Log().find("Failed to get datastore info for [ghost]"));
  EXPECT_NE(std::string::npos, job_.Log().find("Invalid size returned for datastore [empty]"));
  EXPECT_FALSE(controller_.CheckQuitFlagForVM(0, "g1"));
  // The check's own line; the summary comes 120 s after the monitor's first pass, and lists ds1 alone.
  EXPECT_EQ(1u, job_.LogCount("Datastore [ds1] ["));
  EXPECT_EQ(0u, job_.LogCount("Datastore [ghost] ["));
  Pass(109);
  EXPECT_EQ(1u, job_.LogCount("Datastore [ds1] ["));
  Pass(1);
  EXPECT_EQ(2u, job_.LogCount("Datastore [ds1] ["));
  EXPECT_EQ(0u, job_.LogCount("Datastore [empty] ["));
}

TEST_F(DatastoreMonitorTest, RegistrationsFromSeveralThreadsWhileItRuns) {
  Start();
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w)
    workers.emplace_back([this, w] {
      const std::string guid = "g" + std::to_string(w);
      for (int n = 0; n < 200; ++n) {
        controller_.Register(guid, n % 2 ? "ds1" : "ds2");
        if (n % 3 == 0) controller_.Unregister(guid);
      }
      controller_.Unregister(guid);
    });
  for (int n = 0; n < 5; ++n) Pass();
  for (auto& worker : workers) worker.join();
  Pass();
  for (const char* name : {"ds1", "ds2"}) EXPECT_TRUE(Record(name).vms.empty()) << name;
}

}  // namespace
}  // namespace ctltest
