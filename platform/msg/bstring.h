#pragma once
#include <string>

// A text held by a class with a virtual destructor: the holder of protected (password) texts of
// the message runtime.
class bstring {
 public:
  bstring() = default;
  explicit bstring(const std::string& text) : m_text(text) {}
  virtual ~bstring() = default;

  const char* c_str() const { return m_text.c_str(); }
  const std::string& str() const { return m_text; }

 private:
  std::string m_text;
};
