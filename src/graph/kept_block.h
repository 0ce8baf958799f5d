// One block of memory kept between captures. A buffer or table taken afresh
// costs a page fault for every page it fills, and zeroing or rehashing as it
// grows, on every capture; a kept block is already mapped. Plain C++:
// nothing here touches the interpreter.
#pragma once

#include <atomic>
#include <cstddef>

namespace zelkor::graph {

// At most one block of at most `max_bytes` is kept. Its lock is held only
// while the block changes hands: a user that finds it held, or nothing
// kept (a capture inside another one, or another thread's), allocates its
// own. Blocks come from std::malloc and friends.
class KeptBlock {
public:
    explicit constexpr KeptBlock(size_t max_bytes) : max_bytes_(max_bytes) {}
    KeptBlock(const KeptBlock&) = delete;
    KeptBlock& operator=(const KeptBlock&) = delete;

    // The kept block and its size in bytes, or nullptr when there is none.
    void* take(size_t& bytes);
    // Keeps `data` (when it is the largest within bounds) or frees it.
    void give_back(void* data, size_t bytes);

private:
    std::atomic_flag lock_;  // clear
    void* data_ = nullptr;
    size_t bytes_ = 0;
    const size_t max_bytes_;
};

}  // namespace zelkor::graph
