#include "platform/vminfo/VMInfoStartup.h"

#include <mutex>

#include "platform/lab/LabFaults.h"

namespace {
std::mutex g_mutex;
int g_starts = 0;
}  // namespace

bool StartupVMInfo() {
  lab::Fault fault;
  if (lab::CheckFault("vminfo.StartupVMInfo", fault)) return false;
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_starts;
  return true;
}

void ShutdownVMInfo() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_starts > 0) --g_starts;
}

int VMInfoStartupCount() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_starts;
}
