#include "controller/QuarnIPC.h"

bool QuarnIPC::Initialize() { return true; }

void QuarnIPC::Deinitialize() {}

bool QuarnIPC::UpdateStreams(int) { return false; }

bool QuarnIPC::Check(int& processes, int& streams, int& vms) {
  processes = 0;
  streams = 0;
  vms = 0;
  return false;
}
