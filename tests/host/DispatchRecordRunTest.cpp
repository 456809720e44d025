// A VM's dispatch that cannot be recorded, in a whole job resumed by the job manager: the agent that
// first took the VM is killed after committing the archive of one of its two disks, and the job goes
// pending; its resume gives the VM to another agent while the record of that dispatch fails once. The
// VM is not sent until its dispatch is on record, so the retry's archives carry its number and stand
// for the VM: every VM reported backed up restores byte for byte to copies of its disks taken before
// the job. So it does when the record was deleted before the resume, and when the killed agent had
// committed no archive of the VM (only its uncommitted archives carry the number then).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/archive/ArchiveReader.h"
#include "platform/config/ZTPI_Base.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabSubclient.h"
#include "records/messages/JobManagerMessages.h"
#include "support/DiskCopies.h"
#include "support/LabRunSupport.h"
#include "support/TestLab.h"

namespace {

using labrun::ReadText;
using labrun::RunTool;
using labrun::StartTool;

const char* const kVMs[] = {"vm01", "vm02"};

class DispatchRecordRun : public testing::Test {
 protected:
  // REQUIRES: the lab as the process's root. The process of the client's agent in the job; 0 when none.
  static pid_t AgentProcess(const std::string& client) {
    const std::string started = "started " + client + " ";
    for (const std::string& line : lab::ReadSessions(1001))
      if (line.compare(0, started.size(), started) == 0) return static_cast<pid_t>(std::stol(line.substr(started.size())));
    return 0;
  }
  // REQUIRES: the lab as the process's root. Whether the fault table holds a call of the operation.
  static bool Holds(const std::string& op) {
    lab::FaultTable table;
    std::string error;
    if (!lab::ReadFaultTable(table, error)) return false;
    for (const lab::FaultRule& rule : table.rules)
      if (rule.op == op && rule.hold && rule.fired > 0) return true;
    return false;
  }

  // The whole run; with `recordLost`, vm01's dispatch record is deleted before the resume. The agent is
  // killed with vm01's second disk committed, or, with `secondDiskCommitted` false, with both of vm01's
  // archives uncommitted (the second written whole, its close held).
  void KillAndResume(bool recordLost, bool secondDiskCommitted = true);

  testsupport::TestLab dir;
  const std::string labDir = dir.Path("lab");
  const std::string out = dir.Path("tool.txt");
};

void DispatchRecordRun::KillAndResume(bool recordLost, bool secondDiskCommitted) {
  ASSERT_EQ(0, RunTool({"create", labDir, "--vms", "2", "--disks", "2", "--disk-size", "2", "--time-scale", "60"}, out))
      << ReadText(out);
  // Every byte of every disk seeded, and no two disks alike.
  int seed = 0;
  for (const char* vm : kVMs)
    for (const char* disk : {"0", "1"})
      ASSERT_EQ(0, RunTool({"disk", labDir, vm, disk, "write", "--percent", "100", "--seed", std::to_string(++seed)}, out))
          << ReadText(out);
  // proxyA alone backs the VMs up, vm01 first (its priority) and one at a time (a second worker is
  // refused), each disk on a stream and into an archive of its own; vm01's first disk is held once its
  // read begins. With no VM assigned to proxyA alone (static assignment off), the VM of the killed
  // agent goes back to the queue, no agent is left, and the job goes pending.
  ASSERT_EQ(0, RunTool({"set", labDir, "coordinator", "VirtualServer", "bStaticVMAssignmentAllowed", "0"}, out))
      << ReadText(out);
  lab::SetRoot(labDir);
  std::string error;
  ASSERT_TRUE(lab::SetSubclientValue("1", "memberServers", "proxyA", error)) << error;
  ASSERT_TRUE(lab::WriteFileAtomic(ZTPI_Base::getJobResultsDir("coordinator") + "/VMPriorities.csv", "vm01,1\n"));
  const testsupport::DiskCopies before = testsupport::CopyDisks({kVMs[0], kVMs[1]}, dir.Path("before"));
  lab::SetRoot(std::string());
  ASSERT_EQ(0, RunTool({"fault", labDir, "add", "thread.Create", "--client", "proxyA", "--disk", "worker", "--after", "1",
                        "--times", "always", "--code", "1"},
                       out))
      << ReadText(out);
  ASSERT_EQ(0, RunTool({"fault", labDir, "hold", "disk.Read", "--vm", "vm01", "--disk", "0"}, out)) << ReadText(out);
  if (!secondDiskCommitted) {
    ASSERT_EQ(0, RunTool({"fault", labDir, "hold", "archive.closeArchiveFile", "--vm", "vm01"}, out)) << ReadText(out);
  }

  const pid_t run = StartTool({"run", labDir, "--", "-numStreams", "4"}, dir.Path("run1.txt"));
  ASSERT_GT(run, 0);
  lab::SetRoot(labDir);
  lab::VMDescription vm01;
  ASSERT_TRUE(lab::FindVM(lab::SampleServer(), "vm01", vm01));
  const std::string log = lab::ClientLogPath("coordinator", "quarn");
  // Held, with the archive of vm01's second disk committed. Each wait watches only the folder its answer
  // shows in (the fault table, then the job's archives, whose folder the VM's first archive made before
  // any disk is read): a job that stops short leaves it still, and the wait gives up after its quiet
  // spell, while the logs and the job's progress go on changing elsewhere.
  // Without a committed archive: held with the second disk's archive on file, its number in it.
  const auto carriesTheNumber = [&] {
    if (secondDiskCommitted) return !lab::ListVMArchiveFiles(1001, vm01.guid).empty();
    for (const lab::ArchiveLocation& location : lab::ListUncommittedArchiveFiles(1001)) {
      archive::ArchiveContents begin;
      archive::Problem problem;
      if (archive::ReadArchiveBegin(location.path, begin, problem) && begin.vmGuid == vm01.guid && begin.dispatch == 1)
        return true;
    }
    return false;
  };
  const bool held =
      testsupport::WaitForLab({labDir}, [] { return Holds("disk.Read"); }) &&
      testsupport::WaitForLab({lab::MediaJobDir(lab::SampleMediaAgent(), 1001)}, carriesTheNumber);
  const pid_t agent = AgentProcess("proxyA");
  EXPECT_GT(agent, 0);
  if (held && agent > 0) kill(agent, SIGKILL);
  ASSERT_TRUE(lab::ClearFaultTable(error)) << error;
  testsupport::WaitProgram(run);
  ASSERT_TRUE(held) << ReadText(dir.Path("run1.txt"));
  EXPECT_EQ(1u, lab::VMDispatchNumber(1001, vm01.guid, "proxyA"));
  if (!secondDiskCommitted) {
    EXPECT_TRUE(lab::ListVMArchiveFiles(1001, vm01.guid).empty()) << "the killed agent committed an archive of vm01";
  }
  JobManager::VMUpdateInfo record;
  ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, vm01.guid, record));
  EXPECT_NE(0, record.getint64(JobManager::VMUpdateInfo::F_vmStatus)) << "the job went pending with vm01 to do";
  if (recordLost) {
    ASSERT_EQ(0, std::remove(lab::VMDispatchRecordPath(1001, vm01.guid).c_str()));
  }

  // The job manager resumes the job on proxyB, which now takes the VMs as its own, and the first
  // record of vm01's dispatch is cut short.
  ASSERT_TRUE(lab::SetSubclientValue("1", "memberServers", "proxyB", error)) << error;
  lab::SetRoot(std::string());
  ASSERT_EQ(0, RunTool({"set", labDir, "coordinator", "VirtualServer", "bStaticVMAssignmentAllowed", "1"}, out))
      << ReadText(out);
  ASSERT_EQ(0, RunTool({"fault", labDir, "add", "ra.RecordVMDispatch", "--vm", "vm01", "--code", "28"}, out))
      << ReadText(out);
  ASSERT_EQ(0, RunTool({"run", labDir, "--", "-numStreams", "4"}, out)) << ReadText(out);
  EXPECT_NE(std::string::npos, ReadText(out).find("job 1001 has not ended: ")) << ReadText(out);

  lab::SetRoot(labDir);
  EXPECT_NE(std::string::npos, ReadText(log).find("VM [vm01] is not sent to agent [proxyB]: its dispatch could not be "
                                                   "recorded"));
  EXPECT_EQ(2u, lab::VMDispatchNumber(1001, vm01.guid, "proxyB"))
      << "the line cut short counts for none, and a lost record does not start the count again";
  lab::SetRoot(std::string());
  for (const char* vm : kVMs) {
    SCOPED_TRACE(vm);
    lab::SetRoot(labDir);
    lab::VMDescription description;
    ASSERT_TRUE(lab::FindVM(lab::SampleServer(), vm, description));
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, description.guid, record));
    const int64_t status = record.getint64(JobManager::VMUpdateInfo::F_vmStatus);
    lab::SetRoot(std::string());
    EXPECT_EQ(0, status) << record.getstring(JobManager::VMUpdateInfo::F_failureText);
    if (status != 0 && status != 3) continue;
    const std::string images = testsupport::ImageArgument(before, vm);
    EXPECT_EQ(0, RunTool({"verify", labDir, "--job", "1001", "--vm", vm, "--image", images}, out)) << ReadText(out);
  }
}

TEST_F(DispatchRecordRun, AResumedVMWhoseDispatchRecordFailsOnceRestoresFromItsRetry) { KillAndResume(false); }

// The same with vm01's dispatch record deleted before the resume: the new process numbers the
// dispatch above the killed agent's archives.
TEST_F(DispatchRecordRun, AResumedVMWhoseDispatchRecordWasDeletedIsNumberedAboveTheKilledAgentsArchives) {
  KillAndResume(true);
}

// The same with nothing of vm01 committed by the killed agent: its uncommitted archives alone carry
// the number the new dispatch must be above.
TEST_F(DispatchRecordRun, AResumedVMWhoseDispatchRecordWasDeletedIsNumberedAboveTheKilledAgentsOpenArchives) {
  KillAndResume(true, false);
}

}  // namespace
