// The verbose switch and the one place diagnostic lines are written. Every line is flushed at
// once so a pipe reader sees it immediately.
#pragma once

// Stores the switch; a non-zero value prints "verbose mode is on\n". Off at load.
void setVerbose(int flag);
int isVerbose();

// Prints to standard output and flushes, unconditionally.
void logPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Prints to standard output and flushes, only when the verbose switch is on.
void verbosePrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
