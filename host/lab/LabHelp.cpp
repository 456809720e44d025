// The commands of quarn-lab with their options: what "--help" shows, and what each command's parser
// accepts. A new command or option is a new row here.
#include <cstdio>

#include "host/lab/LabTool.h"
#include "platform/lab/LabFaultOperations.h"

namespace labtool {

const char* Version() { return "quarn-lab " QUARN_VERSION; }

const std::vector<CommandHelp>& Commands() {
  static const std::vector<CommandHelp> commands = {
      {"create",
       {"LAB [options]"},
       "Makes a lab with sample VMs, clients, one subclient and one job. On a lab that exists it adds what is "
       "missing and keeps every file that is there (with --vms N, a sample VM deleted among vm01 to vmN is "
       "made again); without --vms, --disks and --time-scale a new job takes every VM the lab has and its "
       "settings. A job id names one job of one subclient for the lab's life: the lab knows of a job while any "
       "of its records names it (its job folder, archives, index records or job results), so a job whose records "
       "are lost keeps its id. A job of the lab named with --job is kept while it is the subclient's; one of "
       "another subclient, a new id at or below a job that has run or one the lab still knows of, and an id of "
       "the management server's (500000 on) are refused (exit 64, nothing made). Without --job it is job 1001 "
       "while that is the subclient's or free, else the subclient's newest job, else its first job, with an id "
       "past every job the lab knows of. A folder that is not empty and not a lab is refused.",
       {{"vms", "N", "sample VMs vm01 to vmN (0 to 500; default 3, or every one the lab has)"},
        {"disks", "N", "disks of each sample VM (1 to 16; default 1)"},
        {"disk-size", "MiB", "size of every sample disk (default: the first 4 MiB, the others 3 MiB and a few sectors)"},
        {"disk-images", "PATH,...", "every sample VM's disks are copies of these files, one per disk (whole 512-byte sectors)"},
        {"clients", "NAME,...", "the clients (proxies); the first runs the job (default coordinator,proxyA,proxyB)"},
        {"subclient", "ID", "the subclient's id (default 1; with --job naming a job of the lab, that job's)"},
        {"job", "ID", "the job's id, below 500000 (default 1001, or as above)"},
        {"level", "full|incremental|N", "the job's backup level, kept for every run of it (default full)"},
        {"time-scale", "N", "how many times faster than real time a run of the job goes (1 to 3600; default 1)"},
        {"cpus", "N", "CPUs of every client's machine"},
        {"memory", "MB", "memory of every client's machine"},
        {"os", "windows|linux", "operating system of every client's machine"},
        {"hypervisor", "KIND", "the hypervisor the lab simulates: vmware, hyperv, ... (default vmware, or the lab's)"},
        {"failback", "REPLICA", "the new job (--job) is a failback: it backs up the replica (see vm replica) as the lab's one VM it replicates"},
        {"failback-kind", "plain|cross-vendor", "cross-vendor: the replica runs on another vendor's hypervisor (default plain)"}}},
      {"run",
       {"LAB [options] [-- job options]"},
       "Starts the job process as the job manager would, with the streams the job's record reserves, shows "
       "each VM's progress and ends with a summary of the run. Without --job it runs the subclient's newest job "
       "(again while it has not ended), or, once that job has completed or failed, or no attempt of it will run (a "
       "later job of the subclient has run, by any record the lab knows it from; the job passed over is named, "
       "with why), the next job with every VM the lab has and the same settings, its id past every job the lab "
       "knows of (where none is left below 500000, the record holding the highest is named, by its path in the "
       "lab; a subclient without a job gets its first; one the lab does not have is refused). Options after \"--\" go to the job process and replace the "
       "tool's own (\"-- -t 2\" runs an incremental). A run is its job's own: --subclient, -a and the job -j names "
       "must be of the job record's subclient, and -j and -a values ids as the lab writes them (exit 64, nothing "
       "changed, otherwise); without --job, \"-- -j N\" runs job N. A job keeps the level of its first run for "
       "every later one. A run of a job that has not ended runs again the phase its last run left unended, and says "
       "which and how it knows: the stub phase (adding -stubPhase) after a run of it that did not end the job, or "
       "where runs.log cannot tell and a VM shows the job's stub phase (a stub record naming the job, a disk its stub "
       "deleted); the backup phase after a run of it cut short (killed, ended without a result, interrupted), with "
       "the options that run was given after \"--\" as runs.log keeps them (the resume's own replace those of the "
       "same name; -t stays the job's level). What a stub phase left that runs.log shows ended before the latest "
       "attempt began is that earlier attempt's, and makes no resume a stub phase. An archiving job is the backup phase, run with -stub, then the "
       "stub phase, the same job run again with --job ID -- -stub -stubPhase; it archives a subclient's idle VMs "
       "once its settings turn archiving on (LAB/subclients/ID.conf: archiveRule=1 with archiveDays=N archives a "
       "VM powered off N days or more; the README lists every key). It reports a VM stubbed "
       "only while a stub deleted every disk it has: a disk given to a stub since is backed up with the VM; a "
       "later attempt of a job never backs up over a VM its stub phase began or made (it leaves it as that "
       "phase left it while it has no disk, or while its stub is under way and the job's backup holds every disk "
       "it has, and otherwise fails it saying why: a stub the job made that has disks again fails whatever its "
       "backup holds), builds no VM's backup on the job itself (a VM it backs up that an earlier attempt of the "
       "job backed up, such as one whose status the job manager could not record, is backed up whole), and its "
       "stub phase ends the job with what its backup phase did too (a VM that phase failed keeps it completed "
       "with errors). A run of a job that ended (a later attempt) backs up again what the job manager does not "
       "hold backed up, and one of a job that has not ended resumes it; once a later job of the subclient has run "
       "(it builds on the job's backups, or reports a stub by them), both are refused, naming the later job (exit "
       "3, nothing changed; the job \"-- -j\" names too), and the job process itself never backs a VM up over a "
       "later job's backup of it: it fails the VM, saying which job holds it. Ctrl-C "
       "tells the job to stop (within its workers' deadline), a second one kills it. Exits 0 completed, 1 "
       "completed with errors, 2 pending or failed, 3 not started, 130 interrupted, 64 a bad argument.",
       {{"job", "ID", "the job to run (default: the job \"-- -j\" names, else the subclient's newest or next job)"},
        {"subclient", "ID",
         "the subclient whose job runs (default 1); with --job or -j, the job record's, which it must be"},
        {"client", "NAME", "the client the job process runs on (default: the job record's)"},
        {"program", "PATH", "the job process's program (default: quarn beside quarn-lab)"}}},
      {"outcome",
       {"LAB [options]"},
       "Says how a job ended or whether it runs, its pending causes, events, each VM's status (a VM stubbed or "
       "relocated says so, also where the job manager's record does not), each VM of the job the job manager "
       "holds no record of and why, the result file "
       "and the lines of the job's last run that matter in the client's log and in the log of each proxy "
       "that handled a VM whose status is not \"Backed up\". A job whose folder shows no run says that no attempt "
       "of it has run, or, where its archives, index records or the subclient's history name it, that the job "
       "manager's records of it were lost or put back after it ran. A VM the job manager holds no record of is backed "
       "up again by a later attempt of the job only until a later job of the subclient has run; from then on "
       "the outcome says what stands instead (the job's committed archives of the VM, and the first later job "
       "that holds a record of it, with its status there), and run refuses every attempt of the job. So too, "
       "once a later job has run, a job that had not ended (pending, killed, interrupted, or an archiving job "
       "whose stub phase did not run) says that no attempt of it will run and names that job, and each VM it did "
       "not finish, still to be archived, or whose record or event promised a later attempt says what stands "
       "for it: the job's backup of it, or the backup it restores from as of the job, and the first later job "
       "that holds a record of it (a VM to be archived is left to the subclient's next archiving job).",
       {{"job", "ID", "the job (default: the one running, else the newest that has run)"},
        {"client", "NAME", "the client whose log is shown (default: the job record's)"}}},
      {"set",
       {"LAB CLIENT SECTION KEY VALUE", "LAB CLIENT [machine options]", "LAB --job ID --time-scale N"},
       "Changes a setting of a client's section (a key no settings table knows is written with a warning), "
       "the machine a client simulates, or the time scale of a job.",
       {{"cpus", "N", "the machine's CPUs"},
        {"memory", "MB", "the machine's memory"},
        {"os", "windows|linux", "the machine's operating system"},
        {"host-name", "NAME", "the machine's host name"},
        {"addresses", "IP/MASK,...", "the machine's addresses; a mask is dotted (255.255.255.0) or a length (24)"},
        {"hypervisor-host", "HOST", "the hypervisor host the machine runs on"},
        {"vm-guid", "GUID|none", "the machine's own VM (none: a physical machine)"},
        {"job", "ID", "the job whose time scale changes"},
        {"time-scale", "N", "the job's time scale (1 to 3600)"}}},
      {"fault",
       {"LAB add OPERATION --code N [options]", "LAB hold OPERATION [options]", "LAB list", "LAB clear"},
       "Adds a rule to the lab's fault table (hold: the calls it is due for wait until the table is cleared), "
       "lists the rules with their counters, or clears the table. An operation, client, VM or disk the lab does "
       "not have is refused, and so is a selector the operation does not give.",
       {{"code", "N", "the code the failed call returns"},
        {"after", "N", "matching calls that pass first (default 0)"},
        {"times", "N|always", "matching calls that fail after those (default 1)"},
        {"text", "TEXT", "the failure's text"},
        {"event", "ID", "the job event the failure raises (decimal or 0x hexadecimal)"},
        {"client", "NAME", "only calls on this client"},
        {"vm", "VM", "only calls for this VM (its name or GUID)"},
        {"disk", "DISK",
         "only calls for this disk, file or thread; a disk by its number, image file or index name (the calls "
         "of a disk-level job), or by its volume GUID or volume's name \\\\?\\Volume{GUID}\\ (those of a "
         "volume-level job)"},
        {"stream", "ID", "only calls on this stream (1 to the most streams a job of the lab has)"}}},
      {"disk",
       {"LAB VM DISK write --offset O --bytes N [--seed S]", "LAB VM DISK write --percent P [--seed S]"},
       "Writes seeded bytes to a disk of a VM (by name or GUID; the disk by its number, image file, index name, "
       "volume GUID or volume's name \\\\?\\Volume{GUID}\\) as a guest would, and records the change as a new "
       "generation of the disk's change journal.",
       {{"offset", "O", "where the write starts"},
        {"bytes", "N", "how many bytes it writes"},
        {"percent", "P", "writes P percent of the disk (whole sectors) in chunks of up to 1 MiB spread evenly"},
        {"seed", "S", "seed of the bytes (default: the new generation's number)"}}},
      {"verify",
       {"LAB [options]"},
       "Reads every archive file of the lab's media agents (up to the job asked for) and names each that is "
       "damaged or missing, whichever job it is of, then reassembles each VM's disks and files from its "
       "backups, comparing each disk with the point-in-time copy its mount took or with an image given for it; "
       "a storage-snapshot job's VM is checked against the snapshot that holds it, and each disk a stub deleted "
       "against the backup it was deleted on; a disk a VM has that no backup at or before the job holds is a "
       "problem where the VM had it at the job, or where nothing tells the disks it had then (its mount and the "
       "index's record of it in the job, the stub the job reported and that stub's own records, the "
       "hypervisor's marks of the disks a stub deleted); one given since is named, no problem. A VM the job's "
       "latest attempt reports as a stub is judged by the stub's backup, not by an earlier attempt's mount of it. "
       "A VM whose description on the hypervisor does not read (emptied, or its diskCount missing or other than "
       "its disk entries, too) is a problem, named with why. "
       "Exits 1 when anything did not verify, and when there is nothing to verify.",
       {{"job", "ID",
         "verify as of this job: its archives are listed; those of earlier jobs are read too, and one of them "
         "damaged or missing is named and counted as a verify of its own job would, even outside the chains "
         "verified"},
        {"vm", "VM", "only this VM (its name or GUID)"},
        {"image", "DISK=PATH,...",
         "compare a disk (its number, image file, index name, volume GUID or volume's name) with this image, "
         "whichever way its backup names it, one image a disk; sectors its backup left out are named as not "
         "compared, and an image no disk was compared with is a problem"}}},
      {"session",
       {"LAB go-ahead --client NAME --service NAME --vm GUID [options]", "LAB listen --client NAME --service NAME [options]"},
       "Plays the peers of the application-aware workflow: sends the go-ahead a backup waits for, or listens "
       "as a guest agent's service for requests to delete application snapshots (exit 1 when none came).",
       {{"client", "NAME", "the client of the service"},
        {"service", "NAME", "the service"},
        {"vm", "GUID", "go-ahead: the VM the backup waits for"},
        {"vm-client-id", "N", "go-ahead: the VM's client id (default 0)"},
        {"as", "CLIENT", "go-ahead: the client the go-ahead comes from (default workflow)"},
        {"seconds", "N", "listen: how long to wait for a request (default 600)"}}},
      {"vm",
       {"LAB VM power on|off [--hours H]", "LAB VM delete", "LAB VM restore [--job N]", "LAB VM replica NAME"},
       "Does to a VM (by name or GUID) what happens to it outside any job: powers it on or off, deletes it from "
       "the hypervisor with its disks, writes a stub's deleted disks back from the backups the stub deleted them "
       "on (those of a stub cut off too; nothing when one of them cannot be read whole), or makes NAME its replica "
       "(a disaster-recovery copy of its disks as they are, for a failback job: create --failback). A VM whose "
       "description does not read is named with why, and nothing of it is changed (exit 1).",
       {{"hours", "H", "power off: the VM has been off this many hours already (on the hypervisor's clock)"},
        {"job", "N",
         "restore: from the newest backups at or before this job instead; a disk the VM did not have at the job "
         "(given since; its disks then as verify tells them), which none of them holds, is left as it is, and "
         "where that leaves nothing to restore, nothing is changed"}}},
      {"meditech",
       {"LAB [options]   (the tool's password on standard input)"},
       "Makes the lab's subclient a MEDITECH subclient of the given VMs, with the MEDITECH system's tool (the "
       "lab tool started by the tool's name) and its settings.",
       {{"vms", "VM,...", "the VMs of the MEDITECH system (default vm01)"},
        {"subclient", "ID", "the subclient (default 1)"},
        {"user", "NAME", "the tool's user"},
        {"listeners", "A;B", "the system's listeners"},
        {"port", "N", "the tool's port"},
        {"timeout", "S", "the tool's time-out in seconds"}}},
  };
  return commands;
}

const CommandHelp* FindCommand(const std::string& name) {
  for (const CommandHelp& command : Commands())
    if (name == command.name) return &command;
  return nullptr;
}

void PrintUsage(FILE* out) {
  std::fprintf(out, "usage:\n");
  for (const CommandHelp& command : Commands()) {
    for (const char* form : command.forms) std::fprintf(out, "  quarn-lab %s %s\n", command.name, form);
  }
  std::fprintf(out,
               "  quarn-lab COMMAND --help     what the command does and its options\n"
               "  quarn-lab --version\n"
               "Exit codes: 0 done, 1 failed, %d a bad argument (a VM, disk, client or job the lab does not have\n"
               "too; nothing is changed); run exits by the job's outcome.\n",
               kExitUsage);
}

void PrintCommandHelp(const CommandHelp& command, FILE* out) {
  for (size_t i = 0; i < command.forms.size(); ++i)
    std::fprintf(out, "%s quarn-lab %s %s\n", i == 0 ? "usage:" : "      ", command.name, command.forms[i]);
  std::fprintf(out, "\n%s\n", command.summary);
  if (!command.options.empty()) std::fprintf(out, "\noptions:\n");
  for (const OptionHelp& option : command.options) {
    const std::string head = std::string("--") + option.name + " " + option.value;
    std::fprintf(out, "  %-28s %s\n", head.c_str(), option.text);
  }
  if (std::string(command.name) != "fault") return;
  std::fprintf(out, "\noperations (and what a rule can narrow them to besides --client):\n");
  for (const lab::FaultOperationRow& row : lab::FaultOperationRows()) {
    for (const lab::FaultOperation& operation : row.operations) {
      std::string selectors;
      if (operation.selectors & lab::kFaultSelectsVM) selectors += " --vm";
      if (operation.selectors & lab::kFaultDiskSelectors) selectors += " --disk";
      if (operation.selectors & lab::kFaultSelectsStream) selectors += " --stream";
      std::fprintf(out, "  %-46s%s\n", operation.name, selectors.c_str());
    }
  }
}

}  // namespace labtool
