#include "records/messages/CommonMessages.h"

#define CN_TABLE "records/messages/CommonMessages.def"
#include "platform/msg/CNMessageTableDefine.inc"
