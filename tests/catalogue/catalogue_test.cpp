// A catalogue of malformed volumes, each named after its one defect and each with exactly
// one expected outcome of the library. Every image is also written to a file and given to
// the dorvex tool, which must end with its one expected exit status and at most one error
// line, never a crash or a hang.
#include "catalogue/exfat_disk.h"
#include "support/fat_image.h"
#include "support/fault_reader.h"
#include "support/tools.h"
#include "support/volume_util.h"

#include <dorvex/readfat.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace dvtest;
using dorvex::store_le32;

namespace {

enum class Op {
    mount, // the mount's code
    list,  // opendir(path) succeeds; the listing ends with `code`; `names` are listed
    // opendir(path) succeeds; the listing goes on past refused entries to its end: `code`
    // is the first refusal (DV_E_ENDDIR when none), `names` are listed
    list_on,
    stat, // readfat_stat(path) returns `code`
    read, // open(path) succeeds; reading it whole stops with `code` after `bytes` bytes
};

struct Expect {
    Op op;
    std::string path;
    int code;
    int64_t bytes = -1;
    std::string names = "*"; // "|"-joined names without "." and ".." ("*": not compared)
    bool deleted = false;    // mounted with DV_FLAG_DELETED
    uint32_t notes = 0;      // readfat_info's notes must include these
    uint32_t boot_backup = 0;
    bool strict = false; // mounted without DV_FLAG_LENIENT
};

// What the tool must do with the image: its arguments (IMG stands for the image file,
// DEST for an empty directory) and whether it must fail (non-zero exit, exactly one
// error line) or succeed. `more` are further runs with the same outcome, `shell` goes
// before each command (limits, variables), `says` is part of the one error line, and
// `check` looks at DEST afterwards.
struct ToolRun {
    std::vector<std::string> args;
    bool fails = true;
    std::vector<std::vector<std::string>> more = {};
    std::string shell = {};
    std::string says = {};
    std::function<void(int dest_fd)> check = {};
};

struct Built {
    std::unique_ptr<FatImage> img;
    std::unique_ptr<ExfatDisk> ex; // exFAT cases: the volume instead of img
    ExfatDisk::Placed readme, longf, xsub, file_bin, xinner;
    std::vector<uint8_t> &disk() { return ex ? ex->bytes : img->disk(); }
    std::vector<uint32_t> file; // chain of /Long file name.txt (5 clusters) when used
    uint32_t sub = 0, inner = 0;
};

struct Case {
    const char *name;
    std::function<void(Built &)> build;
    Expect expect;
    ToolRun tool;
};

constexpr uint32_t kPast = 120 + 2; // the first cluster number past the data area
constexpr uint32_t kCb = 512;       // one-sector clusters unless a case says otherwise
const std::string kFileData = pattern_data(5 * kCb - 100, 11);

FatGeometry small(uint32_t spc = 1, uint32_t bits = 32) {
    FatGeometry g;
    g.sectors_per_cluster = spc;
    g.cluster_count = bits == 16 ? 4200 : bits == 12 ? 400 : 120;
    g.fat_bits = bits;
    g.root_entries = 32;
    g.reserved_sectors = 4; // small images make small fuzz seeds
    return g;
}

// The usual tree: README.TXT, "Long file name.txt" over five gapped clusters, SUB with
// FILE.BIN and the subdirectory INNER.
void tree(Built &b, uint32_t spc = 1, uint32_t bits = 32) {
    b.img = std::make_unique<FatImage>(small(spc, bits));
    TreeLayout t(*b.img);
    t.file("README.TXT", "hello\n");
    t.file("Long file name.txt", kFileData, FatImage::Spread::gapped);
    t.file("SUB/FILE.BIN", pattern_data(700, 12));
    t.dir("SUB/INNER");
    t.finish();
    b.file = t.find("Long file name.txt")->chain;
    b.sub = t.find("SUB")->first_cluster;
    b.inner = t.find("SUB/INNER")->first_cluster;
}

// A root directory made of README.TXT followed by the given raw entries.
void root_of(Built &b, const DirEntries &extra) {
    b.img = std::make_unique<FatImage>(small());
    DirEntries d;
    d.add_short("README  TXT", DV_ATTR_ARCHIVE, 3, 6);
    for (const RawEntry &e : extra.entries()) d.add_raw(e);
    b.img->place_root(d);
    b.img->write_data({3}, "hello\n");
}

uint8_t checksum_of(const char *sn) {
    return shortname_checksum(reinterpret_cast<const uint8_t *>(sn));
}

// "F100.TXT|F101.TXT|..." for [from, to).
std::string f_names(int from, int to) {
    std::string s;
    for (int i = from; i < to; ++i) s += (s.empty() ? "F" : "|F") + std::to_string(i) + ".TXT";
    return s;
}

// A chain of `levels` directories named D below the root, BOTTOM.TXT in the last one.
const std::string kBottom = pattern_data(700, 13);
void nested(Built &b, uint32_t levels) {
    FatGeometry g = small();
    g.cluster_count = std::max(g.cluster_count, levels + 8);
    b.img = std::make_unique<FatImage>(g);
    const uint32_t file = levels + 3; // directory k (0: the root) is cluster 2 + k
    for (uint32_t k = 0; k <= levels; ++k) {
        DirEntries d;
        if (k > 0) d.add_dots(2 + k, k == 1 ? 0 : 1 + k);
        if (k < levels)
            d.add_short("D          ", DV_ATTR_DIRECTORY, 3 + k, 0);
        else
            d.add_short("BOTTOM  TXT", DV_ATTR_ARCHIVE, file, uint32_t(kBottom.size()));
        b.img->write_dir({2 + k}, d);
    }
    b.img->write_data({file, file + 1}, kBottom);
}

// Follows D/D/... below `fd` (closing it) as far as it goes; returns the number of levels
// and, in `bottom`, BOTTOM.TXT of the last level when it is there.
uint32_t host_levels(int fd, std::string &bottom) {
    uint32_t levels = 0;
    for (int sub; (sub = openat(fd, "D", O_RDONLY | O_DIRECTORY | O_NOFOLLOW)) >= 0; ++levels) {
        close(fd);
        fd = sub;
    }
    if (int f = openat(fd, "BOTTOM.TXT", O_RDONLY); f >= 0) {
        char buf[4096];
        for (ssize_t n; (n = read(f, buf, sizeof buf)) > 0;) bottom.append(buf, size_t(n));
        close(f);
    }
    close(fd);
    return levels;
}

// The deep image's tool runs besides the first: every walking command.
const std::vector<std::vector<std::string>> kWalks = {{"ls", "-R", "IMG"},
                                                      {"ls", "-R", "--json", "IMG"},
                                                      {"info", "IMG"},
                                                      {"get", "-q", "IMG", "/", "DEST"}};

const std::string kRootNames = "README.TXT|Long file name.txt|SUB";
const ToolRun kToolInfo{{"info", "IMG"}};
const ToolRun kToolTree{{"tree", "IMG"}};
const ToolRun kToolCat{{"cat", "IMG", "Long file name.txt"}};
const ToolRun kToolLs{{"ls", "-R", "IMG"}};

// The usual tree with a deleted directory entry "_LD" naming SUB's cluster, just ahead of
// SUB's own entry.
void deleted_ahead_of_sub(Built &b) {
    tree(b);
    const std::vector<uint32_t> root{b.img->root_cluster()};
    size_t at = 0;
    while (std::memcmp(b.img->dir_entry(root, at), "SUB        ", 11) != 0) ++at;
    std::memcpy(b.img->dir_entry(root, at + 1), b.img->dir_entry(root, at), DV_DIRENT_SIZE);
    std::memcpy(b.img->dir_entry(root, at), "\xE5LD        ", 11);
}

// A deleted directory "_LD" over two free clusters: the first full of entries (written
// live, as a tool that frees a directory without touching it leaves them), the second file
// data that took the cluster after it.
void deleted_dir_then_data(Built &b) {
    DirEntries d;
    d.add_short("\xE5LD        ", DV_ATTR_DIRECTORY, 40, 0);
    root_of(b, d);
    DirEntries old;
    old.add_dots(40, 0);
    for (int i = 0; i < 14; ++i)
        old.add_short("F" + std::to_string(100 + i) + "    TXT", DV_ATTR_ARCHIVE, 0, 0);
    b.img->write_dir({40}, old, false);
    b.img->write_data({41}, pattern_data(kCb, 14), false);
}

// Whether `name` in the directory `fd` is a directory holding exactly `names` ("|"-joined,
// sorted).
bool holds(int fd, const char *name, const std::string &names) {
    const int sub = openat(fd, name, O_RDONLY | O_DIRECTORY);
    if (sub < 0) return false;
    std::vector<std::string> found;
    for (const auto &e :
         std::filesystem::directory_iterator("/proc/self/fd/" + std::to_string(sub)))
        found.push_back(e.path().filename().string());
    close(sub);
    std::sort(found.begin(), found.end());
    std::string all;
    for (const std::string &f : found) all += (all.empty() ? "" : "|") + f;
    return all == names;
}

// The exFAT tree: README.TXT, "Long file name.txt" over three gapped clusters linked in the
// FAT, SUB (contiguous) with FILE.BIN and the subdirectory INNER. Empty when mkfs.exfat is
// missing: the test then skips (fails under CI).
const std::string kExData = pattern_data(3 * 4096 - 100, 21);
const std::string kExRoot = "README.TXT|Long file name.txt|SUB";
void extree(Built &b) {
    b.ex = std::make_unique<ExfatDisk>();
    if (!b.ex->ok()) return;
    ExfatDisk &d = *b.ex;
    b.readme = d.add(d.boot.root_cluster, u"README.TXT", "hello\n");
    b.longf = d.add(d.boot.root_cluster, u"Long file name.txt", kExData, false, true);
    b.xsub = d.add(d.boot.root_cluster, u"SUB", "", true);
    b.file_bin = d.add(b.xsub.chain[0], u"FILE.BIN", pattern_data(700, 12));
    b.xinner = d.add(b.xsub.chain[0], u"INNER", "", true);
}

bool is_exfat_case(const char *name) {
    return std::strncmp(name, "exfat_", 6) == 0;
}

std::vector<Case> catalogue() {
    auto boot = [](std::function<void(FatImage &)> f) {
        return [f](Built &b) {
            tree(b);
            f(*b.img);
        };
    };
    auto fat = [](std::function<void(Built &)> f) {
        return [f](Built &b) {
            tree(b);
            f(b);
        };
    };
    auto ex = [](std::function<void(Built &, ExfatDisk &)> f) {
        return [f](Built &b) {
            extree(b);
            if (b.ex->ok()) f(b, *b.ex);
        };
    };
    const uint32_t kExCb = 4096;
    return {
        // ---- Boot sector ---------------------------------------------------------------
        {"boot_no_signature",
         boot([](FatImage &i) { i.set_signature(false); }),
         {Op::mount, "", DV_E_BOOTSIG},
         kToolInfo},
        {"boot_zero_sectors_per_cluster",
         boot([](FatImage &i) { i.set_boot8(13, 0); }),
         {Op::mount, "", DV_E_BADPBR},
         kToolInfo},
        {"boot_odd_sectors_per_cluster",
         [](Built &b) { tree(b, 3); },
         {Op::read, "Long file name.txt", 0, int64_t(kFileData.size())},
         {{"cat", "IMG", "Long file name.txt"}, false}}, // the tool reads it too, as mtools does
        {"boot_zero_fats",
         boot([](FatImage &i) { i.set_boot8(16, 0); }),
         {Op::mount, "", DV_E_BADPBR},
         kToolInfo},
        {"boot_zero_fat_size",
         boot([](FatImage &i) { i.set_boot32(36, 0); }),
         {Op::mount, "", DV_E_BADPBR},
         kToolInfo},
        {"boot_zero_reserved_sectors",
         boot([](FatImage &i) { i.set_boot16(14, 0); }),
         {Op::mount, "", DV_E_BADPBR},
         kToolInfo},
        {"boot_data_area_without_whole_cluster",
         boot([](FatImage &i) { i.set_boot32(36, i.fat_sectors() + 61); }), // 120 - 2*61 < 0
         {Op::mount, "", DV_E_BADPBR},
         kToolInfo},
        {"boot_root_cluster_0",
         boot([](FatImage &i) { i.set_boot32(44, 0); }),
         {Op::mount, "", DV_E_BADPBR},
         kToolInfo},
        {"boot_root_cluster_1",
         boot([](FatImage &i) { i.set_boot32(44, 1); }),
         {Op::mount, "", DV_E_BADPBR},
         kToolInfo},
        {"boot_root_cluster_past_end",
         boot([](FatImage &i) { i.set_boot32(44, kPast); }),
         {Op::mount, "", DV_E_BADPBR},
         kToolInfo},
        {"boot_root_cluster_last",
         boot([](FatImage &i) { i.set_boot32(44, kPast - 1); }),
         {Op::list, "", DV_E_ENDDIR, -1, ""},
         {{"ls", "IMG"}, false}},

        // ---- FAT chains ----------------------------------------------------------------
        // A cluster that points at itself is caught at once; a longer cycle that does not
        // close on the chain's first cluster is noticed within a few steps, so its looping
        // cluster is read once more before the read fails (the listings repeat it too).
        {"fat_file_chain_selfloop",
         fat([](Built &b) { b.img->set_fat(b.file[1], b.file[1]); }),
         {Op::read, "Long file name.txt", DV_E_BROKENCHAIN, 2 * kCb},
         kToolCat},
        {"fat_file_chain_two_cycle",
         fat([](Built &b) { b.img->set_fat(b.file[2], b.file[1]); }),
         {Op::read, "Long file name.txt", DV_E_BROKENCHAIN, 4 * kCb},
         kToolCat},
        {"fat_dir_chain_selfloop",
         [](Built &b) {
             b.img = std::make_unique<FatImage>(small());
             DirEntries d;
             for (int i = 0; i < 40; ++i)
                 d.add_short("F" + std::to_string(100 + i) + "    TXT", DV_ATTR_ARCHIVE, 0, 0);
             auto chain = b.img->place_root(d); // three clusters
             b.img->set_fat(chain[1], chain[1]);
         },
         {Op::list, "", DV_E_ENDDIR, -1, f_names(100, 132)},
         {{"ls", "IMG"}, false}},
        {"fat_dir_chain_two_cycle",
         [](Built &b) {
             b.img = std::make_unique<FatImage>(small());
             DirEntries d;
             for (int i = 0; i < 40; ++i)
                 d.add_short("F" + std::to_string(100 + i) + "    TXT", DV_ATTR_ARCHIVE, 0, 0);
             auto chain = b.img->place_root(d);
             b.img->set_fat(chain[2], chain[1]);
         },
         {Op::list, "", DV_E_ENDDIR, -1, f_names(100, 140)},
         {{"ls", "IMG"}, false}},
        {"fat_chain_to_cluster_0",
         fat([](Built &b) { b.img->set_fat(b.file[2], 0); }),
         {Op::read, "Long file name.txt", DV_E_BROKENCHAIN, 3 * kCb},
         kToolCat},
        {"fat_chain_to_cluster_1",
         fat([](Built &b) { b.img->set_fat(b.file[0], 1); }),
         {Op::read, "Long file name.txt", DV_E_BROKENCHAIN, kCb},
         kToolCat},
        {"fat_chain_past_volume",
         fat([](Built &b) { b.img->set_fat(b.file[3], kPast + 7); }),
         {Op::read, "Long file name.txt", DV_E_BROKENCHAIN, 4 * kCb},
         kToolCat},
        {"fat_chain_past_fat",
         fat([](Built &b) { b.img->set_fat(b.file[1], 0x0ABCDEF0); }),
         {Op::read, "Long file name.txt", DV_E_BROKENCHAIN, 2 * kCb},
         kToolCat},
        {"fat_chain_bad_cluster_mark",
         fat([](Built &b) { b.img->set_fat(b.file[0], 0x0FFFFFF7); }),
         {Op::read, "Long file name.txt", DV_E_BROKENCHAIN, kCb},
         kToolCat},
        {"fat_chain_shorter_than_size",
         fat([](Built &b) { b.img->set_fat(b.file[1], kEndOfChain); }),
         {Op::read, "Long file name.txt", DV_E_BROKENCHAIN, 2 * kCb},
         kToolCat},
        {"fat_free_entry_inside_chain",
         fat([](Built &b) {
             // The chain runs into a cluster that the FAT says is free.
             b.img->set_fat(b.file[1], 100);
             b.img->set_fat(100, 0);
         }),
         {Op::read, "Long file name.txt", DV_E_BROKENCHAIN, 3 * kCb},
         kToolCat},
        {"fat_size_beyond_4gib_chain",
         fat([](Built &b) {
             // The size field says 0xFFFFFFFF; the chain holds five clusters.
             auto root = std::vector<uint32_t>{b.img->root_cluster()};
             for (size_t i = 0; i < 16; ++i) {
                 uint8_t *e = b.img->dir_entry(root, i);
                 if (std::string(reinterpret_cast<char *>(e), 5) == "LONGF")
                     e[28] = e[29] = e[30] = e[31] = 0xFF;
             }
         }),
         {Op::read, "Long file name.txt", DV_E_BROKENCHAIN, 5 * kCb},
         kToolCat},
        {"fat_dir_chain_to_cluster_0",
         [](Built &b) {
             b.img = std::make_unique<FatImage>(small());
             DirEntries d;
             for (int i = 0; i < 20; ++i)
                 d.add_short("F" + std::to_string(100 + i) + "    TXT", DV_ATTR_ARCHIVE, 0, 0);
             auto chain = b.img->place_root(d); // two clusters
             b.img->set_fat(chain[0], 0);
         },
         {Op::list, "", EIO, -1, "*"},
         {{"ls", "IMG"}, true}},

        // ---- Directory structure --------------------------------------------------------
        {"dir_cycle_through_subdirectories",
         fat([](Built &b) {
             DirEntries d;
             d.add_dots(b.inner, b.sub);
             d.add_short("LOOP       ", DV_ATTR_DIRECTORY, b.sub, 0);
             b.img->write_dir({b.inner}, d);
         }),
         {Op::list, "SUB/INNER/LOOP/INNER/LOOP", DV_E_ENDDIR, -1, "FILE.BIN|INNER"},
         kToolTree},
        {"dir_dotdot_cluster_0",
         [](Built &b) { tree(b); },
         {Op::list, "SUB/..", DV_E_ENDDIR, -1, kRootNames},
         {{"ls", "IMG", "SUB/.."}, false}},
        {"dir_end_mark_mid_cluster",
         [](Built &b) {
             DirEntries d;
             d.add_short("BEFORE  TXT", DV_ATTR_ARCHIVE, 0, 0);
             d.add_end();
             d.add_short("AFTER   TXT", DV_ATTR_ARCHIVE, 0, 0);
             root_of(b, d);
         },
         {Op::list, "", DV_E_ENDDIR, -1, "README.TXT|BEFORE.TXT"},
         {{"ls", "IMG"}, false}},
        {"dir_entry_cluster_past_end",
         [](Built &b) {
             DirEntries d;
             d.add_short("BROKEN     ", DV_ATTR_DIRECTORY, kPast + 3, 0);
             root_of(b, d);
         },
         {Op::list, "BROKEN", EIO, -1, ""},
         {{"ls", "IMG", "BROKEN"}, true}},

        // ---- Long-name runs --------------------------------------------------------------
        {"lfn_bad_checksum",
         [](Built &b) {
             DirEntries d;
             const char *sn = "LONGNA~1TXT";
             d.add_raw(raw_lfn(0x42, u"long name here.txt", checksum_of(sn) ^ 0x5A));
             d.add_raw(raw_lfn(0x01, u"long name here.txt", checksum_of(sn) ^ 0x5A));
             d.add_short(sn, DV_ATTR_ARCHIVE, 0, 0);
             root_of(b, d);
         },
         {Op::list, "", DV_E_ENDDIR, -1, "README.TXT|LONGNA~1.TXT"}, // the 8.3 name survives
         {{"ls", "IMG"}, false}},
        {"lfn_missing_sequence_number",
         [](Built &b) {
             DirEntries d;
             const std::u16string n = u"a name of thirty units or more!";
             const char *sn = "ANAMEO~1   ";
             d.add_raw(raw_lfn(0x43, n, checksum_of(sn)));
             d.add_raw(raw_lfn(0x01, n, checksum_of(sn))); // 0x02 is missing
             d.add_short(sn, DV_ATTR_ARCHIVE, 0, 0);
             root_of(b, d);
         },
         {Op::stat, "a name of thirty units or more!", ENOENT},
         {{"ls", "IMG"}, false}},
        {"lfn_no_last_entry_flag",
         [](Built &b) {
             DirEntries d;
             const std::u16string n = u"no last flag.txt";
             const char *sn = "NOLAST~1TXT";
             d.add_raw(raw_lfn(0x02, n, checksum_of(sn))); // 0x42 expected
             d.add_raw(raw_lfn(0x01, n, checksum_of(sn)));
             d.add_short(sn, DV_ATTR_ARCHIVE, 0, 0);
             root_of(b, d);
         },
         {Op::list, "", DV_E_ENDDIR, -1, "README.TXT|NOLAST~1.TXT"},
         {{"ls", "IMG"}, false}},
        {"lfn_orphan_entries",
         [](Built &b) {
             DirEntries d;
             d.add_raw(raw_lfn(0x42, u"orphan run without a short entry", 0x11));
             d.add_raw(raw_lfn(0x01, u"orphan run without a short entry", 0x11));
             d.add_long(u"kept.txt", "KEPT    TXT", DV_ATTR_ARCHIVE, 0, 0);
             d.add_raw(raw_lfn(0x01, u"trailing orphan", 0x22));
             root_of(b, d);
         },
         {Op::list, "", DV_E_ENDDIR, -1, "README.TXT|kept.txt"},
         {{"ls", "IMG"}, false}},
        {"lfn_run_of_21_entries",
         [](Built &b) {
             DirEntries d;
             d.add_short("FIRST   TXT", DV_ATTR_ARCHIVE, 0, 0);
             std::u16string n(260, u'x');
             const char *sn = "XXXXXX~1   ";
             for (int s = 21; s >= 1; --s)
                 d.add_raw(raw_lfn(uint8_t(s == 21 ? 0x40 | s : s), n, checksum_of(sn)));
             d.add_short(sn, DV_ATTR_ARCHIVE, 0, 0);
             d.add_short("LAST    TXT", DV_ATTR_ARCHIVE, 0, 0);
             root_of(b, d);
         },
         {Op::list, "", EILSEQ, -1, "README.TXT|FIRST.TXT"}, // cut short, and says so
         {{"ls", "IMG"}, true, {}, {}, "damaged long-name entries"}},
        {"lfn_deleted_entry_inside_run",
         [](Built &b) {
             DirEntries d;
             const std::u16string n = u"three entries of long name text";
             const char *sn = "THREEE~1   ";
             d.add_raw(raw_lfn(0x43, n, checksum_of(sn)));
             RawEntry mid = raw_lfn(0x02, n, checksum_of(sn));
             mid[0] = 0xE5;
             d.add_raw(mid);
             d.add_raw(raw_lfn(0x01, n, checksum_of(sn)));
             d.add_short(sn, DV_ATTR_ARCHIVE, 0, 0);
             root_of(b, d);
         },
         {Op::stat, "three entries of long name text", ENOENT},
         {{"ls", "IMG"}, false}},
        {"short_name_bytes_80_to_ff",
         [](Built &b) {
             DirEntries d;
             d.add_raw(raw_short("\x80\xE9\xFF"
                                 "ABC  \x99\xA0\xFE",
                                 DV_ATTR_ARCHIVE, 3, 6));
             root_of(b, d);
         },
         {Op::stat, "README.TXT", 0},
         {{"ls", "-l", "IMG"}, false}},
        {"name_with_slash",
         [](Built &b) {
             DirEntries d;
             d.add_long(u"a/b.txt", "AB~1    TXT", DV_ATTR_ARCHIVE, 3, 6);
             root_of(b, d);
         },
         {Op::list, "", DV_E_ENDDIR, -1, "README.TXT|a/b.txt"},
         {{"get", "-q", "IMG", "/", "DEST"},
          false, // saved under a substitute, with a warning
          {},
          "",
          "",
          [](int dest) { EXPECT_EQ(faccessat(dest, "a_b.txt", F_OK, AT_SYMLINK_NOFOLLOW), 0); }}},
        {"name_with_nul",
         [](Built &b) {
             DirEntries d;
             d.add_long(std::u16string(u"ab\0cd.txt", 9), "ABCD~1  TXT", DV_ATTR_ARCHIVE, 3, 6);
             root_of(b, d);
         },
         {Op::list, "", DV_E_ENDDIR, -1, "README.TXT|ab"},
         {{"get", "-q", "IMG", "/", "DEST"}, false}}, // "ab" is a fine name
        // Walks hold no stack frame and no file descriptor per level (64 descriptors
        // in all here), and extraction recreates every level inside DEST.
        {"dir_nested_10000_levels",
         [](Built &b) { nested(b, 10000); },
         {Op::list, "", DV_E_ENDDIR, -1, "D"},
         {{"tree", "IMG"},
          false,
          kWalks,
          "ulimit -n 64 && ",
          "",
          [](int dest) {
              std::string bottom;
              EXPECT_EQ(host_levels(dest, bottom), 10000u);
              EXPECT_TRUE(bottom == kBottom) << bottom.size() << " bytes";
          }}},
        {"dir_nested_past_depth_cap",
         [](Built &b) { nested(b, 40); },
         {Op::list, "", DV_E_ENDDIR, -1, "D"},
         {{"tree", "IMG"},
          true,
          kWalks,
          "DORVEX_TEST_MAX_DEPTH=30 ",
          ": deeper than 30 directory levels, not followed",
          [](int dest) {
              std::string bottom;
              EXPECT_EQ(host_levels(dest, bottom), 30u);
          }}},
        {"dir_nested_past_path_cap",
         [](Built &b) { nested(b, 40); },
         {Op::list, "", DV_E_ENDDIR, -1, "D"},
         {{"tree", "IMG"},
          true,
          kWalks,
          "DORVEX_TEST_MAX_PATH=50 ",
          "/D/D/D: path longer than 50 bytes, not followed"}},
        // ---- FAT12 and FAT16 ---------------------------------------------------------------
        {"fat12_root_entries_0",
         [](Built &b) {
             tree(b, 1, 12);
             b.img->set_boot16(17, 0);
         },
         {Op::mount, "", DV_E_BADPBR},
         kToolInfo},
        {"fat12_root_entries_not_multiple_of_16",
         [](Built &b) {
             // 24 entries in two sectors, but only the first 20 count.
             b.img = std::make_unique<FatImage>(small(1, 12));
             DirEntries d;
             d.add_short("README  TXT", DV_ATTR_ARCHIVE, 0, 0);
             for (int i = 0; i < 23; ++i)
                 d.add_short("F" + std::to_string(100 + i) + "    TXT", DV_ATTR_ARCHIVE, 0, 0);
             b.img->place_root(d);
             b.img->set_boot16(17, 20);
         },
         {Op::list, "", DV_E_ENDDIR, -1, "README.TXT|" + f_names(100, 119)},
         {{"ls", "IMG"}, false}},
        {"fat12_root_region_over_data_area",
         [](Built &b) {
             tree(b, 1, 12);
             b.img->set_boot16(17, 0xFFF0); // 4094 root sectors: past the volume's end
         },
         {Op::mount, "", DV_E_BADPBR},
         kToolInfo},
        {"fat12_lfn_run_across_root_sectors",
         [](Built &b) {
             // A four-entry run at entries 14 to 17: cut by the root's first sector.
             b.img = std::make_unique<FatImage>(small(1, 12));
             DirEntries d;
             d.pad_to(14);
             d.add_long(u"a name of some forty units, cut by a sector", "ANAMEO~1   ",
                        DV_ATTR_ARCHIVE, 0, 0);
             b.img->place_root(d);
         },
         {Op::stat, "a name of some forty units, cut by a sector", 0},
         {{"ls", "IMG"}, false}},
        {"fat12_straddling_entry_points_outside",
         [](Built &b) {
             // Cluster 341's entry spans bytes 511 and 512: two FAT sectors.
             b.img = std::make_unique<FatImage>(small(1, 12));
             DirEntries d;
             d.add_short("F       BIN", DV_ATTR_ARCHIVE, 340, 5 * kCb);
             b.img->place_root(d);
             b.img->write_data({340, 341, 342, 343, 344}, kFileData);
             b.img->set_fat(341, 0xFF0); // past the 400 clusters
         },
         {Op::read, "F.BIN", DV_E_BROKENCHAIN, 2 * kCb},
         {{"cat", "IMG", "F.BIN"}}},
        {"fat12_straddling_entry_selfloop",
         [](Built &b) {
             b.img = std::make_unique<FatImage>(small(1, 12));
             DirEntries d;
             d.add_short("F       BIN", DV_ATTR_ARCHIVE, 340, 5 * kCb);
             b.img->place_root(d);
             b.img->write_data({340, 341, 342, 343, 344}, kFileData);
             b.img->set_fat(341, 341);
         },
         {Op::read, "F.BIN", DV_E_BROKENCHAIN, 2 * kCb},
         {{"cat", "IMG", "F.BIN"}}},
        {"fat16_too_many_clusters",
         [](Built &b) {
             tree(b, 1, 16);
             b.img->set_boot16(19, 0);
             b.img->set_boot32(32, 70000); // 65525 clusters or more: no FAT16
         },
         {Op::mount, "", DV_E_BADPBR},
         kToolInfo},
        {"fat16_chain_bad_cluster_mark",
         [](Built &b) {
             tree(b, 1, 16);
             b.img->set_fat(b.file[0], 0xFFF7);
         },
         {Op::read, "Long file name.txt", DV_E_BROKENCHAIN, kCb},
         kToolCat},
        {"fat16_dotdot_cluster_0",
         [](Built &b) { tree(b, 1, 16); },
         {Op::list, "SUB/..", DV_E_ENDDIR, -1, kRootNames},
         {{"ls", "IMG", "SUB/.."}, false}},
        // ---- Deleted entries (mounted with DV_FLAG_DELETED) ------------------------------
        // The deleted entry's cluster now belongs to the live SUB: it lists as empty, and
        // the walks keep SUB whole under its own name.
        {"deleted_dir_entry_ahead_of_live_dir_on_its_cluster",
         deleted_ahead_of_sub,
         {Op::list, "_LD", DV_E_ENDDIR, -1, "", true},
         {{"get", "--deleted", "-q", "IMG", "/", "DEST"},
          false,
          {{"tree", "-a", "IMG"}, {"ls", "-a", "-R", "--json", "IMG"}},
          "",
          "",
          [](int dest) {
              EXPECT_TRUE(holds(dest, "SUB", "FILE.BIN|INNER"));
              EXPECT_TRUE(holds(dest, "_LD", ""));
          }}},
        // A cluster of file data after the deleted directory's first one ends it.
        {"deleted_dir_second_cluster_file_data",
         deleted_dir_then_data,
         {Op::list, "_LD", DV_E_ENDDIR, -1, f_names(100, 114), true},
         {{"get", "--deleted", "-q", "IMG", "/", "DEST"},
          false,
          {{"ls", "-a", "-R", "IMG"}, {"tree", "-a", "IMG"}},
          "",
          "",
          [](int dest) { EXPECT_TRUE(holds(dest, "_LD", f_names(100, 114))); }}},
        {"path_through_file",
         [](Built &b) { tree(b); },
         {Op::stat, "README.TXT/x", ENOTDIR},
         {{"cat", "IMG", "README.TXT/x"},
          true,
          {{"stat", "IMG", "README.TXT/x"},
           {"ls", "-a", "IMG", "/README.TXT/x/y"},
           {"get", "--deleted", "IMG", "README.TXT/x", "DEST"}},
          "",
          "Not a directory"}},
        {"name_dotdot_file",
         [](Built &b) {
             DirEntries d;
             d.add_long(u"..", "DOTDOT~1   ", DV_ATTR_ARCHIVE, 3, 6);
             root_of(b, d);
         },
         {Op::list, "", DV_E_ENDDIR, -1, "README.TXT"},
         {{"get", "-q", "IMG", "/", "DEST"},
          false, // saved as "_.."
          {},
          "",
          "",
          [](int dest) { EXPECT_EQ(faccessat(dest, "_..", F_OK, AT_SYMLINK_NOFOLLOW), 0); }}},

        // ---- exFAT boot region ----------------------------------------------------------
        // Boot fields are patched in both regions, the checksums resealed: the one defect.
        {"exfat_boot_checksum_bad_backup_sound",
         ex([](Built &, ExfatDisk &d) { d.sector(11)[0] ^= 0x01; }),
         {Op::mount, "", 0, -1, "*", false, DV_VOL_NOTE_BACKUP_BOOT, 12},
         {{"info", "IMG"}, false}},
        {"exfat_first_sector_zeroed",
         ex([](Built &, ExfatDisk &d) { std::memset(d.sector(0), 0, 512); }),
         {Op::mount, "", 0, -1, "*", false, DV_VOL_NOTE_BACKUP_BOOT, 12},
         {{"ls", "IMG"}, false}},
        {"exfat_boot_both_regions_bad",
         ex([](Built &, ExfatDisk &d) {
             d.sector(11)[0] ^= 0x01;
             d.sector(23)[0] ^= 0x01;
         }),
         {Op::mount, "", DV_E_BADPBR},
         kToolInfo},
        {"exfat_sector_shift_8",
         ex([](Built &, ExfatDisk &d) { d.set_boot8(108, 8); }),
         {Op::mount, "", DV_E_BADPBR},
         kToolInfo},
        {"exfat_sector_shift_13",
         ex([](Built &, ExfatDisk &d) { d.set_boot8(108, 13); }),
         {Op::mount, "", DV_E_BADPBR},
         kToolInfo},
        {"exfat_cluster_over_32mib",
         ex([](Built &, ExfatDisk &d) { d.set_boot8(109, 17); }),
         {Op::mount, "", DV_E_BADPBR},
         kToolInfo},
        {"exfat_fat_over_heap",
         ex([](Built &, ExfatDisk &d) { d.set_boot32(84, 0x10000); }),
         {Op::mount, "", DV_E_BADPBR},
         kToolInfo},
        {"exfat_heap_past_volume",
         ex([](Built &, ExfatDisk &d) { d.set_boot32(92, d.boot.cluster_count + 100); }),
         {Op::mount, "", DV_E_BADPBR},
         kToolInfo},
        {"exfat_root_cluster_outside_heap",
         ex([](Built &, ExfatDisk &d) { d.set_boot32(96, d.boot.cluster_count + 2); }),
         {Op::mount, "", DV_E_BADPBR},
         kToolInfo},

        // ---- exFAT bitmap and up-case table ----------------------------------------------
        {"exfat_bitmap_entry_missing",
         ex([](Built &, ExfatDisk &d) { d.at(d.bitmap_entry)[0] = 0x01; }),
         {Op::mount, "", 0, -1, "*", false, DV_VOL_NOTE_BITMAP_BAD},
         {{"ls", "IMG"}, false}},
        {"exfat_bitmap_out_of_range",
         ex([](Built &, ExfatDisk &d) { store_le32(d.at(d.bitmap_entry) + 20, 0x7FFFFFFF); }),
         {Op::mount, "", 0, -1, "*", false, DV_VOL_NOTE_BITMAP_BAD},
         {{"ls", "IMG"}, false}},
        // The default table takes over: names still match whatever their case.
        {"exfat_upcase_out_of_range",
         ex([](Built &, ExfatDisk &d) { store_le32(d.at(d.upcase_entry) + 20, 0x7FFFFFFF); }),
         {Op::stat, "long FILE name.TXT", 0, -1, "*", false, DV_VOL_NOTE_UPCASE_BAD},
         {{"cat", "IMG", "LONG FILE NAME.TXT"}, false}},
        {"exfat_upcase_bad_checksum",
         ex([](Built &, ExfatDisk &d) { d.at(d.upcase_entry)[4] ^= 0x01; }),
         {Op::stat, "sub/file.bin", 0, -1, "*", false, DV_VOL_NOTE_UPCASE_BAD},
         {{"cat", "IMG", "sub/file.bin"}, false}},

        // ---- exFAT entry sets: README.TXT's set is refused, the listing goes on ------------
        {"exfat_set_checksum_mismatch",
         ex([](Built &b, ExfatDisk &d) { d.at(b.readme.set)[2] ^= 0xFF; }),
         {Op::list_on, "", EILSEQ, -1, "Long file name.txt|SUB", false, 0, 0, true},
         {{"ls", "IMG"}, false}},
        // Lenient: a set whose checksum alone fails is listed as it reads.
        {"exfat_set_checksum_mismatch_lenient",
         ex([](Built &b, ExfatDisk &d) { d.at(b.readme.set)[2] ^= 0xFF; }),
         {Op::list_on, "", DV_E_ENDDIR, -1, kExRoot},
         {{"cat", "IMG", "README.TXT"}, false}},
        {"exfat_name_length_past_name_entries",
         ex([](Built &b, ExfatDisk &d) {
             d.at(b.readme.set)[32 + 3] = 40; // three name entries' worth, one there
             d.reseal_set(b.readme);
         }),
         {Op::list_on, "", EILSEQ, -1, "Long file name.txt|SUB"},
         {{"ls", "IMG"}}},
        {"exfat_stream_entry_missing",
         ex([](Built &b, ExfatDisk &d) {
             d.at(b.readme.set)[32] = 0xC1; // a name entry where the stream should be
             d.reseal_set(b.readme);
         }),
         {Op::list_on, "", EILSEQ, -1, "Long file name.txt|SUB"},
         {{"ls", "IMG"}}},
        {"exfat_secondary_count_0",
         ex([](Built &b, ExfatDisk &d) {
             d.at(b.readme.set)[1] = 0;
             d.reseal_set(b.readme.set, 1);
         }),
         {Op::list_on, "", EILSEQ, -1, "Long file name.txt|SUB"},
         {{"ls", "IMG"}}},
        {"exfat_secondary_count_19",
         ex([](Built &b, ExfatDisk &d) {
             d.at(b.readme.set)[1] = 19;
             d.reseal_set(b.readme.set, 20);
         }),
         {Op::list_on, "", EILSEQ, -1, "*"},
         {{"ls", "IMG"}}},

        // ---- exFAT data ----------------------------------------------------------------------
        // The chain ends after three clusters, the length says a gibibyte.
        {"exfat_data_length_past_volume",
         ex([](Built &b, ExfatDisk &d) {
             ExfatDisk::set_lengths(d.at(b.longf.set) + 32, 1u << 30, 1u << 30);
             d.reseal_set(b.longf);
         }),
         {Op::read, "Long file name.txt", DV_E_BROKENCHAIN, 3 * kExCb},
         kToolCat},
        // Contiguous from the heap's last cluster on, for three clusters.
        {"exfat_nofatchain_past_heap_end",
         ex([](Built &b, ExfatDisk &d) {
             uint8_t *s = d.at(b.readme.set) + 32;
             store_le32(s + 20, d.boot.cluster_count + 1);
             ExfatDisk::set_lengths(s, 3 * kExCb, 3 * kExCb);
             d.reseal_set(b.readme);
         }),
         {Op::read, "README.TXT", DV_E_BROKENCHAIN, kExCb},
         {{"cat", "IMG", "README.TXT"}}},
        {"exfat_file_chain_loops",
         ex([](Built &b, ExfatDisk &d) { d.set_fat(b.longf.chain[1], b.longf.chain[0]); }),
         {Op::read, "Long file name.txt", DV_E_BROKENCHAIN, 2 * kExCb},
         kToolCat},
        // SUB says two clusters through the FAT, and its cluster links to itself: the
        // loop ends the directory, as on FAT.
        {"exfat_dir_chain_loops",
         ex([](Built &b, ExfatDisk &d) {
             uint8_t *s = d.at(b.xsub.set) + 32;
             s[1] = 0x01;
             ExfatDisk::set_lengths(s, 2 * kExCb, 2 * kExCb);
             d.reseal_set(b.xsub);
             d.set_fat(b.xsub.chain[0], b.xsub.chain[0]);
         }),
         {Op::list, "SUB", DV_E_ENDDIR, -1, "FILE.BIN|INNER"},
         {{"ls", "IMG", "SUB"}, false}},
        // INNER starts at SUB's own cluster: SUB/INNER/INNER/... is SUB again.
        {"exfat_dir_chain_to_itself",
         ex([](Built &b, ExfatDisk &d) {
             store_le32(d.at(b.xinner.set) + 32 + 20, b.xsub.chain[0]);
             d.reseal_set(b.xinner);
         }),
         {Op::list, "SUB/INNER/INNER/INNER", DV_E_ENDDIR, -1, "FILE.BIN|INNER"},
         kToolTree},
    };
}

struct Observed {
    int code = 0;
    int64_t bytes = -1;
    std::string names;
    uint32_t notes = 0, boot_backup = 0;
};

Observed observe_volume(readfat_volume *v, const Expect &ex);

Observed observe(Built &b, const Expect &ex) {
    const uint32_t flags = (readfat_optimal_flags() & ~(ex.strict ? DV_FLAG_LENIENT : 0u)) |
                           (ex.deleted ? DV_FLAG_DELETED : 0);
    if (b.ex) {
        FaultReader rd(b.ex->bytes, 0, b.ex->sectors(), b.ex->spc());
        ExfatMounted v(*b.ex, rd, flags);
        Observed o = v.vol ? observe_volume(v.vol, ex) : Observed{v.err, -1, {}, 0, 0};
        EXPECT_EQ(rd.bad_requests(), 0u);
        return o;
    }
    FaultReader rd(*b.img);
    Mounted v(*b.img, rd, flags);
    Observed o = v.ok() ? observe_volume(v, ex) : Observed{v.err, -1, {}, 0, 0};
    EXPECT_EQ(rd.bad_requests(), 0u);
    return o;
}

Observed observe_volume(readfat_volume *v, const Expect &ex) {
    Observed o;
    readfat_volinfo info{};
    EXPECT_EQ(readfat_info(v, &info), 0);
    o.notes = info.notes;
    o.boot_backup = v->boot_backup;
    switch (ex.op) {
    case Op::mount:
        break;
    case Op::list_on: {
        int err = 0;
        readfat_dir *d = readfat_opendir(v, ex.path.c_str(), &err);
        if (!d) {
            o.code = err;
            break;
        }
        o.code = DV_E_ENDDIR;
        for (int refused = 0; refused < 64;) {
            const dv_entry *e = readfat_readdir(v, d, &err);
            if (e) {
                if (!(e->attr & DV_ATTR_VOLUME))
                    o.names += (o.names.empty() ? "" : "|") + to_utf8(e->name);
                continue;
            }
            if (err == DV_E_ENDDIR) break;
            if (o.code == DV_E_ENDDIR) o.code = err;
            ++refused;
        }
        readfat_closedir(v, d);
        break;
    }
    case Op::list: {
        int err = 0;
        readfat_dir *d = readfat_opendir(v, ex.path.c_str(), &err);
        if (!d) {
            o.code = err;
            break;
        }
        auto l = list_handle(v, d, &o.code, 10000);
        readfat_closedir(v, d);
        std::string sep;
        for (const Listed &x : l) {
            if ((x.attr & DV_ATTR_VOLUME) || x.name == u"." || x.name == u"..") continue;
            o.names += sep + utf8(x.name);
            sep = "|";
        }
        break;
    }
    case Op::stat: {
        dv_entry e;
        o.code = readfat_stat(v, ex.path.c_str(), &e);
        break;
    }
    case Op::read: {
        int err = 0;
        readfat_file *f = readfat_open(v, ex.path.c_str(), &err);
        if (!f) {
            o.code = err;
            break;
        }
        o.bytes = int64_t(read_handle(v, f, 4096, &o.code).size());
        readfat_close(v, f);
        break;
    }
    }
    return o;
}

class Catalogue : public testing::TestWithParam<size_t> {};

TEST_P(Catalogue, OneOutcome) {
    const Case c = catalogue()[GetParam()];
    if (is_exfat_case(c.name)) DV_NEED_TOOLS("mkfs.exfat");
    Built b;
    c.build(b);
    ASSERT_TRUE(b.img || b.ex->ok());
    const Observed o = observe(b, c.expect);
    EXPECT_EQ(o.code, c.expect.code);
    EXPECT_EQ(o.notes & c.expect.notes, c.expect.notes);
    EXPECT_EQ(o.boot_backup, c.expect.boot_backup);
    if (c.expect.bytes >= 0) {
        EXPECT_EQ(o.bytes, c.expect.bytes);
    }
    if (c.expect.op == Op::list && c.expect.names != "*") {
        EXPECT_EQ(o.names, c.expect.names);
    }
}

// ---- The tool over every image ------------------------------------------------------------

std::string tool_path() {
    if (const char *env = std::getenv("DORVEX_TOOL")) return env;
    const std::string built = std::string(DORVEX_BINARY_DIR) + "/cli/dorvex";
    return access(built.c_str(), X_OK) == 0 ? built : "";
}

std::string quote(const std::string &s) {
    std::string q = "'";
    for (char ch : s) q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return q + "'";
}

// rm -rf, unlike remove_all, copes with trees deeper than the descriptor limit and
// PATH_MAX.
void remove_tree(const std::filesystem::path &dir) {
    EXPECT_EQ(std::system(("rm -rf " + quote(dir.string())).c_str()), 0) << dir;
}

TEST_P(Catalogue, ToolSurvives) {
    const std::string tool = tool_path();
    if (tool.empty()) GTEST_SKIP() << "the dorvex tool is not built (set DORVEX_TOOL)";
    const Case c = catalogue()[GetParam()];
    if (is_exfat_case(c.name)) DV_NEED_TOOLS("mkfs.exfat");
    Built b;
    c.build(b);
    ASSERT_TRUE(b.img || b.ex->ok());
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() / ("dorvex-catalogue-" + std::to_string(getpid()) + "-" + c.name);
    remove_tree(dir);
    fs::create_directories(dir / "dest");
    const fs::path image = dir / (std::string(c.name) + ".img");
    {
        std::ofstream out(image, std::ios::binary);
        out.write(reinterpret_cast<const char *>(b.disk().data()),
                  std::streamsize(b.disk().size()));
    }
    std::vector<std::vector<std::string>> runs = {c.tool.args};
    runs.insert(runs.end(), c.tool.more.begin(), c.tool.more.end());
    for (const auto &args : runs) {
        std::string cmd = "cd " + quote(dir.string()) + " && " + c.tool.shell +
                          "LC_ALL=C timeout 60 " + quote(tool);
        for (const std::string &a : args)
            cmd += " " + quote(a == "IMG"    ? image.string()
                               : a == "DEST" ? (dir / "dest").string()
                                             : a);
        cmd += " 2>" + quote((dir / "stderr").string()) + " >/dev/null";
        const int status = std::system(cmd.c_str());
        ASSERT_TRUE(WIFEXITED(status)) << cmd;
        const int exit_code = WEXITSTATUS(status);
        std::ifstream errs(dir / "stderr");
        std::vector<std::string> lines;
        for (std::string line; std::getline(errs, line);) lines.push_back(line);
        std::string all;
        for (const auto &l : lines) all += l + "\n";
        EXPECT_NE(exit_code, 124) << "the tool hung: " << cmd;
        EXPECT_LT(exit_code, 3) << "the tool crashed: " << cmd << "\n" << all;
        if (c.tool.fails) {
            EXPECT_EQ(exit_code, 1) << cmd << "\n" << all;
            EXPECT_EQ(lines.size(), 1u) << cmd << "\n" << all;
            EXPECT_NE(all.find(c.tool.says), std::string::npos) << cmd << "\n" << all;
        } else {
            EXPECT_EQ(exit_code, 0) << cmd << "\n" << all;
        }
        // Nothing may be written outside the destination directory.
        for (const auto &entry : fs::directory_iterator(dir)) {
            const std::string n = entry.path().filename().string();
            EXPECT_TRUE(n == "dest" || n == "stderr" || n == image.filename().string())
                << "the tool wrote " << entry.path();
        }
    }
    if (c.tool.check) c.tool.check(open((dir / "dest").c_str(), O_RDONLY | O_DIRECTORY));
    remove_tree(dir);
}

INSTANTIATE_TEST_SUITE_P(Images, Catalogue, testing::Range<size_t>(0, catalogue().size()),
                         [](const testing::TestParamInfo<size_t> &info) {
                             return std::string(catalogue()[info.param].name);
                         });

// The exFAT tree the cases start from is sound: fsck.exfat finds it clean and whole.
TEST(ExfatTree, FsckFindsItClean) {
    DV_NEED_TOOLS("mkfs.exfat", "fsck.exfat");
    Built b;
    extree(b);
    ASSERT_TRUE(b.ex->ok());
    const std::string path = scratch_dir("exfat-tree") + "/tree.img";
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char *>(b.disk().data()),
                  std::streamsize(b.disk().size()));
    }
    const std::string cmd = find_tool("fsck.exfat") + " -n " + shell_quote(path) + " 2>&1";
    std::string said;
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[256];
    while (fgets(buf, sizeof buf, p)) said += buf;
    EXPECT_EQ(pclose(p), 0) << said;
    EXPECT_NE(said.find("clean. directories 3, files 3"), std::string::npos) << said;
}

TEST(CatalogueSize, AtLeastThirty) {
    EXPECT_GE(catalogue().size(), 30u);
}

} // namespace

namespace {

// Writes every catalogue image (trailing zero bytes cut off: the fuzz reader serves zeros
// past its input) as a seed for the mount_walk fuzz target. A tool, not a check: it exists
// only in a run with DORVEX_CORPUS_DIR set, so test runs neither list nor skip it.
class WriteSeeds : public testing::Test {
    void TestBody() override {
        const std::string dir = std::getenv("DORVEX_CORPUS_DIR");
        for (const Case &c : catalogue()) {
            Built b;
            c.build(b);
            if (!b.img && !b.ex->ok()) continue;
            const auto &disk = b.disk();
            size_t end = disk.size();
            while (end > 512 && disk[end - 1] == 0) --end;
            if (end > (1u << 20)) continue; // too large to help a fuzzer
            std::ofstream out(dir + "/" + c.name, std::ios::binary);
            out.write(reinterpret_cast<const char *>(disk.data()), std::streamsize(end));
        }
    }
};

[[maybe_unused]] const bool kSeedsRegistered =
    std::getenv("DORVEX_CORPUS_DIR") &&
    testing::RegisterTest("CatalogueCorpus", "WriteSeeds", nullptr, nullptr, __FILE__, __LINE__,
                          []() -> testing::Test * { return new WriteSeeds; });

} // namespace
