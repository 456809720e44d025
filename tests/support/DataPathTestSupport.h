#pragma once
// Jobs of one lab VM through the worker's real road and data path: the real mount (point-in-time
// copies), a controller whose streams are real streams of the lab's media agent, and after each job
// what its archive index would leave in the lab's index (the VM's and each item's index metadata as
// the job sent them). Each backup can then be reassembled from every archive of the lab and compared
// with what the disks held when the job mounted them.
#include <sys/stat.h>

#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/archive/ArchiveFormat.h"
#include "platform/archive/ArchiveRestore.h"
#include "platform/archive/vsArchive.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabSubclient.h"
#include "platform/os/CPxSha256.h"
#include "platform/sim/vsSim.h"
#include "support/ArchiveTestSupport.h"
#include "support/ControllerTestSupport.h"

namespace datapathtest {

constexpr const char* kVM = "vm01";
constexpr const char* kVMGuid = "50290000-0000-4000-8000-000000000001";

// A controller whose streams are real streams of the lab's media agent, lent one at a time.
class StreamController : public ctltest::TestController {
 public:
  StreamController(vsJobMgr* jobMgr, vsAppMgr* appMgr, int streams) {
    m_jobMgr = jobMgr;
    m_appMgr = appMgr;
    for (int i = 1; i <= streams; ++i) {
      all_.emplace_back(new vsArchive(jobMgr, appMgr, &sim_, "km"));
      all_.back()->setStream(i, 100 + i, 7, 5);
      all_.back()->init(true);
      free_.push_back(all_.back().get());
    }
  }
  bool AcquireStream(int, vsArchive*& out, bool wait) override {
    std::lock_guard<std::mutex> lock(mutex_);
    out = nullptr;
    if (!free_.empty()) {
      out = free_.front();
      free_.pop_front();
    }
    return out != nullptr || !wait;
  }
  bool RelinquishStream(int, vsArchive*& stream) override {
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(stream);
    stream = nullptr;
    return true;
  }
  bool CheckExtraStreamsAvailable(int& extra) override {
    std::lock_guard<std::mutex> lock(mutex_);
    extra = static_cast<int>(free_.size());
    return extra >= 1;
  }
  size_t FreeStreams() {
    std::lock_guard<std::mutex> lock(mutex_);
    return free_.size();
  }

 private:
  vsSim sim_;
  std::vector<std::unique_ptr<vsArchive>> all_;
  std::mutex mutex_;
  std::deque<vsArchive*> free_;
};

// The shipped worker, with a hook after the pre-backup phase (what the sector exclusion of the
// VM's metadata would leave in the block).
class DataPathWorker : public QuarnWorker {
 public:
  explicit DataPathWorker(QuarnController* controller) : QuarnWorker(controller, 0) {}
  ~DataPathWorker() override { Deinitialize(); }
  std::function<void(quarnBackupArgs&)> afterPreBackup;
  int PreBackupVM(quarnBackupArgs& args) override {
    const int result = QuarnWorker::PreBackupVM(args);
    if (result == 0 && afterPreBackup) afterPreBackup(args);
    return result;
  }
  // Around the true-up: before it starts, and after it returned (with the stream it wrote to).
  std::function<void()> beforeTrueUp;
  std::function<void(vsArchive*)> afterTrueUp;
  int TrueUpVM(quarnBackupArgs& args) override {
    if (beforeTrueUp) beforeTrueUp();
    const int result = QuarnWorker::TrueUpVM(args);
    if (afterTrueUp) afterTrueUp(args.mArchive);
    return result;
  }
};

// The index metadata records of a VM in an archive file: the VM's, and each item's under the name
// of the item it follows (the part after "\<guid>\").
inline void IndexRecordsOf(const std::string& path, const std::string& vmGuid, std::string& vmXml,
                           std::map<std::string, std::string>& items) {
  std::ifstream in(path, std::ios::binary);
  std::string open;
  char header[archive::kRecordHeaderBytes];
  while (in.read(header, sizeof(header))) {
    uint16_t type = 0;
    uint32_t fieldBytes = 0;
    uint64_t payloadBytes = 0;
    std::memcpy(&type, header + 4, 2);
    std::memcpy(&fieldBytes, header + 8, 4);
    std::memcpy(&payloadBytes, header + 16, 8);
    std::string fields(fieldBytes, '\0'), payload;
    in.read(&fields[0], fieldBytes);
    const auto kind = static_cast<archive::RecordType>(type);
    const bool header_record = kind == archive::RecordType::kFileHeader || kind == archive::RecordType::kDiskHeader ||
                               kind == archive::RecordType::kContainerHeader;
    if (kind == archive::RecordType::kIndexMetadata || kind == archive::RecordType::kDiskIndexMetadata) {
      payload.resize(payloadBytes);
      in.read(&payload[0], static_cast<std::streamsize>(payloadBytes));
    } else {
      in.seekg(static_cast<std::streamoff>(payloadBytes), std::ios::cur);
    }
    if (header_record) {
      archive::FieldReader reader(fields.data(), fields.size());
      reader.Text(open);
    }
    const std::string prefix = "\\" + vmGuid + "\\";
    if (kind == archive::RecordType::kIndexMetadata) vmXml = payload;
    if (kind == archive::RecordType::kDiskIndexMetadata && open.compare(0, prefix.size(), prefix) == 0)
      items[open.substr(prefix.size())] = payload;
  }
}

// One job of the sample subclient for vm01.
struct Job {
  Job(int64_t id, int level, int streams = 2) : id(id) {
    lab::JobRecord record;
    record.subclient = "1";
    record.bkpLevel = level;
    record.mediaAgent = lab::SampleMediaAgent();
    std::string error;
    lab::WriteJobRecord(id, record, error);
    jobMgr.setJobId(std::to_string(id));
    jobMgr.setBkpLevel(level);
    jobMgr.setMediaAgent(lab::SampleMediaAgent());
    jobMgr.initBackup();
    appMgr.setAppIdStr("1");
    appMgr.querySettings();
    controller.reset(new StreamController(&jobMgr, &appMgr, streams));
    worker.reset(new DataPathWorker(controller.get()));
    worker->Initialize(&jobMgr, &appMgr);
    vm.vmName = kVM;
    vm.vmGuid = kVMGuid;
    vm.host = "esx1";
    childJob = appMgr.isUseIndexingV2Enabled() ? id * 1000 + 1 : id;
    vm.collect = ctltest::Collect(kVM, kVMGuid, childJob);
    vm.collect.setstring(VirtualServer::VMCollect::F_serverName, lab::SampleServer());
    vm.collect.setint64(VirtualServer::VMCollect::F_subclientId, 1);
    vm.collect.setstring(VirtualServer::VMCollect::F_subclientGuid, appMgr.getSubclientGUID());
  }
  ~Job() {
    worker->TEST_SetCurrentVM(nullptr);
    worker.reset();
  }
  // Backs the VM up, then ends the job.
  int Run() {
    ProcessVM();
    EndJob();
    return result;
  }
  // The VM's road.
  int ProcessVM() {
    EvDebug::setJobId(id);
    worker->TEST_SetCurrentVM(&vm);
    return result = worker->ProcessVM();
  }
  // Records in the index what the job's finalised index would (with indexing V2 the VM's
  // archive-index run has recorded it already), and ends the job well when the VM was backed up.
  void EndJob() {
    worker->HandleVMComplete(result);
    if (result == 0) RecordIndex();
    if (result == 0)
      jobMgr.phaseSuccessful(false);
    else
      jobMgr.phaseFailed(true, false);
  }
  void RecordIndex() {
    if (appMgr.isUseIndexingV2Enabled()) return;
    std::string vmXml, error;
    std::map<std::string, std::string> items;
    for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(id)) IndexRecordsOf(location.path, kVMGuid, vmXml, items);
    const std::string guid = appMgr.getSubclientGUID();
    // The level the VM's archive was written at, as the index learns it.
    uint32_t level = 0;
    for (const lab::ArchiveLocation& location : lab::ListArchiveFiles(id)) {
      archive::ArchiveContents contents;
      archive::Problem problem;
      if (archive::ReadArchiveStructure(location.path, contents, problem) && !contents.indexOnly)
        level = contents.backupLevel;
    }
    lab::AppendIndexVMEntry(guid, kVMGuid, id, {"level", std::to_string(level)}, error);
    lab::AppendIndexVMEntry(guid, kVMGuid, id, {"meta", "vm", vmXml}, error);
    for (const auto& item : items) lab::AppendIndexVMEntry(guid, kVMGuid, id, {"meta", "disk", item.first, item.second}, error);
  }

  const int64_t id;
  int64_t childJob = 0;
  int result = -1;
  vsJobMgr jobMgr;
  vsAppMgr appMgr;
  std::unique_ptr<StreamController> controller;
  std::unique_ptr<DataPathWorker> worker;
  vm_params vm;
};

// The lab of the tests: vm01 with `disks` disks (4 MiB, then 3 MiB + 512 bytes each), filled with
// seeded bytes in every other MiB and zeros in between; the process is the coordinator client.
inline void MakeLab(testsupport::TestLab& lab, int disks, bool indexingV2) {
  lab::LabPlan plan;
  plan.vms = 1;
  plan.disksPerVM = disks;
  lab.Create(plan);
  lab.Focus("coordinator");
  lab.OpenLog();
  std::string error;
  lab::SetSubclientValue("1", "indexingV2", indexingV2 ? "1" : "0", error);
  lab::SetSubclientValue("1", "useCBT", "1", error);
  QuarnRegistry::TEST_Unload();
  lab::VMDescription vm;
  lab::FindVM(lab::SampleServer(), kVM, vm);
  for (const lab::VMDisk& disk : vm.disks) {
    std::vector<lab::ByteRange> ranges;
    for (uint64_t at = 0; at < disk.sizeBytes; at += 2 << 20)
      ranges.emplace_back(at, std::min<uint64_t>(1 << 20, disk.sizeBytes - at));
    std::string id;
    lab::WriteDiskRanges(lab::DiskImagePath(lab::SampleServer(), disk.file), ranges, true, 1, id, error);
  }
}

inline std::string ImageOf(int disk) {
  lab::VMDescription vm;
  lab::FindVM(lab::SampleServer(), kVM, vm);
  return lab::DiskImagePath(lab::SampleServer(), vm.disks.at(static_cast<size_t>(disk)).file);
}

inline std::string Sha256OfFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  CPxSha256 sha;
  char buffer[65536];
  while (in.read(buffer, sizeof(buffer)) || in.gcount() > 0) sha.Update(buffer, static_cast<size_t>(in.gcount()));
  return sha.FinalHex();
}

// The VM as of the job, reassembled from every archive of the lab (a malformed archive of the attempt
// that stands for its job takes the job out of the chain): disk name -> SHA-256 of its bytes, and
// file name -> SHA-256 for the files of file collections. False (with the reason) when no backup of
// the VM is usable as of the job.
inline bool Restore(int64_t asOf, std::map<std::string, std::string>& items, std::vector<int64_t>& chain,
                    std::string& error) {
  archive::VMBackup backup;
  std::vector<std::string> notes;
  if (!archive::ReassembleVM(archivetest::LabArchivesOf(kVMGuid, asOf), kVMGuid, asOf, backup, notes, error))
    return false;
  chain = backup.jobs;
  const std::string prefix = std::string("\\") + kVMGuid + "\\";
  for (const auto& disk : backup.disks) {
    std::string hex;
    if (!archive::HashRestoredDisk(disk.second, hex, error)) return false;
    items[disk.first.substr(prefix.size())] = hex;
  }
  for (const auto& file : backup.files) {
    std::string hex;
    if (!archive::HashRestoredFile(file.second, hex, error)) return false;
    items[file.first.substr(prefix.size())] = hex;
  }
  return true;
}

// The disks of vm01 as they are now, taken before a job to hold its restore to: disk index name ->
// SHA-256 of its bytes.
inline std::map<std::string, std::string> DisksNow() {
  lab::VMDescription vm;
  lab::FindVM(lab::SampleServer(), kVM, vm);
  std::map<std::string, std::string> disks;
  for (size_t i = 0; i < vm.disks.size(); ++i)
    disks[lab::LabDiskIndexName(i, vm.disks[i].file)] = Sha256OfFile(ImageOf(static_cast<int>(i)));
  return disks;
}

// What the job's mount took: disk index name -> SHA-256 of its snapshot (empty when it cannot be had).
inline std::map<std::string, std::string> Mounted(int64_t jobId) {
  lab::MountRecord record;
  std::string error;
  lab::ReadMountRecord(lab::SampleServer(), jobId, kVMGuid, record, error);
  std::map<std::string, std::string> disks;
  for (const lab::MountedDisk& disk : record.disks) lab::MountedDiskDigest(record, disk, disks[disk.indexName], error);
  return disks;
}

}  // namespace datapathtest
