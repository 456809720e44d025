#pragma once
#include <string>

#include "platform/os/CPxError.h"

// Reader of one virtual disk of a VM. Only its identity is here so far: the name under which the
// disk appears in logs and job events.
class CArchiveVirtualDiskFile {
 public:
  CArchiveVirtualDiskFile() = default;
  explicit CArchiveVirtualDiskFile(const std::string& displayFileName) : displayFileName_(displayFileName) {}
  virtual ~CArchiveVirtualDiskFile() = default;
  CArchiveVirtualDiskFile(const CArchiveVirtualDiskFile&) = delete;
  CArchiveVirtualDiskFile& operator=(const CArchiveVirtualDiskFile&) = delete;

  const std::string& GetDisplayFileName() const { return displayFileName_; }
  void SetDisplayFileName(const std::string& name) { displayFileName_ = name; }

  // The reader reports the end of the disk with the disk layer's code 10002.
  static bool IsErrorEOF(const CPxError& error) { return FXErrorUtil::IsVS(error, 10002); }

 private:
  std::string displayFileName_;
};
