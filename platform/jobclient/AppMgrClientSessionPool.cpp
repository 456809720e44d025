#include <atomic>

#include "platform/jobclient/ZTJobClient.h"

namespace {
std::atomic<int> g_cleanCalls{0};
}  // namespace

void CleanAppMgrClientSessionPool() { ++g_cleanCalls; }
int CleanAppMgrClientSessionPoolCalls() { return g_cleanCalls.load(); }
