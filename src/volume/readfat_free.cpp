// The free-cluster count: a pass over the first FAT, read in runs into a buffer the caller
// has (the reader's FAT cache, the writer's group buffer), so nothing is allocated.
#include <cerrno>

#include "volume/fat_chain.h"
#include "volume/readfat_internal.h"

namespace dorvex {
namespace {

// Counts the zero entries among clusters 2 .. last, fed the FAT's bytes in order.
struct FreeCounter {
    uint32_t fat_type, last;
    uint32_t free = 0;
    uint64_t index = 0; // the entry the next byte starts (FAT12: of the next pair)
    uint8_t pair[3] = {};
    uint32_t have = 0; // FAT12: bytes of the pair gathered so far

    void entry(uint64_t i, uint32_t value) {
        if (i >= 2 && i <= last && value == 0) ++free;
    }
    void feed(const uint8_t *p, size_t n) {
        if (fat_type == 12) {
            // Two 12-bit entries in three bytes; a pair may straddle two runs.
            for (size_t k = 0; k < n; ++k) {
                pair[have++] = p[k];
                if (have < 3) continue;
                entry(index, pair[0] | (pair[1] & 0x0Fu) << 8);
                entry(index + 1, pair[1] >> 4 | uint32_t{pair[2]} << 4);
                index += 2;
                have = 0;
            }
            return;
        }
        // Runs are whole sectors: 16- and 32-bit entries never straddle two.
        const size_t step = fat_type / 8u;
        for (size_t k = 0; k + step <= n; k += step, ++index)
            entry(index, fat_type == 32 ? load_le32(p + k) & kFatMask : load_le16(p + k));
    }
    void finish() {
        // FAT12 with an even last cluster: its entry is the first of an incomplete pair.
        if (fat_type == 12 && have == 2) entry(index, pair[0] | (pair[1] & 0x0Fu) << 8);
    }
};

} // namespace

uint32_t declared_clusters(const readfat_volume *vol) {
    uint64_t n = vol->cluster_count;
    const uint64_t declared = declared_sectors(vol->boot_buf, vol->sector_shift);
    const uint64_t meta = vol->data_start - (vol->fat_start - vol->reserved_sectors);
    if (declared != 0) {
        const uint64_t fit = declared > meta ? (declared - meta) / vol->sectors_per_cluster : 0;
        if (fit < n) n = fit;
    }
    const uint64_t entries = vol->fat_sectors * vol->sector_size * 8u / vol->fat_type;
    if (entries < n + 2) n = entries > 2 ? entries - 2 : 0;
    return static_cast<uint32_t>(n);
}

int count_free_clusters(readfat_volume *vol, uint8_t *buf, uint32_t run, uint32_t &count) {
    const uint32_t last = declared_clusters(vol) + 1;
    // Bytes of the FAT up to the end of the last cluster's entry.
    const uint64_t need = vol->fat_type == 12 ? uint64_t{last} + last / 2 + 2
                                              : (uint64_t{last} + 1) * (vol->fat_type / 8u);
    const uint32_t bps = vol->bytes_per_sector;
    uint64_t sectors = (need + bps - 1) / bps; // logical sectors to read
    const uint64_t fat_logical = vol->fat_sectors >> vol->sector_shift;
    if (sectors > fat_logical) sectors = fat_logical;
    FreeCounter c{vol->fat_type, last};
    for (uint64_t at = 0; at < sectors;) {
        const uint32_t n = sectors - at < run ? static_cast<uint32_t>(sectors - at) : run;
        if (read_run(vol, vol->fat_start + (at << vol->sector_shift), n << vol->sector_shift, buf,
                     vol->fat_start, vol->fat_start + vol->fat_sectors) != ReadResult::ok)
            return EIO;
        const uint64_t offset = at * bps;
        const uint64_t bytes = uint64_t{n} * bps;
        c.feed(buf, static_cast<size_t>(need - offset < bytes ? need - offset : bytes));
        at += n;
    }
    c.finish();
    count = c.free;
    return 0;
}

} // namespace dorvex
