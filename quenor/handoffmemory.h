// Memory for objects that one thread makes and another destroys: a queued operation (made by
// the caller, destroyed by the queue's thread), a call record or a read's request state (made
// by the caller, often let go last by the thread that answered it).
//
// A thread-caching allocator serves such a stream badly: every free lands in the destroying
// thread's cache, so every allocation misses the making thread's cache and both sides take the
// allocator's slow, locked paths. Here the last block freed in each size class is kept, and the
// next allocation of that class takes it back, by one atomic exchange on each side; a steady
// stream of one request at a time allocates nothing. Blocks beyond what is kept go to the global
// allocator. A kept block stays reachable (a process-wide slot), so leak checkers do not
// report it.
//
// Threads: any. takeBlock throws std::bad_alloc as operator new does; giveBlock never throws.
#pragma once

#include <cstddef>
#include <new>

namespace hidutil::internal {

// A block of at least `size` bytes, aligned for any standard type.
void* takeBlock(std::size_t size);
// Gives back a block from takeBlock(size), with the same `size`.
void giveBlock(void* block, std::size_t size) noexcept;

// Frees every kept block (release_kept_memory() in async_request).
void release_kept_blocks() noexcept;

// For std::allocate_shared: the object and its reference counts in one handed-off block.
template <class T>
struct HandoffAllocator {
    static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "blocks have the default alignment");
    using value_type = T;
    HandoffAllocator() = default;
    template <class U>
    HandoffAllocator(const HandoffAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(takeBlock(n * sizeof(T))); }
    void deallocate(T* block, std::size_t n) noexcept { giveBlock(block, n * sizeof(T)); }
    template <class U>
    bool operator==(const HandoffAllocator<U>&) const noexcept {
        return true;
    }
    template <class U>
    bool operator!=(const HandoffAllocator<U>&) const noexcept {
        return false;
    }
};

}  // namespace hidutil::internal
