#pragma once
// The protected-text holder is the message runtime's own.
#include "platform/msg/bstring.h"
