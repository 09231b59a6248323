#include "support/volume_util.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace dvtest {

Mounted::Mounted(FatImage &img, FaultReader &rd, uint32_t flags, uint32_t max_files,
                 uint32_t max_dirs) {
    vol = readfat_new2(img.start_sector(), img.end_sector(), 512, &rd, FaultReader::cb, flags,
                       max_files, max_dirs, &err, &alloc, TrackingAlloc::alloc_cb,
                       TrackingAlloc::free_cb);
}

Mounted::~Mounted() {
    if (vol) readfat_delete(vol);
}

void allow_batches(FaultReader &rd, const FatImage &img, uint32_t flags) {
    const uint32_t spc = img.sectors_per_cluster();
    rd.set_max_count((flags & READFAT_FLAG_BATCH) != 0 ? std::max(spc, 512u) : spc);
}

std::vector<Listed> list_handle(readfat_volume *vol, readfat_dir *d, int *end_err, size_t limit) {
    std::vector<Listed> out;
    int err = 0;
    const dv_entry *e;
    while (out.size() < limit && (e = readfat_readdir(vol, d, &err)) != nullptr) {
        out.push_back(
            {to_u16(e->name), e->cluster, e->size, e->attr, std::string(e->shortname, 11)});
        err = 0;
    }
    if (end_err) *end_err = err;
    return out;
}

std::vector<Listed> list_dir(readfat_volume *vol, const char *path, int *end_err) {
    int err = 0;
    readfat_dir *d = readfat_opendir(vol, path, &err);
    if (!d) {
        if (end_err)
            *end_err = err;
        else
            ADD_FAILURE() << "opendir(" << path << ") failed: " << err;
        return {};
    }
    int e = 0;
    auto out = list_handle(vol, d, &e);
    readfat_closedir(vol, d);
    if (end_err)
        *end_err = e;
    else
        EXPECT_EQ(e, DV_E_ENDDIR) << "listing of " << path;
    return out;
}

std::vector<std::u16string> names_of(const std::vector<Listed> &l, bool skip_dots) {
    std::vector<std::u16string> r;
    for (const Listed &x : l) {
        if (skip_dots && (x.name == u"." || x.name == u"..")) continue;
        r.push_back(x.name);
    }
    return r;
}

std::string read_handle(readfat_volume *vol, readfat_file *f, uint32_t chunk, int *err) {
    std::string out;
    AlignedBuffer buf(chunk);
    for (;;) {
        uint32_t n = readfat_read(vol, f, buf.data(), chunk, err);
        out.append(buf.chars(), n);
        if (n < chunk) break;
    }
    return out;
}

std::string read_file(readfat_volume *vol, const char *path, uint32_t chunk) {
    int err = 0;
    readfat_file *f = readfat_open(vol, path, &err);
    if (!f) {
        ADD_FAILURE() << "open(" << path << ") failed: " << err;
        return {};
    }
    int rerr = 0;
    std::string s = read_handle(vol, f, chunk, &rerr);
    EXPECT_EQ(rerr, 0) << "reading " << path;
    EXPECT_EQ(s.size(), readfat_size(vol, f)) << path;
    readfat_close(vol, f);
    return s;
}

} // namespace dvtest
