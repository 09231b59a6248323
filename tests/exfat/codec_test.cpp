// exFAT structures built by hand: boot sector range checks, other sector sizes, up-case
// tables, entry sets and timestamps.
#include "common/bytes.h"
#include "exfat/exfat_internal.h"

#include <dorvex/dorvex.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace dorvex;

// A valid boot region: 1 GiB of 4-KiB clusters in `sector_shift` sectors, checksum filled.
std::vector<uint8_t> boot_region(uint8_t sector_shift) {
    const size_t ss = size_t{1} << sector_shift;
    std::vector<uint8_t> r(ss * kExfatBootSectors);
    uint8_t *s = r.data();
    const uint8_t head[11] = {0xEB, 0x76, 0x90, 'E', 'X', 'F', 'A', 'T', ' ', ' ', ' '};
    std::memcpy(s, head, sizeof head);
    const uint8_t cluster_shift = static_cast<uint8_t>(12 - sector_shift);
    const uint32_t clusters = 261000, fat_len = uint32_t((clusters + 2) * 4 / ss + 1);
    store_le32(s + 72, uint32_t{1} << (30 - sector_shift));
    store_le32(s + 80, 24);
    store_le32(s + 84, fat_len);
    store_le32(s + 88, 24 + fat_len);
    store_le32(s + 92, clusters);
    store_le32(s + 96, 4);
    store_le16(s + 104, 0x0100);
    s[108] = sector_shift;
    s[109] = cluster_shift;
    s[110] = 1;
    store_le16(s + 510, 0xAA55);
    const uint32_t sum = exfat_boot_checksum(s, uint32_t(ss));
    for (size_t i = 0; i < ss; i += 4) store_le32(s + 11 * ss + i, sum);
    return r;
}

TEST(ExfatBoot, EverySectorSizeChecks) {
    for (uint8_t shift = 9; shift <= 12; ++shift) {
        std::vector<uint8_t> r = boot_region(shift);
        ExfatBoot b{};
        ASSERT_EQ(check_exfat_boot_region(r.data(), r.size(), &b), ExfatCode::ok) << int(shift);
        EXPECT_EQ(b.sector_size(), 1u << shift);
        EXPECT_EQ(b.cluster_size(), 4096u);
        // Too few bytes for this sector size's twelve sectors.
        EXPECT_EQ(check_exfat_boot_region(r.data(), r.size() - 1, &b), ExfatCode::short_buffer);
        // Sector 10 is covered by the checksum whatever the sector size.
        r[10 * (size_t{1} << shift) + 5] ^= 1;
        EXPECT_EQ(check_exfat_boot_region(r.data(), r.size(), &b), ExfatCode::bad_checksum);
    }
}

struct FieldCase {
    size_t at;
    int width;
    uint32_t value;
    ExfatCode code;
};

// One field changed at a time in a valid sector; the checksum is not looked at.
TEST(ExfatBoot, RangeChecksGiveTheirReason) {
    const FieldCase cases[] = {
        {0, 1, 0xE9, ExfatCode::bad_jump},
        {7, 1, 'X', ExfatCode::bad_name},
        {63, 1, 1, ExfatCode::must_be_zero},
        {510, 2, 0xAA56, ExfatCode::bad_signature},
        {108, 1, 8, ExfatCode::bad_sector_shift},
        {108, 1, 13, ExfatCode::bad_sector_shift},
        {109, 1, 17, ExfatCode::bad_cluster_shift}, // 512 << 16 = 32 MiB is the largest
        {110, 1, 0, ExfatCode::bad_fat_count},
        {110, 1, 3, ExfatCode::bad_fat_count},
        {106, 2, kExfatFlagActiveFat, ExfatCode::bad_fat_count}, // the second of one FAT
        {72, 4, 2047, ExfatCode::volume_too_small},
        {80, 4, 23, ExfatCode::fat_misplaced},
        {110, 1, 2, ExfatCode::fat_misplaced}, // the second FAT would run into the heap
        {84, 4, 100, ExfatCode::fat_too_short},
        {92, 4, 0, ExfatCode::bad_cluster_count},
        {92, 4, 0xFFFFFFF6, ExfatCode::bad_cluster_count},
        {92, 4, 261200, ExfatCode::fat_too_short},
        {88, 4, 0xFFFFFFFF, ExfatCode::heap_past_volume},
        {96, 4, 1, ExfatCode::bad_root_cluster},
        {96, 4, 261002, ExfatCode::bad_root_cluster},
        {96, 4, 261001, ExfatCode::ok}, // the last cluster
        {106, 2, kExfatFlagVolumeDirty | kExfatFlagMediaFailure, ExfatCode::ok},
    };
    for (const FieldCase &c : cases) {
        std::vector<uint8_t> r = boot_region(9);
        if (c.width == 1) r[c.at] = uint8_t(c.value);
        if (c.width == 2) store_le16(r.data() + c.at, uint16_t(c.value));
        if (c.width == 4) store_le32(r.data() + c.at, c.value);
        ExfatBoot b{};
        EXPECT_EQ(parse_exfat_boot(r.data(), 512, &b), c.code)
            << c.at << "=" << c.value << ": "
            << exfat_code_text(parse_exfat_boot(r.data(), 512, &b));
    }
    ExfatBoot b{};
    std::vector<uint8_t> r = boot_region(9);
    EXPECT_EQ(parse_exfat_boot(r.data(), 511, &b), ExfatCode::short_buffer);
    store_le16(r.data() + 106, kExfatFlagVolumeDirty | kExfatFlagMediaFailure);
    ASSERT_EQ(parse_exfat_boot(r.data(), 512, &b), ExfatCode::ok);
    EXPECT_TRUE(b.dirty() && b.media_failure());
}

// ---------------------------------------------------------------------------------------

std::vector<uint8_t> le16s(std::initializer_list<uint16_t> units) {
    std::vector<uint8_t> b;
    for (uint16_t u : units) b.insert(b.end(), {uint8_t(u), uint8_t(u >> 8)});
    return b;
}

TEST(ExfatUpcase, DecodesRunsAndRefusesBadTables) {
    struct Case {
        std::vector<uint8_t> bytes;
        ExfatCode code;
        uint16_t unit, maps_to; // spot check
    };
    const Case cases[] = {
        {le16s({0xFFFF, 0x61, 'A', 'B', 'C'}), ExfatCode::ok, 'b', 'B'},
        {le16s({0xFFFF, 0x61, 'A', 'B', 'C'}), ExfatCode::ok, 'd', 'd'}, // past the table
        {le16s({0xFFFF, 0x61, 'A', 'B', 'C'}), ExfatCode::ok, '`', '`'}, // inside the run
        {le16s({5, 0xFFFF}), ExfatCode::ok, 1, 0xFFFF},                  // a last 0xFFFF maps
        {le16s({0xFFFF, 0, 7}), ExfatCode::ok, 0, 7},                    // an empty run
        {le16s({0xFFFF, 0xFFFF, 0xFFFF, 2}), ExfatCode::table_overflow, 'a', 'A'},
        {le16s({0xFFFF, 0xFFFF, 1, 0xFFFF, 1, 9}), ExfatCode::table_overflow, 'a', 'A'},
        {le16s({0xFFFF, 0xFFFF, 0x41}), ExfatCode::ok, 0xFFFF, 0x41}, // exactly 65536
        {{0x41, 0x00, 0x42}, ExfatCode::odd_length, 'a', 'A'},
    };
    std::vector<uint16_t> table(kExfatUpcaseUnits);
    for (const Case &c : cases) {
        const uint32_t sum = exfat_table_checksum(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(decode_exfat_upcase(c.bytes.data(), c.bytes.size(), sum, table.data(),
                                      kExfatUpcaseUnits),
                  c.code);
        EXPECT_EQ(table[c.unit], c.maps_to) << std::hex << c.unit;
    }
    // A short caller table keeps what fits; the wrong checksum gives the fallback.
    const std::vector<uint8_t> t = le16s({0xFFFF, 0x61, 'Z', 'B', 'C', 0xFFFF, 0x100, 0x2C});
    uint16_t small[0x62];
    const uint32_t sum = exfat_table_checksum(t.data(), t.size());
    ASSERT_EQ(decode_exfat_upcase(t.data(), t.size(), sum, small, 0x62), ExfatCode::ok);
    EXPECT_EQ(small[0x61], 'Z');
    EXPECT_EQ(decode_exfat_upcase(t.data(), t.size(), sum + 1, small, 0x62),
              ExfatCode::table_checksum);
    EXPECT_EQ(small[0x61], 'A');
    EXPECT_EQ(exfat_table_checksum(nullptr, 0), 0u);
    const uint8_t two[2] = {1, 2}; // rotate right 1, add 2
    EXPECT_EQ(exfat_table_checksum(two, 2), 0x80000002u);
}

// ---------------------------------------------------------------------------------------

using Entries = std::vector<uint8_t>;

// A File set named `name` with `extra` benign secondaries, checksum filled.
Entries file_set(const std::u16string &name, const ExfatUpcase &up, int extra = 0) {
    const int names = int((name.size() + 14) / 15);
    Entries e(size_t(2 + names + extra) * kExfatEntrySize);
    e[0] = 0x85;
    e[1] = uint8_t(1 + names + extra);
    store_le16(&e[4], 0x20);
    store_le32(&e[8], 0x5A4320A3);
    e[20] = 150;
    e[22] = 0x88;
    uint8_t *st = &e[32];
    st[0] = 0xC0;
    st[1] = kExfatStreamAllocationPossible | kExfatStreamNoFatChain;
    st[3] = uint8_t(name.size());
    store_le16(st + 4,
               exfat_name_hash(reinterpret_cast<const uint16_t *>(name.data()), name.size(), up));
    store_le32(st + 8, 1000);
    store_le32(st + 20, 7);
    store_le32(st + 24, 4096);
    for (int i = 0; i < names; ++i) {
        uint8_t *n = &e[size_t(2 + i) * 32];
        n[0] = 0xC1;
        for (size_t k = 0; k < 15 && i * 15 + k < name.size(); ++k)
            store_le16(n + 2 + 2 * k, name[size_t(i) * 15 + k]);
    }
    for (int i = 0; i < extra; ++i) e[size_t(2 + names + i) * 32] = 0xE0;
    store_le16(&e[2], exfat_set_checksum(e.data(), e.size() / 32, false));
    return e;
}

void resum(Entries &e) {
    store_le16(&e[2], exfat_set_checksum(e.data(), e[1] + 1u, false));
}

TEST(ExfatSets, ParsesFileSets) {
    std::vector<uint16_t> map(kExfatUpcaseUnits);
    exfat_default_upcase(map.data(), kExfatUpcaseUnits);
    const ExfatUpcase up{map.data(), kExfatUpcaseUnits};
    const std::u16string name = u"A file name of thirty-one units";
    Entries e = file_set(name, up, 1);
    e.resize(e.size() + 32); // an end mark after the set
    ExfatSet s{};
    ASSERT_EQ(parse_exfat_set(e.data(), e.size() / 32, &up, &s), ExfatCode::ok);
    EXPECT_EQ(s.kind, ExfatSetKind::file);
    EXPECT_TRUE(s.in_use);
    EXPECT_EQ(s.entries, 6);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(s.name), size_t(s.name_len)), name);
    EXPECT_EQ(s.stream_flags & kExfatStreamNoFatChain, kExfatStreamNoFatChain);
    EXPECT_EQ(s.first_cluster, 7u);
    EXPECT_EQ(s.data_length, 4096u);
    EXPECT_EQ(s.valid_length, 1000u);
    EXPECT_EQ(s.attributes, 0x20);
    EXPECT_EQ(s.create.tenms, 150);
    EXPECT_EQ(s.create.utc_offset, 0x88);
    // The hash is over up-cased units: a name differing only in case hashes the same.
    const std::u16string upper = u"A FILE NAME OF THIRTY-ONE UNITS";
    EXPECT_EQ(exfat_name_hash(reinterpret_cast<const uint16_t *>(upper.data()), upper.size(), up),
              s.name_hash);
    ASSERT_EQ(parse_exfat_set(e.data() + 6 * 32, 1, &up, &s), ExfatCode::ok);
    EXPECT_EQ(s.kind, ExfatSetKind::end);

    // A deleted set keeps its old checksum: it is checked as if still in use.
    Entries d = file_set(u"gone.txt", up);
    for (size_t i = 0; i < d.size(); i += 32) d[i] &= 0x7F;
    ASSERT_EQ(parse_exfat_set(d.data(), d.size() / 32, &up, &s), ExfatCode::ok);
    EXPECT_EQ(s.kind, ExfatSetKind::file);
    EXPECT_FALSE(s.in_use);
    EXPECT_EQ(s.name_len, 8);
}

TEST(ExfatSets, RefusesMalformedSets) {
    std::vector<uint16_t> map(kExfatUpcaseUnits);
    exfat_default_upcase(map.data(), kExfatUpcaseUnits);
    const ExfatUpcase up{map.data(), kExfatUpcaseUnits};
    struct Case {
        const char *what;
        void (*damage)(Entries &);
        bool resum;
        ExfatCode code;
    };
    const Case cases[] = {
        {"checksum", [](Entries &e) { e[40] ^= 1; }, false, ExfatCode::set_checksum},
        {"no stream", [](Entries &e) { e[32] = 0xE0; }, true, ExfatCode::stream_missing},
        {"count past run", [](Entries &e) { e[1] = 4; }, false, ExfatCode::set_past_run},
        {"count 1", [](Entries &e) { e[1] = 1; }, true, ExfatCode::bad_secondary_count},
        {"count 19", [](Entries &e) { e[1] = 19; }, false, ExfatCode::bad_secondary_count},
        {"name too long", [](Entries &e) { e[35] = 31; }, true, ExfatCode::name_past_entries},
        {"name entry missing", [](Entries &e) { e[64] = 0xE1; }, true,
         ExfatCode::name_past_entries},
        {"name empty", [](Entries &e) { e[35] = 0; }, true, ExfatCode::name_empty},
        {"end inside", [](Entries &e) { e[96] = 0; }, false, ExfatCode::primary_inside_set},
        {"primary inside", [](Entries &e) { e[96] = 0x85; }, false, ExfatCode::primary_inside_set},
        {"deleted secondary", [](Entries &e) { e[96] = 0x60; }, false, ExfatCode::in_use_mismatch},
        {"critical secondary", [](Entries &e) { e[96] = 0xC2; }, true, ExfatCode::unknown_critical},
        {"valid past data", [](Entries &e) { store_le32(&e[32 + 8], 4097); }, true,
         ExfatCode::valid_past_data},
        {"hash", [](Entries &e) { e[64 + 2] = 'X'; }, true, ExfatCode::name_hash},
        {"case only", [](Entries &e) { e[64 + 2] = 'n'; }, true, ExfatCode::ok},
    };
    for (const Case &c : cases) {
        Entries e = file_set(u"name", up, 1);
        c.damage(e);
        if (c.resum) resum(e);
        ExfatSet s{};
        EXPECT_EQ(parse_exfat_set(e.data(), e.size() / 32, &up, &s), c.code) << c.what;
        EXPECT_EQ(s.entries, c.code == ExfatCode::ok ? 4 : 1) << c.what;
    }
}

TEST(ExfatSets, ParsesRootAndOtherPrimaries) {
    struct Case {
        Entries bytes;
        ExfatCode code;
        ExfatSetKind kind;
        int entries;
    };
    Entries label(32), long_label(32), guid(32), padding(64), unknown(32), invalid(32), orphan(32),
        free(32);
    label[0] = 0x83;
    label[1] = 3;
    store_le16(&label[2], 'S');
    store_le16(&label[6], 'D');
    long_label[0] = 0x83;
    long_label[1] = 12;
    guid[0] = 0xA0;
    store_le16(&guid[2], exfat_set_checksum(guid.data(), 1, false));
    padding[0] = 0xA1;
    padding[1] = 1;
    padding[32] = 0xE1;
    store_le16(&padding[2], exfat_set_checksum(padding.data(), 2, false));
    unknown[0] = 0x84;
    invalid[0] = 0x80;
    orphan[0] = 0xC1;
    free[0] = 0x03; // a removed label
    const Case cases[] = {
        {label, ExfatCode::ok, ExfatSetKind::label, 1},
        {long_label, ExfatCode::label_too_long, ExfatSetKind::label, 1},
        {guid, ExfatCode::ok, ExfatSetKind::benign, 1},
        {padding, ExfatCode::ok, ExfatSetKind::benign, 2},
        {unknown, ExfatCode::unknown_critical, ExfatSetKind::unused, 1},
        {invalid, ExfatCode::invalid_entry, ExfatSetKind::unused, 1},
        {orphan, ExfatCode::orphan_secondary, ExfatSetKind::unused, 1},
        {free, ExfatCode::ok, ExfatSetKind::unused, 1},
    };
    for (const Case &c : cases) {
        ExfatSet s{};
        EXPECT_EQ(parse_exfat_set(c.bytes.data(), c.bytes.size() / 32, nullptr, &s), c.code)
            << std::hex << int(c.bytes[0]);
        EXPECT_EQ(s.kind, c.kind) << std::hex << int(c.bytes[0]);
        EXPECT_EQ(s.entries, c.entries) << std::hex << int(c.bytes[0]);
    }
    ExfatSet s{};
    ASSERT_EQ(parse_exfat_set(label.data(), 1, nullptr, &s), ExfatCode::ok);
    EXPECT_EQ(s.name_len, 3);
    EXPECT_EQ(s.name[0], 'S');
    EXPECT_EQ(s.name[2], 'D');
    EXPECT_EQ(parse_exfat_set(label.data(), 0, nullptr, &s), ExfatCode::short_buffer);
    EXPECT_EQ(parse_exfat_set(padding.data(), 1, nullptr, &s), ExfatCode::set_past_run);
}

// ---------------------------------------------------------------------------------------

TEST(ExfatTime, OffsetGivesUtcElseWallClock) {
    struct Case {
        uint32_t stamp;
        uint8_t tenms, offset;
        int64_t sec;
        int32_t nsec;
        bool utc;
    };
    const uint32_t t = 0x2A4320A3; // 2001-02-03 04:05:06 = 981173106 as wall clock
    const Case cases[] = {
        {t, 0, 0x00, 981173106, 0, false},
        {t, 0, 0x08, 981173106, 0, false}, // an offset without its valid bit is ignored
        {t, 0, 0x80, 981173106, 0, true},
        {t, 0, 0x88, 981173106 - 2 * 3600, 0, true},  // UTC+2: local is ahead
        {t, 0, 0xFC, 981173106 + 3600, 0, true},      // UTC-1
        {t, 0, 0xC0, 981173106 + 16 * 3600, 0, true}, // -64 quarters, the lowest
        {t, 0, 0xBF, 981173106 - 63 * 900, 0, true},  // +63 quarters, the highest
        {t, 150, 0x00, 981173107, 500000000, false},  // 10-ms steps carry into seconds
        {t, 199, 0x80, 981173107, 990000000, true},
        {t, 200, 0x80, DV_TIME_NONE, 0, false},
        {0x2A4020A3, 0, 0x80, DV_TIME_NONE, 0, false}, // day 0
        {0x2A0320A3, 0, 0x80, DV_TIME_NONE, 0, false}, // month 0
    };
    for (const Case &c : cases) {
        const ExfatTime r = decode_exfat_time(ExfatStamp{c.stamp, c.tenms, c.offset});
        EXPECT_EQ(r.sec, c.sec) << std::hex << c.stamp << " " << int(c.offset);
        EXPECT_EQ(r.nsec, c.nsec) << std::hex << c.stamp;
        EXPECT_EQ(r.utc, c.utc) << std::hex << c.stamp;
    }
}

} // namespace
