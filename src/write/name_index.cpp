// The index of one large directory that keeps taking new names: hashes of its folded long
// names and raw 8.3 names, so that adding the next name needs no scan.
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "codec/dirent_internal.h"
#include "volume/fat_chain.h"
#include "write/writefat_internal.h"

namespace dorvex {

uint32_t index_hash(char domain, const uint16_t *units, size_t n) {
    uint32_t h = 2166136261u ^ static_cast<uint8_t>(domain);
    for (size_t i = 0; i < n; ++i) {
        h = (h ^ (units[i] & 0xFFu)) * 16777619u;
        h = (h ^ (units[i] >> 8)) * 16777619u;
    }
    return h == 0 ? 1 : h;
}

uint32_t index_hash(char domain, const uint8_t *bytes, size_t n) {
    uint32_t h = 2166136261u ^ static_cast<uint8_t>(domain);
    for (size_t i = 0; i < n; ++i) h = (h ^ bytes[i]) * 16777619u;
    return h == 0 ? 1 : h;
}

bool index_has(const W *w, uint32_t h) {
    const uint32_t mask = w->ix_slots - 1;
    for (uint32_t i = h & mask;; i = (i + 1) & mask) {
        if (w->ix_table[i] == h) return true;
        if (w->ix_table[i] == 0) return false;
    }
}

void index_add(W *w, uint32_t h) {
    if (w->ix_count >= w->ix_slots / 2) {
        // A table half full stays fast; one that would have to miss a name cannot be used.
        w->ix_over = true;
        w->ix_dir = 0;
        return;
    }
    const uint32_t mask = w->ix_slots - 1;
    for (uint32_t i = h & mask;; i = (i + 1) & mask) {
        if (w->ix_table[i] == h) return;
        if (w->ix_table[i] == 0) {
            w->ix_table[i] = h;
            ++w->ix_count;
            return;
        }
    }
}

void index_drop(W *w) {
    w->ix_dir = 0;
    w->ix_count = 0;
    w->ix_over = false;
}

// Whether the index of `dir` shows that no entry there is named `folded` (by long or
// 8.3 name); false when there is no index or it cannot tell.
bool index_says_free(const W *w, uint32_t dir, const dv_name &folded, const NamePlan &plan) {
    if (w->ix_slots == 0 || dir != w->ix_dir) return false;
    if (index_has(w, index_hash('N', folded.units, folded.len))) return false;
    // A name that may equal an 8.3 name: its own 8.3 form must be free, and non-ASCII text
    // that folds to ASCII is left to the scan.
    if (folded.len <= 12) {
        for (int i = 0; i < folded.len; ++i)
            if (folded.units[i] >= 0x80) return false;
        if (index_has(w, index_hash('S', plan.shortname, 11))) return false;
    }
    return true;
}

// Records a name just placed at `at` in the indexed directory.
void index_note(W *w, const dv_name &folded, const dv_entry &rec, uint32_t at) {
    const uint32_t k = run_entries(rec);
    if (at + k > w->ix_end) w->ix_end = at + k;
    index_add(w, index_hash('N', folded.units, folded.len));
    index_add(w, index_hash('S', reinterpret_cast<const uint8_t *>(rec.shortname), 11));
}

} // namespace dorvex
