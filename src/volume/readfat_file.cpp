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

// The 32-bit mirrors of the 64-bit position and size saturate: never a wrapped value.
uint32_t saturate(uint64_t v) {
    return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
}

void set_position(readfat_file *file, uint64_t pos) {
    file->position64 = pos;
    file->position = saturate(pos);
}

void rewind_file(readfat_file *file) {
    file->loaded = 0;
    set_position(file, 0);
    file->cluster = file->first_cluster;
    file->prev_cluster = file->first_cluster;
    guard_of(file).reset(file->first_cluster);
}

readfat_file *take_file(readfat_volume *vol, readfat_file *file, const dv_entry *entry) {
    // Records filled before size64 existed hold their size in `size` alone.
    const uint64_t size = entry->size64 > entry->size ? entry->size64 : entry->size;
    file->size64 = size;
    file->size = saturate(size);
    file->valid64 = is_exfat(vol) && entry->valid64 < size ? entry->valid64 : size;
    file->first_cluster = entry_cluster(vol, entry);
    file->recovering = is_recovered(vol, entry) ? 1 : 0;
    // exFAT keeps no chain for contiguous files, nor for deleted ones (their clusters are
    // read on from the first, as The Sleuth Kit does).
    file->contiguous =
        is_exfat(vol) && ((entry->stream_flags & DV_STREAM_CONTIGUOUS) != 0 || file->recovering);
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
    if (file->contiguous) return from + 1u <= vol->cluster_count + 1u ? from + 1u : kChainEnd;
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

// Reads the run of `n` clusters from `first` that read_batch() moved the handle past; after a
// failure winds the handle back to `before` and on past the whole clusters that arrived.
uint32_t finish_batch(readfat_volume *vol, readfat_file *file, uint8_t *out, uint32_t first,
                      uint32_t n, const readfat_file &before, bool *failed) {
    const uint32_t cb = vol->cluster_bytes;
    uint32_t arrived = 0;
    if (read_run(vol, cluster_sector(vol, first), n * vol->sectors_per_cluster, out,
                 vol->data_start, vol->end_sector, &arrived) == ReadResult::ok) {
        set_position(file, file->position64 + uint64_t{n} * cb);
        return n * cb;
    }
    *failed = true;
    const uint32_t whole = arrived / vol->sectors_per_cluster;
    *file = before;
    for (uint32_t i = 0; i < whole; ++i) advance(vol, file);
    set_position(file, file->position64 + uint64_t{whole} * cb);
    return whole * cb;
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
    uint32_t n;
    if (file->contiguous) {
        // One run without a FAT: up to the data area's end.
        const uint32_t room = vol->cluster_count + 2u - first;
        n = limit < room ? limit : room;
        file->cluster = first + n <= vol->cluster_count + 1u ? first + n : kChainEnd;
        file->prev_cluster = first + n - 1;
        return finish_batch(vol, file, out, first, n, before, failed);
    }
    const uint32_t links = successive_links(vol, first, limit, &stop);
    ChainGuard guard = guard_of(file);
    const uint32_t moved = guard.step_run(first, links);
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
    return finish_batch(vol, file, out, first, n, before, failed);
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

int file_seek(readfat_volume *vol, readfat_file *file, uint64_t pos, int *err) {
    if (pos > file->size64) {
        set_err(err, EINVAL);
        return -1;
    }
    const uint64_t target = pos / vol->cluster_bytes;
    uint64_t index = file->position64 / vol->cluster_bytes;
    // Reads past the valid data length give zeros without following the clusters: the
    // handle's cluster no longer goes with its position there.
    const bool untracked = file->position64 > file->valid64 ||
                           (file->position64 == file->valid64 && file->valid64 < file->size64);
    if (target == index && !untracked) {
        set_position(file, pos);
        return 0;
    }
    if (file->contiguous) {
        // One run: the cluster follows from the position, the FAT is not read.
        file->loaded = 0;
        file->cluster = target <= vol->cluster_count + 1u - file->first_cluster
                            ? file->first_cluster + static_cast<uint32_t>(target)
                            : kChainEnd;
        file->prev_cluster = file->cluster - 1u;
        set_position(file, pos);
        return 0;
    }
    // A FAT sector that cannot be read leaves the handle as it was, for a retry.
    const readfat_file before = *file;
    if (target < index || untracked) {
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
    set_position(file, pos);
    return 0;
}

uint32_t file_read(readfat_volume *vol, readfat_file *file, void *dst, uint32_t len, int *err) {
    const uint64_t rest = file->size64 - file->position64;
    const uint32_t wanted = len < rest ? len : static_cast<uint32_t>(rest);
    // Up to the valid data length from the clusters, zeros after it.
    const uint64_t valid = file->position64 < file->valid64 ? file->valid64 - file->position64 : 0;
    uint32_t left = wanted < valid ? wanted : static_cast<uint32_t>(valid);
    const uint32_t zeros = wanted - left;
    auto *out = static_cast<uint8_t *>(dst);
    uint32_t done = 0;
    while (left != 0) {
        const uint32_t off = static_cast<uint32_t>(file->position64 % vol->cluster_bytes);
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
            // exFAT: a recovered cluster that the bitmap gives to something else now.
            if (file->recovering && file->contiguous) {
                if (exfat_cluster_in_use(vol, file->cluster) != 0) file->damaged = 1;
            } else if (file->recovering && file->cluster == file->first_cluster) {
                // A deleted file whose first cluster is in use again has lost its start.
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
        set_position(file, file->position64 + chunk);
        if (!direct) std::memcpy(out, file->buf + off, chunk);
        out += chunk;
        done += chunk;
        left -= chunk;
    }
    if (zeros != 0) {
        std::memset(out, 0, zeros);
        set_position(file, file->position64 + zeros);
        done += zeros;
    }
    return done;
}

} // namespace dorvex
