// Shared pieces of the fuzz targets: an allocator that checks every release and finds
// leaks, and a sector reader over the fuzz input that aborts on any request outside the
// volume or for more sectors than a cluster holds.
#pragma once

#include <dorvex/dorvex.h>
#include <dorvex/readfat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

namespace dvfuzz {

[[noreturn]] inline void fail(const char *what) {
    std::fprintf(stderr, "dvfuzz: %s\n", what);
    std::abort();
}

class Alloc {
  public:
    ~Alloc() {
        if (!live_.empty()) fail("blocks left allocated");
    }
    static void *alloc(void *self, size_t size) {
        auto *a = static_cast<Alloc *>(self);
        if (a->fail_from_ && ++a->count_ >= a->fail_from_) return nullptr;
        void *p = std::malloc(size ? size : 1);
        a->live_.insert(p);
        return p;
    }
    static void release(void *self, void *p) {
        auto *a = static_cast<Alloc *>(self);
        if (!a->live_.erase(p)) fail("release of a block that is not live");
        std::free(p);
    }
    // Fails every allocation from the n-th on (0: never).
    void fail_from(uint32_t n) {
        fail_from_ = n;
        count_ = 0;
    }
    size_t live() const { return live_.size(); }

  private:
    std::set<void *> live_;
    uint32_t fail_from_ = 0, count_ = 0;
};

// The medium: `size` bytes of input from sector 0, zeros after them up to `end` sectors.
struct Medium {
    const uint8_t *data;
    size_t size;
    uint64_t end;
    uint32_t max_count = 1; // 512-byte sectors per cluster, from the boot sector
    uint64_t calls = 0;

    static int32_t read(void *self, void *buf, uint64_t sector, uint32_t count) {
        auto *m = static_cast<Medium *>(self);
        ++m->calls;
        if (count == 0 || count > m->max_count || sector >= m->end || count > m->end - sector)
            fail("sector request outside the volume");
        auto *out = static_cast<uint8_t *>(buf);
        for (uint32_t i = 0; i < count; ++i) {
            const uint64_t off = (sector + i) * 512;
            uint8_t *dst = out + size_t(i) * 512;
            std::memset(dst, 0, 512);
            if (off < m->size)
                std::memcpy(dst, m->data + off, m->size - off < 512 ? m->size - off : 512);
        }
        return int32_t(count);
    }
};

} // namespace dvfuzz
