// Directory handles and path lookup: the scan of a directory's clusters through a window
// that keeps long-name runs whole across cluster boundaries.
#include <cerrno>
#include <cstring>

#include "dirent_internal.h"
#include "fat_chain.h"
#include "readfat_internal.h"

namespace dorvex {
namespace {

enum class Scan { record, end, io_error };

void start_dir(readfat_dir *dir, uint32_t first) {
    dir->remaining = 0;
    dir->next_cluster = first;
    dir->at_end = 0;
    guard_of(dir).reset(first);
}

// Reads `next_cluster` into the window's last cluster_bytes and looks up its successor.
bool load_cluster(readfat_volume *vol, readfat_dir *dir) {
    if (read_cluster(vol, dir->next_cluster, dir->buf_end - vol->cluster_bytes) != ReadResult::ok) {
        dir->remaining = 0;
        return false;
    }
    uint32_t next = next_cluster(vol, dir->next_cluster);
    // A chain that comes back to a cluster already listed ends there.
    if (!is_chain_end(next) && !guard_of(dir).step(dir->next_cluster, next)) next = kChainEnd;
    dir->next_cluster = next;
    dir->remaining += vol->dir_entries_per_cluster;
    return true;
}

Scan end_scan(readfat_dir *dir) {
    dir->at_end = 1;
    return Scan::end;
}

// Decodes the directory's next record into `*rec`. With `want`, records whose name cannot be
// `want` are passed over undecoded (a lookup); the reads of the medium stay the same.
Scan scan_one(readfat_volume *vol, readfat_dir *dir, dv_entry *rec, const dv_name *want = nullptr) {
    if (dir->at_end) return Scan::end;
    if (dir->remaining == 0) {
        if (is_chain_end(dir->next_cluster)) return end_scan(dir);
        if (!load_cluster(vol, dir)) return Scan::io_error;
    }
    for (;;) {
        const uint8_t *cursor = dir->buf_end - size_t{dir->remaining} * DV_DIRENT_SIZE;
        int count = static_cast<int>(dir->remaining);
        dv_entry *out = rec;
        int room = 1;
        const int rc = want ? read_entry_matching(vol->ctx, &cursor, &count, &out, &room, *want)
                            : dv_readentry(vol->ctx, &cursor, &count, &out, &room);
        if (rc >= 0 && room == 0) {
            dir->remaining = static_cast<uint32_t>(count);
            return Scan::record;
        }
        // An end-of-directory mark: nothing after it belongs to the directory.
        if (rc >= 0 && cursor < dir->buf_end && cursor[0] == 0) return end_scan(dir);
        if (is_chain_end(dir->next_cluster)) return end_scan(dir);

        // Carry the unfinished run in front of the next cluster; a run longer than the room
        // is damaged beyond use.
        const uint32_t carry = static_cast<uint32_t>(count);
        if (carry > vol->carry_entries) return end_scan(dir);
        const size_t bytes = size_t{carry} * DV_DIRENT_SIZE;
        std::memmove(dir->buf_end - vol->cluster_bytes - bytes, dir->buf_end - bytes, bytes);
        dir->remaining = carry;
        if (!load_cluster(vol, dir)) {
            // Keep the unfinished run where it was: the next call retries the same cluster
            // with it, so a failed read never costs an entry its long name.
            std::memmove(dir->buf_end - bytes, dir->buf_end - vol->cluster_bytes - bytes, bytes);
            dir->remaining = carry;
            return Scan::io_error;
        }
    }
}

readfat_dir *free_dir_slot(readfat_volume *vol) {
    for (uint32_t i = 0; i < vol->max_dirs; ++i)
        if (!vol->dirs[i].in_use) return &vol->dirs[i];
    return nullptr;
}

readfat_dir *take_dir(readfat_dir *dir, uint32_t first) {
    start_dir(dir, first);
    dir->in_use = 1;
    return dir;
}

} // namespace

dv_entry *process_path(readfat_volume *vol, const char *path, dv_entry *out, int *err) {
    // The empty path names nothing that has an entry.
    if (!out || path[0] == '\0') {
        set_err(err, ENOENT);
        return nullptr;
    }
    readfat_dir *dir = vol->lookup_dir;
    start_dir(dir, vol->root_cluster);
    dv_pathnode *list = dv_parsepath(vol->ctx, path);
    if (!list) {
        const int code = dv_errno(vol->ctx);
        set_err(err, code != 0 ? code : ENOENT);
        return nullptr;
    }
    for (const dv_pathnode *node = list; node; node = node->next) {
        for (;;) {
            if (scan_one(vol, dir, out, &node->name) != Scan::record) {
                dv_freepath(vol->ctx, list);
                set_err(err, ENOENT);
                return nullptr;
            }
            if (dv_namecmp(&node->name, &out->name) == 0) break;
        }
        start_dir(dir, dir_start_cluster(vol, out));
    }
    dv_freepath(vol->ctx, list);
    return out;
}

} // namespace dorvex

using namespace dorvex;

extern "C" {

readfat_dir *readfat_opendir(readfat_volume *vol, const char *path, int *err) {
    readfat_dir *dir = free_dir_slot(vol);
    if (!dir) {
        set_err(err, ENFILE);
        return nullptr;
    }
    if (dv_isroot(vol->ctx, path)) return take_dir(dir, vol->root_cluster);
    dv_entry entry;
    if (!process_path(vol, path, &entry, err)) return nullptr;
    return take_dir(dir, dir_start_cluster(vol, &entry));
}

readfat_dir *readfat_opendir_entry(readfat_volume *vol, const dv_entry *entry, int *err) {
    readfat_dir *dir = free_dir_slot(vol);
    if (!dir) {
        set_err(err, ENFILE);
        return nullptr;
    }
    if (!entry) {
        set_err(err, EINVAL);
        return nullptr;
    }
    return take_dir(dir, dir_start_cluster(vol, entry));
}

const dv_entry *readfat_readdir(readfat_volume *vol, readfat_dir *dir, int *err) {
    if (!dir->in_use) {
        set_err(err, EINVAL);
        return nullptr;
    }
    switch (scan_one(vol, dir, &dir->entry)) {
    case Scan::record:
        return &dir->entry;
    case Scan::end:
        set_err(err, DV_E_ENDDIR);
        return nullptr;
    case Scan::io_error:
        break;
    }
    set_err(err, EIO);
    return nullptr;
}

void readfat_closedir(readfat_volume *, readfat_dir *dir) {
    dir->in_use = 0;
}

int readfat_stat(readfat_volume *vol, const char *path, dv_entry *out) {
    int code = 0;
    return process_path(vol, path, out, &code) ? 0 : code;
}

} // extern "C"
