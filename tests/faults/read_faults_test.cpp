// Sector-read failure loops: each scenario runs once cleanly to count its reader calls R,
// then again with call N (N = 1 .. R + 1) failing once and from N on, for every kind of bad
// result (0, negative, one sector more than asked) and with short reads. Every failure must
// come out as a documented code; after a one-off failure the next call retries and the
// result is whole again; and afterwards the same volume must still give the clean result.
// The clean call counts are pinned so that a caching regression shows. Every scenario runs
// with and without READFAT_FLAG_BATCH.
#include "support/fat_image.h"
#include "support/fault_reader.h"
#include "support/tracking_alloc.h"
#include "support/volume_util.h"

#include <dorvex/readfat.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>

using namespace dvtest;
using Result = FaultReader::Result;

namespace {

// What a scenario produced, and the failure codes it met on the way (end of directory and
// end of file are not failures).
struct Outcome {
    std::string text;
    std::vector<int> codes;
};

using Body = std::function<void(readfat_volume *, Outcome &)>;

constexpr int kRetries = 3; // attempts per operation before a scenario gives up on it

std::string entry_line(const std::string &dir, const dv_entry &e) {
    return dir + "/" + to_utf8(e.name) + " c=" + std::to_string(e.cluster) +
           " s=" + std::to_string(e.size) + " a=" + std::to_string(e.attr) + "\n";
}

// Lists `path` and its subdirectories, retrying failed calls.
void walk(readfat_volume *vol, const std::string &path, int depth, Outcome &o) {
    readfat_dir *d = nullptr;
    int err = 0;
    for (int i = 0; i < kRetries && !d; ++i)
        if (!(d = readfat_opendir(vol, path.c_str(), &err))) o.codes.push_back(err);
    if (!d) {
        o.text += "!opendir " + path + "\n";
        return;
    }
    std::vector<std::string> subdirs;
    int failures = 0;
    for (int guard = 0; guard < 100000; ++guard) {
        const dv_entry *e = readfat_readdir(vol, d, &err);
        if (!e) {
            if (err == DV_E_ENDDIR) break;
            o.codes.push_back(err);
            if (++failures == kRetries) {
                o.text += "!readdir " + path + "\n";
                break;
            }
            continue;
        }
        failures = 0;
        o.text += entry_line(path, *e);
        const std::string name = to_utf8(e->name);
        if ((e->attr & DV_ATTR_DIRECTORY) && name != "." && name != "..") subdirs.push_back(name);
    }
    readfat_closedir(vol, d);
    if (depth < 16)
        for (const std::string &s : subdirs) walk(vol, path + "/" + s, depth + 1, o);
}

void stat_path(readfat_volume *vol, const char *path, Outcome &o) {
    dv_entry e;
    for (int i = 0; i < kRetries; ++i) {
        const int rc = readfat_stat(vol, path, &e);
        if (rc == 0) {
            o.text += entry_line("stat", e);
            return;
        }
        o.codes.push_back(rc);
    }
    o.text += std::string("!stat ") + path + "\n";
}

readfat_file *open_file(readfat_volume *vol, const char *path, Outcome &o) {
    int err = 0;
    for (int i = 0; i < kRetries; ++i) {
        if (readfat_file *f = readfat_open(vol, path, &err)) return f;
        o.codes.push_back(err);
    }
    o.text += std::string("!open ") + path + "\n";
    return nullptr;
}

// Reads a whole file in `chunk`-byte steps. EIO: the same handle retries. A broken chain
// (a FAT sector that failed at a cluster end): reopen and seek back to where reading stopped.
void read_all(readfat_volume *vol, const char *path, uint32_t chunk, Outcome &o) {
    readfat_file *f = open_file(vol, path, o);
    if (!f) return;
    std::string data;
    AlignedBuffer buf(chunk);
    int failures = 0;
    while (failures < kRetries) {
        int err = 0;
        const uint32_t n = readfat_read(vol, f, buf.data(), chunk, &err);
        data.append(buf.chars(), n);
        if (n == chunk) {
            failures = 0;
            continue;
        }
        if (err == 0) break; // end of file
        o.codes.push_back(err);
        ++failures;
        if (err == DV_E_BROKENCHAIN) {
            const uint32_t pos = readfat_tell(vol, f);
            readfat_close(vol, f);
            if (!(f = open_file(vol, path, o))) return;
            if (readfat_seek(vol, f, pos, &err) != 0) o.codes.push_back(err);
        }
    }
    o.text += std::string("read ") + path + " " + std::to_string(data.size()) + " " +
              std::to_string(std::hash<std::string>{}(data)) + "\n";
    readfat_close(vol, f);
}

// Seeks to the end and back, reading a little after each seek.
void seek_around(readfat_volume *vol, const char *path, Outcome &o) {
    readfat_file *f = open_file(vol, path, o);
    if (!f) return;
    const uint32_t size = readfat_size(vol, f);
    const uint32_t cb = vol->cluster_bytes;
    for (uint32_t pos : {size, 0u, size - 10, 2 * cb + 3, cb, size, 5u}) {
        int err = 0, i = 0;
        for (; i < kRetries; ++i) {
            if (readfat_seek(vol, f, pos, &err) == 0) break;
            o.codes.push_back(err);
        }
        o.text += "seek " + std::to_string(pos) + " -> " + std::to_string(readfat_tell(vol, f));
        char buf[16];
        uint32_t n = 0;
        for (i = 0; i < kRetries; ++i) {
            err = 0;
            n = readfat_read(vol, f, buf, sizeof buf, &err);
            if (n != 0 || err == 0) break;
            o.codes.push_back(err);
        }
        o.text += " read " + std::string(buf, n) + "\n";
    }
    readfat_close(vol, f);
}

struct Scenario {
    const char *name;
    std::shared_ptr<FatImage> img;
    Body body;
    std::set<int> allowed;    // failure codes the body may meet under faults
    uint64_t pinned_calls[2]; // reader calls of a clean run after the mount, plain / batched
    bool lists;               // a lost FAT sector may cut a listing short (documented)
};

FatGeometry geometry(uint32_t spc, uint32_t clusters) {
    FatGeometry g;
    g.sectors_per_cluster = spc;
    g.cluster_count = clusters;
    g.start_sector = 63; // a partition inside a larger disk
    g.trailing_sectors = 8;
    return g;
}

// A tree whose directories span several clusters and whose late clusters need further FAT
// sectors, on one-sector clusters.
std::shared_ptr<FatImage> tree_image() {
    auto img = std::make_shared<FatImage>(geometry(1, 600));
    TreeLayout t(*img);
    t.file("BIG.BIN", pattern_data(150 * 512, 1)); // pushes later clusters past FAT sector 0
    for (int i = 0; i < 12; ++i)
        t.file("Listing/file number " + std::to_string(i) + ".txt",
               pattern_data(100 + i, uint32_t(i)));
    t.file("A/B/C/D/E/F/the deepest file.txt", pattern_data(700, 3), FatImage::Spread::gapped);
    t.file("A/B/side.txt", "side");
    t.dir("A/B/C/empty");
    t.label("TREE       ");
    t.finish();
    return img;
}

// A fragmented file of sixteen two-sector clusters, linked out of order across FAT sectors.
std::shared_ptr<FatImage> fragmented_image() {
    auto img = std::make_shared<FatImage>(geometry(2, 700));
    TreeLayout t(*img);
    t.file("pad/PAD.BIN", pattern_data(200 * 1024, 9));
    t.finish();
    std::vector<uint32_t> chain = {300, 130, 610, 131, 2 + 5, 450, 129, 600,
                                   640, 301, 260, 520, 8,     390, 391, 132};
    const std::string data = pattern_data(16 * 1024 - 300, 5);
    img->write_data(chain, data);
    DirEntries root;
    root.add_short("PAD        ", DV_ATTR_DIRECTORY, t.find("pad")->first_cluster, 0);
    root.add_long(u"fragmented file.bin", "FRAGME~1BIN", DV_ATTR_ARCHIVE, chain[0],
                  uint32_t(data.size()));
    img->write_dir({img->root_cluster()}, root);
    return img;
}

// One-sector clusters where a long-name run starts in the last entries of one cluster and
// ends in the next (and a second one across the next boundary).
std::shared_ptr<FatImage> cut_run_image() {
    auto img = std::make_shared<FatImage>(geometry(1, 64));
    const std::u16string long1 = u"a long name cut by the cluster boundary.txt"; // 4 entries
    const std::u16string long2 = u"second one, with a longer name that needs five entries";
    DirEntries d;
    d.pad_to(14);
    d.add_long(long1, "ALONGN~1TXT", DV_ATTR_ARCHIVE, 40, 600);
    d.pad_to(30);
    d.add_long(long2, "SECOND~1   ", DV_ATTR_ARCHIVE, 0, 0);
    d.add_short("AFTER   TXT", DV_ATTR_ARCHIVE, 0, 0);
    img->place_root(d);
    img->write_data({40, 42}, pattern_data(600, 4));
    return img;
}

// Four-sector clusters, where short reads really split cluster reads: a tree of files to
// list and read whole.
std::shared_ptr<FatImage> spc4_image() {
    auto img = std::make_shared<FatImage>(geometry(4, 300));
    TreeLayout t(*img);
    for (int i = 0; i < 6; ++i)
        t.file("docs/report " + std::to_string(i) + ".txt", pattern_data(1500 * i + 10, 20 + i),
               i % 2 ? FatImage::Spread::gapped : FatImage::Spread::reversed);
    t.file("docs/more/NOTES.TXT", pattern_data(5000, 30), FatImage::Spread::shuffled);
    t.finish();
    return img;
}

// A file of 80 one-sector clusters that lie one after another, read in runs with the bit.
std::shared_ptr<FatImage> contiguous_image() {
    auto img = std::make_shared<FatImage>(geometry(1, 200));
    TreeLayout t(*img);
    t.file("RUN.BIN", pattern_data(80 * 512 - 9, 7));
    t.finish();
    return img;
}

// A directory of twelve one-sector clusters that lie one after another, its long-name runs
// cut by cluster boundaries: listed in runs with the bit.
std::shared_ptr<FatImage> contiguous_dir_image() {
    auto img = std::make_shared<FatImage>(geometry(1, 200));
    TreeLayout t(*img);
    for (int i = 0; i < 60; ++i)
        t.file("Many/a long name for file number " + std::to_string(i) + ".txt", "x");
    t.finish();
    return img;
}

void walk_and_read(readfat_volume *v, Outcome &o) {
    walk(v, "", 0, o);
    for (int i = 0; i < 6; ++i)
        read_all(v, ("docs/report " + std::to_string(i) + ".txt").c_str(), 1000, o);
    read_all(v, "docs/more/NOTES.TXT", 2048, o);
}

std::vector<Scenario> scenarios() {
    auto tree = tree_image();
    auto frag = fragmented_image();
    auto cut = cut_run_image();
    const std::set<int> listing = {EIO, ENOENT};
    return {
        {"mount",
         tree,
         [](readfat_volume *, Outcome &o) { o.text = "mounted"; },
         {},
         {1, 1},
         false},
        {"recursive_listing",
         tree,
         [](readfat_volume *v, Outcome &o) { walk(v, "", 0, o); },
         listing,
         {40, 39},
         true},
        {"stat_deepest",
         tree,
         [](readfat_volume *v, Outcome &o) { stat_path(v, "A/B/C/D/E/F/the deepest file.txt", o); },
         {ENOENT},
         {0, 0},
         false},
        {"fragmented_read",
         frag,
         [](readfat_volume *v, Outcome &o) {
             read_all(v, "fragmented file.bin", 700, o);
             read_all(v, "/fragmented file.bin", 1024, o); // whole clusters, straight copies
         },
         {ENOENT, EIO, DV_E_BROKENCHAIN},
         {41, 41},
         false},
        {"listing_and_reads_spc4",
         spc4_image(),
         walk_and_read,
         {EIO, ENOENT, DV_E_BROKENCHAIN},
         {40, 40},
         true},
        {"seek_end_and_back",
         frag,
         [](readfat_volume *v, Outcome &o) { seek_around(v, "fragmented file.bin", o); },
         {ENOENT, EIO, DV_E_BROKENCHAIN},
         {13, 13},
         false},
        {"cut_long_name_run",
         cut,
         [](readfat_volume *v, Outcome &o) {
             walk(v, "/", 0, o);
             stat_path(v, "second one, with a longer name that needs five entries", o);
             read_all(v, "a long name cut by the cluster boundary.txt", 512, o);
         },
         {EIO, ENOENT, DV_E_BROKENCHAIN},
         {0, 0},
         true},
        {"contiguous_runs",
         contiguous_image(),
         [](readfat_volume *v, Outcome &o) {
             read_all(v, "RUN.BIN", 16384, o); // 32 clusters a read: runs with the bit
             read_all(v, "/RUN.BIN", 4608, o); // runs of 9 clusters
         },
         {ENOENT, EIO, DV_E_BROKENCHAIN},
         {164, 18},
         false},
        {"contiguous_listing",
         contiguous_dir_image(),
         [](readfat_volume *v, Outcome &o) { walk(v, "", 0, o); },
         listing,
         {20, 6},
         true},
    };
}

// Mounts (retrying when the boot sector read fails) and runs the body.
struct Session {
    FatImage &img;
    FaultReader rd;
    TrackingAlloc alloc;
    readfat_volume *vol = nullptr;
    Outcome out;

    uint32_t flags;

    Session(FatImage &i, bool batch)
        : img(i), rd(i), flags(readfat_optimal_flags() | (batch ? READFAT_FLAG_BATCH : 0)) {
        allow_batches(rd, img, flags);
    }
    ~Session() {
        if (vol) readfat_delete(vol);
    }
    void mount() {
        for (int i = 0; i < kRetries && !vol; ++i) {
            int err = 0;
            vol =
                readfat_new2(img.start_sector(), img.end_sector(), 512, &rd, FaultReader::cb, flags,
                             2, 2, &err, &alloc, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
            if (!vol) {
                out.codes.push_back(err);
                EXPECT_EQ(err, EIO);
                EXPECT_EQ(alloc.live_blocks(), 0u);
            }
        }
    }
};

bool is_failure(int32_t result, uint32_t count) {
    return result <= 0 || uint32_t(result) > count;
}

// A scenario, and whether the volume is mounted with READFAT_FLAG_BATCH.
class ReadFaults : public testing::TestWithParam<std::tuple<size_t, bool>> {};

TEST_P(ReadFaults, EveryCallFails) {
    const Scenario sc = scenarios()[std::get<0>(GetParam())];
    const bool batch = std::get<1>(GetParam());
    FatImage &img = *sc.img;

    // The clean run: the reference result and R.
    Outcome ref;
    uint64_t r = 0;
    {
        Session clean(img, batch);
        clean.mount();
        ASSERT_NE(clean.vol, nullptr);
        const uint64_t mount_calls = clean.rd.calls();
        sc.body(clean.vol, clean.out);
        ref = clean.out;
        r = clean.rd.calls();
        EXPECT_EQ(mount_calls, 1u);
        EXPECT_TRUE(ref.codes.empty()) << "clean run met failures";
        EXPECT_EQ(ref.text.find('!'), std::string::npos) << ref.text;
        std::printf("[ figure ] %s: %llu reader calls (%llu FAT, %llu data)\n", sc.name,
                    static_cast<unsigned long long>(r),
                    static_cast<unsigned long long>(clean.rd.fat_reads()),
                    static_cast<unsigned long long>(clean.rd.data_reads()));
        if (sc.pinned_calls[batch]) {
            EXPECT_EQ(r, sc.pinned_calls[batch]) << clean.rd.describe();
        }
    }

    uint64_t injected = 0, runs = 0;
    std::set<int> allowed = sc.allowed;
    allowed.insert(EIO); // the mount's own code
    for (Result mode : {Result::zero, Result::negative, Result::over, Result::one}) {
        for (bool persistent : {false, true}) {
            for (uint64_t n = 1; n <= r + 1; ++n) {
                SCOPED_TRACE(testing::Message()
                             << sc.name << ": call " << n << " of " << r << " mode " << int(mode)
                             << (persistent ? " from there on" : " once"));
                Session run(img, batch);
                run.rd.fail_call(n, mode, persistent);
                run.mount();
                if (run.vol) sc.body(run.vol, run.out);
                ++runs;
                const auto &log = run.rd.log();
                const bool hit = log.size() >= n;
                // Failed calls, and short results that split a cluster read.
                if (hit && (is_failure(log[n - 1].result, log[n - 1].count) ||
                            uint32_t(log[n - 1].result) < log[n - 1].count))
                    ++injected;
                for (int code : run.out.codes)
                    EXPECT_TRUE(allowed.count(code)) << "undocumented code " << code;
                EXPECT_EQ(run.rd.bad_requests(), 0u);

                // Short reads are no failure at all; a one-off failure is retried, except that
                // a FAT sector lost in a listing cuts that listing short.
                const bool fat_fault = hit && log[n - 1].sector < img.data_start() &&
                                       log[n - 1].sector >= img.fat_start();
                if (mode == Result::one || !hit) {
                    EXPECT_EQ(run.out.text, ref.text);
                    EXPECT_TRUE(run.out.codes.empty());
                } else if (!persistent && (!sc.lists || !fat_fault)) {
                    // A retried cluster load keeps a long-name run carried over from the
                    // cluster before, so the listing is whole, names included.
                    EXPECT_EQ(run.out.text, ref.text) << run.rd.describe();
                }

                // The same volume, faults cleared, gives the clean result.
                if (run.vol) {
                    run.rd.clear_faults();
                    Outcome again;
                    sc.body(run.vol, again);
                    EXPECT_EQ(again.text, ref.text);
                    EXPECT_TRUE(again.codes.empty());
                }
            }
        }
    }
    std::printf("[ figure ] %s: %llu runs, %llu reader faults injected\n", sc.name,
                static_cast<unsigned long long>(runs), static_cast<unsigned long long>(injected));
    EXPECT_GE(injected, 6 * r); // every call index, in all six failing variants
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ReadFaults,
                         testing::Combine(testing::Range<size_t>(0, 9), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<size_t, bool>> &info) {
                             return std::string(scenarios()[std::get<0>(info.param)].name) +
                                    (std::get<1>(info.param) ? "_batch" : "");
                         });

} // namespace
