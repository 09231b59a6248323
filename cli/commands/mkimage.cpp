// mkimage: a FAT12, FAT16 or FAT32 image from a host directory: the library formats a new
// image file, then put's copy fills it.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli.h"
#include "dorvex/writefat.h"
#include "host_tree.h"
#include "stop.h"
#include "text.h"

static_assert(sizeof(off_t) >= 8, "images past 2 GiB need 64-bit file offsets");

namespace dvcli {

namespace {

// Clusters are a power of two from 512 bytes to this: 64 KiB clusters are valid FAT, but many
// readers (and mkfs.fat without a warning) stop at 32 KiB.
constexpr uint32_t kMaxClusterBytes = 32768;
constexpr int kClusterSizes = 7;        // 512 .. 32768
constexpr uint32_t kFat12Limit = 4085;  // FAT12 below, FAT16 from here
constexpr uint32_t kFat16Limit = 65525; // FAT16 below, FAT32 from here

// UTF-16 units of a UTF-8 name: a 4-byte sequence takes two.
uint64_t utf16_units(const std::string &name) {
    uint64_t n = 0;
    for (unsigned char c : name) n += (c & 0xC0) != 0x80 ? (c >= 0xF0 ? 2 : 1) : 0;
    return n;
}

// What the tree takes, for each cluster size from 512 bytes up: a walk that counts the files'
// clusters and the directories' entries (at most a long name's entries and the 8.3 entry per
// name, so never too few).
struct Need : HostTree::Visitor {
    uint64_t clusters[kClusterSizes] = {};
    uint64_t root_entries = 0;
    std::vector<uint64_t> entries; // of each directory being walked
    bool label = false;

    bool enter(const HostEntry &d) override {
        if (!entries.empty()) add(d.name);
        entries.push_back(entries.empty() ? (label ? 1 : 0) : 2);
        return true;
    }
    void leave(const HostEntry &) override {
        const uint64_t bytes = std::max<uint64_t>(1, entries.back()) * DV_DIRENT_SIZE;
        if (entries.size() == 1) root_entries = entries.back();
        for (int k = 0; k < kClusterSizes; ++k) clusters[k] += rounded(bytes, k);
        entries.pop_back();
    }
    void file(const HostEntry &f) override {
        add(f.name);
        for (int k = 0; k < kClusterSizes; ++k) clusters[k] += rounded(f.size, k);
    }
    void skip(const std::string &, const std::string &, Skip) override {}

    static uint64_t rounded(uint64_t bytes, int k) {
        const uint64_t cb = uint64_t{512} << k;
        return (bytes + cb - 1) / cb;
    }
    void add(const std::string &name) {
        entries.back() += dv_entrycount(kVolumeFlags, static_cast<unsigned>(utf16_units(name)));
    }
    uint64_t at(uint32_t cluster_bytes) const {
        int k = 0;
        while ((uint32_t{512} << k) < cluster_bytes) ++k;
        return clusters[k];
    }
};

struct Plan {
    uint32_t fat_type = 32;
    uint32_t cluster_bytes = 0; // 0: the format's choice
    uint64_t sectors = 0;
};

// The layout the library makes of `sectors` for the plan's type and cluster size.
int layout_of(const Plan &p, uint64_t sectors, writefat_layout &lay) {
    writefat_format_options o{};
    o.fat_type = p.fat_type;
    o.cluster_size = p.cluster_bytes;
    return writefat_format_layout(sectors, &o, &lay);
}

// The smallest size in [lo, hi] where `ok` holds, for an `ok` that holds from some size on
// (hi when none does).
template <typename Ok> uint64_t first_size(uint64_t lo, uint64_t hi, Ok ok) {
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (ok(mid))
            hi = mid;
        else
            lo = mid + 1;
    }
    return hi;
}

constexpr uint64_t kMaxSectors = 0xFFFFFFFFu; // 2 TiB

// The smallest volume that the library lays out with `clusters` data clusters or more.
uint64_t sectors_holding(const Plan &p, uint64_t clusters) {
    auto ok = [&](uint64_t s) {
        writefat_layout lay{};
        layout_of(p, s, lay); // a count the type cannot hold still says how many
        return lay.cluster_count >= clusters;
    };
    return first_size(1, kMaxSectors, ok);
}

// The default size: just large enough for the tree with a sixteenth to spare, and for FAT32
// at least its 65525 clusters (about 33 MiB with 512-byte clusters). FAT32 takes 512-byte
// clusters, 4 KiB past 200 MiB of them; FAT12/16 the smallest that keep the type's count.
void choose_size(const Need &need, Plan &p) {
    const uint32_t bits = p.fat_type;
    const uint64_t top = bits == 12 ? kFat12Limit : kFat16Limit;
    const bool chosen = p.cluster_bytes != 0;
    uint32_t cb = chosen ? p.cluster_bytes : 512;
    if (!chosen && bits == 32 && need.at(cb) * cb > uint64_t{200} << 20) cb = 4096;
    while (!chosen && bits != 32 && cb < kMaxClusterBytes &&
           need.at(cb) + need.at(cb) / 16 + 64 >= top)
        cb *= 2;
    const uint64_t used = need.at(cb);
    uint64_t want = used + used / 16 + 64;
    if (bits == 32) want = std::max<uint64_t>(want, kFat16Limit + 75);
    if (bits == 16) want = std::max<uint64_t>(want, kFat12Limit + 75);
    if (bits != 32) want = std::min<uint64_t>(want, top - 16);
    p.cluster_bytes = cb;
    p.sectors = sectors_holding(p, want);
    if (bits == 32) p.sectors = std::min((p.sectors + 2047) / 2048 * 2048, kMaxSectors); // MiB
}

// The image file: removed again unless kept. Only a regular file is ever written, truncated
// or removed.
class OutputFile {
  public:
    explicit OutputFile(const std::string &path) : path_(path) {}
    ~OutputFile() {
        if (fd_ < 0) return;
        discard();
        ::close(fd_);
    }
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Refuses what is no regular file, and an existing one without `force`; false with a
    // message in `error`. `dev` and `ino` name an existing one.
    bool check(bool force, std::string &error, dev_t &dev, ino_t &ino) const {
        struct stat st {};
        if (::stat(path_.c_str(), &st) != 0) return true;
        if (!S_ISREG(st.st_mode)) return refuse(st.st_mode, error);
        if (!force) return exists(error);
        dev = st.st_dev;
        ino = st.st_ino;
        return true;
    }

    // Creates it (replacing an old one only with `force`) as `bytes` of zeros.
    bool create(bool force, uint64_t bytes, std::string &error) {
        struct stat st {};
        if (::stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            return refuse(st.st_mode, error);
        // No O_TRUNC before the type is checked; O_NONBLOCK keeps a FIFO that appears
        // meanwhile from blocking the open.
        const int flags =
            O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (force ? 0 : O_EXCL);
        fd_ = ::open(path_.c_str(), flags, 0644);
        if (fd_ < 0) return errno == EEXIST ? exists(error) : failed(error);
        if (fstat(fd_, &st) != 0) return failed(error);
        if (!S_ISREG(st.st_mode)) {
            ::close(fd_);
            fd_ = -1;
            return refuse(st.st_mode, error);
        }
        dev_ = st.st_dev;
        ino_ = st.st_ino;
        known_ = true;
        if (ftruncate(fd_, 0) != 0 || ftruncate(fd_, static_cast<off_t>(bytes)) != 0)
            return failed(error);
        return true;
    }

    // The library's sector writer on the file.
    static int32_t writer(void *data, const void *buf, uint64_t sector, uint32_t count) {
        const int fd = static_cast<OutputFile *>(data)->fd_;
        const auto *p = static_cast<const uint8_t *>(buf);
        size_t left = size_t{count} * 512;
        off_t at = static_cast<off_t>(sector * 512);
        while (left) {
            const ssize_t n = pwrite(fd, p, left, at);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return n < 0 ? -errno : -EIO;
            p += n;
            at += n;
            left -= static_cast<size_t>(n);
        }
        return static_cast<int32_t>(count);
    }

    // Keeps the image; false (with the message) when closing it failed, which removes it.
    bool keep(std::string &error) {
        const int rc = ::close(fd_);
        fd_ = -1;
        if (rc == 0) return true;
        failed(error);
        if (names_ours()) ::unlink(path_.c_str());
        return false;
    }

  private:
    bool failed(std::string &error) const {
        error = path_ + ": " + std::strerror(errno);
        return false;
    }
    bool refuse(mode_t mode, std::string &error) const {
        error = path_ + ": " + file_kind(mode) + ", not a regular file: not written";
        return false;
    }
    bool exists(std::string &error) const {
        error = path_ + ": " + std::strerror(EEXIST) + " (--force overwrites it)";
        return false;
    }
    // A half-written image goes: the file is removed when the path still names it, else (a
    // symbolic link to it) emptied.
    void discard() {
        if (names_ours())
            ::unlink(path_.c_str());
        else if (ftruncate(fd_, 0) != 0) {
            // Nothing more to do: the error that brought us here is reported.
        }
    }
    bool names_ours() const {
        struct stat st {};
        return known_ && lstat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
               st.st_dev == dev_ && st.st_ino == ino_;
    }

    std::string path_;
    int fd_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    bool known_ = false; // dev_ and ino_ are the open file's
};

int fail(const std::string &msg) {
    report("mkimage", escape_display_utf8(msg));
    return kFail;
}

// What a format that failed with `code` means for the user's choices: the sizes the type
// takes with that cluster size, as the library lays them out.
std::string format_error(int code, const Plan &p) {
    if (code != EINVAL) return dv_strerror(code);
    const std::string type = "FAT" + std::to_string(p.fat_type);
    const std::string with =
        p.cluster_bytes ? " with " + std::to_string(p.cluster_bytes) + "-byte clusters" : "";
    writefat_layout lay{};
    auto ok = [&](uint64_t s) { return layout_of(p, s, lay) == 0; };
    auto mib = [](uint64_t sectors) { return std::to_string((sectors + 2047) / 2048); };
    // Too small when a larger size works: the first that does.
    const uint64_t least = first_size(p.sectors, kMaxSectors, [&](uint64_t s) {
        layout_of(p, s, lay);
        return lay.cluster_count >= (p.fat_type == 32   ? kFat16Limit
                                     : p.fat_type == 16 ? kFat12Limit
                                                        : 1);
    });
    if (least > p.sectors && ok(least))
        return "too small for " + type + with + " (needs at least " + mib(least) + " MiB)";
    // Too large: the last size below that still works.
    const uint64_t over = first_size(1, p.sectors, [&](uint64_t s) {
        layout_of(p, s, lay);
        return lay.cluster_count >= (p.fat_type == 12 ? kFat12Limit : kFat16Limit);
    });
    if (p.fat_type != 32 && over > 1 && ok(over - 1))
        return "too large for " + type + with + " (at most " + std::to_string((over - 1) / 2048) +
               " MiB; --fat 16 or 32 or larger clusters take more)";
    return "no " + type + " volume of this size" + with;
}

} // namespace

int cmd_mkimage(const Args &a) {
    Plan p;
    uint64_t size_bytes = 0;
    if (a.values.count("size") && (!parse_size(a.values.at("size"), size_bytes) || !size_bytes))
        return usage_error("mkimage", "bad size '" + a.values.at("size") + "' (e.g. 64M, 1G)");
    if (a.values.count("cluster-size")) {
        const std::string &text = a.values.at("cluster-size");
        uint64_t c = 0;
        if (!parse_size(text, c) || c < 512 || c > kMaxClusterBytes || (c & (c - 1)))
            return usage_error("mkimage", "bad cluster size '" + text +
                                              "' (a power of two from 512 to " +
                                              std::to_string(kMaxClusterBytes) + ", e.g. 4K)");
        p.cluster_bytes = static_cast<uint32_t>(c);
    }
    if (a.values.count("fat")) {
        const std::string &f = a.values.at("fat");
        if (f != "12" && f != "16" && f != "32")
            return usage_error("mkimage", "bad FAT type '" + f + "' (12, 16 or 32)");
        p.fat_type = static_cast<uint32_t>(std::stoul(f));
    }
    const std::string &src = a.positional[0], &out = a.positional[1];
    TreeCopy copy;
    copy.follow_symlinks = a.has("follow-symlinks");
    copy.quiet = a.has("quiet");
    if (a.values.count("label")) copy.label = a.values.at("label");

    // Refused before the tree is measured, which may take long; create() checks again.
    OutputFile file(out);
    std::string error;
    if (!file.check(a.has("force"), error, copy.excluded_dev, copy.excluded_ino))
        return fail(error);
    copy.excluded_set = copy.excluded_ino != 0;
    HostEntry top;
    bool regular = false;
    if (!HostTree::named(src, top, regular, error)) return fail(src + ": " + error);
    if (!top.dir) return fail(src + ": " + std::strerror(ENOTDIR));

    if (size_bytes) {
        p.sectors = size_bytes / 512;
        // The library's choice, but no cluster past 32 KiB unless asked for.
        writefat_layout lay{};
        if (!p.cluster_bytes && layout_of(p, p.sectors, lay) == 0 &&
            lay.cluster_size > kMaxClusterBytes)
            p.cluster_bytes = kMaxClusterBytes;
    } else {
        Need need;
        need.label = !copy.label.empty();
        HostTree tree(copy.follow_symlinks);
        if (copy.excluded_set) tree.exclude(copy.excluded_dev, copy.excluded_ino);
        tree.walk(top, need);
        choose_size(need, p);
    }
    if (p.sectors > kMaxSectors) return fail("image larger than 2 TiB");
    if (p.sectors == 0) return fail(out + ": " + format_error(EINVAL, p));

    // Ctrl-C from here on: the unfinished image is removed (OutputFile).
    const StopSignals stop_signals;
    if (!file.create(a.has("force"), p.sectors * 512, error)) return fail(error);
    writefat_format_options o{};
    o.fat_type = p.fat_type;
    o.cluster_size = p.cluster_bytes;
    o.volume_id = static_cast<uint32_t>(std::time(nullptr)) * 2654435761u ^ 0x5A17u;
    o.flags = kVolumeFlags;
    if (const int rc = writefat_format(0, p.sectors, &file, &OutputFile::writer, &o))
        return fail(out + ": " + format_error(rc, p));

    const int rc = copy_into_root(a, out, src, copy);
    if (copy.interrupted) {
        report("mkimage", "interrupted: the unfinished image is removed");
        return rc;
    }
    if (copy.bad_label) return kFail;
    if (copy.full)
        return fail(out + ": not written: the files do not fit" +
                    (size_bytes ? " (--size makes it larger)"
                                : " (a directory holds 65536 entries, FAT12/16's root 512)"));
    if (rc != 0 && !copy.failures && !copy.left_out) return kFail; // told; the image goes
    if (!file.keep(error)) return fail(error);
    if (const int n = copy.failures + copy.left_out) {
        // The image is written, but short of what was asked for.
        return fail(out + " written without " + std::to_string(n) +
                    (n == 1 ? " entry" : " entries") + " (see above)");
    }
    return kOk;
}

} // namespace dvcli
