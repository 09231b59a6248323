// Charset names, the descriptors dorvex_iconv_open makes of them, the list of charsets,
// and descriptors it never made.
#include "iconv/convert.h"

#include <dorvex/iconv.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using dvtest::convert;
using dvtest::fail;
using dvtest::untouched;

int type_offset(const char *name) {
    dorvex_iconv_t cd = dorvex_iconv_open(name, "utf8");
    return cd == -1 ? -1 : (cd & 0xFFFF);
}

dorvex_iconv_t descriptor(uint32_t from, uint32_t to) {
    return static_cast<dorvex_iconv_t>(from << 16 | to);
}

// Where the table puts each charset is the generator's business: names are checked by the
// charset they open (the one its listed name opens), never by offset.
TEST(IconvOpen, NamesFindTheirGroup) {
    const struct {
        const char *listed; // as dorvex_iconv_charset lists it; null: no charset
        std::vector<const char *> names;
    } groups[] = {
        {"utf8",
         {"char", "", "UTF-8", "utf-8", "Utf_8", "-utf8", "U.T.F.8", "utf 8",
          "utf\xC3\xA9\x38"}}, // bytes above 0x7F are skipped too
        {"wchart", {"wchart"}},
        {"ucs2", {"UCS-2BE"}},
        {"ucs2le", {"UCS-2LE"}},
        {"utf16", {"utf16be"}},
        {"utf16le", {"UTF-16LE"}},
        {"ucs4", {"ucs4be", "utf32", "utf32be"}},
        {"ucs4le", {"UTF-32LE"}},
        {"ascii", {"US-ASCII", "iso646", "ISO646-US"}},
        {"iso88591", {"ISO-8859-1", "latin1"}},
        {nullptr, {"utf8-", "utf8 ", "utf:8", "utf", "utf[8", "utf8x", "ebcdic", "latin2"}},
    };
    std::set<int> seen;
    for (auto &g : groups) {
        const int offset = g.listed ? type_offset(g.listed) : -1;
        if (g.listed) {
            EXPECT_NE(offset, -1) << g.listed;
            EXPECT_TRUE(seen.insert(offset).second) << g.listed << " opens another's charset";
        }
        for (const char *name : g.names) EXPECT_EQ(type_offset(name), offset) << '"' << name << '"';
    }
}

TEST(IconvOpen, DescriptorHoldsSourceHighTargetLow) {
    const int ascii = type_offset("ascii"), utf8 = type_offset("utf8");
    EXPECT_EQ(dorvex_iconv_open("utf16le", "ascii"), (ascii << 16) | type_offset("utf16le"));
    EXPECT_EQ(dorvex_iconv_open("ucs2le", "utf8"), (utf8 << 16) | type_offset("ucs2le"));
    EXPECT_EQ(dorvex_iconv_open("UCS-2LE", "UTF-8"), dorvex_iconv_open("ucs2le", "utf8"));
    EXPECT_EQ(dorvex_iconv_open("nosuch", "utf8"), -1);
    EXPECT_EQ(dorvex_iconv_open("utf8", "nosuch"), -1);
    EXPECT_EQ(dorvex_iconv_close(dorvex_iconv_open("utf8", "latin1")), 0);
}

TEST(IconvOpen, SpelledNamesOpenTheSameCharset) {
    const struct {
        const char *given, *table;
    } names[] = {{"ISO-8859-2", "iso88592"}, {"ISO_8859-15", "iso885915"},
                 {"Windows-1252", "cp1252"}, {"KOI8-R", "koi8r"},
                 {"TIS-620", "iso885911"},   {"IBM-CP437", nullptr},
                 {"CP850", "cp850"},         {"Latin-9", "latin9"}};
    for (const auto &n : names) {
        const int expected = n.table == nullptr ? -1 : type_offset(n.table);
        if (n.table != nullptr) {
            EXPECT_NE(expected, -1) << n.table;
        }
        EXPECT_EQ(type_offset(n.given), expected) << n.given;
    }
}

// Every charset in listing order: names separated by spaces, charsets by '|'.
const char *const expected_listing =
    "utf8 char|wchart|ucs2 ucs2be|ucs2le|utf16 utf16be|utf16le|ucs4 ucs4be utf32 utf32be|"
    "ucs4le utf32le|ascii usascii iso646 iso646us|iso88591 latin1|iso88592|iso88593|iso88594|"
    "iso88595|iso88596|iso88597|iso88598|iso88599|iso885910|iso885911 tis620|iso885913|"
    "iso885914|iso885915 latin9|iso885916|cp1250 windows1250|cp1251 windows1251|"
    "cp1252 windows1252|cp1253 windows1253|cp1254 windows1254|cp1255 windows1255|"
    "cp1256 windows1256|cp1257 windows1257|cp1258 windows1258|koi8r|koi8u|cp437|cp850";

TEST(IconvCharset, ListsEveryCharsetAndEveryNameOpensBothWays) {
    const int utf8 = type_offset("utf8");
    std::string listing;
    std::set<uint32_t> offsets;
    unsigned count = 0, single_byte = 0;
    for (const char *p; count < 100 && (p = dorvex_iconv_charset(count)) != nullptr; count++) {
        std::vector<std::string> names;
        for (; *p != 0; p += std::strlen(p) + 1) names.emplace_back(p);
        ASSERT_FALSE(names.empty()) << count;
        const int offset = type_offset(names[0].c_str());
        ASSERT_NE(offset, -1) << names[0];
        for (size_t k = 0; k < names.size(); k++) {
            const char *n = names[k].c_str();
            listing += (k > 0 ? " " : count > 0 ? "|" : "") + names[k];
            EXPECT_EQ(dorvex_iconv_open(n, "utf8"), (utf8 << 16) | offset) << n;
            EXPECT_EQ(dorvex_iconv_open("utf8", n), (offset << 16) | utf8) << n;
        }
        EXPECT_TRUE(offsets.insert(static_cast<uint32_t>(offset)).second) << names[0];
        // Only a single-byte charset converts a byte above 0x7F on its own.
        bool alone = false;
        for (int b = 0x80; b <= 0xFF && !alone; b++)
            alone = convert("utf32be", names[0].c_str(), {static_cast<uint8_t>(b)}).ret == 0;
        single_byte += alone;
    }
    EXPECT_EQ(listing, expected_listing);
    EXPECT_EQ(count, 37u);
    EXPECT_EQ(single_byte, 28u);
    EXPECT_EQ(dorvex_iconv_charset(UINT_MAX), nullptr);
    // Exactly those offsets make a descriptor half that dorvex_iconv accepts.
    std::set<uint32_t> sources, targets;
    for (uint32_t v = 0; v <= 0xFFFF; v++) {
        int err = 0;
        if (dorvex_iconv(descriptor(v, utf8), nullptr, nullptr, nullptr, nullptr, &err) == 0)
            sources.insert(v);
        if (dorvex_iconv(descriptor(utf8, v), nullptr, nullptr, nullptr, nullptr, &err) == 0)
            targets.insert(v);
    }
    EXPECT_EQ(sources, offsets);
    EXPECT_EQ(targets, offsets);
}

TEST(Iconv, RefusesDescriptorsOpenNeverReturnedAndTouchesNothing) {
    // Halves taken from real descriptors, so that a regenerated table moves them along.
    const uint32_t last = static_cast<uint32_t>(type_offset("cp850"));
    const uint32_t utf8 = static_cast<uint32_t>(type_offset("utf8")),
                   ascii = static_cast<uint32_t>(type_offset("ascii")),
                   utf16le = static_cast<uint32_t>(type_offset("utf16le")),
                   latin1 = static_cast<uint32_t>(type_offset("latin1"));
    const dorvex_iconv_t bad[] = {
        -1, 0, INT32_MIN, 0x7FFF7FFF, descriptor(1, utf16le), descriptor(ascii, 0xFFFF),
        // Just next to valid offsets: the empty name before each, then a name or a packed
        // table after.
        descriptor(ascii, utf16le - 1), descriptor(ascii, utf16le + 1),
        descriptor(ascii - 1, utf16le), descriptor(ascii + 1, utf16le), descriptor(utf8 - 1, utf8),
        descriptor(utf8, utf8 + 1), descriptor(latin1 - 1, utf8), descriptor(utf8, latin1 + 1),
        descriptor(last + 1, utf8), descriptor(utf8, last - 1)};
    for (dorvex_iconv_t cd : bad) {
        SCOPED_TRACE(testing::Message() << "descriptor 0x" << std::hex << cd);
        char text[] = "ab", outbuf[4] = {1, 2, 3, 4};
        char *in = text, *out = outbuf;
        size_t inleft = 2, outleft = 4;
        int err = untouched;
        EXPECT_EQ(dorvex_iconv(cd, &in, &inleft, &out, &outleft, &err), fail);
        EXPECT_EQ(err, EBADF);
        EXPECT_EQ(dorvex_iconv(cd, &in, &inleft, &out, &outleft, nullptr), fail);
        err = untouched; // refused before the empty-input shortcut
        EXPECT_EQ(dorvex_iconv(cd, nullptr, &inleft, &out, &outleft, &err), fail);
        EXPECT_EQ(err, EBADF);
        EXPECT_TRUE(in == text && inleft == 2 && out == outbuf && outleft == 4);
        EXPECT_EQ(std::memcmp(outbuf, "\1\2\3\4", 4), 0);
        EXPECT_STREQ(text, "ab");
    }
}

} // namespace
