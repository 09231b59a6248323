// The help texts, apart from the command table that says what each command accepts.
#ifndef DORVEX_CLI_HELP_H
#define DORVEX_CLI_HELP_H

#include <string>

namespace dvcli {

struct CommandHelp {
    const char *name;
    const char *synopsis; // one line: "ls [-l] ... IMAGE [PATH...]"
    const char *help;     // what it does, its options, examples
};

// The help of the command `name`, or null when there is no such command.
const CommandHelp *command_help(const std::string &name);

// `dorvex --help`: every command's synopsis, the shared options, examples.
void print_main_help();

// `dorvex COMMAND --help`; `volume_options`: the command reads or changes a volume.
void print_command_help(const CommandHelp &c, bool volume_options);

} // namespace dvcli

#endif
