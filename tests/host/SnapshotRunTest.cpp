// Storage-snapshot jobs run as the job manager starts them: a snapshot job records three VMs in the
// index without moving data, the guests change, a backup copy of the snapshot (coordinator and an agent
// process) restores every disk as it was at the snapshot, and a catalogue of it uses no stream.
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabArraySnap.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabReservations.h"
#include "platform/lab/LabSubclient.h"
#include "platform/os/CPxSha256.h"
#include "records/messages/JobManagerMessages.h"
#include "support/ArchiveTestSupport.h"
#include "support/DiskCopies.h"
#include "support/LabRunSupport.h"
#include "support/PromiseSupport.h"
#include "host/SnapshotRunSupport.h"

namespace {

using labrun::ReadText;
using labrun::RunTool;

using snaprun::ExpectNothingHeld;
using snaprun::kGuids;
using snaprun::kNames;
using snaprun::kServer;

std::string SubclientGuid() {
  lab::SubclientRecord record;
  std::string error;
  lab::ReadSubclientRecord("1", record, error);
  return record.settings["subclientGUID"];
}

// What the index knows of the VM from the job, by entry kind.
std::multimap<std::string, std::vector<std::string>> IndexEntries(const std::string& guid, int64_t jobId) {
  std::vector<std::vector<std::string>> entries;
  std::string error;
  lab::ReadIndexVMEntries(SubclientGuid(), guid, jobId, entries, error);
  std::multimap<std::string, std::vector<std::string>> byKind;
  for (const auto& entry : entries)
    if (!entry.empty()) byKind.emplace(entry[0], entry);
  return byKind;
}

class SnapshotRun : public snaprun::LabToolTest {};

TEST_F(SnapshotRun, SnapshotBackupCopyAndCatalogueOfThreeVMs) {
  ASSERT_EQ(0, Tool({"create", labDir, "--vms", "3", "--clients", "coordinator,proxyA"})) << ReadText(out);

  // ---- The snapshot job ----
  ASSERT_EQ(0, Tool({"run", labDir, "--", "-snap", "-t", "1"})) << ReadText(out);
  std::vector<std::string> problems;
  for (const archive::ArchiveContents& contents : archivetest::ReadJobArchives(1001, &problems))
    for (const archive::Item& item : contents.items)
      EXPECT_NE(archive::ItemKind::kExtent, item.kind) << "a snapshot job moves no data: " << item.name;
  EXPECT_TRUE(problems.empty());

  std::set<std::string> numbers;
  size_t fileRecords = 0;
  for (size_t i = 0; i < kGuids.size(); ++i) {
    SCOPED_TRACE(kNames[i]);
    const auto entries = IndexEntries(kGuids[i], 1001);
    EXPECT_EQ(2u, entries.count("file")) << "the disk's file record and the VM's own";
    EXPECT_EQ(1u, entries.count("disk"));
    EXPECT_EQ(2u, entries.count("meta")) << "the disk's index metadata and the VM's";
    auto disk = entries.find("disk");
    ASSERT_NE(entries.end(), disk);
    EXPECT_EQ("scsi0-0-vm0" + std::to_string(i + 1) + "_0.img", disk->second[1]);
    for (auto it = entries.equal_range("file").first; it != entries.equal_range("file").second; ++it) {
      numbers.insert(it->second[2]);
      ++fileRecords;
    }
    JobManager::VMUpdateInfo record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, kGuids[i], record));
    EXPECT_EQ(kNames[i], record.getstring(JobManager::VMUpdateInfo::F_vmName)) << "the record keeps its name";
    EXPECT_EQ(0, record.getint64(JobManager::VMUpdateInfo::F_vmStatus));
  }
  EXPECT_EQ(fileRecords, numbers.size()) << "every file record has a number of its own";
  std::string error;
  EXPECT_TRUE(lab::IsDirectory(lab::IndexJobDir(SubclientGuid(), 1001, error)));
  EXPECT_FALSE(ReadText(lab::IndexJobDir(SubclientGuid(), 1001, error) + "/backup_1001.xml").empty());
  std::vector<std::string> appSizes;
  for (const std::string& line : vsJobMgr::ReadProgressLines(1001))
    if (line.rfind("appSize ", 0) == 0 && line != "appSize 0 1") appSizes.push_back(line);
  EXPECT_EQ(std::vector<std::string>{"appSize " + std::to_string(3 * 4 * 1024 * 1024) + " 0"}, appSizes);
  EXPECT_TRUE(lab::QuiescedGuests().empty());
  const std::string coordinatorLog = ReadText(lab::ClientLogPath("coordinator", "quarn"));
  for (const std::string& name : kNames)
    EXPECT_NE(std::string::npos, coordinatorLog.find("Added [1] VMContentMap entries for VM [" + name + "]"));
  ExpectNothingHeld(1001);

  // ---- The guests change; a backup copy restores them as they were at the snapshot ----
  const std::vector<std::string> atSnapshot = snaprun::DigestsAtSnapshot(1001);
  for (const std::string& name : kNames)
    ASSERT_EQ(0, Tool({"disk", labDir, name, "0", "write", "--percent", "50"})) << ReadText(out);
  ASSERT_EQ(0, Tool({"create", labDir, "--vms", "3", "--clients", "coordinator,proxyA", "--job", "1002"}));
  ASSERT_EQ(0, Tool({"run", labDir, "--job", "1002", "--", "-snaptape", "-snapJID", "1001", "-t", "1", "-numStreams",
                     "2"}))
      << ReadText(out);
  const std::vector<std::string> mounts = lab::ReadArraySnapMountLog(kServer, 1001);
  EXPECT_EQ((std::vector<std::string>{"mount coordinator 1002 /snapmount", "mount proxyA 1002 /snapmount",
                                      "unmount coordinator 1002", "unmount proxyA 1002"}),
            std::vector<std::string>(mounts.begin(), mounts.begin() + std::min<size_t>(mounts.size(), 4)))
      << "mounted once per proxy, and let go at the end";
  for (size_t i = 0; i < kGuids.size(); ++i) {
    EXPECT_EQ(atSnapshot[i], snaprun::DigestAsCopied(1002, i)) << "the copy reads the snapshot, not the changed guest";
    lab::MountRecord copied;
    ASSERT_EQ(lab::RecordRead::kRead, lab::ReadMountRecord(kServer, 1002, kGuids[i], copied, error)) << error;
    std::string live;
    ASSERT_TRUE(CPxSha256::OfFile(lab::DiskImagePath(kServer, copied.disks.at(0).source), live, error));
    EXPECT_NE(atSnapshot[i], live) << "the guest did change";
  }
  ASSERT_EQ(0, Tool({"verify", labDir, "--job", "1002"})) << ReadText(out);
  EXPECT_NE(std::string::npos, ReadText(out).find("3 VMs: 0 problems")) << ReadText(out);
  ExpectNothingHeld(1002);

  // ---- A catalogue of the snapshot (a Microsoft hypervisor collects metadata from it) ----
  ASSERT_TRUE(lab::SetSubclientValue("1", "instanceType", "102", error)) << error;
  ASSERT_TRUE(lab::SetSubclientValue("1", "collectFileDetails", "1", error)) << error;
  ASSERT_EQ(0, Tool({"create", labDir, "--vms", "3", "--clients", "coordinator,proxyA", "--job", "1003"}));
  ASSERT_EQ(0, Tool({"run", labDir, "--job", "1003", "--", "-snapcatalog", "-snapJID", "1001", "-t", "1"}))
      << ReadText(out);
  for (const std::string& guid : kGuids) {
    JobManager::VMUpdateInfo record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1003, guid, record));
    EXPECT_EQ(0, record.getint64(JobManager::VMUpdateInfo::F_vmStatus)) << guid;
  }
  EXPECT_TRUE(lab::ReadJobStreamCalls(1003).empty()) << "a catalogue uses no stream";
  for (const archive::ArchiveContents& contents : archivetest::ReadJobArchives(1003, &problems))
    EXPECT_TRUE(contents.indexOnly) << contents.path;
  ExpectNothingHeld(1003);
}

}  // namespace

namespace {

// Whether a client's log has an error line of a failure the job did not have.
bool LogsNoise(const std::string& client) {
  std::istringstream log(ReadText(lab::ClientLogPath(client, "quarn")));
  for (std::string line; std::getline(log, line);) {
    if (line.find(" ERROR ") == std::string::npos) continue;
    for (const char* noise : {"VM Collect file [", "DispatchSnapBackupMetadata(): File [", "No snap metadata file found"})
      if (line.find(noise) != std::string::npos) return true;
  }
  return false;
}

// The application sizes the snapshot job sent, one a line.
std::vector<int64_t> AppSizesSent(int64_t jobId) {
  std::vector<int64_t> sizes;
  for (const std::string& line : vsJobMgr::ReadProgressLines(jobId))
    if (line.rfind("appSize ", 0) == 0 && line != "appSize 0 1") sizes.push_back(std::stoll(line.substr(8)));
  return sizes;
}

// A snapshot job, the guests changing, and a backup copy of the snapshot, on each kind of engine: the
// snapshot job holds every VM whole, sends its VMs' application size once per proxy and keeps its
// metadata; the copy restores what the snapshot held; no step logs a failure it did not have.
TEST_F(SnapshotRun, TheCopyOfASnapshotRestoresTheSnapshotsBytesOnEveryEngine) {
  struct Case {
    const char* name;
    const char* hypervisor;
    const char* engine;  // the subclient's snapEngineId, or null
    size_t proxies;      // the proxies that took part in the snapshot job
  } cases[] = {
      {"one array snapshot of a VMware job", "vmware", nullptr, 1},
      {"a Hyper-V job that two proxies snapshot", "hyperv", nullptr, 2},
      {"a VM-centric engine that snapshots each VM at its mount", "vmware", "66", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TestLab caseDir;
    const std::string caseLab = caseDir.Path("lab");
    const std::vector<std::string> create = {"create", caseLab, "--vms", "3", "--clients", "coordinator,proxyA",
                                             "--hypervisor", c.hypervisor};
    ASSERT_EQ(0, RunTool(create, out)) << ReadText(out);
    lab::SetRoot(caseLab);
    std::string error;
    if (c.engine != nullptr) { ASSERT_TRUE(lab::SetSubclientValue("1", "snapEngineId", c.engine, error)) << error; }
    lab::SetRoot(std::string());

    // ---- The snapshot job ----
    ASSERT_EQ(0, RunTool({"run", caseLab, "--", "-snap", "-t", "1"}, out)) << ReadText(out);
    ASSERT_EQ(0, RunTool({"verify", caseLab, "--job", "1001"}, out)) << ReadText(out);
    EXPECT_NE(std::string::npos, ReadText(out).find("3 VMs: 0 problems")) << ReadText(out);
    lab::SetRoot(caseLab);
    std::set<std::string> snapshotBy;
    for (const std::string& line : lab::ReadArraySnapLog(kServer))
      if (line.rfind("snapshot ", 0) == 0) snapshotBy.insert(line.substr(9, line.find(' ', 9) - 9));
    EXPECT_EQ(c.proxies, snapshotBy.size());
    lab::ArraySnapRecord snapshot;
    ASSERT_EQ(lab::RecordRead::kRead, lab::ReadArraySnapRecord(kServer, 1001, snapshot, error)) << error;
    EXPECT_EQ(3u, snapshot.vms.size()) << "no proxy's VMs lost to another's";
    const std::vector<int64_t> sizes = AppSizesSent(1001);
    EXPECT_EQ(c.proxies, sizes.size()) << "once by each proxy";
    int64_t total = 0;
    for (int64_t size : sizes) total += size;
    EXPECT_EQ(3 * 4 * 1024 * 1024, total);
    EXPECT_FALSE(ReadText(lab::IndexJobDir(SubclientGuid(), 1001, error) + "/backup_1001.xml").empty())
        << "the snapshot's metadata is kept";
    EXPECT_TRUE(lab::QuiescedGuests().empty());
    ExpectNothingHeld(1001);
    const std::vector<std::string> atSnapshot = snaprun::DigestsAtSnapshot(1001);
    lab::SetRoot(std::string());

    // ---- The guests change; the copy reads the snapshot ----
    for (const std::string& name : kNames)
      ASSERT_EQ(0, RunTool({"disk", caseLab, name, "0", "write", "--percent", "50"}, out)) << ReadText(out);
    std::vector<std::string> second = create;
    second.insert(second.end(), {"--job", "1002"});
    ASSERT_EQ(0, RunTool(second, out)) << ReadText(out);
    ASSERT_EQ(0, RunTool({"run", caseLab, "--job", "1002", "--", "-snaptape", "-snapJID", "1001", "-t", "1",
                          "-numStreams", "2"},
                         out))
        << ReadText(out);
    ASSERT_EQ(0, RunTool({"verify", caseLab, "--job", "1002"}, out)) << ReadText(out);
    EXPECT_NE(std::string::npos, ReadText(out).find("3 VMs: 0 problems")) << ReadText(out);
    lab::SetRoot(caseLab);
    for (size_t i = 0; i < kGuids.size(); ++i)
      EXPECT_EQ(atSnapshot[i], snaprun::DigestAsCopied(1002, i)) << kNames[i] << ": the snapshot's bytes";
    ExpectNothingHeld(1002);
    for (const char* client : {"coordinator", "proxyA"}) EXPECT_FALSE(LogsNoise(client)) << client;
    lab::SetRoot(std::string());
  }
}

}  // namespace

namespace {

// A streaming backup, then a snapshot job, whose archives hold index records only: the snapshot job is
// no backup lost from the media. The next streaming incremental stays incremental (no VM goes full),
// its chain runs from the streaming full to it, and each VM restores as of it, byte for byte, to its
// disks as they were before it.
TEST_F(SnapshotRun, AStreamingIncrementalAfterASnapshotJobBuildsOnTheStreamingBackups) {
  ASSERT_EQ(0, Tool({"create", labDir, "--vms", "3", "--clients", "coordinator"})) << ReadText(out);
  ASSERT_EQ(0, Tool({"run", labDir})) << ReadText(out);
  for (const std::string& name : kNames)
    ASSERT_EQ(0, Tool({"disk", labDir, name, "0", "write", "--percent", "5"})) << ReadText(out);
  ASSERT_EQ(0, Tool({"create", labDir, "--vms", "3", "--clients", "coordinator", "--job", "1002"})) << ReadText(out);
  ASSERT_EQ(0, Tool({"run", labDir, "--job", "1002", "--", "-snap", "-t", "1"})) << ReadText(out);
  std::vector<std::string> problems;
  for (const archive::ArchiveContents& contents : archivetest::ReadJobArchives(1002, &problems))
    EXPECT_TRUE(contents.indexOnly) << contents.path;

  for (const std::string& name : kNames)
    ASSERT_EQ(0, Tool({"disk", labDir, name, "0", "write", "--percent", "5"})) << ReadText(out);
  const testsupport::DiskCopies before = testsupport::CopyDisks(kNames, dir.Path("before"));
  ASSERT_EQ(0, Tool({"create", labDir, "--vms", "3", "--clients", "coordinator", "--job", "1003"})) << ReadText(out);
  ASSERT_EQ(0, Tool({"run", labDir, "--job", "1003", "--", "-t", "2"})) << ReadText(out);
  EXPECT_FALSE(labrun::Has(ReadText(out), "went full")) << ReadText(out);
  for (size_t i = 0; i < kGuids.size(); ++i) {
    SCOPED_TRACE(kNames[i]);
    JobManager::VMUpdateInfo record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1003, kGuids[i], record));
    EXPECT_EQ(0, record.getint64(JobManager::VMUpdateInfo::F_vmStatus));
    EXPECT_NE(1, record.getint64(JobManager::VMUpdateInfo::F_backupLevel)) << "converted to a full backup";
    for (const lab::ArchiveLocation& location : lab::ListVMArchiveFiles(1003, kGuids[i])) {
      archive::ArchiveContents begin;
      archive::Problem problem;
      ASSERT_TRUE(archive::ReadArchiveBegin(location.path, begin, problem)) << problem.Describe();
      EXPECT_EQ(2u, begin.backupLevel) << location.path;
    }
    ASSERT_EQ(0, Tool({"verify", labDir, "--job", "1003", "--vm", kNames[i]})) << ReadText(out);
    EXPECT_TRUE(labrun::Has(ReadText(out), "as of job 1003 (jobs 1001, 1003)")) << ReadText(out);
    const promise::Restore restore =
        promise::RestoreAsOfJobInCopy(labDir, dir.Path("copy"), kNames[i], 1003, dir.Path("restore.txt"));
    ASSERT_EQ(0, restore.status) << restore.output;
    lab::SetRoot(labDir);
    for (const testsupport::DiskCopy& copy : testsupport::CopiesOf(before, kNames[i]))
      EXPECT_TRUE(restore.disks.at(copy.diskName) == testsupport::ReadDisk(copy.path)) << copy.diskName;
  }
}

}  // namespace
