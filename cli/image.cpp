#include "image.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>

static_assert(sizeof(off_t) >= 8, "images past 2 GiB need 64-bit file offsets");
#endif

#include "text.h"

namespace dvcli {

static uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
static uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
static uint64_t le64(const uint8_t *p) {
    return static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32;
}

bool looks_like_fat32(const uint8_t *s) {
    if (s[510] != 0x55 || s[511] != 0xAA) return false;
    uint32_t bps = le16(s + 11);
    uint32_t spc = s[13];
    if (bps != 512) return false;
    if (spc == 0 || (spc & (spc - 1)) != 0) return false;
    if (le16(s + 14) == 0 || s[16] == 0) return false;
    // FAT32: no fixed root directory, no 16-bit FAT size, a 32-bit FAT size.
    return le16(s + 17) == 0 && le16(s + 22) == 0 && le32(s + 36) != 0;
}

BootInfo parse_boot(const uint8_t *s) {
    BootInfo b;
    auto text = [](const uint8_t *p, size_t n) {
        std::string t(reinterpret_cast<const char *>(p), n);
        while (!t.empty() && (t.back() == ' ' || t.back() == '\0')) t.pop_back();
        return t;
    };
    b.oem = text(s + 3, 8);
    b.bytes_per_sector = le16(s + 11);
    b.sectors_per_cluster = s[13];
    b.reserved = le16(s + 14);
    b.fats = s[16];
    b.total_sectors = le16(s + 19) ? le16(s + 19) : le32(s + 32);
    b.fat_sectors = le32(s + 36);
    b.root_cluster = le32(s + 44);
    b.fsinfo_sector = le16(s + 48);
    b.backup_boot = le16(s + 50);
    if (s[66] == 0x29) {
        b.volume_id = le32(s + 67);
        b.label = text(s + 71, 11);
    }
    return b;
}

Image::~Image() {
    if (vol_) readfat_delete(vol_);
    if (fd_ >= 0) ::close(fd_);
}

bool Image::open(const std::string &path, std::string &error) {
    path_ = path;
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
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

static std::string mbr_type_name(uint8_t t) {
    switch (t) {
    case 0x01:
        return "FAT12";
    case 0x04:
    case 0x06:
    case 0x0E:
        return "FAT16";
    case 0x05:
    case 0x0F:
    case 0x85:
        return "extended";
    case 0x07:
        return "NTFS/exFAT";
    case 0x0B:
        return "FAT32 (CHS)";
    case 0x0C:
        return "FAT32 (LBA)";
    case 0x82:
        return "Linux swap";
    case 0x83:
        return "Linux";
    case 0xEE:
        return "GPT protective";
    case 0xEF:
        return "EFI system";
    default:
        return "unknown";
    }
}

static std::string guid_text(const uint8_t *g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", le32(g),
                  le16(g + 4), le16(g + 6), g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return buf;
}

static std::string gpt_type_name(const std::string &guid) {
    if (guid == "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7") return "Microsoft basic data";
    if (guid == "C12A7328-F81F-11D2-BA4B-00A0C93EC93B") return "EFI system";
    if (guid == "0FC63DAF-8483-4772-8E79-3D69D8477DE4") return "Linux filesystem";
    if (guid == "0657FD6D-A4AB-43C4-84E5-0933C84B4F4F") return "Linux swap";
    if (guid == "E3C9E316-0B5C-4DB8-817D-F92DF00215AE") return "Microsoft reserved";
    return "unknown";
}

PartitionTable Image::partitions() const {
    PartitionTable t;
    t.kind = "none";
    uint8_t s[512];
    if (!read_sectors(0, 1, s) || s[510] != 0x55 || s[511] != 0xAA || looks_like_fat32(s)) return t;
    // An MBR: four entries with status 0x00 or 0x80.
    for (int i = 0; i < 4; ++i)
        if ((s[446 + i * 16] & 0x7F) != 0) return t;

    auto check_fat = [this](Partition &p) {
        uint8_t b[512];
        p.fat32 = read_sectors(p.start, 1, b) && looks_like_fat32(b);
    };

    bool protective = false;
    for (int i = 0; i < 4; ++i)
        if (s[446 + i * 16 + 4] == 0xEE) protective = true;

    if (protective) {
        uint8_t h[512];
        if (read_sectors(1, 1, h) && std::memcmp(h, "EFI PART", 8) == 0) {
            t.kind = "GPT";
            uint64_t lba = le64(h + 72);
            uint32_t count = le32(h + 80);
            uint32_t esize = le32(h + 84);
            if (esize < 128 || esize > 4096 || esize % 8 != 0 || 512 % esize != 0) {
                t.notes.push_back("GPT entry size " + std::to_string(esize) + " not supported");
                return t;
            }
            if (count > 4096) {
                t.notes.push_back("GPT claims " + std::to_string(count) +
                                  " entries; reading the first 4096");
                count = 4096;
            }
            uint32_t per = 512 / esize;
            uint8_t sec[512];
            uint64_t loaded = ~0ull;
            for (uint32_t i = 0; i < count; ++i) {
                uint64_t want = lba + i / per;
                if (want != loaded) {
                    if (!read_sectors(want, 1, sec)) {
                        t.notes.push_back("GPT entry array cut short at entry " +
                                          std::to_string(i));
                        break;
                    }
                    loaded = want;
                }
                const uint8_t *e = sec + (i % per) * esize;
                static const uint8_t zero[16] = {};
                if (std::memcmp(e, zero, 16) == 0) continue;
                Partition p;
                p.number = i + 1;
                p.type = guid_text(e);
                p.type_name = gpt_type_name(p.type);
                uint64_t first = le64(e + 32), last = le64(e + 40);
                p.start = first;
                p.sectors = last >= first ? last - first + 1 : 0;
                std::u32string nm;
                for (int k = 0; k < 36; ++k) {
                    uint16_t u = le16(e + 56 + 2 * k);
                    if (u == 0) break;
                    nm.push_back(u);
                }
                p.name = escape_display(nm);
                check_fat(p);
                t.parts.push_back(p);
            }
            return t;
        }
        t.notes.push_back("protective MBR without a GPT header");
    }

    t.kind = "MBR";
    uint64_t ext_base = 0;
    for (int i = 0; i < 4; ++i) {
        const uint8_t *e = s + 446 + i * 16;
        uint8_t type = e[4];
        if (type == 0) continue;
        Partition p;
        p.number = static_cast<uint32_t>(i + 1);
        char buf[8];
        std::snprintf(buf, sizeof buf, "0x%02x", type);
        p.type = buf;
        p.type_name = mbr_type_name(type);
        p.start = le32(e + 8);
        p.sectors = le32(e + 12);
        if (type == 0x05 || type == 0x0F || type == 0x85) {
            if (!ext_base) ext_base = p.start;
        } else {
            check_fat(p);
        }
        t.parts.push_back(p);
    }
    // Logical partitions: a chain of extended boot records, each pointing to
    // the next relative to the extended partition's start. Bounded, since a
    // damaged chain may loop.
    uint64_t ebr = ext_base;
    uint32_t number = 5;
    for (int guard = 0; ebr && guard < 128; ++guard) {
        uint8_t b[512];
        if (!read_sectors(ebr, 1, b) || b[510] != 0x55 || b[511] != 0xAA) {
            t.notes.push_back("unreadable extended boot record at sector " + std::to_string(ebr));
            break;
        }
        const uint8_t *e = b + 446;
        if (e[4] != 0) {
            Partition p;
            p.number = number++;
            char buf[8];
            std::snprintf(buf, sizeof buf, "0x%02x", e[4]);
            p.type = buf;
            p.type_name = mbr_type_name(e[4]);
            p.start = ebr + le32(e + 8);
            p.sectors = le32(e + 12);
            check_fat(p);
            t.parts.push_back(p);
        }
        const uint8_t *n = b + 446 + 16;
        uint64_t next = le32(n + 8) ? ext_base + le32(n + 8) : 0;
        if (next == ebr) break;
        ebr = next;
    }
    return t;
}

readfat_volume *Image::mount(const VolumeChoice &choice, std::string &error) {
    uint64_t start = 0, end = sectors();
    if (choice.offset) {
        start = *choice.offset;
        if (start >= end) {
            error = "offset " + std::to_string(start) + " lies beyond the end of the image (" +
                    std::to_string(end) + " sectors)";
            return nullptr;
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
            return nullptr;
        }
        if (found->type_name == "extended") {
            error = "partition " + std::to_string(found->number) + " is an extended partition";
            return nullptr;
        }
        start = found->start;
        end = found->start + found->sectors;
        if (start >= sectors()) {
            error =
                "partition " + std::to_string(found->number) + " lies beyond the end of the image";
            return nullptr;
        }
        if (end > sectors()) end = sectors();
        where_ = "partition " + std::to_string(found->number);
    } else {
        uint8_t s[512];
        if (!read_sectors(0, 1, s)) {
            error = std::strerror(EIO);
            return nullptr;
        }
        if (looks_like_fat32(s)) {
            where_ = "whole image";
        } else {
            PartitionTable t = partitions();
            const Partition *found = nullptr;
            for (const Partition &p : t.parts)
                if (p.fat32) {
                    found = &p;
                    break;
                }
            if (!found) {
                error = t.parts.empty() ? "no FAT32 file system found"
                                        : "no FAT32 partition found (choose one with -p N)";
                return nullptr;
            }
            start = found->start;
            end = found->start + found->sectors;
            if (end > sectors()) end = sectors();
            where_ = "partition " + std::to_string(found->number);
        }
    }
    if (end - start < 64) {
        error = "volume too small";
        return nullptr;
    }
    int err = 0;
    vol_ = readfat_new(start, end, 512, this, &Image::reader, kVolumeFlags, 4, 4, &err);
    if (!vol_) {
        error = dv_strerror(err);
        return nullptr;
    }
    vol_start_ = start;
    vol_end_ = end;
    return vol_;
}

} // namespace dvcli
