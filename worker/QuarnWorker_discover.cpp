// Application discovery inside a VM's guest: what it finds is kept with the VM's client properties;
// the backup of the VM does not depend on it.
#include <boost/algorithm/string/replace.hpp>

#include "app/QuarnUtils.h"
#include "platform/appmgr/ClientProperties.h"
#include "platform/apps/CZTVSADiscoverApps.h"
#include "records/messages/CommonMessages.h"
#include "records/messages/IdaMessages.h"
#include "worker/QuarnWorker.h"

bool QuarnWorker::DiscoverApps() {
  static const char* const sig = "virtual bool QuarnWorker::DiscoverApps()";
  using Collect = VirtualServer::VMCollect;
  using Details = Ida::VMAppDetails;
  using Credentials = Common::UserPassword;
  // 1.
  if (m_appMgr == nullptr || !m_appMgr->IsApplicationValidationEnabled()) {
    m_event.Error(sig, "Apps Discovery failed. Application validation is not enabled");
    return false;
  }
  if (m_currentVM == nullptr) return false;
  vm_params& vm = *m_currentVM;
  const int64_t clientId = vm.collect.getint64(Collect::F_vmClientId);
  // 2.
  const std::string host = m_appMgr->getVMHostNameFromClientProp(clientId);
  // 3.
  std::string user, password;
  QuarnUtils::VMGuestCredentials(vm.collect, *m_appMgr, user, password);
  // 4.
  Details details;
  details.setint64(Details::F_childJobId, vm.collect.getint64(Collect::F_vmJobId));
  details.setint64(Details::F_clientId, clientId);
  details.setstring(Details::F_vmGuid, vm.vmGuid);
  details.setstring(Details::F_vmName, vm.vmName);
  details.setstring(Details::F_hostName, host);
  Credentials* credentials = details.getObject<Credentials>(Details::F_guestCredentials, true);
  credentials->setstring(Credentials::F_userName, user);
  credentials->setpstring(Credentials::F_password, password);
  details.setint64(Details::F_instanceId, static_cast<int64_t>(m_appMgr->getInstanceId()));
  details.setint64(Details::F_appId, static_cast<int64_t>(m_appMgr->getAppId()));
  Ida::DiscoverVMAppsReq request;
  request.getlistobject(Ida::DiscoverVMAppsReq::F_vms, true).emplace_back(details);
  // 5.
  m_event.Debug(sig, "Call application discovery for VM[%s]", vm.vmName.c_str());
  Ida::DiscoverVMAppsResp response;
  CZTVSADiscoverApps discovery;
  if (!discovery.ProcessMessage(request, response)) {
    m_event.Error(sig, "Failed to Discover Apps");
    return false;
  }
  // 6.
  std::string text;
  if (!response.serialize(text, true)) {
    m_event.Error(sig, "Failed to serialize message request");
    return false;
  }
  m_event.Debug(sig, "Apps discovered [%s]", text.c_str());
  // 7.
  const CNMessageList& found = response.getlistobject(Ida::DiscoverVMAppsResp::F_discoveredApps, false);
  if (found.empty()) return true;
  // 8. Only the first set is kept.
  if (!found.front() || !found.front()->serialize(text, true)) {
    m_event.Error(sig, "Failed to serialize message request");
    return false;
  }
  m_event.Debug(sig, "Setting property Apps Discovered on vm client id = %d", static_cast<int>(clientId));
  boost::replace_all(text, "Ida_DiscoveredApps", "discoveredApps");
  return ClientProperties(clientId).setAppsDiscovered(text);
}
