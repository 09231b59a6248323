// Names and paths: caller text -> counted 16-bit names, one decoder call per character.
#include <dorvex/dorvex.h>

#include "charset/casefold.h"
#include "codec/context_internal.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace dorvex {
namespace {

bool is_separator(const dv_ctx *ctx, uint16_t unit) {
    for (int i = 0; i < 4 && ctx->seps[i] != 0; ++i)
        if (ctx->seps[i] == unit) return true;
    return false;
}

// Decodes one name from p (< end) into *out. With `skipping`, separators in front of the
// name are passed over while text follows them. Returns the position just past the
// separator that ended the name (or end), or null with the context's err set; on failure
// out->len is untouched and its units may be partly overwritten.
const char *scan_name(dv_ctx *ctx, const char *p, const char *end, dv_name *out, bool skipping) {
    unsigned n = 0;
    // The identity decoder's own shortcut, taken here without even the call.
    const bool identity = ctx->decode == cc_get_identity;
    const bool pairs = (ctx->flags & DV_FLAG_UTF16) != 0;
    for (;;) {
        uint16_t units[2] = {0, 0};
        unsigned count = 1;
        if (identity && identity_shortcut(p, end)) {
            units[0] = static_cast<unsigned char>(*p);
            ++p;
        } else {
            int err = 0;
            const char *next = ctx->decode(ctx, p, end, &units[0], &err);
            // A character above U+FFFF needs two units, which a UTF-16 name has room for.
            if (!next && err == E2BIG && pairs) {
                err = 0;
                next = decode_pair(ctx, p, end, units, &err);
                count = 2;
            }
            if (!next) {
                ctx->err = err;
                return nullptr;
            }
            p = next;
        }
        if (count == 1 && is_separator(ctx, units[0])) {
            if (n == 0 && skipping && p != end) continue;
            break;
        }
        for (unsigned k = 0; k < count; ++k) {
            if (n == DV_NAME_MAX) {
                ctx->err = ENAMETOOLONG;
                return nullptr;
            }
            out->units[n++] = units[k];
        }
        if (p == end) break;
        // Checked before the next character is read: a name of DV_NAME_MAX units is only
        // accepted when nothing follows it, not even a separator.
        if (n == DV_NAME_MAX) {
            ctx->err = ENAMETOOLONG;
            return nullptr;
        }
    }
    out->units[n] = 0;
    out->len = static_cast<uint16_t>(n);
    return p;
}

} // namespace

const char *parse_component(dv_ctx *ctx, const char *p, const char *end, dv_name *out) {
    return scan_name(ctx, p, end, out, true);
}

} // namespace dorvex

extern "C" {

const char *dv_parsename(dv_ctx *ctx, dv_name *out, const char *text) {
    const size_t len = std::strlen(text);
    if (len == 0) {
        out->len = 0;
        out->units[0] = 0;
        return text;
    }
    return dorvex::scan_name(ctx, text, text + len, out, ctx->skip_leading_sep != 0);
}

dv_pathnode *dv_parsepath(dv_ctx *ctx, const char *path) {
    const size_t len = std::strlen(path);
    if (len == 0) return nullptr;
    const char *p = path;
    const char *const end = path + len;
    dv_pathnode *head = nullptr;
    dv_pathnode **tail = &head;
    while (p < end) {
        p = dorvex::parse_component(ctx, p, end, &ctx->scratch);
        if (!p) return dv_freepath(ctx, head);
        const size_t n = ctx->scratch.len;
        // Room for the link, the count, the units and the terminator only.
        const size_t size = offsetof(dv_pathnode, name) + sizeof(uint16_t) * (1 + n + 1);
        void *block = ctx->alloc(ctx->alloc_data, size);
        if (!block) {
            ctx->err = ENOMEM;
            return dv_freepath(ctx, head);
        }
        std::memset(block, 0, size);
        auto *node = static_cast<dv_pathnode *>(block);
        node->next = nullptr;
        node->name.len = static_cast<uint16_t>(n);
        std::memcpy(node->name.units, ctx->scratch.units, n * sizeof(uint16_t));
        *tail = node;
        tail = &node->next;
    }
    return head;
}

dv_pathnode *dv_freepath(dv_ctx *ctx, dv_pathnode *list) {
    while (list) {
        dv_pathnode *next = list->next;
        ctx->free(ctx->alloc_data, list);
        list = next;
    }
    return nullptr;
}

int dv_isroot(const dv_ctx *ctx, const char *text) {
    for (const char *p = text; *p; ++p) {
        // Bytes are widened as signed, so 0x80-0xFF become 0xFF80-0xFFFF and never match.
        const auto unit = static_cast<uint16_t>(static_cast<int8_t>(*p));
        if (!dorvex::is_separator(ctx, unit)) return 0;
    }
    return 1;
}

int dv_namecmp(const dv_name *a, const dv_name *b) {
    if (a->len != b->len) return a->len < b->len ? -1 : 1;
    for (unsigned i = 0; i < a->len; ++i)
        if (a->units[i] != b->units[i]) return a->units[i] < b->units[i] ? -2 : 2;
    return 0;
}

int dv_namecpy(dv_name *dst, const dv_name *src) {
    const uint16_t n = src->len;
    dst->len = n;
    for (unsigned i = 0; i < n; ++i) dst->units[i] = src->units[i];
    dst->units[n] = 0;
    return 0;
}

uint32_t dv_foldcase(uint32_t cp) {
    return cp > 0xFFFF ? cp : dorvex::fold_unit(static_cast<uint16_t>(cp));
}

int dv_namecasecmp(const dv_name *a, const dv_name *b) {
    if (a->len != b->len) return a->len < b->len ? -1 : 1;
    for (unsigned i = 0; i < a->len; ++i) {
        const uint16_t x = dorvex::fold_unit(a->units[i]), y = dorvex::fold_unit(b->units[i]);
        if (x != y) return x < y ? -2 : 2;
    }
    return 0;
}

} // extern "C"
