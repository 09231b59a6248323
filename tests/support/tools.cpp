#include "support/tools.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace dvtest {

std::string find_tool(const char *name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/bin:/bin";
    for (size_t pos = 0; pos <= path.size();) {
        size_t end = path.find(':', pos);
        if (end == std::string::npos) end = path.size();
        const std::string p = path.substr(pos, end - pos) + "/" + name;
        if (end > pos && access(p.c_str(), X_OK) == 0) return p;
        pos = end + 1;
    }
    return "";
}

std::string missing_tool(std::initializer_list<const char *> names) {
    for (const char *n : names)
        if (find_tool(n).empty()) return n;
    return "";
}

bool under_ci() {
    const char *ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

std::string shell_quote(const std::string &s) {
    std::string r = "'";
    for (char c : s) r += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return r + "'";
}

bool run_logged(const std::string &cmd, const std::string &log) {
    const std::string full = "(" + cmd + ") >>" + shell_quote(log) + " 2>&1";
    const int rc = std::system(full.c_str());
    if (rc == 0) return true;
    std::ifstream in(log);
    ADD_FAILURE() << "command failed (" << rc << "): " << cmd << "\n"
                  << std::string(std::istreambuf_iterator<char>(in), {});
    return false;
}

namespace {
struct Scratch {
    std::vector<std::string> dirs;
    ~Scratch() {
        for (const auto &d : dirs) {
            std::error_code ec;
            std::filesystem::remove_all(d, ec);
        }
    }
};
} // namespace

std::string scratch_dir(const char *prefix) {
    static Scratch all;
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    if (const char *t = std::getenv("TMPDIR")) base = t;
    std::string tmpl = base + "/" + prefix + ".XXXXXX";
    if (!mkdtemp(tmpl.data())) return "";
    all.dirs.push_back(tmpl);
    return tmpl;
}

std::vector<uint8_t> read_whole(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

} // namespace dvtest
