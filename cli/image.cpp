#include "image.h"

#include "text.h"

#include <cstdio>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/file.h>
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

bool Image::lock_for_writing(std::string &error) {
    if (fd_ < 0 || in_memory_ || flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK) return true;
    error = "in use by a mount (unmount it first)";
    return false;
}

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

bool Image::read_sectors(uint64_t sector, uint32_t count, void *buf) const {
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

int32_t Image::raw_reader(void *data, void *buf, uint64_t sector, uint32_t count) {
    const auto *img = static_cast<const Image *>(data);
    return img->read_sectors(sector, count, buf) ? static_cast<int32_t>(count) : -1;
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

namespace {

std::string mbr_type_name(uint8_t t) {
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

// A GUID as text: its first three fields are stored little-endian, the rest byte by byte.
std::string guid_text(const uint8_t *g) {
    auto le = [g](int at, int n) {
        uint32_t v = 0;
        for (int i = n - 1; i >= 0; --i) v = v << 8 | g[at + i];
        return v;
    };
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", le(0, 4),
                  le(4, 2), le(6, 2), g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return buf;
}

constexpr const char *kEfiSystem = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
constexpr const char *kBasicData = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";

std::string gpt_type_name(const std::string &guid) {
    if (guid == kBasicData) return "Microsoft basic data";
    if (guid == kEfiSystem) return "EFI system";
    if (guid == "0FC63DAF-8483-4772-8E79-3D69D8477DE4") return "Linux filesystem";
    if (guid == "0657FD6D-A4AB-43C4-84E5-0933C84B4F4F") return "Linux swap";
    if (guid == "E3C9E316-0B5C-4DB8-817D-F92DF00215AE") return "Microsoft reserved";
    return "unknown";
}

// An El Torito boot image's platform and emulation, e.g. "EFI, no emulation".
std::string boot_image_name(uint8_t platform, uint8_t media) {
    static const char *const kMedia[] = {"no emulation", "1.2M floppy", "1.44M floppy",
                                         "2.88M floppy", "hard disk"};
    std::string name = platform == 0x00   ? "x86 BIOS"
                       : platform == 0x01 ? "PowerPC"
                       : platform == 0x02 ? "Mac"
                       : platform == 0xEF ? "EFI"
                                          : "unknown platform";
    return name + ", " + (media < 5 ? kMedia[media] : "unknown emulation");
}

Partition from_library(const readfat_partition &r, uint32_t scheme) {
    Partition p;
    p.number = r.number;
    p.start = r.start;
    p.sectors = r.sectors;
    p.extended = r.extended != 0;
    p.fat = r.fat_type;
    if (scheme == DV_PT_ELTORITO) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "0x%02x", r.reserved);
        p.type = buf;
        p.type_name = boot_image_name(r.reserved, r.mbr_type);
        p.fat_kind = r.reserved == 0xEF; // an EFI boot image is a FAT volume
    } else if (scheme == DV_PT_GPT) {
        p.type = guid_text(r.type_guid);
        p.type_name = gpt_type_name(p.type);
        p.fat_kind = p.type == kEfiSystem || p.type == kBasicData;
        std::u32string nm;
        for (uint16_t u : r.name) {
            if (u == 0) break;
            nm.push_back(u);
        }
        p.name = escape_display(nm);
    } else {
        char buf[8];
        std::snprintf(buf, sizeof buf, "0x%02x", r.mbr_type);
        p.type = buf;
        p.type_name = mbr_type_name(r.mbr_type);
        p.fat_kind =
            std::strchr("\x01\x04\x06\x0B\x0C\x0E\xEF", r.mbr_type) != nullptr && r.mbr_type != 0;
    }
    return p;
}

void add_notes(uint32_t notes, std::vector<std::string> &out) {
    static const std::pair<uint32_t, const char *> kNotes[] = {
        {DV_PT_NOTE_GPT_PRIMARY_BAD, "primary GPT header or entry array damaged"},
        {DV_PT_NOTE_GPT_BACKUP_USED, "read the backup GPT at the end of the disk"},
        {DV_PT_NOTE_GPT_UNREADABLE, "protective MBR without a sound GPT"},
        {DV_PT_NOTE_EBR_BAD, "unreadable extended boot record"},
        {DV_PT_NOTE_EBR_LOOP, "extended boot records loop or leave their partition"},
        {DV_PT_NOTE_OUTSIDE, "a partition reaches past the end of the disk"},
        {DV_PT_NOTE_TRUNCATED, "more partitions than shown"},
        {DV_PT_NOTE_CATALOG_BAD, "El Torito boot catalog damaged or cut short"},
    };
    for (const auto &[bit, text] : kNotes)
        if (notes & bit) out.push_back(text);
}

// What the sectors [start, end) hold, as readfat_identify names it; "FAT12".."FAT32" or
// "exFAT" when the partition table already found that `fat`.
std::string identify_fs(void *data, readfat_sector_reader read, uint64_t start, uint64_t end,
                        uint32_t fat = 0) {
    if (fat == DV_FAT_EXFAT) return "exFAT";
    if (fat) return "FAT" + std::to_string(fat);
    const char *name = "";
    readfat_identify(start, end, data, read, &name, nullptr);
    return name;
}

PartitionTable read_partition_table(uint64_t sectors, void *data, readfat_sector_reader read) {
    PartitionTable t;
    t.kind = "none";
    std::vector<readfat_partition> parts(16);
    readfat_table table;
    for (;;) {
        if (readfat_partitions(sectors, 0, data, read, parts.data(),
                               static_cast<uint32_t>(parts.size()), &table) != 0)
            return t;
        if (table.count <= parts.size()) break;
        parts.resize(table.count); // room for all of them, and read again
    }
    t.disk_fat = table.disk_fat;
    t.kind = table.scheme == DV_PT_GPT        ? "GPT"
             : table.scheme == DV_PT_MBR      ? "MBR"
             : table.scheme == DV_PT_ELTORITO ? "El Torito"
                                              : "none";
    // exFAT and NTFS boot sectors end in 0x55AA as an MBR does, but are no table.
    std::string whole = identify_fs(data, read, 0, sectors);
    if (whole == "exFAT" || whole == "NTFS" || whole == "ReFS" || whole == "BitLocker") {
        t.kind = "none";
        t.disk_fs = whole;
        return t;
    }
    // An MBR that lists nothing may be the boot sector of a damaged FAT volume.
    if (table.scheme == DV_PT_NONE || table.count == 0)
        t.disk_fs = t.disk_fat ? identify_fs(data, read, 0, sectors, t.disk_fat) : whole;
    for (uint32_t i = 0; i < table.count && i < parts.size(); ++i) {
        t.parts.push_back(from_library(parts[i], table.scheme));
        Partition &p = t.parts.back();
        if (!p.extended) p.fs = identify_fs(data, read, p.start, p.start + p.sectors, p.fat);
    }
    add_notes(table.notes, t.notes);
    return t;
}

} // namespace

std::string not_fat_message(const std::string &fs) {
    static const std::pair<const char *, const char *> kNouns[] = {
        {"NTFS", "an NTFS volume"},
        {"ReFS", "a ReFS volume"},
        {"BitLocker", "a BitLocker volume"},
        {"XFS", "an XFS volume"},
        {"squashfs", "a squashfs image"},
        {"APFS", "an APFS container"},
        {"ext2", "an ext2 volume"},
        {"ext3", "an ext3 volume"},
        {"ext4", "an ext4 volume"},
        {"F2FS", "an F2FS volume"},
        {"HFS+", "an HFS+ volume"},
        {"HFSX", "an HFSX volume"},
        {"HFS", "an HFS volume"},
        {"ISO 9660", "an ISO 9660 image"},
        {"UDF", "a UDF image"},
        {"Btrfs", "a Btrfs volume"},
    };
    const std::string reads = "dorvex reads FAT12, FAT16, FAT32 and exFAT";
    if (fs == "LUKS")
        return "this is a LUKS container (encrypted): unlock it with cryptsetup and read the "
               "mapped device";
    if (fs == "Linux swap") return "this is a Linux swap area, not a file system";
    if (fs == "blank") return "blank (its first MiB is all zeros): no file system on it";
    for (const auto &[name, noun] : kNouns)
        if (fs == name) return std::string("this is ") + noun + ": " + reads;
    return "this is a " + fs + " volume: " + reads;
}

PartitionTable Image::partitions() const {
    // Raw reads: the table never goes through the read-ahead.
    return read_partition_table(sectors(), const_cast<Image *>(this), &Image::raw_reader);
}

// Names what the disk holds instead of a FAT volume.
std::string Image::no_fat_found(const PartitionTable &t) {
    if (t.kind == "El Torito")
        return "this is an ISO 9660 image whose boot images hold no FAT volume: dorvex reads "
               "FAT12, FAT16, FAT32 and exFAT";
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

// The note for a volume whose boot sector counts `claims` sectors (512-byte, from the image's
// start) when the image has fewer; else "".
std::string Image::truncation(uint64_t claims) const {
    if (claims <= sectors()) return "";
    return "image ends at sector " + std::to_string(sectors()) + ", the volume claims " +
           std::to_string(claims) + ": truncated?";
}

// Mounts [start, end), from FAT32's backup boot sector when the first one is damaged (the
// library's choice, as fsck and The Sleuth Kit fall back to it). `fs` names what lies there,
// if known, for the message of a failure.
readfat_volume *Image::mount_at(uint64_t start, uint64_t end, uint32_t flags, std::string fs,
                                std::string &error) {
    int err = 0;
    vol_ = readfat_new(start, end, 512, this, &Image::reader, flags, 4, 4, &err);
    if (!vol_) {
        error = dv_strerror(err);
        const char *name = "";
        uint64_t claimed = 0;
        readfat_identify(start, end, this, &Image::raw_reader, &name, &claimed);
        if (fs.empty()) fs = name;
        const std::string cut = err == DV_E_BADPBR && claimed ? truncation(start + claimed) : "";
        if (fs == "blank")
            error = "the volume is blank (all zeros): no file system on it";
        else if (fs == "exFAT")
            error = "damaged exFAT volume: " + error;
        else if (!fs.empty() && fs.rfind("FAT", 0) != 0)
            error = not_fat_message(fs);
        else if (!cut.empty())
            error += " (" + cut + ")";
        return nullptr;
    }
    vol_start_ = start;
    vol_end_ = end;
    readfat_info(vol_, &info_);
    if (info_.notes & DV_VOL_NOTE_BACKUP_BOOT && info_.fat_type == DV_FAT_EXFAT)
        notes_.push_back("main boot region damaged, using the backup boot region");
    else if (info_.notes & DV_VOL_NOTE_BACKUP_BOOT)
        notes_.push_back("boot sector damaged, using the backup at sector " +
                         std::to_string(info_.backup_boot_sector));
    const std::string cut =
        truncation(start + info_.total_sectors * (info_.bytes_per_sector / 512));
    if (!cut.empty()) notes_.push_back(cut);
    return vol_;
}

readfat_volume *Image::mount(const VolumeChoice &choice, std::string &error, uint32_t extra_flags) {
    uint64_t start = 0, end = 0;
    std::string fs;
    notes_.clear();
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
        if (!read_sectors(0, 1, s)) {
            error = std::strerror(EIO);
            return false;
        }
        PartitionTable t = partitions();
        // A damaged FAT boot sector ("FAT": a jump, a signature, no partitions) is still
        // taken whole, so that the mount names what is wrong with it; so is a FAT32 volume
        // known only by its backup.
        if (t.disk_fat ||
            (t.parts.empty() && (t.disk_fs.rfind("FAT", 0) == 0 || t.disk_fs == "exFAT"))) {
            where_ = "whole image";
            fs = t.disk_fs;
        } else {
            // The first FAT or exFAT volume in a partition of a type meant for it; else in
            // one of any type; else a FAT32 volume known only by its backup boot sector, or
            // one named exFAT that the library may mount from its backup boot region.
            const Partition *found = nullptr;
            for (int pass = 0; pass < 3; ++pass)
                for (const Partition &p : t.parts)
                    if (!found &&
                        (pass == 2 ? !p.fat && (p.fs == "FAT32" || p.fs == "exFAT")
                                   : p.fat && (pass == 1 || p.fat_kind || p.fat == DV_FAT_EXFAT)))
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
