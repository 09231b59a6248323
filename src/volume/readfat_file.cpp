// File handles: sequential reads through a one-cluster buffer, seeks along the chain.
#include <cerrno>
#include <cstring>

#include "volume/fat_chain.h"
#include "volume/readfat_internal.h"

namespace dorvex {
namespace {

// Readers that transfer by DMA need sector-aligned buffers; the arena's buffers are, a
// caller's buffer may not be.
constexpr uintptr_t kReaderAlign = 512;

void rewind_file(readfat_file *file) {
    file->loaded = 0;
    file->position = 0;
    file->cluster = file->first_cluster;
    file->prev_cluster = file->first_cluster;
    guard_of(file).reset(file->first_cluster);
}

readfat_file *take_file(readfat_volume *vol, readfat_file *file, const dv_entry *entry) {
    file->size = entry->size;
    file->first_cluster = entry_cluster(vol, entry);
    file->recovering = is_recovered(vol, entry) ? 1 : 0;
    file->damaged = 0;
    file->stale = 0;
    rewind_file(file);
    claim(vol->files, file_stride(vol), file);
    return file;
}

readfat_file *free_file(readfat_volume *vol) {
    return free_slot(vol->files, file_stride(vol), vol->max_files);
}

// Moves the handle's cluster to its successor: a cluster, an end mark, kChainLoop or
// kFatUnreadable. An end mark has no successor of its own.
// A deleted file's chain is gone: its successor is the next free cluster instead.
uint32_t successor(readfat_volume *vol, readfat_file *file, uint32_t from) {
    if (!file->recovering) return guard_of(file).next(vol, from);
    bool skipped = false;
    const uint32_t next = recovery_next(vol, from, true, &skipped);
    if (skipped) file->damaged = 1;
    return next;
}

uint32_t advance(readfat_volume *vol, readfat_file *file) {
    if (is_chain_end(file->cluster)) return file->cluster;
    file->prev_cluster = file->cluster;
    file->cluster = successor(vol, file, file->cluster);
    return file->cluster;
}

// Retries the FAT lookup that failed when the handle last moved. False while it still fails.
bool settle(readfat_volume *vol, readfat_file *file) {
    if (file->cluster != kFatUnreadable) return true;
    file->cluster = successor(vol, file, file->prev_cluster);
    return file->cluster != kFatUnreadable;
}

// The most one batched request asks for: a few round trips per MiB on a slow bus, little
// enough that a caller's 64 KiB reads already batch fully.
constexpr uint32_t kBatchBytes = 256 * 1024;

bool in_data_area(const readfat_volume *vol, uint32_t cluster) {
    return cluster >= 2u && cluster - 2u < vol->cluster_count;
}

// Reads the handle's cluster and those that follow it on disk, as many whole clusters as
// `left` holds (within kBatchBytes), in one run of requests straight into `out`, and moves
// the handle past them. Returns the bytes read; after a failure (`*failed`), the handle
// stands after the whole clusters that arrived, so the next read retries the first one
// missing.
uint32_t read_batch(readfat_volume *vol, readfat_file *file, uint8_t *out, uint32_t left,
                    bool *failed) {
    const uint32_t cb = vol->cluster_bytes;
    const uint32_t most = kBatchBytes / cb;
    const uint32_t limit = left / cb < most ? left / cb : most;
    // The walk moves the handle (and its cycle guard) for real; a failed read winds it back.
    // It ends as `n` calls of advance() would: at the link after the run's last cluster.
    const readfat_file before = *file;
    const uint32_t first = file->cluster;
    uint32_t stop = 0;
    const uint32_t links = successive_links(vol, first, limit, &stop);
    ChainGuard guard = guard_of(file);
    const uint32_t moved = guard.step_run(first, links);
    uint32_t n;
    if (moved < links) {
        n = moved + 1;
        file->cluster = kChainLoop;
    } else if (links == limit) {
        n = limit;
        file->cluster = first + limit;
    } else {
        n = links + 1;
        file->cluster = is_chain_end(stop) || guard.step(first + links, stop) ? stop : kChainLoop;
    }
    file->prev_cluster = first + n - 1;
    uint32_t arrived = 0;
    if (read_run(vol, cluster_sector(vol, first), n * vol->sectors_per_cluster, out,
                 vol->data_start, vol->end_sector, &arrived) == ReadResult::ok) {
        file->position += n * cb;
        return n * cb;
    }
    *failed = true;
    const uint32_t whole = arrived / vol->sectors_per_cluster;
    *file = before;
    for (uint32_t i = 0; i < whole; ++i) advance(vol, file);
    file->position += whole * cb;
    return whole * cb;
}

} // namespace

readfat_file *file_open_path(readfat_volume *vol, const char *path, int *err) {
    readfat_file *file = free_file(vol);
    if (!file) {
        set_err(err, ENFILE);
        return nullptr;
    }
    dv_entry entry;
    if (!process_path(vol, path, &entry, err)) return nullptr;
    return take_file(vol, file, &entry);
}

void forget_chain(readfat_volume *vol, uint32_t first_cluster) {
    const size_t records = DV_HANDLE_VIEWS * file_stride(vol);
    for (size_t i = 0; i < records; ++i) {
        readfat_file &f = vol->files[i];
        if (f.in_use && !f.recovering && f.first_cluster == first_cluster) f.stale = 1;
    }
}

readfat_file *file_open_entry(readfat_volume *vol, const dv_entry *entry, int *err) {
    readfat_file *file = free_file(vol);
    if (!file) {
        set_err(err, ENFILE);
        return nullptr;
    }
    return take_file(vol, file, entry);
}

int file_seek(readfat_volume *vol, readfat_file *file, uint32_t pos, int *err) {
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
    // A FAT sector that cannot be read leaves the handle as it was, for a retry.
    const readfat_file before = *file;
    if (target < index) {
        file->cluster = file->first_cluster;
        guard_of(file).reset(file->first_cluster);
        index = 0;
    }
    file->loaded = 0;
    while (index < target) {
        if (!settle(vol, file) || advance(vol, file) == kFatUnreadable) {
            *file = before;
            set_err(err, EIO);
            return -1;
        }
        // A chain that ends exactly at a cluster boundary still reaches that position; one
        // that loops reaches nothing past the loop.
        if (is_chain_end(file->cluster)) {
            if (file->cluster == kChainLoop || pos % vol->cluster_bytes != 0) {
                rewind_file(file);
                set_err(err, DV_E_BROKENCHAIN);
                return -1;
            }
            break;
        }
        ++index;
    }
    file->position = pos;
    return 0;
}

uint32_t file_read(readfat_volume *vol, readfat_file *file, void *dst, uint32_t len, int *err) {
    const uint32_t rest = file->size - file->position;
    uint32_t left = len < rest ? len : rest;
    auto *out = static_cast<uint8_t *>(dst);
    uint32_t done = 0;
    while (left != 0) {
        const uint32_t off = file->position % vol->cluster_bytes;
        const uint32_t room = vol->cluster_bytes - off;
        const uint32_t chunk = left < room ? left : room;
        // A whole cluster goes straight into an aligned caller's buffer: one copy fewer.
        const bool direct = !file->loaded && chunk == vol->cluster_bytes &&
                            reinterpret_cast<uintptr_t>(out) % kReaderAlign == 0;
        if (!file->loaded) {
            if (!settle(vol, file)) {
                set_err(err, EIO);
                return done;
            }
            // A chain shorter than the recorded size (or one that loops): never read the mark
            // as if it were a cluster. A recovery that runs out of data area is cut short.
            if (is_chain_end(file->cluster)) {
                set_err(err, file->recovering ? DV_E_EOF : DV_E_BROKENCHAIN);
                return done;
            }
            // A run needs room for two clusters at least; one goes the usual way.
            if (direct && (vol->flags & READFAT_FLAG_BATCH) != 0 && !file->recovering &&
                left / vol->cluster_bytes >= 2 && kBatchBytes / vol->cluster_bytes >= 2) {
                if (!in_data_area(vol, file->cluster)) {
                    set_err(err, DV_E_BROKENCHAIN);
                    return done;
                }
                bool failed = false;
                const uint32_t got = read_batch(vol, file, out, left, &failed);
                out += got;
                done += got;
                left -= got;
                if (failed) {
                    set_err(err, EIO);
                    return done;
                }
                continue;
            }
            // A deleted file whose first cluster is in use again has lost its start.
            if (file->recovering && file->cluster == file->first_cluster) {
                const uint32_t v = next_cluster(vol, file->cluster);
                if (v == kFatUnreadable) {
                    set_err(err, EIO);
                    return done;
                }
                if (v != 0) file->damaged = 1;
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
            advance(vol, file);
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

} // namespace dorvex
