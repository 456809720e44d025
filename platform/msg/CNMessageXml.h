#pragma once
// The XML form of messages: read through expat's event parser, written directly. Private to
// platform/msg.
#include <cstddef>
#include <memory>
#include <string>

class CNMessageBase;

class CNMessageXml {
 public:
  // Documents above this size are refused before parsing.
  static constexpr size_t kMaxDocumentBytes = 64u << 20;
  // Nested messages deeper than this are refused (the declared catalogue needs a handful).
  static constexpr int kMaxDepth = 64;
  // Elements nested deeper than the deepest allowed message needs are refused as well, inside
  // fields this process does not know too. A message takes two element levels (its field and
  // itself), a list item one more: the root is at level 1, a message at depth d at level 2d + 1.
  static constexpr size_t kMaxElementDepth = 2 * kMaxDepth + 3;

  static bool Serialize(const CNMessageBase& message, std::string& xml, bool compact, std::string* error);

  // With a target: the root must be the target's type (by name and tag id); the result is of that
  // type. Without: a known root gives its generated class; an unknown root with a well-formed tag
  // attribute a plain message carrying the tag. Null on failure, with the reason in `error`.
  static std::unique_ptr<CNMessageBase> Parse(const std::string& xml, const CNMessageBase* target,
                                              std::string* error);
};
