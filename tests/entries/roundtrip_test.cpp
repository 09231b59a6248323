// Random records written with dv_writeentry and read back with dv_readentry from buffers
// cut at random points, carrying open runs over as a directory reader does.
#include "entries/entry_builders.h"

#include <dorvex/dorvex.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

namespace {

using namespace entrytest;

constexpr int32_t first_1980 = 315532800; // 1980-01-01 00:00:00 UTC

dv_entry random_record(std::mt19937 &rng) {
    dv_entry r{};
    const unsigned len = rng() % 256;
    r.name.len = static_cast<uint16_t>(len);
    for (unsigned i = 0; i < len; ++i) r.name.units[i] = static_cast<uint16_t>(1 + rng() % 0xFFFF);
    r.name.units[len] = 0;
    for (int i = 0; i < 11; ++i) r.shortname[i] = static_cast<char>(1 + rng() % 255);
    do r.attr = rng() & 0xFF;
    while ((r.attr & 0x0F) == 0x0F); // that would be a long-name entry
    r.cluster = static_cast<uint32_t>(rng());
    r.size = static_cast<uint32_t>(rng());
    auto when = [&rng] {
        const auto span = static_cast<uint32_t>(INT32_MAX - first_1980);
        return dv_timestamp{static_cast<int32_t>(first_1980 + rng() % (span + 1u)),
                            static_cast<int32_t>(rng() % 1000000000)};
    };
    r.ctime = when();
    r.mtime = when();
    r.atime = when();
    return r;
}

void expect_same(const dv_entry &got, const dv_entry &want, size_t index) {
    SCOPED_TRACE(index);
    ASSERT_EQ(got.name.len, want.name.len);
    for (unsigned i = 0; i <= want.name.len; ++i) ASSERT_EQ(got.name.units[i], want.name.units[i]);
    EXPECT_EQ(got.cluster, want.cluster);
    EXPECT_EQ(got.size, want.size);
    EXPECT_EQ(got.attr, want.attr);
    EXPECT_EQ(std::memcmp(got.shortname, want.shortname, 11), 0);
    EXPECT_EQ(got.shortname[11], 0);
    EXPECT_EQ(got.ctime.sec, want.ctime.sec); // to 10 ms
    EXPECT_EQ(got.ctime.nsec, want.ctime.nsec / 10000000 * 10000000);
    EXPECT_EQ(got.mtime.sec, want.mtime.sec & ~1); // to 2 s
    EXPECT_EQ(got.mtime.nsec, 0);
    EXPECT_EQ(got.atime.sec, want.atime.sec - want.atime.sec % 86400); // to the day
    EXPECT_EQ(got.atime.nsec, 0);
}

TEST(RoundTrip, RandomRecordsThroughCutBuffers) {
    std::mt19937 rng(0xD0F5EC);
    dv_ctx ctx{};
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        ctx.lenient = static_cast<uint8_t>(round & 1);
        std::vector<dv_entry> in(50 + rng() % 50);
        for (auto &r : in) r = random_record(rng);

        // Write in slices of random room, retrying with more room on a shortfall.
        std::vector<uint8_t> disk(25 * in.size() * DV_DIRENT_SIZE, 0xEE);
        const dv_entry *rec = in.data();
        int count = static_cast<int>(in.size());
        uint8_t *out = disk.data();
        unsigned room = 0;
        while (count > 0) {
            room += rng() % 24;
            const int rc = dv_writeentry(&ctx, &rec, &count, &out, &room);
            ASSERT_GE(rc, 0);
            if (rc > 0) {
                ASSERT_EQ(ctx.err, E2BIG);
            }
        }
        ASSERT_LT(out, disk.data() + disk.size());
        std::memset(out, 0, DV_DIRENT_SIZE); // end of directory
        const size_t used = static_cast<size_t>(out - disk.data()) / DV_DIRENT_SIZE + 1;

        // Read it back through buffers of 1 to 40 entries, carrying runs that are cut.
        std::vector<dv_entry> got;
        std::vector<uint8_t> window;
        size_t next = 0;
        bool ended = false;
        while (!ended) {
            ASSERT_LT(next, used) << "ran past the end mark";
            const size_t take = std::min<size_t>(1 + rng() % 40, used - next);
            window.insert(window.end(), disk.begin() + static_cast<long>(next * DV_DIRENT_SIZE),
                          disk.begin() + static_cast<long>((next + take) * DV_DIRENT_SIZE));
            next += take;
            const uint8_t *cur = window.data();
            int left = static_cast<int>(window.size() / DV_DIRENT_SIZE);
            const uint8_t *const end = window.data() + window.size();
            for (;;) {
                dv_entry recs[3];
                dv_entry *rp = recs;
                int free_records = 1 + static_cast<int>(rng() % 3);
                const int before = free_records;
                ASSERT_EQ(dv_readentry(&ctx, &cur, &left, &rp, &free_records), 0);
                got.insert(got.end(), recs, recs + (before - free_records));
                if (cur == end) break; // used up: `left` entries to carry
                if (cur[0] == 0) {
                    ended = true;
                    break;
                }
                ASSERT_EQ(free_records, 0); // only record room stops the call early
            }
            if (!ended) window.erase(window.begin(), window.end() - left * DV_DIRENT_SIZE);
        }
        ASSERT_EQ(got.size(), in.size());
        for (size_t i = 0; i < in.size(); ++i) expect_same(got[i], in[i], i);
    }
}

} // namespace
