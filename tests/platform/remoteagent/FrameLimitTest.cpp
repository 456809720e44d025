// The frame reader at its payload limit; one byte past it is a fault (FrameAndFrameBaseTest).
#include <gtest/gtest.h>

#include "platform/remoteagent/RAFrame.h"

namespace {

TEST(RemoteAgentFrames, ReaderTakesAFrameOfExactlyTheLimit) {
  std::string frame;
  ASSERT_TRUE(remoteagent::EncodeFrame(remoteagent::kMessage, std::string(remoteagent::kMaxFramePayload - 1, 'x'),
                                       frame));
  ASSERT_EQ(frame.substr(0, 4), std::string("\x01\x00\x00\x00", 4));
  remoteagent::FrameReader reader;
  reader.Append(frame.data(), frame.size());
  char kind = 0;
  std::string body;
  ASSERT_EQ(remoteagent::FrameReader::Result::kFrame, reader.Next(kind, body));
  EXPECT_EQ(remoteagent::kMessage, kind);
  EXPECT_EQ(remoteagent::kMaxFramePayload - 1, body.size());
  EXPECT_EQ(0u, reader.Buffered());
}

}  // namespace
