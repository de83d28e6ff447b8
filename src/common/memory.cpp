#include "common/memory.h"

#include <atomic>
#include <cstdlib>

namespace quorvane {
namespace {

// Per thread: a test sets and reads them on its own thread while other threads may diff.
thread_local long long fail_countdown = -1;  // negative: never fail
thread_local long long allocations_made = 0;
std::atomic<long long> blocks_live{0};  // all threads: allocated and not yet freed

void* counted(void* block) {
    if (block != nullptr) blocks_live.fetch_add(1, std::memory_order_relaxed);
    return block;
}

bool allocation_allowed() {
    ++allocations_made;
    if (fail_countdown < 0) return true;
    if (fail_countdown == 0) return false;
    --fail_countdown;
    return true;
}

}  // namespace

void* heap_malloc(std::size_t size) {
    return allocation_allowed() ? counted(std::malloc(size == 0 ? 1 : size)) : nullptr;
}

void* heap_calloc(std::size_t count, std::size_t size) {
    return allocation_allowed() ? counted(std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size)) : nullptr;
}

void* heap_realloc(void* block, std::size_t size) {
    if (!allocation_allowed()) return nullptr;
    void* moved = std::realloc(block, size == 0 ? 1 : size);
    return block == nullptr ? counted(moved) : moved;
}

void heap_free(void* block) {
    if (block != nullptr) blocks_live.fetch_sub(1, std::memory_order_relaxed);
    std::free(block);
}

void heap_fail_after(long long successes) {
    fail_countdown = successes;
    allocations_made = 0;
}

long long heap_allocations_made() { return allocations_made; }

long long heap_blocks_live() { return blocks_live.load(std::memory_order_relaxed); }

}  // namespace quorvane
