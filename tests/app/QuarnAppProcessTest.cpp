// The host program run in a lab the way a job manager runs it: what its log and the job manager's
// files show afterwards.
#include <gtest/gtest.h>

#include "AppTestSupport.h"

using apptest::CountOf;
using apptest::TempLab;

namespace {

const std::string kRule(64, '=');

TEST(QuarnAppProcess, CoordinatorRunWritesBannersAndEndsPendingOnce) {
  TempLab lab;
  ASSERT_EQ(0, lab.RunJob({}));
  std::string log = lab.Log();
  EXPECT_NE(std::string::npos, log.find("= quarn [BACKUP PHASE] has started "));
  EXPECT_NE(std::string::npos, log.find("-j 1001 -jt tok-1001 -a 1 -t 2 -d ma1 -cn coordinator"));
  EXPECT_EQ(1u, CountOf(log, "= [quarn] has exited [BACKUP PHASE]"));
  EXPECT_EQ(3u, CountOf(log, kRule));  // two around the start line, one after the end line
  EXPECT_NE(std::string::npos, log.find("Registry Entry [nStartAgentThreads]. Value [4]"));
  EXPECT_NE(std::string::npos, log.find("RegistryEntry [nStreamsPerCPU] may not be present"));
  EXPECT_NE(std::string::npos, log.find("Initializing Job manager object"));
  EXPECT_NE(std::string::npos, log.find("No streams are available. Moving the job to pending"));
  // Nothing was backed up, so the job must not claim success: exactly one pending result.
  EXPECT_EQ(std::vector<std::string>{"phaseFailed failJob=0 setupFailed=0"}, lab.PhaseLines());
}

TEST(QuarnAppProcess, StubOptionsNameThePhaseBeforeTheLogOpens) {
  TempLab lab;
  ASSERT_EQ(0, lab.RunJob({"-stubPhase", "-stub"}));
  std::string log = lab.Log();
  EXPECT_NE(std::string::npos, log.find("= quarn [STUB PHASE] has started "));
  EXPECT_NE(std::string::npos, log.find("= [quarn] has exited [STUB PHASE]"));
  EXPECT_NE(std::string::npos, log.find("[VMArchiving] VM archiving [Turbo Enabled]"));
  EXPECT_NE(std::string::npos, log.find("[VMArchiving] VM archiving [Stub Phase]"));
}

TEST(QuarnAppProcess, OptionLogLinesAndExactKeys) {
  TempLab lab;
  // "-snaptape" and "-forceFullX" must not count as "-snap" / "-forceFull".
  ASSERT_EQ(0, lab.RunJob({"-co", "-lastAttempt", "-forceFullX", "-snaptape"}));
  std::string log = lab.Log();
  EXPECT_NE(std::string::npos, log.find("This is the Commit phase of the job"));
  EXPECT_NE(std::string::npos, log.find("This is the last attempt of the job"));
  EXPECT_EQ(std::string::npos, log.find("Forcing FULL backup"));

  TempLab second;
  ASSERT_EQ(0, second.RunJob({"-forceFull"}));
  EXPECT_NE(std::string::npos, second.Log().find("Forcing FULL backup based on job manager argument forceFull"));
}

TEST(QuarnAppProcess, MissingAppIdFailsThePhaseOnce) {
  TempLab lab;
  ASSERT_EQ(0, lab.RunJob({}, /*withAppId=*/false));
  EXPECT_NE(std::string::npos, lab.Log().find("Missing -a option"));
  EXPECT_EQ(std::vector<std::string>{"phaseFailed failJob=0 setupFailed=0"}, lab.PhaseLines());
}

TEST(QuarnAppProcess, AgentRoleSetsNoPhaseResult) {
  TempLab lab;
  // Started by hand without the framework's connection options the agent cannot reach its
  // coordinator, so set-up fails; an agent never sets the job's phase result either way.
  ASSERT_EQ(0, lab.RunJob({"-client"}, true, "proxyA"));
  std::string log = lab.Log("proxyA");
  EXPECT_NE(std::string::npos, log.find("= quarn [BACKUP PHASE] has started "));
  EXPECT_TRUE(lab.PhaseLines().empty());
}

TEST(QuarnAppProcess, SettingsAreLoadedAndLogged) {
  TempLab lab;
  lab.AppendFile("clients/coordinator/registry/VirtualServer.ini",
                 "\nnStreamsPerCPU=7\ndVMSnapMountPath=/mnt/snaps\nbEnableDatastoreMonitor=abc\n");
  ASSERT_EQ(0, lab.RunJob({}));
  std::string log = lab.Log();
  EXPECT_NE(std::string::npos, log.find("Registry Entry [nStreamsPerCPU]. Value [7]"));
  EXPECT_NE(std::string::npos, log.find("Registry Entry [dVMSnapMountPath]. Value [/mnt/snaps]"));
  // A value that is not a number counts as absent.
  EXPECT_NE(std::string::npos, log.find("RegistryEntry [bEnableDatastoreMonitor] may not be present"));
  EXPECT_EQ(1u, CountOf(log, "RegistryEntry [nMaxStreamErrorResets] may not be present"));
}

TEST(QuarnAppProcess, JobManagerFailureSetsNoPhase) {
  TempLab lab;
  lab.AppendFile("jobs/1001/job.conf", "\ninitFails=1\n");
  ASSERT_EQ(0, lab.RunJob({}));
  EXPECT_NE(std::string::npos, lab.Log().find("Job manager initialization failed"));
  EXPECT_TRUE(lab.PhaseLines().empty());
}

TEST(QuarnAppProcess, AppManagerFailureRaisesItsEventAndFails) {
  TempLab lab;
  lab.AppendFile("subclients/1.conf", "\nquerySettingsFails=3\n");
  ASSERT_EQ(0, lab.RunJob({}));
  EXPECT_NE(std::string::npos, lab.Log().find("App manager initialization failed (3)"));
  // The event is the one of the application manager's own code (3), not of the job manager's 0.
  std::vector<std::string> pending = apptest::ReadLines(lab.Root() + "/jobs/1001/pending.txt");
  ASSERT_EQ(1u, pending.size());
  EXPECT_EQ(0u, pending[0].rfind("0x5B0000C3", 0)) << pending[0];
  EXPECT_EQ(std::vector<std::string>{"phaseFailed failJob=0 setupFailed=0"}, lab.PhaseLines());
}

TEST(QuarnAppProcess, MissingLabOrJobNeverCrashes) {
  TempLab lab;
  // An unknown job: the job manager cannot start, the process ends cleanly.
  std::vector<std::string> args = {QUARN_HOST_BINARY, "-j", "999", "-a", "1", "-cn", "coordinator"};
  EXPECT_EQ(0, apptest::RunProgram(args, lab.Root()));
  EXPECT_NE(std::string::npos, lab.Log().find("Job manager initialization failed"));
  // No lab at all: the log cannot open, so the process stops at once.
  EXPECT_EQ(0, apptest::RunProgram({QUARN_HOST_BINARY, "-j", "1001", "-a", "1"}, "/nonexistent/quarn-lab"));
}

}  // namespace
