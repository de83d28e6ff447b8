// Engine heap: every allocation of the engine goes through these functions, so that
// tests can make any one of them fail and check that nothing breaks or leaks.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

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
// Number of blocks allocated and not yet freed, over all threads (testing aid: leaks).
long long heap_blocks_live();

// The engine heap for the standard containers, for code that reports running out of memory by
// throwing std::bad_alloc (caught at its entry): std::vector<T, HeapAllocator<T>>.
template <typename T>
struct HeapAllocator {
    using value_type = T;
    HeapAllocator() noexcept = default;
    template <typename U>
    HeapAllocator(const HeapAllocator<U>&) noexcept {}
    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        void* block = heap_malloc(count * sizeof(T));
        if (block == nullptr) throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t) noexcept { heap_free(block); }
    template <typename U>
    bool operator==(const HeapAllocator<U>&) const noexcept { return true; }
    template <typename U>
    bool operator!=(const HeapAllocator<U>&) const noexcept { return false; }
};

template <typename T>
using HeapVector = std::vector<T, HeapAllocator<T>>;

// An array of trivially constructible items on the engine heap (uninitialised), freed with it.
struct HeapFree {
    void operator()(void* block) const noexcept { heap_free(block); }
};
template <typename T>
using HeapArray = std::unique_ptr<T[], HeapFree>;

// A new array of `count` items, or null when memory runs out (or count * sizeof(T) overflows).
template <typename T>
HeapArray<T> heap_array(std::size_t count) noexcept {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) return HeapArray<T>();
    return HeapArray<T>(static_cast<T*>(heap_malloc(count * sizeof(T))));
}

}  // namespace quorvane
