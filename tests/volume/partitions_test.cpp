// readfat_partitions on damaged tables: EBR chains that loop or leave their partition,
// entries past the disk, too little room, failing reads, and GPTs (made by sfdisk) whose
// primary or both copies are damaged. Every request must stay inside the disk.
#include "support/tools.h"
#include "support/volume_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

using namespace dvtest;

namespace {

constexpr uint64_t kDisk = 8192; // sectors

void put_entry(uint8_t *sector, int i, uint8_t type, uint32_t start, uint32_t count) {
    uint8_t *e = sector + 446 + 16 * i;
    e[4] = type;
    for (int k = 0; k < 4; ++k) {
        e[8 + k] = uint8_t(start >> (8 * k));
        e[12 + k] = uint8_t(count >> (8 * k));
    }
    sector[510] = 0x55, sector[511] = 0xAA;
}

// An MBR with a FAT16 primary (made by the test builder at sector 64) and an extended
// partition at 5120 holding logical partitions at 1024 + 2 + 8k, linked in order.
struct MbrDisk {
    std::vector<uint8_t> disk = std::vector<uint8_t>(kDisk * 512);
    explicit MbrDisk(int logicals) {
        FatGeometry g;
        g.fat_bits = 16;
        g.cluster_count = 4200;
        g.start_sector = 64;
        FatImage fat16(g);
        std::memcpy(&disk[64 * 512], fat16.boot(), 512);
        put_entry(&disk[0], 0, 0x06, 64, uint32_t(fat16.end_sector() - 64));
        put_entry(&disk[0], 1, 0x05, 5120, 2048);
        for (int k = 0; k < logicals; ++k) {
            uint8_t *ebr = ebr_at(k);
            put_entry(ebr, 0, 0x83, 2, 6);
            if (k + 1 < logicals) put_entry(ebr, 1, 0x05, uint32_t(8 * (k + 1)), 8);
        }
    }
    uint8_t *ebr_at(int k) { return &disk[size_t(5120 + 8 * k) * 512]; }
    void link(int k, uint32_t rel) { put_entry(ebr_at(k), 1, 0x05, rel, 8); }
};

struct Listing {
    int rc;
    readfat_table table;
    std::vector<readfat_partition> parts;
    uint64_t bad_requests;
};

Listing list(std::vector<uint8_t> &disk, uint32_t room = 16,
             const std::function<void(FaultReader &)> &faults = {}) {
    FaultReader rd(disk, 0, disk.size() / 512, 8);
    if (faults) faults(rd);
    Listing l{};
    l.parts.assign(room + 1, readfat_partition{});
    l.parts[room].number = 0xC0FFEE; // must survive: past the room
    l.rc = readfat_partitions(disk.size() / 512, 0, &rd, FaultReader::cb, l.parts.data(), room,
                              &l.table);
    EXPECT_EQ(l.parts[room].number, 0xC0FFEEu) << "written past the room";
    l.parts.resize(std::min(room, l.table.count));
    l.bad_requests = rd.bad_requests();
    return l;
}

std::vector<uint64_t> starts(const Listing &l) {
    std::vector<uint64_t> s;
    for (const auto &p : l.parts) s.push_back(p.start);
    return s;
}

} // namespace

TEST(Partitions, EbrChainsThatLoopOrLeaveTheirPartitionEndThere) {
    struct Case {
        const char *what;
        int from;
        uint32_t rel;
        size_t listed;
    } cases[] = {
        {"self loop", 1, 8, 2},
        {"two-cycle", 2, 8, 3},
        {"past the extended partition", 1, 2048, 2},
        {"past the disk", 0, 0xFFFFFF00u, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        MbrDisk d(3);
        d.link(c.from, c.rel);
        Listing l = list(d.disk);
        ASSERT_EQ(l.rc, 0);
        EXPECT_EQ(l.table.count, 2 + c.listed);
        EXPECT_EQ(l.table.notes, DV_PT_NOTE_EBR_LOOP);
        EXPECT_EQ(l.bad_requests, 0u);
    }
}

TEST(Partitions, EntriesPastTheDiskAreCutOrLeftOut) {
    MbrDisk d(0);
    put_entry(&d.disk[0], 1, 0x0C, 7000, 5000); // ends past the disk: cut
    put_entry(&d.disk[0], 2, 0x0C, 9000, 10);   // starts past it: left out
    put_entry(&d.disk[0], 3, 0x0C, 0xFFFFFFF0u, 0xFFFFFFF0u);
    Listing l = list(d.disk);
    ASSERT_EQ(l.rc, 0);
    EXPECT_EQ(starts(l), (std::vector<uint64_t>{64, 7000}));
    EXPECT_EQ(l.parts[1].sectors, kDisk - 7000);
    EXPECT_EQ(l.table.notes, DV_PT_NOTE_OUTSIDE);
    EXPECT_EQ(l.bad_requests, 0u);
}

TEST(Partitions, NoMoreRecordsThanRoomAndTheCountOfAll) {
    MbrDisk d(3);
    Listing l = list(d.disk, 2);
    EXPECT_EQ(l.table.count, 5u);
    EXPECT_EQ(l.table.notes, DV_PT_NOTE_TRUNCATED);
    EXPECT_EQ(starts(l), (std::vector<uint64_t>{64, 5120}));
    readfat_table t;
    FaultReader rd(d.disk, 0, kDisk, 8);
    EXPECT_EQ(readfat_partitions(kDisk, 0, &rd, FaultReader::cb, nullptr, 0, &t), 0);
    EXPECT_EQ(t.count, 5u);
    EXPECT_EQ(readfat_partitions(kDisk, 0, &rd, FaultReader::cb, nullptr, 1, &t), EINVAL);
    EXPECT_EQ(readfat_partitions(kDisk, 1000, &rd, FaultReader::cb, nullptr, 0, &t), EINVAL);
    EXPECT_EQ(readfat_partitions(0, 0, &rd, FaultReader::cb, nullptr, 0, &t), EINVAL);
    EXPECT_EQ(readfat_partitions(kDisk, 0, &rd, nullptr, nullptr, 0, &t), EINVAL);
}

TEST(Partitions, FailingReads) {
    MbrDisk d(3);
    Listing l = list(d.disk, 16, [](FaultReader &rd) { rd.fail_sector(0); });
    EXPECT_EQ(l.rc, EIO);
    l = list(d.disk, 16, [](FaultReader &rd) { rd.fail_sector(5128); });
    EXPECT_EQ(l.rc, 0);
    EXPECT_EQ(l.table.count, 3u) << "the chain ends at the unreadable EBR";
    EXPECT_EQ(l.table.notes, DV_PT_NOTE_EBR_BAD);
    // An unreadable first sector only costs the partition its FAT type.
    l = list(d.disk, 16, [](FaultReader &rd) { rd.fail_sector(64); });
    EXPECT_EQ(l.parts[0].fat_type, 0);
}

TEST(Partitions, GptPrimaryDamagedThenBothCopies) {
    const std::string sfdisk = find_tool("sfdisk");
    DV_NEED_TOOLS("sfdisk");
    const std::string dir = scratch_dir("dorvex-gpt"), img = dir + "/g.img";
    ASSERT_EQ(std::system(("truncate -s 2M " + shell_quote(img)).c_str()), 0);
    ASSERT_TRUE(run_logged("printf 'label: gpt\\nstart=64, size=1000, type=C12A7328-F81F-11D2-"
                           "BA4B-00A0C93EC93B\\nstart=1100, size=900\\n' | " +
                               shell_quote(sfdisk) + " -q " + shell_quote(img),
                           dir + "/log"));
    std::vector<uint8_t> good = read_whole(img);
    const std::vector<uint64_t> both{64, 1100};
    Listing l = list(good);
    EXPECT_EQ(l.table.scheme, DV_PT_GPT);
    EXPECT_EQ(l.table.notes, 0u);
    EXPECT_EQ(starts(l), both);
    const uint64_t last = good.size() / 512 - 1;
    struct Case {
        const char *what;
        size_t byte;
        uint32_t notes;
    } cases[] = {
        {"primary header CRC", 512 + 20, DV_PT_NOTE_GPT_PRIMARY_BAD | DV_PT_NOTE_GPT_BACKUP_USED},
        {"primary entry array", 1024 + 60, DV_PT_NOTE_GPT_PRIMARY_BAD | DV_PT_NOTE_GPT_BACKUP_USED},
        {"primary signature", 512, DV_PT_NOTE_GPT_PRIMARY_BAD | DV_PT_NOTE_GPT_BACKUP_USED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> disk = good;
        disk[c.byte] ^= 0x40;
        l = list(disk);
        EXPECT_EQ(l.table.scheme, DV_PT_GPT);
        EXPECT_EQ(l.table.notes, c.notes);
        EXPECT_EQ(starts(l), both);
        EXPECT_EQ(l.bad_requests, 0u);
        // With the backup header damaged too, the protective MBR is all there is.
        disk[last * 512 + 20] ^= 0x40;
        l = list(disk);
        EXPECT_EQ(l.table.scheme, DV_PT_MBR);
        EXPECT_EQ(l.table.notes, DV_PT_NOTE_GPT_PRIMARY_BAD | DV_PT_NOTE_GPT_UNREADABLE);
        ASSERT_EQ(l.parts.size(), 1u);
        EXPECT_EQ(l.parts[0].mbr_type, 0xEE);
    }
}

// ---- El Torito -----------------------------------------------------------------------------

namespace {

// An ISO 9660 image (descriptors from CD sector 16, the catalog at CD sector 20) whose
// catalog lists an x86 default image of 4 sectors at RBA 30, then one EFI section: a FAT16
// volume at RBA 40 that the catalog says is 1 sector long, and a 1.44 MB floppy image at
// RBA 1200 holding FAT12, followed by an extension entry.
struct IsoDisk {
    std::vector<uint8_t> disk = std::vector<uint8_t>(kDisk * 512);
    uint64_t fat16_sectors = 0;
    static constexpr size_t kCatalog = 20 * 2048;

    uint8_t *cd(uint32_t n) { return &disk[size_t(n) * 2048]; }
    uint8_t *entry(uint32_t i) { return &disk[kCatalog + 32 * i]; }
    static void put32(uint8_t *p, uint32_t v) {
        for (int k = 0; k < 4; ++k) p[k] = uint8_t(v >> (8 * k));
    }
    void boot_entry(uint32_t i, uint8_t media, uint16_t count, uint32_t rba) {
        uint8_t *e = entry(i);
        e[0] = 0x88, e[1] = media, e[6] = uint8_t(count), e[7] = uint8_t(count >> 8);
        put32(e + 8, rba);
    }
    // The validation entry's checksum: its 16-bit words sum to 0.
    void seal() {
        uint8_t *v = entry(0);
        v[28] = v[29] = 0;
        uint32_t sum = 0;
        for (int k = 0; k < 32; k += 2) sum += uint32_t(v[k] | v[k + 1] << 8);
        const uint16_t fix = uint16_t(0x10000 - (sum & 0xFFFF));
        v[28] = uint8_t(fix), v[29] = uint8_t(fix >> 8);
    }
    IsoDisk() {
        for (uint32_t n : {16u, 17u, 18u}) std::memcpy(cd(n) + 1, "CD001\x01", 6);
        cd(16)[0] = 1, cd(17)[0] = 0, cd(18)[0] = 0xFF;
        std::memcpy(cd(17) + 7, "EL TORITO ", 10); // the boot system identifier
        put32(cd(17) + 71, 20);
        entry(0)[0] = 1, entry(0)[30] = 0x55, entry(0)[31] = 0xAA;
        std::memcpy(entry(0) + 4, "dorvex test", 11);
        seal();
        boot_entry(1, 0, 4, 30);
        entry(2)[0] = 0x91, entry(2)[1] = 0xEF, entry(2)[2] = 2;
        boot_entry(3, 0, 1, 40);
        boot_entry(4, 2 | 0x20, 1, 1200);
        entry(5)[0] = 0x44;
        FatGeometry g;
        g.fat_bits = 16;
        g.cluster_count = 4200;
        FatImage fat16(g);
        fat16_sectors = fat16.end_sector();
        std::memcpy(&disk[40 * 2048], fat16.boot(), 512);
        g.fat_bits = 12;
        g.cluster_count = 2800;
        g.reserved_sectors = 1;
        FatImage fat12(g);
        std::memcpy(&disk[1200 * 2048], fat12.boot(), 512);
    }
};

struct Image {
    uint64_t start, sectors;
    uint32_t number;
    uint8_t media, platform, fat;
    bool operator==(const Image &) const = default;
};

std::vector<Image> images(const Listing &l) {
    std::vector<Image> out;
    for (const auto &p : l.parts)
        out.push_back({p.start, p.sectors, p.number, p.mbr_type, p.reserved, p.fat_type});
    return out;
}

} // namespace

TEST(Partitions, ElToritoBootImagesWithTheirStartsSizesAndTypes) {
    IsoDisk iso;
    const std::vector<Image> all{{120, 4, 1, 0, 0x00, 0},
                                 {160, iso.fat16_sectors, 2, 0, 0xEF, 16},
                                 {4800, 2880, 3, 2, 0xEF, 12}};
    Listing l = list(iso.disk);
    EXPECT_EQ(l.rc, 0);
    EXPECT_EQ(l.table.scheme, DV_PT_ELTORITO);
    EXPECT_EQ(l.table.notes, 0u);
    EXPECT_EQ(images(l), all);
    EXPECT_EQ(l.bad_requests, 0u);
    // A signature over an empty table, as some system areas carry, changes nothing.
    iso.disk[510] = 0x55, iso.disk[511] = 0xAA;
    l = list(iso.disk);
    EXPECT_EQ(l.table.scheme, DV_PT_ELTORITO);
    EXPECT_EQ(images(l), all);
}

TEST(Partitions, DamagedElToritoCatalogs) {
    struct Case {
        const char *what;
        std::function<void(IsoDisk &)> damage;
        uint32_t scheme, notes;
        size_t count, same; // images listed, and how many first ones are as when intact
    } cases[] = {
        {"bad checksum", [](IsoDisk &i) { i.entry(0)[5] ^= 1; }, DV_PT_NONE, DV_PT_NOTE_CATALOG_BAD,
         0, 0},
        {"catalog outside the disk", [](IsoDisk &i) { IsoDisk::put32(i.cd(17) + 71, 0xFFFFFFF0u); },
         DV_PT_NONE, DV_PT_NOTE_CATALOG_BAD, 0, 0},
        {"no primary descriptor", [](IsoDisk &i) { i.cd(16)[0] = 2; }, DV_PT_NONE, 0, 0, 0},
        {"no boot record before the terminator",
         [](IsoDisk &i) { std::swap_ranges(i.cd(17), i.cd(18), i.cd(18)); }, DV_PT_NONE, 0, 0, 0},
        {"descriptors without end", // 31 supplementary descriptors: the walk stops
         [](IsoDisk &i) {
             for (uint32_t n = 17; n < 17 + 40; ++n) {
                 std::memset(i.cd(n), 0, 2048);
                 std::memcpy(i.cd(n),
                             "\x02"
                             "CD001\x01",
                             7);
             }
         },
         DV_PT_NONE, 0, 0, 0},
        {"huge section count", [](IsoDisk &i) { i.entry(2)[2] = i.entry(2)[3] = 0xFF; },
         DV_PT_ELTORITO, DV_PT_NOTE_CATALOG_BAD, 3, 3},
        {"more headers without end",
         [](IsoDisk &i) {
             for (uint32_t e = 6; e < 1100; ++e) i.entry(e)[0] = 0x90;
             i.entry(2)[0] = 0x90;
         },
         DV_PT_ELTORITO, DV_PT_NOTE_CATALOG_BAD, 3, 3},
        {"unknown entry in a section", [](IsoDisk &i) { i.entry(4)[0] = 0x12; }, DV_PT_ELTORITO,
         DV_PT_NOTE_CATALOG_BAD, 2, 2},
        {"image past the disk", [](IsoDisk &i) { IsoDisk::put32(i.entry(4) + 8, 0x7FFFFFFF); },
         DV_PT_ELTORITO, DV_PT_NOTE_OUTSIDE, 2, 2},
        {"image cut at the disk's end", [](IsoDisk &i) { IsoDisk::put32(i.entry(4) + 8, 1900); },
         DV_PT_ELTORITO, DV_PT_NOTE_OUTSIDE, 3, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        IsoDisk iso;
        const std::vector<Image> all = images(list(iso.disk));
        c.damage(iso);
        Listing l = list(iso.disk);
        EXPECT_EQ(l.rc, 0);
        EXPECT_EQ(l.table.scheme, c.scheme);
        EXPECT_EQ(l.table.notes, c.notes);
        ASSERT_EQ(l.parts.size(), c.count);
        const std::vector<Image> got = images(l);
        EXPECT_TRUE(std::equal(all.begin(), all.begin() + long(c.same), got.begin()));
        EXPECT_EQ(l.bad_requests, 0u);
    }
    // An unreadable catalog is noted, as a damaged one.
    IsoDisk iso;
    Listing l = list(iso.disk, 16, [](FaultReader &rd) { rd.fail_sector(20 * 4); });
    EXPECT_EQ(l.table.scheme, uint32_t(DV_PT_NONE));
    EXPECT_EQ(l.table.notes, DV_PT_NOTE_CATALOG_BAD);
}
