// exFAT boot regions, root entries and up-case tables of images made by mkfs.exfat, checked
// against what dump.exfat and tune.exfat print.
#include "exfat/exfat_internal.h"
#include "common/bytes.h"
#include "support/tools.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace dorvex;
using dvtest::find_tool;
using dvtest::shell_quote;

struct Geometry {
    const char *size, *cluster, *label;
};

// "Name: value" lines of a tool's output.
std::map<std::string, std::string> fields_of(const std::string &cmd) {
    std::map<std::string, std::string> m;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return m;
    char line[512];
    while (fgets(line, sizeof line, p)) {
        std::string s(line);
        const size_t colon = s.find(':');
        if (colon == std::string::npos) continue;
        const size_t v = s.find_first_not_of(" \t", colon + 1);
        if (v == std::string::npos) continue;
        m[s.substr(0, s.find_last_not_of(" \t", colon - 1) + 1)] =
            s.substr(v, s.find_last_not_of(" \t\n") + 1 - v);
    }
    pclose(p);
    return m;
}

uint64_t num(const std::map<std::string, std::string> &m, const char *key) {
    const auto it = m.find(key);
    EXPECT_NE(it, m.end()) << key;
    return it == m.end() ? 0 : std::stoull(it->second, nullptr, 0);
}

class ExfatImages : public ::testing::TestWithParam<Geometry> {
  protected:
    void SetUp() override {
        DV_NEED_TOOLS("mkfs.exfat", "dump.exfat", "tune.exfat");
        const Geometry g = GetParam();
        path_ = dvtest::scratch_dir("exfat") + "/v.img";
        std::string cmd = "truncate -s " + std::string(g.size) + " " + shell_quote(path_) + " && " +
                          find_tool("mkfs.exfat") + " -c " + g.cluster;
        if (g.label[0]) cmd += std::string(" -L ") + shell_quote(g.label);
        ASSERT_TRUE(dvtest::run_logged(cmd + " " + shell_quote(path_), path_ + ".log"));
        // Whole-file read in one call: the images are megabytes.
        FILE *f = fopen(path_.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        fseek(f, 0, SEEK_END);
        img_.resize(size_t(ftell(f)));
        rewind(f);
        EXPECT_EQ(fread(img_.data(), 1, img_.size(), f), img_.size());
        fclose(f);
        ASSERT_GE(img_.size(), size_t{24} * 512);
    }
    const uint8_t *sector(uint64_t n, const ExfatBoot &b) const {
        return img_.data() + (n << b.sector_shift);
    }
    const uint8_t *cluster(uint32_t c, const ExfatBoot &b) const {
        return sector(b.heap_offset + (uint64_t{c - 2} << b.cluster_shift), b);
    }
    std::string path_;
    std::vector<uint8_t> img_;
};

TEST_P(ExfatImages, BootFieldsMatchDumpAndChecksumVerifies) {
    ExfatRegionChoice c =
        choose_exfat_boot_region(img_.data(), 12 * 512, img_.data() + 12 * 512, 12 * 512);
    ASSERT_EQ(c.region, 0) << exfat_code_text(c.main_code);
    const ExfatBoot &b = c.boot;
    const auto d = fields_of(find_tool("dump.exfat") + " " + shell_quote(path_) + " 2>&1");
    EXPECT_EQ(b.volume_length, num(d, "Volume Length(sectors)"));
    EXPECT_EQ(b.fat_offset, num(d, "FAT Offset(sector offset)"));
    EXPECT_EQ(b.fat_length, num(d, "FAT Length(sectors)"));
    EXPECT_EQ(b.heap_offset, num(d, "Cluster Heap Offset (sector offset)"));
    EXPECT_EQ(b.cluster_count, num(d, "Cluster Count"));
    EXPECT_EQ(b.root_cluster, num(d, "Root Cluster (cluster offset)"));
    EXPECT_EQ(b.serial, num(d, "Volume Serial"));
    EXPECT_EQ(b.sector_shift, num(d, "Sector Size Bits"));
    EXPECT_EQ(b.cluster_shift, num(d, "Sector per Cluster bits"));
    const auto t = fields_of(find_tool("tune.exfat") + " -i " + shell_quote(path_) + " 2>&1");
    EXPECT_EQ(b.serial, num(t, "volume serial"));
    EXPECT_EQ(b.revision, 0x0100);
    EXPECT_EQ(b.fat_count, 1);
    EXPECT_FALSE(b.dirty());

    // The root's critical primaries: label, bitmap, up-case table.
    const uint8_t *root = cluster(b.root_cluster, b);
    const size_t n = b.cluster_size() / kExfatEntrySize;
    ExfatSet bitmap{}, upcase{}, label{};
    for (size_t i = 0; i < n;) {
        ExfatSet s{};
        ASSERT_EQ(parse_exfat_set(root + i * kExfatEntrySize, n - i, nullptr, &s), ExfatCode::ok);
        if (s.kind == ExfatSetKind::end) break;
        if (s.kind == ExfatSetKind::bitmap) bitmap = s;
        if (s.kind == ExfatSetKind::upcase) upcase = s;
        if (s.kind == ExfatSetKind::label) label = s;
        i += size_t(s.entries);
    }
    EXPECT_EQ(bitmap.first_cluster, num(d, "Bitmap start cluster"));
    EXPECT_EQ(bitmap.data_length, num(d, "Bitmap size"));
    EXPECT_EQ(bitmap.data_length, (b.cluster_count + 7) / 8);
    EXPECT_EQ(upcase.first_cluster, num(d, "Upcase table start cluster"));
    EXPECT_EQ(upcase.data_length, num(d, "Upcase table size"));
    const std::string want = GetParam().label;
    ASSERT_EQ(label.name_len, int(want.size()));
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(label.name[i], want[i]);

    // The up-case table decodes and its checksum is the entry's; one flipped byte fails it.
    ASSERT_LE(upcase.data_length, img_.size());
    std::vector<uint8_t> stored(cluster(upcase.first_cluster, b),
                                cluster(upcase.first_cluster, b) + upcase.data_length);
    std::vector<uint16_t> table(kExfatUpcaseUnits);
    ASSERT_EQ(decode_exfat_upcase(stored.data(), stored.size(), upcase.table_checksum, table.data(),
                                  kExfatUpcaseUnits),
              ExfatCode::ok);
    const std::pair<uint16_t, uint16_t> maps[] = {
        {'a', 'A'},     {'z', 'Z'},     {'A', 'A'},       {'1', '1'},       {0xE9, 0xC9},
        {0x3B1, 0x391}, {0x430, 0x410}, {0xFF41, 0xFF21}, {0xD800, 0xD800}, {0xFFFF, 0xFFFF}};
    for (auto [from, to] : maps) EXPECT_EQ(table[from], to) << std::hex << from;

    // The fallback is mkfs.exfat's table where their Unicode versions agree: mkfs leaves
    // to themselves letters whose capitals came later (and the micro sign, dotless i, long
    // s), and maps four capitals down to their small letters.
    std::vector<uint16_t> fallback(kExfatUpcaseUnits);
    exfat_default_upcase(fallback.data(), kExfatUpcaseUnits);
    int differ = 0;
    for (uint32_t u = 0; u < kExfatUpcaseUnits; ++u) {
        if (table[u] == fallback[u]) continue;
        ++differ;
        const bool down = u == 0x23A || u == 0x23E || u == 0x1FCC || u == 0x1FFC;
        EXPECT_TRUE(table[u] == u || down)
            << std::hex << u << " " << table[u] << " " << fallback[u];
    }
    EXPECT_LE(differ, 330);
    std::printf("[ figure ] default up-case table vs mkfs.exfat's: %d units differ\n", differ);

    stored[stored.size() / 2] ^= 0x01;
    EXPECT_EQ(decode_exfat_upcase(stored.data(), stored.size(), upcase.table_checksum, table.data(),
                                  kExfatUpcaseUnits),
              ExfatCode::table_checksum);
    EXPECT_EQ(table[0xE9], 0xC9); // the fallback
    EXPECT_EQ(table[0x1F80], 0x1F88);
    EXPECT_EQ(table['q'], 'Q');
}

// Damage to the main region: the bytes the checksum skips change nothing, any other byte
// (boot code, OEM sector, checksum sector) sends the mount to the backup.
TEST_P(ExfatImages, DamagedMainRegionFallsBackToBackup) {
    const size_t region = 12 * 512;
    struct Damage {
        size_t at;
        int region;
        ExfatCode main_code;
    };
    const Damage cases[] = {
        {106, 0, ExfatCode::ok},           // VolumeFlags
        {107, 0, ExfatCode::ok},           //
        {112, 0, ExfatCode::ok},           // PercentInUse
        {200, 1, ExfatCode::bad_checksum}, // boot code
        {9 * 512 + 7, 1, ExfatCode::bad_checksum},
        {11 * 512 + 508, 1, ExfatCode::bad_checksum}, // the last checksum copy
        {1, 1, ExfatCode::bad_jump},
        {20, 1, ExfatCode::must_be_zero},
        {108, 1, ExfatCode::bad_sector_shift},
    };
    for (const Damage &dmg : cases) {
        std::vector<uint8_t> m(img_.begin(), img_.begin() + region);
        m[dmg.at] ^= 0x40;
        const ExfatRegionChoice c =
            choose_exfat_boot_region(m.data(), region, img_.data() + region, region);
        EXPECT_EQ(c.region, dmg.region) << dmg.at;
        EXPECT_EQ(c.main_code, dmg.main_code) << dmg.at;
        EXPECT_EQ(c.boot.cluster_count, load_le32(img_.data() + 92));
        // With the backup damaged too, neither region serves.
        std::vector<uint8_t> bk(img_.begin() + region, img_.begin() + 2 * region);
        bk[300] ^= 0x01;
        if (dmg.region == 1) {
            const ExfatRegionChoice none =
                choose_exfat_boot_region(m.data(), region, bk.data(), region);
            EXPECT_EQ(none.region, -1);
            EXPECT_EQ(none.backup_code, ExfatCode::bad_checksum);
            EXPECT_EQ(none.boot.cluster_count, 0u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Geometries, ExfatImages,
                         ::testing::Values(Geometry{"8M", "4K", "MyLabel"},
                                           Geometry{"16M", "512", "ELEVENCHARS"},
                                           Geometry{"24M", "32K", ""}, Geometry{"40M", "2M", "x"}));

} // namespace
