// Every cut point of a mixed workload as a check corpus (40 to 85 writes a volume): each state a
// power loss leaves is checked by readfat_check and by fsck.fat -n side by side (every problem fsck
// names must be a finding too), then mended by writefat_repair, after which fsck.fat has nothing to
// say and every file the cut guarantees (finished before it, every flushed byte) reads back
// unchanged.
#include "write/write_support.h"

#include <dorvex/checkfat.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <utility>
#include <string>
#include <vector>

using namespace dvtest;

namespace {

using Tree = std::map<std::string, std::string>;

// What fsck.fat -n prints for a problem, and the findings that may stand for it.
struct FsckWords {
    const char *says;
    std::set<uint32_t> kinds;
};

const FsckWords kFsckWords[] = {
    {"Dirty bit is set", {READFAT_FIND_DIRTY}},
    {"Free cluster summary wrong", {READFAT_FIND_FSINFO_FREE}},
    {"unused cluster", {READFAT_FIND_LOST}},
    {"FATs differ", {READFAT_FIND_FAT_DIFFERS}},
    {"Orphaned long file name part", {READFAT_FIND_LFN_ORPHAN}},
    {"Wrong checksum for long file name", {READFAT_FIND_LFN_ORPHAN}},
    // One chain under two names: a cut move (both marked) or a cross-link.
    {"share clusters", {READFAT_FIND_MOVE_PAIR, READFAT_FIND_CROSSLINK}},
    {"cluster chain length is",
     {READFAT_FIND_CHAIN_LONG, READFAT_FIND_CHAIN_SHORT, READFAT_FIND_MOVE_PAIR}},
    // A directory moved but not yet left: its ".." names one of its two parents.
    {"Invalid '..' entry", {READFAT_FIND_BAD_DOTDOT, READFAT_FIND_MOVE_PAIR}},
    {"Invalid '.' entry", {READFAT_FIND_BAD_DOT}},
    {"boot sector and its backup", {READFAT_FIND_BOOT_BACKUP}},
    {"Circular cluster chain", {READFAT_FIND_LOOP}},
    {"Directory has non-zero size", {READFAT_FIND_DIR_SIZE}},
    // A label change cut after the root's entry, before the boot sector.
    {"label in boot sector", {READFAT_FIND_LABEL}},
    {"Label in boot sector", {READFAT_FIND_LABEL}},
};

// fsck.fat's lines that only go with a problem named on another line, or say nothing.
const char *const kFsckQuiet[] = {"Checking",
                                  "Starting",
                                  "Leaving filesystem unchanged",
                                  "Automatically removing dirty bit",
                                  "Auto-correcting",
                                  "Auto-deleting",
                                  "Using first FAT",
                                  "Truncating",
                                  "Not automatically fixing",
                                  "mostly harmless",
                                  "properly unmounted",
                                  "Remove dirty bit",
                                  "Performing changes",
                                  "differences between boot sector",
                                  "Not automatically",
                                  "Deleting",
                                  "Setting",
                                  "Auto-copying volume label"};

// A path line ("/DIR/FILE") or one of its continuation lines, which name the entry only.
bool names_entry(const std::string &line) {
    return line[0] == '/' || (line.rfind("  ", 0) == 0 && line.find('/') != std::string::npos &&
                              line.find(':') != std::string::npos);
}

std::set<uint32_t> check_kinds(WImage &img, std::string *said) {
    std::set<uint32_t> kinds;
    int err = 0;
    readfat_volume *vol = readfat_new(0, img.cur.size() / 512, 512, &img, WImage::read_sectors,
                                      readfat_optimal_flags(), 4, 4, &err);
    EXPECT_NE(vol, nullptr) << err;
    if (!vol) return kinds;
    struct Out {
        std::set<uint32_t> *kinds;
        std::string *said;
    } out{&kinds, said};
    const long n = readfat_check(
        vol, READFAT_CHECK_ALL,
        [](void *d, const readfat_finding *f) {
            auto *o = static_cast<Out *>(d);
            o->kinds->insert(f->kind);
            *o->said += std::to_string(f->kind) + "@" + std::to_string(f->cluster) + " ";
            return 0;
        },
        &out, &err);
    EXPECT_GE(n, 0) << err;
    readfat_delete(vol);
    return kinds;
}

// Runs fsck.fat -n on the image's file; adds a failure for each problem it names that the
// check's findings lack, or that this table has no words for.
void fsck_matches_check(WImage &img, const std::set<uint32_t> &kinds, const std::string &said,
                        std::set<std::string> &heard) {
    const std::string out = img.path + ".fsck";
    const int rc = std::system((shell_quote(img.tools.fsck) + " -n " + shell_quote(img.path) +
                                " >" + shell_quote(out) + " 2>&1")
                                   .c_str());
    (void)rc;
    std::ifstream in(out);
    std::string line, all;
    std::vector<std::string> lines;
    while (std::getline(in, line)) {
        all += line + "\n";
        lines.push_back(line);
    }
    for (size_t i = 1; i < lines.size(); ++i) { // past the version banner
        const std::string &l = lines[i];
        if (l.empty() || l.rfind(img.path, 0) == 0) continue; // the summary
        const FsckWords *w = nullptr;
        for (const FsckWords &x : kFsckWords)
            if (l.find(x.says) != std::string::npos) w = &x;
        if (!w) {
            bool quiet = names_entry(l);
            for (const char *q : kFsckQuiet) quiet = quiet || l.find(q) != std::string::npos;
            if (!quiet) ADD_FAILURE() << "fsck.fat says what no finding maps: " << l << "\n" << all;
            continue;
        }
        heard.insert(w->says);
        bool found = false;
        for (uint32_t k : w->kinds) found = found || kinds.count(k);
        if (!found)
            ADD_FAILURE() << "no finding for fsck's \"" << l << "\"; check: " << said << "\n"
                          << all;
    }
}

// `data` one byte past a 512-byte boundary: aligned data is written straight from the
// caller's buffer, which changes the number of writes, and heap addresses vary between runs.
struct Unaligned {
    explicit Unaligned(const std::string &data) : block(data.size() + 1024) {
        const auto at = reinterpret_cast<uintptr_t>(block.data());
        p = block.data() + ((512 - at % 512) % 512) + 1;
        std::memcpy(p, data.data(), data.size());
    }
    std::vector<char> block;
    char *p;
};

// put() from an unaligned copy, so that every run makes the same writes.
int put_same(writefat_volume *w, const char *path, const std::string &data) {
    int err = 0;
    writefat_file *f = writefat_create(w, path, 0, &err);
    if (!f) return err;
    const Unaligned u(data);
    for (size_t at = 0; at < data.size(); at += 1000)
        if (writefat_write(w, f, u.p + at, std::min<size_t>(1000, data.size() - at), &err) != 0) {
            writefat_abort(w, f);
            return err;
        }
    return writefat_finish(w, f, 1700000000);
}

// Appends 30 lines to `path` in three flushes; `flushed` gets the write count after each.
std::string log_line(int i) {
    std::string line = "2026-12-10T08:00:" + std::to_string(i) + ",ch" + std::to_string(i % 4);
    line.resize(63, '.');
    return line + "\n";
}

int append_flushed(writefat_volume *w, WImage &img, const char *path, std::vector<long> *flushed) {
    int err = 0;
    writefat_file *f = writefat_open_file(w, path, WRITEFAT_APPEND, &err);
    if (!f) return err;
    for (int k = 0; k < 3; ++k) {
        for (int i = k * 10; i < k * 10 + 10; ++i) {
            const Unaligned line(log_line(i));
            if (writefat_write(w, f, line.p, 64, &err) != 0) {
                writefat_abort(w, f);
                return err;
            }
        }
        if (int rc = writefat_flush(w, f, 1700000000 + k)) {
            writefat_abort(w, f);
            return rc;
        }
        if (flushed) flushed->push_back(img.writes);
    }
    return writefat_finish(w, f, DV_TIME_NONE);
}

const std::string kOldA = "small file\n";
const std::string kMade = std::string(200, 'n') + " made.bin";
const std::string kLongA = "keep/" + std::string(210, 'm') + " moved.txt";

struct Step {
    const char *name;
    std::function<int(writefat_volume *, WImage &, std::vector<long> *)> run;
    std::vector<std::pair<std::string, std::string>> moves; // from, to: the data at one of them
};

const std::vector<Step> &steps() {
    static const std::vector<Step> s = {
        {"create",
         [](writefat_volume *w, WImage &, std::vector<long> *) {
             return put_same(w, "new file.bin", pattern(9000, 3));
         },
         {}},
        {"append and flush",
         [](writefat_volume *w, WImage &img, std::vector<long> *flushed) {
             return append_flushed(w, img, "keep/a.txt", flushed);
         },
         {}},
        {"move",
         [](writefat_volume *w, WImage &, std::vector<long> *) {
             int rc = writefat_rename(w, "old.txt", "keep/renamed old.txt");
             return rc ? rc : writefat_rename(w, "tree/sub", "keep/sub moved");
         },
         {{"old.txt", "keep/renamed old.txt"}, {"tree/sub/", "keep/sub moved/"}}},
        {"remove tree",
         [](writefat_volume *w, WImage &, std::vector<long> *) { return remove_tree(w, "tree"); },
         {}},
        {"long names",
         [](writefat_volume *w, WImage &, std::vector<long> *) {
             int rc = put_same(w, kMade.c_str(), pattern(5000, 8));
             return rc ? rc : writefat_rename(w, "keep/a.txt", kLongA.c_str());
         },
         {{"keep/a.txt", kLongA}}},
        {"label",
         [](writefat_volume *w, WImage &, std::vector<long> *) {
             return writefat_setlabel(w, "Card 2");
         },
         {}},
    };
    return s;
}

// Whether `after` holds the data of `from` (a file, or a directory's files: "dir/") at `from`
// or at `to`.
bool moved_whole(const Tree &before, const Tree &after, const std::string &from,
                 const std::string &to) {
    for (const std::string &at : {from, to}) {
        bool all = true;
        for (const auto &[p, dig] : before) {
            if (p.rfind(from, 0) != 0) continue;
            auto it = after.find(at + p.substr(from.size()));
            all = all && it != after.end() && it->second == dig;
        }
        if (all) return true;
    }
    return false;
}

class CrashCheck : public ::testing::TestWithParam<FatKind> {};

TEST_P(CrashCheck, EveryCutFoundAsFsckFindsItAndRepaired) {
    DV_NEED_TOOLS("mkfs.fat", "fsck.fat", "mcopy");
    WriteTools tools;
    const std::string dir = scratch_dir("dorvex-crash");
    WImage img(tools, GetParam(), dir);
    {
        writefat_volume *w = img.open();
        ASSERT_NE(w, nullptr);
        for (const char *d : {"keep", "tree", "tree/sub"}) ASSERT_EQ(writefat_mkdir(w, d, 1), 0);
        ASSERT_EQ(put(w, "keep/a.txt", kOldA), 0);
        ASSERT_EQ(put(w, "keep/multi.bin", pattern(20000, 1)), 0);
        ASSERT_EQ(put(w, "old.txt", "the old one\n"), 0);
        ASSERT_EQ(put(w, "tree/x.txt", "x\n"), 0);
        ASSERT_EQ(put(w, "tree/sub/y.bin", pattern(3000, 2)), 0);
        ASSERT_EQ(put(w, "tree/sub/a long name z.txt", "z\n"), 0);
        ASSERT_EQ(writefat_close(w), 0);
        img.commit();
    }
    // The tree after each step.
    std::vector<Tree> trees;
    {
        writefat_volume *w = img.open();
        ASSERT_NE(w, nullptr);
        trees.push_back(reader_tree(w));
        for (const Step &s : steps()) {
            ASSERT_EQ(s.run(w, img, nullptr), 0) << s.name;
            trees.push_back(reader_tree(w));
        }
        ASSERT_EQ(writefat_close(w), 0);
        img.restore();
    }
    std::vector<std::string> appended{kOldA};
    for (int k = 1; k <= 3; ++k) {
        std::string d = appended.back();
        for (int i = (k - 1) * 10; i < k * 10; ++i) d += log_line(i);
        appended.push_back(d);
    }

    writefat_config no_reclaim;
    writefat_config_init(&no_reclaim, WRITEFAT_CONFIG_FAST);
    if (img.config) no_reclaim = *img.config;
    no_reclaim.options &= ~WRITEFAT_OPT_RECLAIM;
    const writefat_config *config = img.config;

    std::set<std::string> heard; // fsck's problems met over all cuts
    for (long n = 0; n < 10000; ++n) {
        size_t k = 0; // the step the cut falls in
        std::vector<long> flushed;
        {
            writefat_volume *w = img.open(n);
            ASSERT_NE(w, nullptr);
            while (k < steps().size() && steps()[k].run(w, img, &flushed) == 0) ++k;
            writefat_close(w);
        }
        if (k == steps().size()) { // past the last write
            img.restore();
            EXPECT_GT(n, 30);
            break;
        }
        SCOPED_TRACE("cut after write " + std::to_string(n) + ", in " + steps()[k].name);
        std::string said;
        const std::set<uint32_t> kinds = check_kinds(img, &said);
        fsck_matches_check(img, kinds, said, heard);

        img.config = &no_reclaim;
        writefat_volume *w = img.open();
        img.config = config;
        ASSERT_NE(w, nullptr);
        writefat_reclaim_report rep{};
        EXPECT_EQ(writefat_repair(w, 0, 1700000000, nullptr, nullptr, &rep), 0);
        EXPECT_EQ(rep.damaged, 0u);
        Tree after = reader_tree(w);
        EXPECT_EQ(writefat_close(w), 0);
        std::string report;
        EXPECT_TRUE(img.fsck(&report, false)) << report;
        EXPECT_EQ(check_kinds(img, &said), std::set<uint32_t>{}) << said;

        // What was saved of lost chains is not among the guaranteed files.
        for (auto it = after.begin(); it != after.end();)
            it = it->first.rfind("FOUND.", 0) == 0 ? after.erase(it) : std::next(it);
        const Tree &was = trees[k], &will = trees[k + 1];
        std::set<std::string> paths;
        for (const Tree *t : {&was, &will, const_cast<const Tree *>(&after)})
            for (const auto &e : *t) paths.insert(e.first);
        for (const std::string &p : paths) {
            auto a = std::as_const(after).find(p);
            auto b = was.find(p), c = will.find(p);
            const std::string got = a == after.end() ? "absent" : a->second;
            const std::string old = b == was.end() ? "absent" : b->second;
            const std::string fresh = c == will.end() ? "absent" : c->second;
            if (old == fresh) {
                EXPECT_EQ(got, old) << p;
            } else if (p == "keep/a.txt" && k == 1) { // every flushed line is kept
                const size_t done = flushed.size();
                bool ok = false;
                for (size_t i = done; i < appended.size(); ++i)
                    ok = ok || got == digest(appended[i]);
                EXPECT_TRUE(ok) << p << " lost flushed lines: " << done << " flushes done";
            } else {
                EXPECT_TRUE(got == old || got == fresh || got == "absent") << p;
            }
        }
        for (const auto &[mf, mt] : steps()[k].moves)
            EXPECT_TRUE(moved_whole(was, after, mf, mt)) << mf << " -> " << mt;
        img.restore();
        if (HasFailure()) return;
    }
    // The corpus holds what each kind of write leaves when cut.
    for (const char *says : {"unused cluster", "share clusters", "cluster chain length is",
                             "Invalid '..' entry", "FATs differ", "label in boot sector"})
        EXPECT_TRUE(heard.count(says)) << says;
}

const FatKind kCrashKinds[] = {
    {"fat12", "-F 12", 1440},
    {"fat16", "-F 16 -s 1", 8192},
    {"fat32", "-F 32 -s 1", 34816},
    {"fat16_4k", "-F 16 -S 4096 -s 1", 32768},
    {"fat32_small", "-F 32 -s 1", 34816, false, small_config()},
    {"fat16_tight", "-F 16 -s 1", 8192, false, tight_config()},
};

INSTANTIATE_TEST_SUITE_P(Kinds, CrashCheck, ::testing::ValuesIn(kCrashKinds),
                         [](const testing::TestParamInfo<FatKind> &i) { return i.param.label; });

} // namespace
