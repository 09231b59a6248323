// The context's character decoders, for code that wants to recognise them.
#pragma once

#include <dorvex/dorvex.h>

#include <cstdint>

namespace dorvex {

// In UTF-8 and ASCII contexts an ASCII byte followed by another ASCII byte (or by nothing)
// converts to itself, and the converter would stop on the follower with E2BIG: the decoder's
// answer without the call. A follower of 0x80 and up must still go through the converter,
// which may reject it and with it this character.
inline bool identity_shortcut(const char *p, const char *end) {
    const auto *b = reinterpret_cast<const unsigned char *>(p);
    return b[0] < 0x80 && (p + 1 == end || b[1] < 0x80);
}

// UTF-8 and ASCII contexts: one character through the converter.
const char *cc_get_identity(dv_ctx *ctx, const char *p, const char *end, uint16_t *unit, int *err);
// Locale contexts: mbrtowc in the caller's locale, then the converter.
const char *cc_get_mbtowc(dv_ctx *ctx, const char *p, const char *end, uint16_t *unit, int *err);

// One character above U+FFFF of a UTF-8 or locale context's text, as the surrogate pair a
// UTF-16 name stores. Returns the position after it, or null with EILSEQ or EINVAL (or
// E2BIG for a character that is not above U+FFFF after all).
const char *decode_pair(dv_ctx *ctx, const char *p, const char *end, uint16_t units[2], int *err);

// One component of a path as dv_parsepath splits it, from p (< end) into *out, without
// allocating: leading separators are passed over while text follows them. Returns the
// position past the separator that ended it (or end), or null with the context's err set.
const char *parse_component(dv_ctx *ctx, const char *p, const char *end, dv_name *out);

} // namespace dorvex
