#include "records/ZtSemaphore.h"

#include <new>

ZtSemaphore::ZtSemaphore(int initialCount) : m_handle(new (std::nothrow) ZtSemaphoreH(initialCount)) {
  if (m_handle == nullptr || !m_handle->valid()) {
    delete m_handle;
    m_handle = nullptr;
    throw "Not enough memory to initialize ZtSemaphore";
  }
}

ZtSemaphore::~ZtSemaphore() {
  delete m_handle;
  m_handle = nullptr;
}

void ZtSemaphore::wait() { m_handle->wait(); }

int ZtSemaphore::wait(unsigned long milliseconds) { return m_handle->wait(milliseconds); }

bool ZtSemaphore::release(int count) { return m_handle->release(count); }
