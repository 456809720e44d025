#include "platform/frame/VSCoordinator.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "platform/lab/Lab.h"
#include "platform/lab/LabJob.h"
#include "platform/os/FXString.h"

namespace {

// True when the bytes are ones followed only by zeros.
bool IsContiguousMask(const unsigned char* bytes, size_t size) {
  bool zeroSeen = false;
  for (size_t i = 0; i < size; ++i) {
    for (int bit = 7; bit >= 0; --bit) {
      const bool one = (bytes[i] >> bit) & 1;
      if (one && zeroSeen) return false;
      if (!one) zeroSeen = true;
    }
  }
  return true;
}

template <size_t N>
std::string ApplyMask(int family, const unsigned char (&ip)[N], const unsigned char (&mask)[N]) {
  if (!IsContiguousMask(mask, N)) return std::string();
  unsigned char net[N];
  for (size_t i = 0; i < N; ++i) net[i] = ip[i] & mask[i];
  char text[INET6_ADDRSTRLEN] = {};
  if (inet_ntop(family, net, text, sizeof text) == nullptr) return std::string();
  return text;
}

}  // namespace

VSCoordinator::VSCoordinator() = default;

VSCoordinator::DispatchRecord VSCoordinator::RecordVMDispatch(const std::string& agent, const std::string& vmGuid,
                                                              std::string& error) {
  const int64_t jobId = lab::FocusJob();
  if (jobId <= 0 || lab::Root().empty()) return DispatchRecord::kRecorded;
  const std::string host = GetAgentHostName(agent);
  const std::string& client = host.empty() ? agent : host;
  ZtMutexLock lock(dispatchMutex_);
  uint64_t& latest = latestDispatches_[FXString::ToLower(vmGuid)];
  uint64_t number = 0;
  if (lab::RecordVMDispatch(jobId, vmGuid, client, latest, number, error)) {
    latest = number;
    return DispatchRecord::kRecorded;
  }
  return lab::CanRecordVMDispatch(jobId, vmGuid, client) ? DispatchRecord::kNotWritten : DispatchRecord::kRefused;
}

VSCoordinator::~VSCoordinator() = default;

void VSCoordinator::OnServiceShutdown() {
  serviceShutdown_ = true;
  ZTRemoteAgentServer::SetQuitFlag();
}

bool VSCoordinator::CheckServiceShutdown() const { return serviceShutdown_.load(); }

std::string VSCoordinator::GetSubnet(const std::string& ip, const std::string& mask) {
  unsigned char ip4[4], mask4[4];
  if (inet_pton(AF_INET, ip.c_str(), ip4) == 1) {
    if (inet_pton(AF_INET, mask.c_str(), mask4) != 1) return std::string();
    return ApplyMask(AF_INET, ip4, mask4);
  }
  unsigned char ip6[16], mask6[16];
  if (inet_pton(AF_INET6, ip.c_str(), ip6) == 1) {
    if (inet_pton(AF_INET6, mask.c_str(), mask6) != 1) return std::string();
    return ApplyMask(AF_INET6, ip6, mask6);
  }
  return std::string();
}
