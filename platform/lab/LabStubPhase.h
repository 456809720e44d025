#pragma once
#include <cstdint>
#include <string>
#include <vector>

// What a job's stub phase leaves behind besides the lab tool's runs.log, so that a run of the job can
// tell that the phase ran, and that it did not end, when runs.log is lost, damaged or older than its
// phase field:
//   - the VMs' stub records on the hypervisor (option "JyStub.ReparseData", LabArchiving.h): the stub
//     phase writes one naming the job and its subclient, "in progress", before it deletes the VM's
//     first disk, and "stubbed" once every disk is gone; each disk it deletes names the job too
//     (disk<i>.stubJob). Only a stub phase writes them.
//   - the job manager's record of each VM of the job (vmstatus/): the stub phase takes a VM marked to
//     be archived (stub status 1) or whose stub failed (6) by setting it "to be backed up" with no
//     reason; it then sets the stub status (stubbed, stub failed, relocated), and a phase that goes
//     pending gives back what it did not archive as backed up, with the reason. A VM found taken and
//     still to be archived was left so by an attempt of the stub phase that did not end, or by one
//     that ended failing it (its phase result then says so).
namespace lab {

// Of the VMs the job manager keeps a record of for the job (those its backup phase took up):
struct StubPhaseTraces {
  // The VMs (by name) whose stub record names the job as begun or made, or with a disk the job's stub
  // deleted.
  std::vector<std::string> stubbed;
  // Of those, the ones whose stub record names the job as made.
  std::vector<std::string> made;
  // The VMs (by name) the job manager holds as taken by the job's stub phase and not archived.
  std::vector<std::string> taken;
  // Of those, the ones still "to be archived" whose stub record names the job as begun: a stub under
  // way when its job process died (a stub the hypervisor cut off has its status set to stub failed).
  std::vector<std::string> underWay;
};

StubPhaseTraces FindStubPhaseTraces(int64_t jobId);

}  // namespace lab
