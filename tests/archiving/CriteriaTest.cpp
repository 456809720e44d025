// Which VMs the archiving criteria select, and for what.
#include <gtest/gtest.h>

#include "archiving/ArchivingTestSupport.h"

namespace {

using Update = JobManager::VMUpdateInfo;

TEST(CriteriaTest, TheRulesListsAndVMsStateSelectStubOrRelocationOrNothing) {
  constexpr int kNone = 0, kStub = 1, kRelocate = 9;
  struct Case {
    const char* what;
    std::function<void(VMArchivingParams&)> settings;
    std::function<void(VMInfoStructs::SVMInfo&)> vm;
    int option;
    bool stubPhase = false;
    int bothEvents = 0;
  } cases[] = {
      {"no rule", [](VMArchivingParams& p) { p.archiveRuleEnabled = false; }, nullptr, kNone},
      {"a template", nullptr, [](VMInfoStructs::SVMInfo& vm) { vm.isTemplate = true; }, kNone},
      {"an independent disk", nullptr, [](VMInfoStructs::SVMInfo& vm) { vm.disks[1].independent = true; }, kNone},
      {"a raw-mapped disk", nullptr, [](VMInfoStructs::SVMInfo& vm) { vm.disks[0].rawDeviceMapping = true; }, kNone},
      {"running", nullptr, [](VMInfoStructs::SVMInfo& vm) { vm.powerState = 1; }, kNone},
      {"off 72 h, rule 2 days", nullptr, nullptr, kStub},
      {"off 48 h: 2 days, at the limit", nullptr, [](VMInfoStructs::SVMInfo& vm) { vm.poweredOffHours = 48; }, kStub},
      {"off 47 h: 1 day", nullptr, [](VMInfoStructs::SVMInfo& vm) { vm.poweredOffHours = 47; }, kNone},
      {"off 47 h compared in hours", [](VMArchivingParams& p) { p.compareHours = true; },
       [](VMInfoStructs::SVMInfo& vm) { vm.poweredOffHours = 47; }, kStub},
      {"off 1 h compared in hours, rule 2", [](VMArchivingParams& p) { p.compareHours = true; },
       [](VMInfoStructs::SVMInfo& vm) { vm.poweredOffHours = 1; }, kNone},
      {"archive rule off, relocation not met, named in the archive list",
       [](VMArchivingParams& p) {
         p.archiveRuleEnabled = false;
         p.relocateRuleEnabled = true;
         p.relocatePowerOffDays = 10;
         p.DestinationHost = "esx2";
         p.archiveVMList = "other;\"vm01\"";
       },
       nullptr, kStub},
      {"both rules off, named in the list",
       [](VMArchivingParams& p) {
         p.archiveRuleEnabled = false;
         p.archiveVMList = "vm01";
       },
       nullptr, kNone},
      {"named in the list but running", [](VMArchivingParams& p) { p.archiveVMList = "vm01"; },
       [](VMInfoStructs::SVMInfo& vm) { vm.powerState = 1; }, kNone},
      {"both met, precedence to archiving",
       [](VMArchivingParams& p) {
         p.relocateRuleEnabled = true;
         p.relocatePowerOffDays = 1;
         p.DestinationHost = "esx2";
         p.precedenceToArchiving = true;
       },
       nullptr, kStub},
      {"both met, relocation first",
       [](VMArchivingParams& p) {
         p.relocateRuleEnabled = true;
         p.relocatePowerOffDays = 1;
         p.DestinationHost = "esx2";
       },
       nullptr, kRelocate, false, 1},
      {"both met in the stub phase: no event",
       [](VMArchivingParams& p) {
         p.relocateRuleEnabled = true;
         p.relocatePowerOffDays = 1;
         p.DestinationHost = "esx2";
       },
       nullptr, kRelocate, true, 0},
      {"relocation met but in place already, archiving met",
       [](VMArchivingParams& p) {
         p.relocateRuleEnabled = true;
         p.relocatePowerOffDays = 1;
         p.DestinationHost = "esx1";
       },
       nullptr, kStub},
      {"relocation met but in place already",
       [](VMArchivingParams& p) {
         p.archiveRuleEnabled = false;
         p.relocateRuleEnabled = true;
         p.relocatePowerOffDays = 1;
         p.DestinationHost = "esx1";
       },
       nullptr, kNone},
      {"relocation alone", [](VMArchivingParams& p) {
         p.archiveRuleEnabled = false;
         p.relocateRuleEnabled = true;
         p.relocatePowerOffDays = 3;
         p.DestinationDatastore = "ds2";
       },
       nullptr, kRelocate},
      {"relocation met with nowhere to relocate to: selected, for the relocation to say what it lacks",
       [](VMArchivingParams& p) {
         p.archiveRuleEnabled = false;
         p.relocateRuleEnabled = true;
         p.relocatePowerOffDays = 1;
       },
       nullptr, kRelocate},
      {"archive immediately, off 0 h",
       [](VMArchivingParams& p) { p.archiveImmediately = true; },
       [](VMInfoStructs::SVMInfo& vm) { vm.poweredOffHours = 0; }, kStub},
      {"a rule read without its days selects by nothing else", [](VMArchivingParams& p) { p.archivePowerOffDays = -1; },
       nullptr, kNone},
  };
  archtest::ArchivingLab lab;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    lab.ResetStatus(1);
    const size_t eventsBefore = lab.Events().size();
    lab.jobMgr.setVMStubPhase(c.stubPhase);
    VMArchivingParams params;
    params.archiveRuleEnabled = true;
    params.archivePowerOffDays = 2;
    if (c.settings) c.settings(params);
    vm_params vm = lab.VM(1);
    const std::unique_ptr<QuarnVMManagement> prepared = lab.Management(vm, params);
    QuarnVMManagement& management = *prepared;
    VMInfoStructs::SVMInfo info;
    ASSERT_NE(0, lab.vmInfo.LoadVMInfo(archtest::Name(1), info));
    info.powerState = 0;
    info.poweredOffHours = 72;
    info.disks.resize(2);
    if (c.vm) c.vm(info);
    std::string stubData;
    VMInfoStructs::VMStubState option = VMInfoStructs::STUB_STATE_UNKNOWN;
    const bool selected = management.VMArchCheckVMArchivingCriteria(info, stubData, option);
    EXPECT_EQ(c.option != kNone, selected);
    if (!selected) {
      EXPECT_EQ(0, lab.Status(1).getint64(Update::F_stubStatus));
      continue;
    }
    EXPECT_EQ(c.option, option);
    EXPECT_EQ(c.option, archtest::StubField(stubData, archtest::Stub::F_stubState)) << "the new record carries it";
    EXPECT_EQ(0, archtest::StubField(stubData, archtest::Stub::F_stubRetryCount));
    EXPECT_EQ(c.stubPhase ? 0 : 1, lab.Status(1).getint64(Update::F_stubStatus));
    const std::vector<std::string> events = lab.Events();
    ASSERT_EQ(eventsBefore + c.bothEvents, events.size());
    if (c.bothEvents != 0) {
      EXPECT_EQ("INFO 0x5B0000B1 vm01", events.back());
    }
  }
}

}  // namespace
