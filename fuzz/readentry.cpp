// Fuzz target: raw directory-entry runs. The first byte chooses strict or lenient decoding
// (bit 0), deleted records (bit 1) and lower-case 8.3 names (bit 2),
// the second the record room; the rest are 32-byte entries, decoded the way a directory
// scan does it (carrying an unfinished run in front of the next buffer).
#include "fuzz_common.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    dvfuzz::Alloc alloc;
    const uint32_t flags =
        DV_FLAG_SLASH | DV_FLAG_UTF16 | DV_CHARSET_UTF8 | ((data[0] & 1) ? DV_FLAG_LENIENT : 0) |
        ((data[0] & 2) ? DV_FLAG_DELETED : 0) | ((data[0] & 4) ? DV_FLAG_NTCASE : 0);
    dv_ctx *ctx = dv_newctx2(flags, nullptr, &alloc, dvfuzz::Alloc::alloc, dvfuzz::Alloc::release);
    if (!ctx) dvfuzz::fail("context");
    const int room_max = 1 + data[1] % 8;
    const size_t n = (size - 2) / DV_DIRENT_SIZE;
    // An exact-size copy, so that a read past the entries shows.
    std::vector<uint8_t> raw(data + 2, data + 2 + n * DV_DIRENT_SIZE);
    std::vector<dv_entry> recs(static_cast<size_t>(room_max));

    const uint8_t *cur = raw.data();
    int count = int(n);
    for (int guard = 0; count > 0 && guard < 10000; ++guard) {
        const int count_before = count;
        dv_entry *rp = recs.data();
        int room = room_max;
        const int rc = dv_readentry(ctx, &cur, &count, &rp, &room);
        if (cur < raw.data() || cur > raw.data() + raw.size())
            dvfuzz::fail("cursor left the array");
        if (count < 0 || count > count_before) dvfuzz::fail("count out of range");
        if (room < 0 || room > room_max || rp != recs.data() + (room_max - room))
            dvfuzz::fail("record cursor and room disagree");
        for (dv_entry *r = recs.data(); r != rp; ++r)
            if (r->name.len > DV_NAME_MAX || r->name.units[r->name.len] != 0)
                dvfuzz::fail("bad record name");
        const uint8_t *const end = raw.data() + raw.size();
        if (rc < 0) {
            // The cursor is on the refused entry and the count runs from it.
            if (cur >= end || cur != end - size_t(count) * DV_DIRENT_SIZE)
                dvfuzz::fail("refused entry not at the cursor");
            // Skip it, as a caller that gives up on it would.
            cur += DV_DIRENT_SIZE;
            count -= 1;
            continue;
        }
        if (rc != 0) dvfuzz::fail("unexpected result");
        // The entries not consumed (an unfinished run included) are the last `count` ones.
        cur = end - size_t(count) * DV_DIRENT_SIZE;
        if (count == 0 || *cur == 0) break;                   // everything decoded, or an end mark
        if (room == room_max && count == count_before) break; // a run that needs more entries
    }
    dv_deletectx(ctx);
    return 0;
}
