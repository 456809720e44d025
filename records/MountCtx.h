#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "records/VMInfoStructs.h"

// The mount request and result records handed to the VM-information library for one VM. Member
// order is the library's; every member has a defined value after default construction.

// One VM of a mount request.
struct SVMBasicInfo {
  std::string vmName;        // 1
  std::string vmGuid;        // 2
  std::string text3;         // 3
  std::string text4;         // 4
  std::string text5;         // 5
  std::string host;          // 6
  std::string text7;         // 7
  std::vector<VMInfoStructs::SDisk> disks;  // 8
  std::vector<std::string> list9;           // 9
  std::string text10;        // 10
  int32_t number11 = 0;      // 11
  int32_t clientId = 0;      // 12
  bool clustered = false;    // 13
  bool flag14 = false;       // 14
  std::string cluster;       // 15
  std::string text16;        // 16
  std::string datacenter;    // 17
  std::string text18;        // 18
  int32_t subclientId = 0;   // 19
  std::string text20;        // 20
  std::string subclientGuid; // 21
  int32_t jobId = 0;         // 22
};

struct SHostCredentials {
  std::string text1;
  std::string proxyHost;  // the VMware proxy host of a snapshot-to-media copy
  std::string text3;
  std::string text4;
  int32_t number = 1;
};

// A failure or warning the library gathers for an item of a mounted VM while it is backed up.
struct SFailure {
  std::string itemName;
  std::string errorText;
  std::string text3;
  std::string text4;
  bool warning = false;
};

// A snapshot volume.
struct SVolSnap {
  std::string text1;
  std::string text2;
  std::string text3;
  int64_t number = 0;
  std::vector<SVMBasicInfo> basicInfos;
  std::vector<VMInfoStructs::SVMInfo> vmInfos;
  VMInfoStructs::SDatastoreInfo datastore;
};

// One disk filter of the mounted VM.
struct SDiskFilter {
  SDiskFilter() = default;
  SDiskFilter(const SDiskFilter& other) = default;
  SDiskFilter(SDiskFilter&& other) noexcept = default;
  SDiskFilter& operator=(const SDiskFilter& other) = default;
  SDiskFilter& operator=(SDiskFilter&& other) = default;
  ~SDiskFilter() = default;

  // 1 to 6 as configured, 8 (configured as 9), 0 for anything else.
  int32_t type = 0;
  std::string value;
  std::string vmGuid;
  std::string vmNamePattern;
  std::string text;
  bool flag = true;
};

// A VM of a storage snapshot to mount for a backup copy or catalogue.
struct SVMSnapMount {
  std::string vmName;
  std::string vmGuid;
  uint32_t archiveFileId = 0;
};

// Library state carried in the mount context; nothing in this system sets it.
struct TdfsCtx {
  int32_t number1 = 0;
  int32_t number2 = 0;
  std::string texts1[9];
  int32_t number3 = 0;
  int32_t number4 = 0;
  int64_t numbers[3] = {0, 0, 0};
  std::map<std::string, std::string> values;
  std::string texts2[3];
  bool flags[15] = {};
};

// Mount request and result of one VM. The members the system fills are named; the opaque ones
// belong to the library and are only carried.
struct MountCtx {
  std::string vmName;
  std::string vmGuid;
  // Library text that follows the GUID; the disk-read events carry it as their third argument.
  std::string vmExtraText;
  std::string subclientDir;
  uint64_t jobId = 0;
  uint64_t snapBackupJobId = 0;
  int32_t clientId = 0;
  int32_t backupLevel = 0;
  int32_t appId = 0;
  int32_t appTypeId = 0;
  int32_t instanceId = 0;
  int32_t keyrealmId = 0;
  int32_t snapEngineId = 0;
  std::string clientName;
  std::string backupSetName;
  std::string subclientName;
  std::string mediaAgentName;
  bool isSnapBackup = false;
  bool isSnapToTape = false;
  bool isSnapCatalog = false;
  std::vector<SVolSnap> snapVolumes;
  std::string vmGuidLabel;
  std::string vmLabel;
  bool collectMetadata = false;
  bool vssCollectMetadata = false;
  int32_t instanceType = 0;
  std::string jobToken;
  int32_t transportMode = -1;
  std::string transportText;
  int32_t backupMethod = 0;  // 1 mounter, 2 vStorage, 0 other
  int32_t backupType = 0;    // the subclient's backup type of a storage snapshot
  int32_t libraryNumber = -1;  // opaque
  std::vector<SVMBasicInfo> vmBasicInfos;
  std::vector<SVMSnapMount> vmsToMount;  // the VMs of a storage snapshot to mount
  SHostCredentials hostCredentials;
  VMInfoStructs::SVMInfo vmInfo;
  std::map<std::string, VMInfoStructs::SVMInfo> vmInfoMap;
  std::vector<SFailure> failures;
  bool statusFlag1 = false;
  bool statusFlag2 = false;
  std::string mountResultText;
  // The two texts that name a shared shadow once it exists.
  std::string sharedShadowText1;
  std::string sharedShadowText2;
  bool quiesceFileSystem = false;
  bool useVMCheckpoint = false;
  int32_t physicalClientId = 0;
  int32_t datastoreFreeSpace = 0;
  std::string guestUserName;
  std::string guestPassword;
  std::vector<SDiskFilter> diskFilters;
  bool useCBT = false;
  bool skipPageFileExtents = false;
  // The guest operating system as detected from the VM's disks (21 Windows; 0 not detected) and its
  // name once detected.
  int32_t guestOSId = 0;
  std::string guestOSName;
  bool vmCentricSnapBackup = false;
  bool appAware = false;
  bool suppressProxyReport = false;
  int32_t snapControlHostId = 0;
  int32_t vmBackupLevel = 0;  // the VM's: 1 full, 2 incremental; the mount raises it to 1 to force a full
  TdfsCtx tdfs;
  bool forceSingleProxy = false;
  bool useIndexingV2 = false;
  bool includeRawDeviceMaps = false;
  bool includeIndependentDisks = false;
  bool collectDiskBlockInfo = false;
  int32_t snapMountMethod = 0;
  std::map<std::string, std::string> libraryOptions;  // opaque

  // Filled per VM by the worker's mount step.
  std::string snapshotFolder;  // the subclient directory with a trailing delimiter
  uint64_t childJobId = 0;     // VMCollect 62
  int64_t subclientId = 0;     // VMCollect 63
  std::string indexString;     // VMCollect 64
  int32_t failback = 0;        // 1 in a failback job: no cleanup-service registration of the VM
  std::string backupName;      // the VM GUID, or the name of the replication record in a failback job
  std::string displayName;
  std::string vmIdText;        // copied into the argument blocks as the VM's id text
  bool crashConsistent = false;
  bool truncateExchangeLog = false;
  bool truncateSqlLog = false;
  bool coordinatorNode = false;
  bool retainSnapshotSet = false;
  bool saveChangeId = false;
  int32_t mountType = 0;        // 102: a shadow-copy mount
  std::string mountPath;
  std::string previousChangeId;
  std::string snapMetadataCacheDir;
  int64_t lastSuccessfulSnapJobId = 0;
  int64_t vmArchiveFileId = 0;
  int64_t indexArchiveFileId = 0;
  int64_t snapReferenceTime = 0;

  // Results of the mount.
  std::string cleanupString;
  bool referencePoint = false;
  std::string changeTrackingStatus;
  int32_t m_nSkippedDisksCount = 0;  // disks filtered or skipped
  int64_t fileTime = 0;
  uint64_t allocatedSize = 0;
};
