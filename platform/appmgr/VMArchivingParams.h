#pragma once
#include <cstdint>
#include <map>
#include <string>

// The subclient's VM archiving and power management settings, as the application manager hands them
// out for one VM (vsAppMgr::GetVMArchivingParams).
struct VMArchivingParams {
  bool archiveRuleEnabled = false;
  int32_t archivePowerOffDays = -1;
  bool relocateRuleEnabled = false;
  int32_t relocatePowerOffDays = -1;
  std::string DestinationHost;
  std::string DestinationDatastore;
  std::string DestinationResourcepool;
  int32_t expiryOverrideHours = -1;  // -1: the subclient's retention in days decides
  // Powered-off time compared as reported (hours) instead of in whole days.
  bool compareHours = false;
  bool archiveImmediately = false;
  bool relocateImmediately = false;
  uint32_t destinationProvisioning = 0;  // 0: none
  // VM names separated by ';', each optionally in '"' quotes, '\' escaping the next character.
  std::string archiveVMList;
  std::string relocateVMList;
  bool precedenceToArchiving = false;
  std::map<std::string, std::string> powerMgmtConditions;  // handed to the idle-VM check
  bool powerMgmtEnabled = false;
  uint32_t PowerMgmtAction = 1;  // 1 power off, 2 shut the guest down
  bool powerOffIdleVMs = false;
};
