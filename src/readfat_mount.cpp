// Mounting and releasing a FAT32 volume: boot sector checks, geometry, and the one arena
// that holds every handle slot and buffer.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "bytes.h"
#include "dorvex/readfat.h"
#include "fat_chain.h"
#include "readfat_internal.h"

namespace {

using namespace dorvex;

constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kMaxSlots = 4095;
constexpr uint64_t kMinSectors = 64;
// Room for a whole long-name run (20 entries) carried in front of a directory cluster,
// rounded up to whole sectors so every buffer in the arena stays 512-byte aligned.
constexpr uint32_t kMinCarryBytes = 1024;
// Clusters 2 .. 0x0FFFFFF7 are the most a 28-bit FAT can name.
constexpr uint64_t kMaxClusters = 0x0FFFFFF6u;

template <typename T> T *at(uint8_t *p) {
    return static_cast<T *>(static_cast<void *>(p));
}

// Checks the boot sector in vol->boot_buf and derives the geometry; 0 or the code.
int read_geometry(readfat_volume *vol, uint64_t start_sector, uint64_t end_sector) {
    const uint8_t *boot = vol->boot_buf;
    if (load_le16(boot + DV_BPB_SIGNATURE) != 0xAA55u) return DV_E_BOOTSIG;

    vol->sectors_per_cluster = boot[DV_BPB_SECTORS_PER_CLUSTER];
    vol->reserved_sectors = load_le16(boot + DV_BPB_RESERVED_SECTORS);
    vol->fat_count = boot[DV_BPB_FAT_COUNT];
    vol->fat_sectors = load_le32(boot + DV_BPB_FAT_SIZE32);
    vol->root_cluster = load_le32(boot + DV_BPB_ROOT_CLUSTER);
    // Zero reserved sectors would put the FAT over the boot sector.
    if (vol->fat_count == 0 || vol->sectors_per_cluster == 0 || vol->fat_sectors == 0 ||
        vol->reserved_sectors == 0)
        return DV_E_BADPBR;

    // Everything in sectors relative to the volume start, so nothing can wrap.
    const uint64_t total = end_sector - start_sector;
    const uint64_t meta = vol->reserved_sectors + vol->fat_sectors * vol->fat_count;
    if (meta >= total) return DV_E_BADPBR;
    const uint64_t clusters = (total - meta) / vol->sectors_per_cluster;
    if (clusters == 0) return DV_E_BADPBR;
    vol->cluster_count = static_cast<uint32_t>(clusters < kMaxClusters ? clusters : kMaxClusters);
    if (vol->root_cluster < 2u || vol->root_cluster - 2u >= vol->cluster_count) return DV_E_BADPBR;

    vol->fat_start = start_sector + vol->reserved_sectors;
    vol->data_start = vol->fat_start + vol->fat_sectors * vol->fat_count;
    vol->end_sector = end_sector;
    vol->cluster_bytes = vol->sectors_per_cluster * kSectorSize;
    vol->dir_entries_per_cluster = vol->cluster_bytes / DV_DIRENT_SIZE;
    vol->fat_entries_per_sector = kSectorSize / 4u;
    vol->carry_entries =
        (vol->cluster_bytes > kMinCarryBytes ? vol->cluster_bytes : kMinCarryBytes) /
        DV_DIRENT_SIZE;
    return 0;
}

// Where each part of the arena lies, and its whole size: computed once, from the geometry
// and slot counts, for the allocation and for the layout. All data buffers come first, so
// each lies a multiple of 512 bytes from the arena's start and keeps its alignment; the
// handle records follow.
struct ArenaLayout {
    size_t dir_buffer; // bytes per directory window: carried entries, then a cluster
    size_t dir_buffers, fat_buffers, file_records, dir_records, size;
};

ArenaLayout arena_layout(const readfat_volume *vol) {
    ArenaLayout a;
    a.dir_buffer = vol->cluster_bytes + size_t{vol->carry_entries} * DV_DIRENT_SIZE;
    a.dir_buffers = size_t{vol->max_files} * vol->cluster_bytes;
    a.fat_buffers = a.dir_buffers + dir_stride(vol) * a.dir_buffer;
    a.file_records = a.fat_buffers + 8u * kSectorSize;
    a.dir_records = a.file_records + DV_HANDLE_VIEWS * file_stride(vol) * sizeof(readfat_file);
    a.size = a.dir_records + DV_HANDLE_VIEWS * dir_stride(vol) * sizeof(readfat_dir);
    return a;
}

// Lays out the zeroed arena: file buffers, directory windows, FAT cache, then the records of
// every view of every slot, each pointing at its slot's buffer.
void lay_out_arena(readfat_volume *vol, uint8_t *arena, const ArenaLayout &a) {
    for (unsigned k = 0; k < 8; ++k) vol->fat_buf[k] = arena + a.fat_buffers + k * kSectorSize;
    vol->files = at<readfat_file>(arena + a.file_records);
    vol->dirs = at<readfat_dir>(arena + a.dir_records);
    for (size_t v = 0; v < DV_HANDLE_VIEWS; ++v) {
        for (uint32_t i = 0; i < vol->max_files; ++i)
            vol->files[v * file_stride(vol) + i].buf = arena + size_t{i} * vol->cluster_bytes;
        for (uint32_t j = 0; j <= vol->max_dirs; ++j)
            vol->dirs[v * dir_stride(vol) + j].buf_end =
                arena + a.dir_buffers + size_t{j + 1} * a.dir_buffer;
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
    if (code == 0) code = read_geometry(vol, start_sector, end_sector);
    if (code == 0) {
        const ArenaLayout layout = arena_layout(vol);
        auto *arena = static_cast<uint8_t *>(alloc_fn(alloc_data, layout.size));
        if (!arena) {
            code = ENOMEM;
        } else {
            std::memset(arena, 0, layout.size);
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
