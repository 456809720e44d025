#include "platform/config/ZTPI_Focus.h"

#include "platform/ev/EvDebug.h"
#include "platform/lab/Lab.h"

bool ZTPI_Focus::setFocusClientNameFromArgs(int argc, char** argv) {
  if (argv == nullptr || argc <= 0) return true;
  std::string error;
  if (lab::SetFocusClientFromArgs(argc, argv, error)) return true;
  // No log can be open yet: this line goes to standard error, and the process has no client to log as.
  EvDebug::Error("static bool ZTPI_Focus::setFocusClientNameFromArgs(int, char**)", "Refusing the command line: %s",
                 error.c_str());
  return false;
}

std::string ZTPI_Focus::getFocus() { return lab::FocusClient(); }

std::string ZTPI_Focus::getFocusClientName(bool /*physical*/) { return lab::FocusClient(); }
