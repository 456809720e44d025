#include "platform/msg/QTestMessages.h"

#define CN_TABLE "platform/msg/QTestMessages.def"
#include "platform/msg/CNMessageTableDefine.inc"
