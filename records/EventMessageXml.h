#pragma once
#include "platform/ev/EvMessageContainer.h"
#include "records/messages/CommonMessages.h"

// Fills a job event message (kept with a VM's status) from a message container: its message id and
// its arguments as texts. Earlier content of the message is replaced.
void setEvMessageContainerToXML(const EvMessageContainer& container, Common::EventMessage& event);
