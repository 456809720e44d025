#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app/QuarnRegistry.h"
#include "app/vmParams.h"
#include "platform/appmgr/vsAppMgr.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/os/CPxString.h"
#include "platform/vminfo/IVMInfo.h"
#include "records/FixedRecords.h"
#include "records/MountCtx.h"
#include "records/VMInfoStructs.h"
#include "records/messages/JobManagerMessages.h"
#include "records/messages/VirtualServerMessages.h"

// Stateless helpers shared by the coordinator, the controllers and the workers: the per-VM status
// records for the job manager (QuarnUtils_status.cpp), the mount context (QuarnUtils_mount.cpp),
// and result lines, predicates and the command runner (QuarnUtils_misc.cpp).
class QuarnUtils {
 public:
  // Longest failure reason or datastore list kept in a status record; longer texts are cut (never
  // inside a UTF-8 character) and " ..." is appended.
  static constexpr size_t kMaxStatusText = 1010;

  // The event and pending cause of a VM left without a backup by this attempt for a reason of its own
  // (a stop asked for it, a dispatch that could not be recorded), with the VM's name and the reason as
  // its arguments, and its severity as a pending cause.
  static constexpr uint32_t kEventVMNotBackedUpWithReason = 0x5B0001DB;
  static constexpr int kVMNotBackedUpSeverity = 3;
  // The name under which a VM's configuration, as the hypervisor gave it, is backed up; a restore
  // looks for it by that name.
  static constexpr const char* kGeneralizedConfigFile = "VMConfig.ztf";

  // ---- Per-VM status records ----
  // Nothing is set in the stub phase of VM archiving.
  static void FillVMUpdateInfoForStartedVM(JobManager::VMUpdateInfo& info, vsJobMgr* job, vsAppMgr* app,
                                           const std::string& vmName, const std::string& vmGuid, int clientId,
                                           long long childJobId);
  static void FillVMUpdateInfoForMountedVM(JobManager::VMUpdateInfo& info, vsJobMgr* job, vsAppMgr* app,
                                           IVMInfo* vmInfoObject, MountCtx& ctx, int unused, long long size);
  static void FillVMUpdateInfoForFailedVM(JobManager::VMUpdateInfo& info, vsJobMgr* job, vsAppMgr* app,
                                          IVMInfo* vmInfoObject, MountCtx& ctx, int unused);
  // Nothing is set in the stub phase of VM archiving.
  static void FillVMUpdateInfoForCompletedVM(JobManager::VMUpdateInfo& info, vsJobMgr* job, vsAppMgr* app,
                                             bool hadErrors, unsigned long long count1, unsigned long long count2,
                                             bool flag1, const std::string& reason, const std::string& text2,
                                             bool flag4, bool lastFlag);
  // Sends the VM's status record to the job manager; a VM whose client id is below 1 is not sent.
  static void SendVMUpdateInfo(vm_params* vm, vsJobMgr* job, vsAppMgr* app, bool flag);
  // True when a failed VM of the list carries the status event that asks for another mount method.
  static bool ShouldTryDifferentMountMethod(std::vector<JobManager::VMUpdateInfo>& list);

  // ---- Mount context ----
  static void InitMountCtx(vsJobMgr* job, vsAppMgr* app, subclientFiles* files, QuarnRegistry* reg, MountCtx* ctx);
  // Always true. The subclient's filters first, then its do-not-back-up filters.
  static bool AddDiskFilterToMountCtx(vsAppMgr* app, MountCtx* ctx);
  // Always true. Appends every filter of the list that applies to the VM of the context.
  static bool AddDiskFilterToMountCtx(VirtualServer::VMSubclientDiskFilterList& list, MountCtx* ctx);
  static std::string NormalizeDiskPatternFilter(const std::string& pattern);

  // ---- Result lines, predicates and mappings ----
  // One line of the job's result file "backup.out"; `line` is overwritten.
  static void FormatBackupDotOut(std::string& line, const std::string& vmName, const std::string& item,
                                 const std::string& reason, bool skipped, bool warning);
  static int GetTransportMode(int configured);
  static bool IsVMCentricSnapEngine(int engine);
  static bool IsVVOLSnapEngine(int engine);
  static bool IsVMCentricSnapBackupSupported(VirtualServerInstanceType type, unsigned long engine, bool flag);
  static bool IsMultiworkerSnapBackupSupported(VirtualServerInstanceType type, bool flag);
  static int GetSnapBackupWorkerCount(VirtualServerInstanceType type, QuarnRegistry* reg);
  static bool IsAppConsistentSnapshotSupported(VirtualServerInstanceType type);
  static bool IsExtentSizeValid(unsigned int size, DiskType_t type);
  static bool IsOSWindows2016OrHigher();

  // ---- Commands and names ----
  // The text with every occurrence of the secret shown as "*****" (the text itself when the secret is
  // empty).
  static std::string MaskSecret(const std::string& text, const std::string& secret);
  // Runs a shell command with standard error joined to the output. Every occurrence of maskedText
  // is shown as "*****" in the log (command, output and error text alike); `output` gets the raw
  // output. True when the command exited with 0.
  static bool ExecuteCommand(const std::string& command, std::string& output, std::string maskedText);
  // Runs a program with argv directly (no shell sees any argument), standard error joined to the
  // output, waiting at most timeoutMs on the platform clock. The log shows commandText (how the
  // command reads to a person) and the output, each with maskedText as "*****"; `output` gets the
  // raw output. True when the program exited with 0.
  static bool ExecuteProgram(const std::vector<std::string>& argv, const std::string& commandText,
                             std::string& output, const std::string& maskedText, unsigned long timeoutMs);
  // Splits "[datastore] folder/file" into its three parts.
  static bool ParseVMFileName(const char* path, CPxString& datastore, CPxString& folder, CPxString& file);
  static bool ExtractDiskDisplayNameFromIndexName(const std::string& indexName, VirtualServerInstanceType type,
                                                  std::string& displayName);

  // A text of at most kMaxStatusText bytes plus " ..." when it was longer; the cut never splits a
  // UTF-8 character.
  static std::string TruncateStatusText(const std::string& text);

  // The guest credentials to sign in to a VM with: its own when its collect record names a user,
  // else the subclient's.
  static void VMGuestCredentials(VirtualServer::VMCollect& collect, const vsAppMgr& app, std::string& user,
                                 std::string& password);
};
