// The one walker of host trees, for put and mkimage: a directory's entries in name order, each
// looked at with one lstat and never opened. Symbolic links are skipped unless followed; a
// followed link back to a directory on the current path is cut. FIFOs, sockets and devices are
// skipped (a FIFO opened for reading would wait for a writer), and so are names and sizes FAT
// cannot hold, each with the same warning in both commands.
#ifndef DORVEX_CLI_HOST_TREE_H
#define DORVEX_CLI_HOST_TREE_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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

    // A file the walk leaves out ("the output image itself"): put's and mkimage's image.
    void exclude(dev_t dev, ino_t ino) { excluded_.emplace_back(dev, ino); }

    // A path named by the user, followed when a link (as cp does). False with `why`
    // (strerror). `regular` tells a regular file from anything else that is no directory
    // (which put reads all the same: a FIFO such as <(command)).
    static bool named(const std::string &path, HostEntry &e, bool &regular, std::string &why);

    // Walks the directory `dir` (from named()): enter(dir), its entries, leave(dir).
    void walk(const HostEntry &dir, Visitor &v);

  private:
    // Looks at the entry `name` of the directory being walked; false after v.skip.
    bool look(const std::string &dir, const std::string &name, HostEntry &e, Visitor &v);

    bool follow_;
    std::vector<std::pair<dev_t, ino_t>> excluded_;
    // The directories on the current path and their host paths: the loop guard.
    std::vector<std::pair<dev_t, ino_t>> on_path_;
    std::vector<std::string> on_path_names_;
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
