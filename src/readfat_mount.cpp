// Mounting and releasing a FAT32 volume: boot sector checks, geometry, and the one arena
// that holds every handle slot and buffer.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "bytes.h"
#include "dorvex/readfat.h"
#include "fat_chain.h"

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

void set_err(int *err, int code) {
    if (err) *err = code;
}

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

size_t dir_buffer_bytes(const readfat_volume *vol) {
    return vol->cluster_bytes + size_t{vol->carry_entries} * DV_DIRENT_SIZE;
}

// Lays out the zeroed arena: file buffers, directory windows, FAT cache, file records,
// directory records.
void lay_out_arena(readfat_volume *vol, uint8_t *arena) {
    uint8_t *p = arena;
    uint8_t *file_bufs = p;
    p += size_t{vol->max_files} * vol->cluster_bytes;
    uint8_t *dir_bufs = p;
    p += size_t{vol->max_dirs + 1} * dir_buffer_bytes(vol);
    for (unsigned k = 0; k < 8; ++k) {
        vol->fat_buf[k] = p;
        p += kSectorSize;
    }
    vol->files = at<readfat_file>(p);
    p += size_t{vol->max_files} * sizeof(readfat_file);
    vol->dirs = at<readfat_dir>(p);

    for (uint32_t i = 0; i < vol->max_files; ++i)
        vol->files[i].buf = file_bufs + size_t{i} * vol->cluster_bytes;
    for (uint32_t j = 0; j <= vol->max_dirs; ++j)
        vol->dirs[j].buf_end = dir_bufs + size_t{j + 1} * dir_buffer_bytes(vol);
    vol->lookup_dir = &vol->dirs[vol->max_dirs];
    vol->lookup_dir->in_use = 1;
}

} // namespace

extern "C" {

uint32_t readfat_optimal_flags(void) {
    return DV_FLAG_SLASH | DV_FLAG_BACKSLASH | DV_FLAG_SKIP_LEADING_SEP | DV_FLAG_LENIENT |
           DV_FLAG_UTF16 | DV_CHARSET_ASCII;
}

readfat_volume *readfat_new2(uint64_t start_sector, uint64_t end_sector, uint32_t sector_size,
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
    // A boot sector outside [start_sector, end_sector) is never asked for: that volume is empty.
    if (start_sector >= end_sector ||
        read_sectors(vol, vol->boot_buf, start_sector, 1, start_sector, end_sector) != 1)
        code = EIO;
    if (code == 0) code = read_geometry(vol, start_sector, end_sector);
    if (code == 0) {
        const size_t size = size_t{max_files} * vol->cluster_bytes +
                            size_t{max_dirs + 1} * dir_buffer_bytes(vol) + 8u * kSectorSize +
                            size_t{max_files} * sizeof(readfat_file) +
                            size_t{max_dirs + 1} * sizeof(readfat_dir);
        auto *arena = static_cast<uint8_t *>(alloc_fn(alloc_data, size));
        if (!arena) {
            code = ENOMEM;
        } else {
            std::memset(arena, 0, size);
            vol->arena = arena;
            lay_out_arena(vol, arena);
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

void readfat_delete(readfat_volume *vol) {
    if (!vol) return;
    void *alloc_data = vol->alloc_data;
    dv_free_fn free_fn = vol->free_fn;
    dv_deletectx(vol->ctx);
    free_fn(alloc_data, vol->arena);
    free_fn(alloc_data, vol);
}

} // extern "C"
