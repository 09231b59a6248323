// /$Orphans and readfat_owner on hand-made volumes: what the orphan search offers, what its
// sanity limits refuse, and which entry holds a cluster.
#include <gtest/gtest.h>

#include <dorvex/readfat.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/fat_image.h"
#include "support/fault_reader.h"
#include "support/volume_util.h"

using namespace dvtest;

namespace {

constexpr uint32_t kDeleted = 0x0040u; // DV_FLAG_DELETED

std::vector<std::string> owners(readfat_volume *v, uint32_t cluster, unsigned flags,
                                int *rc = nullptr) {
    std::vector<std::string> out;
    int err = 0;
    const int n = readfat_owner(
        v, cluster, flags,
        [](void *d, const char *path, const dv_entry *) {
            static_cast<std::vector<std::string> *>(d)->push_back(path);
            return 0;
        },
        &out, &err);
    if (rc) *rc = n < 0 ? -err : n;
    return out;
}

// A live file, a live directory, and free clusters 60.. left for each test to fill.
struct Volume {
    FatImage img{[] {
        FatGeometry g;
        g.cluster_count = 200;
        return g;
    }()};
    TreeLayout t{img};
    Volume() {
        t.file("LIVE.TXT", "live data");
        t.dir("SUB");
        t.finish();
    }
};

} // namespace

// Random bytes and zeros in free clusters offer nothing; clusters of entries nobody reaches
// do, read by the recovery rules, but not one holding an entry whose size passes the volume
// or whose first cluster lies outside the data area.
TEST(Orphans, OffersOnlyPlausibleUnreachedEntries) {
    Volume vo;
    FatImage &img = vo.img;
    std::mt19937 rng(7);
    std::string noise(img.cluster_bytes() * 20, '\0');
    for (char &c : noise) c = static_cast<char>(rng());
    std::vector<uint32_t> noisy;
    for (uint32_t c = 100; c < 120; ++c) noisy.push_back(c);
    img.write_data(noisy, noise, false);
    img.write_data({90}, "recovered photo", false);
    DirEntries good, huge, outside;
    good.add_long(u"a photo.jpg", "PHOTO   JPG", DV_ATTR_ARCHIVE, 90, 15);
    // Deleted as writers delete: the first byte of every entry of the run.
    for (size_t i = 0; i < good.size(); ++i) good[i][0] = 0xE5;
    img.write_dir({80}, good, false);
    huge.add_short("\xE5UGE    BIN", DV_ATTR_ARCHIVE, 91, 0xFFFFFF00u);
    img.write_dir({81}, huge, false);
    outside.add_short("\xE5UTSIDE BIN", DV_ATTR_ARCHIVE, 5000, 10);
    img.write_dir({83}, outside, false);

    FaultReader rd(img);
    Mounted v(img, rd, readfat_optimal_flags() | kDeleted);
    ASSERT_TRUE(v.ok());
    const std::vector<Listed> root = list_dir(v, "/");
    ASSERT_FALSE(root.empty());
    EXPECT_EQ(root.back().name, u"$Orphans");
    const std::vector<Listed> l = list_dir(v, "/$Orphans");
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].name, u"a photo.jpg");
    readfat_orphan_info info{};
    int err = 0;
    ASSERT_EQ(readfat_orphans(v, &info, &err), 0);
    EXPECT_EQ(info.clusters, 1u);
    EXPECT_EQ(info.entries, 1u);
    EXPECT_EQ(info.truncated, 0u);
    EXPECT_GE(info.scanned, 20u);
    // Read as any deleted file is: first cluster and size.
    readfat_file *f = readfat_open(v, "/$Orphans/a photo.jpg", &err);
    ASSERT_NE(f, nullptr);
    char buf[64];
    EXPECT_EQ(readfat_read(v, f, buf, sizeof buf, &err), 15u);
    EXPECT_EQ(std::string(buf, 15), "recovered photo");
    readfat_close(v, f);
    // Positions: the root's end comes back to $Orphans, and one in /$Orphans to its entry.
    readfat_dir *h = readfat_opendir(v, "/", &err);
    ASSERT_NE(h, nullptr);
    uint32_t end = 0;
    for (const dv_entry *e; (e = readfat_readdir(v, h, &err)) != nullptr;)
        if (e->cluster != 1) end = readfat_telldir(v, h);
    ASSERT_EQ(readfat_seekdir(v, h, end, &err), 0);
    const dv_entry *again = readfat_readdir(v, h, &err);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(to_u16(again->name), u"$Orphans");
    readfat_closedir(v, h);
    h = readfat_opendir(v, "/$Orphans", &err);
    ASSERT_NE(h, nullptr);
    ASSERT_NE(readfat_readdir(v, h, &err), nullptr);
    const uint32_t after = readfat_telldir(v, h);
    ASSERT_EQ(readfat_seekdir(v, h, 0, &err), 0);
    again = readfat_readdir(v, h, &err);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(to_u16(again->name), u"a photo.jpg");
    EXPECT_EQ(readfat_telldir(v, h), after);
    EXPECT_EQ(readfat_readdir(v, h, &err), nullptr);
    EXPECT_EQ(err, DV_E_ENDDIR);
    readfat_closedir(v, h);
    // Without DV_FLAG_DELETED there is no $Orphans at all.
    Mounted live(img, rd);
    EXPECT_EQ(list_dir(live, "/").back().name, u"SUB");
    EXPECT_EQ(readfat_orphans(live, &info, &err), -1);
    EXPECT_EQ(err, EINVAL);
}

// An orphaned directory's entry found in an orphan cluster lists its own clusters below it,
// not again at the top; owners name live files, directories, deleted files and orphans.
TEST(Orphans, SubdirectoriesStayBelowTheirEntryAndOwnersNameThem) {
    Volume vo;
    FatImage &img = vo.img;
    DirEntries top, sub;
    top.add_short("\xE5OLDDIR    ", DV_ATTR_DIRECTORY, 70, 0);
    top.add_short("\xE5OOSE   TXT", DV_ATTR_ARCHIVE, 72, 5);
    img.write_dir({69}, top, false);
    sub.add_dots(70, 0);
    sub.add_short("\xE5NSIDE  TXT", DV_ATTR_ARCHIVE, 71, 6);
    img.write_dir({70}, sub, false);
    img.write_data({71}, "inside", false);
    img.write_data({72}, "loose", false);
    // A run whose head lay in a cluster taken since: its tail (full entries, no name end) is
    // passed over, and its short entry shows the 8.3 name, not a piece of the long one.
    DirEntries whole, tail;
    whole.add_long(u"a long name of thirty units.txt", "CUTTAIL TXT", DV_ATTR_ARCHIVE, 0, 0);
    ASSERT_EQ(whole.size(), 4u);
    for (size_t i = 1; i < whole.size(); ++i) {
        tail.add_raw(whole[i]);
        tail[i - 1][0] = 0xE5;
    }
    img.write_dir({74}, tail, false);

    FaultReader rd(img);
    Mounted v(img, rd, readfat_optimal_flags() | kDeleted);
    ASSERT_TRUE(v.ok());
    EXPECT_EQ(names_of(list_dir(v, "/$Orphans")),
              (std::vector<std::u16string>{u"_OLDDIR", u"_OOSE.TXT", u"_UTTAIL.TXT"}));
    EXPECT_EQ(names_of(list_dir(v, "/$Orphans/_OLDDIR"), true),
              (std::vector<std::u16string>{u"_NSIDE.TXT"}));

    const uint32_t live = vo.t.find("LIVE.TXT")->first_cluster;
    const uint32_t subdir = vo.t.find("SUB")->first_cluster;
    EXPECT_EQ(owners(v, live, 0), std::vector<std::string>{"/LIVE.TXT"});
    EXPECT_EQ(owners(v, subdir, 0), std::vector<std::string>{"/SUB"});
    EXPECT_EQ(owners(v, img.root_cluster(), 0), std::vector<std::string>{"/"});
    EXPECT_EQ(owners(v, 71, kDeleted), std::vector<std::string>{"/$Orphans/_OLDDIR/_NSIDE.TXT"});
    EXPECT_EQ(owners(v, 70, kDeleted), std::vector<std::string>{"/$Orphans/_OLDDIR"});
    EXPECT_EQ(owners(v, 69, kDeleted), std::vector<std::string>{"/$Orphans"});
    int rc = 0;
    EXPECT_TRUE(owners(v, 71, 0, &rc).empty());
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(owners(v, 150, kDeleted, &rc).empty());
    EXPECT_EQ(rc, 0);
    uint32_t link = 1;
    int err = 0;
    ASSERT_EQ(readfat_fat_entry(v, 150, &link, &err), 0);
    EXPECT_EQ(link, 0u);
    ASSERT_EQ(readfat_fat_entry(v, live, &link, &err), 0);
    EXPECT_EQ(link, 0x0FFFFFFFu);
    owners(v, 1, 0, &rc);
    EXPECT_EQ(rc, -EINVAL);
    // A failed allocation anywhere in the search fails the open with ENOMEM and leaves nothing
    // behind; the next open searches again.
    for (uint64_t k = 1; k < 40; ++k) {
        Mounted m(img, rd, readfat_optimal_flags() | kDeleted);
        ASSERT_TRUE(m.ok());
        const size_t blocks = m.alloc.live_blocks();
        m.alloc.reset_counts();
        m.alloc.fail_at(k);
        readfat_dir *h = readfat_opendir(m, "/$Orphans", &err);
        if (!h) {
            EXPECT_EQ(err, ENOMEM);
            EXPECT_EQ(m.alloc.live_blocks(), blocks);
        } else {
            readfat_closedir(m, h);
        }
        m.alloc.fail_at(0);
        EXPECT_EQ(names_of(list_dir(m, "/$Orphans")).size(), 3u) << k;
    }
    // Nothing of the searches stays allocated but the orphan table, released with the volume.
    const size_t before = v.alloc.live_blocks();
    owners(v, live, kDeleted);
    EXPECT_EQ(v.alloc.live_blocks(), before);
}

// However many orphan clusters a volume holds, at most READFAT_ORPHAN_MAX entries are offered,
// and the search says it stopped.
TEST(Orphans, EntriesAreCapped) {
    FatGeometry g;
    g.sectors_per_cluster = 8;
    g.cluster_count = 2200;
    FatImage img(g);
    TreeLayout t(img);
    t.file("LIVE.TXT", "live");
    t.finish();
    DirEntries full;
    for (uint32_t i = 0; i < img.entries_per_cluster(); ++i)
        full.add_short("\xE5ILE    BIN", DV_ATTR_ARCHIVE, 0, 0);
    const uint32_t clusters = READFAT_ORPHAN_MAX / img.entries_per_cluster() + 10;
    for (uint32_t c = 0; c < clusters; ++c) img.write_dir({100 + c}, full, false);
    FaultReader rd(img);
    Mounted v(img, rd, readfat_optimal_flags() | kDeleted);
    ASSERT_TRUE(v.ok());
    readfat_orphan_info info{};
    int err = 0;
    ASSERT_EQ(readfat_orphans(v, &info, &err), 0);
    EXPECT_EQ(info.entries, READFAT_ORPHAN_MAX);
    EXPECT_EQ(info.clusters, READFAT_ORPHAN_MAX / img.entries_per_cluster());
    EXPECT_EQ(info.truncated, 1u);
}

// A lost folder (its entry deleted, its chains left allocated): /$Orphans reads its clusters in
// chain order, so a long name cut at a cluster's end goes on in the cluster the FAT links next;
// its live-looking files are read through their chains (not over the free clusters between),
// its deleted ones by the recovery rules; the deleted entry naming it lists it along its chain,
// and owners follow the same chains.
TEST(Orphans, LostFolderIsReadThroughItsChains) {
    Volume vo;
    FatImage &img = vo.img;
    const uint32_t per = img.entries_per_cluster();
    const std::u16string split = u"a long name cut at the cluster.txt";
    DirEntries folder, named;
    folder.add_dots(80, 0);
    folder.pad_to(per - 2);
    DirEntries run;
    run.add_long(split, "SPLIT   TXT", DV_ATTR_ARCHIVE, 0, 0);
    ASSERT_EQ(run.size(), 4u);
    for (size_t i = 0; i < run.size(); ++i) folder.add_raw(run[i]);
    const std::string chained = std::string(img.cluster_bytes() * 2, 'x') + "tail";
    folder.add_short("CHAINED BIN", DV_ATTR_ARCHIVE, 90, static_cast<uint32_t>(chained.size()));
    folder.add_short("\xE5ONE    TXT", DV_ATTR_ARCHIVE, 100, 4);
    img.write_dir({80, 85}, folder, true);
    img.write_data({90, 95, 91}, chained, true);
    img.write_data({92}, "free bytes between", false);
    img.write_data({100}, "gone", false);
    const uint32_t sub = vo.t.find("SUB")->first_cluster;
    named.add_dots(sub, 0);
    named.add_short("\xE5OSTDIR    ", DV_ATTR_DIRECTORY, 80, 0);
    img.write_dir({sub}, named, false);

    FaultReader rd(img);
    Mounted v(img, rd, readfat_optimal_flags() | kDeleted);
    ASSERT_TRUE(v.ok());
    for (const char *dir : {"/$Orphans", "/SUB/_OSTDIR"}) {
        SCOPED_TRACE(dir);
        const std::vector<std::u16string> names = names_of(list_dir(v, dir), true);
        EXPECT_EQ(std::count(names.begin(), names.end(), split), 1);
        EXPECT_EQ(std::count(names.begin(), names.end(), u"CHAINED.BIN"), 1);
        EXPECT_EQ(read_file(v, (std::string(dir) + "/CHAINED.BIN").c_str()), chained);
        EXPECT_EQ(read_file(v, (std::string(dir) + "/_ONE.TXT").c_str()), "gone");
    }
    // Its two clusters, listed once each, in chain order.
    readfat_orphan_info info{};
    int err = 0;
    ASSERT_EQ(readfat_orphans(v, &info, &err), 0);
    EXPECT_EQ(info.clusters, 2u);
    EXPECT_EQ(owners(v, 92, kDeleted), std::vector<std::string>{});
    std::vector<std::string> of95 = owners(v, 95, kDeleted);
    std::sort(of95.begin(), of95.end());
    EXPECT_EQ(of95,
              (std::vector<std::string>{"/$Orphans/CHAINED.BIN", "/SUB/_OSTDIR/CHAINED.BIN"}));
}
