// Running the host's FAT tools (mkfs.fat, mtools, The Sleuth Kit) from interop tests.
#pragma once

#include <string>

namespace dvtest {

// The tool's path on PATH or in the usual system directories; empty when it is missing.
std::string find_tool(const char *name);

// `s` in single quotes for the shell.
std::string quote(const std::string &s);

// Runs `cmd` in the shell with its output appended to `log`. A failure adds a test failure
// with the log and returns false.
bool run(const std::string &cmd, const std::string &log);

// The whole file, or "" when it cannot be read.
std::string slurp(const std::string &path);

} // namespace dvtest
