#include "app/QuarnErrors.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "support/TestLab.h"
#include "platform/appmgr/vsAppMgr.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabJob.h"
#include "platform/vminfo/LabVMInfo.h"

namespace {

constexpr uint32_t kEvent = LabVMInfo::kFailureEvent;

std::string Hex(uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", id);
  return text;
}

enum class JobKind { Plain, SnapBackup, SnapToTape };

struct Context {
  JobKind kind = JobKind::Plain;
  int instanceType = kInstanceTypeVMware;
  bool collectMetadata = false;
  bool raiseEvent = true;
  bool setPendingCause = false;
  bool coordinatorAgent = false;
};

// What one classification left behind.
struct Outcome {
  int result = -1;
  std::string text;
  EvMessageContainer message;
  std::vector<std::string> events;
  std::vector<std::string> pending;
  std::string log;
};

class QuarnErrorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lab_.UseJob(1001));
    ASSERT_TRUE(lab_.OpenLog());
  }
  // The library's next host query fails with the code, the text "boom" and the event.
  void FailHostQuery(LabVMInfo& vmInfo, int code, uint32_t eventId = kEvent) {
    lab::FaultRule rule;
    rule.op = "vminfo.GetHostInfo";
    rule.code = code;
    rule.text = "boom";
    rule.eventId = eventId;
    ASSERT_TRUE(lab_.Fault(rule));
    VMInfoStructs::SHostInfo host;
    EXPECT_EQ(0, vmInfo.GetHostInfo("esx1", host, 0, 0));
  }
  // Makes the lab library fail with `code` (event kEvent, arguments VM label and "boom") and
  // classifies that failure for the VM "vm01" on a fresh job.
  Outcome Classify(int code, const Context& context, uint32_t eventId = kEvent) {
    lab_.UseJob(++jobId_);
    vsJobMgr jm;
    jm.setJobId(std::to_string(jobId_));
    jm.setSnapBackup(context.kind == JobKind::SnapBackup);
    jm.setSnapToTape(context.kind == JobKind::SnapToTape);
    if (context.collectMetadata) jm.initBackupMetadaCollectionDefault(context.instanceType, false, true, true, false);
    LabVMInfo vmInfo(context.instanceType);
    FailHostQuery(vmInfo, code, eventId);
    MountCtx ctx;
    ctx.vmName = "vm01";
    ctx.instanceType = context.instanceType;
    Outcome outcome;
    size_t logBefore = lab_.Log().size();
    outcome.result = CheckVMInfoError(&vmInfo, ctx, outcome.text, outcome.message, &jm, context.raiseEvent,
                                      context.setPendingCause, context.coordinatorAgent);
    outcome.events = lab_.Events();
    outcome.pending = lab_.Pending();
    outcome.log = lab_.Log().substr(logBefore);
    return outcome;
  }

  testsupport::TestLab lab_{"proxyA"};
  int64_t jobId_ = 5000;
};

// Every row of the classification table on a plain job of a VMware instance, with events raised and
// no pending cause asked for by the caller: the row's own marks decide result, severity and whether
// the pending cause is set.
TEST_F(QuarnErrorsTest, EveryClassGivesItsResultEventAndPendingCause) {
  struct Row {
    std::vector<int> codes;
    int result;
    const char* severity;
    bool pending;
  } rows[] = {
      {{7}, 123, "MAJOR", false},
      {{11, 80, 81, 85, 87, 92, 95, 150, 289}, 95, "MINOR", true},
      {{12, 28, 29, 31, 32, 33, 36, 48, 75, 76, 77, 78, 79, 82, 83, 84, 86, 88, 89, 91, 93, 94, 104, 200, 201, 202, 252},
       96, "MINOR", true},
      {{17, 39, 292}, 123, "MINOR", false},
      {{23, 163, 214, 253, 2003}, 123, "MINOR", false},
      {{24, 54, 115, 116, 117, 118, 119, 259, 275, 284}, 95, "MAJOR", false},
      {{30}, 96, "MINOR", true},
      {{74, 109, 110, 122, 146, 147, 185, 235}, 95, "MAJOR", true},
      {{101, 102, 103, 105, 106, 107, 108, 114, 120, 121}, 96, "MAJOR", true},
      {{129, 133, 134, 135, 136, 137, 138, 139, 140, 141, 142, 143, 144, 145, 167, 189, 268}, 123, "MAJOR", true},
      {{169}, 95, "MINOR", false},
      {{205, 224}, 123, "MAJOR", false},
      {{243}, 123, "MINOR", true},
      {{255}, 138, "MINOR", false},
      {{290}, 95, "MINOR", true},
      {{293}, 148, "MINOR", false},
      {{-5, 1, 2, 294, 2002, 3999, 4001, 100000}, 95, "MINOR", false},
  };
  const std::string event = Hex(kEvent) + " vm01|boom";
  for (const Row& row : rows) {
    for (int code : row.codes) {
      SCOPED_TRACE("code " + std::to_string(code));
      Outcome outcome = Classify(code, Context());
      EXPECT_EQ(row.result, outcome.result);
      EXPECT_EQ("boom", outcome.text);
      EXPECT_EQ(std::vector<std::string>{std::string(row.severity) + " " + event}, outcome.events);
      EXPECT_EQ(row.pending ? std::vector<std::string>{event} : std::vector<std::string>{}, outcome.pending);
      EXPECT_NE(std::string::npos, outcome.log.find("VM [vm01] boom"));
    }
  }
}

TEST_F(QuarnErrorsTest, InterruptionsReturnElevenWithoutEventOrPendingCause) {
  Context context;
  context.setPendingCause = true;
  Outcome outcome = Classify(4000, context);
  EXPECT_EQ(11, outcome.result);
  EXPECT_TRUE(outcome.events.empty());
  EXPECT_TRUE(outcome.pending.empty());
  EXPECT_NE(std::string::npos, outcome.log.find("VMInfo Received job interruption flag"));
  EXPECT_EQ(std::string::npos, outcome.log.find("VM [vm01]"));

  // A job being stopped wins before the library is even asked for its report.
  lab_.UseJob(4999);
  ASSERT_TRUE(lab::RequestJobQuit(4999));
  vsJobMgr jm;
  jm.setJobId("4999");
  LabVMInfo vmInfo(kInstanceTypeVMware);
  FailHostQuery(vmInfo, 12);
  MountCtx ctx;
  ctx.vmName = "vm01";
  std::string text = "before";
  EvMessageContainer message;
  message.SetMessageID(0x1234);
  size_t logBefore = lab_.Log().size();
  EXPECT_EQ(11, CheckVMInfoError(&vmInfo, ctx, text, message, &jm, true, true, false));
  EXPECT_EQ("before", text);
  EXPECT_EQ(0x1234u, message.GetMessageID());
  EXPECT_TRUE(lab_.Events().empty());
  EXPECT_TRUE(lab_.Pending().empty());
  std::string log = lab_.Log().substr(logBefore);
  EXPECT_NE(std::string::npos, log.find("Received job interruption flag(1)..."));
  EXPECT_EQ(std::string::npos, log.find("VM [vm01]"));
}

TEST_F(QuarnErrorsTest, JobKindAndInstanceChangeSomeClasses) {
  const std::string event = Hex(kEvent) + " vm01|boom";
  Context vmwareSnap;
  vmwareSnap.kind = JobKind::SnapBackup;
  Outcome outcome = Classify(7, vmwareSnap);
  EXPECT_EQ(95, outcome.result);
  EXPECT_EQ(std::vector<std::string>{"MAJOR " + event}, outcome.events);
  EXPECT_NE(std::string::npos, outcome.log.find("Not setting retry-able error for insufficient disk space"));

  Context hyperVSnap = vmwareSnap;
  hyperVSnap.instanceType = kInstanceTypeHyperV;
  EXPECT_EQ(123, Classify(7, hyperVSnap).result);

  EXPECT_EQ(95, Classify(17, vmwareSnap).result);
  Context snapToTape;
  snapToTape.kind = JobKind::SnapToTape;
  outcome = Classify(39, snapToTape);
  EXPECT_EQ(95, outcome.result);
  EXPECT_EQ("Snapshot not created during snap backup.  boom", outcome.text);
  EXPECT_NE(std::string::npos, outcome.log.find("VM [vm01] Snapshot not created during snap backup.  boom"));
  EXPECT_EQ(123, Classify(292, Context()).result);
}

TEST_F(QuarnErrorsTest, MetadataCollectionSwitchesTheEventOnForCode30) {
  Context quiet;
  quiet.raiseEvent = false;
  quiet.collectMetadata = true;
  const std::string event = Hex(kEvent) + " vm01|boom";
  Outcome outcome = Classify(30, quiet);
  EXPECT_EQ(96, outcome.result);
  EXPECT_EQ(std::vector<std::string>{"MINOR " + event}, outcome.events);
  EXPECT_EQ(std::vector<std::string>{event}, outcome.pending);

  quiet.collectMetadata = false;
  outcome = Classify(30, quiet);
  EXPECT_EQ(96, outcome.result);
  EXPECT_TRUE(outcome.events.empty());
  EXPECT_EQ(std::vector<std::string>{event}, outcome.pending);
}

TEST_F(QuarnErrorsTest, SanAccessFailureOfABackupCopyGetsItsOwnTextAndEvent) {
  Context agent;
  agent.kind = JobKind::SnapToTape;
  Outcome outcome = Classify(169, agent);
  EXPECT_EQ(95, outcome.result);
  EXPECT_EQ(0x5B00012Fu, outcome.message.GetMessageID());
  EXPECT_TRUE(outcome.message.Arguments().Empty());
  EXPECT_NE(std::string::npos, outcome.text.find("supports presenting datastore disks to multiple proxies."));
  EXPECT_EQ(std::vector<std::string>{"MINOR 0x5B00012F"}, outcome.events);

  Context coordinator = agent;
  coordinator.coordinatorAgent = true;
  outcome = Classify(169, coordinator);
  EXPECT_EQ(0x5B00012Eu, outcome.message.GetMessageID());
  EXPECT_EQ(
      "Error opening virtual machine disks for SAN access.  Please ensure the Snap engine was able to present the "
      "datastore disks to the proxy.",
      outcome.text);
}

TEST_F(QuarnErrorsTest, CallerFlagsAndMessageIdDecideWhatIsRaised) {
  Context both;
  both.setPendingCause = true;
  Outcome outcome = Classify(2002, both);
  EXPECT_EQ(95, outcome.result);
  EXPECT_EQ(1u, outcome.events.size());
  EXPECT_EQ(1u, outcome.pending.size());

  Context none;
  none.raiseEvent = false;
  outcome = Classify(23, none);
  EXPECT_TRUE(outcome.events.empty());
  EXPECT_TRUE(outcome.pending.empty());

  // A failure without a job event raises nothing, even from a class that sets the pending cause.
  outcome = Classify(12, both, 0);
  EXPECT_EQ(96, outcome.result);
  EXPECT_TRUE(outcome.events.empty());
  EXPECT_TRUE(outcome.pending.empty());
}

TEST_F(QuarnErrorsTest, Code290ReplacesEarlierPendingCauses) {
  lab_.UseJob(++jobId_);
  vsJobMgr jm;
  jm.setJobId(std::to_string(jobId_));
  jm.addPendingCauseArgument(std::string("earlier"));
  jm.setPendingCause(0x5B000001);
  ASSERT_EQ(1u, lab_.Pending().size());
  LabVMInfo vmInfo(kInstanceTypeVMware);
  FailHostQuery(vmInfo, 290);
  MountCtx ctx;
  ctx.vmLabel = "label";
  ctx.vmName = "vm01";
  std::string text;
  EvMessageContainer message;
  EXPECT_EQ(95, CheckVMInfoError(&vmInfo, ctx, text, message, &jm, false, false, false));
  EXPECT_EQ(std::vector<std::string>{Hex(kEvent) + " label|boom"}, lab_.Pending());
}

TEST_F(QuarnErrorsTest, LogNamesTheVMByLabelThenNameThenFirstBasicInfo) {
  LabVMInfo vmInfo(kInstanceTypeVMware);
  FailHostQuery(vmInfo, 2002, 0);
  vsJobMgr jm;
  jm.setJobId(std::to_string(lab_.JobId()));
  std::string text;
  EvMessageContainer message;
  MountCtx ctx;
  ctx.vmBasicInfos.resize(2);
  ctx.vmBasicInfos[0].vmName = "first";
  ctx.vmBasicInfos[1].vmName = "second";
  CheckVMInfoError(&vmInfo, ctx, text, message, &jm, true, false, false);
  ctx.vmName = "name";
  CheckVMInfoError(&vmInfo, ctx, text, message, &jm, true, false, false);
  ctx.vmLabel = "label";
  CheckVMInfoError(&vmInfo, ctx, text, message, &jm, true, false, false);
  std::string log = lab_.Log();
  EXPECT_NE(std::string::npos, log.find("VM [first] boom"));
  EXPECT_NE(std::string::npos, log.find("VM [name] boom"));
  EXPECT_NE(std::string::npos, log.find("VM [label] boom"));
  EXPECT_EQ(std::string::npos, log.find("VM [second]"));
}

TEST_F(QuarnErrorsTest, TheLabFaultTableMakesTheLibraryFail) {
  lab::ServerRecord server;
  server.type = 101;
  server.hosts = {"esx1"};
  std::string error;
  ASSERT_TRUE(lab::WriteServerRecord("vc", server, error)) << error;
  lab::FaultRule rule;
  rule.op = "vminfo.GetHostInfo";
  rule.code = 101;
  rule.text = "host unreachable";
  rule.eventId = kEvent;
  ASSERT_TRUE(lab_.Fault(rule));
  LabVMInfo vmInfo(kInstanceTypeVMware);
  VMInfoStructs::SHostInfo host;
  EXPECT_EQ(0, vmInfo.GetHostInfo("esx1", host, 0, 0));
  vsJobMgr jm;
  jm.setJobId(std::to_string(lab_.JobId()));
  MountCtx ctx;
  ctx.vmName = "vm01";
  std::string text;
  EvMessageContainer message;
  EXPECT_EQ(96, CheckVMInfoError(&vmInfo, ctx, text, message, &jm, true, false, false));
  EXPECT_EQ("host unreachable", text);
  EXPECT_EQ(std::vector<std::string>{"MAJOR " + Hex(kEvent) + " vm01|host unreachable"}, lab_.Events());

  // The rule fired once; a table that cannot be used fails the call rather than passing for "no fault".
  EXPECT_EQ(1, vmInfo.GetHostInfo("esx1", host, 0, 0));
  ASSERT_TRUE(lab::WriteFileAtomic(lab::FaultTablePath(), "op=vminfo.GetHostInfo code=oops\n"));
  EXPECT_EQ(0, vmInfo.GetHostInfo("esx1", host, 0, 0));
  EXPECT_EQ(lab::kFaultTableUnusable, vmInfo.GetErrorCode());
  ASSERT_TRUE(lab::ClearFaultTable(error));
  EXPECT_EQ(1, vmInfo.GetHostInfo("esx1", host, 0, 0));
  EXPECT_EQ(0, vmInfo.GetErrorCode());
}

TEST_F(QuarnErrorsTest, DiskReadErrorsGiveFiftyFourWithTheirEvent) {
  struct Row {
    const char* what;
    CPxError error;
    int instanceType;
    std::string text;
    std::string event;
  } rows[] = {
      {"lost shadow", CPxError::FromErrno(2, "open"), kInstanceTypeHyperV,
       "The VSS shadow was lost while trying to read from the disk", "MINOR 0x5B0000E2 disk1|label|extra"},
      {"missing file elsewhere", CPxError::FromErrno(2, "open"), kInstanceTypeVMware,
       "Could not read data from the virtual disk.",
       "MINOR 0x5B000071 disk1|label|extra|open: No such file or directory"},
      {"no resources", CPxError(-12, "out of memory", 10011), kInstanceTypeHyperV,
       "Insufficient resources on the host to read the virtual disk.",
       "MINOR 0x5B000071 disk1|label|extra|Insufficient resources on the host"},
      {"other", CPxError(-5, "short read", 77), kInstanceTypeVMware, "Could not read data from the virtual disk.",
       "MINOR 0x5B000071 disk1|label|extra|short read"},
  };
  CArchiveVirtualDiskFile disk("disk1");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    lab_.UseJob(++jobId_);
    vsJobMgr jm;
    jm.setJobId(std::to_string(jobId_));
    LabVMInfo vmInfo(row.instanceType);
    MountCtx ctx;
    ctx.vmLabel = "label";
    ctx.vmName = "vm01";
    ctx.vmExtraText = "extra";
    ctx.instanceType = row.instanceType;
    std::string text;
    EvMessageContainer message;
    message.SetMessageID(0x42);
    EXPECT_EQ(54, CheckJyNTFSError(&disk, row.error, &vmInfo, ctx, text, message, &jm, true, false));
    EXPECT_EQ(row.text, text);
    EXPECT_EQ(std::vector<std::string>{row.event}, lab_.Events());
    EXPECT_TRUE(lab_.Pending().empty());
    EXPECT_EQ(0x42u, message.GetMessageID());
  }

  // As pending cause only; the VM is named without falling back to the basic infos.
  lab_.UseJob(++jobId_);
  vsJobMgr jm;
  jm.setJobId(std::to_string(jobId_));
  MountCtx ctx;
  ctx.vmBasicInfos.resize(1);
  ctx.vmBasicInfos[0].vmName = "first";
  std::string text;
  EvMessageContainer message;
  EXPECT_EQ(54, CheckJyNTFSError(&disk, CPxError(-5, "short read"), nullptr, ctx, text, message, &jm, false, true));
  EXPECT_TRUE(lab_.Events().empty());
  EXPECT_EQ(std::vector<std::string>{"0x5B000071 disk1|||short read"}, lab_.Pending());
}

TEST_F(QuarnErrorsTest, LibraryErrorsOfTheDiskReaderAreClassifiedAsAgentErrors) {
  lab_.UseJob(++jobId_);
  vsJobMgr jm;
  jm.setJobId(std::to_string(jobId_));
  jm.setSnapToTape(true);
  LabVMInfo vmInfo(kInstanceTypeVMware);
  FailHostQuery(vmInfo, 169);
  CArchiveVirtualDiskFile disk("disk1");
  MountCtx ctx;
  ctx.vmName = "vm01";
  std::string text;
  EvMessageContainer message;
  EXPECT_EQ(95, CheckJyNTFSError(&disk, CPxError(-5, "from library", 10012), &vmInfo, ctx, text, message, &jm, true,
                                 false));
  EXPECT_EQ(0x5B00012Fu, message.GetMessageID());

  FailHostQuery(vmInfo, 101);
  EXPECT_EQ(96, CheckJyNTFSError(&disk, CPxError(-5, "from library", 10012), &vmInfo, ctx, text, message, &jm, true,
                                 false));
}

}  // namespace
