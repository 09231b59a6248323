// The exFAT check: the boot regions, then a walk over the tree that reads each directory's
// raw entry sets (so that sets a listing refuses are still judged) and follows every chain
// or contiguous run once, marking what it reaches in a bitmap; then one pass over the
// allocation bitmap for what is marked used but unreached.
#include <cerrno>
#include <cstring>

#include "check/check_internal.h"
#include "common/bytes.h"
#include "exfat/exfat_internal.h"
#include "volume/fat_chain.h"
#include "volume/readfat_internal.h"

namespace dorvex {
namespace {

constexpr uint32_t kPathMax = kCheckPathMax;
constexpr uint32_t kNoCluster = 0xFFFFFFFFu;
// Entries a set cut by a cluster's end may carry into the next: a primary and its 255
// secondaries at most.
constexpr uint32_t kCarry = 256;
constexpr uint8_t kInUse = 0x80, kSecondary = 0x40;

struct Frame {
    dv_entry entry;    // the directory's own entry (unused for the root)
    uint32_t cluster;  // the cluster the listing reads now
    uint32_t index;    // ... its place among the directory's clusters
    uint32_t clusters; // the clusters the walk reached for it: the listing reads no more
    uint32_t resume;   // the raw entry of `cluster` the listing goes on at
    uint32_t raw_base; // the directory's raw entry number of the first entry of `cluster`
    uint32_t path_len;
    bool contiguous;
    bool root;
};

struct ExfatChecker : CheckBase {
    uint8_t *reached = nullptr;
    uint8_t *buf = nullptr; // kCarry entries, then a cluster
    Frame *frames = nullptr;
    ExfatUpcase upcase{};

    // ---- The boot regions --------------------------------------------------------------

    // The volume's first sector: the heap lies ClusterHeapOffset logical sectors past it.
    uint64_t volume_start() const {
        return vol->data_start - (uint64_t{load_le32(vol->boot_buf + 88)} << vol->sector_shift);
    }

    // Reads the boot region at logical sector `base` into `region` (12 logical sectors) and
    // reports what fails; false when it cannot be read. `*sound` tells whether it checks.
    bool boot_region(uint8_t *region, uint32_t base, uint64_t start, bool *sound) {
        const uint32_t units = kExfatBootSectors << vol->sector_shift;
        const uint64_t at = start + (uint64_t{base} << vol->sector_shift);
        if (read_run(vol, at, units, region, start, vol->end_sector) != ReadResult::ok)
            return false;
        ExfatBoot b;
        const ExfatCode code =
            check_exfat_boot_region(region, size_t{kExfatBootSectors} * vol->bytes_per_sector, &b);
        *sound = code == ExfatCode::ok;
        if (code != ExfatCode::ok) {
            readfat_finding f{};
            f.kind = READFAT_FIND_BOOT_REGION;
            f.count = base;
            f.length = code == ExfatCode::bad_checksum ? 1 : 2;
            f.sector = at;
            report(f, false);
        }
        return true;
    }

    // Both boot regions, main against backup, and VolumeDirty. 0 or EIO (the main region
    // cannot be read).
    int boot_pass() {
        const size_t bytes = size_t{kExfatBootSectors} * vol->bytes_per_sector;
        auto *main = static_cast<uint8_t *>(take(bytes * 2));
        if (!main) return ENOMEM;
        uint8_t *backup = main + bytes;
        const uint64_t start = volume_start();
        int rc = 0;
        bool main_sound = false, backup_sound = false;
        if (!boot_region(main, 0, start, &main_sound)) {
            rc = EIO;
        } else {
            if (boot_region(backup, kExfatBackupSector, start, &backup_sound)) {
                // VolumeFlags and PercentInUse change in the main region only.
                uint32_t differ = 0;
                for (size_t i = 0; i < bytes; ++i)
                    if (i != 106 && i != 107 && i != 112 && main[i] != backup[i]) ++differ;
                if (differ != 0) {
                    readfat_finding f{};
                    f.kind = READFAT_FIND_BOOT_BACKUP;
                    f.count = kExfatBackupSector;
                    f.length = differ;
                    f.sector = start + (uint64_t{kExfatBackupSector} << vol->sector_shift);
                    report(f, false);
                }
            }
            // A main region that fails says nothing trustworthy about the flag.
            if (main_sound && (load_le16(main + 106) & kExfatFlagVolumeDirty)) {
                readfat_finding f{};
                f.kind = READFAT_FIND_DIRTY;
                report(f, false);
            }
        }
        give(main);
        return rc;
    }

    void table_notes(const readfat_volinfo &info) {
        if (vol->exfat_notes & DV_VOL_NOTE_BITMAP_BAD) {
            readfat_finding f{};
            f.kind = READFAT_FIND_BITMAP_BAD;
            f.cluster = info.bitmap_cluster;
            report(f, false);
        }
        if (vol->exfat_notes & DV_VOL_NOTE_UPCASE_BAD) {
            readfat_finding f{};
            f.kind = READFAT_FIND_UPCASE_BAD;
            f.cluster = info.upcase_cluster;
            f.count = info.upcase_checksum;
            report(f, false);
        }
    }

    // ---- Chains and runs ----------------------------------------------------------------

    bool on_own_chain(uint32_t first, uint32_t target, uint32_t steps) {
        uint32_t c = first;
        for (uint32_t i = 0; i < steps; ++i) {
            if (c == target) return true;
            c = next_cluster(vol, c);
            if (!in_heap(c)) return false;
        }
        return false;
    }

    // Marks `c` reached and counts it when the bitmap marks it free.
    void reach(uint32_t c, uint32_t &free_first, uint32_t &free_n) {
        set(reached, c);
        if (vol->bitmap_start != 0 && exfat_cluster_in_use(vol, c) == 0 && free_n++ == 0)
            free_first = c;
    }

    // Follows the clusters from `first`: `need` of them in a row when `contiguous`, else the
    // FAT chain (kNoCluster: as long as it goes). Reports what is wrong with them and returns
    // how many were reached in order before any fault, or kNoCluster when a FAT sector fails.
    uint32_t walk(uint32_t first, uint32_t need, bool contiguous, uint64_t size,
                  const dv_entry *e) {
        readfat_finding f{};
        f.size = size;
        if (!in_heap(first)) {
            f.kind = first == 0 ? READFAT_FIND_CHAIN_SHORT : READFAT_FIND_BAD_LINK;
            f.count = first;
            report(f, true, e);
            return 0;
        }
        uint32_t free_first = 0, free_n = 0, n = 0, extra = 0, c = first;
        bool cut = false; // stopped at a cluster reached before: not judged short
        for (;;) {
            if (bit(reached, c)) {
                f.kind = !contiguous && on_own_chain(first, c, n) ? READFAT_FIND_LOOP
                                                                  : READFAT_FIND_CROSSLINK;
                f.cluster = c;
                f.length = n;
                report(f, true, e);
                cut = true;
                break;
            }
            reach(c, free_first, free_n);
            if (++n == need + 1 && need != kNoCluster) extra = c;
            if (contiguous) {
                if (n == need) break;
                if (!in_heap(uint64_t{c} + 1)) {
                    f.kind = READFAT_FIND_BAD_LINK;
                    f.cluster = c;
                    f.count = c + 1;
                    report(f, true, e);
                    break;
                }
                ++c;
                continue;
            }
            const uint32_t next = next_cluster(vol, c);
            if (next == kFatUnreadable) return kNoCluster;
            if (is_chain_end(next)) break;
            if (!in_heap(next)) {
                f.kind = READFAT_FIND_BAD_LINK;
                f.cluster = c;
                f.count = next;
                report(f, true, e);
                break;
            }
            c = next;
        }
        if (extra != 0) {
            readfat_finding l{};
            l.kind = READFAT_FIND_CHAIN_LONG;
            l.cluster = extra;
            l.length = n;
            l.size = size;
            report(l, true, e);
        }
        if (!cut && need != kNoCluster && n < need) {
            readfat_finding s{};
            s.kind = READFAT_FIND_CHAIN_SHORT;
            s.cluster = c;
            s.length = n;
            s.size = size;
            report(s, true, e);
        }
        if (free_n != 0) {
            readfat_finding b{};
            b.kind = READFAT_FIND_BITMAP_FREE;
            b.cluster = free_first;
            b.length = free_n;
            report(b, true, e);
        }
        return need != kNoCluster && n > need ? need : n;
    }

    // The bitmap's and the up-case table's clusters: one run each (the mount reads them so).
    void reach_table(uint32_t first, uint64_t bytes) {
        const uint64_t n = (bytes + vol->cluster_bytes - 1) / vol->cluster_bytes;
        uint32_t free_first = 0, free_n = 0;
        for (uint64_t i = 0; i < n && in_heap(uint64_t{first} + i); ++i)
            if (!bit(reached, static_cast<uint32_t>(first + i)))
                reach(static_cast<uint32_t>(first + i), free_first, free_n);
    }

    // ---- Entry sets --------------------------------------------------------------------

    static void fill_entry(const ExfatSet &s, dv_entry &e) {
        std::memset(&e, 0, sizeof e);
        e.name.len = static_cast<uint32_t>(s.name_len);
        for (int i = 0; i < s.name_len; ++i) e.name.units[i] = s.name[i];
        e.cluster = s.first_cluster;
        e.attr = s.attributes;
        e.size64 = s.data_length;
        e.size = s.data_length > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(s.data_length);
        e.valid64 = s.valid_length;
        e.stream_flags = s.stream_flags;
    }

    static bool bad_stamp(const ExfatStamp &t) {
        if (t.stamp == 0) return false; // never set
        return t.tenms > 199 || decode_exfat_time(t).sec == DV_TIME_NONE;
    }

    // Judges the File set at `e` (decoded into `s`, `entries` long) of the directory in
    // `fr`; the path holds its name.
    void judge_set(const uint8_t *e, const ExfatSet &s, const dv_entry &ent) {
        readfat_finding f{};
        const uint16_t sum = exfat_set_checksum(e, size_t(s.entries), false);
        if (sum != load_le16(e + 2)) {
            f.kind = READFAT_FIND_SET_CHECKSUM;
            f.count = load_le16(e + 2);
            f.length = sum;
            report(f, true, &ent);
        }
        const uint16_t hash = exfat_name_hash(s.name, size_t(s.name_len), upcase);
        if (hash != s.name_hash) {
            f = readfat_finding{};
            f.kind = READFAT_FIND_NAME_HASH;
            f.count = s.name_hash;
            f.length = hash;
            report(f, true, &ent);
        }
        if (s.valid_length > s.data_length) {
            f = readfat_finding{};
            f.kind = READFAT_FIND_VALID_PAST_SIZE;
            f.size = s.data_length;
            report(f, true, &ent);
        }
        const ExfatStamp *stamps[3] = {&s.create, &s.modify, &s.access};
        for (uint32_t i = 0; i < 3; ++i) {
            if (!bad_stamp(*stamps[i])) continue;
            f = readfat_finding{};
            f.kind = READFAT_FIND_BAD_TIME;
            f.count = i;
            report(f, true, &ent);
        }
    }

    void set_damaged(const Frame &fr, uint32_t raw, uint32_t secondaries, uint64_t sector) {
        readfat_finding f{};
        f.kind = READFAT_FIND_SET_DAMAGED;
        f.count = raw;
        f.length = secondaries;
        f.sector = sector;
        report(f, true, fr.root ? nullptr : &fr.entry);
    }

    void unreadable(const Frame &fr, int code) {
        readfat_finding f{};
        f.kind = READFAT_FIND_UNREADABLE;
        f.cluster = fr.cluster;
        f.count = static_cast<uint32_t>(code);
        report(f, true, fr.root ? nullptr : &fr.entry);
    }

    // The cluster after `fr.cluster` in its directory, or 0 when the listing ends there.
    uint32_t next_of(const Frame &fr) {
        if (fr.index + 1 >= fr.clusters) return 0;
        const uint32_t c = fr.contiguous ? fr.cluster + 1 : next_cluster(vol, fr.cluster);
        return in_heap(c) ? c : 0;
    }

    // ---- The tree walk -----------------------------------------------------------------

    int walk_tree() {
        const uint32_t per = vol->dir_entries_per_cluster;
        Frame *top = frames;
        std::memset(top, 0, sizeof *top);
        top->root = true;
        top->cluster = vol->root_cluster;
        top->clusters = walk(vol->root_cluster, kNoCluster, false, 0, nullptr);
        if (top->clusters == kNoCluster) return EIO;
        // A root whose first cluster another structure claims (reported) is still listed.
        if (top->clusters == 0) top->clusters = 1;
        uint32_t depth = 1;
        bool skipping = false; // secondaries of a damaged set are passed over
        while (depth > 0 && !stopped) {
            Frame &fr = frames[depth - 1];
            path_len = fr.path_len;
            uint32_t carry = 0, start = fr.resume;
            bool descend = false, done = false;
            while (!done && !descend && !stopped) {
                uint8_t *cl = buf + size_t{carry} * kExfatEntrySize;
                if (read_cluster(vol, fr.cluster, cl) != ReadResult::ok) {
                    if (fr.root && fr.index == 0) return EIO; // as a FAT root that fails
                    unreadable(fr, EIO);
                    break;
                }
                const uint32_t avail = carry + per;
                const uint64_t sector = cluster_sector(vol, fr.cluster);
                uint32_t i = start == 0 ? 0 : carry + start;
                start = 0;
                const uint32_t carried = carry;
                carry = 0;
                while (i < avail && !stopped) {
                    const uint8_t *e = buf + size_t{i} * kExfatEntrySize;
                    // Where the entry lies: carried ones sit at the previous cluster's end.
                    const uint32_t raw = fr.raw_base + i - carried;
                    const uint64_t at =
                        i >= carried ? sector + ((i - carried) * kExfatEntrySize >> 9) : sector;
                    if (e[0] == 0) {
                        done = true;
                        break;
                    }
                    if ((e[0] & kInUse) == 0) {
                        ++i;
                        continue;
                    }
                    if ((e[0] & kSecondary) && skipping) {
                        ++i;
                        continue;
                    }
                    skipping = false;
                    ExfatSet s;
                    const ExfatCode code = parse_exfat_set(e, avail - i, &upcase, &s, false);
                    if (code == ExfatCode::set_past_run && avail - i <= kCarry &&
                        fr.index + 1 < fr.clusters) {
                        carry = avail - i; // the set goes on in the next cluster
                        std::memmove(buf, e, size_t{carry} * kExfatEntrySize);
                        break;
                    }
                    const bool file =
                        s.kind == ExfatSetKind::file &&
                        (code == ExfatCode::ok || code == ExfatCode::set_checksum ||
                         code == ExfatCode::valid_past_data || code == ExfatCode::name_hash);
                    if (!file) {
                        if (code != ExfatCode::ok) {
                            set_damaged(fr, raw, e[1], at);
                            skipping = true;
                            ++i;
                        } else {
                            i += static_cast<uint32_t>(s.entries);
                        }
                        continue;
                    }
                    s.entries = 1 + e[1];
                    i += static_cast<uint32_t>(s.entries);
                    dv_entry ent;
                    fill_entry(s, ent);
                    const uint32_t back = push_name(s.name, static_cast<uint32_t>(s.name_len));
                    judge_set(e, s, ent);
                    const bool is_dir = (s.attributes & DV_ATTR_DIRECTORY) != 0;
                    const uint64_t cb = vol->cluster_bytes;
                    const uint64_t need64 = (s.data_length + cb - 1) / cb;
                    const uint32_t need =
                        need64 > last ? last : static_cast<uint32_t>(need64); // bounded
                    const bool contiguous = (s.stream_flags & kExfatStreamNoFatChain) != 0;
                    const bool fresh = in_heap(s.first_cluster) && !bit(reached, s.first_cluster);
                    uint32_t walked = 0;
                    if (need != 0) {
                        walked = walk(s.first_cluster, need, contiguous, s.data_length, &ent);
                        if (walked == kNoCluster) return EIO;
                    }
                    if (!is_dir || !fresh || walked == 0 || stopped) {
                        path_len = back;
                        continue;
                    }
                    if (depth >= READFAT_CHECK_MAX_DEPTH) {
                        readfat_finding f{};
                        f.kind = READFAT_FIND_TOO_DEEP;
                        f.cluster = s.first_cluster;
                        report(f, true, &ent);
                        path_len = back;
                        continue;
                    }
                    // Go on after this set when the directory's listing comes back.
                    fr.resume = i - carried;
                    if (fr.resume >= per) { // the set ended the cluster
                        const uint32_t next = next_of(fr);
                        fr.resume = 0;
                        fr.raw_base += per;
                        ++fr.index;
                        fr.cluster = next; // 0: the parent ends when this child does
                    }
                    Frame &child = frames[depth];
                    std::memset(&child, 0, sizeof child);
                    child.entry = ent;
                    child.cluster = s.first_cluster;
                    child.clusters = walked;
                    child.contiguous = contiguous;
                    child.path_len = path_len;
                    path_len = back;
                    ++depth;
                    descend = true;
                    break;
                }
                if (done || descend || stopped) break;
                const uint32_t next = next_of(fr);
                if (next == 0) {
                    if (carry != 0) set_damaged(fr, fr.raw_base + per - carry, buf[1], sector);
                    break;
                }
                fr.cluster = next;
                fr.raw_base += per;
                ++fr.index;
            }
            if (descend) {
                skipping = false;
                continue;
            }
            skipping = false;
            --depth;
            // A parent whose listing ended with the set of this child pops too.
            while (depth > 0 && frames[depth - 1].cluster == 0) --depth;
        }
        return 0;
    }

    // ---- The bitmap pass ---------------------------------------------------------------

    // One pass over the bitmap: runs marked used that the walk did not reach (with `lost`),
    // and the share in use against PercentInUse (with `percent`, from the main region).
    int bitmap_pass(bool lost, bool percent) {
        if (vol->bitmap_start == 0) return 0;
        const uint32_t bps = vol->bytes_per_sector;
        const uint64_t bytes = (uint64_t{vol->cluster_count} + 7) / 8;
        const uint64_t sectors = (bytes + bps - 1) / bps;
        const uint32_t run = vol->cluster_bytes / bps;
        uint64_t used = 0;
        uint32_t lost_first = 0, lost_n = 0;
        auto flush = [&] {
            if (lost_n == 0) return;
            readfat_finding f{};
            f.kind = READFAT_FIND_LOST;
            f.cluster = lost_first;
            f.length = lost_n;
            report(f, false);
            lost_n = 0;
        };
        for (uint64_t s = 0; s < sectors && !stopped; s += run) {
            const uint32_t n = static_cast<uint32_t>(sectors - s < run ? sectors - s : run);
            const uint64_t span = sectors << vol->sector_shift;
            if (read_run(vol, vol->bitmap_start + (s << vol->sector_shift), n << vol->sector_shift,
                         buf, vol->bitmap_start, vol->bitmap_start + span) != ReadResult::ok)
                return EIO;
            const uint64_t base = s * bps * 8;
            for (uint64_t b = 0; b < uint64_t{n} * bps * 8; ++b) {
                const uint64_t idx = base + b;
                if (idx >= vol->cluster_count) break;
                const uint32_t c = static_cast<uint32_t>(idx + 2);
                if (((buf[b >> 3] >> (b & 7)) & 1u) == 0) {
                    flush();
                    continue;
                }
                ++used;
                if (!lost || bit(reached, c)) {
                    flush();
                    continue;
                }
                if (lost_n++ == 0) lost_first = c;
            }
        }
        flush();
        if (percent && vol->boot_backup == 0 && !stopped) {
            const uint32_t stored = vol->boot_buf[112];
            // Writers round either way: within a point of the true share is consistent.
            const uint32_t lo = static_cast<uint32_t>(used * 100 / vol->cluster_count);
            const uint32_t hi =
                static_cast<uint32_t>((used * 100 + vol->cluster_count - 1) / vol->cluster_count);
            const uint32_t have = lo;
            if (stored != 0xFF && (stored > hi + 1 || stored + 1 < lo)) {
                readfat_finding f{};
                f.kind = READFAT_FIND_PERCENT_IN_USE;
                f.count = stored;
                f.length = have;
                report(f, false);
            }
        }
        return 0;
    }
};

} // namespace

long check_exfat(readfat_volume *vol, uint32_t what, readfat_check_fn fn, void *fn_data, int *err) {
    if (what & READFAT_CHECK_LOST) what |= READFAT_CHECK_FATS | READFAT_CHECK_TREE;
    ExfatChecker k{{vol, fn, fn_data}};
    k.last = vol->cluster_count + 1;
    k.upcase = ExfatUpcase{vol->upcase, kExfatUpcaseUnits};
    const size_t map_bytes = (size_t{k.last} >> 3) + 1;
    int rc = 0;
    k.reached = static_cast<uint8_t *>(k.take(map_bytes));
    k.buf = static_cast<uint8_t *>(k.take(size_t{kCarry} * kExfatEntrySize + vol->cluster_bytes));
    k.frames = static_cast<Frame *>(k.take(sizeof(Frame) * READFAT_CHECK_MAX_DEPTH));
    k.path = static_cast<uint16_t *>(k.take((kPathMax + 1) * sizeof(uint16_t)));
    if (!k.reached || !k.buf || !k.frames || !k.path) rc = ENOMEM;
    readfat_volinfo info{};
    if (rc == 0) exfat_volume_info(vol, info);
    if (rc == 0 && (what & READFAT_CHECK_FATS)) {
        rc = k.boot_pass();
        if (rc == 0) k.table_notes(info);
    }
    if (rc == 0 && (what & READFAT_CHECK_TREE) && !k.stopped) {
        if (info.bitmap_cluster != 0) k.reach_table(info.bitmap_cluster, info.bitmap_bytes);
        if (info.upcase_cluster != 0) k.reach_table(info.upcase_cluster, info.upcase_bytes);
        rc = k.walk_tree();
    }
    if (rc == 0 && (what & READFAT_CHECK_FATS) && !k.stopped)
        rc = k.bitmap_pass((what & READFAT_CHECK_LOST) != 0, true);
    k.give(k.path);
    k.give(k.frames);
    k.give(k.buf);
    k.give(k.reached);
    if (rc != 0) {
        set_err(err, rc);
        return -1;
    }
    return k.found;
}

} // namespace dorvex
