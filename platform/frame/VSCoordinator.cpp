#include "platform/frame/VSCoordinator.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "platform/ev/EvDebug.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabJob.h"
#include "records/messages/VirtualServerMessages.h"

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

bool VSCoordinator::SendMsgToAgent(const std::string& name, const CNMessageBase& message) {
  if (message.getTagID() == VirtualServer::VMCollectList::TAG) RecordDispatch(name, message);
  return ZTRemoteAgentServer::SendMsgToAgent(name, message);
}

void VSCoordinator::RecordDispatch(const std::string& name, const CNMessageBase& list) {
  static const char* const sig = "void VSCoordinator::RecordDispatch(const std::string&, const CNMessageBase&)";
  const int64_t jobId = lab::FocusJob();
  if (jobId <= 0 || lab::Root().empty()) return;
  const std::string host = GetAgentHostName(name);
  const std::string& client = host.empty() ? name : host;
  using VirtualServer::VMCollect;
  using VirtualServer::VMCollectList;
  for (const CNMessagePtr& vm : list.getlistobject(VMCollectList::F_vms)) {
    if (!vm) continue;
    const std::string guid = vm->getstring(VMCollect::F_vmGuid);
    std::string error;
    if (!lab::RecordVMDispatch(jobId, guid, client, error))
      EvDebug::Error(sig, "The dispatch of VM [%s] to agent [%s] is not recorded: %s", guid.c_str(), name.c_str(),
                     error.c_str());
  }
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
