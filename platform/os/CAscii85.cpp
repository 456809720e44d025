#include "platform/os/CAscii85.h"

#include <cstdint>

int CAscii85::Encode(const void* data, size_t size, std::string& text) {
  if (data == nullptr || size == 0) return kErrNoData;
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  std::string out;
  out.reserve(size / 4 * 5 + 5);
  for (size_t at = 0; at < size; at += 4) {
    const size_t group = size - at < 4 ? size - at : 4;
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value = (value << 8) | (i < group ? bytes[at + i] : 0);
    if (value == 0 && group == 4) {
      out.push_back('z');
      continue;
    }
    char digits[5];
    for (int i = 4; i >= 0; --i) {
      digits[i] = static_cast<char>('!' + value % 85);
      value /= 85;
    }
    out.append(digits, group + 1);
  }
  text.swap(out);
  return kOk;
}

bool CAscii85::Decode(const std::string& text, std::string& bytes) {
  std::string out;
  uint64_t value = 0;
  size_t count = 0;
  auto flush = [&](size_t digits) {
    for (size_t i = digits; i < 5; ++i) value = value * 85 + 84;  // pad with 'u'
    if (value > UINT32_MAX) return false;
    for (size_t i = 0; i + 1 < digits; ++i) out.push_back(static_cast<char>((value >> (24 - 8 * i)) & 0xFF));
    value = 0;
    count = 0;
    return true;
  };
  for (char c : text) {
    if (c == 'z' && count == 0) {
      out.append(4, '\0');
      continue;
    }
    if (c < '!' || c > 'u') return false;
    value = value * 85 + static_cast<uint64_t>(c - '!');
    if (++count == 5 && !flush(5)) return false;
  }
  if (count == 1 || (count > 0 && !flush(count))) return false;
  bytes.swap(out);
  return true;
}
