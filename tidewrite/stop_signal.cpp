#include "tidewrite/stop_signal.h"

#include <signal.h>

#include <atomic>
#include <cstdlib>

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Lock-free, so the handler may touch it; tests set it from other threads.
std::atomic<int> g_caught{0};
static_assert(std::atomic<int>::is_always_lock_free);

bool g_installed = false;

void on_stop_signal(int sig) {
  int none = 0;
  g_caught.compare_exchange_strong(none, sig);  // the first one names the stop
}

sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kStopSignals) sigaddset(&set, sig);
  return set;
}

}  // namespace

void stop_signals_install() {
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a blocked poll or sleep returns EINTR
  for (int sig : kStopSignals) {
    // A signal ignored by whoever started us (nohup) stays ignored.
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &sa, nullptr);
  }
  g_installed = true;
}

int stop_signal_caught() { return g_caught.load(); }

void stop_signal_note(int sig) { on_stop_signal(sig); }

void stop_signal_forget() { g_caught.store(0); }

int stop_signals_hold() {
  if (g_installed) {
    const sigset_t set = stop_set();
    sigprocmask(SIG_BLOCK, &set, nullptr);
  }
  return g_caught.load();
}

void stop_signal_reraise(int sig) {
  signal(sig, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  raise(sig);  // pending while blocked; delivered when unblocked below
  sigprocmask(SIG_UNBLOCK, &one, nullptr);
  // Only reached when the default action does not end the process.
  std::_Exit(128 + sig);
}

std::string stop_signal_name(int sig) {
  switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal " + std::to_string(sig);
  }
}
