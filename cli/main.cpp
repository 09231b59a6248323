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
#include "help.h"
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
};

const std::vector<CommandSpec> &commands() {
    static const std::vector<CommandSpec> list = {
        {"info", cmd_info, 1, 1, true, {{0, "json", false}}},
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
          {0, "null", false},
          {0, "bodyfile", false}}},
        {"tree", cmd_tree, 1, 2, true, {{'a', "all", false}}},
        {"stat",
         cmd_stat,
         2,
         2,
         true,
         {{0, "json", false}, {0, "clusters", false}, {'a', "deleted", false}}},
        {"cat", cmd_cat, 2, -1, true, {{'a', "deleted", false}}},
        {"get",
         cmd_get,
         2,
         -1,
         true,
         {{'q', "quiet", false},
          {'f', "force", false},
          {'a', "deleted", false},
          {0, "strict-names", false},
          {0, "keep-partial", false},
          {0, "hash", true},
          {0, "manifest", true}}},
        {"put",
         cmd_put,
         3,
         -1,
         true,
         {{'f', "force", false},
          {'q', "quiet", false},
          {0, "sync", false},
          {0, "follow-symlinks", false}}},
        {"mkdir", cmd_mkdir, 2, -1, true, {{'p', "parents", false}}},
        {"rm", cmd_rm, 2, -1, true, {{'r', "recursive", false}}},
        {"mv", cmd_mv, 3, 3, true, {}},
        {"label", cmd_label, 1, 2, true, {{'c', "clear", false}}},
        {"check",
         cmd_check,
         1,
         1,
         true,
         {{0, "json", false},
          {0, "repair", false},
          {'n', "dry-run", false},
          {0, "free-lost", false}}},
        {"iconv",
         cmd_iconv,
         0,
         1,
         false,
         {{'f', "from-code", true}, {'t', "to-code", true}, {'l', "list", false}}},
        {"mkimage",
         cmd_mkimage,
         2,
         2,
         false,
         {{0, "size", true},
          {0, "cluster-size", true},
          {0, "label", true},
          {0, "fat", true},
          {'f', "force", false},
          {'q', "quiet", false},
          {0, "follow-symlinks", false}}},
        {"mkfs",
         cmd_mkfs,
         1,
         1,
         true,
         {{0, "fat", true},
          {0, "size", true},
          {0, "label", true},
          {0, "cluster-size", true},
          {0, "sector-size", true},
          {0, "align", true},
          {'f', "force", false}}},
        {"owner", cmd_owner, 2, 2, true, {{'a', "all", false}, {0, "json", false}}},
        {"mount",
         cmd_mount,
         2,
         2,
         true,
         {{'f', "foreground", false}, {'o', "options", true}, {'a', "deleted", false}}},
        {"umount", cmd_umount, 1, 1, false, {}},
    };
    return list;
}

const CommandSpec *find_command(const std::string &name) {
    for (const CommandSpec &c : commands())
        if (name == c.name) return &c;
    return nullptr;
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
    print_command_help(*command_help(c->name), c->volume_options);
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

// --codepage and --utc, into a.global.
Outcome parse_global_options(Args &a) {
    auto cp = a.values.find("codepage");
    if (cp != a.values.end()) {
        if (!is_short_codepage(cp->second))
            return usage_error(a.command,
                               "--codepage: '" + cp->second +
                                   "' is not a single-byte charset (see dorvex iconv -l)");
        a.global.codepage = cp->second;
    }
    a.global.utc = a.has("utc");
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
        print_command_help(*command_help(cmd->name), cmd->volume_options);
        return kOk;
    }
    if (Outcome done = parse_volume_choice(a)) return *done;
    if (Outcome done = parse_global_options(a)) return *done;
    if (Outcome done = check_argument_count(*cmd, a)) return *done;
    const UseOptions use(a.global);
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
