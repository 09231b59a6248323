// Shared pieces of the dorvex tool: parsed arguments, messages, opening the
// volume, and the command entry points.
#ifndef DORVEX_CLI_CLI_H
#define DORVEX_CLI_CLI_H

#include <map>
#include <set>
#include <string>
#include <vector>

#include "image.h"
#include "path_resolve.h"
#include "text.h"

namespace dvcli {

enum Exit { kOk = 0, kFail = 1, kUsage = 2 };

struct Args {
    std::string command;
    std::vector<std::string> positional;
    std::set<std::string> flags;               // long names of the switches given
    std::map<std::string, std::string> values; // long names of options with a value
    VolumeChoice volume;
    GlobalOptions global; // --codepage, --utc
    // The image notes warned of so far: each is said once per run, however often a
    // command opens the image.
    mutable std::set<std::string> notes_said;
    bool has(const std::string &flag) const { return flags.count(flag) != 0; }
};

// "dorvex: WHAT: MSG" on standard error (WHAT may be empty).
void report(const std::string &what, const std::string &msg);
void report_code(const std::string &what, int code);
void warning(const std::string &msg);
// "dorvex: CMD: MSG" and the hint to --help; returns kUsage.
int usage_error(const std::string &cmd, const std::string &msg);

// An image opened and its volume mounted, or the error already reported.
// Deleted entries are seen only when `args` has -a or --deleted.
struct Session {
    Image image;
    readfat_volume *vol = nullptr;
};
bool open_session(const Args &args, const std::string &image_path, Session &s);

// A path for messages: "/" + components, as the user wrote them.
std::string shown_path(const std::string &user_path);

// Entry kinds and attributes for output.
std::string attr_letters(uint32_t attr);
std::vector<std::string> attr_names(uint32_t attr);

// Write to standard output; false after a write error.
bool out_write(const void *data, size_t len);
bool out_str(const std::string &s);

int cmd_info(const Args &a);
int cmd_ls(const Args &a);
int cmd_tree(const Args &a);
int cmd_stat(const Args &a);
int cmd_cat(const Args &a);
int cmd_get(const Args &a);
int cmd_iconv(const Args &a);
int cmd_mkimage(const Args &a);
int cmd_put(const Args &a);
int cmd_mkdir(const Args &a);
int cmd_rm(const Args &a);
int cmd_mv(const Args &a);
int cmd_label(const Args &a);
int cmd_mkfs(const Args &a);
int cmd_check(const Args &a);
int cmd_mount(const Args &a);
int cmd_umount(const Args &a);
int cmd_owner(const Args &a);

// Declared after a session opens: when the command listed /$Orphans and the orphan search
// stopped at its cap, warns once at the end of the command that entries were left out.
struct OrphansNote {
    const Session &s;
    explicit OrphansNote(const Session &session) : s(session) {}
    OrphansNote(const OrphansNote &) = delete;
    OrphansNote &operator=(const OrphansNote &) = delete;
    ~OrphansNote();
};

} // namespace dvcli

#endif
