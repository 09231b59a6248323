// Conversions between the Unicode encodings and US-ASCII: decoders, encoders, cursors on
// failure, the ASCII fast paths, and conversions that leave the locale alone.
#include "iconv/convert.h"
#include "iconv/locale_guard.h"

#include <dorvex/iconv.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using dvtest::Bytes;
using dvtest::convert;
using dvtest::fail;
using dvtest::Result;
using dvtest::untouched;

Bytes utf8(const char *s) {
    return Bytes(s, s + std::strlen(s));
}

// ---- Empty input -----------------------------------------------------------

TEST(Iconv, EmptyInputTouchesNothing) {
    dvtest::LocaleGuard locale("C");
    dorvex_iconv_t cd = dorvex_iconv_open("ucs2le", "utf8");
    char text[] = "\xC3\xA9";
    char outbuf[4] = {1, 2, 3, 4};
    char *in = text, *out = outbuf, *null_in = nullptr;
    size_t inleft = 0, outleft = 4;
    int err = untouched;
    EXPECT_EQ(dorvex_iconv(cd, nullptr, &inleft, &out, &outleft, &err), 0u);
    size_t two = 2;
    EXPECT_EQ(dorvex_iconv(cd, &null_in, &two, &out, &outleft, &err), 0u);
    EXPECT_EQ(dorvex_iconv(cd, &in, &inleft, &out, &outleft, &err), 0u);
    EXPECT_EQ(in, text);
    EXPECT_EQ(out, outbuf);
    EXPECT_EQ(outleft, 4u);
    EXPECT_EQ(two, 2u);
    EXPECT_EQ(err, untouched);
    EXPECT_EQ(outbuf[0], 1);
    EXPECT_EQ(dvtest::LocaleGuard::current(), "C");
}

// ---- Decoders and encoders -------------------------------------------------

struct Case {
    const char *to, *from;
    Bytes in;
    size_t room;
    size_t ret;
    int err; // `untouched` on success
    size_t consumed;
    Bytes out;
};

void check(const Case &c) {
    Result r = convert(c.to, c.from, c.in, c.room);
    EXPECT_EQ(r.ret, c.ret);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.consumed, c.consumed);
    EXPECT_EQ(r.out, c.out);
}

TEST(Iconv, UnicodeDecoders) {
    dvtest::LocaleGuard locale("C");
    const Case cases[] = {
        // UTF-16: pairs, lone and cut-off surrogates
        {"utf32be", "utf16le", {0x3D, 0xD8, 0x00, 0xDE}, 64, 0, untouched, 4, {0, 1, 0xF6, 0}},
        {"utf32be", "utf16le", {0x3D, 0xD8}, 64, fail, EINVAL, 0, {}},
        {"utf32be", "utf16le", {0x00, 0xDE}, 64, fail, EILSEQ, 0, {}},
        {"utf32be", "utf16le", {0x3D, 0xD8, 0x41, 0x00}, 64, fail, EILSEQ, 0, {}},
        {"utf32be", "utf16le", {0x41, 0x00, 0x42}, 64, fail, EINVAL, 2, {0, 0, 0, 0x41}},
        {"utf32be", "utf16", {0xD8, 0x3D, 0xDE, 0x00}, 64, 0, untouched, 4, {0, 1, 0xF6, 0}},
        {"utf32be", "ucs2le", {0x3D, 0xD8, 0x00, 0xDE}, 64, fail, EILSEQ, 0, {}},
        {"utf32be", "ucs2le", {0x3D, 0xD8}, 64, fail, EILSEQ, 0, {}},
        {"utf32be", "ucs2", {0x20, 0xAC}, 64, 0, untouched, 2, {0, 0, 0x20, 0xAC}},
        // UTF-32
        {"utf16le", "utf32be", {0x00, 0x11, 0x00, 0x00}, 64, fail, EILSEQ, 0, {}},
        {"utf16le", "utf32be", {0x00, 0x00, 0xD8, 0x00}, 64, fail, EILSEQ, 0, {}},
        {"utf16le", "utf32be", {0x00, 0x00, 0x41}, 64, fail, EINVAL, 0, {}},
        {"utf16le", "utf32le", {0x41, 0, 0, 0}, 64, 0, untouched, 4, {0x41, 0}},
        // US-ASCII
        {"utf16le", "ascii", {0x41, 0xE9}, 64, fail, EILSEQ, 1, {0x41, 0}},
        // UTF-8 (RFC 3629 only), cursors after the last whole character
        {"ucs2le", "utf8", {0xC3}, 64, fail, EINVAL, 0, {}},
        {"ucs2le", "utf8", {0x61, 0xC3}, 64, fail, EINVAL, 1, {0x61, 0}},
        {"ucs2le", "utf8", {0xFF}, 64, fail, EILSEQ, 0, {}},
        {"ucs2le", "utf8", {0x00}, 64, 0, untouched, 1, {0, 0}},
        {"ucs2le", "utf8", {0xC3, 0xA9}, 64, 0, untouched, 2, {0xE9, 0}},
        {"ucs2le", "utf8", {0xE2, 0x82, 0xAC}, 64, 0, untouched, 3, {0xAC, 0x20}},
        {"ucs2le", "utf8", {0xC0, 0x80}, 64, fail, EILSEQ, 0, {}},
        {"ucs2le", "utf8", {0xE0, 0x80, 0x80}, 64, fail, EILSEQ, 0, {}},
        {"ucs2le", "utf8", {0xED, 0xA0, 0x80}, 64, fail, EILSEQ, 0, {}},
        {"ucs2le", "utf8", {0xED, 0xA0}, 64, fail, EILSEQ, 0, {}},
        {"ucs2le", "utf8", {0xF4, 0x90, 0x80, 0x80}, 64, fail, EILSEQ, 0, {}},
        {"ucs2le", "utf8", {0xF8, 0x88, 0x80, 0x80, 0x80}, 64, fail, EILSEQ, 0, {}},
        {"ucs2le", "utf8", {0xF8, 0x88}, 64, fail, EILSEQ, 0, {}},
        {"ucs2le", "utf8", {0xC3, 0x41}, 64, fail, EILSEQ, 0, {}},
        {"ucs2le", "utf8", {0xF0, 0x9F, 0x98}, 64, fail, EINVAL, 0, {}},
        {"ucs2le", "utf8", {0xF0, 0x9F, 0x98, 0x80}, 64, 0, untouched, 4, {0xFD, 0xFF}},
        {"utf16le", "utf8", {0xF0, 0x9F, 0x98, 0x80}, 64, 0, untouched, 4, {0x3D, 0xD8, 0, 0xDE}},
        {"utf16le",
         "utf8",
         {0xF4, 0x8F, 0xBF, 0xBF},
         64,
         0,
         untouched,
         4,
         {0xFF, 0xDB, 0xFF, 0xDF}},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(testing::Message() << "case " << i);
        check(cases[i]);
    }
}

TEST(Iconv, WchartIsSixteenBitHostUnits) {
    uint16_t units[2] = {0xD83D, 0xDE00};
    Bytes in(reinterpret_cast<uint8_t *>(units), reinterpret_cast<uint8_t *>(units) + 4);
    Result r = convert("utf16le", "wchart", in);
    EXPECT_EQ(r.ret, fail);
    EXPECT_EQ(r.err, EILSEQ);
    EXPECT_EQ(r.consumed, 0u);

    uint16_t euro = 0x20AC;
    r = convert("wchart", "utf16le", {0xAC, 0x20});
    ASSERT_EQ(r.out.size(), 2u);
    EXPECT_EQ(std::memcmp(r.out.data(), &euro, 2), 0);

    // One unit cannot hold U+1F600: it becomes U+FFFD.
    uint16_t fffd = 0xFFFD;
    r = convert("wchart", "utf32le", {0x00, 0xF6, 0x01, 0x00});
    EXPECT_EQ(r.ret, 0u);
    ASSERT_EQ(r.out.size(), 2u);
    EXPECT_EQ(std::memcmp(r.out.data(), &fffd, 2), 0);
}

TEST(Iconv, UnicodeEncoders) {
    dvtest::LocaleGuard locale("C");
    const Bytes grin = {0x00, 0xF6, 0x01, 0x00}; // U+1F600 as UTF-32LE
    const Case cases[] = {
        {"utf16le", "utf32le", grin, 64, 0, untouched, 4, {0x3D, 0xD8, 0x00, 0xDE}},
        {"utf16be", "utf32le", grin, 64, 0, untouched, 4, {0xD8, 0x3D, 0xDE, 0x00}},
        {"utf16le", "utf32le", grin, 3, fail, E2BIG, 0, {}},
        {"ucs2le", "utf32le", grin, 64, 0, untouched, 4, {0xFD, 0xFF}},
        {"ucs2", "utf32le", grin, 64, 0, untouched, 4, {0xFF, 0xFD}},
        {"utf32be", "utf32le", grin, 64, 0, untouched, 4, {0x00, 0x01, 0xF6, 0x00}},
        {"utf32le", "utf32be", {0, 1, 0xF6, 0}, 64, 0, untouched, 4, grin},
        {"utf32le", "utf16le", {0x41, 0}, 3, fail, E2BIG, 0, {}},
        {"utf8", "utf32le", grin, 64, 0, untouched, 4, {0xF0, 0x9F, 0x98, 0x80}},
        {"utf8", "utf32le", grin, 3, fail, E2BIG, 0, {}},
        {"utf8", "utf16le", {0xAC, 0x20}, 3, 0, untouched, 2, {0xE2, 0x82, 0xAC}},
        {"utf8", "utf16le", {0xAC, 0x20}, 2, fail, E2BIG, 0, {}},
        {"utf8", "utf16le", {0x41, 0, 0xE9, 0}, 2, fail, E2BIG, 2, {0x41}},
        {"utf8", "utf16le", {0, 0}, 1, 0, untouched, 2, {0}},
        {"ascii", "utf16le", {0xE9, 0x00}, 64, 1, untouched, 2, {'*'}},
        {"ascii",
         "utf16le",
         {0xE9, 0x00, 0x41, 0x00, 0xE9, 0x00},
         64,
         2,
         untouched,
         6,
         {'*', 'A', '*'}},
        {"ascii", "utf16le", {0xE9, 0x00}, 0, fail, E2BIG, 0, {}},
        // The next character is decoded before the room is checked.
        {"ucs2le", "utf8", {0x61, 0x62}, 2, fail, E2BIG, 1, {0x61, 0}},
        {"ucs2le", "utf8", {0x61, 0xFF}, 2, fail, EILSEQ, 1, {0x61, 0}},
        {"ucs2le", "utf8", {0x61, 0xC3}, 2, fail, EINVAL, 1, {0x61, 0}},
        {"utf16le", "utf8", {0xF0, 0x9F, 0x98, 0x80}, 2, fail, E2BIG, 0, {}},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(testing::Message() << "case " << i);
        check(cases[i]);
    }
}

// ---- The ASCII run must stop exactly where the general path would ----------

TEST(Iconv, AsciiRunsStopAtTheFirstOtherByteAndAtTheRoom) {
    const struct {
        const char *to;
        size_t width;
    } targets[] = {{"ucs2le", 2}, {"utf16", 2}, {"wchart", 2}, {"utf32le", 4},
                   {"ucs4", 4},   {"utf8", 1},  {"ascii", 1},  {"cp1252", 1}};
    for (auto &t : targets) {
        for (size_t len = 1; len <= 19; len++) {
            Bytes text(len);
            for (size_t i = 0; i < len; i++) text[i] = static_cast<uint8_t>('a' + i);
            for (size_t bad = 0; bad < len; bad++) {
                Bytes in = text;
                in[bad] = 0xFF; // EILSEQ in UTF-8
                Result r = convert(t.to, "utf8", in, 128);
                ASSERT_EQ(r.err, EILSEQ) << t.to << " len " << len << " bad " << bad;
                ASSERT_EQ(r.consumed, bad);
                ASSERT_EQ(r.out.size(), bad * t.width);
            }
            for (size_t room = 0; room < len * t.width; room++) {
                Result r = convert(t.to, "utf8", text, room);
                ASSERT_EQ(r.err, E2BIG) << t.to << " len " << len << " room " << room;
                ASSERT_EQ(r.consumed, room / t.width);
            }
            Result r = convert(t.to, "utf8", text, len * t.width);
            ASSERT_EQ(r.ret, 0u);
            Result back = convert("utf8", t.to, r.out, 64);
            ASSERT_EQ(back.out, text) << t.to;
        }
    }
}

// 16-bit units in the byte order of `enc`: "utf16" big-endian, "wchart" the host's.
Bytes units_in(const char *enc, const std::vector<uint16_t> &units) {
    Bytes b;
    for (uint16_t u : units) {
        uint8_t two[2];
        if (std::strcmp(enc, "wchart") == 0) {
            std::memcpy(two, &u, 2);
        } else if (std::strcmp(enc, "utf16") == 0) {
            two[0] = static_cast<uint8_t>(u >> 8);
            two[1] = static_cast<uint8_t>(u);
        } else {
            two[0] = static_cast<uint8_t>(u);
            two[1] = static_cast<uint8_t>(u >> 8);
        }
        b.insert(b.end(), two, two + 2);
    }
    return b;
}

TEST(Iconv, SixteenBitAsciiRunsStopWhereTheGeneralPathWould) {
    for (const char *from : {"utf16le", "utf16", "ucs2le", "wchart"}) {
        for (const char *to : {"utf8", "ascii", "cp1252"}) {
            SCOPED_TRACE(testing::Message() << from << " -> " << to);
            for (size_t len = 1; len <= 11; len++) {
                std::vector<uint16_t> units(len);
                for (size_t i = 0; i < len; i++) units[i] = static_cast<uint16_t>('a' + i);
                for (size_t bad = 0; bad < len; bad++) {
                    std::vector<uint16_t> u = units;
                    u[bad] = 0xDC00; // a lone low surrogate
                    Result r = convert(to, from, units_in(from, u), 64);
                    ASSERT_EQ(r.err, EILSEQ) << "len " << len << " bad " << bad;
                    ASSERT_EQ(r.consumed, 2 * bad);
                    ASSERT_EQ(r.out.size(), bad);
                }
            }
            // A non-ASCII unit in the middle goes through the general path and back:
            // "abc", U+00E9 (2 bytes in UTF-8, 1 otherwise), then "defgh".
            const Bytes in = units_in(from, {'a', 'b', 'c', 0xE9, 'd', 'e', 'f', 'g', 'h'});
            const size_t e9 = std::strcmp(to, "utf8") == 0 ? 2 : 1;
            for (size_t room = 0; room < 8 + e9; room++) {
                size_t chars = room <= 3 ? room : room < 3 + e9 ? 3 : room - e9 + 1;
                Result r = convert(to, from, in, room);
                ASSERT_EQ(r.err, E2BIG) << "room " << room;
                ASSERT_EQ(r.consumed, 2 * chars) << "room " << room;
            }
        }
    }
}

// ---- Round trips and small windows -----------------------------------------

const char *const samples[] = {
    "plain ASCII text, long enough to take the fast path twice over",
    "Gr\xC3\xBC\xC3\x9F\x65 aus K\xC3\xB6ln",
    "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xD0\xBC\xD0\xB8\xD1\x80",
    "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E text \xE2\x82\xAC 5",
    "emoji \xF0\x9F\x98\x80 and \xF4\x8F\xBF\xBF end",
};
const char *const unicode[] = {"utf16le", "utf16be", "utf32le", "utf32be", "utf8"};

TEST(Iconv, RoundTripsThroughEveryUnicodeEncoding) {
    dvtest::LocaleGuard locale("C");
    for (const char *s : samples) {
        for (const char *enc : unicode) {
            Result there = convert(enc, "utf8", utf8(s), 512);
            ASSERT_EQ(there.ret, 0u) << enc << ": " << s;
            Result back = convert("utf8", enc, there.out, 512);
            ASSERT_EQ(back.ret, 0u) << enc;
            EXPECT_EQ(back.out, utf8(s)) << enc;
        }
    }
}

// Converts in pieces: the input is offered one more byte at a time and the output room
// is `window` bytes per call, as a streaming caller would. A character that needs more
// room than the window is retried with 4 bytes, and must indeed need more than the window.
// The result must equal a one-shot conversion.
Bytes convert_in_pieces(const char *to, const char *from, const Bytes &in, size_t window) {
    dorvex_iconv_t cd = dorvex_iconv_open(to, from);
    Bytes result;
    size_t pos = 0, avail = 0, room = window;
    while (pos < in.size()) {
        if (avail < in.size()) avail++;
        char *ip = const_cast<char *>(reinterpret_cast<const char *>(in.data() + pos));
        size_t il = avail - pos;
        uint8_t buf[4];
        char *op = reinterpret_cast<char *>(buf);
        size_t ol = room;
        int err = 0;
        size_t r = dorvex_iconv(cd, &ip, &il, &op, &ol, &err);
        size_t used = (avail - pos) - il, written = room - ol;
        pos += used;
        result.insert(result.end(), buf, buf + written);
        if (room != window) {
            EXPECT_GT(written, window) << "retried a character that fitted";
        }
        room = window;
        if (r == fail) {
            // A cut-off character waits for more input, a full window for more room.
            EXPECT_TRUE(err == EINVAL || err == E2BIG) << err;
            if (err == EINVAL) {
                EXPECT_LT(avail, in.size());
            }
            if (err == E2BIG && used == 0) {
                EXPECT_EQ(written, 0u);
                if (window == 4) {
                    ADD_FAILURE() << "no progress at " << pos;
                    break;
                }
                room = 4;
                avail--; // offer the same input again
            }
        }
    }
    return result;
}

TEST(Iconv, OneByteInputsAndSmallWindowsGiveTheSameResult) {
    dvtest::LocaleGuard locale("C");
    for (const char *s : samples) {
        for (const char *from : unicode) {
            Bytes in = convert(from, "utf8", utf8(s), 512).out;
            for (const char *to : unicode) {
                Bytes whole = convert(to, from, in, 512).out;
                for (size_t window = 1; window <= 4; window++) {
                    SCOPED_TRACE(testing::Message()
                                 << from << " -> " << to << " window " << window);
                    EXPECT_EQ(convert_in_pieces(to, from, in, window), whole) << s;
                }
            }
        }
    }
}

// Random UTF-8 with ASCII runs, multibyte characters and now and then a bad byte: the
// converted prefix must convert back to exactly the bytes consumed, and the rest must fail
// on its first character with the same code.
TEST(Iconv, RandomUtf8ConvertsUpToItsFirstFaultExactly) {
    dvtest::LocaleGuard locale("C");
    const char *const pieces[] = {
        "a",        "hello world ", "0123456789abcdef", "\xC3\xA9",
        "\xD0\x96", "\xE2\x82\xAC", "\xE6\x97\xA5",     "\xF0\x9F\x98\x80",
        "\xFF",     "\xC3",         "\xED\xA0\x80",     "\x80"};
    uint32_t seed = 7;
    for (int round = 0; round < 500; round++) {
        Bytes in;
        int n = 1 + round % 17;
        for (int i = 0; i < n; i++) {
            seed = seed * 1103515245u + 12345u;
            size_t pick = (seed >> 16) % std::size(pieces);
            if (pick >= 8 && (seed >> 8) % 4 != 0) pick = 1; // keep faults rare
            const char *piece = pieces[pick];
            in.insert(in.end(), piece, piece + std::strlen(piece));
        }
        for (const char *to : {"utf16le", "utf32be", "ucs2le"}) {
            Result r = convert(to, "utf8", in, 1024);
            Bytes prefix(in.begin(), in.begin() + static_cast<long>(r.consumed));
            if (std::strcmp(to, "ucs2le") != 0) {
                Result back = convert("utf8", to, r.out, 1024);
                ASSERT_EQ(back.out, prefix) << to << " round " << round;
            }
            if (r.ret == fail) {
                Bytes rest(in.begin() + static_cast<long>(r.consumed), in.end());
                Result again = convert(to, "utf8", rest, 1024);
                ASSERT_EQ(again.err, r.err);
                ASSERT_EQ(again.consumed, 0u);
            } else {
                ASSERT_EQ(r.consumed, in.size());
            }
        }
    }
}

// ---- The process locale ----------------------------------------------------

// UTF-8 converts the same in any locale, and the locale is the same after every outcome.
TEST(Iconv, NeverTouchesTheLocale) {
    dvtest::LocaleGuard locale("C");
    ASSERT_NE(std::setlocale(LC_NUMERIC, "C.UTF-8"), nullptr);
    const std::string before = dvtest::LocaleGuard::current();
    ASSERT_NE(before.find(';'), std::string::npos) << before;
    const Case cases[] = {
        {"ucs2le",
         "utf8",
         utf8("\xC3\xA9t\xC3\xA9"),
         64,
         0,
         untouched,
         5,
         {0xE9, 0, 't', 0, 0xE9, 0}},
        {"ucs2le", "utf8", {0xC3, 0xA9, 0xFF}, 64, fail, EILSEQ, 2, {0xE9, 0}},
        {"ucs2le", "utf8", {0xC3, 0xA9, 0xC3}, 64, fail, EINVAL, 2, {0xE9, 0}},
        {"ucs2le", "utf8", {0xC3, 0xA9, 0xC3, 0xA9}, 2, fail, E2BIG, 2, {0xE9, 0}},
        {"utf8", "utf16le", {0xE9, 0, 0xE9, 0}, 3, fail, E2BIG, 2, {0xC3, 0xA9}},
        {"utf8", "cp1252", {0x80}, 64, 0, untouched, 1, {0xE2, 0x82, 0xAC}},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(testing::Message() << "case " << i);
        check(cases[i]);
        EXPECT_EQ(dvtest::LocaleGuard::current(), before);
    }
}

TEST(Iconv, WorksWhenTheLocaleAlreadyIsUtf8) {
    dvtest::LocaleGuard locale("C.UTF-8");
    check(
        {"utf16le", "utf8", utf8("\xF0\x9F\x98\x80"), 64, 0, untouched, 4, {0x3D, 0xD8, 0, 0xDE}});
    check(
        {"utf8", "utf16le", {0x3D, 0xD8, 0, 0xDE}, 64, 0, untouched, 4, utf8("\xF0\x9F\x98\x80")});
    EXPECT_EQ(dvtest::LocaleGuard::current(), "C.UTF-8");
}

} // namespace
