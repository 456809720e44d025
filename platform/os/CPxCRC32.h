#pragma once
#include <cstddef>
#include <cstdint>

// The standard CRC-32 (the one of zlib, Ethernet and PNG): "123456789" gives 0xCBF43926.
class CPxCRC32 {
 public:
  CPxCRC32() : m_value(0xFFFFFFFFu) {}
  void Reset() { m_value = 0xFFFFFFFFu; }
  void UpdateCRC32(const void* data, size_t size);
  uint32_t GetCRC32() const { return ~m_value; }

 private:
  uint32_t m_value;  // running register, kept inverted as the algorithm defines it
};
