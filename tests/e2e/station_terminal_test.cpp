// tidewrite-station at a terminal: the live table, and a stop that reaches
// every run exactly once. The runs are a stand-in for tidewrite (a shell
// script given with --tidewrite) that notes each signal it gets.
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pty_pair.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Draws a progress line on standard error when that is a terminal (as
// tidewrite does; the pause keeps it before what follows on the other
// stream), prints a line, draws a progress bar, then waits. Each signal is noted in
// PORT.signals; the first one starts a short tidy-up, as tidewrite's own
// handling does, during which a second one would be noted too.
constexpr const char *kStandIn = R"(#!/bin/sh
port=$2
trap 'echo INT >> "$port.signals"; status=130' INT
trap 'echo TERM >> "$port.signals"; status=143' TERM
[ -t 2 ] && printf 'upload 0/4096 bytes   0%%\r' >&2 && sleep 0.5
printf 'handshake done\n\r'
printf 'programing [####      ] 40%%\r'
sleep 30 &
touch "$port.started"
wait $!
kill $! 2>/dev/null
sleep 0.3 &
wait $!
exit $status
)";

enum class Stop { ctrl_c_at_terminal, sigint_from_a_process };

struct StopCase {
  const char *name;
  Stop stop;
  const char *each_run_got;  // the signal notes of every run
};

void PrintTo(const StopCase &c, std::ostream *os) { *os << c.name; }

class StationAtATerminal : public testing::TestWithParam<StopCase> {};

TEST_P(StationAtATerminal, DrawsTheTableAndStopsEveryRunOnce) {
  const StopCase &c = GetParam();
  testsupport::TempDir tmp;
  const fs::path stand_in = tmp / "tidewrite";
  testsupport::write_text(stand_in, kStandIn);
  fs::permissions(stand_in, fs::perms::owner_all);
  const std::vector<std::string> ports = {(tmp / "ttyUSB0").string(), (tmp / "ttyUSB1").string(),
                                          (tmp / "ttyUSB2").string()};
  for (const auto &p : ports) testsupport::write_text(p, "");

  // The terminal: signals on (Ctrl-C), 100 x 30.
  testsupport::PtyPair pty;
  termios tio{};
  tcgetattr(pty.slave(), &tio);
  tio.c_lflag |= ISIG;
  tcsetattr(pty.slave(), TCSANOW, &tio);
  winsize ws{};
  ws.ws_col = 100;
  ws.ws_row = 30;
  ioctl(pty.master(), TIOCSWINSZ, &ws);

  std::vector<std::string> words = {TIDEWRITE_STATION_BIN, "--tidewrite", stand_in.string(), "--report",
                                    (tmp / "report.json").string(), "--log-dir", (tmp / "logs").string()};
  words.insert(words.end(), ports.begin(), ports.end());
  words.insert(words.end(), {"--", "-f", "image.bin", "-b", "1500000"});
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const std::string slave = pty.slave_path();
  std::vector<char *> envp;
  std::string term = "TERM=xterm", path = std::string("PATH=") + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
  envp.push_back(term.data());
  envp.push_back(path.data());
  envp.push_back(nullptr);

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // A session of its own whose controlling terminal is the pty: Ctrl-C
    // there reaches the station and its runs, as at a real terminal.
    setsid();
    int t = open(slave.c_str(), O_RDWR);
    int null = open("/dev/null", O_RDWR);
    if (t < 0 || null < 0) _exit(126);
    dup2(null, 0);
    dup2(null, 1);
    dup2(t, 2);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }

  std::string screen;
  auto read_screen = [&](Clock::duration d) { screen += testsupport::read_for(pty.master(), static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(d).count())); };
  const auto give_up = Clock::now() + 20s;
  auto all_started = [&] {
    for (const auto &p : ports)
      if (!fs::exists(p + ".started")) return false;
    return true;
  };
  while (!(all_started() && screen.find("programing [####      ] 40%") != std::string::npos) &&
         Clock::now() < give_up)
    read_screen(20ms);
  ASSERT_TRUE(all_started()) << testsupport::escaped(screen);
  read_screen(300ms);  // a few frames

  if (c.stop == Stop::ctrl_c_at_terminal) {
    ASSERT_EQ(write(pty.master(), "\x03", 1), 1);
  } else {
    kill(pid, SIGINT);
  }
  int st = 0;
  while (waitpid(pid, &st, WNOHANG) == 0 && Clock::now() < give_up + 10s) read_screen(20ms);
  if (!WIFEXITED(st) && !WIFSIGNALED(st)) {
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    FAIL() << "the station did not stop";
  }
  read_screen(50ms);
  EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGINT) << "status " << st;

  // A Ctrl-C reached every run already: the station adds no SIGTERM, which
  // would cut a run's tidy-up short. A SIGINT sent to the station alone is
  // passed on as one SIGTERM.
  for (const auto &p : ports) EXPECT_EQ(testsupport::read_text(p + ".signals"), c.each_run_got) << p;

  // The table: heading, a row per port with the last line, redrawn in place.
  EXPECT_NE(screen.find("PORT                      STATE"), std::string::npos) << testsupport::escaped(screen);
  const std::string row = "ttyUSB1  running";
  EXPECT_NE(screen.find(row), std::string::npos) << testsupport::escaped(screen);
  EXPECT_NE(screen.find("\r\x1b[5A"), std::string::npos) << "no redraw over the 5 lines of the last frame";
  EXPECT_NE(screen.find("3 ports: 3 interrupted"), std::string::npos) << testsupport::escaped(screen);
  // No frame line reaches the last column of the 100 the terminal has (the
  // port names are cut to a quarter of it).
  size_t frame_lines = 0;
  for (size_t start = 0, end; (end = screen.find("\x1b[K", start)) != std::string::npos; start = end + 1) {
    std::string l = screen.substr(start, end - start);
    if (auto k = l.rfind('\n'); k != std::string::npos) l = l.substr(k + 1);
    if (auto k = l.find("\r\x1b["); k != std::string::npos) l = l.substr(l.find('A', k) + 1);  // the move up
    EXPECT_LT(l.size(), 100u) << testsupport::escaped(l);
    ++frame_lines;
  }
  EXPECT_GE(frame_lines, 10u);

  const std::string report = testsupport::read_text(tmp / "report.json");
  std::unique_ptr<cJSON, void (*)(cJSON *)> root(cJSON_Parse(report.c_str()), cJSON_Delete);
  ASSERT_NE(root, nullptr);
  EXPECT_STREQ(cJSON_GetObjectItem(root.get(), "stopped_by")->valuestring, "SIGINT");
  EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetObjectItem(root.get(), "totals"), "interrupted")->valueint, 3);
  const cJSON *first = cJSON_GetArrayItem(cJSON_GetObjectItem(root.get(), "ports"), 0);
  EXPECT_EQ(cJSON_GetObjectItem(first, "exit_status")->valueint, c.stop == Stop::ctrl_c_at_terminal ? 130 : 143);
  EXPECT_STREQ(cJSON_GetObjectItem(first, "last_line")->valuestring, "programing [####      ] 40%");
  // Each run's standard error is a terminal at a terminal station, so its
  // progress line is drawn; the log keeps the bytes as written (no \r\n).
  const std::string log = testsupport::read_text(tmp / "logs" / "ttyUSB0.log");
  EXPECT_NE(log.find("upload 0/4096 bytes   0%\r"), std::string::npos) << testsupport::escaped(log);
  EXPECT_NE(log.find("handshake done\n\r"), std::string::npos) << testsupport::escaped(log);
}

INSTANTIATE_TEST_SUITE_P(Station, StationAtATerminal,
                         testing::Values(StopCase{"ctrl_c_at_terminal", Stop::ctrl_c_at_terminal, "INT\n"},
                                         StopCase{"sigint_from_a_process", Stop::sigint_from_a_process, "TERM\n"}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
