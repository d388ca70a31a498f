#include "server/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/platform.h"

namespace {

// A job that holds its worker until released, optionally leaving the pool first.
struct Holder {
    std::atomic<bool> started{false};
    std::atomic<bool> release{false};
    bool detach = false;
};

void holdJob(void* arg) {
    auto* h = static_cast<Holder*>(arg);
    if (h->detach) {
        workerPoolDetach();
    }
    h->started = true;
    for (int i = 0; i < 10000 && !h->release; i++) {
        platformSleepMs(1);
    }
}

void countJob(void* arg) {
    static_cast<std::atomic<int>*>(arg)->fetch_add(1);
}

bool waitFor(const std::atomic<bool>& flag, uint32_t ms) {
    for (uint32_t i = 0; i < ms && !flag; i++) {
        platformSleepMs(1);
    }
    return flag;
}

bool waitForCount(const std::atomic<int>& value, int wanted, uint32_t ms) {
    for (uint32_t i = 0; i < ms && value < wanted; i++) {
        platformSleepMs(1);
    }
    return value == wanted;
}

// Stops the pool and waits until every thread it started has ended.
void stopAndDrain(int threadsBefore) {
    workerPoolStop();
    for (int i = 0; i < 5000 && platformThreadsRunning() > threadsBefore; i++) {
        platformSleepMs(1);
    }
    EXPECT_EQ(platformThreadsRunning(), threadsBefore);
    EXPECT_EQ(workerPoolCounts().workers, 0);
}

TEST(WorkerPool, RunsEveryJobOnAFixedSetOfThreads) {
    int before = platformThreadsRunning();
    std::atomic<int> done{0};
    for (int i = 0; i < 200; i++) {
        ASSERT_TRUE(workerPoolSubmit(countJob, &done));
    }
    EXPECT_TRUE(waitForCount(done, 200, 5000));
    WorkerPoolCounts counts = workerPoolCounts();
    EXPECT_GE(counts.fixed, 4);
    // Short jobs reuse the workers: no thread per job. (A slow machine or a sanitizer may let the
    // oldest queued job wait past kPoolStallMs, which adds a worker or two beyond the fixed set.)
    EXPECT_LT(counts.workers, 50);
    EXPECT_LT(platformThreadsRunning() - before, 50);
    stopAndDrain(before);
}

TEST(WorkerPool, HeldWorkersDoNotKeepAQueuedJobWaiting) {
    int before = platformThreadsRunning();
    int fixed = 4;
    std::atomic<int> done{0};
    ASSERT_TRUE(workerPoolSubmit(countJob, &done));
    ASSERT_TRUE(waitForCount(done, 1, 2000));
    fixed = workerPoolCounts().fixed;
    // Every fixed worker held by a client that does not finish...
    Holder holders[64];
    ASSERT_LE(fixed, 64);
    for (int i = 0; i < fixed; i++) {
        ASSERT_TRUE(workerPoolSubmit(holdJob, &holders[i]));
    }
    for (int i = 0; i < fixed; i++) {
        ASSERT_TRUE(waitFor(holders[i].started, 2000));
    }
    // ...and still the next job runs, on a worker added for it.
    uint32_t start = platformTickMs();
    ASSERT_TRUE(workerPoolSubmit(countJob, &done));
    EXPECT_TRUE(waitForCount(done, 2, 2000));
    EXPECT_LT(platformTickMs() - start, 1000u);
    EXPECT_GT(workerPoolCounts().workers, fixed);
    for (int i = 0; i < fixed; i++) {
        holders[i].release = true;
    }
    stopAndDrain(before);
}

TEST(WorkerPool, ADetachedJobLeavesThePoolAndIsReplaced) {
    int before = platformThreadsRunning();
    std::atomic<int> done{0};
    ASSERT_TRUE(workerPoolSubmit(countJob, &done));
    ASSERT_TRUE(waitForCount(done, 1, 2000));
    int fixed = workerPoolCounts().fixed;
    Holder streams[64];
    ASSERT_LE(fixed, 64);
    // As many long streams as there are workers: each leaves the pool as it starts.
    for (int i = 0; i < fixed; i++) {
        streams[i].detach = true;
        ASSERT_TRUE(workerPoolSubmit(holdJob, &streams[i]));
        ASSERT_TRUE(waitFor(streams[i].started, 2000));
    }
    EXPECT_LE(workerPoolCounts().workers, fixed);
    for (int i = 0; i < 50; i++) {
        ASSERT_TRUE(workerPoolSubmit(countJob, &done));
    }
    EXPECT_TRUE(waitForCount(done, 51, 2000));
    // Detaching twice, or outside the pool, changes nothing.
    workerPoolDetach();
    for (Holder& h : streams) {
        h.release = true;
    }
    stopAndDrain(before);
}

TEST(WorkerPool, AFullQueueRefusesTheJob) {
    int before = platformThreadsRunning();
    std::atomic<int> done{0};
    ASSERT_TRUE(workerPoolSubmit(countJob, &done));
    ASSERT_TRUE(waitForCount(done, 1, 2000));
    int fixed = workerPoolCounts().fixed;
    // Hold the fixed workers; the supervisor adds more for queued jobs, so fill the queue
    // faster than it can: every refused submit leaves its job unrun.
    Holder holders[kPoolQueueSize * 2];
    int accepted = 0;
    int refused = 0;
    for (Holder& h : holders) {
        if (workerPoolSubmit(holdJob, &h)) {
            accepted++;
        } else {
            refused++;
            h.started = true; // never runs
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_GE(accepted, kPoolQueueSize);
    EXPECT_GE(workerPoolCounts().workers, fixed);
    for (Holder& h : holders) {
        h.release = true;
    }
    stopAndDrain(before);
}

} // namespace
