// Path lookup: exact, case-sensitive matching of long names and stored 8.3 names, the
// root, empty paths, ".." with cluster 0, files in the middle of a path (ENOTDIR), separators,
// non-ASCII names, unreadable directories, and what a lookup costs.
#include "support/volume_util.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace dvtest;

namespace {

const uint32_t kUtf8 =
    DV_CHARSET_UTF8 | DV_FLAG_UTF16 | DV_FLAG_SLASH | DV_FLAG_SKIP_LEADING_SEP | DV_FLAG_LENIENT;

struct Tree {
    explicit Tree(uint32_t spc = 1) : img(geo(spc)), t(img) {
        t.file("README.TXT", "short name only");
        t.file("Hello World.txt", "long name");
        t.file("DOCS/guide.md", "guide");
        t.file("DOCS/Ünïcödé ναμε.txt", "non-ascii");
        t.file("DOCS/A/B/C/D/E/deep.bin", pattern_data(3000, 9));
        t.dir("EMPTYDIR");
        t.finish();
    }
    static FatGeometry geo(uint32_t spc) {
        FatGeometry g;
        g.sectors_per_cluster = spc;
        g.cluster_count = 128;
        return g;
    }
    FatImage img;
    TreeLayout t;
};

} // namespace

TEST(Lookup, NamesMatchExactly) {
    Tree tr;
    FaultReader rd(tr.img);
    Mounted v(tr.img, rd);
    ASSERT_TRUE(v.ok());
    struct Case {
        const char *path;
        int code;
    } cases[] = {
        {"README.TXT", 0},
        {"/README.TXT", 0},
        {"readme.txt", ENOENT}, // no case folding
        {"README.TX", ENOENT},
        {"README", ENOENT},
        {"Hello World.txt", 0},
        {"hello world.txt", ENOENT},
        {"HELLOW~1.TXT", ENOENT}, // an entry with a long name is found by it alone
        {"DOCS/guide.md", 0},
        {"DOCS\\guide.md", 0}, // both separators with the volume's usual flags
        {"//DOCS//guide.md", 0},
        {"DOCS/A/B/C/D/E/deep.bin", 0},
        {"DOCS/missing", ENOENT},
        {"missing/guide.md", ENOENT},
        {"README.TXT/x", ENOTDIR}, // a file's clusters hold no entries
        {"DOCS/guide.md/x/y", ENOTDIR},
        {"EMPTYDIR/x", ENOENT},
        {"", ENOENT},  // never "success" with an unfilled record
        {"/", ENOENT}, // the root has no entry of its own
        {"\\\\", ENOENT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        dv_entry e{};
        uint64_t live = v.alloc.live_blocks();
        EXPECT_EQ(readfat_stat(v, c.path, &e), c.code);
        EXPECT_EQ(v.alloc.live_blocks(), live) << "the path list is released";
        int err = 0;
        readfat_file *f = readfat_open(v, c.path, &err);
        if (c.code == 0) {
            ASSERT_NE(f, nullptr);
            EXPECT_EQ(readfat_size(v, f), e.size);
            readfat_close(v, f);
        } else {
            EXPECT_EQ(f, nullptr);
            EXPECT_EQ(err, c.code);
        }
        if (c.code == ENOTDIR) {
            EXPECT_EQ(readfat_opendir(v, c.path, &err), nullptr);
            EXPECT_EQ(err, ENOTDIR);
        }
    }
    dv_entry e;
    ASSERT_EQ(readfat_stat(v, "README.TXT", &e), 0);
    EXPECT_EQ(to_u16(e.name), u"README.TXT");
    EXPECT_EQ(std::string(e.shortname), "README  TXT");
    EXPECT_EQ(e.size, 15u);
    EXPECT_EQ(e.cluster, tr.t.find("README.TXT")->first_cluster);
    EXPECT_EQ(e.attr, uint32_t(DV_ATTR_ARCHIVE));
    ASSERT_EQ(readfat_stat(v, "DOCS", &e), 0);
    EXPECT_EQ(e.attr, uint32_t(DV_ATTR_DIRECTORY));
}

// Every name a listing returns is found by a lookup of the same text, also for 8.3 names
// with odd bytes: a NUL ends the name; 0x05 (a first byte 0xE5 escaped) and 0xE5 itself are
// ordinary bytes, taken as code page 437 like every byte above 0x7F.
TEST(Lookup, OddShortNamesAreFoundAsListed) {
    const struct {
        std::string stored;
        std::u16string listed;
    } cases[] = {
        {std::string("AB\0CD   TXT", 11), u"AB"},
        {std::string("ABCDEF  T\0T", 11), u"ABCDEF.T"},
        {"\x05"
         "BCDEFG TXT",
         u"\u0005BCDEFG.TXT"},
        {"\xE5"
         "BCDEFG TXT",
         u"\u03C3BCDEFG.TXT"},
    };
    FatImage img(Tree::geo(1));
    DirEntries d;
    uint32_t cluster = 10;
    for (const auto &c : cases) d.add_short(c.stored, DV_ATTR_ARCHIVE, cluster++, 1);
    img.place_root(d);
    FaultReader rd(img);
    Mounted v(img, rd, kUtf8);
    ASSERT_TRUE(v.ok());
    auto listed = list_dir(v, "");
    ASSERT_EQ(listed.size(), std::size(cases));
    cluster = 10;
    for (size_t i = 0; i < std::size(cases); ++i, ++cluster) {
        SCOPED_TRACE(i);
        EXPECT_EQ(listed[i].name, cases[i].listed);
        dv_entry e;
        ASSERT_EQ(readfat_stat(v, ("/" + utf8(cases[i].listed)).c_str(), &e), 0);
        EXPECT_EQ(e.cluster, cluster);
    }
}

TEST(Lookup, NullRecordFailsBeforeReading) {
    Tree tr;
    FaultReader rd(tr.img);
    Mounted v(tr.img, rd);
    ASSERT_TRUE(v.ok());
    rd.reset_log();
    EXPECT_EQ(readfat_stat(v, "README.TXT", nullptr), ENOENT);
    EXPECT_EQ(rd.calls(), 0u);
}

TEST(Lookup, RootAndEmptyPathsForOpendir) {
    Tree tr;
    FaultReader rd(tr.img);
    Mounted v(tr.img, rd);
    ASSERT_TRUE(v.ok());
    std::vector<std::u16string> want = tr.t.children("");
    for (const char *p : {"", "/", "\\", "///"}) {
        SCOPED_TRACE(p);
        rd.reset_log();
        int err = 0;
        readfat_dir *d = readfat_opendir(v, p, &err);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(rd.calls(), 0u);
        EXPECT_EQ(names_of(list_handle(v, d, &err)), want);
        readfat_closedir(v, d);
    }
}

TEST(Lookup, DotDotWithClusterZeroIsTheRoot) {
    Tree tr;
    FaultReader rd(tr.img);
    Mounted v(tr.img, rd);
    ASSERT_TRUE(v.ok());
    EXPECT_EQ(names_of(list_dir(v, "DOCS/..")), tr.t.children(""));
    EXPECT_EQ(names_of(list_dir(v, "DOCS/A/..", nullptr), true), tr.t.children("DOCS"));
    dv_entry e;
    EXPECT_EQ(readfat_stat(v, "DOCS/../README.TXT", &e), 0);
    EXPECT_EQ(readfat_stat(v, "DOCS/../DOCS/guide.md", &e), 0);
    EXPECT_EQ(read_file(v, "DOCS/A/../../Hello World.txt"), "long name");
    ASSERT_EQ(readfat_stat(v, "DOCS/..", &e), 0);
    EXPECT_EQ(e.cluster, 0u);
    EXPECT_EQ(readfat_stat(v, "DOCS/.", &e), 0);
    EXPECT_EQ(e.cluster, tr.t.find("DOCS")->first_cluster);
}

TEST(Lookup, FirstEntryOfTheSecondClusterCostsTwoClusterReads) {
    for (uint32_t spc : {1u, 8u}) {
        SCOPED_TRACE(spc);
        FatImage img(Tree::geo(spc));
        DirEntries d;
        d.pad_to(spc * 16);
        d.add_short("TARGET  TXT", DV_ATTR_ARCHIVE, 0, 0);
        d.add_short("OTHER   TXT", DV_ATTR_ARCHIVE, 0, 0);
        auto chain = img.place_root(d);
        FaultReader rd(img);
        Mounted v(img, rd);
        ASSERT_TRUE(v.ok());
        rd.reset_log();
        dv_entry e;
        ASSERT_EQ(readfat_stat(v, "TARGET.TXT", &e), 0);
        EXPECT_EQ(rd.data_reads(), 2u) << rd.describe();
        EXPECT_EQ(rd.cluster_reads(chain[0]), 1u);
        EXPECT_EQ(rd.cluster_reads(chain[1]), 1u);
    }
}

TEST(Lookup, NonAsciiNamesThroughUtf8Paths) {
    Tree tr;
    FaultReader rd(tr.img);
    Mounted v(tr.img, rd, kUtf8);
    ASSERT_TRUE(v.ok());
    EXPECT_EQ(read_file(v, "DOCS/Ünïcödé ναμε.txt"), "non-ascii");
    dv_entry e;
    EXPECT_EQ(readfat_stat(v, "DOCS/ünïcödé ναμε.txt", &e), ENOENT);
    EXPECT_EQ(readfat_stat(v, "DOCS\\guide.md", &e), ENOENT) << "'\\' is no separator here";
    auto l = list_dir(v, "DOCS");
    ASSERT_EQ(l.size(), 5u);
    EXPECT_EQ(l[3].name, utf16("Ünïcödé ναμε.txt"));
}

TEST(Lookup, NamesAboveTheBmpAreReachedThroughTheirEntry) {
    FatImage img(Tree::geo(2));
    TreeLayout t(img);
    t.file("pics/\xF0\x9F\x98\x80 smile.jpg", "emoji");
    t.finish();
    FaultReader rd(img);
    Mounted v(img, rd, kUtf8);
    ASSERT_TRUE(v.ok());
    readfat_dir *d = readfat_opendir(v, "pics", nullptr);
    ASSERT_NE(d, nullptr);
    const dv_entry *e;
    int err = 0;
    while ((e = readfat_readdir(v, d, &err)) != nullptr)
        if (e->name.len > 0 && e->name.units[0] == 0xD83D) break;
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(to_u16(e->name), utf16("\xF0\x9F\x98\x80 smile.jpg"));
    readfat_file *f = readfat_open_entry(v, e, &err);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(read_handle(v, f, 100, &err), "emoji");
    readfat_closedir(v, d);
    // And by path: the UTF-8 path's emoji becomes the entry's surrogate pair.
    EXPECT_EQ(read_file(v, "/pics/\xF0\x9F\x98\x80 smile.jpg"), "emoji");
}

// With DV_FLAG_NOCASE names match by simple case folding and by 8.3 name, and an exact
// match anywhere in the directory wins over the first folded one.
TEST(Lookup, CaseInsensitiveLookupsWithNocase) {
    FatImage img(Tree::geo(1));
    TreeLayout t(img);
    t.label("DOCS       "); // a label spelled like a directory never matches by folding
    t.file("README.TXT", "short only");
    t.file("DOCS/abc", "lower");
    t.file("DOCS/ABC", "upper");
    t.file("DOCS/Ärger ΣΟΦΙΑ.txt", "folded");
    t.file("Program Files/x.ini", "ini");
    t.finish();
    const std::string alias = t.find("Program Files")->shortname; // PROGRA~1
    FaultReader rd(img);
    Mounted v(img, rd, kUtf8 | DV_FLAG_NOCASE);
    ASSERT_TRUE(v.ok());
    const struct {
        std::string path, want;
    } cases[] = {
        {"readme.txt", "short only"},
        {"/docs/ABC", "upper"}, // exact in its directory, after the folded "abc"
        {"/docs/abc", "lower"},
        {"/docs/Abc", "lower"}, // no exact match: the first folded one
        {"docs/äRGER σοφια.TXT", "folded"},
        {alias.substr(0, 8) + "/X.INI", "ini"},
    };
    for (const auto &c : cases) EXPECT_EQ(read_file(v, c.path.c_str()), c.want) << c.path;
    dv_entry e;
    EXPECT_EQ(readfat_stat(v, "docs/abd", &e), ENOENT);
    Mounted exact(img, rd, kUtf8);
    EXPECT_EQ(readfat_stat(exact, "readme.txt", &e), ENOENT) << "exact without the flag";
}

TEST(Lookup, UnreadableDirectoryGivesEio) {
    // A failing card is not a missing file.
    Tree tr;
    FaultReader rd(tr.img);
    Mounted v(tr.img, rd);
    ASSERT_TRUE(v.ok());
    rd.fail_cluster(tr.t.find("DOCS")->first_cluster);
    dv_entry e;
    EXPECT_EQ(readfat_stat(v, "DOCS/guide.md", &e), EIO);
    int err = 0;
    EXPECT_EQ(readfat_open(v, "DOCS/guide.md", &err), nullptr);
    EXPECT_EQ(err, EIO);
    EXPECT_EQ(readfat_opendir(v, "DOCS/A", &err), nullptr);
    EXPECT_EQ(err, EIO);
    EXPECT_EQ(readfat_stat(v, "README.TXT", &e), 0);
    rd.clear_faults();
    EXPECT_EQ(readfat_stat(v, "DOCS/guide.md", &e), 0);
}

TEST(Lookup, ParseErrorsComeBackAsTheirCodes) {
    Tree tr;
    FaultReader rd(tr.img);
    Mounted v(tr.img, rd);
    ASSERT_TRUE(v.ok());
    std::string longname(256, 'A');
    dv_entry e;
    EXPECT_EQ(readfat_stat(v, longname.c_str(), &e), ENAMETOOLONG);
    int err = 0;
    EXPECT_EQ(readfat_open(v, longname.c_str(), &err), nullptr);
    EXPECT_EQ(err, ENAMETOOLONG);
    err = 0;
    EXPECT_EQ(readfat_opendir(v, longname.c_str(), &err), nullptr);
    EXPECT_EQ(err, ENAMETOOLONG);
    // The volume goes on working, and an empty path is still refused afterwards.
    EXPECT_EQ(readfat_stat(v, "README.TXT", &e), 0);
    EXPECT_EQ(readfat_stat(v, "", &e), ENOENT);
}

TEST(Lookup, ZeroSlotsStillStat) {
    Tree tr;
    FaultReader rd(tr.img);
    Mounted v(tr.img, rd, readfat_optimal_flags(), 0, 0);
    ASSERT_TRUE(v.ok());
    int err = 0;
    EXPECT_EQ(readfat_open(v, "README.TXT", &err), nullptr);
    EXPECT_EQ(err, ENFILE);
    err = 0;
    EXPECT_EQ(readfat_opendir(v, "", &err), nullptr);
    EXPECT_EQ(err, ENFILE);
    dv_entry e{};
    EXPECT_EQ(readfat_open_entry(v, &e, &err), nullptr);
    EXPECT_EQ(readfat_opendir_entry(v, &e, &err), nullptr);
    EXPECT_EQ(readfat_stat(v, "DOCS/A/B/C/D/E/deep.bin", &e), 0);
    EXPECT_EQ(e.size, 3000u);
}

TEST(Lookup, EveryAllocationFailureOfALookup) {
    Tree tr;
    FaultReader rd(tr.img);
    Mounted v(tr.img, rd);
    ASSERT_TRUE(v.ok());
    const char *path = "DOCS/A/B/C/D/E/deep.bin";
    uint64_t before = v.alloc.allocs();
    dv_entry e;
    ASSERT_EQ(readfat_stat(v, path, &e), 0);
    uint64_t k = v.alloc.allocs() - before;
    EXPECT_GE(k, 1u);
    for (uint64_t n = 1; n <= k; ++n) {
        v.alloc.reset_counts();
        v.alloc.fail_at(n);
        uint64_t live = v.alloc.live_blocks();
        EXPECT_EQ(readfat_stat(v, path, &e), ENOMEM) << n;
        EXPECT_EQ(v.alloc.live_blocks(), live);
        v.alloc.reset_counts();
        v.alloc.fail_at(n);
        int err = 0;
        EXPECT_EQ(readfat_open(v, path, &err), nullptr);
        EXPECT_EQ(err, ENOMEM);
        EXPECT_EQ(v.alloc.live_blocks(), live);
    }
    v.alloc.fail_at(0);
    EXPECT_EQ(read_file(v, path), tr.t.find(path)->data);
}
