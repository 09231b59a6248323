// What the exFAT fixtures' oracle files say, parsed: the rawdump of every entry set
// (NAME.raw.txt), The Sleuth Kit's body file (NAME.fls.body) and fsstat output, and the
// driver's manifest (NAME.manifest.json); plus SHA-256 to compare file contents.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace dvtest {

std::string sha256_hex(const std::string &data);

// One stamp as rawdump prints it: local date and time, 10-ms field in ms, UTC offset.
struct RawStamp {
    int64_t local = 0;  // the stored date and time read as if UTC (what TSK reports)
    int ms = 0;         // 0 .. 1990
    bool utc = false;   // the offset byte is valid
    int offset_min = 0; // minutes east of UTC
    int64_t expected() const { return local + ms / 1000 - (utc ? offset_min * 60 : 0); }
};

struct RawSet {
    bool live = true, dir = false;
    std::string path;
    uint32_t attrs = 0, flags = 0, first = 0;
    uint64_t size = 0, valid = 0;
    std::vector<std::pair<uint32_t, uint32_t>> runs; // first cluster, count
    RawStamp created, modified, accessed;
};

struct RawDump {
    uint32_t sector = 0, cluster = 0, clusters = 0, root = 0;
    std::string label;
    std::vector<RawSet> sets;
};
RawDump parse_rawdump(const std::string &path);

struct BodyLine {
    std::string path; // without " (deleted)"
    bool deleted = false, dir = false;
    uint64_t inode = 0, size = 0;
    int64_t atime = 0, mtime = 0, crtime = 0;
};
// The body file's entries, TSK's virtual ones ($MBR, $FAT1, ...) included.
std::vector<BodyLine> parse_body(const std::string &path);

// "Name: value" lines of a text file.
std::map<std::string, std::string> parse_fields(const std::string &path);

struct ManifestEntry {
    std::string path, type, sha256;
    uint64_t size = 0;
    double mtime = -1;
};
struct Manifest {
    std::vector<ManifestEntry> entries, deleted;
};
Manifest parse_manifest(const std::string &path);

} // namespace dvtest
