#include "support/exfat_builder.h"

#include "exfat/exfat_internal.h"
#include "support/tools.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace dvtest {

namespace {

void put16(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v), p[1] = uint8_t(v >> 8);
}
void put32(uint8_t *p, uint32_t v) {
    put16(p, v & 0xFFFF), put16(p + 2, v >> 16);
}
void put64(uint8_t *p, uint64_t v) {
    put32(p, uint32_t(v)), put32(p + 4, uint32_t(v >> 32));
}
uint32_t get32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

constexpr uint32_t kEnd = 0xFFFFFFFF;

} // namespace

ExfatStampBytes exfat_stamp(int year, int month, int day, int hour, int minute, int second,
                            int centis, int offset_minutes, bool with_offset) {
    ExfatStampBytes s;
    s.stamp = uint32_t(year - 1980) << 25 | uint32_t(month) << 21 | uint32_t(day) << 16 |
              uint32_t(hour) << 11 | uint32_t(minute) << 5 | uint32_t(second / 2);
    s.tenms = uint8_t(second % 2 * 100 + centis);
    s.utc_offset = with_offset ? uint8_t(0x80 | ((offset_minutes / 15) & 0x7F)) : 0;
    return s;
}

// ---- Image ---------------------------------------------------------------------------------

ExfatBuilder::ExfatBuilder(const std::string &path, uint64_t bytes, const std::string &mkfs_args)
    : path_(path) {
    const std::string mkfs = find_tool("mkfs.exfat");
    if (mkfs.empty()) {
        ADD_FAILURE() << "mkfs.exfat is not installed (check with DV_NEED_TOOLS first)";
        return;
    }
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, off_t(bytes)) != 0) {
        ADD_FAILURE() << "cannot make " << path;
        if (fd >= 0) close(fd);
        return;
    }
    close(fd);
    if (!run_logged(shell_quote(mkfs) + " " + mkfs_args + " " + shell_quote(path), path + ".log"))
        return;
    open_image();
}

ExfatBuilder::ExfatBuilder(const std::string &path) : path_(path) {
    open_image();
}

ExfatBuilder::~ExfatBuilder() {
    if (fd_ >= 0) close(fd_);
}

void ExfatBuilder::open_image() {
    fd_ = open(path_.c_str(), O_RDWR);
    if (fd_ < 0) {
        ADD_FAILURE() << "cannot open " << path_;
        return;
    }
    const std::vector<uint8_t> boot = read(0, 512);
    dorvex::ExfatBoot b{};
    if (dorvex::parse_exfat_boot(boot.data(), boot.size(), &b) != dorvex::ExfatCode::ok) {
        ADD_FAILURE() << path_ << ": not an exFAT boot sector";
        return;
    }
    sector_bytes_ = b.sector_size();
    cluster_bytes_ = b.cluster_size();
    cluster_count_ = b.cluster_count;
    root_cluster_ = b.root_cluster;
    fat_ = uint64_t(b.fat_offset) * sector_bytes_;
    volume_bytes_ = b.volume_length * sector_bytes_;
    const uint64_t heap = uint64_t(b.heap_offset) * sector_bytes_;

    // The bitmap and up-case entries sit in the root's first cluster (mkfs.exfat's layout).
    heap_ = heap;
    const std::vector<uint8_t> root = read(cluster_offset(root_cluster_), cluster_bytes_);
    dorvex::ExfatSet bitmap{}, upcase{};
    for (size_t i = 0, n = cluster_bytes_ / 32; i < n;) {
        dorvex::ExfatSet s{};
        dorvex::parse_exfat_set(root.data() + i * 32, n - i, nullptr, &s);
        if (s.kind == dorvex::ExfatSetKind::end) break;
        if (s.kind == dorvex::ExfatSetKind::bitmap) bitmap = s;
        if (s.kind == dorvex::ExfatSetKind::upcase) upcase = s;
        i += size_t(s.entries);
    }
    bitmap_at_ = cluster_offset(bitmap.first_cluster);
    bitmap_ = read(bitmap_at_, size_t(bitmap.data_length));
    const std::vector<uint8_t> table =
        read(cluster_offset(upcase.first_cluster), size_t(upcase.data_length));
    upcase_.assign(dorvex::kExfatUpcaseUnits, 0);
    if (dorvex::decode_exfat_upcase(table.data(), table.size(), upcase.table_checksum,
                                    upcase_.data(),
                                    dorvex::kExfatUpcaseUnits) != dorvex::ExfatCode::ok) {
        ADD_FAILURE() << path_ << ": the up-case table does not decode";
        heap_ = 0;
    }
}

void ExfatBuilder::write(uint64_t offset, const void *data, size_t n) {
    if (pwrite(fd_, data, n, off_t(offset)) != ssize_t(n)) ADD_FAILURE() << "write at " << offset;
}

std::vector<uint8_t> ExfatBuilder::read(uint64_t offset, size_t n) const {
    std::vector<uint8_t> v(n);
    if (pread(fd_, v.data(), n, off_t(offset)) != ssize_t(n)) ADD_FAILURE() << "read at " << offset;
    return v;
}

// ---- Clusters ------------------------------------------------------------------------------

bool ExfatBuilder::allocated(uint32_t c) const {
    return (bitmap_[(c - 2) / 8] >> ((c - 2) % 8)) & 1;
}

void ExfatBuilder::set_allocated(uint32_t c, bool used) {
    uint8_t &byte = bitmap_[(c - 2) / 8];
    const uint8_t bit = uint8_t(1u << ((c - 2) % 8));
    byte = used ? uint8_t(byte | bit) : uint8_t(byte & ~bit);
}

void ExfatBuilder::flush_bitmap() {
    write(bitmap_at_, bitmap_.data(), bitmap_.size());
}

uint32_t ExfatBuilder::fat(uint32_t c) const {
    return get32(read(fat_ + uint64_t(c) * 4, 4).data());
}

void ExfatBuilder::set_fat(uint32_t c, uint32_t next) {
    uint8_t b[4];
    put32(b, next);
    write(fat_ + uint64_t(c) * 4, b, 4);
}

void ExfatBuilder::link(const std::vector<uint32_t> &clusters) {
    for (size_t i = 0; i < clusters.size(); ++i)
        set_fat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : kEnd);
}

uint32_t ExfatBuilder::alloc_run(uint32_t n) {
    for (uint32_t c = 2, run = 0; c < cluster_count_ + 2; ++c) {
        run = allocated(c) ? 0 : run + 1;
        if (run < n) continue;
        for (uint32_t k = c + 1 - n; k <= c; ++k) set_allocated(k, true);
        flush_bitmap();
        return c + 1 - n;
    }
    return 0;
}

uint32_t ExfatBuilder::alloc_one(uint32_t from) {
    for (uint32_t c = from; c < cluster_count_ + 2; ++c)
        if (!allocated(c)) {
            set_allocated(c, true);
            flush_bitmap();
            return c;
        }
    return 0;
}

// ---- Entries -------------------------------------------------------------------------------

ExfatDir ExfatBuilder::root() {
    ExfatDir d;
    for (uint32_t c = root_cluster_; c >= 2 && c < cluster_count_ + 2 && d.clusters.size() < 4096;
         c = fat(c))
        d.clusters.push_back(c);
    for (;; ++d.used) {
        const size_t per = cluster_bytes_ / 32;
        if (d.used >= d.clusters.size() * per) break;
        const uint64_t at = cluster_offset(d.clusters[d.used / per]) + d.used % per * 32;
        if (read(at, 1)[0] == 0) break;
    }
    return d;
}

void ExfatBuilder::grow(ExfatDir &dir) {
    const uint32_t last = dir.clusters.back();
    uint32_t next =
        last + 1 < cluster_count_ + 2 && !allocated(last + 1) ? alloc_one(last + 1) : alloc_one();
    ASSERT_NE(next, 0u) << "the volume is full";
    const std::vector<uint8_t> zeros(cluster_bytes_);
    write(cluster_offset(next), zeros.data(), zeros.size());
    if (dir.contiguous && next != last + 1) {
        dir.contiguous = false;
        link(dir.clusters);
    }
    dir.clusters.push_back(next);
    if (!dir.contiguous) link(dir.clusters);
    if (!dir.set.empty()) {
        const uint64_t bytes = uint64_t(dir.clusters.size()) * cluster_bytes_;
        set_stream(dir.set, bytes, bytes, dir.clusters[0], dir.contiguous);
    }
}

ExfatSetAt ExfatBuilder::add_set(ExfatDir &dir, const ExfatSetPlan &plan) {
    const size_t len = plan.name.size();
    const uint32_t names = uint32_t((len + 14) / 15), count = 2 + names;
    const size_t per = cluster_bytes_ / 32;
    while (dir.used + count > dir.clusters.size() * per) grow(dir);

    std::vector<uint8_t> set(count * 32, 0);
    const uint8_t live = plan.in_use ? 0x80 : 0;
    uint8_t *f = set.data(), *s = f + 32;
    f[0] = uint8_t(0x05 | live);
    f[1] = uint8_t(count - 1);
    put16(f + 4, plan.attributes);
    put32(f + 8, plan.create.stamp);
    put32(f + 12, plan.modify.stamp);
    put32(f + 16, plan.access.stamp);
    f[20] = plan.create.tenms, f[21] = plan.modify.tenms;
    f[22] = plan.create.utc_offset, f[23] = plan.modify.utc_offset, f[24] = plan.access.utc_offset;
    s[0] = uint8_t(0x40 | live);
    // An empty file has no clusters to lie contiguously: drivers leave NoFatChain clear.
    s[1] = uint8_t(0x01 | (plan.contiguous && plan.data_length ? 0x02 : 0));
    s[3] = uint8_t(len);
    const dorvex::ExfatUpcase up{upcase_.data(), uint32_t(upcase_.size())};
    put16(s + 4,
          dorvex::exfat_name_hash(reinterpret_cast<const uint16_t *>(plan.name.data()), len, up));
    put64(s + 8, plan.valid_length);
    put32(s + 20, plan.first_cluster);
    put64(s + 24, plan.data_length);
    for (uint32_t k = 0; k < names; ++k) {
        uint8_t *n = s + 32 * (k + 1);
        n[0] = uint8_t(0x41 | live);
        for (size_t u = 0; u < 15 && k * 15 + u < len; ++u)
            put16(n + 2 + 2 * u, plan.name[k * 15 + u]);
    }
    put16(f + 2, dorvex::exfat_set_checksum(set.data(), count, true));

    ExfatSetAt at;
    for (uint32_t i = 0; i < count; ++i, ++dir.used) {
        at.push_back(cluster_offset(dir.clusters[dir.used / per]) + dir.used % per * 32);
        write(at.back(), set.data() + 32 * i, 32);
    }

    if (plan.in_use && plan.first_cluster >= 2 && plan.data_length > 0) {
        const uint64_t n = (plan.data_length + cluster_bytes_ - 1) / cluster_bytes_;
        if (plan.contiguous) {
            for (uint64_t k = 0; k < n; ++k) set_allocated(uint32_t(plan.first_cluster + k), true);
        } else {
            uint32_t c = plan.first_cluster;
            for (uint64_t k = 0; k < n && c >= 2 && c < cluster_count_ + 2; ++k, c = fat(c))
                set_allocated(c, true);
        }
        flush_bitmap();
    }
    return at;
}

ExfatDir ExfatBuilder::add_dir(ExfatDir &parent, const std::u16string &name, uint32_t clusters,
                               bool contiguous, ExfatStampBytes when) {
    ExfatDir d;
    d.contiguous = contiguous;
    if (contiguous) {
        const uint32_t first = alloc_run(clusters);
        for (uint32_t k = 0; k < clusters; ++k) d.clusters.push_back(first + k);
    } else {
        for (uint32_t k = 0, c = 2; k < clusters; ++k) {
            c = alloc_one(c);
            d.clusters.push_back(c);
            c += 2;
        }
        link(d.clusters);
    }
    const std::vector<uint8_t> zeros(cluster_bytes_);
    for (uint32_t c : d.clusters) write(cluster_offset(c), zeros.data(), zeros.size());
    ExfatSetPlan plan;
    plan.name = name;
    plan.attributes = 0x10;
    plan.create = plan.modify = plan.access = when;
    plan.first_cluster = d.clusters[0];
    plan.valid_length = plan.data_length = uint64_t(clusters) * cluster_bytes_;
    plan.contiguous = contiguous;
    d.set = add_set(parent, plan);
    return d;
}

void ExfatBuilder::set_stream(const ExfatSetAt &set, uint64_t valid_length, uint64_t data_length,
                              uint32_t first_cluster, bool contiguous) {
    std::vector<uint8_t> s = read(set[1], 32);
    s[1] = uint8_t((s[1] & ~0x02) | (contiguous ? 0x02 : 0));
    put64(s.data() + 8, valid_length);
    put32(s.data() + 20, first_cluster);
    put64(s.data() + 24, data_length);
    write(set[1], s.data(), 32);
    write_set_checksum(set);
}

void ExfatBuilder::write_set_checksum(const ExfatSetAt &set) {
    std::vector<uint8_t> bytes;
    for (uint64_t at : set) {
        const std::vector<uint8_t> e = read(at, 32);
        bytes.insert(bytes.end(), e.begin(), e.end());
    }
    uint8_t sum[2];
    put16(sum, dorvex::exfat_set_checksum(bytes.data(), set.size(), true));
    write(set[0] + 2, sum, 2);
}

// ---- Mounting ------------------------------------------------------------------------------

uint32_t exfat_test_flags() {
    return DV_CHARSET_UTF8 | DV_FLAG_UTF16 | DV_FLAG_SLASH;
}

FileVolume::FileVolume(const std::string &path, uint64_t start, uint64_t end, uint32_t flags,
                       uint32_t max_files, uint32_t max_dirs) {
    fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        ADD_FAILURE() << "cannot open " << path;
        return;
    }
    // Up to a 32 MiB cluster per request; the audit still keeps every request in the volume.
    rd = std::make_unique<FaultReader>(none, start, end, 65536);
    const int f = fd;
    rd->synth = [f](uint64_t s, uint8_t *buf) {
        if (pread(f, buf, 512, off_t(s * 512)) != 512) std::memset(buf, 0, 512);
    };
    vol = readfat_new2(start, end, 512, rd.get(), FaultReader::cb, flags, max_files, max_dirs, &err,
                       &alloc, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
}

FileVolume::~FileVolume() {
    readfat_delete(vol);
    if (fd >= 0) close(fd);
}

} // namespace dvtest
