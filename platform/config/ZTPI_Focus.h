#pragma once
#include <string>

// Which client of the lab this process is.
class ZTPI_Focus {
 public:
  // Takes the client from "-cn <client>" when the command line has it. A "-cn" without a usable
  // client name is refused with a message (false) and leaves the process without a client, so that
  // nothing is written under another client's name.
  static bool setFocusClientNameFromArgs(int argc, char** argv);
  static std::string getFocus();
  // The name of this process's client. In the lab every client is a physical machine, so the flag
  // (physical rather than virtual name) selects the same name.
  static std::string getFocusClientName(bool physical);
};
