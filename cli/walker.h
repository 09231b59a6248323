// The one directory walker of the tool: depth first, entries in directory
// order, without recursion. Each level is a frame on the heap holding a
// compact copy of the entries its caller kept, so a deep tree costs memory
// in proportion to its depth and never grows the call stack. The guard
// against directory loops and the caps on depth and path length live here.
#ifndef DORVEX_CLI_WALKER_H
#define DORVEX_CLI_WALKER_H

#include <cstddef>
#include <cstdint>
#include <functional>
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
    // real walk).
    Walker(readfat_volume *vol, std::function<bool(const Listed &)> keep, bool quiet = false);

    // Runs before every message the walker prints (to clear a progress bar).
    std::function<void()> before_message;

    // Starts at `dir`, whose volume path is `path` ("/" for the root).
    void start(const Node &dir, const std::string &path);
    Step next();

    // At Step::entry, for a directory: walks it next (from the following
    // next()), unless its first cluster was walked before (a loop) or it
    // would pass a cap; those are reported and the result is false. `ready`
    // runs once those checks pass and may still refuse by returning false.
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

  private:
    // A kept entry without the unused tail of its 255-unit name array.
    struct Kept {
        uint32_t name_at = 0; // offset of the name in Frame::names
        uint16_t name_len = 0;
        bool dot = false, deleted = false, label = false;
        uint32_t cluster = 0, size = 0, attr = 0;
        char shortname[12] = {};
        uint8_t lcase = 0;
        dv_timestamp ctime{}, atime{}, mtime{};
        int64_t ctime64 = 0, atime64 = 0, mtime64 = 0;
    };
    enum class Phase { fresh, entered, listed };
    struct Frame {
        std::vector<Kept> kept;
        std::vector<uint16_t> names;
        size_t next = 0;         // the next kept entry to hand out
        size_t parent_path = 0;  // length of path_ in the parent
        size_t parent_shown = 0; // length of shown_ in the parent
        Phase phase = Phase::fresh;
    };

    void list(Frame &f);
    void load(const Frame &f, const Kept &k);
    // The entry of the directory frames_[i] walks.
    Node node_of(size_t i);
    // Reports a directory not walked; `shown` is its path as shown.
    void refuse(const std::string &shown, const std::string &why, bool error);

    readfat_volume *vol_;
    std::function<bool(const Listed &)> keep_;
    bool quiet_;
    WalkLimits limits_;
    Node start_;
    size_t start_path_ = 0; // length of the start directory's path
    std::vector<Frame> frames_;
    std::string path_, shown_;
    std::unordered_set<uint32_t> seen_;
    Listed current_{};
    int listing_error_ = 0;
    bool last_ = false;
    bool pop_ = false; // the last frame is left: pop it on the next step
    bool stopped_ = false, failed_ = false;
};

} // namespace dvcli

#endif
