#pragma once
#include <string>

#include "platform/msg/CNMessageBase.h"

namespace msgtest {

// Texts that stress the XML form: markup characters, non-ASCII, blanks at the edges, a line break,
// and characters XML cannot carry as they are (carriage return, a control character).
extern const char* const kHardText;
extern const char* const kRawText;
extern const char* const kPassword;

// Sets every declared field of the message (recursively, `depth` levels of nesting) through the
// public raw accessors, with values derived from `seed`.
void FillAll(CNMessageBase& message, int seed, int depth);

// Compares two messages field by field through the public accessors; empty when equal, else the
// first difference.
std::string Diff(CNMessageBase& a, CNMessageBase& b);

// A fresh temporary folder for one test.
std::string TempDir();

}  // namespace msgtest
