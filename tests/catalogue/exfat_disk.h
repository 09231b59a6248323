// A small exFAT volume for damage tests: formatted by mkfs.exfat (2 MiB, 4 KiB clusters, the
// FAT and the heap packed right after the boot regions), then filled in memory entry set by
// entry set, so that a test can break any one byte afterwards and reseal the checksums
// around it. Header-only: the catalogue, the damage sweep and the seed writer share it.
#pragma once

#include "common/bytes.h"
#include "exfat/exfat_internal.h"
#include "support/fault_reader.h"
#include "support/tools.h"
#include "support/tracking_alloc.h"

#include <dorvex/readfat.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace dvtest {

class ExfatDisk {
  public:
    // A fresh image from mkfs.exfat (made once per process), or empty when the tool is
    // missing or fails.
    static const std::vector<uint8_t> &formatted() {
        static const std::vector<uint8_t> image = [] {
            const std::string mkfs = find_tool("mkfs.exfat");
            if (mkfs.empty()) return std::vector<uint8_t>{};
            const std::string path = scratch_dir("exfat-disk") + "/v.img";
            const std::string cmd = "truncate -s 2M " + shell_quote(path) + " && " + mkfs +
                                    " -b 4K -c 4K " + shell_quote(path) + " >/dev/null 2>&1";
            if (std::system(cmd.c_str()) != 0) return std::vector<uint8_t>{};
            return read_whole(path);
        }();
        return image;
    }

    ExfatDisk() : bytes(formatted()) {
        if (bytes.size() < 24 * 512 ||
            dorvex::parse_exfat_boot(bytes.data(), 512, &boot) != dorvex::ExfatCode::ok) {
            bytes.clear();
            return;
        }
        upcase.resize(dorvex::kExfatUpcaseUnits);
        const uint8_t *root = cluster(boot.root_cluster);
        const size_t n = cluster_bytes() / dorvex::kExfatEntrySize;
        size_t i = 0;
        while (i < n) {
            dorvex::ExfatSet s{};
            dorvex::parse_exfat_set(root + i * 32, n - i, nullptr, &s);
            if (s.kind == dorvex::ExfatSetKind::end) break;
            if (s.kind == dorvex::ExfatSetKind::bitmap)
                bitmap_entry = entry_offset(boot.root_cluster, i);
            if (s.kind == dorvex::ExfatSetKind::upcase) {
                upcase_entry = entry_offset(boot.root_cluster, i);
                dorvex::decode_exfat_upcase(cluster(s.first_cluster), size_t(s.data_length),
                                            s.table_checksum, upcase.data(),
                                            dorvex::kExfatUpcaseUnits);
            }
            i += size_t(s.entries);
        }
        next_slot_[boot.root_cluster] = i;
    }

    bool ok() const { return !bytes.empty(); }
    uint64_t sectors() const { return boot.volume_length; }
    uint32_t spc() const { return 1u << boot.cluster_shift; }
    uint32_t cluster_bytes() const { return boot.cluster_size(); }
    uint8_t *sector(uint64_t s) { return bytes.data() + s * 512; }
    uint64_t cluster_offset(uint32_t c) const {
        return (uint64_t(boot.heap_offset) + (uint64_t(c - 2) << boot.cluster_shift)) * 512;
    }
    uint8_t *cluster(uint32_t c) { return bytes.data() + cluster_offset(c); }
    size_t entry_offset(uint32_t dir, size_t i) const { return cluster_offset(dir) + i * 32; }
    uint8_t *at(size_t offset) { return bytes.data() + offset; }
    uint64_t fat_offset() const { return uint64_t(boot.fat_offset) * 512; }

    void set_fat(uint32_t c, uint32_t v) { dorvex::store_le32(at(fat_offset() + c * 4u), v); }
    bool used(uint32_t c) {
        const uint32_t bit = c - 2;
        return (bitmap()[bit / 8] >> (bit % 8)) & 1;
    }
    void set_used(uint32_t c) { bitmap()[(c - 2) / 8] |= uint8_t(1u << ((c - 2) % 8)); }

    // `n` clusters marked in use, the lowest free ones: consecutive, or every other free one
    // (`gapped`, leaving holes that later files fill).
    std::vector<uint32_t> alloc(uint32_t n, bool gapped = false) {
        std::vector<uint32_t> chain;
        for (uint32_t c = 2; chain.size() < n;) {
            if (c >= boot.cluster_count + 2) std::abort(); // the volume is full
            if (used(c)) {
                if (!gapped) chain.clear();
                ++c;
                continue;
            }
            chain.push_back(c);
            c += gapped ? 2 : 1;
        }
        for (uint32_t c : chain) set_used(c);
        return chain;
    }

    struct Placed {
        size_t set;  // byte offset of the File entry
        size_t size; // entries in the set
        std::vector<uint32_t> chain;
    };

    // Appends a File set to the one-cluster directory at `dir`: a file holding `data` (or,
    // with `is_dir`, an empty one-cluster directory), contiguous (NoFatChain) unless
    // `fat_chain`, whose clusters are then gapped and linked in the FAT.
    Placed add(uint32_t dir, const std::u16string &name, const std::string &data,
               bool is_dir = false, bool fat_chain = false) {
        Placed p;
        const uint64_t length = is_dir ? cluster_bytes() : data.size();
        const uint32_t clusters = uint32_t((length + cluster_bytes() - 1) / cluster_bytes());
        p.chain = alloc(clusters, fat_chain);
        for (size_t k = 0; k < p.chain.size(); ++k) {
            if (fat_chain) set_fat(p.chain[k], k + 1 < p.chain.size() ? p.chain[k + 1] : ~0u);
            const size_t from = k * cluster_bytes();
            if (from < data.size())
                data.copy(reinterpret_cast<char *>(cluster(p.chain[k])), cluster_bytes(), from);
        }
        const int names = int((name.size() + 14) / 15);
        p.size = size_t(2 + names);
        size_t &slot = next_slot_[dir];
        if ((slot + p.size) * 32 > cluster_bytes()) std::abort(); // directories are one cluster
        p.set = entry_offset(dir, slot);
        slot += p.size;
        uint8_t *e = at(p.set);
        e[0] = 0x85;
        e[1] = uint8_t(1 + names);
        dorvex::store_le16(e + 4, is_dir ? DV_ATTR_DIRECTORY : DV_ATTR_ARCHIVE);
        const uint32_t stamp = ((2024u - 1980) << 25 | 5u << 21 | 1u << 16) | 9u << 11;
        for (int t = 0; t < 3; ++t) dorvex::store_le32(e + 8 + 4 * t, stamp);
        uint8_t *s = e + 32;
        s[0] = 0xC0;
        s[1] = fat_chain || p.chain.empty() ? 0x01 : 0x03;
        s[3] = uint8_t(name.size());
        const dorvex::ExfatUpcase up{upcase.data(), dorvex::kExfatUpcaseUnits};
        dorvex::store_le16(s + 4,
                           dorvex::exfat_name_hash(reinterpret_cast<const uint16_t *>(name.data()),
                                                   name.size(), up));
        set_lengths(s, length, length);
        dorvex::store_le32(s + 20, p.chain.empty() ? 0 : p.chain[0]);
        for (int k = 0; k < names; ++k) {
            uint8_t *n = e + 64 + 32 * k;
            n[0] = 0xC1;
            for (size_t u = 0; u < 15 && 15 * size_t(k) + u < name.size(); ++u)
                dorvex::store_le16(n + 2 + 2 * u, name[15 * size_t(k) + u]);
        }
        reseal_set(p);
        return p;
    }

    // ValidDataLength and DataLength of the stream entry at `s`.
    static void set_lengths(uint8_t *s, uint64_t valid, uint64_t data) {
        dorvex::store_le32(s + 8, uint32_t(valid));
        dorvex::store_le32(s + 12, uint32_t(valid >> 32));
        dorvex::store_le32(s + 24, uint32_t(data));
        dorvex::store_le32(s + 28, uint32_t(data >> 32));
    }

    void reseal_set(const Placed &p) { reseal_set(p.set, p.size); }
    void reseal_set(size_t set, size_t entries) {
        dorvex::store_le16(at(set) + 2, dorvex::exfat_set_checksum(at(set), entries, false));
    }

    // Recomputes the checksum sector of both boot regions.
    void reseal_boot() {
        for (uint64_t first : {0u, 12u}) {
            const uint32_t sum = dorvex::exfat_boot_checksum(sector(first), 512);
            for (int k = 0; k < 128; ++k) dorvex::store_le32(sector(first + 11) + 4 * k, sum);
        }
    }
    // Patches a boot sector field in both regions and reseals them.
    void set_boot8(size_t off, uint8_t v) {
        sector(0)[off] = sector(12)[off] = v;
        reseal_boot();
    }
    void set_boot32(size_t off, uint32_t v) {
        dorvex::store_le32(sector(0) + off, v);
        dorvex::store_le32(sector(12) + off, v);
        reseal_boot();
    }

    std::vector<uint8_t> bytes;
    dorvex::ExfatBoot boot{};
    std::vector<uint16_t> upcase;
    size_t bitmap_entry = 0, upcase_entry = 0; // byte offsets of the root's entries

  private:
    uint8_t *bitmap() { return cluster(dorvex::load_le32(at(bitmap_entry) + 20)); }
    std::map<uint32_t, size_t> next_slot_;
};

// Mounts a volume over an ExfatDisk as Mounted mounts a FatImage: the whole image is the
// volume, every allocation is checked to be returned.
struct ExfatMounted {
    ExfatMounted(ExfatDisk &d, FaultReader &rd, uint32_t flags, uint32_t files = 4,
                 uint32_t dirs = 4) {
        vol = readfat_new2(0, d.sectors(), 512, &rd, FaultReader::cb, flags, files, dirs, &err,
                           &alloc, TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
    }
    ~ExfatMounted() {
        if (vol) readfat_delete(vol);
    }
    ExfatMounted(const ExfatMounted &) = delete;
    ExfatMounted &operator=(const ExfatMounted &) = delete;
    TrackingAlloc alloc; // declared first: destroyed after the volume is released
    readfat_volume *vol = nullptr;
    int err = 0;
};

} // namespace dvtest
