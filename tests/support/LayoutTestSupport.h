#pragma once
// A VM-information object whose mount records a layout test gives instead of the lab's.
#include <vector>

#include "platform/vminfo/LabVMInfo.h"
#include "records/MountCtx.h"

namespace layouttest {

class RecordsVMInfo : public LabVMInfo {
 public:
  RecordsVMInfo() : LabVMInfo(101, "none") {}
  int GetMountInfoFull(const MountCtx&, std::vector<VMInfoStructs::SMountInfoFull>& mounts) override {
    mounts = records;
    return 1;
  }
  std::vector<VMInfoStructs::SMountInfoFull> records;
};

}  // namespace layouttest
