// Engine heap: every allocation of the engine goes through these functions, so that
// tests can make any one of them fail and check that nothing breaks or leaks.
#pragma once

#include <cstddef>

namespace quorvane {

void* heap_malloc(std::size_t size);
void* heap_calloc(std::size_t count, std::size_t size);
void* heap_realloc(void* block, std::size_t size);
void heap_free(void* block);

// Test hook (per thread): let `successes` more allocations succeed, then fail every later one until
// the hook is reset with a negative count (the default: never fail).
void heap_fail_after(long long successes);
// Number of allocations made since the last call of heap_fail_after (testing aid).
long long heap_allocations_made();

}  // namespace quorvane
