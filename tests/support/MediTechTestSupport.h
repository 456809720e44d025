#pragma once
// A MEDITECH system in a test's lab, with the lab tool as the stand-in of the system's tool.
#include <string>
#include <vector>

#include "platform/lab/LabMediTech.h"

namespace testsupport {

// Makes subclient 1 a MEDITECH subclient of the lab's VMs named; false with the reason.
inline bool MakeMediTechSystem(const std::vector<std::string>& vms, std::string& error,
                               const std::string& password = "tool-pass-1",
                               const std::string& user = "mbfadmin") {
  lab::MediTechPlan plan;
  plan.vms = vms;
  plan.password = password;
  plan.user = user;
  plan.toolProgram = QUARN_LAB_BINARY;
  return lab::CreateMediTechSystem(plan, error);
}

}  // namespace testsupport
