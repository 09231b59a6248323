// Random-damage sweep: seed images with 1, 2, 8 and 64 sectors per cluster, long names and
// fragmented files, FAT32 and FAT12/16 (their fixed root regions damaged too), and exFAT
// volumes from mkfs.exfat (boot sectors, FAT, bitmap, root and directories damaged), get up to 1%
// of the bytes of their boot sector, FATs and directory clusters overwritten, a thousand times
// each. Every damaged volume is mounted, walked whole (bounded), and every file found is stat'ed,
// read and seeked in. Nothing may crash, hang, leak, ask for a sector outside the volume, or break
// a documented result code. A failing iteration prints the seed that rebuilds it.
#include "catalogue/exfat_disk.h"
#include "support/fat_image.h"
#include "support/fault_reader.h"
#include "support/volume_util.h"

#include <dorvex/readfat.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace dvtest;
using dorvex::load_le32;

namespace {

constexpr int kIterations = 1000;

struct Seed {
    const char *name;
    std::unique_ptr<FatImage> img;
    std::vector<std::pair<uint64_t, uint64_t>> regions; // byte ranges that may be damaged
    std::unique_ptr<ExfatDisk> ex;                      // exFAT seeds: the volume instead of img
    std::vector<uint8_t> &disk() { return ex ? ex->bytes : img->disk(); }
};

FatGeometry geometry(uint32_t spc, uint32_t clusters, uint32_t bits = 32) {
    FatGeometry g;
    g.sectors_per_cluster = spc;
    g.cluster_count = clusters;
    g.reserved_sectors = 8;
    g.fat_bits = bits;
    g.root_entries = 64;
    return g;
}

// Boot sector, both FATs and every directory cluster of the tree.
void add_regions(Seed &s, const TreeLayout &t) {
    FatImage &img = *s.img;
    s.regions.push_back({img.start_sector() * kSector, kSector});
    s.regions.push_back({img.fat_start() * kSector,
                         uint64_t(img.fat_sectors()) * img.geometry().fat_count * kSector});
    if (img.root_sectors() != 0)
        s.regions.push_back({img.root_start() * kSector, uint64_t(img.root_sectors()) * kSector});
    for (const TreeNode &n : t.nodes())
        if (n.is_dir)
            for (uint32_t c : n.chain)
                s.regions.push_back({img.cluster_sector(c) * kSector, img.cluster_bytes()});
}

Seed make_seed(const char *name, uint32_t spc, uint32_t clusters, int files, int dirs,
               const std::string &long_part, size_t max_size, uint32_t bits = 32) {
    Seed s{name, std::make_unique<FatImage>(geometry(spc, clusters, bits)), {}, nullptr};
    TreeLayout t(*s.img);
    std::mt19937 rng(spc * 7919u + uint32_t(files));
    const FatImage::Spread spreads[] = {FatImage::Spread::contiguous, FatImage::Spread::gapped,
                                        FatImage::Spread::reversed, FatImage::Spread::shuffled};
    for (int d = 0; d < dirs; ++d) {
        std::string dir = d == 0 ? "" : "dir " + std::to_string(d) + "/";
        if (d >= 3) dir = "dir " + std::to_string(d % 3) + "/" + dir; // nested
        t.dir(dir.empty() ? "TOP" : dir.substr(0, dir.size() - 1));
        for (int f = 0; f < files; ++f) {
            const size_t size = rng() % (max_size + 1);
            const std::string fname = f % 3 == 0 ? "F" + std::to_string(f) + ".BIN"
                                                 : long_part + " " + std::to_string(f) + ".dat";
            t.file(dir + fname, pattern_data(size, uint32_t(d * 100 + f)), spreads[rng() % 4]);
        }
    }
    t.label("DAMAGED    ");
    t.finish();
    add_regions(s, t);
    return s;
}

// An exFAT volume with `dirs` directories below the root, each with `files` files of
// up to `max_size` bytes (every other one linked through the FAT, the rest contiguous),
// names of one to three name entries. Damaged: the main boot sector, the FAT, the bitmap's
// bytes, the up-case table's first bytes and every directory cluster.
Seed exfat_seed(const char *name, int files, int dirs, size_t max_size) {
    Seed s{name, nullptr, {}, std::make_unique<ExfatDisk>()};
    if (!s.ex->ok()) return s;
    ExfatDisk &d = *s.ex;
    std::mt19937 rng(uint32_t(files * 31 + dirs));
    std::vector<uint32_t> dir_clusters{d.boot.root_cluster};
    for (int k = 0; k < dirs; ++k) {
        const uint32_t parent = dir_clusters[size_t(k) / 2];
        dir_clusters.push_back(
            d.add(parent, utf16("directory " + std::to_string(k)), "", true).chain[0]);
    }
    for (size_t k = 0; k < dir_clusters.size(); ++k)
        for (int f = 0; f < files; ++f) {
            const std::string n = f % 3 == 0   ? "F" + std::to_string(f) + ".BIN"
                                  : f % 3 == 1 ? "a rather long name " + std::to_string(f) + ".dat"
                                               : "Ünïcödé név ω " + std::to_string(f);
            d.add(dir_clusters[k], utf16(n),
                  pattern_data(rng() % (max_size + 1), uint32_t(k * 100 + f)), false, f % 2 == 1);
        }
    s.regions.push_back({0, 512}); // the backup region stays sound: damage mounts from it
    s.regions.push_back({d.fat_offset(), uint64_t(d.boot.fat_length) * 512});
    s.regions.push_back(
        {d.cluster_offset(load_le32(d.at(d.bitmap_entry) + 20)), (d.boot.cluster_count + 7) / 8});
    s.regions.push_back({d.cluster_offset(load_le32(d.at(d.upcase_entry) + 20)), 256});
    for (uint32_t c : dir_clusters) s.regions.push_back({d.cluster_offset(c), d.cluster_bytes()});
    return s;
}

const char *const kSeedNames[] = {"spc1_long_names",    "spc2_fragmented",   "spc8_mixed",
                                  "spc64_big_clusters", "spc1_many_entries", "fat12_spc1",
                                  "fat16_spc2",         "exfat_tree",        "exfat_wide"};

Seed seed_image(size_t i) {
    switch (i) {
    case 0:
        return make_seed(kSeedNames[0], 1, 600, 10, 5,
                         "a rather long file name that takes several entries", 3000);
    case 1:
        return make_seed(kSeedNames[1], 2, 900, 6, 4, "frag", 6000);
    case 2:
        return make_seed(kSeedNames[2], 8, 400, 8, 4, "Mixed Case Name", 9000);
    case 3:
        return make_seed(kSeedNames[3], 64, 48, 4, 3, "big", 40000);
    case 5: // FAT12 entries straddle the FAT's sectors; the root is the fixed region
        return make_seed(kSeedNames[5], 1, 700, 8, 4, "twelve bit", 3000, 12);
    case 6:
        return make_seed(kSeedNames[6], 2, 4200, 6, 4, "sixteen bit", 6000, 16);
    case 7:
        return exfat_seed(kSeedNames[7], 6, 5, 12000);
    case 8:
        return exfat_seed(kSeedNames[8], 20, 1, 3000);
    default:
        return make_seed(kSeedNames[4], 1, 500, 40, 2, "n", 600);
    }
}

struct Walker {
    readfat_volume *vol;
    size_t entries = 0;
    uint64_t bytes = 0;

    void check_read_code(int err) {
        // DV_E_EOF: a deleted file's recovery reached the end of the data area.
        EXPECT_TRUE(err == 0 || err == EIO || err == DV_E_BROKENCHAIN || err == DV_E_EOF)
            << "read gave " << err;
    }

    void file(const dv_entry &e, const std::string &path) {
        int err = 0;
        if (!path.empty()) {
            dv_entry st;
            const int rc = readfat_stat(vol, path.c_str(), &st);
            // ENOTDIR: a name on the way is found as a file first.
            EXPECT_TRUE(rc == 0 || rc == ENOENT || rc == EILSEQ || rc == ENAMETOOLONG ||
                        rc == EIO || rc == ENOTDIR)
                << "stat gave " << rc;
        }
        readfat_file *f = readfat_open_entry(vol, &e, &err);
        ASSERT_NE(f, nullptr);
        static thread_local std::vector<uint8_t> buf(16 * 1024);
        uint32_t budget = 48 * 1024; // the chain itself is walked whole by the seeks
        for (;;) {
            err = 0;
            const uint32_t n = readfat_read(vol, f, buf.data(), uint32_t(buf.size()), &err);
            bytes += n;
            if (n < buf.size() || n >= budget) {
                check_read_code(err);
                break;
            }
            budget -= n;
        }
        // 64-bit positions: exFAT sizes run past 4 GiB (the seeks walk the chain, bounded).
        const uint64_t size = readfat_size64(vol, f);
        err = 0;
        if (readfat_seek64(vol, f, size / 2, &err) != 0) {
            EXPECT_EQ(err, DV_E_BROKENCHAIN);
            EXPECT_EQ(readfat_tell64(vol, f), 0u);
        }
        if (readfat_seek64(vol, f, size, &err) != 0) {
            EXPECT_EQ(err, DV_E_BROKENCHAIN);
        }
        EXPECT_EQ(readfat_seek64(vol, f, 0, &err), 0);
        readfat_close(vol, f);
    }

    void dir(readfat_dir *d, const std::string &path, int depth) {
        std::vector<std::pair<dv_entry, std::string>> subdirs;
        int err = 0;
        for (;;) {
            if (++entries > 3000) break; // a walk over directory cycles stops somewhere
            const dv_entry *e = readfat_readdir(vol, d, &err);
            if (!e) {
                EXPECT_TRUE(err == DV_E_ENDDIR || err == EIO || err == EILSEQ)
                    << "readdir gave " << err;
                break;
            }
            const std::string name = to_utf8(e->name);
            if (name == "." || name == ".." || (e->attr & DV_ATTR_VOLUME)) continue;
            const bool plain = name.find_first_of("/\\") == std::string::npos && !name.empty();
            const std::string sub = plain ? path + "/" + name : "";
            if (e->attr & DV_ATTR_DIRECTORY)
                subdirs.push_back({*e, sub});
            else
                file(*e, sub);
        }
        readfat_closedir(vol, d);
        if (depth >= 5) return;
        for (auto &[e, sub] : subdirs) {
            readfat_dir *h = readfat_opendir_entry(vol, &e, &err);
            ASSERT_NE(h, nullptr);
            if (!sub.empty()) {
                // Opening by path must agree about finding it.
                readfat_dir *p = readfat_opendir(vol, sub.c_str(), &err);
                if (p) readfat_closedir(vol, p);
            }
            dir(h, sub, depth + 1);
        }
    }
};

class Damage : public testing::TestWithParam<size_t> {};

// Mounts the (damaged) seed and walks it whole; true when it mounted.
bool mount_and_walk(Seed &s, uint32_t flags, size_t &entries, uint64_t &bytes) {
    std::unique_ptr<FaultReader> rd =
        s.ex ? std::make_unique<FaultReader>(s.ex->bytes, 0, s.ex->sectors(), s.ex->spc())
             : std::make_unique<FaultReader>(*s.img);
    bool ok = false;
    {
        std::unique_ptr<Mounted> fat;
        std::unique_ptr<ExfatMounted> ex;
        readfat_volume *vol = nullptr;
        int err = 0;
        if (s.ex) {
            ex = std::make_unique<ExfatMounted>(*s.ex, *rd, flags, 2, 8);
            vol = ex->vol, err = ex->err;
        } else {
            fat = std::make_unique<Mounted>(*s.img, *rd, flags, 2, 8);
            vol = fat->vol, err = fat->err;
        }
        if (vol) {
            ok = true;
            Walker w{vol};
            readfat_dir *root = readfat_opendir(vol, "/", &err);
            EXPECT_NE(root, nullptr);
            if (root) w.dir(root, "", 0);
            entries += w.entries;
            bytes += w.bytes;
        } else {
            EXPECT_TRUE(err == DV_E_BADPBR || err == DV_E_BOOTSIG || err == EIO)
                << "mount gave " << err;
        }
    }
    EXPECT_EQ(rd->bad_requests(), 0u);
    return ok;
}

TEST_P(Damage, ThousandDamagedVolumes) {
    Seed s = seed_image(GetParam());
    if (std::strncmp(s.name, "exfat", 5) == 0) {
        DV_NEED_TOOLS("mkfs.exfat");
        ASSERT_TRUE(s.ex->ok());
    }
    std::vector<uint8_t> &disk = s.disk();
    uint64_t total = 0;
    for (auto &r : s.regions) total += r.second;
    const uint64_t max_bytes = total / 100 ? total / 100 : 1;
    uint64_t mounted = 0, bytes = 0;
    size_t entries = 0;

    for (int it = 0; it < kIterations; ++it) {
        const uint32_t seed = uint32_t(GetParam()) * 1000003u + uint32_t(it);
        std::mt19937_64 rng(seed);
        // Damage: overwrite up to 1% of the bytes, remembering them for the restore.
        std::vector<std::pair<uint64_t, uint8_t>> saved;
        const uint64_t n = 1 + rng() % max_bytes;
        for (uint64_t k = 0; k < n; ++k) {
            uint64_t pick = rng() % total;
            size_t r = 0;
            while (pick >= s.regions[r].second) pick -= s.regions[r++].second;
            const uint64_t at = s.regions[r].first + pick;
            saved.push_back({at, disk[at]});
            const uint64_t how = rng() % 4;
            disk[at] = how == 0   ? uint8_t(disk[at] ^ (1u << (rng() % 8)))
                       : how == 1 ? 0
                       : how == 2 ? 0xFF
                                  : uint8_t(rng());
        }
        // Every other volume also lists, looks up and recovers deleted entries.
        const uint32_t extra = it % 2 ? DV_FLAG_DELETED | DV_FLAG_NOCASE | DV_FLAG_NTCASE : 0;
        if (mount_and_walk(s, readfat_optimal_flags() | extra, entries, bytes)) ++mounted;
        for (auto p = saved.rbegin(); p != saved.rend(); ++p) disk[p->first] = p->second;
        if (HasFailure()) {
            ADD_FAILURE() << s.name << ": iteration " << it << " (seed " << seed << ", " << n
                          << " bytes damaged) failed";
            break;
        }
    }
    std::printf("[ figure ] %s: %d damaged volumes, %llu mounted, %llu entries listed, %llu "
                "bytes read\n",
                s.name, kIterations, static_cast<unsigned long long>(mounted),
                static_cast<unsigned long long>(entries), static_cast<unsigned long long>(bytes));
}

INSTANTIATE_TEST_SUITE_P(Seeds, Damage, testing::Range<size_t>(0, 9),
                         [](const testing::TestParamInfo<size_t> &info) {
                             return std::string(kSeedNames[info.param]);
                         });

} // namespace
