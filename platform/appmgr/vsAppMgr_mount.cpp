#include "platform/appmgr/vsAppMgr.h"

#include <memory>

#include "platform/ev/EvDebug.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/msg/CNMessageBase.h"
#include "records/messages/VirtualServerMessages.h"

namespace {

const char* const kSigMountNumber = "int vsAppMgr::MountNumber(const std::string&) const";
const char* const kSigAppendDiskFilters = "int vsAppMgr::AppendDiskFilters(const std::string&, CNMessageBase&) const";

using FilterList = VirtualServer::VMSubclientDiskFilterList;
using Filter = VirtualServer::VMSubclientDiskFilter;

}  // namespace

int vsAppMgr::MountNumber(const std::string& key) const {
  std::string text;
  int64_t value = 0;
  if (!GetSetting(key, text) || text.empty()) return 0;
  if (!labkv::ParseInt64(text, value) || value < INT32_MIN || value > INT32_MAX) {
    EvDebug::Error(kSigMountNumber, "Subclient setting [%s] value [%s] is not a number, using 0", key.c_str(),
                   text.c_str());
    return 0;
  }
  return static_cast<int>(value);
}

std::string vsAppMgr::MountText(const std::string& key) const {
  std::string text;
  GetSetting(key, text);
  return text;
}

int vsAppMgr::getClientId() const { return MountNumber("clientId"); }
std::string vsAppMgr::getClientName() const { return MountText("clientName"); }
int vsAppMgr::getAppTypeId() const { return MountNumber("appTypeId"); }
std::string vsAppMgr::getBackupSetName() const { return MountText("backupSetName"); }
int vsAppMgr::getSnapEngineID() const { return MountNumber("snapEngineId"); }
int vsAppMgr::getSnapControlHostID() const { return MountNumber("snapControlHostId"); }
int vsAppMgr::getPhysicalClientId() const { return MountNumber("physicalClientId"); }
bool vsAppMgr::getVssCollectMetaData() const { return MountNumber("vssCollectMetadata") != 0; }
bool vsAppMgr::isQuiesceFileSystemEnabled() const { return MountNumber("quiesceFileSystem") != 0; }
bool vsAppMgr::isUseVMCheckpointSet() const { return MountNumber("useVMCheckpoint") != 0; }
bool vsAppMgr::IsdatastoreSpaceCheck() const { return MountNumber("datastoreSpaceCheck") != 0; }
int vsAppMgr::getDatastoreFreeSpaceValue() const { return MountNumber("datastoreFreeSpace"); }
bool vsAppMgr::IsQuiesceImpersonateSet() const { return MountNumber("quiesceImpersonate") != 0; }
std::string vsAppMgr::GetVMGuestUserName() const { return MountText("guestUserName"); }
std::string vsAppMgr::GetVMGuestPassword() const { return MountText("guestPassword"); }
bool vsAppMgr::isUseCBTEnabled() const { return MountNumber("useCBT") != 0; }
bool vsAppMgr::isSkipPageFileExtentEnabled() const { return MountNumber("skipPageFileExtents") != 0; }
bool vsAppMgr::IsIncludeRawDeviceMapsSet() const { return MountNumber("includeRawDeviceMaps") != 0; }
bool vsAppMgr::IsIncludeIndependentDisksSet() const { return MountNumber("includeIndependentDisks") != 0; }

int vsAppMgr::ConvertInstanceTypeToVendor(int instanceType) {
  if (isServerTypeVMWare(instanceType)) return 1;
  if (isServerTypeMS(instanceType)) return 2;
  if (isServerTypeXen(instanceType)) return 3;
  if (isServerTypeAmazon(instanceType)) return 4;
  if (isServerTypeAzure(instanceType)) return 5;
  if (isServerTypeNutanix(instanceType)) return 6;
  if (isServerTypeRhev(instanceType)) return 7;
  if (isServerTypeOpenStack(instanceType)) return 8;
  if (isServerTypeFusionCompute(instanceType)) return 9;
  if (isServerTypeOracleVM(instanceType)) return 10;
  if (isServerTypeOracleCloud(instanceType) || isServerTypeOracleCloudInfrastructure(instanceType)) return 11;
  if (isServerTypeGoogleCloud(instanceType)) return 12;
  if (isServerTypeAliCloud(instanceType)) return 13;
  if (isServerTypeK8s(instanceType)) return 14;
  return 0;
}

int vsAppMgr::getDiskFilter(CNMessageBase& list) const { return AppendDiskFilters("diskFilter.", list); }

int vsAppMgr::getDoNotBackupSubclientDiskFilter(CNMessageBase& list) const {
  return AppendDiskFilters("doNotBackupDiskFilter.", list);
}

int vsAppMgr::AppendDiskFilters(const std::string& prefix, CNMessageBase& list) const {
  if (list.getTagID() != FilterList::TAG) {
    EvDebug::Error(kSigAppendDiskFilters, "Disk filters asked for in a message of tag [0x%08X]", list.getTagID());
    return kRetBadSettings;
  }
  CNMessageList& filters = list.getlistobject(FilterList::F_filters, true);
  for (int n = 1;; ++n) {
    std::string key = prefix + std::to_string(n) + ".";
    std::string type, value, vmGuid, vmName, text, flag;
    bool any = GetSetting(key + "type", type);
    any = GetSetting(key + "value", value) || any;
    any = GetSetting(key + "vmGuid", vmGuid) || any;
    any = GetSetting(key + "vmName", vmName) || any;
    any = GetSetting(key + "text", text) || any;
    bool hasFlag = GetSetting(key + "flag", flag);
    if (!any && !hasFlag) break;

    std::unique_ptr<CNMessageBase> filter = CNMessageBase::Create(Filter::TAG);
    int64_t number = 0;
    if (labkv::ParseInt64(type, number))
      filter->setint64(Filter::F_filterType, number);
    else
      EvDebug::Error(kSigAppendDiskFilters, "Disk filter [%s] type [%s] is not a number", key.c_str(), type.c_str());
    filter->setstring(Filter::F_filterValue, value);
    filter->setstring(Filter::F_guid, vmGuid);
    filter->setstring(Filter::F_vmName, vmName);
    filter->setstring(Filter::F_filterText, text);
    if (hasFlag) {
      if (labkv::ParseInt64(flag, number))
        filter->setint64(Filter::F_filterFlag, number);
      else
        EvDebug::Error(kSigAppendDiskFilters, "Disk filter [%s] flag [%s] is not a number", key.c_str(), flag.c_str());
    }
    filters.push_back(CNMessagePtr(std::move(filter)));
  }
  return kRetOk;
}

std::string vsAppMgr::GetLinuxFBRMA() const {
  std::string value;
  return GetSetting("linuxFbrMA", value) ? value : std::string();
}

bool vsAppMgr::IsInstanceTypeSupportedForLVM() const {
  const int type = getInstanceType();
  return isServerTypeVMWare(type) || isServerTypeMS(type) || isServerTypeAzure(type) || isServerTypeXen(type) ||
         isServerTypeRhev(type) || isServerTypeAmazon(type) || isServerTypeNutanix(type) ||
         isServerTypeFusionCompute(type) || isServerTypeOpenStack(type) || isServerTypeOracleVM(type) ||
         isServerTypeOracleCloud(type) || isServerTypeGoogleCloud(type) || isServerTypeAliCloud(type) ||
         isServerTypeK8s(type);
}

bool vsAppMgr::IsLegacyGuestSizeCalculationEnabled() const { return MountNumber("legacyGuestSize") != 0; }
