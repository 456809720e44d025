#pragma once
#include <cstdint>
#include <string>

namespace I2 {

// Processed extents kept as text, six extents per character: extent 6k + r sets bit (6 - r) of
// character k, and bit 0 is always set, so every character lies between 0x01 and 0x7F.
class VSABitMap {
 public:
  VSABitMap() = default;

  // False (nothing changed) for a negative extent number or when the text cannot grow that far.
  bool set(int64_t extent);
  std::string getBitMapStr() const { return m_bits; }
  const std::string& getName() const { return m_name; }

 private:
  std::string m_bits;
  std::string m_name = "ExtentBitmap";
  [[maybe_unused]] int64_t m_first = 0;   // kept for the record's layout; unused here
  [[maybe_unused]] int64_t m_second = 0;
};

}  // namespace I2
