#include "platform/config/ZTPI_Base.h"

#include "platform/config/ZTPlatformInfo.h"
#include "platform/lab/Lab.h"

namespace {

std::string FromBaseSection(const char* key, const std::string& fallback) {
  if (lab::Root().empty() || !lab::IsSafeComponent(lab::FocusClient())) return std::string();
  ZTPlatformInfo info;
  std::string value;
  if (info.getString("Base", key, &value) != 0 && !value.empty()) return value;
  return fallback;
}

}  // namespace

std::string ZTPI_Base::getBaseDir() { return FromBaseSection("dBASEHOME", lab::ClientDir(lab::FocusClient())); }

std::string ZTPI_Base::getTempDir() {
  return FromBaseSection("dVORLAXTEMPDIR", lab::ClientTempDir(lab::FocusClient()));
}

std::string ZTPI_Base::getJobResultsDir(const std::string& client) {
  if (lab::Root().empty()) return std::string();
  std::string name = client.empty() ? lab::FocusClient() : client;
  if (!lab::IsSafeComponent(name)) return std::string();
  return lab::ClientJobResultsDir(name);
}
