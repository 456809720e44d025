#pragma once
#include <cstddef>
#include <memory>
#include <string>

// SHA-256 of a stream of bytes (through OpenSSL's libcrypto, which uses the processor's SHA
// instructions where it has them).
class CPxSha256 {
 public:
  CPxSha256();
  ~CPxSha256();
  CPxSha256(const CPxSha256&) = delete;
  CPxSha256& operator=(const CPxSha256&) = delete;

  void Update(const void* data, size_t size);
  // The digest in lower-case hex; the object starts afresh afterwards.
  std::string FinalHex();

  // The digest of a whole regular file; false with the reason.
  static bool OfFile(const std::string& path, std::string& hex, std::string& error);

 private:
  struct State;
  std::unique_ptr<State> state_;
};
