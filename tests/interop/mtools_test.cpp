// Interop with real tools: FAT32 images made by mkfs.fat (dosfstools) and filled by
// mcopy (mtools) from a tree generated here, for several cluster sizes. Every file must
// read back byte for byte, by path and from its entry, and every listing must match.
// Skips when the tools are missing. Images are sparse files in a temp directory.
// The 64-sector image passes 2 GiB: 32-bit hosts need 64-bit file offsets to read it.
#define _FILE_OFFSET_BITS 64
#include "support/tools.h"
#include "support/volume_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

using namespace dvtest;
namespace fs = std::filesystem;

namespace {

const uint32_t kUtf8 =
    DV_CHARSET_UTF8 | DV_FLAG_UTF16 | DV_FLAG_SLASH | DV_FLAG_SKIP_LEADING_SEP | DV_FLAG_LENIENT;

// The name a listing returns for a host name: mtools stores a name that fits 8.3 with
// each part in one case as an 8.3 entry alone (case kept in flag bits the reader does not
// apply), so it reads back in upper case; every other name keeps its long name.
std::string fat_name(const std::string &n) {
    auto one_case = [](const std::string &s) {
        bool lo = false, up = false;
        for (unsigned char c : s) {
            if (c >= 'a' && c <= 'z') lo = true;
            if (c >= 'A' && c <= 'Z') up = true;
        }
        return !(lo && up);
    };
    size_t dot = n.find('.');
    std::string base = n.substr(0, dot), ext = dot == std::string::npos ? "" : n.substr(dot + 1);
    bool fits = !base.empty() && base.size() <= 8 && ext.size() <= 3 &&
                (dot == std::string::npos || !ext.empty()) && ext.find('.') == std::string::npos &&
                one_case(base) && one_case(ext);
    for (unsigned char c : n)
        if (!(std::isalnum(c) || c == '.' || c == '_' || c == '-') || c >= 0x80) fits = false;
    if (!fits) return n;
    std::string u = n;
    for (char &c : u)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return u;
}

struct HostFile {
    std::string rel; // host path relative to the tree root
    std::string fat; // the path on the volume
    bool is_dir;
    std::string data;
};

class Interop : public testing::TestWithParam<uint32_t> {
  protected:
    void SetUp() override {
        DV_NEED_TOOLS("mkfs.fat", "mcopy", "mdel");
        mkfs_ = find_tool("mkfs.fat");
        mcopy_ = find_tool("mcopy");
        mdel_ = find_tool("mdel");
        // tmpfs when there is one: thousands of small files are made here.
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        if (const char *t = std::getenv("TMPDIR")) base = t;
        std::string tmpl = base + "/dorvex-interop.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        if (fd_ >= 0) close(fd_);
        if (!dir_.empty()) {
            std::error_code ec;
            fs::remove_all(dir_, ec);
        }
    }

    void add_file(const std::string &rel, const std::string &data) {
        fs::path p = fs::path(dir_) / "src" / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary).write(data.data(), std::streamsize(data.size()));
    }

    // Generates the tree, formats the image and copies the tree in.
    void build(uint32_t spc) {
        const uint32_t cb = spc * 512;
        add_file("README.TXT", "plain 8.3 name\n");
        add_file("notes.txt", "lower-case 8.3 name\n");
        add_file("Mixed.Txt", "mixed case: needs a long name\n");
        add_file("A rather long file name, with spaces and (brackets).txt", pattern_data(777, 1));
        add_file("Ünïcödé ναμε.txt", "non-ASCII\n");
        add_file("日本語のファイル名.dat", pattern_data(cb + 3, 2));
        add_file(std::string(240, 'L') + ".bin", "a 244-unit name\n");
        add_file("big.bin", pattern_data(300000, 3));
        for (uint32_t size : {0u, 1u, cb - 1, cb, cb + 1, 2 * cb, 3 * cb + 17})
            add_file("sizes/size " + std::to_string(size) + ".bin", pattern_data(size, size));
        std::string deep = "deep";
        for (int i = 1; i <= 12; ++i) deep += "/level " + std::to_string(i);
        add_file(deep + "/leaf file.txt", "deep leaf\n");
        for (int i = 0; i < 2048; ++i) {
            char name[40];
            // Unique in the first six characters: mtools finds a free "~1" short name at
            // once (a common prefix makes it search its numeric tails for every file).
            std::snprintf(name, sizeof name, "many/%04d item.txt", i);
            add_file(name, i % 100 == 0 ? pattern_data(size_t(i) + 1, uint32_t(i)) : "");
        }
        fs::create_directories(fs::path(dir_) / "src" / "empty dir");

        image_ = dir_ + "/fat.img";
        log_ = dir_ + "/tools.log";
        // mtools treats a volume as FAT32 only with at least 65525 clusters.
        uint64_t kb = (uint64_t(70000) * cb) / 1024 + 4096;
        ASSERT_TRUE(run_logged(shell_quote(mkfs_) + " -F 32 -s " + std::to_string(spc) +
                                   " -n DORVEX -C " + shell_quote(image_) + " " +
                                   std::to_string(kb),
                               log_));
        const std::string env = "LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 ";
        ASSERT_TRUE(run_logged("cd " + shell_quote(dir_ + "/src") + " && " + env +
                                   shell_quote(mcopy_) + " -s -Q -i " + shell_quote(image_) +
                                   " * ::/",
                               log_));
        // A fragmented file: fill clusters, free every other one, then copy into the holes.
        std::string fill;
        for (int i = 0; i < 16; ++i) {
            char name[20];
            std::snprintf(name, sizeof name, "FILL%02d.BIN", i);
            add_file(std::string("fill/") + name, pattern_data(cb, 100 + uint32_t(i)));
            fill += " " + std::string(name);
        }
        ASSERT_TRUE(run_logged(env + shell_quote(mcopy_) + " -s -Q -i " + shell_quote(image_) +
                                   " " + shell_quote(dir_ + "/src/fill") + " ::/",
                               log_));
        std::string del;
        for (int i = 0; i < 16; i += 2) {
            char name[30];
            std::snprintf(name, sizeof name, "::/fill/FILL%02d.BIN", i);
            del += " " + std::string(name);
            fs::remove(fs::path(dir_) / "src/fill" / (std::string(name).substr(8)));
        }
        ASSERT_TRUE(
            run_logged(env + shell_quote(mdel_) + " -i " + shell_quote(image_) + del, log_));
        add_file("fill/fragmented file.bin", pattern_data(8 * cb - 5, 77));
        ASSERT_TRUE(run_logged(env + shell_quote(mcopy_) + " -Q -i " + shell_quote(image_) + " " +
                                   shell_quote(dir_ + "/src/fill/fragmented file.bin") +
                                   " ::/fill/",
                               log_));

        // The expected tree, from the host side.
        fs::path root = fs::path(dir_) / "src";
        for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
            std::string rel = fs::relative(it->path(), root).string();
            std::string fat;
            for (const auto &part : fs::path(rel))
                fat += (fat.empty() ? "" : "/") + fat_name(part.string());
            HostFile h{rel, fat, it->is_directory(), ""};
            if (!h.is_dir) {
                std::ifstream in(it->path(), std::ios::binary);
                h.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            }
            files_.push_back(h);
        }
    }

    // A FaultReader whose every sector comes from the image file (sparse; never in memory).
    std::unique_ptr<FaultReader> reader(uint64_t shift, uint64_t *start, uint64_t *end) {
        fd_ = open(image_.c_str(), O_RDONLY);
        EXPECT_GE(fd_, 0);
        uint64_t sectors = uint64_t(fs::file_size(image_)) / 512;
        *start = shift;
        *end = shift + sectors;
        uint8_t boot[512];
        EXPECT_EQ(pread(fd_, boot, 512, 0), 512);
        auto rd = std::make_unique<FaultReader>(empty_, shift, shift + sectors, boot[13]);
        int fd = fd_;
        rd->synth = [fd, shift](uint64_t s, uint8_t *buf) {
            // Sectors before the volume (a partition offset) read as zeros.
            if (s < shift || pread(fd, buf, 512, off_t((s - shift) * 512)) != 512)
                std::memset(buf, 0, 512);
        };
        return rd;
    }

    void verify(readfat_volume *vol);

    std::string mkfs_, mcopy_, mdel_, dir_, image_, log_;
    std::vector<HostFile> files_;
    std::vector<uint8_t> empty_;
    int fd_ = -1;
};

// Lists every directory through entries (open_entry / opendir_entry), recursively.
void walk(readfat_volume *vol, readfat_dir *d, const std::string &prefix,
          std::map<std::string, std::string> &files,
          std::map<std::string, std::vector<std::string>> &dirs) {
    std::vector<dv_entry> subdirs;
    auto &names = dirs[prefix];
    const dv_entry *e;
    int err = 0;
    while ((e = readfat_readdir(vol, d, &err)) != nullptr) {
        std::string name = to_utf8(e->name);
        if (name == "." || name == "..") continue;
        if (uint8_t(e->shortname[0]) == 0xE5) continue; // deleted
        if (e->attr & DV_ATTR_VOLUME) continue;
        names.push_back(name);
        std::string path = prefix.empty() ? name : prefix + "/" + name;
        if (e->attr & DV_ATTR_DIRECTORY) {
            subdirs.push_back(*e);
            continue;
        }
        readfat_file *f = readfat_open_entry(vol, e, &err);
        if (!f) {
            ADD_FAILURE() << "open_entry " << path << ": " << err;
            continue;
        }
        int rerr = 0;
        files[path] = read_handle(vol, f, 50000, &rerr);
        EXPECT_EQ(rerr, 0) << path;
        readfat_close(vol, f);
    }
    EXPECT_EQ(err, DV_E_ENDDIR) << prefix;
    readfat_closedir(vol, d);
    for (const dv_entry &s : subdirs) {
        std::string name = to_utf8(s.name);
        readfat_dir *sd = readfat_opendir_entry(vol, &s, &err);
        ASSERT_NE(sd, nullptr) << name;
        walk(vol, sd, prefix.empty() ? name : prefix + "/" + name, files, dirs);
    }
}

void Interop::verify(readfat_volume *vol) {
    // Listings, through entries, against the host tree.
    std::map<std::string, std::string> got_files;
    std::map<std::string, std::vector<std::string>> got_dirs;
    readfat_dir *root = readfat_opendir(vol, "/", nullptr);
    ASSERT_NE(root, nullptr);
    walk(vol, root, "", got_files, got_dirs);

    std::map<std::string, std::vector<std::string>> want_dirs;
    want_dirs[""];
    size_t nfiles = 0;
    for (const HostFile &h : files_) {
        size_t slash = h.fat.rfind('/');
        std::string parent = slash == std::string::npos ? "" : h.fat.substr(0, slash);
        want_dirs[parent].push_back(h.fat.substr(slash == std::string::npos ? 0 : slash + 1));
        if (h.is_dir) {
            want_dirs[h.fat];
            continue;
        }
        ++nfiles;
        auto it = got_files.find(h.fat);
        if (it == got_files.end()) {
            ADD_FAILURE() << "not found by listing: " << h.fat;
            continue;
        }
        EXPECT_TRUE(it->second == h.data)
            << h.fat << ": " << it->second.size() << " bytes, want " << h.data.size();
    }
    EXPECT_EQ(got_files.size(), nfiles);
    for (auto &[d, names] : want_dirs) std::sort(names.begin(), names.end());
    for (auto &[d, names] : got_dirs) std::sort(names.begin(), names.end());
    EXPECT_EQ(got_dirs, want_dirs);
    EXPECT_EQ(got_dirs["MANY"].size(), 2048u);

    // And by path: stat, open and read every file and open every directory; in the big
    // directory (each lookup scans it from the start) every 64th name and the last.
    size_t in_many = 0;
    for (const HostFile &h : files_) {
        if (h.rel.rfind("many/", 0) == 0 && in_many++ % 64 != 0 && in_many != 2048) continue;
        dv_entry e;
        ASSERT_EQ(readfat_stat(vol, h.fat.c_str(), &e), 0) << h.fat;
        if (h.is_dir) {
            EXPECT_TRUE(e.attr & DV_ATTR_DIRECTORY) << h.fat;
            int err = 0;
            readfat_dir *d = readfat_opendir(vol, h.fat.c_str(), &err);
            ASSERT_NE(d, nullptr) << h.fat;
            readfat_closedir(vol, d);
            continue;
        }
        EXPECT_EQ(e.size, h.data.size()) << h.fat;
        std::string got = read_file(vol, h.fat.c_str(), 4096);
        EXPECT_TRUE(got == h.data) << h.fat;
    }
}

} // namespace

TEST_P(Interop, EveryFileAndListingMatches) {
    build(GetParam());
    if (HasFatalFailure()) return;
    uint64_t start, end;
    auto rd = reader(0, &start, &end);
    TrackingAlloc alloc;
    int err = 0;
    readfat_volume *vol =
        readfat_new2(start, end, 512, rd.get(), FaultReader::cb, kUtf8, 8, 16, &err, &alloc,
                     TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
    ASSERT_NE(vol, nullptr) << err;
    EXPECT_EQ(vol->sectors_per_cluster, GetParam());
    verify(vol);
    readfat_delete(vol);
    EXPECT_EQ(rd->bad_requests(), 0u);
    close(fd_);

    // The same volume as a partition at sector 2048 of a larger disk, with the flags the
    // volume reader is meant for (ASCII paths, both separators).
    rd = reader(2048, &start, &end);
    vol = readfat_new(start, end, 512, rd.get(), FaultReader::cb, readfat_optimal_flags(), 2, 2,
                      &err);
    ASSERT_NE(vol, nullptr) << err;
    EXPECT_TRUE(read_file(vol, "\\BIG.BIN") == pattern_data(300000, 3));
    EXPECT_TRUE(read_file(vol, "FILL/fragmented file.bin") ==
                pattern_data(8 * GetParam() * 512 - 5, 77));
    auto l = list_dir(vol, "SIZES");
    EXPECT_EQ(names_of(l, true).size(), 7u);
    readfat_delete(vol);
    EXPECT_EQ(rd->bad_requests(), 0u);
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, Interop, testing::Values(1u, 8u, 64u),
                         [](const testing::TestParamInfo<uint32_t> &i) {
                             return "s" + std::to_string(i.param);
                         });
