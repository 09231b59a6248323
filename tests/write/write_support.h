// Write-path tests: an image made by mkfs.fat, held in memory and mirrored to its file
// sector by sector (so fsck.fat and mtools see every write at once), with a writer that
// can stop after a number of writes to play a power loss.
#pragma once

#include "support/tools.h"
#include "support/tracking_alloc.h"

#include <dorvex/writefat.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace dvtest {

struct WriteTools {
    std::string mkfs = find_tool("mkfs.fat"), fsck = find_tool("fsck.fat"),
                mcopy = find_tool("mcopy"), mdir = find_tool("mdir");
    bool ok() const { return !mkfs.empty() && !fsck.empty() && !mcopy.empty(); }
};

// A FAT kind: mkfs.fat arguments and the image size in KiB; `grouped`: every volume opened
// runs in a group (writefat_group), synced at close; `config`: the memory it is opened with
// (null: WRITEFAT_CONFIG_FAST).
struct FatKind {
    const char *label;
    const char *mkfs_args;
    unsigned kib;
    bool grouped = false;
    const writefat_config *config = nullptr;
};

// The small preset, and the same with a directory cache of two logical sectors and a
// group of four directory sectors: the tightest memory the write path runs in.
const writefat_config *small_config();
const writefat_config *tight_config();
inline void PrintTo(const FatKind &k, std::ostream *os) {
    *os << k.label;
}

class WImage {
  public:
    WImage(const WriteTools &t, const FatKind &kind, const std::string &dir);
    ~WImage();
    WImage(const WImage &) = delete;
    WImage &operator=(const WImage &) = delete;

    // Opens the volume (null on failure, `err` set); writes after `limit` fail (-1: none).
    writefat_volume *open(long limit = -1, uint32_t flags = 0);
    // Makes the present state the one restore() returns to.
    void commit();
    void restore();
    // fsck.fat -n: whether it finds nothing, or with `crash_findings_ok` nothing but what a
    // crash may leave (dirty flag, stale free count, lost clusters, differing FAT copies;
    // with `shared_ok` also one chain under two names). `report` receives its output.
    // `lost_ok` false: lost clusters, orphaned long-name parts and a boot label unlike the
    // root's are findings too (what writefat_reclaim mends).
    bool fsck(std::string *report, bool crash_findings_ok, bool shared_ok = false,
              bool lost_ok = true);
    // Sets FAT[1]'s clean bit (FAT16/32), so that the next open takes the volume as it is
    // instead of reclaiming what a cut left.
    void mark_clean();
    // The reader callback over `cur` (reader_data: the WImage).
    static int32_t read_sectors(void *data, void *buf, uint64_t sector, uint32_t count);

    std::string path;
    std::vector<uint8_t> cur, base;
    std::set<uint64_t> touched;
    long limit = -1, writes = 0;
    int fail_code = EIO; // what the writer reports past `limit`
    int fd = -1, err = 0;
    bool grouped = false;
    bool long_chain_ok = false; // fsck may find a chain longer than its file (a cut append)
    const writefat_config *config = nullptr;
    size_t misalign = 0;           // bytes by which open() shifts every block of `alloc`
    long unaligned = 0;            // writer calls given a buffer that is not 512-byte aligned
    long reads = 0;                // reader calls
    std::set<uint64_t> unreadable; // sectors whose reads fail (EIO) until they are written
    const WriteTools &tools;
    TrackingAlloc alloc; // every block back when the image goes
};

// Copies `data` into a new file at `path` of the volume; returns 0 or the code.
int put(writefat_volume *w, const char *path, const std::string &data, uint32_t flags = 0,
        int64_t mtime = 1700000000);
// `n` bytes of a seeded pseudo-random pattern.
std::string pattern(size_t n, unsigned seed);
// Removes `path` and everything below it (writefat_remove_tree); 0 or the code.
int remove_tree(writefat_volume *w, const std::string &path);
// Size and hash of `data`: what the trees below hold for each file.
std::string digest(const std::string &data);
// The whole volume as mcopy reads it back: relative path -> digest ("/" suffix: directory, "").
std::map<std::string, std::string> mtools_tree(const WImage &img, const std::string &scratch);
// The same read by the library's own reader (names as stored, NT case applied).
std::map<std::string, std::string> reader_tree(writefat_volume *w);
// The same through a read-only mount of the image, which changes nothing.
std::map<std::string, std::string> reader_tree(WImage &img);

} // namespace dvtest
