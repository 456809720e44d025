#include "platform/ev/EvMessageContainer.h"

#include <cstdio>

namespace {

template <typename T>
std::string LittleEndianBytes(T value, size_t size) {
  std::string bytes(size, '\0');
  auto raw = static_cast<unsigned long long>(value);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((raw >> (8 * i)) & 0xFF);
  return bytes;
}

unsigned long long FromLittleEndian(const std::string& bytes) {
  unsigned long long raw = 0;
  for (size_t i = 0; i < bytes.size() && i < 8; ++i)
    raw |= static_cast<unsigned long long>(static_cast<unsigned char>(bytes[i])) << (8 * i);
  return raw;
}

}  // namespace

std::string EvArgument::ToText() const {
  switch (type) {
    case 5: return std::to_string(static_cast<int32_t>(FromLittleEndian(bytes)));
    case 9: return std::to_string(static_cast<long long>(FromLittleEndian(bytes)));
    case 10: return std::to_string(FromLittleEndian(bytes));
    default: return bytes;
  }
}

ArgumentInfo& ArgumentInfo::operator<<(int value) {
  arguments_.push_back({5, LittleEndianBytes(static_cast<uint32_t>(value), 4)});
  return *this;
}

ArgumentInfo& ArgumentInfo::operator<<(long long value) {
  arguments_.push_back({9, LittleEndianBytes(value, 8)});
  return *this;
}

ArgumentInfo& ArgumentInfo::operator<<(unsigned long value) {
  arguments_.push_back({10, LittleEndianBytes(value, 8)});
  return *this;
}

ArgumentInfo& ArgumentInfo::operator<<(const std::string& text) {
  arguments_.push_back({11, text});
  return *this;
}

ArgumentInfo& ArgumentInfo::operator<<(const char* text) { return *this << std::string(text ? text : ""); }

std::string ArgumentInfo::Join(const std::string& separator) const {
  std::string joined;
  for (size_t i = 0; i < arguments_.size(); ++i) {
    if (i) joined += separator;
    joined += arguments_[i].ToText();
  }
  return joined;
}

namespace {

std::string EscapeArgument(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\\': escaped += "\\\\"; break;
      case '|': escaped += "\\|"; break;
      case '\n': escaped += "\\n"; break;
      case '\r': escaped += "\\r"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

}  // namespace

std::string FormatEventIdWithArguments(uint32_t id, const ArgumentInfo& arguments) {
  char head[16];
  std::snprintf(head, sizeof(head), "0x%08X", id);
  std::string line(head);
  const std::vector<EvArgument>& list = arguments.Arguments();
  for (size_t i = 0; i < list.size(); ++i) {
    line += i == 0 ? ' ' : '|';
    line += EscapeArgument(list[i].ToText());
  }
  return line;
}

EvMessageContainer::EvMessageContainer(const EvMessageContainer& other) { *this = other; }

EvMessageContainer& EvMessageContainer::operator=(const EvMessageContainer& other) {
  // Clearing first would wipe the source too when a container is assigned to itself.
  if (this == &other) return *this;
  Clear();
  messageId_ = other.messageId_;
  secondNumber_ = other.secondNumber_;
  arguments_ = other.arguments_;
  entity1_ = other.entity1_;
  entity2_ = other.entity2_;
  return *this;
}

void EvMessageContainer::SetMessageID(uint32_t id, bool clearArguments) {
  messageId_ = id;
  if (clearArguments) arguments_.Clear();
}

EvMessageContainer& EvMessageContainer::operator<<(const std::string& text) { arguments_ << text; return *this; }
EvMessageContainer& EvMessageContainer::operator<<(const char* text) { arguments_ << text; return *this; }
EvMessageContainer& EvMessageContainer::operator<<(int value) { arguments_ << value; return *this; }
EvMessageContainer& EvMessageContainer::operator<<(long long value) { arguments_ << value; return *this; }
EvMessageContainer& EvMessageContainer::operator<<(unsigned long value) { arguments_ << value; return *this; }

void EvMessageContainer::Clear() {
  arguments_.Clear();
  messageId_ = 0;
  secondNumber_ = 0;
  entity1_ = 0;
  entity2_ = 0;
}
