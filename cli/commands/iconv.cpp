// iconv: the library's converter as a filter, in the manner of iconv(1).
#include <bit>
#include <cctype>
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

constexpr bool kLittle = std::endian::native == std::endian::little;

// Whether `name` is the charset `plain` itself, spelled as the library allows
// ("UTF-16", "utf_16"), and not one of its aliases with a byte order
// ("utf16be" is the same table entry as "utf16").
bool is_named(const std::string &name, const char *plain) {
    if (dorvex_iconv_open("utf8", name.c_str()) == -1) return false;
    std::string letters;
    for (char c : name)
        if (std::isalnum(static_cast<unsigned char>(c)))
            letters.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return letters == plain;
}

// UTF-16 and UTF-32 without a byte order, as iconv(1) reads and writes them:
// a leading mark picks the order and is dropped; without one, and on output,
// the machine's order, and the output starts with a mark.
struct ByteOrder {
    const char *from = nullptr; // the ordered charset to read, or null: as given
    size_t skip = 0;            // bytes of mark to drop
    const char *to = nullptr;
    std::string mark; // to write before the first output byte
};

ByteOrder byte_order(const std::string &from, const std::string &to, const char *head, size_t len) {
    ByteOrder b;
    auto starts = [&](const char *m, size_t n) { return len >= n && !std::memcmp(head, m, n); };
    if (is_named(from, "utf16")) {
        b.from = kLittle ? "utf16le" : "utf16be";
        if (starts("\xFE\xFF", 2)) b.from = "utf16be", b.skip = 2;
        if (starts("\xFF\xFE", 2)) b.from = "utf16le", b.skip = 2;
    } else if (is_named(from, "utf32")) {
        b.from = kLittle ? "utf32le" : "utf32be";
        if (starts("\0\0\xFE\xFF", 4)) b.from = "utf32be", b.skip = 4;
        if (starts("\xFF\xFE\0\0", 4)) b.from = "utf32le", b.skip = 4;
    }
    if (is_named(to, "utf16")) {
        b.to = kLittle ? "utf16le" : "utf16be";
        b.mark = kLittle ? std::string("\xFF\xFE", 2) : std::string("\xFE\xFF", 2);
    } else if (is_named(to, "utf32")) {
        b.to = kLittle ? "utf32le" : "utf32be";
        b.mark = kLittle ? std::string("\xFF\xFE\0\0", 4) : std::string("\0\0\xFE\xFF", 4);
    }
    return b;
}

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
    out_str(std::string("\n"
                        "wchart: the library's wide characters, 16-bit units in the machine's\n"
                        "byte order (") +
            (kLittle ? "little" : "big") +
            "-endian here); characters above U+FFFF become U+FFFD. Not the\n"
            "C library's 32-bit wchar_t.\n"
            "utf16, utf32: a leading byte-order mark picks the order and is dropped\n"
            "(without one: the machine's order); output starts with a mark. The names\n"
            "ending in le or be neither read nor write a mark.\n");
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
    bool started = false; // the byte order is settled
    std::string mark;     // still to be written before the first output
    while (true) {
        int rerr = 0;
        if (!eof && !read_some(fd, in, have, eof, rerr)) {
            report(shown, std::strerror(rerr));
            rc = kFail;
            break;
        }
        if (!started) {
            if (have < 4 && !eof) continue; // room for a whole mark first
            started = true;
            ByteOrder b = byte_order(from, to, in.data(), have);
            cd = dorvex_iconv_open(b.to ? b.to : to.c_str(), b.from ? b.from : from.c_str());
            mark = b.mark;
            std::memmove(in.data(), in.data() + b.skip, have - b.skip);
            have -= b.skip;
            consumed = b.skip;
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
            const size_t made = out.size() - ol;
            if (made && !mark.empty() && !out_str(mark)) {
                report("standard output", std::strerror(errno));
                return kFail;
            }
            if (made) mark.clear();
            if (!out_write(out.data(), made)) {
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
