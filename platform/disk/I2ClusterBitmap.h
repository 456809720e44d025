#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace I2 {

// One bit per cluster of a disk region, as the disk library hands it around: built empty for a
// cluster size, or from its text form "<cluster size in bytes>:<bitmap bytes in hex>". A text that
// does not parse, or names a cluster size that is not a power of two, makes a bitmap that says it is
// not valid.
class ClusterBitmap {
 public:
  explicit ClusterBitmap(uint32_t clusterSize);
  explicit ClusterBitmap(const std::string& text);

  bool IsValidBitmap() const { return valid_; }
  uint32_t GetClusterSize() const { return clusterSize_; }
  // Whether any cluster is marked.
  bool IsBitmapSet() const;
  // A bitmap made with cluster size 0 takes its size here (a power of two).
  void SetClusterSize(uint32_t clusterSize);
  // Marks the clusters that hold any byte of [offset, offset + length) of the region. False (nothing
  // marked) for a bitmap that is not valid or has no cluster size yet, or a range past 2^40 bytes.
  bool Set(uint64_t offset, uint64_t length);
  // Whether the cluster that holds the byte at `offset` is marked.
  bool IsSet(uint64_t offset) const;
  // The text form above; empty for a bitmap that is not valid.
  std::string ToString() const;

 private:
  bool valid_ = false;
  uint32_t clusterSize_ = 0;
  std::vector<uint8_t> bits_;
};

}  // namespace I2
