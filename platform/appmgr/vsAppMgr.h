#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/ev/EvMessageContainer.h"
#include "platform/os/ZtMutex.h"
#include "platform/os/ThreadAnnotations.h"

namespace lab {
struct SubclientRecord;
}

class CNMessageBase;
struct SHostCredentials;
struct VMArchivingParams;

// The credentials of the subclient's instance (the hypervisor's management server).
struct vsAppMgrServerCredentials {
  std::string server;
  std::string user;
  std::string password;
};

// Instance types of a virtual-server instance (the hypervisor or cloud a subclient belongs to).
enum VirtualServerInstanceType : int {
  kInstanceTypeUnknown = 0,
  kInstanceTypeVMwareHost = 100,        // a stand-alone VMware host
  kInstanceTypeVMware = 101,            // VMware through its management server
  kInstanceTypeHyperV = 102,            // the Microsoft hypervisor
  kInstanceTypeXen = 201,
  kInstanceTypeAmazon = 301,
  kInstanceTypeAzure = 401,
  kInstanceTypeAzureResourceManager = 402,
  kInstanceTypeAzureStack = 403,
  kInstanceTypeNutanix = 501,
  kInstanceTypeRhev = 601,
  kInstanceTypeOpenStack = 701,
  kInstanceTypeFusionCompute = 801,
  kInstanceTypeOracleVM = 901,
  kInstanceTypeOracleCloud = 1101,
  kInstanceTypeOracleCloudInfrastructure = 1102,
  kInstanceTypeGoogleCloud = 1301,
  kInstanceTypeAliCloud = 1401,
  kInstanceTypeK8s = 1501,
  kInstanceTypeK8sNative = 1502,
};

// The application manager client: the settings of one subclient and its instance. The application
// manager is the lab's subclient record (platform/lab/LabSubclient.h). Keys:
//   instanceType=<number>            see VirtualServerInstanceType (default 101)
//   instanceId=<number>              the subclient's own instance
//   instanceType.<instanceId>=<n>    instance types of other instances (failback)
//   keyrealmId=<number>  subclientGUID=<text>  subclientName=<text>  maxStreams=<number>
//   transportMode=<number>
//   memberServers=a,b,c              proxies of the instance; memberServers.<instanceId>=... for others
//   fbrMA=<client>                   file-browse media agent added for content-index jobs
//   flags (0/1): meditech, proxyServerDetails, honorTaskOptionsForLVM, collectFileDetails,
//                collectFileDetailsForSnap, indexingV2, appAware, appValidation
//   failback replication: failbackReplicationId, failbackSourceInstanceId, failbackDestinationInstanceId,
//                failbackSourceName, failbackDestinationName
// Numbers must be decimal; a malformed file or value makes querySettings fail and loses nothing.
// Operations the lab's fault table can make fail, each returning (or failing with) the rule's code:
// "appmgr.querySettings", "appmgr.querySnapFailoverESXHostsProperties",
// "appmgr.queryVMArchivingSettings", "appmgr.GetVMArchivingParams", "appmgr.queryReplicationSettingsForFailback",
// "appmgr.queryMemberServersForInstance", "appmgr.GetMeditechSubclientConfig".
class vsAppMgr {
 public:
  // Result codes (0 = success).
  enum RetCode : int {
    kRetOk = 0,
    kRetBadAppId = 1,         // the application id is empty or not usable as a file name
    kRetNoLab = 2,            // QUARN_LAB not set
    kRetNoSubclient = 3,      // the subclient has no record
    kRetUnreadable = 4,       // the file exists but cannot be read
    kRetBadSettings = 5,      // a line or a value is malformed
    kRetNoCredentials = 6,    // credentials of the instance are not available
    kRetNotQueried = 7,       // an operation needs querySettings first
    kRetNoMemberServers = 8,  // the instance has no member servers
  };
  // Events named by getRetCodeEvent: kRetEventBase + code for the codes above, kRetEventOther for any
  // other error code. Arguments: the application id, the code, the reason text.
  static constexpr uint32_t kRetEventBase = 0x5B0000C0;
  static constexpr uint32_t kRetEventOther = 0x5B0000CF;

  vsAppMgr();
  ~vsAppMgr();
  vsAppMgr(const vsAppMgr&) = delete;
  vsAppMgr& operator=(const vsAppMgr&) = delete;

  void setAppIdStr(const std::string& appId);
  std::string getAppIdStr() const;
  // The application id as a number; 0 when it is not decimal.
  uint64_t getAppId() const;

  // Loads the subclient's settings. A code that isRetCodeError judges.
  int querySettings();
  static bool isRetCodeError(int code) { return code != kRetOk; }
  // Fills the container with the event of an error code; false (container untouched) for success.
  bool getRetCodeEvent(int code, EvMessageContainer& container) const;
  // Why the last failing operation failed; empty when none did.
  std::string getLastError() const;

  // ---- Instance ----
  int getInstanceType() const;
  // The type of the subclient's own instance or of an instance named in the settings; 0 when unknown.
  int getInstanceType(uint64_t instanceId) const;
  uint64_t getInstanceId() const;
  uint64_t getKeyrealmId() const;
  std::string getSubclientGUID() const;
  std::string getSubclientName() const;
  int getMaxStreamsToUse() const;
  int GetTransportMode() const;

  // ---- Failback ----
  // which: 1 source, 2 destination. Fills the instance's name and id; false when the replication is
  // unknown or the settings do not name the instance.
  bool queryReplicationSettingsForFailback(uint64_t replicationId, int which, std::string& text,
                                           uint64_t& instanceId);
  void setIsCrossVendorFailback(bool on);
  bool getIsCrossVendorFailback() const;
  // Makes the member servers of the given instance the proxies of this job (kRetNoMemberServers when
  // it has none). Instance 0 is the subclient's own, read afresh from the application manager: agents
  // made for the job while it runs join its member servers.
  int queryMemberServersForInstance(uint64_t instanceId);
  std::vector<std::string> getMemberServers() const;
  // Adds the file-browse media agent to the member servers once; false when none is configured.
  bool AddFBRMAInMemberServerList();

  // ---- Settings queried during set-up ----
  bool IsProxyServerDetailsSet() const;
  int querySnapFailoverESXHostsProperties(bool refresh);
  int queryVMArchivingSettings();
  bool isTaskOptionsNeedToBeHonoredForLVM() const;
  bool IsCollectFileDetailsSet() const;
  bool IsCollectFileDetailsForSnapSet() const;
  bool isUseIndexingV2Enabled() const;
  bool IsMeditechSubclient() const;
  // The MEDITECH system of a MEDITECH subclient (vsAppMgr_meditech.cpp). Keys meditech.config,
  // meditech.listeners (';' between listeners), meditech.port, meditech.user, meditech.timeout and
  // meditech.password, which holds the password only in its stored form (platform/msg/ProtectedText.h);
  // absent keys read empty. False when the subclient is not a MEDITECH one or its password is not a
  // stored form (the reason in getLastError).
  bool GetMeditechSubclientConfig(std::string& config, std::string& listeners, std::string& port, std::string& user,
                                  std::string& password, std::string& timeout);
  bool GetAppAwareEnabled() const;
  bool IsApplicationValidationEnabled() const;

  // ---- How the subclient's VMs are laid out for backup (vsAppMgr_layout.cpp) ----
  // Key backupType=disk|volume|file (default disk); any other value answers false to all three.
  bool isDiskLevelBackup() const;
  bool isVolumeLevelBackup() const;
  bool isFileLevelBackup() const;
  // Keeps a failback VM's replication record (an App::VSAReplicationInfo) with the subclient's
  // records; false when it cannot be kept or the message is of another type. Fault table operation:
  // "appmgr.setVSAReplicationInfo".
  bool setVSAReplicationInfo(const CNMessageBase& info);

  // ---- The road of one VM (vsAppMgr_road.cpp) ----
  // The replication record kept for the subclient's failback (see setVSAReplicationInfo); false when
  // there is none or it cannot be read.
  bool getVSAReplicationInfo(uint64_t replicationId, CNMessageBase& record);
  // Makes the subclient's transport mode this value for the rest of the process.
  void SetTransportMode(int mode);

  // ---- The coordinator's calls (vsAppMgr_coordinator.cpp) ----
  // Keys: server, serverUser, serverPassword, useVMInstanceUuid, separateBackupProxy (0/1),
  // backupCopyMemberServers=a,b, dataPathMediaAgents=a,b.
  void resetCredentials();
  // kRetOk, or kRetNoCredentials when the instance has no server to connect to.
  int getCredentials(vsAppMgrServerCredentials& server, std::vector<SHostCredentials>& hosts);
  // The host credentials alone (the instance's hosts need none of their own in the lab).
  int getCredentials(std::vector<SHostCredentials>& hosts);
  // The account for one server of the instance: the instance's own for its server (any case);
  // kRetNoCredentials, with the texts empty, for a server the instance does not name.
  int getCredentialsForServer(const std::string& server, std::string& user, std::string& password,
                              std::string& domain);
  bool getUseVMInstanceUuid() const;
  // The proxies as a code-returning call: kRetNotQueried before querySettings.
  int getMemberServers(std::vector<std::string>& servers) const;
  // Makes the backup-copy proxies (when the settings name any) the job's proxies.
  int queryBackupCopyMemberServers();
  bool IsSeperateBackupProxySet() const;
  int queryDataPathMediaAgents();
  // Whether the client is a data-path media agent of the job (any case).
  bool IsDataPathMediaAgent(const std::string& name) const;

  // ---- Clients by name and id ----
  // The client id of a client (a proxy, a media agent) by name; 0 when there is none.
  int getClientId(const std::string& name) const;
  // The name of a client id; empty when there is none.
  std::string getClientName(int clientId) const;

  // Any setting of the subclient by key; false when absent.
  bool GetSetting(const std::string& key, std::string& value) const;

  // ---- Auto-scale of agents (vsAppMgr_autoscale.cpp) ----
  // Key autoScale (0/1): the instance creates agents for its jobs in the cloud.
  bool IsScaleAgentManagementEnabled() const;
  // Fills an Ida::AutoScaleConfigInfoResp with the subclient's auto-scale policy; false (message
  // untouched) when the subclient has none, the message is of another type, or a value is malformed
  // (logged). Keys: autoScale.rpoMinutes, autoScale.throughputGBPerHour, autoScale.maxAgents,
  // autoScale.backupCopyRpoMinutes, autoScale.averageVMSizeGB (each set only when present),
  // autoScale.regions=a,b and per region autoScale.region.<name>.existingAgents and
  // autoScale.region.<name>.creationJobs=<id>,<id> (jobs still creating agents there).
  bool GetAutoScaleConfigInfo(CNMessageBase& config) const;

  // ---- Subclient-level guest credentials of the application-aware workflow (vsAppMgr_guest.cpp) ----
  // Keys guestApplUserName, guestApplPassword; guestSSHKeyFilePath, guestSSHKeyPassPhrase. Absent keys
  // read empty.
  void GetVMGuestApplUser(std::string& user, std::string& password) const;
  void GetVMGuestSSHKeyDetails(std::string& keyFilePath, std::string& passPhrase) const;

  // ---- Mount settings of the subclient (vsAppMgr_mount.cpp) ----
  // Keys: clientId, clientName, appTypeId, backupSetName, snapEngineId, snapControlHostId,
  // physicalClientId, datastoreFreeSpace (numbers and texts as named); flags (0/1)
  // vssCollectMetadata, quiesceFileSystem, useVMCheckpoint, datastoreSpaceCheck, quiesceImpersonate,
  // useCBT, skipPageFileExtents, includeRawDeviceMaps, includeIndependentDisks; guest credentials
  // guestUserName, guestPassword. A malformed number reads 0 and is logged as an error.
  int getClientId() const;
  std::string getClientName() const;
  int getAppTypeId() const;
  std::string getBackupSetName() const;
  int getSnapEngineID() const;
  int getSnapControlHostID() const;
  int getPhysicalClientId() const;
  bool getVssCollectMetaData() const;
  bool isQuiesceFileSystemEnabled() const;
  bool isUseVMCheckpointSet() const;
  bool IsdatastoreSpaceCheck() const;
  int getDatastoreFreeSpaceValue() const;
  bool IsQuiesceImpersonateSet() const;
  std::string GetVMGuestUserName() const;
  std::string GetVMGuestPassword() const;
  bool isUseCBTEnabled() const;
  bool isSkipPageFileExtentEnabled() const;
  bool IsIncludeRawDeviceMapsSet() const;
  bool IsIncludeIndependentDisksSet() const;

  // ---- Guest metadata (vsAppMgr_mount.cpp) ----
  // The Linux file-browse media agent (key linuxFbrMA); empty when none is configured.
  std::string GetLinuxFBRMA() const;
  // Whether the instance's disks are disks the guest volume library can parse: every instance type
  // the layout objects know a product for.
  bool IsInstanceTypeSupportedForLVM() const;
  // Key legacyGuestSize (0/1): the guest size of a VM comes from its used or backed-up bytes only.
  bool IsLegacyGuestSizeCalculationEnabled() const;
  // The vendor code of an instance type (0 for an unknown type).
  static int ConvertInstanceTypeToVendor(int instanceType);
  // Appends the subclient's disk filters (keys diskFilter.<n>.type|value|vmGuid|vmName|text|flag,
  // n = 1, 2, ... without gaps) or its do-not-back-up filters (doNotBackupDiskFilter.<n>.*) to a
  // VirtualServer::VMSubclientDiskFilterList message. A type or flag that is not a number is left
  // unset and logged as an error. kRetOk, or kRetBadSettings for a message of another type.
  int getDiskFilter(CNMessageBase& list) const;
  int getDoNotBackupSubclientDiskFilter(CNMessageBase& list) const;

  // ---- Storage-snapshot settings (vsAppMgr_snap.cpp) ----
  // Keys: snapMountPath (where the snapshot engine mounts a snapshot; absent: "/snapmount", present
  // and empty: none), snapBackupType (number), truncateExchangeLog, truncateSqlLog (0/1),
  // snapMountHost.server, snapMountHost.host, snapMountHost.text3, snapMountHost.text4 (the mount
  // host's details), and the jobs linked to a parent job: dataLink.<parent job>.<link type>=
  // <job>:<index text>,... Fault table operation "appmgr.GetJMDataLinkForParentJob".
  // Non-zero, with the path, when the subclient has a mount path for snapshots.
  int getSnapMountPathForSnap(std::string& path) const;
  int getBackupType() const;
  bool getTruncateExDbLogSet() const;
  bool getTruncateSqlLogSet() const;
  // Fills a JobManager::GetJMJobDataLinkResp; kRetOk, kRetBadSettings for a malformed entry or a
  // message of another type, or the fault's code.
  int GetJMDataLinkForParentJob(int64_t parentJobId, int linkType, CNMessageBase& response);
  // The mount host of a snapshot mount path; kRetOk, kRetNotQueried without settings.
  int getServerdetails(const std::string& mountPath, std::string& server, std::string& host, std::string& text3,
                       std::string& text4) const;
  // What the job sets for the rest of the process: the host the snapshot is mounted through, the
  // backup level and method a backup copy takes over from its snapshot.
  void setSnapMountESXServer(const std::string& host);
  std::string getSnapMountESXServer() const;
  void SetBackupLevel(int level);
  int GetBackupLevel() const;
  void SetBackupMethod(int method);
  int GetBackupMethod() const;

  // ---- A VM's mount and the applications in its guest (vsAppMgr_vm.cpp) ----
  // Key backupMethod=mounter|vstorage (anything else: neither).
  bool isVCBMounterBackupType() const;
  bool isVStorageBackupType() const;
  // Flag retainSnapSet.
  bool IsRetainSnapSet() const;
  // The VM job that backed the subclient's VMs up within a parent job: key
  // vmJobOfParent.<parent job id>=<job id>. False, *jobId untouched, when there is none.
  bool GetVMJobIdForParentJob(int64_t parentJobId, int64_t subclientId, int64_t* jobId) const;
  // The host name kept with the VM's client (platform/lab/LabVMClient.h); empty when none is.
  std::string getVMHostNameFromClientProp(int64_t clientId) const;

  // ---- VM archiving (vsAppMgr_archiving.cpp) ----
  // The archiving and power management settings for one VM, read afresh from the subclient's record
  // (keys below); a code that isRetCodeError judges (the record cannot be read, or the fault table's
  // "appmgr.GetVMArchivingParams"), with getLastError saying why. Keys: archiveRule, archiveDays,
  // relocateRule, relocateDays (a rule that is on needs its days: the record refuses it otherwise),
  // destinationHost, destinationDatastore, destinationResourcePool, destinationProvisioning,
  // expiryOverrideHours, archiveCompareHours, archiveImmediately, relocateImmediately, archiveVMList,
  // relocateVMList, archivePrecedence, powerManagement, powerConditions=<name>:<value>,...,
  // powerMgmtAction (1 power off, 2 shut the guest down), powerOffIdleVMs.
  int GetVMArchivingParams(VMArchivingParams& params);
  // Keys keyrealmNumber and backupsetId (0 when absent).
  int64_t getKeyrealmNumber() const;
  int64_t getBackupsetId() const;

  // ---- Server type predicates, by instance type ----
  static bool isServerTypeVMWare(int type) { return type == kInstanceTypeVMwareHost || type == kInstanceTypeVMware; }
  static bool isServerTypeMS(int type) { return type == kInstanceTypeHyperV; }
  static bool isServerTypeXen(int type) { return type == kInstanceTypeXen; }
  static bool isServerTypeAmazon(int type) { return type == kInstanceTypeAmazon; }
  static bool isServerTypeAzure(int type) {
    return type == kInstanceTypeAzure || type == kInstanceTypeAzureResourceManager || type == kInstanceTypeAzureStack;
  }
  static bool isServerTypeNutanix(int type) { return type == kInstanceTypeNutanix; }
  static bool isServerTypeRhev(int type) { return type == kInstanceTypeRhev; }
  static bool isServerTypeOpenStack(int type) { return type == kInstanceTypeOpenStack; }
  static bool isServerTypeFusionCompute(int type) { return type == kInstanceTypeFusionCompute; }
  static bool isServerTypeOracleVM(int type) { return type == kInstanceTypeOracleVM; }
  static bool isServerTypeOracleCloud(int type) { return type == kInstanceTypeOracleCloud; }
  static bool isServerTypeOracleCloudInfrastructure(int type) { return type == kInstanceTypeOracleCloudInfrastructure; }
  static bool isServerTypeGoogleCloud(int type) { return type == kInstanceTypeGoogleCloud; }
  static bool isServerTypeAliCloud(int type) { return type == kInstanceTypeAliCloud; }
  static bool isServerTypeK8s(int type) { return type == kInstanceTypeK8s || type == kInstanceTypeK8sNative; }

  bool isServerTypeVMWare() const { return isServerTypeVMWare(getInstanceType()); }
  bool isServerTypeMS() const { return isServerTypeMS(getInstanceType()); }
  bool isServerTypeXen() const { return isServerTypeXen(getInstanceType()); }
  bool isServerTypeAmazon() const { return isServerTypeAmazon(getInstanceType()); }
  bool isServerTypeAzure() const { return isServerTypeAzure(getInstanceType()); }
  bool isServerTypeNutanix() const { return isServerTypeNutanix(getInstanceType()); }
  bool isServerTypeRhev() const { return isServerTypeRhev(getInstanceType()); }
  bool isServerTypeOpenStack() const { return isServerTypeOpenStack(getInstanceType()); }
  bool isServerTypeFusionCompute() const { return isServerTypeFusionCompute(getInstanceType()); }
  bool isServerTypeOracleVM() const { return isServerTypeOracleVM(getInstanceType()); }
  bool isServerTypeOracleCloud() const { return isServerTypeOracleCloud(getInstanceType()); }
  bool isServerTypeOracleCloudInfrastructure() const {
    return isServerTypeOracleCloudInfrastructure(getInstanceType());
  }
  bool isServerTypeGoogleCloud() const { return isServerTypeGoogleCloud(getInstanceType()); }
  bool isServerTypeAliCloud() const { return isServerTypeAliCloud(getInstanceType()); }
  bool isServerTypeK8s() const { return isServerTypeK8s(getInstanceType()); }

 private:
  // The subclient's record; 0, or the code its absence or damage gives (its text kept as the last error).
  int ReadSubclient(const std::string& appId, lab::SubclientRecord& record);
  // Reads the member servers of the subclient's own instance from its record again.
  int RefreshOwnMemberServers();
  // Mount settings helpers (vsAppMgr_mount.cpp).
  int MountNumber(const std::string& key) const;
  std::string MountText(const std::string& key) const;
  int AppendDiskFilters(const std::string& prefix, CNMessageBase& list) const;

  // The code of the fault the lab's fault table gives the operation (logged, and kept as the last
  // error), or kRetOk.
  int InjectedFault(const char* op);
  bool Flag(const std::string& key) const;
  int64_t Number(const std::string& key, int64_t fallback) const;
  void SetLastError(const std::string& text);

  mutable ZtMutex mutex_;
  std::string appId_ GUARDED_BY(mutex_);
  bool loaded_ GUARDED_BY(mutex_) = false;
  std::map<std::string, std::string> settings_ GUARDED_BY(mutex_);
  std::vector<std::string> memberServers_ GUARDED_BY(mutex_);
  bool crossVendorFailback_ GUARDED_BY(mutex_) = false;
  std::string lastError_ GUARDED_BY(mutex_);
  std::vector<std::string> dataPathMediaAgents_ GUARDED_BY(mutex_);
  bool credentialsFetched_ GUARDED_BY(mutex_) = false;
  int transportModeOverride_ GUARDED_BY(mutex_) = -1;  // -1: the subclient's setting
  std::string snapMountESXServer_ GUARDED_BY(mutex_);
  int backupLevel_ GUARDED_BY(mutex_) = 0;
  int backupMethod_ GUARDED_BY(mutex_) = 0;
};
