/*
 * dorvex/dorvex.h -- context, error codes and the FAT directory-entry codec.
 *
 * Every codec call runs against a context (dv_ctx) that fixes, for its whole
 * life, the path separators, two parsing options, the charset of the
 * caller's text and whether internal names are UCS-2LE or UTF-16LE. It also
 * carries the caller's allocator and a last-error field.
 *
 * Conventions shared by every function of the library:
 *  - Failures are reported by the result (null, -1, a nonzero code or a
 *    short count) plus an error code; nothing is printed or logged.
 *  - Constructors take an optional `int *err` that is written on failure
 *    only. Context-level operations store their code in the context's `err`
 *    field instead, which only failures change and dv_errno() reads.
 *  - Codes are the C library's errno constants (ENOENT, EIO, E2BIG, ENOMEM,
 *    EINVAL, ENFILE, ENAMETOOLONG, EILSEQ, ESTALE...) or one of the six
 *    DV_E_* codes below. dv_strerror() turns either kind into a message.
 *  - Every block of memory comes from the caller's dv_alloc_fn and goes back
 *    through the matching dv_free_fn (dv_newctx uses malloc/free).
 *  - Threads: distinct contexts and volumes may be used from different
 *    threads at the same time; one context or volume is used by one thread
 *    at a time (its error field and scratch name are unlocked). Nothing in
 *    the library touches process-wide state: no locale switch, no globals.
 */
#ifndef DORVEX_DORVEX_H
#define DORVEX_DORVEX_H

#include <stddef.h>
#include <stdint.h>

#include "dorvex/export.h"
#include "dorvex/iconv.h"
#include "dorvex/version.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Flags ------------------------------------------------------------- */

#define DV_FLAG_SLASH 0x0001u            /* '/' separates path components */
#define DV_FLAG_BACKSLASH 0x0002u        /* '\' separates path components */
#define DV_FLAG_SKIP_LEADING_SEP 0x0004u /* dv_parsename skips leading separators */
#define DV_FLAG_LENIENT 0x0008u          /* dv_readentry skips damaged long-name runs */
/* 8.3 names without a long name take the entry's lower-case flags (byte 12) in
 * dv_readentry, listings and lookups: README.TXT stored with both flags reads
 * as readme.txt, as Windows, mtools and Linux show it. */
#define DV_FLAG_NTCASE 0x0010u
/* Path lookups compare names case-insensitively (simple Unicode case folding
 * over the BMP) and also match an entry's 8.3 name (PROGRA~1); an exact match
 * in the same directory wins over a folded one. */
#define DV_FLAG_NOCASE 0x0020u
/* Deleted entries come back as records marked `deleted` (see dv_entry). */
#define DV_FLAG_DELETED 0x0040u
#define DV_FLAG_UTF16 0x0100u /* internal names are UTF-16LE, not UCS-2LE */
/* The charset of the caller's text: a field compared as a whole. */
#define DV_CHARSET_MASK 0x1E00u
#define DV_CHARSET_ASCII 0x0200u  /* US-ASCII */
#define DV_CHARSET_LOCALE 0x0400u /* multibyte text of the calling thread's locale (mbrtowc) */
#define DV_CHARSET_UTF8 0x0600u   /* UTF-8 */

/* ---- Error codes (besides the C library's errno constants) ------------- */

#define DV_E_BOOTSIG (-8998)     /* "Invalid boot sector signature" */
#define DV_E_EOF (-8997)         /* "Reached end of file" (see below) */
#define DV_E_ENDDIR (-8996)      /* "Reached end of directory" */
#define DV_E_BROKENCHAIN (-8995) /* "Chain is broken in FAT table" */
#define DV_E_BADPBR (-8994)      /* "Bad PBR content or not a valid PBR" */
#define DV_E_BACKUPBOOT (-8993)  /* "Boot sector damaged: mounted from its backup, ..." */
#define DV_E_EXFATWRITE                                                                            \
    (-8992) /* "exFAT volumes are read-only: writing them is not supported yet" */
/*
 * DV_E_EOF: a read of a deleted file by the recovery rules (readfat_read on a
 * handle from readfat_open_entry) reached the end of the data area before
 * the file's size.
 * DV_E_EXFATWRITE: writefat_open refuses an exFAT volume (readfat_new2
 * mounts it for reading).
 * DV_E_BACKUPBOOT: writefat_open refuses a volume that readfat_new2 mounts
 * only from FAT32's backup boot sector (its first sector is damaged).
 */

/* ---- Sizes ------------------------------------------------------------- */

#define DV_NAME_MAX 255   /* code units in a name */
#define DV_DIRENT_SIZE 32 /* bytes in one raw directory entry */

/* ---- Types ------------------------------------------------------------- */

/*
 * The caller's allocator. dv_alloc_fn returns at least `size` bytes or
 * null; dv_free_fn takes back a pointer that dv_alloc_fn returned. Both get
 * the `alloc_data` word given at creation as their first argument.
 */
typedef void *(*dv_alloc_fn)(void *alloc_data, size_t size);
typedef void (*dv_free_fn)(void *alloc_data, void *ptr);

typedef struct dv_ctx dv_ctx;

/*
 * Decodes one character of caller text at `p` (before `end`) into one
 * 16-bit unit. Returns the position after it, or null with a code in
 * `*err`. Internal: reached only through dv_ctx.decode.
 */
typedef const char *(*dv_char_decoder)(dv_ctx *ctx, const char *p, const char *end, uint16_t *unit,
                                       int *err);

/*
 * A counted name of 16-bit units: `len` (0..255) units, then a zero unit at
 * units[len]. Units after the terminator are undefined.
 */
typedef struct dv_name {
    uint16_t len;
    uint16_t units[DV_NAME_MAX + 2];
} dv_name;

/*
 * One component of a parsed path. A node is allocated with room only for
 * `next`, `name.len`, the name's units and its terminator: read it only up
 * to the terminator, never copy it as a whole dv_pathnode.
 */
typedef struct dv_pathnode {
    struct dv_pathnode *next;
    dv_name name;
} dv_pathnode;

/* The context. Read it if you like; change it never. */
struct dv_ctx {
    dorvex_iconv_t cd;        /* converter from the caller's charset to the internal form */
    dv_char_decoder decode;   /* one character of caller text to one unit */
    int32_t err;              /* code of the last failed operation; 0 after creation */
    uint8_t skip_leading_sep; /* DV_FLAG_SKIP_LEADING_SEP */
    uint8_t lenient;          /* DV_FLAG_LENIENT */
    uint16_t seps[4];         /* separator units, zero-terminated */
    dv_name scratch;          /* working name of dv_parsepath */
    void *alloc_data;         /* passed to alloc and free */
    dv_alloc_fn alloc;
    dv_free_fn free;
    uint32_t flags; /* the creation flags, as given */
};

/* Seconds since 1970-01-01 00:00:00 UTC, and nanoseconds 0..999999999. */
typedef struct dv_timestamp {
    int32_t sec;
    int32_t nsec;
} dv_timestamp;

/* A 64-bit time of a record (or of dv_decodets64) that has no valid date:
 * a zero date, or a month, day, hour, minute or second out of range. */
#define DV_TIME_NONE INT64_MIN

/* Lower-case flags of a short entry's byte 12 (dv_entry.lcase). */
#define DV_LCASE_BASE 0x08u /* the base name is lower case */
#define DV_LCASE_EXT 0x10u  /* the extension is lower case */

/*
 * Move marks of byte 12 (dv_entry.lcase), which writefat_rename sets while a
 * move is under way and clears when it is done: an entry left with one
 * names a chain that another entry may name too (see writefat_reclaim).
 * fsck.fat, mtools and The Sleuth Kit ignore both bits; Windows uses 0x01
 * and 0x02 (EFS), Linux 0x20 (fsck.fat renames a short name alone with it).
 */
#define DV_NTRES_MOVE_FROM 0x04u /* the old name of a move: it goes */
#define DV_NTRES_MOVE_TO 0x40u   /* the new name of a move: it stays */

/*
 * One decoded directory entry with its long name. Plain data: copy it
 * byte for byte.
 *   name       long name (or the 8.3 name with a dot when there is none)
 *   cluster    first cluster: high word (offset 20) << 16 | low word (26)
 *   size       size in bytes
 *   attr       attribute byte (only its low 8 bits are ever written)
 *   shortname  the 11 raw 8.3 bytes as stored (space padded, no dot), NUL
 *   ctime      creation time, to 10 ms
 *   atime      last access date, at 00:00 UTC
 *   mtime      modification time, to 2 s
 *   lcase      byte 12 of the short entry as stored: DV_LCASE_BASE,
 *              DV_LCASE_EXT, and the move marks DV_NTRES_MOVE_FROM/_TO
 *   deleted    1 when the entry is deleted (`shortname` then starts with
 *              0xE5, the byte FAT stores over a deleted entry's first one;
 *              readfat_readdir also marks every entry of a deleted directory)
 *   ctime64, atime64, mtime64
 *              the same times in 64-bit seconds over FAT's whole range
 *              (1980 to 2107; the 32-bit `sec` fields are -1 after 2038),
 *              or DV_TIME_NONE for a zero or impossible date
 *   size64     the size, all 64 bits: exFAT files may pass 4 GiB, and `size`
 *              then holds 0xFFFFFFFF (never a wrapped value)
 *   valid64    the bytes that hold data: from here to size64 a file reads as
 *              zeros (exFAT's valid data length); size64 on FAT
 *   stream_flags  exFAT: the stream extension's flags (DV_STREAM_CONTIGUOUS:
 *              the data lies in one run of clusters and the FAT is not
 *              read); 0 on FAT
 *   utc_offset exFAT: the UTC-offset bytes of ctime, mtime and atime as
 *              stored (bit 7 set: valid, bits 0-6 a signed count of 15
 *              minutes). With bit 7 set that time is true UTC; 0 (always on
 *              FAT): the wall clock where it was written, read as if UTC
 * On exFAT, ctime and mtime keep 10 ms and atime 2 s; `shortname` is empty
 * and `lcase` 0 (exFAT has no 8.3 names), `attr` holds the 16-bit
 * attributes (the low byte as on FAT), and a directory has no "." or "..".
 * The 32-bit times carry out-of-range fields over as dv_decodets does.
 * sizeof(dv_entry) is 616 bytes (DV_ENTRY_BYTES) on every platform: no padding, since
 * every field lies at a multiple of its own alignment. Before version 0.9 the record
 * ended after `mtime64`, at 592 bytes; before 0.4 after `mtime`, at 564 bytes.
 */
#define DV_ENTRY_BYTES 616
#define DV_STREAM_CONTIGUOUS 0x02u
typedef struct dv_entry {
    dv_name name;
    uint32_t cluster;
    uint32_t size;
    uint32_t attr;
    char shortname[12];
    dv_timestamp ctime;
    dv_timestamp atime;
    dv_timestamp mtime;
    uint8_t lcase;
    uint8_t deleted;
    uint8_t reserved[2]; /* zero */
    int64_t ctime64;
    int64_t atime64;
    int64_t mtime64;
    uint64_t size64;
    uint64_t valid64;
    uint8_t stream_flags;
    uint8_t utc_offset[3]; /* ctime, mtime, atime */
    uint32_t reserved2;    /* zero */
} dv_entry;

/*
 * ---- On-disk directory entries (32 bytes, all fields little-endian) ------
 *
 * Short (8.3) entry:
 *   0  8  base name, space padded; first byte 0 = end of directory
 *   8  3  extension, space padded (no dot stored)
 *  11  1  attribute; (attr & 0x0F) == 0x0F marks a long-name entry instead
 *  12  1  reserved (read: ignored; written: 0)
 *  13  1  creation time, 10-ms units 0..199
 *  14  2  creation time word     16  2  creation date word
 *  18  2  last access date word  20  2  first cluster, high word
 *  22  2  modification time     24  2  modification date
 *  26  2  first cluster, low word 28  4  size in bytes
 *
 * Long-name entry (a run of them stands before its short entry, highest
 * sequence number first):
 *   0  1  sequence byte: bits 0-4 the number s (1 = first 13 units);
 *         0x40 marks the entry with the name's last piece (first on disk)
 *   1 10  units 1-5 (UTF-16LE)      11  1  attribute 0x0F
 *  12  1  type 0                    13  1  checksum of the short name
 *  14 12  units 6-11                26  2  first cluster 0
 *  28  4  units 12-13
 * Entry s holds name units (s-1)*13 .. (s-1)*13+12; after the name's last
 * unit comes a zero unit, then 0xFFFF fill.
 *
 * Checksum: sum = 0; for each of the 11 short-name bytes (offsets 0..10):
 * sum = ((sum & 1) << 7) + (sum >> 1) + byte, modulo 256.
 *
 * FAT date word: bits 0-4 day, 5-8 month, 9-15 year - 1980.
 * FAT time word: bits 0-4 seconds / 2, 5-10 minute, 11-15 hour.
 */
#define DV_DIRENT_NAME 0
#define DV_DIRENT_EXT 8
#define DV_DIRENT_ATTR 11
#define DV_DIRENT_RESERVED 12
#define DV_DIRENT_CTIME_MS 13
#define DV_DIRENT_CTIME 14
#define DV_DIRENT_CDATE 16
#define DV_DIRENT_ADATE 18
#define DV_DIRENT_CLUSTER_HI 20
#define DV_DIRENT_MTIME 22
#define DV_DIRENT_MDATE 24
#define DV_DIRENT_CLUSTER_LO 26
#define DV_DIRENT_SIZE_FIELD 28
#define DV_LFN_SEQ 0
#define DV_LFN_ATTR 11
#define DV_LFN_TYPE 12
#define DV_LFN_CHECKSUM 13
#define DV_LFN_CLUSTER 26
#define DV_LFN_LAST 0x40 /* sequence-byte flag of a run's first entry */
#define DV_ATTR_READONLY 0x01
#define DV_ATTR_HIDDEN 0x02
#define DV_ATTR_SYSTEM 0x04
#define DV_ATTR_VOLUME 0x08
#define DV_ATTR_DIRECTORY 0x10
#define DV_ATTR_ARCHIVE 0x20
#define DV_ATTR_LFN 0x0F

/* ---- Context and errors ------------------------------------------------ */

/* Returns the version text DV_VERSION_STRING, "MAJOR.MINOR.PATCH" (constant; do not
 * free). DV_VERSION_MAJOR, _MINOR and _PATCH in dorvex/version.h give it as numbers. */
DORVEX_API const char *dv_version(void);

/*
 * Creates a context. `flags` is a combination of DV_FLAG_* and exactly one
 * DV_CHARSET_* value; other bits are ignored. `alloc`/`free` are both
 * required and get `alloc_data` first. Returns the context, or null with
 * `*err` (if `err` is not null) set to:
 *   ENOMEM  the record could not be allocated (free is not called)
 *   EINVAL  the charset field is not one of the three DV_CHARSET_* values;
 *           a null `alloc` or `free` (neither is called)
 * `*err` is untouched on success. Release the context with dv_deletectx.
 */
DORVEX_API dv_ctx *dv_newctx2(uint32_t flags, int *err, void *alloc_data, dv_alloc_fn alloc,
                              dv_free_fn free);

/* dv_newctx2 with malloc and free (and a null alloc_data). */
DORVEX_API dv_ctx *dv_newctx(uint32_t flags, int *err);

/* Wipes and releases a context made by dv_newctx or dv_newctx2. A null
 * `ctx` does nothing. */
DORVEX_API void dv_deletectx(dv_ctx *ctx);

/* Returns the code of the context's last failed operation (0 if none). */
DORVEX_API int dv_errno(const dv_ctx *ctx);

/*
 * Returns a constant message for any code, safe to call from any thread (no
 * buffer is shared): the library's own text for DV_E_BOOTSIG ..
 * DV_E_BACKUPBOOT; for 0 and the errno codes the library, its readers and
 * writers produce (EPERM, ENOENT, EINTR, EIO, ENXIO, E2BIG, EBADF, EAGAIN,
 * ENOMEM, EACCES, EFAULT, EBUSY, EEXIST, EXDEV, ENODEV, ENOTDIR, EISDIR,
 * EINVAL, ENFILE, EMFILE, ENOTTY, EFBIG, ENOSPC, ESPIPE, EROFS, EMLINK,
 * EPIPE, ERANGE, ENAMETOOLONG, ENOSYS, ENOTEMPTY, ELOOP, EOVERFLOW, EILSEQ,
 * ENOTSUP, ESTALE, ECANCELED, ETIMEDOUT) the GNU C library's text; "Unknown
 * error" for any other.
 */
DORVEX_API const char *dv_strerror(int code);

/* Returns the message of a DV_E_* code, or "Unknown error" for any other. */
DORVEX_API const char *dorvex_strerror_internal(int code);

/* ---- Names and paths --------------------------------------------------- */

/*
 * Decodes one name from the zero-terminated `text` into `*out`, stopping
 * after the first separator that follows it (leading separators are skipped
 * when the context has DV_FLAG_SKIP_LEADING_SEP). Returns the position where
 * scanning stopped (after that separator, or at the terminating zero byte;
 * `text` itself for an empty text), or null on failure with the context's
 * err set to the decoder's code (EILSEQ, EINVAL, E2BIG) or ENAMETOOLONG (a
 * name of 255 units followed by more text, or of more than 255 units).
 * Never allocates.
 */
DORVEX_API const char *dv_parsename(dv_ctx *ctx, dv_name *out, const char *text);

/*
 * Splits the zero-terminated `path` into a newly allocated list of
 * components (one allocation per component, through the context's
 * allocator). Repeated, leading and trailing separators make no component,
 * except that a path ending in a separator with nothing before it in its
 * component ends with an empty component ("/" gives one empty component).
 * Returns the first node, or null: for an empty path (err unchanged), or on
 * failure with the context's err set to the decoder's code, ENAMETOOLONG or
 * ENOMEM; a partial list is released. The caller owns the list and frees it
 * with dv_freepath on the same context.
 */
DORVEX_API dv_pathnode *dv_parsepath(dv_ctx *ctx, const char *path);

/* Releases every node of `list` (null allowed). Returns null. */
DORVEX_API dv_pathnode *dv_freepath(dv_ctx *ctx, dv_pathnode *list);

/*
 * Returns 1 if every byte of `text` is one of the context's separators
 * (so also for the empty text), else 0. Bytes are not decoded.
 */
DORVEX_API int dv_isroot(const dv_ctx *ctx, const char *text);

/*
 * Compares two names, length first: -1 if `a` has fewer units, 1 if more;
 * for equal lengths -2 or 2 at the first differing unit (unsigned), 0 if
 * equal. No case folding.
 */
DORVEX_API int dv_namecmp(const dv_name *a, const dv_name *b);

/* Copies `src` (len <= 255) into `dst` with its terminator. Returns 0. */
DORVEX_API int dv_namecpy(dv_name *dst, const dv_name *src);

/*
 * Case. Lookups with DV_FLAG_NOCASE and the write path (see writefat.h)
 * match names by these two, so that a caller (a pattern matcher, a sorted
 * listing) can hold names to the same rule.
 *
 * dv_foldcase returns the simple case folding of the code point `cp`: upper-
 * and title-case letters to lower case, and the few letters whose folding
 * differs, one code point for one (U+212A KELVIN SIGN to k, U+1E9E CAPITAL
 * SHARP S to U+00DF, final sigma U+03C2 to U+03C3; U+0130 stays, having no
 * one-letter folding). Code points above U+FFFF, surrogates and everything
 * else come back unchanged: names are 16-bit units and every unit folds on
 * its own, so a character outside the BMP matches only itself. Pure; never
 * fails.
 */
DORVEX_API uint32_t dv_foldcase(uint32_t cp);

/*
 * Compares two names as case-insensitive lookups match them: as dv_namecmp
 * does (length first, then -2 or 2 at the first differing unit, 0 if equal),
 * on the units folded by dv_foldcase. An 8.3 alias is not consulted: compare
 * it yourself when you want lookups' match by 8.3 name.
 */
DORVEX_API int dv_namecasecmp(const dv_name *a, const dv_name *b);

/* ---- Timestamps -------------------------------------------------------- */

/*
 * Encodes `ts` (read as UTC) into a FAT date word (required), time word and
 * 10-ms byte (each may be null). Years before 1980 are stored as 1980 with
 * month and day kept. Returns 0, or -1 when `ts->sec` is negative; then
 * nothing is stored. (1 would mean a year of 2100 or later, which a signed
 * 32-bit count of seconds never reaches.) Sets no error code.
 */
DORVEX_API int dv_encodets(const dv_timestamp *ts, uint16_t *date, uint16_t *time_word,
                           uint8_t *tenms);

/*
 * Decodes FAT date, time and 10-ms fields (read as UTC) into `*ts`.
 * Out-of-range fields carry over (month 0 is December of the year before,
 * day 0 the last day of the month before, hour 24 the next day). A date the
 * signed 32-bit count cannot hold gives sec -1. nsec is
 * (tenms % 100) * 10000000; a tenms of 100 or more adds one second.
 */
DORVEX_API void dv_decodets(dv_timestamp *ts, uint16_t date, uint16_t time_word, uint8_t tenms);

/*
 * Decodes FAT date, time and 10-ms fields (read as UTC) into 64-bit seconds
 * since 1970, over FAT's whole range (1980-01-01 to 2107-12-31 23:59:59).
 * Returns DV_TIME_NONE when a field is out of range instead of carrying it
 * over: month 0 or above 12, day 0 or past the month's end, hour above 23,
 * minute above 59, seconds field above 29, tenms above 199. Pure function.
 */
DORVEX_API int64_t dv_decodets64(uint16_t date, uint16_t time_word, uint8_t tenms);

/*
 * Encodes `sec` (64-bit seconds since 1970, read as UTC) and `nsec` into a
 * FAT date word (required), time word and 10-ms byte (each may be null).
 * Returns 0; 1 for a time after 2107-12-31 23:59:59 and -1 for one before
 * 1980-01-01, storing nothing in either case. Sets no error code.
 */
DORVEX_API int dv_encodets64(int64_t sec, int32_t nsec, uint16_t *date, uint16_t *time_word,
                             uint8_t *tenms);

/* ---- Name text --------------------------------------------------------- */

/*
 * Writes `name` (UTF-16 units; a UCS-2 name is valid UTF-16) as UTF-8 into
 * `buf`, zero-terminated. Surrogate pairs are joined; a lone surrogate
 * becomes U+FFFD. Returns the length of the whole text in bytes, without
 * the terminator, like snprintf: when it is `size` or more, `buf` holds as
 * many whole characters as fit before a terminator. Nothing is written past
 * `size` bytes; with `size` 0 (`buf` may then be null) nothing is written
 * at all, which asks for the length. At most 765 bytes (255 units of 3
 * bytes) plus the terminator. Locale-free; never allocates.
 */
DORVEX_API size_t dv_name_to_utf8(const dv_name *name, char *buf, size_t size);

/*
 * Builds the text of an 8.3 name from the 11 stored bytes of `shortname`
 * (space padded, no dot): BASE.EXT as listings show it (trailing spaces
 * dropped, no dot without an extension, a NUL byte ends the name). A first
 * byte 0x05 stands for 0xE5. Bytes 0x80-0xFF are decoded in `codepage` (any
 * single-byte charset of the converter; null means "cp437"); ASCII letters
 * of the base are lowered when `lcase` has DV_LCASE_BASE, of the extension
 * when it has DV_LCASE_EXT. Returns the name's length, or -1 when
 * `codepage` is not a single-byte charset (`*out` untouched). A byte the
 * code page lacks becomes U+FFFD.
 */
DORVEX_API int dv_shortname_to_name(const char *shortname, unsigned lcase, const char *codepage,
                                    dv_name *out);

/* ---- Entry reader and writer ------------------------------------------- */

/*
 * Decodes raw 32-byte entries into records.
 *   entries  in/out: cursor on the first entry to decode
 *   count    in/out: entries from the cursor to the end of the array
 *   records  in/out: cursor on the first free record
 *   room     in/out: records free at the record cursor
 * Each long-name run is joined to its short entry (checksum checked); a
 * short entry standing alone gets its 8.3 name with a dot (bytes 0x80-0xFF
 * become their IBM code page 437 characters; a NUL byte ends the name, as it
 * ends `shortname`). Deleted entries, volume labels and dot entries are
 * decoded like any other.
 * With DV_FLAG_LENIENT, damaged runs are skipped: a run whose continuation
 * entries disagree on the checksum is dropped, and a run whose checksum does
 * not match its short entry is a stale long name (the 8.3 entry was renamed
 * or reused): the short entry then stands alone under its 8.3 name, unless
 * its first byte is 0xE5 (a deleted entry goes with its run: no record).
 * Stops before an entry
 * whose first byte is 0 (end of directory), when `count` or `room` reaches
 * 0. When the array ends inside a run, `*count` is set to the number of
 * entries from the run's first entry to the end of the array: move those in
 * front of the next buffer and call again.
 * Returns 0, or -1 for a damaged run it may not skip (a checksum mismatch
 * without DV_FLAG_LENIENT; in either mode a sequence number of 0 or above
 * 20, or a name with more than 255 units): the cursor then points at the
 * offending entry and `*count` counts from it. Sets no error code; never
 * allocates.
 */
DORVEX_API int dv_readentry(const dv_ctx *ctx, const uint8_t **entries, int *count,
                            dv_entry **records, int *room);

/*
 * Encodes records into raw entries: for each record n/13+1 long-name
 * entries (n = name.len) and its short entry (bytes of `shortname` as
 * given). After the last record, if room is left and the entry at the
 * cursor is not already an end mark, it is zeroed as one.
 *   records  in/out: cursor on the first record    count  in/out: records left
 *   entries  in/out: cursor on the next entry       room   in/out: entries free
 * Returns 0 when every record was written; -1 with the context's err set to
 * ENAMETOOLONG for a name of more than 255 units; or k > 0 with err E2BIG
 * when the record at the cursor needs k more entries than `*room`. On
 * failure the earlier records are written and the cursors stand after them,
 * so the call can be repeated with more room. Timestamps before 1970 leave
 * their fields untouched. Never allocates.
 * With DV_FLAG_NTCASE in the context, records are written as Windows NT
 * writes them: byte 12 takes `lcase` (DV_LCASE_BASE, DV_LCASE_EXT); a record
 * with an empty name gets its short entry alone (1 entry, no long name); a
 * name of n > 0 units takes (n + 12) / 13 long-name entries (one that fills
 * its last entry has no terminator, so 13 units take 1 entry, not 2); and
 * a time whose 32-bit `sec` is negative is taken from its 64-bit field
 * (ctime64, atime64, mtime64) when that lies in FAT's range.
 */
DORVEX_API int dv_writeentry(dv_ctx *ctx, const dv_entry **records, int *count, uint8_t **entries,
                             unsigned *room);

/*
 * The raw 32-byte entries dv_writeentry writes for one record whose name
 * has `units` UTF-16 units, in a context with `flags`: its long-name entries
 * (with DV_FLAG_NTCASE the NT form above) and its short entry. For sizing a
 * directory before writing it. Returns 0 for more than 255 units, which
 * dv_writeentry refuses.
 */
DORVEX_API unsigned dv_entrycount(uint32_t flags, unsigned units);

#ifdef __cplusplus
}
#endif

#endif /* DORVEX_DORVEX_H */
