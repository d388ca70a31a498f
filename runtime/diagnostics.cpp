#include "runtime/diagnostics.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

// Written by setVerbose, read by every thread that prints diagnostics; a plain word.
static std::atomic<int32_t> verboseFlag{0};

void setVerbose(int flag) {
    verboseFlag.store(flag, std::memory_order_relaxed);
    if (flag != 0) {
        logPrint("verbose mode is on\n");
    }
}

int isVerbose() {
    return verboseFlag.load(std::memory_order_relaxed);
}

__attribute__((format(printf, 1, 0))) static void printAndFlush(const char* format, va_list args) {
    std::vfprintf(stdout, format, args);
    std::fflush(stdout);
}

void logPrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    printAndFlush(format, args);
    va_end(args);
}

void verbosePrint(const char* format, ...) {
    if (!isVerbose()) {
        return;
    }
    va_list args;
    va_start(args, format);
    printAndFlush(format, args);
    va_end(args);
}
