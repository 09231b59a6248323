// File extents: a file's runs of contiguous clusters, found by walking its chain through the
// FAT cache with the bounds and the cycle guard of reads. Reads no data, allocates nothing.
#include <cerrno>
#include <cstdint>

#include "volume/fat_chain.h"
#include "volume/readfat_internal.h"

namespace dorvex {
namespace {

bool in_data_area(const readfat_volume *vol, uint32_t cluster) {
    return cluster >= 2u && cluster - 2u < vol->cluster_count;
}

// How many links from that of `from` on (at most `most`) each lead to the next cluster,
// with `*stop` the link that ended the count, as successive_links() gives them. That one
// reads the FAT ahead, several sectors a request: only READFAT_FLAG_BATCH allows those.
uint32_t contiguous_links(readfat_volume *vol, uint32_t from, uint32_t most, uint32_t *stop) {
    if ((vol->flags & READFAT_FLAG_BATCH) != 0) return successive_links(vol, from, most, stop);
    const uint32_t last = vol->cluster_count + 1;
    for (uint32_t k = 0; k < most; ++k) {
        const uint32_t v = next_cluster(vol, from + k);
        if (v != from + k + 1 || v > last) {
            *stop = v;
            return k;
        }
    }
    return most;
}

// Gathers clusters into runs and hands each to the caller's function.
class RunSink {
  public:
    RunSink(const readfat_volume *vol, uint64_t size, readfat_extent_fn fn, void *data)
        : vol_(vol), size_(size), fn_(fn), data_(data) {}

    // Bytes of the file not yet covered by a run.
    uint64_t left() const { return size_ - offset_; }

    // Reports `n` clusters from `first` on as one run (in pieces below 2 GiB, so that its
    // 32-bit fields hold each); false when the function stops.
    bool emit(uint32_t first, uint32_t n, uint32_t flags) {
        const uint32_t piece = (1u << 31) / vol_->cluster_bytes - 1u;
        while (n > piece) {
            if (!emit_piece(first, piece, flags)) return false;
            first += piece;
            n -= piece;
        }
        return emit_piece(first, n, flags);
    }

    // The FAT12/16 root region, which no FAT entry maps.
    bool emit_region(uint64_t sector, uint32_t sectors) {
        readfat_extent x{};
        x.sector = sector;
        x.bytes = sectors * vol_->sector_size;
        x.sectors = sectors;
        return fn_(data_, &x) == 0;
    }

  private:
    bool emit_piece(uint32_t first, uint32_t n, uint32_t flags) {
        const uint64_t whole = uint64_t{n} * vol_->cluster_bytes;
        readfat_extent x{};
        x.sector = cluster_sector(vol_, first);
        x.offset = offset_ > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(offset_);
        x.offset64 = offset_;
        x.bytes = static_cast<uint32_t>(whole < left() ? whole : left());
        x.sectors = n * vol_->sectors_per_cluster;
        x.clusters = n;
        x.cluster = first;
        x.flags = flags;
        offset_ += x.bytes;
        return fn_(data_, &x) == 0;
    }

    const readfat_volume *vol_;
    uint64_t size_;
    uint64_t offset_ = 0;
    readfat_extent_fn fn_;
    void *data_;
};

// What a walk ends with: 0 when every run was reported, kStopped when the caller's function
// stopped it, else a code (errno values are positive, DV_E_* far below -1).
constexpr int kStopped = -1;

// A live chain: runs of links that each lead to the next cluster number, counted a FAT
// sector at a time, no further than `sink.left()` needs.
int walk_chain(readfat_volume *vol, uint32_t first, RunSink &sink) {
    uint32_t mark = 0, power = 0, steps = 0, start = 0;
    ChainGuard guard{start, mark, power, steps};
    guard.reset(first);
    const uint32_t cb = vol->cluster_bytes;
    uint32_t c = first;
    while (sink.left() != 0) {
        if (!in_data_area(vol, c)) return DV_E_BROKENCHAIN;
        // The links the rest of the file needs after this cluster: never past its last.
        const uint64_t need = (sink.left() + cb - 1) / cb - 1;
        const uint32_t most =
            need < vol->cluster_count ? static_cast<uint32_t>(need) : vol->cluster_count;
        uint32_t stop = 0;
        const uint32_t links = contiguous_links(vol, c, most, &stop);
        const uint32_t moved = guard.step_run(c, links);
        if (moved < links) {
            // The run came back to a cluster already reported: the clusters before it are
            // the file's, as readfat_read reads them.
            if (!sink.emit(c, moved + 1, 0)) return kStopped;
            return DV_E_BROKENCHAIN;
        }
        if (!sink.emit(c, links + 1, 0)) return kStopped;
        if (sink.left() == 0) return 0;
        // `stop` is unset: no run inside the data area is longer than it.
        if (links == most) return DV_E_BROKENCHAIN;
        const uint32_t last = c + links;
        if (stop == kFatUnreadable) return EIO;
        if (is_chain_end(stop) || !guard.step(last, stop)) return DV_E_BROKENCHAIN;
        c = stop;
    }
    return 0;
}

// A directory's chain, to its end mark: the same walk with no size to stop at.
int walk_dir_chain(readfat_volume *vol, uint32_t first, RunSink &sink) {
    uint32_t mark = 0, power = 0, steps = 0, start = 0;
    ChainGuard guard{start, mark, power, steps};
    guard.reset(first);
    uint32_t c = first;
    for (;;) {
        if (!in_data_area(vol, c)) return DV_E_BROKENCHAIN;
        uint32_t stop = kChainEnd;
        const uint32_t links = contiguous_links(vol, c, vol->cluster_count, &stop);
        const uint32_t moved = guard.step_run(c, links);
        const uint32_t n = moved + 1;
        // Offsets are 32-bit: no directory is that long.
        if (uint64_t{n} * vol->cluster_bytes > sink.left()) return DV_E_BROKENCHAIN;
        if (!sink.emit(c, n, 0)) return kStopped;
        if (moved < links) return DV_E_BROKENCHAIN;
        const uint32_t last = c + links;
        if (stop == kFatUnreadable) return EIO;
        if (is_chain_end(stop)) return 0;
        if (!guard.step(last, stop)) return DV_E_BROKENCHAIN;
        c = stop;
    }
}

// A deleted file: its first cluster, then the clusters recovery reads after it (the next
// ones the FAT marks free). The walk only moves up, so it needs no cycle guard.
int walk_recovery(readfat_volume *vol, uint32_t first, RunSink &sink) {
    if (!in_data_area(vol, first)) return DV_E_BROKENCHAIN;
    const uint32_t reuse = next_cluster(vol, first);
    if (reuse == kFatUnreadable) return EIO;
    uint32_t flags = READFAT_EXTENT_RECOVERED | (reuse != 0 ? READFAT_EXTENT_DAMAGED : 0u);
    const uint32_t cb = vol->cluster_bytes;
    uint32_t run = first, n = 1;
    for (;;) {
        if (uint64_t{n} * cb >= sink.left()) break;
        bool skipped = false;
        const uint32_t next = recovery_next(vol, run + n - 1, true, &skipped);
        if (next == kFatUnreadable || is_chain_end(next)) {
            if (!sink.emit(run, n, flags)) return kStopped;
            return next == kFatUnreadable ? EIO : DV_E_EOF;
        }
        if (!skipped) {
            ++n;
            continue;
        }
        if (!sink.emit(run, n, flags)) return kStopped;
        flags = READFAT_EXTENT_RECOVERED | READFAT_EXTENT_DAMAGED;
        run = next;
        n = 1;
    }
    return sink.emit(run, n, flags) ? 0 : kStopped;
}

// A deleted directory: its first cluster, while the FAT still marks it free.
int walk_deleted_dir(readfat_volume *vol, uint32_t first, RunSink &sink) {
    if (!in_data_area(vol, first)) return 0;
    const uint32_t v = next_cluster(vol, first);
    if (v == kFatUnreadable) return EIO;
    if (v != 0) return 0;
    return sink.emit(first, 1, READFAT_EXTENT_RECOVERED) ? 0 : kStopped;
}

// exFAT without a chain (and every deleted exFAT file or directory, read as one run from its
// first cluster): `clusters` from `first`, cut at the data area's end. Recovered runs are
// damaged when the bitmap gives a cluster of them to something else now.
int walk_exfat_run(readfat_volume *vol, uint32_t first, uint64_t clusters, bool recovered,
                   RunSink &sink) {
    if (clusters == 0) return 0;
    if (!in_data_area(vol, first)) return recovered ? 0 : DV_E_BROKENCHAIN;
    const uint64_t room = vol->cluster_count + 2u - uint64_t{first};
    const uint32_t n = static_cast<uint32_t>(clusters < room ? clusters : room);
    uint32_t flags = 0;
    if (recovered) {
        flags = READFAT_EXTENT_RECOVERED;
        for (uint32_t i = 0; i < n; ++i)
            if (exfat_cluster_in_use(vol, first + i) == 1) {
                flags |= READFAT_EXTENT_DAMAGED;
                break;
            }
    }
    if (!sink.emit(first, n, flags)) return kStopped;
    if (n == clusters) return 0;
    return recovered ? DV_E_EOF : DV_E_BROKENCHAIN;
}

int walk_exfat(readfat_volume *vol, const dv_entry *entry, readfat_extent_fn fn, void *data) {
    const bool dir = (entry->attr & DV_ATTR_DIRECTORY) != 0;
    const bool recovered = is_recovered(vol, entry);
    const uint64_t size = entry->size64 > entry->size ? entry->size64 : entry->size;
    RunSink sink(vol, dir ? UINT32_MAX : size, fn, data);
    const uint64_t clusters = (size + vol->cluster_bytes - 1u) / vol->cluster_bytes;
    if (recovered || (entry->stream_flags & DV_STREAM_CONTIGUOUS) != 0) {
        if (dir && recovered && exfat_cluster_in_use(vol, entry->cluster) == 1) return 0;
        return walk_exfat_run(vol, entry->cluster, dir && clusters == 0 ? 1 : clusters, recovered,
                              sink);
    }
    if (dir) return walk_dir_chain(vol, entry->cluster, sink);
    return size == 0 ? 0 : walk_chain(vol, entry->cluster, sink);
}

int walk_extents(readfat_volume *vol, const dv_entry *entry, readfat_extent_fn fn, void *data) {
    if (is_exfat(vol)) return walk_exfat(vol, entry, fn, data);
    const bool dir = (entry->attr & DV_ATTR_DIRECTORY) != 0;
    const bool recovered = is_recovered(vol, entry);
    if (dir) {
        RunSink sink(vol, UINT32_MAX, fn, data);
        if (recovered) return walk_deleted_dir(vol, entry_cluster(vol, entry), sink);
        const uint32_t first = dir_start_cluster(vol, entry);
        if (first == kRootRegion)
            return sink.emit_region(vol->root_start, vol->root_sectors) ? 0 : kStopped;
        return walk_dir_chain(vol, first, sink);
    }
    RunSink sink(vol, entry->size, fn, data);
    if (entry->size == 0) return 0;
    const uint32_t first = entry_cluster(vol, entry);
    return recovered ? walk_recovery(vol, first, sink) : walk_chain(vol, first, sink);
}

// Fills the caller's array and counts every run.
struct ArrayFill {
    readfat_extent *out;
    uint32_t room;
    uint32_t count;
};

int fill_array(void *data, const readfat_extent *x) {
    auto *a = static_cast<ArrayFill *>(data);
    if (a->count < a->room) a->out[a->count] = *x;
    ++a->count;
    return 0;
}

} // namespace
} // namespace dorvex

using namespace dorvex;

extern "C" {

int readfat_extents_each(readfat_volume *vol, const dv_entry *entry, readfat_extent_fn fn,
                         void *fn_data, int *err) {
    if (!vol || !entry || !fn) {
        set_err(err, EINVAL);
        return -1;
    }
    const int rc = walk_extents(vol, entry, fn, fn_data);
    if (rc == 0) return 0;
    if (rc == kStopped) return 1;
    set_err(err, rc);
    return -1;
}

int readfat_extents(readfat_volume *vol, const dv_entry *entry, readfat_extent *out, uint32_t room,
                    uint32_t *count, int *err) {
    if (!vol || !entry || !count || (!out && room != 0)) {
        set_err(err, EINVAL);
        return -1;
    }
    ArrayFill a{out, room, 0};
    const int rc = walk_extents(vol, entry, fill_array, &a);
    *count = a.count;
    if (rc == 0) return 0;
    set_err(err, rc);
    return -1;
}

uint64_t readfat_cluster_sector(const readfat_volume *vol, uint32_t cluster) {
    if (!vol || cluster < 2) return 0;
    const uint32_t bad = vol->fat_type == 12 ? 0xFF7u : vol->fat_type == 16 ? 0xFFF7u : 0x0FFFFFF7u;
    return cluster >= bad ? 0 : cluster_sector(vol, cluster);
}

} // extern "C"
