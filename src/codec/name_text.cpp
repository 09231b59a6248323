// Name helpers for callers: a record's UTF-16 name as UTF-8, and an 8.3 name as text.
#include <dorvex/dorvex.h>

#include "charset/casefold.h"
#include "charset/charmaps.h"
#include "charset/iconv_bulk.h"

#include <cstring>

namespace dorvex {
namespace {

constexpr uint32_t kReplacement = 0xFFFD;

// The code point at units[i] (joining a pair; a lone surrogate is U+FFFD) and how many
// units it takes.
uint32_t next_code_point(const dv_name &name, unsigned len, unsigned i, unsigned *taken) {
    const uint32_t u = name.units[i];
    *taken = 1;
    if (u < 0xD800 || u > 0xDFFF) return u;
    if (u <= 0xDBFF && i + 1 < len) {
        const uint32_t v = name.units[i + 1];
        if (v >= 0xDC00 && v <= 0xDFFF) {
            *taken = 2;
            return 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00);
        }
    }
    return kReplacement;
}

} // namespace
} // namespace dorvex

using namespace dorvex;

size_t dv_name_to_utf8(const dv_name *name, char *buf, size_t size) {
    size_t total = 0, written = 0;
    // Once a character does not fit, no later one is written either: a prefix, whole.
    bool full = size == 0;
    const unsigned len = name->len > DV_NAME_MAX ? DV_NAME_MAX : name->len;
    for (unsigned i = 0; i < len;) {
        unsigned taken;
        const uint32_t cp = next_code_point(*name, len, i, &taken);
        i += taken;
        uint8_t bytes[4];
        size_t n = 1;
        if (cp < 0x80)
            bytes[0] = static_cast<uint8_t>(cp);
        else
            n = static_cast<size_t>(put_utf8(bytes, cp) - bytes);
        if (!full && written + n < size) {
            std::memcpy(buf + written, bytes, n);
            written += n;
        } else {
            full = true;
        }
        total += n;
    }
    if (size != 0) buf[written] = '\0';
    return total;
}

int dv_shortname_to_name(const char *shortname, unsigned lcase, const char *codepage,
                         dv_name *out) {
    const int offset = find_charmap(codepage ? codepage : "cp437");
    if (offset < 0 || charmaps[offset] > 0x80) return -1;
    const uint8_t type = charmaps[offset];
    const uint8_t *table = charmaps + offset + 1;
    uint8_t bytes[11];
    std::memcpy(bytes, shortname, 11);
    if (bytes[0] == 0x05) bytes[0] = 0xE5; // FAT's stand-in for a first byte of 0xE5
    auto unit = [&](uint8_t b, unsigned flag) {
        uint32_t cp = b;
        if (b >= 0x80 && !sbcs_decode(type, table, b, &cp)) cp = kReplacement;
        const auto u = static_cast<uint16_t>(cp);
        return (lcase & flag) ? lower_ascii(u) : u;
    };
    int base = 8;
    while (base > 0 && bytes[base - 1] == ' ') --base;
    int n = 0;
    bool ended = false;
    for (int i = 0; i < base && !ended; ++i) {
        if (bytes[i] == 0)
            ended = true;
        else
            out->units[n++] = unit(bytes[i], DV_LCASE_BASE);
    }
    if (!ended && bytes[8] != ' ' && bytes[8] != 0) {
        out->units[n++] = '.';
        for (int i = 8; i < 11 && bytes[i] != ' ' && bytes[i] != 0; ++i)
            out->units[n++] = unit(bytes[i], DV_LCASE_EXT);
    }
    out->units[n] = 0;
    out->len = static_cast<uint16_t>(n);
    return n;
}
