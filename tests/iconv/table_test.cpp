// Integrity of the generated charset table and code point list; what users see of them
// (names, descriptors, mappings) is checked through the converter elsewhere.
#include "iconv/charset_table.h"
#include "charset/iconv_internal.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using dorvex::charmaps;
using dorvex::charmaps_size;
using dorvex::legacy_chars;
using dorvex::legacy_chars_count;

TEST(CharsetTable, EndsInAnEmptyNameRightAfterTheLastGroup) {
    // Offsets must fit a descriptor half, and 0xFFFF (a half of -1) must never be one.
    EXPECT_LT(charmaps_size, 0xFFFFu);
    EXPECT_EQ(charmaps[charmaps_size - 1], 0);
    // The walk over all groups lands exactly on that final empty name.
    std::vector<dvtest::CharsetGroup> groups = dvtest::charset_groups();
    ASSERT_FALSE(groups.empty());
    const dvtest::CharsetGroup &last = groups.back();
    EXPECT_EQ(last.type_offset + 1 + (128u - last.type) / 4 * 5, charmaps_size - 1);
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

TEST(LegacyChars, HoldsEveryCodePointThatDiffersFromItsByteAndNoOther) {
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
    // Beyond the two markers, the list is exactly those code points, each once.
    const std::set<uint32_t> held(legacy_chars + 2, legacy_chars + legacy_chars_count);
    EXPECT_EQ(held.size(), legacy_chars_count - 2);
    EXPECT_EQ(held, needed);
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
