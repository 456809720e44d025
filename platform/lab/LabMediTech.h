#pragma once
#include <string>
#include <vector>

#include "platform/lab/LabFiles.h"

// The lab's MEDITECH system and the stand-in of its command-line tool.
//
// meditech/system.conf  key=value lines: user, passwordSha256 (of the tool's password; the clear text
//                       is never kept), quiesced (0/1), echoArguments (0/1: every run of the tool first
//                       prints its command line as it got it, password and all, as a careless tool
//                       would), vmCount, vm<i>.name, vm<i>.disks (the disk GUIDs of the VM,
//                       comma-separated)
// meditech/record.log   one line per run of the tool, tab-separated: the virtual time in seconds, the
//                       client, the verb, the exit code, then the arguments as the tool got them, the
//                       password shown as "P=*****"; and one line "<time> <client> snapshot 0 <shadow>
//                       quiesced=<0|1>" per shared shadow the lab's hypervisor takes while the system
//                       exists. A tab, line end or backslash inside a field is written "\t", "\n", "\\".
//
// The tool lies at <dBASEHOME>/mbf64.exe of each client (dBASEHOME is <client folder>/base, or the
// plan's base folder) as a link to the lab tool, which acts as the stand-in when started by that
// name. It takes C=<verb> U=<user> P=<password> I=<listener:port> (once per listener) T=<seconds>,
// prints two banner lines, and for "census" one line per VM of the system:
// "<vm>:DISKS=<disk>|<disk>|," with each disk GUID written two hexadecimal digits per character and
// '-' as '_' (5F). "quiesce" and "unquiesce" move the system's quiesced state (either fails, exit 4,
// when the system already is in that state, saying "already quiesced" or "not quiesced"). A user or
// password other than the system's fails with exit 3. The fault table's "meditech.census",
// "meditech.quiesce" and "meditech.unquiesce" (selector client) make a run print the rule's text,
// echo its arguments password and all (as a careless tool would) and exit with the rule's code.
namespace lab {

struct MediTechVM {
  std::string name;
  std::vector<std::string> diskGuids;
};

struct MediTechSystem {
  std::string user;
  std::string passwordSha256;
  bool quiesced = false;
  bool echoArguments = false;
  std::vector<MediTechVM> vms;
};

constexpr const char* kMediTechToolName = "mbf64.exe";

bool ParseMediTechSystem(const std::string& text, MediTechSystem& system, std::string& error);
std::string FormatMediTechSystem(const MediTechSystem& system);
std::string MediTechSystemPath();
std::string MediTechRecordPath();
RecordRead ReadMediTechSystem(MediTechSystem& system, std::string& error);
bool WriteMediTechSystem(const MediTechSystem& system, std::string& error);
// The password's digest as the system keeps it.
std::string MediTechPasswordDigest(const std::string& password);
// The record's lines, each split into its fields.
std::vector<std::vector<std::string>> ReadMediTechRecord();
// Adds a line to the record when the lab has a MEDITECH system.
bool RecordMediTechSnapshot(const std::string& client, const std::string& shadow);

// The census text of a disk GUID as the tool prints it, and the GUID a census text stands for.
std::string EncodeMediTechDiskGuid(const std::string& guid);

struct MediTechPlan {
  std::string subclient = "1";
  // VMs of the lab's hypervisor that make up the system. Their disk images are renamed
  // "<vm>-<disk GUID>" (a MEDITECH disk's name ends with its GUID).
  std::vector<std::string> vms;
  std::string user = "mbfadmin";
  std::string password;
  std::string listeners = "mtlsn1";  // ';' between listeners
  std::string port = "7010";
  std::string timeout = "90";
  // The program the tool's link names (the lab tool).
  std::string toolProgram;
  // The folder of each client that holds the tool (its dBASEHOME), one safe file name.
  std::string baseFolder = "base";
};

// Makes the subclient a MEDITECH subclient of a new system of the plan's VMs: the system record, the
// subclient's MEDITECH keys (the password only in its stored form), the tool in every client's base
// folder, and a shared shadow for the job (bCreateSharedShadow=1 on every client). False with the
// reason.
bool CreateMediTechSystem(const MediTechPlan& plan, std::string& error);

// Runs the stand-in tool for the lab's focus client as started with args (args[0] its path); its exit
// code, with what it prints in `output`.
int RunMediTechTool(const std::vector<std::string>& args, std::string& output);

}  // namespace lab
