#pragma once
#include <cstdint>
#include <string>

// Clients of the management server by id. In the lab a client's id is the setting "nClientId" of
// its section "Base".
class ZTClient {
 public:
  // False when no client of the lab has that id.
  static bool getName(int64_t clientId, std::string& name);
  // The id of the named client; false when the client has no folder or no id.
  static bool getClientId(const std::string& name, int64_t& clientId);
};
