// The one directory walker of the tool: depth first, without recursion.
// Each level is a frame on the heap that holds no entries, only where to go
// on in its directory (which a handle closed meanwhile finds again by
// position), so a deep tree costs memory in proportion to its depth, a large
// directory next to nothing, and the call stack never grows. The guard
// against directory loops and the caps on depth and path length live here.
#ifndef DORVEX_CLI_WALKER_H
#define DORVEX_CLI_WALKER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "path_resolve.h"

namespace dvcli {

// How far a walk may go below its start directory.
struct WalkLimits {
    size_t max_depth; // directory levels below the start
    size_t max_path;  // bytes of a volume path in UTF-8
};

// 65536 levels and 1 MiB. The variables DORVEX_TEST_MAX_DEPTH and
// DORVEX_TEST_MAX_PATH may lower them (never raise them), so tests can reach
// the caps with small images.
WalkLimits walk_limits();

// The order entries are handed out in: as the directory holds them, or
// sorted (names compared case-insensitively, as Windows and mdir show them).
enum class Order { directory, name, size, time };
struct SortBy {
    Order order = Order::directory;
    bool reverse = false;
};

// Calls `fn` for every entry of `dir` that `keep` accepts, in `by` order.
// Directory order streams; a sorted listing holds every entry's key (its
// folded name, some 40 bytes) while it reads, then a 4-byte position per
// entry, and reads the records again by position, up to 512 at a time in
// directory order. Returns 0 or an error code, as scan_dir.
int list_sorted(readfat_volume *vol, const Node &dir, SortBy by,
                const std::function<bool(const Listed &)> &keep,
                const std::function<void(const Listed &)> &fn);

// What to tell the user about a listing that ended with `code`: a damaged
// long-name run (EILSEQ) is named as such, not as a bad character in text.
std::string listing_message(int code);

class SortedIndex;
// The bytes of records the sorted levels of one walk may still keep.
struct SortBudget {
    size_t left = 0;
};

class Walker {
  public:
    enum class Step {
        enter,  // a directory is about to be read
        listed, // it was read: listing_error() says whether completely
        entry,  // one of the entries kept from it: entry(), last(), descend()
        leave,  // it is done: entry() is its own entry (below the start)
        done,   // the walk is over
    };

    // `keep` sees every entry of a directory as it is read (depth() and
    // path() name that directory) and says whether it comes back later as
    // Step::entry. A `quiet` walk reports nothing (an estimate made before the
    // real walk). Entries come back in directory order unless set_order().
    Walker(readfat_volume *vol, std::function<bool(const Listed &)> keep, bool quiet = false);
    ~Walker();
    Walker(const Walker &) = delete;
    Walker &operator=(const Walker &) = delete;

    // Runs before every message the walker prints (to clear a progress bar).
    std::function<void()> before_message;

    // The order of Step::entry within each directory (before start()).
    void set_order(SortBy by) { by_ = by; }
    // Starts at `dir`, whose volume path is `path` ("/" for the root).
    void start(const Node &dir, const std::string &path);
    Step next();

    // At Step::entry, for a directory: walks it next (from the following
    // next()), unless its first cluster was walked before (a loop: among live
    // directories, or among deleted ones) or it would pass a cap; those are reported and the result
    // is false. `ready` runs once those checks pass and may still refuse by returning false.
    bool descend(const std::function<bool()> &ready = {});
    // Ends the walk: next() says Step::done.
    void stop() { stopped_ = true; }

    size_t depth() const { return frames_.empty() ? 0 : frames_.size() - 1; }
    // The current directory's volume path, "/" or "/A/B".
    const std::string &path() const { return path_; }
    // path() escaped for the terminal, kept up to date level by level: a
    // header or message per directory must not cost time in its depth.
    const std::string &shown() const { return shown_; }
    // The part of path() below the start directory: "" or "/A/B".
    std::string relative() const;
    int listing_error() const { return listing_error_; }
    // What to tell the user about listing_error(): a damaged long-name run
    // (EILSEQ) is named as such, not as a bad character in text.
    std::string listing_message() const;
    const Listed &entry() const { return current_; }
    bool last() const { return last_; }
    // path() joined with the current entry's name (before descend()).
    std::string entry_path() const;
    // A loop or a cap was met.
    bool failed() const { return failed_; }
    // The directory being walked, to list it once more (list_sorted).
    Node dir_node() const;

  private:
    // Enough of a directory's entry to open it again.
    struct Ref {
        bool root = false;
        bool deleted = false;
        uint32_t cluster = 0, attr = 0;
        // exFAT: a directory's size and whether it lies in one run without a FAT chain.
        uint64_t size = 0;
        uint8_t stream_flags = 0;
        void take(const dv_entry &e);
        // An entry the library opens the directory by.
        dv_entry entry() const;
    };
    enum class Phase { fresh, entered, listed };
    // A level holds no entries: its handle is closed while a child is walked
    // and opened again on the way back, moved to a saved position.
    struct Frame {
        Ref ref;
        uint32_t self_pos = 0;   // position of this directory's entry in its parent
        uint32_t given_pos = 0;  // position of the entry handed out last
        size_t parent_path = 0;  // length of path_ in the parent
        size_t parent_shown = 0; // length of shown_ in the parent
        Phase phase = Phase::fresh;
        // Directory order: one bit per record read, set when kept.
        std::vector<uint64_t> kept;
        size_t records = 0, next_record = 0, last_kept = SIZE_MAX;
        uint32_t next_pos = 0; // position of record next_record
        // Sorted order.
        std::unique_ptr<SortedIndex> sorted;
    };

    void list(Frame &f);
    bool hand_out(Frame &f);
    bool open(const Ref &r);
    void close();
    // Reads the record at `pos` of the open directory, reporting a failure.
    bool reread(const Frame &f, uint32_t pos, Listed &l);
    // Reports a directory not walked; `shown` is its path as shown.
    void refuse(const std::string &shown, const std::string &why, bool error);

    readfat_volume *vol_;
    std::function<bool(const Listed &)> keep_;
    bool quiet_;
    WalkLimits limits_;
    SortBy by_;
    Node start_;
    size_t start_path_ = 0; // length of the start directory's path
    SortBudget budget_;     // before frames_, whose levels give theirs back
    std::vector<Frame> frames_;
    readfat_dir *dir_ = nullptr; // the handle of the last frame, when open
    std::string path_, shown_;
    // First clusters of the directories walked, live and deleted apart: a
    // deleted directory never claims the cluster of a live one (the library
    // lists a deleted directory whose cluster is in use as empty), and the
    // live one is walked wherever it comes.
    std::unordered_set<uint32_t> seen_, seen_deleted_;
    Listed current_{};
    int listing_error_ = 0;
    bool last_ = false;
    bool pop_ = false; // the last frame is left: pop it on the next step
    bool stopped_ = false, failed_ = false;
};

} // namespace dvcli

#endif
