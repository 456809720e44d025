#pragma once
#include "platform/msg/CNMessageBase.h"
#include "records/messages/CommonMessages.h"

#define CN_TABLE "records/messages/IdaMessages.def"
#include "platform/msg/CNMessageTableDeclare.inc"
