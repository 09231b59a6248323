// The volume check: a pass over the FAT (copies compared, used clusters noted in a bitmap),
// then a walk over the tree with an explicit stack that follows every chain once, marking
// the clusters it reaches in a second bitmap; what is used but not reached is lost.
#include <cerrno>
#include <cstring>

#include "codec/dirent_internal.h"
#include "check/check_internal.h"
#include "dorvex/checkfat.h"
#include "volume/fat_chain.h"
#include "volume/readfat_internal.h"

namespace dorvex {
namespace {

constexpr uint32_t kPathMax = kCheckPathMax;
constexpr uint32_t kNoCluster = 0xFFFFFFFFu;
constexpr uint8_t kMoveMarks = DV_NTRES_MOVE_FROM | DV_NTRES_MOVE_TO;
// Marked entries remembered to tell a cut move's second name from a cross-link.
constexpr uint32_t kMarksMax = 256;
// A long name takes at most 20 entries: only the last 20 of a run can belong to its entry.
constexpr uint32_t kRunMax = 20;

struct Mark {
    uint32_t first;
    uint8_t mark;
};

// The scan of a directory's raw entries for orphaned long-name entries, fed the sectors
// its listing reads, in directory order.
struct OrphanScan {
    uint8_t seq[kRunMax], sum[kRunMax]; // the last entries of the long-name run at hand
    uint32_t run_n;                     // entries in seq/sum
    uint32_t in_run;                    // entries of the run at hand
    uint32_t run_at;                    // its first raw entry
    uint64_t run_sector;                // the sector holding that entry
    uint32_t scanned;                   // raw entries looked at so far
    uint32_t next;                      // the raw entry the listing's next read starts at
    uint64_t last_sector;               // the listing's last read: first sector,
    uint32_t last_index, last_count;    // ... raw entry there and its 512-byte sectors
    bool ended;                         // the end mark was met
};

struct Frame {
    dv_entry entry;    // the directory's own entry (unused for the root)
    uint32_t first;    // its first cluster (0: the FAT12/16 root region)
    uint32_t parent;   // its parent's first cluster, as ".." should hold it
    uint32_t pos;      // where the listing goes on
    uint32_t records;  // records listed so far
    uint32_t path_len; // units of the path up to this directory
    bool root;
    OrphanScan scan;
};

struct Checker : CheckBase {
    uint8_t *used = nullptr;    // bit per cluster: the FAT marks it used
    uint8_t *reached = nullptr; // bit per cluster: a chain of the tree reaches it
    Frame *frames = nullptr;
    uint32_t free_count = 0;
    Mark *marks = nullptr; // kMarksMax
    uint32_t marks_n = 0;
    uint8_t *sector_buf = nullptr; // one logical sector
    Frame *listing = nullptr;      // the directory whose listing reads now (the orphan scan)
    char label[11] = {};           // the root's first label entry, when label_seen
    bool label_seen = false;
    void *reader_data = nullptr; // the volume's own reader, while the check taps it
    readfat_sector_reader reader_fn = nullptr;

    // Appends '/' and `name` to the path; returns the length to go back to.
    uint32_t push_name(const dv_name &name) { return CheckBase::push_name(name.units, name.len); }

    // ---- The FAT pass ---------------------------------------------------------------

    void note_entry(uint64_t i, uint32_t value) {
        if (i < 2 || i > last) return;
        const uint32_t bad = vol->fat_type == 12   ? 0xFF7u
                             : vol->fat_type == 16 ? 0xFFF7u
                                                   : 0x0FFFFFF7u;
        if (value == 0)
            ++free_count;
        else if (value != bad)
            set(used, static_cast<uint32_t>(i));
    }

    uint32_t first_cluster_at(uint64_t byte) const {
        return static_cast<uint32_t>(vol->fat_type == 12 ? byte * 2 / 3
                                                         : byte / (vol->fat_type / 8u));
    }

    // Logical sectors of FAT one request reads: a cluster's worth (the most a reader must
    // take without READFAT_FLAG_BATCH), with the flag up to 64 KiB.
    uint32_t fat_run() const {
        const uint32_t cluster = vol->sectors_per_cluster >> vol->sector_shift;
        const uint32_t batch = 65536u / vol->bytes_per_sector;
        return (vol->flags & READFAT_FLAG_BATCH) && batch > cluster ? batch : cluster;
    }

    int fat_pass() {
        const uint32_t bps = vol->bytes_per_sector;
        const uint64_t need = vol->fat_type == 12 ? uint64_t{last} + last / 2 + 2
                                                  : (uint64_t{last} + 1) * (vol->fat_type / 8u);
        uint64_t sectors = (need + bps - 1) / bps;
        const uint64_t fat_logical = vol->fat_sectors >> vol->sector_shift;
        if (sectors > fat_logical) sectors = fat_logical;
        const uint32_t run = fat_run();
        const size_t run_bytes = size_t{run} * bps;
        auto *buf = static_cast<uint8_t *>(take(run_bytes * 2));
        if (!buf) return ENOMEM;
        uint8_t *copy = buf + run_bytes;
        const uint32_t copies = vol->fat_count < 16 ? vol->fat_count : 16;
        uint64_t first_bad[16] = {};
        uint32_t first_cl[16] = {}, bad_count[16] = {};
        uint8_t pair[3] = {};
        uint32_t have = 0;
        uint64_t index = 0;
        int rc = 0;
        for (uint64_t at = 0; at < sectors && rc == 0;) {
            const uint32_t got = sectors - at < run ? static_cast<uint32_t>(sectors - at) : run;
            const uint32_t n = got << vol->sector_shift;
            const uint64_t lo = vol->fat_start, hi = lo + vol->fat_sectors;
            if (read_run(vol, lo + (at << vol->sector_shift), n, buf, lo, hi) != ReadResult::ok) {
                rc = EIO;
                break;
            }
            const uint64_t offset = at * bps;
            const uint64_t span = uint64_t{got} * bps;
            const size_t bytes = static_cast<size_t>(need - offset < span ? need - offset : span);
            if (vol->fat_type == 12) {
                // Two 12-bit entries in three bytes; a pair may straddle two sectors.
                for (size_t k = 0; k < bytes; ++k) {
                    pair[have++] = buf[k];
                    if (have < 3) continue;
                    note_entry(index, pair[0] | (pair[1] & 0x0Fu) << 8);
                    note_entry(index + 1, pair[1] >> 4 | uint32_t{pair[2]} << 4);
                    index += 2;
                    have = 0;
                }
            } else {
                const size_t step = vol->fat_type / 8u;
                for (size_t k = 0; k + step <= bytes; k += step, ++index)
                    note_entry(index, vol->fat_type == 32 ? load_le32(buf + k) & kFatMask
                                                          : load_le16(buf + k));
            }
            for (uint32_t c = 1; c < copies; ++c) {
                const uint64_t clo = lo + uint64_t{c} * vol->fat_sectors,
                               chi = clo + vol->fat_sectors;
                if (read_run(vol, clo + (at << vol->sector_shift), n, copy, clo, chi) !=
                    ReadResult::ok) {
                    rc = EIO;
                    break;
                }
                // Only the bytes that hold entries count; FAT32 keeps 4 spare bits per entry.
                // Counted by logical sector, as a sector-by-sector compare counts them.
                if (std::memcmp(copy, buf, bytes) == 0) continue;
                for (size_t from = 0; from < bytes; from += bps) {
                    const size_t to = bytes - from < bps ? bytes : from + bps;
                    size_t k = from;
                    while (k < to && copy[k] == buf[k]) ++k;
                    if (k == to) continue;
                    if (bad_count[c]++ == 0) {
                        first_bad[c] = clo + ((at + from / bps) << vol->sector_shift);
                        first_cl[c] = first_cluster_at(offset + k);
                    }
                }
            }
            at += got;
        }
        if (vol->fat_type == 12 && have == 2) note_entry(index, pair[0] | (pair[1] & 0x0Fu) << 8);
        give(buf);
        if (rc != 0) return rc;
        for (uint32_t c = 1; c < copies; ++c)
            if (bad_count[c] != 0) {
                readfat_finding f{};
                f.kind = READFAT_FIND_FAT_DIFFERS;
                f.count = c - 1;
                f.cluster = first_cl[c];
                f.sector = first_bad[c];
                f.length = bad_count[c];
                report(f, false);
            }
        return 0;
    }

    void volume_state() {
        readfat_volinfo info;
        readfat_info(vol, &info);
        if (info.notes & DV_VOL_NOTE_DIRTY) {
            readfat_finding f{};
            f.kind = READFAT_FIND_DIRTY;
            report(f, false);
        }
        if (vol->fat_type == 32 && info.fsinfo_free != 0xFFFFFFFFu &&
            info.fsinfo_free != free_count) {
            readfat_finding f{};
            f.kind = READFAT_FIND_FSINFO_FREE;
            f.count = info.fsinfo_free;
            f.length = free_count;
            report(f, false);
        }
    }

    // FAT32 keeps a copy of its boot sector; a cut label change leaves the two apart.
    int boot_backup() {
        if (vol->fat_type != 32) return 0;
        const uint32_t bps = vol->bytes_per_sector, n = 1u << vol->sector_shift;
        const uint64_t start = vol->fat_start - vol->reserved_sectors, hi = vol->fat_start;
        if (read_run(vol, start, n, sector_buf, start, hi) != ReadResult::ok) return EIO;
        const uint32_t bk = load_le16(sector_buf + DV_BPB_BACKUP_BOOT);
        const uint64_t at = start + (uint64_t{bk} << vol->sector_shift);
        if (bk == 0 || bk == 0xFFFFu || at + n > hi) return 0; // none kept
        auto *copy = static_cast<uint8_t *>(take(bps));
        if (!copy) return ENOMEM;
        int rc = 0;
        if (read_run(vol, at, n, copy, start, hi) != ReadResult::ok)
            rc = EIO;
        else {
            uint32_t differ = 0;
            for (uint32_t i = 0; i < bps; ++i) differ += sector_buf[i] != copy[i];
            if (differ != 0) {
                readfat_finding f{};
                f.kind = READFAT_FIND_BOOT_BACKUP;
                f.count = bk;
                f.length = differ;
                f.sector = at;
                report(f, false);
            }
        }
        give(copy);
        return rc;
    }

    // writefat_setlabel writes the root's label entry first, then the boot sector: a cut
    // between them leaves the two apart (the root's is the one reclaim keeps).
    void check_label() {
        const uint8_t *b = vol->boot_buf;
        const bool f32 = vol->fat_type == 32;
        if (load_le16(b + DV_BPB_SIGNATURE) != 0xAA55u ||
            b[f32 ? DV_BPB_BOOT_SIGNATURE : DV_BPB16_BOOT_SIGNATURE] != DV_BPB_EXT_BOOT_SIG)
            return; // no label field
        const char *root = label_seen ? label : "NO NAME    ";
        if (std::memcmp(b + (f32 ? DV_BPB_VOLUME_LABEL : DV_BPB16_VOLUME_LABEL), root, 11) == 0)
            return;
        readfat_finding f{};
        f.kind = READFAT_FIND_LABEL;
        f.count = label_seen;
        f.sector = vol->fat_start - vol->reserved_sectors;
        report(f, false);
    }

    // ---- Chains ----------------------------------------------------------------------

    // Whether `target` is among the first `steps` clusters of the chain from `first`.
    bool on_own_chain(uint32_t first, uint32_t target, uint32_t steps) {
        uint32_t c = first;
        for (uint32_t i = 0; i < steps; ++i) {
            if (c == target) return true;
            c = next_cluster(vol, c);
            if (c < 2 || c > last) return false;
        }
        return false;
    }

    void report_long(readfat_finding f, uint32_t extra, uint32_t n, const dv_entry *e) {
        if (extra == 0) return;
        f.kind = READFAT_FIND_CHAIN_LONG;
        f.cluster = extra;
        f.count = 0;
        f.sector = 0;
        f.length = n;
        report(f, true, e);
    }

    // Whether the marked entry `e` starting at `first` is the second name of a cut move: an
    // earlier entry on the same chain carries the other mark (or, moved within its own
    // directory, the same one).
    bool move_partner(uint32_t first, const dv_entry *e) const {
        if (!e || (e->lcase & kMoveMarks) == 0) return false;
        for (uint32_t i = 0; i < marks_n; ++i)
            if (marks[i].first == first) return true;
        return false;
    }

    // Follows the chain from `first`, marking what it reaches. `need` is the clusters the
    // size asks for, kNoCluster for a directory. Returns EIO when a FAT sector fails.
    int walk_chain(uint32_t first, uint32_t need, uint64_t size, const dv_entry *e) {
        readfat_finding f{};
        f.size = size;
        if (first < 2 || first > last) {
            if (first == 0 && need != kNoCluster && need == 0) return 0;
            f.kind = first == 0 ? READFAT_FIND_CHAIN_SHORT : READFAT_FIND_BAD_LINK;
            f.count = first;
            report(f, true, e);
            return 0;
        }
        uint32_t c = first, n = 0, extra = 0;
        for (;;) {
            if (bit(reached, c)) {
                f.kind = on_own_chain(first, c, n) ? READFAT_FIND_LOOP : READFAT_FIND_CROSSLINK;
                if (n == 0 && move_partner(first, e)) {
                    f.kind = READFAT_FIND_MOVE_PAIR;
                    f.count = e->lcase & kMoveMarks;
                }
                f.cluster = c;
                f.length = n;
                report(f, true, e);
                report_long(f, extra, n, e);
                return 0; // the walk stops: a chain cut here is not judged short
            }
            if (n == 0 && e && (e->lcase & kMoveMarks) && marks_n < kMarksMax)
                marks[marks_n++] = {first, static_cast<uint8_t>(e->lcase & kMoveMarks)};
            set(reached, c);
            if (++n == need + 1 && need != kNoCluster) extra = c;
            const uint32_t next = next_cluster(vol, c);
            if (next == kFatUnreadable) return EIO;
            if (is_chain_end(next)) break;
            if (next < 2 || next > last) {
                f.kind = READFAT_FIND_BAD_LINK;
                f.cluster = c;
                f.count = next;
                report(f, true, e);
                break;
            }
            c = next;
        }
        report_long(f, extra, n, e);
        if (need != kNoCluster && n < need) {
            f.kind = READFAT_FIND_CHAIN_SHORT;
            f.cluster = c;
            f.length = n;
            report(f, true, e);
        }
        return 0;
    }

    // ---- The tree walk ---------------------------------------------------------------

    static bool is_dot(const dv_entry &e, uint32_t dots) {
        if (e.name.len != dots) return false;
        for (uint32_t i = 0; i < dots; ++i)
            if (e.name.units[i] != '.') return false;
        return true;
    }

    void check_dots(Frame &fr, const dv_entry *e) {
        if (fr.root || fr.records > 1) return;
        const bool dot = fr.records == 0;
        const uint32_t want = dot ? fr.first : fr.parent;
        readfat_finding f{};
        f.kind = dot ? READFAT_FIND_BAD_DOT : READFAT_FIND_BAD_DOTDOT;
        f.cluster = want;
        f.count = kNoCluster;
        if (e && is_dot(*e, dot ? 1 : 2) && (e->attr & DV_ATTR_DIRECTORY)) {
            const uint32_t got = entry_cluster(vol, e);
            // FAT32 writers put 0 in the ".." of a directory below the root; some the root's.
            if (got == want ||
                (!dot && want == 0 && got == vol->root_cluster && vol->fat_type == 32))
                return;
            f.count = got;
        }
        if (want == 0) f.sector = 0;
        report(f, true, e ? e : &fr.entry);
    }

    int walk_tree() {
        Frame *top = frames;
        std::memset(top, 0, sizeof *top);
        top->root = true;
        top->first = vol->fat_type == 32 ? vol->root_cluster : 0;
        if (top->first != 0) {
            if (int rc = walk_chain(top->first, kNoCluster, 0, nullptr)) return rc;
        }
        uint32_t depth = 1;
        int err = 0;
        while (depth > 0 && !stopped) {
            Frame &fr = frames[depth - 1];
            path_len = fr.path_len;
            readfat_dir *d =
                fr.root ? dir_open_path(vol, "", &err) : dir_open_entry(vol, &fr.entry, &err);
            if (!d) return fr.root && err != ENFILE ? EIO : err;
            // Reads start again at the piece (cluster, or root sectors) holding the position.
            fr.scan.next = fr.pos / vol->dir_entries_per_cluster * vol->dir_entries_per_cluster;
            fr.scan.last_count = 0;
            listing = &fr;
            const int seek = fr.pos != 0 ? dir_seek(vol, d, fr.pos, &err) : 0;
            listing = nullptr;
            if (seek != 0) {
                readfat_closedir(vol, d);
                if (fr.root) return EIO;
                orphans(fr, 0);
                unreadable(fr, err);
                --depth;
                continue;
            }
            bool descend = false;
            for (;;) {
                listing = &fr;
                const dv_entry *e = dir_next(vol, d, &err);
                listing = nullptr;
                if (!e) {
                    orphans(fr, 0);
                    if (err != DV_E_ENDDIR) unreadable(fr, err);
                    if (fr.root && err == DV_E_ENDDIR) check_label();
                    check_dots(fr, nullptr);
                    if (fr.records == 0) {
                        ++fr.records;
                        check_dots(fr, nullptr);
                    }
                    break;
                }
                if (e->deleted) continue;
                check_dots(fr, e);
                const uint32_t index = fr.records++;
                if (!fr.root && index < 2 && is_dot(*e, index + 1)) continue;
                if ((e->attr & DV_ATTR_VOLUME) != 0 && (e->attr & DV_ATTR_DIRECTORY) == 0) {
                    if (fr.root && !label_seen) std::memcpy(label, e->shortname, 11);
                    label_seen = label_seen || fr.root;
                    continue;
                }
                const uint32_t back = push_name(e->name);
                const uint32_t first = entry_cluster(vol, e);
                const bool is_dir = (e->attr & DV_ATTR_DIRECTORY) != 0;
                if (!is_dir) {
                    const uint64_t cb = vol->cluster_bytes;
                    const uint32_t need = static_cast<uint32_t>((uint64_t{e->size} + cb - 1) / cb);
                    if (int rc = walk_chain(first, need, e->size, e)) {
                        readfat_closedir(vol, d);
                        return rc;
                    }
                    path_len = back;
                    if (stopped) break;
                    continue;
                }
                if (e->size != 0) { // a directory's size field is always 0
                    readfat_finding f{};
                    f.kind = READFAT_FIND_DIR_SIZE;
                    f.cluster = first;
                    f.size = e->size;
                    report(f, true, e);
                }
                // A directory is entered only when its first cluster is new to the walk:
                // that bounds the walk however the tree's links loop.
                const bool fresh = first >= 2 && first <= last && !bit(reached, first);
                if (int rc = walk_chain(first, kNoCluster, 0, e)) {
                    readfat_closedir(vol, d);
                    return rc;
                }
                if (!fresh || stopped) {
                    path_len = back;
                    if (stopped) break;
                    continue;
                }
                if (depth >= READFAT_CHECK_MAX_DEPTH) {
                    readfat_finding f{};
                    f.kind = READFAT_FIND_TOO_DEEP;
                    f.cluster = first;
                    report(f, true, e);
                    path_len = back;
                    continue;
                }
                fr.pos = dir_tell(d);
                Frame &child = frames[depth];
                std::memset(&child, 0, sizeof child);
                child.entry = *e;
                child.first = first;
                child.parent = fr.root ? 0 : fr.first;
                child.path_len = path_len;
                path_len = back;
                ++depth;
                descend = true;
                break;
            }
            readfat_closedir(vol, d);
            if (!descend) --depth;
        }
        return 0;
    }

    // Long-name entries that no short entry owns: those of a run before a short entry that
    // do not form its whole run, and any run that ends at a deleted entry or the end mark.
    // Reported for the run at hand when it ends (`owned` of its entries belong to the
    // short entry that ended it).
    void orphans(Frame &fr, uint32_t owned) {
        OrphanScan &o = fr.scan;
        if (o.in_run > owned) {
            readfat_finding f{};
            f.kind = READFAT_FIND_LFN_ORPHAN;
            f.count = o.run_at;
            f.length = o.in_run - owned;
            f.sector = o.run_sector;
            f.cluster = fr.first;
            report(f, true, fr.root ? nullptr : &fr.entry);
        }
        o.in_run = o.run_n = 0;
    }

    // Scans raw entry `index` (in `sector`) of the directory, once each, up to the end mark.
    void scan_entry(Frame &fr, const uint8_t *e, uint32_t index, uint64_t sector) {
        OrphanScan &o = fr.scan;
        if (o.ended || index != o.scanned) return;
        ++o.scanned;
        if (e[0] == 0) {
            o.ended = true;
            orphans(fr, 0);
            return;
        }
        if (e[0] == 0xE5) {
            orphans(fr, 0);
            return;
        }
        if ((e[DV_DIRENT_ATTR] & 0x3Fu) == DV_ATTR_LFN) {
            if (o.in_run++ == 0) {
                o.run_at = index;
                o.run_sector = sector;
            }
            if (o.run_n == kRunMax) {
                std::memmove(o.seq, o.seq + 1, kRunMax - 1);
                std::memmove(o.sum, o.sum + 1, kRunMax - 1);
                --o.run_n;
            }
            o.seq[o.run_n] = e[0];
            o.sum[o.run_n++] = e[DV_LFN_CHECKSUM];
            return;
        }
        // The last k entries of the run are the entry's when they count down from k (the
        // first marked last) and carry its checksum.
        const uint8_t want = shortname_checksum(e);
        uint32_t owned = 0;
        for (uint32_t k = 1; k <= o.run_n && owned == 0; ++k) {
            const uint32_t at = o.run_n - k;
            bool ok = (o.seq[at] & DV_LFN_LAST) != 0 && (o.seq[at] & 0x1Fu) == k;
            for (uint32_t j = 0; ok && j < k; ++j)
                ok = (o.seq[at + j] & 0x1Fu) == k - j && o.sum[at + j] == want;
            if (ok) owned = k;
        }
        orphans(fr, owned);
    }

    // What the listing of `listing` read: `got` 512-byte sectors from `sector` in `buf`.
    // FAT sectors (the listing follows the chain) are passed over; directory sectors come
    // in directory order, a read that starts inside the one before again after a short
    // result. Each raw entry is scanned once: a directory is read once for both.
    void tapped(const uint8_t *buf, uint64_t sector, uint32_t got) {
        Frame &fr = *listing;
        OrphanScan &o = fr.scan;
        const bool region = fr.root && fr.first == 0;
        if (region ? sector < vol->root_start || sector >= vol->root_start + vol->root_sectors
                   : sector < vol->data_start)
            return;
        got = got >> vol->sector_shift << vol->sector_shift; // whole logical sectors only
        uint32_t index;
        if (region)
            index = static_cast<uint32_t>((sector - vol->root_start) * 16u);
        else if (o.last_count != 0 && sector >= o.last_sector &&
                 sector < o.last_sector + o.last_count)
            index = o.last_index + static_cast<uint32_t>(sector - o.last_sector) * 16u;
        else
            index = o.next;
        o.last_sector = sector;
        o.last_index = index;
        o.last_count = got;
        o.next = index + got * 16u;
        for (uint32_t i = 0; i < got * 16u && !stopped; ++i)
            scan_entry(fr, buf + size_t{i} * DV_DIRENT_SIZE, index + i, sector + i / 16u);
    }

    static int32_t tap(void *self, void *buf, uint64_t sector, uint32_t count) {
        auto *k = static_cast<Checker *>(self);
        const int32_t got = k->reader_fn(k->reader_data, buf, sector, count);
        if (k->listing && got > 0 && static_cast<uint32_t>(got) <= count)
            k->tapped(static_cast<const uint8_t *>(buf), sector, static_cast<uint32_t>(got));
        return got;
    }

    void unreadable(Frame &fr, int code) {
        readfat_finding f{};
        f.kind = READFAT_FIND_UNREADABLE;
        f.cluster = fr.first;
        f.count = static_cast<uint32_t>(code);
        report(f, true, fr.root ? nullptr : &fr.entry);
    }

    void report_lost() {
        for (uint32_t c = 2; c <= last && !stopped;) {
            if (!bit(used, c) || bit(reached, c)) {
                ++c;
                continue;
            }
            uint32_t end = c;
            while (end + 1 <= last && bit(used, end + 1) && !bit(reached, end + 1)) ++end;
            readfat_finding f{};
            f.kind = READFAT_FIND_LOST;
            f.cluster = c;
            f.length = end - c + 1;
            report(f, false);
            c = end + 1;
        }
    }
};

} // namespace

long check_volume(readfat_volume *vol, uint32_t what, readfat_check_fn fn, void *fn_data,
                  int *err) {
    if (what & READFAT_CHECK_LOST) what |= READFAT_CHECK_FATS | READFAT_CHECK_TREE;
    Checker k{{vol, fn, fn_data}};
    // The clusters the boot sector declares, as the free count and the writer take them.
    k.last = declared_clusters(vol) + 1;
    const size_t map_bytes = (size_t{k.last} >> 3) + 1;
    int rc = 0;
    k.used = static_cast<uint8_t *>(k.take(map_bytes * 2));
    k.frames = static_cast<Frame *>(k.take(sizeof(Frame) * READFAT_CHECK_MAX_DEPTH));
    k.path = static_cast<uint16_t *>(k.take((kPathMax + 1) * sizeof(uint16_t)));
    k.marks = static_cast<Mark *>(k.take(sizeof(Mark) * kMarksMax));
    k.sector_buf = static_cast<uint8_t *>(k.take(vol->bytes_per_sector));
    if (!k.used || !k.frames || !k.path || !k.marks || !k.sector_buf) rc = ENOMEM;
    if (rc == 0) {
        k.reached = k.used + map_bytes;
        if (what & READFAT_CHECK_FATS) {
            rc = k.fat_pass();
            if (rc == 0) k.volume_state();
            if (rc == 0 && !k.stopped) rc = k.boot_backup();
        }
        if (rc == 0 && (what & READFAT_CHECK_TREE) && !k.stopped) {
            // The walk reads through the check, which scans what the listings read.
            k.reader_data = vol->reader_data;
            k.reader_fn = vol->reader_fn;
            vol->reader_data = &k;
            vol->reader_fn = &Checker::tap;
            rc = k.walk_tree();
            vol->reader_data = k.reader_data;
            vol->reader_fn = k.reader_fn;
        }
        if (rc == 0 && (what & READFAT_CHECK_LOST) && !k.stopped) k.report_lost();
    }
    k.give(k.sector_buf);
    k.give(k.marks);
    k.give(k.path);
    k.give(k.frames);
    k.give(k.used);
    if (rc != 0) {
        set_err(err, rc);
        return -1;
    }
    return k.found;
}

} // namespace dorvex

extern "C" long readfat_check(readfat_volume *vol, uint32_t what, readfat_check_fn fn,
                              void *fn_data, int *err) {
    if (!vol) {
        dorvex::set_err(err, EINVAL);
        return -1;
    }
    if (dorvex::is_exfat(vol)) return dorvex::check_exfat(vol, what, fn, fn_data, err);
    return dorvex::check_volume(vol, what, fn, fn_data, err);
}
