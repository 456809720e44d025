#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/lab/LabFiles.h"
#include "platform/lab/LabMount.h"

// The storage array of the lab's hypervisor: one array snapshot per snapshot-backup job, kept for
// later backup copies and catalogues, under hypervisor/<server>/arraysnaps/<snapshot job id>/:
//   snapshot.conf     ArraySnapRecord: vmCount, vm<i>.guid, vm<i>.name, vm<i>.quiesced (0|1: the guest
//                     is held quiesced until the snapshot's post-snapshot step), vm<i>.quiesceStatus
//                     (0, or 2000 to 2002: the guest file system could not be quiesced),
//                     vm<i>.quiesceError, datastores=<list>; perVM=1 when each VM's snapshot was
//                     taken by its own mount (a VM-centric engine), so that a later job reads a VM
//                     by its mount alone; unfinished=<why> when a post-snapshot failed, so that no
//                     later job mounts it
//   <VM GUID>.snap    what the snapshot holds of the VM, in the mount record's format (LabMount.h):
//                     each disk's index name, source and view (a snapshot of the image that costs what
//                     changes, platform/lab/LabSnapshot.h) with the generation it holds, and each
//                     configuration file's point-in-time copy
//   <VM GUID>/        the views and copies
//   backup_<job>.xml  the snapshot's metadata file as the array keeps it
//   mounts.log        "mount <client> <job> <mount path>" and "unmount <client> <job>": the proxies
//                     that mounted the snapshot, and for which job
// and hypervisor/<server>/arraysnaps.log: "snapshot <client> <job> <VM count>" per snapshot taken,
// "release <client> <job>" per post-snapshot that let the guests go.
// A view and a copy are taken once, when the snapshot is made; the views keep the images' bytes of
// that moment however the guests change afterwards.
namespace lab {

struct ArraySnapVM {
  std::string guid;
  std::string name;
  bool quiesced = false;
  int64_t quiesceStatus = 0;
  std::string quiesceError;
};

struct ArraySnapRecord {
  std::vector<ArraySnapVM> vms;
  std::vector<std::string> datastores;
  bool perVM = false;
  std::string unfinished;
  std::map<std::string, std::string> other;
};

bool ParseArraySnapRecord(const std::string& text, ArraySnapRecord& record, std::string& error);
std::string FormatArraySnapRecord(const ArraySnapRecord& record);

// The snapshot's folder; empty without a lab, for an unusable server name or a job id below 1.
std::string ArraySnapDir(const std::string& server, int64_t snapJobId);
RecordRead ReadArraySnapRecord(const std::string& server, int64_t snapJobId, ArraySnapRecord& record,
                               std::string& error);
bool WriteArraySnapRecord(const std::string& server, int64_t snapJobId, const ArraySnapRecord& record,
                          std::string& error);
// Reads, changes and replaces the record under its lock; false when it does not exist.
bool UpdateArraySnapRecord(const std::string& server, int64_t snapJobId,
                           const std::function<bool(ArraySnapRecord&, std::string&)>& change, std::string& error);
// Adds the VMs and datastores of `part` to the job's record under its lock, making the record when
// there is none: a VM already in it is replaced, the others kept. Each proxy of a job snapshots its
// own VMs, and none may lose another's.
bool MergeIntoArraySnapRecord(const std::string& server, int64_t snapJobId, const ArraySnapRecord& part,
                              std::string& error);
bool AppendArraySnapLog(const std::string& server, const std::string& line);
std::vector<std::string> ReadArraySnapLog(const std::string& server);
// Snapshot jobs of the server, oldest first.
std::vector<int64_t> ListArraySnapJobs(const std::string& server);
// "<server> <snapshot job> <VM GUID>" of every guest some snapshot of the lab still holds quiesced.
std::vector<std::string> QuiescedGuests();

// The copies of one VM in the snapshot (the folder for them is ArraySnapDir + "/" + GUID).
std::string ArraySnapVMFolder(const std::string& server, int64_t snapJobId, const std::string& guid);
bool WriteArraySnapVM(const std::string& server, int64_t snapJobId, const MountRecord& record, std::string& error);
RecordRead ReadArraySnapVM(const std::string& server, int64_t snapJobId, const std::string& guid,
                           MountRecord& record, std::string& error);

// Mounts of the snapshot by the proxies of later jobs.
bool AppendArraySnapMount(const std::string& server, int64_t snapJobId, const std::string& client, int64_t jobId,
                          const std::string& mountPath);
bool AppendArraySnapUnmount(const std::string& server, int64_t snapJobId, const std::string& client, int64_t jobId);
std::vector<std::string> ReadArraySnapMountLog(const std::string& server, int64_t snapJobId);
// "<client> <job>" of each mount not unmounted since, in the order they were made.
std::vector<std::string> StandingArraySnapMounts(const std::string& server, int64_t snapJobId);
bool IsArraySnapMounted(const std::string& server, int64_t snapJobId, const std::string& client, int64_t jobId);

}  // namespace lab
