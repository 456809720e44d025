#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

// Random access to the bytes of a guest disk or volume, for the guest parsers: fills `out` with
// `size` bytes at `offset`; false when they cannot be read (outside the disk, a read error). The
// parsers never read past what a source holds: every offset they ask for is checked against the
// size they were given first.
using GuestByteSource = std::function<bool(uint64_t offset, size_t size, char* out)>;

namespace guestdisk {

// Little-endian fields of on-disk structures.
inline uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Le64(const unsigned char* p) {
  return static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}

}  // namespace guestdisk
