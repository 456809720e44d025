// A whole job as the job manager starts it: the real host program as coordinator, with its own
// in-process agent and two agent processes on further lab clients, over the real framework.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabReservations.h"
#include "platform/lab/LabSubclient.h"
#include "records/messages/IdxMetadataMessages.h"
#include "records/messages/JobManagerMessages.h"
#include "support/ArchiveTestSupport.h"
#include "support/BackupTestSupport.h"
#include "support/LabRunSupport.h"
#include "support/PromiseSupport.h"
#include "support/TestLab.h"

namespace {

using labrun::ReadText;
using labrun::RunTool;
using labrun::StartTool;
using labrun::WaitForLab;

const char* const kClients[] = {"coordinator", "proxyA", "proxyB"};

// What a test waiting on a lab run watches: the lab folder and the clients' log folders.
std::vector<std::string> WatchedFolders(const std::string& labDir) {
  std::vector<std::string> folders = {labDir};
  for (const char* client : kClients) {
    const std::string log = lab::ClientLogPath(client, "quarn");
    folders.push_back(log.substr(0, log.rfind('/')));
  }
  return folders;
}

// True when a client's log holds the text; that log into `log` when asked.
bool AnyClientLogHas(const std::string& text, std::string* log = nullptr) {
  for (const char* client : kClients) {
    const std::string content = ReadText(lab::ClientLogPath(client, "quarn"));
    if (content.find(text) == std::string::npos) continue;
    if (log != nullptr) *log = content;
    return true;
  }
  return false;
}

class JobRun : public testing::Test {
 protected:
  testsupport::TestLab dir;
  const std::string labDir = dir.Path("lab");
  const std::string out = dir.Path("tool.txt");
};

TEST_F(JobRun, ACoordinatorAndTwoAgentProcessesBackUpEveryVMOnceAndTheBackupsRestore) {
  ASSERT_EQ(0, RunTool({"create", labDir, "--vms", "6"}, out)) << ReadText(out);
  ASSERT_EQ(0, RunTool({"run", labDir, "--", "-numStreams", "3"}, out)) << ReadText(out);
  lab::SetRoot(labDir);

  // Every VM has one final status: backed up, with nothing in the result file.
  const std::vector<std::string> guids = vsJobMgr::ReadVMStatusGuids(1001);
  ASSERT_EQ(6u, guids.size()) << ReadText(out);
  for (const std::string& guid : guids) {
    JobManager::VMUpdateInfo record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, guid, record)) << guid;
    EXPECT_EQ(0, record.getint64(JobManager::VMUpdateInfo::F_vmStatus)) << guid;
    EXPECT_EQ("", record.getstring(JobManager::VMUpdateInfo::F_failureText)) << guid;
  }
  EXPECT_TRUE(lab::ReadJobResultLines(1001).empty());
  // What was sent restores byte for byte: the archives read back whole and every disk matches the
  // point-in-time copy of the job.
  lab::SetRoot(std::string());
  ASSERT_EQ(0, RunTool({"verify", labDir}, out)) << ReadText(out);
  EXPECT_NE(std::string::npos, ReadText(out).find("6 VMs: 0 problems")) << ReadText(out);
  lab::SetRoot(labDir);

  // Each process of the job started and ended cleanly, the agents as agents of this job.
  for (const char* client : {"coordinator", "proxyA", "proxyB"}) {
    const std::string log = ReadText(lab::ClientLogPath(client, "quarn"));
    EXPECT_NE(std::string::npos, log.find("= quarn [BACKUP PHASE] has started")) << client;
    EXPECT_NE(std::string::npos, log.find("= [quarn] has exited [BACKUP PHASE]")) << client;
    if (std::string(client) != "coordinator") {
      EXPECT_NE(std::string::npos, log.find("-client")) << client;
    }
  }
  const std::string coordinatorLog = ReadText(lab::ClientLogPath("coordinator", "quarn"));
  for (const char* agent : {"coordinator", "proxyA", "proxyB"})
    EXPECT_NE(std::string::npos, coordinatorLog.find(std::string("Agent [") + agent + "] has initialized")) << agent;
  EXPECT_NE(std::string::npos, coordinatorLog.find("VMs succeeded           [6]")) << coordinatorLog;
  lab::SetRoot(std::string());
}

// The extent items each VM's archive files of a job hold ("<disk>/<extent name>"), and whether
// every one of them read back well formed.
std::map<std::string, std::vector<std::string>> ExtentItemsByVM(int64_t jobId, bool& wellFormed) {
  std::map<std::string, std::vector<std::string>> items;
  std::vector<std::string> problems;
  for (const archive::ArchiveContents& contents : archivetest::ReadJobArchives(jobId, &problems)) {
    if (contents.indexOnly) continue;
    std::vector<std::string>& list = items[contents.vmGuid];
    for (const archive::Item& item : contents.items)
      if (item.kind == archive::ItemKind::kExtent) list.push_back(item.name.substr(item.name.rfind('\\') + 1));
  }
  wellFormed = problems.empty();
  return items;
}

// A full job, a guest write to one extent of one disk, and an incremental job: the incremental
// learns each VM's disks from what the index kept of the full job and sends only the changed extent,
// whether it finds the change by change id or by extent checksums, with either indexing generation;
// both jobs restore byte for byte.
TEST_F(JobRun, AnIncrementalAfterAFullSendsOnlyTheChangedExtentAndBothJobsRestore) {
  struct Case {
    const char* name;
    bool checksums;  // change ids ignored: changes are found by extent checksums
    bool indexingV2;
  };
  const Case cases[] = {{"change ids, indexing V2", false, true},
                        {"extent checksums, indexing V2", true, true},
                        {"change ids, indexing V1", false, false}};
  const std::string changedVM = "50290000-0000-4000-8000-000000000001";
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    testsupport::TestLab caseDir;
    const std::string caseLab = caseDir.Path("lab");
    lab::SetRoot(std::string());
    // Time runs 60 times faster, so that the processes' waits between passes do not slow the test.
    ASSERT_EQ(0, RunTool({"create", caseLab, "--vms", "2", "--disks", "2", "--time-scale", "60"}, out))
        << ReadText(out);
    if (test.checksums) {
      for (const char* client : {"coordinator", "proxyA", "proxyB"})
        ASSERT_EQ(0, RunTool({"set", caseLab, client, "VirtualServer", "nIgnoreChangeId", "1"}, out)) << ReadText(out);
    }
    if (!test.indexingV2) {
      lab::SetRoot(caseLab);
      lab::SubclientRecord record;
      std::string error;
      ASSERT_EQ(lab::RecordRead::kRead, lab::ReadSubclientRecord("1", record, error)) << error;
      record.settings["indexingV2"] = "0";
      ASSERT_TRUE(lab::WriteSubclientRecord("1", record, error)) << error;
      lab::SetRoot(std::string());
      ASSERT_EQ(0, RunTool({"create", caseLab, "--vms", "2", "--disks", "2"}, out)) << ReadText(out);
    }
    ASSERT_EQ(0, RunTool({"run", caseLab, "--", "-numStreams", "3"}, out)) << ReadText(out);
    // Discovery leaves the next job its own collect file (a V1 collect file has no job id in its name).
    ::unlink((caseLab + "/clients/coordinator/JobResults/1/vmcollect.ztf").c_str());
    ASSERT_EQ(0, RunTool({"create", caseLab, "--vms", "2", "--disks", "2", "--job", "1002", "--time-scale", "60"}, out))
        << ReadText(out);
    // One guest write inside the second extent (1 MiB extents) of the VM's first disk.
    ASSERT_EQ(0, RunTool({"disk", caseLab, "vm01", "0", "write", "--offset", "1048581", "--bytes", "7"}, out))
        << ReadText(out);
    ASSERT_EQ(0, RunTool({"run", caseLab, "--job", "1002", "--", "-t", "2", "-numStreams", "3"}, out)) << ReadText(out);

    lab::SetRoot(caseLab);
    bool wellFormed = false;
    const auto full = ExtentItemsByVM(1001, wellFormed);
    EXPECT_TRUE(wellFormed);
    const auto incremental = ExtentItemsByVM(1002, wellFormed);
    EXPECT_TRUE(wellFormed);
    ASSERT_EQ(2u, full.size());
    ASSERT_EQ(2u, incremental.size());
    for (const auto& vm : incremental) {
      EXPECT_GT(full.at(vm.first).size(), 4u) << vm.first;
      const std::vector<std::string> expected =
          vm.first == changedVM ? std::vector<std::string>{"0000000000001"} : std::vector<std::string>{};
      EXPECT_EQ(expected, vm.second) << vm.first;
    }
    for (const std::string& guid : vsJobMgr::ReadVMStatusGuids(1002)) {
      JobManager::VMUpdateInfo record;
      ASSERT_TRUE(vsJobMgr::ReadVMStatus(1002, guid, record)) << guid;
      EXPECT_EQ(0, record.getint64(JobManager::VMUpdateInfo::F_vmStatus)) << guid;
    }
    std::string logs;
    for (const char* client : {"coordinator", "proxyA", "proxyB"}) logs += ReadText(lab::ClientLogPath(client, "quarn"));
    EXPECT_EQ(test.checksums, logs.find("Change Id will be ignored during backup") != std::string::npos);
    lab::SetRoot(std::string());
    ASSERT_EQ(0, RunTool({"verify", caseLab, "--job", "1002"}, out)) << ReadText(out);
    EXPECT_NE(std::string::npos, ReadText(out).find("(jobs 1001, 1002)")) << ReadText(out);
    ASSERT_EQ(0, RunTool({"verify", caseLab, "--job", "1001"}, out)) << ReadText(out);
  }
}

// bDumpZTCBTStats asks for the changed-block statistics of every disk of a Hyper-V incremental (not of
// a full, and not when unset); every disk of every job sends its read and checksum counters, which
// reach the lab with the bytes the disk read.
TEST_F(JobRun, AHyperVIncrementalDumpsItsCBTStatisticsWhenAskedAndEveryDiskSendsItsCounters) {
  lab::SetRoot(std::string());
  ASSERT_EQ(0, RunTool({"create", labDir, "--vms", "1", "--disks", "2", "--time-scale", "60", "--hypervisor", "hyperv"},
                       out))
      << ReadText(out);
  struct Case {
    const char* name;
    const char* setting;
    std::vector<std::string> passed;  // after "--"
    size_t statistics;                // lines of statistics the job adds to the logs
  };
  const Case cases[] = {{"a full, asked", "1", {"-numStreams", "1"}, 0},
                        {"an incremental, asked", "1", {"-t", "2", "-numStreams", "1"}, 2},
                        {"an incremental, not asked", "0", {"-t", "2", "-numStreams", "1"}, 0}};
  auto statistics = [] {
    size_t lines = 0;
    for (const char* client : kClients) {
      const std::string log = ReadText(lab::ClientLogPath(client, "quarn"));
      for (size_t at = log.find("CBT statistics of disk ["); at != std::string::npos;
           at = log.find("CBT statistics of disk [", at + 1))
        ++lines;
    }
    return lines;
  };
  int64_t job = 1001;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    for (const char* client : kClients)
      ASSERT_EQ(0, RunTool({"set", labDir, client, "VirtualServer", "bDumpZTCBTStats", test.setting}, out))
          << ReadText(out);
    lab::SetRoot(labDir);
    const size_t before = statistics();
    lab::SetRoot(std::string());
    std::vector<std::string> run = {"run", labDir, "--"};
    run.insert(run.end(), test.passed.begin(), test.passed.end());
    ASSERT_EQ(0, RunTool(run, out)) << ReadText(out);
    ASSERT_EQ(0, RunTool({"verify", labDir, "--job", std::to_string(job)}, out)) << ReadText(out);

    lab::SetRoot(labDir);
    EXPECT_EQ(test.statistics, statistics() - before);
    std::map<std::string, uint64_t> readBytes;  // disk -> bytes of its "readdisk" counter
    size_t checksumCounters = 0;
    for (const lab::PerfCounterLine& line : lab::ReadPerfCounters(job)) {
      if (line.item.empty()) continue;
      EXPECT_EQ("vm01", line.vm);
      if (line.counter == "readdisk") readBytes[line.item] = line.bytes;
      if (line.counter == "calcCRC") ++checksumCounters;
    }
    lab::SetRoot(std::string());
    EXPECT_EQ(2u, readBytes.size()) << "each disk's counters, once";
    EXPECT_EQ(2u, checksumCounters);
    for (const auto& disk : readBytes) EXPECT_GT(disk.second, 0u) << disk.first << ": a disk's first block is read";
    ++job;
  }
}

// An administrator stops one VM while its disk is being read: that VM alone ends stopped, the job's
// other VMs back up and restore, and the job says a VM was stopped.
TEST_F(JobRun, AStopRequestForOneVMMidJobStopsThatVMAlone) {
  ASSERT_EQ(0, RunTool({"create", labDir, "--vms", "3"}, out)) << ReadText(out);
  const std::string vm02 = "50290000-0000-4000-8000-000000000002";  // the lab's GUID of vm02
  ASSERT_EQ(0, RunTool({"fault", labDir, "hold", "disk.Read", "--vm", vm02}, out)) << ReadText(out);
  const pid_t run = StartTool({"run", labDir, "--", "-numStreams", "3"}, dir.Path("run.txt"));
  ASSERT_GT(run, 0);
  lab::SetRoot(labDir);
  const std::vector<std::string> folders = WatchedFolders(labDir);

  // The job is caught reading vm02; the administrator asks for its stop, as the job manager records it.
  const bool held = testsupport::WaitForLab(folders, [] {
    lab::FaultTable table;
    std::string error;
    return lab::ReadFaultTable(table, error) && !table.rules.empty() && table.rules[0].calls > 0;
  });
  const std::string guid = vm02;
  JobManager::VMUpdateInfo record;
  std::string error;
  bool asked = held && vsJobMgr::ReadVMStatus(1001, guid, record);
  record.setint64(JobManager::VMUpdateInfo::F_vmStatus, 5);
  asked = asked && lab::SaveVMStatus(1001, guid, record, true, error) && lab::RequestVMQuit(1001);
  // Once its agent has the request, the read goes on and the VM stops at its next look at the flag.
  const bool received =
      asked && testsupport::WaitForLab(folders, [] { return AnyClientLogHas("Received a stop request for VM [vm02]"); });
  lab::ClearFaultTable(error);
  const int exitStatus = testsupport::WaitProgram(run);
  ASSERT_TRUE(held) << ReadText(dir.Path("run.txt"));
  ASSERT_TRUE(asked) << error;
  ASSERT_TRUE(received);

  for (const std::string& candidate : vsJobMgr::ReadVMStatusGuids(1001)) {
    JobManager::VMUpdateInfo status;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, candidate, status));
    EXPECT_EQ(candidate == guid ? 6 : 0, status.getint64(JobManager::VMUpdateInfo::F_vmStatus))
        << status.getstring(JobManager::VMUpdateInfo::F_vmName);
    if (candidate == guid) continue;
    lab::SetRoot(std::string());
    EXPECT_EQ(0, RunTool({"verify", labDir, "--vm", candidate}, out)) << ReadText(out);
    lab::SetRoot(labDir);
  }
  const std::string coordinatorLog = ReadText(lab::ClientLogPath("coordinator", "quarn"));
  EXPECT_NE(std::string::npos, coordinatorLog.find("VM [vm02] has already started sending stop request"));
  EXPECT_NE(std::string::npos, coordinatorLog.find("VMs succeeded           [2]")) << coordinatorLog;
  EXPECT_NE(-1, exitStatus);
  lab::SetRoot(std::string());
}

// A job interrupted while its agent backs a VM up, by a stop (the quit the job manager gives) or by
// its coordinator process being killed, is run again: the earlier attempt's archive files of that VM
// (committed and failed, or never committed) are no part of its backup, the run completes every VM,
// and verify restores them all, naming a file left uncommitted without counting it as a problem.
TEST_F(JobRun, AJobRunAgainAfterAStopOrAKilledCoordinatorCompletesEveryVM) {
  struct Case {
    const char* name;
    bool kill;
  };
  const Case cases[] = {{"stopped", false}, {"coordinator killed", true}};
  const std::string vm02 = "50290000-0000-4000-8000-000000000002";
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    testsupport::TestLab caseDir;
    const std::string caseLab = caseDir.Path("lab");
    lab::SetRoot(std::string());
    ASSERT_EQ(0, RunTool({"create", caseLab, "--vms", "3", "--clients", "coordinator", "--time-scale", "60"}, out))
        << ReadText(out);
    // vm02's disk is held after its first extent: its archive file is open when the job is interrupted.
    ASSERT_EQ(0, RunTool({"fault", caseLab, "hold", "disk.Read", "--vm", vm02, "--after", "1"}, out)) << ReadText(out);
    const pid_t run = StartTool({"run", caseLab, "--", "-numStreams", "3"}, caseDir.Path("run.txt"));
    ASSERT_GT(run, 0);
    lab::SetRoot(caseLab);
    const std::string log = lab::ClientLogPath("coordinator", "quarn");
    const bool held = testsupport::WaitForLab({caseLab, log.substr(0, log.rfind('/'))}, [] {
      lab::FaultTable table;
      std::string error;
      return lab::ReadFaultTable(table, error) && !table.rules.empty() && table.rules[0].fired > 0;
    });
    std::string error;
    if (test.kill) {
      // The coordinator's own agent holds the streams: its process is named in the ledger.
      lab::ReservationLedger ledger;
      pid_t coordinator = 0;
      if (lab::ReadReservationLedger(1001, ledger, error))
        for (const lab::Reservation& r : ledger.reservations)
          if (!r.holder.empty()) coordinator = static_cast<pid_t>(std::stol(r.holder.substr(r.holder.rfind(':') + 1)));
      EXPECT_GT(coordinator, 0);
      if (coordinator > 0) kill(coordinator, SIGKILL);
    } else {
      lab::RequestJobQuit(1001);
    }
    lab::ClearFaultTable(error);
    testsupport::WaitProgram(run);
    ASSERT_TRUE(held) << ReadText(caseDir.Path("run.txt"));
    ::unlink((lab::JobDir(1001) + "/quit").c_str());

    // Run without --job, the job that has not ended runs again, as the job manager resumes it.
    lab::SetRoot(std::string());
    ASSERT_EQ(0, RunTool({"run", caseLab, "--", "-numStreams", "3"}, out)) << ReadText(out);
    EXPECT_NE(std::string::npos, ReadText(out).find("job 1001 has not ended: ")) << ReadText(out);
    lab::SetRoot(caseLab);
    EXPECT_FALSE(lab::JobExists(1002));
    for (const std::string& guid : vsJobMgr::ReadVMStatusGuids(1001)) {
      JobManager::VMUpdateInfo record;
      ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, guid, record));
      EXPECT_EQ(0, record.getint64(JobManager::VMUpdateInfo::F_vmStatus))
          << guid << " " << record.getstring(JobManager::VMUpdateInfo::F_failureText);
    }
    EXPECT_EQ("phaseSuccessful", lab::ReadPhaseLines(1001).back());
    const bool uncommitted = !lab::ListUncommittedArchiveFiles(1001).empty();
    lab::SetRoot(std::string());
    EXPECT_EQ(0, RunTool({"verify", caseLab}, out)) << ReadText(out);
    EXPECT_EQ(std::string::npos, ReadText(out).find("MALFORMED")) << ReadText(out);
    EXPECT_EQ(uncommitted, ReadText(out).find("left by an interrupted attempt") != std::string::npos);
    EXPECT_NE(std::string::npos, ReadText(out).find("3 VMs: 0 problems")) << ReadText(out);
  }
}

// A datastore runs low while a VM on it is being read: the agent's datastore monitor, which learnt
// the datastore from the VM's mount, stops that VM with the reason; the VMs on the other datastore
// back up and restore, and the index's record of each names its host and datastore.
TEST_F(JobRun, TheDatastoreMonitorStopsAVMOnALowDatastoreAndIndexRecordsNameHostAndDatastore) {
  ASSERT_EQ(0, RunTool({"create", labDir, "--vms", "3", "--time-scale", "60"}, out)) << ReadText(out);
  for (const char* client : {"coordinator", "proxyA", "proxyB"}) {
    ASSERT_EQ(0, RunTool({"set", labDir, client, "VirtualServer", "bEnableDatastoreMonitor", "1"}, out));
    ASSERT_EQ(0, RunTool({"set", labDir, client, "VirtualServer", "MinDatastoreFreespaceMB", "2048"}, out));
  }
  // vm02 lies on ds2 (vm01 and vm03 on ds1): one byte short of the 2 GiB the agents want free.
  const std::string vm02 = "50290000-0000-4000-8000-000000000002";
  lab::SetRoot(labDir);
  lab::DatastoreRecord low;
  std::string error;
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadDatastoreRecord("vcenter", "ds2", low, error)) << error;
  low.freeBytes = 2147483647;
  ASSERT_TRUE(lab::WriteDatastoreRecord("vcenter", "ds2", low, error)) << error;
  lab::SetRoot(std::string());
  ASSERT_EQ(0, RunTool({"fault", labDir, "hold", "disk.Read", "--vm", vm02}, out)) << ReadText(out);
  const pid_t run = StartTool({"run", labDir, "--", "-numStreams", "3"}, dir.Path("run.txt"));
  ASSERT_GT(run, 0);
  lab::SetRoot(labDir);
  const std::vector<std::string> folders = WatchedFolders(labDir);
  // The monitor finds the datastore low while vm02's read is held, and stops the VM.
  std::string monitoring;
  const bool stopped = testsupport::WaitForLab(folders, [&monitoring] {
    return AnyClientLogHas("Datastore [ds2] is critically low on space, stopping backups for [1] VMs", &monitoring);
  });
  lab::ClearFaultTable(error);
  const int exitStatus = testsupport::WaitProgram(run);
  ASSERT_TRUE(stopped) << ReadText(dir.Path("run.txt"));
  EXPECT_NE(std::string::npos, monitoring.find("Enabled monitoring on datastore [ds2]"));
  EXPECT_NE(std::string::npos, monitoring.find("Monitoring datastore for less than [2,147,483,648] bytes of freespace"));

  const std::string reason = "low freespace on ds2, 2,147,483,647 bytes free.";
  for (const std::string& guid : vsJobMgr::ReadVMStatusGuids(1001)) {
    JobManager::VMUpdateInfo status;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, guid, status));
    const std::string name = status.getstring(JobManager::VMUpdateInfo::F_vmName);
    if (guid == vm02) {
      // Stopped, and it says why; the job is left for a later attempt of the VM.
      EXPECT_EQ(4, status.getint64(JobManager::VMUpdateInfo::F_vmStatus)) << name;
      EXPECT_EQ(reason, status.getstring(JobManager::VMUpdateInfo::F_failureText)) << name;
      continue;
    }
    EXPECT_EQ(0, status.getint64(JobManager::VMUpdateInfo::F_vmStatus)) << name;
    EXPECT_EQ("ds1", status.getstring(JobManager::VMUpdateInfo::F_datastoreList)) << name;
    lab::SetRoot(std::string());
    EXPECT_EQ(0, RunTool({"verify", labDir, "--vm", guid}, out)) << ReadText(out);
    lab::SetRoot(labDir);
  }
  bool causeRecorded = false;
  for (const std::string& cause : vsJobMgr::ReadPendingCauses(1001))
    causeRecorded = causeRecorded || cause.find(reason) != std::string::npos;
  EXPECT_TRUE(causeRecorded) << "the job's pending cause names the low datastore";

  // Every VM record of the index names the host and the datastore the VM lies on.
  lab::SubclientRecord subclient;
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadSubclientRecord("1", subclient, error)) << error;
  const std::string subclientGuid = subclient.settings["subclientGUID"];
  size_t records = 0;
  for (const std::string& vm : lab::IndexVMs(subclientGuid)) {
    for (int64_t job : lab::IndexVMEntryJobs(subclientGuid, vm)) {
      std::vector<std::vector<std::string>> entries;
      ASSERT_TRUE(lab::ReadIndexVMEntries(subclientGuid, vm, job, entries, error)) << error;
      for (const auto& entry : entries) {
        if (entry.size() != 3 || entry[0] != "meta" || entry[1] != "vm") continue;
        IdxMetadata::IdxMetaData metadata;
        ASSERT_TRUE(metadata.deserialize(entry[2], &error)) << error;
        const auto* part = metadata.getObject<IdxMetadata::VirtualServerIdxMetaData>(
            IdxMetadata::IdxMetaData::F_virtualServer, false);
        ASSERT_NE(nullptr, part) << vm;
        // Only vm01 and vm03 were backed up: both lie on ds1 and run on esx1.
        EXPECT_EQ("ds1", part->getstring(IdxMetadata::VirtualServerIdxMetaData::F_datastore)) << vm;
        EXPECT_EQ("esx1", part->getstring(IdxMetadata::VirtualServerIdxMetaData::F_esxHost)) << vm;
        ++records;
      }
    }
  }
  EXPECT_EQ(2u, records) << "one record of each VM that was backed up";
  EXPECT_NE(-1, exitStatus);
  lab::SetRoot(std::string());
}

// A write the media refused leaves the incremental pending; the job manager's resume backs the VM up
// again. The failed attempt's archive says it is not whole, and the resume's stands for the VM: every
// VM restores byte for byte to its disks as they were before the job, the index builds on the resume,
// and verify finds nothing wrong. An earlier attempt's archive that is not even well formed (a writer
// of an older version, a damaged file) changes none of that.
TEST_F(JobRun, AWriteFailureThatLeavesTheJobPendingDoesNotSpoilItsResume) {
  const std::map<std::string, std::string> vms = {{"vm01", "50290000-0000-4000-8000-000000000001"},
                                                  {"vm02", "50290000-0000-4000-8000-000000000002"}};
  ASSERT_EQ(0, RunTool({"create", labDir, "--vms", "2", "--disks", "2", "--time-scale", "60"}, out)) << ReadText(out);
  ASSERT_EQ(0, RunTool({"run", labDir}, out)) << ReadText(out);
  ASSERT_EQ(0, RunTool({"create", labDir, "--job", "1002"}, out)) << ReadText(out);
  ASSERT_EQ(0, RunTool({"disk", labDir, "vm01", "0", "write", "--offset", "65536", "--bytes", "65536"}, out));
  lab::SetRoot(labDir);
  const testsupport::DiskCopies before = testsupport::CopyDisks({"vm01", "vm02"}, dir.Path("before"));
  ASSERT_EQ(0, RunTool({"fault", labDir, "add", "archive.write", "--vm", "vm01", "--code", "5", "--after", "3",
                        "--times", "always"}, out));
  EXPECT_EQ(2, RunTool({"run", labDir, "--job", "1002", "--", "-t", "2"}, out)) << ReadText(out);
  JobManager::VMUpdateInfo record;
  ASSERT_TRUE(vsJobMgr::ReadVMStatus(1002, vms.at("vm01"), record));
  EXPECT_NE(0, record.getint64(JobManager::VMUpdateInfo::F_vmStatus));
  EXPECT_NE("", record.getstring(JobManager::VMUpdateInfo::F_failureText)) << "the VM says why";
  // What the failed attempt committed reads back, and says it is no whole backup.
  std::vector<std::string> failedAttempt;
  for (const lab::ArchiveLocation& location : lab::ListVMArchiveFiles(1002, vms.at("vm01"))) {
    archive::ArchiveContents contents;
    archive::Problem problem;
    EXPECT_TRUE(archive::ReadArchive(location.path, contents, problem)) << problem.Describe();
    failedAttempt.push_back(location.path);
    EXPECT_FALSE(archive::JudgeJobBackup({&contents}).Usable()) << location.path;
  }
  ASSERT_FALSE(failedAttempt.empty());

  ASSERT_EQ(0, RunTool({"fault", labDir, "clear"}, out));
  EXPECT_EQ(0, RunTool({"run", labDir, "--job", "1002", "--", "-t", "2"}, out)) << ReadText(out);
  for (const auto& vm : vms) {
    SCOPED_TRACE(vm.first);
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1002, vm.second, record));
    EXPECT_EQ(0, record.getint64(JobManager::VMUpdateInfo::F_vmStatus));
    EXPECT_EQ("", archivetest::WhyNotRestoredTo(vm.second, 1002, before));
  }
  EXPECT_EQ(0, RunTool({"verify", labDir, "--job", "1002"}, out)) << ReadText(out);
  // The index learned the resume: vm01's disks as its backup read them.
  lab::SubclientRecord subclient;
  std::string error;
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadSubclientRecord("1", subclient, error)) << error;
  std::vector<std::vector<std::string>> entries;
  ASSERT_TRUE(lab::ReadIndexVMEntries(subclient.settings["subclientGUID"], vms.at("vm01"), 1002, entries, error));
  EXPECT_EQ(2, std::count_if(entries.begin(), entries.end(),
                             [](const std::vector<std::string>& entry) { return entry.front() == "disk"; }));

  // The failed attempt's archives cut in half: still only a note.
  for (const std::string& path : failedAttempt) {
    const std::string bytes = ReadText(path);
    ASSERT_EQ(0, truncate(path.c_str(), static_cast<off_t>(bytes.size() / 2)));
  }
  std::vector<std::string> notes;
  EXPECT_EQ("", archivetest::WhyNotRestoredTo(vms.at("vm01"), 1002, before, &notes));
  EXPECT_EQ(failedAttempt.size(), notes.size());
  for (const std::string& note : notes)
    EXPECT_NE(std::string::npos, note.find("left out: an earlier attempt of job 1002, not well formed")) << note;
  EXPECT_EQ(0, RunTool({"verify", labDir, "--job", "1002"}, out)) << ReadText(out);
  EXPECT_NE(std::string::npos, ReadText(out).find("MALFORMED")) << "the damaged file is named";
  lab::SetRoot(std::string());
}

// A VM reported backed up in a job must have each configuration file and each disk the job's mount
// took in the committed archives of the job's latest attempt. With one of them gone, the configuration
// file still restores from the job before, so only this holds verify to what the job promised; the
// disk, which the index records in the job, is never restored from the job before it: its chain breaks.
TEST_F(JobRun, VerifyHoldsAJobToEveryFileAndDiskItsMountTook) {
  ASSERT_EQ(0, RunTool({"create", labDir, "--vms", "1", "--disks", "2", "--clients", "coordinator", "--time-scale",
                        "60"}, out))
      << ReadText(out);
  ASSERT_EQ(0, RunTool({"run", labDir}, out)) << ReadText(out);
  ASSERT_EQ(0, RunTool({"create", labDir, "--job", "1002"}, out)) << ReadText(out);
  // Each disk on a stream and an archive file of its own.
  const labrun::Disk1AloneRun run = labrun::RunWithDisk1InAnArchiveOfItsOwn(
      labDir, 1002, {"vm01"}, {"run", labDir, "--job", "1002", "--", "-t", "2", "-numStreams", "2"}, out);
  ASSERT_EQ("", run.failure) << run.output;
  ASSERT_EQ(0, run.status) << run.output;
  EXPECT_EQ(0, RunTool({"verify", labDir, "--job", "1002"}, out)) << ReadText(out);
  EXPECT_EQ(std::string::npos, ReadText(out).find("MISSING")) << ReadText(out);
  lab::SetRoot(labDir);
  const std::vector<lab::ArchiveLocation> archives =
      lab::ListVMArchiveFiles(1002, "50290000-0000-4000-8000-000000000001");
  ASSERT_EQ(2u, archives.size());
  // The archive that holds the configuration file goes, and with it the disks whose headers it holds.
  std::vector<std::string> gone;
  for (const lab::ArchiveLocation& location : archives) {
    archive::ArchiveContents contents;
    archive::Problem problem;
    ASSERT_TRUE(archive::ReadArchive(location.path, contents, problem)) << problem.Describe();
    if (archivetest::FindItem(contents, "\\50290000-0000-4000-8000-000000000001\\VMConfig.ztf") == nullptr) continue;
    for (const archive::Item& item : contents.items)
      if (item.kind == archive::ItemKind::kDisk || item.kind == archive::ItemKind::kFile)
        gone.push_back(std::string(item.kind == archive::ItemKind::kDisk ? "disk " : "file ") +
                       item.name.substr(item.name.rfind('\\') + 1));
    ASSERT_EQ(0, unlink(location.path.c_str()));
  }
  ASSERT_GE(gone.size(), 2u) << "the configuration file and a disk";
  EXPECT_EQ(1, RunTool({"verify", labDir, "--job", "1002"}, out)) << ReadText(out);
  for (const std::string& item : gone) {
    const std::string said = item.compare(0, 5, "disk ") == 0
                                 ? item + ": NOT RESTORED: its chain of backups is broken: job 1002's backup of the "
                                          "disk is lost"
                                 : item + ": MISSING from job 1002";
    EXPECT_NE(std::string::npos, ReadText(out).find(said)) << item << "\n" << ReadText(out);
  }
  // The archive itself is named: its note says the job wrote it.
  EXPECT_NE(std::string::npos, ReadText(out).find(": MISSING: noted for VM ")) << ReadText(out);
  EXPECT_NE(std::string::npos, ReadText(out).find(" and 1 VM: " + std::to_string(gone.size() + 1) + " problems"))
      << ReadText(out);
  lab::SetRoot(std::string());
}

// An archive whose first record cannot be read is still its job's and its VM's, by where it lies and
// the VM's note of the job: the job's backup of the VM is damaged, never one with a disk fewer. verify
// names it, a restore as of the job refuses and writes nothing, the index builds nothing on it, and the
// next job backs the VM up whole again: that backup restores to the disks as they were before it.
TEST_F(JobRun, AnArchiveWhoseFirstRecordCannotBeReadStillDamagesItsVMsBackup) {
  const std::string vm01 = "50290000-0000-4000-8000-000000000001";
  ASSERT_EQ(0, RunTool({"create", labDir, "--vms", "2", "--disks", "2", "--clients", "coordinator"}, out))
      << ReadText(out);
  ASSERT_EQ(0, RunTool({"disk", labDir, "vm01", "1", "write", "--percent", "100"}, out)) << ReadText(out);
  // Each disk on a stream and an archive file of its own.
  const labrun::Disk1AloneRun run =
      labrun::RunWithDisk1InAnArchiveOfItsOwn(labDir, 1001, {"vm01"}, {"run", labDir, "--", "-numStreams", "4"}, out);
  ASSERT_EQ("", run.failure) << run.output;
  ASSERT_EQ(0, run.status) << run.output;
  lab::SetRoot(labDir);
  std::string damaged;
  for (const lab::ArchiveLocation& location : lab::ListVMArchiveFiles(1001, vm01)) {
    archive::ArchiveContents contents;
    archive::Problem problem;
    ASSERT_TRUE(archive::ReadArchive(location.path, contents, problem)) << problem.Describe();
    if (archivetest::FindItem(contents, "\\" + vm01 + "\\VMConfig.ztf") == nullptr) damaged = location.path;
  }
  ASSERT_FALSE(damaged.empty()) << "no archive of vm01 holds a disk alone";
  ASSERT_NO_FATAL_FAILURE(archivetest::FlipByte(damaged, 0));
  EXPECT_EQ(1, RunTool({"verify", labDir, "--job", "1001", "--vm", "vm01"}, out)) << ReadText(out);
  EXPECT_TRUE(labrun::Has(ReadText(out), "archive " + damaged + ": MALFORMED at offset 0")) << ReadText(out);
  EXPECT_TRUE(labrun::Has(ReadText(out), "job 1001's backup of the VM cannot be used")) << ReadText(out);
  promise::Restore restore = promise::RestoreAsOfJobInCopy(labDir, dir.Path("copy1"), "vm01", 1001, dir.Path("r.txt"));
  EXPECT_NE(0, restore.status) << restore.output;
  EXPECT_TRUE(restore.disks.empty()) << "a refused restore wrote a disk back";

  ASSERT_EQ(0, RunTool({"create", labDir, "--job", "1002"}, out)) << ReadText(out);
  ASSERT_EQ(0, RunTool({"disk", labDir, "vm01", "0", "write", "--offset", "65536", "--bytes", "4096"}, out));
  lab::SetRoot(labDir);
  const testsupport::DiskCopies before = testsupport::CopyDisks({"vm01"}, dir.Path("before"));
  ASSERT_EQ(0, RunTool({"run", labDir, "--job", "1002", "--", "-t", "2", "-numStreams", "4"}, out)) << ReadText(out);
  restore = promise::RestoreAsOfJobInCopy(labDir, dir.Path("copy2"), "vm01", 1002, dir.Path("r.txt"));
  ASSERT_EQ(0, restore.status) << restore.output;
  for (const testsupport::DiskCopy& copy : before)
    EXPECT_TRUE(restore.disks.at(copy.diskName) == testsupport::ReadDisk(copy.path)) << copy.diskName;
  lab::SetRoot(labDir);
  const std::string log = ReadText(lab::ClientLogPath("coordinator", "quarn"));
  EXPECT_TRUE(labrun::Has(log, "The index gave no metadata of the last backup of VM [vm01]: the last backup of VM "
                               "[vm01] in the index, of job 1001, cannot be built on"));
  lab::SetRoot(std::string());
}

}  // namespace

namespace {

// A job that reported vm01 backed up, with errors or without, is a link of vm01's chain whatever the
// index says: with its archives lost, and the index no longer knowing it (its record gone, as from a
// rebuilt index cache), the job manager's record alone tells a restore as of that job that the newest
// backup is not there. The restore refuses, names the job and writes nothing back: it never gives the
// bytes of the backup before (the disk changed in between), which are not the disk's before the job.
TEST_F(JobRun, ALostBackupReportedWithErrorsIsNeverRestoredAround) {
  struct Case {
    const char* name;
    std::vector<std::string> fault;  // in job 1002, after "fault LAB add"
    int exitCode;                    // of job 1002
    int64_t status;                  // of vm01 in job 1002
  } cases[] = {
      {"backed up", {}, 0, lab::kVMStatusBackedUp},
      {"backed up with errors",
       {"vminfo.MountFailure", "--vm", "vm01", "--disk", "0", "--code", "5", "--text", "a disk error"},
       1,
       lab::kVMStatusBackedUpWithErrors},
  };
  const std::string vm01 = "50290000-0000-4000-8000-000000000001";
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    testsupport::TestLab caseDir;
    const std::string caseLab = caseDir.Path("lab");
    ASSERT_EQ(0, RunTool({"create", caseLab, "--vms", "1", "--clients", "coordinator"}, out)) << ReadText(out);
    ASSERT_EQ(0, RunTool({"run", caseLab}, out)) << ReadText(out);
    ASSERT_EQ(0, RunTool({"disk", caseLab, "vm01", "0", "write", "--offset", "65536", "--bytes", "4096"}, out));
    if (!test.fault.empty()) {
      std::vector<std::string> add = {"fault", caseLab, "add"};
      add.insert(add.end(), test.fault.begin(), test.fault.end());
      ASSERT_EQ(0, RunTool(add, out)) << ReadText(out);
    }
    ASSERT_EQ(0, RunTool({"create", caseLab, "--job", "1002"}, out)) << ReadText(out);
    lab::SetRoot(caseLab);
    const testsupport::DiskCopies before = testsupport::CopyDisks({"vm01"}, caseDir.Path("before"));
    lab::SetRoot(std::string());
    ASSERT_EQ(test.exitCode, RunTool({"run", caseLab, "--job", "1002", "--", "-t", "2"}, out)) << ReadText(out);
    lab::SetRoot(caseLab);
    JobManager::VMUpdateInfo record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1002, vm01, record));
    ASSERT_EQ(test.status, record.getint64(JobManager::VMUpdateInfo::F_vmStatus));
    // Job 1002's archives and the index's record of it are lost.
    lab::SubclientRecord subclient;
    std::string error;
    ASSERT_EQ(lab::RecordRead::kRead, lab::ReadSubclientRecord("1", subclient, error)) << error;
    const std::string indexed = lab::IndexVMDir(subclient.settings["subclientGUID"], vm01, error) + "/1002.idx";
    ASSERT_EQ(0, unlink(indexed.c_str())) << indexed;
    std::error_code failed;
    ASSERT_GT(std::filesystem::remove_all(lab::MediaJobDir(lab::SampleMediaAgent(), 1002), failed), 0u)
        << failed.message();
    lab::SetRoot(std::string());

    const promise::Restore restore =
        promise::RestoreAsOfJobInCopy(caseLab, caseDir.Path("copy"), "vm01", 1002, caseDir.Path("restore.txt"));
    EXPECT_NE(0, restore.status) << restore.output;
    EXPECT_TRUE(labrun::Has(restore.output, "job 1002's backup of the VM is lost")) << restore.output;
    EXPECT_TRUE(restore.disks.empty()) << "a refused restore wrote a disk back: " << restore.output;
    for (const testsupport::DiskCopy& copy : before) {
      if (restore.disks.count(copy.diskName)) {
        EXPECT_TRUE(restore.disks.at(copy.diskName) == testsupport::ReadDisk(copy.path))
            << "disk " << copy.diskName << " restored as of job 1002 is not as it was before the job";
      }
    }
    EXPECT_EQ(1, RunTool({"verify", caseLab, "--job", "1002", "--vm", "vm01"}, out)) << ReadText(out);
    EXPECT_TRUE(labrun::Has(ReadText(out), "REPORTED BACKED UP in job 1002, but no committed archive"))
        << ReadText(out);
  }
}

}  // namespace
