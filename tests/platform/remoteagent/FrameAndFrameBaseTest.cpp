// The wire codec, and the frame bases' address helpers.
#include <gtest/gtest.h>

#include "platform/frame/VSController.h"
#include "platform/frame/VSCoordinator.h"
#include "platform/remoteagent/RAFrame.h"

namespace {

using remoteagent::FrameReader;

TEST(RemoteAgentFrames, SurviveAnySplitOfTheStream) {
  std::string stream, frame;
  ASSERT_TRUE(remoteagent::EncodeFrame(remoteagent::kMessage, "<a>1</a>", frame));
  stream += frame;
  ASSERT_TRUE(remoteagent::EncodeFrame(remoteagent::kStop, "", frame));
  stream += frame;
  ASSERT_TRUE(remoteagent::EncodeFrame(remoteagent::kMessage, std::string(70000, 'x'), frame));
  stream += frame;
  for (size_t chunk : {1u, 3u, 4u, 5u, 4096u, 1000000u}) {
    FrameReader reader;
    std::vector<std::pair<char, size_t>> frames;
    for (size_t at = 0; at < stream.size(); at += chunk) {
      reader.Append(stream.data() + at, std::min(chunk, stream.size() - at));
      char kind;
      std::string body;
      FrameReader::Result r;
      while ((r = reader.Next(kind, body)) == FrameReader::Result::kFrame) frames.emplace_back(kind, body.size());
      ASSERT_NE(FrameReader::Result::kFault, r);
    }
    ASSERT_EQ(3u, frames.size()) << chunk;
    EXPECT_EQ(std::make_pair(remoteagent::kMessage, size_t{8}), frames[0]);
    EXPECT_EQ(std::make_pair(remoteagent::kStop, size_t{0}), frames[1]);
    EXPECT_EQ(std::make_pair(remoteagent::kMessage, size_t{70000}), frames[2]);
    EXPECT_EQ(0u, reader.Buffered());
  }
}

TEST(RemoteAgentFrames, EmptyAndOversizedLengthsAreFaults) {
  const unsigned char empty[4] = {0, 0, 0, 0};
  const unsigned char huge[4] = {0x01, 0x00, 0x00, 0x01};  // one byte over 16 MiB
  for (const unsigned char* header : {empty, huge}) {
    FrameReader reader;
    reader.Append(reinterpret_cast<const char*>(header), 4);
    char kind;
    std::string body;
    EXPECT_EQ(FrameReader::Result::kFault, reader.Next(kind, body));
  }
  std::string frame;
  EXPECT_FALSE(remoteagent::EncodeFrame(remoteagent::kMessage, std::string(remoteagent::kMaxFramePayload, 'x'), frame));
  EXPECT_TRUE(remoteagent::EncodeFrame(remoteagent::kMessage, std::string(remoteagent::kMaxFramePayload - 1, 'x'), frame));
}

TEST(RemoteAgentFrames, HelloCarriesASafeNameAndAWellFormedKey) {
  const std::string key = remoteagent::NewLaunchKey();
  ASSERT_TRUE(remoteagent::IsValidKey(key));
  EXPECT_NE(key, remoteagent::NewLaunchKey());
  std::string name, parsedKey;
  ASSERT_TRUE(remoteagent::ParseHello(remoteagent::MakeHelloBody("proxyA", key), name, parsedKey));
  EXPECT_EQ("proxyA", name);
  EXPECT_EQ(key, parsedKey);
  EXPECT_FALSE(remoteagent::ParseHello(remoteagent::MakeHelloBody("../x", key), name, parsedKey));
  EXPECT_FALSE(remoteagent::ParseHello(remoteagent::MakeHelloBody("a", key.substr(1)), name, parsedKey));
  EXPECT_FALSE(remoteagent::ParseHello(remoteagent::MakeHelloBody("a", std::string(32, 'G')), name, parsedKey));
  EXPECT_FALSE(remoteagent::ParseHello("no separator", name, parsedKey));
  EXPECT_TRUE(remoteagent::IsLoopbackAddress("127.0.0.1"));
  EXPECT_TRUE(remoteagent::IsLoopbackAddress("127.1.2.3"));
  EXPECT_FALSE(remoteagent::IsLoopbackAddress("128.0.0.1"));
  EXPECT_FALSE(remoteagent::IsLoopbackAddress("localhost"));
}

// Either count at its pause mark pauses the reader; it resumes only once both are below their resume
// marks.
TEST(RemoteAgentBacklog, PausesAtEitherLimitAndResumesBelowBoth) {
  using remoteagent::Backlog;
  Backlog backlog;
  EXPECT_FALSE(backlog.Add(Backlog::kPauseMessages - 1, Backlog::kPauseBytes - 1));
  EXPECT_TRUE(backlog.Add(0, 1)) << "bytes at the mark";
  EXPECT_FALSE(backlog.Take(0, 1));
  EXPECT_TRUE(backlog.Add(1, 0)) << "messages at the mark";
  // Down to the resume mark of the messages and one byte below that of the bytes: not yet.
  EXPECT_FALSE(backlog.Take(Backlog::kPauseMessages - Backlog::kResumeMessages,
                            Backlog::kPauseBytes - Backlog::kResumeBytes + 1));
  EXPECT_TRUE(backlog.Take(1, 0));
  EXPECT_FALSE(backlog.Add(0, 2)) << "bytes back at their resume mark";
  EXPECT_FALSE(backlog.CanResume());
}

TEST(FrameBases, GetSubnetMasksValidPairsOnly) {
  struct Case {
    const char* ip;
    const char* mask;
    const char* subnet;
  } cases[] = {
      {"10.1.2.3", "255.255.255.0", "10.1.2.0"},
      {"172.16.200.7", "255.255.240.0", "172.16.192.0"},
      {"169.254.10.20", "255.255.0.0", "169.254.0.0"},
      {"192.168.1.9", "255.255.255.255", "192.168.1.9"},
      {"192.168.1.9", "0.0.0.0", "0.0.0.0"},
      {"fe80::1:2", "ffff:ffff:ffff:ffff::", "fe80::"},
      {"10.1.2.3", "255.0.255.0", ""},      // not contiguous
      {"10.1.2.3", "ffff::", ""},           // other family
      {"10.1.2", "255.255.255.0", ""},
      {"", "", ""},
      {"host.example", "255.255.255.0", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.subnet, VSCoordinator::GetSubnet(c.ip, c.mask)) << c.ip << "/" << c.mask;
}

TEST(FrameBases, LocalFactsAreUsable) {
  VSController controller;
  int64_t cpus = -1, memory = -1, os = -1;
  ASSERT_TRUE(controller.FillLocalComputerInfo(cpus, memory, os));
  EXPECT_GT(cpus, 0);
  EXPECT_GT(memory, 0);
  EXPECT_EQ(1, os);
  std::vector<std::pair<std::string, std::string>> addresses;
  ASSERT_TRUE(controller.FillLocalIPAddressInfo(addresses));
  for (const auto& address : addresses) {
    EXPECT_NE("127.0.0.1", address.first);
    EXPECT_FALSE(VSCoordinator::GetSubnet(address.first, address.second).empty()) << address.first;
  }
  EXPECT_FALSE(controller.CheckServiceShutdown());
  controller.OnServiceShutdown();
  EXPECT_TRUE(controller.CheckServiceShutdown());
  EXPECT_TRUE(controller.CheckQuitFlag());

  VSCoordinator coordinator;
  coordinator.OnServiceShutdown();
  EXPECT_TRUE(coordinator.CheckServiceShutdown());
  EXPECT_TRUE(coordinator.CheckQuitFlag());
}

}  // namespace
