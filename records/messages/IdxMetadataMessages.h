#pragma once
#include "platform/msg/CNMessageBase.h"

#define CN_TABLE "records/messages/IdxMetadataMessages.def"
#include "platform/msg/CNMessageTableDeclare.inc"
