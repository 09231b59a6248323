// A path lookup passes over entries whose name cannot match without decoding them. It must
// still find exactly what a listing of the same directory finds first under that name (the
// same record), fail where the listing finds nothing (ENOENT at the directory's end, the
// listing's own code where a damaged run ended it), and read the medium exactly
// as the listing does up to that point. Checked on seeded directories full of near-miss
// names, 8.3 entries, damaged and deleted runs, runs without a terminator, across cluster
// boundaries, in strict and lenient contexts.
#include "support/volume_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>

using namespace dvtest;

namespace {

const uint32_t kBase = DV_CHARSET_UTF8 | DV_FLAG_UTF16 | DV_FLAG_SLASH;

std::u16string random_name(std::mt19937 &rng, size_t max_len) {
    static const char16_t alphabet[] = u"abé.ж ";
    std::u16string s(1 + rng() % max_len, u'a');
    for (auto &c : s) c = alphabet[rng() % 6];
    return s;
}

// With NUL bytes (they end the name) and a leading 0x05 (an ordinary byte to the codec).
std::string random_short(std::mt19937 &rng) {
    static const char alphabet[] = {'A', 'B', ' ', '\xE9', '~', '1', '\0', 'A'};
    std::string s(11, ' ');
    for (auto &c : s) c = alphabet[rng() % 8];
    s[0] = "AB\x05"[rng() % 3];
    return s;
}

// Near misses of one another: few letters, many shared prefixes and lengths.
DirEntries random_dir(std::mt19937 &rng, size_t n) {
    DirEntries d;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t kind = rng() % 21;
        const std::string sn = random_short(rng);
        const uint8_t sum = shortname_checksum(reinterpret_cast<const uint8_t *>(sn.data()));
        const std::u16string name = random_name(rng, kind < 2 ? 40 : 14);
        if (kind < 12) {
            d.add_long(name, sn, DV_ATTR_ARCHIVE, uint32_t(rng() % 1000), uint32_t(rng()));
        } else if (kind < 15) {
            d.add_short(sn, DV_ATTR_ARCHIVE, uint32_t(rng() % 1000), uint32_t(rng()));
        } else if (kind == 15) { // a continuation entry with a wrong checksum
            d.add_raw(raw_lfn(0x42, name, sum)).add_raw(raw_lfn(0x01, name, sum ^ 1));
            d.add_raw(raw_short(sn, DV_ATTR_ARCHIVE, 5, 6));
        } else if (kind == 16) { // the entry with sequence number 1 missing
            d.add_raw(raw_lfn(0x42, name, sum)).add_raw(raw_short(sn, DV_ATTR_ARCHIVE, 7, 8));
        } else if (kind == 17) { // a deleted file that had a long name
            RawEntry a = raw_lfn(0x41, name, sum), b = raw_short(sn, DV_ATTR_ARCHIVE, 9, 1);
            a[0] = b[0] = 0xE5;
            d.add_raw(a).add_raw(b);
        } else if (kind == 18) { // a stray continuation entry
            d.add_raw(raw_lfn(0x02, name, sum));
        } else if (kind == 19) { // a live 8.3 entry renamed under its stale long name
            d.add_raw(raw_lfn(0x41, name, sum ^ 1)).add_raw(raw_short(sn, DV_ATTR_ARCHIVE, 3, 4));
        } else { // 20 entries: 255 units and a terminator, or 260 units and none
            const std::u16string big(rng() % 2 ? 255 : 260, u'b');
            for (int s = 20; s >= 1; --s)
                d.add_raw(raw_lfn(uint8_t(s == 20 ? 0x40 | s : s), big, sum));
            d.add_raw(raw_short(sn, DV_ATTR_ARCHIVE, 11, 12));
        }
    }
    return d;
}

bool same_record(const dv_entry &a, const dv_entry &b) {
    return a.name.len == b.name.len &&
           std::memcmp(a.name.units, b.name.units, 2 * (a.name.len + 1u)) == 0 &&
           a.cluster == b.cluster && a.size == b.size && a.attr == b.attr &&
           std::memcmp(a.shortname, b.shortname, sizeof a.shortname) == 0 &&
           a.ctime.sec == b.ctime.sec && a.ctime.nsec == b.ctime.nsec &&
           a.mtime.sec == b.mtime.sec && a.mtime.nsec == b.mtime.nsec &&
           a.atime.sec == b.atime.sec && a.atime.nsec == b.atime.nsec;
}

bool same_calls(const std::vector<FaultReader::Call> &a, const std::vector<FaultReader::Call> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].sector != b[i].sector || a[i].count != b[i].count || a[i].result != b[i].result)
            return false;
    return true;
}

struct Listing {
    std::vector<dv_entry> records;
    std::vector<size_t> calls_after; // reader calls made when record k was returned
    std::vector<FaultReader::Call> all_calls;
};

} // namespace

class LookupScan : public ::testing::TestWithParam<std::tuple<uint32_t, bool>> {};

TEST_P(LookupScan, FindsWhatTheListingFindsFirstWithTheSameReads) {
    const auto [spc, lenient] = GetParam();
    const uint32_t flags = kBase | (lenient ? DV_FLAG_LENIENT : 0);
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed * 7919 + spc);
        FatGeometry g;
        g.sectors_per_cluster = spc;
        g.cluster_count = 512;
        FatImage img(g);
        img.place_root(random_dir(rng, 30 + rng() % 60));

        Listing ref;
        int end_code = 0;
        {
            FaultReader rd(img);
            Mounted v(img, rd, flags);
            ASSERT_TRUE(v.ok());
            rd.reset_log();
            readfat_dir *h = readfat_opendir(v, "", nullptr);
            ASSERT_NE(h, nullptr);
            while (const dv_entry *e = readfat_readdir(v, h, &end_code)) {
                ref.records.push_back(*e);
                ref.calls_after.push_back(rd.log().size());
            }
            ref.all_calls = rd.log();
        }

        // Every listed name, and names that miss it by one unit at either end.
        std::vector<std::u16string> queries;
        for (const dv_entry &e : ref.records) {
            const std::u16string n(reinterpret_cast<const char16_t *>(e.name.units), e.name.len);
            if (n.empty() || n.find(u'/') != n.npos || n.find(u'\0') != n.npos) continue;
            queries.push_back(n);
            queries.push_back(n + u"a");
            queries.push_back(n.substr(0, n.size() - 1) + u"ж");
        }
        for (const std::u16string &q : queries) {
            if (q.empty() || q.size() > DV_NAME_MAX) continue;
            size_t k = 0;
            while (k < ref.records.size() &&
                   std::u16string(reinterpret_cast<const char16_t *>(ref.records[k].name.units),
                                  ref.records[k].name.len) != q)
                ++k;
            FaultReader rd(img);
            Mounted v(img, rd, flags);
            ASSERT_TRUE(v.ok());
            rd.reset_log();
            dv_entry got;
            std::memset(&got, 0, sizeof got);
            const std::string path = "/" + utf8(q);
            const int rc = readfat_stat(v, path.c_str(), &got);
            SCOPED_TRACE("seed " + std::to_string(seed) + " path " + path);
            if (k == ref.records.size()) {
                // Not found where the listing ended, for the reason it ended.
                EXPECT_EQ(rc, end_code == DV_E_ENDDIR ? ENOENT : end_code);
                EXPECT_TRUE(same_calls(rd.log(), ref.all_calls)) << rd.describe();
            } else {
                ASSERT_EQ(rc, 0);
                EXPECT_TRUE(same_record(got, ref.records[k]));
                std::vector<FaultReader::Call> want(ref.all_calls.begin(),
                                                    ref.all_calls.begin() +
                                                        static_cast<ptrdiff_t>(ref.calls_after[k]));
                EXPECT_TRUE(same_calls(rd.log(), want)) << rd.describe();
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(, LookupScan,
                         ::testing::Combine(::testing::Values(1u, 2u), ::testing::Bool()));
