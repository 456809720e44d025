#include "platform/os/ZtTime.h"

#include <cstdio>

std::atomic<long long> ZtClock::s_testOffsetTicks{0};

long long ZtClock::NowTicks() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  long long ticks = static_cast<long long>(ts.tv_sec) * kZtTicksPerSecond + ts.tv_nsec / 100;
  return ticks + s_testOffsetTicks.load(std::memory_order_relaxed);
}

time_t ZtClock::NowSeconds() { return static_cast<time_t>(NowTicks() / kZtTicksPerSecond); }

void ZtClock::AdvanceForTest(CTimeInterval by) {
  s_testOffsetTicks.fetch_add(by.Ticks(), std::memory_order_relaxed);
}

void ZtClock::ResetTestOffset() { s_testOffsetTicks.store(0, std::memory_order_relaxed); }

CTimeStamp& CTimeStamp::Now() {
  m_ticks = ZtClock::NowTicks();
  return *this;
}

void CStopWatch::Start() {
  if (m_running) return;
  m_running = true;
  m_startTicks = ZtClock::NowTicks();
}

void CStopWatch::Stop() {
  if (!m_running) return;
  m_running = false;
  m_totalTicks += ZtClock::NowTicks() - m_startTicks;
}

void CStopWatch::Reset() {
  m_running = false;
  m_startTicks = 0;
  m_totalTicks = 0;
}

CTimeInterval CStopWatch::Elapsed() const {
  long long total = m_totalTicks;
  if (m_running) total += ZtClock::NowTicks() - m_startTicks;
  return CTimeInterval(total);
}

void CMediaSpeedCounter::Start() {
  if (m_openSpans++ == 0) m_spanStartTicks = ZtClock::NowTicks();
}

void CMediaSpeedCounter::Stop(uint64_t bytes) {
  m_size += bytes;
  if (m_openSpans == 0) return;  // a Stop without its Start only counts the bytes
  if (--m_openSpans == 0) m_busyTicks += ZtClock::NowTicks() - m_spanStartTicks;
}

void CMediaSpeedCounter::Add(uint64_t bytes) { m_size += bytes; }

void CMediaSpeedCounter::Reset() {
  m_size = 0;
  m_openSpans = 0;
  m_spanStartTicks = 0;
  m_busyTicks = 0;
}

CTimeInterval CMediaSpeedCounter::BusyTime() const {
  long long busy = m_busyTicks;
  if (m_openSpans > 0) busy += ZtClock::NowTicks() - m_spanStartTicks;
  return CTimeInterval(busy);
}

double CMediaSpeedCounter::BytesPerSecond() const {
  double seconds = BusyTime().AsSeconds();
  return seconds > 0 ? static_cast<double>(Size()) / seconds : 0.0;
}

std::string CMediaSpeedCounter::Print() const {
  char line[512];
  std::snprintf(line, sizeof(line), "%s: %llu bytes in %.3f s, %.1f bytes/s", m_name.c_str(),
                static_cast<unsigned long long>(Size()), BusyTime().AsSeconds(), BytesPerSecond());
  return line;
}
