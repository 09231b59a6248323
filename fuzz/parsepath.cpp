// Fuzz target: the first four bytes are a context flag word, the rest a path text. Splits it
// into a list, walks and releases the list, also with allocation failures, and checks every
// component's name.
#include "fuzz_common.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5) return 0;
    uint32_t flags = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 |
                     uint32_t(data[3]) << 24;
    // The locale charset reads the process locale, which stays "C" here.
    const std::string text(reinterpret_cast<const char *>(data + 4), size - 4);
    dvfuzz::Alloc alloc;
    int err = 0;
    dv_ctx *ctx = dv_newctx2(flags, &err, &alloc, dvfuzz::Alloc::alloc, dvfuzz::Alloc::release);
    if (!ctx) {
        if (err != EINVAL && err != ENOMEM) dvfuzz::fail("context code");
        return 0;
    }
    for (uint32_t fail_from = 0; fail_from < 4; ++fail_from) {
        alloc.fail_from(fail_from ? fail_from + 1 : 0); // the context is allocated already
        dv_pathnode *list = dv_parsepath(ctx, text.c_str());
        unsigned nodes = 0;
        for (dv_pathnode *p = list; p; p = p->next) {
            if (p->name.len > DV_NAME_MAX || p->name.units[p->name.len] != 0)
                dvfuzz::fail("bad component");
            if (++nodes > text.size() + 1) dvfuzz::fail("more components than bytes");
        }
        if (dv_freepath(ctx, list) != nullptr) dvfuzz::fail("freepath result");
        if (alloc.live() != 1) dvfuzz::fail("path nodes left allocated");
    }
    alloc.fail_from(0);
    dv_name name;
    const char *pos = text.c_str();
    for (int guard = 0; pos && *pos && guard < 10000; ++guard) {
        const char *next = dv_parsename(ctx, &name, pos);
        if (next && (next < pos || next > text.c_str() + text.size())) dvfuzz::fail("position");
        if (next == pos) break;
        pos = next;
    }
    dv_isroot(ctx, text.c_str());
    dv_deletectx(ctx);
    return 0;
}
