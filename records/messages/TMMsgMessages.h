#pragma once
#include "platform/msg/CNMessageBase.h"
#include "records/messages/AppMessages.h"
#include "records/messages/ZtEntitiesMessages.h"

#define CN_TABLE "records/messages/TMMsgMessages.def"
#include "platform/msg/CNMessageTableDeclare.inc"
