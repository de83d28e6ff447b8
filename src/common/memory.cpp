#include "common/memory.h"

#include <cstdlib>

namespace quorvane {
namespace {

// Per thread: a test sets and reads them on its own thread, and calls that run without the
// interpreter lock on other threads must not race on them.
thread_local long long fail_countdown = -1;  // negative: never fail
thread_local long long allocations_made = 0;

bool allocation_allowed() {
    ++allocations_made;
    if (fail_countdown < 0) return true;
    if (fail_countdown == 0) return false;
    --fail_countdown;
    return true;
}

}  // namespace

void* heap_malloc(std::size_t size) {
    return allocation_allowed() ? std::malloc(size == 0 ? 1 : size) : nullptr;
}

void* heap_calloc(std::size_t count, std::size_t size) {
    return allocation_allowed() ? std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size) : nullptr;
}

void* heap_realloc(void* block, std::size_t size) {
    return allocation_allowed() ? std::realloc(block, size == 0 ? 1 : size) : nullptr;
}

void heap_free(void* block) { std::free(block); }

void heap_fail_after(long long successes) {
    fail_countdown = successes;
    allocations_made = 0;
}

long long heap_allocations_made() { return allocations_made; }

}  // namespace quorvane
