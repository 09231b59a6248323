#include "walker.h"

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <deque>

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

// A damaged directory chain can be long; no real FAT directory holds more
// than 65536 entries.
constexpr size_t kMaxEntries = size_t(1) << 17;
// Keys sorted at a time: a run's keys are dropped once its order is known.
constexpr size_t kRun = 512;
// Levels that keep their merge records while a child is walked.
constexpr size_t kKeepRecords = 16;

// A record as the walkers hand it out (as scan_dir does). The dot entries are
// the first two raw entries of a directory other than the root.
void fill(Listed &l, const dv_entry &e, bool root, uint32_t pos) {
    size_t units = e.name.len > DV_NAME_MAX ? DV_NAME_MAX : e.name.len;
    l.entry.name.len = e.name.len;
    std::memcpy(l.entry.name.units, e.name.units, (units + 1) * sizeof(uint16_t));
    l.entry.cluster = e.cluster;
    l.entry.size = e.size;
    l.entry.attr = e.attr;
    std::memcpy(l.entry.shortname, e.shortname, sizeof l.entry.shortname);
    l.entry.ctime = e.ctime;
    l.entry.atime = e.atime;
    l.entry.mtime = e.mtime;
    l.entry.lcase = e.lcase;
    l.entry.deleted = e.deleted;
    l.entry.ctime64 = e.ctime64;
    l.entry.atime64 = e.atime64;
    l.entry.mtime64 = e.mtime64;
    decode_short_name(l.entry);
    bool is_dir = (e.attr & DV_ATTR_DIRECTORY) != 0;
    l.dot = false;
    if (!root && pos < 2 && is_dir) {
        const char *want = pos == 0 ? ".          " : "..         ";
        l.dot = std::memcmp(e.shortname, want, 11) == 0;
    }
    l.deleted = e.deleted != 0;
    l.label = !l.deleted && (e.attr & DV_ATTR_VOLUME) != 0 && !is_dir;
}

// Reads the whole directory from the handle's position, handing each record
// and its position to `fn`. Returns 0 or the code that ended the listing.
int read_all(readfat_volume *vol, readfat_dir *d, bool root,
             const std::function<void(const Listed &, uint32_t)> &fn) {
    Listed l{};
    for (size_t idx = 0;; ++idx) {
        int err = 0;
        uint32_t pos = readfat_telldir(vol, d);
        const dv_entry *e = readfat_readdir(vol, d, &err);
        if (!e) return err == DV_E_ENDDIR ? 0 : err ? err : EIO;
        if (idx >= kMaxEntries) return EFBIG;
        fill(l, *e, root, pos);
        fn(l, pos);
    }
}

// The record at `pos`; 0 or an error code.
int read_one(readfat_volume *vol, readfat_dir *d, bool root, uint32_t pos, Listed &l) {
    int err = 0;
    if (readfat_telldir(vol, d) != pos && readfat_seekdir(vol, d, pos, &err) != 0)
        return err ? err : EIO;
    const dv_entry *e = readfat_readdir(vol, d, &err);
    if (!e) return err == DV_E_ENDDIR || !err ? EIO : err;
    fill(l, *e, root, pos);
    return 0;
}

} // namespace

// What a sorted listing compares. Names are folded to upper case and kept as
// UTF-8, whose byte order is code point order.
struct SortKey {
    int64_t num = 0; // size or modification time
    std::string name;
    uint32_t pos = 0; // ties keep directory order
    bool dot = false;
};

namespace {

SortKey key_of(const Listed &l, uint32_t pos, Order order) {
    SortKey k;
    k.pos = pos;
    k.dot = l.dot;
    if (order == Order::size) k.num = l.entry.size;
    if (order == Order::time) k.num = l.entry.mtime64 == DV_TIME_NONE ? INT64_MIN : l.entry.mtime64;
    // ASCII names, the usual case, fold here without a detour.
    const dv_name &n = l.entry.name;
    size_t len = n.len > DV_NAME_MAX ? DV_NAME_MAX : n.len;
    k.name.reserve(len);
    for (size_t i = 0; i < len; ++i) {
        uint16_t u = n.units[i];
        if (u >= 0x80) {
            k.name = to_utf8(fold(name_to_u32(n)));
            break;
        }
        k.name.push_back(static_cast<char>(u >= 'a' && u <= 'z' ? u - 32 : u));
    }
    return k;
}

// ls(1) order: "." and ".." first, the largest or newest first, then names.
bool before(const SortKey &a, const SortKey &b, SortBy by) {
    if (by.reverse) return before(b, a, SortBy{by.order, false});
    if (a.dot != b.dot) return a.dot;
    if (a.num != b.num) return a.num > b.num;
    if (int c = a.name.compare(b.name)) return c < 0;
    return a.pos < b.pos;
}

} // namespace

// The positions of a directory's kept entries in sorted runs of kRun, merged
// as they are handed out: only a run's worth of keys is held while sorting,
// and while merging the next record of each run.
class SortedIndex {
  public:
    // Reads the record at a position: false when it cannot be read.
    using Reread = std::function<bool(uint32_t, Listed &)>;

    explicit SortedIndex(SortBy by) : by_(by) {}

    void add(SortKey k) {
        buf_.push_back(std::move(k));
        if (buf_.size() == kRun) flush();
    }
    // The listing is over: reads the first record of each run.
    void finish(const Reread &reread) {
        flush();
        buf_ = {};
        head_.resize(at_.size());
        rec_.resize(at_.size());
        for (size_t r = 0; r < at_.size(); ++r) load(r, reread);
        pick();
    }
    bool done() const { return best_ == SIZE_MAX; }
    // Drops the records held (while a subdirectory is walked, so that a deep
    // walk holds no records but its own level's); back() reads them again.
    void release() { rec_ = {}; }
    void back(const Reread &reread) {
        if (!rec_.empty() || at_.empty()) return;
        rec_.resize(at_.size());
        for (size_t r = 0; r < at_.size(); ++r)
            if (at_[r] < end_[r] && !reread(order_[at_[r]], rec_[r])) at_[r] = end_[r];
        pick();
    }
    // The first entry and its position.
    const Listed &front() const { return rec_[best_]; }
    uint32_t front_pos() const { return head_[best_].pos; }
    // Takes the first entry off.
    void pop(const Reread &reread) {
        ++at_[best_];
        load(best_, reread);
        repick();
    }

  private:
    void flush() {
        if (buf_.empty()) return;
        std::sort(buf_.begin(), buf_.end(),
                  [this](const SortKey &a, const SortKey &b) { return before(a, b, by_); });
        at_.push_back(order_.size());
        for (const SortKey &k : buf_) order_.push_back(k.pos);
        end_.push_back(order_.size());
        buf_.clear();
    }
    // The record of run r's next position into rec_[r]; a run whose record
    // cannot be read ends there.
    void load(size_t r, const Reread &reread) {
        if (at_[r] < end_[r] && reread(order_[at_[r]], rec_[r])) {
            head_[r] = key_of(rec_[r], order_[at_[r]], by_.order);
        } else {
            at_[r] = end_[r];
            head_[r] = SortKey{};
        }
    }
    // Orders the heap of runs: the one with the first next key on top.
    struct Later {
        const SortedIndex *s;
        bool operator()(size_t a, size_t b) const {
            return before(s->head_[b], s->head_[a], s->by_);
        }
    };
    Later later() const { return Later{this}; }
    // The live runs as a heap on their next keys; best_ is its top.
    void pick() {
        live_.clear();
        for (size_t r = 0; r < at_.size(); ++r)
            if (at_[r] < end_[r]) live_.push_back(r);
        std::make_heap(live_.begin(), live_.end(), later());
        best_ = live_.empty() ? SIZE_MAX : live_.front();
    }
    // After run best_ moved on: sifts it to its place, or drops it.
    void repick() {
        std::pop_heap(live_.begin(), live_.end(), later());
        if (at_[best_] < end_[best_])
            std::push_heap(live_.begin(), live_.end(), later());
        else
            live_.pop_back();
        best_ = live_.empty() ? SIZE_MAX : live_.front();
    }

    SortBy by_;
    std::vector<SortKey> buf_;
    std::deque<uint32_t> order_;   // the runs, one after another (grows without copies)
    std::vector<size_t> at_, end_; // each run's next and end in order_
    std::vector<SortKey> head_;    // each run's next key
    std::vector<Listed> rec_;      // and its record
    std::vector<size_t> live_;     // runs not used up, as a heap
    size_t best_ = SIZE_MAX;
};

int list_sorted(readfat_volume *vol, const Node &dir, SortBy by,
                const std::function<bool(const Listed &)> &keep,
                const std::function<void(const Listed &)> &fn) {
    int err = 0;
    readfat_dir *d =
        dir.is_root ? readfat_opendir(vol, "", &err) : readfat_opendir_entry(vol, &dir.entry, &err);
    if (!d) return err ? err : EIO;
    bool root = dir.is_root || dir.entry.cluster == 0;
    int code;
    if (by.order == Order::directory) {
        code = read_all(vol, d, root, [&](const Listed &l, uint32_t) {
            if (keep(l)) fn(l);
        });
    } else {
        SortedIndex index(by);
        code = read_all(vol, d, root, [&](const Listed &l, uint32_t pos) {
            if (keep(l)) index.add(key_of(l, pos, by.order));
        });
        int reread_code = 0;
        auto reread = [&](uint32_t pos, Listed &l) {
            int e = read_one(vol, d, root, pos, l);
            if (e && !reread_code) reread_code = e;
            return e == 0;
        };
        index.finish(reread);
        for (; !index.done(); index.pop(reread)) fn(index.front());
        if (!code) code = reread_code;
    }
    readfat_closedir(vol, d);
    return code;
}

WalkLimits walk_limits() {
    static const WalkLimits limits{lowered("DORVEX_TEST_MAX_DEPTH", kMaxDepth),
                                   lowered("DORVEX_TEST_MAX_PATH", kMaxPath)};
    return limits;
}

Walker::Walker(readfat_volume *vol, std::function<bool(const Listed &)> keep, bool quiet)
    : vol_(vol), keep_(std::move(keep)), quiet_(quiet), limits_(walk_limits()) {}

Walker::~Walker() {
    close();
}

bool Walker::open(const Ref &r) {
    close();
    int err = 0;
    if (r.root) {
        dir_ = readfat_opendir(vol_, "", &err);
    } else {
        dv_entry e{};
        e.cluster = r.cluster;
        e.attr = r.attr;
        e.deleted = r.deleted;
        dir_ = readfat_opendir_entry(vol_, &e, &err);
    }
    if (!dir_) listing_error_ = err ? err : EIO;
    return dir_ != nullptr;
}

void Walker::close() {
    if (dir_) readfat_closedir(vol_, dir_);
    dir_ = nullptr;
}

Node Walker::dir_node() const {
    Node n;
    const Ref &r = frames_.back().ref;
    n.is_root = r.root;
    n.entry.cluster = r.cluster;
    n.entry.attr = r.attr;
    n.entry.deleted = r.deleted;
    return n;
}

void Walker::start(const Node &dir, const std::string &path) {
    close();
    start_ = dir;
    path_ = path;
    shown_ = escape_display_utf8(path);
    start_path_ = path.size();
    frames_.clear();
    frames_.emplace_back();
    Frame &f = frames_.back();
    f.ref.root = dir.is_root;
    f.ref.cluster = dir.entry.cluster;
    f.ref.attr = dir.entry.attr;
    f.ref.deleted = dir.entry.deleted != 0;
    f.parent_path = path_.size();
    f.parent_shown = shown_.size();
    seen_ = {vol_->root_cluster};
    seen_deleted_.clear();
    (!dir.is_root && dir.entry.deleted ? seen_deleted_ : seen_).insert(dir_cluster(vol_, dir));
    pop_ = stopped_ = failed_ = false;
    listing_error_ = 0;
}

Walker::Step Walker::next() {
    if (pop_) {
        pop_ = false;
        path_.resize(frames_.back().parent_path);
        shown_.resize(frames_.back().parent_shown);
        frames_.pop_back();
    }
    if (stopped_ || frames_.empty()) {
        close();
        return Step::done;
    }
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
    if (hand_out(f)) return Step::entry;
    close();
    if (frames_.size() > 1) {
        // Back in the parent, where this directory's entry is read once more.
        Frame &parent = frames_[frames_.size() - 2];
        if (!open(parent.ref) || !reread(parent, f.self_pos, current_)) {
            current_ = Listed{};
            current_.entry.cluster = f.ref.cluster;
            current_.entry.attr = f.ref.attr;
        }
    } else {
        current_ = Listed{};
        current_.entry = start_.entry;
    }
    pop_ = true;
    return Step::leave;
}

void Walker::list(Frame &f) {
    listing_error_ = 0;
    if (!open(f.ref)) return;
    bool root = f.ref.root || f.ref.cluster == 0;
    if (by_.order != Order::directory) f.sorted = std::make_unique<SortedIndex>(by_);
    size_t idx = 0;
    listing_error_ = read_all(vol_, dir_, root, [&](const Listed &l, uint32_t pos) {
        if (keep_(l)) {
            if (f.sorted) {
                f.sorted->add(key_of(l, pos, by_.order));
            } else {
                if (f.kept.size() <= idx / 64) f.kept.resize(idx / 64 + 1);
                f.kept[idx / 64] |= uint64_t{1} << (idx % 64);
                f.last_kept = idx;
            }
        }
        ++idx;
    });
    f.records = idx;
    if (f.sorted) {
        f.sorted->finish([&](uint32_t pos, Listed &l) { return reread(f, pos, l); });
    }
}

bool Walker::reread(const Frame &f, uint32_t pos, Listed &l) {
    bool root = f.ref.root || f.ref.cluster == 0;
    if (int code = read_one(vol_, dir_, root, pos, l)) {
        refuse(shown_, dv_strerror(code), true);
        return false;
    }
    return true;
}

bool Walker::hand_out(Frame &f) {
    if (!dir_ && !open(f.ref)) return false;
    if (f.sorted) {
        f.sorted->back([&](uint32_t pos, Listed &l) { return reread(f, pos, l); });
        if (f.sorted->done()) return false;
        current_ = f.sorted->front();
        f.given_pos = f.sorted->front_pos();
        f.sorted->pop([&](uint32_t pos, Listed &l) { return reread(f, pos, l); });
        last_ = f.sorted->done();
        return true;
    }
    if (f.last_kept == SIZE_MAX || f.next_record > f.last_kept) return false;
    size_t j = f.next_record;
    while (!(f.kept[j / 64] >> (j % 64) & 1)) ++j; // stops at last_kept at the latest
    // Records passed over since the last one handed out are read past.
    uint32_t pos = f.next_pos;
    for (size_t i = f.next_record; i <= j; ++i) {
        if (!reread(f, pos, current_)) return false;
        if (i < j) pos = readfat_telldir(vol_, dir_);
    }
    f.given_pos = pos;
    f.next_record = j + 1;
    f.next_pos = readfat_telldir(vol_, dir_);
    last_ = j == f.last_kept;
    return true;
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
    auto &seen = current_.deleted ? seen_deleted_ : seen_;
    if (!seen.insert(dir_cluster(vol_, sub)).second) {
        refuse(child(), "directory loop, not followed", false);
        return false;
    }
    if (ready && !ready()) return false;
    uint32_t self = frames_.back().given_pos;
    // Near the top a level keeps its records while a child is walked: reading
    // them again after every subdirectory of a large directory costs time.
    if (frames_.back().sorted && frames_.size() > kKeepRecords) frames_.back().sorted->release();
    frames_.emplace_back();
    Frame &f = frames_.back();
    f.ref.cluster = current_.entry.cluster;
    f.ref.attr = current_.entry.attr;
    f.ref.deleted = current_.entry.deleted != 0;
    f.self_pos = self;
    f.parent_path = path_.size();
    f.parent_shown = shown_.size();
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

std::string listing_message(int code) {
    if (code == EILSEQ)
        return "damaged long-name entries; the rest of the directory cannot be read";
    return dv_strerror(code);
}

std::string Walker::listing_message() const {
    return dvcli::listing_message(listing_error_);
}

} // namespace dvcli
