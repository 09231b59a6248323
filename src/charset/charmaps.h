// The converter's charset table and the single-byte codec that reads it.
#pragma once

#include <cstdint>

namespace dorvex {

// One constant byte string of groups: names (NUL-terminated), an empty name, the type
// byte, and for single-byte charsets (type <= 0x80) a packed table of (128 - type) / 4 * 5
// bytes. A final empty name ends it. Descriptors hold 16-bit offsets into it.
extern const uint8_t charmaps[];
extern const uint32_t charmaps_size;

// The offsets of the groups' type bytes, in ascending order: a descriptor's two halves are
// valid only when both are among them.
extern const uint16_t charmap_types[];
extern const uint32_t charmap_types_count;

// Code points that the packed tables index: entry 0 is the identity marker (0), entry 1
// the unmapped marker (1).
extern const uint16_t legacy_chars[];
extern const uint32_t legacy_chars_count;

// The offset of the type byte of the charset called `name` (matched as dorvex_iconv_open
// matches names; "" means "utf8"), or -1 when no charset has that name.
int find_charmap(const char *name);

// Decodes a byte 0x80-0xFF of the single-byte charset whose type byte is `t` and whose
// packed table is `table`. Returns false for a byte without a mapping.
bool sbcs_decode(uint8_t t, const uint8_t *table, uint8_t byte, uint32_t *code_point);

// Encodes a code point into the single-byte charset. Returns the byte, or -1 when the
// charset has no byte for it (the converter then writes '*' and counts it).
int sbcs_encode(uint8_t t, const uint8_t *table, uint32_t code_point);

} // namespace dorvex
