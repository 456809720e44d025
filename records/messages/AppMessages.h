#pragma once
#include "platform/msg/CNMessageBase.h"
#include "records/messages/ZtEntitiesMessages.h"

#define CN_TABLE "records/messages/AppMessages.def"
#include "platform/msg/CNMessageTableDeclare.inc"
