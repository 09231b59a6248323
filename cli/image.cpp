#include "image.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
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
    if (fd_ >= 0) ::close(fd_);
}

bool Image::open(const std::string &path, std::string &error, bool writable) {
    path_ = path;
    fd_ = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd_ < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd_, &st) != 0) {
        error = std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = std::strerror(EISDIR);
        return false;
    }
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
        off_t end = lseek(fd_, 0, SEEK_END);
        size_ = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
    if (size_ < 512) {
        error = "too small to hold a FAT32 volume";
        return false;
    }
    return true;
}

bool Image::read_sectors(uint64_t sector, uint32_t count, void *buf) const {
    uint64_t total = sectors();
    if (sector >= total || count > total - sector) return false;
    size_t want = static_cast<size_t>(count) * 512;
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
    // Plain reads: the partition table never goes through the read-ahead.
    auto read = [](void *data, void *buf, uint64_t sector, uint32_t count) -> int32_t {
        const auto *img = static_cast<const Image *>(data);
        return img->read_sectors(sector, count, buf) ? static_cast<int32_t>(count) : -1;
    };
    return read_partition_table(sectors(), const_cast<Image *>(this), read);
}

readfat_volume *Image::mount(const VolumeChoice &choice, std::string &error, uint32_t extra_flags) {
    uint64_t start = 0, end = 0;
    if (!locate(choice, start, end, error)) return nullptr;
    int err = 0;
    vol_ =
        readfat_new(start, end, 512, this, &Image::reader, kVolumeFlags | extra_flags, 4, 4, &err);
    if (!vol_) {
        error = dv_strerror(err);
        return nullptr;
    }
    vol_start_ = start;
    vol_end_ = end;
    return vol_;
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

bool Image::locate(const VolumeChoice &choice, uint64_t &start, uint64_t &end, std::string &error) {
    start = 0;
    end = sectors();
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
    } else {
        uint8_t s[512];
        if (!read_sectors(0, 1, s)) {
            error = std::strerror(EIO);
            return false;
        }
        PartitionTable t = partitions();
        // A damaged FAT boot sector (a jump, a signature, no partitions) is still taken
        // whole, so that the mount names what is wrong with it. Whole images keep to
        // power-of-two clusters, as FAT prescribes.
        const uint8_t spc = s[DV_BPB_SECTORS_PER_CLUSTER];
        const bool boot_like = (s[0] == 0xEB || s[0] == 0xE9) && s[510] == 0x55 && s[511] == 0xAA;
        if ((spc & (spc - 1)) == 0 && (t.disk_fat || (t.parts.empty() && boot_like))) {
            where_ = "whole image";
        } else {
            // The first FAT volume in a partition of a FAT type; else in one of any type.
            const Partition *found = nullptr;
            for (bool any : {false, true})
                for (const Partition &p : t.parts)
                    if (!found && p.fat && (any || p.fat_kind)) found = &p;
            if (!found) {
                error = t.parts.empty() ? "no FAT32 file system found"
                                        : "no FAT partition found (choose one with -p N)";
                return false;
            }
            start = found->start;
            end = found->start + found->sectors;
            if (end > sectors()) end = sectors();
            where_ = "partition " + std::to_string(found->number);
        }
    }
    if (end - start < 64) {
        error = "volume too small";
        return false;
    }
    return true;
}

} // namespace dvcli
