// Builds a FAT12, FAT16 or FAT32 image from a tree of files: from a host directory (the
// `dorvex mkimage` command) or from a tree described in memory (test
// fixtures). Directory entries are encoded with the library's dv_writeentry:
// every file gets a long name and a unique 8.3 name with a numeric tail where
// needed. Writes both FATs, and on FAT32 the FSInfo sector and the backup boot
// sector; FAT12/16 get a fixed root directory of 512 entries.
#ifndef DORVEX_CLI_MKIMAGE_H
#define DORVEX_CLI_MKIMAGE_H

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace dvcli {

struct MkNode {
    std::string name;        // long name, UTF-8 (checked for FAT rules)
    std::u16string raw_name; // when not empty: used as the long name unchecked
    std::string raw_short;   // when 11 bytes: used as the 8.3 name unchecked
    bool dir = false;
    std::string host_path;     // file contents from this host file ...
    std::string data;          // ... or these bytes
    uint64_t size = 0;         // set by scan_host_dir / from `data`
    int64_t mtime = 315532800; // host time: seconds since 1970 (UTC); 1980-01-01 by default
    int64_t atime = 315532800;
    int64_t ctime = 315532800;
    uint8_t attr = 0; // extra attribute bits (read-only, hidden, system)
    std::vector<MkNode> children;
};

struct MkOptions {
    uint64_t size_bytes = 0;    // 0: just large enough (FAT32: at least about 33 MiB)
    uint32_t cluster_bytes = 0; // 0: chosen from the size
    std::string label;          // empty: no label ("NO NAME")
    bool force = false;         // overwrite an existing output file
    uint32_t volume_id = 0;     // 0: derived from the clock
    uint32_t fat_bits = 32;     // 12, 16 or 32
    bool utc = false;           // store times as UTC, not as the host's local wall clock
};

// Why an entry was left out: excluded, as FAT cannot hold it (its name, 4 GiB
// or more, a symbolic link to a directory) or as it is the output image; or
// unreadable (vanished, refused, an I/O error, a dangling link, not a regular
// file), which leaves the image short of what was asked for.
enum class MkSkip { excluded, unreadable };
using MkWarn = std::function<void(const std::string &, MkSkip)>;

// A directory holds at most this many 32-byte entries, long-name entries and
// the dot entries included: FAT's 16-bit entry index.
constexpr uint32_t kMaxDirEntries = 65536;

// Clusters are a power of two from 512 bytes to this: 64 KiB clusters are
// valid FAT, but many readers (and mkfs.fat without a warning) stop at 32 KiB.
constexpr uint32_t kMaxClusterBytes = 32768;

// Reads the host directory `dir` into `root` (a directory node). Entries
// that FAT cannot hold or that cannot be read are left out with a warning.
bool scan_host_dir(const std::string &dir, MkNode &root, const MkWarn &warn, std::string &error);

// Writes the image of `root` to `out`. A host file that cannot be read when
// its data is copied is left out of the image with a warning (without `warn`,
// silently). False with a message in `error` when no image could be written;
// `out` must be a regular file or not exist.
bool write_image(const MkNode &root, const std::string &out, const MkOptions &opts,
                 std::string &error, const MkWarn &warn = {});

// scan_host_dir + write_image.
bool mkimage(const std::string &src, const std::string &out, const MkOptions &opts,
             const MkWarn &warn, std::string &error);

// The 8.3 names of one directory so far, and per basis name the next
// numeric tail to try, so that many alike names take linear time.
struct ShortNames {
    std::unordered_set<std::string> used = {".          ", "..         "};
    std::unordered_map<std::string, uint32_t> next_tail;
};

// The 11-byte 8.3 name for `long_name` (UTF-8) that is not yet used, which
// it is added to: the name itself when it is a valid 8.3 name in upper
// case, else a basis name with a numeric tail (~1, ~2, ...).
std::string make_short_name(const std::string &long_name, ShortNames &names);

// Parses "64M", "1G", "512K", "33554432". False if malformed.
bool parse_size(const std::string &text, uint64_t &out);

} // namespace dvcli

#endif
