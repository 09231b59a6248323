// Host file names for directory entries: a name that would be hostile on the
// host gets a safe substitute, and no two entries extracted into one host
// directory get the same name.
#ifndef DORVEX_CLI_SAFE_NAME_H
#define DORVEX_CLI_SAFE_NAME_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dorvex/dorvex.h"

namespace dvcli {

// The longest host file name, in bytes (NAME_MAX of Linux and the BSDs). A FAT
// long name of 255 UTF-16 units can take up to 765 bytes in UTF-8.
constexpr size_t kHostNameMax = 255;

// Why `name` cannot be a host file name as it is (a separator, NUL, "." or
// "..", empty, longer than kHostNameMax bytes in UTF-8), or null when it can.
const char *unsafe_name(const dv_name &name);

// The host name for `name`, as UTF-8: '/', '\' and NUL become '_', and so do
// the control characters U+0001..U+001F and U+007F unless `keep_controls`;
// "." and ".." become "_." and "_..", an empty name "_"; a lone surrogate
// becomes U+FFFD; a name longer than kHostNameMax bytes is shortened
// (fit_name). `changed` tells whether that differs from the name.
std::string host_name(const dv_name &name, bool keep_controls, bool &changed);

// `name` (UTF-8) cut to at most `max` bytes at a character boundary, its
// extension kept when it takes at most a quarter of `max`: the cut falls in
// the part before it. Unchanged when it fits.
std::string fit_name(const std::string &name, size_t max = kHostNameMax);

// `name` with "~N" before its extension: "a.txt" -> "a~1.txt", "_.." -> "_..~1";
// the part before shortened as fit_name does so that the result fits
// kHostNameMax bytes.
std::string numbered_name(const std::string &name, unsigned n);

// Why FAT cannot hold the host name `name` (UTF-8) as a long name, said for a
// message ("name holds '*', which FAT names cannot hold", "a FAT name cannot
// end in a dot or a space"), or "" when it can: the rules of writefat.h,
// "Names written", and valid UTF-8.
std::string fat_name_problem(std::string_view name);

// The names given out in one host directory during this run. A directory of
// tens of thousands of entries must not cost megabytes here, so the names are
// kept as 62-bit hashes with two state bits in one open-addressed table
// (8 bytes a slot, at most three quarters full); two different names sharing a hash would only cost
// one of them a needless "~N".
class HostNames {
  public:
    // A name an entry of this directory will take as it is (a live entry with
    // a usable name): others never take it, even before that entry comes.
    void reserve(const std::string &name) { mark(name, kReserved); }
    // Gives out `wanted` if it is free, else the first free "~N" form. `own`:
    // the entry's own name, which may take a reserved name (its own).
    std::string claim(const std::string &wanted, bool own);
    bool reserved(const std::string &name) const { return (state(name) & kReserved) != 0; }
    // Whether `name` was given out already in this run.
    bool taken(const std::string &name) const { return (state(name) & kUsed) != 0; }
    void clear() {
        slots_.clear();
        count_ = 0;
    }

  private:
    static constexpr uint64_t kReserved = 1, kUsed = 2, kFlags = 3;
    static uint64_t key_of(const std::string &name);
    // The slot holding `key`, or the empty one where it would go.
    size_t find(uint64_t key) const;
    uint64_t state(const std::string &name) const;
    void mark(const std::string &name, uint64_t flag);

    std::vector<uint64_t> slots_; // 0: empty; else key | flags
    size_t count_ = 0;
};

} // namespace dvcli

#endif
