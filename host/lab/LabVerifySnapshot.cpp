// quarn-lab verify: a VM of a storage-snapshot job, which the snapshot itself backs up.
#include <algorithm>
#include <cstdio>

#include "host/lab/LabVerifyArchives.h"
#include "platform/lab/LabArraySnap.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabSubclient.h"

namespace labtool {
namespace {

// The disks the index recorded of the VM in the job (their index names).
std::vector<std::string> IndexedDisks(int64_t jobId, const std::string& guid) {
  lab::JobRecord job;
  lab::SubclientRecord subclient;
  std::string error;
  std::vector<std::vector<std::string>> entries;
  std::vector<std::string> disks;
  if (!lab::ReadJobRecord(jobId, job, error) ||
      lab::ReadSubclientRecord(job.subclient, subclient, error) != lab::RecordRead::kRead ||
      !lab::ReadIndexVMEntries(subclient.settings["subclientGUID"], guid, jobId, entries, error))
    return disks;
  for (const auto& entry : entries)
    if (entry.size() > 1 && entry[0] == "disk") disks.push_back(entry[1]);
  return disks;
}

}  // namespace

bool VerifySnapshotVM(int64_t jobId, const std::string& guid, const std::string& name, Verification& verification) {
  for (const std::string& server : lab::ListServers()) {
    lab::MountRecord copies;
    lab::ArraySnapRecord snapshot;
    std::string error;
    if (lab::ReadArraySnapVM(server, jobId, guid, copies, error) != lab::RecordRead::kRead ||
        lab::ReadArraySnapRecord(server, jobId, snapshot, error) != lab::RecordRead::kRead)
      continue;
    std::printf("VM %s: backed up by the storage snapshot of job %lld on %s\n", name.c_str(),
                static_cast<long long>(jobId), server.c_str());
    if (!snapshot.unfinished.empty()) {
      ++verification.problems;
      std::printf("  the snapshot was NEVER FINISHED: %s\n", snapshot.unfinished.c_str());
    }
    for (const std::string& indexed : IndexedDisks(jobId, guid)) {
      if (std::none_of(copies.disks.begin(), copies.disks.end(),
                       [&](const lab::MountedDisk& disk) { return disk.indexName == indexed; })) {
        ++verification.problems;
        std::printf("  disk %s: RECORDED in the index, but not in the snapshot\n", indexed.c_str());
      }
    }
    for (const lab::MountedDisk& disk : copies.disks) {
      std::string sha;
      if (!lab::MountedDiskDigest(copies, disk, sha, error)) {
        ++verification.problems;
        std::printf("  disk %s: CANNOT READ the snapshot's view: %s\n", disk.indexName.c_str(), error.c_str());
        continue;
      }
      std::printf("  disk %s: %llu bytes, sha256 %s: held by the snapshot\n", disk.indexName.c_str(),
                  static_cast<unsigned long long>(disk.sizeBytes), sha.c_str());
    }
    return true;
  }
  return false;
}

}  // namespace labtool
