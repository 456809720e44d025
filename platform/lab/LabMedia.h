#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The media agents of the lab: one folder per media agent, media/<media agent>/:
//   archive-ids                          "next=<n>": the media agent's next archive file id, taken under
//                                        the record's lock, so streams of several processes never get
//                                        the same id
//   <job id>/<archive file id>.qar       one archive file per archive opened on a stream (the format is
//                                        platform/archive/ArchiveFormat.h); each stream writes only the
//                                        files it created, so streams never share a file
//   <job id>/<archive file id>.qar.open  an archive file not committed (yet): being written, or left
//                                        by an attempt that was interrupted
//   <job id>/vms/<VM GUID in lower case>  the ids of the archive files made for the VM in the job, one a
//                                        line, so a VM's archives are found without opening any other's
//                                        (restores and the stub's check find them by it alone): each
//                                        line is synced before its archive file is begun, and a last
//                                        line cut short is neither read nor run into the next
namespace lab {

// media/<media agent>/<job id>; empty when a name is not usable.
std::string MediaJobDir(const std::string& mediaAgent, int64_t jobId);
// The archive file's path (its folder is not created).
std::string ArchiveFilePath(const std::string& mediaAgent, int64_t jobId, uint64_t archiveFileId);
// Takes the media agent's next archive file id (from 1); false with the reason.
bool TakeArchiveFileId(const std::string& mediaAgent, uint64_t& id, std::string& error);

struct ArchiveLocation {
  std::string mediaAgent;
  int64_t jobId = 0;
  uint64_t archiveFileId = 0;
  std::string path;
};
// Every committed archive file of the lab's media agents, or of one job (jobId > 0), ordered by job,
// media agent and archive file id. Uncommitted: the files not committed instead.
std::vector<ArchiveLocation> ListArchiveFiles(int64_t jobId = 0);
std::vector<ArchiveLocation> ListUncommittedArchiveFiles(int64_t jobId = 0);

// The note of the VM's archive files of the job on the media agent (see above); empty when a name is not
// usable.
std::string VMArchiveListPath(const std::string& mediaAgent, int64_t jobId, const std::string& vmGuid);
// Notes that the media agent's archive file of the job is made for the VM; false with the reason.
bool RecordVMArchiveFile(const std::string& mediaAgent, int64_t jobId, const std::string& vmGuid,
                         uint64_t archiveFileId, std::string& error);
// The archive files of the job (jobId > 0) noted for the VM (any case of its GUID) that exist, on every
// media agent, in the order of ListArchiveFiles.
std::vector<ArchiveLocation> ListVMArchiveFiles(int64_t jobId, const std::string& vmGuid);
// The same of every job up to `asOfJob` (0: of every job), in the order of ListArchiveFiles.
std::vector<ArchiveLocation> ListVMArchiveFilesUpTo(const std::string& vmGuid, int64_t asOfJob);
// The VM (its GUID in lower case) whose note of the job names the archive file; empty when none does.
// What an archive whose own beginning cannot be read is known by, and what restores find a VM's
// archives by.
std::string NotedVMOfArchive(const ArchiveLocation& location);
// Every archive file id the job's notes on the media agent name, with its VM (GUID in lower case).
std::map<uint64_t, std::string> NotedVMsOfJob(const std::string& mediaAgent, int64_t jobId);
// The highest dispatch of the VM that the beginnings of its archive files of the job carry (those noted
// for it, committed or not, on every media agent); 0 when none carries one.
uint64_t HighestVMDispatchInArchives(int64_t jobId, const std::string& vmGuid);

}  // namespace lab
