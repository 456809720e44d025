// The VM's archive file and its configuration files.
//
// This build cannot create archive files for a VM yet (they come with the archive-file work): the
// step fails and says so.
#include "worker/QuarnWorker.h"

bool QuarnWorker::CreateArchiveFile(quarnBackupArgs& args, vsArchive* archive) {
  m_event.Error("bool QuarnWorker::CreateArchiveFile(quarnBackupArgs&, vsArchive*)",
                "Archive file for VM [%s] not created: this agent cannot create archive files yet", args.mVMName.c_str());
  return false;
}
