#include "platform/config/ZTPI_Focus.h"

#include "platform/lab/Lab.h"

void ZTPI_Focus::setFocusClientNameFromArgs(int argc, char** argv) {
  if (argv != nullptr && argc > 0) lab::SetFocusClientFromArgs(argc, argv);
}

std::string ZTPI_Focus::getFocus() { return lab::FocusClient(); }

std::string ZTPI_Focus::getFocusClientName(bool /*physical*/) { return lab::FocusClient(); }
