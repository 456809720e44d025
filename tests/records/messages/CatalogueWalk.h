#pragma once
// Walks the message declarations of the system's namespaces, for the catalogue and round-trip tests.
#include <string>
#include <vector>

#include "platform/msg/CNMessageBase.h"
#include "platform/msg/CNMessageCatalogue.h"

namespace catalogue_walk {

// Namespace name and group of every namespace the system declares messages in.
struct Namespace {
  const char* name;
  int group;
};
const std::vector<Namespace>& SystemNamespaces();

// The registered declarations of those namespaces (test-only namespaces left out).
std::vector<const CNMessageDecl*> SystemMessages();

bool IsTextKind(CNFieldKind kind);

// Values a fill puts into fields. Each field takes the entry picked by its number, so that
// neighbouring fields of one message get different values.
struct Values {
  std::vector<int64_t> numbers;
  std::vector<std::string> texts;
  std::string password;
};
Values RichValues();     // markup characters, non-ASCII, large numbers
Values ExtremeValues();  // empty and blank texts, control characters, bad UTF-8, 64-bit limits

// Sets every declared field, creating nested messages and list elements (two per list) from their
// declared tags, down to `depth` levels of nesting.
void Fill(CNMessageBase& message, const Values& values, int depth);

// Empty when both messages hold the same fields and values (nested ones included); otherwise a
// description of the first difference.
std::string Diff(CNMessageBase& a, CNMessageBase& b);

// Names of the declared fields that are not set, searched through nested messages and lists.
std::vector<std::string> UnsetFields(CNMessageBase& message);

// Number of nesting levels below the message's type (0 without nested fields).
int NestingDepth(uint32_t tag);

// A fresh temporary folder.
std::string TempDir();

}  // namespace catalogue_walk
