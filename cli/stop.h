// Ctrl-C for the long copies (get, put): instead of dying halfway, the command stops at the
// file at hand, keeps what it finished, and ends cleanly.
#pragma once

#include <csignal>

namespace dvcli {

// While one lives, SIGINT, SIGTERM and SIGHUP only note the signal. They are installed
// without SA_RESTART, so a blocked open, read or write returns at once (EINTR). The old
// handlers come back after.
class StopSignals {
  public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

  private:
    struct sigaction old_[3]{};
};

// The signal that asked to stop, or 0.
int stop_signal();

} // namespace dvcli
