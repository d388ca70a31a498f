#include "measure.h"

#include <algorithm>
#include <cstdio>

long benchResidentBytes() {
    FILE* file = std::fopen("/proc/self/statm", "r");
    long pages = 0;
    long resident = 0;
    if (file != nullptr) {
        if (std::fscanf(file, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(file);
    }
    return resident * 4096;
}

double benchPercentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5)];
}

void benchDrainBody(void* arg) {
    auto* drain = static_cast<BenchDrain*>(arg);
    char block[65536];
    for (;;) {
        int n = platformSocketRecv(drain->socket, block, sizeof block);
        if (n <= 0) {
            return;
        }
        drain->bytes += n;
    }
}
