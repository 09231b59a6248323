// Names and paths: dv_parsename, dv_parsepath/dv_freepath with a fault-injecting
// allocator, dv_isroot, dv_namecmp, dv_namecpy.
#include "support/tracking_alloc.h"

#include <dorvex/dorvex.h>

#include "charset/casefold.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace {

using dvtest::TrackingAlloc;
using Units = std::u16string;

constexpr uint32_t utf8_slash = DV_CHARSET_UTF8 | DV_FLAG_SLASH;
constexpr uint32_t utf8_slash_skip = utf8_slash | DV_FLAG_SKIP_LEADING_SEP;
constexpr uint32_t ascii_slash = DV_CHARSET_ASCII | DV_FLAG_SLASH;

Units units(const dv_name &n) {
    Units u;
    for (unsigned i = 0; i < n.len; ++i) u.push_back(static_cast<char16_t>(n.units[i]));
    return u;
}

dv_name make_name(const Units &u) {
    dv_name n;
    n.len = static_cast<uint16_t>(u.size());
    for (size_t i = 0; i < u.size(); ++i) n.units[i] = u[i];
    n.units[u.size()] = 0;
    return n;
}

Units ascii(const std::string &s) {
    return Units(s.begin(), s.end());
}

// A context on the tracking allocator; the counts are reset after its own allocation.
struct Ctx {
    TrackingAlloc alloc;
    dv_ctx *ctx = nullptr;
    explicit Ctx(uint32_t flags) {
        int err = 0;
        ctx = dv_newctx2(flags, &err, &alloc, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
        EXPECT_NE(ctx, nullptr) << "dv_newctx2 failed with " << err;
        alloc.reset_counts();
    }
    ~Ctx() { dv_deletectx(ctx); }
};

struct NameCase {
    uint32_t flags;
    std::string text;
    Units want; // the name, when the call succeeds
    long stop;  // offset of the returned position, or -1 for null
    int err;    // the context's err afterwards (it starts at 1234)
};

TEST(ParseName, Table) {
    const std::string l254(254, 'x'), l255(255, 'y'), l256(256, 'z');
    const NameCase cases[] = {
        {utf8_slash, "abc/def", u"abc", 4, 1234},
        {utf8_slash, "abc/", u"abc", 4, 1234},
        {utf8_slash, "", u"", 0, 1234},
        {utf8_slash, "/abc", u"", 1, 1234},
        {utf8_slash_skip, "/abc", u"abc", 4, 1234},
        {utf8_slash_skip, "///", u"", 3, 1234},
        {utf8_slash, "a//b", u"a", 2, 1234},
        {DV_CHARSET_UTF8, "a/b", u"a/b", 3, 1234}, // no separators configured
        {utf8_slash | DV_FLAG_BACKSLASH, "a\\b", u"a", 2, 1234},
        {utf8_slash, "\xC3\xA9t\xC3\xA9/x", u"\u00E9t\u00E9", 6, 1234},
        {utf8_slash, "\xF0\x9F\x98\x80", u"\uFFFD", 4, 1234}, // beyond UCS-2
        // Above U+FFFF a UTF-16 name stores the pair, counted as two units.
        {utf8_slash | DV_FLAG_UTF16, "\xF0\x9F\x98\x80/x", u"\U0001F600", 5, 1234},
        {utf8_slash | DV_FLAG_UTF16, l254.substr(1) + "\xF0\x9F\x98\x80",
         ascii(l254.substr(1)) + u"\U0001F600", 257, 1234},
        {utf8_slash | DV_FLAG_UTF16, l254 + "\xF0\x9F\x98\x80", u"", -1, ENAMETOOLONG},
        {utf8_slash | DV_FLAG_UTF16, "\xF0\x9F\x98", u"", -1, EINVAL},
        {utf8_slash, "ab\xC3", u"", -1, EINVAL},
        {utf8_slash, "a\xFF", u"", -1, EILSEQ},
        {ascii_slash, "caf\xE9", u"", -1, EILSEQ},
        {utf8_slash, l255, ascii(l255), 255, 1234},
        {utf8_slash, l254 + "/", ascii(l254), 255, 1234},
        {utf8_slash, l256, u"", -1, ENAMETOOLONG},
        {utf8_slash, l255 + "/", u"", -1, ENAMETOOLONG},
        {utf8_slash_skip, "//" + l255, ascii(l255), 257, 1234},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.flags << " '" << c.text << "'");
        Ctx cx(c.flags);
        cx.ctx->err = 1234;
        dv_name out;
        out.len = 77;
        const char *r = dv_parsename(cx.ctx, &out, c.text.c_str());
        if (c.stop < 0) {
            EXPECT_EQ(r, nullptr);
            EXPECT_EQ(out.len, 77); // left as it was
        } else {
            ASSERT_NE(r, nullptr);
            EXPECT_EQ(r - c.text.c_str(), c.stop);
            EXPECT_EQ(units(out), c.want);
            EXPECT_EQ(out.units[out.len], 0);
        }
        EXPECT_EQ(dv_errno(cx.ctx), c.err);
        EXPECT_EQ(cx.alloc.allocs(), 0u);
    }
}

TEST(ParseName, WalksAPath) {
    Ctx cx(utf8_slash);
    const char *text = "/a//bc/";
    std::vector<Units> got;
    dv_name n;
    for (const char *p = text; *p;) {
        p = dv_parsename(cx.ctx, &n, p);
        ASSERT_NE(p, nullptr);
        got.push_back(units(n));
    }
    EXPECT_EQ(got, (std::vector<Units>{u"", u"a", u"", u"bc"}));
}

std::vector<Units> list_units(const dv_pathnode *node) {
    std::vector<Units> out;
    for (; node; node = node->next) {
        EXPECT_EQ(node->name.units[node->name.len], 0);
        out.push_back(units(node->name));
    }
    return out;
}

size_t node_bytes(size_t len) {
    return offsetof(dv_pathnode, name) + sizeof(uint16_t) * (len + 2);
}

TEST(ParsePath, Components) {
    const struct {
        const char *path;
        std::vector<Units> want;
    } cases[] = {
        {"/a//b/", {u"a", u"b"}},
        {"a", {u"a"}},
        {"//a", {u"a"}},
        {"/", {u""}},
        {"///", {u""}},
        {"a//", {u"a", u""}},
        {"a/b//", {u"a", u"b", u""}},
        {"dir/sub dir/f\xC3\xBCr.txt", {u"dir", u"sub dir", u"f\u00FCr.txt"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        Ctx cx(utf8_slash);
        cx.ctx->err = 1234;
        dv_pathnode *list = dv_parsepath(cx.ctx, c.path);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list_units(list), c.want);
        EXPECT_EQ(dv_errno(cx.ctx), 1234);
        // One block per component, sized to it.
        size_t bytes = 0;
        for (const Units &u : c.want) bytes += node_bytes(u.size());
        EXPECT_EQ(cx.alloc.allocs(), c.want.size());
        EXPECT_EQ(cx.alloc.live_bytes(), bytes + sizeof(dv_ctx));
        EXPECT_EQ(dv_freepath(cx.ctx, list), nullptr);
        EXPECT_EQ(cx.alloc.frees(), c.want.size());
    }
}

TEST(ParsePath, EmptyPathLeavesErr) {
    Ctx cx(utf8_slash);
    cx.ctx->err = 1234;
    EXPECT_EQ(dv_parsepath(cx.ctx, ""), nullptr);
    EXPECT_EQ(dv_errno(cx.ctx), 1234);
    EXPECT_EQ(cx.alloc.allocs(), 0u);
}

TEST(ParsePath, LongestComponents) {
    Ctx cx(utf8_slash);
    const std::string l254(254, 'a'), l255(255, 'b');
    dv_pathnode *list = dv_parsepath(cx.ctx, (l254 + "/" + l255).c_str());
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list_units(list), (std::vector<Units>{ascii(l254), ascii(l255)}));
    dv_freepath(cx.ctx, list);
    EXPECT_EQ(dv_parsepath(cx.ctx, (l254 + "/" + l255 + "/").c_str()), nullptr);
    EXPECT_EQ(dv_errno(cx.ctx), ENAMETOOLONG);
}

// Every failure releases the components built before it.
TEST(ParsePath, FailuresReleasePartialLists) {
    const struct {
        uint32_t flags;
        std::string path;
        uint64_t fail_at; // allocation to fail, 0 for none
        int err;
        uint64_t frees;
    } cases[] = {
        {utf8_slash, "a/b/c", 1, ENOMEM, 0},
        {utf8_slash, "a/b/c", 2, ENOMEM, 1},
        {utf8_slash, "a/b/c", 3, ENOMEM, 2},
        {ascii_slash, "ab/c\xE9/d", 0, EILSEQ, 1},
        {utf8_slash, "a/b/c\xC3", 0, EINVAL, 2},
        {utf8_slash, "a/b/" + std::string(300, 'x'), 0, ENAMETOOLONG, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.path.substr(0, 12) << " fail at " << c.fail_at);
        Ctx cx(c.flags);
        cx.alloc.fail_at(c.fail_at);
        EXPECT_EQ(dv_parsepath(cx.ctx, c.path.c_str()), nullptr);
        EXPECT_EQ(dv_errno(cx.ctx), c.err);
        EXPECT_EQ(cx.alloc.frees(), c.frees);
        EXPECT_EQ(cx.alloc.live_blocks(), 1u); // only the context itself
    }
}

TEST(FreePath, NullList) {
    Ctx cx(utf8_slash);
    EXPECT_EQ(dv_freepath(cx.ctx, nullptr), nullptr);
    EXPECT_EQ(cx.alloc.frees(), 0u);
}

TEST(IsRoot, Table) {
    const uint32_t both = DV_CHARSET_UTF8 | DV_FLAG_SLASH | DV_FLAG_BACKSLASH;
    const struct {
        uint32_t flags;
        const char *text;
        int want;
    } cases[] = {
        {utf8_slash, "", 1},      {utf8_slash, "/", 1},      {utf8_slash, "//", 1},
        {utf8_slash, "/a", 0},    {utf8_slash, "\\", 0},     {both, "\\", 1},
        {both, "/\\/", 1},        {both, "/\x80", 0},        {both, "\xFF", 0},
        {DV_CHARSET_UTF8, "", 1}, {DV_CHARSET_UTF8, "/", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        Ctx cx(c.flags);
        EXPECT_EQ(dv_isroot(cx.ctx, c.text), c.want);
    }
}

TEST(NameCmp, Table) {
    const struct {
        Units a, b;
        int want;
    } cases[] = {
        {u"b", u"aa", -1},    {u"abc", u"ab", 1},   {u"abc", u"abd", -2},
        {u"abd", u"abc", 2},  {u"ABC", u"abc", -2}, {u"", u"", 0},
        {u"\uFFFD", u"A", 2}, {u"x", u"x", 0},      {u"\u8000", u"\u7FFF", 2},
    };
    for (const auto &c : cases) {
        const dv_name a = make_name(c.a), b = make_name(c.b);
        EXPECT_EQ(dv_namecmp(&a, &b), c.want);
    }
    // Only units before the terminator count.
    dv_name a = make_name(u"ab"), b = make_name(u"ab");
    a.units[3] = 1;
    b.units[3] = 2;
    EXPECT_EQ(dv_namecmp(&a, &b), 0);
}

TEST(NameCpy, CopiesCountUnitsAndTerminator) {
    for (const Units &u : {Units(), Units(u"x"), Units(255, u'\xFFFF')}) {
        const dv_name src = make_name(u);
        dv_name dst;
        for (auto &unit : dst.units) unit = 0xABCD;
        dst.len = 999;
        EXPECT_EQ(dv_namecpy(&dst, &src), 0);
        EXPECT_EQ(units(dst), u);
        EXPECT_EQ(dst.units[u.size()], 0);
    }
}

} // namespace

// ---- Name text ----------------------------------------------------------------------

TEST(NameText, Utf8WithSizeQueryAndWholeCharactersOnly) {
    dv_name n{};
    const char16_t units[] = u"a\u00E9\u65E5\U0001F600";
    n.len = 5;
    std::memcpy(n.units, units, sizeof units);
    const std::string whole = "a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80";
    EXPECT_EQ(dv_name_to_utf8(&n, nullptr, 0), whole.size());
    for (size_t size = 1; size <= whole.size() + 1; ++size) {
        std::string buf(size + 1, '#');
        EXPECT_EQ(dv_name_to_utf8(&n, buf.data(), size), whole.size());
        EXPECT_EQ(buf[size], '#') << size; // nothing past the size
        const std::string got(buf.c_str());
        EXPECT_EQ(got, whole.substr(0, got.size()));
        EXPECT_GE(got.size() + 4, std::min(size - 1, whole.size())) << "whole characters";
    }
    n.units[3] = 0xDC00; // a lone low surrogate, then a lone high one at the end
    n.len = 5;
    n.units[4] = 0xD800;
    std::string buf(32, '\0');
    dv_name_to_utf8(&n, buf.data(), buf.size());
    EXPECT_EQ(std::string(buf.c_str()), "a\xC3\xA9\xE6\x97\xA5\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(NameText, ShortNamesAsListed) {
    const struct {
        const char *name11;
        unsigned lcase;
        const char *codepage;
        const char16_t *want;
    } cases[] = {
        {"README  TXT", 0, nullptr, u"README.TXT"},
        {"README  TXT", DV_LCASE_BASE | DV_LCASE_EXT, nullptr, u"readme.txt"},
        {"README  TXT", DV_LCASE_EXT, nullptr, u"README.txt"},
        {"NOEXT      ", DV_LCASE_BASE, nullptr, u"noext"},
        {"\x05"
         "BC     TXT",
         0, nullptr, u"\u03C3BC.TXT"},                 // 0x05 stands for 0xE5
        {"\x9B       TXT", 0, "cp850", u"\u00F8.TXT"}, // cp437 would give U+00A2
        {"\x9B       TXT", 0, nullptr, u"\u00A2.TXT"},
        {"A\0B     TXT", 0, nullptr, u"A"},
    };
    for (const auto &c : cases) {
        dv_name n;
        ASSERT_EQ(dv_shortname_to_name(c.name11, c.lcase, c.codepage, &n),
                  static_cast<int>(std::char_traits<char16_t>::length(c.want)));
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(n.units), n.len), c.want);
    }
    dv_name n;
    EXPECT_EQ(dv_shortname_to_name("README  TXT", 0, "utf8", &n), -1);
    EXPECT_EQ(dv_shortname_to_name("README  TXT", 0, "no-such", &n), -1);
}

// Spot checks of the folding table against Python's str.casefold (one-unit results).
TEST(NameText, CaseFoldingOfTheLettersThatMatter) {
    const uint16_t pairs[][2] = {
        {0x41, 0x61},   {0xC4, 0xE4},     {0x3A3, 0x3C3},   {0x3C2, 0x3C3},   {0x3A9, 0x3C9},
        {0x416, 0x436}, {0x130, 0x130},   {0x1E9E, 0xDF},   {0x212A, 0x6B},   {0x17F, 0x73},
        {0x1C5, 0x1C6}, {0xAB70, 0x13A0}, {0x216B, 0x217B}, {0xFF21, 0xFF41}, {0xB5, 0x3BC},
        {0x178, 0xFF},  {0xD800, 0xD800}, {0x61, 0x61}};
    for (const auto &p : pairs) {
        EXPECT_EQ(dorvex::fold_unit(p[0]), p[1]) << std::hex << p[0];
        EXPECT_EQ(dv_foldcase(p[0]), p[1]) << std::hex << p[0];
    }
    // Beyond the BMP nothing folds (Deseret capital long I would fold to U+10428).
    EXPECT_EQ(dv_foldcase(0x10400), 0x10400u);
    EXPECT_EQ(dv_foldcase(0x10FFFF), 0x10FFFFu);
    EXPECT_EQ(dv_foldcase(0xFFFFFFFFu), 0xFFFFFFFFu);
}

TEST(NameCaseCmp, Table) {
    const struct {
        Units a, b;
        int want;
    } cases[] = {
        {u"ABC", u"abc", 0},  {u"\u1E9E.txt", u"\u00DF.TXT", 0},
        {u"\u212A", u"k", 0}, {u"\u03A3\u03C2", u"\u03C3\u03C3", 0},
        {u"b", u"AA", -1},    {u"abd", u"ABC", 2},
        {u"a", u"B", -2},     {u"\u0130", u"i", 2},
        {u"", u"", 0},
    };
    for (const auto &c : cases) {
        const dv_name a = make_name(c.a), b = make_name(c.b);
        EXPECT_EQ(dv_namecasecmp(&a, &b), c.want);
    }
}
