// Allocation-failure loops: every allocation a call makes is failed in turn, once and from
// there on, and the call must report ENOMEM, give everything back and leave the volume
// usable. Calls that must not allocate at all are checked to make none.
#include "support/tracking_alloc.h"
#include "support/volume_util.h"

#include <dorvex/dorvex.h>
#include <dorvex/readfat.h>
#include <dorvex/writefat.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>

using namespace dvtest;

namespace {

// One attempt of the call under test with the allocator `a`: returns 0 on success or the
// code it reported, and releases whatever a success produced.
using Attempt = std::function<int(TrackingAlloc &a)>;

// Counts the allocations K of a clean attempt, then fails allocation N = 1 .. K + 1 once and
// persistently. N <= K must fail with `code`; N = K + 1 must succeed. After each attempt
// nothing may be left allocated beyond `baseline` blocks, and `check` (if any) must pass.
void alloc_loop(const char *what, TrackingAlloc &a, const Attempt &attempt, int code,
                const std::function<void()> &check = {}) {
    SCOPED_TRACE(what);
    const size_t baseline = a.live_blocks();
    a.fail_at(0);
    a.reset_counts();
    ASSERT_EQ(attempt(a), 0) << "clean run failed";
    const uint64_t k = a.allocs();
    uint64_t faults = 0;
    ASSERT_GT(k, 0u) << "no allocation to fail";
    EXPECT_EQ(a.live_blocks(), baseline);
    for (int persistent = 0; persistent < 2; ++persistent) {
        for (uint64_t n = 1; n <= k + 1; ++n) {
            SCOPED_TRACE(testing::Message() << "allocation " << n << " of " << k
                                            << (persistent ? " persistently" : " once"));
            a.reset_counts();
            a.fail_at(n, persistent != 0);
            const int rc = attempt(a);
            a.fail_at(0);
            if (n <= k) {
                EXPECT_EQ(rc, code);
                EXPECT_EQ(a.failed(), 1u) << "the call went on allocating after a failure";
                ++faults;
            } else {
                EXPECT_EQ(rc, 0);
                EXPECT_EQ(a.failed(), 0u);
            }
            EXPECT_EQ(a.live_blocks(), baseline) << "left allocated";
            if (check) check();
        }
    }
    std::printf("[ figure ] %s: %llu allocation sites, %llu allocation faults injected\n", what,
                static_cast<unsigned long long>(k), static_cast<unsigned long long>(faults));
}

int ctx_attempt(TrackingAlloc &a) {
    int err = 0;
    dv_ctx *ctx = dv_newctx2(readfat_optimal_flags(), &err, &a, TrackingAlloc::alloc_cb,
                             TrackingAlloc::free_cb);
    if (!ctx) return err;
    dv_deletectx(ctx);
    return 0;
}

TEST(AllocFaults, NewContext) {
    TrackingAlloc a;
    alloc_loop("dv_newctx2", a, ctx_attempt, ENOMEM);
}

// A tree deep enough for several path components, with a file spread over clusters.
struct Tree {
    FatImage img{[] {
        FatGeometry g;
        g.sectors_per_cluster = 2;
        g.cluster_count = 200;
        return g;
    }()};
    Tree() {
        TreeLayout t(img);
        t.file("ONE/TWO/THREE/FOUR/DEEP.TXT", pattern_data(5000, 7), FatImage::Spread::gapped);
        t.file("Long Directory Name/file with a long name.bin", pattern_data(3000, 8));
        t.file("TOP.TXT", "top");
        t.finish();
    }
};

TEST(AllocFaults, Mount) {
    Tree t;
    FaultReader rd(t.img);
    Attempt mount = [&](TrackingAlloc &a) {
        int err = 0;
        readfat_volume *vol = readfat_new2(t.img.start_sector(), t.img.end_sector(), 512, &rd,
                                           FaultReader::cb, readfat_optimal_flags(), 3, 3, &err, &a,
                                           TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
        if (!vol) return err;
        readfat_delete(vol);
        return 0;
    };
    TrackingAlloc a;
    alloc_loop("readfat_new2", a, mount, ENOMEM);
    EXPECT_EQ(rd.bad_requests(), 0u);
}

// Every constructor refuses a null reader, writer or allocator callback with EINVAL, before
// it allocates or reads anything.
TEST(AllocFaults, ConstructorsRefuseNullCallbacks) {
    Tree t;
    FaultReader rd(t.img);
    TrackingAlloc a;
    const uint64_t s = t.img.start_sector(), e = t.img.end_sector();
    const uint32_t fl = readfat_optimal_flags();
    const auto rcb = FaultReader::cb;
    const auto ac = TrackingAlloc::alloc_cb;
    const auto fc = TrackingAlloc::free_cb;
    const writefat_sector_writer wcb = [](void *, const void *, uint64_t, uint32_t) {
        return int32_t(-1);
    };
    // Each returns the object made (released here) or null with `err`.
    const std::pair<const char *, std::function<bool(int &)>> cases[] = {
        {"readfat_new reader",
         [&](int &err) { return readfat_new(s, e, 512, &rd, nullptr, fl, 1, 1, &err) != nullptr; }},
        {"readfat_new2 reader",
         [&](int &err) {
             return readfat_new2(s, e, 512, &rd, nullptr, fl, 1, 1, &err, &a, ac, fc) != nullptr;
         }},
        {"readfat_new2 alloc",
         [&](int &err) {
             return readfat_new2(s, e, 512, &rd, rcb, fl, 1, 1, &err, &a, nullptr, fc) != nullptr;
         }},
        {"readfat_new2 free",
         [&](int &err) {
             return readfat_new2(s, e, 512, &rd, rcb, fl, 1, 1, &err, &a, ac, nullptr) != nullptr;
         }},
        {"dv_newctx2 alloc",
         [&](int &err) { return dv_newctx2(fl, &err, &a, nullptr, fc) != nullptr; }},
        {"dv_newctx2 free",
         [&](int &err) { return dv_newctx2(fl, &err, &a, ac, nullptr) != nullptr; }},
        {"writefat_open reader",
         [&](int &err) {
             return writefat_open(s, e, 512, &rd, nullptr, wcb, fl, 1, 1, &err) != nullptr;
         }},
        {"writefat_open writer",
         [&](int &err) {
             return writefat_open(s, e, 512, &rd, rcb, nullptr, fl, 1, 1, &err) != nullptr;
         }},
        {"writefat_open2 alloc",
         [&](int &err) {
             return writefat_open2(s, e, 512, &rd, rcb, wcb, fl, 1, 1, &err, &a, nullptr, fc) !=
                    nullptr;
         }},
        {"writefat_open2 free",
         [&](int &err) {
             return writefat_open2(s, e, 512, &rd, rcb, wcb, fl, 1, 1, &err, &a, ac, nullptr) !=
                    nullptr;
         }},
        {"readfat_partitions reader",
         [&](int &err) {
             readfat_table table;
             err = readfat_partitions(e, 0, &rd, nullptr, nullptr, 0, &table);
             return err == 0;
         }},
    };
    for (const auto &[what, attempt] : cases) {
        int err = 0;
        EXPECT_FALSE(attempt(err)) << what;
        EXPECT_EQ(err, EINVAL) << what;
    }
    EXPECT_EQ(a.live_blocks(), 0u);
    EXPECT_EQ(rd.calls(), 0u);
}

TEST(AllocFaults, ParsePath) {
    TrackingAlloc a;
    int err = 0;
    dv_ctx *ctx = dv_newctx2(readfat_optimal_flags(), &err, &a, TrackingAlloc::alloc_cb,
                             TrackingAlloc::free_cb);
    ASSERT_NE(ctx, nullptr);
    for (const char *path : {"a", "/a//b/", "one/two/three/four/five/six", "a/b//"}) {
        Attempt parse = [&](TrackingAlloc &) {
            dv_pathnode *list = dv_parsepath(ctx, path);
            if (!list) return dv_errno(ctx);
            dv_freepath(ctx, list);
            return 0;
        };
        alloc_loop(path, a, parse, ENOMEM);
    }
    dv_deletectx(ctx);
}

// The volume's lookups: opendir, open and stat of deep paths, each failing every allocation
// in turn; afterwards the same call must work and the tree must still read right.
class VolumeAllocFaults : public testing::Test {
  protected:
    Tree t;
    FaultReader rd{t.img};
    Mounted v{t.img, rd, readfat_optimal_flags(), 2, 2};

    void still_usable() {
        dv_entry e;
        ASSERT_EQ(readfat_stat(v, "ONE/TWO/THREE/FOUR/DEEP.TXT", &e), 0);
        EXPECT_EQ(e.size, 5000u);
        EXPECT_EQ(read_file(v, "/Long Directory Name/file with a long name.bin"),
                  pattern_data(3000, 8));
        EXPECT_EQ(names_of(list_dir(v, "ONE/TWO"), true), std::vector<std::u16string>{u"THREE"});
    }
};

TEST_F(VolumeAllocFaults, OpenDir) {
    ASSERT_TRUE(v.ok());
    for (const char *path : {"ONE", "ONE/TWO/THREE/FOUR", "/Long Directory Name/", "ONE/.."}) {
        Attempt attempt = [&](TrackingAlloc &) {
            int err = 0;
            readfat_dir *d = readfat_opendir(v, path, &err);
            if (!d) return err;
            readfat_closedir(v, d);
            return 0;
        };
        alloc_loop(path, v.alloc, attempt, ENOMEM, [&] { still_usable(); });
    }
}

TEST_F(VolumeAllocFaults, Open) {
    ASSERT_TRUE(v.ok());
    for (const char *path : {"TOP.TXT", "ONE/TWO/THREE/FOUR/DEEP.TXT",
                             "\\Long Directory Name\\file with a long name.bin"}) {
        Attempt attempt = [&](TrackingAlloc &) {
            int err = 0;
            readfat_file *f = readfat_open(v, path, &err);
            if (!f) return err;
            readfat_close(v, f);
            return 0;
        };
        alloc_loop(path, v.alloc, attempt, ENOMEM, [&] { still_usable(); });
    }
}

TEST_F(VolumeAllocFaults, Stat) {
    ASSERT_TRUE(v.ok());
    for (const char *path : {"ONE", "ONE/TWO/THREE/FOUR/DEEP.TXT", "ONE/TWO/THREE/FOUR/.."}) {
        Attempt attempt = [&](TrackingAlloc &) {
            dv_entry e;
            return readfat_stat(v, path, &e);
        };
        alloc_loop(path, v.alloc, attempt, ENOMEM, [&] { still_usable(); });
    }
    // A lookup that fails for another reason first still gives back its path list.
    const size_t live = v.alloc.live_blocks();
    v.alloc.reset_counts();
    dv_entry e;
    EXPECT_EQ(readfat_stat(v, "ONE/NOPE/THREE", &e), ENOENT);
    EXPECT_EQ(v.alloc.allocs(), 3u); // one node per component
    EXPECT_EQ(v.alloc.live_blocks(), live);
}

// Listing, reading, seeking, telling, closing: no allocation at all, even when every
// allocation would fail.
TEST_F(VolumeAllocFaults, EntryHandlesRefuseNullWithoutAllocating) {
    ASSERT_TRUE(v.ok());
    v.alloc.reset_counts();
    int err = 0;
    EXPECT_EQ(readfat_open_entry(v, nullptr, &err), nullptr);
    EXPECT_EQ(err, EINVAL);
    err = 0;
    EXPECT_EQ(readfat_opendir_entry(v, nullptr, &err), nullptr);
    EXPECT_EQ(err, EINVAL);
    EXPECT_EQ(v.alloc.allocs(), 0u);
    still_usable();
}

TEST_F(VolumeAllocFaults, HandlesNeverAllocate) {
    ASSERT_TRUE(v.ok());
    int err = 0;
    readfat_dir *d = readfat_opendir(v, "ONE/TWO/THREE/FOUR", &err);
    readfat_file *f = readfat_open(v, "ONE/TWO/THREE/FOUR/DEEP.TXT", &err);
    ASSERT_NE(d, nullptr);
    ASSERT_NE(f, nullptr);
    v.alloc.reset_counts();
    v.alloc.fail_at(1, true);
    rd.reset_log();

    int end = 0;
    auto listed = list_handle(v, d, &end);
    EXPECT_EQ(end, DV_E_ENDDIR);
    EXPECT_EQ(listed.size(), 3u); // ".", "..", DEEP.TXT
    readfat_closedir(v, d);
    readfat_dir *root = readfat_opendir(v, "", &err); // the root: no lookup
    ASSERT_NE(root, nullptr);
    EXPECT_FALSE(list_handle(v, root, &end).empty());
    readfat_closedir(v, root);

    std::string buf(6000, '\0');
    EXPECT_EQ(readfat_read(v, f, buf.data(), 1234, &err), 1234u);
    EXPECT_EQ(readfat_seek(v, f, 5000, &err), 0);
    EXPECT_EQ(readfat_tell(v, f), 5000u);
    EXPECT_EQ(readfat_seek(v, f, 17, &err), 0);
    EXPECT_EQ(readfat_read(v, f, buf.data(), 6000, &err), 5000u - 17);
    EXPECT_EQ(buf.substr(0, 4983), pattern_data(5000, 7).substr(17));
    EXPECT_EQ(readfat_size(v, f), 5000u);
    readfat_close(v, f);
    EXPECT_EQ(v.alloc.allocs(), 0u);
    v.alloc.fail_at(0);
    EXPECT_GT(rd.calls(), 0u);
}

} // namespace
