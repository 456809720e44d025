#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The Linux file-system reader of the volume library, of which the backup uses one thing: the
// check whether a volume holds a file system it knows (ext2, ext3 or ext4, told by the superblock).
// Bytes come through a read callback: (context, buffer, length, offset) -> bytes read.

// What the reader throws when the volume holds nothing it can read.
class RDFDException {
 public:
  explicit RDFDException(std::string message) : message_(std::move(message)) {}
  const std::string& GetErrorMsg() const { return message_; }

 private:
  std::string message_;
};

class ReadExt3DirFromDevice {
 public:
  using ReadCallback = int (*)(void* context, char* buffer, uint32_t length, uint64_t offset);
  using QuitCallback = int (*)(int, void*, void*);

  ReadExt3DirFromDevice(ReadCallback read, void* context, QuitCallback quit, int quitArg, void* quitData,
                        uint64_t startOffset, bool verbose, uint32_t cacheBytes, uint32_t sectorSize,
                        const std::vector<std::string>* names);
  virtual ~ReadExt3DirFromDevice() = default;

  // Returns when the volume holds ext2, ext3 or ext4 (supported true, type its name); throws
  // RDFDException otherwise (supported false, type left as it was).
  virtual void CheckFileSystem(int flags, bool& supported, std::string& type);

 private:
  ReadCallback read_;
  void* context_;
  uint64_t startOffset_;
};
