// The MEDITECH system a MEDITECH subclient protects.
#include "platform/appmgr/vsAppMgr.h"
#include "platform/msg/ProtectedText.h"

bool vsAppMgr::GetMeditechSubclientConfig(std::string& config, std::string& listeners, std::string& port,
                                          std::string& user, std::string& password, std::string& timeout) {
  if (InjectedFault("appmgr.GetMeditechSubclientConfig") != kRetOk) return false;
  if (!IsMeditechSubclient()) {
    SetLastError("The subclient is not a MEDITECH subclient");
    return false;
  }
  std::string stored;
  std::string clear;
  if (GetSetting("meditech.password", stored) && !UnprotectText(stored, clear)) {
    SetLastError("The MEDITECH password of the subclient is not kept in its protected form");
    return false;
  }
  const auto text = [this](const char* key) {
    std::string value;
    GetSetting(key, value);
    return value;
  };
  config = text("meditech.config");
  listeners = text("meditech.listeners");
  port = text("meditech.port");
  user = text("meditech.user");
  timeout = text("meditech.timeout");
  password.swap(clear);
  return true;
}
