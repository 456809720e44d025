#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "platform/lab/LabSubclient.h"

// The properties the lab keeps of a VM's own client (a backed-up VM is a client with an id):
// vmclients/<client id>.conf, key=value lines. Keys: hostName (the host the VM's client reaches it
// through), appsDiscovered (the applications last found inside its guest), archived (1: the VM is a stub),
// powerOffHours (how long it was off when power management last looked), eligibleForArchiving (1: power
// management found it idle). Other keys are kept.
namespace lab {

struct VMClientRecord {
  std::map<std::string, std::string> values;
};

// Empty without a lab or for a client id below 1.
std::string VMClientPath(int64_t clientId);
RecordRead ReadVMClientRecord(int64_t clientId, VMClientRecord& record, std::string& error);
// Sets one property under the record's lock (the record is made when it does not exist). A value
// that would not read back as it is (a line break, blanks at its ends) is refused.
bool SetVMClientValue(int64_t clientId, const std::string& key, const std::string& value, std::string& error);

}  // namespace lab
