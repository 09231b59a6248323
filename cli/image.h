// Opening a disk image or device and mounting the chosen FAT volume
// through the library's sector-reader callback.
#ifndef DORVEX_CLI_IMAGE_H
#define DORVEX_CLI_IMAGE_H

#include <cstdint>
#include <optional>
#include <string>

#include "dorvex/readfat.h"
#include "partitions.h"

namespace dvcli {

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

    // Opens the file or device, read-only unless `writable`. False with a message in `error`.
    bool open(const std::string &path, std::string &error, bool writable = false);
    uint64_t size_bytes() const { return size_; }
    uint64_t sectors() const { return size_ / 512; }
    const std::string &path() const { return path_; }

    // Reads whole sectors; false if any lies outside the image.
    bool read_sectors(uint64_t sector, uint32_t count, void *buf) const;

    // The partition table, read through read_sectors.
    PartitionTable partitions() const;

    // Picks and mounts the volume with kVolumeFlags and `extra_flags`. On
    // failure returns null and sets `error` (without the "dorvex: " prefix).
    readfat_volume *mount(const VolumeChoice &choice, std::string &error, uint32_t extra_flags = 0);
    // Picks the volume as mount() does: its sectors [start, end). False with `error`.
    bool locate(const VolumeChoice &choice, uint64_t &start, uint64_t &end, std::string &error);
    uint64_t volume_start() const { return vol_start_; }
    uint64_t volume_end() const { return vol_end_; }
    std::string volume_where() const { return where_; }

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
    int fd_ = -1;
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

// The flag word the tool mounts with: UTF-8 paths, UTF-16 names, both
// separators, lenient long-name runs, 8.3 names in the case their lower-case
// flags give (as Windows and mtools show them), case-insensitive lookups.
constexpr uint32_t kVolumeFlags = DV_CHARSET_UTF8 | DV_FLAG_UTF16 | DV_FLAG_SLASH |
                                  DV_FLAG_BACKSLASH | DV_FLAG_SKIP_LEADING_SEP | DV_FLAG_LENIENT |
                                  DV_FLAG_NTCASE | DV_FLAG_NOCASE;
// Added only when the user asks for deleted entries (ls -a, --deleted): without
// it nothing deleted is listed, resolved or read.
constexpr uint32_t kDeletedFlags = DV_FLAG_DELETED;

} // namespace dvcli

#endif
