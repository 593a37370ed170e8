#pragma once
// Process-wide settings, the one view every module reads. The command-line reader
// (entry/settings.cpp) writes them through the setters below before any other thread exists;
// afterwards they are read-only except for the two logging toggles, which SIGUSR2 and SIGHUP flip.

// Settings held as text: tracked copies, null until set.
enum class Text {
    kTextLog,
    kBinaryLog,
    kTrashLog,
    kMySQLServer,
    kClickHouseURL,
    kBindAddress,
    kMetricsAddress
};
// On/off settings; atomic, as the toggles flip two of them at run time.
enum class Flag { kTextLog, kBinaryLog, kTrashLog, kMySQL, kClickHouse, kDetached };

const char* GetTextLogFileName();
const char* GetBinaryLogFileName();
const char* GetTrashLogFileName();
const char* GetMYSQLServerName();  // null unless -m was given
const char* GetClickHouseURL();    // null unless --clickhouse was given
int IsDetached();
int IsTextLoggingEnabled();
int IsBinaryLoggingEnabled();
int IsTrashLoggingEnabled();
int IsMYSQLLoggingEnabled();
int IsClickHouseLoggingEnabled();
unsigned long GetMaxThrottle();

void SwitchTextFlag();
void SwitchTrashFlag();

// The -a address, which main() hands to the listener.
const char* GetBindAddress();
// The --metrics endpoint: its IPv4 address in dotted form (null while the endpoint is off) and
// its port (0 if the switch named no valid address or port).
const char* GetMetricsAddress();
int GetMetricsPort();
// The release number the help and the metrics show.
const char* GetRelease();

// The command-line reader's setters. SetText keeps a tracked copy of value.
const char* GetText(Text which);
void SetText(Text which, const char* value);
void SetFlag(Flag which, int value);
void SetMaxThrottle(unsigned long value);
void SetMetricsPort(int port);

// Releases the text settings; safe only once no other thread can read them.
void ReleaseNamedVars();

// A tracked copy of text (release_mem with its strlen + 1), and its release, which nulls text.
char* CopyText(const char* text);
void ReleaseText(char*& text);
