#pragma once
#include "platform/msg/CNMessageBase.h"

#define CN_TABLE "agentprog/RATestMessages.def"
#include "platform/msg/CNMessageTableDeclare.inc"

namespace RATest {
// A Ping with its three fields.
inline Ping MakePing(int64_t seq, const std::string& sender, const std::string& payload) {
  Ping ping;
  ping.setint64(Ping::F_seq, seq);
  ping.setstring(Ping::F_sender, sender);
  ping.setstring(Ping::F_payload, payload);
  return ping;
}
inline Command MakeCommand(const std::string& op, int64_t count = 0, int64_t arg = 0) {
  Command command;
  command.setstring(Command::F_op, op);
  command.setint64(Command::F_count, count);
  command.setint64(Command::F_arg, arg);
  return command;
}
}  // namespace RATest
