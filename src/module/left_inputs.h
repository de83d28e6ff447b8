// The inputs of calls that returned on Ctrl-C while an engine worker still reads them
// (common/leave.h). The call hands its held buffers to the worker; when the worker has ended,
// it puts them on a list that is given back to the interpreter (the buffers released, so a
// bytearray can be resized again) as soon as the interpreter runs its pending calls, or at
// the next call that may leave, or at exit, which first waits for the workers still out.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "common/leave.h"
#include "module/buffer_input.h"

namespace quorvane {

// Both inputs of one call, held (the interpreter lock held when made and when destroyed).
class LeasableInputs {
public:
    LeasableInputs(const BufferArgument& old_object, const BufferArgument& new_object, const char* function)
        : old_value_(old_object, function), new_value_(new_object, function) {}
    LeasableInputs(const LeasableInputs&) = delete;
    LeasableInputs& operator=(const LeasableInputs&) = delete;

    const ByteVector* old_value() const { return old_value_.view(); }
    const ByteVector* new_value() const { return new_value_.view(); }

    // The lease for the engine call; `release` runs on the worker, without the interpreter.
    InputLease lease() { return InputLease{released, this}; }

    // After the call, with the lock held: when the call left its worker (lease.taken), the
    // worker owns `inputs` from now on.
    static void settle(std::unique_ptr<LeasableInputs>& inputs, const InputLease& lease);

private:
    static void released(void* context);

    BufferInput old_value_;
    BufferInput new_value_;
    LeasableInputs* next_ = nullptr;
    friend void give_back_left_inputs();
};

// Gives back the inputs released so far (with the interpreter lock held).
void give_back_left_inputs();

// At the module's load: the exit hook that waits for the workers still out and the fork hook.
void register_left_inputs_hooks();

}  // namespace quorvane
