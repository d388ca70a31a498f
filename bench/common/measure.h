// Small measuring helpers shared by the benchmark programs.
#pragma once

#include <atomic>
#include <vector>

#include "platform/platform.h"

// The process's resident memory in bytes, from /proc/self/statm; 0 when it cannot be read.
long benchResidentBytes();

// The p-quantile (0..1) of `values`, the nearest rank; 0 for none.
double benchPercentile(std::vector<double> values, double p);

// A reader that takes whatever arrives on `socket` until it closes, counting the bytes.
struct BenchDrain {
    PlatformSocket socket;
    std::atomic<long long> bytes{0};
};
// Thread body for platformThreadStart with a BenchDrain.
void benchDrainBody(void* arg);
