// The volume reader's internals: mount, handle slots, path lookup, directory and file
// operations. They trust their arguments; the exported functions in readfat_api.cpp check
// those first, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/bytes.h"
#include "dorvex/readfat.h"

namespace dorvex {

inline void set_err(int *err, int code) {
    if (err) *err = code;
}

// ---- Mount ------------------------------------------------------------------------------

// A volume's layout as its boot sector gives it, in 512-byte sectors from the volume's start.
struct BootGeometry {
    uint32_t fat_type;            // 12, 16 or 32
    uint32_t bytes_per_sector;    // logical: 512 .. 4096
    uint32_t sector_shift;        // bytes_per_sector = 512 << sector_shift
    uint32_t sectors_per_cluster; // 512-byte sectors
    uint32_t reserved_sectors;
    uint32_t fat_count;
    uint64_t fat_sectors; // one FAT
    uint32_t root_entries;
    uint32_t root_sectors; // the fixed root region (FAT12/16)
    uint32_t root_cluster; // FAT32
    uint32_t cluster_count;
    uint64_t root_start, data_start;
};

// The total sector count a boot sector declares (its 16-bit field, else its 32-bit one), in
// 512-byte sectors.
inline uint64_t declared_sectors(const uint8_t *boot, uint32_t sector_shift) {
    const uint32_t total16 = load_le16(boot + DV_BPB_TOTAL_SECTORS16);
    return uint64_t{total16 != 0 ? total16 : load_le32(boot + DV_BPB_TOTAL_SECTORS32)}
           << sector_shift;
}

// Checks the boot sector of a volume of `sectors` 512-byte sectors and derives its layout:
// 0, DV_E_BOOTSIG or DV_E_BADPBR.
int parse_boot_sector(const uint8_t *boot, uint64_t sectors, BootGeometry &g);

// Reads the boot sector of the volume [start, end) into `buf` (512 bytes) and checks it as
// parse_boot_sector does; when that fails, FAT32's backup boot sector, whose logical sector
// number goes to `backup` (0: the first sector was sound). Returns 0, EIO (the first sector
// unreadable) or the first sector's code. Never reads outside [start, end). With
// `have_first`, `buf` holds the first sector already.
int read_boot_sector(void *reader_data, readfat_sector_reader reader, uint64_t start, uint64_t end,
                     uint8_t *buf, BootGeometry &g, uint32_t &backup, bool have_first = false);

// Mounts the volume; null with the code through `err` on failure, nothing left allocated.
readfat_volume *mount(uint64_t start_sector, uint64_t end_sector, uint32_t sector_size,
                      void *reader_data, readfat_sector_reader reader, uint32_t flags,
                      uint32_t max_files, uint32_t max_dirs, int *err, void *alloc_data,
                      dv_alloc_fn alloc_fn, dv_free_fn free_fn);
void unmount(readfat_volume *vol);

// The record's layout fields, which FAT and exFAT share (the rest zeroed), counted in
// logical sectors from the volume's first sector `start`.
void layout_info(const readfat_volume *vol, uint64_t start, readfat_volinfo &out);

// The volume record (see readfat_info): reads the FAT's first sector and FSInfo.
void volume_info(readfat_volume *vol, readfat_volinfo &out);

// What the sectors [start, end) hold (see readfat_identify): 0 or EIO.
int identify_volume(uint64_t start, uint64_t end, void *reader_data, readfat_sector_reader reader,
                    const char *&name, uint64_t &claimed);

// ---- exFAT ------------------------------------------------------------------------------

inline bool is_exfat(const readfat_volume *vol) {
    return vol->fat_type == DV_FAT_EXFAT;
}

// Whether the sectors [start, end) begin with an exFAT boot sector ("EXFAT   " at byte 3).
bool exfat_named(const uint8_t *boot);

// Whether an exFAT backup boot region's first sector (logical sector 12, at any sector size)
// is named "EXFAT   " and declares that size; reads up to four 512-byte sectors into `buf`.
bool exfat_backup_named(readfat_volume *vol, uint64_t start, uint64_t end, uint8_t *buf);

// Checks the exFAT boot region of the volume [start, end) (the main one, else the backup at
// sector 12) and fills the volume's geometry from it; `buf` holds the first sector already.
// 0, EIO, DV_E_BADPBR (both regions refused) or ENOMEM. Never reads outside [start, end).
int exfat_geometry(readfat_volume *vol, uint64_t start, uint64_t end, uint8_t *buf);

// After the arena is laid out: reads the root's bitmap and up-case entries and decodes the
// up-case table into vol->upcase (the default one when the volume's cannot be used). 0 or EIO
// (the root directory's first cluster cannot be read).
int exfat_load_tables(readfat_volume *vol);

// Whether the allocation bitmap marks `cluster` as in use: 1 yes, 0 no, -1 unknown (no usable
// bitmap, or its sector cannot be read).
int exfat_cluster_in_use(readfat_volume *vol, uint32_t cluster);

// Counts the clear bits of the bitmap for clusters 2 .. cluster_count + 1: 0, EIO, or
// DV_E_BADPBR when the volume has no usable bitmap.
int exfat_count_free(readfat_volume *vol, uint32_t &count);

// The exFAT volume record (see readfat_info).
void exfat_volume_info(readfat_volume *vol, readfat_volinfo &out);

// The next exFAT record from `count` raw entries at `*cursor`, decoded into `*rec` (as
// dv_readentry does for FAT): 1 with a record, the cursor past its set; 0 when no record
// starts before the entries end -- either an end mark (the cursor stays on it) or a set cut by
// the window's end (the cursor on its first entry, to be carried); -1 (EILSEQ) for an in-use
// set that fails its checks, the cursor past it. Unused entries, deleted sets (without
// DV_FLAG_DELETED), the bitmap, up-case and benign entries are passed over. With `want`
// (up-cased units and their hash) only sets of that name are decoded.
struct ExfatWant {
    const dv_name *upper;
    uint16_t hash;
};
int read_exfat_record(readfat_volume *vol, const uint8_t **cursor, uint32_t *count, dv_entry *rec,
                      const ExfatWant *want);

// Up-cases `name` through the volume's table into `out`, and returns its name hash.
uint16_t exfat_upper(const readfat_volume *vol, const dv_name &name, dv_name &out);

// ---- Handle slots -----------------------------------------------------------------------

// Records per view: file slots, and directory slots plus the lookup handle.
inline size_t file_stride(const readfat_volume *vol) {
    return vol->max_files;
}
inline size_t dir_stride(const readfat_volume *vol) {
    return size_t{vol->max_dirs} + 1;
}

// The index of `p` among `count` records from `base`, or -1 when `p` is none of them. Only
// addresses are compared: nothing is read through `p`.
template <class T> ptrdiff_t record_index(const T *base, size_t count, const T *p) {
    const uintptr_t b = reinterpret_cast<uintptr_t>(base), q = reinterpret_cast<uintptr_t>(p);
    if (base == nullptr || q < b || (q - b) % sizeof(T) != 0 || (q - b) / sizeof(T) >= count)
        return -1;
    return static_cast<ptrdiff_t>((q - b) / sizeof(T));
}

// The record that an open of the first free slot hands out, among the first `slots` slots
// of a table with `stride` records per view; null when every slot is taken. A slot is taken
// while the record its last open handed out is in use. Nothing changes until claim().
template <class T> T *free_slot(T *base, size_t stride, uint32_t slots) {
    for (uint32_t i = 0; i < slots; ++i) {
        const uint32_t opens = base[i].generation;
        if (opens != 0 && base[(opens - 1) % DV_HANDLE_VIEWS * stride + i].in_use) continue;
        return &base[opens % DV_HANDLE_VIEWS * stride + i];
    }
    return nullptr;
}

// Takes `rec`, which free_slot returned: its slot's next open hands out the next record.
template <class T> void claim(T *base, size_t stride, T *rec) {
    base[static_cast<size_t>(rec - base) % stride].generation++;
    rec->in_use = 1;
}

// ---- Lookup and directories -------------------------------------------------------------

// The clusters a directory handle the caller opens loads at a time: with READFAT_FLAG_BATCH
// a run of up to 64 KiB (at least one cluster), else one. Lookups always load one.
inline uint32_t dir_run_clusters(const readfat_volume *vol) {
    constexpr uint32_t kDirRunBytes = 64 * 1024;
    if ((vol->flags & READFAT_FLAG_BATCH) == 0 || vol->cluster_bytes >= kDirRunBytes) return 1;
    return kDirRunBytes / vol->cluster_bytes;
}

// Resolves `path` from the root into `*out` (the entry of its last component). Returns `out`,
// or null with the code stored through `err` (when not null): ENOENT (not found), ENOTDIR (a
// component before the last is a file), EIO (a directory or FAT sector could not be read),
// EILSEQ (a damaged long-name run ends a directory before the name), or the code of
// dv_parsepath.
// With READFAT_FLAG_DOTS and `root` given, a path that names the root sets *root instead.
// `from`, when given, is the directory entry the lookup starts in instead of the root.
dv_entry *process_path(readfat_volume *vol, const char *path, dv_entry *out, int *err,
                       bool *root = nullptr, const dv_entry *from = nullptr);

// Takes "." and ".." out of a parsed path by its text: "." goes, ".." goes with the
// component before it (at the root, alone). Returns what is left (null: the root), the
// nodes taken out released.
dv_pathnode *drop_dot_components(dv_ctx *ctx, dv_pathnode *list);

// Where a listing of the root starts: its first cluster, or on FAT12/16 the fixed root region
// (kRootRegion, which no FAT entry holds).
constexpr uint32_t kRootRegion = 0xFFFFFFFDu;
inline uint32_t root_start_cluster(const readfat_volume *vol) {
    return vol->fat_type == 12 || vol->fat_type == 16 ? kRootRegion : vol->root_cluster;
}

// An entry's first cluster: FAT12/16 keep other data in the high word.
inline uint32_t entry_cluster(const readfat_volume *vol, const dv_entry *entry) {
    return vol->fat_type == 12 || vol->fat_type == 16 ? entry->cluster & 0xFFFFu : entry->cluster;
}

// The cluster where the directory named by `entry` starts: a directory entry with cluster 0
// (the ".." of a directory just below the root) means the root.
inline uint32_t dir_start_cluster(const readfat_volume *vol, const dv_entry *entry) {
    const uint32_t first = entry_cluster(vol, entry);
    if ((entry->attr & DV_ATTR_DIRECTORY) != 0 && first == 0) return root_start_cluster(vol);
    return first;
}

// Whether a deleted record still has its own chain to read (see readfat_orphans): a file whose
// 8.3 entry is not marked deleted, or any directory, whose first cluster starts an allocated
// chain that no live file or directory reaches. Runs the orphan search when it has not run.
bool reads_by_chain(readfat_volume *vol, const dv_entry *entry);

// Whether `entry` is read by the recovery rules: a deleted entry on a volume mounted with
// DV_FLAG_DELETED, but for one whose chain still stands.
inline bool is_recovered(readfat_volume *vol, const dv_entry *entry) {
    return entry->deleted != 0 && (vol->ctx->flags & DV_FLAG_DELETED) != 0 &&
           !reads_by_chain(vol, entry);
}

// Whether `count` raw entries can be a piece of a directory, judged slot by slot up to the
// first end mark: the test each cluster of a deleted directory passes before it is read.
// Each slot is what some writer could have left: a long-name entry with type 0, cluster 0
// and a sequence byte of 1 .. 20 (or 0xE5); else an 8.3 entry with its reserved attribute
// bits clear and no label bit, an 8.3 name without bytes below 0x20 (but a first 0x05),
// a leading space, lower case or characters FAT forbids (or "." / ".." on a directory), a first
// cluster of 0 or inside the data area, no size on a directory and none past the data area on a
// file, and times that are 0 or real dates and times of day.
bool looks_like_directory(const readfat_volume *vol, const uint8_t *entries, uint32_t count);

// Sets `dir` up to list the directory `entry` names (null: the root) as an open handle would,
// without claiming a slot: the orphan search walks with private records. Their window must
// hold carry_entries entries and one cluster; they load one cluster at a time.
void dir_start(readfat_volume *vol, readfat_dir *dir, const dv_entry *entry);

// Whether the cluster `c` goes on with the long-name run whose last carried entry is `last`:
// its first entry is the run's next one or its short entry.
bool continues_run(const uint8_t *last, const uint8_t *c);

// ---- Orphans (orphans.cpp) --------------------------------------------------------------

// The first cluster of the virtual /$Orphans record: no real entry has it.
constexpr uint32_t kOrphansCluster = 1;

// Whether the volume offers /$Orphans: FAT12/16/32 mounted with DV_FLAG_DELETED.
inline bool offers_orphans(const readfat_volume *vol) {
    return !is_exfat(vol) && (vol->ctx->flags & DV_FLAG_DELETED) != 0;
}

// Whether `entry` is the virtual /$Orphans record.
inline bool is_orphans_entry(const readfat_volume *vol, const dv_entry *entry) {
    return offers_orphans(vol) && entry->deleted != 0 && (entry->attr & DV_ATTR_DIRECTORY) != 0 &&
           entry->cluster == kOrphansCluster;
}

// Fills `*out` with the virtual /$Orphans record.
void orphans_entry(dv_entry *out);

// Whether `name` is "$Orphans".
bool is_orphans_name(const dv_name &name);

// Runs the orphan search unless it has run: 0, ENOMEM or EIO.
int orphans_ready(readfat_volume *vol);

// The orphan cluster at `index` of the table, or kChainEnd past its end (or with no table).
uint32_t orphan_cluster(const readfat_volume *vol, uint32_t index);

// Releases the orphan table (at unmount).
void drop_orphans(readfat_volume *vol);

readfat_dir *dir_open_path(readfat_volume *vol, const char *path, int *err);
readfat_dir *dir_open_entry(readfat_volume *vol, const dv_entry *entry, int *err);
const dv_entry *dir_next(readfat_volume *vol, readfat_dir *dir, int *err);
uint32_t dir_tell(const readfat_dir *dir);
int dir_seek(readfat_volume *vol, readfat_dir *dir, uint32_t pos, int *err);
int dir_where(readfat_volume *vol, const readfat_dir *dir, readfat_where *out, int *err);

// ---- Files ------------------------------------------------------------------------------

readfat_file *file_open_path(readfat_volume *vol, const char *path, int *err);
readfat_file *file_open_entry(readfat_volume *vol, const dv_entry *entry, int *err);
int file_seek(readfat_volume *vol, readfat_file *file, uint64_t pos, int *err);
uint32_t file_read(readfat_volume *vol, readfat_file *file, void *dst, uint32_t len, int *err);

// Called by the write path as it frees the chain that starts at `first_cluster`: every open
// file handle reading that chain turns stale (ESTALE), since its clusters may soon hold
// another file's data.
void forget_chain(readfat_volume *vol, uint32_t first_cluster);

// ---- Free clusters ----------------------------------------------------------------------

// The clusters the file system declares: the volume's cluster_count, no more than its boot
// sector's total sector count leaves room for (when it gives one) nor than its FAT has
// entries for. Free counts and allocation keep within clusters 2 .. this + 1.
uint32_t declared_clusters(const readfat_volume *vol);

// Counts the zero entries of clusters 2 .. declared_clusters(vol) + 1 into `count`, reading
// the first FAT from its start into `buf` in runs of at most `run` logical sectors, never
// past the sector that holds the last counted entry. Returns 0 or EIO.
int count_free_clusters(readfat_volume *vol, uint8_t *buf, uint32_t run, uint32_t &count);

// ---- Partition tables -------------------------------------------------------------------

int list_partitions(uint64_t disk_sectors, uint32_t sector_size, void *reader_data,
                    readfat_sector_reader reader, readfat_partition *parts, uint32_t room,
                    readfat_table *table);

} // namespace dorvex
