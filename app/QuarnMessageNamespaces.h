#pragma once
// The message namespaces the process registers with the message runtime at start.
#include "records/messages/AppMessages.h"
#include "records/messages/EVGuiMessages.h"
#include "records/messages/IdxMetadataMessages.h"
#include "records/messages/IndexingMessages.h"
#include "records/messages/JobManagerMessages.h"
#include "records/messages/TMMsgMessages.h"
#include "records/messages/VirtualServerMessages.h"
