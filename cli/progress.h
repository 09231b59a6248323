// A progress line on standard error for long copies (get, put): bytes, files, rate and
// time left, redrawn at most ten times a second, fitted to the terminal's width.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace dvcli {

// One line that fits `columns` without reaching the last column (a terminal may wrap
// there): the bar takes the room the text leaves; the less useful parts go first.
std::string progress_line(int columns, double frac, const std::string &bytes,
                          const std::string &files, const std::string &rate,
                          const std::string &eta);

class Progress {
  public:
    using Clock = std::chrono::steady_clock;
    // Shows progress from now on (call it only when standard error is a terminal).
    void start(uint64_t bytes, uint64_t files);
    void add(uint64_t bytes, uint64_t files);
    // Erases the line before a message; the next add draws it again.
    void clear();
    void finish();

  private:
    void draw(Clock::time_point now);

    bool active_ = false, drawn_ = false;
    uint64_t total_bytes_ = 0, total_files_ = 0, done_bytes_ = 0, done_files_ = 0;
    Clock::time_point t0_, last_;
};

} // namespace dvcli
