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

void ClusterBitmap::SetClusterSize(uint32_t clusterSize) {
  if (clusterSize_ != 0 || !IsPowerOfTwo(clusterSize)) return;
  clusterSize_ = clusterSize;
}

bool ClusterBitmap::Set(uint64_t offset, uint64_t length) {
  constexpr uint64_t kLimit = 1ULL << 40;
  if (!valid_ || clusterSize_ == 0 || length == 0 || offset >= kLimit || length > kLimit - offset) return false;
  const uint64_t first = offset / clusterSize_, last = (offset + length - 1) / clusterSize_;
  if (bits_.size() < last / 8 + 1) bits_.resize(static_cast<size_t>(last / 8 + 1), 0);
  for (uint64_t cluster = first; cluster <= last; ++cluster)
    bits_[static_cast<size_t>(cluster / 8)] |= static_cast<uint8_t>(1u << (cluster % 8));
  return true;
}

bool ClusterBitmap::IsSet(uint64_t offset) const {
  if (!valid_ || clusterSize_ == 0) return false;
  const uint64_t cluster = offset / clusterSize_;
  return cluster / 8 < bits_.size() && ((bits_[static_cast<size_t>(cluster / 8)] >> (cluster % 8)) & 1) != 0;
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
