#pragma once
#include <cstdint>
#include <string>

enum QuarnStreamState : int32_t {
  StreamAvailable = 0,
  StreamAssigned = 1,
  StreamReleased = 2,
  StreamError = 3,
  StreamReclaiming = 4,
  StreamReclaimed = 5,
};

// One reserved media stream of the job.
struct QuarnStreamInfo {
  int32_t state = StreamAvailable;
  std::string agent;  // empty when not lent
  int32_t StreamId = 0;
  int32_t RCID = 0;
  int32_t ReservationId = 0;
  int32_t MediaAgentId = 0;
  std::string reason;  // why it was reclaimed

  // The state's text as the stream dump prints it.
  static const char* StateText(int32_t state);
};
