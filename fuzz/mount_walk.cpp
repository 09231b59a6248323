// Fuzz target: the input is the medium. List its partitions, mount it, walk every directory
// (bounded), stat what a path can name, read and seek every file, count the free clusters. The
// reader aborts on any request outside the volume; the allocator aborts on leaks and bad releases.
#include "fuzz_common.h"

#include <string>
#include <vector>

namespace {

struct Walk {
    readfat_volume *vol;
    unsigned budget = 4000; // readdir calls and file reads in all

    void file(const dv_entry &e, const std::string &path) {
        int err = 0;
        if (!path.empty()) {
            dv_entry st;
            readfat_stat(vol, path.c_str(), &st);
        }
        readfat_file *f = readfat_open_entry(vol, &e, &err);
        if (!f) return;
        static uint8_t buf[8192];
        uint32_t total = 0;
        while (budget && total < (1u << 20)) {
            --budget;
            err = 0;
            const uint32_t n = readfat_read(vol, f, buf, sizeof buf, &err);
            total += n;
            if (n < sizeof buf) break;
        }
        // 64-bit positions: exFAT sizes run past 4 GiB.
        const uint64_t size = readfat_size64(vol, f);
        if (readfat_seek64(vol, f, size, &err) == 0 && readfat_tell64(vol, f) != size)
            dvfuzz::fail("seek to the size went elsewhere");
        if (size <= 0xFFFFFFFFu && readfat_size(vol, f) != size)
            dvfuzz::fail("32-bit size differs from the 64-bit one");
        readfat_seek64(vol, f, size / 3, &err);
        readfat_read(vol, f, buf, 100, &err);
        readfat_close(vol, f);
    }

    void dir(readfat_dir *d, const std::string &path, int depth) {
        std::vector<std::pair<dv_entry, std::string>> subdirs;
        int err = 0;
        while (budget) {
            --budget;
            const dv_entry *e = readfat_readdir(vol, d, &err);
            if (!e) break;
            if (e->name.len > DV_NAME_MAX) dvfuzz::fail("name longer than 255 units");
            std::string name;
            bool plain = e->name.len > 0;
            for (uint32_t i = 0; i < e->name.len; ++i) {
                const uint16_t u = e->name.units[i];
                if (u == 0 || u >= 0x80 || u == '/' || u == '\\') plain = false;
                name += char(u);
            }
            if (name == "." || name == ".." || (e->attr & DV_ATTR_VOLUME)) continue;
            const std::string sub = plain ? path + "/" + name : "";
            if (e->attr & DV_ATTR_DIRECTORY)
                subdirs.push_back({*e, sub});
            else
                file(*e, sub);
        }
        readfat_closedir(vol, d);
        if (depth >= 4) return;
        for (auto &[e, sub] : subdirs) {
            if (!sub.empty()) {
                if (readfat_dir *p = readfat_opendir(vol, sub.c_str(), &err))
                    readfat_closedir(vol, p);
            }
            if (readfat_dir *h = readfat_opendir_entry(vol, &e, &err)) dir(h, sub, depth + 1);
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 512) return 0;
    dvfuzz::Medium m{data, size, 0};
    m.end = (size + 511) / 512;
    if (m.end < 64) m.end = 64;
    const uint32_t bps = uint32_t(data[11] | data[12] << 8);
    m.max_count =
        (data[13] ? data[13] : 1) * (bps == 1024 || bps == 2048 || bps == 4096 ? bps / 512 : 1);
    // exFAT's boot sector, or a backup region's first sector (logical sector 12 at each
    // sector size), which a first sector that names nothing sends the mount to.
    // The medium reads zeros past the input: a sector it cuts short is seen padded.
    auto byte = [&](size_t i) -> uint8_t { return i < size ? data[i] : 0; };
    size_t named = SIZE_MAX;
    for (size_t at :
         {size_t{0}, size_t{12} << 9, size_t{12} << 10, size_t{12} << 11, size_t{12} << 12}) {
        bool exfat = named == SIZE_MAX;
        for (size_t i = 0; exfat && i < 8; ++i) exfat = byte(at + 3 + i) == "EXFAT   "[i];
        if (exfat) named = at;
    }
    if (named != SIZE_MAX) {
        // exFAT needs a volume of 1 MiB or more: the medium reaches VolumeLength (up to 32
        // MiB, zeros past the input). A request may ask for one logical sector (up to 4096
        // bytes) or a cluster of the main region's or of a backup region's geometry: the
        // backup (logical sector 12) has its own sector size.
        uint64_t length = 0;
        for (int i = 7; i >= 0; --i) length = length << 8 | byte(named + 72 + i);
        if (length > m.end) m.end = length < (1u << 16) ? length : (1u << 16);
        m.max_count = 8;
        for (size_t at :
             {size_t{0}, size_t{12} << 9, size_t{12} << 10, size_t{12} << 11, size_t{12} << 12}) {
            const uint32_t shift = uint32_t(byte(at + 108)) + byte(at + 109);
            if (byte(at + 108) >= 9 && byte(at + 108) <= 12 && shift <= 25 &&
                (1u << (shift - 9)) > m.max_count)
                m.max_count = 1u << (shift - 9);
        }
    }
    // The same medium as a partitioned disk: the table reader too must stay inside it.
    {
        const uint32_t max_count = m.max_count;
        m.max_count = 8; // one logical sector of up to 4096 bytes
        readfat_partition parts[4];
        readfat_table table{};
        readfat_partitions(m.end, 0, &m, dvfuzz::Medium::read, parts, 4, &table);
        if (table.count < 4 && table.count > 0 && parts[table.count - 1].start >= m.end)
            dvfuzz::fail("partition starts past the disk");
        m.max_count = max_count;
    }
    dvfuzz::Alloc alloc;
    int err = 0;
    // The image's last byte also turns on deleted records and case-insensitive lookups.
    const uint32_t extra =
        (data[size - 1] & 1) ? DV_FLAG_DELETED | DV_FLAG_NOCASE | DV_FLAG_NTCASE : 0;
    readfat_volume *vol =
        readfat_new2(0, m.end, 512, &m, dvfuzz::Medium::read, readfat_optimal_flags() | extra, 2, 6,
                     &err, &alloc, dvfuzz::Alloc::alloc, dvfuzz::Alloc::release);
    if (!vol) {
        if (alloc.live() != 0) dvfuzz::fail("failed mount kept memory");
        return 0;
    }
    Walk w{vol};
    if (readfat_dir *root = readfat_opendir(vol, "", &err)) w.dir(root, "", 0);
    uint32_t free_clusters = 0;
    if (readfat_free_clusters(vol, &free_clusters, &err) == 0 && free_clusters > vol->cluster_count)
        dvfuzz::fail("more free clusters than clusters");
    readfat_delete(vol);
    return 0;
}
