#include "support/fat_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>

namespace dvtest {

namespace {

[[noreturn]] void die(const char *what) {
    // A broken test setup is not a finding about the library: stop loudly.
    std::fprintf(stderr, "fat_image: %s\n", what);
    std::abort();
}

void put16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
uint32_t get32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

const int kLfnUnitOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

bool valid_83_char(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return true;
    if (c >= '0' && c <= '9') return true;
    return std::strchr("!#$%&'()-@^_`{}~", c) != nullptr && c != 0;
}

// "README.TXT" -> "README  TXT" when the name is a valid upper-case 8.3 name.
bool as_83(const std::string &name, std::string &out) {
    if (name.empty() || name == "." || name == "..") return false;
    size_t dot = name.find('.');
    std::string base = name.substr(0, dot);
    std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
    if (dot != std::string::npos && ext.empty()) return false;
    for (unsigned char c : base)
        if (!valid_83_char(c)) return false;
    for (unsigned char c : ext)
        if (!valid_83_char(c)) return false;
    out = base + std::string(8 - base.size(), ' ') + ext + std::string(3 - ext.size(), ' ');
    return true;
}

std::string alnum_upper(const std::string &s, size_t max) {
    std::string r;
    for (unsigned char c : s) {
        if (r.size() == max) break;
        if (c >= 'a' && c <= 'z') c = uint8_t(c - 'a' + 'A');
        if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) r += char(c);
    }
    return r;
}

// A "~n" short name, unique within a directory through n.
std::string generated_83(const std::string &name, unsigned n) {
    size_t dot = name.rfind('.');
    std::string ext =
        dot == std::string::npos || dot == 0 ? "" : alnum_upper(name.substr(dot + 1), 3);
    std::string tail = "~" + std::to_string(n);
    std::string base = alnum_upper(name.substr(0, dot == 0 ? std::string::npos : dot), 8);
    if (base.empty()) base = "F";
    base = base.substr(0, 8 - tail.size()) + tail;
    return base + std::string(8 - base.size(), ' ') + ext + std::string(3 - ext.size(), ' ');
}

// The name a reader builds from 8.3 bytes (ASCII only here).
std::u16string name_from_83(const std::string &sn) {
    std::string base = sn.substr(0, 8), ext = sn.substr(8, 3);
    while (!base.empty() && base.back() == ' ') base.pop_back();
    std::string r = base;
    if (ext[0] != ' ') {
        r += '.';
        for (char c : ext) {
            if (c == ' ') break;
            r += c;
        }
    }
    return utf16(r);
}

} // namespace

// ---- Text ------------------------------------------------------------------------------

std::u16string utf16(const std::string &s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = uint8_t(s[i]);
        uint32_t cp;
        size_t n;
        if (c < 0x80)
            cp = c, n = 1;
        else if ((c & 0xE0) == 0xC0)
            cp = c & 0x1F, n = 2;
        else if ((c & 0xF0) == 0xE0)
            cp = c & 0x0F, n = 3;
        else if ((c & 0xF8) == 0xF0)
            cp = c & 0x07, n = 4;
        else
            die("utf16: bad UTF-8 lead byte");
        if (i + n > s.size()) die("utf16: truncated UTF-8");
        for (size_t k = 1; k < n; ++k) cp = cp << 6 | (uint8_t(s[i + k]) & 0x3F);
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += char16_t(0xD800 + (cp >> 10));
            out += char16_t(0xDC00 + (cp & 0x3FF));
        } else {
            out += char16_t(cp);
        }
    }
    return out;
}

std::string utf8(const std::u16string &u) {
    std::string out;
    for (size_t i = 0; i < u.size(); ++i) {
        uint32_t cp = u[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < u.size() && u[i + 1] >= 0xDC00 &&
            u[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (u[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | cp >> 6);
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | cp >> 12);
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | cp >> 18);
            out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::u16string to_u16(const dv_name &n) {
    return std::u16string(reinterpret_cast<const char16_t *>(n.units),
                          std::min<size_t>(n.len, 256));
}

std::string to_utf8(const dv_name &n) {
    return utf8(to_u16(n));
}

uint8_t shortname_checksum(const uint8_t *name11) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = uint8_t(((sum & 1) << 7) + (sum >> 1) + name11[i]);
    return sum;
}

dv_entry make_record(const std::u16string &name, const std::string &shortname, uint8_t attr,
                     uint32_t cluster, uint32_t size) {
    if (name.size() > DV_NAME_MAX) die("make_record: name longer than 255 units");
    if (shortname.size() != 11) die("make_record: shortname must have 11 bytes");
    dv_entry e;
    std::memset(&e, 0, sizeof e);
    e.name.len = uint16_t(name.size());
    for (size_t i = 0; i < name.size(); ++i) e.name.units[i] = name[i];
    e.name.units[name.size()] = 0;
    e.cluster = cluster;
    e.size = size;
    e.attr = attr;
    std::memcpy(e.shortname, shortname.data(), 11);
    // 2020-06-15 12:34:56 UTC: inside the FAT range, so every field is written.
    e.ctime.sec = e.mtime.sec = 1592224496;
    e.atime.sec = 1592179200;
    return e;
}

// ---- Raw entries -------------------------------------------------------------------------

RawEntry raw_short(const std::string &shortname, uint8_t attr, uint32_t cluster, uint32_t size) {
    if (shortname.size() != 11) die("raw_short: shortname must have 11 bytes");
    RawEntry e{};
    std::memcpy(e.data(), shortname.data(), 11);
    e[DV_DIRENT_ATTR] = attr;
    put16(&e[DV_DIRENT_CLUSTER_HI], uint16_t(cluster >> 16));
    put16(&e[DV_DIRENT_CLUSTER_LO], uint16_t(cluster));
    put32(&e[DV_DIRENT_SIZE_FIELD], size);
    // 2020-06-15 12:34:56
    put16(&e[DV_DIRENT_CTIME], uint16_t(12 << 11 | 34 << 5 | 28));
    put16(&e[DV_DIRENT_CDATE], uint16_t(40 << 9 | 6 << 5 | 15));
    put16(&e[DV_DIRENT_ADATE], uint16_t(40 << 9 | 6 << 5 | 15));
    put16(&e[DV_DIRENT_MTIME], uint16_t(12 << 11 | 34 << 5 | 28));
    put16(&e[DV_DIRENT_MDATE], uint16_t(40 << 9 | 6 << 5 | 15));
    return e;
}

RawEntry raw_lfn(uint8_t seq, const std::u16string &name, uint8_t checksum) {
    RawEntry e{};
    e[DV_LFN_SEQ] = seq;
    e[DV_LFN_ATTR] = DV_ATTR_LFN;
    e[DV_LFN_CHECKSUM] = checksum;
    size_t base = (size_t((seq & 0x1F)) - 1) * 13;
    if ((seq & 0x1F) == 0) base = 0;
    for (int k = 0; k < 13; ++k) {
        size_t p = base + size_t(k);
        uint16_t u = p < name.size() ? uint16_t(name[p]) : p == name.size() ? 0 : 0xFFFF;
        put16(&e[size_t(kLfnUnitOffsets[k])], u);
    }
    return e;
}

DirEntries &DirEntries::add_long(const dv_entry &rec) {
    // The writer only needs a context for its error field.
    dv_ctx ctx;
    std::memset(&ctx, 0, sizeof ctx);
    std::vector<RawEntry> run(DV_NAME_MAX / 13 + 3);
    const dv_entry *rp = &rec;
    int count = 1;
    uint8_t *ep = run[0].data();
    unsigned room = unsigned(run.size());
    int r = dv_writeentry(&ctx, &rp, &count, &ep, &room);
    if (r != 0 || count != 0) die("add_long: dv_writeentry failed");
    size_t used = size_t(ep - run[0].data()) / DV_DIRENT_SIZE;
    // The writer may add an end mark after the run; it is not part of the run.
    size_t want = size_t(rec.name.len) / 13 + 2;
    if (used < want) die("add_long: dv_writeentry wrote a short run");
    entries_.insert(entries_.end(), run.begin(), run.begin() + ptrdiff_t(want));
    return *this;
}

DirEntries &DirEntries::add_long(const std::u16string &name, const std::string &shortname,
                                 uint8_t attr, uint32_t cluster, uint32_t size) {
    return add_long(make_record(name, shortname, attr, cluster, size));
}

DirEntries &DirEntries::add_short(const std::string &shortname, uint8_t attr, uint32_t cluster,
                                  uint32_t size) {
    entries_.push_back(raw_short(shortname, attr, cluster, size));
    return *this;
}

DirEntries &DirEntries::add_dots(uint32_t self, uint32_t parent) {
    add_short(".          ", DV_ATTR_DIRECTORY, self, 0);
    add_short("..         ", DV_ATTR_DIRECTORY, parent, 0);
    return *this;
}

DirEntries &DirEntries::add_raw(const RawEntry &e) {
    entries_.push_back(e);
    return *this;
}

DirEntries &DirEntries::pad_to(size_t count) {
    char sn[12];
    for (unsigned i = 0; entries_.size() < count; ++i) {
        std::snprintf(sn, sizeof sn, "PAD%05u   ", i % 100000);
        add_short(sn, DV_ATTR_ARCHIVE, 0, 0);
    }
    return *this;
}

// ---- Image ---------------------------------------------------------------------------------

FatImage::FatImage(const FatGeometry &g) : g_(g) {
    if (g_.sectors_per_cluster == 0)
        die("geometry: sectors_per_cluster 0 (set the boot byte instead)");
    const uint32_t entries = g_.cluster_count + 2;
    const uint32_t fat_bytes = g_.fat_bits == 12 ? entries * 3 / 2 + 1 : entries * g_.fat_bits / 8;
    fat_sectors_ = g_.fat_sectors ? g_.fat_sectors : (fat_bytes + 511) / 512;
    end_sector_ =
        data_start() + uint64_t(g_.cluster_count) * g_.sectors_per_cluster + g_.extra_sectors;
    uint64_t medium = end_sector_ + g_.trailing_sectors;
    if (g_.stored_sectors && g_.stored_sectors < medium) medium = g_.stored_sectors;
    disk_.assign(size_t(medium) * kSector, 0);
    taken_.assign(size_t(g_.cluster_count) + 2, false);

    uint8_t *b = boot();
    b[0] = 0xEB, b[1] = 0x58, b[2] = 0x90;
    std::memcpy(b + 3, "DORVTEST", 8);
    put16(b + 11, 512);
    b[13] = uint8_t(g_.sectors_per_cluster);
    put16(b + 14, uint16_t(g_.reserved_sectors));
    b[16] = uint8_t(g_.fat_count);
    b[21] = 0xF8;
    put16(b + 24, 63);
    put16(b + 26, 255);
    put32(b + 28, uint32_t(g_.start_sector));
    const uint32_t total = uint32_t(end_sector_ - g_.start_sector);
    if (g_.fat_bits != 32) {
        put16(b + 17, uint16_t(g_.root_entries));
        if (total < 65536)
            put16(b + 19, uint16_t(total));
        else
            put32(b + 32, total);
        put16(b + 22, uint16_t(fat_sectors_));
        b[36] = 0x80;
        b[38] = 0x29;
        put32(b + 39, 0x20201215);
        std::memcpy(b + 43, g_.fat_bits == 12 ? "NO NAME    FAT12   " : "NO NAME    FAT16   ", 19);
    } else {
        put32(b + 32, total);
        put32(b + 36, fat_sectors_);
        put32(b + 44, g_.root_cluster);
        put16(b + 48, 1);
        put16(b + 50, 6); // fsck.fat wants one; copy the boot sector there if it matters
        b[64] = 0x80;
        b[66] = 0x29;
        put32(b + 67, 0x20201215);
        std::memcpy(b + 71, "NO NAME    FAT32   ", 19);
    }
    b[510] = 0x55, b[511] = 0xAA;
    // FSInfo at sector 1 (free counts unknown), so that fsck.fat accepts the image.
    if (g_.fat_bits == 32 && g_.reserved_sectors >= 2) {
        uint8_t *fsi = sector(g_.start_sector + 1);
        put32(fsi, 0x41615252);
        put32(fsi + 484, 0x61417272);
        put32(fsi + 488, 0xFFFFFFFF);
        put32(fsi + 492, 0xFFFFFFFF);
        put32(fsi + 508, 0xAA550000);
    }

    if (g_.fat_count > 0 && fat_sectors_ > 0) {
        set_fat(0, 0x0FFFFFF8);
        set_fat(1, 0x0FFFFFFF);
        if (g_.fat_bits == 32 && g_.root_cluster >= 2 && g_.root_cluster < g_.cluster_count + 2) {
            set_fat(g_.root_cluster, kEndOfChain);
            taken_[g_.root_cluster] = true;
        }
    }
}

uint8_t *FatImage::sector(uint64_t abs) {
    if ((abs + 1) * kSector > disk_.size()) die("sector outside the medium");
    return disk_.data() + abs * kSector;
}

uint8_t *FatImage::cluster(uint32_t n) {
    if (n < 2 || n >= g_.cluster_count + 2) die("cluster outside the data area");
    return sector(cluster_sector(n));
}

void FatImage::set_boot8(uint32_t off, uint8_t v) {
    boot()[off] = v;
}
void FatImage::set_boot16(uint32_t off, uint16_t v) {
    put16(boot() + off, v);
}
void FatImage::set_boot32(uint32_t off, uint32_t v) {
    put32(boot() + off, v);
}
void FatImage::set_signature(bool present) {
    boot()[510] = present ? 0x55 : 0;
    boot()[511] = present ? 0xAA : 0;
}

void FatImage::set_fat(uint32_t n, uint32_t value, bool first_only) {
    uint32_t copies = first_only ? 1 : g_.fat_count;
    if (g_.fat_bits != 32) {
        // Byte by byte: a FAT12 entry may straddle two sectors.
        const uint64_t off = g_.fat_bits == 12 ? uint64_t(n) * 3 / 2 : uint64_t(n) * 2;
        if ((off + 1) / kSector >= fat_sectors_) die("set_fat: cluster beyond the FAT");
        for (uint32_t f = 0; f < copies; ++f) {
            uint8_t *fat0 = sector(fat_start() + uint64_t(f) * fat_sectors_);
            uint32_t old = fat0[off] | uint32_t(fat0[off + 1]) << 8, v = value & 0xFFFF;
            if (g_.fat_bits == 12)
                v = n % 2 ? (old & 0x000F) | (value & 0xFFF) << 4
                          : (old & 0xF000) | (value & 0xFFF);
            fat0[off] = uint8_t(v);
            fat0[off + 1] = uint8_t(v >> 8);
        }
        return;
    }
    uint64_t rel = uint64_t(n) / 128;
    if (rel >= fat_sectors_) die("set_fat: cluster beyond the FAT");
    for (uint32_t f = 0; f < copies; ++f)
        put32(sector(fat_start() + uint64_t(f) * fat_sectors_ + rel) + (n % 128) * 4, value);
}

uint32_t FatImage::fat(uint32_t n) const {
    if (g_.fat_bits != 32) {
        const uint64_t off = g_.fat_bits == 12 ? uint64_t(n) * 3 / 2 : uint64_t(n) * 2;
        if ((off + 1) / kSector >= fat_sectors_) die("fat: cluster beyond the FAT");
        const uint8_t *fat0 = disk_.data() + fat_start() * kSector;
        const uint32_t v = fat0[off] | uint32_t(fat0[off + 1]) << 8;
        return g_.fat_bits == 16 ? v : n % 2 ? v >> 4 : v & 0xFFF;
    }
    uint64_t rel = uint64_t(n) / 128;
    if (rel >= fat_sectors_) die("fat: cluster beyond the FAT");
    return get32(disk_.data() + (fat_start() + rel) * kSector + (n % 128) * 4);
}

void FatImage::link(const std::vector<uint32_t> &chain, uint32_t end) {
    for (size_t i = 0; i < chain.size(); ++i)
        set_fat(chain[i], i + 1 < chain.size() ? chain[i + 1] : end);
}

uint32_t FatImage::take_free(uint32_t from) {
    for (uint32_t n = std::max<uint32_t>(from, 2); n < g_.cluster_count + 2; ++n) {
        if (taken_[n] || fat(n) != 0) continue;
        taken_[n] = true;
        return n;
    }
    die("alloc_cluster: the data area is full");
}

uint32_t FatImage::alloc_cluster() {
    // next_free_ is the lowest cluster that may still be free.
    uint32_t n = take_free(next_free_);
    next_free_ = n + 1;
    return n;
}

std::vector<uint32_t> FatImage::alloc_chain(uint32_t n, Spread spread, uint32_t seed) {
    std::vector<uint32_t> c;
    if (spread != Spread::gapped) {
        for (uint32_t i = 0; i < n; ++i) c.push_back(alloc_cluster());
    } else {
        // Every other free cluster: the holes stay free for whatever is allocated later.
        uint32_t pos = next_free_, first_hole = 0;
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t k = take_free(pos);
            c.push_back(k);
            pos = k + 1;
            if (i + 1 == n) break;
            while (pos < g_.cluster_count + 2 && (taken_[pos] || fat(pos) != 0)) ++pos;
            if (!first_hole) first_hole = pos;
            ++pos;
        }
        next_free_ = first_hole ? std::min(first_hole, pos) : pos;
    }
    if (spread == Spread::reversed) std::reverse(c.begin(), c.end());
    if (spread == Spread::shuffled) {
        std::mt19937 rng(seed);
        for (size_t i = c.size(); i > 1; --i) std::swap(c[i - 1], c[rng() % i]);
    }
    return c;
}

void FatImage::write_data(const std::vector<uint32_t> &chain, const std::string &data,
                          bool link_chain) {
    const uint32_t cb = cluster_bytes();
    if (uint64_t(chain.size()) * cb < data.size()) die("write_data: chain too short");
    for (size_t i = 0; i < chain.size(); ++i) {
        uint8_t *p = cluster(chain[i]);
        size_t off = i * cb;
        size_t n = off < data.size() ? std::min<size_t>(cb, data.size() - off) : 0;
        if (n) std::memcpy(p, data.data() + off, n);
        std::memset(p + n, 0, cb - n);
    }
    if (link_chain) link(chain);
}

void FatImage::write_dir(const std::vector<uint32_t> &chain, const DirEntries &d, bool link_chain) {
    std::string bytes;
    bytes.reserve(d.size() * DV_DIRENT_SIZE);
    for (const RawEntry &e : d.entries())
        bytes.append(reinterpret_cast<const char *>(e.data()), e.size());
    write_data(chain, bytes, link_chain);
}

std::vector<uint32_t> FatImage::place_dir(const DirEntries &d, Spread spread) {
    uint32_t n = uint32_t((d.size() * DV_DIRENT_SIZE + cluster_bytes() - 1) / cluster_bytes());
    auto chain = alloc_chain(std::max<uint32_t>(n, 1), spread);
    write_dir(chain, d);
    return chain;
}

uint8_t *FatImage::root_entry(size_t i) {
    if (g_.fat_bits == 32 || i >= g_.root_entries) die("root_entry: no such root entry");
    return sector(root_start()) + i * DV_DIRENT_SIZE;
}

std::vector<uint32_t> FatImage::place_root(const DirEntries &d) {
    if (g_.fat_bits != 32) {
        if (d.size() > g_.root_entries) die("place_root: the fixed root is full");
        std::memset(sector(root_start()), 0, size_t(root_sectors()) * kSector);
        for (size_t i = 0; i < d.size(); ++i)
            std::memcpy(root_entry(i), d[i].data(), DV_DIRENT_SIZE);
        return {};
    }
    uint32_t n = uint32_t((d.size() * DV_DIRENT_SIZE + cluster_bytes() - 1) / cluster_bytes());
    std::vector<uint32_t> chain{g_.root_cluster};
    while (chain.size() < n) chain.push_back(alloc_cluster());
    write_dir(chain, d);
    return chain;
}

uint8_t *FatImage::dir_entry(const std::vector<uint32_t> &chain, size_t i) {
    size_t per = entries_per_cluster();
    if (i / per >= chain.size()) die("dir_entry: index beyond the chain");
    return cluster(chain[i / per]) + (i % per) * DV_DIRENT_SIZE;
}

// ---- Tree layout -----------------------------------------------------------------------------

TreeLayout &TreeLayout::add(const TreeItem &item) {
    items_.push_back(item);
    return *this;
}

TreeLayout &TreeLayout::file(const std::string &path, const std::string &data,
                             FatImage::Spread spread) {
    TreeItem it;
    it.path = path;
    it.data = data;
    it.spread = spread;
    return add(it);
}

TreeLayout &TreeLayout::dir(const std::string &path) {
    TreeItem it;
    it.path = path;
    it.is_dir = true;
    return add(it);
}

const TreeNode *TreeLayout::find(const std::string &path) const {
    for (const TreeNode &n : nodes_)
        if (n.path == path) return &n;
    return nullptr;
}

namespace {
std::string parent_of(const std::string &p) {
    size_t s = p.rfind('/');
    return s == std::string::npos ? "" : p.substr(0, s);
}
std::string leaf_of(const std::string &p) {
    size_t s = p.rfind('/');
    return s == std::string::npos ? p : p.substr(s + 1);
}
} // namespace

std::vector<std::u16string> TreeLayout::children(const std::string &dir) const {
    for (const auto &[d, names] : listing_)
        if (d == dir) return names;
    return {};
}

void TreeLayout::finish() {
    // Directories (with the implied parents) in first-mention order; the root first.
    std::vector<std::string> dirs{""};
    std::map<std::string, size_t> item_of;
    auto note_dir = [&](const std::string &p) {
        std::vector<std::string> chain;
        for (std::string q = p; !q.empty(); q = parent_of(q)) chain.push_back(q);
        for (auto it = chain.rbegin(); it != chain.rend(); ++it)
            if (std::find(dirs.begin(), dirs.end(), *it) == dirs.end()) dirs.push_back(*it);
    };
    for (size_t i = 0; i < items_.size(); ++i) {
        const TreeItem &it = items_[i];
        note_dir(it.is_dir ? it.path : parent_of(it.path));
        item_of[it.path] = i;
    }
    // Every entry of every directory, in order: listed items, then implied directories.
    std::map<std::string, std::vector<std::string>> kids;
    for (const std::string &d : dirs)
        if (!d.empty()) {
            auto &v = kids[parent_of(d)];
            if (std::find(v.begin(), v.end(), d) == v.end() && !item_of.count(d)) v.push_back(d);
        }
    std::map<std::string, std::vector<std::string>> ordered;
    for (const TreeItem &it : items_) ordered[parent_of(it.path)].push_back(it.path);
    for (auto &[d, v] : kids)
        for (const std::string &p : v) ordered[d].push_back(p);

    nodes_.clear();
    listing_.clear();
    std::map<std::string, size_t> node_of;
    auto node = [&](const std::string &p, bool is_dir) -> TreeNode & {
        auto f = node_of.find(p);
        if (f != node_of.end()) return nodes_[f->second];
        TreeNode n;
        n.path = p;
        n.is_dir = is_dir;
        node_of[p] = nodes_.size();
        nodes_.push_back(n);
        return nodes_.back();
    };
    // First clusters of directories, then file data. A fixed root region has no cluster.
    const bool fixed_root = img_.geometry().fat_bits != 32;
    for (const std::string &d : dirs) {
        TreeNode &n = node(d, true);
        n.first_cluster = !d.empty() ? img_.alloc_cluster() : fixed_root ? 0 : img_.root_cluster();
        if (n.first_cluster) n.chain = {n.first_cluster};
    }
    for (const TreeItem &it : items_) {
        if (it.is_dir) continue;
        TreeNode &n = node(it.path, false);
        n.data = it.data;
        uint32_t cb = img_.cluster_bytes();
        uint32_t count = uint32_t((it.data.size() + cb - 1) / cb);
        n.chain = img_.alloc_chain(count, it.spread, uint32_t(it.data.size()) + 7);
        n.first_cluster = n.chain.empty() ? 0 : n.chain[0];
        if (!n.chain.empty()) img_.write_data(n.chain, it.data);
    }
    // Directory contents.
    for (const std::string &d : dirs) {
        DirEntries e;
        size_t self = node_of[d];
        if (d.empty()) {
            if (!label_.empty()) e.add_short(label_, DV_ATTR_VOLUME, 0, 0);
        } else {
            std::string par = parent_of(d);
            e.add_dots(nodes_[self].first_cluster,
                       par.empty() ? 0 : nodes_[node_of[par]].first_cluster);
        }
        unsigned tilde = 0;
        listing_.push_back({d, {}});
        for (const std::string &p : ordered[d]) {
            auto ii = item_of.find(p);
            TreeItem it;
            if (ii != item_of.end())
                it = items_[ii->second];
            else
                it.path = p, it.is_dir = true;
            TreeNode &n = node(p, it.is_dir);
            std::string leaf = leaf_of(p);
            std::string sn = it.shortname;
            bool plain83 = sn.empty() && as_83(leaf, sn);
            if (sn.empty()) sn = generated_83(leaf, ++tilde);
            uint8_t attr =
                it.attr ? it.attr : uint8_t(it.is_dir ? DV_ATTR_DIRECTORY : DV_ATTR_ARCHIVE);
            uint32_t size = it.is_dir ? 0 : uint32_t(it.data.size());
            n.shortname = sn;
            if (it.short_only || plain83) {
                e.add_short(sn, attr, n.first_cluster, size);
                n.name = name_from_83(sn);
            } else {
                n.name = utf16(leaf);
                e.add_long(n.name, sn, attr, n.first_cluster, size);
            }
            listing_.back().second.push_back(n.name);
        }
        TreeNode &dn = nodes_[self];
        if (d.empty() && fixed_root) {
            img_.place_root(e);
            continue;
        }
        uint32_t need =
            uint32_t((e.size() * DV_DIRENT_SIZE + img_.cluster_bytes() - 1) / img_.cluster_bytes());
        while (dn.chain.size() < std::max<uint32_t>(need, 1))
            dn.chain.push_back(img_.alloc_cluster());
        img_.write_dir(dn.chain, e);
    }
}

std::string pattern_data(size_t len, uint32_t seed) {
    std::string s(len, '\0');
    uint32_t x = seed * 2654435761u + 12345;
    for (size_t i = 0; i < len; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = char(x >> 24);
    }
    return s;
}

} // namespace dvtest
