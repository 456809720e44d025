#pragma once
// What the storage-snapshot job tests share: the sample lab's three VMs on one server, and what must
// be true of the lab after any job of them.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/lab/Lab.h"
#include "platform/lab/LabArraySnap.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabReservations.h"
#include "support/LabRunSupport.h"
#include "support/TestLab.h"

namespace snaprun {

inline const char* const kServer = "vcenter";
inline const std::vector<std::string> kGuids = {"50290000-0000-4000-8000-000000000001",
                                                "50290000-0000-4000-8000-000000000002",
                                                "50290000-0000-4000-8000-000000000003"};
inline const std::vector<std::string> kNames = {"vm01", "vm02", "vm03"};

// After a job: no VM of it is mounted, no snapshot mount of it stands and no stream stays reserved.
inline void ExpectNothingHeld(int64_t jobId) {
  for (const lab::MountRecord& mount : lab::ListMountRecords(jobId)) {
    EXPECT_EQ("unmounted", mount.state) << mount.vm;
    EXPECT_NE("mounted", mount.other.count("fileMount") ? mount.other.at("fileMount") : "") << mount.vm;
  }
  for (int64_t snapJob : lab::ListArraySnapJobs(kServer))
    for (const std::string& standing : lab::StandingArraySnapMounts(kServer, snapJob))
      EXPECT_EQ(std::string::npos, standing.find(" " + std::to_string(jobId))) << standing;
  lab::ReservationLedger ledger;
  std::string error;
  if (!lab::ReadReservationLedger(jobId, ledger, error)) return;
  for (const auto& reservation : ledger.reservations)
    EXPECT_FALSE(reservation.state == lab::ReservationState::kReserved) << "stream " << reservation.streamId;
}

// The digest of each VM's first disk as the array snapshot of `snapJob` holds it.
inline std::vector<std::string> DigestsAtSnapshot(int64_t snapJob) {
  std::vector<std::string> digests;
  for (const std::string& guid : kGuids) {
    lab::MountRecord copies;
    std::string error, digest;
    EXPECT_EQ(lab::RecordRead::kRead, lab::ReadArraySnapVM(kServer, snapJob, guid, copies, error)) << error;
    if (copies.disks.empty() || !lab::MountedDiskDigest(copies, copies.disks.at(0), digest, error))
      ADD_FAILURE() << guid << ": " << error;
    digests.push_back(digest);
  }
  return digests;
}

// The digest of the first disk of VM `index` as the backup copy `jobId` mounted it; empty when the
// copy did not mount it.
inline std::string DigestAsCopied(int64_t jobId, size_t index) {
  lab::MountRecord copied;
  std::string error, digest;
  if (lab::ReadMountRecord(kServer, jobId, kGuids[index], copied, error) != lab::RecordRead::kRead ||
      copied.disks.empty() || !lab::MountedDiskDigest(copied, copied.disks.at(0), digest, error))
    return std::string();
  return digest;
}

// A test with a lab folder of its own, run through the lab tool.
class LabToolTest : public testing::Test {
 protected:
  void SetUp() override { lab::SetRoot(std::string()); }
  void TearDown() override { lab::SetRoot(std::string()); }
  // Runs the lab tool with the lab of the test; the model looks at the lab again afterwards.
  int Tool(const std::vector<std::string>& args) {
    lab::SetRoot(std::string());
    const int status = labrun::RunTool(args, out);
    lab::SetRoot(labDir);
    return status;
  }

  testsupport::TestLab dir;
  const std::string labDir = dir.Path("lab");
  const std::string out = dir.Path("tool.txt");
};

}  // namespace snaprun
