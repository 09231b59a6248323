// The volume check: images from mkfs.fat and mcopy, damaged byte by byte, checked side by
// side with fsck.fat -n; hand-made FAT12/16/32 layouts for the chain shapes fsck has no
// words for (self-loops, two-cluster cycles, links out of the data area); allocation
// failures and an early stop.
#include "support/tools.h"
#include "support/volume_util.h"

#include <dorvex/checkfat.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

using namespace dvtest;

namespace {

struct Found {
    uint32_t kind, cluster, length;
    std::string path;
};

std::vector<Found> check(readfat_volume *vol, uint32_t what = READFAT_CHECK_ALL,
                         long *rc = nullptr) {
    std::vector<Found> out;
    int err = 0;
    const long n = readfat_check(
        vol, what,
        [](void *data, const readfat_finding *f) {
            std::u16string p =
                f->path ? std::u16string(reinterpret_cast<const char16_t *>(f->path), f->path_len)
                        : u"";
            static_cast<std::vector<Found> *>(data)->push_back(
                {f->kind, f->cluster, f->length, utf8(p)});
            return 0;
        },
        &out, &err);
    if (rc) *rc = n;
    EXPECT_EQ(n, long(out.size())) << "err " << err;
    return out;
}

std::string kinds(const std::vector<Found> &f) {
    std::string s;
    for (const Found &x : f) s += std::to_string(x.kind) + ":" + x.path + " ";
    return s;
}

// ---- Against fsck.fat -n ------------------------------------------------------------------

// Layout of the seed image (mkfs.fat -F 32 -s 1, 40000 KiB): root at 2, F1.BIN (5000 bytes)
// at 3 .. 12, DIR at 13, DIR/F2.BIN (700 bytes) at 14 .. 15, "Long name.txt" (one long-name
// entry, root entry 2, its short entry 3) at 16 .. 17.
struct Damage {
    const char *name;
    const char *fsck_says; // what fsck.fat -n prints for it
    std::vector<uint32_t> kinds;
    const char *path; // of the first finding with a path ("" for none)
    void (*patch)(std::vector<uint8_t> &d, uint32_t fat, uint32_t fat2, uint32_t data);
};

void put32(std::vector<uint8_t> &d, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) d[at + i] = uint8_t(v >> 8 * i);
}

const Damage kDamages[] = {
    {"lost",
     "Reclaimed 1 unused cluster",
     {READFAT_FIND_FSINFO_FREE, READFAT_FIND_LOST},
     "",
     [](auto &d, uint32_t f, uint32_t f2, uint32_t) {
         put32(d, f + 400, 0x0FFFFFFF), put32(d, f2 + 400, 0x0FFFFFFF);
     }},
    {"fat copies",
     "FATs differ",
     {READFAT_FIND_FAT_DIFFERS, READFAT_FIND_FSINFO_FREE, READFAT_FIND_LOST},
     "",
     [](auto &d, uint32_t f, uint32_t, uint32_t) { put32(d, f + 400, 0x0FFFFFFF); }},
    {"cross-link",
     "Contains a free cluster (14)",
     {READFAT_FIND_CHAIN_LONG, READFAT_FIND_CROSSLINK},
     "/F1.BIN",
     [](auto &d, uint32_t f, uint32_t f2, uint32_t) {
         put32(d, f + 48, 14), put32(d, f2 + 48, 14);
     }},
    {"loop",
     "Circular cluster chain",
     {READFAT_FIND_LOOP},
     "/F1.BIN",
     [](auto &d, uint32_t f, uint32_t f2, uint32_t) { put32(d, f + 48, 3), put32(d, f2 + 48, 3); }},
    {"short",
     "cluster chain length is 2560 bytes",
     {READFAT_FIND_CHAIN_SHORT, READFAT_FIND_LOST},
     "/F1.BIN",
     [](auto &d, uint32_t f, uint32_t f2, uint32_t) {
         put32(d, f + 28, 0x0FFFFFFF), put32(d, f2 + 28, 0x0FFFFFFF);
     }},
    {"long",
     "cluster chain length is > 1024",
     {READFAT_FIND_CHAIN_LONG},
     "/F1.BIN",
     [](auto &d, uint32_t, uint32_t, uint32_t data) { put32(d, data + 28, 1000); }},
    {"dot",
     "Invalid '.' entry",
     {READFAT_FIND_BAD_DOT},
     "/DIR",
     [](auto &d, uint32_t, uint32_t, uint32_t data) { d[data + 11 * 512 + 26] = 20; }},
    {"dotdot",
     "Invalid '..' entry",
     {READFAT_FIND_BAD_DOTDOT},
     "/DIR",
     [](auto &d, uint32_t, uint32_t, uint32_t data) { d[data + 11 * 512 + 32 + 26] = 20; }},
    {"orphaned long name",
     "Wrong checksum for long file name",
     {READFAT_FIND_LFN_ORPHAN},
     "",
     [](auto &d, uint32_t, uint32_t, uint32_t data) { d[data + 2 * 32 + 13] ^= 0xFF; }},
    {"cut move",
     "share clusters",
     {READFAT_FIND_MOVE_PAIR},
     "/F1NEW.BIN",
     [](auto &d, uint32_t, uint32_t, uint32_t data) {
         // F1.BIN leaving, F1NEW.BIN arriving in free root entry 4: one chain, two names.
         std::memcpy(&d[data + 4 * 32], &d[data], 32);
         std::memcpy(&d[data + 4 * 32], "F1NEW   BIN", 11);
         d[data + 12] = DV_NTRES_MOVE_FROM;
         d[data + 4 * 32 + 12] = DV_NTRES_MOVE_TO;
     }},
    {"directory size",
     "Directory has non-zero size",
     {READFAT_FIND_DIR_SIZE},
     "/DIR",
     [](auto &d, uint32_t, uint32_t, uint32_t data) { put32(d, data + 32 + 28, 512); }},
    {"boot label",
     "but there is no volume label in root directory",
     {READFAT_FIND_LABEL},
     "",
     [](auto &d, uint32_t, uint32_t, uint32_t) {
         for (size_t b : {size_t{0}, size_t{6 * 512}}) std::memcpy(&d[b + 71], "CARD       ", 11);
     }},
    {"boot backup",
     "differences between boot sector and its backup",
     {READFAT_FIND_BOOT_BACKUP},
     "",
     [](auto &d, uint32_t, uint32_t, uint32_t) { d[6 * 512 + 71] ^= 0x20; }},
};

TEST(CheckFsck, FindsWhatFsckFinds) {
    DV_NEED_TOOLS("mkfs.fat", "mcopy", "mmd", "fsck.fat");
    const std::string dir = scratch_dir("dorvex-check"), img = dir + "/seed.img",
                      log = dir + "/log";
    ASSERT_TRUE(run_logged("mkfs.fat -C -F 32 -s 1 " + shell_quote(img) + " 40000", log));
    std::ofstream(dir + "/f1", std::ios::binary) << pattern_data(5000, 1);
    std::ofstream(dir + "/f2", std::ios::binary) << pattern_data(700, 2);
    const std::string m = "MTOOLS_SKIP_CHECK=1 ", i = " -i " + shell_quote(img) + " ";
    ASSERT_TRUE(run_logged(m + "mcopy" + i + shell_quote(dir + "/f1") + " ::F1.BIN", log));
    ASSERT_TRUE(run_logged(m + "mmd" + i + "::DIR", log));
    ASSERT_TRUE(run_logged(m + "mcopy" + i + shell_quote(dir + "/f2") + " ::DIR/F2.BIN", log));
    ASSERT_TRUE(run_logged(m + "mcopy" + i + shell_quote(dir + "/f2") + " '::Long name.txt'", log));
    const std::vector<uint8_t> seed = read_whole(img);
    const uint32_t fat = 32 * 512, fat2 = fat + 616 * 512, data = fat + 2 * 616 * 512;
    ASSERT_EQ(seed[data + 11 * 512], '.'); // the layout the patches assume

    for (const Damage &c : kDamages) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> d = seed;
        if (c.patch) c.patch(d, fat, fat2, data);
        const std::string path = dir + "/damaged.img";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(d.data()), d.size());
        const std::string out = dir + "/fsck.out";
        const int rc = std::system(
            (find_tool("fsck.fat") + " -n " + shell_quote(path) + " >" + out + " 2>&1").c_str());
        const std::vector<uint8_t> said = read_whole(out);
        const std::string text(said.begin(), said.end());
        (void)rc; // 0 for what fsck calls harmless (a backup boot sector, a long name)
        EXPECT_NE(text.find(c.fsck_says), std::string::npos) << text;

        FaultReader rd(d, 0, d.size() / 512, 1);
        TrackingAlloc alloc;
        int err = 0;
        readfat_volume *vol = readfat_new2(0, d.size() / 512, 512, &rd, FaultReader::cb,
                                           readfat_optimal_flags() | DV_CHARSET_UTF8, 2, 2, &err,
                                           &alloc, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
        ASSERT_NE(vol, nullptr);
        const std::vector<Found> f = check(vol);
        std::vector<uint32_t> got;
        for (const Found &x : f) got.push_back(x.kind);
        EXPECT_EQ(got, c.kinds) << kinds(f) << "\n" << text;
        for (const Found &x : f)
            if (!x.path.empty()) {
                EXPECT_EQ(x.path, c.path);
                if (text.find(x.path) == std::string::npos)
                    ADD_FAILURE() << "fsck names no " << x.path;
                break;
            }
        readfat_delete(vol);
    }
    // The seed itself is sound to both, also with slack after the volume (an image longer
    // than the sectors its boot sector declares: FSInfo counts only those).
    std::vector<uint8_t> slack = seed;
    slack.resize(seed.size() + 64 * 1024);
    for (std::vector<uint8_t> *d : {const_cast<std::vector<uint8_t> *>(&seed), &slack}) {
        FaultReader rd(*d, 0, d->size() / 512, 1);
        readfat_volume *vol = readfat_new(0, d->size() / 512, 512, &rd, FaultReader::cb,
                                          readfat_optimal_flags(), 2, 2, nullptr);
        ASSERT_NE(vol, nullptr);
        EXPECT_EQ(kinds(check(vol)), "") << d->size();
        readfat_delete(vol);
    }
}

// ---- Hand-made chains, every FAT width --------------------------------------------------

TEST(CheckShapes, LoopsAndBadLinksOnEveryFatWidth) {
    for (uint32_t bits : {12u, 16u, 32u}) {
        struct Case {
            const char *name;
            uint32_t kind;
            void (*damage)(FatImage &, const TreeNode &);
        } cases[] = {
            {"self-loop", READFAT_FIND_LOOP,
             [](FatImage &m, const TreeNode &n) { m.set_fat(n.chain[2], n.chain[2]); }},
            {"two-cycle", READFAT_FIND_LOOP,
             [](FatImage &m, const TreeNode &n) { m.set_fat(n.chain[3], n.chain[2]); }},
            {"outside", READFAT_FIND_BAD_LINK,
             [](FatImage &m, const TreeNode &n) { m.set_fat(n.chain[1], 4000); }},
            {"free link", READFAT_FIND_BAD_LINK,
             [](FatImage &m, const TreeNode &n) { m.set_fat(n.chain[1], 0); }},
        };
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.name) + " FAT" + std::to_string(bits));
            FatGeometry g;
            g.fat_bits = bits;
            g.cluster_count = bits == 12 ? 3000 : bits == 16 ? 5000 : 256;
            FatImage img(g);
            TreeLayout t(img);
            t.file("SUB/DATA.BIN", pattern_data(4 * 512, 3));
            t.finish();
            c.damage(img, *t.find("SUB/DATA.BIN"));
            FaultReader rd(img);
            Mounted vol(img, rd, readfat_optimal_flags() | DV_CHARSET_UTF8);
            ASSERT_TRUE(vol.ok());
            const std::vector<Found> f = check(vol, READFAT_CHECK_TREE);
            ASSERT_FALSE(f.empty());
            EXPECT_EQ(f[0].kind, c.kind) << kinds(f);
            EXPECT_EQ(f[0].path, "/SUB/DATA.BIN");
        }
    }
}

// A long name whose checksum no longer fits its entry: in a directory of clusters on every
// FAT width, and in the fixed root region of FAT12/16, read raw by another path.
TEST(CheckShapes, OrphanedLongNamesInRootRegionAndClusters) {
    for (uint32_t bits : {12u, 16u, 32u})
        for (bool in_root : {false, true}) {
            if (in_root && bits == 32) continue;
            SCOPED_TRACE("FAT" + std::to_string(bits) + (in_root ? " root" : " SUB"));
            FatGeometry g;
            g.fat_bits = bits;
            g.cluster_count = bits == 12 ? 3000 : bits == 16 ? 5000 : 256;
            FatImage img(g);
            TreeLayout t(img);
            t.file("SUB/Long file name.txt", pattern_data(100, 1));
            t.file("Another long name.txt", pattern_data(100, 2));
            t.finish();
            const std::vector<uint32_t> sub = t.find("SUB")->chain;
            uint8_t *lfn = nullptr;
            for (size_t i = 0; i < 16 && !lfn; ++i) {
                uint8_t *e = in_root ? img.root_entry(i) : img.dir_entry(sub, i);
                if (e[DV_DIRENT_ATTR] == DV_ATTR_LFN) lfn = e;
            }
            ASSERT_NE(lfn, nullptr);
            lfn[DV_LFN_CHECKSUM] ^= 0xFF;
            FaultReader rd(img);
            Mounted vol(img, rd, readfat_optimal_flags() | DV_CHARSET_UTF8);
            ASSERT_TRUE(vol.ok());
            const std::vector<Found> f = check(vol, READFAT_CHECK_TREE);
            ASSERT_EQ(f.size(), 1u) << kinds(f);
            EXPECT_EQ(f[0].kind, uint32_t{READFAT_FIND_LFN_ORPHAN});
            EXPECT_EQ(f[0].path, in_root ? "" : "/SUB");
            EXPECT_EQ(f[0].length, 2u); // 21 units: two entries
        }
}

// The orphan scan takes the sectors the listing reads: each cluster of a directory is read
// once (in one run with READFAT_FLAG_BATCH), and runs that straddle clusters are whole.
TEST(CheckShapes, DirectoryReadOnceForListingAndOrphans) {
    // Cluster by cluster, in runs, and in runs the reader serves a sector at a time.
    for (int mode : {0, 1, 2}) {
        const uint32_t flags = mode ? uint32_t{READFAT_FLAG_BATCH} : 0u;
        SCOPED_TRACE(mode);
        FatImage img(FatGeometry{});
        TreeLayout t(img);
        for (int i = 0; i < 40; ++i)
            t.file("SUB/Long file name " + std::to_string(100 + i) + ".txt", pattern_data(10, 1));
        t.finish();
        const std::vector<uint32_t> sub = t.find("SUB")->chain;
        ASSERT_GE(sub.size(), 7u);
        // The last long-name entry of the directory loses its checksum.
        uint32_t at = 0;
        for (uint32_t i = 0; i < sub.size() * 16; ++i)
            if (img.dir_entry(sub, i)[DV_DIRENT_ATTR] == DV_ATTR_LFN) at = i;
        img.dir_entry(sub, at)[DV_LFN_CHECKSUM] ^= 0xFF;
        FaultReader rd(img);
        if (flags) rd.set_max_count(512);
        Mounted vol(img, rd, readfat_optimal_flags() | DV_CHARSET_UTF8 | flags);
        ASSERT_TRUE(vol.ok());
        rd.reset_log();
        if (mode == 2) rd.fail_call(1, FaultReader::Result::one, true);
        int err = 0;
        std::vector<readfat_finding> f;
        readfat_check(
            vol, READFAT_CHECK_TREE,
            [](void *d, const readfat_finding *x) {
                static_cast<std::vector<readfat_finding> *>(d)->push_back(*x);
                return 0;
            },
            &f, &err);
        ASSERT_EQ(f.size(), 1u);
        EXPECT_EQ(f[0].kind, uint32_t{READFAT_FIND_LFN_ORPHAN});
        EXPECT_EQ(f[0].count, at - 1); // the name's two entries
        EXPECT_EQ(f[0].length, 2u);
        EXPECT_EQ(f[0].sector, img.cluster_sector(sub[(at - 1) / 16]));
        if (mode == 2) continue;
        uint64_t reads = 0;
        for (uint32_t c : sub) {
            EXPECT_LE(rd.cluster_reads(c), 1u) << c << "\n" << rd.describe();
            reads += rd.cluster_reads(c);
        }
        uint64_t runs = 1; // with the flag, one read per run of contiguous clusters
        for (size_t i = 1; i < sub.size(); ++i) runs += sub[i] != sub[i - 1] + 1;
        EXPECT_EQ(reads, flags ? runs : sub.size());
    }
}

// ---- Memory and stopping --------------------------------------------------------------

TEST(CheckLimits, AllocationFailureAndEarlyStop) {
    FatImage img(FatGeometry{});
    TreeLayout t(img);
    t.file("A.BIN", pattern_data(3000, 1)).file("B.BIN", pattern_data(3000, 2));
    t.finish();
    img.set_fat(200, 0x0FFFFFFF); // two lost clusters
    img.set_fat(202, 0x0FFFFFFF);
    std::memcpy(img.boot() + 6 * 512, img.boot(), 512); // the backup boot sector
    FaultReader rd(img);
    Mounted vol(img, rd);
    ASSERT_TRUE(vol.ok());
    for (uint64_t n = 1; n <= 3; ++n) {
        vol.alloc.reset_counts();
        vol.alloc.fail_at(n);
        int err = 0;
        EXPECT_EQ(readfat_check(vol, READFAT_CHECK_ALL, nullptr, nullptr, &err), -1);
        EXPECT_EQ(err, ENOMEM);
    }
    vol.alloc.fail_at(0);
    const size_t live = vol.alloc.live_blocks();
    EXPECT_EQ(readfat_check(vol, READFAT_CHECK_ALL, nullptr, nullptr, nullptr), 2);
    EXPECT_EQ(vol.alloc.live_blocks(), live);
    int calls = 0;
    EXPECT_EQ(readfat_check(
                  vol, READFAT_CHECK_ALL,
                  [](void *d, const readfat_finding *) { return ++*static_cast<int *>(d); }, &calls,
                  nullptr),
              1);
    EXPECT_EQ(calls, 1);
    int err = 0;
    EXPECT_EQ(readfat_check(nullptr, READFAT_CHECK_ALL, nullptr, nullptr, &err), -1);
    EXPECT_EQ(err, EINVAL);
}

} // namespace
