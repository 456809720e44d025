#include "agentprog/RATestMessages.h"

#include "agentprog/RATestMessagesDefine.inc"
