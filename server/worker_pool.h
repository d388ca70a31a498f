// The threads that serve connections: a fixed set of workers (one per processor, at least 4)
// fed by the accept threads through a bounded queue, so a short request costs no thread start.
//
// No connection waits long for another: when the oldest queued job has waited kPoolStallMs
// because every worker is held (clients that trickle their requests, say), a supervisor adds
// one more worker; workers beyond the fixed number leave after a while without work. A job that
// will run long (a media stream) calls workerPoolDetach: its thread leaves the pool, finishes
// the job as a thread of its own and ends, and the pool starts a replacement when it needs one.
// Streams therefore get their own threads and never hold a worker for long.
#pragma once

#include <cstdint>

using WorkerJob = void (*)(void* arg);

// Jobs queued and not yet started, at most; the accept threads' connection cap keeps below it.
constexpr int kPoolQueueSize = 256;
// Wait of the oldest queued job after which one more worker is started.
constexpr uint32_t kPoolStallMs = 20;

// Queues `job(arg)`. False when the queue is full or no worker could be started for it; the
// job is then not run and the caller still owns `arg`.
bool workerPoolSubmit(WorkerJob job, void* arg);

// Called by a job on a worker: this thread leaves the pool once the job returns, and the pool
// no longer counts it. Does nothing on a thread that is not a pool worker, or called again.
void workerPoolDetach();

// Lets idle workers and the supervisor end; queued jobs are still run first. Returns at once; a
// later submit starts workers again.
void workerPoolStop();

// Pool workers alive (detached ones not counted) and workers waiting for a job.
struct WorkerPoolCounts {
    int workers;
    int idle;
    int fixed; // the fixed number of workers
};
WorkerPoolCounts workerPoolCounts();
