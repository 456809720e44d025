#include <set>

#include "app/QuarnUtils.h"
#include "platform/config/ZTPI_Focus.h"
#include "platform/ev/EvEvent.h"
#include "platform/os/ZtTime.h"

namespace {

// JobManager::VMUpdateInfo and its fields: (index, number, check value).
constexpr uint32_t kInfoTag = 0x15A0B32E;
struct Field {
  int index;
  int number;
  uint32_t check;
};
constexpr Field kClientId{1, 1, 0x253646};
constexpr Field kVMName{2, 2, 0x80C9E2};
constexpr Field kStatus{3, 6, 0x32BC12};
constexpr Field kBackupMethod{4, 7, 0x25A43C};
constexpr Field kTransport{5, 8, 0x75184C};
constexpr Field kMountResult{6, 12, 0xB4CC27};
constexpr Field kSize{7, 16, 0x275421};
constexpr Field kCount1{8, 17, 0x200329};
constexpr Field kVersion{9, 18, 0x1D91B0};
constexpr Field kInventory2{10, 22, 0x7036B0};
constexpr Field kStartTime{11, 26, 0xB5468D};
constexpr Field kEndTime{12, 27, 0x711E06};
constexpr Field kReason{13, 28, 0xF9104E};
constexpr Field kVMGuid{15, 33, 0x218E89};
constexpr Field kProxyClient{16, 37, 0xC452E5};
constexpr Field kHost{18, 42, 0x2269C8};
constexpr Field kToolsVersion{19, 46, 0x7F829D};
constexpr Field kCount2{20, 50, 0x80F5D9};
constexpr Field kHostNumber{24, 57, 0xB26880};
constexpr Field kStatusEvent{25, 58, 0x73D9C8};
constexpr Field kFlag1{27, 63, 0x6A254D};
constexpr Field kInventory86{34, 76, 0x079636};
constexpr Field kInventory28{35, 80, 0xB49210};
constexpr Field kChildJobId{36, 84, 0x09A998};
constexpr Field kDatastores{39, 87, 0x714377};
constexpr Field kFullBackup{42, 93, 0xAB7EE2};
constexpr Field kProxyHost{43, 94, 0x1D9F24};
constexpr Field kVendor{49, 106, 0x1E12F6};
constexpr Field kInventory29{61, 121, 0xA9F214};
constexpr Field kStatusBits{62, 125, 0xB5B8C1};
constexpr Field kLastFlag{63, 126, 0xE85BFA};

// Common::EventMessage nested in the status record, and its message id.
constexpr int kEventGroup = 20;
constexpr int kEventType = 36;
constexpr uint32_t kEventTag = 0x14D9382D;
constexpr uint32_t kEventIdCheck = 0x2B2382;

// VirtualServer::VMCollect fields read when a record is sent.
constexpr uint32_t kCollectTag = 0x1A87C273;
constexpr uint32_t kCollectClientIdCheck = 0xFD021D;
constexpr uint32_t kCollectJobIdCheck = 0x664541;

constexpr uint32_t kEventOtherMountMethod = 0x5B00016A;

constexpr int kStatusBackedUp = 0;
constexpr int kStatusFailed = 1;
constexpr int kStatusInProgress = 2;
constexpr int kStatusBackedUpWithErrors = 3;
constexpr int kStatusToBeBackedUp = 4;

void SetNumber(CNMessageBase& info, const Field& f, int64_t value) {
  info.setint64(f.index, f.number, value, kInfoTag, f.check);
}
void SetText(CNMessageBase& info, const Field& f, const std::string& value) {
  info.setstring(f.index, f.number, value, kInfoTag, f.check);
}
int64_t Number(const CNMessageBase& info, const Field& f) { return info.getint64(f.number, kInfoTag, f.check); }
std::string Text(const CNMessageBase& info, const Field& f) {
  return info.getstring(f.index, f.number, kInfoTag, f.check);
}
void AddBits(CNMessageBase& info, int64_t bits) { SetNumber(info, kStatusBits, Number(info, kStatusBits) | bits); }

bool IsStubPhase(vsJobMgr* job) { return job != nullptr && job->isVMStubPhase(); }

}  // namespace

std::string QuarnUtils::TruncateStatusText(const std::string& text) {
  if (text.size() <= kMaxStatusText) return text;
  auto continues = [&text](size_t at) { return (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80; };
  // A byte 10xxxxxx continues the character that began before it; cutting there would leave half.
  // A character has at most three such bytes; a longer run is not UTF-8, and walking back over it
  // would throw away text for nothing.
  size_t cut = kMaxStatusText;
  for (int back = 0; back < 3 && cut > 0 && continues(cut); ++back) --cut;
  if (continues(cut)) cut = kMaxStatusText;
  return text.substr(0, cut) + " ...";
}

void QuarnUtils::FillVMUpdateInfoForStartedVM(JobManager::VMUpdateInfo& info, vsJobMgr* job, vsAppMgr* app,
                                              const std::string& vmName, const std::string& vmGuid, int clientId,
                                              long long childJobId) {
  if (IsStubPhase(job)) return;
  SetNumber(info, kClientId, clientId);
  SetText(info, kVMName, vmName);
  SetText(info, kVMGuid, vmGuid);
  SetNumber(info, kStatus, kStatusInProgress);
  SetNumber(info, kStartTime, ZtClock::NowSeconds());
  SetText(info, kProxyClient, ZTPI_Focus::getFocusClientName(true));
  SetText(info, kReason, std::string());
  SetNumber(info, kChildJobId, childJobId);
  SetNumber(info, kVendor, vsAppMgr::ConvertInstanceTypeToVendor(app != nullptr ? app->getInstanceType() : 0));
}

void QuarnUtils::FillVMUpdateInfoForMountedVM(JobManager::VMUpdateInfo& info, vsJobMgr* /*job*/, vsAppMgr* app,
                                              IVMInfo* vmInfoObject, MountCtx& ctx, int /*unused*/,
                                              long long size) {
  static const char* const kSig =
      "static void QuarnUtils::FillVMUpdateInfoForMountedVM(JobManager::VMUpdateInfo&, vsJobMgr*, vsAppMgr*, IVMInfo*, "
      "MountCtx&, int, long long int)";
  EvEvent log;
  const VMInfoStructs::SVMInfo& inventory = ctx.vmInfo;
  int instanceType = app != nullptr ? app->getInstanceType() : ctx.instanceType;
  bool vmware = vsAppMgr::isServerTypeVMWare(instanceType);

  SetNumber(info, kBackupMethod, ctx.backupMethod == 1 || ctx.backupMethod == 2 ? ctx.backupMethod : 0);
  if (vsAppMgr::isServerTypeMS(instanceType)) {
    SetText(info, kToolsVersion, inventory.toolsVersion.empty() ? std::string("Not Installed") : inventory.toolsVersion);
  } else {
    SetText(info, kTransport, ctx.transportText);
    SetText(info, kToolsVersion, inventory.toolsVersion);
  }
  SetText(info, kVersion, inventory.version);
  SetText(info, kInventory28, inventory.field28);
  SetText(info, kMountResult, ctx.mountResultText);
  SetNumber(info, kSize, size);
  SetText(info, kInventory2, inventory.field02);

  if (!inventory.host.empty()) {
    SetText(info, kHost, inventory.host);
    VMInfoStructs::SHostInfo hostInfo;
    if (vmInfoObject != nullptr && vmInfoObject->GetHostInfo(inventory.host, hostInfo, 0, 0) != 0)
      SetNumber(info, kHostNumber, hostInfo.field34);
    else
      log.Error(kSig, "Failed to get host info for [%s]", inventory.host.c_str());
  }

  if (vmware && ctx.isSnapToTape && !ctx.suppressProxyReport) {
    if (!ctx.hostCredentials.proxyHost.empty())
      SetText(info, kProxyHost, ctx.hostCredentials.proxyHost);
    else
      log.Error(kSig, "Failed to get ESX Proxy for VM [%s]", ctx.vmName.c_str());
  }

  std::set<std::string> datastores;
  datastores.insert(inventory.datastore);
  for (const VMInfoStructs::SDisk& disk : inventory.disks)
    datastores.insert(vmware && ctx.isSnapToTape ? disk.snapCopyDatastore : disk.datastore);
  std::string list;
  for (const std::string& name : datastores) {
    if (name.empty()) continue;
    if (!list.empty()) list += ", ";
    list += name;
  }
  SetText(info, kDatastores, TruncateStatusText(list));

  SetText(info, kInventory86, inventory.field86);
  if (ctx.vmBackupLevel == 1) SetNumber(info, kFullBackup, 1);
  if (!inventory.field29.empty()) SetText(info, kInventory29, inventory.field29);
  if (ctx.statusFlag1) AddBits(info, 1);
  if (ctx.statusFlag2) AddBits(info, 2);
}

void QuarnUtils::FillVMUpdateInfoForFailedVM(JobManager::VMUpdateInfo& info, vsJobMgr* job, vsAppMgr* app,
                                             IVMInfo* vmInfoObject, MountCtx& ctx, int unused) {
  FillVMUpdateInfoForMountedVM(info, job, app, vmInfoObject, ctx, unused, 0);
}

void QuarnUtils::FillVMUpdateInfoForCompletedVM(JobManager::VMUpdateInfo& info, vsJobMgr* job, vsAppMgr* /*app*/,
                                                bool hadErrors, unsigned long long count1,
                                                unsigned long long count2, bool flag1, const std::string& reason,
                                                const std::string& text2, bool flag4, bool lastFlag) {
  if (IsStubPhase(job)) return;
  if (!reason.empty()) {
    SetNumber(info, kStatus, hadErrors ? kStatusBackedUpWithErrors : kStatusBackedUp);
    SetText(info, kReason, TruncateStatusText(reason));
  } else {
    SetText(info, kReason, std::string());
    SetNumber(info, kStatus, kStatusBackedUp);
  }
  if (job == nullptr || !job->isVMContentIndexMode()) {
    SetNumber(info, kCount1, static_cast<int64_t>(count1));
    SetNumber(info, kCount2, static_cast<int64_t>(count2));
    SetNumber(info, kFlag1, flag1 ? 1 : 0);
    if (job == nullptr || !job->isSnapCatalogMode()) SetText(info, kMountResult, text2);
  }
  SetNumber(info, kEndTime, ZtClock::NowSeconds());
  if (flag4) AddBits(info, 4);
  SetNumber(info, kLastFlag, lastFlag ? 1 : 0);
}

void QuarnUtils::SendVMUpdateInfo(vm_params* vm, vsJobMgr* job, vsAppMgr* app, bool flag) {
  static const char* const kSig = "static void QuarnUtils::SendVMUpdateInfo(vm_params*, vsJobMgr*, vsAppMgr*, bool)";
  if (vm == nullptr || job == nullptr) return;
  EvEvent log;
  int64_t clientId = vm->collect.getint64(21, kCollectTag, kCollectClientIdCheck);
  if (clientId < 1) {
    log.Error(kSig, "Not sending VM [%s] update to JM because client id is 0", vm->vmName.c_str());
    return;
  }
  SetNumber(vm->updateInfo, kClientId, clientId);
  SetNumber(vm->updateInfo, kChildJobId, vm->collect.getint64(62, kCollectTag, kCollectJobIdCheck));
  job->setVMStatus(vm->vmGuid, vm->updateInfo);
  job->updateVMBkpJobStatus(app != nullptr ? app->getKeyrealmId() : 0, flag);
}

bool QuarnUtils::ShouldTryDifferentMountMethod(std::vector<JobManager::VMUpdateInfo>& list) {
  static const char* const kSig =
      "static bool QuarnUtils::ShouldTryDifferentMountMethod(std::vector<JobManager::VMUpdateInfo>&)";
  EvEvent log;
  bool found = false;
  for (JobManager::VMUpdateInfo& info : list) {
    std::string name = Text(info, kVMName);
    int status = static_cast<int>(Number(info, kStatus));
    switch (status) {
      case kStatusBackedUp:
      case kStatusBackedUpWithErrors:
        log.DebugLvl(2, kSig, "VM: [%s] Status: [%d] Transport mode [%s]", name.c_str(), status,
                     Text(info, kTransport).c_str());
        break;
      case kStatusInProgress:
        log.Debug(kSig, "VM: [%s] is in progress with transport mode [%s]", name.c_str(),
                  Text(info, kTransport).c_str());
        break;
      case kStatusFailed:
      case kStatusToBeBackedUp: {
        CNMessageBase* event = info.getObjectAccessor(false, false, kStatusEvent.index, kStatusEvent.number, kInfoTag,
                                                      kStatusEvent.check, kEventGroup, kEventType);
        std::string eventText;
        if (event != nullptr) event->serialize(eventText, true);
        log.Debug(kSig, "VM: [%s] Status: [%d] Status Event: [%s]", name.c_str(), status, eventText.c_str());
        if (event == nullptr || !info.isSet(kStatusEvent.index, kInfoTag, kStatusEvent.check))
          log.Debug(kSig, "Status event is not set");
        else if (static_cast<uint32_t>(event->getint64(1, kEventTag, kEventIdCheck)) == kEventOtherMountMethod)
          found = true;
        else
          log.Debug(kSig, "Status event has a different message ID");
        break;
      }
      default:
        break;
    }
  }
  if (found) {
    log.Debug(kSig, "Found VMs with correct message ID");
    return true;
  }
  log.Debug(kSig, "No VM found with correct message ID");
  return false;
}
