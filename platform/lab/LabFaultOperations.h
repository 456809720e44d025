#pragma once
#include <string>
#include <vector>

// The operations of the stand-ins that ask the fault table (LabFaults.h), and what a rule can narrow
// each one to. This is the one list of them: the lab tool refuses a rule for an operation that is not
// here or with a selector its operation does not give, the README's fault table is this table (a
// test compares them), and a test finds every operation the stand-ins ask in it (a name made at run
// time, such as "meditech." and the tool's command, by its prefix). A stand-in that asks the table
// under a new name adds its row here.
namespace lab {

// What a call of an operation names besides its client (every call names the client it runs on,
// unless its row says the client is another one).
enum FaultSelector : unsigned {
  kFaultSelectsVM = 1u << 0,          // a VM, by name or GUID
  kFaultSelectsDisk = 1u << 1,        // "disk": a disk of the VM, by its index name
  kFaultSelectsPath = 1u << 2,        // "disk": a file's path
  kFaultSelectsThread = 1u << 3,      // "disk": a thread's name
  kFaultSelectsCollection = 1u << 4,  // "disk": a file collection of the VM
  kFaultSelectsStream = 1u << 5,      // a stream id
  kFaultSelectsVolume = 1u << 6,      // "disk": a guest volume's name
};
// The selectors a rule gives with --disk.
constexpr unsigned kFaultDiskSelectors =
    kFaultSelectsDisk | kFaultSelectsPath | kFaultSelectsThread | kFaultSelectsCollection | kFaultSelectsVolume;

struct FaultOperation {
  const char* name;
  unsigned selectors;
};

// One row of the table: operations that fail alike, and what their failure is.
struct FaultOperationRow {
  std::vector<FaultOperation> operations;
  const char* fails;
};

const std::vector<FaultOperationRow>& FaultOperationRows();
// The operation of that name; nullptr when the table has none.
const FaultOperation* FindFaultOperation(const std::string& name);
// The table in Markdown, as the README shows it.
std::string FaultOperationTableMarkdown();

}  // namespace lab
