#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/lab/LabMount.h"

// Failback in the lab: a replica of a VM (a disaster-recovery copy on the lab's hypervisor, made from
// the VM's disks as they are) and a job that backs the replica up as the VM it replicates, so that the
// replica's backups continue the source's chain.
//
// The replica is a VM of its own (vms/<replica>.vm) whose disks are copies of the source's, at
// datastores/<datastore>/<replica>/<replica>_<n>.img, each with a change journal begun at the copy:
// the replication's tracking id of a disk names that generation, so what the replica's guest wrote
// since is what a failback incremental reads. The replica's description keeps what it replicates
// (replicaOf=<source GUID>) and each disk's tracking id (replicaTrackingId<n>).
//
// A failback job is a job record with failback=1 and a replication id, the subclient's failback keys
// (failbackReplicationId, failbackSourceInstanceId, failbackDestinationInstanceId and the destination
// instance's type and member servers) and the replication record subclients/<appId>.replication.xml
// (App::VSAReplicationInfo: the name the replica is backed up as, the replica to mount, and one
// tracking record per replica disk naming the source disk's index name). Tracking records come in two
// shapes:
//   plain         the replica disk's name as each client of the lab mounts it (the path the backup's
//                 mount gives the disk in the client's job-results folder of the subclient), its path
//                 in the hypervisor's inventory and its tracking id;
//   cross-vendor  the replica disk's index name on the other hypervisor; the destination instance's type
//                 then differs from the source's (kCrossVendorInstanceType), as when a replica runs on
//                 another vendor's hypervisor.
namespace lab {

constexpr int64_t kCrossVendorInstanceType = 401;

// Makes `replica` a copy of the VM `source` (name or GUID) on the server: its own description and GUID,
// and a copy of each disk the source has. False with the reason; a replica that exists is refused.
bool MakeReplicaVM(const std::string& server, const std::string& source, const std::string& replica,
                   std::string& error);

struct FailbackPlan {
  int64_t jobId = 0;
  std::string appId = "1";
  std::string source;   // the VM whose chain the failback continues (name or GUID)
  std::string replica;  // its replica, made with MakeReplicaVM
  bool crossVendor = false;
  uint64_t replicationId = 7;
  uint64_t destinationInstanceId = 2;
};

// Makes the job a failback job of the replica, as the plan says. Tracking records are made for the
// replica's disks as they are now, by position (the replica's disk n replicates the source's disk n);
// the subclient's record of the same replica and shape is kept instead, for a failback marks its
// tracking ids used and the next one goes on from the change ids the last one saved.
// False with the reason; the job's record must exist.
bool MakeFailbackJob(const FailbackPlan& plan, std::string& error);

// The VM a replica replicates (by the replica's name or GUID): its server and GUID. False with the
// reason when the lab has no such VM or it is no replica.
bool ReplicaSourceOf(const std::string& replica, std::string& server, std::string& sourceGuid, std::string& error);

// What a failback job backed up of the source's disk `indexName`: the replica's disk that replicates
// it (the disk at the same position) as the job's mount took it. False when no mount of the job is
// of a replica of that VM, or the replica has no such disk.
bool FailbackMountedDisk(int64_t jobId, const std::string& sourceGuid, const std::string& indexName,
                         MountRecord& mount, MountedDisk& disk);

}  // namespace lab
