#include "walker.h"

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>

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
// Records read back at a time, in directory order, for a sorted listing: a
// batch's positions spread over the whole directory, so the bigger it is the
// fewer times each cluster is read again. A batch after a subdirectory was
// walked starts small (most of it would be dropped at the next one) and
// doubles up to the most.
constexpr size_t kMaxBatch = 512;
constexpr size_t kMinBatch = 16;
// Levels that keep their batch of records while a child is walked.
constexpr size_t kKeepRecords = 8;
// The bytes of records a sorted listing keeps from its first pass instead of
// reading them again: about 70 each, so a directory of 20,000 entries (1.4 MiB
// of records beside 0.7 MiB of sort keys) keeps a listing near 5 MiB peak. A
// directory that would pass it is read again by position. The levels of one
// walk share it; ls -R lists each directory apart from its walk, so it holds
// twice this at most.
constexpr size_t kSortBudget = size_t(2) << 20;

// The variable DORVEX_TEST_SORT_BUDGET may lower kSortBudget, even to 0, so
// tests can reach the re-read of records with small images.
size_t sort_budget() {
    constexpr size_t cap = kSortBudget;
    const char *v = std::getenv("DORVEX_TEST_SORT_BUDGET");
    if (!v || !*v) return cap;
    char *end = nullptr;
    unsigned long long n = std::strtoull(v, &end, 10);
    return *end == '\0' && n < cap ? static_cast<size_t>(n) : cap;
}

// A record as the walkers hand it out (as scan_dir does). The dot entries are
// the first two raw entries of a directory other than the root.
void fill(Listed &l, const dv_entry &e, bool root, uint32_t pos) {
    copy_record(l.entry, e);
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

// The raw 32-byte entries of the directory `e` (the root: a directory entry
// with cluster 0), as far as its chain can be followed: a bound on what a
// listing returns.
size_t raw_entries(readfat_volume *vol, const dv_entry &e) {
    uint64_t bytes = 0;
    readfat_extents_each(
        vol, &e,
        [](void *d, const readfat_extent *x) {
            *static_cast<uint64_t *>(d) += x->bytes;
            return 0;
        },
        &bytes, nullptr);
    return static_cast<size_t>(bytes / DV_DIRENT_SIZE);
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

// UTF-8 as to_utf8 writes it (a folded unit is never a surrogate).
void append_utf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | cp >> 6));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | cp >> 12));
        out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | cp >> 18));
        out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Records kept for a sorted listing lie one after another in one string,
// each only as long as its values need: numbers as base-128 varints (times
// zigzagged, the creation and access times from the modification time), the
// name in bytes when all its units are below 0x100, the 32-bit times only
// when they are not what the 64-bit ones give.
void put_varint(std::string &out, uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

void put_time(std::string &out, int64_t t) {
    put_varint(out, (static_cast<uint64_t>(t) << 1) ^ static_cast<uint64_t>(t >> 63));
}

uint64_t get_varint(const char *&p) {
    uint64_t v = 0;
    for (int shift = 0;; shift += 7) {
        const auto b = static_cast<uint8_t>(*p++);
        v |= uint64_t{b & 0x7Fu} << shift;
        if (b < 0x80) return v;
    }
}

int64_t get_time(const char *&p) {
    const uint64_t z = get_varint(p);
    return static_cast<int64_t>((z >> 1) ^ (~(z & 1) + 1));
}

// t - from, wrapping: a record's times lie close to its mtime.
int64_t since(int64_t t, int64_t from) {
    return static_cast<int64_t>(static_cast<uint64_t>(t) - static_cast<uint64_t>(from));
}

// from + d, wrapping: since's inverse.
int64_t after(int64_t from, int64_t d) {
    return static_cast<int64_t>(static_cast<uint64_t>(from) + static_cast<uint64_t>(d));
}

// The position a record starts with.
uint32_t record_pos(const char *p) {
    return static_cast<uint32_t>(get_varint(p));
}

// The 32-bit seconds the library gives beside a 64-bit time: -1 past 2038.
int32_t narrow(int64_t t) {
    return t >= INT32_MIN && t <= INT32_MAX ? static_cast<int32_t>(t) : -1;
}

enum : uint8_t {
    kDot = 1,
    kDeleted = 2,
    kLabel = 4,
    kWideName = 8,   // units of two bytes
    kWideTimes = 16, // the three dv_timestamp follow as stored
    kExfat = 32,     // the 64-bit sizes, stream flags and UTC offsets follow
};

void put_record(std::string &out, const Listed &l, uint32_t pos) {
    const dv_entry &e = l.entry;
    const size_t len = e.name.len > DV_NAME_MAX ? DV_NAME_MAX : e.name.len;
    bool wide_name = false;
    for (size_t i = 0; i < len; ++i) wide_name = wide_name || e.name.units[i] > 0xFF;
    const bool wide_times = e.ctime.sec != narrow(e.ctime64) || e.mtime.sec != narrow(e.mtime64) ||
                            e.atime.sec != narrow(e.atime64) || e.mtime.nsec != 0 ||
                            e.atime.nsec != 0 || e.ctime.nsec % 10000000 != 0 || e.ctime.nsec < 0 ||
                            e.ctime.nsec / 10000000 > 255;
    const bool exfat = e.size64 != e.size || e.valid64 != e.size64 || e.stream_flags != 0 ||
                       e.utc_offset[0] != 0 || e.utc_offset[1] != 0 || e.utc_offset[2] != 0;
    uint8_t flags = (l.dot ? kDot : 0) | (l.deleted ? kDeleted : 0) | (l.label ? kLabel : 0) |
                    (wide_name ? kWideName : 0) | (wide_times ? kWideTimes : 0) |
                    (exfat ? kExfat : 0);
    put_varint(out, pos);
    out.push_back(static_cast<char>(flags));
    out.push_back(static_cast<char>(e.deleted));
    out.push_back(static_cast<char>(e.lcase));
    out.append(e.shortname, sizeof e.shortname);
    put_varint(out, e.cluster);
    put_varint(out, e.size);
    if (exfat) {
        put_varint(out, e.size64);
        put_varint(out, e.valid64);
        out.push_back(static_cast<char>(e.stream_flags));
        out.append(reinterpret_cast<const char *>(e.utc_offset), sizeof e.utc_offset);
    }
    put_varint(out, e.attr);
    put_time(out, e.mtime64);
    put_time(out, since(e.ctime64, e.mtime64));
    put_time(out, since(e.atime64, e.mtime64));
    if (wide_times) {
        for (const dv_timestamp *t : {&e.ctime, &e.atime, &e.mtime})
            out.append(reinterpret_cast<const char *>(t), sizeof *t);
    } else {
        out.push_back(static_cast<char>(e.ctime.nsec / 10000000));
    }
    put_varint(out, e.name.len);
    for (size_t i = 0; i < len; ++i) {
        const uint16_t u = e.name.units[i];
        out.push_back(static_cast<char>(u & 0xFF));
        if (wide_name) out.push_back(static_cast<char>(u >> 8));
    }
}

// Rebuilds the record put_record wrote at `p` (as fill would have made it).
void get_record(const char *p, Listed &l, uint32_t &pos) {
    dv_entry &e = l.entry;
    pos = static_cast<uint32_t>(get_varint(p));
    const auto flags = static_cast<uint8_t>(*p++);
    l.dot = flags & kDot;
    l.deleted = flags & kDeleted;
    l.label = flags & kLabel;
    e.deleted = static_cast<uint8_t>(*p++);
    e.lcase = static_cast<uint8_t>(*p++);
    std::memcpy(e.shortname, p, sizeof e.shortname);
    p += sizeof e.shortname;
    e.cluster = static_cast<uint32_t>(get_varint(p));
    e.size = static_cast<uint32_t>(get_varint(p));
    e.size64 = e.valid64 = e.size;
    e.stream_flags = 0;
    std::memset(e.utc_offset, 0, sizeof e.utc_offset);
    if (flags & kExfat) {
        e.size64 = get_varint(p);
        e.valid64 = get_varint(p);
        e.stream_flags = static_cast<uint8_t>(*p++);
        std::memcpy(e.utc_offset, p, sizeof e.utc_offset);
        p += sizeof e.utc_offset;
    }
    e.attr = static_cast<uint32_t>(get_varint(p));
    e.mtime64 = get_time(p);
    e.ctime64 = after(e.mtime64, get_time(p));
    e.atime64 = after(e.mtime64, get_time(p));
    if (flags & kWideTimes) {
        for (dv_timestamp *t : {&e.ctime, &e.atime, &e.mtime}) {
            std::memcpy(t, p, sizeof *t);
            p += sizeof *t;
        }
    } else {
        e.ctime = {narrow(e.ctime64), static_cast<uint8_t>(*p++) * 10000000};
        e.mtime = {narrow(e.mtime64), 0};
        e.atime = {narrow(e.atime64), 0};
    }
    e.name.len = static_cast<uint16_t>(get_varint(p));
    const size_t len = e.name.len > DV_NAME_MAX ? DV_NAME_MAX : e.name.len;
    for (size_t i = 0; i < len; ++i) {
        uint16_t u = static_cast<uint8_t>(*p++);
        if (flags & kWideName) u |= static_cast<uint16_t>(static_cast<uint8_t>(*p++) << 8);
        e.name.units[i] = u;
    }
    e.name.units[len] = 0;
}

} // namespace

// What a sorted listing compares: its key's bytes, then the position. The
// key is one byte that puts "." and ".." first, with -S or -t the size or
// time (largest first: inverted, big-endian), then the name folded to upper
// case as UTF-8, whose byte order is code point order. Keys lie one after
// another in one string.
struct SortKey {
    uint32_t at = 0;  // the key's offset in the keys' string
    uint32_t len = 0; // and length
    // The record's offset in the store, else its position: either keeps
    // directory order among ties.
    uint32_t id = 0;
};

// A directory's kept entries, sorted once the listing is over (the keys are
// then dropped). Their records are kept as they are read, compactly, while
// they fit the budget; past it they are dropped and read again by position
// instead, a batch at a time in directory order.
class SortedIndex {
  public:
    // Reads the record at a position: false when it cannot be read.
    using Reread = std::function<bool(uint32_t, Listed &)>;

    // `raw` bounds the entries to come: the directory's raw 32-byte entries.
    // Room for them is reserved but not touched (so it costs no memory until
    // used): a large listing then grows without copying its keys over and over.
    SortedIndex(SortBy by, size_t raw, SortBudget &budget) : by_(by), budget_(budget) {
        const size_t most = std::min(raw, kMaxEntries);
        keys_.reserve(most);
        names_.reserve(most * 16);
        // The largest record: 30 bytes besides the times, 24 of exFAT's and up to 255
        // wide units.
        constexpr size_t kMostRecord = 30 + 24 + 3 * 10 + 24 + 2 * DV_NAME_MAX;
        store_.reserve(std::min(most * 64, budget_.left + kMostRecord));
    }
    ~SortedIndex() { budget_.left += charged_; }
    SortedIndex(const SortedIndex &) = delete;
    SortedIndex &operator=(const SortedIndex &) = delete;

    void add(const Listed &l, uint32_t pos) {
        SortKey k;
        k.id = stored_ ? static_cast<uint32_t>(store_.size()) : pos;
        k.at = static_cast<uint32_t>(names_.size());
        names_.push_back(l.dot ? '\0' : '\1');
        if (by_.order != Order::name) {
            auto num = static_cast<int64_t>(l.entry.size64);
            if (by_.order == Order::time)
                num = l.entry.mtime64 == DV_TIME_NONE ? INT64_MIN : l.entry.mtime64;
            const uint64_t down = ~(static_cast<uint64_t>(num) ^ (uint64_t{1} << 63));
            for (int shift = 56; shift >= 0; shift -= 8)
                names_.push_back(static_cast<char>(down >> shift & 0xFF));
        }
        // Names fold here unit by unit, without a detour through UTF-32 strings;
        // only a surrogate pair (or a lone surrogate) takes it.
        const dv_name &n = l.entry.name;
        const size_t len = n.len > DV_NAME_MAX ? DV_NAME_MAX : n.len;
        const size_t head = names_.size();
        for (size_t i = 0; i < len; ++i) {
            const uint16_t u = n.units[i];
            if (u < 0x80) {
                names_.push_back(static_cast<char>(u >= 'a' && u <= 'z' ? u - 32 : u));
            } else if (u >= 0xD800 && u <= 0xDFFF) {
                names_.resize(head);
                names_ += to_utf8(fold(name_to_u32(n)));
                break;
            } else {
                // As fold(): a-z raised again.
                uint32_t f = dv_foldcase(u);
                append_utf8(names_, f >= 'a' && f <= 'z' ? f - 32 : f);
            }
        }
        k.len = static_cast<uint32_t>(names_.size() - k.at);
        keys_.push_back(k);
        if (!stored_) return;
        put_record(store_, l, pos);
        if (store_.size() > budget_.left) {
            for (SortKey &key : keys_) key.id = record_pos(store_.data() + key.id);
            stored_ = false;
            store_ = {};
        }
    }
    // The listing is over: sorts, and reads the first batch.
    void finish(const Reread &reread) {
        std::sort(keys_.begin(), keys_.end(),
                  [this](const SortKey &a, const SortKey &b) { return before(a, b, by_); });
        order_.reserve(keys_.size());
        for (const SortKey &k : keys_) order_.push_back(k.id);
        keys_ = {};
        names_ = {};
        if (stored_) {
            charged_ = store_.size();
            budget_.left -= charged_;
            take();
            return;
        }
        batch_ = kMaxBatch;
        load(reread);
    }
    bool done() const { return next_ >= order_.size(); }
    // Whether the records were kept: the directory need not be open.
    bool stored() const { return stored_; }
    // Drops the records read again (while a subdirectory is walked, so that a
    // deep walk holds no records but its own level's); back() reads them again.
    void release() {
        if (stored_) return;
        rec_ = {};
        held_ = 0;
        batch_ = kMinBatch;
    }
    void back(const Reread &reread) {
        if (!stored_ && held_ == 0 && !done()) load(reread);
    }
    // The first entry and its position.
    const Listed &front() const { return stored_ ? front_ : rec_[next_ - first_]; }
    uint32_t front_pos() const { return stored_ ? front_pos_ : order_[next_]; }
    // Takes the first entry off.
    void pop(const Reread &reread) {
        ++next_;
        if (stored_)
            take();
        else if (!done() && next_ - first_ >= held_)
            load(reread);
    }

  private:
    // ls(1) order: "." and ".." first, the largest or newest first, then names.
    bool before(const SortKey &a, const SortKey &b, SortBy by) const {
        if (by.reverse) return before(b, a, SortBy{by.order, false});
        if (int c = compare(names_.data() + a.at, a.len, names_.data() + b.at, b.len)) return c < 0;
        return a.id < b.id;
    }
    // Byte order, eight bytes at a time: names of one directory tend to share
    // long prefixes ("IMG_0", "document-list-000"), which memcmp calls spend
    // their time on.
    static int compare(const char *a, uint32_t na, const char *b, uint32_t nb) {
        const uint32_t n = na < nb ? na : nb;
        uint32_t i = 0;
        for (; i + 8 <= n; i += 8) {
            uint64_t x, y;
            std::memcpy(&x, a + i, 8);
            std::memcpy(&y, b + i, 8);
            if (x == y) continue;
            if constexpr (std::endian::native == std::endian::little) {
                x = __builtin_bswap64(x);
                y = __builtin_bswap64(y);
            }
            return x < y ? -1 : 1;
        }
        for (; i < n; ++i)
            if (a[i] != b[i])
                return static_cast<uint8_t>(a[i]) < static_cast<uint8_t>(b[i]) ? -1 : 1;
        return na < nb ? -1 : na > nb ? 1 : 0;
    }
    // Rebuilds the first kept record.
    void take() {
        if (!done()) get_record(store_.data() + order_[next_], front_, front_pos_);
    }
    // Reads the records of the next batch of positions, in directory order. A
    // record that cannot be read ends the listing before the batch.
    void load(const Reread &reread) {
        first_ = next_;
        const size_t n = std::min(batch_, order_.size() - next_);
        batch_ = std::min(batch_ * 2, kMaxBatch);
        // Every record is read over: a larger room is kept, not cleared again.
        if (rec_.size() < n) rec_.resize(n);
        held_ = n;
        std::vector<uint32_t> by_pos(n);
        for (size_t i = 0; i < n; ++i) by_pos[i] = static_cast<uint32_t>(i);
        std::sort(by_pos.begin(), by_pos.end(),
                  [&](uint32_t a, uint32_t b) { return order_[first_ + a] < order_[first_ + b]; });
        for (uint32_t i : by_pos) {
            if (!reread(order_[first_ + i], rec_[i])) {
                order_.resize(first_);
                release();
                return;
            }
        }
    }

    SortBy by_;
    SortBudget &budget_;
    size_t charged_ = 0;        // the store's bytes taken off the budget
    std::vector<SortKey> keys_; // while listing
    std::string names_;         // their folded names, one after another
    bool stored_ = true;        // the records are kept in store_
    std::string store_;         // put_record's records, in directory order
    Listed front_{};            // the first record, rebuilt
    uint32_t front_pos_ = 0;    // and its position
    // The store's offsets, or without it the positions, in sorted order.
    std::vector<uint32_t> order_;
    size_t next_ = 0;          // the front's index in order_
    size_t first_ = 0;         // the index in order_ of rec_[0]
    size_t batch_ = kMaxBatch; // records the next load reads
    std::vector<Listed> rec_;  // the records of order_[first_ ..]
    size_t held_ = 0;          // how many of them
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
        dv_entry self = dir.entry;
        if (dir.is_root) {
            self = dv_entry{};
            self.attr = DV_ATTR_DIRECTORY;
        }
        SortBudget budget{sort_budget()};
        SortedIndex index(by, raw_entries(vol, self), budget);
        code = read_all(vol, d, root, [&](const Listed &l, uint32_t pos) {
            if (keep(l)) index.add(l, pos);
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
    : vol_(vol), keep_(std::move(keep)), quiet_(quiet),
      limits_(walk_limits()), budget_{sort_budget()} {}

Walker::~Walker() {
    close();
}

void Walker::Ref::take(const dv_entry &e) {
    cluster = e.cluster;
    attr = e.attr;
    deleted = e.deleted != 0;
    size = e.size64;
    stream_flags = e.stream_flags;
}

dv_entry Walker::Ref::entry() const {
    dv_entry e{};
    e.cluster = cluster;
    e.attr = attr;
    e.deleted = deleted;
    e.size64 = e.valid64 = size;
    e.size = size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
    e.stream_flags = stream_flags;
    return e;
}

bool Walker::open(const Ref &r) {
    close();
    int err = 0;
    if (r.root) {
        dir_ = readfat_opendir(vol_, "", &err);
    } else {
        const dv_entry e = r.entry();
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
    n.entry = r.entry();
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
    f.ref.take(dir.entry);
    f.ref.root = dir.is_root;
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
            current_.entry = f.ref.entry();
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
    if (by_.order != Order::directory) {
        dv_entry self{};
        if (!f.ref.root) self = f.ref.entry();
        self.attr = DV_ATTR_DIRECTORY;
        f.sorted = std::make_unique<SortedIndex>(by_, raw_entries(vol_, self), budget_);
    }
    size_t idx = 0;
    listing_error_ = read_all(vol_, dir_, root, [&](const Listed &l, uint32_t pos) {
        if (keep_(l)) {
            if (f.sorted) {
                f.sorted->add(l, pos);
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
    // Kept records need no handle: back from a subdirectory, none is opened.
    if (!dir_ && !(f.sorted && f.sorted->stored()) && !open(f.ref)) return false;
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
    f.ref.take(current_.entry);
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
