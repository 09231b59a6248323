// Directory-entry codec throughput: entries decoded per second by dv_readentry over a
// buffer of long-name runs, records encoded by dv_writeentry, timestamps, and dv_parsepath
// on typical paths in UTF-8 and ASCII contexts.
#include <dorvex/dorvex.h>

#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <random>
#include <vector>

namespace {

// `records` records with names of `len` units (0 = random 1-60), written as one buffer.
std::vector<uint8_t> make_directory(int records, int len, int *entries_out) {
    dv_ctx ctx{};
    std::mt19937 rng(1);
    std::vector<dv_entry> in(static_cast<size_t>(records));
    for (auto &r : in) {
        const int n = len ? len : static_cast<int>(1 + rng() % 60);
        r.name.len = static_cast<uint16_t>(n);
        for (int i = 0; i < n; ++i) r.name.units[i] = static_cast<uint16_t>('a' + rng() % 26);
        r.name.units[n] = 0;
        std::memcpy(r.shortname, "LONGNA~1TXT", 11);
        r.shortname[7] = static_cast<char>('0' + rng() % 10);
        r.attr = DV_ATTR_ARCHIVE;
        r.cluster = rng();
        r.size = rng();
        r.ctime = {static_cast<int32_t>(1000000000 + rng() % 500000000), 120000000};
        r.mtime = r.ctime;
        r.atime = r.ctime;
    }
    std::vector<uint8_t> buf(static_cast<size_t>(records) * 22 * DV_DIRENT_SIZE);
    const dv_entry *rp = in.data();
    int count = records;
    uint8_t *out = buf.data();
    unsigned room = static_cast<unsigned>(buf.size() / DV_DIRENT_SIZE);
    dv_writeentry(&ctx, &rp, &count, &out, &room);
    *entries_out = static_cast<int>((out - buf.data()) / DV_DIRENT_SIZE);
    return buf;
}

void BM_ReadEntry(benchmark::State &state) {
    int entries = 0;
    const auto buf = make_directory(1024, static_cast<int>(state.range(0)), &entries);
    dv_ctx ctx{};
    std::vector<dv_entry> recs(1024);
    for (auto _ : state) {
        const uint8_t *cur = buf.data();
        int count = entries;
        dv_entry *rp = recs.data();
        int room = static_cast<int>(recs.size());
        benchmark::DoNotOptimize(dv_readentry(&ctx, &cur, &count, &rp, &room));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * entries);
    state.counters["records/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * 1024,
                                                     benchmark::Counter::kIsRate);
}
// Name length 0 = random lengths 1-60 (2 to 6 entries per record).
BENCHMARK(BM_ReadEntry)->Arg(0)->Arg(12)->Arg(100)->Arg(255);

void BM_WriteEntry(benchmark::State &state) {
    int entries = 0;
    const auto src = make_directory(1024, 0, &entries);
    // Read the records back once, then encode them over and over.
    dv_ctx ctx{};
    std::vector<dv_entry> recs(1024);
    const uint8_t *cur = src.data();
    int count = entries;
    dv_entry *rp = recs.data();
    int room = 1024;
    dv_readentry(&ctx, &cur, &count, &rp, &room);
    std::vector<uint8_t> out(src.size());
    for (auto _ : state) {
        const dv_entry *r = recs.data();
        int left = 1024;
        uint8_t *o = out.data();
        unsigned free_entries = static_cast<unsigned>(out.size() / DV_DIRENT_SIZE);
        benchmark::DoNotOptimize(dv_writeentry(&ctx, &r, &left, &o, &free_entries));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_WriteEntry);

void BM_DecodeTimestamp(benchmark::State &state) {
    uint16_t date = 0x2A43;
    for (auto _ : state) {
        dv_timestamp ts;
        dv_decodets(&ts, date, 0x20A3, 178);
        benchmark::DoNotOptimize(ts);
        date = static_cast<uint16_t>(date + 0x0123);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeTimestamp);

// The C library's timegm on the same fields, for comparison.
void BM_DecodeTimestampTimegm(benchmark::State &state) {
    uint16_t date = 0x2A43;
    for (auto _ : state) {
        struct tm t = {};
        t.tm_year = 80 + (date >> 9);
        t.tm_mon = ((date >> 5) & 0x0F) - 1;
        t.tm_mday = date & 0x1F;
        t.tm_hour = 4;
        t.tm_min = 5;
        t.tm_sec = 7;
        benchmark::DoNotOptimize(timegm(&t));
        date = static_cast<uint16_t>(date + 0x0123);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeTimestampTimegm);

void BM_EncodeTimestamp(benchmark::State &state) {
    dv_timestamp ts{981173107, 789000000};
    for (auto _ : state) {
        uint16_t date, time_word;
        uint8_t tenms;
        benchmark::DoNotOptimize(dv_encodets(&ts, &date, &time_word, &tenms));
        ts.sec += 86413;
        if (ts.sec < 0) ts.sec = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeTimestamp);

const char *const typical_paths[] = {
    "/DCIM/100CANON/IMG_0423.JPG",
    "/Documents/Projects/2026/quarterly report (final).docx",
    "/music/Some Artist/Greatest Hits/07 - A rather long song title.flac",
    "/boot/EFI/BOOT/BOOTX64.EFI",
};

void BM_ParsePath(benchmark::State &state) {
    const auto flags = static_cast<uint32_t>(state.range(0));
    int err = 0;
    dv_ctx *ctx = dv_newctx(flags, &err);
    if (!ctx) {
        state.SkipWithError("dv_newctx failed");
        return;
    }
    size_t bytes = 0;
    for (const char *p : typical_paths) bytes += std::strlen(p);
    for (auto _ : state) {
        for (const char *p : typical_paths) {
            dv_pathnode *list = dv_parsepath(ctx, p);
            benchmark::DoNotOptimize(list);
            dv_freepath(ctx, list);
        }
    }
    state.SetItemsProcessed(state.iterations() * 4);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
    dv_deletectx(ctx);
}
BENCHMARK(BM_ParsePath)
    ->ArgName("flags")
    ->Arg(DV_CHARSET_UTF8 | DV_FLAG_SLASH | DV_FLAG_BACKSLASH)
    ->Arg(DV_CHARSET_ASCII | DV_FLAG_SLASH | DV_FLAG_BACKSLASH | DV_FLAG_UTF16);

} // namespace

BENCHMARK_MAIN();
