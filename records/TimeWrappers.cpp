#include "records/TimeWrappers.h"

void CMultiStreamMediaSpeedCounter::Start() {
  ZtCriticalSectionLock lock(&m_lock);
  CMediaSpeedCounter::Start();
}

void CMultiStreamMediaSpeedCounter::Stop(uint64_t bytes) {
  ZtCriticalSectionLock lock(&m_lock);
  CMediaSpeedCounter::Stop(bytes);
}

void CMultiStreamMediaSpeedCounter::Add(uint64_t bytes) {
  ZtCriticalSectionLock lock(&m_lock);
  CMediaSpeedCounter::Add(bytes);
}

void CMultiStreamMediaSpeedCounter::Reset() {
  ZtCriticalSectionLock lock(&m_lock);
  CMediaSpeedCounter::Reset();
}

uint64_t CMultiStreamMediaSpeedCounter::Size() const {
  ZtCriticalSectionLock lock(&m_lock);
  return CMediaSpeedCounter::Size();
}

CTimeInterval CMultiStreamMediaSpeedCounter::BusyTime() const {
  ZtCriticalSectionLock lock(&m_lock);
  return CMediaSpeedCounter::BusyTime();
}

double CMultiStreamMediaSpeedCounter::BytesPerSecond() const {
  ZtCriticalSectionLock lock(&m_lock);
  return CMediaSpeedCounter::BytesPerSecond();
}

std::string CMultiStreamMediaSpeedCounter::Print() const {
  ZtCriticalSectionLock lock(&m_lock);
  return CMediaSpeedCounter::Print();
}
