#include "records/WinCompat.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

unsigned int GetLastError() { return static_cast<unsigned int>(errno); }

void SetLastError(unsigned int error) { errno = static_cast<int>(error); }

pthread_t GetCurrentThreadId() { return pthread_self(); }

int64_t GetCurrentProcessId() { return static_cast<int64_t>(getpid()); }

int _stricmp(const char* a, const char* b) { return strcasecmp(a ? a : "", b ? b : ""); }

long long _strtoi64(const char* text, char** end, int base) {
  if (text == nullptr) {
    if (end) *end = nullptr;
    return 0;
  }
  return std::strtoll(text, end, base);
}
