/*
 * dorvex/writefat.h -- changing FAT12, FAT16 and FAT32 volumes.
 *
 * Open a volume with your sector reader and a sector writer next to it, then
 * create and write files, replace them, make and remove directories, remove
 * files and whole trees, rename and move within the volume, set times,
 * attributes and the volume label. Close it to write the free-cluster summary and mark the
 * volume clean:
 *
 *     int err;
 *     writefat_volume *w = writefat_open(0, sectors, 512, &img, my_reader,
 *                                        my_writer, readfat_optimal_flags(),
 *                                        4, 4, &err);
 *     writefat_mkdir(w, "/DOCS", mtime);
 *     writefat_file *f = writefat_create(w, "/DOCS/notes.txt", 0, &err);
 *     writefat_write(w, f, text, len, &err);
 *     err = writefat_finish(w, f, mtime);      // the file appears here
 *     err = writefat_close(w);
 *
 * A logger on a small device appends to a file and flushes it as it goes,
 * with a few KiB of memory (see "Memory" and "Changing a file in place";
 * examples/logger.c):
 *
 *     writefat_config c;
 *     writefat_config_init(&c, WRITEFAT_CONFIG_SMALL);
 *     w = writefat_open3(0, sectors, 512, &card, my_reader, my_writer,
 *                        readfat_optimal_flags(), 1, 1, &c, &err,
 *                        &pool, my_alloc, my_free);
 *     f = writefat_open_file(w, "/LOG/DAY.CSV", WRITEFAT_CREATE | WRITEFAT_APPEND, &err);
 *     writefat_write(w, f, line, n, &err);
 *     err = writefat_flush(w, f, now);          // every line so far survives a cut
 *
 * writefat_reader() gives the read side (a readfat_volume mounted with your
 * flags, matching names as the writer does, and your slot counts) for
 * listing and reading. Handles opened there see
 * the volume as it was when they were opened: reopen them after a change.
 * A file handle whose file is then removed or replaced (writefat_remove,
 * writefat_remove_tree, writefat_finish of a WRITEFAT_REPLACE file) turns
 * stale: its reads and seeks fail with ESTALE, since its clusters may hold
 * another file's data by then. Handles on other files keep working.
 *
 * Another volume mounted on the same medium (a second readfat_new or
 * writefat_open, another process) sees nothing coherent while a writer
 * changes it: the writer's FAT, directory and FSInfo sectors reach the
 * medium in its own order and at its own times, and the other volume's FAT
 * cache and windows may hold sectors from before. Mount it (again) after
 * writefat_close or writefat_sync.
 *
 * Paths are text in the charset of `flags`, split at its separators, as for
 * readfat. Names are matched as FAT matches them: case-insensitively (simple
 * case folding, dv_foldcase), against long names and 8.3 names alike. "."
 * and ".." go by the path's text, as readfat's lookups with
 * READFAT_FLAG_DOTS take them: "." stays, ".." goes back one component (at
 * the root, stays there); a path may go through them but not end at one
 * (EINVAL: "/a/.." is no name to create, remove or rename). The directories
 * a path passes through are remembered until anything is removed or moved,
 * so that work along one deep path is not repeated from the root.
 *
 * Names written. A name that is a plain upper-case 8.3 name (README.TXT) is
 * stored as its short entry alone. A name that fits 8.3 with an all-lower-
 * case base and/or extension (readme.txt, README.txt) is stored the same
 * way with the lower-case flags of byte 12 (DV_LCASE_BASE, DV_LCASE_EXT), as
 * Windows stores it. Every other name gets a long name and a unique 8.3
 * alias in upper case (LONGNA~1.TXT: the smallest numeric tail free in the
 * directory, or in a large indexed one the next after the last it gave), in
 * the form Windows writes (no long-name entry that holds only the
 * terminator). Names may not be empty, ".", "..", end in a dot or space,
 * or hold control characters or any of " * / : < > ? \ | (EINVAL). Nor may
 * they name a device Windows opens instead of a file: CON, PRN, AUX, NUL,
 * COM1..COM9 and LPT1..LPT9 (also with the superscript digits 1, 2, 3 that
 * Windows takes for them), in any case, alone or before a dot ("nul.txt",
 * "Con.tar.gz", "AUX .log"): every operation that makes a name refuses them
 * with EINVAL. COM0, LPT0, CONSOLE and "CON-1" are ordinary names. Entries
 * that already hold such names (written by another system) can be read,
 * removed and renamed away.
 *
 * Allocation. Free clusters are taken after the previous cluster of the
 * same chain where that one is free (files land contiguously), else from
 * the FSInfo hint on. Every FAT copy is written alike. The FAT32 FSInfo
 * sector's free count and hint are counted at open and written true at
 * close. While the volume is open for changes its dirty flag is set (the
 * clean bit of FAT[1]: bit 15 on FAT16, bit 27 on FAT32; FAT12 has none);
 * writefat_close clears it again when it was clear at open.
 *
 * Power loss. FAT has no journal, so every operation orders its writes:
 * file data before the FAT links of its chain, the FAT before the directory
 * entry that publishes the chain, and on removal the entry before its
 * clusters are freed. A name's entries are placed inside one logical sector
 * (for names up to 195 units on 512-byte sectors), so one sector write
 * publishes or removes them. A longer name may span two sectors; it is
 * written from its first sector on and removed from its last (the one with
 * the short entry) back, so a cut between the two leaves the file whole
 * under its name, or absent with a part of its long name that belongs to no
 * entry (no order of the two writes avoids such a part; writefat_reclaim
 * deletes it).
 * A crash at any write therefore leaves every file that existed before the
 * operation intact; `fsck.fat -n` finds at most lost clusters, a stale
 * FSInfo, the dirty flag, FAT copies that differ (a crash between the writes
 * of one FAT sector's copies; the first copy is the sound one), such an
 * orphaned long-name part, and what a cut move or label change leaves (below).
 * A replaced file is the old or the new file, never a mix: the
 * new data goes to a new chain, then one sector write switches the entry.
 * A tree removed by writefat_remove_tree is whole or gone: its top entry goes
 * first, and what follows only frees what is then unreachable (a cut leaves
 * lost clusters). A file changed in place keeps everything up to its last
 * flush (see "Changing a file in place"); after a cut append its chain may
 * run past its size, which fsck.fat -n reports and writefat_reclaim ends at
 * the size (until then the next append takes those clusters again).
 *
 * A move (writefat_rename, also within a directory) marks the old short
 * entry "leaving" (DV_NTRES_MOVE_FROM in byte 12, a bit other systems
 * ignore), writes the new name marked "arriving" (DV_NTRES_MOVE_TO), points a
 * moved directory's ".." at its new parent, deletes the old name and then
 * clears the new one's mark. A cut in between may leave the file under both
 * names, on one chain (never under neither): fsck.fat -n reports clusters
 * shared by two files (and for a directory a ".." that names only one of its
 * parents). Nothing frees the chain of a marked entry: writefat_remove and
 * writefat_remove_tree take the marked name away and leave its clusters (and
 * what a directory holds) to the other name, writefat_finish of a
 * WRITEFAT_REPLACE file over it keeps the old chain for the other name, and
 * writefat_open_file refuses it (EBUSY). So removing either name keeps the
 * other's data, and writefat_reclaim finishes the move (the old name goes)
 * or clears a mark left alone; a chain neither name keeps any more is a lost
 * chain it frees.
 *
 * writefat_setlabel writes the root directory's label entry first, then the
 * boot sector, then FAT32's backup boot sector: after a cut the root's label
 * is the one that counts (fsck.fat -n reports the boot sector's as differing),
 * and writefat_reclaim copies it to the boot sectors.
 *
 * What a cut leaves is mended by writefat_reclaim, which runs at open when
 * the dirty flag says the volume was not closed cleanly (FAT16/32; on FAT12,
 * which has no flag, call it). After it fsck.fat -n finds no lost clusters,
 * shared chains, chains past their file's size, orphaned long-name parts or
 * label differences, unless it met damage (its report says so). What remains
 * is the dirty flag
 * (writefat_close clears only a flag it set itself), a free count written at
 * close, and differing FAT copies: writefat_repair mends those too, and what
 * a bad writer leaves (loops, cross-links, sizes past their chains). A group
 * (writefat_group) widens this from one operation to the group's changes
 * since its last sync.
 *
 * Errors are returned (0 or a code) or, for calls that return a handle or
 * count, stored through `err` (written on failure only; may be null):
 *   ENOENT     a component of the path does not exist
 *   ENOTDIR    a component on the way is not a directory
 *   EEXIST     the name is taken (also by a name that differs only in case,
 *              or that equals another entry's 8.3 alias)
 *   EISDIR     a file operation on a directory
 *   ENOTEMPTY  removing a directory that holds entries
 *   ENOSPC     no free cluster; a full fixed root directory (FAT12/16); a
 *              directory at 65,536 entries. Nothing half-written is visible.
 *   EFBIG      a file would pass 4 GiB - 1 bytes
 *   EINVAL     a name FAT cannot hold or a device name (see above), the
 *              root as a target, a directory moved into itself, a bad
 *              label, a null argument, a closed or foreign handle
 *   ENAMETOOLONG, EILSEQ   the path text (see dv_parsepath)
 *   EBUSY      a second file open for writing; removing or moving the file
 *              open for writing (or a tree that holds it); an entry left
 *              marked by a cut move opened for writing
 *   EIO        a sector could not be read or written, or the volume is
 *              damaged where the operation needed it (a chain leaving the
 *              data area)
 *   any code the writer passes (e.g. EROFS; see writefat_sector_writer)
 * After a failed write of the medium the volume refuses every further
 * change with the same code: what is in memory may no longer match it.
 *
 * Memory: everything is taken at open through your allocator: the reader's
 * arena and context, plus one block for the write state, as large as the
 * writefat_config given to writefat_open3 asks (see "Memory" below;
 * writefat_open and writefat_open2 take WRITEFAT_CONFIG_FAST: a 16-sector
 * FAT cache, a directory sector, 32 directory sectors and 256 KiB of file
 * data (at least a cluster) for a group, a cluster for a file's partial
 * cluster, four directory clusters read by scans, the alias-tail table and
 * a 1 MiB index of the names of one large directory, which lets a directory
 * of thousands of files take new names without a scan each, and 112 KiB for
 * the directories of the last path: up to 4,096 levels, 16,384 units of
 * their names and 32 KiB of its text); operations allocate only the parsed
 * path (nothing when the path repeats the remembered text up to its last
 * components and holds no "." or "..") and writefat_remove_tree its stack,
 * writefat_reclaim its window and stack, writefat_repair two bits per
 * cluster, two cluster buffers and its stack, released before they return.
 * One volume is used by one thread at a time.
 */
#ifndef DORVEX_WRITEFAT_H
#define DORVEX_WRITEFAT_H

#include <stddef.h>
#include <stdint.h>

#include "dorvex/dorvex.h"
#include "dorvex/readfat.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Writes `count` 512-byte sectors from `buf` to the absolute sector
 * `sector` (the reader's numbering). Requests lie on logical-sector
 * boundaries of the volume and ask for at most 4096 sectors. Returns
 * `count` on success; a negative value -E passes the errno code E to the
 * caller (for instance -EROFS for a read-only medium); any other result is
 * failure with EIO. Return only once the sectors are on the medium (or in
 * a cache that keeps its order): the power-loss ordering rests on it.
 * `buf` is always 512-byte aligned, whatever your allocator gives: the
 * volume's buffers lie on 512-byte boundaries inside its block, and file
 * data from writefat_write goes straight from your buffer only when that
 * is aligned too (otherwise through the volume's buffer, one copy), so a
 * writer may hand `buf` to O_DIRECT or DMA as it is.
 */
typedef int32_t (*writefat_sector_writer)(void *writer_data, const void *buf, uint64_t sector,
                                          uint32_t count);

typedef struct writefat_volume writefat_volume;
typedef struct writefat_file writefat_file;

/* writefat_create: replace a file of that name instead of failing with
 * EEXIST. The old file stays until writefat_finish switches to the new one. */
#define WRITEFAT_REPLACE 0x0001u

/*
 * Opens the volume at `start_sector` for reading and changing. The
 * arguments are those of readfat_new2, with the writer and its data word
 * (`io_data` is given to both the reader and the writer). Returns the
 * volume, or null with `*err`: the codes of readfat_new2 (EINVAL also for a
 * null `writer`), EIO when a FAT sector or the FSInfo sector cannot be read,
 * ENOMEM, DV_E_BACKUPBOOT when the first sector is damaged and readfat_new2
 * would mount the volume from its backup (repair the boot sector first),
 * DV_E_EXFATWRITE for an exFAT volume (read it with readfat_new2). Nothing is written
 * at open, except when the dirty flag of a FAT16/32 volume says it was not
 * closed cleanly: writefat_reclaim then runs first (see "Reclaiming what a cut
 * left"; when it fails the volume opens all the same, and after a failed
 * write refuses changes). The first change marks the volume dirty.
 * writefat_open uses malloc/free, writefat_open2 your allocator.
 */
DORVEX_API writefat_volume *writefat_open(uint64_t start_sector, uint64_t end_sector,
                                          uint32_t sector_size, void *io_data,
                                          readfat_sector_reader reader,
                                          writefat_sector_writer writer, uint32_t flags,
                                          uint32_t max_files, uint32_t max_dirs, int *err);
DORVEX_API writefat_volume *
writefat_open2(uint64_t start_sector, uint64_t end_sector, uint32_t sector_size, void *io_data,
               readfat_sector_reader reader, writefat_sector_writer writer, uint32_t flags,
               uint32_t max_files, uint32_t max_dirs, int *err, void *alloc_data,
               dv_alloc_fn alloc_fn, dv_free_fn free_fn);

/*
 * ---- Memory ----
 *
 * How much memory a volume open for writing takes, chosen at open
 * (writefat_open3). writefat_config_init fills a record with a preset:
 *
 *   WRITEFAT_CONFIG_FAST   what writefat_open and writefat_open2 use: a 16-sector
 *                          FAT cache, four directory clusters kept by scans, groups
 *                          of 32 directory sectors and 256 KiB of data, a 1 MiB
 *                          name index, 65,535 alias tails per scan, a 4,096-level
 *                          path cache, a cluster-sized file buffer and a reclaim
 *                          bitmap of up to 8 MiB (a walk over the tree for every 64 Mi
 *                          clusters) (1.40 MiB
 *                          with 512-byte clusters, 1.55 MiB with 32 KiB ones, on
 *                          512-byte sectors).
 *   WRITEFAT_CONFIG_SMALL  for microcontrollers: one FAT sector, no directory
 *                          cache, no group buffers, no index, no path cache, 1,023
 *                          alias tails per scan, a file buffer of one logical
 *                          sector and a 4 KiB reclaim bitmap (a walk over the tree for
 *                          every 32,768 clusters). The write state then stays within 8 KiB plus
 *                          one logical sector on 512-byte sectors, whatever the
 *                          cluster size (3.6 KiB; writefat_config_bytes
 *                          says exactly how much).
 *
 * Any field may then be changed. Smaller caches cost speed, never correctness:
 * a directory without the index is scanned for each new name, a path without
 * the path cache is walked from the root, a group without buffers writes
 * through (each directory sector it changes is written at once, after the
 * data and the FAT it names), a directory with more names of one stem than
 * the tails tracked is scanned again for each further window of tails, and
 * with a sector-sized file buffer every partial sector written is a read and
 * a write of that sector. Without a group data buffer, file data handed over
 * in a buffer that is not 512-byte aligned goes to the writer a logical
 * sector at a time.
 */
typedef struct writefat_config {
    uint32_t fat_cache_sectors; /* logical FAT sectors kept (write-back), at least 1 */
    uint32_t dir_cache_units;   /* directory units scans keep (clusters with the cluster
                                   buffer, logical sectors with the sector buffer); 0: none */
    uint32_t group_sectors;     /* directory sectors a group keeps; 0: groups write through */
    uint32_t group_data_bytes;  /* file data a group gathers per request; 0: none */
    uint32_t index_slots;       /* name-index slots (4 bytes each; a power of two, at least
                                   4,096, or 0: no index) */
    uint32_t alias_tails;       /* numeric alias tails tracked per scan (~1 .. ~N-1; a bit
                                   each); at least 64. A directory whose N-1 tails of one
                                   stem are all taken is scanned again for the next N, up
                                   to ~999999 */
    uint32_t path_levels;       /* directories the path cache remembers (with 4 name units
                                   and 8 bytes of text each; at most 536,870,911); 0: none */
    uint32_t file_buffer;       /* WRITEFAT_BUFFER_CLUSTER or WRITEFAT_BUFFER_SECTOR */
    uint32_t options;           /* WRITEFAT_OPT_* */
    uint32_t reclaim_bytes;     /* the cluster bitmap writefat_reclaim takes for a walk
                                   (one walk per window of 8 clusters a byte; taken only
                                   while it runs); 0: 4 KiB. At most what the volume needs */
    uint32_t reserved[6];       /* zero */
} writefat_config;

#define WRITEFAT_CONFIG_FAST 0u
#define WRITEFAT_CONFIG_SMALL 1u

/* file_buffer: the partial data of the file open for writing is kept a cluster
 * at a time (one request per cluster) or a logical sector at a time. */
#define WRITEFAT_BUFFER_CLUSTER 0u
#define WRITEFAT_BUFFER_SECTOR 1u

/* options: run writefat_reclaim at open when the volume's dirty flag says it
 * was not closed cleanly (both presets set it). */
#define WRITEFAT_OPT_RECLAIM 0x0001u

/* Fills `*config` with the preset `preset` (WRITEFAT_CONFIG_*). Returns 0, or
 * EINVAL for a null `config` or an unknown preset. */
DORVEX_API int writefat_config_init(writefat_config *config, uint32_t preset);

/*
 * The bytes the write state of `config` takes on a volume of `sector_bytes`
 * logical sectors and `cluster_bytes` clusters, in one block taken at open
 * (the reader's arena and the codec context come on top: readfat_new2's
 * bytes for the same slot counts, and dv_newctx2's). 0 for a null or invalid
 * `config`, or a geometry no FAT volume has (`sector_bytes` not a power of
 * two from 512 to 4,096, `cluster_bytes` not a power of two of at least
 * `sector_bytes`). The formula, with S the logical sector, C the cluster and
 * U the directory unit (C, or S with the sector buffer):
 *   511 (alignment) + sizeof state rounded up to 512 bytes (1.5 KiB)
 *   + (S + 16) * fat_cache_sectors + S + (S + 8) * group_sectors
 *   + (U + 12) * dir_cache_units
 *   + C * (group_data_bytes / C, at least 1 when group_data_bytes is not 0)
 *   + the file buffer (C, or S with the sector buffer)
 *   + 4 * ((alias_tails + 31) / 32) + 4 * index_slots + 28 * path_levels
 */
DORVEX_API size_t writefat_config_bytes(const writefat_config *config, uint32_t sector_bytes,
                                        uint32_t cluster_bytes);

/*
 * writefat_open2 with the memory `config` says (null: WRITEFAT_CONFIG_FAST;
 * the record is copied, the caller keeps it). The state takes one block of
 * writefat_config_bytes through `alloc_fn`, besides the reader's arena and
 * the codec context. Returns what writefat_open2 returns; EINVAL also for an
 * invalid `config` (fat_cache_sectors 0, index_slots neither 0 nor a power of
 * two of at least 4,096, alias_tails below 64, path_levels above 536,870,911,
 * an unknown file_buffer, a reserved field not 0), before anything is taken.
 */
DORVEX_API writefat_volume *
writefat_open3(uint64_t start_sector, uint64_t end_sector, uint32_t sector_size, void *io_data,
               readfat_sector_reader reader, writefat_sector_writer writer, uint32_t flags,
               uint32_t max_files, uint32_t max_dirs, const writefat_config *config, int *err,
               void *alloc_data, dv_alloc_fn alloc_fn, dv_free_fn free_fn);

/*
 * Abandons an unfinished file (as writefat_abort), writes what is pending,
 * the FSInfo sector and the clean flag, and releases the volume, whatever
 * happens. Returns 0, or the code of the first failure (the volume is
 * released all the same; it stays marked dirty). A null `w` returns EINVAL.
 */
DORVEX_API int writefat_close(writefat_volume *w);

/* The volume's read side (owned by `w`, released by writefat_close); null
 * for a null `w`. It is mounted with the flags given at open plus
 * DV_FLAG_NTCASE and DV_FLAG_NOCASE, so that it finds names as the writer
 * matches them (case-insensitively, 8.3 aliases too) and lists them as they
 * were written: a file created as "lower.txt" (stored as LOWER.TXT with the
 * lower-case flags) is listed as lower.txt and found as LOWER.TXT too. */
DORVEX_API readfat_volume *writefat_reader(writefat_volume *w);

/*
 * Starts writing the file `path` (its directory must exist). One file is
 * open for writing at a time. The file becomes visible only at
 * writefat_finish (or its first writefat_flush). With WRITEFAT_REPLACE an
 * existing file of that name is replaced then (its name, attributes and
 * creation time kept). Returns the
 * handle, or null with `*err`: EEXIST (without WRITEFAT_REPLACE), EISDIR
 * (the name is a directory), EBUSY, and the path and name codes above.
 */
DORVEX_API writefat_file *writefat_create(writefat_volume *w, const char *path, uint32_t flags,
                                          int *err);

/*
 * Writes `len` bytes of `data` at the handle's position (the end for a new
 * file, or with WRITEFAT_APPEND), overwriting what is there and growing the
 * file past its end; the position moves past them. Returns 0, or -1 with
 * `*err`: EFBIG (the file would pass 4 GiB - 1 bytes; nothing written),
 * ENOSPC (the handle is spent: only writefat_abort or writefat_finish, which
 * reports the code again, remain; a file not yet published has its clusters
 * released, a published one keeps its last flush), EIO or the writer's code,
 * EINVAL.
 */
DORVEX_API int writefat_write(writefat_volume *w, writefat_file *f, const void *data, size_t len,
                              int *err);

/*
 * Publishes the file with modification time `mtime` (seconds since 1970,
 * UTC; creation and access take it too for a new file; DV_TIME_NONE: 1980-
 * 01-01, or for a published file the entry's time kept) and releases the
 * handle, whatever the result. Returns 0, or a code: a file not yet
 * published then has its clusters released and the directory is as it was
 * (EEXIST when the name was taken meanwhile, ENOSPC when the directory has
 * no room and cannot grow, or the codes of writefat_write); a published one
 * keeps what its last flush wrote. A published file's finish is a
 * writefat_flush: it is written at once, also inside a group.
 */
DORVEX_API int writefat_finish(writefat_volume *w, writefat_file *f, int64_t mtime);

/* Abandons the file: a file not yet published has its clusters released and
 * nothing becomes visible; a published one keeps what its last flush wrote
 * (the clusters it took since are released; data written in place stays).
 * A null or closed handle is ignored. */
DORVEX_API void writefat_abort(writefat_volume *w, writefat_file *f);

/*
 * ---- Changing a file in place ----
 *
 * writefat_open_file opens an existing file for writing (or makes it, with
 * WRITEFAT_CREATE): writes go to the position, overwriting what is there and
 * extending the file past its end; writefat_seek moves the position,
 * writefat_truncate shrinks or extends it (with zeros), writefat_preallocate
 * reserves a contiguous run for what is still to come, and writefat_flush
 * makes everything written so far durable. writefat_finish flushes and
 * releases the handle; writefat_abort releases it keeping the last flush.
 * writefat_create's handles take these calls too: their first writefat_flush
 * publishes the file (switching a WRITEFAT_REPLACE file over), after which
 * they behave as handles of writefat_open_file.
 *
 * What a cut leaves (with a sector writer that writes each sector whole):
 *   - appended data: everything up to the last writefat_flush that returned 0
 *     is kept; what was appended since may be lost (the size in the entry is
 *     the last flushed one), never earlier data;
 *   - data overwritten in place: each sector holds its old or its new bytes;
 *   - a truncation: the old or the new size (the clusters past a new, smaller
 *     end may remain in the chain past the size, where the next append takes
 *     them again, or after a truncation to 0 as lost clusters).
 * fsck.fat -n may then find what it may find after any cut (see the header's
 * notes on power loss) and, after a cut append or truncation, a chain longer
 * than the size, which writefat_reclaim ends at the size.
 */

/* writefat_open_file flags (any other bit, WRITEFAT_REPLACE too, is EINVAL). */
#define WRITEFAT_CREATE 0x0002u   /* make the file when it does not exist */
#define WRITEFAT_APPEND 0x0004u   /* every write goes to the end */
#define WRITEFAT_TRUNCATE 0x0008u /* the file starts empty (at the first flush on the medium) */

/*
 * Opens the file `path` for writing at position 0 (the end with
 * WRITEFAT_APPEND). One file is open for writing at a time (with
 * writefat_create's). A read-only file is opened all the same (the attribute
 * guards against other systems' writes; the caller decides). The file's chain
 * is walked at open (bounded by the volume's clusters): a chain that loops,
 * leaves the data area or is shorter than the size gives EIO. Returns the handle, or null with
 * `*err`: ENOENT (no such file, without WRITEFAT_CREATE), EISDIR, EBUSY (a file is open for
 * writing, or the entry was left marked by a cut move: writefat_reclaim
 * finishes it), EINVAL (unknown flags), and the path and name codes above.
 */
DORVEX_API writefat_file *writefat_open_file(writefat_volume *w, const char *path, uint32_t flags,
                                             int *err);

/*
 * Writes go to `pos` from now on (it may lie past the end: the gap reads as
 * zeros once something is written there). Returns 0, EINVAL (a bad handle,
 * `pos` above 4 GiB - 1) or the handle's failure code.
 */
DORVEX_API int writefat_seek(writefat_volume *w, writefat_file *f, uint64_t pos);

/* The position writes go to, and the file's size as written so far (flushed or
 * not); 0 for a bad handle. */
DORVEX_API uint64_t writefat_tell(writefat_volume *w, writefat_file *f);
DORVEX_API uint64_t writefat_filesize(writefat_volume *w, writefat_file *f);

/*
 * Sets the file's size to `size`: shorter drops the end (its clusters are freed
 * at the next flush, after the entry's new size is on the medium), longer
 * appends zeros. The position stays. Returns 0, EFBIG (above 4 GiB - 1),
 * ENOSPC, EINVAL, EIO or the writer's code.
 */
DORVEX_API int writefat_truncate(writefat_volume *w, writefat_file *f, uint64_t size);

/*
 * Reserves free clusters, as one contiguous run after the file's last cluster
 * where one is free (else the first free run long enough), so that the file
 * can grow to `size` bytes without fragmenting. Nothing is written: the run
 * is held in memory for this handle, taken in order as the file grows, and
 * what is left unused is released with the handle. Returns 0, ENOSPC (no free
 * run that long; nothing reserved), EFBIG, EINVAL.
 */
DORVEX_API int writefat_preallocate(writefat_volume *w, writefat_file *f, uint64_t size);

/*
 * Makes what was written durable: the file's buffered data, then the FAT
 * links of its chain, then its entry (size, first cluster, `mtime` as in
 * writefat_finish, DV_TIME_NONE keeping the entry's; the archive bit), then
 * the clusters a truncation released. An open group is synced too. A file of
 * writefat_create is published by its first flush. Returns 0, or the codes of
 * writefat_write and writefat_finish (ENOENT when the entry was removed
 * meanwhile); after a failure the handle is spent as after a failed write.
 */
DORVEX_API int writefat_flush(writefat_volume *w, writefat_file *f, int64_t mtime);

/*
 * Makes the directory `path` (with "." and ".."), times `mtime` as in
 * writefat_finish. Returns 0, or EEXIST, ENOSPC and the codes above.
 */
DORVEX_API int writefat_mkdir(writefat_volume *w, const char *path, int64_t mtime);

/*
 * Removes the file or empty directory `path`: its entries first, then its
 * clusters (not those of an entry left marked by a cut move: see "Power
 * loss"; writefat_reclaim frees them when no name is left). Returns 0, or ENOTEMPTY, EINVAL (the
 * root) and the codes above. Read-only files are removed too (the attribute guards against other
 * systems' writes; the caller decides).
 */
DORVEX_API int writefat_remove(writefat_volume *w, const char *path);

/*
 * Called by writefat_remove_tree for each entry it takes away, depth-first:
 * a directory's own entry before its contents, so a caller can keep the
 * path by depth (depth 0 is the named entry, 1 its children, ...). `entry`
 * is the entry as it was (valid during the call only). `code` is 0, or
 * ELOOP for a directory entry that is not followed: it points at the root,
 * at a directory on the way down, at a directory that is not its own
 * ("." and ".." there do not name it and the directory it was found in: a
 * cross-link), at a free cluster or outside the data area; and for a file
 * whose chain starts at the root's. Such an entry is marked deleted, its
 * clusters are left alone (they belong to something else, or are damaged).
 * An entry left marked by a cut move (see "Power loss") is taken away with
 * code 0 and not followed: its chain, and what a directory holds, belong to
 * its other name too.
 * EIO: a directory whose first cluster could not be read; its entry is
 * marked deleted too, what it holds stays as lost clusters, and the walk
 * goes on (the call then returns EIO). The callback must not use the volume.
 */
typedef void (*writefat_remove_fn)(void *fn_data, const dv_entry *entry, uint32_t depth, int code);

/*
 * Removes `path`: a file (as writefat_remove) or a directory with
 * everything below it, walked with its own stack (no recursion: any depth).
 * `fn` (may be null) hears of each entry removed, with `fn_data`.
 *
 * Write order: first the named entry is marked deleted (one sector write;
 * the write path keeps a name's entries inside one logical sector). From
 * then on the whole tree is unreachable, so a crash at any later write
 * leaves at most lost clusters: the tree is whole or gone. Then each
 * directory of the tree has its entries marked deleted (first byte 0xE5;
 * "." and ".." kept, as Windows and mdeltree leave a deleted folder, so
 * recovery tools still find the names), each of its clusters written once;
 * each file's chain is freed, and each directory's chain after its contents
 * were read. The FAT goes out through the write-back cache, flushed before
 * the call returns. An open group is synced first (as for every removal).
 * Each directory is read once: the time is linear in the entries; the
 * memory (through the volume's allocator, released before the call returns)
 * grows with the depth and the entries still to do.
 *
 * Returns 0 (also when entries were not followed: `fn` hears of them), or
 * EINVAL (the root, a null `w` or `path`), ENOMEM (the stack could not be
 * taken: nothing changed; or could not grow: the tree is gone from its
 * directory, the clusters not yet freed are lost clusters), EIO (a
 * directory of the tree could not be read: the rest was removed; or a
 * sector not written: the volume then refuses changes) and the codes above.
 * A file open for writing (writefat_create) into a directory removed fails
 * at writefat_finish with ENOENT.
 */
DORVEX_API int writefat_remove_tree(writefat_volume *w, const char *path, writefat_remove_fn fn,
                                    void *fn_data);

/*
 * Renames or moves `from` to `to` (its directory must exist; the name must
 * be free, except for a change of case of the same entry). A moved
 * directory's ".." follows it. Five writes, in the order "Power loss" gives
 * (the old name marked, the new name, "..", the old name deleted, the mark
 * cleared). Returns 0, or EEXIST, EINVAL (the root, or a directory moved
 * below itself) and the codes above; when the new name cannot be written,
 * the old one's mark is cleared again.
 */
DORVEX_API int writefat_rename(writefat_volume *w, const char *from, const char *to);

/*
 * Sets the times of `path` (seconds since 1970, UTC; DV_TIME_NONE keeps a
 * time). Creation keeps 10 ms, modification 2 s, access the day. Returns 0
 * or the codes above (EINVAL for the root, which has no entry).
 */
DORVEX_API int writefat_settimes(writefat_volume *w, const char *path, int64_t ctime, int64_t mtime,
                                 int64_t atime);

/*
 * Sets the attribute bits DV_ATTR_READONLY, _HIDDEN, _SYSTEM and _ARCHIVE
 * of `path` to those of `attr`; the directory bit stays as it is. Returns 0,
 * EINVAL (other bits in `attr`, the root) or the codes above.
 */
DORVEX_API int writefat_setattr(writefat_volume *w, const char *path, uint32_t attr);

/*
 * Sets the volume label (ASCII, at most 11 characters, stored in upper
 * case; not . " * + , / : ; < = > ? [ \ ] | or control characters) in the
 * root directory and the boot sector (and its FAT32 backup), in that order:
 * the root's entry counts after a cut (see "Power loss"). An empty or null
 * label removes it ("NO NAME" in the boot sector). Returns 0, EINVAL,
 * ENOSPC (a full fixed root) or the codes above.
 */
DORVEX_API int writefat_setlabel(writefat_volume *w, const char *label);

/*
 * Groups, for copying many files. While a group is open, the directory
 * sectors that new files (writefat_finish without WRITEFAT_REPLACE), new
 * directories, times and attributes change are kept in memory, up to 32 of
 * them (the config's group_sectors), and the FAT stays in its cache. They are written together, the
 * FAT first, when the group is synced: by writefat_sync, writefat_group(w, 0), writefat_close, an
 * operation that removes, renames, replaces or labels (each syncs first and then orders its writes
 * as without a group), or when the 32 sectors are full. The data of small files is gathered too, up
 * to 256 KiB (group_data_bytes) of successive clusters per writer call, and always written before
 * the FAT that links it. This spares each file its own data, FAT and
 * directory writes: a tree of 1,000 small files takes about 950 writer
 * calls instead of 5,800.
 *
 * What a crash leaves: every file that existed before the group intact, and
 * each file or directory made since the last sync either whole or absent (a
 * new directory may hold only some of its new files, and times set since
 * may be lost); fsck.fat -n finds at most what it may find without a group.
 * A change that returned 0 is on the medium once the next sync returns 0.
 * Handles of writefat_reader see the group's changes only after a sync.
 *
 * writefat_group: `on` nonzero opens a group (none is open by default; one
 * already open stays), 0 syncs and closes it. Returns 0, EINVAL (null `w`),
 * or the code of a failed write (the group is closed all the same; the
 * volume then refuses changes, see above).
 * writefat_sync: writes what the group keeps; the group stays open. Returns
 * 0 (also with no group open), EINVAL or the code of a failed write.
 */
DORVEX_API int writefat_group(writefat_volume *w, int on);
DORVEX_API int writefat_sync(writefat_volume *w);

/*
 * ---- Reclaiming what a cut left ----
 *
 * What writefat_reclaim did (counts; a field is 0 when there was nothing).
 */
typedef struct writefat_reclaim_report {
    uint32_t lost_clusters;  /* clusters marked used that no entry reached, freed */
    uint32_t lost_chains;    /* the chains they formed (counted at their ends) */
    uint32_t moves_finished; /* moves cut after their new name was written */
    uint32_t marks_cleared;  /* move marks without their other half, cleared */
    uint32_t lfn_cleared;    /* long-name entries that belonged to no entry, deleted */
    uint32_t label_synced;   /* 1: the boot sector's (or its backup's) label was set to the
                                root's */
    uint32_t passes;         /* walks over the tree (2n - 1 for n windows of clusters;
                                fewer when damage stopped them) */
    uint32_t damaged;        /* 1: damage was met (an unreadable directory, a chain that
                                loops or leaves the data area, clusters reached twice, a
                                tree too deep): no cluster was freed */
    uint32_t files_trimmed;  /* files whose chain ran past their size (a cut append), ended
                                at the size; the clusters past it count as lost ones */
    uint32_t reserved[7];
} writefat_reclaim_report;

/*
 * Mends what a cut write may leave, without touching anything live: clusters
 * marked used that no entry reaches are freed, a file's chain that runs past
 * its size (a cut append or truncation) is ended at the size and the rest
 * freed (a moved file's, still marked, is left whole), a move cut after its new name
 * was written is finished (a moved directory's ".." set, the old name
 * deleted, the mark cleared), lone move marks are cleared, long-name entries
 * that belong to no entry are deleted, and the boot sector's label (and FAT32's
 * backup's) is set to the root directory's ("NO NAME" when it has none).
 *
 * The walk goes over every live entry of the tree (deleted entries are not
 * followed; a directory's entries end at its end mark) with its own stack,
 * following each chain through the FAT. It meets damage at a directory that
 * cannot be read, a chain that loops, runs through a free or bad cluster or
 * leaves the data area, a directory entry naming cluster 0 or the root, a
 * cluster reached twice (except by the two names of a cut move), or a tree
 * deeper than 4,096 levels. Then it stops: report->damaged is set, no cluster
 * is freed and no mark is cleared alone (its other half may lie beyond), but
 * the moves, long names and label it found are still settled, which frees
 * nothing. The walk keeps one bit per cluster of a window of 32,768 clusters
 * (4 KiB, with the stack and a cluster buffer, through the volume's allocator,
 * released before the call returns): a volume of more clusters is walked once
 * per window to find damage anywhere before anything is freed, and again for
 * each window but the last to free its clusters (2n - 1 walks for n windows;
 * the time is linear in the tree times the walks). Freed clusters go out
 * through the FAT cache, flushed before the call returns; FSInfo's count
 * follows at close. Each change is one sector write of the kind the
 * operations make, so a cut during reclaim leaves what another call mends.
 * `report` (may be null) receives what was done.
 *
 * Run at open when the volume was not closed cleanly (WRITEFAT_OPT_RECLAIM;
 * FAT16/32, whose dirty flag tells); writefat_reclaimed then gives its report.
 * Returns 0 (also when damage stopped the freeing: see report->damaged),
 * EINVAL (null `w`), EBUSY (a file is open for writing), ENOMEM, EIO or the
 * writer's code (the volume then refuses changes).
 */
DORVEX_API int writefat_reclaim(writefat_volume *w, writefat_reclaim_report *report);

/* Whether writefat_open ran writefat_reclaim and it returned 0 (1, `*report`
 * filled when not null; see its damaged field) or not (0: the volume was
 * closed cleanly, is FAT12, or the call failed). */
DORVEX_API int writefat_reclaimed(const writefat_volume *w, writefat_reclaim_report *report);

/*
 * ---- Repairing a damaged volume ----
 *
 * What writefat_repair changed: one record per change, given to its callback.
 */
/* FAT sectors copied from the sound copy to the others: `sector` (index in a
 * FAT) and `count` sectors, `copy` the copy kept (0 = the first), `cluster`
 * the first cluster they cover. */
#define WRITEFAT_REPAIR_FAT_SYNCED 1u
/* A chain that looped or left the data area (through a free, bad or missing
 * cluster) ended at `cluster`, its last sound one (0: the entry now names
 * none): `count` clusters kept, `size` the file's size now. */
#define WRITEFAT_REPAIR_CHAIN_ENDED 2u
/* A file's size ran past its chain: `size` is what its `count` clusters hold. */
#define WRITEFAT_REPAIR_SIZE_CUT 3u
/* A directory's size field was not 0: set to 0. */
#define WRITEFAT_REPAIR_DIR_SIZE 4u
/* A lost chain from `cluster`, `count` clusters, saved as the file `path` of
 * `size` bytes. */
#define WRITEFAT_REPAIR_LOST_SAVED 5u
/* A file that ran into another's chain at `cluster` got its own copy of the
 * `count` clusters its size covers. */
#define WRITEFAT_REPAIR_CROSS_COPIED 6u
/* ... and could not (no room for `count` clusters): left as it was. */
#define WRITEFAT_REPAIR_CROSS_LEFT 7u
/* FSInfo's free count (`count` before) set to `size`. */
#define WRITEFAT_REPAIR_FSINFO 8u
/* The dirty flag cleared: nothing was left unmended. */
#define WRITEFAT_REPAIR_CLEAN 9u
/* A directory entry not followed: it names cluster `cluster` out of the data
 * area, the root, or a directory reached already. Left as it was. */
#define WRITEFAT_REPAIR_DIR_LEFT 10u
/* The directory `path`'s "." (`count` 1) or ".." (`count` 2) named cluster
 * `size`: set to `cluster`, the directory itself or its parent (0: the root). */
#define WRITEFAT_REPAIR_DOTS 11u

typedef struct writefat_repair_record {
    uint32_t kind;        /* WRITEFAT_REPAIR_... */
    uint32_t cluster;     /* where, as the kind says */
    uint32_t copy;        /* FAT_SYNCED: the copy kept */
    uint64_t sector;      /* FAT_SYNCED: the first FAT sector (from the FAT's start) */
    uint64_t count;       /* as the kind says */
    uint64_t size;        /* as the kind says */
    const uint16_t *path; /* the entry's path from the root, UTF-16, not terminated;
                             null when none (valid during the call only) */
    size_t path_len;      /* in units */
} writefat_repair_record;

/* Hears of each change writefat_repair makes; a nonzero result stops the
 * repair (writefat_repair returns it). The callback must not use the volume. */
typedef int (*writefat_repair_fn)(void *fn_data, const writefat_repair_record *record);

/* writefat_repair's `what`: free lost chains instead of saving them. */
#define WRITEFAT_REPAIR_FREE_LOST 1u

/*
 * Mends everything it can on a damaged volume, keeping every byte a live
 * file's size covers, in this order:
 *
 * 1. FAT copies that differ are made alike, sector by sector, from the first
 *    copy, or from another one where the first's sector cannot be read or
 *    holds links that leave the data area while that one's do not (not on
 *    FAT32 with mirroring off, whose FATs may differ).
 * 2. One walk over the tree (depth-first, each directory read once, plus one
 *    cluster read again per return from a subdirectory) follows every chain:
 *    one that loops or runs out of the data area, through a free or bad
 *    cluster, is ended at its last sound cluster and the file's size cut to
 *    what the chain then holds; a file whose size runs past its chain gets
 *    the chain's size (as fsck.fat does); a directory's nonzero size field
 *    becomes 0. A file's chain that runs past its size ends there, and what
 *    followed is freed up to a cluster another chain holds (a moved file's,
 *    still marked, is kept whole). A file that runs into a chain another
 *    entry reached first (a cross-link) gets a copy of the shared clusters
 *    its size covers, in free clusters; when there is no room it is left
 *    (CROSS_LEFT). The two names of a cut move share their chain by design:
 *    they are left to step 4.
 *    A subdirectory's "." and ".." are set to name it and its parent (one
 *    without them is left).
 * 3. Lost chains (clusters used in the FAT that nothing reached, one chain
 *    per cluster no other lost cluster links to) are saved as files
 *    FSCK0000.REC, FSCK0001.REC ... in a new directory /FOUND.000 (FOUND.001
 *    ... when that name is taken), each as long as its chain (as fsck.fat
 *    saves them); with WRITEFAT_REPAIR_FREE_LOST in `what` they are freed
 *    instead. A chain longer than a file can be is cut at 4 GiB - 1 cluster;
 *    after FSCK9999.REC the next FOUND.nnn takes the rest.
 * 4. writefat_reclaim runs (`report`, may be null, receives its report, with
 *    the tails of step 2 counted in files_trimmed and lost_clusters): it
 *    frees what is still lost (lost cycles; every lost chain with
 *    WRITEFAT_REPAIR_FREE_LOST), finishes cut moves, deletes orphaned long
 *    names and syncs the boot label.
 * 5. The free count is counted again; FSInfo gets it (and the next-free
 *    hint) at close. When nothing was left unmended (no CROSS_LEFT or
 *    DIR_LEFT record, no directory unreadable or without "." and "..",
 *    reclaim met no damage) the dirty flag of a FAT16/32
 *    volume is cleared at close, even when it was set at open.
 *
 * `fn` (may be null) hears of each change of steps 1-3 and 5 with
 * `fn_data`; step 4's are the counts in `report`. `mtime` stamps the
 * FOUND directory and its files. Memory, through the volume's allocator and
 * released before the call returns: two bits per cluster, two cluster
 * buffers, a stack as deep as the tree and its path, and what reclaim takes.
 * A volume left untouched by the repair (sound, FSInfo right, flag clear) is
 * not written at all. Open the volume without WRITEFAT_OPT_RECLAIM: reclaim
 * at open would free the lost chains of a dirty volume before they are saved.
 *
 * Returns 0 (also when something was left: see the records), EINVAL (null
 * `w`), EBUSY (a file is open for writing), ENOMEM, EIO (a FAT sector no copy
 * of which can be read, or a write that failed: the volume then refuses
 * changes), ENOSPC (no room for FOUND.nnn or its entries: what was
 * mended stays, the lost chains not saved yet too; WRITEFAT_REPAIR_FREE_LOST
 * frees them instead), or what `fn`
 * returned.
 */
DORVEX_API int writefat_repair(writefat_volume *w, unsigned what, int64_t mtime,
                               writefat_repair_fn fn, void *fn_data,
                               writefat_reclaim_report *report);

/*
 * ---- Formatting ----
 *
 * How writefat_format lays out a new volume. Zero fields take the defaults,
 * which give the layout mkfs.fat (dosfstools 4) gives a volume of that size;
 * a zero-initialised record is a valid request.
 */
typedef struct writefat_format_options {
    uint32_t fat_type;       /* 12, 16 or 32; 0: FAT32 from 512 MiB, below that
                                FAT12 while its 4,084 clusters suffice, else FAT16 */
    uint32_t sector_size;    /* logical sector size 512, 1024, 2048, 4096; 0: 512 */
    uint32_t cluster_size;   /* bytes per cluster: a power of two from one logical
                                sector to 128 of them and at most 64 KiB; 0: chosen
                                from the size (FAT12/16: 2 KiB, doubled until the
                                count fits; FAT32: 512 bytes up to 260 MiB, 4 KiB to
                                8 GiB, 8 KiB to 16 GiB, 16 KiB to 32 GiB, 32 KiB above;
                                never less than a logical sector). These are bytes
                                whatever the sector size: mkfs.fat counts the same
                                table in sectors, so with sectors above 512 bytes
                                its clusters may differ from these */
    uint32_t align;          /* the data area starts on a multiple of this many
                                512-byte sectors from the volume's start (a multiple
                                of the logical sector; the reserved sectors absorb
                                the padding). 0: as mkfs.fat: on volumes above 8,192
                                logical sectors the reserved region, each FAT and the
                                root directory fill whole clusters, smaller ones are
                                packed. 1: packed. SD cards want 8192 (4 MiB, their
                                erase unit) when the partition starts aligned. */
    uint32_t root_entries;   /* FAT12/16 root directory entries, rounded up to fill
                                its last sector (and with align 0 its last cluster);
                                at most 65,535; ignored on FAT32. 0: 512 (112 or 224
                                on the standard diskettes) */
    uint32_t num_fats;       /* 1 or 2; 0: 2 */
    uint32_t volume_id;      /* the volume serial number, stored as given */
    uint32_t flags;          /* context flags (unused today: the label is ASCII in
                                every charset) */
    uint64_t hidden_sectors; /* sectors before the volume on its disk, stored in the
                                BPB (at most 0xFFFFFFFF); 0 for an unpartitioned image */
    uint32_t media;          /* media byte, 0xF0 or 0xF8..0xFF; 0: 0xF8 (the standard
                                diskettes: 0xFD, 0xF9 or 0xF0) */
    const char *label;       /* volume label: ASCII, at most 11 characters, stored in
                                upper case, not . " * + , / : ; < = > ? [ \ ] | or
                                control characters; null or "" for none */
    int64_t mtime;           /* the label entry's times (seconds since 1970, UTC);
                                0 or DV_TIME_NONE: left zero */
} writefat_format_options;

/*
 * Lays out a new, empty FAT12, FAT16 or FAT32 volume over the 512-byte
 * sectors [start_sector, end_sector) through `writer` (called with
 * `writer_data`; requests on logical-sector boundaries from start_sector, at
 * most 16 sectors each), as `opts` asks (see writefat_format_options).
 *
 * Layout. Reserved sectors: 32 on FAT32 (boot sector, FSInfo at 1, backup
 * boot sector at 6 and backup FSInfo at 7), 1 on FAT12/16, plus the
 * alignment's padding. Then the FATs, FAT12/16's fixed root directory and the
 * data area; FAT32's root directory is cluster 2. The volume counts whole
 * tracks of the CHS geometry stored in the BPB (the table SD cards and
 * mkfs.fat use: 16 to 63 sectors, 2 to 255 heads), which mtools requires:
 * up to 62 sectors at the end stay unused, as with mkfs.fat. The standard
 * diskette sizes (360, 720, 1200, 1440 and 2880 KiB at 512 bytes a sector)
 * get their historical FAT12 layout and media byte. The boot sector holds
 * OEM name "DORVEX  ", drive number 0x80 (0 on a diskette), the extended
 * signature, `volume_id`, the label (or "NO NAME    "), the type string
 * "FAT12   ", "FAT16   " or "FAT32   ", and a boot stub that prints that the
 * volume is not bootable, waits for a key and tries the next device.
 * FAT[0] holds the media byte, FAT[1] end-of-chain with the clean bits set;
 * on FAT32 FAT[2] ends the root's chain and FSInfo counts every other
 * cluster free, with the hint at 3. A label also goes into the root
 * directory as its first entry.
 *
 * Write order: the reserved region is zeroed first, from its first sector,
 * so the old boot sector no longer describes a volume; then each FAT, the
 * root directory (FAT12/16's region, FAT32's cluster), FAT32's backup FSInfo,
 * FSInfo and backup boot sector, and the boot sector last. A format cut
 * before its end therefore leaves no valid-looking boot sector at the start.
 * The data area is not cleared (old data stays readable to a raw scan); only
 * the root directory is. Zeroed sectors go out in runs of 8 KiB from one
 * stack buffer: no allocation; at most 8 KiB of stack.
 *
 * Returns 0, or
 *   EINVAL  a null `writer` or `opts`, an empty range, a field out of range
 *           (type, sector size, cluster size not a power of two or too large,
 *           num_fats, media, align not a multiple of the logical sector,
 *           hidden_sectors, root_entries), a label FAT cannot hold, or a size
 *           the type cannot hold with the cluster size asked for or any
 *           larger one (FAT12 on 1 GiB, FAT32 below about 33 MiB at 512-byte
 *           clusters, more than 0xFFFFFFFF logical sectors, an alignment that
 *           needs more than 65,535 reserved sectors); nothing is written then
 *   EIO     the writer failed (a result other than its count or -E)
 *   E       the writer returned -E (e.g. EROFS)
 * After a failure of the writer the volume is half made (see the order).
 */
DORVEX_API int writefat_format(uint64_t start_sector, uint64_t end_sector, void *writer_data,
                               writefat_sector_writer writer, const writefat_format_options *opts);

/* The layout writefat_format chooses (writefat_format_layout). Logical sectors
 * unless the field says otherwise. */
typedef struct writefat_layout {
    uint32_t fat_type;         /* 12, 16 or 32 */
    uint32_t sector_size;      /* logical sector bytes */
    uint32_t cluster_size;     /* bytes per cluster */
    uint32_t cluster_count;    /* clusters of the data area */
    uint32_t reserved_sectors; /* before the first FAT */
    uint32_t fat_sectors;      /* of each FAT */
    uint32_t num_fats;
    uint32_t root_entries;   /* FAT12/16's fixed root directory; 0 on FAT32 */
    uint64_t data_start;     /* 512-byte sectors from the volume's start to cluster 2 */
    uint64_t volume_sectors; /* 512-byte sectors the volume counts (whole tracks) */
} writefat_layout;

/*
 * What writefat_format would lay out over `sectors` 512-byte sectors with
 * `opts`, without writing anything: for sizing an image before making it, or
 * for reporting what was made. Returns 0 with `*out` filled, or EINVAL for
 * what writefat_format refuses with EINVAL (null `opts` or `out` too). When
 * the only fault is that the type cannot hold the cluster count the size
 * gives (too small or too large for it), `*out` still describes the layout
 * tried, so its cluster_count says which; after any other EINVAL `*out` is
 * zeroed. Reads and allocates nothing.
 */
DORVEX_API int writefat_format_layout(uint64_t sectors, const writefat_format_options *opts,
                                      writefat_layout *out);

#ifdef __cplusplus
}
#endif

#endif /* DORVEX_WRITEFAT_H */
