#pragma once
// The one way out on a fatal error, and the one way text is appended to a log file.

// Closes the storage, reports "Process terminated with value: ..." on standard error and the
// system log, and exits with status. Only the first caller runs; later callers wait for the exit.
[[noreturn]] void Terminate(int status, const char* caller);

// Closes every sink through its close, which commits what it can and reports what it cannot.
void CloseStorage();

// Appends message to file (created with mode 0600); Terminate(3, ...) if it cannot be opened.
void LogWrite(const char* message, const char* file);
