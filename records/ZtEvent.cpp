#include "records/ZtEvent.h"

#include <new>

ZtEvent::ZtEvent(bool manualReset) : m_handle(new (std::nothrow) ZtEventH(manualReset)) {
  if (m_handle == nullptr || !m_handle->valid()) {
    delete m_handle;
    m_handle = nullptr;
    throw "Not enough memory to initialize ZtEvent";
  }
}

ZtEvent::~ZtEvent() {
  delete m_handle;
  m_handle = nullptr;
}

int ZtEvent::wait(unsigned long milliseconds) { return m_handle->wait(milliseconds); }

void ZtEvent::set() { m_handle->set(); }
