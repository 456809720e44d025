#include "platform/os/ZtTime.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/os/ZtMutex.h"

namespace {

enum class Mode { kReal, kVirtual, kScaled };

// How the clock reads, replaced as a whole when the mode changes. Outside real time the clock counts
// from the moment of the change: then it read clockAnchor (monotonic) and wallAnchor (wall), and the
// real monotonic clock read realAnchor.
struct Params {
  Mode mode = Mode::kReal;
  double factor = 1.0;
  long long realAnchor = 0;
  long long clockAnchor = 0;
  long long wallAnchor = 0;
};

long long ReadOsClock(clockid_t id) {
  struct timespec ts;
  clock_gettime(id, &ts);
  return static_cast<long long>(ts.tv_sec) * kZtTicksPerSecond + ts.tv_nsec / 100;
}

// Readers take the current Params without a lock; replaced ones are kept (a handful per test run),
// so a reader never holds a freed one.
const Params kRealParams{};
std::atomic<const Params*> g_params{&kRealParams};
// Ticks added by AdvanceForTest, to both readings.
std::atomic<long long> g_offset{0};

// The monotonic reading without the test offset.
long long BaseTicks(const Params& p) {
  switch (p.mode) {
    case Mode::kReal:
      return ReadOsClock(CLOCK_MONOTONIC);
    case Mode::kVirtual:
      return p.clockAnchor;
    case Mode::kScaled:
      return p.clockAnchor +
             static_cast<long long>(static_cast<double>(ReadOsClock(CLOCK_MONOTONIC) - p.realAnchor) * p.factor);
  }
  return 0;
}

long long WallBaseTicks(const Params& p) {
  if (p.mode == Mode::kReal) return ReadOsClock(CLOCK_REALTIME);
  return p.wallAnchor + (BaseTicks(p) - p.clockAnchor);
}

long long AddSaturated(long long a, long long b) {
  long long sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return b < 0 ? LLONG_MIN : LLONG_MAX;
  return sum;
}

}  // namespace

// A thread that waits on ZtConditions, as the clock sees it. Kept alive by the thread and by an
// advance that waits for it.
struct ZtClock::WaitingThread : std::enable_shared_from_this<ZtClock::WaitingThread> {
  uint64_t waitsBegun = 0;  // guarded by the registry's mutex
  bool ended = false;       // guarded by the registry's mutex
};

namespace {

// The waits in progress, timed ones by deadline, and what AdvanceForTest needs to step through them.
struct Registry {
  std::mutex mutex;
  std::condition_variable changed;  // a wait began or ended, or a thread ended
  std::multimap<long long, ZtClock::Registration*> waits;
  std::vector<std::unique_ptr<Params>> retired;  // every Params ever published
  std::mutex advanceMutex;                        // one advance at a time
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // never destroyed: waits of any lifetime use it
  return *registry;
}

// Marks the thread's state ended when the thread ends, so that an advance waiting for it goes on.
struct ThreadMark {
  std::shared_ptr<ZtClock::WaitingThread> state = std::make_shared<ZtClock::WaitingThread>();
  ~ThreadMark() {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    state->ended = true;
    registry.changed.notify_all();
  }
};

ZtClock::WaitingThread* CurrentThread() {
  thread_local ThreadMark mark;
  return mark.state.get();
}

// REQUIRES: registry.mutex held.
void WakeAllLocked(Registry& registry) {
  for (auto& item : registry.waits) item.second->waiter->WakeForClock();
}

// Wakes the timed waits due at `now` that no advance has woken yet; returns their threads with the
// number of waits each had begun. REQUIRES: registry.mutex held.
using WokenThreads = std::vector<std::pair<std::shared_ptr<ZtClock::WaitingThread>, uint64_t>>;

WokenThreads WakeDueLocked(Registry& registry, long long now) {
  WokenThreads woken;
  for (auto& item : registry.waits) {
    if (item.first > now) break;
    ZtClock::Registration& wait = *item.second;
    if (wait.woken) continue;
    wait.woken = true;
    woken.emplace_back(wait.thread->shared_from_this(), wait.thread->waitsBegun);
    wait.waiter->WakeForClock();
  }
  return woken;
}

// Publishes new Params continuing the current readings. REQUIRES: registry.mutex held.
void SwitchLocked(Registry& registry, Mode mode, double factor) {
  const Params& old = *g_params.load(std::memory_order_acquire);
  auto next = std::make_unique<Params>();
  next->mode = mode;
  next->factor = factor;
  next->realAnchor = ReadOsClock(CLOCK_MONOTONIC);
  next->clockAnchor = BaseTicks(old);
  next->wallAnchor = WallBaseTicks(old);
  g_params.store(next.get(), std::memory_order_release);
  registry.retired.push_back(std::move(next));
  WakeAllLocked(registry);
}

}  // namespace

long long ZtClock::NowTicks() {
  return WallBaseTicks(*g_params.load(std::memory_order_acquire)) + g_offset.load(std::memory_order_acquire);
}

time_t ZtClock::NowSeconds() { return static_cast<time_t>(NowTicks() / kZtTicksPerSecond); }

long long ZtClock::MonotonicTicks() {
  return BaseTicks(*g_params.load(std::memory_order_acquire)) + g_offset.load(std::memory_order_acquire);
}

long long ZtClock::DeadlineAfter(CTimeInterval interval) {
  const long long now = MonotonicTicks();
  if (interval.Ticks() <= 0) return now;
  const long long deadline = AddSaturated(now, interval.Ticks());
  return deadline == LLONG_MAX ? kNoDeadline : deadline;
}

long long ZtClock::RealDeadlineAfter(CTimeInterval interval) {
  const Params& p = *g_params.load(std::memory_order_acquire);
  if (p.mode != Mode::kScaled || interval.Ticks() <= 0) return DeadlineAfter(interval);
  const double ticks = static_cast<double>(interval.Ticks()) * p.factor;
  if (ticks >= static_cast<double>(LLONG_MAX)) return kNoDeadline;
  return DeadlineAfter(CTimeInterval(static_cast<long long>(ticks)));
}

void ZtClock::UseRealTime() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  g_params.store(&kRealParams, std::memory_order_release);
  g_offset.store(0, std::memory_order_release);
  WakeAllLocked(registry);
}

void ZtClock::UseVirtualTimeForTest() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  SwitchLocked(registry, Mode::kVirtual, 1.0);
}

bool ZtClock::UseScaledTime(double factor) {
  if (!(factor >= 1.0 && factor <= kMaxTimeScale)) return false;  // also NaN
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  // A factor of 1 from another mode runs at the real rate but on from the current reading, so that
  // the clock does not jump.
  if (factor != 1.0 || g_params.load(std::memory_order_acquire)->mode != Mode::kReal) {
    SwitchLocked(registry, Mode::kScaled, factor);
  }
  return true;
}

bool ZtClock::IsVirtualTime() { return g_params.load(std::memory_order_acquire)->mode == Mode::kVirtual; }

void ZtClock::AdvanceForTest(CTimeInterval by) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> serial(registry.advanceMutex);
  std::unique_lock<std::mutex> lock(registry.mutex);
  long long remaining = by.Ticks();
  if (remaining <= 0 || !IsVirtualTime()) {
    g_offset.fetch_add(remaining, std::memory_order_acq_rel);
    return;
  }
  while (remaining > 0) {
    // Up to the earliest deadline not woken yet, or all the way.
    long long now = MonotonicTicks();
    long long step = remaining;
    for (auto& item : registry.waits) {
      if (item.second->woken) continue;
      step = std::min(step, std::max(0LL, item.first - now));
      break;
    }
    g_offset.fetch_add(step, std::memory_order_acq_rel);
    remaining -= step;
    const auto woken = WakeDueLocked(registry, MonotonicTicks());
    // What a woken thread does next happens at this time, before any later deadline: the clock moves
    // on once each has begun its next wait or ended. One that cannot get there (it needs a lock the
    // caller holds, or waits on something else) is left behind after a second of real time rather than
    // hanging the test.
    registry.changed.wait_for(lock, std::chrono::seconds(1), [&woken] {
      for (const auto& item : woken) {
        if (!item.first->ended && item.first->waitsBegun == item.second) return false;
      }
      return true;
    });
  }
}

void ZtClock::ResetTestOffset() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  g_offset.store(0, std::memory_order_release);
  WakeAllLocked(registry);
}

ZtClock::Registration::Registration(long long deadline, ZtClockWaiter* waiter) : deadline(deadline), waiter(waiter) {
  if (!IsVirtualTime()) return;
  thread = CurrentThread();
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  ++thread->waitsBegun;
  if (deadline != kNoDeadline) registry.waits.emplace(deadline, this);
  registry.changed.notify_all();
}

ZtClock::Registration::~Registration() {
  if (thread == nullptr || deadline == kNoDeadline) return;
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto range = registry.waits.equal_range(deadline);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == this) {
      registry.waits.erase(it);
      break;
    }
  }
  registry.changed.notify_all();
}

bool ZtClock::WaitForTimedWaitersForTest(size_t count) {
  Registry& registry = TheRegistry();
  std::unique_lock<std::mutex> lock(registry.mutex);
  return registry.changed.wait_for(lock, std::chrono::minutes(1),
                                   [&registry, count] { return registry.waits.size() >= count; });
}

long long ZtClock::RealNanosUntil(long long deadline, long long now) {
  constexpr long long kHourNanos = 3600LL * 1000 * 1000 * 1000;
  const Params& p = *g_params.load(std::memory_order_acquire);
  if (deadline == kNoDeadline || p.mode == Mode::kVirtual) return -1;
  if (deadline <= now) return 0;
  const long long ticks = deadline - now;
  if (ticks > kHourNanos / 100) return kHourNanos;
  double nanos = static_cast<double>(ticks) * 100.0;
  if (p.mode == Mode::kScaled) nanos /= p.factor;
  return std::max(1LL, static_cast<long long>(std::ceil(nanos)));
}

void ZtClock::Sleep(CTimeInterval interval) {
  const long long deadline = DeadlineAfter(interval);
  ZtMutex mutex;
  ZtCondition never;  // nobody notifies it: only the clock ends the wait
  ZtMutexLock lock(mutex);
  while (never.wait_until(mutex, deadline) != std::cv_status::timeout) {
  }
}

void ZtClock::Pause(long long deadline, int realSliceMs) {
  ZtMutex mutex;
  ZtCondition never;
  ZtMutexLock lock(mutex);
  never.wait_until(mutex, deadline, std::max(1, realSliceMs));
}

int ZtClock::PollMs(long long deadline, int realSliceMs) {
  const long long now = MonotonicTicks();
  if (now >= deadline) return 0;
  const int slice = std::max(1, realSliceMs);
  const long long nanos = RealNanosUntil(deadline, now);
  if (nanos < 0) return slice;
  return static_cast<int>(std::min<long long>(slice, (nanos + 999999) / 1000000));
}

// ---------------------------------------------------------------------------------------------
// ZtCondition

ZtCondition::ZtCondition() {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&cv_, &attr);
  pthread_condattr_destroy(&attr);
}

ZtCondition::~ZtCondition() {
  pthread_cond_destroy(&cv_);
  pthread_mutex_destroy(&inner_);
}

// A notification is a count of waiters allowed to return, so that the signal can be given after the
// mutex is let go (a woken waiter does not block on it at once). Every notification begins a new
// generation, and only waiters of an earlier one may take it; as the signal could wake a waiter that
// may not, every waiter is woken and those that may not wait again.
void ZtCondition::notify_one() {
  pthread_mutex_lock(&inner_);
  const bool release = released_ < waiters_;
  if (release) {
    ++released_;
    BeginGenerationLocked();
  }
  pthread_mutex_unlock(&inner_);
  if (release) pthread_cond_broadcast(&cv_);
}

void ZtCondition::notify_all() {
  pthread_mutex_lock(&inner_);
  const bool release = waiters_ > 0;
  if (release) {
    released_ = waiters_;
    BeginGenerationLocked();
  }
  pthread_mutex_unlock(&inner_);
  if (release) pthread_cond_broadcast(&cv_);
}

void ZtCondition::WakeForClock() {
  // Taking the mutex orders this wake after a waiter's look at the clock, so it cannot be lost.
  pthread_mutex_lock(&inner_);
  pthread_mutex_unlock(&inner_);
  pthread_cond_broadcast(&cv_);
}

void ZtCondition::BeginGenerationLocked() {
  ++generation_;
  waitersOfThisGeneration_ = 0;
}

uint64_t ZtCondition::LockInner() {
  pthread_mutex_lock(&inner_);
  ++waiters_;
  ++waitersOfThisGeneration_;
  return generation_;
}

bool ZtCondition::TakeReleaseLocked(uint64_t generation) {
  if (released_ == 0 || generation == generation_) return false;
  --released_;
  return true;
}

void ZtCondition::UnlockInner(uint64_t generation) {
  --waiters_;
  if (generation == generation_) --waitersOfThisGeneration_;
  // A release meant for a waiter that left by its deadline must neither end a later wait nor stand in
  // the way of the next notification.
  const uint64_t mayTake = waiters_ - waitersOfThisGeneration_;
  if (released_ > mayTake) released_ = mayTake;
  pthread_mutex_unlock(&inner_);
}

void ZtCondition::WaitForNotify(uint64_t generation) {
  while (!TakeReleaseLocked(generation)) pthread_cond_wait(&cv_, &inner_);
  UnlockInner(generation);
}

std::cv_status ZtCondition::WaitForNotifyOrClock(uint64_t generation, long long deadline, int realSliceMs, bool registered) {
  constexpr long long kNanosPerSecond = 1000LL * 1000 * 1000;
  auto realNanos = [] {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
  };
  const long long sliceEnd = realSliceMs > 0 ? realNanos() + realSliceMs * 1000000LL : LLONG_MAX;
  std::cv_status status = std::cv_status::no_timeout;
  for (;;) {
    if (TakeReleaseLocked(generation)) break;
    const long long now = ZtClock::MonotonicTicks();
    if (now >= deadline) {
      status = std::cv_status::timeout;
      break;
    }
    const long long realNow = realNanos();
    if (realNow >= sliceEnd) break;
    const long long nanos = ZtClock::RealNanosUntil(deadline, now);
    // Begun in real time, now virtual: an advance would not find this wait. Back to the caller, who
    // waits again, registered.
    if (nanos < 0 && !registered && deadline != ZtClock::kNoDeadline) break;
    const long long until = nanos < 0 ? sliceEnd : std::min(sliceEnd, realNow + nanos);
    if (until == LLONG_MAX) {
      pthread_cond_wait(&cv_, &inner_);
    } else {
      struct timespec at;
      at.tv_sec = static_cast<time_t>(until / kNanosPerSecond);
      at.tv_nsec = static_cast<long>(until % kNanosPerSecond);
      pthread_cond_timedwait(&cv_, &inner_, &at);
    }
  }
  UnlockInner(generation);
  return status;
}

CTimeStamp& CTimeStamp::Now() {
  m_ticks = ZtClock::NowTicks();
  return *this;
}

void CStopWatch::Start() {
  if (m_running) return;
  m_running = true;
  m_startTicks = ZtClock::MonotonicTicks();
}

void CStopWatch::Stop() {
  if (!m_running) return;
  m_running = false;
  m_totalTicks += ZtClock::MonotonicTicks() - m_startTicks;
}

void CStopWatch::Reset() {
  m_running = false;
  m_startTicks = 0;
  m_totalTicks = 0;
}

CTimeInterval CStopWatch::Elapsed() const {
  long long total = m_totalTicks;
  if (m_running) total += ZtClock::MonotonicTicks() - m_startTicks;
  return CTimeInterval(total);
}

void CMediaSpeedCounter::Start() {
  if (m_openSpans++ == 0) m_spanStartTicks = ZtClock::MonotonicTicks();
}

void CMediaSpeedCounter::Stop(uint64_t bytes) {
  m_size += bytes;
  if (m_openSpans == 0) return;  // a Stop without its Start only counts the bytes
  if (--m_openSpans == 0) m_busyTicks += ZtClock::MonotonicTicks() - m_spanStartTicks;
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
  if (m_openSpans > 0) busy += ZtClock::MonotonicTicks() - m_spanStartTicks;
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
