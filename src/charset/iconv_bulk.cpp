// Bulk conversion loops. ASCII runs move 16 bytes at a time where SSE2 is available (every
// x86-64 CPU); other characters are decoded and checked inline.
#include "charset/iconv_bulk.h"

#include "charset/charmaps.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace dorvex {

namespace {

// Where the host keeps the high byte of a 16-bit value.
constexpr unsigned native_hi = std::endian::native == std::endian::little ? 1u : 0u;

// Stores one 16-bit unit; `Hi` is the index of its high byte (0 big-endian, 1 little).
template <unsigned Hi> inline void store16(uint8_t *p, uint32_t unit) {
    if constexpr (native_hi == Hi) {
        const auto v = static_cast<uint16_t>(unit);
        std::memcpy(p, &v, 2);
    } else {
        p[Hi] = static_cast<uint8_t>(unit >> 8);
        p[1 - Hi] = static_cast<uint8_t>(unit);
    }
}

template <unsigned Hi> inline uint32_t load16(const uint8_t *p) {
    if constexpr (native_hi == Hi) {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return v;
    } else {
        return static_cast<uint32_t>(p[Hi]) << 8 | p[1 - Hi];
    }
}

inline bool is_cont(uint32_t b) {
    return (b & 0xC0u) == 0x80u;
}

// The ASCII bytes at the start of the sixteen at `in`, copied as they are (Width 1) or
// widened to 16-bit units (Width 2, high byte at `Hi`). Returns how many: 16 for a whole
// block, else the count before the first other byte. Nothing is written past them.
template <unsigned Width, unsigned Hi> inline unsigned ascii16(const uint8_t *in, uint8_t *out) {
#if defined(__SSE2__)
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
    const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
    if (high == 0) {
        if constexpr (Width == 1) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out), v);
        } else {
            __m128i z = _mm_setzero_si128();
            __m128i lo = Hi == 1 ? _mm_unpacklo_epi8(v, z) : _mm_unpacklo_epi8(z, v);
            __m128i hi = Hi == 1 ? _mm_unpackhi_epi8(v, z) : _mm_unpackhi_epi8(z, v);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out), lo);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16), hi);
        }
        return 16;
    }
    const unsigned n = static_cast<unsigned>(std::countr_zero(high));
    if constexpr (Width == 1) {
        // Two overlapping copies cover 4 to 15 bytes without a loop.
        if (n >= 8) {
            std::memcpy(out, in, 8);
            std::memcpy(out + n - 8, in + n - 8, 8);
            return n;
        }
        if (n >= 4) {
            std::memcpy(out, in, 4);
            std::memcpy(out + n - 4, in + n - 4, 4);
            return n;
        }
    } else if (n >= 8) {
        // Units 0-7 from the block, then the last eight units again, overlapping.
        __m128i z = _mm_setzero_si128();
        __m128i lo = Hi == 1 ? _mm_unpacklo_epi8(v, z) : _mm_unpacklo_epi8(z, v);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), lo);
        __m128i t = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(in + n - 8));
        t = Hi == 1 ? _mm_unpacklo_epi8(t, z) : _mm_unpacklo_epi8(z, t);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 2 * (n - 8)), t);
        return n;
    }
#else
    unsigned n = 0;
    while (n < 16 && in[n] < 0x80) n++;
#endif
    for (unsigned i = 0; i < n; i++) {
        if constexpr (Width == 1)
            out[i] = in[i];
        else
            store16<Hi>(out + 2 * i, in[i]);
    }
    return n;
}

// The same for the eight 16-bit units at `in`, narrowed to bytes.
template <unsigned Hi> inline unsigned ascii8_units(const uint8_t *in, uint8_t *out) {
#if defined(__SSE2__)
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
    // Lanes are read little-endian: the high byte of a big-endian unit is the lane's low.
    const __m128i mask = _mm_set1_epi16(static_cast<short>(Hi == 1 ? 0xFF80 : 0x80FF));
    const unsigned ascii = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, mask), _mm_setzero_si128())));
    if (ascii == 0xFFFF) {
        if constexpr (Hi == 0) v = _mm_srli_epi16(v, 8);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out), _mm_packus_epi16(v, v));
        return 8;
    }
    const unsigned n = static_cast<unsigned>(std::countr_one(ascii)) / 2;
#else
    unsigned n = 0;
    while (n < 8 && load16<Hi>(in + 2 * n) < 0x80) n++;
#endif
    for (unsigned i = 0; i < n; i++) out[i] = in[2 * i + 1 - Hi];
    return n;
}

// One character of UTF-8 at `ip` into 16-bit units. False, with nothing done, if the
// character is not one the bulk loop takes. Unchecked calls are made only while at least
// four input bytes and four bytes of room remain: no character needs more.
template <unsigned Hi, bool Pairs, bool Checked>
inline bool utf8_char_to_16(const uint8_t *&ip, const uint8_t *iend, uint8_t *&op, size_t &room) {
    const uint32_t b = *ip;
    const size_t avail = static_cast<size_t>(iend - ip);
    if (b < 0x80) {
        if (avail >= 16 && room >= 32) {
            // At least this byte is ASCII, so the count is never 0.
            const unsigned n = ascii16<2, Hi>(ip, op);
            ip += n;
            op += 2 * n;
            room -= 2 * n;
            return true;
        }
        if (Checked && room < 2) return false;
        store16<Hi>(op, b);
        ip++;
        op += 2;
        room -= 2;
        return true;
    }
    if (b < 0xE0) {
        if (b < 0xC2 || (Checked && (avail < 2 || room < 2)) || !is_cont(ip[1])) return false;
        store16<Hi>(op, (b & 0x1F) << 6 | (ip[1] & 0x3Fu));
        ip += 2;
        op += 2;
        room -= 2;
        return true;
    }
    if (b < 0xF0) {
        if (Checked && (avail < 3 || room < 2)) return false;
        const uint32_t c1 = ip[1], c2 = ip[2];
        if (((c1 & 0xC0u) | (c2 & 0xC0u) << 8) != 0x8080u) return false;
        uint32_t cp = (b & 0x0F) << 12 | (c1 & 0x3Fu) << 6 | (c2 & 0x3Fu);
        // Overlong forms (below U+0800) and surrogates.
        if (cp < 0x800 || cp - 0xD800u < 0x800u) return false;
        store16<Hi>(op, cp);
        ip += 3;
        op += 2;
        room -= 2;
        return true;
    }
    if (!Pairs || b > 0xF4 || (Checked && (avail < 4 || room < 4)) || !is_cont(ip[1]) ||
        !is_cont(ip[2]) || !is_cont(ip[3]))
        return false;
    uint32_t cp = (b & 0x07) << 18 | (ip[1] & 0x3Fu) << 12 | (ip[2] & 0x3Fu) << 6 | (ip[3] & 0x3Fu);
    if (cp < 0x10000 || cp > 0x10FFFF) return false;
    cp -= 0x10000;
    store16<Hi>(op, 0xD800 | (cp >> 10));
    store16<Hi>(op + 2, 0xDC00 | (cp & 0x3FF));
    ip += 4;
    op += 4;
    room -= 4;
    return true;
}

// One 16-bit unit (or a surrogate pair) at `ip` into UTF-8; the same contract.
template <unsigned Hi, bool Pairs, bool Checked>
inline bool units_char_to_utf8(const uint8_t *&ip, const uint8_t *iend, uint8_t *&op,
                               size_t &room) {
    const uint32_t u = load16<Hi>(ip);
    const size_t avail = static_cast<size_t>(iend - ip);
    if (u < 0x80) {
        if (avail >= 16 && room >= 8) {
            const unsigned n = ascii8_units<Hi>(ip, op);
            ip += 2 * n;
            op += n;
            room -= n;
            return true;
        }
        if (Checked && room < 1) return false;
        *op++ = static_cast<uint8_t>(u);
        ip += 2;
        room--;
        return true;
    }
    if (u < 0x800) {
        if (Checked && room < 2) return false;
        store16<1>(op, (0xC0 | u >> 6) | (0x80 | (u & 0x3F)) << 8);
        op += 2;
        room -= 2;
        ip += 2;
        return true;
    }
    if (u - 0xD800u >= 0x800u) {
        if (Checked && room < 3) return false;
        store16<1>(op, (0xE0 | u >> 12) | (0x80 | ((u >> 6) & 0x3F)) << 8);
        op[2] = static_cast<uint8_t>(0x80 | (u & 0x3F));
        op += 3;
        room -= 3;
        ip += 2;
        return true;
    }
    if (!Pairs || u > 0xDBFF || avail < 4 || room < 4) return false;
    const uint32_t v = load16<Hi>(ip + 2);
    if (v < 0xDC00 || v > 0xDFFF) return false;
    put_utf8(op, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
    op += 4;
    room -= 4;
    ip += 4;
    return true;
}

// Drives a per-character step: unchecked while four bytes of input and room remain, then
// checked to the end. The room is a count, since the output pointer may be null at 0.
template <auto Fast, auto Careful> void drive(BulkCursor &c, const uint8_t *iend) {
    const uint8_t *ip = c.in;
    uint8_t *op = c.out;
    size_t room = c.out_left;
    bool going = true;
    while (going && iend - ip >= 4 && room >= 4) going = Fast(ip, iend, op, room);
    while (going && ip != iend) going = Careful(ip, iend, op, room);
    c.in_left -= static_cast<size_t>(ip - c.in);
    c.in = ip;
    c.out = op;
    c.out_left = room;
}

template <unsigned Hi, bool Pairs> void utf8_to_16(BulkCursor &c) {
    drive<utf8_char_to_16<Hi, Pairs, false>, utf8_char_to_16<Hi, Pairs, true>>(c, c.in + c.in_left);
}

template <unsigned Hi, bool Pairs> void utf16_to_8(BulkCursor &c) {
    // A trailing odd byte is left to the general path, which reports it cut off.
    drive<units_char_to_utf8<Hi, Pairs, false>, units_char_to_utf8<Hi, Pairs, true>>(
        c, c.in + (c.in_left & ~size_t{1}));
}

// Copies the ASCII at `ip` (a block of up to sixteen bytes, or the one byte) to a byte
// target. False, with nothing done, when there is no room.
inline bool copy_ascii(const uint8_t *&ip, const uint8_t *iend, uint8_t *&op, size_t &room) {
    unsigned n;
    if (iend - ip >= 16 && room >= 16) {
        n = ascii16<1, 0>(ip, op);
    } else {
        if (room == 0) return false;
        *op = *ip;
        n = 1;
    }
    ip += n;
    op += n;
    room -= n;
    return true;
}

} // namespace

void bulk_utf8_to_16(BulkCursor &c, bool big_endian, bool pairs) {
    if (big_endian)
        pairs ? utf8_to_16<0, true>(c) : utf8_to_16<0, false>(c);
    else
        pairs ? utf8_to_16<1, true>(c) : utf8_to_16<1, false>(c);
}

void bulk_16_to_utf8(BulkCursor &c, bool big_endian, bool pairs) {
    if (big_endian)
        pairs ? utf16_to_8<0, true>(c) : utf16_to_8<0, false>(c);
    else
        pairs ? utf16_to_8<1, true>(c) : utf16_to_8<1, false>(c);
}

void build_sbcs_to_utf8(SbcsToUtf8 &out, uint8_t t, const uint8_t *table) {
    uint32_t *utf8 = out.utf8;
    for (unsigned i = 0; i < 128; i++) {
        uint32_t cp;
        if (!sbcs_decode(t, table, static_cast<uint8_t>(0x80 + i), &cp)) {
            utf8[i] = 0;
        } else if (cp < 0x80) {
            utf8[i] = 1u << 24 | cp;
        } else {
            uint8_t bytes[4] = {};
            const auto len = static_cast<uint32_t>(put_utf8(bytes, cp) - bytes);
            utf8[i] = len << 24 | bytes[2] << 16 | bytes[1] << 8 | bytes[0];
        }
    }
}

void bulk_sbcs_to_utf8(BulkCursor &c, const SbcsToUtf8 &tab) {
    const uint32_t *utf8 = tab.utf8;
    const uint8_t *ip = c.in, *const iend = c.in + c.in_left;
    uint8_t *op = c.out;
    size_t room = c.out_left;
    while (ip != iend) {
        const uint32_t b = *ip;
        if (b < 0x80) {
            if (!copy_ascii(ip, iend, op, room)) break;
            continue;
        }
        const uint32_t e = utf8[b - 0x80];
        const uint32_t len = e >> 24;
        if (len == 0 || room < len) break;
        // Write exactly the character's bytes.
        op[0] = static_cast<uint8_t>(e);
        if (len >= 2) op[1] = static_cast<uint8_t>(e >> 8);
        if (len == 3) op[2] = static_cast<uint8_t>(e >> 16);
        op += len;
        room -= len;
        ip++;
    }
    c.in_left -= static_cast<size_t>(ip - c.in);
    c.in = ip;
    c.out = op;
    c.out_left = room;
}

namespace {

inline uint32_t slot(uint32_t cp) {
    return (cp * 0x9E3779B1u) >> 24;
}

} // namespace

void build_utf8_to_sbcs(Utf8ToSbcs &out, uint8_t t, const uint8_t *table) {
    uint16_t *keys = out.keys;
    uint8_t *bytes = out.bytes;
    std::memset(keys, 0, sizeof out.keys);
    const uint32_t identity_below = out.identity_below = 0x80u + t;
    for (unsigned i = t; i < 128; i++) {
        uint32_t cp;
        if (!sbcs_decode(t, table, static_cast<uint8_t>(0x80 + i), &cp) || cp < identity_below)
            continue;
        uint32_t h = slot(cp);
        while (keys[h] != 0 && keys[h] != cp) h = (h + 1) & 0xFF;
        if (keys[h] == 0) {
            keys[h] = static_cast<uint16_t>(cp);
            bytes[h] = static_cast<uint8_t>(0x80 + i);
        }
    }
}

void bulk_utf8_to_sbcs(BulkCursor &c, const Utf8ToSbcs &tab) {
    const uint16_t *keys = tab.keys;
    const uint8_t *bytes = tab.bytes;
    const uint32_t identity_below = tab.identity_below;
    const uint8_t *ip = c.in, *const iend = c.in + c.in_left;
    uint8_t *op = c.out;
    size_t room = c.out_left;
    while (ip != iend && room != 0) {
        const uint32_t b = *ip;
        if (b < 0x80) {
            if (!copy_ascii(ip, iend, op, room)) break;
            continue;
        }
        // Two- and three-byte characters only; anything else (and any character the
        // charset lacks, which the general path writes as '*' and counts) stops the loop.
        uint32_t cp, len;
        if (b >= 0xC2 && b < 0xE0 && iend - ip >= 2 && is_cont(ip[1])) {
            cp = (b & 0x1F) << 6 | (ip[1] & 0x3Fu);
            len = 2;
        } else if (b >= 0xE0 && b < 0xF0 && iend - ip >= 3 && is_cont(ip[1]) && is_cont(ip[2])) {
            cp = (b & 0x0F) << 12 | (ip[1] & 0x3Fu) << 6 | (ip[2] & 0x3Fu);
            if (cp < 0x800 || cp - 0xD800u < 0x800u) break;
            len = 3;
        } else {
            break;
        }
        uint8_t out;
        if (cp < identity_below) {
            out = static_cast<uint8_t>(cp);
        } else {
            uint32_t h = slot(cp);
            while (keys[h] != 0 && keys[h] != cp) h = (h + 1) & 0xFF;
            if (keys[h] == 0) break;
            out = bytes[h];
        }
        *op++ = out;
        room--;
        ip += len;
    }
    c.in_left -= static_cast<size_t>(ip - c.in);
    c.in = ip;
    c.out = op;
    c.out_left = room;
}

} // namespace dorvex
