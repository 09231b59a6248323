// exFAT reader throughput, each row beside its FAT32 twin timed in the same iterations (the
// two file systems alternate, so both see the same machine load):
//  - reading a 256 MiB file (contiguous, NoFatChain on exFAT) with READFAT_FLAG_BATCH into a
//    4 KiB aligned buffer, in 64 KiB and 1 MiB reads, beside a memcpy of the same bytes in
//    the same pieces into the same buffer (counter memcpy_ratio = read time / memcpy time);
//  - readfat_stat of random paths (UTF-8, about 10% non-ASCII) in a tree of 10 x 10
//    directories x 100 files, 1,000 lookups an iteration; FAT32 also case-insensitive
//    (DV_FLAG_NOCASE), as exFAT always matches;
//  - listing one directory of 20,000 files with 26-unit names, without and with
//    READFAT_FLAG_BATCH.
// Each row's time is that of its own file system (arg fs: 32 or 64); counter
// exfat_to_fat32 is exFAT's total time over FAT32's in that row's iterations.
//
// The images are real ones, made by mkfs.exfat + exfat-fuse and by dorvex mkimage from the
// same source trees: tools/make_exfat_bench_images.sh DIR DORVEX read tree list, then run
// with DORVEX_BENCH_IMAGES=DIR (bench/run.sh does both). They are mapped read-only; the
// sector reader is a memcpy from the mapping.
#include "tree_names.h"
#include <dorvex/readfat.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
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

// An image file mapped read-only and touched once, so the timed reads never fault.
struct Mapped {
    const uint8_t *bytes = nullptr;
    size_t size = 0;
    mutable uint64_t reader_calls = 0;
    uint64_t sectors() const { return size / kSector; }
};

const Mapped *image(const char *name) {
    static std::map<std::string, Mapped> cache;
    auto it = cache.find(name);
    if (it != cache.end()) return it->second.bytes ? &it->second : nullptr;
    Mapped &m = cache[name];
    const char *dir = std::getenv("DORVEX_BENCH_IMAGES");
    const std::string path = std::string(dir ? dir : "build/bench/exfat-images") + "/" + name;
    const int fd = ::open(path.c_str(), O_RDONLY);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        std::fprintf(stderr,
                     "%s missing: run tools/make_exfat_bench_images.sh DIR DORVEX and set "
                     "DORVEX_BENCH_IMAGES=DIR\n",
                     path.c_str());
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    void *p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ,
                     MAP_PRIVATE | MAP_POPULATE, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) return nullptr;
    m.bytes = static_cast<const uint8_t *>(p);
    m.size = static_cast<size_t>(st.st_size);
    volatile uint8_t sink = 0;
    for (size_t i = 0; i < m.size; i += 4096) sink = sink + m.bytes[i];
    return &m;
}

int32_t mem_reader(void *data, void *buf, uint64_t sector, uint32_t count) {
    const auto *m = static_cast<const Mapped *>(data);
    ++m->reader_calls;
    if (sector >= m->sectors() || count > m->sectors() - sector) return -1;
    std::memcpy(buf, m->bytes + sector * kSector, size_t{count} * kSector);
    return static_cast<int32_t>(count);
}

// Mounts an image; `want` is the fat_type it must have (32 or DV_FAT_EXFAT).
readfat_volume *mount(const Mapped &m, uint32_t flags, uint32_t want) {
    int err = 0;
    readfat_volume *vol = readfat_new(0, m.sectors(), kSector, const_cast<Mapped *>(&m), mem_reader,
                                      flags, 1, 1, &err);
    if (!vol) {
        std::fprintf(stderr, "mount failed: %s\n", dv_strerror(err));
        return nullptr;
    }
    if (vol->fat_type != want) {
        std::fprintf(stderr, "mounted as FAT type %u, not %u\n", vol->fat_type, want);
        readfat_delete(vol);
        return nullptr;
    }
    return vol;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The two volumes of a row, mounted with the same flags.
struct Pair {
    readfat_volume *fat32 = nullptr;
    readfat_volume *exfat = nullptr;
    const Mapped *fat32_img = nullptr;
    const Mapped *exfat_img = nullptr;
    Pair(const char *set, uint32_t fat32_flags, uint32_t exfat_flags) {
        const std::string f = std::string("fat32-") + set + ".img";
        const std::string x = std::string("exfat-") + set + ".img";
        fat32_img = image(f.c_str());
        exfat_img = image(x.c_str());
        if (fat32_img) fat32 = mount(*fat32_img, fat32_flags, 32);
        if (exfat_img) exfat = mount(*exfat_img, exfat_flags, DV_FAT_EXFAT);
    }
    ~Pair() {
        readfat_delete(fat32);
        readfat_delete(exfat);
    }
    Pair(const Pair &) = delete;
    Pair &operator=(const Pair &) = delete;
    // The row's own volume must be there; its twin is timed when it mounts.
    bool ok(const benchmark::State &state) const {
        return (state.range(0) == 64 ? exfat : fat32) != nullptr;
    }
    bool both() const { return fat32 && exfat; }
};

// `fn(vol)` timed on whichever of the two volumes mounted; 0 for one that did not.
template <class Fn> double timed(readfat_volume *vol, Fn &fn) {
    if (!vol) return 0;
    const auto t0 = std::chrono::steady_clock::now();
    fn(vol);
    return seconds_since(t0);
}

// Times `fn(vol)` on both volumes each iteration; the row's own one is its manual time.
template <class Fn> void alternate(benchmark::State &state, Pair &p, Fn fn) {
    const bool exfat_row = state.range(0) == 64;
    double t32 = 0, t64 = 0;
    for (auto _ : state) {
        const double a = timed(p.fat32, fn);
        const double b = timed(p.exfat, fn);
        t32 += a;
        t64 += b;
        state.SetIterationTime(exfat_row ? b : a);
    }
    if (p.both()) state.counters["exfat_to_fat32"] = t64 / t32;
}

// ---- Sequential read ------------------------------------------------------------------

constexpr size_t kFileBytes = size_t{256} << 20;

void BM_ReadBatch(benchmark::State &state) {
    // dorvex mkimage stores "big.bin" and "big" as 8.3 names (BIG.BIN, BIG) that show in
    // lower case; FAT32 finds them by that text only case-insensitively, as the tool mounts.
    const uint32_t flags = readfat_optimal_flags() | READFAT_FLAG_BATCH;
    Pair p("read", flags | DV_FLAG_NOCASE, flags);
    if (!p.ok(state)) return state.SkipWithError("images missing or not mountable");
    const auto chunk = static_cast<uint32_t>(state.range(1)) << 10;
    std::unique_ptr<uint8_t, decltype(&std::free)> space(
        static_cast<uint8_t *>(std::aligned_alloc(4096, chunk)), &std::free);
    uint8_t *dst = space.get();

    auto read_all = [&](readfat_volume *vol) {
        int err = 0;
        readfat_file *file = readfat_open(vol, "big.bin", &err);
        if (!file) return size_t{0};
        size_t total = 0;
        uint32_t n;
        while ((n = readfat_read(vol, file, dst, chunk, &err)) > 0) total += n;
        benchmark::DoNotOptimize(dst);
        readfat_close(vol, file);
        return total;
    };
    for (readfat_volume *vol : {p.fat32, p.exfat}) // warm-up
        if (vol && read_all(vol) != kFileBytes) return state.SkipWithError("short read");
    // The memcpy copies the row's own image bytes from where the file lies when that is
    // one run, else from the start of the data (the same cost: the mapping is resident).
    const Mapped &img = state.range(0) == 64 ? *p.exfat_img : *p.fat32_img;
    readfat_volume *own = state.range(0) == 64 ? p.exfat : p.fat32;
    const uint8_t *src = img.bytes + img.size - kFileBytes;
    dv_entry e{};
    readfat_extent x{};
    uint32_t runs = 0;
    if (readfat_stat(own, "big.bin", &e) == 0 &&
        readfat_extents(own, &e, &x, 1, &runs, nullptr) == 0 && runs == 1 &&
        (x.sector + kFileBytes / kSector) <= img.sectors())
        src = img.bytes + x.sector * kSector;
    state.counters["runs"] = runs;

    const bool exfat_row = state.range(0) == 64;
    double t32 = 0, t64 = 0, copy = 0;
    for (auto _ : state) {
        const double a = timed(p.fat32, read_all);
        const double b = timed(p.exfat, read_all);
        const auto t0 = std::chrono::steady_clock::now();
        for (size_t off = 0; off < kFileBytes; off += chunk) {
            std::memcpy(dst, src + off, chunk);
            benchmark::DoNotOptimize(dst);
            benchmark::ClobberMemory();
        }
        copy += seconds_since(t0);
        t32 += a;
        t64 += b;
        state.SetIterationTime(exfat_row ? b : a);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kFileBytes));
    state.counters["memcpy_ratio"] = (exfat_row ? t64 : t32) / copy;
    if (p.both()) state.counters["exfat_to_fat32"] = t64 / t32;
}
BENCHMARK(BM_ReadBatch)
    ->ArgNames({"fs", "read_kib"})
    ->ArgsProduct({{32, 64}, {64, 1024}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// ---- Lookup ---------------------------------------------------------------------------

constexpr int kLookups = 1000;

std::vector<std::string> tree_paths() {
    const auto dir_name = bench_dir_name;
    const auto file_name = bench_file_name;
    std::vector<std::string> paths;
    std::mt19937 rng(7);
    for (int i = 0; i < 10000; ++i) {
        const auto id = static_cast<int>(rng() % 10000);
        paths.push_back(dir_name(id / 1000) + "/" + dir_name(id / 100 % 10) + "/" + file_name(id));
    }
    return paths;
}

// Arg nocase: FAT32 mounted with DV_FLAG_NOCASE (exFAT matches case-insensitively anyway).
void BM_StatTree(benchmark::State &state) {
    const uint32_t utf8 = (readfat_optimal_flags() & ~DV_CHARSET_MASK) | DV_CHARSET_UTF8;
    Pair p("tree", utf8 | (state.range(1) != 0 ? DV_FLAG_NOCASE : 0u), utf8);
    if (!p.ok(state)) return state.SkipWithError("images missing or not mountable");
    static const std::vector<std::string> paths = tree_paths();
    dv_entry e;
    for (const auto &path : paths) // warm-up, and every path must resolve on both
        for (readfat_volume *vol : {p.fat32, p.exfat})
            if (vol && readfat_stat(vol, path.c_str(), &e) != 0)
                return state.SkipWithError(path.c_str());
    size_t next = 0;
    alternate(state, p, [&](readfat_volume *vol) {
        size_t i = next;
        for (int k = 0; k < kLookups; ++k) {
            benchmark::DoNotOptimize(readfat_stat(vol, paths[i].c_str(), &e));
            if (++i == paths.size()) i = 0;
        }
    });
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kLookups);
    state.counters["us_per_stat"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kLookups,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_StatTree)
    ->ArgNames({"fs", "nocase"})
    ->Args({32, 0})
    ->Args({32, 1})
    ->Args({64, 0})
    ->Args({64, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// ---- Listing --------------------------------------------------------------------------

constexpr int kListFiles = 20000;

void BM_ListDir(benchmark::State &state) {
    const uint32_t flags = readfat_optimal_flags() | (state.range(1) ? READFAT_FLAG_BATCH : 0u);
    Pair p("list", flags | DV_FLAG_NOCASE, flags);
    if (!p.ok(state)) return state.SkipWithError("images missing or not mountable");
    auto list = [](readfat_volume *vol) {
        int err = 0;
        readfat_dir *d = readfat_opendir(vol, "big", &err);
        int n = 0;
        while (const dv_entry *e = readfat_readdir(vol, d, &err)) {
            benchmark::DoNotOptimize(e);
            // Not FAT's "." and "..", nor the deleted entries dorvex mkimage leaves where an
            // entry's run would cross a sector (one a sector here: 4,000 more raw entries).
            if (!e->deleted && e->name.units[0] != '.') ++n;
        }
        readfat_closedir(vol, d);
        return n;
    };
    for (readfat_volume *vol : {p.fat32, p.exfat})
        if (vol && list(vol) != kListFiles) return state.SkipWithError("wrong listing");
    alternate(state, p, list);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kListFiles);
}
BENCHMARK(BM_ListDir)
    ->ArgNames({"fs", "batch"})
    ->ArgsProduct({{32, 64}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
