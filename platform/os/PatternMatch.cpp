#include "platform/os/PatternMatch.h"

#include <cctype>
#include <cstddef>

CPathMatch::CPathMatch(const std::string& pattern, int ignoreCase, int wildcardsStopAtSeparator)
    : pattern_(pattern), ignoreCase_(ignoreCase != 0), stopAtSeparator_(wildcardsStopAtSeparator != 0) {}

bool CPathMatch::Same(char p, char t) const {
  if (p == t) return true;
  if (!ignoreCase_) return false;
  return std::tolower(static_cast<unsigned char>(p)) == std::tolower(static_cast<unsigned char>(t));
}

bool CPathMatch::WildcardTakes(char t) const { return !stopAtSeparator_ || (t != '/' && t != '\\'); }

// Greedy matching that remembers only the latest "*": when a later literal fails, that star takes
// one more character and matching resumes after it. Time stays O(pattern * text) with no recursion,
// so a hostile pattern of many stars cannot blow up.
bool CPathMatch::Match(const std::string& text) const {
  const std::string& p = pattern_;
  size_t pi = 0, ti = 0;
  size_t starPi = std::string::npos, starTi = 0;
  while (ti < text.size()) {
    if (pi < p.size() && p[pi] == '*') {
      starPi = pi++;
      starTi = ti;
    } else if (pi < p.size() && ((p[pi] == '?' && WildcardTakes(text[ti])) || (p[pi] != '?' && Same(p[pi], text[ti])))) {
      ++pi;
      ++ti;
    } else if (starPi != std::string::npos && WildcardTakes(text[starTi])) {
      pi = starPi + 1;
      ti = ++starTi;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}
