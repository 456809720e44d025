#pragma once
#include <string>
#include <utility>
#include <vector>

#include "app/QuarnRegistry.h"
#include "meditech/MediTechVMDisks.h"
#include "platform/appmgr/vsAppMgr.h"
#include "platform/ev/EvEvent.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/os/ThreadAnnotations.h"
#include "records/ZtCriticalSection.h"

// The MEDITECH system's command-line tool "mbf64.exe" as the job drives it: the configuration of the
// subclient (or of the setting sMediTechConfiguration), the verbs census, quiesce and unquiesce, and the
// census of the system's VMs and their disks. Each process that holds one runs its own census.
//
// The tool is started with its arguments directly: the user name, password and listeners of the
// configuration never pass through a shell. Its command is logged as a person would type it, with the
// password masked, and so is every text that comes from the tool: what it prints, the lines of its
// census and the names and disks taken from them, wherever they are logged or kept.
class QuarnMediTech {
 public:
  QuarnMediTech();
  virtual ~QuarnMediTech();
  QuarnMediTech(const QuarnMediTech&) = delete;
  QuarnMediTech& operator=(const QuarnMediTech&) = delete;

  // Configuration, the tool's command and this process's census; false sets the job's pending cause
  // (the census could not be taken), whatever step failed.
  bool Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr);
  // Lets the setting override what the application manager gave; false when the result lacks the
  // listeners, the user name or the password.
  bool InitConfigFromRegistry(std::string& listeners);

  bool ExecuteMbfCmd(const std::string& verb, std::string& output);
  // `output`, when given, gets what the tool printed (the caller masks it before showing it).
  bool Quiesce(std::string* output = nullptr);
  bool UnQuiesce(std::string* output = nullptr);
  bool Census();
  // What the tool says when a verb finds the system in the state it would bring.
  static bool SaysAlreadyQuiesced(const std::string& output);
  static bool SaysNotQuiesced(const std::string& output);

  // A text that came from the tool, fit for the log and the job's records: the password as "*****".
  std::string Masked(const std::string& text) const;

  static bool IsMBFBanner(const std::string& line);
  // Two hexadecimal digits per character, '_' then read as '-'; false for a text that is not pairs of
  // hexadecimal digits (the census of that VM is then unusable).
  static bool DecodeMBFDiskGUID(const std::string& hex, std::string& guid);
  // The VM names of the census, each once, in their order there.
  bool GetVMList(std::vector<std::string>& names);
  // The census disks of the VM (none when the census does not list it); false when an item of its disk
  // list is not a disk GUID.
  bool GetVMDisks(const std::string& vmName, MediTechVMDisks& disks);

  // Test hooks.
  void TEST_SetCensusOutput(const std::string& output);
  const std::string& TEST_InstanceList() const { return m_instanceList; }
  std::vector<std::string> TEST_Arguments(const std::string& verb) const { return Arguments(verb); }

 private:
  // The tool's argv for a verb: the program, then C=, U=, P=, one I= per listener and T=.
  std::vector<std::string> Arguments(const std::string& verb) const;
  // (VM name, line) of each census line that names a VM; banners are passed over, and a line naming
  // no VM (no ':', or a ':' inside the password, so that the name would hold a piece of it) is logged
  // masked under the caller's signature.
  std::vector<std::pair<std::string, std::string>> CensusEntries(const char* sig);
  bool ReadConfiguration(vsAppMgr* appMgr);
  // "cmd /c '<base>/mbf64.exe' C=<verb> U=<user> P=<password> I=<instances> T=<timeout>": what the
  // log shows of a run (masked there). The base folder is data: it never serves as a format.
  std::string CommandText(const std::string& verb) const;
  bool ColonInsidePassword(const std::string& line, size_t colon) const;
  void BuildInstanceList(const std::string& listeners);

  EvEvent m_event;
  vsJobMgr* m_jobMgr = nullptr;
  // Set by Initialize, constant after it.
  std::string m_baseDir;
  std::string m_instanceList;               // "a:p I=b:p", as the tool's command shows it
  std::vector<std::string> m_instances;     // "a:p", "b:p": one argument each
  std::string m_port;
  std::string m_userName;
  std::string m_password;
  std::string m_timeout = "90";
  // "cmd /c '<base>/mbf64.exe' ": the start of the command as the log shows it.
  std::string m_commandStart;
  QuarnRegistry m_registry;

  // Workers of a controller read the census of their VMs at once.
  mutable ZtCriticalSection m_censusLock;
  std::string m_censusOutput GUARDED_BY(m_censusLock);
};
