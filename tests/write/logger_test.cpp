// The data-logger example (examples/logger_core.h) on a RAM card made by mkfs.fat, opened
// with the SMALL preset (and FAST, whose cluster-sized requests can be torn), with the power
// cut at its writes, some of them torn (only the first
// sectors of a request land): every line flushed before the cut is in its day's file, no
// line is garbled, earlier days are intact, the logger goes on after a restart, and fsck.fat
// finds only what a cut may leave. Skips when dosfstools is missing.
#include "write/write_support.h"

#include "../../examples/logger_core.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>

using namespace dvtest;

namespace {

// The card: the image's bytes, its file kept alike for fsck.fat. Writes stop at `limit`;
// with `torn`, the first half of the request that meets the cut still lands.
struct Card {
    explicit Card(WImage *i, uint32_t p = WRITEFAT_CONFIG_SMALL) : img(i), preset(p) {}
    WImage *img;
    uint32_t preset;
    long limit = -1, writes = 0;
    bool torn = false;
    std::vector<uint32_t> counts; // sectors of each request, in order
};

void land(WImage &img, const void *buf, uint64_t sector, uint32_t count) {
    std::memcpy(img.cur.data() + sector * 512, buf, size_t{count} * 512);
    for (uint32_t i = 0; i < count; ++i) img.touched.insert(sector + i);
    if (pwrite(img.fd, buf, size_t{count} * 512, static_cast<off_t>(sector * 512)) !=
        static_cast<ssize_t>(count) * 512)
        ADD_FAILURE() << "image file not written";
}

int32_t card_read(void *data, void *buf, uint64_t sector, uint32_t count) {
    auto *c = static_cast<Card *>(data);
    if ((sector + count) * 512 > c->img->cur.size()) return -EIO;
    std::memcpy(buf, c->img->cur.data() + sector * 512, size_t{count} * 512);
    return static_cast<int32_t>(count);
}

int32_t card_write(void *data, const void *buf, uint64_t sector, uint32_t count) {
    auto *c = static_cast<Card *>(data);
    if ((sector + count) * 512 > c->img->cur.size()) return -EIO;
    if (c->limit >= 0 && c->writes >= c->limit) {
        if (c->torn && c->writes == c->limit && count > 1) land(*c->img, buf, sector, count / 2);
        ++c->writes;
        return -EIO;
    }
    ++c->writes;
    c->counts.push_back(count);
    land(*c->img, buf, sector, count);
    return static_cast<int32_t>(count);
}

struct Line {
    int64_t now;
    std::string text;
};

// Five days of readings, one every ten minutes from 22:00 on the first.
std::vector<Line> readings() {
    std::vector<Line> out;
    for (int i = 0; i < 600; ++i) {
        Line l;
        l.now = 1796940000 + int64_t{i} * 600;
        char buf[64];
        l.text.assign(buf, logger_format(buf, sizeof buf, l.now, unsigned(i % 4), i * 37L - 900));
        out.push_back(l);
    }
    return out;
}

writefat_volume *open_card(Card &card, int *err) {
    writefat_config c;
    writefat_config_init(&c, card.preset);
    return writefat_open3(0, card.img->cur.size() / 512, 512, &card, card_read, card_write,
                          readfat_optimal_flags(), 0, 0, &c, err, &card.img->alloc,
                          TrackingAlloc::alloc_cb, TrackingAlloc::free_cb);
}

// Logs `lines` until done or the first failure; what the logger had made durable.
uint64_t log_all(Card &card, const std::vector<Line> &lines, uint32_t flush_every) {
    int err = 0;
    writefat_volume *w = open_card(card, &err);
    if (!w) return 0;
    logger lg;
    logger_init(&lg, w, flush_every);
    int rc = 0;
    for (const Line &l : lines)
        if ((rc = logger_write(&lg, l.now, l.text.data(), l.text.size())) != 0) break;
    if (rc == 0) rc = logger_finish(&lg, lines.back().now);
    writefat_close(w);
    return lg.durable;
}

// The day files as the reader finds them: path -> contents.
std::map<std::string, std::string> day_files(WImage &img) {
    Card card{&img};
    int err = 0;
    std::map<std::string, std::string> out;
    readfat_volume *v = readfat_new(0, img.cur.size() / 512, 512, &card, card_read,
                                    readfat_optimal_flags(), 2, 2, &err);
    if (!v) return out;
    readfat_dir *d = readfat_opendir(v, "/LOG", &err);
    while (const dv_entry *e = d ? readfat_readdir(v, d, &err) : nullptr) {
        if (e->deleted || (e->attr & DV_ATTR_DIRECTORY)) continue;
        char name[300];
        dv_name_to_utf8(&e->name, name, sizeof name);
        const std::string path = std::string("/LOG/") + name;
        readfat_file *f = readfat_open(v, path.c_str(), &err);
        std::string data(readfat_size(v, f), '\0');
        if (f && readfat_read(v, f, data.data(), uint32_t(data.size()), &err) != data.size())
            data = "(unreadable)";
        readfat_close(v, f);
        out[path] = data;
    }
    if (d) readfat_closedir(v, d);
    readfat_delete(v);
    return out;
}

// fsck.fat -n finds nothing but what a cut may leave; after a cut append that includes a
// chain longer than the file's size.
bool fsck_allows(WImage &img, std::string &report) {
    img.fsck(&report, true);
    std::istringstream in(report);
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        // The banner, the summary, and a day file's path before what is found in it.
        if (first || line.empty() || line.rfind(img.path, 0) == 0 ||
            (line.rfind("/LOG/", 0) == 0 && line.find(' ') == std::string::npos)) {
            first = false;
            continue;
        }
        static const char *const allowed[] = {"Dirty bit",
                                              "dirty bit",
                                              "Free cluster summary",
                                              "Auto-correcting",
                                              "unused cluster",
                                              "FATs differ",
                                              "Using first FAT",
                                              "Leaving filesystem unchanged",
                                              "properly unmounted",
                                              "Performing changes",
                                              "Checking",
                                              "Starting",
                                              "File size is",
                                              "cluster chain length is >",
                                              "Truncating file to"};
        bool ok = false;
        for (const char *a : allowed) ok = ok || line.find(a) != std::string::npos;
        if (!ok) return false;
    }
    return true;
}

struct LoggerKind {
    const char *label, *mkfs_args;
    unsigned kib;
    uint32_t preset;
};

class LoggerCut : public ::testing::TestWithParam<LoggerKind> {};

TEST_P(LoggerCut, FlushedLinesSurviveEveryCut) {
    DV_NEED_TOOLS("mkfs.fat", "fsck.fat");
    WriteTools tools;
    const std::string dir = scratch_dir("dorvex-logger");
    WImage img(tools, FatKind{GetParam().label, GetParam().mkfs_args, GetParam().kib}, dir);
    const std::vector<Line> lines = readings();
    const uint32_t flush_every = 5;
    // Each day's text in full, and the lines before each line of it.
    std::map<std::string, std::string> want;
    std::vector<std::string> day_of;
    for (const Line &l : lines) {
        char path[32];
        logger_path(path, sizeof path, logger_day(l.now));
        want[path] += l.text;
        day_of.push_back(path);
    }

    // The run without a cut: every line kept, and how many writes it takes.
    Card full{&img, GetParam().preset};
    ASSERT_EQ(log_all(full, lines, flush_every), lines.size());
    ASSERT_TRUE(day_files(img) == want);
    std::string report;
    ASSERT_TRUE(img.fsck(&report, false)) << report;
    const std::vector<uint32_t> counts = full.counts;
    img.restore();

    const long total = long(counts.size()), stride = total / 150 + 1;
    int torn_cuts = 0, restarts = 0;
    for (long cut = 0; cut < total; ++cut) {
        const bool torn = counts[size_t(cut)] > 1;
        if (cut % stride != 0 && !torn) continue;
        for (int pass = 0; pass < (torn ? 2 : 1); ++pass) {
            SCOPED_TRACE("cut at write " + std::to_string(cut) + (pass ? " (torn)" : ""));
            Card card{&img, GetParam().preset};
            card.limit = cut;
            card.torn = pass == 1;
            torn_cuts += pass;
            const uint64_t durable = log_all(card, lines, flush_every);
            ASSERT_TRUE(fsck_allows(img, report)) << report;
            // Each day file: a whole-line prefix of its text holding every durable line.
            std::map<std::string, std::string> must;
            for (uint64_t i = 0; i < durable; ++i) must[day_of[i]] += lines[i].text;
            const std::map<std::string, std::string> got = day_files(img);
            for (const auto &[path, text] : must) ASSERT_EQ(got.count(path), 1u) << path;
            for (const auto &[path, text] : got) {
                ASSERT_EQ(want.count(path), 1u) << path;
                EXPECT_EQ(want[path].compare(0, text.size(), text), 0) << path << " garbled";
                EXPECT_TRUE(text.empty() || text.back() == '\n') << path << " cut in a line";
                EXPECT_GE(text.size(), must[path].size()) << path << " lost flushed lines";
            }
            // A restart goes on at the end of what the cut kept.
            if (cut % (4 * stride) == 0 && !got.empty()) {
                ++restarts;
                const std::string last = got.rbegin()->first;
                std::vector<Line> more;
                for (size_t i = 0; i < lines.size(); ++i)
                    if (day_of[i] == last && more.size() < 3) more.push_back(lines[i]);
                Card again{&img, GetParam().preset};
                ASSERT_EQ(log_all(again, more, 1), more.size());
                std::string expect = got.at(last);
                for (const Line &l : more) expect += l.text;
                EXPECT_EQ(day_files(img).at(last), expect);
                ASSERT_TRUE(fsck_allows(img, report)) << report;
            }
            img.restore();
        }
    }
    // Torn cuts where the writer was given more than one sector at once.
    EXPECT_EQ(torn_cuts > 0,
              std::count_if(counts.begin(), counts.end(), [](uint32_t n) { return n > 1; }) > 0);
    EXPECT_GT(restarts, 0);
    EXPECT_EQ(img.alloc.live_blocks(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, LoggerCut,
    ::testing::Values(LoggerKind{"fat16", "-F 16 -s 4", 16384, WRITEFAT_CONFIG_SMALL},
                      LoggerKind{"fat16_fast", "-F 16 -s 4", 16384, WRITEFAT_CONFIG_FAST},
                      LoggerKind{"fat32", "-F 32 -s 1", 34816, WRITEFAT_CONFIG_SMALL}),
    [](const testing::TestParamInfo<LoggerKind> &i) { return std::string(i.param.label); });

} // namespace
