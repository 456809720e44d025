#pragma once
#include <string>

#include "support/TestLab.h"

// The os tests' view of the one test lab: its folder and plain files in it.
class OsTestDir : public testsupport::TestLab {
 public:
  const std::string& path() const { return Root(); }
  std::string file(const std::string& name) const { return Path(name); }
};
