#include "platform/jobclient/GetSubclientDirAndFiles.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/config/ZTPI_Base.h"
#include "platform/os/CPxDirectory.h"

uint32_t GetSubclientDirAndFiles(uint64_t keyrealmId, uint64_t appId, subclientFiles* files, int, void*) {
  const uint32_t kFailed = 0xFFFFFFFFu;
  if (files == nullptr || appId == 0) return kFailed;
  const std::string results = ZTPI_Base::getJobResultsDir();
  if (results.empty()) return kFailed;
  const std::string dir = results + "/Subclients/" + std::to_string(keyrealmId) + "_" + std::to_string(appId);
  if (dir.size() >= sizeof(files->subclientDir) || results.size() >= sizeof(files->files[0])) return kFailed;
  if (CPxDirectory::Create(dir, true).IsError()) return kFailed;
  *files = subclientFiles();
  std::snprintf(files->subclientDir, sizeof(files->subclientDir), "%s", dir.c_str());
  std::snprintf(files->files[0], sizeof(files->files[0]), "%s", results.c_str());
  return 0;
}
