// The image builder behind `dorvex mkimage`, read back through the library.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "dorvex/readfat.h"
#include "mkimage.h"

namespace {

using dvcli::MkNode;

TEST(MkimageShortNames, UsualRulesAndNumericTails) {
    struct Case {
        const char *name, *expect;
    };
    // One directory, in this order: each name sees the ones before it.
    const Case cases[] = {
        {"README.TXT", "README  TXT"},      {"readme.txt", "README~1TXT"},
        {"Makefile", "MAKEFILE   "},        {"makefile", "MAKEFI~1   "},
        {"archive.tar.gz", "ARCHIV~1GZ "},  {".profile", "PROFIL~1   "},
        {"a b.c", "AB~1    C  "},           {"x+y.jpeg", "X_Y~1   JPE"},
        {"日本.txt", "__~1    TXT"},        {"...", "_~1        "},
        {"Long name 1.txt", "LONGNA~1TXT"}, {"Long name 2.txt", "LONGNA~2TXT"},
    };
    dvcli::ShortNames used;
    for (const Case &c : cases) EXPECT_EQ(dvcli::make_short_name(c.name, used), c.expect) << c.name;
    for (int i = 3; i <= 9; ++i) dvcli::make_short_name("Long name.txt", used);
    EXPECT_EQ(dvcli::make_short_name("Long name.txt", used), "LONGN~10TXT");
}

TEST(MkimageShortNames, TailsSkipNamesTakenAndShareOneSequencePerBasis) {
    dvcli::ShortNames used;
    used.used.insert("REPORT~2TXT"); // fixed by the caller
    const char *cases[][2] = {
        {"report 1.txt", "REPORT~1TXT"}, {"report 3.txt", "REPORT~3TXT"},
        {"REPORT~4.TXT", "REPORT~4TXT"}, {"reportage.txt", "REPORT~5TXT"}, // same six letters
        {"report 6.doc", "REPORT~1DOC"}, {"report.txt", "REPORT  TXT"},
        {"Report.txt", "REPORT~6TXT"},
    };
    for (const auto &c : cases) EXPECT_EQ(dvcli::make_short_name(c[0], used), c[1]) << c[0];
    // Thousands alike stay unique, and the tails run on without gaps.
    std::set<std::string> seen;
    for (int i = 0; i < 30000; ++i) seen.insert(dvcli::make_short_name("same basis.dat", used));
    EXPECT_EQ(seen.size(), 30000u);
    EXPECT_TRUE(seen.count("SAME~999DAT") && seen.count("SA~30000DAT"));
}

TEST(MkimageSizes, Parse) {
    struct Case {
        const char *text;
        bool ok;
        uint64_t value;
    };
    const Case cases[] = {{"512", true, 512},
                          {"64K", true, 65536},
                          {"33M", true, 33ull << 20},
                          {"2G", true, 2ull << 30},
                          {"1MiB", true, 1ull << 20},
                          {"", false, 0},
                          {"M", false, 0},
                          {"12X", false, 0},
                          {"-1", false, 0},
                          {"99999999999999999999", false, 0}};
    for (const Case &c : cases) {
        uint64_t v = 0;
        EXPECT_EQ(dvcli::parse_size(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

struct Medium {
    std::vector<uint8_t> bytes;
    static int32_t read(void *data, void *buf, uint64_t sector, uint32_t count) {
        auto *m = static_cast<Medium *>(data);
        if ((sector + count) * 512 > m->bytes.size()) return -1;
        std::memcpy(buf, m->bytes.data() + sector * 512, count * 512ull);
        return static_cast<int32_t>(count);
    }
    uint32_t le32(size_t off) const {
        return bytes[off] | bytes[off + 1] << 8 | bytes[off + 2] << 16 |
               static_cast<uint32_t>(bytes[off + 3]) << 24;
    }
};

MkNode file(const std::string &name, const std::string &data) {
    MkNode n;
    n.name = name;
    n.data = data;
    return n;
}

MkNode dir(const std::string &name) {
    MkNode n;
    n.name = name;
    n.dir = true;
    return n;
}

dvcli::MkOptions options(uint64_t size, uint32_t cluster, const std::string &label) {
    dvcli::MkOptions o;
    o.size_bytes = size;
    o.cluster_bytes = cluster;
    o.label = label;
    return o;
}

std::u16string u16(const dv_name &n) {
    return std::u16string(n.units, n.units + n.len);
}

class MkimageTree : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/dorvex-mkimage-XXXXXX";
        int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = tmpl;
    }
    void TearDown() override { std::remove(path_.c_str()); }

    void build(const MkNode &root, const dvcli::MkOptions &o, const dvcli::MkWarn &warn = {}) {
        dvcli::MkOptions opts = o;
        opts.force = true;
        std::string error;
        ASSERT_TRUE(dvcli::write_image(root, path_, opts, error, warn)) << error;
        std::ifstream in(path_, std::ios::binary);
        in.seekg(0, std::ios::end);
        m_.bytes.resize(static_cast<size_t>(in.tellg()));
        in.seekg(0);
        in.read(reinterpret_cast<char *>(m_.bytes.data()),
                static_cast<std::streamsize>(m_.bytes.size()));
        int err = 0;
        vol_ = readfat_new(0, m_.bytes.size() / 512, 512, &m_, &Medium::read,
                           DV_CHARSET_UTF8 | DV_FLAG_UTF16 | DV_FLAG_SLASH, 2, 2, &err);
        ASSERT_NE(vol_, nullptr) << dv_strerror(err);
    }
    std::vector<dv_entry> list(const dv_entry *dir) {
        int err = 0;
        readfat_dir *d =
            dir ? readfat_opendir_entry(vol_, dir, &err) : readfat_opendir(vol_, "", &err);
        std::vector<dv_entry> out;
        if (!d) return out;
        while (const dv_entry *e = readfat_readdir(vol_, d, &err)) out.push_back(*e);
        EXPECT_EQ(err, DV_E_ENDDIR);
        readfat_closedir(vol_, d);
        return out;
    }
    ~MkimageTree() override {
        if (vol_) readfat_delete(vol_);
    }

    std::string path_;
    Medium m_;
    readfat_volume *vol_ = nullptr;
};

TEST_F(MkimageTree, TreeReadsBackWithDotEntriesFsinfoAndBackups) {
    MkNode root;
    root.dir = true;
    MkNode sub = dir("Sub dir");
    MkNode deeper = dir("deeper");
    deeper.children.push_back(file("leaf.txt", "leaf"));
    sub.children.push_back(deeper);
    root.children.push_back(sub);
    root.children.push_back(file("big.bin", std::string(5000, 'b')));
    root.children.push_back(file("empty", ""));
    // Fixtures may set any long or 8.3 name, hostile ones included.
    MkNode hostile = file("", "h");
    hostile.raw_name = u"../x";
    hostile.raw_short = "DOTDOT  X  ";
    root.children.push_back(hostile);
    build(root, options(0, 1024, "Fixture"));

    std::vector<dv_entry> top = list(nullptr);
    ASSERT_EQ(top.size(), 5u);
    EXPECT_EQ(std::string(top[0].shortname), "FIXTURE    ");
    EXPECT_EQ(top[0].attr, DV_ATTR_VOLUME);
    EXPECT_EQ(u16(top[1].name), u"Sub dir");
    EXPECT_EQ(std::string(top[1].shortname), "SUBDIR~1   ");
    EXPECT_EQ(u16(top[3].name), u"empty");
    EXPECT_EQ(top[3].cluster, 0u);
    EXPECT_EQ(u16(top[4].name), u"../x");
    EXPECT_EQ(std::string(top[4].shortname), "DOTDOT  X  ");

    std::vector<dv_entry> s = list(&top[1]);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(u16(s[0].name), u".");
    EXPECT_EQ(s[0].cluster, top[1].cluster);
    EXPECT_EQ(u16(s[1].name), u"..");
    EXPECT_EQ(s[1].cluster, 0u); // the root, as FAT stores it
    std::vector<dv_entry> d = list(&s[2]);
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(d[1].cluster, top[1].cluster);

    int err = 0;
    readfat_file *f = readfat_open_entry(vol_, &top[2], &err);
    ASSERT_NE(f, nullptr);
    std::string got(6000, '\0');
    got.resize(readfat_read(vol_, f, got.data(), 6000, &err));
    EXPECT_EQ(got, std::string(5000, 'b'));
    readfat_close(vol_, f);

    const std::vector<uint8_t> &b = m_.bytes;
    EXPECT_TRUE(std::equal(b.begin(), b.begin() + 512, b.begin() + 6 * 512));
    uint32_t fat = m_.le32(36) * 512;
    EXPECT_TRUE(
        std::equal(b.begin() + 32 * 512, b.begin() + 32 * 512 + fat, b.begin() + 32 * 512 + fat));
    uint32_t clusters = (m_.le32(32) - 32 - 2 * m_.le32(36)) / b[13];
    // Used: root 1, Sub dir 1, deeper 1, leaf 1, big.bin 5, ../x 1.
    EXPECT_EQ(m_.le32(512 + 488), clusters - 10);
    EXPECT_EQ(m_.le32(512 + 492), 12u);
}

TEST_F(MkimageTree, DatesOverFatsWholeRangeClampedAtItsEnds) {
    // Host time -> modification time read back; UTC, so the host's zone plays no part.
    const std::pair<int64_t, int64_t> cases[] = {
        {2538901230, 2538901230}, // 2050-06-15 10:20:30, past 32-bit seconds
        {4354819198, 4354819198}, // 2107-12-31 23:59:58, FAT's last even second
        {4354819200, 4354819198}, // 2108: the last FAT time
        {100000000, 315532800},   // 1973: the first FAT time
    };
    MkNode root;
    root.dir = true;
    for (const auto &[host, stored] : cases) {
        root.children.push_back(file("f" + std::to_string(host), "x"));
        root.children.back().mtime = host;
    }
    dvcli::MkOptions o = options(0, 0, "");
    o.utc = true;
    build(root, o);
    std::vector<dv_entry> top = list(nullptr);
    ASSERT_EQ(top.size(), std::size(cases));
    for (size_t i = 0; i < top.size(); ++i) EXPECT_EQ(top[i].mtime64, cases[i].second) << i;
}

TEST_F(MkimageTree, HostFilesThatCannotBeReadAreLeftOutAndTheirClustersFree) {
    const std::string good = path_ + ".good";
    std::ofstream(good) << std::string(3000, 'g');
    MkNode root;
    root.dir = true;
    struct Case {
        const char *name, *host, *cause; // cause: null when the file is kept
    };
    const Case cases[] = {
        {"vanished.bin", "/nonexistent/vanished.bin", "No such file or directory"},
        {"ioerror.bin", "/proc/self/mem", "Input/output error"}, // offset 0 is never mapped
        {"became a dir", "/", "no longer a regular file"},
        {"good.bin", good.c_str(), nullptr},
    };
    for (const Case &c : cases) {
        MkNode f = file(c.name, "");
        f.host_path = c.host;
        f.size = 3000;
        root.children.push_back(f);
    }
    std::vector<std::string> warnings;
    build(root, options(0, 1024, ""), [&](const std::string &msg, dvcli::MkSkip kind) {
        EXPECT_EQ(kind, dvcli::MkSkip::unreadable);
        warnings.push_back(msg);
    });
    std::remove(good.c_str());
    std::vector<dv_entry> top = list(nullptr);
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(u16(top[0].name), u"good.bin");
    ASSERT_EQ(warnings.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(warnings[i], std::string(cases[i].host) + ": " + cases[i].cause + ", skipped");
    // Used: the root (2) and good.bin (12-14); the skipped files' 3-11 stay free.
    const std::vector<uint8_t> &b = m_.bytes;
    uint32_t clusters = (m_.le32(32) - 32 - 2 * m_.le32(36)) / b[13];
    EXPECT_EQ(m_.le32(512 + 488), clusters - 4);
    uint32_t fat = 32 * 512;
    for (uint32_t c = 3; c < 12; ++c) EXPECT_EQ(m_.le32(fat + 4 * c), 0u) << c;
}

TEST(MkimageErrors, DirectoriesPastFatsEntryLimit) {
    // 14-unit names take three entries; subdirectories add their dot entries.
    struct Case {
        bool in_root;
        int files;
        bool ok;
    };
    const Case cases[] = {
        {true, 21845, true}, {true, 21846, false}, {false, 21844, true}, {false, 21845, false}};
    for (const Case &c : cases) {
        MkNode root;
        root.dir = true;
        MkNode d = dir("big dir");
        MkNode &holder = c.in_root ? root : d;
        for (int i = 0; i < c.files; ++i)
            holder.children.push_back(file(std::to_string(1000000000000 + i) + "x", ""));
        if (!c.in_root) root.children.push_back(d);
        std::string error;
        const std::string out = "/tmp/dorvex-mkimage-limit.img";
        dvcli::MkOptions o = options(0, 4096, "");
        o.force = true;
        EXPECT_EQ(dvcli::write_image(root, out, o, error), c.ok) << c.files << error;
        std::remove(out.c_str());
        if (c.ok) continue;
        const std::string want = std::string(c.in_root ? "the root directory" : "/big dir") +
                                 ": needs " + std::to_string(c.files * 3 + (c.in_root ? 0 : 2)) +
                                 " directory entries";
        EXPECT_EQ(error.rfind(want, 0), 0u) << error;
        EXPECT_NE(error.find("FAT allows 65536"), std::string::npos) << error;
    }
}

TEST(MkimageErrors, TooSmallAndTooFull) {
    MkNode root;
    root.dir = true;
    root.children.push_back(file("x", std::string(40 << 20, 'x')));
    std::string error;
    EXPECT_FALSE(
        dvcli::write_image(root, "/nonexistent-dir/x.img", options(40 << 20, 0, ""), error));
    EXPECT_NE(error.find("do not fit"), std::string::npos) << error;
    EXPECT_FALSE(dvcli::write_image(root, "/tmp/unused.img", options(16 << 20, 0, ""), error));
    EXPECT_NE(error.find("too small for FAT32"), std::string::npos) << error;
}

} // namespace
