// Fuzz target: the input is a medium (damaged as it comes) and, in its last 64 bytes, a
// sequence of changes: make directories, put, replace, change files in place, remove (files, empty
// directories and whole trees), move, set times, attributes and the label, with names that clash.
// The reader and the writer abort on any request outside the volume; the allocator aborts on leaks
// and bad releases. Whatever the medium holds, every call must return, and closing must release
// everything.
#include "fuzz_common.h"

#include <dorvex/writefat.h>

#include <string>
#include <vector>

namespace {

// A writable copy of the input: `end` sectors, zeros past the input's bytes.
struct Disk {
    std::vector<uint8_t> bytes;
    uint32_t max_read = 1;

    static int32_t read(void *self, void *buf, uint64_t sector, uint32_t count) {
        auto *d = static_cast<Disk *>(self);
        const uint64_t end = d->bytes.size() / 512;
        if (count == 0 || count > d->max_read || sector >= end || count > end - sector)
            dvfuzz::fail("read outside the volume");
        std::memcpy(buf, d->bytes.data() + sector * 512, size_t(count) * 512);
        return int32_t(count);
    }
    static int32_t write(void *self, const void *buf, uint64_t sector, uint32_t count) {
        auto *d = static_cast<Disk *>(self);
        const uint64_t end = d->bytes.size() / 512;
        if (count == 0 || count > 4096 || sector >= end || count > end - sector)
            dvfuzz::fail("write outside the volume");
        if (reinterpret_cast<uintptr_t>(buf) % 512 != 0) dvfuzz::fail("unaligned writer buffer");
        std::memcpy(d->bytes.data() + sector * 512, buf, size_t(count) * 512);
        return int32_t(count);
    }
};

const char *const kNames[] = {"a",
                              "A",
                              "dir",
                              "DIR",
                              "file.txt",
                              "FILE.TXT",
                              "long name.text",
                              "Long Name.TEXT",
                              "x~1",
                              "sub/inner",
                              "dir/f",
                              "DIR/F.BIN",
                              "dir/../sub/./inner",
                              "/./DIR/..",
                              "../dir/f"};

// writefat_remove_tree's callback: a directory's own entry comes before its contents.
void count_removed(void *data, const dv_entry *e, uint32_t depth, int code) {
    auto *last_depth = static_cast<uint32_t *>(data);
    if (!e || depth > *last_depth + 1 || (code != 0 && code != ELOOP && code != EIO))
        dvfuzz::fail("remove_tree callback out of order");
    *last_depth = depth;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 512 + 8) return 0;
    const size_t ops_len = size - 512 < 64 ? 8 : 64;
    const uint8_t *ops = data + size - ops_len;
    Disk disk;
    const size_t image = size - ops_len;
    const uint64_t sectors = (image + 511) / 512 < 64 ? 64 : (image + 511) / 512;
    disk.bytes.assign(size_t(sectors) * 512, 0);
    std::memcpy(disk.bytes.data(), data, image);
    const uint32_t bps = uint32_t(data[11] | data[12] << 8);
    disk.max_read =
        (data[13] ? data[13] : 1) * (bps == 1024 || bps == 2048 || bps == 4096 ? bps / 512 : 1);
    // An exFAT boot region (the main one, or the backup at logical sector 12 that a damaged
    // first sector sends the mount to) is read one logical sector at a time: up to 4096 bytes.
    for (uint64_t at : {0, 12, 24, 48, 96})
        if ((at + 1) * 512 <= image && std::memcmp(data + at * 512 + 3, "EXFAT   ", 8) == 0 &&
            disk.max_read < 8)
            disk.max_read = 8;
    dvfuzz::Alloc alloc;
    int err = 0;
    // The last byte picks the memory: the tool's (FAST) or a device's (SMALL: sector buffers,
    // no caches, a window of tails, a small reclaim bitmap).
    writefat_config config;
    writefat_config_init(&config,
                         data[size - 1] & 1 ? WRITEFAT_CONFIG_SMALL : WRITEFAT_CONFIG_FAST);
    if (data[size - 1] & 2) config.alias_tails = 64;
    writefat_volume *w =
        writefat_open3(0, sectors, 512, &disk, Disk::read, Disk::write,
                       readfat_optimal_flags() | DV_FLAG_NTCASE | DV_FLAG_NOCASE, 1, 1, &config,
                       &err, &alloc, dvfuzz::Alloc::alloc, dvfuzz::Alloc::release);
    if (!w) {
        if (alloc.live() != 0) dvfuzz::fail("failed open kept memory");
        return 0;
    }
    std::string content;
    uint32_t removed = 0;
    for (size_t i = 0; i + 1 < ops_len; i += 2) {
        const char *name = kNames[ops[i + 1] % (sizeof kNames / sizeof kNames[0])];
        const char *other = kNames[(ops[i + 1] / 16) % (sizeof kNames / sizeof kNames[0])];
        switch (ops[i] % 9) {
        case 0:
            writefat_mkdir(w, name, 1700000000);
            break;
        case 1:
        case 2: {
            // Bit 0x20 changes a file in place instead: seek, write, flush, truncate.
            const bool in_place = (ops[i] & 0x20) != 0;
            writefat_file *f =
                in_place
                    ? writefat_open_file(
                          w, name, WRITEFAT_CREATE | (ops[i] & 0x10 ? WRITEFAT_APPEND : 0), &err)
                    : writefat_create(w, name, ops[i] & 0x80 ? WRITEFAT_REPLACE : 0, &err);
            if (!f) break;
            content.assign(size_t(ops[i + 1]) * 97, char(ops[i]));
            if (in_place) writefat_seek(w, f, size_t(ops[i + 1]) * 13);
            writefat_write(w, f, content.data(), content.size(), &err);
            if (in_place) {
                writefat_flush(w, f, 1700000000);
                writefat_truncate(w, f, size_t(ops[i + 1] & 0x0F) * 300);
                writefat_preallocate(w, f, size_t(ops[i + 1]) * 200);
                writefat_write(w, f, content.data(), content.size() / 3, &err);
            }
            if (ops[i] & 0x40)
                writefat_abort(w, f);
            else
                writefat_finish(w, f, 1700000000);
            break;
        }
        case 3:
            // The high bit removes the whole tree below the name (loops and all).
            if (ops[i] & 0x80)
                writefat_remove_tree(w, name, count_removed, &removed);
            else
                writefat_remove(w, name);
            break;
        case 4:
            writefat_rename(w, name, other);
            break;
        case 5:
            writefat_settimes(w, name, 1600000000, DV_TIME_NONE, 1650000000);
            break;
        case 6:
            writefat_setattr(w, name, ops[i + 1] & 0x27);
            break;
        case 7:
            writefat_setlabel(w, ops[i + 1] & 1 ? "FUZZ DISK" : "");
            break;
        default: {
            // Groups open, sync and close between the other operations; reclaim mends (or
            // refuses) whatever the image holds.
            writefat_reclaim_report rep;
            if (ops[i] & 0x80)
                writefat_group(w, ops[i] & 0x40 ? 0 : 1);
            else if (ops[i] & 0x40)
                writefat_sync(w);
            else if (ops[i] & 0x20)
                writefat_reclaim(w, ops[i] & 0x10 ? &rep : nullptr);
            dv_entry st;
            readfat_stat(writefat_reader(w), name, &st);
            break;
        }
        }
    }
    writefat_close(w);
    if (alloc.live() != 0) dvfuzz::fail("close kept memory");
    return 0;
}
