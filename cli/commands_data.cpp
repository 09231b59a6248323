// cat and get: the commands that read file contents.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <unordered_set>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli.h"
#include "text.h"
#include "walker.h"

namespace dvcli {

namespace {

// Large reads let the library copy whole clusters straight into the buffer
// and keep the number of output writes low.
constexpr uint32_t kChunk = 1 << 18;

// The read buffer. The library reads whole clusters straight into a buffer
// only when it is 512-byte aligned; otherwise every byte takes one more copy.
struct alignas(4096) Chunk {
    uint8_t bytes[kChunk];
};
using ChunkBuffer = std::unique_ptr<Chunk>;
ChunkBuffer new_chunk() {
    return std::make_unique_for_overwrite<Chunk>();
}

// What a copy learned besides its result code.
struct Copied {
    uint32_t bytes = 0;   // written to the sink
    bool damaged = false; // a recovery met clusters in use by other files
};

// Copies a file's contents to `sink` through `chunk`. Returns 0 or the error
// code; a chain shorter than the size gives the library's code (or EIO), a
// deleted file's recovery that runs out of data area DV_E_EOF.
template <class Sink>
int copy_file(readfat_volume *vol, const dv_entry &e, Chunk &chunk, Sink &&sink,
              Copied *copied = nullptr) {
    int err = 0;
    readfat_file *f = readfat_open_entry(vol, &e, &err);
    if (!f) return err ? err : EIO;
    uint8_t *buf = chunk.bytes;
    // Our own reader can fill the buffer in large reads (see begin_target).
    Image *img =
        vol->reader_fn == &Image::reader ? static_cast<Image *>(vol->reader_data) : nullptr;
    uint32_t left = e.size;
    int code = 0;
    while (left) {
        uint32_t want = left < kChunk ? left : kChunk;
        err = 0;
        if (img) img->begin_target(buf, want);
        uint32_t got = readfat_read(vol, f, buf, want, &err);
        if (img) img->end_target();
        if (got && !sink(buf, got)) {
            code = -1;
            break;
        }
        left -= got;
        if (got < want) {
            code = err ? err : EIO;
            break;
        }
    }
    if (copied) {
        copied->bytes = e.size - left;
        copied->damaged = f->damaged != 0;
    }
    readfat_close(vol, f);
    return code;
}

// The message for a failed copy of `e`.
std::string copy_error(const dv_entry &e, int code, const Copied &c) {
    if (code == DV_E_EOF && e.deleted)
        return "recovery reached the end of the data area after " + std::to_string(c.bytes) +
               " of " + std::to_string(e.size) + " bytes";
    return dv_strerror(code);
}

// The warning for a recovered file that took clusters in use by other files.
std::string damage_warning(const std::string &shown) {
    return shown + ": deleted file recovered over clusters now in use by other files; it may be "
                   "damaged";
}

// Standard output for whole chunks: what stdio holds goes first, then one
// write(2) per chunk (stdio would split each into two).
bool write_out(const uint8_t *p, uint32_t len) {
    if (std::fflush(stdout) != 0) return false;
    while (len) {
        ssize_t w = ::write(STDOUT_FILENO, p, len);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        len -= static_cast<uint32_t>(w);
    }
    return true;
}

} // namespace

int cmd_cat(const Args &a) {
    Session s;
    if (!open_session(a, a.positional[0], s)) return kFail;
    ChunkBuffer chunk = new_chunk();
    int rc = kOk;
    for (size_t i = 1; i < a.positional.size(); ++i) {
        const std::string &user = a.positional[i];
        Node n;
        int code = resolve(s.vol, user, n);
        if (!code && n.is_dir()) code = EISDIR;
        if (!code && (n.entry.attr & DV_ATTR_VOLUME)) code = ENOENT;
        if (code) {
            report(shown_path(user), dv_strerror(code));
            rc = kFail;
            continue;
        }
        Copied c;
        code = copy_file(s.vol, n.entry, *chunk, write_out, &c);
        if (code == -1) {
            report("standard output", std::strerror(errno));
            return kFail;
        }
        if (c.damaged) warning(damage_warning(shown_path(user)));
        if (code) {
            report(shown_path(user), copy_error(n.entry, code, c));
            rc = kFail;
        }
    }
    return rc;
}

// ---- get --------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

class Progress {
  public:
    void start(uint64_t bytes, uint64_t files) {
        active_ = true;
        total_bytes_ = bytes;
        total_files_ = files;
        t0_ = Clock::now();
        last_ = t0_ - std::chrono::seconds(1);
    }
    void add(uint64_t bytes, uint64_t files) {
        done_bytes_ += bytes;
        done_files_ += files;
        if (!active_) return;
        auto now = Clock::now();
        if (now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        draw(now);
    }
    void clear() {
        if (active_ && drawn_) std::fprintf(stderr, "\r\033[K");
        drawn_ = false;
    }
    void finish() {
        if (!active_) return;
        draw(Clock::now());
        std::fprintf(stderr, "\n");
        drawn_ = false;
        active_ = false;
    }

  private:
    void draw(Clock::time_point now) {
        double secs = std::chrono::duration<double>(now - t0_).count();
        double rate = secs > 0.05 ? static_cast<double>(done_bytes_) / secs : 0;
        double frac = total_bytes_ ? static_cast<double>(done_bytes_) / total_bytes_
                                   : (total_files_ ? double(done_files_) / total_files_ : 1.0);
        if (frac > 1) frac = 1;
        const int width = 24;
        int fill = static_cast<int>(frac * width);
        std::string bar(static_cast<size_t>(fill), '#');
        bar.resize(width, '-');
        std::string eta = "--:--";
        if (rate > 0 && total_bytes_ >= done_bytes_) {
            auto left =
                static_cast<uint64_t>(static_cast<double>(total_bytes_ - done_bytes_) / rate);
            char b[32];
            std::snprintf(b, sizeof b, "%u:%02u", static_cast<unsigned>(left / 60),
                          static_cast<unsigned>(left % 60));
            eta = b;
        }
        std::fprintf(stderr, "\r\033[K%3d%% [%s] %s / %s  %llu/%llu files  %s/s  ETA %s",
                     static_cast<int>(frac * 100), bar.c_str(), human_size(done_bytes_).c_str(),
                     human_size(total_bytes_).c_str(), static_cast<unsigned long long>(done_files_),
                     static_cast<unsigned long long>(total_files_),
                     human_size(static_cast<uint64_t>(rate)).c_str(), eta.c_str());
        std::fflush(stderr);
        drawn_ = true;
    }

    bool active_ = false, drawn_ = false;
    uint64_t total_bytes_ = 0, total_files_ = 0, done_bytes_ = 0, done_files_ = 0;
    Clock::time_point t0_, last_;
};

// Why a name must not become a host file name, or null when it is safe.
const char *unsafe_name(const dv_name &name) {
    if (name.len == 0) return "empty name";
    bool all_dots = name.len <= 2;
    for (uint16_t i = 0; i < name.len; ++i) {
        uint16_t u = name.units[i];
        if (u == '/' || u == '\\') return "name holds a path separator";
        if (u == 0) return "name holds a NUL character";
        if (u != '.') all_dots = false;
    }
    if (all_dots) return "name is \".\" or \"..\"";
    return nullptr;
}

// A path for a message, built only when a message needs it: in a deep tree
// building every path would cost time in the square of the depth.
using Shown = std::function<std::string()>;

struct Extractor {
    readfat_volume *vol;
    bool force;
    bool deleted; // --deleted: deleted entries are extracted too
    Progress progress;
    ChunkBuffer chunk = new_chunk();
    int rc = kOk;

    // The entries a walk extracts: with --deleted also deleted ones (the volume
    // then returns them under recovered names).
    bool wanted(const Listed &l) const { return !l.dot && !l.label && (deleted || !l.deleted); }

    void warn(const std::string &msg) {
        progress.clear();
        warning(msg);
        rc = kFail;
    }
    void fail(const std::string &what, const std::string &msg) {
        progress.clear();
        report(what, msg);
        rc = kFail;
    }

    // The entry's FAT times as the host's local time (UTC with --utc); one
    // without a valid date stays as the system set it.
    static void set_times(int fd, const dv_entry &e) {
        struct timespec ts[2] = {};
        bool utc = utc_times();
        ts[0].tv_nsec = host_time(e.atime64, utc, ts[0].tv_sec) ? 0 : UTIME_OMIT;
        ts[1].tv_nsec = host_time(e.mtime64, utc, ts[1].tv_sec) ? 0 : UTIME_OMIT;
        if (ts[0].tv_nsec != UTIME_OMIT || ts[1].tv_nsec != UTIME_OMIT) futimens(fd, ts);
    }

    // Counts what a tree holds, for the progress bar.
    void measure(const Node &dir, const std::string &vpath, uint64_t &bytes, uint64_t &files) {
        Walker w(
            vol,
            [&](const Listed &l) {
                if (!wanted(l) || unsafe_name(l.entry.name)) return false;
                if (l.entry.attr & DV_ATTR_DIRECTORY) return true;
                bytes += l.entry.size;
                ++files;
                return false;
            },
            true);
        w.start(dir, vpath);
        for (Walker::Step step; (step = w.next()) != Walker::Step::done;)
            if (step == Walker::Step::entry) w.descend();
    }

    // Creates `name` in `dirfd` and fills it. `host` and `vpath` name it in
    // messages, on the host and on the volume.
    void file(const dv_entry &e, int dirfd, const std::string &name, const Shown &host,
              const Shown &vpath) {
        int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
        int fd = openat(dirfd, name.c_str(), flags, 0644);
        if (fd < 0 && errno == EEXIST) {
            if (!force) {
                fail(escape_display_utf8(host()), "File exists (use --force to overwrite)");
                return;
            }
            struct stat st {};
            if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISDIR(st.st_mode)) {
                fail(escape_display_utf8(host()), std::strerror(EISDIR));
                return;
            }
            // Replace whatever is there (a symbolic link is removed, never followed).
            unlinkat(dirfd, name.c_str(), 0);
            fd = openat(dirfd, name.c_str(), flags, 0644);
        }
        if (fd < 0) {
            fail(escape_display_utf8(host()), std::strerror(errno));
            return;
        }
        int werr = 0;
        Copied c;
        int code = copy_file(
            vol, e, *chunk,
            [&](const uint8_t *p, uint32_t len) {
                size_t done = 0;
                while (done < len) {
                    ssize_t w = ::write(fd, p + done, len - done);
                    if (w < 0 && errno == EINTR) continue;
                    if (w <= 0) {
                        werr = errno ? errno : EIO;
                        return false;
                    }
                    done += static_cast<size_t>(w);
                }
                progress.add(len, 0);
                return true;
            },
            &c);
        set_times(fd, e);
        if (::close(fd) != 0 && !werr) werr = errno;
        if (c.damaged) {
            progress.clear();
            warning(damage_warning(escape_display_utf8(vpath())));
        }
        if (code == -1 || werr)
            fail(escape_display_utf8(host()), std::strerror(werr ? werr : EIO));
        else if (code)
            fail(escape_display_utf8(vpath()), copy_error(e, code, c));
        progress.add(0, 1);
    }

    // Creates (or reuses) a real directory `name` in `dirfd`; returns its fd.
    int make_dir(int dirfd, const std::string &name, const Shown &host) {
        if (mkdirat(dirfd, name.c_str(), 0755) != 0 && errno != EEXIST) {
            fail(escape_display_utf8(host()), std::strerror(errno));
            return -1;
        }
        int fd = openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            fail(escape_display_utf8(host()),
                 errno == ELOOP ? "File exists (not a directory)" : std::strerror(errno));
        return fd;
    }

    // Extracts the contents of `dir` (volume path `vpath`) into the open
    // directory `top` (host path `hpath`), which stays open. Beside it only the
    // directory being filled is open, whatever the depth: going back up, the
    // parent is opened again as ".." and must be the very directory (device and
    // inode) created on the way down, else the extraction stops, since the tree
    // was moved under us and the next file could land outside DEST.
    void contents(const Node &dir, int top, const std::string &vpath, const std::string &hpath) {
        // The live names of each directory level being read: a deleted entry never
        // takes the host name of a live one beside it.
        std::vector<std::unordered_set<std::string>> live;
        Walker w(vol, [&](const Listed &l) {
            if (deleted && !l.deleted) {
                if (live.size() <= w.depth()) live.resize(w.depth() + 1);
                live[w.depth()].insert(name_to_utf8(l.entry.name));
            }
            return wanted(l);
        });
        w.before_message = [this] { progress.clear(); };
        struct Identity {
            dev_t dev;
            ino_t ino;
        };
        std::vector<Identity> below; // the open directory of each level below `top`
        int cur = top;
        auto host = [&](const std::string &name) { return hpath + w.relative() + "/" + name; };
        w.start(dir, vpath);
        for (Walker::Step step; (step = w.next()) != Walker::Step::done;) {
            if (step == Walker::Step::enter && deleted && live.size() > w.depth()) {
                live[w.depth()].clear();
            } else if (step == Walker::Step::listed && w.listing_error()) {
                fail(w.shown(), w.listing_message());
            } else if (step == Walker::Step::entry) {
                const Listed &l = w.entry();
                auto shown = [&] {
                    return escape_display(name_to_u32(l.entry.name))
                        .insert(0, w.path() == "/" ? "/" : w.path() + "/");
                };
                if (const char *why = unsafe_name(l.entry.name)) {
                    warn(shown() + ": " + why + ", skipped");
                    continue;
                }
                std::string name = name_to_utf8(l.entry.name);
                if (l.deleted && live.size() > w.depth() && live[w.depth()].count(name)) {
                    warn(shown() + ": deleted, and a live entry has its name, skipped");
                    continue;
                }
                if (!(l.entry.attr & DV_ATTR_DIRECTORY)) {
                    file(
                        l.entry, cur, name, [&] { return host(name); },
                        [&] { return w.entry_path(); });
                    continue;
                }
                w.descend([&] {
                    int fd = make_dir(cur, name, [&] { return host(name); });
                    struct stat st {};
                    if (fd >= 0 && fstat(fd, &st) != 0) {
                        fail(escape_display_utf8(host(name)), std::strerror(errno));
                        ::close(fd);
                        fd = -1;
                    }
                    if (fd < 0) return false;
                    below.push_back({st.st_dev, st.st_ino});
                    if (cur != top) ::close(cur);
                    cur = fd;
                    return true;
                });
            } else if (step == Walker::Step::leave && w.depth() > 0) {
                set_times(cur, w.entry().entry);
                below.pop_back();
                int up = top;
                if (!below.empty()) {
                    up = openat(cur, "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                    struct stat st {};
                    if (up >= 0 && (fstat(up, &st) != 0 || st.st_dev != below.back().dev ||
                                    st.st_ino != below.back().ino)) {
                        ::close(up);
                        up = -1;
                    }
                }
                ::close(cur);
                cur = up;
                if (cur < 0) {
                    std::string rel = w.relative();
                    fail(escape_display_utf8(hpath + rel.substr(0, rel.rfind('/'))),
                         "directory moved or replaced during extraction, stopped");
                    w.stop();
                }
            }
        }
        if (cur >= 0 && cur != top) ::close(cur);
        if (w.failed()) rc = kFail;
    }
};

} // namespace

int cmd_get(const Args &a) {
    Session s;
    if (!open_session(a, a.positional[0], s)) return kFail;
    const std::string &user = a.positional[1];
    std::string dest = a.positional.size() > 2 ? a.positional[2] : ".";
    Node n;
    int code = resolve(s.vol, user, n);
    if (!code && !n.is_root && (n.entry.attr & DV_ATTR_VOLUME) && !n.is_dir()) code = ENOENT;
    if (code) {
        report(shown_path(user), dv_strerror(code));
        return kFail;
    }
    std::string vpath = volume_path(user);
    Extractor x{s.vol, a.has("force"), a.has("deleted"), {}};
    auto shown_vpath = [&] { return vpath; };

    bool show_progress = !a.has("quiet") && isatty(STDERR_FILENO);
    struct stat st {};
    bool dest_exists = stat(dest.c_str(), &st) == 0;
    bool dest_dir = dest_exists && S_ISDIR(st.st_mode);
    std::string shown_dest = escape_display_utf8(dest);

    if (!n.is_dir()) {
        if (show_progress) x.progress.start(n.entry.size, 1);
        if (dest_dir) {
            if (const char *why = unsafe_name(n.entry.name)) {
                x.warn(escape_display_utf8(vpath) + ": " + why + ", skipped");
                return kFail;
            }
            int dfd = open(dest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dfd < 0) {
                report(shown_dest, std::strerror(errno));
                return kFail;
            }
            std::string name = name_to_utf8(n.entry.name);
            x.file(
                n.entry, dfd, name, [&] { return dest == "/" ? "/" + name : dest + "/" + name; },
                shown_vpath);
            ::close(dfd);
        } else {
            // DEST names the file itself: the user chose that name.
            x.file(
                n.entry, AT_FDCWD, dest, [&] { return dest; }, shown_vpath);
        }
        x.progress.finish();
        return x.rc;
    }

    if (dest_exists && !dest_dir) {
        report(shown_dest, std::strerror(ENOTDIR));
        return kFail;
    }
    if (show_progress) {
        uint64_t bytes = 0, files = 0;
        x.measure(n, vpath, bytes, files);
        x.progress.start(bytes, files);
    }
    int top;
    std::string hpath = dest;
    if (!dest_exists) {
        if (mkdir(dest.c_str(), 0755) != 0) {
            report(shown_dest, std::strerror(errno));
            return kFail;
        }
        top = open(dest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } else if (n.is_root) {
        top = open(dest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } else {
        if (const char *why = unsafe_name(n.entry.name)) {
            x.warn(escape_display_utf8(vpath) + ": " + why + ", skipped");
            return kFail;
        }
        int dfd = open(dest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd < 0) {
            report(shown_dest, std::strerror(errno));
            return kFail;
        }
        std::string name = name_to_utf8(n.entry.name);
        hpath = dest + "/" + name;
        top = x.make_dir(dfd, name, [&] { return hpath; });
        ::close(dfd);
        if (top < 0) return kFail;
    }
    if (top < 0) {
        report(shown_dest, std::strerror(errno));
        return kFail;
    }
    x.contents(n, top, vpath, hpath);
    if (!n.is_root) Extractor::set_times(top, n.entry);
    ::close(top);
    x.progress.finish();
    return x.rc;
}

} // namespace dvcli
