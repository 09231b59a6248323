// The FAT cache and chain following, seen through file seeks (which read only the FAT)
// and reads: direct-mapped slots, masking, end marks, failed FAT reads, and FAT
// sectors that lie past the first FAT.
#include "support/volume_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

using namespace dvtest;

namespace {

// A root holding "F.BIN" with the given chain (its FAT entries written here; the last
// one is `end`) and `size` bytes of pattern data spread over the chain.
struct ChainImage {
    ChainImage(uint32_t clusters, std::vector<uint32_t> chain, uint32_t end, uint32_t size,
               uint32_t fat_sectors = 0)
        : img(geo(clusters, fat_sectors)) {
        data = pattern_data(size, 5);
        DirEntries d;
        d.add_short("F       BIN", DV_ATTR_ARCHIVE, chain[0], size);
        img.place_root(d);
        for (size_t i = 0; i < chain.size(); ++i) {
            size_t off = i * 512;
            if (off < data.size() && chain[i] >= 2 && chain[i] < clusters + 2)
                std::memcpy(img.cluster(chain[i]), data.data() + off,
                            std::min<size_t>(512, data.size() - off));
            if (uint64_t(chain[i]) / 128 < img.fat_sectors())
                img.set_fat(chain[i], i + 1 < chain.size() ? chain[i + 1] : end);
        }
    }
    static FatGeometry geo(uint32_t clusters, uint32_t fat_sectors) {
        FatGeometry g;
        g.cluster_count = clusters;
        g.fat_sectors = fat_sectors;
        return g;
    }
    FatImage img;
    std::string data;
};

struct Open {
    Open(ChainImage &c) : rd(c.img), v(c.img, rd) {
        EXPECT_TRUE(v.ok()) << v.err;
        if (v.ok()) h = readfat_open(v, "F.BIN", nullptr);
        EXPECT_NE(h, nullptr);
        rd.reset_log();
    }
    FaultReader rd;
    Mounted v;
    readfat_file *h = nullptr;
};

} // namespace

TEST(FatCache, NeighbouringFatSectorsUseTwoSlots) {
    // Clusters 127 and 128 have their entries in FAT sectors 0 and 1.
    ChainImage c(300, {127, 128, 200}, kEndOfChain, 3 * 512);
    Open o(c);
    ASSERT_NE(o.h, nullptr);
    const uint64_t s0 = c.img.fat_start(), s1 = s0 + 1;
    int err = 0;
    ASSERT_EQ(readfat_seek(o.v, o.h, 2 * 512, &err), 0);
    // FAT sector 0 may already be cached from the root lookup; sector 1 is read once.
    EXPECT_EQ(o.rd.calls_at(s1), 1u) << o.rd.describe();
    EXPECT_LE(o.rd.calls_at(s0), 1u);
    EXPECT_EQ(o.v->fat_tag[s0 % 8], s0);
    EXPECT_EQ(o.v->fat_tag[s1 % 8], s1);
    o.rd.reset_log();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(readfat_seek(o.v, o.h, 0, &err), 0);
        ASSERT_EQ(readfat_seek(o.v, o.h, 2 * 512 + 7, &err), 0);
    }
    EXPECT_EQ(o.rd.calls(), 0u) << "cached FAT sectors are not read again";
    char b[4];
    ASSERT_EQ(readfat_read(o.v, o.h, b, 4, &err), 4u);
    EXPECT_EQ(std::string(b, 4), c.data.substr(2 * 512 + 7, 4));
}

TEST(FatCache, SectorsEightApartShareASlot) {
    // FAT sectors S (clusters 0..127) and S + 8 (clusters 1024..1151) share slot S mod 8.
    ChainImage c(1100, {10, 1034, 11, 1035, 12}, kEndOfChain, 5 * 512);
    Open o(c);
    ASSERT_NE(o.h, nullptr);
    const uint64_t s = c.img.fat_start();
    int err = 0;
    ASSERT_EQ(readfat_seek(o.v, o.h, 4 * 512, &err), 0);
    // Lookups of 10, 1034, 11, 1035 alternate between S and S + 8: every one but the
    // first (S is cached by the root lookup) reads the medium.
    EXPECT_EQ(o.rd.calls_at(s), 1u) << o.rd.describe();
    EXPECT_EQ(o.rd.calls_at(s + 8), 2u) << o.rd.describe();
    EXPECT_EQ(o.v->fat_tag[s % 8], s + 8);
    o.rd.reset_log();
    ASSERT_EQ(readfat_seek(o.v, o.h, 0, &err), 0);
    ASSERT_EQ(readfat_seek(o.v, o.h, 4 * 512, &err), 0);
    EXPECT_EQ(o.rd.fat_reads(), 4u) << o.rd.describe();
    EXPECT_EQ(o.rd.data_reads(), 0u);
    ASSERT_EQ(readfat_seek(o.v, o.h, 0, &err), 0);
    EXPECT_EQ(read_handle(o.v, o.h, 100, &err), c.data);
}

TEST(FatCache, EntriesAreMaskedTo28Bits) {
    // 0xF000000A leads to cluster 10; the top four bits mean nothing.
    ChainImage c(64, {5, 10}, kEndOfChain, 2 * 512);
    c.img.set_fat(5, 0xF000000A);
    Open o(c);
    ASSERT_NE(o.h, nullptr);
    int err = 0;
    EXPECT_EQ(read_handle(o.v, o.h, 1024, &err), c.data);
    EXPECT_EQ(err, 0);
}

TEST(FatCache, EndMarks) {
    struct Case {
        uint32_t value;
        bool ends;
    } cases[] = {
        {0x0FFFFFF8, true}, {0x0FFFFFFF, true},  {0xFFFFFFFF, true},  {0xFFFFFFF8, true},
        {0x1FFFFFFC, true}, {0x0FFFFFF7, false}, {0xF0000006, false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << k.value);
        ChainImage c(64, {5, 6}, kEndOfChain, 2 * 512);
        c.img.set_fat(5, k.value);
        Open o(c);
        ASSERT_NE(o.h, nullptr);
        int err = 0;
        // Seeking to the boundary succeeds either way.
        EXPECT_EQ(readfat_seek(o.v, o.h, 512, &err), 0);
        ASSERT_EQ(readfat_seek(o.v, o.h, 0, &err), 0);
        err = 0;
        int r = readfat_seek(o.v, o.h, 512 + 1, &err);
        if (k.ends) {
            EXPECT_EQ(r, -1);
            EXPECT_EQ(err, DV_E_BROKENCHAIN);
        } else {
            EXPECT_EQ(r, 0);
        }
        ASSERT_EQ(readfat_seek(o.v, o.h, 0, &err), 0);
        err = 0;
        std::string got = read_handle(o.v, o.h, 4096, &err);
        if (k.ends || k.value == 0x0FFFFFF7) {
            // 0x0FFFFFF7 is followed, but lies outside the data area.
            EXPECT_EQ(got, c.data.substr(0, 512));
            EXPECT_EQ(err, DV_E_BROKENCHAIN);
        } else {
            EXPECT_EQ(got, c.data);
        }
        EXPECT_EQ(o.rd.bad_requests(), 0u);
    }
}

TEST(FatCache, FailedFatReadGivesEioAndEmptiesTheSlot) {
    // Chain 127 -> 128 -> 129; FAT sector 1 (entry of 128) fails.
    ChainImage c(1200, {127, 128, 129}, kEndOfChain, 3 * 512);
    const uint64_t s1 = c.img.fat_start() + 1;
    for (auto r :
         {FaultReader::Result::zero, FaultReader::Result::negative, FaultReader::Result::over}) {
        Open o(c);
        ASSERT_NE(o.h, nullptr);
        o.rd.fail_sector(s1, r);
        int err = 0;
        ASSERT_EQ(readfat_seek(o.v, o.h, 7, &err), 0);
        // Also at a cluster multiple, where an end mark would let the seek through.
        for (uint32_t pos : {2 * 512 + 1, 2 * 512}) {
            err = 0;
            EXPECT_EQ(readfat_seek(o.v, o.h, pos, &err), -1) << pos;
            EXPECT_EQ(err, EIO);
            EXPECT_EQ(readfat_tell(o.v, o.h), 7u) << "the handle stays where it was";
            EXPECT_EQ(o.v->fat_tag[s1 % 8], 0u);
        }
        // A read that reaches the unreadable link stops with EIO, and goes on once it reads.
        char buf[3 * 512];
        err = 0;
        EXPECT_EQ(readfat_read(o.v, o.h, buf, sizeof buf, &err), 2 * 512 - 7);
        EXPECT_EQ(err, EIO);
        o.rd.clear_faults();
        o.rd.reset_log();
        EXPECT_EQ(readfat_read(o.v, o.h, buf, sizeof buf, &err), 512u);
        EXPECT_EQ(o.rd.calls_at(s1), 1u) << "the next lookup reads the sector again";
        EXPECT_EQ(o.v->fat_tag[s1 % 8], s1);
        ASSERT_EQ(readfat_seek(o.v, o.h, 0, &err), 0);
        EXPECT_EQ(readfat_seek(o.v, o.h, 2 * 512 + 1, &err), 0);
    }
}

TEST(FatCache, FailedReadDropsWhatTheSlotHeld) {
    // Slot k holds FAT sector S+1; a failed read of S+9 (same slot) must not leave the
    // old contents serving later lookups as if they were S+9's, nor S+1's as valid.
    ChainImage c(1200, {127, 128, 129}, kEndOfChain, 3 * 512);
    // A second file whose chain needs FAT sector S+9 (clusters 1152..1279).
    DirEntries d;
    d.add_short("F       BIN", DV_ATTR_ARCHIVE, 127, 3 * 512);
    d.add_short("G       BIN", DV_ATTR_ARCHIVE, 1152, 3 * 512);
    c.img.write_dir({2}, d, false);
    c.img.link({1152, 1153, 1154});
    const uint64_t s1 = c.img.fat_start() + 1, s9 = s1 + 8;
    Open o(c);
    ASSERT_NE(o.h, nullptr);
    int err = 0;
    ASSERT_EQ(readfat_seek(o.v, o.h, 2 * 512 + 1, &err), 0); // loads S+1
    readfat_file *g = readfat_open(o.v, "G.BIN", &err);
    ASSERT_NE(g, nullptr);
    o.rd.reset_log();
    o.rd.fail_sector(s9);
    EXPECT_EQ(readfat_seek(o.v, g, 512 + 1, &err), -1);
    EXPECT_EQ(o.v->fat_tag[s9 % 8], 0u);
    o.rd.clear_faults();
    ASSERT_EQ(readfat_seek(o.v, o.h, 0, &err), 0);
    ASSERT_EQ(readfat_seek(o.v, o.h, 2 * 512 + 1, &err), 0);
    EXPECT_EQ(o.rd.calls_at(s1), 1u) << o.rd.describe();
    ASSERT_EQ(readfat_seek(o.v, g, 2 * 512 + 1, &err), 0);
}

TEST(FatCache, FatSectorsPastTheFirstFatAreNeverRead) {
    // A FAT of 2 sectors (clusters 0..255) on a volume of 400 clusters: the successor of
    // cluster 300 would lie in the second FAT. The chain ends there, without a read.
    ChainImage c(400, {10, 300}, kEndOfChain, 3 * 512, 2);
    std::memcpy(c.img.cluster(300), c.data.data() + 512, 512);
    Open o(c);
    ASSERT_NE(o.h, nullptr);
    int err = 0;
    std::string got = read_handle(o.v, o.h, 4096, &err);
    EXPECT_EQ(got, c.data.substr(0, 1024));
    EXPECT_EQ(err, DV_E_BROKENCHAIN);
    EXPECT_EQ(o.rd.calls_at(c.img.fat_start() + 2, 2), 0u) << o.rd.describe();
    ASSERT_EQ(readfat_seek(o.v, o.h, 0, &err), 0);
    err = 0;
    EXPECT_EQ(readfat_seek(o.v, o.h, 2 * 512 + 1, &err), -1);
    EXPECT_EQ(err, DV_E_BROKENCHAIN);
    EXPECT_EQ(o.rd.calls_at(c.img.fat_start() + 2, 2), 0u) << o.rd.describe();
}

TEST(FatCache, RootClusterIsReadFromItsOwnPlace) {
    // Cluster 2 begins at data_start whatever the root cluster is.
    FatGeometry g;
    g.sectors_per_cluster = 4;
    g.cluster_count = 32;
    g.root_cluster = 5;
    FatImage img(g);
    DirEntries d;
    d.add_short("HELLO   TXT", DV_ATTR_ARCHIVE, 0, 0);
    img.place_root(d);
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    rd.reset_log();
    auto l = list_dir(v, "/");
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].name, u"HELLO.TXT");
    EXPECT_EQ(rd.calls_at(img.data_start() + 3 * 4), 1u) << rd.describe();
}

TEST(FatCache, APartialClusterAtTheVolumeEndIsNeverRead) {
    // 4-sector clusters and 3 sectors after the last whole one: a chain into that
    // partial cluster must fail without a request that crosses the volume's end.
    FatGeometry g;
    g.sectors_per_cluster = 4;
    g.cluster_count = 64;
    g.extra_sectors = 3;
    g.trailing_sectors = 16;
    FatImage img(g);
    const uint32_t partial = 64 + 2;
    std::string data = pattern_data(3 * 2048, 8);
    DirEntries d;
    d.add_short("F       BIN", DV_ATTR_ARCHIVE, 10, uint32_t(data.size()));
    d.add_short("G       BIN", DV_ATTR_ARCHIVE, partial, 100);
    img.place_root(d);
    img.write_data({10, 65}, data.substr(0, 4096), false);
    img.link({10, 65, partial});
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    readfat_file *f = readfat_open(v, "F.BIN", nullptr);
    ASSERT_NE(f, nullptr);
    int err = 0;
    std::string got = read_handle(v, f, 10000, &err);
    EXPECT_TRUE(got == data.substr(0, 4096)) << got.size();
    EXPECT_EQ(err, DV_E_BROKENCHAIN);
    readfat_file *g2 = readfat_open(v, "G.BIN", nullptr);
    ASSERT_NE(g2, nullptr);
    err = 0;
    EXPECT_EQ(read_handle(v, g2, 100, &err), "");
    EXPECT_EQ(err, DV_E_BROKENCHAIN);
    EXPECT_EQ(rd.bad_requests(), 0u) << rd.describe();
}
