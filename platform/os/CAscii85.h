#pragma once
#include <cstddef>
#include <string>

// Ascii85 text of binary data (four bytes as five characters from '!' to 'u', a group of four zero
// bytes as 'z', a last partial group of n bytes as n + 1 characters), as the volume header of a disk
// is kept in its index metadata.
class CAscii85 {
 public:
  static constexpr int kOk = 0;
  static constexpr int kErrNoData = 1;

  // kOk with the text in `text`; kErrNoData (text untouched) without data.
  static int Encode(const void* data, size_t size, std::string& text);
  // False (text untouched) for a character outside the alphabet, a 'z' inside a group, a group of one
  // character or a group that overflows 32 bits.
  static bool Decode(const std::string& text, std::string& bytes);
};
