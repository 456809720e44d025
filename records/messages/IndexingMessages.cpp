#include "records/messages/IndexingMessages.h"

#define CN_TABLE "records/messages/IndexingMessages.def"
#include "platform/msg/CNMessageTableDefine.inc"
