#pragma once
#include <cstdint>
#include <vector>

// One reserved stream as the archive manager reports it: 64 bytes, sixteen 32-bit words.
struct ResourceReservationEl_t {
  enum Word : int {
    kRcid = 0,
    kInUse = 1,
    kReservationId = 2,
    kCopyId = 3,
    kStreamId = 4,
    kMediaAgentId = 8,
    kPrimary = 15,  // 0 for a secondary copy
  };
  int32_t words[16] = {};
};
static_assert(sizeof(ResourceReservationEl_t) == 64, "a reservation element is 64 bytes");

// The query's arguments: three words, the job id first, the others 0.
struct GetResourceReservationArgsDS_t {
  int32_t jobId = 0;
  int32_t reserved1 = 0;
  int32_t reserved2 = 0;
};

struct GetResourceReservationRetDS_t {
  std::vector<ResourceReservationEl_t> reservations;
};

// The archive manager's view of a job's resource reservations. In the lab it reads the job's
// reservation ledger (platform/lab/LabReservations.h): one element per reservation that is neither
// released nor retired, in ledger order, with the in-use word set while a data stream has it open.
// Fault table operation: "archmgr.getResourceReservation" (the rule's code is returned).
class ArchiveManagerDS {
 public:
  // Result codes (0 = success).
  enum RetCode : int {
    kRetOk = 0,
    kRetBadArguments = 1,  // null arguments or no job id
    kRetNoLedger = 2,      // no lab, or the ledger cannot be read
  };

  // Fills ret (emptied first) with the job's reservations; ret is left empty on failure.
  int getResourceReservation(GetResourceReservationArgsDS_t* args, GetResourceReservationRetDS_t* ret);
};
