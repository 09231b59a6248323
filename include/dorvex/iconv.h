/*
 * dorvex/iconv.h -- the library's own character-set converter.
 *
 * An iconv(3)-style interface over one constant table of charsets: UTF-8;
 * UTF-16, UCS-2 and UTF-32 in both byte orders; "wchart" (16-bit units in
 * host byte order); US-ASCII; ISO 8859-1 to -16 (there is no -12); Windows
 * code pages 1250 to 1258; KOI8-R, KOI8-U; IBM PC code pages 437 and 850.
 * dorvex_iconv_charset() gives every name the table knows ("utf8", "utf16le",
 * "latin1", "cp1252", ...). Names are matched case-insensitively, and spaces
 * and punctuation before or inside a name are ignored, so "UTF-8", "utf_8"
 * and "Utf8" are one name; but nothing may follow it: "utf8-" is unknown.
 *
 * Names without a byte-order suffix are big-endian; no byte-order mark is
 * ever read, skipped or written. The empty name means "utf8".
 *
 * The converter keeps no state between calls, never allocates and never
 * reads or changes the locale: UTF-8 is decoded and encoded by its own
 * codec. Any number of threads may convert at the same time.
 *
 * UTF-8 input must be RFC 3629 UTF-8: overlong forms, 5- and 6-byte forms,
 * surrogates (U+D800..U+DFFF) and values above U+10FFFF are EILSEQ, also when
 * cut off at the end of the input. UTF-16 and UTF-32 input must not hold
 * unpaired surrogates; UCS-2 and "wchart" input none at all. Characters above
 * U+FFFF become U+FFFD in UCS-2 and "wchart" output.
 *
 * Error codes are the C library's errno constants, reported through the
 * `err` out-parameter (errno itself is never set):
 *   EILSEQ  an input sequence that is invalid in the source charset
 *   EINVAL  the input ends inside a character
 *   E2BIG   the output space does not hold the next character
 *   EBADF   the descriptor is not one dorvex_iconv_open returned
 */
#ifndef DORVEX_ICONV_H
#define DORVEX_ICONV_H

#include <stddef.h>
#include <stdint.h>

#include "dorvex/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * A converter descriptor: the high 16 bits hold the table offset of the
 * source charset, the low 16 bits that of the target. -1 means "none".
 * A descriptor owns nothing and stays valid for the life of the process.
 */
typedef int32_t dorvex_iconv_t;

/*
 * Opens a converter from `fromcode` to `tocode` (note the order: target
 * first). Returns the descriptor, or -1 when either name is unknown.
 * Sets no errno and allocates nothing.
 */
DORVEX_API dorvex_iconv_t dorvex_iconv_open(const char *tocode, const char *fromcode);

/*
 * Converts characters from `*in` (`*inleft` bytes) to `*out` (`*outleft`
 * bytes of room), one whole character at a time, advancing all four.
 *
 * Returns the number of irreversible conversions (characters the target
 * cannot hold, written as '*' to US-ASCII and single-byte targets; UCS-2
 * targets write U+FFFD without counting it), or (size_t)-1 on failure with
 * EILSEQ, EINVAL or E2BIG stored in `*err`. On failure the cursors stand
 * exactly after the last character converted whole; the failing character
 * is neither consumed nor partly written. `*err` is untouched on success.
 *
 * A null `in`, a null `*in` or a `*inleft` of 0 returns 0 and touches
 * nothing. Otherwise `inleft`, `out`, `outleft` and `err` must be valid.
 *
 * A `cd` that dorvex_iconv_open did not return (such as -1) is refused
 * before anything else: (size_t)-1 with EBADF in `*err` (when `err` is not
 * null); nothing is read or written.
 */
DORVEX_API size_t dorvex_iconv(dorvex_iconv_t cd, char **in, size_t *inleft, char **out,
                               size_t *outleft, int *err);

/* Releases a descriptor. There is nothing to release: returns 0. */
DORVEX_API int dorvex_iconv_close(dorvex_iconv_t cd);

/*
 * Lists the known charsets: returns the names of charset number `index`
 * (0, 1, 2, ... in table order) as consecutive NUL-terminated names ended
 * by an empty name, for example "utf8\0char\0\0" for index 0; or null when
 * `index` is past the last charset. The text is constant and owned by the
 * library. Every name it gives is accepted by dorvex_iconv_open.
 */
DORVEX_API const char *dorvex_iconv_charset(unsigned index);

#ifdef __cplusplus
}
#endif

#endif /* DORVEX_ICONV_H */
