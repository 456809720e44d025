#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/lab/LabMachine.h"

// Building a lab: the folders and records of clients, one subclient, one job with its VM collect file
// (platform/lab/LabCoordinator.h) and a hypervisor with sample VMs. Files that exist are kept as they are, so creating again (for example with another job)
// adds what is missing and loses nothing a test or a person has changed.
namespace lab {

constexpr int64_t kMaxLabVMs = 500;
constexpr size_t kMaxLabClients = 64;

struct LabPlan {
  // Sample VMs vm01 to vm<vms>, unless `vmNumbers` names them (vm01 is 1): a lab that lost some of its
  // VMs keeps the numbers of those it has, and its next job takes those.
  int64_t vms = 3;
  std::vector<int64_t> vmNumbers;
  std::vector<std::string> clients{"coordinator", "proxyA", "proxyB"};
  std::string subclient = "1";
  int64_t jobId = 1001;
  int64_t timeScale = 1;
  // Disks of every sample VM (1 to kMaxPlanDisks): the first of 4 MiB, each further one a whole number
  // of sectors but of no extent size (3 MiB + 512 bytes per position), so its last extent is short.
  int64_t disksPerVM = 1;
  // Files every sample VM's disks start as, one per disk in order (empty: the sample sizes and
  // pattern): a disk is a copy of its file (holes kept) and has its size, a whole number of sectors.
  std::vector<std::string> diskImages;
  // The hypervisor's kind (its server's type and the subclient's instance type): which branches of
  // the job run, as a name of HypervisorKinds (LabHypervisor.h).
  int64_t instanceType = 101;
  // The machine of every client: CPUs, memory and operating system; each client gets its own host
  // name (its client name) and address (10.0.0.<11 + its position>/255.255.255.0).
  MachineRecord machine;
  // The size of every disk of every sample VM, a whole number of sectors up to kMaxPlanDiskBytes; 0:
  // the sizes described at disksPerVM.
  uint64_t diskBytes = 0;
  // The streams the job manager reserves for the job; -1: one per client.
  int64_t streams = -1;
  // The job's backup level ("-t": 1 full, 2 incremental), kept by its record for every attempt.
  int64_t level = 1;
};

// The numbers of the sample VMs the plan takes, in order.
std::vector<int64_t> PlannedVMNumbers(const LabPlan& plan);
// A sample VM's name by its number: vm01, vm02, ...
std::string SampleVMName(int64_t number);
// A sample VM's GUID by its number (from 1).
std::string SampleVMGuid(int64_t number);

constexpr int64_t kMaxPlanDisks = 16;
constexpr uint64_t kMaxPlanDiskBytes = 1ULL << 40;
constexpr uint64_t kSectorBytes = 512;

// The names of the sample lab: hypervisor server, media agent, hosts and datastores.
const char* SampleServer();
const char* SampleMediaAgent();
// The token the job manager gives the first attempt of a sample job: "<job>:<commcell>:1:<phase>",
// as parseJobToken reads it (a later attempt's token counts from there).
std::string SampleJobToken(int64_t jobId);

// Checks the plan; false with the reason for a count or name out of range.
bool CheckLabPlan(const LabPlan& plan, std::string& error);
// Creates one client's folders, settings (with its client id) and machine (files that exist are kept and
// counted).
bool CreateClient(const std::string& client, const MachineRecord& machine, int64_t clientId, int& kept,
                  std::string& error);
// Creates the lab at the root (lab::Root() is set to it). `kept` counts the files that existed.
bool CreateLab(const std::string& root, const LabPlan& plan, int& kept, std::string& error);

// The plan of the lab at Root() as it stands, for another job of it: the clients (the subclient's
// member servers), every sample VM the server has (whichever of vm01 to vm500 are there), the disks
// of the first of them (their count, and their size when the plan's sizes would not give them), and
// the subclient, time scale and streams of the subclient's newest job (of the lab's newest job, for a
// subclient without one). The job id and level are left
// as they are. False with the reason when there is no lab.
bool ReadLabPlan(LabPlan& plan, std::string& error);

// The numbers of the sample VMs a job's record lists (its VMs' own jobs), in order, and their names.
std::vector<int64_t> SampleVMNumbersOfJob(int64_t jobId);
std::vector<std::string> SampleVMsOfJob(int64_t jobId);

// The newest job of the subclient the lab tool made (below the management server's job ids), of any
// subclient when it is empty; 0 when there is none. A job whose record does not read is passed over, or,
// with `unreadableMayBeIts`, taken as the subclient's: it may be, and a run is not to run over it.
int64_t NewestJob(const std::string& subclient, bool unreadableMayBeIts = false);

}  // namespace lab
