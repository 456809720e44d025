// A whole job in a lab, with three agents (the coordinator's own and two agent processes) and three
// streams, run the way the job manager runs it: one agent process is killed while it holds a stream.
// Its stream is taken back after the minute's delay, replaced by the job manager and lent again,
// every VM ends, and the job's reservations are all given back.
#include <gtest/gtest.h>

#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabReservations.h"
#include "platform/lab/LabSubclient.h"
#include "records/messages/JobManagerMessages.h"
#include "support/TestLab.h"

namespace {

using testsupport::CountOf;

TEST(StreamJobLabRun, AStreamHeldByAKilledAgentIsReclaimedReplacedAndLentAgain) {
  testsupport::TestLab lab("coordinator");
  lab::LabPlan plan;
  plan.vms = 6;
  ASSERT_TRUE(lab.Create(plan));
  // Three streams are all the job may use, so the only stream asked for later replaces proxyB's.
  std::string error;
  ASSERT_TRUE(lab::SetSubclientValue("1", "maxStreams", "3", error)) << error;
  ASSERT_TRUE(lab::WriteFileAtomic(lab::JobDir(1001) + "/stream-job", ""));
  ASSERT_TRUE(lab::WriteFileAtomic(lab::ClientTempDir("proxyB") + "/kill-holding-stream", ""));
  ASSERT_TRUE(lab::ReserveJobStreams(1001, 3, 1, error)) << error;  // what the job manager grants

  ASSERT_EQ(0, lab.RunProgram({QUARN_TEST_AGENT_BINARY, "-j", "1001", "-jt", "tok-1001", "-a", "1", "-t", "1", "-d",
                               "ma1", "-cn", "coordinator", "-numStreams", "3"}));
  const std::string log = lab.Log("coordinator");

  // proxyB died holding its stream (RCID 3); the stream was taken back after the delay and freed,
  // and the job manager's replacement (RCID 4) was lent to an agent still alive.
  EXPECT_NE(std::string::npos, log.find("Agent [proxyB] stopped with 1 streams still assigned")) << log;
  const size_t reclaimed = log.find("Reclaimed Stream Id [3] RCID [3] from agent [proxyB]");
  ASSERT_NE(std::string::npos, reclaimed);
  EXPECT_NE(std::string::npos, log.find("Received [1] additional streams", reclaimed));
  EXPECT_NE(std::string::npos, log.find("Sending Stream Id [4] RCID [4] to agent [", reclaimed));

  // The ledger: nothing is reserved or open after the job.
  lab::ReservationLedger ledger;
  ASSERT_TRUE(lab::ReadReservationLedger(1001, ledger, error)) << error;
  ASSERT_EQ(4u, ledger.reservations.size()) << lab::FormatReservationLedger(ledger);
  EXPECT_EQ("free", ledger.reservations[2].why) << "proxyB's, given back at the reclaim";
  EXPECT_LE(1, ledger.reservations[3].opens) << "the replacement was opened";
  for (const lab::Reservation& r : ledger.reservations) {
    EXPECT_NE(lab::ReservationState::kReserved, r.state) << r.rcid;
    EXPECT_TRUE(r.holder.empty()) << r.rcid << " " << r.holder;
    EXPECT_EQ(1001, r.token) << r.rcid;
  }

  // Every VM was backed up: proxyB's VM by another agent.
  EXPECT_EQ(6u, CountOf(log, "Received Status [1] for VM ["));
  EXPECT_NE(std::string::npos, log.find("      VMs succeeded           [6]"));
  EXPECT_EQ(std::string::npos, log.find("      VMs failed")) << "every VM done (none pending either)";
  EXPECT_EQ(std::vector<std::string>{"phaseSuccessful"}, lab.PhaseLines());
}

}  // namespace
