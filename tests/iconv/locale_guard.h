// Saves the process locale for the length of a test and puts it back afterwards, so tests
// run the same whatever locale the environment gives them.
#pragma once

#include <clocale>
#include <string>

namespace dvtest {

class LocaleGuard {
  public:
    explicit LocaleGuard(const char *name = "C") : saved_(std::setlocale(LC_ALL, nullptr)) {
        std::setlocale(LC_ALL, name);
    }
    ~LocaleGuard() { std::setlocale(LC_ALL, saved_.c_str()); }
    LocaleGuard(const LocaleGuard &) = delete;
    LocaleGuard &operator=(const LocaleGuard &) = delete;

    static std::string current() { return std::setlocale(LC_ALL, nullptr); }

  private:
    std::string saved_;
};

} // namespace dvtest
