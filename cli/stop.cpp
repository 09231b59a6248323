#include "stop.h"

namespace dvcli {
namespace {

volatile std::sig_atomic_t g_stop = 0;
constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void on_stop_signal(int sig) {
    g_stop = sig;
}

} // namespace

StopSignals::StopSignals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &sa, &old_[i]);
}

StopSignals::~StopSignals() {
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &old_[i], nullptr);
}

int stop_signal() {
    return g_stop;
}

} // namespace dvcli
