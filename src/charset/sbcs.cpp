// Single-byte charsets: decoding and encoding through the packed tables of `charmaps`.
#include "charset/charmaps.h"
#include "charset/iconv_internal.h"

namespace dorvex {

namespace {

// Values of legacy_chars with a meaning of their own.
constexpr uint16_t identity_marker = 0;
constexpr uint16_t unmapped_marker = 1;

// Offset of the cp437 type byte. The layout of the table is fixed (every group's names and
// table size are known), and cp437 is the second-to-last group; the charset tests check it.
constexpr uint32_t cp437_type_offset = 3926;

// Entry i of a packed table: bits 10i..10i+9 of the table read as one little-endian bit
// string, so it always lies in bytes k and k + 1 of its five-byte group.
inline uint16_t packed_entry(const uint8_t *table, uint32_t i) {
    uint32_t k = 5 * i / 4;
    uint32_t s = (2 * i) % 8;
    return static_cast<uint16_t>((table[k] >> s) | ((table[k + 1] << (8 - s)) & 0x3FF));
}

} // namespace

bool sbcs_decode(uint8_t t, const uint8_t *table, uint8_t byte, uint32_t *code_point) {
    if (byte < 0x80u + t) {
        *code_point = byte;
        return true;
    }
    uint16_t v = legacy_chars[packed_entry(table, byte - 0x80u - t)];
    if (v == unmapped_marker) return false;
    *code_point = v == identity_marker ? byte : v;
    return true;
}

int sbcs_encode(uint8_t t, const uint8_t *table, uint32_t code_point) {
    if (code_point < 0x80u + t) return static_cast<int>(code_point);
    if (code_point > 0xFFFF) return -1;
    // No reverse index: a linear search, first match wins. Each five-byte group holds the
    // entries of four consecutive bytes; code_point >= 0x80 never equals a marker value.
    uint32_t byte = 0x80u + t;
    const uint8_t *end = table + (128u - t) / 4 * 5;
    for (const uint8_t *group = table; group != end; group += 5, byte += 4) {
        uint64_t bits = static_cast<uint64_t>(group[0]) | static_cast<uint64_t>(group[1]) << 8 |
                        static_cast<uint64_t>(group[2]) << 16 |
                        static_cast<uint64_t>(group[3]) << 24 |
                        static_cast<uint64_t>(group[4]) << 32;
        for (uint32_t n = 0; n < 4; n++, bits >>= 10) {
            uint16_t v = legacy_chars[bits & 0x3FF];
            if (v == code_point || (v == identity_marker && byte + n == code_point))
                return static_cast<int>(byte + n);
        }
    }
    return -1;
}

uint16_t cp437_to_unicode(uint8_t byte) {
    uint32_t code_point = byte;
    // cp437 maps every byte, so the decoder cannot fail here.
    sbcs_decode(charmaps[cp437_type_offset], charmaps + cp437_type_offset + 1, byte, &code_point);
    return static_cast<uint16_t>(code_point);
}

} // namespace dorvex
