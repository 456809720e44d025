#pragma once

// Sessions the process opened to the job, task and application services. The lab's services keep
// no open sessions, so ending them only counts the calls (tests check that the frame makes them).
class ZTJobClient {
 public:
  // Ends every session of the job client; calling it again does nothing more.
  static void terminateAllSessions();
  static int TerminateAllSessionsCalls();
};

// Releases the pooled application manager sessions; calling it again does nothing more.
void CleanAppMgrClientSessionPool();
int CleanAppMgrClientSessionPoolCalls();
