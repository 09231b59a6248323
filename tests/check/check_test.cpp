// The volume check: images from mkfs.fat and mcopy, damaged byte by byte, checked side by
// side with fsck.fat -n; hand-made FAT12/16/32 layouts for the chain shapes fsck has no
// words for (self-loops, two-cluster cycles, links out of the data area); allocation
// failures and an early stop.
#include "support/fault_reader.h"
#include "support/tools.h"
#include "support/tracking_alloc.h"
#include "support/volume_util.h"

#include <dorvex/checkfat.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

using namespace dvtest;

namespace {

struct Found {
    uint32_t kind, cluster, length;
    std::string path;
};

std::vector<Found> check(readfat_volume *vol, uint32_t what = READFAT_CHECK_ALL,
                         long *rc = nullptr) {
    std::vector<Found> out;
    int err = 0;
    const long n = readfat_check(
        vol, what,
        [](void *data, const readfat_finding *f) {
            std::u16string p =
                f->path ? std::u16string(reinterpret_cast<const char16_t *>(f->path), f->path_len)
                        : u"";
            static_cast<std::vector<Found> *>(data)->push_back(
                {f->kind, f->cluster, f->length, utf8(p)});
            return 0;
        },
        &out, &err);
    if (rc) *rc = n;
    EXPECT_EQ(n, long(out.size())) << "err " << err;
    return out;
}

std::string kinds(const std::vector<Found> &f) {
    std::string s;
    for (const Found &x : f) s += std::to_string(x.kind) + ":" + x.path + " ";
    return s;
}

// ---- Against fsck.fat -n ------------------------------------------------------------------

// Layout of the seed image (mkfs.fat -F 32 -s 1, 40000 KiB): root at 2, F1.BIN (5000 bytes)
// at 3 .. 12, DIR at 13, DIR/F2.BIN (700 bytes) at 14 .. 15, "Long name.txt" (one long-name
// entry, root entry 2, its short entry 3) at 16 .. 17.
struct Damage {
    const char *name;
    const char *fsck_says; // what fsck.fat -n prints for it
    std::vector<uint32_t> kinds;
    const char *path; // of the first finding with a path ("" for none)
    void (*patch)(std::vector<uint8_t> &d, uint32_t fat, uint32_t fat2, uint32_t data);
};

void put32(std::vector<uint8_t> &d, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) d[at + i] = uint8_t(v >> 8 * i);
}

const Damage kDamages[] = {
    {"lost",
     "Reclaimed 1 unused cluster",
     {READFAT_FIND_FSINFO_FREE, READFAT_FIND_LOST},
     "",
     [](auto &d, uint32_t f, uint32_t f2, uint32_t) {
         put32(d, f + 400, 0x0FFFFFFF), put32(d, f2 + 400, 0x0FFFFFFF);
     }},
    {"fat copies",
     "FATs differ",
     {READFAT_FIND_FAT_DIFFERS, READFAT_FIND_FSINFO_FREE, READFAT_FIND_LOST},
     "",
     [](auto &d, uint32_t f, uint32_t, uint32_t) { put32(d, f + 400, 0x0FFFFFFF); }},
    {"cross-link",
     "Contains a free cluster (14)",
     {READFAT_FIND_CHAIN_LONG, READFAT_FIND_CROSSLINK},
     "/F1.BIN",
     [](auto &d, uint32_t f, uint32_t f2, uint32_t) {
         put32(d, f + 48, 14), put32(d, f2 + 48, 14);
     }},
    {"loop",
     "Circular cluster chain",
     {READFAT_FIND_LOOP},
     "/F1.BIN",
     [](auto &d, uint32_t f, uint32_t f2, uint32_t) { put32(d, f + 48, 3), put32(d, f2 + 48, 3); }},
    {"short",
     "cluster chain length is 2560 bytes",
     {READFAT_FIND_CHAIN_SHORT, READFAT_FIND_LOST},
     "/F1.BIN",
     [](auto &d, uint32_t f, uint32_t f2, uint32_t) {
         put32(d, f + 28, 0x0FFFFFFF), put32(d, f2 + 28, 0x0FFFFFFF);
     }},
    {"long",
     "cluster chain length is > 1024",
     {READFAT_FIND_CHAIN_LONG},
     "/F1.BIN",
     [](auto &d, uint32_t, uint32_t, uint32_t data) { put32(d, data + 28, 1000); }},
    {"dot",
     "Invalid '.' entry",
     {READFAT_FIND_BAD_DOT},
     "/DIR",
     [](auto &d, uint32_t, uint32_t, uint32_t data) { d[data + 11 * 512 + 26] = 20; }},
    {"dotdot",
     "Invalid '..' entry",
     {READFAT_FIND_BAD_DOTDOT},
     "/DIR",
     [](auto &d, uint32_t, uint32_t, uint32_t data) { d[data + 11 * 512 + 32 + 26] = 20; }},
    {"orphaned long name",
     "Wrong checksum for long file name",
     {READFAT_FIND_LFN_ORPHAN},
     "",
     [](auto &d, uint32_t, uint32_t, uint32_t data) { d[data + 2 * 32 + 13] ^= 0xFF; }},
    {"cut move",
     "share clusters",
     {READFAT_FIND_MOVE_PAIR},
     "/F1NEW.BIN",
     [](auto &d, uint32_t, uint32_t, uint32_t data) {
         // F1.BIN leaving, F1NEW.BIN arriving in free root entry 4: one chain, two names.
         std::memcpy(&d[data + 4 * 32], &d[data], 32);
         std::memcpy(&d[data + 4 * 32], "F1NEW   BIN", 11);
         d[data + 12] = DV_NTRES_MOVE_FROM;
         d[data + 4 * 32 + 12] = DV_NTRES_MOVE_TO;
     }},
    {"directory size",
     "Directory has non-zero size",
     {READFAT_FIND_DIR_SIZE},
     "/DIR",
     [](auto &d, uint32_t, uint32_t, uint32_t data) { put32(d, data + 32 + 28, 512); }},
    {"boot label",
     "but there is no volume label in root directory",
     {READFAT_FIND_LABEL},
     "",
     [](auto &d, uint32_t, uint32_t, uint32_t) {
         for (size_t b : {size_t{0}, size_t{6 * 512}}) std::memcpy(&d[b + 71], "CARD       ", 11);
     }},
    {"boot backup",
     "differences between boot sector and its backup",
     {READFAT_FIND_BOOT_BACKUP},
     "",
     [](auto &d, uint32_t, uint32_t, uint32_t) { d[6 * 512 + 71] ^= 0x20; }},
};

TEST(CheckFsck, FindsWhatFsckFinds) {
    DV_NEED_TOOLS("mkfs.fat", "mcopy", "mmd", "fsck.fat");
    const std::string dir = scratch_dir("dorvex-check"), img = dir + "/seed.img",
                      log = dir + "/log";
    ASSERT_TRUE(run_logged("mkfs.fat -C -F 32 -s 1 " + shell_quote(img) + " 40000", log));
    std::ofstream(dir + "/f1", std::ios::binary) << pattern_data(5000, 1);
    std::ofstream(dir + "/f2", std::ios::binary) << pattern_data(700, 2);
    const std::string m = "MTOOLS_SKIP_CHECK=1 ", i = " -i " + shell_quote(img) + " ";
    ASSERT_TRUE(run_logged(m + "mcopy" + i + shell_quote(dir + "/f1") + " ::F1.BIN", log));
    ASSERT_TRUE(run_logged(m + "mmd" + i + "::DIR", log));
    ASSERT_TRUE(run_logged(m + "mcopy" + i + shell_quote(dir + "/f2") + " ::DIR/F2.BIN", log));
    ASSERT_TRUE(run_logged(m + "mcopy" + i + shell_quote(dir + "/f2") + " '::Long name.txt'", log));
    const std::vector<uint8_t> seed = read_whole(img);
    const uint32_t fat = 32 * 512, fat2 = fat + 616 * 512, data = fat + 2 * 616 * 512;
    ASSERT_EQ(seed[data + 11 * 512], '.'); // the layout the patches assume

    for (const Damage &c : kDamages) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> d = seed;
        if (c.patch) c.patch(d, fat, fat2, data);
        const std::string path = dir + "/damaged.img";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(d.data()), d.size());
        const std::string out = dir + "/fsck.out";
        const int rc = std::system(
            (find_tool("fsck.fat") + " -n " + shell_quote(path) + " >" + out + " 2>&1").c_str());
        const std::vector<uint8_t> said = read_whole(out);
        const std::string text(said.begin(), said.end());
        (void)rc; // 0 for what fsck calls harmless (a backup boot sector, a long name)
        EXPECT_NE(text.find(c.fsck_says), std::string::npos) << text;

        FaultReader rd(d, 0, d.size() / 512, 1);
        TrackingAlloc alloc;
        int err = 0;
        readfat_volume *vol = readfat_new2(0, d.size() / 512, 512, &rd, FaultReader::cb,
                                           readfat_optimal_flags() | DV_CHARSET_UTF8, 2, 2, &err,
                                           &alloc, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
        ASSERT_NE(vol, nullptr);
        const std::vector<Found> f = check(vol);
        std::vector<uint32_t> got;
        for (const Found &x : f) got.push_back(x.kind);
        EXPECT_EQ(got, c.kinds) << kinds(f) << "\n" << text;
        for (const Found &x : f)
            if (!x.path.empty()) {
                EXPECT_EQ(x.path, c.path);
                if (text.find(x.path) == std::string::npos)
                    ADD_FAILURE() << "fsck names no " << x.path;
                break;
            }
        readfat_delete(vol);
    }
    // The seed itself is sound to both, also with slack after the volume (an image longer
    // than the sectors its boot sector declares: FSInfo counts only those).
    std::vector<uint8_t> slack = seed;
    slack.resize(seed.size() + 64 * 1024);
    for (std::vector<uint8_t> *d : {const_cast<std::vector<uint8_t> *>(&seed), &slack}) {
        FaultReader rd(*d, 0, d->size() / 512, 1);
        readfat_volume *vol = readfat_new(0, d->size() / 512, 512, &rd, FaultReader::cb,
                                          readfat_optimal_flags(), 2, 2, nullptr);
        ASSERT_NE(vol, nullptr);
        EXPECT_EQ(kinds(check(vol)), "") << d->size();
        readfat_delete(vol);
    }
}

// ---- exFAT against fsck.exfat -n ----------------------------------------------------------

// The fixture "fragmented" (made by mkfs.exfat, filled through exfat-fuse; 32 KiB clusters):
// its root's File sets by name, the allocation bitmap and the FAT.
struct ExLayout {
    uint32_t bps, cb, fat, heap;
    std::vector<size_t> sets; // the File sets of the root's first cluster
    size_t bitmap;            // byte offset of the bitmap's first cluster
    size_t bitmap_entry;      // ... of its root entry, and the up-case table's
    size_t upcase;
    size_t set(const std::vector<uint8_t> &d, const char *name) const {
        for (size_t e : sets) {
            std::string n;
            for (uint32_t i = 0; i < d[e + 35] && i < 15; ++i) n += char(d[e + 66 + 2 * i]);
            if (n == name) return e;
        }
        ADD_FAILURE() << "no " << name;
        return sets.at(0);
    }
    uint32_t first(const std::vector<uint8_t> &d, const char *name) const {
        return get32(d, set(d, name) + 52);
    }
    static uint32_t get32(const std::vector<uint8_t> &d, size_t at) {
        return uint32_t(d[at]) | uint32_t(d[at + 1]) << 8 | uint32_t(d[at + 2]) << 16 |
               uint32_t(d[at + 3]) << 24;
    }
};

ExLayout ex_layout(const std::vector<uint8_t> &d) {
    ExLayout l{};
    l.bps = 1u << d[108];
    l.cb = l.bps << d[109];
    l.fat = ExLayout::get32(d, 80) * l.bps;
    l.heap = ExLayout::get32(d, 88) * l.bps;
    const size_t root = l.heap + size_t{ExLayout::get32(d, 96) - 2} * l.cb;
    for (size_t e = root; e < root + l.cb && d[e] != 0; e += 32) {
        if (d[e] == 0x85) l.sets.push_back(e);
        if (d[e] == 0x81) {
            l.bitmap = l.heap + size_t{ExLayout::get32(d, e + 20) - 2} * l.cb;
            l.bitmap_entry = e;
        }
        if (d[e] == 0x82) l.upcase = e;
    }
    return l;
}

// Sets the SetChecksum of the set at `e` to what its entries sum to.
void reseal(std::vector<uint8_t> &d, size_t e) {
    uint16_t sum = 0;
    for (size_t i = 0; i < 32u * (d[e + 1] + 1u); ++i)
        if (i != 2 && i != 3) sum = uint16_t(((sum >> 1) | (sum << 15)) + d[e + i]);
    d[e + 2] = uint8_t(sum), d[e + 3] = uint8_t(sum >> 8);
}

struct ExDamage {
    const char *name;
    const char *fsck_says; // what fsck.exfat -n prints ("clean": it does not judge this)
    std::vector<uint32_t> kinds;
    const char *path;
    void (*patch)(std::vector<uint8_t> &d, const ExLayout &l);
};

const ExDamage kExDamages[] = {
    {"bitmap bit cleared under a file",
     "is marked as free",
     {READFAT_FIND_BITMAP_FREE},
     "/contig_a.bin",
     [](auto &d, const ExLayout &l) {
         const uint32_t c = l.first(d, "contig_a.bin") - 2;
         d[l.bitmap + c / 8] = uint8_t(d[l.bitmap + c / 8] & ~(1u << c % 8));
     }},
    {"lost bitmap bit",
     "clean",
     {READFAT_FIND_LOST},
     "",
     [](auto &d, const ExLayout &l) {
         const uint32_t c = ExLayout::get32(d, 92) - 1;
         d[l.bitmap + c / 8] = uint8_t(d[l.bitmap + c / 8] | 1u << c % 8);
     }},
    {"set checksum",
     "checksum of a file is wrong",
     {READFAT_FIND_SET_CHECKSUM},
     "/contig_b.bin",
     [](auto &d, const ExLayout &l) { d[l.set(d, "contig_b.bin") + 2] ^= 0x5A; }},
    {"name hash",
     "name hash of a file is wrong",
     {READFAT_FIND_NAME_HASH},
     "/contig_b.bin",
     [](auto &d, const ExLayout &l) {
         const size_t e = l.set(d, "contig_b.bin");
         d[e + 36] ^= 0x5A;
         reseal(d, e);
     }},
    {"chain loop on a fragmented file",
     "already allocated",
     {READFAT_FIND_LOOP, READFAT_FIND_LOST, READFAT_FIND_LOST},
     "/inter_3.bin",
     [](auto &d, const ExLayout &l) {
         const uint32_t c = l.first(d, "inter_3.bin");
         put32(d, l.fat + 4 * size_t{ExLayout::get32(d, l.fat + 4 * size_t{c})}, c);
     }},
    {"boot checksum",
     "boot region is corrupted",
     {READFAT_FIND_BOOT_REGION, READFAT_FIND_BOOT_BACKUP},
     "",
     [](auto &d, const ExLayout &l) { d[11 * l.bps + 5] ^= 1; }},
    {"volume dirty",
     "clean",
     {READFAT_FIND_DIRTY},
     "",
     [](auto &d, const ExLayout &) { d[106] |= 2; }},
    {"valid data length past the size",
     "greater than size",
     {READFAT_FIND_VALID_PAST_SIZE},
     "/contig_a.bin",
     [](auto &d, const ExLayout &l) {
         const size_t e = l.set(d, "contig_a.bin");
         d[e + 42] = 0xFF; // ValidDataLength's third byte: past DataLength
         reseal(d, e);
     }},
    {"set missing its stream extension",
     "failed to get stream dentry",
     {READFAT_FIND_SET_DAMAGED, READFAT_FIND_LOST},
     "",
     [](auto &d, const ExLayout &l) {
         const size_t e = l.set(d, "contig_b.bin");
         d[e + 32] = 0xC1; // the stream extension turned into a name entry
         reseal(d, e);
     }},
    {"contiguous run past the heap",
     "is marked as free",
     {READFAT_FIND_BAD_LINK, READFAT_FIND_CHAIN_SHORT, READFAT_FIND_BITMAP_FREE, READFAT_FIND_LOST},
     "/contig_a.bin",
     [](auto &d, const ExLayout &l) {
         const size_t e = l.set(d, "contig_a.bin");
         put32(d, e + 52, ExLayout::get32(d, 92)); // 4 clusters from the heap's next-to-last
         reseal(d, e);
     }},
    {"cross-link",
     "already allocated",
     {READFAT_FIND_CROSSLINK, READFAT_FIND_LOST},
     "/contig_b.bin",
     [](auto &d, const ExLayout &l) {
         const size_t e = l.set(d, "contig_b.bin");
         put32(d, e + 52, l.first(d, "contig_a.bin"));
         reseal(d, e);
     }},
    {"chain shorter than the size",
     "less clusters are allocated",
     {READFAT_FIND_CHAIN_SHORT, READFAT_FIND_LOST, READFAT_FIND_LOST},
     "/inter_3.bin",
     [](auto &d, const ExLayout &l) {
         const uint32_t c = l.first(d, "inter_3.bin");
         put32(d, l.fat + 4 * size_t{ExLayout::get32(d, l.fat + 4 * size_t{c})}, 0xFFFFFFFF);
     }},
    {"chain longer than the size",
     "more clusters are allocated",
     {READFAT_FIND_CHAIN_LONG},
     "/inter_5.bin",
     [](auto &d, const ExLayout &l) {
         const size_t e = l.set(d, "inter_5.bin");
         for (int i = 0; i < 8; ++i) d[e + 40 + i] = d[e + 56 + i] = 0;
         d[e + 40] = d[e + 56] = 1; // one byte: one cluster of four
         reseal(d, e);
     }},
    {"impossible timestamp",
     "clean",
     {READFAT_FIND_BAD_TIME},
     "/small_last.txt",
     [](auto &d, const ExLayout &l) {
         const size_t e = l.set(d, "small_last.txt");
         d[e + 14] = uint8_t((d[e + 14] & 0x1F) | 0xE0), d[e + 15] |= 1; // month 15
         reseal(d, e);
     }},
    {"up-case checksum",
     "corrupted upcase table",
     {READFAT_FIND_UPCASE_BAD},
     "",
     [](auto &d, const ExLayout &l) { d[l.upcase + 4] ^= 1; }},
    {"bitmap too short",
     "invalid size of allocation bitmap",
     {READFAT_FIND_BITMAP_BAD},
     "",
     [](auto &d, const ExLayout &l) { d[l.bitmap_entry + 24] = 1, d[l.bitmap_entry + 25] = 0; }},
};

std::vector<uint8_t> exfat_fixture(const std::string &dir, const char *name) {
    const std::string img = dir + "/" + name + ".img";
    EXPECT_TRUE(run_logged("xz -dc " +
                               shell_quote(std::string(DORVEX_SOURCE_DIR) +
                                           "/tests/fixtures/exfat/" + name + ".img.xz") +
                               " > " + shell_quote(img),
                           img + ".log"));
    return read_whole(img);
}

TEST(CheckFsck, FindsWhatFsckExfatFinds) {
    DV_NEED_TOOLS("xz", "fsck.exfat");
    const std::string dir = scratch_dir("dorvex-check-exfat");
    const std::vector<uint8_t> seed = exfat_fixture(dir, "fragmented");
    const ExLayout lay = ex_layout(seed);
    ASSERT_EQ(lay.sets.size(), 7u);
    for (const ExDamage &c : kExDamages) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> d = seed;
        c.patch(d, lay);
        const std::string path = dir + "/damaged.img", out = dir + "/fsck.out";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(d.data()), d.size());
        const int rc = std::system(
            (find_tool("fsck.exfat") + " -n " + shell_quote(path) + " >" + out + " 2>&1").c_str());
        const std::vector<uint8_t> said = read_whole(out);
        const std::string text(said.begin(), said.end());
        EXPECT_NE(text.find(c.fsck_says), std::string::npos) << text;
        EXPECT_EQ(rc == 0, std::string(c.fsck_says) == "clean") << text;

        FaultReader rd(d, 0, d.size() / 512, 256); // a cluster per request at most
        TrackingAlloc alloc;
        int err = 0;
        readfat_volume *vol = readfat_new2(0, d.size() / 512, 512, &rd, FaultReader::cb,
                                           readfat_optimal_flags() | DV_CHARSET_UTF8, 2, 2, &err,
                                           &alloc, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
        ASSERT_NE(vol, nullptr) << err;
        const std::vector<Found> f = check(vol);
        std::vector<uint32_t> got;
        for (const Found &x : f) got.push_back(x.kind);
        EXPECT_EQ(got, c.kinds) << kinds(f) << "\n" << text;
        for (const Found &x : f)
            if (!x.path.empty()) {
                EXPECT_EQ(x.path, c.path);
                break;
            }
        readfat_delete(vol);
        EXPECT_EQ(alloc.live_blocks(), 0u);
    }
    // Each allocation refused in turn: ENOMEM, nothing kept.
    {
        std::vector<uint8_t> d = seed;
        FaultReader rd(d, 0, d.size() / 512, 256);
        TrackingAlloc alloc;
        readfat_volume *vol =
            readfat_new2(0, d.size() / 512, 512, &rd, FaultReader::cb, readfat_optimal_flags(), 2,
                         2, nullptr, &alloc, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
        ASSERT_NE(vol, nullptr);
        const size_t live = alloc.live_blocks();
        for (uint64_t n = 1; n <= 5; ++n) {
            alloc.reset_counts();
            alloc.fail_at(n);
            int err = 0;
            EXPECT_EQ(readfat_check(vol, READFAT_CHECK_ALL, nullptr, nullptr, &err), -1) << n;
            EXPECT_EQ(err, ENOMEM);
            EXPECT_EQ(alloc.live_blocks(), live);
        }
        alloc.fail_at(0);
        EXPECT_EQ(readfat_check(vol, READFAT_CHECK_ALL, nullptr, nullptr, nullptr), 0);
        // Short reads are taken; the main boot region, the root's first cluster or a bitmap
        // sector failing is EIO, and nothing is kept.
        rd.max_per_call(1);
        EXPECT_EQ(readfat_check(vol, READFAT_CHECK_ALL, nullptr, nullptr, nullptr), 0);
        rd.clear_faults();
        for (const uint64_t s :
             {uint64_t{3},
              uint64_t(lay.heap / 512 + (ExLayout::get32(seed, 96) - 2) * (lay.cb / 512)),
              uint64_t(lay.bitmap / 512)}) {
            rd.fail_sector(s);
            int err = 0;
            EXPECT_EQ(readfat_check(vol, READFAT_CHECK_ALL, nullptr, nullptr, &err), -1) << s;
            EXPECT_EQ(err, EIO) << s;
            EXPECT_EQ(alloc.live_blocks(), live);
            rd.clear_faults();
        }
        readfat_delete(vol);
    }
    // Every fixture (mkfs.exfat, filled through exfat-fuse: 512- and 4096-byte sectors,
    // contiguous and chained directories, sets across cluster ends) is sound to both.
    for (const char *name : {"fragmented", "camera", "deleted", "bigdir", "times", "vdl"}) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> d = exfat_fixture(dir, name);
        EXPECT_TRUE(
            run_logged(find_tool("fsck.exfat") + " -n " + shell_quote(dir + "/" + name + ".img"),
                       dir + "/fsck.out"));
        FaultReader rd(d, 0, d.size() / 512, 256); // a cluster per request at most
        readfat_volume *vol = readfat_new(0, d.size() / 512, 512, &rd, FaultReader::cb,
                                          readfat_optimal_flags(), 2, 2, nullptr);
        ASSERT_NE(vol, nullptr);
        EXPECT_EQ(kinds(check(vol)), "");
        readfat_delete(vol);
    }
}

// ---- Hand-made chains, every FAT width --------------------------------------------------

TEST(CheckShapes, LoopsAndBadLinksOnEveryFatWidth) {
    for (uint32_t bits : {12u, 16u, 32u}) {
        struct Case {
            const char *name;
            uint32_t kind;
            void (*damage)(FatImage &, const TreeNode &);
        } cases[] = {
            {"self-loop", READFAT_FIND_LOOP,
             [](FatImage &m, const TreeNode &n) { m.set_fat(n.chain[2], n.chain[2]); }},
            {"two-cycle", READFAT_FIND_LOOP,
             [](FatImage &m, const TreeNode &n) { m.set_fat(n.chain[3], n.chain[2]); }},
            {"outside", READFAT_FIND_BAD_LINK,
             [](FatImage &m, const TreeNode &n) { m.set_fat(n.chain[1], 4000); }},
            {"free link", READFAT_FIND_BAD_LINK,
             [](FatImage &m, const TreeNode &n) { m.set_fat(n.chain[1], 0); }},
        };
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.name) + " FAT" + std::to_string(bits));
            FatGeometry g;
            g.fat_bits = bits;
            g.cluster_count = bits == 12 ? 3000 : bits == 16 ? 5000 : 256;
            FatImage img(g);
            TreeLayout t(img);
            t.file("SUB/DATA.BIN", pattern_data(4 * 512, 3));
            t.finish();
            c.damage(img, *t.find("SUB/DATA.BIN"));
            FaultReader rd(img);
            Mounted vol(img, rd, readfat_optimal_flags() | DV_CHARSET_UTF8);
            ASSERT_TRUE(vol.ok());
            const std::vector<Found> f = check(vol, READFAT_CHECK_TREE);
            ASSERT_FALSE(f.empty());
            EXPECT_EQ(f[0].kind, c.kind) << kinds(f);
            EXPECT_EQ(f[0].path, "/SUB/DATA.BIN");
        }
    }
}

// A long name whose checksum no longer fits its entry: in a directory of clusters on every
// FAT width, and in the fixed root region of FAT12/16, read raw by another path.
TEST(CheckShapes, OrphanedLongNamesInRootRegionAndClusters) {
    for (uint32_t bits : {12u, 16u, 32u})
        for (bool in_root : {false, true}) {
            if (in_root && bits == 32) continue;
            SCOPED_TRACE("FAT" + std::to_string(bits) + (in_root ? " root" : " SUB"));
            FatGeometry g;
            g.fat_bits = bits;
            g.cluster_count = bits == 12 ? 3000 : bits == 16 ? 5000 : 256;
            FatImage img(g);
            TreeLayout t(img);
            t.file("SUB/Long file name.txt", pattern_data(100, 1));
            t.file("Another long name.txt", pattern_data(100, 2));
            t.finish();
            const std::vector<uint32_t> sub = t.find("SUB")->chain;
            uint8_t *lfn = nullptr;
            for (size_t i = 0; i < 16 && !lfn; ++i) {
                uint8_t *e = in_root ? img.root_entry(i) : img.dir_entry(sub, i);
                if (e[DV_DIRENT_ATTR] == DV_ATTR_LFN) lfn = e;
            }
            ASSERT_NE(lfn, nullptr);
            lfn[DV_LFN_CHECKSUM] ^= 0xFF;
            FaultReader rd(img);
            Mounted vol(img, rd, readfat_optimal_flags() | DV_CHARSET_UTF8);
            ASSERT_TRUE(vol.ok());
            const std::vector<Found> f = check(vol, READFAT_CHECK_TREE);
            ASSERT_EQ(f.size(), 1u) << kinds(f);
            EXPECT_EQ(f[0].kind, uint32_t{READFAT_FIND_LFN_ORPHAN});
            EXPECT_EQ(f[0].path, in_root ? "" : "/SUB");
            EXPECT_EQ(f[0].length, 2u); // 21 units: two entries
        }
}

// The orphan scan takes the sectors the listing reads: each cluster of a directory is read
// once (in one run with READFAT_FLAG_BATCH), and runs that straddle clusters are whole.
TEST(CheckShapes, DirectoryReadOnceForListingAndOrphans) {
    // Cluster by cluster, in runs, and in runs the reader serves a sector at a time.
    for (int mode : {0, 1, 2}) {
        const uint32_t flags = mode ? uint32_t{READFAT_FLAG_BATCH} : 0u;
        SCOPED_TRACE(mode);
        FatImage img(FatGeometry{});
        TreeLayout t(img);
        for (int i = 0; i < 40; ++i)
            t.file("SUB/Long file name " + std::to_string(100 + i) + ".txt", pattern_data(10, 1));
        t.finish();
        const std::vector<uint32_t> sub = t.find("SUB")->chain;
        ASSERT_GE(sub.size(), 7u);
        // The last long-name entry of the directory loses its checksum.
        uint32_t at = 0;
        for (uint32_t i = 0; i < sub.size() * 16; ++i)
            if (img.dir_entry(sub, i)[DV_DIRENT_ATTR] == DV_ATTR_LFN) at = i;
        img.dir_entry(sub, at)[DV_LFN_CHECKSUM] ^= 0xFF;
        FaultReader rd(img);
        if (flags) rd.set_max_count(512);
        Mounted vol(img, rd, readfat_optimal_flags() | DV_CHARSET_UTF8 | flags);
        ASSERT_TRUE(vol.ok());
        rd.reset_log();
        if (mode == 2) rd.fail_call(1, FaultReader::Result::one, true);
        int err = 0;
        std::vector<readfat_finding> f;
        readfat_check(
            vol, READFAT_CHECK_TREE,
            [](void *d, const readfat_finding *x) {
                static_cast<std::vector<readfat_finding> *>(d)->push_back(*x);
                return 0;
            },
            &f, &err);
        ASSERT_EQ(f.size(), 1u);
        EXPECT_EQ(f[0].kind, uint32_t{READFAT_FIND_LFN_ORPHAN});
        EXPECT_EQ(f[0].count, at - 1); // the name's two entries
        EXPECT_EQ(f[0].length, 2u);
        EXPECT_EQ(f[0].sector, img.cluster_sector(sub[(at - 1) / 16]));
        if (mode == 2) continue;
        uint64_t reads = 0;
        for (uint32_t c : sub) {
            EXPECT_LE(rd.cluster_reads(c), 1u) << c << "\n" << rd.describe();
            reads += rd.cluster_reads(c);
        }
        uint64_t runs = 1; // with the flag, one read per run of contiguous clusters
        for (size_t i = 1; i < sub.size(); ++i) runs += sub[i] != sub[i - 1] + 1;
        EXPECT_EQ(reads, flags ? runs : sub.size());
    }
}

// ---- Memory and stopping --------------------------------------------------------------

TEST(CheckLimits, AllocationFailureAndEarlyStop) {
    FatImage img(FatGeometry{});
    TreeLayout t(img);
    t.file("A.BIN", pattern_data(3000, 1)).file("B.BIN", pattern_data(3000, 2));
    t.finish();
    img.set_fat(200, 0x0FFFFFFF); // two lost clusters
    img.set_fat(202, 0x0FFFFFFF);
    std::memcpy(img.boot() + 6 * 512, img.boot(), 512); // the backup boot sector
    FaultReader rd(img);
    Mounted vol(img, rd);
    ASSERT_TRUE(vol.ok());
    for (uint64_t n = 1; n <= 3; ++n) {
        vol.alloc.reset_counts();
        vol.alloc.fail_at(n);
        int err = 0;
        EXPECT_EQ(readfat_check(vol, READFAT_CHECK_ALL, nullptr, nullptr, &err), -1);
        EXPECT_EQ(err, ENOMEM);
    }
    vol.alloc.fail_at(0);
    const size_t live = vol.alloc.live_blocks();
    EXPECT_EQ(readfat_check(vol, READFAT_CHECK_ALL, nullptr, nullptr, nullptr), 2);
    EXPECT_EQ(vol.alloc.live_blocks(), live);
    int calls = 0;
    EXPECT_EQ(readfat_check(
                  vol, READFAT_CHECK_ALL,
                  [](void *d, const readfat_finding *) { return ++*static_cast<int *>(d); }, &calls,
                  nullptr),
              1);
    EXPECT_EQ(calls, 1);
    int err = 0;
    EXPECT_EQ(readfat_check(nullptr, READFAT_CHECK_ALL, nullptr, nullptr, &err), -1);
    EXPECT_EQ(err, EINVAL);
}

} // namespace
