// Cluster chains of a mounted volume: the one place that calls the sector reader, the
// next-cluster lookup through the FAT cache, cluster reads, and the cycle guard that every
// chain walk uses.
#pragma once

#include <cstdint>

#include "dorvex/readfat.h"

namespace dorvex {

// FAT32 entries carry 28 bits; values from here up end a chain (FAT12/16 end marks map here).
constexpr uint32_t kFatMask = 0x0FFFFFFFu;
constexpr uint32_t kChainEnd = 0x0FFFFFF8u;
// Above every masked FAT value, so never read from a FAT: a walk's own verdicts. Both end
// the chain where they stand, but a caller reports them differently from an end mark.
constexpr uint32_t kChainLoop = 0xFFFFFFFEu;     // the chain came back to a visited cluster
constexpr uint32_t kFatUnreadable = 0xFFFFFFFFu; // the FAT sector could not be read

inline bool is_chain_end(uint32_t cluster) {
    return cluster >= kChainEnd;
}

enum class ReadResult { ok, outside, failed };

// Calls the sector reader for `count` sectors at `sector`, but only when the whole request
// lies inside [lo, hi); otherwise returns -1 without calling it. Returns the reader's result.
int32_t read_sectors(const readfat_volume *vol, void *buf, uint64_t sector, uint32_t count,
                     uint64_t lo, uint64_t hi);

// The FAT entry of `cluster`: FAT32 entries masked to 28 bits, FAT12/16 end marks (0xFF8 up,
// 0xFFF8 up) as kChainEnd; kChainEnd too when its FAT sector lies past the first FAT,
// kFatUnreadable when the reader fails it (a later call asks the reader again). Bad-cluster
// marks (0xFF7, 0xFFF7, 0x0FFFFFF7) come back as they are: they lie outside every data area.
uint32_t next_cluster(readfat_volume *vol, uint32_t cluster);

// How many links, from that of `from` on and at most `most`, each lead to the next cluster
// number inside the data area: the links a run of contiguous clusters walks, looked up
// through the cache in the order next_cluster() would look them up, but each FAT sector
// scanned once. When fewer than `most`, `*stop` receives the link that ended the count, as
// next_cluster() gives it.
uint32_t successive_links(readfat_volume *vol, uint32_t from, uint32_t most, uint32_t *stop);

// Absolute number of the first sector of `cluster` (2 .. cluster_count + 1).
uint64_t cluster_sector(const readfat_volume *vol, uint32_t cluster);

// Reads `count` sectors at `sector`, all inside [lo, hi), into `buf`, accepting short reads
// of whole logical sectors. `*done` (when not null) receives the sectors that arrived, also
// when a later request of the run fails.
ReadResult read_run(const readfat_volume *vol, uint64_t sector, uint32_t count, uint8_t *buf,
                    uint64_t lo, uint64_t hi, uint32_t *done = nullptr);

// Reads one whole cluster into `buf` (cluster_bytes), accepting short reads. `outside` means
// the cluster is not in the data area and the reader was not asked.
ReadResult read_cluster(const readfat_volume *vol, uint32_t cluster, uint8_t *buf);

// The cluster a recovery of a deleted file or directory reads after `from`: the next one
// the FAT marks free. With `skip`, clusters in use by something else are passed over (and
// `*skipped` set); without, the first one ends the walk. kChainEnd past the data area (or
// at that cluster), kFatUnreadable when a FAT sector cannot be read. The walk only ever
// moves up, so it needs no cycle guard.
uint32_t recovery_next(readfat_volume *vol, uint32_t from, bool skip, bool *skipped);

// Brent's cycle detection over the clusters a walk visits: O(1) state, and a chain that
// loops is caught after at most a few passes over its cycle. The two usual ways a damaged
// chain closes on itself, back to its first cluster or a cluster pointing at itself, are
// caught at once.
struct ChainGuard {
    uint32_t &first;
    uint32_t &mark;
    uint32_t &power;
    uint32_t &steps;

    // Starts a walk at `start`.
    void reset(uint32_t start) {
        first = start;
        mark = start;
        power = 2;
        steps = 0;
    }
    // The successor of `from` on the volume: its FAT entry, kChainLoop when that entry leads
    // back to a cluster the walk has visited, kFatUnreadable when the FAT cannot be read.
    uint32_t next(readfat_volume *vol, uint32_t from) {
        const uint32_t n = next_cluster(vol, from);
        if (is_chain_end(n)) return n;
        return step(from, n) ? n : kChainLoop;
    }
    // Records the walk's move from `from` to `cluster`; false when the chain has come back
    // to a cluster it already visited.
    bool step(uint32_t from, uint32_t cluster) {
        if (cluster == from || cluster == mark || cluster == first) return false;
        if (++steps == power) {
            mark = cluster;
            power <<= 1;
            steps = 0;
        }
        return true;
    }
    // Records `count` moves along the contiguous clusters after `from` (from + 1, from + 2,
    // ...) as as many step() calls would, a stretch between two marks at a time. Returns the
    // moves that succeed: `count`, or fewer when the run reaches a cluster already visited.
    uint32_t step_run(uint32_t from, uint32_t count) {
        uint32_t done = 0;
        while (done < count) {
            const uint32_t left = count - done;
            const uint32_t span = left < power - steps ? left : power - steps;
            const uint32_t lo = from + done + 1;
            uint32_t hit = span;
            if (mark - lo < hit) hit = mark - lo;
            if (first - lo < hit) hit = first - lo;
            steps += hit;
            done += hit;
            if (hit < span) return done;
            if (steps == power) {
                mark = from + done;
                power <<= 1;
                steps = 0;
            }
        }
        return count;
    }
};

inline ChainGuard guard_of(readfat_dir *dir) {
    return ChainGuard{dir->cycle_first, dir->cycle_mark, dir->cycle_power, dir->cycle_steps};
}
inline ChainGuard guard_of(readfat_file *file) {
    return ChainGuard{file->first_cluster, file->cycle_mark, file->cycle_power, file->cycle_steps};
}

} // namespace dorvex
