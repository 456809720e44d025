#pragma once
#include <climits>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

// Time in this system is counted in signed 64-bit ticks of 100 nanoseconds.
constexpr long long kZtTicksPerSecond = 10000000LL;
constexpr long long kZtTicksPerMillisecond = 10000LL;

class CTimeInterval {
 public:
  CTimeInterval() = default;
  explicit CTimeInterval(long long ticks) : m_ticks(ticks) {}

  // A count too large for the ticks (a time-out setting far beyond any real wait) gives the
  // largest interval of its sign rather than a wrapped, possibly negative, one.
  static CTimeInterval FromSeconds(long long seconds) { return CTimeInterval(Scaled(seconds, kZtTicksPerSecond)); }
  static CTimeInterval FromMilliseconds(long long ms) { return CTimeInterval(Scaled(ms, kZtTicksPerMillisecond)); }

  long long Ticks() const { return m_ticks; }
  // Truncated toward zero: 9,999 ticks and -9,999 ticks are both 0 ms.
  long long AsMilliseconds() const { return m_ticks / kZtTicksPerMillisecond; }
  double AsSeconds() const { return static_cast<double>(m_ticks) / static_cast<double>(kZtTicksPerSecond); }

  bool operator<(const CTimeInterval& other) const { return m_ticks < other.m_ticks; }
  bool operator==(const CTimeInterval& other) const { return m_ticks == other.m_ticks; }
  // Saturates like FromSeconds, so a sum with a huge interval stays huge.
  CTimeInterval operator+(const CTimeInterval& other) const {
    long long ticks = 0;
    if (__builtin_add_overflow(m_ticks, other.m_ticks, &ticks)) {
      return CTimeInterval(m_ticks < 0 ? LLONG_MIN : LLONG_MAX);
    }
    return CTimeInterval(ticks);
  }

 private:
  static long long Scaled(long long count, long long ticksPerUnit) {
    long long ticks = 0;
    if (__builtin_mul_overflow(count, ticksPerUnit, &ticks)) return count < 0 ? LLONG_MIN : LLONG_MAX;
    return ticks;
  }

  long long m_ticks = 0;
};

// A timed wait the clock knows about (ZtCondition's): the clock wakes it when an advance passes its
// deadline or the clock's mode changes, so that it looks at the clock again.
class ZtClockWaiter {
 public:
  virtual void WakeForClock() = 0;

 protected:
  ~ZtClockWaiter() = default;
};

// The one clock of the system. It has two readings: the wall clock (NowTicks, for dates) and the
// monotonic clock (MonotonicTicks) against which every timed wait and every duration is measured.
// It runs in one of three modes:
// - real, the default: the operating system's clocks;
// - virtual, for tests: time stands still until AdvanceForTest moves it;
// - scaled, for lab runs: one real second is `factor` seconds of the clock.
// AdvanceForTest moves both readings forward. Under a virtual clock it also wakes the timed waits it
// passes, in the order of their deadlines, each with the clock at its own deadline, and waits until
// every thread it woke has got to its next wait (or ended) before the clock moves on, so what those
// threads do happens in the order it would in real time; a thread that goes on to wait on anything but
// a ZtCondition (or the handles built on it) holds the advance up for a second of real time. In real or
// scaled time a wait sees an advance when it next looks at the clock (at the latest when its real wait
// ends).
class ZtClock {
 public:
  // A deadline that never comes.
  static constexpr long long kNoDeadline = LLONG_MAX;
  // The largest factor of scaled time; a larger one would turn waits into busy loops.
  static constexpr double kMaxTimeScale = 10000.0;

  // 100-ns ticks since 1970-01-01 UTC.
  static long long NowTicks();
  // Seconds since 1970-01-01 UTC.
  static time_t NowSeconds();
  // 100-ns ticks from an arbitrary start; never goes back except by ResetTestOffset or UseRealTime.
  static long long MonotonicTicks();
  // MonotonicTicks() plus the interval; a negative interval is now, a huge one kNoDeadline.
  static long long DeadlineAfter(CTimeInterval interval);
  // The deadline that comes after the interval of real time, even when a lab run's clock runs faster:
  // for the transport's own deadlines (a peer's hello, a socket read), which wait for processes and
  // sockets that do not speed up with the clock. In real and virtual time the same as DeadlineAfter.
  static long long RealDeadlineAfter(CTimeInterval interval);

  // Back to real time with no test offset.
  static void UseRealTime();
  static void UseVirtualTimeForTest();
  // False (and nothing changes) unless 1 <= factor <= kMaxTimeScale; 1 runs at the real rate.
  static bool UseScaledTime(double factor);
  static bool IsVirtualTime();

  static void AdvanceForTest(CTimeInterval by);
  // Takes back every advance (the clock may go back).
  static void ResetTestOffset();

  static void Sleep(CTimeInterval interval);
  // Returns once the clock reaches the deadline or after realSliceMs of real time, whichever comes
  // first: the pause between two looks at something the clock cannot see (a child process, a file
  // lock).
  static void Pause(long long deadline, int realSliceMs);
  // The time-out for poll() waiting for the deadline: the real milliseconds until it, at most
  // realSliceMs (so that an advance of a virtual clock is seen within a slice); 0 once it has come.
  static int PollMs(long long deadline, int realSliceMs);

  // Test hook: waits until at least `count` timed waits are registered with a virtual clock (in real
  // or scaled time no wait registers). False when that does not happen within a minute of real time.
  static bool WaitForTimedWaitersForTest(size_t count);

  // ---- For ZtCondition ----
  struct WaitingThread;
  // Real nanoseconds until the clock reaches the deadline, given the clock reading `now`; -1 when no
  // real time brings it closer (virtual time, or no deadline). At most an hour: callers look again.
  static long long RealNanosUntil(long long deadline, long long now);
  // A wait in progress under a virtual clock (the clock need not know waits in real or scaled time):
  // a timed one registers its deadline, so that an advance can end it, and every wait marks its thread,
  // so that an advance can tell when a thread it woke has got to its next wait. A wait begun in real
  // time that finds the clock virtual returns early, so that its caller waits again registered.
  class Registration {
   public:
    Registration(long long deadline, ZtClockWaiter* waiter);
    ~Registration();
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    bool Registered() const { return thread != nullptr; }

    const long long deadline;             // kNoDeadline: an untimed wait, known only for its thread
    ZtClockWaiter* const waiter;
    WaitingThread* thread = nullptr;      // the waiting thread, once registered
    bool woken = false;                   // by an advance; guarded by the clock's registry
  };
};

class CTimeStamp {
 public:
  CTimeStamp() = default;
  explicit CTimeStamp(long long ticks) : m_ticks(ticks) {}

  // Fills this stamp with the current time of ZtClock.
  CTimeStamp& Now();
  long long Ticks() const { return m_ticks; }
  time_t Seconds() const { return static_cast<time_t>(m_ticks / kZtTicksPerSecond); }

  CTimeInterval operator-(const CTimeStamp& other) const { return CTimeInterval(m_ticks - other.m_ticks); }
  bool operator<(const CTimeStamp& other) const { return m_ticks < other.m_ticks; }

 private:
  long long m_ticks = 0;
};

// Accumulates the time between Start and Stop over several runs. Belongs to one thread.
class CStopWatch {
 public:
  CStopWatch() = default;
  explicit CStopWatch(const std::string& name) : m_name(name) {}

  // Starting a running watch changes nothing.
  void Start();
  void Stop();
  void Reset();
  bool IsRunning() const { return m_running; }
  // Total of the finished runs plus the current one.
  CTimeInterval Elapsed() const;
  const std::string& Name() const { return m_name; }

 private:
  std::string m_name;
  bool m_running = false;
  long long m_startTicks = 0;
  long long m_totalTicks = 0;
};

// Counts bytes moved and the time spent moving them. Busy time runs while at least one
// Start is not yet matched by a Stop, so overlapping streams are not counted twice.
// Not synchronised: a counter shared by threads is a CMultiStreamMediaSpeedCounter.
class CMediaSpeedCounter {
 public:
  CMediaSpeedCounter() = default;
  explicit CMediaSpeedCounter(const std::string& name) : m_name(name) {}
  virtual ~CMediaSpeedCounter() = default;

  virtual void Start();
  virtual void Stop(uint64_t bytes);
  // Counts bytes without timing them.
  virtual void Add(uint64_t bytes);
  virtual void Reset();
  virtual uint64_t Size() const { return m_size; }
  virtual CTimeInterval BusyTime() const;
  // Bytes per second of busy time; 0 before any time has been measured.
  virtual double BytesPerSecond() const;
  // One readable line: name, bytes, seconds and rate.
  virtual std::string Print() const;

  void SetName(const std::string& name) { m_name = name; }
  const std::string& Name() const { return m_name; }
  // Names the counter for the job it measures.
  void Initialize(const std::string& name, int64_t jobId) {
    m_name = name;
    m_jobId = jobId;
  }
  int64_t JobId() const { return m_jobId; }
  // The period, in seconds, at which the counter's figures are to be logged; 0 when they are not.
  void EnableLogging(uint32_t intervalSeconds) { m_logIntervalSeconds = intervalSeconds; }
  uint32_t LoggingInterval() const { return m_logIntervalSeconds; }

 protected:
  std::string m_name;
  int64_t m_jobId = 0;
  uint32_t m_logIntervalSeconds = 0;
  uint64_t m_size = 0;
  int m_openSpans = 0;
  long long m_spanStartTicks = 0;
  long long m_busyTicks = 0;
};
