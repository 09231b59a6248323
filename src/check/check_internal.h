// The volume check's two halves: FAT12/16/32 (check.cpp) and exFAT (check_exfat.cpp).
#pragma once

#include <cstring>

#include "dorvex/checkfat.h"
#include "volume/fat_chain.h"
#include "volume/readfat_internal.h"

namespace dorvex {

// The longest path a finding carries, in UTF-16 units; longer ones are cut (path_cut).
constexpr uint32_t kCheckPathMax = 4095;

// What both checks share: the volume, the caller's callback, the path of the directory
// at hand, and memory from the volume's allocator.
struct CheckBase {
    readfat_volume *vol;
    readfat_check_fn fn;
    void *fn_data;
    uint32_t last = 0;        // the data area (cluster heap) is 2 .. last
    uint16_t *path = nullptr; // kCheckPathMax + 1 units
    uint32_t path_len = 0;
    bool path_cut = false;
    long found = 0;
    bool stopped = false;

    static bool bit(const uint8_t *map, uint32_t c) { return (map[c >> 3] >> (c & 7)) & 1u; }
    static void set(uint8_t *map, uint32_t c) {
        map[c >> 3] = uint8_t(map[c >> 3] | 1u << (c & 7));
    }
    bool in_heap(uint64_t c) const { return c >= 2 && c <= last; }

    // Zeroed memory from the volume's allocator; null when it fails.
    void *take(size_t bytes) {
        void *p = vol->alloc_fn(vol->alloc_data, bytes);
        if (p) std::memset(p, 0, bytes);
        return p;
    }
    void give(void *p) {
        if (p) vol->free_fn(vol->alloc_data, p);
    }

    // Hands `f` to the callback, with the path at hand when `with_path`; a nonzero
    // answer stops the check.
    void report(readfat_finding f, bool with_path, const dv_entry *entry = nullptr) {
        if (stopped) return;
        if (with_path) {
            path[path_len] = 0;
            f.path = path;
            f.path_len = path_len;
            f.path_cut = path_cut;
        }
        f.entry = entry;
        if (f.sector == 0 && in_heap(f.cluster)) f.sector = cluster_sector(vol, f.cluster);
        ++found;
        if (fn && fn(fn_data, &f) != 0) stopped = true;
    }

    // Appends '/' and the name to the path; returns the length to go back to.
    uint32_t push_name(const uint16_t *units, uint32_t len) {
        const uint32_t before = path_len;
        if (path_len + 1u + len > kCheckPathMax) {
            path_cut = true;
            return before;
        }
        path[path_len++] = '/';
        for (uint32_t i = 0; i < len; ++i) path[path_len++] = units[i];
        return before;
    }
};

// readfat_check on a FAT12/16/32 volume, and on an exFAT one; `vol` is not null.
long check_volume(readfat_volume *vol, uint32_t what, readfat_check_fn fn, void *fn_data, int *err);
long check_exfat(readfat_volume *vol, uint32_t what, readfat_check_fn fn, void *fn_data, int *err);

} // namespace dorvex
