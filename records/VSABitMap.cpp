#include "records/VSABitMap.h"

#include <exception>

namespace I2 {

bool VSABitMap::set(int64_t extent) {
  if (extent < 0) return false;
  const uint64_t index = static_cast<uint64_t>(extent / 6);
  const int bit = static_cast<int>(extent - 6 * (extent / 6));
  if (m_bits.size() < index + 1) {
    // An extent number too large for memory leaves the bitmap as it was instead of ending the job.
    if (index >= m_bits.max_size()) return false;
    try {
      m_bits.resize(index + 1, '\x01');
    } catch (const std::exception&) {
      return false;
    }
  }
  m_bits[index] = static_cast<char>(static_cast<unsigned char>(m_bits[index]) | (1u << (6 - bit)));
  return true;
}

}  // namespace I2
