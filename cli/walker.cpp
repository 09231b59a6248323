#include "walker.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli.h"
#include "text.h"

namespace dvcli {

namespace {

// Far deeper than any real tree (a host path of PATH_MAX holds at most 2048
// levels), yet small enough that the frames, the path and the JSON nesting
// of a walk at the cap stay in the megabytes.
constexpr size_t kMaxDepth = 65536;
// Room for 1,300 names of 255 characters of three UTF-8 bytes each; it bounds
// the path every message and header repeats.
constexpr size_t kMaxPath = size_t(1) << 20;

size_t lowered(const char *var, size_t cap) {
    const char *v = std::getenv(var);
    if (!v || !*v) return cap;
    char *end = nullptr;
    unsigned long long n = std::strtoull(v, &end, 10);
    return *end == '\0' && n > 0 && n < cap ? static_cast<size_t>(n) : cap;
}

// A path shown whole would make a message line of up to a megabyte.
std::string shortened(const std::string &shown) {
    constexpr size_t kPart = 96;
    if (shown.size() <= 2 * kPart + 3) return shown;
    auto continuation = [&](size_t i) {
        return (static_cast<unsigned char>(shown[i]) & 0xC0) == 0x80;
    };
    size_t head = kPart, tail = shown.size() - kPart;
    while (head > 0 && continuation(head)) --head;
    while (tail < shown.size() && continuation(tail)) ++tail;
    return shown.substr(0, head) + "..." + shown.substr(tail);
}

} // namespace

WalkLimits walk_limits() {
    static const WalkLimits limits{lowered("DORVEX_TEST_MAX_DEPTH", kMaxDepth),
                                   lowered("DORVEX_TEST_MAX_PATH", kMaxPath)};
    return limits;
}

Walker::Walker(readfat_volume *vol, std::function<bool(const Listed &)> keep, bool quiet)
    : vol_(vol), keep_(std::move(keep)), quiet_(quiet), limits_(walk_limits()) {}

void Walker::start(const Node &dir, const std::string &path) {
    start_ = dir;
    path_ = path;
    shown_ = escape_display_utf8(path);
    start_path_ = path.size();
    frames_.clear();
    frames_.emplace_back();
    frames_.back().parent_path = path_.size();
    frames_.back().parent_shown = shown_.size();
    seen_ = {vol_->root_cluster, dir_cluster(vol_, dir)};
    pop_ = stopped_ = failed_ = false;
    listing_error_ = 0;
}

Walker::Step Walker::next() {
    if (stopped_) return Step::done;
    if (pop_) {
        pop_ = false;
        path_.resize(frames_.back().parent_path);
        shown_.resize(frames_.back().parent_shown);
        frames_.pop_back();
    }
    if (frames_.empty()) return Step::done;
    Frame &f = frames_.back();
    switch (f.phase) {
    case Phase::fresh:
        f.phase = Phase::entered;
        return Step::enter;
    case Phase::entered:
        list(f);
        f.phase = Phase::listed;
        return Step::listed;
    case Phase::listed:
        break;
    }
    if (f.next < f.kept.size()) {
        load(f, f.kept[f.next]);
        ++f.next;
        last_ = f.next == f.kept.size();
        return Step::entry;
    }
    if (frames_.size() > 1) {
        const Frame &parent = frames_[frames_.size() - 2];
        load(parent, parent.kept[parent.next - 1]);
    } else {
        current_ = Listed{};
        current_.entry = start_.entry;
    }
    pop_ = true;
    return Step::leave;
}

void Walker::list(Frame &f) {
    Node dir = node_of(frames_.size() - 1);
    listing_error_ = scan_dir(vol_, dir, [&](const Listed &l) {
        if (!keep_(l)) return true;
        Kept k;
        size_t units = l.entry.name.len > DV_NAME_MAX ? DV_NAME_MAX : l.entry.name.len;
        k.name_at = static_cast<uint32_t>(f.names.size());
        k.name_len = static_cast<uint16_t>(units);
        f.names.insert(f.names.end(), l.entry.name.units, l.entry.name.units + units);
        k.dot = l.dot;
        k.deleted = l.deleted;
        k.label = l.label;
        k.cluster = l.entry.cluster;
        k.size = l.entry.size;
        k.attr = l.entry.attr;
        std::memcpy(k.shortname, l.entry.shortname, sizeof k.shortname);
        k.lcase = l.entry.lcase;
        k.ctime = l.entry.ctime;
        k.atime = l.entry.atime;
        k.mtime = l.entry.mtime;
        k.ctime64 = l.entry.ctime64;
        k.atime64 = l.entry.atime64;
        k.mtime64 = l.entry.mtime64;
        f.kept.push_back(k);
        return true;
    });
}

void Walker::load(const Frame &f, const Kept &k) {
    dv_entry &e = current_.entry;
    e.name.len = k.name_len;
    std::memcpy(e.name.units, f.names.data() + k.name_at, k.name_len * sizeof(uint16_t));
    e.name.units[k.name_len] = 0;
    e.cluster = k.cluster;
    e.size = k.size;
    e.attr = k.attr;
    std::memcpy(e.shortname, k.shortname, sizeof e.shortname);
    e.lcase = k.lcase;
    e.deleted = k.deleted;
    e.ctime = k.ctime;
    e.atime = k.atime;
    e.mtime = k.mtime;
    e.ctime64 = k.ctime64;
    e.atime64 = k.atime64;
    e.mtime64 = k.mtime64;
    current_.dot = k.dot;
    current_.deleted = k.deleted;
    current_.label = k.label;
}

Node Walker::node_of(size_t i) {
    if (i == 0) return start_;
    const Frame &parent = frames_[i - 1];
    Listed saved = current_;
    load(parent, parent.kept[parent.next - 1]);
    Node n;
    n.entry = current_.entry;
    current_ = saved;
    return n;
}

bool Walker::descend(const std::function<bool()> &ready) {
    std::string name = name_to_utf8(current_.entry.name);
    bool at_root = path_ == "/";
    size_t child_len = (at_root ? 0 : path_.size()) + 1 + name.size();
    auto child = [&] { return (at_root ? "" : shown_) + "/" + escape_display_utf8(name); };
    if (frames_.size() > limits_.max_depth) {
        refuse(child(),
               "deeper than " + std::to_string(limits_.max_depth) +
                   " directory levels, not followed",
               true);
        return false;
    }
    if (child_len > limits_.max_path) {
        refuse(child(),
               "path longer than " + std::to_string(limits_.max_path) + " bytes, not followed",
               true);
        return false;
    }
    Node sub;
    sub.entry = current_.entry;
    if (!seen_.insert(dir_cluster(vol_, sub)).second) {
        refuse(child(), "directory loop, not followed", false);
        return false;
    }
    if (ready && !ready()) return false;
    frames_.emplace_back();
    frames_.back().parent_path = path_.size();
    frames_.back().parent_shown = shown_.size();
    if (!at_root) {
        path_ += '/';
        shown_ += '/';
    }
    path_ += name;
    shown_ += escape_display_utf8(name);
    return true;
}

void Walker::refuse(const std::string &shown, const std::string &why, bool error) {
    failed_ = true;
    if (quiet_) return;
    if (before_message) before_message();
    if (error)
        report(shortened(shown), why);
    else
        warning(shown + ": " + why);
}

std::string Walker::relative() const {
    if (path_.size() == start_path_) return "";
    return start_path_ == 1 ? path_ : path_.substr(start_path_);
}

std::string Walker::entry_path() const {
    std::string name = name_to_utf8(current_.entry.name);
    return path_ == "/" ? "/" + name : path_ + "/" + name;
}

std::string Walker::listing_message() const {
    if (listing_error_ == EILSEQ)
        return "damaged long-name entries; the rest of the directory cannot be read";
    return dv_strerror(listing_error_);
}

} // namespace dvcli
