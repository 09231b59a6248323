// The file open for writing: data written at a position through file_buf (a cluster or a
// logical sector of the file), whole units straight from the caller, the chain grown a
// cluster at a time (from a preallocated run when there is one), and the entry published,
// switched over or updated when the file is flushed or finished.
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "codec/dirent_internal.h"
#include "volume/fat_chain.h"
#include "write/writefat_internal.h"

namespace dorvex {
namespace {

constexpr uint64_t kMaxFileSize = 0xFFFFFFFFu;
const uint8_t kZeros[512] = {};

uint32_t clusters_for(const W *w, uint64_t size) {
    const uint32_t cb = w->rv->cluster_bytes;
    return static_cast<uint32_t>((size + cb - 1) / cb);
}

// A new cluster at the chain's end: the next of the preallocated run, else any free one.
int grow(W *w, writefat_file *f, uint32_t &c) {
    if (w->res_next < w->res_end) {
        c = w->res_next++;
        if (int rc = fat_set(w, c, w->eoc)) return rc;
        if (f->last != 0)
            if (int rc = fat_set(w, f->last, c)) return rc;
        if (w->free_known && w->free_count > 0) --w->free_count;
    } else if (int rc = alloc_cluster(w, f->last, c)) {
        return rc;
    }
    if (f->first == 0) f->first = c;
    f->last = c;
    ++f->clusters;
    return 0;
}

// The cluster at `index` of the chain; one past its end grows it.
int chain_at(W *w, writefat_file *f, uint32_t index, uint32_t &out) {
    if (index > f->clusters) return EIO; // the file grows a cluster at a time
    if (index == f->clusters) {
        if (int rc = grow(w, f, out)) return rc;
    } else {
        uint32_t i = 0, c = f->first;
        if (f->cur_at != 0 && f->cur_index <= index) {
            i = f->cur_index;
            c = f->cur_at;
        }
        for (; i < index; ++i) {
            uint32_t v = 0;
            if (int rc = fat_get(w, c, v)) return rc;
            if (!is_link(w, v)) return EIO;
            c = v;
        }
        out = c;
    }
    f->cur_index = index;
    f->cur_at = out;
    return 0;
}

// The absolute sector where byte `off` of the file lies (`off` on a 512-byte boundary),
// growing the chain when `off` is in the cluster after its end.
int sector_of(W *w, writefat_file *f, uint64_t off, uint64_t &sector) {
    const uint32_t cb = w->rv->cluster_bytes;
    uint32_t c = 0;
    if (int rc = chain_at(w, f, static_cast<uint32_t>(off / cb), c)) return rc;
    sector = cluster_first_sector(w, c) + (off % cb) / 512u;
    return 0;
}

// Writes the changed part of file_buf to its place: a whole cluster through data_store (which
// a group may gather), anything less as the logical sectors it touches.
int store_buf(W *w, writefat_file *f) {
    if (!f->buf_held || f->buf_lo >= f->buf_hi) return 0;
    const uint32_t ub = w->file_buf_bytes, bps = w->bps;
    const uint64_t start = f->buf_unit * ub;
    const uint32_t lo = f->buf_lo / bps * bps, hi = (f->buf_hi + bps - 1) / bps * bps;
    // A file not yet published goes a whole cluster at a time (what file_buf holds past the
    // changed part is the file's or zeros), so that a group gathers it with the data before.
    if (ub == w->rv->cluster_bytes && ((lo == 0 && hi == ub) || !f->published)) {
        uint32_t c = 0;
        if (int rc = chain_at(w, f, static_cast<uint32_t>(start / ub), c)) return rc;
        if (int rc = data_store(w, c, w->file_buf, 1)) return rc;
    } else {
        uint64_t sector = 0;
        if (int rc = sector_of(w, f, start + lo, sector)) return rc;
        // A group may hold an older copy of this cluster: it goes first.
        if (int rc = stage_flush(w)) return rc;
        if (int rc = write_sectors(w, w->file_buf + lo, sector, (hi - lo) / 512u)) return rc;
    }
    f->buf_lo = ub;
    f->buf_hi = 0;
    return 0;
}

// Makes file_buf hold unit `u`: what the file has there is read, the rest is zeros.
int load_unit(W *w, writefat_file *f, uint64_t u) {
    if (f->buf_held && f->buf_unit == u) return 0;
    if (int rc = store_buf(w, f)) return rc;
    const uint32_t ub = w->file_buf_bytes, bps = w->bps;
    const uint64_t start = u * ub;
    f->buf_held = false;
    uint32_t have = 0; // bytes of the unit the file holds, in whole logical sectors
    if (start < f->size) {
        const uint64_t n = f->size - start < ub ? f->size - start : ub;
        have = static_cast<uint32_t>((n + bps - 1) / bps * bps);
    }
    if (have != 0) {
        uint64_t sector = 0;
        if (int rc = sector_of(w, f, start, sector)) return rc;
        if (int rc = stage_flush(w)) return rc;
        if (read_run(w->rv, sector, have / 512u, w->file_buf, w->vol_start, w->rv->end_sector) !=
            ReadResult::ok)
            return EIO;
    }
    std::memset(w->file_buf + have, 0, ub - have);
    f->buf_unit = u;
    f->buf_held = true;
    f->buf_lo = ub;
    f->buf_hi = 0;
    return 0;
}

// Whole units from the caller at unit `u` on: clusters in contiguous runs, logical sectors
// in runs of adjacent sectors. A buffer that is not 512-byte aligned goes through file_buf
// (or the group's stage, which data_store uses) a unit at a time.
int write_units(W *w, writefat_file *f, uint64_t u, const uint8_t *p, uint64_t n) {
    const uint32_t ub = w->file_buf_bytes, cb = w->rv->cluster_bytes;
    if (f->buf_held && f->buf_unit >= u && f->buf_unit < u + n) {
        f->buf_held = false; // all of it is overwritten now
    } else if (f->buf_held && f->buf_unit < u) {
        // Its cluster may not be in the chain yet, and the chain grows in order.
        if (int rc = store_buf(w, f)) return rc;
    }
    const bool aligned = reinterpret_cast<uintptr_t>(p) % 512u == 0;
    if (ub == cb && (aligned || w->stage_capacity != 0)) {
        const uint32_t spc = w->rv->sectors_per_cluster;
        const uint32_t max_run = kMaxWrite / spc != 0 ? kMaxWrite / spc : 1;
        uint32_t run_start = 0, run_n = 0;
        for (uint64_t k = 0; k <= n; ++k) {
            uint32_t c = 0;
            if (k < n)
                if (int rc = chain_at(w, f, static_cast<uint32_t>(u + k), c)) return rc;
            if (run_n != 0 && (k == n || c != run_start + run_n || run_n == max_run)) {
                if (int rc = data_store(w, run_start, p, run_n)) return rc;
                p += size_t{run_n} * cb;
                run_n = 0;
            }
            if (k == n) break;
            if (run_n == 0) run_start = c;
            ++run_n;
        }
        return 0;
    }
    if (int rc = stage_flush(w)) return rc;
    if (!aligned) {
        for (uint64_t k = 0; k < n; ++k, p += ub) {
            uint64_t sector = 0;
            if (int rc = sector_of(w, f, (u + k) * ub, sector)) return rc;
            std::memcpy(w->file_buf, p, ub);
            if (int rc = write_sectors(w, w->file_buf, sector, ub / 512u)) return rc;
        }
        return 0;
    }
    uint64_t run_sector = 0;
    uint32_t run_count = 0; // 512-byte sectors
    const uint8_t *run_p = p;
    for (uint64_t k = 0; k <= n; ++k) {
        uint64_t sector = 0;
        if (k < n)
            if (int rc = sector_of(w, f, (u + k) * ub, sector)) return rc;
        if (run_count != 0 &&
            (k == n || sector != run_sector + run_count || run_count + ub / 512u > kMaxWrite)) {
            if (int rc = write_sectors(w, run_p, run_sector, run_count)) return rc;
            run_p += size_t{run_count} * 512u;
            run_count = 0;
        }
        if (k == n) break;
        if (run_count == 0) run_sector = sector;
        run_count += ub / 512u;
    }
    return 0;
}

int write_at(W *w, writefat_file *f, const uint8_t *p, size_t len) {
    const uint32_t ub = w->file_buf_bytes;
    while (len > 0) {
        const uint64_t u = f->pos / ub;
        const uint32_t off = static_cast<uint32_t>(f->pos % ub);
        size_t take = 0;
        if (off == 0 && len >= ub && !(f->buf_held && f->buf_unit == u)) {
            const uint64_t n = len / ub;
            if (int rc = write_units(w, f, u, p, n)) return rc;
            take = static_cast<size_t>(n * ub);
        } else {
            if (int rc = load_unit(w, f, u)) return rc;
            take = ub - off < len ? ub - off : len;
            std::memcpy(w->file_buf + off, p, take);
            if (off < f->buf_lo) f->buf_lo = off;
            if (off + take > f->buf_hi) f->buf_hi = static_cast<uint32_t>(off + take);
        }
        p += take;
        len -= take;
        f->pos += take;
        if (f->pos > f->size) f->size = f->pos;
    }
    return 0;
}

// Zeros from the end of the file to `to`.
int extend_to(W *w, writefat_file *f, uint64_t to) {
    const uint64_t keep = f->pos;
    f->pos = f->size;
    while (f->size < to) {
        const uint64_t n = to - f->size < sizeof kZeros ? to - f->size : sizeof kZeros;
        if (int rc = write_at(w, f, kZeros, static_cast<size_t>(n))) return rc;
    }
    f->pos = keep;
    return 0;
}

// Cuts the chain after `keep` clusters, freeing the rest (in the FAT cache).
int trim_chain(W *w, writefat_file *f, uint32_t keep) {
    if (keep >= f->clusters) return 0;
    if (keep == 0) {
        if (int rc = free_chain(w, f->first)) return rc;
        f->first = f->last = 0;
    } else {
        uint32_t c = 0, next = 0;
        if (int rc = chain_at(w, f, keep - 1, c)) return rc;
        if (int rc = fat_get(w, c, next)) return rc;
        if (int rc = fat_set(w, c, w->eoc)) return rc;
        if (is_link(w, next))
            if (int rc = free_chain(w, next)) return rc;
        f->last = c;
    }
    f->clusters = keep;
    if (f->cur_index >= keep) f->cur_at = 0;
    return 0;
}

void store_mtime(uint8_t *e, int64_t mtime) {
    uint16_t date = 0, time_word = 0;
    if (dv_encodets64(mtime < k1980 ? k1980 : mtime, 0, &date, &time_word, nullptr) == 0) {
        store_le16(e + DV_DIRENT_MTIME, time_word);
        store_le16(e + DV_DIRENT_MDATE, date);
        store_le16(e + DV_DIRENT_ADATE, date);
    }
}

// Publishes a new file (or switches a replaced one over) and takes its entry as the handle's.
int publish_file(W *w, writefat_file *f, int64_t mtime, bool finishing) {
    // The chain is on the medium before any entry points at it (a group flushes the FAT
    // before the directory sectors it keeps).
    if (!w->group)
        if (int rc = fat_flush(w)) return rc;
    const uint32_t size = static_cast<uint32_t>(f->size);
    Scan s;
    uint32_t at = 0;
    const int rc = publish(w, f->parent, f->name,
                           new_record(DV_ATTR_ARCHIVE, f->first, size, mtime), 0, 0, &s, &at);
    if (rc == 0) {
        f->entry_at = at;
    } else {
        if (rc != EEXIST || !s.found) return rc;
        if (!f->replace) return EEXIST;
        if (s.rec.attr & DV_ATTR_DIRECTORY) return EISDIR;
        // One sector write switches the entry to the new chain; the old one is freed after.
        uint64_t sector = 0;
        uint8_t *e = nullptr;
        f->entry_at = s.run_first + s.run_count - 1;
        if (int r = load_entry(w, f->parent, f->entry_at, sector, e)) return r;
        const uint32_t old = entry_first(w, s.rec);
        // A name of a cut move shares the old chain with its other name: that one keeps it.
        const bool shared = entry_marked(e);
        e[DV_DIRENT_RESERVED] = static_cast<uint8_t>(e[DV_DIRENT_RESERVED] & ~kMoveMarks);
        store_cluster(e, f->first);
        store_le32(e + DV_DIRENT_SIZE_FIELD, size);
        e[DV_DIRENT_ATTR] |= DV_ATTR_ARCHIVE;
        store_mtime(e, mtime == DV_TIME_NONE ? k1980 : mtime);
        if (int r = write_sectors(w, w->dir_buf, sector, w->unit)) return r;
        f->published = 1;
        f->disk_first = f->first;
        f->disk_size = f->size;
        if (is_link(w, old) && old != f->first && !shared)
            if (int r = free_chain(w, old)) return r;
        if (int r = fat_flush(w)) return r;
    }
    // The 8.3 name the entry now holds tells, later, that it is still this file's (a handle
    // released now needs no such proof).
    if (!finishing) {
        uint64_t sector = 0;
        uint8_t *e = nullptr;
        if (int r = load_entry(w, f->parent, f->entry_at, sector, e)) return r;
        std::memcpy(f->entry_sn, e, 11);
    }
    f->published = 1;
    f->replace = 0;
    f->disk_first = f->first;
    f->disk_size = f->size;
    return 0;
}

// Writes the size, first cluster and time into the handle's entry.
int update_entry(W *w, writefat_file *f, int64_t mtime) {
    uint64_t sector = 0;
    uint8_t *e = nullptr;
    if (int rc = load_entry(w, f->parent, f->entry_at, sector, e)) return rc;
    if (std::memcmp(e, f->entry_sn, 11) != 0 ||
        (e[DV_DIRENT_ATTR] & (DV_ATTR_DIRECTORY | DV_ATTR_VOLUME)) != 0)
        return ENOENT; // removed or moved meanwhile
    const uint32_t first = f->trim && f->size == 0 ? 0 : f->first;
    store_cluster(e, first);
    store_le32(e + DV_DIRENT_SIZE_FIELD, static_cast<uint32_t>(f->size));
    e[DV_DIRENT_ATTR] |= DV_ATTR_ARCHIVE;
    if (mtime != DV_TIME_NONE) store_mtime(e, mtime);
    if (int rc = write_sectors(w, w->dir_buf, sector, w->unit)) return rc;
    f->disk_first = first;
    f->disk_size = f->size;
    return 0;
}

} // namespace

void drop_file(W *w, writefat_file *f) {
    w->res_next = w->res_end = 0;
    f->buf_held = false;
    if (!w->broken) {
        if (!f->published) {
            // Gathered data goes out before its clusters may be taken again.
            if (f->first != 0 && stage_flush(w) == 0 && free_chain(w, f->first) == 0) fat_flush(w);
        } else if (f->disk_first == 0 && f->first != 0) {
            if (stage_flush(w) == 0 && free_chain(w, f->first) == 0) fat_flush(w);
        } else if (f->first == f->disk_first) {
            // What was added since the last flush goes; the flushed file stays.
            const uint32_t keep = clusters_for(w, f->disk_size);
            if (keep != 0 && f->clusters > keep && stage_flush(w) == 0 &&
                trim_chain(w, f, keep) == 0)
                fat_flush(w);
        }
    }
    f->first = f->last = 0;
    f->clusters = 0;
    f->in_use = 0;
}

int fail_file(W *w, writefat_file *f, int code) {
    if (!f->published) {
        const uint8_t keep = f->in_use;
        drop_file(w, f);
        f->in_use = keep;
    }
    f->code = code;
    return code;
}

int write_data(W *w, writefat_file *f, const uint8_t *p, size_t len) {
    if (f->append) f->pos = f->size;
    if (f->pos > f->size)
        if (int rc = extend_to(w, f, f->pos)) return rc;
    return write_at(w, f, p, len);
}

int truncate_file(W *w, writefat_file *f, uint64_t size) {
    if (size > kMaxFileSize) return EFBIG;
    if (size >= f->size) return extend_to(w, f, size);
    f->size = size;
    // A buffered unit wholly past the new end is dropped; clusters past it go at the flush,
    // once the entry's new size is on the medium.
    if (f->buf_held && f->buf_unit * w->file_buf_bytes >= size) f->buf_held = false;
    f->trim = 1;
    return 0;
}

int preallocate_file(W *w, writefat_file *f, uint64_t size) {
    if (size > kMaxFileSize) return EFBIG;
    const uint32_t need = clusters_for(w, size);
    if (need <= f->clusters + (w->res_end - w->res_next)) return 0;
    const uint32_t want = need - f->clusters;
    w->res_next = w->res_end = 0;
    // After the last cluster when the run there is free, else the first free run that long.
    auto free_run = [&](uint32_t from, uint32_t &bad) -> int {
        for (uint32_t k = 0; k < want; ++k) {
            uint32_t v = 0;
            if (from + k > w->max_cluster) {
                bad = w->max_cluster + 1;
                return 0;
            }
            if (int rc = fat_get(w, from + k, v)) return rc;
            if (v != 0) {
                bad = from + k;
                return 0;
            }
        }
        bad = 0;
        return 0;
    };
    uint32_t bad = 0;
    if (f->last != 0 && f->last < w->max_cluster) {
        if (int rc = free_run(f->last + 1, bad)) return rc;
        if (bad == 0) {
            w->res_next = f->last + 1;
            w->res_end = f->last + 1 + want;
            return 0;
        }
    }
    for (uint32_t c = 2; c <= w->max_cluster && want <= w->max_cluster - c + 1;) {
        if (int rc = free_run(c, bad)) return rc;
        if (bad == 0) {
            w->res_next = c;
            w->res_end = c + want;
            return 0;
        }
        c = bad + 1;
    }
    return ENOSPC;
}

int flush_file(W *w, writefat_file *f, int64_t mtime, bool finishing) {
    if (f->code) return f->code;
    if (int rc = mark_dirty(w)) return rc;
    if (int rc = store_buf(w, f)) return rc;
    if (!f->published) {
        if (int rc = publish_file(w, f, mtime, finishing)) return rc;
    } else {
        // The data and the FAT links of its chain before the entry that counts them.
        if (int rc = stage_flush(w)) return rc;
        if (int rc = fat_flush(w)) return rc;
        if (int rc = update_entry(w, f, mtime)) return rc;
    }
    if (f->trim) {
        // The entry's new size is on the medium: the clusters past it are no one's now.
        if (int rc = stage_flush(w)) return rc;
        if (int rc = trim_chain(w, f, clusters_for(w, f->size))) return rc;
        f->trim = 0;
        if (int rc = fat_flush(w)) return rc;
    }
    return 0;
}

int adopt_entry(W *w, writefat_file *f, uint32_t dir, const Scan &s) {
    f->parent = dir;
    f->entry_at = s.run_first + s.run_count - 1;
    uint64_t sector = 0;
    uint8_t *e = nullptr;
    if (int rc = load_entry(w, dir, f->entry_at, sector, e)) return rc;
    if (entry_marked(e)) return EBUSY; // a cut move: its other name shares the chain
    std::memcpy(f->entry_sn, e, 11);
    f->first = entry_first(w, s.rec);
    f->size = s.rec.size;
    const uint32_t need = clusters_for(w, f->size);
    if (f->first != 0 && !is_link(w, f->first)) return EIO;
    if (f->first == 0 && need != 0) return EIO;
    uint32_t c = f->first, n = 0;
    while (c != 0) {
        ++n;
        if (n > w->max_cluster) return EIO; // a loop
        uint32_t v = 0;
        if (int rc = fat_get(w, c, v)) return rc;
        f->last = c;
        if (!is_link(w, v)) {
            // Only an end mark ends a chain soundly (FAT12/16 compare in their own width).
            if (v < (w->eoc & ~7u)) return EIO;
            break;
        }
        c = v;
    }
    if (n < need) return EIO; // shorter than its size: damaged
    f->clusters = n;
    f->published = 1;
    f->disk_first = f->first;
    f->disk_size = f->size;
    return 0;
}

} // namespace dorvex
