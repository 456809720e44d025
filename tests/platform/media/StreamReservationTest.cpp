// The job's stream reservations: the ledger, the archive manager's query, the media-management
// calls, the job manager's stream calls and a data stream's open, status and close, all on one
// ledger shared by every process (and thread) of the job.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/archive/vsArchive.h"
#include "platform/jobclient/ZTClient.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabAgent.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabReservations.h"
#include "platform/media/ArchiveManagerDS.h"
#include "platform/media/ZTMM.h"
#include "platform/os/HostName.h"
#include "platform/lab/ChildProcess.h"
#include "support/TestLab.h"

namespace {

constexpr int64_t kJob = 1001;
using El = ResourceReservationEl_t;

class StreamReservationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lab_.Create());
    lab_.UseJob(kJob);
    job_.setJobId(std::to_string(kJob));
    job_.setMediaAgent("ma1");
    ASSERT_FALSE(vsJobMgr::isError(job_.initBackup()));
    std::string error;
    ASSERT_TRUE(lab::ReserveJobStreams(kJob, 3, 1, error)) << error;
  }
  lab::ReservationLedger Ledger() {
    lab::ReservationLedger ledger;
    std::string error;
    EXPECT_TRUE(lab::ReadReservationLedger(kJob, ledger, error)) << error;
    return ledger;
  }
  std::vector<El> Query() {
    GetResourceReservationArgsDS_t args;
    args.jobId = kJob;
    GetResourceReservationRetDS_t ret;
    EXPECT_EQ(0, ArchiveManagerDS().getResourceReservation(&args, &ret));
    return ret.reservations;
  }
  std::unique_ptr<vsArchive> Stream(const lab::Reservation& r) {
    std::unique_ptr<vsArchive> stream(new vsArchive(&job_, nullptr, nullptr, "km"));
    stream->setStream(r.streamId, r.rcid, r.reservationId, r.mediaAgentId);
    return stream;
  }

  testsupport::TestLab lab_;
  vsJobMgr job_;
};

// (That a ledger reads back as written is the fuzz target's to show.)
TEST_F(StreamReservationTest, LedgerRefusesWhatItCouldNotKeepAndGrantsUpToItsLimit) {
  ASSERT_EQ(3u, Ledger().reservations.size());
  std::string error;
  const std::string good = "rcid=1 reservation=1 stream=1 mediaAgent=1 copy=1 primary=1 state=reserved token=0 "
                           "holder=- opens=0";
  for (const std::string& bad :
       {std::string("next rcid=1 reservation=5\n") + good,  // an id the ledger would hand out again
        "next rcid=2 reservation=2\n" + good + " extra=1", "next rcid=2 reservation=2\n" + good + " stray",
        std::string("rcid=x"), std::string("next rcid=0 reservation=1"), std::string("request open=-1 checks=0"),
        std::string("what now=1"), "next rcid=2 reservation=2\n" + good.substr(0, good.find(" state")) + " state=lost "
                                       "token=0 holder=- opens=0",
        "next rcid=2 reservation=2\n" + good.substr(0, good.find(" primary")) + " primary=2 state=reserved token=0 "
                                    "holder=- opens=0"}) {
    lab::ReservationLedger parsed;
    EXPECT_FALSE(lab::ParseReservationLedger(bad, parsed, error)) << bad;
  }

  // A job is granted 0 to kMaxJobStreams streams; the grant tops up, never adds twice.
  EXPECT_TRUE(lab::ReserveJobStreams(kJob, 3, 1, error));
  EXPECT_EQ(3u, Ledger().reservations.size());
  EXPECT_FALSE(lab::ReserveJobStreams(kJob, lab::kMaxJobStreams + 1, 1, error));
  EXPECT_TRUE(lab::ReserveJobStreams(kJob, lab::kMaxJobStreams, 1, error)) << error;
  EXPECT_EQ(static_cast<size_t>(lab::kMaxJobStreams), Ledger().reservations.size());
}

TEST_F(StreamReservationTest, LedgerHoldsAtMostItsLimitOfReservations) {
  std::string error;
  auto fill = [&](size_t count) {
    return lab::UpdateReservationLedger(
        kJob,
        [count](lab::ReservationLedger& ledger, std::string&) {
          while (ledger.reservations.size() < count) ledger.Reserve(ledger.NextStreamId(), 1);
          return true;
        },
        error);
  };
  ASSERT_TRUE(fill(lab::kMaxLedgerReservations)) << error;
  EXPECT_EQ(lab::kMaxLedgerReservations, Ledger().reservations.size());
  EXPECT_FALSE(fill(lab::kMaxLedgerReservations + 1));
  EXPECT_EQ(lab::kMaxLedgerReservations, Ledger().reservations.size()) << "a refused change loses nothing";
}

// Ids near 2^31: the ledger hands out the last id it can and then refuses, so that it never holds an
// id its own reader refuses, and a job at the limit is still granted what fits and released whole.
TEST_F(StreamReservationTest, IdsAtTheirLimitAreHandedOutOnceAndThenRefused) {
  struct Case {
    const char* name;
    int32_t nextRcid, nextReservationId, highestStream;
    int granted;  // of two asked for
  };
  const Case cases[] = {
      {"rcid one below its last", INT32_MAX - 2, 10, 3, 2},
      {"rcid at its last", INT32_MAX - 1, 10, 3, 1},
      {"rcid past its last", INT32_MAX, 10, 3, 0},
      {"reservation id at its last", 10, INT32_MAX - 1, 3, 1},
      {"reservation id past its last", 10, INT32_MAX, 3, 0},
      {"stream id at its last", 10, 10, INT32_MAX - 1, 1},
      {"stream id past its last", 10, 10, INT32_MAX, 0},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    std::string error;
    ASSERT_TRUE(lab::UpdateReservationLedger(
        kJob,
        [&](lab::ReservationLedger& ledger, std::string&) {
          ledger = lab::ReservationLedger();
          ledger.nextRcid = test.nextRcid;
          ledger.nextReservationId = test.nextReservationId;
          lab::Reservation highest;
          highest.rcid = highest.reservationId = 1;
          highest.streamId = test.highestStream;
          highest.state = lab::ReservationState::kReleased;
          ledger.reservations.push_back(highest);
          return true;
        },
        error))
        << error;
    // The job manager's grant of two at once is refused whole when both do not fit.
    const bool both = test.granted == 2;
    EXPECT_EQ(both, lab::ReserveJobStreams(kJob, 2, 1, error));
    if (!both) {
      EXPECT_NE(std::string::npos, error.find("no stream or reservation ids left")) << error;
    }
    ASSERT_EQ(both ? 3u : 1u, Ledger().reservations.size());
    // An additional request is granted what fits (nothing once the grant above took the last ids).
    ASSERT_EQ(0, job_.allocateAdditionalStreams(2));
    int received = -1;
    ASSERT_EQ(0, job_.checkStatusOfAdditionalResourceRequest(received));
    EXPECT_EQ(both ? 0 : test.granted, received);
    lab::ReservationLedger ledger;
    ASSERT_TRUE(lab::ReadReservationLedger(kJob, ledger, error)) << "the ledger reads back: " << error;
    ASSERT_TRUE(lab::ReleaseJobReservations(kJob, error)) << error;
    for (const lab::Reservation& r : Ledger().reservations) EXPECT_NE(lab::ReservationState::kReserved, r.state);
  }
}

TEST_F(StreamReservationTest, ArchiveManagerReportsReservedStreamsWordByWord) {
  std::string error;
  ASSERT_TRUE(lab::UpdateReservationLedger(
      kJob,
      [](lab::ReservationLedger& ledger, std::string&) {
        ledger.reservations[0].holder = "proxyA:1";
        ledger.reservations[1].primary = false;
        ledger.reservations[1].copyId = 2;
        ledger.reservations[2].state = lab::ReservationState::kReleased;
        return true;
      },
      error));
  const std::vector<El> elements = Query();
  ASSERT_EQ(2u, elements.size()) << "a released reservation is no longer reported";
  const int32_t* first = elements[0].words;
  EXPECT_EQ(1, first[El::kRcid]);
  EXPECT_EQ(1, first[El::kInUse]);
  EXPECT_EQ(1, first[El::kReservationId]);
  EXPECT_EQ(1, first[El::kCopyId]);
  EXPECT_EQ(1, first[El::kStreamId]);
  EXPECT_EQ(1, first[El::kMediaAgentId]);
  EXPECT_EQ(1, first[El::kPrimary]);
  EXPECT_EQ(0, elements[1].words[El::kPrimary]);
  EXPECT_EQ(2, elements[1].words[El::kCopyId]);

  GetResourceReservationArgsDS_t none;
  GetResourceReservationRetDS_t ret;
  EXPECT_EQ(ArchiveManagerDS::kRetBadArguments, ArchiveManagerDS().getResourceReservation(&none, &ret));
  ASSERT_TRUE(lab_.Fault("archmgr.getResourceReservation", 77));
  GetResourceReservationArgsDS_t args;
  args.jobId = kJob;
  EXPECT_EQ(77, ArchiveManagerDS().getResourceReservation(&args, &ret));
  EXPECT_TRUE(ret.reservations.empty());
}

TEST_F(StreamReservationTest, ClientTokenAndExchangeRetireTheOldReservation) {
  EXPECT_EQ(0, ZTMMmediaGroupOps(4).setClientToken(2, kJob, 2, 0, 2));
  EXPECT_EQ(kJob, Ledger().Find(2)->token);
  EXPECT_EQ(ztmm::kRetNotFound, ZTMMmediaGroupOps(4).setClientToken(2, kJob, 3, 0, 2)) << "stream and RCID differ";
  EXPECT_EQ(ztmm::kRetNotFound, ZTMMmediaGroupOps(4).setClientToken(9, kJob, 9, 0, 9));

  int64_t proxyA = 0;
  ASSERT_TRUE(ZTClient::getId("proxyA", proxyA));
  ZTMMreserveMount reserve(4);
  reserve.setContextId(kJob);
  ASSERT_EQ(0, reserve.exchangeMAAndDPReservation(static_cast<int32_t>(proxyA), 0, 0, 2, 2));
  EXPECT_EQ(4, reserve.getRcId());
  EXPECT_EQ(4, reserve.getReservationId());
  lab::ReservationLedger ledger = Ledger();
  EXPECT_EQ(lab::ReservationState::kRetired, ledger.reservations[1].state);
  const lab::Reservation* moved = ledger.Find(4);
  ASSERT_NE(nullptr, moved);
  EXPECT_EQ(2, moved->streamId) << "the same stream under new ids";
  EXPECT_EQ(proxyA, moved->mediaAgentId);
  EXPECT_EQ(kJob, moved->token);
  EXPECT_EQ(3, ledger.CountReserved()) << "one primary reservation per stream";
  EXPECT_EQ(ztmm::kRetNotFound, reserve.exchangeMAAndDPReservation(static_cast<int32_t>(proxyA), 0, 0, 2, 2))
      << "a retired id is never used again";
  EXPECT_EQ(ztmm::kRetBadClient, reserve.exchangeMAAndDPReservation(999, 0, 0, 1, 1));
  EXPECT_EQ(0, reserve.exchangeMAAndDPReservationByProxy(static_cast<int32_t>(proxyA), 0, 0, 2, 2))
      << "the storage policy follows the ids the exchange started from";

  // A stream open for writing stays where it is.
  std::unique_ptr<vsArchive> open = Stream(ledger.reservations[0]);
  ASSERT_EQ(0, open->init(true));
  EXPECT_EQ(ztmm::kRetInUse, reserve.exchangeMAAndDPReservation(static_cast<int32_t>(proxyA), 0, 0, 1, 1));
  ASSERT_TRUE(lab_.Fault("media.exchangeMAAndDPReservation", 31));
  EXPECT_EQ(31, reserve.exchangeMAAndDPReservation(static_cast<int32_t>(proxyA), 0, 0, 3, 3));
  EXPECT_EQ(lab::ReservationState::kReserved, Ledger().Find(3)->state) << "a failed exchange changes nothing";
}

TEST_F(StreamReservationTest, JobManagerFreesByIdsOrCountAndGrantsAdditionalStreams) {
  EXPECT_EQ(0, job_.freeStream(1, 1, 1));
  EXPECT_EQ("free", Ledger().reservations[0].why);
  EXPECT_NE(0, job_.freeStream(1, 1, 1)) << "released already";
  EXPECT_NE(0, job_.freeStream(2, 2, 9)) << "another reservation's id";

  // Which n: the streams nobody has open first, the latest first.
  ASSERT_EQ(0, job_.allocateAdditionalStreams(2));
  int received = 0;
  ASSERT_EQ(0, job_.checkStatusOfAdditionalResourceRequest(received));
  EXPECT_EQ(2, received);
  lab::ReservationLedger ledger = Ledger();
  ASSERT_EQ(5u, ledger.reservations.size());
  EXPECT_EQ(4, ledger.reservations[3].streamId);
  EXPECT_EQ(1, ledger.reservations[4].mediaAgentId) << "reserved on the job's media agent";
  std::unique_ptr<vsArchive> open = Stream(ledger.reservations[4]);
  ASSERT_EQ(0, open->init(true));
  ASSERT_EQ(0, job_.freeNStreams(3));
  ledger = Ledger();
  EXPECT_EQ("freeN", ledger.reservations[3].why);
  EXPECT_EQ("freeN", ledger.reservations[2].why);
  EXPECT_EQ("freeN", ledger.reservations[1].why);
  EXPECT_EQ(lab::ReservationState::kReserved, ledger.reservations[4].state) << "the open stream is kept";
  EXPECT_NE(0, job_.freeNStreams(0));
  EXPECT_NE(0, job_.freeNStreams(lab::kMaxJobStreams + 1));
  EXPECT_EQ(std::vector<std::string>({"free 1 1 1", "free 1 1 1", "free 2 2 9", "allocate 2", "freeN 3"}),
            lab::ReadJobStreamCalls(kJob));

  // A request the job manager is still working on answers -1, a later check the grant, capped.
  std::string error;
  ASSERT_TRUE(lab::UpdateJobRecord(kJob, [](lab::JobRecord& record, std::string&) {
    record.other["additionalStreams"] = "1";
    record.other["additionalStreamsDelay"] = "2";
    return true;
  }, error));
  ASSERT_EQ(0, job_.allocateAdditionalStreams(3));
  for (int expected : {-1, -1, 1, 0}) {
    ASSERT_EQ(0, job_.checkStatusOfAdditionalResourceRequest(received));
    EXPECT_EQ(expected, received);
  }

  // The end of the phase takes back what is left; the open stream's holder goes when it closes.
  ASSERT_TRUE(job_.phaseSuccessful(false));
  ledger = Ledger();
  for (const lab::Reservation& r : ledger.reservations) EXPECT_NE(lab::ReservationState::kReserved, r.state);
  EXPECT_EQ("phase", ledger.reservations[4].why);
  EXPECT_EQ(vsArchive::kRetReservationLost, open->checkStatus());
  EXPECT_EQ(0, open->close(true));
  EXPECT_TRUE(Ledger().reservations[4].holder.empty());
}

TEST_F(StreamReservationTest, ADataStreamHoldsItsReservationWhileOpen) {
  const lab::ReservationLedger ledger = Ledger();
  std::unique_ptr<vsArchive> stream = Stream(ledger.reservations[0]);
  ASSERT_EQ(0, stream->init(true));
  EXPECT_EQ(lab::ReservationHolder(), Ledger().reservations[0].holder);
  EXPECT_EQ(1, Query()[0].words[El::kInUse]);
  EXPECT_EQ(vsArchive::kRetNoReservation, Stream(ledger.reservations[0])->init(true)) << "open on another stream";
  EXPECT_EQ(0, stream->checkStatus());
  EXPECT_EQ(0, stream->close(true));
  EXPECT_TRUE(Ledger().reservations[0].holder.empty());
  EXPECT_EQ(1, Ledger().reservations[0].opens);

  // A released reservation cannot be opened; a stream without a resource id has none to hold.
  ASSERT_EQ(0, job_.freeStream(2, 2, 2));
  EXPECT_EQ(vsArchive::kRetNoReservation, Stream(ledger.reservations[1])->init(true));
  lab::Reservation pseudo;
  pseudo.streamId = 1;
  pseudo.rcid = -1;
  EXPECT_EQ(0, Stream(pseudo)->init(true));

  // A stream deleted without a close gives its reservation back all the same.
  { ASSERT_EQ(0, Stream(ledger.reservations[2])->init(true)); }
  EXPECT_TRUE(Ledger().reservations[2].holder.empty());

  lab::FaultRule rule;
  rule.op = "archive.init";
  rule.stream = "3";
  rule.code = 61;
  ASSERT_TRUE(lab_.Fault(rule));
  EXPECT_EQ(61, Stream(ledger.reservations[2])->init(true));
  EXPECT_EQ(1, Ledger().reservations[2].opens) << "a failed open takes no reservation";
}

TEST_F(StreamReservationTest, ThreadsOpeningAndExchangingAtOnceLoseNoChange) {
  std::string error;
  ASSERT_TRUE(lab::ReserveJobStreams(kJob, 8, 1, error));
  const lab::ReservationLedger start = Ledger();
  int64_t proxyA = 0;
  ASSERT_TRUE(ZTClient::getId("proxyA", proxyA));
  constexpr int kRounds = 5;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      lab::Reservation r = start.reservations[static_cast<size_t>(t)];
      for (int round = 0; round < kRounds; ++round) {
        std::unique_ptr<vsArchive> stream = Stream(r);
        EXPECT_EQ(0, stream->init(true));
        EXPECT_EQ(0, stream->close(true));
        // Back and forth between the media agent and proxyA, under new ids each time.
        ZTMMreserveMount reserve(4);
        reserve.setContextId(kJob);
        const int32_t target = round % 2 == 0 ? static_cast<int32_t>(proxyA) : 1;
        EXPECT_EQ(0, reserve.exchangeMAAndDPReservation(target, 0, 0, r.reservationId, r.rcid));
        r.rcid = reserve.getRcId();
        r.reservationId = reserve.getReservationId();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const lab::ReservationLedger end = Ledger();
  EXPECT_EQ(8u + 8u * kRounds, end.reservations.size());
  EXPECT_EQ(8, end.CountReserved());
  int opens = 0;
  for (const lab::Reservation& r : end.reservations) {
    opens += r.opens;
    EXPECT_TRUE(r.holder.empty());
  }
  EXPECT_EQ(8 * kRounds, opens);
}

// The job manager takes back what a dead job process left reserved while the job's other processes
// are still granted streams: every stream granted is given back exactly once, marked as left, and the
// counts of the releases add up to the grants. So are the hypervisor disk streams and clean-up
// registrations of a dead process, given back by several at once; a process that runs keeps its own.
TEST_F(StreamReservationTest, StreamsLeftAreGivenBackOnceWhileOthersAreGranted) {
  constexpr int kGrants = 30;
  labtest::ChildProcess dead(labtest::ChildProcess::State::kGone, false);
  ASSERT_TRUE(lab::RecordSession(kJob, true, "proxyA", dead.pid()));
  for (int i = 0; i < kGrants; ++i) {
    ASSERT_TRUE(lab::AppendDiskStreamCall(kJob, true, 1, "vm" + std::to_string(i % 3), "proxyA:" + std::to_string(dead.pid())));
    ASSERT_TRUE(lab::AppendCleanupRegistration("proxyA", true, "vm " + std::to_string(i), dead.pid()));
  }
  ASSERT_TRUE(lab::RecordSession(kJob, true, "proxyA", getpid()));  // a process that runs: this one
  ASSERT_TRUE(lab::AppendDiskStreamCall(kJob, true, 1, "vm0"));
  ASSERT_TRUE(lab::AppendCleanupRegistration("proxyA", true, "vm 0"));
  std::atomic<int64_t> diskStreams{0};
  std::atomic<size_t> registrations{0};
  std::atomic<int> released{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kGrants; ++i) {
        std::string error;
        if (t % 2 == 0) {
          EXPECT_TRUE(lab::UpdateReservationLedger(
              kJob, [](lab::ReservationLedger& ledger, std::string&) {
                return ledger.Reserve(ledger.NextStreamId(), 1) != nullptr;
              },
              error))
              << error;
        } else {
          int count = 0;
          std::vector<lab::Reservation> open;
          EXPECT_TRUE(lab::ReleaseLeftReservations(kJob, count, open, error)) << error;
          EXPECT_TRUE(open.empty());
          released += count;
          int64_t streams = 0;
          size_t taken = 0;
          EXPECT_TRUE(lab::ReleaseLeftDiskStreams(kJob, streams, error)) << error;
          EXPECT_TRUE(lab::TakeBackLeftCleanupRegistrations(kJob, taken, error)) << error;
          diskStreams += streams;
          registrations += taken;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(kGrants, diskStreams.load());
  EXPECT_EQ(1, lab::DiskStreamsHeld(kJob));
  EXPECT_EQ(static_cast<size_t>(kGrants), registrations.load());
  EXPECT_EQ(std::vector<std::string>{"vm 0"}, lab::ReadCleanupRegistrations("proxyA"));
  int last = 0;
  std::vector<lab::Reservation> open;
  std::string error;
  ASSERT_TRUE(lab::ReleaseLeftReservations(kJob, last, open, error)) << error;
  const lab::ReservationLedger ledger = Ledger();
  ASSERT_EQ(3u + 2u * kGrants, ledger.reservations.size());
  EXPECT_EQ(static_cast<int>(ledger.reservations.size()), released + last);
  for (const lab::Reservation& r : ledger.reservations) {
    EXPECT_EQ(lab::ReservationState::kReleased, r.state) << r.rcid;
    EXPECT_EQ("left", r.why) << r.rcid;
  }
  // Nothing left: nothing to give back, and a job without a ledger has none.
  ASSERT_TRUE(lab::ReleaseLeftReservations(kJob, last, open, error)) << error;
  EXPECT_EQ(0, last);
  ASSERT_TRUE(lab::ReleaseLeftReservations(kJob + 1, last, open, error)) << error;
  EXPECT_EQ(0, last);
}

// The job manager's clean-up after a job process that left streams reserved takes back only those no
// running process has open: a job process left running after its lab tool was killed, or an agent
// process that outlived its job process, still writes to its stream. The hold of a process that has
// ended goes with the stream. The end of a phase, the job's own word, takes back every stream.
TEST_F(StreamReservationTest, StreamsOpenOnARunningProcessAreNotGivenBackUntilItEnds) {
  using labtest::ChildProcess;
  ChildProcess running(ChildProcess::State::kRunning, false), zombie(ChildProcess::State::kZombie, false),
      gone(ChildProcess::State::kGone, false);
  struct Row {
    const char* name;
    std::string holder;  // empty: not open; "this": a data stream of this process
    bool runs;
  };
  const Row rows[] = {
      {"not open", "", false},
      {"open on a process that runs", "proxyA:" + std::to_string(running.pid()), true},
      {"open on a process that has ended, not waited for yet", "proxyA:" + std::to_string(zombie.pid()), false},
      {"open on a process that is gone", "proxyA:" + std::to_string(gone.pid()), false},
      {"open on a data stream of this process", "this", true},
      {"a holder that names no process is never taken for a dead one", "proxyA", true},
  };
  constexpr size_t kRows = sizeof rows / sizeof rows[0];
  std::string error;
  ASSERT_TRUE(lab::ReserveJobStreams(kJob, static_cast<int>(kRows), 1, error)) << error;
  ASSERT_TRUE(lab::UpdateReservationLedger(
      kJob,
      [&](lab::ReservationLedger& ledger, std::string&) {
        for (size_t i = 0; i < kRows; ++i)
          if (rows[i].holder != "this") ledger.reservations[i].holder = rows[i].holder;
        return true;
      },
      error))
      << error;
  std::unique_ptr<vsArchive> own = Stream(Ledger().reservations[4]);
  ASSERT_EQ(0, own->init(true));

  int released = 0;
  std::vector<lab::Reservation> open;
  ASSERT_TRUE(lab::ReleaseLeftReservations(kJob, released, open, error)) << error;
  EXPECT_EQ(3, released);
  lab::ReservationLedger ledger = Ledger();
  for (size_t i = 0; i < kRows; ++i) {
    SCOPED_TRACE(rows[i].name);
    const lab::Reservation& r = ledger.reservations[i];
    const std::string holder = rows[i].holder == "this" ? lab::ReservationHolder() : rows[i].holder;
    EXPECT_EQ(rows[i].runs ? lab::ReservationState::kReserved : lab::ReservationState::kReleased, r.state);
    EXPECT_EQ(rows[i].runs ? holder : std::string(), r.holder);
    EXPECT_EQ(rows[i].runs ? "" : "left", r.why);
    EXPECT_EQ(rows[i].runs, std::any_of(open.begin(), open.end(), [&](const lab::Reservation& kept) {
                return kept.rcid == r.rcid && kept.holder == holder;
              }));
  }
  EXPECT_EQ(3u, open.size());
  EXPECT_EQ(0, own->checkStatus()) << "the stream is still the job's";
  ASSERT_TRUE(lab::ReleaseLeftReservations(kJob, released, open, error)) << error;
  EXPECT_EQ(0, released);
  EXPECT_EQ(3u, open.size());

  // Once the process has ended, its stream is given back.
  running.End();
  ASSERT_TRUE(lab::ReleaseLeftReservations(kJob, released, open, error)) << error;
  EXPECT_EQ(1, released);
  EXPECT_EQ(2u, open.size());
  EXPECT_EQ("left", Ledger().reservations[1].why);
  EXPECT_TRUE(Ledger().reservations[1].holder.empty());

  // The end of the phase takes back the rest; this process's hold goes when its stream closes.
  ASSERT_TRUE(lab::ReleaseJobReservations(kJob, error)) << error;
  ledger = Ledger();
  for (const lab::Reservation& r : ledger.reservations) EXPECT_NE(lab::ReservationState::kReserved, r.state);
  EXPECT_EQ("phase", ledger.reservations[4].why);
  EXPECT_EQ(lab::ReservationHolder(), ledger.reservations[4].holder);
  EXPECT_EQ(vsArchive::kRetReservationLost, own->checkStatus());
  EXPECT_EQ(0, own->close(true));
  EXPECT_TRUE(Ledger().reservations[4].holder.empty());
}

TEST(HostNameTest, MediaAgentNamesSplitIntoClientHostAndNumbers) {
  struct Row {
    const char* text;
    bool ok;
    const char* host;
    const char* client;
    int first, second;
  };
  const Row rows[] = {{"ma1", true, "ma1", "ma1", 0, 0},       {"ma1*host1", true, "host1", "ma1", 0, 0},
                      {"ma1**5*-6", true, "ma1", "ma1", 5, -6}, {"", false, "", "", 0, 0},
                      {"*host", false, "", "", 0, 0},            {"ma1*h*x", false, "", "", 0, 0},
                      {"a*b*1*2*3", false, "", "", 0, 0}};
  for (const Row& row : rows) {
    std::string host = "stale", client = "stale";
    int first = 9, second = 9;
    EXPECT_EQ(row.ok, DemangleHostName(row.text, host, client, first, second)) << row.text;
    EXPECT_EQ(row.host, host) << row.text;
    EXPECT_EQ(row.client, client) << row.text;
    EXPECT_EQ(row.first, first) << row.text;
    EXPECT_EQ(row.second, second) << row.text;
  }
}

}  // namespace
