// The converter against a reference that converts one character at a time the way the
// converter once did: UTF-8 through the C library's mbrtowc/wcrtomb in "C.UTF-8" (held in
// this thread only, with uselocale), narrowed to RFC 3629; every other charset through the
// converter's own one-character path to and from UTF-32. Results, codes, cursors, output
// and the irreversible count must agree for every code point, every short UTF-8 prefix and
// random strings long enough to reach the bulk loops, at every room around a character.
#include "iconv/convert.h"

#include <dorvex/iconv.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <cwchar>
#include <locale.h>
#include <random>

namespace {

using dvtest::Bytes;
using dvtest::fail;

struct Outcome {
    size_t ret;
    int err;
    size_t consumed;
    size_t produced;
};

// One call with `room` bytes of a buffer that holds at least that many (and a guard byte).
Outcome run(dorvex_iconv_t cd, const uint8_t *in, size_t len, uint8_t *out, size_t room) {
    char *ip = const_cast<char *>(reinterpret_cast<const char *>(in));
    char *op = reinterpret_cast<char *>(out);
    size_t il = len, ol = room;
    int err = dvtest::untouched;
    size_t r = dorvex_iconv(cd, &ip, &il, &op, &ol, &err);
    return {r, err, len - il, room - ol};
}

dorvex_iconv_t open(const std::string &to, const std::string &from) {
    return dorvex_iconv_open(to.c_str(), from.c_str());
}

// The reference's view of one string: where each character starts in the input and ends in
// the output, the count so far, and how the string ends (0, or the failing character's code).
struct Trace {
    std::vector<size_t> in_end, out_end, count;
    int err = 0;
    Bytes out;
};

class Differential : public testing::Test {
  protected:
    void SetUp() override {
        utf8_ = newlocale(LC_ALL_MASK, "C.UTF-8", nullptr);
        ASSERT_NE(utf8_, nullptr);
        saved_ = uselocale(utf8_);
    }
    void TearDown() override {
        uselocale(saved_);
        freelocale(utf8_);
    }

    // One character at `p`: its code point and length, or the code it fails with.
    // `cd` converts the source charset to UTF-32LE; unused for UTF-8.
    static int decode(dorvex_iconv_t cd, bool utf8, const uint8_t *p, size_t left, uint32_t *cp,
                      size_t *len) {
        if (!utf8) {
            uint8_t u[4];
            Outcome r = run(cd, p, left, u, 4);
            if (r.consumed == 0) return r.err;
            *cp = u[0] | u[1] << 8 | u[2] << 16;
            *len = r.consumed;
            return 0;
        }
        std::mbstate_t state{};
        wchar_t wc = 0;
        size_t n = std::mbrtowc(&wc, reinterpret_cast<const char *>(p), left, &state);
        if (n == static_cast<size_t>(-2)) {
            // Cut off: EINVAL only if some continuation could still make it valid. Only the
            // first continuation byte has a narrowed range; later ones may be any.
            if (left >= 4) return EILSEQ;
            const size_t need = p[0] >= 0xF0 ? 4 : p[0] >= 0xE0 ? 3 : 2;
            uint8_t longer[4] = {0x80, 0x80, 0x80, 0x80};
            std::memcpy(longer, p, left);
            for (unsigned next = 0x80; next <= 0xBF; next++) {
                longer[left] = static_cast<uint8_t>(next);
                uint32_t c;
                size_t l;
                if (decode(cd, true, longer, need, &c, &l) == 0) return EINVAL;
            }
            return EILSEQ;
        }
        const auto v = static_cast<uint32_t>(wc);
        if (n == static_cast<size_t>(-1) || n > 4 || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
            return EILSEQ;
        *cp = v;
        *len = n == 0 ? 1 : n;
        return 0;
    }

    // One code point in the target with unlimited room: its bytes and whether it was
    // replaced, or the code it fails with.
    // `cd` converts UTF-32LE to the target charset; unused for UTF-8.
    static int encode(dorvex_iconv_t cd, bool utf8, uint32_t cp, Bytes *out, size_t *irreversible) {
        if (utf8) {
            if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return EILSEQ;
            char buf[MB_LEN_MAX];
            std::mbstate_t state{};
            size_t n = std::wcrtomb(buf, static_cast<wchar_t>(cp), &state);
            if (n == static_cast<size_t>(-1)) return EILSEQ;
            *out = Bytes(buf, buf + n);
            *irreversible = 0;
            return 0;
        }
        const uint8_t in[4] = {static_cast<uint8_t>(cp), static_cast<uint8_t>(cp >> 8),
                               static_cast<uint8_t>(cp >> 16), 0};
        uint8_t buf[8];
        Outcome r = run(cd, in, 4, buf, 8);
        if (r.ret == fail) return r.err;
        out->assign(buf, buf + r.produced);
        *irreversible = r.ret;
        return 0;
    }

    static Trace trace(const std::string &to, const std::string &from, const Bytes &in) {
        Trace t;
        const dorvex_iconv_t dec = open("ucs4le", from), enc = open(to, "ucs4le");
        size_t pos = 0, count = 0;
        while (pos < in.size()) {
            uint32_t cp = 0;
            size_t len = 0, irreversible = 0;
            Bytes bytes;
            t.err = decode(dec, from == "utf8", in.data() + pos, in.size() - pos, &cp, &len);
            if (t.err == 0) t.err = encode(enc, to == "utf8", cp, &bytes, &irreversible);
            if (t.err != 0) return t;
            t.out.insert(t.out.end(), bytes.begin(), bytes.end());
            pos += len;
            count += irreversible;
            t.in_end.push_back(pos);
            t.out_end.push_back(t.out.size());
            t.count.push_back(count);
        }
        return t;
    }

    // The converter with `room` bytes must stop where the reference says: at the first
    // character that fails, or that does not fit (E2BIG, decided after decoding).
    static void expect_same(const std::string &to, const std::string &from, const Bytes &in,
                            const Trace &t, size_t room) {
        size_t done = 0;
        while (done < t.in_end.size() && t.out_end[done] <= room) done++;
        const int err = done < t.in_end.size() ? E2BIG : t.err;
        const size_t consumed = done == 0 ? 0 : t.in_end[done - 1];
        const size_t produced = done == 0 ? 0 : t.out_end[done - 1];
        std::vector<uint8_t> buf(room + 1, 0xEE);
        Outcome r = run(open(to, from), in.data(), in.size(), buf.data(), room);
        const size_t ret = err != 0 ? fail : t.count.empty() ? 0 : t.count.back();
        const int code = err != 0 ? err : dvtest::untouched;
        if (r.ret == ret && r.err == code && r.consumed == consumed && r.produced == produced &&
            std::equal(t.out.begin(), t.out.begin() + static_cast<long>(produced), buf.begin()) &&
            buf[room] == 0xEE)
            return;
        ADD_FAILURE() << from << " -> " << to << ", room " << room << ", input of " << in.size()
                      << " bytes: got " << r.ret << "/" << r.err << ", " << r.consumed << " in, "
                      << r.produced << " out; expected " << ret << "/" << code << ", " << consumed
                      << " in, " << produced << " out";
    }

    // Every room from 0 to one past the whole output for short results; for long ones the
    // rooms around a few character ends, 0 and the whole.
    static void check(const std::string &to, const std::string &from, const Bytes &in,
                      std::mt19937 &rng) {
        const Trace t = trace(to, from, in);
        if (t.out.size() <= 16) {
            for (size_t room = 0; room <= t.out.size() + 1; room++)
                expect_same(to, from, in, t, room);
            return;
        }
        expect_same(to, from, in, t, 0);
        expect_same(to, from, in, t, t.out.size() + 64);
        for (int i = 0; i < 6 && !t.out_end.empty(); i++) {
            size_t end = t.out_end[rng() % t.out_end.size()];
            for (size_t room = end - 1; room <= end + 1; room++) expect_same(to, from, in, t, room);
        }
    }

    locale_t utf8_ = nullptr, saved_ = nullptr;
};

void put32le(Bytes &b, uint32_t v) {
    for (int i = 0; i < 4; i++) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Each code point once through every pair with one full-room call (the whole trace and the
// room sweep for every 61st): into UTF-8 from UTF-32 against wcrtomb, and out of UTF-8
// against the converter's path from UTF-32.
TEST_F(Differential, EveryCodePointBothWays) {
    std::mt19937 rng(1);
    const dorvex_iconv_t to_utf8 = open("utf8", "ucs4le");
    struct Pair {
        dorvex_iconv_t from_utf8, from_utf32;
    };
    std::vector<Pair> pairs;
    for (const char *to : {"ucs4le", "utf16le", "ucs2be", "cp1252"})
        pairs.push_back({open(to, "utf8"), open(to, "ucs4le")});
    for (uint32_t cp = 0; cp <= 0x110000; cp++) {
        Bytes utf32;
        put32le(utf32, cp);
        uint8_t got[8], want[8];
        Outcome r = run(to_utf8, utf32.data(), 4, got, 8);
        Bytes expected;
        size_t irreversible;
        const int err = encode(to_utf8, true, cp, &expected, &irreversible);
        const bool valid = cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        ASSERT_EQ(err, valid ? 0 : EILSEQ) << cp;
        ASSERT_EQ(r.ret, valid ? 0 : fail) << cp;
        if (!valid) {
            ASSERT_EQ(r.err, EILSEQ) << cp;
            continue;
        }
        ASSERT_EQ(Bytes(got, got + r.produced), expected) << cp;
        for (const Pair &pair : pairs) {
            Outcome a = run(pair.from_utf8, expected.data(), expected.size(), got, 8);
            Outcome b = run(pair.from_utf32, utf32.data(), 4, want, 8);
            ASSERT_TRUE(a.ret == b.ret && a.consumed == expected.size() &&
                        a.produced == b.produced && std::equal(got, got + a.produced, want))
                << pair.from_utf8 << " " << cp;
        }
        if (cp % 61 == 0) {
            put32le(utf32, 'A');
            check("utf8", "ucs4le", utf32, rng);
            expected.push_back('A');
            check("utf16be", "utf8", expected, rng);
        }
    }
}

TEST_F(Differential, EveryUtf8PrefixOfUpToFourBytes) {
    // All one- and two-byte strings, three bytes with every second byte, and four bytes with
    // bytes that stand for every class the decoder tells apart.
    const uint8_t classes[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                               0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
    std::vector<Bytes> inputs;
    for (unsigned a = 0; a < 256; a++) {
        const auto lead = static_cast<uint8_t>(a);
        inputs.push_back({lead});
        for (unsigned b = 0; b < 256; b++) {
            inputs.push_back({lead, static_cast<uint8_t>(b)});
            if (a >= 0xE0)
                for (uint8_t c : classes) inputs.push_back({lead, static_cast<uint8_t>(b), c});
        }
        if (a >= 0xF0)
            for (uint8_t b : classes)
                for (uint8_t c : classes)
                    for (uint8_t d : classes) inputs.push_back({lead, b, c, d});
    }
    for (const Bytes &in : inputs)
        for (const char *to : {"utf16le", "ucs2le", "utf32be"}) {
            const Trace t = trace(to, "utf8", in);
            expect_same(to, "utf8", in, t, 0);
            expect_same(to, "utf8", in, t, 16);
        }
}

// Random text: ASCII runs long enough for the block copies, characters of every length,
// and now and then a fault; UTF-8 inputs run long enough for the single-byte tables.
TEST_F(Differential, RandomStringsEveryDirection) {
    std::mt19937 rng(12345);
    const uint32_t sample[] = {0x41, 0xE9, 0x416, 0x20AC, 0x65E5, 0xFFFD, 0x1F600, 0x10FFFF, 0x7F};
    const char *const faults[] = {"\xFF",         "\x80",         "\xC3",
                                  "\xED\xA0\x80", "\xE0\x80\x80", "\xF4\x90\x80\x80"};
    auto pick_cp = [&] {
        return rng() % 4 == 0 ? rng() % 0x800 : sample[rng() % std::size(sample)];
    };
    for (int round = 0; round < 200; round++) {
        const size_t chars = round % 2 ? 8 + rng() % 24 : 150 + rng() % 250;
        Bytes utf32, utf8;
        for (size_t i = 0; i < chars; i++) {
            if (rng() % 6 == 0)
                for (size_t run = rng() % 40; run > 0; run--) put32le(utf32, 'a' + rng() % 26);
            put32le(utf32, pick_cp());
        }
        utf8 = trace("utf8", "ucs4le", utf32).out;
        if (round % 4 == 0) {
            const char *f = faults[rng() % std::size(faults)];
            utf8.insert(utf8.begin() + static_cast<long>(rng() % utf8.size()), f,
                        f + std::strlen(f));
        }
        for (const char *to : {"utf16le", "utf16be", "ucs2le", "ucs2be", "utf32le", "cp1252",
                               "latin1", "cp437", "ascii"})
            check(to, "utf8", utf8, rng);
        for (const char *from : {"utf16le", "utf16be", "ucs2le", "cp1252", "koi8r"}) {
            Bytes in = trace(from, "utf8", utf8).out;
            if (round % 3 == 0 && !in.empty()) {
                in[rng() % in.size()] ^= static_cast<uint8_t>(0xD8); // a stray surrogate, often
                if (round % 6 == 0) in.pop_back();                   // or a cut-off unit
            }
            check("utf8", from, in, rng);
        }
    }
}

} // namespace
