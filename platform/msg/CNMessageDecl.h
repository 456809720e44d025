#pragma once
#include <cstdint>
#include <vector>

class CNMessageBase;

enum class CNFieldKind { Int64, Text, ProtectedText, TextList, IntList, MessageList, Message };

// One field of a message declaration. `index` is the field's position in the declaration (from 1),
// `number` the stable number it is addressed and serialised under, `check` a 24-bit value that
// confirms the field at every access. `nestedTag` is the tag id of the element type of a message
// list or of a nested message; 0 accepts any message type.
struct CNFieldDecl {
  int index;
  int number;
  uint32_t check;
  CNFieldKind kind;
  const char* name;  // also the XML element name of the field
  uint32_t nestedTag;
};

// One message type. Tag id = (group << 24) | low24; tag name = "<nameSpace>_<className>".
struct CNMessageDecl {
  const char* nameSpace;
  const char* className;
  int group;
  int type;
  uint32_t tagId;
  std::vector<CNFieldDecl> fields;
  CNMessageBase* (*create)();  // new object of the generated class; owned by the caller
};

// A field as seen from a call site: the four values every access passes. Generated classes carry
// one per field (F_<name>), bound to the declaring message's tag, so using the descriptor of one
// message on another is caught like any other mismatch.
struct CNField {
  int index;
  int number;
  uint32_t check;
  uint32_t tag;
};

// Low 24 bits used when a message type has no fixed tag constant of its own.
constexpr uint32_t CNAutoLow24(int type) { return 0x800000u | (static_cast<uint32_t>(type) & 0x7FFFFFu); }
constexpr uint32_t CNMakeTag(int group, uint32_t low24) {
  return (static_cast<uint32_t>(group) << 24) | (low24 & 0xFFFFFFu);
}
