#pragma once
#include "platform/msg/CNMessageBase.h"

#define CN_TABLE "records/messages/EVGuiMessages.def"
#include "platform/msg/CNMessageTableDeclare.inc"
