#include "records/ZtCriticalSection.h"

#include <new>

ZtCriticalSection::ZtCriticalSection() : m_handle(new (std::nothrow) ZtCriticalSectionH()) {
  if (m_handle == nullptr || !m_handle->valid()) {
    delete m_handle;
    m_handle = nullptr;
    throw "Not enough memory to initialize ZtCriticalSection";
  }
}

ZtCriticalSection::~ZtCriticalSection() {
  delete m_handle;
  m_handle = nullptr;
}

bool ZtCriticalSection::enter(bool wait) { return m_handle->enter(wait); }

void ZtCriticalSection::leave() { m_handle->leave(); }

ZtCriticalSectionLock::ZtCriticalSectionLock(ZtCriticalSection* cs) : m_cs(cs) {
  if (m_cs != nullptr) m_cs->enter(true);
}

ZtCriticalSectionLock::~ZtCriticalSectionLock() {
  if (m_cs != nullptr) m_cs->leave();
}
