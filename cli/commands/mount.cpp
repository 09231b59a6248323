// dorvex mount / umount: the volume as a read-only directory tree through
// FUSE (libfuse 3), for any program. Built without libfuse the commands say so.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "cli.h"
#include "safe_name.h"

#ifdef DORVEX_HAVE_FUSE
#define FUSE_USE_VERSION 31
#include <fuse.h>
#endif

namespace dvcli {

#ifdef DORVEX_HAVE_FUSE
namespace {

// The kernel may keep names and attributes this long: nothing changes a
// read-only mount behind its back.
constexpr double kCacheSeconds = 3600;

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
    std::unordered_map<std::string, dv_entry> listed;
    bool aimed = false; // our own reader: reads may fill the buffer in one request
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
    st->st_blksize = m.s.image.volume_info().cluster_bytes;
    if (n.is_dir()) {
        st->st_mode = S_IFDIR | 0555;
        st->st_nlink = 2;
    } else {
        st->st_mode = S_IFREG | 0444;
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

// Lists `dir` (at volume path `path`) into m.listed under the names `get`
// would extract its entries as: live entries only, a name the host cannot
// hold as it is under its substitute, a name taken twice with "~N".
int list_names(Mounted &m, const std::string &path, const Node &dir,
               std::vector<std::pair<std::string, const dv_entry *>> *order = nullptr) {
    m.listed_dir.clear();
    m.listed.clear();
    std::vector<Listed> all;
    int rc = list_dir(m.s.vol, dir, all);
    if (rc && all.empty()) return rc;
    HostNames names;
    std::vector<std::string> bases(all.size());
    std::vector<bool> own(all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        const Listed &l = all[i];
        if (l.dot || l.label || l.deleted) continue;
        bool changed = false;
        bases[i] = host_name(l.entry.name, false, changed);
        own[i] = !changed;
        if (!changed) names.reserve(bases[i]);
    }
    for (size_t i = 0; i < all.size(); ++i) {
        if (bases[i].empty()) continue;
        auto it = m.listed.emplace(names.claim(bases[i], own[i]), all[i].entry).first;
        if (order) order->emplace_back(it->first, &it->second);
    }
    m.listed_dir = path;
    return rc;
}

// The node `path` names: among the entries listed last, else looked up by the
// library, else among its directory's entries under their host names.
int find(Mounted &m, const char *path, Node &out) {
    std::string p(path);
    size_t slash = p.rfind('/');
    if (slash == std::string::npos || p.size() == 1) return resolve(m.s.vol, p, out);
    std::string dir = slash == 0 ? "/" : p.substr(0, slash);
    std::string name = p.substr(slash + 1);
    if (dir != m.listed_dir) {
        int rc = resolve(m.s.vol, p, out);
        if (rc != ENOENT) return rc;
        Node parent;
        if ((rc = resolve(m.s.vol, dir, parent)) != 0) return rc;
        if (!parent.is_dir()) return ENOTDIR;
        if ((rc = list_names(m, dir, parent)) != 0) return rc;
    }
    auto it = m.listed.find(name);
    if (it == m.listed.end()) return ENOENT;
    out = Node{};
    out.entry = it->second;
    return 0;
}

int op_getattr(const char *path, struct stat *st, struct fuse_file_info *) {
    Mounted &m = self();
    Node n;
    if (int rc = find(m, path, n)) return -to_errno(rc);
    fill_stat(m, n, st);
    return 0;
}

// The names `get` extracts the entries as (see list_names); not the label.
int op_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info *,
               enum fuse_readdir_flags) {
    Mounted &m = self();
    Node dir;
    if (int rc = find(m, path, dir)) return -to_errno(rc);
    if (!dir.is_dir()) return -ENOTDIR;
    std::vector<std::pair<std::string, const dv_entry *>> order;
    int rc = list_names(m, path, dir, &order);
    fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    for (const auto &[name, e] : order) {
        Node n;
        n.entry = *e;
        struct stat st;
        fill_stat(m, n, &st);
        fill(buf, name.c_str(), &st, 0, FUSE_FILL_DIR_PLUS);
    }
    return rc ? -to_errno(rc) : 0;
}

int op_open(const char *path, struct fuse_file_info *fi) {
    if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    Mounted &m = self();
    Node n;
    if (int rc = find(m, path, n)) return -to_errno(rc);
    if (n.is_dir()) return -EISDIR;
    int err = 0;
    readfat_file *f = readfat_open_entry(m.s.vol, &n.entry, &err);
    if (!f) return -to_errno(err);
    fi->fh = reinterpret_cast<uintptr_t>(f);
    fi->keep_cache = 1;
    return 0;
}

int op_read(const char *, char *buf, size_t size, off_t off, struct fuse_file_info *fi) {
    Mounted &m = self();
    readfat_file *f = reinterpret_cast<readfat_file *>(fi->fh);
    const uint64_t total = readfat_size64(m.s.vol, f);
    if (off < 0) return -EINVAL;
    if (static_cast<uint64_t>(off) >= total) return 0;
    int err = 0;
    if (readfat_tell64(m.s.vol, f) != static_cast<uint64_t>(off) &&
        readfat_seek64(m.s.vol, f, static_cast<uint64_t>(off), &err) != 0)
        return -to_errno(err);
    const uint64_t left = total - static_cast<uint64_t>(off);
    const uint32_t want = static_cast<uint32_t>(size < left ? size : left);
    if (m.aimed) m.s.image.begin_target(buf, want);
    uint32_t got = readfat_read(m.s.vol, f, buf, want, &err);
    if (m.aimed) m.s.image.end_target();
    if (got == 0 && err) return -to_errno(err);
    return static_cast<int>(got);
}

int op_release(const char *, struct fuse_file_info *fi) {
    readfat_close(self().s.vol, reinterpret_cast<readfat_file *>(fi->fh));
    return 0;
}

int op_statfs(const char *, struct statvfs *st) {
    const Mounted &m = self();
    const readfat_volinfo &v = m.s.image.volume_info();
    *st = {};
    st->f_bsize = st->f_frsize = v.cluster_bytes;
    st->f_blocks = v.cluster_count;
    st->f_bfree = st->f_bavail = m.free_clusters;
    st->f_namemax = kHostNameMax;
    st->f_flag = ST_RDONLY;
    return 0;
}

void *op_init(struct fuse_conn_info *, struct fuse_config *cfg) {
    cfg->entry_timeout = cfg->attr_timeout = kCacheSeconds;
    cfg->negative_timeout = kCacheSeconds;
    cfg->kernel_cache = 1;
    return fuse_get_context()->private_data;
}

} // namespace

int cmd_mount(const Args &a) {
    Mounted m;
    if (!open_session(a, a.positional[0], m.s)) return kFail;
    const std::string &dir = a.positional[1];
    int err = 0;
    if (readfat_free_clusters(m.s.vol, &m.free_clusters, &err) != 0) m.free_clusters = 0;
    m.uid = getuid();
    m.gid = getgid();
    m.aimed = m.s.vol->reader_fn == &Image::reader && m.s.vol->reader_data == &m.s.image;

    struct fuse_operations ops = {};
    ops.getattr = op_getattr;
    ops.readdir = op_readdir;
    ops.open = op_open;
    ops.read = op_read;
    ops.release = op_release;
    ops.statfs = op_statfs;
    ops.init = op_init;

    // The image's path names the mount in /proc/mounts and df; a comma there
    // would end the option.
    std::string fsname = a.positional[0];
    for (char &c : fsname)
        if (c == ',') c = '_';
    std::vector<std::string> words = {"dorvex", "-o",
                                      "ro,default_permissions,subtype=dorvex,fsname=" + fsname};
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
    return rc;
}

#else

int cmd_mount(const Args &) {
    report("mount", "this dorvex was built without FUSE (libfuse 3): mounting is not available");
    return kFail;
}

#endif

// fusermount3 -u: unmounting a FUSE mount needs no privileges beyond FUSE's.
int cmd_umount(const Args &a) {
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
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? kOk : kFail;
}

} // namespace dvcli
