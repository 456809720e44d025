#include "records/messages/IdaMessages.h"

#define CN_TABLE "records/messages/IdaMessages.def"
#include "platform/msg/CNMessageTableDefine.inc"
