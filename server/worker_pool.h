// The threads that serve connections: a fixed set of workers (one per processor, at least 4)
// fed by the accept threads through a bounded queue, so a short request costs no thread start.
//
// No connection waits long for another: when the oldest queued job has waited kPoolStallMs
// because every worker is held (clients that trickle their requests, say), a supervisor adds
// one more worker; workers beyond the fixed number leave after a while without work. A job that
// will run long (a media stream) calls workerPoolDetach: its thread leaves the pool, finishes
// the job as a thread of its own and ends, and the pool starts a replacement when it needs one.
// Streams therefore get their own threads and never hold a worker for long.
//
// A listener's connections reach the workers in two ways. Its accept thread accepts and queues
// them; or, while workers are idle, they wait in accept on the listener themselves and serve
// what they accept at once, so that a short request costs no hand-over between threads (no
// wake, no extra switch). The accept thread stands aside while any worker waits in accept on
// its listener and takes over when the last one leaves with a connection; one idle worker stays
// on the queue, so queued connections still find a worker at once.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

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

// Serves a connection that a worker accepted itself on a listener: `peer` is the remote address
// (network order), `local` the listener's address and port. It owns the socket.
using WorkerConnectionJob = void (*)(PlatformSocket socket, uint32_t peer,
                                     const Ipv4Endpoint& local);

// Listeners that idle workers may accept on, at most.
constexpr int kPoolMaxListeners = 8;

// Lets idle workers accept on `*listener` (local address and port `local`) and serve what they
// accept with `serve`; starts the fixed workers. Returns the listener's slot, or -1 when every
// slot is taken (the accept thread then feeds the queue alone). The variable reads 0 once the
// listener closes; it must outlive workerPoolUnlisten.
int workerPoolListen(std::atomic<PlatformSocket>* listener, const Ipv4Endpoint& local,
                     WorkerConnectionJob serve);

// The accept thread calls this before each accept: waits while workers wait in accept on the
// listener, or while one has been asked to. Returns at once for slot -1.
void workerPoolAcceptTurn(int slot);

// The accept thread calls this after it has queued what it accepted: when at least two workers
// are idle beyond the queued jobs, they are asked to take over accepting (one stays on the
// queue). Under load, where a worker is idle only for moments, the accept thread keeps on.
void workerPoolAcceptDone(int slot);

// The accept thread calls this once its listener is closed: no worker starts another accept on
// it, and this returns once none is still in one. Nothing for slot -1.
void workerPoolUnlisten(int slot);

// Pool workers alive (detached ones not counted) and workers waiting for a job.
struct WorkerPoolCounts {
    int workers;
    int idle;   // waiting for a job (workers waiting in accept not counted)
    int fixed;  // the fixed number of workers
    int parked; // waiting in accept on a listener
};
WorkerPoolCounts workerPoolCounts();
