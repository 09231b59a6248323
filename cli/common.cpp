#include <cerrno>
#include <cstdio>
#include <set>

#include <unistd.h>

#include "cli.h"
#include "text.h"

namespace dvcli {
namespace {

// A message must not be lost to the Ctrl-C it reports: the stop handlers run without
// SA_RESTART, so a write blocked on a full pipe returns EINTR, which stdio would take as
// an error and drop the line. Write it whole, again after an interruption.
void say(const std::string &line) {
    std::fflush(stdout);
    std::fflush(stderr);
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

} // namespace

void report(const std::string &what, const std::string &msg) {
    say("dorvex: " + (what.empty() ? msg : what + ": " + msg) + "\n");
}

void report_code(const std::string &what, int code) {
    report(what, dv_strerror(code));
}

void warning(const std::string &msg) {
    say("dorvex: warning: " + msg + "\n");
}

int usage_error(const std::string &cmd, const std::string &msg) {
    if (cmd.empty()) {
        std::fprintf(stderr, "dorvex: %s\nTry 'dorvex --help'.\n", msg.c_str());
    } else {
        std::fprintf(stderr, "dorvex: %s: %s\nTry 'dorvex %s --help'.\n", cmd.c_str(), msg.c_str(),
                     cmd.c_str());
    }
    return kUsage;
}

bool open_session(const Args &args, const std::string &image_path, Session &s) {
    std::string error;
    std::string shown = escape_display_utf8(image_path);
    if (!s.image.open(image_path, error)) {
        report(shown, error);
        return false;
    }
    // -a of ls and tree, --deleted of cat and get.
    bool deleted = args.has("all") || args.has("deleted");
    s.vol = s.image.mount(args.volume, error, deleted ? kDeletedFlags : 0);
    if (!s.vol) {
        std::string where = s.image.volume_where();
        report(shown + (where.empty() || where == "whole image" ? "" : " (" + where + ")"), error);
        return false;
    }
    for (const std::string &n : s.image.notes())
        if (args.notes_said.insert(n).second) warning(shown + ": " + n);
    return true;
}

std::string shown_path(const std::string &user_path) {
    std::string p = user_path;
    if (p.empty() || (p[0] != '/' && p[0] != '\\')) p = "/" + p;
    return escape_display_utf8(p);
}

std::string attr_letters(uint32_t attr) {
    std::string s = "------";
    if (attr & DV_ATTR_DIRECTORY) s[0] = 'd';
    if (attr & DV_ATTR_VOLUME) s[0] = 'v';
    if (attr & DV_ATTR_READONLY) s[1] = 'r';
    if (attr & DV_ATTR_HIDDEN) s[2] = 'h';
    if (attr & DV_ATTR_SYSTEM) s[3] = 's';
    if (attr & DV_ATTR_ARCHIVE) s[4] = 'a';
    if (attr & 0xC0) s[5] = '?';
    return s;
}

std::vector<std::string> attr_names(uint32_t attr) {
    static const char *names[] = {"read-only", "hidden",  "system", "volume-label",
                                  "directory", "archive", "device", "reserved"};
    std::vector<std::string> out;
    for (int i = 0; i < 8; ++i)
        if (attr & (1u << i)) out.push_back(names[i]);
    return out;
}

bool out_write(const void *data, size_t len) {
    return len == 0 || std::fwrite(data, 1, len, stdout) == len;
}

bool out_str(const std::string &s) {
    return out_write(s.data(), s.size());
}

} // namespace dvcli
