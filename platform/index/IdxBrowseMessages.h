#pragma once
#include "platform/msg/CNMessageBase.h"

#define CN_TABLE "platform/index/IdxBrowseMessages.def"
#include "platform/msg/CNMessageTableDeclare.inc"
