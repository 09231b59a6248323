// The write path's internals, one file per concern: staging.cpp (sector writes, groups),
// fat_cache.cpp, alloc.cpp, alias.cpp (8.3 aliases and tails), dir_scan.cpp (scans and
// entry placement), name_index.cpp, resolve.cpp (paths), publish.cpp (new entries),
// file_data.cpp, volume_info.cpp (label, FSInfo), remove_tree.cpp, reclaim.cpp (move marks,
// writefat_reclaim). open.cpp lays out the state's block from a writefat_config; the public
// functions in writefat_api.cpp build on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/bytes.h"
#include "codec/dirent_internal.h"
#include "dorvex/writefat.h"
#include "volume/readfat_internal.h"

namespace dorvex {

constexpr uint32_t kIndexFrom = 1024; // entries from which a directory is indexed
constexpr uint32_t kMaxDirEntries = 65536;
constexpr uint32_t kTailEnd = 1000000; // an 8.3 alias holds tails up to ~999999
constexpr uint32_t kMaxWrite = 4096;   // 512-byte sectors per writer request
constexpr uint32_t kMaxRunEntries = 21;
constexpr uint32_t kPathUnitsPerLevel = 4; // folded name units the path cache keeps per level
constexpr uint32_t kPathTextPerLevel = 8;  // bytes of path text it keeps per level

} // namespace dorvex

struct writefat_file {
    uint8_t in_use;
    uint8_t replace;      // a WRITEFAT_REPLACE file: switches the old entry over when published
    uint8_t published;    // its entry is on the medium (opened, or flushed once)
    uint8_t append;       // every write goes to the end
    uint8_t trim;         // clusters past the size are freed at the next flush (a truncation)
    int code;             // sticky failure (ENOSPC, EIO, ...): the handle is spent
    uint32_t parent;      // directory start (kRootRegion for a fixed root)
    dv_name name;         // the name to publish (not yet published)
    uint32_t entry_at;    // ordinal of the short entry in `parent` (published)
    uint8_t entry_sn[11]; // its 8.3 name: the entry is still ours when it holds it
    uint32_t first, last; // the chain (0: none yet)
    uint32_t clusters;    // in the chain
    uint64_t size;        // as written so far
    uint64_t pos;         // where the next write goes
    uint32_t disk_first;  // the first cluster the entry on the medium names
    uint64_t disk_size;   // the size it holds
    uint32_t cur_index, cur_at; // a cluster of the chain (cur_at) and its index: seeks go on
    // The unit of file_buf held (a cluster or a logical sector of the file), and the bytes of
    // it changed since it was last written: [lo, hi).
    uint64_t buf_unit;
    uint32_t buf_lo, buf_hi;
    bool buf_held;
};
struct writefat_volume {
    void *block; // the allocation this state begins in, at its first 512-byte boundary
    readfat_volume *rv;
    dv_ctx *ctx; // the codec's: lenient, NT case, UTF-16
    writefat_sector_writer writer;
    void *io_data;
    void *alloc_data;
    dv_alloc_fn alloc_fn;
    dv_free_fn free_fn;
    uint64_t vol_start;
    uint32_t bps;  // logical sector bytes
    uint32_t unit; // 512-byte sectors per logical sector
    uint32_t epu;  // directory entries per logical sector
    uint32_t max_cluster;
    uint32_t eoc;
    // The FAT cache: fat_slots logical sectors from fat_bufs on.
    uint32_t fat_slots;
    uint64_t *fat_tag; // logical FAT sector index + 1; 0 = empty
    uint32_t *fat_dirty;
    uint32_t *fat_used;
    uint32_t clock;
    uint8_t *fat_bufs;
    uint8_t *dir_buf;  // one logical sector
    uint8_t *file_buf; // the file open for writing: a cluster or a logical sector
    uint32_t file_buf_bytes;
    // The directory units scans read last (every lookup walks from the root): dc_slots
    // units of dc_span 512-byte sectors (a cluster, or with the sector buffer a logical
    // sector), dc_bytes each from dc_bufs on.
    uint32_t dc_slots, dc_span, dc_bytes;
    bool dc_by_sector;
    uint64_t *dc_tag; // absolute first sector held, 0 = empty
    uint32_t *dc_used;
    uint8_t *dc_bufs;
    uint32_t *tails; // tail_count bits: tails tail_base + 0 .. tail_count - 1 of a scan
    uint32_t tail_count;
    uint32_t ix_slots; // a power of two, or 0: no index
    // An index of one large directory that keeps taking new names (see publish): hashes of
    // its folded names and raw 8.3 names, where its free end starts, and its extent.
    uint32_t ix_dir; // 0 = none
    uint32_t ix_end, ix_capacity, ix_last_cluster, ix_count;
    bool ix_writing; // our own writes to ix_dir keep the index
    bool ix_over;    // more names than the index holds: it cannot be used
    uint32_t *ix_table;
    uint8_t ix_tail_key[11];
    uint32_t ix_tail_last;
    uint32_t last_plan_dir, last_plan_capacity;
    uint32_t hint;
    uint32_t free_count;
    bool free_known;
    uint64_t fsinfo; // absolute sector of the FSInfo sector, 0 when none
    bool dirty_marked, was_clean;
    int broken; // a failed write: every later change refuses with it
    // A group (writefat_group): directory sectors changed since the last sync, newest bytes,
    // written after the FAT when the group is synced.
    bool group;
    uint32_t pend_count;
    uint32_t pend_slots; // 0: a group writes its directory sectors through
    uint64_t *pend_tag;  // absolute sector
    uint8_t *pend_buf;   // pend_slots logical sectors
    // File data of successive clusters, gathered while a group is open.
    uint32_t stage_first, stage_count, stage_capacity; // clusters (capacity 0: none)
    uint8_t *stage_buf;
    // The directories the last path went through (see resolve): the folded names of its
    // components, each ended by a zero unit, and the first cluster each one leads to. Any
    // deleted entry (a removal, the old name of a move) empties it.
    // Capacity: path_max_levels directories, path_max_units units, path_max_text bytes.
    uint32_t path_max_levels, path_max_units, path_max_text;
    uint16_t *path_names; // path_max_units
    uint32_t *path_dirs;  // path_max_levels
    uint32_t path_levels, path_units;
    // The last path's text up to its last component (bytes as given, ending after a
    // separator), when the cache holds every directory it names: its first path_text_levels.
    // path_marks holds, per cached directory, where its text ends (just past the separator)
    // and where its name ends in path_names. A path that repeats the text up to one of them
    // starts there. 0 bytes: none.
    char *path_text;      // path_max_text
    uint32_t *path_marks; // path_max_levels pairs
    uint32_t path_text_len, path_text_levels;
    writefat_file file;
    // Clusters writefat_preallocate holds for the open file, [res_next, res_end): taken in
    // order as it grows, passed over by every other allocation.
    uint32_t res_next, res_end;
    uint32_t reclaim_bytes; // the bitmap writefat_reclaim takes for one walk
    // What writefat_reclaim did at open (reclaim_at_open), for writefat_reclaimed.
    bool reclaimed;
    writefat_reclaim_report reclaim_report;
};

namespace dorvex {

using W = writefat_volume;

// ---- Sectors and the FAT ----------------------------------------------------------------

int read_unit(W *w, uint64_t sector, uint8_t *buf);
inline uint8_t *fat_buf(const W *w, uint32_t k) {
    return w->fat_bufs + size_t{k} * w->bps;
}
inline uint8_t *dc_buf(const W *w, uint32_t k) {
    return w->dc_bufs + size_t{k} * w->dc_bytes;
}
// Forgets every directory unit the cache holds.
void dc_drop(W *w);
int write_sectors(W *w, const void *buf, uint64_t sector, uint32_t count);
int fat_get(W *w, uint32_t cluster, uint32_t &value);
int fat_set(W *w, uint32_t cluster, uint32_t value);
int fat_flush(W *w);
// Stores a changed directory sector: written now, or kept by an open group.
int dir_store(W *w, uint64_t sector, const uint8_t *buf);
// Writes file data for `n` successive clusters from `cluster` on: now, or gathered by an open
// group with the data before it when the clusters follow on.
int data_store(W *w, uint32_t cluster, const uint8_t *buf, uint32_t n);
// Writes the file data a group gathered.
int stage_flush(W *w);
// Writes what the group keeps: its file data, then the FAT, then its directory sectors in order.
int group_flush(W *w);
inline bool is_link(const W *w, uint32_t v) {
    return v >= 2 && v <= w->max_cluster;
}
// Takes a free cluster (after `prev` when that one is free, else from the hint on), marks it
// the end of a chain and links `prev` to it (when not 0). ENOSPC when none is free.
int alloc_cluster(W *w, uint32_t prev, uint32_t &out);
// Frees the chain from `first` on (in the cache; flushed by the caller).
int free_chain(W *w, uint32_t first);
// Sets the dirty flag before the first change of a session.
int mark_dirty(W *w);
uint64_t cluster_first_sector(const W *w, uint32_t cluster);

// ---- Names ------------------------------------------------------------------------------

// How a name is stored: a short entry alone (need_lfn false, `shortname` and `lcase` final),
// or a long name with an alias made from `base` and `ext` (exact when not lossy).
struct NamePlan {
    bool need_lfn, lossy;
    uint8_t shortname[11];
    uint8_t lcase;
    uint8_t base[8], ext[3];
    int base_len, ext_len;
};
int plan_name(const dv_name &name, NamePlan &plan);

// ---- Directories ------------------------------------------------------------------------

// What one pass over a directory found.
struct Scan {
    // Asked for.
    const dv_name *want = nullptr;           // folded name to find
    uint32_t need = 0;                       // entries of a free run to find
    const NamePlan *plan = nullptr;          // tails and the exact alias to check
    uint32_t skip_first = 0, skip_count = 0; // ordinals not matched (an entry being renamed)
    // Found.
    bool found = false;
    dv_entry rec;
    uint32_t run_first = 0, run_count = 0; // ordinals of the match's run (short entry last)
    bool free_found = false;
    uint32_t free_at = 0;
    bool has_end = false;
    uint32_t end_at = 0;   // ordinal of the end mark
    uint32_t capacity = 0; // entries the directory's chain holds
    uint32_t last_cluster = 0;
    bool alias_taken = false;
    bool nonempty = false; // a live entry besides "." and ".."
    bool label_found = false;
    uint32_t label_at = 0;
    bool build_index = false; // fill w's index with every live name of this directory
    uint32_t tail_base = 0;   // tails noted: tail_base .. tail_base + w->tail_count - 1
};
int scan_dir(W *w, uint32_t dir, Scan &s);
// Whether the raw entry is "." or "..".
bool is_dot_entry(const uint8_t *e);
// Adds the long-name entry `e` to the run gathered in `run` (a new run starts at an entry
// marked last); false, gathering nothing, for any other kind of entry.
bool gather_lfn(uint8_t *run, uint32_t &run_len, const uint8_t *e);
// Whether `k` long-name entries before the short entry `sn` form its whole run.
bool run_belongs(const uint8_t *run, uint32_t k, const uint8_t *sn);
// The record of the short entry `e` with the `k` long-name entries gathered before it in
// `run` (room for one entry more), or of `e` alone when they do not decode with it, or
// its bytes as they stand.
void decode_run(W *w, uint8_t *run, uint32_t k, const uint8_t *e, dv_entry &rec);

// Writes `n` raw entries at ordinal `at` of the directory, sector by sector, in order.
int write_entries(W *w, uint32_t dir, uint32_t at, const uint8_t *entries, uint32_t n);
// Marks the entries [first, first + n) deleted, the last sector first (and forgets the
// directories paths went through: the entries may have been one of them).
int delete_entries(W *w, uint32_t dir, uint32_t first, uint32_t n);
// Reads a directory sector, from the directory cache when it holds it.
int read_dir_unit(W *w, uint64_t sector, uint8_t *buf);
// Grows a cluster directory by one zeroed cluster after `last` (`added`), linked last.
int grow_dir(W *w, uint32_t last, uint32_t &added);
// The sector and index of an ordinal.
int locate(W *w, uint32_t dir, uint32_t ordinal, uint64_t &sector);

// Puts `rec` (name len 0: short entry only) into the directory, growing it when needed.
// `first`, when given, is a scan of the directory made with `need` = run_entries(rec).
uint32_t run_entries(const dv_entry &rec);
int place_record(W *w, uint32_t dir, const dv_entry &rec, const Scan *first,
                 uint32_t *placed = nullptr);

// The index: hashes of folded names ('N') and raw 8.3 names ('S'), never 0.
uint32_t index_hash(char domain, const uint16_t *units, size_t n);
uint32_t index_hash(char domain, const uint8_t *bytes, size_t n);
bool index_has(const W *w, uint32_t h);
void index_add(W *w, uint32_t h);
void index_drop(W *w);
// Writes a directory's new cluster: `first_unit`, then zeroed sectors.
int write_dir_cluster(W *w, uint32_t cluster, const uint8_t *first_unit);
// Chooses the 8.3 name for `plan` in `dir`, scanned into `s` (with s.plan set); when the
// tails that scan tracked are all taken, scans again for the next ones.
int choose_alias(W *w, uint32_t dir, const NamePlan &plan, const Scan &s, uint8_t out[11]);
// The alias of `plan` with numeric tail `t` (~1 .. ~999999).
void alias_with_tail(const NamePlan &plan, uint32_t t, uint8_t out[11]);

// Marks the tail of an existing 8.3 name when it is one this plan could make and lies in
// the window from `base` on.
void note_tail(W *w, const NamePlan &plan, uint32_t base, const uint8_t *sn);

// The first cluster a raw short entry names (FAT12/16 have no high word).
inline uint32_t raw_first(const W *w, const uint8_t *e) {
    const uint32_t lo = load_le16(e + DV_DIRENT_CLUSTER_LO);
    return w->rv->fat_type == 32 ? uint32_t{load_le16(e + DV_DIRENT_CLUSTER_HI)} << 16 | lo : lo;
}

// The clusters `size` bytes fill.
inline uint32_t clusters_for(const W *w, uint64_t size) {
    const uint32_t cb = w->rv->cluster_bytes;
    return static_cast<uint32_t>((size + cb - 1) / cb);
}

inline uint32_t dir_of_entry(const W *w, const dv_entry &e) {
    const uint32_t c = w->rv->fat_type == 32 ? e.cluster : e.cluster & 0xFFFFu;
    return c == 0 ? root_start_cluster(w->rv) : c;
}

// ---- Paths (resolve.cpp) ----------------------------------------------------------------

constexpr int64_t k1980 = 315532800; // 1980-01-01, FAT's first day

// A path's last component and the directory that holds it.
struct Target {
    uint32_t parent = 0;
    bool root = false;
    dv_name name;
};
// Scans `dir` for `name` (folded into `folded`, which must outlive `s`).
int find(W *w, uint32_t dir, const dv_name &name, dv_name &folded, Scan &s);
// The directory that holds the path's last component, and that component's name. "." and
// ".." are taken by the text (drop_dot_components); a path ending in one is EINVAL. The
// directories on the way come from the path cache as far as they match it, and a path that
// repeats the last one's text up to its last component is parsed only past it.
int resolve(W *w, const char *path, Target &t);
// The entry of an existing path (not the root).
int lookup(W *w, const char *path, Target &t, Scan &s, dv_name &folded);
// Reads the sector holding ordinal `at` of `dir` into dir_buf; `e` points at the entry.
int load_entry(W *w, uint32_t dir, uint32_t at, uint64_t &sector, uint8_t *&e);
void store_cluster(uint8_t *e, uint32_t cluster);
// Whether `dir` is `ancestor` or lies below it, following "..".
int below(W *w, uint32_t dir, uint32_t ancestor, bool &inside);

// ---- New entries (publish.cpp) ----------------------------------------------------------

void set_time(dv_timestamp &ts, int64_t &ts64, int64_t v);
uint32_t entry_first(const W *w, const dv_entry &e);
// The record of a new entry: name and alias still to come.
dv_entry new_record(uint32_t attr, uint32_t cluster, uint32_t size, int64_t mtime);
// publish through the index of a large directory: no scan at all. 1 when the index cannot
// tell (a possible clash, no free room at the end): the caller scans.
int publish_indexed(W *w, uint32_t dir, const dv_name &folded, const NamePlan &plan, dv_entry &rec,
                    uint32_t *short_at = nullptr);
// Gives `rec` the name `name` in `dir` (alias, lower-case flags) and writes it there.
// `skip_first`/`skip_count`: a run of the directory not to count as a clash (a rename's own).
// EEXIST when the name is taken; `taken` (when given) then receives the scan that found it.
// `short_at` (when given) receives the ordinal of the new short entry.
int publish(W *w, uint32_t dir, const dv_name &name, dv_entry rec, uint32_t skip_first = 0,
            uint32_t skip_count = 0, Scan *taken = nullptr, uint32_t *short_at = nullptr);

// ---- The index (name_index.cpp) ---------------------------------------------------------

// Whether the index of `dir` shows that no entry there is named `folded` (by long or
// 8.3 name); false when there is no index or it cannot tell.
bool index_says_free(const W *w, uint32_t dir, const dv_name &folded, const NamePlan &plan);
// Records a name just placed at `at` in the indexed directory.
void index_note(W *w, const dv_name &folded, const dv_entry &rec, uint32_t at);

// ---- File data (file_data.cpp) ----------------------------------------------------------

// Releases the handle: an unpublished file's clusters are freed, a published one keeps what
// its last flush wrote (clusters added since are freed).
void drop_file(W *w, writefat_file *f);
int fail_file(W *w, writefat_file *f, int code);
// Writes at the handle's position.
int write_data(W *w, writefat_file *f, const uint8_t *p, size_t len);
int truncate_file(W *w, writefat_file *f, uint64_t size);
int preallocate_file(W *w, writefat_file *f, uint64_t size);
// Makes the file durable: data, FAT, then its entry (publishing a new file), then what a
// truncation released. `finishing`: the handle is released next.
int flush_file(W *w, writefat_file *f, int64_t mtime, bool finishing);
// Takes the entry found by `s` in `dir` for writing: walks its chain.
int adopt_entry(W *w, writefat_file *f, uint32_t dir, const Scan &s);

// ---- Label and FSInfo (volume_info.cpp) -------------------------------------------------

bool label_char(uint8_t c);
int patch_boot_label(W *w, uint64_t sector, const uint8_t *label);
int count_free(W *w);
int write_fsinfo(W *w);

// ---- Move marks and reclaiming (reclaim.cpp) --------------------------------------------

constexpr uint8_t kMoveMarks = DV_NTRES_MOVE_FROM | DV_NTRES_MOVE_TO;
// Whether a short entry carries a move mark: its chain may be named by a second entry too,
// so nothing may free it (writefat_reclaim settles the pair).
inline bool entry_marked(const uint8_t *raw_short_entry) {
    return (raw_short_entry[DV_DIRENT_RESERVED] & kMoveMarks) != 0;
}
inline bool entry_marked(const dv_entry &rec) {
    return (rec.lcase & kMoveMarks) != 0;
}
int reclaim(W *w, writefat_reclaim_report &report);
// writefat_reclaim when the dirty flag was set at open (FAT16/32), run by open3 with
// WRITEFAT_OPT_RECLAIM; its report is kept for writefat_reclaimed. A failure leaves the
// volume open (a failed write makes it refuse changes).
int reclaim_at_open(W *w);

// writefat_repair (repair.cpp).
int repair(W *w, unsigned what, int64_t mtime, writefat_repair_fn fn, void *fn_data,
           writefat_reclaim_report &report);

// ---- Removing a tree (remove_tree.cpp) --------------------------------------------------

int remove_tree(W *w, const char *path, writefat_remove_fn fn, void *fn_data);

// Grows the array `p` of `cap` elements to `want` through the volume's allocator, keeping
// what it holds; false (nothing changed) when no memory is left.
template <typename T> bool grow_array(W *w, T *&p, uint32_t &cap, uint32_t want) {
    auto *n = static_cast<T *>(w->alloc_fn(w->alloc_data, size_t{want} * sizeof(T)));
    if (!n) return false;
    if (p) {
        std::memcpy(n, p, size_t{cap} * sizeof(T));
        w->free_fn(w->alloc_data, p);
    }
    p = n;
    cap = want;
    return true;
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

} // namespace dorvex
