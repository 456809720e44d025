#pragma once
#include "platform/ev/EvEvent.h"

// The table that all job processes on one proxy host share, so that each controller knows how many
// streams the others hold. Until the shared table is attached this process sees no other process:
// every figure reads 0 and updates are refused.
class QuarnIPC {
 public:
  QuarnIPC() = default;
  ~QuarnIPC() { Deinitialize(); }
  QuarnIPC(const QuarnIPC&) = delete;
  QuarnIPC& operator=(const QuarnIPC&) = delete;

  bool Initialize();
  void Deinitialize();
  // False, changing nothing, while no table is attached.
  bool UpdateStreams(int streams);
  // The other processes of the host, their open streams and VMs; all 0 and false while no table is
  // attached.
  bool Check(int& processes, int& streams, int& vms);

 private:
  EvEvent m_event;
};
