// Fuzz target: records built from the input are encoded with dv_writeentry into a room the
// input chooses, then decoded again with dv_readentry: what comes back must be what went in.
#include "fuzz_common.h"

#include <vector>

namespace {

struct Bytes {
    const uint8_t *p;
    size_t n;
    uint8_t u8() {
        if (!n) return 0;
        --n;
        return *p++;
    }
    uint16_t u16() { return uint16_t(u8() | u8() << 8); }
    uint32_t u32() { return uint32_t(u16() | uint32_t(u16()) << 16); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Bytes in{data, size};
    dvfuzz::Alloc alloc;
    dv_ctx *ctx = dv_newctx2(DV_FLAG_SLASH | DV_FLAG_UTF16 | DV_CHARSET_UTF8, nullptr, &alloc,
                             dvfuzz::Alloc::alloc, dvfuzz::Alloc::release);
    if (!ctx) dvfuzz::fail("context");
    const unsigned room_total = in.u8() % 64;
    const int nrec = 1 + in.u8() % 4;
    std::vector<dv_entry> recs(static_cast<size_t>(nrec));
    for (dv_entry &r : recs) {
        std::memset(&r, 0, sizeof r);
        uint32_t len = in.u16() % 300;
        for (uint32_t i = 0; i < len && i < 255; ++i) r.name.units[i] = in.u16();
        r.name.len = len;
        if (len <= 255) r.name.units[len] = 0;
        for (int i = 0; i < 11; ++i) r.shortname[i] = char(in.u8());
        r.attr = in.u8();
        r.cluster = in.u32();
        r.size = in.u32();
        r.mtime.sec = int32_t(in.u32());
        r.ctime.sec = int32_t(in.u32());
        r.atime.sec = int32_t(in.u32());
    }
    std::vector<uint8_t> raw(size_t(room_total) * DV_DIRENT_SIZE + 1, 0xAB);
    const dv_entry *rp = recs.data();
    int count = nrec;
    uint8_t *ep = raw.data();
    unsigned room = room_total;
    const int rc = dv_writeentry(ctx, &rp, &count, &ep, &room);
    if (raw.back() != 0xAB) dvfuzz::fail("wrote past the room");
    if (ep != raw.data() + size_t(room_total - room) * DV_DIRENT_SIZE)
        dvfuzz::fail("entry cursor and room disagree");
    const int written = nrec - count;
    if (rp != recs.data() + written) dvfuzz::fail("record cursor and count disagree");
    if (rc == -1 && (rp->name.len <= 255 || dv_errno(ctx) != ENAMETOOLONG))
        dvfuzz::fail("-1 without a long name");
    if (rc > 0 && (dv_errno(ctx) != E2BIG || static_cast<unsigned>(rp->name.len) / 13 + 2 !=
                                                 room + static_cast<unsigned>(rc)))
        dvfuzz::fail("wrong shortfall");

    // Decode what was written; records whose entries cannot come back unchanged (a short
    // entry that looks like a long-name entry or an end mark, NUL bytes in the 8.3 name) end
    // the comparison.
    const uint8_t *cur = raw.data();
    int left = int(room_total - room);
    for (int i = 0; i < written; ++i) {
        const dv_entry &w = recs[size_t(i)];
        if ((w.attr & 0x0F) == 0x0F || std::memchr(w.shortname, 0, 11)) break;
        dv_entry back;
        dv_entry *bp = &back;
        int broom = 1;
        if (dv_readentry(ctx, &cur, &left, &bp, &broom) != 0 || broom != 0)
            dvfuzz::fail("written run does not decode");
        uint32_t n = 0;
        while (n < w.name.len && w.name.units[n] != 0) ++n;
        if (back.name.len != n || std::memcmp(back.name.units, w.name.units, n * 2) != 0)
            dvfuzz::fail("name changed");
        if (back.cluster != w.cluster || back.size != w.size || back.attr != (w.attr & 0xFF) ||
            std::memcmp(back.shortname, w.shortname, 11) != 0)
            dvfuzz::fail("fields changed");
    }
    dv_deletectx(ctx);
    return 0;
}
