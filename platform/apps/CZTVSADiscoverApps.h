#pragma once

class CNMessageBase;

// Application discovery inside a VM's guest. The lab's discovery is canned, from the VM's description
// (platform/lab/LabHypervisor.h, on any server of the lab): its key "apps" holds sets of applications
// separated by ';', each a comma-separated list, and each set is reported as one entry; its key
// "guestUser", when present, is the only account that can log in to the guest (a request with
// another user fails). Fault table operation: "apps.DiscoverApps" (selector vm: the first VM's GUID).
class CZTVSADiscoverApps {
 public:
  // request: an Ida::DiscoverVMAppsReq; response: an Ida::DiscoverVMAppsResp that gets one
  // Ida::DiscoveredApps per VM with applications, in request order. False when discovery cannot
  // run or the messages are of other types.
  bool ProcessMessage(const CNMessageBase& request, CNMessageBase& response);
};
