// The one walker of host trees, for put and mkimage: a directory's entries in name order, each
// looked at with one fstatat and never opened. Symbolic links are skipped unless followed; a
// followed link back to a directory on the current path is cut. FIFOs, sockets and devices are
// skipped (a FIFO opened for reading would wait for a writer), and so are names and sizes FAT
// cannot hold, each with the same warning in both commands.
//
// The walk goes by directory descriptors, never by the host path, so that the kernel does not
// resolve a path as long as the tree is deep for every entry (quadratic in the depth). It is a
// loop, not a recursion, and keeps open only the descriptors of the deepest kOpenDirs
// directories: one a level would run out of descriptors in a tree 10,000 deep. A directory
// above them is opened again on the way back up through its child's "..", checked to be the
// same directory (device and inode); when it is not (reached through a followed link, or moved
// meanwhile) its path is opened instead, with the same check.
#ifndef DORVEX_CLI_HOST_TREE_H
#define DORVEX_CLI_HOST_TREE_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/types.h>

namespace dvcli {

struct Args;

// An entry of a host tree.
struct HostEntry {
    std::string path;  // the host path
    std::string name;  // its last component
    bool dir = false;  // else a regular file
    uint64_t size = 0; // a file's bytes
    int64_t mtime = 0, atime = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    // The directory holding it, open while file() or enter() hear of the entry: openat(at,
    // name) opens it without resolving `path`. AT_FDCWD for a path named by the user.
    int at = AT_FDCWD;
};

// Why an entry was left out. `design`: a symbolic link not followed, a loop cut, the output
// image itself; the copy is as asked. `short_of`: FAT cannot hold it, it is no regular file
// or directory, or it cannot be read; the copy lacks it (exit status 1).
enum class Skip { design, short_of };

class HostTree {
  public:
    // What a walk tells its user, in the order of the tree.
    struct Visitor {
        virtual ~Visitor() = default;
        // A directory about to be walked (the start too); false: its contents are not.
        virtual bool enter(const HostEntry &dir) = 0;
        // After its contents, when enter() said true.
        virtual void leave(const HostEntry &dir) = 0;
        virtual void file(const HostEntry &file) = 0;
        // `why` says it for a warning: "PATH: WHY, skipped".
        virtual void skip(const std::string &path, const std::string &why, Skip kind) = 0;
        // False ends the walk.
        virtual bool going() { return true; }
    };

    explicit HostTree(bool follow_symlinks) : follow_(follow_symlinks) {}
    HostTree(const HostTree &) = delete;
    HostTree &operator=(const HostTree &) = delete;
    ~HostTree();

    // The directories a walk keeps open at most (besides the one it opens next).
    static constexpr size_t kOpenDirs = 64;

    // A file the walk leaves out ("the output image itself"): put's and mkimage's image.
    void exclude(dev_t dev, ino_t ino) { excluded_.emplace_back(dev, ino); }

    // A path named by the user, followed when a link (as cp does). False with `why`
    // (strerror). `regular` tells a regular file from anything else that is no directory
    // (which put reads all the same: a FIFO such as <(command)).
    static bool named(const std::string &path, HostEntry &e, bool &regular, std::string &why);

    // Walks the directory `dir` (from named()): enter(dir), its entries, leave(dir).
    void walk(const HostEntry &dir, Visitor &v);

  private:
    // A directory being walked. Its host path is path_ up to `end` (one string for all
    // levels: a path per level would take memory quadratic in the depth).
    struct Level {
        HostEntry dir; // without its path
        std::vector<std::string> names;
        size_t next = 0; // of names
        int fd = -1;     // -1: closed (above the open ones, or lost)
        size_t end = 0;
    };

    // Looks at the entry `name` of the directory open as `dirfd`; false after v.skip. `link`:
    // a symbolic link followed.
    bool look(int dirfd, const std::string &name, HostEntry &e, bool &link, Visitor &v);
    // Opens the directory `e` (`name` in `at`) and lists it into `l`; false with `why`.
    static bool open_level(int at, const char *name, int flags, const HostEntry &e, Level &l,
                           std::string &why);
    // Opens levels_.back() again, closed while deeper ones were walked, from its child's
    // descriptor `child` (-1: none); false with `why`.
    bool reopen(int child, std::string &why);

    bool follow_;
    std::vector<std::pair<dev_t, ino_t>> excluded_;
    // The walk: the directories on the current path, their depths by device and inode (the
    // loop guard), the current directory's host path.
    std::vector<Level> levels_;
    std::map<std::pair<dev_t, ino_t>, size_t> on_path_;
    std::string path_;
};

// The host entries named: bytes and regular files a copy takes (for a progress line and for
// what a full volume left out). Skips nothing loudly.
void host_measure(const std::string &path, bool follow_symlinks, uint64_t &bytes, uint64_t &files);

// put's copy, which mkimage shares (commands/write.cpp): the contents of the host directory
// `src` into the root of the FAT volume at the start of `image`, grouped, times from the
// source (as the user's --utc says), names by the library's rules. `label` (when not empty)
// is set first with writefat_setlabel's rule. Warnings and errors are reported here.
struct TreeCopy {
    bool follow_symlinks = false;
    bool quiet = false;
    std::string label;
    bool excluded_set = false; // the image itself, should it lie in `src`
    dev_t excluded_dev = 0;
    ino_t excluded_ino = 0;
    // Results.
    bool bad_label = false;   // the label was refused: nothing copied
    bool full = false;        // the volume took no more (told)
    bool interrupted = false; // a signal came (told)
    int failures = 0;         // files and directories not copied for an error (told)
    int left_out = 0;         // entries skipped short of the copy (warned)
};
// 0 when the whole tree was copied and the volume closed; else nonzero.
int copy_into_root(const Args &a, const std::string &image, const std::string &src, TreeCopy &c);

} // namespace dvcli

#endif
