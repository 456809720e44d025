// True-up: extents of the VM's earlier backups that the index lacks or found damaged are read again
// from this job's snapshot and sent, each as an item of its own, in a second archive file of the VM.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "controller/QuarnController.h"
#include "platform/archive/vsArchive.h"
#include "platform/index/ExtentNameConverter.h"
#include "platform/os/CPxCRC32.h"
#include "platform/vminfo/IVMInfo.h"
#include "platform/os/CPxFile.h"
#include "platform/os/CPxPath.h"
#include "records/messages/IndexingMessages.h"
#include "worker/QuarnExtentPipeline.h"
#include "worker/QuarnWorker.h"

namespace {

using MissingExtents = Indexing::VirtualServerMissingExtents;
using DiskExtents = Indexing::VirtualServerExtents;

constexpr int kResultFailed = 1;
constexpr int kResultInterrupted = 11;
constexpr int kResultNotSent = 31;
constexpr int kResultUnknownProduct = 46;
constexpr int kResultOpenFailed = 53;
constexpr int kResultReadFailed = 54;
constexpr int kResultCloseFailed = 110;
constexpr int kResultCreateFailed = 131;
constexpr int kResultNoExtentSize = -1;
constexpr int kInstanceDiskName2 = 301;
constexpr size_t kMaxInputBytes = 64 * 1024 * 1024;

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

// The whole input file; false with the reason when it cannot be opened or read.
bool ReadInput(const std::string& path, std::string& text, std::string& error) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  char chunk[65536];
  size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0 && text.size() <= kMaxInputBytes) text.append(chunk, got);
  const bool failed = std::ferror(file) != 0 || text.size() > kMaxInputBytes;
  std::fclose(file);
  if (failed) error = text.size() > kMaxInputBytes ? "the file is too large" : "the file cannot be read";
  return !failed;
}

}  // namespace

bool QuarnWorker::ParseMissingExtentName(const std::string& name, bool fixedLengthNames, uint64_t& number) {
  if (fixedLengthNames) return ExtentNameConverter::GetExtentNumberFromFileName(name, number);
  const size_t at = name.rfind("Extent");
  if (at == std::string::npos) return false;
  // The whole rest must be the number: "Extent12a" or a number past 64 bits names no extent, and a
  // guess would send another extent's bytes under the listed name.
  const std::string digits = name.substr(at + 6);
  if (digits.empty() || digits.size() > 20) return false;
  uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  number = value;
  return true;
}

int QuarnWorker::TrueUpVM(quarnBackupArgs& args) {
  static const char* const sig = "virtual int QuarnWorker::TrueUpVM(quarnBackupArgs&)";
  if (!m_registry.CheckEntry(REG_bEnableTrueUp, true)) {
    m_event.Debug(sig, "True-Up is not enabled");
    return 0;
  }
  if (m_appMgr != nullptr && m_appMgr->isUseIndexingV2Enabled()) {
    m_event.Debug(sig, "True-Up is not supported for IndexingV2");
    return 0;
  }
  const std::string name = "corruptExtents_" + args.mVMGuid + ".xml";
  const std::string path = CPxPath::Append(GetSubclientDirectory(), name, false);
  // A file of an earlier true-up must not pass for the index's answer of this one.
  if (CPxFile::Exists(path)) CPxFile::Remove(path);
  if (m_controller == nullptr || !m_controller->GetMetadataFile(name, GetSubclientDirectory()) ||
      !CPxFile::Exists(path)) {
    m_event.Debug(sig, "True-Up is not required");
    return 0;
  }
  if (m_appMgr != nullptr && m_appMgr->isServerTypeMS() && m_mountCtx != nullptr && m_mountCtx->referencePoint) {
    m_event.Debug(sig, "True-Up is not supported for Hyper-V reference point backups");
    return 0;
  }
  if (m_appMgr != nullptr && m_appMgr->isServerTypeAmazon()) {
    m_event.Debug(sig, "True-Up is not supported for Amazon backups.");
    return 0;
  }

  std::string text, error;
  if (!ReadInput(path, text, error)) {
    m_event.Error(sig, "Failed to open file [%s], %s", path.c_str(), error.c_str());
    return FailTrueUp(kResultOpenFailed, "the index's list of missing extents cannot be opened: " + error);
  }
  MissingExtents missing;
  if (!missing.deserialize(text, &error)) {
    m_event.Error(sig, "Failed to read file [%s], %d", path.c_str(), kResultReadFailed);
    return FailTrueUp(kResultReadFailed, "the index's list of missing extents cannot be read: " + error);
  }
  const CNMessageList& disks = missing.getlistobject(MissingExtents::F_disks);
  if (disks.empty()) {
    m_event.Error(sig, "There are no missing extents in file [%s]", path.c_str());
    return FailTrueUp(kResultReadFailed, "the index's list of missing extents names no disk");
  }
  if (args.mArchive == nullptr || !CreateArchiveFile(args, args.mArchive)) {
    m_event.Error(sig, "Failed to create archive file");
    return FailTrueUp(kResultCreateFailed, "no archive file for them could be created");
  }

  std::set<std::string, __less_nocase_cmp> done;
  int lastDiskError = 0;
  const int stopped = TrueUpVMDisks(args, disks, done, lastDiskError);
  // The archive file is closed on every way out: extents already sent are whole items, and a file
  // left open would hold the stream's next archive file back.
  const int closed = args.mArchive->closeArchiveFile();
  if (stopped != 0) return FailTrueUp(stopped, std::string());
  if (vsArchive::isError(closed)) {
    m_event.Error(sig, "Failed to close archive file for VM [%s]", args.mVMName.c_str());
    return FailTrueUp(kResultCloseFailed, "their archive file could not be closed");
  }
  std::string notDone;
  for (const CNMessagePtr& disk : disks) {
    if (!disk || disk->getliststring(DiskExtents::F_extentNames, false).empty()) continue;
    const std::string indexName = disk->getstring(DiskExtents::F_indexName);
    if (done.count(indexName)) continue;
    m_event.Error(sig, "Missing extents were not processed for disk [%s]", indexName.c_str());
    notDone += (notDone.empty() ? "" : ", ") + indexName;
  }
  if (!notDone.empty())
    return FailTrueUp(kResultFailed, "the index lacks extents of disks this VM no longer backs up: " + notDone);
  return lastDiskError == 0 ? 0 : FailTrueUp(lastDiskError, std::string());
}

int QuarnWorker::TrueUpVMDisks(quarnBackupArgs& args, const CNMessageList& disks,
                               std::set<std::string, __less_nocase_cmp>& done, int& lastDiskError) {
  static const char* const sig = "virtual int QuarnWorker::TrueUpVM(quarnBackupArgs&)";
  quarnConfig* config = args.mConfig != nullptr ? args.mConfig : m_config;
  IVMInfo* vmInfo = args.mVMInfo != nullptr ? args.mVMInfo : m_vmInfo;
  if (config == nullptr) return kResultFailed;
  int stopped = 0;
  config->resetGetNextBkpObj();
  for (config->getNextBkpObj(&args); !args.mBackupPath.empty() && stopped == 0; config->getNextBkpObj(&args)) {
    if (m_jobMgr != nullptr && m_jobMgr->checkQuitFlag()) {
      stopped = kResultInterrupted;
      break;
    }
    if (args.mObjectKind != 1) continue;
    const std::string objectName = args.mBackupPath;
    const std::string nameInUse = GetDiskIndexNameInUse(&args);
    for (const CNMessagePtr& disk : disks) {
      if (!disk) continue;
      const std::vector<std::string>& names = disk->getliststring(DiskExtents::F_extentNames, false);
      const std::string indexName = disk->getstring(DiskExtents::F_indexName);
      if (names.empty() || !(SameName(indexName, objectName) || SameName(indexName, nameInUse))) continue;
      if (vmInfo == nullptr || vmInfo->ReserveDiskStream(1) == 0) {
        m_event.Error(sig, "Failed to reserve a disk stream for virtual disk [%s]", args.mDiskPath.c_str());
        SetTrueUpReason("no disk stream could be reserved for disk [" + args.mDisplayName + "]");
        stopped = kResultOpenFailed;
        break;
      }
      args.mBackupPath = objectName;
      const int code = TrueUpVMDisk(args, names);
      vmInfo->ReleaseDiskStream(1);
      if (code != 0) lastDiskError = code;
      done.insert(objectName);
      done.insert(nameInUse);
      if (code == kResultInterrupted) {
        stopped = code;
        break;
      }
    }
  }
  config->resetGetNextBkpObj();
  return stopped;
}

int QuarnWorker::TrueUpVMDisk(quarnBackupArgs& args, const std::vector<std::string>& names) {
  static const char* const sig = "int QuarnWorker::TrueUpVMDisk(quarnBackupArgs&, const std::vector<std::string>&)";
  m_event.Debug(sig, "Backing up %d missing extents for disk [%s]", static_cast<int>(names.size()),
                args.mDisplayName.c_str());
  if (args.mBackupName.empty()) args.mBackupName = args.mVMGuid;
  args.mBackupPath = GetDiskIndexNameInUse(&args);
  uint32_t extentSize = GetDiskExtentSize(args.mBackupPath);
  if (extentSize == 0) {
    m_event.Error(sig, "Extent size is unknown for disk [%s]", args.mBackupPath.c_str());
    SetTrueUpReason("disk [" + args.mDisplayName + "] was not backed up in this job");
    return kResultNoExtentSize;
  }
  quarnConfig* config = args.mConfig != nullptr ? args.mConfig : m_config;
  const ProductType_t productType = config != nullptr && m_appMgr != nullptr ? config->getProductType(*m_appMgr)
                                                                              : kProductUnknown;
  if (productType == kProductUnknown) {
    m_event.Error(sig, "Unknown product type [%d] productType", static_cast<int>(productType));
    SetTrueUpReason("the kind of disk [" + args.mDisplayName + "] is not known");
    return kResultUnknownProduct;
  }

  quarnGenericMethodCleanup guard;
  CPxError openError;
  {
    ZtCriticalSectionLock lock(&m_readerLock);
    guard.m_vDiskFile = new CArchiveVirtualDiskFile(static_cast<int>(productType));
    CArchiveVirtualDiskFile* reader = guard.m_vDiskFile;
    reader->SetVMInfo(args.mVMInfo != nullptr ? args.mVMInfo : m_vmInfo, args.mVMName, args.mBackupName,
                      args.mMountCtx != nullptr ? args.mMountCtx : m_mountCtx, nullptr);
    reader->SetVMDiskGuid(m_appMgr->getInstanceType() == kInstanceDiskName2 ? args.mDiskName2 : args.mBackupPath);
    reader->SetExtentSize(extentSize);
    openError = reader->Open(args.mDiskPath, args.mDiskType);
  }
  CArchiveVirtualDiskFile* reader = guard.m_vDiskFile;
  if (openError.IsError()) {
    m_event.Error(sig, "Failed to open virtual disk [%s],  [%s]", args.mDiskPath.c_str(), openError.AsString().c_str());
    ClassifyTrueUpReadError(reader, openError);
    return kResultOpenFailed;
  }
  m_event.Debug(sig, "Skip alloc. sector check for TrueUp, disk [%s]", args.mDiskPath.c_str());
  reader->SetSkipAllocSectorsCheck(true);
  reader->SetDiskSize(args.mMaxDiskSize, args.mFileSize);
  guard.m_vDiskFileOpen = true;

  CAutoMemory<char> buffer;
  CArchiveVirtualDiskFile::Context_t ctx;
  const CPxError firstError = reader->GetFirstBlock(buffer, extentSize, ctx);
  if (firstError.IsError()) {
    m_event.Error(sig, "Failed to read first block from virtual disk [%s],  [%s]", args.mDiskPath.c_str(),
                  firstError.AsString().c_str());
    ClassifyTrueUpReadError(reader, firstError);
    return kResultReadFailed;
  }
  buffer.Release();
  extentSize = static_cast<uint32_t>(ctx.sectorsPerExtent);
  const uint32_t unitSize = ctx.unitSize;
  args.mExtentSize = extentSize;
  bool fixedNames = false;
  if (m_controller != nullptr) m_controller->GetUseFixedLengthExtentNames(fixedNames);

  vsArchive* archive = args.mArchive;
  long long sent = 0;
  int lastCode = 0;
  const std::vector<bool> noBits;
  const uint64_t extentBytes = static_cast<uint64_t>(extentSize) * (unitSize != 0 ? unitSize : 512);
  const uint64_t extents = extentBytes == 0 ? 0 : (reader->GetDiskSize() + extentBytes - 1) / extentBytes;
  for (const std::string& name : names) {
    if (CheckQuitFlag(&args)) return kResultInterrupted;
    uint64_t number = 0;
    if (!ParseMissingExtentName(name, fixedNames, number)) {
      m_event.Error(sig, "Failed to parse extent [%s]", name.c_str());
      continue;
    }
    // An extent the disk does not have cannot be read again, and its read would fail the VM in every
    // later job: the disk is fine, the declaration is not.
    if (number >= extents) {
      m_event.Error(sig, "Extent [%s] lies past the end of virtual disk [%s] (%llu bytes); it is not backed up again",
                    name.c_str(), args.mDisplayName.c_str(), static_cast<unsigned long long>(reader->GetDiskSize()));
      continue;
    }
    const std::string item = "\\" + args.mVMGuid + "\\" + args.mBackupPath + "\\" + name;
    std::vector<bool> changedBits;
    const CPxError readError = reader->ReadBlock(buffer, number, changedBits, ctx);
    if (readError.IsError()) {
      m_event.Error(sig, "Failed to read from virtual disk [%s] block [%llu],  [%s]", args.mDiskPath.c_str(),
                    static_cast<unsigned long long>(number), readError.AsString().c_str());
      ClassifyTrueUpReadError(reader, readError);
      return kResultReadFailed;
    }
    CPxCRC32 crc;
    crc.Reset();
    crc.UpdateCRC32(buffer.Ptr(), static_cast<size_t>(buffer.Size()));
    int code = archive->sendExtentHeader(item, args.mBackupPath, buffer.Size(), args.mAllocatedSize, false, 1, 0,
                                         crc.GetCRC32(), 0, nullptr);
    if (vsArchive::isError(code)) {
      m_event.Error(sig, "Failed to send bloc [%lld] header, retCode [%d]", static_cast<long long>(number), code);
      SetTrueUpReason("extent " + std::to_string(number) + " of disk [" + args.mDisplayName + "] was not sent");
      return kResultNotSent;
    }
    code = archive->sendExtentData(buffer.Ptr(), buffer.Size(), noBits, unitSize, nullptr);
    if (vsArchive::isError(code)) {
      m_event.Error(sig, "Failed to send block [%lld] data, retCode [%d]", static_cast<long long>(number), code);
      archive->sendEOF(false, 0);
      SetTrueUpReason("extent " + std::to_string(number) + " of disk [" + args.mDisplayName + "] was not sent");
      return kResultNotSent;
    }
    lastCode = archive->sendEOF(true, 0);
    if (vsArchive::isError(lastCode)) {
      // An item whose end did not land is ended failed, so that no restore takes its bytes for the
      // extent's.
      m_event.Error(sig, "Failed to send block [%lld] eof, retCode [%d]", static_cast<long long>(number), lastCode);
      archive->sendEOF(false, 0);
      SetTrueUpReason("extent " + std::to_string(number) + " of disk [" + args.mDisplayName + "] was not sent");
      return kResultNotSent;
    }
    ++sent;
  }
  reader->Close();
  guard.m_vDiskFileOpen = false;
  m_event.Debug(sig, "TrueUp done for disk [%s], number of extents backed up [%lld]", args.mDisplayName.c_str(), sent);
  return lastCode;
}

void QuarnWorker::ClassifyTrueUpReadError(CArchiveVirtualDiskFile* reader, const CPxError& error) {
  if (m_currentVM != nullptr && m_mountCtx != nullptr)
    CheckJyNTFSError(reader, error, m_vmInfo, *m_mountCtx, m_currentVM->failureReason, m_currentVM->failureEvent);
  SetTrueUpReason("a disk could not be read again: " + error.AsString());
}

void QuarnWorker::SetTrueUpReason(const std::string& what) {
  if (m_currentVM == nullptr || !m_currentVM->failureReason.empty()) return;
  m_currentVM->failureReason = "Extents the index lacks were not backed up again: " + what;
}

int QuarnWorker::FailTrueUp(int result, const std::string& reason) {
  if (result != kResultInterrupted && !reason.empty()) SetTrueUpReason(reason);
  return result;
}
