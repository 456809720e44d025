// The application-aware workflow of a VM: the task and its file, the listening service with the
// workflow's go-ahead and job states on the platform's virtual clock, the child jobs of an earlier
// attempt, the paths that skip the workflow, and the deletion of the application snapshots.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <thread>

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/dom/DOM.hpp>

#include "controller/QuarnAppAware.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabSessions.h"
#include "platform/lab/LabTasks.h"
#include "records/messages/CommonMessages.h"
#include "records/messages/TMMsgMessages.h"
#include "records/messages/ZtEntitiesMessages.h"
#include "support/ControllerTestSupport.h"
#include "support/TestLab.h"
#include "support/VirtualClock.h"

namespace ctltest {
namespace {

using VirtualServer::VMCollect;
using U = JobManager::VMUpdateInfo;

const std::string kGuid = "50290000-0000-4000-8000-000000000001";  // the lab's vm01

class AppAwareController : public TestController {
 public:
  AppAwareController(LabJob* job, const std::string& dir) : TestController(job) {
    std::snprintf(m_subclientFiles.subclientDir, sizeof(m_subclientFiles.subclientDir), "%s", dir.c_str());
  }
  void SetAppAwareFailedForTest(const std::string& guid, bool failed) { SetAppAwareFailed(guid, failed); }
};

// Waits for a service to be registered; false after a minute of real time (a hang).
bool WaitForService(const std::string& client, const std::string& service) {
  for (int i = 0; i < 60000; ++i) {
    int port = 0;
    std::string error;
    if (lab::LookupSessionService(client, service, port, error)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

class AppAwareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QuarnAppAware::TEST_ClearClientIds();
    setenv(lab::RootVariable(), job_.Lab().Root().c_str(), 1);
    job_.SetSubclient("appAware", "1");
    VMCollect vm = Collect("vm01", kGuid, 1001);
    vm.setint64(VMCollect::F_subclientId, 1);
    Common::UserPassword guest;
    guest.setstring(Common::UserPassword::F_userName, "adm<in>");
    guest.setpstring(Common::UserPassword::F_password, "p&ss\"'");
    *vm.getObject<Common::UserPassword>(VMCollect::F_guestCredentials, true) = guest;
    controller_.Deliver(CollectList({vm}));
  }
  void TearDown() override { unsetenv(lab::RootVariable()); }
  std::string Service() const { return "VSAAppAwareVSASrvc_" + kGuid + "_1001"; }
  std::future<bool> StartWorkflow() {
    return std::async(std::launch::async, [this] { return controller_.StartAndWaitForAppAwareWorkflow(kGuid); });
  }
  bool Logged(const std::string& text) { return job_.Log().find(text) != std::string::npos; }
  static bool Ready(std::future<bool>& result) {
    return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  }

  LabJob job_;
  std::string dir_ = job_.Lab().Path("subclient");
  AppAwareController controller_{&job_, dir_};
};

TEST_F(AppAwareTest, GoAheadNamingAnotherClientEndsTheWaitAndTakesTheClientOver) {
  lab::MakeDirs(dir_);
  auto result = StartWorkflow();
  ASSERT_TRUE(WaitForService("coordinator", Service()));
  EXPECT_EQ(0, job_.Lab().RunProgram({QUARN_LAB_BINARY, "session", job_.Lab().Root(), "go-ahead", "--client",
                                      "coordinator", "--service", Service(), "--vm", kGuid, "--vm-client-id", "42"}));
  ASSERT_TRUE(result.get());
  const vm_params vm = controller_.Record(kGuid);
  EXPECT_FALSE(vm.appAwareFailed);
  EXPECT_EQ(lab::kFirstServerJobId, vm.updateInfo.getint64(U::F_workflowJobId));
  EXPECT_EQ(42, vm.updateInfo.getint64(U::F_clientId));
  EXPECT_EQ(42, vm.collect.getint64(VMCollect::F_vmClientId));
  EXPECT_TRUE(Logged("Application discovery has merged the discovered VM client[7] with the client[42]"));
  EXPECT_TRUE(Logged("Received workflow request to go ahead with VSA backup"));
  EXPECT_TRUE(Logged("Failed to parse jobToken 'NULL'."));

  // The task file: owner only, the task the service received, inputs escaped for XML.
  const std::string file = dir_ + "/Workflow_1001vm01.xml";
  struct stat st;
  ASSERT_EQ(0, stat(file.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777u);
  std::string xml, error;
  ASSERT_TRUE(lab::ReadRegularFile(file, 1 << 20, xml, error));
  TMMsg::CreateTaskReq task;
  ASSERT_TRUE(task.deserialize(xml, &error)) << error;
  auto* info = task.getObject<TMMsg::TaskInfo>(TMMsg::CreateTaskReq::F_taskInfo, false);
  ASSERT_NE(nullptr, info);
  const CNMessageList& entities = info->getlistobject(TMMsg::TaskInfo::F_entities, false);
  ASSERT_EQ(1u, entities.size());
  EXPECT_EQ(83, entities[0]->getint64(ZtEntities::GenericEntity::F_entityType));
  EXPECT_EQ("VSAAppAwareBackupWorkFlow", entities[0]->getstring(ZtEntities::GenericEntity::F_workflowName));
  auto* sub = static_cast<TMMsg::SubTaskInfo*>(info->getlistobject(TMMsg::TaskInfo::F_subTasks, false)[0].get());
  const std::string inputs = sub->getObject<TMMsg::TaskOptions>(TMMsg::SubTaskInfo::F_options, false)
                                 ->getstring(TMMsg::TaskOptions::F_workflowInputs);
  EXPECT_NE(std::string::npos, inputs.find(">adm&lt;in&gt;</vmUserName>"));
  EXPECT_NE(std::string::npos, inputs.find(">p&amp;ss&quot;&apos;</vmUserPassword>"));
  EXPECT_NE(std::string::npos, inputs.find("<vmClientHostName class=\"java.lang.String\"/><vmGuid"));
  EXPECT_EQ(1u, lab::TaskRequestFiles().size());
}

TEST_F(AppAwareTest, TheWorkflowJobsStateEndsTheWait) {
  testsupport::VirtualClock clock;
  lab::MakeDirs(dir_);
  struct Case {
    int64_t state;
    bool ends, failed;
  } cases[] = {{11, true, true}, {9, true, false}, {2, false, false}};
  for (const Case& test : cases) {
    auto result = StartWorkflow();
    ASSERT_TRUE(WaitForService("coordinator", Service()));
    ASSERT_TRUE(ZtClock::WaitForTimedWaitersForTest(1));
    const int64_t workflowJob = controller_.Record(kGuid).updateInfo.getint64(U::F_workflowJobId);
    std::string error;
    ASSERT_TRUE(lab::SetJobState(workflowJob, test.state, error));
    ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(29));
    EXPECT_FALSE(Ready(result)) << test.state;
    ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(1));
    EXPECT_EQ(test.ends, Ready(result)) << test.state;
    if (!test.ends) {
      ASSERT_TRUE(lab::SetJobState(workflowJob, 4, error));
      ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(30));
    }
    EXPECT_TRUE(result.get());
    EXPECT_EQ(test.failed, controller_.Record(kGuid).appAwareFailed) << test.state;
    EXPECT_TRUE(Logged("Workflow Job: [" + std::to_string(workflowJob) + "], state [" + std::to_string(test.state) + "]"));
  }
}

TEST_F(AppAwareTest, WithoutAWorkflowJobTheServiceEndsOnThe361stTickOrAtAQuit) {
  testsupport::VirtualClock clock;
  vm_params vm = controller_.Record(kGuid);
  QuarnAppAware workflow(&job_.jobMgr, &job_.appMgr, dir_, &vm);
  auto served = std::async(std::launch::async, [&] { return workflow.StartSessionServer(); });
  ASSERT_TRUE(ZtClock::WaitForTimedWaitersForTest(1));
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(360 * 30));
  EXPECT_EQ(std::future_status::timeout, served.wait_for(std::chrono::seconds(0)));
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(30));
  EXPECT_FALSE(served.get().IsError());
  EXPECT_TRUE(Logged("Workflow Job ID is not set. Waited for 60 minutes. Now proceed with VM backup"));

  served = std::async(std::launch::async, [&] { return workflow.StartSessionServer(); });
  ASSERT_TRUE(ZtClock::WaitForTimedWaitersForTest(1));
  lab::RequestJobQuit(kJobId);
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(30));
  EXPECT_FALSE(served.get().IsError());
  EXPECT_TRUE(Logged("Quit flag is set for this job. Stop waiting for workflow"));
}

TEST_F(AppAwareTest, PathsThatSkipTheWorkflow) {
  struct Case {
    const char* name;
    std::function<void()> setUp;
    std::string guid;
    bool result, failed;
    const char* logged;
  } cases[] = {
      {"disabled", [this] { job_.SetSubclient("appAware", "0"); }, kGuid, true, false,
       "Application aware backup is not enabled."},
      {"backup copy", [this] { job_.jobMgr.setSnapToTape(true); }, kGuid, true, false,
       "Application backup won't be performed for the backup to tape job."},
      {"unknown VM", [] {}, "no-such-vm", true, false, nullptr},
      {"no inventory", [this] { job_.Lab().Fault("vminfo.GetVMInfoForVM", 5); }, kGuid, false, true,
       "GetVMInfoForVM for [vm01] VM did not return any data."},
      {"task refused", [this] { job_.Lab().Fault("task.TaskRequest", 9, "busy"); }, kGuid, true, true,
       "Failed to create workflow task with code [9]: busy"},
      {"task starts no job", [this] { job_.Lab().Fault("task.StartJob", 1); }, kGuid, true, true,
       "No job ID reported. Failed to get workflow job id. Continue with backup"},
      {"powered off (last: it stays off)",
       [] {
         lab::VMDescription vm;
         lab::FindVM(lab::SampleServer(), "vm01", vm);
         vm.powerState = "off";
         std::string error;
         lab::WriteVMDescription(lab::SampleServer(), vm, error);
       },
       kGuid, true, true, "Application aware can't be run for powered off VMs, Proceeding with the VM[vm01] backup."},
  };
  lab::MakeDirs(dir_);
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    test.setUp();
    EXPECT_EQ(test.result, controller_.StartAndWaitForAppAwareWorkflow(test.guid));
    EXPECT_EQ(test.failed, controller_.Record(kGuid).appAwareFailed);
    if (test.logged != nullptr) {
      EXPECT_TRUE(Logged(test.logged));
    }
    job_.jobMgr.setSnapToTape(false);
    job_.SetSubclient("appAware", "1");
    controller_.SetAppAwareFailedForTest(kGuid, false);
  }
  const vm_params vm = controller_.Record(kGuid);
  EXPECT_EQ(std::vector<std::string>{"Application aware can't be run for powered off VMs"}, vm.messages);
  int port = 0;
  std::string error;
  EXPECT_FALSE(lab::LookupSessionService("coordinator", Service(), port, error)) << "no service was left behind";
}

TEST_F(AppAwareTest, ChildJobsOfTheEarlierAttemptAreWaitedForFiveMinutesAtMost) {
  testsupport::VirtualClock clock;
  job_.jobMgr.setJobMgrToken("1001:2:2:1");
  std::string error;
  ASSERT_TRUE(lab::WriteChildJobs(1001, {{600001, 11}}, error));
  auto result = StartWorkflow();
  ASSERT_TRUE(ZtClock::WaitForTimedWaitersForTest(1));
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(295));
  EXPECT_FALSE(Ready(result)) << "still listed, before the limit";
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(5));
  EXPECT_FALSE(result.get());
  EXPECT_TRUE(controller_.Record(kGuid).appAwareFailed);
  EXPECT_TRUE(Logged("Timeout waiting for the child jobs to finish"));
  EXPECT_TRUE(lab::TaskRequestFiles().empty());

  // Children that end in time let the VM go on to its workflow (here: it is powered off).
  lab::VMDescription vm;
  lab::FindVM(lab::SampleServer(), "vm01", vm);
  vm.powerState = "off";
  ASSERT_TRUE(lab::WriteVMDescription(lab::SampleServer(), vm, error));
  result = StartWorkflow();
  ASSERT_TRUE(ZtClock::WaitForTimedWaitersForTest(1));
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(100));
  ASSERT_TRUE(lab::WriteChildJobs(1001, {}, error));
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(5));
  EXPECT_TRUE(result.get());
  EXPECT_TRUE(Logged("There are no child jobs."));
}

TEST_F(AppAwareTest, TheTaskNamesTheWorkflowAndTakesCredentialsFromTheVMOrTheSubclient) {
  job_.SetSubclient("guestUserName", "sub&user");
  job_.SetSubclient("guestPassword", "sub-pass");
  job_.SetSubclient("guestApplUserName", "sa");
  job_.SetSubclient("guestSSHKeyFilePath", "/keys/id");
  struct Case {
    const char* settingKey;
    const char* settingValue;
    int64_t workflowId;
    std::string workflowName;
  } cases[] = {{nullptr, nullptr, 0, "VSAAppAwareBackupWorkFlow"},
               {"AppAwareWorkflowName", "Custom", 0, "Custom"},
               {"AppAwareWorkflowID", "77", 77, ""}};
  vm_params vm = controller_.Record(kGuid);
  // Guest credentials without a user name give way to the subclient's.
  vm.collect.getObject<Common::UserPassword>(VMCollect::F_guestCredentials, true)
      ->setstring(Common::UserPassword::F_userName, "");
  for (const Case& test : cases) {
    if (test.settingKey != nullptr) job_.SetSetting(test.settingKey, test.settingValue);
    QuarnAppAware workflow(&job_.jobMgr, &job_.appMgr, dir_, &vm);
    std::string xml, error;
    ASSERT_TRUE(workflow.AppAwareCreateWorkflowXML(xml));
    TMMsg::CreateTaskReq task;
    ASSERT_TRUE(task.deserialize(xml, &error)) << error;
    auto* info = task.getObject<TMMsg::TaskInfo>(TMMsg::CreateTaskReq::F_taskInfo, false);
    const CNMessagePtr& entity = info->getlistobject(TMMsg::TaskInfo::F_entities, false)[0];
    EXPECT_EQ(test.workflowId, entity->getint64(ZtEntities::GenericEntity::F_workflowId));
    EXPECT_EQ(test.workflowName, entity->getstring(ZtEntities::GenericEntity::F_workflowName));
    auto* sub = static_cast<TMMsg::SubTaskInfo*>(info->getlistobject(TMMsg::TaskInfo::F_subTasks, false)[0].get());
    const std::string inputs = sub->getObject<TMMsg::TaskOptions>(TMMsg::SubTaskInfo::F_options, false)
                                   ->getstring(TMMsg::TaskOptions::F_workflowInputs);
    for (const char* part : {">sub&amp;user</vmUserName>", ">sub-pass</vmUserPassword>", ">sa</vmApplUserName>",
                             ">/keys/id</vmSSHKeyFilePath>", ">1001</vsaJobId>", ">1</vsaAppId>"})
      EXPECT_NE(std::string::npos, inputs.find(part)) << part;
  }
  // A value XML cannot carry fails the task rather than changing it.
  vm.collect.getObject<Common::UserPassword>(VMCollect::F_guestCredentials, true)
      ->setstring(Common::UserPassword::F_userName, std::string("bell\x07"));
  QuarnAppAware workflow(&job_.jobMgr, &job_.appMgr, dir_, &vm);
  std::string xml;
  EXPECT_FALSE(workflow.AppAwareCreateWorkflowXML(xml));
}

TEST_F(AppAwareTest, SnapshotDeletionReachesOnlyTheChildOnTheVMsOwnClient) {
  job_.Lab().Setting("Base", "nClientId", "7", "proxyA");
  job_.Lab().Setting("Base", "nClientId", "8", "proxyB");
  std::string error;
  lab::SubclientRecord app;
  app.settings["clientName"] = "proxyA";
  ASSERT_TRUE(lab::WriteSubclientRecord("11", app, error));
  app.settings["clientName"] = "proxyB";
  ASSERT_TRUE(lab::WriteSubclientRecord("12", app, error));
  ASSERT_TRUE(lab::WriteChildJobs(1001, {{600001, 11}, {600002, 12}, {600003, 13}}, error));

  const std::string out = job_.Lab().Path("listener.txt");
  const pid_t listener =
      testsupport::StartProgram({QUARN_LAB_BINARY, "session", job_.Lab().Root(), "listen", "--client", "proxyA",
                                 "--service", "VSAAppAwareIdaSrvc_600001", "--seconds", "60"},
                                out);
  ASSERT_GT(listener, 0);
  ASSERT_TRUE(WaitForService("proxyA", "VSAAppAwareIdaSrvc_600001"));
  EXPECT_TRUE(controller_.SendDeleteApplicationSnapReq(kGuid, true));
  EXPECT_EQ(0, testsupport::WaitProgram(listener));
  std::string heard;
  lab::ReadRegularFile(out, 1 << 20, heard, error);
  EXPECT_NE(std::string::npos, heard.find("snapshot deletion: parentJobId=1001 appJobId=600001 requestFlag=1")) << heard;
  EXPECT_TRUE(Logged("Attached [VSAAppAwareIdaSrvc_600001] Successfully."));
  EXPECT_FALSE(Logged("VSAAppAwareIdaSrvc_600002")) << "another client's child is skipped silently";
  EXPECT_TRUE(Logged("Unable to get client for child App [2:13]"));

  ASSERT_TRUE(job_.Lab().Fault("task.getChildJobsInfo", 3));
  EXPECT_FALSE(controller_.SendDeleteApplicationSnapReq(kGuid, true));
  EXPECT_TRUE(Logged("Failed to get the child job list for the current job."));
}

TEST_F(AppAwareTest, AVMConfigurationDocumentSerialisesThroughTheDOMWriter) {
  vm_params vm = controller_.Record(kGuid);
  QuarnAppAware workflow(&job_.jobMgr, &job_.appMgr, dir_, &vm);
  const XMLCh name[] = {'v', 'm', 0};
  EXPECT_EQ("vm", workflow.Transcode(name));
  EXPECT_EQ("", workflow.Transcode(nullptr));
  // Every plane, and a text broken by an unpaired surrogate gives what came before the break.
  struct Case {
    std::vector<XMLCh> text;
    const char* utf8;
    bool broken;
  } cases[] = {{{0x41, 0xE9, 0x20AC, 0xD83D, 0xDE00, 0}, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", false},
               {{'v', 'm', 0xD800, 'x', 0}, "vm", true},
               {{'v', 'm', 0xDC00, 0}, "vm", true},
               {{'v', 0xD83D, 0}, "v", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(c.utf8, workflow.Transcode(c.text.data()));
    EXPECT_EQ(c.broken, Logged(std::string("Failed to transcode string [") + c.utf8 + "]. Err [unpaired surrogate"));
  }
  xercesc::XMLPlatformUtils::Initialize();  // the test makes its document before the product serialises one
  const XMLCh ls[] = {'L', 'S', 0};
  xercesc::DOMImplementation* dom = xercesc::DOMImplementationRegistry::getDOMImplementation(ls);
  ASSERT_NE(nullptr, dom);
  xercesc::DOMDocument* document = dom->createDocument(nullptr, name, nullptr);
  const XMLCh attribute[] = {'o', 'w', 'n', 'e', 'r', 0};
  const XMLCh value[] = {'a', '&', 'b', 0};
  document->getDocumentElement()->setAttribute(attribute, value);
  std::string out;
  EXPECT_TRUE(workflow.SerializeVMConfigXml(document, out));
  EXPECT_NE(std::string::npos, out.find("<vm owner=\"a&amp;b\"/>")) << out;
  document->release();
  EXPECT_FALSE(workflow.SerializeVMConfigXml(nullptr, out));
  EXPECT_TRUE(Logged("Failed to serializes  DOM object to XML string"));
}

}  // namespace
}  // namespace ctltest
