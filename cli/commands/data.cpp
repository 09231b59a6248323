// cat and get: the commands that read file contents.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli.h"
#include "glob.h"
#include "progress.h"
#include "stop.h"
#include "safe_name.h"
#include "sha256.h"
#include "text.h"
#include "walker.h"

namespace dvcli {

namespace {

// Large reads let the library read runs of clusters straight into the
// buffer (READFAT_FLAG_BATCH) and keep the number of output writes low.
constexpr uint32_t kChunk = 1 << 20;
// The most the kernel is asked to copy in one call.
constexpr uint32_t kKernelRun = 1 << 24;

// The read buffer. The library reads whole clusters straight into a buffer
// only when it is 512-byte aligned; otherwise every byte takes one more copy.
struct alignas(4096) Chunk {
    uint8_t bytes[kChunk];
};

// What a copy did.
struct Copied {
    uint64_t bytes = 0;     // written to the output
    int code = 0;           // reading failed: the library's code, or EIO
    int werr = 0;           // writing failed: errno
    bool damaged = false;   // a recovery met clusters in use by other files
    bool truncated = false; // the data lies past the end of the image
    bool ok() const { return !code && !werr; }
};

// Copies file contents to an output descriptor. Contiguous runs of a live
// file are copied by the kernel straight from the image file (sendfile),
// without passing through this process; the rest goes through the library.
class Copier {
  public:
    Copier(readfat_volume *vol, Image &image) : vol_(vol), image_(image) {
        // Our own reader can fill the buffer in large reads (see begin_target).
        if (vol->reader_fn == &Image::reader && vol->reader_data == &image) img_ = &image;
        open_image_file();
    }
    ~Copier() {
        if (img_fd_ >= 0) ::close(img_fd_);
    }
    Copier(const Copier &) = delete;
    Copier &operator=(const Copier &) = delete;

    // Runs after each piece written, with its size (for a progress bar).
    std::function<void(uint32_t)> on_bytes;
    // When set, every byte copied passes through the process and into it: the kernel
    // copies nothing then.
    Sha256 *hash = nullptr;

    Copied copy(const dv_entry &e, int out) {
        Copied c;
        int err = 0;
        readfat_file *f = readfat_open_entry(vol_, &e, &err);
        if (!f) {
            c.code = err ? err : EIO;
            return c;
        }
        if (img_fd_ >= 0 && kernel_ && !hash && !f->recovering) copy_runs(e, f, out, c);
        if (c.ok() && c.bytes < readfat_size64(vol_, f)) copy_read(f, out, c);
        c.damaged = f->damaged != 0;
        readfat_close(vol_, f);
        return c;
    }

  private:
    // The image again, for the kernel to copy from: only a regular file (the
    // path is opened afresh, so it must still be the file the volume reads).
    void open_image_file() {
        if (!img_) return;
        int fd = ::open(image_.path().c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<uint64_t>(st.st_size) == image_.size_bytes()) {
            img_fd_ = fd;
            return;
        }
        if (fd >= 0) ::close(fd);
    }

    // Whether the cluster a failed read stopped at (`f->cluster`, a number
    // the chain led to) ends past the image: the image was cut short.
    bool past_image_end(const readfat_file *f) const {
        const uint64_t next = readfat_cluster_sector(vol_, f->cluster + 1);
        return readfat_cluster_sector(vol_, f->cluster) != 0 && next > image_.sectors();
    }

    // What the kernel copies: one run after another, as the library reports
    // them.
    struct Sender {
        Copier *self;
        int out;
        Copied *c;
        bool cut = false; // stopped before the run's end: the library goes on
        uint64_t valid;   // bytes that hold data: the kernel sends no more
    };

    // Sends the runs of a live file straight from the image. Stops at the
    // first run the kernel refuses, at the end of the image, or where the
    // chain breaks: the library then reads on from there (and meets the break
    // itself, to report it).
    void copy_runs(const dv_entry &e, readfat_file *f, int out, Copied &c) {
        Sender s{this, out, &c, false, e.valid64 < e.size64 ? e.valid64 : e.size64};
        readfat_extents_each(
            vol_, &e,
            [](void *d, const readfat_extent *x) {
                auto *s = static_cast<Sender *>(d);
                return s->self->send_extent(*x, *s) ? 0 : 1;
            },
            &s, nullptr);
        if (!c.ok() || c.bytes == readfat_size64(vol_, f)) return;
        // Refused by the kernel, the chain ends, or the valid data does (exFAT: the rest
        // reads as zeros, whatever the clusters hold): the library reads from here.
        int err = 0;
        if (readfat_seek64(vol_, f, c.bytes, &err) != 0) c.code = err ? err : EIO;
    }

    // Sends one run; false to stop (a refusal, an error, the image's end).
    bool send_extent(const readfat_extent &x, Sender &s) {
        Copied &c = *s.c;
        if (x.offset64 != c.bytes) return false;
        const uint64_t image_end = image_.size_bytes();
        const uint64_t off = x.sector * 512;
        uint32_t send = x.bytes;
        if (x.offset64 >= s.valid) return false;
        const bool short_of_valid = s.valid - x.offset64 < send;
        if (short_of_valid) send = static_cast<uint32_t>(s.valid - x.offset64);
        if (off >= image_end)
            send = 0;
        else if (image_end - off < send)
            send = static_cast<uint32_t>((image_end - off) / 512 * 512);
        for (uint32_t done = 0; done < send;) {
            const uint32_t piece = send - done < kKernelRun ? send - done : kKernelRun;
            const uint32_t sent = send_run(s.out, off + done, piece, c);
            done += sent;
            c.bytes += sent;
            if (sent && on_bytes) on_bytes(sent);
            if (stop_signal()) {
                c.code = EINTR;
                return false;
            }
            if (sent < piece) return false;
        }
        if (short_of_valid) return false;
        if (send < x.bytes) {
            c.truncated = true;
            c.code = EIO;
            return false;
        }
        return true;
    }

    // Sends `len` bytes from image offset `off`; returns how many went.
    // Clears kernel_ when the output cannot take them this way; a write error
    // goes to `c`, a read error is left for the library to meet again.
    uint32_t send_run(int out, uint64_t off, uint32_t len, Copied &c) {
        auto pos = static_cast<off_t>(off);
        uint32_t done = 0;
        while (done < len) {
            if (stop_signal()) break;
            ssize_t n = sendfile(out, img_fd_, &pos, len - done);
            if (n < 0 && errno == EINTR) continue;
            if (n > 0) {
                done += static_cast<uint32_t>(n);
                continue;
            }
            bool refused = n < 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                                     errno == EXDEV || errno == EIO);
            if (n < 0 && !refused) c.werr = errno;
            kernel_ = false;
            break;
        }
        return done;
    }

    // Reads through the library from the handle's position on.
    void copy_read(readfat_file *f, int out, Copied &c) {
        if (!chunk_) chunk_ = std::make_unique_for_overwrite<Chunk>();
        uint8_t *buf = chunk_->bytes;
        const uint64_t size = readfat_size64(vol_, f);
        while (c.bytes < size) {
            if (stop_signal()) {
                c.code = EINTR;
                return;
            }
            const uint64_t left = size - c.bytes;
            const uint32_t want = left < kChunk ? static_cast<uint32_t>(left) : kChunk;
            int err = 0;
            if (img_) img_->begin_target(buf, want);
            uint32_t got = readfat_read(vol_, f, buf, want, &err);
            if (img_) img_->end_target();
            if (hash) hash->update(buf, got);
            for (uint32_t done = 0; done < got;) {
                ssize_t w = ::write(out, buf + done, got - done);
                if (w < 0 && errno == EINTR && !stop_signal()) continue;
                if (w <= 0) {
                    c.werr = w < 0 ? errno : EIO;
                    return;
                }
                done += static_cast<uint32_t>(w);
            }
            c.bytes += got;
            if (got && on_bytes) on_bytes(got);
            if (got < want) {
                c.code = err ? err : EIO;
                c.truncated = past_image_end(f);
                return;
            }
        }
    }

    readfat_volume *vol_;
    Image &image_;
    Image *img_ = nullptr;
    int img_fd_ = -1;
    bool kernel_ = true; // false once the output refused sendfile
    std::unique_ptr<Chunk> chunk_;
};

// The message for a host file of type `mode` where get would write a file (or,
// `for_dir`, make a directory): it is left alone.
std::string in_the_way(unsigned mode, bool for_dir = false) {
    if (S_ISDIR(mode) && !for_dir) return std::strerror(EISDIR);
    return std::string(file_kind(mode)) + " is in the way, left alone " +
           (for_dir ? "(a directory merges only into a directory)"
                    : "(get replaces only regular files)");
}

// The message for a failed copy of `e`.
std::string copy_error(const dv_entry &e, const Copied &c, uint64_t image_sectors) {
    if (c.truncated)
        return "the image ends at sector " + std::to_string(image_sectors) +
               ", before this file's data (truncated image?)";
    if (c.code == DV_E_EOF && e.deleted)
        return "recovery reached the end of the data area after " + std::to_string(c.bytes) +
               " of " + std::to_string(e.size64) + " bytes";
    return dv_strerror(c.code);
}

// The warning for a recovered file that took clusters in use by other files.
std::string damage_warning(const std::string &shown) {
    return shown + ": deleted file recovered over clusters now in use by other files; it may be "
                   "damaged";
}

// A path argument expanded: the entries it names, or the error already told.
// A path without pattern characters resolves exactly; one with them names
// every match, and matching nothing is an error naming the pattern. `pattern`
// tells whether it was taken as one (not when it named an entry exactly).
bool select(readfat_volume *vol, const std::string &user, std::vector<Match> &out, bool &pattern) {
    out.clear();
    pattern = false;
    int code;
    if (has_pattern(user)) {
        bool literal = false;
        code = expand_pattern(vol, user, out, &literal);
        pattern = !literal;
        if (code == ENOENT) {
            report(shown_path(user), "no match");
            return false;
        }
    } else {
        Match m;
        code = resolve(vol, user, m.node);
        m.vpath = volume_path(user);
        if (!code) out.push_back(m);
    }
    if (code) report(shown_path(user), dv_strerror(code));
    return !code;
}

// A match for messages: the user's path, or the volume path of a pattern's match.
std::string shown_match(const std::string &user, const Match &m) {
    return has_pattern(user) ? escape_display_utf8(m.vpath) : shown_path(user);
}

} // namespace

int cmd_cat(const Args &a) {
    Session s;
    if (!open_session(a, a.positional[0], s)) return kFail;
    Copier copier(s.vol, s.image);
    int rc = kOk;
    std::vector<Match> matches;
    for (size_t i = 1; i < a.positional.size(); ++i) {
        const std::string &user = a.positional[i];
        bool pattern;
        if (!select(s.vol, user, matches, pattern)) {
            rc = kFail;
            continue;
        }
        for (const Match &m : matches) {
            const Node &n = m.node;
            int code = n.is_dir() ? EISDIR : (n.entry.attr & DV_ATTR_VOLUME) ? ENOENT : 0;
            if (code) {
                report(shown_match(user, m), dv_strerror(code));
                rc = kFail;
                continue;
            }
            // What stdio holds goes first; the contents bypass it.
            if (std::fflush(stdout) != 0) {
                report("standard output", std::strerror(errno));
                return kFail;
            }
            Copied c = copier.copy(n.entry, STDOUT_FILENO);
            if (c.werr) {
                report("standard output", std::strerror(c.werr));
                return kFail;
            }
            if (c.damaged) warning(damage_warning(shown_match(user, m)));
            if (c.code) {
                report(shown_match(user, m), copy_error(n.entry, c, s.image.sectors()));
                rc = kFail;
            }
        }
    }
    return rc;
}

// ---- get --------------------------------------------------------------------

namespace {

// A path for a message, built only when a message needs it: in a deep tree
// building every path would cost time in the square of the depth.
using Shown = std::function<std::string()>;

// The host path of `name` in the host directory `dir`.
std::string host_join(const std::string &dir, const std::string &name) {
    return !dir.empty() && dir.back() == '/' ? dir + name : dir + "/" + name;
}

struct Options {
    bool force = false;        // overwrite files that were there before the run
    bool deleted = false;      // --deleted: deleted entries are extracted too
    bool strict_names = false; // skip names that would need a substitute
    bool keep_partial = false; // keep what a failed copy wrote, as NAME.partial
    FILE *manifest = nullptr;  // --hash: where each file written gets its sha256sum line
    std::string dest;          // --hash: the manifest names files relative to this
};

// A manifest line as sha256sum writes it: a name with a newline or a backslash
// is escaped, and its line then starts with a backslash.
std::string manifest_line(const std::string &hex, const std::string &name) {
    std::string esc;
    for (char ch : name) {
        if (ch == '\\')
            esc += "\\\\";
        else if (ch == '\n')
            esc += "\\n";
        else if (ch == '\r')
            esc += "\\r";
        else
            esc += ch;
    }
    return (esc.size() != name.size() ? "\\" : "") + hex + "  " + esc + "\n";
}

// The manifest's name for host path `host`: relative to DEST when inside it.
std::string manifest_name(const std::string &host, const std::string &dest) {
    if (dest.empty() || host.compare(0, dest.size(), dest) != 0 || host.size() == dest.size())
        return host;
    std::string rel = host.substr(dest.size());
    while (!rel.empty() && rel.front() == '/') rel.erase(0, 1);
    return (dest.back() == '/' || host[dest.size()] == '/') && !rel.empty() ? rel : host;
}

struct Extractor {
    Session &s;
    Options opt;
    Progress progress;
    Copier copier{s.vol, s.image};
    int rc = kOk;
    int manifest_errno = 0; // why a manifest line could not be written

    Extractor(Session &session, const Options &o) : s(session), opt(o) {
        copier.on_bytes = [this](uint32_t n) { progress.add(n, 0); };
    }

    // The entries a walk extracts: with --deleted also deleted ones (the volume
    // then returns them under recovered names).
    bool wanted(const Listed &l) const { return !l.dot && !l.label && (opt.deleted || !l.deleted); }

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

    // The entry's FAT times as the host's local time (UTC with --utc); exFAT times with
    // their UTC offset as they are, to 10 ms; one without a valid date stays as the system
    // set it.
    static void set_times(int fd, const dv_entry &e) {
        struct timespec ts[2] = {};
        bool utc = utc_times();
        ts[0].tv_nsec = entry_host_time(e.atime64, e.utc_offset[2], utc, ts[0].tv_sec)
                            ? e.atime.nsec
                            : UTIME_OMIT;
        ts[1].tv_nsec = entry_host_time(e.mtime64, e.utc_offset[1], utc, ts[1].tv_sec)
                            ? e.mtime.nsec
                            : UTIME_OMIT;
        if (ts[0].tv_nsec != UTIME_OMIT || ts[1].tv_nsec != UTIME_OMIT) futimens(fd, ts);
    }

    // The host name for entry `e` in a directory whose names so far are
    // `names`, or "" when it is skipped (--strict-names). `shown` names the
    // entry on the volume for the warning that tells a substitute.
    std::string name_for(const dv_entry &e, HostNames &names, const Shown &shown) {
        bool changed = false;
        std::string base = host_name(e.name, opt.strict_names, changed);
        bool own = !changed && !e.deleted;
        if (opt.strict_names) {
            const char *why = unsafe_name(e.name);
            if (!why && names.taken(base)) why = "an entry extracted before has its name";
            if (!why && !own && names.reserved(base))
                why = "deleted, and a live entry has its name";
            if (why) {
                warn(shown() + ": " + why + ", skipped");
                return {};
            }
        }
        std::string name = names.claim(base, own);
        if (changed || name != base) {
            progress.clear();
            warning(shown() + ": saved as " + escape_display_utf8(name));
        }
        return name;
    }

    // Counts what a tree holds, for the progress bar.
    void measure(const Node &dir, const std::string &vpath, uint64_t &bytes, uint64_t &files) {
        Walker w(
            s.vol,
            [&](const Listed &l) {
                if (!wanted(l) || (opt.strict_names && unsafe_name(l.entry.name))) return false;
                if (l.entry.attr & DV_ATTR_DIRECTORY) return true;
                bytes += l.entry.size64;
                ++files;
                return false;
            },
            true);
        w.start(dir, vpath);
        for (Walker::Step step; (step = w.next()) != Walker::Step::done;)
            if (step == Walker::Step::entry) w.descend();
    }

    // What is left of a failed copy: removed, or kept under a marked name.
    // Returns the note for the error message.
    std::string discard(int dirfd, const std::string &name) {
        if (!opt.keep_partial) {
            unlinkat(dirfd, name.c_str(), 0);
            return "";
        }
        for (unsigned n = 0; n < 1000; ++n) {
            std::string kept = (n ? numbered_name(name, n) : name) + ".partial";
            if (renameat2(dirfd, name.c_str(), dirfd, kept.c_str(), RENAME_NOREPLACE) == 0)
                return "; the part read is kept as " + escape_display_utf8(kept);
            if (errno != EEXIST) break;
        }
        return "; the part read is kept as " + escape_display_utf8(name);
    }

    // Creates `name` in `dirfd` and fills it. `host` and `vpath` name it in
    // messages, on the host and on the volume.
    void file(const dv_entry &e, int dirfd, const std::string &name, const Shown &host,
              const Shown &vpath) {
        int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
        int fd = openat(dirfd, name.c_str(), flags, 0644);
        if (fd < 0 && errno == EEXIST) {
            // Only a regular file is ever replaced: a symbolic link may lead out of DEST,
            // and a device, FIFO or socket is no file of ours (not even /dev/stdout).
            struct stat st {};
            if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                !S_ISREG(st.st_mode)) {
                fail(escape_display_utf8(host()), in_the_way(st.st_mode));
                return;
            }
            if (!opt.force) {
                fail(escape_display_utf8(host()), "File exists (use --force to overwrite)");
                return;
            }
            unlinkat(dirfd, name.c_str(), 0);
            fd = openat(dirfd, name.c_str(), flags, 0644);
        }
        if (fd < 0) {
            fail(escape_display_utf8(host()), std::strerror(errno));
            return;
        }
        Sha256 sum;
        copier.hash = opt.manifest ? &sum : nullptr;
        Copied c = copier.copy(e, fd);
        // Only a whole copy gets the entry's times: a part never looks finished.
        if (c.ok()) set_times(fd, e);
        if (::close(fd) != 0 && c.ok()) c.werr = errno;
        if (c.ok() && opt.manifest) {
            const std::string line = manifest_line(sum.hex(), manifest_name(host(), opt.dest));
            if (std::fputs(line.c_str(), opt.manifest) == EOF && !manifest_errno)
                manifest_errno = errno ? errno : EIO;
        }
        if (!c.ok() && stop_signal()) {
            discard(dirfd, name); // the command ends with one message for the interruption
            return;
        }
        if (c.damaged) {
            progress.clear();
            warning(damage_warning(escape_display_utf8(vpath())));
        }
        if (c.werr)
            fail(escape_display_utf8(host()), std::strerror(c.werr) + discard(dirfd, name));
        else if (c.code)
            fail(escape_display_utf8(vpath()),
                 copy_error(e, c, s.image.sectors()) + discard(dirfd, name));
        progress.add(0, 1);
    }

    // Creates (or reuses) a real directory `name` in `dirfd`; returns its fd.
    int make_dir(int dirfd, const std::string &name, const Shown &host) {
        if (mkdirat(dirfd, name.c_str(), 0755) != 0 && errno != EEXIST) {
            fail(escape_display_utf8(host()), std::strerror(errno));
            return -1;
        }
        int fd = openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            const int e = errno;
            struct stat st {};
            // Merged only into a real directory: a link to one is not followed.
            if ((e == ELOOP || e == ENOTDIR) &&
                fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode))
                fail(escape_display_utf8(host()), in_the_way(st.st_mode, true));
            else
                fail(escape_display_utf8(host()), std::strerror(e));
        }
        return fd;
    }

    // Extracts the contents of `dir` (volume path `vpath`) into the open
    // directory `top` (host path `hpath`), which stays open; `top_names` holds
    // the names given out in `top` so far. Beside it only the directory being
    // filled is open, whatever the depth: going back up, the parent is opened
    // again as ".." and must be the very directory (device and inode) created
    // on the way down, else the extraction stops, since the tree was moved
    // under us and the next file could land outside DEST.
    void contents(const Node &dir, int top, const std::string &vpath, const std::string &hpath,
                  HostNames &top_names) {
        // The names of each directory level being written: an entry's own name
        // is reserved as its directory is read, so that a substitute or a
        // deleted entry never takes it, even from an entry that comes later.
        std::vector<HostNames> levels(1);
        Walker *walker = nullptr;
        auto names_at = [&](size_t depth) -> HostNames & {
            if (depth == 0) return top_names;
            if (levels.size() <= depth) levels.resize(depth + 1);
            return levels[depth];
        };
        Walker w(s.vol, [&](const Listed &l) {
            if (!wanted(l)) return false;
            if (!l.deleted) {
                bool changed = false;
                std::string name = host_name(l.entry.name, opt.strict_names, changed);
                if (!changed) names_at(walker->depth()).reserve(name);
            }
            return true;
        });
        walker = &w;
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
            if (stop_signal()) break;
            if (step == Walker::Step::enter && w.depth() > 0) {
                names_at(w.depth()).clear();
            } else if (step == Walker::Step::listed && w.listing_error()) {
                fail(w.shown(), w.listing_message());
            } else if (step == Walker::Step::entry) {
                const Listed &l = w.entry();
                auto shown = [&] {
                    return (w.path() == "/" ? "/" : w.shown() + "/") +
                           escape_display(name_to_u32(l.entry.name));
                };
                std::string name = name_for(l.entry, names_at(w.depth()), shown);
                if (name.empty()) continue;
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

    // Extracts a directory as `name` in the open directory `dirfd` (host path
    // `hpath` for that name).
    void directory(const Match &m, int dirfd, const std::string &name, const std::string &hpath) {
        int fd = make_dir(dirfd, name, [&] { return hpath; });
        if (fd < 0) return;
        HostNames names;
        contents(m.node, fd, m.vpath, hpath, names);
        Extractor::set_times(fd, m.node.entry);
        ::close(fd);
    }
};

// DEST's own state, looked at once.
struct Dest {
    std::string path, shown;
    bool exists = false, dir = false;
    bool wants_dir = false; // written with a trailing '/'
    int error = 0;          // why stat failed, when it did
};

Dest look_at_dest(const std::string &path) {
    Dest d;
    d.path = path;
    d.shown = escape_display_utf8(path);
    d.wants_dir = !path.empty() && path.back() == '/';
    struct stat st {};
    d.exists = stat(path.c_str(), &st) == 0;
    d.error = d.exists ? 0 : errno;
    d.dir = d.exists && S_ISDIR(st.st_mode);
    return d;
}

// For a DEST that is not there: reports the real reason it cannot be made
// (its parent missing or no directory, a file in the way of "X/") and
// returns false, or true when it can be created.
bool dest_can_be_made(const Dest &d) {
    std::string p = d.path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t slash = p.rfind('/');
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
    struct stat st {};
    int e = stat(parent.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (e) {
        report(d.shown,
               "cannot be created: " + escape_display_utf8(parent) + ": " + std::strerror(e));
        return false;
    }
    if (d.error != ENOENT) {
        report(d.shown, std::strerror(d.error));
        return false;
    }
    return true;
}

// Makes the directory DEST if it is missing; false with the error told.
bool make_dest_dir(const Dest &d) {
    if (d.exists) {
        if (d.dir) return true;
        report(d.shown, std::strerror(ENOTDIR));
        return false;
    }
    if (!dest_can_be_made(d)) return false;
    if (mkdir(d.path.c_str(), 0755) != 0 && errno != EEXIST) {
        report(d.shown, std::strerror(errno));
        return false;
    }
    return true;
}

// Makes DEST if it is missing and opens it; the descriptor, or -1 with the error told.
int open_dest_dir(const Dest &d) {
    if (!make_dest_dir(d)) return -1;
    const int fd = open(d.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) report(d.shown, std::strerror(errno));
    return fd;
}

// glibc's mktime checks /etc/localtime for changes on every call while TZ is
// unset: two system calls per extracted file. Naming the same file in TZ
// gives the same zone without them.
void fix_time_zone() {
    if (!std::getenv("TZ")) {
        setenv("TZ", ":/etc/localtime", 0);
        tzset();
    }
}

} // namespace

int cmd_get(const Args &a) {
    Session s;
    if (!open_session(a, a.positional[0], s)) return kFail;
    const OrphansNote orphans_note(s);
    fix_time_zone();
    // IMAGE PATH [DEST] or IMAGE PATH... DEST.
    size_t n_args = a.positional.size();
    std::vector<std::string> users(a.positional.begin() + 1,
                                   a.positional.begin() +
                                       static_cast<long>(n_args > 2 ? n_args - 1 : 2));
    Dest dest = look_at_dest(n_args > 2 ? a.positional.back() : ".");
    bool several = users.size() > 1;

    Options opt;
    opt.force = a.has("force");
    opt.deleted = a.has("deleted");
    opt.strict_names = a.has("strict-names");
    opt.keep_partial = a.has("keep-partial");
    // --hash sha256: a manifest of the files written, to stdout or --manifest FILE.
    std::unique_ptr<FILE, int (*)(FILE *)> manifest_file(nullptr, &std::fclose);
    const auto hash = a.values.find("hash");
    const auto manifest = a.values.find("manifest");
    if (hash != a.values.end() && hash->second != "sha256")
        return usage_error("get", "--hash: unknown hash '" + hash->second + "' (sha256 is known)");
    if (manifest != a.values.end() && hash == a.values.end())
        return usage_error("get", "--manifest needs --hash sha256");
    if (hash != a.values.end()) {
        opt.manifest = stdout;
        if (manifest != a.values.end()) {
            manifest_file.reset(std::fopen(manifest->second.c_str(), "w"));
            if (!manifest_file) {
                report(escape_display_utf8(manifest->second), std::strerror(errno));
                return kFail;
            }
            opt.manifest = manifest_file.get();
        }
        opt.dest = dest.path;
    }
    Extractor x(s, opt);

    // Every source, in argument order; a miss is told and the rest still done.
    struct Source {
        const std::string *user;
        Match m;
    };
    std::vector<Source> sources;
    std::vector<Match> matches;
    for (const std::string &u : users) {
        bool pattern;
        bool found = select(s.vol, u, matches, pattern);
        several = several || pattern;
        if (!found) {
            x.rc = kFail;
            continue;
        }
        for (Match &m : matches) {
            const Node &n = m.node;
            if (!n.is_root && (n.entry.attr & DV_ATTR_VOLUME) && !n.is_dir()) {
                report(shown_match(u, m), dv_strerror(ENOENT));
                x.rc = kFail;
                continue;
            }
            sources.push_back({&u, std::move(m)});
        }
    }
    if (sources.empty()) return kFail;

    if (!a.has("quiet") && isatty(STDERR_FILENO)) {
        uint64_t bytes = 0, files = 0;
        for (const Source &src : sources) {
            if (src.m.node.is_dir()) {
                x.measure(src.m.node, src.m.vpath, bytes, files);
            } else {
                bytes += src.m.node.entry.size64;
                ++files;
            }
        }
        x.progress.start(bytes, files);
    }

    const StopSignals stop_signals;
    // The end of the run: interrupted, or the progress line's last state.
    auto finish = [&x] {
        if (int sig = stop_signal()) {
            x.progress.clear();
            report("get", "interrupted: the files extracted before are kept, the one at hand "
                          "is not");
            return 128 + sig;
        }
        x.progress.finish();
        if (x.opt.manifest && std::fflush(x.opt.manifest) != 0 && !x.manifest_errno)
            x.manifest_errno = errno ? errno : EIO;
        if (x.manifest_errno) {
            report("get", std::string("manifest: ") + std::strerror(x.manifest_errno));
            return static_cast<int>(kFail);
        }
        return x.rc;
    };

    auto entry_shown = [](const Source &src) {
        return [&src] { return shown_match(*src.user, src.m); };
    };

    if (!several) {
        const Source &src = sources[0];
        const Node &n = src.m.node;
        if (!n.is_dir()) {
            if (dest.dir) {
                int dfd = open(dest.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                if (dfd < 0) {
                    report(dest.shown, std::strerror(errno));
                    return kFail;
                }
                HostNames names;
                std::string name = x.name_for(n.entry, names, entry_shown(src));
                if (!name.empty())
                    x.file(
                        n.entry, dfd, name, [&] { return host_join(dest.path, name); },
                        [&] { return src.m.vpath; });
                ::close(dfd);
            } else if (dest.exists && dest.wants_dir) {
                report(dest.shown, std::strerror(ENOTDIR));
                return kFail;
            } else if (!dest.exists && dest.wants_dir) {
                if (dest_can_be_made(dest)) report(dest.shown, "No such directory");
                return kFail;
            } else if (dest.exists || dest_can_be_made(dest)) {
                // DEST names the file itself: the user chose that name.
                x.file(
                    n.entry, AT_FDCWD, dest.path, [&] { return dest.path; },
                    [&] { return src.m.vpath; });
            } else {
                return kFail;
            }
            return finish();
        }
        // A directory: into DEST if DEST is new, else into DEST/NAME; the
        // root's contents always into DEST.
        bool fresh = !dest.exists;
        const int top = open_dest_dir(dest);
        if (top < 0) return kFail;
        HostNames names;
        if (fresh || n.is_root) {
            x.contents(n, top, src.m.vpath, dest.path, names);
            if (!n.is_root) Extractor::set_times(top, n.entry);
        } else {
            std::string name = x.name_for(n.entry, names, entry_shown(src));
            if (!name.empty()) x.directory(src.m, top, name, host_join(dest.path, name));
        }
        ::close(top);
        return finish();
    }

    // Several sources: each goes into DEST (a directory, made if missing)
    // under its own name, the root's contents into DEST itself.
    const int top = open_dest_dir(dest);
    if (top < 0) return kFail;
    HostNames names;
    for (const Source &src : sources) {
        if (stop_signal()) break;
        const Node &n = src.m.node;
        if (n.is_root) {
            x.contents(n, top, "/", dest.path, names);
            continue;
        }
        std::string name = x.name_for(n.entry, names, entry_shown(src));
        if (name.empty()) continue;
        if (n.is_dir())
            x.directory(src.m, top, name, host_join(dest.path, name));
        else
            x.file(
                n.entry, top, name, [&] { return host_join(dest.path, name); },
                [&] { return src.m.vpath; });
    }
    ::close(top);
    return finish();
}

} // namespace dvcli
