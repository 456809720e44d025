#include "records/messages/TMMsgMessages.h"

#define CN_TABLE "records/messages/TMMsgMessages.def"
#include "platform/msg/CNMessageTableDefine.inc"
