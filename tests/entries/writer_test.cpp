// dv_writeentry: run layout, room accounting, end marks, timestamps.
#include "entries/entry_builders.h"

#include <dorvex/dorvex.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

namespace {

using namespace entrytest;

dv_entry record(const Units &name, const char *name11 = "SHORT   TXT") {
    dv_entry r{};
    r.name.len = static_cast<uint16_t>(name.size());
    for (size_t i = 0; i < name.size(); ++i) r.name.units[i] = name[i];
    r.name.units[name.size()] = 0;
    std::memcpy(r.shortname, name11, 11);
    r.attr = DV_ATTR_ARCHIVE;
    return r;
}

class Writer : public ::testing::Test {
  protected:
    dv_ctx ctx{};
    std::vector<uint8_t> bytes;
    std::vector<dv_entry> recs;
    const dv_entry *rec = nullptr;
    int count = 0;
    uint8_t *cur = nullptr;
    unsigned room = 0;

    // Writes all of `recs` into `slots` entries prefilled with `fill`, offering `offer`.
    int write(unsigned slots, unsigned offer, uint8_t fill = 0xAB) {
        bytes.assign(slots * DV_DIRENT_SIZE, fill);
        rec = recs.data();
        count = static_cast<int>(recs.size());
        cur = bytes.data();
        room = offer;
        return dv_writeentry(&ctx, &rec, &count, &cur, &room);
    }
    int write(unsigned slots) { return write(slots, slots); }
    const uint8_t *at(int i) const { return bytes.data() + i * DV_DIRENT_SIZE; }
    long cursor() const { return (cur - bytes.data()) / DV_DIRENT_SIZE; }
    Units units_of(int i) const {
        Units u;
        for (int off : unit_offsets) u.push_back(static_cast<char16_t>(get16(at(i) + off)));
        return u;
    }
};

Units with_fill(Units u) {
    u.resize(13, u'\xFFFF');
    return u;
}

TEST_F(Writer, ZeroCountWritesNothing) {
    recs = {record(u"x")};
    bytes.assign(4 * DV_DIRENT_SIZE, 0xAB);
    rec = recs.data();
    count = 0;
    cur = bytes.data();
    room = 4;
    EXPECT_EQ(dv_writeentry(&ctx, &rec, &count, &cur, &room), 0);
    EXPECT_EQ(cursor(), 0);
    EXPECT_EQ(room, 4u);
    EXPECT_EQ(rec, recs.data());
    for (uint8_t b : bytes) ASSERT_EQ(b, 0xAB);
}

TEST_F(Writer, RunLayoutByNameLength) {
    const struct {
        size_t len;
        std::vector<uint8_t> seqs; // sequence bytes of the long-name entries
    } cases[] = {
        {0, {0x41}},
        {10, {0x41}},
        {12, {0x41}},
        {13, {0x42, 0x01}},
        {14, {0x42, 0x01}},
        {26, {0x43, 0x02, 0x01}},
        {254, std::vector<uint8_t>{}}, // filled below: 20 entries
        {255, std::vector<uint8_t>{}},
    };
    EXPECT_EQ(dv_entrycount(0, 256), 0u); // refused, as dv_writeentry refuses it
    for (const auto &c : cases) {
        SCOPED_TRACE(c.len);
        Units name;
        for (size_t i = 0; i < c.len; ++i) name.push_back(static_cast<char16_t>(u'a' + i % 26));
        recs = {record(name)};
        const size_t lfns = c.len / 13 + 1;
        ASSERT_EQ(write(static_cast<unsigned>(lfns + 1)), 0);
        EXPECT_EQ(cursor(), static_cast<long>(lfns + 1));
        EXPECT_EQ(dv_entrycount(0, static_cast<unsigned>(c.len)), lfns + 1);
        EXPECT_EQ(dv_entrycount(DV_FLAG_NTCASE, static_cast<unsigned>(c.len)),
                  c.len == 0 ? 1u : (c.len + 12) / 13 + 1);
        EXPECT_EQ(room, 0u);
        EXPECT_EQ(count, 0);
        const uint8_t sum = checksum("SHORT   TXT");
        for (size_t i = 0; i < lfns; ++i) {
            const uint8_t *e = at(static_cast<int>(i));
            const size_t seq = lfns - i;
            if (!c.seqs.empty()) {
                EXPECT_EQ(e[0], c.seqs[i]);
            }
            EXPECT_EQ(e[0], (seq | (i == 0 ? 0x40 : 0)));
            EXPECT_EQ(e[11], 0x0F);
            EXPECT_EQ(e[12], 0);
            EXPECT_EQ(e[13], sum);
            EXPECT_EQ(get16(e + 26), 0);
            Units piece = name.substr((seq - 1) * 13, 13);
            if (piece.size() < 13) piece.push_back(0);
            EXPECT_EQ(units_of(static_cast<int>(i)), with_fill(piece));
        }
        EXPECT_EQ(std::memcmp(at(static_cast<int>(lfns)), "SHORT   TXT", 11), 0);
    }
}

TEST_F(Writer, NameTooLong) {
    recs = {record(u"ok"), record(Units(255, u'n'))};
    recs[1].name.len = 256;
    ctx.err = 0;
    EXPECT_EQ(write(30), -1);
    EXPECT_EQ(ctx.err, ENAMETOOLONG);
    EXPECT_EQ(rec, &recs[1]);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(cursor(), 2);
    EXPECT_EQ(room, 28u);
    EXPECT_EQ(at(2)[0], 0xAB); // nothing of the long record
}

TEST_F(Writer, ShortfallAndRetry) {
    recs = {record(u"ten units!")};
    EXPECT_EQ(write(4, 1), 1);
    EXPECT_EQ(ctx.err, E2BIG);
    EXPECT_EQ(cursor(), 0);
    EXPECT_EQ(room, 1u);
    EXPECT_EQ(count, 1);
    for (uint8_t b : bytes) ASSERT_EQ(b, 0xAB);

    recs = {record(u"first"), record(Units(40, u'x'))}; // 2 entries, then 5
    ctx.err = 0;
    EXPECT_EQ(write(10, 4), 3);
    EXPECT_EQ(ctx.err, E2BIG);
    EXPECT_EQ(rec, &recs[1]);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(cursor(), 2);
    EXPECT_EQ(room, 2u);
    // More room, same arguments: the call picks up where it stopped.
    room += 4;
    EXPECT_EQ(dv_writeentry(&ctx, &rec, &count, &cur, &room), 0);
    EXPECT_EQ(cursor(), 8); // 2 + 5, then the end mark
    EXPECT_EQ(room, 0u);
    EXPECT_EQ(at(2)[0], 0x44);
}

TEST_F(Writer, EndMark) {
    recs = {record(u"a")};
    EXPECT_EQ(write(4, 4, 0xAB), 0); // a used entry after the run is zeroed and counted
    EXPECT_EQ(cursor(), 3);
    EXPECT_EQ(room, 1u);
    for (int i = 0; i < DV_DIRENT_SIZE; ++i) ASSERT_EQ(at(2)[i], 0) << i;
    EXPECT_EQ(at(3)[0], 0xAB);

    bytes.assign(4 * DV_DIRENT_SIZE, 0);
    bytes[2 * DV_DIRENT_SIZE + 5] = 0x77; // first byte 0: already an end mark
    rec = recs.data();
    count = 1;
    cur = bytes.data();
    room = 4;
    EXPECT_EQ(dv_writeentry(&ctx, &rec, &count, &cur, &room), 0);
    EXPECT_EQ(cursor(), 2);
    EXPECT_EQ(room, 2u);
    EXPECT_EQ(at(2)[5], 0x77);

    EXPECT_EQ(write(3, 2), 0); // the room is filled exactly: no end mark
    EXPECT_EQ(cursor(), 2);
    EXPECT_EQ(at(2)[0], 0xAB);
}

TEST_F(Writer, ShortEntryFields) {
    dv_entry r = record(u"x", "FILE    BIN");
    r.attr = 0x1A5; // only the low 8 bits are stored
    r.cluster = 0x12345678;
    r.size = 0xCAFEBABE;
    r.ctime = {981173107, 789000000};
    r.mtime = {981173107, 789000000};
    r.atime = {981173107, 0};
    recs = {r};
    ASSERT_EQ(write(2), 0);
    const uint8_t *e = at(1);
    EXPECT_EQ(std::memcmp(e, "FILE    BIN", 11), 0);
    EXPECT_EQ(e[11], 0xA5);
    EXPECT_EQ(e[12], 0);
    EXPECT_EQ(e[13], 178); // odd second: 100 + 78
    EXPECT_EQ(get16(e + 14), 0x20A3);
    EXPECT_EQ(get16(e + 16), 0x2A43);
    EXPECT_EQ(get16(e + 18), 0x2A43);
    EXPECT_EQ(get16(e + 20), 0x1234);
    EXPECT_EQ(get16(e + 22), 0x20A3); // the odd second and nsec dropped
    EXPECT_EQ(get16(e + 24), 0x2A43);
    EXPECT_EQ(get16(e + 26), 0x5678);
    EXPECT_EQ(get16(e + 28), 0xBABE);
    EXPECT_EQ(get16(e + 30), 0xCAFE);
}

TEST_F(Writer, TimestampsBefore1970LeaveTheirBytes) {
    dv_entry r = record(u"x");
    r.ctime = {-1, 0};
    r.atime = {-86400, 0};
    r.mtime = {INT32_MIN, 0};
    recs = {r};
    ASSERT_EQ(write(2, 2, 0xAB), 0);
    const uint8_t *e = at(1);
    for (int off : {13, 14, 15, 16, 17, 18, 19, 22, 23, 24, 25}) EXPECT_EQ(e[off], 0xAB) << off;
    EXPECT_EQ(e[12], 0);
    EXPECT_EQ(get16(e + 20), 0);
}

// With DV_FLAG_NTCASE: the lower-case flags go to byte 12, an empty name means the short
// entry alone, and a time past 2038 comes from the 64-bit field. Without it, none of that.
TEST_F(Writer, NtFormUnderNtCase) {
    dv_entry r = record(u"", "README  TXT");
    r.lcase = DV_LCASE_BASE | DV_LCASE_EXT | 0x01; // only the two flags are stored
    r.mtime = {-1, 0};
    r.mtime64 = 4102444800; // 2100-01-01
    r.ctime = r.atime = {981173107, 0};
    recs = {r};
    ctx.flags = DV_FLAG_NTCASE;
    ASSERT_EQ(write(2, 2, 0xAB), 0);
    EXPECT_EQ(cursor(), 2); // the short entry and an end mark
    EXPECT_EQ(dv_entrycount(DV_FLAG_NTCASE, 0), 1u);
    EXPECT_EQ(std::memcmp(at(0), "README  TXT", 11), 0);
    EXPECT_EQ(at(0)[12], 0x18);
    EXPECT_EQ(get16(at(0) + 24), (2100 - 1980) << 9 | 1 << 5 | 1);
    EXPECT_EQ(at(1)[0], 0);
    recs = {record(u"thirteen unit")}; // 13 units fill one entry: no terminator entry
    ASSERT_EQ(write(3, 3, 0xAB), 0);
    EXPECT_EQ(cursor(), 3);
    EXPECT_EQ(dv_entrycount(DV_FLAG_NTCASE, 13), 2u);
    EXPECT_EQ(at(0)[0], 0x41);
    EXPECT_EQ(units_of(0), Units(u"thirteen unit"));
    EXPECT_EQ(at(2)[0], 0);
    recs = {r};
    ctx.flags = 0;
    ASSERT_EQ(write(3, 3, 0xAB), 0);
    EXPECT_EQ(at(0)[0], 0x41); // a long-name entry for the empty name
    EXPECT_EQ(at(1)[12], 0);
    EXPECT_EQ(at(1)[24], 0xAB); // the negative 32-bit time leaves its bytes
}

TEST_F(Writer, EmbeddedZeroUnitEndsThePieceCopy) {
    // The writer trusts the name; it copies each piece up to a zero unit.
    dv_entry r = record(Units(20, u'q'));
    r.name.units[3] = 0;
    recs = {r};
    ASSERT_EQ(write(3), 0);
    EXPECT_EQ(units_of(1), with_fill(Units(u"qqq") + Units(1, 0)));
}

} // namespace
