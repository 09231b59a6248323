// Paths to directories: the parent of a path's last component, the entry a path names,
// and whether one directory lies below another.
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "codec/context_internal.h"
#include "codec/dirent_internal.h"
#include "volume/fat_chain.h"
#include "write/writefat_internal.h"

namespace dorvex {

// Scans `dir` for `name` (folded into `folded`, which must outlive `s`).
int find(W *w, uint32_t dir, const dv_name &name, dv_name &folded, Scan &s) {
    fold_name(name, folded);
    s.want = &folded;
    return scan_dir(w, dir, s);
}

namespace {

bool is_dot_name(const dv_name &n) {
    return (n.len == 1 && n.units[0] == '.') ||
           (n.len == 2 && n.units[0] == '.' && n.units[1] == '.');
}

// Whether the path cache holds `folded` as the component at `units`.
bool cached_as(const W *w, uint32_t units, const dv_name &folded) {
    if (units + folded.len >= w->path_units || w->path_names[units + folded.len] != 0) return false;
    return std::memcmp(w->path_names + units, folded.units, folded.len * sizeof(uint16_t)) == 0;
}

// How far a walk down a path went through the path cache.
struct Walk {
    uint32_t level = 0, units = 0; // of this path, as the cache holds them
    bool hits = true;              // every directory so far came from the cache
    bool recording = true;         // ... or went into it
};

// Goes from t.parent into its subdirectory `name`: from the cache when it holds it at this
// level, else by a scan that the cache then remembers while it has room.
// `text_end`: where the name's text ends in the path, kept with the cached directory.
int descend(W *w, const dv_name &name, uint32_t text_end, Walk &k, Target &t) {
    dv_name folded;
    fold_name(name, folded);
    if (k.hits && k.level < w->path_levels && cached_as(w, k.units, folded)) {
        t.parent = w->path_dirs[k.level];
        k.units += folded.len + 1u;
        w->path_marks[2u * k.level] = text_end;
        w->path_marks[2u * k.level++ + 1u] = k.units;
        return 0;
    }
    if (k.hits) {
        // What is cached past here belonged to another path.
        k.hits = false;
        w->path_levels = k.level;
        w->path_units = k.units;
    }
    Scan s;
    s.want = &folded;
    int rc = scan_dir(w, t.parent, s);
    if (rc == 0 && !s.found) rc = ENOENT;
    if (rc == 0 && !(s.rec.attr & DV_ATTR_DIRECTORY)) rc = ENOTDIR;
    if (rc != 0) return rc;
    t.parent = dir_of_entry(w, s.rec);
    k.recording = k.recording && k.level < w->path_max_levels &&
                  k.units + folded.len + 1u <= w->path_max_units;
    if (k.recording) {
        std::memcpy(w->path_names + k.units, folded.units, folded.len * sizeof(uint16_t));
        w->path_names[k.units + folded.len] = 0;
        w->path_dirs[k.level] = t.parent;
        k.units += folded.len + 1u;
        w->path_marks[2u * k.level] = text_end;
        w->path_marks[2u * k.level++ + 1u] = k.units;
        w->path_levels = k.level;
        w->path_units = k.units;
    }
    return 0;
}

// A path with "." or ".." in it: parsed as a whole, the dots taken by the text.
int resolve_dots(W *w, const char *path, Target &t) {
    dv_ctx *pc = w->rv->ctx;
    pc->err = 0;
    w->path_text_len = w->path_text_levels = 0; // the walk may drop what the text leads to
    t.parent = root_start_cluster(w->rv);
    dv_pathnode *list = dv_parsepath(pc, path);
    if (!list) {
        if (pc->err != 0) return pc->err;
        t.root = true;
        return 0;
    }
    // No entry is named "." or "..": a path goes through them but cannot end at one.
    const dv_pathnode *last = nullptr;
    for (const dv_pathnode *n = list; n; n = n->next)
        if (n->name.len != 0) last = n;
    if (last && is_dot_name(last->name)) {
        dv_freepath(pc, list);
        return EINVAL;
    }
    list = drop_dot_components(pc, list);
    int rc = 0;
    Walk k;
    const dv_pathnode *prev = nullptr;
    for (const dv_pathnode *n = list; n && rc == 0; n = n->next) {
        if (n->name.len == 0) continue;
        if (prev) rc = descend(w, prev->name, 0, k, t);
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

// How many of the directories the remembered text leads to `path` goes through, its text
// repeating theirs and going on past them.
uint32_t shared_levels(const W *w, const char *path, size_t len) {
    if (w->path_text_levels == 0 || len == 0) return 0;
    const size_t most = len < w->path_text_len ? len : w->path_text_len;
    size_t same = 0;
    if (std::memcmp(path, w->path_text, most) == 0) {
        same = most;
    } else {
        while (same + 64 <= most && std::memcmp(path + same, w->path_text + same, 64) == 0)
            same += 64;
        while (path[same] == w->path_text[same]) ++same;
    }
    if (same == len) --same;                   // something must follow
    uint32_t lo = 0, hi = w->path_text_levels; // the answer lies in [lo, hi]
    while (lo < hi) {
        const uint32_t mid = (lo + hi + 1u) / 2u;
        if (w->path_marks[2u * (mid - 1u)] <= same)
            lo = mid;
        else
            hi = mid - 1u;
    }
    return lo;
}

} // namespace

int resolve(W *w, const char *path, Target &t) {
    dv_ctx *pc = w->rv->ctx;
    pc->err = 0;
    const size_t len = std::strlen(path);
    const char *const end = path + len;
    // Each directory on the way is looked up once per path, and not at all as far as the
    // path repeats the one before; the text the last path shares up to its last component
    // is not even parsed again: filling or removing a deep tree stays linear.
    Walk k;
    const char *p = path;
    const uint32_t shared = shared_levels(w, path, len);
    const bool fast = shared != 0;
    // The remembered text keeps what this path repeats; the rest is this path's.
    w->path_text_len = 0;
    w->path_text_levels = shared;
    t.parent = root_start_cluster(w->rv);
    if (fast) {
        k.level = shared;
        k.units = w->path_marks[2u * shared - 1u];
        w->path_text_len = w->path_marks[2u * shared - 2u];
        p += w->path_text_len;
        t.parent = w->path_dirs[shared - 1u];
    }
    // Components are parsed one at a time into two names, the last one and the one before
    // it; the walk goes into the one before. A text error is reported before a walk's.
    dv_name names[2];
    unsigned cur = 0;
    bool have = false;
    const char *last_at = p;
    int rc = 0;
    while (p < end) {
        const char *at = p;
        dv_name &n = names[cur];
        p = parse_component(pc, p, end, &n);
        // Decoding from the middle of a text may differ at its errors: the whole text decides.
        if (!p) return fast ? resolve_dots(w, path, t) : pc->err;
        if (n.len == 0) continue;
        if (is_dot_name(n)) return resolve_dots(w, path, t);
        if (have && rc == 0)
            rc = descend(w, names[cur ^ 1u], static_cast<uint32_t>(at - path), k, t);
        have = true;
        last_at = at;
        cur ^= 1u;
    }
    if (rc != 0) return rc;
    if (!have) {
        // The last component lies in the shared text ("a/b/" after "a/b/c").
        if (fast) return resolve_dots(w, path, t);
        t.root = true;
        return 0;
    }
    dv_namecpy(&t.name, &names[cur ^ 1u]);
    const auto upto = static_cast<size_t>(last_at - path);
    if (k.recording && upto > w->path_text_len && upto <= w->path_max_text) {
        std::memcpy(w->path_text + w->path_text_len, path + w->path_text_len,
                    upto - w->path_text_len);
        w->path_text_len = static_cast<uint32_t>(upto);
        w->path_text_levels = k.level;
    }
    return 0;
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

} // namespace dorvex
