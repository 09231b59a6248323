#include "mkimage.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dorvex/dorvex.h"
#include "dorvex/readfat.h"
#include "stop.h"
#include "text.h"

static_assert(sizeof(off_t) >= 8, "images past 2 GiB need 64-bit file offsets");

namespace dvcli {

namespace {

constexpr uint32_t kReserved = 32;     // FAT32; FAT12/16 keep only the boot sector
constexpr uint32_t kRootEntries = 512; // FAT12/16's fixed root directory
constexpr uint32_t kFats = 2;
constexpr uint32_t kMinClusters = 65525; // fewer makes a FAT16 volume to every reader
constexpr uint32_t kFat12Limit = 4085;   // FAT12 below, FAT16 from here
constexpr uint32_t kMaxClusters = 0x0FFFFFF5 - 2;
constexpr uint32_t kSectorsPerTrack = 32;
constexpr uint32_t kHeads = 64;
constexpr uint32_t kEndOfChain = 0x0FFFFFFF;

void store16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void store32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool write_all(int fd, const void *buf, size_t len, uint64_t off) {
    const auto *p = static_cast<const uint8_t *>(buf);
    while (len) {
        ssize_t w = pwrite(fd, p, len, static_cast<off_t>(off));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        len -= static_cast<size_t>(w);
        off += static_cast<uint64_t>(w);
    }
    return true;
}

bool to_utf16(const std::string &utf8, std::u16string &out) {
    std::u32string cps;
    if (!utf8_to_u32(utf8, cps)) return false;
    out.clear();
    for (char32_t c : cps) {
        if (c >= 0x10000) {
            uint32_t v = static_cast<uint32_t>(c) - 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return true;
}

// Why a host name cannot be a FAT long name, or null when it can.
const char *bad_long_name(const std::string &name) {
    std::u32string cps;
    if (!utf8_to_u32(name, cps)) return "not valid UTF-8";
    if (name == "." || name == "..") return "reserved name";
    for (char32_t c : cps)
        if (c < 0x20 || c == 0x7F ||
            std::u32string_view(U"\"*/:<>?\\|").find(c) != std::u32string_view::npos)
            return "character not allowed on FAT";
    if (name.back() == '.' || name.back() == ' ') return "ends with a dot or a space";
    std::u16string u16;
    to_utf16(name, u16);
    if (u16.size() > DV_NAME_MAX) return "longer than 255 UTF-16 units";
    return nullptr;
}

// A node with the layout decisions made for it.
struct Laid {
    const MkNode *node;
    std::u16string name16;
    std::string shortname; // 11 bytes
    uint32_t cluster = 0;
    uint32_t clusters = 0;
    uint64_t size = 0;
    std::vector<Laid> children;
};

uint64_t entries_of(const Laid &d, bool root, bool label) {
    uint64_t n = root ? (label ? 1 : 0) : 2;
    // dv_writeentry writes n/13 + 1 long-name entries (a name that fills its
    // last one gets another for the terminator), then the short entry.
    for (const Laid &c : d.children) n += c.name16.size() / 13 + 2;
    return n;
}

// `path`: the directory's place in the tree, for messages ("/" for the root).
bool prepare(const MkNode &node, Laid &out, const std::string &path, bool label,
             std::string &error) {
    out.node = &node;
    ShortNames shorts;
    // Names fixed by the caller take their 8.3 names first.
    for (const MkNode &c : node.children)
        if (c.raw_short.size() == 11) shorts.used.insert(c.raw_short);
    for (const MkNode &c : node.children) {
        Laid l;
        if (!c.raw_name.empty()) {
            l.name16 = c.raw_name;
        } else if (!to_utf16(c.name, l.name16)) {
            error = c.name + ": name is not valid UTF-8";
            return false;
        }
        if (l.name16.size() > DV_NAME_MAX) {
            error = c.name + ": name too long";
            return false;
        }
        l.shortname = c.raw_short.size() == 11 ? c.raw_short : make_short_name(c.name, shorts);
        if (c.dir) {
            if (!prepare(c, l, path + c.name + "/", false, error)) return false;
        } else {
            l.node = &c;
            l.size = c.host_path.empty() ? c.data.size() : c.size;
            if (l.size > 0xFFFFFFFFull) {
                error = c.name + ": file too large for FAT32";
                return false;
            }
        }
        out.children.push_back(std::move(l));
    }
    const bool root = path == "/";
    if (const uint64_t n = entries_of(out, root, label); n > kMaxDirEntries) {
        error = (root ? std::string("the root directory") : path.substr(0, path.size() - 1)) +
                ": needs " + std::to_string(n) +
                " directory entries (long names and dot entries included); FAT allows " +
                std::to_string(kMaxDirEntries);
        return false;
    }
    return true;
}

uint64_t count_clusters(const Laid &d, uint32_t cb, bool root, bool label) {
    uint64_t bytes = entries_of(d, root, label) * DV_DIRENT_SIZE;
    uint64_t n = std::max<uint64_t>(1, (bytes + cb - 1) / cb);
    for (const Laid &c : d.children) {
        if (c.node->dir)
            n += count_clusters(c, cb, false, false);
        else
            n += (c.size + cb - 1) / cb;
    }
    return n;
}

// `fixed_root`: the root lives in FAT12/16's root region and takes no cluster.
void allocate(Laid &d, uint32_t cb, bool root, bool label, bool fixed_root, uint32_t &next) {
    uint64_t bytes = entries_of(d, root, label) * DV_DIRENT_SIZE;
    d.clusters = static_cast<uint32_t>(std::max<uint64_t>(1, (bytes + cb - 1) / cb));
    if (root && fixed_root) d.clusters = 0;
    d.cluster = d.clusters ? next : 0;
    next += d.clusters;
    for (Laid &c : d.children) {
        if (c.node->dir) {
            allocate(c, cb, false, false, false, next);
        } else {
            c.clusters = static_cast<uint32_t>((c.size + cb - 1) / cb);
            c.cluster = c.clusters ? next : 0;
            next += c.clusters;
        }
    }
}

struct Geometry {
    uint32_t bits = 32; // FAT entry width: 12, 16 or 32
    uint64_t total = 0; // sectors
    uint32_t spc = 0;
    uint32_t reserved = kReserved;
    uint32_t root_sectors = 0; // FAT12/16's fixed root region
    uint32_t fat_sectors = 0;
    uint32_t clusters = 0;
    uint64_t root_start() const { return reserved + uint64_t{kFats} * fat_sectors; }
};

uint64_t fat_bytes(uint32_t bits, uint64_t entries) {
    return bits == 12 ? (entries * 3 + 1) / 2 : entries * bits / 8;
}

Geometry geometry_for(uint64_t total, uint32_t spc, uint32_t bits) {
    Geometry g;
    g.bits = bits;
    g.total = total;
    g.spc = spc;
    if (bits != 32) {
        g.reserved = 1;
        g.root_sectors = kRootEntries * DV_DIRENT_SIZE / 512;
    }
    const uint64_t head = g.reserved + g.root_sectors;
    if (total <= head + 2) return g;
    // A FAT sized for every sector as a cluster is a little too large, never
    // too small; the cluster count then follows from it.
    uint64_t upper = (total - head) / spc + 2;
    uint64_t fat = (fat_bytes(bits, upper) + 511) / 512;
    if (head + kFats * fat >= total) return g;
    uint64_t clusters = (total - head - kFats * fat) / spc;
    g.fat_sectors = static_cast<uint32_t>(fat);
    g.clusters = static_cast<uint32_t>(std::min<uint64_t>(clusters, kMaxClusters));
    return g;
}

uint32_t default_cluster_bytes(uint64_t bytes) {
    const uint64_t mib = 1024 * 1024;
    if (bytes <= 260 * mib) return 512;
    if (bytes <= 8192 * mib) return 4096;
    if (bytes <= 16384 * mib) return 8192;
    if (bytes <= 32768 * mib) return 16384;
    return 32768;
}

class ImageWriter {
  public:
    ImageWriter(int fd, const Geometry &g, uint32_t cb, bool utc)
        : fd_(fd), g_(g), cb_(cb), utc_(utc) {}

    uint64_t cluster_offset(uint32_t c) const {
        uint64_t data = g_.root_start() + g_.root_sectors;
        return (data + static_cast<uint64_t>(c - 2) * g_.spc) * 512;
    }

    bool write_dir(const Laid &d, const Laid *parent, bool root, const std::string &label,
                   std::string &error) {
        // The files' data first, so that one that cannot be read gets no entry.
        std::vector<bool> keep(d.children.size(), true);
        for (size_t i = 0; i < d.children.size(); ++i) {
            const Laid &c = d.children[i];
            if (c.node->dir) continue;
            if (stop_signal()) {
                error = "interrupted: the unfinished image is removed";
                return false;
            }
            Copy r = write_file(c, error);
            if (r == Copy::failed) return false;
            keep[i] = r == Copy::done;
        }
        // FAT12/16's root fills its fixed region instead of clusters.
        const bool fixed = root && g_.bits != 32;
        std::vector<uint8_t> buf(
            fixed ? size_t{g_.root_sectors} * 512 : static_cast<size_t>(d.clusters) * cb_, 0);
        uint8_t *cursor = buf.data();
        unsigned room = static_cast<unsigned>(buf.size() / DV_DIRENT_SIZE);
        if (!root) {
            // The dot entries carry no long name: encode a record and keep
            // only its short entry.
            const MkNode &self = *d.node;
            put_short(".          ", DV_ATTR_DIRECTORY, d.cluster, 0, self, cursor, room);
            const MkNode &up = parent ? *parent->node : self;
            uint32_t upc = parent ? parent->cluster : 0;
            put_short("..         ", DV_ATTR_DIRECTORY, upc, 0, up, cursor, room);
        } else if (!label.empty()) {
            std::string l = label;
            l.resize(11, ' ');
            put_short(l.c_str(), DV_ATTR_VOLUME, 0, 0, *d.node, cursor, room);
        }
        for (size_t i = 0; i < d.children.size(); ++i) {
            const Laid &c = d.children[i];
            if (!keep[i]) continue;
            dv_entry e;
            std::memset(&e, 0, sizeof e);
            e.name.len = static_cast<uint16_t>(c.name16.size());
            for (size_t k = 0; k < c.name16.size(); ++k) e.name.units[k] = c.name16[k];
            e.name.units[c.name16.size()] = 0;
            fill(e, c.shortname.c_str(),
                 static_cast<uint32_t>(c.node->dir ? DV_ATTR_DIRECTORY : DV_ATTR_ARCHIVE) |
                     c.node->attr,
                 c.cluster, c.node->dir ? 0 : static_cast<uint32_t>(c.size));
            const dv_entry *rec = &e;
            int count = 1;
            if (dv_writeentry(ctx_, &rec, &count, &cursor, &room) != 0) {
                error = "directory entries do not fit (internal error)";
                return false;
            }
            stamp(cursor - DV_DIRENT_SIZE, *c.node);
        }
        if (!write_all(fd_, buf.data(), buf.size(),
                       fixed ? g_.root_start() * 512 : cluster_offset(d.cluster))) {
            error = std::strerror(errno);
            return false;
        }
        for (uint32_t i = 0; i < d.clusters; ++i)
            chain(d.cluster + i, i + 1 < d.clusters ? d.cluster + i + 1 : kEndOfChain);
        for (const Laid &c : d.children)
            if (c.node->dir && !write_dir(c, root ? nullptr : &d, false, label, error))
                return false;
        return true;
    }

    enum class Copy { done, skipped, failed };

    // A host file that cannot be read is skipped: its clusters stay free and
    // what was copied of it is cleared again. Only writing the image fails.
    Copy write_file(const Laid &f, std::string &error) {
        const uint64_t start = f.size ? cluster_offset(f.cluster) : 0;
        if (!f.node->host_path.empty() && f.size) {
            uint64_t copied = 0;
            std::string why;
            if (!copy_host_file(f, start, copied, why, error)) return Copy::failed;
            if (!why.empty()) {
                if (warn_) warn_(f.node->host_path + ": " + why + ", skipped", MkSkip::unreadable);
                std::vector<uint8_t> zeros(std::min<uint64_t>(copied, 1 << 16), 0);
                for (uint64_t off = 0; off < copied; off += zeros.size())
                    if (!write_all(fd_, zeros.data(),
                                   std::min<uint64_t>(zeros.size(), copied - off), start + off)) {
                        error = std::strerror(errno);
                        return Copy::failed;
                    }
                dropped_ += f.clusters;
                return Copy::skipped;
            }
        } else if (f.size && !write_all(fd_, f.node->data.data(), f.node->data.size(), start)) {
            error = std::strerror(errno);
            return Copy::failed;
        }
        for (uint32_t i = 0; i < f.clusters; ++i)
            chain(f.cluster + i, i + 1 < f.clusters ? f.cluster + i + 1 : kEndOfChain);
        return Copy::done;
    }

    // Copies up to f.size bytes of the host file to `off`. A file that
    // cannot be read sets `why`; false only when the image cannot be written.
    bool copy_host_file(const Laid &f, uint64_t off, uint64_t &copied, std::string &why,
                        std::string &error) {
        // Without blocking, should a FIFO have taken the file's place.
        int in = ::open(f.node->host_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (in < 0) {
            why = std::strerror(errno);
            return true;
        }
        struct stat st {};
        if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
            why = "no longer a regular file";
            ::close(in);
            return true;
        }
        std::vector<char> buf(1 << 16);
        uint64_t left = f.size;
        while (left) {
            if (stop_signal()) {
                error = "interrupted: the unfinished image is removed";
                ::close(in);
                return false;
            }
            ssize_t r = ::read(in, buf.data(), std::min<uint64_t>(left, buf.size()));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) {
                why = std::strerror(errno);
                break;
            }
            if (r == 0) break; // the file shrank: the rest stays zero
            if (!write_all(fd_, buf.data(), static_cast<size_t>(r), off + copied)) {
                error = std::strerror(errno);
                ::close(in);
                return false;
            }
            copied += static_cast<uint64_t>(r);
            left -= static_cast<uint64_t>(r);
        }
        ::close(in);
        return true;
    }

    bool write_fats(uint32_t used_end, std::string &error) {
        // Only the allocated head of the FAT holds anything; ftruncate left
        // the rest zero (free).
        std::vector<uint8_t> bytes((fat_bytes(g_.bits, used_end) + 511) / 512 * 512, 0);
        for (size_t i = 0; i < fat_.size() && i < used_end; ++i) {
            if (g_.bits == 32) {
                store32(bytes.data() + i * 4, fat_[i]);
            } else if (g_.bits == 16) {
                store16(bytes.data() + i * 2, fat_[i] & 0xFFFF);
            } else {
                // Two 12-bit entries share three bytes.
                uint8_t *p = bytes.data() + i * 3 / 2;
                const uint32_t v = fat_[i] & 0xFFF;
                if (i % 2 == 0) {
                    p[0] = static_cast<uint8_t>(v);
                    p[1] = static_cast<uint8_t>((p[1] & 0xF0) | v >> 8);
                } else {
                    p[0] = static_cast<uint8_t>((p[0] & 0x0F) | (v & 0x0F) << 4);
                    p[1] = static_cast<uint8_t>(v >> 4);
                }
            }
        }
        for (uint32_t k = 0; k < kFats; ++k) {
            uint64_t off = (g_.reserved + static_cast<uint64_t>(k) * g_.fat_sectors) * 512;
            if (!write_all(fd_, bytes.data(), bytes.size(), off)) {
                error = std::strerror(errno);
                return false;
            }
        }
        return true;
    }

    void set_fat_size(uint32_t used_end) {
        fat_.assign(used_end, 0);
        fat_[0] = 0x0FFFFFF8;  // media byte 0xF8
        fat_[1] = kEndOfChain; // clean shutdown, no errors
    }

    dv_ctx *ctx_ = nullptr;
    MkWarn warn_;
    uint32_t dropped_ = 0; // clusters of skipped files, left free

  private:
    void chain(uint32_t c, uint32_t next) {
        if (c < fat_.size()) fat_[c] = next;
    }

    // Everything but the times, which stamp() writes.
    static void fill(dv_entry &e, const char *shortname, uint32_t attr, uint32_t cluster,
                     uint32_t size) {
        std::memcpy(e.shortname, shortname, 11);
        e.shortname[11] = 0;
        e.attr = attr;
        e.cluster = cluster;
        e.size = size;
    }

    // FAT's fields for host time `t`: its wall clock (local, or UTC), clamped
    // to FAT's range, 1980 to 2107.
    void encode(int64_t t, uint16_t &date, uint16_t &time_word, uint8_t &tenms) const {
        int64_t wall = wall_clock(static_cast<time_t>(t), utc_);
        int r = dv_encodets64(wall, 0, &date, &time_word, &tenms);
        if (r != 0) dv_encodets64(r < 0 ? 315532800 : 4354819198, 0, &date, &time_word, &tenms);
    }

    // Writes the node's times into its short entry `e`. dv_writeentry stores the
    // 32-bit times, which end in 2038; dv_encodets64 reaches 2107.
    void stamp(uint8_t *e, const MkNode &n) const {
        uint16_t date, time_word;
        uint8_t tenms;
        encode(n.ctime, date, time_word, tenms);
        e[DV_DIRENT_CTIME_MS] = tenms;
        store16(e + DV_DIRENT_CTIME, time_word);
        store16(e + DV_DIRENT_CDATE, date);
        encode(n.atime, date, time_word, tenms);
        store16(e + DV_DIRENT_ADATE, date);
        encode(n.mtime, date, time_word, tenms);
        store16(e + DV_DIRENT_MTIME, time_word);
        store16(e + DV_DIRENT_MDATE, date);
    }

    void put_short(const char *shortname, uint32_t attr, uint32_t cluster, uint32_t size,
                   const MkNode &n, uint8_t *&cursor, unsigned &room) {
        dv_entry e;
        std::memset(&e, 0, sizeof e);
        fill(e, shortname, attr, cluster, size);
        uint8_t tmp[3 * DV_DIRENT_SIZE] = {};
        uint8_t *tc = tmp;
        unsigned troom = 3;
        const dv_entry *rec = &e;
        int count = 1;
        dv_writeentry(ctx_, &rec, &count, &tc, &troom);
        std::memcpy(cursor, tmp + DV_DIRENT_SIZE, DV_DIRENT_SIZE); // skip the long-name entry
        stamp(cursor, n);
        cursor += DV_DIRENT_SIZE;
        --room;
    }

    int fd_;
    Geometry g_;
    uint32_t cb_;
    bool utc_;
    std::vector<uint32_t> fat_;
};

} // namespace

bool parse_size(const std::string &text, uint64_t &out) {
    if (text.empty()) return false;
    size_t i = 0;
    uint64_t v = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (v > (UINT64_MAX - 9) / 10) return false;
        v = v * 10 + static_cast<uint64_t>(text[i] - '0');
        ++i;
    }
    if (i == 0) return false;
    std::string suffix = text.substr(i);
    uint64_t mul = 1;
    if (suffix.empty() || suffix == "B")
        mul = 1;
    else if (suffix == "K" || suffix == "k" || suffix == "KiB")
        mul = 1024;
    else if (suffix == "M" || suffix == "m" || suffix == "MiB")
        mul = 1024ull * 1024;
    else if (suffix == "G" || suffix == "g" || suffix == "GiB")
        mul = 1024ull * 1024 * 1024;
    else
        return false;
    if (v > UINT64_MAX / mul) return false;
    out = v * mul;
    return true;
}

std::string make_short_name(const std::string &long_name, ShortNames &names) {
    std::u32string cps;
    if (!utf8_to_u32(long_name, cps)) {
        cps.clear();
        for (char c : long_name) cps.push_back(static_cast<unsigned char>(c));
    }
    cps = fold(cps);
    static const std::u32string_view allowed = U"$%'-_@~`!(){}^#&";
    bool lossy = false;
    // Spaces go; leading dots go; the last dot separates the extension.
    std::u32string body;
    for (char32_t c : cps) {
        if (c == ' ') {
            lossy = true;
            continue;
        }
        body.push_back(c);
    }
    size_t lead = 0;
    while (lead < body.size() && body[lead] == '.') ++lead;
    if (lead) lossy = true;
    body.erase(0, lead);
    size_t dot = body.rfind('.');
    std::u32string base = dot == std::u32string::npos ? body : body.substr(0, dot);
    std::u32string ext = dot == std::u32string::npos ? U"" : body.substr(dot + 1);
    auto clean = [&](const std::u32string &s, size_t max) {
        std::string out;
        for (char32_t c : s) {
            if (c == '.') {
                lossy = true;
                continue;
            }
            bool ok = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      allowed.find(c) != std::u32string_view::npos;
            if (!ok) lossy = true;
            if (out.size() < max)
                out.push_back(ok ? static_cast<char>(c) : '_');
            else
                lossy = true;
        }
        return out;
    };
    std::string b = clean(base, 8);
    std::string e = clean(ext, 3);
    if (b.empty()) {
        b = "_";
        lossy = true;
    }
    auto pad = [](std::string s, size_t n) {
        s.resize(n, ' ');
        return s;
    };
    std::string whole = pad(b, 8) + pad(e, 3);
    if (!lossy && names.used.insert(whole).second) return whole;
    // A tail leaves at most six characters of the basis, so names alike in
    // those and the extension draw from one sequence of candidates; every
    // tail below its counter is taken.
    uint32_t &n = names.next_tail[b.substr(0, 6) + "." + e];
    for (n = std::max<uint32_t>(n, 1); n < 1000000;) {
        std::string tail = std::to_string(n++);
        std::string cand = b.substr(0, std::min<size_t>(b.size(), 7 - tail.size()));
        cand.push_back('~');
        cand.append(tail);
        cand = pad(cand, 8);
        cand.append(pad(e, 3));
        if (names.used.insert(cand).second) return cand;
    }
    return whole; // a million alike names: more than a directory holds
}

// The output image itself, when it already lies inside the source tree.
struct Exclude {
    bool set = false;
    dev_t dev = 0;
    ino_t ino = 0;
};

// False when `dir` itself cannot be listed, with the reason in `why`.
static bool scan(const std::string &dir, MkNode &node, const MkWarn &warn, const Exclude &ex,
                 std::string &why) {
    DIR *d = opendir(dir.c_str());
    if (!d) {
        why = std::strerror(errno);
        return false;
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        struct dirent *de = readdir(d);
        if (!de) break;
        std::string n = de->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    const int read_error = errno;
    closedir(d);
    if (read_error) {
        why = std::strerror(read_error);
        return false;
    }
    std::sort(names.begin(), names.end());
    for (const std::string &n : names) {
        std::string path = dir + "/" + n;
        auto skip = [&](const std::string &cause, MkSkip kind) {
            warn(path + ": " + cause + ", skipped", kind);
        };
        if (const char *bad = bad_long_name(n)) {
            skip(bad, MkSkip::excluded);
            continue;
        }
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) {
            skip(std::strerror(errno), MkSkip::unreadable);
            continue;
        }
        if (S_ISLNK(st.st_mode)) {
            if (stat(path.c_str(), &st) != 0) {
                skip(errno == ENOENT ? std::string("dangling symbolic link")
                                     : "symbolic link: " + std::string(std::strerror(errno)),
                     MkSkip::unreadable);
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                skip("symbolic link to a directory, not followed", MkSkip::excluded);
                continue;
            }
        }
        MkNode c;
        c.name = n;
        c.mtime = st.st_mtime;
        c.atime = st.st_atime;
        c.ctime = st.st_mtime; // the host keeps no creation time we can rely on
        if (S_ISDIR(st.st_mode)) {
            c.dir = true;
            std::string sub_why;
            if (!scan(path, c, warn, ex, sub_why)) {
                skip(sub_why, MkSkip::unreadable);
                continue;
            }
        } else if (S_ISREG(st.st_mode)) {
            if (ex.set && st.st_dev == ex.dev && st.st_ino == ex.ino) {
                skip("the output image itself", MkSkip::excluded);
                continue;
            }
            if (static_cast<uint64_t>(st.st_size) > 0xFFFFFFFFull) {
                skip("4 GiB or larger, too large for FAT32", MkSkip::excluded);
                continue;
            }
            c.host_path = path;
            c.size = static_cast<uint64_t>(st.st_size);
        } else {
            // Never opened: a FIFO would block, a device is no file's data.
            skip("not a regular file or directory", MkSkip::unreadable);
            continue;
        }
        node.children.push_back(std::move(c));
    }
    return true;
}

static bool scan_root(const std::string &dir, MkNode &root, const MkWarn &warn, std::string &error,
                      const Exclude &ex) {
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = dir + ": " + std::strerror(ENOTDIR);
        return false;
    }
    root = MkNode{};
    root.dir = true;
    root.mtime = st.st_mtime;
    root.atime = st.st_atime;
    root.ctime = st.st_mtime;
    std::string why;
    if (scan(dir, root, warn, ex, why)) return true;
    error = dir + ": " + why;
    return false;
}

bool scan_host_dir(const std::string &dir, MkNode &root, const MkWarn &warn, std::string &error) {
    return scan_root(dir, root, warn, error, Exclude{});
}

namespace {

// The label as stored: upper case, trailing spaces dropped. False with a
// message when FAT cannot hold it.
bool check_label(const std::string &text, std::string &label, std::string &error) {
    label.clear();
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        if (u < 0x20 || u >= 0x7F || std::strchr("\"*+,./:;<=>?[\\]|", c)) {
            error = "label may hold only ASCII letters, digits, spaces and -_!#$%&'()@^`{}~";
            return false;
        }
        label.push_back(c);
    }
    if (label.size() > 11) {
        error = "label longer than 11 characters";
        return false;
    }
    while (!label.empty() && label.back() == ' ') label.pop_back();
    return true;
}

// 0 leaves the choice to choose_size.
bool check_cluster_bytes(uint32_t cb, std::string &error) {
    if (cb && (cb < 512 || cb > kMaxClusterBytes || (cb & (cb - 1)))) {
        error =
            "cluster size must be a power of two from 512 to " + std::to_string(kMaxClusterBytes);
        return false;
    }
    return true;
}

struct Size {
    uint64_t total; // sectors
    uint32_t cluster_bytes;
};

// The size asked for, else one just large enough for the tree with room to
// spare, and the cluster size asked for, else one that suits the size.
// The cluster counts a type allows: [lo, hi).
uint64_t min_clusters(uint32_t bits) {
    return bits == 32 ? kMinClusters : bits == 16 ? kFat12Limit : 1;
}
uint64_t max_clusters(uint32_t bits) {
    return bits == 32 ? kMaxClusters + 1 : bits == 16 ? kMinClusters : kFat12Limit;
}

// FAT12/16 without a cluster size: the smallest that keeps `sectors` within the type's count
// (with room for the FATs and the root).
uint32_t fat1x_cluster_bytes(uint64_t sectors, uint32_t bits) {
    uint32_t cb = 512;
    while (cb < 32768 && sectors / (cb / 512) + 64 >= max_clusters(bits)) cb *= 2;
    return cb;
}

Size choose_size(const Laid &top, const MkOptions &opts, bool label) {
    const uint32_t bits = opts.fat_bits;
    if (opts.size_bytes) {
        // Whole tracks keep mtools' geometry checks quiet.
        const uint64_t total = opts.size_bytes / 512 / kSectorsPerTrack * kSectorsPerTrack;
        uint32_t cb = opts.cluster_bytes;
        if (!cb)
            cb = bits == 32 ? default_cluster_bytes(opts.size_bytes)
                            : fat1x_cluster_bytes(total, bits);
        return {total, cb};
    }
    uint32_t cb = opts.cluster_bytes ? opts.cluster_bytes : 512;
    uint64_t need = count_clusters(top, cb, true, label);
    if (!opts.cluster_bytes && bits == 32 && need * cb > 200ull * 1024 * 1024) {
        cb = 4096;
        need = count_clusters(top, cb, true, label);
    }
    // FAT12/16: larger clusters until the tree fits the type's count.
    while (!opts.cluster_bytes && bits != 32 && cb < 32768 &&
           need + need / 16 + 64 >= max_clusters(bits)) {
        cb *= 2;
        need = count_clusters(top, cb, true, label);
    }
    uint64_t want = std::max<uint64_t>(min_clusters(bits) + 75, need + need / 16 + 64);
    if (bits != 32) want = std::min<uint64_t>(want, max_clusters(bits) - 16);
    const uint64_t spc = cb / 512;
    const Geometry shape = geometry_for(0, 1, bits);
    const uint64_t fat = (fat_bytes(bits, want + 2) + 511) / 512;
    const uint64_t total = shape.reserved + shape.root_sectors + kFats * fat + want * spc;
    if (bits != 32)
        return {(total + kSectorsPerTrack - 1) / kSectorsPerTrack * kSectorsPerTrack, cb};
    return {(total + 2047) / 2048 * 2048, cb}; // whole MiB
}

// The layout of a volume of that size, if it makes a volume of the chosen type that the tree
// fits in.
bool plan_geometry(const Size &size, const Laid &top, bool label, uint32_t bits, Geometry &g,
                   std::string &error) {
    uint32_t cb = size.cluster_bytes;
    uint32_t spc = cb / 512;
    if (size.total > 0xFFFFFFFFull) {
        error = "image larger than 2 TiB";
        return false;
    }
    g = geometry_for(size.total, spc, bits);
    const std::string type = "FAT" + std::to_string(bits);
    if (g.clusters < min_clusters(bits)) {
        const uint64_t lo = min_clusters(bits);
        uint64_t min_bytes =
            (g.reserved + g.root_sectors +
             uint64_t{kFats} * ((fat_bytes(bits, lo + 2) + 511) / 512) + lo * spc) *
            512;
        error = "too small for " + type + " with " + std::to_string(cb) +
                "-byte clusters (needs at least " +
                std::to_string((min_bytes + (1 << 20) - 1) >> 20) + " MiB)";
        return false;
    }
    if (g.clusters >= max_clusters(bits)) {
        const uint64_t most = (max_clusters(bits) - 1) * cb;
        error = "too large for " + type + " with " + std::to_string(cb) +
                "-byte clusters (at most " + std::to_string(most >> 20) + " MiB; --fat 16 or 32 " +
                "or larger clusters take more)";
        return false;
    }
    if (bits != 32 && entries_of(top, true, label) > kRootEntries) {
        error = "the root directory needs " + std::to_string(entries_of(top, true, label)) +
                " entries; " + type + " holds " + std::to_string(kRootEntries);
        return false;
    }
    uint64_t need = count_clusters(top, cb, true, label);
    if (need > g.clusters) {
        error = "the files do not fit: " + std::to_string(need) + " clusters needed, " +
                std::to_string(g.clusters) + " available";
        return false;
    }
    return true;
}

bool refuse_output(const std::string &path, mode_t mode, std::string &error) {
    error = path + ": " + file_kind(mode) + ", not a regular file: not written";
    return false;
}

bool exists_error(const std::string &path, std::string &error) {
    error = path + ": " + std::strerror(EEXIST) + " (--force overwrites it)";
    return false;
}

// The image file: removed again unless finish() succeeds. Only a regular
// file is ever written, truncated or removed.
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

    // Creates it (replacing an old one only with `force`) as `bytes` of zeros.
    bool create(bool force, uint64_t bytes, std::string &error) {
        struct stat st {};
        if (stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return refuse(st.st_mode, error);
        // No O_TRUNC before the type is checked; O_NONBLOCK keeps a FIFO that
        // appears meanwhile from blocking the open.
        int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (force ? 0 : O_EXCL);
        fd_ = ::open(path_.c_str(), flags, 0644);
        if (fd_ < 0) {
            if (errno == EEXIST) return exists_error(path_, error);
            return failed(error); // nothing of ours to remove
        }
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

    bool finish(std::string &error) {
        int rc = ::close(fd_);
        fd_ = -1;
        if (rc == 0) return true;
        failed(error);
        if (names_ours()) ::unlink(path_.c_str());
        return false;
    }

    // The message for the last failed call on the file.
    bool failed(std::string &error) const {
        error = path_ + ": " + std::strerror(errno);
        return false;
    }

    int fd() const { return fd_; }

  private:
    bool refuse(mode_t mode, std::string &error) const { return refuse_output(path_, mode, error); }

    // A half-written image goes: the file is removed when the path still
    // names it, else (a symbolic link to it) emptied.
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

// The directories, the files' data and both FATs. `next` is the first
// cluster after the allocated ones.
// `dropped` gets the clusters of files skipped for want of their data.
bool write_tree(int fd, const Geometry &g, uint32_t cb, const Laid &top, const std::string &label,
                uint32_t next, bool utc, const MkWarn &warn, uint32_t &dropped,
                std::string &error) {
    int cerr = 0;
    std::unique_ptr<dv_ctx, void (*)(dv_ctx *)> ctx(
        dv_newctx(DV_CHARSET_UTF8 | DV_FLAG_UTF16 | DV_FLAG_SLASH, &cerr), dv_deletectx);
    if (!ctx) {
        error = dv_strerror(cerr);
        return false;
    }
    ImageWriter w(fd, g, cb, utc);
    w.ctx_ = ctx.get();
    w.warn_ = warn;
    w.set_fat_size(next);
    bool ok = w.write_dir(top, nullptr, true, label, error) && w.write_fats(next, error);
    dropped = w.dropped_;
    return ok;
}

constexpr uint32_t kFsinfoSector = 1;
constexpr uint32_t kBackupBoot = 6;
constexpr size_t kBootCode = DV_BPB_FS_TYPE + 8; // where the boot code starts

void boot_signature(uint8_t *sector) {
    sector[DV_BPB_SIGNATURE] = 0x55;
    sector[DV_BPB_SIGNATURE + 1] = 0xAA;
}

// FAT12/16: the extended fields follow the 16-bit FAT size, and the boot code them.
void build_boot_sector16(uint8_t *bs, const Geometry &g, const std::string &label, uint32_t id) {
    bs[1] = 0x3C; // the jump over the shorter parameter block
    store16(bs + DV_BPB_ROOT_ENTRIES, kRootEntries);
    if (g.total < 65536)
        store16(bs + DV_BPB_TOTAL_SECTORS16, static_cast<uint32_t>(g.total));
    else
        store32(bs + DV_BPB_TOTAL_SECTORS32, static_cast<uint32_t>(g.total));
    store16(bs + DV_BPB_FAT_SIZE16, g.fat_sectors);
    bs[DV_BPB16_DRIVE_NUMBER] = 0x80;
    bs[DV_BPB16_BOOT_SIGNATURE] = DV_BPB_EXT_BOOT_SIG;
    store32(bs + DV_BPB16_VOLUME_ID, id);
    std::string l = label.empty() ? "NO NAME" : label;
    l.resize(11, ' ');
    std::memcpy(bs + DV_BPB16_VOLUME_LABEL, l.data(), 11);
    std::memcpy(bs + DV_BPB16_FS_TYPE, g.bits == 12 ? "FAT12   " : "FAT16   ", 8);
    static const uint8_t halt[3] = {0xF4, 0xEB, 0xFD};
    std::memcpy(bs + DV_BPB16_FS_TYPE + 8, halt, 3);
}

void build_boot_sector(uint8_t *bs, const Geometry &g, const std::string &label, uint32_t id) {
    static const uint8_t jump[3] = {0xEB, 0x58, 0x90}; // over the parameter block
    std::memcpy(bs + DV_BPB_JUMP, jump, 3);
    std::memcpy(bs + DV_BPB_OEM_NAME, "DORVEX  ", 8);
    store16(bs + DV_BPB_BYTES_PER_SECTOR, 512);
    bs[DV_BPB_SECTORS_PER_CLUSTER] = static_cast<uint8_t>(g.spc);
    store16(bs + DV_BPB_RESERVED_SECTORS, g.reserved);
    bs[DV_BPB_FAT_COUNT] = kFats;
    bs[DV_BPB_MEDIA] = 0xF8;
    store16(bs + DV_BPB_SECTORS_PER_TRACK, kSectorsPerTrack);
    store16(bs + DV_BPB_HEADS, kHeads);
    if (g.bits != 32) {
        build_boot_sector16(bs, g, label, id);
        boot_signature(bs);
        return;
    }
    store32(bs + DV_BPB_TOTAL_SECTORS32, static_cast<uint32_t>(g.total));
    store32(bs + DV_BPB_FAT_SIZE32, g.fat_sectors);
    store32(bs + DV_BPB_ROOT_CLUSTER, 2);
    store16(bs + DV_BPB_FSINFO_SECTOR, kFsinfoSector);
    store16(bs + DV_BPB_BACKUP_BOOT, kBackupBoot);
    bs[DV_BPB_DRIVE_NUMBER] = 0x80;
    bs[DV_BPB_BOOT_SIGNATURE] = DV_BPB_EXT_BOOT_SIG;
    store32(bs + DV_BPB_VOLUME_ID, id);
    std::string l = label.empty() ? "NO NAME" : label;
    l.resize(11, ' ');
    std::memcpy(bs + DV_BPB_VOLUME_LABEL, l.data(), 11);
    std::memcpy(bs + DV_BPB_FS_TYPE, "FAT32   ", 8);
    // Not bootable: a jump target that halts.
    static const uint8_t halt[3] = {0xF4, 0xEB, 0xFD};
    std::memcpy(bs + kBootCode, halt, 3);
    boot_signature(bs);
}

void build_fsinfo(uint8_t *fsinfo, uint32_t free_clusters, uint32_t next_free) {
    store32(fsinfo + DV_FSINFO_LEAD_SIG, DV_FSINFO_LEAD_VALUE);
    store32(fsinfo + DV_FSINFO_STRUCT_SIG, DV_FSINFO_STRUCT_VALUE);
    store32(fsinfo + DV_FSINFO_FREE_COUNT, free_clusters);
    store32(fsinfo + DV_FSINFO_NEXT_FREE, next_free);
    store32(fsinfo + DV_FSINFO_TRAIL_SIG, DV_FSINFO_TRAIL_VALUE);
}

// The boot sector, FSInfo and the third reserved sector, then their backup.
bool write_boot_sectors(const OutputFile &out, const Geometry &g, const std::string &label,
                        uint32_t id, uint32_t next, uint32_t dropped, std::string &error) {
    uint8_t bs[512] = {};
    build_boot_sector(bs, g, label, id);
    // FAT12/16 have neither FSInfo nor a backup boot sector.
    if (g.bits != 32) return write_all(out.fd(), bs, 512, 0) || out.failed(error);
    uint8_t fsinfo[512] = {};
    build_fsinfo(fsinfo, g.clusters - (next - 2) + dropped, next);
    uint8_t third[512] = {};
    boot_signature(third);
    for (uint64_t base : {uint64_t{0}, uint64_t{kBackupBoot}}) {
        if (!write_all(out.fd(), bs, 512, base * 512) ||
            !write_all(out.fd(), fsinfo, 512, (base + kFsinfoSector) * 512) ||
            !write_all(out.fd(), third, 512, (base + 2) * 512))
            return out.failed(error);
    }
    return true;
}

} // namespace

bool write_image(const MkNode &root, const std::string &out, const MkOptions &opts,
                 std::string &error, const MkWarn &warn) {
    std::string label;
    if (!check_label(opts.label, label, error)) return false;
    if (!check_cluster_bytes(opts.cluster_bytes, error)) return false;
    Laid top;
    bool has_label = !label.empty();
    if (!prepare(root, top, "/", has_label, error)) return false;
    Size size = choose_size(top, opts, has_label);
    Geometry g;
    if (opts.fat_bits != 12 && opts.fat_bits != 16 && opts.fat_bits != 32) {
        error = "the FAT type must be 12, 16 or 32";
        return false;
    }
    if (!plan_geometry(size, top, has_label, opts.fat_bits, g, error)) return false;
    uint32_t next = 2;
    allocate(top, size.cluster_bytes, true, has_label, opts.fat_bits != 32, next);

    // Ctrl-C while writing: the half-written image is removed (see OutputFile).
    const StopSignals stop_signals;
    OutputFile file(out);
    if (!file.create(opts.force, size.total * 512, error)) return false;
    uint32_t dropped = 0;
    if (!write_tree(file.fd(), g, size.cluster_bytes, top, label, next, opts.utc, warn, dropped,
                    error))
        return false;
    uint32_t id = opts.volume_id ? opts.volume_id
                                 : static_cast<uint32_t>(time(nullptr)) * 2654435761u ^ 0x5A17u;
    if (!write_boot_sectors(file, g, label, id, next, dropped, error)) return false;
    return file.finish(error);
}

bool mkimage(const std::string &src, const std::string &out, const MkOptions &opts,
             const MkWarn &warn, std::string &error) {
    MkNode root;
    Exclude ex;
    struct stat st {};
    if (stat(out.c_str(), &st) == 0) {
        // Refused before the scan, which may take long; create() checks again.
        if (!S_ISREG(st.st_mode)) return refuse_output(out, st.st_mode, error);
        if (!opts.force) return exists_error(out, error);
        ex.set = true;
        ex.dev = st.st_dev;
        ex.ino = st.st_ino;
    }
    if (!scan_root(src, root, warn, error, ex)) return false;
    return write_image(root, out, opts, error, warn);
}

} // namespace dvcli
