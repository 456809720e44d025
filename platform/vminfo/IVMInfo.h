#pragma once
#include <cstdint>
#include <string>

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
};
