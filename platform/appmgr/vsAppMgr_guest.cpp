// The subclient's guest credentials for the applications inside its VMs.
#include "platform/appmgr/vsAppMgr.h"

void vsAppMgr::GetVMGuestApplUser(std::string& user, std::string& password) const {
  user.clear();
  password.clear();
  GetSetting("guestApplUserName", user);
  GetSetting("guestApplPassword", password);
}

void vsAppMgr::GetVMGuestSSHKeyDetails(std::string& keyFilePath, std::string& passPhrase) const {
  keyFilePath.clear();
  passPhrase.clear();
  GetSetting("guestSSHKeyFilePath", keyFilePath);
  GetSetting("guestSSHKeyPassPhrase", passPhrase);
}
