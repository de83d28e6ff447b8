// Ctrl-C during long engine calls: the engine's stop checks (common/stop.h) answered by the
// interpreter's signal handlers (Ctrl-C raises KeyboardInterrupt there): the engine stops
// when one of them raised, and the binding re-raises it (nothing returned).
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>

#include "common/stop.h"

namespace quorvane {

// With the interpreter lock held.
inline bool signals_clear(void*) { return PyErr_CheckSignals() == 0; }

// With the lock released: re-take it for the check.
inline bool signals_clear_unlocked(void*) {
    pybind11::gil_scoped_acquire acquire;
    return PyErr_CheckSignals() == 0;
}

// Signal handlers run on the main thread only; other threads need not re-take the lock for them.
// (Looked up once, with the lock held; no C++ static guard, which a second thread could wait on
// while holding the lock that the first one needs to finish the Python call.)
inline bool on_main_thread() {
    static std::atomic<unsigned long> main_ident{0};
    unsigned long ident = main_ident.load(std::memory_order_relaxed);
    if (ident == 0) {
        ident = pybind11::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
        main_ident.store(ident, std::memory_order_relaxed);
    }
    return PyThread_get_thread_ident() == ident;
}

// The stop check of an engine call that runs with the lock released: signal handlers on the
// main thread (re-taking the lock for them); on other threads none (they never run there).
inline StopCheck stop_check_unlocked() {
    StopCheck stop;
    if (on_main_thread()) stop.keep_going = signals_clear_unlocked;
    return stop;
}

// The stop check of an engine call that holds the lock.
inline StopCheck stop_check_locked() {
    StopCheck stop;
    stop.keep_going = signals_clear;
    return stop;
}

}  // namespace quorvane
