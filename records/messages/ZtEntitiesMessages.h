#pragma once
#include "platform/msg/CNMessageBase.h"

#define CN_TABLE "records/messages/ZtEntitiesMessages.def"
#include "platform/msg/CNMessageTableDeclare.inc"
