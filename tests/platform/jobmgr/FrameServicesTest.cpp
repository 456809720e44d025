#include <gtest/gtest.h>

#include "platform/jobclient/ZTJobClient.h"
#include "platform/vminfo/VMInfoStartup.h"

namespace {

TEST(VMInfoStartup, StartsAreCountedAndExtraStopsAreHarmless) {
  int before = VMInfoStartupCount();
  EXPECT_TRUE(StartupVMInfo());
  EXPECT_TRUE(StartupVMInfo());
  EXPECT_EQ(before + 2, VMInfoStartupCount());
  ShutdownVMInfo();
  EXPECT_EQ(before + 1, VMInfoStartupCount());
  for (int i = 0; i < before + 3; ++i) ShutdownVMInfo();
  EXPECT_EQ(0, VMInfoStartupCount());
  EXPECT_TRUE(StartupVMInfo());
  EXPECT_EQ(1, VMInfoStartupCount());
  ShutdownVMInfo();
}

TEST(JobClientSessions, CallsAreCounted) {
  int terminate = ZTJobClient::TerminateAllSessionsCalls();
  int clean = CleanAppMgrClientSessionPoolCalls();
  ZTJobClient::terminateAllSessions();
  ZTJobClient::terminateAllSessions();
  CleanAppMgrClientSessionPool();
  EXPECT_EQ(terminate + 2, ZTJobClient::TerminateAllSessionsCalls());
  EXPECT_EQ(clean + 1, CleanAppMgrClientSessionPoolCalls());
}

}  // namespace
