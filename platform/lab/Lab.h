#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The lab is one folder that holds the whole simulated world: per-client folders (settings, temp,
// job results, logs), the job manager's job folders, the application manager's subclient files,
// the hypervisor, the media agents and the index cache. Its root is the environment variable
// QUARN_LAB. Every process of a job is one simulated client of the lab; which one is named by the
// option "-cn <client>" that the framework adds to the command line (default "localhost").
namespace lab {

// Root folder of the lab; empty when QUARN_LAB is not set.
std::string Root();
// Overrides the root for this process (tests); an empty text returns to QUARN_LAB.
void SetRoot(const std::string& root);

// The simulated client this process is.
std::string FocusClient();
void SetFocusClient(const std::string& client);
// Takes "-cn <client>" from the command line when present; returns whether it was there.
bool SetFocusClientFromArgs(int argc, char** argv);

// Folders; none is created by these calls except where the name says so.
std::string ClientDir(const std::string& client);          // <root>/clients/<client>
std::string ClientRegistryDir(const std::string& client);  // .../registry
std::string ClientTempDir(const std::string& client);      // .../Temp
std::string ClientJobResultsDir(const std::string& client);// .../JobResults
std::string ClientLogDir(const std::string& client);       // .../Log_Files
std::string JobDir(int64_t jobId);                         // <root>/jobs/<jobId>
std::string SubclientsDir();                               // <root>/subclients
std::string SubclientConfPath(const std::string& appId);   // <root>/subclients/<appId>.conf
std::string HypervisorDir();                               // <root>/hypervisor
std::string MediaDir();                                    // <root>/media
std::string IndexDir();                                    // <root>/index

// True when the name is safe as one path component (no separators, not "." or "..", not empty).
// Names that reach paths come from command lines and files, so they are checked before use.
bool IsSafeComponent(const std::string& name);

// Creates the folder and its parents; false on failure.
bool MakeDirs(const std::string& path);

// Writes a file atomically (temp file in the same folder, fsync, rename). False on failure.
bool WriteFileAtomic(const std::string& path, const std::string& content);
// Reads a whole file; false when it cannot be read.
bool ReadFile(const std::string& path, std::string& content);
// Reads a whole regular file of at most maxBytes. The checks apply to the object actually opened, so
// a file swapped after a check cannot slip through, a FIFO in its place cannot hang the reader, and
// a file that is (or grows) larger than the limit is never pulled into memory. False with the
// reason otherwise.
bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& content, std::string& error);
// Appends one line (a newline is added) under an exclusive advisory lock on the file, so that
// several processes of a job can append to one file without interleaving.
bool AppendLineLocked(const std::string& path, const std::string& line);

}  // namespace lab
