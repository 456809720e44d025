// The machine a controller reports: its client's record in a lab, the real machine only without one.
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/frame/VSController.h"
#include "platform/lab/LabMachine.h"
#include "support/TestLab.h"

namespace {

TEST(VSControllerMachine, ALabClientReportsItsRecordAndNeverTheRealMachine) {
  testsupport::TestLab lab("proxyA");
  ASSERT_TRUE(lab.Create());
  VSController controller;
  int64_t cpus = -1, memory = -1, os = -1;
  std::vector<std::pair<std::string, std::string>> addresses;
  ASSERT_TRUE(controller.FillLocalComputerInfo(cpus, memory, os));
  EXPECT_EQ(4, cpus);
  EXPECT_EQ(8192, memory);
  EXPECT_EQ(1, os);
  ASSERT_TRUE(controller.FillLocalIPAddressInfo(addresses));
  EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"10.0.0.12", "255.255.255.0"}}), addresses);

  // A client without a usable record reports nothing rather than the machine the test runs on.
  for (const char* record : {"", "cpus=lots\n"}) {
    lab.Focus("bare");
    if (*record != '\0') {
      ASSERT_TRUE(lab::MakeDirs(lab::ClientDir("bare")));
      ASSERT_TRUE(lab::WriteFileAtomic(lab::MachineRecordPath("bare"), record));
    }
    EXPECT_FALSE(controller.FillLocalComputerInfo(cpus, memory, os)) << record;
    EXPECT_EQ(0, cpus);
    EXPECT_FALSE(controller.FillLocalIPAddressInfo(addresses)) << record;
    EXPECT_TRUE(addresses.empty());
    EXPECT_EQ("bare", VSController::GetLocalComputerName());
  }

  lab.RemoveLab();
  char name[256] = {};
  ASSERT_EQ(0, gethostname(name, sizeof name - 1));
  EXPECT_EQ(name, VSController::GetLocalComputerName());
  EXPECT_TRUE(controller.FillLocalComputerInfo(cpus, memory, os));
  EXPECT_EQ(sysconf(_SC_NPROCESSORS_ONLN), cpus);
}

}  // namespace
