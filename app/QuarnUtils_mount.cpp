#include <cstring>

#include "app/QuarnUtils.h"
#include "platform/ev/EvEvent.h"
#include "platform/os/PatternMatch.h"
#include "records/WinCompat.h"

namespace {

// VirtualServer::VMSubclientDiskFilterList and VMSubclientDiskFilter.
constexpr uint32_t kFilterListTag = 0x1A254BE7;
constexpr uint32_t kFilterListCheck = 0x10A3FB;
constexpr uint32_t kFilterTag = 0x1AFD23A9;

constexpr int kTypeNormalizedFrom = 9;
constexpr int kTypeNormalizedTo = 8;
constexpr int kTypePattern = 2;

// Type of a filter as the mount context knows it.
int32_t MountFilterType(int64_t configured) {
  if (configured >= 1 && configured <= 6) return static_cast<int32_t>(configured);
  if (configured == kTypeNormalizedFrom) return kTypeNormalizedTo;
  return 0;
}

bool AppliesTo(const std::string& vmGuid, const std::string& namePattern, const MountCtx& ctx) {
  if (!vmGuid.empty() && vmGuid != "*") return _stricmp(vmGuid.c_str(), ctx.vmGuid.c_str()) == 0;
  if (vmGuid.empty() && !namePattern.empty()) return CPathMatch(namePattern, 1, 0).Match(ctx.vmName);
  return true;
}

}  // namespace

void QuarnUtils::InitMountCtx(vsJobMgr* job, vsAppMgr* app, subclientFiles* files, QuarnRegistry* reg,
                              MountCtx* ctx) {
  static const char* const kSig =
      "static void QuarnUtils::InitMountCtx(vsJobMgr*, vsAppMgr*, subclientFiles*, QuarnRegistry*, MountCtx*)";
  EvEvent log;
  if (ctx == nullptr || job == nullptr || app == nullptr) {
    log.Error(kSig, "Cannot fill the mount context: job manager, application manager or context missing");
    return;
  }
  // The library's fixed buffer need not be terminated.
  if (files != nullptr)
    ctx->subclientDir.assign(files->subclientDir, strnlen(files->subclientDir, sizeof(files->subclientDir)));
  ctx->jobId = static_cast<uint64_t>(job->getJobId());
  ctx->clientId = app->getClientId();
  ctx->backupLevel = job->getBkpLevel();
  ctx->appId = static_cast<int32_t>(app->getAppId());
  ctx->appTypeId = app->getAppTypeId();
  ctx->instanceId = static_cast<int32_t>(app->getInstanceId());
  ctx->keyrealmId = static_cast<int32_t>(app->getKeyrealmId());
  ctx->instanceType = app->getInstanceType();
  ctx->snapEngineId = app->getSnapEngineID();

  ctx->clientName = app->getClientName();
  ctx->backupSetName = app->getBackupSetName();
  ctx->subclientName = app->getSubclientName();
  ctx->mediaAgentName = job->getMediaAgent();

  ctx->isSnapBackup = job->isSnapBackup();
  ctx->isSnapToTape = job->isSnapToTape();
  ctx->isSnapCatalog = job->isSnapCatalogMode();
  int64_t snapJobId = job->getSnapBkpJobId();
  ctx->snapBackupJobId = snapJobId != 0 ? static_cast<uint64_t>(snapJobId) : ctx->jobId;

  ctx->collectMetadata = job->isCollectMetadataEnabled();
  ctx->jobToken = job->getJobToken();
  ctx->quiesceFileSystem = app->isQuiesceFileSystemEnabled();
  ctx->useVMCheckpoint = app->isUseVMCheckpointSet();
  ctx->vssCollectMetadata = app->getVssCollectMetaData();
  ctx->useCBT = app->isUseCBTEnabled();
  ctx->skipPageFileExtents = app->isSkipPageFileExtentEnabled();
  ctx->physicalClientId = app->getPhysicalClientId();
  ctx->includeIndependentDisks = app->IsIncludeIndependentDisksSet();
  ctx->includeRawDeviceMaps = app->IsIncludeRawDeviceMapsSet();
  ctx->useIndexingV2 = app->isUseIndexingV2Enabled();
  ctx->snapControlHostId = app->getSnapControlHostID();

  if (!ctx->isSnapBackup && !ctx->isSnapToTape) ctx->snapEngineId = 0;
  if (app->IsdatastoreSpaceCheck()) ctx->datastoreFreeSpace = app->getDatastoreFreeSpaceValue();
  if (app->IsQuiesceImpersonateSet()) {
    ctx->guestUserName = app->GetVMGuestUserName();
    ctx->guestPassword = app->GetVMGuestPassword();
  }
  bool forceSingleProxy = false;
  if (reg != nullptr) reg->GetEntry(REG_bForceSingleProxyBackup, forceSingleProxy, false);
  ctx->forceSingleProxy = forceSingleProxy;
  if (ctx->isSnapBackup &&
      IsVMCentricSnapBackupSupported(static_cast<VirtualServerInstanceType>(ctx->instanceType),
                                     static_cast<unsigned long>(ctx->snapEngineId), ctx->useIndexingV2))
    ctx->vmCentricSnapBackup = true;

  int appConsistent = 0;
  if (reg != nullptr) reg->GetEntry(REG_nEnableHypervisorAppConsistentBackup, appConsistent, 0);
  if (appConsistent > 0 && app->GetAppAwareEnabled() &&
      IsAppConsistentSnapshotSupported(static_cast<VirtualServerInstanceType>(ctx->instanceType))) {
    ctx->quiesceFileSystem = true;
    log.Debug(kSig, "Forcing Quiesce File system [ON] for application aware backups.");
  }

  bool collectDiskBlockInfo = true;
  if (reg != nullptr) reg->GetEntry(REG_bCollectDiskBlockInfo, collectDiskBlockInfo, true);
  ctx->collectDiskBlockInfo = collectDiskBlockInfo;
}

bool QuarnUtils::AddDiskFilterToMountCtx(vsAppMgr* app, MountCtx* ctx) {
  if (app == nullptr || ctx == nullptr) return true;
  VirtualServer::VMSubclientDiskFilterList filters;
  app->getDiskFilter(filters);
  AddDiskFilterToMountCtx(filters, ctx);
  VirtualServer::VMSubclientDiskFilterList doNotBackup;
  app->getDoNotBackupSubclientDiskFilter(doNotBackup);
  AddDiskFilterToMountCtx(doNotBackup, ctx);
  return true;
}

bool QuarnUtils::AddDiskFilterToMountCtx(VirtualServer::VMSubclientDiskFilterList& list, MountCtx* ctx) {
  static const char* const kSig =
      "static bool QuarnUtils::AddDiskFilterToMountCtx(VirtualServer::VMSubclientDiskFilterList&, MountCtx*)";
  if (ctx == nullptr) return true;
  EvEvent log;
  for (const CNMessagePtr& element : list.getlistobject(1, 1, kFilterListTag, kFilterListCheck, false)) {
    if (!element || element->getTagID() != kFilterTag) {
      log.Error(kSig, "Skipping a disk filter entry of tag [0x%08X]", element ? element->getTagID() : 0u);
      continue;
    }
    const CNMessageBase& filter = *element;
    std::string vmGuid = filter.getstring(3, 6, kFilterTag, 0x7DE5E0);
    std::string namePattern = filter.getstring(4, 10, kFilterTag, 0x80C9E2);
    if (!AppliesTo(vmGuid, namePattern, *ctx)) continue;

    SDiskFilter added;
    added.type = MountFilterType(filter.getint64(1, kFilterTag, 0x6E52D2));
    added.value = filter.getstring(2, 2, kFilterTag, 0x08CB78);
    if (ctx->instanceType == kInstanceTypeHyperV && added.type == kTypePattern)
      added.value = NormalizeDiskPatternFilter(added.value);
    added.text = filter.getstring(5, 14, kFilterTag, 0xAC9171);
    added.vmGuid = vmGuid;
    added.vmNamePattern = namePattern;
    added.flag = filter.isSet(6, kFilterTag, 0x109890) ? filter.getint64(18, kFilterTag, 0x109890) != 0 : true;
    ctx->diskFilters.push_back(std::move(added));
  }
  return true;
}

std::string QuarnUtils::NormalizeDiskPatternFilter(const std::string& pattern) {
  static const char* const kSig = "static std::string QuarnUtils::NormalizeDiskPatternFilter(const std::string&)";
  bool driveLetterPath = pattern.size() >= 2 && pattern[1] == ':';
  bool backslashPath = pattern.size() >= 3 && pattern[0] == '\\';
  if (driveLetterPath || backslashPath) return pattern;
  std::string normalized = "*\\**\\" + pattern;
  EvEvent log;
  log.Debug(kSig, "No delimiter found in disk pattern filter [%s], changing it to [%s] with delimiter [%c]",
            pattern.c_str(), normalized.c_str(), '/');
  return normalized;
}
