// Deleted files on images made by mkfs.fat and mcopy, then mdel and mdeltree: listed under
// their long names and recovered, side by side with The Sleuth Kit's fls -d and icat -r.
#include "support/tools.h"
#include "support/volume_util.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
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
        for (const char *t : {"mkfs.fat", "mcopy", "mmd", "mdel", "mdeltree"})
            if (find_tool(t).empty()) GTEST_SKIP() << t << " (dosfstools, mtools) is needed";
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
    if (find_tool("fls").empty() || find_tool("icat").empty()) return;
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

} // namespace
