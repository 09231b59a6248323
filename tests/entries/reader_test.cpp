// dv_readentry on hand-built entry arrays: runs, carrying, checksums, positions, 8.3 names.
#include "entries/entry_builders.h"

#include <dorvex/dorvex.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using namespace entrytest;

class Reader : public ::testing::Test {
  protected:
    dv_ctx ctx{}; // the reader looks only at `lenient`
    std::vector<uint8_t> bytes;
    std::vector<dv_entry> recs = std::vector<dv_entry>(8);
    const uint8_t *cur = nullptr;
    int count = 0;
    dv_entry *rec = nullptr;
    int room = 0;

    void load(const std::vector<Entry> &entries) { bytes = flatten(entries); }
    int entries() const { return static_cast<int>(bytes.size() / DV_DIRENT_SIZE); }
    // Reads from entry `first` to the end of the array.
    int read(int record_room = 8, int first = 0) {
        cur = bytes.data() + first * DV_DIRENT_SIZE;
        count = entries() - first;
        rec = recs.data();
        room = record_room;
        return dv_readentry(&ctx, &cur, &count, &rec, &room);
    }
    long cursor() const { return (cur - bytes.data()) / DV_DIRENT_SIZE; }
    long produced() const { return rec - recs.data(); }
};

std::vector<Entry> cat(std::vector<Entry> a, const std::vector<Entry> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Entry end_mark{};

TEST_F(Reader, EndMarkFirstChangesNothing) {
    load({end_mark, short_entry("FOO     TXT")});
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(cursor(), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(produced(), 0);
    EXPECT_EQ(room, 8);
}

TEST_F(Reader, ZeroCountOrRoomChangesNothing) {
    load({short_entry("FOO     TXT")});
    EXPECT_EQ(read(0), 0);
    EXPECT_EQ(cursor(), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(produced(), 0);
}

TEST_F(Reader, JoinsRunToShortEntry) {
    ShortFields f;
    f.attr = DV_ATTR_DIRECTORY;
    f.cluster = 0xFFFF0123; // the high word is used in full
    f.size = 0x89ABCDEF;
    f.cdate = 0x2A43;
    f.ctime = 0x20A3;
    f.ctime_ms = 178;
    f.mdate = 0x2A43;
    f.mtime = 0x20A3;
    f.adate = 0x2A43;
    const Units name = u"A long file name.txt"; // 20 units: entries 0x42, 0x01
    load(cat(run(name, "ALONGF~1TXT", f), {short_entry("NEXT       ")}));
    ASSERT_EQ(bytes[0], 0x42);
    EXPECT_EQ(read(1), 0);
    EXPECT_EQ(cursor(), 3);
    EXPECT_EQ(count, 1);
    ASSERT_EQ(produced(), 1);
    EXPECT_EQ(room, 0);
    const dv_entry &r = recs[0];
    EXPECT_EQ(name_of(r), name);
    EXPECT_EQ(r.name.units[r.name.len], 0);
    EXPECT_STREQ(r.shortname, "ALONGF~1TXT");
    EXPECT_EQ(r.cluster, 0xFFFF0123u);
    EXPECT_EQ(r.size, 0x89ABCDEFu);
    EXPECT_EQ(r.attr, DV_ATTR_DIRECTORY);
    EXPECT_EQ(r.ctime.sec, 981173107);
    EXPECT_EQ(r.ctime.nsec, 780000000);
    EXPECT_EQ(r.mtime.sec, 981173106);
    EXPECT_EQ(r.mtime.nsec, 0);
    EXPECT_EQ(r.atime.sec, 981158400); // midnight
    EXPECT_EQ(r.atime.nsec, 0);
}

TEST_F(Reader, RunCutByEndOfArrayIsCarried) {
    const auto entries = run(u"A long file name.txt", "ALONGF~1TXT");
    load({short_entry("FIRST      "), entries[0], entries[1]});
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(cursor(), 3);
    EXPECT_EQ(count, 2); // the carry count, not 0
    EXPECT_EQ(produced(), 1);

    // The caller moves the two entries in front of the next buffer.
    load({entries[0], entries[1], entries[2]});
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(count, 0);
    ASSERT_EQ(produced(), 1);
    EXPECT_EQ(name_of(recs[0]), u"A long file name.txt");
}

TEST_F(Reader, RunFollowedByEndMark) {
    const auto entries = run(u"A long file name.txt", "ALONGF~1TXT");
    load({short_entry("FIRST      "), entries[0], entries[1], end_mark, entries[2]});
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(cursor(), 3); // on the end mark
    EXPECT_EQ(count, 4);    // from the run's first entry to the end of the array
    EXPECT_EQ(produced(), 1);
}

TEST_F(Reader, StopsWhenRecordRoomIsUsedUp) {
    load(cat(run(u"first name", "FIRST      "), run(u"second", "SECOND     ")));
    EXPECT_EQ(read(1), 0);
    EXPECT_EQ(cursor(), 2);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(produced(), 1);
    EXPECT_EQ(room, 0);
}

TEST_F(Reader, ShortNamesStandingAlone) {
    const struct {
        const char *name11;
        Units want;
    } cases[] = {
        {"README  TXT", u"README.TXT"},
        {"A B        ", u"A B"},
        {"FOO     Q D", u"FOO.Q"},
        {"NOEXT    XY", u"NOEXT"},
        {".          ", u"."},
        {"..         ", u".."},
        {"        EXT", u".EXT"},
        {"\x05OO     BAR", u"\x0005OO.BAR"},
        {"\x82T\xE5     \x9C  ", u"\u00E9T\u03C3.\u00A3"}, // code page 437
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name11);
        load({short_entry(c.name11)});
        recs[0].name.len = 999;
        ASSERT_EQ(read(), 0);
        ASSERT_EQ(produced(), 1);
        EXPECT_EQ(name_of(recs[0]), c.want);
        EXPECT_EQ(recs[0].name.units[recs[0].name.len], 0);
        EXPECT_EQ(std::string(recs[0].shortname), c.name11); // raw bytes kept
    }
}

TEST_F(Reader, NulInShortName) {
    load({short_entry("AB\0DE   TXT")});
    ASSERT_EQ(read(), 0);
    ASSERT_EQ(produced(), 1);
    EXPECT_EQ(name_of(recs[0]), u"AB");
    for (int i = 2; i < 12; ++i) EXPECT_EQ(recs[0].shortname[i], 0) << i;

    // The checksum still covers all 11 stored bytes.
    auto entries = run(u"long", "AB\0DE   TXT");
    load(entries);
    ASSERT_EQ(read(), 0);
    ASSERT_EQ(produced(), 1);
    EXPECT_EQ(name_of(recs[0]), u"long");
}

TEST_F(Reader, MissingFirstEntryLeavesEmptyName) {
    // 0x42 followed directly by the short entry: positions 0-12 were cleared, never written.
    const auto entries = run(u"A long file name.txt", "ALONGF~1TXT");
    load({entries[0], entries[2]});
    ASSERT_EQ(read(), 0);
    ASSERT_EQ(produced(), 1);
    EXPECT_EQ(recs[0].name.len, 0);
}

TEST_F(Reader, NameFillingItsLastEntryEndsAtClearedPosition) {
    for (const Units &name : {Units(13, u'x'), Units(26, u'y')}) {
        load(run(name, "X          "));
        ASSERT_EQ(read(), 0);
        ASSERT_EQ(produced(), 1);
        EXPECT_EQ(name_of(recs[0]), name);
    }
}

TEST_F(Reader, NamesEndAtEveryPlaceOfABlock) {
    for (size_t len = 1; len <= 27; ++len) {
        const Units name(len, u'n');
        load(run(name, "N          "));
        ASSERT_EQ(read(), 0);
        EXPECT_EQ(name_of(recs[0]), name) << len;
    }
}

TEST_F(Reader, LongestNameAndPositionLimits) {
    Units name;
    for (int i = 0; i < 255; ++i) name.push_back(static_cast<char16_t>(0x100 + i));
    auto entries = run(name, "LONGEST    ");
    ASSERT_EQ(entries.size(), 21u);
    ASSERT_EQ(entries[0][0], 0x54);
    recs[0].name.units[256] = 0x1234;
    for (uint8_t lenient : {0, 1}) {
        ctx.lenient = lenient;
        load(entries);
        ASSERT_EQ(read(), 0);
        ASSERT_EQ(produced(), 1);
        EXPECT_EQ(name_of(recs[0]), name);
        EXPECT_EQ(recs[0].name.units[256], 0); // cleared; the fill at 256-259 is not stored
    }

    // A name ending in that top block, zeros (no fill) after its terminator: the first
    // zero ends it.
    const uint8_t sum = checksum("LONGEST    ");
    entries[0] = lfn_entry(0x54, sum, Units{u'a', u'b', 0, 0, u'c', 0});
    load(entries);
    ASSERT_EQ(read(), 0);
    Units shorter = name;
    shorter.resize(247);
    shorter += u"ab";
    EXPECT_EQ(name_of(recs[0]), shorter);

    // Sequence numbers 21 and 0 put units outside the name, whatever the mode.
    for (uint8_t seq : {0x55, 0x40, 0x5F}) {
        for (uint8_t lenient : {0, 1}) {
            SCOPED_TRACE(testing::Message() << int(seq) << " lenient " << int(lenient));
            ctx.lenient = lenient;
            load({short_entry("BEFORE     "), lfn_entry(seq, checksum("X          "), u"abc"),
                  short_entry("X          ")});
            EXPECT_EQ(read(), -1);
            EXPECT_EQ(cursor(), 1); // on the offending entry
            EXPECT_EQ(count, 2);
            EXPECT_EQ(produced(), 1); // the record before it stays produced
            EXPECT_EQ(room, 7);
        }
    }
}

TEST_F(Reader, MoreContinuationEntriesThanTheRunAllows) {
    const uint8_t sum = checksum("X          ");
    for (uint8_t lenient : {0, 1}) {
        ctx.lenient = lenient;
        load({lfn_entry(0x41, sum, u"abc"), lfn_entry(0x01, sum, u"def"),
              short_entry("X          ")});
        EXPECT_EQ(read(), -1);
        EXPECT_EQ(cursor(), 1);
        EXPECT_EQ(count, 2);
    }
}

TEST_F(Reader, NameWithoutTerminatorIsRejected) {
    // Twenty full entries: 260 units, no zero among positions 0-255.
    const uint8_t sum = checksum("X          ");
    std::vector<Entry> entries;
    for (int s = 20; s >= 1; --s)
        entries.push_back(
            lfn_entry(static_cast<uint8_t>(s | (s == 20 ? 0x40 : 0)), sum, Units(13, u'z')));
    entries.push_back(short_entry("X          "));
    for (uint8_t lenient : {0, 1}) {
        ctx.lenient = lenient;
        load(entries);
        EXPECT_EQ(read(), -1);
        EXPECT_EQ(cursor(), 20); // the short entry
        EXPECT_EQ(count, 1);
        EXPECT_EQ(produced(), 0);
    }
}

TEST_F(Reader, ShortEntryChecksumMismatch) {
    auto entries = run(u"long name", "LONGNA~1   ");
    entries.back()[10] = '1'; // the short entry no longer matches its run
    auto all = cat(cat({short_entry("BEFORE     ")}, entries), {short_entry("AFTER      ")});

    ctx.lenient = 0;
    load(all);
    EXPECT_EQ(read(), -1);
    EXPECT_EQ(cursor(), 2);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(produced(), 1);
    EXPECT_EQ(room, 7);

    // Leniently the stale long name is dropped and the live 8.3 entry stands alone, as
    // after a rename that touched only the 8.3 name; a deleted one goes with its run.
    ctx.lenient = 1;
    load(all);
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(count, 0);
    ASSERT_EQ(produced(), 3);
    EXPECT_EQ(name_of(recs[0]), u"BEFORE");
    EXPECT_EQ(name_of(recs[1]), u"LONGNA~1");
    EXPECT_EQ(std::string(recs[1].shortname), "LONGNA~1  1");
    EXPECT_EQ(name_of(recs[2]), u"AFTER");

    all[all.size() - 2][0] = 0xE5;
    load(all);
    EXPECT_EQ(read(), 0);
    ASSERT_EQ(produced(), 2); // BEFORE and AFTER; nothing for the deleted pair
    EXPECT_EQ(name_of(recs[1]), u"AFTER");
}

TEST_F(Reader, ContinuationChecksumMismatch) {
    auto entries = run(u"A long file name.txt", "ALONGF~1TXT");
    entries[1][13] ^= 0x5A;

    ctx.lenient = 0;
    load(entries);
    EXPECT_EQ(read(), -1);
    EXPECT_EQ(cursor(), 1);
    EXPECT_EQ(count, 2);

    ctx.lenient = 1; // the run is dropped and the short entry stands alone
    load(entries);
    EXPECT_EQ(read(), 0);
    ASSERT_EQ(produced(), 1);
    EXPECT_EQ(name_of(recs[0]), u"ALONGF~1.TXT");
}

TEST_F(Reader, StrayAndInterruptedRunsAreSkipped) {
    const auto a = run(u"A long file name.txt", "ALONGF~1TXT");
    const auto b = run(u"other", "OTHER      ");
    // A continuation entry with no run start, then a run cut short by a new run.
    for (uint8_t lenient : {0, 1}) {
        ctx.lenient = lenient;
        load({a[1], a[0], b[0], b[1]});
        EXPECT_EQ(read(), 0);
        EXPECT_EQ(count, 0);
        ASSERT_EQ(produced(), 1);
        EXPECT_EQ(name_of(recs[0]), u"other");
    }
}

TEST_F(Reader, DeletedFiles) {
    auto entries = run(u"A long file name.txt", "ALONGF~1TXT");
    for (auto &e : entries) e[0] = 0xE5;
    auto all = cat(entries, {short_entry("\xE5OST    TXT")});

    ctx.lenient = 0; // each 0xE5 entry starts a run; the short entry fails the checksum
    load(all);
    EXPECT_EQ(read(), -1);
    EXPECT_EQ(cursor(), 2);

    ctx.lenient = 1;
    load(all);
    EXPECT_EQ(read(), 0);
    ASSERT_EQ(produced(), 1); // only the deleted file without a long name
    EXPECT_EQ(name_of(recs[0]), u"\u03C3OST.TXT");

    // With DV_FLAG_DELETED: the run's order places its units and its checksum names the
    // lost first byte ('A'); a short entry alone gets '_'. Both in either mode, cut anywhere.
    ctx.flags = DV_FLAG_DELETED;
    for (uint8_t lenient : {0, 1}) {
        ctx.lenient = lenient;
        for (int room = 1; room <= 2; ++room) {
            load(all);
            ASSERT_EQ(read(room), 0);
            ASSERT_EQ(produced(), room);
            EXPECT_EQ(name_of(recs[0]), u"A long file name.txt");
            EXPECT_EQ(recs[0].shortname[0], '\xE5');
            EXPECT_EQ(recs[0].deleted, 1);
        }
        EXPECT_EQ(name_of(recs[1]), u"_OST.TXT");
        // Slots a writer skipped (0xE5, then zeros) hold no file: passed over, runs kept.
        Entry blank{};
        blank[0] = 0xE5;
        load(cat({blank}, cat(entries, {blank, short_entry("\xE5OST    TXT")})));
        ASSERT_EQ(read(8), 0);
        ASSERT_EQ(produced(), 2);
        EXPECT_EQ(name_of(recs[0]), u"A long file name.txt");
        EXPECT_EQ(name_of(recs[1]), u"_OST.TXT");
        load(all);
        count = 2; // the array ends inside the deleted run: it is carried whole
        cur = bytes.data();
        rec = recs.data();
        room = 8;
        EXPECT_EQ(dv_readentry(&ctx, &cur, &count, &rec, &room), 0);
        EXPECT_EQ(cursor(), 2);
        EXPECT_EQ(count, 2);
        EXPECT_EQ(produced(), 0);
    }
    // The long name comes from the run whatever its checksum says of the lost byte; an
    // empty run leaves the 8.3 name, its first byte recovered when the checksum names a
    // valid one, else '_'.
    for (size_t i = 0; i + 1 < entries.size(); ++i) entries[i][13] = checksum("\x01LONGF~1TXT");
    load(entries);
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(name_of(recs[0]), u"A long file name.txt");
    for (size_t i = 0; i + 1 < entries.size(); ++i)
        for (int k : {1, 3, 5, 7, 9, 14}) entries[i][k] = entries[i][k + 1] = 0;
    load(entries);
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(name_of(recs[0]), u"_LONGF~1.TXT");
    for (size_t i = 0; i + 1 < entries.size(); ++i) entries[i][13] = checksum("ALONGF~1TXT");
    load(entries);
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(name_of(recs[0]), u"ALONGF~1.TXT");
    ctx.flags = 0;
}

// The lower-case flags of byte 12 apply with DV_FLAG_NTCASE to names of short entries
// standing alone, never to long names; the record always carries the byte, the deleted mark
// and 64-bit times.
TEST_F(Reader, LowerCaseFlagsDeletedMarkAnd64BitTimes) {
    const struct {
        uint32_t flags;
        uint8_t lcase;
        Units want;
    } cases[] = {
        {0, 0x18, u"README.TXT"},
        {DV_FLAG_NTCASE, 0x08, u"readme.TXT"},
        {DV_FLAG_NTCASE, 0x10, u"README.txt"},
        {DV_FLAG_NTCASE, 0x18, u"readme.txt"},
        {DV_FLAG_NTCASE, 0x00, u"README.TXT"},
    };
    for (const auto &c : cases) {
        Entry e = short_entry("README  TXT");
        e[DV_DIRENT_RESERVED] = c.lcase;
        e[DV_DIRENT_MDATE] = 0x21;                   // 2050-01-01
        e[DV_DIRENT_MDATE + 1] = (2050 - 1980) << 1; // year in bits 9-15
        e[DV_DIRENT_ADATE] = e[DV_DIRENT_ADATE + 1] = 0;
        ctx.flags = c.flags;
        load({e});
        ASSERT_EQ(read(), 0);
        EXPECT_EQ(name_of(recs[0]), c.want);
        EXPECT_EQ(recs[0].lcase, c.lcase);
        EXPECT_EQ(recs[0].deleted, 0);
        EXPECT_EQ(recs[0].mtime.sec, -1);
        EXPECT_EQ(recs[0].mtime64, 2524608000);
        EXPECT_EQ(recs[0].ctime64, recs[0].ctime.sec);
        EXPECT_EQ(recs[0].atime64, DV_TIME_NONE); // a zero date
    }
    load({short_entry("\xE5OST    TXT")});
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(recs[0].deleted, 1);
    auto entries = run(u"Mixed.Case", "MIXED   CAS");
    entries.back()[DV_DIRENT_RESERVED] = 0x18; // outside the checksum
    load(entries);
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(name_of(recs[0]), u"Mixed.Case");
    ctx.flags = 0;
}

TEST_F(Reader, LongNameAttributeIsTheLowFourBits) {
    for (uint8_t attr : {0x0F, 0x3F, 0xFF}) {
        auto entries = run(u"long", "LONG       ");
        entries[0][11] = attr;
        load(entries);
        ASSERT_EQ(read(), 0);
        ASSERT_EQ(produced(), 1);
        EXPECT_EQ(name_of(recs[0]), u"long");
    }
}

TEST(Checksum, CoversEveryStoredByte) {
    // Written through the library: a run whose checksum byte is the reference value.
    const char *names[] = {"README  TXT", "README\0 TXT", "           ",
                           "\377\377\377\377\377\377\377\377\377\377\377"};
    EXPECT_NE(checksum(names[0]), checksum(names[1]));
    dv_ctx ctx{};
    for (const char *n : names) {
        dv_entry r{};
        std::memcpy(r.shortname, n, 11);
        const dv_entry *rp = &r;
        int count = 1;
        uint8_t buf[3 * DV_DIRENT_SIZE] = {};
        uint8_t *out = buf;
        unsigned room = 3;
        ASSERT_EQ(dv_writeentry(&ctx, &rp, &count, &out, &room), 0);
        EXPECT_EQ(buf[13], checksum(n));
    }
}

} // namespace

namespace {

// A record that a run produced is cleared where the run wrote nothing, whatever the caller's
// array held before: the same bytes from a zeroed and from a garbage-filled array, and zero
// units past the run's entries. Also for lenient runs with entries missing or given up.
TEST_F(Reader, RecordsFromRunsDoNotDependOnWhatTheArrayHeld) {
    const auto full = run(u"A long file name.txt", "ALONGF~1TXT");
    auto stale = run(u"long name", "LONGNA~1   ");
    stale.back()[10] = '1';
    const std::vector<std::vector<Entry>> cases = {
        cat(run(u"résumé report 00010 final.txt", "N0000001TXT"), run(u"x", "X          ")),
        {full[0], full[2]},                               // the lower block missing
        run(std::u16string(255, u'z'), "Z          "),    // twenty entries
        cat(run(u"thirteen unit", "T          "), stale), // a run given up, then 8.3
    };
    ctx.lenient = 1;
    for (const auto &c : cases) {
        load(c);
        std::vector<std::vector<uint8_t>> seen;
        for (uint8_t fill : {0x00, 0xA5}) {
            std::memset(static_cast<void *>(recs.data()), fill, recs.size() * sizeof(dv_entry));
            ASSERT_EQ(read(), 0);
            const auto *b = reinterpret_cast<const uint8_t *>(recs.data());
            seen.emplace_back(b, b + produced() * sizeof(dv_entry));
            for (long i = 0; i < produced(); ++i) EXPECT_EQ(recs[i].name.units[DV_NAME_MAX], 0);
        }
        EXPECT_TRUE(seen[0] == seen[1]);
    }
}

} // namespace
