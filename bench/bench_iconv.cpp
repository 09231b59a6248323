// Converter throughput against the C library's iconv(3) on the same text, and the cost of
// the context decoder (one converter call per character, as path parsing uses it).
#include <dorvex/dorvex.h>
#include <dorvex/iconv.h>

#include <benchmark/benchmark.h>

#include <iconv.h>

#include <clocale>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t text_size = 4u << 20;

// Deterministic word soup: `pick` chooses among the words with a small LCG.
std::string make_text(const std::vector<std::string> &words, size_t size) {
    std::string s;
    uint32_t state = 12345;
    while (s.size() < size) {
        state = state * 1103515245u + 12345u;
        s += words[(state >> 16) % words.size()];
        s += (state >> 8) % 13 == 0 ? ".\n" : " ";
    }
    return s;
}

// English prose with an accented word now and then (about 1 byte in 150 non-ASCII).
const std::string &ascii_heavy() {
    static const std::string text = make_text({"the",
                                               "file",
                                               "system",
                                               "reads",
                                               "sectors",
                                               "through",
                                               "a",
                                               "callback",
                                               "and",
                                               "decodes",
                                               "directory",
                                               "entries",
                                               "into",
                                               "records",
                                               "with",
                                               "long",
                                               "names",
                                               "caf\xC3\xA9",
                                               "cluster",
                                               "chain",
                                               "of",
                                               "volume",
                                               "na\xC3\xAFve",
                                               "table",
                                               "offset",
                                               "converter",
                                               "character",
                                               "set",
                                               "is",
                                               "not",
                                               "fast",
                                               "enough",
                                               "for",
                                               "every",
                                               "path",
                                               "component",
                                               "r\xC3\xA9sum\xC3\xA9"},
                                              text_size);
    return text;
}

// Mixed text as people write it: sentences of Russian (words between spaces) and of
// Japanese (no spaces), with numbers now and then and an emoji at the end of some
// sentences. Each sentence keeps to one script, as real text does.
std::string make_mixed(size_t size) {
    const std::vector<std::string> ru = {"\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB",
                                         "\xD0\xBA\xD0\xB0\xD1\x82\xD0\xB0\xD0\xBB\xD0\xBE\xD0\xB3",
                                         "\xD1\x82\xD0\xBE\xD0\xBC",
                                         "\xD0\xB7\xD0\xB0\xD0\xBF\xD0\xB8\xD1\x81\xD1\x8C",
                                         "\xD1\x81\xD0\xB5\xD0\xBA\xD1\x82\xD0\xBE\xD1\x80",
                                         "\xD0\xB8\xD0\xBC\xD1\x8F",
                                         "\xD0\xB4\xD0\xB8\xD1\x81\xD0\xBA",
                                         "\xD1\x87\xD1\x82\xD0\xB5\xD0\xBD\xD0\xB8\xD0\xB5"};
    const std::vector<std::string> ja = {"\xE3\x83\x95\xE3\x82\xA1\xE3\x82\xA4\xE3\x83\xAB",
                                         "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
                                         "\xE6\x96\x87\xE5\xAD\x97",
                                         "\xE8\xAA\xAD\xE3\x81\xBF\xE8\xBE\xBC\xE3\x81\xBF",
                                         "\xE3\x81\xAE",
                                         "\xE3\x82\x92",
                                         "\xE5\x90\x8D\xE5\x89\x8D",
                                         "\xE3\x81\xA7\xE3\x81\x99"};
    const std::vector<std::string> emoji = {"\xF0\x9F\x98\x80", "\xF0\x9F\x93\x81",
                                            "\xF0\x9F\x92\xBE", "\xE2\x9D\xA4\xEF\xB8\x8F"};
    std::string s;
    uint32_t state = 12345;
    auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return state >> 16;
    };
    while (s.size() < size) {
        const bool russian = next() % 2 != 0;
        const unsigned words = 5 + next() % 8;
        for (unsigned i = 0; i < words; i++) {
            if (russian && i != 0) s += ' ';
            s += russian ? ru[next() % ru.size()] : ja[next() % ja.size()];
            if (next() % 9 == 0) s += std::to_string(next() % 3000);
        }
        if (next() % 4 == 0) s += emoji[next() % emoji.size()];
        s += russian ? ". " : "\xE3\x80\x82"; // the Japanese full stop
        if (next() % 5 == 0) s += '\n';
    }
    return s;
}

const std::string &mixed() {
    static const std::string text = make_mixed(text_size);
    return text;
}

// Western European prose (French, German, Spanish sentences) in which about 6% of the
// bytes are accented letters or typographic punctuation once in CP1252.
const std::string &western() {
    static const std::string text = make_text({"les",
                                               "des",
                                               "fichiers",
                                               "sont",
                                               "dans",
                                               "une",
                                               "pour",
                                               "avec",
                                               "nous",
                                               "vous",
                                               "der",
                                               "das",
                                               "ist",
                                               "nicht",
                                               "mit",
                                               "auf",
                                               "ein",
                                               "eine",
                                               "los",
                                               "las",
                                               "por",
                                               "para",
                                               "con",
                                               "una",
                                               "que",
                                               "archivo",
                                               "datos",
                                               "tarjeta",
                                               "sur",
                                               "pas",
                                               "plus",
                                               "noch",
                                               "wir",
                                               "sie",
                                               "nach",
                                               "le",
                                               "syst\xC3\xA8me",
                                               "de",
                                               "fichiers",
                                               "\xC3\xA0",
                                               "\xC3\xA9t\xC3\xA9",
                                               "lu",
                                               "apr\xC3\xA8s",
                                               "la",
                                               "carte",
                                               "m\xC3\xA9moire",
                                               "d\xC3\xA9j\xC3\xA0",
                                               "pr\xC3\xAAt",
                                               "die",
                                               "Datei",
                                               "f\xC3\xBCr",
                                               "gr\xC3\xB6\xC3\x9F"
                                               "er",
                                               "\xC3\xBC"
                                               "ber",
                                               "und",
                                               "Verzeichnis",
                                               "el",
                                               "a\xC3\xB1o",
                                               "m\xC3\xA1s",
                                               "c\xC3\xB3"
                                               "digo",
                                               "informaci\xC3\xB3n",
                                               "del",
                                               "disco",
                                               "\xE2\x80\x9Cnombre\xE2\x80\x9D",
                                               "et",
                                               "caf\xC3\xA9",
                                               "na\xC3\xAFve",
                                               "\xC3\xA7"
                                               "a",
                                               "Stra\xC3\x9F"
                                               "e",
                                               "se\xC3\xB1"
                                               "al",
                                               "r\xC3\xA9pertoire"},
                                              text_size);
    return text;
}
// The same text in another charset, converted once by the C library.
std::string recode(const std::string &text, const char *to, const char *from) {
    iconv_t cd = iconv_open(to, from);
    std::string out(text.size() * 4 + 16, '\0');
    char *ip = const_cast<char *>(text.data()), *op = out.data();
    size_t il = text.size(), ol = out.size();
    iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    out.resize(out.size() - ol);
    return out;
}

const std::string &utf16_ascii_heavy() {
    static const std::string text = recode(ascii_heavy(), "UTF-16LE", "UTF-8");
    return text;
}
const std::string &utf16_mixed() {
    static const std::string text = recode(mixed(), "UTF-16LE", "UTF-8");
    return text;
}
const std::string &cp1252_ascii_heavy() {
    static const std::string text = recode(ascii_heavy(), "CP1252", "UTF-8");
    return text;
}
const std::string &cp1252_western() {
    static const std::string text = recode(western(), "CP1252", "UTF-8");
    return text;
}

enum class Peer { dorvex, libc };

void run(benchmark::State &state, Peer peer, const std::string &in, const char *to,
         const char *from) {
    std::vector<char> out(in.size() * 4 + 16);
    dorvex_iconv_t cd = dorvex_iconv_open(to, from);
    iconv_t lcd = iconv_open(to, from);
    size_t produced = 0;
    for (auto _ : state) {
        char *ip = const_cast<char *>(in.data()), *op = out.data();
        size_t il = in.size(), ol = out.size();
        size_t r;
        if (peer == Peer::dorvex) {
            int err = 0;
            r = dorvex_iconv(cd, &ip, &il, &op, &ol, &err);
        } else {
            r = iconv(lcd, &ip, &il, &op, &ol);
        }
        if (r == static_cast<size_t>(-1) || il != 0) state.SkipWithError("conversion failed");
        produced = out.size() - ol;
        benchmark::DoNotOptimize(out.data());
    }
    iconv_close(lcd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
    state.counters["MB/s"] = benchmark::Counter(static_cast<double>(in.size()) / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
    state.counters["out_bytes"] = static_cast<double>(produced);
}

#define PAIR(name, text, to, from, to_libc, from_libc)                                             \
    void name##_dorvex(benchmark::State &s) {                                                      \
        run(s, Peer::dorvex, text(), to, from);                                                    \
    }                                                                                              \
    void name##_libc(benchmark::State &s) {                                                        \
        run(s, Peer::libc, text(), to_libc, from_libc);                                            \
    }                                                                                              \
    BENCHMARK(name##_dorvex)->Unit(benchmark::kMillisecond);                                       \
    BENCHMARK(name##_libc)->Unit(benchmark::kMillisecond)

PAIR(utf8_to_utf16le_ascii_heavy, ascii_heavy, "utf16le", "utf8", "UTF-16LE", "UTF-8");
PAIR(utf8_to_utf16le_mixed, mixed, "utf16le", "utf8", "UTF-16LE", "UTF-8");
PAIR(utf16le_to_utf8_ascii_heavy, utf16_ascii_heavy, "utf8", "utf16le", "UTF-8", "UTF-16LE");
PAIR(utf16le_to_utf8_mixed, utf16_mixed, "utf8", "utf16le", "UTF-8", "UTF-16LE");
PAIR(cp1252_to_utf8_ascii_heavy, cp1252_ascii_heavy, "utf8", "cp1252", "UTF-8", "CP1252");
PAIR(cp1252_to_utf8_western, cp1252_western, "utf8", "cp1252", "UTF-8", "CP1252");
PAIR(utf8_to_cp1252_ascii_heavy, ascii_heavy, "cp1252", "utf8", "CP1252", "UTF-8");
PAIR(utf8_to_cp1252_western, western, "cp1252", "utf8", "CP1252", "UTF-8");

// ---- The context decoder, one character per call ---------------------------

// The path is decoded in the process's current locale ("C" unless a benchmark sets it).
void decode_path(benchmark::State &state, uint32_t flags, const std::string &path) {
    dv_ctx *ctx = dv_newctx(flags, nullptr);
    size_t chars = 0;
    for (auto _ : state) {
        const char *p = path.data(), *end = p + path.size();
        chars = 0;
        while (p != nullptr && p < end) {
            uint16_t unit;
            int err = 0;
            p = ctx->decode(ctx, p, end, &unit, &err);
            benchmark::DoNotOptimize(unit);
            chars++;
        }
        if (p != end) state.SkipWithError("decoding failed");
    }
    dv_deletectx(ctx);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * chars));
    state.counters["s/char"] = benchmark::Counter(static_cast<double>(chars),
                                                  benchmark::Counter::kIsIterationInvariantRate |
                                                      benchmark::Counter::kInvert);
}

const std::string ascii_path = "/Documents/Projects/dorvex/src/converter_core.cpp";
const std::string cyrillic_path =
    "/\xD0\x94\xD0\xBE\xD0\xBA\xD1\x83\xD0\xBC\xD0\xB5\xD0\xBD\xD1\x82\xD1\x8B/"
    "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt";

void decoder_ascii_ctx(benchmark::State &s) {
    decode_path(s, 0x30F, ascii_path);
}
void decoder_utf8_ctx_ascii_path(benchmark::State &s) {
    decode_path(s, 0x70F, ascii_path);
}
void decoder_utf8_ctx_cyrillic_path(benchmark::State &s) {
    decode_path(s, 0x70F, cyrillic_path);
}
// Runs a decoder benchmark with the process locale set to C.UTF-8, which the converter
// then has no need to switch.
void in_utf8_locale(benchmark::State &s, uint32_t flags, const std::string &path) {
    std::string saved = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "C.UTF-8");
    decode_path(s, flags, path);
    std::setlocale(LC_ALL, saved.c_str());
}
void decoder_utf8_ctx_cyrillic_path_in_utf8_locale(benchmark::State &s) {
    in_utf8_locale(s, 0x70F, cyrillic_path);
}
void decoder_locale_ctx_cyrillic_path(benchmark::State &s) {
    in_utf8_locale(s, 0x50F, cyrillic_path);
}
BENCHMARK(decoder_ascii_ctx);
BENCHMARK(decoder_utf8_ctx_ascii_path);
BENCHMARK(decoder_utf8_ctx_cyrillic_path);
BENCHMARK(decoder_utf8_ctx_cyrillic_path_in_utf8_locale);
BENCHMARK(decoder_locale_ctx_cyrillic_path);

} // namespace

BENCHMARK_MAIN();
