#pragma once
// The stored value of one declared field. Private to the message runtime.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/msg/CNMessageBase.h"

struct CNMessageBase::Slot {
  bool set = false;  // lists: also "present" when not empty, however they were obtained
  int64_t number = 0;
  std::string text;
  bstring ptext;
  std::vector<std::string> texts;
  std::vector<int64_t> ints;
  CNMessageList list;
  CNMessagePtr object;  // a nested message; set whenever it exists

  bool Present(CNFieldKind kind) const {
    switch (kind) {
      case CNFieldKind::TextList: return set || !texts.empty();
      case CNFieldKind::IntList: return set || !ints.empty();
      case CNFieldKind::MessageList: return set || !list.empty();
      case CNFieldKind::Message: return static_cast<bool>(object);
      default: return set;
    }
  }
};
