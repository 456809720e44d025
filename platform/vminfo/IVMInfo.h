#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ev/EvMessageContainer.h"
#include "records/MountCtx.h"
#include "records/VMInfoStructs.h"

// A connection of the VM-information library to one hypervisor or cloud instance. One object per
// user; an object is not shared between threads without the owner's lock.
//
// Operations that can fail return non-zero on success and 0 on failure; after a failure
// GetErrorCode gives the library's code of it and GetErrorReport its text and job event.
class IVMInfo {
 public:
  IVMInfo() = default;
  virtual ~IVMInfo() = default;
  IVMInfo(const IVMInfo&) = delete;
  IVMInfo& operator=(const IVMInfo&) = delete;

  // A new object for the instance type (owned by the caller, released with DeleteObject); null when
  // no library serves that type.
  static IVMInfo* CreateObject(int instanceType);
  static void DeleteObject(IVMInfo* object);

  // The code of the last failure; 0 when nothing has failed.
  virtual int GetErrorCode() = 0;
  // The text and job event of the last failure, for the VM the mount context names. The event has
  // message id 0 when the failure has no job event.
  virtual void GetErrorReport(MountCtx& ctx, std::string& text, EvMessageContainer& message) = 0;
  // The instance type the object serves.
  virtual int GetInstanceType() = 0;
  // The record of a hypervisor host.
  virtual int GetHostInfo(const std::string& hostName, VMInfoStructs::SHostInfo& info, uint64_t mask,
                          int flags) = 0;

  // ---- The proxy's own view, asked by the agent controller ----
  // Mask for GetHostInfo with an empty host name: the host the calling proxy runs on.
  static constexpr uint64_t kLocalHostMask = 0x2000000;
  // The inventory record of the VM the calling proxy is; 0 when the proxy is not a VM.
  virtual int GetProxyVMInfo(VMInfoStructs::SVMInfo& info, int flags, int reserved) = 0;
  // How many streams the hypervisor lets this proxy run at once; 0 means no limit.
  virtual int GetStreamLimit() = 0;
  // The datastores this proxy reaches; non-zero on success.
  virtual int GetDatastoreList(std::vector<VMInfoStructs::SDatastoreInfo>& datastores) = 0;
  // Lets go of what the object keeps between requests (sessions, caches); it may be used again.
  virtual void ReleaseSession() = 0;
  // Attaches to the shared shadow the context names (MountCtx::sharedShadowText1/2); 0 when the
  // proxy cannot, and then backs up from a shadow of its own.
  virtual int AttachSharedShadow(MountCtx& ctx) = 0;
};
