#include "records/messages/VirtualServerMessages.h"

#define CN_TABLE "records/messages/VirtualServerMessages.def"
#include "platform/msg/CNMessageTableDefine.inc"
