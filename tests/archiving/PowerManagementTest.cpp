// Power management of idle VMs, with the guest-shutdown wait on the virtual clock.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "platform/lab/LabFaults.h"
#include "platform/lab/LabJob.h"
#include "archiving/ArchivingTestSupport.h"
#include "support/VirtualClock.h"

namespace {

using Update = JobManager::VMUpdateInfo;

// Counts the inventory queries of a job without failing any (a rule that never comes due).
void CountQueries(archtest::ArchivingLab& lab) {
  lab::FaultRule rule;
  rule.op = "vminfo.GetVMInfoForVM";
  rule.after = lab::kMaxFaultCount;
  rule.code = 1;
  lab.Lab().Fault(rule);
}
int64_t Queries() {
  lab::FaultTable table;
  std::string error;
  lab::ReadFaultTable(table, error);
  for (const lab::FaultRule& rule : table.rules)
    if (rule.op == "vminfo.GetVMInfoForVM") return rule.calls;
  return -1;
}

void PowerSettings(archtest::ArchivingLab& lab, const char* action, bool powerOff) {
  lab.Subclient("archiveRule", "0");
  lab.Subclient("powerManagement", "1");
  lab.Subclient("powerConditions", "cpuBelowPercent:5,idleHours:24");
  lab.Subclient("powerOffIdleVMs", powerOff ? "1" : "0");
  lab.Subclient("powerMgmtAction", action);
}

TEST(PowerManagementTest, AnIdleVMIsMarkedPoweredOffOrShutDownAndAnOffOneHasItsHoursKept) {
  testsupport::VirtualClock clock;
  struct Case {
    const char* what;
    const char* action;
    bool powerOff;      // the settings power an idle VM off (else they mark it for the administrator)
    int state;          // the VM: -1 off for 30 h, 0 running and busy, 1 running and idle
    const char* fault;  // an operation that fails once
    const char* powerAfter;
    bool acted;          // event 0x5B0000B2 and the job manager's flag
    const char* client;  // the VM client's property set, "key=value"; empty: none
  } cases[] = {
      {"off for 30 h", "1", true, -1, nullptr, "off", false, "powerOffHours=30"},
      {"running, not idle", "1", true, 0, nullptr, "on", false, ""},
      {"idle, left for the administrator", "1", false, 1, nullptr, "on", false, "eligibleForArchiving=1"},
      {"idle, powered off", "1", true, 1, nullptr, "off", true, ""},
      {"idle, its guest shut down", "2", true, 1, nullptr, "off", true, ""},
      {"idle, the shutdown refused: powered off instead", "2", true, 1, "vminfo.PerformVMOperation", "off", true, ""},
      {"idle, an action that does not exist", "3", true, 1, nullptr, "on", true, ""},
      {"the idle check fails", "1", true, 1, "vminfo.CheckIdleVM", "on", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    archtest::ArchivingLab lab;
    PowerSettings(lab, c.action, c.powerOff);
    if (c.state < 0) lab.PowerOff(1, 30);
    lab.ChangeVM(1, [&](lab::VMDescription& d) { d.idle = c.state > 0 ? 1 : 0; });
    if (c.fault != nullptr) lab.Lab().Fault(c.fault, 3013, "refused");
    vm_params vm = lab.VM(1);
    EXPECT_EQ(108, lab.Run(vm)) << "power management never ends the VM's road";
    EXPECT_EQ(c.powerAfter, lab.Description(1).powerState);
    EXPECT_EQ(c.acted ? 1 : 0, vm.updateInfo.getint64(Update::F_powerManaged));
    const std::vector<std::string> events = lab.Events();
    EXPECT_EQ(c.acted ? 1u : 0u, events.size());
    if (c.acted && !events.empty()) {
      EXPECT_NE(std::string::npos, events[0].find("INFO 0x5B0000B2 vm01")) << events[0];
    }
    const std::string property = c.client;
    const size_t equals = property.find('=');
    if (equals != std::string::npos)
      EXPECT_EQ(property.substr(equals + 1), ClientProperties(101).getValue(property.substr(0, equals)));
    else
      EXPECT_TRUE(ClientProperties(101).getValue("powerOffHours").empty() &&
                  ClientProperties(101).getValue("eligibleForArchiving").empty());
  }
}

TEST(PowerManagementTest, AGuestThatIgnoresTheShutdownIsAskedTenTimesOnTheClockThenLeftRunning) {
  testsupport::VirtualClock clock;
  for (bool quit : {false, true}) {
    SCOPED_TRACE(quit ? "the job stops during the wait" : "the wait runs out");
    archtest::ArchivingLab lab;
    PowerSettings(lab, "2", true);
    lab.ChangeVM(1, [](lab::VMDescription& d) {
      d.idle = 1;
      d.ignoresShutdown = true;
    });
    CountQueries(lab);
    vm_params vm = lab.VM(1);
    const long long start = ZtClock::MonotonicTicks();
    std::atomic<int> result{-1};
    std::thread worker([&] { result = lab.Run(vm); });
    ASSERT_TRUE(ZtClock::WaitForTimedWaitersForTest(1));
    if (quit) {
      ASSERT_TRUE(lab::RequestJobQuit(archtest::kJob));
      ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(2));
    } else {
      ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(10 * 30 + 60));
    }
    worker.join();
    EXPECT_EQ(108, result.load());
    EXPECT_EQ("on", lab.Description(1).powerState) << "a VM still running after the wait is left running";
    const double waited = CTimeInterval(ZtClock::MonotonicTicks() - start).AsSeconds();
    if (quit) {
      EXPECT_EQ(1 + 1 + 1, Queries()) << "the first look, one poll and the archiving check";
      EXPECT_LE(waited, 2.0);
    } else {
      EXPECT_EQ(1 + 10 + 1, Queries()) << "the first look, ten polls and the archiving check";
    }
    EXPECT_EQ(1, vm.updateInfo.getint64(Update::F_powerManaged));
    EXPECT_EQ(1u, lab.Events().size());
    lab::ClearJobQuit(archtest::kJob);
  }
}

// The two checks archiving gives a caller outside the worker, which has no VM of its own to hand them:
// power management of a VM named by its name and GUID, and whether a VM of a subclient backed up
// without turbo is an archived one. They must answer as the worker's own calls do.
TEST(PowerManagementTest, CallersOutsideTheWorkerGetTheSameChecks) {
  archtest::ArchivingLab lab;
  PowerSettings(lab, "1", true);
  lab.ChangeVM(2, [](lab::VMDescription& d) { d.idle = 1; });
  QuarnVMManagement outside(0, nullptr, nullptr, nullptr, std::string());
  EXPECT_EQ(0, outside.DoPowerManagmentForVM("vm02", archtest::Guid(2), &lab.vmInfo, &lab.appMgr));
  EXPECT_EQ("off", lab.Description(2).powerState);
  lab.Lab().Fault("appmgr.GetVMArchivingParams", 4);
  EXPECT_EQ(108, outside.DoPowerManagmentForVM("vm02", archtest::Guid(2), &lab.vmInfo, &lab.appMgr));

  vm_params vm = lab.VM(1);
  const std::unique_ptr<QuarnVMManagement> management = lab.Management(vm, VMArchivingParams());
  EXPECT_EQ(108, management->VMArchHandleNonTurboEnbaledSubclientVM()) << "no stub record: backed up";
  lab.ChangeVM(1, [](lab::VMDescription& d) { d.options[lab::kStubRecordOption] = archtest::StubText(4, 2); });
  EXPECT_EQ(100, management->VMArchHandleNonTurboEnbaledSubclientVM());
  EXPECT_EQ(std::vector<std::string>{"0x5B0000B4 vm01|2"}, lab.Pending());
}

}  // namespace
