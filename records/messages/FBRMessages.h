#pragma once
#include "platform/msg/CNMessageBase.h"

#define CN_TABLE "records/messages/FBRMessages.def"
#include "platform/msg/CNMessageTableDeclare.inc"
