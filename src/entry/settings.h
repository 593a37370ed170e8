#pragma once
// Process-wide settings. main() writes them before any other thread exists; afterwards they
// are read-only except for the two logging toggles, which SIGUSR2 and SIGHUP flip.

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

// Start-up values that main() hands to the listener instead of keeping them as settings.
struct StartupOptions {
    int nThreads;
    int nNetflowport;  // the -p word as atoi reads it, which the report shows
    bool port_valid;   // the -p word is a whole number from 1 to 65535
    char* user;        // tracked copy of the -u name, or null
};

// Sets the defaults, reads the command-line switches and fills in the default file names.
// May be called again (tests do): the previous text settings are released first.
void ReadSettings(int argc, char** argv, StartupOptions* options);

// Releases the text settings; safe only once no other thread can read them.
void ReleaseNamedVars();

// The -a address, which main() hands to the listener.
const char* GetBindAddress();
// The --metrics endpoint: its IPv4 address in dotted form (null while the endpoint is off) and
// its port (0 if the switch named no valid address or port).
const char* GetMetricsAddress();
int GetMetricsPort();
// The release number the help and the metrics show.
const char* GetRelease();
// A tracked copy (release with its strlen + 1) of the platform name shown by the help.
char* OSVersion();
// Prints the help text on standard output and exits with status 1.
[[noreturn]] void HelpCommandLine();
