// Random operations against a model: puts (new and replacing), mkdir, removals and moves
// with names that often clash in case, each result checked against what the model expects,
// and every 100 operations the whole volume compared with the model and checked by
// fsck.fat. A few seeds run by default; DORVEX_WRITE_MODEL_SEEDS asks for more.
#include "write/write_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <random>

using namespace dvtest;

namespace {

std::string lower(std::string s) {
    for (auto &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

class Model {
  public:
    // The stored path that names `path` case-insensitively, or "".
    std::string find(const std::string &path) const {
        for (const auto &[p, d] : tree)
            if (lower(p) == lower(path) || lower(p) == lower(path) + "/") return p;
        return "";
    }
    bool has_children(const std::string &dir) const {
        for (const auto &[p, d] : tree)
            if (p != dir && p.rfind(dir, 0) == 0) return true;
        return false;
    }
    std::map<std::string, std::string> tree; // as reader_tree gives it
};

TEST(WriteModel, RandomOperationsMatchTheModel) {
    WriteTools tools;
    DV_NEED_TOOLS("mkfs.fat", "fsck.fat", "mcopy");
    const char *env = std::getenv("DORVEX_WRITE_MODEL_SEEDS");
    const int seeds = env ? std::atoi(env) : 3;
    const std::string dir = scratch_dir("dorvex-model");
    const char *names[] = {"a.txt",
                           "A.TXT",
                           "Readme.md",
                           "README.MD",
                           "long name one.txt",
                           "Long Name One.TXT",
                           "x",
                           "X",
                           "data.bin",
                           "sub",
                           "Sub",
                           "notes"};
    for (int seed = 1; seed <= seeds; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        WImage img(tools, {"model", "-F 16 -s 1", 8192, seed % 2 == 0}, dir); // even: grouped
        std::mt19937 rng(static_cast<unsigned>(seed));
        auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
        Model m;
        writefat_volume *w = img.open();
        ASSERT_NE(w, nullptr);
        for (int op = 1; op <= 300; ++op) {
            // A parent: the root or an existing directory.
            std::vector<std::string> dirs{""};
            std::vector<std::string> files;
            for (const auto &[p, d] : m.tree) (p.back() == '/' ? dirs : files).push_back(p);
            const std::string parent = dirs[pick(dirs.size())];
            const std::string path = parent + names[pick(std::size(names))];
            const std::string there = m.find(path);
            switch (pick(6)) {
            case 0:
            case 1: { // put, sometimes replacing
                const std::string data = pattern(pick(3000), unsigned(op));
                const bool replace = pick(2) == 0;
                const int rc = put(w, path.c_str(), data, replace ? WRITEFAT_REPLACE : 0);
                const int want = there.empty()         ? 0
                                 : there.back() == '/' ? EISDIR
                                 : replace             ? 0
                                                       : EEXIST;
                ASSERT_EQ(rc, want) << "put " << path;
                if (rc == 0) m.tree[there.empty() ? path : there] = digest(data);
                break;
            }
            case 2: { // mkdir
                const int rc = writefat_mkdir(w, path.c_str(), 0);
                ASSERT_EQ(rc, there.empty() ? 0 : EEXIST) << "mkdir " << path;
                if (rc == 0) m.tree[path + "/"] = "";
                break;
            }
            case 3: { // remove a file or a directory
                std::vector<std::string> all = files;
                all.insert(all.end(), dirs.begin() + 1, dirs.end());
                if (all.empty()) break;
                const std::string victim = all[pick(all.size())];
                const bool is_dir = victim.back() == '/';
                const std::string p = is_dir ? victim.substr(0, victim.size() - 1) : victim;
                const int rc = writefat_remove(w, p.c_str());
                ASSERT_EQ(rc, is_dir && m.has_children(victim) ? ENOTEMPTY : 0) << "rm " << p;
                if (rc == 0) m.tree.erase(victim);
                break;
            }
            default: { // move a file
                if (files.empty()) break;
                const std::string from = files[pick(files.size())];
                const bool clash = !there.empty() && lower(there) != lower(from);
                const int rc = writefat_rename(w, from.c_str(), path.c_str());
                ASSERT_EQ(rc, clash ? EEXIST : 0) << "mv " << from << " " << path;
                if (rc == 0) {
                    const std::string d = m.tree[from];
                    m.tree.erase(from);
                    m.tree[path] = d;
                }
                break;
            }
            }
            if (op % 100 == 0) {
                ASSERT_EQ(writefat_close(w), 0);
                std::string report;
                ASSERT_TRUE(img.fsck(&report, false)) << "after " << op << " ops\n" << report;
                w = img.open();
                ASSERT_NE(w, nullptr);
                ASSERT_EQ(reader_tree(w), m.tree) << "after " << op << " ops";
            }
        }
        EXPECT_EQ(writefat_close(w), 0);
    }
}

} // namespace
