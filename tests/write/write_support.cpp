#define _FILE_OFFSET_BITS 64
#include "write/write_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace dvtest {
std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 7;
    for (auto &c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

int remove_tree(writefat_volume *w, const std::string &path) {
    return writefat_remove_tree(w, path.c_str(), nullptr, nullptr);
}

std::string digest(const std::string &data) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : data) h = (h ^ c) * 1099511628211ull;
    return std::to_string(data.size()) + ":" + std::to_string(h);
}

namespace {

int32_t read_cb(void *data, void *buf, uint64_t sector, uint32_t count) {
    auto *img = static_cast<WImage *>(data);
    if ((sector + count) * 512 > img->cur.size()) return -1;
    auto bad = img->unreadable.lower_bound(sector);
    if (bad != img->unreadable.end() && *bad < sector + count) return -EIO;
    ++img->reads;
    std::memcpy(buf, img->cur.data() + sector * 512, size_t{count} * 512);
    return static_cast<int32_t>(count);
}

int32_t write_cb(void *data, const void *buf, uint64_t sector, uint32_t count) {
    auto *img = static_cast<WImage *>(data);
    if ((sector + count) * 512 > img->cur.size()) return -1;
    if (img->limit >= 0 && img->writes >= img->limit) return -img->fail_code; // the power is gone
    ++img->writes;
    if (reinterpret_cast<uintptr_t>(buf) % 512 != 0) ++img->unaligned;
    std::memcpy(img->cur.data() + sector * 512, buf, size_t{count} * 512);
    for (uint32_t i = 0; i < count; ++i) {
        img->touched.insert(sector + i);
        img->unreadable.erase(sector + i); // a sector written reads again, as a remapped one
    }
    if (pwrite(img->fd, buf, size_t{count} * 512, static_cast<off_t>(sector * 512)) !=
        static_cast<ssize_t>(count) * 512)
        return -EIO;
    return static_cast<int32_t>(count);
}

// The tracking allocator's blocks, `misalign` bytes into them.
void *shifted_alloc(void *data, size_t size) {
    auto *img = static_cast<WImage *>(data);
    auto *p = static_cast<uint8_t *>(TrackingAlloc::alloc_cb(&img->alloc, size + img->misalign));
    return p ? p + img->misalign : nullptr;
}

void shifted_free(void *data, void *ptr) {
    auto *img = static_cast<WImage *>(data);
    if (ptr) TrackingAlloc::free_cb(&img->alloc, static_cast<uint8_t *>(ptr) - img->misalign);
}

} // namespace

const writefat_config *small_config() {
    static const writefat_config c = [] {
        writefat_config v;
        writefat_config_init(&v, WRITEFAT_CONFIG_SMALL);
        return v;
    }();
    return &c;
}

const writefat_config *tight_config() {
    static const writefat_config c = [] {
        writefat_config v = *small_config();
        v.dir_cache_units = 2;
        v.group_sectors = 4;
        return v;
    }();
    return &c;
}

WImage::WImage(const WriteTools &t, const FatKind &kind, const std::string &dir)
    : grouped(kind.grouped), config(kind.config), tools(t) {
    path = dir + "/" + kind.label + ".img";
    fs::remove(path);
    run_logged(shell_quote(t.mkfs) + " " + kind.mkfs_args + " -C " + shell_quote(path) + " " +
                   std::to_string(kind.kib),
               dir + "/mkfs.log");
    // Whole images are large: read them in one call, not through read_whole's iterator.
    std::ifstream in(path, std::ios::binary);
    cur.resize(fs::file_size(path));
    in.read(reinterpret_cast<char *>(cur.data()), static_cast<std::streamsize>(cur.size()));
    base = cur;
    fd = ::open(path.c_str(), O_RDWR);
}

WImage::~WImage() {
    if (fd >= 0) ::close(fd);
}

writefat_volume *WImage::open(long lim, uint32_t flags) {
    limit = lim;
    writes = 0;
    err = 0;
    writefat_volume *w =
        writefat_open3(0, cur.size() / 512, 512, this, read_cb, write_cb,
                       flags ? flags
                             : (readfat_optimal_flags() & ~DV_CHARSET_MASK) | DV_CHARSET_UTF8 |
                                   DV_FLAG_NTCASE | DV_FLAG_NOCASE,
                       4, 4, config, &err, this, shifted_alloc, shifted_free);
    if (w && grouped) {
        EXPECT_EQ(writefat_group(w, 1), 0);
    }
    return w;
}

void WImage::commit() {
    for (uint64_t s : touched) std::memcpy(base.data() + s * 512, cur.data() + s * 512, 512);
    touched.clear();
}

void WImage::restore() {
    for (uint64_t s : touched) {
        std::memcpy(cur.data() + s * 512, base.data() + s * 512, 512);
        if (pwrite(fd, cur.data() + s * 512, 512, static_cast<off_t>(s * 512)) != 512)
            ADD_FAILURE() << "restore failed";
    }
    touched.clear();
}

int32_t WImage::read_sectors(void *data, void *buf, uint64_t sector, uint32_t count) {
    return read_cb(data, buf, sector, count);
}

void WImage::mark_clean() {
    const uint32_t reserved = cur[14] | cur[15] << 8;
    const bool f32 = (cur[22] | cur[23] << 8) == 0;
    const size_t at = size_t{reserved} * 512 + (f32 ? 7 : 3); // the clean bit's byte
    cur[at] |= f32 ? 0x08 : 0x80;
    touched.insert(at / 512);
    if (pwrite(fd, cur.data() + at / 512 * 512, 512, static_cast<off_t>(at / 512 * 512)) != 512)
        ADD_FAILURE() << "mark_clean failed";
}

bool WImage::fsck(std::string *report, bool crash_findings_ok, bool shared_ok, bool lost_ok) {
    const std::string out = path + ".fsck";
    const std::string cmd =
        shell_quote(tools.fsck) + " -n " + shell_quote(path) + " >" + shell_quote(out) + " 2>&1";
    const int rc = std::system(cmd.c_str());
    std::ifstream in(out);
    std::string line, all;
    bool ok = true;
    bool first = true;
    while (std::getline(in, line)) {
        all += line + "\n";
        if (first) { // the version banner
            first = false;
            continue;
        }
        if (line.rfind(path, 0) == 0 || line.empty()) continue; // the summary
        if (line.rfind("Checking", 0) == 0 || line.rfind("Starting", 0) == 0) continue;
        // What a crash may leave: the dirty flag, a stale free count, lost clusters, a part of
        // a long name over two sectors, a boot label (or its backup) behind the root's, and FAT
        // copies caught between the writes of one sector.
        const bool crash_only =
            line.find("Dirty bit is set") != std::string::npos ||
            line.find("Automatically removing dirty bit") != std::string::npos ||
            line.find("Free cluster summary") != std::string::npos ||
            line.find("Auto-correcting") != std::string::npos ||
            (lost_ok && (line.find("unused cluster") != std::string::npos ||
                         line.find("Orphaned long file name part") != std::string::npos ||
                         line.find("Auto-deleting") != std::string::npos ||
                         line.find("label") != std::string::npos ||
                         line.find("boot sector and its backup") != std::string::npos ||
                         line.find("mostly harmless") != std::string::npos ||
                         line.find("Not automatically fixing") != std::string::npos ||
                         (line.rfind("  ", 0) == 0 && line.find("/") != std::string::npos &&
                          line.find(":") != std::string::npos))) ||
            line.find("FATs differ") != std::string::npos ||
            line.find("Using first FAT") != std::string::npos ||
            line.find("Leaving filesystem unchanged") != std::string::npos ||
            line.find("properly unmounted") != std::string::npos ||
            line.find("Remove dirty bit") != std::string::npos ||
            line.find("Performing changes") != std::string::npos;
        // A move cut between its two directory writes: one chain under both names, which
        // fsck.fat would settle by truncating the second (a directory's ".." can name only
        // one of its two parents).
        const bool shared = line[0] == '/' || line.find("share clusters") != std::string::npos ||
                            line.find("Truncating") != std::string::npos ||
                            line.find("Invalid '..' entry") != std::string::npos ||
                            line.find("cluster chain length is 0 bytes") != std::string::npos;
        // A cut append: the chain took its new clusters, the entry still has the old size.
        const bool long_chain = line[0] == '/' ||
                                line.find("cluster chain length is") != std::string::npos ||
                                line.find("Truncating file to") != std::string::npos;
        if (!(crash_findings_ok &&
              (crash_only || (shared_ok && shared) || (long_chain_ok && long_chain))))
            ok = false;
    }
    if (!crash_findings_ok && rc != 0) ok = false;
    if (report) *report = all;
    return ok;
}

int put(writefat_volume *w, const char *path, const std::string &data, uint32_t flags,
        int64_t mtime) {
    int err = 0;
    writefat_file *f = writefat_create(w, path, flags, &err);
    if (!f) return err;
    // Odd pieces, so partial and whole clusters both go through.
    size_t at = 0;
    while (at < data.size()) {
        const size_t n = std::min<size_t>(data.size() - at, at % 3 == 0 ? 1000 : 70000);
        if (writefat_write(w, f, data.data() + at, n, &err) != 0) {
            writefat_abort(w, f);
            return err;
        }
        at += n;
    }
    return writefat_finish(w, f, mtime);
}

std::map<std::string, std::string> mtools_tree(const WImage &img, const std::string &scratch) {
    const std::string out = scratch + "/mcopy-out";
    fs::remove_all(out);
    fs::create_directories(out);
    run_logged("LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 " + shell_quote(img.tools.mcopy) +
                   " -s -n -m -i " + shell_quote(img.path) + " '::*' " + shell_quote(out + "/") +
                   " 2>&1 | grep -v 'No files'; true",
               scratch + "/mcopy.log");
    std::map<std::string, std::string> tree;
    for (const auto &e : fs::recursive_directory_iterator(out)) {
        const std::string rel = fs::relative(e.path(), out).string();
        if (e.is_directory()) {
            tree[rel + "/"] = "";
        } else {
            std::ifstream in(e.path(), std::ios::binary);
            std::string bytes(e.file_size(), '\0');
            in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            tree[rel] = digest(bytes);
        }
    }
    return tree;
}

namespace {

void walk(readfat_volume *vol, const dv_entry *dir_entry, const std::string &prefix,
          std::map<std::string, std::string> &tree) {
    int err = 0;
    readfat_dir *d =
        dir_entry ? readfat_opendir_entry(vol, dir_entry, &err) : readfat_opendir(vol, "", &err);
    ASSERT_NE(d, nullptr) << err;
    std::vector<dv_entry> subdirs;
    const dv_entry *e;
    while ((e = readfat_readdir(vol, d, &err)) != nullptr) {
        if (e->deleted || static_cast<uint8_t>(e->shortname[0]) == 0xE5 ||
            (e->attr & DV_ATTR_VOLUME))
            continue;
        char name[800];
        dv_name_to_utf8(&e->name, name, sizeof name);
        if (!std::strcmp(name, ".") || !std::strcmp(name, "..")) continue;
        if (e->attr & DV_ATTR_DIRECTORY) {
            tree[prefix + name + "/"] = "";
            subdirs.push_back(*e);
            continue;
        }
        readfat_file *f = readfat_open_entry(vol, e, &err);
        ASSERT_NE(f, nullptr);
        std::string data(readfat_size(vol, f), '\0');
        EXPECT_EQ(readfat_read(vol, f, data.data(), uint32_t(data.size()), &err), data.size());
        readfat_close(vol, f);
        tree[prefix + name] = digest(data);
    }
    EXPECT_EQ(err, DV_E_ENDDIR);
    readfat_closedir(vol, d);
    for (const auto &s : subdirs) {
        char name[800];
        dv_name_to_utf8(&s.name, name, sizeof name);
        walk(vol, &s, prefix + name + "/", tree);
    }
}

} // namespace

std::map<std::string, std::string> reader_tree(WImage &img) {
    std::map<std::string, std::string> tree;
    int err = 0;
    readfat_volume *vol = readfat_new(0, img.cur.size() / 512, 512, &img, read_cb,
                                      (readfat_optimal_flags() & ~DV_CHARSET_MASK) |
                                          DV_CHARSET_UTF8 | DV_FLAG_NTCASE | DV_FLAG_NOCASE,
                                      4, 4, &err);
    EXPECT_NE(vol, nullptr) << err;
    if (!vol) return tree;
    walk(vol, nullptr, "", tree);
    readfat_delete(vol);
    return tree;
}

std::map<std::string, std::string> reader_tree(writefat_volume *w) {
    std::map<std::string, std::string> tree;
    EXPECT_EQ(writefat_sync(w), 0); // a group's changes reach the read side when synced
    walk(writefat_reader(w), nullptr, "", tree);
    return tree;
}

} // namespace dvtest
