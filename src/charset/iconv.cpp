// The character converter: charset lookup in `charmaps`, the conversion loop, and the
// decoders and encoders of the Unicode encodings. Single-byte charsets go through
// sbcs_decode / sbcs_encode.
#include <dorvex/iconv.h>

#include "charset/charmaps.h"
#include "charset/iconv_bulk.h"
#include "charset/iconv_internal.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

namespace dorvex {

// ---- Charset lookup --------------------------------------------------------

namespace {

constexpr uint8_t type_utf32be = 0xC0;
constexpr uint8_t type_utf16le = 0xC1;
constexpr uint8_t type_utf16be = 0xC2;
constexpr uint8_t type_utf32le = 0xC3;
constexpr uint8_t type_ucs2be = 0xC4;
constexpr uint8_t type_ucs2le = 0xC5;
constexpr uint8_t type_wchart = 0xC6;
constexpr uint8_t type_ascii = 0xC7;
constexpr uint8_t type_utf8 = 0xC8;
constexpr uint8_t type_sbcs_max = 0x80;

inline bool is_name_char(unsigned char c) {
    unsigned char l = c | 0x20;
    return (l >= 0x61 && l <= 0x7B) || (c >= 0x30 && c <= 0x3A);
}

// Matches a given name against one table name: punctuation before or inside the given
// name is skipped, case is ignored, and the given name must end where the table name does.
bool name_matches(const unsigned char *given, const uint8_t *table_name) {
    while (*table_name != 0) {
        while (*given != 0 && !is_name_char(*given)) given++;
        if (*given == 0) return false;
        if ((*given | 0x20) != *table_name) return false;
        given++;
        table_name++;
    }
    return *given == 0;
}

inline uint32_t packed_table_size(uint8_t type) {
    return type <= type_sbcs_max ? (128u - type) / 4u * 5u : 0u;
}

// Whether `offset` is the offset of a group's type byte: the only values a descriptor half
// may hold.
bool is_type_offset(uint32_t offset) {
    return std::binary_search(charmap_types, charmap_types + charmap_types_count, offset);
}

} // namespace

int find_charmap(const char *name) {
    const auto *given = reinterpret_cast<const unsigned char *>(*name ? name : "utf8");
    uint32_t pos = 0;
    while (pos < charmaps_size && charmaps[pos] != 0) {
        bool found = false;
        // Walk the group's names up to the empty name.
        while (charmaps[pos] != 0) {
            const uint8_t *table_name = charmaps + pos;
            if (!found && name_matches(given, table_name)) found = true;
            pos +=
                static_cast<uint32_t>(std::strlen(reinterpret_cast<const char *>(table_name))) + 1;
        }
        pos++; // the empty name
        if (found) return static_cast<int>(pos);
        pos += 1 + packed_table_size(charmaps[pos]);
    }
    return -1;
}

namespace {

// ---- UTF-8 (RFC 3629) ------------------------------------------------------

// Checks the UTF-8 sequence at p (first byte 0x80 or above) against RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF, no 5- or 6-byte forms. A cut-off prefix is
// EINVAL only if it could still become a valid sequence.
int utf8_scan(const uint8_t *p, size_t left, uint32_t *cp, size_t *len) {
    uint8_t b = p[0];
    size_t need;
    uint8_t lo = 0x80, hi = 0xBF;
    uint32_t v;
    if (b < 0xC2) return EILSEQ;
    if (b < 0xE0) {
        need = 2;
        v = b & 0x1Fu;
    } else if (b < 0xF0) {
        need = 3;
        v = b & 0x0Fu;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b < 0xF5) {
        need = 4;
        v = b & 0x07u;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return EILSEQ;
    }
    for (size_t i = 1; i < need; i++) {
        if (i >= left) return EINVAL;
        uint8_t c = p[i];
        if (c < lo || c > hi) return EILSEQ;
        lo = 0x80;
        hi = 0xBF;
        v = (v << 6) | (c & 0x3Fu);
    }
    *cp = v;
    *len = need;
    return 0;
}

// ---- One conversion call ---------------------------------------------------

inline bool is_surrogate(uint32_t v) {
    return v >= 0xD800 && v <= 0xDFFF;
}

inline uint16_t get16(const uint8_t *p, uint8_t type) {
    unsigned hi = type & 1u;
    return static_cast<uint16_t>((p[hi] << 8) | p[1u - hi]);
}

inline void put16(uint8_t *p, uint8_t type, uint32_t unit) {
    unsigned hi = type & 1u;
    p[hi] = static_cast<uint8_t>(unit >> 8);
    p[1u - hi] = static_cast<uint8_t>(unit);
}

inline uint32_t get32(const uint8_t *p, uint8_t type) {
    unsigned o = type & 3u;
    return (static_cast<uint32_t>(p[o]) << 24) | (static_cast<uint32_t>(p[o ^ 1u]) << 16) |
           (static_cast<uint32_t>(p[o ^ 2u]) << 8) | p[~type & 3u];
}

inline void put32(uint8_t *p, uint8_t type, uint32_t v) {
    unsigned o = type & 3u;
    p[o] = 0;
    p[o ^ 1u] = static_cast<uint8_t>(v >> 16);
    p[o ^ 2u] = static_cast<uint8_t>(v >> 8);
    p[~type & 3u] = static_cast<uint8_t>(v);
}

// Sources whose bytes below 0x80 are ASCII, one byte per character.
inline bool ascii_compatible(uint8_t type) {
    return type <= type_sbcs_max || type == type_ascii || type == type_utf8;
}

// Which bulk loop, if any, carries this pair.
enum class Bulk : unsigned char { none, utf8_to_16, units_to_utf8, sbcs_to_utf8, utf8_to_sbcs };

class Conversion {
  public:
    Conversion(uint8_t src_type, const uint8_t *src_table, uint8_t dst_type,
               const uint8_t *dst_table)
        : st_(src_type), dt_(dst_type), stab_(src_table), dtab_(dst_table) {}

    int run(const uint8_t *&ip, size_t &il, uint8_t *&op, size_t &ol, size_t &count);

  private:
    int decode(const uint8_t *p, size_t left, uint32_t *cp, size_t *len);
    int encode(uint32_t cp, uint8_t *&op, size_t &ol, size_t &count);
    int encode_utf8(uint32_t cp, uint8_t *&op, size_t &ol);
    void ascii_run(const uint8_t *&ip, size_t &il, uint8_t *&op, size_t &ol);
    void ascii_units_run(const uint8_t *&ip, size_t &il, uint8_t *&op, size_t &ol);
    bool bulk(const uint8_t *&ip, size_t &il, uint8_t *&op, size_t &ol);

    uint8_t st_, dt_;
    const uint8_t *stab_, *dtab_;
    Bulk bulk_ = Bulk::none;
    // Built on the first use in a call.
    bool tables_built_ = false;
    SbcsToUtf8 to_utf8_;
    Utf8ToSbcs from_utf8_;
};

int Conversion::decode(const uint8_t *p, size_t left, uint32_t *cp, size_t *len) {
    switch (st_) {
    case type_utf32be:
    case type_utf32le: {
        if (left < 4) return EINVAL;
        uint32_t v = get32(p, st_);
        if (is_surrogate(v) || v > 0x10FFFF) return EILSEQ;
        *cp = v;
        *len = 4;
        return 0;
    }
    case type_utf16be:
    case type_utf16le:
    case type_ucs2be:
    case type_ucs2le: {
        if (left < 2) return EINVAL;
        uint32_t u = get16(p, st_);
        if (u >= 0xDC00 && u <= 0xDFFF) return EILSEQ;
        if (u < 0xD800 || u > 0xDBFF) {
            *cp = u;
            *len = 2;
            return 0;
        }
        if (st_ == type_ucs2be || st_ == type_ucs2le) return EILSEQ;
        if (left < 4) return EINVAL;
        uint32_t v = get16(p + 2, st_);
        if (v < 0xDC00 || v > 0xDFFF) return EILSEQ;
        *cp = 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00);
        *len = 4;
        return 0;
    }
    case type_wchart: {
        if (left < 2) return EINVAL;
        uint16_t u;
        std::memcpy(&u, p, 2);
        if (is_surrogate(u)) return EILSEQ;
        *cp = u;
        *len = 2;
        return 0;
    }
    default:
        break;
    }
    if (p[0] < 0x80 && ascii_compatible(st_)) {
        *cp = p[0];
        *len = 1;
        return 0;
    }
    if (st_ == type_utf8) return utf8_scan(p, left, cp, len);
    if (st_ <= type_sbcs_max) {
        *len = 1;
        return sbcs_decode(st_, stab_, p[0], cp) ? 0 : EILSEQ;
    }
    return EILSEQ; // US-ASCII above 0x7F
}

int Conversion::encode_utf8(uint32_t cp, uint8_t *&op, size_t &ol) {
    if (cp < 0x80) {
        if (ol < 1) return E2BIG;
        *op++ = static_cast<uint8_t>(cp);
        ol--;
        return 0;
    }
    if (is_surrogate(cp) || cp > 0x10FFFF) return EILSEQ;
    const size_t need = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    if (ol < need) return E2BIG;
    op = put_utf8(op, cp);
    ol -= need;
    return 0;
}

int Conversion::encode(uint32_t cp, uint8_t *&op, size_t &ol, size_t &count) {
    switch (dt_) {
    case type_utf32be:
    case type_utf32le:
        if (ol < 4) return E2BIG;
        put32(op, dt_, cp);
        op += 4;
        ol -= 4;
        return 0;
    case type_utf16be:
    case type_utf16le:
        if (cp > 0xFFFF) {
            if (ol < 4) return E2BIG;
            put16(op, dt_, 0xD800 | ((cp - 0x10000) >> 10));
            put16(op + 2, dt_, 0xDC00 | ((cp - 0x10000) & 0x3FF));
            op += 4;
            ol -= 4;
            return 0;
        }
        if (ol < 2) return E2BIG;
        put16(op, dt_, cp);
        op += 2;
        ol -= 2;
        return 0;
    case type_ucs2be:
    case type_ucs2le:
        if (ol < 2) return E2BIG;
        put16(op, dt_, cp > 0xFFFF ? 0xFFFD : cp);
        op += 2;
        ol -= 2;
        return 0;
    case type_wchart: {
        if (ol < 2) return E2BIG;
        // One 16-bit unit cannot hold more: such characters become U+FFFD.
        uint16_t u = static_cast<uint16_t>(cp > 0xFFFF ? 0xFFFD : cp);
        std::memcpy(op, &u, 2);
        op += 2;
        ol -= 2;
        return 0;
    }
    case type_ascii:
        if (ol < 1) return E2BIG;
        if (cp > 0x7F) {
            cp = '*';
            count++;
        }
        *op++ = static_cast<uint8_t>(cp);
        ol--;
        return 0;
    case type_utf8:
        return encode_utf8(cp, op, ol);
    default:
        break;
    }
    // Single-byte charsets (the only types left that dorvex_iconv_open lets through).
    if (ol < 1) return E2BIG;
    int b = cp < 0x80 ? static_cast<int>(cp) : sbcs_encode(dt_, dtab_, cp);
    if (b < 0) {
        b = '*';
        count++;
    }
    *op++ = static_cast<uint8_t>(b);
    ol--;
    return 0;
}

// Converts the run of ASCII bytes at the cursor, as far as the output room goes, straight
// from byte to output without the per-character decode and encode. Stops at the first
// other byte or when the room no longer holds one more character; the general path then
// takes over, so cursors, counts and errors come out as if each byte went through it.
void Conversion::ascii_run(const uint8_t *&ip, size_t &il, uint8_t *&op, size_t &ol) {
    size_t width;
    switch (dt_) {
    case type_utf32be:
    case type_utf32le:
        width = 4;
        break;
    case type_utf16be:
    case type_utf16le:
    case type_ucs2be:
    case type_ucs2le:
    case type_wchart:
        width = 2;
        break;
    default:
        width = 1;
        break;
    }
    size_t n = ol / width;
    if (n > il) n = il;
    // No room: nothing to do, and no arithmetic on an output pointer that may be null.
    if (n == 0) return;
    const uint8_t *p = ip;
    uint8_t *o = op;
    size_t i = 0;
    switch (width) {
    case 1:
        // Eight bytes at a time while none has its top bit set.
        while (i + 8 <= n) {
            uint64_t w;
            std::memcpy(&w, p + i, 8);
            if (w & 0x8080808080808080ull) break;
            std::memcpy(o + i, &w, 8);
            i += 8;
        }
        while (i < n && p[i] < 0x80) {
            o[i] = p[i];
            i++;
        }
        break;
    case 2: {
        // "wchart" is in the host's byte order, the others say theirs in the type's low bit.
        constexpr unsigned host_hi = std::endian::native == std::endian::little ? 1u : 0u;
        unsigned hi = dt_ == type_wchart ? host_hi : (dt_ & 1u);
        uint8_t *lo_out = o + (1u - hi);
        uint8_t *hi_out = o + hi;
        while (i + 8 <= n) {
            uint64_t w;
            std::memcpy(&w, p + i, 8);
            if (w & 0x8080808080808080ull) break;
            for (size_t k = 0; k < 8; k++) {
                lo_out[2 * (i + k)] = p[i + k];
                hi_out[2 * (i + k)] = 0;
            }
            i += 8;
        }
        while (i < n && p[i] < 0x80) {
            lo_out[2 * i] = p[i];
            hi_out[2 * i] = 0;
            i++;
        }
        break;
    }
    default:
        while (i < n && p[i] < 0x80) {
            put32(o + 4 * i, dt_, p[i]);
            i++;
        }
        break;
    }
    ip += i;
    il -= i;
    op += i * width;
    ol -= i * width;
}

// The same for 16-bit sources into byte targets (UTF-8, US-ASCII, single-byte): units
// below 0x80 become one byte each.
void Conversion::ascii_units_run(const uint8_t *&ip, size_t &il, uint8_t *&op, size_t &ol) {
    constexpr unsigned host_hi = std::endian::native == std::endian::little ? 1u : 0u;
    const unsigned hi = st_ == type_wchart ? host_hi : (st_ & 1u);
    const uint8_t *lo_in = ip + (1u - hi), *hi_in = ip + hi;
    size_t n = il / 2;
    if (n > ol) n = ol;
    size_t i = 0;
    while (i < n && hi_in[2 * i] == 0 && lo_in[2 * i] < 0x80) {
        op[i] = lo_in[2 * i];
        i++;
    }
    ip += 2 * i;
    il -= 2 * i;
    op += i;
    ol -= i;
}

inline bool is_16bit(uint8_t type) {
    return type == type_utf16be || type == type_utf16le || type == type_ucs2be ||
           type == type_ucs2le;
}

inline Bulk bulk_for(uint8_t st, uint8_t dt) {
    if (st == type_utf8 && is_16bit(dt)) return Bulk::utf8_to_16;
    if (is_16bit(st) && dt == type_utf8) return Bulk::units_to_utf8;
    if (st <= type_sbcs_max && dt == type_utf8) return Bulk::sbcs_to_utf8;
    if (st == type_utf8 && dt <= type_sbcs_max) return Bulk::utf8_to_sbcs;
    return Bulk::none;
}

// Runs the pair's bulk loop from the cursors. False if the pair has none.
bool Conversion::bulk(const uint8_t *&ip, size_t &il, uint8_t *&op, size_t &ol) {
    BulkCursor c{ip, il, op, ol};
    switch (bulk_) {
    case Bulk::utf8_to_16:
        // Big-endian types have the low bit clear; UTF-16 joins pairs, UCS-2 does not.
        bulk_utf8_to_16(c, (dt_ & 1u) == 0, dt_ == type_utf16be || dt_ == type_utf16le);
        break;
    case Bulk::units_to_utf8:
        bulk_16_to_utf8(c, (st_ & 1u) == 0, st_ == type_utf16be || st_ == type_utf16le);
        break;
    case Bulk::sbcs_to_utf8:
    case Bulk::utf8_to_sbcs:
        // Not worth a table for short text.
        if (!tables_built_ && il < kBulkTableMin) return false;
        if (bulk_ == Bulk::sbcs_to_utf8) {
            if (!tables_built_) build_sbcs_to_utf8(to_utf8_, st_, stab_);
            bulk_sbcs_to_utf8(c, to_utf8_);
        } else {
            if (!tables_built_) build_utf8_to_sbcs(from_utf8_, dt_, dtab_);
            bulk_utf8_to_sbcs(c, from_utf8_);
        }
        tables_built_ = true;
        break;
    case Bulk::none:
        return false;
    }
    ip = c.in;
    il = c.in_left;
    op = c.out;
    ol = c.out_left;
    return true;
}

int Conversion::run(const uint8_t *&ip, size_t &il, uint8_t *&op, size_t &ol, size_t &count) {
    const bool fast = ascii_compatible(st_);
    const bool fast_units = !fast &&
                            (st_ == type_utf16le || st_ == type_utf16be || st_ == type_ucs2le ||
                             st_ == type_ucs2be || st_ == type_wchart) &&
                            (dt_ == type_utf8 || dt_ == type_ascii || dt_ <= type_sbcs_max);
    bulk_ = bulk_for(st_, dt_);
    while (il != 0) {
        if (bulk(ip, il, op, ol)) {
            if (il == 0) break;
        } else if (fast && *ip < 0x80) {
            ascii_run(ip, il, op, ol);
            if (il == 0) break;
            // Stopped before an ASCII byte: the room ran out, which encoding it would
            // report. Decoding it could not fail, so E2BIG is the answer either way.
            if (*ip < 0x80) return E2BIG;
        } else if (fast_units) {
            ascii_units_run(ip, il, op, ol);
            if (il == 0) break;
        }
        uint32_t cp;
        size_t len;
        int e = decode(ip, il, &cp, &len);
        if (e == 0) e = encode(cp, op, ol, count);
        if (e != 0) return e;
        ip += len;
        il -= len;
    }
    return 0;
}

} // namespace

} // namespace dorvex

// ---- Exported interface ----------------------------------------------------

using namespace dorvex;

dorvex_iconv_t dorvex_iconv_open(const char *tocode, const char *fromcode) {
    int to = find_charmap(tocode);
    if (to < 0 || charmaps[to] > 0xCF) return -1;
    int from = find_charmap(fromcode);
    if (from < 0) return -1;
    return static_cast<dorvex_iconv_t>((static_cast<uint32_t>(from) << 16) |
                                       static_cast<uint32_t>(to));
}

size_t dorvex_iconv(dorvex_iconv_t cd, char **in, size_t *inleft, char **out, size_t *outleft,
                    int *err) {
    const uint32_t src = static_cast<uint32_t>(cd) >> 16;
    const uint32_t dst = static_cast<uint32_t>(cd) & 0xFFFF;
    // A descriptor is two offsets into the table: anything else would index outside it.
    if (!is_type_offset(src) || !is_type_offset(dst)) {
        if (err != nullptr) *err = EBADF;
        return static_cast<size_t>(-1);
    }
    if (in == nullptr || *in == nullptr || *inleft == 0) return 0;
    const auto *ip = reinterpret_cast<const uint8_t *>(*in);
    auto *op = reinterpret_cast<uint8_t *>(*out);
    size_t il = *inleft, ol = *outleft, count = 0;
    const uint8_t st = charmaps[src], dt = charmaps[dst];
    // One ASCII character into a little-endian 16-bit target: the context's decoder makes
    // this call for every character of a path. Same cursors and results as the general path
    // (which converts longer runs faster), without setting it up.
    if ((dt == type_ucs2le || dt == type_utf16le) && ol >= 2 && ip[0] < 0x80 &&
        ascii_compatible(st)) {
        op[0] = ip[0];
        op[1] = 0;
        ++ip;
        --il;
        op += 2;
        ol -= 2;
        *in += 1;
        *inleft = il;
        *out = reinterpret_cast<char *>(op);
        *outleft = ol;
        if (il == 0) return 0;
        // The room ran out before another ASCII byte.
        if (ol < 2 && *ip < 0x80) {
            *err = E2BIG;
            return static_cast<size_t>(-1);
        }
    }
    Conversion conv(st, charmaps + src + 1, dt, charmaps + dst + 1);
    int e = conv.run(ip, il, op, ol, count);
    *in += ip - reinterpret_cast<const uint8_t *>(*in);
    *inleft = il;
    *out = reinterpret_cast<char *>(op);
    *outleft = ol;
    if (e != 0) {
        *err = e;
        return static_cast<size_t>(-1);
    }
    return count;
}

int dorvex_iconv_close(dorvex_iconv_t cd) {
    (void)cd;
    return 0;
}

const char *dorvex_iconv_charset(unsigned index) {
    uint32_t pos = 0;
    for (unsigned group = 0; pos < charmaps_size && charmaps[pos] != 0; ++group) {
        const uint32_t first = pos;
        while (charmaps[pos] != 0)
            pos +=
                static_cast<uint32_t>(std::strlen(reinterpret_cast<const char *>(charmaps + pos))) +
                1;
        if (group == index) return reinterpret_cast<const char *>(charmaps + first);
        pos++; // the empty name
        pos += 1 + packed_table_size(charmaps[pos]);
    }
    return nullptr;
}
