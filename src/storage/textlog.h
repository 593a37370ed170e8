#pragma once
#include "parser/flow.h"

// Appends one line describing the record to the text flow log.
void TextLogPacket(const FlowItem* i);
