// Mounting and teardown: argument checks, boot-sector checks, allocation failures, and
// the record's fields and the alignment of what the reader is handed.
#include "support/volume_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>

using namespace dvtest;

namespace {

FatGeometry geo(uint32_t spc = 1, uint32_t clusters = 256) {
    FatGeometry g;
    g.sectors_per_cluster = spc;
    g.cluster_count = clusters;
    return g;
}

struct MountResult {
    readfat_volume *vol;
    int err;
    uint64_t reader_calls;
};

// Mounts with a fresh tracking allocator; on failure checks that nothing is left.
MountResult try_mount(FaultReader &rd, uint64_t start, uint64_t end, uint32_t sector_size = 512,
                      uint32_t flags = readfat_optimal_flags(), uint32_t max_files = 4,
                      uint32_t max_dirs = 4) {
    TrackingAlloc alloc;
    int err = 12345;
    readfat_volume *v =
        readfat_new2(start, end, sector_size, &rd, FaultReader::cb, flags, max_files, max_dirs,
                     &err, &alloc, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
    if (v) {
        EXPECT_EQ(err, 12345) << "success must not write err";
        readfat_delete(v);
        return {reinterpret_cast<readfat_volume *>(1), err, rd.calls()};
    }
    EXPECT_EQ(alloc.live_blocks(), 0u) << "a failed mount left memory allocated";
    EXPECT_EQ(alloc.bad_frees(), 0u);
    return {nullptr, err, rd.calls()};
}

MountResult try_mount(FatImage &img, uint32_t sector_size = 512,
                      uint32_t flags = readfat_optimal_flags(), uint32_t max_files = 4,
                      uint32_t max_dirs = 4) {
    FaultReader rd(img);
    return try_mount(rd, img.start_sector(), img.end_sector(), sector_size, flags, max_files,
                     max_dirs);
}

} // namespace

// ---- Arguments -----------------------------------------------------------------------------

TEST(Mount, ArgumentChecksFailBeforeAnythingIsAllocatedOrRead) {
    FatImage img(geo());
    struct Case {
        const char *what;
        uint64_t end;
        uint32_t sector_size, max_files, max_dirs;
    } cases[] = {
        {"sector size 4096", img.end_sector(), 4096, 4, 4},
        {"sector size 0", img.end_sector(), 0, 4, 4},
        {"sector size 1024", img.end_sector(), 1024, 4, 4},
        {"max_files 4096", img.end_sector(), 512, 4096, 4},
        {"max_dirs 4096", img.end_sector(), 512, 4, 4096},
        {"max_files huge", img.end_sector(), 512, 0xFFFFFFFFu, 4},
        {"end_sector 63", 63, 512, 4, 4},
        {"end_sector 0", 0, 512, 4, 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FaultReader rd(img);
        TrackingAlloc alloc;
        int err = 0;
        readfat_volume *v = readfat_new2(0, c.end, c.sector_size, &rd, FaultReader::cb,
                                         readfat_optimal_flags(), c.max_files, c.max_dirs, &err,
                                         &alloc, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
        EXPECT_EQ(v, nullptr);
        EXPECT_EQ(err, EINVAL);
        EXPECT_EQ(alloc.allocs(), 0u);
        EXPECT_EQ(rd.calls(), 0u);
    }
}

TEST(Mount, NullErrPointerIsAllowed) {
    FatImage img(geo());
    FaultReader rd(img);
    EXPECT_EQ(readfat_new(0, 63, 512, &rd, FaultReader::cb, readfat_optimal_flags(), 1, 1, nullptr),
              nullptr);
    img.set_signature(false);
    EXPECT_EQ(readfat_new(0, img.end_sector(), 512, &rd, FaultReader::cb, readfat_optimal_flags(),
                          1, 1, nullptr),
              nullptr);
}

TEST(Mount, BadCharsetFailsWithTheContextCode) {
    FatImage img(geo());
    FaultReader rd(img);
    auto r = try_mount(rd, 0, img.end_sector(), 512, DV_FLAG_SLASH /* no charset */);
    EXPECT_EQ(r.vol, nullptr);
    EXPECT_EQ(r.err, EINVAL);
    EXPECT_EQ(rd.calls(), 0u);
}

TEST(Mount, EndSector64IsEnough) {
    // 4 reserved + 1 FAT sector + 59 one-sector clusters = 64 sectors.
    FatGeometry g = geo(1, 59);
    g.reserved_sectors = 4;
    g.fat_count = 1;
    FatImage img(g);
    ASSERT_EQ(img.end_sector(), 64u);
    EXPECT_NE(try_mount(img).vol, nullptr);
}

TEST(Mount, SlotLimitsAndZeroSlots) {
    FatImage img(geo());
    EXPECT_NE(try_mount(img, 512, readfat_optimal_flags(), 4095, 4095).vol, nullptr);
    EXPECT_NE(try_mount(img, 512, readfat_optimal_flags(), 0, 0).vol, nullptr);
}

// ---- Boot sector -------------------------------------------------------------------------

TEST(Mount, BootSectorReadFailures) {
    struct Case {
        const char *what;
        FaultReader::Result r;
    } cases[] = {
        {"reader returns 0", FaultReader::Result::zero},
        {"reader returns -5", FaultReader::Result::negative},
        {"reader returns 2 for one sector", FaultReader::Result::over},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FatImage img(geo());
        FaultReader rd(img);
        rd.fail_call(1, c.r);
        auto r = try_mount(rd, 0, img.end_sector());
        EXPECT_EQ(r.vol, nullptr);
        EXPECT_EQ(r.err, EIO);
        ASSERT_EQ(rd.calls(), 1u);
        EXPECT_EQ(rd.log()[0].sector, 0u);
        EXPECT_EQ(rd.log()[0].count, 1u);
    }
}

TEST(Mount, BootSectorChecks) {
    struct Case {
        const char *what;
        std::function<void(FatImage &)> damage;
        int err;
    } cases[] = {
        {"no signature", [](FatImage &i) { i.set_signature(false); }, DV_E_BOOTSIG},
        {"signature bytes swapped", [](FatImage &i) { i.set_boot16(510, 0x55AA); }, DV_E_BOOTSIG},
        {"signature half right", [](FatImage &i) { i.set_boot8(511, 0xAB); }, DV_E_BOOTSIG},
        {"sectors per cluster 0", [](FatImage &i) { i.set_boot8(13, 0); }, DV_E_BADPBR},
        {"no FATs", [](FatImage &i) { i.set_boot8(16, 0); }, DV_E_BADPBR},
        {"FAT size 0", [](FatImage &i) { i.set_boot32(36, 0); }, DV_E_BADPBR},
        {"reserved sectors 0", [](FatImage &i) { i.set_boot16(14, 0); }, DV_E_BADPBR},
        {"root cluster 0", [](FatImage &i) { i.set_boot32(44, 0); }, DV_E_BADPBR},
        {"root cluster 1", [](FatImage &i) { i.set_boot32(44, 1); }, DV_E_BADPBR},
        {"root cluster one past the last", [](FatImage &i) { i.set_boot32(44, 256 + 2); },
         DV_E_BADPBR},
        {"root cluster 0x0FFFFFFF", [](FatImage &i) { i.set_boot32(44, 0x0FFFFFFF); }, DV_E_BADPBR},
        {"root cluster 0xFFFFFFFF", [](FatImage &i) { i.set_boot32(44, 0xFFFFFFFF); }, DV_E_BADPBR},
        {"FATs reach past the volume",
         [](FatImage &i) { i.set_boot32(36, uint32_t(i.end_sector())); }, DV_E_BADPBR},
        {"root cluster past the only 255-sector cluster",
         [](FatImage &i) {
             i.set_boot8(13, 255);
             i.set_boot32(44, 3);
         },
         DV_E_BADPBR},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FatImage img(geo(1, 256));
        c.damage(img);
        FaultReader rd(img);
        rd.set_audit(false); // the geometry itself is broken here
        auto r = try_mount(rd, 0, img.end_sector());
        EXPECT_EQ(r.vol, nullptr);
        EXPECT_EQ(r.err, c.err);
        // The boot sector, then FAT32's backup at logical sector 6 and exFAT's backup region's
        // first sector at logical sector 12, in each sector size.
        EXPECT_LE(rd.calls(), 9u);
        for (const FaultReader::Call &call : rd.log())
            EXPECT_TRUE(call.count == 1 && (call.sector == 0 || call.sector % 6 == 0))
                << "only boot sectors may be read: " << call.sector;
    }
}

// A damaged first sector: FAT32's copy is taken where the damaged sector says (1 .. 31),
// else at sector 6, and only when it is sound and inside its reserved sectors; a volume at
// sector 100 of a disk is read only inside itself.
TEST(Mount, BackupBootSector) {
    struct Case {
        const char *what;
        uint16_t named;  // the damaged sector's backup field
        uint32_t copy;   // where the copy lies (0: none)
        uint32_t backup; // the sector mounted from; 0: the mount fails with DV_E_BOOTSIG
    } cases[] = {
        {"named sector", 3, 3, 3},
        {"named 1", 1, 1, 1},
        {"named out of range", 40, 6, 6},
        {"named zero", 0, 6, 6},
        {"named sector empty", 3, 6, 6},
        {"copy past the reserved sectors", 10, 10, 0},
        {"no copy", 6, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FatGeometry g = geo(1, 256);
        g.start_sector = 100;
        g.reserved_sectors = 8;
        FatImage img(g);
        uint8_t good[512];
        std::memcpy(good, img.boot(), 512);
        if (c.copy) std::memcpy(img.boot() + c.copy * 512, good, 512);
        img.set_signature(false);
        img.set_boot16(50, c.named);
        FaultReader rd(img);
        rd.set_audit(false);
        TrackingAlloc alloc;
        int err = 0;
        readfat_volume *v =
            readfat_new2(100, img.end_sector(), 512, &rd, FaultReader::cb, readfat_optimal_flags(),
                         1, 1, &err, &alloc, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
        for (const FaultReader::Call &call : rd.log()) EXPECT_GE(call.sector, 100u);
        if (!c.backup) {
            EXPECT_EQ(v, nullptr);
            EXPECT_EQ(err, DV_E_BOOTSIG);
            continue;
        }
        ASSERT_NE(v, nullptr) << err;
        EXPECT_EQ(v->boot_backup, c.backup);
        readfat_volinfo info;
        ASSERT_EQ(readfat_info(v, &info), 0);
        EXPECT_EQ(info.notes & DV_VOL_NOTE_BACKUP_BOOT, DV_VOL_NOTE_BACKUP_BOOT);
        EXPECT_EQ(info.backup_boot_sector, c.backup);
        EXPECT_EQ(info.reserved_sectors, 8u);
        readfat_delete(v);
    }
}

TEST(Mount, BootSectorDeclaring4096ByteSectorsIsReadIn4096ByteSectors) {
    // The bytes-per-sector field counts: this layout, read in 4096-byte sectors, puts the
    // FATs past the volume's end. Sizes other than 512 .. 4096 are refused.
    for (uint16_t bps : {4096, 0, 256, 1000, 8192}) {
        SCOPED_TRACE(bps);
        FatImage img(geo());
        img.set_boot16(11, bps);
        auto r = try_mount(img);
        EXPECT_EQ(r.vol, nullptr);
        EXPECT_EQ(r.err, DV_E_BADPBR);
    }
}

TEST(Mount, RootClusterAtTheLastClusterIsAccepted) {
    FatGeometry g = geo(1, 256);
    g.root_cluster = 257;
    FatImage img(g);
    EXPECT_NE(try_mount(img).vol, nullptr);
    DirEntries d;
    d.add_short("AT      END", DV_ATTR_ARCHIVE, 0, 0);
    img.place_root(d);
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    auto l = list_dir(v, "");
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].name, u"AT.END");
    EXPECT_EQ(rd.cluster_reads(257), 1u);
}

TEST(Mount, DataAreaWithoutAWholeCluster) {
    // 60 reserved + 2 one-sector FATs = data at 62; 8-sector clusters; 7 sectors left.
    FatGeometry g = geo(8, 0);
    g.reserved_sectors = 60;
    g.fat_sectors = 1;
    g.root_cluster = 2;
    g.extra_sectors = 7;
    FatImage img(g);
    ASSERT_EQ(img.end_sector(), 69u);
    auto r = try_mount(img);
    EXPECT_EQ(r.vol, nullptr);
    EXPECT_EQ(r.err, DV_E_BADPBR);
}

TEST(Mount, EndSectorBeforeTheDataArea) {
    // The volume ends inside the FATs: the data-area size must not wrap around.
    FatGeometry g = geo(1, 256);
    g.reserved_sectors = 100;
    FatImage img(g);
    FaultReader rd(img);
    rd.set_volume(0, 64);
    auto r = try_mount(rd, 0, 64);
    EXPECT_EQ(r.vol, nullptr);
    EXPECT_EQ(r.err, DV_E_BADPBR);
}

TEST(Mount, NonPowerOfTwoClusterSize) {
    FatImage img(geo(3, 100));
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok()) << v.err;
    EXPECT_EQ(v->sectors_per_cluster, 3u);
    EXPECT_EQ(v->cluster_bytes, 1536u);
    EXPECT_EQ(v->dir_entries_per_cluster, 48u);
}

// ---- Allocation failures -----------------------------------------------------------------

TEST(Mount, EveryAllocationFailureIsReleasedCleanly) {
    FatImage img(geo(2));
    uint64_t k;
    {
        FaultReader rd(img);
        TrackingAlloc a;
        readfat_volume *v =
            readfat_new2(0, img.end_sector(), 512, &rd, FaultReader::cb, readfat_optimal_flags(), 3,
                         3, nullptr, &a, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
        ASSERT_NE(v, nullptr);
        k = a.allocs();
        EXPECT_GE(k, 3u) << "context, record and arena at least";
        readfat_delete(v);
        EXPECT_EQ(a.live_blocks(), 0u);
    }
    for (bool persistent : {false, true}) {
        for (uint64_t n = 1; n <= k + 1; ++n) {
            SCOPED_TRACE(testing::Message()
                         << "failing allocation " << n << (persistent ? " and on" : " once"));
            FaultReader rd(img);
            TrackingAlloc a;
            a.fail_at(n, persistent);
            int err = 0;
            readfat_volume *v = readfat_new2(0, img.end_sector(), 512, &rd, FaultReader::cb,
                                             readfat_optimal_flags(), 3, 3, &err, &a,
                                             TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
            if (n == k + 1) {
                ASSERT_NE(v, nullptr);
                readfat_delete(v);
            } else {
                EXPECT_EQ(v, nullptr);
                EXPECT_EQ(err, ENOMEM);
            }
            EXPECT_EQ(a.live_blocks(), 0u);
        }
    }
}

// ---- Record and arena ------------------------------------------------------------------------

class MountLayout : public testing::TestWithParam<uint32_t> {};

TEST_P(MountLayout, RecordAndArena) {
    const uint32_t spc = GetParam();
    FatGeometry g = geo(spc, 64);
    g.start_sector = 7;
    g.reserved_sectors = 9;
    g.root_cluster = 5;
    FatImage img(g);
    FaultReader rd(img);
    const uint32_t mf = 3, md = 2;
    Mounted v(img, rd, readfat_optimal_flags(), mf, md);
    ASSERT_TRUE(v.ok()) << v.err;
    EXPECT_EQ(rd.calls(), 1u) << "mounting reads the boot sector only";

    EXPECT_NE(v->ctx, nullptr);
    EXPECT_EQ(v->max_files, mf);
    EXPECT_EQ(v->max_dirs, md);
    EXPECT_EQ(v->fat_sectors, img.fat_sectors());
    EXPECT_EQ(v->fat_start, 16u);
    EXPECT_EQ(v->data_start, img.data_start());
    EXPECT_EQ(v->sectors_per_cluster, spc);
    EXPECT_EQ(v->reserved_sectors, 9u);
    EXPECT_EQ(v->fat_count, 2u);
    EXPECT_EQ(v->root_cluster, 5u);
    EXPECT_EQ(v->sector_size, 512u);
    EXPECT_EQ(v->cluster_bytes, spc * 512);
    EXPECT_EQ(v->fat_entries_per_sector, 128u);
    EXPECT_EQ(v->dir_entries_per_cluster, spc * 16);
    EXPECT_EQ(v->flags, readfat_optimal_flags());
    EXPECT_EQ(v->reader_data, &rd);
    EXPECT_EQ(v->reader_fn, &FaultReader::cb);
    EXPECT_EQ(v->alloc_data, &v.alloc);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(v->fat_tag[k], 0u);

    // The boot buffer is 64-byte aligned inside the record and holds the boot sector.
    auto *bb = v->boot_buf;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(bb) % 64, 0u);
    EXPECT_GE(bb, v->storage);
    EXPECT_LE(bb + 512, v->storage + sizeof v->storage);

    for (uint32_t j = 0; j < md; ++j) EXPECT_EQ(v->dirs[j].in_use, 0);
    for (uint32_t i = 0; i < mf; ++i) EXPECT_EQ(v->files[i].in_use, 0);
    EXPECT_NE(v->lookup_dir->in_use, 0);
    // Everything the volume keeps is taken now: the context, the record and the arena.
    EXPECT_EQ(v.alloc.live_blocks(), 3u);
}

// With an allocator of 512-byte aligned blocks, every buffer the reader is handed is
// 512-byte aligned (DMA drivers rely on it), whatever the caller reads into: whole clusters
// go straight into the caller's buffer only when that buffer is aligned too.
TEST_P(MountLayout, EveryReaderBufferIsSectorAligned) {
    const uint32_t spc = GetParam();
    FatImage img(geo(spc, 64));
    TreeLayout t(img);
    t.file("F.BIN", pattern_data(5 * spc * 512 + 17, 3), FatImage::Spread::shuffled);
    t.file("SUB/a long name.txt", "x");
    t.finish();
    FaultReader rd(img);
    rd.require_alignment(512);
    Mounted v(img, rd, readfat_optimal_flags(), 2, 2);
    ASSERT_TRUE(v.ok()) << v.err;
    dv_entry e;
    ASSERT_EQ(readfat_stat(v, "SUB/a long name.txt", &e), 0);
    EXPECT_EQ(names_of(list_dir(v, "SUB"), true), t.children("SUB"));
    const std::string &data = t.find("F.BIN")->data;
    std::vector<uint8_t> space(data.size() + 1024);
    uint8_t *aligned = space.data() + (512 - reinterpret_cast<uintptr_t>(space.data()) % 512);
    for (uint8_t *dst : {aligned, aligned + 1}) {
        readfat_file *f = readfat_open(v, "F.BIN", nullptr);
        ASSERT_NE(f, nullptr);
        int err = 0;
        ASSERT_EQ(readfat_read(v, f, dst, uint32_t(data.size()), &err), data.size()) << err;
        EXPECT_EQ(std::string(reinterpret_cast<char *>(dst), data.size()), data);
        readfat_close(v, f);
    }
    EXPECT_EQ(rd.misaligned(), 0u) << rd.describe();
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, MountLayout, testing::Values(1u, 2u, 3u, 8u, 64u));

TEST(Mount, VolumeInsideALargerDisk) {
    FatGeometry g = geo(2, 100);
    g.start_sector = 2048;
    g.trailing_sectors = 64;
    FatImage img(g);
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok()) << v.err;
    ASSERT_EQ(rd.calls(), 1u);
    EXPECT_EQ(rd.log()[0].sector, 2048u);
    EXPECT_EQ(v->fat_start, 2048u + 32);
}

TEST(Mount, DeleteReleasesEverythingWithHandlesOpen) {
    FatImage img(geo());
    TreeLayout t(img);
    t.file("A.TXT", "hello").dir("SUB");
    t.finish();
    FaultReader rd(img);
    TrackingAlloc a;
    readfat_volume *v =
        readfat_new2(0, img.end_sector(), 512, &rd, FaultReader::cb, readfat_optimal_flags(), 2, 2,
                     nullptr, &a, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
    ASSERT_NE(v, nullptr);
    EXPECT_NE(readfat_open(v, "A.TXT", nullptr), nullptr);
    EXPECT_NE(readfat_opendir(v, "SUB", nullptr), nullptr);
    readfat_delete(v);
    EXPECT_EQ(a.live_blocks(), 0u);
    EXPECT_EQ(a.bad_frees(), 0u);
}

TEST(Mount, OptimalFlags) {
    EXPECT_EQ(readfat_optimal_flags(), 0x30Fu);
    EXPECT_EQ(readfat_optimal_flags(), DV_FLAG_SLASH | DV_FLAG_BACKSLASH |
                                           DV_FLAG_SKIP_LEADING_SEP | DV_FLAG_LENIENT |
                                           DV_FLAG_UTF16 | DV_CHARSET_ASCII);
}

// ---- Free clusters ---------------------------------------------------------------------

// The free count over FAT12/16/32 with cluster counts that end a FAT12 pair on either
// half, and FATs larger than the clusters need: it equals the zero entries among the
// volume's clusters, read in runs the size of the FAT cache (one cluster without
// READFAT_FLAG_BATCH), never past the last entry's sector, without allocating.
TEST(FreeClusters, CountsZeroEntriesUpToTheLastClusterOnly) {
    struct Case {
        uint32_t bits, spc, clusters;
    } cases[] = {{12, 1, 301}, {12, 3, 300}, {16, 1, 4200}, {16, 2, 4099}, {32, 1, 3000}};
    for (const Case &c : cases) {
        for (uint32_t flags :
             {readfat_optimal_flags(), readfat_optimal_flags() | READFAT_FLAG_BATCH}) {
            SCOPED_TRACE(testing::Message() << "FAT" << c.bits << " spc " << c.spc << " clusters "
                                            << c.clusters << " flags " << flags);
            FatGeometry g = geo(c.spc, c.clusters);
            g.fat_bits = c.bits;
            g.reserved_sectors = 3;
            g.fat_sectors = 40; // more than any of these needs
            FatImage img(g);
            TreeLayout t(img);
            t.file("A.BIN", pattern_data(20 * 512, 1), FatImage::Spread::gapped).dir("SUB");
            t.finish();
            img.set_fat(c.clusters, 0x0FFFFFF7u);                       // a bad cluster is not free
            img.set_fat(c.clusters + 1, 0);                             // the last one is
            if (c.bits == 32) img.set_fat(c.clusters - 1, 0xF0000000u); // free: top bits ignored
            uint32_t want = 0;
            for (uint32_t n = 2; n <= c.clusters + 1; ++n)
                want += (img.fat(n) & (c.bits == 32 ? 0x0FFFFFFFu : 0xFFFFFFFFu)) == 0;
            FaultReader rd(img);
            allow_batches(rd, img, flags);
            Mounted v(img, rd, flags);
            ASSERT_TRUE(v.ok()) << v.err;
            rd.reset_log();
            const uint64_t allocs = v.alloc.allocs();
            uint32_t count = 0;
            int err = 0;
            ASSERT_EQ(readfat_free_clusters(v, &count, &err), 0) << err;
            EXPECT_EQ(count, want);
            EXPECT_EQ(v.alloc.allocs(), allocs);
            const uint64_t last_byte = c.bits == 12 ? (c.clusters + 1) * 3 / 2 + 1
                                                    : uint64_t(c.clusters + 2) * c.bits / 8 - 1;
            const uint64_t sectors = last_byte / 512 + 1;
            const uint32_t run = (flags & READFAT_FLAG_BATCH) ? 8 : std::min(8u, c.spc);
            EXPECT_EQ(rd.calls(), (sectors + run - 1) / run) << rd.describe();
            for (const FaultReader::Call &call : rd.log()) {
                EXPECT_GE(call.sector, img.fat_start());
                EXPECT_LE(call.sector + call.count, img.fat_start() + sectors) << rd.describe();
            }
            // The cache was dropped: lookups still see the right chains.
            EXPECT_TRUE(read_file(v, "A.BIN") == pattern_data(20 * 512, 1));
            EXPECT_EQ(rd.bad_requests(), 0u);
        }
    }
}

TEST(FreeClusters, FailedFatReadGivesEioAndTheNextCallRetries) {
    FatGeometry g = geo(1, 2000);
    g.fat_bits = 16;
    FatImage img(g);
    FaultReader rd(img);
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok()) << v.err;
    uint32_t count = 77;
    int err = 0;
    EXPECT_EQ(readfat_free_clusters(nullptr, &count, &err), -1);
    EXPECT_EQ(err, EINVAL);
    err = 0;
    EXPECT_EQ(readfat_free_clusters(v, nullptr, &err), -1);
    EXPECT_EQ(err, EINVAL);
    for (FaultReader::Result r :
         {FaultReader::Result::zero, FaultReader::Result::negative, FaultReader::Result::over}) {
        rd.fail_sector(img.fat_start() + 5, r);
        err = 0;
        EXPECT_EQ(readfat_free_clusters(v, &count, &err), -1);
        EXPECT_EQ(err, EIO);
        EXPECT_EQ(count, 77u);
        rd.clear_faults();
    }
    rd.max_per_call(1); // short results are continued
    EXPECT_EQ(readfat_free_clusters(v, &count, nullptr), 0);
    EXPECT_EQ(count, 2000u - 1u); // the root's cluster is the only one in use
}
