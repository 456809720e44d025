#include "platform/jobclient/SubclientDir.h"

#include <cstring>
#include <string>

#include "platform/lab/Lab.h"

int GetSubclientDirAndFiles(uint64_t keyrealmId, uint64_t appId, subclientFiles* files, int backupLevel,
                            void* reserved) {
  if (files == nullptr || appId == 0 || lab::Root().empty()) return -1;
  const std::string client = lab::FocusClient();
  if (!lab::IsSafeComponent(client)) return -1;
  const std::string dir = lab::ClientJobResultsDir(client) + "/" + std::to_string(appId);
  if (dir.size() >= sizeof(files->files[0]) || !lab::MakeDirs(dir)) return -1;
  std::memcpy(files->subclientDir, dir.c_str(), dir.size() + 1);
  std::memcpy(files->files[0], dir.c_str(), dir.size() + 1);
  return 0;
}
