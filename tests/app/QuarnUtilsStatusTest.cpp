#include <gtest/gtest.h>

#include "app/QuarnRegistry.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabJob.h"
#include "support/TestLab.h"
#include "app/QuarnUtils.h"
#include "platform/os/ZtTime.h"
#include "platform/vminfo/LabVMInfo.h"

namespace {

// JobManager::VMUpdateInfo fields as (index, number, check value).
constexpr uint32_t kTag = 0x15A0B32E;
struct F {
  int index;
  int number;
  uint32_t check;
};
constexpr F kClientId{1, 1, 0x253646}, kVMName{2, 2, 0x80C9E2}, kStatus{3, 6, 0x32BC12},
    kBackupMethod{4, 7, 0x25A43C}, kTransport{5, 8, 0x75184C}, kMountResult{6, 12, 0xB4CC27}, kSize{7, 16, 0x275421},
    kCount1{8, 17, 0x200329}, kVersion{9, 18, 0x1D91B0}, kInventory2{10, 22, 0x7036B0}, kStart{11, 26, 0xB5468D},
    kEnd{12, 27, 0x711E06}, kReason{13, 28, 0xF9104E}, kGuid{15, 33, 0x218E89}, kProxyClient{16, 37, 0xC452E5},
    kHost{18, 42, 0x2269C8}, kTools{19, 46, 0x7F829D}, kCount2{20, 50, 0x80F5D9}, kHostNumber{24, 57, 0xB26880},
    kEvent{25, 58, 0x73D9C8}, kFlag1{27, 63, 0x6A254D}, kInventory86{34, 76, 0x079636},
    kInventory28{35, 80, 0xB49210}, kChildJob{36, 84, 0x09A998}, kDatastores{39, 87, 0x714377},
    kFull{42, 93, 0xAB7EE2}, kProxyHost{43, 94, 0x1D9F24}, kVendor{49, 106, 0x1E12F6},
    kInventory29{61, 121, 0xA9F214}, kBits{62, 125, 0xB5B8C1}, kLastFlag{63, 126, 0xE85BFA};

int64_t Num(const CNMessageBase& info, const F& f) { return info.getint64(f.number, kTag, f.check); }
std::string Text(const CNMessageBase& info, const F& f) { return info.getstring(f.index, f.number, kTag, f.check); }
bool Has(const CNMessageBase& info, const F& f) { return info.isSet(f.index, kTag, f.check); }
std::string Xml(const CNMessageBase& info) {
  std::string xml;
  info.serialize(xml, true);
  return xml;
}

bool IsValidUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += length;
  }
  return true;
}

class QuarnUtilsStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lab_.UseJob(1001));
    ASSERT_TRUE(lab_.OpenLog());
    QuarnRegistry::TEST_Unload();
    CNMessageBase::ResetAccessErrorCount();
    job_.setJobId("1001");
    UseSubclient("instanceType=101\nkeyrealmId=7\n");
    lab::ServerRecord server;
    server.type = 101;
    server.hosts = {"esx1", "esx2"};
    server.datastores = {"ds1", "ds2"};
    lab::HostRecord host;
    host.field34 = 77;
    std::string error;
    ASSERT_TRUE(lab::WriteServerRecord("vc", server, error)) << error;
    ASSERT_TRUE(lab::WriteHostRecord("vc", "esx1", host, error)) << error;
  }
  void TearDown() override {
    QuarnRegistry::TEST_Unload();
    EXPECT_EQ(0u, CNMessageBase::AccessErrorCount()) << CNMessageBase::LastAccessError();
  }
  void UseSubclient(const std::string& conf) {
    ASSERT_TRUE(lab_.ReplaceSubclient("1", conf));
    app_.setAppIdStr("1");
    ASSERT_EQ(vsAppMgr::kRetOk, app_.querySettings());
  }
  MountCtx MountedVM() {
    MountCtx ctx;
    ctx.vmName = "vm01";
    ctx.transportText = "nbd";
    ctx.mountResultText = "mounted";
    ctx.backupMethod = 2;
    ctx.vmInfo.version = "vmx-19";
    ctx.vmInfo.toolsVersion = "12.1";
    ctx.vmInfo.field02 = "inv2";
    ctx.vmInfo.field28 = "inv28";
    ctx.vmInfo.field86 = "inv86";
    ctx.vmInfo.host = "esx1";
    ctx.vmInfo.datastore = "ds1";
    return ctx;
  }

  testsupport::TestLab lab_{"proxyA"};
  vsJobMgr job_;
  vsAppMgr app_;
  LabVMInfo vmInfo_{kInstanceTypeVMware, "vc"};
};

TEST_F(QuarnUtilsStatusTest, StartedFillDescribesTheVMAndNothingInTheStubPhase) {
  JobManager::VMUpdateInfo info;
  info.setstring(kReason.index, kReason.number, "old reason", kTag, kReason.check);
  UseSubclient("instanceType=102\n");
  time_t before = ZtClock::NowSeconds();
  QuarnUtils::FillVMUpdateInfoForStartedVM(info, &job_, &app_, "vm01", "G-01", 42, 9001);
  EXPECT_EQ(42, Num(info, kClientId));
  EXPECT_EQ("vm01", Text(info, kVMName));
  EXPECT_EQ("G-01", Text(info, kGuid));
  EXPECT_EQ(2, Num(info, kStatus));
  EXPECT_GE(Num(info, kStart), before);
  EXPECT_LE(Num(info, kStart), ZtClock::NowSeconds());
  EXPECT_EQ("proxyA", Text(info, kProxyClient));
  EXPECT_TRUE(Has(info, kReason));
  EXPECT_EQ("", Text(info, kReason));
  EXPECT_EQ(9001, Num(info, kChildJob));
  EXPECT_EQ(vsAppMgr::ConvertInstanceTypeToVendor(kInstanceTypeHyperV), Num(info, kVendor));
  EXPECT_NE(0, Num(info, kVendor));

  job_.setVMStubPhase(true);
  JobManager::VMUpdateInfo stub;
  stub.setint64(kStatus.index, kStatus.number, 4, kTag, kStatus.check);
  std::string untouched = Xml(stub);
  QuarnUtils::FillVMUpdateInfoForStartedVM(stub, &job_, &app_, "vm01", "G-01", 42, 9001);
  QuarnUtils::FillVMUpdateInfoForCompletedVM(stub, &job_, &app_, true, 1, 2, true, "reason", "t2", true, true);
  EXPECT_EQ(untouched, Xml(stub));
  // The mounted fill does not look at the phase.
  MountCtx ctx = MountedVM();
  QuarnUtils::FillVMUpdateInfoForMountedVM(stub, &job_, &app_, &vmInfo_, ctx, 0, 5);
  EXPECT_EQ(5, Num(stub, kSize));
}

TEST_F(QuarnUtilsStatusTest, CompletedFillStatusAndReason) {
  struct Row {
    bool hadErrors;
    std::string reason;
    int status;
  } rows[] = {{true, "", 0}, {false, "", 0}, {false, "warning", 0}, {true, "warning", 3}};
  for (const Row& row : rows) {
    JobManager::VMUpdateInfo info;
    info.setstring(kReason.index, kReason.number, "stale", kTag, kReason.check);
    QuarnUtils::FillVMUpdateInfoForCompletedVM(info, &job_, &app_, row.hadErrors, 0, 0, false, row.reason, "", false,
                                               false);
    EXPECT_EQ(row.status, Num(info, kStatus)) << row.hadErrors << " [" << row.reason << "]";
    EXPECT_EQ(row.reason, Text(info, kReason));
  }
}

TEST_F(QuarnUtilsStatusTest, LongReasonsAreCutWithoutSplittingACharacter) {
  struct Row {
    std::string reason;
    std::string stored;
  } rows[] = {
      {std::string(1010, 'a'), std::string(1010, 'a')},
      {std::string(1011, 'a'), std::string(1010, 'a') + " ..."},
      // "é" is two bytes at 1009 and 1010: keeping 1010 bytes would keep half of it.
      {std::string(1009, 'a') + "\xC3\xA9", std::string(1009, 'a') + " ..."},
      {std::string(1008, 'a') + "\xE2\x82\xAC" + "b", std::string(1008, 'a') + " ..."},
      {std::string(1007, 'a') + "\xE2\x82\xAC" + "b", std::string(1007, 'a') + "\xE2\x82\xAC" + " ..."},
      {std::string(1009, 'a') + "\xF0\x9F\x98\x80", std::string(1009, 'a') + " ..."},
  };
  for (const Row& row : rows) {
    JobManager::VMUpdateInfo info;
    QuarnUtils::FillVMUpdateInfoForCompletedVM(info, &job_, &app_, true, 0, 0, false, row.reason, "", false, false);
    std::string stored = Text(info, kReason);
    EXPECT_EQ(row.stored, stored) << "reason of " << row.reason.size() << " bytes";
    EXPECT_TRUE(IsValidUtf8(stored));
    EXPECT_LE(stored.size(), 1014u);
  }
  // Not UTF-8 at all: the cut stays at the limit instead of walking back over the whole text.
  JobManager::VMUpdateInfo info;
  std::string binary(1011, '\x80');
  QuarnUtils::FillVMUpdateInfoForCompletedVM(info, &job_, &app_, true, 0, 0, false, binary, "", false, false);
  EXPECT_EQ(std::string(1010, '\x80') + " ...", Text(info, kReason));
}

TEST_F(QuarnUtilsStatusTest, CompletedFillCountsTextsAndBits) {
  JobManager::VMUpdateInfo info;
  info.setint64(kBits.index, kBits.number, 3, kTag, kBits.check);
  time_t before = ZtClock::NowSeconds();
  QuarnUtils::FillVMUpdateInfoForCompletedVM(info, &job_, &app_, false, 1ULL << 40, 77, true, "", "text2", true, true);
  EXPECT_EQ(1LL << 40, Num(info, kCount1));
  EXPECT_EQ(77, Num(info, kCount2));
  EXPECT_EQ(1, Num(info, kFlag1));
  EXPECT_EQ("text2", Text(info, kMountResult));
  EXPECT_GE(Num(info, kEnd), before);
  EXPECT_EQ(7, Num(info, kBits));
  EXPECT_EQ(1, Num(info, kLastFlag));
  QuarnUtils::FillVMUpdateInfoForCompletedVM(info, &job_, &app_, false, 0, 0, false, "", "", false, false);
  EXPECT_EQ(7, Num(info, kBits));  // only ever adds bit 4
  EXPECT_EQ(0, Num(info, kLastFlag));
  EXPECT_EQ(0, Num(info, kFlag1));

  job_.setSnapCatalogMode(true);
  JobManager::VMUpdateInfo catalog;
  QuarnUtils::FillVMUpdateInfoForCompletedVM(catalog, &job_, &app_, false, 5, 6, false, "", "text2", false, false);
  EXPECT_EQ(5, Num(catalog, kCount1));
  EXPECT_FALSE(Has(catalog, kMountResult));

  job_.setVMContentIndexMode(true);
  JobManager::VMUpdateInfo contentIndex;
  QuarnUtils::FillVMUpdateInfoForCompletedVM(contentIndex, &job_, &app_, false, 5, 6, true, "", "text2", false, false);
  EXPECT_FALSE(Has(contentIndex, kCount1));
  EXPECT_FALSE(Has(contentIndex, kCount2));
  EXPECT_FALSE(Has(contentIndex, kFlag1));
  EXPECT_TRUE(Has(contentIndex, kEnd));
}

TEST_F(QuarnUtilsStatusTest, MountedFillCopiesInventoryAndMountResults) {
  JobManager::VMUpdateInfo info;
  MountCtx ctx = MountedVM();
  ctx.vmInfo.field29 = "inv29";
  ctx.vmBackupLevel = 1;
  QuarnUtils::FillVMUpdateInfoForMountedVM(info, &job_, &app_, &vmInfo_, ctx, 0, 123456);
  EXPECT_EQ(2, Num(info, kBackupMethod));
  EXPECT_EQ("nbd", Text(info, kTransport));
  EXPECT_EQ("12.1", Text(info, kTools));
  EXPECT_EQ("vmx-19", Text(info, kVersion));
  EXPECT_EQ("inv28", Text(info, kInventory28));
  EXPECT_EQ("mounted", Text(info, kMountResult));
  EXPECT_EQ(123456, Num(info, kSize));
  EXPECT_EQ("inv2", Text(info, kInventory2));
  EXPECT_EQ("esx1", Text(info, kHost));
  EXPECT_EQ(77, Num(info, kHostNumber));
  EXPECT_EQ("inv86", Text(info, kInventory86));
  EXPECT_EQ(1, Num(info, kFull));
  EXPECT_EQ("inv29", Text(info, kInventory29));
  EXPECT_FALSE(Has(info, kBits));

  JobManager::VMUpdateInfo failed;
  ctx.backupMethod = 7;
  ctx.vmBackupLevel = 2;
  ctx.vmInfo.field29.clear();
  ctx.vmInfo.host = "esx9";
  QuarnUtils::FillVMUpdateInfoForFailedVM(failed, &job_, &app_, &vmInfo_, ctx, 0);
  EXPECT_EQ(0, Num(failed, kSize));
  EXPECT_TRUE(Has(failed, kSize));
  EXPECT_EQ(0, Num(failed, kBackupMethod));
  EXPECT_EQ("esx9", Text(failed, kHost));
  EXPECT_FALSE(Has(failed, kHostNumber));
  EXPECT_FALSE(Has(failed, kFull));
  EXPECT_FALSE(Has(failed, kInventory29));
  EXPECT_NE(std::string::npos, lab_.Log().find("Failed to get host info for [esx9]"));

  JobManager::VMUpdateInfo noHost;
  ctx.vmInfo.host.clear();
  QuarnUtils::FillVMUpdateInfoForMountedVM(noHost, &job_, &app_, &vmInfo_, ctx, 0, 1);
  EXPECT_FALSE(Has(noHost, kHost));
  EXPECT_FALSE(Has(noHost, kHostNumber));
}

TEST_F(QuarnUtilsStatusTest, HyperVReportsMissingToolsAndNoTransport) {
  UseSubclient("instanceType=102\n");
  MountCtx ctx = MountedVM();
  ctx.vmInfo.toolsVersion.clear();
  JobManager::VMUpdateInfo hyperV;
  QuarnUtils::FillVMUpdateInfoForMountedVM(hyperV, &job_, &app_, &vmInfo_, ctx, 0, 1);
  EXPECT_EQ("Not Installed", Text(hyperV, kTools));
  EXPECT_FALSE(Has(hyperV, kTransport));

  UseSubclient("instanceType=101\n");
  JobManager::VMUpdateInfo vmware;
  QuarnUtils::FillVMUpdateInfoForMountedVM(vmware, &job_, &app_, &vmInfo_, ctx, 0, 1);
  EXPECT_TRUE(Has(vmware, kTools));
  EXPECT_EQ("", Text(vmware, kTools));
  EXPECT_EQ("nbd", Text(vmware, kTransport));
}

TEST_F(QuarnUtilsStatusTest, DatastoreListIsSortedWithoutDuplicatesOrEmptyNames) {
  struct Row {
    std::string vmDatastore;
    std::vector<std::string> disks;
    std::string list;
  } rows[] = {
      {"ds1", {"ds1", "ds1"}, "ds1"},
      {"ds2", {"ds1", "", "ds10", "ds2"}, "ds1, ds10, ds2"},
      {"", {"", ""}, ""},
      {"", {"b", "a"}, "a, b"},
  };
  for (const Row& row : rows) {
    MountCtx ctx = MountedVM();
    ctx.vmInfo.datastore = row.vmDatastore;
    for (const std::string& name : row.disks) {
      VMInfoStructs::SDisk disk;
      disk.datastore = name;
      disk.snapCopyDatastore = "copy-" + name;
      ctx.vmInfo.disks.push_back(disk);
    }
    JobManager::VMUpdateInfo info;
    QuarnUtils::FillVMUpdateInfoForMountedVM(info, &job_, &app_, &vmInfo_, ctx, 0, 1);
    EXPECT_EQ(row.list, Text(info, kDatastores));
  }

  MountCtx many = MountedVM();
  for (int i = 0; i < 100; ++i) {
    VMInfoStructs::SDisk disk;
    disk.datastore = "datastore-with-a-long-name-" + std::to_string(100 + i);
    many.vmInfo.disks.push_back(disk);
  }
  JobManager::VMUpdateInfo info;
  QuarnUtils::FillVMUpdateInfoForMountedVM(info, &job_, &app_, &vmInfo_, many, 0, 1);
  std::string list = Text(info, kDatastores);
  EXPECT_EQ(1014u, list.size());
  EXPECT_EQ(" ...", list.substr(1010));
}

TEST_F(QuarnUtilsStatusTest, InventoryOfALabVMFeedsTheMountedFill) {
  lab::VMDescription vm07;
  vm07.name = "vm07";
  vm07.guid = "5029-0007";
  vm07.host = "esx1";
  vm07.datastore = "ds1";
  vm07.version = "vmx-19";
  vm07.disks.resize(2);
  vm07.disks[0].file = "datastores/ds2/vm07/vm07_0.img";
  vm07.disks[1].file = "datastores/ds1/vm07/vm07_1.img";
  std::string error;
  ASSERT_TRUE(lab::WriteVMDescription("vc", vm07, error)) << error;
  MountCtx ctx;
  ASSERT_EQ(1, vmInfo_.LoadVMInfo("5029-0007", ctx.vmInfo));
  EXPECT_EQ(0, vmInfo_.LoadVMInfo("5029-9999", ctx.vmInfo));
  EXPECT_EQ(LabVMInfo::kErrNotFound, vmInfo_.GetErrorCode());
  EXPECT_EQ("vm07", ctx.vmInfo.field01);
  JobManager::VMUpdateInfo info;
  QuarnUtils::FillVMUpdateInfoForMountedVM(info, &job_, &app_, &vmInfo_, ctx, 0, 1);
  EXPECT_EQ("ds1, ds2", Text(info, kDatastores));
  EXPECT_EQ("vmx-19", Text(info, kVersion));
  EXPECT_EQ(77, Num(info, kHostNumber));
}

TEST_F(QuarnUtilsStatusTest, BackupCopyOnVMwareReportsTheProxyAndCopyDatastores) {
  MountCtx ctx = MountedVM();
  ctx.isSnapToTape = true;
  ctx.hostCredentials.proxyHost = "esx-proxy";
  VMInfoStructs::SDisk disk;
  disk.datastore = "ds2";
  disk.snapCopyDatastore = "snap-ds2";
  ctx.vmInfo.disks.push_back(disk);
  JobManager::VMUpdateInfo info;
  QuarnUtils::FillVMUpdateInfoForMountedVM(info, &job_, &app_, &vmInfo_, ctx, 0, 1);
  EXPECT_EQ("esx-proxy", Text(info, kProxyHost));
  EXPECT_EQ("ds1, snap-ds2", Text(info, kDatastores));

  ctx.hostCredentials.proxyHost.clear();
  JobManager::VMUpdateInfo noProxy;
  QuarnUtils::FillVMUpdateInfoForMountedVM(noProxy, &job_, &app_, &vmInfo_, ctx, 0, 1);
  EXPECT_FALSE(Has(noProxy, kProxyHost));
  EXPECT_EQ(1u, testsupport::CountOf(lab_.Log(), "Failed to get ESX Proxy for VM [vm01]"));

  ctx.suppressProxyReport = true;
  QuarnUtils::FillVMUpdateInfoForMountedVM(noProxy, &job_, &app_, &vmInfo_, ctx, 0, 1);
  EXPECT_EQ(1u, testsupport::CountOf(lab_.Log(), "Failed to get ESX Proxy for VM [vm01]"));

  UseSubclient("instanceType=102\n");
  ctx.suppressProxyReport = false;
  ctx.hostCredentials.proxyHost = "esx-proxy";
  JobManager::VMUpdateInfo hyperV;
  QuarnUtils::FillVMUpdateInfoForMountedVM(hyperV, &job_, &app_, &vmInfo_, ctx, 0, 1);
  EXPECT_FALSE(Has(hyperV, kProxyHost));
  EXPECT_EQ("ds1, ds2", Text(hyperV, kDatastores));
}

TEST_F(QuarnUtilsStatusTest, StatusBitsAreOnlyEverAdded) {
  JobManager::VMUpdateInfo info;
  MountCtx ctx = MountedVM();
  ctx.statusFlag1 = true;
  QuarnUtils::FillVMUpdateInfoForMountedVM(info, &job_, &app_, &vmInfo_, ctx, 0, 1);
  EXPECT_EQ(1, Num(info, kBits));
  ctx.statusFlag1 = false;
  ctx.statusFlag2 = true;
  QuarnUtils::FillVMUpdateInfoForMountedVM(info, &job_, &app_, &vmInfo_, ctx, 0, 1);
  EXPECT_EQ(3, Num(info, kBits));
  ctx.statusFlag2 = false;
  QuarnUtils::FillVMUpdateInfoForMountedVM(info, &job_, &app_, &vmInfo_, ctx, 0, 1);
  QuarnUtils::FillVMUpdateInfoForCompletedVM(info, &job_, &app_, false, 0, 0, false, "", "", true, false);
  EXPECT_EQ(7, Num(info, kBits));
}

TEST_F(QuarnUtilsStatusTest, SendKeepsTheRecordWithTheJobManagerOnlyForAClient) {
  vm_params vm;
  vm.vmName = "vm01";
  vm.vmGuid = "G-AB-01";
  QuarnUtils::FillVMUpdateInfoForStartedVM(vm.updateInfo, &job_, &app_, "vm01", "G-AB-01", 0, 0);
  QuarnUtils::SendVMUpdateInfo(&vm, &job_, &app_, true);
  EXPECT_TRUE(vsJobMgr::ReadVMStatusGuids(1001).empty());
  EXPECT_NE(std::string::npos, lab_.Log().find("Not sending VM [vm01] update to JM because client id is 0"));

  vm.collect.setint64(6, 21, 42, VirtualServer::VMCollect::TAG, 0xFD021D);
  vm.collect.setint64(23, 62, 7007, VirtualServer::VMCollect::TAG, 0x664541);
  QuarnUtils::SendVMUpdateInfo(&vm, &job_, &app_, true);
  QuarnUtils::SendVMUpdateInfo(&vm, &job_, &app_, false);
  EXPECT_EQ(std::vector<std::string>{"g-ab-01"}, vsJobMgr::ReadVMStatusGuids(1001));
  JobManager::VMUpdateInfo kept;
  ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, "g-AB-01", kept));
  EXPECT_EQ(42, Num(kept, kClientId));
  EXPECT_EQ(7007, Num(kept, kChildJob));
  EXPECT_EQ("G-AB-01", Text(kept, kGuid));
  EXPECT_EQ(2, Num(kept, kStatus));
  EXPECT_EQ((std::vector<std::string>{"7 1", "7 0"}), lab::ReadVMStatusUpdates(1001));
}

TEST_F(QuarnUtilsStatusTest, JobManagerRefusesRecordsItCannotKeepSafely) {
  JobManager::VMUpdateInfo info;
  EXPECT_FALSE(job_.setVMStatus("../escape", info));
  EXPECT_FALSE(job_.setVMStatus("", info));
  VirtualServer::VMCollect notAStatus;
  EXPECT_FALSE(job_.setVMStatus("g1", notAStatus));
  EXPECT_TRUE(vsJobMgr::ReadVMStatusGuids(1001).empty());
  EXPECT_FALSE(vsJobMgr::ReadVMStatus(1001, "g1", info));
  ASSERT_TRUE(lab::MakeDirs(lab::VMStatusPath(1001, "g2").substr(0, lab::VMStatusPath(1001, "g2").rfind('/'))));
  ASSERT_TRUE(lab::WriteFileAtomic(lab::VMStatusPath(1001, "g2"), "<not xml"));
  info.setint64(kStatus.index, kStatus.number, 4, kTag, kStatus.check);
  EXPECT_FALSE(vsJobMgr::ReadVMStatus(1001, "g2", info));
  EXPECT_EQ(4, Num(info, kStatus));
}

TEST_F(QuarnUtilsStatusTest, AnotherMountMethodIsTriedOnlyForFailedVMsWithTheEvent) {
  auto record = [](const std::string& name, int status, int64_t eventId) {
    JobManager::VMUpdateInfo info;
    info.setstring(kVMName.index, kVMName.number, name, kTag, kVMName.check);
    info.setint64(kStatus.index, kStatus.number, status, kTag, kStatus.check);
    info.setstring(kTransport.index, kTransport.number, "san", kTag, kTransport.check);
    if (eventId >= 0) {
      CNMessageBase* event = info.getObjectAccessor(false, true, kEvent.index, kEvent.number, kTag, kEvent.check, 20, 36);
      if (event != nullptr) event->setint64(1, 1, eventId, 0x14D9382D, 0x2B2382);
    }
    return info;
  };
  std::vector<JobManager::VMUpdateInfo> none;
  EXPECT_FALSE(QuarnUtils::ShouldTryDifferentMountMethod(none));

  std::vector<JobManager::VMUpdateInfo> others = {record("done", 0, 0x5B00016A), record("warn", 3, 0x5B00016A),
                                                  record("busy", 2, 0x5B00016A), record("odd", 9, 0x5B00016A),
                                                  record("other", 1, 0x5B000001), record("bare", 4, -1)};
  EXPECT_FALSE(QuarnUtils::ShouldTryDifferentMountMethod(others));
  std::string log = lab_.Log();
  EXPECT_NE(std::string::npos, log.find("VM: [done] Status: [0] Transport mode [san]"));
  EXPECT_NE(std::string::npos, log.find("VM: [busy] is in progress with transport mode [san]"));
  EXPECT_NE(std::string::npos, log.find("Status event has a different message ID"));
  EXPECT_NE(std::string::npos, log.find("Status event is not set"));
  EXPECT_NE(std::string::npos, log.find("No VM found with correct message ID"));

  for (int status : {1, 4}) {
    std::vector<JobManager::VMUpdateInfo> list = {record("other", 1, 0x5B000001), record("hit", status, 0x5B00016A)};
    EXPECT_TRUE(QuarnUtils::ShouldTryDifferentMountMethod(list)) << status;
  }
  EXPECT_NE(std::string::npos, lab_.Log().find("Found VMs with correct message ID"));
}

}  // namespace
