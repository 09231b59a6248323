// exFAT volumes formatted by mkfs.exfat, then given entry sets by ExfatBuilder that no
// driver at hand writes: a file past 4 GiB, a valid data length below the data length, a
// directory of 20,000 names, FAT chains for a file and a directory. fsck.exfat checks each
// image first, so the builder's checksums, name hashes and bitmap bits are proven sound
// before the library reads them.
#include "support/exfat_builder.h"
#include "support/fat_image.h"
#include "support/tools.h"
#include "support/volume_util.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace dvtest;

constexpr uint64_t kGiB = uint64_t{1} << 30;

std::string fresh_image(const char *name) {
    return scratch_dir("dorvex-exfat-built") + "/" + name;
}

void fsck_clean(const std::string &img) {
    run_logged(shell_quote(find_tool("fsck.exfat")) + " -n " + shell_quote(img), img + ".fsck");
}

std::string pattern(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 131 + seed * 7 + i / 251) & 0xFF);
    return s;
}

std::string read_at(readfat_volume *vol, readfat_file *f, uint64_t pos, uint32_t n) {
    int err = 0;
    EXPECT_EQ(readfat_seek64(vol, f, pos, &err), 0) << pos << ": " << err;
    std::string s(n, '\0');
    const uint32_t got = readfat_read(vol, f, s.data(), n, &err);
    s.resize(got);
    return s;
}

// A 5 GiB file in one run (NoFatChain) with marks around 4 GiB: sizes, positions and reads
// in 64 bits, and the 32-bit calls saturating with EOVERFLOW.
TEST(ExfatBuilt, FilePastFourGiB) {
    DV_NEED_TOOLS("mkfs.exfat", "fsck.exfat");
    const std::string path = fresh_image("big.img");
    const uint64_t size = 5 * kGiB;
    {
        ExfatBuilder b(path, 6 * kGiB, "-c 1M");
        ASSERT_TRUE(b.ok());
        const uint32_t clusters = uint32_t(size / b.cluster_bytes());
        const uint32_t first = b.alloc_run(clusters);
        ASSERT_NE(first, 0u);
        ExfatDir root = b.root();
        ExfatSetPlan s;
        s.name = u"big.bin";
        s.first_cluster = first;
        s.valid_length = s.data_length = size;
        s.modify = s.create = s.access = exfat_stamp(2024, 5, 1, 9, 0, 0);
        b.add_set(root, s);
        const uint64_t at = b.cluster_offset(first);
        const std::pair<uint64_t, const char *> marks[] = {
            {0, "HEAD"}, {4 * kGiB - 2, "ab"}, {4 * kGiB, "cd"}, {size - 4, "TAIL"}};
        for (const auto &[pos, text] : marks) b.write(at + pos, text, strlen(text));
    }
    fsck_clean(path);

    FileVolume vol(path, 0, 6 * kGiB / 512, exfat_test_flags());
    ASSERT_TRUE(vol.ok()) << vol.err;
    dv_entry e{};
    ASSERT_EQ(readfat_stat(vol, "/BIG.BIN", &e), 0);
    EXPECT_EQ(e.size, 0xFFFFFFFFu);
    EXPECT_EQ(e.size64, size);
    EXPECT_EQ(e.valid64, size);
    EXPECT_EQ(e.stream_flags & DV_STREAM_CONTIGUOUS, DV_STREAM_CONTIGUOUS);
    int err = 0;
    readfat_file *f = readfat_open(vol, "/big.bin", &err);
    ASSERT_NE(f, nullptr) << err;
    EXPECT_EQ(readfat_size64(vol, f), size);
    EXPECT_EQ(readfat_size(vol, f), 0xFFFFFFFFu);
    EXPECT_EQ(dv_errno(vol->ctx), EOVERFLOW);

    EXPECT_EQ(read_at(vol, f, 0, 4), "HEAD");
    EXPECT_EQ(readfat_tell(vol, f), 4u);
    // Across the boundary in one read, then on from just past it.
    EXPECT_EQ(read_at(vol, f, 4 * kGiB - 3, 6), std::string("\0abcd\0", 6));
    EXPECT_EQ(readfat_tell64(vol, f), 4 * kGiB + 3);
    EXPECT_EQ(readfat_tell(vol, f), 0xFFFFFFFFu);
    EXPECT_EQ(dv_errno(vol->ctx), EOVERFLOW);
    EXPECT_EQ(read_at(vol, f, 4 * kGiB + 1, 1), "d");
    // The end, and seeks to and past it.
    EXPECT_EQ(read_at(vol, f, size - 4, 100), "TAIL");
    EXPECT_EQ(readfat_tell64(vol, f), size);
    char c;
    EXPECT_EQ(readfat_read(vol, f, &c, 1, &err), 0u);
    EXPECT_EQ(readfat_seek64(vol, f, size + 1, &err), -1);
    EXPECT_EQ(err, EINVAL);
    EXPECT_EQ(readfat_tell64(vol, f), size);
    // Back below 4 GiB: the 32-bit calls work again.
    EXPECT_EQ(readfat_seek64(vol, f, 4 * kGiB - 2, &err), 0);
    EXPECT_EQ(readfat_tell(vol, f), uint32_t(4 * kGiB - 2));
    EXPECT_EQ(read_at(vol, f, 4 * kGiB - 2, 2), "ab");
    readfat_close(vol, f);

    readfat_extent ext[4];
    uint32_t count = 0;
    ASSERT_EQ(readfat_extents(vol, &e, ext, 4, &count, &err), 0) << err;
    // One run on disk, reported in pieces below 2 GiB that follow one another.
    ASSERT_EQ(count, 3u);
    uint64_t at = 0;
    for (uint32_t i = 0; i < count; ++i) {
        EXPECT_EQ(ext[i].offset64, at);
        EXPECT_EQ(ext[i].offset, uint32_t(std::min<uint64_t>(at, 0xFFFFFFFF)));
        EXPECT_LT(ext[i].bytes, 2 * kGiB);
        if (i) {
            EXPECT_EQ(ext[i].cluster, ext[i - 1].cluster + ext[i - 1].clusters);
        }
        at += ext[i].bytes;
    }
    EXPECT_EQ(at, size);
    EXPECT_EQ(vol.rd->bad_requests(), 0u);
}

// Valid data length below the data length: the bytes after it read as zeros whatever the
// clusters hold, in one run and through a FAT chain.
TEST(ExfatBuilt, ValidDataLengthBelowDataLength) {
    DV_NEED_TOOLS("mkfs.exfat", "fsck.exfat");
    const std::string path = fresh_image("vdl.img");
    const uint64_t size = 100000, valid = 5000;
    const std::string data = pattern(valid, 1), junk = pattern(size, 2);
    {
        ExfatBuilder b(path, 8 << 20, "-c 4096");
        ASSERT_TRUE(b.ok());
        ExfatDir root = b.root();
        const uint32_t n = uint32_t((size + 4095) / 4096);
        for (bool contiguous : {true, false}) {
            ExfatSetPlan s;
            s.name = contiguous ? u"run.bin" : u"chain.bin";
            s.valid_length = valid, s.data_length = size;
            s.contiguous = contiguous;
            std::vector<uint32_t> clusters;
            if (contiguous) {
                s.first_cluster = b.alloc_run(n);
                for (uint32_t k = 0; k < n; ++k) clusters.push_back(s.first_cluster + k);
            } else {
                // Every other cluster, the ones between left free.
                for (uint32_t k = 0, c = b.alloc_run(1); k < n; ++k, c = b.alloc_one(c + 2))
                    clusters.push_back(c);
                b.link(clusters);
                s.first_cluster = clusters[0];
            }
            for (uint32_t k = 0; k < n; ++k) {
                const std::string piece = (junk + junk).substr(k * 4096, 4096);
                b.write(b.cluster_offset(clusters[k]), piece.data(), piece.size());
            }
            b.write(b.cluster_offset(clusters[0]), data.data(), 4096);
            b.write(b.cluster_offset(clusters[1]), data.data() + 4096, valid - 4096);
            b.add_set(root, s);
        }
    }
    fsck_clean(path);

    FileVolume vol(path, 0, (8 << 20) / 512, exfat_test_flags());
    ASSERT_TRUE(vol.ok()) << vol.err;
    for (const char *name : {"/run.bin", "/chain.bin"}) {
        SCOPED_TRACE(name);
        dv_entry e{};
        ASSERT_EQ(readfat_stat(vol, name, &e), 0);
        EXPECT_EQ(e.size64, size);
        EXPECT_EQ(e.valid64, valid);
        EXPECT_EQ(read_file(vol, name), data + std::string(size - valid, '\0'));
        EXPECT_EQ(read_file(vol, name, 7), data + std::string(size - valid, '\0'));
        int err = 0;
        readfat_file *f = readfat_open(vol, name, &err);
        ASSERT_NE(f, nullptr) << err;
        EXPECT_EQ(read_at(vol, f, 60000, 10), std::string(10, '\0'));
        EXPECT_EQ(read_at(vol, f, valid - 10, 20), data.substr(valid - 10) + std::string(10, '\0'));
        EXPECT_EQ(read_at(vol, f, size - 3, 10), std::string(3, '\0'));
        EXPECT_EQ(read_at(vol, f, 100, 10), data.substr(100, 10));
        readfat_close(vol, f);
    }
    EXPECT_EQ(vol.rd->bad_requests(), 0u);
}

// 20,000 names of one to three name entries, Latin and not, in a directory grown one
// cluster at a time: listed completely in order, and found by readfat_stat in upper case.
TEST(ExfatBuilt, TwentyThousandNames) {
    DV_NEED_TOOLS("mkfs.exfat", "fsck.exfat");
    const std::string path = fresh_image("many.img");
    const int n = 20000;
    std::vector<std::u16string> names, upper;
    const auto name_of = [](int i) {
        char num[8];
        snprintf(num, sizeof num, "%05d", i);
        switch (i % 4) {
        case 0:
            return utf16(std::string("f") + num);
        case 1:
            return utf16(std::string("file_with_a_longer_name_") + num + ".txt");
        case 2:
            return utf16(std::string("Ωμέγα_Кириллица_") + num + "_ßüé_名前.dat");
        default:
            return utf16(std::string("émoji📷_") + num);
        }
    };
    {
        ExfatBuilder b(path, 64 << 20, "-c 4096");
        ASSERT_TRUE(b.ok());
        ExfatDir root = b.root();
        ExfatDir many = b.add_dir(root, u"many", 1, true, exfat_stamp(2024, 5, 1, 9, 0, 0));
        for (int i = 0; i < n; ++i) {
            ExfatSetPlan s;
            s.name = name_of(i);
            b.add_set(many, s);
            names.push_back(s.name);
            std::u16string up = s.name;
            for (char16_t &u : up) u = b.upcase(u);
            upper.push_back(up);
        }
        EXPECT_TRUE(many.contiguous);
        EXPECT_GT(many.clusters.size(), 100u);
    }
    fsck_clean(path);

    FileVolume vol(path, 0, (64 << 20) / 512, exfat_test_flags());
    ASSERT_TRUE(vol.ok()) << vol.err;
    const std::vector<Listed> listed = list_dir(vol, "/many");
    ASSERT_EQ(listed.size(), size_t(n));
    for (int i = 0; i < n; ++i) ASSERT_EQ(listed[size_t(i)].name, names[size_t(i)]) << i;
    dv_entry dir{};
    ASSERT_EQ(readfat_stat(vol, "/MANY", &dir), 0);
    // Every lookup scans the directory: a spread of names keeps this to a second.
    for (int i = 0; i < n; i += 97) {
        for (int k : {i, n - 1 - i}) {
            dv_entry e{};
            ASSERT_EQ(readfat_stat_at(vol, &dir, utf8(upper[size_t(k)]).c_str(), &e), 0) << k;
            EXPECT_EQ(to_u16(e.name), names[size_t(k)]);
        }
    }
    dv_entry e{};
    EXPECT_EQ(readfat_stat_at(vol, &dir, "F20000", &e), ENOENT);
    EXPECT_EQ(vol.rd->bad_requests(), 0u);
}

// A file whose clusters interleave with another's, and a directory in a FAT chain that
// grew into a cluster past a used one: contents, listings and cluster runs.
TEST(ExfatBuilt, FatChains) {
    DV_NEED_TOOLS("mkfs.exfat", "fsck.exfat");
    const std::string path = fresh_image("chains.img");
    const uint32_t cb = 4096;
    std::vector<uint32_t> a_clusters, b_clusters;
    const std::string a = pattern(5 * cb - 100, 3), bdata = pattern(4 * cb, 4);
    std::vector<std::u16string> in_dir;
    std::vector<uint32_t> dir_clusters;
    {
        ExfatBuilder b(path, 8 << 20, "-c 4096");
        ASSERT_TRUE(b.ok());
        ExfatDir root = b.root();
        const uint32_t base = b.alloc_run(9);
        for (uint32_t k = 0; k < 9; ++k) (k % 2 ? b_clusters : a_clusters).push_back(base + k);
        std::swap(a_clusters[1], a_clusters[3]); // out of order on disk, too
        b.link(a_clusters);
        b.link(b_clusters);
        for (size_t k = 0; k < a_clusters.size(); ++k)
            b.write(b.cluster_offset(a_clusters[k]), a.data() + k * cb,
                    std::min<size_t>(cb, a.size() - k * cb));
        for (size_t k = 0; k < b_clusters.size(); ++k)
            b.write(b.cluster_offset(b_clusters[k]), bdata.data() + k * cb, cb);
        for (auto [name, first, size] : {std::tuple{u"a.bin", a_clusters[0], a.size()},
                                         std::tuple{u"b.bin", b_clusters[0], bdata.size()}}) {
            ExfatSetPlan s;
            s.name = name;
            s.first_cluster = first;
            s.valid_length = s.data_length = size;
            s.contiguous = false;
            b.add_set(root, s);
        }
        // The directory grows into the cluster after a file that took its next one.
        ExfatDir d = b.add_dir(root, u"chained", 1, true);
        for (int i = 0; i < 400; ++i) {
            if (i % 100 == 50) {
                ExfatSetPlan s;
                s.name = u"pad_" + utf16(std::to_string(i)) + u".bin";
                s.first_cluster = b.alloc_one(d.clusters.back() + 1);
                s.valid_length = s.data_length = 10;
                b.add_set(root, s);
            }
            ExfatSetPlan s;
            s.name = utf16("entry_number_" + std::to_string(i) + "_with_a_long_tail");
            b.add_set(d, s);
            in_dir.push_back(s.name);
        }
        EXPECT_FALSE(d.contiguous);
        dir_clusters = d.clusters;
    }
    fsck_clean(path);

    FileVolume vol(path, 0, (8 << 20) / 512, exfat_test_flags());
    ASSERT_TRUE(vol.ok()) << vol.err;
    EXPECT_EQ(read_file(vol, "/a.bin"), a);
    EXPECT_EQ(read_file(vol, "/a.bin", 1000), a);
    EXPECT_EQ(read_file(vol, "/B.BIN"), bdata);
    const auto runs = [&](const char *p) {
        dv_entry e{};
        EXPECT_EQ(readfat_stat(vol, p, &e), 0) << p;
        EXPECT_EQ(e.stream_flags & DV_STREAM_CONTIGUOUS, 0);
        std::vector<uint32_t> clusters;
        readfat_extent ext[64];
        uint32_t count = 0;
        int err = 0;
        EXPECT_EQ(readfat_extents(vol, &e, ext, 64, &count, &err), 0) << p << ": " << err;
        for (uint32_t i = 0; i < count && i < 64; ++i)
            for (uint32_t k = 0; k < ext[i].clusters; ++k) clusters.push_back(ext[i].cluster + k);
        return clusters;
    };
    EXPECT_EQ(runs("/a.bin"), a_clusters);
    EXPECT_EQ(runs("/b.bin"), b_clusters);
    EXPECT_EQ(runs("/chained"), dir_clusters);
    EXPECT_EQ(names_of(list_dir(vol, "/chained")), in_dir);
    dv_entry e{};
    EXPECT_EQ(readfat_stat(vol, "/CHAINED/ENTRY_NUMBER_399_WITH_A_LONG_TAIL", &e), 0);
    EXPECT_EQ(vol.rd->bad_requests(), 0u);
}

// ---- Partitioned disks -----------------------------------------------------------------------

// An exFAT volume made by mkfs.exfat, copied into the partition sfdisk made for it: the
// table names it exFAT, and it mounts at the partition's start.
void exfat_in_partition(const std::string &label, const std::string &line) {
    DV_NEED_TOOLS("mkfs.exfat", "sfdisk");
    const std::string dir = scratch_dir("dorvex-exfat-disk"), disk = dir + "/disk.img";
    const uint64_t disk_sectors = 32 << 11, start = 2048, sectors = 16 << 11;
    {
        ExfatBuilder b(dir + "/vol.img", sectors * 512, "-c 4096 -L PART");
        ASSERT_TRUE(b.ok());
        ExfatDir root = b.root();
        ExfatSetPlan s;
        s.name = u"hello.txt";
        s.first_cluster = b.alloc_run(1);
        s.valid_length = s.data_length = 5;
        b.write(b.cluster_offset(s.first_cluster), "hello", 5);
        b.add_set(root, s);
    }
    std::ofstream(disk).close();
    ASSERT_EQ(truncate(disk.c_str(), off_t(disk_sectors * 512)), 0);
    ASSERT_TRUE(run_logged("printf " + shell_quote("label: " + label + "\n" + line + "\n") + " | " +
                               shell_quote(find_tool("sfdisk")) + " -q " + shell_quote(disk),
                           dir + "/tools.log"));
    ASSERT_TRUE(run_logged("dd if=" + shell_quote(dir + "/vol.img") + " of=" + shell_quote(disk) +
                               " bs=512 seek=" + std::to_string(start) +
                               " conv=notrunc,sparse status=none",
                           dir + "/tools.log"));

    FileVolume whole(disk, 0, disk_sectors, exfat_test_flags());
    EXPECT_FALSE(whole.ok()); // sector 0 holds the table
    readfat_partition parts[4];
    readfat_table table{};
    ASSERT_EQ(
        readfat_partitions(disk_sectors, 0, whole.rd.get(), FaultReader::cb, parts, 4, &table), 0);
    EXPECT_EQ(table.scheme, label == "gpt" ? DV_PT_GPT : DV_PT_MBR);
    EXPECT_EQ(table.disk_fat, 0u);
    ASSERT_EQ(table.count, 1u);
    EXPECT_EQ(parts[0].start, start);
    EXPECT_EQ(parts[0].sectors, sectors);
    EXPECT_EQ(int(parts[0].fat_type), DV_FAT_EXFAT);
    EXPECT_EQ(parts[0].mbr_type, label == "gpt" ? 0 : 0x07);
    const char *name = nullptr;
    ASSERT_EQ(
        readfat_identify(start, start + sectors, whole.rd.get(), FaultReader::cb, &name, nullptr),
        0);
    EXPECT_STREQ(name, "exFAT");

    FileVolume vol(disk, parts[0].start, parts[0].start + parts[0].sectors, exfat_test_flags());
    ASSERT_TRUE(vol.ok()) << vol.err;
    EXPECT_EQ(vol->fat_type, uint32_t(DV_FAT_EXFAT));
    EXPECT_EQ(read_file(vol, "/HELLO.TXT"), "hello");
    std::string got_label;
    for (const Listed &l : list_dir(vol, "/"))
        if (l.attr & DV_ATTR_VOLUME) got_label = utf8(l.name);
    EXPECT_EQ(got_label, "PART");
    EXPECT_EQ(vol.rd->bad_requests(), 0u);
}

TEST(ExfatPartitioned, MbrType07) {
    exfat_in_partition("dos", "start=2048, size=32768, type=7");
}

TEST(ExfatPartitioned, GptBasicData) {
    exfat_in_partition("gpt", "start=2048, size=32768, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
}

} // namespace
