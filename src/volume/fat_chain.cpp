// Cluster chains: sector reads bounded to the volume, the eight-slot FAT cache over 12-, 16-
// and 32-bit FATs, cluster reads.
#include "volume/fat_chain.h"

#include "common/bytes.h"

#include <bit>

namespace dorvex {

int32_t read_sectors(const readfat_volume *vol, void *buf, uint64_t sector, uint32_t count,
                     uint64_t lo, uint64_t hi) {
    // A damaged volume must never make the reader fetch (and us return) bytes from outside it.
    if (count == 0 || sector < lo || sector >= hi || count > hi - sector) return -1;
    return vol->reader_fn(vol->reader_data, buf, sector, count);
}

namespace {

// The first FAT's logical sector `index` through the cache (slot: its number mod 8, so
// neighbours never evict each other), or null when it lies past the FAT (`past`) or the
// reader fails it. With `ahead`, a miss also reads the sectors after it up to the last
// slot, in one request: the slots' buffers lie one after another in the arena.
const uint8_t *fat_sector(readfat_volume *vol, uint32_t index, bool &past, bool ahead = false) {
    const uint64_t count = vol->fat_sectors >> vol->sector_shift;
    past = index >= count;
    if (past) return nullptr;
    const uint64_t sector = vol->fat_start + (uint64_t{index} << vol->sector_shift);
    const unsigned slot = static_cast<unsigned>((sector >> vol->sector_shift) & 7u);
    uint8_t *buf = vol->fat_buf[slot];
    if (vol->fat_tag[slot] == sector) return buf;
    uint32_t n = 1;
    if (ahead) n = count - index < 8u - slot ? static_cast<uint32_t>(count - index) : 8u - slot;
    const uint32_t units = n << vol->sector_shift;
    const int32_t got =
        read_sectors(vol, buf, sector, units, vol->fat_start, vol->fat_start + vol->fat_sectors);
    // A short result keeps the whole sectors that arrived; the rest of the slots read
    // are emptied, whatever they held.
    const uint32_t whole = got <= 0 || static_cast<uint32_t>(got) > units
                               ? 0
                               : static_cast<uint32_t>(got) >> vol->sector_shift;
    for (uint32_t k = 0; k < n; ++k)
        vol->fat_tag[slot + k] = k < whole ? sector + (uint64_t{k} << vol->sector_shift) : 0;
    return whole != 0 ? buf : nullptr;
}

uint32_t fat_failure(bool past) {
    // Only the first FAT is read; an entry beyond it ends the chain.
    return past ? kChainEnd : kFatUnreadable;
}

// FAT12: 12-bit entries in 1.5 bytes, so an entry can straddle two FAT sectors.
uint32_t next_cluster12(readfat_volume *vol, uint32_t cluster) {
    const uint32_t offset = cluster + cluster / 2u;
    const uint32_t bits = 9u + vol->sector_shift;
    const uint32_t within = offset & (vol->bytes_per_sector - 1u);
    bool past = false;
    const uint8_t *s = fat_sector(vol, offset >> bits, past);
    if (!s) return fat_failure(past);
    uint32_t value = s[within];
    if (within + 1u < vol->bytes_per_sector) {
        value |= uint32_t{s[within + 1u]} << 8;
    } else {
        // The next sector sits in the next slot: `s` stays valid, though it is not used again.
        const uint8_t *t = fat_sector(vol, (offset >> bits) + 1u, past);
        if (!t) return fat_failure(past);
        value |= uint32_t{t[0]} << 8;
    }
    value = (cluster & 1u) != 0 ? value >> 4 : value & 0xFFFu;
    return value >= 0xFF8u ? kChainEnd : value;
}

// A 32-bit FAT entry as a link: FAT32 keeps 28 bits; exFAT all 32, whose end and bad marks
// (0xFFFFFFF7 up) and anything past the reader's 28-bit range end the chain.
uint32_t link32(const readfat_volume *vol, uint32_t raw) {
    if (vol->fat_type == 32) return raw & kFatMask;
    return raw >= kChainEnd ? kChainEnd : raw;
}

// A FAT16 entry as a link: end marks as kChainEnd.
uint32_t link16(const uint8_t *s, uint32_t at) {
    const uint32_t value = load_le16(s + at * 2u);
    return value >= 0xFFF8u ? kChainEnd : value;
}

} // namespace

uint32_t next_cluster(readfat_volume *vol, uint32_t cluster) {
    if (vol->fat_type == 12) return next_cluster12(vol, cluster);
    bool past = false;
    // Entries per sector are a power of two: a shift, not a division, per lookup.
    const unsigned shift = static_cast<unsigned>(std::countr_zero(vol->fat_entries_per_sector));
    const uint8_t *s = fat_sector(vol, cluster >> shift, past);
    if (!s) return fat_failure(past);
    const uint32_t at = cluster & (vol->fat_entries_per_sector - 1u);
    if (vol->fat_type != 16) return link32(vol, load_le32(s + at * 4u));
    return link16(s, at);
}

uint32_t successive_links(readfat_volume *vol, uint32_t from, uint32_t most, uint32_t *stop) {
    const uint32_t last = vol->cluster_count + 1;
    uint32_t c = from, k = 0;
    if (vol->fat_type == 12) {
        for (; k < most; ++k, ++c) {
            const uint32_t v = next_cluster12(vol, c);
            if (v != c + 1u || v > last) {
                *stop = v;
                return k;
            }
        }
        return k;
    }
    const uint32_t per = vol->fat_entries_per_sector;
    const unsigned shift = static_cast<unsigned>(std::countr_zero(per));
    while (k < most) {
        bool past = false;
        // A run's walk reads the FAT ahead: the next links of a sequential read come
        // with this request.
        const uint8_t *s = fat_sector(vol, c >> shift, past, true);
        if (!s) {
            *stop = fat_failure(past);
            return k;
        }
        const uint32_t at = c & (per - 1u);
        const uint32_t n = most - k < per - at ? most - k : per - at;
        // Clusters below `last` lead to at most `last`: one bound for the whole stretch.
        const uint32_t lo = c;
        const uint32_t end = c + n;
        if (vol->fat_type != 16) {
            const uint8_t *p = s + at * 4u;
            for (; c < end; ++c, p += 4)
                if (link32(vol, load_le32(p)) != c + 1u || c >= last) break;
        } else {
            const uint8_t *p = s + at * 2u;
            for (; c < end; ++c, p += 2)
                if (load_le16(p) != c + 1u || c >= last) break;
        }
        k += c - lo;
        if (c != end) {
            *stop = vol->fat_type != 16 ? link32(vol, load_le32(s + (c & (per - 1u)) * 4u))
                                        : link16(s, c & (per - 1u));
            return k;
        }
    }
    return k;
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

ReadResult read_run(const readfat_volume *vol, uint64_t sector, uint32_t count, uint8_t *buf,
                    uint64_t lo, uint64_t hi, uint32_t *done) {
    uint32_t left = count;
    ReadResult result = ReadResult::ok;
    while (left != 0) {
        const int32_t got = read_sectors(vol, buf, sector, left, lo, hi);
        // Only whole logical sectors count, so the next request starts on a boundary.
        const uint32_t whole = static_cast<uint32_t>(got) >> vol->sector_shift << vol->sector_shift;
        if (got <= 0 || static_cast<uint32_t>(got) > left || whole == 0) {
            result = ReadResult::failed;
            break;
        }
        buf += size_t{whole} * vol->sector_size;
        sector += whole;
        left -= whole;
    }
    if (done) *done = count - left;
    return result;
}

ReadResult read_cluster(const readfat_volume *vol, uint32_t cluster, uint8_t *buf) {
    if (cluster < 2u || cluster - 2u >= vol->cluster_count) return ReadResult::outside;
    return read_run(vol, cluster_sector(vol, cluster), vol->sectors_per_cluster, buf,
                    vol->data_start, vol->end_sector);
}

} // namespace dorvex
