// The host program of the job process: the job manager starts it for one backup job, and the
// coordinator starts it again with "-client" on each further proxy.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/QuarnApp.h"
#include "platform/lab/Lab.h"

namespace {

constexpr int kExitUsage = 64;

const char* const kHelp =
    "usage: quarn -j JOB -jt TOKEN -a SUBCLIENT -t LEVEL -d MEDIA_AGENT -cn CLIENT [options]\n"
    "The job process of one backup job of a subclient, as a job manager starts it (quarn-lab run does).\n"
    "It keeps its state in the lab named by the environment variable QUARN_LAB.\n"
    "\n"
    "  -j JOB            the job's id\n"
    "  -jt TOKEN         the job manager's token of the job\n"
    "  -a SUBCLIENT      the subclient (application id) to back up\n"
    "  -t LEVEL          the backup level: 1 full, 2 incremental\n"
    "  -d MEDIA_AGENT    the media agent of the job's streams\n"
    "  -cn CLIENT        the client this process runs on\n"
    "  -numStreams N     the streams the job manager reserved for the job\n"
    "  -r SECONDS        the reference time of the job's previous attempt\n"
    "  -af ID, -afc TIME the master index archive file of an earlier attempt and its time\n"
    "  -forceFull        a full backup whatever -t says\n"
    "  -lastAttempt      the job's last attempt\n"
    "  -co               the commit phase of the job\n"
    "  -ci               content indexing of the VMs\n"
    "  -srcJob N         the job whose backup level file indexing follows\n"
    "  -snap, -snaptape, -snapcatalog, -snapJID N, -fsj N, -isj N, -pcd\n"
    "                    snapshot backups, their copy to tape and catalog, and the jobs they follow\n"
    "  -stub, -stubPhase VM archiving\n"
    "  -client NAME      (given by the coordinator) run as an agent of the job on another proxy\n"
    "  --help            this text\n";

bool AsksForHelp(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "-help") == 0)
      return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (AsksForHelp(argc, argv)) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  // Everything the process writes goes into the lab: a folder that is not one is left untouched.
  const char* root = std::getenv(lab::RootVariable());
  if (root == nullptr) {
    std::fprintf(stderr, "quarn: %s is not set: the job process keeps its state in a lab (quarn-lab create makes one)\n",
                 lab::RootVariable());
    return kExitUsage;
  }
  if (!lab::IsLab(root)) {
    std::fprintf(stderr, "quarn: %s=%s is not a lab (quarn-lab create makes one); nothing was written\n",
                 lab::RootVariable(), root);
    return kExitUsage;
  }
  QuarnApp app(argc, argv);
  app.Main(argc, argv);
  return 0;
}
