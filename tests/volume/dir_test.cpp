// Directory handles: listing across cluster boundaries, long-name runs cut by a
// boundary, end marks, damaged runs in strict and lenient mode, special entries, slots,
// failed reads and retries, cyclic chains, the carry-over room, opening from an entry.
#include "support/volume_util.h"

#include "volume/readfat_internal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>

using namespace dvtest;

namespace {

const uint32_t kStrict = readfat_optimal_flags() & ~DV_FLAG_LENIENT;

FatGeometry geo(uint32_t spc, uint32_t clusters = 128) {
    FatGeometry g;
    g.sectors_per_cluster = spc;
    g.cluster_count = clusters;
    return g;
}

std::string sn(unsigned i) {
    char b[24]; // i stays below 10^7; room for any unsigned all the same
    std::snprintf(b, sizeof b, "F%07u   ", i);
    return b;
}
std::u16string nm(unsigned i) {
    char b[12];
    std::snprintf(b, sizeof b, "F%07u", i);
    return utf16(b);
}

// `n` short entries F0000000.. in a fresh root directory.
DirEntries shorts(unsigned n, unsigned first = 0) {
    DirEntries d;
    for (unsigned i = first; i < first + n; ++i) d.add_short(sn(i), DV_ATTR_ARCHIVE, 0, 0);
    return d;
}

std::u16string long_name(size_t units, char16_t seed) {
    std::u16string s;
    for (size_t i = 0; i < units; ++i) s += char16_t(u'a' + (seed + i) % 26);
    return s;
}

class DirTest : public testing::TestWithParam<uint32_t> {
  protected:
    uint32_t spc() const { return GetParam(); }
    uint32_t per() const { return spc() * 16; } // entries per cluster
};

} // namespace

TEST_P(DirTest, ListingAcrossClusterBoundariesReadsEachClusterOnce) {
    FatImage img(geo(spc()));
    DirEntries d = shorts(2 * per() + per() / 2);
    auto chain = img.place_root(d);
    ASSERT_EQ(chain.size(), 3u);
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    rd.reset_log();
    readfat_dir *h = readfat_opendir(v, "", nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(rd.calls(), 0u) << "opening the root reads nothing";
    uint64_t allocs = v.alloc.allocs();
    int err = 0;
    auto l = list_handle(v, h, &err);
    EXPECT_EQ(err, DV_E_ENDDIR);
    ASSERT_EQ(l.size(), d.size());
    for (size_t i = 0; i < l.size(); ++i) EXPECT_EQ(l[i].name, nm(unsigned(i)));
    for (uint32_t c : chain) EXPECT_EQ(rd.cluster_reads(c), 1u) << rd.describe();
    EXPECT_EQ(v.alloc.allocs(), allocs) << "listing allocates nothing";
    // After the end: the same code, nothing read.
    rd.reset_log();
    for (int i = 0; i < 3; ++i) {
        err = 0;
        EXPECT_EQ(readfat_readdir(v, h, &err), nullptr);
        EXPECT_EQ(err, DV_E_ENDDIR);
    }
    EXPECT_EQ(rd.calls(), 0u);
}

TEST_P(DirTest, LongNameRunCutByABoundaryIsReturnedWhole) {
    // 40 units: 4 long-name entries + the short entry. Put the run's first entry 1..4
    // entries before the end of the first cluster.
    for (unsigned before = 1; before <= 5; ++before) {
        SCOPED_TRACE(before);
        FatImage img(geo(spc()));
        DirEntries d = shorts(per() - before);
        std::u16string name = long_name(40, char16_t(before));
        d.add_long(name, "LONGNA~1TXT", DV_ATTR_ARCHIVE, 0, 0);
        d.add_short(sn(999), DV_ATTR_ARCHIVE, 0, 0);
        img.place_root(d);
        FaultReader rd(img);
        Mounted v(img, rd);
        ASSERT_TRUE(v.ok());
        auto l = list_dir(v, "");
        ASSERT_EQ(l.size(), per() - before + 2);
        EXPECT_EQ(l[per() - before].name, name);
        EXPECT_EQ(l.back().name, nm(999));
        // And a lookup finds it by its long name.
        dv_entry e;
        EXPECT_EQ(readfat_stat(v, utf8(name).c_str(), &e), 0);
    }
}

TEST_P(DirTest, EndMarkInTheFirstClusterStopsWithoutFurtherReads) {
    FatImage img(geo(spc()));
    // Three entries and an end mark; the chain has one more cluster full of entries.
    DirEntries d = shorts(3);
    d.add_end();
    d.pad_to(per());
    DirEntries more = shorts(per(), 100);
    for (size_t i = 0; i < more.size(); ++i) d.add_raw(more[i]);
    auto chain = img.place_root(d);
    ASSERT_EQ(chain.size(), 2u);
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    rd.reset_log();
    auto l = list_dir(v, "");
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(rd.cluster_reads(chain[1]), 0u) << rd.describe();
    dv_entry e;
    EXPECT_EQ(readfat_stat(v, "F0000100", &e), ENOENT);
    EXPECT_EQ(rd.cluster_reads(chain[1]), 0u) << rd.describe();
}

TEST_P(DirTest, RunFollowedByAnEndMarkStops) {
    FatImage img(geo(spc()));
    DirEntries d = shorts(per() - 2);
    // Two long-name entries of a run, then the end mark at the start of the next cluster.
    std::u16string name = long_name(20, 3);
    d.add_raw(raw_lfn(0x42, name, 0x11)).add_raw(raw_lfn(0x01, name, 0x11));
    d.add_end();
    d.pad_to(per() * 2);
    auto chain = img.place_root(d);
    ASSERT_EQ(chain.size(), 2u);
    img.link({chain[0], chain[1], img.alloc_cluster()});
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    rd.reset_log();
    auto l = list_dir(v, "");
    EXPECT_EQ(l.size(), per() - 2);
    EXPECT_EQ(rd.data_reads(), 2u) << rd.describe();
}

TEST_P(DirTest, CompletelyFullLastCluster) {
    FatImage img(geo(spc()));
    DirEntries d = shorts(2 * per());
    auto chain = img.place_root(d);
    ASSERT_EQ(chain.size(), 2u);
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    rd.reset_log();
    auto l = list_dir(v, "");
    EXPECT_EQ(l.size(), 2 * per());
    EXPECT_EQ(rd.data_reads(), 2u) << rd.describe();
}

TEST_P(DirTest, DamagedRunStrictStopsLenientSkips) {
    FatImage img(geo(spc()));
    DirEntries d = shorts(per() + 2); // the damaged run sits in the last cluster
    size_t run = d.size();
    d.add_long(long_name(30, 1), "DELETE~1TXT", DV_ATTR_ARCHIVE, 0, 0);
    for (size_t i = run; i < d.size(); ++i) d[i][0] = 0xE5; // a deleted long-named file
    d.add_short("AFTER   TXT", DV_ATTR_ARCHIVE, 0, 0);
    d.add_short("LAST    TXT", DV_ATTR_ARCHIVE, 0, 0);
    img.place_root(d);
    FaultReader rd(img);
    {
        // Strict: the listing stops at the run, and says so: a short directory it is not.
        Mounted v(img, rd, kStrict);
        ASSERT_TRUE(v.ok());
        int err = 0;
        auto l = list_dir(v, "", &err);
        EXPECT_EQ(l.size(), per() + 2);
        EXPECT_EQ(err, EILSEQ);
        dv_entry e;
        EXPECT_EQ(readfat_stat(v, "LAST.TXT", &e), EILSEQ);
    }
    {
        Mounted v(img, rd, readfat_optimal_flags());
        ASSERT_TRUE(v.ok());
        auto l = list_dir(v, "");
        ASSERT_EQ(l.size(), per() + 4);
        EXPECT_EQ(l[per() + 2].name, u"AFTER.TXT");
        EXPECT_EQ(l[per() + 3].name, u"LAST.TXT");
        dv_entry e;
        EXPECT_EQ(readfat_stat(v, "LAST.TXT", &e), 0);
    }
}

TEST_P(DirTest, RefusedRunWithManyClustersAfterItEndsTheScan) {
    // A run that the decoder refuses in both modes (sequence number 21) at the start of
    // a long chain: the carry grows past the room, and the scan ends cleanly.
    FatImage img(geo(spc(), 256));
    DirEntries d = shorts(3);
    d.add_raw(raw_lfn(0x55, long_name(20, 2), 0x42));
    for (unsigned i = 0; i < 5 * per(); ++i) d.add_short(sn(200 + i), DV_ATTR_ARCHIVE, 0, 0);
    auto chain = img.place_root(d);
    ASSERT_GE(chain.size(), 5u);
    for (uint32_t flags : {kStrict, readfat_optimal_flags()}) {
        FaultReader rd(img);
        Mounted v(img, rd, flags);
        ASSERT_TRUE(v.ok());
        int err = 0;
        auto l = list_dir(v, "", &err);
        EXPECT_EQ(err, EILSEQ);
        EXPECT_EQ(l.size(), 3u);
        for (uint32_t c : chain) EXPECT_LE(rd.cluster_reads(c), 1u) << rd.describe();
        dv_entry e;
        EXPECT_EQ(readfat_stat(v, "F0000300", &e), EILSEQ);
    }
}

TEST_P(DirTest, DotsDeletedEntriesAndTheLabelAreReturned) {
    FatImage img(geo(spc()));
    uint32_t sub = img.alloc_cluster();
    DirEntries root;
    root.add_short("MYVOLUME   ", DV_ATTR_VOLUME, 0, 0);
    root.add_short("SUB        ", DV_ATTR_DIRECTORY, sub, 0);
    img.place_root(root);
    DirEntries s;
    s.add_dots(sub, 0);
    s.add_short("\xE5"
                "ONE    TXT",
                DV_ATTR_ARCHIVE, 0, 0);
    s.add_short("KEPT    TXT", DV_ATTR_ARCHIVE, 0, 0);
    img.write_dir({sub}, s);
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    auto r = list_dir(v, "/");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].attr, uint32_t(DV_ATTR_VOLUME));
    EXPECT_EQ(r[0].shortname, "MYVOLUME   ");
    auto l = list_dir(v, "SUB");
    ASSERT_EQ(l.size(), 4u);
    EXPECT_EQ(l[0].name, u".");
    EXPECT_EQ(l[0].cluster, sub);
    EXPECT_EQ(l[1].name, u"..");
    EXPECT_EQ(l[1].cluster, 0u);
    EXPECT_EQ(uint8_t(l[2].shortname[0]), 0xE5);
    EXPECT_EQ(l[3].name, u"KEPT.TXT");
}

TEST_P(DirTest, UnreadableClusterGivesEioAndTheNextCallRetries) {
    FatImage img(geo(spc()));
    DirEntries d = shorts(per() + 3);
    auto chain = img.place_root(d);
    ASSERT_EQ(chain.size(), 2u);
    for (auto mode :
         {FaultReader::Result::zero, FaultReader::Result::negative, FaultReader::Result::over}) {
        FaultReader rd(img);
        Mounted v(img, rd);
        ASSERT_TRUE(v.ok());
        readfat_dir *h = readfat_opendir(v, "", nullptr);
        ASSERT_NE(h, nullptr);
        rd.fail_cluster(chain[1], mode);
        int err = 0;
        auto first = list_handle(v, h, &err);
        EXPECT_EQ(first.size(), per());
        EXPECT_EQ(err, EIO);
        rd.reset_log();
        err = 0;
        EXPECT_EQ(readfat_readdir(v, h, &err), nullptr);
        EXPECT_EQ(err, EIO);
        EXPECT_EQ(rd.cluster_reads(chain[1]), 1u) << "each call tries the cluster again";
        dv_entry e;
        EXPECT_EQ(readfat_stat(v, "F0000001", &e), 0);
        EXPECT_EQ(readfat_stat(v, sn(per() + 1).substr(0, 8).c_str(), &e), EIO)
            << "a failing card is not a missing file";
        rd.clear_faults();
        auto rest = list_handle(v, h, &err);
        EXPECT_EQ(err, DV_E_ENDDIR);
        ASSERT_EQ(rest.size(), 3u);
        EXPECT_EQ(rest[0].name, nm(per()));
        readfat_closedir(v, h);
    }
}

TEST_P(DirTest, FailedFatReadGivesEioAndTheNextCallRetries) {
    FatImage img(geo(spc()));
    DirEntries d = shorts(per() + 3);
    img.place_root(d);
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    rd.fail_sector(img.fat_start());
    int err = 0;
    readfat_dir *h = readfat_opendir(v, "", &err);
    ASSERT_NE(h, nullptr);
    auto l = list_handle(v, h, &err);
    EXPECT_EQ(err, EIO) << "a listing cut by an unreadable FAT is not complete";
    EXPECT_EQ(l.size(), per());
    dv_entry e;
    EXPECT_EQ(readfat_stat(v, sn(per() + 1).substr(0, 8).c_str(), &e), EIO);
    rd.clear_faults();
    l = list_handle(v, h, &err);
    EXPECT_EQ(err, DV_E_ENDDIR);
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0].name, nm(per()));
    readfat_closedir(v, h);
}

TEST_P(DirTest, CyclicChainsEndTheListing) {
    struct Case {
        const char *what;
        unsigned clusters;
        unsigned back; // index the last cluster links back to
    } cases[] = {{"self-loop", 1, 0}, {"two-cycle", 2, 0}, {"back to the middle", 5, 2}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FatImage img(geo(spc()));
        DirEntries d = shorts(c.clusters * per()); // full clusters: no end mark anywhere
        auto chain = img.place_root(d);
        ASSERT_EQ(chain.size(), c.clusters);
        img.link(chain, chain[c.back]);
        FaultReader rd(img);
        Mounted v(img, rd);
        ASSERT_TRUE(v.ok());
        int err = 0;
        auto l = list_dir(v, "", &err);
        EXPECT_EQ(err, DV_E_ENDDIR);
        ASSERT_GE(l.size(), d.size()) << "every cluster of the chain is listed";
        for (size_t i = 0; i < d.size(); ++i) EXPECT_EQ(l[i].name, nm(unsigned(i)));
        EXPECT_LE(rd.data_reads(), 3 * c.clusters) << rd.describe();
        dv_entry e;
        EXPECT_EQ(readfat_stat(v, "MISSING", &e), ENOENT);
        EXPECT_EQ(rd.bad_requests(), 0u);
    }
}

TEST_P(DirTest, EnfileClosedHandlesAndSlotReuse) {
    FatImage img(geo(spc()));
    img.place_root(shorts(3));
    FaultReader rd(img);
    Mounted v(img, rd, readfat_optimal_flags(), 1, 2);
    ASSERT_TRUE(v.ok());
    int err = 0;
    readfat_dir *a = readfat_opendir(v, "", &err);
    readfat_dir *b = readfat_opendir(v, "/", &err);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(readfat_opendir(v, "", &err), nullptr);
    EXPECT_EQ(err, ENFILE);
    dv_entry e;
    EXPECT_EQ(readfat_stat(v, "F0000002", &e), 0) << "lookups use their own handle";
    readfat_closedir(v, a);
    err = 0;
    EXPECT_EQ(readfat_readdir(v, a, &err), nullptr);
    EXPECT_EQ(err, EINVAL);
    // The slot is free again; the closed handle stays closed after the slot is reused.
    readfat_dir *c = readfat_opendir(v, "", &err);
    ASSERT_NE(c, nullptr);
    err = 0;
    EXPECT_EQ(readfat_readdir(v, a, &err), nullptr);
    EXPECT_EQ(err, EINVAL);
    EXPECT_EQ(list_handle(v, c, &err).size(), 3u);
}

TEST_P(DirTest, OpenDirFromAnEntry) {
    FatImage img(geo(spc()));
    TreeLayout t(img);
    t.file("SUB/INNER/X.TXT", "x").file("TOP.TXT", "t");
    t.finish();
    FaultReader rd(img);
    Mounted v(img, rd, readfat_optimal_flags(), 1, 3);
    ASSERT_TRUE(v.ok());
    dv_entry sub;
    ASSERT_EQ(readfat_stat(v, "SUB", &sub), 0);
    rd.reset_log();
    int err = 0;
    readfat_dir *h = readfat_opendir_entry(v, &sub, &err);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(rd.calls(), 0u);
    auto l = list_handle(v, h, &err);
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[2].name, u"INNER");
    // ".." of a directory below the root holds cluster 0: the root.
    dv_entry dotdot{};
    dotdot.attr = DV_ATTR_DIRECTORY;
    dotdot.cluster = 0;
    readfat_dir *r = readfat_opendir_entry(v, &dotdot, &err);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(names_of(list_handle(v, r, &err)), (std::vector<std::u16string>{u"TOP.TXT", u"SUB"}));
    readfat_dir *third = readfat_opendir_entry(v, &sub, &err);
    ASSERT_NE(third, nullptr);
    err = 0;
    EXPECT_EQ(readfat_opendir_entry(v, &sub, &err), nullptr);
    EXPECT_EQ(err, ENFILE);
}

// Every position telldir gave reads the same records again, from a fresh handle too;
// runs cut by a cluster boundary come back whole.
void expect_seeks_repeat(readfat_volume *v, FaultReader &rd, const char *path) {
    readfat_dir *h = readfat_opendir(v, path, nullptr);
    ASSERT_NE(h, nullptr);
    std::vector<uint32_t> at;
    std::vector<std::u16string> names;
    for (const dv_entry *e;
         at.push_back(readfat_telldir(v, h)), (e = readfat_readdir(v, h, nullptr));)
        names.push_back(to_u16(e->name));
    ASSERT_EQ(at.size(), names.size() + 1);
    EXPECT_EQ(at[0], 0u);
    for (size_t i = names.size(); i-- > 0;) {
        ASSERT_EQ(readfat_seekdir(v, h, at[i], nullptr), 0);
        const dv_entry *e = readfat_readdir(v, h, nullptr);
        ASSERT_NE(e, nullptr) << i;
        EXPECT_EQ(to_u16(e->name), names[i]);
        EXPECT_EQ(readfat_telldir(v, h), at[i + 1]);
    }
    readfat_closedir(v, h);
    // Closed and opened again: the middle record, then the rest to the end.
    h = readfat_opendir(v, path, nullptr);
    const size_t mid = names.size() / 2;
    rd.reset_log();
    ASSERT_EQ(readfat_seekdir(v, h, at[mid], nullptr), 0);
    EXPECT_LE(rd.calls(), 2u + at[mid] / v->dir_entries_per_cluster)
        << "FAT sectors and one cluster";
    int err = 0;
    EXPECT_EQ(names_of(list_handle(v, h, &err)),
              std::vector<std::u16string>(names.begin() + long(mid), names.end()));
    EXPECT_EQ(err, DV_E_ENDDIR);
    ASSERT_EQ(readfat_seekdir(v, h, at.back() + 5000, nullptr), 0);
    EXPECT_EQ(readfat_readdir(v, h, &err), nullptr);
    EXPECT_EQ(err, DV_E_ENDDIR);
    readfat_closedir(v, h);
    EXPECT_EQ(readfat_telldir(v, h), 0u);
    err = 0;
    EXPECT_EQ(readfat_seekdir(v, h, 0, &err), -1);
    EXPECT_EQ(err, EINVAL);
}

TEST_P(DirTest, SeekdirReturnsToEveryTelldirPosition) {
    FatImage img(geo(spc()));
    DirEntries d = shorts(per() - 2);
    for (unsigned i = 0; i < 3 * per() / 8; ++i)
        d.add_long(long_name(30 + i % 40, char16_t(i)), sn(5000 + i), DV_ATTR_ARCHIVE, 0, 0);
    img.place_root(d);
    for (bool batch : {false, true}) {
        FaultReader rd(img);
        const uint32_t flags = readfat_optimal_flags() | (batch ? READFAT_FLAG_BATCH : 0);
        allow_batches(rd, img, flags);
        Mounted v(img, rd, flags);
        ASSERT_TRUE(v.ok());
        expect_seeks_repeat(v, rd, "");
    }
}

// readfat_entry_where names the slot of each record's 8.3 entry (after its long-name run,
// also one cut by a cluster boundary), in a root of clusters, listed cluster by cluster and
// in runs, and in the fixed root region of FAT16; its address counts slots from the data
// area's first sector plus 3, as The Sleuth Kit numbers entries.
TEST_P(DirTest, EntryWhereNamesTheEightThreeSlot) {
    for (uint32_t bits : {32u, 16u}) {
        // The fixed root does not depend on the cluster size: one-sector clusters keep the
        // FAT16 image small, its root region roomy enough for the same entries.
        FatGeometry g = bits == 16 ? geo(1, 4200) : geo(spc());
        g.fat_bits = bits;
        g.root_entries = (per() + 64) / 16 * 16;
        FatImage img(g);
        DirEntries d = shorts(per() - 2);
        for (unsigned i = 0; i < 12; ++i)
            d.add_long(long_name(30, char16_t(i)), sn(5000 + i), DV_ATTR_ARCHIVE, 0, 0);
        img.place_root(d);
        for (bool batch : {false, true}) {
            SCOPED_TRACE("FAT" + std::to_string(bits) + (batch ? " batch" : ""));
            FaultReader rd(img);
            const uint32_t flags = readfat_optimal_flags() | (batch ? READFAT_FLAG_BATCH : 0);
            allow_batches(rd, img, flags);
            Mounted v(img, rd, flags);
            ASSERT_TRUE(v.ok());
            readfat_dir *h = readfat_opendir(v, "", nullptr);
            ASSERT_NE(h, nullptr);
            readfat_where w{};
            int err = 0;
            EXPECT_EQ(readfat_entry_where(v, h, &w, &err), -1); // nothing listed yet
            EXPECT_EQ(err, EINVAL);
            const uint64_t data = bits == 32 ? img.data_start() : img.root_start();
            unsigned records = 0;
            while (const dv_entry *e = readfat_readdir(v, h, &err)) {
                ++records;
                ASSERT_EQ(readfat_entry_where(v, h, &w, &err), 0) << records;
                ASSERT_LT(w.slot, 16u);
                const uint8_t *raw = img.sector(w.sector) + w.slot * DV_DIRENT_SIZE;
                EXPECT_EQ(std::string(reinterpret_cast<const char *>(raw), 11),
                          std::string(e->shortname, 11));
                EXPECT_EQ(w.address, (w.sector - data) * 16 + w.slot + 3);
            }
            EXPECT_EQ(records, per() - 2 + 12);
            readfat_closedir(v, h);
            EXPECT_EQ(readfat_entry_where(v, h, &w, &err), -1); // closed
            EXPECT_EQ(err, EINVAL);
        }
    }
}

TEST(DirSeek, FixedRootAndFailedReads) {
    FatGeometry g = geo(2, 4000);
    g.fat_bits = 16;
    g.root_entries = 112; // 7 sectors: the last piece is short
    FatImage img(g);
    DirEntries d;
    for (unsigned i = 0; i < 20; ++i)
        d.add_long(long_name(20, char16_t(i)), sn(i), DV_ATTR_ARCHIVE, 0, 0);
    img.place_root(d);
    for (bool batch : {false, true}) {
        FaultReader rd(img);
        const uint32_t flags = readfat_optimal_flags() | (batch ? READFAT_FLAG_BATCH : 0);
        allow_batches(rd, img, flags);
        Mounted v(img, rd, flags);
        ASSERT_TRUE(v.ok());
        expect_seeks_repeat(v, rd, "");
    }
    // A cluster that cannot be read: EIO, and the handle is back at the start.
    FatImage big(geo(1));
    auto chain = big.place_root(shorts(40));
    ASSERT_EQ(chain.size(), 3u);
    FaultReader brd(big);
    Mounted bv(big, brd);
    ASSERT_TRUE(bv.ok());
    readfat_dir *h = readfat_opendir(bv, "", nullptr);
    brd.fail_cluster(chain[2]);
    int err = 0;
    EXPECT_EQ(readfat_seekdir(bv, h, 35, &err), -1);
    EXPECT_EQ(err, EIO);
    EXPECT_EQ(readfat_telldir(bv, h), 0u);
}

// A deleted directory (DV_FLAG_DELETED) is read from its first cluster through the free
// clusters after it that look like directory entries: file data never comes back, and a
// cluster of entries that does not go on with the long name cut before it is not taken (the
// run is dropped); a first cluster in use again leaves it empty. Every record comes back
// deleted, and seekdir agrees with the listing.
TEST_P(DirTest, DeletedDirectoryTakesNoClusterThatIsNotItsOwn) {
    FatImage img(geo(spc()));
    // Clusters 40 and 41: entries, a long name across their boundary, and the first entry
    // of a run that goes on in 42, which holds file data; 43 holds entries again.
    DirEntries old, head = shorts(per() - 3), cut;
    old.add_dots(40, 0);
    for (const RawEntry &e : head.entries()) old.add_raw(e);
    old.add_long(u"a name cut by the boundary", "ANAMEC~1   ", DV_ATTR_ARCHIVE, 0, 0);
    const DirEntries tail = shorts(2 * per() - 1 - unsigned(old.size()), 5000);
    for (const RawEntry &e : tail.entries()) old.add_raw(e);
    cut.add_long(u"run cut by the file data", "RUNCUT~1   ", DV_ATTR_ARCHIVE, 0, 0);
    old.add_raw(cut[0]);
    ASSERT_EQ(old.size(), size_t{2 * per()});
    img.write_dir({40, 41}, old, false);
    img.write_data({42}, pattern_data(img.cluster_bytes(), 5), false);
    img.write_dir({43}, shorts(4, 9000), false);
    img.write_data({50}, "in use");
    DirEntries root;
    root.add_short("\xE5LD        ", DV_ATTR_DIRECTORY, 40, 0);
    root.add_short("\xE5SED       ", DV_ATTR_DIRECTORY, 50, 0);
    root.add_short("USED    BIN", DV_ATTR_ARCHIVE, 50, 6);
    img.place_root(root);
    FaultReader rd(img);
    Mounted v(img, rd, readfat_optimal_flags() | DV_FLAG_DELETED);
    ASSERT_TRUE(v.ok());
    int err = 0;
    readfat_dir *h = readfat_opendir(v, "_LD", &err);
    ASSERT_NE(h, nullptr);
    std::vector<std::u16string> names;
    for (const dv_entry *e; (e = readfat_readdir(v, h, &err)) != nullptr;) {
        names.push_back(to_u16(e->name));
        EXPECT_EQ(e->deleted, 1) << utf8(names.back());
    }
    EXPECT_EQ(err, DV_E_ENDDIR);
    ASSERT_EQ(names.size(), per() + tail.size());
    EXPECT_EQ(names[per() - 1], u"a name cut by the boundary");
    EXPECT_EQ(names.back(), nm(5000 + unsigned(tail.size()) - 1));
    // Clusters found its own are not judged again: a seek reads the one it lands in.
    rd.reset_log();
    ASSERT_EQ(readfat_seekdir(v, h, per() + 1, &err), 0);
    EXPECT_EQ(rd.cluster_reads(40) + rd.cluster_reads(41), 1u);
    ASSERT_EQ(readfat_seekdir(v, h, 2 * per() + 1, &err), 0); // inside the file data
    EXPECT_EQ(readfat_readdir(v, h, &err), nullptr);
    EXPECT_EQ(err, DV_E_ENDDIR);
    readfat_closedir(v, h);
    expect_seeks_repeat(v, rd, "_LD");
    h = readfat_opendir(v, "_SED", &err);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(readfat_readdir(v, h, &err), nullptr);
    EXPECT_EQ(err, DV_E_ENDDIR);
    EXPECT_EQ(rd.cluster_reads(50), 0u);
    readfat_closedir(v, h);
}

// A writer puts a directory's files right after the cluster that lists them, so a deleted
// directory's next cluster lies behind their data: file data, zeroed data and clusters in
// use are passed over to the cluster that goes on with the long name cut at the end of the
// one before. Another directory's first cluster ends the search.
TEST_P(DirTest, DeletedDirectoryGoesOnBehindItsFilesData) {
    FatImage img(geo(spc()));
    DirEntries head, cut, rest = shorts(3, 7000), first = shorts(per() - 3);
    head.add_dots(60, 0);
    for (const RawEntry &e : first.entries()) head.add_raw(e);
    cut.add_long(u"a long name cut by the files", "ALONGN~1   ", DV_ATTR_ARCHIVE, 0, 0);
    head.add_raw(cut[0]);
    DirEntries tail;
    for (size_t i = 1; i < cut.size(); ++i) tail.add_raw(cut[i]);
    for (const RawEntry &e : rest.entries()) tail.add_raw(e);
    img.write_dir({60}, head, false);
    img.write_data({61}, pattern_data(img.cluster_bytes(), 6), false);
    img.write_data({63}, "in use");
    img.write_dir({64}, tail, false); // 62 stays zeroed
    // A second one, full, followed by another directory's first cluster.
    DirEntries other, after = shorts(2, 8000), full = shorts(per() - 2, 9000);
    other.add_dots(70, 0);
    for (const RawEntry &e : full.entries()) other.add_raw(e);
    img.write_dir({70}, other, false);
    DirEntries next;
    next.add_dots(71, 0);
    img.write_dir({71}, next, false);
    img.write_dir({72}, after, false);
    DirEntries root;
    root.add_short("\xE5ONE       ", DV_ATTR_DIRECTORY, 60, 0);
    root.add_short("\xE5TWO       ", DV_ATTR_DIRECTORY, 70, 0);
    img.place_root(root);
    FaultReader rd(img);
    Mounted v(img, rd, readfat_optimal_flags() | DV_FLAG_DELETED);
    ASSERT_TRUE(v.ok());
    int err = 0;
    readfat_dir *h = readfat_opendir(v, "_ONE", &err);
    ASSERT_NE(h, nullptr);
    auto names = names_of(list_handle(v, h, &err));
    EXPECT_EQ(err, DV_E_ENDDIR);
    ASSERT_EQ(names.size(), per() - 3 + 2 + 1 + 3);
    EXPECT_EQ(names[per() - 1], u"a long name cut by the files");
    EXPECT_EQ(names.back(), nm(7002));
    readfat_closedir(v, h);
    expect_seeks_repeat(v, rd, "_ONE");
    h = readfat_opendir(v, "_TWO", &err);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(list_handle(v, h, &err).size(), per());
    EXPECT_EQ(err, DV_E_ENDDIR);
    readfat_closedir(v, h);
}

// What a deleted directory's cluster must look like, slot by slot: each row changes one
// field of a plain 8.3 entry (or makes it another kind of entry) and says whether a writer
// could have left it. An end mark ends the judging.
TEST(DirRecovery, SlotsThatCanBeDirectoryEntries) {
    FatImage img(geo(1)); // 128 clusters of 512 bytes
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    const RawEntry lfn = raw_lfn(0x41, u"name", 0x12);
    const struct {
        const char *what;
        int at; // byte to change (-1: none), or -2: the long-name entry
        uint8_t value;
        bool plausible;
    } rows[] = {
        {"as written", -1, 0, true},
        {"deleted", 0, 0xE5, true},
        {"first byte 0x05", 0, 0x05, true},
        {"byte above 0x7F", 3, 0x99, true},
        {"long name", -2, 0, true},
        {"deleted long name", -2, 0xE5, true},
        {"control character", 4, 0x09, false},
        {"lower case", 2, 'a', false},
        {"forbidden character", 5, '*', false},
        {"leading space", 0, ' ', false},
        {"reserved attribute bit", 11, 0x60, false},
        {"volume label", 11, 0x28, false},
        {"cluster past the volume", 26, 130, false},
        {"size past the volume", 31, 0x01, false},
        {"month 14", 25, 0x01, false},
        {"day 0", 24, 0xC0, false},
        {"hour 24", 23, 0xC0, false},
        {"tenths 200", 13, 200, false},
    };
    for (const auto &r : rows) {
        RawEntry e = raw_short("FILE    TXT", DV_ATTR_ARCHIVE, 5, 100);
        if (r.at == -2) {
            e = lfn;
            if (r.value) e[0] = r.value;
        } else if (r.at >= 0) {
            e[size_t(r.at)] = r.value;
        }
        RawEntry two[2] = {e, RawEntry{}};
        EXPECT_EQ(dorvex::looks_like_directory(v, two[0].data(), 2), r.plausible) << r.what;
    }
    RawEntry dot = raw_short(".          ", DV_ATTR_DIRECTORY, 5, 0), bad = dot;
    bad[1] = '.';
    bad[2] = '.';
    EXPECT_TRUE(dorvex::looks_like_directory(v, dot.data(), 1));
    EXPECT_FALSE(dorvex::looks_like_directory(v, bad.data(), 1)) << "three dots";
    RawEntry end_then_data[2] = {RawEntry{}, RawEntry{}};
    end_then_data[1].fill(0x09);
    EXPECT_TRUE(dorvex::looks_like_directory(v, end_then_data[0].data(), 2));
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, DirTest, testing::Values(1u, 2u, 3u, 8u, 64u),
                         [](const testing::TestParamInfo<uint32_t> &i) {
                             return "spc" + std::to_string(i.param);
                         });

// ---- One-sector clusters: runs longer than a cluster -----------------------------------------

TEST(DirCarry, TwentyEntryRunsOnOneSectorClusters) {
    // A 255-unit name takes 21 entries; with 16 entries per cluster it can straddle two
    // boundaries. Every start position within a cluster must give the whole name.
    for (unsigned start = 0; start < 16; ++start) {
        SCOPED_TRACE(start);
        FatImage img(geo(1));
        DirEntries d = shorts(start);
        std::u16string name = long_name(255, char16_t(start));
        d.add_long(name, "VERYLO~1TXT", DV_ATTR_ARCHIVE, 0, 0);
        d.add_short(sn(77), DV_ATTR_ARCHIVE, 0, 0);
        d.add_long(long_name(200, 5), "VERYLO~2TXT", DV_ATTR_ARCHIVE, 0, 0);
        auto chain = img.place_root(d);
        FaultReader rd(img);
        Mounted v(img, rd);
        ASSERT_TRUE(v.ok());
        auto l = list_dir(v, "");
        ASSERT_EQ(l.size(), start + 3);
        EXPECT_EQ(l[start].name, name);
        EXPECT_EQ(l[start + 1].name, nm(77));
        EXPECT_EQ(l[start + 2].name, long_name(200, 5));
        for (uint32_t c : chain) EXPECT_EQ(rd.cluster_reads(c), 1u);
        dv_entry e;
        EXPECT_EQ(readfat_stat(v, utf8(name).c_str(), &e), 0);
        EXPECT_EQ(to_u16(e.name), name);
    }
}

TEST(DirCarry, RunStartsThatNeverCloseEndTheScan) {
    // 40 run starts in a row (sequence byte 0x54 each time) across three one-sector
    // clusters, then a short entry whose checksum matches none: nothing comes of them,
    // and the scan ends cleanly.
    FatImage img(geo(1));
    DirEntries d = shorts(2);
    std::u16string name = long_name(255, 1);
    for (int i = 0; i < 40; ++i) d.add_raw(raw_lfn(0x54, name, 0x33));
    d.add_short(sn(50), DV_ATTR_ARCHIVE, 0, 0);
    img.place_root(d);
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    int err = 0;
    auto l = list_dir(v, "", &err);
    EXPECT_EQ(err, DV_E_ENDDIR);
    EXPECT_GE(l.size(), 2u);
}

// ---- Directories outside the volume, interleaved handles, err discipline -------------------

TEST(DirMisc, DirectoryClustersOutsideTheVolumeFailWithoutAReaderCall) {
    for (uint32_t bad : {1u, 128u + 2, 0x0FFFFFF0u, 0x0FFFFFF7u}) {
        SCOPED_TRACE(bad);
        FatImage img(geo(2));
        DirEntries root = shorts(2 * 32); // two full clusters, the second one outside
        root.add_short("SUB        ", DV_ATTR_DIRECTORY, bad, 0);
        auto chain = img.place_root(root);
        ASSERT_EQ(chain.size(), 3u);
        img.link({chain[0]}, bad); // the root's chain leaves the volume after one cluster
        FaultReader rd(img);
        Mounted v(img, rd);
        ASSERT_TRUE(v.ok());
        readfat_dir *h = readfat_opendir(v, "", nullptr);
        ASSERT_NE(h, nullptr);
        int err = 0;
        auto l = list_handle(v, h, &err);
        EXPECT_EQ(l.size(), 32u);
        EXPECT_EQ(err, EIO) << "a cluster outside the data area reads as a failed read";
        err = 0;
        EXPECT_EQ(readfat_readdir(v, h, &err), nullptr);
        EXPECT_EQ(err, EIO);
        dv_entry e;
        EXPECT_EQ(readfat_stat(v, "F0000040", &e), EIO);
        EXPECT_EQ(rd.bad_requests(), 0u) << rd.describe();
        // Only the first root cluster (listing, lookup) and FAT sectors are ever read.
        EXPECT_EQ(rd.cluster_reads(chain[0]), 2u) << rd.describe();
        EXPECT_EQ(rd.calls(), 1 + 2 + rd.fat_reads()) << rd.describe();
    }
    // A subdirectory whose first cluster lies outside.
    FatImage img(geo(1));
    DirEntries root;
    root.add_short("SUB        ", DV_ATTR_DIRECTORY, 0x00FFFFFF, 0);
    img.place_root(root);
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    int err = 0;
    readfat_dir *h = readfat_opendir(v, "SUB", &err);
    ASSERT_NE(h, nullptr) << err;
    EXPECT_EQ(readfat_readdir(v, h, &err), nullptr);
    EXPECT_EQ(err, EIO);
    dv_entry e;
    EXPECT_EQ(readfat_stat(v, "SUB/X", &e), EIO);
    EXPECT_EQ(rd.bad_requests(), 0u);
}

TEST(DirMisc, LookupsInTheMiddleOfAListingDoNotDisturbIt) {
    FatImage img(geo(1));
    TreeLayout t(img);
    for (int i = 0; i < 40; ++i) t.file("dir/a long file name " + std::to_string(i), "x");
    t.file("OTHER/deep/file.txt", "y");
    t.finish();
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    int err = 0;
    readfat_dir *a = readfat_opendir(v, "dir", &err);
    readfat_dir *b = readfat_opendir(v, "dir", &err);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    std::vector<std::u16string> la, lb;
    const dv_entry *e;
    for (int step = 0;; ++step) {
        bool more = false;
        if ((e = readfat_readdir(v, a, &err)) != nullptr) {
            EXPECT_EQ(e, &a->entry) << "the record lives in the handle";
            la.push_back(to_u16(e->name));
            more = true;
        }
        if (step % 2 == 0 && (e = readfat_readdir(v, b, &err)) != nullptr) {
            lb.push_back(to_u16(e->name));
            more = true;
        }
        dv_entry s;
        EXPECT_EQ(readfat_stat(v, "OTHER/deep/file.txt", &s), 0);
        EXPECT_EQ(readfat_stat(v, "dir/a long file name 39", &s), 0);
        if (!more) break;
    }
    for (; (e = readfat_readdir(v, b, &err)) != nullptr;) lb.push_back(to_u16(e->name));
    std::vector<std::u16string> want{u".", u".."};
    for (const auto &n : t.children("dir")) want.push_back(n);
    EXPECT_EQ(la, want);
    EXPECT_EQ(lb, want);
}

TEST(DirMisc, SuccessNeverWritesErr) {
    FatImage img(geo(1));
    TreeLayout t(img);
    t.file("A.TXT", pattern_data(1000, 1)).file("D/B.TXT", "b");
    t.finish();
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    int err = 12345;
    readfat_dir *d = readfat_opendir(v, "D", &err);
    ASSERT_NE(d, nullptr);
    while (readfat_readdir(v, d, &err) != nullptr) EXPECT_EQ(err, 12345);
    EXPECT_EQ(err, DV_E_ENDDIR);
    err = 12345;
    readfat_file *f = readfat_open(v, "A.TXT", &err);
    ASSERT_NE(f, nullptr);
    char buf[600];
    EXPECT_EQ(readfat_read(v, f, buf, 600, &err), 600u);
    EXPECT_EQ(readfat_seek(v, f, 10, &err), 0);
    EXPECT_EQ(readfat_read(v, f, buf, 0, &err), 0u);
    EXPECT_EQ(readfat_read(v, f, buf, 600, &err), 600u);
    EXPECT_EQ(readfat_read(v, f, buf, 600, &err), 390u);
    EXPECT_EQ(readfat_read(v, f, buf, 600, &err), 0u);
    EXPECT_EQ(err, 12345);
    // A file path opens as a directory of whatever its clusters hold.
    readfat_dir *fd = readfat_opendir(v, "A.TXT", &err);
    EXPECT_NE(fd, nullptr);
    EXPECT_EQ(err, 12345);
}

TEST(DirMisc, DirectoriesLargerThanTwoMebibytesAreListedWhole) {
    // 70,000 entries on 64-sector clusters: 69 clusters, 2.1 MiB of entries. Some tools
    // write such directories; cycle detection must not cut them short.
    FatImage img(geo(64, 80));
    DirEntries d = shorts(70000);
    auto chain = img.place_root(d);
    ASSERT_EQ(chain.size(), 69u);
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    auto l = list_dir(v, "");
    ASSERT_EQ(l.size(), 70000u);
    EXPECT_EQ(l.back().name, nm(69999));
    for (uint32_t c : chain) EXPECT_EQ(rd.cluster_reads(c), 1u);
    dv_entry e;
    EXPECT_EQ(readfat_stat(v, "F0069999", &e), 0);
}

TEST(DirMisc, RequestsAreWholeClustersAndSingleFatSectors) {
    FatImage img(geo(8, 400));
    TreeLayout t(img);
    for (int i = 0; i < 300; ++i) t.file("d/file number " + std::to_string(i) + ".txt", "z");
    t.finish();
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    auto l = list_dir(v, "d");
    EXPECT_EQ(l.size(), 302u);
    for (const auto &c : rd.log()) {
        if (c.sector >= img.data_start()) {
            EXPECT_EQ(c.count, 8u);
            EXPECT_EQ((c.sector - img.data_start()) % 8, 0u);
        } else {
            EXPECT_EQ(c.count, 1u);
        }
    }
}

TEST(DirMisc, FullSlotsAreReportedBeforeThePathIsLookedAt) {
    FatImage img(geo(1));
    img.place_root(shorts(3));
    FaultReader rd(img);
    Mounted v(img, rd, readfat_optimal_flags(), 1, 1);
    ASSERT_TRUE(v.ok());
    ASSERT_NE(readfat_opendir(v, "", nullptr), nullptr);
    ASSERT_NE(readfat_open(v, "F0000001", nullptr), nullptr);
    rd.reset_log();
    int err = 0;
    EXPECT_EQ(readfat_opendir(v, "MISSING/DIR", &err), nullptr);
    EXPECT_EQ(err, ENFILE);
    err = 0;
    EXPECT_EQ(readfat_open(v, "MISSING", &err), nullptr);
    EXPECT_EQ(err, ENFILE);
    EXPECT_EQ(rd.calls(), 0u);
}

TEST(DirMisc, ClusterZeroIsTheRootOnlyForDirectoryEntries) {
    FatImage img(geo(1));
    DirEntries root = shorts(3);
    root.add_short("EMPTY   TXT", DV_ATTR_ARCHIVE, 0, 0);
    img.place_root(root);
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    dv_entry file{};
    file.attr = DV_ATTR_ARCHIVE; // an empty file: cluster 0 is no cluster at all
    int err = 0;
    readfat_dir *d = readfat_opendir_entry(v, &file, &err);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(readfat_readdir(v, d, &err), nullptr);
    EXPECT_EQ(err, EIO);
    readfat_closedir(v, d);
    d = readfat_opendir(v, "EMPTY.TXT", &err);
    ASSERT_NE(d, nullptr);
    err = 0;
    EXPECT_EQ(readfat_readdir(v, d, &err), nullptr);
    EXPECT_EQ(err, EIO);
    dv_entry e;
    EXPECT_EQ(readfat_stat(v, "EMPTY.TXT/F0000001", &e),
              ENOTDIR); // a file on the way, whatever its cluster
    EXPECT_EQ(rd.bad_requests(), 0u);
}

// Without READFAT_FLAG_DOTS "." and ".." are the entries on disk (a ".." below the root holds
// cluster 0, the root); with it they go by the path's text, the same in every lookup.
TEST(DirMisc, DotComponentsByTheEntriesOrByThePathsText) {
    FatImage img(geo(1));
    const uint32_t a = img.alloc_cluster(), b = img.alloc_cluster();
    DirEntries root;
    root.add_short("A          ", DV_ATTR_DIRECTORY, a, 0);
    root.add_short("TOP     TXT", DV_ATTR_ARCHIVE, 0, 7);
    img.place_root(root);
    DirEntries da, db;
    da.add_dots(a, 0).add_short("B          ", DV_ATTR_DIRECTORY, b, 0);
    db.add_dots(b, a).add_short("LEAF    TXT", DV_ATTR_ARCHIVE, 0, 9);
    img.write_dir({a}, da);
    img.write_dir({b}, db);
    FaultReader rd(img);
    const struct {
        const char *path;
        int on_disk, by_text;    // readfat_stat's result without and with the flag
        const char *disk, *text; // the short name found
    } cases[] = {
        {"/A/B/..", 0, 0, "..         ", "A          "},
        {"/A/B/../B/LEAF.TXT", 0, 0, "LEAF    TXT", "LEAF    TXT"},
        {"/A/./B/./LEAF.TXT", 0, 0, "LEAF    TXT", "LEAF    TXT"},
        {"/A/../TOP.TXT", 0, 0, "TOP     TXT", "TOP     TXT"},
        {"/../TOP.TXT", ENOENT, 0, nullptr, "TOP     TXT"},
        {"/A/..", 0, ENOENT, "..         ", nullptr},
        {"/NONE/../TOP.TXT", ENOENT, 0, nullptr, "TOP     TXT"},
        {"/A/B/LEAF.TXT/..", ENOTDIR, 0, nullptr, "B          "},
    };
    for (const uint32_t flags :
         {readfat_optimal_flags(), readfat_optimal_flags() | READFAT_FLAG_DOTS}) {
        Mounted v(img, rd, flags);
        ASSERT_TRUE(v.ok());
        const size_t blocks = v.alloc.live_blocks();
        const bool text = (flags & READFAT_FLAG_DOTS) != 0;
        for (const auto &c : cases) {
            dv_entry e;
            const int want = text ? c.by_text : c.on_disk;
            ASSERT_EQ(readfat_stat(v, c.path, &e), want) << c.path << " " << text;
            if (want == 0) {
                EXPECT_EQ(std::string(e.shortname, 11), text ? c.text : c.disk) << c.path;
            }
        }
        // The root by every way there (on disk the root has no "..").
        for (const char *path : {"/A/..", "/A/B/../..", "/..", "A/B/../../"}) {
            int err = 0;
            readfat_dir *d = readfat_opendir(v, path, &err);
            if (!text && std::string(path) == "/..") {
                EXPECT_EQ(d, nullptr) << path;
                continue;
            }
            ASSERT_NE(d, nullptr) << path;
            const dv_entry *e = readfat_readdir(v, d, &err);
            ASSERT_NE(e, nullptr) << path;
            EXPECT_EQ(std::string(e->shortname, 11), "A          ") << path;
            readfat_closedir(v, d);
        }
        // From a directory's entry instead of the root.
        dv_entry at, e;
        ASSERT_EQ(readfat_stat(v, "/A", &at), 0);
        ASSERT_EQ(readfat_stat_at(v, &at, "B/../B/LEAF.TXT", &e), 0);
        EXPECT_EQ(std::string(e.shortname, 11), "LEAF    TXT");
        ASSERT_EQ(readfat_stat_at(v, nullptr, "TOP.TXT", &e), 0);
        EXPECT_EQ(e.size, 7u);
        EXPECT_EQ(readfat_stat_at(v, &at, "TOP.TXT", &e), ENOENT);
        EXPECT_EQ(readfat_stat_at(v, &at, "..", &e), text ? ENOENT : 0); // not above `dir`
        ASSERT_EQ(readfat_stat_at(v, &at, "B/LEAF.TXT", &at), 0);
        EXPECT_EQ(readfat_stat_at(v, &at, "X", &e), ENOTDIR);
        EXPECT_EQ(readfat_stat_at(v, nullptr, nullptr, &e), EINVAL);
        EXPECT_EQ(v.alloc.live_blocks(), blocks); // every path list released
    }
}

// With READFAT_FLAG_BATCH a listing loads runs of clusters (and of root sectors) a request:
// the same records, codes and positions as without it, across damaged chains and failing
// readers, on every FAT width; seekdir lands on the same records.
TEST(DirBatch, ListingsReadTheSameWithFewerRequestsOnEveryFatWidth) {
    enum Damage { none, out_of_range, free_link, cycle, bad_cluster, bad_later, one_a_call };
    const char *what[] = {"clean",      "link out of range", "free cluster",     "cycle",
                          "bad sector", "bad sector later",  "one sector a call"};
    for (uint32_t bits : {12u, 16u, 32u}) {
        FatGeometry g = geo(1, bits == 16 ? 4200 : 1200);
        g.fat_bits = bits;
        g.root_entries = 256; // 16 sectors: one run
        for (Damage dmg :
             {none, out_of_range, free_link, cycle, bad_cluster, bad_later, one_a_call}) {
            SCOPED_TRACE(testing::Message() << "FAT" << bits << ", " << what[dmg]);
            FatImage img(g);
            // 200 clusters: runs of 150 and 50 with a gap, so a run crosses FAT sectors.
            std::vector<uint32_t> chain;
            for (uint32_t c = 300; c < 450; ++c) chain.push_back(c);
            for (uint32_t c = 600; c < 650; ++c) chain.push_back(c);
            img.write_dir(chain, shorts(200 * 16 - 3));
            if (dmg == out_of_range) img.set_fat(chain[170], g.cluster_count + 9);
            if (dmg == free_link) img.set_fat(chain[140], 0);
            if (dmg == cycle) img.set_fat(chain.back(), chain[20]);
            DirEntries root = shorts(200, 10000);
            root.add_short("D          ", DV_ATTR_DIRECTORY, chain[0], 0);
            img.place_root(root);
            std::vector<std::string> out[2];
            uint64_t data[2] = {0, 0};
            for (bool batch : {false, true}) {
                FaultReader rd(img);
                const uint32_t flags = readfat_optimal_flags() | (batch ? READFAT_FLAG_BATCH : 0);
                allow_batches(rd, img, flags);
                if (dmg == bad_cluster) rd.fail_cluster(chain[90]);
                if (dmg == bad_later) rd.fail_cluster(chain[3]); // the run's fourth cluster
                if (dmg == one_a_call) rd.max_per_call(1);
                Mounted v(img, rd, flags);
                ASSERT_TRUE(v.ok());
                std::vector<std::string> &o = out[batch];
                for (const char *path : {"", "D"}) {
                    readfat_dir *h = readfat_opendir(v, path, nullptr);
                    ASSERT_NE(h, nullptr);
                    rd.reset_log();
                    std::vector<uint32_t> at;
                    int err = 0;
                    for (const dv_entry *e;
                         at.push_back(readfat_telldir(v, h)), (e = readfat_readdir(v, h, &err));)
                        o.push_back(to_utf8(e->name) + " @" + std::to_string(at.back()));
                    o.push_back("end " + std::to_string(err) + " @" + std::to_string(at.back()));
                    data[batch] += rd.calls() - rd.fat_reads();
                    for (size_t i = at.size(); i-- > 0; i = i > 37 ? i - 37 : 0) {
                        err = 0;
                        const int rc = readfat_seekdir(v, h, at[i], &err);
                        const dv_entry *e = rc == 0 ? readfat_readdir(v, h, &err) : nullptr;
                        o.push_back("seek " + std::to_string(at[i]) + " " + std::to_string(rc) +
                                    " " + (e ? to_utf8(e->name) : std::to_string(err)));
                        if (i == 0) break;
                    }
                    readfat_closedir(v, h);
                }
                EXPECT_EQ(rd.bad_requests(), 0u);
            }
            EXPECT_EQ(out[1], out[0]);
            if (dmg == none) {
                // 13 root sectors or clusters and 200 clusters, one a request; with the bit
                // the root in one, and runs of 128, 22 and 50 clusters.
                EXPECT_EQ(data[0], 13u + 200u);
                EXPECT_EQ(data[1], 1u + 3u);
            } else if (dmg != one_a_call && dmg != bad_later) {
                // A sector refused near the start costs a few halved requests more.
                EXPECT_LT(data[1], data[0]);
            }
        }
    }
}
