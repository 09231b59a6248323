/*
 * dorvex/checkfat.h -- consistency check of a mounted FAT12/16/32 or exFAT volume.
 *
 * readfat_check reads a volume mounted with readfat_new / readfat_new2 and
 * reports what is wrong with it, one finding at a time, through your
 * callback: FAT copies that differ, chains that loop, leave the data area or
 * disagree with a file's size, clusters reached by two chains, clusters
 * marked used that nothing reaches, directories whose "." or ".." is wrong,
 * the two names a cut move leaves, long-name entries that belong to no
 * entry, a boot sector label unlike the root's, and (with the FAT pass) the
 * FSInfo free count, the dirty bit and FAT32's backup boot sector. It
 * changes nothing.
 *
 * On exFAT it checks both boot regions (checksums, backup against main),
 * VolumeDirty, PercentInUse, the allocation bitmap and up-case table, every
 * entry set (SetChecksum, NameHash, the stream extension, SecondaryCount,
 * ValidDataLength, timestamps), every FAT chain and contiguous (NoFatChain)
 * run, and the bitmap against what the tree uses, both ways.
 *
 *     static int show(void *data, const readfat_finding *f) {
 *         printf("%u at cluster %u\n", f->kind, f->cluster);
 *         return 0;
 *     }
 *     int err;
 *     long n = readfat_check(vol, READFAT_CHECK_ALL, show, NULL, &err);
 *     // n findings, or -1 with err
 *
 * Cost: one pass over the first FAT (and each other copy, compared sector
 * by sector), read a cluster's worth of sectors per request (with
 * READFAT_FLAG_BATCH up to 64 KiB), one walk over the tree, following each
 * chain once and reading each directory once: the scan for orphaned long
 * names looks at the sectors its listing reads (the walk reads through the
 * check's own reader, which hands every request on to yours). Memory: two
 * bits per cluster, a stack of directory frames (READFAT_CHECK_MAX_DEPTH at
 * most), a path buffer, two FAT runs, a logical sector and 256 move marks,
 * all from the volume's allocator and released before the call returns.
 * exFAT: two boot regions read once, one walk over the tree reading each
 * directory cluster once (again after each subdirectory it holds), one pass
 * over the allocation bitmap, a cluster's worth per request; memory one bit
 * per cluster, twice 12 logical sectors, a cluster and 8 KiB of carried
 * entries, the frames and the path buffer.
 */
#ifndef DORVEX_CHECKFAT_H
#define DORVEX_CHECKFAT_H

#include <stddef.h>
#include <stdint.h>

#include "dorvex/readfat.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What readfat_check looks at (its `what` argument, bits). */
#define READFAT_CHECK_FATS                                                                         \
    0x1u /* the FAT copies, FSInfo's free count, the dirty bit, the backup boot sector;            \
            exFAT: the boot regions, VolumeDirty, PercentInUse, the bitmap and up-case table */
#define READFAT_CHECK_TREE                                                                         \
    0x2u /* chains, sizes, cross-links, cut moves, "." and ".." and orphaned long-name             \
            entries of every directory, the root's label against the boot sector's */
#define READFAT_CHECK_LOST                                                                         \
    0x4u /* clusters marked used that no chain of the tree reaches                                 \
            (needs both passes: implies the two bits above) */
#define READFAT_CHECK_ALL 0x7u

/* Directories deeper than this below the root are not entered
 * (READFAT_FIND_TOO_DEEP). */
#define READFAT_CHECK_MAX_DEPTH 64

/* readfat_finding.kind */
#define READFAT_FIND_FAT_DIFFERS                                                                   \
    1 /* FAT copy `count` + 1 differs from the first: `sector` is                                  \
         the first differing sector of that copy, `cluster` the                                    \
         first cluster whose entry differs, `length` the number of                                 \
         differing logical sectors */
#define READFAT_FIND_LOST                                                                          \
    2 /* clusters `cluster` .. `cluster` + `length` - 1 are marked                                 \
         used in the FAT but no chain of the tree reaches them */
#define READFAT_FIND_CROSSLINK                                                                     \
    3 /* the chain of `path` reaches `cluster`, which an earlier                                   \
         chain of the walk reached already; the walk of this chain                                 \
         stops there */
#define READFAT_FIND_LOOP                                                                          \
    4 /* the chain of `path` comes back to `cluster`, which it                                     \
         passed before: `length` clusters were walked */
#define READFAT_FIND_BAD_LINK                                                                      \
    5 /* the chain of `path` leads from `cluster` to `count`, a                                    \
         free entry, a bad-cluster mark or a cluster outside the data                              \
         area (`cluster` 0: the entry's first cluster is `count`) */
#define READFAT_FIND_CHAIN_LONG                                                                    \
    6 /* the chain of `path` has `length` clusters, more than its                                  \
         size (`size`) needs; `cluster` is the first one too many */
#define READFAT_FIND_CHAIN_SHORT                                                                   \
    7 /* the chain of `path` ends after `length` clusters, fewer                                   \
         than its size (`size`) needs; `cluster` is its last */
#define READFAT_FIND_BAD_DOT                                                                       \
    8 /* the directory `path` lacks a "." first entry pointing at                                  \
         its own first cluster (`cluster`); `count` is what the                                    \
         entry holds (0xFFFFFFFF when there is none) */
#define READFAT_FIND_BAD_DOTDOT                                                                    \
    9 /* ... a ".." second entry pointing at its parent (expected                                  \
         `cluster`, 0 for the root; `count` is what it holds) */
#define READFAT_FIND_FSINFO_FREE                                                                   \
    10 /* FAT32: FSInfo says `count` free clusters; the FAT has                                    \
          `length` */
#define READFAT_FIND_DIRTY                                                                         \
    11 /* the FAT's second entry says the volume was not unmounted                                 \
          cleanly */
#define READFAT_FIND_UNREADABLE                                                                    \
    12 /* a directory of `path` could not be listed to its end                                     \
          (`count` is the code: EIO, EILSEQ); what it holds after                                  \
          that is not checked */
#define READFAT_FIND_TOO_DEEP                                                                      \
    13 /* the directory `path` lies deeper than                                                    \
          READFAT_CHECK_MAX_DEPTH: not entered */
#define READFAT_FIND_MOVE_PAIR                                                                     \
    14 /* `path` is the second name met of a move cut between its                                  \
          writes: both entries start at `cluster` and carry move marks                             \
          (`count`: this one's, DV_NTRES_MOVE_FROM or DV_NTRES_MOVE_TO).                           \
          Not a cross-link: writefat_reclaim finishes the move */
#define READFAT_FIND_LFN_ORPHAN                                                                    \
    15 /* in the directory `path` (`cluster` its first cluster, 0 for                              \
          the FAT12/16 root), `length` long-name entries from raw entry                            \
          `count` on (in `sector`) belong to no short entry */
#define READFAT_FIND_BOOT_BACKUP                                                                   \
    16 /* FAT32: the backup boot sector (logical sector `count` of the                             \
          volume, absolute `sector`) differs from the boot sector in                               \
          `length` bytes */
#define READFAT_FIND_DIR_SIZE                                                                      \
    17 /* the directory `path` (first cluster `cluster`) has a size                                \
          field that is not 0 (`size`); writefat_repair sets it to 0 */
#define READFAT_FIND_LABEL                                                                         \
    18 /* (tree pass) the boot sector's label (at absolute `sector`)                               \
          differs from the root directory's label entry (`count` 1),                               \
          or is not "NO NAME" when the root has none (`count` 0): a                                \
          label change cut between its writes; writefat_reclaim                                    \
          copies the root's */
/* exFAT (the kinds above that fit apply too: LOST and the chain kinds with the
 * allocation bitmap in the FAT's place, DIRTY for VolumeDirty, BOOT_BACKUP for a
 * backup boot region that differs from the main one in `length` bytes, `count` 12) */
#define READFAT_FIND_BOOT_REGION                                                                   \
    19 /* the boot region at logical sector `count` (0 the main                                    \
          one, 12 the backup) fails: `length` 1 its checksum                                       \
          sector disagrees with it, 2 its boot sector is                                           \
          refused; `sector` its absolute first sector */
#define READFAT_FIND_PERCENT_IN_USE                                                                \
    20 /* PercentInUse says `count`; the allocation bitmap has `length`                            \
          percent of the clusters in use (reported when they differ by more than one) */
#define READFAT_FIND_BITMAP_FREE                                                                   \
    21 /* the file or directory `path` uses `length` clusters the                                  \
          allocation bitmap marks free, the first `cluster` */
#define READFAT_FIND_BITMAP_BAD                                                                    \
    22 /* the allocation bitmap is missing, shorter than the cluster                               \
          count needs or not in one run: lost clusters, BITMAP_FREE and                            \
          PERCENT_IN_USE are not judged */
#define READFAT_FIND_UPCASE_BAD                                                                    \
    23 /* the up-case table is missing, unreadable or fails the                                    \
          checksum its root entry holds (`count`): names are compared                              \
          through the default table */
#define READFAT_FIND_SET_CHECKSUM                                                                  \
    24 /* the entry set of `path` holds SetChecksum `count`; its                                   \
          entries sum to `length` (`sector`: the sector of its first entry) */
#define READFAT_FIND_NAME_HASH                                                                     \
    25 /* the entry set of `path` holds NameHash `count`; its up-cased                             \
          name hashes to `length` */
#define READFAT_FIND_SET_DAMAGED                                                                   \
    26 /* in the directory `path`, the entry set at raw entry `count`                              \
          (in `sector`) cannot be read: a stream extension missing, a                              \
          SecondaryCount (`length`) its entries do not match, an entry of                          \
          an unknown critical type or a secondary without its primary */
#define READFAT_FIND_VALID_PAST_SIZE                                                               \
    27 /* the file `path` has a ValidDataLength (the entry's valid64)                              \
          over its DataLength (`size`) */
#define READFAT_FIND_BAD_TIME                                                                      \
    28 /* the file `path` holds an impossible timestamp: `count` 0                                 \
          created, 1 modified, 2 accessed */

/*
 * One finding. Fields that do not apply to its kind are 0 (`path` null).
 * Valid only during the callback: copy what you keep.
 */
typedef struct readfat_finding {
    uint32_t kind;         /* READFAT_FIND_* */
    uint32_t cluster;      /* the cluster concerned (see the kind) */
    uint32_t count;        /* a second number (see the kind) */
    uint32_t length;       /* a length in clusters or sectors (see the kind) */
    uint64_t sector;       /* absolute 512-byte sector concerned, as the reader numbers
                              them (the first sector of `cluster` when there is one) */
    uint64_t size;         /* the entry's size in bytes, for the chain kinds */
    const uint16_t *path;  /* UTF-16 path of the file or directory concerned from the
                              root, '/' separated, zero-terminated; null for none. A path
                              longer than 4095 units is cut (`path_cut` is set) */
    uint32_t path_len;     /* units of `path` before the terminator */
    uint32_t path_cut;     /* nonzero when `path` was cut */
    const dv_entry *entry; /* the directory entry concerned, or null (the root, FAT kinds) */
} readfat_finding;

/* Called by readfat_check with each finding and `fn_data`. Return 0 to go
 * on, anything else to stop the check there. It must not use the volume. */
typedef int (*readfat_check_fn)(void *fn_data, const readfat_finding *finding);

/*
 * Checks the FAT12, FAT16, FAT32 or exFAT volume `vol` for what `what`
 * (READFAT_CHECK_* bits) names, and reports each finding to `fn` (may be
 * null: the findings are only counted). The FAT pass reads every FAT copy
 * through the reader in runs (see Cost above); the tree walk lists every
 * directory from the root (live entries only: deleted ones are passed over,
 * also on a volume mounted with DV_FLAG_DELETED) through one directory slot
 * of the volume's (so one must be free), and follows every chain through the
 * FAT cache, each cluster at most once: a chain stops at the first cluster
 * another chain reached (CROSSLINK; MOVE_PAIR when both entries start there
 * and carry move marks, for the first 256 marked entries) or that it reached
 * itself (LOOP), and a
 * directory whose first cluster was reached before is not entered. The
 * labels' and "."/".." entries' clusters are not followed. While the walk
 * runs, vol->reader_fn and vol->reader_data name the check's own reader,
 * which passes every request on to yours; yours are back before the call
 * returns.
 * On exFAT the walk reads the directories' raw entry sets itself (so that a set
 * a listing refuses is still judged, and its clusters are not entered), follows
 * a FAT chain or a NoFatChain run as the stream extension says, and compares
 * every cluster it reaches with the allocation bitmap; the reader is not
 * replaced.
 *
 * Returns the number of findings reported (0: nothing found; when `fn`
 * stopped the check, those up to and including the one it stopped at), or
 * -1 with `*err` (when `err` is not null), after the findings up to then:
 *   EINVAL          null `vol`
 *   ENOMEM          the allocator refused the bitmap or the walk's frames
 *   ENFILE          no free directory slot
 *   EIO             the reader failed a FAT sector or a boot sector (the FAT
 *                   pass), or the root directory could not be read; exFAT: the
 *                   main boot region, a FAT sector or a bitmap sector failed
 * Everything allocated is released before the call returns.
 */
DORVEX_API long readfat_check(readfat_volume *vol, uint32_t what, readfat_check_fn fn,
                              void *fn_data, int *err);

#ifdef __cplusplus
}
#endif

#endif /* DORVEX_CHECKFAT_H */
