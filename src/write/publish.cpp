// Placing a new name: the record of a new entry, its alias, and the scan or index that
// finds room for it.
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "codec/dirent_internal.h"
#include "volume/fat_chain.h"
#include "write/writefat_internal.h"

namespace dorvex {

void set_time(dv_timestamp &ts, int64_t &ts64, int64_t v) {
    if (v == DV_TIME_NONE || v < k1980) v = k1980;
    ts64 = v;
    ts.sec = v <= INT32_MAX ? static_cast<int32_t>(v) : -1;
    ts.nsec = 0;
}

uint32_t entry_first(const W *w, const dv_entry &e) {
    return w->rv->fat_type == 32 ? e.cluster : e.cluster & 0xFFFFu;
}

// The record of a new entry: name and alias still to come.
dv_entry new_record(uint32_t attr, uint32_t cluster, uint32_t size, int64_t mtime) {
    dv_entry r;
    std::memset(&r, 0, sizeof r);
    r.attr = attr;
    r.cluster = cluster;
    r.size = size;
    r.size64 = r.valid64 = size;
    set_time(r.ctime, r.ctime64, mtime);
    set_time(r.mtime, r.mtime64, mtime);
    set_time(r.atime, r.atime64, mtime);
    return r;
}

// publish through the index of a large directory: no scan at all. 1 when the index cannot
// tell (a possible clash, no free room at the end): the caller scans.
int publish_indexed(W *w, uint32_t dir, const dv_name &folded, const NamePlan &plan, dv_entry &rec,
                    uint32_t *short_at) {
    if (!index_says_free(w, dir, folded, plan)) return 1;
    uint8_t alias[11];
    std::memcpy(alias, plan.shortname, 11);
    if (plan.need_lfn && (plan.lossy || index_has(w, index_hash('S', alias, 11)))) {
        // The next free tail, counting on from the last one given for the same base.
        uint8_t key[11];
        std::memset(key, ' ', 11);
        std::memcpy(key, plan.base, static_cast<size_t>(plan.base_len));
        std::memcpy(key + 8, plan.ext, static_cast<size_t>(plan.ext_len));
        uint32_t t = std::memcmp(key, w->ix_tail_key, 11) == 0 ? w->ix_tail_last + 1 : 1;
        for (;; ++t) {
            if (t >= kTailEnd) return 1;
            alias_with_tail(plan, t, alias);
            if (!index_has(w, index_hash('S', alias, 11))) break;
        }
        std::memcpy(w->ix_tail_key, key, 11);
        w->ix_tail_last = t;
    }
    std::memcpy(rec.shortname, alias, 11);
    rec.shortname[11] = 0;
    rec.lcase = static_cast<uint8_t>((plan.need_lfn ? 0 : plan.lcase) | (rec.lcase & kMoveMarks));
    const uint32_t k = run_entries(rec);
    uint32_t at = w->ix_end;
    if (k <= w->epu && at % w->epu + k > w->epu) at += w->epu - at % w->epu;
    if (at + k > w->ix_capacity) {
        // Full: grow it by a cluster and keep the index (a scan per growth would make a
        // directory of thousands of names quadratic).
        const uint32_t epc = w->rv->dir_entries_per_cluster;
        if (k > w->epu || w->ix_capacity + epc > kMaxDirEntries) return 1;
        uint32_t added = 0;
        if (int rc = mark_dirty(w)) return rc;
        if (int rc = grow_dir(w, w->ix_last_cluster, added)) {
            index_drop(w);
            return rc;
        }
        w->ix_capacity += epc;
        w->ix_last_cluster = added;
        if (at % w->epu + k > w->epu) at += w->epu - at % w->epu;
    }
    Scan s;
    s.need = k;
    s.free_found = true;
    s.free_at = at;
    s.has_end = true;
    s.end_at = w->ix_end;
    s.capacity = w->ix_capacity;
    s.last_cluster = w->ix_last_cluster;
    w->ix_writing = true;
    uint32_t placed = 0;
    const int rc = place_record(w, dir, rec, &s, &placed);
    w->ix_writing = false;
    if (rc != 0) {
        index_drop(w);
        return rc;
    }
    index_note(w, folded, rec, placed);
    if (short_at) *short_at = placed + run_entries(rec) - 1;
    return 0;
}

// Gives `rec` the name `name` in `dir` (alias, lower-case flags) and writes it there.
// `skip_first`/`skip_count`: a run of the directory not to count as a clash (a rename's own).
// EEXIST when the name is taken; `taken` (when given) then receives the scan that found it.
// A large directory that keeps taking names is indexed by the second such scan in a row, so
// that the names after it need no scan (20,000 files into one directory stay linear).
int publish(W *w, uint32_t dir, const dv_name &name, dv_entry rec, uint32_t skip_first,
            uint32_t skip_count, Scan *taken, uint32_t *short_at) {
    NamePlan plan;
    if (int rc = plan_name(name, plan)) return rc;
    if (plan.need_lfn)
        dv_namecpy(&rec.name, &name);
    else
        rec.name.len = 0;
    rec.name.units[rec.name.len] = 0;
    dv_name folded;
    fold_name(name, folded);
    if (skip_count == 0 && dir == w->ix_dir) {
        const int rc = publish_indexed(w, dir, folded, plan, rec, short_at);
        if (rc != 1) return rc;
    }
    Scan s;
    s.plan = &plan;
    s.skip_first = skip_first;
    s.skip_count = skip_count;
    s.need = run_entries(rec);
    s.build_index =
        w->ix_slots != 0 && dir == w->last_plan_dir && w->last_plan_capacity >= kIndexFrom;
    if (int rc = find(w, dir, name, folded, s)) return rc;
    w->last_plan_dir = dir;
    w->last_plan_capacity = s.capacity;
    if (s.build_index && !w->ix_over) {
        w->ix_dir = dir;
        w->ix_end = s.has_end ? s.end_at : s.capacity;
        w->ix_capacity = s.capacity;
        w->ix_last_cluster = s.last_cluster;
        w->ix_tail_key[0] = 0;
    }
    if (s.found) {
        if (taken) *taken = s;
        return EEXIST;
    }
    uint8_t alias[11];
    if (int rc = choose_alias(w, dir, plan, s, alias)) return rc;
    std::memcpy(rec.shortname, alias, 11);
    rec.shortname[11] = 0;
    rec.lcase = static_cast<uint8_t>((plan.need_lfn ? 0 : plan.lcase) | (rec.lcase & kMoveMarks));
    w->ix_writing = dir == w->ix_dir;
    uint32_t placed = 0;
    const int rc = place_record(w, dir, rec, &s, &placed);
    w->ix_writing = false;
    if (rc == 0 && dir == w->ix_dir) index_note(w, folded, rec, placed);
    if (rc != 0 && dir == w->ix_dir) index_drop(w);
    if (rc == 0 && short_at) *short_at = placed + run_entries(rec) - 1;
    return rc;
}

} // namespace dorvex
