#pragma once
// The XML form of messages, through Xerces-C. Private to platform/msg.
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

  static bool Serialize(const CNMessageBase& message, std::string& xml, bool compact, std::string* error);

  // With a target: the root must be the target's type (by name and tag id); the result is of that
  // type. Without: a known root gives its generated class; an unknown root with a well-formed tag
  // attribute a plain message carrying the tag. Null on failure, with the reason in `error`.
  static std::unique_ptr<CNMessageBase> Parse(const std::string& xml, const CNMessageBase* target,
                                              std::string* error);
};
