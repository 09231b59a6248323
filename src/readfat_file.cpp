// File handles: sequential reads through a one-cluster buffer, seeks along the chain.
#include <cerrno>
#include <cstring>

#include "fat_chain.h"
#include "readfat_internal.h"

namespace dorvex {
namespace {

readfat_file *free_file_slot(readfat_volume *vol) {
    for (uint32_t i = 0; i < vol->max_files; ++i)
        if (!vol->files[i].in_use) return &vol->files[i];
    return nullptr;
}

void rewind_file(readfat_file *file) {
    file->loaded = 0;
    file->position = 0;
    file->cluster = file->first_cluster;
    guard_of(file).reset(file->first_cluster);
}

readfat_file *take_file(readfat_file *file, const dv_entry *entry) {
    file->in_use = 1;
    file->size = entry->size;
    file->first_cluster = entry->cluster;
    rewind_file(file);
    return file;
}

// The successor of the handle's cluster. A cluster the walk has already visited sets `*looped`
// and ends the chain like an end mark.
uint32_t step_chain(readfat_volume *vol, readfat_file *file, bool *looped) {
    *looped = false;
    // An end mark is no cluster: it has no FAT entry of its own.
    if (is_chain_end(file->cluster)) return file->cluster;
    const uint32_t next = next_cluster(vol, file->cluster);
    if (!is_chain_end(next) && !guard_of(file).step(file->cluster, next)) {
        *looped = true;
        return kChainEnd;
    }
    return next;
}

} // namespace
} // namespace dorvex

using namespace dorvex;

extern "C" {

readfat_file *readfat_open(readfat_volume *vol, const char *path, int *err) {
    readfat_file *file = free_file_slot(vol);
    if (!file) {
        set_err(err, ENFILE);
        return nullptr;
    }
    dv_entry entry;
    if (!process_path(vol, path, &entry, err)) return nullptr;
    return take_file(file, &entry);
}

readfat_file *readfat_open_entry(readfat_volume *vol, const dv_entry *entry, int *err) {
    readfat_file *file = free_file_slot(vol);
    if (!file) {
        set_err(err, ENFILE);
        return nullptr;
    }
    if (!entry) {
        set_err(err, EINVAL);
        return nullptr;
    }
    return take_file(file, entry);
}

void readfat_close(readfat_volume *, readfat_file *file) {
    file->in_use = 0;
}

uint32_t readfat_size(readfat_volume *, const readfat_file *file) {
    return file->size;
}

uint32_t readfat_tell(readfat_volume *, const readfat_file *file) {
    return file->position;
}

int readfat_seek(readfat_volume *vol, readfat_file *file, uint32_t pos, int *err) {
    if (pos > file->size) {
        set_err(err, EINVAL);
        return -1;
    }
    const uint32_t target = pos / vol->cluster_bytes;
    uint32_t index = file->position / vol->cluster_bytes;
    if (target == index) {
        file->position = pos;
        return 0;
    }
    if (target < index) {
        file->cluster = file->first_cluster;
        guard_of(file).reset(file->first_cluster);
        index = 0;
    }
    file->loaded = 0;
    while (index < target) {
        bool looped;
        const uint32_t next = step_chain(vol, file, &looped);
        if (looped || (is_chain_end(next) && pos % vol->cluster_bytes != 0)) {
            rewind_file(file);
            set_err(err, DV_E_BROKENCHAIN);
            return -1;
        }
        file->cluster = next;
        // A chain that ends exactly at a cluster boundary still reaches that position.
        if (is_chain_end(next)) break;
        ++index;
    }
    file->position = pos;
    return 0;
}

uint32_t readfat_read(readfat_volume *vol, readfat_file *file, void *dst, uint32_t len, int *err) {
    if (!file->in_use) {
        set_err(err, EINVAL);
        return 0;
    }
    const uint32_t rest = file->size - file->position;
    uint32_t left = len < rest ? len : rest;
    auto *out = static_cast<uint8_t *>(dst);
    uint32_t done = 0;
    while (left != 0) {
        const uint32_t off = file->position % vol->cluster_bytes;
        const uint32_t room = vol->cluster_bytes - off;
        const uint32_t chunk = left < room ? left : room;
        // A whole cluster goes straight into the caller's buffer: one copy fewer.
        const bool direct = !file->loaded && chunk == vol->cluster_bytes;
        if (!file->loaded) {
            // A chain shorter than the recorded size (or one that loops): never read the mark
            // as if it were a cluster.
            if (is_chain_end(file->cluster)) {
                set_err(err, DV_E_BROKENCHAIN);
                return done;
            }
            switch (read_cluster(vol, file->cluster, direct ? out : file->buf)) {
            case ReadResult::ok:
                break;
            case ReadResult::outside:
                set_err(err, DV_E_BROKENCHAIN);
                return done;
            case ReadResult::failed:
                set_err(err, EIO);
                return done;
            }
            file->loaded = !direct;
        }
        if (off + chunk == vol->cluster_bytes) {
            bool looped;
            file->cluster = step_chain(vol, file, &looped);
            file->loaded = 0;
        }
        file->position += chunk;
        if (!direct) std::memcpy(out, file->buf + off, chunk);
        out += chunk;
        done += chunk;
        left -= chunk;
    }
    return done;
}

} // extern "C"
