// mkfs: a new, empty FAT12, FAT16 or FAT32 volume on an image, a partition of it or a
// device, laid out by the library's writefat_format.
#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "cli.h"
#include "dorvex/writefat.h"
#include "text.h"

namespace dvcli {
namespace {

// Why the volume at [start, end) should not be formatted without --force, or "".
std::string in_use(Image &img, uint64_t start, uint64_t end, bool whole) {
    if (whole) {
        const PartitionTable t = img.partitions();
        if (!t.parts.empty() && t.kind != "El Torito")
            return "holds an " + t.kind + " partition table with " +
                   std::to_string(t.parts.size()) + " partition" +
                   (t.parts.size() == 1 ? "" : "s") + " (-p N formats one of them)";
    }
    int err = 0;
    readfat_volume *v = readfat_new(start, end, 512, &img, Image::reader, kVolumeFlags, 0, 1, &err);
    if (v) {
        uint64_t n = 0;
        if (readfat_dir *d = readfat_opendir(v, "", &err)) {
            while (const dv_entry *e = readfat_readdir(v, d, &err))
                if (!(e->attr & DV_ATTR_VOLUME)) ++n;
            readfat_closedir(v, d);
        }
        const std::string type = "FAT" + std::to_string(v->fat_type);
        readfat_delete(v);
        if (n == 0) return "";
        return "holds a " + type + " volume with " + std::to_string(n) +
               (n == 1 ? " entry" : " entries") + " in its root";
    }
    const char *name = "";
    if (readfat_identify(start, end, &img, Image::reader, &name, nullptr) != 0) name = "";
    const std::string fs = name;
    // A boot sector that does not mount (a jump and the signature) is a damaged volume.
    if (fs == "FAT" || fs.rfind("FAT", 0) == 0)
        return "holds a damaged " + fs + " volume (" + dv_strerror(err) + ")";
    if (fs.empty() || fs == "blank") return "";
    return "holds a volume of another kind (" + fs + ")";
}

// The volume serial from the time of day, as mkfs.fat makes it.
uint32_t serial_now() {
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    return static_cast<uint32_t>(static_cast<uint64_t>(tv.tv_sec) << 20 |
                                 static_cast<uint64_t>(tv.tv_usec));
}

struct MkfsOptions {
    writefat_format_options lib{};
    uint64_t size = 0; // bytes; 0: all there is
    std::string label;
};

int parse_options(const Args &a, MkfsOptions &m) {
    auto value = [&](const char *name, uint64_t &out, const char *hint) -> int {
        if (!a.values.count(name)) return kOk;
        const std::string &text = a.values.at(name);
        if (!parse_size(text, out) || out == 0 || out > UINT32_MAX)
            return usage_error("mkfs",
                               "bad --" + std::string(name) + " '" + text + "' (" + hint + ")");
        return kOk;
    };
    uint64_t fat = 0, cluster = 0, sector = 0, align = 0;
    if (a.values.count("fat")) {
        const std::string &f = a.values.at("fat");
        if (f != "12" && f != "16" && f != "32")
            return usage_error("mkfs", "bad FAT type '" + f + "' (12, 16 or 32)");
        fat = std::stoul(f);
    }
    if (int rc = value("cluster-size", cluster, "a power of two from the sector size to 64K"))
        return rc;
    if (int rc = value("sector-size", sector, "512, 1024, 2048 or 4096")) return rc;
    if (int rc = value("align", align, "bytes, a multiple of the sector size, e.g. 4M")) return rc;
    if (cluster && (cluster & (cluster - 1)))
        return usage_error("mkfs", "bad --cluster-size '" + a.values.at("cluster-size") +
                                       "' (a power of two, e.g. 4K)");
    if (sector && sector != 512 && sector != 1024 && sector != 2048 && sector != 4096)
        return usage_error("mkfs", "bad --sector-size '" + a.values.at("sector-size") +
                                       "' (512, 1024, 2048 or 4096)");
    if (align % 512 || align % (sector ? sector : 512))
        return usage_error("mkfs", "bad --align '" + a.values.at("align") +
                                       "' (a multiple of the sector size, e.g. 4M)");
    if (a.values.count("size")) {
        const std::string &text = a.values.at("size");
        if (!parse_size(text, m.size) || m.size == 0 || m.size % 512)
            return usage_error("mkfs", "bad --size '" + text +
                                           "' (whole 512-byte sectors, e.g. 1440K, 64M, 2G)");
    }
    if (a.values.count("label")) m.label = a.values.at("label");
    m.lib.fat_type = static_cast<uint32_t>(fat);
    m.lib.cluster_size = static_cast<uint32_t>(cluster);
    m.lib.sector_size = static_cast<uint32_t>(sector);
    m.lib.align = static_cast<uint32_t>(align / 512);
    return kOk;
}

// Creates the image file, or extends a regular file, so that it holds `need` bytes.
// Returns "" or why not.
std::string make_room(const std::string &path, bool exists, const struct stat &st, uint64_t need,
                      bool &created) {
    if (exists && (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) >= need)) return "";
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CLOEXEC | (exists ? 0 : O_CREAT | O_EXCL), 0666);
    if (fd < 0) return std::strerror(errno);
    created = !exists;
    // Sparse: the blocks never written take no room.
    const bool ok = ftruncate(fd, static_cast<off_t>(need)) == 0;
    const int code = errno;
    ::close(fd);
    return ok ? "" : std::strerror(code);
}

} // namespace

int cmd_mkfs(const Args &a) {
    MkfsOptions m;
    if (int rc = parse_options(a, m)) return rc;
    const std::string &path = a.positional[0];
    const std::string shown = escape_display_utf8(path);

    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) {
        report(shown, std::strerror(errno));
        return kFail;
    }
    if (!exists && !m.size) {
        report(shown, "no such file (--size SIZE creates an image of that size)");
        return kFail;
    }
    if (!exists && a.volume.partition) {
        report(shown, "no such file, so no partition " + std::to_string(*a.volume.partition));
        return kFail;
    }
    bool created = false;
    if (m.size && !a.volume.partition) {
        // A regular file grows to hold the volume; a device must be large enough.
        const uint64_t offset = a.volume.offset.value_or(0);
        if (offset > (UINT64_MAX - m.size) / 512 ||
            offset * 512 + m.size > static_cast<uint64_t>(INT64_MAX)) {
            report(shown, "--size and --offset pass the largest file");
            return kFail;
        }
        const std::string why = make_room(path, exists, st, offset * 512 + m.size, created);
        if (!why.empty()) {
            report(shown, why);
            return kFail;
        }
    }
    // Whatever fails from here, an image made here goes again.
    struct Cleanup {
        const std::string &path;
        bool &armed;
        ~Cleanup() {
            if (armed) ::unlink(path.c_str());
        }
    } cleanup{path, created};

    Image img;
    std::string error;
    if (!img.open(path, error, true) || !img.lock_for_writing(error)) {
        report(shown, error);
        return kFail;
    }
    uint64_t start = 0, end = img.sectors();
    if (a.volume.partition) {
        if (!img.locate(a.volume, start, end, error)) {
            report(shown, error);
            return kFail;
        }
        m.lib.hidden_sectors = start;
    } else if (a.volume.offset) {
        start = *a.volume.offset;
        m.lib.hidden_sectors = start;
    }
    if (start >= end) {
        report(shown, "offset " + std::to_string(start) + " lies beyond the end (" +
                          std::to_string(end) + " sectors)");
        return kFail;
    }
    if (m.size) {
        if (m.size / 512 > end - start) {
            report(shown, "--size " + a.values.at("size") + " is larger than the " +
                              (a.volume.partition ? "partition" : "device") + " (" +
                              human_size((end - start) * 512) + ")");
            return kFail;
        }
        end = start + m.size / 512;
    }
    if (!a.has("force") && !created) {
        const std::string why = in_use(img, start, end, !a.volume.partition && !a.volume.offset);
        if (!why.empty()) {
            report(shown, why + "; --force formats it anyway");
            return kFail;
        }
    }

    m.lib.volume_id = serial_now();
    m.lib.label = m.label.c_str();
    m.lib.mtime = wall_clock(time(nullptr), utc_times());
    // The layout first: a refused one writes nothing, and says what the line below shows.
    writefat_layout lay{};
    if (writefat_format_layout(end - start, &m.lib, &lay) != 0) {
        writefat_format_options probe = m.lib; // without the label, is the layout possible?
        probe.label = nullptr;
        if (writefat_format_layout(end - start, &probe, &lay) == 0) {
            report(shown, "bad label '" + escape_display_utf8(m.label) +
                              "': at most 11 ASCII characters, none of . \" * + , / : ; < = > "
                              "? [ \\ ] |");
        } else {
            const std::string type =
                m.lib.fat_type ? "FAT" + std::to_string(m.lib.fat_type) : "FAT";
            report(shown, "no " + type + " volume of " + human_size((end - start) * 512) +
                              " with these options (FAT12 holds 1 to 4084 clusters, FAT16 "
                              "4085 to 65524, FAT32 65525 and more)");
        }
        return kFail;
    }
    if (const int rc = writefat_format(start, end, &img, Image::writer, &m.lib)) {
        report_code(shown, rc);
        return kFail;
    }
    created = false; // made: it stays

    std::string line = shown + ": FAT" + std::to_string(lay.fat_type) + ", " +
                       human_size((end - start) * 512) + ", " + std::to_string(lay.cluster_count) +
                       " clusters of " + human_size(lay.cluster_size) + ", ";
    // The label as stored: in upper case.
    std::string label = m.label;
    while (!label.empty() && label.back() == ' ') label.pop_back();
    for (char &c : label)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    line += label.empty() ? "no label" : "label " + escape_display_utf8(label);
    out_str(line + "\n");
    return kOk;
}

} // namespace dvcli
