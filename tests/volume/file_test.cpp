// File handles: reads across cluster boundaries, seeks, short and broken chains, cycles,
// failed reads and retries, slots, opening from an entry, and a randomized read/seek run
// against a reference copy. Most cases run over several cluster sizes, with and without
// READFAT_FLAG_BATCH.
#include "support/volume_util.h"

#include <dorvex/writefat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>

using namespace dvtest;

namespace {

struct Files {
    explicit Files(uint32_t spc) : img(make_geo(spc)), t(img) {
        cb = img.cluster_bytes();
        t.file("EMPTY.BIN", "");
        t.file("ONE.BIN", pattern_data(cb, 1));
        t.file("EXACT.BIN", pattern_data(2 * cb, 2));
        t.file("THREE.BIN", pattern_data(3 * cb + 100, 3), FatImage::Spread::gapped);
        t.file("FRAG.BIN", pattern_data(7 * cb + cb / 2, 4), FatImage::Spread::shuffled);
        t.file("BACK.BIN", pattern_data(5 * cb + 1, 5), FatImage::Spread::reversed);
        t.file("RUN.BIN", pattern_data(10 * cb + 7, 6)); // contiguous: batched reads
        t.dir("SUB");
        t.finish();
    }
    static FatGeometry make_geo(uint32_t spc) {
        FatGeometry g;
        g.sectors_per_cluster = spc;
        g.cluster_count = 64;
        return g;
    }
    const TreeNode &node(const char *p) { return *t.find(p); }
    FatImage img;
    TreeLayout t;
    uint32_t cb;
};

// Sectors per cluster, and whether the volume is mounted with READFAT_FLAG_BATCH.
using FileParam = std::tuple<uint32_t, bool>;

class FileTest : public testing::TestWithParam<FileParam> {
  protected:
    FileTest() : f(spc()), rd(f.img) {}
    static uint32_t spc() { return std::get<0>(GetParam()); }
    static bool batch() { return std::get<1>(GetParam()); }
    void SetUp() override {
        const uint32_t flags = readfat_optimal_flags() | (batch() ? READFAT_FLAG_BATCH : 0);
        allow_batches(rd, f.img, flags);
        vol = std::make_unique<Mounted>(f.img, rd, flags);
        ASSERT_TRUE(vol->ok()) << vol->err;
        rd.reset_log();
    }
    // Data requests outside the root directory's first cluster.
    std::vector<FaultReader::Call> file_reads() const {
        const uint64_t root = f.img.cluster_sector(f.img.root_cluster());
        std::vector<FaultReader::Call> out;
        for (const auto &c : rd.log())
            if (c.sector >= f.img.data_start() && (c.sector < root || c.sector >= root + spc()))
                out.push_back(c);
        return out;
    }
    readfat_file *open(const char *p) {
        int err = 0;
        readfat_file *h = readfat_open(*vol, p, &err);
        EXPECT_NE(h, nullptr) << p << ": " << err;
        return h;
    }
    std::string read(readfat_file *h, uint32_t n, int *err) {
        AlignedBuffer b(n);
        uint32_t got = readfat_read(*vol, h, b.data(), n, err);
        return std::string(b.chars(), got);
    }
    Files f;
    FaultReader rd;
    std::unique_ptr<Mounted> vol;
};

} // namespace

TEST_P(FileTest, WholeFilesReadBackWithAnyChunkSize) {
    for (const char *p : {"ONE.BIN", "EXACT.BIN", "THREE.BIN", "FRAG.BIN", "BACK.BIN", "RUN.BIN"}) {
        const std::string &want = f.node(p).data;
        for (uint32_t chunk : {1u, 7u, 512u, f.cb - 1, f.cb, f.cb + 1, 3 * f.cb, 1u << 20}) {
            SCOPED_TRACE(testing::Message() << p << " chunk " << chunk);
            rd.reset_log();
            EXPECT_EQ(read_file(*vol, p, chunk), want);
            // Each data cluster is read once per sequential pass, whole clusters at a time:
            // one per request, or with the bit runs of them.
            uint64_t sectors = 0;
            const std::vector<FaultReader::Call> calls = file_reads();
            for (const auto &c : calls) {
                sectors += c.count;
                EXPECT_EQ(c.count % spc(), 0u);
                EXPECT_EQ((c.sector - f.img.data_start()) % spc(), 0u);
                if (!batch()) {
                    EXPECT_EQ(c.count, spc());
                }
            }
            EXPECT_EQ(sectors, f.node(p).chain.size() * spc()) << rd.describe();
        }
    }
}

TEST_P(FileTest, EmptyFile) {
    readfat_file *h = open("EMPTY.BIN");
    ASSERT_NE(h, nullptr);
    rd.reset_log();
    int err = 0;
    char b[4];
    EXPECT_EQ(readfat_read(*vol, h, b, 4, &err), 0u);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(readfat_size(*vol, h), 0u);
    EXPECT_EQ(readfat_seek(*vol, h, 0, &err), 0);
    EXPECT_EQ(readfat_seek(*vol, h, 1, &err), -1);
    EXPECT_EQ(err, EINVAL);
    EXPECT_EQ(rd.calls(), 0u);
}

TEST_P(FileTest, ExactClusterReadLooksUpTheSuccessorAndNextReadLoadsIt) {
    const TreeNode &n = f.node("EXACT.BIN");
    readfat_file *h = open("EXACT.BIN");
    ASSERT_NE(h, nullptr);
    rd.reset_log();
    int err = 0;
    EXPECT_EQ(read(h, f.cb, &err), n.data.substr(0, f.cb));
    EXPECT_EQ(rd.cluster_reads(n.chain[0]), 1u);
    EXPECT_EQ(rd.cluster_reads(n.chain[1]), 0u);
    EXPECT_EQ(h->cluster, n.chain[1]) << "the successor is looked up at the boundary";
    EXPECT_EQ(h->loaded, 0);
    EXPECT_EQ(read(h, f.cb, &err), n.data.substr(f.cb));
    EXPECT_EQ(rd.cluster_reads(n.chain[1]), 1u);
    EXPECT_GE(h->cluster, 0x0FFFFFF8u) << "past the last cluster: the end mark";
    EXPECT_EQ(read(h, 1, &err), "");
    EXPECT_EQ(err, 0);
    EXPECT_EQ(readfat_tell(*vol, h), 2 * f.cb);
}

TEST_P(FileTest, ReadAcrossABoundary) {
    const TreeNode &n = f.node("THREE.BIN");
    readfat_file *h = open("THREE.BIN");
    ASSERT_NE(h, nullptr);
    int err = 0;
    ASSERT_EQ(readfat_seek(*vol, h, f.cb - 4, &err), 0);
    EXPECT_EQ(read(h, 10, &err), n.data.substr(f.cb - 4, 10));
    EXPECT_EQ(readfat_tell(*vol, h), f.cb + 6);
    // More than the rest: the rest; then 0 with err untouched.
    err = 777;
    EXPECT_EQ(read(h, 10 * f.cb, &err), n.data.substr(f.cb + 6));
    EXPECT_EQ(read(h, 10, &err), "");
    EXPECT_EQ(err, 777);
}

TEST_P(FileTest, SeekWithinTheClusterKeepsItLoaded) {
    const TreeNode &n = f.node("THREE.BIN");
    readfat_file *h = open("THREE.BIN");
    ASSERT_NE(h, nullptr);
    int err = 0;
    ASSERT_EQ(read(h, 3, &err), n.data.substr(0, 3));
    rd.reset_log();
    // Forward and backward within the first cluster, and back to its start.
    for (uint32_t p : {f.cb - 2, 1u, 0u, f.cb / 2}) {
        ASSERT_EQ(readfat_seek(*vol, h, p, &err), 0);
        EXPECT_EQ(readfat_tell(*vol, h), p);
        EXPECT_EQ(read(h, 1, &err), n.data.substr(p, 1));
    }
    EXPECT_EQ(rd.calls(), 0u) << rd.describe();
}

TEST_P(FileTest, SeekBackToTheStartOfTheCurrentClusterKeepsItLoaded) {
    const TreeNode &n = f.node("FRAG.BIN");
    readfat_file *h = open("FRAG.BIN");
    ASSERT_NE(h, nullptr);
    int err = 0;
    ASSERT_EQ(readfat_seek(*vol, h, 3 * f.cb + 9, &err), 0);
    ASSERT_EQ(read(h, 2, &err), n.data.substr(3 * f.cb + 9, 2));
    rd.reset_log();
    ASSERT_EQ(readfat_seek(*vol, h, 3 * f.cb, &err), 0);
    EXPECT_EQ(read(h, 5, &err), n.data.substr(3 * f.cb, 5));
    EXPECT_EQ(rd.calls(), 0u) << rd.describe();
}

TEST_P(FileTest, SeeksReadOnlyTheFat) {
    const TreeNode &n = f.node("FRAG.BIN");
    readfat_file *h = open("FRAG.BIN");
    ASSERT_NE(h, nullptr);
    int err = 0;
    rd.reset_log();
    // The 64-bit calls agree with the 32-bit ones on FAT, each way round.
    for (uint32_t p : {5 * f.cb + 3, 7 * f.cb, 2 * f.cb + 1, uint32_t(n.data.size()), 0u}) {
        ASSERT_EQ(p % 2 ? readfat_seek(*vol, h, p, &err) : readfat_seek64(*vol, h, p, &err), 0)
            << p;
        EXPECT_EQ(readfat_tell(*vol, h), p);
        EXPECT_EQ(readfat_tell64(*vol, h), p);
    }
    EXPECT_EQ(readfat_size64(*vol, h), n.data.size());
    EXPECT_EQ(readfat_seek64(*vol, h, n.data.size() + 1, &err), -1);
    EXPECT_EQ(err, EINVAL);
    EXPECT_EQ(dv_errno((*vol)->ctx), 0) << "no EOVERFLOW below 4 GiB";
    EXPECT_EQ(rd.data_reads(), 0u) << rd.describe();
    // Forward to the next cluster, backward into an earlier one: correct bytes.
    for (uint32_t p : {f.cb + 1, 6 * f.cb + 7, f.cb + 1, 0u, 7 * f.cb + 1}) {
        ASSERT_EQ(readfat_seek(*vol, h, p, &err), 0);
        EXPECT_EQ(read(h, 3, &err), n.data.substr(p, 3)) << p;
    }
}

TEST_P(FileTest, SeekToSizeAtAClusterMultiple) {
    readfat_file *h = open("EXACT.BIN");
    ASSERT_NE(h, nullptr);
    int err = 0;
    EXPECT_EQ(readfat_seek(*vol, h, 2 * f.cb, &err), 0);
    EXPECT_EQ(readfat_tell(*vol, h), 2 * f.cb);
    EXPECT_EQ(read(h, 1, &err), "");
    EXPECT_EQ(err, 0);
    EXPECT_EQ(readfat_seek(*vol, h, 2 * f.cb + 1, &err), -1);
    EXPECT_EQ(err, EINVAL);
    EXPECT_EQ(readfat_tell(*vol, h), 2 * f.cb) << "a refused seek leaves the handle";
    ASSERT_EQ(readfat_seek(*vol, h, 5, &err), 0);
    EXPECT_EQ(read(h, 4, &err), f.node("EXACT.BIN").data.substr(5, 4));
}

TEST_P(FileTest, FailedClusterReadReportsEioAndTheNextReadRetries) {
    const TreeNode &n = f.node("THREE.BIN");
    readfat_file *h = open("THREE.BIN");
    ASSERT_NE(h, nullptr);
    rd.fail_cluster(n.chain[1]);
    int err = 0;
    EXPECT_EQ(read(h, 3 * f.cb, &err), n.data.substr(0, f.cb));
    EXPECT_EQ(err, EIO);
    EXPECT_EQ(readfat_tell(*vol, h), f.cb);
    err = 0;
    EXPECT_EQ(read(h, 10, &err), "");
    EXPECT_EQ(err, EIO);
    rd.clear_faults();
    err = 0;
    EXPECT_EQ(read(h, 10, &err), n.data.substr(f.cb, 10));
    EXPECT_EQ(err, 0);
}

TEST_P(FileTest, FailedReadsOfEveryKind) {
    const TreeNode &n = f.node("ONE.BIN");
    for (auto r :
         {FaultReader::Result::zero, FaultReader::Result::negative, FaultReader::Result::over}) {
        readfat_file *h = open("ONE.BIN");
        ASSERT_NE(h, nullptr);
        rd.reset_log();
        rd.fail_call(1, r);
        int err = 0;
        EXPECT_EQ(read(h, 10, &err), "");
        EXPECT_EQ(err, EIO);
        EXPECT_EQ(read(h, 10, &err), n.data.substr(0, 10)) << "retried";
        rd.clear_faults();
        readfat_close(*vol, h);
    }
}

TEST_P(FileTest, ShortReadsAreContinued) {
    const TreeNode &n = f.node("FRAG.BIN");
    for (uint32_t k : {1u, 3u}) {
        rd.max_per_call(k);
        rd.reset_log();
        EXPECT_EQ(read_file(*vol, "FRAG.BIN"), n.data);
        if (batch()) continue; // runs may span clusters: RUN.BIN below
        // Every request continues where the last one stopped, within one cluster.
        for (uint32_t c : n.chain) {
            uint64_t s = f.img.cluster_sector(c);
            uint32_t left = spc();
            std::vector<FaultReader::Call> mine;
            for (const auto &call : rd.log())
                if (call.sector >= s && call.sector < s + spc()) mine.push_back(call);
            ASSERT_EQ(mine.size(), (spc() + k - 1) / k) << rd.describe();
            for (const auto &call : mine) {
                EXPECT_EQ(call.sector, s + (spc() - left));
                EXPECT_EQ(call.count, left);
                left -= std::min(left, k);
            }
        }
    }
    // A short result is followed by a request for the rest of what was asked, whether that
    // was a cluster or a run of them.
    for (uint32_t k : {1u, 3u}) {
        rd.max_per_call(k);
        rd.reset_log();
        EXPECT_EQ(read_file(*vol, "RUN.BIN"), f.node("RUN.BIN").data);
        const std::vector<FaultReader::Call> calls = file_reads();
        for (size_t i = 0; i + 1 < calls.size(); ++i) {
            if (calls[i].result >= int32_t(calls[i].count)) continue;
            EXPECT_EQ(calls[i + 1].sector, calls[i].sector + uint32_t(calls[i].result));
            EXPECT_EQ(calls[i + 1].count, calls[i].count - uint32_t(calls[i].result));
        }
    }
}

// Without the bit a contiguous file is read cluster by cluster; with it, in runs of as many
// whole clusters as the read wants (within 256 KiB), straight into the aligned buffer. The
// last, partial cluster goes through the handle's buffer either way.
TEST_P(FileTest, ContiguousFileIsReadInRunsWithTheBit) {
    const TreeNode &n = f.node("RUN.BIN");
    rd.require_alignment(512);
    for (uint32_t chunk : {1u << 20, 3 * f.cb}) {
        SCOPED_TRACE(chunk);
        rd.reset_log();
        EXPECT_EQ(read_file(*vol, "RUN.BIN", chunk), n.data);
        const uint32_t per_run = std::min(chunk, 256u * 1024) / f.cb;
        std::vector<std::pair<uint32_t, uint32_t>> want; // (cluster index, clusters)
        for (uint32_t i = 0; i < 10; i += batch() ? per_run : 1)
            want.push_back({i, batch() ? std::min(per_run, 10 - i) : 1});
        want.push_back({10, 1});
        const std::vector<FaultReader::Call> calls = file_reads();
        ASSERT_EQ(calls.size(), want.size()) << rd.describe();
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(calls[i].sector, f.img.cluster_sector(n.chain[want[i].first]));
            EXPECT_EQ(calls[i].count, want[i].second * spc());
        }
    }
    EXPECT_EQ(rd.misaligned(), 0u);
}

// A request that fails partway through a read counts the whole clusters that arrived before
// it (also after short results, and within a run), and the next read starts with the first
// one missing; with or without the bit.
TEST_P(FileTest, FailurePartwayThroughARun) {
    const TreeNode &n = f.node("RUN.BIN");
    for (uint32_t k : {0u, 3u}) {
        for (uint64_t call : {1u, 2u, 3u}) {
            SCOPED_TRACE(testing::Message() << "per call " << k << ", failing call " << call);
            readfat_file *h = open("RUN.BIN");
            ASSERT_NE(h, nullptr);
            rd.reset_log();
            rd.max_per_call(k);
            rd.fail_call(call);
            int err = 0;
            const std::string got = read(h, 8 * f.cb, &err);
            uint64_t arrived = 0;
            const bool failed = rd.log().size() >= call;
            for (uint64_t i = 0; i + 1 < call && i < rd.log().size(); ++i)
                arrived += uint32_t(std::max(rd.log()[i].result, 0));
            const uint32_t want = failed ? uint32_t(arrived / spc()) * f.cb : 8 * f.cb;
            EXPECT_EQ(got, n.data.substr(0, want)) << rd.describe();
            EXPECT_EQ(err, failed ? EIO : 0);
            EXPECT_EQ(readfat_tell(*vol, h), want);
            rd.clear_faults();
            err = 0;
            EXPECT_EQ(read(h, 1u << 20, &err), n.data.substr(want));
            EXPECT_EQ(err, 0);
            // The handle's walk is whole again: seeks back and forth still land right.
            ASSERT_EQ(readfat_seek(*vol, h, 2 * f.cb + 1, &err), 0);
            EXPECT_EQ(read(h, 5 * f.cb, &err), n.data.substr(2 * f.cb + 1, 5 * f.cb));
            readfat_close(*vol, h);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, FileTest,
                         testing::Combine(testing::Values(1u, 2u, 3u, 8u, 64u), testing::Bool()),
                         [](const testing::TestParamInfo<FileParam> &i) {
                             return "spc" + std::to_string(std::get<0>(i.param)) +
                                    (std::get<1>(i.param) ? "_batch" : "");
                         });

// ---- Short, broken and cyclic chains -----------------------------------------------------------

namespace {

// A root with one file "F.BIN" of `size` bytes whose chain the test writes by hand.
struct OneFile {
    OneFile(uint32_t spc, uint32_t size, std::vector<uint32_t> chain, uint32_t end,
            uint32_t clusters = 64, uint64_t start = 0, uint32_t trailing = 0)
        : img(geo(spc, clusters, start, trailing)) {
        data = pattern_data(size, 99);
        DirEntries d;
        d.add_short("F       BIN", DV_ATTR_ARCHIVE, chain.empty() ? 0 : chain[0], size);
        img.place_root(d);
        uint32_t cb = img.cluster_bytes();
        for (size_t i = 0; i < chain.size(); ++i) {
            if (chain[i] < 2 || chain[i] >= img.cluster_count() + 2) continue;
            size_t off = i * cb;
            if (off < data.size())
                std::memcpy(img.cluster(chain[i]), data.data() + off,
                            std::min<size_t>(cb, data.size() - off));
        }
        for (size_t i = 0; i < chain.size(); ++i)
            if (chain[i] >= 2 && chain[i] < img.cluster_count() + 2)
                img.set_fat(chain[i], i + 1 < chain.size() ? chain[i + 1] : end);
    }
    static FatGeometry geo(uint32_t spc, uint32_t clusters, uint64_t start, uint32_t trailing) {
        FatGeometry g;
        g.sectors_per_cluster = spc;
        g.cluster_count = clusters;
        g.start_sector = start;
        g.trailing_sectors = trailing;
        return g;
    }
    FatImage img;
    std::string data;
};

} // namespace

TEST(FileChain, ShortChainSeekFailsAndResets) {
    for (uint32_t spc : {1u, 8u}) {
        OneFile o(spc, 3 * spc * 512, {10}, kEndOfChain);
        const uint32_t cb = spc * 512;
        FaultReader rd(o.img);
        Mounted v(o.img, rd);
        ASSERT_TRUE(v.ok());
        readfat_file *h = readfat_open(v, "F.BIN", nullptr);
        ASSERT_NE(h, nullptr);
        int err = 0;
        ASSERT_EQ(readfat_seek(v, h, 7, &err), 0);
        EXPECT_EQ(readfat_seek(v, h, 2 * cb + 5, &err), -1);
        EXPECT_EQ(err, DV_E_BROKENCHAIN);
        EXPECT_EQ(readfat_tell(v, h), 0u);
        // A seek to a cluster boundary past the chain succeeds; reading there fails
        // without asking the reader for the end mark's sectors.
        err = 0;
        EXPECT_EQ(readfat_seek(v, h, 2 * cb, &err), 0);
        EXPECT_EQ(readfat_tell(v, h), 2 * cb);
        rd.reset_log();
        char b[16];
        EXPECT_EQ(readfat_read(v, h, b, 16, &err), 0u);
        EXPECT_EQ(err, DV_E_BROKENCHAIN);
        EXPECT_EQ(rd.data_reads(), 0u) << rd.describe();
    }
}

TEST(FileChain, ReadPastAShortChainStopsWithBrokenChain) {
    // The entry claims three clusters; the chain has one. (Each end value in turn.)
    for (uint32_t end : {0x0FFFFFFFu, 0x0FFFFFF8u, 0xFFFFFFFFu, 0xFFFFFFF8u}) {
        SCOPED_TRACE(end);
        OneFile o(2, 3 * 1024, {10}, end);
        FaultReader rd(o.img);
        Mounted v(o.img, rd);
        ASSERT_TRUE(v.ok());
        readfat_file *h = readfat_open(v, "F.BIN", nullptr);
        ASSERT_NE(h, nullptr);
        rd.reset_log();
        std::string buf(4096, '\0');
        int err = 0;
        uint32_t n = readfat_read(v, h, buf.data(), 4096, &err);
        EXPECT_EQ(n, 1024u);
        EXPECT_EQ(err, DV_E_BROKENCHAIN);
        EXPECT_EQ(buf.substr(0, n), o.data.substr(0, n));
        EXPECT_EQ(rd.data_reads(), 1u) << rd.describe();
        EXPECT_EQ(readfat_tell(v, h), 1024u);
    }
}

TEST(FileChain, ChainsLeavingTheVolumeNeverReachTheReader) {
    // The volume sits inside a larger disk whose other sectors hold a secret: whatever
    // the chain says, no byte from outside the volume comes back.
    const uint32_t clusters = 64;
    struct Case {
        const char *what;
        uint32_t next;
    } cases[] = {
        {"to 0", 0},
        {"to 1", 1},
        {"one past the last cluster", clusters + 2},
        {"far past", 0x00FFFFF0},
        {"bad-cluster mark", 0x0FFFFFF7},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        OneFile o(2, 3 * 1024, {10}, c.next, clusters, 4096, 256);
        for (uint64_t s = 0; s < o.img.disk().size() / 512; ++s)
            if (s < o.img.start_sector() || s >= o.img.end_sector())
                std::memcpy(o.img.sector(s), "SECRET", 6);
        FaultReader rd(o.img);
        Mounted v(o.img, rd);
        ASSERT_TRUE(v.ok());
        readfat_file *h = readfat_open(v, "F.BIN", nullptr);
        ASSERT_NE(h, nullptr);
        std::string buf(4096, '\0');
        int err = 0;
        uint32_t n = readfat_read(v, h, buf.data(), 4096, &err);
        EXPECT_EQ(n, 1024u);
        EXPECT_EQ(err, DV_E_BROKENCHAIN);
        EXPECT_EQ(buf.substr(0, n).find("SECRET"), std::string::npos);
        // Seeking into the missing cluster: either refused, or the read fails.
        err = 0;
        if (readfat_seek(v, h, 1024 + 5, &err) == 0) {
            EXPECT_EQ(readfat_read(v, h, buf.data(), 10, &err), 0u);
            EXPECT_EQ(err, DV_E_BROKENCHAIN);
        } else {
            EXPECT_EQ(err, DV_E_BROKENCHAIN);
        }
        EXPECT_EQ(rd.bad_requests(), 0u);
    }
}

TEST(FileChain, FirstClusterOutsideTheVolume) {
    for (uint32_t first : {0u, 1u, 64u + 2, 0x0FFFFFF7u, 0x0FFFFFFFu}) {
        SCOPED_TRACE(first);
        OneFile o(1, 100, {first}, kEndOfChain);
        FaultReader rd(o.img);
        Mounted v(o.img, rd);
        ASSERT_TRUE(v.ok());
        readfat_file *h = readfat_open(v, "F.BIN", nullptr);
        ASSERT_NE(h, nullptr);
        char b[100];
        int err = 0;
        EXPECT_EQ(readfat_read(v, h, b, 100, &err), 0u);
        EXPECT_EQ(err, DV_E_BROKENCHAIN);
        EXPECT_EQ(rd.bad_requests(), 0u);
    }
}

TEST(FileChain, CyclesFailWithBrokenChain) {
    auto run = [](uint32_t from, uint32_t to) {
        std::vector<uint32_t> v;
        for (uint32_t c = from; c < to; ++c) v.push_back(c);
        return v;
    };
    struct Case {
        const char *what;
        std::vector<uint32_t> chain;
        uint32_t back;
    } cases[] = {
        {"self-loop", {10}, 10},
        {"two-cycle", {10, 11}, 10},
        {"loop back into the middle", {10, 11, 12, 13, 14}, 12},
        {"long cycle", {10, 20, 30, 11, 21, 31, 12, 22, 32}, 20},
        // Contiguous runs, walked a FAT sector stretch at a time with the bit.
        {"contiguous run back into its middle", run(10, 31), 13},
        {"contiguous run back to its start", run(10, 50), 10},
        {"climbs back through its start",
         [&] {
             std::vector<uint32_t> v = {20, 21, 22};
             for (uint32_t k : run(10, 20)) v.push_back(k);
             return v;
         }(),
         20},
    };
    for (const Case &c : cases) {
        // Reads stop at the same byte with and without the bit, in one read or in pieces.
        uint32_t plain = 0;
        for (bool batch : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.what << (batch ? ", batched" : ""));
            const uint32_t size = 80 * 512; // far more than the chain holds
            OneFile o(1, size, c.chain, c.back);
            FaultReader rd(o.img);
            const uint32_t flags = readfat_optimal_flags() | (batch ? READFAT_FLAG_BATCH : 0);
            allow_batches(rd, o.img, flags);
            Mounted v(o.img, rd, flags);
            ASSERT_TRUE(v.ok());
            readfat_file *h = readfat_open(v, "F.BIN", nullptr);
            ASSERT_NE(h, nullptr);
            AlignedBuffer space(size);
            auto read_until_error = [&](uint32_t chunk, int *err) {
                uint32_t n = 0, got = 0;
                while ((got = readfat_read(v, h, space.data() + n, chunk, err)) == chunk) n += got;
                return n + got;
            };
            int err = 0;
            uint32_t n = read_until_error(size, &err);
            std::string buf(space.chars(), n);
            EXPECT_LT(n, size);
            EXPECT_EQ(err, DV_E_BROKENCHAIN);
            EXPECT_GE(n, c.chain.size() * 512) << "every distinct cluster is read first";
            EXPECT_EQ(buf.substr(0, c.chain.size() * 512), o.data.substr(0, c.chain.size() * 512));
            EXPECT_LE(rd.data_reads(), 4 * c.chain.size()) << rd.describe();
            ASSERT_EQ(readfat_seek(v, h, 0, &err), 0);
            err = 0;
            EXPECT_EQ(read_until_error(3 * 512, &err), n);
            EXPECT_EQ(err, DV_E_BROKENCHAIN);
            if (!batch) plain = n;
            EXPECT_EQ(n, plain);
            // A seek across the cycle fails and puts the handle back at 0, also onto a cluster
            // boundary, where an end mark would let it through.
            for (uint32_t pos : {size - 1, 60 * 512u}) {
                ASSERT_EQ(readfat_seek(v, h, 3, &err), 0);
                err = 0;
                EXPECT_EQ(readfat_seek(v, h, pos, &err), -1) << pos;
                EXPECT_EQ(err, DV_E_BROKENCHAIN);
                EXPECT_EQ(readfat_tell(v, h), 0u);
            }
            // Seeks and reads inside the real part of the chain still work.
            err = 0;
            ASSERT_EQ(readfat_seek(v, h, 5, &err), 0);
            EXPECT_EQ(readfat_read(v, h, space.data(), 10, &err), 10u);
            EXPECT_EQ(std::string(space.chars(), 10), o.data.substr(5, 10));
        }
    }
}

TEST(FileChain, BatchedRunsReadTheSameOnEveryFatWidth) {
    // F.BIN: runs that cross FAT sectors (FAT12 entries straddle them), a run broken by a gap
    // and one lying below the last. G.BIN: a run that leads out of the data area.
    for (uint32_t bits : {12u, 16u, 32u}) {
        SCOPED_TRACE(testing::Message() << "FAT" << bits);
        FatGeometry g;
        g.cluster_count = bits == 16 ? 4200 : 1200;
        g.fat_bits = bits;
        g.root_entries = 16;
        FatImage img(g);
        std::vector<uint32_t> chain, off_end;
        auto run = [](std::vector<uint32_t> &v, uint32_t from, uint32_t to) {
            for (uint32_t c = from; c < to; ++c) v.push_back(c);
        };
        run(chain, 300, 720);
        run(chain, 900, 950);
        run(chain, 100, 120);
        run(off_end, g.cluster_count - 5, g.cluster_count + 2);
        const std::string data = pattern_data(uint32_t(chain.size()) * 512 - 100, bits);
        img.write_data(chain, data);
        img.write_data(off_end, data.substr(0, off_end.size() * 512));
        img.set_fat(off_end.back(), off_end.back() + 1);
        DirEntries d;
        d.add_short("F       BIN", DV_ATTR_ARCHIVE, chain[0], uint32_t(data.size()));
        d.add_short("G       BIN", DV_ATTR_ARCHIVE, off_end[0], 20 * 512);
        img.place_root(d);
        // Plain; batched; batched from a reader that gives one sector a call, so that
        // the FAT read ahead arrives in pieces.
        uint64_t requests[3] = {0, 0, 0}, fat[3] = {0, 0, 0};
        for (int mode : {0, 1, 2}) {
            const bool batch = mode != 0;
            FaultReader rd(img);
            const uint32_t flags = readfat_optimal_flags() | (batch ? READFAT_FLAG_BATCH : 0);
            allow_batches(rd, img, flags);
            if (mode == 2) rd.max_per_call(1);
            Mounted v(img, rd, flags);
            ASSERT_TRUE(v.ok());
            EXPECT_EQ(read_file(v, "F.BIN", 40 * 1024), data) << mode;
            requests[mode] = rd.data_reads();
            fat[mode] = rd.fat_reads();
            readfat_file *h = readfat_open(v, "G.BIN", nullptr);
            AlignedBuffer b(20 * 512);
            int err = 0;
            EXPECT_EQ(readfat_read(v, h, b.data(), 20 * 512, &err), off_end.size() * 512);
            EXPECT_EQ(err, DV_E_BROKENCHAIN);
            EXPECT_EQ(rd.bad_requests(), 0u);
        }
        // FAT32's root directory lies in the data area: one more request.
        EXPECT_EQ(requests[0], chain.size() + (bits == 32));
        EXPECT_LE(requests[1], chain.size() * 512 / (40 * 1024) + 9);
        // FAT16 and FAT32 runs read the FAT ahead, eight sectors a request at most.
        if (bits != 12) {
            EXPECT_LT(fat[1], fat[0]) << fat[0];
        }
        EXPECT_EQ(fat[2], fat[0]);
    }
}

TEST(FileChain, TheWholeFourGigabyteRangeWithoutStoringIt) {
    // A file of 0xFFFFFFFF bytes on 64-sector clusters: 131072 clusters, served by the
    // reader from a formula. Seek near the end and read the last bytes.
    FatGeometry g;
    g.sectors_per_cluster = 64;
    g.cluster_count = 131072 + 8;
    g.reserved_sectors = 32;
    g.stored_sectors = 32 + 2 * 1025 + 64; // boot sector, FATs and the root cluster
    FatImage img(g);
    const uint32_t n = 131072;
    DirEntries d;
    d.add_short("BIG     BIN", DV_ATTR_ARCHIVE, 3, 0xFFFFFFFFu);
    img.place_root(d);
    for (uint32_t i = 0; i < n; ++i) img.set_fat(3 + i, i + 1 < n ? 4 + i : kEndOfChain);
    FaultReader rd(img);
    rd.synth = [&](uint64_t s, uint8_t *buf) {
        for (int i = 0; i < 512; i += 8) std::memcpy(buf + i, &s, 8);
    };
    Mounted v(img, rd);
    ASSERT_TRUE(v.ok());
    readfat_file *h = readfat_open(v, "BIG.BIN", nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(readfat_size(v, h), 0xFFFFFFFFu);
    int err = 0;
    ASSERT_EQ(readfat_seek(v, h, 0xFFFFFFF0u, &err), 0) << err;
    uint8_t b[32];
    EXPECT_EQ(readfat_read(v, h, b, 32, &err), 15u);
    uint64_t want = img.cluster_sector(3) + 0xFFFFFFF0ull / 512;
    uint64_t got;
    std::memcpy(&got, b, 8); // offset 0xFFFFFFF0 % 512 = 496, a multiple of 8
    EXPECT_EQ(got, want);
    EXPECT_EQ(readfat_tell(v, h), 0xFFFFFFFFu);
    EXPECT_EQ(readfat_seek(v, h, 0xFFFFFFFFu, &err), 0);
}

// ---- Randomized read/seek against a reference copy ----------------------------------------------

TEST(FileRandom, ReadsAndSeeksMatchTheReference) {
    for (uint32_t spc : {1u, 2u, 8u}) {
        SCOPED_TRACE(spc);
        FatGeometry g;
        g.sectors_per_cluster = spc;
        g.cluster_count = 200;
        FatImage img(g);
        TreeLayout t(img);
        const uint32_t cb = spc * 512;
        // Interleave two fragmented files so that neither chain is contiguous.
        t.file("A.BIN", pattern_data(37 * cb / 2 + 11, 21), FatImage::Spread::shuffled);
        t.file("B.BIN", pattern_data(9 * cb, 22), FatImage::Spread::gapped);
        t.file("C.BIN", pattern_data(40 * cb - 3, 23), FatImage::Spread::gapped);
        t.finish();
        FaultReader rd(img);
        Mounted v(img, rd);
        ASSERT_TRUE(v.ok());
        // A medium that hands out at most 3 sectors per call, for the 8-sector run.
        rd.max_per_call(spc == 8 ? 3 : 0);
        for (const char *p : {"A.BIN", "C.BIN"}) {
            const std::string &ref = t.find(p)->data;
            readfat_file *h = readfat_open(v, p, nullptr);
            ASSERT_NE(h, nullptr);
            std::mt19937 rng(spc * 1000 + uint32_t(p[0]));
            uint32_t pos = 0;
            std::string buf;
            for (int step = 0; step < 400; ++step) {
                int err = 0;
                uint32_t r = rng() % 10;
                if (r < 4) {
                    // Seek anywhere, with a bias to cluster boundaries and the ends.
                    uint32_t target;
                    switch (rng() % 4) {
                    case 0:
                        target = rng() % (uint32_t(ref.size()) + 1);
                        break;
                    case 1:
                        target = (rng() % (uint32_t(ref.size()) / cb + 1)) * cb;
                        break;
                    case 2:
                        target = uint32_t(ref.size()) - rng() % 3;
                        break;
                    default:
                        target = pos + rng() % 5 - 2;
                        break;
                    }
                    if (target > ref.size()) {
                        ASSERT_EQ(readfat_seek(v, h, target, &err), -1);
                        ASSERT_EQ(err, EINVAL);
                    } else {
                        ASSERT_EQ(readfat_seek(v, h, target, &err), 0) << target;
                        pos = target;
                    }
                } else {
                    uint32_t len = rng() % 3 == 0 ? rng() % (3 * cb) : rng() % 64;
                    buf.assign(len, '\0');
                    uint32_t n = readfat_read(v, h, buf.data(), len, &err);
                    uint32_t want = std::min<uint32_t>(len, uint32_t(ref.size()) - pos);
                    ASSERT_EQ(n, want) << "step " << step << " pos " << pos;
                    ASSERT_EQ(err, 0);
                    ASSERT_EQ(buf.substr(0, n), ref.substr(pos, n)) << "step " << step;
                    pos += n;
                }
                ASSERT_EQ(readfat_tell(v, h), pos);
            }
            readfat_close(v, h);
        }
        EXPECT_EQ(rd.bad_requests(), 0u);
    }
}

TEST(FileSlots, AReusedSlotStartsAfresh) {
    // A slot closed with a cluster loaded and a position set, reopened on another file
    // (and from an entry), must show nothing of the old file; the old handle stays closed.
    // Enough rounds that every record of the slot comes back.
    FatImage img(Files::make_geo(1));
    TreeLayout t(img);
    t.file("A.BIN", pattern_data(700, 1)).file("B.BIN", pattern_data(600, 2));
    t.finish();
    FaultReader rd(img);
    Mounted v(img, rd, readfat_optimal_flags(), 1, 1);
    ASSERT_TRUE(v.ok());
    int err = 0;
    for (int round = 0; round < 2 * DV_HANDLE_VIEWS; ++round) {
        readfat_file *a = readfat_open(v, "A.BIN", &err);
        ASSERT_NE(a, nullptr);
        char buf[100];
        ASSERT_EQ(readfat_read(v, a, buf, 30, &err), 30u);
        readfat_close(v, a);
        readfat_file *b;
        if (round % 2 == 0) {
            b = readfat_open(v, "B.BIN", &err);
        } else {
            dv_entry e;
            ASSERT_EQ(readfat_stat(v, "B.BIN", &e), 0);
            b = readfat_open_entry(v, &e, &err);
        }
        ASSERT_NE(b, nullptr);
        ASSERT_NE(b, a) << "the closed handle would read the new file";
        err = 0;
        EXPECT_EQ(readfat_read(v, a, buf, 1, &err), 0u);
        EXPECT_EQ(err, EINVAL);
        EXPECT_EQ(readfat_tell(v, b), 0u);
        EXPECT_EQ(readfat_size(v, b), 600u);
        EXPECT_TRUE(read_handle(v, b, 64, &err) == t.find("B.BIN")->data);
        readfat_close(v, b);
    }
    // The same for a directory slot left in the middle of a listing.
    readfat_dir *d = readfat_opendir(v, "", &err);
    ASSERT_NE(d, nullptr);
    ASSERT_NE(readfat_readdir(v, d, &err), nullptr);
    readfat_closedir(v, d);
    readfat_dir *d2 = readfat_opendir(v, "/", &err);
    ASSERT_NE(d2, nullptr);
    EXPECT_NE(d2, d);
    EXPECT_EQ(readfat_readdir(v, d, &err), nullptr);
    EXPECT_EQ(names_of(list_handle(v, d2, &err)), t.children(""));
}

// Every handle function with a handle it must refuse: null, closed, closed and its slot
// reopened, one that is not the volume's, the volume's own lookup handle; and a null volume
// or path. Each fails with EINVAL (or does nothing, for the closing functions), never
// touches the medium, and leaves the handles that are open alone.
TEST(HandleEdge, NullClosedStaleAndForeignHandles) {
    FatImage img(Files::make_geo(1));
    TreeLayout t(img);
    t.file("A.BIN", pattern_data(700, 1)).dir("SUB");
    t.finish();
    FaultReader rd(img);
    Mounted v(img, rd, readfat_optimal_flags(), 1, 1);
    ASSERT_TRUE(v.ok());
    int err = 0;
    readfat_file *closed_f = readfat_open(v, "A.BIN", &err);
    readfat_dir *closed_d = readfat_opendir(v, "SUB", &err);
    readfat_close(v, closed_f);
    readfat_closedir(v, closed_d);
    readfat_file *stale_f = readfat_open(v, "A.BIN", &err);
    readfat_dir *stale_d = readfat_opendir(v, "SUB", &err);
    readfat_close(v, stale_f);
    readfat_closedir(v, stale_d);
    readfat_file *live_f = readfat_open(v, "A.BIN", &err); // the slot open again
    readfat_dir *live_d = readfat_opendir(v, "", &err);
    ASSERT_TRUE(closed_f && closed_d && stale_f && stale_d && live_f && live_d);
    ASSERT_EQ(readfat_seek(v, live_f, 9, &err), 0);
    readfat_file foreign_f{};
    readfat_dir foreign_d{};
    foreign_f.in_use = foreign_d.in_use = 1;

    struct Case {
        const char *what;
        readfat_volume *vol;
        readfat_file *f;
        readfat_dir *d;
    } cases[] = {
        {"null handle", v, nullptr, nullptr},
        {"closed", v, closed_f, closed_d},
        {"closed, slot reopened", v, stale_f, stale_d},
        {"not the volume's", v, &foreign_f, &foreign_d},
        {"inside a record", v,
         reinterpret_cast<readfat_file *>(reinterpret_cast<char *>(live_f) + 8),
         reinterpret_cast<readfat_dir *>(reinterpret_cast<char *>(live_d) + 8)},
        {"the lookup handle", v, nullptr, v->lookup_dir},
        {"null volume", nullptr, live_f, live_d},
    };
    rd.reset_log();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        char buf[16];
        err = 0;
        EXPECT_EQ(readfat_read(c.vol, c.f, buf, sizeof buf, &err), 0u);
        EXPECT_EQ(err, EINVAL);
        err = 0;
        EXPECT_EQ(readfat_seek(c.vol, c.f, 1, &err), -1);
        EXPECT_EQ(err, EINVAL);
        EXPECT_EQ(readfat_size(c.vol, c.f), 0u);
        EXPECT_EQ(readfat_tell(c.vol, c.f), 0u);
        err = 0;
        EXPECT_EQ(readfat_readdir(c.vol, c.d, &err), nullptr);
        EXPECT_EQ(err, EINVAL);
        readfat_close(c.vol, c.f);
        readfat_closedir(c.vol, c.d);
    }
    dv_entry e;
    for (readfat_volume *vol : {v.vol, static_cast<readfat_volume *>(nullptr)}) {
        err = 0;
        EXPECT_EQ(readfat_open(vol, nullptr, &err), nullptr);
        EXPECT_EQ(err, EINVAL);
        err = 0;
        EXPECT_EQ(readfat_opendir(vol, nullptr, &err), nullptr);
        EXPECT_EQ(err, EINVAL);
        EXPECT_EQ(readfat_stat(vol, nullptr, &e), EINVAL);
    }
    EXPECT_EQ(readfat_stat(nullptr, "A.BIN", &e), EINVAL);
    readfat_delete(nullptr);
    dv_deletectx(nullptr);
    EXPECT_EQ(rd.calls(), 0u) << rd.describe();
    EXPECT_EQ(readfat_tell(v, live_f), 9u) << "the open handles are untouched";
    EXPECT_TRUE(readfat_readdir(v, live_d, &err) != nullptr);
    EXPECT_NE(v->lookup_dir->in_use, 0);
}

// A deleted file (8.3 name only, chain freed) read by recovery: the free clusters from its
// first one on, skipping one now in use elsewhere (which marks the handle damaged), and
// cut short with DV_E_EOF when the data area ends first. A deleted directory is read while
// its next cluster is free.
TEST(Recovery, DeletedFilesAndDirectoriesReadFreeClusters) {
    FatGeometry g;
    g.cluster_count = 48;
    FatImage img(g);
    TreeLayout t(img);
    const std::string data = pattern_data(5 * kSector, 1);
    t.file("GONE.BIN", data);
    t.file("OLD/A.TXT", "a");
    t.finish();
    const std::vector<uint32_t> chain = t.find("GONE.BIN")->chain;
    for (uint32_t c : chain) img.set_fat(c, 0);
    img.set_fat(chain[2], kEndOfChain); // reused by another file
    const std::vector<uint32_t> root{img.root_cluster()};
    img.dir_entry(root, 0)[0] = 0xE5;
    img.dir_entry(root, 1)[0] = 0xE5;
    img.set_fat(t.find("OLD")->first_cluster, 0);

    FaultReader rd(img);
    Mounted v(img, rd, readfat_optimal_flags() | DV_FLAG_DELETED, 2, 2);
    ASSERT_TRUE(v.ok());
    const std::vector<Listed> l = list_dir(v, "/");
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].name, u"_ONE.BIN");
    dv_entry e;
    ASSERT_EQ(readfat_stat(v, "_ONE.BIN", &e), 0);
    ASSERT_EQ(e.deleted, 1);
    int err = 0;
    readfat_file *f = readfat_open_entry(v, &e, &err);
    ASSERT_NE(f, nullptr);
    const std::string got = read_handle(v, f, 1000, &err);
    uint32_t fifth = chain[4] + 1; // the next free cluster after the freed chain
    while (img.fat(fifth) != 0) ++fifth;
    std::string want;
    for (uint32_t c : {chain[0], chain[1], chain[3], chain[4], fifth})
        want.append(reinterpret_cast<const char *>(img.cluster(c)), kSector);
    EXPECT_TRUE(got == want);
    EXPECT_EQ(f->damaged, 1);
    readfat_close(v, f);

    e.size = 60 * kSector; // more than the data area holds after its first cluster
    f = readfat_open_entry(v, &e, &err);
    err = 0;
    std::string buf(e.size, '\0');
    EXPECT_LT(readfat_read(v, f, buf.data(), e.size, &err), e.size);
    EXPECT_EQ(err, DV_E_EOF);
    readfat_close(v, f);

    EXPECT_EQ(read_file(v, "/_LD/A.TXT"), "a"); // through the deleted directory
    Mounted plain(img, rd, readfat_optimal_flags(), 2, 2);
    EXPECT_EQ(readfat_stat(plain, "_LD/A.TXT", &e), ENOENT);
}

// ---- Stale handles -------------------------------------------------------------------------

namespace {

// The image's bytes as a medium the write path can change.
struct Medium {
    std::vector<uint8_t> &disk;
    static int32_t read(void *m, void *buf, uint64_t sector, uint32_t count) {
        const auto &d = static_cast<Medium *>(m)->disk;
        if ((sector + count) * kSector > d.size()) return -1;
        std::memcpy(buf, d.data() + sector * kSector, size_t{count} * kSector);
        return int32_t(count);
    }
    static int32_t write(void *m, const void *buf, uint64_t sector, uint32_t count) {
        auto &d = static_cast<Medium *>(m)->disk;
        if ((sector + count) * kSector > d.size()) return -1;
        std::memcpy(d.data() + sector * kSector, buf, size_t{count} * kSector);
        return int32_t(count);
    }
};

} // namespace

TEST(StaleHandles, RemovedAndReplacedFilesFailWithEstaleOthersReadOn) {
    Files f(1);
    Medium m{f.img.disk()};
    int err = 0;
    writefat_volume *w =
        writefat_open(f.img.start_sector(), f.img.end_sector(), 512, &m, Medium::read,
                      Medium::write, readfat_optimal_flags(), 4, 4, &err);
    ASSERT_NE(w, nullptr) << err;
    readfat_volume *rv = writefat_reader(w);
    readfat_file *removed = readfat_open(rv, "ONE.BIN", &err);
    readfat_file *replaced = readfat_open(rv, "EXACT.BIN", &err);
    readfat_file *other = readfat_open(rv, "THREE.BIN", &err);
    ASSERT_TRUE(removed && replaced && other);
    char buf[16];
    ASSERT_EQ(readfat_read(rv, removed, buf, 10, &err), 10u);
    ASSERT_EQ(writefat_remove(w, "ONE.BIN"), 0);
    writefat_file *nf = writefat_create(w, "EXACT.BIN", WRITEFAT_REPLACE, &err);
    ASSERT_NE(nf, nullptr) << err;
    ASSERT_EQ(writefat_write(w, nf, "new", 3, &err), 0) << err;
    ASSERT_EQ(writefat_finish(w, nf, 1700000000), 0);
    for (readfat_file *h : {removed, replaced}) {
        err = 0;
        EXPECT_EQ(readfat_read(rv, h, buf, 10, &err), 0u);
        EXPECT_EQ(err, ESTALE);
        err = 0;
        EXPECT_EQ(readfat_seek(rv, h, 0, &err), -1);
        EXPECT_EQ(err, ESTALE);
        readfat_close(rv, h);
    }
    EXPECT_EQ(read_handle(rv, other, 1000, &err), pattern_data(3 * f.cb + 100, 3));
    readfat_close(rv, other);
    // Opened again, the name reads the new file.
    readfat_file *fresh = readfat_open(rv, "EXACT.BIN", &err);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(read_handle(rv, fresh, 1000, &err), "new");
    readfat_close(rv, fresh);
    EXPECT_EQ(writefat_close(w), 0);
}
