// Directory scans (a name, a free run, the tails in use, the end mark) and the placement
// of entry runs, growing a directory when it is full.
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "charset/casefold.h"
#include "codec/dirent_internal.h"
#include "volume/fat_chain.h"
#include "write/writefat_internal.h"

namespace dorvex {

bool is_dot_entry(const uint8_t *e) {
    return std::memcmp(e, ".          ", 11) == 0 || std::memcmp(e, "..         ", 11) == 0;
}

bool gather_lfn(uint8_t *run, uint32_t &run_len, const uint8_t *e) {
    if ((e[DV_DIRENT_ATTR] & 0x3Fu) != DV_ATTR_LFN) return false;
    if (e[0] & DV_LFN_LAST) run_len = 0;
    if (run_len < kMaxRunEntries - 1)
        std::memcpy(run + run_len++ * DV_DIRENT_SIZE, e, DV_DIRENT_SIZE);
    else
        run_len = 0; // longer than any name: damaged
    return true;
}

// Whether `k` long-name entries before the short entry `sn` form its whole run.
bool run_belongs(const uint8_t *run, uint32_t k, const uint8_t *sn) {
    if (k == 0) return false;
    const uint8_t sum = shortname_checksum(sn);
    if ((run[0] & DV_LFN_LAST) == 0 || (run[0] & 0x1Fu) != k) return false;
    for (uint32_t i = 0; i < k; ++i) {
        const uint8_t *e = run + i * DV_DIRENT_SIZE;
        if ((e[0] & 0x1Fu) != k - i || e[DV_LFN_CHECKSUM] != sum) return false;
    }
    return true;
}

void decode_run(W *w, uint8_t *run, uint32_t k, const uint8_t *e, dv_entry &rec) {
    std::memcpy(run + k * DV_DIRENT_SIZE, e, DV_DIRENT_SIZE);
    const uint8_t *p = run;
    int count = static_cast<int>(k + 1), room = 1;
    dv_entry *out = &rec;
    if (dv_readentry(w->ctx, &p, &count, &out, &room) == 0 && room == 0) return;
    p = e;
    count = room = 1;
    out = &rec;
    if (dv_readentry(w->ctx, &p, &count, &out, &room) == 0 && room == 0) return;
    // Not even the short entry decodes: its bytes as they stand.
    std::memset(&rec, 0, sizeof rec);
    int n = 0;
    for (int i = 0; i < 11; ++i)
        if (e[i] != ' ') rec.name.units[n++] = e[i];
    rec.name.len = static_cast<uint16_t>(n);
    std::memcpy(rec.shortname, e, 11);
    rec.attr = e[DV_DIRENT_ATTR];
    rec.cluster = raw_first(w, e);
    rec.size = load_le32(e + DV_DIRENT_SIZE_FIELD);
    rec.size64 = rec.valid64 = rec.size;
}

namespace {

// Whether the long-name entry of ordinal 1 `e` may start the folded name `want`: false only
// when a unit stored there surely folds to another one.
bool lfn_head_may_match(const uint8_t *e, const dv_name &want) {
    static const uint8_t kAt[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    const int n = want.len < 13 ? want.len : 13;
    for (int i = 0; i < n; ++i) {
        const uint16_t u = load_le16(e + kAt[i]);
        if (u >= 0xD800 && u <= 0xDFFF) return true; // left to the decoder
        if (fold_unit(u) != want.units[i]) return false;
    }
    return true;
}

// A directory unit through the cache: the cluster `cluster`, or with the sector buffer the
// logical sector `sector`. Null when it cannot be read.
const uint8_t *dir_unit(W *w, uint32_t cluster, uint64_t sector) {
    const uint64_t at = w->dc_by_sector ? sector : cluster_sector(w->rv, cluster);
    uint32_t victim = 0;
    for (uint32_t k = 0; k < w->dc_slots; ++k) {
        if (w->dc_tag[k] == at) {
            w->dc_used[k] = ++w->clock;
            return dc_buf(w, k);
        }
        if (w->dc_used[k] < w->dc_used[victim]) victim = k;
    }
    w->dc_tag[victim] = 0;
    uint8_t *buf = dc_buf(w, victim);
    if (w->dc_by_sector ? read_unit(w, at, buf) != 0
                        : read_cluster(w->rv, cluster, buf) != ReadResult::ok)
        return nullptr;
    // The group's sectors are newer than the medium.
    for (uint32_t k = 0; k < w->pend_count; ++k)
        if (w->pend_tag[k] >= at && w->pend_tag[k] < at + w->dc_span)
            std::memcpy(buf + (w->pend_tag[k] - at) * 512u, w->pend_buf + size_t{k} * w->bps,
                        w->bps);
    w->dc_tag[victim] = at;
    w->dc_used[victim] = ++w->clock;
    return buf;
}

// One unit of a directory's walk: the fixed root region or a chain of clusters.
struct DirWalk {
    uint32_t dir, cluster, pos;
    uint64_t sector;
};

int walk_begin(W *w, uint32_t dir, DirWalk &d) {
    d.dir = dir;
    d.cluster = dir;
    d.pos = 0;
    if (dir == kRootRegion) {
        d.sector = w->rv->root_start;
        return 0;
    }
    if (!is_link(w, dir)) return EIO;
    d.sector = cluster_first_sector(w, dir);
    return 0;
}

// Moves to the next unit; `end` at the end of the directory.
int walk_next(W *w, DirWalk &d, bool &end) {
    end = false;
    ++d.pos;
    if (d.dir == kRootRegion) {
        end = d.pos >= w->rv->root_sectors / w->unit;
        d.sector += w->unit;
        return 0;
    }
    if (d.pos < w->rv->sectors_per_cluster / w->unit) {
        d.sector += w->unit;
        return 0;
    }
    uint32_t next = 0;
    if (int rc = fat_get(w, d.cluster, next)) return rc;
    if (!is_link(w, next)) {
        end = true;
        return 0;
    }
    d.cluster = next;
    d.pos = 0;
    d.sector = cluster_first_sector(w, next);
    return 0;
}

} // namespace

int scan_dir(W *w, uint32_t dir, Scan &s) {
    if (s.plan) std::memset(w->tails, 0, (w->tail_count + 31u) / 32u * sizeof(uint32_t));
    if (s.build_index) {
        index_drop(w);
        std::memset(w->ix_table, 0, size_t{w->ix_slots} * sizeof(uint32_t));
    }
    DirWalk d;
    if (int rc = walk_begin(w, dir, d)) return rc;
    uint8_t run[kMaxRunEntries * DV_DIRENT_SIZE];
    uint32_t run_len = 0, free_len = 0, ordinal = 0;
    const uint32_t units_max = kMaxDirEntries / w->epu;
    for (uint32_t u = 0; u < units_max; ++u) {
        if (d.dir != kRootRegion) s.last_cluster = d.cluster;
        // A cluster directory is read through the cache, a whole cluster at a time with the
        // cluster buffer; without a cache a sector at a time.
        const uint8_t *unit = w->dir_buf;
        if (!s.has_end && d.dir != kRootRegion && w->dc_slots != 0) {
            const uint8_t *c = dir_unit(w, d.cluster, d.sector);
            if (!c) return EIO;
            unit = w->dc_by_sector ? c : c + size_t{d.pos} * w->bps;
        } else if (!s.has_end) {
            if (int rc = read_dir_unit(w, d.sector, w->dir_buf)) return rc;
        }
        if (s.need <= w->epu) free_len = 0; // a run stays inside one sector
        for (uint32_t i = 0; i < w->epu; ++i, ++ordinal) {
            const uint8_t *e = unit + i * DV_DIRENT_SIZE;
            if (!s.has_end && e[0] == 0) {
                s.has_end = true;
                s.end_at = ordinal;
            }
            if (s.has_end || e[0] == 0xE5) {
                run_len = 0;
                if (++free_len >= s.need && s.need != 0 && !s.free_found) {
                    s.free_found = true;
                    s.free_at = ordinal + 1 - s.need;
                }
                continue;
            }
            free_len = 0;
            if (gather_lfn(run, run_len, e)) continue;
            const uint32_t k = run_belongs(run, run_len, e) ? run_len : 0;
            run_len = 0;
            if (e[DV_DIRENT_ATTR] & DV_ATTR_VOLUME) {
                if (dir == root_start_cluster(w->rv) && !s.label_found) {
                    s.label_found = true;
                    s.label_at = ordinal;
                }
                continue;
            }
            if (is_dot_entry(e)) continue;
            s.nonempty = true;
            if (s.plan) {
                note_tail(w, *s.plan, s.tail_base, e);
                if (std::memcmp(e, s.plan->shortname, 11) == 0) s.alias_taken = true;
            }
            const uint32_t first = ordinal - k;
            if (s.build_index) index_add(w, index_hash('S', e, 11));
            const bool match = s.want && !s.found && !(s.skip_count && first == s.skip_first);
            if (!match && !s.build_index) continue;
            // Most names differ from the one sought within their first 13 units: skip their
            // decoding. (Longer than 12 units it cannot be an 8.3 name.)
            if (!s.build_index && k > 0 && s.want->len > 12 &&
                !lfn_head_may_match(run + (k - 1) * DV_DIRENT_SIZE, *s.want))
                continue;
            std::memcpy(run + k * DV_DIRENT_SIZE, e, DV_DIRENT_SIZE);
            // A match found already keeps its record: later names go to a scratch one.
            dv_entry scratch;
            dv_entry *const into = s.found ? &scratch : &s.rec;
            const uint8_t *p = run;
            int count = static_cast<int>(k + 1), room = 1;
            dv_entry *rec = into;
            if (dv_readentry(w->ctx, &p, &count, &rec, &room) != 0 || room != 0) {
                // The run did not decode: the short entry alone.
                p = e;
                count = room = 1;
                rec = into;
                if (dv_readentry(w->ctx, &p, &count, &rec, &room) != 0 || room != 0) continue;
            }
            if (s.build_index) {
                dv_name folded;
                fold_name(into->name, folded);
                index_add(w, index_hash('N', folded.units, folded.len));
            }
            if (match && (folds_equal(s.rec.name, *s.want) || alias_folds_equal(s.rec, *s.want))) {
                s.found = true;
                s.run_first = first;
                s.run_count = k + 1;
                // A lookup alone needs nothing after its match.
                if (!s.plan && s.need == 0) return 0;
            }
        }
        bool end = false;
        if (int rc = walk_next(w, d, end)) return rc;
        if (end) {
            s.capacity = ordinal;
            return 0;
        }
    }
    s.capacity = ordinal;
    return 0;
}

int locate(W *w, uint32_t dir, uint32_t ordinal, uint64_t &sector) {
    // New names of an indexed directory go to its last cluster: no walk along its chain.
    const uint32_t epc = w->rv->dir_entries_per_cluster;
    if (dir == w->ix_dir && dir != kRootRegion && ordinal < w->ix_capacity &&
        ordinal >= w->ix_capacity - epc) {
        sector = cluster_first_sector(w, w->ix_last_cluster) +
                 uint64_t{(ordinal - (w->ix_capacity - epc)) / w->epu} * w->unit;
        return 0;
    }
    DirWalk d;
    if (int rc = walk_begin(w, dir, d)) return rc;
    for (uint32_t u = ordinal / w->epu; u > 0; --u) {
        bool end = false;
        if (int rc = walk_next(w, d, end)) return rc;
        if (end) return EIO;
    }
    sector = d.sector;
    return 0;
}

namespace {

// Read-modify-write of the sectors holding ordinals [at, at + n): entries from `src` (or,
// with null `src`, marked deleted).
int patch_entries(W *w, uint32_t dir, uint32_t at, const uint8_t *src, uint32_t n) {
    if (dir == w->ix_dir && !w->ix_writing) index_drop(w);
    while (n > 0) {
        uint64_t sector = 0;
        if (int rc = locate(w, dir, at, sector)) return rc;
        if (int rc = read_dir_unit(w, sector, w->dir_buf)) return rc;
        const uint32_t i = at % w->epu;
        const uint32_t k = w->epu - i < n ? w->epu - i : n;
        for (uint32_t j = 0; j < k; ++j) {
            uint8_t *e = w->dir_buf + (i + j) * DV_DIRENT_SIZE;
            if (src) {
                std::memcpy(e, src, DV_DIRENT_SIZE);
                src += DV_DIRENT_SIZE;
            } else {
                e[0] = 0xE5;
            }
        }
        if (int rc = dir_store(w, sector, w->dir_buf)) return rc;
        at += k;
        n -= k;
    }
    return 0;
}

} // namespace

int write_entries(W *w, uint32_t dir, uint32_t at, const uint8_t *entries, uint32_t n) {
    return patch_entries(w, dir, at, entries, n);
}

int delete_entries(W *w, uint32_t dir, uint32_t first, uint32_t n) {
    w->path_levels = w->path_units = w->path_text_len = w->path_text_levels = 0;
    // The sector of the short entry (the last) goes first: a cut between two sectors then
    // leaves the name gone and a part of its long name, not the entry under its alias.
    while (n > 0) {
        const uint32_t last = first + n - 1;
        const uint32_t from = last - last % w->epu > first ? last - last % w->epu : first;
        if (int rc = patch_entries(w, dir, from, nullptr, last + 1 - from)) return rc;
        n = from - first;
    }
    return 0;
}

int write_dir_cluster(W *w, uint32_t cluster, const uint8_t *first_unit) {
    const uint64_t at = cluster_first_sector(w, cluster);
    if (int rc = write_sectors(w, first_unit, at, w->unit)) return rc;
    alignas(512) static const uint8_t kZero[4096] = {};
    for (uint32_t s = w->unit; s < w->rv->sectors_per_cluster; s += w->unit)
        if (int rc = write_sectors(w, kZero, at + s, w->unit)) return rc;
    return 0;
}

int grow_dir(W *w, uint32_t last, uint32_t &added) {
    uint32_t c = 0;
    if (int rc = alloc_cluster(w, 0, c)) return rc;
    std::memset(w->dir_buf, 0, w->bps);
    int rc = write_dir_cluster(w, c, w->dir_buf);
    // The new cluster is whole and ends its chain before the directory links to it.
    if (rc == 0) rc = fat_flush(w);
    if (rc != 0) {
        free_chain(w, c);
        return rc;
    }
    if ((rc = fat_set(w, last, c)) != 0) return rc;
    if ((rc = fat_flush(w)) != 0) return rc;
    added = c;
    return 0;
}

uint32_t run_entries(const dv_entry &rec) {
    return (rec.name.len + 12u) / 13u + 1u; // the codec's NT form
}

int place_record(W *w, uint32_t dir, const dv_entry &rec, const Scan *first, uint32_t *placed) {
    uint8_t raw[(kMaxRunEntries + 1) * DV_DIRENT_SIZE];
    std::memset(raw, 0, sizeof raw);
    const uint32_t k = run_entries(rec);
    for (int attempt = 0; attempt < 2; ++attempt) {
        Scan s;
        if (attempt == 0 && first != nullptr) {
            s = *first;
        } else {
            s.need = k;
            if (int rc = scan_dir(w, dir, s)) return rc;
        }
        if (!s.free_found) {
            if (attempt == 1 || dir == kRootRegion) return ENOSPC;
            if (s.capacity + w->rv->dir_entries_per_cluster > kMaxDirEntries) return ENOSPC;
            index_drop(w); // its extent changes: the next full scan rebuilds it
            uint32_t added = 0;
            if (int rc = grow_dir(w, s.last_cluster, added)) return rc;
            continue;
        }
        const uint32_t at = s.free_at;
        // Entries skipped at the old end (a run kept inside one sector) become deleted ones,
        // so the end mark stays behind the new run.
        if (s.has_end && at > s.end_at)
            if (int rc = delete_entries(w, dir, s.end_at, at - s.end_at)) return rc;
        uint32_t n = k;
        if (s.has_end && at + k >= s.end_at && at + k < s.capacity) {
            if ((at + k) % w->epu != 0) {
                n = k + 1; // the zeroed entry after the run ends the directory
            } else {
                uint8_t zero[DV_DIRENT_SIZE] = {};
                uint64_t sector = 0;
                if (int rc = locate(w, dir, at + k, sector)) return rc;
                if (int rc = read_dir_unit(w, sector, w->dir_buf)) return rc;
                if (w->dir_buf[0] != 0)
                    if (int rc = write_entries(w, dir, at + k, zero, 1)) return rc;
            }
        }
        const dv_entry *r = &rec;
        int count = 1;
        uint8_t *cursor = raw;
        unsigned room = kMaxRunEntries + 1;
        if (dv_writeentry(w->ctx, &r, &count, &cursor, &room) != 0) return EINVAL;
        // The codec writes the case flags alone; a move's mark goes with the entry.
        raw[(k - 1) * DV_DIRENT_SIZE + DV_DIRENT_RESERVED] |= rec.lcase & kMoveMarks;
        if (placed) *placed = at;
        return write_entries(w, dir, at, raw, n);
    }
    return ENOSPC;
}

} // namespace dorvex
