// A job of a Microsoft hypervisor instance run as the job manager starts it: the coordinator makes one
// shared shadow, every agent process attaches to it, and it is deleted when the job ends.
#include <gtest/gtest.h>

#include "platform/lab/Lab.h"
#include "platform/lab/LabAgent.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabSubclient.h"
#include "support/TestLab.h"

namespace {

TEST(SharedShadowRun, AgentProcessesAttachAndTheShadowIsGoneAtTheEnd) {
  testsupport::TestLab dir;
  const std::string labDir = dir.Path("lab");
  ASSERT_EQ(0, dir.RunProgram({QUARN_LAB_BINARY, "create", labDir, "--vms", "4"}));
  lab::SetRoot(labDir);
  std::string error;
  ASSERT_TRUE(lab::SetSubclientValue("1", "instanceType", "102", error)) << error;
  dir.RunProgram({QUARN_LAB_BINARY, "run", labDir, "--", "-numStreams", "3"});

  const std::vector<std::string> shadows = lab::ReadSharedShadowLog(lab::SampleServer());
  ASSERT_EQ(2u, shadows.size());
  EXPECT_EQ(0u, shadows[0].find("create coordinator shadow-"));
  EXPECT_EQ(0u, shadows[1].find("delete coordinator shadow-"));
  EXPECT_TRUE(lab::StandingSharedShadows(lab::SampleServer()).empty());
  std::vector<std::string> attached;
  for (const std::string& line : lab::ReadSharedShadowAttachments(lab::SampleServer()))
    attached.push_back(line.substr(0, line.find(' ', 7)));
  std::sort(attached.begin(), attached.end());
  EXPECT_EQ((std::vector<std::string>{"attach proxyA", "attach proxyB"}), attached)
      << "the coordinator's own agent is not sent the shadow";
  lab::SetRoot(std::string());
}

}  // namespace
