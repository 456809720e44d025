#pragma once

// Numeric casts without range checks: d gives a 32-bit int (plain truncation), lu an unsigned long.
namespace ztcast {

template <typename T>
inline int d(T value) {
  return static_cast<int>(value);
}

template <typename T>
inline unsigned long lu(T value) {
  return static_cast<unsigned long>(value);
}

}  // namespace ztcast
