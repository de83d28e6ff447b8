// Calls that can be left: a stop check answered within its interval even while the work is
// inside a library step that cannot be interrupted.
//
// zstd and liblzma take their input in pieces, and the engine asks its stop check between
// pieces; but some single steps of theirs run for long: zstd's top strategies load a prefix
// of several MB into their binary trees in one step (up to a second for 3 MB), and liblzma
// reads its whole preset dictionary when it starts. So that Ctrl-C is still answered at
// once, such a call runs its work on a worker thread while the calling thread waits, asking
// the caller's stop check every WorkTicker::INTERVAL. When the check says stop, the calling
// thread tells the worker to stop (it does at its next question, after the step it is in),
// and returns at once, leaving the worker to end on its own: the worker then drops what it
// made and hands the inputs back through the caller's InputLease, as the last thing it does.
//
// So the caller must keep its inputs readable until the lease is released; a caller without
// a lease (or without a stop check) gets no worker and waits for the step, as before.
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "common/stop.h"

namespace quorvane {

// The inputs of a call that may be left (see above). `release` is called once, from the
// worker thread, when the call left its worker (`taken` is then true on return); otherwise
// never, and the inputs are the caller's again when the call returns.
struct InputLease {
    void (*release)(void* context) = nullptr;
    void* context = nullptr;
    bool taken = false;  // set by the call: it returned while a worker still read the inputs
};

// Whether a call with this lease and stop check may leave its work to a worker.
inline bool can_leave(const InputLease* lease, const StopCheck* stop) {
    return lease != nullptr && lease->release != nullptr && stop != nullptr && stop->keep_going != nullptr;
}

// Runs work(const StopCheck&) -> Result on a worker thread, the calling thread asking `stop`
// meanwhile (can_leave must hold). The work's own stop check says stop once the calling thread
// has left it. `stop` is asked first, before any work. Returns true with *result set when the
// work ended without `stop` saying stop; false when it said stop: if the work had begun and
// not ended, lease->taken is true, and drop(Result&) and the lease's release run on the
// worker when it ends; if it had ended, its result was dropped here. When no thread can be
// started, the work runs on the calling thread, with `stop` as its check, and its result is
// returned whatever it says.
template <typename Result, typename Work, typename Drop>
bool run_leavable(Work work, Drop drop, const StopCheck& stop, InputLease* lease, Result* result) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
        bool left = false;
        SharedStop told;
        Result result{};
    };
    if (!stop.keep_going(stop.context)) return false;  // stopped before it began: no worker
    std::shared_ptr<Shared> shared;
    try {
        shared = std::make_shared<Shared>();
    } catch (const std::bad_alloc&) {
        *result = work(stop);
        return true;
    }
    const InputLease handed = *lease;
    try {
        std::thread([shared, handed, work, drop]() mutable {
            Result made = work(shared->told.check());
            bool left;
            {
                std::lock_guard<std::mutex> hold(shared->mutex);
                shared->done = true;
                left = shared->left;
                if (!left) shared->result = std::move(made);
            }
            shared->ended.notify_one();
            if (left) {
                drop(made);
                handed.release(handed.context);
            }
        }).detach();
    } catch (const std::exception&) {  // no thread to be had (system_error, bad_alloc)
        *result = work(stop);
        return true;
    }
    std::unique_lock<std::mutex> hold(shared->mutex);
    while (!shared->done) {
        shared->ended.wait_for(hold, WorkTicker::INTERVAL);
        if (shared->done) break;
        hold.unlock();
        const bool go_on = stop.keep_going(stop.context);
        hold.lock();
        if (go_on) continue;
        if (shared->done) {  // it ended meanwhile: stopped all the same
            drop(shared->result);
            return false;
        }
        shared->left = true;
        shared->told.stop.store(true, std::memory_order_relaxed);
        lease->taken = true;
        return false;
    }
    *result = std::move(shared->result);
    return true;
}

}  // namespace quorvane
