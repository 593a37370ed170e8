#pragma once
// The command line: reads the switches into the process-wide settings (common/settings.h) and
// prints the help.

// The -i backlog limit bounds memory: it must lie between 1 and this.
constexpr unsigned long kMaxThrottleLimit = 1000000;

// Start-up values that main() hands to the listener instead of keeping them as settings.
struct StartupOptions {
    int nThreads;
    int nNetflowport;  // the -p word as atoi reads it, which the report shows
    bool port_valid;   // the -p word is a whole number from 1 to 65535
    bool throttle_valid;  // the -i word is a whole number from 1 to kMaxThrottleLimit
    char* user;        // tracked copy of the -u name, or null
};

// Sets the defaults, reads the command-line switches and fills in the default file names.
// May be called again (tests do): the previous text settings are released first.
void ReadSettings(int argc, char** argv, StartupOptions* options);

// A tracked copy (release with its strlen + 1) of the platform name shown by the help.
char* OSVersion();
// Prints the help text on standard output and exits with status 1.
[[noreturn]] void HelpCommandLine();
