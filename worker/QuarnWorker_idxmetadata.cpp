// Index metadata of a VM and of its items, the VM's content records, and the metadata files the VM
// leaves in the index cache.
#include <fcntl.h>

#include <algorithm>

#include "controller/QuarnController.h"
#include "platform/archive/vsArchive.h"
#include "platform/os/CPxFile.h"
#include "platform/os/CPxPath.h"
#include "worker/QuarnWorker.h"

namespace {

using Idx = IdxMetadata::IdxMetaData;
using IdxCommon = IdxMetadata::IdxCommonMetaData;
using Aux = IdxMetadata::IdxAuxMetaData;
using VSMeta = IdxMetadata::VirtualServerIdxMetaData;
using Collect = VirtualServer::VMCollect;
using VMInfoStructs::SVMInfo;

constexpr int kResultOpenFailed = 53;
constexpr int kResultWriteFailed = 54;
constexpr int kResultSerialiseFailed = 65;
constexpr int kResultContentRecordFailed = 43;
constexpr mode_t kMetadataFileMode = 0666;

// Where the VM-level index fields come from in the inventory record (VMInfoStructs::SVMInfo), by the
// labels of the index's log line; the unlabelled texts are carried unchanged.
struct InventoryText {
  const VMInfoStructs::SVMInfo& vm;
  const std::string& ResourcePoolPath() const { return vm.field24; }
  const std::string& InventoryPath() const { return vm.field25; }
  const std::string& Folder() const { return vm.field26; }
  const std::string& VCloudOrg() const { return vm.field30; }
  const std::string& VCloudOrgVDC() const { return vm.field31; }
  const std::string& VCloudVApp() const { return vm.field32; }
  const std::string& VCloudOwner() const { return vm.field33; }
  const std::string& ProtectionGroup() const { return vm.field34; }
  const std::string& IamRole() const { return vm.field36; }
  const std::string& VirtualizationType() const { return vm.field40; }
  const std::string& Text39() const { return vm.field13; }
  const std::string& Text47() const { return vm.field14; }
  const std::string& Text96() const { return vm.field15; }
  const std::string& Text100() const { return vm.field16; }
  const std::string& Text150() const { return vm.field17; }
  const std::string& Text169() const { return vm.field20; }
  const std::string& Text173() const { return vm.field21; }
  const std::string& Text181() const { return vm.field22; }
  bool TerminationProtected() const { return vm.field60; }
  bool OptimizationEnabled() const { return vm.field61; }
  uint32_t GuestOsId() const { return static_cast<uint32_t>(vm.field64); }
  bool Flag127() const { return vm.field81; }
  const std::vector<VMInfoStructs::SVMNetworkCard>& Cards() const { return vm.networkCards; }
  const std::vector<VMInfoStructs::SVMNetworkCard>& VCloudCards() const { return vm.field107; }
};

void SetIfNotEmpty(VSMeta& part, const CNField& field, const std::string& value) {
  if (!value.empty()) part.setstring(field, value);
}

// Serialises a list message whose one list field holds `records`; empty when it cannot.
template <typename List, typename Record>
std::string ListXml(const CNField& field, std::vector<Record>& records, EvEvent& log, const char* sig) {
  List list;
  CNMessageList& entries = list.getlistobject(field, true);
  for (Record& record : records) entries.emplace_back(record);
  std::string xml;
  if (!list.serialize(xml, true)) {
    log.Error(sig, "Failed to serialize network card details");
    return std::string();
  }
  return xml;
}

}  // namespace

int QuarnWorker::insertContentMapTable(const VirtualServer::VMContentRecord& record) {
  ZtCriticalSectionLock lock(&m_contentLock);
  if (m_currentVM == nullptr) {
    m_event.Error("int QuarnWorker::insertContentMapTable(const VirtualServer::VMContentRecord&)",
                  "There is no current VM to add a content record to");
    return kResultContentRecordFailed;
  }
  m_currentVM->contentRecords.push_back(record);
  return 0;
}

void QuarnWorker::AddVMMetadataFile(const std::string& path) {
  static const char* const sig = "void QuarnWorker::AddVMMetadataFile(const std::string&)";
  ZtCriticalSectionLock lock(&m_contentLock);
  if (m_currentVM == nullptr) {
    m_event.Error(sig, "There is no current VM to add metadata file %s", path.c_str());
    return;
  }
  m_event.Debug(sig, "Adding metadata file [%s] to list to be uploaded to index cache", path.c_str());
  std::vector<std::string>& files = m_currentVM->metadataFiles;
  // A file queued twice would be uploaded twice and then deleted twice: it is kept once.
  if (std::find(files.begin(), files.end(), path) == files.end()) files.push_back(path);
}

bool QuarnWorker::CommitVMMetadataFiles() {
  static const char* const sig = "bool QuarnWorker::CommitVMMetadataFiles()";
  if (m_currentVM == nullptr) {
    m_event.Error(sig, "There is no current VM to commit metadata files for");
    return false;
  }
  if (m_controller == nullptr || m_jobMgr == nullptr) return false;
  const Collect& collect = m_currentVM->collect;
  const long long jobId = collect.getint64(m_jobMgr->isSnapToTape() ? Collect::F_snapJobId : Collect::F_vmJobId);
  std::vector<std::string> files;
  {
    ZtCriticalSectionLock lock(&m_contentLock);
    files = m_currentVM->metadataFiles;
  }
  if (!m_controller->CommitVMMetadataFiles(m_currentVM->vmGuid, jobId, collect.getstring(Collect::F_subclientGuid),
                                           files))
    return false;
  ZtCriticalSectionLock lock(&m_contentLock);
  m_currentVM->metadataFiles.clear();
  return true;
}

bool QuarnWorker::DownloadMetadataFile(const std::string& path) {
  return m_controller != nullptr && m_controller->GetMetadataFile(path, GetSubclientDirectory()) &&
         CPxPath::Exists(path);
}

int64_t QuarnWorker::GetVMLastFullJob() {
  int64_t jobId = 0;
  if (m_controller == nullptr || m_currentVM == nullptr ||
      !m_controller->GetVMLastFullJobFromIndexing(m_currentVM->vmGuid, jobId))
    return 0;
  return jobId;
}

bool QuarnWorker::DownloadVMMetadataFile(const std::string& path, long long jobId) {
  if (m_controller == nullptr || m_currentVM == nullptr) return false;
  return m_controller->GetVMMetadataFile(m_currentVM->vmGuid, path, GetSubclientDirectory(), jobId) &&
         CPxPath::Exists(path);
}

int QuarnWorker::writeMetadataFile(const void* data, size_t length, const std::string& path) {
  static const char* const sig = "int QuarnWorker::writeMetadataFile(const void*, size_t, const std::string&)";
  // The file takes the process's own creation mask: changing the mask for one file would change it
  // for every thread creating files meanwhile.
  CPxFile file;
  CPxError error = file.Open(path, O_WRONLY | O_CREAT | O_TRUNC, kMetadataFileMode);
  if (error.IsError()) {
    m_event.Error(sig, "Failed to create Metadata file [%s], Error String [%s]", path.c_str(), error.AsString().c_str());
    return kResultOpenFailed;
  }
  error = file.Write(data, length);
  if (!error.IsError()) error = file.Close();
  if (error.IsError()) {
    m_event.Error(sig, "Failed to write Metadata file [%s], Error String [%s]", path.c_str(), error.AsString().c_str());
    return kResultWriteFailed;
  }
  return 0;
}

int QuarnWorker::writeVMHeaderMetadataFile(const VMInfoStructs::SVMInfo& info, const std::string& path) {
  static const char* const sig =
      "int QuarnWorker::writeVMHeaderMetadataFile(const VMInfoStructs::SVMInfo&, const std::string&)";
  VSMeta header;
  ExtractIdxMetadata(info, header);
  std::string xml;
  // The serialiser's own code (1 for a failure) goes to the log; the step's result is 65.
  const int code = header.serialize(xml, false) ? 0 : 1;
  if (code != 0) {
    m_event.Error(sig, "Failed to serialize (XML) VM Header metadata. Code [%d]", code);
    return kResultSerialiseFailed;
  }
  return writeMetadataFile(xml.data(), xml.size(), path);
}

std::string QuarnWorker::ExtractNicMetadata(const std::vector<VMInfoStructs::SVMNetworkCard>& cards) {
  std::vector<IdxMetadata::VMNetwork> records;
  for (size_t i = 0; i < cards.size(); ++i) {
    const VMInfoStructs::SVMNetworkCard& card = cards[i];
    IdxMetadata::VMNetwork record;
    record.setstring(IdxMetadata::VMNetwork::F_cardName, card.field01.empty() ? std::to_string(i + 1) : card.field01);
    record.setstring(IdxMetadata::VMNetwork::F_cardText2, card.field02);
    record.setstring(IdxMetadata::VMNetwork::F_cardText3, card.field03);
    record.setstring(IdxMetadata::VMNetwork::F_cardText4, card.field04);
    if (!card.field05.empty()) record.setstring(IdxMetadata::VMNetwork::F_cardText5, card.field05);
    record.setint64(IdxMetadata::VMNetwork::F_cardFlag, card.field08 ? 1 : 0);
    records.push_back(record);
  }
  return ListXml<IdxMetadata::VMNetworks>(IdxMetadata::VMNetworks::F_networks, records, m_event,
                                          "std::string QuarnWorker::ExtractNicMetadata(const "
                                          "std::vector<VMInfoStructs::SVMNetworkCard>&)");
}

std::string QuarnWorker::ExtractKeyPair(const std::vector<VMInfoStructs::SKeyPairInfo>& keyPairs) {
  std::vector<VirtualServer::VMLoginKeyPair> records;
  for (const VMInfoStructs::SKeyPairInfo& pair : keyPairs) {
    VirtualServer::VMLoginKeyPair record;
    record.setstring(VirtualServer::VMLoginKeyPair::F_keyPairName, pair.field2);
    record.setstring(VirtualServer::VMLoginKeyPair::F_keyPairText, pair.field1);
    records.push_back(record);
  }
  return ListXml<VirtualServer::VMLoginKeyPairs>(
      VirtualServer::VMLoginKeyPairs::F_loginKeyPairs, records, m_event,
      "std::string QuarnWorker::ExtractKeyPair(const std::vector<VMInfoStructs::SKeyPairInfo>&)");
}

std::string QuarnWorker::ExtractSecurityGroup(const std::vector<VMInfoStructs::SSecurityGroupInfo>& groups) {
  std::vector<VirtualServer::VMNetworkSecurityGroup> records;
  for (const VMInfoStructs::SSecurityGroupInfo& group : groups) {
    VirtualServer::VMNetworkSecurityGroup record;
    record.setstring(VirtualServer::VMNetworkSecurityGroup::F_groupName, group.field2);
    record.setstring(VirtualServer::VMNetworkSecurityGroup::F_groupText, group.field1);
    records.push_back(record);
  }
  return ListXml<VirtualServer::VMNetworkSecurityGroups>(
      VirtualServer::VMNetworkSecurityGroups::F_networkSecurityGroups, records, m_event,
      "std::string QuarnWorker::ExtractSecurityGroup(const std::vector<VMInfoStructs::SSecurityGroupInfo>&)");
}

void QuarnWorker::ExtractIdxMetadata(const VMInfoStructs::SVMInfo& info, VSMeta& part) {
  const InventoryText in{info};
  SetIfNotEmpty(part, VSMeta::F_esxHost, info.host);
  SetIfNotEmpty(part, VSMeta::F_datastore, info.datastore);
  SetIfNotEmpty(part, VSMeta::F_resourcePoolPath, in.ResourcePoolPath());
  SetIfNotEmpty(part, VSMeta::F_inventoryPath, in.InventoryPath());
  SetIfNotEmpty(part, VSMeta::F_folder, in.Folder());
  SetIfNotEmpty(part, VSMeta::F_text47, in.Text47());
  SetIfNotEmpty(part, VSMeta::F_nics, ExtractNicMetadata(in.Cards()));
  SetIfNotEmpty(part, VSMeta::F_vcloudOrg, in.VCloudOrg());
  SetIfNotEmpty(part, VSMeta::F_vcloudOrgVDC, in.VCloudOrgVDC());
  SetIfNotEmpty(part, VSMeta::F_vcloudVApp, in.VCloudVApp());
  SetIfNotEmpty(part, VSMeta::F_vcloudOwner, in.VCloudOwner());
  SetIfNotEmpty(part, VSMeta::F_vcloudNics, ExtractNicMetadata(in.VCloudCards()));
  if (in.GuestOsId() != 0) part.setint64(VSMeta::F_guestOsId, in.GuestOsId());
  SetIfNotEmpty(part, VSMeta::F_toolsVersion, info.toolsVersion);
  SetIfNotEmpty(part, VSMeta::F_protectionGroup, in.ProtectionGroup());
  SetIfNotEmpty(part, VSMeta::F_text96, in.Text96());
  SetIfNotEmpty(part, VSMeta::F_text100, in.Text100());
  part.setint64(VSMeta::F_terminationProtected, in.TerminationProtected() ? 1 : 0);
  SetIfNotEmpty(part, VSMeta::F_iamRole, in.IamRole());
  // The key pairs, security groups and flag 43/127 are the mount's view of the VM.
  const VMInfoStructs::SVMInfo* mounted = m_mountCtx != nullptr ? &m_mountCtx->vmInfo : nullptr;
  if (mounted != nullptr && InventoryText{*mounted}.Flag127()) part.setint64(VSMeta::F_flag127, 1);
  SetIfNotEmpty(part, VSMeta::F_vmVersion, info.version);
  part.setint64(VSMeta::F_optimizationEnabled, in.OptimizationEnabled() ? 1 : 0);
  if (mounted != nullptr) {
    SetIfNotEmpty(part, VSMeta::F_securityGroups, ExtractSecurityGroup(mounted->securityGroups));
    SetIfNotEmpty(part, VSMeta::F_keyPairs, ExtractKeyPair(mounted->keyPairs));
  }
  SetIfNotEmpty(part, VSMeta::F_text169, in.Text169());
  SetIfNotEmpty(part, VSMeta::F_text173, in.Text173());
  SetIfNotEmpty(part, VSMeta::F_text181, in.Text181());
}

bool QuarnWorker::SendVSConfigFileIndexMetadata(const quarnBackupArgs* args) {
  static const char* const sig = "bool QuarnWorker::SendVSConfigFileIndexMetadata(const quarnBackupArgs*)";
  if (args == nullptr || args->mArchive == nullptr) {
    m_event.Error(sig, "Invalid archive object");
    return false;
  }
  if (args->mDisplayName.empty() || args->mDisplayName == args->mBackupPath) return true;
  Idx message;
  message.getObject<IdxCommon>(Idx::F_common, true)->setstring(IdxCommon::F_itemName, args->mDisplayName);
  return vsArchive::isOK(args->mArchive->sendVSIdxDiskMetadata(message));
}

bool QuarnWorker::SendVSDiskIndexMetadata(const quarnBackupArgs* args, ProductType_t productType) {
  static const char* const sig = "bool QuarnWorker::SendVSDiskIndexMetadata(const quarnBackupArgs*, ProductType_t)";
  if (args == nullptr || args->mArchive == nullptr) {
    m_event.Error(sig, "Invalid archive object");
    return false;
  }
  Idx message;
  if (!args->mDisplayName.empty())
    message.getObject<IdxCommon>(Idx::F_common, true)->setstring(IdxCommon::F_itemName, args->mDisplayName);

  // A failback disk is indexed under its record of the last backup, with this backup's change id and
  // processed extents.
  bool fromPrevious = false, skipLocations = false;
  if (m_jobMgr != nullptr && m_appMgr != nullptr && m_jobMgr->isFailbackBackup() && m_appMgr->isUseIndexingV2Enabled()) {
    auto previous = m_prevIdxMetadata.find(args->mBackupPath);
    if (previous != m_prevIdxMetadata.end()) {
      VSMeta part;
      if (const VSMeta* old = previous->second.getObject<VSMeta>(Idx::F_virtualServer, false)) part = *old;
      SetIfNotEmpty(part, VSMeta::F_changeId, args->mFileName);
      SetIfNotEmpty(part, VSMeta::F_processedExtents, args->mText3);
      *message.getObject<VSMeta>(Idx::F_virtualServer, true) = part;
      fromPrevious = true;
    } else {
      skipLocations = true;
    }
  }
  if (!fromPrevious) {
    VSMeta& part = *message.getObject<VSMeta>(Idx::F_virtualServer, true);
    if (!skipLocations) {
      SetIfNotEmpty(part, VSMeta::F_datastore, args->mDatastore);
      SetIfNotEmpty(part, VSMeta::F_diskName3, args->mDiskName3);
      SetIfNotEmpty(part, VSMeta::F_proxyName, args->mProxyName);
      SetIfNotEmpty(part, VSMeta::F_indexText, args->mIndexText);
    }
    part.setint64(VSMeta::F_productType, productType);
    part.setint64(VSMeta::F_diskType, args->mDiskType);
    part.setint64(VSMeta::F_fileSize, static_cast<int64_t>(args->mFileSize));
    part.setint64(VSMeta::F_maxDiskSize, static_cast<int64_t>(args->mMaxDiskSize));
    part.setstring(VSMeta::F_diskText1, args->mDiskText1);
    part.setstring(VSMeta::F_diskText2, args->mDiskText2);
    part.setint64(VSMeta::F_diskFlag1, args->mDiskFlag1 ? 1 : 0);
    if (args->mObjectKind == 1) {
      part.setint64(VSMeta::F_extentSize, args->mExtentSize);
      part.setint64(VSMeta::F_sectorSize, args->mSectorSize);
    } else {
      part.setint64(VSMeta::F_extentSize, static_cast<int64_t>(args->mFileSize));
    }
    SetIfNotEmpty(part, VSMeta::F_parentIndexName, args->mParentIndexName);
    SetIfNotEmpty(part, VSMeta::F_changeId, args->mFileName);
    part.setint64(VSMeta::F_inActiveChain, args->mInActiveChain ? 1 : 0);
    part.setint64(VSMeta::F_isOSDisk, args->mIsOSDisk ? 1 : 0);
    if (args->mDiskNumber2 == 2) part.setint64(VSMeta::F_diskNumber2Is2, 1);
    if (args->mDiskNumber2 == 3) part.setint64(VSMeta::F_diskNumber2Is3, 1);
    if (m_appMgr != nullptr && m_appMgr->isUseIndexingV2Enabled())
      SetIfNotEmpty(part, VSMeta::F_processedExtents, args->mText3);
    SetIfNotEmpty(part, VSMeta::F_text181, args->mDiskPairText);
  }
  if (args->mObjectKind == 1) SetChainPlace(*args, *message.getObject<VSMeta>(Idx::F_virtualServer, true));
  std::string xml;
  message.serialize(xml, true);
  m_event.DebugLvl(2, sig, "Sending XML metadata - [%s]", xml.c_str());
  return vsArchive::isOK(args->mArchive->sendVSIdxDiskMetadata(message));
}

void QuarnWorker::SetChainPlace(const quarnBackupArgs& args, IdxMetadata::VirtualServerIdxMetaData& part) const {
  // A failback's record starts as a copy of the last backup's: every field of the place is this one's.
  part.setint64(VSMeta::F_diskJobId, m_jobMgr != nullptr ? m_jobMgr->getJobId() : 0);
  part.setint64(VSMeta::F_baseJobId, args.mBaseJobId);
  part.setstring(VSMeta::F_baseChangeId, args.mBaseChangeId);
}

bool QuarnWorker::SendVSVMIdxMetadata(const std::string& text, long long number, Idx& message) {
  static const char* const sig = "bool QuarnWorker::SendVSVMIdxMetadata(const std::string&, long long int, "
                                 "IdxMetadata::IdxMetaData&)";
  if (m_currentStream == nullptr || m_mountCtx == nullptr) {
    m_event.Error(sig, "Invalid archive object");
    return false;
  }
  IdxCommon& common = *message.getObject<IdxCommon>(Idx::F_common, true);
  VSMeta& part = *message.getObject<VSMeta>(Idx::F_virtualServer, true);
  Aux& aux = *message.getObject<Aux>(Idx::F_aux, true);
  const MountCtx& ctx = *m_mountCtx;

  if (m_jobMgr != nullptr && m_appMgr != nullptr && m_jobMgr->isFailbackBackup() && m_appMgr->isUseIndexingV2Enabled()) {
    if (const VSMeta* previous = m_vmIdxMetadata.getObject<VSMeta>(Idx::F_virtualServer, false)) part = *previous;
    if (!ctx.vmName.empty()) common.setstring(IdxCommon::F_itemName, ctx.vmName);
    std::string xml;
    message.serialize(xml, true);
    m_event.DebugLvl(2, sig, "Sending VS IdxMetadata [%s]", xml.c_str());
    return vsArchive::isOK(m_currentStream->sendVSIdxMetadata(message));
  }

  const VMInfoStructs::SVMInfo& info = ctx.vmInfo;
  const InventoryText in{info};
  if (!ctx.vmName.empty()) common.setstring(IdxCommon::F_itemName, ctx.vmName);
  SetIfNotEmpty(part, VSMeta::F_esxHost, info.host);
  SetIfNotEmpty(part, VSMeta::F_datastore, info.datastore);
  SetIfNotEmpty(part, VSMeta::F_resourcePoolPath, in.ResourcePoolPath());
  SetIfNotEmpty(part, VSMeta::F_inventoryPath, in.InventoryPath());
  if (!text.empty()) aux.setstring(Aux::F_auxText, text);
  if (number > 0) part.setint64(VSMeta::F_stubSize, number);
  SetIfNotEmpty(part, VSMeta::F_folder, in.Folder());
  if (m_jobMgr != nullptr) part.setint64(VSMeta::F_opType, m_jobMgr->getOpType());
  const std::string nics = ExtractNicMetadata(in.Cards());
  const std::string vcloudNics = ExtractNicMetadata(in.VCloudCards());
  SetIfNotEmpty(part, VSMeta::F_nics, nics);
  SetIfNotEmpty(part, VSMeta::F_vcloudOrg, in.VCloudOrg());
  SetIfNotEmpty(part, VSMeta::F_vcloudOrgVDC, in.VCloudOrgVDC());
  SetIfNotEmpty(part, VSMeta::F_vcloudVApp, in.VCloudVApp());
  SetIfNotEmpty(part, VSMeta::F_vcloudNics, vcloudNics);
  SetIfNotEmpty(part, VSMeta::F_vcloudOwner, in.VCloudOwner());
  SetIfNotEmpty(part, VSMeta::F_toolsVersion, info.toolsVersion);
  SetIfNotEmpty(part, VSMeta::F_protectionGroup, in.ProtectionGroup());
  SetIfNotEmpty(part, VSMeta::F_text96, in.Text96());
  SetIfNotEmpty(part, VSMeta::F_text100, in.Text100());
  SetIfNotEmpty(part, VSMeta::F_iamRole, in.IamRole());
  SetIfNotEmpty(part, VSMeta::F_virtualizationType, in.VirtualizationType());
  SetIfNotEmpty(part, VSMeta::F_text169, in.Text169());
  SetIfNotEmpty(part, VSMeta::F_text173, in.Text173());
  SetIfNotEmpty(part, VSMeta::F_text181, in.Text181());
  if (m_appMgr != nullptr) {
    m_event.Debug(sig, "Setting instance type %d in VSIDXMetadta", m_appMgr->getInstanceType());
    part.setint64(VSMeta::F_instanceType, m_appMgr->getInstanceType());
  }
  part.setint64(VSMeta::F_guestOsId, in.GuestOsId());
  common.setint64(IdxCommon::F_isVM, 1);
  SetIfNotEmpty(part, VSMeta::F_text47, in.Text47());
  SetIfNotEmpty(part, VSMeta::F_changeId, in.Text39());
  part.setint64(VSMeta::F_terminationProtected, in.TerminationProtected() ? 1 : 0);
  part.setint64(VSMeta::F_optimizationEnabled, in.OptimizationEnabled() ? 1 : 0);
  SetIfNotEmpty(part, VSMeta::F_vmVersion, info.version);
  if (in.Flag127()) part.setint64(VSMeta::F_flag127, 1);
  SetIfNotEmpty(part, VSMeta::F_text150, in.Text150());
  const std::string keyPairs = ExtractKeyPair(info.keyPairs);
  const std::string groups = ExtractSecurityGroup(info.securityGroups);
  // Both lists are always sent, even empty: the index replaces what it kept of an earlier backup.
  part.setstring(VSMeta::F_keyPairs, keyPairs);
  part.setstring(VSMeta::F_securityGroups, groups);

  m_event.DebugLvl(
      2, sig,
      "Sending VS IdxMetadata  Host:[%s] Datastore:[%s] ResourcePoolPath:[%s] InventoryPath:[%s] Folder:[%s] Nics:[%s] "
      "VCloudOrg:[%s] VCloudOrgVDC:[%s] VCloudVApp:[%s] VCloudNics: [%s] VCloudOwner:[%s] Guest Operating System "
      "Id:[%d] ToolsVersion:[%s] ProtectionGroup:[%s] TerminationProtected [%s] IAM Role:[%s] VMVersion[%s] "
      "optimization Enabled [%s] Key Pair [%s] Security groups [%s], Virtualization Type [%s]",
      info.host.c_str(), info.datastore.c_str(), in.ResourcePoolPath().c_str(), in.InventoryPath().c_str(),
      in.Folder().c_str(), nics.c_str(), in.VCloudOrg().c_str(), in.VCloudOrgVDC().c_str(), in.VCloudVApp().c_str(),
      vcloudNics.c_str(), in.VCloudOwner().c_str(), static_cast<int>(in.GuestOsId()), info.toolsVersion.c_str(),
      in.ProtectionGroup().c_str(), in.TerminationProtected() ? "True" : "False", in.IamRole().c_str(),
      info.version.c_str(), in.OptimizationEnabled() ? "True" : "False", keyPairs.c_str(), groups.c_str(),
      in.VirtualizationType().c_str());
  return vsArchive::isOK(m_currentStream->sendVSIdxMetadata(message));
}
