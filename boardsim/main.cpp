// boardsim: serves one emulated board on a pseudo-terminal until SIGINT or
// SIGTERM. All the work is in the library; this is the thin loop around it.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "boardsim/options.h"
#include "bsp_version.h"

int main(int argc, char **argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("boardsim %s\n", kBspVersion);
    return 0;
  }
  boardsim::ProgramOptions opts;
  std::string err = boardsim::parse_options(std::vector<std::string>(argv + 1, argv + argc), opts);
  if (!err.empty()) {
    std::fprintf(stderr, "%s\n", err.c_str());
    return 2;
  }
  if (opts.help) {
    std::fputs(boardsim::usage_text(), stdout);
    return 0;
  }
  // Block the stop signals before the serving thread starts, so they are
  // taken here by sigwait and nowhere else.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  try {
    boardsim::PtyBoard board(opts.config);
    std::printf("%s\n", board.slave_path().c_str());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stop_signals, &sig);
    board.stop();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
