// The codec's limits, each at its edge and one past it, in one place: name lengths of 255
// and 256 units, long-name runs of 20 and 21 entries, the first and last FAT dates and
// the ends of the 32-bit second count, and converter output room 0, 1, exact - 1, exact.
#include "support/fat_image.h"
#include "support/tracking_alloc.h"

#include <dorvex/dorvex.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <string>
#include <vector>

using namespace dvtest;

namespace {

constexpr uint32_t kUtf8Slash = DV_CHARSET_UTF8 | DV_FLAG_SLASH | DV_FLAG_UTF16;

struct Ctx {
    TrackingAlloc alloc;
    dv_ctx *ctx = nullptr;
    explicit Ctx(uint32_t flags = kUtf8Slash) {
        ctx = dv_newctx2(flags, nullptr, &alloc, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
        EXPECT_NE(ctx, nullptr);
    }
    ~Ctx() { dv_deletectx(ctx); }
};

std::string times(size_t n, const std::string &s) {
    std::string r;
    for (size_t i = 0; i < n; ++i) r += s;
    return r;
}

} // namespace

// ---- Names: 255 units pass, 256 fail -------------------------------------------------------

TEST(NameLimits, ParseAtTheEdgeAndOnePast) {
    // Units count, not bytes: 255 two-byte characters are a 255-unit name.
    struct Case {
        const char *what;
        std::string text;
        int len; // units of the name (and of the path's last component), or -1 for failure
    } cases[] = {
        {"255 letters", std::string(255, 'a'), 255},
        {"256 letters", std::string(256, 'a'), -1},
        {"255 two-byte characters", times(255, "\xC3\xA9"), 255},
        {"256 two-byte characters", times(256, "\xC3\xA9"), -1},
        {"254 letters and a separator", std::string(254, 'a') + "/", 254},
        {"255 letters and a separator", std::string(255, 'a') + "/", -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Ctx cx;
        dv_name n;
        n.len = 7;
        cx.ctx->err = 1234;
        const char *stop = dv_parsename(cx.ctx, &n, c.text.c_str());
        if (c.len < 0) {
            EXPECT_EQ(stop, nullptr);
            EXPECT_EQ(dv_errno(cx.ctx), ENAMETOOLONG);
            EXPECT_EQ(n.len, 7) << "a failed scan leaves len alone";
        } else {
            EXPECT_EQ(stop, c.text.c_str() + c.text.size());
            EXPECT_EQ(n.len, c.len);
            EXPECT_EQ(n.units[c.len], 0);
            EXPECT_EQ(dv_errno(cx.ctx), 1234);
        }

        // The same text as the last component of a path.
        const std::string path = "dir/" + c.text;
        const size_t live = cx.alloc.live_blocks(); // the context itself
        dv_pathnode *list = dv_parsepath(cx.ctx, path.c_str());
        if (c.len < 0) {
            EXPECT_EQ(list, nullptr);
            EXPECT_EQ(dv_errno(cx.ctx), ENAMETOOLONG);
            EXPECT_EQ(cx.alloc.live_blocks(), live) << "the partial list is released";
        } else {
            ASSERT_NE(list, nullptr);
            ASSERT_NE(list->next, nullptr);
            EXPECT_EQ(list->next->name.len, c.len);
            EXPECT_EQ(list->next->next, nullptr);
            dv_freepath(cx.ctx, list);
        }
    }
}

TEST(NameLimits, WriterTakesTwentyOneEntriesFor255UnitsAndRefuses256) {
    Ctx cx;
    std::u16string name;
    for (int i = 0; i < 255; ++i) name.push_back(char16_t(0x4E00 + i));
    dv_entry rec = make_record(name, "LONGEST TXT", DV_ATTR_ARCHIVE, 77, 1);

    // Room 20 (one short): the shortfall 1, E2BIG, nothing written.
    std::vector<uint8_t> buf(22 * 32, 0xAA);
    const dv_entry *rc = &rec;
    int count = 1;
    uint8_t *cur = buf.data();
    unsigned room = 20;
    EXPECT_EQ(dv_writeentry(cx.ctx, &rc, &count, &cur, &room), 1);
    EXPECT_EQ(dv_errno(cx.ctx), E2BIG);
    EXPECT_EQ(cur, buf.data());
    EXPECT_EQ(room, 20u);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(buf, std::vector<uint8_t>(22 * 32, 0xAA));

    // Room 21 (exact): written whole, no end mark after it (the room is used up).
    room = 21;
    ASSERT_EQ(dv_writeentry(cx.ctx, &rc, &count, &cur, &room), 0);
    EXPECT_EQ(room, 0u);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(cur, buf.data() + 21 * 32);
    EXPECT_EQ(buf[0], 0x40 | 20);
    EXPECT_EQ(buf[19 * 32], 0x01);
    EXPECT_EQ(buf[21 * 32], 0xAA) << "nothing past the room";

    // The 20-entry run reads back as the 255-unit name, in both modes.
    for (uint32_t lenient : {0u, DV_FLAG_LENIENT}) {
        Ctx rx(kUtf8Slash | lenient);
        const uint8_t *in = buf.data();
        int n = 21, rroom = 1;
        dv_entry out;
        dv_entry *outp = &out;
        ASSERT_EQ(dv_readentry(rx.ctx, &in, &n, &outp, &rroom), 0);
        ASSERT_EQ(rroom, 0);
        EXPECT_EQ(to_u16(out.name), name);
        EXPECT_EQ(out.cluster, 77u);
    }

    // 256 units: -1, ENAMETOOLONG, nothing written even with room to spare.
    rec.name.len = 256;
    rec.name.units[255] = u'x';
    rec.name.units[256] = 0;
    std::vector<uint8_t> big(30 * 32, 0xAA);
    rc = &rec;
    count = 1;
    cur = big.data();
    room = 30;
    EXPECT_EQ(dv_writeentry(cx.ctx, &rc, &count, &cur, &room), -1);
    EXPECT_EQ(dv_errno(cx.ctx), ENAMETOOLONG);
    EXPECT_EQ(cur, big.data());
    EXPECT_EQ(room, 30u);
    EXPECT_EQ(big, std::vector<uint8_t>(30 * 32, 0xAA));
}

TEST(NameLimits, RunsOfTwentyEntriesReadAndTwentyOneAreRefused) {
    const std::string sn = "RUN     TXT";
    const uint8_t sum = shortname_checksum(reinterpret_cast<const uint8_t *>(sn.data()));
    struct Case {
        const char *what;
        size_t units;    // name length; the run has units / 13 + 1 entries, capped below
        int first_seq;   // sequence number of the run's first entry
        bool ok;         // a record with the whole name comes out
        int fail_cursor; // on -1: the offending entry
    } cases[] = {
        {"20 entries, 247 units (the fewest that need 20)", 247, 20, true, 0},
        {"20 entries, 255 units", 255, 20, true, 0},
        {"20 full entries, 260 units and no terminator", 260, 20, false, 20},
        {"21 entries, sequence number 21 first", 265, 21, false, 0},
    };
    for (const Case &c : cases) {
        std::u16string name;
        for (size_t i = 0; i < c.units; ++i) name.push_back(char16_t(u'A' + i % 26));
        std::vector<RawEntry> raw;
        for (int s = c.first_seq; s >= 1; --s)
            raw.push_back(raw_lfn(uint8_t(s | (s == c.first_seq ? DV_LFN_LAST : 0)), name, sum));
        raw.push_back(raw_short(sn, DV_ATTR_ARCHIVE, 5, 9));
        for (uint32_t lenient : {0u, DV_FLAG_LENIENT}) {
            SCOPED_TRACE(testing::Message() << c.what << (lenient ? ", lenient" : ", strict"));
            Ctx cx(kUtf8Slash | lenient);
            const uint8_t *in = raw[0].data();
            const int total = int(raw.size());
            int n = total, room = 1;
            dv_entry out;
            dv_entry *outp = &out;
            const int rc = dv_readentry(cx.ctx, &in, &n, &outp, &room);
            if (c.ok) {
                ASSERT_EQ(rc, 0);
                EXPECT_EQ(room, 0);
                EXPECT_EQ(n, 0);
                EXPECT_EQ(to_u16(out.name), name);
                EXPECT_EQ(out.name.units[c.units], 0);
            } else {
                EXPECT_EQ(rc, -1);
                EXPECT_EQ(room, 1);
                EXPECT_EQ(in, raw[0].data() + 32 * c.fail_cursor);
                EXPECT_EQ(n, total - c.fail_cursor);
            }
        }
    }
}

// ---- Timestamps: 1980-01-01 .. 2107-12-31 and the 32-bit second count -------------------

namespace {

constexpr uint16_t fat_date(int y, int m, int d) {
    return uint16_t(((y - 1980) << 9) | (m << 5) | d);
}
constexpr uint16_t fat_time(int h, int m, int s) {
    return uint16_t((h << 11) | (m << 5) | (s / 2));
}
constexpr int32_t k1980 = 315532800;     // 1980-01-01 00:00:00 UTC
constexpr int32_t kLastDay = 2147472000; // 2038-01-19 00:00:00 UTC

} // namespace

TEST(DateLimits, EncodeAtTheEdges) {
    struct Case {
        int32_t sec, nsec;
        int ret;
        uint16_t date, time;
        uint8_t tenms;
    } cases[] = {
        {k1980, 0, 0, fat_date(1980, 1, 1), 0, 0},
        // One second before 1980: the year clamps, month and day stay.
        {k1980 - 1, 0, 0, fat_date(1980, 12, 31), fat_time(23, 59, 59), 100},
        {INT32_MAX, 999999999, 0, fat_date(2038, 1, 19), fat_time(3, 14, 7), 199},
        {INT32_MAX - 1, 0, 0, fat_date(2038, 1, 19), fat_time(3, 14, 6), 0},
        {0, 0, 0, fat_date(1980, 1, 1), 0, 0},
        {-1, 0, -1, 0x5A5A, 0x5A5A, 0x5A},
        {INT32_MIN, 0, -1, 0x5A5A, 0x5A5A, 0x5A},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sec);
        dv_timestamp ts{c.sec, c.nsec};
        uint16_t date = 0x5A5A, time = 0x5A5A;
        uint8_t tenms = 0x5A;
        EXPECT_EQ(dv_encodets(&ts, &date, &time, &tenms), c.ret);
        EXPECT_EQ(date, c.date);
        EXPECT_EQ(time, c.time);
        EXPECT_EQ(tenms, c.tenms);
    }
}

TEST(DateLimits, DecodeAtTheEdges) {
    struct Case {
        uint16_t date, time;
        uint8_t tenms;
        int32_t sec, nsec;
    } cases[] = {
        {fat_date(1980, 1, 1), 0, 0, k1980, 0},
        {0, 0, 0, 312768000, 0}, // month 0, day 0: 1979-11-30
        {fat_date(2038, 1, 19), fat_time(3, 14, 6), 100, INT32_MAX, 0},
        {fat_date(2038, 1, 19), fat_time(3, 14, 6), 199, INT32_MAX, 990000000},
        {fat_date(2038, 1, 19), fat_time(3, 14, 8), 0, -1, 0},
        {fat_date(2107, 12, 31), 0, 0, -1, 0},
        {fat_date(2107, 12, 31), fat_time(23, 59, 58), 199, -1, 990000000},
        {0xFFFF, 0xFFFF, 255, -1, 550000000}, // every field past its range
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.date << " " << c.time);
        dv_timestamp ts{7, 7};
        dv_decodets(&ts, c.date, c.time, c.tenms);
        EXPECT_EQ(ts.sec, c.sec);
        EXPECT_EQ(ts.nsec, c.nsec);
    }
}

TEST(DateLimits, EntryRoundTripAtTheEdges) {
    struct Case {
        const char *what;
        dv_timestamp in;                  // ctime, mtime and atime alike
        dv_timestamp ctime, mtime, atime; // what reads back
        bool untouched;                   // the timestamp bytes keep their old contents
    } cases[] = {
        {"1980-01-01", {k1980, 0}, {k1980, 0}, {k1980, 0}, {k1980, 0}, false},
        {"INT32_MAX",
         {INT32_MAX, 999999999},
         {INT32_MAX, 990000000},
         {INT32_MAX - 1, 0},
         {kLastDay, 0},
         false},
        {"sec -1", {-1, 0}, {}, {}, {}, true},
    };
    Ctx cx;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        dv_entry rec = make_record(u"t", "T          ", DV_ATTR_ARCHIVE, 0, 0);
        rec.ctime = rec.mtime = rec.atime = c.in;
        std::vector<uint8_t> buf(3 * 32, 0x5A);
        const dv_entry *rc = &rec;
        int count = 1;
        uint8_t *cur = buf.data();
        unsigned room = 2;
        ASSERT_EQ(dv_writeentry(cx.ctx, &rc, &count, &cur, &room), 0);
        const uint8_t *sh = &buf[32];
        if (c.untouched) {
            for (int off : {13, 14, 15, 16, 17, 18, 19, 22, 23, 24, 25})
                EXPECT_EQ(sh[off], 0x5A) << "offset " << off;
            continue;
        }
        const uint8_t *in = buf.data();
        int n = 2, rroom = 1;
        dv_entry out;
        dv_entry *outp = &out;
        ASSERT_EQ(dv_readentry(cx.ctx, &in, &n, &outp, &rroom), 0);
        ASSERT_EQ(rroom, 0);
        EXPECT_EQ(out.ctime.sec, c.ctime.sec);
        EXPECT_EQ(out.ctime.nsec, c.ctime.nsec);
        EXPECT_EQ(out.mtime.sec, c.mtime.sec);
        EXPECT_EQ(out.atime.sec, c.atime.sec);
    }

    // The last FAT date, 2107-12-31, on disk: past the 32-bit count, so -1 in every field.
    RawEntry e = raw_short("LATE    TXT", DV_ATTR_ARCHIVE, 0, 0);
    const uint16_t last = fat_date(2107, 12, 31);
    for (int off : {DV_DIRENT_CDATE, DV_DIRENT_ADATE, DV_DIRENT_MDATE}) {
        e[off] = uint8_t(last);
        e[off + 1] = uint8_t(last >> 8);
    }
    e[DV_DIRENT_CTIME_MS] = 150;
    const uint8_t *in = e.data();
    int n = 1, room = 1;
    dv_entry out;
    dv_entry *outp = &out;
    ASSERT_EQ(dv_readentry(cx.ctx, &in, &n, &outp, &room), 0);
    EXPECT_EQ(out.ctime.sec, -1);
    EXPECT_EQ(out.ctime.nsec, 500000000);
    EXPECT_EQ(out.mtime.sec, -1);
    EXPECT_EQ(out.atime.sec, -1);
}

// ---- Converter output room: 0, 1, exact - 1, exact ---------------------------------------

TEST(ConverterRoom, EdgesOfTheOutputRoom) {
    using Bytes = std::vector<uint8_t>;
    struct Case {
        const char *to, *from;
        std::vector<Bytes> in, out; // per character: its input and its output bytes
    } cases[] = {
        {"utf16le",
         "utf8",
         {{'a'}, {0xC3, 0xA9}, {0xE2, 0x82, 0xAC}, {0xF0, 0x9F, 0x98, 0x80}},
         {{'a', 0}, {0xE9, 0}, {0xAC, 0x20}, {0x3D, 0xD8, 0x00, 0xDE}}},
        {"utf8",
         "utf16le",
         {{'a', 0}, {0xE9, 0}, {0xAC, 0x20}, {0x3D, 0xD8, 0x00, 0xDE}},
         {{'a'}, {0xC3, 0xA9}, {0xE2, 0x82, 0xAC}, {0xF0, 0x9F, 0x98, 0x80}}},
        {"utf32be",
         "utf8",
         {{'a'}, {0xF0, 0x9F, 0x98, 0x80}},
         {{0, 0, 0, 'a'}, {0, 0x01, 0xF6, 0x00}}},
        {"latin1", "utf8", {{'a'}, {0xC3, 0xA9}, {'b'}}, {{'a'}, {0xE9}, {'b'}}},
        {"ascii", "utf8", {{'x'}}, {{'x'}}},
    };
    for (const Case &c : cases) {
        Bytes input, want;
        for (const Bytes &b : c.in) input.insert(input.end(), b.begin(), b.end());
        for (const Bytes &b : c.out) want.insert(want.end(), b.begin(), b.end());
        const size_t exact = want.size();
        for (size_t room : {size_t{0}, size_t{1}, exact - 1, exact}) {
            SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to << " room " << room);
            // Characters that fit whole, and their input and output bytes.
            size_t k = 0, used = 0, wrote = 0;
            while (k < c.out.size() && wrote + c.out[k].size() <= room)
                used += c.in[k].size(), wrote += c.out[k++].size();
            Bytes buf(room + 1, 0xEE); // the byte after the room is a guard
            char *ip = reinterpret_cast<char *>(input.data());
            char *op = reinterpret_cast<char *>(buf.data());
            size_t il = input.size(), ol = room;
            int err = 1234;
            const size_t rc =
                dorvex_iconv(dorvex_iconv_open(c.to, c.from), &ip, &il, &op, &ol, &err);
            if (room < exact) {
                EXPECT_EQ(rc, size_t(-1));
                EXPECT_EQ(err, E2BIG);
            } else {
                EXPECT_EQ(rc, 0u);
                EXPECT_EQ(err, 1234);
            }
            EXPECT_EQ(ip, reinterpret_cast<char *>(input.data()) + used);
            EXPECT_EQ(il, input.size() - used);
            EXPECT_EQ(op, reinterpret_cast<char *>(buf.data()) + wrote);
            EXPECT_EQ(ol, room - wrote);
            EXPECT_EQ(Bytes(buf.begin(), buf.begin() + std::ptrdiff_t(wrote)),
                      Bytes(want.begin(), want.begin() + std::ptrdiff_t(wrote)));
            EXPECT_EQ(buf[room], 0xEE) << "wrote past the room";
        }
    }
}
