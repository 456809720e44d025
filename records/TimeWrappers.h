#pragma once
#include <cstdint>
#include <string>

#include "platform/os/ThreadAnnotations.h"
#include "platform/os/ZtTime.h"
#include "records/ZtCriticalSection.h"

// Runs a stopwatch for the holder's scope.
class AutoStopWatch {
 public:
  explicit AutoStopWatch(CStopWatch& watch) : m_watch(watch) { m_watch.Start(); }
  ~AutoStopWatch() { m_watch.Stop(); }
  AutoStopWatch(const AutoStopWatch&) = delete;
  AutoStopWatch& operator=(const AutoStopWatch&) = delete;

 private:
  CStopWatch& m_watch;
};

// A speed counter that several streams (threads) update at once.
class CMultiStreamMediaSpeedCounter : public CMediaSpeedCounter {
 public:
  CMultiStreamMediaSpeedCounter() = default;
  explicit CMultiStreamMediaSpeedCounter(const std::string& name) : CMediaSpeedCounter(name) {}
  ~CMultiStreamMediaSpeedCounter() override = default;

  void Start() override;
  void Stop(uint64_t bytes) override;
  void Add(uint64_t bytes) override;
  void Reset() override;
  uint64_t Size() const override;
  CTimeInterval BusyTime() const override;
  double BytesPerSecond() const override;
  std::string Print() const override;

 private:
  // Guards every figure of the base class; recursive, so the figures read together stay
  // consistent when one override calls another.
  mutable ZtCriticalSection m_lock;
};
