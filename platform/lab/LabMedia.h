#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/archive/ArchiveReader.h"

// The media agents of the lab: one folder per media agent, media/<media agent>/:
//   archive-ids                          "next=<n>": the media agent's next archive file id, taken under
//                                        the record's lock, so streams of several processes never get
//                                        the same id
//   <job id>/<archive file id>.qar       one archive file per archive opened on a stream (the format is
//                                        platform/archive/ArchiveFormat.h); each stream writes only the
//                                        files it created, so streams never share a file
//   <job id>/<archive file id>.qar.open  an archive file not committed (yet): being written, or left
//                                        by an attempt that was interrupted
//   <job id>/vms/<VM GUID in lower case>  the archive files made for the VM in the job, one a line,
//                                        so a VM's archives are found without opening any other's
//                                        (restores and the stub's check find them by it alone):
//                                        "<archive file id> <dispatch> <process>", the attempt that
//                                        made the file (the two stamps of its first record), or only
//                                        "<archive file id>" from an older writer. Each line is synced
//                                        once its file is created and before anything is written to
//                                        it, so a note names no file that was never made; a last line
//                                        cut short is neither read nor run into the next
//   <job id>/<archive file id>.qar.damaged  a committed archive file that a whole read (a restore,
//                                        verify, the stub's check) found not well formed, and why:
//                                        readers of its structure alone take it as not well formed
//                                        too; the next whole read that finds it well formed removes it
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
// Notes that the media agent's archive file of the job is made for the VM by the attempt of those
// stamps (both 0: a note that names no attempt); false with the reason.
bool RecordVMArchiveFile(const std::string& mediaAgent, int64_t jobId, const std::string& vmGuid,
                         uint64_t archiveFileId, std::string& error, uint64_t dispatch = 0, uint64_t process = 0);
// An archive file a note of the VM names, and what became of it: committed, left under its
// uncommitted name, or not there at all.
struct NotedArchive {
  enum class State { kCommitted, kUncommitted, kMissing };
  ArchiveLocation location;  // its path is the name the file is committed under
  std::string vm;            // the VM whose note names it, its GUID in lower case
  State state = State::kCommitted;
  uint64_t dispatch = 0;  // the attempt the note records; both 0 when it records none
  uint64_t process = 0;
  // The file there is: the committed one, the uncommitted one, or (missing) the committed name.
  std::string FoundPath() const;
};
// Every archive file of the job (jobId > 0) noted for the VM (any case of its GUID), on every media
// agent, in the order of ListArchiveFiles, whatever became of it.
std::vector<NotedArchive> ListVMNotedArchives(int64_t jobId, const std::string& vmGuid);
// The same of every job up to `asOfJob` (0: of every job).
std::vector<NotedArchive> ListVMNotedArchivesUpTo(const std::string& vmGuid, int64_t asOfJob);
// Every archive file noted for any VM in the job (jobId > 0) or in every job, on every media agent.
std::vector<NotedArchive> ListNotedArchives(int64_t jobId = 0);
// Of those, the committed archive files of the job.
std::vector<ArchiveLocation> ListVMArchiveFiles(int64_t jobId, const std::string& vmGuid);

// Whether a whole read found the committed archive file not well formed (see above), and why; false
// when none recorded it.
bool ArchiveDamageFound(const std::string& archivePath, std::string& why);
// Reads a committed archive file whole (archive::ReadArchive) and keeps what the read found for the
// readers of its structure alone: a file whose structure reads well but not its data is recorded
// damaged, the record of one found well formed is taken back.
bool ReadArchiveWhole(const ArchiveLocation& location, archive::ArchiveContents& contents, archive::Problem& problem);
// The highest dispatch of the VM that the beginnings of its archive files of the job carry (those noted
// for it, committed or not, on every media agent); 0 when none carries one.
uint64_t HighestVMDispatchInArchives(int64_t jobId, const std::string& vmGuid);

}  // namespace lab
