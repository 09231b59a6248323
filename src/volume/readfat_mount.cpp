// Mounting and releasing a FAT12, FAT16 or FAT32 volume: boot sector checks, geometry, and
// the one arena that holds every handle slot and buffer.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/bytes.h"
#include "dorvex/readfat.h"
#include "volume/fat_chain.h"
#include "volume/readfat_internal.h"

namespace {

using namespace dorvex;

constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kMaxSlots = 4095;
constexpr uint64_t kMinSectors = 64;
// Room for a whole long-name run (20 entries) carried in front of a directory cluster,
// rounded up to whole sectors so every buffer in the arena stays 512-byte aligned.
constexpr uint32_t kMinCarryBytes = 1024;
// Clusters 2 .. 0x0FFFFFF7 are the most a 28-bit FAT can name; FAT12 and FAT16 end below
// these counts.
constexpr uint64_t kMaxClusters = 0x0FFFFFF6u;
constexpr uint32_t kFat12Clusters = 4085;
constexpr uint32_t kFat16Clusters = 65525;

template <typename T> T *at(uint8_t *p) {
    return static_cast<T *>(static_cast<void *>(p));
}

// Applies the boot sector's layout to the volume starting at `start_sector`.
void set_geometry(readfat_volume *vol, const BootGeometry &g, uint64_t start_sector,
                  uint64_t end_sector) {
    vol->fat_type = g.fat_type;
    vol->bytes_per_sector = g.bytes_per_sector;
    vol->sector_shift = g.sector_shift;
    vol->sectors_per_cluster = g.sectors_per_cluster;
    vol->reserved_sectors = g.reserved_sectors;
    vol->fat_count = g.fat_count;
    vol->fat_sectors = g.fat_sectors;
    vol->root_cluster = g.root_cluster;
    vol->root_entries = g.root_entries;
    vol->root_sectors = g.root_sectors;
    vol->cluster_count = g.cluster_count;
    vol->fat_start = start_sector + g.reserved_sectors;
    vol->root_start = start_sector + g.root_start;
    vol->data_start = start_sector + g.data_start;
    vol->end_sector = end_sector;
    vol->cluster_bytes = vol->sectors_per_cluster * kSectorSize;
    vol->dir_entries_per_cluster = vol->cluster_bytes / DV_DIRENT_SIZE;
    vol->fat_entries_per_sector = g.fat_type == 12 ? 0 : g.bytes_per_sector * 8u / g.fat_type;
    vol->carry_entries =
        (vol->cluster_bytes > kMinCarryBytes ? vol->cluster_bytes : kMinCarryBytes) /
        DV_DIRENT_SIZE;
}

// exFAT's geometry comes from its own boot region (exfat_geometry); what follows from it.
void set_exfat_derived(readfat_volume *vol) {
    vol->dir_entries_per_cluster = vol->cluster_bytes / DV_DIRENT_SIZE;
    vol->fat_entries_per_sector = vol->bytes_per_sector / 4u;
    // An entry set is at most 19 entries: clusters of up to 32 MiB need no larger carry.
    vol->carry_entries = kMinCarryBytes / DV_DIRENT_SIZE;
}

} // namespace

namespace dorvex {

int parse_boot_sector(const uint8_t *boot, uint64_t total, BootGeometry &g) {
    if (load_le16(boot + DV_BPB_SIGNATURE) != 0xAA55u) return DV_E_BOOTSIG;
    g = BootGeometry{};
    g.bytes_per_sector = load_le16(boot + DV_BPB_BYTES_PER_SECTOR);
    while (g.sector_shift < 3 && (kSectorSize << g.sector_shift) < g.bytes_per_sector)
        ++g.sector_shift;
    if (g.bytes_per_sector != kSectorSize << g.sector_shift) return DV_E_BADPBR;
    const uint32_t shift = g.sector_shift;

    // Everything in 512-byte sectors relative to the volume start, so nothing can wrap.
    const uint32_t fat_size16 = load_le16(boot + DV_BPB_FAT_SIZE16);
    g.fat_type = fat_size16 == 0 ? 32 : 16;
    g.sectors_per_cluster = uint32_t{boot[DV_BPB_SECTORS_PER_CLUSTER]} << shift;
    g.reserved_sectors = uint32_t{load_le16(boot + DV_BPB_RESERVED_SECTORS)} << shift;
    g.fat_count = boot[DV_BPB_FAT_COUNT];
    g.fat_sectors = uint64_t{fat_size16 != 0 ? fat_size16 : load_le32(boot + DV_BPB_FAT_SIZE32)}
                    << shift;
    // Zero reserved sectors would put the FAT over the boot sector.
    if (g.fat_count == 0 || g.sectors_per_cluster == 0 || g.fat_sectors == 0 ||
        g.reserved_sectors == 0)
        return DV_E_BADPBR;
    g.root_start = g.reserved_sectors + g.fat_sectors * g.fat_count;

    if (g.fat_type == 32) {
        g.root_cluster = load_le32(boot + DV_BPB_ROOT_CLUSTER);
        g.data_start = g.root_start;
        if (g.data_start >= total) return DV_E_BADPBR;
        const uint64_t clusters = (total - g.data_start) / g.sectors_per_cluster;
        if (clusters == 0) return DV_E_BADPBR;
        g.cluster_count = static_cast<uint32_t>(clusters < kMaxClusters ? clusters : kMaxClusters);
        if (g.root_cluster < 2u || g.root_cluster - 2u >= g.cluster_count) return DV_E_BADPBR;
        return 0;
    }

    // FAT12/16: a fixed root region after the FATs, and a type that follows from the cluster
    // count the boot sector declares (whatever the caller's bound).
    g.root_entries = load_le16(boot + DV_BPB_ROOT_ENTRIES);
    if (g.root_entries == 0) return DV_E_BADPBR;
    const uint32_t root_bytes = g.root_entries * DV_DIRENT_SIZE;
    g.root_sectors = (root_bytes + g.bytes_per_sector - 1) / g.bytes_per_sector << shift;
    g.data_start = g.root_start + g.root_sectors;
    const uint64_t declared = declared_sectors(boot, shift);
    if (g.data_start >= declared || g.data_start >= total) return DV_E_BADPBR;
    const uint64_t clusters = (declared - g.data_start) / g.sectors_per_cluster;
    if (clusters == 0 || clusters >= kFat16Clusters) return DV_E_BADPBR;
    if (clusters < kFat12Clusters) g.fat_type = 12;
    // Only what lies inside the caller's bound can be read.
    const uint64_t inside = (total - g.data_start) / g.sectors_per_cluster;
    g.cluster_count = static_cast<uint32_t>(clusters < inside ? clusters : inside);
    return g.cluster_count == 0 ? DV_E_BADPBR : 0;
}

int read_boot_sector(void *reader_data, readfat_sector_reader reader, uint64_t start, uint64_t end,
                     uint8_t *buf, BootGeometry &g, uint32_t &backup, bool have_first) {
    backup = 0;
    auto read_one = [&](uint64_t offset) {
        return offset < end - start && reader(reader_data, buf, start + offset, 1) == 1;
    };
    if (start >= end || (!have_first && !read_one(0))) return EIO;
    const int code = parse_boot_sector(buf, end - start, g);
    if (code == 0) return 0;
    // FAT32 keeps a copy in its reserved area: where the damaged sector says, when that is
    // sane, else at logical sector 6. Its logical size is not known yet: each candidate size
    // is tried, and the copy must declare the size it was found with.
    const uint32_t named = load_le16(buf + DV_BPB_BACKUP_BOOT);
    const uint32_t candidates[2] = {named, 6u};
    for (size_t i = 0; i < 2; ++i) {
        const uint32_t at = candidates[i];
        if (at < 1 || at > 31 || (i == 1 && named == 6)) continue;
        for (uint32_t shift = 0; shift <= 3; ++shift) {
            BootGeometry copy;
            if (!read_one(uint64_t{at} << shift) ||
                load_le16(buf + DV_BPB_BYTES_PER_SECTOR) != kSectorSize << shift ||
                parse_boot_sector(buf, end - start, copy) != 0 || copy.fat_type != 32 ||
                (uint64_t{at} << shift) >= copy.reserved_sectors)
                continue;
            g = copy;
            backup = at;
            return 0;
        }
    }
    return code;
}

} // namespace dorvex

namespace {

// Where each part of the arena lies, and its whole size: computed once, from the geometry
// and slot counts, for the allocation and for the layout. All data buffers come first, so
// each lies a multiple of 512 bytes from the arena's start and keeps its alignment; the
// handle records follow.
// Sizes are 64-bit: large logical sectors make clusters of up to 1 MiB, and 4095 of those
// pass what a 32-bit size_t holds.
struct ArenaLayout {
    uint64_t dir_buffer;    // bytes per caller's directory window: carried entries, then a run
    uint64_t lookup_buffer; // the lookup's window: carried entries, then one cluster
    uint64_t dir_buffers, fat_buffers, file_records, dir_records, upcase, size;
};

ArenaLayout arena_layout(const readfat_volume *vol) {
    ArenaLayout a;
    const uint64_t carry = uint64_t{vol->carry_entries} * DV_DIRENT_SIZE;
    a.dir_buffer = carry + uint64_t{dir_run_clusters(vol)} * vol->cluster_bytes;
    a.lookup_buffer = carry + vol->cluster_bytes;
    a.dir_buffers = uint64_t{vol->max_files} * vol->cluster_bytes;
    a.fat_buffers = a.dir_buffers + uint64_t{vol->max_dirs} * a.dir_buffer + a.lookup_buffer;
    a.file_records = a.fat_buffers + 8u * uint64_t{vol->bytes_per_sector};
    a.dir_records = a.file_records + DV_HANDLE_VIEWS * file_stride(vol) * sizeof(readfat_file);
    a.upcase = a.dir_records + DV_HANDLE_VIEWS * dir_stride(vol) * sizeof(readfat_dir);
    // exFAT's up-case table: one unit for each of the 65536 (kept 8-byte aligned).
    a.upcase = (a.upcase + 7u) & ~uint64_t{7};
    // Then what the mount keeps for readfat_info (exfat_volume.cpp).
    a.size = a.upcase + (is_exfat(vol) ? 65536u * sizeof(uint16_t) + 64u : 0u);
    return a;
}

// Lays out the arena (zeroed from the FAT cache on): file buffers, directory windows, FAT cache,
// then the records of every view of every slot, each pointing at its slot's buffer.
void lay_out_arena(readfat_volume *vol, uint8_t *arena, const ArenaLayout &a) {
    for (unsigned k = 0; k < 8; ++k)
        vol->fat_buf[k] = arena + a.fat_buffers + k * size_t{vol->bytes_per_sector};
    vol->files = at<readfat_file>(arena + a.file_records);
    vol->dirs = at<readfat_dir>(arena + a.dir_records);
    for (size_t v = 0; v < DV_HANDLE_VIEWS; ++v) {
        for (uint32_t i = 0; i < vol->max_files; ++i)
            vol->files[v * file_stride(vol) + i].buf = arena + size_t{i} * vol->cluster_bytes;
        for (uint32_t j = 0; j < vol->max_dirs; ++j)
            vol->dirs[v * dir_stride(vol) + j].buf_end =
                arena + a.dir_buffers + size_t{j + 1} * static_cast<size_t>(a.dir_buffer);
        vol->dirs[v * dir_stride(vol) + vol->max_dirs].buf_end =
            arena + a.fat_buffers; // the lookup's window ends where the FAT cache starts
    }
    vol->lookup_dir = &vol->dirs[vol->max_dirs];
    vol->lookup_dir->in_use = 1;
    if (is_exfat(vol)) vol->upcase = at<uint16_t>(arena + a.upcase);
}

} // namespace

namespace dorvex {

readfat_volume *mount(uint64_t start_sector, uint64_t end_sector, uint32_t sector_size,
                      void *reader_data, readfat_sector_reader reader, uint32_t flags,
                      uint32_t max_files, uint32_t max_dirs, int *err, void *alloc_data,
                      dv_alloc_fn alloc_fn, dv_free_fn free_fn) {
    if (sector_size != kSectorSize || max_files > kMaxSlots || max_dirs > kMaxSlots ||
        end_sector < kMinSectors) {
        set_err(err, EINVAL);
        return nullptr;
    }
    dv_ctx *ctx = dv_newctx2(flags, err, alloc_data, alloc_fn, free_fn);
    if (!ctx) return nullptr;

    auto *vol = static_cast<readfat_volume *>(alloc_fn(alloc_data, sizeof(readfat_volume)));
    if (!vol) {
        dv_deletectx(ctx);
        set_err(err, ENOMEM);
        return nullptr;
    }
    std::memset(vol, 0, sizeof *vol);
    const uintptr_t storage = reinterpret_cast<uintptr_t>(vol->storage);
    vol->boot_buf = vol->storage + ((64u - (storage & 63u)) & 63u);
    vol->ctx = ctx;
    vol->sector_size = kSectorSize;
    vol->reader_data = reader_data;
    vol->reader_fn = reader;
    vol->flags = flags;
    vol->max_files = max_files;
    vol->max_dirs = max_dirs;
    vol->alloc_data = alloc_data;
    vol->alloc_fn = alloc_fn;
    vol->free_fn = free_fn;

    // The reader gets a sector-aligned buffer (when the allocator's blocks are aligned), and
    // boot_buf a copy. A boot sector outside [start_sector, end_sector) is never asked for:
    // that volume is empty.
    const uintptr_t room = reinterpret_cast<uintptr_t>(vol->aligned_storage);
    uint8_t *aligned = vol->aligned_storage + ((kSectorSize - room % kSectorSize) % kSectorSize);
    BootGeometry g;
    int code =
        start_sector < end_sector && reader(reader_data, aligned, start_sector, 1) == 1 ? 0 : EIO;
    bool exfat = code == 0 && exfat_named(aligned);
    if (exfat)
        code = exfat_geometry(vol, start_sector, end_sector, aligned);
    else if (code == 0)
        code = read_boot_sector(reader_data, reader, start_sector, end_sector, aligned, g,
                                vol->boot_backup, true);
    // A first sector so damaged that it names neither: exFAT's backup boot region may hold.
    if (!exfat && (code == DV_E_BOOTSIG || code == DV_E_BADPBR) &&
        exfat_backup_named(vol, start_sector, end_sector, aligned)) {
        exfat = true;
        code = exfat_geometry(vol, start_sector, end_sector, aligned);
    }
    if (code == 0) std::memcpy(vol->boot_buf, aligned, kSectorSize);
    if (code == 0) {
        if (exfat)
            set_exfat_derived(vol);
        else
            set_geometry(vol, g, start_sector, end_sector);
        const ArenaLayout layout = arena_layout(vol);
        auto *arena =
            layout.size > SIZE_MAX / 2
                ? nullptr
                : static_cast<uint8_t *>(alloc_fn(alloc_data, static_cast<size_t>(layout.size)));
        if (!arena) {
            code = ENOMEM;
        } else {
            // The data buffers (first) are written before they are read: leaving them
            // untouched spares a process the page faults of windows it never uses.
            std::memset(arena + layout.fat_buffers, 0,
                        static_cast<size_t>(layout.size - layout.fat_buffers));
            vol->arena = arena;
            lay_out_arena(vol, arena, layout);
            if (exfat) code = exfat_load_tables(vol);
            if (code != 0) free_fn(alloc_data, arena);
        }
    }
    if (code != 0) {
        dv_deletectx(ctx);
        free_fn(alloc_data, vol);
        set_err(err, code);
        return nullptr;
    }
    return vol;
}

void unmount(readfat_volume *vol) {
    void *alloc_data = vol->alloc_data;
    dv_free_fn free_fn = vol->free_fn;
    drop_orphans(vol);
    dv_deletectx(vol->ctx);
    free_fn(alloc_data, vol->arena);
    free_fn(alloc_data, vol);
}

} // namespace dorvex

namespace dorvex {

namespace {

// The FAT's second entry: FAT16 keeps its clean and no-error bits in bits 15 and 14, FAT32
// in bits 27 and 26.
void read_fat_flags(readfat_volume *vol, uint8_t *buf, readfat_volinfo &out) {
    if (vol->fat_type == 12) return;
    if (read_run(vol, vol->fat_start, 1u << vol->sector_shift, buf, vol->fat_start,
                 vol->fat_start + vol->fat_sectors) != ReadResult::ok) {
        out.notes |= DV_VOL_NOTE_FAT_UNREADABLE;
        return;
    }
    const uint32_t entry = vol->fat_type == 16 ? load_le16(buf + 2) : load_le32(buf + 4);
    const uint32_t clean = vol->fat_type == 16 ? 0x8000u : 0x08000000u;
    if ((entry & clean) == 0) out.notes |= DV_VOL_NOTE_DIRTY;
    if ((entry & clean >> 1) == 0) out.notes |= DV_VOL_NOTE_HARD_ERROR;
}

// FSInfo at logical sector `at` of the volume starting at `start`: true when read and its
// first two signatures hold (writers differ on the trailing one).
bool read_fsinfo(readfat_volume *vol, uint64_t start, uint32_t at, uint8_t *buf) {
    const uint64_t sector = start + (uint64_t{at} << vol->sector_shift);
    return at != 0 && (uint64_t{at} << vol->sector_shift) < vol->reserved_sectors &&
           read_run(vol, sector, 1u << vol->sector_shift, buf, start, vol->fat_start) ==
               ReadResult::ok &&
           load_le32(buf + DV_FSINFO_LEAD_SIG) == DV_FSINFO_LEAD_VALUE &&
           load_le32(buf + DV_FSINFO_STRUCT_SIG) == DV_FSINFO_STRUCT_VALUE;
}

} // namespace

void layout_info(const readfat_volume *vol, uint64_t start, readfat_volinfo &out) {
    const uint32_t shift = vol->sector_shift;
    out = readfat_volinfo{};
    out.fat_type = vol->fat_type;
    out.bytes_per_sector = vol->bytes_per_sector;
    out.sectors_per_cluster = vol->sectors_per_cluster >> shift;
    out.cluster_bytes = vol->cluster_bytes;
    out.reserved_sectors = vol->reserved_sectors >> shift;
    out.fat_count = vol->fat_count;
    out.fat_sectors = static_cast<uint32_t>(vol->fat_sectors >> shift);
    out.first_fat_sector = out.reserved_sectors;
    out.root_cluster = vol->root_cluster;
    out.first_data_sector = static_cast<uint32_t>((vol->data_start - start) >> shift);
}

void volume_info(readfat_volume *vol, readfat_volinfo &out) {
    if (is_exfat(vol)) {
        exfat_volume_info(vol, out);
        return;
    }
    const uint8_t *b = vol->boot_buf;
    const uint64_t start = vol->fat_start - vol->reserved_sectors;
    layout_info(vol, start, out);
    out.root_entries = vol->root_entries;
    out.cluster_count = declared_clusters(vol);
    out.total_sectors = declared_sectors(b, 0);
    out.media = b[DV_BPB_MEDIA];
    out.hidden_sectors = load_le32(b + DV_BPB_HIDDEN_SECTORS);
    std::memcpy(out.oem_name, b + DV_BPB_OEM_NAME, 8);
    // FAT12/16 keep the extended fields where FAT32 keeps its own.
    const bool fat32 = vol->fat_type == 32;
    if (b[fat32 ? DV_BPB_BOOT_SIGNATURE : DV_BPB16_BOOT_SIGNATURE] == DV_BPB_EXT_BOOT_SIG) {
        out.volume_id = load_le32(b + (fat32 ? DV_BPB_VOLUME_ID : DV_BPB16_VOLUME_ID));
        std::memcpy(out.label, b + (fat32 ? DV_BPB_VOLUME_LABEL : DV_BPB16_VOLUME_LABEL), 11);
    } else {
        out.notes |= DV_VOL_NOTE_NO_SERIAL;
    }
    out.fsinfo_free = out.fsinfo_next_free = 0xFFFFFFFFu;
    if (vol->boot_backup != 0) out.notes |= DV_VOL_NOTE_BACKUP_BOOT;

    // Both reads go to the last FAT cache buffer, which then holds no FAT sector.
    uint8_t *buf = vol->fat_buf[7];
    vol->fat_tag[7] = 0;
    read_fat_flags(vol, buf, out);
    if (fat32) {
        out.fsinfo_sector = load_le16(b + DV_BPB_FSINFO_SECTOR);
        out.backup_boot_sector =
            vol->boot_backup != 0 ? vol->boot_backup : load_le16(b + DV_BPB_BACKUP_BOOT);
        if (read_fsinfo(vol, start, out.fsinfo_sector, buf) ||
            (vol->boot_backup != 0 &&
             read_fsinfo(vol, start, vol->boot_backup + out.fsinfo_sector, buf))) {
            out.fsinfo_free = load_le32(buf + DV_FSINFO_FREE_COUNT);
            out.fsinfo_next_free = load_le32(buf + DV_FSINFO_NEXT_FREE);
        } else {
            out.notes |= DV_VOL_NOTE_FSINFO_BAD;
        }
    }
    vol->fat_tag[7] = 0;
}

} // namespace dorvex
