#pragma once
#include <pthread.h>

#include <cstdint>

// The calling thread's errno.
unsigned int GetLastError();
void SetLastError(unsigned int error);
pthread_t GetCurrentThreadId();
int64_t GetCurrentProcessId();
// strcasecmp; a null pointer compares as an empty text.
int _stricmp(const char* a, const char* b);
// strtoll; a null text gives 0 (and end, when given, points at it).
long long _strtoi64(const char* text, char** end, int base);
