#include "module/left_inputs.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "module/python_compat.h"

namespace py = pybind11;

namespace quorvane {

// The list of released inputs and the count of those still out: lock-free, so that a fork
// while a worker pushes cannot leave a lock held in the child, and never destroyed, so that a
// worker still running while the process exits finds them in place.
struct LeftInputs {
    std::atomic<LeasableInputs*> released{nullptr};
    std::atomic<long> out{0};            // left to a worker and not yet released
    std::atomic<bool> exiting{false};    // the exit hook ran: no more pending calls

    static LeftInputs& get() {
        static LeftInputs* const left = new LeftInputs;
        return *left;
    }
};

namespace {

// How long the exit hook waits for a worker: it stops at its next question, after the library
// step it is in (a second or two at most for the largest values at the top levels).
constexpr std::chrono::seconds EXIT_WAIT{60};

int give_back_pending(void*) {
    give_back_left_inputs();
    return 0;
}

}  // namespace

void LeasableInputs::released(void* context) {
    LeftInputs& left = LeftInputs::get();
    auto* inputs = static_cast<LeasableInputs*>(context);
    inputs->next_ = left.released.load(std::memory_order_relaxed);
    while (!left.released.compare_exchange_weak(inputs->next_, inputs, std::memory_order_release,
                                                std::memory_order_relaxed)) {
    }
    left.out.fetch_sub(1, std::memory_order_acq_rel);
#if QUORVANE_CPYTHON
    // Asks the interpreter to give them back at its next pending calls (without the lock; a
    // full queue leaves them for the next call or the exit).
    if (!left.exiting.load(std::memory_order_acquire)) Py_AddPendingCall(give_back_pending, nullptr);
#endif
}

void LeasableInputs::settle(std::unique_ptr<LeasableInputs>& inputs, const InputLease& lease) {
    if (!lease.taken) return;
    LeftInputs::get().out.fetch_add(1, std::memory_order_acq_rel);  // may follow the release's decrement
    inputs.release();
}

void give_back_left_inputs() {
    LeasableInputs* inputs = LeftInputs::get().released.exchange(nullptr, std::memory_order_acquire);
    while (inputs != nullptr) {
        LeasableInputs* next = inputs->next_;
        delete inputs;
        inputs = next;
    }
}

void register_left_inputs_hooks() {
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        LeftInputs& left = LeftInputs::get();
        left.exiting.store(true, std::memory_order_release);
        {
            py::gil_scoped_release unlocked;
            const auto deadline = std::chrono::steady_clock::now() + EXIT_WAIT;
            while (left.out.load(std::memory_order_acquire) > 0 && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        give_back_left_inputs();
    }));
    // A child of fork has none of the parent's workers: what they hold is forgotten there.
    const py::module_ os = py::module_::import("os");
    if (py::hasattr(os, "register_at_fork")) {
        os.attr("register_at_fork")(py::arg("after_in_child") = py::cpp_function([] {
            LeftInputs::get().out.store(0, std::memory_order_relaxed);
        }));
    }
}

}  // namespace quorvane
