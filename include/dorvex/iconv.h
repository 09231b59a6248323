/*
 * dorvex/iconv.h -- the library's own character-set converter.
 *
 * An iconv(3)-style interface over one constant table of charsets. Known
 * charsets (names are matched case-insensitively; spaces and punctuation
 * before or inside a name are ignored, so "UTF-8", "utf_8" and "Utf8" are
 * one name, but nothing may follow it: "utf8-" is unknown):
 *
 *   "utf8" "char"                     UTF-8 (RFC 3629)
 *   "wchart"                          16-bit units in host byte order
 *   "ucs2" "ucs2be" / "ucs2le"        UCS-2 big / little endian
 *   "utf16" "utf16be" / "utf16le"     UTF-16 big / little endian
 *   "ucs4" "ucs4be" "utf32" "utf32be" UTF-32 big endian
 *   "ucs4le" "utf32le"                UTF-32 little endian
 *   "ascii" "usascii" "iso646" "iso646us"
 *   "iso88591" "latin1", "iso88592" .. "iso88598", "iso88599",
 *   "iso885910", "iso885911" "tis620", "iso885913" .. "iso885916",
 *   "latin9" (= iso885915), "cp1250" .. "cp1258" (also "windows1250" ..),
 *   "koi8r", "koi8u", "cp437", "cp850"
 *
 * Names without a byte-order suffix are big-endian; no byte-order mark is
 * ever read, skipped or written. The empty name means "utf8".
 *
 * The converter keeps no state between calls and never allocates. UTF-8 is
 * decoded and encoded by the C library's mbrtowc/wctomb in the "C.UTF-8"
 * locale: while a call converts non-ASCII UTF-8, it switches the locale of
 * the whole process to "C.UTF-8" and restores it before returning, so it
 * must not run while another thread depends on the locale.
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
 */
DORVEX_API size_t dorvex_iconv(dorvex_iconv_t cd, char **in, size_t *inleft, char **out,
                               size_t *outleft, int *err);

/* Releases a descriptor. There is nothing to release: returns 0. */
DORVEX_API int dorvex_iconv_close(dorvex_iconv_t cd);

#ifdef __cplusplus
}
#endif

#endif /* DORVEX_ICONV_H */
