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

// A listener that idle workers accept on (see workerPoolListen).
struct ListenSlot {
    std::atomic<PlatformSocket>* socket = nullptr; // nullptr: a free slot
    Ipv4Endpoint local = {0, 0};
    WorkerConnectionJob serve = nullptr;
    int parked = 0;               // workers in (or on their way into) accept on it
    bool called = false;          // a worker has been asked to come and accept
    bool acceptor = false;        // the accept thread is in accept on it
    bool closed = false;          // no worker starts another accept on it
    std::condition_variable turn; // the accept thread waits here while workers accept
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
    ListenSlot listeners[kPoolMaxListeners];
    uint32_t calls = 0; // counts the calls of listeners for workers to accept on them
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

// Whether idle workers have a listener to accept on; pool lock held.
bool anyListener(const Pool& p) {
    for (const ListenSlot& slot : p.listeners) {
        if (slot.socket != nullptr && !slot.closed) {
            return true;
        }
    }
    return false;
}

// Takes the oldest job; pool lock held and count > 0.
QueuedJob takeJob(Pool& p) {
    QueuedJob taken = p.queue[p.head];
    p.head = (p.head + 1) % kPoolQueueSize;
    p.count--;
    return taken;
}

// The listener an idle worker should wait in accept on, or nullptr to wait for a job. A worker
// goes where it has been called; otherwise only a fixed worker goes, and only while another
// worker stays waiting for jobs, to the open listener with the fewest workers in accept whose
// accept thread is not in accept itself (a connection it takes would be queued, and could wait
// for a worker while others sit in accept). Pool lock held.
ListenSlot* listenerToWatch(Pool& p) {
    if (p.stopping) {
        return nullptr;
    }
    ListenSlot* best = nullptr;
    for (ListenSlot& slot : p.listeners) {
        if (slot.socket == nullptr || slot.closed || slot.acceptor) {
            continue;
        }
        if (slot.called) {
            return &slot;
        }
        if (best == nullptr || slot.parked < best->parked) {
            best = &slot;
        }
    }
    return p.idle > 0 && p.workers <= p.fixed ? best : nullptr;
}

// Waits in accept on `slot` and serves what comes; pool lock held on entry and return.
void acceptOnWorker(ListenSlot& slot, std::unique_lock<std::mutex>& hold) {
    slot.parked++;
    slot.called = false;
    std::atomic<PlatformSocket>* variable = slot.socket;
    PlatformSocket listener = variable->load(std::memory_order_relaxed);
    Ipv4Endpoint local = slot.local;
    WorkerConnectionJob serve = slot.serve;
    hold.unlock();
    Ipv4Endpoint peer = {0, 0};
    PlatformSocket s =
        listener != 0 ? platformSocketAccept(listener, &peer) : kPlatformInvalidSocket;
    // Read while this worker still counts as in accept, so the variable is still there.
    bool open = s != kPlatformInvalidSocket ||
                (listener != 0 && variable->load(std::memory_order_relaxed) == listener);
    hold.lock();
    slot.parked--;
    slot.closed = slot.closed || !open;
    if (slot.parked == 0) {
        slot.turn.notify_one(); // the accept thread's turn, or its unlisten may end
    }
    if (s == kPlatformInvalidSocket) {
        if (open) {
            // Out of descriptors, say: pause so the loop cannot spin.
            hold.unlock();
            platformSleepMs(10);
            hold.lock();
        }
        return;
    }
    hold.unlock();
    serve(s, peer.address, local);
    hold.lock();
}

void workerBody(void*) {
    tIsWorker = true;
    Pool& p = pool();
    std::unique_lock<std::mutex> hold(p.lock);
    for (;;) {
        if (p.count == 0) {
            ListenSlot* slot = listenerToWatch(p);
            if (slot != nullptr) {
                acceptOnWorker(*slot, hold);
                if (tDetached) {
                    break;
                }
                continue;
            }
            if (p.stopping) {
                break;
            }
            p.idle++;
            bool ready = true;
            // A listener's call wakes every idle worker to look for a listener to watch.
            uint32_t calls = p.calls;
            auto wanted = [&p, calls] { return p.count > 0 || p.stopping || p.calls != calls; };
            if (p.workers > p.fixed) {
                ready = p.work.wait_for(hold, kExtraIdle, wanted);
            } else {
                p.work.wait(hold, wanted);
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
            break;
        }
    }
    if (tDetached) {
        // Already uncounted by workerPoolDetach.
        tDetached = false;
    } else {
        p.workers--;
    }
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

// Sets the fixed number of workers at first use; pool lock held.
void sizePool(Pool& p) {
    if (p.fixed == 0) {
        int cores = platformCpuCount();
        p.fixed = cores < 4 ? 4 : cores;
    }
}

} // namespace

bool workerPoolSubmit(WorkerJob job, void* arg) {
    Pool& p = pool();
    std::unique_lock<std::mutex> hold(p.lock);
    sizePool(p);
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
    // Jobs that this worker would have taken next get a replacement at once, and so do the
    // listeners that idle workers accept on.
    if ((p.count > p.idle || (anyListener(p) && !p.stopping)) && p.workers < p.fixed) {
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
    int parked = 0;
    for (const ListenSlot& slot : p.listeners) {
        parked += slot.parked;
    }
    return WorkerPoolCounts{p.workers, p.idle, p.fixed, parked};
}

int workerPoolListen(std::atomic<PlatformSocket>* listener, const Ipv4Endpoint& local,
                     WorkerConnectionJob serve) {
    Pool& p = pool();
    std::lock_guard<std::mutex> hold(p.lock);
    sizePool(p);
    for (int i = 0; i < kPoolMaxListeners; i++) {
        ListenSlot& slot = p.listeners[i];
        if (slot.socket != nullptr) {
            continue;
        }
        slot.socket = listener;
        slot.local = local;
        slot.serve = serve;
        slot.parked = 0;
        slot.called = false;
        slot.acceptor = false;
        slot.closed = false;
        p.stopping = false;
        // Workers are started now rather than for the first connections, so that idle ones
        // wait in accept from the start.
        while (p.workers < p.fixed && startWorker(p)) {
        }
        return i;
    }
    return -1;
}

void workerPoolAcceptTurn(int slot) {
    if (slot < 0) {
        return;
    }
    Pool& p = pool();
    std::unique_lock<std::mutex> hold(p.lock);
    ListenSlot& s = p.listeners[slot];
    auto turnComes = [&s] { return s.closed || (s.parked == 0 && !s.called); };
    while (!turnComes()) {
        if (s.parked > 0) {
            s.turn.wait(hold, [&s] { return s.closed || s.parked == 0; });
        } else if (!s.turn.wait_for(hold, std::chrono::milliseconds(kPoolStallMs), turnComes) &&
                   s.parked == 0) {
            // A call that no worker answered (every one busy) is withdrawn.
            s.called = false;
        }
    }
    s.acceptor = true;
}

void workerPoolAcceptDone(int slot) {
    if (slot < 0) {
        return;
    }
    Pool& p = pool();
    std::unique_lock<std::mutex> hold(p.lock);
    ListenSlot& s = p.listeners[slot];
    s.acceptor = false;
    if (!s.closed && !p.stopping && p.idle - p.count >= 2 && s.parked == 0) {
        // Every idle worker but one (see listenerToWatch) goes to accept on it.
        s.called = true;
        p.calls++;
        hold.unlock();
        p.work.notify_all();
    }
}

void workerPoolUnlisten(int slot) {
    if (slot < 0) {
        return;
    }
    Pool& p = pool();
    std::unique_lock<std::mutex> hold(p.lock);
    ListenSlot& s = p.listeners[slot];
    s.closed = true;
    s.called = false;
    s.acceptor = false;
    s.turn.wait(hold, [&s] { return s.parked == 0; });
    s.socket = nullptr;
}
