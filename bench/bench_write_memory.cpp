// What the write path's memory presets cost and what they take, on FAT32 volumes that
// writefat_format lays out in memory with 512-byte and 32 KiB clusters:
//  - a table printed first: for WRITEFAT_CONFIG_FAST and WRITEFAT_CONFIG_SMALL, 1 file and
//    1 directory slot, the write state's bytes as writefat_config_bytes says them and as an
//    allocator counting every block sees them at writefat_open3, the reader's (readfat_new2
//    alone with the same slots), the codec context's and the total;
//  - the time of writing 1,000 small files into one directory (4 KiB each with 512-byte
//    clusters, one 32 KiB cluster each with 32 KiB clusters) and of one 64 MiB file in
//    64 KiB writes, each on a freshly formatted volume, closed at the end.
// The sector device is sparse: 1 MiB pieces taken when first written, zeros elsewhere.
#include <dorvex/readfat.h>
#include <dorvex/writefat.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kPiece = 1u << 20;
// The write path's own context takes these; the volume is mounted with the reader's.
constexpr uint32_t kCtxFlags = DV_FLAG_LENIENT | DV_FLAG_NTCASE | DV_FLAG_UTF16 | DV_CHARSET_UTF8;
uint32_t mount_flags() {
    return (readfat_optimal_flags() & ~DV_CHARSET_MASK) | DV_CHARSET_UTF8 | DV_FLAG_NTCASE;
}

struct Sparse {
    uint64_t bytes;
    std::vector<std::unique_ptr<uint8_t[]>> pieces;
    long reads = 0, writes = 0; // calls
    explicit Sparse(uint64_t n) : bytes(n), pieces((n + kPiece - 1) / kPiece) {}
    static int32_t write(void *self, const void *buf, uint64_t sector, uint32_t count) {
        auto *d = static_cast<Sparse *>(self);
        ++d->writes;
        const auto *p = static_cast<const uint8_t *>(buf);
        for (uint64_t at = sector * 512, end = at + uint64_t{count} * 512; at < end;) {
            auto &piece = d->pieces[at / kPiece];
            if (!piece) piece.reset(new uint8_t[kPiece]());
            const uint64_t n = std::min(end - at, kPiece - at % kPiece);
            std::memcpy(piece.get() + at % kPiece, p, n);
            p += n;
            at += n;
        }
        return static_cast<int32_t>(count);
    }
    static int32_t read(void *self, void *buf, uint64_t sector, uint32_t count) {
        auto *d = static_cast<Sparse *>(self);
        ++d->reads;
        auto *p = static_cast<uint8_t *>(buf);
        for (uint64_t at = sector * 512, end = at + uint64_t{count} * 512; at < end;) {
            const auto &piece = d->pieces[at / kPiece];
            const uint64_t n = std::min(end - at, kPiece - at % kPiece);
            if (piece)
                std::memcpy(p, piece.get() + at % kPiece, n);
            else
                std::memset(p, 0, n);
            p += n;
            at += n;
        }
        return static_cast<int32_t>(count);
    }
};

// Counts the bytes of every live block.
struct Counting {
    std::map<void *, size_t> live;
    size_t bytes() const {
        size_t n = 0;
        for (const auto &b : live) n += b.second;
        return n;
    }
    static void *alloc(void *self, size_t size) {
        void *p = std::malloc(size);
        if (p) static_cast<Counting *>(self)->live[p] = size;
        return p;
    }
    static void release(void *self, void *ptr) {
        static_cast<Counting *>(self)->live.erase(ptr);
        std::free(ptr);
    }
};

// 512-byte clusters on 100 MiB (room for the 64 MiB file); 32 KiB ones on 2.5 GiB, the
// least FAT32 takes with them.
std::unique_ptr<Sparse> formatted(uint32_t cluster) {
    auto dev = std::make_unique<Sparse>(cluster == 512 ? uint64_t{100} << 20 : uint64_t{5} << 29);
    writefat_format_options o{};
    o.fat_type = 32;
    o.cluster_size = cluster;
    if (writefat_format(0, dev->bytes / 512, dev.get(), Sparse::write, &o) != 0) {
        std::fprintf(stderr, "format failed\n");
        std::exit(1);
    }
    return dev;
}

writefat_volume *open_with(Sparse &dev, uint32_t preset, Counting *mem, uint32_t slots = 1) {
    writefat_config c;
    writefat_config_init(&c, preset);
    int err = 0;
    writefat_volume *w =
        writefat_open3(0, dev.bytes / 512, 512, &dev, Sparse::read, Sparse::write, mount_flags(),
                       slots, slots, &c, &err, mem, Counting::alloc, Counting::release);
    if (!w) {
        std::fprintf(stderr, "open failed: %d\n", err);
        std::exit(1);
    }
    return w;
}

void print_memory_table() {
    std::printf("%-8s %-5s %-6s %12s %12s %10s %9s %10s\n", "cluster", "slots", "preset",
                "config_bytes", "writer", "reader", "context", "total");
    // 1 file and 1 directory slot for reading through writefat_reader, or none (a logger
    // that only writes: the reader keeps its lookup window and FAT cache).
    for (uint32_t slots : {1u, 0u})
        for (uint32_t cluster : {512u, 32768u}) {
            auto dev = formatted(cluster);
            Counting reader_mem, ctx_mem;
            int err = 0;
            readfat_volume *rv =
                readfat_new2(0, dev->bytes / 512, 512, dev.get(), Sparse::read, mount_flags(),
                             slots, slots, &err, &reader_mem, Counting::alloc, Counting::release);
            dv_ctx *ctx = dv_newctx2(kCtxFlags, &err, &ctx_mem, Counting::alloc, Counting::release);
            const size_t reader = reader_mem.bytes(), context = ctx_mem.bytes();
            dv_deletectx(ctx);
            readfat_delete(rv);
            for (uint32_t preset : {WRITEFAT_CONFIG_FAST, WRITEFAT_CONFIG_SMALL}) {
                writefat_config c;
                writefat_config_init(&c, preset);
                Counting mem;
                writefat_volume *w = open_with(*dev, preset, &mem, slots);
                const size_t total = mem.bytes();
                std::printf("%-8u %-5u %-6s %12zu %12zu %10zu %9zu %10zu\n", cluster, slots,
                            preset ? "small" : "fast", writefat_config_bytes(&c, 512, cluster),
                            total - reader - context, reader, context, total);
                writefat_close(w);
            }
        }
    std::fflush(stdout);
}

// A 512-byte aligned buffer of `n` bytes of a pattern.
std::shared_ptr<uint8_t> aligned_data(size_t n) {
    auto *p = static_cast<uint8_t *>(std::aligned_alloc(512, n));
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(i * 31 + 7);
    return std::shared_ptr<uint8_t>(p, std::free);
}

void write_file(writefat_volume *w, const char *path, const uint8_t *data, size_t size,
                size_t piece) {
    int err = 0;
    writefat_file *f = writefat_create(w, path, 0, &err);
    for (size_t at = 0; f && at < size; at += piece)
        if (writefat_write(w, f, data + at, std::min(piece, size - at), &err) != 0) break;
    if (!f || writefat_finish(w, f, 1700000000) != 0) {
        std::fprintf(stderr, "writing %s failed: %d\n", path, err);
        std::exit(1);
    }
}

void BM_SmallFiles(benchmark::State &state) {
    const auto cluster = static_cast<uint32_t>(state.range(0));
    const auto preset = static_cast<uint32_t>(state.range(1));
    const size_t size = cluster == 512 ? 4096 : cluster;
    const auto data = aligned_data(size);
    for (auto _ : state) {
        state.PauseTiming();
        auto dev = formatted(cluster);
        dev->reads = dev->writes = 0;
        state.ResumeTiming();
        Counting mem;
        writefat_volume *w = open_with(*dev, preset, &mem);
        writefat_mkdir(w, "DCIM", 0);
        char path[64];
        for (int i = 0; i < 1000; ++i) {
            std::snprintf(path, sizeof path, "DCIM/Holiday photo %04d.jpg", i);
            write_file(w, path, data.get(), size, size);
        }
        writefat_close(w);
        state.PauseTiming();
        state.counters["reads"] = static_cast<double>(dev->reads);
        state.counters["writes"] = static_cast<double>(dev->writes);
        dev.reset();
        state.ResumeTiming();
    }
    state.SetLabel(preset ? "small" : "fast");
}

void BM_BigFile(benchmark::State &state) {
    const auto cluster = static_cast<uint32_t>(state.range(0));
    const auto preset = static_cast<uint32_t>(state.range(1));
    const size_t size = size_t{64} << 20;
    const auto data = aligned_data(size);
    for (auto _ : state) {
        state.PauseTiming();
        auto dev = formatted(cluster);
        dev->reads = dev->writes = 0;
        state.ResumeTiming();
        Counting mem;
        writefat_volume *w = open_with(*dev, preset, &mem);
        write_file(w, "video.bin", data.get(), size, 65536);
        writefat_close(w);
        state.PauseTiming();
        state.counters["reads"] = static_cast<double>(dev->reads);
        state.counters["writes"] = static_cast<double>(dev->writes);
        dev.reset();
        state.ResumeTiming();
    }
    state.SetLabel(preset ? "small" : "fast");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

BENCHMARK(BM_SmallFiles)
    ->ArgsProduct({{512, 32768}, {WRITEFAT_CONFIG_FAST, WRITEFAT_CONFIG_SMALL}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_BigFile)
    ->ArgsProduct({{512, 32768}, {WRITEFAT_CONFIG_FAST, WRITEFAT_CONFIG_SMALL}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

} // namespace

int main(int argc, char **argv) {
    print_memory_table();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
