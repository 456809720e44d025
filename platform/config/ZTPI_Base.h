#pragma once
#include <string>

// Folders of the focus client. The settings section "Base" may name other folders ("dBASEHOME",
// "dVORLAXTEMPDIR"); otherwise they are the client's folders in the lab. Every result is empty when
// there is no lab, so that nothing is written relative to the file-system root.
class ZTPI_Base {
 public:
  static std::string getBaseDir();
  static std::string getTempDir();
  static std::string getVorlaxTempDirectory() { return getTempDir(); }
  // Job results of the given client (empty: the focus client).
  static std::string getJobResultsDir(const std::string& client = std::string());
};
