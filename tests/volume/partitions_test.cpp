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
    if (sfdisk.empty()) GTEST_SKIP() << "sfdisk (fdisk) is needed";
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
