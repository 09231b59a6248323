// The device write path's figures (a plain program: the byte counts are exact, not timed).
//
//   bench_logger
//     The data logger of examples/logger_core.h writes 1 MiB in 64-byte lines, flushing every
//     10 lines (and every 100, for comparison), on in-memory volumes made by writefat_format
//     (FAT16 64 MiB, FAT32 600 MiB), with the SMALL and FAST presets. A counting writer sorts
//     what reaches the medium into file data, FAT and directory sectors. Prints bytes written
//     / data bytes (total, and without the directory sectors) and the writer calls, FAT and
//     directory writes per flush.
//   bench_logger append IMAGE MIB
//     Appends MIB MiB in 64 KiB writes to /APPEND.BIN of the FAT image file IMAGE with
//     writefat_open_file(WRITEFAT_CREATE | WRITEFAT_APPEND) through a pwrite writer (what
//     bench/append_vs_cp.sh times beside cp).
#include "../examples/logger_core.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Card {
    std::vector<uint8_t> bytes;
    uint64_t fat_from = 0, data_from = 0; // 512-byte sectors: the FATs, the data area
    uint64_t dir_from = 0, dir_to = 0;    // /LOG's cluster, once known
    uint64_t calls = 0, bytes_data = 0, bytes_fat = 0, bytes_dir = 0, bytes_other = 0;
    uint64_t fat_calls = 0, dir_calls = 0;
    bool counting = false;
};

int32_t card_read(void *d, void *buf, uint64_t sector, uint32_t count) {
    auto *c = static_cast<Card *>(d);
    if ((sector + count) * 512 > c->bytes.size()) return -EIO;
    std::memcpy(buf, c->bytes.data() + sector * 512, size_t{count} * 512);
    return static_cast<int32_t>(count);
}

int32_t card_write(void *d, const void *buf, uint64_t sector, uint32_t count) {
    auto *c = static_cast<Card *>(d);
    if ((sector + count) * 512 > c->bytes.size()) return -EIO;
    std::memcpy(c->bytes.data() + sector * 512, buf, size_t{count} * 512);
    if (!c->counting) return static_cast<int32_t>(count);
    const uint64_t n = uint64_t{count} * 512;
    ++c->calls;
    if (sector >= c->dir_from && sector < c->dir_to) {
        c->bytes_dir += n;
        ++c->dir_calls;
    } else if (sector >= c->data_from) {
        c->bytes_data += n;
    } else if (sector >= c->fat_from) { // the FATs (and a fixed root, unused here)
        c->bytes_fat += n;
        ++c->fat_calls;
    } else {
        c->bytes_other += n; // boot sector, FSInfo
    }
    return static_cast<int32_t>(count);
}

void logger_figures(const char *label, uint32_t fat_type, uint64_t mib, uint32_t preset,
                    uint32_t flush_every = 10) {
    Card c;
    const uint64_t sectors = mib << 11;
    c.bytes.assign(sectors * 512, 0);
    writefat_format_options o{};
    o.fat_type = fat_type;
    writefat_layout lay{};
    if (writefat_format_layout(sectors, &o, &lay) != 0 ||
        writefat_format(0, sectors, &c, card_write, &o) != 0) {
        std::fprintf(stderr, "%s: format failed\n", label);
        return;
    }
    c.fat_from = uint64_t{lay.reserved_sectors} * lay.sector_size / 512;
    c.data_from = lay.data_start;
    writefat_config cfg;
    writefat_config_init(&cfg, preset);
    int err = 0;
    writefat_volume *w = writefat_open3(
        0, sectors, 512, &c, card_read, card_write, readfat_optimal_flags(), 1, 1, &cfg, &err,
        nullptr, [](void *, size_t n) { return std::malloc(n); },
        [](void *, void *p) { std::free(p); });
    if (!w) {
        std::fprintf(stderr, "%s: open: %s\n", label, dv_strerror(err));
        return;
    }
    // /LOG and today's file first, so that the directory's sectors are known.
    const int64_t day0 = 1796860800; // 2026-12-10 00:00 UTC
    logger lg;
    logger_init(&lg, w, flush_every);
    char line[65];
    auto line_at = [&](uint64_t i) {
        const size_t n = logger_format(line, sizeof line, day0 + int64_t(i) * 5, unsigned(i % 4),
                                       long(i * 7919 % 20000));
        std::memset(line + n - 1, ' ', 64 - n); // padded to 64 bytes, newline last
        line[63] = '\n';
    };
    line_at(0);
    logger_write(&lg, day0, line, 64);
    dv_entry dir;
    if (readfat_stat(writefat_reader(w), "/LOG", &dir) != 0) return;
    const readfat_volume *rv = writefat_reader(w);
    c.dir_from = c.data_from + uint64_t{dir.cluster - 2} * rv->cluster_bytes / 512;
    c.dir_to = c.dir_from + rv->cluster_bytes / 512;
    c.counting = true;
    const uint64_t flushes0 = lg.flushes, lines = (1u << 20) / 64;
    for (uint64_t i = 1; i < lines && err == 0; ++i) {
        line_at(i);
        err = logger_write(&lg, day0 + int64_t(i) * 5, line, 64);
    }
    if (err == 0) err = logger_finish(&lg, day0 + int64_t(lines) * 5);
    c.counting = false;
    writefat_close(w);
    if (err != 0) {
        std::fprintf(stderr, "%s: %s\n", label, dv_strerror(err));
        return;
    }
    const double data = double(lines - 1) * 64, flushes = double(lg.flushes - flushes0);
    const double total = double(c.bytes_data + c.bytes_fat + c.bytes_dir + c.bytes_other);
    std::printf("%-18s %6.3fx %6.3fx  %5.2f %5.2f %5.2f  %8.0f %8.0f\n", label, total / data,
                (total - double(c.bytes_dir)) / data, double(c.calls) / flushes,
                double(c.fat_calls) / flushes, double(c.dir_calls) / flushes,
                double(c.bytes_data) / flushes, double(c.bytes_fat) / flushes);
}

int32_t file_read(void *d, void *buf, uint64_t sector, uint32_t count) {
    const int fd = *static_cast<int *>(d);
    const ssize_t got = pread(fd, buf, size_t{count} * 512, off_t(sector * 512));
    return got == ssize_t(count) * 512 ? int32_t(count) : -EIO;
}

int32_t file_write(void *d, const void *buf, uint64_t sector, uint32_t count) {
    const int fd = *static_cast<int *>(d);
    const ssize_t put = pwrite(fd, buf, size_t{count} * 512, off_t(sector * 512));
    if (put < 0) return -errno;
    return put == ssize_t(count) * 512 ? int32_t(count) : -EIO;
}

int append(const char *image, uint64_t mib) {
    int fd = open(image, O_RDWR);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        std::perror(image);
        return 1;
    }
    const auto t0 = std::chrono::steady_clock::now();
    int err = 0;
    writefat_volume *w = writefat_open(0, uint64_t(st.st_size) / 512, 512, &fd, file_read,
                                       file_write, readfat_optimal_flags(), 0, 0, &err);
    writefat_file *f =
        w ? writefat_open_file(w, "/APPEND.BIN", WRITEFAT_CREATE | WRITEFAT_APPEND, &err) : nullptr;
    std::vector<uint8_t> chunk(64 << 10);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = uint8_t(i * 131 + 7);
    for (uint64_t done = 0; f && err == 0 && done < (mib << 20); done += chunk.size())
        if (writefat_write(w, f, chunk.data(), chunk.size(), &err) != 0) break;
    if (f && err == 0) err = writefat_finish(w, f, 1796860800);
    if (w) {
        const int rc = writefat_close(w);
        if (err == 0) err = rc;
    }
    close(fd);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (err != 0) {
        std::fprintf(stderr, "append: %s\n", dv_strerror(err));
        return 1;
    }
    std::printf("appended %llu MiB in %.3f s\n", static_cast<unsigned long long>(mib), s);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 4 && std::strcmp(argv[1], "append") == 0)
        return append(argv[2], std::strtoull(argv[3], nullptr, 10));
    if (argc != 1) {
        std::fprintf(stderr, "usage: bench_logger [append IMAGE MIB]\n");
        return 2;
    }
    std::printf("logger: 1 MiB in 64-byte lines, flush every 10 lines\n");
    std::printf("%-18s %7s %7s  %5s %5s %5s  %8s %8s\n", "volume", "ratio", "-dir", "calls", "fat",
                "dir", "data B", "fat B");
    std::printf("%-18s %7s %7s  %5s %5s %5s  %8s %8s\n", "", "", "", "/flush", "/flush", "/flush",
                "/flush", "/flush");
    logger_figures("fat16 64M small", 16, 64, WRITEFAT_CONFIG_SMALL);
    logger_figures("fat16 64M fast", 16, 64, WRITEFAT_CONFIG_FAST);
    logger_figures("fat32 600M small", 32, 600, WRITEFAT_CONFIG_SMALL);
    logger_figures("fat32 600M fast", 32, 600, WRITEFAT_CONFIG_FAST);
    // Each flush rewrites the sector that holds the file's end: at 640 bytes a flush that
    // is two sectors, 1.6x of the data before the FAT and the entry. Rarer flushes:
    std::printf("flush every 100 lines\n");
    logger_figures("fat16 64M small", 16, 64, WRITEFAT_CONFIG_SMALL, 100);
    logger_figures("fat32 600M small", 32, 600, WRITEFAT_CONFIG_SMALL, 100);
    return 0;
}
