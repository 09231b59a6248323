// The context: creation flags, allocator use, errors, version, and the two decoders.
#include "iconv/locale_guard.h"
#include "support/tracking_alloc.h"

#include <dorvex/dorvex.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using dvtest::TrackingAlloc;

dv_ctx *make(TrackingAlloc &ta, uint32_t flags, int *err) {
    return dv_newctx2(flags, err, &ta, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
}

// ---- Creation and deletion -------------------------------------------------

TEST(Context, InvalidCharsetSelectorsGiveTheRecordBackOnce) {
    for (uint32_t flags : {0x0u, 0x3u, 0x800u, 0xA00u, 0xE00u, 0x1E00u, 0x1000u, 0x1600u}) {
        TrackingAlloc ta;
        int err = 0;
        EXPECT_EQ(make(ta, flags, &err), nullptr) << std::hex << flags;
        EXPECT_EQ(err, EINVAL);
        EXPECT_EQ(ta.allocs(), 1u);
        EXPECT_EQ(ta.frees(), 1u);
        // A null err is allowed: only the null result reports the failure.
        EXPECT_EQ(make(ta, flags, nullptr), nullptr);
    }
}

TEST(Context, FlagsSetTheFields) {
    const struct {
        uint32_t flags;
        std::vector<uint16_t> seps;
        uint8_t skip, lenient;
        int source, target;
    } cases[] = {
        {0x600, {0}, 0, 0, 11, 43},       {0x601, {0x2F, 0}, 0, 0, 11, 43},
        {0x602, {0x5C, 0}, 0, 0, 11, 43}, {0x603, {0x2F, 0x5C, 0}, 0, 0, 11, 43},
        {0x604, {0}, 1, 0, 11, 43},       {0x608, {0}, 0, 1, 11, 43},
        {0x700, {0}, 0, 0, 11, 69},       {0x200, {0}, 0, 0, 146, 43},
        {0x400, {0}, 0, 0, 20, 43},       {0x30F, {0x2F, 0x5C, 0}, 1, 1, 146, 69},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.flags);
        TrackingAlloc ta;
        int err = 12345;
        dv_ctx *ctx = make(ta, c.flags, &err);
        ASSERT_NE(ctx, nullptr);
        EXPECT_EQ(err, 12345) << "success wrote err";
        EXPECT_EQ(std::vector<uint16_t>(ctx->seps, ctx->seps + c.seps.size()), c.seps);
        EXPECT_EQ(ctx->skip_leading_sep, c.skip);
        EXPECT_EQ(ctx->lenient, c.lenient);
        EXPECT_EQ(ctx->cd, (c.source << 16) | c.target);
        EXPECT_EQ(ctx->err, 0);
        EXPECT_EQ(dv_errno(ctx), 0);
        EXPECT_EQ(ctx->alloc_data, &ta);
        EXPECT_EQ(ctx->alloc, &TrackingAlloc::alloc_cb);
        EXPECT_EQ(ctx->free, &TrackingAlloc::free_cb);
        EXPECT_NE(ctx->decode, nullptr);
        dv_deletectx(ctx);
        EXPECT_EQ(ta.live_blocks(), 0u);
    }
}

TEST(Context, IgnoredBitsChangeNothing) {
    TrackingAlloc ta;
    for (uint32_t base : {0x200u, 0x400u, 0x603u, 0x70Fu}) {
        dv_ctx *plain = make(ta, base, nullptr);
        ASSERT_NE(plain, nullptr);
        for (uint32_t extra :
             {0x10u, 0x20u, 0x40u, 0x80u, 0x2000u, 0x10000u, 0x80000000u, 0xFFFFE0F0u}) {
            dv_ctx *ctx = make(ta, base | extra, nullptr);
            ASSERT_NE(ctx, nullptr) << std::hex << (base | extra);
            EXPECT_EQ(ctx->cd, plain->cd);
            EXPECT_EQ(ctx->decode, plain->decode);
            EXPECT_EQ(std::memcmp(ctx->seps, plain->seps, sizeof ctx->seps), 0);
            EXPECT_EQ(ctx->skip_leading_sep, plain->skip_leading_sep);
            EXPECT_EQ(ctx->lenient, plain->lenient);
            dv_deletectx(ctx);
        }
        dv_deletectx(plain);
    }
}

TEST(Context, AllocatorFailureIsEnomemWithoutFree) {
    TrackingAlloc ta;
    ta.fail_at(1);
    int err = 0;
    EXPECT_EQ(make(ta, 0x600, &err), nullptr);
    EXPECT_EQ(err, ENOMEM);
    EXPECT_EQ(ta.frees(), 0u);
}

// Checks at release time that the record was wiped first.
struct WipeCheck {
    int frees = 0;
    bool wiped = false;
    static void *alloc(void *, size_t size) { return std::malloc(size); }
    static void release(void *self, void *ptr) {
        auto *w = static_cast<WipeCheck *>(self);
        w->frees++;
        const auto *b = static_cast<const unsigned char *>(ptr);
        w->wiped = true;
        for (size_t i = 0; i < sizeof(dv_ctx); i++) w->wiped = w->wiped && b[i] == 0;
        std::free(ptr);
    }
};

TEST(Context, DeletionWipesTheRecordBeforeFreeingIt) {
    WipeCheck w;
    dv_ctx *ctx = dv_newctx2(0x70F, nullptr, &w, WipeCheck::alloc, WipeCheck::release);
    ASSERT_NE(ctx, nullptr);
    dv_deletectx(ctx);
    EXPECT_EQ(w.frees, 1);
    EXPECT_TRUE(w.wiped);
}

TEST(Context, MallocConstructorHasNullUserWord) {
    int err = 0;
    dv_ctx *ctx = dv_newctx(0x603, &err);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->alloc_data, nullptr);
    EXPECT_EQ(ctx->seps[0], 0x2F);
    // The defaults are plain malloc and free (ASan would object to a mismatch).
    void *p = ctx->alloc(nullptr, 32);
    ASSERT_NE(p, nullptr);
    ctx->free(nullptr, p);
    dv_deletectx(ctx);
    EXPECT_EQ(dv_newctx(0x800, &err), nullptr);
    EXPECT_EQ(err, EINVAL);
}

// ---- Messages and version --------------------------------------------------

TEST(Errors, Messages) {
    EXPECT_STREQ(dv_strerror(DV_E_BOOTSIG), "Invalid boot sector signature");
    EXPECT_STREQ(dv_strerror(DV_E_EOF), "Reached end of file");
    EXPECT_STREQ(dv_strerror(DV_E_ENDDIR), "Reached end of directory");
    EXPECT_STREQ(dv_strerror(DV_E_BROKENCHAIN), "Chain is broken in FAT table");
    EXPECT_STREQ(dv_strerror(DV_E_BADPBR), "Bad PBR content or not a valid PBR");
    EXPECT_STREQ(dv_strerror(DV_E_BACKUPBOOT),
                 "Boot sector damaged: mounted from its backup, read-only until repaired");
    EXPECT_STREQ(dv_strerror(DV_E_EXFATWRITE),
                 "exFAT volumes are read-only: writing them is not supported yet");
    // The C library's texts for the codes readers, writers and the library produce; a fixed
    // text for the rest (strerror's "Unknown error N" needs a buffer threads would share).
    for (int code : {0,       EPERM,     ENOENT, EINTR,   EIO,    ENXIO,        E2BIG,    EBADF,
                     EAGAIN,  ENOMEM,    EACCES, EFAULT,  EBUSY,  EEXIST,       EXDEV,    ENODEV,
                     ENOTDIR, EISDIR,    EINVAL, ENFILE,  EMFILE, ENOTTY,       EFBIG,    ENOSPC,
                     ESPIPE,  EROFS,     EMLINK, EPIPE,   ERANGE, ENAMETOOLONG, ENOSYS,   ENOTEMPTY,
                     ELOOP,   EOVERFLOW, EILSEQ, ENOTSUP, ESTALE, ECANCELED,    ETIMEDOUT}) {
        std::string expected = std::strerror(code);
        EXPECT_EQ(dv_strerror(code), expected) << code;
    }
    for (int code : {-8999, -8991, -1, EDOM, 1 << 30})
        EXPECT_STREQ(dv_strerror(code), "Unknown error") << code;
    for (int code : {-8999, -8991, 0, EINVAL, 1 << 30})
        EXPECT_STREQ(dorvex_strerror_internal(code), "Unknown error") << code;
    EXPECT_STREQ(dorvex_strerror_internal(-8996), "Reached end of directory");
    EXPECT_STREQ(dv_version(), DV_VERSION_STRING);
}

// ---- Decoders --------------------------------------------------------------

struct Decoded {
    const char *next; // null on failure
    uint16_t unit;
    int err;
};

Decoded decode(dv_ctx *ctx, const std::string &text) {
    uint16_t unit = 0xEEEE;
    int err = 0;
    const char *next = ctx->decode(ctx, text.data(), text.data() + text.size(), &unit, &err);
    return {next, unit, err};
}

struct DecodeCase {
    uint32_t flags;
    const char *locale;
    std::string text;
    long advance; // -1: fails
    uint16_t unit;
    int err;
};

TEST(Decoders, OneCharacterPerCall) {
    const std::string grin = "\xF0\x9F\x98\x80";
    const DecodeCase cases[] = {
        {0x600, "C", "\xC3\xA9x", 2, 0xE9, 0},
        {0x600, "C", "a", 1, 'a', 0},
        {0x600, "C", "ab", 1, 'a', 0},
        {0x600, "C", "\xC3", -1, 0, EINVAL},
        {0x600, "C", "\xC3\xA9\xFF", -1, 0, EILSEQ},
        {0x600, "C", "a\xC3", -1, 0, EINVAL},
        {0x600, "C", "\xED\xA0\x80", -1, 0, EILSEQ},
        {0x600, "C", grin + "x", 4, 0xFFFD, 0},
        {0x700, "C", grin, -1, 0, E2BIG},
        {0x700, "C", "\xE2\x82\xAC/", 3, 0x20AC, 0},
        {0x200, "C", "\xE9", -1, 0, EILSEQ},
        {0x200, "C", "A\xE9", -1, 0, EILSEQ},
        {0x200, "C", "AB", 1, 'A', 0},
        // Locale text, decoded in the locale of the caller.
        {0x400, "C.UTF-8", "\xC3\xA9x", 2, 0xE9, 0},
        {0x400, "C.UTF-8", "\xE2\x82\xAC", 3, 0x20AC, 0},
        {0x400, "C.UTF-8", "\xED\xA0\x80", -1, 0, EILSEQ},
        {0x400, "C.UTF-8", "\xC3", -1, 0, EINVAL},
        {0x400, "C.UTF-8", grin, 4, 0xFFFD, 0},
        {0x500, "C.UTF-8", grin, -1, 0, E2BIG},
        {0x400, "C", "A/", 1, 'A', 0},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        const DecodeCase &c = cases[i];
        SCOPED_TRACE(testing::Message() << "case " << i);
        dvtest::LocaleGuard locale(c.locale);
        TrackingAlloc ta;
        dv_ctx *ctx = make(ta, c.flags, nullptr);
        ASSERT_NE(ctx, nullptr);
        Decoded d = decode(ctx, c.text);
        if (c.advance < 0) {
            EXPECT_EQ(d.next, nullptr);
            EXPECT_EQ(d.err, c.err);
        } else {
            ASSERT_NE(d.next, nullptr) << "err " << d.err;
            EXPECT_EQ(d.next - c.text.data(), c.advance);
            EXPECT_EQ(d.unit, c.unit);
            EXPECT_EQ(d.err, 0);
        }
        EXPECT_EQ(dvtest::LocaleGuard::current(), c.locale);
        dv_deletectx(ctx);
    }
}

TEST(Decoders, LocaleDecoderKeepsNoStateAfterARejectedSequence) {
    dvtest::LocaleGuard locale("C.UTF-8");
    TrackingAlloc ta;
    dv_ctx *ctx = make(ta, 0x400, nullptr);
    ASSERT_NE(ctx, nullptr);
    for (const char *bad : {"\xC3", "\xE2\x82", "\xFF"}) {
        EXPECT_EQ(decode(ctx, bad).next, nullptr);
        Decoded d = decode(ctx, "A");
        ASSERT_NE(d.next, nullptr) << "after " << bad;
        EXPECT_EQ(d.unit, 'A');
    }
    dv_deletectx(ctx);
}

TEST(Decoders, WalkATextToItsEnd) {
    dvtest::LocaleGuard locale("C");
    TrackingAlloc ta;
    dv_ctx *ctx = make(ta, 0x603, nullptr);
    ASSERT_NE(ctx, nullptr);
    const std::string text = "dir/\xD0\xBF\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0/f\xC3\xA9.txt";
    const std::vector<uint16_t> expected = {'d',   'i', 'r', '/',  0x43F, 0x430, 0x43F, 0x43A,
                                            0x430, '/', 'f', 0xE9, '.',   't',   'x',   't'};
    std::vector<uint16_t> units;
    const char *p = text.data(), *end = p + text.size();
    while (p != nullptr && p < end) {
        uint16_t unit;
        int err = 0;
        p = ctx->decode(ctx, p, end, &unit, &err);
        if (p != nullptr) units.push_back(unit);
    }
    EXPECT_EQ(p, end);
    EXPECT_EQ(units, expected);
    dv_deletectx(ctx);
}

} // namespace
