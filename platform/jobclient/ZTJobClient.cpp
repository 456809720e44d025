#include "platform/jobclient/ZTJobClient.h"

#include <atomic>

namespace {
std::atomic<int> g_terminateCalls{0};
}  // namespace

void ZTJobClient::terminateAllSessions() { ++g_terminateCalls; }
int ZTJobClient::TerminateAllSessionsCalls() { return g_terminateCalls.load(); }
