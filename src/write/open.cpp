// Opening and closing a volume for writing, and the one block its state lives in, laid out
// from a writefat_config: the buffers handed to the writer first (each a multiple of 512
// bytes from a 512-byte boundary), then the tables.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/bytes.h"
#include "codec/dirent_internal.h"
#include "volume/fat_chain.h"
#include "write/writefat_internal.h"

namespace dorvex {
namespace {

bool power_of_two(uint32_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

bool config_valid(const writefat_config &c) {
    for (uint32_t r : c.reserved)
        if (r != 0) return false;
    if (c.fat_cache_sectors == 0 || c.alias_tails < 64) return false;
    if (c.index_slots != 0 && (!power_of_two(c.index_slots) || c.index_slots < 4096)) return false;
    if (c.file_buffer != WRITEFAT_BUFFER_CLUSTER && c.file_buffer != WRITEFAT_BUFFER_SECTOR)
        return false;
    // The path cache counts its text in 32-bit offsets.
    return c.path_levels <= UINT32_MAX / kPathTextPerLevel;
}

// Where each part of the state lies in its block: byte offsets from the state's start (a
// 512-byte boundary), and the block's size, 511 bytes of room to find that boundary included.
struct Layout {
    uint32_t sector, cluster, unit_bytes, stage_clusters, file_bytes;
    uint64_t fat, dir, pend, stage, file, dc;                        // buffers
    uint64_t fat_tag, pend_tag, dc_tag;                              // 8-byte tables
    uint64_t fat_dirty, fat_used, dc_used, path_dirs, path_marks;    // 4-byte tables
    uint64_t path_names, path_text, tails, index, cleared_end, size; // the rest
};

Layout layout(const writefat_config &c, uint32_t sector, uint32_t cluster) {
    Layout l{};
    l.sector = sector;
    l.cluster = cluster;
    const bool by_sector = c.file_buffer == WRITEFAT_BUFFER_SECTOR;
    l.unit_bytes = by_sector ? sector : cluster;
    l.file_bytes = by_sector ? sector : cluster;
    l.stage_clusters = c.group_data_bytes == 0         ? 0
                       : c.group_data_bytes >= cluster ? c.group_data_bytes / cluster
                                                       : 1;
    uint64_t p = (sizeof(W) + 511u) / 512u * 512u;
    auto take = [&p](uint64_t bytes) {
        const uint64_t at = p;
        p += bytes;
        return at;
    };
    l.fat = take(uint64_t{c.fat_cache_sectors} * sector);
    l.dir = take(sector);
    l.pend = take(uint64_t{c.group_sectors} * sector);
    l.stage = take(uint64_t{l.stage_clusters} * cluster);
    l.file = take(l.file_bytes);
    l.dc = take(uint64_t{c.dir_cache_units} * l.unit_bytes);
    l.fat_tag = take(8u * uint64_t{c.fat_cache_sectors});
    l.pend_tag = take(8u * uint64_t{c.group_sectors});
    l.dc_tag = take(8u * uint64_t{c.dir_cache_units});
    l.fat_dirty = take(4u * uint64_t{c.fat_cache_sectors});
    l.fat_used = take(4u * uint64_t{c.fat_cache_sectors});
    l.dc_used = take(4u * uint64_t{c.dir_cache_units});
    l.path_dirs = take(4u * uint64_t{c.path_levels});
    l.path_marks = take(8u * uint64_t{c.path_levels});
    l.path_names = take(2u * kPathUnitsPerLevel * uint64_t{c.path_levels});
    l.path_text = take(kPathTextPerLevel * uint64_t{c.path_levels});
    l.cleared_end = p;
    l.tails = take((uint64_t{c.alias_tails} + 31u) / 32u * 4u);
    l.index = take(4u * uint64_t{c.index_slots});
    l.size = 511u + p;
    return l;
}

bool geometry_valid(uint32_t sector, uint32_t cluster) {
    return power_of_two(sector) && sector >= 512 && sector <= 4096 && power_of_two(cluster) &&
           cluster >= sector;
}

void *mem_alloc(void *, size_t size) {
    return std::malloc(size);
}

void mem_free(void *, void *ptr) {
    std::free(ptr);
}

template <typename T> T *at(uint8_t *base, uint64_t offset) {
    return reinterpret_cast<T *>(base + offset);
}

} // namespace
} // namespace dorvex

using namespace dorvex;

extern "C" {

int writefat_config_init(writefat_config *config, uint32_t preset) {
    if (!config || (preset != WRITEFAT_CONFIG_FAST && preset != WRITEFAT_CONFIG_SMALL))
        return EINVAL;
    std::memset(config, 0, sizeof *config);
    config->options = WRITEFAT_OPT_RECLAIM;
    if (preset == WRITEFAT_CONFIG_SMALL) {
        config->fat_cache_sectors = 1;
        config->alias_tails = 1024;
        config->file_buffer = WRITEFAT_BUFFER_SECTOR;
        return 0;
    }
    config->fat_cache_sectors = 16;
    config->dir_cache_units = 4;
    config->group_sectors = 32;
    config->group_data_bytes = 256u << 10;
    config->index_slots = 1u << 18;
    config->alias_tails = 65536;
    config->path_levels = 4096;
    config->file_buffer = WRITEFAT_BUFFER_CLUSTER;
    config->reclaim_bytes = 8u << 20;
    return 0;
}

size_t writefat_config_bytes(const writefat_config *config, uint32_t sector_bytes,
                             uint32_t cluster_bytes) {
    if (!config || !config_valid(*config) || !geometry_valid(sector_bytes, cluster_bytes)) return 0;
    const uint64_t size = layout(*config, sector_bytes, cluster_bytes).size;
    return size > SIZE_MAX ? 0 : static_cast<size_t>(size);
}

writefat_volume *writefat_open3(uint64_t start_sector, uint64_t end_sector, uint32_t sector_size,
                                void *io_data, readfat_sector_reader reader,
                                writefat_sector_writer writer, uint32_t flags, uint32_t max_files,
                                uint32_t max_dirs, const writefat_config *config, int *err,
                                void *alloc_data, dv_alloc_fn alloc_fn, dv_free_fn free_fn) {
    writefat_config cfg;
    if (config)
        cfg = *config;
    else
        writefat_config_init(&cfg, WRITEFAT_CONFIG_FAST);
    if (!reader || !writer || !alloc_fn || !free_fn || !config_valid(cfg)) {
        set_err(err, EINVAL);
        return nullptr;
    }
    // The read side finds names as the writer matches them and shows them as it wrote them.
    readfat_volume *rv = mount(start_sector, end_sector, sector_size, io_data, reader,
                               flags | DV_FLAG_NTCASE | DV_FLAG_NOCASE, max_files, max_dirs, err,
                               alloc_data, alloc_fn, free_fn);
    if (!rv) return nullptr;
    if (is_exfat(rv)) {
        unmount(rv);
        set_err(err, DV_E_EXFATWRITE);
        return nullptr;
    }
    // Other systems read the damaged first sector, not the backup: repair before changing.
    if (rv->boot_backup != 0) {
        unmount(rv);
        set_err(err, DV_E_BACKUPBOOT);
        return nullptr;
    }
    const uint32_t bps = rv->bytes_per_sector;
    const Layout l = layout(cfg, bps, rv->cluster_bytes);
    // Room to start the state on a 512-byte boundary whatever the allocator gives: every
    // buffer handed to the writer lies a multiple of 512 bytes into it.
    auto *block = l.size > SIZE_MAX
                      ? nullptr
                      : static_cast<uint8_t *>(alloc_fn(alloc_data, static_cast<size_t>(l.size)));
    dv_ctx *ctx =
        block ? dv_newctx2(DV_FLAG_LENIENT | DV_FLAG_NTCASE | DV_FLAG_UTF16 | DV_CHARSET_UTF8, err,
                           alloc_data, alloc_fn, free_fn)
              : nullptr;
    if (!ctx) {
        if (block)
            free_fn(alloc_data, block);
        else
            set_err(err, ENOMEM);
        unmount(rv);
        return nullptr;
    }
    uint8_t *base = block + (512u - reinterpret_cast<uintptr_t>(block) % 512u) % 512u;
    // The tail table and the name index are cleared where they are built: leaving them
    // untouched here spares a process the page faults of what it may never use.
    std::memset(block, 0, static_cast<size_t>(base - block + l.cleared_end));
    W *w = new (base) W{};
    w->block = block;
    w->rv = rv;
    w->ctx = ctx;
    w->writer = writer;
    w->io_data = io_data;
    w->alloc_data = alloc_data;
    w->alloc_fn = alloc_fn;
    w->free_fn = free_fn;
    w->vol_start = start_sector;
    w->bps = bps;
    w->unit = bps / 512u;
    w->epu = bps / DV_DIRENT_SIZE;
    // Clusters the file system declares, which may be fewer than the reader's bound: never
    // allocate past what a checker counts.
    w->max_cluster = declared_clusters(rv) + 1;
    w->eoc = rv->fat_type == 12 ? 0xFFFu : rv->fat_type == 16 ? 0xFFFFu : 0x0FFFFFFFu;
    w->fat_slots = cfg.fat_cache_sectors;
    w->fat_bufs = base + l.fat;
    w->fat_tag = at<uint64_t>(base, l.fat_tag);
    w->fat_dirty = at<uint32_t>(base, l.fat_dirty);
    w->fat_used = at<uint32_t>(base, l.fat_used);
    w->dir_buf = base + l.dir;
    w->pend_slots = cfg.group_sectors;
    w->pend_buf = base + l.pend;
    w->pend_tag = at<uint64_t>(base, l.pend_tag);
    w->stage_buf = base + l.stage;
    w->stage_capacity = l.stage_clusters;
    w->file_buf = base + l.file;
    w->file_buf_bytes = l.file_bytes;
    w->dc_slots = cfg.dir_cache_units;
    w->dc_by_sector = cfg.file_buffer == WRITEFAT_BUFFER_SECTOR;
    w->dc_bytes = l.unit_bytes;
    w->dc_span = l.unit_bytes / 512u;
    w->dc_bufs = base + l.dc;
    w->dc_tag = at<uint64_t>(base, l.dc_tag);
    w->dc_used = at<uint32_t>(base, l.dc_used);
    w->path_max_levels = cfg.path_levels;
    w->path_max_units = cfg.path_levels * kPathUnitsPerLevel;
    w->path_max_text = cfg.path_levels * kPathTextPerLevel;
    w->path_dirs = at<uint32_t>(base, l.path_dirs);
    w->path_marks = at<uint32_t>(base, l.path_marks);
    w->path_names = at<uint16_t>(base, l.path_names);
    w->path_text = at<char>(base, l.path_text);
    w->tails = at<uint32_t>(base, l.tails);
    w->tail_count = cfg.alias_tails;
    w->ix_table = at<uint32_t>(base, l.index);
    w->ix_slots = cfg.index_slots;
    w->reclaim_bytes = cfg.reclaim_bytes != 0 ? cfg.reclaim_bytes : 4096u;
    w->hint = 2;
    int rc = 0;
    if (rv->fat_type == 32) {
        const uint32_t fsi = load_le16(rv->boot_buf + DV_BPB_FSINFO_SECTOR);
        if (fsi != 0 && fsi != 0xFFFFu && uint64_t{fsi} * w->unit < rv->reserved_sectors) {
            w->fsinfo = start_sector + uint64_t{fsi} * w->unit;
            rc = read_unit(w, w->fsinfo, w->dir_buf);
            const uint32_t hint = load_le32(w->dir_buf + DV_FSINFO_NEXT_FREE);
            if (rc == 0 && hint >= 2 && hint <= w->max_cluster) w->hint = hint;
        }
    }
    if (rc == 0) rc = count_free(w);
    // What an earlier session cut by a power loss left behind. A failure (a read-only medium,
    // no memory for the walk) still leaves the volume to be read; a failed write makes it
    // refuse changes.
    if (rc == 0 && (cfg.options & WRITEFAT_OPT_RECLAIM)) reclaim_at_open(w);
    if (rc != 0) {
        dv_deletectx(ctx);
        unmount(rv);
        w->~W();
        free_fn(alloc_data, block);
        set_err(err, rc);
        return nullptr;
    }
    return w;
}

writefat_volume *writefat_open2(uint64_t start_sector, uint64_t end_sector, uint32_t sector_size,
                                void *io_data, readfat_sector_reader reader,
                                writefat_sector_writer writer, uint32_t flags, uint32_t max_files,
                                uint32_t max_dirs, int *err, void *alloc_data, dv_alloc_fn alloc_fn,
                                dv_free_fn free_fn) {
    return writefat_open3(start_sector, end_sector, sector_size, io_data, reader, writer, flags,
                          max_files, max_dirs, nullptr, err, alloc_data, alloc_fn, free_fn);
}

writefat_volume *writefat_open(uint64_t start_sector, uint64_t end_sector, uint32_t sector_size,
                               void *io_data, readfat_sector_reader reader,
                               writefat_sector_writer writer, uint32_t flags, uint32_t max_files,
                               uint32_t max_dirs, int *err) {
    return writefat_open2(start_sector, end_sector, sector_size, io_data, reader, writer, flags,
                          max_files, max_dirs, err, nullptr, mem_alloc, mem_free);
}

int writefat_close(writefat_volume *w) {
    if (!w) return EINVAL;
    if (w->file.in_use) drop_file(w, &w->file);
    int rc = w->broken;
    if (rc == 0) rc = group_flush(w);
    if (rc == 0 && w->dirty_marked) {
        rc = fat_flush(w);
        if (rc == 0) rc = write_fsinfo(w);
        if (rc == 0 && w->was_clean) {
            const uint32_t bit = w->rv->fat_type == 16 ? 0x8000u : 0x08000000u;
            uint32_t v = 0;
            rc = fat_get(w, 1, v);
            if (rc == 0) rc = fat_set(w, 1, v | bit);
            if (rc == 0) rc = fat_flush(w);
        }
    }
    void *alloc_data = w->alloc_data;
    dv_free_fn free_fn = w->free_fn;
    void *block = w->block;
    dv_deletectx(w->ctx);
    unmount(w->rv);
    w->~W();
    free_fn(alloc_data, block);
    return rc;
}

} // extern "C"
