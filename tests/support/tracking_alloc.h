// A tracking allocator for tests: counts allocations, fails the N-th one once or from N
// on, checks that every free matches a live block, and reports leaks. Blocks are aligned to
// kBlockAlign bytes.
#pragma once

#include <dorvex/dorvex.h>

#include <cstddef>
#include <cstdint>
#include <map>

namespace dvtest {

class TrackingAlloc {
  public:
    static constexpr size_t kBlockAlign = 512;

    TrackingAlloc() = default;
    TrackingAlloc(const TrackingAlloc &) = delete;
    TrackingAlloc &operator=(const TrackingAlloc &) = delete;
    ~TrackingAlloc();

    // Callbacks for dv_newctx2 / readfat_new2: pass `this` as alloc_data.
    static void *alloc_cb(void *self, size_t size);
    static void free_cb(void *self, void *ptr);

    // Fail allocation number n (1-based, counted from the last reset) once, or every
    // allocation from n on when `persistent` is true. 0 disables failing.
    void fail_at(uint64_t n, bool persistent = false) {
        fail_at_ = n;
        persistent_ = persistent;
    }
    void reset_counts() { allocs_ = frees_ = failed_ = 0; }

    uint64_t allocs() const { return allocs_; } // attempts, failed ones included
    uint64_t frees() const { return frees_; }
    uint64_t failed() const { return failed_; }
    size_t live_blocks() const { return live_.size(); }
    size_t live_bytes() const;
    uint64_t bad_frees() const { return bad_frees_; } // frees of unknown pointers

  private:
    std::map<void *, size_t> live_;
    uint64_t allocs_ = 0, frees_ = 0, failed_ = 0, bad_frees_ = 0;
    uint64_t fail_at_ = 0;
    bool persistent_ = false;
};

} // namespace dvtest
