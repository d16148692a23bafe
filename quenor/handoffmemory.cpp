#include "quenor/handoffmemory.h"

#include <atomic>

namespace hidutil::internal {

namespace {

// Size classes of kGrain bytes each, up to kClasses * kGrain; larger blocks are not kept.
constexpr std::size_t kGrain = 64;
constexpr std::size_t kClasses = 8;

// One kept block per class, or null. Never destroyed (trivially destructible), so that a block
// given back during or after static destruction (a detached thread ending late) is still kept.
std::atomic<void*> g_kept[kClasses];

// The class of a block of `size` bytes; kClasses or more when it is not kept.
std::size_t classOf(std::size_t size) {
    return size == 0 ? 0 : (size - 1) / kGrain;
}

}  // namespace

void* takeBlock(std::size_t size) {
    const std::size_t sizeClass = classOf(size);
    if (sizeClass >= kClasses) {
        return ::operator new(size);
    }
    if (void* kept = g_kept[sizeClass].exchange(nullptr, std::memory_order_acquire)) {
        return kept;
    }
    return ::operator new((sizeClass + 1) * kGrain);
}

void giveBlock(void* block, std::size_t size) noexcept {
    const std::size_t sizeClass = classOf(size);
    if (block == nullptr) {
        return;
    }
    if (sizeClass >= kClasses) {
        ::operator delete(block);
        return;
    }
    if (void* previous = g_kept[sizeClass].exchange(block, std::memory_order_acq_rel)) {
        ::operator delete(previous);
    }
}

void release_kept_blocks() noexcept {
    for (auto& kept : g_kept) {
        ::operator delete(kept.exchange(nullptr, std::memory_order_acquire));
    }
}

}  // namespace hidutil::internal
