#include "support/tracking_alloc.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace dvtest {

TrackingAlloc::~TrackingAlloc() {
    EXPECT_EQ(live_.size(), 0u) << "leaked " << live_.size() << " block(s)";
    EXPECT_EQ(bad_frees_, 0u) << "freed pointers that were never allocated";
    for (auto &[p, n] : live_) std::free(p);
}

size_t TrackingAlloc::live_bytes() const {
    size_t sum = 0;
    for (auto &kv : live_) sum += kv.second;
    return sum;
}

void *TrackingAlloc::alloc_cb(void *self, size_t size) {
    auto *t = static_cast<TrackingAlloc *>(self);
    ++t->allocs_;
    if (t->fail_at_ != 0 &&
        (t->allocs_ == t->fail_at_ || (t->persistent_ && t->allocs_ > t->fail_at_))) {
        ++t->failed_;
        return nullptr;
    }
    // 512-byte aligned blocks, as allocators for DMA-capable readers give.
    void *p = std::aligned_alloc(kBlockAlign, (size + kBlockAlign) / kBlockAlign * kBlockAlign);
    // Poison new blocks so that code relying on unzeroed memory shows up.
    if (p) std::memset(p, 0xA5, size);
    t->live_[p] = size;
    return p;
}

void TrackingAlloc::free_cb(void *self, void *ptr) {
    auto *t = static_cast<TrackingAlloc *>(self);
    ++t->frees_;
    auto it = t->live_.find(ptr);
    if (it == t->live_.end()) {
        ++t->bad_frees_;
        ADD_FAILURE() << "free of a pointer that is not a live block: " << ptr;
        return;
    }
    t->live_.erase(it);
    std::free(ptr);
}

} // namespace dvtest
