// Bulk loops for the conversions that carry most text: UTF-8 to and from 16-bit units and
// to and from single-byte charsets.
//
// Each loop converts whole characters while they are valid and the room holds them with
// ease, and stops on a character boundary at anything else: an invalid or cut-off
// sequence, a character the room may not hold, a surrogate. The converter's general path
// then takes that character, so results, errors and cursors are always the general path's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dorvex {

// Writes a code point of U+0080 or above (no surrogate, at most U+10FFFF) as UTF-8 and
// returns the position after it.
inline uint8_t *put_utf8(uint8_t *o, uint32_t cp) {
    if (cp < 0x800) {
        o[0] = static_cast<uint8_t>(0xC0 | (cp >> 6));
        o[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return o + 2;
    }
    if (cp < 0x10000) {
        o[0] = static_cast<uint8_t>(0xE0 | (cp >> 12));
        o[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        o[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return o + 3;
    }
    o[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
    o[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
    o[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    o[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    return o + 4;
}

struct BulkCursor {
    const uint8_t *in;
    size_t in_left;
    uint8_t *out;
    size_t out_left;
};

// UTF-8 into 16-bit units, big-endian when `big_endian`. With `pairs` (UTF-16) characters
// above U+FFFF become surrogate pairs; without (UCS-2) the loop stops before them.
void bulk_utf8_to_16(BulkCursor &c, bool big_endian, bool pairs);

// 16-bit units into UTF-8. With `pairs` (UTF-16) surrogate pairs are joined; without
// (UCS-2) the loop stops at any surrogate.
void bulk_16_to_utf8(BulkCursor &c, bool big_endian, bool pairs);

// Single-byte charsets go through tables of their 128 upper bytes, built once per call,
// and only for input of at least this many bytes (not for a name or a path).
constexpr size_t kBulkTableMin = 256;

// Each upper byte's character pre-encoded as UTF-8: the bytes from the low end, the length
// in the top byte; 0 for a byte without a mapping.
struct SbcsToUtf8 {
    uint32_t utf8[128];
};
void build_sbcs_to_utf8(SbcsToUtf8 &out, uint8_t t, const uint8_t *table);

// A single-byte charset into UTF-8.
void bulk_sbcs_to_utf8(BulkCursor &c, const SbcsToUtf8 &table);

// The reverse: code points (key 0 marks a free slot) to bytes in an open-addressed hash.
// Where two bytes map to one character the lower byte wins, as in the general encoder.
struct Utf8ToSbcs {
    uint16_t keys[256];
    uint8_t bytes[256];
    uint32_t identity_below;
};
void build_utf8_to_sbcs(Utf8ToSbcs &out, uint8_t t, const uint8_t *table);

// UTF-8 into a single-byte charset. Stops before a character the charset lacks, which the
// general path writes as '*' and counts.
void bulk_utf8_to_sbcs(BulkCursor &c, const Utf8ToSbcs &table);

} // namespace dorvex
