// The job's stream reservations: the ledger parsed, refused without change, written and read back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/lab/LabReservations.h"

// A ledger as the job manager, an exchange and an open stream leave it.
std::vector<std::string> FuzzSeeds() {
  lab::ReservationLedger ledger;
  ledger.Reserve(1, 1)->token = 1001;
  ledger.Reserve(2, 1)->state = lab::ReservationState::kRetired;
  lab::Reservation& moved = *ledger.Reserve(2, 3);
  moved.holder = "proxyA:4242";
  moved.opens = 2;
  lab::Reservation& freed = *ledger.Reserve(3, 1);
  freed.state = lab::ReservationState::kReleased;
  freed.why = "free";
  ledger.Reserve(9, 1)->primary = false;
  ledger.openRequest = 2;
  ledger.requestChecks = 1;
  return {lab::FormatReservationLedger(ledger)};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  lab::ReservationLedger target;
  target.Reserve(7, 1)->why = "seed";
  const std::string before = lab::FormatReservationLedger(target);
  std::string error;
  if (!lab::ParseReservationLedger(text, target, error)) {
    FUZZ_CHECK(lab::FormatReservationLedger(target) == before, "a refused ledger changed its target");
    return 0;
  }
  const std::string written = lab::FormatReservationLedger(target);
  lab::ReservationLedger again;
  FUZZ_CHECK(lab::ParseReservationLedger(written, again, error), "a written ledger was refused");
  FUZZ_CHECK(lab::FormatReservationLedger(again) == written, "a ledger read back differently");
  return 0;
}
