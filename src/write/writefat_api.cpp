// The write path's operations: open and close, files, directories, removal, renames,
// times, attributes and the label. Each orders its writes so that a crash between any two
// leaves what existed before intact (see writefat.h).
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/bytes.h"
#include "codec/dirent_internal.h"
#include "volume/fat_chain.h"
#include "write/writefat_internal.h"

namespace dorvex {
namespace {

constexpr int64_t k1980 = 315532800; // 1980-01-01, FAT's first day

// A path's last component and the directory that holds it.
struct Target {
    uint32_t parent = 0;
    bool root = false;
    dv_name name;
};

// Scans `dir` for `name` (folded into `folded`, which must outlive `s`).
int find(W *w, uint32_t dir, const dv_name &name, dv_name &folded, Scan &s) {
    fold_name(name, folded);
    s.want = &folded;
    return scan_dir(w, dir, s);
}

int resolve(W *w, const char *path, Target &t) {
    dv_ctx *pc = w->rv->ctx;
    pc->err = 0;
    dv_pathnode *list = dv_parsepath(pc, path);
    t.parent = root_start_cluster(w->rv);
    if (!list) {
        if (pc->err != 0) return pc->err;
        t.root = true;
        return 0;
    }
    int rc = 0;
    const dv_pathnode *prev = nullptr;
    for (const dv_pathnode *n = list; n && rc == 0; n = n->next) {
        if (n->name.len == 0) continue;
        if (prev) {
            Scan s;
            dv_name folded;
            rc = find(w, t.parent, prev->name, folded, s);
            if (rc == 0 && !s.found) rc = ENOENT;
            if (rc == 0 && !(s.rec.attr & DV_ATTR_DIRECTORY)) rc = ENOTDIR;
            if (rc == 0) t.parent = dir_of_entry(w, s.rec);
        }
        prev = n;
    }
    if (rc == 0) {
        if (prev)
            dv_namecpy(&t.name, &prev->name);
        else
            t.root = true;
    }
    dv_freepath(pc, list);
    return rc;
}

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
    set_time(r.ctime, r.ctime64, mtime);
    set_time(r.mtime, r.mtime64, mtime);
    set_time(r.atime, r.atime64, mtime);
    return r;
}

// Whether the index of `dir` shows that no entry there is named `folded` (by long or
// 8.3 name); false when there is no index or it cannot tell.
bool index_says_free(const W *w, uint32_t dir, const dv_name &folded, const NamePlan &plan) {
    if (dir != w->ix_dir) return false;
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

// publish through the index of a large directory: no scan at all. 1 when the index cannot
// tell (a possible clash, no free room at the end): the caller scans.
int publish_indexed(W *w, uint32_t dir, const dv_name &folded, const NamePlan &plan,
                    dv_entry &rec) {
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
            if (t >= kTailCount) return 1;
            alias_with_tail(plan, t, alias);
            if (!index_has(w, index_hash('S', alias, 11))) break;
        }
        std::memcpy(w->ix_tail_key, key, 11);
        w->ix_tail_last = t;
    }
    std::memcpy(rec.shortname, alias, 11);
    rec.shortname[11] = 0;
    rec.lcase = plan.need_lfn ? 0 : plan.lcase;
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
    return 0;
}

// Gives `rec` the name `name` in `dir` (alias, lower-case flags) and writes it there.
// `skip_first`/`skip_count`: a run of the directory not to count as a clash (a rename's own).
// EEXIST when the name is taken; `taken` (when given) then receives the scan that found it.
// A large directory that keeps taking names is indexed by the second such scan in a row, so
// that the names after it need no scan (20,000 files into one directory stay linear).
int publish(W *w, uint32_t dir, const dv_name &name, dv_entry rec, uint32_t skip_first = 0,
            uint32_t skip_count = 0, Scan *taken = nullptr) {
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
        const int rc = publish_indexed(w, dir, folded, plan, rec);
        if (rc != 1) return rc;
    }
    Scan s;
    s.plan = &plan;
    s.skip_first = skip_first;
    s.skip_count = skip_count;
    s.need = run_entries(rec);
    s.build_index = dir == w->last_plan_dir && w->last_plan_capacity >= kIndexFrom;
    if (int rc = find(w, dir, name, folded, s)) return rc;
    w->last_plan_dir = dir;
    w->last_plan_capacity = s.capacity;
    if (s.build_index) {
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
    if (int rc = choose_alias(w, plan, s, alias)) return rc;
    std::memcpy(rec.shortname, alias, 11);
    rec.shortname[11] = 0;
    rec.lcase = plan.need_lfn ? 0 : plan.lcase;
    w->ix_writing = dir == w->ix_dir;
    uint32_t placed = 0;
    const int rc = place_record(w, dir, rec, &s, &placed);
    w->ix_writing = false;
    if (rc == 0 && dir == w->ix_dir) index_note(w, folded, rec, placed);
    if (rc != 0 && dir == w->ix_dir) index_drop(w);
    return rc;
}

// Reads the sector holding ordinal `at` of `dir` into dir_buf; `e` points at the entry.
int load_entry(W *w, uint32_t dir, uint32_t at, uint64_t &sector, uint8_t *&e) {
    if (int rc = locate(w, dir, at, sector)) return rc;
    if (int rc = read_dir_unit(w, sector, w->dir_buf)) return rc;
    e = w->dir_buf + (at % w->epu) * DV_DIRENT_SIZE;
    return 0;
}

void store_cluster(uint8_t *e, uint32_t cluster) {
    store_le16(e + DV_DIRENT_CLUSTER_HI, static_cast<uint16_t>(cluster >> 16));
    store_le16(e + DV_DIRENT_CLUSTER_LO, static_cast<uint16_t>(cluster));
}

// The entry of an existing path (not the root).
int lookup(W *w, const char *path, Target &t, Scan &s, dv_name &folded) {
    if (int rc = resolve(w, path, t)) return rc;
    if (t.root) return EINVAL;
    if (int rc = find(w, t.parent, t.name, folded, s)) return rc;
    return s.found ? 0 : ENOENT;
}

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

// The cluster gathered in cluster_buf goes to a new cluster at the chain's end.
int store_partial(W *w, writefat_file *f) {
    uint32_t c = 0;
    if (int rc = alloc_cluster(w, f->last, c)) return rc;
    if (f->first == 0) f->first = c;
    f->last = c;
    if (int rc = data_store(w, c, w->cluster_buf, 1)) return rc;
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
        std::memcpy(w->cluster_buf + f->fill, p, take);
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
        std::memset(w->cluster_buf + f->fill, 0, w->rv->cluster_bytes - f->fill);
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
    if (is_link(w, old))
        if (int rc = free_chain(w, old)) return rc;
    return fat_flush(w);
}

// Whether `dir` is `ancestor` or lies below it, following "..".
int below(W *w, uint32_t dir, uint32_t ancestor, bool &inside) {
    inside = false;
    const uint32_t root = root_start_cluster(w->rv);
    for (uint32_t depth = 0; depth < kMaxDirEntries; ++depth) {
        if (dir == ancestor) {
            inside = true;
            return 0;
        }
        if (dir == root) return 0;
        uint64_t sector = 0;
        uint8_t *e = nullptr;
        if (int rc = load_entry(w, dir, 1, sector, e)) return rc;
        if (std::memcmp(e, "..         ", 11) != 0) return EIO;
        const uint32_t up =
            (w->rv->fat_type == 32 ? uint32_t{load_le16(e + DV_DIRENT_CLUSTER_HI)} << 16 : 0) |
            load_le16(e + DV_DIRENT_CLUSTER_LO);
        dir = up == 0 ? root : up;
    }
    return EIO;
}

bool label_char(uint8_t c) {
    return c >= 0x20 && c < 0x7F && std::strchr(".\"*+,/:;<=>?[\\]|", c) == nullptr;
}

int patch_boot_label(W *w, uint64_t sector, const uint8_t *label) {
    if (int rc = read_unit(w, sector, w->dir_buf)) return rc;
    const bool f32 = w->rv->fat_type == 32;
    if (load_le16(w->dir_buf + DV_BPB_SIGNATURE) != 0xAA55u) return 0;
    if (w->dir_buf[f32 ? DV_BPB_BOOT_SIGNATURE : DV_BPB16_BOOT_SIGNATURE] != DV_BPB_EXT_BOOT_SIG)
        return 0;
    std::memcpy(w->dir_buf + (f32 ? DV_BPB_VOLUME_LABEL : DV_BPB16_VOLUME_LABEL), label, 11);
    return write_sectors(w, w->dir_buf, sector, w->unit);
}

int count_free(W *w) {
    // In runs as large as the group's data buffer (free at open).
    const uint32_t run = w->stage_capacity * w->rv->cluster_bytes / w->bps;
    if (int rc = count_free_clusters(w->rv, w->stage_buf, run, w->free_count)) return rc;
    w->free_known = true;
    return 0;
}

int write_fsinfo(W *w) {
    if (w->fsinfo == 0 || !w->free_known) return 0;
    if (int rc = read_unit(w, w->fsinfo, w->dir_buf)) return rc;
    uint8_t *s = w->dir_buf;
    if (load_le32(s + DV_FSINFO_LEAD_SIG) != DV_FSINFO_LEAD_VALUE ||
        load_le32(s + DV_FSINFO_STRUCT_SIG) != DV_FSINFO_STRUCT_VALUE)
        return 0;
    store_le32(s + DV_FSINFO_FREE_COUNT, w->free_count);
    store_le32(s + DV_FSINFO_NEXT_FREE, w->hint);
    return write_sectors(w, s, w->fsinfo, w->unit);
}

// An operation whose writes must reach the medium in their order, outside any group: what
// the group keeps is written first (rc), and the group resumes after the operation.
struct Ordered {
    W *w;
    bool was;
    int rc;
    explicit Ordered(W *v) : w(v), was(v->group), rc(group_flush(v)) { w->group = false; }
    ~Ordered() { w->group = was; }
    Ordered(const Ordered &) = delete;
    Ordered &operator=(const Ordered &) = delete;
};

// Changes the short entry of `path` in place (times, attributes): a group may keep it.
template <typename Change> int patch_own_entry(W *w, const char *path, Change change) {
    if (!w || !path) return EINVAL;
    if (w->broken) return w->broken;
    Target t;
    Scan s;
    dv_name folded;
    if (int rc = lookup(w, path, t, s, folded)) return rc;
    if (int rc = mark_dirty(w)) return rc;
    uint64_t sector = 0;
    uint8_t *e = nullptr;
    if (int rc = load_entry(w, t.parent, s.run_first + s.run_count - 1, sector, e)) return rc;
    change(e);
    return dir_store(w, sector, w->dir_buf);
}

// ---- Removing a tree --------------------------------------------------------------------

// The first cluster a raw short entry names.
uint32_t raw_first(const W *w, const uint8_t *e) {
    const uint32_t lo = load_le16(e + DV_DIRENT_CLUSTER_LO);
    return w->rv->fat_type == 32 ? uint32_t{load_le16(e + DV_DIRENT_CLUSTER_HI)} << 16 | lo : lo;
}

// writefat_remove_tree's walk: a stack of the directories on the way down, each with the
// live entries of its cluster read last that are still to do. Each directory is read once
// (one that was removed is free in the FAT, one on the way is on the stack), so the work is
// linear in the entries; the memory grows with the depth and those entries only.
class TreeRemoval {
  public:
    TreeRemoval(W *w, writefat_remove_fn fn, void *fn_data) : w_(w), fn_(fn), fn_data_(fn_data) {}
    ~TreeRemoval() {
        if (frames_) w_->free_fn(w_->alloc_data, frames_);
        if (store_) w_->free_fn(w_->alloc_data, store_);
        if (scratch_) w_->free_fn(w_->alloc_data, scratch_);
    }
    TreeRemoval(const TreeRemoval &) = delete;
    TreeRemoval &operator=(const TreeRemoval &) = delete;

    // Takes the memory a shallow tree needs before anything is written.
    int init() {
        scratch_ = static_cast<uint8_t *>(w_->alloc_fn(w_->alloc_data, w_->rv->cluster_bytes));
        if (!scratch_ || !grow(frames_, frame_cap_, 16) ||
            !grow(store_, store_cap_, 4 * w_->rv->dir_entries_per_cluster * DV_DIRENT_SIZE))
            return ENOMEM;
        return 0;
    }

    // Whether the directory entry naming `c`, found in `parent`, may be followed: 0, ELOOP,
    // or EIO when its cluster cannot be read. A directory that may be is then in scratch_.
    int check(uint32_t c, uint32_t parent) {
        const uint32_t root = root_start_cluster(w_->rv);
        if (!is_link(w_, c) || c == root) return ELOOP;
        uint32_t v = 0;
        if (int rc = fat_get(w_, c, v)) return rc;
        if (v == 0) return ELOOP; // free: removed already, or never a directory
        for (uint32_t i = 0; i < depth_; ++i)
            if (frames_[i].dir == c) return ELOOP;
        scratch_holds_ = 0;
        if (read_cluster(w_->rv, c, scratch_) != ReadResult::ok) return EIO;
        // Its own "." and "..": a cross-linked entry finds another directory's (or none).
        const uint8_t *dot = scratch_, *dotdot = scratch_ + DV_DIRENT_SIZE;
        if (std::memcmp(dot, ".          ", 11) != 0 || raw_first(w_, dot) != c ||
            std::memcmp(dotdot, "..         ", 11) != 0)
            return ELOOP;
        const uint32_t up = raw_first(w_, dotdot);
        // FAT32 writers differ on the root: 0 or its cluster.
        if (parent == root ? up != 0 && up != root : up != parent) return ELOOP;
        scratch_holds_ = c;
        return 0;
    }

    // Starts on the directory `c` (checked).
    int push(uint32_t c) {
        if (depth_ == frame_cap_ && !grow(frames_, frame_cap_, frame_cap_ * 2)) return ENOMEM;
        if (depth_ > 0) {
            // The entries done of the directory left keep no room.
            Frame &up = frames_[depth_ - 1];
            std::memmove(store_ + size_t{up.base} * DV_DIRENT_SIZE,
                         store_ + size_t{up.next} * DV_DIRENT_SIZE,
                         size_t{up.end - up.next} * DV_DIRENT_SIZE);
            up.end = up.base + (up.end - up.next);
            up.next = up.base;
        }
        Frame &f = frames_[depth_++];
        f = Frame{};
        f.dir = c;
        f.base = f.next = f.end = depth_ > 1 ? frames_[depth_ - 2].end : 0;
        run_len_ = 0;
        return 0;
    }

    // Walks the stack empty. Returns the first failure; a directory that could not be read
    // is reported through fn and makes the result EIO, the others go on.
    int run() {
        int soft = 0;
        while (depth_ > 0) {
            Frame &f = frames_[depth_ - 1];
            if (f.next == f.end) {
                if (!f.done) {
                    if (int rc = load(f)) {
                        if (rc != EIO || w_->broken) return rc;
                        soft = EIO; // the rest of this directory is lost clusters
                        f.done = true;
                    }
                    continue;
                }
                if (int rc = pop()) return rc;
                continue;
            }
            const uint8_t *e = store_ + size_t{f.next++} * DV_DIRENT_SIZE;
            if (gather_lfn(run_, run_len_, e)) continue;
            const uint32_t k = run_belongs(run_, run_len_, e) ? run_len_ : 0;
            run_len_ = 0;
            if ((e[DV_DIRENT_ATTR] & DV_ATTR_VOLUME) || is_dot_entry(e)) continue;
            dv_entry rec;
            decode(e, k, rec);
            const uint32_t c = raw_first(w_, e);
            const uint32_t depth = depth_;
            if (rec.attr & DV_ATTR_DIRECTORY) {
                int code = check(c, f.dir);
                if (code != 0 && code != ELOOP && code != EIO) return code;
                if (code == EIO) soft = EIO;
                if (fn_) fn_(fn_data_, &rec, depth, code);
                if (code == 0)
                    if (int rc = push(c)) return rc;
                continue;
            }
            // A file whose chain starts at the root's is no file: leave the root alone.
            const int code = c != 0 && c == root_start_cluster(w_->rv) ? ELOOP : 0;
            if (fn_) fn_(fn_data_, &rec, depth, code);
            if (code == 0 && is_link(w_, c))
                if (int rc = free_chain(w_, c)) return rc;
        }
        return soft;
    }

  private:
    struct Frame {
        uint32_t dir;             // first cluster
        uint32_t cluster;         // the cluster read last, 0 before the first
        uint32_t walked;          // clusters read: bounded by the largest directory
        uint32_t base, next, end; // its entries in store_: [next, end) still to do
        bool done;                // its end mark or the end of its chain was reached
    };

    // Grows `p` (in units of T) to `want`, keeping what it holds.
    template <typename T> bool grow(T *&p, uint32_t &cap, uint32_t want) {
        auto *n = static_cast<T *>(w_->alloc_fn(w_->alloc_data, size_t{want} * sizeof(T)));
        if (!n) return false;
        if (p) {
            std::memcpy(n, p, size_t{cap} * sizeof(T));
            w_->free_fn(w_->alloc_data, p);
        }
        p = n;
        cap = want;
        return true;
    }

    // Reads the directory's next cluster, keeps its live entries and writes it back with
    // them marked deleted ("." and ".." stay, as Windows and mdeltree leave them).
    int load(Frame &f) {
        uint32_t c = f.dir;
        if (f.cluster != 0) {
            uint32_t next = 0;
            if (int rc = fat_get(w_, f.cluster, next)) return rc;
            if (!is_link(w_, next)) {
                f.done = true;
                return 0;
            }
            c = next;
        }
        const uint32_t epc = w_->rv->dir_entries_per_cluster;
        const uint32_t most = kMaxDirEntries / epc != 0 ? kMaxDirEntries / epc : 1;
        if (++f.walked > most) { // a chain longer than any directory: it loops
            f.done = true;
            return 0;
        }
        f.cluster = c;
        if (f.dir == w_->ix_dir) index_drop(w_);
        if (scratch_holds_ != c && read_cluster(w_->rv, c, scratch_) != ReadResult::ok) return EIO;
        scratch_holds_ = 0;
        const uint32_t need = (f.base + epc) * DV_DIRENT_SIZE;
        if (need > store_cap_ && !grow(store_, store_cap_, need * 2)) return ENOMEM;
        f.next = f.end = f.base;
        bool changed = false;
        for (uint32_t i = 0; i < epc; ++i) {
            uint8_t *e = scratch_ + size_t{i} * DV_DIRENT_SIZE;
            if (e[0] == 0) {
                f.done = true;
                break;
            }
            if (e[0] == 0xE5 || is_dot_entry(e)) continue;
            std::memcpy(store_ + size_t{f.end++} * DV_DIRENT_SIZE, e, DV_DIRENT_SIZE);
            e[0] = 0xE5;
            changed = true;
        }
        if (!changed) return 0;
        return write_sectors(w_, scratch_, cluster_first_sector(w_, c),
                             w_->rv->sectors_per_cluster);
    }

    // The directory on top is done: its chain goes.
    int pop() {
        const uint32_t dir = frames_[--depth_].dir;
        run_len_ = 0;
        if (w_->last_plan_dir == dir) w_->last_plan_dir = 0;
        // A file being written into it can no longer be published.
        if (w_->file.in_use && w_->file.parent == dir && w_->file.code == 0)
            fail_file(w_, &w_->file, ENOENT);
        return free_chain(w_, dir);
    }

    // The record of the short entry `e` with the `k` long-name entries before it in run_.
    void decode(const uint8_t *e, uint32_t k, dv_entry &rec) {
        std::memcpy(run_ + k * DV_DIRENT_SIZE, e, DV_DIRENT_SIZE);
        const uint8_t *p = run_;
        int count = static_cast<int>(k + 1), room = 1;
        dv_entry *out = &rec;
        if (dv_readentry(w_->ctx, &p, &count, &out, &room) == 0 && room == 0) return;
        p = e;
        count = room = 1;
        out = &rec;
        if (dv_readentry(w_->ctx, &p, &count, &out, &room) == 0 && room == 0) return;
        // Not even the short entry decodes: its bytes as they stand.
        std::memset(&rec, 0, sizeof rec);
        int n = 0;
        for (int i = 0; i < 11; ++i)
            if (e[i] != ' ') rec.name.units[n++] = e[i];
        rec.name.len = static_cast<uint16_t>(n);
        std::memcpy(rec.shortname, e, 11);
        rec.attr = e[DV_DIRENT_ATTR];
        rec.cluster = raw_first(w_, e);
        rec.size = load_le32(e + DV_DIRENT_SIZE_FIELD);
    }

    W *w_;
    writefat_remove_fn fn_;
    void *fn_data_;
    Frame *frames_ = nullptr;
    uint32_t depth_ = 0, frame_cap_ = 0;
    uint8_t *store_ = nullptr; // raw entries
    uint32_t store_cap_ = 0;   // bytes
    uint8_t *scratch_ = nullptr;
    uint32_t scratch_holds_ = 0; // the cluster check() left in scratch_
    uint8_t run_[kMaxRunEntries * DV_DIRENT_SIZE];
    uint32_t run_len_ = 0;
};

int remove_tree(W *w, const char *path, writefat_remove_fn fn, void *fn_data) {
    const Ordered ordered(w); // the top entry leaves the medium before anything is freed
    if (ordered.rc) return ordered.rc;
    Target t;
    Scan s;
    dv_name folded;
    if (int rc = lookup(w, path, t, s, folded)) return rc;
    const uint32_t first = entry_first(w, s.rec);
    const uint32_t root = root_start_cluster(w->rv);
    TreeRemoval tree(w, fn, fn_data);
    int code = first != 0 && first == root ? ELOOP : 0;
    if (s.rec.attr & DV_ATTR_DIRECTORY) {
        if (int rc = tree.init()) return rc;
        code = tree.check(first, t.parent);
        if (code == EIO || (code != 0 && code != ELOOP)) return code;
    }
    if (int rc = mark_dirty(w)) return rc;
    // The whole tree hangs on this one write: a crash after it leaves lost clusters only.
    if (int rc = delete_entries(w, t.parent, s.run_first, s.run_count)) return rc;
    if (fn) fn(fn_data, &s.rec, 0, code);
    int rc = 0;
    if (code == 0 && (s.rec.attr & DV_ATTR_DIRECTORY)) {
        rc = tree.push(first);
        if (rc == 0) rc = tree.run();
    } else if (code == 0 && is_link(w, first)) {
        rc = free_chain(w, first);
    }
    // Freed directory clusters may be taken for file data: no cached copy may outlive them.
    std::memset(w->dc_tag, 0, sizeof w->dc_tag);
    if (w->broken) return w->broken;
    const int flushed = fat_flush(w);
    return rc != 0 ? rc : flushed;
}

writefat_file *open_handle(W *w, writefat_file *f) {
    return w && f == &w->file && f->in_use ? f : nullptr;
}

void *mem_alloc(void *, size_t size) {
    return std::malloc(size);
}

void mem_free(void *, void *ptr) {
    std::free(ptr);
}

} // namespace
} // namespace dorvex

using namespace dorvex;

extern "C" {

writefat_volume *writefat_open2(uint64_t start_sector, uint64_t end_sector, uint32_t sector_size,
                                void *io_data, readfat_sector_reader reader,
                                writefat_sector_writer writer, uint32_t flags, uint32_t max_files,
                                uint32_t max_dirs, int *err, void *alloc_data, dv_alloc_fn alloc_fn,
                                dv_free_fn free_fn) {
    if (!reader || !writer || !alloc_fn || !free_fn) {
        set_err(err, EINVAL);
        return nullptr;
    }
    readfat_volume *rv = mount(start_sector, end_sector, sector_size, io_data, reader, flags,
                               max_files, max_dirs, err, alloc_data, alloc_fn, free_fn);
    if (!rv) return nullptr;
    // Other systems read the damaged first sector, not the backup: repair before changing.
    if (rv->boot_backup != 0) {
        unmount(rv);
        set_err(err, DV_E_BACKUPBOOT);
        return nullptr;
    }
    const uint32_t bps = rv->bytes_per_sector;
    const size_t head = (sizeof(W) + 511u) / 512u * 512u;
    const uint32_t stage =
        kStageBytes / rv->cluster_bytes != 0 ? kStageBytes / rv->cluster_bytes : 1;
    const size_t size = head + (kFatSlots + 1u + kPendSlots) * size_t{bps} +
                        size_t{stage} * rv->cluster_bytes +
                        (1u + kDirSlots) * size_t{rv->cluster_bytes} + kTailCount / 8u +
                        kIndexSlots * sizeof(uint32_t);
    auto *block = static_cast<uint8_t *>(alloc_fn(alloc_data, size));
    dv_ctx *ctx =
        block ? dv_newctx2(DV_FLAG_LENIENT | DV_FLAG_NTCASE | DV_FLAG_UTF16 | DV_CHARSET_UTF8, err,
                           alloc_data, alloc_fn, free_fn)
              : nullptr;
    if (!ctx) {
        if (block)
            free_fn(alloc_data, block);
        else
            set_err(err, ENOMEM);
        unmount(rv);
        return nullptr;
    }
    // The tail table and the name index are cleared where they are built: leaving them
    // untouched here spares a process the page faults of 1.1 MiB it may never use.
    std::memset(block, 0, size - kTailCount / 8u - kIndexSlots * sizeof(uint32_t));
    W *w = new (block) W{};
    w->rv = rv;
    w->ctx = ctx;
    w->writer = writer;
    w->io_data = io_data;
    w->alloc_data = alloc_data;
    w->alloc_fn = alloc_fn;
    w->free_fn = free_fn;
    w->vol_start = start_sector;
    w->bps = bps;
    w->unit = bps / 512u;
    w->epu = bps / DV_DIRENT_SIZE;
    // Clusters the file system declares, which may be fewer than the reader's bound: never
    // allocate past what a checker counts.
    w->max_cluster = declared_clusters(rv) + 1;
    w->eoc = rv->fat_type == 12 ? 0xFFFu : rv->fat_type == 16 ? 0xFFFFu : 0x0FFFFFFFu;
    uint8_t *p = block + head;
    for (unsigned k = 0; k < kFatSlots; ++k, p += bps) w->fat_buf[k] = p;
    w->dir_buf = p;
    p += bps;
    w->pend_buf = p;
    p += size_t{kPendSlots} * bps;
    w->stage_buf = p;
    w->stage_capacity = stage;
    p += size_t{stage} * rv->cluster_bytes;
    w->cluster_buf = p;
    p += rv->cluster_bytes;
    for (unsigned k = 0; k < kDirSlots; ++k, p += rv->cluster_bytes) w->dc_buf[k] = p;
    w->tails = reinterpret_cast<uint32_t *>(p);
    p += kTailCount / 8u;
    w->ix_table = reinterpret_cast<uint32_t *>(p);
    w->hint = 2;
    int rc = 0;
    if (rv->fat_type == 32) {
        const uint32_t at = load_le16(rv->boot_buf + DV_BPB_FSINFO_SECTOR);
        if (at != 0 && at != 0xFFFFu && uint64_t{at} * w->unit < rv->reserved_sectors) {
            w->fsinfo = start_sector + uint64_t{at} * w->unit;
            rc = read_unit(w, w->fsinfo, w->dir_buf);
            const uint32_t hint = load_le32(w->dir_buf + DV_FSINFO_NEXT_FREE);
            if (rc == 0 && hint >= 2 && hint <= w->max_cluster) w->hint = hint;
        }
    }
    if (rc == 0) rc = count_free(w);
    if (rc != 0) {
        dv_deletectx(ctx);
        unmount(rv);
        free_fn(alloc_data, block);
        set_err(err, rc);
        return nullptr;
    }
    return w;
}

writefat_volume *writefat_open(uint64_t start_sector, uint64_t end_sector, uint32_t sector_size,
                               void *io_data, readfat_sector_reader reader,
                               writefat_sector_writer writer, uint32_t flags, uint32_t max_files,
                               uint32_t max_dirs, int *err) {
    return writefat_open2(start_sector, end_sector, sector_size, io_data, reader, writer, flags,
                          max_files, max_dirs, err, nullptr, mem_alloc, mem_free);
}

int writefat_close(writefat_volume *w) {
    if (!w) return EINVAL;
    if (w->file.in_use) drop_file(w, &w->file);
    int rc = w->broken;
    if (rc == 0) rc = group_flush(w);
    if (rc == 0 && w->dirty_marked) {
        rc = fat_flush(w);
        if (rc == 0) rc = write_fsinfo(w);
        if (rc == 0 && w->was_clean) {
            const uint32_t bit = w->rv->fat_type == 16 ? 0x8000u : 0x08000000u;
            uint32_t v = 0;
            rc = fat_get(w, 1, v);
            if (rc == 0) rc = fat_set(w, 1, v | bit);
            if (rc == 0) rc = fat_flush(w);
        }
    }
    void *alloc_data = w->alloc_data;
    dv_free_fn free_fn = w->free_fn;
    dv_deletectx(w->ctx);
    unmount(w->rv);
    w->~W();
    free_fn(alloc_data, w);
    return rc;
}

readfat_volume *writefat_reader(writefat_volume *w) {
    return w ? w->rv : nullptr;
}

writefat_file *writefat_create(writefat_volume *w, const char *path, uint32_t flags, int *err) {
    if (!w || !path || (flags & ~WRITEFAT_REPLACE) != 0) {
        set_err(err, EINVAL);
        return nullptr;
    }
    writefat_file *f = &w->file;
    int rc = w->broken;
    if (rc == 0 && f->in_use) rc = EBUSY;
    Target t;
    if (rc == 0) rc = resolve(w, path, t);
    if (rc == 0 && t.root) rc = EISDIR;
    NamePlan plan;
    if (rc == 0) rc = plan_name(t.name, plan);
    Scan s;
    dv_name folded;
    if (rc == 0) fold_name(t.name, folded);
    if (rc == 0 && !index_says_free(w, t.parent, folded, plan))
        rc = find(w, t.parent, t.name, folded, s);
    if (rc == 0 && s.found)
        rc = (s.rec.attr & DV_ATTR_DIRECTORY) ? EISDIR : (flags & WRITEFAT_REPLACE) ? 0 : EEXIST;
    if (rc != 0) {
        set_err(err, rc);
        return nullptr;
    }
    std::memset(f, 0, sizeof *f);
    f->in_use = 1;
    f->replace = (flags & WRITEFAT_REPLACE) != 0;
    f->parent = t.parent;
    dv_namecpy(&f->name, &t.name);
    return f;
}

int writefat_write(writefat_volume *w, writefat_file *f, const void *data, size_t len, int *err) {
    f = open_handle(w, f);
    if (!f || (!data && len != 0)) {
        set_err(err, EINVAL);
        return -1;
    }
    int rc = f->code;
    if (rc == 0 && len > 0xFFFFFFFFu - f->size) rc = EFBIG;
    if (rc == 0 && len != 0) {
        rc = mark_dirty(w);
        if (rc == 0) rc = write_data(w, f, static_cast<const uint8_t *>(data), len);
        if (rc != 0) fail_file(w, f, rc);
    }
    if (rc != 0) {
        set_err(err, rc);
        return -1;
    }
    return 0;
}

int writefat_finish(writefat_volume *w, writefat_file *f, int64_t mtime) {
    f = open_handle(w, f);
    if (!f) return EINVAL;
    int rc = 0;
    if (f->replace) {
        const Ordered ordered(w); // the switch is written before the old chain is freed
        rc = ordered.rc ? ordered.rc : finish_file(w, f, mtime);
    } else {
        rc = finish_file(w, f, mtime);
    }
    drop_file(w, f);
    return rc;
}

void writefat_abort(writefat_volume *w, writefat_file *f) {
    f = open_handle(w, f);
    if (f) drop_file(w, f);
}

int writefat_mkdir(writefat_volume *w, const char *path, int64_t mtime) {
    if (!w || !path) return EINVAL;
    if (w->broken) return w->broken;
    Target t;
    if (int rc = resolve(w, path, t)) return rc;
    if (t.root) return EEXIST;
    NamePlan plan;
    if (int rc = plan_name(t.name, plan)) return rc;
    Scan s;
    dv_name folded;
    fold_name(t.name, folded);
    if (!index_says_free(w, t.parent, folded, plan))
        if (int rc = find(w, t.parent, t.name, folded, s)) return rc;
    if (s.found) return EEXIST;
    if (int rc = mark_dirty(w)) return rc;
    uint32_t c = 0;
    if (int rc = alloc_cluster(w, 0, c)) return rc;
    // "." and "..", written through the codec as short entries alone.
    const uint32_t up = t.parent == root_start_cluster(w->rv) ? 0 : t.parent;
    dv_entry dots[2] = {new_record(DV_ATTR_DIRECTORY, c, 0, mtime),
                        new_record(DV_ATTR_DIRECTORY, up, 0, mtime)};
    std::memcpy(dots[0].shortname, ".          ", 12);
    std::memcpy(dots[1].shortname, "..         ", 12);
    std::memset(w->dir_buf, 0, w->bps);
    const dv_entry *r = dots;
    int count = 2;
    uint8_t *cursor = w->dir_buf;
    unsigned room = w->epu;
    dv_writeentry(w->ctx, &r, &count, &cursor, &room);
    int rc = write_dir_cluster(w, c, w->dir_buf);
    if (rc == 0 && !w->group) rc = fat_flush(w);
    if (rc == 0) rc = publish(w, t.parent, t.name, new_record(DV_ATTR_DIRECTORY, c, 0, mtime));
    if (rc != 0 && !w->broken && free_chain(w, c) == 0) fat_flush(w);
    return rc;
}

int writefat_remove(writefat_volume *w, const char *path) {
    if (!w || !path) return EINVAL;
    if (w->broken) return w->broken;
    Target t;
    Scan s;
    dv_name folded;
    const Ordered ordered(w); // the entry leaves the medium before its clusters are freed
    if (ordered.rc) return ordered.rc;
    if (int rc = lookup(w, path, t, s, folded)) return rc;
    const uint32_t first = entry_first(w, s.rec);
    if (s.rec.attr & DV_ATTR_DIRECTORY) {
        Scan inner;
        if (!is_link(w, first)) return EIO;
        if (int rc = scan_dir(w, first, inner)) return rc;
        if (inner.nonempty) return ENOTEMPTY;
    }
    if (int rc = mark_dirty(w)) return rc;
    // The entry goes first: a crash after it leaves lost clusters, never a half file.
    if (int rc = delete_entries(w, t.parent, s.run_first, s.run_count)) return rc;
    // A damaged entry may name the root's chain, which is no one's to free.
    if (is_link(w, first) && first != root_start_cluster(w->rv))
        if (int rc = free_chain(w, first)) return rc;
    return fat_flush(w);
}

int writefat_remove_tree(writefat_volume *w, const char *path, writefat_remove_fn fn,
                         void *fn_data) {
    if (!w || !path) return EINVAL;
    if (w->broken) return w->broken;
    return remove_tree(w, path, fn, fn_data);
}

int writefat_rename(writefat_volume *w, const char *from, const char *to) {
    if (!w || !from || !to) return EINVAL;
    if (w->broken) return w->broken;
    const Ordered ordered(w); // the new name is written before the old one goes
    if (ordered.rc) return ordered.rc;
    Target src, dst;
    Scan s;
    dv_name folded;
    if (int rc = lookup(w, from, src, s, folded)) return rc;
    if (int rc = resolve(w, to, dst)) return rc;
    if (dst.root) return EINVAL;
    const bool is_dir = (s.rec.attr & DV_ATTR_DIRECTORY) != 0;
    const uint32_t first = entry_first(w, s.rec);
    if (is_dir && is_link(w, first)) {
        bool inside = false;
        if (int rc = below(w, dst.parent, first, inside)) return rc;
        if (inside) return EINVAL;
    }
    if (int rc = mark_dirty(w)) return rc;
    const bool same_dir = dst.parent == src.parent;
    dv_entry rec = s.rec;
    rec.lcase = 0;
    // The new name first: a crash between the two writes leaves both names, never neither.
    if (int rc = publish(w, dst.parent, dst.name, rec, same_dir ? s.run_first : 0,
                         same_dir ? s.run_count : 0))
        return rc;
    if (is_dir && !same_dir && is_link(w, first)) {
        uint64_t sector = 0;
        uint8_t *e = nullptr;
        if (int rc = load_entry(w, first, 1, sector, e)) return rc;
        if (std::memcmp(e, "..         ", 11) == 0) {
            store_cluster(e, dst.parent == root_start_cluster(w->rv) ? 0 : dst.parent);
            if (int rc = write_sectors(w, w->dir_buf, sector, w->unit)) return rc;
        }
    }
    return delete_entries(w, src.parent, s.run_first, s.run_count);
}

int writefat_settimes(writefat_volume *w, const char *path, int64_t ctime, int64_t mtime,
                      int64_t atime) {
    return patch_own_entry(w, path, [&](uint8_t *e) {
        uint16_t date = 0, tw = 0;
        uint8_t ms = 0;
        if (ctime != DV_TIME_NONE &&
            dv_encodets64(ctime < k1980 ? k1980 : ctime, 0, &date, &tw, &ms) == 0) {
            e[DV_DIRENT_CTIME_MS] = ms;
            store_le16(e + DV_DIRENT_CTIME, tw);
            store_le16(e + DV_DIRENT_CDATE, date);
        }
        if (mtime != DV_TIME_NONE &&
            dv_encodets64(mtime < k1980 ? k1980 : mtime, 0, &date, &tw, nullptr) == 0) {
            store_le16(e + DV_DIRENT_MTIME, tw);
            store_le16(e + DV_DIRENT_MDATE, date);
        }
        if (atime != DV_TIME_NONE &&
            dv_encodets64(atime < k1980 ? k1980 : atime, 0, &date, nullptr, nullptr) == 0)
            store_le16(e + DV_DIRENT_ADATE, date);
    });
}

int writefat_setattr(writefat_volume *w, const char *path, uint32_t attr) {
    const uint32_t settable = DV_ATTR_READONLY | DV_ATTR_HIDDEN | DV_ATTR_SYSTEM | DV_ATTR_ARCHIVE;
    if (attr & ~settable) return EINVAL;
    return patch_own_entry(w, path, [&](uint8_t *e) {
        e[DV_DIRENT_ATTR] = static_cast<uint8_t>((e[DV_DIRENT_ATTR] & ~settable) | attr);
    });
}

int writefat_group(writefat_volume *w, int on) {
    if (!w) return EINVAL;
    if (on) {
        w->group = true;
        return w->broken;
    }
    const int rc = group_flush(w);
    w->group = false;
    return rc;
}

int writefat_sync(writefat_volume *w) {
    if (!w) return EINVAL;
    if (w->broken) return w->broken;
    return group_flush(w);
}

int writefat_setlabel(writefat_volume *w, const char *label) {
    if (!w) return EINVAL;
    if (w->broken) return w->broken;
    uint8_t text[11];
    std::memset(text, ' ', 11);
    size_t n = label ? std::strlen(label) : 0;
    while (n > 0 && label[n - 1] == ' ') --n;
    if (n > 11) return EINVAL;
    for (size_t i = 0; i < n; ++i) {
        uint8_t c = static_cast<uint8_t>(label[i]);
        if (!label_char(c)) return EINVAL;
        if (c >= 'a' && c <= 'z') c = static_cast<uint8_t>(c - 32);
        text[i] = c;
    }
    const Ordered ordered(w);
    if (ordered.rc) return ordered.rc;
    const uint32_t root = root_start_cluster(w->rv);
    Scan s;
    if (int rc = scan_dir(w, root, s)) return rc;
    if (int rc = mark_dirty(w)) return rc;
    if (n == 0) {
        if (s.label_found)
            if (int rc = delete_entries(w, root, s.label_at, 1)) return rc;
    } else if (s.label_found) {
        uint64_t sector = 0;
        uint8_t *e = nullptr;
        if (int rc = load_entry(w, root, s.label_at, sector, e)) return rc;
        std::memcpy(e, text, 11);
        if (int rc = write_sectors(w, w->dir_buf, sector, w->unit)) return rc;
    } else {
        dv_entry rec = new_record(DV_ATTR_VOLUME, 0, 0, k1980);
        rec.name.len = 0;
        std::memcpy(rec.shortname, text, 11);
        if (int rc = place_record(w, root, rec, nullptr)) return rc;
    }
    const uint8_t *boot_label = n == 0 ? reinterpret_cast<const uint8_t *>("NO NAME    ") : text;
    if (int rc = patch_boot_label(w, w->vol_start, boot_label)) return rc;
    if (w->rv->fat_type == 32) {
        const uint32_t backup = load_le16(w->rv->boot_buf + DV_BPB_BACKUP_BOOT);
        if (backup != 0 && backup != 0xFFFFu &&
            uint64_t{backup} * w->unit < w->rv->reserved_sectors)
            return patch_boot_label(w, w->vol_start + uint64_t{backup} * w->unit, boot_label);
    }
    return 0;
}

} // extern "C"
