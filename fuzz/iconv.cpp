// Fuzz target: the first bytes pick a source and a target charset, an input window and an
// output room; the rest is converted in steps. The cursors must only move forward, stay
// inside the buffers, and the output must never pass the room.
#include "fuzz_common.h"

#include <dorvex/iconv.h>

#include <vector>

namespace {
const char *const kNames[] = {"utf8",  "wchart",  "ucs2",     "ucs2le",    "utf16",  "utf16le",
                              "utf32", "utf32le", "ascii",    "latin1",    "cp437",  "cp1252",
                              "koi8r", "cp850",   "iso88595", "iso885915", "cp1251", "koi8u"};
constexpr size_t kCount = sizeof kNames / sizeof kNames[0];
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    const dorvex_iconv_t cd = dorvex_iconv_open(kNames[data[1] % kCount], kNames[data[0] % kCount]);
    if (cd == -1) return 0; // a name the table does not know
    const size_t window = 1 + data[2] % 16;
    const size_t room = data[3] % 24;
    std::vector<char> input(data + 4, data + size);
    char *in = input.data();
    size_t inleft = input.size();
    for (int guard = 0; inleft && guard < 100000; ++guard) {
        // Exact size, so that writing past the room shows (one byte when there is no room: a
        // null output pointer with no room is not what callers pass).
        std::vector<char> out(room ? room : 1);
        char *o = out.data();
        size_t outleft = room;
        size_t chunk = inleft < window ? inleft : window;
        char *const in_before = in;
        int err = 0;
        const size_t r = dorvex_iconv(cd, &in, &chunk, &o, &outleft, &err);
        if (in < in_before || in > in_before + (inleft < window ? inleft : window))
            dvfuzz::fail("input cursor");
        if (o < out.data() || size_t(o - out.data()) + outleft != room)
            dvfuzz::fail("output cursor");
        const size_t used = size_t(in - in_before);
        inleft -= used;
        if (r == size_t(-1)) {
            if (err != EILSEQ && err != EINVAL && err != E2BIG) dvfuzz::fail("error code");
            if (used == 0) {
                // Cannot progress with this window and room: skip one byte.
                ++in;
                --inleft;
            }
        }
    }
    dorvex_iconv_close(cd);
    return 0;
}
