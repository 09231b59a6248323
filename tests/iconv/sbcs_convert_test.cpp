// Single-byte charsets end to end through dorvex_iconv: decoding, encoding, '*' for
// missing characters, cursors on failure, and the round trip of every byte through UTF-32.
#include "iconv/charset_table.h"
#include "iconv/convert.h"

#include <dorvex/iconv.h>

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using dvtest::Bytes;
using dvtest::convert;
using dvtest::fail;
using dvtest::Result;
using dvtest::untouched;

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

// Published values (Unicode consortium mapping files, RFC 1489/2319), a handful per charset.
struct Published {
    const char *charset;
    int byte;
    uint32_t cp;
};

const Published published[] = {
    {"iso88591", 0x80, 0x0080},  {"iso88591", 0xA4, 0x00A4},    {"iso88591", 0xFF, 0x00FF},
    {"latin1", 0xE9, 0x00E9},    {"iso88592", 0x9A, 0x009A},    {"iso88592", 0xA0, 0x00A0},
    {"iso88592", 0xA1, 0x0104},  {"iso88592", 0xB1, 0x0105},    {"iso88592", 0xFF, 0x02D9},
    {"iso88593", 0xA1, 0x0126},  {"iso88593", 0xC5, 0x010A},    {"iso88593", 0xFF, 0x02D9},
    {"iso88594", 0xA1, 0x0104},  {"iso88594", 0xA2, 0x0138},    {"iso88594", 0xFF, 0x02D9},
    {"iso88595", 0xA1, 0x0401},  {"iso88595", 0xB0, 0x0410},    {"iso88595", 0xF0, 0x2116},
    {"iso88595", 0xFF, 0x045F},  {"iso88596", 0xAC, 0x060C},    {"iso88596", 0xBB, 0x061B},
    {"iso88596", 0xC1, 0x0621},  {"iso88596", 0xF2, 0x0652},    {"iso88597", 0xA1, 0x2018},
    {"iso88597", 0xA4, 0x20AC},  {"iso88597", 0xA5, 0x20AF},    {"iso88597", 0xAA, 0x037A},
    {"iso88597", 0xC1, 0x0391},  {"iso88597", 0xFE, 0x03CE},    {"iso88598", 0xAA, 0x00D7},
    {"iso88598", 0xBA, 0x00F7},  {"iso88598", 0xDF, 0x2017},    {"iso88598", 0xE0, 0x05D0},
    {"iso88598", 0xFD, 0x200E},  {"iso88598", 0xFE, 0x200F},    {"iso88599", 0xCF, 0x00CF},
    {"iso88599", 0xD0, 0x011E},  {"iso88599", 0xDD, 0x0130},    {"iso88599", 0xFD, 0x0131},
    {"iso88599", 0xFE, 0x015F},  {"iso885910", 0xA1, 0x0104},   {"iso885910", 0xBD, 0x2015},
    {"iso885910", 0xFF, 0x0138}, {"iso885911", 0xA0, 0x00A0},   {"iso885911", 0xA1, 0x0E01},
    {"iso885911", 0xDF, 0x0E3F}, {"iso885911", 0xFB, 0x0E5B},   {"tis620", 0xA0, 0x00A0},
    {"tis620", 0xA1, 0x0E01},    {"iso885913", 0xA1, 0x201D},   {"iso885913", 0xA8, 0x00D8},
    {"iso885913", 0xFF, 0x2019}, {"iso885914", 0xA1, 0x1E02},   {"iso885914", 0xD0, 0x0174},
    {"iso885914", 0xFF, 0x00FF}, {"iso885915", 0xA3, 0x00A3},   {"iso885915", 0xA4, 0x20AC},
    {"iso885915", 0xA6, 0x0160}, {"iso885915", 0xBC, 0x0152},   {"latin9", 0xBE, 0x0178},
    {"iso885916", 0xA1, 0x0104}, {"iso885916", 0xA4, 0x20AC},   {"iso885916", 0xAA, 0x0218},
    {"cp1250", 0x80, 0x20AC},    {"cp1250", 0x8A, 0x0160},      {"cp1250", 0xA1, 0x02C7},
    {"cp1250", 0xFF, 0x02D9},    {"cp1251", 0x80, 0x0402},      {"cp1251", 0x88, 0x20AC},
    {"cp1251", 0xB9, 0x2116},    {"cp1251", 0xC0, 0x0410},      {"windows1251", 0xFF, 0x044F},
    {"cp1252", 0x80, 0x20AC},    {"cp1252", 0x8E, 0x017D},      {"cp1252", 0x9F, 0x0178},
    {"cp1252", 0xE9, 0x00E9},    {"windows1252", 0xA0, 0x00A0}, {"cp1253", 0x80, 0x20AC},
    {"cp1253", 0xA1, 0x0385},    {"cp1253", 0xA2, 0x0386},      {"cp1253", 0xC1, 0x0391},
    {"cp1254", 0x80, 0x20AC},    {"cp1254", 0xD0, 0x011E},      {"cp1254", 0xFD, 0x0131},
    {"cp1255", 0x80, 0x20AC},    {"cp1255", 0xA4, 0x20AA},      {"cp1255", 0xC0, 0x05B0},
    {"cp1255", 0xE0, 0x05D0},    {"cp1255", 0xFD, 0x200E},      {"cp1256", 0x80, 0x20AC},
    {"cp1256", 0x81, 0x067E},    {"cp1256", 0xC1, 0x0621},      {"cp1256", 0xFF, 0x06D2},
    {"cp1257", 0x80, 0x20AC},    {"cp1257", 0xA8, 0x00D8},      {"cp1257", 0xFF, 0x02D9},
    {"cp1258", 0x80, 0x20AC},    {"cp1258", 0xC3, 0x0102},      {"cp1258", 0xD2, 0x0309},
    {"cp1258", 0xF5, 0x01A1},    {"koi8r", 0x80, 0x2500},       {"koi8r", 0x9A, 0x00A0},
    {"koi8r", 0xA3, 0x0451},     {"koi8r", 0xB3, 0x0401},       {"koi8r", 0xC1, 0x0430},
    {"koi8r", 0xE1, 0x0410},     {"koi8u", 0xA4, 0x0454},       {"koi8u", 0xA6, 0x0456},
    {"koi8u", 0xAD, 0x0491},     {"koi8u", 0xB4, 0x0404},       {"koi8u", 0xBD, 0x0490},
    {"cp437", 0x80, 0x00C7},     {"cp437", 0x9E, 0x20A7},       {"cp437", 0xA0, 0x00E1},
    {"cp437", 0xB0, 0x2591},     {"cp437", 0xE1, 0x00DF},       {"cp437", 0xFB, 0x221A},
    {"cp437", 0xFF, 0x00A0},     {"cp850", 0x80, 0x00C7},       {"cp850", 0x9B, 0x00F8},
    {"cp850", 0xD5, 0x0131},     {"cp850", 0xEE, 0x00AF},       {"cp850", 0xFF, 0x00A0},
};

TEST(ConvertSbcs, PublishedValuesDecodeAndEncode) {
    for (const Published &p : published) {
        SCOPED_TRACE(testing::Message() << p.charset << " byte " << p.byte);
        const Bytes byte = {static_cast<uint8_t>(p.byte)};
        Result d = convert("utf32be", p.charset, byte);
        EXPECT_EQ(d.ret, 0u);
        EXPECT_EQ(d.out, be32({p.cp}));
        Result e = convert(p.charset, "utf32be", be32({p.cp}));
        EXPECT_EQ(e.ret, 0u);
        EXPECT_EQ(e.out, byte);
    }
}

// Every byte 0x80-0xFF of every charset, against Python's codecs module: FNV-1a over the
// 32-bit code points it gives them in order, 0xFFFFFFFF for a byte it does not map.
const struct {
    const char *charset;
    uint32_t digest;
} upper_halves[] = {
    {"iso88591", 0x5FDA0245},  {"iso88592", 0xCCE0D88E},  {"iso88593", 0x6AF37E06},
    {"iso88594", 0xDC9A39A1},  {"iso88595", 0x729A02E1},  {"iso88596", 0x56017793},
    {"iso88597", 0x2C084705},  {"iso88598", 0xAE94D70C},  {"iso88599", 0xDCD8FC4A},
    {"iso885910", 0xCC84C1AE}, {"iso885911", 0xDB343291}, {"iso885913", 0xB5C3C3CC},
    {"iso885914", 0x9B7C78E4}, {"iso885915", 0xF9979BA7}, {"iso885916", 0xC5DDB6CB},
    {"cp1250", 0x58528594},    {"cp1251", 0x5651B1EA},    {"cp1252", 0xB1C47A06},
    {"cp1253", 0x38B43578},    {"cp1254", 0x9411D89A},    {"cp1255", 0xE7D13B2F},
    {"cp1256", 0xC50737A0},    {"cp1257", 0x873296A5},    {"cp1258", 0x70AEBAD7},
    {"koi8r", 0x65636B29},     {"koi8u", 0x3D5789BA},     {"cp437", 0x674327C0},
    {"cp850", 0x4ECD0C50},
};

TEST(ConvertSbcs, UpperHalvesDecodeAsPythonsCodecsDo) {
    for (const auto &u : upper_halves) {
        uint32_t h = 2166136261u;
        for (int b = 0x80; b <= 0xFF; b++) {
            Result r = convert("utf32be", u.charset, {static_cast<uint8_t>(b)});
            uint32_t cp = 0xFFFFFFFF;
            if (r.ret == 0 && r.out.size() == 4)
                cp = uint32_t{r.out[0]} << 24 | r.out[1] << 16 | r.out[2] << 8 | r.out[3];
            else
                EXPECT_EQ(r.err, EILSEQ) << u.charset << " byte " << b;
            h = (h ^ cp) * 16777619u;
        }
        EXPECT_EQ(h, u.digest) << u.charset;
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
    {"latin1", 0x10FFFF}, {"iso88592", 0x10000}, {"cp850", 0xFFFD},    {"cp1252", 0x0081},
    {"iso88592", 0x011F}, {"iso885911", 0x0E3B},
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

} // namespace
