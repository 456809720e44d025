#include "records/messages/FBRMessages.h"

#define CN_TABLE "records/messages/FBRMessages.def"
#include "platform/msg/CNMessageTableDefine.inc"
