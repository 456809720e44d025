// The process frame driven in-process: option effects, role and class choice, the job phase result.
#include "app/QuarnApp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <typeinfo>

#include "support/TestArgv.h"
#include "support/TestLab.h"
#include "controller/QuarnController.h"
#include "coordinator/QuarnCoordinator.h"
#include "meditech/QuarnMediTechController.h"
#include "meditech/QuarnMediTechCoordinator.h"
#include "support/MediTechTestSupport.h"
#include "platform/ev/EvDebug.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabSubclient.h"
#include "snap/QuarnSnapController.h"

namespace {

using Args = testsupport::Argv;

std::vector<std::string> JobArgs(std::vector<std::string> extra) {
  std::vector<std::string> args = {"quarn", "-j", "1001", "-jt", "tok", "-a", "1", "-cn", "coordinator", "-numStreams", "2"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

class QuarnAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lab_.Create());
    QuarnRegistry::TEST_Unload();
  }
  void TearDown() override {
    EvDebug::shutdownLog();
    QuarnRegistry::TEST_Unload();
  }
  testsupport::TestLab lab_{"coordinator"};
};

// A coordinator whose verdict the test chooses, to drive the phase result.
class VerdictCoordinator : public QuarnCoordinator {
 public:
  VerdictCoordinator(bool success, bool partial, bool resumeNow) : success_(success), partial_(partial), resume_(resumeNow) {}
  bool Initialize(vsJobMgr*, vsAppMgr*, QuarnController*) override { return true; }
  bool Run() override { return success_; }
  bool CheckJobPhaseSuccess(bool& partial, bool& failJob, bool& setupFailed, bool& resumeNow) override {
    partial = partial_;
    failJob = !success_ && !resume_;
    setupFailed = false;
    resumeNow = resume_;
    return success_;
  }

 private:
  bool success_, partial_, resume_;
};

class VerdictApp : public QuarnApp {
 public:
  VerdictApp(Args& args, bool success, bool partial, bool resumeNow)
      : QuarnApp(args.argc(), args.argv()), success_(success), partial_(partial), resume_(resumeNow) {}
  bool CreateCoordinator() override {
    AdoptCoordinator(new VerdictCoordinator(success_, partial_, resume_));
    return true;
  }

 private:
  bool success_, partial_, resume_;
};

TEST_F(QuarnAppTest, OptionsReachTheJobManager) {
  Args args(JobArgs({"-t", "2", "-forceFull", "-d", "ma7", "-snapJID", "x12", "-ci", "-pcd", "-j", "5"}));
  QuarnApp app(args.argc(), args.argv());
  ASSERT_TRUE(app.PreInitialize(args.argc(), args.argv()));
  EXPECT_EQ(1, app.GetJobMgr().getBkpLevel());  // forceFull wins over -t
  EXPECT_EQ("ma7", app.GetJobMgr().getMediaAgent());
  EXPECT_EQ(0, app.GetJobMgr().getSnapBkpJobId());  // not a number
  EXPECT_TRUE(app.GetJobMgr().isVMContentIndexMode());
  EXPECT_FALSE(app.GetJobMgr().isCopyParentJobToTape());
  EXPECT_EQ(1001, app.GetJobId());  // the first "-j" counts
  EXPECT_EQ("BACKUP", app.GetPhaseName());
}

TEST_F(QuarnAppTest, JobIdIsSixtyFourBitsAndValuedKeysNeedAValue) {
  Args args({"quarn", "-j", "8589934593", "-cn", "coordinator", "-t", "-d"});
  QuarnApp app(args.argc(), args.argv());
  ASSERT_TRUE(app.PreInitialize(args.argc(), args.argv()));
  EXPECT_EQ(8589934593LL, app.GetJobId());
  EXPECT_EQ("", app.GetJobMgr().getMediaAgent());  // "-d" without a value counts as absent
}

TEST_F(QuarnAppTest, ControllerAndCoordinatorChoice) {
  enum Controller { kPlain, kSnap, kMediTech };
  struct Case {
    std::vector<std::string> options;
    bool meditech;
    Controller controller;
    bool coordinatorRole;
  } cases[] = {
      {{"-snap"}, true, kSnap, true},  // the snapshot controller wins over MEDITECH
      // A backup copy takes the master index archive file its snapshot job made ("-af").
      {{"-snaptape", "-af", "7"}, false, kSnap, true},
      {{"-snapcatalog"}, true, kSnap, true},
      {{}, true, kMediTech, true},
      {{}, false, kPlain, true},
      // Without the framework's options the agent cannot connect, but both objects exist by then.
      {{"-client"}, false, kPlain, false},
  };
  std::string made;
  ASSERT_TRUE(testsupport::MakeMediTechSystem({"vm01"}, made)) << made;
  for (const Case& c : cases) {
    std::string error;
    ASSERT_TRUE(lab::SetSubclientValue("1", "meditech", c.meditech ? "1" : "0", error)) << error;
    SCOPED_TRACE(testing::PrintToString(c.options) + (c.meditech ? " meditech" : ""));
    {
      Args args(JobArgs(c.options));
      QuarnApp app(args.argc(), args.argv());
      ASSERT_TRUE(app.PreInitialize(args.argc(), args.argv()));
      EXPECT_EQ(c.coordinatorRole, app.Initialize(args.argc(), args.argv()));
      EXPECT_EQ(c.coordinatorRole, app.IsCoordinatorRole());
      ASSERT_NE(nullptr, app.GetCoordinator());
      ASSERT_NE(nullptr, app.GetController());
      QuarnCoordinator& coordinator = *app.GetCoordinator();
      QuarnController& controller = *app.GetController();
      EXPECT_EQ(c.meditech ? typeid(QuarnMediTechCoordinator) : typeid(QuarnCoordinator), typeid(coordinator));
      const std::type_info& expected = c.controller == kSnap       ? typeid(QuarnSnapController)
                                       : c.controller == kMediTech ? typeid(QuarnMediTechController)
                                                                   : typeid(QuarnController);
      EXPECT_EQ(expected, typeid(controller));
      EXPECT_EQ(c.coordinatorRole, controller.IsCoordinator());
    }
    EvDebug::shutdownLog();
  }
  // The catalogue job of the table collects no metadata (the subclient asks for no file details).
  EXPECT_NE(std::string::npos,
            lab_.Log().find("As per job option, no metadata collection will be done for this job"));
}

TEST_F(QuarnAppTest, PhaseResultFollowsTheCoordinatorsVerdict) {
  struct Case {
    bool success, partial, resume;
    std::vector<std::string> expected;
  } cases[] = {
      {true, false, false, {"phaseSuccessful"}},
      {true, true, false, {"phasePartialSuccess"}},
      {false, false, false, {"phaseFailed failJob=1 setupFailed=0"}},
      {false, false, true,
       {"StopAndAutoResume 120 Job will auto resume in 120 seconds to backup remaining virtual machines."}},
  };
  for (const Case& c : cases) {
    testsupport::TestLab lab("coordinator");
    ASSERT_TRUE(lab.Create());
    QuarnRegistry::TEST_Unload();
    {
      Args args(JobArgs({}));
      VerdictApp app(args, c.success, c.partial, c.resume);
      app.Main(args.argc(), args.argv());
    }  // the destructor runs Deinitialize again: no second result
    EvDebug::shutdownLog();
    EXPECT_EQ(c.expected, lab.PhaseLines()) << c.success << c.partial << c.resume;
  }
}

TEST_F(QuarnAppTest, RefusedAutoResumeFallsBackToFailure) {
  ASSERT_TRUE(lab_.Fault("jobmgr.StopAndAutoResume", 1));
  ASSERT_TRUE(lab_.Setting("VirtualServer", "nAutoResumeIntervalSeconds", "30"));
  {
    Args args(JobArgs({}));
    VerdictApp app(args, false, false, true);
    app.Main(args.argc(), args.argv());
  }
  std::vector<std::string> lines = lab_.PhaseLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(std::string::npos, lines.front().find("30 Job will auto resume in 30 seconds"));
  EXPECT_EQ("phaseFailed failJob=0 setupFailed=0", lines.back());
}

// The resume interval at its limit (0: resume at once) and one past it (-1 cannot be scheduled, so
// the phase fails instead).
TEST_F(QuarnAppTest, AutoResumeIntervalAtItsLimits) {
  struct Case {
    const char* interval;
    std::vector<std::string> expected;
  } cases[] = {
      {"0", {"StopAndAutoResume 0 Job will auto resume in 0 seconds to backup remaining virtual machines."}},
      {"-1",
       {"StopAndAutoResumeRefused -1 Job will auto resume in -1 seconds to backup remaining virtual machines.",
        "phaseFailed failJob=0 setupFailed=0"}},
  };
  for (const Case& c : cases) {
    testsupport::TestLab lab("coordinator");
    ASSERT_TRUE(lab.Create());
    ASSERT_TRUE(lab.Setting("VirtualServer", "nAutoResumeIntervalSeconds", c.interval));
    QuarnRegistry::TEST_Unload();
    {
      Args args(JobArgs({}));
      VerdictApp app(args, false, false, true);
      app.Main(args.argc(), args.argv());
    }
    EvDebug::shutdownLog();
    EXPECT_EQ(c.expected, lab.PhaseLines()) << c.interval;
  }
}

// The hook runs on the signal watcher thread while the main thread may be tearing down.
TEST_F(QuarnAppTest, ServiceShutdownRacingDeinitializeTouchesNoDeletedObject) {
  Args args(JobArgs({}));
  QuarnApp app(args.argc(), args.argv());
  ASSERT_TRUE(app.PreInitialize(args.argc(), args.argv()));
  ASSERT_TRUE(app.Initialize(args.argc(), args.argv()));
  std::atomic<bool> started{false};
  std::atomic<bool> stop{false};
  std::thread watcher([&]() {
    while (!stop.load()) {
      app.OnServiceShutdown();
      started.store(true);
      // Let Deinitialize take the lock: a mutex is not fair, and a tight loop could starve it.
      std::this_thread::yield();
    }
  });
  while (!started.load()) std::this_thread::yield();
  app.Deinitialize();
  stop.store(true);
  watcher.join();
  EXPECT_EQ(nullptr, app.GetController());
  EXPECT_EQ(nullptr, app.GetCoordinator());
}

TEST_F(QuarnAppTest, ServiceShutdownDuringAndAfterDeinitializeIsHarmless) {
  Args args(JobArgs({}));
  QuarnApp app(args.argc(), args.argv());
  ASSERT_TRUE(app.PreInitialize(args.argc(), args.argv()));
  ASSERT_TRUE(app.Initialize(args.argc(), args.argv()));
  app.OnServiceShutdown();  // reaches the controller and the coordinator while they exist
  EXPECT_TRUE(app.GetController()->CheckQuitFlag());
  app.Deinitialize();
  app.OnServiceShutdown();  // nothing left to reach
  EXPECT_EQ(nullptr, app.GetController());
  EXPECT_EQ(nullptr, app.GetCoordinator());
}

}  // namespace
