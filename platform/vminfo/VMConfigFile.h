#pragma once
#include <string>

#include "records/VMInfoStructs.h"

// The generalized configuration file of a VM, written from its inventory record: key=value lines of
// the record's named fields and of each disk (platform/lab/LabKeyValue.h reads them back). Fault
// table operation: "vminfo.VMConfigFile.Save".
class VMConfigFile {
 public:
  explicit VMConfigFile(const std::string& path) : path_(path) {}

  // Replaces the file; false when it cannot be written (nothing is then left at the path).
  bool Save(const VMInfoStructs::SVMInfo& info);
  // The file's text for the record.
  static std::string Format(const VMInfoStructs::SVMInfo& info);

 private:
  const std::string path_;
};
