// Deleted files on images made by mkfs.fat and mcopy, then mdel and mdeltree: listed under
// their long names and recovered, side by side with The Sleuth Kit's fls -d, icat -r and
// tsk_recover.
#include "support/tools.h"
#include "support/volume_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

using namespace dvtest;
namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string &path) {
    const std::vector<uint8_t> bytes = read_whole(path);
    return std::string(bytes.begin(), bytes.end());
}

const uint32_t kFlags = DV_CHARSET_UTF8 | DV_FLAG_UTF16 | DV_FLAG_SLASH | DV_FLAG_SKIP_LEADING_SEP |
                        DV_FLAG_LENIENT | DV_FLAG_NTCASE;

struct Deleted : testing::Test {
    void SetUp() override {
        DV_NEED_TOOLS("mkfs.fat", "mcopy", "mmd", "mdel", "mdeltree");
        char tmpl[] = "/tmp/dorvex-deleted.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        img = dir + "/del.img";
        log = dir + "/log";
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir.empty()) fs::remove_all(dir, ec);
    }
    void put(const std::string &name, const std::string &data) {
        const std::string host = dir + "/src.bin";
        std::ofstream(host, std::ios::binary) << data;
        files[name] = data;
        run_logged("MTOOLS_SKIP_CHECK=1 mcopy -i " + shell_quote(img) + " " + shell_quote(host) +
                       " " + shell_quote("::" + name),
                   log);
    }
    void mtools(const std::string &cmd, const std::string &path) {
        run_logged("MTOOLS_SKIP_CHECK=1 " + cmd + " -i " + shell_quote(img) + " " +
                       shell_quote("::" + path),
                   log);
    }
    // Makes the next mcopy take the lowest free clusters, those the deletions freed.
    void reuse_freed_clusters() {
        std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(512 + 492);
        const char two[4] = {2, 0, 0, 0};
        f.write(two, 4);
    }

    std::string dir, img, log;
    std::map<std::string, std::string> files;
};

TEST_F(Deleted, ListedUnderLongNamesAndRecoveredLikeIcat) {
    ASSERT_TRUE(run_logged("mkfs.fat -C -F 32 -s 1 " + shell_quote(img) + " 40000", log));
    put("Photo number one.jpg", pattern_data(5000, 1));
    // An 8.3 name alone loses its first letter with the deletion: it comes back as "_".
    put("second file.txt", pattern_data(3000, 2));
    put("Third Long.bin", pattern_data(9000, 3));
    mtools("mmd", "Old Photos");
    put("Old Photos/inner long name.dat", pattern_data(2000, 4));
    put("Old Photos/SHORT.TXT", pattern_data(1500, 5));
    mtools("mdel", "second file.txt");
    mtools("mdeltree", "Old Photos");
    mtools("mdel", "Photo number one.jpg");
    reuse_freed_clusters();
    put("reuse.bin", pattern_data(1000, 6)); // takes the photo's first clusters
    ASSERT_FALSE(HasFailure());
    files["Old Photos/_HORT.TXT"] = files["Old Photos/SHORT.TXT"];
    files.erase("Old Photos/SHORT.TXT");

    std::ifstream in(img, std::ios::binary);
    std::vector<uint8_t> disk((std::istreambuf_iterator<char>(in)), {});
    FaultReader rd(disk, 0, disk.size() / 512, 1);
    TrackingAlloc alloc;
    int err = 0;
    auto mount = [&](uint32_t flags) {
        return readfat_new2(0, disk.size() / 512, 512, &rd, FaultReader::cb, flags, 4, 4, &err,
                            &alloc, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
    };

    // Without the bit: as before, a deleted long-named entry gives no record and a deleted
    // directory cannot be reached.
    readfat_volume *vol = mount(kFlags);
    ASSERT_NE(vol, nullptr);
    for (const Listed &l : list_dir(vol, "/")) EXPECT_EQ(l.shortname[0] == '\xE5', false);
    dv_entry e;
    EXPECT_EQ(readfat_stat(vol, "/Old Photos/SHORT.TXT", &e), ENOENT);
    readfat_delete(vol);

    vol = mount(kFlags | DV_FLAG_DELETED);
    ASSERT_NE(vol, nullptr);
    std::map<std::string, bool> listed; // name -> deleted
    for (const Listed &l : list_dir(vol, "/")) listed[utf8(l.name)] = l.shortname[0] == '\xE5';
    EXPECT_TRUE(listed.at("second file.txt"));
    EXPECT_TRUE(listed.at("Old Photos"));
    EXPECT_FALSE(listed.at("Third Long.bin"));
    EXPECT_FALSE(listed.at("reuse.bin"));
    // reuse.bin's entry took the slot of the photo's first long-name entry (the one with
    // the end of its name), so the name ends where the remaining entry ends, as in fls.
    EXPECT_TRUE(listed.at("Photo number "));
    files["Photo number "] = files["Photo number one.jpg"];
    files.erase("Photo number one.jpg");

    // Recovered bytes: the original where the clusters are untouched, and through a deleted
    // directory; the photo lost its first clusters to reuse.bin and says so.
    std::map<std::string, std::string> got;
    for (const auto &[name, data] : files) {
        readfat_file *f = readfat_open(vol, ("/" + name).c_str(), &err);
        ASSERT_NE(f, nullptr) << name << " " << err;
        got[name] = read_handle(vol, f, 700, &err);
        EXPECT_EQ(f->damaged != 0, name == "Photo number ") << name;
        readfat_close(vol, f);
    }
    for (const char *name : {"second file.txt", "Old Photos/inner long name.dat",
                             "Old Photos/_HORT.TXT", "Third Long.bin", "reuse.bin"})
        EXPECT_TRUE(got[name] == files[name]) << name;
    EXPECT_EQ(got["Photo number "].size(), 5000u);
    readfat_delete(vol);
    EXPECT_EQ(rd.bad_requests(), 0u);

    // Side by side with The Sleuth Kit: the same deleted names, the same bytes wherever
    // icat -r gives the original back.
    DV_NEED_TOOLS("fls", "icat");
    const std::string listing = dir + "/fls.txt";
    ASSERT_TRUE(run_logged("fls -r -d -p " + shell_quote(img) + " > " + shell_quote(listing), log));
    std::istringstream lines(slurp(listing));
    std::string line;
    int matched = 0;
    vol = mount(kFlags | DV_FLAG_DELETED);
    while (std::getline(lines, line)) {
        // "r/r * 567:\tOld Photos/inner long name.dat"
        const size_t star = line.find("* "), tab = line.find('\t');
        if (line.rfind("r/r", 0) != 0 || star == std::string::npos || tab == std::string::npos)
            continue;
        const std::string inode = line.substr(star + 2, line.find(':') - star - 2);
        const std::string path = line.substr(tab + 1), out = dir + "/icat.bin";
        ASSERT_TRUE(run_logged(
            "icat -r " + shell_quote(img) + " " + inode + " > " + shell_quote(out), log));
        const std::string theirs = slurp(out);
        EXPECT_EQ(readfat_stat(vol, ("/" + path).c_str(), &e), 0) << path;
        if (files.count(path) != 0 && theirs == files[path]) {
            EXPECT_TRUE(read_file(vol, ("/" + path).c_str(), 4096) == theirs) << path;
            ++matched;
        }
    }
    readfat_delete(vol);
    EXPECT_EQ(matched, 3) << "icat -r recovers three of the four deleted files whole";
}

// ---- A deleted folder over several clusters ----------------------------------------------

// Reads sectors of an image file as they are asked for: the card's image is sparse and
// larger than it is worth holding in memory.
struct FileReader {
    int fd = -1;
    static int32_t cb(void *self, void *buf, uint64_t sector, uint32_t count) {
        const ssize_t n = pread(static_cast<FileReader *>(self)->fd, buf, size_t{count} * 512,
                                off_t(sector * 512));
        return n <= 0 ? -1 : int32_t(n / 512);
    }
};

struct FolderCase {
    const char *what;
    std::string mkfs;   // mkfs.fat options
    std::string kib;    // the image's size
    std::string parent; // "" (the root) or one directory
    std::string folder;
    std::map<std::string, std::string> files;
};

// Makes the image, deletes the folder with mdeltree, then lists and reads what is left of
// it: every record below it must be one of its files (an 8.3 name without its first
// letter), deleted, with its size, read back byte for byte, and so must every file that
// fls -r -d reaches through it. The counts go beside tsk_recover -e's, which scans for
// orphans too.
void deleted_folder(const FolderCase &c) {
    const std::string dir = scratch_dir("dorvex-deltree"), img = dir + "/i.img", log = dir + "/log";
    const std::string path = c.parent.empty() ? c.folder : c.parent + "/" + c.folder;
    fs::create_directories(dir + "/src/" + path);
    std::map<std::string, const std::string *> by_name;
    for (const auto &[name, data] : c.files) {
        std::ofstream(dir + "/src/" + path + "/" + name, std::ios::binary) << data;
        const bool short_only = std::none_of(name.begin(), name.end(), ::islower);
        by_name[short_only ? "_" + name.substr(1) : name] = &data;
    }
    const std::string top = dir + "/src/" + path.substr(0, path.find('/'));
    ASSERT_TRUE(run_logged("mkfs.fat -C " + c.mkfs + " " + shell_quote(img) + " " + c.kib +
                               " && MTOOLS_SKIP_CHECK=1 mcopy -s -i " + shell_quote(img) + " " +
                               shell_quote(top) + " ::/ && MTOOLS_SKIP_CHECK=1 mdeltree -i " +
                               shell_quote(img) + " " + shell_quote("::/" + path),
                           log));

    FileReader rd{open(img.c_str(), O_RDONLY)};
    TrackingAlloc alloc;
    int err = 0;
    readfat_volume *vol = readfat_new2(0, uint64_t(fs::file_size(img)) / 512, 512, &rd,
                                       FileReader::cb, kFlags | DV_FLAG_DELETED, 2, 2, &err, &alloc,
                                       TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
    ASSERT_NE(vol, nullptr) << err;
    dv_entry folder{}; // the deleted folder, as its parent lists it
    folder.attr = DV_ATTR_DIRECTORY;
    folder.deleted = 1;
    for (const Listed &l : list_dir(vol, c.parent.c_str()))
        if (l.shortname[0] == '\xE5' && l.attr == DV_ATTR_DIRECTORY) folder.cluster = l.cluster;
    readfat_dir *d = readfat_opendir_entry(vol, &folder, &err);
    ASSERT_NE(d, nullptr);
    std::vector<dv_entry> records;
    for (const dv_entry *e; (e = readfat_readdir(vol, d, &err)) != nullptr;) records.push_back(*e);
    EXPECT_EQ(err, DV_E_ENDDIR);
    readfat_closedir(vol, d);
    std::set<std::string> ours;
    for (const dv_entry &e : records) {
        const std::string name = to_utf8(e.name);
        EXPECT_EQ(e.deleted, 1) << name;
        if (name == "." || name == "..") continue;
        ASSERT_EQ(by_name.count(name), 1u) << "no such file: " << name;
        EXPECT_EQ(e.size, by_name[name]->size()) << name;
        readfat_file *f = readfat_open_entry(vol, &e, &err);
        EXPECT_TRUE(read_handle(vol, f, 65536, &err) == *by_name[name]) << name;
        readfat_close(vol, f);
        ours.insert(name);
    }
    readfat_delete(vol);
    close(rd.fd);

    // fls -r -d from the parent: a card's root would be scanned for orphans.
    const std::string q = shell_quote(img), parent = shell_quote("/" + c.parent);
    ASSERT_TRUE(run_logged("fls -r -d -p " + q + " $(ifind -n " + parent + " " + q + ") > " +
                               shell_quote(dir + "/fls") + " && tsk_recover -e " + q + " " +
                               shell_quote(dir + "/tsk"),
                           log));
    std::istringstream lines(slurp(dir + "/fls"));
    size_t reachable = 0, theirs = 0;
    for (std::string line; std::getline(lines, line);) {
        // "r/r * 1034:\t_00CANON/_MG_0203.JPG"
        const size_t slash = line.find('/', line.find('\t'));
        if (line.rfind("r/r", 0) != 0 || slash == std::string::npos ||
            line.find("$OrphanFiles") != std::string::npos)
            continue;
        ++reachable;
        EXPECT_EQ(ours.count(line.substr(slash + 1)), 1u) << "fls reaches " << line;
    }
    std::set<std::string> originals;
    for (const auto &[name, data] : c.files) originals.insert(data);
    for (const auto &f : fs::recursive_directory_iterator(dir + "/tsk"))
        if (f.is_regular_file()) theirs += originals.count(slurp(f.path().string()));
    std::cout << c.what << ": " << ours.size() << " of " << c.files.size()
              << " files listed and recovered byte for byte through the deleted folder; fls -r -d"
              << " reaches " << reachable << " there; tsk_recover -e recovers " << theirs
              << " (orphans included)\n";
    // The folder's later clusters lie behind its files' data: every file comes back.
    EXPECT_EQ(ours.size(), c.files.size());
    fs::remove_all(dir);
}

FolderCase floppy() {
    FolderCase c{"floppy", "-F 12", "1440", "", "Holiday", {}};
    for (int i = 0; i < 40; ++i) {
        const std::string name = i % 2 ? "Picture number " + std::to_string(i) + ".jpg"
                                       : "PIC" + std::to_string(1000 + i) + ".JPG";
        std::string data;
        if (i % 3 == 0) {
            for (int k = 0; k < 60 + 7 * i; ++k) data += "line " + std::to_string(k) + ", text.\n";
        } else if (i % 3 == 1) {
            data = "\xFF\xD8\xFF\xE0" + pattern_data(1500 + 331 * size_t(i), uint32_t(i));
        } else {
            data.assign(700 + 13 * size_t(i), '\0');
        }
        c.files[name] = data;
    }
    return c;
}

// A camera's card: FAT32 with 16 KiB clusters (a sparse image of 1 GiB), 400 photos.
FolderCase card() {
    FolderCase c{"camera card", "-F 32 -s 32", "1060000", "DCIM", "100CANON", {}};
    for (int i = 1; i <= 400; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "IMG_%04d.JPG", i);
        c.files[name] =
            "\xFF\xD8\xFF\xE1" + pattern_data(10000 + 97 * size_t(i), uint32_t(i)) + "\xFF\xD9";
    }
    return c;
}

class DeletedFolder : public testing::TestWithParam<FolderCase (*)()> {};

// A folder over several clusters (the floppy's later ones lie behind file data: text,
// random bytes, zeros) deleted with mdeltree.
TEST_P(DeletedFolder, ListsOnlyItsOwnFilesAndRecoversThemBesideTheSleuthKit) {
    DV_NEED_TOOLS("mkfs.fat", "mcopy", "mdeltree", "fls", "ifind", "tsk_recover");
    deleted_folder(GetParam()());
}

INSTANTIATE_TEST_SUITE_P(Images, DeletedFolder, testing::Values(&floppy, &card),
                         [](const testing::TestParamInfo<FolderCase (*)()> &i) {
                             return std::string(i.index == 0 ? "floppy" : "camera_card");
                         });

} // namespace
