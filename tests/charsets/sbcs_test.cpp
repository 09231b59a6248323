// The single-byte codec: mapped and unmapped bytes, round trips, published values.
#include "charset_table.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace {

using dvtest::CharsetGroup;

bool decode(const CharsetGroup &g, int byte, uint32_t *cp) {
    return dorvex::sbcs_decode(g.type, g.table, static_cast<uint8_t>(byte), cp);
}

int encode(const CharsetGroup &g, uint32_t cp) {
    return dorvex::sbcs_encode(g.type, g.table, cp);
}

std::vector<CharsetGroup> single_byte_groups() {
    std::vector<CharsetGroup> out;
    for (const CharsetGroup &g : dvtest::charset_groups())
        if (g.type <= 0x80) out.push_back(g);
    return out;
}

struct Span {
    int first, last;
};

// Bytes 0x80-0xFF that have no code point; every other byte of every charset has one.
const std::map<std::string, std::vector<Span>> unmapped = {
    {"iso88593",
     {{0xA5, 0xA5},
      {0xAE, 0xAE},
      {0xBE, 0xBE},
      {0xC3, 0xC3},
      {0xD0, 0xD0},
      {0xE3, 0xE3},
      {0xF0, 0xF0}}},
    {"iso88596",
     {{0xA1, 0xA3},
      {0xA5, 0xAB},
      {0xAE, 0xBA},
      {0xBC, 0xBE},
      {0xC0, 0xC0},
      {0xDB, 0xDF},
      {0xF3, 0xFF}}},
    {"iso88597", {{0xAE, 0xAE}, {0xD2, 0xD2}, {0xFF, 0xFF}}},
    {"iso88598", {{0xA1, 0xA1}, {0xBF, 0xDE}, {0xFB, 0xFC}, {0xFF, 0xFF}}},
    {"iso885911", {{0xDB, 0xDE}, {0xFC, 0xFF}}},
    {"cp1250", {{0x81, 0x81}, {0x83, 0x83}, {0x88, 0x88}, {0x90, 0x90}, {0x98, 0x98}}},
    {"cp1251", {{0x98, 0x98}}},
    {"cp1252", {{0x81, 0x81}, {0x8D, 0x8D}, {0x8F, 0x90}, {0x9D, 0x9D}}},
    {"cp1253",
     {{0x81, 0x81},
      {0x88, 0x88},
      {0x8A, 0x8A},
      {0x8C, 0x90},
      {0x98, 0x98},
      {0x9A, 0x9A},
      {0x9C, 0x9F},
      {0xAA, 0xAA},
      {0xD2, 0xD2},
      {0xFF, 0xFF}}},
    {"cp1254", {{0x81, 0x81}, {0x8D, 0x90}, {0x9D, 0x9E}}},
    {"cp1255",
     {{0x81, 0x81},
      {0x8A, 0x8A},
      {0x8C, 0x90},
      {0x9A, 0x9A},
      {0x9C, 0x9F},
      {0xCA, 0xCA},
      {0xD9, 0xDF},
      {0xFB, 0xFC},
      {0xFF, 0xFF}}},
    {"cp1257",
     {{0x81, 0x81},
      {0x83, 0x83},
      {0x88, 0x88},
      {0x8A, 0x8A},
      {0x8C, 0x8C},
      {0x90, 0x90},
      {0x98, 0x98},
      {0x9A, 0x9A},
      {0x9C, 0x9C},
      {0x9F, 0x9F},
      {0xA1, 0xA1},
      {0xA5, 0xA5}}},
    {"cp1258", {{0x81, 0x81}, {0x8A, 0x8A}, {0x8D, 0x90}, {0x9A, 0x9A}, {0x9D, 0x9E}}},
};

TEST(Sbcs, UnmappedBytesAreExactlyTheListedOnes) {
    for (const CharsetGroup &g : single_byte_groups()) {
        std::set<int> expected;
        auto it = unmapped.find(g.names[0]);
        if (it != unmapped.end())
            for (Span s : it->second)
                for (int b = s.first; b <= s.last; b++) expected.insert(b);
        std::set<int> actual;
        for (int b = 0x80; b <= 0xFF; b++) {
            uint32_t cp = 0xDEADBEEF;
            if (!decode(g, b, &cp)) actual.insert(b);
        }
        EXPECT_EQ(actual, expected) << g.names[0];
    }
}

TEST(Sbcs, EveryMappedByteRoundTripsAndNoTwoShareACodePoint) {
    for (const CharsetGroup &g : single_byte_groups()) {
        std::map<uint32_t, int> seen;
        for (int b = 0x80; b <= 0xFF; b++) {
            uint32_t cp = 0;
            if (!decode(g, b, &cp)) continue;
            EXPECT_GE(cp, 0x80u) << g.names[0] << " byte " << b;
            EXPECT_LE(cp, 0xFFFFu) << g.names[0] << " byte " << b;
            EXPECT_TRUE(seen.emplace(cp, b).second)
                << g.names[0] << ": bytes " << seen[cp] << " and " << b << " share U+" << std::hex
                << cp;
            EXPECT_EQ(encode(g, cp), b) << g.names[0] << " U+" << std::hex << cp;
        }
    }
}

TEST(Sbcs, AsciiAndIdentityRunMapToThemselves) {
    for (const CharsetGroup &g : single_byte_groups()) {
        for (uint32_t c = 0; c < 0x80u + g.type; c++) {
            uint32_t cp = 0xDEADBEEF;
            ASSERT_TRUE(decode(g, static_cast<int>(c), &cp)) << g.names[0];
            EXPECT_EQ(cp, c) << g.names[0];
            EXPECT_EQ(encode(g, c), static_cast<int>(c)) << g.names[0];
        }
    }
}

TEST(Sbcs, TypeByteIsTheIdentityRunRoundedDownToFour) {
    for (const CharsetGroup &g : single_byte_groups()) {
        uint32_t run = 0;
        uint32_t cp = 0;
        while (run < 128 && decode(g, static_cast<int>(0x80 + run), &cp) && cp == 0x80 + run) run++;
        EXPECT_EQ(g.type, run & ~3u) << g.names[0];
    }
}

TEST(Sbcs, CodePointsAboveFfffAndUnknownOnesHaveNoByte) {
    for (const CharsetGroup &g : single_byte_groups()) {
        for (uint32_t cp : {0x10000u, 0x1F600u, 0x10FFFFu, 0x110000u, 0xFFFFFFFFu})
            EXPECT_EQ(encode(g, cp), -1) << g.names[0];
        EXPECT_EQ(encode(g, 0xFFFD), -1) << g.names[0];
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

TEST(Sbcs, PublishedValuesDecodeAndEncode) {
    for (const Published &p : published) {
        CharsetGroup g = dvtest::charset_group(p.charset);
        uint32_t cp = 0;
        EXPECT_TRUE(decode(g, p.byte, &cp)) << p.charset << " " << p.byte;
        EXPECT_EQ(cp, p.cp) << p.charset << " byte 0x" << std::hex << p.byte;
        EXPECT_EQ(encode(g, p.cp), p.byte) << p.charset << " U+" << std::hex << p.cp;
    }
}

// Code points that the charset lacks encode to nothing (the converter writes '*').
struct Missing {
    const char *charset;
    uint32_t cp;
};

const Missing missing[] = {
    {"latin1", 0x0100},   {"iso88599", 0x00D0},  {"iso885915", 0x00A4}, {"cp1252", 0x0100},
    {"cp1252", 0x0081},   {"iso88597", 0x00A4},  {"koi8r", 0x0491},     {"cp437", 0x0080},
    {"iso88592", 0x011F}, {"iso885911", 0x0E3B},
};

TEST(Sbcs, CodePointsTheCharsetLacksHaveNoByte) {
    for (const Missing &m : missing)
        EXPECT_EQ(encode(dvtest::charset_group(m.charset), m.cp), -1)
            << m.charset << " U+" << std::hex << m.cp;
}

TEST(Sbcs, TisIsASecondNameOfIso885911) {
    EXPECT_EQ(dvtest::charset_group("tis620").type_offset,
              dvtest::charset_group("iso885911").type_offset);
    uint32_t cp = 0;
    EXPECT_FALSE(decode(dvtest::charset_group("tis620"), 0xDB, &cp));
}

TEST(Sbcs, Cp437AndCp850NoBreakSpaceEncodesToFf) {
    EXPECT_EQ(encode(dvtest::charset_group("cp437"), 0x00A0), 0xFF);
    EXPECT_EQ(encode(dvtest::charset_group("cp850"), 0x00A0), 0xFF);
    EXPECT_EQ(encode(dvtest::charset_group("cp437"), 0x00E1), 0xA0);
}

} // namespace
