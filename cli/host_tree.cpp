#include "host_tree.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "safe_name.h"
#include "text.h"

namespace dvcli {

namespace {

// FAT keeps a file's size in 32 bits.
constexpr uint64_t kMaxFileSize = 0xFFFFFFFFu;

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

void fill(HostEntry &e, const struct stat &st) {
    e.dir = S_ISDIR(st.st_mode);
    e.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    e.mtime = st.st_mtime;
    e.atime = st.st_atime;
    e.dev = st.st_dev;
    e.ino = st.st_ino;
}

// Whether the descriptor `fd` is the directory `e` was looked at as.
bool is_entry(int fd, const HostEntry &e) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && st.st_dev == e.dev && st.st_ino == e.ino;
}

// The names of the directory open as `fd`, in name order (byte order, as ls in the C locale);
// false with errno set. The listing reads a descriptor of its own (closedir closes it), so
// that `fd` stays open without the stream's buffer.
bool list_names(int fd, std::vector<std::string> &out) {
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return false;
    DIR *d = fdopendir(own);
    if (!d) {
        const int e = errno;
        ::close(own);
        errno = e;
        return false;
    }
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

const char *const kMoved = "moved while being copied";

} // namespace

HostTree::~HostTree() {
    for (const Level &l : levels_)
        if (l.fd >= 0) ::close(l.fd);
}

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

bool HostTree::look(int dirfd, const std::string &name, HostEntry &e, bool &link, Visitor &v) {
    e.path = join_host(path_, name);
    e.name = name;
    e.at = dirfd;
    link = false;
    auto skip = [&](const std::string &why, Skip kind) {
        v.skip(e.path, why, kind);
        return false;
    };
    // A '\' would be taken as a separator: such a name goes like every other one FAT cannot
    // hold.
    const std::string bad = fat_name_problem(name);
    if (!bad.empty()) return skip(bad, Skip::short_of);
    struct stat st {};
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return skip(std::strerror(errno), Skip::short_of);
    if (S_ISLNK(st.st_mode)) {
        if (!follow_) return skip("symbolic link, not followed", Skip::design);
        if (::fstatat(dirfd, name.c_str(), &st, 0) != 0)
            return skip(errno == ENOENT ? "dangling symbolic link"
                                        : "symbolic link: " + std::string(std::strerror(errno)),
                        Skip::short_of);
        link = true;
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
        const auto at = on_path_.find({e.dev, e.ino});
        if (at != on_path_.end())
            return skip("loops back to " +
                            escape_display_utf8(path_.substr(0, levels_[at->second].end)),
                        Skip::design);
    }
    return true;
}

bool HostTree::open_level(int at, const char *name, int flags, const HostEntry &e, Level &l,
                          std::string &why) {
    const int fd = ::openat(at, name, kDirFlags | flags);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    // Another directory (or a link) that took its place since it was looked at is not walked.
    if (!is_entry(fd, e)) {
        ::close(fd);
        why = kMoved;
        return false;
    }
    if (!list_names(fd, l.names)) {
        why = std::strerror(errno);
        ::close(fd);
        return false;
    }
    l.fd = fd;
    return true;
}

bool HostTree::reopen(int child, std::string &why) {
    const size_t k = levels_.size() - 1;
    int fd = child >= 0 ? ::openat(child, "..", kDirFlags) : -1;
    if (fd >= 0 && !is_entry(fd, levels_[k].dir)) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        // The child was reached through a followed link (its ".." is the link's target's
        // parent), or moved: down from the nearest open level by names, each checked. The
        // first level stays open.
        size_t i = k;
        while (i > 0 && levels_[i].fd < 0) --i;
        if (levels_[i].fd < 0) {
            why = kMoved;
            return false;
        }
        fd = levels_[i].fd;
        for (size_t j = i + 1; j <= k; ++j) {
            const int next = ::openat(fd, levels_[j].dir.name.c_str(), kDirFlags);
            why = next < 0 ? std::strerror(errno) : kMoved;
            if (fd != levels_[i].fd) ::close(fd);
            if (next < 0) return false;
            if (!is_entry(next, levels_[j].dir)) {
                ::close(next);
                return false;
            }
            fd = next;
        }
    }
    levels_[k].fd = fd;
    return true;
}

void HostTree::walk(const HostEntry &top, Visitor &v) {
    path_ = top.path;
    Level first;
    std::string why;
    if (!open_level(AT_FDCWD, top.path.c_str(), 0, top, first, why)) {
        v.skip(top.path, why, Skip::short_of);
        return;
    }
    if (!v.enter(top)) {
        ::close(first.fd);
        return;
    }
    first.dir = top;
    first.dir.path.clear();
    first.end = path_.size();
    on_path_.emplace(std::make_pair(top.dev, top.ino), 0);
    levels_.push_back(std::move(first));
    while (!levels_.empty()) {
        Level &l = levels_.back();
        if (l.fd >= 0 && l.next < l.names.size() && v.going()) {
            const std::string &name = l.names[l.next++];
            HostEntry e;
            bool link = false;
            if (!look(l.fd, name, e, link, v)) continue;
            if (!e.dir) {
                v.file(e);
                continue;
            }
            Level sub;
            // Not through a link that took the directory's place, unless links are followed.
            if (!open_level(l.fd, name.c_str(), link ? 0 : O_NOFOLLOW, e, sub, why)) {
                v.skip(e.path, why, Skip::short_of);
                continue;
            }
            if (!v.enter(e)) {
                ::close(sub.fd);
                continue;
            }
            path_ = std::move(e.path);
            e.path.clear();
            sub.end = path_.size();
            sub.dir = std::move(e);
            on_path_.emplace(std::make_pair(sub.dir.dev, sub.dir.ino), levels_.size());
            levels_.push_back(std::move(sub)); // `l` is gone
            // Only the deepest levels (and the first) stay open.
            if (levels_.size() > kOpenDirs + 1) {
                Level &above = levels_[levels_.size() - 1 - kOpenDirs];
                if (above.fd >= 0) ::close(above.fd);
                above.fd = -1;
            }
            continue;
        }
        // Its contents done (or the walk stopped, or the directory was lost): left.
        HostEntry done = std::move(l.dir);
        done.path = path_;
        done.at = -1; // the parent may be closed
        const int fd = l.fd;
        on_path_.erase({done.dev, done.ino});
        levels_.pop_back();
        if (!levels_.empty()) {
            path_.resize(levels_.back().end);
            if (levels_.back().fd < 0 && v.going() && !reopen(fd, why))
                v.skip(path_, why + " (its entries not reached)", Skip::short_of);
        }
        if (fd >= 0) ::close(fd);
        v.leave(done);
    }
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
