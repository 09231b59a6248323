// An in-memory FAT32 (or FAT12/16) medium for tests: a boot sector whose fields the test chooses,
// FATs with chains the test chooses (broken, short, cyclic, pointing anywhere), directory clusters
// built from entry records, and file contents at chosen clusters. A small tree can be laid out
// automatically (clusters allocated, chains written, "." and ".." made).
//
// The image holds the whole medium from sector 0 to the volume's end, so a volume can
// start at any sector (a partition inside a larger disk). Nothing is validated: a test
// may write any bytes anywhere, which is the point.
#pragma once

#include <dorvex/dorvex.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace dvtest {

constexpr uint32_t kSector = 512;
constexpr uint32_t kEndOfChain = 0x0FFFFFFF;

// Layout chosen by the test. fat_sectors 0 means "just enough for cluster_count".
struct FatGeometry {
    uint64_t start_sector = 0; // sector of the boot sector on the medium
    uint32_t sectors_per_cluster = 1;
    uint32_t reserved_sectors = 32;
    uint32_t fat_count = 2;
    uint32_t fat_sectors = 0;
    uint32_t cluster_count = 256; // clusters in the data area (2 .. cluster_count + 1)
    uint32_t root_cluster = 2;
    uint32_t extra_sectors = 0;    // sectors after the last whole cluster (inside the volume)
    uint32_t trailing_sectors = 0; // medium sectors after the volume's end
    uint64_t stored_sectors = 0;   // keep only this many medium sectors (0: all); the
                                   // reader synthesizes the rest (FaultReader::synth)
    uint32_t fat_bits = 32;        // 12 or 16: a FAT12/16 boot sector and a fixed root region
    uint32_t root_entries = 512;   // FAT12/16: entries of the fixed root region
};

// One 32-byte raw directory entry.
using RawEntry = std::array<uint8_t, DV_DIRENT_SIZE>;

// UTF-8 text to UTF-16 units (surrogate pairs above U+FFFF). Invalid input aborts the test.
std::u16string utf16(const std::string &utf8);
std::string utf8(const std::u16string &units);
std::u16string to_u16(const dv_name &n);
std::string to_utf8(const dv_name &n);

// Builds a dv_entry record. `shortname` is the 11 stored bytes (space padded, no dot);
// pass it with exactly 11 characters, e.g. "README  TXT".
dv_entry make_record(const std::u16string &name, const std::string &shortname, uint8_t attr,
                     uint32_t cluster, uint32_t size);

// The 11-byte checksum that ties long-name entries to their short entry.
uint8_t shortname_checksum(const uint8_t *name11);

// A sequence of raw directory entries, in on-disk order.
class DirEntries {
  public:
    // A long-name run plus its short entry, encoded by the library's entry writer.
    DirEntries &add_long(const std::u16string &name, const std::string &shortname, uint8_t attr,
                         uint32_t cluster, uint32_t size);
    DirEntries &add_long(const dv_entry &rec);
    // A short entry standing alone (no long name), written byte by byte.
    DirEntries &add_short(const std::string &shortname, uint8_t attr, uint32_t cluster,
                          uint32_t size);
    // "." and ".." of a subdirectory (cluster 0 for a parent that is the root).
    DirEntries &add_dots(uint32_t self, uint32_t parent);
    // Anything else: damaged runs, deleted entries, labels, end marks.
    DirEntries &add_raw(const RawEntry &e);
    DirEntries &add_end() { return add_raw(RawEntry{}); }
    // Pads with filler entries (deleted 8.3 entries, first byte 0xE5) up to `count`.
    DirEntries &pad_to(size_t count);

    size_t size() const { return entries_.size(); }
    RawEntry &operator[](size_t i) { return entries_[i]; }
    const RawEntry &operator[](size_t i) const { return entries_[i]; }
    const std::vector<RawEntry> &entries() const { return entries_; }

  private:
    std::vector<RawEntry> entries_;
};

// Raw entry helpers for damaged runs.
RawEntry raw_short(const std::string &shortname, uint8_t attr, uint32_t cluster, uint32_t size);
// A long-name entry with sequence byte `seq` carrying units [13*(seq&0x1F)-13, +13) of
// `name` (zero unit after its end, then 0xFFFF), with the given checksum byte.
RawEntry raw_lfn(uint8_t seq, const std::u16string &name, uint8_t checksum);

class FatImage {
  public:
    explicit FatImage(const FatGeometry &g);

    const FatGeometry &geometry() const { return g_; }
    std::vector<uint8_t> &disk() { return disk_; }
    const std::vector<uint8_t> &disk() const { return disk_; }

    // Volume coordinates, as the reader should derive them from the boot sector.
    uint64_t start_sector() const { return g_.start_sector; }
    uint64_t end_sector() const { return end_sector_; } // one past the volume
    uint64_t fat_start() const { return g_.start_sector + g_.reserved_sectors; }
    uint32_t fat_sectors() const { return fat_sectors_; }
    uint64_t root_start() const { return fat_start() + uint64_t(fat_sectors_) * g_.fat_count; }
    uint32_t root_sectors() const {
        return g_.fat_bits == 32 ? 0 : (g_.root_entries * DV_DIRENT_SIZE + kSector - 1) / kSector;
    }
    uint64_t data_start() const { return root_start() + root_sectors(); }
    uint32_t sectors_per_cluster() const { return g_.sectors_per_cluster; }
    uint32_t cluster_bytes() const { return g_.sectors_per_cluster * kSector; }
    uint32_t entries_per_cluster() const { return cluster_bytes() / DV_DIRENT_SIZE; }
    uint32_t cluster_count() const { return g_.cluster_count; }
    uint32_t root_cluster() const { return g_.root_cluster; }
    uint64_t cluster_sector(uint32_t n) const {
        return data_start() + uint64_t(n - 2) * g_.sectors_per_cluster;
    }

    // Byte access. Both abort the test on an address outside the medium.
    uint8_t *sector(uint64_t abs);
    uint8_t *cluster(uint32_t n);
    uint8_t *boot() { return sector(g_.start_sector); }

    // Boot-sector fields (little-endian) at an offset of the boot sector.
    void set_boot8(uint32_t off, uint8_t v);
    void set_boot16(uint32_t off, uint16_t v);
    void set_boot32(uint32_t off, uint32_t v);
    void set_signature(bool present);

    // FAT entries. set_fat writes every FAT copy (or only the first when `first_only`).
    // On FAT12/16 the value is cut to 12 or 16 bits (so kEndOfChain stays an end mark).
    void set_fat(uint32_t n, uint32_t value, bool first_only = false);
    uint32_t fat(uint32_t n) const; // from the first FAT, raw 32 (or 12, 16) bits
    // Links the clusters in order and ends the chain with `end` (any value: an end mark,
    // 0, 1, a cluster past the end, a cluster of the chain itself for a cycle).
    void link(const std::vector<uint32_t> &chain, uint32_t end = kEndOfChain);

    // Cluster allocation for hand-made layouts and the tree builder: hands out clusters
    // whose FAT entry is 0 and that were not handed out before, in ascending order.
    uint32_t alloc_cluster();
    // How a chain of several clusters is spread over the data area.
    enum class Spread {
        contiguous, // n consecutive clusters
        gapped,     // every other free cluster (holes that other chains may fill)
        reversed,   // n consecutive clusters linked from the highest down
        shuffled,   // n consecutive clusters linked in a seeded random order
    };
    std::vector<uint32_t> alloc_chain(uint32_t n, Spread spread = Spread::contiguous,
                                      uint32_t seed = 1);

    // Writes `data` over the clusters of `chain` in order (zero fill after it) and
    // links the chain. The chain must be long enough.
    void write_data(const std::vector<uint32_t> &chain, const std::string &data,
                    bool link_chain = true);
    // Writes raw entries over the clusters of `chain` in order, zero-filling the rest of
    // the last cluster (so an end mark follows unless the entries fill it), and links it.
    void write_dir(const std::vector<uint32_t> &chain, const DirEntries &d, bool link_chain = true);
    // Allocates as many clusters as the entries need (at least one) and writes them.
    std::vector<uint32_t> place_dir(const DirEntries &d, Spread spread = Spread::contiguous);
    // Root directory: root_cluster first, further clusters allocated as needed; on FAT12/16
    // the fixed root region (the chain returned is empty).
    std::vector<uint32_t> place_root(const DirEntries &d);
    // FAT12/16: raw entry i of the fixed root region.
    uint8_t *root_entry(size_t i);

    // Address of raw entry i of a directory laid over `chain`.
    uint8_t *dir_entry(const std::vector<uint32_t> &chain, size_t i);

  private:
    uint32_t take_free(uint32_t from);
    FatGeometry g_;
    uint32_t fat_sectors_ = 0;
    uint64_t end_sector_ = 0;
    uint32_t next_free_ = 2;
    std::vector<bool> taken_;
    std::vector<uint8_t> disk_;
};

// ---- Automatic tree layout -------------------------------------------------------------

// One file or directory of a tree. Paths use '/', in UTF-8, relative to the root.
struct TreeItem {
    std::string path;
    bool is_dir = false;
    std::string data; // file contents
    FatImage::Spread spread = FatImage::Spread::contiguous;
    std::string shortname;   // 11 bytes; empty: generated
    bool short_only = false; // no long name: `shortname` (or the generated one) only
    uint8_t attr = 0;        // 0: DV_ATTR_DIRECTORY or DV_ATTR_ARCHIVE
};

// Where each item ended up.
struct TreeNode {
    std::string path;
    bool is_dir = false;
    uint32_t first_cluster = 0; // 0 for an empty file
    std::vector<uint32_t> chain;
    std::string shortname; // 11 bytes as stored
    std::u16string name;   // the name a listing returns
    std::string data;
};

// Lays a tree into the image: every parent directory that is not listed is created,
// file data is written (with the chosen spread), each directory gets "." and ".." and
// its entries in the order given, and the root directory starts at root_cluster. A name
// that is a valid upper-case 8.3 name is stored as a short entry alone unless the item
// says otherwise; other names get a long-name run and a generated "~n" short name.
// `label` adds a volume-label entry first in the root when not empty.
class TreeLayout {
  public:
    explicit TreeLayout(FatImage &img) : img_(img) {}
    TreeLayout &add(const TreeItem &item);
    TreeLayout &file(const std::string &path, const std::string &data,
                     FatImage::Spread spread = FatImage::Spread::contiguous);
    TreeLayout &dir(const std::string &path);
    TreeLayout &label(const std::string &label11) {
        label_ = label11;
        return *this;
    }
    // Writes everything. Call once, after the last add.
    void finish();

    const TreeNode *find(const std::string &path) const;
    const std::vector<TreeNode> &nodes() const { return nodes_; }
    // Names a listing of `dir` returns after "." and ".." (and the label in the root), in
    // on-disk order.
    std::vector<std::u16string> children(const std::string &dir) const;

  private:
    TreeNode &ensure_dir(const std::string &path);
    FatImage &img_;
    std::vector<TreeItem> items_;
    std::vector<TreeNode> nodes_;
    std::vector<std::pair<std::string, std::vector<std::u16string>>> listing_;
    std::string label_;
};

// Deterministic pseudo-random contents (the same for the same seed and length).
std::string pattern_data(size_t len, uint32_t seed);

} // namespace dvtest
