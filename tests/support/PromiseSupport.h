#pragma once
// What a user relies on after a lab job, checked from outside: the job's streams given back, a VM's
// own reason for not being done, a stub that is whole, and a stub's deleted disks written back by a
// restore.
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabReservations.h"
#include "records/VMArchivingStructs.h"
#include "records/messages/JobManagerMessages.h"
#include "records/messages/VirtualServerMessages.h"
#include "support/LabRunSupport.h"
#include "support/TestLab.h"

namespace promise {

// REQUIRES: the lab's root. Gives the VM a new disk as its user would: an image named `fileName` beside
// the VM's disk 1, of that disk's size, written whole with seeded bytes. No stub deleted it. False with
// the reason.
inline bool GiveVMADisk(const std::string& vmName, const std::string& fileName, std::string& error) {
  lab::VMDescription vm;
  if (!lab::FindVM(lab::SampleServer(), vmName, vm) || vm.disks.size() < 2) {
    error = "the lab has no VM " + vmName + " with a disk 1";
    return false;
  }
  lab::VMDisk added = vm.disks[1];
  added.file = added.file.substr(0, added.file.rfind('/') + 1) + fileName;
  added.deleted = false;
  added.stubJob = 0;
  added.stubChangeId.clear();
  std::string changeId;
  const std::string image = lab::DiskImagePath(lab::SampleServer(), added.file);
  return lab::WriteImageAtomic(image, std::string(), added.sizeBytes, error) &&
         lab::WriteDiskRanges(image, {{0, added.sizeBytes}}, true, 33, changeId, error) &&
         lab::UpdateVMDescription(lab::SampleServer(), vmName, [&](lab::VMDescription& changed, std::string&) {
           changed.disks.push_back(added);
           return true;
         }, error);
}

// REQUIRES: the lab's root. The job's streams that stay reserved or open, each named; empty when none
// does.
inline std::string StreamsLeftReserved(int64_t jobId) {
  lab::ReservationLedger ledger;
  std::string error;
  if (!lab::ReadReservationLedger(jobId, ledger, error)) return " the ledger cannot be read: " + error + ";";
  std::string left;
  for (const lab::Reservation& reservation : ledger.reservations) {
    if (reservation.state == lab::ReservationState::kReserved || !reservation.holder.empty())
      left += " stream RCID " + std::to_string(reservation.rcid) + " stays reserved or open;";
  }
  return left;
}

// REQUIRES: the lab's root. The VM's own reason in the job: its failure text with the job manager, or
// its line of the result file of the job's last phase; empty when it gives none.
inline std::string VMReason(int64_t jobId, const lab::VMDescription& vm) {
  JobManager::VMUpdateInfo record;
  if (vsJobMgr::ReadVMStatus(jobId, vm.guid, record) &&
      !record.getstring(JobManager::VMUpdateInfo::F_failureText).empty())
    return record.getstring(JobManager::VMUpdateInfo::F_failureText);
  for (const std::string& line : lab::ReadJobResultLines(jobId))
    if (line.compare(0, vm.name.size() + 1, vm.name + " ") == 0) return line;
  return std::string();
}

// Whether the VM is a whole stub: its stub record done and every disk it has deleted.
inline bool IsStub(const lab::VMDescription& vm) {
  const auto record = vm.options.find(lab::kStubRecordOption);
  VirtualServer::VMArchivingData stub;
  if (record == vm.options.end() || !stub.deserialize(record->second) ||
      stub.getint64(VirtualServer::VMArchivingData::F_stubState) != VMInfoStructs::STUB_STATE_SUCCESSFULLY_STUBBED)
    return false;
  for (const lab::VMDisk& disk : vm.disks)
    if (!disk.deleted) return false;
  return true;
}

// REQUIRES: the lab's root. The positions of the VM's disks gone from the hypervisor: deleted by a
// stub, or an image missing whatever the description says.
inline std::vector<size_t> GoneDisks(const lab::VMDescription& vm) {
  std::vector<size_t> gone;
  for (size_t i = 0; i < vm.disks.size(); ++i)
    if (vm.disks[i].deleted || !testsupport::Exists(lab::DiskImagePath(lab::SampleServer(), vm.disks[i].file)))
      gone.push_back(i);
  return gone;
}

// What "vm ... restore" gave back of a VM in a copy of a lab.
struct Restore {
  int status = -1;                             // the lab tool's exit status
  std::string output;                          // what it printed, or why it did not run
  std::map<std::string, std::string> disks;    // index name -> the bytes of the disk written back
};

// Restores the VM with the lab tool in a copy of the lab (a restore makes the VM whole again, and the
// lab itself goes on as it is) and reads back the disks at the given positions of `vm` (its
// description before the restore). The copy is removed afterwards.
inline Restore RestoreInCopy(const std::string& labRoot, const std::string& copy, const lab::VMDescription& vm,
                             const std::vector<size_t>& disks, const std::string& outPath) {
  Restore restore;
  std::error_code failed;
  std::filesystem::copy(labRoot, copy, std::filesystem::copy_options::recursive, failed);
  if (failed) {
    restore.output = "the lab cannot be copied: " + failed.message();
    return restore;
  }
  restore.status = labrun::RunTool({"vm", copy, vm.name, "restore"}, outPath);
  restore.output = labrun::ReadText(outPath);
  {
    testsupport::LabRootScope root(copy);
    for (size_t i : disks) {
      restore.disks[lab::LabDiskIndexName(i, vm.disks[i].file)] =
          testsupport::ReadDisk(lab::DiskImagePath(lab::SampleServer(), vm.disks[i].file));
    }
  }
  testsupport::TestLab::RemoveProcessTables(copy);
  std::filesystem::remove_all(copy, failed);
  return restore;
}

// Restores the VM as its backup of the job gives it back (`vm ... restore --job N`) in a copy of the lab
// whose every disk of the VM is first taken off the hypervisor (as a stub takes them, through the lab
// model), and reads back each disk. A restore only reads the media and the index: the copy links their
// files rather than copying them. The copy is removed afterwards.
inline Restore RestoreAsOfJobInCopy(const std::string& labRoot, const std::string& copy, const std::string& vmName,
                                    int64_t jobId, const std::string& outPath) {
  Restore restore;
  std::error_code failed;
  std::filesystem::create_directories(copy, failed);
  for (const auto& entry : std::filesystem::directory_iterator(labRoot, failed)) {
    const std::string name = entry.path().filename().string();
    const bool readOnly = name == "media" || name == "index";
    std::filesystem::copy(entry.path(), copy + "/" + name,
                          std::filesystem::copy_options::recursive |
                              (readOnly ? std::filesystem::copy_options::create_hard_links
                                        : std::filesystem::copy_options::none),
                          failed);
    if (failed) break;
  }
  lab::VMDescription vm;
  if (!failed) {
    testsupport::LabRootScope root(copy);
    std::string error;
    const bool taken =
        lab::FindVM(lab::SampleServer(), vmName, vm) &&
        lab::UpdateVMDescription(lab::SampleServer(), vmName, [](lab::VMDescription& changed, std::string& why) {
          for (size_t i = 0; i < changed.disks.size(); ++i)
            if (!lab::DeleteVMDiskImage(lab::SampleServer(), changed, i, why)) return false;
          return true;
        }, error);
    if (!taken) restore.output = "the VM's disks cannot be taken off in the copy: " + error;
  } else {
    restore.output = "the lab cannot be copied: " + failed.message();
  }
  if (restore.output.empty()) {
    restore.status = labrun::RunTool({"vm", copy, vmName, "restore", "--job", std::to_string(jobId)}, outPath);
    restore.output = labrun::ReadText(outPath);
    testsupport::LabRootScope root(copy);
    for (size_t i = 0; i < vm.disks.size(); ++i) {
      const std::string image = lab::DiskImagePath(lab::SampleServer(), vm.disks[i].file);
      if (testsupport::Exists(image)) restore.disks[lab::LabDiskIndexName(i, vm.disks[i].file)] = testsupport::ReadDisk(image);
    }
  }
  testsupport::TestLab::RemoveProcessTables(copy);
  std::filesystem::remove_all(copy, failed);
  return restore;
}

}  // namespace promise
