// Single-byte charsets end to end through dorvex_iconv: decoding, encoding, '*' for
// missing characters, cursors on failure, and the round trip of every byte through UTF-32.
#include "charset_table.h"

#include <dorvex/iconv.h>

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t fail = static_cast<size_t>(-1);
constexpr int untouched = 0x5EED;

struct Result {
    size_t ret;
    int err;
    size_t consumed;
    Bytes out;
};

Result convert(const char *to, const char *from, const Bytes &in, size_t room = 64) {
    dorvex_iconv_t cd = dorvex_iconv_open(to, from);
    EXPECT_NE(cd, -1) << to << " <- " << from;
    Bytes buf(room + 1, 0xEE);
    char *ip = const_cast<char *>(reinterpret_cast<const char *>(in.data()));
    size_t il = in.size();
    char *op = reinterpret_cast<char *>(buf.data());
    size_t ol = room;
    int err = untouched;
    size_t r = dorvex_iconv(cd, &ip, &il, &op, &ol, &err);
    size_t written = static_cast<size_t>(op - reinterpret_cast<char *>(buf.data()));
    EXPECT_EQ(written + ol, room);
    EXPECT_EQ(static_cast<size_t>(ip - reinterpret_cast<const char *>(in.data())) + il, in.size());
    EXPECT_EQ(buf[room], 0xEE) << "wrote beyond the room";
    return {r, err, in.size() - il, Bytes(buf.begin(), buf.begin() + written)};
}

Bytes be32(std::initializer_list<uint32_t> cps) {
    Bytes b;
    for (uint32_t c : cps)
        for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(c >> shift));
    return b;
}

std::vector<std::string> single_byte_names() {
    std::vector<std::string> out;
    for (const dvtest::CharsetGroup &g : dvtest::charset_groups())
        if (g.type <= 0x80)
            for (const std::string &n : g.names) out.push_back(n);
    return out;
}

TEST(ConvertSbcs, EveryMappedByteRoundTripsThroughUtf32) {
    for (const std::string &name : single_byte_names()) {
        SCOPED_TRACE(name);
        dvtest::CharsetGroup g = dvtest::charset_group(name);
        for (int b = 0x00; b <= 0xFF; b++) {
            uint32_t cp = 0;
            bool mapped = dorvex::sbcs_decode(g.type, g.table, static_cast<uint8_t>(b), &cp);
            Result there = convert("utf32be", name.c_str(), {static_cast<uint8_t>(b)});
            if (!mapped) {
                EXPECT_EQ(there.ret, fail) << b;
                EXPECT_EQ(there.err, EILSEQ) << b;
                EXPECT_EQ(there.consumed, 0u) << b;
                continue;
            }
            ASSERT_EQ(there.ret, 0u) << b;
            ASSERT_EQ(there.out, be32({cp})) << b;
            Result back = convert(name.c_str(), "utf32be", there.out);
            EXPECT_EQ(back.ret, 0u) << b;
            EXPECT_EQ(back.out, Bytes{static_cast<uint8_t>(b)}) << b;
        }
    }
}

// One character each way, as listed for the charsets.
struct Case {
    const char *charset;
    Bytes bytes;
    uint32_t cp;
};

const Case decodes_and_encodes[] = {
    {"iso88592", {0xA1}, 0x0104},  {"iso88592", {0x9A}, 0x009A}, {"iso88592", {0xA0}, 0x00A0},
    {"cp1252", {0x80}, 0x20AC},    {"cp1252", {0xE9}, 0x00E9},   {"latin1", {0xFF}, 0x00FF},
    {"iso88599", {0xD0}, 0x011E},  {"iso88599", {0xCF}, 0x00CF}, {"iso885915", {0xA4}, 0x20AC},
    {"iso885915", {0xA3}, 0x00A3}, {"iso88597", {0xA4}, 0x20AC}, {"koi8r", {0xC1}, 0x0430},
    {"koi8u", {0xAD}, 0x0491},     {"cp437", {0x80}, 0x00C7},    {"cp437", {0xA0}, 0x00E1},
    {"cp437", {0xFF}, 0x00A0},     {"tis620", {0xA0}, 0x00A0},   {"iso885911", {0xA0}, 0x00A0},
};

TEST(ConvertSbcs, ListedBytesDecodeAndEncode) {
    for (const Case &c : decodes_and_encodes) {
        SCOPED_TRACE(c.charset);
        Result d = convert("utf32be", c.charset, c.bytes);
        EXPECT_EQ(d.ret, 0u);
        EXPECT_EQ(d.out, be32({c.cp}));
        Result e = convert(c.charset, "utf32be", be32({c.cp}));
        EXPECT_EQ(e.ret, 0u);
        EXPECT_EQ(e.out, c.bytes);
    }
}

TEST(ConvertSbcs, LatinOneDecodesEveryByteToItself) {
    Bytes all;
    for (int b = 0; b <= 0xFF; b++) all.push_back(static_cast<uint8_t>(b));
    Result r = convert("ucs4le", "latin1", all, 1024);
    ASSERT_EQ(r.ret, 0u);
    ASSERT_EQ(r.out.size(), 1024u);
    for (int b = 0; b <= 0xFF; b++) {
        EXPECT_EQ(r.out[4 * b], b);
        EXPECT_EQ(r.out[4 * b + 1] | r.out[4 * b + 2] | r.out[4 * b + 3], 0);
    }
}

const struct {
    const char *charset;
    uint32_t cp;
} missing[] = {
    {"cp1252", 0x0100},   {"latin1", 0x0100},    {"iso88599", 0x00D0}, {"iso885915", 0x00A4},
    {"koi8r", 0x0491},    {"iso88597", 0x00A4},  {"cp437", 0x0080},    {"cp1252", 0x1F600},
    {"latin1", 0x10FFFF}, {"iso88592", 0x10000}, {"cp850", 0xFFFD},
};

TEST(ConvertSbcs, MissingCharactersBecomeAsteriskAndAreCounted) {
    for (const auto &m : missing) {
        SCOPED_TRACE(m.charset);
        Result one = convert(m.charset, "utf32be", be32({m.cp}));
        EXPECT_EQ(one.ret, 1u);
        EXPECT_EQ(one.out, Bytes{'*'});
        EXPECT_EQ(one.err, untouched);
        Result two = convert(m.charset, "utf32be", be32({m.cp, 'a', m.cp}));
        EXPECT_EQ(two.ret, 2u);
        EXPECT_EQ(two.out, (Bytes{'*', 'a', '*'}));
    }
}

TEST(ConvertSbcs, UnmappedByteStopsAtThatByte) {
    Result r = convert("utf32be", "cp1252", {'a', 0x80, 0x81, 'b'});
    EXPECT_EQ(r.ret, fail);
    EXPECT_EQ(r.err, EILSEQ);
    EXPECT_EQ(r.consumed, 2u);
    EXPECT_EQ(r.out, be32({'a', 0x20AC}));
    for (const char *name : {"tis620", "iso885911"}) {
        Result t = convert("utf32be", name, {0xDB});
        EXPECT_EQ(t.ret, fail) << name;
        EXPECT_EQ(t.err, EILSEQ) << name;
    }
    Result g = convert("utf8", "iso88597", {0xAE});
    EXPECT_EQ(g.err, EILSEQ);
}

TEST(ConvertSbcs, NoRoomIsE2bigEvenForAnAsterisk) {
    for (uint32_t cp : {0x41u, 0xE9u, 0x20ACu, 0x0100u, 0x1F600u}) {
        Result r = convert("cp1252", "utf32be", be32({cp}), 0);
        EXPECT_EQ(r.ret, fail) << cp;
        EXPECT_EQ(r.err, E2BIG) << cp;
        EXPECT_EQ(r.consumed, 0u) << cp;
    }
    // One byte of room: the first character fits, the second finds none.
    Result r = convert("cp1252", "utf32be", be32({0x20AC, 0x0100}), 1);
    EXPECT_EQ(r.ret, fail);
    EXPECT_EQ(r.err, E2BIG);
    EXPECT_EQ(r.consumed, 4u);
    EXPECT_EQ(r.out, Bytes{0x80});
}

TEST(ConvertSbcs, AsciiPassesUnchangedBothWays) {
    Bytes ascii;
    for (int b = 0; b < 0x80; b++) ascii.push_back(static_cast<uint8_t>(b));
    for (const std::string &name : single_byte_names()) {
        Result r = convert(name.c_str(), name.c_str(), ascii, 128);
        EXPECT_EQ(r.ret, 0u) << name;
        EXPECT_EQ(r.out, ascii) << name;
        Result u = convert("utf8", name.c_str(), ascii, 128);
        EXPECT_EQ(u.out, ascii) << name;
    }
}

TEST(ConvertSbcs, BetweenTwoSingleByteCharsets) {
    // Euro sign from Windows-1252 to Latin-9; cp437 box drawing has no cp1252 byte;
    // Ukrainian ghe with upturn (U+0491) between Windows-1251 and KOI8-U.
    EXPECT_EQ(convert("latin9", "windows1252", {0x80}).out, Bytes{0xA4});
    Result r = convert("cp1252", "cp437", {0x80, 0xC4});
    EXPECT_EQ(r.ret, 1u);
    EXPECT_EQ(r.out, (Bytes{0xC7, '*'}));
    EXPECT_EQ(convert("koi8u", "cp1251", {0xE0, 0xB4}).out, (Bytes{0xC1, 0xAD}));
}

TEST(ConvertSbcs, SpelledNamesOpenTheSameCharset) {
    const struct {
        const char *given, *table;
    } names[] = {{"ISO-8859-2", "iso88592"}, {"ISO_8859-15", "iso885915"},
                 {"Windows-1252", "cp1252"}, {"KOI8-R", "koi8r"},
                 {"TIS-620", "iso885911"},   {"IBM-CP437", nullptr},
                 {"CP850", "cp850"},         {"Latin-9", "latin9"}};
    for (const auto &n : names) {
        dorvex_iconv_t cd = dorvex_iconv_open(n.given, "utf8");
        if (n.table == nullptr) {
            EXPECT_EQ(cd, -1) << n.given;
            continue;
        }
        EXPECT_EQ(static_cast<uint32_t>(cd & 0xFFFF), dvtest::charset_group(n.table).type_offset)
            << n.given;
    }
}

} // namespace
