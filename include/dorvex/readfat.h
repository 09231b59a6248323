/*
 * dorvex/readfat.h -- read-only FAT volume reader.
 *
 * Volumes read: FAT12, FAT16 and FAT32, with logical sectors of 512, 1024,
 * 2048 or 4096 bytes. The type follows the boot sector: a 16-bit FAT size
 * (offset 22) of 0 makes a FAT32 volume, whatever its cluster count; any
 * other makes FAT12 (fewer than 4085 clusters) or FAT16 (fewer than 65525).
 * readfat_partitions lists the partitions of a disk (MBR or GPT) and says
 * which of them hold a FAT volume.
 *
 * Mount a volume through your own sector reader, then open directories and
 * files by path, list directories, stat paths, seek in and read files:
 *
 *     int err;
 *     readfat_volume *vol = readfat_new(0, image_sectors, 512, &img, my_reader,
 *                                       readfat_optimal_flags(), 4, 4, &err);
 *     readfat_dir *d = readfat_opendir(vol, "/DOCS", &err);
 *     const dv_entry *e;
 *     while ((e = readfat_readdir(vol, d, &err)) != NULL) { ... }
 *     // err == DV_E_ENDDIR at the end of the directory
 *     readfat_closedir(vol, d);
 *     readfat_delete(vol);
 *
 * All lasting memory is taken at mount: the volume record and one arena that
 * holds every handle slot, every cluster buffer and the FAT cache. After the
 * mount only path lookups allocate (the parsed path, released before they
 * return); listing, reading, seeking and closing never allocate, but for the
 * orphan search of a volume mounted with DV_FLAG_DELETED (once, see
 * readfat_orphans) and readfat_owner. The number
 * of handles that can be open at once is fixed at mount.
 *
 * Paths are zero-terminated text in the volume's charset (DV_CHARSET_*),
 * split at the separators the flags choose, and matched exactly, unit by
 * unit, against long names (or 8.3 names as stored when an entry has no
 * long name): lookup is case-sensitive. Every lookup starts at the root.
 *
 * Failures: the result (null, -1, a short count) plus an `int *err` that is
 * written on failure only and may be null (readfat_stat returns its code).
 * The codes tell apart what went wrong:
 *   ENOENT        the path names nothing
 *   ENOTDIR       a component before the last names a file, not a directory
 *   EIO           the medium failed: the reader refused a directory, data or
 *                 FAT sector (also a chain that leaves the data area); the
 *                 next call on the handle tries again
 *   EILSEQ        a damaged long-name run that the entry decoder refuses
 *                 (see dv_readentry) ends the directory: what follows it
 *                 cannot be read
 *   DV_E_ENDDIR   a listing is complete
 *   EINVAL        misuse: a null volume, path or handle, or a handle that is
 *                 closed (detected also after its slot was reopened, see
 *                 DV_HANDLE_VIEWS) or not this volume's
 * The library never asks the reader for a sector outside the volume, checks
 * every cluster chain for cycles as it follows it, and never reads or
 * writes outside its buffers, whatever the medium holds.
 *
 * Buffers handed to the reader: the boot sector, FAT sectors and clusters go
 * into buffers that lie a multiple of 512 bytes into a block from your
 * allocator, so they are 512-byte aligned whenever your allocator's blocks
 * are. readfat_read reads whole clusters straight into your buffer (no copy)
 * only when that buffer is 512-byte aligned too; otherwise through the
 * handle's cluster buffer.
 *
 * One volume is used by one thread at a time; distinct volumes share nothing
 * and may be used from different threads at the same time.
 */
#ifndef DORVEX_READFAT_H
#define DORVEX_READFAT_H

#include <stddef.h>
#include <stdint.h>

#include "dorvex/dorvex.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * ---- On-disk boot sector and FSInfo sector (byte offsets, little-endian) ----
 *
 * The BIOS parameter block of a volume's first sector. The reader uses the
 * fields marked * (FAT12/16: also those marked +; FAT32: those marked #);
 * the rest are named for callers that show or write them. Offsets from 36 on
 * hold the FAT32 fields; FAT12/16 keep the drive number, boot signature, ID,
 * label and type at 36, 38, 39, 43 and 54 instead (DV_BPB16_*).
 */
#define DV_BPB_JUMP 0                 /*  3  jump instruction */
#define DV_BPB_OEM_NAME 3             /*  8  OEM name, space padded */
#define DV_BPB_BYTES_PER_SECTOR 11    /*  2 * bytes per logical sector: 512 .. 4096 */
#define DV_BPB_SECTORS_PER_CLUSTER 13 /*  1 * sectors per cluster */
#define DV_BPB_RESERVED_SECTORS 14    /*  2 * sectors before the first FAT */
#define DV_BPB_FAT_COUNT 16           /*  1 * number of FATs */
#define DV_BPB_ROOT_ENTRIES 17        /*  2 + fixed root directory entries (0 on FAT32) */
#define DV_BPB_TOTAL_SECTORS16 19     /*  2 + total sectors when below 65536, else 0 */
#define DV_BPB_MEDIA 21               /*  1  media descriptor */
#define DV_BPB_FAT_SIZE16 22          /*  2 * sectors per FAT on FAT12/16 (0 on FAT32) */
#define DV_BPB_SECTORS_PER_TRACK 24   /*  2  CHS geometry */
#define DV_BPB_HEADS 26               /*  2  CHS geometry */
#define DV_BPB_HIDDEN_SECTORS 28      /*  4  sectors before the volume */
#define DV_BPB_TOTAL_SECTORS32 32     /*  4 + total sectors (when the 16-bit count is 0) */
#define DV_BPB_FAT_SIZE32 36          /*  4 # sectors per FAT */
#define DV_BPB_EXT_FLAGS 40           /*  2  active FAT and mirroring */
#define DV_BPB_FS_VERSION 42          /*  2  file-system version */
#define DV_BPB_ROOT_CLUSTER 44        /*  4 # first cluster of the root directory */
#define DV_BPB_FSINFO_SECTOR 48       /*  2  FSInfo sector, relative to the volume */
#define DV_BPB_BACKUP_BOOT 50         /*  2  backup boot sector, relative to the volume */
#define DV_BPB_DRIVE_NUMBER 64        /*  1  BIOS drive number */
#define DV_BPB_BOOT_SIGNATURE 66      /*  1  0x29 when the next three fields are present */
#define DV_BPB_VOLUME_ID 67           /*  4  volume serial number */
#define DV_BPB_VOLUME_LABEL 71        /* 11  volume label, space padded */
#define DV_BPB_FS_TYPE 82             /*  8  "FAT32   " (informative only) */
#define DV_BPB_SIGNATURE 510          /*  2 * 0x55 0xAA */
#define DV_BPB_EXT_BOOT_SIG 0x29      /* value of DV_BPB_BOOT_SIGNATURE */
#define DV_BPB16_DRIVE_NUMBER 36      /*  1  FAT12/16: BIOS drive number */
#define DV_BPB16_BOOT_SIGNATURE 38    /*  1  FAT12/16: 0x29 when the next three are present */
#define DV_BPB16_VOLUME_ID 39         /*  4  FAT12/16: volume serial number */
#define DV_BPB16_VOLUME_LABEL 43      /* 11  FAT12/16: volume label, space padded */
#define DV_BPB16_FS_TYPE 54           /*  8  FAT12/16: "FAT12   " or "FAT16   " */

/* The FSInfo sector: free-cluster hints, never read by the library. */
#define DV_FSINFO_LEAD_SIG 0     /* 4  0x41615252 ("RRaA") */
#define DV_FSINFO_STRUCT_SIG 484 /* 4  0x61417272 ("rrAa") */
#define DV_FSINFO_FREE_COUNT 488 /* 4  free clusters, 0xFFFFFFFF if unknown */
#define DV_FSINFO_NEXT_FREE 492  /* 4  where to look for a free cluster */
#define DV_FSINFO_TRAIL_SIG 508  /* 4  0xAA550000 */
#define DV_FSINFO_LEAD_VALUE 0x41615252u
#define DV_FSINFO_STRUCT_VALUE 0x61417272u
#define DV_FSINFO_TRAIL_VALUE 0xAA550000u

/*
 * Reads `count` (1 .. sectors per cluster; with READFAT_FLAG_BATCH up to the
 * larger of that and 512) 512-byte sectors starting at the absolute sector
 * `sector` into `buf`. Returns the number of whole sectors read (1 .. count,
 * stored at the start of `buf`), or 0 / a negative value on failure. A result
 * above `count` counts as failure; a single-sector request (boot sector, FAT
 * sector) succeeds only with exactly 1. A short result is continued by a
 * request for the rest.
 *
 * Sectors are always 512 bytes here, whatever the volume's logical sector
 * size. On a volume with larger logical sectors (1024 .. 4096 bytes) every
 * request after the boot sector starts and ends on a logical-sector boundary
 * of the volume (counted from its first sector), so a reader for a device
 * with 4096-byte sectors never has to serve part of one; a FAT sector then
 * succeeds only when all of it is read, and a short result counts only its
 * whole logical sectors (less than one: failure). The boot sector itself is
 * asked for as one 512-byte sector at the volume's first sector, since its
 * size is not known before it is read.
 */
typedef int32_t (*readfat_sector_reader)(void *reader_data, void *buf, uint64_t sector,
                                         uint32_t count);

/*
 * Handles. Each slot (a cluster buffer or window in the arena) has
 * DV_HANDLE_VIEWS records, and every open of the slot hands out the next of
 * them in turn: a handle kept after its close is then a record that is not in
 * use, which every handle function refuses with EINVAL, even after the slot
 * has been opened again (until it has been reopened DV_HANDLE_VIEWS times).
 */
#define DV_HANDLE_VIEWS 4

/* A directory handle: one of its slot's records in the volume's arena. */
typedef struct readfat_dir {
    uint8_t in_use;        /* nonzero while the handle is open */
    uint32_t next_cluster; /* cluster to load when `remaining` runs out */
    dv_entry entry;        /* the record readfat_readdir fills and returns */
    uint8_t *buf_end;      /* end of this handle's window in the arena */
    uint32_t remaining;    /* raw entries not yet consumed, just before buf_end */
    /* extensions */
    uint32_t cycle_mark;     /* cycle detection (Brent): the saved cluster */
    uint32_t cycle_power;    /* cycle detection: current power of two */
    uint32_t cycle_steps;    /* cycle detection: clusters since the mark */
    int32_t end_code;        /* 0 while the listing goes on, then what it ended with */
    uint32_t cycle_first;    /* cycle detection: the cluster the walk started at */
    uint32_t loaded_cluster; /* the cluster last loaded into the window */
    uint32_t generation;     /* the slot's open count (in its first record only) */
    uint32_t root_pos;       /* FAT12/16 root: sectors of the root region loaded so far */
    uint8_t recovering;      /* a deleted directory, read by the recovery rules */
    uint8_t window_valid;    /* the last piece loaded is whole in the window */
    uint32_t window_end;     /* raw entries of the directory up to buf_end */
    uint8_t contiguous;      /* exFAT: the directory lies in one run of clusters (no FAT
                                chain; deleted directories too) */
    uint32_t run_left;       /* ... clusters of that run after next_cluster, not loaded yet */
    uint32_t run_clusters;   /* ... clusters of the whole run (for seeks) */
    uint8_t orphans;         /* the handle lists /$Orphans (see readfat_orphans) */
    uint8_t orphans_shown;   /* the root's listing has returned its $Orphans record */
    uint32_t orphan_next;    /* /$Orphans: index of the orphan cluster after the loaded one */
} readfat_dir;

/* A file handle: one of its slot's records in the volume's arena. */
typedef struct readfat_file {
    uint8_t in_use;         /* nonzero while the handle is open */
    uint8_t loaded;         /* nonzero while `buf` holds `cluster` */
    uint32_t position;      /* byte offset of the next read */
    uint32_t size;          /* file size from the directory entry */
    uint32_t first_cluster; /* first cluster of the chain */
    uint32_t cluster;       /* cluster holding byte `position` */
    uint8_t *buf;           /* this handle's one-cluster buffer */
    /* extensions */
    uint32_t cycle_mark;   /* cycle detection (Brent): the saved cluster */
    uint32_t cycle_power;  /* cycle detection: current power of two */
    uint32_t cycle_steps;  /* cycle detection: clusters since the mark */
    uint32_t prev_cluster; /* the cluster before `cluster`, to retry a failed FAT read */
    uint32_t generation;   /* the slot's open count (in its first record only) */
    uint8_t recovering;    /* a deleted file, read by the recovery rules */
    uint8_t damaged;       /* recovery met clusters in use by something else: the data
                              read may not be the file's */
    uint8_t stale;         /* the write path freed the file's chain (the file was removed
                              or replaced): reads and seeks fail with ESTALE */
    uint8_t contiguous;    /* exFAT: the data lies in one run of clusters, read without
                              the FAT (deleted files too, by the recovery rules) */
    uint64_t position64;   /* `position`, all 64 bits (`position` saturates at 0xFFFFFFFF) */
    uint64_t size64;       /* `size`, all 64 bits (likewise) */
    uint64_t valid64;      /* bytes that hold data; from here to size64 reads give zeros */
} readfat_file;

/* A mounted volume. Read its fields if you like; change them never. Sector
 * numbers and counts are in 512-byte units (the reader's), also on volumes
 * with larger logical sectors; bytes_per_sector gives the logical size. */
typedef struct readfat_volume {
    dv_ctx *ctx;                      /* the volume's own context */
    uint32_t max_files;               /* file slots */
    uint32_t max_dirs;                /* directory slots open to the caller */
    readfat_file *files;              /* DV_HANDLE_VIEWS x max_files records: slot i has
                                         files[i], files[max_files + i], ... */
    readfat_dir *dirs;                /* DV_HANDLE_VIEWS x (max_dirs + 1) records, likewise */
    readfat_dir *lookup_dir;          /* dirs[max_dirs]: used by path lookups */
    uint64_t fat_sectors;             /* 512-byte sectors per FAT */
    uint64_t fat_start;               /* absolute sector of the first FAT */
    uint64_t data_start;              /* absolute sector of cluster 2 */
    uint32_t sectors_per_cluster;     /* 512-byte sectors: 1 .. 255 logical ones */
    uint32_t reserved_sectors;        /* 512-byte sectors before the first FAT */
    uint32_t fat_count;               /* from the boot sector */
    uint32_t root_cluster;            /* FAT32: first cluster of the root; FAT12/16: 0 */
    uint32_t sector_size;             /* always 512: the reader's unit */
    uint32_t cluster_bytes;           /* sectors_per_cluster * 512 */
    uint32_t fat_entries_per_sector;  /* per logical sector; 0 on FAT12 (1.5 bytes each) */
    uint32_t dir_entries_per_cluster; /* cluster_bytes / 32 */
    uint32_t flags;                   /* flags given at mount */
    uint64_t fat_tag[8];              /* FAT cache: sector held by each slot, 0 = empty */
    uint8_t *fat_buf[8];              /* FAT cache: one logical sector each, in the arena */
    uint8_t *boot_buf;                /* 64-byte aligned buffer inside `storage` */
    void *reader_data;                /* passed to reader_fn */
    readfat_sector_reader reader_fn;  /* the sector reader */
    void *alloc_data;                 /* passed to alloc_fn and free_fn */
    dv_alloc_fn alloc_fn;
    dv_free_fn free_fn;
    void *arena;          /* the single block of handles and buffers */
    uint8_t storage[576]; /* room for the boot-sector buffer */
    /* extensions */
    uint64_t end_sector;    /* one past the volume's last sector */
    uint32_t cluster_count; /* clusters in the data area (2 .. cluster_count + 1) */
    uint32_t carry_entries; /* raw entries a directory window can carry over */
    /* Room for a 512-byte aligned boot-sector read (readers that transfer by DMA need
     * aligned buffers; `storage` holds only a 64-byte aligned one); copied to boot_buf. */
    uint8_t aligned_storage[1024];
    uint32_t fat_type;         /* 12, 16 or 32 */
    uint32_t bytes_per_sector; /* logical sector size: 512, 1024, 2048 or 4096 */
    uint32_t sector_shift;     /* bytes_per_sector = 512 << sector_shift */
    uint32_t root_entries;     /* FAT12/16: entries of the fixed root directory; else 0 */
    uint64_t root_start;       /* FAT12/16: first sector of the fixed root region */
    uint32_t root_sectors;     /* FAT12/16: sectors of the fixed root region; else 0 */
    uint32_t boot_backup;      /* 0, or the logical sector of the backup boot sector the
                                  volume was mounted from (its first sector is damaged;
                                  exFAT: 12, its backup boot region) */
    /* exFAT (fat_type DV_FAT_EXFAT) */
    uint64_t bitmap_start; /* absolute sector of the allocation bitmap (0: none usable) */
    uint64_t bitmap_bytes; /* its length in bytes (at least cluster_count / 8) */
    uint16_t *upcase;      /* the up-case table, 65536 units, in the arena */
    uint32_t exfat_notes;  /* DV_VOL_NOTE_* bits the mount found (up-case, bitmap) */
    void *orphans;         /* what the orphan search found (see readfat_orphans), made on
                              first use and kept until readfat_delete; null before */
} readfat_volume;

/* The fat_type of an exFAT volume (its FAT entries are 32 bits wide; some call
 * it FAT64), in readfat_volume, readfat_volinfo, readfat_partition and
 * readfat_table. */
#define DV_FAT_EXFAT 64

/* Returns 0x30F: both separators, skip leading separators, lenient, UTF-16
 * names, ASCII path text -- the flags the volume reader is meant for. */
DORVEX_API uint32_t readfat_optimal_flags(void);

/*
 * Volume flag, combined with the context flags given to readfat_new /
 * readfat_new2 (readfat_optimal_flags() does not include it).
 *
 * READFAT_FLAG_BATCH: readfat_read asks the reader for runs of clusters that
 * lie one after another on disk in one request, for devices where every
 * request is a round trip (an SD card behind SPI or USB). Such a run goes
 * straight into `dst` and is taken when `dst` is 512-byte aligned where the
 * run starts, the read position is at a cluster boundary, and the read wants
 * at least one whole cluster; it holds as many whole clusters as the read
 * wants, up to 256 KiB (or one cluster, when clusters are larger). A request
 * then asks for up to 512 sectors (more only for a single cluster larger
 * than that), always within the data area and on logical-sector boundaries;
 * a short result is continued by a request for the rest of the run. A failure
 * partway through a run returns the whole clusters that arrived before it
 * (with EIO); the next read starts with the first cluster missing. The walk
 * along a run reads the FAT ahead: a FAT sector not in the cache comes with
 * the sectors after it, up to the eighth cache slot, in one request (a short
 * result keeps the whole sectors that arrived). Partial clusters, unaligned
 * buffers, deleted files read by recovery and file seeks read exactly as
 * without the flag.
 *
 * Directory handles that you open (readfat_opendir, readfat_opendir_entry)
 * read ahead the same way: each load brings the run of the directory's next
 * clusters that lie one after another, up to 64 KiB (at least one cluster),
 * or up to as much of the FAT12/16 root region, in one request; each
 * directory slot's window in the arena grows to that size. A short result
 * keeps the whole clusters that arrived; a request refused as a whole is
 * tried again for the first half of the run, down to one cluster, so every
 * entry before an unreadable cluster is listed. Path lookups and deleted
 * directories read by recovery load one cluster at a time, as without the
 * flag.
 *
 * The bytes and entries returned, the codes and the directory positions are
 * the same with or without the flag; only the reader's requests differ (and
 * their order: the FAT links of a run are looked up before its data is read).
 */
#define READFAT_FLAG_BATCH 0x0080u

/*
 * Volume flag, like READFAT_FLAG_BATCH (readfat_optimal_flags() does not
 * include it).
 *
 * READFAT_FLAG_DOTS: path lookups (readfat_stat, readfat_opendir,
 * readfat_open) take "." and ".." by the path's text, before anything is
 * read, instead of matching the "." and ".." entries on disk: "." stays
 * where it is, ".." goes back to the directory the path came from, and at
 * the root stays at the root. So '/a/b/..' is '/a' (readfat_stat fills in
 * a's own entry, not b's ".." entry), '/..' and '/a/..' are the root
 * (readfat_opendir opens it; readfat_stat fails with ENOENT, as for '/'),
 * and '/a/../b' does not look at a at all. The write path (writefat.h)
 * resolves paths this way with or without the flag.
 */
#define READFAT_FLAG_DOTS 0x2000u

/*
 * Mounts the FAT12, FAT16 or FAT32 volume whose boot sector is `start_sector`.
 *   end_sector   one past the volume's last sector (>= 64)
 *   sector_size  must be 512
 *   reader_data, reader   your sector reader and its user word
 *   flags        context flags (see dorvex.h), e.g. readfat_optimal_flags()
 *   max_files, max_dirs   handle slots, 0 .. 4095 each
 *   err          receives the code on failure (may be null)
 * Returns the volume, or null with `*err`:
 *   EINVAL   bad sector_size, slot counts or end_sector; bad charset flags;
 *            a null `reader` (readfat_new2: also a null `alloc_fn` or
 *            `free_fn`)
 *   ENOMEM   an allocation failed
 *   EIO      the boot sector could not be read (also when start_sector is
 *            not below end_sector: the reader is not asked then)
 *   DV_E_BOOTSIG  no 0xAA55 signature (and no sound backup, see below)
 *   DV_E_BADPBR   a logical sector size other than 512, 1024, 2048 or
 *                 4096; zero sectors per cluster, FATs, FAT size or
 *                 reserved sectors; no whole cluster in the data area; FAT32:
 *                 root cluster outside the data area; FAT12/16: no root
 *                 entries, no total sector count, 65525 clusters or more,
 *                 or a root region that leaves no cluster before the end
 * When the first sector fails these checks (DV_E_BOOTSIG or DV_E_BADPBR),
 * FAT32's backup boot sector is tried: at the logical sector the damaged
 * sector names (offset 50) when that is 1 .. 31, else at logical sector 6;
 * as the logical size is not known yet, at that number of 512-, 1024-,
 * 2048- and 4096-byte sectors in turn, each asked for as one 512-byte
 * sector inside the volume. A copy that declares the size it was found
 * with, passes the checks as a FAT32 boot sector and lies inside its own
 * reserved sectors is mounted, with its geometry (boot_backup, and
 * readfat_info's DV_VOL_NOTE_BACKUP_BOOT, tell); writefat_open refuses such
 * a volume (DV_E_BACKUPBOOT). Otherwise the first sector's code is
 * returned.
 * The FAT12/16 type and cluster count follow from the boot sector's total
 * sector count; FAT32 volumes take their cluster count from end_sector.
 * Sectors past end_sector are never asked for: clusters beyond it count as
 * outside the data area. On FAT12/16 only the low 16 bits of an entry's
 * first cluster count (the high word belongs to FAT32).
 *
 * exFAT: a boot sector named "EXFAT   " is mounted as exFAT (fat_type
 * DV_FAT_EXFAT): its main boot region (sectors 0 .. 11, the last one the
 * checksum of the others) is checked, and when it fails, the backup region
 * at sector 12 (boot_backup is then 12). A first sector that FAT and exFAT
 * both refuse is mounted from an exFAT backup region too, when the first
 * 512 bytes of logical sector 12 (at each sector size) name exFAT and
 * declare that size. Logical sectors of 512 .. 4096
 * bytes, clusters up to 32 MiB (the arena then holds that much per slot).
 * The root directory's allocation bitmap and up-case table entries are read
 * at mount; the table (compressed form, checksum verified) is decoded into
 * the arena (128 KiB); a table that is missing, out of range, unreadable or
 * fails its checksum is replaced by the default one (mapping as exFAT's
 * recommended table does), and readfat_info notes it
 * (DV_VOL_NOTE_UPCASE_BAD). Names are matched case-insensitively through
 * the table, as exFAT defines; "." and ".." in paths are always taken by
 * their text (exFAT directories hold no such entries). Codes as above, and
 * DV_E_BADPBR for a boot region that fails its checks in both copies (a
 * sector shift outside 9 .. 12, a cluster over 32 MiB, FATs or the cluster
 * heap outside the volume, a root cluster outside the heap, a checksum that
 * does not match), EIO when the root's first cluster cannot be read.
 * After a failure nothing remains allocated. readfat_new uses malloc/free;
 * readfat_new2 uses your allocator. Release the volume with readfat_delete.
 */
DORVEX_API readfat_volume *readfat_new(uint64_t start_sector, uint64_t end_sector,
                                       uint32_t sector_size, void *reader_data,
                                       readfat_sector_reader reader, uint32_t flags,
                                       uint32_t max_files, uint32_t max_dirs, int *err);
DORVEX_API readfat_volume *readfat_new2(uint64_t start_sector, uint64_t end_sector,
                                        uint32_t sector_size, void *reader_data,
                                        readfat_sector_reader reader, uint32_t flags,
                                        uint32_t max_files, uint32_t max_dirs, int *err,
                                        void *alloc_data, dv_alloc_fn alloc_fn, dv_free_fn free_fn);

/* Releases the volume, its context and its arena. Every handle and every
 * record returned for it becomes invalid. A null `vol` does nothing. */
DORVEX_API void readfat_delete(readfat_volume *vol);

/*
 * Opens the directory at `path` (the empty path or separators only: the
 * root). Returns a handle positioned before the first entry, or null with:
 *   EINVAL  null `vol` or `path`
 *   ENFILE  no free directory slot
 *   ENOENT  a component was not found
 *   ENOTDIR a component before the last is a file
 *   EIO     a directory or FAT sector on the way could not be read
 *   EILSEQ  a damaged long-name run ended a directory before the component
 *   the code of dv_parsepath (EILSEQ, EINVAL, E2BIG, ENAMETOOLONG, ENOMEM)
 * A directory entry whose first cluster is 0 (".." below the root) opens
 * the root. The last component's attributes are not checked: a file there
 * opens as a directory of whatever its clusters hold. Close the handle with
 * readfat_closedir.
 */
DORVEX_API readfat_dir *readfat_opendir(readfat_volume *vol, const char *path, int *err);

/*
 * Returns the next entry of the directory (valid until the next call on the
 * handle; it belongs to the handle), or null with:
 *   DV_E_ENDDIR  the end of the directory (every later call says the same)
 *   EILSEQ       a long-name run the entry decoder refuses (without
 *                DV_FLAG_LENIENT every damaged run, such as that of every
 *                deleted file that had a long name; in either mode a
 *                sequence number of 0 or above 20) ends the listing here:
 *                the directory goes on but cannot be read past it. Every
 *                later call says the same.
 *   EIO          a directory cluster or the FAT sector that links it could
 *                not be read, or the chain leads outside the data area (the
 *                next call retries)
 *   EINVAL       null `vol`, or `dir` is null, closed or not this volume's
 * ".", "..", the volume label and deleted entries are returned too. Every
 * record read from a deleted directory (see readfat_open_entry) comes back
 * with `deleted` set, whatever its first byte says: it is gone with its
 * directory, and is read by the recovery rules in turn.
 *
 * exFAT: each record is an entry set (file, stream extension, name
 * entries) or the root's volume label (attr DV_ATTR_VOLUME, the label as its
 * name); the bitmap, up-case, unused and benign vendor entries are passed
 * over, and there is no "." or "..". Deleted sets (in-use bit clear) come
 * back only with DV_FLAG_DELETED, and only while they still check as sets.
 * An in-use set that fails its checks (a secondary count outside 2 .. 18,
 * a missing stream entry, a name longer than its name entries, an unknown
 * critical entry, a set checksum that does not match) gives EILSEQ once,
 * and the next call goes on after it: a set's length is known, unlike that
 * of a damaged long-name run. With DV_FLAG_LENIENT a set whose checksum
 * alone fails is returned as it reads. Lookups pass damaged sets over.
 */
DORVEX_API const dv_entry *readfat_readdir(readfat_volume *vol, readfat_dir *dir, int *err);

/* Frees the directory slot. A null, closed or foreign handle is ignored. */
DORVEX_API void readfat_closedir(readfat_volume *vol, readfat_dir *dir);

/*
 * Fills `*out` with the entry of `path`. Returns 0, or EINVAL (null `vol` or
 * `path`), ENOENT (not found, empty path, root, null `out`), ENOTDIR, EIO,
 * EILSEQ or the code of dv_parsepath, as readfat_opendir. On failure `*out` holds
 * nothing meaningful.
 */
DORVEX_API int readfat_stat(readfat_volume *vol, const char *path, dv_entry *out);

/*
 * As readfat_stat, but `path` is looked up from the directory `dir` (an
 * entry readfat_readdir, readfat_stat or this function filled; null: the
 * root) instead of from the root, by the same rules (case, deleted entries,
 * a deleted directory read by the recovery rules). Saves the walk down to
 * `dir` when you look up many names there. With READFAT_FLAG_DOTS, ".."
 * does not climb above `dir` (the walk knows no path above it). Returns the
 * codes of readfat_stat, and ENOTDIR when `dir` is not a directory.
 */
DORVEX_API int readfat_stat_at(readfat_volume *vol, const dv_entry *dir, const char *path,
                               dv_entry *out);

/*
 * Opens the file at `path` for reading at position 0. Returns a handle, or
 * null with EINVAL, ENFILE (no free file slot), ENOENT, ENOTDIR, EIO, EILSEQ
 * or the code of dv_parsepath, as readfat_opendir. Attributes are not checked: a
 * directory opens as a file of size 0. Close the handle with readfat_close.
 */
DORVEX_API readfat_file *readfat_open(readfat_volume *vol, const char *path, int *err);

/* Frees the file slot. A null, closed or foreign handle is ignored. */
DORVEX_API void readfat_close(readfat_volume *vol, readfat_file *file);

/* Returns the file's size in bytes; 0 for a null, closed or foreign handle.
 * A file of 4 GiB or more (exFAT) gives 0xFFFFFFFF and leaves EOVERFLOW in
 * the volume's context (dv_errno(vol->ctx)): use readfat_size64. */
DORVEX_API uint32_t readfat_size(readfat_volume *vol, const readfat_file *file);

/* Returns the position of the next read; 0 for a null, closed or foreign
 * handle. A position of 4 GiB or more gives 0xFFFFFFFF and leaves EOVERFLOW
 * in the volume's context: use readfat_tell64. */
DORVEX_API uint32_t readfat_tell(readfat_volume *vol, const readfat_file *file);

/* The same, all 64 bits (exFAT files may pass 4 GiB): the size, the read
 * position; 0 for a null, closed or foreign handle. readfat_seek64 moves the
 * read position to `pos` (0 .. size) with the results and codes of
 * readfat_seek. readfat_read reads on past 4 GiB. */
DORVEX_API uint64_t readfat_size64(readfat_volume *vol, const readfat_file *file);
DORVEX_API uint64_t readfat_tell64(readfat_volume *vol, const readfat_file *file);
DORVEX_API int readfat_seek64(readfat_volume *vol, readfat_file *file, uint64_t pos, int *err);

/*
 * Moves the read position to `pos` (0 .. size). Returns 0, or -1 with:
 *   EINVAL            pos > size (handle unchanged); or null `vol`, or
 *                     `file` null, closed or not this volume's
 *   DV_E_BROKENCHAIN  the chain ends or loops before the target (the
 *                     handle is back at position 0)
 *   EIO               a FAT sector on the way could not be read (handle
 *                     unchanged; the next call tries again)
 *   ESTALE            the write path removed or replaced the file since the
 *                     handle was opened (see writefat_reader); close it
 * A chain that ends exactly at a cluster boundary still lets you seek to
 * that boundary; a read from there then fails with DV_E_BROKENCHAIN.
 * Seeking reads only FAT sectors, never data.
 */
DORVEX_API int readfat_seek(readfat_volume *vol, readfat_file *file, uint32_t pos, int *err);

/*
 * Copies up to `len` bytes from the read position to `dst`. Returns the
 * number of bytes copied: `len`, or fewer at the end of the file (then 0
 * and no code), or fewer with:
 *   EIO               a cluster, or the FAT sector that links it, could not
 *                     be read (the next call retries)
 *   DV_E_BROKENCHAIN  the chain ends, loops or leaves the data area before
 *                     the recorded size
 *   EINVAL            null `vol`, `file` null, closed or not this volume's,
 *                     or a null `dst` with a nonzero `len`
 *   ESTALE            the write path removed or replaced the file since the
 *                     handle was opened (its clusters may hold another file
 *                     now): nothing is copied; close the handle
 * Whole clusters go straight into `dst` when it is 512-byte aligned (pass an
 * aligned buffer for the zero-copy path), so after a failure bytes of `dst`
 * beyond the returned count may have been written. With READFAT_FLAG_BATCH,
 * runs of contiguous clusters are read in one request (see there).
 */
DORVEX_API uint32_t readfat_read(readfat_volume *vol, readfat_file *file, void *dst, uint32_t len,
                                 int *err);

/*
 * Extensions: open a handle from an entry you already hold (for example one
 * readfat_readdir just returned) instead of from a path. This reaches names
 * that a path cannot express (characters above U+FFFF, a 255-unit directory
 * name inside a path) and spares a lookup from the root. They set the first
 * free slot up from the entry's first cluster (and size, for files) exactly
 * as readfat_open / readfat_opendir do after their lookup; a directory entry
 * with first cluster 0 means the root. They read nothing. Null `vol` or
 * `entry`: EINVAL; no free slot: ENFILE.
 *
 * Deleted records (entry->deleted, on a volume mounted with DV_FLAG_DELETED)
 * have no chain any more (but those of a lost folder, see "Lost folders"
 * below, read through the chain that still stands): their data is read by
 * recovery rules, those of The Sleuth Kit's `icat -r`. A file reads `size`
 * bytes from its first cluster on through the following clusters that the
 * FAT marks free,
 * skipping those in use by something else (and then setting the handle's
 * `damaged`). When the first cluster itself is in use again, `icat -r`
 * stops after it; here the read goes on by the same rules, with `damaged`
 * set, since the rest of the file may well be intact. A read that
 * reaches the end of the data area first returns short with DV_E_EOF.
 *
 * A deleted directory whose first cluster is in use again (its FAT entry is
 * not free) by a live chain lost its entries to whatever owns that cluster
 * now (one no live chain holds is a lost folder, listed along its chain): it
 * lists as empty (so a live directory on the same cluster is never listed
 * twice). So does one whose first cluster is 0 or outside the data area. Otherwise it
 * reads its first cluster if it looks like directory entries: judged slot by
 * slot up to an end mark, every 32-byte slot must be one some writer could
 * have left -- a long-name entry with type 0, cluster 0 and a sequence byte
 * of 1 .. 20 (or 0xE5); or an 8.3 entry with the reserved attribute bits and
 * the label bit clear, an 8.3 name without bytes below 0x20 (but a first
 * 0x05), a leading space, lower case or characters FAT forbids
 * ("*+,./:;<=>?[\]| and the double quote; "." and ".." only as the names of
 * directories), a first cluster of 0 or inside the data area, no size on a
 * directory and none larger than the data area on a file, and creation,
 * access and modification times that are 0 or real dates and times of day.
 * Its entries go on without an end mark into its next cluster: writers put a
 * directory's files right after the cluster that lists them, so that is the
 * next free cluster that looks like directory entries, holds any, and goes
 * on with a long name cut at the end of the cluster before. Clusters in use
 * (up to 65,536), file data and zeroed clusters (up to 4,096 clusters or 16
 * MiB read) are passed over to find it; another directory's first cluster
 * (a "." entry) or the end of those bounds ends the directory, and what a
 * long-name run carried then is dropped: file data never comes back as
 * entries. Positions (readfat_telldir) in a deleted directory count every
 * cluster from its first on, those passed over too.
 * Every record read from a deleted directory is marked deleted
 * (see readfat_readdir), so its files and subdirectories are read by these
 * rules too. Path lookups with DV_FLAG_DELETED name deleted entries too, a
 * live entry winning over a deleted one, and pass through deleted
 * directories by the same rules. A volume mounted without DV_FLAG_DELETED
 * reads no deleted record and so nothing by these rules.
 *
 * exFAT keeps a deleted set's first cluster, size and contiguity flag, but
 * not its chain: as The Sleuth Kit's `icat -r` does, a deleted file is read
 * as one run of clusters from its first one, for its size, the allocation
 * bitmap consulted for each cluster read (`damaged` is set when one is in use
 * now; the bytes are read all the same). A deleted directory is read the
 * same way, as empty when its first cluster is in use again.
 */
DORVEX_API readfat_file *readfat_open_entry(readfat_volume *vol, const dv_entry *entry, int *err);
DORVEX_API readfat_dir *readfat_opendir_entry(readfat_volume *vol, const dv_entry *entry, int *err);

/*
 * Extensions: the position of a directory handle, to close a handle and come
 * back to the same place later, or to read again an entry already listed.
 *
 * readfat_telldir returns the handle's position: the index of the raw
 * 32-byte entry that follows the last record readfat_readdir returned (0
 * before the first), so a position never falls inside a long-name run. It
 * reads nothing; a null, closed or foreign handle gives 0.
 *
 * readfat_seekdir moves the handle to `pos` so that the next readfat_readdir
 * reads from that raw entry on, with the same records and codes as a listing
 * that got there by reading (also on the FAT12/16 fixed root and on deleted
 * directories read by recovery). A position past the end of the directory
 * gives DV_E_ENDDIR at the next read; any other position than one
 * readfat_telldir returned starts reading at that entry all the same (an
 * orphan part of a long-name run is then passed over as damaged). Within
 * the cluster the handle holds, nothing is read; otherwise the chain is
 * followed through the FAT cache from the directory's first cluster and the
 * cluster holding `pos` is read. In a deleted directory read by recovery a
 * position names its cluster: one at a cluster's start goes on as a listing
 * does from the cluster before (reading nothing until the next
 * readfat_readdir), any other reads that cluster alone and reads as the end
 * when it does not look like directory entries. Returns 0, or -1 with:
 *   EINVAL  null `vol`, or `dir` null, closed or not this volume's
 *   EIO     a FAT sector or a cluster that had to be read could not be;
 *           the handle is then back at the start of the directory
 * The handle's open-time state (first cluster, recovery) is kept, so a
 * handle can be closed after readfat_telldir, opened again from the same
 * entry (readfat_opendir_entry) and moved back with readfat_seekdir.
 */
DORVEX_API uint32_t readfat_telldir(readfat_volume *vol, const readfat_dir *dir);
DORVEX_API int readfat_seekdir(readfat_volume *vol, readfat_dir *dir, uint32_t pos, int *err);

/*
 * Where the record readfat_readdir last returned lies on the volume: the
 * 8.3 entry that ends it (after its long-name entries, if any).
 *   sector   absolute 512-byte sector holding that entry
 *   slot     its 32-byte slot in the sector: 0 .. 15
 *   address  its number among the 32-byte slots of the data area, counted
 *            from the area's first sector (FAT12/16: the fixed root
 *            region; FAT32: cluster 2), plus 3. This is the inode number
 *            forensic tools (The Sleuth Kit's fls, istat, icat) give the
 *            entry; they number the root directory 2. The numbers after the
 *            last slot of the volume they give to $MBR, $FAT1, $FAT2 ...
 * Call it after readfat_readdir returned a record, before the next call on
 * the handle (a readfat_seekdir in between names the entry before the new
 * position). It reads nothing when the entry lies in the cluster the handle
 * holds; otherwise it follows the FAT from the directory's first cluster
 * (read through the FAT cache). Returns 0, or -1 with:
 *   EINVAL   null `vol`, `out`, or `dir` null, closed or not this volume's;
 *            nothing listed yet (position 0)
 *   EIO      a FAT sector on the way could not be read, or the chain ends
 *            before the entry's cluster
 *   ENOTSUP  an exFAT volume (its entries are sets, numbered differently)
 */
typedef struct readfat_where {
    uint64_t sector;   /* absolute 512-byte sector of the 8.3 entry */
    uint32_t slot;     /* 32-byte slot in that sector, 0 .. 15 */
    uint32_t reserved; /* zero */
    uint64_t address;  /* slot number from the data area's start, plus 3 */
} readfat_where;
DORVEX_API int readfat_entry_where(readfat_volume *vol, const readfat_dir *dir, readfat_where *out,
                                   int *err);

/*
 * ---- Orphaned directory clusters ----
 *
 * A deleted directory whose first cluster was taken by another file since,
 * or whose later clusters lie where its listing (see readfat_opendir_entry)
 * does not find them, leaves entries that no listing reaches. On a volume
 * mounted with DV_FLAG_DELETED they are offered under a virtual directory
 * at the root, as The Sleuth Kit offers its $OrphanFiles:
 *
 *   - readfat_readdir on the root, at the root's end, runs the search (see
 *     below) and, when it found orphan clusters, returns one more record:
 *     "$Orphans", a directory with `deleted` set and first cluster 1 (which
 *     no real entry has; a live entry of that name at the root hides it from
 *     path lookups). Seeking back to the root's end position returns it
 *     again. A search that fails (ENOMEM) adds no record; the listing ends
 *     as it would without.
 *   - readfat_opendir / readfat_stat of "/$Orphans" (found also when empty;
 *     a failed search fails them with its code), readfat_opendir_entry
 *     of that record) lists the entries of the orphan clusters, in cluster
 *     order, every one marked deleted. "." and ".." are left out. The
 *     clusters of a lost folder (its FAT chain still stands) follow its
 *     first in chain order, and a long name cut at a cluster's end goes on
 *     into the cluster the FAT links next; in free clusters only into the
 *     very next one; either only when its checksum says so.
 *
 * The search runs once per mount, at the first of these calls (or of
 * readfat_orphans and readfat_owner with DV_FLAG_DELETED),
 * and its result is kept until readfat_delete: a volume changed afterwards
 * through the write path keeps the clusters found before. It walks the whole
 * tree (live and deleted directories, as listings read them), marking the
 * clusters each listing shows and the chains of live files and directories,
 * then passes once over the data area: each cluster that is free, or in use
 * by no live chain, and no listing shows, has its first logical sector read;
 * only when that looks like directory entries (see readfat_opendir_entry:
 * every slot one some writer could have left, first clusters inside the data
 * area, sizes within it, real dates) is the whole cluster read and judged the
 * same way. A cluster holding at least one entry other than "." and ".." is
 * an orphan cluster. Orphan clusters that a directory listed in /$Orphans
 * reaches (a subdirectory whose entry survived) are listed there instead, not
 * again at the top. At most READFAT_ORPHAN_MAX entries are offered; the search
 * stops at the cluster that would pass it (readfat_orphan_info.truncated).
 *
 * Memory: three bitmaps of one bit per cluster, the orphan table (one word
 * per orphan cluster), a cluster buffer and the walk's table of directories
 * (a few words and the name of each), all from the volume's allocator; only
 * the orphan table and a copy of the live-chain bitmap stay after the
 * search. FAT12, FAT16 and FAT32; exFAT volumes have no $Orphans record
 * (readfat_orphans: EINVAL).
 *
 * Lost folders. A folder whose entry was wiped or deleted while its chain
 * and its files' chains stayed allocated (a cut remove, a careless writer)
 * still has those chains to read. A deleted record (DV_FLAG_DELETED) is read
 * through its FAT chain as a live one is, a file no further than its size,
 * when its first cluster starts an allocated chain (its FAT entry is an end
 * mark or a cluster of the data area) that no live file or directory holds,
 * and it is either a directory or a file whose own 8.3 entry is not marked
 * deleted (an entry of a lost folder). Every other deleted record, and a
 * file whose 8.3 entry starts with 0xE5 always, is read by the recovery
 * rules: files by first cluster and size, directories by content. Records
 * keep `deleted` set either way; readfat_extents_each and readfat_owner
 * follow the same rule. Telling the two apart needs the search's bitmap of
 * live chains: the first record that might be read by its chain runs the
 * search (and, should it fail, is read by the recovery rules). A lost
 * folder's clusters are also offered under /$Orphans when a deleted entry
 * still names it, as fatcat -o finds them.
 */
#define READFAT_ORPHAN_MAX 262144u

typedef struct readfat_orphan_info {
    uint32_t clusters;  /* orphan clusters listed in /$Orphans */
    uint32_t entries;   /* entries they hold ("." and ".." not counted) */
    uint32_t truncated; /* 1 when READFAT_ORPHAN_MAX cut the search short */
    uint32_t scanned;   /* clusters whose first sector the search read */
} readfat_orphan_info;

/*
 * Runs the orphan search (once per mount, see above) and fills `*out`.
 * Returns 0, or -1 with `*err` (when not null):
 *   EINVAL  null `vol` or `out`, an exFAT volume, or a volume mounted
 *           without DV_FLAG_DELETED
 *   ENOMEM  the allocator failed (a later call tries again)
 * A directory that cannot be read whole (a sector the reader fails, a chain
 * that leaves the data area, a damaged long-name run) is searched as far as
 * it reads; a cluster whose FAT entry or first sector cannot be read is
 * passed over. Neither fails the search.
 */
DORVEX_API int readfat_orphans(readfat_volume *vol, readfat_orphan_info *out, int *err);

/*
 * ---- Which file holds a cluster ----
 *
 * Called by readfat_owner for each owner found, with its path from the root
 * (UTF-8, "/" separated, zero-terminated; "/" for the root directory, whose
 * FAT32 chain holds the cluster) and its record; both are valid during the
 * call only. Return 0 to go on, anything else to stop the search there.
 */
typedef int (*readfat_owner_fn)(void *fn_data, const char *path, const dv_entry *entry);

/*
 * Finds the files and directories whose clusters hold `cluster` and reports
 * each to `fn`, walking the whole tree from the root (a directory met twice,
 * as through a damaged or deleted entry naming it again, is walked once):
 *   - a live file or directory whose chain holds it (a file's no further
 *     than its size, as readfat_extents_each reports it);
 *   - with DV_FLAG_DELETED in `flags` (the volume must be mounted with it)
 *     also deleted files whose recovered runs hold it (readfat_extents_each
 *     with the recovery rules), deleted directories whose listing read it,
 *     and "/$Orphans" for an orphan cluster, with the entries below it.
 * Paths name deleted records by their recovered names, so two owners may
 * share a path. A live cluster has one owner on a sound volume; cross-linked
 * chains give more. Reads what a full listing with those flags and
 * readfat_extents_each on every entry read; allocates the walk's table of
 * directories and a bitmap of one bit per cluster, released before it returns.
 * Returns the number of owners reported (0: none; the cluster is free or lost,
 * see readfat_fat_entry), or -1 with `*err` (when not null), after the owners
 * reported before the failure:
 *   EINVAL  null `vol` or `fn`; `cluster` outside 2 .. cluster_count + 1;
 *           DV_FLAG_DELETED in `flags` on a volume mounted without it; an
 *           exFAT volume
 *   ENOMEM  the allocator failed
 * As in readfat_orphans, what cannot be read is passed over: a directory
 * past the point where its listing fails, a chain past its first unreadable
 * or damaged link. A stop by `fn` counts the owner it was given and returns
 * at once.
 */
DORVEX_API int readfat_owner(readfat_volume *vol, uint32_t cluster, unsigned flags,
                             readfat_owner_fn fn, void *fn_data, int *err);

/*
 * Stores the first FAT's entry for `cluster` in `*value`: 0 for a free
 * cluster, the next cluster of a chain, a bad-cluster mark as stored (0xFF7,
 * 0xFFF7, 0x0FFFFFF7; FAT32 entries keep their low 28 bits) or, for every
 * end mark, 0x0FFFFFFF. Reads one FAT sector through the FAT
 * cache; allocates nothing. Returns 0, or -1 with `*err` (when not null):
 * EINVAL (null `vol` or `value`, `cluster` outside 2 .. cluster_count + 1,
 * an exFAT volume) or EIO (the reader failed the FAT sector).
 */
DORVEX_API int readfat_fat_entry(readfat_volume *vol, uint32_t cluster, uint32_t *value, int *err);

/*
 * ---- Partition tables ----
 *
 * readfat_partitions reads the partition table of a disk through your sector
 * reader: an MBR with its primary entries and the logical partitions of its
 * extended partition (a chain of extended boot records), a GPT behind a
 * protective MBR, or the El Torito boot catalog of an ISO 9660 image (CD,
 * DVD and install images, whose EFI boot image is a FAT volume). It writes
 * at most `room` records into your array and allocates nothing.
 */
#define DV_PT_NONE 0 /* no table: sector 0 is a FAT boot sector, or holds none */
#define DV_PT_MBR 1
#define DV_PT_GPT 2
#define DV_PT_ELTORITO 3 /* the boot images of an ISO 9660 image's El Torito catalog */

/* Notes on what was odd about the table (readfat_table.notes, bits). */
#define DV_PT_NOTE_GPT_PRIMARY_BAD 0x01u /* primary GPT header or entries damaged */
#define DV_PT_NOTE_GPT_BACKUP_USED 0x02u /* ... and the backup at the disk's end used */
#define DV_PT_NOTE_GPT_UNREADABLE 0x04u  /* protective MBR, but no sound GPT at all */
#define DV_PT_NOTE_EBR_BAD 0x08u         /* an extended boot record unreadable or unsigned */
#define DV_PT_NOTE_EBR_LOOP 0x10u        /* the EBR chain loops or leaves its partition */
#define DV_PT_NOTE_OUTSIDE 0x20u         /* an entry reaches past the disk: cut at its end */
#define DV_PT_NOTE_TRUNCATED 0x40u       /* more partitions than `room` (see count) */
#define DV_PT_NOTE_CATALOG_BAD 0x80u     /* El Torito catalog damaged, unreadable or cut short */

/*
 * One partition. Sectors are 512-byte units from the disk's start. An El
 * Torito boot image is a partition too: it starts at its load RBA (counted
 * in 2048-byte sectors, so start = 4 x RBA) and its size is the catalog's
 * sector count, a floppy's size under floppy emulation, or the first
 * partition of the image's own MBR under hard-disk emulation (which then
 * gives the start too); when the image holds a FAT boot sector that declares
 * more sectors (the catalog often says 1 or 4: what the firmware loads
 * first), the boot sector's total sector count.
 */
typedef struct readfat_partition {
    uint64_t start;        /* first sector */
    uint64_t sectors;      /* sector count (cut at the disk's end) */
    uint32_t number;       /* MBR: 1-4 primary, 5.. logical; GPT: entry index + 1;
                              El Torito: 1 the default entry, 2.. the section
                              entries in catalog order */
    uint8_t mbr_type;      /* MBR type byte (0 on GPT); El Torito: boot media type
                              (0 no emulation, 1-3 floppy of 1.2, 1.44, 2.88 MB,
                              4 hard disk) */
    uint8_t extended;      /* MBR: the container of the logical partitions */
    uint8_t fat_type;      /* 12, 16 or 32 when its first sector is a FAT boot
                              sector that readfat_new2 would mount, DV_FAT_EXFAT
                              for an exFAT boot sector whose fields pass their
                              checks, else 0 (also for a FAT32 volume mountable
                              only from its backup boot sector: see
                              readfat_identify) */
    uint8_t reserved;      /* 0 on MBR and GPT; El Torito: the platform ID (0x00
                              x86 BIOS, 0x01 PowerPC, 0x02 Mac, 0xEF EFI) */
    uint8_t type_guid[16]; /* GPT type GUID as stored on disk; zeros on MBR */
    uint16_t name[36];     /* GPT partition name, UTF-16 units, zero padded */
} readfat_partition;

/* What readfat_partitions found besides the records. */
typedef struct readfat_table {
    uint32_t scheme;      /* DV_PT_NONE, DV_PT_MBR, DV_PT_GPT or DV_PT_ELTORITO */
    uint32_t count;       /* partitions found; more than `room` when truncated */
    uint32_t notes;       /* DV_PT_NOTE_* bits */
    uint32_t disk_fat;    /* 12, 16, 32 or DV_FAT_EXFAT when sector 0 itself is
                             a boot sector (a disk without a table), else 0 */
    uint32_t sector_size; /* logical sector size the table counts in */
} readfat_table;

/*
 * Lists the partitions of a disk of `disk_sectors` 512-byte sectors (from
 * sector 0) through `reader` (called with `reader_data`, as for a volume;
 * requests never reach outside [0, disk_sectors) and ask for one logical
 * sector at a time, or one 2048-byte CD sector for El Torito). `sector_size`
 * is the disk's logical sector size, in which the table's addresses count:
 * 512, 1024, 2048 or 4096, or 0 to take 512 unless a GPT header is found
 * only at a larger size. Partitions are
 * written to `parts` (room for `room` records; may be null when `room` is 0)
 * in table order, extended containers included; `*table` receives the rest.
 *
 * MBR: the four primary entries, then the logical partitions, following at
 * most 255 extended boot records; a link that loops or leaves the extended
 * partition ends the chain (DV_PT_NOTE_EBR_LOOP). GPT: the header's CRC and
 * the entry array's CRC are checked; when either fails, or the primary
 * cannot be read, the backup header at the disk's last sector (and its own
 * entry array) is used. At most 16384 entries of 128 to 4096 bytes are read.
 * Entries with a zero type (MBR, GPT) or no sectors are left out; entries
 * that start past the disk's end are left out, and those that end past it
 * are cut (DV_PT_NOTE_OUTSIDE).
 *
 * El Torito is read when sector 0 holds neither a FAT boot sector nor a
 * partition table (no 0xAA55 signature, status bytes of boot code, or an
 * MBR that lists nothing), on disks whose logical sectors are at most 2048
 * bytes: an ISO 9660 primary volume descriptor at byte 0x8000 (CD sector
 * 16), a boot record among the next 31 descriptors (before the terminator)
 * naming the catalog, and a catalog whose validation entry holds (header 1,
 * key 0x55 0xAA, checksum). The default entry and
 * the entries of every section (their extension entries passed over) are
 * listed; entries with a load RBA of 0 are left out. At most 1024 catalog
 * entries are read. A catalog that cannot be read, fails its validation
 * entry, holds an entry of an unknown kind inside a section or runs past the
 * bound is noted (DV_PT_NOTE_CATALOG_BAD); the scheme stays DV_PT_NONE when
 * the validation entry fails.
 *
 * Returns 0, or:
 *   EINVAL  null `reader` or `table`, null `parts` with a nonzero `room`,
 *           `disk_sectors` 0 or a bad `sector_size`
 *   EIO     sector 0 could not be read (nothing else is reported then)
 * A sector of the table that cannot be read later ends what depended on it
 * and is noted; it is no failure.
 */
DORVEX_API int readfat_partitions(uint64_t disk_sectors, uint32_t sector_size, void *reader_data,
                                  readfat_sector_reader reader, readfat_partition *parts,
                                  uint32_t room, readfat_table *table);

/*
 * ---- Free clusters ----
 *
 * Counts the clusters whose entry in the first FAT is 0 (free), as fsck.fat,
 * mdir and minfo do, on FAT12, FAT16 and FAT32 alike: the FSInfo sector's
 * count is only a hint that may be stale, and FAT12/16 have none. The count
 * covers clusters 2 .. N + 1, where N is the smallest of the volume's
 * cluster_count, the clusters the boot sector's total sector count declares
 * and the entries the FAT has room for (less 2); on FAT32 the 28 low bits
 * of an entry count. Bad-cluster marks and reserved values are not free.
 * exFAT: the clear bits of the allocation bitmap for clusters 2 .. N + 1,
 * read eight logical sectors a request; EIO also when the volume has no
 * usable bitmap (readfat_info's DV_VOL_NOTE_BITMAP_BAD).
 *
 * Reads the first FAT from its start through the sector reader, never past
 * the logical sector that holds the last counted cluster's entry, in runs
 * of up to eight logical sectors (the FAT cache's eight buffers; without
 * READFAT_FLAG_BATCH no more than one cluster's worth a request), each on
 * logical-sector boundaries. A short result is continued by a request for
 * the rest. What the FAT cache held is dropped (later lookups read their FAT
 * sectors again). Allocates nothing.
 *
 * On success stores the count in `*count` and returns 0. Otherwise returns
 * -1 with `*err` (when `err` is not null), `*count` unchanged:
 *   EINVAL  null `vol` or `count`
 *   EIO     the reader failed a FAT sector (calling again reads it all anew)
 */
DORVEX_API int readfat_free_clusters(readfat_volume *vol, uint32_t *count, int *err);

/*
 * ---- The volume record ----
 *
 * What the boot sector, the FSInfo sector and the FAT's second entry say
 * about a mounted volume, for tools that show it (as minfo and fsck.fat do).
 * Sector numbers here count logical sectors (bytes_per_sector each) from
 * the volume's first sector, as the boot sector counts them.
 */

/* Notes on what was odd about the volume (readfat_volinfo.notes, bits). */
#define DV_VOL_NOTE_BACKUP_BOOT                                                                    \
    0x01u /* the first sector is damaged: mounted from the                                         \
             FAT32 backup boot sector (boot_sector) */
#define DV_VOL_NOTE_DIRTY                                                                          \
    0x02u /* FAT16/32: the FAT's second entry has its clean bit                                    \
             clear (not unmounted cleanly) */
#define DV_VOL_NOTE_HARD_ERROR                                                                     \
    0x04u /* FAT16/32: ... its no-error bit clear (a driver met                                    \
             a disk error) */
#define DV_VOL_NOTE_FAT_UNREADABLE                                                                 \
    0x08u /* FAT16/32: the FAT's first sector could not be read:                                   \
             the two bits above are unknown */
#define DV_VOL_NOTE_FSINFO_BAD                                                                     \
    0x10u /* FAT32: the FSInfo sector lies outside the reserved                                    \
             sectors, cannot be read or lacks its signatures */
#define DV_VOL_NOTE_NO_SERIAL                                                                      \
    0x20u /* no extended boot signature (0x29): no serial number,                                  \
             label or type in the boot sector */
#define DV_VOL_NOTE_UPCASE_BAD                                                                     \
    0x40u /* exFAT: the up-case table is missing, out of range,                                    \
             unreadable or fails its checksum: the default one is used */
#define DV_VOL_NOTE_BITMAP_BAD                                                                     \
    0x80u /* exFAT: the allocation bitmap is missing, out of range or                              \
             not in one run: free counts and recovery checks are unknown */

typedef struct readfat_volinfo {
    uint32_t fat_type;            /* 12, 16 or 32 */
    uint32_t bytes_per_sector;    /* logical sector size: 512, 1024, 2048 or 4096 */
    uint32_t sectors_per_cluster; /* logical sectors per cluster, 1 .. 255 */
    uint32_t cluster_bytes;       /* bytes per cluster */
    uint32_t reserved_sectors;    /* sectors before the first FAT (the boot sector's count) */
    uint32_t fat_count;           /* number of FATs */
    uint32_t fat_sectors;         /* sectors per FAT */
    uint32_t first_fat_sector;    /* where the first FAT starts (= reserved_sectors) */
    uint32_t root_entries;        /* FAT12/16: entries of the fixed root directory; else 0 */
    uint32_t root_cluster;        /* FAT32: first cluster of the root directory; else 0 */
    uint32_t first_data_sector;   /* where cluster 2 starts */
    uint32_t cluster_count;       /* clusters of the data area the file system declares: the
                                     clusters counted by readfat_free_clusters (2 .. N + 1) */
    uint64_t total_sectors;       /* the total sector count the boot sector declares (may
                                     pass the end_sector given at mount: a truncated image) */
    uint32_t media;               /* media descriptor byte */
    uint32_t hidden_sectors;      /* sectors before the volume, as the boot sector says */
    uint32_t volume_id;           /* serial number; 0 with DV_VOL_NOTE_NO_SERIAL */
    char oem_name[9];             /* the 8 OEM-name bytes as stored, then a zero */
    char label[12];               /* the boot sector's 11 label bytes as stored (space
                                     padded; the root's label entry may differ), then a
                                     zero; empty with DV_VOL_NOTE_NO_SERIAL */
    uint32_t fsinfo_sector;       /* FAT32: the FSInfo sector the boot sector names; else 0 */
    uint32_t fsinfo_free;         /* FAT32: FSInfo's free-cluster count as stored, a hint
                                     that may be stale; 0xFFFFFFFF when unknown, on
                                     FAT12/16 and with DV_VOL_NOTE_FSINFO_BAD */
    uint32_t fsinfo_next_free;    /* FAT32: FSInfo's next-free hint, likewise */
    uint32_t backup_boot_sector;  /* FAT32: the backup boot sector the boot sector names
                                     (with DV_VOL_NOTE_BACKUP_BOOT: the sector the volume
                                     was mounted from); else 0 */
    uint32_t notes;               /* DV_VOL_NOTE_* bits */
    /* exFAT (fat_type DV_FAT_EXFAT); zero on FAT. There total_sectors is the
       VolumeLength, volume_id the serial number, root_cluster the root's first
       cluster, fat_sectors one FAT's length, media 0, oem_name and label empty
       (the label is the root's label entry, see readfat_readdir);
       DV_VOL_NOTE_DIRTY and DV_VOL_NOTE_HARD_ERROR are the VolumeDirty and
       MediaFailure flags, DV_VOL_NOTE_BACKUP_BOOT the backup boot region. */
    uint32_t fs_revision;      /* 0x0100 for 1.00 */
    uint32_t volume_flags;     /* VolumeFlags as stored (bit 0: the second FAT is active) */
    uint32_t percent_in_use;   /* as the boot sector says: 0 .. 100, or 0xFF unknown */
    uint32_t bitmap_cluster;   /* the allocation bitmap's first cluster */
    uint64_t bitmap_bytes;     /* ... and its length in bytes */
    uint32_t upcase_cluster;   /* the up-case table's first cluster */
    uint32_t upcase_checksum;  /* ... its checksum as the root's entry says */
    uint64_t upcase_bytes;     /* ... and its length in bytes */
    uint64_t partition_offset; /* PartitionOffset as stored (0: not given) */
} readfat_volinfo;

/*
 * Fills `*out` with the volume record of `vol`. The boot-sector fields come
 * from the copy the mount kept (from the backup with
 * DV_VOL_NOTE_BACKUP_BOOT); the call reads two sectors through the reader:
 * on FAT16/32 the first logical sector of the first FAT (for its second
 * entry's bits), on FAT32 the FSInfo sector (when the primary one fails its
 * signatures on a volume mounted from the backup, its copy at the same
 * distance after the backup). Each is one logical sector inside the volume,
 * read into a FAT cache buffer (that buffer's cached FAT sector is dropped).
 * A sector that cannot be read is noted (DV_VOL_NOTE_FAT_UNREADABLE,
 * DV_VOL_NOTE_FSINFO_BAD), never a failure. Allocates nothing.
 * Returns 0, or EINVAL (null `vol` or `out`).
 */
DORVEX_API int readfat_info(readfat_volume *vol, readfat_volinfo *out);

/*
 * Names what the volume of sectors [start_sector, end_sector) holds, from
 * its first sectors, to say why it cannot be mounted. `*name` receives a
 * constant string:
 *   "FAT12", "FAT16", "FAT32"  readfat_new2 mounts it (a FAT32 volume also
 *                  when only its backup boot sector is sound)
 *   "exFAT"        by the name in the boot sector, or in the backup boot
 *                  region's first sector (logical sector 12) when the first
 *                  sector names nothing; readfat_new2 mounts it when the
 *                  main or the backup boot region passes its checks
 *   "NTFS", "ReFS", "BitLocker"  by the name in the boot sector
 *   "LUKS", "XFS", "squashfs", "APFS", "ext2", "ext3", "ext4", "F2FS",
 *   "HFS+", "HFSX", "HFS", "Linux swap", "ISO 9660", "UDF", "Btrfs"
 *                  by their superblock's or header's magic number
 *   "FAT"          a damaged FAT boot sector: a jump instruction (0xEB or
 *                  0xE9) and the 0xAA55 signature, but readfat_new2 refuses
 *                  it (and any backup)
 *   "blank"        its first MiB (or all of it, when smaller) is zeros
 *   ""             none of these
 * `*claimed` (may be null) receives the total sector count, in 512-byte
 * sectors, that a FAT boot sector at start_sector (a jump instruction, the
 * 0xAA55 signature and a sector size of 512 .. 4096) declares, however
 * damaged the rest of it, or an exFAT boot sector's VolumeLength: more than
 * the volume holds tells a truncated image. 0 when there is none.
 * Reads 512-byte sectors one at a time through `reader`, never outside
 * [start_sector, end_sector): the boot sector (and FAT32's backup), a few
 * sectors where other file systems keep their signatures, and up to 2048
 * sectors for "blank". Allocates nothing.
 * Returns 0, or EINVAL (null `reader` or `name`), or EIO (the first sector
 * could not be read, also when start_sector is not below end_sector; `*name`
 * is then "").
 */
DORVEX_API int readfat_identify(uint64_t start_sector, uint64_t end_sector, void *reader_data,
                                readfat_sector_reader reader, const char **name, uint64_t *claimed);

/*
 * ---- File extents ----
 *
 * Where a file lies on the medium: its runs of clusters that follow one
 * another on disk, in file order, as a forensic tool, a boot loader that
 * loads a file by sector, or a copier that lets the kernel move the bytes
 * (sendfile) needs them. Only FAT sectors are read, through the FAT cache,
 * never data; nothing is allocated.
 *
 * The chain is followed from the entry's first cluster with the bounds and
 * the cycle guard of readfat_read, and no further than the entry's size: the
 * last run is cut at it and clusters past it are not reported (nor their FAT
 * entries read). A chain that loops is caught within a few passes over its
 * cycle, as readfat_read catches it: the runs found before may repeat some of
 * its clusters, as the bytes that read returns do. A directory has no size:
 * its runs cover its whole chain, up to its end mark, each cluster counted
 * whole. A directory entry with first cluster 0 (a ".." below the root)
 * means the root: on FAT32 its chain, on FAT12/16 the fixed root region as
 * one run of no clusters. A file of size 0 has no runs.
 *
 * With DV_FLAG_DELETED, a deleted record (entry->deleted) has no chain any
 * more: its runs are those readfat_read reads by the recovery rules (see
 * readfat_open_entry): the first cluster, then each next cluster the FAT
 * marks free, those in use by something else passed over. Every such run is
 * marked READFAT_EXTENT_RECOVERED; one that starts after clusters passed
 * over, or the first when its cluster is in use again, also
 * READFAT_EXTENT_DAMAGED. A deleted directory reports its first cluster, when
 * the FAT still marks it free: the rest is found by content as it is listed
 * (see readfat_opendir_entry) and is not reported.
 */

/* readfat_extent.flags */
#define READFAT_EXTENT_RECOVERED 0x1u /* a deleted file's run, by the recovery rules */
#define READFAT_EXTENT_DAMAGED                                                                     \
    0x2u /* recovery passed over clusters in use (or found                                         \
            the first one in use): the bytes may not be the                                        \
            file's */

/* One run: `bytes` of the file from `offset` on lie in `sectors` 512-byte
 * sectors from `sector` on (whole clusters; the last run's sectors reach past
 * the file's end to its cluster's). A run of 2 GiB or more is reported in
 * pieces of less than 2 GiB each, so `bytes` and `sectors` always hold it;
 * `offset` saturates at 0xFFFFFFFF past 4 GiB (exFAT), `offset64` does not.
 * 40 bytes, no padding (32 before version 0.9, without offset64). */
typedef struct readfat_extent {
    uint64_t sector;   /* first sector, absolute: numbered as the sector reader
                          numbers them (vol->data_start for cluster 2) */
    uint32_t offset;   /* byte offset in the file of the run's first byte */
    uint32_t bytes;    /* bytes of the file in the run */
    uint32_t sectors;  /* 512-byte sectors the run's clusters span */
    uint32_t clusters; /* clusters of the run (0 for the FAT12/16 root region) */
    uint32_t cluster;  /* first cluster of the run (0 for the FAT12/16 root region) */
    uint32_t flags;    /* READFAT_EXTENT_* */
    uint64_t offset64; /* `offset`, all 64 bits */
} readfat_extent;

/* Called by readfat_extents_each with each run in file order, and
 * `fn_data`. Return 0 to go on, anything else to stop the walk there. It may
 * read the volume's files and directories (the walk keeps its own place). */
typedef int (*readfat_extent_fn)(void *fn_data, const readfat_extent *extent);

/*
 * Reports the runs of the file or directory `entry` (a record from
 * readfat_readdir or readfat_stat) to `fn`, in file order.
 *
 * Returns 0 when every run was reported, 1 when `fn` stopped the walk, or
 * -1 with `*err` (when `err` is not null) after the runs found before the
 * failure, which never reach past what readfat_read reads:
 *   EINVAL            null `vol`, `entry` or `fn`
 *   EIO               the reader failed a FAT sector (calling again retries)
 *   DV_E_BROKENCHAIN  the chain ends before the size, loops, or leads outside
 *                     the data area (a first cluster of 0 with a size, a
 *                     free or bad-cluster mark); a directory chain longer
 *                     than 4 GiB
 *   DV_E_EOF          a deleted file's recovery reached the end of the data
 *                     area before its size
 */
DORVEX_API int readfat_extents_each(readfat_volume *vol, const dv_entry *entry,
                                    readfat_extent_fn fn, void *fn_data, int *err);

/*
 * The same runs into your array: writes the first `room` of them to `out`
 * (which may be null when `room` is 0) and stores how many runs there are,
 * written or not, in `*count`, so a call with room 0 sizes the array.
 * Returns 0, or -1 with `*err` as readfat_extents_each (and EINVAL for a
 * null `count`, or a null `out` with a nonzero `room`); `*count` then counts
 * the runs found before the failure.
 */
DORVEX_API int readfat_extents(readfat_volume *vol, const dv_entry *entry, readfat_extent *out,
                               uint32_t room, uint32_t *count, int *err);

/*
 * Where cluster number `cluster` lies by the volume's layout: its first
 * sector (absolute, as in readfat_extent), also for numbers past the end of
 * the data area, where the chains of a volume cut short lead: a chain that
 * fails with DV_E_BROKENCHAIN at a cluster whose next one starts past the
 * medium's end met a truncated image, not damage. Returns 0 for 0, 1, and
 * the values from the FAT type's bad-cluster mark up (0xFF7, 0xFFF7,
 * 0x0FFFFFF7: bad-cluster and end marks), and for a null `vol`. Reads
 * nothing.
 */
DORVEX_API uint64_t readfat_cluster_sector(const readfat_volume *vol, uint32_t cluster);

#ifdef __cplusplus
}
#endif

#endif /* DORVEX_READFAT_H */
