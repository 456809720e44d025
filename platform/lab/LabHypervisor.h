#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/lab/LabSubclient.h"

// The hypervisor of the lab: one folder per server, hypervisor/<server>/:
//   server.conf          ServerRecord: type=<instance type>  hosts=<list>  datastores=<list>
//   hosts/<host>.host    HostRecord (optional): datacenter, datacenter2, cluster, faultDomain, field34,
//                        datastores=<list> (the datastores the host sees; absent: all of the server's),
//                        addresses=<ip>/<mask>,... (its network adapters),
//                        owner.<datastore>=<node> (the cluster node that owns a shared volume)
//   vms/<vm>.vm          VMDescription, one per VM
//   datastores/<datastore>/<vm>/<vm>_<n>.img   raw disk images (sparse)
//   datastores/<datastore>.datastore   DatastoreRecord (optional): the datastore's figures
// All three records are key=value lines; numbers are decimal. A host exists when server.conf lists it
// or it has a host record.
namespace lab {

struct ServerRecord {
  int64_t type = 0;
  std::vector<std::string> hosts;
  std::vector<std::string> datastores;
  std::map<std::string, std::string> other;
};

struct HostRecord {
  std::string datacenter;
  std::string datacenter2;
  std::string cluster;
  std::string faultDomain;
  int32_t field34 = 0;
  bool hasDatastores = false;  // false: the host sees every datastore of its server
  std::vector<std::string> datastores;
  std::vector<std::pair<std::string, std::string>> addresses;  // (address, mask), as a machine's
  std::map<std::string, std::string> owners;                  // datastore -> owner node
  std::map<std::string, std::string> other;
};

constexpr int64_t kMaxVMDisks = 4096;

struct VMDisk {
  std::string file;  // image path relative to the server folder
  uint64_t sizeBytes = 0;
  std::string type;  // "raw"
  // disk<i>.inactive=1: the disk is no part of the VM's active configuration (a disk left behind by
  // a checkpoint of the Microsoft hypervisor); it is still backed up.
  bool inactive = false;
  // Key disk<i>.mode: "independent" or "rdm" (a raw device mapping) for a disk the hypervisor takes no
  // snapshot of, empty for an ordinary one.
  std::string mode;
  // Key disk<i>.deleted (0 or 1): the disk's image is gone (removed by a stub; a restore of the stub
  // clears it again). A deleted disk stays listed, its file, size and type kept, so that a restore knows
  // where it lay and how large it was, but the VM no longer has it: a mount leaves it out, and the
  // hypervisor's inventory names it only among the disks a stub deleted, with its job. Its image's change
  // journal (<image>.changes) stays, with the whole disk recorded as changed and the digests of the
  // generations its jobs' mounts took kept before the image went: what verify compares those jobs'
  // backups of it with.
  bool deleted = false;
  // Keys disk<i>.stubJob (0 to 2^63 - 1) and disk<i>.stubChangeId: the backup a stub deleted the disk on
  // the strength of, the job and the change id it read the disk at (what `vm restore` brings back and
  // verify checks the disk against); 0 and empty for a disk no stub deleted, or one a stub deleted before
  // stubs recorded them. Set with disk<i>.deleted before the image goes, so a stub cut off at any point
  // leaves them on every disk whose bytes may be gone. They are the hypervisor's marks of a stub's disks:
  // the disks a VM had at a job that reported it as a stub are those marked with a job at or before it
  // (lab::DisksOfVMAtJob). A description whose values are not these does not read: it is never rewritten,
  // and its VM is named with the reason wherever it is looked for (UnreadableVM).
  int64_t stubJob = 0;
  std::string stubChangeId;
  // The datastore an image under "datastores/<datastore>/..." lies on; empty otherwise.
  std::string Datastore() const;
};

// A configuration file of a VM (its path relative to the server folder), and a file collection (a
// folder relative to the server folder with its collection type); each is one mount record.
struct VMConfigFile {
  std::string file;
};
struct VMCollection {
  std::string folder;
  int64_t type = 0;
};

struct VMDescription {
  std::string name;
  std::string guid;
  std::string host;
  std::string datastore;
  std::string location;
  std::string version;
  std::string toolsVersion;
  std::string powerState;  // "on" or "off"
  std::string guestOS;  // "windows", "linux" or the guest's own name of its system
  // VM archiving and power management (keys resourcePool, template, poweredOffAt, idle,
  // ignoresShutdown, option.<name>, customField.<name>):
  std::string resourcePool;
  bool isTemplate = false;
  int64_t poweredOffAt = 0;      // the hypervisor clock's second the VM was powered off; 0: unknown
  int64_t idle = 0;              // what the idle-VM check answers for it: 1 idle, 0 busy
  bool ignoresShutdown = false;  // its guest acknowledges a shutdown request and keeps running
  std::map<std::string, std::string> options;       // configuration options (the stub record among them)
  std::map<std::string, std::string> customFields;  // custom field values ("Archived")
  int64_t cpus = 0;
  int64_t memoryMB = 0;
  // Keys diskCount, disk<i>.file, disk<i>.sizeBytes, disk<i>.type...: a description whose diskCount is
  // missing or is not the number of disks its disk<i>.* entries give (i from 0) does not read.
  std::vector<VMDisk> disks;
  std::vector<VMConfigFile> configFiles;  // keys configCount, config<i>.file
  std::vector<VMCollection> collections;  // keys collectionCount, collection<i>.folder, collection<i>.type
  std::map<std::string, std::string> other;
};

bool ParseServerRecord(const std::string& text, ServerRecord& record, std::string& error);
std::string FormatServerRecord(const ServerRecord& record);
bool ParseHostRecord(const std::string& text, HostRecord& record, std::string& error);
std::string FormatHostRecord(const HostRecord& record);
bool ParseVMDescription(const std::string& text, VMDescription& vm, std::string& error);
std::string FormatVMDescription(const VMDescription& vm);

// The hypervisor kinds a lab can be made of, by name ("vmware", "hyperv", "nutanix", "amazon",
// "google", "openstack" ...), with their instance types.
const std::vector<std::pair<std::string, int64_t>>& HypervisorKinds();
// The instance type of a kind's name; 0 when there is no such kind.
int64_t HypervisorKindType(const std::string& name);

// The server's folder; empty when there is no lab or the name is not usable.
std::string ServerDir(const std::string& server);
// Names of the servers of the lab (folders with a server.conf), sorted.
std::vector<std::string> ListServers();
// Absolute path of a disk image of the server.
std::string DiskImagePath(const std::string& server, const std::string& relative);

bool ServerRecordExists(const std::string& server);
bool ReadServerRecord(const std::string& server, ServerRecord& record, std::string& error);
bool WriteServerRecord(const std::string& server, const ServerRecord& record, std::string& error);
// kMissing when the host has no record.
RecordRead ReadHostRecord(const std::string& server, const std::string& host, HostRecord& record,
                          std::string& error);
bool WriteHostRecord(const std::string& server, const std::string& host, const HostRecord& record,
                     std::string& error);
// The VM whose GUID (any case) or name is given, read from its own description alone: through the
// GUID's entry vms/<guid in lower case>.guid (the VM's name, a line), or by name. False when neither
// leads to a readable description of that GUID or name.
bool FindVM(const std::string& server, const std::string& guidOrName, VMDescription& vm);
struct UnreadableVM;
// Every readable VM description of the server, ordered by name; with `unreadable`, every one that does not
// read as well, there (ordered by name).
std::vector<VMDescription> ListVMs(const std::string& server, std::vector<UnreadableVM>* unreadable = nullptr);
// A VM description of the server that is there but does not read (a file that cannot be read, one that
// holds no setting, a value that is no value of its key, a disk count that disagrees with the disk
// entries): the VM's name (its file's), the GUID its own text or its GUID's entry names (empty when
// neither does), and why it does not read. Such a VM is the hypervisor's still: it is
// named with the reason wherever it is looked for, and nothing of it is changed or removed.
struct UnreadableVM {
  std::string name;
  std::string guid;
  std::string file;  // the description's path in the lab, "hypervisor/<server>/vms/<name>.vm"
  std::string reason;
  // "the description of VM [vm01] (hypervisor/<server>/vms/vm01.vm) does not read: <reason>"
  std::string Text() const;
};
// The server's VM descriptions that do not read, ordered by name.
std::vector<UnreadableVM> ListUnreadableVMs(const std::string& server);
// The description of the VM by that GUID (any case) or name when it is there and does not read; false
// when there is none such (no description, or one that reads).
bool FindUnreadableVM(const std::string& server, const std::string& guidOrName, UnreadableVM& vm);
// Writes vms/<name>.vm and the GUID's entry.
bool WriteVMDescription(const std::string& server, const VMDescription& vm, std::string& error);
// Writes the entry of the VM's GUID when it does not name the VM yet (a lab made before entries were
// kept); a GUID that cannot name a file has none.
bool KeepVMGuidEntry(const std::string& server, const VMDescription& vm, std::string& error);
// The description's file, vms/<name>.vm; empty when the name is not usable.
std::string VMDescriptionPath(const std::string& server, const std::string& name);
// True when vms/<name>.vm exists.
bool VMDescriptionExists(const std::string& server, const std::string& name);

// ---- Datastore figures ----
// capacityBytes=<n> freeBytes=<n>, 0 to 2^63 - 1 each, free space not above the capacity. A test or
// a person changes them while a job runs; every query reads them afresh.
struct DatastoreRecord {
  int64_t capacityBytes = 0;
  int64_t freeBytes = 0;
  std::map<std::string, std::string> other;
};
bool ParseDatastoreRecord(const std::string& text, DatastoreRecord& record, std::string& error);
std::string FormatDatastoreRecord(const DatastoreRecord& record);
// kMissing when the datastore has no figures (or its name cannot name a file).
RecordRead ReadDatastoreRecord(const std::string& server, const std::string& datastore, DatastoreRecord& record,
                               std::string& error);
bool WriteDatastoreRecord(const std::string& server, const std::string& datastore, const DatastoreRecord& record,
                          std::string& error);

}  // namespace lab
