#pragma once
#include <cstdint>
#include <string>

#include "platform/os/ZtTime.h"

// Times repeated operations (opening files, table look-ups) and gives their count and average time.
// Belongs to one thread.
class CAverageCounter {
 public:
  CAverageCounter() = default;
  explicit CAverageCounter(const std::string& name) : m_name(name) {}

  // A Start while running restarts the current operation.
  void Start();
  // Ends the current operation; a Stop without a Start counts nothing.
  void Stop();
  void Reset();
  uint64_t Count() const { return m_count; }
  CTimeInterval Total() const { return CTimeInterval(m_totalTicks); }
  // Average time per operation in seconds; 0 before the first one.
  double AverageSeconds() const;
  // One readable line: name, count and average.
  std::string Print() const;

  void SetName(const std::string& name) { m_name = name; }
  const std::string& Name() const { return m_name; }

 private:
  std::string m_name;
  bool m_running = false;
  long long m_startTicks = 0;
  long long m_totalTicks = 0;
  uint64_t m_count = 0;
};
