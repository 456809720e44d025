#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/lab/LabFiles.h"

// The lab is one folder that holds the whole simulated world: per-client folders (settings, temp,
// job results, logs, the machine the client simulates), the job manager's job folders, the
// application manager's subclient records, the hypervisor, the media agents, the index cache and the
// fault table. Its root is the environment variable QUARN_LAB. Every process of a job is one
// simulated client of the lab; which one is named by the option "-cn <client>" that the framework
// adds to the command line (default "localhost").
//
// Only platform/lab knows the lab's folders and file formats: each kind of record has its reader and
// writer here (LabJob.h, LabSubclient.h, LabSettings.h, LabMachine.h, LabHypervisor.h, LabFaults.h),
// built on the sharing rules of LabFiles.h.
namespace lab {

// Root folder of the lab; empty when QUARN_LAB is not set.
std::string Root();
// Overrides the root for this process (tests, the lab tool); an empty text returns to QUARN_LAB.
void SetRoot(const std::string& root);
// The environment variable that names the lab to a process.
const char* RootVariable();

// The simulated client this process is: the one set, else "localhost"; empty once a refused "-cn"
// left the process without a usable client (nothing is then written under another client's name).
std::string FocusClient();
void SetFocusClient(const std::string& client);
// Takes "-cn <client>" from the command line when present; returns whether it was there.
bool SetFocusClientFromArgs(int argc, char** argv);
// The same, false with the reason when "-cn" is given without a usable client name.
bool SetFocusClientFromArgs(int argc, char** argv, std::string& error);

// Folders; none is created by these calls.
std::string ClientsDir();                                   // <root>/clients
std::string ClientDir(const std::string& client);          // <root>/clients/<client>
std::string ClientRegistryDir(const std::string& client);  // .../registry
std::string ClientTempDir(const std::string& client);      // .../Temp
std::string ClientJobResultsDir(const std::string& client);// .../JobResults
std::string ClientLogDir(const std::string& client);       // .../Log_Files
std::string JobsDir();                                      // <root>/jobs
std::string JobDir(int64_t jobId);                         // <root>/jobs/<jobId>
// A file of the job's folder: JobDir(jobId)/name; empty without a lab or when the job id is not positive.
std::string JobFile(int64_t jobId, const std::string& name);
std::string SubclientsDir();                               // <root>/subclients
std::string SubclientConfPath(const std::string& appId);   // <root>/subclients/<appId>.conf
std::string HypervisorDir();                               // <root>/hypervisor
std::string MediaDir();                                    // <root>/media
std::string MediaAgentDir(const std::string& mediaAgent);  // <root>/media/<mediaAgent>
std::string IndexDir();                                    // <root>/index

// The log file of a client: .../Log_Files/<logId>.log; empty without a lab or when a name is not safe.
std::string ClientLogPath(const std::string& client, const std::string& logId);
// The log's rotated versions that are there ("<log>.1" is the newest), oldest first; empty without a lab.
std::vector<std::string> RotatedClientLogPaths(const std::string& client, const std::string& logId);

// True when the name is safe as one path component (no separators, not "." or "..", not empty, at
// most 255 bytes, no control characters). Names that reach paths come from command lines and files,
// so they are checked before use.
bool IsSafeComponent(const std::string& name);
constexpr size_t kMaxComponentBytes = 255;
// True when the text can be handed on as one argument of a command line: not empty, no leading '-'
// (it would be read as an option), no blanks or control characters (argument lists are split at
// blanks on their way to agents).
bool IsSafeArgument(const std::string& text);

// True when the folder holds a lab (its clients and jobs folders).
bool IsLab(const std::string& root);

// Creates the folder and its parents; false on failure.
bool MakeDirs(const std::string& path);
// True when the path is a folder.
bool IsDirectory(const std::string& path);

}  // namespace lab
