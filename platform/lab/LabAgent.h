#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/lab/LabHypervisor.h"

// Records of the services an agent (a job's controller and its workers) reaches:
//   clients/<client>/cleanup.log    the client's cleanup service: "+@<pid> <entry>" registers an
//                                   entry for the process, "-@<pid> <entry>" takes it back (lines of
//                                   earlier versions: "+<entry>", "-<entry>"); what stands is what a
//                                   dead job leaves for the service to clean up.
//   jobs/<job>/cleanup.txt          the job's clean-up strings with the job manager, the same way.
//   jobs/<job>/vmprogress.log       "<guid> <percent>" per progress change of a VM.
//   hypervisor/<server>/sharedshadow.log   "attach <client> <text1> <text2>" per proxy that attached
//                                   to a shared shadow.
//   hypervisor/<server>/shadows.log  "create <client> <text1> <text2> <VM GUIDs joined by ','>" per
//                                   shared shadow made, "delete <client> <text1> <text2>" per one deleted.
//   subclients/<appId>.replication.xml     a failback subclient's replication record (message XML).
//   server.conf key streamLimit=<n>  streams each proxy may run on the server at once (0 = no limit).
// Entries and texts are kept on one line: line breaks inside them become blanks.
namespace lab {

// A registration of this process; the second form names the process that made it.
bool AppendCleanupRegistration(const std::string& client, bool add, const std::string& entry);
bool AppendCleanupRegistration(const std::string& client, bool add, const std::string& entry, long pid);
// The entries that stand (added and not taken back since), in the order they were added.
std::vector<std::string> ReadCleanupRegistrations(const std::string& client);
// The job's processes that its sessions.log shows started and never ended, by client and process id:
// those that still run, and those that died (killed, or gone without a word).
struct UnendedProcesses {
  std::vector<std::pair<std::string, long>> running;
  std::vector<std::pair<std::string, long>> dead;
};
UnendedProcesses UnendedJobProcesses(int64_t jobId);
// The job manager's clean-up after job processes that died (UnendedJobProcesses): every registration
// such a process left standing on its client is taken back; `taken` counts them. False with the
// reason when a client's record cannot be locked or written.
bool TakeBackLeftCleanupRegistrations(int64_t jobId, size_t& taken, std::string& error);

bool AppendJobCleanupString(int64_t jobId, bool add, const std::string& text);
std::vector<std::string> ReadJobCleanupStrings(int64_t jobId);

bool AppendVMProgress(int64_t jobId, const std::string& guid, int percent);
std::vector<std::string> ReadVMProgress(int64_t jobId);

bool AppendSharedShadowAttachment(const std::string& server, const std::string& client, const std::string& text1,
                                  const std::string& text2);
std::vector<std::string> ReadSharedShadowAttachments(const std::string& server);

bool AppendSharedShadowCreation(const std::string& server, const std::string& client, const std::string& text1,
                                const std::string& text2, const std::vector<std::string>& vmGuids);
bool AppendSharedShadowDeletion(const std::string& server, const std::string& client, const std::string& text1,
                                const std::string& text2);
// The first texts of the shared shadows made and not deleted since, in the order they were made.
std::vector<std::string> StandingSharedShadows(const std::string& server);
// The lines of shadows.log, in order.
std::vector<std::string> ReadSharedShadowLog(const std::string& server);

// Empty when there is no lab or the id is not a usable name.
std::string ReplicationRecordPath(const std::string& appId);

// The server's stream limit per proxy; false with the reason when the value is not a number of 0 to
// 2^31 - 1. An absent key is 0.
bool ServerStreamLimit(const ServerRecord& record, int64_t& limit, std::string& error);

}  // namespace lab
