// Cluster allocation and freeing, through the FAT cache.
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "volume/fat_chain.h"
#include "write/writefat_internal.h"

namespace dorvex {

int alloc_cluster(W *w, uint32_t prev, uint32_t &out) {
    const uint32_t span = w->max_cluster - 1; // clusters 2 .. max_cluster
    uint32_t start = prev != 0 && prev < w->max_cluster ? prev + 1 : w->hint;
    if (start < 2 || start > w->max_cluster) start = 2;
    for (uint32_t i = 0; i < span; ++i) {
        const uint32_t c = 2 + (start - 2 + i) % span;
        if (c >= w->res_next && c < w->res_end) continue; // held for the open file
        uint32_t v = 0;
        if (int rc = fat_get(w, c, v)) return rc;
        if (v != 0) continue;
        if (int rc = fat_set(w, c, w->eoc)) return rc;
        if (prev != 0)
            if (int rc = fat_set(w, prev, c)) return rc;
        w->hint = c + 1 > w->max_cluster ? 2 : c + 1;
        if (w->free_known && w->free_count > 0) --w->free_count;
        out = c;
        return 0;
    }
    return ENOSPC;
}

int free_chain(W *w, uint32_t first) {
    forget_chain(w->rv, first);
    uint32_t c = first;
    for (uint32_t n = 0; is_link(w, c) && n < w->max_cluster; ++n) {
        uint32_t next = 0;
        if (int rc = fat_get(w, c, next)) return rc;
        if (next == 0) break; // already free: a damaged chain ends here
        if (c == w->ix_dir) index_drop(w);
        if (int rc = fat_set(w, c, 0)) return rc;
        if (w->free_known) ++w->free_count;
        c = next;
    }
    return 0;
}

} // namespace dorvex
