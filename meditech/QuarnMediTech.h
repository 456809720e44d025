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
// password masked, and so is what it prints.
class QuarnMediTech {
 public:
  QuarnMediTech();
  virtual ~QuarnMediTech();
  QuarnMediTech(const QuarnMediTech&) = delete;
  QuarnMediTech& operator=(const QuarnMediTech&) = delete;

  // Configuration, the tool's command and this process's census; false after the census failed sets
  // the job's pending cause.
  bool Initialize(vsJobMgr* jobMgr, vsAppMgr* appMgr);
  // Lets the setting override what the application manager gave; false when the result lacks the
  // listeners, the user name or the password.
  bool InitConfigFromRegistry(std::string& listeners);

  bool ExecuteMbfCmd(const std::string& verb, std::string& output);
  bool Quiesce();
  bool UnQuiesce();
  bool Census();

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
  // (VM name, line) of each census line that names a VM; banners are passed over and a line naming no
  // VM is logged under the caller's signature.
  std::vector<std::pair<std::string, std::string>> CensusEntries(const char* sig);
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
  std::string m_commandFormat;
  QuarnRegistry m_registry;

  // Workers of a controller read the census of their VMs at once.
  mutable ZtCriticalSection m_censusLock;
  std::string m_censusOutput GUARDED_BY(m_censusLock);
};
