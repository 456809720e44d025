#include "platform/jobclient/SubclientDir.h"

#include <cstring>
#include <string>

#include "platform/lab/Lab.h"
#include "platform/lab/LabCoordinator.h"

int GetSubclientDirAndFiles(uint64_t keyrealmId, uint64_t appId, subclientFiles* files, int backupLevel,
                            void* reserved) {
  if (files == nullptr || appId == 0) return -1;
  const std::string dir = lab::SubclientJobResultsDir(lab::FocusClient(), std::to_string(appId));
  if (dir.empty() || dir.size() >= sizeof(files->files[0]) || !lab::MakeDirs(dir)) return -1;
  std::memcpy(files->subclientDir, dir.c_str(), dir.size() + 1);
  std::memcpy(files->files[0], dir.c_str(), dir.size() + 1);
  return 0;
}
