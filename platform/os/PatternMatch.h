#pragma once
#include <string>

// The path pattern of the utility library, used to match disk filters against VM names: "*" stands
// for any run of characters (also none), "?" for one character; every other character, backslash
// included, stands for itself.
class CPathMatch {
 public:
  // ignoreCase: letters match without regard to case (ASCII). wildcardsStopAtSeparator: when set,
  // "*" and "?" never match "/" or "\"; when clear they match any character.
  CPathMatch(const std::string& pattern, int ignoreCase, int wildcardsStopAtSeparator);

  bool Match(const std::string& text) const;
  const std::string& Pattern() const { return pattern_; }

 private:
  bool Same(char p, char t) const;
  bool WildcardTakes(char t) const;

  // Constant after construction.
  std::string pattern_;
  bool ignoreCase_;
  bool stopAtSeparator_;
};
