#pragma once
// The text flow log: one human-readable line per flow, appended at the end of each pass.
#include "storage/sink.h"

extern const Sink kTextLogSink;

const char* GetTextLogFileName();
int IsTextLoggingEnabled();
// SIGUSR2's work.
void SwitchTextFlag();
