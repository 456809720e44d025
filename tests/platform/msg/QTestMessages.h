#pragma once
#include "platform/msg/CNMessageBase.h"

#define CN_TABLE "platform/msg/QTestMessages.def"
#include "platform/msg/CNMessageTableDeclare.inc"
