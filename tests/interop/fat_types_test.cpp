// Interop over every kind of FAT volume: FAT12, FAT16 and FAT32 from mkfs.fat (1 to 64
// sectors per cluster, logical sectors of 512 to 4096 bytes) and from mformat (a 1.44 MB
// floppy, FAT16, FAT32, and clusters of 3 sectors, which mkfs.fat refuses), alone and as
// partitions of MBR and GPT disks made by sfdisk. Each is filled by mcopy; every listing and
// every byte must equal what mcopy reads back, every reader request must cover whole logical
// sectors, and the free-cluster count must equal fsck.fat's. Skips when the tools are missing.
#define _FILE_OFFSET_BITS 64
#include "support/tools.h"
#include "support/volume_util.h"

#include <dorvex/writefat.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

using namespace dvtest;
namespace fs = std::filesystem;

namespace {

const std::string kEnv = "LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 ";

struct Tools {
    std::string mkfs = find_tool("mkfs.fat"), mformat = find_tool("mformat"),
                mcopy = find_tool("mcopy"), sfdisk = find_tool("sfdisk");
    bool ok() const { return !mkfs.empty() && !mformat.empty() && !mcopy.empty(); }
};

// The tree copied into every volume, made once per test binary: a root of 40 long names (runs
// cut by every root piece and window), names needing 1 to 4 entries, a file over several
// clusters, an empty file and directory, and a deeper path.
const std::string &source_tree() {
    static std::string dir;
    if (!dir.empty()) return dir;
    dir = scratch_dir("dorvex-types") + "/src";
    auto put = [&](const std::string &rel, const std::string &data) {
        fs::path p = fs::path(dir) / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary).write(data.data(), std::streamsize(data.size()));
    };
    put("README.TXT", "plain 8.3 name\n");
    put("Mixed Case.Txt", "mixed\n");
    put("A rather long name that takes three or four entries of a directory.txt", "long\n");
    put("big.bin", pattern_data(150000, 9));
    put("empty.dat", "");
    put("Sub dir/Deeper Level/leaf file.bin", pattern_data(5000, 3));
    for (int i = 0; i < 40; ++i)
        put("root file " + std::to_string(100 + i) + " with a long name.txt",
            pattern_data(size_t(i) * 97, uint32_t(i)));
    fs::create_directories(fs::path(dir) / "Empty dir");
    return dir;
}

// CI has every oracle: a missing one fails there instead of skipping.
bool in_ci() {
    const char *ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

// What a shell command prints (standard output and error).
std::string capture(const std::string &cmd) {
    std::string out;
    if (FILE *p = popen((cmd + " 2>&1").c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        pclose(p);
    }
    return out;
}

// mcopy applies the lower-case flags of 8.3-only names, which the library leaves alone.
bool same_name(const std::string &host, const std::string &ours) {
    if (host == ours) return true;
    if (host.size() != ours.size()) return false;
    for (size_t i = 0; i < host.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(host[i])) != ours[i]) return false;
    return true;
}

// What mcopy reads back from the volume at byte `offset` of `image`, extracted into `out`.
void mcopy_out(const Tools &t, const std::string &image, uint64_t offset, const std::string &out,
               const std::string &log) {
    fs::create_directories(out);
    const std::string at = offset ? "@@" + std::to_string(offset) : "";
    run_logged(kEnv + shell_quote(t.mcopy) + " -s -n -i " + shell_quote(image + at) + " '::*' " +
                   shell_quote(out + "/"),
               log);
}

// Walks the volume through entries and compares each directory with the host tree `host`.
void compare(readfat_volume *vol, readfat_dir *d, const fs::path &host, const std::string &where) {
    std::map<std::string, fs::path> want;
    for (const auto &e : fs::directory_iterator(host)) want[e.path().filename().string()] = e;
    std::vector<std::pair<dv_entry, fs::path>> subdirs;
    const dv_entry *e;
    int err = 0;
    size_t listed = 0;
    while ((e = readfat_readdir(vol, d, &err)) != nullptr) {
        const std::string name = to_utf8(e->name);
        if (name == "." || name == ".." || (e->attr & DV_ATTR_VOLUME)) continue;
        auto it = want.begin();
        while (it != want.end() && !same_name(it->first, name)) ++it;
        if (it == want.end()) {
            ADD_FAILURE() << where << ": listed but not read by mcopy: " << name;
            continue;
        }
        ++listed;
        if (e->attr & DV_ATTR_DIRECTORY) {
            EXPECT_TRUE(fs::is_directory(it->second)) << where << "/" << name;
            subdirs.push_back({*e, it->second});
            continue;
        }
        readfat_file *f = readfat_open_entry(vol, e, &err);
        ASSERT_NE(f, nullptr) << where << "/" << name;
        int rerr = 0;
        const std::string got = read_handle(vol, f, 7000, &rerr);
        readfat_close(vol, f);
        EXPECT_EQ(rerr, 0) << where << "/" << name;
        const std::vector<uint8_t> bytes = read_whole(it->second.string());
        EXPECT_TRUE(got == std::string(bytes.begin(), bytes.end())) << where << "/" << name;
    }
    EXPECT_EQ(err, DV_E_ENDDIR) << where;
    EXPECT_EQ(listed, want.size()) << where;
    readfat_closedir(vol, d);
    for (const auto &[entry, path] : subdirs) {
        readfat_dir *sd = readfat_opendir_entry(vol, &entry, &err);
        ASSERT_NE(sd, nullptr);
        compare(vol, sd, path, where + "/" + to_utf8(entry.name));
    }
}

// Serves the reader's requests from the image file behind `fd` (zeros past its end).
void serve_file(FaultReader &rd, int fd) {
    rd.synth = [fd](uint64_t s, uint8_t *buf) {
        if (pread(fd, buf, 512, off_t(s * 512)) != 512) std::memset(buf, 0, 512);
    };
}

// Mounts the volume at `start` of `image`, compares it whole with `expected` (mcopy's copy)
// and checks a few path lookups and that every request after the boot sector covers whole
// logical sectors. Returns the volume's FAT type and logical sector size.
// With `backup`, the first sector is damaged: the geometry comes from the copy at logical
// sector 6, and the probes for it are one 512-byte sector each.
std::pair<uint32_t, uint32_t> verify(const std::string &image, uint64_t start, uint64_t end,
                                     const std::string &expected, uint32_t *free = nullptr,
                                     readfat_volinfo *info = nullptr, bool backup = false) {
    const int fd = open(image.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    uint8_t boot[512] = {};
    for (uint32_t per = 1; per <= (backup ? 8 : 1); per *= 2) {
        EXPECT_EQ(pread(fd, boot, 512, off_t((start + (backup ? 6 * per : 0)) * 512)), 512);
        if (!backup || uint32_t(boot[11] | boot[12] << 8) == per * 512) break;
    }
    const uint32_t bps = uint32_t(boot[11] | boot[12] << 8), per = bps / 512;
    std::vector<uint8_t> none;
    FaultReader rd(none, start, end, boot[13] * per);
    serve_file(rd, fd);
    rd.require_alignment(512);
    TrackingAlloc alloc;
    int err = 0;
    readfat_volume *vol = readfat_new2(start, end, 512, &rd, FaultReader::cb,
                                       DV_CHARSET_UTF8 | DV_FLAG_UTF16 | DV_FLAG_SLASH, 4, 8, &err,
                                       &alloc, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
    std::pair<uint32_t, uint32_t> kind{0, 0};
    if (vol) {
        kind = {vol->fat_type, vol->bytes_per_sector};
        compare(vol, readfat_opendir(vol, "/", &err), expected, "");
        EXPECT_TRUE(read_file(vol, "Sub dir/Deeper Level/leaf file.bin") == pattern_data(5000, 3));
        EXPECT_TRUE(read_file(vol, "root file 139 with a long name.txt", 333) ==
                    pattern_data(39 * 97, 39));
        dv_entry st;
        EXPECT_EQ(readfat_stat(vol, "Sub dir/../README.TXT", &st), 0) << "'..' leads to the root";
        if (free) {
            EXPECT_EQ(readfat_free_clusters(vol, free, &err), 0) << err;
        }
        if (info) {
            EXPECT_EQ(readfat_info(vol, info), 0);
        }
        readfat_delete(vol);
    } else {
        ADD_FAILURE() << image << ": mount failed with " << err;
    }
    for (size_t i = 1; i < rd.log().size(); ++i) {
        const FaultReader::Call &c = rd.log()[i];
        if (backup && c.count == 1 && c.sector - start <= 6 * 8) continue;
        EXPECT_TRUE((c.sector - start) % per == 0 && c.count % per == 0)
            << "request " << c.sector << "+" << c.count << " cuts a " << bps << "-byte sector";
    }
    EXPECT_EQ(rd.bad_requests(), 0u);
    close(fd);
    return kind;
}

struct Format {
    std::string name;
    friend void PrintTo(const Format &f, std::ostream *os) { *os << f.name; }
    std::string make; // shell words after the formatter; IMG is the image
    bool mformat;
    uint32_t fat, bps;
};

std::vector<Format> formats() {
    std::vector<Format> f;
    // mkfs.fat sizes in KiB: a cluster count well inside the type's range.
    auto mkfs = [&](uint32_t fat, uint32_t spc, uint32_t bps) {
        const uint64_t clusters = fat == 12 ? 3000 : fat == 16 ? 6000 : 66000;
        const uint64_t kib = clusters * spc * bps / 1024 + 128;
        f.push_back({"mkfs_fat" + std::to_string(fat) + "_s" + std::to_string(spc) + "_S" +
                         std::to_string(bps),
                     "-F " + std::to_string(fat) + " -s " + std::to_string(spc) + " -S " +
                         std::to_string(bps) + " -n TYPES -C IMG " + std::to_string(kib),
                     false, fat, bps});
    };
    for (uint32_t spc : {1u, 4u, 16u, 64u}) mkfs(12, spc, 512);
    for (uint32_t spc : {1u, 2u, 8u, 32u, 64u}) mkfs(16, spc, 512);
    mkfs(32, 4, 512);
    for (uint32_t bps : {1024u, 2048u, 4096u}) {
        mkfs(12, 1, bps);
        mkfs(16, 2, bps);
        mkfs(32, 1, bps);
    }
    f.push_back({"mformat_floppy_1440", "-f 1440", true, 12, 512});
    f.push_back({"mformat_fat16", "-T 40960 -h 16 -s 32", true, 16, 512});
    f.push_back({"mformat_fat32", "-T 140000 -h 16 -s 32 -F", true, 32, 512});
    // Clusters of 3 sectors (1536 bytes): mtools and fsck.fat take any count.
    f.push_back({"mformat_fat12_c3", "-T 8192 -h 2 -s 32 -c 3", true, 12, 512});
    f.push_back({"mformat_fat16_c3", "-T 40960 -h 16 -s 32 -c 3", true, 16, 512});
    f.push_back({"mformat_fat32_c3", "-T 210000 -h 16 -s 32 -F -c 3", true, 32, 512});
    return f;
}

class Types : public testing::TestWithParam<Format> {};

// minfo's "key: value" and "key=value" lines.
std::map<std::string, std::string> minfo(const std::string &image) {
    std::map<std::string, std::string> out;
    std::istringstream lines(
        capture(kEnv + shell_quote(find_tool("minfo")) + " -i " + shell_quote(image) + " ::"));
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find_first_of(":=");
        if (at != std::string::npos)
            out[line.substr(0, at)] = line.substr(line.compare(at, 2, ": ") == 0 ? at + 2 : at + 1);
    }
    return out;
}

// The volume record against what minfo reads from the same boot and FSInfo sectors, and the
// cluster count against fsck.fat's.
void check_record(const readfat_volinfo &v, const std::string &image, const std::string &fsck) {
    auto m = minfo(image);
    if (m.empty()) return;
    auto num = [&](const std::string &key) { return std::stoul(m[key], nullptr, 0); };
    EXPECT_EQ(v.bytes_per_sector, num("sector size"));
    EXPECT_EQ(v.sectors_per_cluster, num("cluster size"));
    EXPECT_EQ(v.reserved_sectors, num("reserved (boot) sectors"));
    EXPECT_EQ(v.first_fat_sector, v.reserved_sectors);
    EXPECT_EQ(v.fat_count, num("fats"));
    EXPECT_EQ(v.root_entries, num("max available root directory slots"));
    EXPECT_EQ(v.total_sectors, num("small size") ? num("small size") : num("big size"));
    EXPECT_EQ(v.media, num("media descriptor byte"));
    EXPECT_EQ(v.hidden_sectors, num("hidden sectors"));
    EXPECT_EQ(v.volume_id, std::stoul(m["serial number"], nullptr, 16));
    EXPECT_EQ("\"" + std::string(v.label) + "\"", m["disk label"]);
    EXPECT_EQ("\"" + std::string(v.oem_name, strnlen(v.oem_name, 8)) + "\"", m["banner"]);
    EXPECT_EQ(v.cluster_bytes, v.sectors_per_cluster * v.bytes_per_sector);
    EXPECT_EQ(v.first_data_sector,
              v.reserved_sectors + v.fat_count * v.fat_sectors +
                  (v.root_entries * 32 + v.bytes_per_sector - 1) / v.bytes_per_sector);
    if (v.fat_type == 32) {
        EXPECT_EQ(v.fat_sectors, num("Big fatlen"));
        EXPECT_EQ(v.root_cluster, num("rootCluster"));
        EXPECT_EQ(v.fsinfo_sector, num("infoSector location"));
        EXPECT_EQ(v.fsinfo_free, num("free clusters"));
        EXPECT_EQ(v.fsinfo_next_free, num("last allocated cluster"));
    } else {
        EXPECT_EQ(v.fat_sectors, num("sectors per fat"));
        EXPECT_EQ(v.fsinfo_free, 0xFFFFFFFFu);
    }
    EXPECT_EQ(v.notes & (DV_VOL_NOTE_DIRTY | DV_VOL_NOTE_FSINFO_BAD | DV_VOL_NOTE_NO_SERIAL), 0u);
    if (fsck.empty()) return;
    const std::string said = capture(shell_quote(fsck) + " -n " + shell_quote(image));
    EXPECT_NE(said.find("/" + std::to_string(v.cluster_count) + " clusters"), std::string::npos)
        << said;
}

// A FAT32 volume with its first sector damaged three ways mounts from its backup, reads as
// before and refuses writes; a FAT16 one, or one whose backup is damaged too, does not mount.
// The image is damaged in place and repaired after each case.
void check_backup(const std::string &img, const std::string &expected, const readfat_volinfo &v) {
    const uint64_t end = fs::file_size(img) / 512;
    const off_t backup = off_t(6) * v.bytes_per_sector;
    uint8_t boot[512], copy[512];
    const int fd = open(img.c_str(), O_RDWR);
    ASSERT_EQ(pread(fd, boot, 512, 0), 512);
    ASSERT_EQ(pread(fd, copy, 512, backup), 512);
    auto attempt = [&](int &err, const writefat_sector_writer writer = nullptr) {
        std::vector<uint8_t> none;
        FaultReader rd(none, 0, end, 64);
        serve_file(rd, fd);
        if (writer) {
            EXPECT_EQ(writefat_open(0, end, 512, &rd, FaultReader::cb, writer,
                                    readfat_optimal_flags(), 1, 1, &err),
                      nullptr);
            return false;
        }
        readfat_volume *vol =
            readfat_new(0, end, 512, &rd, FaultReader::cb, readfat_optimal_flags(), 1, 1, &err);
        readfat_delete(vol);
        return vol != nullptr;
    };
    const struct {
        const char *what;
        std::function<void(uint8_t *)> damage;
        int err;
    } cases[] = {
        {"zeroed", [](uint8_t *b) { std::memset(b, 0, 512); }, DV_E_BOOTSIG},
        {"no signature", [](uint8_t *b) { b[510] = 0; }, DV_E_BOOTSIG},
        {"no sectors per cluster", [](uint8_t *b) { b[13] = 0; }, DV_E_BADPBR},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        uint8_t bad[512];
        std::memcpy(bad, boot, 512);
        c.damage(bad);
        ASSERT_EQ(pwrite(fd, bad, 512, 0), 512);
        int err = 0;
        if (v.fat_type != 32) {
            EXPECT_FALSE(attempt(err));
            EXPECT_EQ(err, c.err);
            continue;
        }
        readfat_volinfo got{};
        verify(img, 0, end, expected, nullptr, &got, true);
        EXPECT_EQ(got.notes, DV_VOL_NOTE_BACKUP_BOOT);
        EXPECT_EQ(got.backup_boot_sector, 6u);
        EXPECT_EQ(got.cluster_count, v.cluster_count);
        EXPECT_EQ(got.fsinfo_free, v.fsinfo_free);
        attempt(err, [](void *, const void *, uint64_t, uint32_t) { return int32_t(-1); });
        EXPECT_EQ(err, DV_E_BACKUPBOOT);
        // The backup damaged as well: the first sector's code.
        uint8_t unsigned_copy[512];
        std::memcpy(unsigned_copy, copy, 512);
        unsigned_copy[510] = 0;
        ASSERT_EQ(pwrite(fd, unsigned_copy, 512, backup), 512);
        EXPECT_FALSE(attempt(err));
        EXPECT_EQ(err, c.err);
        ASSERT_EQ(pwrite(fd, copy, 512, backup), 512);
    }
    ASSERT_EQ(pwrite(fd, boot, 512, 0), 512);
    close(fd);
}

TEST_P(Types, EveryListingAndByteAsMcopyReadsThem) {
    const Tools t;
    DV_NEED_TOOLS("mkfs.fat", "mformat", "mcopy");
    const Format &f = GetParam();
    const std::string src = source_tree(), dir = scratch_dir("dorvex-type");
    const std::string img = dir + "/v.img", log = dir + "/tools.log";
    std::string make = f.make;
    if (!f.mformat) make.replace(make.find("IMG"), 3, shell_quote(img));
    if (f.mformat) {
        // mformat formats an existing file: the floppy's size comes from -f, the others' -T.
        const uint64_t sectors = make.rfind("-T ", 0) == 0 ? std::stoull(make.substr(3)) : 2880;
        ASSERT_EQ(truncate((std::ofstream(img), img.c_str()), off_t(sectors * 512)), 0);
        ASSERT_TRUE(run_logged(
            kEnv + shell_quote(t.mformat) + " -i " + shell_quote(img) + " " + make + " ::", log));
    } else {
        ASSERT_TRUE(run_logged(shell_quote(t.mkfs) + " " + make, log));
    }
    ASSERT_TRUE(run_logged("cd " + shell_quote(src) + " && " + kEnv + shell_quote(t.mcopy) +
                               " -s -Q -i " + shell_quote(img) + " * ::/",
                           log));
    mcopy_out(t, img, 0, dir + "/out", log);
    uint32_t free = 0;
    readfat_volinfo info{};
    const auto kind = verify(img, 0, fs::file_size(img) / 512, dir + "/out", &free, &info);
    EXPECT_EQ(kind.first, f.fat);
    EXPECT_EQ(kind.second, f.bps);
    EXPECT_EQ(info.fat_type, f.fat);
    const std::string fsck = find_tool("fsck.fat");
    check_record(info, img, fsck);
    check_backup(img, dir + "/out", info);
    // fsck.fat's "used/total clusters"; then, after it set FSInfo right, FSInfo's count.
    if (fsck.empty()) {
        if (in_ci()) FAIL() << "fsck.fat (dosfstools) is missing";
        GTEST_SKIP() << "fsck.fat (dosfstools) is needed for the free count";
    }
    const std::string said = capture(shell_quote(fsck) + " -n " + shell_quote(img));
    const size_t slash = said.rfind('/'), space = said.rfind(' ', slash);
    ASSERT_NE(slash, std::string::npos) << said;
    EXPECT_EQ(free, std::stoul(said.substr(slash + 1)) - std::stoul(said.substr(space + 1)))
        << said;
    if (f.fat == 32) {
        capture(shell_quote(fsck) + " -a " + shell_quote(img));
        std::ifstream in(img, std::ios::binary);
        auto le = [&](uint64_t at, int n) {
            uint8_t b[4] = {};
            in.seekg(std::streamoff(at)).read(reinterpret_cast<char *>(b), n);
            return uint32_t(b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24);
        };
        EXPECT_EQ(free, le(uint64_t(le(48, 2)) * f.bps + 488, 4));
    }
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Formats, Types, testing::ValuesIn(formats()),
                         [](const testing::TestParamInfo<Format> &i) { return i.param.name; });

// ---- Partitioned disks ---------------------------------------------------------------------

struct Part {
    std::string line;     // sfdisk line
    uint32_t fat;         // what to format it with (0: nothing)
    uint64_t start, size; // in 512-byte sectors
};

void partitioned(const std::string &label, const std::vector<Part> &parts) {
    const Tools t;
    DV_NEED_TOOLS("mkfs.fat", "mformat", "mcopy", "sfdisk");
    const std::string dir = scratch_dir("dorvex-disk"), disk = dir + "/disk.img";
    const std::string log = dir + "/tools.log";
    std::ofstream(disk).close();
    ASSERT_EQ(truncate(disk.c_str(), 64 << 20), 0);
    std::string script = "label: " + label + "\n";
    for (const Part &p : parts) script += p.line + "\n";
    ASSERT_TRUE(run_logged("printf " + shell_quote(script) + " | " + shell_quote(t.sfdisk) +
                               " -q " + shell_quote(disk),
                           log));
    for (const Part &p : parts) {
        if (!p.fat) continue;
        ASSERT_TRUE(run_logged(shell_quote(t.mkfs) + " -F " + std::to_string(p.fat) +
                                   " -s 1 --offset " + std::to_string(p.start) + " " +
                                   shell_quote(disk) + " " + std::to_string(p.size / 2),
                               log));
        ASSERT_TRUE(run_logged(
            "cd " + shell_quote(source_tree()) + " && " + kEnv + shell_quote(t.mcopy) +
                " -s -Q -i " + shell_quote(disk + "@@" + std::to_string(p.start * 512)) + " * ::/",
            log));
    }

    // The library's table against the one sfdisk wrote, then every FAT partition against
    // what mcopy reads from it.
    std::vector<uint8_t> none;
    const uint64_t sectors = 64 << 11;
    FaultReader rd(none, 0, sectors, 8);
    const int fd = open(disk.c_str(), O_RDONLY);
    serve_file(rd, fd);
    readfat_partition got[8];
    readfat_table table;
    ASSERT_EQ(readfat_partitions(sectors, 0, &rd, FaultReader::cb, got, 8, &table), 0);
    EXPECT_EQ(table.scheme, label == "gpt" ? DV_PT_GPT : DV_PT_MBR);
    EXPECT_EQ(table.notes, 0u);
    ASSERT_EQ(table.count, parts.size());
    for (size_t i = 0; i < parts.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].start, parts[i].start);
        EXPECT_EQ(got[i].sectors, parts[i].size);
        EXPECT_EQ(got[i].fat_type, parts[i].fat);
        if (!parts[i].fat) continue;
        const std::string out = dir + "/out" + std::to_string(i);
        mcopy_out(t, disk, got[i].start * 512, out, log);
        EXPECT_EQ(verify(disk, got[i].start, got[i].start + got[i].sectors, out).first,
                  parts[i].fat);
    }
    EXPECT_EQ(rd.bad_requests(), 0u);
    close(fd);
    fs::remove_all(dir);
}

} // namespace

TEST(Partitioned, Fat16AndFat12InAnMbrWithLogicalPartitions) {
    partitioned("dos", {{"start=2048, size=8192, type=6", 16, 2048, 8192},
                        {"start=12288, size=40960, type=5", 0, 12288, 40960},
                        {"start=14336, size=4096, type=1", 12, 14336, 4096},
                        {"start=20480, size=10240, type=e", 16, 20480, 10240}});
}

TEST(Partitioned, Fat16EspAndFat12BasicDataInAGpt) {
    partitioned(
        "gpt",
        {{"start=2048, size=8192, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B, "
          "name=\"EFI system\"",
          16, 2048, 8192},
         {"start=10240, size=2048, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4", 0, 10240, 2048},
         {"start=12288, size=4096, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", 12, 12288, 4096}});
}

// ---- El Torito -----------------------------------------------------------------------------

// An ISO 9660 image made by xorriso with two EFI boot images: a FAT12 floppy, and a FAT16
// volume of 34 MB whose size the catalog cannot hold (xorriso writes 0). Each is found where
// xorriso put it, with its own size and type, and reads as mcopy reads the image file.
TEST(ElTorito, EfiBootImagesOfAnIsoMadeByXorriso) {
    const Tools t;
    const std::string xorriso = find_tool("xorriso");
    if (!t.ok() || xorriso.empty()) {
        if (in_ci()) FAIL() << "mkfs.fat, mtools and xorriso are needed";
        GTEST_SKIP() << "mkfs.fat, mtools and xorriso are needed";
    }
    const std::string dir = scratch_dir("dorvex-iso"), log = dir + "/tools.log";
    fs::create_directories(dir + "/iso");
    const std::pair<uint32_t, uint32_t> kinds[] = {{12, 1440}, {16, 34000}}; // FAT, KiB
    std::vector<std::string> images;
    for (const auto &[fat, kib] : kinds) {
        images.push_back(dir + "/iso/efi" + std::to_string(fat) + ".img");
        ASSERT_TRUE(run_logged(shell_quote(t.mkfs) + " -F " + std::to_string(fat) + " -C " +
                                   shell_quote(images.back()) + " " + std::to_string(kib),
                               log));
        ASSERT_TRUE(run_logged("cd " + shell_quote(source_tree()) + " && " + kEnv +
                                   shell_quote(t.mcopy) + " -s -Q -i " +
                                   shell_quote(images.back()) + " * ::/",
                               log));
    }
    const std::string iso = dir + "/boot.iso";
    ASSERT_TRUE(run_logged(shell_quote(xorriso) + " -as mkisofs -o " + shell_quote(iso) +
                               " -e efi12.img -no-emul-boot -eltorito-alt-boot -e efi16.img "
                               "-no-emul-boot " +
                               shell_quote(dir + "/iso"),
                           log));
    const uint64_t sectors = fs::file_size(iso) / 512;
    std::vector<uint8_t> none;
    FaultReader rd(none, 0, sectors, 8);
    const int fd = open(iso.c_str(), O_RDONLY);
    serve_file(rd, fd);
    readfat_partition got[4];
    readfat_table table;
    ASSERT_EQ(readfat_partitions(sectors, 0, &rd, FaultReader::cb, got, 4, &table), 0);
    EXPECT_EQ(table.scheme, DV_PT_ELTORITO);
    EXPECT_EQ(table.notes, 0u);
    ASSERT_EQ(table.count, 2u);
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(images[i]);
        const std::vector<uint8_t> want = read_whole(images[i]);
        EXPECT_EQ(got[i].number, i + 1);
        EXPECT_EQ(got[i].reserved, 0xEF);
        EXPECT_EQ(got[i].mbr_type, 0) << "no emulation";
        EXPECT_EQ(got[i].fat_type, kinds[i].first);
        ASSERT_EQ(got[i].sectors, want.size() / 512);
        std::vector<uint8_t> there(want.size());
        ASSERT_EQ(pread(fd, there.data(), there.size(), off_t(got[i].start * 512)),
                  ssize_t(there.size()));
        EXPECT_TRUE(there == want) << "not the image xorriso stored";
        const std::string out = dir + "/out" + std::to_string(i);
        mcopy_out(t, images[i], 0, out, log);
        EXPECT_EQ(verify(iso, got[i].start, got[i].start + got[i].sectors, out).first,
                  kinds[i].first);
    }
    EXPECT_EQ(rd.bad_requests(), 0u);
    close(fd);
    fs::remove_all(dir);
}
