#include "platform/index/IdxBrowseMessages.h"

#define CN_TABLE "platform/index/IdxBrowseMessages.def"
#include "platform/msg/CNMessageTableDefine.inc"
