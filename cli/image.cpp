#include "image.h"

#include "text.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>

static_assert(sizeof(off_t) >= 8, "images past 2 GiB need 64-bit file offsets");
#endif

namespace dvcli {

Image::~Image() {
    if (vol_) readfat_delete(vol_);
    if (fd_ >= 0 && own_fd_) ::close(fd_);
}

namespace {

// A byte count, with an optional K, M or G (binary) suffix.
bool parse_size(const char *text, uint64_t &out) {
    uint64_t v = 0;
    const char *p = text;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (v > (UINT64_MAX >> 31)) return false;
        v = v * 10 + static_cast<uint64_t>(*p - '0');
    }
    if (p == text) return false;
    int shift = 0;
    if (*p == 'K' || *p == 'k') shift = 10;
    if (*p == 'M' || *p == 'm') shift = 20;
    if (*p == 'G' || *p == 'g') shift = 30;
    if (shift) ++p;
    if (*p) return false;
    out = v << shift;
    return true;
}

// "5 s", "1.5 s", "250 ms".
std::string wait_words(int ms) {
    if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
    if (ms > 1000 && ms % 100 == 0)
        return std::to_string(ms / 1000) + "." + std::to_string(ms / 100 % 10) + " s";
    return std::to_string(ms) + " ms";
}

std::string size_words(uint64_t bytes) {
    if (bytes && bytes % (uint64_t{1} << 30) == 0) return std::to_string(bytes >> 30) + " GiB";
    if (bytes && bytes % (uint64_t{1} << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    return std::to_string(bytes) + " bytes";
}

} // namespace

namespace {

// Why a write cannot go to a file of type `mode` (`fd` open on it, or -1), or
// null when it can: only a regular file or a block device seeks and keeps what
// is written where it was written.
const char *unwritable(unsigned mode, int fd) {
    if (S_ISREG(mode) || S_ISBLK(mode)) return nullptr;
    if (S_ISFIFO(mode)) return "a pipe or FIFO";
    if (S_ISCHR(mode) && fd >= 0 && isatty(fd)) return "a terminal";
    return file_kind(mode);
}

std::string refusal(const char *kind) {
    return std::string(kind) + ", not changed: a write needs a regular file or a block device";
}

} // namespace

bool Image::open(const std::string &path, std::string &error, bool writable) {
    path_ = path;
    if (path == "-" && writable) {
        error = refusal("standard input");
        return false;
    }
    struct stat st {};
    // A FIFO or device is refused before it is opened for writing: opening may
    // wait for a peer, or mean something to the device.
    if (writable && path != "-" && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
        if (const char *kind = unwritable(st.st_mode, -1)) {
            error = refusal(kind);
            return false;
        }
    if (path == "-") {
        fd_ = STDIN_FILENO;
        own_fd_ = false;
    } else {
        // O_NONBLOCK: a FIFO nobody writes to opens at once (slurp waits for its writer a
        // while); it is cleared again for everything else.
        fd_ = ::open(path.c_str(),
                     (writable ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    }
    if (fd_ < 0) {
        error = std::strerror(errno);
        return false;
    }
    if (fstat(fd_, &st) != 0) {
        error = std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = std::strerror(EISDIR);
        return false;
    }
    if (writable)
        if (const char *kind = unwritable(st.st_mode, fd_)) {
            error = refusal(kind);
            return false;
        }
    const bool fifo_by_path = path != "-" && S_ISFIFO(st.st_mode);
    if (path != "-" && !fifo_by_path) fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    if (S_ISREG(st.st_mode)) {
        size_ = static_cast<uint64_t>(st.st_size);
#ifdef BLKGETSIZE64
    } else if (S_ISBLK(st.st_mode)) {
        uint64_t bytes = 0;
        if (ioctl(fd_, BLKGETSIZE64, &bytes) != 0) {
            error = std::strerror(errno);
            return false;
        }
        size_ = bytes;
#endif
    } else {
        // A device that seeks is read in place; a pipe or socket once, into memory.
        off_t end = S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ? -1 : lseek(fd_, 0, SEEK_END);
        if (end >= 0)
            size_ = static_cast<uint64_t>(end);
        else if (!slurp(error, fifo_by_path))
            return false;
    }
    if (size_ == 0) {
        // A character device that seeks but tells no size (/dev/zero) is not empty.
        error = S_ISCHR(st.st_mode) && !in_memory_ ? "cannot tell the size of this device"
                                                   : "empty: no file system on it";
        return false;
    }
    if (size_ < 512) {
        error = "too small to hold a FAT volume";
        return false;
    }
    return true;
}

namespace {

// How long a FIFO opened by path may go without a writer, in milliseconds:
// kWriterWait, or DORVEX_TEST_PIPE_WAIT.
int writer_wait_ms() {
    const char *env = std::getenv("DORVEX_TEST_PIPE_WAIT");
    uint64_t ms = 0;
    if (env && parse_size(env, ms) && ms <= 3600000) return static_cast<int>(ms);
    return kWriterWait;
}

} // namespace

bool Image::slurp(std::string &error, bool await_writer) {
    if (isatty(fd_)) {
        error = "a terminal is no image: pipe one in or name a file";
        return false;
    }
    uint64_t limit = kPipeLimit;
    const char *env = std::getenv("DORVEX_PIPE_LIMIT");
    if (env && *env && !parse_size(env, limit)) {
        error = std::string("DORVEX_PIPE_LIMIT: '") + env +
                "' is not a size (bytes, or with K, M or G)";
        return false;
    }
    // A FIFO opened without blocking reads "end of input" while no writer has
    // come, and "try again" once one is there: wait for one, but not forever.
    const int wait_ms = await_writer ? writer_wait_ms() : 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    auto writer_came = [&] {
        await_writer = false;
        fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    };
    // One byte past the limit tells a longer input from one that fits exactly.
    const uint64_t room = limit < (uint64_t{1} << 62) ? limit + 1 : limit;
    try {
        for (;;) {
            const size_t have = mem_.size();
            if (have >= room) break;
            const size_t want = static_cast<size_t>(std::min<uint64_t>(room - have, 1 << 20));
            mem_.resize(have + want);
            ssize_t r = ::read(fd_, mem_.data() + have, want);
            mem_.resize(have + (r > 0 ? static_cast<size_t>(r) : 0));
            if (r < 0 && errno == EINTR) continue;
            if (await_writer && (r > 0 || (r < 0 && errno == EAGAIN))) {
                writer_came();
                continue;
            }
            if (await_writer && r == 0) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count();
                struct pollfd p = {fd_, POLLIN, 0};
                const int n = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
                if (n < 0 && errno == EINTR) continue;
                if (n > 0) {
                    writer_came(); // with data, or gone again without any
                    continue;
                }
                error = "no one wrote to this FIFO within " + wait_words(wait_ms) +
                        ": start its writer first, or pipe the image in";
                return false;
            }
            if (r < 0) {
                error = std::strerror(errno);
                return false;
            }
            if (r == 0) break;
        }
    } catch (const std::bad_alloc &) {
        error = "out of memory while reading the input into memory";
        return false;
    }
    if (mem_.size() > limit) {
        error = "cannot seek in this input, and it is longer than the " + size_words(limit) +
                " read into memory: save it to a file first, or raise DORVEX_PIPE_LIMIT";
        return false;
    }
    in_memory_ = true;
    size_ = mem_.size();
    return true;
}

bool Image::read_raw(uint64_t sector, uint32_t count, void *buf) const {
    uint64_t total = sectors();
    if (sector >= total || count > total - sector) return false;
    size_t want = static_cast<size_t>(count) * 512;
    if (in_memory_) {
        std::memcpy(buf, mem_.data() + sector * 512, want);
        return true;
    }
    size_t done = 0;
    auto *p = static_cast<uint8_t *>(buf);
    while (done < want) {
        ssize_t r = pread(fd_, p + done, want - done, static_cast<off_t>(sector * 512 + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

bool Image::read_sectors(uint64_t sector, uint32_t count, void *buf) const {
    if (!remap_len_ || sector >= remap_from_ + remap_len_ || sector + count <= remap_from_)
        return read_raw(sector, count, buf);
    auto *p = static_cast<uint8_t *>(buf);
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t at = sector + i;
        if (at >= remap_from_ && at < remap_from_ + remap_len_) at += remap_to_ - remap_from_;
        if (!read_raw(at, 1, p + size_t{i} * 512)) return false;
    }
    return true;
}

int32_t Image::raw_reader(void *data, void *buf, uint64_t sector, uint32_t count) {
    const auto *img = static_cast<const Image *>(data);
    return img->read_raw(sector, count, buf) ? static_cast<int32_t>(count) : -1;
}

void Image::begin_target(void *buf, size_t len) {
    target_ = reinterpret_cast<uintptr_t>(buf);
    target_len_ = buf ? len : 0;
    ahead_ = 0;
    ahead_len_ = 0;
}

// Serves a request that lands in the announced buffer. False when it must be
// read the ordinary way.
bool Image::read_ahead(uint8_t *p, uint64_t sector, uint32_t count) {
    uintptr_t at = reinterpret_cast<uintptr_t>(p);
    size_t want = static_cast<size_t>(count) * 512;
    if (at < target_ || at - target_ >= target_len_ || want > target_ + target_len_ - at)
        return false;
    // Already read ahead: the same bytes of the same sectors.
    if (ahead_len_ && at >= ahead_ && (at - ahead_) % 512 == 0) {
        size_t off = at - ahead_;
        if (off + want <= ahead_len_ && ahead_sector_ + off / 512 == sector) return true;
    }
    // Fill the rest of the buffer from here, within the image.
    uint64_t n = (target_ + target_len_ - at) / 512;
    if (n > sectors() - sector) n = sectors() - sector;
    if (n <= count || !read_sectors(sector, static_cast<uint32_t>(n), p)) {
        ahead_len_ = 0;
        return false;
    }
    ahead_ = at;
    ahead_sector_ = sector;
    ahead_len_ = static_cast<size_t>(n) * 512;
    return true;
}

int32_t Image::reader(void *data, void *buf, uint64_t sector, uint32_t count) {
    auto *img = static_cast<Image *>(data);
    uint64_t total = img->sectors();
    if (count == 0 || sector >= total) return 0;
    // Give what lies inside the image; the library asks again for the rest.
    uint32_t n = count;
    if (n > total - sector) n = static_cast<uint32_t>(total - sector);
    if (img->target_len_ && img->read_ahead(static_cast<uint8_t *>(buf), sector, n))
        return static_cast<int32_t>(n);
    return img->read_sectors(sector, n, buf) ? static_cast<int32_t>(n) : -1;
}

PartitionTable Image::partitions() const {
    // Raw reads: the table never goes through the read-ahead or the backup.
    return read_partition_table(sectors(), const_cast<Image *>(this), &Image::raw_reader);
}

// Names what the disk holds instead of a FAT volume.
std::string Image::no_fat_found(const PartitionTable &t) {
    if (t.kind == "El Torito")
        return "this is an ISO 9660 image whose boot images hold no FAT volume: dorvex reads "
               "FAT12, FAT16 and FAT32";
    if (t.parts.empty()) {
        if (t.disk_fs == "blank") return "the image is blank (all zeros): no file system on it";
        return t.disk_fs.empty() ? "no FAT file system found" : not_fat_message(t.disk_fs);
    }
    std::string list;
    bool unknown = false;
    for (const Partition &p : t.parts) {
        if (p.extended) continue;
        unknown |= p.fs.empty();
        list += (list.empty() ? "" : ", ") + std::string("partition ") + std::to_string(p.number) +
                " is " + (p.fs.empty() ? "unrecognised" : p.fs);
    }
    if (list.empty()) return "no FAT file system found";
    return "no FAT volume on this disk: " + list + (unknown ? " (choose one with -p N)" : "");
}

// The note for a volume whose boot sector counts more sectors than the image has.
std::string Image::truncation(uint64_t start) const {
    uint8_t s[512];
    if (!read_sectors(start, 1, s) || (s[0] != 0xEB && s[0] != 0xE9)) return "";
    BootInfo b = parse_boot(s);
    uint32_t per = b.bytes_per_sector / 512;
    if (per == 0 || per > 8) per = 1;
    const uint64_t claims = start + b.total_sectors * per;
    if (!b.total_sectors || claims <= sectors()) return "";
    return "image ends at sector " + std::to_string(sectors()) + ", the volume claims " +
           std::to_string(claims) + ": truncated?";
}

// Mounts [start, end); when the library refuses the boot sector, from the FAT32
// backup (as fsck and The Sleuth Kit fall back to it). `fs` names what lies
// there, if known, for the message of a failure.
readfat_volume *Image::mount_at(uint64_t start, uint64_t end, uint32_t flags, std::string fs,
                                std::string &error) {
    int err = 0;
    vol_ = readfat_new(start, end, 512, this, &Image::reader, flags, 4, 4, &err);
    if (!vol_ && (err == DV_E_BOOTSIG || err == DV_E_BADPBR)) {
        uint8_t s[512];
        uint32_t per = 1;
        uint64_t off = read_raw(start, 1, s)
                           ? find_backup_boot(this, &Image::raw_reader, start, end - start, s, per)
                           : 0;
        if (off) {
            // The boot sector and FSInfo, both from their copies.
            remap_from_ = start;
            remap_len_ = 2 * per;
            remap_to_ = start + off;
            int backup_err = 0;
            vol_ = readfat_new(start, end, 512, this, &Image::reader, flags, 4, 4, &backup_err);
            if (vol_)
                notes_.push_back("boot sector damaged, using the backup at sector " +
                                 std::to_string(off / per));
            else
                remap_len_ = 0;
        }
    }
    if (!vol_) {
        error = dv_strerror(err);
        if (fs.empty()) fs = identify_fs(this, &Image::raw_reader, start, end - start);
        std::string cut = err == DV_E_BADPBR ? truncation(start) : "";
        if (fs == "blank")
            error = "the volume is blank (all zeros): no file system on it";
        else if (!fs.empty() && fs.rfind("FAT", 0) != 0)
            error = not_fat_message(fs);
        else if (!cut.empty())
            error += " (" + cut + ")";
        return nullptr;
    }
    vol_start_ = start;
    vol_end_ = end;
    std::string cut = truncation(start);
    if (!cut.empty()) notes_.push_back(cut);
    return vol_;
}

readfat_volume *Image::mount(const VolumeChoice &choice, std::string &error, uint32_t extra_flags) {
    uint64_t start = 0, end = 0;
    std::string fs;
    notes_.clear();
    remap_len_ = 0;
    if (!locate(choice, start, end, error, &fs)) return nullptr;
    return mount_at(start, end, kVolumeFlags | extra_flags, fs, error);
}
int32_t Image::writer(void *data, const void *buf, uint64_t sector, uint32_t count) {
    auto *img = static_cast<Image *>(data);
    if (count == 0 || sector >= img->sectors() || count > img->sectors() - sector) return -EIO;
    img->end_target(); // what was read ahead may be stale now
    const size_t want = static_cast<size_t>(count) * 512;
    const auto *p = static_cast<const uint8_t *>(buf);
    for (size_t done = 0; done < want;) {
        ssize_t r =
            pwrite(img->fd_, p + done, want - done, static_cast<off_t>(sector * 512 + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -(r < 0 ? errno : EIO);
        done += static_cast<size_t>(r);
    }
    return static_cast<int32_t>(count);
}

bool Image::locate(const VolumeChoice &choice, uint64_t &start, uint64_t &end, std::string &error,
                   std::string *fs_out) {
    start = 0;
    end = sectors();
    std::string fs;
    if (choice.offset) {
        start = *choice.offset;
        if (start >= end) {
            error = "offset " + std::to_string(start) + " lies beyond the end of the image (" +
                    std::to_string(end) + " sectors)";
            return false;
        }
        where_ = "offset " + std::to_string(start);
    } else if (choice.partition) {
        PartitionTable t = partitions();
        const Partition *found = nullptr;
        for (const Partition &p : t.parts)
            if (p.number == *choice.partition) found = &p;
        if (!found) {
            error = t.kind == "none" ? "no partition table"
                                     : "no partition " + std::to_string(*choice.partition);
            return false;
        }
        if (found->extended) {
            error = "partition " + std::to_string(found->number) + " is an extended partition";
            return false;
        }
        start = found->start;
        end = found->start + found->sectors;
        if (start >= sectors()) {
            error =
                "partition " + std::to_string(found->number) + " lies beyond the end of the image";
            return false;
        }
        if (end > sectors()) end = sectors();
        where_ = "partition " + std::to_string(found->number);
        fs = found->fs;
    } else {
        uint8_t s[512];
        if (!read_raw(0, 1, s)) {
            error = std::strerror(EIO);
            return false;
        }
        PartitionTable t = partitions();
        // A damaged FAT boot sector (a jump, a signature, no partitions) is still taken
        // whole, so that the mount names what is wrong with it or falls back to the
        // backup. Any cluster size the library mounts goes (3 sectors, as mformat -c 3
        // makes), as with mtools and fsck.fat.
        const bool boot_like = (s[0] == 0xEB || s[0] == 0xE9) && s[510] == 0x55 && s[511] == 0xAA;
        const bool whole = t.disk_fat || (t.parts.empty() && boot_like);
        // A FAT32 volume known only by its backup is taken whole too.
        if (whole || (t.parts.empty() && !t.disk_fat && t.disk_fs == "FAT32")) {
            where_ = "whole image";
            fs = t.disk_fs;
        } else {
            // The first FAT volume in a partition of a FAT type; else in one of any type;
            // else a FAT32 volume known only by its backup boot sector.
            const Partition *found = nullptr;
            for (int pass = 0; pass < 3; ++pass)
                for (const Partition &p : t.parts)
                    if (!found && (pass == 2 ? !p.fat && p.fs == "FAT32"
                                             : p.fat && (pass == 1 || p.fat_kind)))
                        found = &p;
            if (!found) {
                error = no_fat_found(t);
                return false;
            }
            start = found->start;
            end = found->start + found->sectors;
            if (end > sectors()) end = sectors();
            where_ = "partition " + std::to_string(found->number);
            fs = found->fs;
        }
    }
    if (end - start < 64) {
        error = "volume too small";
        return false;
    }
    if (fs_out) *fs_out = fs;
    return true;
}

} // namespace dvcli
