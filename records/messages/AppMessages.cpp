#include "records/messages/AppMessages.h"

#define CN_TABLE "records/messages/AppMessages.def"
#include "platform/msg/CNMessageTableDefine.inc"
