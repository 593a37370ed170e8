#pragma once
#include <cstdio>
// The one way out on a fatal error, and the one way text is appended to a log file.

// Runs the exit hooks, reports "Process terminated with value: ..." on standard error and the
// system log, and exits with status. Only the first caller runs; later callers wait for the exit.
[[noreturn]] void Terminate(int status, const char* caller);
// True once some thread has entered Terminate: long work stops at its next step.
bool TerminationBegun();

// Work Terminate does before its report, in the order added (storage adds the close of its
// sinks). A hook must not terminate; adding one already added does nothing.
using ExitHook = void (*)();
void AddExitHook(ExitHook hook);

// The process that started a detached daemon waits for the outcome of its start-up on a pipe,
// whose write end fd the daemon hands over here. StartupSucceeded reports that the daemon is
// ready (one NUL byte); a Terminate before it reports the termination line instead. Only the
// first report is sent, and it closes the pipe.
void SetStartupPipe(int fd);
void StartupSucceeded();

// Opens file for appending (created with the mode main's file-creation mask leaves: 0600);
// Terminate(3, ...) if it cannot be opened.
FILE* OpenLogForAppend(const char* file);
// Flushes, syncs and closes a log opened by OpenLogForAppend; false if a byte may be lost.
bool CloseLog(FILE* log);
// CloseLog, ending the process with Terminate(3, ...) if a byte may be lost (a full disk).
void CloseLogOrTerminate(FILE* log);
// Appends message to file, opened and closed for this one call.
void LogWrite(const char* message, const char* file);
