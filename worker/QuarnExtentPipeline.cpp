#include "worker/QuarnExtentPipeline.h"

#include "platform/disk/CArchiveVirtualDiskFile.h"
#include "platform/index/TVMCRCTable.h"

BackupThreadObjsSync::BackupThreadObjsSync(void* worker, void* bkpArgs, uint64_t totalReqs)
    : worker_(worker), bkpArgs_(bkpArgs), totalReqs_(totalReqs) {}

void BackupThreadObjsSync::pushBackupReqObj(ThreadOperations op, quarnExtentReq* req, bool urgent) {
  if (!Valid(op)) return;
  Stage& stage = stages_[op];
  {
    ZtCriticalSectionLock lock(&stage.lock);
    if (urgent)
      stage.list.push_front(req);
    else
      stage.list.push_back(req);
  }
  stage.semaphore.release(1);
}

quarnExtentReq* BackupThreadObjsSync::popBackupReqObj(ThreadOperations op) {
  if (!Valid(op)) return nullptr;
  Stage& stage = stages_[op];
  stage.semaphore.wait();
  ZtCriticalSectionLock lock(&stage.lock);
  // The semaphore counts the list, so a unit taken always finds a request.
  quarnExtentReq* req = stage.list.front();
  stage.list.pop_front();
  return req;
}

ZtSemaphore* BackupThreadObjsSync::getSemaphore(int op) { return Valid(op) ? &stages_[op].semaphore : nullptr; }

void BackupThreadObjsSync::waitForReqDone() {
  Stage& stage = stages_[READ_DISK];
  const uint64_t wanted = totalReqs_ > 0 ? totalReqs_ - 1 : 0;
  for (;;) {
    {
      ZtCriticalSectionLock lock(&stage.lock);
      if (stage.list.size() >= wanted) return;
    }
    // Each unit taken is one request come back; the list is tested again after each.
    stage.semaphore.wait();
  }
}

quarnGenericMethodCleanup::~quarnGenericMethodCleanup() {
  if (m_vDiskFile != nullptr) {
    if (m_vDiskFileOpen) m_vDiskFile->Close();
    delete m_vDiskFile;
    m_vDiskFile = nullptr;
  }
  if (m_crcTable != nullptr) {
    if (m_crcTableComplete && !m_leaveOpen) m_crcTable->close();
    delete m_crcTable;
    m_crcTable = nullptr;
  }
  if (m_prevCrcTable != nullptr) {
    if (!m_leaveOpen) m_prevCrcTable->close();
    delete m_prevCrcTable;
    m_prevCrcTable = nullptr;
  }
  if (m_ownsReqs && m_reqs != nullptr) {
    delete[] m_reqs;
    m_reqs = nullptr;
  }
}
