#pragma once
#include <cstdint>
#include <string>
#include <vector>

// One typed argument of a job event. The type numbers are those the event catalogue expects:
// 5 a 32-bit integer, 9 a signed 64-bit integer, 10 an unsigned 64-bit integer, 11 a text.
// Numbers are held as their little-endian bytes.
struct EvArgument {
  int type = 0;
  std::string bytes;

  // The argument as readable text (numbers in decimal).
  std::string ToText() const;
};

class ArgumentInfo {
 public:
  ArgumentInfo& operator<<(int value);
  ArgumentInfo& operator<<(long long value);
  ArgumentInfo& operator<<(unsigned long value);
  ArgumentInfo& operator<<(const std::string& text);
  ArgumentInfo& operator<<(const char* text);

  void Clear() { arguments_.clear(); }
  bool Empty() const { return arguments_.empty(); }
  size_t Size() const { return arguments_.size(); }
  const std::vector<EvArgument>& Arguments() const { return arguments_; }
  // The arguments as readable texts joined with the separator.
  std::string Join(const std::string& separator) const;

 private:
  std::vector<EvArgument> arguments_;
};

// "0x<ID> arg1|arg2|...": the id and arguments of an event or pending cause as one line of the job's
// files. Separators and line breaks inside an argument are escaped, so a line splits back into
// exactly the arguments it was given.
std::string FormatEventIdWithArguments(uint32_t id, const ArgumentInfo& arguments);

// A job event message: id, a second number, its arguments and two entity values.
class EvMessageContainer {
 public:
  EvMessageContainer() = default;
  EvMessageContainer(const EvMessageContainer& other);
  EvMessageContainer& operator=(const EvMessageContainer& other);

  void SetMessageID(uint32_t id, bool clearArguments = false);
  uint32_t GetMessageID() const { return messageId_; }
  void SetSecondNumber(uint32_t value) { secondNumber_ = value; }
  uint32_t GetSecondNumber() const { return secondNumber_; }
  void SetEntities(int64_t first, int64_t second) { entity1_ = first; entity2_ = second; }
  int64_t GetEntity1() const { return entity1_; }
  int64_t GetEntity2() const { return entity2_; }

  EvMessageContainer& operator<<(const std::string& text);
  EvMessageContainer& operator<<(const char* text);
  EvMessageContainer& operator<<(int value);
  EvMessageContainer& operator<<(long long value);
  EvMessageContainer& operator<<(unsigned long value);

  ArgumentInfo& Arguments() { return arguments_; }
  const ArgumentInfo& Arguments() const { return arguments_; }
  void Clear();

 private:
  ArgumentInfo arguments_;
  uint32_t messageId_ = 0;
  uint32_t secondNumber_ = 0;
  int64_t entity1_ = 0;
  int64_t entity2_ = 0;
};
