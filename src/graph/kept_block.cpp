#include "graph/kept_block.h"

#include <cstdlib>
#include <utility>

namespace zelkor::graph {

namespace {

struct Locked {
    std::atomic_flag& flag;
    const bool held;
    explicit Locked(std::atomic_flag& f) : flag(f), held(!f.test_and_set(std::memory_order_acquire)) {}
    ~Locked() {
        if (held) flag.clear(std::memory_order_release);
    }
};

}  // namespace

void* KeptBlock::take(size_t& bytes) {
    Locked lock(lock_);
    if (!lock.held || !data_) return nullptr;
    void* data = data_;
    bytes = bytes_;
    data_ = nullptr;
    bytes_ = 0;
    return data;
}

void KeptBlock::give_back(void* data, size_t bytes) {
    {
        Locked lock(lock_);
        if (lock.held && bytes <= max_bytes_ && bytes > bytes_) {
            std::swap(data, data_);
            bytes_ = bytes;
        }
    }
    std::free(data);  // the block not kept, if any
}

}  // namespace zelkor::graph
