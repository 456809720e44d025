#pragma once
#include <string>

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

 private:
  std::string displayFileName_;
};
