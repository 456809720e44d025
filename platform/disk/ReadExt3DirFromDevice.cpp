#include "platform/disk/ReadExt3DirFromDevice.h"

#include "platform/disk/GuestByteSource.h"

namespace {
constexpr uint64_t kSuperblockOffset = 1024;
constexpr uint16_t kExtMagic = 0xEF53;
constexpr uint32_t kCompatHasJournal = 0x0004;
constexpr uint32_t kIncompatExtents = 0x0040;
constexpr uint32_t kIncompat64Bit = 0x0080;
constexpr uint32_t kIncompatFlexBg = 0x0200;
}  // namespace

ReadExt3DirFromDevice::ReadExt3DirFromDevice(ReadCallback read, void* context, QuitCallback, int, void*,
                                             uint64_t startOffset, bool, uint32_t, uint32_t,
                                             const std::vector<std::string>*)
    : read_(read), context_(context), startOffset_(startOffset) {}

void ReadExt3DirFromDevice::CheckFileSystem(int, bool& supported, std::string& type) {
  supported = false;
  unsigned char superblock[1024];
  if (read_ == nullptr ||
      read_(context_, reinterpret_cast<char*>(superblock), sizeof(superblock), startOffset_ + kSuperblockOffset) !=
          static_cast<int>(sizeof(superblock)))
    throw RDFDException("cannot read the superblock");
  if (guestdisk::Le16(superblock + 56) != kExtMagic) throw RDFDException("no ext2/3/4 superblock");
  const uint32_t compat = guestdisk::Le32(superblock + 92);
  const uint32_t incompat = guestdisk::Le32(superblock + 96);
  supported = true;
  if (incompat & (kIncompatExtents | kIncompat64Bit | kIncompatFlexBg))
    type = "ext4";
  else if (compat & kCompatHasJournal)
    type = "ext3";
  else
    type = "ext2";
}
