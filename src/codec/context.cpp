// The context record, its constructor and destructor, and the two character decoders
// that turn one character of caller text into one 16-bit unit.
#include <dorvex/dorvex.h>

#include "common/bytes.h"
#include "codec/context_internal.h"

#include <cerrno>
#include <cstring>
#include <cwchar>

namespace dorvex {

// UTF-8 and ASCII text: the converter decodes the character into a two-byte window. A
// second character that does not fit ends the call with E2BIG, which here means success.
const char *cc_get_identity(dv_ctx *ctx, const char *p, const char *end, uint16_t *unit, int *err) {
    if (identity_shortcut(p, end)) {
        *unit = static_cast<unsigned char>(*p);
        return p + 1;
    }
    char *in = const_cast<char *>(p);
    size_t inleft = static_cast<size_t>(end - p);
    const size_t start = inleft;
    char *out = reinterpret_cast<char *>(unit);
    size_t outleft = 2;
    int e = 0;
    size_t r = dorvex_iconv(ctx->cd, &in, &inleft, &out, &outleft, &e);
    // The window holds the unit little-endian; make it the host's value.
    if (outleft == 0) {
        uint8_t bytes[2];
        std::memcpy(bytes, unit, 2);
        *unit = load_le16(bytes);
    }
    if (r != static_cast<size_t>(-1) || (e == E2BIG && inleft < start)) return end - inleft;
    *err = e;
    return nullptr;
}

// Text in the caller's locale: the runtime decodes the character in that locale, the
// converter then checks and narrows the wide character.
const char *cc_get_mbtowc(dv_ctx *ctx, const char *p, const char *end, uint16_t *unit, int *err) {
    // A local state: a rejected sequence leaves nothing behind for the next call.
    std::mbstate_t state{};
    wchar_t wc = 0;
    size_t n = std::mbrtowc(&wc, p, static_cast<size_t>(end - p), &state);
    if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
        *err = n == static_cast<size_t>(-2) ? EINVAL : EILSEQ;
        return nullptr;
    }
    if (n == 0) return end;

    uint32_t value = static_cast<uint32_t>(wc);
    uint8_t bytes[4];
    char *in = reinterpret_cast<char *>(bytes);
    size_t inleft;
    dorvex_iconv_t cd = ctx->cd;
    if (value <= 0xFFFF) {
        uint16_t narrow = static_cast<uint16_t>(value);
        std::memcpy(bytes, &narrow, 2);
        inleft = 2;
    } else {
        // Wider than one unit: convert it as UTF-32, so it fares as in a UTF-8 context
        // (U+FFFD for a UCS-2 target, E2BIG for a UTF-16 target).
        store_le32(bytes, value);
        inleft = 4;
        uint32_t ucs4le = static_cast<uint32_t>(dorvex_iconv_open("ucs4le", "ucs4le")) & 0xFFFF;
        cd = static_cast<dorvex_iconv_t>((ucs4le << 16) | (static_cast<uint32_t>(cd) & 0xFFFF));
    }
    const size_t start = inleft;
    char *out = reinterpret_cast<char *>(unit);
    size_t outleft = 2;
    int e = 0;
    size_t r = dorvex_iconv(cd, &in, &inleft, &out, &outleft, &e);
    if (outleft == 0) {
        uint8_t le[2];
        std::memcpy(le, unit, 2);
        *unit = load_le16(le);
    }
    if (r != static_cast<size_t>(-1) || (e == E2BIG && inleft < start)) return p + n;
    *err = e;
    return nullptr;
}

const char *decode_pair(dv_ctx *ctx, const char *p, const char *end, uint16_t units[2], int *err) {
    uint32_t value = 0;
    size_t n;
    if (ctx->decode == cc_get_mbtowc) {
        std::mbstate_t state{};
        wchar_t wc = 0;
        n = std::mbrtowc(&wc, p, static_cast<size_t>(end - p), &state);
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
            *err = n == static_cast<size_t>(-2) ? EINVAL : EILSEQ;
            return nullptr;
        }
        value = static_cast<uint32_t>(wc);
    } else {
        // One character through the converter into a four-byte window.
        uint8_t bytes[4];
        char *in = const_cast<char *>(p), *out = reinterpret_cast<char *>(bytes);
        size_t inleft = static_cast<size_t>(end - p), outleft = 4;
        const dorvex_iconv_t cd = dorvex_iconv_open("ucs4le", "utf8");
        int e = 0;
        if (dorvex_iconv(cd, &in, &inleft, &out, &outleft, &e) == static_cast<size_t>(-1) &&
            outleft != 0) {
            *err = e;
            return nullptr;
        }
        n = static_cast<size_t>(in - p);
        value = load_le32(bytes);
    }
    if (value < 0x10000 || value > 0x10FFFF) {
        *err = E2BIG;
        return nullptr;
    }
    units[0] = static_cast<uint16_t>(0xD800 + ((value - 0x10000) >> 10));
    units[1] = static_cast<uint16_t>(0xDC00 + (value & 0x3FF));
    return p + n;
}

} // namespace dorvex

using namespace dorvex;

const char *dv_version(void) {
    return DV_VERSION_STRING;
}

dv_ctx *dv_newctx2(uint32_t flags, int *err, void *alloc_data, dv_alloc_fn alloc, dv_free_fn free) {
    if (alloc == nullptr || free == nullptr) {
        if (err != nullptr) *err = EINVAL;
        return nullptr;
    }
    auto *ctx = static_cast<dv_ctx *>(alloc(alloc_data, sizeof(dv_ctx)));
    if (ctx == nullptr) {
        if (err != nullptr) *err = ENOMEM;
        return nullptr;
    }
    std::memset(static_cast<void *>(ctx), 0, sizeof *ctx);

    int n = 0;
    if (flags & DV_FLAG_SLASH) ctx->seps[n++] = 0x002F;
    if (flags & DV_FLAG_BACKSLASH) ctx->seps[n++] = 0x005C;
    ctx->seps[n] = 0;
    ctx->alloc_data = alloc_data;
    ctx->skip_leading_sep = (flags & DV_FLAG_SKIP_LEADING_SEP) ? 1 : 0;
    ctx->lenient = (flags & DV_FLAG_LENIENT) ? 1 : 0;
    ctx->alloc = alloc;
    ctx->free = free;
    ctx->flags = flags;

    const char *target = (flags & DV_FLAG_UTF16) ? "utf16le" : "ucs2le";
    const char *source = nullptr;
    dv_char_decoder decode = nullptr;
    switch (flags & DV_CHARSET_MASK) {
    case DV_CHARSET_LOCALE:
        source = "wchart";
        decode = cc_get_mbtowc;
        break;
    case DV_CHARSET_UTF8:
        source = "utf8";
        decode = cc_get_identity;
        break;
    case DV_CHARSET_ASCII:
        source = "ascii";
        decode = cc_get_identity;
        break;
    default:
        break;
    }
    if (source != nullptr) {
        ctx->cd = dorvex_iconv_open(target, source);
        ctx->decode = decode;
        if (ctx->cd != -1) return ctx;
    }
    free(alloc_data, ctx);
    if (err != nullptr) *err = EINVAL;
    return nullptr;
}

void dv_deletectx(dv_ctx *ctx) {
    if (ctx == nullptr) return;
    void *alloc_data = ctx->alloc_data;
    dv_free_fn release = ctx->free;
    dorvex_iconv_close(ctx->cd);
    // Wipe before release: nothing of the context outlives it in freed memory.
    std::memset(static_cast<void *>(ctx), 0, sizeof *ctx);
    release(alloc_data, ctx);
}

int dv_errno(const dv_ctx *ctx) {
    return ctx->err;
}
