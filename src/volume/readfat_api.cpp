// The volume reader's exported functions: each checks its arguments here, the same way, and
// hands the call to its internal twin, which trusts them.
//
// A handle is valid when it is one of the volume's records (by address alone: nothing is read
// through a pointer before it passes) and is open. A null or closed handle fails with EINVAL
// in every function that can report, and is ignored by the closing functions.
#include <cerrno>
#include <cstring>

#include "volume/readfat_internal.h"

namespace dorvex {
namespace {

readfat_dir *open_dir(readfat_volume *vol, readfat_dir *dir) {
    if (!vol || !dir) return nullptr;
    const ptrdiff_t i = record_index(vol->dirs, DV_HANDLE_VIEWS * dir_stride(vol), dir);
    if (i < 0) return nullptr;
    // The lookup handle belongs to the volume, never to a caller. Each view has one: a few
    // compares, where the slot's index would cost a division on every readdir.
    for (size_t v = 0; v < DV_HANDLE_VIEWS; ++v)
        if (static_cast<size_t>(i) == v * dir_stride(vol) + vol->max_dirs) return nullptr;
    return dir->in_use ? dir : nullptr;
}

template <class File> File *open_file(const readfat_volume *vol, File *file) {
    if (!vol || !file) return nullptr;
    if (record_index<readfat_file>(vol->files, DV_HANDLE_VIEWS * file_stride(vol), file) < 0)
        return nullptr;
    return file->in_use ? file : nullptr;
}

} // namespace
} // namespace dorvex

using namespace dorvex;

extern "C" {

uint32_t readfat_optimal_flags(void) {
    return DV_FLAG_SLASH | DV_FLAG_BACKSLASH | DV_FLAG_SKIP_LEADING_SEP | DV_FLAG_LENIENT |
           DV_FLAG_UTF16 | DV_CHARSET_ASCII;
}

readfat_volume *readfat_new2(uint64_t start_sector, uint64_t end_sector, uint32_t sector_size,
                             void *reader_data, readfat_sector_reader reader, uint32_t flags,
                             uint32_t max_files, uint32_t max_dirs, int *err, void *alloc_data,
                             dv_alloc_fn alloc_fn, dv_free_fn free_fn) {
    if (!reader || !alloc_fn || !free_fn) {
        set_err(err, EINVAL);
        return nullptr;
    }
    return mount(start_sector, end_sector, sector_size, reader_data, reader, flags, max_files,
                 max_dirs, err, alloc_data, alloc_fn, free_fn);
}

void readfat_delete(readfat_volume *vol) {
    if (vol) unmount(vol);
}

// ---- Directories ------------------------------------------------------------------------

readfat_dir *readfat_opendir(readfat_volume *vol, const char *path, int *err) {
    if (!vol || !path) {
        set_err(err, EINVAL);
        return nullptr;
    }
    return dir_open_path(vol, path, err);
}

readfat_dir *readfat_opendir_entry(readfat_volume *vol, const dv_entry *entry, int *err) {
    if (!vol || !entry) {
        set_err(err, EINVAL);
        return nullptr;
    }
    return dir_open_entry(vol, entry, err);
}

const dv_entry *readfat_readdir(readfat_volume *vol, readfat_dir *dir, int *err) {
    readfat_dir *d = open_dir(vol, dir);
    if (!d) {
        set_err(err, EINVAL);
        return nullptr;
    }
    return dir_next(vol, d, err);
}

uint32_t readfat_telldir(readfat_volume *vol, const readfat_dir *dir) {
    const readfat_dir *d = open_dir(vol, const_cast<readfat_dir *>(dir));
    return d ? dir_tell(d) : 0;
}

int readfat_seekdir(readfat_volume *vol, readfat_dir *dir, uint32_t pos, int *err) {
    readfat_dir *d = open_dir(vol, dir);
    if (!d) {
        set_err(err, EINVAL);
        return -1;
    }
    return dir_seek(vol, d, pos, err);
}

int readfat_entry_where(readfat_volume *vol, const readfat_dir *dir, readfat_where *out, int *err) {
    const readfat_dir *d = open_dir(vol, const_cast<readfat_dir *>(dir));
    if (!d || !out) {
        set_err(err, EINVAL);
        return -1;
    }
    return dir_where(vol, d, out, err);
}

void readfat_closedir(readfat_volume *vol, readfat_dir *dir) {
    if (readfat_dir *d = open_dir(vol, dir)) d->in_use = 0;
}

int readfat_stat(readfat_volume *vol, const char *path, dv_entry *out) {
    if (!vol || !path) return EINVAL;
    int code = 0;
    return process_path(vol, path, out, &code) ? 0 : code;
}

// ---- Files ------------------------------------------------------------------------------

readfat_file *readfat_open(readfat_volume *vol, const char *path, int *err) {
    if (!vol || !path) {
        set_err(err, EINVAL);
        return nullptr;
    }
    return file_open_path(vol, path, err);
}

readfat_file *readfat_open_entry(readfat_volume *vol, const dv_entry *entry, int *err) {
    if (!vol || !entry) {
        set_err(err, EINVAL);
        return nullptr;
    }
    return file_open_entry(vol, entry, err);
}

void readfat_close(readfat_volume *vol, readfat_file *file) {
    if (readfat_file *f = open_file(vol, file)) f->in_use = 0;
}

// A 64-bit value through a 32-bit call: 0xFFFFFFFF and EOVERFLOW, never a wrapped value.
static uint32_t narrow(readfat_volume *vol, uint64_t v) {
    if (v <= UINT32_MAX) return static_cast<uint32_t>(v);
    vol->ctx->err = EOVERFLOW;
    return UINT32_MAX;
}

uint32_t readfat_size(readfat_volume *vol, const readfat_file *file) {
    const readfat_file *f = open_file(vol, file);
    return f ? narrow(vol, f->size64) : 0;
}

uint32_t readfat_tell(readfat_volume *vol, const readfat_file *file) {
    const readfat_file *f = open_file(vol, file);
    return f ? narrow(vol, f->position64) : 0;
}

uint64_t readfat_size64(readfat_volume *vol, const readfat_file *file) {
    const readfat_file *f = open_file(vol, file);
    return f ? f->size64 : 0;
}

uint64_t readfat_tell64(readfat_volume *vol, const readfat_file *file) {
    const readfat_file *f = open_file(vol, file);
    return f ? f->position64 : 0;
}

int readfat_seek64(readfat_volume *vol, readfat_file *file, uint64_t pos, int *err) {
    readfat_file *f = open_file(vol, file);
    if (!f || f->stale) {
        set_err(err, f ? ESTALE : EINVAL);
        return -1;
    }
    return file_seek(vol, f, pos, err);
}

int readfat_seek(readfat_volume *vol, readfat_file *file, uint32_t pos, int *err) {
    readfat_file *f = open_file(vol, file);
    if (!f || f->stale) {
        set_err(err, f ? ESTALE : EINVAL);
        return -1;
    }
    return file_seek(vol, f, pos, err);
}

uint32_t readfat_read(readfat_volume *vol, readfat_file *file, void *dst, uint32_t len, int *err) {
    readfat_file *f = open_file(vol, file);
    if (!f || (!dst && len != 0)) {
        set_err(err, EINVAL);
        return 0;
    }
    if (f->stale) {
        set_err(err, ESTALE);
        return 0;
    }
    return file_read(vol, f, dst, len, err);
}

// ---- Free clusters ----------------------------------------------------------------------

int readfat_free_clusters(readfat_volume *vol, uint32_t *count, int *err) {
    if (!vol || !count) {
        set_err(err, EINVAL);
        return -1;
    }
    if (is_exfat(vol)) {
        if (int rc = exfat_count_free(vol, *count)) {
            set_err(err, rc == DV_E_BADPBR ? EIO : rc);
            return -1;
        }
        return 0;
    }
    // A run fills the FAT cache's eight buffers, which lie one after another in the arena;
    // without READFAT_FLAG_BATCH no request may pass a cluster.
    uint32_t run = 8;
    const uint32_t cluster_sectors = vol->sectors_per_cluster >> vol->sector_shift;
    if ((vol->flags & READFAT_FLAG_BATCH) == 0 && cluster_sectors < run) run = cluster_sectors;
    // The buffers are overwritten: nothing cached stays valid.
    std::memset(vol->fat_tag, 0, sizeof vol->fat_tag);
    if (int rc = count_free_clusters(vol, vol->fat_buf[0], run, *count)) {
        set_err(err, rc);
        return -1;
    }
    return 0;
}

// ---- The volume record ------------------------------------------------------------------

int readfat_info(readfat_volume *vol, readfat_volinfo *out) {
    if (!vol || !out) return EINVAL;
    volume_info(vol, *out);
    return 0;
}

int readfat_identify(uint64_t start_sector, uint64_t end_sector, void *reader_data,
                     readfat_sector_reader reader, const char **name, uint64_t *claimed) {
    if (!reader || !name) return EINVAL;
    uint64_t count = 0;
    const int rc = identify_volume(start_sector, end_sector, reader_data, reader, *name, count);
    if (claimed) *claimed = count;
    return rc;
}

// ---- Partition tables -------------------------------------------------------------------

int readfat_partitions(uint64_t disk_sectors, uint32_t sector_size, void *reader_data,
                       readfat_sector_reader reader, readfat_partition *parts, uint32_t room,
                       readfat_table *table) {
    return list_partitions(disk_sectors, sector_size, reader_data, reader, parts, room, table);
}

} // extern "C"
