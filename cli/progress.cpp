// The progress line of get and put.
#include "progress.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <sys/ioctl.h>
#include <unistd.h>

#include "text.h"

namespace dvcli {
namespace {

// The terminal's width in columns: the window of standard error, else $COLUMNS, else 80.
int terminal_columns() {
    struct winsize ws {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    if (const char *c = std::getenv("COLUMNS")) {
        int n = std::atoi(c);
        if (n > 0) return n;
    }
    return 80;
}

} // namespace

std::string progress_line(int columns, double frac, const std::string &bytes,
                          const std::string &files, const std::string &rate,
                          const std::string &eta) {
    char pct[8];
    std::snprintf(pct, sizeof pct, "%3d%%", static_cast<int>(frac * 100));
    const size_t room = columns > 1 ? static_cast<size_t>(columns - 1) : 0;
    // The rate goes first, then the time left, the file count, the byte count.
    const std::vector<std::vector<const std::string *>> levels = {
        {&bytes, &files, &rate, &eta}, {&bytes, &files, &eta}, {&bytes, &files}, {&bytes}, {}};
    for (const auto &parts : levels) {
        std::string text;
        for (const std::string *p : parts) text += "  " + *p;
        // "100% [" + bar + "]" + text, with a bar of at least 10.
        size_t fixed = 4 + 2 + 1 + text.size();
        if (fixed + 10 > room) continue;
        size_t width = room - fixed > 40 ? 40 : room - fixed;
        auto fill = static_cast<size_t>(frac * static_cast<double>(width));
        std::string bar(fill, '#');
        bar.resize(width, '-');
        return std::string(pct) + " [" + bar + "]" + text;
    }
    return std::string(pct).substr(0, room);
}

void Progress::start(uint64_t bytes, uint64_t files) {
    active_ = true;
    total_bytes_ = bytes;
    total_files_ = files;
    t0_ = Clock::now();
    last_ = t0_ - std::chrono::seconds(1);
}

void Progress::add(uint64_t bytes, uint64_t files) {
    done_bytes_ += bytes;
    done_files_ += files;
    if (!active_) return;
    auto now = Clock::now();
    if (now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    draw(now);
}

void Progress::clear() {
    if (active_ && drawn_) std::fprintf(stderr, "\r\033[K");
    drawn_ = false;
}

void Progress::finish() {
    if (!active_) return;
    draw(Clock::now());
    std::fprintf(stderr, "\n");
    drawn_ = false;
    active_ = false;
}

void Progress::draw(Clock::time_point now) {
    double secs = std::chrono::duration<double>(now - t0_).count();
    double rate = secs > 0.05 ? static_cast<double>(done_bytes_) / secs : 0;
    double frac = total_bytes_ ? static_cast<double>(done_bytes_) / total_bytes_
                               : (total_files_ ? double(done_files_) / total_files_ : 1.0);
    if (frac > 1) frac = 1;
    std::string eta = "--:--";
    if (rate > 0 && total_bytes_ >= done_bytes_) {
        auto left = static_cast<uint64_t>(static_cast<double>(total_bytes_ - done_bytes_) / rate);
        char b[32];
        std::snprintf(b, sizeof b, "%u:%02u", static_cast<unsigned>(left / 60),
                      static_cast<unsigned>(left % 60));
        eta = b;
    }
    std::string line = progress_line(
        terminal_columns(), frac, human_size(done_bytes_) + " / " + human_size(total_bytes_),
        std::to_string(done_files_) + "/" + std::to_string(total_files_) + " files",
        human_size(static_cast<uint64_t>(rate)) + "/s", "ETA " + eta);
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

} // namespace dvcli
