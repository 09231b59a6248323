// Orphaned directory clusters (/$Orphans) and the cluster-to-owner lookup: both walk the
// whole tree with private directory records, one directory at a time, from a table of the
// directories still to list.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/bytes.h"
#include "volume/fat_chain.h"
#include "volume/readfat_internal.h"

namespace dorvex {
namespace {

constexpr char16_t kOrphansName[] = u"$Orphans";
constexpr uint16_t kOrphansLen = 8;

// A growing array from the volume's allocator. Trivially copyable elements only.
template <class T> struct Vec {
    readfat_volume *vol;
    T *data = nullptr;
    uint32_t size = 0, room = 0;

    explicit Vec(readfat_volume *v) : vol(v) {}
    Vec(const Vec &) = delete;
    Vec &operator=(const Vec &) = delete;
    ~Vec() {
        if (data) vol->free_fn(vol->alloc_data, data);
    }
    bool reserve(uint32_t want) {
        if (want <= room) return true;
        uint32_t n = room ? room : 64;
        while (n < want) n = n > UINT32_MAX / 2 ? want : n * 2;
        if (n > SIZE_MAX / sizeof(T)) return false;
        T *p = static_cast<T *>(vol->alloc_fn(vol->alloc_data, sizeof(T) * size_t{n}));
        if (!p) return false;
        if (data) {
            std::memcpy(p, data, sizeof(T) * size_t{size});
            vol->free_fn(vol->alloc_data, data);
        }
        data = p;
        room = n;
        return true;
    }
    bool push(const T &v) {
        if (size == UINT32_MAX || !reserve(size + 1)) return false;
        data[size++] = v;
        return true;
    }
};

// One bit per cluster number (0 .. cluster_count + 1), zeroed.
struct Bitmap {
    readfat_volume *vol;
    uint8_t *bits = nullptr;

    explicit Bitmap(readfat_volume *v) : vol(v) {}
    Bitmap(const Bitmap &) = delete;
    Bitmap &operator=(const Bitmap &) = delete;
    ~Bitmap() {
        if (bits) vol->free_fn(vol->alloc_data, bits);
    }
    bool make() {
        const size_t bytes = (size_t{vol->cluster_count} + 2u + 7u) / 8u;
        bits = static_cast<uint8_t *>(vol->alloc_fn(vol->alloc_data, bytes));
        if (bits) std::memset(bits, 0, bytes);
        return bits != nullptr;
    }
    static bool valid(const readfat_volume *v, uint32_t c) {
        return c >= 2u && c - 2u < v->cluster_count;
    }
    bool get(uint32_t c) const { return valid(vol, c) && (bits[c >> 3] >> (c & 7u) & 1u) != 0; }
    void set(uint32_t c) {
        if (valid(vol, c)) bits[c >> 3] |= static_cast<uint8_t>(1u << (c & 7u));
    }
};

// The search's result, one block from the allocator: the header, the clusters, then the
// bitmap of the clusters live chains hold (`live`: which deleted records keep their chain).
struct OrphanTable {
    uint32_t count;
    uint32_t entries;
    uint32_t truncated;
    uint32_t scanned;
    const uint8_t *live;
    uint32_t *clusters() { return reinterpret_cast<uint32_t *>(this + 1); }
    const uint32_t *clusters() const { return reinterpret_cast<const uint32_t *>(this + 1); }
};

// What vol->orphans holds while the search runs: no orphans yet (the search's own walk of the
// root must not start it again). Never written.
const OrphanTable kSearching{};

// A directory the walk lists: its parent (node index), its name (in the name pool) and what
// opening it needs. Node 0 is the root.
struct Node {
    uint32_t parent;
    uint32_t name_at;
    uint32_t cluster;
    uint32_t attr;
    uint16_t name_len;
    uint8_t deleted;
};

// What the walk tells its user. `record` sees every record but "." and ".." with the node of
// the directory that holds it; `loaded` sees each cluster a directory's listing loads (after
// each record: the cluster that held it). A nonzero result from either stops the walk.
struct Visitor {
    virtual int record(uint32_t node, const dv_entry &rec) = 0;
    virtual int loaded(uint32_t node, const readfat_dir &dir) = 0;

  protected:
    ~Visitor() = default;
};

constexpr int kStop = -1;

// The whole tree from the root, each directory once (by its first cluster). With `deleted`
// (the volume mounted with DV_FLAG_DELETED) deleted records and directories too, and
// /$Orphans when its table exists.
class Walk {
  public:
    explicit Walk(readfat_volume *v) : vol(v), nodes(v), names(v), todo(v), walked(v) {}
    Walk(const Walk &) = delete;
    Walk &operator=(const Walk &) = delete;
    ~Walk() {
        if (window) vol->free_fn(vol->alloc_data, window);
    }

    // Returns 0, kStop (the visitor stopped it) or ENOMEM. `start` (may be null): the entry
    // of the one directory to start at instead of the root; `seed` (may be null): directories
    // taken as walked already.
    int run(Visitor &v, bool deleted, const dv_entry *start = nullptr,
            const Bitmap *seed = nullptr) {
        const size_t window_bytes =
            size_t{vol->carry_entries} * DV_DIRENT_SIZE + size_t{vol->cluster_bytes};
        window = static_cast<uint8_t *>(vol->alloc_fn(vol->alloc_data, window_bytes));
        if (!window || !walked.make()) return ENOMEM;
        if (seed) std::memcpy(walked.bits, seed->bits, (size_t{vol->cluster_count} + 9u) / 8u);
        const Node root{0,
                        0,
                        start ? start->cluster : 0,
                        start ? start->attr : DV_ATTR_DIRECTORY,
                        0,
                        static_cast<uint8_t>(start ? start->deleted : 0)};
        if (!nodes.push(root) || !todo.push(0)) return ENOMEM;
        if (start && !is_orphans_entry(vol, start)) walked.set(entry_cluster(vol, start));
        while (todo.size != 0) {
            const uint32_t n = todo.data[--todo.size];
            const int rc = list(v, n, deleted, start != nullptr && n == 0);
            if (rc != 0) return rc;
        }
        return 0;
    }

    const Node &node(uint32_t n) const { return nodes.data[n]; }
    const uint16_t *name_units(uint32_t n) const { return names.data + nodes.data[n].name_at; }
    Bitmap &walked_dirs() { return walked; }

  private:
    int list(Visitor &v, uint32_t n, bool deleted, bool is_start) {
        readfat_dir dir{};
        dir.buf_end = window + size_t{vol->carry_entries} * DV_DIRENT_SIZE + vol->cluster_bytes;
        const Node me = nodes.data[n];
        if (n == 0 && !is_start) {
            dir_start(vol, &dir, nullptr);
        } else {
            dv_entry e{};
            e.attr = me.attr;
            e.cluster = me.cluster;
            e.deleted = me.deleted;
            dir_start(vol, &dir, &e);
        }
        int err = 0;
        for (;;) {
            const dv_entry *rec = dir_next(vol, &dir, &err);
            if (!rec) break;
            int rc = v.loaded(n, dir);
            if (rc != 0) return rc;
            if (rec->deleted && !deleted) continue;
            const dv_name &nm = rec->name;
            if ((rec->attr & DV_ATTR_DIRECTORY) && nm.len >= 1 && nm.len <= 2 &&
                nm.units[0] == '.' && nm.units[nm.len - 1] == '.')
                continue;
            if ((rec->attr & DV_ATTR_VOLUME) && !(rec->attr & DV_ATTR_DIRECTORY)) continue;
            rc = v.record(n, *rec);
            if (rc != 0) return rc;
            if (!(rec->attr & DV_ATTR_DIRECTORY)) continue;
            const bool orphans = is_orphans_entry(vol, rec);
            if (orphans ? vol->orphans == nullptr : !Bitmap::valid(vol, rec->cluster)) continue;
            if (!orphans) {
                if (walked.get(rec->cluster)) continue;
                walked.set(rec->cluster);
            }
            const Node child{n, names.size, rec->cluster, rec->attr, nm.len, rec->deleted};
            if (names.size > UINT32_MAX - nm.len || !names.reserve(names.size + nm.len))
                return ENOMEM;
            std::memcpy(names.data + names.size, nm.units, sizeof(uint16_t) * nm.len);
            names.size += nm.len;
            if (!nodes.push(child) || !todo.push(nodes.size - 1)) return ENOMEM;
        }
        // A damaged run, an unreadable cluster or a chain that leaves the data area ends what
        // can be read of this directory, not the walk.
        return 0;
    }

    readfat_volume *vol;
    Vec<Node> nodes;
    Vec<uint16_t> names;
    Vec<uint32_t> todo;
    Bitmap walked;
    uint8_t *window = nullptr;
};

// The first orphan search pass: the clusters listings show (`listed`) and the chains of live
// files and directories (`live`).
struct Marker final : Visitor {
    readfat_volume *vol;
    Bitmap &listed, &live;
    int failure = 0;

    Marker(readfat_volume *v, Bitmap &l, Bitmap &c) : vol(v), listed(l), live(c) {}

    static int mark(void *data, const readfat_extent *x) {
        auto *self = static_cast<Marker *>(data);
        for (uint32_t i = 0; i < x->clusters; ++i) self->live.set(x->cluster + i);
        return 0;
    }
    int record(uint32_t, const dv_entry &rec) override {
        if (rec.deleted || is_orphans_entry(vol, &rec)) return 0;
        // A broken chain (or an unreadable FAT sector) marks what it reached.
        readfat_extents_each(vol, &rec, mark, this, nullptr);
        return 0;
    }
    int loaded(uint32_t, const readfat_dir &dir) override {
        listed.set(dir.loaded_cluster);
        return 0;
    }
};

// The orphan listing's subdirectories: the clusters they list come off the top level.
struct Below final : Visitor {
    Bitmap &listed;
    explicit Below(Bitmap &l) : listed(l) {}
    int record(uint32_t, const dv_entry &) override { return 0; }
    int loaded(uint32_t node, const readfat_dir &dir) override {
        if (node != 0) listed.set(dir.loaded_cluster);
        return 0;
    }
};

// How many entries a cluster that looks like directory entries offers: short entries other
// than "." and "..", up to an end mark.
uint32_t offered(const readfat_volume *vol, const uint8_t *c) {
    uint32_t n = 0;
    for (uint32_t i = 0; i < vol->dir_entries_per_cluster; ++i, c += DV_DIRENT_SIZE) {
        if (c[0] == 0) break;
        if ((c[DV_DIRENT_ATTR] & 0x3Fu) == DV_ATTR_LFN || c[0] == '.') continue;
        ++n;
    }
    return n;
}

// Puts the orphan clusters of a lost folder (one whose chain still stands) in its chain's
// order, its first cluster where it was, so that /$Orphans reads them as the folder's listing
// would: a long name cut at a cluster's end goes on in the cluster the FAT links next.
// `links` holds each cluster's FAT entry. False when the allocator failed.
bool chain_order(readfat_volume *vol, Vec<uint32_t> &found, Vec<uint32_t> &counts,
                 const Vec<uint32_t> &links) {
    const uint32_t n = found.size;
    constexpr uint32_t kNone = UINT32_MAX;
    Vec<uint32_t> next(vol), order(vol), moved(vol);
    Vec<uint8_t> state(vol); // bit 0: another orphan cluster links here; bit 1: placed
    if (!next.reserve(n) || !order.reserve(n) || !moved.reserve(n) || !state.reserve(n))
        return false;
    bool any = false;
    for (uint32_t i = 0; i < n; ++i) state.data[i] = 0;
    for (uint32_t i = 0; i < n; ++i) {
        // `found` is in cluster order: a binary search finds the linked one.
        const uint32_t link = links.data[i];
        uint32_t lo = 0, hi = n;
        while (lo < hi) {
            const uint32_t mid = lo + (hi - lo) / 2u;
            if (found.data[mid] < link)
                lo = mid + 1u;
            else
                hi = mid;
        }
        next.data[i] = lo < n && found.data[lo] == link && lo != i ? lo : kNone;
        if (next.data[i] != kNone) {
            state.data[lo] |= 1u;
            any = true;
        }
    }
    if (!any) return true;
    // Chains from their heads first; then what is left (chains that loop back on themselves).
    for (int pass = 0; pass < 2; ++pass) {
        for (uint32_t i = 0; i < n; ++i) {
            if ((state.data[i] & 2u) || (pass == 0 && (state.data[i] & 1u))) continue;
            for (uint32_t k = i; k != kNone && !(state.data[k] & 2u); k = next.data[k]) {
                state.data[k] |= 2u;
                order.data[order.size++] = k;
            }
        }
    }
    for (uint32_t i = 0; i < n; ++i) moved.data[i] = found.data[order.data[i]];
    std::memcpy(found.data, moved.data, sizeof(uint32_t) * size_t{n});
    for (uint32_t i = 0; i < n; ++i) moved.data[i] = counts.data[order.data[i]];
    std::memcpy(counts.data, moved.data, sizeof(uint32_t) * size_t{n});
    return true;
}

int search_tree(readfat_volume *vol) {
    Bitmap listed(vol), live(vol);
    if (!listed.make() || !live.make()) return ENOMEM;
    Walk walk(vol);
    Marker marker(vol, listed, live);
    int rc = walk.run(marker, true);
    if (rc != 0) return rc;

    uint8_t *buf = static_cast<uint8_t *>(vol->alloc_fn(vol->alloc_data, vol->cluster_bytes));
    if (!buf) return ENOMEM;
    Vec<uint32_t> found(vol), counts(vol), links(vol);
    uint32_t entries = 0, scanned = 0, truncated = 0;
    const uint32_t logical = vol->bytes_per_sector / DV_DIRENT_SIZE;
    const uint32_t logical_sectors = vol->bytes_per_sector / vol->sector_size;
    rc = 0;
    for (uint32_t c = 2; c - 2u < vol->cluster_count; ++c) {
        if (listed.get(c)) continue;
        // Bad clusters hold nothing; live chains hold what their files say; a cluster whose
        // FAT entry cannot be read is not judged.
        const uint32_t link = next_cluster(vol, c);
        if (link == kFatUnreadable ||
            (link != 0 &&
             (live.get(c) || (!is_chain_end(link) && link - 2u >= vol->cluster_count))))
            continue;
        ++scanned;
        // The first logical sector sorts out file data and zeros before the cluster is read.
        if (read_sectors(vol, buf, cluster_sector(vol, c), logical_sectors, vol->data_start,
                         vol->end_sector) != static_cast<int32_t>(logical_sectors))
            continue;
        if (buf[0] == 0 || !looks_like_directory(vol, buf, logical)) continue;
        if (logical < vol->dir_entries_per_cluster &&
            (read_cluster(vol, c, buf) != ReadResult::ok ||
             !looks_like_directory(vol, buf, vol->dir_entries_per_cluster)))
            continue;
        const uint32_t n = offered(vol, buf);
        if (n == 0) continue;
        if (entries + n > READFAT_ORPHAN_MAX) {
            truncated = 1;
            break;
        }
        if (!found.push(c) || !counts.push(n) || !links.push(link)) {
            rc = ENOMEM;
            break;
        }
        entries += n;
    }
    vol->free_fn(vol->alloc_data, buf);
    if (rc != 0) return rc;
    if (!chain_order(vol, found, counts, links)) return ENOMEM;

    const size_t table = sizeof(OrphanTable) + sizeof(uint32_t) * size_t{found.size};
    const size_t bits = (size_t{vol->cluster_count} + 2u + 7u) / 8u;
    auto *t = static_cast<OrphanTable *>(vol->alloc_fn(vol->alloc_data, table + bits));
    if (!t) return ENOMEM;
    t->count = found.size;
    t->entries = entries;
    t->truncated = truncated;
    t->scanned = scanned;
    if (found.size) std::memcpy(t->clusters(), found.data, sizeof(uint32_t) * size_t{found.size});
    auto *live_copy = reinterpret_cast<uint8_t *>(t) + table;
    std::memcpy(live_copy, live.bits, bits);
    t->live = live_copy;
    vol->orphans = t;

    // Subdirectories found in orphan clusters list their own clusters: those leave the top.
    dv_entry top{};
    orphans_entry(&top);
    Bitmap below(vol);
    if (!below.make()) return ENOMEM;
    Walk sub(vol);
    Below b(below);
    // Directories the first walk listed stay where they were listed.
    rc = sub.run(b, true, &top, &walk.walked_dirs());
    if (rc != 0) {
        drop_orphans(vol);
        return rc;
    }
    uint32_t kept = 0;
    t->entries = 0;
    for (uint32_t i = 0; i < t->count; ++i) {
        if (below.get(t->clusters()[i])) continue;
        t->entries += counts.data[i];
        t->clusters()[kept++] = t->clusters()[i];
    }
    t->count = kept;
    return 0;
}

// ---- Owner ------------------------------------------------------------------------------

struct Owner final : Visitor {
    readfat_volume *vol;
    Walk &walk;
    uint32_t cluster;
    readfat_owner_fn fn;
    void *fn_data;
    int found = 0;
    uint32_t reported_dir = UINT32_MAX; // the last directory reported by its listing
    Vec<char> path;

    Owner(readfat_volume *v, Walk &w, uint32_t c, readfat_owner_fn f, void *d)
        : vol(v), walk(w), cluster(c), fn(f), fn_data(d), path(v) {}

    static int holds(void *data, const readfat_extent *x) {
        const auto *self = static_cast<const Owner *>(data);
        return self->cluster - x->cluster < x->clusters ? 1 : 0;
    }

    // Appends `units` as UTF-8 text.
    bool append(const uint16_t *units, uint16_t len) {
        dv_name n;
        n.len = len;
        std::memcpy(n.units, units, sizeof(uint16_t) * len);
        const size_t need = dv_name_to_utf8(&n, nullptr, 0) + 1;
        if (!path.reserve(path.size + static_cast<uint32_t>(need))) return false;
        dv_name_to_utf8(&n, path.data + path.size, need);
        path.size += static_cast<uint32_t>(need - 1);
        return true;
    }
    // The path of directory node `n`, then "/" and `leaf` when given.
    bool make_path(uint32_t n, const dv_name *leaf) {
        path.size = 0;
        Vec<uint32_t> chain(vol);
        for (uint32_t at = n; at != 0; at = walk.node(at).parent)
            if (!chain.push(at)) return false;
        for (uint32_t i = chain.size; i-- > 0;) {
            if (!path.push('/') ||
                !append(walk.name_units(chain.data[i]), walk.node(chain.data[i]).name_len))
                return false;
        }
        if (leaf && (!path.push('/') || !append(leaf->units, leaf->len))) return false;
        if (path.size == 0 && !path.push('/')) return false;
        return path.push('\0');
    }
    int report(uint32_t n, const dv_name *leaf, const dv_entry &rec) {
        if (!make_path(n, leaf)) return ENOMEM;
        ++found;
        return fn(fn_data, path.data, &rec) != 0 ? kStop : 0;
    }

    int record(uint32_t n, const dv_entry &rec) override {
        if (is_orphans_entry(vol, &rec)) {
            const auto *t = static_cast<const OrphanTable *>(vol->orphans);
            for (uint32_t i = 0; t && i < t->count; ++i)
                if (t->clusters()[i] == cluster) return report(n, &rec.name, rec);
            return 0;
        }
        // A deleted directory's clusters are those its listing reads (see loaded()).
        if (rec.deleted && (rec.attr & DV_ATTR_DIRECTORY)) return 0;
        // A broken chain holds what it reached before the break.
        return readfat_extents_each(vol, &rec, holds, this, nullptr) == 1
                   ? report(n, &rec.name, rec)
                   : 0;
    }
    int loaded(uint32_t n, const readfat_dir &dir) override {
        if (!dir.recovering || dir.orphans || dir.loaded_cluster != cluster || reported_dir == n)
            return 0;
        reported_dir = n;
        const Node &me = walk.node(n);
        dv_entry rec{};
        rec.attr = me.attr;
        rec.cluster = me.cluster;
        rec.deleted = me.deleted;
        rec.name.len = me.name_len;
        std::memcpy(rec.name.units, walk.name_units(n), sizeof(uint16_t) * me.name_len);
        return report(n, nullptr, rec);
    }
};

} // namespace

void orphans_entry(dv_entry *out) {
    std::memset(out, 0, sizeof *out);
    out->name.len = kOrphansLen;
    for (uint16_t i = 0; i < kOrphansLen; ++i) out->name.units[i] = kOrphansName[i];
    std::memcpy(out->shortname, "$ORPHANS   ", 12);
    out->attr = DV_ATTR_DIRECTORY;
    out->cluster = kOrphansCluster;
    out->deleted = 1;
}

bool is_orphans_name(const dv_name &name) {
    if (name.len != kOrphansLen) return false;
    for (uint16_t i = 0; i < kOrphansLen; ++i)
        if (name.units[i] != kOrphansName[i]) return false;
    return true;
}

int orphans_ready(readfat_volume *vol) {
    if (vol->orphans) return 0;
    vol->orphans = const_cast<OrphanTable *>(&kSearching);
    const int rc = search_tree(vol);
    // A failed search leaves nothing behind: a later call tries again.
    if (rc != 0 || vol->orphans == &kSearching) {
        drop_orphans(vol);
        return rc != 0 ? rc : ENOMEM;
    }
    return 0;
}

bool reads_by_chain(readfat_volume *vol, const dv_entry *entry) {
    if (!entry->deleted || !offers_orphans(vol) || is_orphans_entry(vol, entry)) return false;
    // A file deleted in its own right lost its chain: the recovery rules read it.
    if (!(entry->attr & DV_ATTR_DIRECTORY) && static_cast<uint8_t>(entry->shortname[0]) == 0xE5)
        return false;
    const uint32_t c = entry_cluster(vol, entry);
    if (!Bitmap::valid(vol, c)) return false;
    const uint32_t link = next_cluster(vol, c);
    if (link == 0 || link == kFatUnreadable ||
        (!is_chain_end(link) && link - 2u >= vol->cluster_count))
        return false;
    // The search's own walk reads deleted records by the recovery rules: its live bitmap is
    // not whole yet.
    if (vol->orphans == &kSearching || orphans_ready(vol) != 0) return false;
    const auto *t = static_cast<const OrphanTable *>(vol->orphans);
    return (t->live[c >> 3] >> (c & 7u) & 1u) == 0;
}

uint32_t orphan_cluster(const readfat_volume *vol, uint32_t index) {
    const auto *t = static_cast<const OrphanTable *>(vol->orphans);
    return t && index < t->count ? t->clusters()[index] : kChainEnd;
}

void drop_orphans(readfat_volume *vol) {
    if (vol->orphans && vol->orphans != &kSearching) vol->free_fn(vol->alloc_data, vol->orphans);
    vol->orphans = nullptr;
}

} // namespace dorvex

using namespace dorvex;

extern "C" {

int readfat_orphans(readfat_volume *vol, readfat_orphan_info *out, int *err) {
    if (!vol || !out || !offers_orphans(vol)) {
        set_err(err, EINVAL);
        return -1;
    }
    const int rc = orphans_ready(vol);
    if (rc != 0) {
        set_err(err, rc);
        return -1;
    }
    const auto *t = static_cast<const OrphanTable *>(vol->orphans);
    out->clusters = t->count;
    out->entries = t->entries;
    out->truncated = t->truncated;
    out->scanned = t->scanned;
    return 0;
}

int readfat_owner(readfat_volume *vol, uint32_t cluster, unsigned flags, readfat_owner_fn fn,
                  void *fn_data, int *err) {
    const bool deleted = (flags & DV_FLAG_DELETED) != 0;
    if (!vol || !fn || is_exfat(vol) || !Bitmap::valid(vol, cluster) ||
        (deleted && !offers_orphans(vol))) {
        set_err(err, EINVAL);
        return -1;
    }
    if (deleted) {
        const int rc = orphans_ready(vol);
        if (rc != 0) {
            set_err(err, rc);
            return -1;
        }
    }
    Walk walk(vol);
    Owner owner(vol, walk, cluster, fn, fn_data);
    // The root's own chain (FAT32): a directory entry with cluster 0 names it.
    if (vol->fat_type == 32) {
        dv_entry root{};
        root.attr = DV_ATTR_DIRECTORY;
        const int rc = readfat_extents_each(vol, &root, Owner::holds, &owner, nullptr);
        const int stop = rc == 1 ? owner.report(0, nullptr, root) : 0;
        if (stop == kStop) return owner.found;
        if (stop != 0) {
            set_err(err, stop);
            return -1;
        }
    }
    const int rc = walk.run(owner, deleted);
    if (rc == kStop || rc == 0) return owner.found;
    set_err(err, rc);
    return -1;
}

int readfat_fat_entry(readfat_volume *vol, uint32_t cluster, uint32_t *value, int *err) {
    if (!vol || !value || is_exfat(vol) || !Bitmap::valid(vol, cluster)) {
        set_err(err, EINVAL);
        return -1;
    }
    const uint32_t link = next_cluster(vol, cluster);
    if (link == kFatUnreadable) {
        set_err(err, EIO);
        return -1;
    }
    *value = is_chain_end(link) ? kFatMask : link;
    return 0;
}

} // extern "C"
