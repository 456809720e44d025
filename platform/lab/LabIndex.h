#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// The index cache of the lab: what the indexing service keeps of each subclient, shared by every
// process of every job of the subclient.
//
//   index/<subclient GUID>/<job>/           metadata files a job uploaded for the subclient, by name
//   index/<subclient GUID>/vmnames.txt      VM names the subclient's index knows, one a line
//   index/<subclient GUID>/jobs/<job>.conf  the job's index: "level=<n>" (1 = full), "finalized=0|1",
//                                           "fixedLengthExtentNames=0|1", "vm.<GUID>=0|1" (a VM the
//                                           index holds; 1 when it is marked stubbed or failed)
//   index/<subclient GUID>/jobs/<job>.log   what the job sent to its index, one entry a line
//   index/<subclient GUID>/jobs/<child>.parent  the job a child job (one VM's job) belongs to
//   index/<subclient GUID>/vms/<VM GUID>/<job>/     a VM's metadata files uploaded by a job
//   index/<subclient GUID>/vms/<VM GUID>/<job>.idx  what the index knows of the VM from that job,
//                                           one entry a line (kinds below); gone once a later attempt
//                                           of the job begins the VM's archives, until it learns them
//   index/<subclient GUID>/names/<VM name>  the GUID of the VM a "name" entry last named, as one entry
//                                           "<GUID> <name>" (the file's name escapes what a file name
//                                           cannot hold), so a VM is found by name without reading
//                                           any other VM's entries
//
// VM GUIDs are compared without regard to case and kept in lower case. An entry is a list of fields
// separated by tabs; a tab, line break or backslash inside a field is escaped ("\t", "\n", "\\"), so
// every entry reads back as written. Entries of a VM:
//   name <VM name>
//   disk <index name> <number>                     a disk of the VM as the index names it
//   meta vm <message XML>                          the VM's index metadata (IdxMetadata::IdxMetaData)
//   meta disk <index name> <message XML>           a disk's index metadata
//   extent <disk> mft|mount <extent number> <cluster bitmap text>   a metadata extent of a disk
//   level <backup level>                           the level of the job's archive files of the VM (1 full)
//   crc <disk> <extent number> <checksum>          the checksum of an extent the job sent
// and last "check <CRC-32 of every byte before this line, 8 hex digits>": a record whose check line is
// missing or does not match (cut short, changed) is damaged, and reads as an error, never as entries.
// Job records change under their own lock; entry files and uploads grow or are replaced whole, so
// two processes writing for the same subclient at once lose nothing.
namespace lab {

// The cache folder of a subclient, or of one job of it; empty (with the reason) when the lab is
// missing or a name cannot be a folder.
std::string IndexSubclientDir(const std::string& subclientGuid, std::string& error);
std::string IndexJobDir(const std::string& subclientGuid, int64_t jobId, std::string& error);
// Job folders of a subclient in the cache, newest (largest id) first; the same as job ids.
std::vector<std::string> IndexJobDirs(const std::string& subclientGuid);
std::vector<int64_t> IndexFileJobs(const std::string& subclientGuid);
// The VM names the subclient's index knows; false when the list cannot be read (none is no error).
bool ReadIndexVMNames(const std::string& subclientGuid, std::vector<std::string>& names, std::string& error);

// ---- The index of one job ----
struct IndexJobRecord {
  int level = 0;  // the job's backup level; 1 is a full backup
  bool finalized = false;
  bool fixedLengthExtentNames = true;
  std::map<std::string, bool> vms;  // lower-case GUID -> marked
};
bool ParseIndexJobRecord(const std::string& text, IndexJobRecord& record, std::string& error);
std::string FormatIndexJobRecord(const IndexJobRecord& record);
// False with the reason when the record cannot be read; a job without one reads as not existing.
bool ReadIndexJobRecord(const std::string& subclientGuid, int64_t jobId, IndexJobRecord& record, bool& exists,
                        std::string& error);
// Reads, changes and replaces the record under its lock (a missing record starts empty).
bool UpdateIndexJobRecord(const std::string& subclientGuid, int64_t jobId,
                          const std::function<bool(IndexJobRecord&, std::string&)>& change, std::string& error);
// Jobs of the subclient with an index record, newest first.
std::vector<int64_t> IndexJobIds(const std::string& subclientGuid);
// The newest job whose full backup finalised its index; 0 when there is none.
int64_t LastSuccessfulFullJob(const std::string& subclientGuid);

// A child job (the job of one VM) of a job: kept as jobs/<child>.parent, so that what the child
// uploaded counts as its job's. IndexParentJob gives the job itself when it is no known child.
bool RecordIndexChildJob(const std::string& subclientGuid, int64_t childJobId, int64_t parentJobId,
                         std::string& error);
int64_t IndexParentJob(const std::string& subclientGuid, int64_t jobId);

bool AppendIndexJobEntry(const std::string& subclientGuid, int64_t jobId, const std::vector<std::string>& fields,
                         std::string& error);
std::vector<std::vector<std::string>> ReadIndexJobEntries(const std::string& subclientGuid, int64_t jobId);

// ---- What the index keeps of one VM ----
std::string IndexVMDir(const std::string& subclientGuid, const std::string& vmGuid, std::string& error);
std::string IndexVMJobDir(const std::string& subclientGuid, const std::string& vmGuid, int64_t jobId,
                          std::string& error);
// Jobs with uploaded files of the VM (folders) or with entries of it, newest first.
std::vector<int64_t> IndexVMFileJobs(const std::string& subclientGuid, const std::string& vmGuid);
std::vector<int64_t> IndexVMEntryJobs(const std::string& subclientGuid, const std::string& vmGuid);
// The newest job whose entries of the VM say it was backed up in full ("level 1"); 0 when none do.
// The index learns a VM's entries only from a backup of it that ended well.
int64_t IndexLastFullJobOfVM(const std::string& subclientGuid, const std::string& vmGuid);
// The jobs a request for `jobId` may read, in the order to try them: that job alone (when it is among
// `jobs`), or for 0 every one of `jobs` (newest first) at or after the subclient's last successful
// full backup.
std::vector<int64_t> IndexJobsToRead(const std::string& subclientGuid, const std::vector<int64_t>& jobs,
                                     int64_t jobId);

bool AppendIndexVMEntry(const std::string& subclientGuid, const std::string& vmGuid, int64_t jobId,
                        const std::vector<std::string>& fields, std::string& error);
// Replaces what the index knows of the VM from the job with the entries, whole.
bool WriteIndexVMEntries(const std::string& subclientGuid, const std::string& vmGuid, int64_t jobId,
                         const std::vector<std::vector<std::string>>& entries, std::string& error);
bool ReadIndexVMEntries(const std::string& subclientGuid, const std::string& vmGuid, int64_t jobId,
                        std::vector<std::vector<std::string>>& entries, std::string& error);
// Whether the index keeps a record of the VM from the job (read or not).
bool IndexHoldsVMEntries(const std::string& subclientGuid, const std::string& vmGuid, int64_t jobId);
// Forgets what the index knows of the VM from the job (nothing there is no error); false with the reason.
bool ForgetIndexVMEntries(const std::string& subclientGuid, const std::string& vmGuid, int64_t jobId,
                          std::string& error);
// The same, of the entries of one kind ("disk", "meta"...) alone.
bool ReadIndexVMEntriesOfKind(const std::string& subclientGuid, const std::string& vmGuid, int64_t jobId,
                              const std::string& kind, std::vector<std::vector<std::string>>& entries,
                              std::string& error);
// The VMs (lower-case GUIDs) the index keeps anything of.
std::vector<std::string> IndexVMs(const std::string& subclientGuid);
// The subclients (their GUIDs) the index cache has a folder of.
std::vector<std::string> IndexSubclients();
// The GUID folder of the VM the text names (its GUID in any case, or the name a "name" entry last
// recorded); empty when the index does not know the VM.
std::string FindIndexVM(const std::string& subclientGuid, const std::string& guidOrName);

// One entry as a line and back; false for a line that is not a well-formed entry.
std::string FormatIndexEntry(const std::vector<std::string>& fields);
void AppendIndexEntry(const std::vector<std::string>& fields, std::string& text);  // without the line's end
bool ParseIndexEntry(const std::string& line, std::vector<std::string>& fields);
bool ParseIndexEntry(const char* line, size_t size, std::vector<std::string>& fields);

}  // namespace lab
