// A failback as an administrator runs it with the lab tool alone: a full backup of the VM, a replica
// made and written to by its guest, failback jobs that back the replica up as the VM (only what the
// replica's guest changed, under the VM's disk names, the second from the change ids the first
// saved), a later plain incremental of the VM, and the cross-vendor shape that reads every extent;
// `verify` alone proves each restores byte for byte.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/lab/Lab.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabJob.h"
#include "support/ArchiveTestSupport.h"
#include "support/LabRunSupport.h"

namespace {

using Args = std::vector<std::string>;
const char kDisk[] = "scsi0-0-vm01_0.img";
constexpr uint64_t kDiskBytes = 4 << 20;  // the sample VM's first disk

using labrun::Has;

class FailbackRun : public testing::Test {
 protected:
  int Tool(const Args& args) {
    const int code = labrun::RunTool(args, out);
    text = labrun::ReadText(out);
    return code;
  }

  // The job's extents of the VM's disk in its archives, and the disk's extent size in bytes.
  struct Sent {
    uint64_t extents = 0;
    uint64_t extentBytes = 0;
    std::string disks;  // every disk name the archives name, for messages
  };
  Sent SentOf(int64_t jobId) {
    lab::SetRoot(labDir);
    Sent sent;
    for (const archive::ArchiveContents& contents : archivetest::ReadJobArchives(jobId, nullptr)) {
      for (const archive::Item& item : contents.items) {
        if (item.kind == archive::ItemKind::kExtent) {
          sent.disks += " " + item.diskName;
          if (item.diskName.find(kDisk) != std::string::npos) ++sent.extents;
        }
        if (item.kind == archive::ItemKind::kDisk && item.name.find(kDisk) != std::string::npos)
          sent.extentBytes = item.sectorsPerExtent * 512;
      }
    }
    lab::SetRoot(std::string());
    return sent;
  }

  // Runs a job as an incremental and verifies it; the verify's output is left in `text`.
  void RunAndVerify(int64_t jobId, bool incremental) {
    Args run = {"run", labDir, "--job", std::to_string(jobId)};
    if (incremental) run.insert(run.end(), {"--", "-t", "2"});
    ASSERT_EQ(0, Tool(run)) << text;
    ASSERT_EQ(0, Tool({"verify", labDir, "--job", std::to_string(jobId)})) << text;
    EXPECT_TRUE(Has(text, "1 VM: 0 problems")) << text;
  }

  testsupport::TestLab dir;
  const std::string labDir = dir.Path("lab");
  const std::string out = dir.Path("tool.txt");
  std::string text;
};

TEST_F(FailbackRun, TheReplicaIsBackedUpAsTheVMAndEveryJobOfTheChainVerifies) {
  lab::SetRoot(std::string());
  ASSERT_EQ(0, Tool({"create", labDir, "--vms", "1", "--time-scale", "60"})) << text;
  RunAndVerify(1001, false);

  // Every disk's counters reach the lab: the whole disk read, in the time it took.
  lab::SetRoot(labDir);
  std::map<std::string, lab::PerfCounterLine> counters;
  for (const lab::PerfCounterLine& line : lab::ReadPerfCounters(1001))
    if (!line.item.empty()) counters[line.item + "/" + line.counter] = line;
  lab::SetRoot(std::string());
  ASSERT_TRUE(counters.count(std::string("vm01_0.img/readdisk"))) << "no counters of the disk";
  EXPECT_EQ("vm01", counters["vm01_0.img/readdisk"].vm);
  // The disk's first block is read twice: for its header and with its first extent.
  EXPECT_GE(counters["vm01_0.img/readdisk"].bytes, kDiskBytes);
  EXPECT_LT(counters["vm01_0.img/readdisk"].bytes, kDiskBytes + kDiskBytes / 4);
  EXPECT_GE(counters["vm01_0.img/readdisk"].busyMilliseconds, 0);
  EXPECT_TRUE(counters.count("vm01_0.img/calcCRC"));

  // A replica, refused twice; then its guest writes one stretch.
  ASSERT_EQ(0, Tool({"vm", labDir, "vm01", "replica", "vm01r"})) << text;
  EXPECT_TRUE(Has(text, "VM vm01r made on server")) << text;
  EXPECT_EQ(1, Tool({"vm", labDir, "vm01", "replica", "vm01r"})) << text;
  EXPECT_EQ(64, Tool({"vm", labDir, "vm01", "replica"})) << text;
  ASSERT_EQ(0, Tool({"disk", labDir, "vm01r", "0", "write", "--offset", "1048576", "--bytes", "4096"})) << text;

  // The failback job: a VM that is no replica, a bad kind, a job of more VMs than the replicated one
  // and a job that exists are refused, and no job is made or changed.
  EXPECT_EQ(64, Tool({"create", labDir, "--job", "1002", "--failback", "vm01"})) << text;
  EXPECT_TRUE(Has(text, "is no replica")) << text;
  EXPECT_EQ(64, Tool({"create", labDir, "--job", "1002", "--failback", "vm01r", "--failback-kind", "sideways"})) << text;
  EXPECT_EQ(64, Tool({"create", labDir, "--job", "1002", "--vms", "2", "--failback", "vm01r"})) << text;
  EXPECT_TRUE(Has(text, "and the lab's jobs back up 2 VMs")) << text;
  EXPECT_EQ(64, Tool({"create", labDir, "--failback", "vm01r"})) << "not the job that ran: " << text;
  EXPECT_EQ(64, Tool({"create", labDir, "--job", "1001", "--failback", "vm01r"})) << text;
  EXPECT_TRUE(Has(text, "--failback makes a new job: give its id with --job (job 1001 exists)")) << text;
  lab::SetRoot(labDir);
  EXPECT_FALSE(lab::JobExists(1002));
  lab::JobRecord ran;
  std::string error;
  ASSERT_TRUE(lab::ReadJobRecord(1001, ran, error)) << error;
  EXPECT_FALSE(ran.failback);
  lab::SetRoot(std::string());
  ASSERT_EQ(0, Tool({"create", labDir, "--job", "1002", "--failback", "vm01r"})) << text;
  EXPECT_TRUE(Has(text, "job 1002: a failback backup of 50290000-0000-4000-8000-000000000001 from its replica vm01r"))
      << text;
  RunAndVerify(1002, true);
  EXPECT_TRUE(Has(text, "matches the point-in-time copy of job 1002 of the replica vm01r")) << text;
  const Sent first = SentOf(1002);
  ASSERT_GT(first.extentBytes, 0u) << first.disks;
  EXPECT_EQ(1u, first.extents) << "only the extent the replica's guest wrote, under the VM's disk name:" << first.disks;

  // The second failback incremental reads from the change id the first one saved.
  ASSERT_EQ(0, Tool({"disk", labDir, "vm01r", "0", "write", "--offset", "0", "--bytes", "512"})) << text;
  ASSERT_EQ(0, Tool({"create", labDir, "--job", "1003", "--failback", "vm01r"})) << text;
  RunAndVerify(1003, true);
  EXPECT_EQ(1u, SentOf(1003).extents);

  // A later plain incremental of the VM itself: the change ids the failbacks saved are the replica's,
  // so the VM's own disk is read whole and restores again.
  ASSERT_EQ(0, Tool({"create", labDir, "--job", "1004"})) << text;
  RunAndVerify(1004, true);
  EXPECT_TRUE(Has(text, "matches the point-in-time copy of job 1004\n")) << text;
  EXPECT_EQ(kDiskBytes / first.extentBytes, SentOf(1004).extents);

  // Cross-vendor, from a replica made now: the VM's change ids mean nothing to the replica's
  // hypervisor, so every extent is read.
  ASSERT_EQ(0, Tool({"vm", labDir, "vm01", "replica", "vm01x"})) << text;
  ASSERT_EQ(0, Tool({"disk", labDir, "vm01x", "0", "write", "--offset", "3145728", "--bytes", "4096"})) << text;
  ASSERT_EQ(0, Tool({"create", labDir, "--job", "1005", "--failback", "vm01x", "--failback-kind", "cross-vendor"}))
      << text;
  EXPECT_TRUE(Has(text, "job 1005: a cross-vendor failback backup")) << text;
  RunAndVerify(1005, true);
  EXPECT_TRUE(Has(text, "matches the point-in-time copy of job 1005 of the replica vm01x")) << text;
  const Sent cross = SentOf(1005);
  EXPECT_EQ(kDiskBytes / first.extentBytes, cross.extents) << cross.disks;
}

}  // namespace
