// Running the independent tools the interop tests compare against (dosfstools, mtools,
// sfdisk): finding them, quoting arguments, and a scratch directory per test binary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dvtest {

// The tool's path (PATH, then the sbin directories), or "" when it is not installed.
std::string find_tool(const char *name);
std::string shell_quote(const std::string &s);
// Runs `cmd` with the shell, its output appended to `log`; on failure adds a test failure
// with the output and returns false.
bool run_logged(const std::string &cmd, const std::string &log);
// A fresh directory (tmpfs when there is one), removed with everything in it on exit.
std::string scratch_dir(const char *prefix);
std::vector<uint8_t> read_whole(const std::string &path);

} // namespace dvtest
