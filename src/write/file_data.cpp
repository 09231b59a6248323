// The data of a file being written: whole clusters straight from the caller, the partial
// one through file_buf, and the entry published (or switched over) when it is finished.
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "codec/dirent_internal.h"
#include "volume/fat_chain.h"
#include "write/writefat_internal.h"

namespace dorvex {

void drop_file(W *w, writefat_file *f) {
    // Gathered data goes out before its clusters may be taken again (and written directly).
    if (f->first != 0 && stage_flush(w) == 0 && free_chain(w, f->first) == 0) fat_flush(w);
    f->first = f->last = 0;
    f->fill = 0;
    f->in_use = 0;
}

int fail_file(W *w, writefat_file *f, int code) {
    const uint8_t keep = f->in_use;
    drop_file(w, f);
    f->in_use = keep;
    f->code = code;
    return code;
}

// The cluster gathered in file_buf goes to a new cluster at the chain's end.
int store_partial(W *w, writefat_file *f) {
    uint32_t c = 0;
    if (int rc = alloc_cluster(w, f->last, c)) return rc;
    if (f->first == 0) f->first = c;
    f->last = c;
    if (int rc = data_store(w, c, w->file_buf, 1)) return rc;
    f->fill = 0;
    return 0;
}

int write_data(W *w, writefat_file *f, const uint8_t *p, size_t len) {
    const uint32_t cb = w->rv->cluster_bytes, spc = w->rv->sectors_per_cluster;
    uint32_t max_run = kMaxWrite / spc;
    if (max_run == 0) max_run = 1;
    while (len > 0) {
        if (f->fill == 0 && len >= cb) {
            // Whole clusters go from the caller's buffer, a contiguous run per request.
            uint32_t run_start = 0, run_n = 0;
            auto flush_run = [&]() -> int {
                if (run_n == 0) return 0;
                if (int rc = data_store(w, run_start, p, run_n)) return rc;
                p += size_t{run_n} * cb;
                len -= size_t{run_n} * cb;
                f->size += uint64_t{run_n} * cb;
                run_n = 0;
                return 0;
            };
            for (size_t whole = len / cb; whole > 0; --whole) {
                uint32_t c = 0;
                if (int rc = alloc_cluster(w, f->last, c)) return rc;
                if (f->first == 0) f->first = c;
                f->last = c;
                if (run_n != 0 && (c != run_start + run_n || run_n == max_run))
                    if (int rc = flush_run()) return rc;
                if (run_n == 0) run_start = c;
                ++run_n;
            }
            if (int rc = flush_run()) return rc;
            continue;
        }
        const size_t take = cb - f->fill < len ? cb - f->fill : len;
        std::memcpy(w->file_buf + f->fill, p, take);
        f->fill += static_cast<uint32_t>(take);
        f->size += take;
        p += take;
        len -= take;
        if (f->fill == cb)
            if (int rc = store_partial(w, f)) return rc;
    }
    return 0;
}

int finish_file(W *w, writefat_file *f, int64_t mtime) {
    if (f->code) return f->code;
    if (int rc = mark_dirty(w)) return rc;
    if (f->fill != 0) {
        std::memset(w->file_buf + f->fill, 0, w->rv->cluster_bytes - f->fill);
        if (int rc = store_partial(w, f)) return rc;
    }
    // The chain is on the medium before any entry points at it (a group flushes the FAT
    // before the directory sectors it keeps).
    if (!w->group)
        if (int rc = fat_flush(w)) return rc;
    const uint32_t size = static_cast<uint32_t>(f->size);
    Scan s;
    const int rc = publish(w, f->parent, f->name,
                           new_record(DV_ATTR_ARCHIVE, f->first, size, mtime), 0, 0, &s);
    if (rc == 0) f->first = f->last = 0; // published: no longer ours to free
    if (rc != EEXIST || !s.found) return rc;
    if (!f->replace) return EEXIST;
    if (s.rec.attr & DV_ATTR_DIRECTORY) return EISDIR;
    // One sector write switches the entry to the new chain; the old one is freed after.
    uint64_t sector = 0;
    uint8_t *e = nullptr;
    if (int rc = load_entry(w, f->parent, s.run_first + s.run_count - 1, sector, e)) return rc;
    const uint32_t old = entry_first(w, s.rec);
    // A name of a cut move shares the old chain with its other name: that one keeps it.
    const bool shared = entry_marked(e);
    e[DV_DIRENT_RESERVED] = static_cast<uint8_t>(e[DV_DIRENT_RESERVED] & ~kMoveMarks);
    store_cluster(e, f->first);
    store_le32(e + DV_DIRENT_SIZE_FIELD, size);
    e[DV_DIRENT_ATTR] |= DV_ATTR_ARCHIVE;
    uint16_t date = 0, time_word = 0;
    if (dv_encodets64(mtime == DV_TIME_NONE ? k1980 : mtime, 0, &date, &time_word, nullptr) == 0) {
        store_le16(e + DV_DIRENT_MTIME, time_word);
        store_le16(e + DV_DIRENT_MDATE, date);
        store_le16(e + DV_DIRENT_ADATE, date);
    }
    if (int rc = write_sectors(w, w->dir_buf, sector, w->unit)) return rc;
    f->first = f->last = 0; // published: no longer ours to free
    if (is_link(w, old) && !shared)
        if (int rc = free_chain(w, old)) return rc;
    return fat_flush(w);
}

} // namespace dorvex
