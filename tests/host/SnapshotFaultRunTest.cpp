// A snapshot job that something goes wrong in, run as the job manager starts it: every VM it reports
// backed up is in the index whole, every other VM says why, and no guest stays quiesced.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabArraySnap.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabSubclient.h"
#include "records/messages/JobManagerMessages.h"
#include "host/SnapshotRunSupport.h"
#include "support/LabRunSupport.h"

namespace {

using labrun::ReadText;
using labrun::RunTool;
using U = JobManager::VMUpdateInfo;

using snaprun::kGuids;
using snaprun::kServer;

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& line : lines)
    if (line.find(text) != std::string::npos) return true;
  return false;
}

// Each VM reported backed up is whole in the index (its disk's and its own file record and index
// metadata); each other VM has a failure reason in its status record.
void ExpectDoneOrSaysWhy(const std::vector<std::string>& expectedDone) {
  lab::SubclientRecord subclient;
  std::string error;
  lab::ReadSubclientRecord("1", subclient, error);
  for (size_t i = 0; i < kGuids.size(); ++i) {
    const std::string name = "vm0" + std::to_string(i + 1);
    SCOPED_TRACE(name);
    U record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, kGuids[i], record));
    const bool expected = std::find(expectedDone.begin(), expectedDone.end(), name) != expectedDone.end();
    const int64_t status = record.getint64(U::F_vmStatus);
    EXPECT_EQ(expected, status == 0 || status == 3) << status;
    if (expected) {
      std::vector<std::vector<std::string>> entries;
      lab::ReadIndexVMEntries(subclient.settings["subclientGUID"], kGuids[i], 1001, entries, error);
      size_t files = 0, metadata = 0;
      for (const auto& entry : entries) {
        files += entry[0] == "file";
        metadata += entry[0] == "meta";
      }
      EXPECT_EQ(2u, files);
      EXPECT_EQ(2u, metadata);
    } else {
      EXPECT_FALSE(record.getstring(U::F_failureText).empty()) << "the VM says why";
    }
  }
}

class SnapshotFaultRun : public snaprun::LabToolTest {
 protected:
  std::string CoordinatorLog() { return ReadText(lab::ClientLogPath("coordinator", "quarn")); }
};

TEST_F(SnapshotFaultRun, EveryVMDoneIsWholeEveryOtherSaysWhyAndNoGuestStaysQuiesced) {
  struct Case {
    const char* name;
    std::vector<std::vector<std::string>> setup;  // lab tool commands (the lab is their second word)
    std::vector<std::string> options;              // of the snapshot job, after -snap
    std::vector<std::string> done;   // the VMs reported backed up
    const char* reason;              // in every failed VM's status record
    const char* pending;             // a pending cause of the job, or null
    const char* event;               // a job event, or null
    bool snapshotTaken;
    const char* logged;  // in the coordinator's log, or null
    bool buildsOnTheEarlierSnapshot = false;  // an incremental: no VM goes full
  } cases[] = {
      {"the pre-snapshot fails: every VM fails and the stream goes back",
       {{"fault", "", "add", "vminfo.PreSnap", "--code", "3010", "--text", "array is busy"}},
       {"-t", "1"},
       {},
       "array is busy",
       nullptr,
       nullptr,
       false,
       "PreSnap failed!!"},
      {"no media agent on the proxy",
       {{"set", "", "coordinator", "Base", "nPlatformType", "1"}},
       {"-t", "1"},
       {},
       "MA is not installed",
       "0x5B000087",
       nullptr,
       false,
       "MA is not installed on the machine..Failure"},
      {"one guest cannot be quiesced: it is taken crash-consistent and the job says so",
       {{"fault", "", "add", "vminfo.Quiesce", "--vm", "50290000-0000-4000-8000-000000000002", "--code", "2001", "--text", "writer timed out"}},
       {"-t", "1"},
       {"vm01", "vm02", "vm03"},
       nullptr,
       nullptr,
       "0x5B00004C",
       true,
       "Quiesce operation failed for some VM's"},
      {"one VM's disk record is refused by the index: the VM is not reported backed up",
       {{"fault", "", "add", "index.SendFileInfo", "--vm", "50290000-0000-4000-8000-000000000002", "--code", "7"}},
       {"-t", "1"},
       {"vm01", "vm03"},
       "index",
       nullptr,
       nullptr,
       true,
       "SendFileInfo Failed"},
      {"an incremental after a full one reads the full one's snapshot file",
       {{"create", "", "--vms", "3", "--clients", "coordinator", "--job", "1000"}, {"run", "", "--job", "1000", "--", "-snap", "-t", "1"}},
       {"-t", "2", "-fsj", "1000"},
       {"vm01", "vm02", "vm03"},
       nullptr,
       nullptr,
       nullptr,
       true,
       "/SNAP/backup_1000.xml]",
       true},
      {"an incremental whose earlier snapshot job is unknown: every VM fails and the stream goes back",
       {},
       {"-t", "2", "-fsj", "999"},
       {},
       "last successful snapshot job",
       nullptr,
       nullptr,
       false,
       "Failed to get last successful backup information"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TestLab caseDir;
    const std::string caseLab = caseDir.Path("lab");
    ASSERT_EQ(0, RunTool({"create", caseLab, "--vms", "3", "--clients", "coordinator"}, out)) << ReadText(out);
    for (std::vector<std::string> command : c.setup) {
      command[1] = caseLab;
      ASSERT_EQ(0, RunTool(command, out)) << ReadText(out);
    }
    std::vector<std::string> run = {"run", caseLab, "--", "-snap"};
    run.insert(run.end(), c.options.begin(), c.options.end());
    RunTool(run, out);
    lab::SetRoot(caseLab);
    ExpectDoneOrSaysWhy(c.done);
    for (size_t i = 0; i < kGuids.size() && c.reason != nullptr; ++i) {
      U record;
      vsJobMgr::ReadVMStatus(1001, kGuids[i], record);
      if (record.getint64(U::F_vmStatus) == 1) {
        EXPECT_NE(std::string::npos, record.getstring(U::F_failureText).find(c.reason)) << record.getstring(U::F_failureText);
      }
    }
    if (c.pending != nullptr) {
      EXPECT_TRUE(Contains(lab::ReadPendingCauses(1001), c.pending));
    }
    if (c.event != nullptr) {
      EXPECT_TRUE(Contains(lab::ReadJobEvents(1001), c.event));
      EXPECT_TRUE(Contains(lab::ReadJobEvents(1001), "vm02"));
    }
    EXPECT_EQ(c.snapshotTaken, Contains(lab::ReadArraySnapLog(kServer), "snapshot coordinator 1001"));
    if (c.logged != nullptr) {
      EXPECT_NE(std::string::npos, CoordinatorLog().find(c.logged)) << c.logged;
    }
    // The earlier snapshot is the chain an incremental snapshot builds on; its backups were never on
    // the media, so nothing there can break it.
    for (size_t i = 0; i < kGuids.size() && c.buildsOnTheEarlierSnapshot; ++i) {
      U record;
      ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, kGuids[i], record));
      EXPECT_NE(1, record.getint64(U::F_backupLevel)) << kGuids[i] << " went full";
    }
    if (c.buildsOnTheEarlierSnapshot) {
      EXPECT_EQ(std::string::npos, ReadText(out).find("went full")) << ReadText(out);
    }
    if (!c.snapshotTaken) {
      EXPECT_NE(std::string::npos, ReadText(lab::ClientLogPath("coordinator", "quarn")).find(
                                       "has returned StreamId [1], RCID [-1]"))
          << "the stream is handed back";
    }
    EXPECT_TRUE(lab::QuiescedGuests().empty());
    lab::SetRoot(std::string());
  }
}

// The job is stopped after its pre-snapshot: the metadata steps are left out, but the guests are let
// go.
TEST_F(SnapshotFaultRun, AQuitAfterThePreSnapshotStillReleasesTheGuests) {
  ASSERT_EQ(0, RunTool({"create", labDir, "--vms", "3", "--clients", "coordinator"}, out)) << ReadText(out);
  ASSERT_EQ(0, RunTool({"fault", labDir, "hold", "vminfo.GetSnapBackupInfo"}, out)) << ReadText(out);
  const pid_t run = labrun::StartTool({"run", labDir, "--", "-snap", "-t", "1"}, dir.Path("run.txt"));
  ASSERT_GT(run, 0);
  lab::SetRoot(labDir);
  const bool held = labrun::WaitForLab({labDir}, [] {
    lab::FaultTable table;
    std::string error;
    return lab::ReadFaultTable(table, error) && !table.rules.empty() && table.rules[0].calls > 0;
  });
  EXPECT_FALSE(lab::QuiescedGuests().empty()) << "the guests are held quiesced while the snapshot is made";
  lab::RequestJobQuit(1001);
  std::string error;
  lab::ClearFaultTable(error);
  testsupport::WaitProgram(run);
  ASSERT_TRUE(held) << ReadText(dir.Path("run.txt"));
  EXPECT_TRUE(lab::QuiescedGuests().empty());
  EXPECT_TRUE(Contains(lab::ReadArraySnapLog(kServer), "release coordinator 1001"));
  const std::string log = CoordinatorLog();
  EXPECT_NE(std::string::npos, log.find("Stop PostBackup. Quit flag set"));
  for (const std::string& guid : kGuids) {
    U record;
    if (vsJobMgr::ReadVMStatus(1001, guid, record)) {
      EXPECT_NE(0, record.getint64(U::F_vmStatus)) << guid;
    }
  }
}

}  // namespace

// A backup copy that something goes wrong in: every VM it reports backed up restores as the snapshot
// held it (the guests changed since), every other VM says why, and nothing stays mounted or reserved.
TEST_F(SnapshotFaultRun, ABackupCopyRestoresEveryVMItReportsDoneAsTheSnapshotHeldIt) {
  struct Case {
    const char* name;
    std::vector<std::string> fault;  // the rule's operation and selectors
    std::vector<std::string> done;   // the VMs reported backed up
    const char* outcome;             // the first line of the job's outcome
    const char* reason;              // in every failed VM's status record, or null
    bool pendingCause;               // the array's reason is the job's pending cause
  } cases[] = {
      {"one VM cannot be mounted from the snapshot",
       {"vminfo.MountVM", "--vm", kGuids[1]},
       {"vm01", "vm03"},
       "job 1002: completed with errors",
       "array refuses the mount",
       false},
      {"the agent cannot mount the snapshot: the coordinator backs its VMs up",
       {"vminfo.MountSnap", "--client", "proxyA"},
       {"vm01", "vm02", "vm03"},
       "job 1002: completed\n",
       nullptr,
       false},
      {"the coordinator cannot mount the snapshot: the job waits, saying why",
       {"vminfo.MountSnap", "--client", "coordinator"},
       {},
       "job 1002: pending\n",
       nullptr,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TestLab caseDir;
    const std::string caseLab = caseDir.Path("lab");
    ASSERT_EQ(0, RunTool({"create", caseLab, "--vms", "3", "--clients", "coordinator,proxyA"}, out)) << ReadText(out);
    ASSERT_EQ(0, RunTool({"run", caseLab, "--", "-snap", "-t", "1"}, out)) << ReadText(out);
    lab::SetRoot(caseLab);
    const std::vector<std::string> atSnapshot = snaprun::DigestsAtSnapshot(1001);
    lab::SetRoot(std::string());
    for (const std::string& name : snaprun::kNames)
      ASSERT_EQ(0, RunTool({"disk", caseLab, name, "0", "write", "--percent", "50"}, out)) << ReadText(out);
    ASSERT_EQ(0, RunTool({"create", caseLab, "--vms", "3", "--clients", "coordinator,proxyA", "--job", "1002"}, out));
    std::vector<std::string> fault = {"fault", caseLab, "add"};
    fault.insert(fault.end(), c.fault.begin(), c.fault.end());
    fault.insert(fault.end(), {"--code", "3013", "--event", "0x5B0001F1", "--text", "array refuses the mount"});
    ASSERT_EQ(0, RunTool(fault, out)) << ReadText(out);
    RunTool({"run", caseLab, "--job", "1002", "--", "-snaptape", "-snapJID", "1001", "-t", "1", "-numStreams", "2"}, out);

    ASSERT_EQ(0, RunTool({"verify", caseLab, "--job", "1002"}, out)) << ReadText(out);
    EXPECT_NE(std::string::npos, ReadText(out).find(std::to_string(c.done.size()) + " VMs: 0 problems")) << ReadText(out);
    RunTool({"outcome", caseLab, "--job", "1002"}, out);
    EXPECT_EQ(0u, ReadText(out).find(c.outcome)) << ReadText(out);
    lab::SetRoot(caseLab);
    for (size_t i = 0; i < kGuids.size(); ++i) {
      const std::string& name = snaprun::kNames[i];
      SCOPED_TRACE(name);
      const bool done = std::find(c.done.begin(), c.done.end(), name) != c.done.end();
      U record;
      const bool known = vsJobMgr::ReadVMStatus(1002, kGuids[i], record);
      EXPECT_EQ(done, known && record.getint64(U::F_vmStatus) == 0);
      if (done) {
        EXPECT_EQ(atSnapshot[i], snaprun::DigestAsCopied(1002, i)) << "backed up as the snapshot held it";
      } else if (c.reason != nullptr) {
        ASSERT_TRUE(known);
        EXPECT_NE(std::string::npos, record.getstring(U::F_failureText).find(c.reason))
            << record.getstring(U::F_failureText);
      }
    }
    // The array's reason reaches the job wherever the mount failed.
    EXPECT_TRUE(Contains(lab::ReadJobEvents(1002), "0x5B0001F1"));
    if (c.pendingCause) {
      EXPECT_TRUE(Contains(lab::ReadPendingCauses(1002), "0x5B0001F1"));
    }
    snaprun::ExpectNothingHeld(1002);
    lab::SetRoot(std::string());
  }
}

namespace {

// The job a run of the lab tool ran ("running job N ..."); 0 when it ran none.
int64_t JobRun(const std::string& output) {
  const size_t at = output.find("running job ");
  return at == std::string::npos ? 0 : std::stoll(output.substr(at + 12));
}

// Whatever fails in a storage-snapshot job or in a copy of one, no guest stays quiesced, nothing the
// job mounted or reserved stays so (but a snapshot the array would not unmount, which the job names),
// every VM not backed up says its own reason, the job's outcome, pending cause and events say what
// happened, and the job run again with the fault gone completes.
TEST_F(SnapshotFaultRun, AfterEachFailureTheGuestsAreLetGoEveryVMSaysWhyAndTheRerunCompletes) {
  using Options = std::vector<std::string>;
  const Options snap = {"-snap", "-t", "1"};
  const Options copy = {"-snaptape", "-snapJID", "1001", "-t", "1", "-numStreams", "2"};
  const char* const array = "array out of snapshot space";
  const std::string notTaken = std::string("The storage snapshot of the job was not taken: ") + array;
  const std::string notFinished = "The storage snapshot of the job could not be finished: array cannot finish";
  const std::string noFile = "No snapshot metadata file was found for this job";
  const std::string unknown = "The storage snapshot of job 999 cannot be used";
  const auto every = [](const std::string& reason) { return std::vector<std::string>(3, reason); };
  struct Case {
    const char* name;
    const char* hypervisor;
    Options fault;                     // the rule (after "fault LAB add"), or none
    Options job;                       // the failing job's options; a copy or catalogue follows snapshot job 1001
    Options rerun;                     // the options of the job run again
    const char* outcome;               // the failing job's outcome begins so
    std::vector<std::string> reasons;  // each VM's status text begins so; empty: backed up
    const char* pending;               // in a pending cause of the failing job, or null
    const char* event;                 // in an event of the failing job, or null
    bool leftMounted;                  // the failing job's mounts of the snapshot stand
    bool someFail;                     // only some VMs fail (those of one proxy), the others are backed up
  } cases[] = {
      {"the pre-snapshot fails part-way, at the second VM",
       "vmware",
       {"vminfo.SnapshotVM", "--vm", kGuids[1], "--code", "3040", "--event", "0x5B0001F1", "--text", array},
       snap,
       snap,
       "job 1001: failed",
       {notTaken, array, notTaken},
       "0x5B0001D9",
       "vm02|array out of snapshot space",
       false,
       false},
      {"the post-snapshot fails",
       "vmware",
       {"vminfo.PostSnap", "--code", "3041", "--text", "array cannot finish"},
       snap,
       snap,
       "job 1001: failed",
       every(notFinished),
       "could not be finished: array cannot finish",
       "could not be finished: array cannot finish",
       false,
       false},
      {"the set-up fails after the snapshot was taken",
       "vmware",
       {"vminfo.GetSnapBackupInfo", "--times", "1", "--code", "3042"},
       snap,
       snap,
       "job 1001: failed",
       every(noFile),
       "0x5B0001D9",
       nullptr,
       false,
       false},
      {"a Hyper-V snapshot of two proxies whose post-snapshot fails",
       "hyperv",
       {"vminfo.PostSnap", "--code", "3041", "--client", "proxyA", "--text", "array cannot finish"},
       snap,
       snap,
       "job 1001: failed",
       every(notFinished),
       "could not be finished: array cannot finish",
       nullptr,
       false,
       true},
      {"the snapshot cannot be unmounted from the proxies",
       "vmware",
       {"vminfo.UnmountSnap", "--times", "always", "--code", "3043", "--text", "array keeps the mount"},
       copy,
       copy,
       "job 1002: completed with errors",
       {"", "", ""},
       nullptr,
       "array keeps the mount",
       true,
       false},
      {"the snapshot of the copy is unknown: its metadata file is missing",
       "vmware",
       {},
       {"-snaptape", "-snapJID", "999", "-t", "1", "-numStreams", "2"},
       copy,
       "job 1002: pending",
       every(unknown + ": The metadata file of the snapshot (backup_999.xml)"),
       "backup_999.xml",
       "backup_999.xml",
       false,
       false},
      {"the snapshot of a catalogue is unknown",
       "hyperv",
       {},
       {"-snapcatalog", "-snapJID", "999", "-t", "1"},
       {"-snapcatalog", "-snapJID", "1001", "-t", "1"},
       "job 1002: pending",
       every(unknown),
       "backup_999.xml",
       nullptr,
       false,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TestLab caseDir;
    const std::string caseLab = caseDir.Path("lab");
    const Options create = {"create", caseLab, "--vms", "3", "--clients", "coordinator,proxyA", "--hypervisor",
                            c.hypervisor};
    ASSERT_EQ(0, RunTool(create, out)) << ReadText(out);
    lab::SetRoot(caseLab);
    std::string error;
    // A catalogue collects the snapshot's metadata (which a Linux proxy does for a Microsoft hypervisor).
    ASSERT_TRUE(lab::SetSubclientValue("1", "collectFileDetails", "1", error)) << error;
    lab::SetRoot(std::string());
    const bool later = c.job.front() != "-snap";
    int64_t failing = 1001;
    if (later) {
      ASSERT_EQ(0, RunTool({"run", caseLab, "--", "-snap", "-t", "1"}, out)) << ReadText(out);
      Options next = create;
      next.insert(next.end(), {"--job", "1002"});
      ASSERT_EQ(0, RunTool(next, out)) << ReadText(out);
      failing = 1002;
    }
    if (!c.fault.empty()) {
      Options fault = {"fault", caseLab, "add"};
      fault.insert(fault.end(), c.fault.begin(), c.fault.end());
      ASSERT_EQ(0, RunTool(fault, out)) << ReadText(out);
    }
    Options run = {"run", caseLab, "--job", std::to_string(failing), "--"};
    run.insert(run.end(), c.job.begin(), c.job.end());
    RunTool(run, out);
    RunTool({"outcome", caseLab, "--job", std::to_string(failing)}, out);
    EXPECT_EQ(0u, ReadText(out).find(c.outcome)) << ReadText(out);

    lab::SetRoot(caseLab);
    size_t failed = 0;
    for (size_t i = 0; i < kGuids.size(); ++i) {
      SCOPED_TRACE(snaprun::kNames[i]);
      U record;
      ASSERT_TRUE(vsJobMgr::ReadVMStatus(failing, kGuids[i], record));
      const int64_t status = record.getint64(U::F_vmStatus);
      const std::string text = record.getstring(U::F_failureText);
      const bool done = status == 0 || status == 3;
      failed += done ? 0 : 1;
      if (c.reasons[i].empty() || (c.someFail && done)) {
        EXPECT_TRUE(done) << status << " " << text;
      } else {
        EXPECT_FALSE(done);
        EXPECT_EQ(0u, text.find(c.reasons[i])) << text;
      }
    }
    if (c.someFail) {
      EXPECT_GT(failed, 0u);
      EXPECT_LT(failed, kGuids.size());
    }
    if (c.pending != nullptr) {
      EXPECT_TRUE(Contains(lab::ReadPendingCauses(failing), c.pending));
    }
    if (c.event != nullptr) {
      EXPECT_TRUE(Contains(lab::ReadJobEvents(failing), c.event));
    }
    EXPECT_TRUE(lab::QuiescedGuests().empty());
    if (c.leftMounted) {
      EXPECT_EQ((std::vector<std::string>{"coordinator 1002", "proxyA 1002"}),
                lab::StandingArraySnapMounts(kServer, 1001))
          << "the mounts the array would not let go, and only those";
    } else {
      snaprun::ExpectNothingHeld(failing);
    }
    std::string cleared;
    ASSERT_TRUE(lab::ClearFaultTable(cleared)) << cleared;
    lab::SetRoot(std::string());

    Options again = {"run", caseLab, "--"};
    again.insert(again.end(), c.rerun.begin(), c.rerun.end());
    EXPECT_EQ(0, RunTool(again, out)) << ReadText(out);
    const int64_t rerun = JobRun(ReadText(out));
    lab::SetRoot(caseLab);
    EXPECT_TRUE(lab::QuiescedGuests().empty());
    snaprun::ExpectNothingHeld(rerun);
    for (const std::string& guid : kGuids) {
      U record;
      ASSERT_TRUE(vsJobMgr::ReadVMStatus(rerun, guid, record));
      EXPECT_EQ(0, record.getint64(U::F_vmStatus)) << guid;
    }
    lab::SetRoot(std::string());
  }
}

// A copy of a snapshot job whose post-snapshot failed does not read the unfinished snapshot: it waits,
// saying why.
TEST_F(SnapshotFaultRun, ACopyOfAnUnfinishedSnapshotWaitsSayingWhy) {
  ASSERT_EQ(0, RunTool({"create", labDir, "--vms", "3", "--clients", "coordinator"}, out)) << ReadText(out);
  ASSERT_EQ(0, RunTool({"fault", labDir, "add", "vminfo.PostSnap", "--code", "3041", "--times", "1", "--text",
                        "array cannot finish"},
                       out))
      << ReadText(out);
  RunTool({"run", labDir, "--", "-snap", "-t", "1"}, out);
  ASSERT_EQ(0, RunTool({"create", labDir, "--vms", "3", "--clients", "coordinator", "--job", "1002"}, out));
  RunTool({"run", labDir, "--job", "1002", "--", "-snaptape", "-snapJID", "1001", "-t", "1"}, out);
  RunTool({"outcome", labDir, "--job", "1002"}, out);
  EXPECT_EQ(0u, ReadText(out).find("job 1002: pending")) << ReadText(out);
  lab::SetRoot(labDir);
  const std::vector<std::string> causes = lab::ReadPendingCauses(1002);
  EXPECT_TRUE(Contains(causes, "1001|")) << (causes.empty() ? "no cause" : causes.front());
  for (const std::string& guid : kGuids) {
    U record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1002, guid, record));
    EXPECT_NE(0, record.getint64(U::F_vmStatus));
    EXPECT_EQ(0u, record.getstring(U::F_failureText).find("The storage snapshot of job 1001 cannot be used"))
        << record.getstring(U::F_failureText);
  }
  snaprun::ExpectNothingHeld(1002);
}

}  // namespace
