// writefat_format: the layout it chooses against mkfs.fat's, volumes of every type, sector
// and cluster size checked by fsck.fat, mtools and the library itself, bad options, and a
// writer that fails at each of its calls.
#define _FILE_OFFSET_BITS 64
#include "support/tools.h"
#include "support/tracking_alloc.h"

#include <dorvex/readfat.h>
#include <dorvex/writefat.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace dvtest {
namespace {

struct Tools {
    std::string mkfs = find_tool("mkfs.fat"), fsck = find_tool("fsck.fat"),
                minfo = find_tool("minfo"), mdir = find_tool("mdir"), mcopy = find_tool("mcopy");
    bool ok() const {
        return !mkfs.empty() && !fsck.empty() && !minfo.empty() && !mdir.empty() && !mcopy.empty();
    }
};

// CI has every oracle: a missing one fails there instead of skipping.
#define NEED_TOOLS(t)                                                                              \
    do {                                                                                           \
        if (!(t).ok()) {                                                                           \
            const char *ci = std::getenv("CI");                                                    \
            if (ci && std::string(ci) == "true") FAIL() << "dosfstools or mtools missing";         \
            GTEST_SKIP() << "dosfstools or mtools missing";                                        \
        }                                                                                          \
    } while (0)

// Runs `cmd`; returns its exit status, its output (standard output and error) in `out`.
int run(const std::string &cmd, std::string &out) {
    out.clear();
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// A sparse image file as the medium; the writer can fail its n-th call.
struct Dev {
    int fd = -1;
    long calls = 0, fail_at = 0, unaligned = 0;
    int32_t fail_result = -EROFS;
    uint32_t largest = 0;

    static int32_t write(void *self, const void *buf, uint64_t sector, uint32_t count) {
        auto *d = static_cast<Dev *>(self);
        if (++d->calls == d->fail_at) return d->fail_result;
        if (count > d->largest) d->largest = count;
        if (reinterpret_cast<uintptr_t>(buf) % 512) ++d->unaligned;
        const auto n = static_cast<ssize_t>(count) * 512;
        return pwrite(d->fd, buf, static_cast<size_t>(n), static_cast<off_t>(sector * 512)) == n
                   ? static_cast<int32_t>(count)
                   : -EIO;
    }
    static int32_t read(void *self, void *buf, uint64_t sector, uint32_t count) {
        auto *d = static_cast<Dev *>(self);
        const auto n = static_cast<ssize_t>(count) * 512;
        return pread(d->fd, buf, static_cast<size_t>(n), static_cast<off_t>(sector * 512)) == n
                   ? static_cast<int32_t>(count)
                   : -EIO;
    }
};

class Format : public ::testing::Test {
  protected:
    void SetUp() override { dir = scratch_dir("dorvex-format"); }
    // A sparse file of `bytes` (a fresh one each time).
    std::string image(const char *name, uint64_t bytes) {
        const std::string path = dir + "/" + name;
        unlink(path.c_str());
        const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(ftruncate(fd, static_cast<off_t>(bytes)), 0);
        close(fd);
        return path;
    }
    int format(const std::string &path, uint64_t bytes, const writefat_format_options &o) {
        dev = Dev{};
        dev.fail_at = fail_at;
        dev.fail_result = fail_result;
        dev.fd = open(path.c_str(), O_RDWR);
        const int rc = writefat_format(0, bytes / 512, &dev, Dev::write, &o);
        close(dev.fd);
        return rc;
    }
    std::vector<uint8_t> boot(const std::string &path) {
        std::vector<uint8_t> b(512);
        const int fd = open(path.c_str(), O_RDONLY);
        EXPECT_EQ(pread(fd, b.data(), 512, 0), 512);
        close(fd);
        return b;
    }
    // fsck.fat -n finds nothing.
    void expect_clean(const std::string &path, const std::string &what) {
        std::string out;
        EXPECT_EQ(run(shell_quote(tools.fsck) + " -n " + shell_quote(path), out), 0) << what << "\n"
                                                                                     << out;
    }
    Tools tools;
    std::string dir;
    Dev dev;
    long fail_at = 0;
    int32_t fail_result = -EROFS;
};

// ---- The layout mkfs.fat chooses --------------------------------------------------------

TEST_F(Format, DefaultLayoutIsMkfsFats) {
    NEED_TOOLS(tools);
    const uint64_t K = 1024;
    // Diskettes, packed and aligned FAT12, FAT16 up to 16 sectors a cluster, FAT32 from
    // 512 MiB with growing clusters.
    const uint64_t sizes[] = {160 * K,     360 * K,     720 * K,       1440 * K,      2880 * K,
                              4096 * K,    5 * K * K,   16 * K * K,    64 * K * K,    260 * K * K,
                              511 * K * K, 512 * K * K, 2 * K * K * K, 32 * K * K * K};
    for (uint64_t bytes : sizes) {
        const std::string what = std::to_string(bytes / K) + " KiB";
        const std::string ours = image("ours.img", bytes), theirs = image("theirs.img", bytes);
        std::string out;
        ASSERT_EQ(run(shell_quote(tools.mkfs) + " " + shell_quote(theirs), out), 0) << out;
        writefat_format_options o{};
        ASSERT_EQ(format(ours, bytes, o), 0) << what;
        const std::vector<uint8_t> a = boot(ours), b = boot(theirs);
        // The parameter block from the sector size to the FAT32 fields, the drive number
        // and the type string; not the OEM name, serial or boot code.
        const bool f32 = b[22] == 0 && b[23] == 0;
        const size_t end = f32 ? 52 : 36;
        for (size_t i = 11; i < end; ++i) EXPECT_EQ(a[i], b[i]) << what << " byte " << i;
        const size_t ext = f32 ? 64 : 36;
        EXPECT_EQ(a[ext], b[ext]) << what << " drive number";
        EXPECT_EQ(std::string(a.begin() + long(ext) + 18, a.begin() + long(ext) + 26),
                  std::string(b.begin() + long(ext) + 18, b.begin() + long(ext) + 26))
            << what;
        EXPECT_EQ(std::string(a.begin() + long(ext) + 7, a.begin() + long(ext) + 18),
                  "NO NAME    ");
        EXPECT_EQ(a[0], 0xEB);
        EXPECT_EQ(a[510], 0x55);
        EXPECT_EQ(a[511], 0xAA);
        expect_clean(ours, what);
    }
}

// ---- Every type, sector and cluster size ------------------------------------------------

struct Kind {
    const char *name;
    uint64_t kib;
    uint32_t fat, sector, cluster, align, fats;
    const char *label;
    uint32_t want_fat, want_cluster; // what readfat_new2 should find
};

TEST_F(Format, EveryKindMountsTakesFilesAndStaysClean) {
    NEED_TOOLS(tools);
    const Kind kinds[] = {
        {"fat12 floppy", 1440, 12, 512, 0, 0, 0, "boot", 12, 512},
        {"fat12 2k sectors", 8192, 12, 2048, 0, 0, 0, nullptr, 12, 2048},
        {"fat12 4k sectors", 16384, 12, 4096, 8192, 0, 0, "K4", 12, 8192},
        {"fat16 packed one fat", 20480, 16, 512, 1024, 1, 1, "PACKED", 16, 1024},
        {"fat16 default", 32768, 0, 512, 0, 0, 0, "Data 16", 16, 2048},
        {"fat16 1k sectors", 65536, 16, 1024, 4096, 0, 0, nullptr, 16, 4096},
        {"fat16 4k sectors", 131072, 16, 4096, 0, 0, 0, nullptr, 16, 4096},
        {"fat32 small clusters", 40960, 32, 512, 512, 0, 0, "TINY32", 32, 512},
        {"fat32 1k sectors", 307200, 32, 1024, 0, 8192, 0, "ALIGNED", 32, 4096},
        {"fat32 4k sectors", 307200, 32, 4096, 0, 0, 0, nullptr, 32, 4096},
        {"fat32 sd card", 1048576, 0, 512, 0, 8192, 0, "SDCARD", 32, 4096},
        {"fat32 64k clusters", 8388608, 32, 512, 65536, 0, 0, nullptr, 32, 65536},
    };
    for (const Kind &k : kinds) {
        const uint64_t bytes = k.kib * 1024;
        const std::string path = image("kind.img", bytes);
        writefat_format_options o{};
        o.fat_type = k.fat;
        o.sector_size = k.sector;
        o.cluster_size = k.cluster;
        o.align = k.align;
        o.num_fats = k.fats;
        o.label = k.label;
        o.volume_id = 0x1234ABCD;
        o.mtime = 1700000000;
        ASSERT_EQ(format(path, bytes, o), 0) << k.name;
        EXPECT_LE(dev.largest, 16u) << k.name;
        EXPECT_EQ(dev.unaligned, 0) << k.name;
        expect_clean(path, k.name);
        std::string out;
        // mtools' own checks on (whole tracks), no MTOOLS_SKIP_CHECK.
        EXPECT_EQ(run(shell_quote(tools.minfo) + " -i " + shell_quote(path) + " ::", out), 0)
            << k.name << "\n"
            << out;
        EXPECT_EQ(run(shell_quote(tools.mdir) + " -i " + shell_quote(path) + " ::/", out), 0)
            << k.name << "\n"
            << out;
        if (k.label) {
            std::string up = k.label;
            for (char &c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            EXPECT_NE(out.find("Volume in drive : is " + up), std::string::npos) << k.name << "\n"
                                                                                 << out;
        }
        // Where the data area starts, and the clusters the boot sector declares.
        const std::vector<uint8_t> b = boot(path);
        const uint32_t ss = b[11] | b[12] << 8;
        const uint32_t fat16 = b[22] | b[23] << 8;
        const uint32_t fat = fat16 ? fat16 : uint32_t(b[36] | b[37] << 8 | b[38] << 16);
        const uint32_t total16 = b[19] | b[20] << 8;
        const uint64_t total =
            total16 ? total16 : uint64_t(b[32] | b[33] << 8 | b[34] << 16) | uint64_t(b[35]) << 24;
        const uint64_t data =
            uint64_t(b[14] | b[15] << 8) + b[16] * fat + (b[17] | b[18] << 8) * 32 / ss;
        const uint64_t clusters = (total - data) / b[13];
        if (k.align) {
            EXPECT_EQ(data * ss / 512 % k.align, 0u) << k.name;
        }
        // The layout call foretells it.
        writefat_layout lay{};
        ASSERT_EQ(writefat_format_layout(bytes / 512, &o, &lay), 0) << k.name;
        EXPECT_EQ(lay.fat_type, k.want_fat) << k.name;
        EXPECT_EQ(lay.cluster_size, k.want_cluster) << k.name;
        EXPECT_EQ(lay.cluster_count, clusters) << k.name;
        EXPECT_EQ(lay.data_start, data * ss / 512) << k.name;
        EXPECT_EQ(lay.volume_sectors, total * ss / 512) << k.name;

        // The library mounts it and writes a file into it.
        Dev d;
        d.fd = open(path.c_str(), O_RDWR);
        TrackingAlloc alloc;
        int err = 0;
        writefat_volume *w =
            writefat_open2(0, bytes / 512, 512, &d, Dev::read, Dev::write, readfat_optimal_flags(),
                           4, 4, &err, &alloc, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
        ASSERT_NE(w, nullptr) << k.name << " err " << err;
        readfat_volume *r = writefat_reader(w);
        EXPECT_EQ(r->fat_type, k.want_fat) << k.name;
        EXPECT_EQ(r->cluster_bytes, k.want_cluster) << k.name;
        EXPECT_EQ(r->bytes_per_sector, k.sector) << k.name;
        uint32_t free_now = 0;
        ASSERT_EQ(readfat_free_clusters(r, &free_now, &err), 0);
        EXPECT_EQ(free_now, clusters - (k.want_fat == 32 ? 1 : 0)) << k.name;
        const std::string text(100000, 'x');
        writefat_file *f = writefat_create(w, "/hello world.txt", 0, &err);
        ASSERT_NE(f, nullptr) << k.name;
        ASSERT_EQ(writefat_write(w, f, text.data(), text.size(), &err), 0) << k.name;
        ASSERT_EQ(writefat_finish(w, f, 1700000000), 0) << k.name;
        ASSERT_EQ(writefat_close(w), 0) << k.name;
        close(d.fd);
        expect_clean(path, std::string(k.name) + " after a file");
        // mcopy puts one in beside it and reads ours back.
        EXPECT_EQ(run("echo more | " + shell_quote(tools.mcopy) + " -i " + shell_quote(path) +
                          " - ::/more.txt && " + shell_quote(tools.mcopy) + " -i " +
                          shell_quote(path) + " '::/hello world.txt' - | wc -c",
                      out),
                  0)
            << k.name << "\n"
            << out;
        EXPECT_NE(out.find("100000"), std::string::npos) << k.name << "\n" << out;
        expect_clean(path, std::string(k.name) + " after mcopy");
    }
}

// ---- Bad requests -------------------------------------------------------------------------

TEST_F(Format, BadOptionsAreRefusedBeforeAnyWrite) {
    const uint64_t M = 1024 * 1024;
    struct Bad {
        const char *name;
        uint64_t bytes;
        writefat_format_options o;
    };
    auto opts = [](auto set) {
        writefat_format_options o{};
        set(o);
        return o;
    };
    const Bad bads[] = {
        {"cluster not a power of two", 64 * M, opts([](auto &o) { o.cluster_size = 3072; })},
        {"cluster below the sector", 64 * M,
         opts([](auto &o) { o.sector_size = 4096, o.cluster_size = 2048; })},
        {"cluster above 64 KiB", 64 * M, opts([](auto &o) { o.cluster_size = 131072; })},
        {"fat12 on 1 GiB", 1024 * M, opts([](auto &o) { o.fat_type = 12; })},
        {"fat16 on 4 GiB", 4096 * M, opts([](auto &o) { o.fat_type = 16; })},
        {"fat16 on 1 MiB", M, opts([](auto &o) { o.fat_type = 16; })},
        {"fat32 on 1 MiB", M, opts([](auto &o) { o.fat_type = 32; })},
        {"fat32 with large clusters on 64 MiB", 64 * M,
         opts([](auto &o) { o.fat_type = 32, o.cluster_size = 4096; })},
        {"fat type 24", 64 * M, opts([](auto &o) { o.fat_type = 24; })},
        {"sector size 3000", 64 * M, opts([](auto &o) { o.sector_size = 3000; })},
        {"three fats", 64 * M, opts([](auto &o) { o.num_fats = 3; })},
        {"media 0x12", 64 * M, opts([](auto &o) { o.media = 0x12; })},
        {"align not a sector", 64 * M, opts([](auto &o) { o.sector_size = 4096, o.align = 4; })},
        {"align past the reserved field", 64 * M, opts([](auto &o) { o.align = 200000; })},
        {"label of 12", 64 * M, opts([](auto &o) { o.label = "ABCDEFGHIJKL"; })},
        {"label with a dot", 64 * M, opts([](auto &o) { o.label = "A.B"; })},
        {"label with a star", 64 * M, opts([](auto &o) { o.label = "A*"; })},
        {"label with a tab", 64 * M, opts([](auto &o) { o.label = "A\tB"; })},
        {"label not ascii", 64 * M, opts([](auto &o) { o.label = "CAF\xC3\x89"; })},
        {"hidden past 32 bits", 64 * M,
         opts([](auto &o) { o.hidden_sectors = uint64_t{1} << 32; })},
        {"no sectors", 0, writefat_format_options{}},
        {"too small for anything", 2048, writefat_format_options{}},
        {"beyond 32-bit sectors", uint64_t{3} << 41, writefat_format_options{}},
    };
    for (const Bad &b : bads) {
        Dev d;
        EXPECT_EQ(writefat_format(0, b.bytes / 512, &d, Dev::write, &b.o), EINVAL) << b.name;
        EXPECT_EQ(d.calls, 0) << b.name;
    }
    writefat_format_options o{};
    Dev d;
    EXPECT_EQ(writefat_format(0, 2048, &d, nullptr, &o), EINVAL);
    EXPECT_EQ(writefat_format(0, 2048, &d, Dev::write, nullptr), EINVAL);
    EXPECT_EQ(writefat_format(10, 10, &d, Dev::write, &o), EINVAL);
}

// ---- A writer that fails ------------------------------------------------------------------

// Each call of the writer fails once in turn: the call returns the writer's code, and what
// it leaves has no boot sector (the old volume's is gone first, the new one's last), or
// when the first write failed, the old volume untouched.
TEST_F(Format, AFailedWriteLeavesNoBootSector) {
    NEED_TOOLS(tools);
    for (uint32_t type : {12u, 32u}) {
        const uint64_t bytes = type == 12 ? 1440 * 1024 : 40 * 1024 * 1024;
        writefat_format_options o{};
        o.fat_type = type;
        o.cluster_size = 512;
        o.label = "CUT";
        const std::string path = image("cut.img", bytes);
        ASSERT_EQ(format(path, bytes, o), 0);
        const long calls = dev.calls;
        for (long k = 1; k <= calls; ++k) {
            fail_at = 0;
            ASSERT_EQ(format(path, bytes, o), 0) << "the volume before the cut";
            fail_at = k;
            fail_result = k % 2 ? -EROFS : 0;
            const int rc = format(path, bytes, o);
            EXPECT_EQ(rc, k % 2 ? EROFS : EIO) << "type " << type << " call " << k;
            const std::vector<uint8_t> b = boot(path);
            EXPECT_EQ(b[510] == 0x55 && b[511] == 0xAA, k == 1) << "type " << type << " call " << k;
            if (k == 1) expect_clean(path, "the first write refused");
        }
        fail_at = 0;
        ASSERT_EQ(format(path, bytes, o), 0);
        expect_clean(path, "after the cuts");
    }
}

} // namespace
} // namespace dvtest

// A size the type cannot hold still describes the layout tried, so a caller can tell a
// volume too small from one too large; other faults leave the record zeroed.
TEST(FormatLayout, SaysWhichWayASizeIsOff) {
    struct Case {
        const char *name;
        uint64_t sectors;
        uint32_t fat, cluster;
        const char *label;
        int rc;
        uint32_t min_count, max_count; // the cluster_count reported
    };
    const Case cases[] = {
        {"fat32 default 1 GiB", 2u << 20, 0, 0, nullptr, 0, 65525, 0x0FFFFFF5},
        {"fat32 on 16 MiB", 32768, 32, 512, nullptr, EINVAL, 1, 65524},
        {"fat12 on 1 GiB", 2u << 20, 12, 512, nullptr, EINVAL, 4085, UINT32_MAX},
        {"fat16 on 1 MiB", 2048, 16, 512, nullptr, EINVAL, 1, 4084},
        {"bad label", 2u << 20, 0, 0, "a/b", EINVAL, 0, 0},
        {"cluster not a power of two", 2u << 20, 0, 3000, nullptr, EINVAL, 0, 0},
    };
    for (const Case &c : cases) {
        writefat_format_options o{};
        o.fat_type = c.fat;
        o.cluster_size = c.cluster;
        o.label = c.label;
        writefat_layout lay;
        std::memset(&lay, 0xA5, sizeof lay);
        EXPECT_EQ(writefat_format_layout(c.sectors, &o, &lay), c.rc) << c.name;
        EXPECT_GE(lay.cluster_count, c.min_count) << c.name;
        EXPECT_LE(lay.cluster_count, c.max_count) << c.name;
        if (c.max_count == 0) {
            EXPECT_EQ(lay.fat_type, 0u) << c.name;
        }
    }
    writefat_format_options o{};
    writefat_layout lay{};
    EXPECT_EQ(writefat_format_layout(2048, nullptr, &lay), EINVAL);
    EXPECT_EQ(writefat_format_layout(2048, &o, nullptr), EINVAL);
}
