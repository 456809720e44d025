#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The hypervisor inventory as the VM-information library fills it. The layout (order and kind of
// every field) is shared with the library; fields are named after their meaning where this system
// gives them one and after their position (fieldNN) otherwise, so "inventory field 23" is easy to
// find. Every field has a defined value after default construction: the library leaves fields it
// does not know untouched, and an indeterminate value read later would be a silent fault.
//
// Copies are deep: a copied record owns its own lists and nested records. _Copy is the member-wise
// copy that the copy constructor and assignment use; copying a record onto itself changes nothing.
// Type of a disk file, as the VM-information library numbers it.
using DiskType_t = uint32_t;

namespace VMInfoStructs {

// Header-only on purpose: the library's stand-in and the system both use these records.
#define VMINFO_RECORD_COPY(Record)                       \
  Record(const Record& other) = default;                 \
  Record& operator=(const Record& other) = default;      \
  Record(Record&& other) noexcept = default;             \
  Record& operator=(Record&& other) = default;           \
  ~Record() = default;                                   \
  void _Copy(const Record& other) {                      \
    if (this != &other) *this = other;                   \
  }                                                      \
  static_assert(true, "")

struct SKeyPairInfo {
  SKeyPairInfo() = default;
  VMINFO_RECORD_COPY(SKeyPairInfo);
  std::string field1;
  std::string field2;
};

struct SRoleInfo {
  SRoleInfo() = default;
  VMINFO_RECORD_COPY(SRoleInfo);
  std::string field1;
  std::string field2;
};

struct SSecurityGroupInfo {
  SSecurityGroupInfo() = default;
  VMINFO_RECORD_COPY(SSecurityGroupInfo);
  std::string field1;
  std::string field2;
};

// A VM configuration option: its name and its value.
struct SVMOptionValue {
  SVMOptionValue() = default;
  VMINFO_RECORD_COPY(SVMOptionValue);
  std::string name;
  std::string value;
};

struct SReplicaSource {
  SReplicaSource() = default;
  VMINFO_RECORD_COPY(SReplicaSource);
  std::string field1;
  std::string field2;
  std::string field3;
};

struct SFCAdapterInfo {
  SFCAdapterInfo() = default;
  VMINFO_RECORD_COPY(SFCAdapterInfo);
  std::string field1;
  std::string field2;
  std::string field3;
  std::string field4;
  std::string field5;
};

struct SVMDiskController {
  SVMDiskController() = default;
  VMINFO_RECORD_COPY(SVMDiskController);
  std::string field1;
  int64_t field2 = 0;
  std::string field3;
};

// One mounted volume of a volume-level backup.
struct SMountInfoFile {
  SMountInfoFile() = default;
  VMINFO_RECORD_COPY(SMountInfoFile);
  std::string volumeName;   // 1: as the guest enumerates it, beginning \\?\Volume{
  std::string guidPath;     // 2
  std::string displayName;  // 3
  std::string changeId;     // 4: the generation of the volume that the mount holds; empty when unknown
};

struct SHostStorageAdapterInfo {
  SHostStorageAdapterInfo() = default;
  VMINFO_RECORD_COPY(SHostStorageAdapterInfo);
  std::string field1;
  std::string field2;
  std::string field3;
  std::string field4;
  std::string field5;
  std::string field6;
  std::string field7;
};

struct SSCSILunInfo {
  SSCSILunInfo() = default;
  VMINFO_RECORD_COPY(SSCSILunInfo);
  std::string field1;
  std::string field2;
  std::string field3;
  std::string field4;
  std::string field5;
  std::string field6;
  SHostStorageAdapterInfo adapter;  // 7
};

struct SHostNetworkAdapterInfo {
  SHostNetworkAdapterInfo() = default;
  VMINFO_RECORD_COPY(SHostNetworkAdapterInfo);
  std::string field1;
  std::string field2;
  std::string field3;
  std::string field4;
  std::string field5;
  std::string field6;
  std::string field7;
  bool field8 = false;
  int32_t field9 = 0;
};

struct SHostReplicaSetting {
  SHostReplicaSetting() = default;
  VMINFO_RECORD_COPY(SHostReplicaSetting);
  bool field1 = false;
  std::vector<SReplicaSource> sources;  // 2
};

struct SVMOwnerInfo {
  SVMOwnerInfo() = default;
  VMINFO_RECORD_COPY(SVMOwnerInfo);
  std::string field1;
  bool field2 = false;
  bool field3 = false;
  bool field4 = false;
};

// One network card of a VM (19 fields).
struct SVMNetworkCard {
  SVMNetworkCard() = default;
  VMINFO_RECORD_COPY(SVMNetworkCard);
  std::string field01;
  std::string field02;
  std::string field03;
  std::string field04;
  std::string field05;
  std::string field06;
  std::string field07;
  bool field08 = false;
  bool field09 = false;
  int32_t field10 = 0;
  int64_t field11 = 0;
  int64_t field12 = 0;
  std::string field13;
  bool field14 = false;
  int16_t field15 = 0;
  int16_t field16 = 0;
  std::string field17;
  std::string field18;
  bool field19 = false;
};

struct SSubnetInfo {
  SSubnetInfo() = default;
  VMINFO_RECORD_COPY(SSubnetInfo);
  std::string field1;
  std::string field2;
  std::string field3;
  std::vector<SVMNetworkCard> cards;  // 4
  std::string field5;
  std::string field6;
};

struct SNetworkInfo {
  SNetworkInfo() = default;
  VMINFO_RECORD_COPY(SNetworkInfo);
  std::string field1;
  std::string field2;
  std::vector<SSubnetInfo> subnets;                // 3
  std::vector<SSecurityGroupInfo> securityGroups;  // 4
};

// One disk of a disk's chain (27 fields).
struct SChildDisk {
  SChildDisk() = default;
  VMINFO_RECORD_COPY(SChildDisk);
  std::string field01;
  int32_t field02 = 0;
  int64_t field03 = 0;
  int64_t field04 = 0;
  int64_t field05 = 0;
  std::string field06;
  std::string field07;
  std::string field08;
  std::string field09;
  std::string field10;
  int32_t field11 = 0;
  std::string field12;
  int32_t field13 = 0;
  int32_t field14 = 0;
  bool field15 = false;
  bool field16 = false;
  int64_t field17 = 0;
  int32_t field18 = 0;
  std::string field19;
  std::string field20;
  int64_t field21 = 0;
  int32_t field22 = 0;
  int64_t field23 = 0;
  bool field24 = false;
  std::string field25;
  bool field26 = false;
  std::string field27;
};

// One virtual disk (82 fields).
struct SDisk {
  SDisk() = default;
  VMINFO_RECORD_COPY(SDisk);
  std::string path;          // 1
  DiskType_t diskType = 0;   // 2: the disk file's type
  std::string diskName2;   // 3: a second name of the disk
  std::string diskId;      // 4
  std::string fileName;    // 5: for a disk, the change id the hypervisor gives this backup
  std::string field06;
  int32_t field07 = 0;
  bool independent = false;       // 8: an independent disk (no snapshots of it)
  bool rawDeviceMapping = false;  // 9: a raw device mapped into the VM
  int64_t maxSize = 0;     // 10: provisioned bytes
  int64_t fileSize = 0;    // 11: bytes of the file
  int64_t allocatedSize = 0;  // 12
  std::vector<SChildDisk> childDisks;  // 13
  std::string field14;
  int32_t field15 = 0;
  int32_t field16 = 0;
  std::string diskName3;   // 17: a further name, sent with index metadata
  int32_t field18 = 0;
  std::string datastore;  // 19: name of the datastore the disk lies on
  int32_t diskNumber2 = 0;  // 20
  std::string indexName;   // 21: the disk's name in the index (its backup path)
  std::string field22;
  std::string displayName; // 23
  std::string proxyName;   // 24: the proxy that mounted the disk
  std::string field25;
  std::string field26;
  int32_t backupType = 1;  // 27: 1 back up as a disk, 2 as a file collection, other skipped
  int64_t headerKind = 0;  // 28: sent in file headers
  std::string field29;
  std::string field30;
  std::string field31;
  std::string field32;
  std::string field33;
  bool field34 = false;
  int32_t status = 1;      // 35: 1 counts among the VM's disks
  bool inActiveChain = true;  // 36: part of the VM's active configuration
  int64_t field37 = -1;
  bool osDisk = false;     // 38: holds the guest operating system
  bool field39 = false;
  int32_t field40 = 0;
  std::string indexText1;  // 41: sent with index metadata
  std::string indexText2;  // 42: sent with index metadata
  std::string field43;
  std::string field44;
  std::string field45;
  bool indexFlag = false;  // 46: sent with index metadata
  int64_t field47 = 0;
  std::string parentIndexName;  // 48
  int32_t field49 = 0;
  bool field50 = false;
  std::string field51;
  bool field52 = false;
  bool field53 = false;
  bool field54 = false;
  std::string field55;
  std::string field56;
  std::string field57;
  bool field58 = false;
  std::string field59;
  std::string field60;
  std::string field61;
  std::string field62;
  int32_t sectorSize = 512;  // 63: logical sector size in bytes
  int32_t field64 = 0;
  bool referencePoint = false;  // 65
  bool field66 = false;
  bool field67 = false;
  std::string field68;
  std::string snapCopyDatastore;  // 69: the disk's datastore in a VMware snapshot-to-media copy
  std::string field70;
  std::string field71;
  std::string field72;
  std::vector<std::string> pairTexts;  // 73: two texts sent as one, "first|second"
  std::string field74;
  std::string field75;
  std::string field76;
  std::string field77;
  int64_t changedSize = 0;  // 78: bytes changed since the last backup, when hasChangedSize
  bool hasChangedSize = false;  // 79
  std::string field80;
  std::string field81;
  std::string field82;
};

// One node of a VM's snapshot tree.
struct SSnapshot {
  SSnapshot() = default;
  VMINFO_RECORD_COPY(SSnapshot);
  std::vector<std::string> field1;
  std::string field2;
  std::string field3;
  std::string field4;
  int64_t field5 = 0;
  std::string field6;
  std::string field7;
  std::vector<SSnapshot> children;  // 8
};

// One file of a VM.
struct SVMFile {
  SVMFile() = default;
  VMINFO_RECORD_COPY(SVMFile);
  std::string field1;
  int64_t field2 = 0;
  int32_t field3 = 0;
  int64_t field4 = 0;
  int32_t field5 = 0;
  std::string field6;
  std::map<std::string, std::string> field7;
  bool field8 = false;
};

struct SFilelayout {
  SFilelayout() = default;
  VMINFO_RECORD_COPY(SFilelayout);
  std::vector<SDisk> disks;    // 1
  std::vector<SVMFile> files;  // 2
};

struct SGuestOSInfo {
  SGuestOSInfo() = default;
  VMINFO_RECORD_COPY(SGuestOSInfo);
  int32_t field1 = 0;
  std::string field2;
  std::string field3;
  std::string field4;
  std::string field5;
  std::string field6;
  std::string field7;
};

// A disk a stub deleted from a VM: its name in backups and the backup it was deleted on the strength
// of, the job and the change id that backup read it at (0 and empty where the hypervisor kept none).
struct SStubDeletedDisk {
  SStubDeletedDisk() = default;
  VMINFO_RECORD_COPY(SStubDeletedDisk);
  std::string indexName;
  int64_t stubJob = 0;
  std::string changeId;
};

// One VM (130 fields, and the disks its stubs deleted).
struct SVMInfo {
  SVMInfo() = default;
  VMINFO_RECORD_COPY(SVMInfo);
  std::string field01;
  std::string field02;
  std::string guid;  // 3
  std::string field04;
  std::string field05;
  std::string field06;
  std::string field07;
  std::string field08;
  std::string field09;
  std::string field10;
  std::string datastore;  // 11
  std::string location;   // 12: the datacentre
  std::string field13;
  std::string field14;
  std::string field15;
  std::string field16;
  std::string field17;
  std::string version;       // 18
  std::string toolsVersion;  // 19: version of the guest tools
  std::string field20;
  std::string field21;
  std::string field22;
  std::string host;  // 23: the hypervisor host the VM runs on
  std::string field24;
  std::string field25;
  std::string field26;
  std::string field27;
  std::string field28;
  std::string field29;
  std::string field30;
  std::string field31;
  std::string field32;
  std::string field33;
  std::string field34;
  bool isTemplate = false;  // 35: a template, not a VM that runs
  std::string field36;
  int32_t clientId = 0;    // 37: the VM's client
  int32_t powerState = 0;  // 38: 0 powered off
  // 39: 0, or why the guest file system could not be quiesced for a storage snapshot (2000 to 2002);
  // its details are in quiesceErrorText.
  int32_t quiesceStatus = 0;
  std::string field40;
  int32_t poweredOffHours = 0;  // 41: hours since the VM was powered off (0 while it runs)
  int32_t field42 = -1;
  std::vector<SSnapshot> snapshots;               // 43
  std::vector<SDisk> disks;                       // 44
  std::vector<SVMDiskController> controllers;     // 45
  std::vector<SVMNetworkCard> networkCards;       // 46
  SFilelayout fileLayout;                         // 47
  int64_t field48 = 0;
  int32_t field49 = 0;
  int64_t field50 = -1;
  int64_t field51 = -1;
  int64_t field52 = -1;
  int64_t field53 = 0;
  int64_t field54 = -1;
  int64_t field55 = -1;
  bool field56 = false;
  int64_t field57 = 0;
  int64_t field58 = 0;
  int32_t field59 = 0;
  bool field60 = false;
  bool field61 = false;
  int32_t field62 = 0;
  int32_t field63 = 99;
  int32_t field64 = 0;
  int32_t field65 = 0;
  std::string field66;
  int32_t field67 = -1;
  std::string field68;
  int64_t field69 = 0;
  int64_t field70 = 0;
  std::string quiesceErrorText;  // 71
  std::string field72;
  int64_t field73 = 0;
  std::string field74;
  bool field75 = false;
  bool field76 = false;
  std::string field77;
  std::string field78;
  std::vector<SVMOptionValue> options;  // 79: configuration options to set on the VM
  std::vector<SVMOptionValue> field80;
  bool field81 = false;
  bool field82 = false;
  std::vector<std::string> field83;
  std::vector<SKeyPairInfo> keyPairs;              // 84
  std::vector<SSecurityGroupInfo> securityGroups;  // 85
  std::string field86;
  std::string field87;
  bool field88 = false;
  bool field89 = false;
  bool field90 = false;
  int32_t field91 = 0;
  bool field92 = false;
  int64_t field93 = 0;
  bool field94 = false;
  bool field95 = false;
  int32_t field96 = 0;
  bool field97 = false;
  bool field98 = false;
  std::string stubData;  // 99: the VM's stub record (its option "JyStub.ReparseData"); empty for none
  std::string field100;
  std::vector<SVMOwnerInfo> owners;  // 101
  std::string field102;
  std::string field103;
  std::string field104;
  std::string field105;
  std::string field106;
  std::vector<SVMNetworkCard> field107;
  std::string field108;
  std::string field109;
  std::vector<std::string> field110;
  std::vector<std::string> field111;
  SGuestOSInfo guestOS;  // 112
  std::string field113;
  std::string field114;
  int32_t field115 = 0;
  int32_t field116 = 0;
  std::string field117;
  int32_t field118 = 0;
  std::string field119;
  bool field120 = false;
  std::string field121;
  std::string field122;
  std::string field123;
  std::string field124;
  int32_t field125 = 0;
  std::vector<SFCAdapterInfo> fcAdapters;  // 126
  std::string field127;
  std::string field128;
  std::string field129;
  std::string field130;
  // Filled with the configuration options (the stub record), whether or not the VM still carries a stub
  // record: every disk the hypervisor keeps deleted by a stub, which `disks` leaves out, each with the
  // backup it went on (job 0 where the hypervisor kept none).
  std::vector<SStubDeletedDisk> stubDeletedDisks;
};

// One datastore (22 fields).
struct SDatastoreInfo {
  SDatastoreInfo() = default;
  VMINFO_RECORD_COPY(SDatastoreInfo);
  bool field01 = true;
  std::string name;  // 2
  std::string field03;
  std::string field04;
  std::string field05;
  std::string field06;
  std::string field07;
  std::string field08;
  int32_t field09 = 0;
  int64_t capacity = 0;   // 10: bytes
  int64_t freeSpace = 0;  // 11: bytes
  std::vector<SVMInfo> vms;        // 12
  std::vector<SSCSILunInfo> luns;  // 13
  std::vector<std::string> field14;
  int32_t field15 = 0;
  bool field16 = false;
  std::string field17;
  bool field18 = false;
  bool field19 = false;
  std::string field20;
  std::string field21;
  std::string field22;
};

// One hypervisor host (43 fields).
struct SHostInfo {
  SHostInfo() = default;
  VMINFO_RECORD_COPY(SHostInfo);
  std::string name;  // 1
  std::string field02;
  std::string field03;
  std::string datacenter;  // 4
  std::string field05;
  std::string datacenter2;  // 6: the second datacentre text
  std::string field07;
  std::string field08;
  std::string field09;
  int32_t field10 = 0;
  bool field11 = false;
  int32_t field12 = -1;
  std::string field13;
  std::string field14;
  std::string field15;
  std::vector<SVMInfo> vms;                                     // 16
  std::vector<SDatastoreInfo> datastores;                       // 17
  std::vector<SNetworkInfo> networks;                           // 18
  std::vector<SSecurityGroupInfo> securityGroups;               // 19
  std::vector<SKeyPairInfo> keyPairs;                           // 20
  std::vector<SRoleInfo> roles;                                 // 21
  std::string field22;
  std::string field23;
  std::vector<SHostStorageAdapterInfo> storageAdapters;         // 24
  std::vector<SHostNetworkAdapterInfo> field25;
  std::vector<SHostNetworkAdapterInfo> networkAdapters;         // 26
  bool field27 = false;
  bool field28 = false;
  SHostReplicaSetting replicaSetting;                           // 29
  std::string cluster;  // 30
  std::string field31;
  std::string faultDomain;  // 32
  int32_t field33 = 0;
  int32_t field34 = 0;
  int32_t field35 = 0;
  int32_t field36 = 0;
  int64_t field37 = 0;
  int64_t field38 = 0;
  std::string field39;
  std::string field40;
  std::string field41;
  std::string field42;
  std::string field43;
};

// The result of a mount.
struct SMountInfoFull {
  SMountInfoFull() = default;
  VMINFO_RECORD_COPY(SMountInfoFull);
  int32_t opened = 0;           // 1: not 0 when the disk was opened
  int64_t indexPosition = -1;   // 2: the disk's position among the disks to index; -1 none
  std::vector<SDisk> disks;     // 3: the disk's files (its snapshot chain), in order
};

// A range of sectors, first and last included.
struct SectorRange {
  SectorRange() = default;
  SectorRange(uint64_t firstSector, uint64_t lastSector) : first(firstSector), last(lastSector) {}
  VMINFO_RECORD_COPY(SectorRange);
  uint64_t first = 0;
  uint64_t last = 0;
};

#undef VMINFO_RECORD_COPY

}  // namespace VMInfoStructs

// Argument of the VM-information library's snapshot callbacks: the VM, the state of the operation
// (0 started, 100 done) and two figures of it (the first a duration).
struct SCallbackSnapshotOperationArgs {
  std::string vmGuid;
  std::string vmName;
  int32_t state = 0;
  int64_t value1 = 0;
  int64_t value2 = 0;
};

// Argument of the VM-information library's progress callback while it works on several VMs at once
// (a storage snapshot): how far it is, in percent.
struct SCallbackUpdateProgressBarArgs {
  int32_t percent = 0;
  std::string text;
};
