// put, mkdir, rm, mv and label: changing an image through the library's write path.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli.h"
#include "dorvex/writefat.h"
#include "host_tree.h"
#include "progress.h"
#include "safe_name.h"
#include "stop.h"
#include "text.h"

namespace fs = std::filesystem;

namespace dvcli {
namespace {

// The image opened for writing and its volume; closing marks it clean again.
class WriteSession {
  public:
    ~WriteSession() { close(); }
    bool open(const Args &args, const std::string &image_path) {
        std::string error;
        shown_ = escape_display_utf8(image_path);
        if (!image_.open(image_path, error, true) || !image_.lock_for_writing(error)) {
            report(shown_, error);
            return false;
        }
        uint64_t start = 0, end = 0;
        std::string fs;
        if (!image_.locate(args.volume, start, end, error, &fs)) {
            report(shown_, error);
            return false;
        }
        // Said before the library is asked, which refuses it too (after --offset).
        if (fs == "exFAT") {
            report(shown_, dv_strerror(DV_E_EXFATWRITE));
            return false;
        }
        int err = 0;
        // The read side only looks names up here: no read-ahead windows (and their memory).
        w_ = writefat_open(start, end, 512, &image_, &Image::reader, &Image::writer,
                           kVolumeFlags & ~READFAT_FLAG_BATCH, 4, 4, &err);
        if (!w_) report(shown_, dv_strerror(err));
        return w_ != nullptr;
    }
    // Writes what is pending and marks the volume clean; false (reported) on failure.
    bool close() {
        if (!w_) return true;
        const int rc = writefat_close(w_);
        w_ = nullptr;
        if (rc != 0) {
            progress.clear();
            // A group's last files were copied but not yet published when the medium failed.
            report(shown_,
                   std::string(dv_strerror(rc)) +
                       (grouped_ ? " (files copied since the last sync are not on it)" : ""));
        }
        return rc == 0;
    }
    writefat_volume *w() const { return w_; }
    // The copy buffer, made once for all files and left uninitialised: small files touch
    // only its first pages. Page-aligned: the library writes whole clusters of an aligned
    // buffer straight to the image, and copies an unaligned one first.
    static constexpr size_t kBufferSize = size_t{1} << 20;
    char *buffer() {
        if (!buf_) buf_.reset(static_cast<char *>(std::aligned_alloc(4096, kBufferSize)));
        return buf_.get();
    }
    readfat_volume *rv() const { return writefat_reader(w_); }

    // Publishes files in groups (see writefat_group), synced at least once a second so that
    // a crash loses at most the last second's files.
    void group() {
        grouped_ = writefat_group(w_, 1) == 0;
        synced_ = Progress::Clock::now();
    }
    // After each file: the group's sync when its second is up; the progress line.
    void file_done(uint64_t bytes) {
        progress.add(bytes, 1);
        if (!grouped_) return;
        const auto now = Progress::Clock::now();
        if (now - synced_ < std::chrono::seconds(1)) return;
        synced_ = now;
        writefat_sync(w_); // a failure refuses every later change, which reports it
    }
    // After a failure: false when the volume takes no more changes (a write of the medium
    // failed), so that put stops there instead of failing every file left with the same code.
    bool usable() {
        if (!halted_ && writefat_sync(w_) != 0) halted_ = true;
        return !halted_;
    }
    // Whether to go on: no signal, and the medium still takes writes.
    bool going() const { return !halted_ && !stop_signal(); }
    // Messages clear the progress line first.
    void fail(const std::string &what, const std::string &msg) {
        progress.clear();
        report(what, msg);
    }
    void fail_code(const std::string &what, int code) {
        progress.clear();
        report_code(what, code);
    }
    // A host entry put leaves out, with the warning saying why; only what the copy is short
    // of counts (exit status 1).
    void skip(const std::string &host, const std::string &why, Skip kind = Skip::short_of) {
        progress.clear();
        warning(escape_display_utf8(host) + ": " + why + ", skipped");
        if (kind == Skip::short_of) ++skipped_;
    }
    int skipped() const { return skipped_; }
    // Symbolic links in trees are followed (--follow-symlinks).
    bool follow = false;

    // The volume took no more (ENOSPC) at `dest`, a file of `bytes` or a directory: the copy
    // stops there, and what is left is only counted (left_over) for one message at the end.
    void volume_full(const std::string &dest, bool file, uint64_t bytes) {
        full_at_ = shown_path(dest);
        left_files_ = file ? 1 : 0;
        left_bytes_ = bytes;
        full_ = true;
    }
    bool full() const { return full_; }
    void left_over(const std::string &host) {
        host_measure(host, follow, left_bytes_, left_files_);
    }
    void left_file(uint64_t bytes) {
        ++left_files_;
        left_bytes_ += bytes;
    }
    // The one message of a full volume; false when the volume did not fill.
    bool tell_full() {
        if (!full_) return false;
        fail(full_at_, std::string(dv_strerror(ENOSPC)) + ": " + std::to_string(left_files_) +
                           (left_files_ == 1 ? " file (" : " files (") + human_size(left_bytes_) +
                           ") not copied, from this one on");
        return true;
    }

    Progress progress;

  private:
    Image image_;
    writefat_volume *w_ = nullptr;
    std::string shown_;
    struct Free {
        void operator()(char *p) const { std::free(p); }
    };
    std::unique_ptr<char, Free> buf_;
    bool grouped_ = false, halted_ = false;
    Progress::Clock::time_point synced_;
    int skipped_ = 0;
    bool full_ = false;
    std::string full_at_;
    uint64_t left_files_ = 0, left_bytes_ = 0;
};

// The entry at `path`; false when there is none (or it cannot be read).
bool stat_path(readfat_volume *rv, const std::string &path, dv_entry &e) {
    return readfat_stat(rv, path.c_str(), &e) == 0;
}

bool is_dir(readfat_volume *rv, const std::string &path) {
    dv_entry e;
    if (path.empty() || path.find_first_not_of("/\\") == std::string::npos) return true;
    return stat_path(rv, path, e) && (e.attr & DV_ATTR_DIRECTORY) != 0;
}

std::string join(const std::string &dir, const std::string &name) {
    if (dir.empty() || dir.back() == '/' || dir.back() == '\\') return dir + name;
    return dir + "/" + name;
}

// The last component of a path in the image (separators '/' and '\').
std::string base_name(const std::string &path) {
    std::string p = path;
    while (!p.empty() && (p.back() == '/' || p.back() == '\\')) p.pop_back();
    const size_t at = p.find_last_of("/\\");
    return at == std::string::npos ? p : p.substr(at + 1);
}

// The host time `t` as FAT keeps it: its wall clock (local, or UTC with --utc) clamped to
// FAT's range, 1980 to 2107, so that a file dated outside it still gets the nearest date.
int64_t fat_wall(time_t t) {
    return std::clamp<int64_t>(wall_clock(t, utc_times()), 315532800, 4354819198);
}

int64_t now_wall() {
    return wall_clock(std::time(nullptr), utc_times());
}

// The message for a failed change of `dest`: a name FAT cannot hold says which rule.
std::string change_error(const std::string &dest, int code) {
    if (code == EINVAL) {
        const std::string why = fat_name_problem(base_name(dest));
        if (!why.empty()) return why;
    }
    return dv_strerror(code);
}

// Copies one host file to `dest`. Returns false after reporting (a full volume is told once,
// at the end, by cmd_put). One open, one fstat (size and time) and, for a file that fits the
// buffer, one read: the whole file then reaches the library in one call, which writes its
// whole clusters in one request. The file is `name` in the directory `at` (a tree's entry
// opens without resolving its whole path), `host` says it in messages. `listed`: found in a
// tree, where only a regular file is copied; one named by the user (a FIFO such as
// <(command) too) is read whatever it is.
bool put_file(WriteSession &s, const std::string &host, int at, const char *name,
              const std::string &dest, bool force, bool listed) {
    // Without blocking: a FIFO that took a listed file's place would wait for a writer; nor
    // through a link that took its place, unless links are followed.
    const int fd = ::openat(at, name,
                            O_RDONLY | O_CLOEXEC | O_NOCTTY | (listed ? O_NONBLOCK : 0) |
                                (listed && !s.follow ? O_NOFOLLOW : 0));
    struct stat st {};
    if (fd < 0 && stop_signal()) return false;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        s.fail(escape_display_utf8(host), std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return false;
    }
    if (listed) {
        if (!S_ISREG(st.st_mode)) {
            ::close(fd);
            s.skip(host, std::string(file_kind(st.st_mode)) + ", not a regular file or directory");
            return false;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    const uint64_t size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    // A failure of the library: a full volume ends the copy, anything else is told here.
    auto failed = [&](int code) {
        if (code == ENOSPC)
            s.volume_full(dest, true, size);
        else
            s.fail(shown_path(dest), change_error(dest, code));
        return false;
    };
    int err = 0;
    writefat_file *f = writefat_create(s.w(), dest.c_str(), force ? WRITEFAT_REPLACE : 0, &err);
    if (!f) {
        ::close(fd);
        return failed(err);
    }
    char *const buf = s.buffer();
    if (!buf) {
        ::close(fd);
        writefat_abort(s.w(), f);
        return failed(ENOMEM);
    }
    const size_t room = WriteSession::kBufferSize;
    const bool regular = S_ISREG(st.st_mode);
    uint64_t total = 0;
    for (;;) {
        const ssize_t n = stop_signal() ? -1 : ::read(fd, buf, room);
        if (stop_signal()) {
            ::close(fd);
            writefat_abort(s.w(), f);
            return false;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int e = errno;
            ::close(fd);
            writefat_abort(s.w(), f);
            s.fail(escape_display_utf8(host), std::strerror(e));
            return false;
        }
        if (n == 0) break;
        if (writefat_write(s.w(), f, buf, static_cast<size_t>(n), &err) != 0) {
            ::close(fd);
            writefat_abort(s.w(), f);
            return failed(err);
        }
        total += static_cast<uint64_t>(n);
        // A short read of a regular file that reached its size is its end: no read for 0.
        if (regular && static_cast<size_t>(n) < room && total >= size) break;
    }
    ::close(fd);
    const int64_t mtime = fat_wall(st.st_mtime);
    const int rc = writefat_finish(s.w(), f, mtime);
    if (rc != 0) return failed(rc);
    // FAT keeps the day of the last access; a new file takes its modification day.
    const int64_t atime = fat_wall(st.st_atime);
    if (atime / 86400 != mtime / 86400)
        writefat_settimes(s.w(), dest.c_str(), DV_TIME_NONE, DV_TIME_NONE, atime);
    s.file_done(total);
    return true;
}

// Copies what a walk of a host directory hands out below the volume path `top`. Once the
// volume is full the rest is only counted, for the one message at the end.
class Copier : public HostTree::Visitor {
  public:
    Copier(WriteSession &s, const std::string &top, bool force) : s_(s), top_(top), force_(force) {}
    int failures = 0;

    bool enter(const HostEntry &d) override {
        const size_t back = dest_.size();
        dest_ = ends_.empty() ? top_ : join(dest_, d.name);
        const std::string &dest = dest_;
        if (s_.full() || is_root(dest)) {
            ends_.push_back(back);
            return true;
        }
        // Made, or merged into when it is a directory already. (The read side sees a group's
        // directories only once synced: ask it only when the name is taken.)
        int rc = writefat_mkdir(s_.w(), dest.c_str(), fat_wall(d.mtime));
        if (rc == EEXIST) {
            rc = writefat_sync(s_.w());
            if (rc == 0 && !is_dir(s_.rv(), dest)) rc = EEXIST;
        }
        if (rc == ENOSPC) {
            s_.volume_full(dest, false, 0);
            ++failures;
        } else if (rc != 0) {
            s_.fail(shown_path(dest), change_error(dest, rc));
            ++failures;
            stop_ = !s_.usable();
            dest_.resize(back);
            return false;
        }
        ends_.push_back(back);
        return true;
    }
    void leave(const HostEntry &d) override {
        // The directory's times are those of the host directory, set after its contents.
        if (!s_.full() && !is_root(dest_))
            writefat_settimes(s_.w(), dest_.c_str(), DV_TIME_NONE, fat_wall(d.mtime),
                              fat_wall(d.atime));
        dest_.resize(ends_.back());
        ends_.pop_back();
    }
    void file(const HostEntry &f) override {
        if (s_.full()) {
            s_.left_file(f.size);
            return;
        }
        if (put_file(s_, f.path, f.at, f.name.c_str(), join(dest_, f.name), force_, true)) return;
        ++failures;
        if (!s_.full()) stop_ = !s_.usable();
    }
    void skip(const std::string &path, const std::string &why, Skip kind) override {
        if (!s_.full()) s_.skip(path, why, kind);
    }
    bool going() override { return !stop_ && s_.going(); }

  private:
    static bool is_root(const std::string &p) {
        return p.find_first_not_of("/\\") == std::string::npos;
    }

    WriteSession &s_;
    std::string top_;
    bool force_;
    bool stop_ = false;
    // The volume path of the directory being walked, and where each one above it ends (one
    // path, not one a level: a tree 10,000 deep would take memory quadratic in its depth).
    std::string dest_;
    std::vector<size_t> ends_;
};

// Copies a host file or tree named by the user to `dest`; returns the number of failures.
int put_tree(WriteSession &s, HostTree &tree, const std::string &host, const std::string &dest,
             bool force) {
    HostEntry top;
    bool regular = false;
    std::string why;
    if (!HostTree::named(host, top, regular, why)) {
        s.fail(escape_display_utf8(host), why);
        return 1;
    }
    if (top.dir) {
        Copier copier(s, dest, force);
        tree.walk(top, copier);
        return copier.failures;
    }
    if (s.full()) {
        s.left_over(host);
        return 0;
    }
    return put_file(s, host, AT_FDCWD, host.c_str(), dest, force, false) ? 0 : 1;
}

// glibc's localtime re-reads the zone file per call while TZ is unset: name it once.
void name_the_zone() {
    if (!std::getenv("TZ")) {
        setenv("TZ", ":/etc/localtime", 0);
        tzset();
    }
}

// What `rm -r` hears of the entries removed: their names by depth, so that a warning can
// name the whole path (kept as names, not paths: a tree 10,000 levels deep stays small).
struct Removal {
    std::string top;                // the path given, as shown
    std::vector<std::string> names; // names[d - 1]: the shown name at depth d

    std::string shown() const {
        std::string p = top;
        for (const auto &n : names) p += (p.empty() || p.back() != '/' ? "/" : "") + n;
        return p;
    }

    static void heard(void *data, const dv_entry *e, uint32_t depth, int code) {
        auto *r = static_cast<Removal *>(data);
        if (depth == 0) {
            r->names.clear();
        } else {
            r->names.resize(depth - 1);
            r->names.push_back(escape_display_utf8(name_to_utf8(e->name)));
        }
        if (code == ELOOP) {
            warning(r->shown() + ": directory loop or cross-link: entry removed, its clusters " +
                    "left alone");
        } else if (code != 0) {
            warning(r->shown() + ": " + dv_strerror(code) + ": entry removed, what it held is " +
                    "left as lost clusters");
        }
    }
};

// Removes `path`; with `recursive` a directory with everything below it, in one call that
// walks the tree itself (any depth, names as stored, loops and cross-links not followed).
int remove_tree(WriteSession &s, const std::string &path, bool recursive) {
    if (!recursive) return writefat_remove(s.w(), path.c_str());
    Removal r;
    r.top = shown_path(path);
    while (r.top.size() > 1 && r.top.back() == '/') r.top.pop_back();
    return writefat_remove_tree(s.w(), path.c_str(), &Removal::heard, &r);
}

// The host file `path` names, so that a walk leaves it out.
void exclude_file(HostTree &tree, const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) tree.exclude(st.st_dev, st.st_ino);
}

// What writefat_setlabel refuses, told for label and mkimage --label alike.
const char *const kLabelRule =
    "a label has at most 11 ASCII characters, none of . \" * + , / : ; < = > ? [ \\ ] |";

} // namespace

int cmd_put(const Args &a) {
    const std::string &dest = a.positional.back();
    WriteSession s;
    s.follow = a.has("follow-symlinks");
    if (!s.open(a, a.positional[0])) return kFail;
    name_the_zone();
    const size_t nsrc = a.positional.size() - 2;
    const bool into = is_dir(s.rv(), dest);
    if (nsrc > 1 && !into) {
        report(shown_path(dest), "not a directory (several sources need one)");
        return kFail;
    }
    if (!a.has("sync")) s.group();
    if (!a.has("quiet") && isatty(STDERR_FILENO)) {
        uint64_t bytes = 0, files = 0;
        for (size_t i = 1; i <= nsrc; ++i) host_measure(a.positional[i], s.follow, bytes, files);
        s.progress.start(bytes, files);
    }
    HostTree tree(s.follow);
    exclude_file(tree, a.positional[0]); // an image inside a source is not copied into itself
    int failures = 0;
    const StopSignals stop_signals;
    for (size_t i = 1; i <= nsrc && s.going(); ++i) {
        const std::string &src = a.positional[i];
        std::error_code ec;
        if (!fs::exists(src, ec)) {
            s.fail(escape_display_utf8(src), std::strerror(ENOENT));
            ++failures;
            continue;
        }
        std::string name = fs::path(src).lexically_normal().filename().string();
        if (name.empty()) name = fs::path(src).lexically_normal().parent_path().filename().string();
        // "dir/." (or "..") names no directory of its own: its contents merge into DEST, as
        // cp -r does.
        const std::string last = fs::path(src).filename().string();
        const bool merge = last == "." || last == "..";
        if (into && !merge) {
            // Into a directory under its own name, which FAT must be able to hold as it is.
            const std::string bad = fat_name_problem(name);
            if (!bad.empty()) {
                s.skip(src, bad);
                continue;
            }
        }
        failures +=
            put_tree(s, tree, src, into && !merge ? join(dest, name) : dest, a.has("force"));
    }
    if (stop_signal()) {
        s.fail("put", "interrupted: the files copied before are kept, the one at hand is not");
        return s.close() ? 128 + stop_signal() : kFail;
    }
    const bool full = s.tell_full();
    s.progress.finish();
    if (!s.close()) return kFail;
    return failures || full || s.skipped() ? kFail : kOk;
}

int copy_into_root(const Args &a, const std::string &image, const std::string &src, TreeCopy &c) {
    WriteSession s;
    s.follow = c.follow_symlinks;
    if (!s.open(a, image)) return kFail;
    name_the_zone();
    if (!c.label.empty()) {
        const int rc = writefat_setlabel(s.w(), c.label.c_str());
        if (rc != 0) {
            c.bad_label = rc == EINVAL;
            if (rc == EINVAL)
                report("label", kLabelRule);
            else
                report_code("label", rc);
            s.close();
            return kFail;
        }
    }
    s.group();
    if (!c.quiet && isatty(STDERR_FILENO)) {
        uint64_t bytes = 0, files = 0;
        host_measure(src, s.follow, bytes, files);
        s.progress.start(bytes, files);
    }
    HostTree tree(s.follow);
    if (c.excluded_set) tree.exclude(c.excluded_dev, c.excluded_ino);
    c.failures = put_tree(s, tree, src, "/", false);
    c.left_out = s.skipped();
    if (stop_signal()) {
        c.interrupted = true;
        s.close();
        return 128 + stop_signal();
    }
    c.full = s.tell_full();
    s.progress.finish();
    if (!s.close()) return kFail;
    return c.failures || c.full || c.left_out ? kFail : kOk;
}

int cmd_mkdir(const Args &a) {
    WriteSession s;
    if (!s.open(a, a.positional[0])) return kFail;
    int failures = 0;
    for (size_t i = 1; i < a.positional.size(); ++i) {
        const std::string &path = a.positional[i];
        if (a.has("parents")) {
            // Each missing component in turn; existing directories are fine.
            std::string at;
            int rc = 0;
            size_t pos = 0;
            while (rc == 0 && pos < path.size()) {
                const size_t end = path.find_first_of("/\\", pos);
                const std::string part =
                    path.substr(pos, end == std::string::npos ? end : end - pos);
                pos = end == std::string::npos ? path.size() : end + 1;
                if (part.empty()) continue;
                at = join(at, part);
                if (!is_dir(s.rv(), at)) rc = writefat_mkdir(s.w(), at.c_str(), now_wall());
            }
            if (rc != 0) {
                report(shown_path(at), change_error(at, rc));
                ++failures;
            }
        } else if (int rc = writefat_mkdir(s.w(), path.c_str(), now_wall())) {
            report(shown_path(path), change_error(path, rc));
            ++failures;
        }
    }
    if (!s.close()) return kFail;
    return failures ? kFail : kOk;
}

int cmd_rm(const Args &a) {
    WriteSession s;
    if (!s.open(a, a.positional[0])) return kFail;
    int failures = 0;
    for (size_t i = 1; i < a.positional.size(); ++i) {
        const std::string &path = a.positional[i];
        int rc = remove_tree(s, path, a.has("recursive"));
        if (rc == ENOTEMPTY && !a.has("recursive")) {
            report(shown_path(path), "directory not empty (use -r to remove it with its contents)");
            ++failures;
        } else if (rc != 0) {
            report_code(shown_path(path), rc);
            ++failures;
        }
    }
    if (!s.close()) return kFail;
    return failures ? kFail : kOk;
}

int cmd_mv(const Args &a) {
    WriteSession s;
    if (!s.open(a, a.positional[0])) return kFail;
    const std::string &src = a.positional[1];
    std::string dest = a.positional[2];
    if (is_dir(s.rv(), dest)) dest = join(dest, base_name(src));
    int rc = writefat_rename(s.w(), src.c_str(), dest.c_str());
    if (rc != 0) report(shown_path(src) + " -> " + shown_path(dest), change_error(dest, rc));
    if (!s.close()) return kFail;
    return rc ? kFail : kOk;
}

int cmd_label(const Args &a) {
    if (a.positional.size() == 1 && !a.has("clear")) {
        // Show it: the root's label entry, as 'dorvex info' finds it.
        Session s;
        if (!open_session(a, a.positional[0], s)) return kFail;
        int err = 0;
        readfat_dir *d = readfat_opendir(s.vol, "", &err);
        std::string label;
        while (d) {
            const dv_entry *e = readfat_readdir(s.vol, d, &err);
            if (!e) break;
            if ((e->attr & 0x3F) == DV_ATTR_VOLUME && !e->deleted) {
                // In the code page of 8.3 names, escaped: the bytes are the medium's, and
                // may hold control characters.
                label = escape_display(label_u32(*e));
                break;
            }
        }
        if (d) readfat_closedir(s.vol, d);
        out_str(label + "\n");
        return kOk;
    }
    if (a.positional.size() == 2 && a.has("clear"))
        return usage_error("label", "--clear takes no LABEL");
    WriteSession s;
    if (!s.open(a, a.positional[0])) return kFail;
    const int rc = writefat_setlabel(s.w(), a.has("clear") ? "" : a.positional[1].c_str());
    if (rc == EINVAL)
        report("label", kLabelRule);
    else if (rc != 0)
        report_code("label", rc);
    if (!s.close()) return kFail;
    return rc ? kFail : kOk;
}

} // namespace dvcli
