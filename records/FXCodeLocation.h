#pragma once
#include <cstdint>
#include <string>

// Where in the code something happened, as given to the constructor.
class FXCodeLocation {
 public:
  FXCodeLocation(const char* file, const char* function, int32_t line)
      : m_file(file ? file : ""), m_function(function ? function : ""), m_line(line) {}

  const std::string& File() const { return m_file; }
  const std::string& Function() const { return m_function; }
  int32_t Line() const { return m_line; }

 private:
  std::string m_file;
  std::string m_function;
  int32_t m_line;
};
