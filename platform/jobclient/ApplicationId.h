#pragma once
#include <string>

// An application of the management server named "<type>:<number>". In the lab the number names a
// subclient record whose key "clientName" is the client the application runs on.
class ApplicationId {
 public:
  explicit ApplicationId(const std::string& text) : text_(text) {}
  // The client's name; empty when the text names no application, or the application no client.
  std::string getClient() const;

 private:
  const std::string text_;
};
