// Cluster chains: sector reads bounded to the volume, the eight-slot FAT cache, cluster reads.
#include "fat_chain.h"

#include "bytes.h"

namespace dorvex {

int32_t read_sectors(const readfat_volume *vol, void *buf, uint64_t sector, uint32_t count,
                     uint64_t lo, uint64_t hi) {
    // A damaged volume must never make the reader fetch (and us return) bytes from outside it.
    if (count == 0 || sector < lo || sector >= hi || count > hi - sector) return -1;
    return vol->reader_fn(vol->reader_data, buf, sector, count);
}

uint32_t next_cluster(readfat_volume *vol, uint32_t cluster) {
    const uint32_t index = cluster / vol->fat_entries_per_sector;
    // Only the first FAT is read; an entry beyond it ends the chain.
    if (index >= vol->fat_sectors) return kChainEnd;
    const uint64_t sector = vol->fat_start + index;
    const unsigned slot = static_cast<unsigned>(sector & 7u);
    uint8_t *buf = vol->fat_buf[slot];
    if (vol->fat_tag[slot] != sector) {
        if (read_sectors(vol, buf, sector, 1, vol->fat_start, vol->fat_start + vol->fat_sectors) !=
            1) {
            vol->fat_tag[slot] = 0;
            return kFatUnreadable;
        }
        vol->fat_tag[slot] = sector;
    }
    return load_le32(buf + (cluster % vol->fat_entries_per_sector) * 4u) & kFatMask;
}

uint32_t recovery_next(readfat_volume *vol, uint32_t from, bool skip, bool *skipped) {
    const uint32_t last = vol->cluster_count + 1;
    for (uint32_t c = from + 1; c > from && c <= last; ++c) {
        const uint32_t v = next_cluster(vol, c);
        if (v == kFatUnreadable || v == 0) return v == 0 ? c : v;
        if (!skip) break;
        *skipped = true;
    }
    return kChainEnd;
}

uint64_t cluster_sector(const readfat_volume *vol, uint32_t cluster) {
    // 64-bit product: data areas beyond 2^32 sectors map right too.
    return vol->data_start + static_cast<uint64_t>(cluster - 2u) * vol->sectors_per_cluster;
}

ReadResult read_cluster(const readfat_volume *vol, uint32_t cluster, uint8_t *buf) {
    if (cluster < 2u || cluster - 2u >= vol->cluster_count) return ReadResult::outside;
    uint64_t sector = cluster_sector(vol, cluster);
    uint32_t left = vol->sectors_per_cluster;
    while (left != 0) {
        const int32_t got = read_sectors(vol, buf, sector, left, vol->data_start, vol->end_sector);
        if (got <= 0 || static_cast<uint32_t>(got) > left) return ReadResult::failed;
        buf += static_cast<uint32_t>(got) * vol->sector_size;
        sector += static_cast<uint32_t>(got);
        left -= static_cast<uint32_t>(got);
    }
    return ReadResult::ok;
}

} // namespace dorvex
