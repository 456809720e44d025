#include "platform/os/CPxSha256.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

struct CPxSha256::State {
  EVP_MD_CTX* context = nullptr;
};

CPxSha256::CPxSha256() : state_(new State) {
  state_->context = EVP_MD_CTX_new();
  EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr);
}

CPxSha256::~CPxSha256() { EVP_MD_CTX_free(state_->context); }

void CPxSha256::Update(const void* data, size_t size) {
  if (size > 0) EVP_DigestUpdate(state_->context, data, size);
}

std::string CPxSha256::FinalHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(state_->context, digest, &length);
  EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

bool CPxSha256::OfFile(const std::string& path, std::string& hex, std::string& error) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    error = fd < 0 ? "cannot open " + path + ": " + std::strerror(errno) : path + " is not a regular file";
    if (fd >= 0) close(fd);
    return false;
  }
  CPxSha256 sha;
  std::vector<char> chunk(1 << 20);
  for (;;) {
    ssize_t n = read(fd, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "cannot read " + path + ": " + std::strerror(errno);
      close(fd);
      return false;
    }
    if (n == 0) break;
    sha.Update(chunk.data(), static_cast<size_t>(n));
  }
  close(fd);
  hex = sha.FinalHex();
  return true;
}
