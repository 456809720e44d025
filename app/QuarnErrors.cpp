#include "app/QuarnErrors.h"

#include <cerrno>
#include <vector>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/ev/EvEvent.h"

namespace {

const char* const kSigCheckVMInfoError =
    "int CheckVMInfoError(IVMInfo*, MountCtx&, std::string&, EvMessageContainer&, vsJobMgr*, bool, bool, bool)";

constexpr int kCodeInterrupted = 4000;
constexpr int kSeverityDefault = 3;
constexpr int kSeverityMajor = 6;

// Codes of the disk reader's errors.
constexpr int32_t kVSErrorFromVMInfo = 10012;
constexpr int32_t kVSErrorNoResources = 10011;

constexpr uint32_t kEventShadowLost = 0x5B0000E2;
constexpr uint32_t kEventDiskReadFailed = 0x5B000071;
constexpr uint32_t kEventSanAccessCoordinator = 0x5B00012E;
constexpr uint32_t kEventSanAccessAgent = 0x5B00012F;

// What one classification decided.
struct Marks {
  bool fatal = false;
  bool retryable = false;
  bool notSupported = false;
  bool retried = false;  // code 255
  int severity = kSeverityDefault;
};

std::string DisplayName(const MountCtx& ctx) {
  if (!ctx.vmLabel.empty()) return ctx.vmLabel;
  if (!ctx.vmName.empty()) return ctx.vmName;
  if (!ctx.vmBasicInfos.empty()) return ctx.vmBasicInfos.front().vmName;
  return std::string();
}

bool IsSnapBackup(vsJobMgr* jobMgr) { return jobMgr != nullptr && jobMgr->isSnapBackup(); }
bool IsSnapToTape(vsJobMgr* jobMgr) { return jobMgr != nullptr && jobMgr->isSnapToTape(); }

// Applies the class of `code` to the marks and, where the class says so, to the flags, the text
// and the message. Codes without a class change nothing.
void Classify(int code, IVMInfo* vmInfo, vsJobMgr* jobMgr, bool coordinatorAgent, Marks& marks, bool& raiseEvent,
              bool& setPendingCause, std::string& errorText, EvMessageContainer& message, EvEvent& log) {
  switch (code) {
    case 7: {
      marks.severity = kSeverityMajor;
      bool vmware = vmInfo != nullptr && vsAppMgr::isServerTypeVMWare(vmInfo->GetInstanceType());
      if (vmware && IsSnapBackup(jobMgr))
        log.Debug(kSigCheckVMInfoError, "Not setting retry-able error for insufficient disk space");
      else
        marks.retryable = true;
      break;
    }
    case 11: case 80: case 81: case 85: case 87: case 92: case 95: case 150: case 289:
      setPendingCause = true;
      break;
    case 12: case 28: case 29: case 31: case 32: case 33: case 36: case 48: case 75: case 76: case 77: case 78:
    case 79: case 82: case 83: case 84: case 86: case 88: case 89: case 91: case 93: case 94: case 104: case 200:
    case 201: case 202: case 252:
      setPendingCause = true;
      marks.fatal = true;
      break;
    case 17: case 39: case 292:
      if (!IsSnapBackup(jobMgr) && !IsSnapToTape(jobMgr)) marks.retryable = true;
      if (IsSnapToTape(jobMgr)) errorText = "Snapshot not created during snap backup.  " + errorText;
      break;
    case 23: case 163: case 214: case 253: case 2003:
      marks.retryable = true;
      break;
    case 24: case 54: case 115: case 116: case 117: case 118: case 119: case 259: case 275: case 284:
      marks.severity = kSeverityMajor;
      break;
    case 30:
      setPendingCause = true;
      marks.fatal = true;
      if (jobMgr != nullptr && jobMgr->isCollectMetadataEnabled()) raiseEvent = true;
      break;
    case 74: case 109: case 110: case 122: case 146: case 147: case 185: case 235:
      setPendingCause = true;
      marks.severity = kSeverityMajor;
      break;
    case 101: case 102: case 103: case 105: case 106: case 107: case 108: case 114: case 120: case 121:
      setPendingCause = true;
      marks.fatal = true;
      marks.severity = kSeverityMajor;
      break;
    case 129: case 133: case 134: case 135: case 136: case 137: case 138: case 139: case 140: case 141: case 142:
    case 143: case 144: case 145: case 167: case 189: case 268:
      setPendingCause = true;
      marks.retryable = true;
      marks.severity = kSeverityMajor;
      break;
    case 169:
      if (IsSnapToTape(jobMgr)) {
        if (coordinatorAgent) {
          errorText =
              "Error opening virtual machine disks for SAN access.  Please ensure the Snap engine was able to "
              "present the datastore disks to the proxy.";
          message.SetMessageID(kEventSanAccessCoordinator, true);
        } else {
          errorText =
              "Error opening virtual machine disks for SAN access.  Please ensure the Snap engine was able to "
              "present the datastore disks to the proxy and that the Snap Engine supports presenting datastore "
              "disks to multiple proxies.";
          message.SetMessageID(kEventSanAccessAgent, true);
        }
      }
      break;
    case 205: case 224:
      marks.retryable = true;
      marks.severity = kSeverityMajor;
      break;
    case 243:
      setPendingCause = true;
      marks.retryable = true;
      break;
    case 255:
      marks.retried = true;
      break;
    case 290:
      if (jobMgr != nullptr) jobMgr->resetPendingCause();
      setPendingCause = true;
      break;
    case 293:
      marks.notSupported = true;
      break;
    default:
      break;
  }
}

int ResultOf(const Marks& marks) {
  if (marks.fatal) return kVMResultFatal;
  if (marks.retryable) return kVMResultRetryable;
  if (marks.notSupported) return kVMResultNotSupported;
  if (marks.retried) return kVMResultRetried;
  return kVMResultFailed;
}

}  // namespace

int CheckVMInfoError(IVMInfo* vmInfo, MountCtx& ctx, std::string& errorText, EvMessageContainer& message,
                     vsJobMgr* jobMgr, bool raiseEvent, bool setPendingCause, bool coordinatorAgent) {
  EvEvent log;
  int code = vmInfo != nullptr ? vmInfo->GetErrorCode() : 0;
  Marks marks;
  std::string name = DisplayName(ctx);

  if (jobMgr != nullptr && jobMgr->checkQuitFlag()) {
    log.Debug(kSigCheckVMInfoError, "Received job interruption flag(1)...");
    return kVMResultInterrupted;
  }
  if (vmInfo != nullptr) vmInfo->GetErrorReport(ctx, errorText, message);
  if (code == kCodeInterrupted) {
    log.Debug(kSigCheckVMInfoError, "VMInfo Received job interruption flag");
    return kVMResultInterrupted;
  }

  Classify(code, vmInfo, jobMgr, coordinatorAgent, marks, raiseEvent, setPendingCause, errorText, message, log);
  log.Error(kSigCheckVMInfoError, "VM [%s] %s", name.c_str(), errorText.c_str());

  if (message.GetMessageID() != 0) {
    if (raiseEvent) log.RaiseEvent(message, marks.severity == kSeverityMajor ? EvEvent::kMajor : EvEvent::kMinor);
    if (setPendingCause && jobMgr != nullptr) jobMgr->setPendingCause(message);
  }
  return ResultOf(marks);
}

int CheckJyNTFSError(CArchiveVirtualDiskFile* disk, const CPxError& error, IVMInfo* vmInfo, MountCtx& ctx,
                     std::string& errorText, EvMessageContainer& message, vsJobMgr* jobMgr, bool raiseEvent,
                     bool setPendingCause) {
  if (FXErrorUtil::IsVS(error, kVSErrorFromVMInfo))
    return CheckVMInfoError(vmInfo, ctx, errorText, message, jobMgr, raiseEvent, setPendingCause, false);

  std::string diskName = disk != nullptr ? disk->GetDisplayFileName() : std::string();
  std::string vmName = !ctx.vmLabel.empty() ? ctx.vmLabel : ctx.vmName;
  std::vector<std::string> arguments = {diskName, vmName, ctx.vmExtraText};
  uint32_t eventId = kEventDiskReadFailed;
  if (FXErrorUtil::IsErrNo(error, ENOENT) && ctx.instanceType == kInstanceTypeHyperV) {
    errorText = "The VSS shadow was lost while trying to read from the disk";
    eventId = kEventShadowLost;
  } else {
    std::string reason;
    if (FXErrorUtil::GetVS(error) == kVSErrorNoResources) {
      errorText = "Insufficient resources on the host to read the virtual disk.";
      reason = "Insufficient resources on the host";
    } else {
      errorText = "Could not read data from the virtual disk.";
      reason = error.AsString();
    }
    arguments.push_back(reason);
  }

  if (raiseEvent) {
    EvEvent event;
    for (const std::string& argument : arguments) event << argument;
    event.MinorEvent(eventId);
  }
  if (setPendingCause && jobMgr != nullptr) {
    for (const std::string& argument : arguments) jobMgr->getJobClient() << argument;
    jobMgr->setPendingCause(static_cast<int>(eventId));
  }
  return kVMResultDiskReadFailed;
}
