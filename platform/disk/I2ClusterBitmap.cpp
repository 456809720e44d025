#include "platform/disk/I2ClusterBitmap.h"

#include <cstdlib>

namespace I2 {
namespace {

bool IsPowerOfTwo(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

// A size of 0 is allowed: the size is then set when the first range is marked.
ClusterBitmap::ClusterBitmap(uint32_t clusterSize) : valid_(clusterSize == 0 || IsPowerOfTwo(clusterSize)),
                                                     clusterSize_(clusterSize) {}

ClusterBitmap::ClusterBitmap(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon > 10) return;
  uint64_t size = 0;
  for (size_t i = 0; i < colon; ++i) {
    if (text[i] < '0' || text[i] > '9') return;
    size = size * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  if (size > 0xFFFFFFFFu || !IsPowerOfTwo(size)) return;
  const size_t hexLength = text.size() - colon - 1;
  if (hexLength % 2 != 0) return;
  std::vector<uint8_t> bits;
  bits.reserve(hexLength / 2);
  for (size_t i = colon + 1; i < text.size(); i += 2) {
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return;
    bits.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  clusterSize_ = static_cast<uint32_t>(size);
  bits_ = std::move(bits);
  valid_ = true;
}

bool ClusterBitmap::IsBitmapSet() const {
  for (uint8_t byte : bits_)
    if (byte != 0) return true;
  return false;
}

std::string ClusterBitmap::ToString() const {
  if (!valid_) return std::string();
  static const char kHex[] = "0123456789abcdef";
  std::string text = std::to_string(clusterSize_) + ":";
  for (uint8_t byte : bits_) {
    text += kHex[byte >> 4];
    text += kHex[byte & 0xF];
  }
  return text;
}

}  // namespace I2
