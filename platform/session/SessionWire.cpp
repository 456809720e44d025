#include "platform/session/SessionWire.h"

#include <cerrno>
#include <cstdio>

#include "platform/lab/LabFaults.h"
#include "platform/remoteagent/RAFrame.h"

namespace session {

std::string MakeXdrBody(unsigned long type, const std::string& data) {
  char head[16];
  std::snprintf(head, sizeof(head), "%08lx", type & 0xFFFFFFFFUL);
  return head + data;
}

bool ParseXdrBody(const std::string& body, unsigned long& type, std::string& data) {
  if (body.size() < 8) return false;
  unsigned long value = 0;
  for (size_t i = 0; i < 8; ++i) {
    const char c = body[i];
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return false;
    value = value * 16 + static_cast<unsigned long>(digit);
  }
  type = value;
  data = body.substr(8);
  return true;
}

int ConnectLoopback(int port, int timeoutMs, CPxError& error) {
  bool noSocket = false;
  const int fd = remoteagent::ConnectTimed("127.0.0.1", port, timeoutMs, &noSocket);
  if (fd < 0) error = CPxError::FromErrno(errno, noSocket ? "socket" : "connect to port " + std::to_string(port));
  return fd;
}

bool Faulted(const char* op, CPxError& error) {
  lab::Fault fault;
  if (!lab::CheckFault(op, fault)) return false;
  error = CPxError(fault.code > 0 ? -fault.code : fault.code, fault.text.empty() ? op : fault.text);
  return true;
}

}  // namespace session
