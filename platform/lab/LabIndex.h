#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/lab/LabSubclient.h"

// What the index of the lab knows of one VM's backup in one job (the index metadata records that the
// job's archive sent for the VM and for each of its disks), kept in the index cache beside the job's
// metadata files:
//   index/<subclient GUID>/<job>/vmmeta/<VM GUID>/vm.xml              the VM's record (message XML)
//   index/<subclient GUID>/<job>/vmmeta/<VM GUID>/disk-<hex>.xml      one per disk; <hex> is the disk's
//                                                                     index name, hex-encoded (any text)
// Each file is replaced whole (LabFiles.h), the disks before the VM's record, so a reader that finds
// vm.xml finds the disks written with it.
namespace lab {

struct VMIndexRecord {
  std::string vmXml;
  std::vector<std::pair<std::string, std::string>> disks;  // index name, XML; in index-name order
};

bool WriteVMIndexRecord(const std::string& subclientGuid, int64_t jobId, const std::string& vmGuid,
                        const VMIndexRecord& record, std::string& error);
// kMissing when the job holds no record of the VM; kUnreadable or kMalformed with the reason.
RecordRead ReadVMIndexRecord(const std::string& subclientGuid, int64_t jobId, const std::string& vmGuid,
                             VMIndexRecord& record, std::string& error);

// The subclient (application id) whose record carries the GUID; empty when none does.
std::string SubclientOfGuid(const std::string& subclientGuid);

}  // namespace lab
