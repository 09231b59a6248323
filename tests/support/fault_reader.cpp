#include "support/fault_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

namespace dvtest {

namespace {

// A cluster's worth of 512-byte sectors, as the boot sector declares it.
uint32_t cluster_sectors(const uint8_t *boot) {
    const uint32_t bps = uint32_t(boot[11] | boot[12] << 8);
    const uint32_t per = bps == 1024 || bps == 2048 || bps == 4096 ? bps / kSector : 1;
    return (boot[13] ? boot[13] : 1) * per;
}

} // namespace

FaultReader::FaultReader(FatImage &img)
    : disk_(img.disk()), img_(&img), start_(img.start_sector()), end_(img.end_sector()),
      max_count_(cluster_sectors(img.boot())) {}

FaultReader::FaultReader(std::vector<uint8_t> &disk, uint64_t start, uint64_t end, uint32_t spc)
    : disk_(disk), start_(start), end_(end), max_count_(spc) {}

int32_t FaultReader::cb(void *self, void *buf, uint64_t sector, uint32_t count) {
    return static_cast<FaultReader *>(self)->read(static_cast<uint8_t *>(buf), sector, count);
}

int32_t FaultReader::read(uint8_t *buf, uint64_t sector, uint32_t count) {
    ++calls_;
    int32_t result = int32_t(count);
    // Audit first: an out-of-range request must never be served.
    bool in_range = count >= 1 && count <= max_count_ && sector >= start_ && sector < end_ &&
                    count <= end_ - sector;
    if (!in_range) {
        ++bad_requests_;
        if (audit_)
            ADD_FAILURE() << "sector reader asked for " << count << " sector(s) at " << sector
                          << ": outside volume [" << start_ << ", " << end_ << ") or more than "
                          << max_count_ << " per call";
        log_.push_back({sector, count, 0});
        return 0;
    }

    if (align_ != 0 && reinterpret_cast<uintptr_t>(buf) % align_ != 0) {
        ++misaligned_;
        ADD_FAILURE() << "sector reader given a buffer at " << static_cast<void *>(buf)
                      << ", not aligned to " << align_ << " bytes";
    }

    Result mode = Result::ok;
    if (fail_n_ && (calls_ == fail_n_ || (fail_persistent_ && calls_ > fail_n_)))
        mode = fail_result_;
    for (auto &[s, r] : bad_sectors_)
        if (s >= sector && s - sector < count) mode = r;

    uint32_t deliver = count;
    if (max_per_call_ && deliver > max_per_call_) deliver = max_per_call_;
    if (mode == Result::one) deliver = 1;

    for (uint32_t i = 0; i < deliver; ++i) {
        uint64_t s = sector + i;
        uint8_t *dst = buf + size_t(i) * kSector;
        if ((s + 1) * kSector <= disk_.size())
            std::memcpy(dst, disk_.data() + s * kSector, kSector);
        else if (synth)
            synth(s, dst);
        else
            std::memset(dst, 0, kSector);
    }
    switch (mode) {
    case Result::ok:
    case Result::one:
        result = int32_t(deliver);
        break;
    case Result::zero:
    case Result::negative:
        // Garbage in the buffer: a failed read must not be used.
        std::memset(buf, 0xEE, size_t(count) * kSector);
        result = mode == Result::zero ? 0 : -5;
        break;
    case Result::over:
        result = int32_t(count) + 1;
        break;
    }
    log_.push_back({sector, count, result});
    return result;
}

void FaultReader::fail_cluster(uint32_t c, Result r) {
    if (!img_) return;
    for (uint32_t i = 0; i < img_->sectors_per_cluster(); ++i)
        fail_sector(img_->cluster_sector(c) + i, r);
}

uint64_t FaultReader::calls_at(uint64_t first, uint64_t n) const {
    uint64_t k = 0;
    for (const Call &c : log_)
        if (c.sector >= first && c.sector - first < n) ++k;
    return k;
}

uint64_t FaultReader::cluster_reads(uint32_t c) const {
    if (!img_) return 0;
    return calls_at(img_->cluster_sector(c), img_->sectors_per_cluster());
}

uint64_t FaultReader::fat_reads() const {
    if (!img_) return 0;
    return calls_at(img_->fat_start(), img_->fat_sectors());
}

uint64_t FaultReader::data_reads() const {
    if (!img_) return 0;
    uint64_t k = 0;
    for (const Call &c : log_)
        if (c.sector >= img_->data_start()) ++k;
    return k;
}

std::string FaultReader::describe() const {
    std::ostringstream os;
    os << log_.size() << " call(s):";
    for (const Call &c : log_) {
        os << " [" << c.sector << "+" << c.count << "=" << c.result;
        if (img_) {
            if (c.sector >= img_->data_start())
                os << " cl" << (c.sector - img_->data_start()) / img_->sectors_per_cluster() + 2;
            else if (c.sector >= img_->fat_start())
                os << " fat" << c.sector - img_->fat_start();
        }
        os << "]";
    }
    return os.str();
}

} // namespace dvtest
