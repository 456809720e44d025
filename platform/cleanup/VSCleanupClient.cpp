#include "platform/cleanup/VSCleanupClient.h"

#include <unistd.h>

#include "platform/lab/Lab.h"
#include "platform/lab/LabAgent.h"
#include "platform/lab/LabFaults.h"

namespace {

// Fields joined with '|'; '\', '|' and line breaks inside a field are escaped, so an entry is one line.
std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '|') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

std::string ProcessEntry(int64_t jobId, uint64_t keyrealmId, uint64_t appId) {
  return "process " + std::to_string(jobId) + " " + std::to_string(keyrealmId) + " " + std::to_string(appId) + " " +
         std::to_string(static_cast<long>(getpid()));
}

std::string VMEntry(const std::string& host, const std::string& vmName, const std::string& vmGuid,
                    const std::string& cleanupText) {
  return "vm " + Escape(host) + "|" + Escape(vmName) + "|" + Escape(vmGuid) + "|" + Escape(cleanupText);
}

// True when the fault table fails the call.
bool Faulted(const char* op) {
  lab::Fault fault;
  return lab::CheckFault(op, fault);
}

bool Record(const char* op, bool add, const std::string& entry) {
  return !Faulted(op) && lab::AppendCleanupRegistration(lab::FocusClient(), add, entry);
}

}  // namespace

bool VSCleanupClient::RegisterProcess(int64_t jobId, uint64_t keyrealmId, uint64_t appId) {
  return Record("cleanup.RegisterProcess", true, ProcessEntry(jobId, keyrealmId, appId));
}

bool VSCleanupClient::UnregisterProcess(int64_t jobId, uint64_t keyrealmId, uint64_t appId) {
  return Record("cleanup.UnregisterProcess", false, ProcessEntry(jobId, keyrealmId, appId));
}

bool VSCleanupClient::RegisterVM(const std::string& host, const std::string& vmName, const std::string& vmGuid,
                                 const std::string& cleanupText) {
  return Record("cleanup.RegisterVM", true, VMEntry(host, vmName, vmGuid, cleanupText));
}

bool VSCleanupClient::UnregisterVM(const std::string& host, const std::string& vmName, const std::string& vmGuid,
                                   const std::string& cleanupText) {
  return Record("cleanup.UnregisterVM", false, VMEntry(host, vmName, vmGuid, cleanupText));
}

std::vector<std::string> VSCleanupClient::ReadRegistrations(const std::string& client) {
  return lab::ReadCleanupRegistrations(client);
}

namespace vscleanup {

std::string GenerateVSCleanupString(int64_t jobId, const std::string& appId, const std::string& host,
                                    const std::string& vmName, const std::string& vmGuid,
                                    const std::string& mountCleanupText) {
  return std::to_string(jobId) + "|" + Escape(appId) + "|" + Escape(host) + "|" + Escape(vmName) + "|" +
         Escape(vmGuid) + "|" + Escape(mountCleanupText);
}

}  // namespace vscleanup
