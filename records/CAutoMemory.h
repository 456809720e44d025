#pragma once
#include <cstddef>
#include <cstdlib>
#include <limits>

// A reusable buffer of T. Allocate keeps the buffer when it is big enough; the size is what is in
// use, the capacity what is allocated. Without the auto-release flag the buffer outlives the
// object unless Release() is called.
template <typename T>
class CAutoMemory {
 public:
  explicit CAutoMemory(bool autoRelease = true) : m_autoRelease(autoRelease) {}
  ~CAutoMemory() {
    if (m_autoRelease) Release();
  }
  CAutoMemory(const CAutoMemory&) = delete;
  CAutoMemory& operator=(const CAutoMemory&) = delete;

  // n = 0: nothing in use, null returned, the buffer kept for later. n within the capacity: the
  // same buffer. Otherwise a new buffer of n elements (null, and nothing held, when that fails).
  T* Allocate(size_t n) {
    if (n == 0) {
      m_size = 0;
      return nullptr;
    }
    if (m_ptr != nullptr && n <= m_capacity) {
      m_size = n;
      return m_ptr;
    }
    Release();
    // No object may be larger than the largest pointer difference.
    if (n > static_cast<size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(T)) return nullptr;
    m_ptr = static_cast<T*>(std::malloc(n * sizeof(T)));
    if (m_ptr == nullptr) return nullptr;
    m_size = m_capacity = n;
    return m_ptr;
  }

  void Release() {
    if (m_ptr == nullptr) return;
    std::free(m_ptr);
    m_ptr = nullptr;
    m_capacity = 0;
    m_size = 0;
  }

  T* Ptr() { return m_size == 0 ? nullptr : m_ptr; }
  const T* Ptr() const { return m_size == 0 ? nullptr : m_ptr; }
  size_t Size() const { return m_size; }
  size_t SizeInBytes() const { return m_size * sizeof(T); }
  size_t Capacity() const { return m_capacity; }
  T& operator[](size_t i) { return Ptr()[i]; }
  const T& operator[](size_t i) const { return Ptr()[i]; }

 private:
  size_t m_capacity = 0;
  T* m_ptr = nullptr;
  size_t m_size = 0;
  bool m_autoRelease;
};
