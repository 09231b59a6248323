// Several threads, each with its own volume over its own in-memory image of non-ASCII
// names, look up, list, read and convert at the same time and check every result, while
// another thread watches the process locale. Run under ThreadSanitizer by the tsan preset.
#include "support/volume_util.h"

#include <dorvex/iconv.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <locale.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace dvtest;

constexpr uint32_t kUtf8Flags =
    DV_CHARSET_UTF8 | DV_FLAG_UTF16 | DV_FLAG_SLASH | DV_FLAG_SKIP_LEADING_SEP | DV_FLAG_LENIENT;

// Names in Cyrillic, Japanese, Greek and accented Latin, different in every thread.
std::vector<std::string> paths_for(int t) {
    const std::string n = std::to_string(t);
    return {"Документы/Отчёт " + n + ".txt", "日本語/ファイル" + n + ".dat", "Ελληνικά/αρχείο " + n,
            "café/naïve résumé " + n + ".md"};
}

struct Worker {
    explicit Worker(int t) : img(FatGeometry{}), reader(img), layout(img), paths(paths_for(t)) {
        for (size_t i = 0; i < paths.size(); i++)
            layout.file(paths[i], pattern_data(700 + 97 * i, t));
        layout.finish();
    }
    FatImage img;
    FaultReader reader;
    TreeLayout layout;
    std::vector<std::string> paths;
    int failures = 0;

    void check(bool ok) { failures += ok ? 0 : 1; }

    void run(int rounds) {
        Mounted vol(img, reader, kUtf8Flags);
        check(vol.ok());
        if (!vol.ok()) return;
        const std::string text = "Отчёт — 日本語のファイル, café naïve ελληνικά 😀";
        const dorvex_iconv_t there = dorvex_iconv_open("utf16le", "utf8");
        const dorvex_iconv_t back = dorvex_iconv_open("utf8", "utf16le");
        for (int r = 0; r < rounds; r++) {
            for (const std::string &p : paths) {
                dv_entry e;
                const TreeNode *node = layout.find(p);
                check(readfat_stat(vol, p.c_str(), &e) == 0 && e.size == node->data.size());
                const std::string dir = p.substr(0, p.find('/'));
                std::vector<std::u16string> names = names_of(list_dir(vol, dir.c_str()), true);
                check(names == layout.children(dir));
                if (r % 8 == 0) check(read_file(vol, p.c_str(), 333) == node->data);
            }
            char16_t units[128];
            char *in = const_cast<char *>(text.data()), *out = reinterpret_cast<char *>(units);
            size_t il = text.size(), ol = sizeof units;
            int err = 0;
            check(dorvex_iconv(there, &in, &il, &out, &ol, &err) == 0);
            std::string again(256, '\0');
            in = reinterpret_cast<char *>(units);
            il = sizeof units - ol;
            out = again.data();
            ol = again.size();
            check(dorvex_iconv(back, &in, &il, &out, &ol, &err) == 0);
            again.resize(again.size() - ol);
            check(again == text);
        }
    }
};

TEST(Threads, VolumesAndConvertersShareNothing) {
    const std::string locale_before = std::setlocale(LC_ALL, nullptr);
    constexpr int kThreads = 4;
    std::vector<std::unique_ptr<Worker>> workers;
    for (int t = 0; t < kThreads; t++) workers.push_back(std::make_unique<Worker>(t));

    std::atomic<bool> done{false};
    std::atomic<int> locale_changes{0};
    std::thread watcher([&] {
        while (!done.load()) {
            if (locale_before != std::setlocale(LC_ALL, nullptr)) locale_changes++;
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> threads;
    for (auto &w : workers) threads.emplace_back([&w] { w->run(400); });
    // A context that decodes in its thread's own locale, set for that thread alone.
    threads.emplace_back([] {
        locale_t utf8 = newlocale(LC_ALL_MASK, "C.UTF-8", nullptr);
        locale_t old = uselocale(utf8);
        dv_ctx *ctx = dv_newctx(DV_CHARSET_LOCALE | DV_FLAG_SLASH, nullptr);
        const char path[] = "Отчёт/日本語";
        for (int r = 0; r < 2000; r++) {
            const char *p = path, *end = path + std::strlen(path);
            std::u16string got;
            while (p != nullptr && p < end) {
                uint16_t unit = 0;
                int err = 0;
                p = ctx->decode(ctx, p, end, &unit, &err);
                got.push_back(static_cast<char16_t>(unit));
            }
            EXPECT_EQ(got, u"Отчёт/日本語");
        }
        dv_deletectx(ctx);
        uselocale(old);
        freelocale(utf8);
    });
    for (auto &t : threads) t.join();
    done = true;
    watcher.join();

    for (int t = 0; t < kThreads; t++) EXPECT_EQ(workers[t]->failures, 0) << "thread " << t;
    EXPECT_EQ(locale_changes.load(), 0);
    EXPECT_EQ(locale_before, std::setlocale(LC_ALL, nullptr));
}

} // namespace

// Messages are constant strings: threads asking for different codes at once each get the
// same text at the same address every time (strerror's shared buffer would not promise it).
TEST(Threads, ErrorMessagesAreConstant) {
    const int codes[] = {EIO, ENOENT, ESTALE, DV_E_BACKUPBOOT, DV_E_ENDDIR, -1, 123456};
    std::vector<const char *> first;
    for (int c : codes) first.push_back(dv_strerror(c));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                const size_t k = size_t(i + t) % first.size();
                if (dv_strerror(codes[k]) != first[k]) ++wrong;
            }
        });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_STREQ(first[5], "Unknown error");
}
