#include "records/messages/JobManagerMessages.h"

#define CN_TABLE "records/messages/JobManagerMessages.def"
#include "platform/msg/CNMessageTableDefine.inc"
