#include "platform/os/CPxCRC32.h"

#include <zlib.h>

#include <climits>

void CPxCRC32::UpdateCRC32(const void* data, size_t size) {
  if (data == nullptr || size == 0) return;
  // zlib keeps its value un-inverted; this class keeps the register, so convert both ways.
  uLong crc = ~m_value & 0xFFFFFFFFu;
  const Bytef* bytes = static_cast<const Bytef*>(data);
  while (size > 0) {
    uInt piece = size > UINT_MAX ? UINT_MAX : static_cast<uInt>(size);
    crc = crc32(crc, bytes, piece);
    bytes += piece;
    size -= piece;
  }
  m_value = ~static_cast<uint32_t>(crc);
}
