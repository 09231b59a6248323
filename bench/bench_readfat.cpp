// Volume reader throughput, each figure beside a baseline measured in the same run (the read
// and listing rows also on FAT16, to set beside FAT32's):
//  - sequential read of a 256 MiB file in 64 KiB reads into a 512-byte aligned buffer (and
//    one byte off it), beside a memcpy of the same bytes in 64 KiB pieces into the same
//    buffer (counter memcpy_ratio = read time / memcpy time), also with READFAT_FLAG_BATCH
//    (counter calls_per_MiB: sector reader calls per MiB read);
//  - listing a directory of 20,000 files with 26-unit long names (60,002 raw entries, some
//    names non-ASCII), beside a memcpy of the directory's bytes, also with READFAT_FLAG_BATCH
//    (counter calls_per_listing: sector reader calls of one opendir and listing);
//  - readfat_stat of random paths (UTF-8, about 10% non-ASCII) in a tree of 10 x 10
//    directories x 100 files, in a UTF-8 context, with the process in the "C" locale and
//    in "C.UTF-8".
// The images are built in memory here (entries encoded by dv_writeentry); the sector reader
// is a memcpy from the image.
#include "tree_names.h"
#include <dorvex/readfat.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kReserved = 32;
constexpr uint32_t kEnd = 0x0FFFFFFF;

void put16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t *p, uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

// UTF-8 (BMP only) to a dv_name.
dv_name to_name(const std::string &s) {
    dv_name n{};
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        uint32_t u;
        if (c < 0x80) {
            u = c;
            i += 1;
        } else if (c < 0xE0) {
            u = (c & 0x1Fu) << 6 | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
            i += 2;
        } else {
            u = (c & 0x0Fu) << 12 | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6 |
                (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
            i += 3;
        }
        n.units[n.len++] = static_cast<uint16_t>(u);
    }
    n.units[n.len] = 0;
    return n;
}

// A FAT32 (or FAT16) volume in memory with one FAT, built front to back: clusters are handed
// out in ascending order, so every chain is contiguous. FAT16's root is its fixed region.
class Image {
  public:
    Image(uint32_t spc, uint64_t data_bytes, uint32_t bits = 32) : spc_(spc), bits_(bits) {
        capacity_ = static_cast<uint32_t>(data_bytes / cluster_bytes() + 64);
        if (bits_ == 16) {
            capacity_ = std::max<uint32_t>(capacity_, 4200); // FAT16 starts at 4085 clusters
            fat_sectors_ = ((capacity_ + 2) * 2 + kSector - 1) / kSector;
            root_sectors_ = 512 * DV_DIRENT_SIZE / kSector;
        } else {
            fat_sectors_ = (capacity_ + 2 + 127) / 128;
        }
        const uint64_t total =
            kReserved + fat_sectors_ + root_sectors_ + uint64_t{capacity_} * spc_;
        disk_.assign(total * kSector, 0);
        uint8_t *b = disk_.data();
        b[0] = 0xEB;
        put16(b + 11, kSector);
        b[13] = static_cast<uint8_t>(spc_);
        put16(b + 14, kReserved);
        b[16] = 1;
        if (bits_ == 16) {
            put16(b + 17, 512);
            put16(b + 22, fat_sectors_);
            put32(b + 32, static_cast<uint32_t>(total));
        } else {
            put32(b + 36, fat_sectors_);
            put32(b + 44, 2);
        }
        put16(b + 510, 0xAA55);
        set_fat(0, 0x0FFFFFF8);
        set_fat(1, kEnd);
        set_fat(2, kEnd); // the root directory's first cluster
        ctx_ = dv_newctx(readfat_optimal_flags(), nullptr);
    }
    ~Image() { dv_deletectx(ctx_); }
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;

    const std::vector<uint8_t> &disk() const { return disk_; }
    uint64_t sectors() const { return disk_.size() / kSector; }
    mutable uint64_t reader_calls = 0;
    uint32_t cluster_bytes() const { return spc_ * kSector; }
    uint8_t *cluster(uint32_t n) {
        return disk_.data() +
               (kReserved + fat_sectors_ + root_sectors_ + uint64_t{n - 2} * spc_) * kSector;
    }
    uint8_t *root_region() { return disk_.data() + (kReserved + fat_sectors_) * kSector; }

    // A contiguous chain of clusters for `bytes` bytes (at least one cluster).
    uint32_t alloc(uint64_t bytes) {
        const auto n = static_cast<uint32_t>((bytes + cluster_bytes() - 1) / cluster_bytes());
        return link(next_free_, n == 0 ? 1 : n);
    }

    uint32_t add_file(const std::string &data) {
        if (data.empty()) return 0;
        const uint32_t first = alloc(data.size());
        std::memcpy(cluster(first), data.data(), data.size());
        return first;
    }

    // Writes a directory holding `records` (and "." / ".." unless it is the root).
    uint32_t add_dir(const std::vector<dv_entry> &records, uint32_t parent, bool root) {
        std::vector<uint8_t> raw((records.size() * 21 + 3) * DV_DIRENT_SIZE);
        const size_t dots = root ? 0 : 2;
        const dv_entry *rp = records.data();
        int count = static_cast<int>(records.size());
        uint8_t *out = raw.data() + dots * DV_DIRENT_SIZE;
        unsigned room = static_cast<unsigned>(raw.size() / DV_DIRENT_SIZE - dots);
        dv_writeentry(ctx_, &rp, &count, &out, &room);
        const auto used = static_cast<size_t>(out - raw.data());
        uint32_t first;
        if (root && bits_ == 16) {
            std::memcpy(root_region(), raw.data(), std::min<size_t>(used, root_sectors_ * kSector));
            return 0;
        }
        if (root) {
            // The root starts at cluster 2; the rest of its chain follows the used clusters.
            const auto more =
                static_cast<uint32_t>((used + cluster_bytes() - 1) / cluster_bytes()) - 1;
            first = 2;
            if (more != 0) {
                const uint32_t rest = link(next_free_, more);
                set_fat(2, rest);
                std::memcpy(cluster(2), raw.data(), cluster_bytes());
                std::memcpy(cluster(rest), raw.data() + cluster_bytes(), used - cluster_bytes());
                return first;
            }
        } else {
            first = alloc(used);
            dot(raw.data(), ".          ", first);
            dot(raw.data() + DV_DIRENT_SIZE, "..         ", parent);
        }
        std::memcpy(cluster(first), raw.data(), used);
        return first;
    }

    // A record for a file or directory; short names are unique 8.3 names.
    dv_entry record(const std::string &name, uint8_t attr, uint32_t cluster, uint32_t size) {
        dv_entry e{};
        e.name = to_name(name);
        std::snprintf(e.shortname, sizeof e.shortname, "N%07u%s", serial_++,
                      attr & DV_ATTR_DIRECTORY ? "   " : "TXT");
        e.attr = attr;
        e.cluster = cluster;
        e.size = size;
        e.mtime = e.ctime = e.atime = dv_timestamp{1700000000, 0};
        return e;
    }

  private:
    void set_fat(uint32_t n, uint32_t v) {
        uint8_t *fat = disk_.data() + kReserved * kSector;
        if (bits_ == 16)
            put16(fat + n * 2, v & 0xFFFF);
        else
            put32(fat + n * 4, v);
    }
    uint32_t link(uint32_t first, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) set_fat(first + i, i + 1 < n ? first + i + 1 : kEnd);
        next_free_ = first + n;
        return first;
    }
    static void dot(uint8_t *e, const char *name11, uint32_t cluster) {
        std::memcpy(e, name11, 11);
        e[11] = DV_ATTR_DIRECTORY;
        put16(e + 20, cluster >> 16);
        put16(e + 26, cluster & 0xFFFF);
    }

    uint32_t spc_;
    uint32_t bits_;
    uint32_t capacity_;
    uint32_t fat_sectors_;
    uint32_t root_sectors_ = 0;
    uint32_t next_free_ = 3;
    uint32_t serial_ = 1;
    std::vector<uint8_t> disk_;
    dv_ctx *ctx_;
};

int32_t mem_reader(void *data, void *buf, uint64_t sector, uint32_t count) {
    const auto *img = static_cast<const Image *>(data);
    ++img->reader_calls;
    if (sector >= img->sectors() || count > img->sectors() - sector) return -1;
    std::memcpy(buf, img->disk().data() + sector * kSector, size_t{count} * kSector);
    return static_cast<int32_t>(count);
}

readfat_volume *mount(const Image &img, uint32_t flags) {
    int err = 0;
    readfat_volume *vol = readfat_new(0, img.sectors(), kSector, const_cast<Image *>(&img),
                                      mem_reader, flags, 1, 1, &err);
    if (!vol) std::fprintf(stderr, "mount failed: %s\n", dv_strerror(err));
    return vol;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// ---- Sequential read ------------------------------------------------------------------

constexpr size_t kFileBytes = size_t{256} << 20;
constexpr uint32_t kChunk = 64 * 1024;

struct FileImage {
    std::unique_ptr<Image> img;
    uint32_t first = 0;
};

const FileImage &file_image(uint32_t spc, uint32_t bits = 32) {
    static std::map<std::pair<uint32_t, uint32_t>, FileImage> cache;
    FileImage &f = cache[{spc, bits}];
    if (!f.img) {
        f.img = std::make_unique<Image>(spc, kFileBytes, bits);
        std::string data(kFileBytes, '\0');
        std::mt19937 rng(spc);
        for (size_t i = 0; i < data.size(); i += 4096) data[i] = static_cast<char>(rng());
        f.first = f.img->add_file(data);
        f.img->add_dir({f.img->record("big file.bin", DV_ATTR_ARCHIVE, f.first,
                                      static_cast<uint32_t>(kFileBytes))},
                       0, true);
    }
    return f;
}

// `sized`: the row has a third argument, the size of each read in KiB.
void read_file_bench(benchmark::State &state, uint32_t bits, uint32_t flags = 0,
                     bool sized = false) {
    const FileImage &f = file_image(static_cast<uint32_t>(state.range(0)), bits);
    readfat_volume *vol = mount(*f.img, readfat_optimal_flags() | flags);
    if (!vol) return state.SkipWithError("mount failed");
    // Whole clusters go straight into a 512-byte aligned buffer; `misalign` bytes off it, they
    // go through the handle's cluster buffer.
    const size_t misalign = static_cast<size_t>(state.range(1));
    const uint32_t chunk = sized ? static_cast<uint32_t>(state.range(2)) << 10 : kChunk;
    std::unique_ptr<uint8_t, decltype(&std::free)> space(
        static_cast<uint8_t *>(std::aligned_alloc(4096, chunk + 4096)), &std::free);
    uint8_t *dst = space.get() + misalign;
    const uint8_t *src = f.img->cluster(f.first);

    auto read_all = [&] {
        int err = 0;
        readfat_file *file = readfat_open(vol, "big file.bin", &err);
        size_t total = 0;
        uint32_t n;
        while ((n = readfat_read(vol, file, dst, chunk, &err)) > 0) total += n;
        benchmark::DoNotOptimize(dst);
        readfat_close(vol, file);
        return total;
    };
    auto copy_all = [&] {
        for (size_t off = 0; off < kFileBytes; off += chunk) {
            std::memcpy(dst, src + off, chunk);
            benchmark::DoNotOptimize(dst);
            benchmark::ClobberMemory();
        }
    };
    const uint64_t calls_before = f.img->reader_calls;
    if (read_all() != kFileBytes) return state.SkipWithError("short read"); // warm-up
    // One pass: the open's lookup, FAT sectors and data.
    const auto calls = static_cast<double>(f.img->reader_calls - calls_before);
    copy_all();

    double read_time = 0, copy_time = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        read_all();
        const double t = seconds_since(t0);
        read_time += t;
        state.SetIterationTime(t);
        t0 = std::chrono::steady_clock::now();
        copy_all();
        copy_time += seconds_since(t0);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kFileBytes));
    state.counters["memcpy_ratio"] = read_time / copy_time;
    state.counters["calls_per_MiB"] = calls / static_cast<double>(kFileBytes >> 20);
    readfat_delete(vol);
}
void BM_ReadFile(benchmark::State &state) {
    read_file_bench(state, 32);
}
// Runs of contiguous clusters in one request (READFAT_FLAG_BATCH); the file is contiguous.
// Arg read_kib: the size of each readfat_read (a run never outgrows it), 64 KiB as above or
// 1 MiB, where runs reach their 256 KiB bound.
void BM_ReadFileBatch(benchmark::State &state) {
    read_file_bench(state, 32, READFAT_FLAG_BATCH, true);
}
// The same file on FAT16 (which needs clusters of 8 KiB or more to hold 256 MiB).
void BM_ReadFileFat16(benchmark::State &state) {
    read_file_bench(state, 16);
}
BENCHMARK(BM_ReadFileFat16)
    ->ArgNames({"spc", "misalign"})
    ->ArgsProduct({{64}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadFile)
    ->ArgNames({"spc", "misalign"})
    ->ArgsProduct({{1, 8, 64}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadFileBatch)
    ->ArgNames({"spc", "misalign", "read_kib"})
    ->ArgsProduct({{1, 8, 64}, {0}, {64, 1024}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The runs of the same file: a walk over its FAT entries alone (the file is contiguous: one
// run), as cat's zero-copy path and stat --clusters take them. Arg batch: READFAT_FLAG_BATCH,
// which lets the walk read eight FAT sectors a request.
void BM_Extents(benchmark::State &state) {
    const FileImage &f = file_image(static_cast<uint32_t>(state.range(0)));
    const uint32_t flags = state.range(1) != 0 ? READFAT_FLAG_BATCH : 0u;
    readfat_volume *vol = mount(*f.img, readfat_optimal_flags() | flags);
    if (!vol) return state.SkipWithError("mount failed");
    dv_entry e{};
    if (readfat_stat(vol, "big file.bin", &e) != 0) return state.SkipWithError("stat failed");
    uint32_t count = 0;
    const uint64_t calls_before = f.img->reader_calls;
    for (auto _ : state) {
        readfat_extent x;
        int err = 0;
        if (readfat_extents(vol, &e, &x, 1, &count, &err) != 0 || x.bytes != kFileBytes)
            return state.SkipWithError("extents failed");
        benchmark::DoNotOptimize(x);
    }
    state.counters["runs"] = count;
    state.counters["calls"] = static_cast<double>(f.img->reader_calls - calls_before) /
                              static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kFileBytes));
    readfat_delete(vol);
}
BENCHMARK(BM_Extents)
    ->ArgNames({"spc", "batch"})
    ->ArgsProduct({{1, 64}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

// ---- Listing --------------------------------------------------------------------------

constexpr int kListFiles = 20000;

// 26-unit names; every tenth has a non-ASCII letter.
std::string list_name(int i) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s report %05d final.txt", i % 10 == 0 ? "résumé" : "resume",
                  i);
    return buf;
}

struct ListImage {
    std::unique_ptr<Image> img;
    uint32_t dir = 0;
    size_t dir_bytes = 0;
};

const ListImage &list_image(uint32_t spc, uint32_t bits = 32) {
    static std::map<std::pair<uint32_t, uint32_t>, ListImage> cache;
    ListImage &l = cache[{spc, bits}];
    if (!l.img) {
        l.img = std::make_unique<Image>(spc, uint64_t{kListFiles} * 3 * 32 + (1u << 20), bits);
        std::vector<dv_entry> recs;
        for (int i = 0; i < kListFiles; ++i)
            recs.push_back(l.img->record(list_name(i), DV_ATTR_ARCHIVE, 0, 0));
        l.dir = l.img->add_dir(recs, 0, false);
        l.dir_bytes = (size_t{kListFiles} * 3 + 2) * DV_DIRENT_SIZE;
        l.img->add_dir({l.img->record("big", DV_ATTR_DIRECTORY, l.dir, 0)}, 0, true);
    }
    return l;
}

void list_dir_bench(benchmark::State &state, uint32_t bits, uint32_t flags = 0) {
    const ListImage &l = list_image(static_cast<uint32_t>(state.range(0)), bits);
    readfat_volume *vol = mount(*l.img, readfat_optimal_flags() | flags);
    if (!vol) return state.SkipWithError("mount failed");
    std::vector<uint8_t> dst(l.dir_bytes);
    const uint8_t *src = l.img->cluster(l.dir);

    auto list = [&] {
        int err = 0;
        readfat_dir *d = readfat_opendir(vol, "big", &err);
        int n = 0;
        while (const dv_entry *e = readfat_readdir(vol, d, &err)) {
            benchmark::DoNotOptimize(e);
            ++n;
        }
        readfat_closedir(vol, d);
        return n;
    };
    const uint64_t calls_before = l.img->reader_calls;
    if (list() != kListFiles + 2) return state.SkipWithError("wrong listing"); // warm-up
    const auto calls = static_cast<double>(l.img->reader_calls - calls_before);

    double list_time = 0, copy_time = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        list();
        const double t = seconds_since(t0);
        list_time += t;
        state.SetIterationTime(t);
        t0 = std::chrono::steady_clock::now();
        std::memcpy(dst.data(), src, l.dir_bytes);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
        copy_time += seconds_since(t0);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * (kListFiles + 2));
    state.counters["memcpy_ratio"] = list_time / copy_time;
    state.counters["calls_per_listing"] = calls;
    readfat_delete(vol);
}
void BM_ListDir(benchmark::State &state) {
    list_dir_bench(state, 32);
}
// Runs of up to 64 KiB of the directory's clusters a request (READFAT_FLAG_BATCH).
void BM_ListDirBatch(benchmark::State &state) {
    list_dir_bench(state, 32, READFAT_FLAG_BATCH);
}
void BM_ListDirFat16(benchmark::State &state) {
    list_dir_bench(state, 16);
}
BENCHMARK(BM_ListDirFat16)
    ->ArgName("spc")
    ->Arg(1)
    ->Arg(8)
    ->Arg(64)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListDir)
    ->ArgName("spc")
    ->Arg(1)
    ->Arg(8)
    ->Arg(64)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListDirBatch)
    ->ArgName("spc")
    ->Arg(1)
    ->Arg(8)
    ->Arg(64)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// ---- Lookup ---------------------------------------------------------------------------

struct TreeImage {
    std::unique_ptr<Image> img;
    std::vector<std::string> paths;
};

const TreeImage &tree_image() {
    static TreeImage t;
    if (t.img) return t;
    t.img = std::make_unique<Image>(8, 4u << 20);
    Image &img = *t.img;
    const auto dir_name = bench_dir_name;
    const auto file_name = bench_file_name;
    std::vector<dv_entry> top;
    std::vector<std::string> all;
    for (int a = 0; a < 10; ++a) {
        std::vector<dv_entry> mid;
        for (int b = 0; b < 10; ++b) {
            std::vector<dv_entry> files;
            for (int c = 0; c < 100; ++c) {
                const int id = (a * 10 + b) * 100 + c;
                files.push_back(img.record(file_name(id), DV_ATTR_ARCHIVE, 0, 0));
                all.push_back(dir_name(a) + "/" + dir_name(b) + "/" + file_name(id));
            }
            // ".." of these points at the middle directory, whose cluster is not known yet;
            // lookups never follow it.
            const uint32_t cl = img.add_dir(files, 0, false);
            mid.push_back(img.record(dir_name(b), DV_ATTR_DIRECTORY, cl, 0));
        }
        top.push_back(img.record(dir_name(a), DV_ATTR_DIRECTORY, img.add_dir(mid, 0, false), 0));
    }
    img.add_dir(top, 0, true);
    std::mt19937 rng(7);
    for (int i = 0; i < 10000; ++i) t.paths.push_back(all[rng() % all.size()]);
    return t;
}

// Arg bit 0: the process in "C.UTF-8" rather than left in the "C" locale, as most C
// programs run (the converter does not depend on the locale, so both should cost the same);
// bit 1: case-insensitive lookups (DV_FLAG_NOCASE) of the same paths.
void BM_StatRandom(benchmark::State &state) {
    std::setlocale(LC_ALL, (state.range(0) & 1) != 0 ? "C.UTF-8" : "C");
    const TreeImage &t = tree_image();
    const uint32_t flags = (readfat_optimal_flags() & ~DV_CHARSET_MASK) | DV_CHARSET_UTF8 |
                           ((state.range(0) & 2) != 0 ? DV_FLAG_NOCASE : 0u);
    readfat_volume *vol = mount(*t.img, flags);
    if (!vol) return state.SkipWithError("mount failed");
    dv_entry e;
    for (const auto &p : t.paths) // warm-up, and every path must resolve
        if (readfat_stat(vol, p.c_str(), &e) != 0) return state.SkipWithError(p.c_str());
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(readfat_stat(vol, t.paths[i].c_str(), &e));
        if (++i == t.paths.size()) i = 0;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    readfat_delete(vol);
    std::setlocale(LC_ALL, "C");
}
BENCHMARK(BM_StatRandom)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->ArgName("utf8_locale_nocase")
    ->Unit(benchmark::kMicrosecond);

// ---- Scaling --------------------------------------------------------------------------

// Listing a directory of n files (3 raw entries each, plus the dot entries: 1,001, 10,001
// and 60,002 raw entries) and looking up its last file: cost per raw entry, which stays flat
// when the cost grows linearly.
void BM_Scaling(benchmark::State &state) {
    const int files = static_cast<int>(state.range(0));
    static std::map<int, std::unique_ptr<Image>> cache;
    std::unique_ptr<Image> &img = cache[files];
    if (!img) {
        img = std::make_unique<Image>(8, uint64_t(files) * 3 * 32 + (1u << 20));
        std::vector<dv_entry> recs;
        for (int i = 0; i < files; ++i)
            recs.push_back(img->record(list_name(i), DV_ATTR_ARCHIVE, 0, 0));
        const uint32_t dir = img->add_dir(recs, 0, false);
        img->add_dir({img->record("big", DV_ATTR_DIRECTORY, dir, 0)}, 0, true);
    }
    readfat_volume *vol = mount(*img, readfat_optimal_flags());
    if (!vol) return state.SkipWithError("mount failed");
    const std::string last = "big/" + list_name(files - 1);
    const double raw = double(files) * 3 + 2;
    double list_time = 0, stat_time = 0;
    dv_entry e;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        readfat_dir *d = readfat_opendir(vol, "big", nullptr);
        while (const dv_entry *r = readfat_readdir(vol, d, nullptr)) benchmark::DoNotOptimize(r);
        readfat_closedir(vol, d);
        list_time += seconds_since(t0);
        t0 = std::chrono::steady_clock::now();
        if (readfat_stat(vol, last.c_str(), &e) != 0) return state.SkipWithError("stat failed");
        stat_time += seconds_since(t0);
    }
    const double n = double(state.iterations());
    state.counters["raw_entries"] = raw;
    state.counters["list_ns_per_entry"] = list_time / n / raw * 1e9;
    state.counters["stat_ns_per_entry"] = stat_time / n / raw * 1e9;
    readfat_delete(vol);
}
BENCHMARK(BM_Scaling)
    ->ArgName("files")
    ->Arg(333)
    ->Arg(3333)
    ->Arg(20000)
    ->Unit(benchmark::kMillisecond);

// ---- Footprint ------------------------------------------------------------------------

// What a mounted volume holds (the context, the volume record, the arena) for 4 files and
// 16 directories on 4 KiB clusters, counted through the caller's allocator, without and with
// READFAT_FLAG_BATCH (whose directory windows hold 64 KiB runs); the timing is that of a
// mount and a release.
struct Counted {
    std::vector<size_t> sizes;
};

void *counting_alloc(void *data, size_t n) {
    static_cast<Counted *>(data)->sizes.push_back(n);
    return std::malloc(n);
}

void counting_free(void *, void *p) {
    std::free(p);
}

void BM_Footprint(benchmark::State &state) {
    Image img(8, 1u << 20);
    img.add_dir({img.record("README.TXT", DV_ATTR_ARCHIVE, 0, 0)}, 0, true);
    Counted c;
    for (auto _ : state) {
        c.sizes.clear();
        int err = 0;
        readfat_volume *vol =
            readfat_new2(0, img.sectors(), kSector, &img, mem_reader,
                         readfat_optimal_flags() | (state.range(0) ? READFAT_FLAG_BATCH : 0), 4, 16,
                         &err, &c, counting_alloc, counting_free);
        if (!vol) return state.SkipWithError("mount failed");
        readfat_delete(vol);
    }
    // Allocation order: context, volume record, arena.
    if (c.sizes.size() != 3) return state.SkipWithError("expected three allocations");
    state.counters["ctx_bytes"] = static_cast<double>(c.sizes[0]);
    state.counters["record_bytes"] = static_cast<double>(c.sizes[1]);
    state.counters["arena_bytes"] = static_cast<double>(c.sizes[2]);
    state.counters["total_bytes"] = static_cast<double>(c.sizes[0] + c.sizes[1] + c.sizes[2]);
}
BENCHMARK(BM_Footprint)->ArgName("batch")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
