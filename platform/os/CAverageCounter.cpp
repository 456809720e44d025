#include "platform/os/CAverageCounter.h"

#include <cstdio>

void CAverageCounter::Start() {
  m_running = true;
  m_startTicks = ZtClock::MonotonicTicks();
}

void CAverageCounter::Stop() {
  if (!m_running) return;
  m_running = false;
  m_totalTicks += ZtClock::MonotonicTicks() - m_startTicks;
  ++m_count;
}

void CAverageCounter::Reset() {
  m_running = false;
  m_startTicks = 0;
  m_totalTicks = 0;
  m_count = 0;
}

double CAverageCounter::AverageSeconds() const {
  if (m_count == 0) return 0.0;
  return CTimeInterval(m_totalTicks).AsSeconds() / static_cast<double>(m_count);
}

std::string CAverageCounter::Print() const {
  char line[512];
  std::snprintf(line, sizeof(line), "%s: %llu operations, %.6f s on average", m_name.c_str(),
                static_cast<unsigned long long>(m_count), AverageSeconds());
  return line;
}
