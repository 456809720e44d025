#pragma once
// Declaration tables of message namespaces.
//
// A namespace is declared once, in a table file (<Ns>Messages.def) made of these rows:
//
//   CN_NAMESPACE(VirtualServer, 26)
//   CN_MESSAGE(VMAgentStatus, 49, 0x577C20)      class, type, low 24 bits of the tag id (or CN_AUTO)
//     CN_INT64(1, 1, 0xC2AA8D, streamCount)      index, number, check value, field name
//     CN_TEXT / CN_PTEXT / CN_TEXTLIST / CN_INTLIST (same columns)
//     CN_MSGLIST(3, 6, 0x207BA2, addresses, VMAgentAddress::TAG)   + element tag (0 = any type)
//     CN_MSG(9, 12, 0xCDCFF2, status, VMAgentStatus::TAG)          + nested tag (0 = any type)
//   CN_END(VMAgentStatus)
//   CN_NAMESPACE_END(VirtualServer)
//
// The namespace's header defines CN_TABLE as the table's path and includes
// "platform/msg/CNMessageTableDeclare.inc": that yields the generated classes (constructor = the
// base's with (GROUP, TYPE), static TAG, one `static constexpr CNField F_<name>` per field) and the
// namespace's RegisterSubsystem(). Its source file does the same with
// "platform/msg/CNMessageTableDefine.inc", which defines RegisterSubsystem() and registers every
// declaration with the catalogue while the library loads. Nested tags may name classes of
// namespaces whose headers were included before.

#include "platform/msg/CNMessageBase.h"
#include "platform/msg/CNMessageCatalogue.h"

// Low-24 column value for a message type without a fixed tag constant.
#define CN_AUTO 0xFFFFFFFFu

constexpr uint32_t CNTableTag(int group, int type, uint32_t low24) {
  return CNMakeTag(group, low24 == CN_AUTO ? CNAutoLow24(type) : low24);
}

// Check value of a field whose declaration has no fixed constant: a 24-bit hash of the field's
// name, so that fields of the same name carry the same value in every message.
constexpr uint32_t CNCheckOf(const char* name) {
  uint32_t h = 2166136261u;
  for (; *name; ++name) h = (h ^ static_cast<unsigned char>(*name)) * 16777619u;
  return (h ^ (h >> 24)) & 0xFFFFFFu;
}
