#include "server/worker_pool.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/platform.h"

namespace {

// Workers beyond the fixed number leave after this long without a job.
constexpr auto kExtraIdle = std::chrono::seconds(2);

struct QueuedJob {
    WorkerJob job;
    void* arg;
    uint32_t queuedAt; // platformTickMs when submitted
};

struct Pool {
    std::mutex lock;
    std::condition_variable work;      // workers wait here for a job or the stop
    std::condition_variable supervise; // the supervisor waits here while nothing is queued
    QueuedJob queue[kPoolQueueSize];
    int head = 0;
    int count = 0;
    int workers = 0; // pool threads alive, detached ones not counted
    int idle = 0;    // workers waiting for a job
    int fixed = 0;   // set at first use
    bool supervisorRunning = false;
    bool stopping = false;
};

// Created on first use rather than at load, so the module has no static constructor, and never
// destroyed: idle workers may still wait on it while the process exits, and destroying a
// condition variable with waiters blocks.
Pool& pool() {
    static Pool* instance = new Pool;
    return *instance;
}

thread_local bool tIsWorker = false;
thread_local bool tDetached = false;

void workerBody(void*);
void supervisorBody(void*);

// Starts one more worker; pool lock held. False when no thread could be started.
bool startWorker(Pool& p) {
    if (platformThreadStartDetached(workerBody, nullptr) != 0) {
        return false;
    }
    p.workers++;
    return true;
}

// Takes the oldest job; pool lock held and count > 0.
QueuedJob takeJob(Pool& p) {
    QueuedJob taken = p.queue[p.head];
    p.head = (p.head + 1) % kPoolQueueSize;
    p.count--;
    return taken;
}

void workerBody(void*) {
    tIsWorker = true;
    Pool& p = pool();
    std::unique_lock<std::mutex> hold(p.lock);
    for (;;) {
        if (p.count == 0) {
            if (p.stopping) {
                break;
            }
            p.idle++;
            bool ready = true;
            if (p.workers > p.fixed) {
                ready =
                    p.work.wait_for(hold, kExtraIdle, [&p] { return p.count > 0 || p.stopping; });
            } else {
                p.work.wait(hold, [&p] { return p.count > 0 || p.stopping; });
            }
            p.idle--;
            if (!ready && p.workers > p.fixed) {
                break; // an extra worker without work for a while
            }
            continue;
        }
        QueuedJob next = takeJob(p);
        hold.unlock();
        next.job(next.arg);
        hold.lock();
        if (tDetached) {
            // Already uncounted by workerPoolDetach.
            tIsWorker = false;
            tDetached = false;
            return;
        }
    }
    p.workers--;
    tIsWorker = false;
}

// Adds a worker whenever the oldest queued job has waited kPoolStallMs with no worker free.
void supervisorBody(void*) {
    Pool& p = pool();
    std::unique_lock<std::mutex> hold(p.lock);
    while (!p.stopping || p.count > 0) {
        if (p.count == 0) {
            p.supervise.wait(hold, [&p] { return p.count > 0 || p.stopping; });
            continue;
        }
        uint32_t waited = platformTickMs() - p.queue[p.head].queuedAt;
        if (waited >= kPoolStallMs && p.count > p.idle) {
            startWorker(p);
            waited = 0;
        }
        uint32_t pause = waited < kPoolStallMs ? kPoolStallMs - waited : kPoolStallMs;
        p.supervise.wait_for(hold, std::chrono::milliseconds(pause));
    }
    p.supervisorRunning = false;
}

} // namespace

bool workerPoolSubmit(WorkerJob job, void* arg) {
    Pool& p = pool();
    std::unique_lock<std::mutex> hold(p.lock);
    if (p.fixed == 0) {
        int cores = platformCpuCount();
        p.fixed = cores < 4 ? 4 : cores;
    }
    if (p.count == kPoolQueueSize) {
        return false;
    }
    p.stopping = false;
    p.queue[(p.head + p.count) % kPoolQueueSize] = QueuedJob{job, arg, platformTickMs()};
    p.count++;
    if (p.count > p.idle && p.workers < p.fixed) {
        startWorker(p);
    }
    if (p.workers == 0) {
        // No thread could be started and none is running: the job would never run.
        p.count--;
        return false;
    }
    if (!p.supervisorRunning && platformThreadStartDetached(supervisorBody, nullptr) == 0) {
        p.supervisorRunning = true;
    }
    bool shortOfWorkers = p.count > p.idle;
    // Woken after the lock is free, so the worker does not wake only to wait for it.
    hold.unlock();
    p.work.notify_one();
    if (shortOfWorkers) {
        p.supervise.notify_one();
    }
    return true;
}

void workerPoolDetach() {
    if (!tIsWorker || tDetached) {
        return;
    }
    Pool& p = pool();
    std::lock_guard<std::mutex> hold(p.lock);
    tDetached = true;
    p.workers--;
    // Jobs that this worker would have taken next get a replacement at once.
    if (p.count > p.idle && p.workers < p.fixed) {
        startWorker(p);
    }
}

void workerPoolStop() {
    Pool& p = pool();
    std::lock_guard<std::mutex> hold(p.lock);
    p.stopping = true;
    p.work.notify_all();
    p.supervise.notify_all();
}

WorkerPoolCounts workerPoolCounts() {
    Pool& p = pool();
    std::lock_guard<std::mutex> hold(p.lock);
    return WorkerPoolCounts{p.workers, p.idle, p.fixed};
}
