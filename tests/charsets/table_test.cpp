// Layout of the charset table: size, group order, names, type bytes and their offsets.
#include "charset_table.h"
#include "iconv_internal.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using dorvex::charmaps;
using dorvex::charmaps_size;
using dorvex::legacy_chars;
using dorvex::legacy_chars_count;

struct ExpectedGroup {
    std::vector<std::string> names;
    uint8_t type;
    uint32_t type_offset; // 0: not fixed by the names alone
};

const std::vector<ExpectedGroup> expected_groups = {
    {{"utf8", "char"}, 0xC8, 11},
    {{"wchart"}, 0xC6, 20},
    {{"ucs2", "ucs2be"}, 0xC4, 34},
    {{"ucs2le"}, 0xC5, 43},
    {{"utf16", "utf16be"}, 0xC2, 59},
    {{"utf16le"}, 0xC1, 69},
    {{"ucs4", "ucs4be", "utf32", "utf32be"}, 0xC0, 97},
    {{"ucs4le", "utf32le"}, 0xC3, 114},
    {{"ascii", "usascii", "iso646", "iso646us"}, 0xC7, 146},
    {{"iso88591", "latin1"}, 0x80, 164},
    {{"iso88592"}, 0x20, 0},
    {{"iso88593"}, 0x20, 0},
    {{"iso88594"}, 0x20, 0},
    {{"iso88595"}, 0x20, 0},
    {{"iso88596"}, 0x20, 0},
    {{"iso88597"}, 0x20, 0},
    {{"iso88598"}, 0x20, 0},
    {{"iso88599"}, 0x50, 0},
    {{"iso885910"}, 0x20, 0},
    {{"iso885911", "tis620"}, 0x20, 0},
    {{"iso885913"}, 0x20, 0},
    {{"iso885914"}, 0x20, 0},
    {{"iso885915", "latin9"}, 0x24, 0},
    {{"iso885916"}, 0x20, 0},
    {{"cp1250", "windows1250"}, 0x00, 0},
    {{"cp1251", "windows1251"}, 0x00, 0},
    {{"cp1252", "windows1252"}, 0x00, 0},
    {{"cp1253", "windows1253"}, 0x00, 0},
    {{"cp1254", "windows1254"}, 0x00, 0},
    {{"cp1255", "windows1255"}, 0x00, 0},
    {{"cp1256", "windows1256"}, 0x00, 0},
    {{"cp1257", "windows1257"}, 0x00, 0},
    {{"cp1258", "windows1258"}, 0x00, 0},
    {{"koi8r"}, 0x00, 0},
    {{"koi8u"}, 0x00, 0},
    {{"cp437"}, 0x00, 0},
    {{"cp850"}, 0x00, 0},
};

TEST(CharsetTable, IsExactly4256BytesEndingInAnEmptyName) {
    EXPECT_EQ(charmaps_size, 4256u);
    EXPECT_EQ(charmaps[charmaps_size - 1], 0);
    // The walk over all groups lands exactly on that final empty name.
    std::vector<dvtest::CharsetGroup> groups = dvtest::charset_groups();
    ASSERT_FALSE(groups.empty());
    const dvtest::CharsetGroup &last = groups.back();
    EXPECT_EQ(last.type_offset + 1 + (128u - last.type) / 4 * 5, charmaps_size - 1);
}

TEST(CharsetTable, GroupsNamesTypesAndOffsetsInOrder) {
    std::vector<dvtest::CharsetGroup> groups = dvtest::charset_groups();
    ASSERT_EQ(groups.size(), expected_groups.size());
    for (size_t i = 0; i < groups.size(); i++) {
        SCOPED_TRACE(expected_groups[i].names[0]);
        EXPECT_EQ(groups[i].names, expected_groups[i].names);
        EXPECT_EQ(groups[i].type, expected_groups[i].type);
        if (expected_groups[i].type_offset != 0) {
            EXPECT_EQ(groups[i].type_offset, expected_groups[i].type_offset);
        }
    }
}

TEST(CharsetTable, NamesHoldOnlyLowerCaseLettersAndDigits) {
    for (const dvtest::CharsetGroup &g : dvtest::charset_groups())
        for (const std::string &n : g.names)
            for (char c : n) EXPECT_TRUE((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) << n;
}

TEST(CharsetTable, TwentyEightSingleByteCharsets) {
    int count = 0;
    for (const dvtest::CharsetGroup &g : dvtest::charset_groups()) count += g.type <= 0x80;
    EXPECT_EQ(count, 28);
}

TEST(LegacyChars, MarkersFirstAndNowhereElse) {
    ASSERT_GE(legacy_chars_count, 2u);
    ASSERT_LE(legacy_chars_count, 1024u);
    EXPECT_EQ(legacy_chars[0], 0);
    EXPECT_EQ(legacy_chars[1], 1);
    for (uint32_t i = 2; i < legacy_chars_count; i++) EXPECT_GT(legacy_chars[i], 1) << i;
}

TEST(LegacyChars, EveryPackedIndexIsInRange) {
    for (const dvtest::CharsetGroup &g : dvtest::charset_groups()) {
        if (g.type > 0x80) continue;
        for (uint32_t i = 0; i < 128u - g.type; i++) {
            uint32_t k = 5 * i / 4, s = (2 * i) % 8;
            uint32_t entry = (g.table[k] >> s) | ((g.table[k + 1] << (8 - s)) & 0x3FFu);
            EXPECT_LT(entry, legacy_chars_count) << g.names[0] << " entry " << i;
        }
    }
}

TEST(LegacyChars, HoldsEveryCodePointThatDiffersFromItsByte) {
    // 708 distinct code points differ from their byte values across the 28 tables.
    std::set<uint32_t> needed;
    for (const dvtest::CharsetGroup &g : dvtest::charset_groups()) {
        if (g.type > 0x80) continue;
        for (int b = 0x80; b <= 0xFF; b++) {
            uint32_t cp = 0;
            if (dorvex::sbcs_decode(g.type, g.table, static_cast<uint8_t>(b), &cp) &&
                cp != static_cast<uint32_t>(b))
                needed.insert(cp);
        }
    }
    EXPECT_EQ(needed.size(), 708u);
}

TEST(Cp437ToUnicode, ReadsTheConvertersCp437Table) {
    dvtest::CharsetGroup cp437 = dvtest::charset_group("cp437");
    for (int b = 0; b <= 0xFF; b++) {
        uint32_t cp = 0;
        ASSERT_TRUE(dorvex::sbcs_decode(cp437.type, cp437.table, static_cast<uint8_t>(b), &cp));
        EXPECT_EQ(dorvex::cp437_to_unicode(static_cast<uint8_t>(b)), cp) << b;
    }
    EXPECT_EQ(dorvex::cp437_to_unicode(0x41), 0x41);
    EXPECT_EQ(dorvex::cp437_to_unicode(0x80), 0x00C7);
    EXPECT_EQ(dorvex::cp437_to_unicode(0xE5), 0x03C3);
    EXPECT_EQ(dorvex::cp437_to_unicode(0xFF), 0x00A0);
}

} // namespace
