#include "records/messages/EVGuiMessages.h"

#define CN_TABLE "records/messages/EVGuiMessages.def"
#include "platform/msg/CNMessageTableDefine.inc"
