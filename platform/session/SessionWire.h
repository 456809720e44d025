#pragma once
#include <string>

#include "platform/os/CPxError.h"

// Wire format of the session services (internal): frames of platform/remoteagent/RAFrame.h with kinds
// of their own. Bodies: kHello the attaching client's name; kXml compact message XML; kXdr the type in 8
// hex digits, then the data; kAccept and kDisconnectReply empty.
namespace session {

constexpr char kHello = 'H';            // client -> server, first frame
constexpr char kAccept = 'A';           // server -> client: attached
constexpr char kXml = 'M';              // client -> server
constexpr char kXdr = 'X';              // client -> server
constexpr char kDisconnectReply = 'R';  // server -> client: the disconnect request is answered

std::string MakeXdrBody(unsigned long type, const std::string& data);
bool ParseXdrBody(const std::string& body, unsigned long& type, std::string& data);
// Connects to a loopback port within the time on the platform clock; -1 with the error otherwise.
int ConnectLoopback(int port, int timeoutMs, CPxError& error);
// True when the lab's fault table fails the operation now; the error is then the rule's.
bool Faulted(const char* op, CPxError& error);

}  // namespace session
