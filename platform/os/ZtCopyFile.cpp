#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/lab/Lab.h"
#include "platform/lab/LabFaults.h"
#include "platform/os/CPxFile.h"
#include "records/FixedRecords.h"

namespace {

// The resolved path of an existing folder; empty when it does not resolve.
std::string RealFolder(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return std::string();
  struct stat st;
  if (stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) return std::string();
  return resolved;
}

std::string Bounded(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }

}  // namespace

CPxError ZtCopyFile::GetConnection(const std::string& host, const std::string& localClient, bool flag) {
  m_host.clear();
  if (lab::Root().empty()) return CPxError(-1, "no lab: cannot reach client [" + host + "]");
  if (!lab::IsSafeComponent(host)) return CPxError(-1, "[" + host + "] is not a client name");
  if (RealFolder(lab::ClientDir(host)).empty()) return CPxError(-1, "client [" + host + "] is not reachable");
  m_host = host;
  return CPxError::Success();
}

CPxError ZtCopyFile::CopySingleFile(const ztsFilexferRequest& request, bool flag) {
  if (m_host.empty()) return CPxError(-1, "not connected");
  lab::FaultCall call;
  call.op = "copy.CopySingleFile";
  call.client = m_host;
  lab::Fault fault;
  if (lab::CheckFault(call, fault))
    return CPxError(-1, fault.text.empty() ? "the copy failed with code " + std::to_string(fault.code) : fault.text);
  const std::string name = Bounded(request.fileName, sizeof(request.fileName));
  if (!lab::IsSafeComponent(name)) return CPxError(-1, "[" + name + "] is not a file name");
  const std::string source = Bounded(request.sourceFolder, sizeof(request.sourceFolder)) + "/" + name;
  if (!CPxFile::Exists(source)) return CPxError(-1, "[" + source + "] is not a file");
  const std::string clientRoot = RealFolder(lab::ClientDir(m_host));
  const std::string destination = RealFolder(Bounded(request.destinationFolder, sizeof(request.destinationFolder)));
  // The destination comes from the other side: it must stay inside that client's own folder.
  if (clientRoot.empty() || destination.empty() || destination.compare(0, clientRoot.size() + 1, clientRoot + "/") != 0)
    return CPxError(-1, "destination [" + Bounded(request.destinationFolder, sizeof(request.destinationFolder)) +
                            "] is not a folder of client [" + m_host + "]");
  return CPxFile::Copy(source, destination + "/" + name);
}
