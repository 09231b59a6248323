// exFAT volumes in the reader: the boot region and geometry, the root's bitmap and up-case
// entries, allocation lookups and the volume record.
#include <bit>
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "exfat/exfat_internal.h"
#include "volume/fat_chain.h"
#include "volume/readfat_internal.h"

namespace dorvex {
namespace {

constexpr uint32_t kUnit = 512;
// The reader's 28-bit chain values end below this: larger volumes are cut to it.
constexpr uint32_t kMaxClusters = 0x0FFFFFF5u;
// A stored up-case table maps at most 65536 units: compressed or not, it never needs more.
constexpr uint64_t kMaxTableBytes = 2u * 65536u + 4096u;
// Root clusters searched for the bitmap and up-case entries (writers put them first).
constexpr uint32_t kRootSearchClusters = 64;

// What the mount keeps beside the up-case table in the arena, for readfat_info.
struct ExfatMeta {
    uint32_t bitmap_cluster;
    uint32_t upcase_cluster;
    uint32_t upcase_checksum;
    uint32_t reserved;
    uint64_t upcase_bytes;
};

ExfatMeta &meta(readfat_volume *vol) {
    return *static_cast<ExfatMeta *>(static_cast<void *>(vol->upcase + 65536));
}

// Checks the boot region whose first logical sector is `base` (logical sectors of
// 1 << shift bytes, shift 9 .. 12) through `buf` (one logical sector): the boot sector parsed
// and range-checked, then the checksum sector. 0, EIO or DV_E_BADPBR; *boot on 0.
int check_region(readfat_volume *vol, uint64_t start, uint64_t end, uint32_t shift, uint64_t base,
                 uint8_t *buf, ExfatBoot *boot) {
    const uint32_t units = 1u << (shift - 9);
    auto read = [&](uint64_t logical) {
        const uint64_t at = (base + logical) * units;
        return at < end - start && units <= end - start - at &&
               vol->reader_fn(vol->reader_data, buf, start + at, units) ==
                   static_cast<int32_t>(units);
    };
    if (!read(0)) return EIO;
    if (parse_exfat_boot(buf, size_t{1} << shift, boot) != ExfatCode::ok ||
        boot->sector_shift != shift)
        return DV_E_BADPBR;
    ExfatBootSum sum;
    sum.add(buf, size_t{1} << shift, true);
    for (uint32_t s = 1; s < 11; ++s) {
        if (!read(s)) return EIO;
        sum.add(buf, size_t{1} << shift, false);
    }
    if (!read(11)) return EIO;
    for (size_t i = 0; i < (size_t{1} << shift); i += 4)
        if (load_le32(buf + i) != sum.sum) return DV_E_BADPBR;
    // The caller keeps the boot sector's first 512 bytes.
    return read(0) ? 0 : EIO;
}

// Walks the FAT chain from `first` for `clusters` clusters, calling `fn(cluster)` for each;
// false when the chain ends early, loops, leaves the heap or a FAT sector fails.
template <class Fn> bool walk_chain(readfat_volume *vol, uint32_t first, uint64_t clusters, Fn fn) {
    uint32_t f = first, mark = first, power = 2, steps = 0;
    ChainGuard guard{f, mark, power, steps};
    guard.reset(first);
    uint32_t c = first;
    for (uint64_t i = 0; i < clusters; ++i) {
        if (c < 2u || c - 2u >= vol->cluster_count || !fn(c)) return false;
        if (i + 1 == clusters) break;
        c = guard.next(vol, c);
        if (is_chain_end(c)) return false;
    }
    return true;
}

// The root's bitmap and up-case entries, as found in its first clusters.
struct RootTables {
    bool bitmap = false, upcase = false;
    ExfatSet bitmap_set{}, upcase_set{};
};

// Reads the root directory's clusters into `buf` until both entries are found or an end mark.
// EIO when its first cluster cannot be read; later clusters that fail end the search.
int find_root_tables(readfat_volume *vol, uint8_t *buf, RootTables &t) {
    const uint32_t per = vol->dir_entries_per_cluster;
    const unsigned want = vol->fat_count == 2 ? (vol->boot_buf[106] & 1u) : 0u;
    bool first = true;
    walk_chain(vol, vol->root_cluster, kRootSearchClusters, [&](uint32_t c) {
        if (read_cluster(vol, c, buf) != ReadResult::ok) return false;
        first = false;
        for (uint32_t i = 0; i < per; ++i) {
            const uint8_t *e = buf + size_t{i} * kExfatEntrySize;
            if (e[0] == 0) return false;
            ExfatSet s;
            if ((e[0] != 0x81 && e[0] != 0x82) ||
                parse_exfat_set(e, per - i, nullptr, &s) != ExfatCode::ok)
                continue;
            if (s.kind == ExfatSetKind::bitmap && !t.bitmap && s.bitmap_index == want) {
                t.bitmap = true;
                t.bitmap_set = s;
            } else if (s.kind == ExfatSetKind::upcase && !t.upcase) {
                t.upcase = true;
                t.upcase_set = s;
            }
        }
        return !(t.bitmap && t.upcase);
    });
    return first ? EIO : 0;
}

// The allocation bitmap, when it lies in the heap in one run and covers every cluster.
bool use_bitmap(readfat_volume *vol, const ExfatSet &s) {
    const uint64_t need = (uint64_t{vol->cluster_count} + 7u) / 8u;
    const uint64_t clusters = (s.data_length + vol->cluster_bytes - 1u) / vol->cluster_bytes;
    if (s.data_length < need || clusters == 0 || s.first_cluster < 2u ||
        s.first_cluster - 2u >= vol->cluster_count ||
        clusters > vol->cluster_count - (s.first_cluster - 2u))
        return false;
    // Writers chain it in the FAT; some leave its entries free. Either way one run.
    for (uint32_t c = s.first_cluster; c + 1u < s.first_cluster + clusters; ++c) {
        const uint32_t v = next_cluster(vol, c);
        if (v != c + 1u && v != 0) return false;
    }
    vol->bitmap_start = cluster_sector(vol, s.first_cluster);
    vol->bitmap_bytes = s.data_length;
    meta(vol).bitmap_cluster = s.first_cluster;
    return true;
}

// Decodes the stored up-case table cluster by cluster through `buf`. False on any fault.
bool load_upcase(readfat_volume *vol, const ExfatSet &s, uint8_t *buf) {
    if (s.data_length == 0 || s.data_length > kMaxTableBytes) return false;
    ExfatUpcaseDecoder d(vol->upcase, kExfatUpcaseUnits);
    const uint64_t clusters = (s.data_length + vol->cluster_bytes - 1u) / vol->cluster_bytes;
    uint64_t left = s.data_length;
    const bool whole = walk_chain(vol, s.first_cluster, clusters, [&](uint32_t c) {
        if (read_cluster(vol, c, buf) != ReadResult::ok) return false;
        const uint32_t n =
            left < vol->cluster_bytes ? static_cast<uint32_t>(left) : vol->cluster_bytes;
        left -= n;
        d.feed(buf, n, left == 0);
        return d.code == ExfatCode::ok;
    });
    return whole && d.finish(s.table_checksum) == ExfatCode::ok;
}

// Brings bitmap sector `sector` (absolute) into the last FAT cache slot.
const uint8_t *bitmap_sector(readfat_volume *vol, uint64_t sector) {
    uint8_t *buf = vol->fat_buf[7];
    if (vol->fat_tag[7] == sector) return buf;
    vol->fat_tag[7] = 0;
    const uint64_t span = ((vol->bitmap_bytes + vol->bytes_per_sector - 1u) / vol->bytes_per_sector)
                          << vol->sector_shift;
    if (read_run(vol, sector, 1u << vol->sector_shift, buf, vol->bitmap_start,
                 vol->bitmap_start + span) != ReadResult::ok)
        return nullptr;
    vol->fat_tag[7] = sector;
    return buf;
}

} // namespace

bool exfat_named(const uint8_t *boot) {
    return std::memcmp(boot + 3, "EXFAT   ", 8) == 0;
}

bool exfat_backup_named(readfat_volume *vol, uint64_t start, uint64_t end, uint8_t *buf) {
    for (uint32_t shift = 9; shift <= 12; ++shift) {
        const uint64_t at = uint64_t{12} << (shift - 9);
        if (at < end - start && vol->reader_fn(vol->reader_data, buf, start + at, 1) == 1 &&
            exfat_named(buf) && buf[108] == shift)
            return true;
    }
    return false;
}

int exfat_geometry(readfat_volume *vol, uint64_t start, uint64_t end, uint8_t *first) {
    // One logical sector of up to 4 KiB, 512-byte aligned for readers that transfer by DMA.
    auto *raw = static_cast<uint8_t *>(vol->alloc_fn(vol->alloc_data, 4096 + kUnit));
    if (!raw) return ENOMEM;
    uint8_t *buf = raw + (kUnit - reinterpret_cast<uintptr_t>(raw) % kUnit) % kUnit;
    ExfatBoot boot{};
    const uint32_t named_shift = first[108];
    int code = DV_E_BADPBR;
    if (named_shift >= 9 && named_shift <= 12)
        code = check_region(vol, start, end, named_shift, 0, buf, &boot);
    if (code != 0) {
        // The backup region starts at logical sector 12; its sector size is its own to say.
        for (uint32_t shift = 9; shift <= 12; ++shift) {
            const int backup = check_region(vol, start, end, shift, 12, buf, &boot);
            if (backup == 0) {
                vol->boot_backup = 12;
                code = 0;
                break;
            }
        }
    }
    if (code == 0) std::memcpy(first, buf, kUnit);
    vol->free_fn(vol->alloc_data, raw);
    if (code != 0) return code;

    const uint32_t shift = boot.sector_shift - 9u; // 512-byte units per logical sector, log2
    vol->fat_type = DV_FAT_EXFAT;
    vol->bytes_per_sector = boot.sector_size();
    vol->sector_shift = shift;
    vol->sectors_per_cluster = 1u << (shift + boot.cluster_shift);
    vol->cluster_bytes = boot.cluster_size();
    vol->fat_count = boot.fat_count;
    vol->reserved_sectors = boot.fat_offset << shift;
    vol->fat_sectors = uint64_t{boot.fat_length} << shift;
    // The second FAT serves when the volume flags say so (TexFAT); a mount from the backup
    // region cannot trust the flags.
    const unsigned active = boot.fat_count == 2 && vol->boot_backup == 0 ? boot.active_fat() : 0;
    vol->fat_start = start + vol->reserved_sectors + active * vol->fat_sectors;
    vol->data_start = start + (uint64_t{boot.heap_offset} << shift);
    vol->root_cluster = boot.root_cluster;
    vol->end_sector = end;
    // Only what lies inside the caller's bound can be read.
    const uint64_t inside =
        vol->data_start < end ? (end - vol->data_start) / vol->sectors_per_cluster : 0;
    uint64_t clusters = boot.cluster_count < inside ? boot.cluster_count : inside;
    if (clusters > kMaxClusters) clusters = kMaxClusters;
    vol->cluster_count = static_cast<uint32_t>(clusters);
    if (vol->cluster_count == 0 || vol->root_cluster - 2u >= vol->cluster_count) return DV_E_BADPBR;
    return 0;
}

int exfat_load_tables(readfat_volume *vol) {
    // The lookup's window is free at mount: it holds a cluster.
    uint8_t *buf = vol->lookup_dir->buf_end - vol->cluster_bytes;
    meta(vol) = ExfatMeta{};
    RootTables t;
    if (find_root_tables(vol, buf, t) != 0) return EIO;
    if (!t.bitmap || !use_bitmap(vol, t.bitmap_set)) {
        vol->bitmap_start = 0;
        vol->bitmap_bytes = 0;
        vol->exfat_notes |= DV_VOL_NOTE_BITMAP_BAD;
    }
    if (t.upcase) {
        meta(vol).upcase_cluster = t.upcase_set.first_cluster;
        meta(vol).upcase_checksum = t.upcase_set.table_checksum;
        meta(vol).upcase_bytes = t.upcase_set.data_length;
    }
    if (!t.upcase || !load_upcase(vol, t.upcase_set, buf)) {
        exfat_default_upcase(vol->upcase, 65536);
        vol->exfat_notes |= DV_VOL_NOTE_UPCASE_BAD;
    }
    // The FAT cache served the walks above; the lookup window starts empty.
    std::memset(vol->fat_tag, 0, sizeof vol->fat_tag);
    return 0;
}

int exfat_cluster_in_use(readfat_volume *vol, uint32_t cluster) {
    if (vol->bitmap_start == 0 || cluster < 2u || cluster - 2u >= vol->cluster_count) return -1;
    const uint64_t byte = (cluster - 2u) / 8u;
    if (byte >= vol->bitmap_bytes) return -1;
    const uint64_t sector =
        vol->bitmap_start + ((byte / vol->bytes_per_sector) << vol->sector_shift);
    const uint8_t *s = bitmap_sector(vol, sector);
    if (!s) return -1;
    return (s[byte % vol->bytes_per_sector] >> ((cluster - 2u) % 8u)) & 1u;
}

int exfat_count_free(readfat_volume *vol, uint32_t &count) {
    if (vol->bitmap_start == 0) return DV_E_BADPBR;
    const uint32_t bps = vol->bytes_per_sector;
    const uint64_t bytes = (uint64_t{vol->cluster_count} + 7u) / 8u;
    const uint64_t sectors = (bytes + bps - 1u) / bps;
    // The eight FAT cache buffers lie one after another: runs of eight sectors.
    uint8_t *buf = vol->fat_buf[0];
    std::memset(vol->fat_tag, 0, sizeof vol->fat_tag);
    uint64_t used = 0;
    for (uint64_t s = 0; s < sectors; s += 8) {
        const uint32_t n = sectors - s < 8u ? static_cast<uint32_t>(sectors - s) : 8u;
        if (read_run(vol, vol->bitmap_start + (s << vol->sector_shift), n << vol->sector_shift, buf,
                     vol->bitmap_start,
                     vol->bitmap_start + (sectors << vol->sector_shift)) != ReadResult::ok)
            return EIO;
        const uint64_t from = s * bps;
        const uint64_t upto = from + uint64_t{n} * bps < bytes ? from + uint64_t{n} * bps : bytes;
        for (uint64_t b = from; b < upto; ++b) {
            uint8_t v = buf[b - from];
            // Bits past the last cluster do not count.
            if (b + 1 == bytes && vol->cluster_count % 8u != 0)
                v &= static_cast<uint8_t>((1u << (vol->cluster_count % 8u)) - 1u);
            used += static_cast<uint64_t>(std::popcount(v));
        }
    }
    count = static_cast<uint32_t>(vol->cluster_count - used);
    return 0;
}

void exfat_volume_info(readfat_volume *vol, readfat_volinfo &out) {
    const uint8_t *b = vol->boot_buf;
    // fat_start is the active FAT's: the second one's when the flags say so.
    const uint64_t start =
        vol->fat_start - vol->reserved_sectors -
        (vol->fat_count == 2 && vol->boot_backup == 0 && (b[106] & 1u) != 0 ? vol->fat_sectors : 0);
    layout_info(vol, start, out);
    out.cluster_count = vol->cluster_count;
    out.total_sectors = load_le64(b + 72);
    out.volume_id = load_le32(b + 100);
    out.fs_revision = load_le16(b + 104);
    out.volume_flags = load_le16(b + 106);
    out.percent_in_use = b[112];
    out.partition_offset = load_le64(b + 64);
    out.fsinfo_free = out.fsinfo_next_free = 0xFFFFFFFFu;
    out.notes = vol->exfat_notes;
    if (vol->boot_backup != 0) {
        // The backup region's flags are not kept up to date.
        out.notes |= DV_VOL_NOTE_BACKUP_BOOT;
    } else {
        if (out.volume_flags & 0x2u) out.notes |= DV_VOL_NOTE_DIRTY;
        if (out.volume_flags & 0x4u) out.notes |= DV_VOL_NOTE_HARD_ERROR;
    }
    const ExfatMeta &m = meta(vol);
    out.bitmap_cluster = m.bitmap_cluster;
    out.bitmap_bytes = vol->bitmap_bytes;
    out.upcase_cluster = m.upcase_cluster;
    out.upcase_checksum = m.upcase_checksum;
    out.upcase_bytes = m.upcase_bytes;
}

} // namespace dorvex
