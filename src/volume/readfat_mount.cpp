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
    uint64_t dir_buffers, fat_buffers, file_records, dir_records, size;
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
    a.size = a.dir_records + DV_HANDLE_VIEWS * dir_stride(vol) * sizeof(readfat_dir);
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

    int code = 0;
    // The reader gets a sector-aligned buffer (when the allocator's blocks are aligned), and
    // boot_buf a copy. A boot sector outside [start_sector, end_sector) is never asked for:
    // that volume is empty.
    const uintptr_t room = reinterpret_cast<uintptr_t>(vol->aligned_storage);
    uint8_t *aligned = vol->aligned_storage + ((kSectorSize - room % kSectorSize) % kSectorSize);
    if (start_sector >= end_sector ||
        read_sectors(vol, aligned, start_sector, 1, start_sector, end_sector) != 1)
        code = EIO;
    else
        std::memcpy(vol->boot_buf, aligned, kSectorSize);
    BootGeometry g;
    if (code == 0) code = parse_boot_sector(vol->boot_buf, end_sector - start_sector, g);
    if (code == 0) {
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
    dv_deletectx(vol->ctx);
    free_fn(alloc_data, vol->arena);
    free_fn(alloc_data, vol);
}

} // namespace dorvex
