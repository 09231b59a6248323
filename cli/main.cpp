// dorvex: browse, extract and build FAT images. Dispatch, option parsing,
// help and version.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <time.h>

#include "cli.h"
#include "text.h"

namespace dvcli {
namespace {

struct OptSpec {
    char short_name; // 0 if none
    const char *long_name;
    bool takes_value;
};

struct CommandSpec {
    const char *name;
    int (*run)(const Args &);
    int min_args, max_args; // -1: no limit
    bool volume_options;    // accepts -p/--partition and --offset
    std::vector<OptSpec> opts;
    const char *synopsis;
    const char *help;
};

const std::vector<CommandSpec> &commands() {
    static const std::vector<CommandSpec> list = {
        {"info",
         cmd_info,
         1,
         1,
         true,
         {{0, "json", false}},
         "info [--json] IMAGE",
         "Show the partition table (MBR, GPT, or the El Torito boot images of an ISO)\n"
         "and, for the chosen FAT volume, its type (FAT12, FAT16 or FAT32), geometry,\n"
         "label, free clusters (counted in the FAT) and the number of files and\n"
         "directories.\n"
         "\n"
         "  --json   one JSON document instead of text\n"
         "\n"
         "Examples:\n"
         "  dorvex info sdcard.img\n"
         "  dorvex info -p 2 disk.img\n"
         "  dorvex info install.iso\n"},
        {"ls",
         cmd_ls,
         1,
         -1,
         true,
         {{'l', "long", false},
          {'a', "all", false},
          {'R', "recursive", false},
          {0, "json", false},
          {'h', "human-readable", false},
          {'S', "sort-size", false},
          {'t', "sort-time", false},
          {'r', "reverse", false},
          {'U', "unsorted", false},
          {0, "paths", false},
          {0, "null", false}},
         "ls [-l] [-a] [-R] [-h] [-S|-t|-U] [-r] [--paths] [--null] [--json] IMAGE [PATH...]",
         "List directories (the root by default), names in UTF-8. A file argument\n"
         "gives its own line; with several arguments the files come first, then each\n"
         "directory under a \"PATH:\" header.\n"
         "\n"
         "  -l, --long       attributes, size, modification time, 8.3 name\n"
         "  -a, --all        also \".\", \"..\", the volume label and deleted entries\n"
         "                   (marked [deleted], under their recovered names; PATH may\n"
         "                   name them and pass through deleted directories)\n"
         "  -R, --recursive  list subdirectories too\n"
         "  -h, --human-readable  sizes of -l as 1.0K, 23M (powers of 1024)\n"
         "  -S, --sort-size  largest first\n"
         "  -t, --sort-time  newest first (modification time)\n"
         "  -U, --unsorted   directory order (the fastest; -U wins over -S, -S over -t)\n"
         "  -r, --reverse    reverse the order\n"
         "      --paths      whole volume paths, one entry a line, no headers;\n"
         "                   directories end in '/' (with -R: a flat listing)\n"
         "      --null       end each line with NUL instead of a newline; names are\n"
         "                   written unescaped\n"
         "                   With --paths or --null a line ends with its path or\n"
         "                   name, nothing after it, to be fed back to 'cat -a' or\n"
         "                   'get -a': no [deleted] mark and no volume label; -la\n"
         "                   marks entries in a column before it instead, '*' for a\n"
         "                   deleted one (as fls marks them), '-' for a live one\n"
         "      --json       one JSON document instead of text (several paths: an\n"
         "                   array of them)\n"
         "\n"
         "Entries are sorted by name, case-insensitively (as Windows Explorer shows\n"
         "them; mdir keeps the directory's order, which -U gives), \".\" and \"..\"\n"
         "first. Paths are case-insensitive and match long or 8.3 names; '/' and '\\'\n"
         "both separate components. Times are shown as FAT stores them, the writer's\n"
         "local time; with --utc they are taken as UTC and end in 'Z'. '-' (null in\n"
         "JSON) marks a time without a valid date. An 8.3 name without a long name\n"
         "shows in the case its lower-case flags give (readme.txt), its bytes\n"
         "0x80-0xFF in the code page of --codepage.\n"
         "\n"
         "Examples:\n"
         "  dorvex ls -l sdcard.img /DCIM\n"
         "  dorvex ls -lhS sdcard.img /DCIM/100CANON /MISC\n"
         "  dorvex ls -R --paths sdcard.img | grep -i '\\.jpg$'\n"
         "  dorvex ls -R --paths --null sdcard.img /DCIM | xargs -0 -n1 echo\n"
         "  dorvex ls -R --json sdcard.img > listing.json\n"
         "  dorvex ls -lt --utc camera.img /DCIM\n"
         "  dorvex ls -a sdcard.img /old-photos\n"
         "  dorvex ls -aR --paths --null sdcard.img /old-photos | xargs -0 -n1 echo\n"
         "  dorvex ls --codepage cp850 floppy.img\n"},
        {"tree",
         cmd_tree,
         1,
         2,
         true,
         {{'a', "all", false}},
         "tree [-a] IMAGE [PATH]",
         "Show the directory tree below PATH (the root by default), each directory's\n"
         "entries sorted by name, case-insensitively.\n"
         "\n"
         "  -a, --all   also deleted entries (marked [deleted], walked into) and the\n"
         "              volume label; the counts are of live entries\n"
         "\n"
         "Examples:\n"
         "  dorvex tree sdcard.img /docs\n"
         "  dorvex tree -a sdcard.img\n"},
        {"stat",
         cmd_stat,
         2,
         2,
         true,
         {{0, "json", false}},
         "stat [--json] IMAGE PATH",
         "Show every field of a directory entry: long and 8.3 name, attributes, first\n"
         "cluster, size, creation, modification and access times (local time, or UTC\n"
         "with --utc; '-' when there is no valid date).\n"
         "\n"
         "Examples:\n"
         "  dorvex stat sdcard.img /DCIM/100CANON/IMG_0001.JPG\n"
         "  dorvex stat --json sdcard.img readme.txt\n"},
        {"cat",
         cmd_cat,
         2,
         -1,
         true,
         {{'a', "deleted", false}},
         "cat [-a|--deleted] IMAGE PATH...",
         "Write the contents of files to standard output, in the order given.\n"
         "A PATH may be a pattern matched inside the image: '*', '?' and '[...]'\n"
         "('[a-z]', '[!0-9]') in any component, case-insensitively by long or 8.3\n"
         "name, matches in name order; quote it from the shell. A pattern that\n"
         "matches nothing is an error (the other paths are still written).\n"
         "A component that names an entry exactly is that entry, pattern characters\n"
         "or not: '/Photo [1].txt' is that file even beside 'Photo 1.txt'. To match\n"
         "such a character, put it in brackets: '[[]' matches '[', '[*]' a '*', '[?]'\n"
         "a '?' (the backslash separates components, as '/' does, and escapes\n"
         "nothing).\n"
         "\n"
         "  -a, --deleted  PATH may name deleted files and pass through deleted\n"
         "              directories (as 'ls -a' shows them); their data is recovered\n"
         "              (see 'dorvex get --help')\n"
         "\n"
         "Examples:\n"
         "  dorvex cat sdcard.img /notes/todo.txt | less\n"
         "  dorvex cat sdcard.img '/logs/2024-*.log' > all-2024.log\n"
         "  dorvex cat sdcard.img '/scans/Page [[]1]*.txt'   # 'Page [1] a.txt' ...\n"
         "  dorvex cat sdcard.img /notes/a.txt /notes/b.txt '/DCIM/*/info.txt'\n"
         "  dorvex cat --deleted sdcard.img '/old-photos/Holiday picture.jpg' > holiday.jpg\n"},
        {"get",
         cmd_get,
         2,
         -1,
         true,
         {{'q', "quiet", false},
          {'f', "force", false},
          {'a', "deleted", false},
          {0, "strict-names", false},
          {0, "keep-partial", false}},
         "get [-q] [-f] [-a|--deleted] [--strict-names] [--keep-partial] IMAGE PATH [DEST]\n"
         "       dorvex get [OPTIONS] IMAGE PATH... DEST",
         "Extract files or whole directory trees to DEST (default: the current\n"
         "directory), keeping modification and access times: FAT's wall clock taken as\n"
         "the host's local time (as UTC with --utc); a time without a valid date is left\n"
         "as the system sets it.\n"
         "\n"
         "One PATH: a file goes into DEST if DEST is a directory, else becomes the file\n"
         "DEST (a DEST ending in '/' must be a directory). A directory is extracted\n"
         "into DEST if DEST does not exist yet, else into DEST/NAME; \"/\" extracts the\n"
         "root's contents into DEST. Several PATHs, or a pattern: DEST is a directory\n"
         "(made if missing, not its parents) and each match goes into DEST/NAME.\n"
         "Patterns: '*', '?' and '[...]' ('[a-z]', '[!0-9]') in any component, matched\n"
         "case-insensitively by long or 8.3 name; one matching nothing is an error, the\n"
         "other PATHs are still extracted. A component that names an entry exactly is\n"
         "that entry, pattern characters or not ('/Photo [1].txt' is that file, a PATH\n"
         "like any other); '[[]', '[*]' and '[?]' match '[', '*' and '?' (the\n"
         "backslash separates components and escapes nothing).\n"
         "\n"
         "Names unsafe on the host are saved under a substitute, with a warning giving\n"
         "both: '/', '\\', NUL and control characters become '_', \".\" and \"..\" become\n"
         "\"_.\" and \"_..\"; a name longer than the host's 255 bytes (a long CJK name) is\n"
         "cut at a character, keeping its extension. A name already written in this run\n"
         "(a substitute, a deleted entry, a second source of that name) gets '~1', '~2'...\n"
         "before its extension. Nothing is written outside DEST, and only regular files\n"
         "are replaced: a symbolic link, device, FIFO or socket in the way is left alone\n"
         "(an error), even with --force. A file that cannot be read whole (a damaged\n"
         "chain, an image cut short) is an error, and its partial copy is removed.\n"
         "Interrupted (Ctrl-C, SIGTERM, SIGHUP), get keeps the files it finished,\n"
         "removes the one at hand and exits with 128 + the signal number.\n"
         "\n"
         "  -q, --quiet  no progress bar (there is none unless stderr is a terminal)\n"
         "  -f, --force  overwrite regular files that existed before the run\n"
         "  -a, --deleted  also recover deleted files and directories, under the names\n"
         "               'ls -a' shows (PATH may name them); one whose name a live\n"
         "               entry beside it has is saved as NAME~1. Without it nothing\n"
         "               deleted is written.\n"
         "      --strict-names  skip, with a warning, every entry whose name would need\n"
         "               a substitute or a '~N' (control characters are kept as they are)\n"
         "      --keep-partial  keep the partial copy of a file that cannot be read\n"
         "               whole, as NAME.partial (without its FAT times)\n"
         "\n"
         "Recovery follows The Sleuth Kit's 'icat -r': a deleted file's chain is gone,\n"
         "so its SIZE bytes are read from its first cluster on through the following\n"
         "free clusters, skipping clusters in use by other files (the file then gets a\n"
         "warning that it may be damaged); reaching the end of the data area first is\n"
         "an error. A deleted directory is read from its first cluster on, then from\n"
         "the free clusters that look like its entries, passing over its files' data.\n"
         "\n"
         "Examples:\n"
         "  dorvex get sdcard.img /DCIM photos\n"
         "  dorvex get sdcard.img '/DCIM/*/IMG_*.JPG' photos/\n"
         "  dorvex get sdcard.img '/DCIM/*.JPG' '/notes/*.txt' /config.ini out/\n"
         "  dorvex get --deleted sdcard.img /old-photos recovered\n"
         "  dorvex get --deleted sdcard.img / everything\n"
         "  dorvex get sdcard.img / backup/\n"
         "  dorvex get -f sdcard.img config.txt\n"
         "  dorvex get --utc camera.img /DCIM photos\n"},
        {"put",
         cmd_put,
         3,
         -1,
         true,
         {{'f', "force", false}, {'q', "quiet", false}, {0, "sync", false}},
         "put [-f] [-q] [--sync] IMAGE SRC... DEST",
         "Copy host files and directory trees into the image, keeping their\n"
         "modification times (stored as the host's local wall clock; as UTC with\n"
         "--utc). When DEST is a directory of the image each SRC goes into it under its\n"
         "own name, else the one SRC becomes DEST. Directories are merged into existing\n"
         "ones. A file appears only once it is completely written; a crash or full\n"
         "volume leaves no half file behind. Files are published in groups, at least\n"
         "once a second: a crash loses at most the files of the last second, and\n"
         "every file it leaves is whole. Interrupted (Ctrl-C, SIGTERM, SIGHUP), put\n"
         "keeps the files copied so far, leaves out the one at hand, closes the image\n"
         "cleanly and exits with 128 + the signal number. A progress line shows on a\n"
         "terminal.\n"
         "\n"
         "In a directory tree, entries put cannot copy are skipped with a warning (exit\n"
         "status 1): names FAT cannot hold (with '\\', '*', ':' ..., ending in a dot or a\n"
         "space; the warning names the rule), FIFOs, sockets, devices and symbolic links\n"
         "to directories. A SRC named on the command line is read whatever it is, a\n"
         "pipe such as <(command) too. When the volume fills up, put stops there and\n"
         "says in one line how many files (and bytes) were not copied; the files copied\n"
         "before are whole.\n"
         "\n"
         "  -f, --force  replace existing files (the old one stays until the new one\n"
         "               is complete)\n"
         "  -q, --quiet  no progress line\n"
         "  --sync       publish each file on its own as soon as it is written\n"
         "               (slower; a crash then loses at most the file being copied)\n"
         "\n"
         "Examples:\n"
         "  dorvex put sdcard.img notes.txt /\n"
         "  dorvex put sdcard.img ./photos /DCIM\n"
         "  dorvex put -f sdcard.img config.txt /config.txt\n"
         "  dorvex put sdcard.img a.txt b.txt /docs\n"},
        {"mkdir",
         cmd_mkdir,
         2,
         -1,
         true,
         {{'p', "parents", false}},
         "mkdir [-p] IMAGE PATH...",
         "Make directories in the image.\n"
         "\n"
         "  -p, --parents  make missing parents too; existing directories are fine\n"
         "                 (so here a partition is chosen with --partition N only)\n"
         "\n"
         "Examples:\n"
         "  dorvex mkdir sdcard.img /backup\n"
         "  dorvex mkdir -p sdcard.img /projects/2024/drafts\n"},
        {"rm",
         cmd_rm,
         2,
         -1,
         true,
         {{'r', "recursive", false}},
         "rm [-r] IMAGE PATH...",
         "Remove files and empty directories from the image. Each entry goes before\n"
         "its clusters are freed, so a crash leaves at most lost clusters.\n"
         "\n"
         "  -r, --recursive  remove directories with everything in them: the\n"
         "                   directory's entry goes first, so a crash leaves the\n"
         "                   tree whole or gone (and lost clusters). A directory\n"
         "                   entry that loops back or points at another directory\n"
         "                   is removed with a warning, not followed.\n"
         "\n"
         "Examples:\n"
         "  dorvex rm sdcard.img /old.log\n"
         "  dorvex rm -r sdcard.img /DCIM/trash\n"},
        {"mv",
         cmd_mv,
         3,
         3,
         true,
         {},
         "mv IMAGE SRC DEST",
         "Rename or move a file or directory within the image. When DEST is a\n"
         "directory SRC goes into it under its own name. A name that is taken fails.\n"
         "\n"
         "Examples:\n"
         "  dorvex mv sdcard.img /notes.txt '/Notes from May.txt'\n"
         "  dorvex mv sdcard.img /DCIM/100CANON /archive\n"},
        {"label",
         cmd_label,
         1,
         2,
         true,
         {{'c', "clear", false}},
         "label [-c] IMAGE [LABEL]",
         "Show the volume label (control characters escaped, as ls shows them), or set\n"
         "it (up to 11 ASCII characters, stored in upper case) in the root directory and\n"
         "the boot sector.\n"
         "\n"
         "  -c, --clear  remove the label\n"
         "\n"
         "Examples:\n"
         "  dorvex label sdcard.img\n"
         "  dorvex label sdcard.img PHOTOS\n"
         "  dorvex label --clear sdcard.img\n"},
        {"iconv",
         cmd_iconv,
         0,
         1,
         false,
         {{'f', "from-code", true}, {'t', "to-code", true}, {'l', "list", false}},
         "iconv -f FROM -t TO [FILE] | iconv -l",
         "Convert text between charsets with the library's converter, reading FILE or\n"
         "standard input and writing standard output. FROM and TO default to UTF-8.\n"
         "Characters the target cannot hold become '*'. As iconv(1), utf16 and utf32\n"
         "read a leading byte-order mark (else the machine's order) and write one.\n"
         "\n"
         "  -f, --from-code NAME  input charset\n"
         "  -t, --to-code NAME    output charset\n"
         "  -l, --list            list the known charsets\n"
         "\n"
         "Examples:\n"
         "  dorvex iconv -f cp1252 -t utf-8 old.txt > new.txt\n"
         "  dorvex iconv -f utf-16 -t utf-8 notes-from-windows.txt\n"
         "  dorvex iconv -l\n"},
        {"mkimage",
         cmd_mkimage,
         2,
         2,
         false,
         {{0, "size", true},
          {0, "cluster-size", true},
          {0, "label", true},
          {0, "fat", true},
          {'f', "force", false}},
         "mkimage [--fat 12|16|32] [--size SIZE] [--cluster-size BYTES] [--label LABEL] [-f] "
         "SRC_DIR OUT.img",
         "Build a FAT image from a host directory: long names for every file,\n"
         "unique 8.3 names, timestamps from the source files (stored as the host's\n"
         "local wall clock, as other FAT writers do; as UTC with --utc), both FATs;\n"
         "on FAT32 also FSInfo and the backup boot sector. Entries that cannot be read\n"
         "(dangling links, FIFOs, devices, I/O errors) are skipped with a warning and\n"
         "the image is still written, with exit status 1. A directory may hold 65536\n"
         "entries, long-name entries included. OUT.img must be a regular file.\n"
         "\n"
         "  --fat 12|16|32        the FAT type (default 32); FAT12 and FAT16 hold up to\n"
         "                        4084 and 65524 clusters, and 512 root entries\n"
         "  --size SIZE           image size, e.g. 64M or 1G (default: just big enough,\n"
         "                        for FAT32 at least 33 MiB since it needs 65525\n"
         "                        clusters); a size outside the type's range fails\n"
         "  --cluster-size BYTES  512 .. 32K, a power of two (default: by size)\n"
         "  --label LABEL         volume label, up to 11 characters\n"
         "  -f, --force           overwrite OUT.img if it exists\n"
         "\n"
         "Example:\n"
         "  dorvex mkimage --label PHOTOS --size 64M ./photos photos.img\n"
         "  dorvex mkimage --utc ./logs logs.img\n"
         "  dorvex mkimage -f --fat 16 --cluster-size 4K ./docs docs.img\n"},
    };
    return list;
}

const CommandSpec *find_command(const std::string &name) {
    for (const CommandSpec &c : commands())
        if (name == c.name) return &c;
    return nullptr;
}

void print_main_help() {
    std::printf("Usage: dorvex COMMAND [OPTIONS] ARGS...\n"
                "Browse, extract, change and build FAT12/16/32 disk images and devices, without\n"
                "mounting.\n"
                "\nCommands:\n");
    for (const CommandSpec &c : commands()) std::printf("  dorvex %s\n", c.synopsis);
    std::printf(
        "\nVolume options (info, ls, tree, stat, cat, get, put, mkdir, rm, mv, label):\n"
        "  -p, --partition N    use partition N of the MBR (1-4, logical 5..) or GPT (1..)\n"
        "      --offset SECTORS the volume starts at this 512-byte sector\n"
        "  By default the whole image if it starts with a FAT boot sector, else the\n"
        "  first FAT volume in a partition of a FAT, EFI system or basic data type\n"
        "  (else of any type).\n"
        "\nGlobal options (before or after the command):\n"
        "      --codepage CP    code page of 8.3 names without a long name (default\n"
        "                       cp437; any single-byte charset of 'dorvex iconv -l',\n"
        "                       e.g. cp850 for media written by mtools or by DOS in\n"
        "                       Western Europe)\n"
        "      --utc            FAT times are UTC: listings end them in 'Z', get and\n"
        "                       mkimage convert as UTC. By default they are the host's\n"
        "                       local time, as FAT's writers store them.\n"
        "\nOther options:\n"
        "  -h, --help           help (dorvex COMMAND --help: help on one command)\n"
        "      --version        the version of the tool and the library\n"
        "\nExamples:\n"
        "  dorvex info sdcard.img\n"
        "  dorvex ls -l sdcard.img /DCIM\n"
        "  dorvex tree sdcard.img\n"
        "  dorvex stat sdcard.img /notes/todo.txt\n"
        "  dorvex cat sdcard.img /notes/todo.txt\n"
        "  dorvex get sdcard.img /DCIM photos\n"
        "  dorvex put sdcard.img ./photos /DCIM\n"
        "  dorvex ls -a sdcard.img /DCIM\n"
        "  dorvex get --deleted sdcard.img /DCIM recovered\n"
        "  dorvex iconv -f cp437 -t utf8 readme.dos\n"
        "  dorvex mkimage --label SAMPLE examples/sample sample.img\n"
        "  dorvex --codepage cp850 ls -l floppy.img\n"
        "  dorvex --utc get camera.img /DCIM photos\n"
        "\nExit status: 0 success, 1 error, 2 usage error.\n");
}

void print_command_help(const CommandSpec &c) {
    std::printf("Usage: dorvex %s\n\n%s", c.synopsis, c.help);
    if (c.volume_options)
        std::printf("\nVolume options:\n"
                    "  -p, --partition N    use partition N (MBR 1-4, logical 5..; GPT 1..)\n"
                    "      --offset SECTORS the volume starts at this 512-byte sector\n"
                    "  For reading, IMAGE may also be '-' (standard input) or a pipe: it is\n"
                    "  read into memory, up to 1 GiB (DORVEX_PIPE_LIMIT=4G raises the limit);\n"
                    "  a FIFO nobody writes to is given up after 5 seconds. A write (put,\n"
                    "  mkdir, rm, mv, label) needs a regular file or a block device.\n"
                    "\nGlobal options:\n"
                    "      --codepage CP    code page of 8.3 names (default cp437)\n"
                    "      --utc            FAT times are UTC, not the host's local time\n");
}

bool parse_number(const std::string &s, uint64_t &out) {
    if (s.empty() || s.size() > 19) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    out = v;
    return true;
}

// Each step of `run` either settles the exit status or lets the next go on.
using Outcome = std::optional<int>;

// The words before the command: -h/--help and --version answer at once; the
// volume and global options go into `volume`, for the command's parser.
// Leaves `i` at the command.
Outcome parse_leading(const std::vector<std::string> &args, size_t &i,
                      std::vector<std::string> &volume) {
    for (; i < args.size(); ++i) {
        const std::string &s = args[i];
        if (s == "-h" || s == "--help") {
            print_main_help();
            return kOk;
        }
        if (s == "--version") {
            std::printf("dorvex %s (libdorvex %s)\n", DV_VERSION_STRING, dv_version());
            return kOk;
        }
        if (s == "-p" || s == "--partition" || s == "--offset" || s == "--codepage") {
            if (i + 1 >= args.size()) return usage_error("", s + " needs a value");
            volume.push_back(s);
            volume.push_back(args[++i]);
            continue;
        }
        if (s.rfind("--partition=", 0) == 0 || s.rfind("--offset=", 0) == 0 ||
            s.rfind("--codepage=", 0) == 0 || s == "--utc" ||
            (s.size() > 2 && s.rfind("-p", 0) == 0)) {
            volume.push_back(s);
            continue;
        }
        if (!s.empty() && s[0] == '-') return usage_error("", "unknown option '" + s + "'");
        break;
    }
    return std::nullopt;
}

// `dorvex help [COMMAND]`; `i` indexes the word after "help".
int run_help(const std::vector<std::string> &args, size_t i) {
    if (i >= args.size()) {
        print_main_help();
        return kOk;
    }
    const CommandSpec *c = find_command(args[i]);
    if (!c) return usage_error("", "unknown command '" + args[i] + "'");
    print_command_help(*c);
    return kOk;
}

// What the command accepts: its own options, -h, the global options and the
// volume options.
std::vector<OptSpec> options_of(const CommandSpec &cmd) {
    std::vector<OptSpec> opts = cmd.opts;
    // ls takes -h for sizes, as ls(1) does; --help stays.
    bool own_h = false;
    for (const OptSpec &o : opts) own_h = own_h || o.short_name == 'h';
    opts.push_back({own_h ? '\0' : 'h', "help", false});
    opts.push_back({0, "codepage", true});
    opts.push_back({0, "utc", false});
    if (cmd.volume_options) {
        // A command whose own -p means something else (mkdir -p) keeps --partition only.
        bool own_p = false;
        for (const OptSpec &o : cmd.opts) own_p = own_p || o.short_name == 'p';
        opts.push_back({own_p ? '\0' : 'p', "partition", true});
        opts.push_back({0, "offset", true});
    }
    return opts;
}

// Sorts the words after the command into options and arguments, in `a`.
class OptionParser {
  public:
    OptionParser(const CommandSpec &cmd, const std::vector<std::string> &words, Args &a)
        : opts_(options_of(cmd)), words_(words), a_(a) {}

    Outcome parse() {
        bool only_positional = false;
        for (k_ = 0; k_ < words_.size(); ++k_) {
            const std::string &s = words_[k_];
            if (only_positional || s.size() < 2 || s[0] != '-') {
                a_.positional.push_back(s);
                continue;
            }
            if (s == "--") {
                only_positional = true;
                continue;
            }
            Outcome done = s[1] == '-' ? parse_long(s.substr(2)) : parse_short(s);
            if (done) return done;
        }
        return std::nullopt;
    }

  private:
    // "--name" or "--name=value"; a value may also be the next word.
    Outcome parse_long(std::string name) {
        std::string value;
        bool has_value = false;
        size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            has_value = true;
        }
        const OptSpec *o = nullptr;
        for (const OptSpec &candidate : opts_)
            if (name == candidate.long_name) o = &candidate;
        if (!o) return usage_error(a_.command, "unknown option '--" + name + "'");
        if (!o->takes_value) {
            if (has_value) return usage_error(a_.command, "option '--" + name + "' takes no value");
            a_.flags.insert(name);
            return std::nullopt;
        }
        if (!has_value) {
            if (k_ + 1 >= words_.size())
                return usage_error(a_.command, "option '--" + name + "' needs a value");
            value = words_[++k_];
        }
        a_.values[name] = value;
        return std::nullopt;
    }

    // A cluster of short options: -lR, -pN, -p N.
    Outcome parse_short(const std::string &s) {
        for (size_t j = 1; j < s.size(); ++j) {
            const OptSpec *o = nullptr;
            for (const OptSpec &candidate : opts_)
                if (candidate.short_name && candidate.short_name == s[j]) o = &candidate;
            if (!o) return usage_error(a_.command, std::string("unknown option '-") + s[j] + "'");
            if (!o->takes_value) {
                a_.flags.insert(o->long_name);
                continue;
            }
            // The rest of the cluster is the value, else the next word.
            std::string value = s.substr(j + 1);
            if (value.empty()) {
                if (k_ + 1 >= words_.size())
                    return usage_error(a_.command,
                                       std::string("option '-") + s[j] + "' needs a value");
                value = words_[++k_];
            }
            a_.values[o->long_name] = value;
            break;
        }
        return std::nullopt;
    }

    std::vector<OptSpec> opts_;
    const std::vector<std::string> &words_;
    Args &a_;
    size_t k_ = 0; // the word being parsed
};

// -p/--partition and --offset, into a.volume.
Outcome parse_volume_choice(Args &a) {
    if (a.values.count("partition")) {
        uint64_t n;
        if (!parse_number(a.values["partition"], n) || n == 0 || n > 0xFFFFFFFFu)
            return usage_error(a.command, "partition must be a number from 1");
        a.volume.partition = static_cast<uint32_t>(n);
    }
    if (a.values.count("offset")) {
        uint64_t n;
        if (!parse_number(a.values["offset"], n) || n > (UINT64_MAX >> 9))
            return usage_error(a.command, "offset must be a number of 512-byte sectors");
        a.volume.offset = n;
    }
    if (a.volume.partition && a.volume.offset)
        return usage_error(a.command, "--partition and --offset exclude each other");
    return std::nullopt;
}

// --codepage and --utc, for the whole run.
Outcome apply_global_options(const Args &a) {
    auto cp = a.values.find("codepage");
    if (cp != a.values.end() && !set_short_codepage(cp->second))
        return usage_error(a.command, "--codepage: '" + cp->second +
                                          "' is not a single-byte charset (see dorvex iconv -l)");
    set_utc_times(a.has("utc"));
    return std::nullopt;
}

Outcome check_argument_count(const CommandSpec &cmd, const Args &a) {
    int n = static_cast<int>(a.positional.size());
    if (n < cmd.min_args)
        return usage_error(a.command, n == 0 ? "missing arguments" : "missing an argument");
    if (cmd.max_args >= 0 && n > cmd.max_args) return usage_error(a.command, "too many arguments");
    return std::nullopt;
}

int run(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        print_main_help();
        return kUsage;
    }
    size_t i = 0;
    std::vector<std::string> words; // volume options given before the command come first
    if (Outcome done = parse_leading(args, i, words)) return *done;
    if (i == args.size()) return usage_error("", "no command given");

    Args a;
    a.command = args[i++];
    if (a.command == "help") return run_help(args, i);
    const CommandSpec *cmd = find_command(a.command);
    if (!cmd) return usage_error("", "unknown command '" + a.command + "'");

    words.insert(words.end(), args.begin() + static_cast<long>(i), args.end());
    if (Outcome done = OptionParser(*cmd, words, a).parse()) return *done;
    if (a.has("help")) {
        print_command_help(*cmd);
        return kOk;
    }
    if (Outcome done = parse_volume_choice(a)) return *done;
    if (Outcome done = apply_global_options(a)) return *done;
    if (Outcome done = check_argument_count(*cmd, a)) return *done;
    return cmd->run(a);
}

} // namespace
} // namespace dvcli

int main(int argc, char **argv) {
    // FAT times are local wall clock: localtime_r needs the zone read.
    tzset();
    int rc = dvcli::run(argc, argv);
    if (std::fflush(stdout) != 0 && rc == 0) {
        dvcli::report("standard output", std::strerror(errno));
        rc = 1;
    }
    return rc;
}
