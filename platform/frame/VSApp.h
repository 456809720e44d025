#pragma once
#include <signal.h>

#include <thread>

#include "platform/os/ZtMutex.h"

// Base of the application object. Initialize() routes SIGTERM and SIGINT to OnServiceShutdown(): the
// signal handler only writes a byte to a pipe, and a watcher thread reads it and calls
// OnServiceShutdown() on the live application, at most once per Initialize.
//
// Teardown: once StopServiceShutdownDelivery() or Deinitialize() has started, OnServiceShutdown() is
// never called again, and neither returns while a call is still running. A subclass whose
// OnServiceShutdown() touches objects that its own Deinitialize() deletes calls
// StopServiceShutdownDelivery() before deleting them. OnServiceShutdown() runs on the watcher thread
// and must only set flags: it must not call Deinitialize() or StopServiceShutdownDelivery().
//
// Only one application object at a time can own the signals of the process.
class VSApp {
 public:
  VSApp() = default;
  virtual ~VSApp();
  VSApp(const VSApp&) = delete;
  VSApp& operator=(const VSApp&) = delete;

  // Installs the handlers and starts the watcher. True when already initialised; false when another
  // application object owns the signals or the pipe, thread or handlers cannot be set up.
  virtual bool Initialize();
  // Stops the delivery, restores the previous handlers and stops the watcher. Safe to call twice and
  // without Initialize.
  virtual void Deinitialize();
  virtual void OnServiceShutdown() {}

  // Delivers a service shutdown as a signal would, on the calling thread; true when OnServiceShutdown
  // ran.
  bool RaiseServiceShutdownForTest();

 protected:
  void StopServiceShutdownDelivery();

 private:
  enum class Delivery { kIdle, kRunning, kStopped };

  bool DeliverServiceShutdown(const char* source);
  void WatchSignals(int stopFd);

  // Serialises Initialize and Deinitialize.
  ZtMutex lifecycleMutex_ ACQUIRED_BEFORE(deliveryMutex_);
  bool installed_ GUARDED_BY(lifecycleMutex_) = false;
  std::thread watcher_ GUARDED_BY(lifecycleMutex_);
  int stopPipe_[2] GUARDED_BY(lifecycleMutex_) = {-1, -1};
  struct sigaction previousTerm_ GUARDED_BY(lifecycleMutex_);
  struct sigaction previousInt_ GUARDED_BY(lifecycleMutex_);

  // Held while OnServiceShutdown runs, so that teardown waits for it.
  ZtMutex deliveryMutex_;
  Delivery delivery_ GUARDED_BY(deliveryMutex_) = Delivery::kIdle;
  bool delivered_ GUARDED_BY(deliveryMutex_) = false;
};
