#include "support/host_tools.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace dvtest {

std::string find_tool(const char *name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/bin:/bin";
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t end = path.find(':', pos);
        if (end == std::string::npos) end = path.size();
        std::string dir = path.substr(pos, end - pos);
        if (!dir.empty()) {
            std::string p = dir + "/" + name;
            if (access(p.c_str(), X_OK) == 0) return p;
        }
        pos = end + 1;
    }
    return "";
}

std::string quote(const std::string &s) {
    std::string r = "'";
    for (char c : s) r += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return r + "'";
}

bool run(const std::string &cmd, const std::string &log) {
    std::string full = "(" + cmd + ") >>" + quote(log) + " 2>&1";
    int rc = std::system(full.c_str());
    if (rc != 0) {
        ADD_FAILURE() << "command failed (" << rc << "): " << cmd << "\n" << slurp(log);
        return false;
    }
    return true;
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace dvtest
