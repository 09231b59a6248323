// The exFAT fixture images (made by mkfs.exfat and filled through exfat-fuse) read through
// the library and compared, entry by entry, with what The Sleuth Kit (fls, fsstat), the
// rawdump of every entry set and the driver's manifest say they hold: listings, sizes,
// stamps, contents, cluster runs, deleted files and the volume record.
#include "oracle.h"

#include "support/exfat_builder.h"
#include "support/fat_image.h"
#include "support/tools.h"
#include "support/volume_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace dvtest;

const std::string kFixtures = std::string(DORVEX_SOURCE_DIR) + "/tests/fixtures/exfat/";
const char *const kImages[] = {"camera", "fragmented", "deleted", "bigdir", "times", "vdl"};

// Unpacks NAME.img.xz once per run; "" (and a skip or, under CI, a failure) without xz.
std::string unpacked(const std::string &name) {
    static std::map<std::string, std::string> done;
    static const std::string dir = scratch_dir("dorvex-exfat-fixtures");
    auto it = done.find(name);
    if (it != done.end()) return it->second;
    const std::string img = dir + "/" + name + ".img";
    if (!run_logged("xz -dc " + shell_quote(kFixtures + name + ".img.xz") + " > " +
                        shell_quote(img),
                    img + ".log"))
        return "";
    return done[name] = img;
}

struct Seen {
    std::string path;
    dv_entry e;
};

// Lists the whole tree from `dir` (null: the root) depth first; directories are opened from
// their records, so deleted ones are read by the recovery rules.
void walk(readfat_volume *vol, const dv_entry *dir, const std::string &prefix,
          std::vector<Seen> &out, std::string *label) {
    int err = 0;
    readfat_dir *d = dir ? readfat_opendir_entry(vol, dir, &err) : readfat_opendir(vol, "/", &err);
    ASSERT_NE(d, nullptr) << prefix << ": " << err;
    std::vector<Seen> subdirs;
    for (const dv_entry *e; (e = readfat_readdir(vol, d, &err)) != nullptr;) {
        readfat_where w{}; // entry sets have no 8.3 slot
        int where_err = 0;
        EXPECT_EQ(readfat_entry_where(vol, d, &w, &where_err), -1);
        EXPECT_EQ(where_err, ENOTSUP);
        if (e->attr & DV_ATTR_VOLUME) {
            EXPECT_EQ(dir, nullptr) << "a label outside the root, in " << prefix;
            if (label) *label = to_utf8(e->name);
            continue;
        }
        out.push_back({prefix + "/" + to_utf8(e->name), *e});
        if (e->attr & DV_ATTR_DIRECTORY) subdirs.push_back(out.back());
    }
    EXPECT_EQ(err, DV_E_ENDDIR) << prefix;
    readfat_closedir(vol, d);
    for (const Seen &s : subdirs) walk(vol, &s.e, s.path, out, nullptr);
}

std::string contents(readfat_volume *vol, const dv_entry &e, int *damaged = nullptr) {
    int err = 0;
    readfat_file *f = readfat_open_entry(vol, &e, &err);
    EXPECT_NE(f, nullptr) << err;
    if (!f) return "";
    err = 0;
    const std::string data = read_handle(vol, f, 65536, &err);
    EXPECT_EQ(err, 0) << to_utf8(e.name);
    if (damaged) *damaged = f->damaged;
    readfat_close(vol, f);
    return data;
}

// The cluster runs the library reports, adjacent ones merged.
std::vector<std::pair<uint32_t, uint32_t>> runs_of(readfat_volume *vol, const dv_entry &e) {
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    readfat_extent ext[64];
    uint32_t count = 0;
    int err = 0;
    EXPECT_EQ(readfat_extents(vol, &e, ext, 64, &count, &err), 0) << to_utf8(e.name) << ": " << err;
    for (uint32_t i = 0; i < count && i < 64; ++i) {
        if (!runs.empty() && runs.back().first + runs.back().second == ext[i].cluster)
            runs.back().second += ext[i].clusters;
        else
            runs.emplace_back(ext[i].cluster, ext[i].clusters);
    }
    return runs;
}

bool tsk_virtual(const BodyLine &b) {
    return b.path.find("/$") == 0 || b.path.find("(Volume Label Entry)") != std::string::npos;
}

class ExfatFixture : public testing::TestWithParam<const char *> {
  protected:
    void SetUp() override {
        DV_NEED_TOOLS("xz");
        name_ = GetParam();
        img_ = unpacked(name_);
        ASSERT_FALSE(img_.empty());
        raw_ = parse_rawdump(kFixtures + name_ + ".raw.txt");
        body_ = parse_body(kFixtures + name_ + ".fls.body");
        manifest_ = parse_manifest(kFixtures + name_ + ".manifest.json");
        sectors_ = std::filesystem::file_size(img_) / 512;
    }
    std::unique_ptr<FileVolume> mount(uint32_t flags) {
        auto v = std::make_unique<FileVolume>(img_, 0, sectors_, flags, 4, 8);
        EXPECT_TRUE(v->ok()) << name_ << ": " << v->err;
        if (v->ok()) {
            EXPECT_EQ(v->vol->fat_type, uint32_t(DV_FAT_EXFAT));
        }
        return v;
    }
    std::string name_, img_;
    RawDump raw_;
    std::vector<BodyLine> body_;
    Manifest manifest_;
    uint64_t sectors_ = 0;
};

// Every live entry set: attributes, lengths, flags, first cluster, stamps (10 ms and UTC
// offset applied), cluster runs; every file's bytes.
TEST_P(ExfatFixture, LiveTreeMatchesRawdumpAndManifest) {
    auto vol = mount(exfat_test_flags());
    ASSERT_TRUE(vol->ok());
    std::vector<Seen> seen;
    std::string label;
    walk(*vol, nullptr, "", seen, &label);
    EXPECT_EQ(label, raw_.label);
    std::map<std::string, const dv_entry *> by_path;
    for (const Seen &s : seen) {
        EXPECT_FALSE(s.e.deleted) << s.path;
        EXPECT_TRUE(by_path.emplace(s.path, &s.e).second) << "listed twice: " << s.path;
    }
    size_t live = 0;
    for (const RawSet &r : raw_.sets) {
        if (!r.live) continue;
        ++live;
        SCOPED_TRACE(r.path);
        const auto it = by_path.find(r.path);
        ASSERT_NE(it, by_path.end()) << "not listed";
        const dv_entry &e = *it->second;
        EXPECT_EQ(e.attr, r.attrs);
        EXPECT_EQ(e.size64, r.size);
        EXPECT_EQ(e.size, uint32_t(r.size));
        EXPECT_EQ(e.valid64, r.valid);
        EXPECT_EQ(e.stream_flags & DV_STREAM_CONTIGUOUS, r.flags & DV_STREAM_CONTIGUOUS);
        EXPECT_EQ(e.cluster, r.first);
        EXPECT_EQ(e.shortname[0], '\0');
        EXPECT_EQ(e.ctime64, r.created.expected());
        EXPECT_EQ(e.mtime64, r.modified.expected());
        EXPECT_EQ(e.atime64, r.accessed.expected());
        EXPECT_EQ(e.ctime.nsec, r.created.ms % 1000 * 1000000);
        EXPECT_EQ(e.mtime.nsec, r.modified.ms % 1000 * 1000000);
        EXPECT_EQ(e.utc_offset[1] & 0x80, r.modified.utc ? 0x80 : 0);
        if (r.size) {
            EXPECT_EQ(runs_of(*vol, e), r.runs);
        }
    }
    EXPECT_EQ(seen.size(), live) << "listed entries the rawdump does not hold";

    for (const ManifestEntry &m : manifest_.entries) {
        SCOPED_TRACE(m.path);
        const auto it = by_path.find(m.path);
        ASSERT_NE(it, by_path.end()) << "not listed";
        EXPECT_EQ(m.type == "dir", (it->second->attr & DV_ATTR_DIRECTORY) != 0);
        // The driver clamped newyork_epoch_1980.txt's local time to 1980 as it wrote it,
        // storing 05:00 UTC; its manifest kept the 00:00 UTC it was given.
        const bool clamped = name_ == "times" && m.path == "/newyork_epoch_1980.txt";
        if (m.mtime >= 0 && !clamped) {
            EXPECT_EQ(it->second->mtime64, int64_t(m.mtime));
        }
        if (m.type != "file") continue;
        EXPECT_EQ(it->second->size64, m.size);
        EXPECT_EQ(sha256_hex(contents(*vol, *it->second)), m.sha256);
    }
    EXPECT_EQ(vol->rd->bad_requests(), 0u);
}

// The Sleuth Kit reads the stamps as stored: it drops the 10-ms field (odd seconds read one
// early) and the UTC offset, and gives 0 past 2038. The library's times are those plus the
// odd second, less the offset.
TEST_P(ExfatFixture, LiveTreeMatchesTheSleuthKit) {
    auto vol = mount(exfat_test_flags());
    ASSERT_TRUE(vol->ok());
    std::vector<Seen> seen;
    walk(*vol, nullptr, "", seen, nullptr);
    std::map<std::string, const dv_entry *> by_path;
    for (const Seen &s : seen) by_path.emplace(s.path, &s.e);
    std::map<std::string, const RawSet *> raw;
    for (const RawSet &r : raw_.sets)
        if (r.live) raw.emplace(r.path, &r);
    size_t live = 0;
    for (const BodyLine &b : body_) {
        if (b.deleted || tsk_virtual(b)) continue;
        ++live;
        SCOPED_TRACE(b.path);
        const auto it = by_path.find(b.path);
        ASSERT_NE(it, by_path.end()) << "not listed";
        const dv_entry &e = *it->second;
        EXPECT_EQ(b.dir, (e.attr & DV_ATTR_DIRECTORY) != 0);
        EXPECT_EQ(e.size64, b.size);
        const RawSet &r = *raw.at(b.path);
        const auto tsk = [](const RawStamp &s, int64_t t) {
            return t + s.ms / 1000 - (s.utc ? s.offset_min * 60 : 0);
        };
        if (b.mtime) {
            EXPECT_EQ(e.mtime64, tsk(r.modified, b.mtime));
        }
        if (b.atime) {
            EXPECT_EQ(e.atime64, tsk(r.accessed, b.atime));
        }
        if (b.crtime) {
            EXPECT_EQ(e.ctime64, tsk(r.created, b.crtime));
        }
    }
    EXPECT_EQ(seen.size(), live);
}

// With DV_FLAG_DELETED: the deleted sets fls lists come back deleted, and recover with the
// manifest's bytes unless their clusters went to another file (damaged then).
TEST_P(ExfatFixture, DeletedEntriesListAndRecover) {
    auto vol = mount(exfat_test_flags() | DV_FLAG_DELETED);
    ASSERT_TRUE(vol->ok());
    std::vector<Seen> seen;
    walk(*vol, nullptr, "", seen, nullptr);
    std::set<std::string> got, want_raw, want_tsk;
    std::map<std::string, const dv_entry *> by_path;
    for (const Seen &s : seen)
        if (s.e.deleted) got.insert(s.path), by_path.emplace(s.path, &s.e);
    std::map<std::string, const RawSet *> raw;
    for (const RawSet &r : raw_.sets)
        if (!r.live) want_raw.insert(r.path), raw.emplace(r.path, &r);
    for (const BodyLine &b : body_)
        if (b.deleted) want_tsk.insert(b.path);
    EXPECT_EQ(got, want_raw);
    EXPECT_EQ(got, want_tsk);

    std::map<std::string, const ManifestEntry *> before;
    for (const ManifestEntry &m : manifest_.deleted) before.emplace(m.path, &m);
    for (const auto &[path, e] : by_path) {
        SCOPED_TRACE(path);
        const auto r = raw.find(path);
        if (r != raw.end()) {
            EXPECT_EQ(e->size64, r->second->size);
            EXPECT_EQ(e->cluster, r->second->first);
        }
        if (e->attr & DV_ATTR_DIRECTORY) continue;
        int damaged = -1;
        const std::string data = contents(*vol, *e, &damaged);
        EXPECT_EQ(data.size(), e->size64);
        // fragmented: small_last.txt and big_into_holes.bin took inter_2/4.bin's clusters.
        const bool overwritten = path == "/inter_2.bin" || path == "/inter_4.bin";
        EXPECT_EQ(damaged, overwritten ? 1 : 0);
        const auto m = before.find(path);
        if (m == before.end()) continue;
        if (overwritten) {
            EXPECT_NE(sha256_hex(data), m->second->sha256);
        } else {
            EXPECT_EQ(sha256_hex(data), m->second->sha256);
        }
        if (r != raw.end()) {
            EXPECT_EQ(runs_of(*vol, *e), r->second->runs);
        }
    }
    // Live entries are listed as without the flag.
    size_t live = 0;
    for (const RawSet &r : raw_.sets) live += r.live;
    EXPECT_EQ(seen.size() - got.size(), live);
}

// readfat_info against fsstat (sector numbers in logical sectors, as both count them).
TEST_P(ExfatFixture, VolumeRecordMatchesFsstat) {
    auto vol = mount(exfat_test_flags());
    ASSERT_TRUE(vol->ok());
    readfat_volinfo info{};
    ASSERT_EQ(readfat_info(*vol, &info), 0);
    const auto f = parse_fields(kFixtures + name_ + ".fsstat.txt");
    const auto range = [&](const char *key, uint64_t *a, uint64_t *b) {
        const auto it = f.find(key);
        ASSERT_NE(it, f.end()) << key;
        unsigned long long x = 0, y = 0;
        ASSERT_EQ(sscanf(it->second.c_str(), "%llu - %llu", &x, &y), 2) << key;
        *a = x, *b = y;
    };
    EXPECT_EQ(info.fat_type, uint32_t(DV_FAT_EXFAT));
    EXPECT_EQ(info.bytes_per_sector, std::stoul(f.at("Sector Size")));
    EXPECT_EQ(info.cluster_bytes, std::stoul(f.at("Cluster Size")));
    EXPECT_EQ(info.sectors_per_cluster, info.cluster_bytes / info.bytes_per_sector);
    std::string serial = f.at("Volume Serial Number");
    serial.erase(serial.find('-'), 1);
    EXPECT_EQ(info.volume_id, std::stoul(serial, nullptr, 16));
    EXPECT_EQ(info.fs_revision, 0x0100u) << f.at("File System Revision");
    EXPECT_EQ(info.fat_count, std::stoul(f.at("Number of FATs")));
    EXPECT_EQ(info.partition_offset, std::stoull(f.at("Partition Offset")));
    uint64_t a = 0, b = 0;
    range("Range", &a, &b);
    EXPECT_EQ(info.total_sectors, b + 1);
    range("* FAT 1", &a, &b);
    EXPECT_EQ(info.first_fat_sector, a);
    EXPECT_EQ(info.fat_sectors, b - a + 1);
    range("** Cluster Heap", &a, &b);
    EXPECT_EQ(info.first_data_sector, a);
    range("*** Root Directory", &a, &b);
    EXPECT_EQ(info.root_cluster, (a - info.first_data_sector) / info.sectors_per_cluster + 2);
    EXPECT_EQ(info.root_cluster, raw_.root);
    range("Cluster Range", &a, &b);
    EXPECT_EQ(info.cluster_count, b - a + 1);
    EXPECT_EQ(info.cluster_count, raw_.clusters);
    EXPECT_EQ(info.notes, 0u);
    for (const BodyLine &l : body_) {
        if (l.path == "/$ALLOC_BITMAP") {
            EXPECT_EQ(info.bitmap_bytes, l.size);
        }
        if (l.path == "/$UPCASE_TABLE") {
            EXPECT_EQ(info.upcase_bytes, l.size);
        }
    }
    EXPECT_NE(info.bitmap_cluster, 0u);
    EXPECT_NE(info.upcase_cluster, 0u);
    EXPECT_TRUE(info.percent_in_use <= 100 || info.percent_in_use == 0xFF);
}

INSTANTIATE_TEST_SUITE_P(Images, ExfatFixture, testing::ValuesIn(kImages),
                         [](const testing::TestParamInfo<const char *> &i) { return i.param; });

// Names match through the volume's up-case table, Latin or not.
TEST(ExfatFixtureNames, LookupIsCaseInsensitive) {
    DV_NEED_TOOLS("xz");
    struct Probe {
        const char *image, *path, *listed;
    };
    const Probe probes[] = {
        {"camera", "/dcim/100canon/img_0001.jpg", "/DCIM/100CANON/IMG_0001.JPG"},
        {"camera", "/Dcim/100CANON/Img_0020.Jpg", "/DCIM/100CANON/IMG_0020.JPG"},
        {"camera", "/misc/autprint.mrk", "/MISC/AUTPRINT.MRK"},
        {"bigdir", "/MANY/üNÏCÖDÉ_名前_0002_XX", "/many/Ünïcödé_名前_0002_xx"},
        {"bigdir", "/Many/ZZ_LAST_WITH_DATA.BIN", "/many/zz_last_with_data.bin"},
        {"bigdir", "/CHAINED", "/chained"},
    };
    for (const Probe &p : probes) {
        SCOPED_TRACE(p.path);
        const std::string img = unpacked(p.image);
        ASSERT_FALSE(img.empty());
        FileVolume vol(img, 0, std::filesystem::file_size(img) / 512, exfat_test_flags());
        ASSERT_TRUE(vol.ok()) << vol.err;
        dv_entry got{}, want{};
        ASSERT_EQ(readfat_stat(vol, p.listed, &want), 0);
        ASSERT_EQ(readfat_stat(vol, p.path, &got), 0);
        EXPECT_EQ(to_utf8(got.name), to_utf8(want.name));
        EXPECT_EQ(got.cluster, want.cluster);
        EXPECT_EQ(readfat_stat(vol, "/dcim/100canon/img_0001.jp", &got), ENOENT);
    }
}

} // namespace
