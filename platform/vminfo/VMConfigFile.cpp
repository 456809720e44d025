#include "platform/vminfo/VMConfigFile.h"

#include <map>

#include "platform/ev/EvDebug.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/os/CPxFile.h"

namespace {

// A value as one line: line breaks would start a new key.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return labkv::Trim(text);
}

}  // namespace

std::string VMConfigFile::Format(const VMInfoStructs::SVMInfo& info) {
  std::map<std::string, std::string> values;
  values["name"] = OneLine(info.field01);
  values["guid"] = OneLine(info.guid);
  values["host"] = OneLine(info.host);
  values["datastore"] = OneLine(info.datastore);
  values["location"] = OneLine(info.location);
  values["version"] = OneLine(info.version);
  values["toolsVersion"] = OneLine(info.toolsVersion);
  values["guestOSId"] = std::to_string(info.guestOS.field1);
  values["diskCount"] = std::to_string(info.disks.size());
  for (size_t i = 0; i < info.disks.size(); ++i) {
    const std::string prefix = "disk" + std::to_string(i) + ".";
    const VMInfoStructs::SDisk& disk = info.disks[i];
    values[prefix + "path"] = OneLine(disk.path);
    values[prefix + "datastore"] = OneLine(disk.datastore);
    values[prefix + "indexName"] = OneLine(disk.indexName);
    values[prefix + "maxSize"] = std::to_string(disk.maxSize);
  }
  return labkv::Format(values);
}

bool VMConfigFile::Save(const VMInfoStructs::SVMInfo& info) {
  static const char* const sig = "bool VMConfigFile::Save(const VMInfoStructs::SVMInfo&)";
  lab::FaultCall call;
  call.op = "vminfo.VMConfigFile.Save";
  call.vm = info.guid;
  lab::Fault fault;
  if (lab::CheckFault(call, fault)) {
    EvDebug::Error(sig, "Cannot write [%s]: %s", path_.c_str(), fault.text.c_str());
    return false;
  }
  CPxError error = CPxFile::WriteAll(path_, Format(info));
  if (error.IsError()) {
    EvDebug::Error(sig, "Cannot write [%s]: %s", path_.c_str(), error.AsString().c_str());
    return false;
  }
  return true;
}
