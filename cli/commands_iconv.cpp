// iconv: the library's converter as a filter, in the manner of iconv(1).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "cli.h"
#include "dorvex/iconv.h"
#include "text.h"

namespace dvcli {

namespace {

// One line per charset of the library's table, its names comma-separated.
void list_charsets() {
    out_str("Charsets (names ignore case, '-', '_' and spaces: \"UTF-8\" = \"utf8\"):\n");
    for (unsigned i = 0;; ++i) {
        const char *names = dorvex_iconv_charset(i);
        if (!names) break;
        std::string line = "  ";
        for (const char *n = names; *n; n += std::strlen(n) + 1) {
            if (n != names) line += ", ";
            line += n;
        }
        out_str(line + "\n");
    }
}

bool read_some(int fd, std::vector<char> &buf, size_t &have, bool &eof, int &err) {
    if (have == buf.size()) buf.resize(buf.size() * 2);
    for (;;) {
        ssize_t r = ::read(fd, buf.data() + have, buf.size() - have);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            err = errno;
            return false;
        }
        if (r == 0) eof = true;
        have += static_cast<size_t>(r);
        return true;
    }
}

} // namespace

int cmd_iconv(const Args &a) {
    if (a.has("list")) {
        if (!a.positional.empty() || a.values.count("from-code") || a.values.count("to-code"))
            return usage_error("iconv", "-l takes no other arguments");
        list_charsets();
        return kOk;
    }
    std::string from = a.values.count("from-code") ? a.values.at("from-code") : "utf8";
    std::string to = a.values.count("to-code") ? a.values.at("to-code") : "utf8";
    dorvex_iconv_t cd = dorvex_iconv_open(to.c_str(), from.c_str());
    if (cd == -1) {
        std::string bad = dorvex_iconv_open("utf8", from.c_str()) == -1 ? from : to;
        report("iconv", "unknown charset '" + escape_display_utf8(bad) +
                            "' ('dorvex iconv -l' lists the known ones)");
        return kFail;
    }
    std::string file = a.positional.empty() ? "-" : a.positional[0];
    std::string shown = file == "-" ? "standard input" : escape_display_utf8(file);
    int fd = file == "-" ? STDIN_FILENO : ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        report(shown, std::strerror(errno));
        return kFail;
    }
    std::vector<char> in(1 << 16);
    std::vector<char> out(1 << 18);
    size_t have = 0;       // bytes in `in`
    uint64_t consumed = 0; // input bytes converted before in[0]
    uint64_t irreversible = 0;
    bool eof = false;
    int rc = kOk;
    while (true) {
        int rerr = 0;
        if (!eof && !read_some(fd, in, have, eof, rerr)) {
            report(shown, std::strerror(rerr));
            rc = kFail;
            break;
        }
        char *ip = in.data();
        size_t il = have;
        int err = 0;
        bool stop = false;
        while (il) {
            char *op = out.data();
            size_t ol = out.size();
            err = 0;
            size_t r = dorvex_iconv(cd, &ip, &il, &op, &ol, &err);
            if (!out_write(out.data(), out.size() - ol)) {
                report("standard output", std::strerror(errno));
                return kFail;
            }
            if (r != static_cast<size_t>(-1)) {
                irreversible += r;
                break;
            }
            if (err == E2BIG) continue;
            uint64_t offset = consumed + static_cast<uint64_t>(ip - in.data());
            if (err == EINVAL && !eof) break; // a character cut by the buffer: read more
            if (err == EINVAL)
                report("iconv", shown + ": incomplete character at end of input (byte offset " +
                                    std::to_string(offset) + ")");
            else
                report("iconv", shown + ": cannot convert: invalid input sequence at byte offset " +
                                    std::to_string(offset));
            rc = kFail;
            stop = true;
            break;
        }
        if (stop) break;
        size_t used = static_cast<size_t>(ip - in.data());
        consumed += used;
        std::memmove(in.data(), ip, have - used);
        have -= used;
        if (eof && have == 0) break;
        if (eof && have) {
            // Only a cut character is left and no more input will come.
            report("iconv", shown + ": incomplete character at end of input (byte offset " +
                                std::to_string(consumed) + ")");
            rc = kFail;
            break;
        }
    }
    if (fd != STDIN_FILENO) ::close(fd);
    if (irreversible)
        warning(std::to_string(irreversible) + (irreversible == 1 ? " character" : " characters") +
                " not representable in " + escape_display_utf8(to) + ", written as '*'");
    return rc;
}

} // namespace dvcli
