#include "records/messages/IdxMetadataMessages.h"

#define CN_TABLE "records/messages/IdxMetadataMessages.def"
#include "platform/msg/CNMessageTableDefine.inc"
