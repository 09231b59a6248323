// dorvex mount / umount: the volume as a directory tree through FUSE
// (libfuse 3), for any program: read-only, or read-write on FAT12/16/32 with
// -o rw. Built without libfuse the commands say so.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli.h"
#include "dorvex/checkfat.h"
#include "dorvex/writefat.h"
#include "safe_name.h"
#include "text.h"

#ifdef DORVEX_HAVE_FUSE
#define FUSE_USE_VERSION 31
#include <fuse.h>
#endif

namespace dvcli {

#ifdef DORVEX_HAVE_FUSE
namespace {

// The kernel may keep names and attributes this long: nothing changes a
// read-only mount behind its back. A writable one changes only through the
// kernel too, but a file's size moves with every write here.
constexpr double kCacheSeconds = 3600;
constexpr double kCacheSecondsRw = 1;
constexpr uint64_t kWriteOutBytes = 8 << 20;

// What an open file's reads need, found once per open (and again after a
// change of the volume on a writable mount).
struct OpenFile {
    dv_entry entry{};
    readfat_file *rf = nullptr; // for reads the library must make (opened when needed)
    // The file's runs on the image, when its bytes are the image's bytes as they lie
    // (not an exFAT tail past the valid data length, not a damaged chain).
    std::vector<readfat_extent> runs;
    bool direct = false;
    uint64_t gen = 0;
};

// One mounted volume. FUSE runs single-threaded here: the library's volume is
// not shared between threads.
struct Mounted {
    Session s;
    uid_t uid = 0;
    gid_t gid = 0;
    uint32_t free_clusters = 0;
    // The entries of the directory listed last, by host name: `ls -l` asks for
    // every name it was just given, and a lookup from the root for each would
    // cost a scan of the directory per name.
    std::string listed_dir;
    bool listed_plain = false; // every name listed is its entry's own (no substitute, no ~N)
    Node listed_node;          // the directory listed
    // Names of the listing changed since (made, written, given times): their
    // entries are read again when asked for, which a copy mostly never does.
    std::unordered_set<std::string> listed_stale;
    std::unordered_map<std::string, dv_entry> listed;
    bool deleted = false; // --deleted: deleted entries listed too, under get --deleted's names
    bool aimed = false;   // our own reader: reads may fill the buffer in one request
    int fd = -1;          // the image, for reads handed to the kernel by offset; -1: none
    readfat_volinfo info{};
    // -o rw: the volume open for writing, and the one file the library lets us keep
    // open for writing (the last one written), finished before another is written or
    // before an operation that needs it closed.
    writefat_volume *w = nullptr;
    writefat_file *wf = nullptr;
    std::string wpath;
    bool wchanged = false; // written since its last flush: the flush sets mtime
    uint64_t gen = 0;      // bumped by every change of an entry on the medium
    uint64_t unsynced = 0; // bytes written since the host was last told to write the image out
};

Mounted &self() {
    return *static_cast<Mounted *>(fuse_get_context()->private_data);
}

// The library's codes as errno values for programs; its own codes (a broken
// chain, a damaged run) are an I/O error to them.
int to_errno(int code) {
    return code > 0 ? code : EIO;
}

void fill_time(struct timespec &out, int64_t t, uint8_t off, int32_t nsec) {
    time_t host = 0;
    if (entry_host_time(t, off, utc_times(), host)) {
        out.tv_sec = host;
        out.tv_nsec = nsec;
    } else {
        out = {};
    }
}

// What stat(2) shows for an entry: read-only modes (the FAT read-only
// attribute takes nothing more away), the mounting user as owner, the
// modification time as ls shows it, the access time, and the creation time
// as the change time (FAT keeps no other).
void fill_stat(const Mounted &m, const Node &n, struct stat *st) {
    *st = {};
    st->st_uid = m.uid;
    st->st_gid = m.gid;
    st->st_blksize = m.info.cluster_bytes;
    // Writable: the read-only attribute takes the write bits away, as chmod sets it.
    const mode_t wbits = m.w && !(n.entry.attr & DV_ATTR_READONLY) ? 0200 : 0;
    if (n.is_dir()) {
        st->st_mode = S_IFDIR | 0555 | (m.w ? 0200 : 0);
        st->st_nlink = 2;
    } else {
        st->st_mode = S_IFREG | 0444 | wbits;
        st->st_nlink = 1;
        st->st_size = static_cast<off_t>(n.entry.size64);
        st->st_blocks = static_cast<blkcnt_t>((n.entry.size64 + 511) / 512);
    }
    if (n.is_root) return;
    const dv_entry &e = n.entry;
    fill_time(st->st_mtim, e.mtime64, e.utc_offset[1], e.mtime.nsec);
    fill_time(st->st_atim, e.atime64, e.utc_offset[2], e.atime.nsec);
    fill_time(st->st_ctim, e.ctime64, e.utc_offset[0], e.ctime.nsec);
}

void drop_listing(Mounted &m) {
    m.listed_dir.clear();
    m.listed.clear();
    m.listed_stale.clear();
    m.listed_plain = false;
}

// Lists `dir` (at volume path `path`) into m.listed under the names `get`
// would extract its entries as: live entries (and deleted ones with --deleted,
// never taking a live entry's name), a name the host cannot hold as it is
// under its substitute, a name taken twice with "~N".
int list_names(Mounted &m, const std::string &path, const Node &dir,
               std::vector<std::pair<std::string, const dv_entry *>> *order = nullptr) {
    drop_listing(m);
    std::vector<Listed> all;
    int rc = list_dir(m.s.vol, dir, all);
    if (rc && all.empty()) return rc;
    HostNames names;
    std::vector<std::string> bases(all.size());
    std::vector<bool> own(all.size());
    bool plain = true;
    for (size_t i = 0; i < all.size(); ++i) {
        const Listed &l = all[i];
        if (l.dot || l.label || (l.deleted && !m.deleted)) continue;
        bool changed = false;
        bases[i] = host_name(l.entry.name, false, changed);
        own[i] = !changed && !l.deleted;
        if (own[i]) names.reserve(bases[i]);
        plain = plain && own[i];
    }
    for (size_t i = 0; i < all.size(); ++i) {
        if (bases[i].empty()) continue;
        auto it = m.listed.emplace(names.claim(bases[i], own[i]), all[i].entry).first;
        if (order) order->emplace_back(it->first, &it->second);
    }
    m.listed_dir = path;
    m.listed_plain = plain;
    m.listed_node = dir;
    return rc;
}

// The node `path` names: among the entries listed last, else looked up by the
// library, else among its directory's entries under their host names. With
// --deleted only the listing knows which entry a name means (a deleted one may
// carry "~N", or the name of a live one's 8.3 alias).
int find(Mounted &m, const char *path, Node &out) {
    std::string p(path);
    size_t slash = p.rfind('/');
    if (slash == std::string::npos || p.size() == 1) return resolve(m.s.vol, p, out);
    if (p == m.listed_dir) { // the kernel asks for it after each change in it
        out = m.listed_node;
        return 0;
    }
    std::string dir = slash == 0 ? "/" : p.substr(0, slash);
    std::string name = p.substr(slash + 1);
    if (name.size() > kHostNameMax) return ENAMETOOLONG;
    if (dir != m.listed_dir) {
        Node parent;
        int rc;
        if (m.deleted) {
            // The parent through the listings too: a deleted directory's name is theirs.
            if ((rc = find(m, dir.c_str(), parent)) != 0) return rc;
        } else {
            if ((rc = resolve(m.s.vol, p, out)) != ENOENT) return rc;
            if ((rc = resolve(m.s.vol, dir, parent)) != 0) return rc;
        }
        if (!parent.is_dir()) return ENOTDIR;
        if ((rc = list_names(m, dir, parent)) != 0) return rc;
    }
    if (m.listed_stale.erase(name)) {
        Node n;
        bool subst = false;
        const int rc = resolve_in(m.s.vol, m.listed_node, name, n);
        if (rc == 0 && host_name(n.entry.name, false, subst) == name && !subst) {
            m.listed[name] = n.entry;
        } else if (rc == ENOENT) {
            m.listed.erase(name);
        } else { // not under its own name after all: the listing says which entry it is
            drop_listing(m);
            return find(m, path, out);
        }
    }
    auto it = m.listed.find(name);
    if (it == m.listed.end()) return ENOENT;
    out = Node{};
    out.entry = it->second;
    return 0;
}

// ---- The file open for writing (-o rw) ----

// Asks the host to start writing out what its cache holds of the image, without
// waiting (at the mount, and every few MiB written): the fdatasync at fsync and
// unmount then finds little left to write.
void write_out(Mounted &m) {
    m.unsynced = 0;
#ifdef __linux__
    if (m.s.image.fd() >= 0) sync_file_range(m.s.image.fd(), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

int64_t now_wall() {
    return wall_clock(std::time(nullptr), utc_times());
}

// Names, sizes and runs read before a change may be stale after it. A change of
// the one entry `path` (`gone`: removed) in the directory listed last updates
// that listing in place when all its names are the entries' own (the entry is
// read again when asked for): copying many files into one directory then lists
// it once, not once per file. Any other change drops the listing.
void changed(Mounted &m, const std::string &path = {}, bool gone = false) {
    ++m.gen;
    const size_t slash = path.rfind('/');
    if (m.listed_plain && slash != std::string::npos &&
        path.compare(0, std::max<size_t>(slash, 1), m.listed_dir) == 0 &&
        m.listed_dir.size() == std::max<size_t>(slash, 1)) {
        const std::string name = path.substr(slash + 1);
        if (gone) {
            m.listed.erase(name);
            m.listed_stale.erase(name);
        } else {
            m.listed_stale.insert(name);
        }
        return;
    }
    drop_listing(m);
}

// Makes what was written to the open file durable (its size and mtime in its entry).
int flush_write(Mounted &m) {
    if (!m.wf || !m.wchanged) return 0;
    m.wchanged = false;
    const int rc = writefat_flush(m.w, m.wf, now_wall());
    changed(m, m.wpath);
    return rc;
}

// Flushes and releases the open file, so that another can be written or this one
// removed, moved or given times and attributes (EBUSY from the library otherwise).
int finish_write(Mounted &m) {
    if (!m.wf) return 0;
    const bool written = m.wchanged;
    const int rc = writefat_finish(m.w, m.wf, written ? now_wall() : DV_TIME_NONE);
    const std::string path = std::move(m.wpath);
    m.wf = nullptr;
    m.wpath.clear();
    m.wchanged = false;
    // Nothing written since its last flush: its entry is as the listing has it.
    if (written || rc)
        changed(m, path);
    else
        ++m.gen;
    return rc;
}

// The write handle of `path`: the open one, or the open one finished and `path` opened.
int writer_for(Mounted &m, const char *path, uint32_t flags = 0) {
    if (m.wf && m.wpath == path) return 0;
    if (int rc = finish_write(m)) return rc;
    int err = 0;
    m.wf = writefat_open_file(m.w, path, flags, &err);
    if (!m.wf) return err;
    m.wpath = path;
    return 0;
}

// After a failed write the handle is spent: only finishing it remains.
int write_failed(Mounted &m, int code) {
    finish_write(m);
    return -to_errno(code);
}

// ---- Reading ----

int op_getattr(const char *path, struct stat *st, struct fuse_file_info *) {
    Mounted &m = self();
    Node n;
    if (int rc = find(m, path, n)) return -to_errno(rc);
    fill_stat(m, n, st);
    // Written but not yet flushed: the size the writes gave it.
    if (m.wf && m.wpath == path) st->st_size = static_cast<off_t>(writefat_filesize(m.w, m.wf));
    return 0;
}

// An open directory: its names (those `get` extracts the entries as, see
// list_names; not the label) and what stat shows for each, taken at opendir,
// so that reading it in many batches lists the directory once.
struct OpenDir {
    std::vector<std::pair<std::string, struct stat>> entries;
    int code = 0;     // a listing cut short: what was read, then this error
    uint64_t gen = 0; // the volume's changes when listed
};

// Lists the directory `path` into `od`. Returns 0 or an errno value.
int take_listing(Mounted &m, const char *path, OpenDir &od) {
    if (int rc = flush_write(m)) return to_errno(rc); // the listing shows its size
    Node dir;
    if (int rc = find(m, path, dir)) return to_errno(rc);
    if (!dir.is_dir()) return ENOTDIR;
    std::vector<std::pair<std::string, const dv_entry *>> order;
    const int rc = list_names(m, path, dir, &order);
    if (rc && order.empty()) return to_errno(rc);
    od.code = rc;
    od.gen = m.gen;
    od.entries.resize(order.size());
    for (size_t i = 0; i < order.size(); ++i) {
        Node n;
        n.entry = *order[i].second;
        od.entries[i].first = order[i].first;
        fill_stat(m, n, &od.entries[i].second);
    }
    return 0;
}

int op_opendir(const char *path, struct fuse_file_info *fi) {
    auto *od = new OpenDir;
    if (int rc = take_listing(self(), path, *od)) {
        delete od;
        return -rc;
    }
    fi->fh = reinterpret_cast<uintptr_t>(od);
    return 0;
}

// Entries go out with their offsets (the index after theirs): libfuse then hands
// the kernel each entry's attributes with it (READDIRPLUS), and `ls -l` of a large
// directory needs no lookup per name. "." and ".." come first. Read from the start
// again (rewinddir) after a change of the volume, the directory is listed again.
int op_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t off,
               struct fuse_file_info *fi, enum fuse_readdir_flags flags) {
    Mounted &m = self();
    OpenDir &od = *reinterpret_cast<OpenDir *>(fi->fh);
    if (off <= 0 && od.gen != m.gen)
        if (int rc = take_listing(m, path, od)) return -rc;
    const auto plus =
        (flags & FUSE_READDIR_PLUS) ? FUSE_FILL_DIR_PLUS : static_cast<fuse_fill_dir_flags>(0);
    const size_t total = od.entries.size() + 2;
    for (size_t i = off < 0 ? 0 : static_cast<size_t>(off); i < total; ++i) {
        const off_t next = static_cast<off_t>(i + 1);
        const int full =
            i < 2
                ? fill(buf, i ? ".." : ".", nullptr, next, static_cast<fuse_fill_dir_flags>(0))
                : fill(buf, od.entries[i - 2].first.c_str(), &od.entries[i - 2].second, next, plus);
        if (full) return 0;
    }
    return od.code ? -to_errno(od.code) : 0;
}

int op_releasedir(const char *, struct fuse_file_info *fi) {
    delete reinterpret_cast<OpenDir *>(fi->fh);
    return 0;
}

// Finds the file's runs on the image. Reads go straight to the image only when
// every byte of the file lies in a run as it is: exFAT's zeros past the valid
// data length, recovered and damaged runs are the library's to read.
void map_runs(Mounted &m, OpenFile &of) {
    of.runs.clear();
    of.direct = false;
    if (m.fd < 0 || of.entry.valid64 < of.entry.size64) return;
    uint32_t count = 0;
    int err = 0;
    if (readfat_extents(m.s.vol, &of.entry, nullptr, 0, &count, &err) != 0) return;
    of.runs.resize(count);
    if (readfat_extents(m.s.vol, &of.entry, of.runs.data(), count, &count, &err) != 0) return;
    uint64_t at = 0;
    for (const readfat_extent &r : of.runs) {
        if (r.flags || r.offset64 != at) return;
        at += r.bytes;
    }
    of.direct = at == of.entry.size64;
}

// Brings an open file up to date after a change of the volume: `path` is where it
// is now.
int refresh(Mounted &m, const char *path, OpenFile &of) {
    if (m.wf && m.wpath == path)
        if (int rc = flush_write(m)) return write_failed(m, rc);
    if (of.gen == m.gen) return 0;
    Node n;
    if (int rc = find(m, path, n)) return -to_errno(rc);
    if (of.rf) readfat_close(m.s.vol, of.rf);
    of.rf = nullptr;
    of.entry = n.entry;
    of.gen = m.gen;
    map_runs(m, of);
    return 0;
}

// A -o rw mount checks permissions itself (no default_permissions): with them the
// kernel fetches a directory's attributes again after every file made in it, a round
// trip more per file copied. Only the mounting user reaches the mount, owner of
// everything in it; its modes deny only writing a file with the read-only attribute
// (root may, as on any file system) and executing a file.
bool write_denied(const Node &n) {
    return !n.is_dir() && (n.entry.attr & DV_ATTR_READONLY) && fuse_get_context()->uid != 0;
}

int op_access(const char *path, int mask) {
    Mounted &m = self();
    Node n;
    if (int rc = find(m, path, n)) return -to_errno(rc);
    if (((mask & W_OK) && write_denied(n)) || ((mask & X_OK) && !n.is_dir())) return -EACCES;
    return 0;
}

int op_open(const char *path, struct fuse_file_info *fi) {
    Mounted &m = self();
    const bool writes = (fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC);
    if (!m.w && writes) return -EROFS;
    Node n;
    if (int rc = find(m, path, n)) return -to_errno(rc);
    if (n.is_dir()) return -EISDIR;
    if (m.w && writes && write_denied(n)) return -EACCES;
    if (m.w && (fi->flags & O_TRUNC)) {
        if (int rc = writer_for(m, path)) return -to_errno(rc);
        if (int rc = writefat_truncate(m.w, m.wf, 0)) return write_failed(m, rc);
        m.wchanged = true;
    }
    auto *of = new OpenFile;
    of->entry = n.entry;
    of->gen = m.gen;
    map_runs(m, *of);
    fi->fh = reinterpret_cast<uintptr_t>(of);
    fi->keep_cache = m.w ? 0 : 1;
    return 0;
}

// A read the library makes, into `buf`.
int read_copy(Mounted &m, OpenFile &of, char *buf, uint32_t want, uint64_t off) {
    int err = 0;
    if (!of.rf && !(of.rf = readfat_open_entry(m.s.vol, &of.entry, &err))) return -to_errno(err);
    if (readfat_tell64(m.s.vol, of.rf) != off && readfat_seek64(m.s.vol, of.rf, off, &err) != 0)
        return -to_errno(err);
    if (m.aimed) m.s.image.begin_target(buf, want);
    uint32_t got = readfat_read(m.s.vol, of.rf, buf, want, &err);
    if (m.aimed) m.s.image.end_target();
    if (got == 0 && err) return -to_errno(err);
    return static_cast<int>(got);
}

fuse_bufvec *new_bufvec(size_t count) {
    const size_t bytes = sizeof(fuse_bufvec) + (count ? count - 1 : 0) * sizeof(fuse_buf);
    auto *v = static_cast<fuse_bufvec *>(std::calloc(1, bytes));
    if (v) v->count = count;
    return v;
}

// Hands the kernel the file's bytes by where they lie in the image (libfuse
// splices or preads them from the image's descriptor into the reply): no copy
// through the library for a file in runs. libfuse frees the vector.
int op_read_buf(const char *path, struct fuse_bufvec **out, size_t size, off_t off,
                struct fuse_file_info *fi) {
    Mounted &m = self();
    OpenFile &of = *reinterpret_cast<OpenFile *>(fi->fh);
    if (off < 0) return -EINVAL;
    if (m.w)
        if (int rc = refresh(m, path, of)) return rc;
    const uint64_t total = of.entry.size64, at = static_cast<uint64_t>(off);
    const uint64_t want = at >= total ? 0 : std::min<uint64_t>(size, total - at);
    if (want == 0) return (*out = new_bufvec(0)) ? 0 : -ENOMEM;
    if (of.direct) {
        // The last run that starts at or before `at`, then those the request reaches.
        size_t i = 0, lo = 0, hi = of.runs.size();
        while (lo < hi) {
            const size_t mid = (lo + hi) / 2;
            if (of.runs[mid].offset64 <= at)
                i = mid, lo = mid + 1;
            else
                hi = mid;
        }
        size_t n = 0;
        for (size_t j = i; j < of.runs.size() && of.runs[j].offset64 < at + want; ++j) ++n;
        fuse_bufvec *v = new_bufvec(n);
        if (!v) return -ENOMEM;
        uint64_t pos = at, left = want;
        for (size_t k = 0; k < n; ++k) {
            const readfat_extent &r = of.runs[i + k];
            const uint64_t skip = pos - r.offset64, len = std::min<uint64_t>(r.bytes - skip, left);
            fuse_buf &b = v->buf[k];
            b.size = len;
            b.flags =
                static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK | FUSE_BUF_FD_RETRY);
            b.fd = m.fd;
            b.pos = static_cast<off_t>(r.sector * 512 + skip);
            pos += len;
            left -= len;
        }
        *out = v;
        return 0;
    }
    fuse_bufvec *v = new_bufvec(1);
    char *mem = v ? static_cast<char *>(std::malloc(want)) : nullptr;
    if (!mem) {
        std::free(v);
        return -ENOMEM;
    }
    v->buf[0].mem = mem;
    *out = v;
    const int got = read_copy(m, of, mem, static_cast<uint32_t>(want), at);
    v->buf[0].size = got > 0 ? static_cast<size_t>(got) : 0;
    return got < 0 ? got : 0;
}

int op_release(const char *path, struct fuse_file_info *fi) {
    Mounted &m = self();
    auto *of = reinterpret_cast<OpenFile *>(fi->fh);
    if (of->rf) readfat_close(m.s.vol, of->rf);
    delete of;
    if (m.wf && m.wpath == path) finish_write(m);
    return 0;
}

int op_statfs(const char *, struct statvfs *st) {
    Mounted &m = self();
    *st = {};
    st->f_bsize = st->f_frsize = m.info.cluster_bytes;
    st->f_blocks = m.info.cluster_count;
    int err = 0;
    // The file kept open for writing holds clusters ahead of its size until it is
    // finished: counted as used, they would make df drift after every write.
    if (m.w) finish_write(m);
    if (m.w && readfat_free_clusters(m.s.vol, &m.free_clusters, &err) != 0) m.free_clusters = 0;
    st->f_bfree = st->f_bavail = m.free_clusters;
    st->f_namemax = kHostNameMax;
    st->f_flag = m.w ? 0 : ST_RDONLY;
    return 0;
}

// ---- Changing (-o rw) ----

int op_create(const char *path, mode_t, struct fuse_file_info *fi) {
    Mounted &m = self();
    if (int rc = finish_write(m)) return -to_errno(rc);
    if (int rc = writer_for(m, path, WRITEFAT_CREATE)) return -to_errno(rc);
    // Published at once: the kernel looks the new name up right after.
    m.wchanged = true;
    if (int rc = flush_write(m)) return write_failed(m, rc);
    return op_open(path, fi);
}

int op_write(const char *path, const char *buf, size_t size, off_t off, struct fuse_file_info *) {
    Mounted &m = self();
    if (off < 0) return -EINVAL;
    if (int rc = writer_for(m, path)) return -to_errno(rc);
    int err = 0;
    if (int rc = writefat_seek(m.w, m.wf, static_cast<uint64_t>(off))) return write_failed(m, rc);
    if (writefat_write(m.w, m.wf, buf, size, &err) != 0) return write_failed(m, err);
    m.wchanged = true;
    if ((m.unsynced += size) >= kWriteOutBytes) write_out(m);
    return static_cast<int>(size);
}

int op_truncate(const char *path, off_t size, struct fuse_file_info *fi) {
    Mounted &m = self();
    if (size < 0) return -EINVAL;
    if (!fi) { // truncate(2) by name; ftruncate(2) has a descriptor open for writing
        Node n;
        if (int rc = find(m, path, n)) return -to_errno(rc);
        if (write_denied(n)) return -EACCES;
    }
    if (int rc = writer_for(m, path)) return -to_errno(rc);
    if (int rc = writefat_truncate(m.w, m.wf, static_cast<uint64_t>(size)))
        return write_failed(m, rc);
    m.wchanged = true;
    return 0;
}

// close(2): the file is finished at once (a later write opens it again), which
// leaves its release nothing to do.
int op_flush(const char *path, struct fuse_file_info *) {
    Mounted &m = self();
    if (!m.wf || m.wpath != path) return 0;
    const int rc = finish_write(m);
    return rc ? -to_errno(rc) : 0;
}

// fsync(2): the file's data and entry written, then the image itself flushed to its
// disk, so that what fsync returned for survives the host losing power.
int op_fsync(const char *path, int, struct fuse_file_info *) {
    Mounted &m = self();
    if (m.wf && m.wpath == path)
        if (int rc = flush_write(m)) return write_failed(m, rc);
    const int fd = m.s.image.fd();
    return fd >= 0 && fdatasync(fd) != 0 ? -errno : 0;
}

int op_mkdir(const char *path, mode_t) {
    Mounted &m = self();
    const int rc = writefat_mkdir(m.w, path, now_wall());
    changed(m, path);
    return rc ? -to_errno(rc) : 0;
}

// Removals and moves need the file open for writing closed when they take it (or
// a tree that holds it) away. The library removes files and empty directories
// alike; unlink(2) and rmdir(2) each take only their own kind.
int remove_kind(const char *path, bool dir) {
    Mounted &m = self();
    Node n;
    if (int rc = find(m, path, n)) return -to_errno(rc);
    if (n.is_dir() != dir) return dir ? -ENOTDIR : -EISDIR;
    if (int rc = finish_write(m)) return -to_errno(rc);
    const int rc = writefat_remove(m.w, path);
    changed(m, path, rc == 0);
    return rc ? -to_errno(rc) : 0;
}

int op_unlink(const char *path) {
    return remove_kind(path, false);
}

int op_rmdir(const char *path) {
    return remove_kind(path, true);
}

int op_rename(const char *from, const char *to, unsigned int flags) {
    Mounted &m = self();
    if (flags & ~static_cast<unsigned>(RENAME_NOREPLACE)) return -EINVAL;
    if (int rc = finish_write(m)) return -to_errno(rc);
    // rename(2) replaces a file or an empty directory; FAT's rename takes only a free name
    // (or the same entry in another case).
    Node a, b;
    if (int rc = find(m, from, a)) return -to_errno(rc);
    if (find(m, to, b) == 0 && strcasecmp(from, to) != 0) {
        if (flags & RENAME_NOREPLACE) return -EEXIST;
        if (a.is_dir() != b.is_dir()) return a.is_dir() ? -ENOTDIR : -EISDIR;
        const int rc = writefat_remove(m.w, to);
        changed(m);
        if (rc) return -to_errno(rc);
    }
    const int rc = writefat_rename(m.w, from, to);
    changed(m);
    return rc ? -to_errno(rc) : 0;
}

// FAT keeps a day for the access time and 2 s for the modification time.
int op_utimens(const char *path, const struct timespec tv[2], struct fuse_file_info *) {
    Mounted &m = self();
    if (std::strcmp(path, "/") == 0) return 0; // the root has no entry to keep them
    if (m.wf && m.wpath == path)
        if (int rc = finish_write(m)) return -to_errno(rc);
    auto pick = [](const struct timespec &t) -> int64_t {
        if (t.tv_nsec == UTIME_OMIT) return DV_TIME_NONE;
        return wall_clock(t.tv_nsec == UTIME_NOW ? std::time(nullptr) : t.tv_sec, utc_times());
    };
    const int rc = writefat_settimes(m.w, path, DV_TIME_NONE, pick(tv[1]), pick(tv[0]));
    changed(m, path);
    return rc ? -to_errno(rc) : 0;
}

// Only the owner's write bit means something: it is the read-only attribute.
int op_chmod(const char *path, mode_t mode, struct fuse_file_info *) {
    Mounted &m = self();
    if (std::strcmp(path, "/") == 0) return 0;
    if (m.wf && m.wpath == path)
        if (int rc = finish_write(m)) return -to_errno(rc);
    Node n;
    if (int rc = find(m, path, n)) return -to_errno(rc);
    const uint32_t keep =
        n.entry.attr & (DV_ATTR_READONLY | DV_ATTR_HIDDEN | DV_ATTR_SYSTEM | DV_ATTR_ARCHIVE);
    const uint32_t attr = (mode & 0200) ? keep & ~DV_ATTR_READONLY : keep | DV_ATTR_READONLY;
    if (attr == keep) return 0;
    const int rc = writefat_setattr(m.w, path, attr);
    changed(m, path);
    return rc ? -to_errno(rc) : 0;
}

void *op_init(struct fuse_conn_info *conn, struct fuse_config *cfg) {
    const Mounted &m = *static_cast<Mounted *>(fuse_get_context()->private_data);
    cfg->entry_timeout = cfg->attr_timeout = m.w ? kCacheSecondsRw : kCacheSeconds;
    cfg->negative_timeout = m.w ? 0 : kCacheSeconds;
    cfg->kernel_cache = m.w ? 0 : 1;
    // The reply's data moves from the image's pages to the kernel without passing
    // through this process.
    conn->want |= conn->capable & (FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE);
    // Every listing hands the kernel the entries' attributes (READDIRPLUS), not only
    // its first batch: `ls -l` of a large directory then costs no lookup per name.
    if (conn->capable & FUSE_CAP_READDIRPLUS) {
        conn->want |= FUSE_CAP_READDIRPLUS;
        conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
    }
    return fuse_get_context()->private_data;
}

// -o rw: the image opened for writing through the library's write path. exFAT is
// refused with the library's reason.
bool open_writable(const Args &a, Mounted &m) {
    const std::string shown = escape_display_utf8(a.positional[0]);
    std::string error;
    uint64_t start = 0, end = 0;
    std::string fs;
    if (!m.s.image.open(a.positional[0], error, true) ||
        !m.s.image.locate(a.volume, start, end, error, &fs)) {
        report(shown, error);
        return false;
    }
    if (fs == "exFAT") {
        report(shown, dv_strerror(DV_E_EXFATWRITE));
        return false;
    }
    int err = 0;
    m.w = writefat_open(start, end, 512, &m.s.image, &Image::reader, &Image::writer, kVolumeFlags,
                        64, 8, &err);
    if (!m.w) {
        report(shown, dv_strerror(err));
        return false;
    }
    m.s.vol = writefat_reader(m.w);
    write_out(m);
    return true;
}

// Takes the image's lock for the life of the mount: shared for a read-only
// mount, exclusive for -o rw, so that a second writable mount (whose FAT and
// directory caches would go stale under the first) is refused while others
// read. The lock belongs to `fd`'s open file, which the mount's process keeps
// after it detaches. False with the message told; standard input takes none.
bool lock_image(const std::string &path, bool rw, int &fd) {
    fd = -1;
    if (path == "-") return true;
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return true; // opening the image itself tells why
    if (flock(fd, (rw ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return true;
    const int code = errno;
    close(fd);
    fd = -1;
    const char *taken = rw ? "in use by another mount (unmount it first)"
                           : "in use by a -o rw mount (unmount it first)";
    report(escape_display_utf8(path), code == EWOULDBLOCK ? taken : std::strerror(code));
    return false;
}

// Findings that make changing the volume unsafe: a chain reached twice, looping,
// leading nowhere or shorter than its file, a directory that cannot be listed or
// whose "." or ".." is wrong. What the write path finishes by itself (lost
// clusters, chains past their size, cut moves, orphaned long names) is no reason.
struct Damage {
    std::string what;
};

int note_damage(void *data, const readfat_finding *f) {
    const char *what = nullptr;
    switch (f->kind) {
    case READFAT_FIND_CROSSLINK:
        what = "cross-linked";
        break;
    case READFAT_FIND_LOOP:
        what = "cluster chain loops";
        break;
    case READFAT_FIND_BAD_LINK:
        what = "cluster chain leads to a free, bad or missing cluster";
        break;
    case READFAT_FIND_CHAIN_SHORT:
        what = "cluster chain shorter than the size";
        break;
    case READFAT_FIND_BAD_DOT:
    case READFAT_FIND_BAD_DOTDOT:
        what = "directory with a wrong \".\" or \"..\"";
        break;
    case READFAT_FIND_UNREADABLE:
        what = "directory cannot be read";
        break;
    default:
        return 0;
    }
    const std::string path =
        f->path ? escape_display(utf16_to_u32(f->path, f->path_len)) : std::string("/");
    static_cast<Damage *>(data)->what = path + ": " + what;
    return 1;
}

// Sets `why` to why the volume must not be changed, "" when it may: one walk over
// the tree (no FAT copies compared, no lost clusters counted), read-only. False
// when the volume cannot be read (told).
bool damage_of(const Args &a, std::string &why) {
    Session probe;
    if (!open_session(a, a.positional[0], probe)) return false;
    Damage d;
    int err = 0;
    readfat_check(probe.vol, READFAT_CHECK_TREE, note_damage, &d, &err);
    why = d.what;
    return true;
}

} // namespace

int cmd_mount(const Args &a) {
    Mounted m;
    const std::string opts = a.values.count("options") ? a.values.at("options") : "ro";
    if (opts != "ro" && opts != "rw") return usage_error("mount", "-o takes ro or rw");
    m.deleted = a.has("deleted");
    bool rw = opts == "rw";
    if (rw && m.deleted)
        return usage_error("mount", "--deleted mounts read-only (deleted files are only read)");
    const std::string shown = escape_display_utf8(a.positional[0]);
    int lock = -1;
    if (!lock_image(a.positional[0], rw, lock)) return kFail;
    struct Unlock {
        int &fd;
        ~Unlock() {
            if (fd >= 0) close(fd);
        }
    } unlock{lock};
    if (rw) {
        std::string why;
        if (!damage_of(a, why)) return kFail;
        if (!why.empty()) {
            warning(shown + ": the volume is damaged (" + why +
                    "): mounted read-only (mend it with 'dorvex check --repair')");
            rw = false;
            if (lock >= 0) flock(lock, LOCK_SH | LOCK_NB);
        }
    }
    if (rw ? !open_writable(a, m) : !open_session(a, a.positional[0], m.s)) return kFail;
    const std::string &dir = a.positional[1];
    int err = 0;
    readfat_info(m.s.vol, &m.info);
    if (readfat_free_clusters(m.s.vol, &m.free_clusters, &err) != 0) m.free_clusters = 0;
    m.uid = getuid();
    m.gid = getgid();
    m.aimed = m.s.vol->reader_fn == &Image::reader && m.s.vol->reader_data == &m.s.image;
    m.fd = m.aimed ? m.s.image.fd() : -1;

    struct fuse_operations ops = {};
    ops.getattr = op_getattr;
    ops.opendir = op_opendir;
    ops.readdir = op_readdir;
    ops.releasedir = op_releasedir;
    ops.open = op_open;
    ops.read_buf = op_read_buf;
    ops.release = op_release;
    ops.statfs = op_statfs;
    ops.init = op_init;
    if (m.w) {
        ops.create = op_create;
        ops.write = op_write;
        ops.truncate = op_truncate;
        ops.flush = op_flush;
        ops.fsync = op_fsync;
        ops.mkdir = op_mkdir;
        ops.unlink = op_unlink;
        ops.rmdir = op_rmdir;
        ops.rename = op_rename;
        ops.utimens = op_utimens;
        ops.chmod = op_chmod;
        ops.access = op_access;
    }

    // The image's absolute path names the mount in /proc/mounts and df (and tells
    // umount which image to wait for); a comma there would end the option.
    std::string fsname = a.positional[0];
    if (char *real = fsname == "-" ? nullptr : realpath(fsname.c_str(), nullptr)) {
        fsname = real;
        std::free(real);
    }
    for (char &c : fsname)
        if (c == ',') c = '_';
    // A read-only mount leaves permissions to the kernel (they never change there);
    // a writable one checks them itself (see write_denied).
    std::vector<std::string> words = {"dorvex", "-o",
                                      std::string(m.w ? "rw" : "ro,default_permissions") +
                                          ",subtype=dorvex,fsname=" + fsname};
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    struct fuse_args fargs = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    struct fuse *f = fuse_new(&fargs, &ops, sizeof ops, &m);
    if (!f) {
        report(escape_display_utf8(dir), "FUSE refused the options");
        return kFail;
    }
    int rc = kFail;
    if (fuse_mount(f, dir.c_str()) != 0) {
        report(escape_display_utf8(dir), "cannot mount here (is /dev/fuse there, and DIR a "
                                         "directory?)");
    } else {
        struct fuse_session *se = fuse_get_session(f);
        // Detached, the parent returns once the mount is in place.
        if (fuse_set_signal_handlers(se) == 0 && fuse_daemonize(a.has("foreground")) == 0) {
            rc = fuse_loop(f) == 0 ? kOk : kFail;
            fuse_remove_signal_handlers(se);
        }
        fuse_unmount(f);
    }
    fuse_destroy(f);
    // Clean again: what is pending written, the dirty flag cleared.
    if (m.w) {
        int code = finish_write(m);
        if (int c = writefat_close(m.w); !code) code = c;
        if (m.s.image.fd() >= 0 && fdatasync(m.s.image.fd()) != 0 && !code) code = errno;
        if (code) {
            report(escape_display_utf8(a.positional[0]), dv_strerror(code));
            rc = kFail;
        }
    }
    return rc;
}

#else

int cmd_mount(const Args &) {
    report("mount", "this dorvex was built without FUSE (libfuse 3): mounting is not available");
    return kFail;
}

#endif

namespace {

// A field of /proc/self/mountinfo with its octal escapes (\040 for a space) undone.
std::string unescape_field(const std::string &f) {
    std::string out;
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] == '\\' && i + 3 < f.size()) {
            out +=
                static_cast<char>((f[i + 1] - '0') * 64 + (f[i + 2] - '0') * 8 + (f[i + 3] - '0'));
            i += 3;
        } else {
            out += f[i];
        }
    }
    return out;
}

// The image a dorvex mount on `dir` serves (its fsname), or "" when `dir` holds none.
std::string mounted_image(const std::string &dir) {
    char *real = realpath(dir.c_str(), nullptr);
    if (!real) return {};
    const std::string at = real;
    std::free(real);
    FILE *f = std::fopen("/proc/self/mountinfo", "re");
    if (!f) return {};
    std::string found;
    char line[8192];
    while (std::fgets(line, sizeof line, f)) {
        // ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [TAGS...] - FSTYPE SOURCE SUPEROPTIONS
        std::vector<std::string> w;
        for (char *t = std::strtok(line, " \n"); t; t = std::strtok(nullptr, " \n"))
            w.emplace_back(t);
        auto dash = std::find(w.begin(), w.end(), "-");
        if (w.size() < 5 || dash == w.end() || w.end() - dash < 3) continue;
        if (unescape_field(w[4]) == at && dash[1] == "fuse.dorvex") found = unescape_field(dash[2]);
    }
    std::fclose(f);
    return found;
}

// Waits (up to 10 s) until no -o rw mount holds `image` any more: its process
// writes what is pending and closes the volume after the kernel has let the
// mount go, and a mount right after would find the image still taken.
void await_release(const std::string &image) {
    const int fd = image.empty() ? -1 : open(image.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return;
    for (int i = 0; i < 10000 && flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK; ++i)
        usleep(1000);
    close(fd);
}

} // namespace

// fusermount3 -u: unmounting a FUSE mount needs no privileges beyond FUSE's.
// Returns once the mount's process has finished writing the image.
int cmd_umount(const Args &a) {
    const std::string image = mounted_image(a.positional[0]);
    pid_t pid = fork();
    if (pid < 0) {
        report("umount", std::strerror(errno));
        return kFail;
    }
    if (pid == 0) {
        // A directory named like an option is passed as a path.
        std::string dir = a.positional[0];
        if (dir[0] == '-') dir = "./" + dir;
        execlp("fusermount3", "fusermount3", "-u", dir.c_str(), static_cast<char *>(nullptr));
        report("umount", std::string("cannot run fusermount3: ") + std::strerror(errno));
        _exit(kFail);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return kFail;
    await_release(image);
    return kOk;
}

} // namespace dvcli
