// Power loss: representative operations cut after every write they make (the writer stops
// there, as a pulled plug does). Each cut must leave every file that existed before intact
// and give fsck.fat -n nothing to say beyond what a crash may leave (see WImage::fsck).
#include "write/write_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>
#include <tuple>

using namespace dvtest;

namespace {

const FatKind kKinds[] = {
    {"fat12", "-F 12", 1440},
    {"fat16", "-F 16 -s 1", 8192},
    {"fat32", "-F 32 -s 1", 34816},
    {"fat16_4k", "-F 16 -S 4096 -s 1", 32768},
    {"fat16_grouped", "-F 16 -s 1", 8192, true},
    {"fat32_small", "-F 32 -s 1", 34816, false, small_config()},
    {"fat16_tight_grouped", "-F 16 -s 1", 8192, true, tight_config()},
};

using Tree = std::map<std::string, std::string>;

struct Op {
    const char *name;
    std::function<int(writefat_volume *)> run;
    int want;                                                      // the result of an uncut run
    std::function<bool(const Tree &before, const Tree &after)> ok; // after a cut
    bool shared_ok = false; // a cut may leave one chain under two names (a move)
    // Run on the volume as a cut left it (nothing reclaimed), on a copy that is then dropped.
    std::function<void(writefat_volume *)> at_cut = nullptr;
};

// Every earlier file as it was, except where `moved` says it may be elsewhere or gone.
bool kept(const Tree &before, const Tree &after,
          const std::function<bool(const std::string &, const std::string &)> &alt = nullptr) {
    for (const auto &[path, dig] : before) {
        auto it = after.find(path);
        if (it != after.end() && it->second == dig) continue;
        if (alt && alt(path, dig)) continue;
        ADD_FAILURE() << "lost or changed: " << path;
        return false;
    }
    return true;
}

// The labels of the boot sector, the root directory ("NO NAME    " for none) and FAT32's
// backup boot sector (empty on FAT12/16), as stored.
std::tuple<std::string, std::string, std::string> labels(WImage &img) {
    int err = 0;
    readfat_volume *vol = readfat_new(0, img.cur.size() / 512, 512, &img, WImage::read_sectors,
                                      readfat_optimal_flags(), 4, 4, &err);
    EXPECT_NE(vol, nullptr) << err;
    if (!vol) return {};
    readfat_volinfo info{};
    EXPECT_EQ(readfat_info(vol, &info), 0);
    std::string root = "NO NAME    ";
    readfat_dir *d = readfat_opendir(vol, "", &err);
    while (const dv_entry *e = d ? readfat_readdir(vol, d, &err) : nullptr)
        if ((e->attr & DV_ATTR_VOLUME) && !e->deleted && (e->attr & 0x3F) != DV_ATTR_LFN) {
            root.assign(e->shortname, 11);
            break;
        }
    if (d) readfat_closedir(vol, d);
    std::string backup;
    if (info.fat_type == 32) backup.assign(reinterpret_cast<char *>(&img.cur[6 * 512 + 71]), 11);
    readfat_delete(vol);
    return {std::string(info.label, 11), root, backup};
}

class PowerLoss : public ::testing::TestWithParam<FatKind> {
  protected:
    void SetUp() override {
        DV_NEED_TOOLS("mkfs.fat", "fsck.fat", "mcopy");
        dir = scratch_dir("dorvex-power");
        img = std::make_unique<WImage>(tools, GetParam(), dir);
        writefat_volume *w = img->open();
        ASSERT_NE(w, nullptr);
        ASSERT_EQ(writefat_mkdir(w, "keep", 1), 0);
        ASSERT_EQ(writefat_mkdir(w, "tree", 1), 0);
        ASSERT_EQ(writefat_mkdir(w, "tree/sub", 1), 0);
        ASSERT_EQ(put(w, "keep/a.txt", "small file\n"), 0);
        ASSERT_EQ(put(w, "keep/multi.bin", pattern(20000, 1)), 0);
        ASSERT_EQ(put(w, "old.txt", "the old one\n"), 0);
        ASSERT_EQ(put(w, "tree/x.txt", "x\n"), 0);
        ASSERT_EQ(put(w, "tree/sub/y.bin", pattern(3000, 2)), 0);
        ASSERT_EQ(put(w, "tree/sub/a long name z.txt", "z\n"), 0);
        before = reader_tree(w);
        ASSERT_EQ(writefat_close(w), 0);
        img->commit();
    }

    // Runs `op` whole, then cut after each of its writes (at most about 20 cuts, spread).
    // Each cut is checked as it stands (fsck.fat, the files, `at_cut`), then after
    // writefat_reclaim (at open when the dirty flag tells, else called): fsck.fat finds no lost
    // clusters, shared chains or orphaned long names, and the files are as before.
    void cut_everywhere(const Op &op) {
        SCOPED_TRACE(op.name);
        writefat_volume *w = img->open();
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(op.run(w), op.want);
        EXPECT_EQ(writefat_close(w), 0);
        const long total = img->writes;
        std::string report;
        EXPECT_TRUE(img->fsck(&report, false)) << report;
        img->restore();
        const long stride = total > 20 ? total / 20 : 1;
        auto cut = [&](long n) {
            writefat_volume *v = img->open(n);
            ASSERT_NE(v, nullptr);
            op.run(v);
            writefat_close(v);
        };
        for (long n = 0; n < total; n += (n + stride < total ? stride : 1)) {
            cut(n);
            EXPECT_TRUE(img->fsck(&report, true, op.shared_ok)) << "cut after write " << n << "\n"
                                                                << report;
            EXPECT_TRUE(op.ok(before, reader_tree(*img))) << "cut after write " << n;
            if (op.at_cut) {
                img->mark_clean();
                w = img->open();
                ASSERT_NE(w, nullptr);
                op.at_cut(w);
                writefat_close(w);
                img->restore();
                cut(n);
            }
            w = img->open();
            ASSERT_NE(w, nullptr);
            writefat_reclaim_report rep{};
            if (!writefat_reclaimed(w, &rep)) {
                EXPECT_EQ(writefat_reclaim(w, &rep), 0);
            }
            EXPECT_EQ(rep.damaged, 0u) << "cut after write " << n;
            const Tree after = reader_tree(w);
            writefat_close(w);
            EXPECT_TRUE(op.ok(before, after)) << "reclaimed after write " << n;
            // Reclaim also ends a chain that a cut append left past its file's size.
            const bool long_chain_ok = img->long_chain_ok;
            img->long_chain_ok = false;
            EXPECT_TRUE(img->fsck(&report, true, false, false))
                << "reclaimed after write " << n << "\n"
                << report;
            img->long_chain_ok = long_chain_ok;
            img->restore();
            if (HasFailure()) return;
        }
    }

    // On a cut move, both names may stand: removing either (alternately) must keep the other's
    // data, even when a new file then takes the space removal freed.
    void remove_either_name(writefat_volume *w) {
        const Tree cut = reader_tree(w);
        const std::pair<std::string, std::string> pairs[] = {{"old.txt", "keep/renamed old.txt"},
                                                             {"tree/sub", "keep/sub moved"}};
        for (const auto &[from, to] : pairs) {
            if (!cut.count(from) && !cut.count(from + "/")) continue;
            if (!cut.count(to) && !cut.count(to + "/")) continue;
            const bool drop_old = flip++ % 2 == 0;
            const std::string &gone = drop_old ? from : to, &stays = drop_old ? to : from;
            ASSERT_EQ(remove_tree(w, gone), 0) << gone;
            ASSERT_EQ(put(w, "filler.bin", pattern(30000, 9)), 0);
            const Tree after = reader_tree(w);
            for (const auto &[path, dig] : cut) {
                if (path.rfind(stays, 0) != 0) continue;
                if (path.size() != stays.size() && path[stays.size()] != '/') continue;
                EXPECT_EQ(after.count(path) ? after.at(path) : "gone", dig) << path;
            }
            ASSERT_EQ(writefat_remove(w, "filler.bin"), 0);
        }
    }

    int flip = 0;
    WriteTools tools;
    std::string dir;
    std::unique_ptr<WImage> img;
    Tree before;
};

TEST_P(PowerLoss, PutSmallFile) {
    const std::string data = "a new small file\n";
    cut_everywhere({"put small",
                    [&](writefat_volume *w) { return put(w, "new small file.txt", data); }, 0,
                    [&](const Tree &b, const Tree &a) {
                        auto it = a.find("new small file.txt");
                        return kept(b, a) && (it == a.end() || it->second == digest(data));
                    }});
}

TEST_P(PowerLoss, PutMultiClusterFile) {
    const std::string data = pattern(30000, 3);
    cut_everywhere({"put multi-cluster",
                    [&](writefat_volume *w) { return put(w, "keep/new big.bin", data); }, 0,
                    [&](const Tree &b, const Tree &a) {
                        auto it = a.find("keep/new big.bin");
                        return kept(b, a) && (it == a.end() || it->second == digest(data));
                    }});
}

TEST_P(PowerLoss, ReplaceFile) {
    const std::string data = pattern(25000, 4);
    cut_everywhere(
        {"replace",
         [&](writefat_volume *w) { return put(w, "keep/multi.bin", data, WRITEFAT_REPLACE); }, 0,
         [&](const Tree &b, const Tree &a) {
             return kept(b, a, [&](const std::string &p, const std::string &) {
                 auto it = a.find(p);
                 return p == "keep/multi.bin" && it != a.end() && it->second == digest(data);
             });
         }});
}

TEST_P(PowerLoss, MakeDirectory) {
    cut_everywhere({"mkdir",
                    [](writefat_volume *w) { return writefat_mkdir(w, "New Directory", 5); }, 0,
                    [](const Tree &b, const Tree &a) { return kept(b, a); }});
}

// The tree is whole or gone at every cut: its top entry goes first.
TEST_P(PowerLoss, RemoveTree) {
    cut_everywhere({"remove tree", [](writefat_volume *w) { return remove_tree(w, "tree"); }, 0,
                    [](const Tree &b, const Tree &a) {
                        const bool gone = a.find("tree/") == a.end();
                        return kept(b, a, [&](const std::string &p, const std::string &) {
                            return gone && p.rfind("tree/", 0) == 0 && a.find(p) == a.end();
                        });
                    }});
}

TEST_P(PowerLoss, MoveAcrossDirectories) {
    cut_everywhere({"move",
                    [](writefat_volume *w) {
                        int rc = writefat_rename(w, "old.txt", "keep/renamed old.txt");
                        return rc ? rc : writefat_rename(w, "tree/sub", "keep/sub moved");
                    },
                    0,
                    [](const Tree &b, const Tree &a) {
                        return kept(b, a, [&](const std::string &p, const std::string &d) {
                            std::string q;
                            if (p == "old.txt") q = "keep/renamed old.txt";
                            if (p.rfind("tree/sub", 0) == 0) q = "keep/sub moved" + p.substr(8);
                            auto it = a.find(q);
                            return !q.empty() && it != a.end() && it->second == d;
                        });
                    },
                    true, [&](writefat_volume *w) { remove_either_name(w); }});
}

// Long names over two sectors (> 195 units): a create and a rename cut anywhere leave the
// file whole or absent (with, between the sectors, a part of the name that reclaim deletes).
TEST_P(PowerLoss, LongNamesAcrossSectors) {
    const std::string data = pattern(5000, 8);
    const std::string made = std::string(200, 'n') + " made.bin";
    const std::string moved = "keep/" + std::string(210, 'm') + " moved.txt";
    cut_everywhere({"long names",
                    [&](writefat_volume *w) {
                        int rc = put(w, made.c_str(), data);
                        return rc ? rc : writefat_rename(w, "keep/a.txt", moved.c_str());
                    },
                    0,
                    [&](const Tree &b, const Tree &a) {
                        auto it = a.find(made);
                        if (it != a.end() && it->second != digest(data)) return false;
                        return kept(b, a, [&](const std::string &p, const std::string &d) {
                            auto m = a.find(moved);
                            return p == "keep/a.txt" && m != a.end() && m->second == d;
                        });
                    },
                    true});
}

// Files changed in place: a cut keeps everything up to the last flush, each overwritten
// sector old or new, a truncation the old or the new size.
std::string lines(int from, int n) {
    std::string out;
    for (int i = from; i < from + n; ++i) {
        std::string line = "2026-12-10T08:00:" + std::to_string(i) + ",ch" + std::to_string(i % 4);
        line.resize(63, '.');
        out += line + "\n";
    }
    return out;
}

// Appends 30 lines in three flushes, then finishes: the digests a cut may leave.
int log_lines(writefat_volume *w, const char *path, uint32_t flags) {
    int err = 0;
    writefat_file *f = writefat_open_file(w, path, flags | WRITEFAT_APPEND, &err);
    if (!f) return err;
    for (int k = 0; k < 3; ++k) {
        const std::string chunk = lines(k * 10, 10);
        for (size_t at = 0; at < chunk.size(); at += 64)
            if (writefat_write(w, f, chunk.data() + at, 64, &err) != 0) {
                writefat_abort(w, f);
                return err;
            }
        if (int rc = writefat_flush(w, f, 1700000000 + k)) {
            writefat_abort(w, f);
            return rc;
        }
    }
    return writefat_finish(w, f, DV_TIME_NONE);
}

bool one_of(const Tree &a, const std::string &path, const std::vector<std::string> &allowed,
            bool absent_ok) {
    auto it = a.find(path);
    if (it == a.end()) return absent_ok;
    for (const std::string &d : allowed)
        if (it->second == digest(d)) return true;
    ADD_FAILURE() << path << " holds none of the allowed contents";
    return false;
}

TEST_P(PowerLoss, AppendAndFlush) {
    img->long_chain_ok = true;
    const std::string old = "small file\n";
    std::vector<std::string> prefixes;
    for (int k = 0; k <= 3; ++k) prefixes.push_back(old + lines(0, 10 * k));
    cut_everywhere({"append", [](writefat_volume *w) { return log_lines(w, "keep/a.txt", 0); }, 0,
                    [&](const Tree &b, const Tree &a) {
                        return kept(b, a, [&](const std::string &p, const std::string &) {
                            return p == "keep/a.txt" && one_of(a, p, prefixes, false);
                        });
                    }});
}

TEST_P(PowerLoss, NewLogFlushedAsItGrows) {
    img->long_chain_ok = true;
    std::vector<std::string> prefixes;
    for (int k = 1; k <= 3; ++k) prefixes.push_back(lines(0, 10 * k));
    cut_everywhere(
        {"new log",
         [](writefat_volume *w) { return log_lines(w, "keep/day log.csv", WRITEFAT_CREATE); }, 0,
         [&](const Tree &b, const Tree &a) {
             return kept(b, a) && one_of(a, "keep/day log.csv", prefixes, true);
         }});
}

TEST_P(PowerLoss, OverwriteInPlaceAndTruncate) {
    img->long_chain_ok = true;
    const std::string old = pattern(20000, 1), fresh = pattern(1536, 9), tail = "appended\n";
    // The overwrite's three 512-byte pieces land each old or new; then the truncation, then
    // the append.
    std::vector<std::string> allowed;
    for (int mask = 0; mask < 8; ++mask) {
        std::string d = old;
        for (int k = 0; k < 3; ++k)
            if (mask & (1 << k)) d.replace(1024 + 512 * k, 512, fresh.substr(512 * k, 512));
        allowed.push_back(d);
    }
    std::string cut = old;
    cut.replace(1024, 1536, fresh);
    cut.resize(3000);
    allowed.push_back(cut);
    allowed.push_back(cut + tail);
    cut_everywhere({"overwrite and truncate",
                    [&](writefat_volume *w) {
                        int err = 0;
                        writefat_file *f = writefat_open_file(w, "keep/multi.bin", 0, &err);
                        if (!f) return err;
                        int rc = writefat_seek(w, f, 1024);
                        if (!rc && writefat_write(w, f, fresh.data(), fresh.size(), &err) != 0)
                            rc = err;
                        if (!rc) rc = writefat_flush(w, f, DV_TIME_NONE);
                        if (!rc) rc = writefat_truncate(w, f, 3000);
                        if (!rc) rc = writefat_flush(w, f, DV_TIME_NONE);
                        if (!rc) rc = writefat_seek(w, f, 3000);
                        if (!rc && writefat_write(w, f, tail.data(), tail.size(), &err) != 0)
                            rc = err;
                        if (rc) {
                            writefat_abort(w, f);
                            return rc;
                        }
                        return writefat_finish(w, f, DV_TIME_NONE);
                    },
                    0,
                    [&](const Tree &b, const Tree &a) {
                        return kept(b, a, [&](const std::string &p, const std::string &) {
                            return p == "keep/multi.bin" && one_of(a, p, allowed, false);
                        });
                    }});
}

// The root's label entry is written first: after reclaim the boot sector (and FAT32's
// backup) agrees with it, old or new.
TEST_P(PowerLoss, LabelChange) {
    cut_everywhere({"label", [](writefat_volume *w) { return writefat_setlabel(w, "Card 2"); }, 0,
                    [](const Tree &b, const Tree &a) { return kept(b, a); }});
    // cut_everywhere leaves the last cut restored: cut it again and reclaim.
    for (long n = 0; n < 4; ++n) {
        writefat_volume *w = img->open(n);
        ASSERT_NE(w, nullptr);
        writefat_setlabel(w, "Card 2");
        writefat_close(w);
        w = img->open();
        writefat_reclaim_report rep{};
        if (!writefat_reclaimed(w, &rep)) {
            EXPECT_EQ(writefat_reclaim(w, &rep), 0);
        }
        writefat_close(w);
        const auto [boot, root, backup] = labels(*img);
        EXPECT_EQ(boot, root) << "cut after write " << n;
        if (!backup.empty()) {
            EXPECT_EQ(backup, root) << "cut after write " << n;
        }
        img->restore();
    }
}

// The small volumes cover it; large ones would only cost time.
class PowerLossSmall : public PowerLoss {};

TEST_P(PowerLossSmall, PutThatRunsOutOfSpace) {
    const std::string data = pattern(size_t{GetParam().kib} * 1024, 5);
    cut_everywhere({"put out of space",
                    [&](writefat_volume *w) { return put(w, "too big.bin", data); }, ENOSPC,
                    [](const Tree &b, const Tree &a) {
                        return kept(b, a) && a.find("too big.bin") == a.end();
                    }});
}

// Several changes in one group, with a removal in its midst (which writes the group out and
// orders its own writes): every new file whole or absent, the removed one gone or intact.
TEST_P(PowerLoss, GroupOfChanges) {
    const std::string one = "one\n", two = pattern(9000, 6), three = pattern(700, 7);
    cut_everywhere({"group",
                    [&](writefat_volume *w) {
                        int rc = writefat_group(w, 1);
                        if (!rc) rc = writefat_mkdir(w, "batch", 7);
                        if (!rc) rc = put(w, "batch/one.txt", one);
                        if (!rc) rc = put(w, "batch/a second, longer name.bin", two);
                        if (!rc) rc = writefat_remove(w, "old.txt");
                        if (!rc) rc = put(w, "three.txt", three);
                        if (!rc)
                            rc = writefat_settimes(w, "keep/a.txt", DV_TIME_NONE, 1600000000, 0);
                        const int end = writefat_group(w, 0);
                        return rc ? rc : end;
                    },
                    0,
                    [&](const Tree &b, const Tree &a) {
                        for (const auto &[path, data] :
                             {std::pair<std::string, const std::string &>{"batch/one.txt", one},
                              {"batch/a second, longer name.bin", two},
                              {"three.txt", three}}) {
                            auto it = a.find(path);
                            if (it != a.end() && it->second != digest(data)) return false;
                        }
                        return kept(b, a, [&](const std::string &p, const std::string &) {
                            return p == "old.txt" && a.find(p) == a.end();
                        });
                    }});
}

// A group of more names than it keeps sectors for: it writes itself out on the way, and a
// cut anywhere leaves each of its files whole or absent.
TEST_P(PowerLoss, GroupLargerThanItsBuffers) {
    auto data = [](int i) { return pattern(size_t(i) * 37 + 5, unsigned(i)); };
    auto name = [](int i) { return "many/file number " + std::to_string(i) + ".txt"; };
    cut_everywhere({"large group",
                    [&](writefat_volume *w) {
                        int rc = writefat_group(w, 1);
                        if (!rc) rc = writefat_mkdir(w, "many", 7);
                        for (int i = 0; !rc && i < 200; ++i) rc = put(w, name(i).c_str(), data(i));
                        return rc ? rc : writefat_sync(w);
                    },
                    0,
                    [&](const Tree &b, const Tree &a) {
                        for (int i = 0; i < 200; ++i) {
                            auto it = a.find(name(i));
                            if (it != a.end() && it->second != digest(data(i))) return false;
                        }
                        return kept(b, a);
                    }});
}

std::string kind_name(const testing::TestParamInfo<FatKind> &info) {
    return info.param.label;
}

std::vector<FatKind> small_kinds() {
    std::vector<FatKind> out;
    for (const FatKind &k : kKinds)
        if (k.kib <= 10000) out.push_back(k);
    return out;
}

INSTANTIATE_TEST_SUITE_P(Kinds, PowerLoss, ::testing::ValuesIn(kKinds), kind_name);
INSTANTIATE_TEST_SUITE_P(Kinds, PowerLossSmall, ::testing::ValuesIn(small_kinds()), kind_name);

} // namespace
