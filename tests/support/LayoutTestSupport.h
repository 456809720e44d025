#pragma once
// VM-information objects whose mount records or mounted volumes a layout test gives instead of the
// lab's, and a volume as the library lists it.
#include <string>
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

class VolumesVMInfo : public LabVMInfo {
 public:
  explicit VolumesVMInfo(int instanceType = 101, const std::string& server = "none")
      : LabVMInfo(instanceType, server) {}
  int GetMountedVolumes(const MountCtx&, std::vector<VMInfoStructs::SMountInfoFile>& found) override {
    found = volumes;
    return 1;
  }
  std::vector<VMInfoStructs::SMountInfoFile> volumes;
};

// A volume "C:" of the given GUID text, mounted at the given device.
inline VMInfoStructs::SMountInfoFile Volume(const std::string& guid, const std::string& device) {
  VMInfoStructs::SMountInfoFile volume;
  volume.guidPath = "\\\\?\\Volume{" + guid + "}\\";
  volume.volumeName = device + "/";
  volume.displayName = "C:";
  return volume;
}

}  // namespace layouttest
