// The single-byte codec: mapped and unmapped bytes, round trips, the identity run.
#include "iconv/charset_table.h"

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

} // namespace
