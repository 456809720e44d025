// Application discovery inside a VM.
//
// This build cannot discover applications yet (it comes with the mount and archive-file work): the
// step says so and the VM is backed up without it.
#include "worker/QuarnWorker.h"

int QuarnWorker::DiscoverApps() {
  m_event.Error("int QuarnWorker::DiscoverApps()", "Application discovery is not available on this agent yet");
  return 1;
}
