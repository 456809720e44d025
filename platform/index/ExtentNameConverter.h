#pragma once
#include <cstdint>
#include <string>

// The fixed-length names of a disk's extents in the backup stream and in the index: an extent number
// written as 13 base-32 digits ("0"-"9" then "A"-"V", most significant first), so that every name of a
// disk has the same length and names sort in extent order.
class ExtentNameConverter {
 public:
  static constexpr size_t kDigits = 13;

  // The fixed-length name of the extent: the last part of its item name.
  static std::string GetFilePath(uint64_t extentNumber);
  static std::string Extent_dec_to_base32(uint64_t number);
  // False for a text that is not kDigits base-32 digits (either case) or exceeds 64 bits.
  static bool Extent_base32_to_dec(const std::string& text, uint64_t& number);
  // The extent number of an item name ("\<guid>\<disk>\<fixed-length name>") from the part after its
  // last back-slash; false when that part is no fixed-length name.
  static bool GetExtentNumberFromFileName(const std::string& name, uint64_t& number);
};
