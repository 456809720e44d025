#include "app/vmParams.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kCollectTag = VirtualServer::VMCollect::TAG;

vm_params Record(const std::string& guid, phase value = PHASE_NOT_STARTED) {
  vm_params vm;
  vm.vmGuid = guid;
  vm.vmName = "name-" + guid;
  vm.vmPhase = value;
  return vm;
}

TEST(VMPhase, NamesOfEveryPhaseAndUnknownValues) {
  const char* names[] = {"NOT_STARTED", "STARTED", "DONE",    "DONE_WITH_ERRORS", "PREVIOUS_ATTEMPT",
                         "FAILED",      "PENDING", "STOPPING", "STOPPED",          "SKIPPED"};
  for (int value = 0; value < 10; ++value) EXPECT_STREQ(names[value], GetVMPhaseString(static_cast<phase>(value)));
  for (int value : {10, -1, 1000, INT32_MIN}) EXPECT_STREQ("UNKNOWN", GetVMPhaseString(static_cast<phase>(value)));
}

TEST(VMParamsMap, KeysIgnoreLetterCase) {
  SVMParamsMap map;
  map.Add(Record("5029-ABCD", PHASE_STARTED));
  vm_params replacement = Record("5029-abcd", PHASE_DONE);
  replacement.vmName = "replaced";
  map.Add(replacement);
  ASSERT_EQ(1u, map.size());
  EXPECT_TRUE(map.Contains("5029-AbCd"));
  phase value = PHASE_NOT_STARTED;
  ASSERT_TRUE(map.QueryVMPhase("5029-ABCD", value));
  EXPECT_EQ(PHASE_DONE, value);
  ASSERT_NE(nullptr, map.Find("5029-abCD"));
  EXPECT_EQ("replaced", map.Find("5029-abCD")->vmName);
  EXPECT_TRUE(map.UpdateVMFailureReason("5029-ABCD", "disk gone"));
  EXPECT_EQ("disk gone", map["5029-abcd"].failureReason);
  EXPECT_EQ(1u, map.size());
}

TEST(VMParamsMap, OnlyOperatorBracketsInsertsForAnUnknownGuid) {
  SVMParamsMap map;
  map.Add(Record("known"));
  phase value = PHASE_FAILED;
  EXPECT_FALSE(map.UpdateVMPhase("stranger", PHASE_DONE));
  EXPECT_FALSE(map.QueryVMPhase("stranger", value));
  EXPECT_EQ(PHASE_FAILED, value);
  EXPECT_FALSE(map.UpdateVMFailureReason("stranger", "x"));
  EXPECT_FALSE(map.IsVMPhaseComplete("stranger"));
  EXPECT_EQ(nullptr, map.Find("stranger"));
  const SVMParamsMap& constMap = map;
  EXPECT_EQ(nullptr, constMap.Find("stranger"));
  EXPECT_FALSE(map.Contains("stranger"));
  EXPECT_EQ(1u, map.size());

  vm_params& added = map["stranger"];
  EXPECT_EQ(2u, map.size());
  EXPECT_EQ(PHASE_NOT_STARTED, added.vmPhase);
  EXPECT_TRUE(added.vmGuid.empty());
}

TEST(VMParamsMap, CompletePhasesAreDoneDoneWithErrorsPreviousAttemptAndFailed) {
  SVMParamsMap map;
  for (int value = 0; value < 10; ++value) {
    map.Add(Record("vm" + std::to_string(value), static_cast<phase>(value)));
    bool complete = value >= 2 && value <= 5;
    EXPECT_EQ(complete, map.IsVMPhaseComplete("VM" + std::to_string(value))) << GetVMPhaseString(static_cast<phase>(value));
  }
  EXPECT_TRUE(map.UpdateVMPhase("vm9", PHASE_DONE));
  EXPECT_TRUE(map.IsVMPhaseComplete("vm9"));
  size_t count = 0;
  for (const auto& entry : map) count += entry.second.vmPhase == PHASE_DONE ? 1 : 0;
  EXPECT_EQ(2u, count);
}

TEST(VMParams, DefaultsAndDeepCopies) {
  vm_params vm;
  EXPECT_EQ(PHASE_NOT_STARTED, vm.vmPhase);
  EXPECT_TRUE(vm.partOfSubclientContent);
  EXPECT_EQ(0, vm.archiveAction);
  EXPECT_FALSE(vm.fatalError);
  EXPECT_EQ(0u, vm.snapNumber);
  EXPECT_EQ(0, vm.indexingMetadata.deleteTimestamp);
  EXPECT_EQ(0u, vm.indexingMetadata.stubDataChanged);
  EXPECT_EQ(-1, vm.vmInfo.field42);
  EXPECT_EQ(kCollectTag, vm.collect.getTagID());
  EXPECT_EQ(0x15A0B32Eu, vm.updateInfo.getTagID());

  vm.vmGuid = "g1";
  vm.collect.setstring(1, 1, "vm-one", kCollectTag, 0x80C9E2);
  vm.updateInfo.setint64(3, 6, 2, 0x15A0B32E, 0x32BC12);
  vm.vmInfo.disks.resize(1);
  vm.candidateAgents.insert("proxyA");
  vm.failureEvent.SetMessageID(0x5B000001);
  vm.failureEvent << "arg";
  vm_params copy(vm);
  copy.collect.setstring(1, 1, "changed", kCollectTag, 0x80C9E2);
  copy.updateInfo.setint64(3, 6, 0, 0x15A0B32E, 0x32BC12);
  copy.vmInfo.disks.clear();
  copy.candidateAgents.clear();
  copy.failureEvent << "more";
  EXPECT_EQ("vm-one", vm.collect.getstring(1, 1, kCollectTag, 0x80C9E2));
  EXPECT_EQ(2, vm.updateInfo.getint64(6, 0x15A0B32E, 0x32BC12));
  EXPECT_EQ(1u, vm.vmInfo.disks.size());
  EXPECT_EQ(1u, vm.candidateAgents.size());
  EXPECT_EQ(1u, vm.failureEvent.Arguments().Size());

  vm_params assigned;
  assigned = vm;
  EXPECT_EQ("vm-one", assigned.collect.getstring(1, 1, kCollectTag, 0x80C9E2));
  EXPECT_EQ(0x5B000001u, assigned.failureEvent.GetMessageID());
}

TEST(VMParams, BasicInfoTakesIdentityAndCollectEntryValues) {
  CNMessageBase::ResetAccessErrorCount();
  vm_params vm;
  vm.vmName = "vm01";
  vm.vmGuid = "g-01";
  vm.collectText13 = "t13";
  vm.snapServerName = "server";
  vm.snapText = "snap";
  vm.host = "esx1";
  VirtualServer::VMCollect& c = vm.collect;
  c.setstring(5, 17, "t17", kCollectTag, 0xC7370D);
  c.setint64(7, 22, 22, kCollectTag, 0xAFDBBB);
  c.setint64(6, 21, 4711, kCollectTag, 0xFD021D);
  c.setint64(9, 27, 3, kCollectTag, 0x7E8819);
  c.setstring(26, 68, "cluster1", kCollectTag, 0x7844B4);
  c.setstring(22, 58, "t58", kCollectTag, 0xBD08E0);
  c.setstring(21, 54, "dc1", kCollectTag, 0x0EF2B6);
  c.setint64(24, 63, 9, kCollectTag, 0xE81AA5);
  c.setstring(25, 64, "t64", kCollectTag, 0xDBE7C7);
  c.setstring(32, 77, "sc-guid", kCollectTag, 0x7A11BD);
  c.setint64(23, 62, (1LL << 32) + 1001, kCollectTag, 0x664541);

  SVMBasicInfo info;
  vm.GetVMBasicInfo(info);
  EXPECT_EQ(0u, CNMessageBase::AccessErrorCount()) << CNMessageBase::LastAccessError();
  EXPECT_EQ("vm01", info.vmName);
  EXPECT_EQ("g-01", info.vmGuid);
  EXPECT_EQ("t13", info.text3);
  EXPECT_EQ("server", info.text4);
  EXPECT_EQ("snap", info.text5);
  EXPECT_EQ("esx1", info.host);
  EXPECT_EQ("t17", info.text7);
  EXPECT_EQ(22, info.number11);
  EXPECT_EQ(4711, info.clientId);
  EXPECT_TRUE(info.clustered);
  EXPECT_EQ("cluster1", info.cluster);
  EXPECT_EQ("t58", info.text16);
  EXPECT_EQ("dc1", info.datacenter);
  EXPECT_EQ(9, info.subclientId);
  EXPECT_EQ("t64", info.text20);
  EXPECT_EQ("sc-guid", info.subclientGuid);
  EXPECT_EQ(1001, info.jobId);  // kept as a 32-bit value
}

}  // namespace
