// A sector reader for tests, backed by an in-memory medium. It logs every call, can fail
// chosen calls or sectors, deliver short or oversized results, and audits every request:
// a request outside the volume [start, end) or for 0 or more than sectors-per-cluster
// sectors is a test failure wherever it happens (ADD_FAILURE), and is refused.
//
//     FatImage img(geometry);
//     FaultReader rd(img);
//     readfat_volume *vol = readfat_new2(img.start_sector(), img.end_sector(), 512, &rd,
//                                        FaultReader::cb, flags, 4, 4, &err, ...);
#pragma once

#include "support/fat_image.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace dvtest {

class FaultReader {
  public:
    // What a call returns instead of the plain success `count`.
    enum class Result {
        ok,       // count
        zero,     // 0 (failure)
        negative, // -5 (failure)
        over,     // count + 1 after filling count sectors (failure by contract)
        one,      // 1 sector only (a short read; success when count is 1)
    };

    struct Call {
        uint64_t sector;
        uint32_t count;
        int32_t result;
    };

    // Reads from `img` (by reference: later changes to the image are seen). The audited
    // volume is the image's [start_sector, end_sector); requests may ask for 1 ..
    // the image's sectors per cluster.
    explicit FaultReader(FatImage &img);
    // Any medium: `disk` holds sectors from 0; the volume is [start, end).
    FaultReader(std::vector<uint8_t> &disk, uint64_t start, uint64_t end, uint32_t spc);

    // The callback: pass the FaultReader's address as reader_data.
    static int32_t cb(void *self, void *buf, uint64_t sector, uint32_t count);

    // ---- Audit ------------------------------------------------------------------------
    void set_volume(uint64_t start, uint64_t end) { start_ = start, end_ = end; }
    void set_max_count(uint32_t spc) { max_count_ = spc; } // the largest count allowed
    void set_audit(bool on) { audit_ = on; } // off only for tests that probe the audit
    uint64_t bad_requests() const { return bad_requests_; }
    // Buffers not aligned to `bytes` (0: any) are a test failure, as they would be for a
    // reader that transfers by DMA; they are still served.
    void require_alignment(uintptr_t bytes) { align_ = bytes; }
    uint64_t misaligned() const { return misaligned_; }

    // ---- Log --------------------------------------------------------------------------
    const std::vector<Call> &log() const { return log_; }
    uint64_t calls() const { return calls_; } // since the last reset_log
    void reset_log() {
        log_.clear();
        calls_ = 0;
    }
    // Calls whose first sector lies in [first, first + n).
    uint64_t calls_at(uint64_t first, uint64_t n = 1) const;
    // Calls that read cluster c (any part of it) / FAT sector s.
    uint64_t cluster_reads(uint32_t c) const;
    uint64_t fat_reads() const;   // calls inside the first FAT
    uint64_t data_reads() const;  // calls at or after data_start
    std::string describe() const; // the log as text, for failure messages

    // ---- Faults -----------------------------------------------------------------------
    // Call number n (1-based since the last reset_log) gives `r`; with `persistent` every
    // call from n on does. n = 0 clears it.
    void fail_call(uint64_t n, Result r = Result::zero, bool persistent = false) {
        fail_n_ = n;
        fail_result_ = r;
        fail_persistent_ = persistent;
    }
    // Every request that covers sector s gives `r` (until cleared).
    void fail_sector(uint64_t s, Result r = Result::zero) { bad_sectors_.push_back({s, r}); }
    // Every request that covers any sector of cluster c gives `r`.
    void fail_cluster(uint32_t c, Result r = Result::zero);
    // Deliver at most k sectors per call (0: no limit): short reads everywhere.
    void max_per_call(uint32_t k) { max_per_call_ = k; }
    void clear_faults() {
        fail_n_ = 0;
        bad_sectors_.clear();
        max_per_call_ = 0;
    }

    // Sectors past the end of `disk` (but inside the volume) come from this function
    // when set, so a huge volume can be served without storing it. It fills 512 bytes.
    std::function<void(uint64_t sector, uint8_t *buf)> synth;

  private:
    int32_t read(uint8_t *buf, uint64_t sector, uint32_t count);
    std::vector<uint8_t> &disk_;
    FatImage *img_ = nullptr;
    uint64_t start_, end_;
    uint32_t max_count_;
    bool audit_ = true;
    uint64_t bad_requests_ = 0;
    uintptr_t align_ = 0;
    uint64_t misaligned_ = 0;
    std::vector<Call> log_;
    uint64_t calls_ = 0;
    uint64_t fail_n_ = 0;
    Result fail_result_ = Result::zero;
    bool fail_persistent_ = false;
    std::vector<std::pair<uint64_t, Result>> bad_sectors_;
    uint32_t max_per_call_ = 0;
};

} // namespace dvtest
