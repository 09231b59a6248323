// Opening a disk image or device and mounting the chosen FAT volume
// through the library's sector-reader callback.
#ifndef DORVEX_CLI_IMAGE_H
#define DORVEX_CLI_IMAGE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dorvex/readfat.h"

namespace dvcli {

struct Partition {
    uint32_t number = 0; // 1-based: MBR 1-4 primary, 5.. logical; GPT entry index + 1;
                         // El Torito: 1 the default boot image, 2.. the sections' images
    std::string type;    // "0x0c" for MBR, a GUID for GPT, the platform ("0xef") for El Torito
    std::string type_name;
    std::string name;   // GPT partition name (UTF-8)
    uint64_t start = 0; // in 512-byte sectors
    uint64_t sectors = 0;
    bool extended = false;
    bool fat_kind = false; // a type that holds FAT volumes (FAT, EFI system, basic data,
                           // an EFI boot image)
    uint32_t fat = 0;      // 12, 16, 32 or DV_FAT_EXFAT: its first sector is a boot sector
                           // the library mounts
    std::string fs;        // what it holds, as readfat_identify names it; empty when unknown
};

struct PartitionTable {
    std::string kind;      // "none", "MBR", "GPT" or "El Torito"
    uint32_t disk_fat = 0; // sector 0 itself is a FAT boot sector of this type
    std::string disk_fs;   // what the disk holds when it has no table
    std::vector<Partition> parts;
    std::vector<std::string> notes; // oddities found while reading the table
};

// Why a volume holding `fs` (not FAT or exFAT, not empty) cannot be read, e.g. "this is
// an NTFS volume: dorvex reads FAT12, FAT16, FAT32 and exFAT".
std::string not_fat_message(const std::string &fs);

// The partition's file system as listings show it.
inline std::string fs_shown(const Partition &p) {
    return p.extended ? "-" : p.fs.empty() ? "unknown" : p.fs;
}

// How the user chose the volume: -p N, --offset SECTORS, or neither.
struct VolumeChoice {
    std::optional<uint32_t> partition;
    std::optional<uint64_t> offset;
};

class Image {
  public:
    Image() = default;
    ~Image();
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;

    // Opens the file or device, read-only unless `writable`; "-" is standard
    // input. Input that cannot seek (a pipe) is read into memory, up to
    // kPipeLimit bytes or DORVEX_PIPE_LIMIT; a FIFO named by its path that no
    // one writes to is given up after kWriterWait milliseconds (or
    // DORVEX_TEST_PIPE_WAIT). Writable opens only a regular file or a block
    // device: standard input, pipes, FIFOs, sockets, terminals and other
    // character devices are refused at once (nothing opened or read). False
    // with a message in `error`.
    bool open(const std::string &path, std::string &error, bool writable = false);
    // Takes the open image's exclusive lock (flock) for the commands that change it, so
    // that they refuse an image a `dorvex mount` serves (whose caches would go stale)
    // instead of writing under it. False with a message in `error` when another holds
    // a lock; a file system without locks does not stop the write.
    bool lock_for_writing(std::string &error);
    uint64_t size_bytes() const { return size_; }
    uint64_t sectors() const { return size_ / 512; }
    const std::string &path() const { return path_; }
    // The open file or device, for reads by offset; -1 when the input was read into memory.
    int fd() const { return in_memory_ ? -1 : fd_; }

    // Reads whole sectors; false if any lies outside the image.
    bool read_sectors(uint64_t sector, uint32_t count, void *buf) const;

    // The partition table and what each partition holds, read through read_sectors.
    PartitionTable partitions() const;

    // Picks and mounts the volume with kVolumeFlags and `extra_flags`. On
    // failure returns null and sets `error` (without the "dorvex: " prefix).
    readfat_volume *mount(const VolumeChoice &choice, std::string &error, uint32_t extra_flags = 0);
    // Picks the volume as mount() does: its sectors [start, end). False with `error`.
    // `fs`, when given, receives what the partition table or the disk's first
    // sector says the volume holds ("" when nothing was recognised).
    bool locate(const VolumeChoice &choice, uint64_t &start, uint64_t &end, std::string &error,
                std::string *fs = nullptr);
    uint64_t volume_start() const { return vol_start_; }
    uint64_t volume_end() const { return vol_end_; }
    std::string volume_where() const { return where_; }
    // What the user should know about the mounted volume (the backup boot
    // sector used, an image shorter than its volume), in the order found.
    const std::vector<std::string> &notes() const { return notes_; }
    // The record of the mounted volume (readfat_info).
    const readfat_volinfo &volume_info() const { return info_; }

    static int32_t reader(void *data, void *buf, uint64_t sector, uint32_t count);
    // The write path's sector writer (an image opened writable): -errno on failure.
    static int32_t writer(void *data, const void *buf, uint64_t sector, uint32_t count);

    // Announces that the next reads fill `buf` (`len` bytes) in order, as
    // readfat_read does for whole clusters. The reader then fills the rest of
    // it from the following sectors in the same call, betting that the file is
    // contiguous, and answers later requests that match what it read without
    // a system call: one large read instead of one per cluster. Requests that
    // do not match (a fragmented file) are read as usual. end_target() ends it.
    void begin_target(void *buf, size_t len);
    void end_target() { begin_target(nullptr, 0); }

  private:
    bool read_ahead(uint8_t *p, uint64_t sector, uint32_t count);
    static int32_t raw_reader(void *data, void *buf, uint64_t sector, uint32_t count);
    // Reads the whole input into memory; `await_writer`: a FIFO opened without
    // blocking, whose writer may not have come yet.
    bool slurp(std::string &error, bool await_writer);
    readfat_volume *mount_at(uint64_t start, uint64_t end, uint32_t flags, std::string fs,
                             std::string &error);
    std::string no_fat_found(const PartitionTable &t);
    std::string truncation(uint64_t claims) const;
    int fd_ = -1;
    bool own_fd_ = true;
    std::vector<uint8_t> mem_; // the whole input, when it cannot be read in place
    bool in_memory_ = false;
    readfat_volinfo info_{};
    std::vector<std::string> notes_;
    uint64_t size_ = 0;
    std::string path_;
    readfat_volume *vol_ = nullptr;
    uint64_t vol_start_ = 0;
    uint64_t vol_end_ = 0;
    std::string where_;
    // The announced buffer, and the part of it read ahead from ahead_sector_.
    uintptr_t target_ = 0;
    size_t target_len_ = 0;
    uintptr_t ahead_ = 0;
    uint64_t ahead_sector_ = 0;
    size_t ahead_len_ = 0;
};

// The most a pipe or other unseekable input is read into memory, unless the
// environment's DORVEX_PIPE_LIMIT (bytes, or with a K, M or G suffix) says else.
constexpr uint64_t kPipeLimit = uint64_t{1} << 30;

// How long a FIFO named by its path may go without a writer, in milliseconds.
constexpr int kWriterWait = 5000;

// The flag word the tool mounts with: UTF-8 paths, UTF-16 names, both
// separators, lenient long-name runs, 8.3 names in the case their lower-case
// flags give (as Windows and mtools show them), case-insensitive lookups,
// runs of contiguous clusters read in one request, and "." and ".." taken
// by the path's text.
constexpr uint32_t kVolumeFlags =
    DV_CHARSET_UTF8 | DV_FLAG_UTF16 | DV_FLAG_SLASH | DV_FLAG_BACKSLASH | DV_FLAG_SKIP_LEADING_SEP |
    DV_FLAG_LENIENT | DV_FLAG_NTCASE | DV_FLAG_NOCASE | READFAT_FLAG_BATCH | READFAT_FLAG_DOTS;
// Added only when the user asks for deleted entries (ls -a, --deleted): without
// it nothing deleted is listed, resolved or read.
constexpr uint32_t kDeletedFlags = DV_FLAG_DELETED;

} // namespace dvcli

#endif
