// The volume reader's limits, each at its edge and one past it: the first (2) and last
// (cluster count + 1) data clusters and a chain one past them, file sizes 0, one cluster,
// one cluster + 1 and 0xFFFFFFFF, and seeks to size and size + 1.
#include "support/volume_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

using namespace dvtest;

TEST(ClusterLimits, FirstAndLastClusterReadAndOnePastIsRefused) {
    for (uint32_t spc : {1u, 4u}) {
        SCOPED_TRACE(testing::Message() << "sectors per cluster " << spc);
        const uint32_t n = 64; // data clusters 2 .. 65
        FatGeometry g;
        g.sectors_per_cluster = spc;
        g.cluster_count = n;
        g.root_cluster = 10;
        FatImage img(g);
        const uint32_t cb = img.cluster_bytes();

        // LOW in cluster 2; HIGH over n and n + 1; LAST (cross-linked) in n + 1 alone;
        // PAST's chain leads from n - 1 to n + 2; OUT starts at n + 2.
        const std::string low = pattern_data(cb, 1), high = pattern_data(cb + 1, 2),
                          past = pattern_data(cb, 3);
        std::memcpy(img.cluster(2), low.data(), cb);
        std::memcpy(img.cluster(n), high.data(), cb);
        img.cluster(n + 1)[0] = uint8_t(high[cb]);
        std::memcpy(img.cluster(n - 1), past.data(), cb);
        img.set_fat(2, kEndOfChain);
        img.link({n, n + 1});
        img.set_fat(n - 1, n + 2);
        img.set_fat(n - 2, n + 2);

        DirEntries root;
        root.add_short("ZERO    BIN", DV_ATTR_ARCHIVE, 0, 0)
            .add_short("LOW     BIN", DV_ATTR_ARCHIVE, 2, cb)
            .add_short("HIGH    BIN", DV_ATTR_ARCHIVE, n, cb + 1)
            .add_short("LAST    BIN", DV_ATTR_ARCHIVE, n + 1, 1)
            .add_short("PAST    BIN", DV_ATTR_ARCHIVE, n - 1, cb + 1)
            .add_short("OUT     BIN", DV_ATTR_ARCHIVE, n + 2, 1)
            .add_short("DIR        ", DV_ATTR_DIRECTORY, n - 2, 0);
        img.place_root(root);
        // DIR fills its first cluster exactly, so the scan must follow the chain to n + 2.
        DirEntries sub;
        sub.add_dots(n - 2, 0);
        for (uint32_t i = 2; i < img.entries_per_cluster(); ++i)
            sub.add_short("F" + std::to_string(1000 + i) + "   BIN", DV_ATTR_ARCHIVE, 0, 0);
        img.write_dir({n - 2}, sub, false);

        FaultReader rd(img);
        Mounted v(img, rd);
        ASSERT_TRUE(v.ok()) << v.err;
        ASSERT_EQ(v->cluster_count, n);

        struct Row {
            const char *path;
            uint32_t size;
            std::string want; // the bytes a whole read returns
            int err;          // the code that read ends with (0: it ends cleanly)
        } rows[] = {
            {"ZERO.BIN", 0, "", 0},
            {"LOW.BIN", cb, low, 0},
            {"HIGH.BIN", cb + 1, high, 0},
            {"LAST.BIN", 1, high.substr(cb), 0},
            {"PAST.BIN", cb + 1, past, DV_E_BROKENCHAIN},
            {"OUT.BIN", 1, "", DV_E_BROKENCHAIN},
        };
        for (const Row &r : rows) {
            SCOPED_TRACE(r.path);
            int err = 0;
            readfat_file *h = readfat_open(v, r.path, &err);
            ASSERT_NE(h, nullptr) << err;
            EXPECT_EQ(readfat_size(v, h), r.size);
            const uint64_t calls = rd.calls();
            std::string buf(r.size + 16, '\0');
            err = 1234;
            const uint32_t got = readfat_read(v, h, buf.data(), r.size + 16, &err);
            EXPECT_EQ(buf.substr(0, got), r.want);
            EXPECT_EQ(err, r.err ? r.err : 1234);
            EXPECT_EQ(readfat_tell(v, h), got);
            if (r.size == 0) {
                EXPECT_EQ(rd.calls(), calls) << "an empty file reads nothing";
            }

            // Seek to size: allowed, and a read there is the end of the file (no code).
            err = 1234;
            EXPECT_EQ(readfat_seek(v, h, r.size, &err), 0);
            EXPECT_EQ(readfat_tell(v, h), r.size);
            EXPECT_EQ(readfat_read(v, h, buf.data(), 1, &err), 0u);
            EXPECT_EQ(err, 1234);
            // Seek to size + 1: EINVAL, the handle unchanged.
            EXPECT_EQ(readfat_seek(v, h, r.size + 1, &err), -1);
            EXPECT_EQ(err, EINVAL);
            EXPECT_EQ(readfat_tell(v, h), r.size);
            // The last byte, reached by a seek back from the end.
            if (r.err == 0 && r.size > 0) {
                ASSERT_EQ(readfat_seek(v, h, r.size - 1, &err), 0);
                char last = 0;
                EXPECT_EQ(readfat_read(v, h, &last, 1, &err), 1u);
                EXPECT_EQ(last, r.want.back());
            }
            readfat_close(v, h);
        }

        // A directory whose chain leaves the data area lists its first cluster, then
        // reports EIO on this and every later call (each retries).
        int err = 0;
        readfat_dir *d = readfat_opendir(v, "DIR", &err);
        ASSERT_NE(d, nullptr) << err;
        auto listed = list_handle(v, d, &err);
        EXPECT_EQ(listed.size(), img.entries_per_cluster());
        EXPECT_EQ(err, EIO);
        err = 0;
        EXPECT_EQ(readfat_readdir(v, d, &err), nullptr);
        EXPECT_EQ(err, EIO);
        readfat_closedir(v, d);
        dv_entry e;
        EXPECT_EQ(readfat_stat(v, "DIR/NOPE", &e), EIO) << "the lookup agrees with the listing";

        EXPECT_EQ(rd.bad_requests(), 0u) << rd.describe();
    }
}

// ---- A file of 0xFFFFFFFF bytes on a volume that exists only as formulas -------------------

namespace {

// A FAT32 volume inside a disk, served sector by sector: boot sector, two FATs holding one
// contiguous chain, a root with one entry, and file data given by data_byte(offset).
struct HugeVolume {
    static constexpr uint64_t kStart = 2048;
    static constexpr uint32_t kSpc = 64, kReserved = 32;
    static constexpr uint32_t kClusterBytes = kSpc * 512;
    static constexpr uint32_t kSize = 0xFFFFFFFFu;
    static constexpr uint32_t kFileClusters =
        uint32_t((uint64_t{kSize} + kClusterBytes - 1) / kClusterBytes); // 131072
    static constexpr uint32_t kClusters = kFileClusters + 1; // root in 2, file from 3 on
    static constexpr uint32_t kFatSectors = ((kClusters + 2) * 4 + 511) / 512;
    static constexpr uint64_t kFatStart = kStart + kReserved;
    static constexpr uint64_t kDataStart = kFatStart + 2 * uint64_t{kFatSectors};
    static constexpr uint64_t kFileStart = kDataStart + kSpc; // cluster 3
    static constexpr uint64_t kEnd = kDataStart + uint64_t{kClusters} * kSpc;

    static uint8_t data_byte(uint64_t off) {
        const uint32_t h = uint32_t(off) * 0x9E3779B1u;
        return uint8_t((h >> 24) ^ (h >> 13) ^ uint32_t(off >> 32));
    }
    static uint32_t fat_entry(uint32_t c) {
        if (c == 0) return 0x0FFFFFF8;
        if (c == 1 || c == 2) return kEndOfChain;
        if (c < kClusters + 1) return c + 1;
        return c == kClusters + 1 ? kEndOfChain : 0;
    }
    static void put32(uint8_t *p, uint32_t v) {
        for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
    }
    static void sector(uint64_t s, uint8_t *buf) {
        std::memset(buf, 0, 512);
        if (s == kStart) {
            buf[11] = 0x00, buf[12] = 0x02; // 512 bytes per sector
            buf[13] = kSpc;
            buf[14] = kReserved;
            buf[16] = 2;
            put32(buf + 32, uint32_t(kEnd - kStart));
            put32(buf + 36, kFatSectors);
            put32(buf + 44, 2);
            buf[510] = 0x55, buf[511] = 0xAA;
        } else if (s >= kFatStart && s < kDataStart) {
            const uint32_t first = uint32_t((s - kFatStart) % kFatSectors) * 128;
            for (uint32_t i = 0; i < 128; ++i) put32(buf + 4 * i, fat_entry(first + i));
        } else if (s == kDataStart) {
            const RawEntry e = raw_short("BIG     BIN", DV_ATTR_ARCHIVE, 3, kSize);
            std::memcpy(buf, e.data(), e.size());
        } else if (s >= kFileStart) {
            const uint64_t base = (s - kFileStart) * 512;
            for (uint32_t i = 0; i < 512; ++i) buf[i] = data_byte(base + i);
        }
    }
};

} // namespace

TEST(SizeLimits, FileOf0xFFFFFFFFBytesFromASynthesizedVolume) {
    using H = HugeVolume;
    std::vector<uint8_t> nothing; // no sector is stored
    FaultReader rd(nothing, H::kStart, H::kEnd, H::kSpc);
    rd.synth = H::sector;
    TrackingAlloc alloc;
    int err = 0;
    readfat_volume *v =
        readfat_new2(H::kStart, H::kEnd, 512, &rd, FaultReader::cb, readfat_optimal_flags(), 1, 1,
                     &err, &alloc, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
    ASSERT_NE(v, nullptr) << err;
    EXPECT_EQ(v->cluster_count, H::kClusters);
    readfat_file *h = readfat_open(v, "BIG.BIN", &err);
    ASSERT_NE(h, nullptr) << err;
    EXPECT_EQ(readfat_size(v, h), H::kSize);

    auto expect_bytes = [&](uint32_t pos, uint32_t len, uint32_t want_len) {
        SCOPED_TRACE(testing::Message() << "read " << len << " at " << pos);
        int e = 1234;
        ASSERT_EQ(readfat_seek(v, h, pos, &e), 0) << e;
        std::vector<uint8_t> buf(len, 0);
        ASSERT_EQ(readfat_read(v, h, buf.data(), len, &e), want_len);
        EXPECT_EQ(e, 1234);
        for (uint32_t i = 0; i < want_len; ++i)
            ASSERT_EQ(buf[i], H::data_byte(uint64_t{pos} + i)) << "offset " << pos + i;
        EXPECT_EQ(readfat_tell(v, h), pos + want_len);
    };
    expect_bytes(0, 4096, 4096);
    expect_bytes(0xFFFF8000u - 1000, 2000, 2000); // across into the last cluster
    expect_bytes(H::kSize - 3000, 4096, 3000);    // the last bytes: a short count
    expect_bytes(H::kSize - 1, 1, 1);             // the very last byte
    expect_bytes(H::kSize, 16, 0);                // seek to size: the end, no code
    expect_bytes(0, 16, 16);                      // and back to the start

    readfat_close(v, h);
    readfat_delete(v);

    // Data was asked for a handful of times, never 4 GiB; the FAT was walked at most
    // twice (each forward walk reads each FAT sector once).
    uint64_t data = 0, fat = 0;
    for (const FaultReader::Call &c : rd.log()) {
        if (c.sector >= H::kFileStart) ++data;
        if (c.sector >= H::kFatStart && c.sector < H::kDataStart) ++fat;
    }
    EXPECT_LE(data, 8u) << rd.describe();
    EXPECT_LE(fat, 2u * H::kFatSectors);
    EXPECT_EQ(rd.bad_requests(), 0u);
    EXPECT_EQ(alloc.live_blocks(), 0u);
}
