#pragma once
// Process-wide settings. main() writes them before any other thread exists; afterwards they
// are read-only except for the two logging toggles, which SIGUSR2 and SIGHUP flip.

const char* GetTextLogFileName();
const char* GetBinaryLogFileName();
const char* GetTrashLogFileName();
const char* GetMYSQLServerName();  // null unless -m was given
int IsDetached();
int IsTextLoggingEnabled();
int IsBinaryLoggingEnabled();
int IsTrashLoggingEnabled();
int IsMYSQLLoggingEnabled();
unsigned long GetMaxThrottle();

void SwitchTextFlag();
void SwitchTrashFlag();

// Releases the text settings; safe only once no other thread can read them.
void ReleaseNamedVars();
