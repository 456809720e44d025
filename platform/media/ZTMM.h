#pragma once
#include <cstdint>

// The media-management calls on a job's stream reservations. In the lab both classes work on the
// job's reservation ledger (platform/lab/LabReservations.h); the value given at construction names
// the calling component and is not used. Results: 0 success, else one of RetCode (or a fault rule's
// code). Fault table operations (selector stream: the stream id): "media.setClientToken",
// "media.exchangeMAAndDPReservation", "media.exchangeMAAndDPReservationByProxy".
namespace ztmm {
enum RetCode : int {
  kRetOk = 0,
  kRetNoLedger = 1,     // no lab, no job, or the ledger cannot be read or written
  kRetNotFound = 2,     // no reservation of the job has these ids
  kRetInUse = 3,        // a data stream has the reservation open
  kRetBadClient = 4,    // the client id is not a client's
};
}  // namespace ztmm

// Client tokens on streams: the job a reserved stream belongs to.
class ZTMMmediaGroupOps {
 public:
  explicit ZTMMmediaGroupOps(int component);
  // Marks the reservation of the stream (by its resource id) as the job's; `rcidAgain` repeats the
  // resource id as the media manager's call does.
  int setClientToken(int32_t rcid, int64_t jobId, int32_t streamId, int flags, int32_t rcidAgain);
};

// Exchange of a stream's reservation to another media agent (a data-path media agent that is one of
// the job's proxies, or back to the job's own media agent). An exchange retires the old reservation
// and reserves the same stream under new ids on the client; getRcId and getReservationId give them.
class ZTMMreserveMount {
 public:
  explicit ZTMMreserveMount(int component);
  void setContextId(int64_t jobId);
  int exchangeMAAndDPReservation(int32_t clientId, int flags1, int flags2, int32_t reservationId, int32_t rcid);
  // The storage-policy exchange of region-based backups; the lab keeps no storage policies, so it
  // only checks that the job has a ledger.
  int exchangeMAAndDPReservationByProxy(int32_t clientId, int flags1, int flags2, int32_t reservationId, int32_t rcid);
  int32_t getRcId() const { return m_rcid; }
  int32_t getReservationId() const { return m_reservationId; }

 private:
  int64_t m_jobId = 0;
  int32_t m_rcid = 0;
  int32_t m_reservationId = 0;
};
