// Directory handles and path lookup: the scan of a directory's clusters through a window
// that keeps long-name runs whole across cluster boundaries.
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "codec/dirent_internal.h"
#include "volume/fat_chain.h"
#include "volume/readfat_internal.h"

namespace dorvex {
namespace {

// How a scan for one record ended: with the record, at the end of the directory, at a
// long-name run the entry reader refuses (nothing after it can be read), or on a read error.
// exFAT adds `damaged`: a set that fails its checks, after which the listing goes on.
enum class Scan { record, end, refused, io_error, damaged };

// readfat_dir.recovering: a deleted directory read by the recovery rules, or one whose chain
// still stands (see reads_by_chain), read along it; the records of both are marked deleted.
constexpr uint8_t kByRecovery = 1;
constexpr uint8_t kByChain = 2;

void start_dir(readfat_dir *dir, uint32_t first, uint8_t recovering = 0) {
    dir->remaining = 0;
    dir->next_cluster = first;
    dir->loaded_cluster = first;
    dir->end_code = 0;
    dir->recovering = recovering;
    dir->root_pos = 0;
    dir->window_end = 0;
    dir->window_valid = 0;
    dir->contiguous = 0;
    dir->run_left = dir->run_clusters = 0;
    dir->orphans = dir->orphans_shown = 0;
    dir->orphan_next = 0;
    guard_of(dir).reset(first);
}

// Starts the directory that `entry` names: its first cluster, and on exFAT the one run of
// clusters it lies in when it keeps no FAT chain (deleted directories too, as recovery reads
// them), or nothing at all when its first cluster is 0 or (deleted) in use again.
void start_dir_entry(readfat_volume *vol, readfat_dir *dir, const dv_entry *entry) {
    const bool recovering = is_recovered(vol, entry);
    if (is_orphans_entry(vol, entry)) {
        // /$Orphans: the orphan clusters in table order, read as a deleted directory's.
        start_dir(dir, orphan_cluster(vol, 0), kByRecovery);
        dir->orphans = 1;
        dir->orphan_next = 1;
        return;
    }
    const bool by_chain =
        !recovering && entry->deleted != 0 && (vol->ctx->flags & DV_FLAG_DELETED) != 0;
    start_dir(dir, dir_start_cluster(vol, entry),
              recovering ? kByRecovery
              : by_chain ? kByChain
                         : 0);
    if (!is_exfat(vol)) return;
    if (entry->cluster == 0 || (recovering && exfat_cluster_in_use(vol, entry->cluster) == 1)) {
        // Empty: seeks start it over as empty too.
        start_dir(dir, kChainEnd, recovering ? kByRecovery : 0);
        return;
    }
    if ((entry->stream_flags & DV_STREAM_CONTIGUOUS) == 0 && !recovering) return;
    const uint64_t size = entry->size64 > entry->size ? entry->size64 : entry->size;
    const uint64_t clusters = (size + vol->cluster_bytes - 1u) / vol->cluster_bytes;
    dir->contiguous = 1;
    dir->run_clusters = static_cast<uint32_t>(clusters == 0                   ? 1
                                              : clusters < vol->cluster_count ? clusters
                                                                              : vol->cluster_count);
    dir->run_left = dir->run_clusters - 1u;
}

// Nothing is left to load: the chain, or the fixed root region, is used up.
bool exhausted(const readfat_dir *dir) {
    return is_chain_end(dir->next_cluster) && dir->next_cluster != kRootRegion;
}

// Whether the handle loads runs of clusters: one the caller opened, on a volume mounted with
// READFAT_FLAG_BATCH. Lookups and deleted directories load one cluster at a time.
bool batched(const readfat_volume *vol, const readfat_dir *dir) {
    if (dir->recovering || dir_run_clusters(vol) == 1) return false;
    const size_t stride = dir_stride(vol);
    // Records outside the table (the orphan search's own) have one-cluster windows.
    const ptrdiff_t i = record_index(vol->dirs, DV_HANDLE_VIEWS * stride, dir);
    return i >= 0 && static_cast<size_t>(i) % stride != vol->max_dirs;
}

// Moves the `keep` bytes at the window's end so that they end at `to`.
void move_carry(readfat_dir *dir, uint8_t *to, size_t keep) {
    std::memmove(to - keep, dir->buf_end - keep, keep);
}

// Reads up to `most` sectors of the root region into the window's end, the `keep` bytes
// there carried in front. After a failure the window holds the whole pieces that arrived;
// when none did, the first half of the run is tried, down to one piece.
bool load_root(readfat_volume *vol, readfat_dir *dir, size_t keep, uint32_t most) {
    const uint32_t spc = vol->sectors_per_cluster;
    const uint32_t left = vol->root_sectors - dir->root_pos;
    uint32_t sectors = left < most ? left : most;
    uint8_t *at = dir->buf_end - size_t{sectors} * vol->sector_size;
    move_carry(dir, at, keep);
    uint32_t arrived = 0;
    if (read_run(vol, vol->root_start + dir->root_pos, sectors, at, vol->root_start,
                 vol->root_start + vol->root_sectors, &arrived) != ReadResult::ok) {
        // Pieces keep starting at cluster-sized steps, as a seek expects them.
        const uint32_t whole = arrived / spc * spc;
        if (whole == 0) {
            std::memmove(dir->buf_end - keep, at - keep, keep);
            dir->window_valid = 0;
            const uint32_t pieces = (sectors + spc - 1) / spc;
            return pieces > 1 && load_root(vol, dir, keep, pieces / 2 * spc);
        }
        const size_t bytes = size_t{whole} * vol->sector_size;
        std::memmove(dir->buf_end - bytes - keep, at - keep, keep + bytes);
        sectors = whole;
    }
    const uint32_t bytes = sectors * vol->sector_size;
    dir->root_pos += sectors;
    dir->window_end += bytes / DV_DIRENT_SIZE;
    dir->window_valid = 1;
    if (dir->root_pos == vol->root_sectors) {
        // Past the entry count the last sector holds no entries: they read as end marks.
        const uint32_t tail =
            vol->root_sectors * vol->sector_size - vol->root_entries * DV_DIRENT_SIZE;
        std::memset(dir->buf_end - tail, 0, tail);
        dir->next_cluster = kChainEnd;
    }
    dir->remaining += bytes / DV_DIRENT_SIZE;
    return true;
}

// The cluster after `from`: along the chain, or for a deleted directory the next one up
// (load_recovered() looks at the FAT and judges what it holds).
uint32_t successor(readfat_volume *vol, readfat_dir *dir, uint32_t from) {
    if (dir->contiguous) {
        if (dir->run_left == 0 || from - 1u >= vol->cluster_count) return kChainEnd;
        --dir->run_left;
        return from + 1u;
    }
    if (dir->recovering != kByRecovery) return guard_of(dir).next(vol, from);
    return from + 1u;
}

// After a FAT sector failed to read, looks up the loaded cluster's successor again. False
// while it still cannot be read; the handle then stays as it is, so a later call retries.
bool resolve_next(readfat_volume *vol, readfat_dir *dir) {
    if (dir->next_cluster != kFatUnreadable) return true;
    dir->next_cluster = successor(vol, dir, dir->loaded_cluster);
    return dir->next_cluster != kFatUnreadable;
}

// Reads `next_cluster` into the window's end, the `keep` bytes there carried in front, and
// looks up its successor. A failure leaves the window as it was.
bool load_one(readfat_volume *vol, readfat_dir *dir, size_t keep) {
    uint8_t *at = dir->buf_end - vol->cluster_bytes;
    move_carry(dir, at, keep);
    if (read_cluster(vol, dir->next_cluster, at) != ReadResult::ok) {
        std::memmove(dir->buf_end - keep, at - keep, keep);
        dir->window_valid = 0;
        return false;
    }
    dir->window_end += vol->dir_entries_per_cluster;
    dir->window_valid = 1;
    dir->loaded_cluster = dir->next_cluster;
    // A chain that comes back to a cluster already listed ends there.
    dir->next_cluster = successor(vol, dir, dir->loaded_cluster);
    dir->remaining += vol->dir_entries_per_cluster;
    return true;
}

// Reads `next_cluster` and the clusters that follow it on disk along the chain (up to the
// window's run) in one run of requests, and moves the walk past them as as many load_one()
// calls would. After a failure the window holds the whole clusters that arrived; when none
// did, the first half of the run is tried, down to one cluster, so a reader that refuses a
// request as a whole still gives every cluster before the one it cannot read.
bool load_run(readfat_volume *vol, readfat_dir *dir, size_t keep, uint32_t most) {
    const uint32_t cb = vol->cluster_bytes, spc = vol->sectors_per_cluster;
    const uint32_t first = dir->next_cluster;
    const uint32_t saved[4] = {dir->cycle_first, dir->cycle_mark, dir->cycle_power,
                               dir->cycle_steps};
    const uint32_t saved_left = dir->run_left;
    uint32_t stop = 0;
    ChainGuard guard = guard_of(dir);
    uint32_t n, next;
    // exFAT without a chain: the run goes on as far as the directory's size says.
    const uint32_t links = dir->contiguous ? 0 : successive_links(vol, first, most, &stop);
    const uint32_t moved = dir->contiguous ? 0 : guard.step_run(first, links);
    if (dir->contiguous) {
        const uint32_t room = vol->cluster_count + 2u - first;
        n = most < room ? most : room;
        if (n > dir->run_left + 1u) n = dir->run_left + 1u;
        dir->run_left -= n - 1u;
        next = successor(vol, dir, first + n - 1u);
    } else if (moved < links) {
        n = moved + 1;
        next = kChainLoop;
    } else if (links == most) {
        n = most;
        next = first + most;
    } else {
        n = links + 1;
        next = is_chain_end(stop) || guard.step(first + links, stop) ? stop : kChainLoop;
    }
    uint8_t *at = dir->buf_end - size_t{n} * cb;
    move_carry(dir, at, keep);
    uint32_t arrived = 0;
    if (read_run(vol, cluster_sector(vol, first), n * spc, at, vol->data_start, vol->end_sector,
                 &arrived) != ReadResult::ok) {
        dir->cycle_first = saved[0];
        dir->cycle_mark = saved[1];
        dir->cycle_power = saved[2];
        dir->cycle_steps = saved[3];
        dir->run_left = saved_left;
        const uint32_t whole = arrived / spc;
        if (whole == 0) {
            std::memmove(dir->buf_end - keep, at - keep, keep);
            dir->window_valid = 0;
            return n > 1 && load_run(vol, dir, keep, n / 2);
        }
        const size_t bytes = size_t{whole} * cb;
        std::memmove(dir->buf_end - bytes - keep, at - keep, keep + bytes);
        if (dir->contiguous) {
            dir->run_left -= whole - 1u;
            next = successor(vol, dir, first + whole - 1u);
        } else {
            guard.step_run(first, whole - 1);
            next = guard.next(vol, first + whole - 1);
        }
        n = whole;
    }
    dir->window_end += n * vol->dir_entries_per_cluster;
    dir->window_valid = 1;
    dir->loaded_cluster = first + n - 1;
    dir->next_cluster = next;
    dir->remaining += n * vol->dir_entries_per_cluster;
    return true;
}

// Whether a record is a "." or ".." entry.
bool is_dot_record(const dv_entry &rec) {
    const dv_name &n = rec.name;
    return (rec.attr & DV_ATTR_DIRECTORY) != 0 && n.len >= 1 && n.len <= 2 && n.units[0] == '.' &&
           n.units[n.len - 1] == '.';
}

// Whether a byte may stand in an 8.3 name: none below 0x20, none that FAT forbids, no
// lower case (writers store upper case and say "lower" in byte 12).
bool short_name_byte(uint8_t c) {
    if (c >= 0x80) return true;
    if (c < 0x20 || (c >= 'a' && c <= 'z')) return false;
    return std::strchr("\"*+,./:;<=>?[\\]|", c) == nullptr;
}

// A date word that is 0 (none) or names a month and a day; a time word that is 0 or within
// the day.
bool date_ok(uint16_t d) {
    return d == 0 || (((d >> 5) & 0x0F) - 1u < 12u && (d & 0x1F) != 0);
}
bool time_ok(uint16_t t) {
    return (t >> 11) < 24u && ((t >> 5) & 0x3F) < 60u && (t & 0x1F) < 30u;
}

// Whether a raw 32-byte slot can be a directory entry of this volume, as some writer left
// it (deleted or not). An end mark stops the judging before it is asked about.
bool plausible_slot(const readfat_volume *vol, const uint8_t *e) {
    const uint8_t attr = e[DV_DIRENT_ATTR];
    if ((attr & DV_ATTR_LFN) == DV_ATTR_LFN) {
        const uint8_t seq = e[DV_LFN_SEQ];
        const bool seq_ok = seq == 0xE5 || ((seq & 0xA0) == 0 && (seq & 0x1Fu) - 1u < 20u);
        return attr == DV_ATTR_LFN && seq_ok && e[DV_LFN_TYPE] == 0 &&
               load_le16(e + DV_LFN_CLUSTER) == 0;
    }
    // Reserved bits; a label belongs to the root alone, never to a deleted directory.
    if ((attr & 0xC0) != 0 || (attr & DV_ATTR_VOLUME) != 0) return false;
    const bool dir = (attr & DV_ATTR_DIRECTORY) != 0;
    if (e[0] == '.') {
        if (!dir ||
            (std::memcmp(e, ".          ", 11) != 0 && std::memcmp(e, "..         ", 11) != 0))
            return false;
    } else {
        if (e[0] == ' ' || (e[0] != 0xE5 && e[0] != 0x05 && !short_name_byte(e[0]))) return false;
        for (int i = 1; i < 11; ++i)
            if (!short_name_byte(e[i])) return false;
    }
    // FAT12/16 keep other data in the high word (see entry_cluster).
    uint32_t first = load_le16(e + DV_DIRENT_CLUSTER_LO);
    if (vol->fat_type == 32)
        first |= static_cast<uint32_t>(load_le16(e + DV_DIRENT_CLUSTER_HI)) << 16;
    if (first != 0 && first - 2u >= vol->cluster_count) return false;
    const uint32_t size = load_le32(e + DV_DIRENT_SIZE_FIELD);
    if (dir ? size != 0 : size > uint64_t{vol->cluster_count} * vol->cluster_bytes) return false;
    return e[DV_DIRENT_CTIME_MS] < 200 && time_ok(load_le16(e + DV_DIRENT_CTIME)) &&
           time_ok(load_le16(e + DV_DIRENT_MTIME)) && date_ok(load_le16(e + DV_DIRENT_CDATE)) &&
           date_ok(load_le16(e + DV_DIRENT_ADATE)) && date_ok(load_le16(e + DV_DIRENT_MDATE));
}

// How loading a directory's next piece went: loaded; the directory ends before it (a
// deleted directory whose next cluster is not its own); or the medium failed.
enum class Load { ok, ended, failed };

// What a deleted directory's walk may pass over to find its next cluster: free clusters it
// reads and judges (at most kSkipReads, and kSkipBytes of them), and clusters in use, which
// it only looks up in the FAT. A writer puts a directory's files right after the cluster
// that lists them, so its next cluster lies behind their data.
constexpr uint32_t kSkipReads = 4096;
constexpr uint32_t kSkipBytes = 16u << 20;
constexpr uint32_t kSkipInUse = 65536;

// How a free cluster stands as the next piece of a deleted directory.
enum class Judged { own, other, ends };

// `c` (a free cluster read) after the directory's cluster before it. Another directory's
// first cluster ends the search; zeroed, implausible or unrelated clusters are passed over.
Judged judge(const readfat_volume *vol, const uint8_t *c, const uint8_t *carried_last) {
    if ((c[DV_DIRENT_ATTR] & DV_ATTR_DIRECTORY) && std::memcmp(c, ".          ", 11) == 0)
        return Judged::ends;
    if (c[0] == 0 || !looks_like_directory(vol, c, vol->dir_entries_per_cluster))
        return Judged::other;
    if (carried_last && (carried_last[DV_DIRENT_ATTR] & 0x3Fu) == DV_ATTR_LFN &&
        !continues_run(carried_last, c))
        return Judged::other;
    return Judged::own;
}

// A deleted directory's next cluster, by the recovery rules. Its first cluster only while
// the FAT marks it free (else it belongs to whatever took it since) and it looks like
// directory entries. After a cluster without an end mark, the next free cluster that looks
// like a further piece of it (and goes on with a long name cut at the cluster's end),
// passing over file data and clusters in use within bounds; with `exact` only `next_cluster`
// itself. A deleted directory's positions count every cluster from its first on, those
// passed over too, so that a position names its cluster without a walk. Where nothing is
// found the directory ends, the entries carried from before left where they were.
Load load_recovered(readfat_volume *vol, readfat_dir *dir, size_t keep, bool exact = false) {
    const uint32_t first = dir->cycle_first, per = vol->dir_entries_per_cluster;
    uint32_t c = dir->next_cluster;
    const bool strict = exact || c == first;
    uint8_t *at = dir->buf_end - vol->cluster_bytes;
    move_carry(dir, at, keep);
    const uint8_t *carried_last = keep ? at - DV_DIRENT_SIZE : nullptr;
    const uint32_t byte_reads = kSkipBytes / vol->cluster_bytes;
    const uint32_t most_reads = byte_reads < kSkipReads ? byte_reads : kSkipReads;
    uint32_t reads = 0, in_use = 0;
    auto stop = [&](Load how) {
        std::memmove(dir->buf_end - keep, at - keep, keep);
        dir->window_valid = 0;
        // A failed read is tried again from the cluster it failed at.
        dir->next_cluster = how == Load::failed ? c : kChainEnd;
        return how;
    };
    for (;; ++c) {
        // Positions stay below 2^32.
        if (c < 2u || c - 2u >= vol->cluster_count || c < first ||
            uint64_t{c - first + 1u} * per > UINT32_MAX)
            return stop(Load::ended);
        const uint32_t link = next_cluster(vol, c);
        if (link == kFatUnreadable) return stop(Load::failed);
        if (link != 0) {
            if (strict || ++in_use > kSkipInUse) return stop(Load::ended);
            continue;
        }
        if (read_cluster(vol, c, at) != ReadResult::ok) return stop(Load::failed);
        if (c == first) {
            if (looks_like_directory(vol, at, per)) break;
            return stop(Load::ended);
        }
        const Judged j = judge(vol, at, carried_last);
        if (j == Judged::own) break;
        if (j == Judged::ends || strict || ++reads > most_reads) return stop(Load::ended);
    }
    dir->window_end = (c - first + 1u) * per;
    dir->window_valid = 1;
    dir->loaded_cluster = c;
    dir->next_cluster = c + 1u;
    dir->remaining += per;
    return Load::ok;
}

// How many long-name entries open the orphan cluster `c` as the tail of a run whose head lay
// in a cluster before: the run's first entry on disk holds the end of its name (a 0 unit, then
// 0xFFFF padding) unless the name fills it exactly, and a live one says so in its sequence
// byte. A tail is passed over, so that its short entry shows its 8.3 name, not part of a long
// one.
uint32_t cut_run_tail(const readfat_volume *vol, const uint8_t *c) {
    if ((c[DV_DIRENT_ATTR] & 0x3Fu) != DV_ATTR_LFN) return 0;
    if (c[DV_LFN_SEQ] != 0xE5) {
        if (c[DV_LFN_SEQ] & DV_LFN_LAST) return 0;
    } else {
        // The 13 units of an entry: 5 at byte 1, 6 at byte 14, 2 at byte 28.
        static constexpr uint8_t kUnits[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        for (uint8_t at : kUnits) {
            const uint16_t u = load_le16(c + at);
            if (u == 0 || u == 0xFFFF) return 0;
        }
    }
    uint32_t k = 0;
    while (k < vol->dir_entries_per_cluster &&
           (c[size_t{k} * DV_DIRENT_SIZE + DV_DIRENT_ATTR] & 0x3Fu) == DV_ATTR_LFN)
        ++k;
    return k;
}

// The next orphan cluster of /$Orphans (see readfat_orphans). A long name cut at the end of
// the cluster before goes on only into the cluster the FAT links next or, with no link, the
// one right after it on disk, and only when its checksum says so; otherwise the carried
// entries are dropped.
Load load_orphan(readfat_volume *vol, readfat_dir *dir, size_t keep) {
    const uint32_t per = vol->dir_entries_per_cluster;
    const uint32_t c = dir->next_cluster;
    uint8_t *at = dir->buf_end - vol->cluster_bytes;
    move_carry(dir, at, keep);
    if (read_cluster(vol, c, at) != ReadResult::ok) {
        std::memmove(dir->buf_end - keep, at - keep, keep);
        dir->window_valid = 0;
        return Load::failed;
    }
    uint32_t tail = 0;
    const uint32_t before = dir->loaded_cluster;
    const bool follows = c == before + 1u || (keep != 0 && next_cluster(vol, before) == c);
    if (keep == 0 || !follows || !continues_run(at - DV_DIRENT_SIZE, at)) {
        dir->remaining = 0;
        tail = cut_run_tail(vol, at);
    }
    const uint32_t index = dir->orphan_next;
    dir->window_end = index * per;
    dir->window_valid = 1;
    dir->loaded_cluster = c;
    dir->next_cluster = orphan_cluster(vol, index);
    dir->orphan_next = index + 1u;
    dir->remaining += per - tail;
    return Load::ok;
}

// Loads the directory's next piece (a cluster, a run of them, or a piece of the root region)
// behind the `remaining` entries at the window's end, which are carried in front of it. A
// failure leaves them where they were, so the next call retries with them.
Load load_next(readfat_volume *vol, readfat_dir *dir) {
    const size_t keep = size_t{dir->remaining} * DV_DIRENT_SIZE;
    if (dir->orphans) return load_orphan(vol, dir, keep);
    if (dir->recovering == kByRecovery && !dir->contiguous) return load_recovered(vol, dir, keep);
    const bool run = batched(vol, dir);
    bool ok;
    const uint32_t c = dir->next_cluster;
    if (c == kRootRegion)
        ok =
            load_root(vol, dir, keep, vol->sectors_per_cluster * (run ? dir_run_clusters(vol) : 1));
    else if (run && c >= 2u && c - 2u < vol->cluster_count)
        ok = load_run(vol, dir, keep, dir_run_clusters(vol));
    else
        ok = load_one(vol, dir, keep);
    return ok ? Load::ok : Load::failed;
}

// The scan stops here for good: every later call ends the same way.
Scan end_scan(readfat_dir *dir, Scan how) {
    dir->end_code = how == Scan::refused ? EILSEQ : DV_E_ENDDIR;
    return how;
}

// What a lookup looks for: a name as spelled (prepared for the raw comparison), or a name
// already folded for a case-insensitive one.
struct Wanted {
    const WantBytes *exact;
    const dv_name *folded;
    const ExfatWant *exfat = nullptr;
};

// Decodes the directory's next record into `*rec`. With `want`, records whose name cannot be
// the wanted one are passed over undecoded (a lookup); the reads of the medium stay the same.
Scan scan_one(readfat_volume *vol, readfat_dir *dir, dv_entry *rec, const Wanted *want = nullptr) {
    if (dir->end_code != 0) return dir->end_code == EILSEQ ? Scan::refused : Scan::end;
    if (dir->remaining == 0) {
        if (!resolve_next(vol, dir)) return Scan::io_error;
        if (exhausted(dir)) return end_scan(dir, Scan::end);
        const Load l = load_next(vol, dir);
        if (l != Load::ok) return l == Load::ended ? end_scan(dir, Scan::end) : Scan::io_error;
    }
    for (;;) {
        const uint8_t *cursor = dir->buf_end - size_t{dir->remaining} * DV_DIRENT_SIZE;
        int count = static_cast<int>(dir->remaining);
        dv_entry *out = rec;
        int room = 1;
        int rc;
        if (is_exfat(vol)) {
            uint32_t left = dir->remaining;
            rc = read_exfat_record(vol, &cursor, &left, rec, want ? want->exfat : nullptr);
            dir->remaining = left;
            if (rc == 1) {
                if (dir->recovering) rec->deleted = 1;
                return Scan::record;
            }
            // A damaged set: reported, and the listing goes on after it.
            if (rc < 0) return Scan::damaged;
            if (left != 0 && cursor[0] == 0) return end_scan(dir, Scan::end);
            count = static_cast<int>(left);
            rc = 0;
        } else if (!want)
            rc = dv_readentry(vol->ctx, &cursor, &count, &out, &room);
        else if (want->folded)
            rc = read_entry_folded(vol->ctx, &cursor, &count, &out, &room, *want->exact);
        else
            rc = read_entry_matching(vol->ctx, &cursor, &count, &out, &room, *want->exact);
        if (!is_exfat(vol) && rc >= 0 && room == 0) {
            dir->remaining = static_cast<uint32_t>(count);
            rec->cluster = entry_cluster(vol, rec);
            // Whatever its first byte says, an entry is gone with its directory.
            if (dir->recovering) rec->deleted = 1;
            // /$Orphans gathers pieces of many directories: their dot entries name nothing.
            if (dir->orphans && is_dot_record(*rec)) continue;
            return Scan::record;
        }
        // An end-of-directory mark: nothing after it belongs to the directory.
        if (!is_exfat(vol) && rc >= 0 && cursor < dir->buf_end && cursor[0] == 0) {
            if (!dir->orphans) return end_scan(dir, Scan::end);
            // /$Orphans: only the rest of this orphan cluster.
            count = 0;
        }
        // Where the scan stops now, it stops because of a refused run, if this call met one.
        const Scan stop = rc < 0 ? Scan::refused : Scan::end;
        if (!resolve_next(vol, dir)) return Scan::io_error;
        if (exhausted(dir)) return end_scan(dir, stop);

        // Carry the unfinished run in front of the next piece; a run longer than the room
        // is damaged beyond use. A failed load keeps it where it was: the next call retries
        // with it, so a failed read never costs an entry its long name.
        const uint32_t carry = static_cast<uint32_t>(count);
        if (carry > vol->carry_entries) return end_scan(dir, stop);
        dir->remaining = carry;
        const Load l = load_next(vol, dir);
        if (l != Load::ok) return l == Load::ended ? end_scan(dir, stop) : Scan::io_error;
    }
}

// Whether the root's listing ends with the virtual $Orphans record now.
bool shows_orphans(const readfat_volume *vol, const readfat_dir *dir) {
    return !dir->orphans_shown && !dir->recovering && dir->cycle_first == root_start_cluster(vol) &&
           offers_orphans(vol);
}

// The code a scan that produced no record reports: `at_end` for the end of the directory.
int scan_code(Scan s, int at_end) {
    switch (s) {
    case Scan::end:
        return at_end;
    case Scan::refused:
    case Scan::damaged:
        return EILSEQ;
    case Scan::record:
    case Scan::io_error:
        break;
    }
    return EIO;
}

readfat_dir *free_dir(readfat_volume *vol) {
    return free_slot(vol->dirs, dir_stride(vol), vol->max_dirs);
}

readfat_dir *take_dir(readfat_volume *vol, readfat_dir *dir, uint32_t first) {
    start_dir(dir, first);
    claim(vol->dirs, dir_stride(vol), dir);
    return dir;
}

readfat_dir *take_dir(readfat_volume *vol, readfat_dir *dir, const dv_entry *entry) {
    start_dir_entry(vol, dir, entry);
    claim(vol->dirs, dir_stride(vol), dir);
    return dir;
}

// How well a record matches a looked-up name: 0 not at all; then, best last, a folded match
// of a deleted entry, an exact one of a deleted entry, a folded live one, an exact live one.
// The volume label is no file: it never matches by folding.
int match_rank(const dv_name &name, const dv_name *folded, const dv_entry &rec) {
    int rank;
    if (dv_namecmp(&name, &rec.name) == 0) {
        rank = 2;
    } else if (folded != nullptr && (rec.attr & DV_ATTR_VOLUME) == 0 &&
               (folds_equal(rec.name, *folded) ||
                (!rec.deleted && alias_folds_equal(rec, *folded)))) {
        rank = 1;
    } else {
        return 0;
    }
    return rec.deleted ? rank : rank + 2;
}

// Finds `name` in the directory from the handle's position on, into `*out`. Exactly as
// spelled, or with DV_FLAG_NOCASE also by simple case folding and by 8.3 name. A live
// exact match ends the search; anything less is kept while the rest of the directory is
// searched for a better one (deleted entries come back with DV_FLAG_DELETED).
// exFAT: names match through the volume's up-case table, always. A live entry wins over a
// deleted one (DV_FLAG_DELETED); damaged sets are passed over.
Scan find_in_exfat(readfat_volume *vol, readfat_dir *dir, const dv_name &name, dv_entry *out) {
    dv_name upper;
    const ExfatWant exfat{&upper, exfat_upper(vol, name, upper)};
    const Wanted want{nullptr, nullptr, &exfat};
    dv_entry candidate;
    bool found = false;
    for (;;) {
        const Scan s = scan_one(vol, dir, out, &want);
        if (s == Scan::damaged) continue;
        if (s != Scan::record) {
            if (!found || s == Scan::io_error) return s;
            *out = candidate;
            return Scan::record;
        }
        if (!out->deleted) return s;
        if (!found) candidate = *out;
        found = true;
    }
}

Scan find_in_dir(readfat_volume *vol, readfat_dir *dir, const dv_name &name, dv_entry *out) {
    if (is_exfat(vol)) return find_in_exfat(vol, dir, name, out);
    const uint32_t flags = vol->ctx->flags;
    if ((flags & (DV_FLAG_NOCASE | DV_FLAG_DELETED)) == 0) {
        const WantBytes exact(name);
        const Wanted want{&exact, nullptr};
        for (;;) {
            const Scan s = scan_one(vol, dir, out, &want);
            if (s != Scan::record || dv_namecmp(&name, &out->name) == 0) return s;
        }
    }
    const bool nocase = (flags & DV_FLAG_NOCASE) != 0;
    dv_name folded;
    if (nocase) fold_name(name, folded);
    // Deleted entries without folding: an exact scan, which stops at every deleted record.
    const WantBytes exact(nocase ? folded : name);
    const Wanted want{&exact, nocase ? &folded : nullptr};
    dv_entry candidate;
    int best = 0;
    for (;;) {
        const Scan s = scan_one(vol, dir, out, &want);
        if (s != Scan::record) {
            // A read error may hide a better match: only the end of what can be read
            // settles it.
            if (best == 0 || s == Scan::io_error) return s;
            *out = candidate;
            return Scan::record;
        }
        const int rank = match_rank(name, nocase ? &folded : nullptr, *out);
        if (rank == 4) return s;
        if (rank > best) {
            candidate = *out;
            best = rank;
        }
    }
}

// dir_seek in /$Orphans: positions count the orphan clusters in table order.
int seek_orphans(readfat_volume *vol, readfat_dir *dir, uint32_t pos, int *err) {
    const uint32_t per = vol->dir_entries_per_cluster, skip = pos / per;
    start_dir(dir, orphan_cluster(vol, skip), kByRecovery);
    dir->orphans = 1;
    dir->orphan_next = skip + 1u;
    dir->window_end = skip * per;
    if (is_chain_end(dir->next_cluster)) {
        dir->window_end = pos;
        return 0;
    }
    if (load_orphan(vol, dir, 0) != Load::ok) {
        start_dir(dir, orphan_cluster(vol, 0), kByRecovery);
        dir->orphans = 1;
        dir->orphan_next = 1;
        set_err(err, EIO);
        return -1;
    }
    // A position inside a cut run's tail reads from after it, as the listing does.
    if (dir->window_end - pos < dir->remaining) dir->remaining = dir->window_end - pos;
    return 0;
}

} // namespace

bool continues_run(const uint8_t *last, const uint8_t *c) {
    const uint8_t sum = last[DV_LFN_CHECKSUM];
    if ((c[DV_DIRENT_ATTR] & 0x3Fu) == DV_ATTR_LFN) return c[DV_LFN_CHECKSUM] == sum;
    // A deleted short entry lost the byte its checksum needs.
    return c[0] == 0xE5 || shortname_checksum(c) == sum;
}

bool looks_like_directory(const readfat_volume *vol, const uint8_t *entries, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i, entries += DV_DIRENT_SIZE) {
        if (entries[0] == 0) return true;
        if (!plausible_slot(vol, entries)) return false;
    }
    return true;
}

dv_pathnode *drop_dot_components(dv_ctx *ctx, dv_pathnode *list) {
    // The components kept, last first, so that ".." takes off the head; reversed at the end.
    dv_pathnode *kept = nullptr;
    while (list) {
        dv_pathnode *node = list;
        list = list->next;
        node->next = nullptr;
        const dv_name &n = node->name;
        const bool dot = n.len == 1 && n.units[0] == '.';
        const bool dotdot = n.len == 2 && n.units[0] == '.' && n.units[1] == '.';
        // An empty component (a trailing separator) after nothing kept is the root itself.
        if (dot || dotdot || (n.len == 0 && !kept)) {
            if (dotdot && kept && kept->name.len != 0) {
                dv_pathnode *up = kept;
                kept = kept->next;
                up->next = nullptr;
                dv_freepath(ctx, up);
            }
            dv_freepath(ctx, node);
            continue;
        }
        node->next = kept;
        kept = node;
    }
    dv_pathnode *out = nullptr;
    while (kept) {
        dv_pathnode *node = kept;
        kept = kept->next;
        node->next = out;
        out = node;
    }
    return out;
}

dv_entry *process_path(readfat_volume *vol, const char *path, dv_entry *out, int *err, bool *root,
                       const dv_entry *from) {
    // The empty path names nothing that has an entry.
    if (!out || path[0] == '\0') {
        set_err(err, ENOENT);
        return nullptr;
    }
    readfat_dir *dir = vol->lookup_dir;
    if (from)
        start_dir_entry(vol, dir, from);
    else
        start_dir(dir, root_start_cluster(vol));
    dv_pathnode *list = dv_parsepath(vol->ctx, path);
    if (!list) {
        const int code = dv_errno(vol->ctx);
        set_err(err, code != 0 ? code : ENOENT);
        return nullptr;
    }
    // exFAT directories hold no "." or "..": paths take them by their text.
    if ((vol->flags & READFAT_FLAG_DOTS) || is_exfat(vol)) {
        list = drop_dot_components(vol->ctx, list);
        if (!list) {
            // The root has no entry of its own.
            if (root) {
                *root = true;
                return out;
            }
            set_err(err, ENOENT);
            return nullptr;
        }
    }
    for (const dv_pathnode *node = list; node; node = node->next) {
        Scan s = find_in_dir(vol, dir, node->name, out);
        // /$Orphans, unless a live entry at the root has that name.
        const bool at_root = node == list && !from;
        if (at_root && offers_orphans(vol) && is_orphans_name(node->name) &&
            (s == Scan::end || (s == Scan::record && out->deleted))) {
            const int rc = orphans_ready(vol);
            if (rc != 0) {
                dv_freepath(vol->ctx, list);
                set_err(err, rc);
                return nullptr;
            }
            orphans_entry(out);
            s = Scan::record;
        }
        // A file's clusters hold no entries: a path goes on only through a directory.
        const bool through_file =
            s == Scan::record && node->next && (out->attr & DV_ATTR_DIRECTORY) == 0;
        if (s != Scan::record || through_file) {
            dv_freepath(vol->ctx, list);
            set_err(err, through_file ? ENOTDIR : scan_code(s, ENOENT));
            return nullptr;
        }
        start_dir_entry(vol, dir, out);
    }
    dv_freepath(vol->ctx, list);
    return out;
}

readfat_dir *dir_open_path(readfat_volume *vol, const char *path, int *err) {
    readfat_dir *dir = free_dir(vol);
    if (!dir) {
        set_err(err, ENFILE);
        return nullptr;
    }
    if (dv_isroot(vol->ctx, path)) return take_dir(vol, dir, root_start_cluster(vol));
    dv_entry entry;
    bool root = false;
    if (!process_path(vol, path, &entry, err, &root)) return nullptr;
    if (root) return take_dir(vol, dir, root_start_cluster(vol));
    return take_dir(vol, dir, &entry);
}

readfat_dir *dir_open_entry(readfat_volume *vol, const dv_entry *entry, int *err) {
    readfat_dir *dir = free_dir(vol);
    if (!dir) {
        set_err(err, ENFILE);
        return nullptr;
    }
    if (is_orphans_entry(vol, entry)) {
        const int rc = orphans_ready(vol);
        if (rc != 0) {
            set_err(err, rc);
            return nullptr;
        }
    }
    return take_dir(vol, dir, entry);
}

void dir_start(readfat_volume *vol, readfat_dir *dir, const dv_entry *entry) {
    if (entry)
        start_dir_entry(vol, dir, entry);
    else
        start_dir(dir, root_start_cluster(vol));
}

const dv_entry *dir_next(readfat_volume *vol, readfat_dir *dir, int *err) {
    const Scan s = scan_one(vol, dir, &dir->entry);
    if (s == Scan::record) return &dir->entry;
    if (s == Scan::end && shows_orphans(vol, dir)) {
        // Only when there is something to offer, as TSK shows $OrphanFiles: the search runs
        // here, once per mount.
        dir->orphans_shown = 1;
        if (orphans_ready(vol) == 0 && !is_chain_end(orphan_cluster(vol, 0))) {
            orphans_entry(&dir->entry);
            return &dir->entry;
        }
    }
    set_err(err, scan_code(s, DV_E_ENDDIR));
    return nullptr;
}

uint32_t dir_tell(const readfat_dir *dir) {
    return dir->window_end - dir->remaining;
}

int dir_seek(readfat_volume *vol, readfat_dir *dir, uint32_t pos, int *err) {
    const uint32_t per = vol->dir_entries_per_cluster;
    // Root pieces and clusters both start at multiples of `per` entries.
    const uint32_t piece = dir->window_end == 0 ? 0 : (dir->window_end - 1) / per * per;
    dir->end_code = 0;
    // The root's $Orphans record follows its end position, wherever a listing comes from.
    dir->orphans_shown = 0;
    if (dir->orphans) return seek_orphans(vol, dir, pos, err);
    if (dir->window_valid && pos >= piece && pos <= dir->window_end) {
        dir->remaining = dir->window_end - pos;
        return 0;
    }
    const uint32_t first = dir->cycle_first;
    const uint8_t recovering = dir->recovering;
    const uint8_t contiguous = dir->contiguous;
    const uint32_t run = dir->run_clusters;
    // Back to the start, the open-time state (an exFAT run) kept.
    auto restart = [&] {
        start_dir(dir, first, recovering);
        dir->contiguous = contiguous;
        dir->run_clusters = run;
        dir->run_left = run != 0 ? run - 1u : 0;
    };
    restart();
    const uint32_t skip = pos / per;
    // Past the end of the directory: the next read says so.
    auto at_end = [&] {
        dir->next_cluster = kChainEnd;
        dir->remaining = 0;
        dir->window_end = pos;
        return 0;
    };
    auto failed = [&] {
        restart();
        set_err(err, EIO);
        return -1;
    };
    if (recovering == kByRecovery && !contiguous) {
        // A position names its cluster (see load_recovered): at a cluster's start the walk
        // goes on as from the cluster before, which is how a listing got there; inside one,
        // that cluster is read and judged alone.
        dir->window_end = skip * per;
        dir->next_cluster = first + skip;
        if (skip > 0) dir->loaded_cluster = first + skip - 1u;
        if (skip > 0 && pos % per == 0) return 0;
        const Load l = load_recovered(vol, dir, 0, skip > 0);
        if (l == Load::failed) return failed();
        if (l == Load::ended) return at_end();
        dir->remaining = dir->window_end - pos;
        return 0;
    } else if (first == kRootRegion) {
        const uint64_t sectors = uint64_t{skip} * vol->sectors_per_cluster;
        if (sectors >= vol->root_sectors) return at_end();
        dir->root_pos = static_cast<uint32_t>(sectors);
    } else {
        uint32_t c = first;
        for (uint32_t i = 0; i < skip && !is_chain_end(c); ++i) c = successor(vol, dir, c);
        if (c == kFatUnreadable) return failed();
        dir->next_cluster = c;
        if (is_chain_end(c)) return at_end();
    }
    dir->window_end = skip * per;
    const Load l = load_next(vol, dir);
    if (l == Load::failed) return failed();
    if (l == Load::ended) return at_end();
    // The root's last piece may be short: a position past it reads as the end.
    dir->remaining = dir->window_end > pos ? dir->window_end - pos : 0;
    return 0;
}

} // namespace dorvex

extern "C" int readfat_stat_at(readfat_volume *vol, const dv_entry *dir, const char *path,
                               dv_entry *out) {
    if (!vol || !path) return EINVAL;
    if (dir && !(dir->attr & DV_ATTR_DIRECTORY)) return ENOTDIR;
    int code = 0;
    return dorvex::process_path(vol, path, out, &code, nullptr, dir) ? 0 : code;
}

namespace dorvex {

int dir_where(readfat_volume *vol, const readfat_dir *dir, readfat_where *out, int *err) {
    if (vol->fat_type == DV_FAT_EXFAT) {
        set_err(err, ENOTSUP);
        return -1;
    }
    const uint32_t pos = dir_tell(dir);
    if (pos == 0) {
        set_err(err, EINVAL);
        return -1;
    }
    // A record ends with its 8.3 entry, the raw entry just before the position.
    const uint32_t idx = pos - 1u;
    uint64_t byte = 0;
    if (dir->cycle_first == kRootRegion) {
        byte = vol->root_start * 512u + uint64_t{idx} * DV_DIRENT_SIZE;
    } else {
        const uint32_t per = vol->dir_entries_per_cluster;
        const uint32_t skip = idx / per;
        uint32_t c = dir->cycle_first;
        if (dir->recovering == kByRecovery) {
            c += skip; // recovery reads a deleted directory's clusters one after another
        } else if (dir->window_end != 0 && skip == (dir->window_end - 1u) / per) {
            c = dir->loaded_cluster;
        } else {
            // Bounded by `skip`: the listing got there along the same links.
            for (uint32_t i = 0; i < skip && !is_chain_end(c); ++i) c = next_cluster(vol, c);
        }
        if (is_chain_end(c) || c < 2 || c - 2u >= vol->cluster_count) {
            set_err(err, EIO);
            return -1;
        }
        byte = cluster_sector(vol, c) * 512u + uint64_t{idx % per} * DV_DIRENT_SIZE;
    }
    const uint64_t data = vol->fat_type == 32 ? vol->data_start : vol->root_start;
    out->sector = byte / 512u;
    out->slot = static_cast<uint32_t>(byte % 512u / DV_DIRENT_SIZE);
    out->reserved = 0;
    out->address = (byte - data * 512u) / DV_DIRENT_SIZE + 3u;
    return 0;
}

} // namespace dorvex
