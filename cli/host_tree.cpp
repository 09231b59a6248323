#include "host_tree.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <sys/stat.h>

#include "safe_name.h"
#include "text.h"

namespace dvcli {

namespace {

// FAT keeps a file's size in 32 bits.
constexpr uint64_t kMaxFileSize = 0xFFFFFFFFu;

void fill(HostEntry &e, const struct stat &st) {
    e.dir = S_ISDIR(st.st_mode);
    e.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    e.mtime = st.st_mtime;
    e.atime = st.st_atime;
    e.dev = st.st_dev;
    e.ino = st.st_ino;
}

// The names of a host directory's entries, in name order (byte order, as ls in the C
// locale); false with errno set.
bool list_names(const std::string &dir, std::vector<std::string> &out) {
    DIR *d = opendir(dir.c_str());
    if (!d) return false;
    for (;;) {
        errno = 0;
        const struct dirent *de = readdir(d);
        if (!de) break;
        if (std::strcmp(de->d_name, ".") != 0 && std::strcmp(de->d_name, "..") != 0)
            out.emplace_back(de->d_name);
    }
    const int e = errno;
    closedir(d);
    std::sort(out.begin(), out.end());
    errno = e;
    return e == 0;
}

std::string join_host(const std::string &dir, const std::string &name) {
    return !dir.empty() && dir.back() == '/' ? dir + name : dir + "/" + name;
}

} // namespace

bool HostTree::named(const std::string &path, HostEntry &e, bool &regular, std::string &why) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    e.path = path;
    fill(e, st);
    regular = S_ISREG(st.st_mode);
    return true;
}

bool HostTree::look(const std::string &dir, const std::string &name, HostEntry &e, Visitor &v) {
    e.path = join_host(dir, name);
    e.name = name;
    auto skip = [&](const std::string &why, Skip kind) {
        v.skip(e.path, why, kind);
        return false;
    };
    // A '\' would be taken as a separator: such a name goes like every other one FAT cannot
    // hold.
    const std::string bad = fat_name_problem(name);
    if (!bad.empty()) return skip(bad, Skip::short_of);
    struct stat st {};
    if (lstat(e.path.c_str(), &st) != 0) return skip(std::strerror(errno), Skip::short_of);
    if (S_ISLNK(st.st_mode)) {
        if (!follow_) return skip("symbolic link, not followed", Skip::design);
        if (::stat(e.path.c_str(), &st) != 0)
            return skip(errno == ENOENT ? "dangling symbolic link"
                                        : "symbolic link: " + std::string(std::strerror(errno)),
                        Skip::short_of);
    }
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
        return skip(std::string(file_kind(st.st_mode)) + ", not a regular file or directory",
                    Skip::short_of);
    fill(e, st);
    for (const auto &[dev, ino] : excluded_)
        if (dev == e.dev && ino == e.ino) return skip("the output image itself", Skip::design);
    if (!e.dir && e.size > kMaxFileSize)
        return skip("4 GiB or larger, too large for FAT", Skip::short_of);
    if (e.dir) {
        // Only a followed link (or a bind mount) leads back to a directory being walked.
        for (size_t i = 0; i < on_path_.size(); ++i)
            if (on_path_[i] == std::make_pair(e.dev, e.ino))
                return skip("loops back to " + escape_display_utf8(on_path_names_[i]),
                            Skip::design);
    }
    return true;
}

void HostTree::walk(const HostEntry &dir, Visitor &v) {
    std::vector<std::string> names;
    if (!list_names(dir.path, names)) {
        v.skip(dir.path, std::strerror(errno), Skip::short_of);
        return;
    }
    if (!v.enter(dir)) return;
    on_path_.emplace_back(dir.dev, dir.ino);
    on_path_names_.push_back(dir.path);
    for (const std::string &n : names) {
        if (!v.going()) break;
        HostEntry e;
        if (!look(dir.path, n, e, v)) continue;
        if (e.dir)
            walk(e, v);
        else
            v.file(e);
    }
    on_path_.pop_back();
    on_path_names_.pop_back();
    v.leave(dir);
}

void host_measure(const std::string &path, bool follow_symlinks, uint64_t &bytes, uint64_t &files) {
    struct Count : HostTree::Visitor {
        uint64_t &bytes, &files;
        Count(uint64_t &b, uint64_t &f) : bytes(b), files(f) {}
        bool enter(const HostEntry &) override { return true; }
        void leave(const HostEntry &) override {}
        void file(const HostEntry &f) override {
            bytes += f.size;
            ++files;
        }
        void skip(const std::string &, const std::string &, Skip) override {}
    } count(bytes, files);
    HostEntry e;
    bool regular = false;
    std::string why;
    if (HostTree::named(path, e, regular, why) && e.dir) {
        HostTree(follow_symlinks).walk(e, count);
        return;
    }
    bytes += e.size;
    ++files;
}

} // namespace dvcli
