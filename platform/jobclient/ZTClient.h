#pragma once
#include <cstdint>
#include <string>

// Clients of the management server by id. In the lab a client's id is the setting "nClientId" of
// its section "Base".
class ZTClient {
 public:
  // False when no client of the lab has that id.
  static bool getName(int64_t clientId, std::string& name);
  // False when the lab has no such client or it has no id.
  static bool getId(const std::string& name, int64_t& clientId);
  // The network host name of a client: its lab machine's host name, or the name itself when the
  // lab knows no other (a server of the hypervisor is reached by its own name).
  static std::string getNetworkHostname(const std::string& name);
};
