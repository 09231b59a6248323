// The codec against real FAT tools: directories that mkfs.fat + mcopy wrote are decoded
// with dv_readentry cluster by cluster (runs carried across clusters), and runs written by
// dv_writeentry into a fresh image are listed by mdir and pass fsck.fat. Skipped when the
// tools are not installed (failed under CI=true). DORVEX_KEEP_TMP=1 keeps the images for a look.
#include "entries/entry_builders.h"
#include "support/tools.h"

#include <dorvex/dorvex.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace entrytest;

// Runs a shell command with a fixed UTF-8 locale and UTC, whatever the test's environment.
int run(const std::string &cmd, std::string *out = nullptr) {
    const std::string full = "PATH=\"$PATH:/sbin:/usr/sbin\" LC_ALL=C.UTF-8 TZ=UTC0 "
                             "MTOOLS_SKIP_CHECK=1 " +
                             cmd + " 2>&1";
    FILE *p = popen(full.c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n;
    std::string text;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    const int status = pclose(p);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// UTF-8 (BMP only, as the test names are) to UTF-16.
Units from_utf8(const std::string &s) {
    Units u;
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            u.push_back(c);
            i += 1;
        } else if (c < 0xE0) {
            u.push_back(static_cast<char16_t>((c & 0x1F) << 6 | (s[i + 1] & 0x3F)));
            i += 2;
        } else {
            u.push_back(static_cast<char16_t>((c & 0x0F) << 12 | (s[i + 1] & 0x3F) << 6 |
                                              (s[i + 2] & 0x3F)));
            i += 3;
        }
    }
    return u;
}

class Interop : public ::testing::Test {
  protected:
    std::string dir, image;

    void SetUp() override {
        DV_NEED_TOOLS("mkfs.fat", "mcopy", "mdir", "fsck.fat");
        char tmpl[] = "/tmp/dorvex-entries-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        image = dir + "/fat32.img";
    }
    void TearDown() override {
        if (!dir.empty() && !getenv("DORVEX_KEEP_TMP")) run("rm -rf " + quote(dir));
    }

    void format(int sectors_per_cluster) {
        std::string out;
        ASSERT_EQ(run("mkfs.fat -F 32 -S 512 -s " + std::to_string(sectors_per_cluster) + " -C " +
                          quote(image) + " 40000",
                      &out),
                  0)
            << out;
    }

    std::vector<uint8_t> read_image() {
        std::ifstream f(image, std::ios::binary | std::ios::ate);
        std::vector<uint8_t> bytes(static_cast<size_t>(f.tellg()));
        f.seekg(0);
        f.read(reinterpret_cast<char *>(bytes.data()), static_cast<long>(bytes.size()));
        return bytes;
    }

    struct Geometry {
        size_t cluster_bytes, data_start, fat_start;
        uint32_t root;
    };
    static Geometry geometry(const std::vector<uint8_t> &img) {
        const uint32_t bps = get16(&img[11]), spc = img[13], reserved = get16(&img[14]);
        const uint32_t fats = img[16];
        const uint32_t fat_size = get16(&img[36]) | static_cast<uint32_t>(get16(&img[38])) << 16;
        const uint32_t root = get16(&img[44]) | static_cast<uint32_t>(get16(&img[46])) << 16;
        return {size_t{bps} * spc, size_t{bps} * (reserved + fats * fat_size),
                size_t{bps} * reserved, root};
    }
};

TEST_F(Interop, ReadsWhatMcopyWrote) {
    format(1); // 16 entries per cluster: long runs cross cluster boundaries
    const std::string src = dir + "/src";
    ASSERT_EQ(mkdir(src.c_str(), 0700), 0);
    std::vector<std::string> names = {"README.TXT", "lower.txt", "Grüße – 日本.txt",
                                      "a name with spaces.tar.gz"};
    // Up to 195 characters: mcopy grows a directory by one cluster at a time, so a run must
    // fit in 16 entries (the 255-unit case is covered by the writer test below).
    for (size_t len : {1, 12, 13, 14, 25, 26, 27, 100, 194, 195})
        names.push_back(std::string(len - 1, static_cast<char>('a' + len % 26)) + "Z");
    uint32_t size = 1;
    for (const auto &n : names) {
        std::ofstream(src + "/" + n, std::ios::binary) << std::string(size++, 'x');
        const struct timeval times[2] = {{981173106, 0}, {981173106, 0}}; // 2001-02-03 04:05:06
        ASSERT_EQ(utimes((src + "/" + n).c_str(), times), 0);
    }
    std::string out;
    ASSERT_EQ(run("mcopy -m -i " + quote(image) + " " + quote(src) + "/* ::/", &out), 0) << out;

    const auto img = read_image();
    const Geometry g = geometry(img);
    dv_ctx ctx{};
    std::vector<dv_entry> got;
    std::vector<uint8_t> window;
    uint32_t cluster = g.root;
    int clusters = 0;
    bool ended = false;
    while (!ended && cluster >= 2 && cluster < 0x0FFFFFF8) {
        ASSERT_LT(++clusters, 1000);
        const size_t at = g.data_start + (cluster - 2) * g.cluster_bytes;
        window.insert(window.end(), img.begin() + static_cast<long>(at),
                      img.begin() + static_cast<long>(at + g.cluster_bytes));
        const uint8_t *cur = window.data();
        int left = static_cast<int>(window.size() / DV_DIRENT_SIZE);
        dv_entry recs[64];
        dv_entry *rp = recs;
        int room = 64;
        ASSERT_EQ(dv_readentry(&ctx, &cur, &left, &rp, &room), 0);
        got.insert(got.end(), recs, rp);
        ended = cur != window.data() + window.size() && cur[0] == 0;
        window.erase(window.begin(), window.end() - left * DV_DIRENT_SIZE);
        const uint8_t *fat = &img[g.fat_start + cluster * 4];
        cluster = (get16(fat) | static_cast<uint32_t>(get16(fat + 2)) << 16) & 0x0FFFFFFF;
    }
    EXPECT_GT(clusters, 1);

    std::vector<Units> want;
    for (const auto &n : names) want.push_back(n == "lower.txt" ? u"LOWER.TXT" : from_utf8(n));
    ASSERT_EQ(got.size(), names.size());
    for (size_t i = 0; i < got.size(); ++i) {
        const auto it = std::find(want.begin(), want.end(), name_of(got[i]));
        ASSERT_NE(it, want.end()) << "unexpected name of " << got[i].shortname;
        EXPECT_EQ(got[i].size, static_cast<uint32_t>(it - want.begin() + 1));
        EXPECT_EQ(got[i].mtime.sec, 981173106);
        EXPECT_EQ(got[i].attr & DV_ATTR_DIRECTORY, 0u);
    }
}

TEST_F(Interop, McopyAndFsckAcceptWhatTheWriterWrote) {
    format(1); // FAT32 needs 65525 clusters: 512-byte clusters keep the image small
    const std::vector<std::pair<std::string, const char *>> files = {
        {"hello world.txt", "HELLOW~1TXT"},
        {"thirteen_char", "THIRTE~1   "},
        {std::string(26, 'q'), "QQQQQQ~1   "},
        {std::string(255, 'w'), "WWWWWW~1   "},
        {"Grüße aus Köln.txt", "GRUEAU~1TXT"},
        {"", "PLAIN   TXT"}, // an empty long name still gets its long-name entry
    };
    std::vector<dv_entry> recs;
    for (const auto &[name, short_name] : files) {
        dv_entry r{};
        const Units u = from_utf8(name);
        r.name.len = static_cast<uint16_t>(u.size());
        for (size_t i = 0; i < u.size(); ++i) r.name.units[i] = u[i];
        std::memcpy(r.shortname, short_name, 11);
        r.attr = DV_ATTR_ARCHIVE;
        r.ctime = r.mtime = r.atime = {981173106, 0};
        recs.push_back(r);
    }
    auto img = read_image();
    const Geometry g = geometry(img);
    // Give the root the two clusters after its own (free on a new volume) in both FATs and
    // in the FSInfo free count, and write the runs across all three.
    ASSERT_EQ(g.root, 2u);
    for (size_t fat = g.fat_start; fat < g.data_start; fat += (g.data_start - g.fat_start) / 2) {
        for (uint32_t c : {3u, 4u}) ASSERT_EQ(get16(&img[fat + c * 4]), 0);
        put16(&img[fat + 2 * 4], 3);
        put16(&img[fat + 2 * 4 + 2], 0);
        put16(&img[fat + 3 * 4], 4);
        put16(&img[fat + 4 * 4], 0xFFFF);
        put16(&img[fat + 4 * 4 + 2], 0x0FFF);
    }
    const size_t fsinfo = size_t{get16(&img[48])} * 512;
    const uint32_t free_count = get16(&img[fsinfo + 488]) | uint32_t{get16(&img[fsinfo + 490])}
                                                                << 16;
    put16(&img[fsinfo + 488], static_cast<uint16_t>(free_count - 2));
    put16(&img[fsinfo + 490], static_cast<uint16_t>((free_count - 2) >> 16));

    dv_ctx ctx{};
    const dv_entry *rp = recs.data();
    int count = static_cast<int>(recs.size());
    uint8_t *out = &img[g.data_start + (g.root - 2) * g.cluster_bytes];
    unsigned room = static_cast<unsigned>(3 * g.cluster_bytes / DV_DIRENT_SIZE);
    ASSERT_EQ(dv_writeentry(&ctx, &rp, &count, &out, &room), 0);
    ASSERT_LT(room, 2 * g.cluster_bytes / DV_DIRENT_SIZE); // the runs do cross clusters
    std::ofstream(image, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(img.data()), static_cast<long>(img.size()));

    std::string listing;
    ASSERT_EQ(run("mdir -b -i " + quote(image) + " ::/", &listing), 0) << listing;
    std::set<std::string> listed;
    for (size_t pos = 0; pos < listing.size();) {
        size_t nl = listing.find('\n', pos);
        if (nl == std::string::npos) nl = listing.size();
        const std::string line = listing.substr(pos, nl - pos);
        if (line.rfind("::/", 0) == 0) listed.insert(line.substr(3));
        pos = nl + 1;
    }
    std::set<std::string> want;
    for (const auto &f : files)
        if (!f.first.empty()) want.insert(f.first);
    EXPECT_EQ(listed, want) << listing;
    // mdir -b passes over an entry whose long name is empty; the long listing shows it.
    ASSERT_EQ(run("mdir -i " + quote(image) + " ::/", &listing), 0) << listing;
    EXPECT_NE(listing.find("PLAIN    TXT"), std::string::npos) << listing;

    std::string report;
    EXPECT_EQ(run("fsck.fat -n -v " + quote(image), &report), 0) << report;
    EXPECT_EQ(report.find("LFN"), std::string::npos) << report;
    EXPECT_EQ(report.find("orphan"), std::string::npos) << report;
}

} // namespace
