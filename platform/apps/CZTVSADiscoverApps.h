#pragma once

class CNMessageBase;

// Application discovery inside a VM's guest. The lab's discovery is canned: the applications of a VM
// are the comma-separated list of its description's key "apps" (platform/lab/LabHypervisor.h), on any
// server of the lab. Fault table operation: "apps.DiscoverApps" (selector vm: the first VM's GUID).
class CZTVSADiscoverApps {
 public:
  // request: an Ida::DiscoverVMAppsReq; response: an Ida::DiscoverVMAppsResp that gets one
  // Ida::DiscoveredApps per VM with applications, in request order. False when discovery cannot
  // run or the messages are of other types.
  bool ProcessMessage(const CNMessageBase& request, CNMessageBase& response);
};
