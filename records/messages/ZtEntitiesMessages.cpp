#include "records/messages/ZtEntitiesMessages.h"

#define CN_TABLE "records/messages/ZtEntitiesMessages.def"
#include "platform/msg/CNMessageTableDefine.inc"
