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
#include "progress.h"
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
        if (!image_.open(image_path, error, true)) {
            report(shown_, error);
            return false;
        }
        uint64_t start = 0, end = 0;
        if (!image_.locate(args.volume, start, end, error)) {
            report(shown_, error);
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
    // only its first pages.
    static constexpr size_t kBufferSize = size_t{1} << 20;
    char *buffer() {
        if (!buf_) buf_.reset(new char[kBufferSize]);
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

    Progress progress;

  private:
    Image image_;
    writefat_volume *w_ = nullptr;
    std::string shown_;
    std::unique_ptr<char[]> buf_;
    bool grouped_ = false, halted_ = false;
    Progress::Clock::time_point synced_;
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

int64_t now_wall() {
    return wall_clock(std::time(nullptr), utc_times());
}

int64_t mtime_wall(const std::string &host) {
    struct stat st {};
    if (::stat(host.c_str(), &st) != 0) return now_wall();
    return wall_clock(st.st_mtime, utc_times());
}

// Copies one host file to `dest`. Returns false after reporting. One open, one fstat (size
// and time) and, for a file that fits the buffer, one read: the whole file then reaches
// the library in one call, which writes its whole clusters in one request.
bool put_file(WriteSession &s, const std::string &host, const std::string &dest, bool force) {
    const int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 && stop_signal()) return false;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        s.fail(escape_display_utf8(host), std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return false;
    }
    int err = 0;
    writefat_file *f = writefat_create(s.w(), dest.c_str(), force ? WRITEFAT_REPLACE : 0, &err);
    if (!f) {
        ::close(fd);
        s.fail_code(shown_path(dest), err);
        return false;
    }
    char *const buf = s.buffer();
    const size_t size = WriteSession::kBufferSize;
    const bool regular = S_ISREG(st.st_mode);
    uint64_t total = 0;
    for (;;) {
        const ssize_t n = stop_signal() ? -1 : ::read(fd, buf, size);
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
            s.fail_code(shown_path(dest), err);
            return false;
        }
        total += static_cast<uint64_t>(n);
        // A short read of a regular file that reached its size is its end: no read for 0.
        if (regular && static_cast<size_t>(n) < size && total >= static_cast<uint64_t>(st.st_size))
            break;
    }
    ::close(fd);
    const int rc = writefat_finish(s.w(), f, wall_clock(st.st_mtime, utc_times()));
    if (rc != 0) s.fail_code(shown_path(dest), rc);
    s.file_done(total);
    return rc == 0;
}

// Copies a host file or tree to `dest`; returns the number of failures.
int put_tree(WriteSession &s, const std::string &host, const std::string &dest, bool force) {
    std::error_code ec;
    if (!fs::is_directory(host, ec)) return put_file(s, host, dest, force) ? 0 : 1;
    int failures = 0;
    // Made, or merged into when it is a directory already. (The read side sees a group's
    // directories only once synced: ask it only when the name is taken.)
    int rc = writefat_mkdir(s.w(), dest.c_str(), mtime_wall(host));
    if (rc == EEXIST) {
        rc = writefat_sync(s.w());
        if (rc == 0 && !is_dir(s.rv(), dest)) rc = EEXIST;
    }
    if (rc != 0) {
        s.fail_code(shown_path(dest), rc);
        return 1;
    }
    // Names only: a directory of many thousand files stays small in memory.
    // The entry's type comes with the listing: no stat per file to tell files from folders.
    std::vector<std::pair<std::string, bool>> names;
    for (const auto &e : fs::directory_iterator(host, ec)) {
        std::error_code type_ec;
        names.emplace_back(e.path().filename().string(), e.is_directory(type_ec));
    }
    if (ec) {
        s.fail(escape_display_utf8(host), ec.message());
        return 1;
    }
    std::sort(names.begin(), names.end());
    for (const auto &[n, sub] : names) {
        if (!s.going()) break;
        const std::string from = (fs::path(host) / n).string();
        const int failed = sub ? put_tree(s, from, join(dest, n), force)
                               : (put_file(s, from, join(dest, n), force) ? 0 : 1);
        failures += failed;
        if (failed && !s.usable()) break;
    }
    // The directory's time is that of the host directory, set after its contents.
    writefat_settimes(s.w(), dest.c_str(), DV_TIME_NONE, mtime_wall(host), DV_TIME_NONE);
    return failures;
}

// The bytes and files below a host path, for the progress line.
void host_measure(const std::string &host, uint64_t &bytes, uint64_t &files) {
    std::error_code ec;
    if (!fs::is_directory(host, ec)) {
        const auto n = fs::file_size(host, ec);
        bytes += ec ? 0 : n;
        ++files;
        return;
    }
    for (auto it = fs::recursive_directory_iterator(host, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code e2;
        if (it->is_directory(e2)) continue;
        const auto n = it->file_size(e2);
        bytes += e2 ? 0 : n;
        ++files;
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

} // namespace

int cmd_put(const Args &a) {
    const std::string &dest = a.positional.back();
    WriteSession s;
    if (!s.open(a, a.positional[0])) return kFail;
    // glibc's localtime re-reads the zone file per call while TZ is unset: name it once.
    if (!std::getenv("TZ")) {
        setenv("TZ", ":/etc/localtime", 0);
        tzset();
    }
    const size_t nsrc = a.positional.size() - 2;
    const bool into = is_dir(s.rv(), dest);
    if (nsrc > 1 && !into) {
        report(shown_path(dest), "not a directory (several sources need one)");
        return kFail;
    }
    if (!a.has("sync")) s.group();
    if (!a.has("quiet") && isatty(STDERR_FILENO)) {
        uint64_t bytes = 0, files = 0;
        for (size_t i = 1; i <= nsrc; ++i) host_measure(a.positional[i], bytes, files);
        s.progress.start(bytes, files);
    }
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
        failures += put_tree(s, src, into ? join(dest, name) : dest, a.has("force"));
    }
    if (stop_signal()) {
        s.fail("put", "interrupted: the files copied before are kept, the one at hand is not");
        return s.close() ? 128 + stop_signal() : kFail;
    }
    s.progress.finish();
    if (!s.close()) return kFail;
    return failures ? kFail : kOk;
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
                report_code(shown_path(at), rc);
                ++failures;
            }
        } else if (int rc = writefat_mkdir(s.w(), path.c_str(), now_wall())) {
            report_code(shown_path(path), rc);
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
    if (rc != 0) report_code(shown_path(src) + " -> " + shown_path(dest), rc);
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
                label.assign(e->shortname, 11);
                while (!label.empty() && label.back() == ' ') label.pop_back();
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
        report(
            "label",
            "a label has at most 11 ASCII characters, none of . \" * + , / : ; < = > ? [ \\ ] |");
    else if (rc != 0)
        report_code("label", rc);
    if (!s.close()) return kFail;
    return rc ? kFail : kOk;
}

} // namespace dvcli
