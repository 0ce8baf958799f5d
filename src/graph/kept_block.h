// One block of memory kept between captures, and the slots in use of a table
// kept in one. A buffer or table taken afresh costs a page fault for every
// page it fills, and zeroing or rehashing as it grows, on every capture; a
// kept block is already mapped. Plain C++: nothing here touches the
// interpreter.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

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

// The slots in use of an open-addressing table kept between captures. While
// few are (a kept table may be far larger than one capture needs), they are
// listed, so that emptying or rehashing the table visits only those; once
// an eighth of the slots is in use, every slot is visited instead.
class UsedSlots {
public:
    bool all() const { return all_; }
    void note(size_t slot, size_t capacity) {
        if (all_) return;
        if ((listed_.size() + 1) * 8 > capacity) {
            all_ = true;
            std::vector<uint32_t>().swap(listed_);
            return;
        }
        // One allocation for the slots of a small capture.
        if (listed_.capacity() == 0) listed_.reserve(64);
        listed_.push_back(static_cast<uint32_t>(slot));
    }
    // Calls `fn(slot)` for every slot that may be in use, of `capacity`.
    template <class Fn>
    void for_each(size_t capacity, Fn fn) const {
        if (all_) {
            for (size_t slot = 0; slot < capacity; ++slot) fn(slot);
        } else {
            for (uint32_t slot : listed_) fn(slot);
        }
    }
    // Forgets every slot, keeping the list's memory for the next capture.
    void clear() {
        listed_.clear();
        all_ = false;
    }
    // Starts over, for a table that is empty or into which all slots were
    // rehashed (`all`); the slots noted so far are handed back.
    UsedSlots restart(bool all) {
        UsedSlots before;
        std::swap(listed_, before.listed_);
        std::swap(all_, before.all_);
        all_ = all;
        return before;
    }
    void swap(UsedSlots& other) noexcept {
        listed_.swap(other.listed_);
        std::swap(all_, other.all_);
    }

private:
    std::vector<uint32_t> listed_;
    bool all_ = false;
};

}  // namespace zelkor::graph
