// The host program run in a lab the way a job manager runs it: what its log and the job manager's
// files show afterwards.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/lab/LabJob.h"
#include "support/TestLab.h"

using testsupport::CountOf;
using testsupport::TestLab;

namespace {

const std::string kRule(64, '=');

TEST(QuarnAppProcess, CoordinatorRunWritesBannersAndEndsPendingOnce) {
  TestLab lab("coordinator");
  ASSERT_TRUE(lab.Create());
  ASSERT_EQ(0, lab.RunJob({}));
  std::string log = lab.Log();
  EXPECT_NE(std::string::npos, log.find("= quarn [BACKUP PHASE] has started "));
  // The job token is masked; every other argument stands as given.
  EXPECT_NE(std::string::npos, log.find(" -j 1001 -jt ******** -a 1 -t 2 -d ma1 -cn coordinator\n"));
  EXPECT_EQ(std::string::npos, log.find("tok-1001"));
  struct stat st;
  ASSERT_EQ(0, stat(lab::ClientLogPath("coordinator", "quarn").c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 0777) << "the log is for its owner and group only";
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
  TestLab lab("coordinator");
  ASSERT_TRUE(lab.Create());
  ASSERT_EQ(0, lab.RunJob({"-stubPhase", "-stub"}));
  std::string log = lab.Log();
  EXPECT_NE(std::string::npos, log.find("= quarn [STUB PHASE] has started "));
  EXPECT_NE(std::string::npos, log.find("= [quarn] has exited [STUB PHASE]"));
  EXPECT_NE(std::string::npos, log.find("[VMArchiving] VM archiving [Turbo Enabled]"));
  EXPECT_NE(std::string::npos, log.find("[VMArchiving] VM archiving [Stub Phase]"));
}

TEST(QuarnAppProcess, OptionLogLinesAndExactKeys) {
  TestLab lab("coordinator");
  ASSERT_TRUE(lab.Create());
  // "-snaptape" and "-forceFullX" must not count as "-snap" / "-forceFull".
  ASSERT_EQ(0, lab.RunJob({"-co", "-lastAttempt", "-forceFullX", "-snaptape"}));
  std::string log = lab.Log();
  EXPECT_NE(std::string::npos, log.find("This is the Commit phase of the job"));
  EXPECT_NE(std::string::npos, log.find("This is the last attempt of the job"));
  EXPECT_EQ(std::string::npos, log.find("Forcing FULL backup"));

  TestLab second("coordinator");
  ASSERT_TRUE(second.Create());
  ASSERT_EQ(0, second.RunJob({"-forceFull"}));
  EXPECT_NE(std::string::npos, second.Log().find("Forcing FULL backup based on job manager argument forceFull"));
}

TEST(QuarnAppProcess, MissingAppIdFailsThePhaseOnce) {
  TestLab lab("coordinator");
  ASSERT_TRUE(lab.Create());
  ASSERT_EQ(0, lab.RunJob({}, /*withAppId=*/false));
  EXPECT_NE(std::string::npos, lab.Log().find("Missing -a option"));
  EXPECT_EQ(std::vector<std::string>{"phaseFailed failJob=0 setupFailed=0"}, lab.PhaseLines());
  // Set-up stopped there: no event and no pending cause belong to this failure.
  EXPECT_TRUE(lab.Events().empty());
  EXPECT_TRUE(lab.Pending().empty());
}

// A "-cn" without a usable client stops the process before it writes anything: no log under a
// fallback client, no session, no phase result.
TEST(QuarnAppProcess, UnusableClientNameIsRefused) {
  TestLab lab("coordinator");
  ASSERT_TRUE(lab.Create());
  for (const char* client : {"../coordinator", "-client"}) {
    EXPECT_EQ(0, lab.RunJob({}, true, client)) << client;
    EXPECT_FALSE(testsupport::Exists(lab::ClientDir("localhost"))) << client;
    EXPECT_TRUE(lab::ReadSessions(1001).empty()) << client;
    EXPECT_TRUE(lab.PhaseLines().empty()) << client;
  }
}

TEST(QuarnAppProcess, AgentRoleSetsNoPhaseResult) {
  TestLab lab("coordinator");
  ASSERT_TRUE(lab.Create());
  // Started by hand without the framework's connection options the agent cannot reach its
  // coordinator, so set-up fails; an agent never sets the job's phase result either way.
  ASSERT_EQ(0, lab.RunJob({"-client"}, true, "proxyA"));
  std::string log = lab.Log("proxyA");
  EXPECT_NE(std::string::npos, log.find("= quarn [BACKUP PHASE] has started "));
  EXPECT_TRUE(lab.PhaseLines().empty());
}

TEST(QuarnAppProcess, SettingsAreLoadedAndLogged) {
  TestLab lab("coordinator");
  ASSERT_TRUE(lab.Create());
  ASSERT_TRUE(lab.Setting("VirtualServer", "nStreamsPerCPU", "7", "coordinator"));
  ASSERT_TRUE(lab.Setting("VirtualServer", "dVMSnapMountPath", "/mnt/snaps", "coordinator"));
  ASSERT_TRUE(lab.Setting("VirtualServer", "bEnableDatastoreMonitor", "abc", "coordinator"));
  ASSERT_EQ(0, lab.RunJob({}));
  std::string log = lab.Log();
  EXPECT_NE(std::string::npos, log.find("Registry Entry [nStreamsPerCPU]. Value [7]"));
  EXPECT_NE(std::string::npos, log.find("Registry Entry [dVMSnapMountPath]. Value [/mnt/snaps]"));
  // A value that is not a number counts as absent.
  EXPECT_NE(std::string::npos, log.find("RegistryEntry [bEnableDatastoreMonitor] may not be present"));
  EXPECT_EQ(1u, CountOf(log, "RegistryEntry [nMaxStreamErrorResets] may not be present"));
}

TEST(QuarnAppProcess, JobManagerFailureSetsNoPhase) {
  TestLab lab("coordinator");
  ASSERT_TRUE(lab.Create());
  ASSERT_TRUE(lab.Fault("jobmgr.initBackup", 1));
  ASSERT_EQ(0, lab.RunJob({}));
  EXPECT_NE(std::string::npos, lab.Log().find("Job manager initialization failed"));
  EXPECT_TRUE(lab.PhaseLines().empty());
}

TEST(QuarnAppProcess, AppManagerFailureRaisesItsEventAndFails) {
  TestLab lab("coordinator");
  ASSERT_TRUE(lab.Create());
  ASSERT_TRUE(lab.Fault("appmgr.querySettings", 3));
  ASSERT_EQ(0, lab.RunJob({}));
  EXPECT_NE(std::string::npos, lab.Log().find("App manager initialization failed (3)"));
  // The event is the one of the application manager's own code (3), not of the job manager's 0.
  std::vector<std::string> pending = lab.Pending();
  ASSERT_EQ(1u, pending.size());
  EXPECT_EQ(0u, pending[0].rfind("0x5B0000C3", 0)) << pending[0];
  EXPECT_EQ(std::vector<std::string>{"phaseFailed failJob=0 setupFailed=0"}, lab.PhaseLines());
}

TEST(QuarnAppProcess, MissingLabOrJobNeverCrashes) {
  TestLab lab("coordinator");
  ASSERT_TRUE(lab.Create());
  // An unknown job: the job manager cannot start, the process ends cleanly.
  std::vector<std::string> args = {QUARN_HOST_BINARY, "-j", "999", "-a", "1", "-cn", "coordinator"};
  EXPECT_EQ(0, lab.RunProgram(args));
  EXPECT_NE(std::string::npos, lab.Log().find("Job manager initialization failed"));
}

// Run by hand: a QUARN_LAB that is no lab is refused with a clear error and nothing is created there;
// "--help" says what the options are.
TEST(QuarnAppProcess, AFolderThatIsNotALabIsRefusedAndLeftAlone) {
  TestLab lab;
  const std::string empty = lab.Path("empty"), someone = lab.Path("someone");
  ASSERT_TRUE(lab::MakeDirs(empty) && lab::MakeDirs(someone + "/clients"));
  const std::string out = lab.Path("out.txt");
  for (const std::string& root : {empty, someone, lab.Path("missing")}) {
    lab::SetRoot(root);
    const int code = testsupport::WaitProgram(testsupport::StartProgram(
        {"/usr/bin/env", std::string(lab::RootVariable()) + "=" + root, QUARN_HOST_BINARY, "-j", "1001", "-a", "1",
         "-cn", "coordinator"},
        out));
    EXPECT_EQ(64, code) << root;
    std::string text, error;
    lab::ReadRegularFile(out, 1 << 20, text, error);
    EXPECT_NE(std::string::npos, text.find("QUARN_LAB=" + root + " is not a lab")) << text;
    EXPECT_FALSE(lab::IsDirectory(root + "/clients/coordinator")) << root;
    EXPECT_FALSE(lab::IsDirectory(root + "/jobs")) << root;
  }
  lab::SetRoot(lab.Root());
  EXPECT_EQ(0, testsupport::WaitProgram(testsupport::StartProgram({QUARN_HOST_BINARY, "--help"}, out)));
  std::string help, error;
  lab::ReadRegularFile(out, 1 << 20, help, error);
  for (const char* option : {"-j JOB", "-jt TOKEN", "-a SUBCLIENT", "-t LEVEL", "-numStreams N", "QUARN_LAB"})
    EXPECT_NE(std::string::npos, help.find(option)) << option;
}

}  // namespace
