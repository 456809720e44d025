#pragma once
#include <string>

// The session services that run in the lab: services/<client>/<service>, one record per named
// listening service a process of the client offers on loopback, key=value lines "port=<n>" and
// "pid=<process id>". A service registers when it starts listening and takes its record back when it
// ends; a record left by a dead process names a port nobody answers on.
namespace lab {

// The record's file; empty without a lab or for a client or service name that is not usable.
std::string SessionServicePath(const std::string& client, const std::string& service);
bool RegisterSessionService(const std::string& client, const std::string& service, int port, std::string& error);
// Removes the record only while it still names this process and port (a newer service of the same
// name keeps its own).
bool UnregisterSessionService(const std::string& client, const std::string& service, int port);
// False (with the reason) when no such service is registered or its record cannot be read.
bool LookupSessionService(const std::string& client, const std::string& service, int& port, std::string& error);

}  // namespace lab
