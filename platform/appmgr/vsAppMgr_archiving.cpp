// The subclient's VM archiving and power management settings.
#include "platform/appmgr/VMArchivingParams.h"
#include "platform/appmgr/vsAppMgr.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabSubclient.h"

namespace {

// A value of the record; absent values leave the field at its default.
class ArchivingSettings {
 public:
  explicit ArchivingSettings(const std::map<std::string, std::string>& settings) : settings_(settings) {}
  void Text(const char* key, std::string& field) const {
    const auto found = settings_.find(key);
    if (found != settings_.end()) field = found->second;
  }
  template <typename Number>
  void Whole(const char* key, Number& field) const {
    int64_t value = 0;
    const auto found = settings_.find(key);
    if (found != settings_.end() && labkv::ParseInt64(found->second, value)) field = static_cast<Number>(value);
  }
  void Flag(const char* key, bool& field) const {
    int64_t value = field ? 1 : 0;
    Whole(key, value);
    field = value != 0;
  }

 private:
  const std::map<std::string, std::string>& settings_;
};

}  // namespace

int vsAppMgr::GetVMArchivingParams(VMArchivingParams& params) {
  if (int code = InjectedFault("appmgr.GetVMArchivingParams")) return code;
  // Read afresh for every VM: what the administrator changed while the job ran holds for the VMs to come.
  lab::SubclientRecord record;
  if (int code = ReadSubclient(getAppIdStr(), record)) return code;
  const ArchivingSettings settings(record.settings);
  VMArchivingParams filled;
  settings.Flag("archiveRule", filled.archiveRuleEnabled);
  settings.Whole("archiveDays", filled.archivePowerOffDays);
  settings.Flag("relocateRule", filled.relocateRuleEnabled);
  settings.Whole("relocateDays", filled.relocatePowerOffDays);
  settings.Text("destinationHost", filled.DestinationHost);
  settings.Text("destinationDatastore", filled.DestinationDatastore);
  settings.Text("destinationResourcePool", filled.DestinationResourcepool);
  settings.Whole("expiryOverrideHours", filled.expiryOverrideHours);
  settings.Flag("archiveCompareHours", filled.compareHours);
  settings.Flag("archiveImmediately", filled.archiveImmediately);
  settings.Flag("relocateImmediately", filled.relocateImmediately);
  settings.Whole("destinationProvisioning", filled.destinationProvisioning);
  settings.Text("archiveVMList", filled.archiveVMList);
  settings.Text("relocateVMList", filled.relocateVMList);
  settings.Flag("archivePrecedence", filled.precedenceToArchiving);
  settings.Flag("powerManagement", filled.powerMgmtEnabled);
  settings.Whole("powerMgmtAction", filled.PowerMgmtAction);
  settings.Flag("powerOffIdleVMs", filled.powerOffIdleVMs);
  std::string conditions;
  settings.Text("powerConditions", conditions);
  for (const std::string& condition : labkv::SplitList(conditions)) {
    const size_t colon = condition.find(':');
    filled.powerMgmtConditions[condition.substr(0, colon)] =
        colon == std::string::npos ? std::string() : condition.substr(colon + 1);
  }
  params = filled;
  return kRetOk;
}

int64_t vsAppMgr::getKeyrealmNumber() const { return Number("keyrealmNumber", 0); }

int64_t vsAppMgr::getBackupsetId() const { return Number("backupsetId", 0); }
