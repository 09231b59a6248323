// File extents: the runs cover each file exactly and the sectors they name hold its bytes,
// over FAT12/16/32 and several cluster sizes and spreads; directories and the root; damaged
// chains end with the code readfat_read gives, after no more than it reads; deleted files
// give the runs recovery reads; the array form matches the callback form; only FAT
// sectors are read. Against real tools: a file fragmented by mtools on FAT12 and FAT16,
// and the sectors The Sleuth Kit's istat lists.
#include "support/tools.h"
#include "support/volume_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

using namespace dvtest;

namespace {

struct Walk {
    std::vector<readfat_extent> runs;
    int rc = 0;
    int err = 0;
    uint64_t bytes() const {
        uint64_t n = 0;
        for (const readfat_extent &x : runs) n += x.bytes;
        return n;
    }
};

Walk extents_of(readfat_volume *vol, const dv_entry &e) {
    Walk w;
    w.rc = readfat_extents_each(
        vol, &e,
        [](void *d, const readfat_extent *x) {
            static_cast<std::vector<readfat_extent> *>(d)->push_back(*x);
            return 0;
        },
        &w.runs, &w.err);
    return w;
}

// The bytes the runs name, read straight from the medium.
std::string bytes_at(FatImage &img, const std::vector<readfat_extent> &runs) {
    std::string out;
    for (const readfat_extent &x : runs)
        for (uint32_t k = 0; k * kSector < x.bytes; ++k)
            out.append(reinterpret_cast<const char *>(img.sector(x.sector + k)),
                       std::min<uint32_t>(kSector, x.bytes - k * kSector));
    return out;
}

// Runs follow each other in the file, each a whole number of clusters on disk that no
// neighbour continues (else they would be one run).
void expect_well_formed(const std::vector<readfat_extent> &runs, uint32_t spc) {
    uint64_t offset = 0;
    for (size_t i = 0; i < runs.size(); ++i) {
        const readfat_extent &x = runs[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(x.offset, offset);
        EXPECT_GT(x.bytes, 0u);
        EXPECT_EQ(x.sectors, x.clusters * spc);
        EXPECT_LE(x.bytes, uint64_t{x.sectors} * kSector);
        EXPECT_GT(uint64_t{x.bytes}, uint64_t{x.sectors - spc} * kSector);
        if (i > 0 && runs[i - 1].cluster + runs[i - 1].clusters == x.cluster) {
            EXPECT_NE(x.flags, runs[i - 1].flags) << "a run split for no reason";
        }
        offset += x.bytes;
    }
}

// The number of runs a chain makes: one more than its jumps.
size_t runs_in(const std::vector<uint32_t> &chain) {
    size_t n = chain.empty() ? 0 : 1;
    for (size_t i = 1; i < chain.size(); ++i) n += chain[i] != chain[i - 1] + 1;
    return n;
}

dv_entry stat_of(readfat_volume *vol, const char *path) {
    dv_entry e{};
    EXPECT_EQ(readfat_stat(vol, path, &e), 0) << path;
    return e;
}

} // namespace

// ---- Sound chains ----------------------------------------------------------------------

// FAT width and sectors per cluster.
using ExtentParam = std::tuple<uint32_t, uint32_t>;

class Extents : public testing::TestWithParam<ExtentParam> {};

TEST_P(Extents, RunsCoverEachFileExactlyAndHoldItsBytes) {
    const auto [bits, spc] = GetParam();
    FatGeometry g;
    g.fat_bits = bits;
    g.sectors_per_cluster = spc;
    g.cluster_count = bits == 16 ? 4200 : 300;
    g.root_entries = 64;
    FatImage img(g);
    TreeLayout t(img);
    const uint32_t cb = img.cluster_bytes();
    using S = FatImage::Spread;
    t.file("EMPTY.BIN", "");
    t.file("ONE.BIN", pattern_data(1, 1));
    t.file("EXACT.BIN", pattern_data(2 * cb, 2));
    t.file("RUN.BIN", pattern_data(9 * cb + 7, 3));
    t.file("GAPPED.BIN", pattern_data(5 * cb - 1, 4), S::gapped);
    t.file("BACK.BIN", pattern_data(4 * cb + 1, 5), S::reversed);
    t.file("MIXED.BIN", pattern_data(12 * cb + 300, 6), S::shuffled);
    t.file("SUB/IN.TXT", pattern_data(cb + 3, 7), S::gapped);
    t.finish();
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    for (const TreeNode &n : t.nodes()) {
        if (n.path.empty()) continue; // the root, below
        SCOPED_TRACE(n.path);
        const dv_entry e = stat_of(v, n.path.c_str());
        rd.reset_log();
        const Walk w = extents_of(v, e);
        EXPECT_EQ(w.rc, 0) << w.err;
        EXPECT_EQ(rd.data_reads(), 0u) << "only FAT sectors: " << rd.describe();
        expect_well_formed(w.runs, spc);
        EXPECT_EQ(w.runs.size(), runs_in(n.chain));
        if (n.is_dir) {
            // A directory's runs cover its chain, clusters counted whole.
            EXPECT_EQ(w.bytes(), uint64_t{cb} * n.chain.size());
            continue;
        }
        EXPECT_EQ(w.bytes(), n.data.size());
        EXPECT_TRUE(bytes_at(img, w.runs) == n.data);
        EXPECT_TRUE(read_file(v, n.path.c_str()) == n.data);
    }
    // The root: FAT32's chain, or the FAT12/16 region as one run of no clusters.
    dv_entry root{};
    root.attr = DV_ATTR_DIRECTORY;
    const Walk w = extents_of(v, root);
    ASSERT_EQ(w.rc, 0);
    ASSERT_EQ(w.runs.size(), 1u);
    if (bits == 32) {
        EXPECT_EQ(w.runs[0].cluster, img.root_cluster());
        EXPECT_EQ(w.runs[0].sector, img.cluster_sector(img.root_cluster()));
    } else {
        EXPECT_EQ(w.runs[0].clusters, 0u);
        EXPECT_EQ(w.runs[0].sector, img.root_start());
        EXPECT_EQ(w.runs[0].sectors, img.root_sectors());
    }
    EXPECT_EQ(rd.bad_requests(), 0u);

    // Cluster numbers past the data area still have a place (where a volume cut short
    // leads); marks and 0, 1 have none.
    const uint32_t bad = bits == 12 ? 0xFF7u : bits == 16 ? 0xFFF7u : 0x0FFFFFF7u;
    for (uint32_t c : {2u, 5u, g.cluster_count + 1, g.cluster_count + 2, bad - 1})
        EXPECT_EQ(readfat_cluster_sector(v, c), img.cluster_sector(c)) << c;
    for (uint32_t c : {0u, 1u, bad, bad + 1, 0x0FFFFFF8u, 0xFFFFFFFFu})
        EXPECT_EQ(readfat_cluster_sector(v, c), 0u) << c;
    EXPECT_EQ(readfat_cluster_sector(nullptr, 2), 0u);

    // The array form: the same runs, as many as there is room for, all counted; nothing
    // written past the room. A function that stops the walk: 1, after that run.
    const dv_entry mixed = stat_of(v, "MIXED.BIN");
    const Walk all = extents_of(v, mixed);
    for (uint32_t room : {0u, 1u, uint32_t(all.runs.size())}) {
        std::vector<readfat_extent> out(room + 1);
        std::memset(out.data(), 0xA5, out.size() * sizeof out[0]);
        uint32_t count = 0;
        ASSERT_EQ(readfat_extents(v, &mixed, room ? out.data() : nullptr, room, &count, nullptr),
                  0);
        EXPECT_EQ(count, all.runs.size());
        for (uint32_t i = 0; i < room; ++i)
            EXPECT_EQ(std::memcmp(&out[i], &all.runs[i], sizeof out[i]), 0) << i;
        EXPECT_EQ(reinterpret_cast<const uint8_t *>(&out[room])[0], 0xA5);
    }
    int calls = 0;
    auto second = [](void *d, const readfat_extent *) {
        return ++*static_cast<int *>(d) == 2 ? 1 : 0;
    };
    EXPECT_EQ(readfat_extents_each(v, &mixed, second, &calls, nullptr), 1);
    EXPECT_EQ(calls, 2);
}

INSTANTIATE_TEST_SUITE_P(Geometries, Extents,
                         testing::Combine(testing::Values(12u, 16u, 32u),
                                          testing::Values(1u, 2u, 8u, 64u)),
                         [](const testing::TestParamInfo<ExtentParam> &i) {
                             return "fat" + std::to_string(std::get<0>(i.param)) + "_spc" +
                                    std::to_string(std::get<1>(i.param));
                         });

TEST(ExtentsMisuse, NullArgumentsAreEinval) {
    FatImage img(FatGeometry{});
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    dv_entry e{};
    readfat_extent x;
    uint32_t count = 7;
    int err = 0;
    auto none = [](void *, const readfat_extent *) { return 0; };
    EXPECT_EQ(readfat_extents(nullptr, &e, &x, 1, &count, &err), -1);
    EXPECT_EQ(readfat_extents(v, nullptr, &x, 1, &count, &err), -1);
    EXPECT_EQ(readfat_extents(v, &e, nullptr, 1, &count, &err), -1);
    EXPECT_EQ(readfat_extents(v, &e, &x, 1, nullptr, &err), -1);
    EXPECT_EQ(readfat_extents_each(nullptr, &e, none, nullptr, &err), -1);
    EXPECT_EQ(readfat_extents_each(v, &e, nullptr, nullptr, &err), -1);
    EXPECT_EQ(err, EINVAL);
    EXPECT_EQ(count, 7u);
}

// ---- Damaged chains ----------------------------------------------------------------------

TEST(ExtentsDamage, BrokenChainsEndWithTheCodeAfterWhatReadsReturn) {
    const uint32_t clusters = 64;
    struct Case {
        const char *what;
        std::vector<uint32_t> chain;
        uint32_t end;
    } cases[] = {
        {"short: an end mark", {10, 11}, kEndOfChain},
        {"to free", {10, 20}, 0},
        {"to 1", {10}, 1},
        {"past the last cluster", {10, 11, 12}, clusters + 2},
        {"bad-cluster mark", {10}, 0x0FFFFFF7},
        {"first cluster 0", {0}, kEndOfChain},
        {"first cluster past the end", {clusters + 5}, kEndOfChain},
        {"self-loop", {10}, 10},
        {"two-cycle", {10, 30}, 10},
        {"back into the middle", {10, 11, 12, 13, 14}, 12},
        {"contiguous run back to its start", {20, 21, 22, 23, 24, 25, 26, 27}, 20},
        {"long cycle", {10, 20, 30, 11, 21, 31, 12, 22, 32}, 20},
    };
    for (bool batch : {false, true}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << c.what << (batch ? ", batched" : ""));
            FatGeometry g;
            g.cluster_count = clusters;
            FatImage img(g);
            const uint32_t size = 40 * kSector; // more than any chain holds
            const std::string data = pattern_data(size, 3);
            DirEntries d;
            d.add_short("F       BIN", DV_ATTR_ARCHIVE, c.chain[0], size);
            img.place_root(d);
            for (size_t i = 0; i < c.chain.size(); ++i) {
                if (c.chain[i] < 2 || c.chain[i] >= clusters + 2) continue;
                std::memcpy(img.cluster(c.chain[i]), data.data() + i * kSector, kSector);
                img.set_fat(c.chain[i], i + 1 < c.chain.size() ? c.chain[i + 1] : c.end);
            }
            FaultReader rd(img);
            const uint32_t flags = readfat_optimal_flags() | (batch ? READFAT_FLAG_BATCH : 0);
            allow_batches(rd, img, flags);
            Mounted v(img, rd, flags);
            ASSERT_TRUE(v.ok());
            const dv_entry e = stat_of(v, "F.BIN");
            const Walk w = extents_of(v, e);
            EXPECT_EQ(w.rc, -1);
            EXPECT_EQ(w.err, DV_E_BROKENCHAIN);
            expect_well_formed(w.runs, 1);
            // The runs name exactly the bytes a read returns before its error.
            int err = 0;
            readfat_file *h = readfat_open(v, "F.BIN", &err);
            ASSERT_NE(h, nullptr);
            AlignedBuffer b(size);
            const uint32_t n = readfat_read(v, h, b.data(), size, &err);
            EXPECT_EQ(err, DV_E_BROKENCHAIN);
            EXPECT_EQ(w.bytes(), n);
            EXPECT_TRUE(bytes_at(img, w.runs) == std::string(b.chars(), n));
            readfat_close(v, h);
            EXPECT_EQ(rd.bad_requests(), 0u);
        }
    }
}

TEST(ExtentsDamage, DirectoryLoopsAndUnreadableFatSectors) {
    FatGeometry g;
    g.cluster_count = 2000;
    FatImage img(g);
    TreeLayout t(img);
    t.file("FAR.BIN", pattern_data(3 * kSector, 1));
    t.dir("LOOP");
    t.finish();
    // The directory's one cluster leads back to itself: its run, then the code.
    const uint32_t loop = t.find("LOOP")->first_cluster;
    img.set_fat(loop, loop);
    // FAR.BIN's second link lies in a FAT sector of its own, which the reader fails.
    const std::vector<uint32_t> far = t.find("FAR.BIN")->chain;
    img.link({far[0], 1500, 1501});
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    Walk w = extents_of(v, stat_of(v, "LOOP"));
    EXPECT_EQ(w.err, DV_E_BROKENCHAIN);
    ASSERT_EQ(w.runs.size(), 1u);
    EXPECT_EQ(w.runs[0].cluster, loop);

    const dv_entry e = stat_of(v, "FAR.BIN");
    rd.fail_sector(img.fat_start() + 1500 * 4 / kSector);
    w = extents_of(v, e);
    EXPECT_EQ(w.rc, -1);
    EXPECT_EQ(w.err, EIO);
    // Cluster 1500 is the file's (its link says so); where it leads is unknown.
    ASSERT_EQ(w.runs.size(), 2u);
    EXPECT_EQ(w.runs[1].cluster, 1500u);
    rd.clear_faults();
    w = extents_of(v, e); // the next call reads it again
    EXPECT_EQ(w.rc, 0);
    EXPECT_EQ(w.runs.size(), 2u);
    EXPECT_EQ(w.bytes(), 3 * kSector);
}

// ---- Deleted files -----------------------------------------------------------------------

TEST(ExtentsRecovery, DeletedFilesGiveTheRunsRecoveryReads) {
    FatGeometry g;
    g.cluster_count = 48;
    FatImage img(g);
    TreeLayout t(img);
    t.file("GONE.BIN", pattern_data(5 * kSector, 1));
    t.file("OLD/A.TXT", "a");
    t.finish();
    const std::vector<uint32_t> chain = t.find("GONE.BIN")->chain;
    for (uint32_t c : chain) img.set_fat(c, 0);
    img.set_fat(chain[2], kEndOfChain); // reused by another file
    const std::vector<uint32_t> root{img.root_cluster()};
    img.dir_entry(root, 0)[0] = 0xE5;
    img.dir_entry(root, 1)[0] = 0xE5;
    img.set_fat(t.find("OLD")->first_cluster, 0);

    FaultReader rd(img);
    Mounted v(img, rd, readfat_optimal_flags() | DV_FLAG_DELETED, 2, 2);
    ASSERT_TRUE(v.ok());
    dv_entry e = stat_of(v, "_ONE.BIN");
    ASSERT_EQ(e.deleted, 1);
    Walk w = extents_of(v, e);
    ASSERT_EQ(w.rc, 0) << w.err;
    // Clusters 0, 1, then 3, 4 past the reused one, then the next free one.
    uint32_t fifth = chain[4] + 1;
    while (img.fat(fifth) != 0) ++fifth;
    ASSERT_EQ(w.runs.size(), fifth == chain[4] + 1 ? 2u : 3u);
    EXPECT_EQ(w.runs[0].cluster, chain[0]);
    EXPECT_EQ(w.runs[0].clusters, 2u);
    EXPECT_EQ(w.runs[0].flags, READFAT_EXTENT_RECOVERED);
    EXPECT_EQ(w.runs[1].cluster, chain[3]);
    EXPECT_EQ(w.runs[1].flags, READFAT_EXTENT_RECOVERED | READFAT_EXTENT_DAMAGED);
    EXPECT_EQ(w.runs.back().cluster + w.runs.back().clusters - 1, fifth);
    EXPECT_TRUE(bytes_at(img, w.runs) == read_file(v, "_ONE.BIN"));

    // Its first cluster in use again: every run is marked damaged (a new mount: the FAT
    // cache holds the old sector).
    img.set_fat(chain[0], kEndOfChain);
    {
        Mounted again(img, rd, readfat_optimal_flags() | DV_FLAG_DELETED, 2, 2);
        w = extents_of(again, e);
        ASSERT_FALSE(w.runs.empty());
        EXPECT_EQ(w.runs[0].flags, READFAT_EXTENT_RECOVERED | READFAT_EXTENT_DAMAGED);
    }
    img.set_fat(chain[0], 0);

    // More than the data area holds: the runs to its end, then DV_E_EOF.
    e.size = 60 * kSector;
    w = extents_of(v, e);
    EXPECT_EQ(w.rc, -1);
    EXPECT_EQ(w.err, DV_E_EOF);
    EXPECT_EQ(w.runs.back().cluster + w.runs.back().clusters, g.cluster_count + 2);

    // A deleted directory: its first cluster while it is free; nothing once it is taken.
    const dv_entry old = stat_of(v, "_LD");
    w = extents_of(v, old);
    ASSERT_EQ(w.runs.size(), 1u);
    EXPECT_EQ(w.runs[0].cluster, t.find("OLD")->first_cluster);
    EXPECT_EQ(w.runs[0].flags, READFAT_EXTENT_RECOVERED);
    // Taken by a live file (a chain no live entry reaches would still be the folder's own).
    img.set_fat(t.find("OLD")->first_cluster, kEndOfChain);
    const DirEntries taker =
        DirEntries().add_short("TAKER   BIN", DV_ATTR_ARCHIVE, t.find("OLD")->first_cluster, 1);
    std::memcpy(img.dir_entry(root, 2), taker[0].data(), DV_DIRENT_SIZE);
    Mounted again(img, rd, readfat_optimal_flags() | DV_FLAG_DELETED, 2, 2);
    w = extents_of(again, old);
    EXPECT_EQ(w.rc, 0);
    EXPECT_TRUE(w.runs.empty());

    // Without DV_FLAG_DELETED the same record is read as a chain: that of the reused
    // cluster's owner is not followed by recovery.
    Mounted plain(img, rd, readfat_optimal_flags(), 2, 2);
    w = extents_of(plain, e);
    EXPECT_EQ(w.err, DV_E_BROKENCHAIN);
}

// ---- Real tools ----------------------------------------------------------------------------

namespace {

bool in_ci() {
    const char *ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

std::string capture(const std::string &cmd) {
    std::string out;
    if (FILE *p = popen((cmd + " 2>&1").c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        pclose(p);
    }
    return out;
}

} // namespace

// mkfs.fat formats, mcopy fills clusters, mdel frees every other one and mcopy writes a
// file into the holes: its runs must give its bytes, and name the sectors istat lists.
TEST(ExtentsTools, AFileFragmentedByMtoolsAndTheSleuthKitsSectors) {
    for (const char *tool : {"mkfs.fat", "mcopy", "mdel"}) {
        if (!find_tool(tool).empty()) continue;
        if (in_ci()) FAIL() << tool << " is needed";
        GTEST_SKIP() << tool << " is not installed";
    }
    const std::string dir = scratch_dir("extents");
    const std::string image = dir + "/frag.img", log = dir + "/tools.log";
    const std::string env = "MTOOLS_SKIP_CHECK=1 ", on = " -i " + shell_quote(image);
    auto put = [](const std::string &path, const std::string &data) {
        std::FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
    };
    for (const auto &[fat, spc, kb] : {std::tuple{12, 1, 1440}, {16, 4, 16384}}) {
        SCOPED_TRACE(testing::Message() << "FAT" << fat);
        const uint32_t cb = uint32_t(spc) * kSector;
        std::remove(image.c_str());
        ASSERT_TRUE(run_logged(find_tool("mkfs.fat") + " -F " + std::to_string(fat) + " -s " +
                                   std::to_string(spc) + " -C " + shell_quote(image) + " " +
                                   std::to_string(kb),
                               log));
        std::string fill, del;
        for (int i = 0; i < 12; ++i) {
            const std::string name = "FILL" + std::to_string(i) + ".BIN";
            put(dir + "/" + name, pattern_data(cb, uint32_t(i)));
            fill += " " + shell_quote(dir + "/" + name);
            if (i % 2 == 0) del += " ::/" + name;
        }
        const std::string frag = pattern_data(7 * cb - 5, 77);
        put(dir + "/frag.bin", frag);
        ASSERT_TRUE(run_logged(env + find_tool("mcopy") + on + fill + " ::/", log));
        ASSERT_TRUE(run_logged(env + find_tool("mdel") + on + del, log));
        ASSERT_TRUE(run_logged(
            env + find_tool("mcopy") + on + " " + shell_quote(dir + "/frag.bin") + " ::/", log));

        // In one read: read_whole goes byte by byte, slow for 16 MB in a debug build.
        std::vector<uint8_t> disk(size_t(kb) * 1024);
        std::FILE *in = std::fopen(image.c_str(), "rb");
        ASSERT_NE(in, nullptr);
        EXPECT_EQ(std::fread(disk.data(), 1, disk.size(), in), disk.size());
        std::fclose(in);
        const uint64_t sectors = disk.size() / kSector;
        FaultReader rd(disk, 0, sectors, uint32_t(spc));
        int err = 0;
        readfat_volume *vol =
            readfat_new(0, sectors, 512, &rd, FaultReader::cb, readfat_optimal_flags(), 2, 2, &err);
        ASSERT_NE(vol, nullptr) << err;
        const dv_entry e = stat_of(vol, "FRAG.BIN");
        const Walk w = extents_of(vol, e);
        readfat_delete(vol);
        ASSERT_EQ(w.rc, 0) << w.err;
        EXPECT_GT(w.runs.size(), 2u) << "mcopy filled the holes";
        expect_well_formed(w.runs, uint32_t(spc));
        std::string got;
        std::vector<uint64_t> ours;
        for (const readfat_extent &x : w.runs) {
            got.append(reinterpret_cast<const char *>(disk.data() + x.sector * kSector), x.bytes);
            for (uint32_t k = 0; k * kSector < x.bytes; ++k) ours.push_back(x.sector + k);
        }
        EXPECT_TRUE(got == frag);
        if (find_tool("istat").empty() || find_tool("ifind").empty()) {
            if (in_ci()) ADD_FAILURE() << "istat and ifind (sleuthkit) are needed";
            continue;
        }
        // istat lists the sectors that hold the file's bytes (padded with zeros).
        const std::string inode =
            capture(find_tool("ifind") + " -n /frag.bin " + shell_quote(image));
        const std::string listing =
            capture(find_tool("istat") + " " + shell_quote(image) + " " + inode);
        const size_t at = listing.find("Sectors:");
        ASSERT_NE(at, std::string::npos) << listing;
        std::istringstream words(listing.substr(at + 8));
        std::vector<uint64_t> theirs;
        for (uint64_t sector; words >> sector;)
            if (sector != 0) theirs.push_back(sector);
        EXPECT_EQ(ours, theirs);
    }
}
